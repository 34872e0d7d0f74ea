#ifndef MORV_SM_KERNEL_H
#define MORV_SM_KERNEL_H

// The SM kernel: our SM3, SM4-CBC and SM2 attached to OpenSSL 3 through the built-in provider
// "smk", loaded with "default" and "legacy" into a library context of our own (kctx). The
// process's default library context is never touched, so other users of libcrypto in the
// process (PHP's openssl extension) behave exactly as before.
//
// Everything that must reach our SM code is created in kctx through the accessors below;
// an object made in the default context is checked by OpenSSL's own SM2 with an empty user
// ID, which rejects our certificates.
//
// Lifetime: Initialize and Uninitialize may be called while other threads are inside calls;
// calls meanwhile fail with their usual failure code. Every entry point that uses kctx or an
// object below holds the kernel for the whole call (smk::KernelHold, KernelHold.h), taken
// first and given back last. A stop first closes the kernel to new holds, then waits for the
// holds in flight, and only then frees what kctx holds; a hold tried while the kernel is
// stopped, starting or stopping fails at once. So every pointer the accessors give stays valid
// for as long as the caller holds the kernel (code that never runs beside a stop, such as a
// test driving an inner layer, may also rely on the kernel simply running).
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/types.h>

// Starts the kernel once per process: VOMU_OK when it runs (also when it already ran),
// VOMU_E_FAIL for a broken state or when the crypto library cannot be set up (the kernel then
// stays stopped). Concurrent callers wait; none gets VOMU_OK before the kernel is ready.
int SMKernelInitialize();
// Stops the kernel: unloads its providers and frees its objects (the bare kctx is kept for the
// next start, see ReleaseKernel): VOMU_OK (also when it was not running), VOMU_E_FAIL for a
// broken state or when the calling thread itself holds the kernel. Waits for the calls in
// flight; objects a caller keeps in kctx across calls must go in a stop hook.
int SMKernelUninitialize();

namespace smk {

// Runs pfnHook at every kernel stop, before kctx is freed and while the stop holds the kernel
// exclusively: a layer that keeps objects made in kctx across calls (decoded certificates,
// say) lets them go there. May be called from inside a call. At most 8 hooks a process; 1 when
// registered (or already registered), 0 when full.
int AddKernelStopHook(void (*pfnHook)());

// The name of our provider inside kctx.
extern const char* const PROVIDER_NAME;

// kctx while the kernel runs, else null. Borrowed.
OSSL_LIB_CTX* LibCtx();

// Our SM3 digest and SM4-CBC cipher fetched from kctx, borrowed like EVP_sm3() (never free
// them); valid until SMKernelUninitialize; null while the kernel is stopped.
const EVP_MD* Sm3Md();
const EVP_CIPHER* Sm4CbcCipher();
// The digests and ciphers the operations use, fetched once per kernel start: by hash number
// MD5, SHA-1, SHA-256, SHA-384, SHA-512 and SM3 (ours); by cipher number RC4, 3DES-ECB,
// 3DES-CBC and SM4-CBC (ours). Borrowed as above (EVP_*_up_ref for an owner of one's own);
// null for other numbers, for one the library lacks, and while the kernel is stopped.
const EVP_MD* KernelDigest(int nHashNid);
const EVP_CIPHER* KernelCipher(int nCipherNid);
inline const EVP_MD* EVP_sm3() { return Sm3Md(); }
inline const EVP_CIPHER* EVP_sm4_cbc() { return Sm4CbcCipher(); }

// New empty objects in kctx, to be filled by d2i_* / PEM_read_bio_* (pass their address) or by
// the setters; owned by the caller (the usual *_free). Null while the kernel is stopped.
X509* NewX509();
X509_CRL* NewX509Crl();
PKCS7* NewPKCS7();
X509_STORE_CTX* NewX509StoreCtx();

// Decodes one certificate into kctx: DER from *ppIn (advanced like d2i_X509), or the next
// PEM certificate of pBio. Owned by the caller; null on failure or while stopped.
X509* D2iX509(const unsigned char** ppIn, long nLen);
X509* PemReadX509(BIO* pBio);

// Decodes one DER PKCS#12 from pBio's position into kctx. The MAC check and PKCS12_parse then
// run in kctx (its PBE ciphers, including RC2-40 and 3DES of the "legacy" provider, and the key
// and certificates it decodes). Owned by the caller (PKCS12_free); null on failure or while
// stopped.
PKCS12* D2iPKCS12(BIO* pBio);

// An SM2 key of our provider in kctx from 32-byte big-endian fields: the public point (x, y)
// and, when pbyD is not null, the private scalar. It shares the key management found once at
// start. Owned by the caller (EVP_PKEY_free), and to be freed while the caller still holds the
// kernel; null on failure or while stopped.
EVP_PKEY* NewSm2PKey(const unsigned char* pbyD, const unsigned char pbyX[32],
                     const unsigned char pbyY[32]);

// How often the provider's SM2 operations ran in this kernel run; lets tests show that a
// library path (certificate checks, EVP_PKEY_encrypt) reached our code.
struct ProviderCounters {
    unsigned long nSign;
    unsigned long nVerify;
    unsigned long nEncrypt;
    unsigned long nDecrypt;
};
// 1 and *pCounters filled while the kernel runs, else 0.
int GetProviderCounters(ProviderCounters* pCounters);

}  // namespace smk

#endif
