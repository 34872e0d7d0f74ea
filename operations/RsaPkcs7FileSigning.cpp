// Detached RSA SignedData of files: our own SignedData writer over the streamed file digest,
// checked with our own SignedData reader, so the file is never held in memory.
#include <cstring>

#include <openssl/objects.h>

#include "Base64Utility.h"
#include "HandOver.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "RSADataSigning.h"
#include "RsaSigner.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

using morv::OsslPtr;
using morv::OwnedArray;

namespace {

const char kSignedDataOid[] = "1.2.840.113549.1.7.2";
const char kDataOid[] = "1.2.840.113549.1.7.1";

int CheckStreams(const char* pszFunc, FILE* fpSourceFile, FILE* fpPFXFile)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == fpSourceFile, "check parameters(SourceFile).",
                    VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF_IN(pszFunc, NULL == fpPFXFile, "check parameters(PFXFile).", VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

int EncodeCertificate(const char* pszFunc, X509* pSignCert, OwnedArray<unsigned char>& pbyCert,
                      int* pnCertSize)
{
    const int nDERPubCertSize = i2d_X509(pSignCert, NULL);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, nDERPubCertSize <= 0, "i2d_X509", VOMU_E_FAIL);
    pbyCert.reset(new (std::nothrow) unsigned char[nDERPubCertSize]);
    VOMU_FAIL_IF_IN(pszFunc, !pbyCert, "New memory", VOMU_E_FAIL);
    unsigned char* pbyOut = pbyCert.get();
    VOMU_FAIL_IF_OSSL_IN(pszFunc, nDERPubCertSize != i2d_X509(pSignCert, &pbyOut), "i2d_X509",
                         VOMU_E_FAIL);
    *pnCertSize = nDERPubCertSize;
    return VOMU_OK;
}

// What the file signature's SignedData is made of.
struct FileSignature {
    OwnedArray<char> pszDigestAlg, pszDigestEncryptionAlg;
    OwnedArray<unsigned char> pbySignature, pbyCert;
    int nSignatureSize = 0, nCertSize = 0;
};

int GetIdentifiers(const char* pszFunc, int nHashNID, bool bExact, FileSignature& parts)
{
    char* pszDigestAlg = NULL;
    char* pszDigestEncryptionAlg = NULL;
    int nResult = GetAlgOIDbyHashNID(nHashNID, &pszDigestAlg, &pszDigestEncryptionAlg, bExact);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetAlgOIDbyHashNID", nResult);
    parts.pszDigestAlg.reset(pszDigestAlg);
    parts.pszDigestEncryptionAlg.reset(pszDigestEncryptionAlg);
    return VOMU_OK;
}

int SignFileDigest(const char* pszFunc, FILE* fpSourceFile, FILE* fpPFXFile,
                   const char* pszPassword, int nHashNID, FileSignature& parts)
{
    OsslPtr<EVP_PKEY> pPrivKey;
    OsslPtr<X509> pSignCert;
    int nResult = morv::ReadRsaSigner(pszFunc, fpPFXFile, pszPassword, pPrivKey, pSignCert);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbySignature = NULL;
    unsigned int nSignatureSize = 0;
    nResult = RSA_SignFile_PKCS1_ByPrivateKey(fpSourceFile, pPrivKey.get(), nHashNID,
                                              &pbySignature, &nSignatureSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "RSA_SignFile_PKCS1_ByPrivateKey", nResult);
    parts.pbySignature.reset(pbySignature);
    parts.nSignatureSize = (int)nSignatureSize;
    return EncodeCertificate(pszFunc, pSignCert.get(), parts.pbyCert, &parts.nCertSize);
}

// What the reader gives the file verifier.
struct ParsedSignature {
    OwnedArray<unsigned char> pbyCert, pbySignature, pbySource;
    OwnedArray<char> pszDigestAlgOid;
    int nCertSize = 0, nSignatureSize = 0, nSourceSize = 0, nDigestAlgOidSize = 0;
};

int ParseDetached(const char* pszFunc, const unsigned char* pbyDER, int nDERSize,
                  ParsedSignature& parsed)
{
    unsigned char* pbyCert = NULL;
    unsigned char* pbySignature = NULL;
    unsigned char* pbySource = NULL;
    char* pszDigestAlgOid = NULL;
    int nResult = ParsePKCS7Signature(const_cast<unsigned char*>(pbyDER), nDERSize, &pbyCert,
                                      &parsed.nCertSize, &pbySignature, &parsed.nSignatureSize,
                                      &pbySource, &parsed.nSourceSize, &pszDigestAlgOid,
                                      &parsed.nDigestAlgOidSize, NULL, NULL, NULL, NULL, NULL,
                                      NULL);
    parsed.pbyCert.reset(pbyCert);
    parsed.pbySignature.reset(pbySignature);
    parsed.pbySource.reset(pbySource);
    parsed.pszDigestAlgOid.reset(pszDigestAlgOid);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ParsePKCS7Signature", nResult);
    const unsigned char* pbySourceData = parsed.pbySource.get();
    const int nSourceSize = parsed.nSourceSize;
    VOMU_FAIL_IF_REASON_IN(pszFunc, NULL != pbySourceData || 0 != nSourceSize,
                           "NULL != pbySource || 0 != nSourceSize", "Check PKCS7 attached signature",
                           VOMU_E_PKCS7_FORMAT);
    return VOMU_OK;
}

}  // namespace

