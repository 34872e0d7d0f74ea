#ifndef SMK_SM2FAST_H
#define SMK_SM2FAST_H

// The bridge between the SM2 entry points (BIGNUM, EC_POINT) and the published curve's own
// arithmetic (SM2P256.h). The entry points ask SM2FastApplies first; everything else stays
// on OpenSSL's generic arithmetic.
#include <openssl/bn.h>
#include <openssl/ec.h>

namespace smk {

// True when pGroup is the published curve and every number fits 32 bytes (NULL numbers
// are skipped).
bool SM2FastApplies(const EC_GROUP* pGroup, const BIGNUM* a, const BIGNUM* b = NULL);

// [k]G (pPoint NULL) or [k]P as the fields x || y. Constant time in k.
bool SM2FastMulToFields(const BIGNUM* k, const EC_POINT* pPoint, const EC_GROUP* pGroup, unsigned char xy[64],
                        BN_CTX* pCtx);

// [k]G and [k]P at once as the fields x || y of each. Constant time in k.
bool SM2FastMulBothToFields(const BIGNUM* k, const EC_POINT* pPoint, const EC_GROUP* pGroup, unsigned char kg[64],
                            unsigned char kp[64], BN_CTX* pCtx);

// One signing attempt with nonce k; the codes of sm2p256::Sign (1 signed, 0 draw again, -1
// unusable key), and -2 when r or s could not be stored. pbyInv, when given, is the key's
// (1 + d)^-1 mod n from sm2p256::SignInverse.
int SM2FastSign(const BIGNUM* e, const BIGNUM* d, const BIGNUM* k, BIGNUM* r, BIGNUM* s,
                const unsigned char* pbyInv = NULL);

// The codes of sm2p256::Verify for r, s in [1, n - 1]; -2 when the point cannot be read.
int SM2FastVerify(const BIGNUM* r, const BIGNUM* s, const EC_POINT* pPub, const BIGNUM* e, const EC_GROUP* pGroup,
                  BN_CTX* pCtx);

}  // namespace smk

#endif
