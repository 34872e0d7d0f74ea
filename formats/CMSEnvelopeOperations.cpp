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

// Takes over the array of a finished value as a leaf's owned value.
NodeEx* NewOwningLeaf(unsigned char byTag, OwnedArray<unsigned char>& pValue, int nSize)
{
    NodeEx* pNode = new (std::nothrow) NodeEx();
    if (!pNode) return nullptr;
    pNode->Tag = byTag;
    pNode->pValue = pValue.release();
    pNode->ValueLength = (unsigned long long)nSize;
    pNode->CurrentValueLength = (unsigned long long)nSize;
    return pNode;
}

// Dotted decimal arcs (X.660 A.2): at least two, digits only, no empty arc, no leading zero.
// a2d_ASN1_OBJECT alone reads "1.2.3." and "1.2.3 " as 1.2.3 and "1..2" as 1.0.2.
bool IsDottedDecimalOID(const char* pszOID)
{
    int nArcs = 0;
    const char* p = pszOID;
    for (;;) {
        const char* pArc = p;
        while (*p >= '0' && *p <= '9') p++;
        const size_t nDigits = (size_t)(p - pArc);
        if (0 == nDigits || (nDigits > 1 && '0' == *pArc)) return false;
        nArcs++;
        if ('\0' == *p) return nArcs >= 2;
        if ('.' != *p) return false;
        p++;
    }
}

}  // namespace

// ---- Object identifiers, AlgorithmIdentifier and ContentInfo ----

