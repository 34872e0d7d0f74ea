// RSA SignedData of data, attached and detached, made and checked with the crypto library's
// PKCS#7 objects in the kernel's library context.
#include <algorithm>
#include <climits>
#include <cstring>

#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include "Base64Utility.h"
#include "CertificateOperations.h"
#include "HandOver.h"
#include "HashAlgorithms.h"
#include "OsslPtr.h"
#include "RSADataSigning.h"
#include "RsaSigner.h"
#include "SMKernel.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

using morv::OsslPtr;
using morv::OwnedArray;

namespace {

const int SIGN_ATTACHED_FLAGS = PKCS7_BINARY | PKCS7_NOATTR;                     // 0x180
const int SIGN_DETACHED_FLAGS = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_DETACHED;    // 0x1C0
const int VERIFY_DETACHED_FLAGS = PKCS7_NOVERIFY | PKCS7_DETACHED | PKCS7_NOATTR; // 0x160
const int VERIFY_ATTACHED_FLAGS = PKCS7_NOVERIFY | PKCS7_NOATTR;                  // 0x120
const int CONTENT_READ_SIZE = 4096;

// Our signing and verification report under the names of the library calls they stand for.
void RaisePkcs7Error(const char* pszFunc, int nReason, const char* pszText = NULL)
{
    ERR_new();
    ERR_set_debug(__FILE__, __LINE__, pszFunc);
    if (pszText)
        ERR_set_error(ERR_LIB_PKCS7, nReason, "%s", pszText);
    else
        ERR_set_error(ERR_LIB_PKCS7, nReason, NULL);
}

PKCS7* SignFailed(int nReason)
{
    RaisePkcs7Error("PKCS7_sign", nReason);
    return NULL;
}

int VerifyFailed(int nReason, const char* pszText = NULL)
{
    RaisePkcs7Error("PKCS7_verify", nReason, pszText);
    return -1;
}

// The digest of a hash number that the library's SignedData offers.
OsslPtr<EVP_MD> FetchPkcs7Digest(int nHashNID)
{
    const morv::HashAlgorithm* pAlgorithm = morv::FindHashAlgorithm(nHashNID);
    if (!pAlgorithm || !pAlgorithm->bPkcs7Signing) return OsslPtr<EVP_MD>();
    EVP_MD* pMd = const_cast<EVP_MD*>(smk::KernelDigest(nHashNID));
    return OsslPtr<EVP_MD>(pMd && 1 == EVP_MD_up_ref(pMd) ? pMd : NULL);
}

int AddCertificates(PKCS7* p7, STACK_OF(X509)* pCerts)
{
    for (int i = 0; i < sk_X509_num(pCerts); ++i)
        if (!PKCS7_add_certificate(p7, sk_X509_value(pCerts, i))) return 0;
    return 1;
}

// Reads the content through the digest chain so that every digest sees all of it.
int DrainChain(BIO* pChain)
{
    unsigned char byBuffer[CONTENT_READ_SIZE];
    int nRead = 0;
    while ((nRead = BIO_read(pChain, byBuffer, sizeof byBuffer)) > 0) {
    }
    return nRead < 0 && !BIO_should_retry(pChain) ? 0 : 1;
}

int VerifySigners(PKCS7* p7, BIO* pChain)
{
    STACK_OF(PKCS7_SIGNER_INFO)* pSignerInfos = PKCS7_get_signer_info(p7);
    if (!pSignerInfos || 0 == sk_PKCS7_SIGNER_INFO_num(pSignerInfos))
        return VerifyFailed(PKCS7_R_NO_SIGNERS);
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(pSignerInfos); ++i) {
        PKCS7_SIGNER_INFO* pSignerInfo = sk_PKCS7_SIGNER_INFO_value(pSignerInfos, i);
        X509* pSignCert = X509_find_by_issuer_and_serial(p7->d.sign->cert,
                                                         pSignerInfo->issuer_and_serial->issuer,
                                                         pSignerInfo->issuer_and_serial->serial);
        if (!pSignCert) return VerifyFailed(PKCS7_R_UNABLE_TO_FIND_CERTIFICATE);
        if (PKCS7_signatureVerify(pChain, p7, pSignerInfo, pSignCert) <= 0)
            return VerifyFailed(PKCS7_R_SIGNATURE_FAILURE);
    }
    return 0;
}

