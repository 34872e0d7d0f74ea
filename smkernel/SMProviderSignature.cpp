// Provider signature SM2 (GB/T 32918.2): SM3 only. Digest signing hashes SM3(Z || M) with Z
// computed at the first update, from the default user ID "1234567812345678" unless a
// distinguishing ID is set (GB/T 32918.2 5.5 and GM/T 0009). Signatures are DER
// SEQUENCE { r, s }; every failed verification returns -1.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ecdsa.h>
#include <openssl/params.h>

#include <cstring>
#include <initializer_list>
#include <new>
#include <strings.h>

#include "OsslPtr.h"
#include "SM2.h"
#include "SM3.h"
#include "SMErr.h"
#include "SMObjects.h"
#include "SMProvider.h"

namespace smk {
namespace {

const size_t SM2_MAX_SIG_SIZE = 72;
const unsigned char SM2_DEFAULT_ID[] = "1234567812345678";
const size_t SM2_DEFAULT_ID_LEN = 16;
// AlgorithmIdentifier { 1.2.156.10197.1.501 } (SM2 with SM3), parameters absent.
const unsigned char SM2_SM3_ALGORITHM_ID[] = {0x30, 0x0a, 0x06, 0x08, 0x2a, 0x81, 0x1c,
                                              0xcf, 0x55, 0x01, 0x83, 0x75};

struct Sm2SigCtx {
    ProvCtx* pProvCtx;
    Sm2KeyData key;             // a copy: the context never depends on the key's lifetime
    SM3_CTX sm3;
    unsigned char* pbyId;       // distinguishing ID, or null for the default
    size_t nIdLen;
    int bZDone;                 // Z already hashed
};

void* SigNewCtx(void* pvProvCtx, const char*)
{
    Sm2SigCtx* pCtx = new (std::nothrow) Sm2SigCtx();
    if (pCtx) pCtx->pProvCtx = static_cast<ProvCtx*>(pvProvCtx);
    return pCtx;
}

void SigFreeCtx(void* pvCtx)
{
    Sm2SigCtx* pCtx = static_cast<Sm2SigCtx*>(pvCtx);
    if (!pCtx) return;
    OPENSSL_free(pCtx->pbyId);
    OPENSSL_cleanse(pCtx, sizeof *pCtx);
    delete pCtx;
}

void* SigDupCtx(void* pvCtx)
{
    const Sm2SigCtx* pFrom = static_cast<const Sm2SigCtx*>(pvCtx);
    Sm2SigCtx* pCtx = new (std::nothrow) Sm2SigCtx(*pFrom);
    if (!pCtx) return nullptr;
    pCtx->pbyId = nullptr;
    if (pFrom->pbyId && !(pCtx->pbyId = (unsigned char*)OPENSSL_memdup(pFrom->pbyId, pFrom->nIdLen))) {
        SigFreeCtx(pCtx);
        return nullptr;
    }
    return pCtx;
}

bool IsSm3Name(const char* pszName)
{
    for (const char* pszSm3 : {"SM3", "ChinaSM3", "tls1-sm3", "1.2.156.10197.1.401"})
        if (0 == strcasecmp(pszName, pszSm3)) return true;
    return false;
}

int SetDistId(Sm2SigCtx* pCtx, const OSSL_PARAM* p)
{
    void* pvId = nullptr;
    size_t nId = 0;
    if (pCtx->bZDone) return SMK_ERR_RAISE(SMK_R_INVALID_DIST_ID), 0;
    if (!OSSL_PARAM_get_octet_string(p, &pvId, 0, &nId)) return 0;
    OPENSSL_free(pCtx->pbyId);
    pCtx->pbyId = (unsigned char*)pvId;
    pCtx->nIdLen = nId;
    return 1;
}

int SigSetCtxParams(void* pvCtx, const OSSL_PARAM pParams[])
{
    Sm2SigCtx* pCtx = static_cast<Sm2SigCtx*>(pvCtx);
    if (!pParams) return 1;
    const OSSL_PARAM* p = OSSL_PARAM_locate_const(pParams, OSSL_PKEY_PARAM_DIST_ID);
    if (p && !SetDistId(pCtx, p)) return 0;
    p = OSSL_PARAM_locate_const(pParams, OSSL_SIGNATURE_PARAM_DIGEST);
    const char* pszMd = nullptr;
    if (p && (!OSSL_PARAM_get_utf8_string_ptr(p, &pszMd) || !IsSm3Name(pszMd)))
        return SMK_ERR_RAISE(SMK_R_INVALID_DIGEST), 0;
    return 1;
}

const OSSL_PARAM* SigSettableCtxParams(void*, void*)
{
    static const OSSL_PARAM s_Settable[] = {
        OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_DIST_ID, nullptr, 0),
        OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, nullptr, 0),
        OSSL_PARAM_END};
    return s_Settable;
}

