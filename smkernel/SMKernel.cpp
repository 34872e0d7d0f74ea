// Kernel start-up and shut-down, and the accessors that put other layers' objects into kctx.
#include "SMKernel.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "KernelHold.h"
#include "KernelObjects.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SMErr.h"
#include "SMProvider.h"
#include "th_lock.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

namespace smk {

const char* const PROVIDER_NAME = "smk";

namespace {

// g_InitState of the kernel's life cycle.
enum InitState { STATE_STOPPED = 0, STATE_STARTING = 1, STATE_STARTED = 2 };

// Providers of kctx, loaded in this order and unloaded in the reverse order.
const char* const PROVIDER_NAMES[] = {PROVIDER_NAME, "default", "legacy"};
const size_t PROVIDER_COUNT = sizeof PROVIDER_NAMES / sizeof PROVIDER_NAMES[0];

struct Kernel {
    std::mutex mtxState;  // serialises start-up and shut-down
    int nInitState = STATE_STOPPED;
    // Calls read it under the kernel hold, which opens only once the kernel is ready and
    // which a stop drains before it is cleared.
    std::atomic<OSSL_LIB_CTX*> pLibCtx{nullptr};
    // The bare context outlives a stop (see ReleaseKernel) and serves the next start; our
    // provider is registered in it once.
    OSSL_LIB_CTX* pKeptLibCtx = nullptr;
    bool bBuiltinAdded = false;
    OSSL_PROVIDER* pProviders[PROVIDER_COUNT] = {};
    // Its own lock: a call holding the kernel may register a hook while a stop, holding
    // mtxState, waits for that call.
    std::mutex mtxHooks;
    static const int kMaxStopHooks = 8;
    void (*apfnStopHooks[kMaxStopHooks])() = {};
    int nStopHooks = 0;  // under mtxHooks
};

// Never destroyed: a kernel still running at process exit is left to the operating system,
// after OpenSSL's own exit handlers.
Kernel& TheKernel()
{
    static Kernel* s_pKernel = new Kernel;
    return *s_pKernel;
}

}  // namespace

OSSL_LIB_CTX* LibCtx() { return TheKernel().pLibCtx.load(); }

X509* NewX509()
{
    OSSL_LIB_CTX* pLibCtx = LibCtx();
    return pLibCtx ? X509_new_ex(pLibCtx, nullptr) : nullptr;
}

X509_CRL* NewX509Crl()
{
    OSSL_LIB_CTX* pLibCtx = LibCtx();
    return pLibCtx ? X509_CRL_new_ex(pLibCtx, nullptr) : nullptr;
}

PKCS7* NewPKCS7()
{
    OSSL_LIB_CTX* pLibCtx = LibCtx();
    return pLibCtx ? PKCS7_new_ex(pLibCtx, nullptr) : nullptr;
}

X509_STORE_CTX* NewX509StoreCtx()
{
    OSSL_LIB_CTX* pLibCtx = LibCtx();
    return pLibCtx ? X509_STORE_CTX_new_ex(pLibCtx, nullptr) : nullptr;
}

X509* D2iX509(const unsigned char** ppIn, long nLen)
{
    X509* pCert = NewX509();
    if (!pCert) return nullptr;
    // d2i frees the object it was given when decoding fails.
    return d2i_X509(&pCert, ppIn, nLen);
}

X509* PemReadX509(BIO* pBio)
{
    X509* pCert = NewX509();
    if (!pCert) return nullptr;
    X509* pRead = PEM_read_bio_X509(pBio, &pCert, nullptr, nullptr);
    if (!pRead) X509_free(pCert);
    return pRead;
}

PKCS12* D2iPKCS12(BIO* pBio)
{
    OSSL_LIB_CTX* pLibCtx = LibCtx();
    if (!pLibCtx || !pBio) return nullptr;
    // Decoding into this object keeps the library context of its authenticated safe, which
    // PKCS12_verify_mac and PKCS12_parse hand on to every bag they open.
    PKCS12* pPKCS12 = PKCS12_init_ex(NID_pkcs7_data, pLibCtx, nullptr);
    if (!pPKCS12) return nullptr;
    PKCS12* pRead = d2i_PKCS12_bio(pBio, &pPKCS12);
    if (!pRead) PKCS12_free(pPKCS12);  // null already when the decoder freed it
    return pRead;
}

int AddKernelStopHook(void (*pfnHook)())
{
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mtxHooks);
    for (int i = 0; i < k.nStopHooks; ++i)
        if (k.apfnStopHooks[i] == pfnHook) return 1;
    if (!pfnHook || k.nStopHooks >= Kernel::kMaxStopHooks) return 0;
    k.apfnStopHooks[k.nStopHooks++] = pfnHook;
    return 1;
}

