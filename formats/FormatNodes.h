#ifndef MORV_FORMAT_NODES_H
#define MORV_FORMAT_NODES_H

// Small NodeEx helpers shared by the format builders and readers.
#include <openssl/asn1.h>

#include <cstddef>
#include <vector>

#include "ASN1EngineEx.h"
#include "HandOver.h"

namespace morv {

// A new built leaf with tag and a copy of nSize octets (pbyValue may be null when nSize is 0).
// Null when memory runs out. The node is the caller's.
NodeEx* NewLeafNodeEx(unsigned char byTag, const unsigned char* pbyValue, size_t nSize);

// An INTEGER leaf (tag 02) holding the unsigned big-endian number pbyNumber[0..nNumberSize):
// minimal DER (X.690 8.3.2): leading zero octets dropped, one 00 put in front when the top
// bit would otherwise make it negative. VOMU_OK, VOMU_E_INVALID_ARG (no octets) or
// VOMU_E_FAIL (memory); pszStep names the step in the log.
int ConstructNode_UnsignedInteger(const unsigned char* pbyNumber, int nNumberSize,
                                  const char* pszStep, NodeEx** ppNode);

// Reads a parsed INTEGER of a non-negative number below 2^256 into 32 octets, right-aligned.
// Accepts the minimal form and the fixed 32-octet form (with a leading 00 where the top bit
// is set). False for another tag, an empty or negative value, or more than 32 significant
// octets, or an indefinite length; pbyOut is then untouched.
bool ReadUnsignedInteger32(const NodeEx* pNode, unsigned char* pbyOut);

// Makes room for nCount children, so that the AddChild calls that follow cannot fail (and so
// cannot delete a child the caller still owns). False when memory runs out.
bool ReserveChildren(NodeEx* pNode, size_t nCount);

// pParent->AddChild(pChild) with a Failed step line when the list cannot grow (the child is
// then deleted). VOMU_OK or VOMU_E_FAIL.
int AdoptChild(NodeEx* pParent, NodeEx* pChild, const char* pszStep);

// Encodes a finished tree as DER and hands the bytes to the caller (a new[] array). Takes
// ownership of pTree whatever the outcome. VOMU_OK or the encoder's code.
int EncodeTreeAndHandOver(NodeEx* pTree, unsigned char** ppbyDER, int* pnDERSize);

// nSize octets at nOffset of a parsed node's source, a buffer or an open file (whose position
// it moves). The decoder has bounded every offset of the tree. False when the file read fails.
bool ReadParsedOctets(const NodeEx* pNode, int64_t nOffset, unsigned char* pbyOut, size_t nSize);

// True when a parsed node was written with a definite length (DER, X.690 10.1). The decoder
// counts the end-of-contents octets in the value of an indefinite-length element, so only
// then is ValueLength the value itself. False also when a file cannot be read.
inline bool HasDefiniteLength(const NodeEx* pNode)
{
    if (!pNode->pSourceFile)
        return 0x80 != pNode->pSourceData[pNode->ValueOffset - (int64_t)pNode->LengthOctets];
    unsigned char byFirstLengthOctet = 0x80;
    return ReadParsedOctets(pNode, pNode->ValueOffset - (int64_t)pNode->LengthOctets,
                            &byFirstLengthOctet, 1) &&
           0x80 != byFirstLengthOctet;
}

// The value octets of a node parsed from memory.
inline const unsigned char* ParsedValue(const NodeEx* pNode)
{
    return pNode->pSourceData + pNode->ValueOffset;
}

// The values of nodes parsed from memory joined in order into one new array of nSize octets
// plus a zero octet after them; nSize is the sum of their lengths. VOMU_OK or VOMU_E_FAIL.
int JoinParsedValues(const std::vector<const NodeEx*>& vetPieces, size_t nSize,
                     const char* pszMemoryReason, OwnedArray<unsigned char>* ppOut);

// The step lines of one object identifier's decoding and dotted text, as each reader names
// them: the length reason stands on both measuring steps.
struct ObjectTextSteps {
    const char* pszDecode;
    const char* pszDecodeReason;
    const char* pszMeasure;
    const char* pszWrite;
    const char* pszLengthReason;
    const char* pszMemoryReason;
};

// Dotted decimal text of an object identifier in a new NUL-terminated array, measured first.
// VOMU_OK or VOMU_E_FAIL.
int ObjectText(const ASN1_OBJECT* pOid, const ObjectTextSteps& steps, OwnedArray<char>* ppText,
               size_t* pnText);

// The same from the DER element (tag, length, value) of an OBJECT IDENTIFIER.
int DecodeObjectText(const unsigned char* pbyElement, size_t nElementSize,
                     const ObjectTextSteps& steps, OwnedArray<char>* ppText, size_t* pnText);

}  // namespace morv

#endif
