// DER encoding of NodeEx trees (X.690 8.1, 10.1: definite, shortest length form).
#include "ASN1EngineEx.h"

#include <climits>
#include <cstring>
#include <new>

#include "HandOver.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

namespace {

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
    VOMU_FAIL_IF(0 != fseeko(fpFile, (off_t)nOffset, SEEK_SET), "fseek", VOMU_E_FAIL);
    VOMU_FAIL_IF(nSize != fread(pbyOut, 1, nSize, fpFile), "fread", VOMU_E_FAIL);
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
    VOMU_FAIL_IF(-1 == nLengthOctetsSize, "EncodeASN1Length", VOMU_E_FAIL);
    memcpy(pbyOut + *pnPos, pbyLength, nLengthOctetsSize);
    delete[] pbyLength;
    *pnPos += nLengthOctetsSize;
    return VOMU_OK;
}

int AllocateOutput(NodeEx* pNode, unsigned char** ppEncodedData)
{
    const uint64_t nCurrentRequiredLength = BytesInMemory(pNode);
    VOMU_FAIL_IF(MAX_ASN1_DATA_MEMORY_SIZE < nCurrentRequiredLength, "Check ASN.1 data size",
                 VOMU_E_ASN1_TOO_LARGE);
    *ppEncodedData = new (std::nothrow) unsigned char[nCurrentRequiredLength]();
    VOMU_FAIL_IF(NULL == *ppEncodedData, "New memory", VOMU_E_FAIL);
    return VOMU_OK;
}

int WriteToFile(FILE* fpOut, const unsigned char* pbyData, size_t nSize, int* pnWritten)
{
    // The count of bytes written is an int: larger outputs are refused, not wrapped.
    VOMU_FAIL_IF(nSize > (size_t)(INT_MAX - *pnWritten), "Check ASN.1 data size", VOMU_E_FILE_TOO_LARGE);
    VOMU_FAIL_IF(nSize != fwrite(pbyData, 1, nSize, fpOut), "fwrite", VOMU_E_FAIL);
    *pnWritten += (int)nSize;
    return VOMU_OK;
}

