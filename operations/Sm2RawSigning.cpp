// SM2 signatures of data and files: raw r || s and the PKCS#1 text forms.
#include <openssl/crypto.h>

#include <cstring>

#include "Base64Utility.h"
#include "CertificateOperations.h"
#include "DataSigning.h"
#include "HandOver.h"
#include "PKCS7SignedDataOperations.h"
#include "SecretArray.h"
#include "SM2.h"
#include "Sm2KeyFile.h"
#include "VomuStep.h"
#include "vomu_zlog.h"

using morv::OwnedArray;

namespace {

// The digest of the data or of the whole file.
struct SignSource {
    const unsigned char* pbyData;
    int nDataSize;
    FILE* fpFile;  // the file road when not null
};

// The helpers below log their steps under pszFunc, the public function whose steps they are.
int DigestSource(const char* pszFunc, const SignSource& source, const SM2_KEY_PAIR* pSM2KeyPair,
                 bool bWithZ, unsigned char* pbyDigest)
{
    int nResult = VOMU_OK;
    if (source.fpFile) {
        nResult = CalculateSM3FileHashEx(source.fpFile, pSM2KeyPair->publicKeyX,
                                         pSM2KeyPair->publicKeyY, pbyDigest, bWithZ);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "CalculateSM3FileHashEx", nResult);
        return VOMU_OK;
    }
    nResult = CalculateSM3Hash(source.pbyData, source.nDataSize, pSM2KeyPair->publicKeyX,
                               pSM2KeyPair->publicKeyY, pbyDigest, bWithZ);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "CalculateSM3Hash", nResult);
    return VOMU_OK;
}

// d as 32 bytes: a shorter key is left-padded, so no byte past the caller's array is read.
void PrivateKeyField(const SM2_KEY_PAIR* pSM2KeyPair, morv::SecretBytes<SM2_FIELD_SIZE>& d)
{
    const int nLen = pSM2KeyPair->privateKeyLen;
    if (nLen > 0 && nLen < SM2_FIELD_SIZE)
        memcpy(d.aby + SM2_FIELD_SIZE - nLen, pSM2KeyPair->privateKey, (size_t)nLen);
    else
        memcpy(d.aby, pSM2KeyPair->privateKey, SM2_FIELD_SIZE);
}

// The file road's signing reason has always been "1 != nResult", the data road's "nResult != 1".
int SignSourceRaw(const char* pszFunc, const SignSource& source, const SM2_KEY_PAIR* pSM2KeyPair,
                  unsigned char** ppbySignature, int* pnSignatureSize, bool bWithZ)
{
    VOMU_FAIL_IF_IN(pszFunc,
                    NULL == pSM2KeyPair || NULL == pSM2KeyPair->privateKey ||
                        NULL == pSM2KeyPair->publicKeyX || NULL == pSM2KeyPair->publicKeyY ||
                        NULL == ppbySignature || NULL == pnSignatureSize,
                    "check parameters.", VOMU_E_INVALID_ARG);
    unsigned char abyDigest[SM3_HASH_SIZE];
    int nResult = DigestSource(pszFunc, source, pSM2KeyPair, bWithZ, abyDigest);
    if (VOMU_OK != nResult) return nResult;
    morv::SecretBytes<SM2_FIELD_SIZE> d;
    PrivateKeyField(pSM2KeyPair, d);
    OwnedArray<unsigned char> pbySignature = morv::NewArray<unsigned char>(SM2_RAW_RS_SIZE);
    VOMU_FAIL_IF_IN(pszFunc, !pbySignature, "New memory", VOMU_E_FAIL);
    nResult = _SM2_sign_ex(abyDigest, d.aby, pbySignature.get(), pbySignature.get() + SM2_FIELD_SIZE);
    VOMU_FAIL_IF_REASON_IN(pszFunc, nResult != 1, source.fpFile ? "1 != nResult" : "nResult != 1",
                           "_SM2_sign_ex", VOMU_E_FAIL);
    return morv::HandOver(pbySignature, ppbySignature, pnSignatureSize, SM2_RAW_RS_SIZE);
}