int GetProviderCounters(ProviderCounters* pCounters)
{
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mtxState);
    if (k.nInitState != STATE_STARTED || !pCounters) return 0;
    const ProvCtx* pProvCtx =
        static_cast<const ProvCtx*>(OSSL_PROVIDER_get0_provider_ctx(k.pProviders[0]));
    pCounters->nSign = pProvCtx->nSign.load();
    pCounters->nVerify = pProvCtx->nVerify.load();
    pCounters->nEncrypt = pProvCtx->nEncrypt.load();
    pCounters->nDecrypt = pProvCtx->nDecrypt.load();
    return 1;
}

}  // namespace smk

namespace {

using smk::Kernel;
using smk::TheKernel;

void UnloadProviders(Kernel& k)
{
    for (size_t i = smk::PROVIDER_COUNT; i-- > 0;) {
        if (k.pProviders[i]) OSSL_PROVIDER_unload(k.pProviders[i]);
        k.pProviders[i] = nullptr;
    }
}

void RunStopHooks(Kernel& k)
{
    std::lock_guard<std::mutex> lock(k.mtxHooks);
    for (int i = 0; i < k.nStopHooks; ++i) k.apfnStopHooks[i]();
}

// Unpublishes and frees everything the kernel holds; safe on a half-built kernel. Runs only
// while nobody else holds the kernel: a failed start never opened it, a stop has drained it.
// The bare library context stays: OpenSSL 3.0 keeps per-thread state of a context (the
// random generators of every thread that drew from it) until that thread exits, and then
// reaches into the context (openssl/openssl#16778). Freed, it would crash every thread that
// made a call and outlives the stop; kept without its providers it holds nothing of ours.
void ReleaseKernel(Kernel& k)
{
    RunStopHooks(k);
    k.pLibCtx.store(nullptr);
    smk::FreeKernelObjects();
    UnloadProviders(k);
}

bool LoadProviders(Kernel& k, OSSL_LIB_CTX* pLibCtx)
{
    if (!k.bBuiltinAdded &&
        1 != OSSL_PROVIDER_add_builtin(pLibCtx, smk::PROVIDER_NAME, smk::ProviderInit))
        return false;
    k.bBuiltinAdded = true;
    for (size_t i = 0; i < smk::PROVIDER_COUNT; ++i) {
        k.pProviders[i] = OSSL_PROVIDER_load(pLibCtx, smk::PROVIDER_NAMES[i]);
        if (!k.pProviders[i]) return false;
    }
    return 1 == EVP_set_default_properties(pLibCtx, "?provider=smk");
}

// Known answers through the library's interfaces in kctx, so a broken provider never starts.
// GB/T 32905-2016 A.1: SM3("abc").
bool SelfCheckSm3(const EVP_MD* pMd)
{
    static const unsigned char abyExpected[32] = {
        0x66, 0xc7, 0xf0, 0xf4, 0x62, 0xee, 0xed, 0xd9, 0xd1, 0xf2, 0xd4, 0x6b, 0xdc, 0x10, 0xe4, 0xe2,
        0x41, 0x67, 0xc4, 0x87, 0x5c, 0xf2, 0xf7, 0xa2, 0x29, 0x7d, 0xa0, 0x2b, 0x8f, 0x4b, 0xa8, 0xe0};
    unsigned char abyDigest[EVP_MAX_MD_SIZE];
    unsigned int nDigest = 0;
    return 1 == EVP_Digest("abc", 3, abyDigest, &nDigest, pMd, nullptr) && nDigest == 32 &&
           0 == memcmp(abyDigest, abyExpected, 32);
}

// GB/T 32907-2016 A.1: key = plaintext = 0123456789abcdeffedcba9876543210; with a zero IV
// the first CBC block is the standard's single-block ciphertext.
bool SelfCheckSm4(const EVP_CIPHER* pCipher)
{
    static const unsigned char abyKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                             0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
    static const unsigned char abyExpected[16] = {0x68, 0x1e, 0xdf, 0x34, 0xd2, 0x06, 0x96, 0x5e,
                                                  0x86, 0xb3, 0xe9, 0x4f, 0x53, 0x6e, 0x42, 0x46};
    const unsigned char abyIv[16] = {0};
    unsigned char abyOut[32];
    int nOut = 0;
    morv::OsslPtr<EVP_CIPHER_CTX> pCtx(EVP_CIPHER_CTX_new());
    return pCtx && 1 == EVP_EncryptInit_ex2(pCtx.get(), pCipher, abyKey, abyIv, nullptr) &&
           1 == EVP_EncryptUpdate(pCtx.get(), abyOut, &nOut, abyKey, 16) && nOut == 16 &&
           0 == memcmp(abyOut, abyExpected, 16);
}

bool StartKernel(Kernel& k)
{
    if (!k.pKeptLibCtx) k.pKeptLibCtx = OSSL_LIB_CTX_new();
    OSSL_LIB_CTX* pLibCtx = k.pKeptLibCtx;
    if (!pLibCtx) return false;
    k.pLibCtx.store(pLibCtx);  // unpublished again by ReleaseKernel
    smk::SM2SetLibCtxSource(smk::LibCtx);
    smk::SMErrLoadStrings();
    smk::LoadProviderErrorStrings();
    // The starting thread uses what it has just made as a holder would; nobody else can yet.
    smk::KernelStartHold startHold;
    return LoadProviders(k, pLibCtx) && smk::MakeKernelObjects(pLibCtx) &&
           SelfCheckSm3(smk::Sm3Md()) && SelfCheckSm4(smk::Sm4CbcCipher()) &&
           smk::MakeSm2KeyTemplate(pLibCtx);
}

}  // namespace

