// Verification of SM2 SignedData, attached or detached, in memory and in files. The public
// key is the certificate's inside the SignedData, and only the signature is checked.
#include <sys/types.h>

#include <cstdio>

#include "Base64Utility.h"
#include "DataSigning.h"
#include "HandOver.h"
#include "PKCS7SignedDataOperations.h"
#include "SM2.h"
#include "VomuStep.h"

using morv::OwnedArray;

namespace {

// The parts of a SignedData that verification uses.
struct ParsedSignedData {
    OwnedArray<unsigned char> pbyCert, pbySignature, pbySourceData;
    int nCertSize = 0, nSignatureSize = 0, nSourceDataSize = 0;
    long long llSourceDataPosition = 0;  // attached content in a file
};

struct PublicKey {
    OwnedArray<unsigned char> pbyX, pbyY;
};

// The helpers below log their steps under pszFunc, the verifier whose steps they are.
int ParseSignedData(const char* pszFunc, const unsigned char* pbyPKCS7, int nPKCS7Size,
                    ParsedSignedData& parsed)
{
    unsigned char *pbyCert = NULL, *pbySignature = NULL, *pbySourceData = NULL;
    int nResult = ParsePKCS7Signature(const_cast<unsigned char*>(pbyPKCS7), nPKCS7Size, &pbyCert,
                                      &parsed.nCertSize, &pbySignature, &parsed.nSignatureSize,
                                      &pbySourceData, &parsed.nSourceDataSize, NULL, NULL, NULL,
                                      NULL, NULL, NULL, NULL, NULL);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ParsePKCS7Signature", nResult);
    parsed.pbyCert.reset(pbyCert);
    parsed.pbySignature.reset(pbySignature);
    parsed.pbySourceData.reset(pbySourceData);
    return VOMU_OK;
}

int ParseSignedDataFile(const char* pszFunc, FILE* fpP7File, ParsedSignedData& parsed)
{
    unsigned char *pbyCert = NULL, *pbySignature = NULL;
    int nResult = ParsePKCS7AttachedSignatureFile(
        fpP7File, &pbyCert, &parsed.nCertSize, &pbySignature, &parsed.nSignatureSize,
        &parsed.llSourceDataPosition, &parsed.nSourceDataSize, NULL, NULL, NULL, NULL, NULL, NULL,
        NULL, NULL);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ParsePKCS7AttachedSignatureFile", nResult);
    parsed.pbyCert.reset(pbyCert);
    parsed.pbySignature.reset(pbySignature);
    return VOMU_OK;
}

// The signer's key; a SignedData without a certificate has none to verify with.
int ReadSignerKey(const char* pszFunc, const ParsedSignedData& parsed, PublicKey& key)
{
    VOMU_FAIL_IF_IN(pszFunc, !parsed.pbyCert || 0 == parsed.nCertSize,
                    "Check P7 has a certificate", VOMU_E_FAIL);
    unsigned char *pbyX = NULL, *pbyY = NULL;
    int nXLen = 0, nYLen = 0;
    int nResult = GetPublicKeyXYFromSM2Cert(parsed.pbyCert.get(), parsed.nCertSize, &pbyX, &nXLen,
                                            &pbyY, &nYLen);
    key.pbyX.reset(pbyX);
    key.pbyY.reset(pbyY);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetPublicKeyXYFromSM2Cert", nResult);
    return VOMU_OK;
}

// The signature over content in memory (pbyData) or over the whole file.
int VerifyParsed(const char* pszFunc, const ParsedSignedData& parsed,
                 const unsigned char* pbyData, int nDataSize, FILE* fpSourceFile, bool bWithZ)
{
    PublicKey key;
    int nResult = ReadSignerKey(pszFunc, parsed, key);
    if (VOMU_OK != nResult) return nResult;
    if (fpSourceFile) {
        nResult = VerifyFileSignature_Raw(fpSourceFile, key.pbyX.get(), key.pbyY.get(),
                                          parsed.pbySignature.get(), parsed.nSignatureSize, bWithZ);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "VerifyFileSignature_Raw", nResult);
        return VOMU_OK;
    }
    nResult = VerifySignature_Raw(pbyData, nDataSize, key.pbyX.get(), key.pbyY.get(),
                                  parsed.pbySignature.get(), parsed.nSignatureSize, bWithZ);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "VerifySignature_Raw", nResult);
    return VOMU_OK;
}

