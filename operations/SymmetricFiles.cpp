// Symmetric encryption and decryption of whole files, streamed in pieces of FILE_PIECE_SIZE bytes.
#include "operations/DataEncryption.h"

#include <cstdint>

#include "CipherFileStream.h"
#include "Misc.h"
#include "OperationsCommon.h"
#include "OsslPtr.h"
#include "SMObjects.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

namespace {

using morv::CipherFileStream;
using morv::OsslPtr;

// The counts of these files are 32-bit.
const uint64_t MAX_SYM_FILE_SIZE = UINT32_MAX;

const morv::CipherStreamSteps ENCRYPT_STEPS = {
    "!pbyPlainDataBuffer || !pbyEncryptedDataBuffer",
    "nPlainDataBufferSize != nBytesOfRead || ferror(fpPlainFile)",
    false,
    "EVP_EncryptUpdate",
    "EVP_EncryptFinal_ex",
    VOMU_E_FAIL,
    "fwrite",
    "nWriteBytes != nEncryptedDataSize",
    "nWriteBytes != nFinalBlockSize",
};

const morv::CipherStreamSteps DECRYPT_STEPS = {
    "!pbyEncryptedDataBuffer || !pbyPlainDataBuffer",
    "nEncryptedDataSize != nBytesOfRead || ferror(fpEncryptedFile)",
    false,
    "EVP_DecryptUpdate",
    "EVP_DecryptFinal",
    VOMU_E_DECRYPT,
    "fwrite",
    "nWriteBytes != nPlainDataSize",
    "nWriteBytes != nFinalBlockSize",
};

int CheckFileEncryptKey(const char* pszFunc, int nSymAlgNID, int nbySymKeyDataSize)
{
    switch (nSymAlgNID) {
    case NID_des_ede3_cbc:
        VOMU_FAIL_IF_IN(pszFunc, DES3_KEY_LEN != nbySymKeyDataSize, "Check 3DES key length.", VOMU_E_INVALID_ARG);
        return VOMU_OK;
    case NID_ChinaSM4_CBC:
        VOMU_FAIL_IF_IN(pszFunc, SM4_KEY_LEN != nbySymKeyDataSize, "Check SM4 key length.", VOMU_E_INVALID_ARG);
        return VOMU_OK;
    case NID_rc4:
        VOMU_FAIL_IF_IN(pszFunc, RC4_KEY_LEN != nbySymKeyDataSize, "Check RC4 key length.", VOMU_E_INVALID_ARG);
        return VOMU_OK;
    default:
        VOMU_STEP_FAILED_IN(pszFunc, "Unsupported Algorithm.", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
}

// What one direction's log shows and its set-up failure code; its lines name pszFunc, the file
// function whose steps they are.
struct FileRoad {
    const char* pszFunc;
    bool bEncrypt;
    int nInitCode;
    const char* pszSizeTrace;
    const char* pszEmptyStep;
    const char* pszEmptyReason;
    const morv::CipherStreamSteps& steps;
    const char* pszTotalTrace;
};

const FileRoad ENCRYPT_ROAD = {"SymFileEncrypt", true, VOMU_E_ENCRYPT, "nPlainFileSize", "Check plaint file size",
                               "0 == nPlainFileSize", ENCRYPT_STEPS, "nEncrytpedFileSize"};
const FileRoad DECRYPT_ROAD = {"SymFileDecrypt", false, VOMU_E_DECRYPT, "nEncryptedFileSize",
                               "Check encrypted file size", "0 == nEncryptedFileSize",
                               DECRYPT_STEPS, "nTotalPlainDataSize"};

// The input's size; an empty file is VOMU_E_READ_FILE, one the 32-bit counts cannot describe
// VOMU_E_FILE_TOO_LARGE.
int GetInputSize(const FileRoad& road, FILE* fpIn, uint64_t* pnSize)
{
    uint64_t nFileSize = 0;
    const int nResult = GetFileSize_Ex(fpIn, &nFileSize);
    VOMU_FAIL_IF_IN(road.pszFunc, VOMU_OK != nResult, "GetFileSize_Ex", nResult);
    TRACE(TRACE_LEVEL_INFO, "%s: %llu", road.pszSizeTrace, (unsigned long long)nFileSize);
    VOMU_FAIL_IF_IN(road.pszFunc, MAX_SYM_FILE_SIZE < nFileSize, "Check file size",
                    VOMU_E_FILE_TOO_LARGE);
    VOMU_FAIL_IF_REASON_IN(road.pszFunc, 0 == nFileSize, road.pszEmptyReason, road.pszEmptyStep, VOMU_E_READ_FILE);
    *pnSize = nFileSize;
    return VOMU_OK;
}

// The whole of fpIn through the checked cipher into fpOut.
int RunFileRoad(const FileRoad& road, const EVP_CIPHER* pEvpCipher, const unsigned char* pbyIV,
                const unsigned char* pbySymKey, FILE* fpIn, FILE* fpOut)
{
    OsslPtr<EVP_CIPHER_CTX> pCTX;
    int nResult = morv::InitCipherContext(road.pszFunc, pEvpCipher, pbyIV, pbySymKey, road.bEncrypt,
                                          road.nInitCode, &pCTX);
    if (VOMU_OK != nResult) return nResult;
    uint64_t nSize = 0;
    nResult = GetInputSize(road, fpIn, &nSize);
    if (VOMU_OK != nResult) return nResult;
    CipherFileStream stream(road.pszFunc, pCTX.get(), road.steps);
    nResult = stream.Allocate();
    if (VOMU_OK != nResult) return nResult;
    nResult = stream.Pump(fpIn, nSize, fpOut);
    if (VOMU_OK != nResult) return nResult;
    nResult = stream.Finish(fpOut);
    if (VOMU_OK != nResult) return nResult;
    TRACE(TRACE_LEVEL_INFO, "%s: %llu", road.pszTotalTrace, (unsigned long long)stream.Written());
    return VOMU_OK;
}

}  // namespace

int SymFileEncrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
                   int nbySymKeyDataSize, FILE* fpPlainFile, FILE* fpEncryptedFile)
{
    TRACE(TRACE_LEVEL_INFO, "nSymAlgNID: %d", nSymAlgNID);
    OsslPtr<EVP_CIPHER> pEvpCipher;
    int nResult = morv::GetCipher(__func__, nSymAlgNID, "GetEVPCipherbyNID.", &pEvpCipher);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckFileEncryptKey(__func__, nSymAlgNID, nbySymKeyDataSize);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF(NULL == pbySymKey || (NULL == pbyIV && NID_rc4 != nSymAlgNID) ||
                     NULL == fpPlainFile || NULL == fpEncryptedFile,
                 "Check parameters", VOMU_E_INVALID_ARG);
    return RunFileRoad(ENCRYPT_ROAD, pEvpCipher.get(), pbyIV, pbySymKey, fpPlainFile,
                       fpEncryptedFile);
}

int SymFileDecrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
                   int nSymKeyDataSize, FILE* fpEncryptedFile, FILE* fpPlainFile)
{
    OsslPtr<EVP_CIPHER> pEvpCipher;
    int nResult = morv::GetCipher(__func__, nSymAlgNID, "GetEVPCipherbyNID", &pEvpCipher);
    if (VOMU_OK != nResult) return nResult;
    nResult = morv::CheckDecryptKey(__func__, pEvpCipher.get(), pbyIV, pbySymKey, nSymKeyDataSize);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF(NULL == fpEncryptedFile || NULL == fpPlainFile, "Check parameters",
                 VOMU_E_INVALID_ARG);
    return RunFileRoad(DECRYPT_ROAD, pEvpCipher.get(), pbyIV, pbySymKey, fpEncryptedFile,
                       fpPlainFile);
}
