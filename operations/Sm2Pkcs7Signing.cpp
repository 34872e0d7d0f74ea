// SM2 SignedData of data and files, signed with a key file.
#include "Base64Utility.h"
#include "CertificateOperations.h"
#include "DataSigning.h"
#include "HandOver.h"
#include "PKCS7SignedDataOperations.h"
#include "Sm2KeyFile.h"
#include "VomuStep.h"

using morv::OwnedArray;

namespace {

const char kSignedDataOID[] = "1.2.156.10197.6.1.4.2.2";
const char kDataOID[] = "1.2.156.10197.6.1.4.2.1";
const char kSM3OID[] = "1.2.156.10197.1.401";

// What goes into the SignedData besides the certificate and the signature.
struct SignedDataContent {
    const unsigned char* pbyData;  // attached content in memory
    int nDataSize;
    FILE* fpFile;                  // attached content streamed from this file
    bool bAttached;
};

// The helpers below log their steps under pszFunc, the signing function whose steps they are.

// The SignedData's DER in memory (ppbyDER) or written at the position of fpOut.
int EncodeSignedData(const char* pszFunc, const morv::SM2KeyFile& keyFile, const SignedDataContent& content,
                     const char* pszDigestEncAlgOID, unsigned char* pbySignature,
                     unsigned long fSignatureEncodedType, unsigned char** ppbyDER,
                     int* pnDERSize, FILE* fpOut)
{
    int nResult = Encode_PKCS7Signature(
        keyFile.Cert(), keyFile.CertSize(), const_cast<unsigned char*>(content.pbyData),
        content.nDataSize, content.fpFile, content.bAttached, kSignedDataOID, kDataOID, kSM3OID,
        NULL, pszDigestEncAlgOID, pbySignature, SM2_RAW_RS_SIZE, fSignatureEncodedType, NULL,
        ppbyDER, pnDERSize, fpOut, NULL);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Encode_PKCS7Signature", nResult);
    return VOMU_OK;
}

// DER in memory to Base64 text for the caller.
int EncodeSignedDataText(const char* pszFunc, const morv::SM2KeyFile& keyFile, const SignedDataContent& content,
                         const char* pszDigestEncAlgOID, unsigned char* pbySignature,
                         unsigned long fSignatureEncodedType, char** ppszBase64PKCS7,
                         int* pnBase64Size, unsigned long dwBase64Flags)
{
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    int nResult = EncodeSignedData(pszFunc, keyFile, content, pszDigestEncAlgOID, pbySignature,
                                   fSignatureEncodedType, &pbyDER, &nDERSize, NULL);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyOwnedDER(pbyDER);
    char* pszText = NULL;
    int nTextSize = 0;
    nResult = Base64EncodeEx(pbyDER, nDERSize, &pszText, &nTextSize, dwBase64Flags);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Base64EncodeEx", nResult);
    OwnedArray<char> pszOwned(pszText);
    return morv::HandOver(pszOwned, ppszBase64PKCS7, pnBase64Size, (size_t)nTextSize);
}

// Every signer here checks the key file itself before the key-file steps; the file signers
// log the size step and the key pair as their callers have always read them.
int LoadKeyFile(const char* pszFunc, morv::SM2KeyFile& keyFile, FILE* fpSM2PFXFile,
                const char* pszPassword, bool bCheckKeyUsage, bool bFileRoad)
{
    morv::SM2KeyFileRequest request;
    request.pszFunc = pszFunc;
    request.pszPassword = pszPassword;
    request.pszCheckStep = nullptr;
    request.uiKeyUsage = bCheckKeyUsage ? KEY_USAGE_DIGITAL_SIGNATURE : 0;
    request.bRefuseShortRead = bFileRoad;
    if (bFileRoad) {
        request.pszSizeStep = "GetFileSize";
        request.pszKeyPairStep = "new SM2_KEY_PAIR()";
    }
    return keyFile.Load(fpSM2PFXFile, request);
}

// r || s of the whole file from its first byte, in a new array.
int SignWholeFile(const char* pszFunc, FILE* fpSourceFile, const morv::SM2KeyFile& keyFile, bool bWithZ,
                  OwnedArray<unsigned char>& pbySignature)
{
    unsigned char* pbyRS = NULL;
    int nRSSize = 0;
    int nResult = SignFile_Raw_ByKeyPair(fpSourceFile, &keyFile.KeyPair(), &pbyRS, &nRSSize, bWithZ);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "SignFile_Raw_ByKeyPair", nResult);
    pbySignature.reset(pbyRS);
    return VOMU_OK;
}

