// SM3 compression for x86-64 CPUs with AVX-512VL and BMI2: the message expansion runs four
// words per step in vector registers and the rounds use non-destructive rotates (rorx), so
// far fewer instructions compete with the rounds' dependency chain. Same results as the
// portable compression, which stays the reference (tests run both).
// The rounds stay in general registers although ternary logic would make P0 and GG one
// instruction each: on the Zen 5 cores we run on, vector integer operations (add, rotate,
// ternary logic) take two cycles where the scalar ones take one, and each round is a step of
// a single dependency chain.
#include "SM3Internal.h"

#include <openssl/crypto.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#define SMK_TARGET __attribute__((target("avx512f,avx512vl,bmi,bmi2")))

namespace smk {
namespace sm3 {
namespace {

// The count is a template argument: the instruction takes it as an immediate, even at -O0.
template <int N> SMK_TARGET inline __m128i Rol(__m128i x) { return _mm_rol_epi32(x, N); }
SMK_TARGET inline __m128i Xor3(__m128i a, __m128i b, __m128i c)
{
    return _mm_ternarylogic_epi32(a, b, c, 0x96);
}
SMK_TARGET inline __m128i VecP1(__m128i x) { return Xor3(x, Rol<15>(x), Rol<23>(x)); }

// GB/T 32905-2016 5.3.2, four words a step. w0..w3 hold W[j-16..j-1]; the step yields
// W[j..j+3]. W[j+3] needs W[j] itself, so lane 3 is first built without it and then
// corrected: P1 is linear, so P1(a ^ (W[j] <<< 15)) = P1(a) ^ P1(W[j] <<< 15).
SMK_TARGET inline __m128i ExpandStep(__m128i w0, __m128i w1, __m128i w2, __m128i w3)
{
    const __m128i m9 = _mm_alignr_epi8(w2, w1, 12);          // W[j-9..j-6]
    const __m128i m3 = _mm_bsrli_si128(w3, 4);              // W[j-3..j-1], 0
    const __m128i m13 = _mm_alignr_epi8(w1, w0, 12);        // W[j-13..j-10]
    const __m128i m6 = _mm_alignr_epi8(w3, w2, 8);          // W[j-6..j-3]
    const __m128i a = Xor3(w0, m9, Rol<15>(m3));
    const __m128i r = Xor3(VecP1(a), Rol<7>(m13), m6);
    const __m128i fix = Rol<15>(_mm_bslli_si128(r, 12));     // W[j] <<< 15 in lane 3
    return _mm_xor_si128(r, VecP1(fix));
}

#define SM3_W(j) W[j]
#define SM3_WDASH(j) Wd[j]

// Expansion step g yields W[4g+16..4g+19] and W'[4g+12..4g+15]; it runs three round groups
// ahead of the first round that reads its words, so its chain hides behind the rounds.
// The rounds read the words back from memory (a narrow load from a wide store forwards).
#define SM3_STEP(g)                                                        \
    do {                                                                   \
        w[(g) + 4] = ExpandStep(w[g], w[(g) + 1], w[(g) + 2], w[(g) + 3]);  \
        _mm_store_si128((__m128i*)(W + 4 * (g) + 16), w[(g) + 4]);         \
        _mm_store_si128((__m128i*)(Wd + 4 * (g) + 12), _mm_xor_si128(w[(g) + 3], w[(g) + 4])); \
        SM3_RELOAD();                                                      \
    } while (0)

// Left alone, the compiler pulls each round's word out of the vector register (two slow
// uops); an empty asm with a memory clobber makes it load the stored word instead.
#define SM3_RELOAD() __asm__ __volatile__("" ::: "memory")

// GB/T 32905-2016 5.3.3: V = CF(V, block) = ABCDEFGH xor V, the block read big-endian.
SMK_TARGET void CF(uint32_t V[8], const unsigned char* block, uint32_t W[68], uint32_t Wd[64])
{
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    __m128i w[17];
    for (int i = 0; i < 4; ++i) {
        w[i] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(block + 16 * i)), swap);
        _mm_store_si128((__m128i*)(W + 4 * i), w[i]);
    }
    for (int i = 0; i < 3; ++i)
        _mm_store_si128((__m128i*)(Wd + 4 * i), _mm_xor_si128(w[i], w[i + 1]));
    SM3_RELOAD();
    uint32_t A = V[0], B = V[1], C = V[2], D = V[3];
    uint32_t E = V[4], F = V[5], G = V[6], H = V[7];
    uint32_t TE = E, RE = 0;
    SM3_STEP(0);  SM3_ROUND4(FF0, GG0, 0);
    SM3_STEP(1);  SM3_ROUND4(FF0, GG0, 4);
    SM3_STEP(2);  SM3_ROUND4(FF0, GG0, 8);
    SM3_STEP(3);  SM3_ROUND4(FF0, GG0, 12);
    SM3_STEP(4);  SM3_ROUND4(FF1E, GG1, 16);
    SM3_STEP(5);  SM3_ROUND4(FF1E, GG1, 20);
    SM3_STEP(6);  SM3_ROUND4(FF1E, GG1, 24);
    SM3_STEP(7);  SM3_ROUND4(FF1E, GG1, 28);
    SM3_STEP(8);  SM3_ROUND4(FF1E, GG1, 32);
    SM3_STEP(9);  SM3_ROUND4(FF1E, GG1, 36);
    SM3_STEP(10); SM3_ROUND4(FF1E, GG1, 40);
    SM3_STEP(11); SM3_ROUND4(FF1E, GG1, 44);
    SM3_STEP(12); SM3_ROUND4(FF1E, GG1, 48);
    SM3_ROUND4(FF1E, GG1, 52);
    SM3_ROUND4(FF1E, GG1, 56);
    SM3_ROUND4(FF1E, GG1, 60);
    V[0] ^= A; V[1] ^= B; V[2] ^= C; V[3] ^= D;
    V[4] ^= E; V[5] ^= F; V[6] ^= G; V[7] ^= H;
}

#undef SM3_STEP
#undef SM3_RELOAD
#undef SM3_WDASH
#undef SM3_W

}  // namespace

SMK_TARGET void CompressAvx512(uint32_t V[8], const unsigned char* p, size_t nBlocks)
{
    alignas(16) uint32_t W[68];
    alignas(16) uint32_t Wd[64];
    for (; nBlocks > 0; --nBlocks, p += SM3_CBLOCK) {
        CF(V, p, W, Wd);
    }
    WipeState(W, sizeof(W));
    WipeState(Wd, sizeof(Wd));
}

bool HaveAvx512()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}

}  // namespace sm3
}  // namespace smk

#else

namespace smk {
namespace sm3 {
void CompressAvx512(uint32_t V[8], const unsigned char* p, size_t nBlocks) { CompressPortable(V, p, nBlocks); }
bool HaveAvx512() { return false; }
}  // namespace sm3
}  // namespace smk

#endif
