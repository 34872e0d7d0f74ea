// The SignedData builders: SignerInfo, its issuer and serial, attributes, and the SignedData
// around them.
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "FormatNodes.h"
#include "HandOver.h"
#include "Misc.h"
#include "PKCS7SignedDataOperations.h"
#include "VomuStep.h"
#include "vomu_result.h"

using morv::OwnedArray;

namespace {

using morv::NewConstructedNode;
using NodePtr = std::unique_ptr<NodeEx>;

const unsigned char kNullParameters[] = {0x05, 0x00};

// AlgorithmIdentifier { OID, NULL } as one finished leaf.
int ConstructNode_NullParamAlgorithm(const char* pszFunc, const char* pszOID, const char* pszStep,
                                     NodeEx** ppNode)
{
    const int nResult = ConstructNode_AlgorithmIdentifier(
        pszOID, (unsigned char*)kNullParameters, (int)sizeof kNullParameters, ppNode);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, pszStep, nResult);
    return VOMU_OK;
}

// The signature field built apart, so it cannot fail once the caller's nodes are adopted.
int ConstructNode_SignatureField(const char* pszFunc, unsigned long fSignatureEncodedType,
                                 unsigned char* pbySignature, int nSignatureSize, NodePtr* ppHolder)
{
    NodePtr pHolder(NewConstructedNode(0x30));
    VOMU_FAIL_IF_IN(pszFunc, !pHolder, "new NodeEx(signature)", VOMU_E_FAIL);
    const int nResult = ConstructNode_SignerInfoSignature(
        pszFunc, fSignatureEncodedType, pbySignature, nSignatureSize, pHolder.get());
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_SignerInfoSignature", nResult);
    *ppHolder = std::move(pHolder);
    return VOMU_OK;
}

// [tag] { attributes }, adopting the vector's nodes only when nothing can fail any more.
int ConstructNode_AttributeSet(const char* pszFunc, unsigned char byTag, const char* pszStep,
                               std::vector<NodeEx*>* pvetAttributes, NodeEx** ppNode)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pvetAttributes || NULL == ppNode, "Check parameter",
                    VOMU_E_INVALID_ARG);
    NodePtr pSet(NewConstructedNode(byTag));
    VOMU_FAIL_IF_IN(pszFunc, !pSet, pszStep, VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pszFunc, !morv::ReserveChildren(pSet.get(), pvetAttributes->size()),
                    "Reserve attribute children", VOMU_E_FAIL);
    for (NodeEx*& pAttribute : *pvetAttributes) {
        pSet->AddChild(pAttribute);
        pAttribute = NULL;
    }
    *ppNode = pSet.release();
    return VOMU_OK;
}

int ConstructNode_SingleAttributeSet(const char* pszFunc, unsigned char byTag, const char* pszStep,
                                     const char* pszAttrTypeOID, unsigned char* pbyValues,
                                     int nValuesSize, NodeEx** ppNode)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == ppNode, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_Attribute = NULL;
    int nResult = ConstructNode_Attribute(pszAttrTypeOID, pbyValues, nValuesSize, &pNode_Attribute);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_Attribute", nResult);
    NodePtr pAttribute(pNode_Attribute);
    NodePtr pSet(NewConstructedNode(byTag));
    VOMU_FAIL_IF_IN(pszFunc, !pSet, pszStep, VOMU_E_FAIL);
    nResult = morv::AdoptChild(pszFunc, pSet.get(), pAttribute.release(), "AddChild(Attribute)");
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "AddChild(Attribute)", nResult);
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
    nResult =
        morv::AdoptChild(__func__, pAttribute.get(), pAttrType.release(), "AddChild(attrType)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(attrType)", nResult);
    nResult =
        morv::AdoptChild(__func__, pAttribute.get(), pAttrValues.release(), "AddChild(attrValues)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(attrValues)", nResult);
    *ppNode_Attribute = pAttribute.release();
    return VOMU_OK;
}

int ConstructNode_SignedAttributes(std::vector<NodeEx*>* pvetAttributes,
                                   NodeEx** ppNode_SignedAttrs)
{
    return ConstructNode_AttributeSet(__func__, 0xA0, "new NodeEx(SignedAttributes)",
                                      pvetAttributes, ppNode_SignedAttrs);
}

