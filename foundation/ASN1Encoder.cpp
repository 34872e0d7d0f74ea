// DER encoding of NodeEx trees (X.690 8.1, 10.1: definite, shortest length form), and their
// copies. The engine's step lines name its one file, ASN1EngineEx.
#define VOMU_STEP_FILE "ASN1EngineEx.cpp"
#include "ASN1EngineEx.h"

#include <climits>
#include <cstring>
#include <new>

#include "ASN1EngineInternal.h"
#include "HandOver.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

namespace {

// The public functions whose steps the helpers below do.
const char ENCODE_TO_MEMORY[] = "EncodeASN1ToMemory";
const char ENCODE_TO_FILE[] = "EncodeASN1ToFile";

// Number of length octets of a definite length (X.690 8.1.3).
int LengthOctetCount(uint64_t nLength)
{
    if (nLength < 0x80) return 1;
    int nCount = 1;
    while (nLength) {
        ++nCount;
        nLength >>= 8;
    }
    return nCount;
}

void WriteLengthOctets(uint64_t nLength, unsigned char* pbyOut, int nCount)
{
    if (1 == nCount) {
        pbyOut[0] = (unsigned char)nLength;
        return;
    }
    pbyOut[0] = (unsigned char)(0x80 + nCount - 1);
    for (int i = nCount - 1; i >= 1; --i, nLength >>= 8) pbyOut[i] = (unsigned char)nLength;
}

int ClampToInt(uint64_t nSize) { return nSize <= (uint64_t)INT_MAX ? (int)nSize : -1; }

bool IsParsed(const NodeEx* pNode)
{
    return NULL == pNode->pValue && (pNode->pSourceData || pNode->pSourceFile);
}

uint64_t WholeDerSize(const NodeEx* pNode);

// The length written into a node's header. A parsed constructed node is re-encoded from its
// children: its decoded ValueLength may count end-of-contents octets (indefinite form) that
// DER does not write.
uint64_t HeaderLength(const NodeEx* pNode)
{
    if (pNode->vetNodes.empty() || !IsParsed(pNode)) return pNode->ValueLength;
    uint64_t nSum = 0;
    for (const NodeEx* pChild : pNode->vetNodes) nSum += WholeDerSize(pChild);
    return nSum;
}

uint64_t WholeDerSize(const NodeEx* pNode)
{
    const uint64_t nLength = HeaderLength(pNode);
    return 1 + LengthOctetCount(nLength) + nLength;
}

// Value octets a leaf contributes to an in-memory encoding (the order of the leaf rules).
uint64_t LeafBytesInMemory(const NodeEx* pNode)
{
    if (pNode->pValue && pNode->CurrentValueLength > 0) return pNode->CurrentValueLength;
    if ((pNode->pSourceData || pNode->pSourceFile) && pNode->ValueLength > 0) return pNode->ValueLength;
    return 0;
}

// The exact number of bytes the memory encoder writes for the subtree, so the one buffer is
// never overrun even by a tree whose bookkeeping is stale or that was parsed (whose
// CurrentValueLength is 0).
uint64_t BytesInMemory(const NodeEx* pNode)
{
    uint64_t nSize = 1 + LengthOctetCount(HeaderLength(pNode));
    if (pNode->vetNodes.empty()) return nSize + LeafBytesInMemory(pNode);
    for (const NodeEx* pChild : pNode->vetNodes) nSize += BytesInMemory(pChild);
    return nSize;
}

// Level bookkeeping of one encoder call: the counter is back at its entry value on every exit.
class DepthGuard {
public:
    explicit DepthGuard(int* pnLevel) : m_pnLevel(pnLevel) { if (m_pnLevel) ++*m_pnLevel; }
    ~DepthGuard() { if (m_pnLevel) --*m_pnLevel; }
    bool TooDeep() const { return m_pnLevel && *m_pnLevel > MAX_RECURSIVE_DEEP_LEVEL; }
private:
    int* m_pnLevel;
};

int ReadSourceFile(FILE* fpFile, int64_t nOffset, unsigned char* pbyOut, size_t nSize)
{
    VOMU_FAIL_IF_IN(ENCODE_TO_MEMORY, 0 != fseeko(fpFile, (off_t)nOffset, SEEK_SET), "fseek", VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(ENCODE_TO_MEMORY, nSize != fread(pbyOut, 1, nSize, fpFile), "fread", VOMU_E_FAIL);
    return VOMU_OK;
}

int CopyLeafToMemory(NodeEx* pNode, unsigned char* pbyOut, int* pnPos)
{
    const uint64_t nCount = LeafBytesInMemory(pNode);
    if (0 == nCount) return VOMU_OK;
    if (pNode->pValue && pNode->CurrentValueLength > 0) {
        memcpy(pbyOut + *pnPos, pNode->pValue, nCount);
    } else if (pNode->pSourceData) {
        memcpy(pbyOut + *pnPos, pNode->pSourceData + pNode->ValueOffset, nCount);
    } else {
        const int nResult = ReadSourceFile(pNode->pSourceFile, pNode->ValueOffset, pbyOut + *pnPos, nCount);
        if (VOMU_OK != nResult) return nResult;
    }
    *pnPos += (int)nCount;
    return VOMU_OK;
}

int WriteHeaderToMemory(NodeEx* pNode, unsigned char* pbyOut, int* pnPos)
{
    pbyOut[(*pnPos)++] = pNode->Tag;
    unsigned char* pbyLength = NULL;
    const int nLengthOctetsSize = EncodeASN1Length((long long)HeaderLength(pNode), &pbyLength);
    VOMU_FAIL_IF_IN(ENCODE_TO_MEMORY, -1 == nLengthOctetsSize, "EncodeASN1Length", VOMU_E_FAIL);
    memcpy(pbyOut + *pnPos, pbyLength, nLengthOctetsSize);
    delete[] pbyLength;
    *pnPos += nLengthOctetsSize;
    return VOMU_OK;
}

int AllocateOutput(NodeEx* pNode, unsigned char** ppEncodedData)
{
    const uint64_t nCurrentRequiredLength = BytesInMemory(pNode);
    VOMU_FAIL_IF_IN(ENCODE_TO_MEMORY, MAX_ASN1_DATA_MEMORY_SIZE < nCurrentRequiredLength, "Check ASN.1 data size",
                    VOMU_E_ASN1_TOO_LARGE);
    *ppEncodedData = new (std::nothrow) unsigned char[nCurrentRequiredLength]();
    VOMU_FAIL_IF_IN(ENCODE_TO_MEMORY, NULL == *ppEncodedData, "New memory", VOMU_E_FAIL);
    return VOMU_OK;
}

int WriteToFile(FILE* fpOut, const unsigned char* pbyData, size_t nSize, int* pnWritten)
{
    // The count of bytes written is an int: larger outputs are refused, not wrapped.
    VOMU_FAIL_IF_IN(ENCODE_TO_FILE, nSize > (size_t)(INT_MAX - *pnWritten), "Check ASN.1 data size",
                    VOMU_E_FILE_TOO_LARGE);
    VOMU_FAIL_IF_IN(ENCODE_TO_FILE, nSize != fwrite(pbyData, 1, nSize, fpOut), "fwrite", VOMU_E_FAIL);
    *pnWritten += (int)nSize;
    return VOMU_OK;
}

// A file-backed leaf is streamed through one buffer of at most 3 MiB.
int CopyFileLeafToFile(NodeEx* pNode, FILE* fpOut, int* pnWritten)
{
    uint64_t nRemaining = pNode->ValueLength;
    const size_t nChunk = nRemaining < ASN1_FILE_COPY_CHUNK_SIZE ? (size_t)nRemaining : ASN1_FILE_COPY_CHUNK_SIZE;
    morv::OwnedArray<unsigned char> pBuffer = morv::NewArray<unsigned char>(nChunk);
    VOMU_FAIL_IF_IN(ENCODE_TO_FILE, !pBuffer, "New memory", VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(ENCODE_TO_FILE, 0 != fseeko(pNode->pSourceFile, (off_t)pNode->ValueOffset, SEEK_SET), "fseek",
                    VOMU_E_FAIL);
    while (nRemaining > 0) {
        const size_t nPiece = nRemaining > nChunk ? nChunk : (size_t)nRemaining;
        VOMU_FAIL_IF_IN(ENCODE_TO_FILE, nPiece != fread(pBuffer.get(), 1, nPiece, pNode->pSourceFile), "fread",
                        VOMU_E_FAIL);
        const int nResult = WriteToFile(fpOut, pBuffer.get(), nPiece, pnWritten);
        if (VOMU_OK != nResult) return nResult;
        nRemaining -= nPiece;
    }
    return VOMU_OK;
}

int CopyLeafToFile(NodeEx* pNode, FILE* fpOut, int* pnWritten)
{
    if (pNode->pValue && pNode->CurrentValueLength > 0)
        return WriteToFile(fpOut, pNode->pValue, pNode->CurrentValueLength, pnWritten);
    if (pNode->pSourceData && pNode->ValueLength > 0)
        return WriteToFile(fpOut, pNode->pSourceData + pNode->ValueOffset, pNode->ValueLength, pnWritten);
    if (pNode->pSourceFile && pNode->ValueLength > 0) return CopyFileLeafToFile(pNode, fpOut, pnWritten);
    return VOMU_OK;
}

int WriteHeaderToFile(NodeEx* pNode, FILE* fpOut, int* pnWritten)
{
    unsigned char byHeader[10];
    byHeader[0] = pNode->Tag;
    const uint64_t nLength = HeaderLength(pNode);
    const int nCount = LengthOctetCount(nLength);
    WriteLengthOctets(nLength, byHeader + 1, nCount);
    return WriteToFile(fpOut, byHeader, 1 + nCount, pnWritten);
}

}  // namespace

NodeEx::~NodeEx()
{
    delete[] pValue;
    for (NodeEx* pChild : vetNodes) delete pChild;
    vetNodes.clear();
}

int NodeEx::GetTotalRequiredSize()
{
    return ClampToInt(1 + LengthOctetCount(ValueLength) + ValueLength);
}

int NodeEx::GetCurrentRequiredLength()
{
    return ClampToInt(1 + LengthOctetCount(ValueLength) + CurrentValueLength);
}

bool morv::AppendNode(NodeEx* pParent, NodeEx* pChild)
{
    std::vector<NodeEx*>& children = pParent->vetNodes;
    if (children.size() == children.capacity()) {
        if (children.size() > children.max_size() / 2) return false;
        try {
            children.reserve(children.empty() ? 4 : 2 * children.size());
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    children.push_back(pChild);  // within the capacity: no allocation
    pChild->pParent = pParent;
    return true;
}

bool NodeEx::AddChild(NodeEx* pChild)
{
    if (NULL == pChild) return true;
    if (!morv::AppendNode(this, pChild)) {
        delete pChild;
        return false;
    }
    ValueLength += 1 + LengthOctetCount(pChild->ValueLength) + pChild->ValueLength;
    CurrentValueLength += 1 + LengthOctetCount(pChild->ValueLength) + pChild->CurrentValueLength;
    return true;
}

int EncodeASN1Length(long long nLength, unsigned char** ppbyOctets)
{
    if (nLength < 0) return -1;
    const int nCount = LengthOctetCount((uint64_t)nLength);
    if (NULL == ppbyOctets) return nCount;
    *ppbyOctets = new (std::nothrow) unsigned char[nCount];
    if (NULL == *ppbyOctets) return -1;
    WriteLengthOctets((uint64_t)nLength, *ppbyOctets, nCount);
    return nCount;
}

int ASN1Encode(unsigned char byTag, const unsigned char* pbyValue, int nLen, unsigned char** ppbyOut,
               int* pnOutLen)
{
    VOMU_FAIL_IF(NULL == ppbyOut || NULL == pnOutLen || nLen < 0 || (nLen > 0 && NULL == pbyValue),
                 "Check parameter", VOMU_E_FAIL);
    const int nLengthOfLength = EncodeASN1Length(nLen, NULL);
    VOMU_FAIL_IF(-1 == nLengthOfLength || nLen > INT_MAX - 1 - nLengthOfLength, "EncodeASN1Length",
                 VOMU_E_FAIL);
    const int nSize = 1 + nLengthOfLength + nLen;
    morv::OwnedArray<unsigned char> pbyEncodedData = morv::NewArray<unsigned char>(nSize);
    VOMU_FAIL_IF(!pbyEncodedData, "New memory", VOMU_E_FAIL);
    pbyEncodedData[0] = byTag;
    WriteLengthOctets((uint64_t)nLen, pbyEncodedData.get() + 1, nLengthOfLength);
    if (nLen > 0) memcpy(pbyEncodedData.get() + 1 + nLengthOfLength, pbyValue, nLen);
    morv::HandOver(pbyEncodedData, ppbyOut, pnOutLen, nSize);
    return VOMU_OK;
}

int EncodeASN1ToMemory(NodeEx* pNode, unsigned char** ppEncodedData, int* pnEncodedDataSize,
                       int* pnCurrentDeepLevel)
{
    VOMU_FAIL_IF(NULL == pNode || NULL == ppEncodedData || NULL == pnEncodedDataSize, "Check parameter",
                 VOMU_E_FAIL);
    DepthGuard depth(pnCurrentDeepLevel);
    VOMU_FAIL_IF_REASON(depth.TooDeep(), "*pnCurrentDeepLevel > MAX_RECURSIVE_DEEP_LEVEL",
                        "Check recursive deep level", VOMU_E_ASN1_TOO_DEEP);
    if (NULL == *ppEncodedData) {
        const int nResult = AllocateOutput(pNode, ppEncodedData);
        if (VOMU_OK != nResult) return nResult;
    }
    int nResult = WriteHeaderToMemory(pNode, *ppEncodedData, pnEncodedDataSize);
    if (VOMU_OK != nResult) return nResult;
    if (pNode->vetNodes.empty()) return CopyLeafToMemory(pNode, *ppEncodedData, pnEncodedDataSize);
    for (NodeEx* pChild : pNode->vetNodes) {
        nResult = EncodeASN1ToMemory(pChild, ppEncodedData, pnEncodedDataSize, pnCurrentDeepLevel);
        VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1Memory", nResult);
    }
    return VOMU_OK;
}

int EncodeASN1ToFile(NodeEx* pNode, FILE* fpOutFile, int* pnEncodedDataSize, int* pnCurrentDeepLevel)
{
    VOMU_FAIL_IF(NULL == pNode || NULL == fpOutFile || NULL == pnEncodedDataSize, "Check parameter",
                 VOMU_E_FAIL);
    DepthGuard depth(pnCurrentDeepLevel);
    VOMU_FAIL_IF_REASON(depth.TooDeep(), "*pnCurrentDeepLevel > MAX_RECURSIVE_DEEP_LEVEL",
                        "Check recursive deep level", VOMU_E_ASN1_TOO_DEEP);
    int nResult = WriteHeaderToFile(pNode, fpOutFile, pnEncodedDataSize);
    if (VOMU_OK != nResult) return nResult;
    if (pNode->vetNodes.empty()) return CopyLeafToFile(pNode, fpOutFile, pnEncodedDataSize);
    for (NodeEx* pChild : pNode->vetNodes) {
        nResult = EncodeASN1ToFile(pChild, fpOutFile, pnEncodedDataSize, pnCurrentDeepLevel);
        VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1Memory", nResult);
    }
    return VOMU_OK;
}

namespace {

// Copies the fields of one node; a node owning value octets gets its own copy of them, so
// deleting either node never frees the other's value.
NodeEx* CopyOneNode(const NodeEx* pSource)
{
    NodeEx* pCopy = new (std::nothrow) NodeEx;
    if (NULL == pCopy) return NULL;
    pCopy->pSourceFile = pSource->pSourceFile;
    pCopy->pSourceData = pSource->pSourceData;
    pCopy->ValueOffset = pSource->ValueOffset;
    pCopy->Tag = pSource->Tag;
    pCopy->LengthOctets = pSource->LengthOctets;
    pCopy->ValueLength = pSource->ValueLength;
    pCopy->CurrentValueLength = pSource->CurrentValueLength;
    pCopy->TotalLength = pSource->TotalLength;
    pCopy->FileLength = pSource->FileLength;
    pCopy->InfiniteLength = pSource->InfiniteLength;
    // A copy's parent is set when it is appended to the copied parent; the top copy has none
    // (the source's parent may be deleted while the copy lives on).
    pCopy->pParent = NULL;
    if (pSource->pValue && pSource->CurrentValueLength > 0) {
        pCopy->pValue = new (std::nothrow) unsigned char[pSource->CurrentValueLength];
        if (NULL == pCopy->pValue) {
            delete pCopy;
            return NULL;
        }
        memcpy(pCopy->pValue, pSource->pValue, pSource->CurrentValueLength);
    }
    return pCopy;
}

}  // namespace

int DuplicateNodeEx(NodeEx* pExistingNode, NodeEx** ppNewNode, bool bRecursive)
{
    VOMU_FAIL_IF(NULL == pExistingNode || NULL == ppNewNode, "Check parameter", VOMU_E_FAIL);
    NodeEx* pNewNode = CopyOneNode(pExistingNode);
    VOMU_FAIL_IF(NULL == pNewNode, "new NodeEx()", VOMU_E_FAIL);
    std::unique_ptr<NodeEx> pOwned(pNewNode);
    if (bRecursive) {
        for (NodeEx* pChild : pExistingNode->vetNodes) {
            NodeEx* pChildCopy = NULL;
            int nResult = DuplicateNodeEx(pChild, &pChildCopy, true);
            if (VOMU_OK == nResult && !morv::AppendNode(pNewNode, pChildCopy)) {
                delete pChildCopy;
                nResult = VOMU_E_FAIL;
            }
            VOMU_FAIL_IF(VOMU_OK != nResult, "DuplicateNodeEx", VOMU_E_FAIL);
        }
    }
    *ppNewNode = pOwned.release();
    return VOMU_OK;
}
