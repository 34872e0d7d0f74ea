// The EnvelopedData writer: one KeyTransRecipientInfo, the encrypted content or only the
// header before it.
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

const unsigned char kNullParameters[] = {0x05, 0x00};

// RFC 5652 6.1 and 6.2.1: a recipient named by subject key identifier makes both versions 2.
const int kCMSVersion = 2;

// The version leaf in an owner.
int ConstructNode_Version(const char* pszFunc, int nVersion, NodePtr* pOut)
{
    NodeEx* pNode_version = NULL;
    const int nResult = morv::ConstructNode_Version(pszFunc, nVersion, &pNode_version);
    if (VOMU_OK != nResult) return nResult;
    pOut->reset(pNode_version);
    return VOMU_OK;
}

// Adopts every node in order into pParent, which has room reserved for them all.
int AdoptAll(const char* pszFunc, NodeEx* pParent, std::initializer_list<NodePtr*> children,
             const char* pszStep)
{
    VOMU_FAIL_IF_IN(pszFunc, !morv::ReserveChildren(pParent, children.size()), pszStep,
                    VOMU_E_FAIL);
    for (NodePtr* pChild : children) {
        const int nResult = morv::AdoptChild(pszFunc, pParent, pChild->release(), pszStep);
        if (VOMU_OK != nResult) return nResult;
    }
    return VOMU_OK;
}

bool IsOctetSpan(int nSize, const unsigned char* pbyOctets)
{
    return nSize >= 0 && (NULL != pbyOctets || 0 == nSize);
}

}  // namespace

