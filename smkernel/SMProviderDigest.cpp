// Provider digest SM3 over our own SM3 (GB/T 32905-2016).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>

#include <new>

#include "SM3.h"
#include "SMProvider.h"

namespace smk {
namespace {

void* Sm3NewCtx(void*) { return new (std::nothrow) SM3_CTX(); }

void Sm3FreeCtx(void* pvCtx)
{
    if (!pvCtx) return;
    OPENSSL_cleanse(pvCtx, sizeof(SM3_CTX));
    delete static_cast<SM3_CTX*>(pvCtx);
}

// The state holds no pointers: a copy of its bytes is a copy of the hash state.
void* Sm3DupCtx(void* pvCtx)
{
    return new (std::nothrow) SM3_CTX(*static_cast<const SM3_CTX*>(pvCtx));
}

int Sm3InitOp(void* pvCtx, const OSSL_PARAM[]) { return SM3_Init(static_cast<SM3_CTX*>(pvCtx)); }

int Sm3UpdateOp(void* pvCtx, const unsigned char* pbyIn, size_t nIn)
{
    return SM3_Update(static_cast<SM3_CTX*>(pvCtx), pbyIn, nIn);
}

int Sm3FinalOp(void* pvCtx, unsigned char* pbyOut, size_t* pnOut, size_t nOutSize)
{
    if (nOutSize < SM3_DIGEST_LENGTH || !SM3_Final(pbyOut, static_cast<SM3_CTX*>(pvCtx)))
        return 0;
    *pnOut = SM3_DIGEST_LENGTH;
    return 1;
}

int Sm3GetParams(OSSL_PARAM pParams[])
{
    OSSL_PARAM* p = OSSL_PARAM_locate(pParams, OSSL_DIGEST_PARAM_BLOCK_SIZE);
    if (p && !OSSL_PARAM_set_size_t(p, SM3_CBLOCK)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_DIGEST_PARAM_SIZE);
    if (p && !OSSL_PARAM_set_size_t(p, SM3_DIGEST_LENGTH)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_DIGEST_PARAM_XOF);
    if (p && !OSSL_PARAM_set_int(p, 0)) return 0;
    p = OSSL_PARAM_locate(pParams, OSSL_DIGEST_PARAM_ALGID_ABSENT);
    if (p && !OSSL_PARAM_set_int(p, 0)) return 0;
    return 1;
}

const OSSL_PARAM* Sm3GettableParams(void*)
{
    static const OSSL_PARAM s_Gettable[] = {
        OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_BLOCK_SIZE, nullptr),
        OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_SIZE, nullptr),
        OSSL_PARAM_int(OSSL_DIGEST_PARAM_XOF, nullptr),
        OSSL_PARAM_int(OSSL_DIGEST_PARAM_ALGID_ABSENT, nullptr),
        OSSL_PARAM_END};
    return s_Gettable;
}

const OSSL_DISPATCH g_Sm3Functions[] = {
    {OSSL_FUNC_DIGEST_NEWCTX, (void (*)(void))Sm3NewCtx},
    {OSSL_FUNC_DIGEST_FREECTX, (void (*)(void))Sm3FreeCtx},
    {OSSL_FUNC_DIGEST_DUPCTX, (void (*)(void))Sm3DupCtx},
    {OSSL_FUNC_DIGEST_INIT, (void (*)(void))Sm3InitOp},
    {OSSL_FUNC_DIGEST_UPDATE, (void (*)(void))Sm3UpdateOp},
    {OSSL_FUNC_DIGEST_FINAL, (void (*)(void))Sm3FinalOp},
    {OSSL_FUNC_DIGEST_GET_PARAMS, (void (*)(void))Sm3GetParams},
    {OSSL_FUNC_DIGEST_GETTABLE_PARAMS, (void (*)(void))Sm3GettableParams},
    {0, nullptr}};

}  // namespace

const OSSL_ALGORITHM g_Sm3Algorithms[] = {
    {"SM3:ChinaSM3:tls1-sm3:1.2.156.10197.1.401", "provider=smk", g_Sm3Functions,
     "SM3 of the MORV SM kernel"},
    {nullptr, nullptr, nullptr, nullptr}};

}  // namespace smk
