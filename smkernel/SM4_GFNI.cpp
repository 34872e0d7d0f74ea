// SM4 with GFNI and AVX-512: the S-box is the AES field's inverse between two affine maps
// (GB/T 32907's S-box is A * inv(A * x + C) + C over another polynomial; composing A with
// the field isomorphism gives the maps below), one instruction each, with no table indexed
// by data. Sixteen blocks go side by side, word j of every block in one register.
#include "SM4Internal.h"

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12 warns about the deliberately undefined vectors inside its own AVX-512 intrinsics.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#define SM4_GFNI_TARGET __attribute__((target("gfni,avx512f,avx512vl,avx512bw")))
// The one-block chain must stay in registers: a call between blocks would pass the words
// through memory and stop the next block from starting before the last round ends.
#define SM4_GFNI_CHAIN SM4_GFNI_TARGET inline __attribute__((always_inline))

namespace smk {
namespace sm4 {
namespace {

// x -> M1 x + c1 into the AES field, then y -> M2 inv(y) + c2 back (bit matrices as the
// affine instructions take them: byte 7 - i is the row of output bit i).
constexpr long long kPre = 0x4c287db91a22505dll, kPost = (long long)0xf3ab34a974a6b589ull;
constexpr int kPreC = 0x3e, kPostC = 0xd3;

SM4_GFNI_TARGET inline __m512i Sbox512(__m512i x)
{
    x = _mm512_gf2p8affine_epi64_epi8(x, _mm512_set1_epi64(kPre), kPreC);
    return _mm512_gf2p8affineinv_epi64_epi8(x, _mm512_set1_epi64(kPost), kPostC);
}

SM4_GFNI_TARGET inline __m128i Sbox128(__m128i x)
{
    x = _mm_gf2p8affine_epi64_epi8(x, _mm_set1_epi64x(kPre), kPreC);
    return _mm_gf2p8affineinv_epi64_epi8(x, _mm_set1_epi64x(kPost), kPostC);
}

// T = L(tau(t)) on sixteen words; X ^= T.
SM4_GFNI_TARGET inline __m512i Round512(__m512i x0, __m512i x1, __m512i x2, __m512i x3, uint32_t rk)
{
    const __m512i t = _mm512_ternarylogic_epi32(x1, x2, _mm512_xor_si512(x3, _mm512_set1_epi32((int)rk)), 0x96);
    const __m512i b = Sbox512(t);
    const __m512i l = _mm512_ternarylogic_epi32(b, _mm512_rol_epi32(b, 2), _mm512_rol_epi32(b, 10), 0x96);
    return _mm512_xor_si512(l, _mm512_ternarylogic_epi32(_mm512_rol_epi32(b, 18), _mm512_rol_epi32(b, 24), x0, 0x96));
}

// One block's rounds are a chain: each waits for the previous one. The chain is kept short
// by carrying every word as Y = M1 X (bytewise). Then the S-box input M1 t + c1 is
// u = Y1 ^ Y2 ^ Y3 ^ (M1 rk + c1) and needs no affine step, and M1 L(S(t)) is a sum of
// rotations by whole bytes of three bytewise images of inv(u): s = (A0 + A1) v,
// p = (A1 + A2) v, q = (A0 + A2) v with A0 = M1 M2, A1 = M1 (x << 2) M2, A2 = M1 (x >> 6) M2
// (rotating by 2 is a shift inside each byte plus the neighbour byte's top two bits):
//   M1 L(S(t)) = K ^ s ^ (p <<< 8) ^ (p <<< 16) ^ (q <<< 24), K = M1 L(c2 c2 c2 c2).
constexpr long long kM1 = 0x4c287db91a22505dll, kM1Inv = (long long)0xb3a4f5863284728bull;
constexpr long long kS = 0x040db891e9a481b7ll, kP = 0x2c020425162040adll, kQ = 0x280fbcb4ff84c11all;
constexpr int kK = 0x63636363;

// The chain runs from S-box input to S-box input: with Y_{i+4} = Y_i ^ K ^ (the sum above),
//   u_{i+1} = u_i ^ f_i ^ s ^ (p <<< 8) ^ (p <<< 16) ^ (q <<< 24),
//   f_i = Y_i ^ Y_{i+1} ^ K ^ rkY_i ^ rkY_{i+1},
// and f_i is made of words finished rounds ago, so only the S-box and its rotations wait on u.
// Written out by hand because the order of the operands is the latency: the rotations and
// the affine steps share two pipes, so the rotation by 16 is a word shuffle, which does not;
// the last term in lands in the three-way XOR's first operand, its short path.
SM4_GFNI_CHAIN __m128i NextInput(__m128i u, __m128i f, __m128i mS, __m128i mP, __m128i mQ)
{
    __m128i s, p, q, p16, e;
    __asm__("vgf2p8affineinvqb $0, %[mP], %[u], %[p]\n\t"
            "vgf2p8affineinvqb $0, %[mQ], %[u], %[q]\n\t"
            "vgf2p8affineinvqb $0, %[mS], %[u], %[s]\n\t"
            "vpxord %[f], %[u], %[e]\n\t"
            "vpshuflw $0xb1, %[p], %[p16]\n\t"
            "vprold $8, %[p], %[p]\n\t"
            "vprold $24, %[q], %[q]\n\t"
            "vpxord %[e], %[s], %[s]\n\t"
            "vpxord %[q], %[p], %[p]\n\t"
            "vpternlogd $0x96, %[p16], %[s], %[p]"
            : [p] "=&v"(p), [q] "=&v"(q), [s] "=&v"(s), [p16] "=&v"(p16), [e] "=&v"(e)
            : [u] "v"(u), [f] "v"(f), [mS] "v"(mS), [mP] "v"(mP), [mQ] "v"(mQ));
    return p;
}

// The round keys' images rkY_i = M1 rk_i + c1 (rkY_32 = 0, so that the last round reads a next
// one) and the chain's constants kr_i = K ^ rkY_i ^ rkY_{i+1}.
struct KeysY {
    __m128i rk[SM4_ROUNDS + 1];
    __m128i kr[SM4_ROUNDS];
};

// Round i on Y_i..Y_{i+3} = y0..y3: u moves to the next round's input, y0 becomes Y_{i+4}.
SM4_GFNI_CHAIN void RoundY(__m128i& y0, __m128i y1, __m128i y2, __m128i y3, __m128i& u, const KeysY& k,
                           int i, __m128i mS, __m128i mP, __m128i mQ)
{
    const __m128i f = _mm_ternarylogic_epi32(y0, y1, k.kr[i], 0x96);
    const __m128i g = _mm_ternarylogic_epi32(y2, y3, k.rk[i + 1], 0x96);
    u = NextInput(u, f, mS, mP, mQ);
    y0 = _mm_xor_si128(u, g);
}

SM4_GFNI_TARGET inline __m128i ToY(uint32_t x)
{
    return _mm_gf2p8affine_epi64_epi8(_mm_cvtsi32_si128((int)x), _mm_set1_epi64x(kM1), 0);
}

SM4_GFNI_TARGET inline uint32_t FromY(__m128i y)
{
    return (uint32_t)_mm_cvtsi128_si32(_mm_gf2p8affine_epi64_epi8(y, _mm_set1_epi64x(kM1Inv), 0));
}

// 4x4 transpose of 32-bit words inside each 128-bit lane of a, b, c, d.
SM4_GFNI_TARGET inline void Transpose(__m512i& a, __m512i& b, __m512i& c, __m512i& d)
{
    const __m512i t0 = _mm512_unpacklo_epi32(a, b), t1 = _mm512_unpackhi_epi32(a, b);
    const __m512i t2 = _mm512_unpacklo_epi32(c, d), t3 = _mm512_unpackhi_epi32(c, d);
    a = _mm512_unpacklo_epi64(t0, t2);
    b = _mm512_unpackhi_epi64(t0, t2);
    c = _mm512_unpacklo_epi64(t1, t3);
    d = _mm512_unpackhi_epi64(t1, t3);
}

// G groups of sixteen blocks side by side: the rounds of one group wait on their own
// results, and the other groups' instructions fill the wait.
template <int G>
SM4_GFNI_TARGET inline void Groups(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out)
{
    const __m512i bswap = _mm512_broadcast_i32x4(_mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3));
    __m512i x[G][4];
    for (int g = 0; g < G; ++g) {
        for (int j = 0; j < 4; ++j)
            x[g][j] = _mm512_shuffle_epi8(_mm512_loadu_si512(in + 256 * g + 64 * j), bswap);
        Transpose(x[g][0], x[g][1], x[g][2], x[g][3]);
    }
    for (int i = 0; i < SM4_ROUNDS; i += 4) {
        for (int g = 0; g < G; ++g) x[g][0] = Round512(x[g][0], x[g][1], x[g][2], x[g][3], rk[i]);
        for (int g = 0; g < G; ++g) x[g][1] = Round512(x[g][1], x[g][2], x[g][3], x[g][0], rk[i + 1]);
        for (int g = 0; g < G; ++g) x[g][2] = Round512(x[g][2], x[g][3], x[g][0], x[g][1], rk[i + 2]);
        for (int g = 0; g < G; ++g) x[g][3] = Round512(x[g][3], x[g][0], x[g][1], x[g][2], rk[i + 3]);
    }
    for (int g = 0; g < G; ++g) {
        Transpose(x[g][3], x[g][2], x[g][1], x[g][0]);  // R: X35, X34, X33, X32
        for (int j = 0; j < 4; ++j)
            _mm512_storeu_si512(out + 256 * g + 64 * j, _mm512_shuffle_epi8(x[g][3 - j], bswap));
    }
}

SM4_GFNI_TARGET void Blocks16(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out)
{
    Groups<1>(rk, in, out);
}

}  // namespace

SM4_GFNI_TARGET void BlocksGfni(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out,
                                size_t nBlocks)
{
    for (; nBlocks >= 64; nBlocks -= 64, in += 1024, out += 1024)
        Groups<4>(rk, in, out);
    for (; nBlocks >= 32; nBlocks -= 32, in += 512, out += 512)
        Groups<2>(rk, in, out);
    for (; nBlocks >= 16; nBlocks -= 16, in += 256, out += 256)
        Blocks16(rk, in, out);
    if (0 == nBlocks) return;
    unsigned char abyTail[256] = {0};
    for (size_t i = 0; i < nBlocks * SM4_BLOCK_SIZE; ++i)
        abyTail[i] = in[i];
    Blocks16(rk, abyTail, abyTail);
    for (size_t i = 0; i < nBlocks * SM4_BLOCK_SIZE; ++i)
        out[i] = abyTail[i];
    volatile unsigned char* p = abyTail;
    for (size_t i = 0; i < sizeof(abyTail); ++i)
        p[i] = 0;
}

SM4_GFNI_TARGET inline void RoundKeysY(const uint32_t rk[SM4_ROUNDS], KeysY& k)
{
    const __m128i m1 = _mm_set1_epi64x(kM1), kc = _mm_set1_epi32(kK);
    for (int i = 0; i < SM4_ROUNDS; ++i)
        k.rk[i] = _mm_gf2p8affine_epi64_epi8(_mm_set1_epi32((int)rk[i]), m1, kPreC);
    k.rk[SM4_ROUNDS] = _mm_setzero_si128();
    for (int i = 0; i < SM4_ROUNDS; ++i)
        k.kr[i] = _mm_ternarylogic_epi32(kc, k.rk[i], k.rk[i + 1], 0x96);
}

// The 32 rounds on one block in the Y form; the output words are y3, y2, y1, y0.
SM4_GFNI_CHAIN void RoundsY(__m128i& y0, __m128i& y1, __m128i& y2, __m128i& y3, const KeysY& k)
{
    const __m128i mS = _mm_set1_epi64x(kS), mP = _mm_set1_epi64x(kP), mQ = _mm_set1_epi64x(kQ);
    __m128i u = _mm_ternarylogic_epi32(y1, y2, _mm_xor_si128(y3, k.rk[0]), 0x96);
    for (int i = 0; i < SM4_ROUNDS; i += 4) {
        RoundY(y0, y1, y2, y3, u, k, i, mS, mP, mQ);
        RoundY(y1, y2, y3, y0, u, k, i + 1, mS, mP, mQ);
        RoundY(y2, y3, y0, y1, u, k, i + 2, mS, mP, mQ);
        RoundY(y3, y0, y1, y2, u, k, i + 3, mS, mP, mQ);
    }
}

// One block: each word in lane 0 of its own register, in the Y form above; the round keys'
// images M1 rk + c1 do not depend on the chain and are ready before they are needed.
SM4_GFNI_TARGET void BlockGfni(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4])
{
    __m128i y0 = ToY(in[0]), y1 = ToY(in[1]), y2 = ToY(in[2]), y3 = ToY(in[3]);
    KeysY k;
    RoundKeysY(rk, k);
    RoundsY(y0, y1, y2, y3, k);
    out[0] = FromY(y3);
    out[1] = FromY(y2);
    out[2] = FromY(y1);
    out[3] = FromY(y0);
}

