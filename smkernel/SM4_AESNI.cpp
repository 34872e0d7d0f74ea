// SM4 with AES-NI and AVX2. GB/T 32907's S-box is A * inv(A * x + C) + C over its own
// polynomial; through the isomorphism to the AES field it becomes an affine map, the AES
// S-box (AESENCLAST with a zero key, ShiftRows undone beforehand) and another affine map.
// The affine maps are two 16-entry nibble shuffles each, held in registers: no table in
// memory is indexed by data. Eight blocks go side by side, word j of every block in one
// register.
#include "SM4Internal.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#define SM4_AESNI_TARGET __attribute__((target("aes,avx2")))

namespace smk {
namespace sm4 {
namespace {

// Low and high nibble images of x -> M1 x + c1 (into the AES field) and of the map from
// the AES S-box's output back to the SM4 S-box's.
#define SM4_PRE_LO 0x00, 0x8c, 0x30, 0xbc, 0x85, 0x09, 0xb5, 0x39, 0x9f, 0x13, 0xaf, 0x23, 0x1a, 0x96, 0x2a, 0xa6
#define SM4_PRE_HI 0x3e, 0xe2, 0x10, 0xcc, 0xfb, 0x27, 0xd5, 0x09, 0x36, 0xea, 0x18, 0xc4, 0xf3, 0x2f, 0xdd, 0x01
#define SM4_POST_LO 0x00, 0xb8, 0xca, 0x72, 0x3e, 0x86, 0xf4, 0x4c, 0x67, 0xdf, 0xad, 0x15, 0x59, 0xe1, 0x93, 0x2b
#define SM4_POST_HI 0x6c, 0x8c, 0x3c, 0xdc, 0xf1, 0x11, 0xa1, 0x41, 0xac, 0x4c, 0xfc, 0x1c, 0x31, 0xd1, 0x61, 0x81

alignas(16) const uint8_t kPreLo[16] = {SM4_PRE_LO}, kPreHi[16] = {SM4_PRE_HI};
alignas(16) const uint8_t kPostLo[16] = {SM4_POST_LO}, kPostHi[16] = {SM4_POST_HI};
// Inverse ShiftRows, so that AESENCLAST's ShiftRows puts every byte back in its place.
alignas(16) const uint8_t kInvShiftRows[16] = {0, 13, 10, 7, 4, 1, 14, 11, 8, 5, 2, 15, 12, 9, 6, 3};

SM4_AESNI_TARGET inline __m128i Load(const uint8_t* p) { return _mm_load_si128((const __m128i*)p); }

SM4_AESNI_TARGET inline __m128i Affine128(__m128i x, __m128i lo, __m128i hi)
{
    const __m128i m = _mm_set1_epi8(0x0f);
    return _mm_xor_si128(_mm_shuffle_epi8(lo, _mm_and_si128(x, m)),
                         _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi16(x, 4), m)));
}

SM4_AESNI_TARGET inline __m128i Sbox128(__m128i x)
{
    x = _mm_shuffle_epi8(Affine128(x, Load(kPreLo), Load(kPreHi)), Load(kInvShiftRows));
    return Affine128(_mm_aesenclast_si128(x, _mm_setzero_si128()), Load(kPostLo), Load(kPostHi));
}

SM4_AESNI_TARGET inline __m256i Affine256(__m256i x, __m256i lo, __m256i hi)
{
    const __m256i m = _mm256_set1_epi8(0x0f);
    return _mm256_xor_si256(_mm256_shuffle_epi8(lo, _mm256_and_si256(x, m)),
                            _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(x, 4), m)));
}

SM4_AESNI_TARGET inline __m256i Sbox256(__m256i x)
{
    const __m256i pre = Affine256(x, _mm256_broadcastsi128_si256(Load(kPreLo)), _mm256_broadcastsi128_si256(Load(kPreHi)));
    const __m256i y = _mm256_shuffle_epi8(pre, _mm256_broadcastsi128_si256(Load(kInvShiftRows)));
    const __m128i z0 = _mm_aesenclast_si128(_mm256_castsi256_si128(y), _mm_setzero_si128());
    const __m128i z1 = _mm_aesenclast_si128(_mm256_extracti128_si256(y, 1), _mm_setzero_si128());
    return Affine256(_mm256_set_m128i(z1, z0), _mm256_broadcastsi128_si256(Load(kPostLo)),
                     _mm256_broadcastsi128_si256(Load(kPostHi)));
}

// x0 ^ L(tau(x1 ^ x2 ^ x3 ^ rk)); L as b ^ (b <<< 24) ^ ((b ^ (b <<< 8) ^ (b <<< 16)) <<< 2),
// the byte rotations by shuffles.
SM4_AESNI_TARGET inline __m256i Round256(__m256i x0, __m256i x1, __m256i x2, __m256i x3, uint32_t rk)
{
    const __m256i r8 = _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3,
                                       14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3);
    const __m256i r16 = _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2,
                                        13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2);
    const __m256i r24 = _mm256_set_epi8(12, 15, 14, 13, 8, 11, 10, 9, 4, 7, 6, 5, 0, 3, 2, 1,
                                        12, 15, 14, 13, 8, 11, 10, 9, 4, 7, 6, 5, 0, 3, 2, 1);
    const __m256i t = _mm256_xor_si256(_mm256_xor_si256(x1, x2), _mm256_xor_si256(x3, _mm256_set1_epi32((int)rk)));
    const __m256i b = Sbox256(t);
    const __m256i u = _mm256_xor_si256(_mm256_xor_si256(b, _mm256_shuffle_epi8(b, r8)), _mm256_shuffle_epi8(b, r16));
    const __m256i u2 = _mm256_or_si256(_mm256_slli_epi32(u, 2), _mm256_srli_epi32(u, 30));
    return _mm256_xor_si256(_mm256_xor_si256(x0, b), _mm256_xor_si256(_mm256_shuffle_epi8(b, r24), u2));
}

