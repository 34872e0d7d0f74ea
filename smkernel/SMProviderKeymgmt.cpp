// Provider keymgmt SM2: keys on the published SM2 curve (GB/T 32918.5), imported and
// exported as OpenSSL's EC parameters (group name, encoded public point, private scalar), so
// keys move freely between our provider and OpenSSL's encoders and decoders.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/params.h>
#include <openssl/param_build.h>

#include <cstring>
#include <new>
#include <strings.h>

#include "OsslPtr.h"
#include "SM2.h"
#include "SM2P256.h"
#include "SMErr.h"
#include "SMObjects.h"
#include "SMProvider.h"

namespace smk {
namespace {

const char* const SM2_GROUP_NAME = "SM2";
const int SM2_BITS = 256;
const int SM2_SECURITY_BITS = 128;
const int SM2_MAX_SIG_SIZE = 72;  // DER SEQUENCE of two INTEGERs of up to 33 bytes
const size_t SM2_POINT_SIZE = 65;

void* KeyNew(void* pvProvCtx)
{
    Sm2KeyData* pKey = new (std::nothrow) Sm2KeyData();
    if (pKey) pKey->pProvCtx = static_cast<ProvCtx*>(pvProvCtx);
    return pKey;
}

void KeyFree(void* pvKey)
{
    if (!pvKey) return;
    OPENSSL_cleanse(pvKey, sizeof(Sm2KeyData));
    delete static_cast<Sm2KeyData*>(pvKey);
}

void* KeyDup(const void* pvKey, int nSelection)
{
    const Sm2KeyData* pFrom = static_cast<const Sm2KeyData*>(pvKey);
    Sm2KeyData* pKey = new (std::nothrow) Sm2KeyData(*pFrom);
    if (!pKey) return nullptr;
    if (!(nSelection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY)) {
        OPENSSL_cleanse(pKey->abyD, sizeof pKey->abyD);
        OPENSSL_cleanse(pKey->abyInv, sizeof pKey->abyInv);
        pKey->bHasPrivate = 0;
        pKey->bHasInv = 0;
    }
    if (!(nSelection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) && !pKey->bHasPrivate) pKey->bHasPublic = 0;
    return pKey;
}

int KeyHas(const void* pvKey, int nSelection)
{
    const Sm2KeyData* pKey = static_cast<const Sm2KeyData*>(pvKey);
    if (!pKey) return 0;
    if ((nSelection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) && !pKey->bHasPublic) return 0;
    if ((nSelection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) && !pKey->bHasPrivate) return 0;
    return 1;
}

int KeyMatch(const void* pvA, const void* pvB, int nSelection)
{
    const Sm2KeyData* pA = static_cast<const Sm2KeyData*>(pvA);
    const Sm2KeyData* pB = static_cast<const Sm2KeyData*>(pvB);
    if ((nSelection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) &&
        (pA->bHasPublic != pB->bHasPublic || 0 != memcmp(pA->abyX, pB->abyX, 32) ||
         0 != memcmp(pA->abyY, pB->abyY, 32)))
        return 0;
    if ((nSelection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) && !(nSelection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) &&
        (pA->bHasPrivate != pB->bHasPrivate || CRYPTO_memcmp(pA->abyD, pB->abyD, 32) != 0))
        return 0;
    return 1;
}

// The group must be the published SM2 curve, named; explicit parameters (the example curve
// among them) are refused: such keys could never give signatures that verify.
int CheckGroup(const OSSL_PARAM pParams[])
{
    const OSSL_PARAM* p = OSSL_PARAM_locate_const(pParams, OSSL_PKEY_PARAM_GROUP_NAME);
    const char* pszGroup = nullptr;
    if (p) return OSSL_PARAM_get_utf8_string_ptr(p, &pszGroup) && 0 == strcasecmp(pszGroup, SM2_GROUP_NAME);
    return !OSSL_PARAM_locate_const(pParams, OSSL_PKEY_PARAM_EC_FIELD_TYPE) &&
           !OSSL_PARAM_locate_const(pParams, OSSL_PKEY_PARAM_EC_P);
}

// An encoded point (any form OpenSSL writes) on the curve, as two 32-byte fields.
int PointToFields(const EC_GROUP* pGroup, const EC_POINT* pPoint, Sm2KeyData* pKey)
{
    morv::OsslPtr<BIGNUM> pX(BN_new()), pY(BN_new());
    if (!pX || !pY || EC_POINT_is_at_infinity(pGroup, pPoint) ||
        1 != EC_POINT_get_affine_coordinates(pGroup, pPoint, pX.get(), pY.get(), nullptr))
        return 0;
    pKey->bHasPublic = _SM2_GetBNBytes(pX.get(), pKey->abyX) && _SM2_GetBNBytes(pY.get(), pKey->abyY);
    return pKey->bHasPublic;
}

int ImportPublic(const OSSL_PARAM* p, const EC_GROUP* pGroup, Sm2KeyData* pKey)
{
    const void* pvPoint = nullptr;
    size_t nPoint = 0;
    morv::OsslPtr<EC_POINT> pPoint(EC_POINT_new(pGroup));
    if (!pPoint || !OSSL_PARAM_get_octet_string_ptr(p, &pvPoint, &nPoint) ||
        1 != EC_POINT_oct2point(pGroup, pPoint.get(), (const unsigned char*)pvPoint, nPoint, nullptr))
        return 0;
    return PointToFields(pGroup, pPoint.get(), pKey);
}

// d in [1, n - 1]; the public point follows from it when it was not given.
int ImportPrivate(const OSSL_PARAM* p, const EC_GROUP* pGroup, Sm2KeyData* pKey)
{
    BIGNUM* pRawD = nullptr;
    if (!OSSL_PARAM_get_BN(p, &pRawD)) return 0;
    morv::OsslPtr<BIGNUM> pD(pRawD);
    const BIGNUM* pOrder = EC_GROUP_get0_order(pGroup);
    if (BN_is_zero(pD.get()) || BN_is_negative(pD.get()) || BN_cmp(pD.get(), pOrder) >= 0 ||
        !_SM2_GetBNBytes(pD.get(), pKey->abyD))
        return 0;
    pKey->bHasPrivate = 1;
    pKey->bHasInv = 1 == sm2p256::SignInverse(pKey->abyD, pKey->abyInv);
    if (pKey->bHasPublic) return 1;
    morv::OsslPtr<EC_POINT> pPoint(EC_POINT_new(pGroup));
    return pPoint && 1 == EC_POINT_mul(pGroup, pPoint.get(), pD.get(), nullptr, nullptr, nullptr) &&
           PointToFields(pGroup, pPoint.get(), pKey);
}

int KeyImport(void* pvKey, int nSelection, const OSSL_PARAM pParams[])
{
    Sm2KeyData* pKey = static_cast<Sm2KeyData*>(pvKey);
    const EC_GROUP* pGroup = SMGroup(NID_prime256v1SM2);
    if (!pKey || !pGroup || !CheckGroup(pParams)) return SMK_ERR_RAISE(SMK_R_INVALID_KEY), 0;
    const OSSL_PARAM* pPub = OSSL_PARAM_locate_const(pParams, OSSL_PKEY_PARAM_PUB_KEY);
    const OSSL_PARAM* pPriv = OSSL_PARAM_locate_const(pParams, OSSL_PKEY_PARAM_PRIV_KEY);
    int bOk = 1;
    if ((nSelection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) && pPub) bOk = ImportPublic(pPub, pGroup, pKey);
    if (bOk && (nSelection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) && pPriv)
        bOk = ImportPrivate(pPriv, pGroup, pKey);
    if (bOk && (nSelection & OSSL_KEYMGMT_SELECT_KEYPAIR) && !pKey->bHasPublic) bOk = 0;
    if (!bOk) SMK_ERR_RAISE(SMK_R_INVALID_KEY);
    return bOk;
}

void EncodePoint(const Sm2KeyData* pKey, unsigned char abyPoint[SM2_POINT_SIZE])
{
    abyPoint[0] = 0x04;
    memcpy(abyPoint + 1, pKey->abyX, 32);
    memcpy(abyPoint + 33, pKey->abyY, 32);
}

int KeyExport(void* pvKey, int nSelection, OSSL_CALLBACK* pfnCallback, void* pvCbArg)
{
    const Sm2KeyData* pKey = static_cast<const Sm2KeyData*>(pvKey);
    morv::OsslPtr<OSSL_PARAM_BLD> pBld(OSSL_PARAM_BLD_new());
    unsigned char abyPoint[SM2_POINT_SIZE];
    EncodePoint(pKey, abyPoint);
    morv::OsslPtr<BIGNUM> pD(BN_secure_new());
    if (!pBld || !pD || !OSSL_PARAM_BLD_push_utf8_string(pBld.get(), OSSL_PKEY_PARAM_GROUP_NAME, SM2_GROUP_NAME, 0))
        return 0;
    if ((nSelection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) && pKey->bHasPublic &&
        !OSSL_PARAM_BLD_push_octet_string(pBld.get(), OSSL_PKEY_PARAM_PUB_KEY, abyPoint, sizeof abyPoint))
        return 0;
    if ((nSelection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) && pKey->bHasPrivate &&
        (!BN_bin2bn(pKey->abyD, 32, pD.get()) ||
         !OSSL_PARAM_BLD_push_BN_pad(pBld.get(), OSSL_PKEY_PARAM_PRIV_KEY, pD.get(), 32)))
        return 0;
    morv::OsslPtr<OSSL_PARAM> pParams(OSSL_PARAM_BLD_to_param(pBld.get()));
    return pParams && pfnCallback(pParams.get(), pvCbArg);
}

const OSSL_PARAM g_aKeyTypes[] = {
    OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, nullptr, 0),
    OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0),
    OSSL_PARAM_BN(OSSL_PKEY_PARAM_PRIV_KEY, nullptr, 0),
    OSSL_PARAM_END};

