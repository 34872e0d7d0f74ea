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

// Key data of our SM2 keymgmt: the public point and the private scalar as 32-byte
// big-endian fields, always on the published SM2 curve.
struct Sm2KeyData {
    ProvCtx* pProvCtx;
    unsigned char abyX[32];
    unsigned char abyY[32];
    unsigned char abyD[32];
    unsigned char abyInv[32];   // (1 + d)^-1 mod n, worked out once for signing
    int bHasPublic;
    int bHasPrivate;
    int bHasInv;
};

// Reasons the provider adds to our error library (beside SMErr.h's).
enum SMProvReason {
    SMK_R_INVALID_DIGEST = 200,   // a digest other than SM3 for SM2
    SMK_R_BUFFER_TOO_SMALL,       // output buffer smaller than the operation needs
    SMK_R_INVALID_KEY,            // key missing, not on the SM2 curve, or lacking the needed half
    SMK_R_INVALID_SM2_CIPHER,     // an SM2Cipher that does not decode or whose fields are out of range
    SMK_R_INVALID_DIST_ID,        // distid set after the digest started
};
// Loads the texts of these reasons (at kernel start; 1 on success) and takes them out again
// (at kernel stop).
int LoadProviderErrorStrings();
void UnloadProviderErrorStrings();

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
