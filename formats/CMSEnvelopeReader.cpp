// The EnvelopedData readers over memory and over a file, after one check of the shape.
#include "CMSEnvelopeOperations.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "FormatNodes.h"
#include "HandOver.h"
#include "Misc.h"
#include "OsslPtr.h"
#include "VomuStep.h"
#include "vomu_result.h"

using morv::OwnedArray;

namespace {

using NodePtr = std::unique_ptr<NodeEx>;

// The elements of a parsed envelope that the readers take values from.
struct CMSEnvelopeNodes {
    const NodeEx* pRid;
    const NodeEx* pKeyEncryptionAlgOid;
    const NodeEx* pEncryptedKey;
    const NodeEx* pContentEncryptionAlgOid;
    const NodeEx* pParameter;
    NodeEx* pEncryptedContent;
    const char* pszFunc;  // the reader called: its name is on every step line
};

// A leaf whose value can be copied into an int-counted array (with room for two more octets).
bool IsValueLeaf(const NodeEx* pNode)
{
    return pNode->vetNodes.empty() && pNode->ValueLength <= (uint64_t)INT_MAX - 2 &&
           morv::HasDefiniteLength(pNode);
}

bool HasShape(const NodeEx* pNode, uint8_t byTag, size_t nChildren)
{
    return byTag == pNode->Tag && nChildren == pNode->vetNodes.size();
}

// AlgorithmIdentifier with parameters: SEQUENCE { OBJECT IDENTIFIER, one leaf }.
bool LocateAlgorithm(const NodeEx* pNode, const NodeEx** ppOid, const NodeEx** ppParameter)
{
    if (!HasShape(pNode, 0x30, 2)) return false;
    *ppOid = pNode->vetNodes[0];
    *ppParameter = pNode->vetNodes[1];
    return 0x06 == (*ppOid)->Tag && IsValueLeaf(*ppOid) && IsValueLeaf(*ppParameter);
}

// rid: only [0] IMPLICIT SubjectKeyIdentifier, a leaf. A recipient named by issuer and serial
// number (an IssuerAndSerialNumber SEQUENCE) is not one this system ever addresses.
bool IsRecipientKeyId(const NodeEx* pRid)
{
    return 0x80 == pRid->Tag && IsValueLeaf(pRid);
}

bool LocateRecipient(const NodeEx* pEnvelopedData, CMSEnvelopeNodes* pNodes)
{
    const NodeEx* pRecipientInfos = pEnvelopedData->vetNodes[1];
    if (!HasShape(pRecipientInfos, 0x31, 1)) return false;
    const NodeEx* pKeyTransRecipientInfo = pRecipientInfos->vetNodes[0];
    if (!HasShape(pKeyTransRecipientInfo, 0x30, 4)) return false;
    pNodes->pRid = pKeyTransRecipientInfo->vetNodes[1];
    pNodes->pEncryptedKey = pKeyTransRecipientInfo->vetNodes[3];
    const NodeEx* pIgnoredParameter = NULL;
    return IsRecipientKeyId(pNodes->pRid) &&
           LocateAlgorithm(pKeyTransRecipientInfo->vetNodes[2], &pNodes->pKeyEncryptionAlgOid,
                           &pIgnoredParameter) &&
           0x04 == pNodes->pEncryptedKey->Tag && IsValueLeaf(pNodes->pEncryptedKey);
}

// encryptedContent: [0] IMPLICIT OCTET STRING, primitive or constructed of primitive segments.
bool IsEncryptedContent(const NodeEx* pNode)
{
    if (0x80 == pNode->Tag) return pNode->vetNodes.empty() && morv::HasDefiniteLength(pNode);
    if (0xA0 != pNode->Tag) return false;
    for (const NodeEx* pSegment : pNode->vetNodes)
        if (0x04 != pSegment->Tag || !pSegment->vetNodes.empty() || !morv::HasDefiniteLength(pSegment))
            return false;
    return true;
}

bool LocateEncryptedContentInfo(const NodeEx* pEnvelopedData, CMSEnvelopeNodes* pNodes)
{
    const NodeEx* pEncryptedContentInfo = pEnvelopedData->vetNodes[2];
    if (!HasShape(pEncryptedContentInfo, 0x30, 3)) return false;
    pNodes->pEncryptedContent = pEncryptedContentInfo->vetNodes[2];
    return LocateAlgorithm(pEncryptedContentInfo->vetNodes[1], &pNodes->pContentEncryptionAlgOid,
                           &pNodes->pParameter) &&
           IsEncryptedContent(pNodes->pEncryptedContent);
}

// Every child count and identifier octet on the way to each element read.
bool LocateEnvelopeNodes(const NodeEx* pRoot, CMSEnvelopeNodes* pNodes)
{
    if (!HasShape(pRoot, 0x30, 2) || !HasShape(pRoot->vetNodes[1], 0xA0, 1)) return false;
    const NodeEx* pEnvelopedData = pRoot->vetNodes[1]->vetNodes[0];
    return HasShape(pEnvelopedData, 0x30, 3) && LocateRecipient(pEnvelopedData, pNodes) &&
           LocateEncryptedContentInfo(pEnvelopedData, pNodes);
}

int CheckEnvelopeNodes(const NodeEx* pRoot, CMSEnvelopeNodes* pNodes)
{
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !LocateEnvelopeNodes(pRoot, pNodes), "true",
                           "Check CMS envelope nodes", VOMU_E_ENVELOPE_FORMAT);
    return VOMU_OK;
}