int Encode_ObjectIdentifier(const char* pszOID, unsigned char** ppbyEncoded, int* pnEncodedSize,
                            bool bWithTag)
{
    VOMU_FAIL_IF(NULL == pszOID || NULL == ppbyEncoded || NULL == pnEncodedSize,
                 "Check parameter", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(!IsDottedDecimalOID(pszOID), "Check OID text", VOMU_E_FAIL);
    int nValueLength = a2d_ASN1_OBJECT(NULL, 0, pszOID, -1);
    VOMU_FAIL_IF_OSSL(nValueLength <= 0, "a2d_ASN1_OBJECT(1)", VOMU_E_FAIL);

    OwnedArray<unsigned char> pbyValueOctets = morv::NewArray<unsigned char>((size_t)nValueLength);
    VOMU_FAIL_IF(!pbyValueOctets, "New memory", VOMU_E_FAIL);
    memset(pbyValueOctets.get(), 0, (size_t)nValueLength);
    nValueLength = a2d_ASN1_OBJECT(pbyValueOctets.get(), nValueLength, pszOID, -1);
    VOMU_FAIL_IF_OSSL(nValueLength <= 0, "a2d_ASN1_OBJECT(2)", VOMU_E_FAIL);

    if (!bWithTag) {
        morv::HandOver(pbyValueOctets, ppbyEncoded, pnEncodedSize, (size_t)nValueLength);
        return VOMU_OK;
    }
    unsigned char* pbyTLV = NULL;
    int nTLVSize = 0;
    int nResult = ASN1Encode(0x06, pbyValueOctets.get(), nValueLength, &pbyTLV, &nTLVSize);
    OwnedArray<unsigned char> pTLV(pbyTLV);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ASN1Encode", nResult);
    return morv::HandOver(pTLV, ppbyEncoded, pnEncodedSize, (size_t)nTLVSize);
}

int Encode_AlgorithmIdentifier(const char* pszOID, unsigned char* pbyParam, int nParamSize,
                               unsigned char** ppbyEncoded, int* pnEncodedSize, bool bWithTag)
{
    VOMU_FAIL_IF(NULL == ppbyEncoded || NULL == pnEncodedSize || 0 > nParamSize ||
                     (NULL == pbyParam && 0 != nParamSize),
                 "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyOID = NULL;
    int nOIDSize = 0;
    int nResult = Encode_ObjectIdentifier(pszOID, &pbyOID, &nOIDSize, true);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_ObjectIdentifier", nResult);
    OwnedArray<unsigned char> pOID(pbyOID);
    VOMU_FAIL_IF(nParamSize > INT_MAX - nOIDSize, "Check parameter size", VOMU_E_INVALID_ARG);

    const int nContentSize = nOIDSize + nParamSize;
    OwnedArray<unsigned char> pbyValueOctets = morv::NewArray<unsigned char>((size_t)nContentSize);
    VOMU_FAIL_IF(!pbyValueOctets, "New memory", VOMU_E_FAIL);
    memcpy(pbyValueOctets.get(), pOID.get(), (size_t)nOIDSize);
    if (nParamSize > 0) memcpy(pbyValueOctets.get() + nOIDSize, pbyParam, (size_t)nParamSize);

    if (!bWithTag) {
        morv::HandOver(pbyValueOctets, ppbyEncoded, pnEncodedSize, (size_t)nContentSize);
        return VOMU_OK;
    }
    unsigned char* pbyTLV = NULL;
    int nTLVSize = 0;
    nResult = ASN1Encode(0x30, pbyValueOctets.get(), nContentSize, &pbyTLV, &nTLVSize);
    OwnedArray<unsigned char> pTLV(pbyTLV);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ASN1Encode(Algorithm identifier)", nResult);
    return morv::HandOver(pTLV, ppbyEncoded, pnEncodedSize, (size_t)nTLVSize);
}

int ConstructNode_ObjectIdentifier(const char* pszOID, NodeEx** ppNode)
{
    VOMU_FAIL_IF(NULL == ppNode, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyOID = NULL;
    int nOIDSize = 0;
    int nResult = Encode_ObjectIdentifier(pszOID, &pbyOID, &nOIDSize, false);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_ObjectIdentifier", nResult);
    OwnedArray<unsigned char> pOID(pbyOID);

    NodeEx* pNode_contentType = NewOwningLeaf(0x06, pOID, nOIDSize);
    VOMU_FAIL_IF(!pNode_contentType, "new NodeEx(pNode_contentType)", VOMU_E_FAIL);
    *ppNode = pNode_contentType;
    return VOMU_OK;
}

int ConstructNode_AlgorithmIdentifier(const char* pszOID, unsigned char* pbyParam, int nParamSize,
                                      NodeEx** ppNode)
{
    VOMU_FAIL_IF(NULL == ppNode, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyContent = NULL;
    int nContentSize = 0;
    int nResult = Encode_AlgorithmIdentifier(pszOID, pbyParam, nParamSize, &pbyContent,
                                             &nContentSize, false);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_AlgorithmIdentifier", nResult);
    OwnedArray<unsigned char> pContent(pbyContent);

    NodeEx* pNode_contentEncryptionAlgorithm = NewOwningLeaf(0x30, pContent, nContentSize);
    VOMU_FAIL_IF(!pNode_contentEncryptionAlgorithm, "new NodeEx(pNode_contentEncryptionAlgorithm)",
                 VOMU_E_FAIL);
    *ppNode = pNode_contentEncryptionAlgorithm;
    return VOMU_OK;
}

int ConstructNode_ContentInfo(const char* pszContentTypeOID, NodeEx* pNode_Content,
                              NodeEx** ppNode_ContentInfo)
{
    VOMU_FAIL_IF(NULL == pNode_Content || NULL == ppNode_ContentInfo, "Check parameter",
                 VOMU_E_INVALID_ARG);
    NodeEx* pNode_contentType = NULL;
    int nResult = ConstructNode_ObjectIdentifier(pszContentTypeOID, &pNode_contentType);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ObjectIdentifier", nResult);
    NodePtr pContentType(pNode_contentType);

    NodePtr pExplicit(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pExplicit, "new NodeEx(content)", VOMU_E_FAIL);
    NodePtr pContentInfo(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pContentInfo, "new NodeEx(CMSContentInfo)", VOMU_E_FAIL);

    // Room for every child first: once the caller's content is adopted nothing may fail, or
    // the content would be gone while the caller still believes it owns it.
    const bool bReserved =
        morv::ReserveChildren(pExplicit.get(), 1) && morv::ReserveChildren(pContentInfo.get(), 2);
    VOMU_FAIL_IF(!bReserved, "Reserve ContentInfo children", VOMU_E_FAIL);
    pExplicit->Tag = 0xA0;
    pContentInfo->Tag = 0x30;
    nResult = morv::AdoptChild(pContentInfo.get(), pContentType.release(), "AddChild(contentType)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(contentType)", nResult);
    pExplicit->AddChild(pNode_Content);
    nResult = morv::AdoptChild(pContentInfo.get(), pExplicit.release(), "AddChild(content)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(content)", nResult);
    *ppNode_ContentInfo = pContentInfo.release();
    return VOMU_OK;
}

int GetOIDFromNID(int nNID, char** ppszOID, int* pnOIDSize)
{
    VOMU_FAIL_IF(NULL == ppszOID || NULL == pnOIDSize, "Check parameter", VOMU_E_INVALID_ARG);
    ASN1_OBJECT* pASN1Obj = OBJ_nid2obj(nNID);
    VOMU_FAIL_IF_OSSL(NULL == pASN1Obj, "OBJ_nid2obj", VOMU_E_FAIL);
    morv::OsslPtr<ASN1_OBJECT> pObject(pASN1Obj);

    const int nOIDLen = OBJ_obj2txt(NULL, 0, pObject.get(), 1);
    VOMU_FAIL_IF_OSSL(0 >= nOIDLen, "OBJ_obj2txt", VOMU_E_FAIL);
    OwnedArray<char> pszOID = morv::NewArray<char>((size_t)nOIDLen + 1);
    VOMU_FAIL_IF(!pszOID, "New memory", VOMU_E_FAIL);
    memset(pszOID.get(), 0, (size_t)nOIDLen + 1);
    const int nResult = OBJ_obj2txt(pszOID.get(), nOIDLen + 1, pObject.get(), 1);
    VOMU_FAIL_IF_OSSL(nResult != nOIDLen, "OBJ_obj2txt", VOMU_E_FAIL);
    return morv::HandOver(pszOID, ppszOID, pnOIDSize, (size_t)nOIDLen);
}

// ---- SM2Cipher codec ----

namespace {

const int kSM2CoordinateSize = 32;
const int SM3_HASH_SIZE = 32;
// x1 || y1 || C3 around C2 in SM2RawCiphertext.
const int kSM2RawOverhead = 2 * kSM2CoordinateSize + SM3_HASH_SIZE;

// The four fields of a parsed SM2Cipher, each checked.
struct SM2CipherFields {
    unsigned char byX[kSM2CoordinateSize];
    unsigned char byY[kSM2CoordinateSize];
    const NodeEx* pHash;
    const NodeEx* pCipherText;
};

int CheckSM2CipherFields(const NodeEx* pNode_SM2Cipher, SM2CipherFields* pFields)
{
    const std::vector<NodeEx*>& vetFields = pNode_SM2Cipher->vetNodes;
    VOMU_FAIL_IF(4 != vetFields.size(), "Invalid SM2Cipher nodes number.", VOMU_E_BAD_ASN1_DATA);
    const bool bX = morv::ReadUnsignedInteger32(vetFields[0], pFields->byX);
    VOMU_FAIL_IF(!bX, "Check XCoordinate size in SM2Cipher.", VOMU_E_BAD_ASN1_DATA);
    const bool bY = morv::ReadUnsignedInteger32(vetFields[1], pFields->byY);
    VOMU_FAIL_IF(!bY, "Check YCoordinate size in SM2Cipher.", VOMU_E_BAD_ASN1_DATA);
    pFields->pHash = vetFields[2];
    const unsigned long long nHASH = pFields->pHash->ValueLength;
    VOMU_FAIL_IF(0x04 != pFields->pHash->Tag || !morv::HasDefiniteLength(pFields->pHash) ||
                     SM3_HASH_SIZE != nHASH,
                 "Check SM3 hash size in SM2Cipher.", VOMU_E_BAD_ASN1_DATA);
    pFields->pCipherText = vetFields[3];
    const unsigned long long nCipherText = pFields->pCipherText->ValueLength;
    VOMU_FAIL_IF(0x04 != pFields->pCipherText->Tag ||
                     !morv::HasDefiniteLength(pFields->pCipherText) ||
                     nCipherText > INT_MAX - kSM2RawOverhead,
                 "Check CipherText in SM2Cipher.", VOMU_E_BAD_ASN1_DATA);
    return VOMU_OK;
}

}  // namespace

int Encode_SM2Cipher(unsigned char* pbyRaw, int nRawSize, unsigned char** ppbyDER, int* pnDERSize)
{
    VOMU_FAIL_IF(NULL == pbyRaw || NULL == ppbyDER || NULL == pnDERSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(nRawSize <= kSM2RawOverhead, "Check C2 byte size.", VOMU_E_INVALID_ARG);
    const int nC2Size = nRawSize - kSM2RawOverhead;

    NodeEx* pNode_SM2Cipher = NULL;
    int nResult = ConstructNode_SM2Cipher(pbyRaw, pbyRaw + kSM2CoordinateSize,
                                          pbyRaw + 2 * kSM2CoordinateSize + nC2Size,
                                          pbyRaw + 2 * kSM2CoordinateSize, nC2Size,
                                          &pNode_SM2Cipher);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SM2Cipher", nResult);
    return morv::EncodeTreeAndHandOver(pNode_SM2Cipher, ppbyDER, pnDERSize);
}

int ConstructNode_SM2Cipher(unsigned char* pbyX, unsigned char* pbyY, unsigned char* pbyHash,
                            unsigned char* pbyC2, int nC2Size, NodeEx** ppNode_SM2Cipher)
{
    VOMU_FAIL_IF(NULL == pbyX || NULL == pbyY || NULL == pbyHash || 0 > nC2Size ||
                     (NULL == pbyC2 && 0 != nC2Size) || NULL == ppNode_SM2Cipher,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode = NULL;
    int nResult = morv::ConstructNode_UnsignedInteger(pbyX, kSM2CoordinateSize,
                                                      "new NodeEx(XCoordinate)", &pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(XCoordinate)", VOMU_E_FAIL);
    NodePtr pX(pNode);
    nResult = morv::ConstructNode_UnsignedInteger(pbyY, kSM2CoordinateSize,
                                                  "new NodeEx(YCoordinate)", &pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(YCoordinate)", VOMU_E_FAIL);
    NodePtr pY(pNode);
    NodePtr pHash(morv::NewLeafNodeEx(0x04, pbyHash, SM3_HASH_SIZE));
    VOMU_FAIL_IF(!pHash, "new NodeEx(HASH)", VOMU_E_FAIL);
    NodePtr pCipherText(morv::NewLeafNodeEx(0x04, pbyC2, (size_t)nC2Size));
    VOMU_FAIL_IF(!pCipherText, "new NodeEx(CipherText)", VOMU_E_FAIL);

    NodeEx* pNode_SM2Cipher = new (std::nothrow) NodeEx();
    VOMU_FAIL_IF(!pNode_SM2Cipher, "new NodeEx(SM2Cipher)", VOMU_E_FAIL);
    NodePtr pSM2Cipher(pNode_SM2Cipher);
    pSM2Cipher->Tag = 0x30;
    NodePtr* const apFields[] = {&pX, &pY, &pHash, &pCipherText};
    for (NodePtr* pField : apFields) {
        nResult = morv::AdoptChild(pSM2Cipher.get(), pField->release(), "AddChild(SM2Cipher field)");
        if (VOMU_OK != nResult) return nResult;
    }
    *ppNode_SM2Cipher = pSM2Cipher.release();
    return VOMU_OK;
}

int Decode_SM2Cipher(unsigned char* pbyDER, int nDERSize, unsigned char** ppbyRaw, int* pnRawSize)
{
    VOMU_FAIL_IF(NULL == pbyDER || 0 >= nDERSize || NULL == ppbyRaw || NULL == pnRawSize,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_SM2Cipher = NULL;
    int nResult = DecodeASN1MemoryEx(pbyDER, (unsigned long)nDERSize, &pNode_SM2Cipher);
    NodePtr pTree(pNode_SM2Cipher);
    VOMU_FAIL_IF(VOMU_OK != nResult || NULL == pNode_SM2Cipher, "DecodeASN1MemoryEx", VOMU_E_FAIL);
    VOMU_FAIL_IF(0x30 != pTree->Tag || !morv::HasDefiniteLength(pTree.get()) ||
                     (unsigned long long)nDERSize != pTree->TotalLength,
                 "Check SM2Cipher SEQUENCE.", VOMU_E_BAD_ASN1_DATA);

    SM2CipherFields fields;
    nResult = CheckSM2CipherFields(pTree.get(), &fields);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CheckSM2CipherFields", nResult);

    const int nC2Size = (int)fields.pCipherText->ValueLength;
    const size_t nRawSize = (size_t)nC2Size + kSM2RawOverhead;
    OwnedArray<unsigned char> pbyC1C2C3 = morv::NewArray<unsigned char>(nRawSize);
    VOMU_FAIL_IF(!pbyC1C2C3, "New memory", VOMU_E_FAIL);
    unsigned char* pbyOut = pbyC1C2C3.get();
    memcpy(pbyOut, fields.byX, kSM2CoordinateSize);
    memcpy(pbyOut + kSM2CoordinateSize, fields.byY, kSM2CoordinateSize);
    if (nC2Size > 0)
        memcpy(pbyOut + 2 * kSM2CoordinateSize, morv::ParsedValue(fields.pCipherText),
               (size_t)nC2Size);
    memcpy(pbyOut + 2 * kSM2CoordinateSize + nC2Size, morv::ParsedValue(fields.pHash),
           SM3_HASH_SIZE);
    return morv::HandOver(pbyC1C2C3, ppbyRaw, pnRawSize, nRawSize);
}

// ---- EnvelopedData writer and readers ----

namespace {

const unsigned char kNullParameters[] = {0x05, 0x00};

// RFC 5652 6.1 and 6.2.1: a recipient named by subject key identifier makes both versions 2.
const int kCMSVersion = 2;

int ConstructNode_Version(int nVersion, NodePtr* pOut)
{
    const unsigned char byVersion = (unsigned char)(nVersion & 0xFF);
    NodePtr pNode_version(morv::NewLeafNodeEx(0x02, &byVersion, 1));
    VOMU_FAIL_IF(!pNode_version, "new NodeEx(version)", VOMU_E_FAIL);
    *pOut = std::move(pNode_version);
    return VOMU_OK;
}

// Adopts every node in order into pParent, which has room reserved for them all.
int AdoptAll(NodeEx* pParent, std::initializer_list<NodePtr*> children, const char* pszStep)
{
    VOMU_FAIL_IF(!morv::ReserveChildren(pParent, children.size()), pszStep, VOMU_E_FAIL);
    for (NodePtr* pChild : children) {
        const int nResult = morv::AdoptChild(pParent, pChild->release(), pszStep);
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
    int nResult = ConstructNode_Version(nVersion, &pNode_version);
    if (VOMU_OK != nResult) return nResult;

    NodePtr pNode_rip(morv::NewLeafNodeEx(0x80, pbyRecipientKeyID, (size_t)nRecipientKeyIDSize));
    VOMU_FAIL_IF(!pNode_rip, "new NodeEx(rid)", VOMU_E_FAIL);

    unsigned char* pbyAlgorithm = NULL;
    int nAlgorithmSize = 0;
    nResult = Encode_AlgorithmIdentifier(pszKeyEncryptionAlgOID, pbyParam, nParamSize,
                                         &pbyAlgorithm, &nAlgorithmSize, false);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_AlgorithmIdentifier", nResult);
    OwnedArray<unsigned char> pAlgorithm(pbyAlgorithm);
    NodePtr pNode_keyEncryptionAlgorithm(NewOwningLeaf(0x30, pAlgorithm, nAlgorithmSize));
    VOMU_FAIL_IF(!pNode_keyEncryptionAlgorithm, "new NodeEx(keyEncryptionAlgorithm)", VOMU_E_FAIL);

    NodePtr pNode_encryptedKey(
        morv::NewLeafNodeEx(0x04, pbyEncryptedKey, (size_t)nEncryptedKeySize));
    VOMU_FAIL_IF(!pNode_encryptedKey, "new NodeEx(encryptedKey)", VOMU_E_FAIL);

    NodePtr pNode_KeyTransRecipientInfo(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_KeyTransRecipientInfo, "new NodeEx(KeyTransRecipientInfo)", VOMU_E_FAIL);
    pNode_KeyTransRecipientInfo->Tag = 0x30;
    nResult = AdoptAll(pNode_KeyTransRecipientInfo.get(),
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
    VOMU_FAIL_IF(!pNode_EncryptedContentInfo, "new NodeEx(pNode_EncryptedContentInfo)", VOMU_E_FAIL);
    pNode_EncryptedContentInfo->Tag = 0x30;
    nResult = AdoptAll(pNode_EncryptedContentInfo.get(),
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
    int nResult = ConstructNode_Version(nVersion, &pNode_version);
    if (VOMU_OK != nResult) return nResult;
    NodePtr pNode_EnvelopedData(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_EnvelopedData, "new NodeEx(EnvelopedData)", VOMU_E_FAIL);
    // Room first: once the caller's nodes are adopted nothing may fail.
    VOMU_FAIL_IF(!morv::ReserveChildren(pNode_EnvelopedData.get(), 3), "Reserve EnvelopedData children",
                 VOMU_E_FAIL);
    pNode_EnvelopedData->Tag = 0x30;
    pNode_EnvelopedData->AddChild(pNode_version.release());
    pNode_EnvelopedData->AddChild(pNode_RecipientInfos);
    pNode_EnvelopedData->AddChild(pNode_EncryptedContentInfo);
    *ppNode = pNode_EnvelopedData.release();
    return VOMU_OK;
}

namespace {

int ConstructNode_RecipientInfos(unsigned char* pbyRecipientKeyID, int nRecipientKeyIDSize,
                                 const char* pszKeyEncryptionAlgOID, unsigned char* pbyEncryptedKey,
                                 int nEncryptedKeySize, NodePtr* pOut)
{
    NodeEx* pNode = NULL;
    int nResult = ConstructNode_KeyTransRecipientInfo(
        kCMSVersion, pbyRecipientKeyID, nRecipientKeyIDSize, pszKeyEncryptionAlgOID,
        (unsigned char*)kNullParameters, (int)sizeof kNullParameters, pbyEncryptedKey,
        nEncryptedKeySize, &pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_KeyTransRecipientInfo", nResult);
    NodePtr pNode_KeyTransRecipientInfo(pNode);
    NodePtr pNode_RecipientInfos(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_RecipientInfos, "new NodeEx(RecipientInfos)", VOMU_E_FAIL);
    pNode_RecipientInfos->Tag = 0x31;
    nResult = AdoptAll(pNode_RecipientInfos.get(), {&pNode_KeyTransRecipientInfo},
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
    int nResult = ConstructNode_RecipientInfos(pbyRecipientKeyID, nRecipientKeyIDSize,
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
    return morv::EncodeTreeAndHandOver(pNode, ppbyDER, pnDERSize);
}

// ---- EnvelopedData readers ----

namespace {

// The elements of a parsed envelope that the readers take values from.
struct CMSEnvelopeNodes {
    const NodeEx* pRid;
    const NodeEx* pKeyEncryptionAlgOid;
    const NodeEx* pEncryptedKey;
    const NodeEx* pContentEncryptionAlgOid;
    const NodeEx* pParameter;
    NodeEx* pEncryptedContent;
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
    if (!LocateEnvelopeNodes(pRoot, pNodes))
        VOMU_FAIL_IF(true, "Check CMS envelope nodes", VOMU_E_ENVELOPE_FORMAT);
    VOMU_STEP_OK("Check CMS envelope nodes");
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

// One step line for a condition whose reason is given as text.
int StepCheck(bool bFailed, const char* pszStep, int nCode, const char* pszReason, bool bOpenssl)
{
    if (!bFailed) {
        VOMU_STEP_OK(pszStep);
        return VOMU_OK;
    }
    if (bOpenssl) VOMU_STEP_FAILED_OSSL(pszStep, nCode, pszReason);
    else VOMU_STEP_FAILED(pszStep, nCode, pszReason);
    return nCode;
}

// The OID as dotted text. The element is taken as the two octets before the value and the
// value, so an OID whose length needs the long form does not decode (no identifier in use
// comes near 128 content octets).
int ReadAlgorithmOid(const NodeEx* pOid, const AlgOidTexts& texts, OwnedArray<char>* ppszOid,
                     int* pnOidSize)
{
    const size_t nElementSize = (size_t)pOid->ValueLength + 2;
    OwnedArray<unsigned char> pbyElement = morv::NewArray<unsigned char>(nElementSize);
    int nResult = StepCheck(!pbyElement, "New memory", VOMU_E_FAIL, texts.pszASN1Reason, false);
    if (VOMU_OK != nResult) return nResult;
    memset(pbyElement.get(), 0, nElementSize);
    const bool bRead = morv::ReadParsedOctets(pOid, pOid->ValueOffset - 2, pbyElement.get(), nElementSize);
    VOMU_FAIL_IF(!bRead, "Read algorithm identifier", VOMU_E_FAIL);

    size_t nOidSize = 0;
    nResult =
        morv::DecodeObjectText(pbyElement.get(), nElementSize, texts.steps, ppszOid, &nOidSize);
    if (VOMU_OK != nResult) return nResult;
    *pnOidSize = (int)nOidSize;
    return VOMU_OK;
}

// A value copied into a new array of its length.
int CopyValue(const NodeEx* pNode, const char* pszMemoryReason,
              OwnedArray<unsigned char>* ppbyOut)
{
    const size_t nSize = (size_t)pNode->ValueLength;
    OwnedArray<unsigned char> pbyCopy = morv::NewArray<unsigned char>(nSize);
    const int nResult = StepCheck(!pbyCopy, "New memory", VOMU_E_FAIL, pszMemoryReason, false);
    if (VOMU_OK != nResult) return nResult;
    const bool bRead = morv::ReadParsedOctets(pNode, pNode->ValueOffset, pbyCopy.get(), nSize);
    VOMU_FAIL_IF(!bRead, "fread", VOMU_E_FAIL);
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
    int nResult = CopyValue(nodes.pRid, "!pbyRecipientSubjectKeyID",
                            &pFields->pbyRecipientSubjectKeyID);
    if (VOMU_OK != nResult) return nResult;
    pFields->nRecipientKeyIDSize = (int)nodes.pRid->ValueLength;

    nResult = ReadAlgorithmOid(nodes.pKeyEncryptionAlgOid, kKeyEncryptionAlgTexts,
                                   &pFields->pszKeyEncryptionAlgOid,
                                   &pFields->nKeyEncryptionAlgOidSize);
    if (VOMU_OK != nResult) return nResult;

    nResult = CopyValue(nodes.pEncryptedKey, "!pbyEncryptedKey", &pFields->pbyEncryptedKey);
    if (VOMU_OK != nResult) return nResult;
    pFields->nEncryptedKeySize = (int)nodes.pEncryptedKey->ValueLength;

    return ReadAlgorithmOid(nodes.pContentEncryptionAlgOid, kContentEncryptionAlgTexts,
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
int JoinEncryptedContent(const NodeEx* pNode, OwnedArray<unsigned char>* ppbyOut, int* pnSize)
{
    std::vector<const NodeEx*> vetChunks;
    if (pNode->vetNodes.empty()) vetChunks.push_back(pNode);
    for (const NodeEx* pSegment : pNode->vetNodes) vetChunks.push_back(pSegment);
    uint64_t nTotal = 0;
    for (const NodeEx* pChunk : vetChunks) nTotal += pChunk->ValueLength;
    VOMU_FAIL_IF(nTotal > (uint64_t)INT_MAX - 1, "Check encrypted content size", VOMU_E_ENVELOPE_FORMAT);

    const int nResult =
        morv::JoinParsedValues(vetChunks, (size_t)nTotal, "!pbyEncryptedContent", ppbyOut);
    if (VOMU_OK != nResult) return nResult;
    *pnSize = (int)nTotal;
    return VOMU_OK;
}

// What the memory and the file reader share once the tree is decoded: the structure checked,
// then the fields both hand over alike.
int ReadEnvelopeTree(const NodeEx* pRoot, CMSEnvelopeNodes* pNodes, CMSEnvelopeFields* pFields)
{
    int nResult = CheckEnvelopeNodes(pRoot, pNodes);
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
    NodeEx* pCMSEnvelope = NULL;
    int nResult = DecodeASN1MemoryEx(pbyDER, (unsigned long)nDERSize, &pCMSEnvelope);
    NodePtr pTree(pCMSEnvelope);
    VOMU_FAIL_IF(VOMU_OK != nResult || NULL == pCMSEnvelope, "DecodeASN1MemoryEx", VOMU_E_FAIL);
    CMSEnvelopeNodes nodes = {};
    CMSEnvelopeFields fields;
    nResult = ReadEnvelopeTree(pTree.get(), &nodes, &fields);
    if (VOMU_OK != nResult) return nResult;
    // An empty parameter value (05 00) is handed over as no array at all.
    OwnedArray<unsigned char> pbyContentEncryptionAlgParameter;
    if (nodes.pParameter->ValueLength > 0) {
        nResult = CopyValue(nodes.pParameter, "!pbyContentEncryptionAlgParameter",
                            &pbyContentEncryptionAlgParameter);
        if (VOMU_OK != nResult) return nResult;
    }
    OwnedArray<unsigned char> pbyEncryptedContent;
    int nEncryptedContentSize = 0;
    nResult = JoinEncryptedContent(nodes.pEncryptedContent, &pbyEncryptedContent,
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
    NodeEx* pCMSEnvelope = NULL;
    int nResult = DecodeASN1FileEx(fpFile, &pCMSEnvelope);
    NodePtr pTree(pCMSEnvelope);
    VOMU_FAIL_IF(VOMU_OK != nResult || NULL == pCMSEnvelope, "DecodeASN1FileEx", VOMU_E_FAIL);
    CMSEnvelopeNodes nodes = {};
    CMSEnvelopeFields fields;
    nResult = ReadEnvelopeTree(pTree.get(), &nodes, &fields);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyContentEncryptionAlgParameter;
    nResult = CopyValue(nodes.pParameter, "!pbyContentEncryptionAlgParameter",
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