int CheckTextOutputs(const char* pszFunc, char** ppszBase64PKCS7, int* pnBase64Size)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == ppszBase64PKCS7 || NULL == pnBase64Size, "check parameters.",
                    VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

}  // namespace

int SignData_PKCS7_BySM2PFX(const unsigned char* pbySourceData, int nSourceDataSize,
                            FILE* fpSM2PFXFile, const char* pszPassword, bool bAttached,
                            char** ppszBase64PKCS7, int* pnBase64Size,
                            unsigned long dwBase64Flags, bool bWithZ,
                            unsigned long fSignatureEncodedType, const char* pszDigestEncAlgOID)
{
    VOMU_FAIL_IF(NULL == fpSM2PFXFile, "check parameter.", VOMU_E_INVALID_ARG);
    int nResult = CheckTextOutputs(__func__, ppszBase64PKCS7, pnBase64Size);
    if (VOMU_OK != nResult) return nResult;
    morv::SM2KeyFile keyFile;
    nResult = LoadKeyFile(__func__, keyFile, fpSM2PFXFile, pszPassword, true, false);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyRS = NULL;
    int nRSSize = 0;
    nResult = SignData_Raw_ByKeyPair(pbySourceData, nSourceDataSize, &keyFile.KeyPair(), &pbyRS,
                                     &nRSSize, bWithZ);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SignData_Raw_ByKeyPair", nResult);
    OwnedArray<unsigned char> pbySignature(pbyRS);
    return EncodeSignedDataText(__func__, keyFile, {pbySourceData, nSourceDataSize, NULL, bAttached},
                                pszDigestEncAlgOID, pbyRS, fSignatureEncodedType,
                                ppszBase64PKCS7, pnBase64Size, dwBase64Flags);
}

int SignFile_PKCS7Detached_BySM2PFX(FILE* fpSourceFile, FILE* fpSM2PFXFile,
                                    const char* pszPassword, char** ppszBase64PKCS7,
                                    int* pnBase64Size, unsigned long dwBase64Flags, bool bWithZ,
                                    unsigned long fSignatureEncodedType,
                                    const char* pszDigestEncAlgOID)
{
    VOMU_FAIL_IF(NULL == fpSourceFile, "check parameters.", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(NULL == fpSM2PFXFile, "check parameters.", VOMU_E_INVALID_ARG);
    int nResult = CheckTextOutputs(__func__, ppszBase64PKCS7, pnBase64Size);
    if (VOMU_OK != nResult) return nResult;
    morv::SM2KeyFile keyFile;
    nResult = LoadKeyFile(__func__, keyFile, fpSM2PFXFile, pszPassword, true, true);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbySignature;
    nResult = SignWholeFile(__func__, fpSourceFile, keyFile, bWithZ, pbySignature);
    if (VOMU_OK != nResult) return nResult;
    return EncodeSignedDataText(__func__, keyFile, {NULL, 0, NULL, false}, pszDigestEncAlgOID,
                                pbySignature.get(), fSignatureEncodedType, ppszBase64PKCS7,
                                pnBase64Size, dwBase64Flags);
}

// The content is copied from the source file into the output stream by the writer, which
// checks every write and the flush.
int SignFile_PKCS7Attached_BySM2PFX(FILE* fpSourceFile, FILE* fpSM2PFXFile,
                                    const char* pszPassword, FILE* fpOutASN1PKCS7SignatureFile,
                                    bool bWithZ, unsigned long fSignatureEncodedType,
                                    const char* pszDigestEncAlgOID)
{
    VOMU_FAIL_IF(NULL == fpSourceFile, "check parameters.", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(NULL == fpSM2PFXFile, "check parameters.", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(NULL == fpOutASN1PKCS7SignatureFile, "check parameters.", VOMU_E_INVALID_ARG);
    morv::SM2KeyFile keyFile;
    int nResult = LoadKeyFile(__func__, keyFile, fpSM2PFXFile, pszPassword, false, true);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbySignature;
    nResult = SignWholeFile(__func__, fpSourceFile, keyFile, bWithZ, pbySignature);
    if (VOMU_OK != nResult) return nResult;
    return EncodeSignedData(__func__, keyFile, {NULL, 0, fpSourceFile, true}, pszDigestEncAlgOID,
                            pbySignature.get(), fSignatureEncodedType, NULL, NULL,
                            fpOutASN1PKCS7SignatureFile);
}
