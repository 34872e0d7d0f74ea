// The certificate verification services: validity time, CRL, chains against trusted stores,
// key usage, and PKCS#12 files.
#include "CertificateOperations.h"

#include <cstring>
#include <ctime>
#include <string>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include "CertificateLoader.h"
#include "HandOver.h"
#include "Misc.h"
#include "OsslPtr.h"
#include "PKCS12Reader.h"
#include "SMKernel.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

using morv::NewArray;
using morv::OsslPtr;
using morv::OwnedArray;

namespace {

bool IsListed(X509_CRL* pX509CRL, const ASN1_INTEGER* pSerial)
{
    STACK_OF(X509_REVOKED)* pRevoked = X509_CRL_get_REVOKED(pX509CRL);
    for (int i = 0; i < sk_X509_REVOKED_num(pRevoked); ++i) {
        const X509_REVOKED* pEntry = sk_X509_REVOKED_value(pRevoked, i);
        if (0 == ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(pEntry), pSerial)) return true;
    }
    return false;
}

int AddFirstCertOfStream(const char* pszFunc, X509_STORE* pX509_Store, FILE* fpCA)
{
    OsslPtr<BIO> pBIO_Cert(fpCA ? BIO_new_fp(fpCA, BIO_NOCLOSE) : nullptr);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pBIO_Cert, "BIO_new_fp", VOMU_E_FAIL);
    OsslPtr<X509> pX509(morv::ReadCertificate(pBIO_Cert.get()));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pX509, "d2i_X509_bio", VOMU_E_FAIL);
    int nResult = X509_STORE_add_cert(pX509_Store, pX509.get());
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "X509_STORE_add_cert", VOMU_E_FAIL);
    return VOMU_OK;
}

PKCS7* DecodeBundle(const unsigned char* pbyBundle, int nLen)
{
    PKCS7* pP7b = nLen > 0 ? smk::NewPKCS7() : nullptr;
    if (!pP7b) return nullptr;
    if (!d2i_PKCS7(&pP7b, &pbyBundle, nLen)) PKCS7_free(pP7b);  // null when the decoder freed it
    return pP7b;
}

// Every certificate of a DER PKCS#7 signedData bundle; a null bundle adds nothing.
int AddBundle(const char* pszFunc, X509_STORE* pX509Store, const unsigned char* pbyBundle, int nLen,
              const char* pszStep)
{
    if (NULL == pbyBundle) return VOMU_OK;
    OsslPtr<PKCS7> pP7b(DecodeBundle(pbyBundle, nLen));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pP7b, pszStep, VOMU_E_FAIL);
    bool bSigned = PKCS7_type_is_signed(pP7b.get()) && NULL != pP7b->d.sign;
    VOMU_FAIL_IF_IN(pszFunc, !bSigned, "PKCS7_type_is_signed", VOMU_E_FAIL);
    STACK_OF(X509)* pCerts = pP7b->d.sign->cert;
    for (int i = 0; i < sk_X509_num(pCerts); ++i) {
        int nResult = X509_STORE_add_cert(pX509Store, sk_X509_value(pCerts, i));
        VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "X509_STORE_add_cert", VOMU_E_FAIL);
    }
    return VOMU_OK;
}

bool IsTimeError(int nErrorCode)
{
    return X509_V_ERR_CERT_NOT_YET_VALID == nErrorCode || X509_V_ERR_CERT_HAS_EXPIRED == nErrorCode;
}

bool HasKeyUsage(uint32_t uiKeyUsage, unsigned int uiCheckBits, bool bAll)
{
    if (bAll) {
        TRACE(TRACE_LEVEL_INFO, "All the check bits must be present.");
        return (uiKeyUsage & uiCheckBits) == uiCheckBits;
    }
    TRACE(TRACE_LEVEL_INFO, "One of the check bit present is OK.");
    return 0 != (uiKeyUsage & uiCheckBits);
}

}  // namespace
// bShared: the cache's shared certificate, for a caller that only reads it.
static int ConvertCertDataToX509(const unsigned char* pbyCert, int nCertLen, X509** ppX509, bool bShared)
{
    VOMU_FAIL_IF(NULL == pbyCert || nCertLen <= 0 || NULL == ppX509, "Check parameter",
                 VOMU_E_FAIL);
    OsslPtr<X509> pX509Cert;
    const int nResult = morv::LoadCertificate(__func__, pbyCert, nCertLen, &pX509Cert, bShared);
    if (VOMU_OK != nResult) return nResult;
    *ppX509 = pX509Cert.release();
    return VOMU_OK;
}

int VerifyCertTime(X509* pX509Cert)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    time_t tCurrentTime = time(NULL);
    VOMU_FAIL_IF(-1 == tCurrentTime, "time", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "Current time(time_t):%lld", (long long)tCurrentTime);
    long tNotBefore = 0, tNotAfter = 0;
    int nResult = GetX509NotBefore(pX509Cert, &tNotBefore);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF((tCurrentTime < tNotBefore), "Check certificate validity NotBefore",
                 VOMU_E_CERT_TIME);
    nResult = GetX509NotAfter(pX509Cert, &tNotAfter);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF((tCurrentTime > tNotAfter), "Check certificate validity NotAfter",
                 VOMU_E_CERT_TIME);
    return VOMU_OK;
}

