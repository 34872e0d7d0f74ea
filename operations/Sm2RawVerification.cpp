// Verification of raw and PKCS#1 SM2 signatures of data and files. Only the signature is
// checked against the public key; nothing about the certificate beyond its key.
#include <cstring>

#include "Base64Utility.h"
#include "DataSigning.h"
#include "HandOver.h"
#include "PKCS7SignedDataOperations.h"
#include "SM2.h"
#include "VomuStep.h"
#include "vomu_zlog.h"

using morv::OwnedArray;

namespace {

// SM2Q1 of two one-octet INTEGERs is the shortest signature a PKCS#1 verifier decodes.
const int MIN_SM2Q1_SIZE = 8;
const int MAX_SM2Q1_SIZE = 72;

struct VerifySource {
    const unsigned char* pbyData;
    int nDataSize;
    FILE* fpFile;  // the whole file when not null
};

// The helpers below log their steps under pszFunc, the public function whose steps they are.
int DigestSource(const char* pszFunc, const VerifySource& source, const unsigned char* pbyPublicKeyX,
                 const unsigned char* pbyPublicKeyY, bool bWithZ, unsigned char* pbyDigest)
{
    int nResult = VOMU_OK;
    if (source.fpFile) {
        nResult = CalculateSM3FileHashEx(source.fpFile, pbyPublicKeyX, pbyPublicKeyY, pbyDigest,
                                         bWithZ);
        VOMU_FAIL_IF_IN(pszFunc, nResult != VOMU_OK, "CalculateSM3FileHashEx", nResult);
        return VOMU_OK;
    }
    nResult = CalculateSM3Hash(source.pbyData, source.nDataSize, pbyPublicKeyX, pbyPublicKeyY,
                               pbyDigest, bWithZ);
    VOMU_FAIL_IF_IN(pszFunc, nResult != VOMU_OK, "CalculateSM3Hash", nResult);
    return VOMU_OK;
}

int VerifySourceRaw(const char* pszFunc, const VerifySource& source,
                    const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                    const unsigned char* pbyRawSignatureRS, int nRawSignatureRSSize, bool bWithZ)
{
    VOMU_FAIL_IF_IN(pszFunc, (NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize),
                    "Check SM2 raw signature size", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF_IN(pszFunc, NULL == pbyPublicKeyX || NULL == pbyPublicKeyY, "check parameters.",
                    VOMU_E_INVALID_ARG);
    unsigned char abyDigest[SM3_HASH_SIZE];
    int nResult = DigestSource(pszFunc, source, pbyPublicKeyX, pbyPublicKeyY, bWithZ, abyDigest);
    if (VOMU_OK != nResult) return nResult;
    nResult = _SM2_verify_ex(pbyRawSignatureRS, pbyRawSignatureRS + SM2_FIELD_SIZE,
                             pbyPublicKeyX, pbyPublicKeyY, abyDigest);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, nResult != 1, source.fpFile ? "_SM2_verify_ex" : "SM2_verify_ex",
                         VOMU_E_FAIL);
    return VOMU_OK;
}

// 64 octets are r || s as they are; any other length in range is DER SM2Q1 (minimal DER of
// small numbers is shorter than the fixed-width form). Nothing else is a signature.
int SignatureToRS(const char* pszFunc, const unsigned char* pbySignature, int nSignatureSize,
                  OwnedArray<unsigned char>& pbyRS)
{
    TRACE(TRACE_LEVEL_INFO, "SM2 PKCS#1 signature size:%d", nSignatureSize);
    VOMU_FAIL_IF_IN(pszFunc, NULL == pbySignature, "check parameters.", VOMU_E_BAD_SIGNATURE);
    pbyRS = morv::NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF_IN(pszFunc, !pbyRS, "New memory", VOMU_E_FAIL);
    if (SM2_RAW_RS_SIZE == nSignatureSize) {
        TRACE(TRACE_LEVEL_INFO, "It's SM2 raw RS signature.");
        memcpy(pbyRS.get(), pbySignature, SM2_RAW_RS_SIZE);
        return VOMU_OK;
    }
    if (nSignatureSize < MIN_SM2Q1_SIZE || nSignatureSize > MAX_SM2Q1_SIZE) {
        VOMU_STEP_FAILED_IN(pszFunc, "Invalid SM2 PKCS#1 signature size.", VOMU_E_BAD_SIGNATURE,
                            "true");
        return VOMU_E_BAD_SIGNATURE;
    }
    TRACE(TRACE_LEVEL_INFO, "It's SM2 ASN.1 encoded Q1 signature.");
    unsigned char* pbyDecoded = NULL;
    int nDecodedSize = 0;
    int nResult = Decode_SM2Q1(const_cast<unsigned char*>(pbySignature), nSignatureSize,
                               &pbyDecoded, &nDecodedSize);
    OwnedArray<unsigned char> pbyOwned(pbyDecoded);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult || SM2_RAW_RS_SIZE != nDecodedSize,
                    "Decode_SM2Q1", VOMU_E_BAD_SIGNATURE);
    memcpy(pbyRS.get(), pbyDecoded, SM2_RAW_RS_SIZE);
    return VOMU_OK;
}