// The key-file steps, then the raw signature with the key pair they decrypted, made by the
// key-pair function of the same road.
int SignSourceRawByKeyFile(const morv::SM2KeyFileRequest& request, const SignSource& source,
                           FILE* fpSM2PFXFile, unsigned char** ppbySignature,
                           int* pnSignatureSize, bool bWithZ)
{
    morv::SM2KeyFile keyFile;
    int nResult = keyFile.Load(fpSM2PFXFile, request);
    if (VOMU_OK != nResult) return nResult;
    if (source.fpFile) {
        nResult = SignFile_Raw_ByKeyPair(source.fpFile, &keyFile.KeyPair(), ppbySignature,
                                         pnSignatureSize, bWithZ);
        VOMU_FAIL_IF_IN(request.pszFunc, VOMU_OK != nResult, "SignFile_Raw_ByKeyPair", nResult);
        return VOMU_OK;
    }
    nResult = SignData_Raw_ByKeyPair(source.pbyData, source.nDataSize, &keyFile.KeyPair(),
                                     ppbySignature, pnSignatureSize, bWithZ);
    VOMU_FAIL_IF_IN(request.pszFunc, VOMU_OK != nResult, "SignData_Raw_ByKeyPair", nResult);
    return VOMU_OK;
}

morv::SM2KeyFileRequest SigningKeyFile(const char* pszFunc, const char* pszPassword)
{
    morv::SM2KeyFileRequest request;
    request.pszFunc = pszFunc;
    request.pszPassword = pszPassword;
    request.uiKeyUsage = KEY_USAGE_DIGITAL_SIGNATURE;
    return request;
}

// r || s as the encoded type asks, then Base64 text.
int EncodePKCS1(const char* pszFunc, unsigned char* pbyRS, unsigned long fSignatureEncodedType,
                char** ppszBase64Signature, int* pnBase64Size, unsigned long dwBase64Flags)
{
    TRACE(TRACE_LEVEL_INFO, "fSignatureEncodedType = 0x%04lx", fSignatureEncodedType);
    OwnedArray<unsigned char> pbyQ1;
    int nSize = SM2_RAW_RS_SIZE;
    if (SM2_SIGNATURE_ASN1_Q1 == fSignatureEncodedType) {
        unsigned char* pbyDER = NULL;
        int nResult = Encode_SM2Q1(pbyRS, SM2_FIELD_SIZE, pbyRS + SM2_FIELD_SIZE, SM2_FIELD_SIZE,
                                   &pbyDER, &nSize);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Encode_SM2Q1", nResult);
        pbyQ1.reset(pbyDER);
    } else if (SM2_SIGNATURE_RAW_RS != fSignatureEncodedType) {
        VOMU_STEP_FAILED_IN(pszFunc, "Invalid SM2 signature encoded type", VOMU_E_INVALID_ARG,
                            "true");
        return VOMU_E_INVALID_ARG;
    }
    char* pszText = NULL;
    int nTextSize = 0;
    int nResult = Base64EncodeEx(pbyQ1 ? pbyQ1.get() : pbyRS, nSize, &pszText, &nTextSize,
                                 dwBase64Flags);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Base64EncodeEx", nResult);
    OwnedArray<char> pszOwned(pszText);
    return morv::HandOver(pszOwned, ppszBase64Signature, pnBase64Size, (size_t)nTextSize);
}

// A raw signature made by the given road, then encoded. The type is examined only after the
// signature was made, as callers of this interface have always seen it.
template <typename SignRaw>
int SignPKCS1(const char* pszFunc, SignRaw signRaw, const char* pszRawStep,
              char** ppszBase64Signature, int* pnBase64Size, unsigned long dwBase64Flags,
              unsigned long fSignatureEncodedType)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == ppszBase64Signature || NULL == pnBase64Size,
                    "check parameters.", VOMU_E_INVALID_ARG);
    unsigned char* pbyRS = NULL;
    int nRSSize = 0;
    int nResult = signRaw(&pbyRS, &nRSSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, pszRawStep, nResult);
    OwnedArray<unsigned char> pbyOwnedRS(pbyRS);
    return EncodePKCS1(pszFunc, pbyRS, fSignatureEncodedType, ppszBase64Signature, pnBase64Size,
                       dwBase64Flags);
}

}  // namespace

int SignData_Raw_ByKeyPair(const unsigned char* pbySourceData, int nSourceDataSize,
                           const SM2_KEY_PAIR* pSM2KeyPair, unsigned char** ppbySignature,
                           int* pnSignatureSize, bool bWithZ)
{
    return SignSourceRaw(__func__, {pbySourceData, nSourceDataSize, NULL}, pSM2KeyPair,
                         ppbySignature, pnSignatureSize, bWithZ);
}

int SignData_Raw_BySM2PFX(const unsigned char* pbySourceData, int nSourceDataSize,
                          FILE* fpSM2PFXFile, const char* pszPassword,
                          unsigned char** ppbySignature, int* pnSignatureSize, bool bWithZ)
{
    return SignSourceRawByKeyFile(SigningKeyFile(__func__, pszPassword),
                                  {pbySourceData, nSourceDataSize, NULL}, fpSM2PFXFile,
                                  ppbySignature, pnSignatureSize, bWithZ);
}

