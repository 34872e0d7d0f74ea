// RSA PKCS#1 v1.5 signatures over a hash number's digest, in kctx; keys from PKCS#12, certs DER.
#include <cstring>

#include <openssl/objects.h>
#include <openssl/rsa.h>

#include "Base64Utility.h"
#include "CertificateCache.h"
#include "CertificateOperations.h"
#include "HandOver.h"
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

// Stands in for EVP_PKEY_get1_RSA: the key itself when it is an RSA key, else null.
const EVP_PKEY* AsRsaKey(const EVP_PKEY* pKey)
{
    return pKey && EVP_PKEY_is_a(pKey, "RSA") ? pKey : NULL;
}

// The helpers below log their steps under pszFunc, the public function whose steps they are.

// RFC 8017 9.2 step 2: DigestInfo ::= SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING },
// as RSA_sign builds it for the hash number. Built here, not by the library's RSA signature,
// which refuses some digests of the table (SM3) that signatures of this system carry.
const size_t DIGEST_INFO_MAX = 127;  // every length in short form

int EncodeDigestInfo(const char* pszFunc, int nHashNID, const unsigned char* pbyHash, int nHashSize,
                     unsigned char* pbyDigestInfo, size_t* pnDigestInfoSize)
{
    const ASN1_OBJECT* pObject = OBJ_nid2obj(nHashNID);
    const int nOidSize = pObject ? (int)OBJ_length(pObject) : 0;
    const size_t nAlgorithmSize = 2 + (size_t)nOidSize + 2;
    const size_t nContentSize = 2 + nAlgorithmSize + 2 + (size_t)nHashSize;
    VOMU_FAIL_IF_IN(pszFunc, nOidSize <= 0 || nHashSize <= 0 || 2 + nContentSize > DIGEST_INFO_MAX,
                    "Encode DigestInfo", VOMU_E_FAIL);
    unsigned char* p = pbyDigestInfo;
    *p++ = 0x30, *p++ = (unsigned char)nContentSize;
    *p++ = 0x30, *p++ = (unsigned char)nAlgorithmSize;
    *p++ = 0x06, *p++ = (unsigned char)nOidSize;
    memcpy(p, OBJ_get0_data(pObject), (size_t)nOidSize);
    p += nOidSize;
    *p++ = 0x05, *p++ = 0x00;
    *p++ = 0x04, *p++ = (unsigned char)nHashSize;
    memcpy(p, pbyHash, (size_t)nHashSize);
    *pnDigestInfoSize = 2 + nContentSize;
    return VOMU_OK;
}

// A PKCS#1 v1.5 context of the key, for signing or verifying, and the DigestInfo it works on.
int PreparePkcs1(const char* pszFunc, EVP_PKEY* pKey, bool bSign, int nHashNID, const unsigned char* pbyHash,
                 int nHashSize, OsslPtr<EVP_PKEY_CTX>& pPKeyCtx, unsigned char* pbyDigestInfo,
                 size_t* pnDigestInfoSize)
{
    pPKeyCtx.reset(EVP_PKEY_CTX_new_from_pkey(smk::LibCtx(), pKey, NULL));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pPKeyCtx, "EVP_PKEY_CTX_new_from_pkey", VOMU_E_FAIL);
    int nResult = bSign ? EVP_PKEY_sign_init(pPKeyCtx.get()) : EVP_PKEY_verify_init(pPKeyCtx.get());
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult,
                         bSign ? "EVP_PKEY_sign_init" : "EVP_PKEY_verify_init", VOMU_E_FAIL);
    nResult = EVP_PKEY_CTX_set_rsa_padding(pPKeyCtx.get(), RSA_PKCS1_PADDING);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "EVP_PKEY_CTX_set_rsa_padding", VOMU_E_FAIL);
    return EncodeDigestInfo(pszFunc, nHashNID, pbyHash, nHashSize, pbyDigestInfo, pnDigestInfoSize);
}