int ConstructNode_KeyTransRecipientInfo(int nVersion, unsigned char* pbyRecipientKeyID,
                                        int nRecipientKeyIDSize, const char* pszKeyEncryptionAlgOID,
                                        unsigned char* pbyParam, int nParamSize,
                                        unsigned char* pbyEncryptedKey, int nEncryptedKeySize,
                                        NodeEx** ppNode)
{
    VOMU_FAIL_IF(!IsOctetSpan(nRecipientKeyIDSize, pbyRecipientKeyID) ||
                     !IsOctetSpan(nParamSize, pbyParam) ||
                     !IsOctetSpan(nEncryptedKeySize, pbyEncryptedKey) || NULL == ppNode,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodePtr pNode_version;
    int nResult = ConstructNode_Version(__func__, nVersion, &pNode_version);
    if (VOMU_OK != nResult) return nResult;

    NodePtr pNode_rip(morv::NewLeafNodeEx(0x80, pbyRecipientKeyID, (size_t)nRecipientKeyIDSize));
    VOMU_FAIL_IF(!pNode_rip, "new NodeEx(rid)", VOMU_E_FAIL);

    unsigned char* pbyAlgorithm = NULL;
    int nAlgorithmSize = 0;
    nResult = Encode_AlgorithmIdentifier(pszKeyEncryptionAlgOID, pbyParam, nParamSize,
                                         &pbyAlgorithm, &nAlgorithmSize, false);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_AlgorithmIdentifier", nResult);
    OwnedArray<unsigned char> pAlgorithm(pbyAlgorithm);
    NodePtr pNode_keyEncryptionAlgorithm(morv::NewOwningLeaf(0x30, pAlgorithm, nAlgorithmSize));
    VOMU_FAIL_IF(!pNode_keyEncryptionAlgorithm, "new NodeEx(keyEncryptionAlgorithm)", VOMU_E_FAIL);

    NodePtr pNode_encryptedKey(
        morv::NewLeafNodeEx(0x04, pbyEncryptedKey, (size_t)nEncryptedKeySize));
    VOMU_FAIL_IF(!pNode_encryptedKey, "new NodeEx(encryptedKey)", VOMU_E_FAIL);

    NodePtr pNode_KeyTransRecipientInfo(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_KeyTransRecipientInfo, "new NodeEx(KeyTransRecipientInfo)", VOMU_E_FAIL);
    pNode_KeyTransRecipientInfo->Tag = 0x30;
    nResult =
        AdoptAll(__func__, pNode_KeyTransRecipientInfo.get(),
                 {&pNode_version, &pNode_rip, &pNode_keyEncryptionAlgorithm, &pNode_encryptedKey},
                 "AddChild(KeyTransRecipientInfo)");
    if (VOMU_OK != nResult) return nResult;
    *ppNode = pNode_KeyTransRecipientInfo.release();
    return VOMU_OK;
}

int ConstructNode_EncryptedContentInfo(const char* pszContentTypeOID,
                                       const char* pszContentEncryptionAlgOID,
                                       unsigned char* pbyParam, int nParamSize,
                                       unsigned char* pbyEncryptedContent,
                                       int nEncryptedContentSize, NodeEx** ppNode)
{
    VOMU_FAIL_IF(!IsOctetSpan(nParamSize, pbyParam) || 0 > nEncryptedContentSize || NULL == ppNode,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode = NULL;
    int nResult = ConstructNode_ObjectIdentifier(pszContentTypeOID, &pNode);
    if (VOMU_OK != nResult) return nResult;
    NodePtr pNode_contentType(pNode);
    nResult = ConstructNode_AlgorithmIdentifier(pszContentEncryptionAlgOID, pbyParam, nParamSize,
                                                &pNode);
    if (VOMU_OK != nResult) return nResult;
    NodePtr pNode_contentEncryptionAlgorithm(pNode);

    // Without content a header-only leaf: the caller streams the declared octets after it.
    NodePtr pNode_encryptedContent(morv::NewLeafNodeEx(
        0x80, pbyEncryptedContent, pbyEncryptedContent ? (size_t)nEncryptedContentSize : 0));
    VOMU_FAIL_IF(!pNode_encryptedContent, "new NodeEx(pNode_encryptedContent)", VOMU_E_FAIL);
    pNode_encryptedContent->ValueLength = (uint64_t)nEncryptedContentSize;

    NodePtr pNode_EncryptedContentInfo(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_EncryptedContentInfo, "new NodeEx(pNode_EncryptedContentInfo)",
                 VOMU_E_FAIL);
    pNode_EncryptedContentInfo->Tag = 0x30;
    nResult =
        AdoptAll(__func__, pNode_EncryptedContentInfo.get(),
                 {&pNode_contentType, &pNode_contentEncryptionAlgorithm, &pNode_encryptedContent},
                 "AddChild(EncryptedContentInfo)");
    if (VOMU_OK != nResult) return nResult;
    *ppNode = pNode_EncryptedContentInfo.release();
    return VOMU_OK;
}

int ConstructNode_EnvelopedData(int nVersion, NodeEx* pNode_RecipientInfos,
                                NodeEx* pNode_EncryptedContentInfo, NodeEx** ppNode)
{
    VOMU_FAIL_IF(NULL == pNode_RecipientInfos || NULL == pNode_EncryptedContentInfo || NULL == ppNode,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodePtr pNode_version;
    int nResult = ConstructNode_Version(__func__, nVersion, &pNode_version);
    if (VOMU_OK != nResult) return nResult;
    NodePtr pNode_EnvelopedData(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_EnvelopedData, "new NodeEx(EnvelopedData)", VOMU_E_FAIL);
    // Room first: once the caller's nodes are adopted nothing may fail.
    VOMU_FAIL_IF(!morv::ReserveChildren(pNode_EnvelopedData.get(), 3),
                 "Reserve EnvelopedData children",
                 VOMU_E_FAIL);
    pNode_EnvelopedData->Tag = 0x30;
    pNode_EnvelopedData->AddChild(pNode_version.release());
    pNode_EnvelopedData->AddChild(pNode_RecipientInfos);
    pNode_EnvelopedData->AddChild(pNode_EncryptedContentInfo);
    *ppNode = pNode_EnvelopedData.release();
    return VOMU_OK;
}

namespace {

int ConstructNode_RecipientInfos(const char* pszFunc, unsigned char* pbyRecipientKeyID,
                                 int nRecipientKeyIDSize, const char* pszKeyEncryptionAlgOID,
                                 unsigned char* pbyEncryptedKey, int nEncryptedKeySize,
                                 NodePtr* pOut)
{
    NodeEx* pNode = NULL;
    int nResult = ConstructNode_KeyTransRecipientInfo(
        kCMSVersion, pbyRecipientKeyID, nRecipientKeyIDSize, pszKeyEncryptionAlgOID,
        (unsigned char*)kNullParameters, (int)sizeof kNullParameters, pbyEncryptedKey,
        nEncryptedKeySize, &pNode);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_KeyTransRecipientInfo", nResult);
    NodePtr pNode_KeyTransRecipientInfo(pNode);
    NodePtr pNode_RecipientInfos(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF_IN(pszFunc, !pNode_RecipientInfos, "new NodeEx(RecipientInfos)", VOMU_E_FAIL);
    pNode_RecipientInfos->Tag = 0x31;
    nResult = AdoptAll(pszFunc, pNode_RecipientInfos.get(), {&pNode_KeyTransRecipientInfo},
                       "AddChild(RecipientInfos)");
    if (VOMU_OK != nResult) return nResult;
    *pOut = std::move(pNode_RecipientInfos);
    return VOMU_OK;
}

}  // namespace

int Encode_CMSEnvelope(const char* pszContentTypeOID, unsigned char* pbyRecipientKeyID,
                       int nRecipientKeyIDSize, const char* pszKeyEncryptionAlgOID,
                       unsigned char* pbyEncryptedKey, int nEncryptedKeySize,
                       const char* pszEncryptedContentTypeOID,
                       const char* pszContentEncryptionAlgOID, unsigned char* pbyParam,
                       int nParamSize, unsigned char* pbyEncryptedContent,
                       int nEncryptedContentSize, unsigned char** ppbyDER, int* pnDERSize)
{
    VOMU_FAIL_IF(NULL == ppbyDER || NULL == pnDERSize, "Check parameter", VOMU_E_INVALID_ARG);
    NodePtr pNode_RecipientInfos;
    int nResult = ConstructNode_RecipientInfos(__func__, pbyRecipientKeyID, nRecipientKeyIDSize,
                                               pszKeyEncryptionAlgOID, pbyEncryptedKey,
                                               nEncryptedKeySize, &pNode_RecipientInfos);
    if (VOMU_OK != nResult) return nResult;

    NodeEx* pNode = NULL;
    nResult = ConstructNode_EncryptedContentInfo(pszEncryptedContentTypeOID,
                                                 pszContentEncryptionAlgOID, pbyParam, nParamSize,
                                                 pbyEncryptedContent, nEncryptedContentSize, &pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_EncryptedContentInfo", nResult);
    NodePtr pNode_EncryptedContentInfo(pNode);

    nResult = ConstructNode_EnvelopedData(kCMSVersion, pNode_RecipientInfos.get(),
                                          pNode_EncryptedContentInfo.get(), &pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_EnvelopedData", nResult);
    pNode_RecipientInfos.release();
    pNode_EncryptedContentInfo.release();
    NodePtr pNode_EnvelopedData(pNode);

    nResult = ConstructNode_ContentInfo(pszContentTypeOID, pNode_EnvelopedData.get(), &pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ContentInfo", nResult);
    pNode_EnvelopedData.release();
    return morv::EncodeTreeAndHandOver(__func__, pNode, ppbyDER, pnDERSize);
}
