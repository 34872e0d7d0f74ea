// The positional SignedData readers, second half: attributes, algorithm texts and the
// signature, and the two public readers over memory and over a file.
#include <memory>

#include "Misc.h"
#include "PKCS7SignedDataOperations.h"
#include "SignedDataTree.h"

using morv::OwnedArray;
using morv::Child;
using morv::Children;
using morv::IsNode;
using morv::LastChild;
using namespace morv::signeddata;

namespace {

using NodePtr = std::unique_ptr<NodeEx>;

int CopyAttributes(const SignedDataNodes& nodes, const SignedDataRequest& request,
                   SignedDataParts* pParts)
{
    int nResult = VOMU_OK;
    if (request.bSignedAttrs && nodes.pSignedAttrs) {
        nResult = CopyTlv(nodes.pszFunc, nodes.pSignedAttrs, "!pbySignedAttrs",
                          &pParts->pSignedAttrs,
                          &pParts->nSignedAttrs);
    }
    if (VOMU_OK == nResult && request.bUnsignedAttrs && nodes.pUnsignedAttrs) {
        nResult = CopyTlv(nodes.pszFunc, nodes.pUnsignedAttrs, "!pbyUnsignedAttrs",
                          &pParts->pUnsignedAttrs,
                          &pParts->nUnsignedAttrs);
    }
    return nResult;
}


// Dotted decimal text of the OBJECT IDENTIFIER heading an AlgorithmIdentifier.
int AlgorithmOidText(const char* pszFunc, const NodeEx* pAlgorithm,
                     const morv::ObjectTextSteps& steps,
                     OwnedArray<char>* ppText, size_t* pnText)
{
    VOMU_FAIL_IF_REASON_IN(pszFunc, !(IsNode(pAlgorithm, 0x30, 1)),
                           "true", "Check PKCS#7 AlgorithmIdentifier nodes", VOMU_E_PKCS7_FORMAT);
    SourceOctets oid(pszFunc);
    if (!oid.Tlv(Child(pAlgorithm, 0))) return oid.Failure();
    return morv::DecodeObjectText(pszFunc, oid.Data(), oid.Size(), steps, ppText, pnText);
}

int ReadAlgorithms(const SignedDataNodes& nodes, const SignedDataRequest& request,
                   SignedDataParts* pParts)
{
    if (request.bDigestAlg) {
        const int nResult = AlgorithmOidText(nodes.pszFunc, Child(nodes.pSignerInfo, 2),
                                             kDigestAlgSteps,
                                             &pParts->pDigestAlg, &pParts->nDigestAlg);
        if (VOMU_OK != nResult) return nResult;
    }
    if (request.bDigestEncAlg) {
        return AlgorithmOidText(nodes.pszFunc, nodes.pDigestEncAlg, kDigestEncAlgSteps,
                                &pParts->pDigestEncAlg,
                                &pParts->nDigestEncAlg);
    }
    return VOMU_OK;
}

// r || s from two INTEGERs, each by the one 32-octet rule of FormatNodes.h.
int JoinRS(const NodeEx* pR, const NodeEx* pS, SignedDataParts* pParts)
{
    OwnedArray<unsigned char> pbyRawSignature = morv::NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF_IN(pParts->pszFunc, !pbyRawSignature, "New memory", VOMU_E_FAIL);
    const morv::Integer32 r = morv::ReadIntegerNode32(pR, pbyRawSignature.get());
    const morv::Integer32 s = morv::ReadIntegerNode32(pS, pbyRawSignature.get() + 32);
    VOMU_FAIL_IF_IN(pParts->pszFunc,
                    morv::Integer32::kUnreadable == r || morv::Integer32::kUnreadable == s, "fread",
                    VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pParts->pszFunc, morv::Integer32::kRead != r || morv::Integer32::kRead != s,
                    "Check R/S value",
                    VOMU_E_PKCS7_FORMAT);
    pParts->pSignature = std::move(pbyRawSignature);
    pParts->nSignature = SM2_RAW_RS_SIZE;
    return VOMU_OK;
}

// An OCTET STRING signature is read by the outer content type: stored as it is under PKCS#7's
// signedData, an SM2Q1 to decode under the SM2 one.
int ReadOctetStringSignature(const SignedDataNodes& nodes, const NodeEx* pSignature,
                             SignedDataParts* pParts)
{
    const NodeEx* pType = nodes.pContentType;
    VOMU_FAIL_IF_REASON_IN(nodes.pszFunc,
                           !(0x06 == pType->Tag && 0 == Children(pType) && pType->ValueLength >= 9),
                           "true", "Check PKCS#7 'contentType' nodes", VOMU_E_PKCS7_FORMAT);
    SourceOctets type(nodes.pszFunc);
    const uint64_t nCompared = pType->ValueLength < 10 ? 9 : 10;
    if (!type.Read(pType, (uint64_t)pType->ValueOffset, nCompared)) return type.Failure();
    const bool bPKCS7 = 0 == memcmp(type.Data(), kOidPKCS7SignedData, sizeof kOidPKCS7SignedData);
    const bool bSM2 = !bPKCS7 && 10 == nCompared &&
                      0 == memcmp(type.Data(), kOidSM2SignedData, sizeof kOidSM2SignedData);
    VOMU_FAIL_IF_REASON_IN(nodes.pszFunc, !(bPKCS7 || bSM2), "true",
                           "Check PKCS#7 'contentType' nodes",
                           VOMU_E_PKCS7_FORMAT);

    SourceOctets value(nodes.pszFunc);
    if (!value.Value(pSignature)) return value.Failure();
    if (bPKCS7) {
        OwnedArray<unsigned char> pbyRawSignature = value.Copy();
        VOMU_FAIL_IF_IN(nodes.pszFunc, !pbyRawSignature, "New memory", VOMU_E_FAIL);
        pParts->pSignature = std::move(pbyRawSignature);
        pParts->nSignature = value.Size();
        return VOMU_OK;
    }
    unsigned char* pbyRS = NULL;
    int nRSSize = 0;
    const int nResult = Decode_SM2Q1(const_cast<unsigned char*>(value.Data()), (int)value.Size(),
                                     &pbyRS, &nRSSize);
    VOMU_FAIL_IF_IN(nodes.pszFunc, VOMU_OK != nResult, "Decode_SM2Q1", nResult);
    pParts->pSignature.reset(pbyRS);
    pParts->nSignature = (size_t)nRSSize;
    return VOMU_OK;
}

int DecodeSignature(const SignedDataNodes& nodes, SignedDataParts* pParts)
{
    const NodeEx* pSignerInfo = nodes.pSignerInfo;
    const NodeEx* pSignature = Child(pSignerInfo, nodes.nSignature);
    if (0x04 == pSignature->Tag) return ReadOctetStringSignature(nodes, pSignature, pParts);
    if (0x30 == pSignature->Tag) {
        VOMU_FAIL_IF_REASON_IN(nodes.pszFunc, !(2 == Children(pSignature)), "true",
                               "Check PKCS#7 'signature' nodes",
                               VOMU_E_PKCS7_FORMAT);
        return JoinRS(Child(pSignature, 0), Child(pSignature, 1), pParts);
    }
    // r and s as the SignerInfo's last two fields.
    const bool bTwoIntegers = nodes.nSignature + 2 == Children(pSignerInfo) &&
                              0x02 == pSignature->Tag && 0x02 == LastChild(pSignerInfo)->Tag;
    VOMU_FAIL_IF_REASON_IN(nodes.pszFunc, !(bTwoIntegers), "true", "Check PKCS#7 'signature' nodes",
                           VOMU_E_PKCS7_FORMAT);
    return JoinRS(pSignature, LastChild(pSignerInfo), pParts);
}

// Every step of both positional readers, in their order.
int ReadSignedDataTree(const NodeEx* pRoot, const SignedDataRequest& request,
                       SignedDataParts* pParts)
{
    SignedDataNodes nodes;
    nodes.pszFunc = request.pszFunc;
    pParts->pszFunc = request.pszFunc;
    int nResult = LocateSignedData(pRoot, request.bFile, &nodes);
    if (VOMU_OK == nResult) nResult = ReadContent(&nodes, request.bFile, pParts);
    if (VOMU_OK == nResult) nResult = LocateSignerInfo(&nodes);
    if (VOMU_OK == nResult) nResult = SelectCertificate(nodes, pParts);
    if (VOMU_OK == nResult) nResult = CopyAttributes(nodes, request, pParts);
    if (VOMU_OK == nResult) nResult = ReadAlgorithms(nodes, request, pParts);
    if (VOMU_OK == nResult) nResult = DecodeSignature(nodes, pParts);
    return nResult;
}

template <typename T>
void HandOverPart(OwnedArray<T>& pPart, size_t nSize, T** ppOut, int* pnOutSize)
{
    morv::HandOver(pPart, ppOut, pnOutSize, nSize);
}

// The outputs both readers share, as the caller passed them (each pair optional).
struct SignerOutputs {
    unsigned char** ppbyCert;
    int* pnCertSize;
    unsigned char** ppbySignature;
    int* pnSignatureSize;
    char** ppszDigestAlgOid;
    int* pnDigestAlgOidSize;
    char** ppszDigestEncryptionAlgOid;
    int* pnDigestEncryptionAlgOidSize;
    unsigned char** ppbySignedAttrs;
    int* pnSignedAttrsSize;
    unsigned char** ppbyUnsignedAttrs;
    int* pnUnsignedAttrsSize;
};

// Reads the tree for what the outputs ask, then hands over all but the content, which stays
// in *pParts for the reader's own form of it.
int ReadAndHandOver(const char* pszFunc, const NodeEx* pRoot, bool bFile, const SignerOutputs& out,
                    SignedDataParts* pParts)
{
    const SignedDataRequest request = {pszFunc, bFile, NULL != out.ppszDigestAlgOid,
                                       NULL != out.ppszDigestEncryptionAlgOid,
                                       NULL != out.ppbySignedAttrs, NULL != out.ppbyUnsignedAttrs};
    const int nResult = ReadSignedDataTree(pRoot, request, pParts);
    if (VOMU_OK != nResult) return nResult;
    HandOverPart(pParts->pCert, pParts->nCert, out.ppbyCert, out.pnCertSize);
    HandOverPart(pParts->pSignature, pParts->nSignature, out.ppbySignature, out.pnSignatureSize);
    HandOverPart(pParts->pDigestAlg, pParts->nDigestAlg, out.ppszDigestAlgOid,
                 out.pnDigestAlgOidSize);
    HandOverPart(pParts->pDigestEncAlg, pParts->nDigestEncAlg, out.ppszDigestEncryptionAlgOid,
                 out.pnDigestEncryptionAlgOidSize);
    HandOverPart(pParts->pSignedAttrs, pParts->nSignedAttrs, out.ppbySignedAttrs,
                 out.pnSignedAttrsSize);
    HandOverPart(pParts->pUnsignedAttrs, pParts->nUnsignedAttrs, out.ppbyUnsignedAttrs,
                 out.pnUnsignedAttrsSize);
    return VOMU_OK;
}

// Where the content goes: a copy with a zero octet after it (memory reader), or its place in
// the file (file reader).
struct ContentOutputs {
    unsigned char** ppbySourceData;
    int* pnSourceDataSize;
    long long* pnSourceDataPosition;
};

// Both readers once the input is checked: decode (from memory, or the whole file when fpFile
// is given), read, hand over. The steps are logged under pszFunc, the reader called.
int ReadSignedData(const char* pszFunc, const unsigned char* pbyPKCS7, int nPKCS7Size,
                   FILE* fpFile, const SignerOutputs& out, const ContentOutputs& content)
{
    NodeEx* pPKCS7 = NULL;
    int nResult = fpFile ? DecodeASN1FileEx(fpFile, &pPKCS7)
                         : DecodeASN1MemoryEx(pbyPKCS7, (unsigned long)nPKCS7Size, &pPKCS7);
    NodePtr pTree(pPKCS7);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult || NULL == pPKCS7,
                    fpFile ? "DecodeASN1FileEx" : "DecodeASN1MemoryEx", VOMU_E_FAIL);
    SignedDataParts parts;
    nResult = ReadAndHandOver(pszFunc, pTree.get(), NULL != fpFile, out, &parts);
    if (VOMU_OK != nResult) return nResult;
    if (!fpFile) {
        HandOverPart(parts.pContent, parts.nContent, content.ppbySourceData,
                     content.pnSourceDataSize);
        return VOMU_OK;
    }
    if (content.pnSourceDataPosition) *content.pnSourceDataPosition = parts.nContentPosition;
    if (content.pnSourceDataSize) *content.pnSourceDataSize = (int)parts.nContent;
    return VOMU_OK;
}

}  // namespace