// The step and reason texts of one algorithm identifier's decoding: the reason of its
// element's memory, then those of the identifier and its text.
struct AlgOidTexts {
    const char* pszASN1Reason;
    morv::ObjectTextSteps steps;
};

const AlgOidTexts kKeyEncryptionAlgTexts = {
    "!pbyKeyEncryptionAlgOidASN1",
    {"d2i_ASN1_OBJECT(KeyEncryptionAlg)", "NULL == pstKeyEncryptionAlgOid", "OBJ_obj2txt(1)",
     "OBJ_obj2txt(2)", "0 == nKeyEncryptionAlgOidLength", "!pszKeyEncryptionAlgOid"}};
const AlgOidTexts kContentEncryptionAlgTexts = {
    "!pbyContentEncryptionAlgOidASN1",
    {"d2i_ASN1_OBJECT(ContentEncryptionAlg)", "NULL == pstContentEncryptionAlgOid",
     "OBJ_obj2txt(1)", "OBJ_obj2txt(2)", "0 == nContentEncryptionAlgOidLength",
     "!pszContentEncryptionAlgOid"}};

// The OID as dotted text. The element is taken as the two octets before the value and the
// value, so an OID whose length needs the long form does not decode (no identifier in use
// comes near 128 content octets).
int ReadAlgorithmOid(const char* pszFunc, const NodeEx* pOid, const AlgOidTexts& texts,
                     OwnedArray<char>* ppszOid,
                     int* pnOidSize)
{
    const size_t nElementSize = (size_t)pOid->ValueLength + 2;
    OwnedArray<unsigned char> pbyElement = morv::NewArray<unsigned char>(nElementSize);
    VOMU_FAIL_IF_REASON_IN(pszFunc, !pbyElement, texts.pszASN1Reason, "New memory", VOMU_E_FAIL);
    memset(pbyElement.get(), 0, nElementSize);
    const bool bRead = morv::ReadParsedOctets(pOid, pOid->ValueOffset - 2, pbyElement.get(),
                                              nElementSize);
    VOMU_FAIL_IF_IN(pszFunc, !bRead, "Read algorithm identifier", VOMU_E_FAIL);

    size_t nOidSize = 0;
    const int nResult =
        morv::DecodeObjectText(pszFunc, pbyElement.get(), nElementSize, texts.steps, ppszOid,
                               &nOidSize);
    if (VOMU_OK != nResult) return nResult;
    *pnOidSize = (int)nOidSize;
    return VOMU_OK;
}

// A value copied into a new array of its length.
int CopyValue(const char* pszFunc, const NodeEx* pNode, const char* pszMemoryReason,
              OwnedArray<unsigned char>* ppbyOut)
{
    const size_t nSize = (size_t)pNode->ValueLength;
    OwnedArray<unsigned char> pbyCopy = morv::NewArray<unsigned char>(nSize);
    VOMU_FAIL_IF_REASON_IN(pszFunc, !pbyCopy, pszMemoryReason, "New memory", VOMU_E_FAIL);
    const bool bRead = morv::ReadParsedOctets(pNode, pNode->ValueOffset, pbyCopy.get(), nSize);
    VOMU_FAIL_IF_IN(pszFunc, !bRead, "fread", VOMU_E_FAIL);
    *ppbyOut = std::move(pbyCopy);
    return VOMU_OK;
}

// The fields both readers return in the same form.
struct CMSEnvelopeFields {
    OwnedArray<unsigned char> pbyRecipientSubjectKeyID;
    int nRecipientKeyIDSize = 0;
    OwnedArray<unsigned char> pbyEncryptedKey;
    int nEncryptedKeySize = 0;
    OwnedArray<char> pszKeyEncryptionAlgOid;
    int nKeyEncryptionAlgOidSize = 0;
    OwnedArray<char> pszContentEncryptionAlgOid;
    int nContentEncryptionAlgOidSize = 0;
};

