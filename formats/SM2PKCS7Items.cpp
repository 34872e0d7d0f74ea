// The SM2PKCS7 item types (OpenSSL templates) and the four parsers over them.
#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include <cstring>

#include "FormatNodes.h"
#include "HandOver.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "SignedDataTree.h"
#include "VomuStep.h"
#include "vomu_result.h"

using morv::OsslPtr;
using morv::OwnedArray;
using morv::signeddata::kDigestAlgSteps;
using morv::signeddata::kDigestEncAlgSteps;

// ---- SM2PKCS7 item types ----

ASN1_SEQUENCE(SM2PKCS7_CONTENT) = {
    ASN1_SIMPLE(SM2PKCS7_CONTENT, type, ASN1_OBJECT),
    ASN1_EXP_OPT(SM2PKCS7_CONTENT, content, ASN1_OCTET_STRING, 0),
} ASN1_SEQUENCE_END(SM2PKCS7_CONTENT)

ASN1_SEQUENCE(SM2PKCS7_SIGNER_INFO) = {
    ASN1_SIMPLE(SM2PKCS7_SIGNER_INFO, version, ASN1_INTEGER),
    ASN1_SIMPLE(SM2PKCS7_SIGNER_INFO, issuer_and_serial, PKCS7_ISSUER_AND_SERIAL),
    ASN1_SIMPLE(SM2PKCS7_SIGNER_INFO, digest_alg, X509_ALGOR),
    ASN1_SIMPLE(SM2PKCS7_SIGNER_INFO, digest_enc_alg, X509_ALGOR),
    // r and s keep their INTEGER octets as written: OpenSSL's ASN1_INTEGER refuses the fixed
    // 32-octet form with leading zeros that the SM2 writers emit, which the one 32-octet rule
    // (FormatNodes.h) accepts; the numbers are read by that rule.
    ASN1_EX_TYPE(ASN1_TFLG_IMPTAG | ASN1_TFLG_UNIVERSAL, V_ASN1_INTEGER, SM2PKCS7_SIGNER_INFO,
                 enc_digest_r, ASN1_OCTET_STRING),
    ASN1_EX_TYPE(ASN1_TFLG_IMPTAG | ASN1_TFLG_UNIVERSAL, V_ASN1_INTEGER, SM2PKCS7_SIGNER_INFO,
                 enc_digest_s, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2PKCS7_SIGNER_INFO)

ASN1_NDEF_SEQUENCE(SM2PKCS7_SIGNED) = {
    ASN1_SIMPLE(SM2PKCS7_SIGNED, version, ASN1_INTEGER),
    ASN1_SET_OF(SM2PKCS7_SIGNED, md_algs, X509_ALGOR),
    ASN1_SIMPLE(SM2PKCS7_SIGNED, contents, SM2PKCS7_CONTENT),
    ASN1_EXP_OPT(SM2PKCS7_SIGNED, cert, X509, 0),
    ASN1_SET_OF(SM2PKCS7_SIGNED, signer_info, SM2PKCS7_SIGNER_INFO),
} ASN1_NDEF_SEQUENCE_END(SM2PKCS7_SIGNED)

ASN1_NDEF_SEQUENCE(SM2PKCS7) = {
    ASN1_SIMPLE(SM2PKCS7, SM2PKCS7SignedDataType, ASN1_OBJECT),
    ASN1_NDEF_EXP_OPT(SM2PKCS7, SM2PKCS7SignedData, SM2PKCS7_SIGNED, 0),
} ASN1_NDEF_SEQUENCE_END(SM2PKCS7)

VOMU_BEGIN_C
IMPLEMENT_ASN1_FUNCTIONS(SM2PKCS7_CONTENT)
IMPLEMENT_ASN1_FUNCTIONS(SM2PKCS7_SIGNER_INFO)
IMPLEMENT_ASN1_FUNCTIONS(SM2PKCS7_SIGNED)
IMPLEMENT_ASN1_FUNCTIONS(SM2PKCS7)
VOMU_END_C

namespace morv {
MORV_OSSL_DELETER(SM2PKCS7, SM2PKCS7_free);
MORV_OSSL_DELETER(SM2PKCS7_SIGNED, SM2PKCS7_SIGNED_free);
MORV_OSSL_DELETER(SM2PKCS7_SIGNER_INFO, SM2PKCS7_SIGNER_INFO_free);
}  // namespace morv

namespace {

// DER of one value by its i2d function, copied out of the library's buffer; null for an
// absent value, a failed encoding or memory.
template <typename T>
OwnedArray<unsigned char> EncodeByOpenssl(int (*pfnI2d)(const T*, unsigned char**), const T* pValue,
                                          size_t* pnSize)
{
    unsigned char* pbyDer = NULL;
    const int nSize = pValue ? pfnI2d(pValue, &pbyDer) : 0;
    morv::OpensslBytes pDer(pbyDer);
    if (nSize <= 0 || !pDer) return OwnedArray<unsigned char>();
    *pnSize = (size_t)nSize;
    return morv::CopyToArray(pDer.get(), (size_t)nSize);
}

// r or s by the one 32-octet rule; false when it is refused.
bool IntegerTo32(const ASN1_STRING* pInteger, unsigned char* pby32)
{
    return morv::ReadInteger32(ASN1_STRING_get0_data(pInteger),
                               (size_t)ASN1_STRING_length(pInteger), pby32);
}

// An entry of a SET OF, read in place: the set keeps it. Null when the set is empty.
template <typename T> const T* FirstEntry(const OPENSSL_STACK* pStack)
{
    return OPENSSL_sk_num(pStack) > 0 ? static_cast<const T*>(OPENSSL_sk_value(pStack, 0)) : NULL;
}

template <typename T> const T* LastEntry(const OPENSSL_STACK* pStack)
{
    const int nCount = OPENSSL_sk_num(pStack);
    return nCount > 0 ? static_cast<const T*>(OPENSSL_sk_value(pStack, nCount - 1)) : NULL;
}

// The signer, by the rule of every SignedData reader: the first SignerInfo.
const SM2PKCS7_SIGNER_INFO* SignerInfo(const SM2PKCS7_SIGNED* pSigned)
{
    return FirstEntry<SM2PKCS7_SIGNER_INFO>(
        reinterpret_cast<const OPENSSL_STACK*>(pSigned->signer_info));
}

const X509_ALGOR* LastDigestAlgorithm(const SM2PKCS7_SIGNED* pSigned)
{
    return LastEntry<X509_ALGOR>(reinterpret_cast<const OPENSSL_STACK*>(pSigned->md_algs));
}

int ContentTypeText(const char* pszFunc, const SM2PKCS7* pstP7, OwnedArray<char>* ppText,
                    int* pnText)
{
    int nContentTypeLen = i2t_ASN1_OBJECT(NULL, 0, pstP7->SM2PKCS7SignedDataType);
    if (nContentTypeLen < 0) nContentTypeLen = 0;
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 0 == nContentTypeLen, "i2t_ASN1_OBJECT", VOMU_E_FAIL);
    OwnedArray<char> pContentType = morv::NewArray<char>((size_t)nContentTypeLen + 1);
    VOMU_FAIL_IF_IN(pszFunc, !pContentType, "New memory", VOMU_E_FAIL);
    memset(pContentType.get(), 0, (size_t)nContentTypeLen + 1);
    i2t_ASN1_OBJECT(pContentType.get(), nContentTypeLen + 1, pstP7->SM2PKCS7SignedDataType);
    *ppText = std::move(pContentType);
    *pnText = nContentTypeLen;
    return VOMU_OK;
}

// One part's DER, a new[] copy of what OpenSSL's encoder wrote.
struct EncodedPart {
    OwnedArray<unsigned char> pDer;
    size_t nSize = 0;
    int HandOver(unsigned char** ppOut, int* pnOutSize)
    {
        return morv::HandOver(pDer, ppOut, pnOutSize, nSize);
    }
};

// Encodes a part when it is asked for; an absent part fails the step.
template <typename T>
int EncodeAsked(const char* pszFunc, const void* pAsked, int (*pfnI2d)(const T*, unsigned char**),
                const T* pValue,
                const char* pszStep, const char* pszReason, EncodedPart* pPart)
{
    if (NULL == pAsked) return VOMU_OK;
    pPart->pDer = EncodeByOpenssl(pfnI2d, pValue, &pPart->nSize);
    VOMU_FAIL_IF_OSSL_REASON_IN(pszFunc, !pPart->pDer, pszReason, pszStep, VOMU_E_FAIL);
    return VOMU_OK;
}

}  // namespace