int DecodeText(const char* pszFunc, const char* pszBase64PKCS7, int nBase64Size,
               OwnedArray<unsigned char>& pbyDER, int* pnDERSize)
{
    unsigned char* pbyDecoded = NULL;
    int nResult = Base64DecodeEx(pszBase64PKCS7, nBase64Size, &pbyDecoded, pnDERSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Base64DecodeEx", nResult);
    pbyDER.reset(pbyDecoded);
    return VOMU_OK;
}

// The text decoded, then the DER verifier (named by pszStep) over it.
template <typename VerifyDER>
int VerifyText(const char* pszFunc, const char* pszBase64PKCS7, int nBase64Size,
               const char* pszStep, VerifyDER verifyDER)
{
    OwnedArray<unsigned char> pbyDER;
    int nDERSize = 0;
    int nResult = DecodeText(pszFunc, pszBase64PKCS7, nBase64Size, pbyDER, &nDERSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = verifyDER(pbyDER.get(), nDERSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, pszStep, nResult);
    return VOMU_OK;
}

// pszReason: the content check's reason as each detached verifier has always logged it.
int ParseDetached(const char* pszFunc, const char* pszReason, const unsigned char* pbyPKCS7,
                  int nPKCS7Size, ParsedSignedData& parsed)
{
    int nResult = ParseSignedData(pszFunc, pbyPKCS7, nPKCS7Size, parsed);
    if (VOMU_OK != nResult) return nResult;
    const unsigned char* pbySourceData = parsed.pbySourceData.get();
    const int nSourceDataSize = parsed.nSourceDataSize;
    VOMU_FAIL_IF_REASON_IN(pszFunc, NULL != pbySourceData || 0 != nSourceDataSize, pszReason,
                           "Check P7 is source detached?", VOMU_E_PKCS7_FORMAT);
    return VOMU_OK;
}

// A null ppbySignCert skips the certificate together with its length.
int HandOverCert(ParsedSignedData& parsed, unsigned char** ppbySignCert, int* pnSignCertSize)
{
    if (!ppbySignCert) return VOMU_OK;
    return morv::HandOver(parsed.pbyCert, ppbySignCert, pnSignCertSize, (size_t)parsed.nCertSize);
}

}  // namespace

int VerifySignature_DERPKCS7Attached(const unsigned char* pbyPKCS7, int nPKCS7Size,
                                     unsigned char** ppbySourceData, int* pnSourceDataSize,
                                     unsigned char** ppbySignCert, int* pnSignCertSize,
                                     bool bWithZ)
{
    ParsedSignedData parsed;
    int nResult = ParseSignedData(__func__, pbyPKCS7, nPKCS7Size, parsed);
    if (VOMU_OK != nResult) return nResult;
    const unsigned char* pbySourceData = parsed.pbySourceData.get();
    const int nSourceDataSize = parsed.nSourceDataSize;
    VOMU_FAIL_IF(NULL == pbySourceData || 0 == nSourceDataSize, "Check P7 is source attached?",
                 VOMU_E_PKCS7_FORMAT);
    nResult = VerifyParsed(__func__, parsed, pbySourceData, nSourceDataSize, NULL, bWithZ);
    if (VOMU_OK != nResult) return nResult;
    if (ppbySourceData)
        morv::HandOver(parsed.pbySourceData, ppbySourceData, pnSourceDataSize,
                       (size_t)nSourceDataSize);
    return HandOverCert(parsed, ppbySignCert, pnSignCertSize);
}

int VerifySignature_PKCS7Attached(const char* pszBase64PKCS7, int nBase64Size,
                                  unsigned char** ppbySourceData, int* pnSourceDataSize,
                                  unsigned char** ppbySignCert, int* pnSignCertSize, bool bWithZ)
{
    auto verifyDER = [&](const unsigned char* pbyDER, int nDERSize) {
        return VerifySignature_DERPKCS7Attached(pbyDER, nDERSize, ppbySourceData, pnSourceDataSize,
                                                ppbySignCert, pnSignCertSize, bWithZ);
    };
    return VerifyText(__func__, pszBase64PKCS7, nBase64Size, "VerifySignature_DERPKCS7Attached",
                      verifyDER);
}

int VerifySignature_DERPKCS7Detached(const unsigned char* pbyPKCS7, int nPKCS7Size,
                                     const unsigned char* pbySourceData, int nSourceDataSize,
                                     unsigned char** ppbySignCert, int* pnSignCertSize,
                                     bool bWithZ)
{
    ParsedSignedData parsed;
    int nResult = ParseDetached(__func__, "NULL != pbyP7SourceData||0 != nP7SourceDataSize",
                                pbyPKCS7, nPKCS7Size, parsed);
    if (VOMU_OK != nResult) return nResult;
    nResult = VerifyParsed(__func__, parsed, pbySourceData, nSourceDataSize, NULL, bWithZ);
    if (VOMU_OK != nResult) return nResult;
    return HandOverCert(parsed, ppbySignCert, pnSignCertSize);
}

int VerifySignature_PKCS7Detached(const char* pszBase64PKCS7, int nBase64Size,
                                  const unsigned char* pbySourceData, int nSourceDataSize,
                                  unsigned char** ppbySignCert, int* pnSignCertSize, bool bWithZ)
{
    auto verifyDER = [&](const unsigned char* pbyDER, int nDERSize) {
        return VerifySignature_DERPKCS7Detached(pbyDER, nDERSize, pbySourceData, nSourceDataSize,
                                                ppbySignCert, pnSignCertSize, bWithZ);
    };
    return VerifyText(__func__, pszBase64PKCS7, nBase64Size, "VerifySignature_DERPKCS7Detached",
                      verifyDER);
}

int SM2_VerifyFileSignature_PKCS7Detached(const char* pszBase64PKCS7, int nBase64Size,
                                          FILE* fpSourceFile, unsigned char** ppbySignCert,
                                          int* pnSignCertSize, bool bWithZ)
{
    VOMU_FAIL_IF(NULL == fpSourceFile, "check parameters.", VOMU_E_INVALID_ARG);
    OwnedArray<unsigned char> pbyDER;
    int nDERSize = 0;
    int nResult = DecodeText(__func__, pszBase64PKCS7, nBase64Size, pbyDER, &nDERSize);
    if (VOMU_OK != nResult) return nResult;
    ParsedSignedData parsed;
    nResult = ParseDetached(__func__, "NULL != pbySourceData||0 != nSourceDataSize", pbyDER.get(),
                            nDERSize, parsed);
    if (VOMU_OK != nResult) return nResult;
    nResult = VerifyParsed(__func__, parsed, NULL, 0, fpSourceFile, bWithZ);
    if (VOMU_OK != nResult) return nResult;
    return HandOverCert(parsed, ppbySignCert, pnSignCertSize);
}

// The content is hashed where it lies in the file, never loaded.
int VerifyFileSignature_PKCS7Attached(FILE* fpP7File, long long* pllContentOffset,
                                      int* pnContentSize, unsigned char** ppbySignCert,
                                      int* pnSignCertSize, bool bWithZ)
{
    VOMU_FAIL_IF(NULL == fpP7File, "check parameters.", VOMU_E_INVALID_ARG);
    ParsedSignedData parsed;
    int nResult = ParseSignedDataFile(__func__, fpP7File, parsed);
    if (VOMU_OK != nResult) return nResult;
    PublicKey key;
    nResult = ReadSignerKey(__func__, parsed, key);
    if (VOMU_OK != nResult) return nResult;
    const unsigned char* pbyRawSignatureRS = parsed.pbySignature.get();
    const int nRawSignatureRSSize = parsed.nSignatureSize;
    VOMU_FAIL_IF((NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize),
                 "Check SM2 raw signature size", VOMU_E_INVALID_ARG);
    nResult = fseeko(fpP7File, (off_t)parsed.llSourceDataPosition, SEEK_SET);
    VOMU_FAIL_IF(0 != nResult, "fseek", VOMU_E_FAIL);
    unsigned char abyDigest[SM3_HASH_SIZE];
    nResult = CalculateSM3FileHash(fpP7File, (uint64_t)parsed.nSourceDataSize, key.pbyX.get(),
                                   key.pbyY.get(), abyDigest, bWithZ);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CalculateSM3FileHash", nResult);
    nResult = _SM2_verify_ex(pbyRawSignatureRS, pbyRawSignatureRS + SM2_FIELD_SIZE,
                             key.pbyX.get(), key.pbyY.get(), abyDigest);
    VOMU_FAIL_IF_OSSL(1 != nResult, "_SM2_verify_ex", VOMU_E_FAIL);
    if (pllContentOffset) *pllContentOffset = parsed.llSourceDataPosition;
    if (pnContentSize) *pnContentSize = parsed.nSourceDataSize;
    return morv::HandOver(parsed.pbyCert, ppbySignCert, pnSignCertSize, (size_t)parsed.nCertSize);
}
