// Verification of a SignerInfo whose signature covers signed attributes (RFC 2315 9.3): the
// messageDigest attribute must be the content's digest, and the signature is over the
// attributes' DER with the SET OF tag.
#include <openssl/objects.h>

#include <cstring>

#include "DataSigning.h"
#include "HandOver.h"
#include "PKCS7SignedDataOperations.h"
#include "RSADataSigning.h"
#include "VomuStep.h"

using morv::OwnedArray;

namespace {

const char kMessageDigestOID[] = "1.2.840.113549.1.9.4";
// Every SM2 signature algorithm lies under this arc.
const char kChinaArc[] = "1.2.156.10197";

// The attribute's value is an OCTET STRING with a one-octet length; its two header octets
// are passed over.
int CompareMessageDigest(const char* pszFunc, const unsigned char* pbySignedAttrs,
                         int nSignedAttrsSize, const unsigned char* pbyHash, int nHashSize)
{
    unsigned char* pbyValue = NULL;
    int nValueSize = 0;
    int nResult = ParseSignedUnsignedAttributes(const_cast<unsigned char*>(pbySignedAttrs),
                                                nSignedAttrsSize, kMessageDigestOID, &pbyValue,
                                                &nValueSize);
    OwnedArray<unsigned char> pbyOwned(pbyValue);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ParseSignedUnsignedAttributes", nResult);
    const bool bSame = nValueSize - 2 == nHashSize && 0 == memcmp(pbyValue + 2, pbyHash, (size_t)nHashSize);
    if (!bSame) {
        VOMU_STEP_FAILED_IN(pszFunc, "Compare signed attributes message digest",
                            VOMU_E_BAD_MESSAGE_DIGEST, "true");
        return VOMU_E_BAD_MESSAGE_DIGEST;
    }
    return VOMU_OK;
}

// The attributes as signed: the [0] field re-tagged as the SET OF it stands for.
int SignedAttributesAsSet(const char* pszFunc, const unsigned char* pbySignedAttrs,
                          int nSignedAttrsSize, OwnedArray<unsigned char>& pbySignedAttrsDup)
{
    pbySignedAttrsDup = morv::CopyToArray(pbySignedAttrs, (size_t)nSignedAttrsSize);
    VOMU_FAIL_IF_IN(pszFunc, !pbySignedAttrsDup, "New memory", VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pszFunc, 0xA0 != pbySignedAttrsDup[0], "Check signed attributes tag",
                    VOMU_E_PKCS7_FORMAT);
    pbySignedAttrsDup[0] = 0x31;
    return VOMU_OK;
}

int VerifyOverAttributes(const char* pszFunc, const unsigned char* pbyCert, int nCertSize,
                         const unsigned char* pbySignature, int nSignatureSize, int nHashNID,
                         const char* pszDigestEncAlgOID, const unsigned char* pbyAttrs,
                         int nAttrsSize)
{
    int nResult = VOMU_OK;
    if (0 == strncmp(pszDigestEncAlgOID, kChinaArc, sizeof(kChinaArc) - 1)) {
        nResult = VerifySignature_DERPKCS1_ByCert(pbyAttrs, nAttrsSize, pbyCert, nCertSize,
                                                  pbySignature, nSignatureSize, true);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "VerifySignature_DERPKCS1_ByCert", nResult);
        return VOMU_OK;
    }
    nResult = RSA_VerifyDataSignature_DERPKCS1_ByDERCert(pbyAttrs, nAttrsSize, pbyCert, nCertSize,
                                                         nHashNID, pbySignature, nSignatureSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "RSA_VerifyDataSignature_DERPKCS1_ByDERCert",
                    nResult);
    return VOMU_OK;
}

}  // namespace

int VerifySignature_PKCS7WithSignedAttributes(
    const unsigned char* pbyCert, int nCertSize, const unsigned char* pbySignature,
    int nSignatureSize, const unsigned char* pbySourceData, int nSourceDataSize,
    const char* pszDigestAlgOID, int /*nDigestAlgOIDSize*/, const char* pszDigestEncAlgOID,
    int /*nDigestEncAlgOIDSize*/, const unsigned char* pbySignedAttrs, int nSignedAttrsSize)
{
    VOMU_FAIL_IF(NULL == pszDigestAlgOID || NULL == pszDigestEncAlgOID || NULL == pbySignedAttrs ||
                     nSignedAttrsSize <= 0,
                 "check parameters.", VOMU_E_INVALID_ARG);
    const int nHashNID = OBJ_txt2nid(pszDigestAlgOID);
    VOMU_FAIL_IF(NID_undef == nHashNID, "OBJ_txt2nid", VOMU_E_BAD_HASH_ALG);
    unsigned char* pbyHash = NULL;
    int nHashSize = 0;
    int nResult = CalculateDataHash(pbySourceData, nSourceDataSize, nHashNID, &pbyHash, &nHashSize);
    OwnedArray<unsigned char> pbyOwnedHash(pbyHash);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CalculateDataHash", nResult);
    nResult = CompareMessageDigest(__func__, pbySignedAttrs, nSignedAttrsSize, pbyHash, nHashSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbySignedAttrsDup;
    nResult = SignedAttributesAsSet(__func__, pbySignedAttrs, nSignedAttrsSize, pbySignedAttrsDup);
    if (VOMU_OK != nResult) return nResult;
    return VerifyOverAttributes(__func__, pbyCert, nCertSize, pbySignature, nSignatureSize, nHashNID,
                               pszDigestEncAlgOID, pbySignedAttrsDup.get(), nSignedAttrsSize);
}
