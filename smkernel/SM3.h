#ifndef SMK_SM3_H
#define SMK_SM3_H

// SM3 hash (GB/T 32905-2016, GM/T 0004-2012) in the crypto library's manner: every
// operation returns 1 for success and 0 for failure, and none logs.
#include <stddef.h>
#include <stdint.h>

#include "vomu_export.h"

#define SM3_DIGEST_LENGTH 32
#define SM3_CBLOCK 64

// Hash state owned by the caller. It holds no pointers: copying its bytes copies the state
// (a library digest context duplicates it that way). 112 bytes.
typedef struct SM3_CTX_st {
    unsigned char buffer[SM3_CBLOCK]; // input not yet compressed
    uint32_t buffered;                // valid bytes in buffer, 0..64; a full block waits
    uint32_t V[8];                    // chaining value, the standard's A..H between blocks
    uint64_t total;                   // bytes already compressed (64-bit: any message size)
} SM3_CTX;

VOMU_BEGIN_C

// Loads the initial value. 0 when ctx is null.
VOMU_EXPORT int SM3_Init(SM3_CTX* ctx);

// Adds len bytes. 0 when ctx is null, or data is null with len non-zero (nothing changes);
// data null with len 0 is an empty update (1).
VOMU_EXPORT int SM3_Update(SM3_CTX* ctx, const void* data, size_t len);

// Pads, writes the 32-byte digest into md and wipes the buffered input. The context is
// spent afterwards: call SM3_Init before reusing it. 0 when md or ctx is null.
VOMU_EXPORT int SM3_Final(unsigned char md[SM3_DIGEST_LENGTH], SM3_CTX* ctx);

// One-shot digest into md, which is returned. With md null the digest goes to a buffer of
// the calling thread, overwritten by its next such call. Null data with len non-zero: NULL.
VOMU_EXPORT unsigned char* SM3(const unsigned char* data, size_t len, unsigned char* md);

VOMU_END_C

#ifdef __cplusplus
namespace smk {
// x rotated left by n mod 32 bits (shared with SM4).
constexpr uint32_t CROL(uint32_t x, unsigned n)
{
    n &= 31;
    return n ? (x << n) | (x >> (32 - n)) : x;
}

// The compressions, slowest first: portable C, the same with BMI1/BMI2, and AVX-512VL
// message expansion with BMI2 rounds.
enum SM3Path { SM3_PATH_PORTABLE = 0, SM3_PATH_BMI2 = 1, SM3_PATH_AVX512 = 2 };

// Uses the compression `path` (an SM3Path) from now on when this CPU has it, else the
// portable one; returns the path now in use. Without a call the fastest path this CPU has
// is chosen at the first block; tests and benchmarks call this to run every path.
int SM3_SelectPath(int path);

// Compresses a full block that waits in the buffer, so that copies of ctx continue from
// the state after it instead of each compressing it again (a KDF's shared prefix). 0 when
// ctx is null.
int SM3_CompressBuffered(SM3_CTX* ctx);

// The digests of prefix || ct for ct = ct0 .. ct0 + count - 1, each counter as 32 bits
// big-endian (a KDF's blocks), into md[0 .. count - 1]; up to SM3_MAX_COUNTERS at once, side
// by side on the AVX-512 path. prefix is left as it was. 0 when an argument is null or
// count is 0 or above the limit.
constexpr size_t SM3_MAX_COUNTERS = 16;
int SM3_FinalCounters(const SM3_CTX* prefix, uint32_t ct0, size_t count, unsigned char md[][SM3_DIGEST_LENGTH]);

}  // namespace smk
#endif

#endif
