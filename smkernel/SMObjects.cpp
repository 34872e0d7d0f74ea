#include "SMObjects.h"

#include <cstring>
#include <mutex>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>

#include "KernelHold.h"
#include "KernelObjects.h"
#include "OsslPtr.h"

namespace smk {
namespace {

// Names as earlier versions of the system registered them; identifiers from GM/T 0006.
const SMObject g_aSMObjects[] = {
    {NID_prime256v1SM2, "ChinaSM2256", "prime256v1SM2", "1.2.156.10197.1.301",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D}, 8},
    {NID_prime256v1SM2TEST, "ChinaSM2TEST256", "prime256v1SM2TEST", "1.2.156.10197.1.888",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x86, 0x78}, 8},
    {NID_ChinaSM3, "sm3", "ChinaSM3", "1.2.156.10197.1.401",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11}, 8},
    {NID_ChinaSM4_CBC, "sm4-cbc", "ChinaSM4-CBC", "1.2.156.10197.1.104",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x68}, 7},
    {NID_ChinaSM2withSM3, "sm2-sm3", "ChinaSM2withSM3", "1.2.156.10197.1.501",
     {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75}, 8},
};

const SMCurve g_aSMCurves[] = {
    {NID_prime256v1SM2, "China SM2 curve over a 256 bit prime field"},
    {NID_prime256v1SM2TEST, "China SM2 Test curve over a 256 bit prime field"},
};

// GB/T 32918.5-2017 annex (GM/T 0003.5 appendix): the Fp-256 example curve.
const char g_szTestP[] = "8542D69E4C044F18E8B92435BF6FF7DE457283915C45517D722EDB8B08F1DFC3";
const char g_szTestA[] = "787968B4FA32C3FD2417842E73BBFEFF2F3C848B6831D7E0EC65228B3937E498";
const char g_szTestB[] = "63E4C6D3B23B0C849CF84241484BFE48F61D59A5B16BA06E6E12D1DA27C5249A";
const char g_szTestXG[] = "421DEBD61B62EAB6746434EBC3CC315E32220B3BADD50BDC4C4E6C147FEDD43D";
const char g_szTestYG[] = "0680512BCBB42C07D47349D2153B70C4E5D7FDFCBFA36EA1A85841B9E46E09A2";
const char g_szTestN[] = "8542D69E4C044F18E8B92435BF6FF7DD297720630485628D5AE74EE7C32E79B7";

struct SigRow {
    int nSig, nDigest, nKey;
};
const SigRow g_aSigRows[] = {{NID_ChinaSM2withSM3, NID_ChinaSM3, NID_X9_62_id_ecPublicKey}};

morv::OsslPtr<BIGNUM> HexBN(const char* pszHex)
{
    BIGNUM* pBN = NULL;
    if (0 == BN_hex2bn(&pBN, pszHex)) return nullptr;
    return morv::OsslPtr<BIGNUM>(pBN);
}

// The example curve from its parameters, in pLibCtx (EC_GROUP_new_curve_GFp knows no library
// context).
EC_GROUP* BuildTestGroup(OSSL_LIB_CTX* pLibCtx)
{
    morv::OsslPtr<BIGNUM> p = HexBN(g_szTestP), a = HexBN(g_szTestA), b = HexBN(g_szTestB);
    morv::OsslPtr<BIGNUM> xG = HexBN(g_szTestXG), yG = HexBN(g_szTestYG), n = HexBN(g_szTestN);
    morv::OsslPtr<OSSL_PARAM_BLD> pBld(OSSL_PARAM_BLD_new());
    unsigned char abyG[65] = {0x04};
    if (!p || !a || !b || !xG || !yG || !n || !pBld || 32 != BN_bn2binpad(xG.get(), abyG + 1, 32) ||
        32 != BN_bn2binpad(yG.get(), abyG + 33, 32))
        return NULL;
    if (!OSSL_PARAM_BLD_push_utf8_string(pBld.get(), OSSL_PKEY_PARAM_EC_FIELD_TYPE, SN_X9_62_prime_field, 0) ||
        !OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_EC_P, p.get()) ||
        !OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_EC_A, a.get()) ||
        !OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_EC_B, b.get()) ||
        !OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_EC_ORDER, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_EC_COFACTOR, BN_value_one()) ||
        !OSSL_PARAM_BLD_push_octet_string(pBld.get(), OSSL_PKEY_PARAM_EC_GENERATOR, abyG, sizeof abyG))
        return NULL;
    morv::OsslPtr<OSSL_PARAM> pParams(OSSL_PARAM_BLD_to_param(pBld.get()));
    return pParams ? EC_GROUP_new_from_params(pParams.get(), pLibCtx, NULL) : NULL;
}