// A file-backed leaf is streamed through one buffer of at most 3 MiB.
int CopyFileLeafToFile(NodeEx* pNode, FILE* fpOut, int* pnWritten)
{
    uint64_t nRemaining = pNode->ValueLength;
    const size_t nChunk = nRemaining < ASN1_FILE_COPY_CHUNK_SIZE ? (size_t)nRemaining : ASN1_FILE_COPY_CHUNK_SIZE;
    morv::OwnedArray<unsigned char> pBuffer = morv::NewArray<unsigned char>(nChunk);
    VOMU_FAIL_IF(!pBuffer, "New memory", VOMU_E_FAIL);
    VOMU_FAIL_IF(0 != fseeko(pNode->pSourceFile, (off_t)pNode->ValueOffset, SEEK_SET), "fseek", VOMU_E_FAIL);
    while (nRemaining > 0) {
        const size_t nPiece = nRemaining > nChunk ? nChunk : (size_t)nRemaining;
        VOMU_FAIL_IF(nPiece != fread(pBuffer.get(), 1, nPiece, pNode->pSourceFile), "fread", VOMU_E_FAIL);
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

bool NodeEx::AddChild(NodeEx* pChild)
{
    if (NULL == pChild) return true;
    try {
        vetNodes.push_back(pChild);
    } catch (...) {
        delete pChild;
        return false;
    }
    pChild->pParent = this;
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
    VOMU_FAIL_IF(depth.TooDeep(), "Check recursive deep level", VOMU_E_ASN1_TOO_DEEP);
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
    VOMU_FAIL_IF(depth.TooDeep(), "Check recursive deep level", VOMU_E_ASN1_TOO_DEEP);
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

bool AppendChild(NodeEx* pParent, NodeEx* pChild)
{
    try {
        pParent->vetNodes.push_back(pChild);
    } catch (...) {
        return false;
    }
    pChild->pParent = pParent;
    return true;
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
            if (VOMU_OK == nResult && !AppendChild(pNewNode, pChildCopy)) {
                delete pChildCopy;
                nResult = VOMU_E_FAIL;
            }
            VOMU_FAIL_IF(VOMU_OK != nResult, "DuplicateNodeEx", VOMU_E_FAIL);
        }
    }
    *ppNewNode = pOwned.release();
    return VOMU_OK;
}

// ---------------------------------------------------------------------------------------
// Decoding (X.690 8.1): DER and BER with indefinite lengths. Every bound is checked as
// "length > end - position" so no sum can overflow; nothing is read outside the source.

#define ASN1_SOURCE_NAME "ASN1EngineEx"
#define ASN1_TRACE_ERROR(fmt, ...) TRACE(TRACE_LEVEL_ERROR, fmt, ##__VA_ARGS__)

namespace {

const unsigned MAX_DECODE_DEEP_LEVEL = 127;  // the root is level 1; level 128 fails
const uint64_t MAX_LENGTH_FIELD_OCTETS = 8;

struct DecodeSource {
    FILE* fpFile;
    const unsigned char* pbyData;
    uint64_t nNodeCount;
};

struct TLVHeader {
    uint8_t byTag;
    uint64_t nLengthOctets;
    uint64_t nValueLength;
    uint64_t nValueStart;
    bool bIndefinite;
};

// Reads nSize octets at nPos; the caller has checked that they lie inside the source.
bool ReadOctets(const DecodeSource& src, uint64_t nPos, unsigned char* pbyOut, size_t nSize)
{
    if (NULL == src.fpFile) {
        memcpy(pbyOut, src.pbyData + nPos, nSize);
        return true;
    }
    if (0 != fseeko(src.fpFile, (off_t)nPos, SEEK_SET)) {
        ASN1_TRACE_ERROR("fsetpos failed:0x%llx", (unsigned long long)nPos);
        return false;
    }
    if (nSize != fread(pbyOut, 1, nSize, src.fpFile)) {
        ASN1_TRACE_ERROR("fread %zu bytes failed", nSize);
        return false;
    }
    return true;
}

int ReadLongLength(const DecodeSource& src, uint64_t nPos, uint64_t nEnd, uint64_t nCount, TLVHeader& h)
{
    if (nCount > MAX_LENGTH_FIELD_OCTETS) {
        ASN1_TRACE_ERROR("[%s(%d)]: length field of %llu octets is refused", ASN1_SOURCE_NAME, __LINE__,
                         (unsigned long long)nCount);
        return -1;
    }
    if (nCount > nEnd - nPos) {
        ASN1_TRACE_ERROR("[%s(%d)]: value length is great than total length", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    unsigned char byOctets[MAX_LENGTH_FIELD_OCTETS];
    if (!ReadOctets(src, nPos, byOctets, (size_t)nCount)) return -1;
    h.nValueLength = 0;
    for (uint64_t i = 0; i < nCount; ++i) h.nValueLength = (h.nValueLength << 8) | byOctets[i];
    h.nLengthOctets = 1 + nCount;
    h.nValueStart = nPos + nCount;
    return 0;
}

int ReadLength(const DecodeSource& src, uint64_t nPos, uint64_t nEnd, TLVHeader& h)
{
    h.bIndefinite = false;
    if (nPos >= nEnd) {
        ASN1_TRACE_ERROR("[%s(%d)]: start position is great than end position", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    unsigned char byFirst = 0;
    if (!ReadOctets(src, nPos, &byFirst, 1)) return -1;
    h.nLengthOctets = 1;
    h.nValueStart = nPos + 1;
    if (byFirst < 0x80) {
        h.nValueLength = byFirst;
    } else if (0x80 == byFirst) {
        h.nValueLength = ASN1_INDEFINITE_LENGTH;
        h.bIndefinite = true;
        return 0;
    } else if (0 != ReadLongLength(src, nPos + 1, nEnd, byFirst & 0x7F, h)) {
        return -1;
    }
    if (h.nValueLength > nEnd - h.nValueStart) {
        ASN1_TRACE_ERROR("[%s(%d)]: value length is great than total length", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    return 0;
}

int ReadHeader(const DecodeSource& src, uint64_t nPos, uint64_t nEnd, TLVHeader& h)
{
    if (nPos >= nEnd) {
        ASN1_TRACE_ERROR("[%s(%d)]: start position is great than end position", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    if (!ReadOctets(src, nPos, &h.byTag, 1)) return -1;
    if (0 != ReadLength(src, nPos + 1, nEnd, h)) {
        ASN1_TRACE_ERROR("GetASN1ValueLengthEx Failed");
        return -1;
    }
    return 0;
}

// Universal primitive and context-specific primitive [0]-[15] octets are leaves; every other
// identifier octet holds a sequence of TLVs.
bool IsLeafTag(uint8_t byTag) { return byTag <= 0x1F || (byTag >= 0x80 && byTag <= 0x8F); }

NodeEx* NewParsedNode(const DecodeSource& src, uint64_t nFileLength, const TLVHeader& h, NodeEx* pParent)
{
    NodeEx* pNode = new (std::nothrow) NodeEx;
    if (NULL == pNode) return NULL;
    pNode->pSourceFile = src.fpFile;
    pNode->pSourceData = src.fpFile ? NULL : src.pbyData;
    pNode->FileLength = nFileLength;
    pNode->Tag = h.byTag;
    pNode->LengthOctets = h.nLengthOctets;
    pNode->ValueLength = h.nValueLength;
    pNode->ValueOffset = (int64_t)h.nValueStart;
    pNode->InfiniteLength = h.bIndefinite ? 1 : 0;
    pNode->TotalLength = h.bIndefinite ? ASN1_INDEFINITE_LENGTH : 1 + h.nLengthOctets + h.nValueLength;
    pNode->pParent = pParent;
    return pNode;
}

void ResolveIndefinite(NodeEx* pNode, uint64_t nValueLength)
{
    pNode->ValueLength = nValueLength;
    pNode->TotalLength = 1 + pNode->LengthOctets + nValueLength;
    pNode->InfiniteLength = 0;
}

// Position of the first of two consecutive zero octets in [nStart, nEnd), or nEnd.
uint64_t FindZeroPair(const DecodeSource& src, uint64_t nStart, uint64_t nEnd)
{
    if (NULL == src.fpFile) {
        for (uint64_t i = nStart; i + 1 < nEnd; ++i)
            if (0 == src.pbyData[i] && 0 == src.pbyData[i + 1]) return i;
        return nEnd;
    }
    unsigned char byChunk[4096];
    bool bPreviousZero = false;
    for (uint64_t nPos = nStart; nPos < nEnd;) {
        const size_t nPiece = (size_t)(nEnd - nPos < sizeof byChunk ? nEnd - nPos : sizeof byChunk);
        if (!ReadOctets(src, nPos, byChunk, nPiece)) return nEnd;
        for (size_t i = 0; i < nPiece; ++i) {
            if (0 == byChunk[i] && bPreviousZero) return nPos + i - 1;
            bPreviousZero = 0 == byChunk[i];
        }
        nPos += nPiece;
    }
    return nEnd;
}

int ResolveIndefiniteLeaf(const DecodeSource& src, NodeEx* pNode, uint64_t nEnd)
{
    if (1 != pNode->InfiniteLength) {
        ASN1_TRACE_ERROR("The node is not infinite length node");
        return -1;
    }
    const uint64_t nStart = (uint64_t)pNode->ValueOffset;
    const uint64_t nPair = nStart < nEnd ? FindZeroPair(src, nStart, nEnd) : nEnd;
    if (nPair >= nEnd) {
        ASN1_TRACE_ERROR("[%s(%d)]: indefinite length without end-of-contents", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    ResolveIndefinite(pNode, nPair + 2 - nStart);
    return 0;
}

int ParseContent(DecodeSource& src, NodeEx* pNode, unsigned& nLevel, uint64_t nRegionEnd);

// Reads one child at the node's ValueOffset + nSum and parses its subtree.
int ParseChild(DecodeSource& src, NodeEx* pNode, uint64_t nSum, uint64_t nChildEnd, unsigned& nLevel,
               NodeEx** ppChild)
{
    TLVHeader h;
    if (0 != ReadHeader(src, (uint64_t)pNode->ValueOffset + nSum, nChildEnd, h)) {
        ASN1_TRACE_ERROR("ParseASN1TLVEx failed");
        return -1;
    }
    if (++src.nNodeCount > MAX_ASN1_DECODE_NODE_COUNT) {
        ASN1_TRACE_ERROR("[%s(%d)]: more than %d nodes", ASN1_SOURCE_NAME, __LINE__, MAX_ASN1_DECODE_NODE_COUNT);
        return -1;
    }
    NodeEx* pChild = NewParsedNode(src, pNode->FileLength, h, pNode);
    if (NULL == pChild) return -1;
    if (0 != ParseContent(src, pChild, nLevel, nChildEnd) || !AppendChild(pNode, pChild)) {
        ASN1_TRACE_ERROR("ParseNodeEx failed");
        delete pChild;
        return -1;
    }
    *ppChild = pChild;
    return 0;
}

// After a child of an indefinite node: 1 when the end-of-contents pair follows, 0 when more
// children follow, -1 when the region ends first.
int AtEndOfContents(const DecodeSource& src, uint64_t nPos, uint64_t nRegionEnd)
{
    if (nPos > nRegionEnd || nRegionEnd - nPos < 2) {
        ASN1_TRACE_ERROR("[%s(%d)]: position is not in file size range", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    unsigned char byPair[2];
    if (!ReadOctets(src, nPos, byPair, 2)) return -1;
    return 0 == byPair[0] && 0 == byPair[1] ? 1 : 0;
}

int ParseChildren(DecodeSource& src, NodeEx* pNode, unsigned& nLevel, uint64_t nRegionEnd)
{
    const bool bIndefinite = 1 == pNode->InfiniteLength;
    const uint64_t nChildEnd = bIndefinite ? nRegionEnd : (uint64_t)pNode->ValueOffset + pNode->ValueLength;
    uint64_t nSum = 0;
    for (;;) {
        NodeEx* pChild = NULL;
        if (0 != ParseChild(src, pNode, nSum, nChildEnd, nLevel, &pChild)) return -1;
        nSum += pChild->TotalLength;
        if (!bIndefinite) {
            if (nSum > pNode->ValueLength) {
                ASN1_TRACE_ERROR("[%s(%d): child nodes length(0x%08llx) is larger than parent node length(0x%08llx)]",
                                 ASN1_SOURCE_NAME, __LINE__, (unsigned long long)nSum,
                                 (unsigned long long)pNode->ValueLength);
                return -1;
            }
            if (nSum == pNode->ValueLength) return 0;
            continue;
        }
        const int nEnd = AtEndOfContents(src, (uint64_t)pNode->ValueOffset + nSum, nRegionEnd);
        if (nEnd < 0) return -1;
        if (1 == nEnd) {
            ResolveIndefinite(pNode, nSum + 2);
            return 0;
        }
    }
}

int ParseContent(DecodeSource& src, NodeEx* pNode, unsigned& nLevel, uint64_t nRegionEnd)
{
    if (++nLevel > MAX_DECODE_DEEP_LEVEL) {
        ASN1_TRACE_ERROR("Too deeply recursive calling(count):%u", nLevel);
        return -1;
    }
    int nResult = 0;
    if (IsLeafTag(pNode->Tag)) {
        if (1 == pNode->InfiniteLength) nResult = ResolveIndefiniteLeaf(src, pNode, nRegionEnd);
    } else if (1 == pNode->InfiniteLength || pNode->ValueLength > 0) {
        nResult = ParseChildren(src, pNode, nLevel, nRegionEnd);
    }
    if (0 != nResult) return nResult;
    --nLevel;
    return 0;
}

int DecodeSourceInto(DecodeSource& src, uint64_t nSize, NodeEx** ppRootNode, const char* pszRootText)
{
    TLVHeader h;
    if (0 != ReadHeader(src, 0, nSize, h)) {
        ASN1_TRACE_ERROR("%s", pszRootText);
        return VOMU_E_FAIL;
    }
    NodeEx* pRoot = NewParsedNode(src, nSize, h, NULL);
    if (NULL == pRoot) return VOMU_E_FAIL;
    *ppRootNode = pRoot;
    src.nNodeCount = 1;
    unsigned nLevel = 0;
    const int nResult = ParseContent(src, pRoot, nLevel, nSize);
    TRACE(TRACE_LEVEL_INFO, "Current recursive deep level:%u", nLevel);
    return 0 == nResult ? VOMU_OK : VOMU_E_FAIL;
}

}  // namespace

int DecodeASN1MemoryEx(const unsigned char* pbyData, unsigned long nDataLen, NodeEx** ppRootNode)
{
    if (NULL == ppRootNode || (NULL == pbyData && nDataLen > 0)) return VOMU_E_FAIL;
    DecodeSource src = {NULL, pbyData, 0};
    return DecodeSourceInto(src, nDataLen, ppRootNode, "Parse ASN.1 root node failed");
}

int DecodeASN1FileEx(FILE* fpFile, NodeEx** ppRootNode)
{
    if (NULL == fpFile || NULL == ppRootNode) return VOMU_E_FAIL;
    if (0 != fseeko(fpFile, 0, SEEK_END)) return VOMU_E_FAIL;
    const off_t nSize = ftello(fpFile);
    if (nSize < 0 || 0 != fseeko(fpFile, 0, SEEK_SET)) return VOMU_E_FAIL;
    DecodeSource src = {fpFile, NULL, 0};
    return DecodeSourceInto(src, (uint64_t)nSize, ppRootNode, "Parse ASN1 root node failed");
}

int ParseNodeEx(NodeEx* pNode, unsigned int& nCurrentDeepLevel)
{
    if (NULL == pNode) return -1;
    DecodeSource src = {pNode->pSourceFile, pNode->pSourceData, 1};
    if (NULL == src.fpFile && NULL == src.pbyData) return -1;
    return ParseContent(src, pNode, nCurrentDeepLevel, pNode->FileLength);
}

int GetASN1ValueLengthEx(FILE* fpFile, const unsigned char* pbyData, long long* pnPos, long long* pnEnd,
                         unsigned long* pnLengthOctets, unsigned long* pnValueLength,
                         unsigned long* pnValueStart, unsigned short* pnInfinite)
{
    if (NULL == pnPos || NULL == pnEnd || NULL == pnLengthOctets || NULL == pnValueLength ||
        NULL == pnValueStart || NULL == pnInfinite || (NULL == fpFile && NULL == pbyData) ||
        *pnPos < 0 || *pnEnd < 0)
        return -1;
    *pnInfinite = 0;
    DecodeSource src = {fpFile, pbyData, 0};
    TLVHeader h;
    if (0 != ReadLength(src, (uint64_t)*pnPos, (uint64_t)*pnEnd, h)) return -1;
    *pnLengthOctets = h.nLengthOctets;
    *pnValueLength = h.nValueLength;
    *pnValueStart = h.nValueStart;
    *pnInfinite = h.bIndefinite ? 1 : 0;
    return 0;
}

int ParseASN1TLVEx(FILE* fpFile, const unsigned char* pbyData, long long* pnPos, long long* pnEnd,
                   unsigned char* pbyTag, unsigned long* pnLengthOctets, unsigned long* pnValueLength,
                   unsigned long* pnValueStart, unsigned long* pnValueEnd, unsigned short* pnInfinite)
{
    if (NULL == pnPos || NULL == pnEnd || NULL == pbyTag || NULL == pnValueEnd || *pnPos < 0 || *pnEnd < 0)
        return -1;
    if (*pnPos >= *pnEnd) {
        ASN1_TRACE_ERROR("[%s(%d)]: start position is great than end position", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    DecodeSource src = {fpFile, pbyData, 0};
    if (NULL == fpFile && NULL == pbyData) return -1;
    if (!ReadOctets(src, (uint64_t)*pnPos, pbyTag, 1)) return -1;
    long long nLengthPos = *pnPos + 1;
    if (0 != GetASN1ValueLengthEx(fpFile, pbyData, &nLengthPos, pnEnd, pnLengthOctets, pnValueLength,
                                  pnValueStart, pnInfinite)) {
        ASN1_TRACE_ERROR("GetASN1ValueLengthEx Failed");
        return -1;
    }
    *pnValueEnd = *pnInfinite ? (unsigned long)ASN1_INDEFINITE_LENGTH : *pnValueStart + *pnValueLength - 1;
    return 0;
}

int GetInfiniteLengthEx(NodeEx* pNode)
{
    if (NULL == pNode) return -1;
    DecodeSource src = {pNode->pSourceFile, pNode->pSourceData, 0};
    if (NULL == src.fpFile && NULL == src.pbyData) return -1;
    return ResolveIndefiniteLeaf(src, pNode, pNode->FileLength);
}

int PrintNodeEx(NodeEx* pNode)
{
    if (NULL == pNode) return -1;
    if (pNode->Tag < 0x20) TRACE(TRACE_LEVEL_INFO, "Primitive ASN.1 value");
    return TRACE(TRACE_LEVEL_INFO, "Tag:0x%x  ;Value Length:0x%llx   ;Value Start Position:0x%llx", pNode->Tag,
                 (unsigned long long)pNode->ValueLength, (unsigned long long)pNode->ValueOffset);
}