int ConstructNode_UnsignedAttributes(std::vector<NodeEx*>* pvetAttributes,
                                     NodeEx** ppNode_UnsignedAttrs)
{
    return ConstructNode_AttributeSet(__func__, 0xA1, "new NodeEx(UnsignedAttributes)",
                                      pvetAttributes, ppNode_UnsignedAttrs);
}

int ConstructNode_SignedAttributes_SingleItem(const char* pszAttrTypeOID, unsigned char* pbyValues,
                                              int nValuesSize, NodeEx** ppNode_SignedAttrs)
{
    return ConstructNode_SingleAttributeSet(__func__, 0xA0, "ConstructNode_SignedAttributes",
                                            pszAttrTypeOID, pbyValues, nValuesSize,
                                            ppNode_SignedAttrs);
}

int ConstructNode_UnsignedAttributes_SingleItem(const char* pszAttrTypeOID,
                                                unsigned char* pbyValues, int nValuesSize,
                                                NodeEx** ppNode_UnsignedAttrs)
{
    return ConstructNode_SingleAttributeSet(__func__, 0xA1, "ConstructNode_UnsignedAttributes",
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
    int nResult = morv::ConstructNode_Version(__func__, nVersion, &pNode_version);
    VOMU_FAIL_IF(VOMU_OK != nResult, "new NodeEx(version)", nResult);
    NodePtr pVersion(pNode_version);
    NodeEx* pNode_digestAlgorithm = NULL;
    nResult = ConstructNode_NullParamAlgorithm(
        __func__, pszDigestAlgOID, "new NodeEx(digestAlgorithm)", &pNode_digestAlgorithm);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_AlgorithmIdentifier(digestAlgorithm)", nResult);
    NodePtr pDigestAlgorithm(pNode_digestAlgorithm);
    NodeEx* pNode_digestEncryptionAlgorithm = NULL;
    nResult = ConstructNode_NullParamAlgorithm(__func__, pszDigestEncAlgOID,
                                               "new NodeEx(digestEncryptionAlgorithm)",
                                               &pNode_digestEncryptionAlgorithm);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_AlgorithmIdentifier(digestEncryptionAlgorithm)",
                 nResult);
    NodePtr pDigestEncryptionAlgorithm(pNode_digestEncryptionAlgorithm);
    NodePtr pSignature;
    nResult = ConstructNode_SignatureField(__func__, fSignatureEncodedType, pbySignature,
                                           nSignatureSize, &pSignature);
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
    morv::MoveChildren(pSignature.get(), pSignerInfo.get());
    pSignerInfo->AddChild(pNode_UnsignedAttrs);
    *ppNode_SignerInfo = pSignerInfo.release();
    return VOMU_OK;
}

namespace {

// The attached content: a copy of the memory content, or a file-backed leaf of the whole file.
int ConstructNode_SourceData(const char* pszFunc, unsigned char* pbySourceData, int nSourceDataSize,
                             FILE* fpSourceFile, NodeEx** ppNode_sourceData)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pbySourceData && NULL == fpSourceFile,
                    "Check source data or file is not NUL", VOMU_E_FAIL);
    if (pbySourceData) {
        NodeEx* pNode_sourceData = morv::NewLeafNodeEx(0x04, pbySourceData,
                                                       (size_t)nSourceDataSize);
        VOMU_FAIL_IF_IN(pszFunc, !pNode_sourceData, "new NodeEx(sourceData)", VOMU_E_FAIL);
        *ppNode_sourceData = pNode_sourceData;
        return VOMU_OK;
    }
    uint64_t nFileSize = 0;
    const int nResult = GetFileSize_Ex(fpSourceFile, &nFileSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetFileSize_Ex", VOMU_E_FAIL);
    // The sizes of this format are ints (the counts handed back, the file road's total).
    VOMU_FAIL_IF_IN(pszFunc, nFileSize > (uint64_t)INT_MAX, "Check source file size",
                    VOMU_E_FILE_TOO_LARGE);
    NodeEx* pNode_sourceData = morv::NewLeafNodeEx(0x04, NULL, 0);
    VOMU_FAIL_IF_IN(pszFunc, !pNode_sourceData, "new NodeEx(sourceData)", VOMU_E_FAIL);
    pNode_sourceData->pSourceFile = fpSourceFile;
    pNode_sourceData->ValueOffset = 0;
    pNode_sourceData->ValueLength = nFileSize;
    pNode_sourceData->CurrentValueLength = nFileSize;
    *ppNode_sourceData = pNode_sourceData;
    return VOMU_OK;
}

