// Symmetric file encryption at the flat interface: a fresh key and IV handed back as hex text,
// and decryption with that text. The input is opened first, then every argument (size, key
// text, name, the output not being the input) is checked before an output is opened; the output
// follows OutputFile's rule: a replaced file changes only when the whole call succeeds.
#include "SdkPattern.h"  // first: the step lines name "MORV"

#include <openssl/rand.h>
#include <sys/stat.h>

#include <cstdint>

#include "MORV.h"
#include "Misc.h"
#include "OutputFile.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "SecretArray.h"
#include "operations/DataEncryption.h"

using morv::sdk::EqualNoCase;
using morv::sdk::FilePtr;
using morv::sdk::TextOutput;

namespace {

// Files larger than this are not encrypted.
const uint64_t FILE_SIZE_LIMIT = 0x1F400000;
// The key text's bytes: IV first, then the key.
const int SYM_KEY_TEXT_BYTES = 32;
const int DES3_IV_LEN = 8;
const int SM4_IV_LEN = 16;

// A cipher of the key text, by name ("3DES_CBC" first).
struct SymRoad {
    int nNID;
    int nIVSize;
    int nKeySize;
};

int ChooseSymRoad(const char* pszSdkFunc, const char* pszEncAlgorithm, SymRoad* pRoad)
{
    if (EqualNoCase(pszEncAlgorithm, "3DES_CBC")) {
        *pRoad = {NID_des_ede3_cbc, DES3_IV_LEN, DES3_KEY_LEN};
        return VOMU_OK;
    }
    if (EqualNoCase(pszEncAlgorithm, "SM4_CBC")) {
        *pRoad = {NID_ChinaSM4_CBC, SM4_IV_LEN, SM4_KEY_LEN};
        return VOMU_OK;
    }
    MORV_FAIL("Invalid symmetrical encrypt algorithm.", VOMU_E_INVALID_ARG, "true");
    return VOMU_E_INVALID_ARG;
}

// The output must not be the input (the same device and inode, under any name or link).
int CheckNotSameFile(const char* pszSdkFunc, FILE* fpIn, const char* pszOutFilePath)
{
    struct stat stIn, stOut;
    const bool bSameFile = 0 == fstat(fileno(fpIn), &stIn) && 0 == stat(pszOutFilePath, &stOut) &&
                           stIn.st_dev == stOut.st_dev && stIn.st_ino == stOut.st_ino;
    MORV_FAIL_IF(bSameFile, "Check input and output file", VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

// 3DES_CBC: 8 random IV bytes, then GenerateSymKey's 24 bytes; SM4_CBC: 32 random bytes.
int MakeKeyBytes(const char* pszSdkFunc, const SymRoad& road,
                 morv::SecretBytes<SYM_KEY_TEXT_BYTES>* pKeyBytes)
{
    const int nRandom = NID_des_ede3_cbc == road.nNID ? DES3_IV_LEN : SYM_KEY_TEXT_BYTES;
    const int nResult = smk::LibCtx() ? RAND_bytes_ex(smk::LibCtx(), pKeyBytes->aby, nRandom, 0) : 0;
    MORV_STEP_IF_OSSL(1 != nResult, "1 != nResult", "RAND_bytes", VOMU_E_FAIL);
    if (NID_des_ede3_cbc != road.nNID) return VOMU_OK;
    morv::SecretArray key;
    unsigned char* pbyKey = nullptr;
    int nKeySize = 0;
    MORV_RUN(MORV_KEEP_CODE, GenerateSymKey, NID_des_ede3_cbc, &pbyKey, &nKeySize);
    key.Adopt(pbyKey, (size_t)nKeySize);
    // Part of the one GenerateSymKey step: logged only should the key come back short.
    if (DES3_KEY_LEN != nKeySize)
        MORV_FAIL("GenerateSymKey", VOMU_E_FAIL, "DES3_KEY_LEN != nKeySize");
    memcpy(pKeyBytes->aby + DES3_IV_LEN, key.Get(), DES3_KEY_LEN);
    return VOMU_OK;
}

// The 32 key-text bytes; a text that is not hex is VOMU_E_INVALID_ARG, one of another
// length VOMU_E_FAIL.
int ReadKeyText(const char* pszSdkFunc, const char* pszSymKey, morv::SecretArray* pKeyBytes)
{
    unsigned char* pbyKey = nullptr;
    int nSymKeySize = 0;
    MORV_RUN(MORV_KEEP_CODE, ConvertStringToBinaryData, pszSymKey, &pbyKey, &nSymKeySize, false);
    pKeyBytes->Adopt(pbyKey, (size_t)nSymKeySize);
    TRACE(TRACE_LEVEL_INFO, "nSymKeySize:%d", nSymKeySize);
    MORV_STEP_IF(SYM_KEY_TEXT_BYTES != nSymKeySize, "32 != nSymKeySize",
                 "ConvertStringToBinaryData", VOMU_E_FAIL);
    return VOMU_OK;
}

int CreateOutput(const char* pszSdkFunc, morv::OutputFile* pOut, const char* pszPath,
                 const char* pszStep, const char* pszReason)
{
    const int nResult = pOut->Create(pszPath);
    MORV_STEP_IF(VOMU_OK != nResult, pszReason, pszStep, nResult);
    return VOMU_OK;
}

// The finished output renamed into place.
int CommitOutput(const char* pszSdkFunc, morv::OutputFile* pOut)
{
    const int nResult = pOut->Commit();
    MORV_STEP_IF(VOMU_OK != nResult, "VOMU_OK != nResult", "Commit output file", nResult);
    return VOMU_OK;
}

}  // namespace

int SymEncryptFile(const char* pszEncAlgorithm, const char* pszPlainFilePath,
                   const char* pszEncryptFilePath, char** ppszSymKey)
{
    MORV_HOLD_KERNEL(MORV_KEEP_CODE);
    MORV_CHECK_TEXT(pszEncAlgorithm, "Check parameter(pszEncAlgorithm).");
    MORV_CHECK_TEXT(pszPlainFilePath, "Check parameter(pszPlainFilePath).");
    MORV_CHECK_TEXT(pszEncryptFilePath, "Check parameter(pszEncryptFilePath).");
    MORV_CHECK(NULL == ppszSymKey, "(NULL == ppszSymKey)", "Check output parameter(ppszSymKey).");
    TRACE(TRACE_LEVEL_INFO, "Symmetric encrypt algorithm:%s", pszEncAlgorithm);
    TRACE(TRACE_LEVEL_INFO, "Plain file path:%s", pszPlainFilePath);
    TRACE(TRACE_LEVEL_INFO, "Encrypt file path:%s", pszEncryptFilePath);
    MORV_OPEN_RB(fpPlainFile, pszPlainFilePath, "fopen(pszPlainFilePath)");
    uint64_t nPlainFileSize = 0;
    MORV_RUN(MORV_KEEP_CODE, GetFileSize_Ex, fpPlainFile.get(), &nPlainFileSize);
    TRACE(TRACE_LEVEL_INFO, "Plain file size:%llu", (unsigned long long)nPlainFileSize);
    MORV_FAIL_IF(FILE_SIZE_LIMIT < nPlainFileSize, "Plain file size exceed limit!", VOMU_E_FILE_TOO_LARGE);
    SymRoad road;
    int nResult = ChooseSymRoad(__func__, pszEncAlgorithm, &road);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckNotSameFile(__func__, fpPlainFile.get(), pszEncryptFilePath);
    if (VOMU_OK != nResult) return nResult;
    morv::SecretBytes<SYM_KEY_TEXT_BYTES> keyBytes;
    nResult = MakeKeyBytes(__func__, road, &keyBytes);
    if (VOMU_OK != nResult) return nResult;
    morv::OutputFile encryptFile;
    nResult = CreateOutput(__func__, &encryptFile, pszEncryptFilePath, "fopen(pszEncryptFilePath)",
                           "NULL == fpEncryptFile");
    if (VOMU_OK != nResult) return nResult;
    MORV_RUN(MORV_KEEP_CODE, SymFileEncrypt, road.nNID, keyBytes.aby, keyBytes.aby + road.nIVSize,
             road.nKeySize, fpPlainFile.get(), encryptFile.File());
    TextOutput keyText;  // wiped unless handed over
    MORV_RUN(MORV_KEEP_CODE, ConvertBinaryDataToString, keyBytes.aby, SYM_KEY_TEXT_BYTES,
             keyText.Out(), false);
    *keyText.Len() = 2 * SYM_KEY_TEXT_BYTES;
    nResult = CommitOutput(__func__, &encryptFile);
    if (VOMU_OK != nResult) return nResult;
    return keyText.HandTo(ppszSymKey);
}

int SymDecryptFile(const char* pszEncAlgorithm, const char* pszEncryptFilePath,
                   const char* pszSymKey, const char* pszPlainFilePath)
{
    MORV_HOLD_KERNEL(MORV_KEEP_CODE);
    MORV_CHECK_TEXT(pszEncAlgorithm, "Check parameter(pszEncAlgorithm).");
    MORV_CHECK_TEXT(pszEncryptFilePath, "Check parameter(pszEncryptFilePath).");
    MORV_CHECK_TEXT(pszSymKey, "Check parameter(pszSymKey).");
    MORV_CHECK_TEXT(pszPlainFilePath, "Check parameter(pszPlainFilePath).");
    TRACE(TRACE_LEVEL_INFO, "Symmetric encrypt algorithm:%s", pszEncAlgorithm);
    TRACE(TRACE_LEVEL_INFO, "Encrypt file path:%s", pszEncryptFilePath);
    TRACE(TRACE_LEVEL_INFO, "Plain file path:%s", pszPlainFilePath);
    MORV_OPEN_RB(fpEncryptFile, pszEncryptFilePath, "fopen(pszEncryptFilePath)");
    morv::SecretArray keyBytes;
    int nResult = ReadKeyText(__func__, pszSymKey, &keyBytes);
    if (VOMU_OK != nResult) return nResult;
    SymRoad road;
    nResult = ChooseSymRoad(__func__, pszEncAlgorithm, &road);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckNotSameFile(__func__, fpEncryptFile.get(), pszPlainFilePath);
    if (VOMU_OK != nResult) return nResult;
    morv::OutputFile plainFile;
    nResult = CreateOutput(__func__, &plainFile, pszPlainFilePath, "fopen(pszPlainFilePath)",
                           "NULL == fpPlainFile");
    if (VOMU_OK != nResult) return nResult;
    MORV_RUN(MORV_KEEP_CODE, SymFileDecrypt, road.nNID, keyBytes.Get(),
             keyBytes.Get() + road.nIVSize, road.nKeySize, fpEncryptFile.get(), plainFile.File());
    return CommitOutput(__func__, &plainFile);
}
