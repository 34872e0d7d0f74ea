#ifndef MORV_SM2_H
#define MORV_SM2_H

// SM2 public-key algorithm (GB/T 32918.1-.4-2016, GM/T 0003): key derivation, encryption,
// the user hash Z, signatures and key generation over OpenSSL's BIGNUM and EC_POINT.
//
// All functions keep the crypto library's manner: 1 on success, 0 on failure (the signing
// function returns a new signature or NULL); they never log. Only signing and verification
// raise error-queue entries, in our own error library (SMErr.h).
//
// Curves are named by number: NID_prime256v1SM2 (the published curve) or
// NID_prime256v1SM2TEST (the example curve of the standard), see SMObjects.h. The byte-level
// entry points always use the published curve. Byte fields are 32 bytes big-endian.
//
// The primitives that draw random numbers or use a group hold the kernel for the call
// (KernelHold.h) and then work in kctx; outside a running kernel (stopped, starting or
// stopping) they work as they always could, in the default context's generator with groups
// of their own, so they never wait and never touch what a stop frees.
//
// Ciphertext layout (GB/T 32918.4 C1 || C2 || C3), 97 + n bytes for an n-byte message:
//   04 || x1 (32) || y1 (32) || C2 = M xor t (n) || C3 = SM3(x2 || M || y2) (32)
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/types.h>

#include "SMObjects.h"
#include "vomu_export.h"

#define SM2_FIELD_SIZE 32
#define SM2_CIPHER_OVERHEAD 97
// The longest message: its key stream of 8 * len bits must fit the KDF's 32-bit length.
#define SM2_MAX_MESSAGE ((1u << 29) - 1)

VOMU_BEGIN_C

// Writes floor(kLenBits / 8) bytes of KDF(z) into out (caller-sized). 0 when kLenBits is 0.
VOMU_EXPORT int _SM2_KDF(const unsigned char* z, unsigned zLen, unsigned kLenBits, unsigned char* out);

// Encrypts len (1 to SM2_MAX_MESSAGE) bytes for the public point (x, y); writes 97 + len bytes
// into out (caller-sized) only on success.
VOMU_EXPORT int _SM2_encrypt(int curveNid, const unsigned char* msg, int len, const BIGNUM* x,
                             const BIGNUM* y, unsigned char* out);

// Decrypts inLen (98 to 97 + SM2_MAX_MESSAGE) bytes with private key d into out (inLen - 97 bytes, caller-sized).
// 1 when C3 checks; otherwise 0 and out holds no plaintext (it is wiped).
VOMU_EXPORT int _SM2_decrypt(int curveNid, const unsigned char* in, unsigned inLen, const BIGNUM* d,
                             unsigned char* out);

// Z = SM3(ENTL || id || a || b || xG || yG || xA || yA); 0 when a number needs more than
// 32 bytes or the identity is longer than ENTL can count (8191 bytes).
VOMU_EXPORT int _SM2_CalculateZValue(const unsigned char* id, unsigned idLen, const BIGNUM* a,
                                     const BIGNUM* b, const BIGNUM* xG, const BIGNUM* yG,
                                     const BIGNUM* xA, const BIGNUM* yA, unsigned char z[32]);

// Z of the public point (x, y) with the default identity "1234567812345678" and the
// published curve's parameters.
VOMU_EXPORT int _SM2_CalculateDefaultZValue(const unsigned char x[32], const unsigned char y[32],
                                            unsigned char z[32]);

// Signs digest value e with private key d. The caller owns the result (ECDSA_SIG_free).
VOMU_EXPORT ECDSA_SIG* _SM2_sign(const BIGNUM* e, const BIGNUM* d, int curveNid);

// _SM2_sign on the published curve; r and s written only on success.
VOMU_EXPORT int _SM2_sign_ex(const unsigned char e[32], const unsigned char d[32], unsigned char r[32],
                             unsigned char s[32]);

// 1 when sig is valid for e under (xA, yA); 0 otherwise, always with an error-queue entry
// (SMK_R_BAD_SIGNATURE for a signature that does not verify).
VOMU_EXPORT int _SM2_verify(const ECDSA_SIG* sig, const BIGNUM* xA, const BIGNUM* yA, const BIGNUM* e,
                            int curveNid);

// _SM2_verify on the published curve.
VOMU_EXPORT int _SM2_verify_ex(const unsigned char r[32], const unsigned char s[32],
                               const unsigned char x[32], const unsigned char y[32],
                               const unsigned char e[32]);

// New key pair: d in [1, n - 2] (GB/T 32918.1 6.1), (x, y) = [d]G.
VOMU_EXPORT int _SM2_generate_key(BIGNUM* d, BIGNUM* x, BIGNUM* y, int curveNid);

// _SM2_generate_key on the published curve, as 32-byte fields.
VOMU_EXPORT int _SM2_generate_keypair(unsigned char d[32], unsigned char x[32], unsigned char y[32]);

// 1 when (x, y) is a point of the curve, else 0.
VOMU_EXPORT int _SM2_point_is_on_curve(const BIGNUM* x, const BIGNUM* y, int curveNid);

// out = the big-endian number of the first min(len, 32) bytes.
VOMU_EXPORT int _SM2_Bytes2BN(const unsigned char* bytes, unsigned len, BIGNUM* out);

// out = bn as a 32-byte field; 0 (out all zero) when bn needs more than 32 bytes.
VOMU_EXPORT int _SM2_GetBNBytes(const BIGNUM* bn, unsigned char out[32]);

// 1 when len <= 0 or every byte is zero.
VOMU_EXPORT int _SM2_IsAllZero(const unsigned char* buf, int len);

VOMU_END_C

namespace smk {

// The library context whose random generator SM2 draws from: the kernel installs a source
// (e.g. its accessor of the kernel context); without one the default context serves.
void SM2SetLibCtxSource(OSSL_LIB_CTX* (*pfnSource)());
OSSL_LIB_CTX* SM2LibCtx();

// Known-answer checks (the standard's worked examples, the kernel's self-check): sign or
// encrypt with a given k instead of a random one. Fails instead of retrying when k is
// unusable. Never for real use.
ECDSA_SIG* SM2SignWithK(const BIGNUM* e, const BIGNUM* d, int curveNid, const BIGNUM* k);
int SM2EncryptWithK(int curveNid, const unsigned char* msg, int len, const BIGNUM* x, const BIGNUM* y,
                    const BIGNUM* k, unsigned char* out);

// _SM2_sign on the published curve for a key that signs many times: inv is its
// (1 + d)^-1 mod n from sm2p256::SignInverse, worked out once when the key is loaded.
ECDSA_SIG* SM2SignWithInverse(const BIGNUM* e, const BIGNUM* d, const unsigned char inv[32]);

}  // namespace smk

#endif
