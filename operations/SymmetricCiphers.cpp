// The symmetric ciphers by algorithm number, content keys, and one-pass buffer encryption.
#include "operations/DataEncryption.h"

#include <openssl/rand.h>

#include <climits>
#include <cstring>

#include "CipherFileStream.h"
#include "HandOver.h"
#include "OperationsCommon.h"
#include "OsslPtr.h"
#include "SecretArray.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

namespace {

using morv::OsslPtr;
using morv::SecretArray;

const int DES_KEY_LEN = 8;

// The ciphers by number, fetched once per kernel start, and the step line of each number.
struct CipherName {
    int nNID;
    const char* pszStep;
};

const CipherName CIPHER_NAMES[] = {
    {NID_rc4, "EVP_rc4"},
    {NID_des_ede3_ecb, "EVP_des_ede3_ecb"},
    {NID_des_ede3_cbc, "EVP_des_ede3_cbc"},
    {NID_ChinaSM4_CBC, "NID_ChinaSM4_CBC"},  // our own
};

const CipherName* FindCipherName(int nSymAlgNID)
{
    for (const CipherName& entry : CIPHER_NAMES)
        if (entry.nNID == nSymAlgNID) return &entry;
    return nullptr;
}

// A reference of the caller's own to the kernel's cipher. Null while the kernel is stopped:
// never a fetch from the process's default context.
EVP_CIPHER* FetchCipher(const CipherName& entry)
{
    EVP_CIPHER* pEvpCipher = const_cast<EVP_CIPHER*>(smk::KernelCipher(entry.nNID));
    return pEvpCipher && 1 == EVP_CIPHER_up_ref(pEvpCipher) ? pEvpCipher : nullptr;
}

// DES keys carry odd parity in the low bit of every byte (FIPS 46-3 3.1), as DES_random_key
// gives them; the cipher itself ignores those bits.
void SetOddParity(unsigned char* pbyKey, size_t nSize)
{
    for (size_t i = 0; i < nSize; ++i) {
        const unsigned char byHigh = pbyKey[i] & 0xFE;
        pbyKey[i] = byHigh | (unsigned char)(1 ^ __builtin_parity(byHigh));
    }
}

int DesRandomKey(const char* pszFunc, unsigned char* pbyKey)
{
    const int nResult = smk::LibCtx() ? RAND_bytes_ex(smk::LibCtx(), pbyKey, DES_KEY_LEN, 0) : 0;
    VOMU_FAIL_IF_OSSL_REASON_IN(pszFunc, 1 != nResult, "0 == nResult", "DES_random_key",
                                VOMU_E_FAIL);
    SetOddParity(pbyKey, DES_KEY_LEN);
    return VOMU_OK;
}

int RandomKey(const char* pszFunc, int nSymAlgNID, SecretArray* pbySymKey)
{
    if (NID_rc4 == nSymAlgNID) {
        const int nResult =
            smk::LibCtx() ? RAND_bytes_ex(smk::LibCtx(), pbySymKey->Get(), RC4_KEY_LEN, 0) : 0;
        VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "RAND_bytes", VOMU_E_FAIL);
        return VOMU_OK;
    }
    for (int i = 0; i < DES3_KEY_LEN; i += DES_KEY_LEN) {
        const int nResult = DesRandomKey(pszFunc, pbySymKey->Get() + i);
        if (VOMU_OK != nResult) return nResult;
    }
    return VOMU_OK;
}

int CheckSymEncryptKey(const char* pszFunc, int nSymAlgNID, int nKeyDataSize)
{
    switch (nSymAlgNID) {
    case NID_des_ede3_ecb:
        VOMU_FAIL_IF_IN(pszFunc, DES3_KEY_LEN != nKeyDataSize, "Check 3DES_ECB key length.",
                        VOMU_E_INVALID_ARG);
        return VOMU_OK;
    case NID_des_ede3_cbc:
        VOMU_FAIL_IF_IN(pszFunc, DES3_KEY_LEN != nKeyDataSize, "Check 3DES key length.",
                        VOMU_E_INVALID_ARG);
        return VOMU_OK;
    case NID_rc4:
        VOMU_FAIL_IF_IN(pszFunc, RC4_KEY_LEN != nKeyDataSize, "Check RC4 key length.",
                        VOMU_E_INVALID_ARG);
        return VOMU_OK;
    default:
        VOMU_STEP_FAILED_IN(pszFunc, "Unsupported Algorithm.", VOMU_E_INVALID_ARG, "true");
    }
    return VOMU_E_INVALID_ARG;
}