int SigGetCtxParams(void*, OSSL_PARAM pParams[])
{
    OSSL_PARAM* p = OSSL_PARAM_locate(pParams, OSSL_SIGNATURE_PARAM_ALGORITHM_ID);
    if (p && !OSSL_PARAM_set_octet_string(p, SM2_SM3_ALGORITHM_ID, sizeof SM2_SM3_ALGORITHM_ID))
        return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_SIGNATURE_PARAM_DIGEST);
    if (p && !OSSL_PARAM_set_utf8_string(p, "SM3")) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_SIGNATURE_PARAM_DIGEST_SIZE);
    if (p && !OSSL_PARAM_set_size_t(p, SM3_DIGEST_LENGTH)) return 0;
    return 1;
}

const OSSL_PARAM* SigGettableCtxParams(void*, void*)
{
    static const OSSL_PARAM s_Gettable[] = {
        OSSL_PARAM_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID, nullptr, 0),
        OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, nullptr, 0),
        OSSL_PARAM_size_t(OSSL_SIGNATURE_PARAM_DIGEST_SIZE, nullptr),
        OSSL_PARAM_END};
    return s_Gettable;
}

int SigInit(Sm2SigCtx* pCtx, void* pvKey, const OSSL_PARAM pParams[], bool bPrivate)
{
    const Sm2KeyData* pKey = static_cast<const Sm2KeyData*>(pvKey);
    if (!pKey || !pKey->bHasPublic || (bPrivate && !pKey->bHasPrivate))
        return SMK_ERR_RAISE(SMK_R_INVALID_KEY), 0;
    pCtx->key = *pKey;
    pCtx->bZDone = 0;
    return SM3_Init(&pCtx->sm3) && SigSetCtxParams(pCtx, pParams);
}

int SigSignInit(void* pvCtx, void* pvKey, const OSSL_PARAM pParams[])
{
    return SigInit(static_cast<Sm2SigCtx*>(pvCtx), pvKey, pParams, true);
}

int SigVerifyInit(void* pvCtx, void* pvKey, const OSSL_PARAM pParams[])
{
    return SigInit(static_cast<Sm2SigCtx*>(pvCtx), pvKey, pParams, false);
}

// e as a number, signed on the published curve, DER into pbySig.
int SignValue(Sm2SigCtx* pCtx, unsigned char* pbySig, size_t* pnSig, size_t nSigSize,
              const unsigned char* pbyE, size_t nE)
{
    if (!pbySig) {
        *pnSig = SM2_MAX_SIG_SIZE;
        return 1;
    }
    if (nSigSize < SM2_MAX_SIG_SIZE) return SMK_ERR_RAISE(SMK_R_BUFFER_TOO_SMALL), 0;
    pCtx->pProvCtx->nSign++;
    morv::OsslPtr<BIGNUM> pE(BN_bin2bn(pbyE, (int)nE, nullptr));
    morv::OsslPtr<BIGNUM> pD(BN_secure_new());
    if (!pE || !pD || !BN_bin2bn(pCtx->key.abyD, 32, pD.get())) return -1;
    morv::OsslPtr<ECDSA_SIG> pSig(pCtx->key.bHasInv
                                      ? SM2SignWithInverse(pE.get(), pD.get(), pCtx->key.abyInv)
                                      : _SM2_sign(pE.get(), pD.get(), NID_prime256v1SM2));
    unsigned char* pbyOut = pbySig;
    int nDer = pSig ? i2d_ECDSA_SIG(pSig.get(), &pbyOut) : -1;
    if (nDer <= 0) return -1;
    *pnSig = (size_t)nDer;
    return 1;
}

