#include "PKCS7SignedDataOperations.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
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
#include "SMKernel.h"
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
    return morv::HandOver(pbySM2RawSignatureRS, ppbyRS, pnRSSize, SM2_RAW_RS_SIZE);
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
    return morv::HandOver(pEncoded, ppbyDER, pnDERSize, (size_t)nEncodedSize);
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

    morv::TempOutputFile out;
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

// Readers of SignedData

// Structural checks of the readers log the reason "true": the step text says what was wrong.
#define VOMU_P7_REQUIRE(ok, step) VOMU_STEP_CHECK_(!(ok), "true", step, VOMU_E_PKCS7_FORMAT, false)

namespace {

using morv::NewArray;
using morv::OsslPtr;

// Object identifier contents (X.690 8.19) the readers compare.
const unsigned char kOidPKCS7SignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const unsigned char kOidPKCS7Data[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const unsigned char kOidSM2SignedData[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02};
const unsigned char kOidSM2Data[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x01};

// r and s in a SEQUENCE or as INTEGERs must each have at least this many value octets.
const uint64_t kMinSignatureHalfSize = 28;

size_t Children(const NodeEx* pNode) { return pNode->vetNodes.size(); }
const NodeEx* Child(const NodeEx* pNode, size_t nIndex) { return pNode->vetNodes[nIndex]; }
const NodeEx* LastChild(const NodeEx* pNode) { return pNode->vetNodes.back(); }

// A node with tag byTag and at least nMin children.
bool IsNode(const NodeEx* pNode, unsigned char byTag, size_t nMin)
{
    return byTag == pNode->Tag && Children(pNode) >= nMin;
}

uint64_t TlvStart(const NodeEx* pNode)
{
    return (uint64_t)pNode->ValueOffset - pNode->LengthOctets - 1;
}

// Octets of a parsed tree's source: in place when it was parsed from memory; read from its
// file into the holder otherwise (the decoder has checked that they lie inside the file).
class SourceOctets {
public:
    bool Read(const NodeEx* pNode, uint64_t nOffset, uint64_t nSize)
    {
        if (nSize > (uint64_t)INT_MAX) {
            VOMU_STEP_FAILED("Check PKCS#7 field size", VOMU_E_PKCS7_FORMAT, "true");
            m_nFailure = VOMU_E_PKCS7_FORMAT;
            return false;
        }
        m_nSize = (size_t)nSize;
        if (pNode->pSourceData) {
            m_pby = pNode->pSourceData + nOffset;
            return true;
        }
        m_pHeld = NewArray<unsigned char>(m_nSize);
        m_nFailure = VOMU_E_FAIL;
        if (!m_pHeld) {
            VOMU_STEP_FAILED("New memory", VOMU_E_FAIL, "!pbyFileValue");
            return false;
        }
        if (0 != fseeko(pNode->pSourceFile, (off_t)nOffset, SEEK_SET) ||
            m_nSize != fread(m_pHeld.get(), 1, m_nSize, pNode->pSourceFile)) {
            VOMU_STEP_FAILED("fread", VOMU_E_FAIL, "nSize != fread(pbyFileValue, 1, nSize, fp)");
            return false;
        }
        m_pby = m_pHeld.get();
        return true;
    }
    bool Value(const NodeEx* pNode) { return Read(pNode, (uint64_t)pNode->ValueOffset, pNode->ValueLength); }
    bool Tlv(const NodeEx* pNode) { return Read(pNode, TlvStart(pNode), pNode->TotalLength); }

    const unsigned char* Data() const { return m_pby; }
    size_t Size() const { return m_nSize; }
    int Failure() const { return m_nFailure; }
    // A new[] copy of the octets; null when memory runs out.
    OwnedArray<unsigned char> Copy() const
    {
        OwnedArray<unsigned char> pCopy = NewArray<unsigned char>(m_nSize);
        if (pCopy && m_nSize) memcpy(pCopy.get(), m_pby, m_nSize);
        return pCopy;
    }

private:
    const unsigned char* m_pby = NULL;
    size_t m_nSize = 0;
    OwnedArray<unsigned char> m_pHeld;
    int m_nFailure = VOMU_E_FAIL;
};

// The nodes of one SignedData, located once its shape has been checked.
struct SignedDataNodes {
    const NodeEx* pContentType = NULL;
    const NodeEx* pSignedData = NULL;
    const NodeEx* pContentInfo = NULL;
    const NodeEx* pContent = NULL;  // the OCTET STRING, primitive or constructed; null: detached
    const NodeEx* pSignerInfo = NULL;
    const NodeEx* pSignedAttrs = NULL;
    const NodeEx* pDigestEncAlg = NULL;
    size_t nSignature = 0;  // index of the signature field in the SignerInfo
    const NodeEx* pUnsignedAttrs = NULL;
};

// What a reader hands out; filled step by step, handed over only when every step succeeded.
struct SignedDataParts {
    OwnedArray<unsigned char> pCert;
    size_t nCert = 0;
    OwnedArray<unsigned char> pSignature;
    size_t nSignature = 0;
    OwnedArray<unsigned char> pContent;  // memory reader
    size_t nContent = 0;
    long long nContentPosition = 0;      // file reader
    OwnedArray<char> pDigestAlg;
    size_t nDigestAlg = 0;
    OwnedArray<char> pDigestEncAlg;
    size_t nDigestEncAlg = 0;
    OwnedArray<unsigned char> pSignedAttrs;
    size_t nSignedAttrs = 0;
    OwnedArray<unsigned char> pUnsignedAttrs;
    size_t nUnsignedAttrs = 0;
};

struct SignedDataRequest {
    bool bFile;
    bool bDigestAlg;
    bool bDigestEncAlg;
    bool bSignedAttrs;
    bool bUnsignedAttrs;
};

int LocateSignedData(const NodeEx* pRoot, bool bFile, SignedDataNodes* pNodes)
{
    VOMU_P7_REQUIRE(IsNode(pRoot, 0x30, 2), "Check PKCS#7 nodes");
    pNodes->pContentType = Child(pRoot, 0);
    VOMU_P7_REQUIRE(IsNode(Child(pRoot, 1), 0xA0, 1), "Check PKCS#7 'content [0]' nodes");
    pNodes->pSignedData = Child(Child(pRoot, 1), 0);
    VOMU_P7_REQUIRE(IsNode(pNodes->pSignedData, 0x30, 5), "Check PKCS#7 'signedData' nodes");
    pNodes->pContentInfo = Child(pNodes->pSignedData, 2);
    VOMU_P7_REQUIRE(IsNode(pNodes->pContentInfo, 0x30, 0), "Check PKCS#7 'contentInfo' nodes");
    if (bFile) {
        VOMU_P7_REQUIRE(Children(pNodes->pContentInfo) >= 2,
                        "Check PKCS#7 signature attached source data");
    }
    return VOMU_OK;
}

bool HasOid(SourceOctets& oid, const unsigned char* pbyOid, size_t nOidSize)
{
    return oid.Size() == nOidSize && 0 == memcmp(oid.Data(), pbyOid, nOidSize);
}

// The content of an attached SignedData, when its type is data: an OCTET STRING, primitive,
// or constructed of primitive segments (BER, X.690 8.7.3, as streaming writers emit it).
int LocateContent(SignedDataNodes* pNodes)
{
    const NodeEx* pContentInfo = pNodes->pContentInfo;
    VOMU_P7_REQUIRE(IsNode(Child(pContentInfo, 1), 0xA0, 1), "Check PKCS#7 nodes");
    const NodeEx* pType = Child(pContentInfo, 0);
    VOMU_P7_REQUIRE(IsNode(pType, 0x06, 0) && 0 == Children(pType), "Check PKCS#7 content type");
    SourceOctets type;
    if (!type.Value(pType)) return type.Failure();
    VOMU_P7_REQUIRE(HasOid(type, kOidPKCS7Data, sizeof kOidPKCS7Data) ||
                        HasOid(type, kOidSM2Data, sizeof kOidSM2Data),
                    "Check PKCS#7 content type is data");
    const NodeEx* pContent = Child(Child(pContentInfo, 1), 0);
    bool bSegmentsOk = 0x24 == pContent->Tag;
    for (const NodeEx* pSegment : pContent->vetNodes)
        bSegmentsOk = bSegmentsOk && 0x04 == pSegment->Tag && 0 == Children(pSegment);
    VOMU_P7_REQUIRE(0x04 == pContent->Tag || bSegmentsOk, "Check PKCS#7 content OCTET STRING");
    pNodes->pContent = pContent;
    return VOMU_OK;
}

// Joins the content octets (of every segment) into one array with a zero octet after them.
int CopyContent(const NodeEx* pContent, SignedDataParts* pParts)
{
    std::vector<const NodeEx*> vetPieces;
    if (0x04 == pContent->Tag) vetPieces.push_back(pContent);
    for (const NodeEx* pSegment : pContent->vetNodes) vetPieces.push_back(pSegment);
    size_t nSize = 0;
    for (const NodeEx* pPiece : vetPieces) nSize += (size_t)pPiece->ValueLength;
    const int nResult =
        morv::JoinParsedValues(vetPieces, nSize, "!pbySourceData", &pParts->pContent);
    if (VOMU_OK != nResult) return nResult;
    pParts->nContent = nSize;
    return VOMU_OK;
}

// The file reader hands out where the content lies; one segment at most, so it is one range.
int LocateContentInFile(const NodeEx* pContent, SignedDataParts* pParts)
{
    VOMU_P7_REQUIRE(Children(pContent) <= 1, "Check PKCS#7 content segments");
    // An empty constructed string (24 00) holds no segment: its own empty value is the range.
    const NodeEx* pPiece = Children(pContent) ? Child(pContent, 0) : pContent;
    VOMU_P7_REQUIRE(pPiece->ValueLength <= (uint64_t)INT_MAX, "Check PKCS#7 field size");
    pParts->nContentPosition = (long long)pPiece->ValueOffset;
    pParts->nContent = (size_t)pPiece->ValueLength;
    return VOMU_OK;
}

int ReadContent(SignedDataNodes* pNodes, bool bFile, SignedDataParts* pParts)
{
    if (Children(pNodes->pContentInfo) < 2) {
        TRACE(TRACE_LEVEL_INFO, "It's a PKCS#7 detached signature");
        return VOMU_OK;
    }
    TRACE(TRACE_LEVEL_INFO, "It's a PKCS#7 attached signature");
    const int nResult = LocateContent(pNodes);
    if (VOMU_OK != nResult) return nResult;
    return bFile ? LocateContentInFile(pNodes->pContent, pParts)
                 : CopyContent(pNodes->pContent, pParts);
}

int LocateSignerInfo(SignedDataNodes* pNodes)
{
    const NodeEx* pSignerInfos = LastChild(pNodes->pSignedData);
    VOMU_P7_REQUIRE(IsNode(pSignerInfos, 0x31, 1), "Check PKCS#7 'signerInfos' nodes");
    const NodeEx* pSignerInfo = Child(pSignerInfos, 0);
    VOMU_P7_REQUIRE(IsNode(pSignerInfo, 0x30, 5), "Check PKCS#7 'signerInfo' nodes");
    pNodes->pSignerInfo = pSignerInfo;
    size_t nNext = 3;
    if (Children(pSignerInfo) >= 6 && 0xA0 == Child(pSignerInfo, 3)->Tag)
        pNodes->pSignedAttrs = Child(pSignerInfo, nNext++);
    pNodes->pDigestEncAlg = Child(pSignerInfo, nNext++);
    pNodes->nSignature = nNext++;
    if (nNext + 1 == Children(pSignerInfo) && 0xA1 == LastChild(pSignerInfo)->Tag)
        pNodes->pUnsignedAttrs = LastChild(pSignerInfo);
    return VOMU_OK;
}

// The serial number of a Certificate (RFC 5280 4.1): tbsCertificate's second field after the
// explicit [0] version, its first in a version 1 certificate. Null when it is not there.
const NodeEx* CertificateSerial(const NodeEx* pCert)
{
    if (!IsNode(pCert, 0x30, 1) || !IsNode(Child(pCert, 0), 0x30, 1)) return NULL;
    const NodeEx* pTbs = Child(pCert, 0);
    const size_t nIndex = 0xA0 == Child(pTbs, 0)->Tag ? 1 : 0;
    if (Children(pTbs) <= nIndex || 0x02 != Child(pTbs, nIndex)->Tag) return NULL;
    return Child(pTbs, nIndex);
}

int CheckSignerInfoVersion(const NodeEx* pSignerInfo)
{
    const NodeEx* pVersion = Child(pSignerInfo, 0);
    bool bOk = IsNode(pVersion, 0x02, 0) && 0 == Children(pVersion) && 1 == pVersion->LengthOctets &&
               pVersion->ValueLength >= 1;
    SourceOctets version;
    if (bOk && !version.Read(pVersion, (uint64_t)pVersion->ValueOffset, 1)) return version.Failure();
    bOk = bOk && 0x01 == version.Data()[0];
    VOMU_P7_REQUIRE(bOk, "Check PKCS#7 'signerInfo/version' node");
    return VOMU_OK;
}

// Among several certificates the signer's is the one with its serial number (the issuer is
// not compared). *ppCert stays null when none matches.
int FindSignerCertificate(const SignedDataNodes& nodes, const NodeEx* pCertificates,
                          const NodeEx** ppCert)
{
    int nResult = CheckSignerInfoVersion(nodes.pSignerInfo);
    if (VOMU_OK != nResult) return nResult;
    const NodeEx* pSid = Child(nodes.pSignerInfo, 1);
    VOMU_P7_REQUIRE(IsNode(pSid, 0x30, 2) && 0x02 == Child(pSid, 1)->Tag,
                    "Check PKCS#7 'signerInfo/issuerAndSerialNumber' node");
    SourceOctets sid;
    if (!sid.Value(Child(pSid, 1))) return sid.Failure();
    for (const NodeEx* pCert : pCertificates->vetNodes) {
        const NodeEx* pSerial = CertificateSerial(pCert);
        VOMU_P7_REQUIRE(NULL != pSerial, "Check PKCS#7 'certificates' nodes");
        if (pSerial->ValueLength != sid.Size()) continue;
        SourceOctets serial;
        if (!serial.Value(pSerial)) return serial.Failure();
        if (0 == memcmp(serial.Data(), sid.Data(), sid.Size())) {
            *ppCert = pCert;
            return VOMU_OK;
        }
    }
    return VOMU_OK;
}

// A new copy of a whole element (tag, length and value).
int CopyTlv(const NodeEx* pNode, const char* pszMemoryReason, OwnedArray<unsigned char>* ppCopy,
            size_t* pnSize)
{
    SourceOctets tlv;
    if (!tlv.Tlv(pNode)) return tlv.Failure();
    OwnedArray<unsigned char> pCopy = tlv.Copy();
    VOMU_STEP_CHECK_(!pCopy, pszMemoryReason, "New memory", VOMU_E_FAIL, false);
    *ppCopy = std::move(pCopy);
    *pnSize = tlv.Size();
    return VOMU_OK;
}

int SelectCertificate(const SignedDataNodes& nodes, SignedDataParts* pParts)
{
    const NodeEx* pCertificates = Child(nodes.pSignedData, 3);
    if (0xA0 != pCertificates->Tag) return VOMU_OK;
    const NodeEx* pCert = NULL;
    if (1 == Children(pCertificates)) {
        pCert = Child(pCertificates, 0);
    } else {
        const int nResult = FindSignerCertificate(nodes, pCertificates, &pCert);
        if (VOMU_OK != nResult) return nResult;
    }
    if (NULL == pCert) return VOMU_OK;
    return CopyTlv(pCert, "!pbyCertData", &pParts->pCert, &pParts->nCert);
}

int CopyAttributes(const SignedDataNodes& nodes, const SignedDataRequest& request,
                   SignedDataParts* pParts)
{
    int nResult = VOMU_OK;
    if (request.bSignedAttrs && nodes.pSignedAttrs) {
        nResult = CopyTlv(nodes.pSignedAttrs, "!pbySignedAttrs", &pParts->pSignedAttrs,
                          &pParts->nSignedAttrs);
    }
    if (VOMU_OK == nResult && request.bUnsignedAttrs && nodes.pUnsignedAttrs) {
        nResult = CopyTlv(nodes.pUnsignedAttrs, "!pbyUnsignedAttrs", &pParts->pUnsignedAttrs,
                          &pParts->nUnsignedAttrs);
    }
    return nResult;
}

const morv::ObjectTextSteps kDigestAlgSteps = {
    "d2i_ASN1_OBJECT(DigestAlgOid)", "NULL == pstDigestAlgOid", "OBJ_obj2txt(1)",
    "OBJ_obj2txt(2)", "0 == nDigestAlgOidLength", "!pszDigestAlgOid"};
const morv::ObjectTextSteps kDigestEncAlgSteps = {
    "d2i_ASN1_OBJECT(DigestEncryptionAlgOid)", "NULL == pstDigestEncryptionAlgOid",
    "OBJ_obj2txt(3)", "OBJ_obj2txt(4)", "0 == nDigestEncryptionAlgOidLength",
    "!pszDigestEncryptionAlgOid"};

// Dotted decimal text of the OBJECT IDENTIFIER heading an AlgorithmIdentifier.
int AlgorithmOidText(const NodeEx* pAlgorithm, const morv::ObjectTextSteps& steps,
                     OwnedArray<char>* ppText, size_t* pnText)
{
    VOMU_P7_REQUIRE(IsNode(pAlgorithm, 0x30, 1), "Check PKCS#7 AlgorithmIdentifier nodes");
    SourceOctets oid;
    if (!oid.Tlv(Child(pAlgorithm, 0))) return oid.Failure();
    return morv::DecodeObjectText(oid.Data(), oid.Size(), steps, ppText, pnText);
}

int ReadAlgorithms(const SignedDataNodes& nodes, const SignedDataRequest& request,
                   SignedDataParts* pParts)
{
    if (request.bDigestAlg) {
        const int nResult = AlgorithmOidText(Child(nodes.pSignerInfo, 2), kDigestAlgSteps,
                                             &pParts->pDigestAlg, &pParts->nDigestAlg);
        if (VOMU_OK != nResult) return nResult;
    }
    if (request.bDigestEncAlg) {
        return AlgorithmOidText(nodes.pDigestEncAlg, kDigestEncAlgSteps, &pParts->pDigestEncAlg,
                                &pParts->nDigestEncAlg);
    }
    return VOMU_OK;
}

// r || s from two numbers of 28 octets or more: the low 32 octets of each, right-aligned.
int JoinRS(const NodeEx* pR, const NodeEx* pS, bool bFile, SignedDataParts* pParts)
{
    if (pR->ValueLength < kMinSignatureHalfSize || pS->ValueLength < kMinSignatureHalfSize) {
        VOMU_STEP_FAILED("Check R/S size >= 28", VOMU_E_PKCS7_FORMAT,
                         bFile ? "(ValueLen_RawSingatureR < 28 || ValueLen_RawSingatureS < 28)"
                               : "(nRawSingatureRSize < 28 || nRawSingatureSSize < 28)");
        return VOMU_E_PKCS7_FORMAT;
    }
    VOMU_STEP_OK("Check R/S size >= 28");
    OwnedArray<unsigned char> pbyRawSignature = NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF(!pbyRawSignature, "New memory", VOMU_E_FAIL);
    const NodeEx* pHalves[2] = {pR, pS};
    for (int i = 0; i < 2; i++) {
        const uint64_t nTake = pHalves[i]->ValueLength < 32 ? pHalves[i]->ValueLength : 32;
        SourceOctets half;
        if (!half.Read(pHalves[i], (uint64_t)pHalves[i]->ValueOffset + pHalves[i]->ValueLength - nTake, nTake))
            return half.Failure();
        unsigned char* pbyHalf = pbyRawSignature.get() + 32 * i;
        memset(pbyHalf, 0, 32 - (size_t)nTake);
        memcpy(pbyHalf + 32 - nTake, half.Data(), (size_t)nTake);
    }
    pParts->pSignature = std::move(pbyRawSignature);
    pParts->nSignature = SM2_RAW_RS_SIZE;
    return VOMU_OK;
}

// An OCTET STRING signature is read by the outer content type: stored as it is under PKCS#7's
// signedData, an SM2Q1 to decode under the SM2 one.
int ReadOctetStringSignature(const SignedDataNodes& nodes, const NodeEx* pSignature,
                             SignedDataParts* pParts)
{
    const NodeEx* pType = nodes.pContentType;
    VOMU_P7_REQUIRE(0x06 == pType->Tag && 0 == Children(pType) && pType->ValueLength >= 9,
                    "Check PKCS#7 'contentType' nodes");
    SourceOctets type;
    const uint64_t nCompared = pType->ValueLength < 10 ? 9 : 10;
    if (!type.Read(pType, (uint64_t)pType->ValueOffset, nCompared)) return type.Failure();
    const bool bPKCS7 = 0 == memcmp(type.Data(), kOidPKCS7SignedData, sizeof kOidPKCS7SignedData);
    const bool bSM2 = !bPKCS7 && 10 == nCompared &&
                      0 == memcmp(type.Data(), kOidSM2SignedData, sizeof kOidSM2SignedData);
    VOMU_P7_REQUIRE(bPKCS7 || bSM2, "Check PKCS#7 'contentType' nodes");

    SourceOctets value;
    if (!value.Value(pSignature)) return value.Failure();
    if (bPKCS7) {
        OwnedArray<unsigned char> pbyRawSignature = value.Copy();
        VOMU_FAIL_IF(!pbyRawSignature, "New memory", VOMU_E_FAIL);
        pParts->pSignature = std::move(pbyRawSignature);
        pParts->nSignature = value.Size();
        return VOMU_OK;
    }
    unsigned char* pbyRS = NULL;
    int nRSSize = 0;
    const int nResult = Decode_SM2Q1(const_cast<unsigned char*>(value.Data()), (int)value.Size(),
                                     &pbyRS, &nRSSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Decode_SM2Q1", nResult);
    pParts->pSignature.reset(pbyRS);
    pParts->nSignature = (size_t)nRSSize;
    return VOMU_OK;
}

int DecodeSignature(const SignedDataNodes& nodes, bool bFile, SignedDataParts* pParts)
{
    const NodeEx* pSignerInfo = nodes.pSignerInfo;
    const NodeEx* pSignature = Child(pSignerInfo, nodes.nSignature);
    if (0x04 == pSignature->Tag) return ReadOctetStringSignature(nodes, pSignature, pParts);
    if (0x30 == pSignature->Tag) {
        VOMU_P7_REQUIRE(2 == Children(pSignature), "Check PKCS#7 'signature' nodes");
        return JoinRS(Child(pSignature, 0), Child(pSignature, 1), bFile, pParts);
    }
    // r and s as the SignerInfo's last two fields.
    const bool bTwoIntegers = nodes.nSignature + 2 == Children(pSignerInfo) &&
                              0x02 == pSignature->Tag && 0x02 == LastChild(pSignerInfo)->Tag;
    VOMU_P7_REQUIRE(bTwoIntegers, "Check PKCS#7 'signature' nodes");
    return JoinRS(pSignature, LastChild(pSignerInfo), bFile, pParts);
}

// Which of the optional parts a caller asked for, by the outputs it passed.
SignedDataRequest Request(bool bFile, char** ppszDigestAlgOid, char** ppszDigestEncryptionAlgOid,
                          unsigned char** ppbySignedAttrs, unsigned char** ppbyUnsignedAttrs)
{
    const SignedDataRequest request = {bFile, NULL != ppszDigestAlgOid,
                                       NULL != ppszDigestEncryptionAlgOid, NULL != ppbySignedAttrs,
                                       NULL != ppbyUnsignedAttrs};
    return request;
}

// Every step of both positional readers, in their order.
int ReadSignedDataTree(const NodeEx* pRoot, const SignedDataRequest& request,
                       SignedDataParts* pParts)
{
    SignedDataNodes nodes;
    int nResult = LocateSignedData(pRoot, request.bFile, &nodes);
    if (VOMU_OK == nResult) nResult = ReadContent(&nodes, request.bFile, pParts);
    if (VOMU_OK == nResult) nResult = LocateSignerInfo(&nodes);
    if (VOMU_OK == nResult) nResult = SelectCertificate(nodes, pParts);
    if (VOMU_OK == nResult) nResult = CopyAttributes(nodes, request, pParts);
    if (VOMU_OK == nResult) nResult = ReadAlgorithms(nodes, request, pParts);
    if (VOMU_OK == nResult) nResult = DecodeSignature(nodes, request.bFile, pParts);
    return nResult;
}

template <typename T>
void HandOverPart(OwnedArray<T>& pPart, size_t nSize, T** ppOut, int* pnOutSize)
{
    morv::HandOver(pPart, ppOut, pnOutSize, nSize);
}

// The outputs both readers share.
void HandOverCommonParts(SignedDataParts& parts, unsigned char** ppbyCert, int* pnCertSize,
                         unsigned char** ppbySignature, int* pnSignatureSize,
                         char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                         char** ppszDigestEncryptionAlgOid, int* pnDigestEncryptionAlgOidSize,
                         unsigned char** ppbySignedAttrs, int* pnSignedAttrsSize,
                         unsigned char** ppbyUnsignedAttrs, int* pnUnsignedAttrsSize)
{
    HandOverPart(parts.pCert, parts.nCert, ppbyCert, pnCertSize);
    HandOverPart(parts.pSignature, parts.nSignature, ppbySignature, pnSignatureSize);
    HandOverPart(parts.pDigestAlg, parts.nDigestAlg, ppszDigestAlgOid, pnDigestAlgOidSize);
    HandOverPart(parts.pDigestEncAlg, parts.nDigestEncAlg, ppszDigestEncryptionAlgOid,
                 pnDigestEncryptionAlgOidSize);
    HandOverPart(parts.pSignedAttrs, parts.nSignedAttrs, ppbySignedAttrs, pnSignedAttrsSize);
    HandOverPart(parts.pUnsignedAttrs, parts.nUnsignedAttrs, ppbyUnsignedAttrs,
                 pnUnsignedAttrsSize);
}

}  // namespace

int ParsePKCS7Signature(unsigned char* pbyPKCS7, int nPKCS7Size,
                        unsigned char** ppbyCert, int* pnCertSize,
                        unsigned char** ppbySignature, int* pnSignatureSize,
                        unsigned char** ppbySourceData, int* pnSourceDataSize,
                        char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                        char** ppszDigestEncryptionAlgOid, int* pnDigestEncryptionAlgOidSize,
                        unsigned char** ppbySignedAttrs, int* pnSignedAttrsSize,
                        unsigned char** ppbyUnsignedAttrs, int* pnUnsignedAttrsSize)
{
    VOMU_FAIL_IF(NULL == pbyPKCS7 || 0 >= nPKCS7Size, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pPKCS7 = NULL;
    int nResult = DecodeASN1MemoryEx(pbyPKCS7, (unsigned long)nPKCS7Size, &pPKCS7);
    NodePtr pTree(pPKCS7);
    VOMU_FAIL_IF(VOMU_OK != nResult || NULL == pPKCS7, "DecodeASN1MemoryEx", VOMU_E_FAIL);

    const SignedDataRequest request = Request(false, ppszDigestAlgOid, ppszDigestEncryptionAlgOid,
                                              ppbySignedAttrs, ppbyUnsignedAttrs);
    SignedDataParts parts;
    nResult = ReadSignedDataTree(pTree.get(), request, &parts);
    if (VOMU_OK != nResult) return nResult;
    HandOverPart(parts.pContent, parts.nContent, ppbySourceData, pnSourceDataSize);
    HandOverCommonParts(parts, ppbyCert, pnCertSize, ppbySignature, pnSignatureSize,
                        ppszDigestAlgOid, pnDigestAlgOidSize, ppszDigestEncryptionAlgOid,
                        pnDigestEncryptionAlgOidSize, ppbySignedAttrs, pnSignedAttrsSize,
                        ppbyUnsignedAttrs, pnUnsignedAttrsSize);
    return VOMU_OK;
}

int ParsePKCS7AttachedSignatureFile(FILE* fpPKCS7File,
                                    unsigned char** ppbyCert, int* pnCertSize,
                                    unsigned char** ppbySignature, int* pnSignatureSize,
                                    long long* pnSourceDataPosition, int* pnSourceDataSize,
                                    char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                                    char** ppszDigestEncryptionAlgOid,
                                    int* pnDigestEncryptionAlgOidSize,
                                    unsigned char** ppbySignedAttrs, int* pnSignedAttrsSize,
                                    unsigned char** ppbyUnsignedAttrs, int* pnUnsignedAttrsSize)
{
    VOMU_FAIL_IF(NULL == fpPKCS7File, "Check parameter", VOMU_E_INVALID_ARG);
    morv::FilePositionGuard position(fpPKCS7File);
    VOMU_FAIL_IF(!position.Ok(), "ftell", VOMU_E_FAIL);
    NodeEx* pPKCS7 = NULL;
    int nResult = DecodeASN1FileEx(fpPKCS7File, &pPKCS7);
    NodePtr pTree(pPKCS7);
    VOMU_FAIL_IF(VOMU_OK != nResult || NULL == pPKCS7, "DecodeASN1FileEx", VOMU_E_FAIL);

    const SignedDataRequest request = Request(true, ppszDigestAlgOid, ppszDigestEncryptionAlgOid,
                                              ppbySignedAttrs, ppbyUnsignedAttrs);
    SignedDataParts parts;
    nResult = ReadSignedDataTree(pTree.get(), request, &parts);
    if (VOMU_OK != nResult) return nResult;
    if (pnSourceDataPosition) *pnSourceDataPosition = parts.nContentPosition;
    if (pnSourceDataSize) *pnSourceDataSize = (int)parts.nContent;
    HandOverCommonParts(parts, ppbyCert, pnCertSize, ppbySignature, pnSignatureSize,
                        ppszDigestAlgOid, pnDigestAlgOidSize, ppszDigestEncryptionAlgOid,
                        pnDigestEncryptionAlgOidSize, ppbySignedAttrs, pnSignedAttrsSize,
                        ppbyUnsignedAttrs, pnUnsignedAttrsSize);
    return VOMU_OK;
}

namespace {

// Identifier octets the attribute reader names in its log lines.
const unsigned char ASN1_TAG_P_OBJECT_IDENTIFIER = 0x06;
const unsigned char ASN1_TAG_C_SEQUENCE = 0x30;
const unsigned char ASN1_TAG_C_SET_OF = 0x31;

// Attribute ::= SEQUENCE { attrType OBJECT IDENTIFIER, attrValues SET OF } (RFC 5652 5.3).
int CheckAttribute(const NodeEx* pNodeCursor)
{
    VOMU_FAIL_IF((pNodeCursor->vetNodes.size() != 2 || pNodeCursor->Tag != ASN1_TAG_C_SEQUENCE),
                 "Check attribute node", VOMU_E_BAD_ASN1_DATA);
    return VOMU_OK;
}

int CheckAttrType(const NodeEx* pNodeCursor)
{
    VOMU_FAIL_IF((pNodeCursor->vetNodes.size() != 0 ||
                  pNodeCursor->Tag != ASN1_TAG_P_OBJECT_IDENTIFIER),
                 "Check attrType node", VOMU_E_BAD_ASN1_DATA);
    return VOMU_OK;
}

int CheckAttrValues(const NodeEx* pNodeCursor)
{
    VOMU_FAIL_IF((pNodeCursor->vetNodes.size() < 1 || pNodeCursor->Tag != ASN1_TAG_C_SET_OF),
                 "Check attrValues node", VOMU_E_BAD_ASN1_DATA);
    return VOMU_OK;
}

// The content octets of an attribute's SET of values: from its first value's TLV to the end
// of its last, so the end-of-contents octets of an indefinite SET are never part of them.
int CopyAttributeValues(const NodeEx* pAttrValues, unsigned char** ppbyAttrValue,
                        int* pnAttrValueSize)
{
    const NodeEx* pFirst = Child(pAttrValues, 0);
    const NodeEx* pLast = LastChild(pAttrValues);
    const uint64_t nStart = TlvStart(pFirst);
    const size_t nSize = (size_t)(TlvStart(pLast) + pLast->TotalLength - nStart);
    OwnedArray<unsigned char> pbyAttributeValue = NewArray<unsigned char>(nSize);
    VOMU_FAIL_IF(!pbyAttributeValue, "New memory", VOMU_E_FAIL);
    memcpy(pbyAttributeValue.get(), pFirst->pSourceData + nStart, nSize);
    VOMU_STEP_OK("Have found the target attribute?");
    return morv::HandOver(pbyAttributeValue, ppbyAttrValue, pnAttrValueSize, nSize);
}

bool IsAttrType(const NodeEx* pAttrType, const unsigned char* pbyOid, int nOidSize)
{
    return pAttrType->ValueLength == (uint64_t)nOidSize &&
           0 == memcmp(morv::ParsedValue(pAttrType), pbyOid, (size_t)nOidSize);
}

}  // namespace

int ParseSignedUnsignedAttributes(unsigned char* pbyAttributes, int nAttributesSize,
                                  const char* pszAttrOID, unsigned char** ppbyAttrValue,
                                  int* pnAttrValueSize)
{
    VOMU_FAIL_IF(NULL == pbyAttributes || 0 >= nAttributesSize || NULL == pszAttrOID,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode = NULL;
    int nResult = DecodeASN1MemoryEx(pbyAttributes, (unsigned long)nAttributesSize, &pNode);
    NodePtr pNodeAttributes(pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "DecodeASN1MemoryEx", VOMU_E_BAD_ASN1_DATA);
    VOMU_FAIL_IF(pNodeAttributes->vetNodes.size() < 1, "Check child nodes number",
                 VOMU_E_BAD_ASN1_DATA);
    unsigned char* pbyOid = NULL;
    int nOidSize = 0;
    nResult = Encode_ObjectIdentifier(pszAttrOID, &pbyOid, &nOidSize, false);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_ObjectIdentifier", nResult);
    OwnedArray<unsigned char> pOid(pbyOid);

    for (const NodeEx* pAttribute : pNodeAttributes->vetNodes) {
        if (VOMU_OK != (nResult = CheckAttribute(pAttribute))) return nResult;
        if (VOMU_OK != (nResult = CheckAttrType(Child(pAttribute, 0)))) return nResult;
        if (!IsAttrType(Child(pAttribute, 0), pOid.get(), nOidSize)) continue;
        if (VOMU_OK != (nResult = CheckAttrValues(Child(pAttribute, 1)))) return nResult;
        return CopyAttributeValues(Child(pAttribute, 1), ppbyAttrValue, pnAttrValueSize);
    }
    VOMU_STEP_FAILED("Have found the target attribute?", VOMU_E_BAD_ASN1_DATA, "!bFoundAttribute");
    return VOMU_E_BAD_ASN1_DATA;
}

namespace {

// A new[] copy of an OpenSSL string's octets.
int CopyAsn1String(const ASN1_STRING* pString, const char* pszMemoryReason,
                   OwnedArray<unsigned char>* ppCopy, size_t* pnSize)
{
    const size_t nSize = (size_t)ASN1_STRING_length(pString);
    OwnedArray<unsigned char> pCopy = NewArray<unsigned char>(nSize);
    VOMU_STEP_CHECK_(!pCopy, pszMemoryReason, "New memory", VOMU_E_FAIL, false);
    if (nSize) memcpy(pCopy.get(), ASN1_STRING_get0_data(pString), nSize);
    *ppCopy = std::move(pCopy);
    *pnSize = nSize;
    return VOMU_OK;
}

// The inner content of a SignedData OpenSSL decoded: only content of type data is octets;
// anything else (a nested signedData, say) is refused rather than read as an OCTET STRING.
int CopyPKCS7Content(PKCS7* pPKCS7, OwnedArray<unsigned char>* ppContent, size_t* pnSize)
{
    PKCS7* pContents = pPKCS7->d.sign->contents;
    if (NULL == pContents || NULL == pContents->d.ptr) return VOMU_OK;
    VOMU_FAIL_IF(!PKCS7_type_is_data(pContents), "PKCS7_type_is_data", VOMU_E_PKCS7_FORMAT);
    return CopyAsn1String(pContents->d.data, "!pbySourceData", ppContent, pnSize);
}

// Decoded into an object made in kctx, so the certificates inside reach our SM code.
int DecodePKCS7InKernel(unsigned char* pbyPKCS7, int nPKCS7Size, OsslPtr<PKCS7>* ppOwned)
{
    PKCS7* pDecoded = smk::NewPKCS7();
    VOMU_FAIL_IF(NULL == pDecoded, "PKCS7_new_ex", VOMU_E_FAIL);
    const unsigned char* pbyIn = pbyPKCS7;
    // d2i frees the object it was given when decoding fails.
    PKCS7* pPKCS7 = d2i_PKCS7(&pDecoded, &pbyIn, nPKCS7Size);
    ppOwned->reset(pPKCS7);
    VOMU_FAIL_IF_OSSL(NULL == pPKCS7, "d2i_PKCS7", VOMU_E_PKCS7_FORMAT);
    VOMU_FAIL_IF(!PKCS7_type_is_signed(pPKCS7), "PKCS7_type_is_signed", VOMU_E_PKCS7_FORMAT);
    return VOMU_OK;
}

// The first SignerInfo, its certificate and its digest algorithm's number.
int FirstSigner(PKCS7* pPKCS7, PKCS7_SIGNER_INFO** ppSignerInfo, X509** ppX509Cert,
                int* pnDigestAlgNID)
{
    // Null as well when the signedData content is absent.
    STACK_OF(PKCS7_SIGNER_INFO)* pskSignerInfo = PKCS7_get_signer_info(pPKCS7);
    VOMU_FAIL_IF_OSSL(NULL == pskSignerInfo, "PKCS7_get_signer_info", VOMU_E_PKCS7_FORMAT);
    PKCS7_SIGNER_INFO* pSignerInfo = sk_PKCS7_SIGNER_INFO_value(pskSignerInfo, 0);
    VOMU_FAIL_IF_OSSL(NULL == pSignerInfo, "sk_PKCS7_SIGNER_INFO_value", VOMU_E_PKCS7_FORMAT);
    X509* pX509Cert = PKCS7_cert_from_signer_info(pPKCS7, pSignerInfo);
    VOMU_FAIL_IF_OSSL(NULL == pX509Cert, "PKCS7_cert_from_signer_info", VOMU_E_PKCS7_FORMAT);
    const int nDigestAlgNID = OBJ_obj2nid(pSignerInfo->digest_alg->algorithm);
    VOMU_FAIL_IF_OSSL(NID_undef == nDigestAlgNID, "OBJ_obj2nid", VOMU_E_PKCS7_FORMAT);
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
    nResult = CopyAsn1String(pSignerInfo->enc_digest, "!pbyEncryptedDigest", &pbyEncryptedDigest,
                             &nSignatureSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = CopyPKCS7Content(pPKCS7.get(), &pbySourceData, &nSourceDataSize);
    if (VOMU_OK != nResult) return nResult;
    if (ppX509Cert) {
        X509* pDup = X509_dup(pX509Cert);
        VOMU_FAIL_IF_OSSL(NULL == pDup, "X509_dup", VOMU_E_FAIL);
        *ppX509Cert = pDup;
    }
    if (pnDigestAlgNID) *pnDigestAlgNID = nDigestAlgNID;
    morv::HandOver(pbyEncryptedDigest, ppbySignature, pnSignatureSize, nSignatureSize);
    // Detached: null and 0.
    return morv::HandOver(pbySourceData, ppbySourceData, pnSourceDataSize, nSourceDataSize);
}

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
    ASN1_SIMPLE(SM2PKCS7_SIGNER_INFO, enc_digest_r, ASN1_INTEGER),
    ASN1_SIMPLE(SM2PKCS7_SIGNER_INFO, enc_digest_s, ASN1_INTEGER),
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

// The magnitude of a non-negative INTEGER right-aligned in 32 octets; of a longer one the
// last 32 octets. False for a negative number.
bool IntegerTo32(const ASN1_INTEGER* pInteger, unsigned char* pby32)
{
    if (V_ASN1_NEG_INTEGER == ASN1_STRING_type(pInteger)) return false;
    const int nSize = ASN1_STRING_length(pInteger);
    const int nTake = nSize < 32 ? nSize : 32;
    memset(pby32, 0, 32);
    if (nTake > 0) memcpy(pby32 + 32 - nTake, ASN1_STRING_get0_data(pInteger) + nSize - nTake, nTake);
    return true;
}

// The last entry of a SET OF, read in place: the set keeps it.
template <typename T> const T* LastEntry(const OPENSSL_STACK* pStack)
{
    const int nCount = OPENSSL_sk_num(pStack);
    return nCount > 0 ? static_cast<const T*>(OPENSSL_sk_value(pStack, nCount - 1)) : NULL;
}

const SM2PKCS7_SIGNER_INFO* LastSignerInfo(const SM2PKCS7_SIGNED* pSigned)
{
    return LastEntry<SM2PKCS7_SIGNER_INFO>(reinterpret_cast<const OPENSSL_STACK*>(pSigned->signer_info));
}

const X509_ALGOR* LastDigestAlgorithm(const SM2PKCS7_SIGNED* pSigned)
{
    return LastEntry<X509_ALGOR>(reinterpret_cast<const OPENSSL_STACK*>(pSigned->md_algs));
}

int ContentTypeText(const SM2PKCS7* pstP7, OwnedArray<char>* ppText, int* pnText)
{
    int nContentTypeLen = i2t_ASN1_OBJECT(NULL, 0, pstP7->SM2PKCS7SignedDataType);
    if (nContentTypeLen < 0) nContentTypeLen = 0;
    VOMU_FAIL_IF_OSSL(0 == nContentTypeLen, "i2t_ASN1_OBJECT", VOMU_E_FAIL);
    OwnedArray<char> pContentType = NewArray<char>((size_t)nContentTypeLen + 1);
    VOMU_FAIL_IF(!pContentType, "New memory", VOMU_E_FAIL);
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
int EncodeAsked(const void* pAsked, int (*pfnI2d)(const T*, unsigned char**), const T* pValue,
                const char* pszStep, const char* pszReason, EncodedPart* pPart)
{
    if (NULL == pAsked) return VOMU_OK;
    pPart->pDer = EncodeByOpenssl(pfnI2d, pValue, &pPart->nSize);
    VOMU_STEP_CHECK_(!pPart->pDer, pszReason, pszStep, VOMU_E_FAIL, true);
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
        const int nResult = ContentTypeText(pstP7.get(), &pContentType, &nContentTypeLen);
        if (VOMU_OK != nResult) return nResult;
    }
    EncodedPart signedData;
    const int nResult = EncodeAsked(ppbySignedData, i2d_SM2PKCS7_SIGNED,
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
    int nResult = EncodeAsked(ppbyDigestAlg, i2d_X509_ALGOR, LastDigestAlgorithm(pSigned),
                              "i2d_X509_ALGOR", "NULL == pMdAlg", &mdAlg);
    if (VOMU_OK == nResult) {
        nResult = EncodeAsked(ppbyContents, i2d_SM2PKCS7_CONTENT,
                              (const SM2PKCS7_CONTENT*)pSigned->contents, "i2d_SM2PKCS7_CONTENT",
                              "NULL == pContents", &contents);
    }
    if (VOMU_OK == nResult) {
        // A message without certificate fails here.
        nResult = EncodeAsked(ppbyCert, i2d_X509, (const X509*)pSigned->cert, "i2d_X509",
                              "NULL == pCert", &cert);
    }
    if (VOMU_OK == nResult) {
        nResult = EncodeAsked(ppbySignerInfo, i2d_SM2PKCS7_SIGNER_INFO, LastSignerInfo(pSigned),
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

int SignatureNumbers(const SM2PKCS7_SIGNER_INFO* pstSignerInfo,
                     OwnedArray<unsigned char>* ppEncDigestR, OwnedArray<unsigned char>* ppEncDigestS)
{
    OwnedArray<unsigned char> pEncDigestR = NewArray<unsigned char>(32);
    VOMU_FAIL_IF(!pEncDigestR, "New memory", VOMU_E_FAIL);
    OwnedArray<unsigned char> pEncDigestS = NewArray<unsigned char>(32);
    VOMU_FAIL_IF(!pEncDigestS, "New memory", VOMU_E_FAIL);
    VOMU_FAIL_IF(!IntegerTo32(pstSignerInfo->enc_digest_r, pEncDigestR.get()) ||
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
    int nResult = EncodeAsked(ppbyIssuerAndSerial, i2d_PKCS7_ISSUER_AND_SERIAL,
                              (const PKCS7_ISSUER_AND_SERIAL*)pInfo->issuer_and_serial,
                              "i2d_PKCS7_ISSUER_AND_SERIA", "NULL == pIssuerAndSerial",
                              &issuerAndSerial);
    if (VOMU_OK == nResult) {
        nResult = EncodeAsked(ppbyDigestAlg, i2d_X509_ALGOR, (const X509_ALGOR*)pInfo->digest_alg,
                              "i2d_X509_ALGOR", "NULL == pDigestAlg", &digestAlg);
    }
    if (VOMU_OK == nResult) {
        nResult = EncodeAsked(ppbyDigestEncAlg, i2d_X509_ALGOR,
                              (const X509_ALGOR*)pInfo->digest_enc_alg, "i2d_X509_ALGOR",
                              "NULL == pDigestEncAlg", &digestEncAlg);
    }
    if (VOMU_OK == nResult) nResult = SignatureNumbers(pInfo, &pEncDigestR, &pEncDigestS);
    if (VOMU_OK != nResult) return nResult;
    issuerAndSerial.HandOver(ppbyIssuerAndSerial, pnIssuerAndSerialSize);
    digestAlg.HandOver(ppbyDigestAlg, pnDigestAlgSize);
    digestEncAlg.HandOver(ppbyDigestEncAlg, pnDigestEncAlgSize);
    morv::HandOver(pEncDigestR, ppbyR, pnRSize, 32);
    return morv::HandOver(pEncDigestS, ppbyS, pnSSize, 32);
}

namespace {

int SM2PKCS7Content(const SM2PKCS7_SIGNED* pSigned, OwnedArray<unsigned char>* ppContent,
                    size_t* pnSize)
{
    const ASN1_OCTET_STRING* pContent = pSigned->contents ? pSigned->contents->content : NULL;
    if (NULL == pContent) return VOMU_OK;
    return CopyAsn1String(pContent, "!pbySourceData", ppContent, pnSize);
}

int SM2PKCS7RawSignature(const SM2PKCS7_SIGNER_INFO* pstSignerInfo,
                         OwnedArray<unsigned char>* ppSignature)
{
    OwnedArray<unsigned char> pbyRawSignagureRS = NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF(!pbyRawSignagureRS, "New memory", VOMU_E_FAIL);
    VOMU_FAIL_IF(!IntegerTo32(pstSignerInfo->enc_digest_r, pbyRawSignagureRS.get()) ||
                     !IntegerTo32(pstSignerInfo->enc_digest_s, pbyRawSignagureRS.get() + 32),
                 "Check signature numbers", VOMU_E_FAIL);
    *ppSignature = std::move(pbyRawSignagureRS);
    return VOMU_OK;
}

// What ParseSM2PKCS7Signature takes from the last SignerInfo.
struct SM2SignerParts {
    bool bSignature = false, bDigestAlg = false, bDigestEncAlg = false;
    OwnedArray<unsigned char> pRS;
    OwnedArray<char> pDigestAlg, pDigestEncAlg;
    size_t nDigestAlg = 0, nDigestEncAlg = 0;
};

int ReadLastSigner(const SM2PKCS7_SIGNED* pSigned, SM2SignerParts* pParts)
{
    if (!pParts->bSignature && !pParts->bDigestAlg && !pParts->bDigestEncAlg) return VOMU_OK;
    const SM2PKCS7_SIGNER_INFO* pstSignerInfo = LastSignerInfo(pSigned);
    VOMU_FAIL_IF(NULL == pstSignerInfo, "sk_SM2PKCS7_SIGNER_INFO_pop", VOMU_E_FAIL);
    int nResult = VOMU_OK;
    if (pParts->bSignature) nResult = SM2PKCS7RawSignature(pstSignerInfo, &pParts->pRS);
    if (VOMU_OK == nResult && pParts->bDigestAlg) {
        nResult = morv::ObjectText(pstSignerInfo->digest_alg->algorithm, kDigestAlgSteps,
                                   &pParts->pDigestAlg, &pParts->nDigestAlg);
    }
    if (VOMU_OK == nResult && pParts->bDigestEncAlg) {
        nResult = morv::ObjectText(pstSignerInfo->digest_enc_alg->algorithm,
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
    int nResult = EncodeAsked(ppbyCert, i2d_X509, (const X509*)pSigned->cert, "i2d_X509",
                              "NULL == pbyCertData", &cert);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbySourceData;
    size_t nSourceDataSize = 0;
    if (ppbySourceData) nResult = SM2PKCS7Content(pSigned, &pbySourceData, &nSourceDataSize);
    if (VOMU_OK != nResult) return nResult;
    SM2SignerParts signer;
    signer.bSignature = NULL != ppbySignature;
    signer.bDigestAlg = NULL != ppszDigestAlgOid;
    signer.bDigestEncAlg = NULL != ppszDigestEncryptionAlgOid;
    nResult = ReadLastSigner(pSigned, &signer);
    if (VOMU_OK != nResult) return nResult;

    cert.HandOver(ppbyCert, pnCertSize);
    morv::HandOver(signer.pRS, ppbySignature, pnSignatureSize, signer.pRS ? SM2_RAW_RS_SIZE : 0);
    // Without content: null and 0.
    morv::HandOver(pbySourceData, ppbySourceData, pnSourceDataSize, nSourceDataSize);
    morv::HandOver(signer.pDigestAlg, ppszDigestAlgOid, pnDigestAlgOidSize, signer.nDigestAlg);
    return morv::HandOver(signer.pDigestEncAlg, ppszDigestEncryptionAlgOid, pnDigestEncryptionAlgOidSize,
                   signer.nDigestEncAlg);
}
