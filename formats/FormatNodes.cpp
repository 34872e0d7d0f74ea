#include "FormatNodes.h"

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

NodeEx* NewConstructedNode(unsigned char byTag)
{
    NodeEx* pNode = new (std::nothrow) NodeEx();
    if (pNode) pNode->Tag = byTag;
    return pNode;
}

int ConstructNode_Version(const char* pszFunc, int nVersion, NodeEx** ppNode_version)
{
    const unsigned char byVersion = (unsigned char)(nVersion & 0xFF);
    NodeEx* pNode_version = NewLeafNodeEx(0x02, &byVersion, 1);
    VOMU_FAIL_IF_IN(pszFunc, !pNode_version, "new NodeEx(version)", VOMU_E_FAIL);
    *ppNode_version = pNode_version;
    return VOMU_OK;
}

int ConstructNode_UnsignedInteger(const char* pszFunc, const unsigned char* pbyNumber,
                                  int nNumberSize, const char* pszStep, NodeEx** ppNode)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pbyNumber || 0 >= nNumberSize || NULL == ppNode,
                    "Check parameter", VOMU_E_INVALID_ARG);
    size_t nStart = 0;
    while (nStart + 1 < (size_t)nNumberSize && 0 == pbyNumber[nStart]) nStart++;
    const size_t nDigits = (size_t)nNumberSize - nStart;
    const size_t nPad = (pbyNumber[nStart] & 0x80) ? 1 : 0;

    OwnedArray<unsigned char> pbyValue = NewArray<unsigned char>(nPad + nDigits);
    VOMU_FAIL_IF_IN(pszFunc, !pbyValue, "New memory", VOMU_E_FAIL);
    pbyValue[0] = 0;
    memcpy(pbyValue.get() + nPad, pbyNumber + nStart, nDigits);

    NodeEx* pNode = NewLeafNodeEx(0x02, pbyValue.get(), nPad + nDigits);
    VOMU_FAIL_IF_IN(pszFunc, !pNode, pszStep, VOMU_E_FAIL);
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

void MoveChildren(NodeEx* pFrom, NodeEx* pTo)
{
    for (NodeEx* pChild : pFrom->vetNodes) pTo->AddChild(pChild);
    pFrom->vetNodes.clear();
}

int AdoptChild(const char* pszFunc, NodeEx* pParent, NodeEx* pChild, const char* pszStep)
{
    if (pParent->AddChild(pChild)) return VOMU_OK;
    VOMU_STEP_FAILED_IN(pszFunc, pszStep, VOMU_E_FAIL, "!AddChild");
    return VOMU_E_FAIL;
}

bool ReadInteger32(const unsigned char* pbyValue, size_t nSize, unsigned char* pbyOut)
{
    if (0 == nSize || nSize > kNumberSize + 1) return false;
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

Integer32 ReadIntegerNode32(const NodeEx* pNode, unsigned char* pbyOut)
{
    if (0x02 != pNode->Tag || !pNode->vetNodes.empty() || pNode->ValueLength > kNumberSize + 1)
        return Integer32::kRefused;
    unsigned char abyValue[kNumberSize + 1];
    const size_t nSize = (size_t)pNode->ValueLength;
    if (!ReadParsedOctets(pNode, pNode->ValueOffset, abyValue,
                          nSize)) return Integer32::kUnreadable;
    if (!HasDefiniteLength(pNode)) return Integer32::kRefused;
    return ReadInteger32(abyValue, nSize, pbyOut) ? Integer32::kRead : Integer32::kRefused;
}

int EncodeTreeToCaller(const char* pszFunc, NodeEx* pTree, unsigned char** ppbyDER, int* pnDERSize)
{
    unsigned char* pbyEncoded = NULL;
    int nEncodedSize = 0;
    int nDeepLevel = 0;
    int nResult = EncodeASN1ToMemory(pTree, &pbyEncoded, &nEncodedSize, &nDeepLevel);
    OwnedArray<unsigned char> pEncoded(pbyEncoded);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "EncodeASN1ToMemory", nResult);
    return HandOver(pEncoded, ppbyDER, pnDERSize, (size_t)nEncodedSize);
}

