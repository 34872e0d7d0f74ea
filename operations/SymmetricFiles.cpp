// Symmetric encryption and decryption of whole files, streamed in pieces of BLOCK_SIZE bytes.
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

int CheckFileEncryptKey(int nSymAlgNID, int nbySymKeyDataSize)
{
    switch (nSymAlgNID) {
    case NID_des_ede3_cbc:
        VOMU_FAIL_IF(DES3_KEY_LEN != nbySymKeyDataSize, "Check 3DES key length.", VOMU_E_INVALID_ARG);
        return VOMU_OK;
    case NID_ChinaSM4_CBC:
        VOMU_FAIL_IF(SM4_KEY_LEN != nbySymKeyDataSize, "Check SM4 key length.", VOMU_E_INVALID_ARG);
        return VOMU_OK;
    case NID_rc4:
        VOMU_FAIL_IF(RC4_KEY_LEN != nbySymKeyDataSize, "Check RC4 key length.", VOMU_E_INVALID_ARG);
        return VOMU_OK;
    default:
        VOMU_FAIL_IF(true, "Unsupported Algorithm.", VOMU_E_INVALID_ARG);
    }
    return VOMU_E_INVALID_ARG;
}

// The input's size; an empty file is pszEmptyStep's VOMU_E_READ_FILE, one the 32-bit counts
// cannot describe VOMU_E_FILE_TOO_LARGE.
int GetInputSize(FILE* fpIn, const char* pszTrace, const char* pszEmptyStep,
                 const char* pszEmptyReason, uint64_t* pnSize)
{
    uint64_t nFileSize = 0;
    const int nResult = GetFileSize_Ex(fpIn, &nFileSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "GetFileSize_Ex", nResult);
    TRACE(TRACE_LEVEL_INFO, "%s: %llu", pszTrace, (unsigned long long)nFileSize);
    VOMU_FAIL_IF(MAX_SYM_FILE_SIZE < nFileSize, "Check file size", VOMU_E_FILE_TOO_LARGE);
    VOMU_FAIL_IF_REASON(0 == nFileSize, pszEmptyReason, pszEmptyStep, VOMU_E_READ_FILE);
    *pnSize = nFileSize;
    return VOMU_OK;
}

// The whole of fpIn through the context into fpOut; the total written in *pnWritten.
int StreamWholeFile(EVP_CIPHER_CTX* pCTX, const morv::CipherStreamSteps& steps, FILE* fpIn,
                    uint64_t nSize, FILE* fpOut, uint64_t* pnWritten)
{
    CipherFileStream stream(pCTX, steps);
    int nResult = stream.Allocate();
    if (VOMU_OK != nResult) return nResult;
    nResult = stream.Pump(fpIn, nSize, fpOut);
    if (VOMU_OK != nResult) return nResult;
    nResult = stream.Finish(fpOut);
    if (VOMU_OK != nResult) return nResult;
    *pnWritten = stream.Written();
    return VOMU_OK;
}

}  // namespace

int SymFileEncrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
                   int nbySymKeyDataSize, FILE* fpPlainFile, FILE* fpEncryptedFile)
{
    TRACE(TRACE_LEVEL_INFO, "nSymAlgNID: %d", nSymAlgNID);
    OsslPtr<EVP_CIPHER> pEvpCipher;
    int nResult = morv::GetCipher(nSymAlgNID, "GetEVPCipherbyNID.", &pEvpCipher);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckFileEncryptKey(nSymAlgNID, nbySymKeyDataSize);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF(NULL == pbySymKey || (NULL == pbyIV && NID_rc4 != nSymAlgNID) ||
                     NULL == fpPlainFile || NULL == fpEncryptedFile,
                 "Check parameters", VOMU_E_INVALID_ARG);
    OsslPtr<EVP_CIPHER_CTX> pCTX;
    nResult = morv::InitCipherContext(pEvpCipher.get(), pbyIV, pbySymKey, true, VOMU_E_ENCRYPT, &pCTX);
    if (VOMU_OK != nResult) return nResult;
    uint64_t nPlainFileSize = 0;
    nResult = GetInputSize(fpPlainFile, "nPlainFileSize", "Check plaint file size",
                           "0 == nPlainFileSize", &nPlainFileSize);
    if (VOMU_OK != nResult) return nResult;
    uint64_t nEncryptedFileSize = 0;
    nResult = StreamWholeFile(pCTX.get(), ENCRYPT_STEPS, fpPlainFile, nPlainFileSize,
                              fpEncryptedFile, &nEncryptedFileSize);
    if (VOMU_OK != nResult) return nResult;
    TRACE(TRACE_LEVEL_INFO, "nEncrytpedFileSize: %llu", (unsigned long long)nEncryptedFileSize);
    return VOMU_OK;
}

int SymFileDecrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
                   int nSymKeyDataSize, FILE* fpEncryptedFile, FILE* fpPlainFile)
{
    OsslPtr<EVP_CIPHER> pEvpCipher;
    int nResult = morv::GetCipher(nSymAlgNID, "GetEVPCipherbyNID", &pEvpCipher);
    if (VOMU_OK != nResult) return nResult;
    nResult = morv::CheckDecryptKey(pEvpCipher.get(), pbyIV, pbySymKey, nSymKeyDataSize);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF(NULL == fpEncryptedFile || NULL == fpPlainFile, "Check parameters",
                 VOMU_E_INVALID_ARG);
    OsslPtr<EVP_CIPHER_CTX> pCTX;
    nResult = morv::InitCipherContext(pEvpCipher.get(), pbyIV, pbySymKey, false, VOMU_E_DECRYPT, &pCTX);
    if (VOMU_OK != nResult) return nResult;
    uint64_t nEncryptedFileSize = 0;
    nResult = GetInputSize(fpEncryptedFile, "nEncryptedFileSize", "Check encrypted file size",
                           "0 == nEncryptedFileSize", &nEncryptedFileSize);
    if (VOMU_OK != nResult) return nResult;
    uint64_t nTotalPlainDataSize = 0;
    nResult = StreamWholeFile(pCTX.get(), DECRYPT_STEPS, fpEncryptedFile, nEncryptedFileSize,
                              fpPlainFile, &nTotalPlainDataSize);
    if (VOMU_OK != nResult) return nResult;
    TRACE(TRACE_LEVEL_INFO, "nTotalPlainDataSize: %llu", (unsigned long long)nTotalPlainDataSize);
    return VOMU_OK;
}
