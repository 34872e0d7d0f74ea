#include "SM2Fast.h"

#include <openssl/crypto.h>

#include "OsslPtr.h"
#include "SM2.h"
#include "SM2P256.h"
#include "SMObjects.h"

using morv::OsslPtr;

namespace smk {
namespace {

bool Fits(const BIGNUM* v) { return NULL == v || (!BN_is_negative(v) && BN_num_bytes(v) <= SM2_FIELD_SIZE); }

// The number as a 32-byte field; BN_bn2binpad does not branch on the digits.
bool Field(const BIGNUM* v, unsigned char out[SM2_FIELD_SIZE])
{
    return SM2_FIELD_SIZE == BN_bn2binpad(v, out, SM2_FIELD_SIZE);
}

bool PointFields(const EC_GROUP* pGroup, const EC_POINT* pPoint, unsigned char xy[64], BN_CTX* pCtx)
{
    OsslPtr<BIGNUM> x(BN_new()), y(BN_new());
    return x && y && 1 == EC_POINT_get_affine_coordinates(pGroup, pPoint, x.get(), y.get(), pCtx) &&
           Field(x.get(), xy) && Field(y.get(), xy + SM2_FIELD_SIZE);
}

}  // namespace

bool SM2FastApplies(const EC_GROUP* pGroup, const BIGNUM* a, const BIGNUM* b)
{
    return IsPublishedCurveGroup(pGroup) && Fits(a) && Fits(b);
}

bool SM2FastMulToFields(const BIGNUM* k, const EC_POINT* pPoint, const EC_GROUP* pGroup, unsigned char xy[64],
                        BN_CTX* pCtx)
{
    unsigned char abyK[SM2_FIELD_SIZE], abyP[2 * SM2_FIELD_SIZE];
    bool bOk = Field(k, abyK) && (NULL == pPoint || PointFields(pGroup, pPoint, abyP, pCtx)) &&
               1 == sm2p256::MulToFields(abyK, pPoint ? abyP : NULL, abyP + SM2_FIELD_SIZE, xy);
    OPENSSL_cleanse(abyK, sizeof(abyK));
    return bOk;
}

bool SM2FastMulBothToFields(const BIGNUM* k, const EC_POINT* pPoint, const EC_GROUP* pGroup, unsigned char kg[64],
                            unsigned char kp[64], BN_CTX* pCtx)
{
    unsigned char abyK[SM2_FIELD_SIZE], abyP[2 * SM2_FIELD_SIZE];
    bool bOk = Field(k, abyK) && PointFields(pGroup, pPoint, abyP, pCtx) &&
               1 == sm2p256::MulBaseAndPointToFields(abyK, abyP, abyP + SM2_FIELD_SIZE, kg, kp);
    OPENSSL_cleanse(abyK, sizeof(abyK));
    return bOk;
}

int SM2FastSign(const BIGNUM* e, const BIGNUM* d, const BIGNUM* k, BIGNUM* r, BIGNUM* s,
                const unsigned char* pbyInv)
{
    unsigned char abyE[SM2_FIELD_SIZE], abyD[SM2_FIELD_SIZE], abyK[SM2_FIELD_SIZE];
    unsigned char abyR[SM2_FIELD_SIZE], abyS[SM2_FIELD_SIZE];
    int nCode = -2;
    if (Fits(k) && Field(e, abyE) && Field(d, abyD) && Field(k, abyK)) {
        nCode = pbyInv ? sm2p256::SignWithInverse(abyE, abyD, pbyInv, abyK, abyR, abyS)
                       : sm2p256::Sign(abyE, abyD, abyK, abyR, abyS);
        if (1 == nCode && (!BN_bin2bn(abyR, SM2_FIELD_SIZE, r) || !BN_bin2bn(abyS, SM2_FIELD_SIZE, s))) nCode = -2;
    }
    OPENSSL_cleanse(abyD, sizeof(abyD));
    OPENSSL_cleanse(abyK, sizeof(abyK));
    return nCode;
}

int SM2FastVerify(const BIGNUM* r, const BIGNUM* s, const EC_POINT* pPub, const BIGNUM* e, const EC_GROUP* pGroup,
                  BN_CTX* pCtx)
{
    unsigned char abyE[SM2_FIELD_SIZE], abyR[SM2_FIELD_SIZE], abyS[SM2_FIELD_SIZE], abyP[2 * SM2_FIELD_SIZE];
    if (!Field(e, abyE) || !Field(r, abyR) || !Field(s, abyS) || !PointFields(pGroup, pPub, abyP, pCtx)) return -2;
    return sm2p256::Verify(abyE, abyR, abyS, abyP, abyP + SM2_FIELD_SIZE);
}

}  // namespace smk
