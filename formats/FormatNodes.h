#ifndef MORV_FORMAT_NODES_H
#define MORV_FORMAT_NODES_H

// What the format builders and readers share: small NodeEx helpers, the one reading of an
// INTEGER into a 32-octet field, and the object identifier, AlgorithmIdentifier, ContentInfo
// and version builders.
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
// The helpers here that log take pszFunc, the name of the function whose steps they are.
int ConstructNode_UnsignedInteger(const char* pszFunc, const unsigned char* pbyNumber,
                                  int nNumberSize, const char* pszStep, NodeEx** ppNode);

// Takes over the array of a finished value (nSize octets) as a new leaf's owned value; null
// when memory runs out (the array then stays with pValue).
NodeEx* NewOwningLeaf(unsigned char byTag, OwnedArray<unsigned char>& pValue, int nSize);

// A new constructed node with tag byTag and no children yet; null when memory runs out.
NodeEx* NewConstructedNode(unsigned char byTag);

// The version INTEGER of a structure: one value octet, the low eight bits of nVersion
// (step "new NodeEx(version)"). VOMU_OK or VOMU_E_FAIL.
int ConstructNode_Version(const char* pszFunc, int nVersion, NodeEx** ppNode_version);

// The one rule for an INTEGER read into a fixed 32-octet field (SM2 r, s and coordinates,
// whichever reader meets it): the value octets of a non-negative number below 2^256 in any
// length from 1 to 33 octets (minimal DER, or a fixed form with leading zero octets) are
// right-aligned in pbyOut, left-padded with zeros. Refused: no octets, a negative number
// (top bit of the first octet set), more than 33 octets, or 33 whose first is not 00 (2^256
// or more). pbyOut is untouched when refused.
bool ReadInteger32(const unsigned char* pbyValue, size_t nSize, unsigned char* pbyOut);

enum class Integer32 { kRead, kRefused, kUnreadable };

// ReadInteger32 over a parsed node (from memory or a file): also refused for a tag other
// than INTEGER or an indefinite length; kUnreadable when the file cannot be read.
Integer32 ReadIntegerNode32(const NodeEx* pNode, unsigned char* pbyOut);

// Makes room for nCount children, so that the AddChild calls that follow cannot fail (and so
// cannot delete a child the caller still owns). False when memory runs out.
bool ReserveChildren(NodeEx* pNode, size_t nCount);

// Moves every child of pFrom, in order, to the end of pTo, whose room the caller reserved
// (ReserveChildren), so that nothing can fail halfway.
void MoveChildren(NodeEx* pFrom, NodeEx* pTo);

// pParent->AddChild(pChild) with a Failed step line when the list cannot grow (the child is
// then deleted). VOMU_OK or VOMU_E_FAIL.
int AdoptChild(const char* pszFunc, NodeEx* pParent, NodeEx* pChild, const char* pszStep);

// Encodes a finished tree as DER (EncodeASN1ToMemory with a depth counter) and hands the bytes
// to the caller (a new[] array). VOMU_OK or the encoder's code. The tree stays the caller's;
// EncodeTreeAndHandOver takes ownership of it whatever the outcome.
int EncodeTreeToCaller(const char* pszFunc, NodeEx* pTree, unsigned char** ppbyDER, int* pnDERSize);
int EncodeTreeAndHandOver(const char* pszFunc, NodeEx* pTree, unsigned char** ppbyDER,
                          int* pnDERSize);

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

// Positional access to a parsed tree, whose shape the caller has checked.
inline size_t Children(const NodeEx* pNode) { return pNode->vetNodes.size(); }
inline const NodeEx* Child(const NodeEx* pNode, size_t nIndex) { return pNode->vetNodes[nIndex]; }
inline const NodeEx* LastChild(const NodeEx* pNode) { return pNode->vetNodes.back(); }

// A node with tag byTag and at least nMin children.
inline bool IsNode(const NodeEx* pNode, unsigned char byTag, size_t nMin)
{
    return byTag == pNode->Tag && Children(pNode) >= nMin;
}

inline uint64_t TlvStart(const NodeEx* pNode)
{
    return (uint64_t)pNode->ValueOffset - pNode->LengthOctets - 1;
}