// The signature's form first, so a malformed one is refused before the certificate is read;
// then the raw verifier of the same road.
int VerifySourcePKCS1(const char* pszFunc, const VerifySource& source,
                      const unsigned char* pbyCert, int nCertSize,
                      const unsigned char* pbySignature, int nSignatureSize, bool bWithZ)
{
    OwnedArray<unsigned char> pbyRS;
    int nResult = SignatureToRS(pszFunc, pbySignature, nSignatureSize, pbyRS);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyX = NULL;
    unsigned char* pbyY = NULL;
    int nXLen = 0, nYLen = 0;
    nResult = GetPublicKeyXYFromSM2Cert(const_cast<unsigned char*>(pbyCert), nCertSize, &pbyX,
                                        &nXLen, &pbyY, &nYLen);
    OwnedArray<unsigned char> pbyOwnedX(pbyX), pbyOwnedY(pbyY);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetPublicKeyXYFromSM2Cert", nResult);
    if (source.fpFile) {
        nResult = VerifyFileSignature_Raw(source.fpFile, pbyX, pbyY, pbyRS.get(), SM2_RAW_RS_SIZE,
                                          bWithZ);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "VerifyFileSignature_Raw", nResult);
        return VOMU_OK;
    }
    nResult = VerifySignature_Raw(source.pbyData, source.nDataSize, pbyX, pbyY, pbyRS.get(),
                                  SM2_RAW_RS_SIZE, bWithZ);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "VerifySignature_Raw", nResult);
    return VOMU_OK;
}

// Both Base64 texts decoded (the decoder skips line breaks) into the caller's owners.
struct DecodedPKCS1 {
    OwnedArray<unsigned char> pbyCert;
    int nCertSize = 0;
    OwnedArray<unsigned char> pbySignature;
    int nSignatureSize = 0;
};

int DecodeBase64PKCS1(const char* pszFunc, bool bFile, const char* pszBase64Cert, int nCertSize,
                      const char* pszBase64PKCS1Signature, int nSignatureSize,
                      DecodedPKCS1& decoded)
{
    unsigned char* pbyCert = NULL;
    int nResult = Base64DecodeEx(pszBase64Cert, nCertSize, &pbyCert, &decoded.nCertSize);
    decoded.pbyCert.reset(pbyCert);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult,
                    bFile ? "Base64DecodeEx" : "Base64DecodeEx(pszBase64Cert)", nResult);
    unsigned char* pbySignature = NULL;
    nResult = Base64DecodeEx(pszBase64PKCS1Signature, nSignatureSize, &pbySignature,
                             &decoded.nSignatureSize);
    decoded.pbySignature.reset(pbySignature);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult,
                    bFile ? "Base64DecodeEx" : "Base64DecodeEx(pszBase64PKCS1Signature)", nResult);
    return VOMU_OK;
}

}  // namespace



int VerifySignature_Raw(const unsigned char* pbySourceData, int nSourceDataSize,
                        const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                        const unsigned char* pbyRawSignatureRS, int nRawSignatureRSSize,
                        bool bWithZ)
{
    return VerifySourceRaw(__func__, {pbySourceData, nSourceDataSize, NULL}, pbyPublicKeyX,
                           pbyPublicKeyY, pbyRawSignatureRS, nRawSignatureRSSize, bWithZ);
}

int VerifySignature_DERPKCS1_ByCert(const unsigned char* pbySourceData, int nSourceDataSize,
                                    const unsigned char* pbyCert, int nCertSize,
                                    const unsigned char* pbySignature, int nSignatureSize,
                                    bool bWithZ)
{
    return VerifySourcePKCS1(__func__, {pbySourceData, nSourceDataSize, NULL}, pbyCert,
                             nCertSize, pbySignature, nSignatureSize, bWithZ);
}

int VerifySignature_PKCS1_ByCert(const unsigned char* pbySourceData, int nSourceDataSize,
                                 const char* pszBase64Cert, int nCertSize,
                                 const char* pszBase64PKCS1Signature, int nSignatureSize,
                                 bool bWithZ)
{
    DecodedPKCS1 decoded;
    int nResult = DecodeBase64PKCS1(__func__, false, pszBase64Cert, nCertSize,
                                    pszBase64PKCS1Signature, nSignatureSize, decoded);
    if (VOMU_OK != nResult) return nResult;
    nResult = VerifySignature_DERPKCS1_ByCert(pbySourceData, nSourceDataSize,
                                              decoded.pbyCert.get(), decoded.nCertSize,
                                              decoded.pbySignature.get(), decoded.nSignatureSize,
                                              bWithZ);
    VOMU_FAIL_IF(VOMU_OK != nResult, "VerifySignature_DERPKCS1_ByCert", nResult);
    return VOMU_OK;
}

int VerifyFileSignature_Raw(FILE* fpSourceFile, const unsigned char* pbyPublicKeyX,
                            const unsigned char* pbyPublicKeyY,
                            const unsigned char* pbyRawSignatureRS, int nRawSignatureRSSize,
                            bool bWithZ)
{
    VOMU_FAIL_IF(NULL == fpSourceFile, "Check file handle", VOMU_E_INVALID_ARG);
    return VerifySourceRaw(__func__, {NULL, 0, fpSourceFile}, pbyPublicKeyX, pbyPublicKeyY,
                           pbyRawSignatureRS, nRawSignatureRSSize, bWithZ);
}

// The decoding and the PKCS#1 check in one function, as the file verifier has always logged.
int VerifyFileSignature_PKCS1_ByCert(FILE* fpSourceFile, const char* pszBase64Cert,
                                     int nCertSize, const char* pszBase64PKCS1Signature,
                                     int nSignatureSize, bool bWithZ)
{
    VOMU_FAIL_IF(NULL == fpSourceFile, "check parameters.", VOMU_E_INVALID_ARG);
    DecodedPKCS1 decoded;
    const int nResult = DecodeBase64PKCS1(__func__, true, pszBase64Cert, nCertSize,
                                          pszBase64PKCS1Signature, nSignatureSize, decoded);
    if (VOMU_OK != nResult) return nResult;
    return VerifySourcePKCS1(__func__, {NULL, 0, fpSourceFile}, decoded.pbyCert.get(),
                             decoded.nCertSize, decoded.pbySignature.get(),
                             decoded.nSignatureSize, bWithZ);
}
