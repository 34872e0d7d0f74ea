// BER/DER decoding into NodeEx trees (X.690 8.1): DER and BER with indefinite lengths. Every
// bound is checked as "length > end - position" so no sum can overflow; nothing is read outside
// the source. Records are free INFO and ERROR texts naming the engine's one file, ASN1EngineEx.
#include <cstring>
#include <new>

#include "ASN1EngineEx.h"
#include "ASN1EngineInternal.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

#define ASN1_SOURCE_NAME "ASN1EngineEx"
#define ASN1_TRACE_ERROR(fmt, ...) TRACE(TRACE_LEVEL_ERROR, fmt, ##__VA_ARGS__)
#define ASN1_TRACE_INFO(fmt, ...) TRACE(TRACE_LEVEL_INFO, fmt, ##__VA_ARGS__)

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

// What a failed seek or read of the source logs (the seek text takes the position).
struct ReadTexts {
    const char* pszSeek;
    const char* pszRead;
};
const ReadTexts LENGTH_READ = {"fsetpos failed:0x%llx", "fread %zu bytes failed"};
const ReadTexts TAG_READ = {"fsetpos failed startPosition value:0x%llx", "fread read tag value failed"};

// An indefinite-length node whose end-of-contents cannot lie inside the region its definite
// ancestor allows: its parent reports it as a child longer than the parent.
const int OVERRUNS_REGION = -2;