// contentInfo ::= SEQUENCE { dataType OID [, [0] { OCTET STRING }] }.
int ConstructNode_ContentInfoOfData(const char* pszFunc, const char* pszDataTypeOID,
                                    unsigned char* pbySourceData, int nSourceDataSize,
                                    FILE* fpSourceFile, bool bAttached, NodeEx** ppNode_contentInfo)
{
    NodeEx* pNode_dataType = NULL;
    int nResult = ConstructNode_ObjectIdentifier(pszDataTypeOID, &pNode_dataType);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_ObjectIdentifier", nResult);
    NodePtr pDataType(pNode_dataType);
    NodePtr pContentInfo(NewConstructedNode(0x30));
    VOMU_FAIL_IF_IN(pszFunc, !pContentInfo, "new NodeEx(contentInfo)", VOMU_E_FAIL);
    nResult =
        morv::AdoptChild(pszFunc, pContentInfo.get(), pDataType.release(), "AddChild(dataType)");
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "AddChild(dataType)", nResult);
    if (bAttached) {
        NodeEx* pNode_sourceData = NULL;
        nResult = ConstructNode_SourceData(pszFunc, pbySourceData, nSourceDataSize, fpSourceFile,
                                           &pNode_sourceData);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_SourceData", nResult);
        NodePtr pSourceData(pNode_sourceData);
        NodePtr pContext(NewConstructedNode(0xA0));
        VOMU_FAIL_IF_IN(pszFunc, !pContext, "new NodeEx(contentInfoContext)", VOMU_E_FAIL);
        nResult = morv::AdoptChild(pszFunc, pContext.get(), pSourceData.release(),
                                   "AddChild(sourceData)");
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "AddChild(sourceData)", nResult);
        nResult = morv::AdoptChild(pszFunc, pContentInfo.get(), pContext.release(),
                                   "AddChild(contentInfoContext)");
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "AddChild(contentInfoContext)", nResult);
    }
    *ppNode_contentInfo = pContentInfo.release();
    return VOMU_OK;
}

int ConstructNode_DigestAlgorithmSet(const char* pszFunc, const char* pszDigestAlgOID,
                                     NodeEx** ppNode_digestAlgorithmSet)
{
    NodeEx* pNode_digestAlgorithm = NULL;
    int nResult = ConstructNode_NullParamAlgorithm(
        pszFunc, pszDigestAlgOID, "ConstructNode_AlgorithmIdentifier", &pNode_digestAlgorithm);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_AlgorithmIdentifier", nResult);
    NodePtr pDigestAlgorithm(pNode_digestAlgorithm);
    NodePtr pSet(NewConstructedNode(0x31));
    VOMU_FAIL_IF_IN(pszFunc, !pSet, "new NodeEx(digestAlgorithmSet)", VOMU_E_FAIL);
    nResult = morv::AdoptChild(pszFunc, pSet.get(), pDigestAlgorithm.release(),
                               "AddChild(digestAlgorithm)");
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "AddChild(digestAlgorithm)", nResult);
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
    int nResult = morv::ConstructNode_Version(__func__, nVersion, &pNode_version);
    VOMU_FAIL_IF(VOMU_OK != nResult, "new NodeEx(version)", nResult);
    NodePtr pVersion(pNode_version);
    NodeEx* pNode_digestAlgorithmSet = NULL;
    nResult =
        ConstructNode_DigestAlgorithmSet(__func__, pszDigestAlgOID, &pNode_digestAlgorithmSet);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_DigestAlgorithmSet", nResult);
    NodePtr pDigestAlgorithmSet(pNode_digestAlgorithmSet);
    NodeEx* pNode_contentInfo = NULL;
    nResult =
        ConstructNode_ContentInfoOfData(__func__, pszDataTypeOID, pbySourceData, nSourceDataSize,
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