int SignData_PKCS1_ByKeyPair(const unsigned char* pbySourceData, int nSourceDataSize,
                             const SM2_KEY_PAIR* pSM2KeyPair, char** ppszBase64Signature,
                             int* pnBase64Size, unsigned long dwBase64Flags, bool bWithZ,
                             unsigned long fSignatureEncodedType)
{
    auto signRaw = [&](unsigned char** ppbyRS, int* pnRSSize) {
        return SignData_Raw_ByKeyPair(pbySourceData, nSourceDataSize, pSM2KeyPair, ppbyRS,
                                      pnRSSize, bWithZ);
    };
    return SignPKCS1(__func__, signRaw, "SignData_Raw_ByKeyPair", ppszBase64Signature, pnBase64Size,
                     dwBase64Flags, fSignatureEncodedType);
}

int SignData_PKCS1_BySM2PFX(const unsigned char* pbySourceData, int nSourceDataSize,
                            FILE* fpSM2PFXFile, const char* pszPassword,
                            char** ppszBase64Signature, int* pnBase64Size,
                            unsigned long dwBase64Flags, bool bWithZ,
                            unsigned long fSignatureEncodedType)
{
    auto signRaw = [&](unsigned char** ppbyRS, int* pnRSSize) {
        return SignData_Raw_BySM2PFX(pbySourceData, nSourceDataSize, fpSM2PFXFile, pszPassword,
                                     ppbyRS, pnRSSize, bWithZ);
    };
    return SignPKCS1(__func__, signRaw, "SignData_Raw_BySM2PFX", ppszBase64Signature, pnBase64Size,
                     dwBase64Flags, fSignatureEncodedType);
}

int SignFile_Raw_ByKeyPair(FILE* fpSourceFile, const SM2_KEY_PAIR* pSM2KeyPair,
                           unsigned char** ppbySignature, int* pnSignatureSize, bool bWithZ)
{
    VOMU_FAIL_IF(NULL == fpSourceFile, "check parameters.", VOMU_E_INVALID_ARG);
    return SignSourceRaw(__func__, {NULL, 0, fpSourceFile}, pSM2KeyPair, ppbySignature,
                         pnSignatureSize, bWithZ);
}

int SignFile_Raw_BySM2PFX(FILE* fpSourceFile, FILE* fpSM2PFXFile, const char* pszPassword,
                          unsigned char** ppbySignature, int* pnSignatureSize, bool bWithZ)
{
    VOMU_FAIL_IF(NULL == fpSourceFile, "check parameter.", VOMU_E_INVALID_ARG);
    morv::SM2KeyFileRequest request = SigningKeyFile(__func__, pszPassword);
    request.pszCheckReason = "NULL == pfSM2PFXFile";
    request.pszSizeStep = "GetFileSize";
    request.bRefuseShortRead = true;
    request.pszReadReason = "nBase64PFXDataSize != nBase64PFXDataSizeRead || ferror(pfSM2PFXFile)";
    request.pszKeyPairStep = "SM2_KEY_PAIR()";
    return SignSourceRawByKeyFile(request, {NULL, 0, fpSourceFile}, fpSM2PFXFile, ppbySignature,
                                  pnSignatureSize, bWithZ);
}

int SignFile_PKCS1_ByKeyPair(FILE* fpSourceFile, const SM2_KEY_PAIR* pSM2KeyPair,
                             char** ppszBase64Signature, int* pnBase64Size,
                             unsigned long dwBase64Flags, bool bWithZ,
                             unsigned long fSignatureEncodedType)
{
    auto signRaw = [&](unsigned char** ppbyRS, int* pnRSSize) {
        return SignFile_Raw_ByKeyPair(fpSourceFile, pSM2KeyPair, ppbyRS, pnRSSize, bWithZ);
    };
    return SignPKCS1(__func__, signRaw, "SignFile_Raw_ByKeyPair", ppszBase64Signature, pnBase64Size,
                     dwBase64Flags, fSignatureEncodedType);
}

int SignFile_PKCS1_BySM2PFX(FILE* fpSourceFile, FILE* fpSM2PFXFile, const char* pszPassword,
                            char** ppszBase64Signature, int* pnBase64Size,
                            unsigned long dwBase64Flags, bool bWithZ,
                            unsigned long fSignatureEncodedType)
{
    auto signRaw = [&](unsigned char** ppbyRS, int* pnRSSize) {
        return SignFile_Raw_BySM2PFX(fpSourceFile, fpSM2PFXFile, pszPassword, ppbyRS, pnRSSize,
                                     bWithZ);
    };
    return SignPKCS1(__func__, signRaw, "SignFile_Raw_BySM2PFX", ppszBase64Signature, pnBase64Size,
                     dwBase64Flags, fSignatureEncodedType);
}