int SMKernelInitialize()
{
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mtxState);
    if (k.nInitState == smk::STATE_STARTED || k.nInitState == smk::STATE_STARTING) return VOMU_OK;
    if (k.nInitState != smk::STATE_STOPPED) return VOMU_E_FAIL;
    k.nInitState = smk::STATE_STARTING;
    if (!StartKernel(k)) {
        TRACE(TRACE_LEVEL_ERROR, "SMKernelInitialize failed!\n");
        ReleaseKernel(k);
        k.nInitState = smk::STATE_STOPPED;
        return VOMU_E_FAIL;
    }
    smk::CRYPTO_thread_setup();
    ERR_clear_error();
    k.nInitState = smk::STATE_STARTED;
    smk::KernelGateOpen();
    TRACE(TRACE_LEVEL_INFO, "SMKernelInitialize success!\n");
    return VOMU_OK;
}

int SMKernelUninitialize()
{
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mtxState);
    if (k.nInitState == smk::STATE_STOPPED) return VOMU_OK;
    if (k.nInitState != smk::STATE_STARTED) return VOMU_E_FAIL;
    // New calls fail from here on; the calls in flight finish first. A stop from inside a
    // call would wait for itself: refused.
    if (!smk::KernelGateCloseAndDrain()) return VOMU_E_FAIL;
    ReleaseKernel(k);
    smk::CRYPTO_thread_cleanup();
    smk::UnloadProviderErrorStrings();
    smk::SMErrUnloadStrings();
    k.nInitState = smk::STATE_STOPPED;
    return VOMU_OK;
}