int ParseSM2P7(unsigned char* pbySM2P7, int nSM2P7Size, char** ppszContentType,
               int* pnContentTypeSize, unsigned char** ppbySignedData, int* pnSignedDataSize)
{
    VOMU_FAIL_IF(NULL == pbySM2P7 || 0 >= nSM2P7Size, "Check parameter", VOMU_E_FAIL);
    const unsigned char* pbyIn = pbySM2P7;
    OsslPtr<SM2PKCS7> pstP7(d2i_SM2PKCS7(NULL, &pbyIn, nSM2P7Size));
    VOMU_FAIL_IF_OSSL(NULL == pstP7, "d2i_SM2PKCS7", VOMU_E_FAIL);
    OwnedArray<char> pContentType;
    int nContentTypeLen = 0;
    if (ppszContentType) {
        const int nResult = ContentTypeText(__func__, pstP7.get(), &pContentType, &nContentTypeLen);
        if (VOMU_OK != nResult) return nResult;
    }
    EncodedPart signedData;
    const int nResult = EncodeAsked(__func__, ppbySignedData, i2d_SM2PKCS7_SIGNED,
                                    (const SM2PKCS7_SIGNED*)pstP7->SM2PKCS7SignedData,
                                    "i2d_SM2PKCS7_SIGNED", "NULL == pSM2P7SignedData", &signedData);
    if (VOMU_OK != nResult) return nResult;
    morv::HandOver(pContentType, ppszContentType, pnContentTypeSize, (size_t)nContentTypeLen);
    signedData.HandOver(ppbySignedData, pnSignedDataSize);
    return VOMU_OK;
}

