#include "PKCS7SignedDataOperations.h"

#include <cstring>
#include <memory>
#include <new>

#include "FormatNodes.h"
#include "HandOver.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

using morv::OwnedArray;

// ---- SM2 signature value SM2Q1 and the SignerInfo signature field ----

namespace {

const int kSM2HalfSize = SM2_RAW_RS_SIZE / 2;
// 30 46 (02 21 00 r) (02 21 00 s): the longest SM2Q1 of two numbers below 2^256.
const int kSM2Q1MaxSize = 72;

using NodePtr = std::unique_ptr<NodeEx>;

bool IsSM2SignatureType(unsigned long fSignatureEncodedType)
{
    return P7_SIGNATURE_SM2_RAW_RS == fSignatureEncodedType ||
           P7_SIGNATURE_SM2_ASN1_Q1 == fSignatureEncodedType ||
           P7_SIGNATURE_SM2_OCTET_STRING_Q1 == fSignatureEncodedType;
}

int AppendRawRS(unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode_R = NULL;
    int nResult = morv::ConstructNode_UnsignedInteger(pbyRS, kSM2HalfSize,
                                                      "new NodeEx(Raw signature R)", &pNode_R);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(R)", nResult);
    NodePtr pR(pNode_R);
    NodeEx* pNode_S = NULL;
    nResult = morv::ConstructNode_UnsignedInteger(pbyRS + kSM2HalfSize, kSM2HalfSize,
                                                  "new NodeEx(Raw signature S)", &pNode_S);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(S)", nResult);
    NodePtr pS(pNode_S);
    // Both INTEGERs or neither: room for two first, so the second cannot fail alone.
    VOMU_FAIL_IF(!morv::ReserveChildren(pNode_SignerInfo, pNode_SignerInfo->vetNodes.size() + 2),
                 "Reserve SignerInfo children", VOMU_E_FAIL);
    nResult = morv::AdoptChild(pNode_SignerInfo, pR.release(), "AddChild(Raw signature R)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(Raw signature R)", nResult);
    return morv::AdoptChild(pNode_SignerInfo, pS.release(), "AddChild(Raw signature S)");
}

int AppendSM2Q1(unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode_SM2Q1 = NULL;
    int nResult = ConstructNode_SM2Q1(pbyRS, kSM2HalfSize, pbyRS + kSM2HalfSize, kSM2HalfSize,
                                      &pNode_SM2Q1);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SM2Q1", nResult);
    return morv::AdoptChild(pNode_SignerInfo, pNode_SM2Q1, "AddChild(SM2Q1)");
}

int AppendOctetString(const char* pszStep, unsigned char* pbyValue, int nSize,
                      NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode = morv::NewLeafNodeEx(0x04, pbyValue, (size_t)nSize);
    VOMU_FAIL_IF(!pNode, pszStep, VOMU_E_FAIL);
    return morv::AdoptChild(pNode_SignerInfo, pNode, pszStep);
}

int AppendOctetStringSM2Q1(unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    int nResult = Encode_SM2Q1(pbyRS, kSM2HalfSize, pbyRS + kSM2HalfSize, kSM2HalfSize,
                               &pbyDER, &nDERSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_SM2Q1", nResult);
    OwnedArray<unsigned char> pDER(pbyDER);
    return AppendOctetString("new NodeEx(SM2 OCTET STRING Q1)", pDER.get(), nDERSize,
                             pNode_SignerInfo);
}

}  // namespace

int ConstructNode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                        NodeEx** ppNode_SM2Q1)
{
    VOMU_FAIL_IF(NULL == ppNode_SM2Q1, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_R = NULL;
    int nResult = morv::ConstructNode_UnsignedInteger(pbyR, nRSize,
                                                      "new NodeEx(Raw signature R)", &pNode_R);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(R)", nResult);
    NodePtr pR(pNode_R);
    NodeEx* pNode_S = NULL;
    nResult = morv::ConstructNode_UnsignedInteger(pbyS, nSSize, "new NodeEx(Raw signature S)",
                                                  &pNode_S);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(S)", nResult);
    NodePtr pS(pNode_S);

    NodeEx* pNode_SM2Q1 = new (std::nothrow) NodeEx();
    VOMU_FAIL_IF(!pNode_SM2Q1, "new NodeEx(SM2Q1)", VOMU_E_FAIL);
    NodePtr pSM2Q1(pNode_SM2Q1);
    pSM2Q1->Tag = 0x30;
    nResult = morv::AdoptChild(pSM2Q1.get(), pR.release(), "AddChild(Raw signature R)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(Raw signature R)", nResult);
    nResult = morv::AdoptChild(pSM2Q1.get(), pS.release(), "AddChild(Raw signature S)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(Raw signature S)", nResult);
    *ppNode_SM2Q1 = pSM2Q1.release();
    return VOMU_OK;
}

int Encode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                 unsigned char** ppbyDER, int* pnDERSize)
{
    VOMU_FAIL_IF(NULL == ppbyDER || NULL == pnDERSize, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_SM2Q1 = NULL;
    int nResult = ConstructNode_SM2Q1(pbyR, nRSize, pbyS, nSSize, &pNode_SM2Q1);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SM2Q1", nResult);
    return morv::EncodeTreeAndHandOver(pNode_SM2Q1, ppbyDER, pnDERSize);
}

int Decode_SM2Q1(unsigned char* pbyDER, int nDERSize, unsigned char** ppbyRS, int* pnRSSize)
{
    VOMU_FAIL_IF(NULL == pbyDER || NULL == ppbyRS || NULL == pnRSSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(0 >= nDERSize || nDERSize > kSM2Q1MaxSize, "Invalid SM2 Q1 signature size.",
                 VOMU_E_FAIL);

    NodeEx* pNodeSM2Q1 = NULL;
    int nResult = DecodeASN1MemoryEx(pbyDER, (unsigned long)nDERSize, &pNodeSM2Q1);
    NodePtr pTree(pNodeSM2Q1);
    VOMU_FAIL_IF(VOMU_OK != nResult || NULL == pNodeSM2Q1, "DecodeASN1MemoryEx", VOMU_E_FAIL);
    VOMU_FAIL_IF(0x30 != pTree->Tag || !morv::HasDefiniteLength(pTree.get()) ||
                     (unsigned long long)nDERSize != pTree->TotalLength,
                 "Check SM2 Q1 signature SEQUENCE.", VOMU_E_FAIL);
    VOMU_FAIL_IF(2 != pTree->vetNodes.size(), "Invalid SM2 Q1 signature nodes number.",
                 VOMU_E_FAIL);

    OwnedArray<unsigned char> pbySM2RawSignatureRS = morv::NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF(!pbySM2RawSignatureRS, "New memory", VOMU_E_FAIL);
    const bool bR = morv::ReadUnsignedInteger32(pTree->vetNodes[0], pbySM2RawSignatureRS.get());
    VOMU_FAIL_IF(!bR, "Check SM2 Q1 signature R.", VOMU_E_FAIL);
    const bool bS = morv::ReadUnsignedInteger32(pTree->vetNodes[1],
                                                pbySM2RawSignatureRS.get() + kSM2HalfSize);
    VOMU_FAIL_IF(!bS, "Check SM2 Q1 signature S.", VOMU_E_FAIL);
    morv::HandOver(pbySM2RawSignatureRS, ppbyRS, pnRSSize, SM2_RAW_RS_SIZE);
    return VOMU_OK;
}

int ConstructNode_SignerInfoSignature(unsigned long fSignatureEncodedType,
                                      unsigned char* pbySignature, int nSignatureSize,
                                      NodeEx* pNode_SignerInfo)
{
    VOMU_FAIL_IF(NULL == pNode_SignerInfo || 0 > nSignatureSize ||
                     (NULL == pbySignature && 0 != nSignatureSize),
                 "Check parameter", VOMU_E_INVALID_ARG);
    if (IsSM2SignatureType(fSignatureEncodedType)) {
        VOMU_FAIL_IF(SM2_RAW_RS_SIZE != nSignatureSize, "Check SM2 raw signature size",
                     VOMU_E_INVALID_ARG);
    }
    switch (fSignatureEncodedType) {
    case P7_SIGNATURE_SM2_RAW_RS:
        return AppendRawRS(pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_SM2_ASN1_Q1:
        return AppendSM2Q1(pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_SM2_OCTET_STRING_Q1:
        return AppendOctetStringSM2Q1(pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_RSA_PKCS1:
        return AppendOctetString("new NodeEx(RSA PKCS#1)", pbySignature, nSignatureSize,
                                 pNode_SignerInfo);
    default:
        TRACE(TRACE_LEVEL_INFO, "fSignatureEncodedType = 0x%04lx", fSignatureEncodedType);
        VOMU_STEP_FAILED("Invalid signature type.", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
}
