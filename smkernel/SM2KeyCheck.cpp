#include "SM2KeyCheck.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>

#include "KernelHold.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM2Fast.h"
#include "SMObjects.h"

namespace {

const int kFieldSize = 32;

bool IsPrivateKeyInRange(const BIGNUM* pD, const EC_GROUP* pGroup)
{
    morv::OsslPtr<BIGNUM> pLimit(BN_dup(EC_GROUP_get0_order(pGroup)));
    return pLimit && 1 == BN_sub_word(pLimit.get(), 1) && !BN_is_zero(pD) &&
           BN_cmp(pD, pLimit.get()) < 0;
}

// [d]G on the curve's own arithmetic: the same point as the generic path, at a fraction of
// its cost (a key file is checked on every signing).
bool CheckOnPublishedCurve(const BIGNUM* pD, const EC_GROUP* pGroup, BN_CTX* pCtx, const unsigned char* x,
                           const unsigned char* y)
{
    unsigned char abyXY[2 * kFieldSize];
    return smk::SM2FastMulToFields(pD, NULL, pGroup, abyXY, pCtx) && 0 == CRYPTO_memcmp(abyXY, x, kFieldSize) &&
           0 == CRYPTO_memcmp(abyXY + kFieldSize, y, kFieldSize);
}

}  // namespace

int _SM2_CheckKeyPair(const unsigned char* d, const unsigned char* x, const unsigned char* y)
{
    const smk::KernelHold hold;  // see SM2.h
    if (!d || !x || !y) return 0;
    const EC_GROUP* pGroup = smk::SMGroup(NID_prime256v1SM2);
    morv::OsslPtr<BN_CTX> pCtx(BN_CTX_new_ex(smk::SM2LibCtx()));
    morv::OsslPtr<BIGNUM> pD(BN_bin2bn(d, kFieldSize, NULL));
    morv::OsslPtr<BIGNUM> pX(BN_new()), pY(BN_new());
    if (!pGroup || !pCtx || !pD || !pX || !pY) return 0;
    if (!IsPrivateKeyInRange(pD.get(), pGroup)) return 0;
    if (smk::SM2FastApplies(pGroup, pD.get())) return CheckOnPublishedCurve(pD.get(), pGroup, pCtx.get(), x, y);
    morv::OsslPtr<EC_POINT> pPoint(EC_POINT_new(pGroup));
    unsigned char abyX[kFieldSize], abyY[kFieldSize];
    return pPoint && 1 == EC_POINT_mul(pGroup, pPoint.get(), pD.get(), NULL, NULL, pCtx.get()) &&
           1 == EC_POINT_get_affine_coordinates(pGroup, pPoint.get(), pX.get(), pY.get(),
                                                pCtx.get()) &&
           1 == _SM2_GetBNBytes(pX.get(), abyX) && 1 == _SM2_GetBNBytes(pY.get(), abyY) &&
           0 == CRYPTO_memcmp(abyX, x, kFieldSize) && 0 == CRYPTO_memcmp(abyY, y, kFieldSize);
}
