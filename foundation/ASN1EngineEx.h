#ifndef MORV_ASN1_ENGINE_EX_H
#define MORV_ASN1_ENGINE_EX_H

// The NodeEx ASN.1 engine: trees built by the format writers and encoded as DER (into one
// buffer or straight into a file), and trees parsed from DER or indefinite-length BER whose
// nodes point into their source (a buffer or an open file) instead of holding values.
#include <cstdint>
#include <cstdio>
#include <vector>

// The largest in-memory encoding (52,428,800 bytes).
#define MAX_ASN1_DATA_MEMORY_SIZE 0x3200000
// The deepest nesting an encoder given a depth counter accepts (the root is level 1).
#define MAX_RECURSIVE_DEEP_LEVEL 128
// A file-backed leaf is copied into an output file through a buffer of this size.
#define ASN1_FILE_COPY_CHUNK_SIZE 0x300000
// A decoded tree holds at most this many nodes, so hostile input cannot exhaust memory.
#define MAX_ASN1_DECODE_NODE_COUNT 1000000
// ValueLength and TotalLength of a parsed indefinite-length node whose end is not yet found.
#define ASN1_INDEFINITE_LENGTH 0xFFFFFFFFull

// One TLV. Create with `new (std::nothrow) NodeEx` (every field starts zero or null), delete
// with `delete`: a node owns its children and its pValue array, never its source.
//
// Kinds, by the fields set:
//   built leaf         Tag, pValue (owned copy), ValueLength = CurrentValueLength = value size
//   built constructed  Tag, children added with AddChild (which keeps the lengths)
//   header-only leaf   Tag, ValueLength = declared size of a value the caller writes after the
//                      encoding; CurrentValueLength 0, pValue null
//   file-backed leaf   Tag, pSourceFile, ValueOffset 0, ValueLength = CurrentValueLength = size
//   parsed node        pSourceData or pSourceFile, ValueOffset, Tag, LengthOctets, ValueLength,
//                      TotalLength, FileLength, InfiniteLength, pParent, children; pValue null
// Encoders tell leaves from constructed nodes by the children alone.
class NodeEx {
public:
    ~NodeEx();

    // 1 + length-octet count of ValueLength + ValueLength: the node's whole DER size;
    // -1 when that is not below 2^31.
    int GetTotalRequiredSize();
    // 1 + length-octet count of ValueLength + CurrentValueLength: the bytes the node takes in
    // an in-memory encoding; -1 when that is not below 2^31.
    int GetCurrentRequiredLength();
    // Appends a finished child (null is ignored), sets its pParent and adds its sizes to this
    // node's ValueLength and CurrentValueLength. The parent owns the child from then on, also
    // when the list cannot grow: then the child is deleted and false returned.
    bool AddChild(NodeEx* pChild);

    FILE* pSourceFile = nullptr;                 // not owned
    const unsigned char* pSourceData = nullptr;  // not owned
    int64_t ValueOffset = 0;
    uint8_t Tag = 0;
    uint64_t LengthOctets = 0;
    uint64_t ValueLength = 0;
    uint64_t CurrentValueLength = 0;
    unsigned char* pValue = nullptr;             // owned, new[]
    uint64_t TotalLength = 0;
    uint64_t FileLength = 0;
    int16_t InfiniteLength = 0;
    NodeEx* pParent = nullptr;                   // not owned
    std::vector<NodeEx*> vetNodes;               // owned, in order
};

// Number of DER length octets of nLength (1 to 9); when ppbyOctets is not null it receives a
// new[] array holding them (the caller deletes it). -1 when the array cannot be allocated or
// nLength is negative.
int EncodeASN1Length(long long nLength, unsigned char** ppbyOctets);

// A deep copy of pExistingNode (and, when bRecursive, of its subtree): every child's copy has
// the copy as its pParent; a node owning pValue gets its own copy of the value octets. The
// copy refers to the same source buffer or file. VOMU_OK or VOMU_E_FAIL (*ppNewNode unset).
int DuplicateNodeEx(NodeEx* pExistingNode, NodeEx** ppNewNode, bool bRecursive);

