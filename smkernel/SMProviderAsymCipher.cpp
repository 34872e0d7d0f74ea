// Provider asymmetric cipher SM2 (GB/T 32918.4) whose ciphertext is the DER of the SM2Cipher
// item (SM2Cipher.h): INTEGERs are written minimal; both minimal and 32-byte forms are read.
#include <openssl/asn1.h>
#include <openssl/crypto.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "OsslPtr.h"
#include "SM2.h"
#include "SM2Cipher.h"
#include "SMErr.h"
#include "SMObjects.h"
#include "SMProvider.h"

namespace smk {
namespace {

const size_t SM2_FIELD = 32;

struct Sm2CipherCtx {
    ProvCtx* pProvCtx;
    Sm2KeyData key;
};

void* AcNewCtx(void* pvProvCtx)
{
    Sm2CipherCtx* pCtx = new (std::nothrow) Sm2CipherCtx();
    if (pCtx) pCtx->pProvCtx = static_cast<ProvCtx*>(pvProvCtx);
    return pCtx;
}

void AcFreeCtx(void* pvCtx)
{
    if (!pvCtx) return;
    OPENSSL_cleanse(pvCtx, sizeof(Sm2CipherCtx));
    delete static_cast<Sm2CipherCtx*>(pvCtx);
}

void* AcDupCtx(void* pvCtx) { return new (std::nothrow) Sm2CipherCtx(*static_cast<Sm2CipherCtx*>(pvCtx)); }

int AcInit(void* pvCtx, void* pvKey, bool bPrivate)
{
    Sm2CipherCtx* pCtx = static_cast<Sm2CipherCtx*>(pvCtx);
    const Sm2KeyData* pKey = static_cast<const Sm2KeyData*>(pvKey);
    if (!pKey || !pKey->bHasPublic || (bPrivate && !pKey->bHasPrivate))
        return SMK_ERR_RAISE(SMK_R_INVALID_KEY), 0;
    pCtx->key = *pKey;
    return 1;
}

int AcEncryptInit(void* pvCtx, void* pvKey, const OSSL_PARAM[]) { return AcInit(pvCtx, pvKey, false); }
int AcDecryptInit(void* pvCtx, void* pvKey, const OSSL_PARAM[]) { return AcInit(pvCtx, pvKey, true); }

// Upper bound of the DER for an n-byte message (INTEGERs of up to 33 content bytes).
size_t CipherDerBound(size_t nMsg)
{
    int nContent = 2 * ASN1_object_size(0, 33, V_ASN1_INTEGER) + ASN1_object_size(0, 32, V_ASN1_OCTET_STRING) +
                   ASN1_object_size(0, (int)nMsg, V_ASN1_OCTET_STRING);
    return (size_t)ASN1_object_size(1, nContent, V_ASN1_SEQUENCE);
}

using Sm2CipherPtr = std::unique_ptr<SM2Cipher, decltype(&SM2Cipher_free)>;

// The SM2Cipher item of the kernel ciphertext 04 || x1 || y1 || C2 || C3, as DER.
int EncodeSm2Cipher(const unsigned char* pbyKernel, size_t nMsg, std::vector<unsigned char>* pDer)
{
    Sm2CipherPtr pCipher(SM2Cipher_new(), SM2Cipher_free);
    if (!pCipher || !BN_bin2bn(pbyKernel + 1, SM2_FIELD, pCipher->XCoordinate) ||
        !BN_bin2bn(pbyKernel + 1 + SM2_FIELD, SM2_FIELD, pCipher->YCoordinate) ||
        !ASN1_OCTET_STRING_set(pCipher->HASH, pbyKernel + 65 + nMsg, SM2_FIELD) ||
        !ASN1_OCTET_STRING_set(pCipher->cipherText, pbyKernel + 65, (int)nMsg))
        return 0;
    int nDer = i2d_SM2Cipher(pCipher.get(), nullptr);
    if (nDer <= 0) return 0;
    pDer->resize((size_t)nDer);
    unsigned char* p = pDer->data();
    return i2d_SM2Cipher(pCipher.get(), &p) == nDer;
}

int AcEncrypt(void* pvCtx, unsigned char* pbyOut, size_t* pnOut, size_t nOutSize,
              const unsigned char* pbyIn, size_t nIn)
{
    Sm2CipherCtx* pCtx = static_cast<Sm2CipherCtx*>(pvCtx);
    if (nIn == 0 || nIn > SM2_MAX_MESSAGE) return -1;  // what decryption could not open
    if (!pbyOut) {
        *pnOut = CipherDerBound(nIn);
        return 1;
    }
    pCtx->pProvCtx->nEncrypt++;
    std::vector<unsigned char> kernel(SM2_CIPHER_OVERHEAD + nIn), der;
    morv::OsslPtr<BIGNUM> pX(BN_bin2bn(pCtx->key.abyX, 32, nullptr)), pY(BN_bin2bn(pCtx->key.abyY, 32, nullptr));
    if (!pX || !pY || 1 != _SM2_encrypt(NID_prime256v1SM2, pbyIn, (int)nIn, pX.get(), pY.get(), kernel.data()) ||
        !EncodeSm2Cipher(kernel.data(), nIn, &der))
        return -1;
    if (der.size() > nOutSize) return SMK_ERR_RAISE(SMK_R_BUFFER_TOO_SMALL), 0;
    memcpy(pbyOut, der.data(), der.size());
    *pnOut = der.size();
    return 1;
}

// A definite-length SEQUENCE that spans the input exactly (the item decoder alone would also
// take an indefinite length or trailing octets).
bool IsOneDefiniteSequence(const unsigned char* pbyIn, size_t nIn)
{
    const unsigned char* p = pbyIn;
    long nContent = 0;
    int nTag = 0, nClass = 0;
    if (nIn > (size_t)INT32_MAX) return false;
    int nRet = ASN1_get_object(&p, &nContent, &nTag, &nClass, (long)nIn);
    return !(nRet & 0x80) && nRet == V_ASN1_CONSTRUCTED && nTag == V_ASN1_SEQUENCE &&
           nClass == V_ASN1_UNIVERSAL && p + nContent == pbyIn + nIn;
}

// The SM2Cipher DER back to 04 || x1 || y1 || C2 || C3; 0 for anything malformed. Coordinates
// may be minimal or 32-byte INTEGERs; each field is checked before the rebuild.
int DecodeSm2Cipher(const unsigned char* pbyIn, size_t nIn, std::vector<unsigned char>* pKernel)
{
    if (!IsOneDefiniteSequence(pbyIn, nIn)) return 0;
    const unsigned char* p = pbyIn;
    Sm2CipherPtr pCipher(d2i_SM2Cipher(nullptr, &p, (long)nIn), SM2Cipher_free);
    unsigned char abyX[SM2_FIELD], abyY[SM2_FIELD];
    if (!pCipher || p != pbyIn + nIn || !_SM2_GetBNBytes(pCipher->XCoordinate, abyX) ||
        !_SM2_GetBNBytes(pCipher->YCoordinate, abyY) || ASN1_STRING_length(pCipher->HASH) != (int)SM2_FIELD ||
        ASN1_STRING_length(pCipher->cipherText) < 1)
        return 0;
    size_t nC2 = (size_t)ASN1_STRING_length(pCipher->cipherText);
    pKernel->assign(SM2_CIPHER_OVERHEAD + nC2, 0x04);
    memcpy(pKernel->data() + 1, abyX, SM2_FIELD);
    memcpy(pKernel->data() + 1 + SM2_FIELD, abyY, SM2_FIELD);
    memcpy(pKernel->data() + 65, ASN1_STRING_get0_data(pCipher->cipherText), nC2);
    memcpy(pKernel->data() + 65 + nC2, ASN1_STRING_get0_data(pCipher->HASH), SM2_FIELD);
    return 1;
}

int AcDecrypt(void* pvCtx, unsigned char* pbyOut, size_t* pnOut, size_t nOutSize,
              const unsigned char* pbyIn, size_t nIn)
{
    Sm2CipherCtx* pCtx = static_cast<Sm2CipherCtx*>(pvCtx);
    std::vector<unsigned char> kernel;
    if (!pbyIn || !DecodeSm2Cipher(pbyIn, nIn, &kernel)) return SMK_ERR_RAISE(SMK_R_INVALID_SM2_CIPHER), -1;
    size_t nMsg = kernel.size() - SM2_CIPHER_OVERHEAD;
    if (!pbyOut) {
        *pnOut = nMsg;
        return 1;
    }
    if (nOutSize < nMsg) return SMK_ERR_RAISE(SMK_R_BUFFER_TOO_SMALL), 0;
    pCtx->pProvCtx->nDecrypt++;
    morv::OsslPtr<BIGNUM> pD(BN_secure_new());
    if (!pD || !BN_bin2bn(pCtx->key.abyD, 32, pD.get()) ||
        1 != _SM2_decrypt(NID_prime256v1SM2, kernel.data(), (unsigned)kernel.size(), pD.get(), pbyOut))
        return -1;
    *pnOut = nMsg;
    return 1;
}

const OSSL_DISPATCH g_Sm2AsymCipherFunctions[] = {
    {OSSL_FUNC_ASYM_CIPHER_NEWCTX, (void (*)(void))AcNewCtx},
    {OSSL_FUNC_ASYM_CIPHER_FREECTX, (void (*)(void))AcFreeCtx},
    {OSSL_FUNC_ASYM_CIPHER_DUPCTX, (void (*)(void))AcDupCtx},
    {OSSL_FUNC_ASYM_CIPHER_ENCRYPT_INIT, (void (*)(void))AcEncryptInit},
    {OSSL_FUNC_ASYM_CIPHER_ENCRYPT, (void (*)(void))AcEncrypt},
    {OSSL_FUNC_ASYM_CIPHER_DECRYPT_INIT, (void (*)(void))AcDecryptInit},
    {OSSL_FUNC_ASYM_CIPHER_DECRYPT, (void (*)(void))AcDecrypt},
    {0, nullptr}};

}  // namespace

const OSSL_ALGORITHM g_Sm2AsymCipherAlgorithms[] = {
    {"SM2:1.2.156.10197.1.301", "provider=smk", g_Sm2AsymCipherFunctions, "SM2 of the MORV SM kernel"},
    {nullptr, nullptr, nullptr, nullptr}};

}  // namespace smk