int ReadCommonFields(const CMSEnvelopeNodes& nodes, CMSEnvelopeFields* pFields)
{
    int nResult = CopyValue(nodes.pszFunc, nodes.pRid, "!pbyRecipientSubjectKeyID",
                            &pFields->pbyRecipientSubjectKeyID);
    if (VOMU_OK != nResult) return nResult;
    pFields->nRecipientKeyIDSize = (int)nodes.pRid->ValueLength;

    nResult = ReadAlgorithmOid(nodes.pszFunc, nodes.pKeyEncryptionAlgOid, kKeyEncryptionAlgTexts,
                                   &pFields->pszKeyEncryptionAlgOid,
                                   &pFields->nKeyEncryptionAlgOidSize);
    if (VOMU_OK != nResult) return nResult;

    nResult = CopyValue(nodes.pszFunc, nodes.pEncryptedKey, "!pbyEncryptedKey",
                        &pFields->pbyEncryptedKey);
    if (VOMU_OK != nResult) return nResult;
    pFields->nEncryptedKeySize = (int)nodes.pEncryptedKey->ValueLength;

    return ReadAlgorithmOid(nodes.pszFunc, nodes.pContentEncryptionAlgOid,
                            kContentEncryptionAlgTexts,
                            &pFields->pszContentEncryptionAlgOid,
                            &pFields->nContentEncryptionAlgOidSize);
}

void HandOverCommonFields(CMSEnvelopeFields& fields, unsigned char** ppbyRecipientKeyID,
                          int* pnRecipientKeyIDSize,
                          unsigned char** ppbyEncryptedKey, int* pnEncryptedKeySize,
                          char** ppszKeyEncryptionAlgOID, int* pnKeyEncryptionAlgOIDSize,
                          char** ppszContentEncryptionAlgOID, int* pnContentEncryptionAlgOIDSize)
{
    if (ppbyRecipientKeyID)
        morv::HandOver(fields.pbyRecipientSubjectKeyID, ppbyRecipientKeyID, pnRecipientKeyIDSize,
                       (size_t)fields.nRecipientKeyIDSize);
    if (ppbyEncryptedKey)
        morv::HandOver(fields.pbyEncryptedKey, ppbyEncryptedKey, pnEncryptedKeySize,
                       (size_t)fields.nEncryptedKeySize);
    if (ppszKeyEncryptionAlgOID)
        morv::HandOver(fields.pszKeyEncryptionAlgOid, ppszKeyEncryptionAlgOID,
                       pnKeyEncryptionAlgOIDSize, (size_t)fields.nKeyEncryptionAlgOidSize);
    if (ppszContentEncryptionAlgOID)
        morv::HandOver(fields.pszContentEncryptionAlgOid, ppszContentEncryptionAlgOID,
                       pnContentEncryptionAlgOIDSize, (size_t)fields.nContentEncryptionAlgOidSize);
}

// The ciphertext in one new array followed by a zero octet: the primitive value, or the
// segments of the constructed form joined in order.
int JoinEncryptedContent(const char* pszFunc, const NodeEx* pNode,
                         OwnedArray<unsigned char>* ppbyOut, int* pnSize)
{
    const uint64_t nTotal = morv::SegmentsSize(pNode);
    VOMU_FAIL_IF_IN(pszFunc, nTotal > (uint64_t)INT_MAX - 1, "Check encrypted content size",
                    VOMU_E_ENVELOPE_FORMAT);

    const int nResult = morv::JoinSegments(pszFunc, pNode, "!pbyEncryptedContent", ppbyOut);
    if (VOMU_OK != nResult) return nResult;
    *pnSize = (int)nTotal;
    return VOMU_OK;
}

// What the memory and the file reader share: decoding (from memory, or the whole file when
// fpFile is given), the structure checked, then the fields both hand over alike. The steps
// are logged under pszFunc, the reader called.
int ReadEnvelope(const char* pszFunc, const unsigned char* pbyDER, int nDERSize, FILE* fpFile,
                 NodePtr* ppTree, CMSEnvelopeNodes* pNodes, CMSEnvelopeFields* pFields)
{
    NodeEx* pCMSEnvelope = NULL;
    int nResult = fpFile ? DecodeASN1FileEx(fpFile, &pCMSEnvelope)
                         : DecodeASN1MemoryEx(pbyDER, (unsigned long)nDERSize, &pCMSEnvelope);
    ppTree->reset(pCMSEnvelope);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult || NULL == pCMSEnvelope,
                    fpFile ? "DecodeASN1FileEx" : "DecodeASN1MemoryEx", VOMU_E_FAIL);
    pNodes->pszFunc = pszFunc;
    nResult = CheckEnvelopeNodes(pCMSEnvelope, pNodes);
    if (VOMU_OK != nResult) return nResult;
    return ReadCommonFields(*pNodes, pFields);
}

}  // namespace