// A string parsed from memory, primitive (its value) or constructed of primitive segments
// (X.690 8.7.3): the total of its value octets, and those octets joined in order into one new
// array with a zero octet after them. JoinSegments: VOMU_OK or VOMU_E_FAIL (logged under
// pszFunc); the caller has checked the total.
uint64_t SegmentsSize(const NodeEx* pNode);
int JoinSegments(const char* pszFunc, const NodeEx* pNode, const char* pszMemoryReason,
                 OwnedArray<unsigned char>* ppOut);

// Copies an encoding the crypto library allocated (an i2d_* output of nEncodedSize octets)
// into a new[] array for the caller and releases the library's buffer, whatever the result.
// VOMU_OK, VOMU_E_FAIL (step "New memory") or HandOver's code.
int HandOverLibraryBuffer(const char* pszFunc, unsigned char* pbyEncoded, int nEncodedSize,
                          unsigned char** ppbyOut, int* pnOutLen);

// A new[] copy of an OpenSSL string's octets (step "New memory" with pszMemoryReason, logged
// under pszFunc).
// VOMU_OK or VOMU_E_FAIL.
int CopyAsn1String(const char* pszFunc, const ASN1_STRING* pString, const char* pszMemoryReason,
                   OwnedArray<unsigned char>* ppCopy, size_t* pnSize);

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
// These helpers log their steps under pszFunc, the public function that called them.
// VOMU_OK or VOMU_E_FAIL.
int ObjectText(const char* pszFunc, const ASN1_OBJECT* pOid, const ObjectTextSteps& steps,
               OwnedArray<char>* ppText, size_t* pnText);

// The same from the DER element (tag, length, value) of an OBJECT IDENTIFIER.
int DecodeObjectText(const char* pszFunc, const unsigned char* pbyElement, size_t nElementSize,
                     const ObjectTextSteps& steps, OwnedArray<char>* ppText, size_t* pnText);

}  // namespace morv

// ---- Object identifiers, AlgorithmIdentifier and ContentInfo ----
// Object identifiers travel as NUL-terminated dotted decimal text ("1.2.156.10197.1.104");
// names are not accepted. Outputs are written only on success; arrays are the caller's
// (delete[]), nodes are the caller's (delete).

// The DER OBJECT IDENTIFIER (X.690 8.19) of pszOID: its content octets, or with bWithTag the
// whole TLV 06 L V. VOMU_OK; VOMU_E_FAIL for a text that is not a numeric OID.
int Encode_ObjectIdentifier(const char* pszOID, unsigned char** ppbyEncoded, int* pnEncodedSize,
                            bool bWithTag);

// AlgorithmIdentifier (RFC 5280 4.1.1.2): the OID TLV followed by the parameter octets exactly
// as given (one finished DER element, or nothing when nParamSize is 0); with bWithTag wrapped
// in 30 L. VOMU_OK, Encode_ObjectIdentifier's code, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int Encode_AlgorithmIdentifier(const char* pszOID, unsigned char* pbyParam, int nParamSize,
                               unsigned char** ppbyEncoded, int* pnEncodedSize, bool bWithTag);

// An OID leaf (tag 06, the content octets as its value).
int ConstructNode_ObjectIdentifier(const char* pszOID, NodeEx** ppNode);

// An AlgorithmIdentifier SEQUENCE held as one leaf (tag 30) whose value is its finished content.
int ConstructNode_AlgorithmIdentifier(const char* pszOID, unsigned char* pbyParam, int nParamSize,
                                      NodeEx** ppNode);

// ContentInfo ::= SEQUENCE { contentType OID, content [0] EXPLICIT ANY } (RFC 5652 3).
// On success the new tree owns pNode_Content; on failure pNode_Content stays the caller's.
int ConstructNode_ContentInfo(const char* pszContentTypeOID, NodeEx* pNode_Content,
                              NodeEx** ppNode_ContentInfo);

// The dotted text of a crypto-library object number in a new array; *pnOIDSize counts the
// characters without the NUL. VOMU_OK; VOMU_E_FAIL for an unknown number.
int GetOIDFromNID(int nNID, char** ppszOID, int* pnOIDSize);

#endif