int ParseSM2P7SignedData(unsigned char* pbySignedData, int nSignedDataSize,
                         unsigned char** ppbyDigestAlg, int* pnDigestAlgSize,
                         unsigned char** ppbyContents, int* pnContentsSize,
                         unsigned char** ppbyCert, int* pnCertSize,
                         unsigned char** ppbySignerInfo, int* pnSignerInfoSize)
{
    VOMU_FAIL_IF(NULL == pbySignedData || 0 >= nSignedDataSize, "Check parameter", VOMU_E_FAIL);
    const unsigned char* pbyIn = pbySignedData;
    OsslPtr<SM2PKCS7_SIGNED> pstSignedData(d2i_SM2PKCS7_SIGNED(NULL, &pbyIn, nSignedDataSize));
    VOMU_FAIL_IF_OSSL(NULL == pstSignedData, "d2i_SM2PKCS7_SIGNED", VOMU_E_FAIL);
    const SM2PKCS7_SIGNED* pSigned = pstSignedData.get();
    EncodedPart mdAlg, contents, cert, signerInfo;
    int nResult = EncodeAsked(__func__, ppbyDigestAlg, i2d_X509_ALGOR, LastDigestAlgorithm(pSigned),
                              "i2d_X509_ALGOR", "NULL == pMdAlg", &mdAlg);
    if (VOMU_OK == nResult) {
        nResult = EncodeAsked(__func__, ppbyContents, i2d_SM2PKCS7_CONTENT,
                              (const SM2PKCS7_CONTENT*)pSigned->contents, "i2d_SM2PKCS7_CONTENT",
                              "NULL == pContents", &contents);
    }
    if (VOMU_OK == nResult) {
        // A message without certificate fails here.
        nResult = EncodeAsked(__func__, ppbyCert, i2d_X509, (const X509*)pSigned->cert, "i2d_X509",
                              "NULL == pCert", &cert);
    }
    if (VOMU_OK == nResult) {
        nResult = EncodeAsked(__func__, ppbySignerInfo, i2d_SM2PKCS7_SIGNER_INFO,
                              SignerInfo(pSigned),
                              "i2d_SM2PKCS7_SIGNER_INFO", "NULL == pSignerInfo", &signerInfo);
    }
    if (VOMU_OK != nResult) return nResult;
    mdAlg.HandOver(ppbyDigestAlg, pnDigestAlgSize);
    contents.HandOver(ppbyContents, pnContentsSize);
    cert.HandOver(ppbyCert, pnCertSize);
    signerInfo.HandOver(ppbySignerInfo, pnSignerInfoSize);
    return VOMU_OK;
}

namespace {

int SignatureNumbers(const char* pszFunc, const SM2PKCS7_SIGNER_INFO* pstSignerInfo,
                     OwnedArray<unsigned char>* ppEncDigestR, OwnedArray<unsigned char>* ppEncDigestS)
{
    OwnedArray<unsigned char> pEncDigestR = morv::NewArray<unsigned char>(32);
    VOMU_FAIL_IF_IN(pszFunc, !pEncDigestR, "New memory", VOMU_E_FAIL);
    OwnedArray<unsigned char> pEncDigestS = morv::NewArray<unsigned char>(32);
    VOMU_FAIL_IF_IN(pszFunc, !pEncDigestS, "New memory", VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pszFunc, !IntegerTo32(pstSignerInfo->enc_digest_r, pEncDigestR.get()) ||
                    !IntegerTo32(pstSignerInfo->enc_digest_s, pEncDigestS.get()),
                    "Check signature numbers", VOMU_E_FAIL);
    *ppEncDigestR = std::move(pEncDigestR);
    *ppEncDigestS = std::move(pEncDigestS);
    return VOMU_OK;
}

}  // namespace

