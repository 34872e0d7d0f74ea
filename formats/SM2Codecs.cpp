// The two SM2 value codecs: SM2Q1, the signature r, s (with the SignerInfo signature field
// built from it), and SM2Cipher, the ciphertext. Both read their numbers by the one INTEGER
// rule of FormatNodes.h.
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "CMSEnvelopeOperations.h"
#include "FormatNodes.h"
#include "HandOver.h"
#include "PKCS7SignedDataOperations.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

using morv::OwnedArray;

// ---- SM2Cipher codec ----

namespace {

using NodePtr = std::unique_ptr<NodeEx>;

// Both codecs' first check: the input parses, as one definite SEQUENCE over exactly its
// whole length. The steps are pszFunc's, the decoder's failure logged with pszDecodeReason.
int DecodeWholeSequence(const char* pszFunc, unsigned char* pbyDER, int nDERSize,
                        const char* pszDecodeReason, const char* pszShapeStep, int nShapeCode,
                        NodePtr* ppTree)
{
    NodeEx* pNode = NULL;
    const int nResult = DecodeASN1MemoryEx(pbyDER, (unsigned long)nDERSize, &pNode);
    ppTree->reset(pNode);
    VOMU_FAIL_IF_REASON_IN(pszFunc, VOMU_OK != nResult || NULL == pNode, pszDecodeReason,
                           "DecodeASN1MemoryEx", VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pszFunc, 0x30 != pNode->Tag || !morv::HasDefiniteLength(pNode) ||
                    (unsigned long long)nDERSize != pNode->TotalLength,
                    pszShapeStep, nShapeCode);
    return VOMU_OK;
}

const int kSM2CoordinateSize = 32;
const int SM3_HASH_SIZE = 32;
// x1 || y1 || C3 around C2 in SM2RawCiphertext.
const int kSM2RawOverhead = 2 * kSM2CoordinateSize + SM3_HASH_SIZE;

// The four fields of a parsed SM2Cipher, each checked.
struct SM2CipherFields {
    unsigned char byX[kSM2CoordinateSize];
    unsigned char byY[kSM2CoordinateSize];
    const NodeEx* pHash;
    const NodeEx* pCipherText;
};

int CheckSM2CipherFields(const char* pszFunc, const NodeEx* pNode_SM2Cipher,
                         SM2CipherFields* pFields)
{
    const std::vector<NodeEx*>& vetFields = pNode_SM2Cipher->vetNodes;
    if (4 != vetFields.size()) {
        VOMU_STEP_FAILED_IN(pszFunc, "Invalid SM2Cipher nodes number.", VOMU_E_BAD_ASN1_DATA,
                            "true");
        return VOMU_E_BAD_ASN1_DATA;
    }
    const bool bX = morv::Integer32::kRead == morv::ReadIntegerNode32(vetFields[0], pFields->byX);
    VOMU_FAIL_IF_REASON_IN(pszFunc, !bX, "nXCoordinateSize > 33", "Check XCoordinate size in SM2Cipher.",
                           VOMU_E_BAD_ASN1_DATA);
    const bool bY = morv::Integer32::kRead == morv::ReadIntegerNode32(vetFields[1], pFields->byY);
    VOMU_FAIL_IF_REASON_IN(pszFunc, !bY, "nYCoordinateSize > 33", "Check YCoordinate size in SM2Cipher.",
                           VOMU_E_BAD_ASN1_DATA);
    pFields->pHash = vetFields[2];
    const unsigned long long nHASH = pFields->pHash->ValueLength;
    VOMU_FAIL_IF_IN(pszFunc,
                    0x04 != pFields->pHash->Tag || !morv::HasDefiniteLength(pFields->pHash) ||
                        SM3_HASH_SIZE != nHASH,
                    "Check SM3 hash size in SM2Cipher.", VOMU_E_BAD_ASN1_DATA);
    pFields->pCipherText = vetFields[3];
    const unsigned long long nCipherText = pFields->pCipherText->ValueLength;
    VOMU_FAIL_IF_IN(pszFunc,
                    0x04 != pFields->pCipherText->Tag ||
                        !morv::HasDefiniteLength(pFields->pCipherText) ||
                        nCipherText > INT_MAX - kSM2RawOverhead,
                    "Check CipherText in SM2Cipher.", VOMU_E_BAD_ASN1_DATA);
    return VOMU_OK;
}

}  // namespace

