// SM2 encryption of short messages (content keys) in the raw layout x1 || y1 || C2 || C3 and
// the C1 || C3 || C2 layout, over the kernel's GB/T 32918.4 primitives.
#include <openssl/crypto.h>

#include <climits>
#include <cstring>

#include "HandOver.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SecretArray.h"
#include "VomuStep.h"
#include "operations/DataEncryption.h"

using morv::OsslPtr;
using morv::OwnedArray;

namespace {

// The kernel layout 04 || x1 || y1 || C2 || C3 (n + 97 octets) of an n-octet message; the
// raw layout leaves out the 04.
const size_t C1_SIZE = 1 + 2 * SM2_FIELD_SIZE;
const size_t C3_SIZE = 32;
const int RAW_OVERHEAD = (int)(C1_SIZE - 1 + C3_SIZE);

// Logs its steps under pszFunc, the SM2 function whose steps they are.
int CoordinateToBN(const char* pszFunc, const unsigned char* pbyField, int nFieldSize,
                   const char* pszNewStep, const char* pszNewReason, const char* pszSetStep,
                   OsslPtr<BIGNUM>& pbn)
{
    pbn.reset(BN_new());
    VOMU_FAIL_IF_OSSL_REASON_IN(pszFunc, !pbn, pszNewReason, pszNewStep, VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pszFunc, NULL == pbyField || nFieldSize <= 0, "check parameters.",
                    VOMU_E_FAIL);
    const unsigned nLen = (unsigned)(nFieldSize < SM2_FIELD_SIZE ? nFieldSize : SM2_FIELD_SIZE);
    const int nResult = _SM2_Bytes2BN(pbyField, nLen, pbn.get());
    VOMU_FAIL_IF_IN(pszFunc, 1 != nResult, pszSetStep, VOMU_E_FAIL);
    return VOMU_OK;
}

}  // namespace

int SM2_Encrypt(const unsigned char* pbyPlainData, int nPlainDataSize,
                const unsigned char* pbyPubKeyX, int nPubKeyXSize,
                const unsigned char* pbyPubKeyY, int nPubKeyYSize,
                unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize)
{
    VOMU_FAIL_IF(NULL == ppbyEncryptedData || NULL == pnEncryptedDataSize || NULL == pbyPlainData ||
                     nPlainDataSize <= 0 || nPlainDataSize > INT_MAX - SM2_CIPHER_OVERHEAD,
                 "check parameters.", VOMU_E_FAIL);
    OsslPtr<BIGNUM> pbnPubKeyX, pbnPubKeyY;
    int nResult = CoordinateToBN(__func__, pbyPubKeyX, nPubKeyXSize, "BN_new(PubKeyX)",
                                 "NULL == pbnPubKeyX", "_SM2_Bytes2BN(PubKeyX)", pbnPubKeyX);
    if (VOMU_OK != nResult) return nResult;
    nResult = CoordinateToBN(__func__, pbyPubKeyY, nPubKeyYSize, "BN_new(PubKeyY)",
                             "NULL == pbnPubKeyY", "_SM2_Bytes2BN(PubKeyY)", pbnPubKeyY);
    if (VOMU_OK != nResult) return nResult;
    const size_t nKernelSize = (size_t)nPlainDataSize + SM2_CIPHER_OVERHEAD;
    OwnedArray<unsigned char> pbyKernel = morv::NewArray<unsigned char>(nKernelSize);
    VOMU_FAIL_IF(!pbyKernel, "New memory", VOMU_E_FAIL);
    nResult = _SM2_point_is_on_curve(pbnPubKeyX.get(), pbnPubKeyY.get(), NID_prime256v1SM2);
    VOMU_FAIL_IF(1 != nResult, "_SM2_point_is_on_curve", VOMU_E_FAIL);
    nResult = _SM2_encrypt(NID_prime256v1SM2, pbyPlainData, nPlainDataSize, pbnPubKeyX.get(),
                           pbnPubKeyY.get(), pbyKernel.get());
    VOMU_FAIL_IF_OSSL(1 != nResult, "_SM2_encrypt", VOMU_E_FAIL);
    OwnedArray<unsigned char> pbyRaw = morv::CopyToArray(pbyKernel.get() + 1, nKernelSize - 1);
    VOMU_FAIL_IF(!pbyRaw, "New memory", VOMU_E_FAIL);
    return morv::HandOver(pbyRaw, ppbyEncryptedData, pnEncryptedDataSize, nKernelSize - 1);
}