int RSA_SignFile_PKCS7Detached_ByPFX(FILE* fpSourceFile, FILE* fpPFXFile,
                                     const char* pszPassword, int nHashNID, bool bExact,
                                     unsigned char** ppbyDERSignature, int* pnDERSignatureSize)
{
    int nResult = CheckStreams(__func__, fpSourceFile, fpPFXFile);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF(NULL == ppbyDERSignature || NULL == pnDERSignatureSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    FileSignature parts;
    nResult = GetIdentifiers(__func__, nHashNID, bExact, parts);
    if (VOMU_OK != nResult) return nResult;
    nResult = SignFileDigest(__func__, fpSourceFile, fpPFXFile, pszPassword, nHashNID, parts);
    if (VOMU_OK != nResult) return nResult;
    nResult = Encode_PKCS7Signature(
        parts.pbyCert.get(), parts.nCertSize, NULL, 0, NULL, false, kSignedDataOid, kDataOid,
        parts.pszDigestAlg.get(), NULL, parts.pszDigestEncryptionAlg.get(),
        parts.pbySignature.get(), parts.nSignatureSize, P7_SIGNATURE_RSA_PKCS1, NULL,
        ppbyDERSignature, pnDERSignatureSize, NULL, NULL);
    VOMU_FAIL_IF(nResult != VOMU_OK, "Encode_PKCS7Signature", nResult);
    return VOMU_OK;
}

int RSA_SignFile_PKCS7Detached(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPassword,
                               int nHashNID, bool bExact, unsigned long dwBase64Flags,
                               char** ppszBase64Signature)
{
    int nResult = CheckStreams(__func__, fpSourceFile, fpPFXFile);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF(NULL == ppszBase64Signature, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    nResult = RSA_SignFile_PKCS7Detached_ByPFX(fpSourceFile, fpPFXFile, pszPassword, nHashNID,
                                               bExact, &pbyDER, &nDERSize);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOverAsBase64(__func__, pbyDER, nDERSize, dwBase64Flags, ppszBase64Signature, NULL);
}

int RSA_VerifyFileSignature_DERPKCS7Detached(const unsigned char* pbyDERSignature,
                                             int nDERSignatureSize, FILE* fpSourceFile,
                                             unsigned char** ppbySignCert, int* pnSignCertSize)
{
    ParsedSignature parsed;
    int nResult = ParseDetached(__func__, pbyDERSignature, nDERSignatureSize, parsed);
    if (VOMU_OK != nResult) return nResult;
    const int nHashID = OBJ_txt2nid(parsed.pszDigestAlgOid.get());
    VOMU_FAIL_IF(NID_undef == nHashID, "OBJ_txt2nid", VOMU_E_PKCS7_FORMAT);
    nResult = RSA_VerifyFileSignature_PKCS1_ByDERCertContent(
        fpSourceFile, parsed.pbyCert.get(), parsed.nCertSize, nHashID,
        parsed.pbySignature.get(), parsed.nSignatureSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "RSA_VerifyFileSignature_PKCS1_ByCertContent", nResult);
    return morv::HandOver(parsed.pbyCert, ppbySignCert, pnSignCertSize, (size_t)parsed.nCertSize);
}

int RSA_VerifyFileSignature_PKCS7Detached(const char* pszBase64Signature, FILE* fpSourceFile,
                                          unsigned char** ppbySignCert, int* pnSignCertSize)
{
    OwnedArray<unsigned char> pDER;
    int nDERSize = 0;
    int nResult = morv::DecodeBase64Text(__func__, pszBase64Signature, pDER, &nDERSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx(pszBase64PKCS7DetachedSignature)", nResult);
    unsigned char* pbySignCert = NULL;
    int nSignCertSize = 0;
    nResult = RSA_VerifyFileSignature_DERPKCS7Detached(pDER.get(), nDERSize, fpSourceFile,
                                                       &pbySignCert, &nSignCertSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pSignCert(pbySignCert);
    return morv::HandOver(pSignCert, ppbySignCert, pnSignCertSize, (size_t)nSignCertSize);
}