struct CachedGroup {
    std::once_flag once;
    EC_GROUP* pGroup = NULL;   // lives until the process ends
};
// For callers outside a running kernel: the primitives have always worked without a start.
// Built in the default context, immutable and tied to no kernel, so a stop never touches them.
CachedGroup g_aGroups[2];

}  // namespace

const SMObject* FindSMObjectByNid(int nNid)
{
    for (const SMObject& row : g_aSMObjects)
        if (row.nNid == nNid) return &row;
    return NULL;
}

const SMObject* FindSMObjectByText(const char* pszText)
{
    if (NULL == pszText) return NULL;
    for (const SMObject& row : g_aSMObjects) {
        if (0 == strcmp(pszText, row.pszShortName) || 0 == strcmp(pszText, row.pszLongName) ||
            0 == strcmp(pszText, row.pszOid))
            return &row;
    }
    return NULL;
}

int SMTxt2Nid(const char* pszText)
{
    if (NULL == pszText) return NID_undef;
    const SMObject* pRow = FindSMObjectByText(pszText);
    return pRow ? pRow->nNid : OBJ_txt2nid(pszText);
}

const char* SMNid2Oid(int nNid)
{
    const SMObject* pRow = FindSMObjectByNid(nNid);
    return pRow ? pRow->pszOid : NULL;
}

const SMCurve* SMCurveList(size_t* pnCount)
{
    if (pnCount) *pnCount = sizeof(g_aSMCurves) / sizeof(g_aSMCurves[0]);
    return g_aSMCurves;
}

bool IsSMCurve(int nCurveNid)
{
    return NID_prime256v1SM2 == nCurveNid || NID_prime256v1SM2TEST == nCurveNid;
}

EC_GROUP* BuildSMGroup(int nCurveNid, OSSL_LIB_CTX* pLibCtx)
{
    if (!IsSMCurve(nCurveNid)) return NULL;
    morv::OsslPtr<EC_GROUP> pGroup(NID_prime256v1SM2TEST == nCurveNid
                                       ? BuildTestGroup(pLibCtx)
                                       : EC_GROUP_new_by_curve_name_ex(pLibCtx, NULL, NID_prime256v1SM2));
    // Precomputed multiples of G serve every [s]G + [t]P of verification. Deprecated in
    // OpenSSL 3.0 but still the only public way to give a group its generator table.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!pGroup || 1 != EC_GROUP_precompute_mult(pGroup.get(), NULL)) return NULL;
#pragma GCC diagnostic pop
    return pGroup.release();
}

const EC_GROUP* SMGroup(int nCurveNid)
{
    if (!IsSMCurve(nCurveNid)) return NULL;
    const EC_GROUP* pKernelGroup = KernelHold::HeldHere() ? KernelGroup(nCurveNid) : NULL;
    if (pKernelGroup) return pKernelGroup;
    CachedGroup& cached = g_aGroups[NID_prime256v1SM2TEST == nCurveNid ? 1 : 0];
    std::call_once(cached.once, [&] { cached.pGroup = BuildSMGroup(nCurveNid, NULL); });
    return cached.pGroup;
}

bool IsPublishedCurveGroup(const EC_GROUP* pGroup)
{
    return NULL != pGroup && NID_prime256v1SM2 == EC_GROUP_get_curve_name(pGroup);
}

int SMFindSigidAlgs(int nSigNid, int* pnDigestNid, int* pnKeyNid)
{
    for (const SigRow& row : g_aSigRows) {
        if (row.nSig != nSigNid) continue;
        if (pnDigestNid) *pnDigestNid = row.nDigest;
        if (pnKeyNid) *pnKeyNid = row.nKey;
        return 1;
    }
    return 0;
}

int SMFindSigidByAlgs(int* pnSigNid, int nDigestNid, int nKeyNid)
{
    for (const SigRow& row : g_aSigRows) {
        if (row.nDigest != nDigestNid || row.nKey != nKeyNid) continue;
        if (pnSigNid) *pnSigNid = row.nSig;
        return 1;
    }
    return 0;
}

}  // namespace smk