int SignDigest(const char* pszFunc, EVP_PKEY* pKey, int nHashNID, const unsigned char* pbyHash, int nHashSize,
               unsigned char** ppbySignature, size_t* pnSignatureSize)
{
    const EVP_PKEY* pRsaPrivKey = AsRsaKey(pKey);
    VOMU_FAIL_IF_IN(pszFunc, NULL == pRsaPrivKey, "EVP_PKEY_get1_RSA", VOMU_E_FAIL);
    OsslPtr<EVP_PKEY_CTX> pPKeyCtx;
    unsigned char byDigestInfo[DIGEST_INFO_MAX];
    size_t nDigestInfoSize = 0;
    int nResult = PreparePkcs1(pszFunc, pKey, true, nHashNID, pbyHash, nHashSize, pPKeyCtx, byDigestInfo,
                               &nDigestInfoSize);
    if (VOMU_OK != nResult) return nResult;
    const int nKeySize = EVP_PKEY_get_size(pKey);
    VOMU_FAIL_IF_IN(pszFunc, nKeySize <= 0, "RSA_size", VOMU_E_FAIL);
    OwnedArray<unsigned char> pbySignature(new (std::nothrow) unsigned char[nKeySize]());
    VOMU_FAIL_IF_IN(pszFunc, !pbySignature, "New memory", VOMU_E_FAIL);
    size_t nSignatureSize = (size_t)nKeySize;
    nResult = EVP_PKEY_sign(pPKeyCtx.get(), pbySignature.get(), &nSignatureSize, byDigestInfo,
                            nDigestInfoSize);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "RSA_sign", VOMU_E_FAIL);
    *pnSignatureSize = nSignatureSize;
    *ppbySignature = pbySignature.release();
    return VOMU_OK;
}

int VerifyDigest(const char* pszFunc, X509* pX509Cert, int nHashNID, const unsigned char* pbyHash, int nHashSize,
                 const unsigned char* pbySignature, int nSignatureSize)
{
    OsslPtr<EVP_PKEY> pEvpPubKey(X509_get_pubkey(pX509Cert));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pEvpPubKey, "X509_get_pubkey", VOMU_E_FAIL);
    const EVP_PKEY* pRsaPubKey = AsRsaKey(pEvpPubKey.get());
    VOMU_FAIL_IF_IN(pszFunc, NULL == pRsaPubKey, "EVP_PKEY_get1_RSA", VOMU_E_FAIL);
    OsslPtr<EVP_PKEY_CTX> pPKeyCtx;
    unsigned char byDigestInfo[DIGEST_INFO_MAX];
    size_t nDigestInfoSize = 0;
    int nResult = PreparePkcs1(pszFunc, pEvpPubKey.get(), false, nHashNID, pbyHash, nHashSize,
                               pPKeyCtx, byDigestInfo, &nDigestInfoSize);
    if (VOMU_OK != nResult) return nResult;
    // Without a digest set, the library compares the whole recovered DigestInfo. A missing or
    // empty signature is one that does not verify.
    nResult = NULL == pbySignature || nSignatureSize <= 0
                  ? 0
                  : EVP_PKEY_verify(pPKeyCtx.get(), pbySignature, (size_t)nSignatureSize,
                                    byDigestInfo, nDigestInfoSize);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "RSA_verify", VOMU_E_BAD_SIGNATURE);
    return VOMU_OK;
}

// A certificate given as DER only (PEM text is refused); shared, as the verifiers only read it.
int DecodeDERCert(const char* pszFunc, const unsigned char* pbyCert, int nCertSize, OsslPtr<X509>& pPubCert)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pbyCert || nCertSize <= 0, "Check parameter", VOMU_E_FAIL);
    auto read = [&] { const unsigned char* pbyIn = pbyCert; return smk::D2iX509(&pbyIn, nCertSize); };
    pPubCert.reset(morv::CertificateCache::Decode(pbyCert, nCertSize, morv::CertificateForm::Der, read));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pPubCert, "d2i_X509", VOMU_E_FAIL);
    return VOMU_OK;
}

