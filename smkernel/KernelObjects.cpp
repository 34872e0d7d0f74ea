// The kernel's objects that never change: made at start, reused by every call, freed at stop.
#include "KernelObjects.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <atomic>
#include <cstring>
#include <new>

#include "OsslPtr.h"
#include "SMKernel.h"
#include "SMObjects.h"

namespace smk {
namespace {

// Every digest and cipher an operation asks for by number, with its name in kctx. Ours must
// come from our provider; the others come where kctx's default properties send them.
struct Fetch {
    int nNid;
    const char* pszName;
    const char* pszProperties;
};

const Fetch DIGESTS[] = {
    {NID_sm3, "SM3", "provider=smk"}, {NID_md5, "MD5", nullptr},       {NID_sha1, "SHA1", nullptr},
    {NID_sha256, "SHA256", nullptr},  {NID_sha384, "SHA384", nullptr}, {NID_sha512, "SHA512", nullptr},
};
const Fetch CIPHERS[] = {
    {NID_sm4_cbc, "SM4-CBC", "provider=smk"},
    {NID_rc4, "RC4", nullptr},
    {NID_des_ede3_ecb, "DES-EDE3-ECB", nullptr},
    {NID_des_ede3_cbc, "DES-EDE3-CBC", nullptr},
};
const int DIGEST_COUNT = sizeof DIGESTS / sizeof DIGESTS[0];
const int CIPHER_COUNT = sizeof CIPHERS / sizeof CIPHERS[0];
const int CURVES[] = {NID_prime256v1SM2, NID_prime256v1SM2TEST};
const int CURVE_COUNT = sizeof CURVES / sizeof CURVES[0];

struct Objects {
    EC_GROUP* apGroups[CURVE_COUNT] = {};
    EVP_MD* apDigests[DIGEST_COUNT] = {};
    EVP_CIPHER* apCiphers[CIPHER_COUNT] = {};
    // Set by the starting thread before the gate opens; every later reader holds the kernel.
    EVP_PKEY* pSm2Template = nullptr;

    ~Objects()
    {
        EVP_PKEY_free(pSm2Template);
        for (EVP_CIPHER* pCipher : apCiphers) EVP_CIPHER_free(pCipher);
        for (EVP_MD* pMd : apDigests) EVP_MD_free(pMd);
        for (EC_GROUP* pGroup : apGroups) EC_GROUP_free(pGroup);
    }
};

std::atomic<Objects*> g_pObjects{nullptr};

template <typename T> int IndexOf(const T& table, int nCount, int nNid)
{
    for (int i = 0; i < nCount; ++i)
        if (table[i].nNid == nNid) return i;
    return -1;
}

int CurveIndex(int nCurveNid)
{
    for (int i = 0; i < CURVE_COUNT; ++i)
        if (CURVES[i] == nCurveNid) return i;
    return -1;
}

bool MakeGroups(Objects& objects, OSSL_LIB_CTX* pLibCtx)
{
    for (int i = 0; i < CURVE_COUNT; ++i) {
        objects.apGroups[i] = BuildSMGroup(CURVES[i], pLibCtx);
        if (!objects.apGroups[i]) return false;
    }
    return true;
}

void FetchAll(Objects& objects, OSSL_LIB_CTX* pLibCtx)
{
    for (int i = 0; i < DIGEST_COUNT; ++i)
        objects.apDigests[i] = EVP_MD_fetch(pLibCtx, DIGESTS[i].pszName, DIGESTS[i].pszProperties);
    for (int i = 0; i < CIPHER_COUNT; ++i)
        objects.apCiphers[i] = EVP_CIPHER_fetch(pLibCtx, CIPHERS[i].pszName, CIPHERS[i].pszProperties);
}

// SM2 key parameters from 32-byte big-endian fields: the public point (x, y) and, when pbyD is
// not null, the private scalar.
struct Sm2KeyParams {
    morv::OsslPtr<OSSL_PARAM> pParams;
    int nSelection = 0;
};

bool BuildSm2KeyParams(const unsigned char* pbyD, const unsigned char pbyX[32],
                       const unsigned char pbyY[32], Sm2KeyParams& key)
{
    unsigned char abyPub[65] = {0x04};
    memcpy(abyPub + 1, pbyX, 32);
    memcpy(abyPub + 33, pbyY, 32);
    morv::OsslPtr<OSSL_PARAM_BLD> pBld(OSSL_PARAM_BLD_new());
    morv::OsslPtr<BIGNUM> pD(pbyD ? BN_bin2bn(pbyD, 32, nullptr) : nullptr);
    if (!pBld || (pbyD && !pD)) return false;
    key.nSelection = pbyD ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
    if (!OSSL_PARAM_BLD_push_utf8_string(pBld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(pBld.get(), OSSL_PKEY_PARAM_PUB_KEY, abyPub,
                                          sizeof abyPub) ||
        (pD && !OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_PRIV_KEY, pD.get())))
        return false;
    key.pParams.reset(OSSL_PARAM_BLD_to_param(pBld.get()));
    return nullptr != key.pParams;
}

// A key made through pCtx (a key-management context of our SM2) from the fields above.
EVP_PKEY* Sm2KeyFromData(EVP_PKEY_CTX* pCtx, const unsigned char* pbyD, const unsigned char pbyX[32],
                         const unsigned char pbyY[32])
{
    Sm2KeyParams key;
    EVP_PKEY* pKey = nullptr;
    if (!pCtx || !BuildSm2KeyParams(pbyD, pbyX, pbyY, key) || 1 != EVP_PKEY_fromdata_init(pCtx) ||
        1 != EVP_PKEY_fromdata(pCtx, &pKey, key.nSelection, key.pParams.get()))
        return nullptr;
    return pKey;
}

}  // namespace

bool MakeKernelObjects(OSSL_LIB_CTX* pLibCtx)
{
    Objects* pObjects = new (std::nothrow) Objects;
    if (!pObjects) return false;
    g_pObjects.store(pObjects);  // owned from here on: FreeKernelObjects frees it
    if (!MakeGroups(*pObjects, pLibCtx)) return false;
    FetchAll(*pObjects, pLibCtx);
    return pObjects->apDigests[IndexOf(DIGESTS, DIGEST_COUNT, NID_sm3)] &&
           pObjects->apCiphers[IndexOf(CIPHERS, CIPHER_COUNT, NID_sm4_cbc)];
}

bool MakeSm2KeyTemplate(OSSL_LIB_CTX* pLibCtx)
{
    Objects* pObjects = g_pObjects.load();
    const EC_GROUP* pGroup = KernelGroup(NID_prime256v1SM2);
    if (!pObjects || !pGroup || !pLibCtx) return false;
    unsigned char abyG[65];
    if (sizeof abyG != EC_POINT_point2oct(pGroup, EC_GROUP_get0_generator(pGroup),
                                          POINT_CONVERSION_UNCOMPRESSED, abyG, sizeof abyG, nullptr))
        return false;
    // The one lookup of our key management by name; every later key reuses what it found.
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new_from_name(pLibCtx, "SM2", nullptr));
    pObjects->pSm2Template = Sm2KeyFromData(pCtx.get(), nullptr, abyG + 1, abyG + 33);
    return nullptr != pObjects->pSm2Template;
}

