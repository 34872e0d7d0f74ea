// Provider cipher SM4-CBC over our own SM4 (GB/T 32907-2016). OpenSSL 3 leaves padding and
// buffering of partial blocks to providers, so this cipher does both (PKCS#7 padding,
// switched off by the "padding" parameter).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "SM4.h"
#include "SMProvider.h"

namespace smk {
namespace {

struct Sm4CbcCtx {
    uint32_t aKey[4];                  // key words: the schedule is rebuilt on a change of direction
    uint32_t aRk[SM4_ROUNDS];          // round keys, reversed while decrypting
    unsigned char abyIv[SM4_BLOCK_SIZE];      // chaining value, updated block by block
    unsigned char abyOrigIv[SM4_BLOCK_SIZE];  // IV as given at initialisation
    unsigned char abyBuf[SM4_BLOCK_SIZE];     // input not yet processed
    size_t nBuf;
    int bEnc;
    int bPad;
    int bKeySet;
};

void* Sm4NewCtx(void*)
{
    Sm4CbcCtx* pCtx = new (std::nothrow) Sm4CbcCtx();
    if (pCtx) pCtx->bPad = 1;
    return pCtx;
}

void Sm4FreeCtx(void* pvCtx)
{
    if (!pvCtx) return;
    OPENSSL_cleanse(pvCtx, sizeof(Sm4CbcCtx));
    delete static_cast<Sm4CbcCtx*>(pvCtx);
}

void* Sm4DupCtx(void* pvCtx) { return new (std::nothrow) Sm4CbcCtx(*static_cast<Sm4CbcCtx*>(pvCtx)); }

// The schedule of the current direction from the stored key words.
void Sm4Schedule(Sm4CbcCtx* pCtx)
{
    _SM4_ExtendKey(pCtx->aKey, pCtx->aRk);
    if (!pCtx->bEnc) _SM4_InvertRoundKey(pCtx->aRk);
}

int Sm4SetCtxParams(void* pvCtx, const OSSL_PARAM pParams[])
{
    Sm4CbcCtx* pCtx = static_cast<Sm4CbcCtx*>(pvCtx);
    const OSSL_PARAM* p = OSSL_PARAM_locate_const(pParams, OSSL_CIPHER_PARAM_PADDING);
    unsigned int nValue = 0;
    if (p) {
        if (!OSSL_PARAM_get_uint(p, &nValue)) return 0;
        pCtx->bPad = nValue != 0;
    }
    p = OSSL_PARAM_locate_const(pParams, OSSL_CIPHER_PARAM_KEYLEN);
    size_t nKeyLen = 0;
    if (p && (!OSSL_PARAM_get_size_t(p, &nKeyLen) || nKeyLen != SM4_KEY_SIZE)) return 0;
    return 1;
}

int Sm4Init(void* pvCtx, const unsigned char* pbyKey, size_t nKeyLen, const unsigned char* pbyIv,
            size_t nIvLen, const OSSL_PARAM pParams[], int bEnc)
{
    Sm4CbcCtx* pCtx = static_cast<Sm4CbcCtx*>(pvCtx);
    if ((pbyKey && nKeyLen != SM4_KEY_SIZE) || (pbyIv && nIvLen != SM4_BLOCK_SIZE)) return 0;
    pCtx->bEnc = bEnc;
    pCtx->nBuf = 0;
    if (pbyKey) {
        SM4_LoadWords(pbyKey, pCtx->aKey);
        pCtx->bKeySet = 1;
    }
    if (pCtx->bKeySet) Sm4Schedule(pCtx);
    if (pbyIv) memcpy(pCtx->abyOrigIv, pbyIv, SM4_BLOCK_SIZE);
    memcpy(pCtx->abyIv, pCtx->abyOrigIv, SM4_BLOCK_SIZE);
    return Sm4SetCtxParams(pCtx, pParams);
}

int Sm4EncryptInit(void* pvCtx, const unsigned char* pbyKey, size_t nKeyLen,
                   const unsigned char* pbyIv, size_t nIvLen, const OSSL_PARAM pParams[])
{
    return Sm4Init(pvCtx, pbyKey, nKeyLen, pbyIv, nIvLen, pParams, 1);
}

int Sm4DecryptInit(void* pvCtx, const unsigned char* pbyKey, size_t nKeyLen,
                   const unsigned char* pbyIv, size_t nIvLen, const OSSL_PARAM pParams[])
{
    return Sm4Init(pvCtx, pbyKey, nKeyLen, pbyIv, nIvLen, pParams, 0);
}

// sm4_cipher_cbc: whole blocks with the context's IV, handed over in one call so that
// decryption can take several blocks at once.
void Sm4CipherBlocks(Sm4CbcCtx* pCtx, unsigned char* pbyOut, const unsigned char* pbyIn, size_t nLen)
{
    smk::SM4_cbc_encrypt_blocks(pbyIn, nLen, pCtx->aRk, pCtx->abyIv, pbyOut, pCtx->bEnc);
}

// While decrypting with padding the last whole block is held back for the final step.
bool Sm4HoldsLastBlock(const Sm4CbcCtx* pCtx) { return !pCtx->bEnc && pCtx->bPad; }

int Sm4Update(void* pvCtx, unsigned char* pbyOut, size_t* pnOut, size_t nOutSize,
              const unsigned char* pbyIn, size_t nIn)
{
    Sm4CbcCtx* pCtx = static_cast<Sm4CbcCtx*>(pvCtx);
    if (!pCtx->bKeySet || nIn > SIZE_MAX - pCtx->nBuf) return 0;
    size_t nTotal = pCtx->nBuf + nIn;
    size_t nKeep = nTotal % SM4_BLOCK_SIZE;
    if (nKeep == 0 && nTotal > 0 && Sm4HoldsLastBlock(pCtx)) nKeep = SM4_BLOCK_SIZE;
    size_t nProduce = nTotal - nKeep;
    if (nProduce > nOutSize) return 0;
    size_t nDone = 0;
    if (pCtx->nBuf > 0 && nProduce > 0) {
        size_t nFill = SM4_BLOCK_SIZE - pCtx->nBuf;
        memcpy(pCtx->abyBuf + pCtx->nBuf, pbyIn, nFill);
        Sm4CipherBlocks(pCtx, pbyOut, pCtx->abyBuf, SM4_BLOCK_SIZE);
        pbyIn += nFill;
        nIn -= nFill;
        pCtx->nBuf = 0;
        nDone = SM4_BLOCK_SIZE;
    }
    size_t nDirect = nProduce - nDone;
    Sm4CipherBlocks(pCtx, pbyOut + nDone, pbyIn, nDirect);
    if (nIn > nDirect) memcpy(pCtx->abyBuf + pCtx->nBuf, pbyIn + nDirect, nIn - nDirect);
    pCtx->nBuf += nIn - nDirect;
    *pnOut = nProduce;
    return 1;
}

// PKCS#7 padding value of a decrypted last block, or 0 when it is not valid.
size_t Sm4PadLength(const unsigned char abyBlock[SM4_BLOCK_SIZE])
{
    unsigned char nPad = abyBlock[SM4_BLOCK_SIZE - 1];
    unsigned char bBad = (unsigned char)(nPad == 0 || nPad > SM4_BLOCK_SIZE);
    for (size_t i = 0; i < SM4_BLOCK_SIZE; ++i)
        bBad |= (unsigned char)((SM4_BLOCK_SIZE - i <= nPad) & (abyBlock[i] != nPad));
    return bBad ? 0 : nPad;
}

int Sm4FinalEncrypt(Sm4CbcCtx* pCtx, unsigned char* pbyOut, size_t* pnOut, size_t nOutSize)
{
    if (!pCtx->bPad) {
        *pnOut = 0;
        return pCtx->nBuf == 0;
    }
    if (nOutSize < SM4_BLOCK_SIZE) return 0;
    unsigned char nPad = (unsigned char)(SM4_BLOCK_SIZE - pCtx->nBuf);
    memset(pCtx->abyBuf + pCtx->nBuf, nPad, nPad);
    Sm4CipherBlocks(pCtx, pbyOut, pCtx->abyBuf, SM4_BLOCK_SIZE);
    pCtx->nBuf = 0;
    *pnOut = SM4_BLOCK_SIZE;
    return 1;
}

int Sm4FinalDecrypt(Sm4CbcCtx* pCtx, unsigned char* pbyOut, size_t* pnOut, size_t nOutSize)
{
    if (!pCtx->bPad) {
        *pnOut = 0;
        return pCtx->nBuf == 0;
    }
    if (pCtx->nBuf != SM4_BLOCK_SIZE) return 0;
    unsigned char abyPlain[SM4_BLOCK_SIZE];
    Sm4CipherBlocks(pCtx, abyPlain, pCtx->abyBuf, SM4_BLOCK_SIZE);
    pCtx->nBuf = 0;
    size_t nPad = Sm4PadLength(abyPlain);
    size_t nPlain = SM4_BLOCK_SIZE - nPad;
    int nResult = nPad != 0 && nPlain <= nOutSize;
    if (nResult) {
        memcpy(pbyOut, abyPlain, nPlain);
        *pnOut = nPlain;
    }
    OPENSSL_cleanse(abyPlain, sizeof abyPlain);
    return nResult;
}

int Sm4Final(void* pvCtx, unsigned char* pbyOut, size_t* pnOut, size_t nOutSize)
{
    Sm4CbcCtx* pCtx = static_cast<Sm4CbcCtx*>(pvCtx);
    if (!pCtx->bKeySet) return 0;
    return pCtx->bEnc ? Sm4FinalEncrypt(pCtx, pbyOut, pnOut, nOutSize)
                      : Sm4FinalDecrypt(pCtx, pbyOut, pnOut, nOutSize);
}

// EVP_Cipher: whole blocks only, no padding.
int Sm4Cipher(void* pvCtx, unsigned char* pbyOut, size_t* pnOut, size_t nOutSize,
              const unsigned char* pbyIn, size_t nIn)
{
    Sm4CbcCtx* pCtx = static_cast<Sm4CbcCtx*>(pvCtx);
    if (!pCtx->bKeySet || nIn % SM4_BLOCK_SIZE != 0 || nIn > nOutSize) return 0;
    Sm4CipherBlocks(pCtx, pbyOut, pbyIn, nIn);
    *pnOut = nIn;
    return 1;
}

int Sm4GetParams(OSSL_PARAM pParams[])
{
    OSSL_PARAM* p = OSSL_PARAM_locate(pParams, OSSL_CIPHER_PARAM_MODE);
    if (p && !OSSL_PARAM_set_uint(p, EVP_CIPH_CBC_MODE)) return 0;
    const char* const apszSizes[] = {OSSL_CIPHER_PARAM_KEYLEN, OSSL_CIPHER_PARAM_IVLEN,
                                     OSSL_CIPHER_PARAM_BLOCK_SIZE};
    for (const char* pszName : apszSizes) {
        p = OSSL_PARAM_locate(pParams, pszName);
        if (p && !OSSL_PARAM_set_size_t(p, SM4_BLOCK_SIZE)) return 0;
    }
    const char* const apszFlags[] = {OSSL_CIPHER_PARAM_AEAD, OSSL_CIPHER_PARAM_CUSTOM_IV,
                                     OSSL_CIPHER_PARAM_CTS, OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK,
                                     OSSL_CIPHER_PARAM_HAS_RAND_KEY};
    for (const char* pszName : apszFlags) {
        p = OSSL_PARAM_locate(pParams, pszName);
        if (p && !OSSL_PARAM_set_int(p, 0)) return 0;
    }
    return 1;
}

const OSSL_PARAM* Sm4GettableParams(void*)
{
    static const OSSL_PARAM s_Gettable[] = {
        OSSL_PARAM_uint(OSSL_CIPHER_PARAM_MODE, nullptr),
        OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
        OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
        OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_BLOCK_SIZE, nullptr),
        OSSL_PARAM_int(OSSL_CIPHER_PARAM_AEAD, nullptr),
        OSSL_PARAM_int(OSSL_CIPHER_PARAM_CUSTOM_IV, nullptr),
        OSSL_PARAM_int(OSSL_CIPHER_PARAM_CTS, nullptr),
        OSSL_PARAM_int(OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, nullptr),
        OSSL_PARAM_int(OSSL_CIPHER_PARAM_HAS_RAND_KEY, nullptr),
        OSSL_PARAM_END};
    return s_Gettable;
}

int Sm4GetCtxParams(void* pvCtx, OSSL_PARAM pParams[])
{
    const Sm4CbcCtx* pCtx = static_cast<const Sm4CbcCtx*>(pvCtx);
    OSSL_PARAM* p = OSSL_PARAM_locate(pParams, OSSL_CIPHER_PARAM_KEYLEN);
    if (p && !OSSL_PARAM_set_size_t(p, SM4_KEY_SIZE)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_CIPHER_PARAM_IVLEN);
    if (p && !OSSL_PARAM_set_size_t(p, SM4_BLOCK_SIZE)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_CIPHER_PARAM_PADDING);
    if (p && !OSSL_PARAM_set_uint(p, (unsigned)pCtx->bPad)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_CIPHER_PARAM_NUM);
    if (p && !OSSL_PARAM_set_uint(p, 0)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_CIPHER_PARAM_IV);
    if (p && !OSSL_PARAM_set_octet_string(p, pCtx->abyOrigIv, SM4_BLOCK_SIZE)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_CIPHER_PARAM_UPDATED_IV);
    if (p && !OSSL_PARAM_set_octet_string(p, pCtx->abyIv, SM4_BLOCK_SIZE)) return 0;
    return 1;
}

const OSSL_PARAM* Sm4GettableCtxParams(void*, void*)
{
    static const OSSL_PARAM s_Gettable[] = {
        OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
        OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
        OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
        OSSL_PARAM_uint(OSSL_CIPHER_PARAM_NUM, nullptr),
        OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_IV, nullptr, 0),
        OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_UPDATED_IV, nullptr, 0),
        OSSL_PARAM_END};
    return s_Gettable;
}