int ParseSM2P7SignerInfo(unsigned char* pbySignerInfo, int nSignerInfoSize,
                         unsigned char** ppbyIssuerAndSerial, int* pnIssuerAndSerialSize,
                         unsigned char** ppbyDigestAlg, int* pnDigestAlgSize,
                         unsigned char** ppbyDigestEncAlg, int* pnDigestEncAlgSize,
                         unsigned char** ppbyR, int* pnRSize,
                         unsigned char** ppbyS, int* pnSSize)
{
    VOMU_FAIL_IF(NULL == pbySignerInfo || 0 >= nSignerInfoSize, "Check parameter", VOMU_E_FAIL);
    const unsigned char* pbyIn = pbySignerInfo;
    OsslPtr<SM2PKCS7_SIGNER_INFO> pstSignerInfo(
        d2i_SM2PKCS7_SIGNER_INFO(NULL, &pbyIn, nSignerInfoSize));
    VOMU_FAIL_IF_OSSL(NULL == pstSignerInfo, "d2i_SM2PKCS7_SIGNER_INFO", VOMU_E_FAIL);
    const SM2PKCS7_SIGNER_INFO* pInfo = pstSignerInfo.get();
    EncodedPart issuerAndSerial, digestAlg, digestEncAlg;
    OwnedArray<unsigned char> pEncDigestR, pEncDigestS;
    int nResult = EncodeAsked(__func__, ppbyIssuerAndSerial, i2d_PKCS7_ISSUER_AND_SERIAL,
                              (const PKCS7_ISSUER_AND_SERIAL*)pInfo->issuer_and_serial,
                              "i2d_PKCS7_ISSUER_AND_SERIA", "NULL == pIssuerAndSerial",
                              &issuerAndSerial);
    if (VOMU_OK == nResult) {
        nResult = EncodeAsked(__func__, ppbyDigestAlg, i2d_X509_ALGOR,
                              (const X509_ALGOR*)pInfo->digest_alg,
                              "i2d_X509_ALGOR", "NULL == pDigestAlg", &digestAlg);
    }
    if (VOMU_OK == nResult) {
        nResult = EncodeAsked(__func__, ppbyDigestEncAlg, i2d_X509_ALGOR,
                              (const X509_ALGOR*)pInfo->digest_enc_alg, "i2d_X509_ALGOR",
                              "NULL == pDigestEncAlg", &digestEncAlg);
    }
    if (VOMU_OK == nResult) nResult = SignatureNumbers(__func__, pInfo, &pEncDigestR, &pEncDigestS);
    if (VOMU_OK != nResult) return nResult;
    issuerAndSerial.HandOver(ppbyIssuerAndSerial, pnIssuerAndSerialSize);
    digestAlg.HandOver(ppbyDigestAlg, pnDigestAlgSize);
    digestEncAlg.HandOver(ppbyDigestEncAlg, pnDigestEncAlgSize);
    morv::HandOver(pEncDigestR, ppbyR, pnRSize, 32);
    return morv::HandOver(pEncDigestS, ppbyS, pnSSize, 32);
}

