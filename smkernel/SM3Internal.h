#ifndef SMK_SM3_INTERNAL_H
#define SMK_SM3_INTERNAL_H

// Pieces of the SM3 compression shared by the portable path and the CPU-specific ones.
// The including file defines SM3_W(j) and SM3_WDASH(j) (W[j] and W'[j]) before a round.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <openssl/crypto.h>

#include "BigEndian.h"
#include "SM3.h"

namespace smk {
namespace sm3 {

using smk::CROL;

// Wipes the few hundred bytes of a compression's working state. Short inputs (a KDF
// counter, a signature's digest) pay this once per block, and glibc's explicit_bzero (a
// vector memset the compiler may not drop) costs a fraction of OPENSSL_cleanse's word loop.
inline void WipeState(void* p, size_t n) { explicit_bzero(p, n); }

// GB/T 32905-2016 4.1: initial value IV.
constexpr uint32_t kIV[8] = {0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600,
                             0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e};

// GB/T 32905-2016 4.2: T(j); the compression only ever uses T(j) <<< (j mod 32).
constexpr uint32_t T(unsigned j) { return j < 16 ? 0x79cc4519u : j < 64 ? 0x7a879d8au : 0u; }

struct RotatedT {
    uint32_t k[64];
    constexpr RotatedT() : k()
    {
        for (unsigned j = 0; j < 64; ++j)
            k[j] = CROL(T(j), j);
    }
};
inline constexpr RotatedT kT;

// Keeps the compiler from regrouping a sum or refactoring an expression across x: the
// grouping below is what shortens the rounds' dependency chain.
#if defined(__GNUC__)
#define SM3_OPAQUE(x) __asm__("" : "+r"(x))
#define SM3_ALWAYS_INLINE __attribute__((always_inline))
#else
#define SM3_OPAQUE(x) ((void)0)
#define SM3_ALWAYS_INLINE
#endif

// GB/T 32905-2016 4.3: FF and GG, split at round 16 so no round pays for a test of j.
// GG takes E also as its two halves TE ^ RE from P0 (see SM3_ROUND).
inline uint32_t FF0(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
// The majority as ((x ^ y) & (y ^ z)) ^ y, as the scalar paths run it fastest.
inline uint32_t FF1(uint32_t x, uint32_t y, uint32_t z) { return ((x ^ y) & (y ^ z)) ^ y; }
// The AVX-512 path's form, (x & (y ^ z)) | (y & z): y and z are the older words, so two of
// the four operations are done before x, the round's newest value, arrives (held apart so
// the compiler does not fold them back into forms that wait on x). 1% faster there, 5%
// slower on the portable path.
inline uint32_t FF1E(uint32_t x, uint32_t y, uint32_t z)
{
    uint32_t yz = y ^ z, both = y & z;
    SM3_OPAQUE(yz);
    SM3_OPAQUE(both);
    return (x & yz) | both;
}
inline uint32_t GG0(uint32_t x, uint32_t y, uint32_t z, uint32_t, uint32_t) { return x ^ y ^ z; }
// (x & y) | (~x & z) = ((y ^ z) & x) ^ z, and the AND distributes over x = TE ^ RE: the half
// with TE is ready two steps before x itself.
inline uint32_t GG1(uint32_t, uint32_t y, uint32_t z, uint32_t te, uint32_t re)
{
    const uint32_t yz = y ^ z;
    uint32_t u = (yz & te) ^ z;
    SM3_OPAQUE(u);
    return u ^ (yz & re);
}

// GB/T 32905-2016 4.4: permutations (SM3_ROUND writes P0 out in halves).
inline uint32_t P1(uint32_t x) { return x ^ CROL(x, 15) ^ CROL(x, 23); }

// GB/T 32905-2016 5.3.3, one round. Instead of shifting the eight registers, the caller
// renames them: after the round (D, A, B, C, H, E, F, G) play (A, B, C, D, E, F, G, H).
// The chain that bounds the speed runs from TT2 through P0 and SS1 to the next TT2; it is
// kept short: E is also carried as TE ^ RE (TT2 and its two rotations) so GG can start
// before P0 ends, and GG + H + W[j] is complete by the time SS1 is, leaving one addition
// (H + W[j] is held as its own sum, made early, and measured faster so).
// A12 + T'(j) is held in a register of its own before E is added: left to itself the compiler
// folds the three into one three-part lea, which takes two cycles on the chain instead of one.
// The caller declares TE and RE, the halves of the current E (only rounds 16 on use them).
#define SM3_ROUND(FF, GG, j, A, B, C, D, E, F, G, H)                    \
    do {                                                                \
        const uint32_t a12 = CROL(A, 12);                               \
        uint32_t a12k = a12 + kT.k[j];                                  \
        SM3_OPAQUE(a12k);                                               \
        const uint32_t SS1 = CROL(a12k + E, 7);                         \
        const uint32_t SS2 = SS1 ^ a12;                                 \
        uint32_t hw = H + SM3_W(j);                                     \
        SM3_OPAQUE(hw);                                                 \
        uint32_t ghw = GG(E, F, G, TE, RE) + hw;                        \
        SM3_OPAQUE(ghw);                                                \
        const uint32_t TT2 = ghw + SS1;                                 \
        const uint32_t TT1 = (FF(A, B, C) + (D + SM3_WDASH(j))) + SS2;  \
        B = CROL(B, 9);                                                 \
        F = CROL(F, 19);                                                \
        D = TT1;                                                        \
        TE = TT2;                                                       \
        RE = CROL(TT2, 9) ^ CROL(TT2, 17);                              \
        H = TE ^ RE;                                                    \
    } while (0)

#define SM3_ROUND4(FF, GG, j)                           \
    SM3_ROUND(FF, GG, (j) + 0, A, B, C, D, E, F, G, H); \
    SM3_ROUND(FF, GG, (j) + 1, D, A, B, C, H, E, F, G); \
    SM3_ROUND(FF, GG, (j) + 2, C, D, A, B, G, H, E, F); \
    SM3_ROUND(FF, GG, (j) + 3, B, C, D, A, F, G, H, E)


// GB/T 32905-2016 5.3.2: W[16..67] from the block's words; W'[j] = W[j] ^ W[j+4] is formed
// inside each round. Each W[j+4] is expanded just before round j needs it, one word at a
// time: the rounds and the expansion then overlap, and no wide load reads words that
// narrow stores have only just written.
#define SM3_EXPAND(j) \
    W[j] = P1(W[(j) - 16] ^ W[(j) - 9] ^ CROL(W[(j) - 3], 15)) ^ CROL(W[(j) - 13], 7) ^ W[(j) - 6]
#define SM3_W(j) W[j]
#define SM3_WDASH(j) (W[j] ^ W[(j) + 4])

#define SM3_EXPAND_ROUND4(FF, GG, j)                                         \
    SM3_EXPAND((j) + 4); SM3_ROUND(FF, GG, (j) + 0, A, B, C, D, E, F, G, H); \
    SM3_EXPAND((j) + 5); SM3_ROUND(FF, GG, (j) + 1, D, A, B, C, H, E, F, G); \
    SM3_EXPAND((j) + 6); SM3_ROUND(FF, GG, (j) + 2, C, D, A, B, G, H, E, F); \
    SM3_EXPAND((j) + 7); SM3_ROUND(FF, GG, (j) + 3, B, C, D, A, F, G, H, E)

// GB/T 32905-2016 5.3.3: V = CF(V, block) = ABCDEFGH xor V, the block read big-endian.
SM3_ALWAYS_INLINE inline void CFScalar(uint32_t V[8], const unsigned char* block, uint32_t W[68])
{
    for (int j = 0; j < 16; ++j)
        W[j] = LoadBE32(block + 4 * j);
    uint32_t A = V[0], B = V[1], C = V[2], D = V[3];
    uint32_t E = V[4], F = V[5], G = V[6], H = V[7];
    uint32_t TE = E, RE = 0;
    SM3_ROUND4(FF0, GG0, 0);
    SM3_ROUND4(FF0, GG0, 4);
    SM3_ROUND4(FF0, GG0, 8);
    SM3_EXPAND_ROUND4(FF0, GG0, 12);
    SM3_EXPAND_ROUND4(FF1, GG1, 16);
    SM3_EXPAND_ROUND4(FF1, GG1, 20);
    SM3_EXPAND_ROUND4(FF1, GG1, 24);
    SM3_EXPAND_ROUND4(FF1, GG1, 28);
    SM3_EXPAND_ROUND4(FF1, GG1, 32);
    SM3_EXPAND_ROUND4(FF1, GG1, 36);
    SM3_EXPAND_ROUND4(FF1, GG1, 40);
    SM3_EXPAND_ROUND4(FF1, GG1, 44);
    SM3_EXPAND_ROUND4(FF1, GG1, 48);
    SM3_EXPAND_ROUND4(FF1, GG1, 52);
    SM3_EXPAND_ROUND4(FF1, GG1, 56);
    SM3_EXPAND_ROUND4(FF1, GG1, 60);
    V[0] ^= A; V[1] ^= B; V[2] ^= C; V[3] ^= D;
    V[4] ^= E; V[5] ^= F; V[6] ^= G; V[7] ^= H;
}

#undef SM3_EXPAND_ROUND4
#undef SM3_WDASH
#undef SM3_W
#undef SM3_EXPAND

// The scalar compression of nBlocks blocks; inlined into each entry point so that every one
// is compiled for its own instruction set.
SM3_ALWAYS_INLINE inline void CompressScalar(uint32_t V[8], const unsigned char* p, size_t nBlocks)
{
    uint32_t W[68];
    for (; nBlocks > 0; --nBlocks, p += SM3_CBLOCK)
        CFScalar(V, p, W);
    WipeState(W, sizeof(W));
}

// Compresses nBlocks 64-byte blocks from p into V.
using CompressFn = void (*)(uint32_t V[8], const unsigned char* p, size_t nBlocks);

void CompressPortable(uint32_t V[8], const unsigned char* p, size_t nBlocks);
// The scalar compression with BMI1/BMI2 (rorx, andn: no register copies for the rotations).
void CompressBmi2(uint32_t V[8], const unsigned char* p, size_t nBlocks);
bool HaveBmi2();
// AVX-512VL message expansion and BMI2 rounds; only on CPUs that have them.
void CompressAvx512(uint32_t V[8], const unsigned char* p, size_t nBlocks);
bool HaveAvx512();

// Up to kLanes compressions at once from the one state V, nBlocks blocks each: lane l's
// blocks start at blocks + l * stride; its state comes back in out[l]. AVX-512F/BW only.
constexpr unsigned kLanes = 16;
void CompressLanes(const uint32_t V[8], const unsigned char* blocks, size_t stride, size_t nBlocks,
                   unsigned nLanes, uint32_t out[][8]);
bool HaveLanes();

}  // namespace sm3
}  // namespace smk

#endif