// CBC encryption of nBlocks blocks with the chaining value v (updated). The chain stays in
// the Y form from block to block: Y(P ^ C) = M1 P ^ Y(C), so only the plaintext's image
// (ready early) and the ciphertext's way out leave the chain.
SM4_GFNI_TARGET void CbcEncryptGfni(const uint32_t rk[SM4_ROUNDS], uint32_t v[4], const unsigned char* in,
                                    unsigned char* out, size_t nBlocks)
{
    const __m128i m1 = _mm_set1_epi64x(kM1), m1inv = _mm_set1_epi64x(kM1Inv);
    const __m128i bswap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    KeysY k;
    RoundKeysY(rk, k);
    // The previous ciphertext's words in Y form (the IV's at first).
    __m128i c0 = ToY(v[0]), c1 = ToY(v[1]), c2 = ToY(v[2]), c3 = ToY(v[3]);
    for (; nBlocks > 0; --nBlocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
        const __m128i p = _mm_gf2p8affine_epi64_epi8(
            _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)in), bswap), m1, 0);
        __m128i y0 = _mm_xor_si128(c0, p), y1 = _mm_xor_si128(c1, _mm_shuffle_epi32(p, 1));
        __m128i y2 = _mm_xor_si128(c2, _mm_shuffle_epi32(p, 2)), y3 = _mm_xor_si128(c3, _mm_shuffle_epi32(p, 3));
        RoundsY(y0, y1, y2, y3, k);
        c0 = y3, c1 = y2, c2 = y1, c3 = y0;  // R
        const __m128i c = _mm_unpacklo_epi64(_mm_unpacklo_epi32(c0, c1), _mm_unpacklo_epi32(c2, c3));
        _mm_storeu_si128((__m128i*)out, _mm_shuffle_epi8(_mm_gf2p8affine_epi64_epi8(c, m1inv, 0), bswap));
    }
    v[0] = FromY(c0);
    v[1] = FromY(c1);
    v[2] = FromY(c2);
    v[3] = FromY(c3);
}

SM4_GFNI_TARGET uint32_t TauGfni(uint32_t a) { return (uint32_t)_mm_cvtsi128_si32(Sbox128(_mm_cvtsi32_si128((int)a))); }

bool HaveGfni()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("gfni") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
}

}  // namespace sm4
}  // namespace smk

#else

namespace smk {
namespace sm4 {
void BlocksGfni(const uint32_t*, const unsigned char*, unsigned char*, size_t) {}
void BlockGfni(const uint32_t*, const uint32_t*, uint32_t*) {}
void CbcEncryptGfni(const uint32_t*, uint32_t*, const unsigned char*, unsigned char*, size_t) {}
uint32_t TauGfni(uint32_t a) { return a; }
bool HaveGfni() { return false; }
}  // namespace sm4
}  // namespace smk

#endif
