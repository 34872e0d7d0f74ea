// The SignedData reader over OpenSSL's own PKCS#7 decoder, in kctx.
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <cstring>

#include "FormatNodes.h"
#include "HandOver.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "SMKernel.h"
#include "VomuStep.h"
#include "vomu_result.h"

using morv::OsslPtr;
using morv::OwnedArray;

namespace {

// The helpers below are steps of this one reader, and their lines carry its name.
const char kReader[] = "DecodeRSAPKCS7Signature";

// The inner content of a SignedData OpenSSL decoded: only content of type data is octets;
// anything else (a nested signedData, say) is refused rather than read as an OCTET STRING.
int CopyPKCS7Content(PKCS7* pPKCS7, OwnedArray<unsigned char>* ppContent, size_t* pnSize)
{
    PKCS7* pContents = pPKCS7->d.sign->contents;
    if (NULL == pContents || NULL == pContents->d.ptr) return VOMU_OK;
    VOMU_FAIL_IF_IN(kReader, !PKCS7_type_is_data(pContents), "PKCS7_type_is_data",
                    VOMU_E_PKCS7_FORMAT);
    return morv::CopyAsn1String(kReader, pContents->d.data, "!pbySourceData", ppContent, pnSize);
}

// Decoded into an object made in kctx, so the certificates inside reach our SM code.
int DecodePKCS7InKernel(unsigned char* pbyPKCS7, int nPKCS7Size, OsslPtr<PKCS7>* ppOwned)
{
    PKCS7* pDecoded = smk::NewPKCS7();
    VOMU_FAIL_IF_IN(kReader, NULL == pDecoded, "PKCS7_new_ex", VOMU_E_FAIL);
    const unsigned char* pbyIn = pbyPKCS7;
    // d2i frees the object it was given when decoding fails.
    PKCS7* pPKCS7 = d2i_PKCS7(&pDecoded, &pbyIn, nPKCS7Size);
    ppOwned->reset(pPKCS7);
    VOMU_FAIL_IF_OSSL_IN(kReader, NULL == pPKCS7, "d2i_PKCS7", VOMU_E_PKCS7_FORMAT);
    VOMU_FAIL_IF_IN(kReader, !PKCS7_type_is_signed(pPKCS7), "PKCS7_type_is_signed",
                    VOMU_E_PKCS7_FORMAT);
    return VOMU_OK;
}

// The first SignerInfo, its certificate and its digest algorithm's number.
int FirstSigner(PKCS7* pPKCS7, PKCS7_SIGNER_INFO** ppSignerInfo, X509** ppX509Cert,
                int* pnDigestAlgNID)
{
    // Null as well when the signedData content is absent.
    STACK_OF(PKCS7_SIGNER_INFO)* pskSignerInfo = PKCS7_get_signer_info(pPKCS7);
    VOMU_FAIL_IF_OSSL_IN(kReader, NULL == pskSignerInfo, "PKCS7_get_signer_info",
                         VOMU_E_PKCS7_FORMAT);
    PKCS7_SIGNER_INFO* pSignerInfo = sk_PKCS7_SIGNER_INFO_value(pskSignerInfo, 0);
    VOMU_FAIL_IF_OSSL_IN(kReader, NULL == pSignerInfo, "sk_PKCS7_SIGNER_INFO_value",
                         VOMU_E_PKCS7_FORMAT);
    X509* pX509Cert = PKCS7_cert_from_signer_info(pPKCS7, pSignerInfo);
    VOMU_FAIL_IF_OSSL_IN(kReader, NULL == pX509Cert, "PKCS7_cert_from_signer_info",
                         VOMU_E_PKCS7_FORMAT);
    const int nDigestAlgNID = OBJ_obj2nid(pSignerInfo->digest_alg->algorithm);
    VOMU_FAIL_IF_OSSL_IN(kReader, NID_undef == nDigestAlgNID, "OBJ_obj2nid", VOMU_E_PKCS7_FORMAT);
    *ppSignerInfo = pSignerInfo;
    *ppX509Cert = pX509Cert;
    *pnDigestAlgNID = nDigestAlgNID;
    return VOMU_OK;
}

}  // namespace

int DecodeRSAPKCS7Signature(unsigned char* pbyPKCS7, int nPKCS7Size, X509** ppX509Cert,
                            int* pnDigestAlgNID, unsigned char** ppbySignature,
                            int* pnSignatureSize, unsigned char** ppbySourceData,
                            int* pnSourceDataSize)
{
    VOMU_FAIL_IF(NULL == pbyPKCS7 || 0 >= nPKCS7Size, "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<PKCS7> pPKCS7;
    int nResult = DecodePKCS7InKernel(pbyPKCS7, nPKCS7Size, &pPKCS7);
    if (VOMU_OK != nResult) return nResult;
    PKCS7_SIGNER_INFO* pSignerInfo = NULL;
    X509* pX509Cert = NULL;
    int nDigestAlgNID = NID_undef;
    nResult = FirstSigner(pPKCS7.get(), &pSignerInfo, &pX509Cert, &nDigestAlgNID);
    if (VOMU_OK != nResult) return nResult;

    OwnedArray<unsigned char> pbyEncryptedDigest, pbySourceData;
    size_t nSignatureSize = 0, nSourceDataSize = 0;
    nResult = morv::CopyAsn1String(__func__, pSignerInfo->enc_digest, "!pbyEncryptedDigest",
                                   &pbyEncryptedDigest,
                             &nSignatureSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = CopyPKCS7Content(pPKCS7.get(), &pbySourceData, &nSourceDataSize);
    if (VOMU_OK != nResult) return nResult;
    if (ppX509Cert) {
        X509* pDup = X509_dup(pX509Cert);
        VOMU_FAIL_IF_OSSL_REASON(NULL == pDup, "NULL == *ppX509Cert", "X509_dup", VOMU_E_FAIL);
        *ppX509Cert = pDup;
    }
    if (pnDigestAlgNID) *pnDigestAlgNID = nDigestAlgNID;
    morv::HandOver(pbyEncryptedDigest, ppbySignature, pnSignatureSize, nSignatureSize);
    // Detached: null and 0.
    return morv::HandOver(pbySourceData, ppbySourceData, pnSourceDataSize, nSourceDataSize);
}