// One TLV from a tag and nLen value octets into a new[] array (*ppbyOut, size *pnOutLen).
// VOMU_OK or VOMU_E_FAIL.
int ASN1Encode(unsigned char byTag, const unsigned char* pbyValue, int nLen,
               unsigned char** ppbyOut, int* pnOutLen);

// DER of the tree into memory. Pass *ppEncodedData null and *pnEncodedDataSize 0: the whole
// output (at most MAX_ASN1_DATA_MEMORY_SIZE bytes, else VOMU_E_ASN1_TOO_LARGE) is allocated
// once; the caller deletes it (delete[]), also after a failure once it was allocated.
// pnCurrentDeepLevel null: no depth limit; else a counter at 0, refusing more than
// MAX_RECURSIVE_DEEP_LEVEL levels with VOMU_E_ASN1_TOO_DEEP; it is back at its start value
// on return. VOMU_OK, VOMU_E_FAIL, VOMU_E_ASN1_TOO_LARGE, VOMU_E_ASN1_TOO_DEEP.
int EncodeASN1ToMemory(NodeEx* pNode, unsigned char** ppEncodedData, int* pnEncodedDataSize,
                       int* pnCurrentDeepLevel);

// DER of the tree written to fpOutFile; *pnEncodedDataSize (start at 0) grows by every byte
// written. No size limit but the int count (more than INT_MAX bytes: VOMU_E_FILE_TOO_LARGE);
// file-backed leaves are streamed in 3 MiB chunks. A short read or write fails (VOMU_E_FAIL).
// Depth as for the memory encoder.
int EncodeASN1ToFile(NodeEx* pNode, FILE* fpOutFile, int* pnEncodedDataSize,
                     int* pnCurrentDeepLevel);

// Parses a whole buffer (DER or BER with indefinite lengths) into *ppRootNode. VOMU_OK or
// VOMU_E_FAIL. *ppRootNode is set as soon as the root header is read, also when parsing its
// content fails; the caller deletes it. Octets after the root TLV are ignored. The tree points
// into pbyData, which must outlive it.
int DecodeASN1MemoryEx(const unsigned char* pbyData, unsigned long nDataLen, NodeEx** ppRootNode);

// As DecodeASN1MemoryEx for the whole of an open file (offset 0 to its size); the tree records
// offsets into fpFile, which must stay open. The stream's position afterwards is unspecified.
int DecodeASN1FileEx(FILE* fpFile, NodeEx** ppRootNode);

// Parses the content of one node whose TLV fields are set, recursively. 0 or -1.
int ParseNodeEx(NodeEx* pNode, unsigned int& nCurrentDeepLevel);

// Reads one TLV header at *pnPos (from fpFile when it is not null, else from pbyData) that
// must end before *pnEnd. *pnValueEnd = *pnValueStart + *pnValueLength - 1, or 0xFFFFFFFF for
// the indefinite form. 0 or -1.
int ParseASN1TLVEx(FILE* fpFile, const unsigned char* pbyData, long long* pnPos, long long* pnEnd,
                   unsigned char* pbyTag, unsigned long* pnLengthOctets,
                   unsigned long* pnValueLength, unsigned long* pnValueStart,
                   unsigned long* pnValueEnd, unsigned short* pnInfinite);

// Reads the length octets at *pnPos (end *pnEnd). 0 or -1; length fields over 8 octets and
// values running past *pnEnd are refused.
int GetASN1ValueLengthEx(FILE* fpFile, const unsigned char* pbyData, long long* pnPos,
                         long long* pnEnd, unsigned long* pnLengthOctets,
                         unsigned long* pnValueLength, unsigned long* pnValueStart,
                         unsigned short* pnInfinite);

// Finds the end of an indefinite-length leaf (the first two zero octets of its content).
// 0 when found, -1 when the node is not indefinite or no end lies before the source's end.
int GetInfiniteLengthEx(NodeEx* pNode);

// Logs one node at TRACE_LEVEL_INFO; the result of TRACE.
int PrintNodeEx(NodeEx* pNode);

#endif