// The content as a memory BIO; an empty content needs a non-null buffer.
OsslPtr<BIO> NewContentBio(const unsigned char* pbyData, int nDataSize)
{
    static const unsigned char s_byEmpty = 0;
    if (nDataSize < 0 || (NULL == pbyData && 0 != nDataSize)) return OsslPtr<BIO>();
    return OsslPtr<BIO>(BIO_new_mem_buf(pbyData ? pbyData : &s_byEmpty, nDataSize));
}

// The content the attached verifier wrote, copied into a new array of its length (possibly 0).
int CopyContent(const char* pszFunc, BIO* pBioContent, OwnedArray<unsigned char>& pbySourceData,
                size_t* pnSize)
{
    char* pContent = NULL;
    const long nContentSize = BIO_get_mem_data(pBioContent, &pContent);
    VOMU_FAIL_IF_IN(pszFunc, nContentSize < 0 || !morv::FitsHandOver((size_t)nContentSize),
                    "Check content size", VOMU_E_FAIL);
    pbySourceData = morv::CopyToArray((const unsigned char*)pContent, (size_t)nContentSize);
    VOMU_FAIL_IF_IN(pszFunc, !pbySourceData, "New memory", VOMU_E_FAIL);
    *pnSize = (size_t)nContentSize;
    return VOMU_OK;
}

int EncodePKCS7(const char* pszFunc, PKCS7* p7, OwnedArray<unsigned char>& pDER, int* pnDERSize)
{
    const int nDERSignatureSize = std::max(0, i2d_PKCS7(p7, NULL));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 0 == nDERSignatureSize, "i2d_PKCS7", VOMU_E_FAIL);
    pDER.reset(new (std::nothrow) unsigned char[nDERSignatureSize]);
    VOMU_FAIL_IF_IN(pszFunc, !pDER, "New memory", VOMU_E_FAIL);
    unsigned char* pbyOut = pDER.get();
    VOMU_FAIL_IF_OSSL_IN(pszFunc, nDERSignatureSize != i2d_PKCS7(p7, &pbyOut), "i2d_PKCS7",
                         VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "DER encoded PKCS7 signature data size : %d", nDERSignatureSize);
    *pnDERSize = nDERSignatureSize;
    return VOMU_OK;
}

int DecodePKCS7(const char* pszFunc, const unsigned char* pbyDER, int nDERSize, OsslPtr<PKCS7>& p7)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pbyDER || nDERSize <= 0, "Check parameter",
                    VOMU_E_INVALID_ARG);
    PKCS7* pDecoded = smk::NewPKCS7();
    VOMU_FAIL_IF_IN(pszFunc, NULL == pDecoded, "PKCS7_new_ex", VOMU_E_FAIL);
    const unsigned char* pbyIn = pbyDER;
    // d2i frees the object it was given when decoding fails.
    p7.reset(d2i_PKCS7(&pDecoded, &pbyIn, nDERSize));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == p7, "d2i_PKCS7", VOMU_E_FAIL);
    return VOMU_OK;
}

// PKCS7_verify loses its own copy of the detached content when it cannot set up a digest the
// SignedData names: each must be found and start first, as PKCS7_dataInit looks it up.
bool DigestStarts(const ASN1_OBJECT* pAlgorithm)
{
    char szName[50];  // the size PKCS7_dataInit gives the name: a longer one is cut alike
    OBJ_obj2txt(szName, sizeof szName, pAlgorithm, 0);
    // The digests we use are the kernel's own; only another name is looked up for the call.
    const EVP_MD* pKernelMd = smk::KernelDigest(OBJ_obj2nid(pAlgorithm));
    OsslPtr<EVP_MD> pFetched(pKernelMd ? NULL : EVP_MD_fetch(smk::LibCtx(), szName, NULL));
    const EVP_MD* pMd = pKernelMd ? pKernelMd : pFetched ? pFetched.get() : EVP_get_digestbyname(szName);
    OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new());
    return pMd && pCtx && 1 == EVP_DigestInit_ex(pCtx.get(), pMd, NULL);
}

int CheckDigestAlgorithms(const char* pszFunc, PKCS7* p7)
{
    if (!PKCS7_type_is_signed(p7) || NULL == p7->d.sign) return VOMU_OK;  // PKCS7_verify refuses it
    const STACK_OF(X509_ALGOR)* pAlgs = p7->d.sign->md_algs;
    for (int i = 0; i < sk_X509_ALGOR_num(pAlgs); ++i) {
        ERR_set_mark();
        const bool bStarts = DigestStarts(sk_X509_ALGOR_value(pAlgs, i)->algorithm);
        VOMU_FAIL_IF_OSSL_IN(pszFunc, !bStarts, "PKCS7_verify", VOMU_E_BAD_SIGNATURE);
        ERR_pop_to_mark();
    }
    return VOMU_OK;
}

