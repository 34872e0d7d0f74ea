// RSA key transport: PKCS#1 v1.5 encryption of content keys (RFC 8017 7.2) in the kernel
// context.
#include "RSADataEncryption.h"

#include <openssl/rsa.h>

#include "CertificateOperations.h"
#include "HandOver.h"
#include "OsslPtr.h"
#include "SecretArray.h"
#include "SMKernel.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

namespace {

using morv::OsslPtr;

// Keys below 1024 bits are refused both ways.
const int MIN_RSA_KEY_BYTES = 128;

// The key's modulus size in bytes after the checks that it is RSA and large enough.
int CheckRsaKey(const char* pszFunc, EVP_PKEY* pEvpKey, const char* pszNotRsaReason, int nCode,
                int* pnKeyBytes)
{
    const bool bRsa = NULL != pEvpKey && 1 == EVP_PKEY_is_a(pEvpKey, "RSA");
    VOMU_FAIL_IF_REASON_IN(pszFunc, !bRsa, pszNotRsaReason, "EVP_PKEY_get1_RSA", nCode);
    const int nKeyBytes = EVP_PKEY_get_size(pEvpKey);
    VOMU_FAIL_IF_REASON_IN(pszFunc, nKeyBytes < MIN_RSA_KEY_BYTES, "nKeyBytes < 128", "RSA_size",
                           nCode);
    TRACE(TRACE_LEVEL_INFO, "RSA Key Bytes: %d", nKeyBytes);
    *pnKeyBytes = nKeyBytes;
    return VOMU_OK;
}

// One PKCS#1 v1.5 encryption or decryption in the kernel context into pbyOut (nKeyBytes
// bytes): the output's length, or -1.
long Pkcs1(EVP_PKEY* pEvpKey, bool bEncrypt, const unsigned char* pbyIn, int nInSize,
           unsigned char* pbyOut, int nKeyBytes)
{
    if (NULL == smk::LibCtx()) return -1;  // never the process's default context
    OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new_from_pkey(smk::LibCtx(), pEvpKey, NULL));
    if (!pCtx) return -1;
    const int nInit = bEncrypt ? EVP_PKEY_encrypt_init(pCtx.get()) : EVP_PKEY_decrypt_init(pCtx.get());
    if (1 != nInit || 0 >= EVP_PKEY_CTX_set_rsa_padding(pCtx.get(), RSA_PKCS1_PADDING)) return -1;
    size_t nOut = (size_t)nKeyBytes;
    const int nResult = bEncrypt ? EVP_PKEY_encrypt(pCtx.get(), pbyOut, &nOut, pbyIn, (size_t)nInSize)
                                 : EVP_PKEY_decrypt(pCtx.get(), pbyOut, &nOut, pbyIn, (size_t)nInSize);
    return 1 == nResult ? (long)nOut : -1;
}

}  // namespace

int RSAEncrypt(EVP_PKEY* pEvpPubKey, const unsigned char* pbyPlainData, int nPlainDataSize,
               unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize)
{
    VOMU_FAIL_IF(NULL == pEvpPubKey, "Check parameter(EvpPubKey)", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(NULL == pbyPlainData, "Check parameter(pbyPlainData)", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(0 > nPlainDataSize || NULL == ppbyEncryptedData || NULL == pnEncryptedDataSize,
                 "Check parameters", VOMU_E_INVALID_ARG);
    int nKeyBytes = 0;
    int nResult =
        CheckRsaKey(__func__, pEvpPubKey, "NULL == pRsaPubKey", VOMU_E_ENCRYPT, &nKeyBytes);
    if (VOMU_OK != nResult) return nResult;
    morv::OwnedArray<unsigned char> pbyEncryptedData = morv::NewArray<unsigned char>((size_t)nKeyBytes);
    VOMU_FAIL_IF(!pbyEncryptedData, "New memory", VOMU_E_FAIL);
    const long nEncryptedDataSize = Pkcs1(pEvpPubKey, true, pbyPlainData, nPlainDataSize,
                                          pbyEncryptedData.get(), nKeyBytes);
    VOMU_FAIL_IF_OSSL(nEncryptedDataSize != nKeyBytes, "RSA_public_encrypt", VOMU_E_ENCRYPT);
    return morv::HandOver(pbyEncryptedData, ppbyEncryptedData, pnEncryptedDataSize,
                          (size_t)nEncryptedDataSize);
}

int RSADecrypt(EVP_PKEY* pEvpPriKey, const unsigned char* pbyEncryptedData,
               int nEncryptedDataSize, unsigned char** ppbyPlainData, int* pnPlainDataSize)
{
    // A PKCS#12 file without a key gives none: that is a decryption failure.
    VOMU_FAIL_IF(NULL == pbyEncryptedData || 0 > nEncryptedDataSize ||
                     NULL == ppbyPlainData || NULL == pnPlainDataSize,
                 "Check parameters", VOMU_E_INVALID_ARG);
    int nKeyBytes = 0;
    int nResult = CheckRsaKey(__func__, pEvpPriKey, "NULL == pRSAKey", VOMU_E_DECRYPT, &nKeyBytes);
    if (VOMU_OK != nResult) return nResult;
    morv::SecretArray pbyPlainData;
    VOMU_FAIL_IF_REASON(!pbyPlainData.Allocate((size_t)nKeyBytes), "!pbyPlainData", "New memory",
                        VOMU_E_FAIL);
    const long nPlainDataSize = Pkcs1(pEvpPriKey, false, pbyEncryptedData, nEncryptedDataSize,
                                      pbyPlainData.Get(), nKeyBytes);
    VOMU_FAIL_IF_OSSL(nPlainDataSize <= 0, "RSA_private_decrypt", VOMU_E_DECRYPT);
    return morv::HandOver(pbyPlainData.Owned(), ppbyPlainData, pnPlainDataSize,
                          (size_t)nPlainDataSize);
}

int RSAEncryptByX509(X509* pX509Cert, const unsigned char* pbyPlainData, int nPlainDataSize,
                     unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter(pX509Cert).", VOMU_E_INVALID_ARG);
    int nResult = CheckX509KeyUsage(pX509Cert, KEY_USAGE_KEY_ENCIPHERMENT, true);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CheckX509KeyUsage", nResult);
    OsslPtr<EVP_PKEY> pEvpPubKey(X509_get_pubkey(pX509Cert));
    VOMU_FAIL_IF_OSSL(NULL == pEvpPubKey, "X509_get_pubkey", VOMU_E_FAIL);
    nResult = RSAEncrypt(pEvpPubKey.get(), pbyPlainData, nPlainDataSize, ppbyEncryptedData,
                         pnEncryptedDataSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "RSAEncyrpt", nResult);
    return VOMU_OK;
}