const OSSL_PARAM* Sm4SettableCtxParams(void*, void*)
{
    static const OSSL_PARAM s_Settable[] = {
        OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
        OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
        OSSL_PARAM_END};
    return s_Settable;
}

const OSSL_DISPATCH g_Sm4CbcFunctions[] = {
    {OSSL_FUNC_CIPHER_NEWCTX, (void (*)(void))Sm4NewCtx},
    {OSSL_FUNC_CIPHER_FREECTX, (void (*)(void))Sm4FreeCtx},
    {OSSL_FUNC_CIPHER_DUPCTX, (void (*)(void))Sm4DupCtx},
    {OSSL_FUNC_CIPHER_ENCRYPT_INIT, (void (*)(void))Sm4EncryptInit},
    {OSSL_FUNC_CIPHER_DECRYPT_INIT, (void (*)(void))Sm4DecryptInit},
    {OSSL_FUNC_CIPHER_UPDATE, (void (*)(void))Sm4Update},
    {OSSL_FUNC_CIPHER_FINAL, (void (*)(void))Sm4Final},
    {OSSL_FUNC_CIPHER_CIPHER, (void (*)(void))Sm4Cipher},
    {OSSL_FUNC_CIPHER_GET_PARAMS, (void (*)(void))Sm4GetParams},
    {OSSL_FUNC_CIPHER_GETTABLE_PARAMS, (void (*)(void))Sm4GettableParams},
    {OSSL_FUNC_CIPHER_GET_CTX_PARAMS, (void (*)(void))Sm4GetCtxParams},
    {OSSL_FUNC_CIPHER_GETTABLE_CTX_PARAMS, (void (*)(void))Sm4GettableCtxParams},
    {OSSL_FUNC_CIPHER_SET_CTX_PARAMS, (void (*)(void))Sm4SetCtxParams},
    {OSSL_FUNC_CIPHER_SETTABLE_CTX_PARAMS, (void (*)(void))Sm4SettableCtxParams},
    {0, nullptr}};

}  // namespace

const OSSL_ALGORITHM g_Sm4Algorithms[] = {
    {"SM4-CBC:SM4:ChinaSM4-CBC:1.2.156.10197.1.104.2", "provider=smk", g_Sm4CbcFunctions,
     "SM4-CBC of the MORV SM kernel"},
    {nullptr, nullptr, nullptr, nullptr}};

}  // namespace smk
