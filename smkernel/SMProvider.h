#ifndef MORV_SM_PROVIDER_H
#define MORV_SM_PROVIDER_H

// Internals of the built-in provider "smk": its context and the algorithm tables of each
// operation. All state hangs off the provider context and the algorithm contexts.
#include <openssl/core.h>
#include <openssl/core_dispatch.h>

#include <atomic>

namespace smk {

// The provider context: the library context we live in and the operation counters that
// GetProviderCounters reports.
struct ProvCtx {
    const OSSL_CORE_HANDLE* pHandle;
    OSSL_LIB_CTX* pLibCtx;
    std::atomic<unsigned long> nSign;
    std::atomic<unsigned long> nVerify;
    std::atomic<unsigned long> nEncrypt;
    std::atomic<unsigned long> nDecrypt;
};

// OSSL_provider_init_fn of "smk" (registered with OSSL_PROVIDER_add_builtin).
int ProviderInit(const OSSL_CORE_HANDLE* pHandle, const OSSL_DISPATCH* pIn,
                 const OSSL_DISPATCH** ppOut, void** ppProvCtx);

// Algorithm tables, each ending with an all-null entry.
extern const OSSL_ALGORITHM g_Sm3Algorithms[];
extern const OSSL_ALGORITHM g_Sm4Algorithms[];
extern const OSSL_ALGORITHM g_Sm2KeymgmtAlgorithms[];
extern const OSSL_ALGORITHM g_Sm2SignatureAlgorithms[];
extern const OSSL_ALGORITHM g_Sm2AsymCipherAlgorithms[];

}  // namespace smk

#endif