// 4x4 transpose of 32-bit words inside each 128-bit lane.
SM4_AESNI_TARGET inline void Transpose(__m256i& a, __m256i& b, __m256i& c, __m256i& d)
{
    const __m256i t0 = _mm256_unpacklo_epi32(a, b), t1 = _mm256_unpackhi_epi32(a, b);
    const __m256i t2 = _mm256_unpacklo_epi32(c, d), t3 = _mm256_unpackhi_epi32(c, d);
    a = _mm256_unpacklo_epi64(t0, t2);
    b = _mm256_unpackhi_epi64(t0, t2);
    c = _mm256_unpacklo_epi64(t1, t3);
    d = _mm256_unpackhi_epi64(t1, t3);
}

// G groups of eight blocks side by side: one group's rounds wait on their own results, the
// other groups' instructions fill the wait.
template <int G>
SM4_AESNI_TARGET inline void Groups(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out)
{
    const __m256i bswap = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3,
                                          12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    __m256i x[G][4];
    for (int g = 0; g < G; ++g) {
        for (int j = 0; j < 4; ++j)
            x[g][j] = _mm256_shuffle_epi8(_mm256_loadu_si256((const __m256i*)(in + 128 * g + 32 * j)), bswap);
        Transpose(x[g][0], x[g][1], x[g][2], x[g][3]);
    }
    for (int i = 0; i < SM4_ROUNDS; i += 4) {
        for (int g = 0; g < G; ++g) x[g][0] = Round256(x[g][0], x[g][1], x[g][2], x[g][3], rk[i]);
        for (int g = 0; g < G; ++g) x[g][1] = Round256(x[g][1], x[g][2], x[g][3], x[g][0], rk[i + 1]);
        for (int g = 0; g < G; ++g) x[g][2] = Round256(x[g][2], x[g][3], x[g][0], x[g][1], rk[i + 2]);
        for (int g = 0; g < G; ++g) x[g][3] = Round256(x[g][3], x[g][0], x[g][1], x[g][2], rk[i + 3]);
    }
    for (int g = 0; g < G; ++g) {
        Transpose(x[g][3], x[g][2], x[g][1], x[g][0]);  // R: X35, X34, X33, X32
        for (int j = 0; j < 4; ++j)
            _mm256_storeu_si256((__m256i*)(out + 128 * g + 32 * j), _mm256_shuffle_epi8(x[g][3 - j], bswap));
    }
}

SM4_AESNI_TARGET void Blocks8(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out)
{
    Groups<1>(rk, in, out);
}

}  // namespace

SM4_AESNI_TARGET void BlocksAesni(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out,
                                  size_t nBlocks)
{
    for (; nBlocks >= 32; nBlocks -= 32, in += 512, out += 512)
        Groups<4>(rk, in, out);
    for (; nBlocks >= 8; nBlocks -= 8, in += 128, out += 128)
        Blocks8(rk, in, out);
    if (0 == nBlocks) return;
    unsigned char abyTail[128] = {0};
    for (size_t i = 0; i < nBlocks * SM4_BLOCK_SIZE; ++i)
        abyTail[i] = in[i];
    Blocks8(rk, abyTail, abyTail);
    for (size_t i = 0; i < nBlocks * SM4_BLOCK_SIZE; ++i)
        out[i] = abyTail[i];
    volatile unsigned char* p = abyTail;
    for (size_t i = 0; i < sizeof(abyTail); ++i)
        p[i] = 0;
}

SM4_AESNI_TARGET uint32_t TauAesni(uint32_t a) { return (uint32_t)_mm_cvtsi128_si32(Sbox128(_mm_cvtsi32_si128((int)a))); }

SM4_AESNI_TARGET void BlockAesni(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4])
{
    uint32_t x[4] = {in[0], in[1], in[2], in[3]};
    for (int i = 0; i < SM4_ROUNDS; ++i)
        x[i % 4] ^= LTransform(TauAesni(x[(i + 1) % 4] ^ x[(i + 2) % 4] ^ x[(i + 3) % 4] ^ rk[i]));
    out[0] = x[3];
    out[1] = x[2];
    out[2] = x[1];
    out[3] = x[0];
}

bool HaveAesni()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("avx2");
}

}  // namespace sm4
}  // namespace smk

#else

namespace smk {
namespace sm4 {
void BlocksAesni(const uint32_t*, const unsigned char*, unsigned char*, size_t) {}
void BlockAesni(const uint32_t*, const uint32_t*, uint32_t*) {}
uint32_t TauAesni(uint32_t a) { return a; }
bool HaveAesni() { return false; }
}  // namespace sm4
}  // namespace smk

#endif
