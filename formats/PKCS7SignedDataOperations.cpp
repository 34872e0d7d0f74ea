#include "PKCS7SignedDataOperations.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "CMSEnvelopeOperations.h"
#include "FormatNodes.h"
#include "HandOver.h"
#include "Misc.h"
#include "OsslPtr.h"
#include "SMFileCertOperations.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

using morv::OsslPtr;
using morv::OwnedArray;

// ---- SM2 signature value SM2Q1 and the SignerInfo signature field ----

namespace {

const int kSM2HalfSize = SM2_RAW_RS_SIZE / 2;
// 30 46 (02 21 00 r) (02 21 00 s): the longest SM2Q1 of two numbers below 2^256.
const int kSM2Q1MaxSize = 72;

using NodePtr = std::unique_ptr<NodeEx>;

bool IsSM2SignatureType(unsigned long fSignatureEncodedType)
{
    return P7_SIGNATURE_SM2_RAW_RS == fSignatureEncodedType ||
           P7_SIGNATURE_SM2_ASN1_Q1 == fSignatureEncodedType ||
           P7_SIGNATURE_SM2_OCTET_STRING_Q1 == fSignatureEncodedType;
}

int AppendRawRS(unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode_R = NULL;
    int nResult = morv::ConstructNode_UnsignedInteger(pbyRS, kSM2HalfSize,
                                                      "new NodeEx(Raw signature R)", &pNode_R);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(R)", nResult);
    NodePtr pR(pNode_R);
    NodeEx* pNode_S = NULL;
    nResult = morv::ConstructNode_UnsignedInteger(pbyRS + kSM2HalfSize, kSM2HalfSize,
                                                  "new NodeEx(Raw signature S)", &pNode_S);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(S)", nResult);
    NodePtr pS(pNode_S);
    // Both INTEGERs or neither: room for two first, so the second cannot fail alone.
    VOMU_FAIL_IF(!morv::ReserveChildren(pNode_SignerInfo, pNode_SignerInfo->vetNodes.size() + 2),
                 "Reserve SignerInfo children", VOMU_E_FAIL);
    nResult = morv::AdoptChild(pNode_SignerInfo, pR.release(), "AddChild(Raw signature R)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(Raw signature R)", nResult);
    return morv::AdoptChild(pNode_SignerInfo, pS.release(), "AddChild(Raw signature S)");
}

int AppendSM2Q1(unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode_SM2Q1 = NULL;
    int nResult = ConstructNode_SM2Q1(pbyRS, kSM2HalfSize, pbyRS + kSM2HalfSize, kSM2HalfSize,
                                      &pNode_SM2Q1);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SM2Q1", nResult);
    return morv::AdoptChild(pNode_SignerInfo, pNode_SM2Q1, "AddChild(SM2Q1)");
}

int AppendOctetString(const char* pszStep, unsigned char* pbyValue, int nSize,
                      NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode = morv::NewLeafNodeEx(0x04, pbyValue, (size_t)nSize);
    VOMU_FAIL_IF(!pNode, pszStep, VOMU_E_FAIL);
    return morv::AdoptChild(pNode_SignerInfo, pNode, pszStep);
}

int AppendOctetStringSM2Q1(unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    int nResult = Encode_SM2Q1(pbyRS, kSM2HalfSize, pbyRS + kSM2HalfSize, kSM2HalfSize,
                               &pbyDER, &nDERSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_SM2Q1", nResult);
    OwnedArray<unsigned char> pDER(pbyDER);
    return AppendOctetString("new NodeEx(SM2 OCTET STRING Q1)", pDER.get(), nDERSize,
                             pNode_SignerInfo);
}

}  // namespace

int ConstructNode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                        NodeEx** ppNode_SM2Q1)
{
    VOMU_FAIL_IF(NULL == ppNode_SM2Q1, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_R = NULL;
    int nResult = morv::ConstructNode_UnsignedInteger(pbyR, nRSize,
                                                      "new NodeEx(Raw signature R)", &pNode_R);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(R)", nResult);
    NodePtr pR(pNode_R);
    NodeEx* pNode_S = NULL;
    nResult = morv::ConstructNode_UnsignedInteger(pbyS, nSSize, "new NodeEx(Raw signature S)",
                                                  &pNode_S);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(S)", nResult);
    NodePtr pS(pNode_S);

    NodeEx* pNode_SM2Q1 = new (std::nothrow) NodeEx();
    VOMU_FAIL_IF(!pNode_SM2Q1, "new NodeEx(SM2Q1)", VOMU_E_FAIL);
    NodePtr pSM2Q1(pNode_SM2Q1);
    pSM2Q1->Tag = 0x30;
    nResult = morv::AdoptChild(pSM2Q1.get(), pR.release(), "AddChild(Raw signature R)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(Raw signature R)", nResult);
    nResult = morv::AdoptChild(pSM2Q1.get(), pS.release(), "AddChild(Raw signature S)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(Raw signature S)", nResult);
    *ppNode_SM2Q1 = pSM2Q1.release();
    return VOMU_OK;
}

int Encode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                 unsigned char** ppbyDER, int* pnDERSize)
{
    VOMU_FAIL_IF(NULL == ppbyDER || NULL == pnDERSize, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_SM2Q1 = NULL;
    int nResult = ConstructNode_SM2Q1(pbyR, nRSize, pbyS, nSSize, &pNode_SM2Q1);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SM2Q1", nResult);
    return morv::EncodeTreeAndHandOver(pNode_SM2Q1, ppbyDER, pnDERSize);
}

int Decode_SM2Q1(unsigned char* pbyDER, int nDERSize, unsigned char** ppbyRS, int* pnRSSize)
{
    VOMU_FAIL_IF(NULL == pbyDER || NULL == ppbyRS || NULL == pnRSSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(0 >= nDERSize || nDERSize > kSM2Q1MaxSize, "Invalid SM2 Q1 signature size.",
                 VOMU_E_FAIL);

    NodeEx* pNodeSM2Q1 = NULL;
    int nResult = DecodeASN1MemoryEx(pbyDER, (unsigned long)nDERSize, &pNodeSM2Q1);
    NodePtr pTree(pNodeSM2Q1);
    VOMU_FAIL_IF(VOMU_OK != nResult || NULL == pNodeSM2Q1, "DecodeASN1MemoryEx", VOMU_E_FAIL);
    VOMU_FAIL_IF(0x30 != pTree->Tag || !morv::HasDefiniteLength(pTree.get()) ||
                     (unsigned long long)nDERSize != pTree->TotalLength,
                 "Check SM2 Q1 signature SEQUENCE.", VOMU_E_FAIL);
    VOMU_FAIL_IF(2 != pTree->vetNodes.size(), "Invalid SM2 Q1 signature nodes number.",
                 VOMU_E_FAIL);

    OwnedArray<unsigned char> pbySM2RawSignatureRS = morv::NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF(!pbySM2RawSignatureRS, "New memory", VOMU_E_FAIL);
    const bool bR = morv::ReadUnsignedInteger32(pTree->vetNodes[0], pbySM2RawSignatureRS.get());
    VOMU_FAIL_IF(!bR, "Check SM2 Q1 signature R.", VOMU_E_FAIL);
    const bool bS = morv::ReadUnsignedInteger32(pTree->vetNodes[1],
                                                pbySM2RawSignatureRS.get() + kSM2HalfSize);
    VOMU_FAIL_IF(!bS, "Check SM2 Q1 signature S.", VOMU_E_FAIL);
    morv::HandOver(pbySM2RawSignatureRS, ppbyRS, pnRSSize, SM2_RAW_RS_SIZE);
    return VOMU_OK;
}

int ConstructNode_SignerInfoSignature(unsigned long fSignatureEncodedType,
                                      unsigned char* pbySignature, int nSignatureSize,
                                      NodeEx* pNode_SignerInfo)
{
    VOMU_FAIL_IF(NULL == pNode_SignerInfo || 0 > nSignatureSize ||
                     (NULL == pbySignature && 0 != nSignatureSize),
                 "Check parameter", VOMU_E_INVALID_ARG);
    if (IsSM2SignatureType(fSignatureEncodedType)) {
        VOMU_FAIL_IF(SM2_RAW_RS_SIZE != nSignatureSize, "Check SM2 raw signature size",
                     VOMU_E_INVALID_ARG);
    }
    switch (fSignatureEncodedType) {
    case P7_SIGNATURE_SM2_RAW_RS:
        return AppendRawRS(pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_SM2_ASN1_Q1:
        return AppendSM2Q1(pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_SM2_OCTET_STRING_Q1:
        return AppendOctetStringSM2Q1(pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_RSA_PKCS1:
        return AppendOctetString("new NodeEx(RSA PKCS#1)", pbySignature, nSignatureSize,
                                 pNode_SignerInfo);
    default:
        TRACE(TRACE_LEVEL_INFO, "fSignatureEncodedType = 0x%04lx", fSignatureEncodedType);
        VOMU_STEP_FAILED("Invalid signature type.", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
}

// ---- SignedData writer ----

namespace {

// Every SignedData and SignerInfo this system writes is version 1 (RFC 2315 9.1, 9.2).
const int kSignedDataVersion = 1;
const unsigned char kNullParameters[] = {0x05, 0x00};

NodeEx* NewConstructedNode(unsigned char byTag)
{
    NodeEx* pNode = new (std::nothrow) NodeEx();
    if (pNode) pNode->Tag = byTag;
    return pNode;
}

int ConstructNode_Version(int nVersion, NodeEx** ppNode_version)
{
    const unsigned char byVersion = (unsigned char)(nVersion & 0xFF);
    NodeEx* pNode_version = morv::NewLeafNodeEx(0x02, &byVersion, 1);
    VOMU_FAIL_IF(!pNode_version, "new NodeEx(version)", VOMU_E_FAIL);
    *ppNode_version = pNode_version;
    return VOMU_OK;
}

// AlgorithmIdentifier { OID, NULL } as one finished leaf.
int ConstructNode_NullParamAlgorithm(const char* pszOID, const char* pszStep, NodeEx** ppNode)
{
    const int nResult = ConstructNode_AlgorithmIdentifier(
        pszOID, (unsigned char*)kNullParameters, (int)sizeof kNullParameters, ppNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, pszStep, nResult);
    return VOMU_OK;
}

// Moves every child of pFrom to the end of pTo, whose room the caller reserved.
void MoveChildren(NodeEx* pFrom, NodeEx* pTo)
{
    for (NodeEx* pChild : pFrom->vetNodes) pTo->AddChild(pChild);
    pFrom->vetNodes.clear();
}

// The signature field built apart, so it cannot fail once the caller's nodes are adopted.
int ConstructNode_SignatureField(unsigned long fSignatureEncodedType, unsigned char* pbySignature,
                                 int nSignatureSize, NodePtr* ppHolder)
{
    NodePtr pHolder(NewConstructedNode(0x30));
    VOMU_FAIL_IF(!pHolder, "new NodeEx(signature)", VOMU_E_FAIL);
    const int nResult = ConstructNode_SignerInfoSignature(fSignatureEncodedType, pbySignature,
                                                          nSignatureSize, pHolder.get());
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SignerInfoSignature", nResult);
    *ppHolder = std::move(pHolder);
    return VOMU_OK;
}

// [tag] { attributes }, adopting the vector's nodes only when nothing can fail any more.
int ConstructNode_AttributeSet(unsigned char byTag, const char* pszStep,
                               std::vector<NodeEx*>* pvetAttributes, NodeEx** ppNode)
{
    VOMU_FAIL_IF(NULL == pvetAttributes || NULL == ppNode, "Check parameter", VOMU_E_INVALID_ARG);
    NodePtr pSet(NewConstructedNode(byTag));
    VOMU_FAIL_IF(!pSet, pszStep, VOMU_E_FAIL);
    VOMU_FAIL_IF(!morv::ReserveChildren(pSet.get(), pvetAttributes->size()),
                 "Reserve attribute children", VOMU_E_FAIL);
    for (NodeEx*& pAttribute : *pvetAttributes) {
        pSet->AddChild(pAttribute);
        pAttribute = NULL;
    }
    *ppNode = pSet.release();
    return VOMU_OK;
}

int ConstructNode_SingleAttributeSet(unsigned char byTag, const char* pszStep,
                                     const char* pszAttrTypeOID, unsigned char* pbyValues,
                                     int nValuesSize, NodeEx** ppNode)
{
    VOMU_FAIL_IF(NULL == ppNode, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_Attribute = NULL;
    int nResult = ConstructNode_Attribute(pszAttrTypeOID, pbyValues, nValuesSize, &pNode_Attribute);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_Attribute", nResult);
    NodePtr pAttribute(pNode_Attribute);
    NodePtr pSet(NewConstructedNode(byTag));
    VOMU_FAIL_IF(!pSet, pszStep, VOMU_E_FAIL);
    nResult = morv::AdoptChild(pSet.get(), pAttribute.release(), "AddChild(Attribute)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(Attribute)", nResult);
    *ppNode = pSet.release();
    return VOMU_OK;
}

}  // namespace

int ConstructNode_IssuerAndSerialNumber(unsigned char* pbyIssuer, int nIssuerSize,
                                        unsigned char* pbySerialNumber, int nSerialNumberSize,
                                        NodeEx** ppNode_IssuerAndSerialNumber)
{
    VOMU_FAIL_IF(NULL == pbyIssuer || 0 >= nIssuerSize || NULL == pbySerialNumber ||
                     0 >= nSerialNumberSize || nSerialNumberSize > INT_MAX - nIssuerSize ||
                     NULL == ppNode_IssuerAndSerialNumber,
                 "Check parameter", VOMU_E_INVALID_ARG);
    const size_t nSize = (size_t)nIssuerSize + (size_t)nSerialNumberSize;
    OwnedArray<unsigned char> pbyIssuerAndSerialNumberASN1Value = morv::NewArray<unsigned char>(nSize);
    VOMU_FAIL_IF(!pbyIssuerAndSerialNumberASN1Value, "New memory", VOMU_E_FAIL);
    memcpy(pbyIssuerAndSerialNumberASN1Value.get(), pbyIssuer, (size_t)nIssuerSize);
    memcpy(pbyIssuerAndSerialNumberASN1Value.get() + nIssuerSize, pbySerialNumber,
           (size_t)nSerialNumberSize);

    NodeEx* pNode = morv::NewLeafNodeEx(0x30, pbyIssuerAndSerialNumberASN1Value.get(), nSize);
    VOMU_FAIL_IF(!pNode, "new NodeEx(pNode_IssuerAndSerialNumber)", VOMU_E_FAIL);
    *ppNode_IssuerAndSerialNumber = pNode;
    return VOMU_OK;
}

int ConstructNode_Attribute(const char* pszAttrTypeOID, unsigned char* pbyValues, int nValuesSize,
                            NodeEx** ppNode_Attribute)
{
    VOMU_FAIL_IF(NULL == ppNode_Attribute || 0 > nValuesSize ||
                     (NULL == pbyValues && 0 != nValuesSize),
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_attrType = NULL;
    int nResult = ConstructNode_ObjectIdentifier(pszAttrTypeOID, &pNode_attrType);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ObjectIdentifier", nResult);
    NodePtr pAttrType(pNode_attrType);
    NodePtr pAttrValues(morv::NewLeafNodeEx(0x31, pbyValues, (size_t)nValuesSize));
    VOMU_FAIL_IF(!pAttrValues, "new NodeEx(attrValues)", VOMU_E_FAIL);

    NodePtr pAttribute(NewConstructedNode(0x30));
    VOMU_FAIL_IF(!pAttribute, "new NodeEx(Attribute)", VOMU_E_FAIL);
    nResult = morv::AdoptChild(pAttribute.get(), pAttrType.release(), "AddChild(attrType)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(attrType)", nResult);
    nResult = morv::AdoptChild(pAttribute.get(), pAttrValues.release(), "AddChild(attrValues)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(attrValues)", nResult);
    *ppNode_Attribute = pAttribute.release();
    return VOMU_OK;
}

int ConstructNode_SignedAttributes(std::vector<NodeEx*>* pvetAttributes,
                                   NodeEx** ppNode_SignedAttrs)
{
    return ConstructNode_AttributeSet(0xA0, "new NodeEx(SignedAttributes)", pvetAttributes,
                                      ppNode_SignedAttrs);
}

int ConstructNode_UnsignedAttributes(std::vector<NodeEx*>* pvetAttributes,
                                     NodeEx** ppNode_UnsignedAttrs)
{
    return ConstructNode_AttributeSet(0xA1, "new NodeEx(UnsignedAttributes)", pvetAttributes,
                                      ppNode_UnsignedAttrs);
}

int ConstructNode_SignedAttributes_SingleItem(const char* pszAttrTypeOID, unsigned char* pbyValues,
                                              int nValuesSize, NodeEx** ppNode_SignedAttrs)
{
    return ConstructNode_SingleAttributeSet(0xA0, "ConstructNode_SignedAttributes", pszAttrTypeOID,
                                            pbyValues, nValuesSize, ppNode_SignedAttrs);
}

int ConstructNode_UnsignedAttributes_SingleItem(const char* pszAttrTypeOID,
                                                unsigned char* pbyValues, int nValuesSize,
                                                NodeEx** ppNode_UnsignedAttrs)
{
    return ConstructNode_SingleAttributeSet(0xA1, "ConstructNode_UnsignedAttributes",
                                            pszAttrTypeOID, pbyValues, nValuesSize,
                                            ppNode_UnsignedAttrs);
}

int ConstructNode_SignerInfo(int nVersion, NodeEx* pNode_IssuerAndSerialNumber,
                             const char* pszDigestAlgOID, NodeEx* pNode_SignedAttrs,
                             const char* pszDigestEncAlgOID, unsigned char* pbySignature,
                             int nSignatureSize, unsigned long fSignatureEncodedType,
                             NodeEx* pNode_UnsignedAttrs, NodeEx** ppNode_SignerInfo)
{
    VOMU_FAIL_IF(NULL == pNode_IssuerAndSerialNumber || NULL == ppNode_SignerInfo,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_version = NULL;
    int nResult = ConstructNode_Version(nVersion, &pNode_version);
    VOMU_FAIL_IF(VOMU_OK != nResult, "new NodeEx(version)", nResult);
    NodePtr pVersion(pNode_version);
    NodeEx* pNode_digestAlgorithm = NULL;
    nResult = ConstructNode_NullParamAlgorithm(pszDigestAlgOID, "new NodeEx(digestAlgorithm)",
                                               &pNode_digestAlgorithm);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_AlgorithmIdentifier(digestAlgorithm)", nResult);
    NodePtr pDigestAlgorithm(pNode_digestAlgorithm);
    NodeEx* pNode_digestEncryptionAlgorithm = NULL;
    nResult = ConstructNode_NullParamAlgorithm(pszDigestEncAlgOID,
                                               "new NodeEx(digestEncryptionAlgorithm)",
                                               &pNode_digestEncryptionAlgorithm);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_AlgorithmIdentifier(digestEncryptionAlgorithm)",
                 nResult);
    NodePtr pDigestEncryptionAlgorithm(pNode_digestEncryptionAlgorithm);
    NodePtr pSignature;
    nResult = ConstructNode_SignatureField(fSignatureEncodedType, pbySignature, nSignatureSize,
                                           &pSignature);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SignatureField", nResult);

    // Room for every child first: once the caller's nodes are adopted nothing may fail.
    NodePtr pSignerInfo(NewConstructedNode(0x30));
    VOMU_FAIL_IF(!pSignerInfo, "new NodeEx(SM2P7SignerInfo)", VOMU_E_FAIL);
    VOMU_FAIL_IF(!morv::ReserveChildren(pSignerInfo.get(), 6 + pSignature->vetNodes.size()),
                 "Reserve SignerInfo children", VOMU_E_FAIL);
    pSignerInfo->AddChild(pVersion.release());
    pSignerInfo->AddChild(pNode_IssuerAndSerialNumber);
    pSignerInfo->AddChild(pDigestAlgorithm.release());
    pSignerInfo->AddChild(pNode_SignedAttrs);
    pSignerInfo->AddChild(pDigestEncryptionAlgorithm.release());
    MoveChildren(pSignature.get(), pSignerInfo.get());
    pSignerInfo->AddChild(pNode_UnsignedAttrs);
    *ppNode_SignerInfo = pSignerInfo.release();
    return VOMU_OK;
}

namespace {

// The attached content: a copy of the memory content, or a file-backed leaf of the whole file.
int ConstructNode_SourceData(unsigned char* pbySourceData, int nSourceDataSize, FILE* fpSourceFile,
                             NodeEx** ppNode_sourceData)
{
    VOMU_FAIL_IF(NULL == pbySourceData && NULL == fpSourceFile,
                 "Check source data or file is not NUL", VOMU_E_FAIL);
    if (pbySourceData) {
        NodeEx* pNode_sourceData = morv::NewLeafNodeEx(0x04, pbySourceData, (size_t)nSourceDataSize);
        VOMU_FAIL_IF(!pNode_sourceData, "new NodeEx(sourceData)", VOMU_E_FAIL);
        *ppNode_sourceData = pNode_sourceData;
        return VOMU_OK;
    }
    uint64_t nFileSize = 0;
    const int nResult = GetFileSize_Ex(fpSourceFile, &nFileSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "GetFileSize_Ex", VOMU_E_FAIL);
    // The sizes of this format are ints (the counts handed back, the file road's total).
    VOMU_FAIL_IF(nFileSize > (uint64_t)INT_MAX, "Check source file size", VOMU_E_FILE_TOO_LARGE);
    NodeEx* pNode_sourceData = morv::NewLeafNodeEx(0x04, NULL, 0);
    VOMU_FAIL_IF(!pNode_sourceData, "new NodeEx(sourceData)", VOMU_E_FAIL);
    pNode_sourceData->pSourceFile = fpSourceFile;
    pNode_sourceData->ValueOffset = 0;
    pNode_sourceData->ValueLength = nFileSize;
    pNode_sourceData->CurrentValueLength = nFileSize;
    *ppNode_sourceData = pNode_sourceData;
    return VOMU_OK;
}

// contentInfo ::= SEQUENCE { dataType OID [, [0] { OCTET STRING }] }.
int ConstructNode_ContentInfoOfData(const char* pszDataTypeOID, unsigned char* pbySourceData,
                                    int nSourceDataSize, FILE* fpSourceFile, bool bAttached,
                                    NodeEx** ppNode_contentInfo)
{
    NodeEx* pNode_dataType = NULL;
    int nResult = ConstructNode_ObjectIdentifier(pszDataTypeOID, &pNode_dataType);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ObjectIdentifier", nResult);
    NodePtr pContentInfo(NewConstructedNode(0x30));
    VOMU_FAIL_IF(!pContentInfo, "new NodeEx(contentInfo)", VOMU_E_FAIL);
    nResult = morv::AdoptChild(pContentInfo.get(), pNode_dataType, "AddChild(dataType)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(dataType)", nResult);
    if (bAttached) {
        NodeEx* pNode_sourceData = NULL;
        nResult = ConstructNode_SourceData(pbySourceData, nSourceDataSize, fpSourceFile,
                                           &pNode_sourceData);
        VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SourceData", nResult);
        NodePtr pSourceData(pNode_sourceData);
        NodePtr pContext(NewConstructedNode(0xA0));
        VOMU_FAIL_IF(!pContext, "new NodeEx(contentInfoContext)", VOMU_E_FAIL);
        nResult = morv::AdoptChild(pContext.get(), pSourceData.release(), "AddChild(sourceData)");
        VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(sourceData)", nResult);
        nResult = morv::AdoptChild(pContentInfo.get(), pContext.release(),
                                   "AddChild(contentInfoContext)");
        VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(contentInfoContext)", nResult);
    }
    *ppNode_contentInfo = pContentInfo.release();
    return VOMU_OK;
}

int ConstructNode_DigestAlgorithmSet(const char* pszDigestAlgOID, NodeEx** ppNode_digestAlgorithmSet)
{
    NodeEx* pNode_digestAlgorithm = NULL;
    int nResult = ConstructNode_NullParamAlgorithm(pszDigestAlgOID, "ConstructNode_AlgorithmIdentifier",
                                                   &pNode_digestAlgorithm);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_AlgorithmIdentifier", nResult);
    NodePtr pDigestAlgorithm(pNode_digestAlgorithm);
    NodePtr pSet(NewConstructedNode(0x31));
    VOMU_FAIL_IF(!pSet, "new NodeEx(digestAlgorithmSet)", VOMU_E_FAIL);
    nResult = morv::AdoptChild(pSet.get(), pDigestAlgorithm.release(), "AddChild(digestAlgorithm)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(digestAlgorithm)", nResult);
    *ppNode_digestAlgorithmSet = pSet.release();
    return VOMU_OK;
}

}  // namespace

int ConstructNode_SignedData(int nVersion, const char* pszDigestAlgOID, const char* pszDataTypeOID,
                             unsigned char* pbySourceData, int nSourceDataSize,
                             FILE* fpSourceFile, bool bAttached, unsigned char* pbyCert,
                             int nCertSize, NodeEx* pNode_SignerInfos, NodeEx** ppNode_SignedData)
{
    VOMU_FAIL_IF(NULL == pbyCert || 0 >= nCertSize || NULL == pNode_SignerInfos ||
                     NULL == ppNode_SignedData || 0 > nSourceDataSize,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_version = NULL;
    int nResult = ConstructNode_Version(nVersion, &pNode_version);
    VOMU_FAIL_IF(VOMU_OK != nResult, "new NodeEx(version)", nResult);
    NodePtr pVersion(pNode_version);
    NodeEx* pNode_digestAlgorithmSet = NULL;
    nResult = ConstructNode_DigestAlgorithmSet(pszDigestAlgOID, &pNode_digestAlgorithmSet);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_DigestAlgorithmSet", nResult);
    NodePtr pDigestAlgorithmSet(pNode_digestAlgorithmSet);
    NodeEx* pNode_contentInfo = NULL;
    nResult = ConstructNode_ContentInfoOfData(pszDataTypeOID, pbySourceData, nSourceDataSize,
                                              fpSourceFile, bAttached, &pNode_contentInfo);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ContentInfoOfData", nResult);
    NodePtr pContentInfo(pNode_contentInfo);
    NodePtr pContextCert(morv::NewLeafNodeEx(0xA0, pbyCert, (size_t)nCertSize));
    VOMU_FAIL_IF(!pContextCert, "new NodeEx(contextCert)", VOMU_E_FAIL);

    // Room for every child first: once the caller's SignerInfos are adopted nothing may fail.
    NodePtr pSignedData(NewConstructedNode(0x30));
    VOMU_FAIL_IF(!pSignedData, "new NodeEx(signedData)", VOMU_E_FAIL);
    VOMU_FAIL_IF(!morv::ReserveChildren(pSignedData.get(), 5), "Reserve SignedData children",
                 VOMU_E_FAIL);
    pSignedData->AddChild(pVersion.release());
    pSignedData->AddChild(pDigestAlgorithmSet.release());
    pSignedData->AddChild(pContentInfo.release());
    pSignedData->AddChild(pContextCert.release());
    pSignedData->AddChild(pNode_SignerInfos);
    *ppNode_SignedData = pSignedData.release();
    return VOMU_OK;
}

namespace {

// The certificate as embedded: DER as given, or the DER inside PEM text.
struct CertificateDER {
    const unsigned char* pbyDER = nullptr;
    int nSize = 0;
    unsigned char* pbyConverted = nullptr;  // OPENSSL_malloc'ed when converted from PEM
    ~CertificateDER() { OPENSSL_free(pbyConverted); }
};

int ConvertCertificateToDER(unsigned char* pbyCert, int nCertSize, CertificateDER* pDER)
{
    OsslPtr<BIO> pBioCert(BIO_new_mem_buf(pbyCert, nCertSize));
    VOMU_FAIL_IF_OSSL(NULL == pBioCert, "BIO_new_mem_buf", VOMU_E_FAIL);
    char* pszName = NULL;
    long nDERSize = 0;
    // DER is no PEM text: that miss is expected and stays off the error queue.
    ERR_set_mark();
    const int nPEM = PEM_bytes_read_bio(&pDER->pbyConverted, &nDERSize, &pszName, PEM_STRING_X509,
                                        pBioCert.get(), NULL, NULL);
    ERR_pop_to_mark();
    OPENSSL_free(pszName);
    if (1 == nPEM) {
        VOMU_FAIL_IF(0 >= nDERSize || nDERSize > INT_MAX, "PEM_bytes_read_bio", VOMU_E_FAIL);
        pDER->pbyDER = pDER->pbyConverted;
        pDER->nSize = (int)nDERSize;
    } else {
        pDER->pbyDER = pbyCert;
        pDER->nSize = nCertSize;
    }
    return VOMU_OK;
}

int ConstructNode_SignerOfCert(const CertificateDER& cert, NodeEx** ppNode_IssuerAndSerialNumber)
{
    unsigned char* pbyIssuer = NULL;
    int nIssuerSize = 0;
    int nResult = GetIssuerFromCert((unsigned char*)cert.pbyDER, cert.nSize, &pbyIssuer, &nIssuerSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "GetIssuerFromCert", nResult);
    OwnedArray<unsigned char> pIssuer(pbyIssuer);
    unsigned char* pbySerialNumber = NULL;
    int nSerialNumberSize = 0;
    nResult = GetSerialNumberFromCert((unsigned char*)cert.pbyDER, cert.nSize, &pbySerialNumber,
                                      &nSerialNumberSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "GetSerialNumberFromCert", nResult);
    OwnedArray<unsigned char> pSerialNumber(pbySerialNumber);
    nResult = ConstructNode_IssuerAndSerialNumber(pIssuer.get(), nIssuerSize, pSerialNumber.get(),
                                                  nSerialNumberSize, ppNode_IssuerAndSerialNumber);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_IssuerAndSerialNumber", nResult);
    return VOMU_OK;
}

// The caller's attribute nodes are lent to the tree: taken out again before it is deleted.
class LentAttributes {
public:
    LentAttributes(NodeEx* pSigned, NodeEx* pUnsigned) : m_pSigned(pSigned), m_pUnsigned(pUnsigned) {}
    ~LentAttributes()
    {
        TakeBack(m_pSigned);
        TakeBack(m_pUnsigned);
    }
    void LendTo(NodeEx* pSignerInfo) { m_pSignerInfo = pSignerInfo; }

private:
    void TakeBack(NodeEx* pNode)
    {
        if (!pNode || !m_pSignerInfo || pNode->pParent != m_pSignerInfo) return;
        std::vector<NodeEx*>& vetNodes = m_pSignerInfo->vetNodes;
        for (size_t i = 0; i < vetNodes.size(); i++) {
            if (vetNodes[i] == pNode) {
                vetNodes.erase(vetNodes.begin() + (std::ptrdiff_t)i);
                break;
            }
        }
        pNode->pParent = nullptr;
    }
    NodeEx* m_pSigned;
    NodeEx* m_pUnsigned;
    NodeEx* m_pSignerInfo = nullptr;
};

// SET { SignerInfo } for the certificate's issuer and serial.
int ConstructNode_SignerInfos(const CertificateDER& cert, const char* pszDigestAlgOID,
                              NodeEx* pNode_SignedAttrs, const char* pszDigestEncAlgOID,
                              unsigned char* pbySignature, int nSignatureSize,
                              unsigned long fSignatureEncodedType, NodeEx* pNode_UnsignedAttrs,
                              LentAttributes* pLent, NodeEx** ppNode_SignerInfoSet)
{
    NodeEx* pNode_IssuerAndSerialNumber = NULL;
    int nResult = ConstructNode_SignerOfCert(cert, &pNode_IssuerAndSerialNumber);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SignerOfCert", nResult);
    NodePtr pIssuerAndSerialNumber(pNode_IssuerAndSerialNumber);
    NodePtr pSet(NewConstructedNode(0x31));
    VOMU_FAIL_IF(!pSet, "new NodeEx(SignerInfoSet)", VOMU_E_FAIL);
    VOMU_FAIL_IF(!morv::ReserveChildren(pSet.get(), 1), "Reserve SignerInfoSet children", VOMU_E_FAIL);
    NodeEx* pNode_SignerInfo = NULL;
    nResult = ConstructNode_SignerInfo(kSignedDataVersion, pIssuerAndSerialNumber.get(),
                                       pszDigestAlgOID, pNode_SignedAttrs, pszDigestEncAlgOID,
                                       pbySignature, nSignatureSize, fSignatureEncodedType,
                                       pNode_UnsignedAttrs, &pNode_SignerInfo);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SignerInfo", nResult);
    pIssuerAndSerialNumber.release();
    pLent->LendTo(pNode_SignerInfo);
    pSet->AddChild(pNode_SignerInfo);
    *ppNode_SignerInfoSet = pSet.release();
    return VOMU_OK;
}

// A leaf whose value is read from a file while it is written (the attached content file).
NodeEx* FindFileBackedLeaf(NodeEx* pNode)
{
    if (pNode->vetNodes.empty()) return pNode->pSourceFile ? pNode : nullptr;
    for (NodeEx* pChild : pNode->vetNodes) {
        NodeEx* pFound = FindFileBackedLeaf(pChild);
        if (pFound) return pFound;
    }
    return nullptr;
}

uint64_t HeaderSize(const NodeEx* pNode)
{
    return 1 + (uint64_t)EncodeASN1Length((long long)pNode->ValueLength, NULL);
}

// The octets of the tree's DER that come before pNode's value: every ancestor's header, every
// sibling written before the branch that holds pNode, and pNode's own header.
uint64_t OctetsBeforeValue(const NodeEx* pNode)
{
    uint64_t nOctets = HeaderSize(pNode);
    for (const NodeEx* pBranch = pNode; pBranch->pParent; pBranch = pBranch->pParent) {
        const NodeEx* pParent = pBranch->pParent;
        nOctets += HeaderSize(pParent);
        for (const NodeEx* pSibling : pParent->vetNodes) {
            if (pSibling == pBranch) break;
            nOctets += HeaderSize(pSibling) + pSibling->CurrentValueLength;
        }
    }
    return nOctets;
}

int WriteOctets(FILE* fpOutFile, const unsigned char* pbyData, size_t nSize)
{
    VOMU_FAIL_IF(nSize != fwrite(pbyData, 1, nSize, fpOutFile), "fwrite", VOMU_E_FAIL);
    return VOMU_OK;
}

enum CopyEnd { kCopied, kReadShort, kWriteShort };

// Copies nSize octets block by block until a read or a write falls short.
CopyEnd CopyBlocks(FILE* fpSourceFile, FILE* fpOutFile, unsigned char* pbyBlock, uint64_t nSize)
{
    for (uint64_t nDone = 0; nDone < nSize;) {
        const size_t nBlock = (size_t)std::min<uint64_t>(nSize - nDone, SIGNED_DATA_BLOCK_SIZE);
        if (nBlock != fread(pbyBlock, 1, nBlock, fpSourceFile)) return kReadShort;
        if (nBlock != fwrite(pbyBlock, 1, nBlock, fpOutFile)) return kWriteShort;
        nDone += nBlock;
    }
    return kCopied;
}

// The whole content file from its first octet, in blocks; step lines for the copy as a whole.
int CopySourceFile(FILE* fpSourceFile, uint64_t nSize, FILE* fpOutFile)
{
    VOMU_FAIL_IF(0 != fseeko(fpSourceFile, 0, SEEK_SET), "fseek(fpSourceFile)", VOMU_E_FAIL);
    OwnedArray<unsigned char> pbyBlock = morv::NewArray<unsigned char>(SIGNED_DATA_BLOCK_SIZE);
    VOMU_FAIL_IF(!pbyBlock, "New memory", VOMU_E_FAIL);
    const CopyEnd end = CopyBlocks(fpSourceFile, fpOutFile, pbyBlock.get(), nSize);
    VOMU_FAIL_IF(kReadShort == end, "fread(fpSourceFile)", VOMU_E_FAIL);
    VOMU_FAIL_IF(kWriteShort == end, "fwrite(fpOutFile)", VOMU_E_FAIL);
    return VOMU_OK;
}

// The file road of an attached content file: the DER around the content is encoded in memory
// with the content leaf as a header-only leaf, then written with the content streamed between.
int EncodeAroundSourceFile(NodeEx* pTree, NodeEx* pNode_sourceData, FILE* fpOutFile,
                           int* pnOutSize)
{
    FILE* fpSourceFile = pNode_sourceData->pSourceFile;
    const uint64_t nContentSize = pNode_sourceData->ValueLength;
    pNode_sourceData->pSourceFile = nullptr;
    unsigned char* pbyFrame = NULL;
    int nFrameSize = 0;
    int nDeepLevel = 0;
    int nResult = EncodeASN1ToMemory(pTree, &pbyFrame, &nFrameSize, &nDeepLevel);
    pNode_sourceData->pSourceFile = fpSourceFile;
    OwnedArray<unsigned char> pFrame(pbyFrame);
    VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1ToMemory", nResult);
    VOMU_FAIL_IF(nContentSize > (uint64_t)(INT_MAX - nFrameSize), "Check ASN.1 data size",
                 VOMU_E_FILE_TOO_LARGE);

    const size_t nBefore = (size_t)OctetsBeforeValue(pNode_sourceData);
    nResult = WriteOctets(fpOutFile, pFrame.get(), nBefore);
    VOMU_FAIL_IF(VOMU_OK != nResult, "WriteOctets(header)", nResult);
    nResult = CopySourceFile(fpSourceFile, nContentSize, fpOutFile);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CopySourceFile", nResult);
    nResult = WriteOctets(fpOutFile, pFrame.get() + nBefore, (size_t)nFrameSize - nBefore);
    VOMU_FAIL_IF(VOMU_OK != nResult, "WriteOctets(trailer)", nResult);
    *pnOutSize = nFrameSize + (int)nContentSize;
    return VOMU_OK;
}

int EncodeToMemory(NodeEx* pTree, unsigned char** ppbyDER, int* pnDERSize)
{
    unsigned char* pbyEncoded = NULL;
    int nEncodedSize = 0;
    int nDeepLevel = 0;
    const int nResult = EncodeASN1ToMemory(pTree, &pbyEncoded, &nEncodedSize, &nDeepLevel);
    OwnedArray<unsigned char> pEncoded(pbyEncoded);
    VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1ToMemory", nResult);
    morv::HandOver(pEncoded, ppbyDER, pnDERSize, (size_t)nEncodedSize);
    return VOMU_OK;
}

int EncodeToFile(NodeEx* pTree, FILE* fpOutFile, int* pnOutSize)
{
    int nWritten = 0;
    int nResult = VOMU_OK;
    NodeEx* pNode_sourceData = FindFileBackedLeaf(pTree);
    if (pNode_sourceData) {
        nResult = EncodeAroundSourceFile(pTree, pNode_sourceData, fpOutFile, &nWritten);
        VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeAroundSourceFile", nResult);
    } else {
        int nDeepLevel = 0;
        nResult = EncodeASN1ToFile(pTree, fpOutFile, &nWritten, &nDeepLevel);
        VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1ToFile", nResult);
    }
    // A small output can sit in the stream's buffer: a write it refuses shows only here.
    VOMU_FAIL_IF(0 != fflush(fpOutFile) || ferror(fpOutFile), "fflush(fpOutFile)", VOMU_E_FAIL);
    if (pnOutSize) *pnOutSize = nWritten;
    return VOMU_OK;
}

bool IsSameFile(FILE* fpA, FILE* fpB)
{
    struct stat stA, stB;
    return 0 == fstat(fileno(fpA), &stA) && 0 == fstat(fileno(fpB), &stB) &&
           stA.st_dev == stB.st_dev && stA.st_ino == stB.st_ino;
}

// Whether the content would be read from the file the output goes to.
bool ReadsFromOutput(unsigned char* pbySourceData, FILE* fpSourceFile, bool bAttached,
                     unsigned char** ppbyDER, FILE* fpOutFile)
{
    return bAttached && !pbySourceData && fpSourceFile && !ppbyDER && fpOutFile &&
           IsSameFile(fpSourceFile, fpOutFile);
}

}  // namespace

int Encode_PKCS7Signature(unsigned char* pbyCert, int nCertSize, unsigned char* pbySourceData,
                          int nSourceDataSize, FILE* fpSourceFile, bool bAttached,
                          const char* pszContentTypeOID, const char* pszDataTypeOID,
                          const char* pszDigestAlgOID, NodeEx* pNode_SignedAttrs,
                          const char* pszDigestEncAlgOID, unsigned char* pbySignature,
                          int nSignatureSize, unsigned long fSignatureEncodedType,
                          NodeEx* pNode_UnsignedAttrs, unsigned char** ppbyDER, int* pnDERSize,
                          FILE* fpOutFile, int* pnOutSize)
{
    VOMU_FAIL_IF(NULL == pbyCert || 0 >= nCertSize || 0 > nSourceDataSize ||
                     (NULL != ppbyDER && NULL == pnDERSize),
                 "Check parameter", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(ReadsFromOutput(pbySourceData, fpSourceFile, bAttached, ppbyDER, fpOutFile),
                 "Check source file is not the output file", VOMU_E_INVALID_ARG);
    CertificateDER cert;
    int nResult = ConvertCertificateToDER(pbyCert, nCertSize, &cert);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConvertCertificateToDER", nResult);

    // The owners come first, so the caller's attributes leave the tree before it is deleted.
    NodePtr pTree, pSignerInfoSet, pSignedData;
    LentAttributes lent(pNode_SignedAttrs, pNode_UnsignedAttrs);
    NodeEx* pNode_SignerInfoSet = NULL;
    nResult = ConstructNode_SignerInfos(cert, pszDigestAlgOID, pNode_SignedAttrs, pszDigestEncAlgOID,
                                        pbySignature, nSignatureSize, fSignatureEncodedType,
                                        pNode_UnsignedAttrs, &lent, &pNode_SignerInfoSet);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SignerInfos", nResult);
    pSignerInfoSet.reset(pNode_SignerInfoSet);
    NodeEx* pNode_SignedData = NULL;
    nResult = ConstructNode_SignedData(kSignedDataVersion, pszDigestAlgOID, pszDataTypeOID,
                                       pbySourceData, nSourceDataSize, fpSourceFile, bAttached,
                                       (unsigned char*)cert.pbyDER, cert.nSize,
                                       pSignerInfoSet.get(), &pNode_SignedData);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SignedData", nResult);
    pSignerInfoSet.release();
    pSignedData.reset(pNode_SignedData);
    NodeEx* pNode_ContentInfo = NULL;
    nResult = ConstructNode_ContentInfo(pszContentTypeOID, pSignedData.get(), &pNode_ContentInfo);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ContentInfo", nResult);
    pSignedData.release();
    pTree.reset(pNode_ContentInfo);

    if (ppbyDER) return EncodeToMemory(pTree.get(), ppbyDER, pnDERSize);
    if (fpOutFile) return EncodeToFile(pTree.get(), fpOutFile, pnOutSize);
    return VOMU_OK;
}

namespace {

// A new file beside the output, created exclusively with the mode fopen "wb" would give.
class TempOutputFile {
public:
    ~TempOutputFile()
    {
        if (m_fp) fclose(m_fp);
        if (m_pszPath) unlink(m_pszPath.get());
    }
    int Create(const char* pszOutFilePath)
    {
        const size_t nPathSize = strlen(pszOutFilePath) + 48;
        m_pszPath = morv::NewArray<char>(nPathSize);
        VOMU_FAIL_IF(!m_pszPath, "New memory", VOMU_E_FAIL);
        static std::atomic<unsigned> s_nCounter(0);
        int fd = -1;
        for (int nTry = 0; fd < 0 && nTry < 100; nTry++) {
            snprintf(m_pszPath.get(), nPathSize, "%s.tmp.%ld.%u", pszOutFilePath, (long)getpid(),
                     s_nCounter++);
            fd = open(m_pszPath.get(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && EEXIST != errno) break;
        }
        if (fd < 0) m_pszPath.reset();
        VOMU_FAIL_IF(0 > fd, "open(temporary output file)", VOMU_E_OPEN_FILE);
        m_fp = fdopen(fd, "wb");
        if (!m_fp) close(fd);
        VOMU_FAIL_IF(NULL == m_fp, "fdopen(temporary output file)", VOMU_E_OPEN_FILE);
        return VOMU_OK;
    }
    FILE* File() const { return m_fp; }
    // Flushes and closes with every result checked, then renames into place.
    int CommitAs(const char* pszOutFilePath)
    {
        const bool bFlushed = 0 == fflush(m_fp) && !ferror(m_fp);
        const int nClosed = fclose(m_fp);
        m_fp = nullptr;
        VOMU_FAIL_IF(!bFlushed || 0 != nClosed, "fclose(temporary output file)", VOMU_E_WRITE_FILE);
        VOMU_FAIL_IF(0 != rename(m_pszPath.get(), pszOutFilePath), "rename", VOMU_E_WRITE_FILE);
        m_pszPath.reset();
        return VOMU_OK;
    }

private:
    OwnedArray<char> m_pszPath;
    FILE* m_fp = nullptr;
};

// Whether the content would be read from the file that the output replaces.
bool ReadsFromPath(unsigned char* pbySourceData, FILE* fpSourceFile, bool bAttached,
                   const char* pszOutFilePath)
{
    struct stat stSource, stOut;
    return bAttached && !pbySourceData && fpSourceFile &&
           0 == fstat(fileno(fpSourceFile), &stSource) && 0 == stat(pszOutFilePath, &stOut) &&
           stSource.st_dev == stOut.st_dev && stSource.st_ino == stOut.st_ino;
}

}  // namespace

int Encode_PKCS7SignatureToFile(unsigned char* pbyCert, int nCertSize,
                                unsigned char* pbySourceData, int nSourceDataSize,
                                FILE* fpSourceFile, bool bAttached, const char* pszContentTypeOID,
                                const char* pszDataTypeOID, const char* pszDigestAlgOID,
                                NodeEx* pNode_SignedAttrs, const char* pszDigestEncAlgOID,
                                unsigned char* pbySignature, int nSignatureSize,
                                unsigned long fSignatureEncodedType, NodeEx* pNode_UnsignedAttrs,
                                const char* pszOutFilePath, int* pnOutSize)
{
    VOMU_FAIL_IF(NULL == pszOutFilePath || '\0' == pszOutFilePath[0], "Check parameter",
                 VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(ReadsFromPath(pbySourceData, fpSourceFile, bAttached, pszOutFilePath),
                 "Check source file is not the output file", VOMU_E_INVALID_ARG);
    // Every argument is checked by building the structure once before an output exists.
    int nResult = Encode_PKCS7Signature(pbyCert, nCertSize, pbySourceData, nSourceDataSize,
                                        fpSourceFile, bAttached, pszContentTypeOID, pszDataTypeOID,
                                        pszDigestAlgOID, pNode_SignedAttrs, pszDigestEncAlgOID,
                                        pbySignature, nSignatureSize, fSignatureEncodedType,
                                        pNode_UnsignedAttrs, NULL, NULL, NULL, NULL);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_PKCS7Signature(check)", nResult);

    TempOutputFile out;
    nResult = out.Create(pszOutFilePath);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Create temporary output file", nResult);
    int nWritten = 0;
    nResult = Encode_PKCS7Signature(pbyCert, nCertSize, pbySourceData, nSourceDataSize,
                                    fpSourceFile, bAttached, pszContentTypeOID, pszDataTypeOID,
                                    pszDigestAlgOID, pNode_SignedAttrs, pszDigestEncAlgOID,
                                    pbySignature, nSignatureSize, fSignatureEncodedType,
                                    pNode_UnsignedAttrs, NULL, NULL, out.File(), &nWritten);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_PKCS7Signature", nResult);
    nResult = out.CommitAs(pszOutFilePath);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Commit output file", nResult);
    if (pnOutSize) *pnOutSize = nWritten;
    return VOMU_OK;
}
// ---- end of SignedData writer ----