int Decode_CMSEnvelopeData(unsigned char* pbyDER, int nDERSize,
                           unsigned char** ppbyRecipientKeyID, int* pnRecipientKeyIDSize,
                           unsigned char** ppbyEncryptedKey, int* pnEncryptedKeySize,
                           unsigned char** ppbyEncryptedContent, int* pnEncryptedContentSize,
                           char** ppszKeyEncryptionAlgOID, int* pnKeyEncryptionAlgOIDSize,
                           char** ppszContentEncryptionAlgOID, int* pnContentEncryptionAlgOIDSize,
                           unsigned char** ppbyParam, int* pnParamSize)
{
    VOMU_FAIL_IF(NULL == pbyDER || 0 >= nDERSize, "Check parameter", VOMU_E_INVALID_ARG);
    NodePtr pTree;
    CMSEnvelopeNodes nodes = {};
    CMSEnvelopeFields fields;
    int nResult = ReadEnvelope(__func__, pbyDER, nDERSize, NULL, &pTree, &nodes, &fields);
    if (VOMU_OK != nResult) return nResult;
    // An empty parameter value (05 00) is handed over as no array at all.
    OwnedArray<unsigned char> pbyContentEncryptionAlgParameter;
    if (nodes.pParameter->ValueLength > 0) {
        nResult = CopyValue(__func__, nodes.pParameter, "!pbyContentEncryptionAlgParameter",
                            &pbyContentEncryptionAlgParameter);
        if (VOMU_OK != nResult) return nResult;
    }
    OwnedArray<unsigned char> pbyEncryptedContent;
    int nEncryptedContentSize = 0;
    nResult = JoinEncryptedContent(__func__, nodes.pEncryptedContent, &pbyEncryptedContent,
                                   &nEncryptedContentSize);
    if (VOMU_OK != nResult) return nResult;

    HandOverCommonFields(fields, ppbyRecipientKeyID, pnRecipientKeyIDSize, ppbyEncryptedKey,
                         pnEncryptedKeySize, ppszKeyEncryptionAlgOID, pnKeyEncryptionAlgOIDSize,
                         ppszContentEncryptionAlgOID, pnContentEncryptionAlgOIDSize);
    if (ppbyEncryptedContent)
        morv::HandOver(pbyEncryptedContent, ppbyEncryptedContent, pnEncryptedContentSize,
                       (size_t)nEncryptedContentSize);
    if (ppbyParam) {
        *ppbyParam = pbyContentEncryptionAlgParameter.release();
        if (pnParamSize) *pnParamSize = (int)nodes.pParameter->ValueLength;
    }
    return VOMU_OK;
}

int Decode_CMSEnvelopeFile(FILE* fpFile, unsigned char** ppbyRecipientKeyID,
                           int* pnRecipientKeyIDSize, unsigned char** ppbyEncryptedKey,
                           int* pnEncryptedKeySize, NodeEx** ppNode_EncryptedContent,
                           char** ppszKeyEncryptionAlgOID, int* pnKeyEncryptionAlgOIDSize,
                           char** ppszContentEncryptionAlgOID, int* pnContentEncryptionAlgOIDSize,
                           unsigned char** ppbyParam, int* pnParamSize)
{
    VOMU_FAIL_IF(NULL == fpFile, "Check parameter", VOMU_E_INVALID_ARG);
    morv::FilePositionGuard position(fpFile);
    VOMU_FAIL_IF(!position.Ok(), "ftell", VOMU_E_FAIL);
    NodePtr pTree;
    CMSEnvelopeNodes nodes = {};
    CMSEnvelopeFields fields;
    int nResult = ReadEnvelope(__func__, NULL, 0, fpFile, &pTree, &nodes, &fields);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyContentEncryptionAlgParameter;
    nResult = CopyValue(__func__, nodes.pParameter, "!pbyContentEncryptionAlgParameter",
                        &pbyContentEncryptionAlgParameter);
    if (VOMU_OK != nResult) return nResult;
    NodeEx* pNode_EncryptedContent = NULL;
    nResult = DuplicateNodeEx(nodes.pEncryptedContent, &pNode_EncryptedContent, true);
    VOMU_FAIL_IF(VOMU_OK != nResult, "DuplicateNodeEx", nResult);
    NodePtr pEncryptedContent(pNode_EncryptedContent);

    HandOverCommonFields(fields, ppbyRecipientKeyID, pnRecipientKeyIDSize, ppbyEncryptedKey,
                         pnEncryptedKeySize, ppszKeyEncryptionAlgOID, pnKeyEncryptionAlgOIDSize,
                         ppszContentEncryptionAlgOID, pnContentEncryptionAlgOIDSize);
    if (ppNode_EncryptedContent) *ppNode_EncryptedContent = pEncryptedContent.release();
    if (ppbyParam)
        morv::HandOver(pbyContentEncryptionAlgParameter, ppbyParam, pnParamSize,
                       (size_t)nodes.pParameter->ValueLength);
    return VOMU_OK;
}
