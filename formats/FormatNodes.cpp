#include "FormatNodes.h"

#include <openssl/objects.h>

#include <cstring>
#include <memory>
#include <new>

#include "HandOver.h"
#include "OsslPtr.h"
#include "VomuStep.h"
#include "vomu_result.h"

namespace morv {

namespace {
const size_t kNumberSize = 32;
}

NodeEx* NewLeafNodeEx(unsigned char byTag, const unsigned char* pbyValue, size_t nSize)
{
    NodeEx* pNode = new (std::nothrow) NodeEx();
    if (!pNode) return nullptr;
    pNode->Tag = byTag;
    if (0 == nSize) return pNode;
    pNode->pValue = new (std::nothrow) unsigned char[nSize];
    if (!pNode->pValue) {
        delete pNode;
        return nullptr;
    }
    memcpy(pNode->pValue, pbyValue, nSize);
    pNode->ValueLength = nSize;
    pNode->CurrentValueLength = nSize;
    return pNode;
}

int ConstructNode_UnsignedInteger(const unsigned char* pbyNumber, int nNumberSize,
                                  const char* pszStep, NodeEx** ppNode)
{
    VOMU_FAIL_IF(NULL == pbyNumber || 0 >= nNumberSize || NULL == ppNode, "Check parameter",
                 VOMU_E_INVALID_ARG);
    size_t nStart = 0;
    while (nStart + 1 < (size_t)nNumberSize && 0 == pbyNumber[nStart]) nStart++;
    const size_t nDigits = (size_t)nNumberSize - nStart;
    const size_t nPad = (pbyNumber[nStart] & 0x80) ? 1 : 0;

    OwnedArray<unsigned char> pbyValue = NewArray<unsigned char>(nPad + nDigits);
    VOMU_FAIL_IF(!pbyValue, "New memory", VOMU_E_FAIL);
    pbyValue[0] = 0;
    memcpy(pbyValue.get() + nPad, pbyNumber + nStart, nDigits);

    NodeEx* pNode = NewLeafNodeEx(0x02, pbyValue.get(), nPad + nDigits);
    VOMU_FAIL_IF(!pNode, pszStep, VOMU_E_FAIL);
    *ppNode = pNode;
    return VOMU_OK;
}

bool ReserveChildren(NodeEx* pNode, size_t nCount)
{
    try {
        pNode->vetNodes.reserve(nCount);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int AdoptChild(NodeEx* pParent, NodeEx* pChild, const char* pszStep)
{
    if (pParent->AddChild(pChild)) return VOMU_OK;
    VOMU_STEP_FAILED(pszStep, VOMU_E_FAIL, "!AddChild");
    return VOMU_E_FAIL;
}

bool ReadUnsignedInteger32(const NodeEx* pNode, unsigned char* pbyOut)
{
    if (0x02 != pNode->Tag || !HasDefiniteLength(pNode) || 0 == pNode->ValueLength ||
        pNode->ValueLength > kNumberSize + 1)
        return false;
    const unsigned char* pbyValue = ParsedValue(pNode);
    size_t nSize = (size_t)pNode->ValueLength;
    if (pbyValue[0] & 0x80) return false;  // X.690 8.3.3: a negative number
    if (nSize == kNumberSize + 1) {
        if (0 != pbyValue[0]) return false;
        pbyValue++;
        nSize--;
    }
    memset(pbyOut, 0, kNumberSize - nSize);
    memcpy(pbyOut + kNumberSize - nSize, pbyValue, nSize);
    return true;
}

int EncodeTreeAndHandOver(NodeEx* pTree, unsigned char** ppbyDER, int* pnDERSize)
{
    std::unique_ptr<NodeEx> pOwnedTree(pTree);
    unsigned char* pbyEncoded = NULL;
    int nEncodedSize = 0;
    int nDeepLevel = 0;
    int nResult = EncodeASN1ToMemory(pOwnedTree.get(), &pbyEncoded, &nEncodedSize, &nDeepLevel);
    OwnedArray<unsigned char> pEncoded(pbyEncoded);
    VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1ToMemory", nResult);
    return HandOver(pEncoded, ppbyDER, pnDERSize, (size_t)nEncodedSize);
}

bool ReadParsedOctets(const NodeEx* pNode, int64_t nOffset, unsigned char* pbyOut, size_t nSize)
{
    if (pNode->pSourceFile)
        return 0 == fseeko(pNode->pSourceFile, (off_t)nOffset, SEEK_SET) &&
               nSize == fread(pbyOut, 1, nSize, pNode->pSourceFile);
    if (nSize > 0) memcpy(pbyOut, pNode->pSourceData + nOffset, nSize);
    return true;
}

int JoinParsedValues(const std::vector<const NodeEx*>& vetPieces, size_t nSize,
                     const char* pszMemoryReason, OwnedArray<unsigned char>* ppOut)
{
    OwnedArray<unsigned char> pbyJoined = NewArray<unsigned char>(nSize + 1);
    VOMU_STEP_CHECK_(!pbyJoined, pszMemoryReason, "New memory", VOMU_E_FAIL, false);
    size_t nPos = 0;
    for (const NodeEx* pPiece : vetPieces) {
        memcpy(pbyJoined.get() + nPos, ParsedValue(pPiece), (size_t)pPiece->ValueLength);
        nPos += (size_t)pPiece->ValueLength;
    }
    pbyJoined[nPos] = 0;
    *ppOut = std::move(pbyJoined);
    return VOMU_OK;
}

int ObjectText(const ASN1_OBJECT* pOid, const ObjectTextSteps& steps, OwnedArray<char>* ppText,
               size_t* pnText)
{
    int nLength = OBJ_obj2txt(NULL, 0, pOid, 1);
    if (nLength < 0) nLength = 0;
    VOMU_STEP_CHECK_(0 == nLength, steps.pszLengthReason, steps.pszMeasure, VOMU_E_FAIL, true);
    OwnedArray<char> pszOid = NewArray<char>((size_t)nLength + 1);
    VOMU_STEP_CHECK_(!pszOid, steps.pszMemoryReason, "New memory", VOMU_E_FAIL, false);
    memset(pszOid.get(), 0, (size_t)nLength + 1);
    const bool bWritten = nLength == OBJ_obj2txt(pszOid.get(), nLength + 1, pOid, 1);
    VOMU_STEP_CHECK_(!bWritten, steps.pszLengthReason, steps.pszWrite, VOMU_E_FAIL, true);
    *ppText = std::move(pszOid);
    *pnText = (size_t)nLength;
    return VOMU_OK;
}

int DecodeObjectText(const unsigned char* pbyElement, size_t nElementSize,
                     const ObjectTextSteps& steps, OwnedArray<char>* ppText, size_t* pnText)
{
    const unsigned char* pbyCursor = pbyElement;
    OsslPtr<ASN1_OBJECT> pObject(d2i_ASN1_OBJECT(NULL, &pbyCursor, (long)nElementSize));
    VOMU_STEP_CHECK_(!pObject, steps.pszDecodeReason, steps.pszDecode, VOMU_E_FAIL, true);
    return ObjectText(pObject.get(), steps, ppText, pnText);
}

}  // namespace morv
