#include "CMSEnvelopeOperations.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "FormatNodes.h"
#include "HandOver.h"
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
    morv::HandOver(pTLV, ppbyEncoded, pnEncodedSize, (size_t)nTLVSize);
    return VOMU_OK;
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
    morv::HandOver(pTLV, ppbyEncoded, pnEncodedSize, (size_t)nTLVSize);
    return VOMU_OK;
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
    morv::HandOver(pszOID, ppszOID, pnOIDSize, (size_t)nOIDLen);
    return VOMU_OK;
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
    morv::HandOver(pbyC1C2C3, ppbyRaw, pnRawSize, nRawSize);
    return VOMU_OK;
}