int VerifyCertCRL(FILE* fpCRL, X509* pX509Cert)
{
    VOMU_FAIL_IF(NULL == fpCRL || NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    OsslPtr<BIO> pBIO_CRL(BIO_new_fp(fpCRL, BIO_NOCLOSE));
    VOMU_FAIL_IF_OSSL(NULL == pBIO_CRL, "BIO_new_fp", VOMU_E_FAIL);
    OsslPtr<X509_CRL> pX509CRL(morv::ReadCrl(pBIO_CRL.get()));
    VOMU_FAIL_IF_OSSL(NULL == pX509CRL, "d2i_X509_CRL_bio", VOMU_E_FAIL);
    if (IsListed(pX509CRL.get(), X509_get0_serialNumber(pX509Cert))) {
        VOMU_STEP_FAILED("Check the certificate is pRevoked?", VOMU_E_CERT_REVOKED, "true");
        return VOMU_E_CERT_REVOKED;
    }
    VOMU_STEP_OK("Check the certificate is pRevoked?");
    return VOMU_OK;
}

int LoadCertsToStore(std::vector<FILE*> vetCAFiles, X509_STORE** ppStore)
{
    VOMU_FAIL_IF(NULL == ppStore, "Check parameter", VOMU_E_FAIL);
    OsslPtr<X509_STORE> pX509_Store(X509_STORE_new());
    VOMU_FAIL_IF_OSSL(NULL == pX509_Store, "X509_STORE_new", VOMU_E_FAIL);
    for (FILE* fpCA : vetCAFiles) {
        if (VOMU_OK != AddFirstCertOfStream(__func__, pX509_Store.get(), fpCA)) return VOMU_E_FAIL;
    }
    *ppStore = pX509_Store.release();
    return VOMU_OK;
}

int LoadP7bToStore(const unsigned char* pbyRootBundle, int nRootLen,
                   const unsigned char* pbyIntermediateBundle, int nIntermediateLen,
                   X509_STORE** ppStore)
{
    VOMU_FAIL_IF(NULL == ppStore, "Check parameter", VOMU_E_FAIL);
    OsslPtr<X509_STORE> pX509Store(X509_STORE_new());
    VOMU_FAIL_IF_OSSL(NULL == pX509Store, "X509_STORE_new", VOMU_E_FAIL);
    if (VOMU_OK !=
            AddBundle(__func__, pX509Store.get(), pbyRootBundle, nRootLen, "d2i_PKCS7(root)") ||
        VOMU_OK != AddBundle(__func__, pX509Store.get(), pbyIntermediateBundle, nIntermediateLen,
                             "d2i_PKCS7(intermediate)"))
        return VOMU_E_FAIL;
    *ppStore = pX509Store.release();
    return VOMU_OK;
}

int VerifyCertChainByTrustedStore(X509_STORE* pStore, X509* pX509Cert)
{
    VOMU_FAIL_IF(NULL == pStore || NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    OsslPtr<X509_STORE_CTX> pX509StoreCtx(smk::NewX509StoreCtx());
    VOMU_FAIL_IF_OSSL(NULL == pX509StoreCtx, "X509_STORE_CTX_new", VOMU_E_FAIL);
    int nResult = X509_STORE_CTX_init(pX509StoreCtx.get(), pStore, pX509Cert, nullptr);
    VOMU_FAIL_IF_OSSL(1 != nResult, "X509_STORE_CTX_init", VOMU_E_FAIL);
    if (1 == X509_verify_cert(pX509StoreCtx.get())) {
        VOMU_STEP_OK("X509_verify_cert");
        return VOMU_OK;
    }
    int nErrorCode = X509_STORE_CTX_get_error(pX509StoreCtx.get());
    TRACE(TRACE_LEVEL_INFO, "X509_verify_cert(ErrorCode:%d ErrorInfo:%s)", nErrorCode,
          X509_verify_cert_error_string(nErrorCode));
    int nCode = IsTimeError(nErrorCode) ? VOMU_E_CERT_TIME : VOMU_E_CERT_CHAIN;
    VOMU_STEP_FAILED_OSSL("X509_verify_cert", nCode, "true");
    return nCode;
}

int VerifyCertChain(std::vector<FILE*> vetCAFiles, X509* pX509Cert)
{
    X509_STORE* pStore = nullptr;
    int nResult = LoadCertsToStore(vetCAFiles, &pStore);
    OsslPtr<X509_STORE> pX509Store(pStore);
    VOMU_FAIL_IF(VOMU_OK != nResult, "LoadCertsToStore", nResult);
    nResult = VerifyCertChainByTrustedStore(pX509Store.get(), pX509Cert);
    VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyCertChainByTrustedStore", nResult);
    return VOMU_OK;
}

int VerifyX509(X509* pX509Cert, unsigned int nCertVerifyFlag, FILE* fpCRL,
               std::vector<FILE*> vetCAFiles)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    int nResult = VOMU_OK;
    if (nCertVerifyFlag & CERT_VERIFY_FLAG_TIME) {
        nResult = VerifyCertTime(pX509Cert);
        VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyCertTime", nResult);
    }
    if (nCertVerifyFlag & CERT_VERIFY_FLAG_CRL) {
        nResult = VerifyCertCRL(fpCRL, pX509Cert);
        VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyCertCRL", nResult);
    }
    if (nCertVerifyFlag & CERT_VERIFY_FLAG_CHAIN) {
        nResult = VerifyCertChain(vetCAFiles, pX509Cert);
        VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyCertChain", nResult);
    }
    return VOMU_OK;
}

int VerifyCertificate(const unsigned char* pbyCert, int nCertLen, unsigned int nCertVerifyFlag,
                      FILE* fpCRL, std::vector<FILE*> vetCAFiles)
{
    X509* pCert = nullptr;
    int nResult = ConvertCertDataToX509(pbyCert, nCertLen, &pCert);
    OsslPtr<X509> pX509Cert(pCert);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConvertCertDataToX509", nResult);
    nResult = VerifyX509(pX509Cert.get(), nCertVerifyFlag, fpCRL, vetCAFiles);
    VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyX509", nResult);
    return VOMU_OK;
}

int CheckX509KeyUsage(X509* pX509Cert, unsigned int uiCheckBits, bool bAll)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    // Purpose -1 only fills the certificate's extension cache.
    int nResult = X509_check_purpose(pX509Cert, -1, 0);
    VOMU_FAIL_IF_OSSL(1 != nResult, "X509_check_purpose fill data", VOMU_E_FAIL);
    uint32_t uiExFlags = X509_get_extension_flags(pX509Cert);
    TRACE(TRACE_LEVEL_INFO, "pX509->ex_flags(0x%08x)", uiExFlags);
    VOMU_FAIL_IF_REASON(!(uiExFlags & EXFLAG_KUSAGE), "!(pX509->ex_flags & EXFLAG_KUSAGE)",
                        "pX509->ex_flags & EXFLAG_KUSAGE",
                 VOMU_E_KEY_USAGE);
    uint32_t uiKeyUsage = X509_get_key_usage(pX509Cert);
    TRACE(TRACE_LEVEL_INFO, "pX509->ex_kusage(0x%08x)", uiKeyUsage);
    TRACE(TRACE_LEVEL_INFO, "uiCheckBits(0x%08x)", uiCheckBits);
    nResult = HasKeyUsage(uiKeyUsage, uiCheckBits, bAll) ? 1 : 0;
    VOMU_FAIL_IF(0 == nResult, "Check x509 key usage", VOMU_E_KEY_USAGE);
    return VOMU_OK;
}