// The Base64 certificate and signature of the text verifiers, decoded.
struct DecodedPair {
    OwnedArray<unsigned char> pbyCert, pbySignature;
    int nCertSize = 0, nSignatureSize = 0;
};

}  // namespace

namespace morv {

int ReadRsaSigner(const char* pszFunc, FILE* fpPFXFile, const char* pszPassword, OsslPtr<EVP_PKEY>& pPrivKey,
                  OsslPtr<X509>& pSignCert)
{
    EVP_PKEY* pKey = NULL;
    X509* pCert = NULL;
    int nResult = ParsePFXFile(fpPFXFile, pszPassword, &pKey, &pCert, NULL);
    pPrivKey.reset(pKey);
    pSignCert.reset(pCert);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ParsePFXFile", nResult);
    nResult = CheckX509KeyUsage(pSignCert.get(), KEY_USAGE_DIGITAL_SIGNATURE, true);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "CheckX509KeyUsage", nResult);
    const EVP_PKEY* pRsaPrivKey = AsRsaKey(pPrivKey.get());
    VOMU_FAIL_IF_IN(pszFunc, NULL == pRsaPrivKey, "EVP_PKEY_get1_RSA", VOMU_E_FAIL);
    return VOMU_OK;
}

int DecodeBase64Text(const char* pszFunc, const char* pszText, OwnedArray<unsigned char>& pDecoded, int* pnSize)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pszText, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyDecoded = NULL;
    const int nResult = Base64DecodeEx(pszText, (int)strlen(pszText), &pbyDecoded, pnSize);
    pDecoded.reset(pbyDecoded);
    return nResult;
}

int HandOverAsBase64(const char* pszFunc, unsigned char* pbySigned, int nSignedSize, unsigned long dwBase64Flags,
                     char** ppszBase64, int* pnBase64Size)
{
    OwnedArray<unsigned char> pSigned(pbySigned);
    const int nResult = Base64EncodeEx(pSigned.get(), nSignedSize, ppszBase64, pnBase64Size,
                                       dwBase64Flags);
    VOMU_FAIL_IF_IN(pszFunc, nResult != VOMU_OK, "Base64EncodeEx", nResult);
    return VOMU_OK;
}

}  // namespace morv

