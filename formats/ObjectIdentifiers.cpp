#include <openssl/asn1.h>
#include <openssl/objects.h>

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
    return morv::HandOver(pTLV, ppbyEncoded, pnEncodedSize, (size_t)nTLVSize);
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
    return morv::HandOver(pTLV, ppbyEncoded, pnEncodedSize, (size_t)nTLVSize);
}

int ConstructNode_ObjectIdentifier(const char* pszOID, NodeEx** ppNode)
{
    VOMU_FAIL_IF(NULL == ppNode, "Check parameter", VOMU_E_INVALID_ARG);
    unsigned char* pbyOID = NULL;
    int nOIDSize = 0;
    int nResult = Encode_ObjectIdentifier(pszOID, &pbyOID, &nOIDSize, false);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_ObjectIdentifier", nResult);
    OwnedArray<unsigned char> pOID(pbyOID);

    NodeEx* pNode_contentType = morv::NewOwningLeaf(0x06, pOID, nOIDSize);
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

    NodeEx* pNode_contentEncryptionAlgorithm = morv::NewOwningLeaf(0x30, pContent, nContentSize);
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
    nResult = morv::AdoptChild(__func__, pContentInfo.get(), pContentType.release(),
                               "AddChild(contentType)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(contentType)", nResult);
    pExplicit->AddChild(pNode_Content);
    nResult =
        morv::AdoptChild(__func__, pContentInfo.get(), pExplicit.release(), "AddChild(content)");
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
    VOMU_FAIL_IF_OSSL_REASON(0 >= nOIDLen, "0 == nOIDLen", "OBJ_obj2txt", VOMU_E_FAIL);
    OwnedArray<char> pszOID = morv::NewArray<char>((size_t)nOIDLen + 1);
    VOMU_FAIL_IF(!pszOID, "New memory", VOMU_E_FAIL);
    memset(pszOID.get(), 0, (size_t)nOIDLen + 1);
    const int nResult = OBJ_obj2txt(pszOID.get(), nOIDLen + 1, pObject.get(), 1);
    VOMU_FAIL_IF_OSSL(nResult != nOIDLen, "OBJ_obj2txt", VOMU_E_FAIL);
    return morv::HandOver(pszOID, ppszOID, pnOIDSize, (size_t)nOIDLen);
}

namespace morv {

int ObjectText(const char* pszFunc, const ASN1_OBJECT* pOid, const ObjectTextSteps& steps,
               OwnedArray<char>* ppText, size_t* pnText)
{
    int nLength = OBJ_obj2txt(NULL, 0, pOid, 1);
    if (nLength < 0) nLength = 0;
    VOMU_FAIL_IF_OSSL_REASON_IN(pszFunc, 0 == nLength, steps.pszLengthReason, steps.pszMeasure,
                                VOMU_E_FAIL);
    OwnedArray<char> pszOid = NewArray<char>((size_t)nLength + 1);
    VOMU_FAIL_IF_REASON_IN(pszFunc, !pszOid, steps.pszMemoryReason, "New memory", VOMU_E_FAIL);
    memset(pszOid.get(), 0, (size_t)nLength + 1);
    const bool bWritten = nLength == OBJ_obj2txt(pszOid.get(), nLength + 1, pOid, 1);
    VOMU_FAIL_IF_OSSL_REASON_IN(pszFunc, !bWritten, steps.pszLengthReason, steps.pszWrite,
                                VOMU_E_FAIL);
    *ppText = std::move(pszOid);
    *pnText = (size_t)nLength;
    return VOMU_OK;
}

int DecodeObjectText(const char* pszFunc, const unsigned char* pbyElement, size_t nElementSize,
                     const ObjectTextSteps& steps, OwnedArray<char>* ppText, size_t* pnText)
{
    const unsigned char* pbyCursor = pbyElement;
    OsslPtr<ASN1_OBJECT> pObject(d2i_ASN1_OBJECT(NULL, &pbyCursor, (long)nElementSize));
    VOMU_FAIL_IF_OSSL_REASON_IN(pszFunc, !pObject, steps.pszDecodeReason, steps.pszDecode,
                                VOMU_E_FAIL);
    return ObjectText(pszFunc, pObject.get(), steps, ppText, pnText);
}

}  // namespace morv