void FreeKernelObjects() { delete g_pObjects.exchange(nullptr); }

const EC_GROUP* KernelGroup(int nCurveNid)
{
    const Objects* pObjects = g_pObjects.load(std::memory_order_acquire);
    const int i = CurveIndex(nCurveNid);
    return pObjects && i >= 0 ? pObjects->apGroups[i] : nullptr;
}

const EVP_PKEY* Sm2KeyTemplate()
{
    const Objects* pObjects = g_pObjects.load(std::memory_order_acquire);
    return pObjects ? pObjects->pSm2Template : nullptr;
}

const EVP_MD* KernelDigest(int nHashNid)
{
    const Objects* pObjects = g_pObjects.load(std::memory_order_acquire);
    const int i = IndexOf(DIGESTS, DIGEST_COUNT, nHashNid);
    return pObjects && i >= 0 ? pObjects->apDigests[i] : nullptr;
}

const EVP_CIPHER* KernelCipher(int nCipherNid)
{
    const Objects* pObjects = g_pObjects.load(std::memory_order_acquire);
    const int i = IndexOf(CIPHERS, CIPHER_COUNT, nCipherNid);
    return pObjects && i >= 0 ? pObjects->apCiphers[i] : nullptr;
}

EVP_PKEY* NewSm2PKey(const unsigned char* pbyD, const unsigned char pbyX[32],
                     const unsigned char pbyY[32])
{
    OSSL_LIB_CTX* pLibCtx = LibCtx();
    // A context made from a key of our provider takes that key's key management as it is.
    EVP_PKEY* pTemplate = const_cast<EVP_PKEY*>(Sm2KeyTemplate());
    if (!pLibCtx || !pTemplate || !pbyX || !pbyY) return nullptr;
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new_from_pkey(pLibCtx, pTemplate, nullptr));
    return Sm2KeyFromData(pCtx.get(), pbyD, pbyX, pbyY);
}

const EVP_MD* Sm3Md() { return KernelDigest(NID_sm3); }
const EVP_CIPHER* Sm4CbcCipher() { return KernelCipher(NID_sm4_cbc); }

}  // namespace smk