// The pointers one pass needs: data (unless empty), the key, the IV of a CBC cipher, outputs.
int CheckBufferArgs(const char* pszFunc, const EVP_CIPHER* pEvpCipher, const unsigned char* pbyIV,
                    const unsigned char* pbySymKey, const unsigned char* pbyData, int nDataSize,
                    unsigned char** ppbyOut, int* pnOutSize)
{
    VOMU_FAIL_IF_IN(pszFunc,
                    (NULL == pbyData && 0 != nDataSize) || 0 > nDataSize || NULL == pbySymKey ||
                        (NULL == pbyIV && 0 < EVP_CIPHER_get_iv_length(pEvpCipher)) ||
                        NULL == ppbyOut || NULL == pnOutSize,
                    "Check parameters", VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

// One update over the whole input and the final step into pbyOut; the total in *pnOutSize.
int CipherOnePass(const char* pszFunc, EVP_CIPHER_CTX* pCTX, const unsigned char* pbyIn,
                  int nInSize, unsigned char* pbyOut, int* pnOutSize, bool bEncrypt, int nCode)
{
    int nUpdate = 0, nFinal = 0;
    int nResult = EVP_CipherUpdate(pCTX, pbyOut, &nUpdate, pbyIn, nInSize);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult,
                         bEncrypt ? "EVP_EncryptUpdate" : "EVP_DecryptUpdate", nCode);
    nResult = EVP_CipherFinal_ex(pCTX, pbyOut + nUpdate, &nFinal);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult,
                         bEncrypt ? "EVP_EncryptFinal_ex" : "EVP_DecryptFinal", nCode);
    *pnOutSize = nUpdate + nFinal;
    return VOMU_OK;
}

}  // namespace