// The signers' stack of PKCS7_get0_signers borrows the object's certificates; a reference of
// its own for each lets the one owner type free it.
OsslPtr<STACK_OF(X509)> GetSigners(PKCS7* p7)
{
    OsslPtr<STACK_OF(X509)> pSigners(PKCS7_get0_signers(p7, NULL, 0));
    for (int i = 0; pSigners && i < sk_X509_num(pSigners.get()); ++i)
        X509_up_ref(sk_X509_value(pSigners.get(), i));
    return pSigners;
}

// The first signer's certificate DER when it is asked for; else its length is 0.
int HandOverSignCert(const char* pszFunc, PKCS7* p7, unsigned char** ppbySignCert,
                     int* pnSignCertSize)
{
    if (NULL == ppbySignCert) {
        if (pnSignCertSize) *pnSignCertSize = 0;
        return VOMU_OK;
    }
    OsslPtr<STACK_OF(X509)> pSigners = GetSigners(p7);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pSigners, "PKCS7_get0_signers", VOMU_E_FAIL);
    X509* pSignerCert = sk_X509_value(pSigners.get(), 0);
    VOMU_FAIL_IF_IN(pszFunc, NULL == pSignerCert, "sk_X509_value", VOMU_E_FAIL);
    const int nDERSignCertSize = i2d_X509(pSignerCert, NULL);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, nDERSignCertSize <= 0, "i2d_X509", VOMU_E_FAIL);
    OwnedArray<unsigned char> pbySignCert(new (std::nothrow) unsigned char[nDERSignCertSize]);
    VOMU_FAIL_IF_IN(pszFunc, !pbySignCert, "New memory", VOMU_E_FAIL);
    unsigned char* pbyOut = pbySignCert.get();
    VOMU_FAIL_IF_OSSL_IN(pszFunc, nDERSignCertSize != i2d_X509(pSignerCert, &pbyOut), "i2d_X509",
                         VOMU_E_FAIL);
    return morv::HandOver(pbySignCert, ppbySignCert, pnSignCertSize, (size_t)nDERSignCertSize);
}

// Hands over an array the caller asked for; the rest is freed by its owner and its length
// reads 0, as from the DER verifiers.
void HandOverIfAsked(OwnedArray<unsigned char>& pOwned, int nSize, unsigned char** ppbyOut,
                     int* pnOutSize)
{
    if (ppbyOut) morv::HandOver(pOwned, ppbyOut, pnOutSize, (size_t)nSize);
    else if (pnOutSize) *pnOutSize = 0;
}

}  // namespace

namespace morv {

PKCS7* PKCS7_sign_ex(X509* pSignCert, EVP_PKEY* pKey, STACK_OF(X509)* pCerts, BIO* pData,
                     int nHashNID, int nFlags)
{
    OsslPtr<PKCS7> p7(smk::NewPKCS7());
    if (!p7) return SignFailed(ERR_R_MALLOC_FAILURE);
    if (!PKCS7_set_type(p7.get(), NID_pkcs7_signed) ||
        !PKCS7_content_new(p7.get(), NID_pkcs7_data))
        return NULL;
    OsslPtr<EVP_MD> pEvpMD = FetchPkcs7Digest(nHashNID);
    if (!pEvpMD) return SignFailed(PKCS7_R_UNKNOWN_DIGEST_TYPE);
    if (pKey && !PKCS7_sign_add_signer(p7.get(), pSignCert, pKey, pEvpMD.get(), nFlags))
        return SignFailed(PKCS7_R_PKCS7_ADD_SIGNER_ERROR);
    if (!(nFlags & PKCS7_NOCERTS) && !AddCertificates(p7.get(), pCerts)) return NULL;
    if (nFlags & PKCS7_DETACHED) PKCS7_ctrl(p7.get(), PKCS7_OP_SET_DETACHED_SIGNATURE, 1, NULL);
    if ((nFlags & (PKCS7_STREAM | PKCS7_PARTIAL)) || PKCS7_final(p7.get(), pData, nFlags))
        return p7.release();
    return NULL;
}

}  // namespace morv