int EncodeTreeAndHandOver(const char* pszFunc, NodeEx* pTree, unsigned char** ppbyDER,
                          int* pnDERSize)
{
    std::unique_ptr<NodeEx> pOwnedTree(pTree);
    return EncodeTreeToCaller(pszFunc, pOwnedTree.get(), ppbyDER, pnDERSize);
}

bool ReadParsedOctets(const NodeEx* pNode, int64_t nOffset, unsigned char* pbyOut, size_t nSize)
{
    if (pNode->pSourceFile)
        return 0 == fseeko(pNode->pSourceFile, (off_t)nOffset, SEEK_SET) &&
               nSize == fread(pbyOut, 1, nSize, pNode->pSourceFile);
    if (nSize > 0) memcpy(pbyOut, pNode->pSourceData + nOffset, nSize);
    return true;
}

namespace {

// A primitive string is its own one piece; a constructed one (even without segments, whose
// value may be just the end-of-contents octets) is its segments.
bool IsPrimitive(const NodeEx* pNode) { return 0 == (pNode->Tag & 0x20); }

}  // namespace

uint64_t SegmentsSize(const NodeEx* pNode)
{
    if (IsPrimitive(pNode)) return pNode->ValueLength;
    uint64_t nSize = 0;
    for (const NodeEx* pSegment : pNode->vetNodes) nSize += pSegment->ValueLength;
    return nSize;
}

int JoinSegments(const char* pszFunc, const NodeEx* pNode, const char* pszMemoryReason,
                 OwnedArray<unsigned char>* ppOut)
{
    const size_t nSize = (size_t)SegmentsSize(pNode);
    OwnedArray<unsigned char> pbyJoined = NewArray<unsigned char>(nSize + 1);
    VOMU_FAIL_IF_REASON_IN(pszFunc, !pbyJoined, pszMemoryReason, "New memory", VOMU_E_FAIL);
    size_t nPos = 0;
    const size_t nPieces = IsPrimitive(pNode) ? 1 : pNode->vetNodes.size();
    for (size_t i = 0; i < nPieces; i++) {
        const NodeEx* pPiece = IsPrimitive(pNode) ? pNode : pNode->vetNodes[i];
        memcpy(pbyJoined.get() + nPos, ParsedValue(pPiece), (size_t)pPiece->ValueLength);
        nPos += (size_t)pPiece->ValueLength;
    }
    pbyJoined[nPos] = 0;
    *ppOut = std::move(pbyJoined);
    return VOMU_OK;
}

// A new[] copy of an OpenSSL string's octets.
int CopyAsn1String(const char* pszFunc, const ASN1_STRING* pString, const char* pszMemoryReason,
                   OwnedArray<unsigned char>* ppCopy, size_t* pnSize)
{
    const size_t nSize = (size_t)ASN1_STRING_length(pString);
    OwnedArray<unsigned char> pCopy = NewArray<unsigned char>(nSize);
    VOMU_FAIL_IF_REASON_IN(pszFunc, !pCopy, pszMemoryReason, "New memory", VOMU_E_FAIL);
    if (nSize) memcpy(pCopy.get(), ASN1_STRING_get0_data(pString), nSize);
    *ppCopy = std::move(pCopy);
    *pnSize = nSize;
    return VOMU_OK;
}

// Copies an encoding made by the crypto library into a new[] array for the caller and
// releases the library's buffer.
int HandOverLibraryBuffer(const char* pszFunc, unsigned char* pbyEncoded, int nEncodedSize,
                          unsigned char** ppbyOut, int* pnOutLen)
{
    OpensslBytes pLibraryBuffer(pbyEncoded);
    OwnedArray<unsigned char> pbyCopy = CopyToArray(pbyEncoded, (size_t)nEncodedSize);
    VOMU_FAIL_IF_IN(pszFunc, !pbyCopy, "New memory", VOMU_E_FAIL);
    return HandOver(pbyCopy, ppbyOut, pnOutLen, (size_t)nEncodedSize);
}

}  // namespace morv