const OSSL_PARAM* KeyTypes(int) { return g_aKeyTypes; }

int SetBnField(OSSL_PARAM* p, const unsigned char aby[32])
{
    morv::OsslPtr<BIGNUM> pBn(BN_bin2bn(aby, 32, nullptr));
    return pBn && OSSL_PARAM_set_BN(p, pBn.get());
}

int KeyGetPublicParams(const Sm2KeyData* pKey, OSSL_PARAM pParams[])
{
    if (!pKey->bHasPublic) return 1;
    unsigned char abyPoint[SM2_POINT_SIZE];
    EncodePoint(pKey, abyPoint);
    OSSL_PARAM* p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_PUB_KEY);
    if (p && !OSSL_PARAM_set_octet_string(p, abyPoint, sizeof abyPoint)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY);
    if (p && !OSSL_PARAM_set_octet_string(p, abyPoint, sizeof abyPoint)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_EC_PUB_X);
    if (p && !SetBnField(p, pKey->abyX)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_EC_PUB_Y);
    if (p && !SetBnField(p, pKey->abyY)) return 0;
    return 1;
}

int KeyGetParams(void* pvKey, OSSL_PARAM pParams[])
{
    const Sm2KeyData* pKey = static_cast<const Sm2KeyData*>(pvKey);
    OSSL_PARAM* p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_BITS);
    if (p && !OSSL_PARAM_set_int(p, SM2_BITS)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_SECURITY_BITS);
    if (p && !OSSL_PARAM_set_int(p, SM2_SECURITY_BITS)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_MAX_SIZE);
    if (p && !OSSL_PARAM_set_int(p, SM2_MAX_SIG_SIZE)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_DEFAULT_DIGEST);
    if (p && !OSSL_PARAM_set_utf8_string(p, "SM3")) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_GROUP_NAME);
    if (p && !OSSL_PARAM_set_utf8_string(p, SM2_GROUP_NAME)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PKEY_PARAM_PRIV_KEY);
    if (p && pKey->bHasPrivate && !SetBnField(p, pKey->abyD)) return 0;
    return KeyGetPublicParams(pKey, pParams);
}