// 1 for a valid DER signature over the 32-byte e; -1 for everything else.
int VerifyValue(Sm2SigCtx* pCtx, const unsigned char* pbySig, size_t nSig,
                const unsigned char* pbyE, size_t nE)
{
    pCtx->pProvCtx->nVerify++;
    if (nE != SM3_DIGEST_LENGTH || !pbySig) return -1;
    const unsigned char* pbyIn = pbySig;
    morv::OsslPtr<ECDSA_SIG> pSig(d2i_ECDSA_SIG(nullptr, &pbyIn, (long)nSig));
    if (!pSig || pbyIn != pbySig + nSig) return -1;
    unsigned char abyR[32], abyS[32];
    if (!_SM2_GetBNBytes(ECDSA_SIG_get0_r(pSig.get()), abyR) ||
        !_SM2_GetBNBytes(ECDSA_SIG_get0_s(pSig.get()), abyS))
        return -1;
    return 1 == _SM2_verify_ex(abyR, abyS, pCtx->key.abyX, pCtx->key.abyY, pbyE) ? 1 : -1;
}

int SigSign(void* pvCtx, unsigned char* pbySig, size_t* pnSig, size_t nSigSize,
            const unsigned char* pbyTbs, size_t nTbs)
{
    return SignValue(static_cast<Sm2SigCtx*>(pvCtx), pbySig, pnSig, nSigSize, pbyTbs, nTbs);
}

int SigVerify(void* pvCtx, const unsigned char* pbySig, size_t nSig, const unsigned char* pbyTbs,
              size_t nTbs)
{
    return VerifyValue(static_cast<Sm2SigCtx*>(pvCtx), pbySig, nSig, pbyTbs, nTbs);
}

int DigestInit(void* pvCtx, const char* pszMd, void* pvKey, const OSSL_PARAM pParams[], bool bSign)
{
    if (pszMd && !IsSm3Name(pszMd)) return SMK_ERR_RAISE(SMK_R_INVALID_DIGEST), 0;
    return SigInit(static_cast<Sm2SigCtx*>(pvCtx), pvKey, pParams, bSign);
}

int DigestSignInit(void* pvCtx, const char* pszMd, void* pvKey, const OSSL_PARAM pParams[])
{
    return DigestInit(pvCtx, pszMd, pvKey, pParams, true);
}

int DigestVerifyInit(void* pvCtx, const char* pszMd, void* pvKey, const OSSL_PARAM pParams[])
{
    return DigestInit(pvCtx, pszMd, pvKey, pParams, false);
}

// Z of the key and the ID, fed to the digest once, before the message.
int HashZ(Sm2SigCtx* pCtx)
{
    if (pCtx->bZDone) return 1;
    unsigned char abyZ[32];
    int nOk = 0;
    if (!pCtx->pbyId || (pCtx->nIdLen == SM2_DEFAULT_ID_LEN &&
                         0 == memcmp(pCtx->pbyId, SM2_DEFAULT_ID, SM2_DEFAULT_ID_LEN))) {
        nOk = _SM2_CalculateDefaultZValue(pCtx->key.abyX, pCtx->key.abyY, abyZ);
    } else {
        const EC_GROUP* pGroup = SMGroup(NID_prime256v1SM2);
        morv::OsslPtr<BIGNUM> pA(BN_new()), pB(BN_new()), pXG(BN_new()), pYG(BN_new());
        morv::OsslPtr<BIGNUM> pXA(BN_bin2bn(pCtx->key.abyX, 32, nullptr)), pYA(BN_bin2bn(pCtx->key.abyY, 32, nullptr));
        nOk = pGroup && pA && pB && pXG && pYG && pXA && pYA &&
              EC_GROUP_get_curve(pGroup, nullptr, pA.get(), pB.get(), nullptr) &&
              EC_POINT_get_affine_coordinates(pGroup, EC_GROUP_get0_generator(pGroup), pXG.get(),
                                              pYG.get(), nullptr) &&
              _SM2_CalculateZValue(pCtx->pbyId, (unsigned)pCtx->nIdLen, pA.get(), pB.get(),
                                   pXG.get(), pYG.get(), pXA.get(), pYA.get(), abyZ);
    }
    nOk = nOk && SM3_Update(&pCtx->sm3, abyZ, sizeof abyZ);
    pCtx->bZDone = nOk;
    return nOk;
}