int PKCS7_verify_signature(PKCS7* p7, BIO* pData)
{
    if (!p7 || !PKCS7_type_is_signed(p7)) return VerifyFailed(PKCS7_R_WRONG_CONTENT_TYPE);
    if (PKCS7_get_detached(p7) && !pData) return VerifyFailed(PKCS7_R_NO_CONTENT);
    if (!PKCS7_get_detached(p7) && pData) return VerifyFailed(PKCS7_R_CONTENT_AND_DATA_PRESENT);
    OsslPtr<BIO> pChain(PKCS7_dataDecode(p7, NULL, pData, NULL));
    if (!pChain) return VerifyFailed(ERR_R_PKCS7_LIB, "decode error");
    int nResult = DrainChain(pChain.get()) ? VerifySigners(p7, pChain.get()) : -1;
    // The caller's content leaves the chain before the chain is freed (without digests the
    // chain is the content itself).
    if (pData && pChain.get() == pData)
        (void)pChain.release();
    else if (pData)
        BIO_pop(pData);
    return nResult;
}

int RSA_SignData_PKCS7_ByKeyPair(const unsigned char* pbyData, int nDataSize, X509* pX509Cert,
                                 EVP_PKEY* pPrivKey, int nHashNID, bool bAttached,
                                 unsigned char** ppbyDERSignature, int* pnDERSignatureSize)
{
    VOMU_FAIL_IF(NULL == ppbyDERSignature || NULL == pnDERSignatureSize || NULL == pPrivKey,
                 "Check parameter", VOMU_E_INVALID_ARG);
    int nResult = CheckX509KeyUsage(pX509Cert, KEY_USAGE_DIGITAL_SIGNATURE, true);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CheckX509KeyUsage", nResult);
    OsslPtr<BIO> pBioSourceData = NewContentBio(pbyData, nDataSize);
    VOMU_FAIL_IF_OSSL(NULL == pBioSourceData, "BIO_new_mem_buf", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, bAttached ? "It's PKCS7 attached signature."
                                      : "It's PKCS7 detached signature.");
    const int nFlags = bAttached ? SIGN_ATTACHED_FLAGS : SIGN_DETACHED_FLAGS;
    OsslPtr<PKCS7> p7(morv::PKCS7_sign_ex(pX509Cert, pPrivKey, NULL, pBioSourceData.get(),
                                          nHashNID, nFlags));
    VOMU_FAIL_IF_OSSL(NULL == p7, "PKCS7_sign_ex", VOMU_E_FAIL);
    OwnedArray<unsigned char> pDER;
    int nDERSize = 0;
    nResult = EncodePKCS7(__func__, p7.get(), pDER, &nDERSize);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOver(pDER, ppbyDERSignature, pnDERSignatureSize, (size_t)nDERSize);
}

int RSA_SignData_PKCS7_ByPFX(const unsigned char* pbyData, int nDataSize, FILE* fpPFXFile,
                             const char* pszPassword, int nHashNID, bool bAttached,
                             unsigned char** ppbyDERSignature, int* pnDERSignatureSize)
{
    EVP_PKEY* pKey = NULL;
    X509* pCert = NULL;
    int nResult = ParsePFXFile(fpPFXFile, pszPassword, &pKey, &pCert, NULL);
    OsslPtr<EVP_PKEY> pPrivKey(pKey);
    OsslPtr<X509> pSignCert(pCert);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ParsePFXFile", nResult);
    VOMU_FAIL_IF(NULL == pSignCert || NULL == pPrivKey, "Check PFX contents", VOMU_E_FAIL);
    nResult = RSA_SignData_PKCS7_ByKeyPair(pbyData, nDataSize, pSignCert.get(), pPrivKey.get(),
                                           nHashNID, bAttached, ppbyDERSignature,
                                           pnDERSignatureSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "RSA_SignData_PKCS7_ByKeyPair", nResult);
    return VOMU_OK;
}

