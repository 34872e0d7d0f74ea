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

SM4_GFNI_TARGET inline __m128i Round128(__m128i x0, __m128i x1, __m128i x2, __m128i x3, uint32_t rk)
{
    const __m128i t = _mm_ternarylogic_epi32(x1, x2, _mm_xor_si128(x3, _mm_set1_epi32((int)rk)), 0x96);
    const __m128i b = Sbox128(t);
    const __m128i l = _mm_ternarylogic_epi32(b, _mm_rol_epi32(b, 2), _mm_rol_epi32(b, 10), 0x96);
    return _mm_xor_si128(l, _mm_ternarylogic_epi32(_mm_rol_epi32(b, 18), _mm_rol_epi32(b, 24), x0, 0x96));
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

// One block: each word in lane 0 of its own register, so the rotations stay in vector
// registers and no word crosses to the integer side until the end.
SM4_GFNI_TARGET void BlockGfni(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4])
{
    __m128i x0 = _mm_cvtsi32_si128((int)in[0]), x1 = _mm_cvtsi32_si128((int)in[1]);
    __m128i x2 = _mm_cvtsi32_si128((int)in[2]), x3 = _mm_cvtsi32_si128((int)in[3]);
    for (int i = 0; i < SM4_ROUNDS; i += 4) {
        x0 = Round128(x0, x1, x2, x3, rk[i]);
        x1 = Round128(x1, x2, x3, x0, rk[i + 1]);
        x2 = Round128(x2, x3, x0, x1, rk[i + 2]);
        x3 = Round128(x3, x0, x1, x2, rk[i + 3]);
    }
    out[0] = (uint32_t)_mm_cvtsi128_si32(x3);
    out[1] = (uint32_t)_mm_cvtsi128_si32(x2);
    out[2] = (uint32_t)_mm_cvtsi128_si32(x1);
    out[3] = (uint32_t)_mm_cvtsi128_si32(x0);
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
uint32_t TauGfni(uint32_t a) { return a; }
bool HaveGfni() { return false; }
}  // namespace sm4
}  // namespace smk

#endif