int ParsePKCS7Signature(unsigned char* pbyPKCS7, int nPKCS7Size,
                        unsigned char** ppbyCert, int* pnCertSize,
                        unsigned char** ppbySignature, int* pnSignatureSize,
                        unsigned char** ppbySourceData, int* pnSourceDataSize,
                        char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                        char** ppszDigestEncryptionAlgOid, int* pnDigestEncryptionAlgOidSize,
                        unsigned char** ppbySignedAttrs, int* pnSignedAttrsSize,
                        unsigned char** ppbyUnsignedAttrs, int* pnUnsignedAttrsSize)
{
    VOMU_FAIL_IF(NULL == pbyPKCS7 || 0 >= nPKCS7Size, "Check parameter", VOMU_E_INVALID_ARG);
    return ReadSignedData(__func__, pbyPKCS7, nPKCS7Size, NULL,
                          {ppbyCert, pnCertSize, ppbySignature, pnSignatureSize, ppszDigestAlgOid,
                           pnDigestAlgOidSize, ppszDigestEncryptionAlgOid,
                           pnDigestEncryptionAlgOidSize, ppbySignedAttrs, pnSignedAttrsSize,
                           ppbyUnsignedAttrs, pnUnsignedAttrsSize},
                          {ppbySourceData, pnSourceDataSize, NULL});
}