namespace {

int SM2PKCS7Content(const char* pszFunc, const SM2PKCS7_SIGNED* pSigned,
                    OwnedArray<unsigned char>* ppContent,
                    size_t* pnSize)
{
    const ASN1_OCTET_STRING* pContent = pSigned->contents ? pSigned->contents->content : NULL;
    if (NULL == pContent) return VOMU_OK;
    return morv::CopyAsn1String(pszFunc, pContent, "!pbySourceData", ppContent, pnSize);
}

int SM2PKCS7RawSignature(const char* pszFunc, const SM2PKCS7_SIGNER_INFO* pstSignerInfo,
                         OwnedArray<unsigned char>* ppSignature)
{
    OwnedArray<unsigned char> pbyRawSignagureRS = morv::NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF_IN(pszFunc, !pbyRawSignagureRS, "New memory", VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pszFunc, !IntegerTo32(pstSignerInfo->enc_digest_r, pbyRawSignagureRS.get()) ||
                    !IntegerTo32(pstSignerInfo->enc_digest_s, pbyRawSignagureRS.get() + 32),
                    "Check signature numbers", VOMU_E_FAIL);
    *ppSignature = std::move(pbyRawSignagureRS);
    return VOMU_OK;
}

// What ParseSM2PKCS7Signature takes from the signer's SignerInfo.
struct SM2SignerParts {
    bool bSignature = false, bDigestAlg = false, bDigestEncAlg = false;
    OwnedArray<unsigned char> pRS;
    OwnedArray<char> pDigestAlg, pDigestEncAlg;
    size_t nDigestAlg = 0, nDigestEncAlg = 0;
};

int ReadSigner(const char* pszFunc, const SM2PKCS7_SIGNED* pSigned, SM2SignerParts* pParts)
{
    if (!pParts->bSignature && !pParts->bDigestAlg && !pParts->bDigestEncAlg) return VOMU_OK;
    const SM2PKCS7_SIGNER_INFO* pstSignerInfo = SignerInfo(pSigned);
    VOMU_FAIL_IF_IN(pszFunc, NULL == pstSignerInfo, "sk_SM2PKCS7_SIGNER_INFO_pop", VOMU_E_FAIL);
    int nResult = VOMU_OK;
    if (pParts->bSignature) nResult = SM2PKCS7RawSignature(pszFunc, pstSignerInfo, &pParts->pRS);
    if (VOMU_OK == nResult && pParts->bDigestAlg) {
        nResult = morv::ObjectText(pszFunc, pstSignerInfo->digest_alg->algorithm, kDigestAlgSteps,
                                   &pParts->pDigestAlg, &pParts->nDigestAlg);
    }
    if (VOMU_OK == nResult && pParts->bDigestEncAlg) {
        nResult = morv::ObjectText(pszFunc, pstSignerInfo->digest_enc_alg->algorithm,
                                   kDigestEncAlgSteps, &pParts->pDigestEncAlg,
                                   &pParts->nDigestEncAlg);
    }
    return nResult;
}

}  // namespace

int ParseSM2PKCS7Signature(unsigned char* pbySM2P7, int nSM2P7Size,
                           unsigned char** ppbyCert, int* pnCertSize,
                           unsigned char** ppbySignature, int* pnSignatureSize,
                           unsigned char** ppbySourceData, int* pnSourceDataSize,
                           char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                           char** ppszDigestEncryptionAlgOid, int* pnDigestEncryptionAlgOidSize)
{
    VOMU_FAIL_IF(NULL == pbySM2P7 || 0 >= nSM2P7Size, "Check parameter", VOMU_E_FAIL);
    const unsigned char* pbyIn = pbySM2P7;
    OsslPtr<SM2PKCS7> pstSM2PKCS7(d2i_SM2PKCS7(NULL, &pbyIn, nSM2P7Size));
    VOMU_FAIL_IF_OSSL(NULL == pstSM2PKCS7, "d2i_SM2PKCS7", VOMU_E_FAIL);
    const SM2PKCS7_SIGNED* pSigned = pstSM2PKCS7->SM2PKCS7SignedData;
    VOMU_FAIL_IF(NULL == pSigned, "Check SM2PKCS7SignedData", VOMU_E_FAIL);

    // A message without certificate fails here.
    EncodedPart cert;
    int nResult = EncodeAsked(__func__, ppbyCert, i2d_X509, (const X509*)pSigned->cert, "i2d_X509",
                              "NULL == pbyCertData", &cert);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbySourceData;
    size_t nSourceDataSize = 0;
    if (ppbySourceData) nResult = SM2PKCS7Content(__func__, pSigned, &pbySourceData,
                                                  &nSourceDataSize);
    if (VOMU_OK != nResult) return nResult;
    SM2SignerParts signer;
    signer.bSignature = NULL != ppbySignature;
    signer.bDigestAlg = NULL != ppszDigestAlgOid;
    signer.bDigestEncAlg = NULL != ppszDigestEncryptionAlgOid;
    nResult = ReadSigner(__func__, pSigned, &signer);
    if (VOMU_OK != nResult) return nResult;

    cert.HandOver(ppbyCert, pnCertSize);
    morv::HandOver(signer.pRS, ppbySignature, pnSignatureSize, signer.pRS ? SM2_RAW_RS_SIZE : 0);
    // Without content: null and 0.
    morv::HandOver(pbySourceData, ppbySourceData, pnSourceDataSize, nSourceDataSize);
    morv::HandOver(signer.pDigestAlg, ppszDigestAlgOid, pnDigestAlgOidSize, signer.nDigestAlg);
    return morv::HandOver(signer.pDigestEncAlg, ppszDigestEncryptionAlgOid,
                          pnDigestEncryptionAlgOidSize,
                   signer.nDigestEncAlg);
}