// A wrong key shows as a C3 mismatch; the kernel wipes what it decrypted then.
int SM2_Decrypt(const unsigned char* pbyEncryptedData, int nEncryptedDataSize,
                const unsigned char* pbyPrivateKey, int nPrivateKeySize,
                unsigned char** ppbyPlainData, int* pnPlainDataSize)
{
    VOMU_FAIL_IF(NULL == pbyEncryptedData || nEncryptedDataSize <= RAW_OVERHEAD ||
                     nEncryptedDataSize > INT_MAX - 1 || NULL == ppbyPlainData ||
                     NULL == pnPlainDataSize,
                 "check parameters.", VOMU_E_FAIL);
    const size_t nKernelSize = (size_t)nEncryptedDataSize + 1;
    OwnedArray<unsigned char> pbyKernel = morv::NewArray<unsigned char>(nKernelSize);
    VOMU_FAIL_IF(!pbyKernel, "New memory", VOMU_E_FAIL);
    pbyKernel[0] = 0x04;
    memcpy(pbyKernel.get() + 1, pbyEncryptedData, (size_t)nEncryptedDataSize);
    OsslPtr<BIGNUM> pbnPrivateKey;
    int nResult = CoordinateToBN(__func__, pbyPrivateKey, nPrivateKeySize, "BN_new(PrivateKey)",
                                 "NULL == pbnPrivateKey", "_SM2_Bytes2BN(PrivateKey)",
                                 pbnPrivateKey);
    if (VOMU_OK != nResult) return nResult;
    const size_t nPlainSize = nKernelSize - C1_SIZE - C3_SIZE;
    morv::SecretArray plain;
    VOMU_FAIL_IF(!plain.Allocate(nPlainSize), "New memory", VOMU_E_FAIL);
    nResult = _SM2_decrypt(NID_prime256v1SM2, pbyKernel.get(), (unsigned)nKernelSize,
                           pbnPrivateKey.get(), plain.Get());
    VOMU_FAIL_IF_OSSL(1 != nResult, "_SM2_decrypt", VOMU_E_FAIL);
    return morv::HandOver(plain.Owned(), ppbyPlainData, pnPlainDataSize, nPlainSize);
}

// 04 || x1 || y1 || C3 || C2: the kernel's layout with C3 moved in front of C2. The point is
// checked on the curve by the kernel, and an empty message is refused.
int _SM2_encrypt_v2(int nCurveNID, const unsigned char* pbyMessage, unsigned int nMessageLen,
                    const BIGNUM* x, const BIGNUM* y, unsigned char* pbyCipher)
{
    if (NULL == pbyMessage || NULL == pbyCipher || 0 == nMessageLen ||
        nMessageLen > (unsigned)INT_MAX - C1_SIZE - C3_SIZE)
        return 0;
    const size_t nSize = C1_SIZE + C3_SIZE + nMessageLen;
    OwnedArray<unsigned char> pbyKernel = morv::NewArray<unsigned char>(nSize);
    if (!pbyKernel ||
        1 != _SM2_encrypt(nCurveNID, pbyMessage, (int)nMessageLen, x, y, pbyKernel.get()))
        return 0;
    memcpy(pbyCipher, pbyKernel.get(), C1_SIZE);
    memcpy(pbyCipher + C1_SIZE, pbyKernel.get() + C1_SIZE + nMessageLen, C3_SIZE);
    memcpy(pbyCipher + C1_SIZE + C3_SIZE, pbyKernel.get() + C1_SIZE, nMessageLen);
    return 1;
}

// The inverse; on a failed check nothing of the message is left in pbyPlainData.
int _SM2_decrypt_v2(int nCurveNID, const unsigned char* pbyCipher, unsigned int nCipherLen,
                    const BIGNUM* d, unsigned char* pbyPlainData)
{
    if (NULL == pbyCipher || NULL == pbyPlainData || nCipherLen <= C1_SIZE + C3_SIZE ||
        nCipherLen > (unsigned)INT_MAX)
        return 0;
    const size_t nMessageLen = nCipherLen - C1_SIZE - C3_SIZE;
    OwnedArray<unsigned char> pbyKernel = morv::NewArray<unsigned char>(nCipherLen);
    if (!pbyKernel) return 0;
    memcpy(pbyKernel.get(), pbyCipher, C1_SIZE);
    memcpy(pbyKernel.get() + C1_SIZE, pbyCipher + C1_SIZE + C3_SIZE, nMessageLen);
    memcpy(pbyKernel.get() + C1_SIZE + nMessageLen, pbyCipher + C1_SIZE, C3_SIZE);
    return 1 == _SM2_decrypt(nCurveNID, pbyKernel.get(), nCipherLen, d, pbyPlainData) ? 1 : 0;
}