const OSSL_PARAM* KeyGettableParams(void*)
{
    static const OSSL_PARAM s_Gettable[] = {
        OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, nullptr),
        OSSL_PARAM_int(OSSL_PKEY_PARAM_SECURITY_BITS, nullptr),
        OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, nullptr),
        OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_DEFAULT_DIGEST, nullptr, 0),
        OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, nullptr, 0),
        OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0),
        OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0),
        OSSL_PARAM_BN(OSSL_PKEY_PARAM_EC_PUB_X, nullptr, 0),
        OSSL_PARAM_BN(OSSL_PKEY_PARAM_EC_PUB_Y, nullptr, 0),
        OSSL_PARAM_BN(OSSL_PKEY_PARAM_PRIV_KEY, nullptr, 0),
        OSSL_PARAM_END};
    return s_Gettable;
}

const char* KeyQueryOperationName(int) { return "SM2"; }

const OSSL_DISPATCH g_Sm2KeymgmtFunctions[] = {
    {OSSL_FUNC_KEYMGMT_NEW, (void (*)(void))KeyNew},
    {OSSL_FUNC_KEYMGMT_FREE, (void (*)(void))KeyFree},
    {OSSL_FUNC_KEYMGMT_DUP, (void (*)(void))KeyDup},
    {OSSL_FUNC_KEYMGMT_HAS, (void (*)(void))KeyHas},
    {OSSL_FUNC_KEYMGMT_MATCH, (void (*)(void))KeyMatch},
    {OSSL_FUNC_KEYMGMT_IMPORT, (void (*)(void))KeyImport},
    {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, (void (*)(void))KeyTypes},
    {OSSL_FUNC_KEYMGMT_EXPORT, (void (*)(void))KeyExport},
    {OSSL_FUNC_KEYMGMT_EXPORT_TYPES, (void (*)(void))KeyTypes},
    {OSSL_FUNC_KEYMGMT_GET_PARAMS, (void (*)(void))KeyGetParams},
    {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, (void (*)(void))KeyGettableParams},
    {OSSL_FUNC_KEYMGMT_QUERY_OPERATION_NAME, (void (*)(void))KeyQueryOperationName},
    {0, nullptr}};

}  // namespace

const OSSL_ALGORITHM g_Sm2KeymgmtAlgorithms[] = {
    {"SM2:1.2.156.10197.1.301", "provider=smk", g_Sm2KeymgmtFunctions, "SM2 of the MORV SM kernel"},
    {nullptr, nullptr, nullptr, nullptr}};

}  // namespace smk
