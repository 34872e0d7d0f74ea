#ifndef SMK_SM4_H
#define SMK_SM4_H

// SM4 block cipher (GB/T 32907-2016, GM/T 0002-2012) in the crypto library's manner:
// results 1 or 0, no log. Round keys are 32 words in the standard's encryption order;
// the decryption schedule is the same words reversed (_SM4_InvertRoundKey).
#include <stddef.h>
#include <stdint.h>

#include "vomu_export.h"

#define SM4_BLOCK_SIZE 16
#define SM4_KEY_SIZE 16
#define SM4_ROUNDS 32

VOMU_BEGIN_C

// One CBC block over prepared round keys. enc non-zero: out = E(in ^ iv), then iv = out.
// enc zero: out = D(in) ^ iv with rk the reversed schedule, then iv = the ciphertext
// block that was in. in and out may be the same buffer. Returns 1.
VOMU_EXPORT int SM4_cbc_encrypt(const unsigned char in[SM4_BLOCK_SIZE], const uint32_t rk[SM4_ROUNDS],
                                unsigned char iv[SM4_BLOCK_SIZE], unsigned char out[SM4_BLOCK_SIZE],
                                int enc);

VOMU_END_C

#ifdef __cplusplus
namespace smk {

// The 16 key (or block) bytes as four big-endian words.
void SM4_LoadWords(const unsigned char in[SM4_BLOCK_SIZE], uint32_t out[4]);

// GB/T 32907-2016 7.3: the encryption round keys rk[0..31] of the key words. Returns 1.
int _SM4_ExtendKey(const uint32_t key[4], uint32_t rk[SM4_ROUNDS]);

// Reverses rk in place, turning an encryption schedule into the decryption one. Returns 1.
int _SM4_InvertRoundKey(uint32_t rk[SM4_ROUNDS]);

// GB/T 32907-2016 7.1: 32 rounds and the reversal R over one block of words. Returns 1.
int _SM4_CipherPlaintextTransform(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4]);

// SM4_cbc_encrypt on words (iv updated in place). Returns 1.
int _SM4_cbc_encrypt(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t iv[4], uint32_t out[4],
                     int enc);

// SM4_cbc_encrypt over every whole block of in[0..len) (a trailing partial block is left
// alone), the same bytes and the same IV update as one call per block, only faster:
// decryption works on several blocks at once. in and out may be the same buffer. Returns 1.
int SM4_cbc_encrypt_blocks(const unsigned char* in, size_t len, const uint32_t rk[SM4_ROUNDS],
                           unsigned char iv[SM4_BLOCK_SIZE], unsigned char* out, int enc);

}  // namespace smk
#endif

#endif