int DigestUpdate(void* pvCtx, const unsigned char* pbyData, size_t nData)
{
    Sm2SigCtx* pCtx = static_cast<Sm2SigCtx*>(pvCtx);
    return HashZ(pCtx) && SM3_Update(&pCtx->sm3, pbyData, nData);
}

int DigestFinal(Sm2SigCtx* pCtx, unsigned char abyE[32])
{
    return HashZ(pCtx) && SM3_Final(abyE, &pCtx->sm3);
}

int DigestSignFinal(void* pvCtx, unsigned char* pbySig, size_t* pnSig, size_t nSigSize)
{
    Sm2SigCtx* pCtx = static_cast<Sm2SigCtx*>(pvCtx);
    unsigned char abyE[32] = {0};
    if (!pbySig || nSigSize < SM2_MAX_SIG_SIZE) return SignValue(pCtx, pbySig, pnSig, nSigSize, abyE, 0);
    if (!DigestFinal(pCtx, abyE)) return -1;
    return SignValue(pCtx, pbySig, pnSig, nSigSize, abyE, sizeof abyE);
}

int DigestVerifyFinal(void* pvCtx, const unsigned char* pbySig, size_t nSig)
{
    Sm2SigCtx* pCtx = static_cast<Sm2SigCtx*>(pvCtx);
    unsigned char abyE[32];
    if (!DigestFinal(pCtx, abyE)) return -1;
    return VerifyValue(pCtx, pbySig, nSig, abyE, sizeof abyE);
}

const OSSL_DISPATCH g_Sm2SignatureFunctions[] = {
    {OSSL_FUNC_SIGNATURE_NEWCTX, (void (*)(void))SigNewCtx},
    {OSSL_FUNC_SIGNATURE_FREECTX, (void (*)(void))SigFreeCtx},
    {OSSL_FUNC_SIGNATURE_DUPCTX, (void (*)(void))SigDupCtx},
    {OSSL_FUNC_SIGNATURE_SIGN_INIT, (void (*)(void))SigSignInit},
    {OSSL_FUNC_SIGNATURE_SIGN, (void (*)(void))SigSign},
    {OSSL_FUNC_SIGNATURE_VERIFY_INIT, (void (*)(void))SigVerifyInit},
    {OSSL_FUNC_SIGNATURE_VERIFY, (void (*)(void))SigVerify},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, (void (*)(void))DigestSignInit},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, (void (*)(void))DigestUpdate},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, (void (*)(void))DigestSignFinal},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_INIT, (void (*)(void))DigestVerifyInit},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_UPDATE, (void (*)(void))DigestUpdate},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_FINAL, (void (*)(void))DigestVerifyFinal},
    {OSSL_FUNC_SIGNATURE_GET_CTX_PARAMS, (void (*)(void))SigGetCtxParams},
    {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_PARAMS, (void (*)(void))SigGettableCtxParams},
    {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, (void (*)(void))SigSetCtxParams},
    {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, (void (*)(void))SigSettableCtxParams},
    {0, nullptr}};

}  // namespace

const OSSL_ALGORITHM g_Sm2SignatureAlgorithms[] = {
    {"SM2:1.2.156.10197.1.301", "provider=smk", g_Sm2SignatureFunctions, "SM2 of the MORV SM kernel"},
    {nullptr, nullptr, nullptr, nullptr}};

}  // namespace smk
