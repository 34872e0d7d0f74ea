// The attribute lookup: the value of one attribute type in a signed or unsigned attribute set.
#include <cstring>
#include <memory>

#include "FormatNodes.h"
#include "HandOver.h"
#include "PKCS7SignedDataOperations.h"
#include "VomuStep.h"
#include "vomu_result.h"

using morv::Child;
using morv::LastChild;
using morv::NewArray;
using morv::OwnedArray;
using morv::TlvStart;

namespace {

using NodePtr = std::unique_ptr<NodeEx>;

// Identifier octets the attribute reader names in its log lines.
const unsigned char ASN1_TAG_P_OBJECT_IDENTIFIER = 0x06;
const unsigned char ASN1_TAG_C_SEQUENCE = 0x30;
const unsigned char ASN1_TAG_C_SET_OF = 0x31;

// Attribute ::= SEQUENCE { attrType OBJECT IDENTIFIER, attrValues SET OF } (RFC 5652 5.3).
int CheckAttribute(const char* pszFunc, const NodeEx* pNodeCursor)
{
    VOMU_FAIL_IF_IN(pszFunc,
                    (pNodeCursor->vetNodes.size() != 2 || pNodeCursor->Tag != ASN1_TAG_C_SEQUENCE),
                    "Check attribute node", VOMU_E_BAD_ASN1_DATA);
    return VOMU_OK;
}

int CheckAttrType(const char* pszFunc, const NodeEx* pNodeCursor)
{
    VOMU_FAIL_IF_IN(
        pszFunc,
        (pNodeCursor->vetNodes.size() != 0 || pNodeCursor->Tag != ASN1_TAG_P_OBJECT_IDENTIFIER),
        "Check attrType node", VOMU_E_BAD_ASN1_DATA);
    return VOMU_OK;
}

int CheckAttrValues(const char* pszFunc, const NodeEx* pNodeCursor)
{
    VOMU_FAIL_IF_IN(pszFunc,
                    (pNodeCursor->vetNodes.size() < 1 || pNodeCursor->Tag != ASN1_TAG_C_SET_OF),
                    "Check attrValues node", VOMU_E_BAD_ASN1_DATA);
    return VOMU_OK;
}

// The content octets of an attribute's SET of values: from its first value's TLV to the end
// of its last, so the end-of-contents octets of an indefinite SET are never part of them.
int CopyAttributeValues(const char* pszFunc, const NodeEx* pAttrValues,
                        unsigned char** ppbyAttrValue, int* pnAttrValueSize)
{
    const NodeEx* pFirst = Child(pAttrValues, 0);
    const NodeEx* pLast = LastChild(pAttrValues);
    const uint64_t nStart = TlvStart(pFirst);
    const size_t nSize = (size_t)(TlvStart(pLast) + pLast->TotalLength - nStart);
    OwnedArray<unsigned char> pbyAttributeValue = NewArray<unsigned char>(nSize);
    VOMU_FAIL_IF_IN(pszFunc, !pbyAttributeValue, "New memory", VOMU_E_FAIL);
    memcpy(pbyAttributeValue.get(), pFirst->pSourceData + nStart, nSize);
    VOMU_STEP_OK_IN(pszFunc, "Have found the target attribute?");
    return morv::HandOver(pbyAttributeValue, ppbyAttrValue, pnAttrValueSize, nSize);
}

bool IsAttrType(const NodeEx* pAttrType, const unsigned char* pbyOid, int nOidSize)
{
    return pAttrType->ValueLength == (uint64_t)nOidSize &&
           0 == memcmp(morv::ParsedValue(pAttrType), pbyOid, (size_t)nOidSize);
}

}  // namespace

int ParseSignedUnsignedAttributes(unsigned char* pbyAttributes, int nAttributesSize,
                                  const char* pszAttrOID, unsigned char** ppbyAttrValue,
                                  int* pnAttrValueSize)
{
    VOMU_FAIL_IF(NULL == pbyAttributes || 0 >= nAttributesSize || NULL == pszAttrOID,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode = NULL;
    int nResult = DecodeASN1MemoryEx(pbyAttributes, (unsigned long)nAttributesSize, &pNode);
    NodePtr pNodeAttributes(pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "DecodeASN1MemoryEx", VOMU_E_BAD_ASN1_DATA);
    VOMU_FAIL_IF(pNodeAttributes->vetNodes.size() < 1, "Check child nodes number",
                 VOMU_E_BAD_ASN1_DATA);
    unsigned char* pbyOid = NULL;
    int nOidSize = 0;
    nResult = Encode_ObjectIdentifier(pszAttrOID, &pbyOid, &nOidSize, false);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_ObjectIdentifier", nResult);
    OwnedArray<unsigned char> pOid(pbyOid);

    for (const NodeEx* pAttribute : pNodeAttributes->vetNodes) {
        if (VOMU_OK != (nResult = CheckAttribute(__func__, pAttribute))) return nResult;
        if (VOMU_OK != (nResult = CheckAttrType(__func__, Child(pAttribute, 0)))) return nResult;
        if (!IsAttrType(Child(pAttribute, 0), pOid.get(), nOidSize)) continue;
        if (VOMU_OK != (nResult = CheckAttrValues(__func__, Child(pAttribute, 1)))) return nResult;
        return CopyAttributeValues(__func__, Child(pAttribute, 1), ppbyAttrValue, pnAttrValueSize);
    }
    VOMU_STEP_FAILED("Have found the target attribute?", VOMU_E_BAD_ASN1_DATA, "!bFoundAttribute");
    return VOMU_E_BAD_ASN1_DATA;
}
