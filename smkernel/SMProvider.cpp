// The built-in provider "smk": entry point, operation query, provider parameters.
#include "SMProvider.h"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include <new>

namespace smk {
namespace {

const char* const SMK_PROVIDER_FULL_NAME = "MORV SM kernel provider";
const char* const SMK_PROVIDER_VERSION = "3.0";

OSSL_LIB_CTX* CoreLibCtx(const OSSL_CORE_HANDLE* pHandle, const OSSL_DISPATCH* pIn)
{
    for (; pIn->function_id != 0; ++pIn) {
        if (pIn->function_id == OSSL_FUNC_CORE_GET_LIBCTX) {
            // A built-in provider shares libcrypto with its loader, so the core context is
            // the library context itself.
            return (OSSL_LIB_CTX*)OSSL_FUNC_core_get_libctx(pIn)(pHandle);
        }
    }
    return nullptr;
}

void Teardown(void* pvProvCtx)
{
    delete static_cast<ProvCtx*>(pvProvCtx);
}

const OSSL_ALGORITHM* QueryOperation(void*, int nOperation, int* pnNoCache)
{
    *pnNoCache = 0;
    switch (nOperation) {
    case OSSL_OP_DIGEST: return g_Sm3Algorithms;
    case OSSL_OP_CIPHER: return g_Sm4Algorithms;
    case OSSL_OP_KEYMGMT: return g_Sm2KeymgmtAlgorithms;
    case OSSL_OP_SIGNATURE: return g_Sm2SignatureAlgorithms;
    case OSSL_OP_ASYM_CIPHER: return g_Sm2AsymCipherAlgorithms;
    default: return nullptr;
    }
}

const OSSL_PARAM* GettableParams(void*)
{
    static const OSSL_PARAM s_Gettable[] = {
        OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_NAME, nullptr, 0),
        OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_VERSION, nullptr, 0),
        OSSL_PARAM_int(OSSL_PROV_PARAM_STATUS, nullptr),
        OSSL_PARAM_END};
    return s_Gettable;
}

int GetParams(void*, OSSL_PARAM pParams[])
{
    OSSL_PARAM* p = OSSL_PARAM_locate(pParams, OSSL_PROV_PARAM_NAME);
    if (p && !OSSL_PARAM_set_utf8_ptr(p, SMK_PROVIDER_FULL_NAME)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PROV_PARAM_VERSION);
    if (p && !OSSL_PARAM_set_utf8_ptr(p, SMK_PROVIDER_VERSION)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_PROV_PARAM_STATUS);
    if (p && !OSSL_PARAM_set_int(p, 1)) return 0;
    return 1;
}

const OSSL_DISPATCH g_ProviderFunctions[] = {
    {OSSL_FUNC_PROVIDER_TEARDOWN, (void (*)(void))Teardown},
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, (void (*)(void))QueryOperation},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, (void (*)(void))GettableParams},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, (void (*)(void))GetParams},
    {0, nullptr}};

}  // namespace

int ProviderInit(const OSSL_CORE_HANDLE* pHandle, const OSSL_DISPATCH* pIn,
                 const OSSL_DISPATCH** ppOut, void** ppProvCtx)
{
    OSSL_LIB_CTX* pLibCtx = CoreLibCtx(pHandle, pIn);
    if (!pLibCtx) return 0;
    ProvCtx* pProvCtx = new (std::nothrow) ProvCtx{pHandle, pLibCtx, {0}, {0}, {0}, {0}};
    if (!pProvCtx) return 0;
    *ppProvCtx = pProvCtx;
    *ppOut = g_ProviderFunctions;
    return 1;
}

}  // namespace smk

#include <mutex>

#include "SMErr.h"

namespace smk {
namespace {

// ERR_load_strings stamps the library number into these rows, so they are not const.
ERR_STRING_DATA g_aProvErrStrings[] = {
    {ERR_PACK(0, 0, SMK_R_INVALID_DIGEST), "invalid digest type"},
    {ERR_PACK(0, 0, SMK_R_BUFFER_TOO_SMALL), "buffer too small"},
    {ERR_PACK(0, 0, SMK_R_INVALID_KEY), "invalid SM2 key"},
    {ERR_PACK(0, 0, SMK_R_INVALID_SM2_CIPHER), "invalid SM2Cipher"},
    {ERR_PACK(0, 0, SMK_R_INVALID_DIST_ID), "distinguishing ID set too late"},
    {0, nullptr},
};

// Loaded and unloaded by the kernel's start and stop, which hold the kernel's lock.
bool g_bProvErrLoaded = false;

}  // namespace

int LoadProviderErrorStrings()
{
    const int nLib = SMErrLib();
    if (!g_bProvErrLoaded && nLib > 0) g_bProvErrLoaded = 1 == ERR_load_strings(nLib, g_aProvErrStrings);
    return g_bProvErrLoaded ? 1 : 0;
}

void UnloadProviderErrorStrings()
{
    if (!g_bProvErrLoaded) return;
    ERR_unload_strings(SMErrLib(), g_aProvErrStrings);
    g_bProvErrLoaded = false;
}

}  // namespace smk