int ParsePKCS7AttachedSignatureFile(FILE* fpPKCS7File,
                                    unsigned char** ppbyCert, int* pnCertSize,
                                    unsigned char** ppbySignature, int* pnSignatureSize,
                                    long long* pnSourceDataPosition, int* pnSourceDataSize,
                                    char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                                    char** ppszDigestEncryptionAlgOid,
                                    int* pnDigestEncryptionAlgOidSize,
                                    unsigned char** ppbySignedAttrs, int* pnSignedAttrsSize,
                                    unsigned char** ppbyUnsignedAttrs, int* pnUnsignedAttrsSize)
{
    VOMU_FAIL_IF(NULL == fpPKCS7File, "Check parameter", VOMU_E_INVALID_ARG);
    morv::FilePositionGuard position(fpPKCS7File);
    VOMU_FAIL_IF(!position.Ok(), "ftell", VOMU_E_FAIL);
    const SignerOutputs out = {ppbyCert, pnCertSize, ppbySignature, pnSignatureSize,
                               ppszDigestAlgOid, pnDigestAlgOidSize, ppszDigestEncryptionAlgOid,
                               pnDigestEncryptionAlgOidSize, ppbySignedAttrs, pnSignedAttrsSize,
                               ppbyUnsignedAttrs, pnUnsignedAttrsSize};
    return ReadSignedData(__func__, NULL, 0, fpPKCS7File, out,
                          {NULL, pnSourceDataSize, pnSourceDataPosition});
}
