#ifndef SMK_SM4_INTERNAL_H
#define SMK_SM4_INTERNAL_H

// The SM4 paths: the portable one (tables, the reference) and the CPU-specific ones, which
// compute the S-box without any table indexed by data (AES-NI with affine maps around the
// AES S-box, or GFNI) and work on many independent blocks at once. SM4.cpp picks one at
// the first use; tests and benchmarks may force one.
#include <stddef.h>
#include <stdint.h>

#include "SM4.h"

namespace smk {
namespace sm4 {

// The rounds and the reversal R over nBlocks independent blocks of bytes (in may be out).
using BlocksFn = void (*)(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out,
                          size_t nBlocks);
// The rounds and R over one block of words.
using BlockFn = void (*)(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4]);
// CBC encryption of nBlocks whole blocks, v the chaining value (updated; in may be out).
using CbcEncryptFn = void (*)(const uint32_t rk[SM4_ROUNDS], uint32_t v[4], const unsigned char* in,
                              unsigned char* out, size_t nBlocks);
// tau: the S-box on each byte of a word.
using TauFn = uint32_t (*)(uint32_t a);

struct Path {
    BlocksFn blocks;
    BlockFn block;
    TauFn tau;
    bool (*have)();
    CbcEncryptFn cbcEncrypt;  // NULL: one block call after another
};

// The AES-NI + AVX2 path: eight blocks side by side.
void BlocksAesni(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out, size_t nBlocks);
void BlockAesni(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4]);
uint32_t TauAesni(uint32_t a);
bool HaveAesni();

// The GFNI + AVX-512 path: sixteen blocks side by side.
void BlocksGfni(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out, size_t nBlocks);
void BlockGfni(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4]);
uint32_t TauGfni(uint32_t a);
void CbcEncryptGfni(const uint32_t rk[SM4_ROUNDS], uint32_t v[4], const unsigned char* in, unsigned char* out,
                    size_t nBlocks);
bool HaveGfni();

// GB/T 32907-2016 6.2: L.
inline uint32_t Rol(uint32_t x, int n) { return x << n | x >> (32 - n); }
inline uint32_t LTransform(uint32_t b) { return b ^ Rol(b, 2) ^ Rol(b, 10) ^ Rol(b, 18) ^ Rol(b, 24); }

}  // namespace sm4

enum SM4Path { SM4_PATH_PORTABLE = 0, SM4_PATH_AESNI = 1, SM4_PATH_GFNI = 2 };

// Forces a path (tests, benchmarks); a path this CPU lacks falls back to the portable one.
// Returns the path now in use.
int SM4_SelectPath(int path);

}  // namespace smk

#endif