int CheckCertKeyUsage(const unsigned char* pbyCert, int nCertLen, unsigned int uiCheckBits,
                      bool bAll)
{
    X509* pCert = nullptr;
    ConvertCertDataToX509(pbyCert, nCertLen, &pCert, true);  // only read
    OsslPtr<X509> pX509Cert(pCert);
    VOMU_FAIL_IF(NULL == pX509Cert, "ConvertCertDataToX509", VOMU_E_FAIL);
    return CheckX509KeyUsage(pX509Cert.get(), uiCheckBits, bAll);
}

int ParsePFXFile(FILE* fpPFX, const char* pszPassword, EVP_PKEY** ppKey, X509** ppCert,
                 STACK_OF(X509)** ppChain)
{
    VOMU_FAIL_IF(NULL == fpPFX, "Check parameter", VOMU_E_FAIL);
    OsslPtr<BIO> pBIO_PFX(BIO_new_fp(fpPFX, BIO_NOCLOSE));
    VOMU_FAIL_IF_OSSL(NULL == pBIO_PFX, "BIO_new_fp", VOMU_E_FAIL);
    OsslPtr<PKCS12> pPKCS12(smk::D2iPKCS12(pBIO_PFX.get()));
    VOMU_FAIL_IF_OSSL(NULL == pPKCS12, "d2i_PKCS12_fp", VOMU_E_FAIL);
    int nResult = PKCS12_verify_mac(pPKCS12.get(), pszPassword, -1);
    VOMU_FAIL_IF_OSSL(0 == nResult, "PKCS12_verify_mac", VOMU_E_FAIL);
    // The key and the certificate are always read: a certificate is handed over only as the
    // one that matches the key.
    morv::Pkcs12Contents contents;
    nResult = morv::ReadPkcs12Contents(pPKCS12.get(), pszPassword, NULL != ppChain, contents);
    VOMU_FAIL_IF_OSSL(0 == nResult, "PKCS12_parse", VOMU_E_BAD_ASN1_DATA);
    if (ppKey) *ppKey = contents.pKey.release();
    if (ppCert) *ppCert = contents.pCert.release();
    if (ppChain) *ppChain = contents.pChain.release();
    return VOMU_OK;
}

// The caller owns what it gets and may change it: always its own copy.
int ConvertCertDataToX509(const unsigned char* pbyCert, int nCertLen, X509** ppX509)
{
    return ConvertCertDataToX509(pbyCert, nCertLen, ppX509, false);
}
