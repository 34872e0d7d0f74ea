// Sixteen SM3 compressions side by side, one message per 32-bit lane of the AVX-512
// registers: for digests that share a prefix and differ in their last blocks (a KDF's
// counters). One lane is as slow as the scalar rounds, but sixteen cost little more; FF and
// GG are one ternary-logic instruction each. No table and no branch depends on the data.
#include "SM3Internal.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

// GCC 12 takes the undefined source operand inside its 512-bit rotate intrinsic for an
// uninitialised variable (its bug 105593); the instruction reads no such operand.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define SMK_TARGET __attribute__((target("avx512f,avx512bw")))

namespace smk {
namespace sm3 {
namespace {

template <int N> SMK_TARGET inline __m512i Rol(__m512i x) { return _mm512_rol_epi32(x, N); }
template <int IMM> SMK_TARGET inline __m512i Tern(__m512i a, __m512i b, __m512i c)
{
    return _mm512_ternarylogic_epi32(a, b, c, IMM);
}
constexpr int kXor3 = 0x96, kMajority = 0xe8, kSelect = 0xca;  // a ^ b ^ c; maj; a ? b : c
SMK_TARGET inline __m512i P0(__m512i x) { return Tern<kXor3>(x, Rol<9>(x), Rol<17>(x)); }
SMK_TARGET inline __m512i P1(__m512i x) { return Tern<kXor3>(x, Rol<15>(x), Rol<23>(x)); }

// Word w of every lane's block, big-endian: lane l's block starts at base + l * stride.
SMK_TARGET inline __m512i LoadWord(const unsigned char* base, __m512i lanes, int w)
{
    const __m512i swap = _mm512_set4_epi32(0x0c0d0e0f, 0x08090a0b, 0x04050607, 0x00010203);
    return _mm512_shuffle_epi8(_mm512_i32gather_epi32(lanes, base + 4 * w, 1), swap);
}

// GB/T 32905-2016 5.3.2 for all lanes at once.
SMK_TARGET void Expand(const unsigned char* block, __m512i lanes, __m512i W[68])
{
    for (int j = 0; j < 16; ++j)
        W[j] = LoadWord(block, lanes, j);
    for (int j = 16; j < 68; ++j)
        W[j] = Tern<kXor3>(P1(Tern<kXor3>(W[j - 16], W[j - 9], Rol<15>(W[j - 3]))), Rol<7>(W[j - 13]), W[j - 6]);
}

// GB/T 32905-2016 5.3.3, one round, the registers renamed by the caller as in SM3_ROUND.
template <int FF, int GG>
SMK_TARGET inline void Round(int j, const __m512i W[68], __m512i& A, __m512i& B, __m512i& C, __m512i& D,
                             __m512i& E, __m512i& F, __m512i& G, __m512i& H)
{
    const __m512i a12 = Rol<12>(A);
    const __m512i ss1 = Rol<7>(_mm512_add_epi32(_mm512_add_epi32(a12, E), _mm512_set1_epi32((int)kT.k[j])));
    const __m512i ss2 = _mm512_xor_si512(ss1, a12);
    const __m512i wd = _mm512_xor_si512(W[j], W[j + 4]);
    const __m512i tt1 = _mm512_add_epi32(_mm512_add_epi32(Tern<FF>(A, B, C), D), _mm512_add_epi32(ss2, wd));
    const __m512i tt2 = _mm512_add_epi32(_mm512_add_epi32(Tern<GG>(E, F, G), H), _mm512_add_epi32(ss1, W[j]));
    B = Rol<9>(B);
    F = Rol<19>(F);
    D = tt1;
    H = P0(tt2);
}

template <int FF, int GG>
SMK_TARGET inline void Round4(int j, const __m512i W[68], __m512i (&s)[8])
{
    Round<FF, GG>(j + 0, W, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
    Round<FF, GG>(j + 1, W, s[3], s[0], s[1], s[2], s[7], s[4], s[5], s[6]);
    Round<FF, GG>(j + 2, W, s[2], s[3], s[0], s[1], s[6], s[7], s[4], s[5]);
    Round<FF, GG>(j + 3, W, s[1], s[2], s[3], s[0], s[5], s[6], s[7], s[4]);
}

}  // namespace

SMK_TARGET void CompressLanes(const uint32_t V[8], const unsigned char* blocks, size_t stride, size_t nBlocks,
                              unsigned nLanes, uint32_t out[][8])
{
    // Lanes past nLanes repeat lane 0; their results are dropped.
    alignas(64) int32_t offsets[kLanes];
    for (unsigned l = 0; l < kLanes; ++l)
        offsets[l] = l < nLanes ? (int32_t)(l * stride) : 0;
    const __m512i lanes = _mm512_load_si512(offsets);
    __m512i v[8], W[68];
    for (int i = 0; i < 8; ++i)
        v[i] = _mm512_set1_epi32((int)V[i]);
    for (size_t b = 0; b < nBlocks; ++b) {
        Expand(blocks + b * SM3_CBLOCK, lanes, W);
        __m512i s[8] = {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
        for (int j = 0; j < 16; j += 4)
            Round4<kXor3, kXor3>(j, W, s);
        for (int j = 16; j < 64; j += 4)
            Round4<kMajority, kSelect>(j, W, s);
        for (int i = 0; i < 8; ++i)
            v[i] = _mm512_xor_si512(v[i], s[i]);
    }
    alignas(64) uint32_t words[8][kLanes];
    for (int i = 0; i < 8; ++i)
        _mm512_store_si512(words[i], v[i]);
    for (unsigned l = 0; l < nLanes; ++l)
        for (int i = 0; i < 8; ++i)
            out[l][i] = words[i][l];
    WipeState(words, sizeof(words));
    WipeState(W, sizeof(W));
}

bool HaveLanes()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

}  // namespace sm3
}  // namespace smk

#else

namespace smk {
namespace sm3 {
void CompressLanes(const uint32_t*, const unsigned char*, size_t, size_t, unsigned, uint32_t (*)[8]) {}
bool HaveLanes() { return false; }
}  // namespace sm3
}  // namespace smk

#endif