int RSA_SignData_PKCS1_ByPrivateKey(const unsigned char* pbyData, int nDataSize,
                                    EVP_PKEY* pRsaPrivKey, int nHashNID,
                                    unsigned char** ppbySignature, int* pnSignatureSize)
{
    VOMU_FAIL_IF(NULL == ppbySignature || NULL == pnSignatureSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    unsigned char* pbyHash = NULL;
    int nHashSize = 0;
    int nResult = CalculateDataHash(pbyData, nDataSize, nHashNID, &pbyHash, &nHashSize);
    OwnedArray<unsigned char> pHash(pbyHash);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CalculateDataHash", nResult);
    unsigned char* pbySignature = NULL;
    size_t nSignatureSize = 0;
    nResult = SignDigest(__func__, pRsaPrivKey, nHashNID, pHash.get(), nHashSize, &pbySignature,
                         &nSignatureSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pSignature(pbySignature);
    return morv::HandOver(pSignature, ppbySignature, pnSignatureSize, nSignatureSize);
}

int RSA_SignFile_PKCS1_ByPrivateKey(FILE* fpSourceFile, EVP_PKEY* pRsaPrivKey, int nHashNID,
                                    unsigned char** ppbySignature, unsigned int* pnSignatureSize)
{
    VOMU_FAIL_IF(NULL == ppbySignature || NULL == pnSignatureSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    unsigned char* pbyHash = NULL;
    int nHashSize = 0;
    int nResult = CalculateFileHash(fpSourceFile, nHashNID, &pbyHash, &nHashSize);
    OwnedArray<unsigned char> pHash(pbyHash);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CalculateFileHash", nResult);
    unsigned char* pbySignature = NULL;
    size_t nSignatureSize = 0;
    nResult = SignDigest(__func__, pRsaPrivKey, nHashNID, pHash.get(), nHashSize, &pbySignature,
                         &nSignatureSize);
    if (VOMU_OK != nResult) return nResult;
    *ppbySignature = pbySignature;
    *pnSignatureSize = (unsigned int)nSignatureSize;
    return VOMU_OK;
}

int RSA_SignData_PKCS1_ByPFX(const unsigned char* pbyData, int nDataSize, FILE* fpPFXFile,
                             const char* pszPassword, int nHashNID,
                             unsigned char** ppbySignature, int* pnSignatureSize)
{
    OsslPtr<EVP_PKEY> pPrivKey;
    OsslPtr<X509> pSignCert;
    int nResult = morv::ReadRsaSigner(__func__, fpPFXFile, pszPassword, pPrivKey, pSignCert);
    if (VOMU_OK != nResult) return nResult;
    nResult = RSA_SignData_PKCS1_ByPrivateKey(pbyData, nDataSize, pPrivKey.get(), nHashNID,
                                              ppbySignature, pnSignatureSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "RSA_SignData_PKCS1_ByPrivateKey", nResult);
    return VOMU_OK;
}

int RSA_SignFile_PKCS1_ByPFX(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPassword,
                             int nHashNID, unsigned char** ppbySignature,
                             unsigned int* pnSignatureSize)
{
    OsslPtr<EVP_PKEY> pPrivKey;
    OsslPtr<X509> pSignCert;
    int nResult = morv::ReadRsaSigner(__func__, fpPFXFile, pszPassword, pPrivKey, pSignCert);
    if (VOMU_OK != nResult) return nResult;
    nResult = RSA_SignFile_PKCS1_ByPrivateKey(fpSourceFile, pPrivKey.get(), nHashNID,
                                              ppbySignature, pnSignatureSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "RSA_SignFile_PKCS1_ByPrivateKey", nResult);
    return VOMU_OK;
}

int RSA_SignData_PKCS1(const unsigned char* pbyData, int nDataSize, FILE* fpPFXFile,
                       const char* pszPassword, int nHashNID, unsigned long dwBase64Flags,
                       char** ppszBase64Signature, int* pnBase64Size)
{
    VOMU_FAIL_IF(NULL == ppszBase64Signature, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbySignature = NULL;
    int nSignatureSize = 0;
    int nResult = RSA_SignData_PKCS1_ByPFX(pbyData, nDataSize, fpPFXFile, pszPassword, nHashNID,
                                           &pbySignature, &nSignatureSize);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOverAsBase64(__func__, pbySignature, nSignatureSize, dwBase64Flags,
                                  ppszBase64Signature, pnBase64Size);
}

int RSA_SignFile_PKCS1(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPassword,
                       int nHashNID, unsigned long dwBase64Flags, char** ppszBase64Signature)
{
    VOMU_FAIL_IF(NULL == ppszBase64Signature, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbySignature = NULL;
    unsigned int nSignatureSize = 0;
    int nResult = RSA_SignFile_PKCS1_ByPFX(fpSourceFile, fpPFXFile, pszPassword, nHashNID,
                                           &pbySignature, &nSignatureSize);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOverAsBase64(__func__, pbySignature, (int)nSignatureSize, dwBase64Flags,
                                  ppszBase64Signature, NULL);
}

int RSA_VerifyDataSignature_PKCS1_ByX509(const unsigned char* pbyData, int nDataSize,
                                         X509* pX509Cert, int nHashNID,
                                         const unsigned char* pbySignature, int nSignatureSize)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyHash = NULL;
    int nHashSize = 0;
    int nResult = CalculateDataHash(pbyData, nDataSize, nHashNID, &pbyHash, &nHashSize);
    OwnedArray<unsigned char> pHash(pbyHash);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CalculateDataHash", VOMU_E_FAIL);
    return VerifyDigest(__func__, pX509Cert, nHashNID, pHash.get(), nHashSize, pbySignature,
                        nSignatureSize);
}

int RSA_VerifyFileSignature_PKCS1_ByX509(FILE* fpSourceFile, X509* pX509Cert, int nHashNID,
                                         const unsigned char* pbySignature, int nSignatureSize)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyHash = NULL;
    int nHashSize = 0;
    int nResult = CalculateFileHash(fpSourceFile, nHashNID, &pbyHash, &nHashSize);
    OwnedArray<unsigned char> pHash(pbyHash);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CalculateFileHash", nResult);
    return VerifyDigest(__func__, pX509Cert, nHashNID, pHash.get(), nHashSize, pbySignature,
                        nSignatureSize);
}

int RSA_VerifyDataSignature_DERPKCS1_ByDERCert(const unsigned char* pbyData, int nDataSize,
                                               const unsigned char* pbyCert, int nCertSize,
                                               int nHashNID, const unsigned char* pbySignature,
                                               int nSignatureSize)
{
    OsslPtr<X509> pPubCert;
    int nResult = DecodeDERCert(__func__, pbyCert, nCertSize, pPubCert);
    if (VOMU_OK != nResult) return nResult;
    return RSA_VerifyDataSignature_PKCS1_ByX509(pbyData, nDataSize, pPubCert.get(), nHashNID,
                                                pbySignature, nSignatureSize);
}

int RSA_VerifyFileSignature_PKCS1_ByDERCertContent(FILE* fpSourceFile,
                                                   const unsigned char* pbyCert, int nCertSize,
                                                   int nHashNID,
                                                   const unsigned char* pbySignature,
                                                   int nSignatureSize)
{
    OsslPtr<X509> pPubCert;
    int nResult = DecodeDERCert(__func__, pbyCert, nCertSize, pPubCert);
    if (VOMU_OK != nResult) return nResult;
    return RSA_VerifyFileSignature_PKCS1_ByX509(fpSourceFile, pPubCert.get(), nHashNID,
                                                pbySignature, nSignatureSize);
}

int RSA_VerifyDataSignature_PKCS1(const unsigned char* pbyData, int nDataSize,
                                  const char* pszBase64CertContent, int nHashNID,
                                  const char* pszBase64Signature)
{
    DecodedPair pair;
    int nResult = morv::DecodeBase64Text(__func__, pszBase64CertContent, pair.pbyCert, &pair.nCertSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx(pszBase64CertContent)", nResult);
    nResult = morv::DecodeBase64Text(__func__, pszBase64Signature, pair.pbySignature, &pair.nSignatureSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx(pszBase64Signature)", nResult);
    nResult = RSA_VerifyDataSignature_DERPKCS1_ByDERCert(
        pbyData, nDataSize, pair.pbyCert.get(), pair.nCertSize, nHashNID,
        pair.pbySignature.get(), pair.nSignatureSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "RSA_VerifyDataSignature_DERPKCS1_ByDERCert", nResult);
    return VOMU_OK;
}

int RSA_VerifyFileSignature_PKCS1(FILE* fpSourceFile, const char* pszBase64CertContent,
                                  int nHashNID, const char* pszBase64Signature)
{
    DecodedPair pair;
    int nResult = morv::DecodeBase64Text(__func__, pszBase64CertContent, pair.pbyCert, &pair.nCertSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx(CertContent)", nResult);
    nResult = morv::DecodeBase64Text(__func__, pszBase64Signature, pair.pbySignature, &pair.nSignatureSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx(Signature)", nResult);
    nResult = RSA_VerifyFileSignature_PKCS1_ByDERCertContent(
        fpSourceFile, pair.pbyCert.get(), pair.nCertSize, nHashNID, pair.pbySignature.get(),
        pair.nSignatureSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "RSA_VerifyFileSignature_PKCS1_ByCertContent", nResult);
    return VOMU_OK;
}
