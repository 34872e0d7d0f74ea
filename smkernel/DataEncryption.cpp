// SM4-CBC helpers: padded encryption through the kernel's library cipher, whole-block
// encryption with our own round keys, and password keying through the SM2 KDF.
#include "DataEncryption.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "HandOver.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM4.h"
#include "SMKernel.h"
// The SM4 helpers log under their component's name.
#define VOMU_STEP_FILE "DataEncryption"
#include "VomuStep.h"
#include "vomu_result.h"

namespace {

using morv::OwnedArray;

const int SM4_IV_SIZE = 16;
const int SM4_SYMKEY_SIZE = 16;
const unsigned SM4_PIN_KEY_BITS = 256;  // IV and key

// Round keys that are wiped when released.
struct RoundKeys {
    uint32_t aRk[SM4_ROUNDS];
    ~RoundKeys() { OPENSSL_cleanse(aRk, sizeof aRk); }
};

int CheckBuffers(const char* pszFunc, const unsigned char* pbyData, int nDataSize,
                 const unsigned char* pbyIV,
                 const unsigned char* pbySymKey, unsigned char** ppbyOut, int* pnOutSize)
{
    VOMU_FAIL_IF_IN(pszFunc,
                    (NULL == pbyData && 0 != nDataSize) || 0 > nDataSize || NULL == pbyIV ||
                    NULL == pbySymKey || NULL == ppbyOut || NULL == pnOutSize,
                    "Check Parameters", VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

int CheckSizes(const char* pszFunc, int nIVSize, int nSymKeySize)
{
    VOMU_FAIL_IF_IN(pszFunc, 16 != nIVSize, "Check Parameters(IVSize)", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF_IN(pszFunc, 16 != nSymKeySize, "Check Parameters(nSymKeySize)",
                    VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

int CheckCbcArgs(const char* pszFunc, const unsigned char* pbyData, int nDataSize,
                 const unsigned char* pbyIV,
                 int nIVSize, const unsigned char* pbySymKey, int nSymKeySize,
                 unsigned char** ppbyOut, int* pnOutSize)
{
    int nResult = CheckBuffers(pszFunc, pbyData, nDataSize, pbyIV, pbySymKey, ppbyOut, pnOutSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckSizes(pszFunc, nIVSize, nSymKeySize);
    if (VOMU_OK != nResult) return nResult;
    // The padded output adds one block: keep it within int.
    VOMU_FAIL_IF_IN(pszFunc, nDataSize > INT_MAX - 16, "Check Parameters(nDataSize)",
                    VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

}  // namespace

int SM4_Encrypt_CBC(const unsigned char* pbyData, int nDataSize, const unsigned char* pbyIV,
                    int nIVSize, const unsigned char* pbySymKey, int nSymKeySize,
                    unsigned char** ppbyOut, int* pnOutSize)
{
    int nResult = CheckCbcArgs(__func__, pbyData, nDataSize, pbyIV, nIVSize, pbySymKey, nSymKeySize,
                               ppbyOut, pnOutSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyEncryptData = morv::NewArray<unsigned char>((size_t)(nDataSize / 16) * 16 + 16);
    VOMU_FAIL_IF(!pbyEncryptData, "New memory", VOMU_E_FAIL);
    morv::OsslPtr<EVP_CIPHER_CTX> pCtx(EVP_CIPHER_CTX_new());
    VOMU_FAIL_IF(!pCtx, "EVP_CIPHER_CTX_new", VOMU_E_FAIL);
    nResult = EVP_EncryptInit_ex(pCtx.get(), smk::Sm4CbcCipher(), NULL, pbySymKey, pbyIV);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_EncryptInit_ex", VOMU_E_FAIL);
    int nUpdate = 0, nFinal = 0;
    nResult = EVP_EncryptUpdate(pCtx.get(), pbyEncryptData.get(), &nUpdate, pbyData, nDataSize);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_EncryptUpdate", VOMU_E_FAIL);
    nResult = EVP_EncryptFinal_ex(pCtx.get(), pbyEncryptData.get() + nUpdate, &nFinal);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_EncryptFinal_ex", VOMU_E_FAIL);
    morv::HandOver(pbyEncryptData, ppbyOut, pnOutSize, (size_t)(nUpdate + nFinal));
    return VOMU_OK;
}

int SM4_Decrypt_CBC(const unsigned char* pbyData, int nDataSize, const unsigned char* pbyIV,
                    int nIVSize, const unsigned char* pbySymKey, int nSymKeySize,
                    unsigned char** ppbyOut, int* pnOutSize)
{
    int nResult = CheckCbcArgs(__func__, pbyData, nDataSize, pbyIV, nIVSize, pbySymKey, nSymKeySize,
                               ppbyOut, pnOutSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyPlainData = morv::NewArray<unsigned char>((size_t)nDataSize + 16);
    VOMU_FAIL_IF(!pbyPlainData, "New memory", VOMU_E_FAIL);
    morv::OsslPtr<EVP_CIPHER_CTX> pCtx(EVP_CIPHER_CTX_new());
    VOMU_FAIL_IF(!pCtx, "EVP_CIPHER_CTX_new", VOMU_E_FAIL);
    nResult = EVP_DecryptInit_ex(pCtx.get(), smk::Sm4CbcCipher(), NULL, pbySymKey, pbyIV);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_DecryptInit_ex", VOMU_E_FAIL);
    int nUpdate = 0, nFinal = 0;
    nResult = EVP_DecryptUpdate(pCtx.get(), pbyPlainData.get(), &nUpdate, pbyData, nDataSize);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_DecryptUpdate", VOMU_E_FAIL);
    nResult = EVP_DecryptFinal_ex(pCtx.get(), pbyPlainData.get() + nUpdate, &nFinal);
    if (1 != nResult) OPENSSL_cleanse(pbyPlainData.get(), (size_t)nDataSize + 16);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_DecryptFinal_ex", VOMU_E_FAIL);
    morv::HandOver(pbyPlainData, ppbyOut, pnOutSize, (size_t)(nUpdate + nFinal));
    return VOMU_OK;
}

namespace {

// The round keys of the first 16 key bytes, reversed for decryption (enc 0).
int SM4_Init_Key(const char* pszFunc, const unsigned char* pbyKey, int enc, RoundKeys** ppRKey)
{
    RoundKeys* pRKeyArr = new (std::nothrow) RoundKeys();
    VOMU_FAIL_IF_IN(pszFunc, !pRKeyArr, "New memory", VOMU_E_FAIL);
    std::unique_ptr<RoundKeys> pOwned(pRKeyArr);
    uint32_t aKey[4];
    smk::SM4_LoadWords(pbyKey, aKey);
    int nResult = smk::_SM4_ExtendKey(aKey, pRKeyArr->aRk);
    OPENSSL_cleanse(aKey, sizeof aKey);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "_SM4_ExtendKey", VOMU_E_FAIL);
    if (0 == enc) {
        nResult = smk::_SM4_InvertRoundKey(pRKeyArr->aRk);
        VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "_SM4_InvertRoundKey", VOMU_E_FAIL);
    }
    if (ppRKey) *ppRKey = pOwned.release();
    return VOMU_OK;
}

// Whole blocks in CBC over a private copy of the IV (the caller's IV is not changed).
int SM4_Encrypt(const char* pszFunc, const unsigned char* pbyIn, int nLen,
                const unsigned char* pbyIV,
                const RoundKeys* pRKey, int enc, OwnedArray<unsigned char>* ppbyOut)
{
    OwnedArray<unsigned char> pbyOutput = morv::NewArray<unsigned char>((size_t)nLen);
    VOMU_FAIL_IF_IN(pszFunc, !pbyOutput, "New memory", VOMU_E_FAIL);
    memset(pbyOutput.get(), 0, (size_t)nLen);
    unsigned char abyIv[16];
    memcpy(abyIv, pbyIV, sizeof abyIv);
    for (int i = 0; i + 16 <= nLen; i += 16) {
        int nResult = SM4_cbc_encrypt(pbyIn + i, pRKey->aRk, abyIv, pbyOutput.get() + i, enc);
        VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "SM4_cbc_encrypt", nResult);
    }
    *ppbyOut = std::move(pbyOutput);
    return VOMU_OK;
}

int SM4_CBC_Nopadding(const char* pszFunc, const unsigned char* pbyData, int nDataSize,
                      const unsigned char* pbyIV,
                      const unsigned char* pbySymKey, int enc, unsigned char** ppbyOut,
                      int* pnOutSize)
{
    RoundKeys* pRKey = nullptr;
    int nResult = SM4_Init_Key(pszFunc, pbySymKey, enc, &pRKey);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult,
                    enc ? "SM4_Init_Key(Encrypt)" : "SM4_Init_Key(Decrypt)", nResult);
    std::unique_ptr<RoundKeys> pOwnedKey(pRKey);
    OwnedArray<unsigned char> pbyOut;
    nResult = SM4_Encrypt(pszFunc, pbyData, nDataSize, pbyIV, pRKey, enc, &pbyOut);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult,
                    enc ? "SM4_Encrypt(Encrypt)" : "SM4_Encrypt(Decrypt)", nResult);
    morv::HandOver(pbyOut, ppbyOut, pnOutSize, (size_t)nDataSize);
    return VOMU_OK;
}

}  // namespace

int SM4_Encrypt_CBC_Nopadding(const unsigned char* pbyData, int nDataSize,
                              const unsigned char* pbyIV, int nIVSize,
                              const unsigned char* pbySymKey, int nSymKeySize,
                              unsigned char** ppbyOut, int* pnOutSize)
{
    int nResult = CheckBuffers(__func__, pbyData, nDataSize, pbyIV, pbySymKey, ppbyOut, pnOutSize);
    if (VOMU_OK != nResult) return nResult;
    int nPlainDataSize = nDataSize;
    VOMU_FAIL_IF(0 != nPlainDataSize % 16, "Check Parameters(nPlainDataSize)", VOMU_E_INVALID_ARG);
    nResult = CheckSizes(__func__, nIVSize, nSymKeySize);
    if (VOMU_OK != nResult) return nResult;
    return SM4_CBC_Nopadding(__func__, pbyData, nDataSize, pbyIV, pbySymKey, 1, ppbyOut, pnOutSize);
}

int SM4_Decrypt_CBC_Nopadding(const unsigned char* pbyData, int nDataSize,
                              const unsigned char* pbyIV, int nIVSize,
                              const unsigned char* pbySymKey, int nSymKeySize,
                              unsigned char** ppbyOut, int* pnOutSize)
{
    int nResult = CheckBuffers(__func__, pbyData, nDataSize, pbyIV, pbySymKey, ppbyOut, pnOutSize);
    if (VOMU_OK != nResult) return nResult;
    int nEncryptedDataSize = nDataSize;
    VOMU_FAIL_IF(0 != nEncryptedDataSize %16, "Check Parameters(nEncryptedDataSize)",
                 VOMU_E_INVALID_ARG);
    nResult = CheckSizes(__func__, nIVSize, nSymKeySize);
    if (VOMU_OK != nResult) return nResult;
    return SM4_CBC_Nopadding(__func__, pbyData, nDataSize, pbyIV, pbySymKey, 0, ppbyOut, pnOutSize);
}

namespace {

// K = KDF(password, 256 bits); IV = K[0..15], key = K[16..31].
struct PinKey {
    unsigned char abyK[32];
    ~PinKey() { OPENSSL_cleanse(abyK, sizeof abyK); }
};

int DerivePinKey(const char* pszFunc, const char* pszPin, PinKey* pKey)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pszPin, "Check Parameters(pszPin)", VOMU_E_INVALID_ARG);
    int nResult = _SM2_KDF((const unsigned char*)pszPin, (unsigned)strlen(pszPin), SM4_PIN_KEY_BITS,
                           pKey->abyK);
    VOMU_FAIL_IF_IN(pszFunc, 1 != nResult, "_SM2_KDF", VOMU_E_FAIL);
    return VOMU_OK;
}

}  // namespace

int SM4EncryptByPin(const unsigned char* pbyData, int nDataSize, const char* pszPin,
                    unsigned char** ppbyOut, int* pnOutSize)
{
    PinKey key;
    int nResult = DerivePinKey(__func__, pszPin, &key);
    if (VOMU_OK != nResult) return nResult;
    nResult = SM4_Encrypt_CBC(pbyData, nDataSize, key.abyK, SM4_IV_SIZE, key.abyK + 16,
                              SM4_SYMKEY_SIZE, ppbyOut, pnOutSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SM4_Encrypt_CBC", nResult);
    return VOMU_OK;
}

int SM4DecryptByPin(const unsigned char* pbyData, int nDataSize, const char* pszPin,
                    unsigned char** ppbyOut, int* pnOutSize)
{
    PinKey key;
    int nResult = DerivePinKey(__func__, pszPin, &key);
    if (VOMU_OK != nResult) return nResult;
    nResult = SM4_Decrypt_CBC(pbyData, nDataSize, key.abyK, SM4_IV_SIZE, key.abyK + 16,
                              SM4_SYMKEY_SIZE, ppbyOut, pnOutSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SM4_Decrypt_CBC", nResult);
    return VOMU_OK;
}