int GetEVPCipherbyNID(int nSymAlgNID, EVP_CIPHER** ppEvpCipher)
{
    const CipherName* pEntry = FindCipherName(nSymAlgNID);
    if (NULL == pEntry) {
        VOMU_STEP_FAILED("Unsupported Algorithm.", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
    VOMU_FAIL_IF(NULL == ppEvpCipher, "Check parameter(ppEvpCipher)", VOMU_E_INVALID_ARG);
    EVP_CIPHER* pEvpCipher = FetchCipher(*pEntry);
    VOMU_FAIL_IF_OSSL(NULL == pEvpCipher, pEntry->pszStep, VOMU_E_FAIL);
    *ppEvpCipher = pEvpCipher;
    return VOMU_OK;
}

namespace morv {

int GetCipher(const char* pszFunc, int nSymAlgNID, const char* pszStep,
              OsslPtr<EVP_CIPHER>* ppEvpCipher)
{
    EVP_CIPHER* pRawCipher = nullptr;
    const int nResult = GetEVPCipherbyNID(nSymAlgNID, &pRawCipher);
    VOMU_FAIL_IF_REASON_IN(pszFunc, VOMU_OK != nResult, "VOMU_OK != nResult", pszStep, nResult);
    ppEvpCipher->reset(pRawCipher);
    return VOMU_OK;
}

int CheckDecryptKey(const char* pszFunc, const EVP_CIPHER* pEvpCipher, const unsigned char* pbyIV,
                    const unsigned char* pbySymKey, int nSymKeyDataSize)
{
    VOMU_FAIL_IF_IN(
        pszFunc, NULL == pbySymKey || (NULL == pbyIV && 0 < EVP_CIPHER_get_iv_length(pEvpCipher)),
        "Check parameter(pbySymKey, pbyIV)", VOMU_E_INVALID_ARG);
    const int nCipherKeyLength = EVP_CIPHER_get_key_length(pEvpCipher);
    VOMU_FAIL_IF_IN(pszFunc, nSymKeyDataSize < nCipherKeyLength, "Check key length",
                    VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

int InitCipherContext(const char* pszFunc, const EVP_CIPHER* pEvpCipher, const unsigned char* pbyIV,
                      const unsigned char* pbySymKey, bool bEncrypt, int nInitCode,
                      OsslPtr<EVP_CIPHER_CTX>* ppCtx)
{
    OsslPtr<EVP_CIPHER_CTX> pCTX(EVP_CIPHER_CTX_new());
    VOMU_FAIL_IF_IN(pszFunc, NULL == pCTX, "EVP_CIPHER_CTX_new", nInitCode);
    const int nResult = EVP_CipherInit_ex(pCTX.get(), pEvpCipher, NULL, pbySymKey, pbyIV,
                                          bEncrypt ? 1 : 0);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, bEncrypt ? "EVP_EncryptInit" : "EVP_DecryptInit",
                         nInitCode);
    *ppCtx = std::move(pCTX);
    return VOMU_OK;
}

}  // namespace morv

int GenerateSymKey(int nSymAlgNID, unsigned char** ppbySymKey, int* pnSymKeySize)
{
    TRACE(TRACE_LEVEL_INFO, "nSymAlgNID: %d", nSymAlgNID);
    if (NID_rc4 != nSymAlgNID && NID_des_ede3_cbc != nSymAlgNID) {
        VOMU_STEP_FAILED("Unsupported Algorithm.", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
    VOMU_FAIL_IF(NULL == ppbySymKey || NULL == pnSymKeySize, "Check parameters",
                 VOMU_E_INVALID_ARG);
    const int nKeySize = NID_rc4 == nSymAlgNID ? RC4_KEY_LEN : DES3_KEY_LEN;
    SecretArray pbySymKey;
    VOMU_FAIL_IF_REASON(!pbySymKey.Allocate((size_t)nKeySize), "!pbySymKey", "New memory",
                        VOMU_E_FAIL);
    const int nResult = RandomKey(__func__, nSymAlgNID, &pbySymKey);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOver(pbySymKey.Owned(), ppbySymKey, pnSymKeySize, (size_t)nKeySize);
}

int SymEncrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
               int nSymKeyDataSize, const unsigned char* pbyData, int nDataSize,
               unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize)
{
    TRACE(TRACE_LEVEL_INFO, "nSymAlgNID: %d", nSymAlgNID);
    OsslPtr<EVP_CIPHER> pEvpCipher;
    int nResult = morv::GetCipher(__func__, nSymAlgNID, "GetEVPCipherbyNID.", &pEvpCipher);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckSymEncryptKey(__func__, nSymAlgNID, nSymKeyDataSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckBufferArgs(__func__, pEvpCipher.get(), pbyIV, pbySymKey, pbyData, nDataSize,
                              ppbyEncryptedData, pnEncryptedDataSize);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF(nDataSize > INT_MAX - 8, "Check parameter(nDataSize)", VOMU_E_INVALID_ARG);
    const size_t nOutSize = NID_rc4 == nSymAlgNID ? (size_t)nDataSize : (size_t)(nDataSize / 8) * 8 + 8;
    morv::OwnedArray<unsigned char> pbyEncryptedData = morv::NewArray<unsigned char>(nOutSize);
    VOMU_FAIL_IF(!pbyEncryptedData, "New memory", VOMU_E_FAIL);
    memset(pbyEncryptedData.get(), 0, nOutSize);
    OsslPtr<EVP_CIPHER_CTX> pCTX;
    nResult = morv::InitCipherContext(__func__, pEvpCipher.get(), pbyIV, pbySymKey, true,
                                      VOMU_E_ENCRYPT, &pCTX);
    if (VOMU_OK != nResult) return nResult;
    int nEncryptedSize = 0;
    nResult = CipherOnePass(__func__, pCTX.get(), pbyData, nDataSize, pbyEncryptedData.get(),
                            &nEncryptedSize, true, VOMU_E_ENCRYPT);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOver(pbyEncryptedData, ppbyEncryptedData, pnEncryptedDataSize,
                          (size_t)nEncryptedSize);
}

int SymDecrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
               int nSymKeyDataSize, const unsigned char* pbyEncryptedData,
               int nEncryptedDataSize, unsigned char** ppbyPlainData, int* pnPlainDataSize)
{
    OsslPtr<EVP_CIPHER> pEvpCipher;
    int nResult = morv::GetCipher(__func__, nSymAlgNID, "GetEVPCipherbyNID", &pEvpCipher);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckBufferArgs(__func__, pEvpCipher.get(), pbyIV, pbySymKey, pbyEncryptedData,
                              nEncryptedDataSize, ppbyPlainData, pnPlainDataSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = morv::CheckDecryptKey(__func__, pEvpCipher.get(), pbyIV, pbySymKey, nSymKeyDataSize);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF(nEncryptedDataSize > INT_MAX - EVP_MAX_BLOCK_LENGTH - 1,
                 "Check parameter(nEncryptedDataSize)", VOMU_E_INVALID_ARG);
    OsslPtr<EVP_CIPHER_CTX> pCTX;
    nResult = morv::InitCipherContext(__func__, pEvpCipher.get(), pbyIV, pbySymKey, false,
                                      VOMU_E_DECRYPT, &pCTX);
    if (VOMU_OK != nResult) return nResult;
    // Room for one more block than the input, whatever a provider writes before its final step.
    SecretArray pbyPlainData;
    VOMU_FAIL_IF_REASON(
        !pbyPlainData.Allocate((size_t)nEncryptedDataSize + EVP_MAX_BLOCK_LENGTH + 1),
        "!pbyPlainData", "New memory", VOMU_E_FAIL);
    int nPlainSize = 0;
    nResult = CipherOnePass(__func__, pCTX.get(), pbyEncryptedData, nEncryptedDataSize,
                            pbyPlainData.Get(), &nPlainSize, false, VOMU_E_DECRYPT);
    if (VOMU_OK != nResult) return nResult;
    pbyPlainData.Get()[nPlainSize] = 0;
    return morv::HandOver(pbyPlainData.Owned(), ppbyPlainData, pnPlainDataSize, (size_t)nPlainSize);
}