int Encode_SM2Cipher(unsigned char* pbyRaw, int nRawSize, unsigned char** ppbyDER, int* pnDERSize)
{
    VOMU_FAIL_IF(NULL == pbyRaw || NULL == ppbyDER || NULL == pnDERSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF_REASON(nRawSize <= kSM2RawOverhead, "nC2Size <= 0", "Check C2 byte size.",
                        VOMU_E_INVALID_ARG);
    const int nC2Size = nRawSize - kSM2RawOverhead;

    NodeEx* pNode_SM2Cipher = NULL;
    int nResult = ConstructNode_SM2Cipher(pbyRaw, pbyRaw + kSM2CoordinateSize,
                                          pbyRaw + 2 * kSM2CoordinateSize + nC2Size,
                                          pbyRaw + 2 * kSM2CoordinateSize, nC2Size,
                                          &pNode_SM2Cipher);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SM2Cipher", nResult);
    return morv::EncodeTreeAndHandOver(__func__, pNode_SM2Cipher, ppbyDER, pnDERSize);
}

int ConstructNode_SM2Cipher(unsigned char* pbyX, unsigned char* pbyY, unsigned char* pbyHash,
                            unsigned char* pbyC2, int nC2Size, NodeEx** ppNode_SM2Cipher)
{
    VOMU_FAIL_IF(NULL == pbyX || NULL == pbyY || NULL == pbyHash || 0 > nC2Size ||
                     (NULL == pbyC2 && 0 != nC2Size) || NULL == ppNode_SM2Cipher,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode = NULL;
    int nResult = morv::ConstructNode_UnsignedInteger(__func__, pbyX, kSM2CoordinateSize,
                                                      "new NodeEx(XCoordinate)", &pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(XCoordinate)", VOMU_E_FAIL);
    NodePtr pX(pNode);
    nResult = morv::ConstructNode_UnsignedInteger(__func__, pbyY, kSM2CoordinateSize,
                                                  "new NodeEx(YCoordinate)", &pNode);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(YCoordinate)", VOMU_E_FAIL);
    NodePtr pY(pNode);
    NodePtr pHash(morv::NewLeafNodeEx(0x04, pbyHash, SM3_HASH_SIZE));
    VOMU_FAIL_IF(!pHash, "new NodeEx(HASH)", VOMU_E_FAIL);
    NodePtr pCipherText(morv::NewLeafNodeEx(0x04, pbyC2, (size_t)nC2Size));
    VOMU_FAIL_IF(!pCipherText, "new NodeEx(CipherText)", VOMU_E_FAIL);

    NodeEx* pNode_SM2Cipher = new (std::nothrow) NodeEx();
    VOMU_FAIL_IF(!pNode_SM2Cipher, "new NodeEx(SM2Cipher)", VOMU_E_FAIL);
    NodePtr pSM2Cipher(pNode_SM2Cipher);
    pSM2Cipher->Tag = 0x30;
    NodePtr* const apFields[] = {&pX, &pY, &pHash, &pCipherText};
    for (NodePtr* pField : apFields) {
        nResult = morv::AdoptChild(__func__, pSM2Cipher.get(), pField->release(),
                                   "AddChild(SM2Cipher field)");
        if (VOMU_OK != nResult) return nResult;
    }
    *ppNode_SM2Cipher = pSM2Cipher.release();
    return VOMU_OK;
}

int Decode_SM2Cipher(unsigned char* pbyDER, int nDERSize, unsigned char** ppbyRaw, int* pnRawSize)
{
    VOMU_FAIL_IF(NULL == pbyDER || 0 >= nDERSize || NULL == ppbyRaw || NULL == pnRawSize,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodePtr pTree;
    int nResult = DecodeWholeSequence(__func__, pbyDER, nDERSize,
                                      "VOMU_OK != nResult || NULL == pNode_SM2Cipher",
                                      "Check SM2Cipher SEQUENCE.", VOMU_E_BAD_ASN1_DATA, &pTree);
    if (VOMU_OK != nResult) return nResult;

    SM2CipherFields fields;
    nResult = CheckSM2CipherFields(__func__, pTree.get(), &fields);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CheckSM2CipherFields", nResult);

    const int nC2Size = (int)fields.pCipherText->ValueLength;
    const size_t nRawSize = (size_t)nC2Size + kSM2RawOverhead;
    OwnedArray<unsigned char> pbyC1C2C3 = morv::NewArray<unsigned char>(nRawSize);
    VOMU_FAIL_IF(!pbyC1C2C3, "New memory", VOMU_E_FAIL);
    unsigned char* pbyOut = pbyC1C2C3.get();
    memcpy(pbyOut, fields.byX, kSM2CoordinateSize);
    memcpy(pbyOut + kSM2CoordinateSize, fields.byY, kSM2CoordinateSize);
    if (nC2Size > 0)
        memcpy(pbyOut + 2 * kSM2CoordinateSize, morv::ParsedValue(fields.pCipherText),
               (size_t)nC2Size);
    memcpy(pbyOut + 2 * kSM2CoordinateSize + nC2Size, morv::ParsedValue(fields.pHash),
           SM3_HASH_SIZE);
    return morv::HandOver(pbyC1C2C3, ppbyRaw, pnRawSize, nRawSize);
}

// ---- SM2 signature value SM2Q1 and the SignerInfo signature field ----

namespace {

const int kSM2HalfSize = SM2_RAW_RS_SIZE / 2;
// 30 46 (02 21 00 r) (02 21 00 s): the longest SM2Q1 of two numbers below 2^256.
const int kSM2Q1MaxSize = 72;

bool IsSM2SignatureType(unsigned long fSignatureEncodedType)
{
    return P7_SIGNATURE_SM2_RAW_RS == fSignatureEncodedType ||
           P7_SIGNATURE_SM2_ASN1_Q1 == fSignatureEncodedType ||
           P7_SIGNATURE_SM2_OCTET_STRING_Q1 == fSignatureEncodedType;
}

// r and s as the SignerInfo's last two INTEGERs: the two children of an SM2Q1, moved.
int AppendRawRS(const char* pszFunc, unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode_SM2Q1 = NULL;
    const int nResult = ConstructNode_SM2Q1(pbyRS, kSM2HalfSize, pbyRS + kSM2HalfSize,
                                            kSM2HalfSize, &pNode_SM2Q1);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_SM2Q1", nResult);
    NodePtr pSM2Q1(pNode_SM2Q1);
    // Both INTEGERs or neither: room for two first, so the second cannot fail alone.
    VOMU_FAIL_IF_IN(pszFunc,
                    !morv::ReserveChildren(pNode_SignerInfo, pNode_SignerInfo->vetNodes.size() + 2),
                    "Reserve SignerInfo children", VOMU_E_FAIL);
    morv::MoveChildren(pSM2Q1.get(), pNode_SignerInfo);
    return VOMU_OK;
}

int AppendSM2Q1(const char* pszFunc, unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode_SM2Q1 = NULL;
    int nResult = ConstructNode_SM2Q1(pbyRS, kSM2HalfSize, pbyRS + kSM2HalfSize, kSM2HalfSize,
                                      &pNode_SM2Q1);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_SM2Q1", nResult);
    return morv::AdoptChild(pszFunc, pNode_SignerInfo, pNode_SM2Q1, "AddChild(SM2Q1)");
}

int AppendOctetString(const char* pszFunc, const char* pszStep, unsigned char* pbyValue, int nSize,
                      NodeEx* pNode_SignerInfo)
{
    NodeEx* pNode = morv::NewLeafNodeEx(0x04, pbyValue, (size_t)nSize);
    VOMU_FAIL_IF_IN(pszFunc, !pNode, pszStep, VOMU_E_FAIL);
    return morv::AdoptChild(pszFunc, pNode_SignerInfo, pNode, pszStep);
}

int AppendOctetStringSM2Q1(const char* pszFunc, unsigned char* pbyRS, NodeEx* pNode_SignerInfo)
{
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    int nResult = Encode_SM2Q1(pbyRS, kSM2HalfSize, pbyRS + kSM2HalfSize, kSM2HalfSize,
                               &pbyDER, &nDERSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Encode_SM2Q1", nResult);
    OwnedArray<unsigned char> pDER(pbyDER);
    return AppendOctetString(pszFunc, "new NodeEx(SM2 OCTET STRING Q1)", pDER.get(), nDERSize,
                             pNode_SignerInfo);
}

}  // namespace

int ConstructNode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                        NodeEx** ppNode_SM2Q1)
{
    VOMU_FAIL_IF(NULL == ppNode_SM2Q1, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_R = NULL;
    int nResult = morv::ConstructNode_UnsignedInteger(__func__, pbyR, nRSize,
                                                      "new NodeEx(Raw signature R)", &pNode_R);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(R)", nResult);
    NodePtr pR(pNode_R);
    NodeEx* pNode_S = NULL;
    nResult = morv::ConstructNode_UnsignedInteger(__func__, pbyS, nSSize,
                                                  "new NodeEx(Raw signature S)", &pNode_S);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_UnsignedInteger(S)", nResult);
    NodePtr pS(pNode_S);

    NodeEx* pNode_SM2Q1 = new (std::nothrow) NodeEx();
    VOMU_FAIL_IF(!pNode_SM2Q1, "new NodeEx(SM2Q1)", VOMU_E_FAIL);
    NodePtr pSM2Q1(pNode_SM2Q1);
    pSM2Q1->Tag = 0x30;
    nResult = morv::AdoptChild(__func__, pSM2Q1.get(), pR.release(), "AddChild(Raw signature R)");
    VOMU_FAIL_IF(VOMU_OK != nResult, "AddChild(Raw signature R)", nResult);
    nResult = morv::AdoptChild(__func__, pSM2Q1.get(), pS.release(), "AddChild(Raw signature S)");
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
    return morv::EncodeTreeAndHandOver(__func__, pNode_SM2Q1, ppbyDER, pnDERSize);
}

int Decode_SM2Q1(unsigned char* pbyDER, int nDERSize, unsigned char** ppbyRS, int* pnRSSize)
{
    VOMU_FAIL_IF(NULL == pbyDER || NULL == ppbyRS || NULL == pnRSSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    if (0 >= nDERSize || nDERSize > kSM2Q1MaxSize) {
        VOMU_STEP_FAILED("Invalid SM2 Q1 signature size.", VOMU_E_FAIL, "true");
        return VOMU_E_FAIL;
    }

    NodePtr pTree;
    const int nResult = DecodeWholeSequence(__func__, pbyDER, nDERSize,
                                            "VOMU_OK != nResult || NULL == pNodeSM2Q1",
                                            "Check SM2 Q1 signature SEQUENCE.", VOMU_E_FAIL, &pTree);
    if (VOMU_OK != nResult) return nResult;
    if (2 != pTree->vetNodes.size()) {
        VOMU_STEP_FAILED("Invalid SM2 Q1 signature nodes number.", VOMU_E_FAIL, "true");
        return VOMU_E_FAIL;
    }

    OwnedArray<unsigned char> pbySM2RawSignatureRS = morv::NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF(!pbySM2RawSignatureRS, "New memory", VOMU_E_FAIL);
    const bool bR = morv::Integer32::kRead ==
                    morv::ReadIntegerNode32(pTree->vetNodes[0], pbySM2RawSignatureRS.get());
    VOMU_FAIL_IF(!bR, "Check SM2 Q1 signature R.", VOMU_E_FAIL);
    const bool bS = morv::Integer32::kRead ==
                    morv::ReadIntegerNode32(pTree->vetNodes[1],
                                            pbySM2RawSignatureRS.get() + kSM2HalfSize);
    VOMU_FAIL_IF(!bS, "Check SM2 Q1 signature S.", VOMU_E_FAIL);
    return morv::HandOver(pbySM2RawSignatureRS, ppbyRS, pnRSSize, SM2_RAW_RS_SIZE);
}

int ConstructNode_SignerInfoSignature(const char* pszFunc, unsigned long fSignatureEncodedType,
                                      unsigned char* pbySignature, int nSignatureSize,
                                      NodeEx* pNode_SignerInfo)
{
    VOMU_FAIL_IF_IN(pszFunc,
                    NULL == pNode_SignerInfo || 0 > nSignatureSize ||
                        (NULL == pbySignature && 0 != nSignatureSize),
                    "Check parameter", VOMU_E_INVALID_ARG);
    if (IsSM2SignatureType(fSignatureEncodedType)) {
        VOMU_FAIL_IF_IN(pszFunc, SM2_RAW_RS_SIZE != nSignatureSize, "Check SM2 raw signature size",
                        VOMU_E_INVALID_ARG);
    }
    switch (fSignatureEncodedType) {
    case P7_SIGNATURE_SM2_RAW_RS:
        return AppendRawRS(pszFunc, pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_SM2_ASN1_Q1:
        return AppendSM2Q1(pszFunc, pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_SM2_OCTET_STRING_Q1:
        return AppendOctetStringSM2Q1(pszFunc, pbySignature, pNode_SignerInfo);
    case P7_SIGNATURE_RSA_PKCS1:
        return AppendOctetString(pszFunc, "new NodeEx(RSA PKCS#1)", pbySignature, nSignatureSize,
                                 pNode_SignerInfo);
    default:
        TRACE(TRACE_LEVEL_INFO, "fSignatureEncodedType = 0x%04lx", fSignatureEncodedType);
        VOMU_STEP_FAILED_IN(pszFunc, "Invalid signature type.", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
}