// Reads nSize octets at nPos; the caller has checked that they lie inside the source.
bool ReadOctets(const DecodeSource& src, uint64_t nPos, unsigned char* pbyOut, size_t nSize,
                const ReadTexts& texts = LENGTH_READ)
{
    if (NULL == src.fpFile) {
        memcpy(pbyOut, src.pbyData + nPos, nSize);
        return true;
    }
    if (0 != fseeko(src.fpFile, (off_t)nPos, SEEK_SET)) {
        ASN1_TRACE_ERROR(texts.pszSeek, (unsigned long long)nPos);
        return false;
    }
    if (nSize != fread(pbyOut, 1, nSize, src.fpFile)) {
        ASN1_TRACE_ERROR(texts.pszRead, nSize);
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
        if (src.fpFile)
            ASN1_TRACE_ERROR("[%s(%d)]: value start postions is great than end postion", ASN1_SOURCE_NAME, __LINE__);
        else
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
    ASN1_TRACE_INFO("Value length start position:0x%llx", (unsigned long long)nPos);
    if (nPos >= nEnd) {
        ASN1_TRACE_ERROR("[%s(%d)]: start position is great than end position", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    unsigned char byFirst = 0;
    if (!ReadOctets(src, nPos, &byFirst, 1)) return -1;
    ASN1_TRACE_INFO("Value length first byte value:0x%x", byFirst);
    h.nLengthOctets = 1;
    h.nValueStart = nPos + 1;
    if (byFirst < 0x80) {
        h.nValueLength = byFirst;
        ASN1_TRACE_INFO("Value Length:0x%llx ", (unsigned long long)h.nValueLength);
    } else if (0x80 == byFirst) {
        h.nValueLength = ASN1_INDEFINITE_LENGTH;
        h.bIndefinite = true;
        ASN1_TRACE_INFO("Value Length:0x%llx ", (unsigned long long)h.nValueLength);
        return 0;
    } else if (0 != ReadLongLength(src, nPos + 1, nEnd, byFirst & 0x7F, h)) {
        return -1;
    }
    if (h.nValueLength > nEnd - h.nValueStart) {
        ASN1_TRACE_ERROR("[%s(%d)]: value length is great than total length", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    if (byFirst > 0x80) ASN1_TRACE_INFO("Value Length:0x%llx ", (unsigned long long)h.nValueLength);
    return 0;
}

int ReadHeader(const DecodeSource& src, uint64_t nPos, uint64_t nEnd, TLVHeader& h)
{
    if (nPos >= nEnd) {
        ASN1_TRACE_ERROR("[%s(%d)]: start position is great than end position", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    if (!ReadOctets(src, nPos, &h.byTag, 1, TAG_READ)) return -1;
    ASN1_TRACE_INFO("Tag value:0x%x", h.byTag);
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
    if (nPair < nEnd) {
        ResolveIndefinite(pNode, nPair + 2 - nStart);
        return 0;
    }
    if (nEnd < (uint64_t)pNode->FileLength) {
        // At least the whole region and one octet more: longer than the parent allows.
        pNode->TotalLength = 1 + pNode->LengthOctets + (nEnd - nStart) + 1;
        return OVERRUNS_REGION;
    }
    ASN1_TRACE_ERROR("[%s(%d)]: indefinite length without end-of-contents", ASN1_SOURCE_NAME, __LINE__);
    return -1;
}

int ParseContent(DecodeSource& src, NodeEx* pNode, unsigned& nLevel, uint64_t nRegionEnd);

// Reads one child at the node's ValueOffset + nSum and parses its subtree: 0, -1, or
// OVERRUNS_REGION with the child kept (its TotalLength the least it would need).
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
    const int nResult = ParseContent(src, pChild, nLevel, nChildEnd);
    if ((0 != nResult && OVERRUNS_REGION != nResult) || !morv::AppendNode(pNode, pChild)) {
        ASN1_TRACE_ERROR("ParseNodeEx failed");
        delete pChild;
        return -1;
    }
    *ppChild = pChild;
    return nResult;
}

// After a child of an indefinite node: 1 when the end-of-contents pair follows, 0 when more
// children follow, -1 when the source ends first, OVERRUNS_REGION when a definite ancestor's
// region does.
int AtEndOfContents(const DecodeSource& src, const NodeEx* pNode, uint64_t nPos, uint64_t nRegionEnd)
{
    if (nPos > nRegionEnd || nRegionEnd - nPos < 2) {
        if (nRegionEnd < (uint64_t)pNode->FileLength) return OVERRUNS_REGION;
        ASN1_TRACE_ERROR("[%s(%d)]: position is not in file size range", ASN1_SOURCE_NAME, __LINE__);
        return -1;
    }
    unsigned char byPair[2];
    if (!ReadOctets(src, nPos, byPair, 2)) return -1;
    return 0 == byPair[0] && 0 == byPair[1] ? 1 : 0;
}

// A definite node's check after each child: 1 when its content is complete, 0 when more
// children follow, -1 when the children run past it.
int DefiniteProgress(const NodeEx* pNode, uint64_t nSum)
{
    if (nSum > pNode->ValueLength) {
        ASN1_TRACE_ERROR("[%s(%d): child nodes length(0x%08llx) is larger than parent node length(0x%08llx)]",
                         ASN1_SOURCE_NAME, __LINE__, (unsigned long long)nSum, (unsigned long long)pNode->ValueLength);
        return -1;
    }
    return nSum == pNode->ValueLength ? 1 : 0;
}

int ParseChildren(DecodeSource& src, NodeEx* pNode, unsigned& nLevel, uint64_t nRegionEnd)
{
    const bool bIndefinite = 1 == pNode->InfiniteLength;
    const uint64_t nChildEnd = bIndefinite ? nRegionEnd : (uint64_t)pNode->ValueOffset + pNode->ValueLength;
    uint64_t nSum = 0;
    for (;;) {
        NodeEx* pChild = NULL;
        const int nChild = ParseChild(src, pNode, nSum, nChildEnd, nLevel, &pChild);
        if (-1 == nChild) return -1;
        nSum += pChild->TotalLength;
        // A child that overran the region: a definite node reports it (its sum is now past its
        // length); an indefinite one passes it up.
        const int nEnd = !bIndefinite          ? DefiniteProgress(pNode, nSum)
                         : 0 != nChild         ? OVERRUNS_REGION
                                               : AtEndOfContents(src, pNode, (uint64_t)pNode->ValueOffset + nSum, nRegionEnd);
        if (OVERRUNS_REGION == nEnd) pNode->TotalLength = 1 + pNode->LengthOctets + nSum + 2;
        if (nEnd < 0) return nEnd;
        if (1 == nEnd) {
            if (bIndefinite) ResolveIndefinite(pNode, nSum + 2);
            return 0;
        }
    }
}

int ParseContent(DecodeSource& src, NodeEx* pNode, unsigned& nLevel, uint64_t nRegionEnd)
{
    ++nLevel;
    ASN1_TRACE_INFO("[%s(%d)]: CurrentDeepLevel =%u", ASN1_SOURCE_NAME, __LINE__, nLevel);
    if (nLevel > MAX_DECODE_DEEP_LEVEL) {
        ASN1_TRACE_ERROR("Too deeply recursive calling(count):%u", nLevel);
        return -1;
    }
    int nResult = 0;
    if (IsLeafTag(pNode->Tag)) {
        if (1 == pNode->InfiniteLength) nResult = ResolveIndefiniteLeaf(src, pNode, nRegionEnd);
    } else if (1 == pNode->InfiniteLength || pNode->ValueLength > 0) {
        nResult = ParseChildren(src, pNode, nLevel, nRegionEnd);
    }
    // A failure leaves the counter at the level where it happened; an overrun is this node's
    // parent's failure.
    if (-1 == nResult) return nResult;
    --nLevel;
    return nResult;
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
    ASN1_TRACE_INFO("Current recursive deep level:%u", nLevel);
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
    return 0 == ParseContent(src, pNode, nCurrentDeepLevel, pNode->FileLength) ? 0 : -1;
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
    if (!ReadOctets(src, (uint64_t)*pnPos, pbyTag, 1, TAG_READ)) return -1;
    ASN1_TRACE_INFO("Tag value:0x%x", *pbyTag);
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