int RSA_SignData_PKCS7(const unsigned char* pbyData, int nDataSize, FILE* fpPFXFile,
                       const char* pszPassword, int nHashNID, bool bAttached,
                       unsigned long dwBase64Flags, char** ppszBase64Signature,
                       int* pnBase64Size)
{
    VOMU_FAIL_IF(NULL == ppszBase64Signature, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    int nResult = RSA_SignData_PKCS7_ByPFX(pbyData, nDataSize, fpPFXFile, pszPassword, nHashNID,
                                           bAttached, &pbyDER, &nDERSize);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOverAsBase64(__func__, pbyDER, nDERSize, dwBase64Flags, ppszBase64Signature,
                                  pnBase64Size);
}

int RSA_VerifyDataSignature_DERPKCS7Detached(const unsigned char* pbyDERSignature,
                                             int nDERSignatureSize, const unsigned char* pbyData,
                                             int nDataSize, unsigned char** ppbySignCert,
                                             int* pnSignCertSize)
{
    OsslPtr<PKCS7> p7;
    int nResult = DecodePKCS7(__func__, pbyDERSignature, nDERSignatureSize, p7);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckDigestAlgorithms(__func__, p7.get());
    if (VOMU_OK != nResult) return nResult;
    OsslPtr<BIO> pBioSourceData = NewContentBio(pbyData, nDataSize);
    VOMU_FAIL_IF_OSSL(NULL == pBioSourceData, "BIO_new_mem_buf", VOMU_E_FAIL);
    nResult = PKCS7_verify(p7.get(), NULL, NULL, pBioSourceData.get(), NULL,
                           VERIFY_DETACHED_FLAGS);
    VOMU_FAIL_IF_OSSL(1 != nResult, "PKCS7_verify", VOMU_E_BAD_SIGNATURE);
    return HandOverSignCert(__func__, p7.get(), ppbySignCert, pnSignCertSize);
}

int RSA_VerifyDataSignature_DERPKCS7Attached(const unsigned char* pbyDERSignature,
                                             int nDERSignatureSize, unsigned char** ppbySourceData,
                                             int* pnSourceDataSize, unsigned char** ppbySignCert,
                                             int* pnSignCertSize)
{
    OsslPtr<PKCS7> p7;
    int nResult = DecodePKCS7(__func__, pbyDERSignature, nDERSignatureSize, p7);
    if (VOMU_OK != nResult) return nResult;
    OsslPtr<BIO> pBioContent(BIO_new(BIO_s_mem()));
    VOMU_FAIL_IF_OSSL(NULL == pBioContent, "BIO_new", VOMU_E_FAIL);
    nResult = PKCS7_verify(p7.get(), NULL, NULL, NULL, pBioContent.get(), VERIFY_ATTACHED_FLAGS);
    VOMU_FAIL_IF_OSSL(1 != nResult, "PKCS7_verify", VOMU_E_BAD_SIGNATURE);
    OwnedArray<unsigned char> pbySourceData;
    size_t nSourceDataSize = 0;
    if (ppbySourceData) {
        nResult = CopyContent(__func__, pBioContent.get(), pbySourceData, &nSourceDataSize);
        if (VOMU_OK != nResult) return nResult;
    }
    // The certificate first: nothing is handed over unless both outputs can be.
    nResult = HandOverSignCert(__func__, p7.get(), ppbySignCert, pnSignCertSize);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOver(pbySourceData, ppbySourceData, pnSourceDataSize, nSourceDataSize);
}

int RSA_VerifyDataSignature_PKCS7Detached(const char* pszBase64Signature,
                                          const unsigned char* pbyData, int nDataSize,
                                          unsigned char** ppbySignCert, int* pnSignCertSize)
{
    OwnedArray<unsigned char> pDER;
    int nDERSize = 0;
    int nResult = morv::DecodeBase64Text(__func__, pszBase64Signature, pDER, &nDERSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx", nResult);
    unsigned char* pbySignCert = NULL;
    int nSignCertSize = 0;
    nResult = RSA_VerifyDataSignature_DERPKCS7Detached(pDER.get(), nDERSize, pbyData, nDataSize,
                                                       &pbySignCert, &nSignCertSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pSignCert(pbySignCert);
    HandOverIfAsked(pSignCert, nSignCertSize, ppbySignCert, pnSignCertSize);
    return VOMU_OK;
}

int RSA_VerifyDataSignature_PKCS7Attached(const char* pszBase64Signature,
                                          unsigned char** ppbySourceData, int* pnSourceDataSize,
                                          unsigned char** ppbySignCert, int* pnSignCertSize)
{
    OwnedArray<unsigned char> pDER;
    int nDERSize = 0;
    int nResult = morv::DecodeBase64Text(__func__, pszBase64Signature, pDER, &nDERSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx", nResult);
    unsigned char* pbySourceData = NULL;
    unsigned char* pbySignCert = NULL;
    int nSourceDataSize = 0, nSignCertSize = 0;
    nResult = RSA_VerifyDataSignature_DERPKCS7Attached(pDER.get(), nDERSize, &pbySourceData,
                                                       &nSourceDataSize, &pbySignCert,
                                                       &nSignCertSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pSourceData(pbySourceData), pSignCert(pbySignCert);
    HandOverIfAsked(pSourceData, nSourceDataSize, ppbySourceData, pnSourceDataSize);
    HandOverIfAsked(pSignCert, nSignCertSize, ppbySignCert, pnSignCertSize);
    return VOMU_OK;
}
