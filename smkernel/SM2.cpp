#include "SM2.h"
#include "SM2Fast.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include <openssl/crypto.h>
#include <openssl/ecdsa.h>

#include "HandOver.h"
#include "KernelHold.h"
#include "OsslPtr.h"
#include "SM3.h"
#include "SMErr.h"

using morv::OsslPtr;

namespace smk {
namespace {

std::atomic<OSSL_LIB_CTX* (*)()> g_pfnLibCtxSource{nullptr};

// A retry budget far beyond any honest run of bad draws (each has probability about 2^-256).
const int kMaxDraws = 64;

enum class Draw { kOk, kRetry, kFail };

OsslPtr<BIGNUM> NewBN() { return OsslPtr<BIGNUM>(BN_new()); }

OsslPtr<BN_CTX> NewBnCtx() { return OsslPtr<BN_CTX>(BN_CTX_new_ex(SM2LibCtx())); }

// The SM curves come from the shared cache; any other curve of OpenSSL's table is built for
// the call. The numbers 893-897 belong to other algorithms in OpenSSL 3 and never reach it.
class CurveGroup {
public:
    explicit CurveGroup(int nCurveNid)
    {
        m_pGroup = SMGroup(nCurveNid);
        if (m_pGroup || IsSMCurve(nCurveNid) || (nCurveNid >= 893 && nCurveNid <= 897)) return;
        m_pOwned.reset(EC_GROUP_new_by_curve_name_ex(SM2LibCtx(), NULL, nCurveNid));
        m_pGroup = m_pOwned.get();
    }
    const EC_GROUP* get() const { return m_pGroup; }

private:
    const EC_GROUP* m_pGroup = NULL;
    OsslPtr<EC_GROUP> m_pOwned;
};

// A point from affine coordinates; OpenSSL refuses coordinates off the curve.
OsslPtr<EC_POINT> PointFrom(const EC_GROUP* pGroup, const BIGNUM* x, const BIGNUM* y, BN_CTX* pCtx)
{
    OsslPtr<EC_POINT> pPoint(EC_POINT_new(pGroup));
    if (!pPoint || 1 != EC_POINT_set_affine_coordinates(pGroup, pPoint.get(), x, y, pCtx)) return nullptr;
    return pPoint;
}

// x and y of a point as 32-byte fields (GB/T 32918.1 4.2.5 conversion).
bool PointToFields(const EC_GROUP* pGroup, const EC_POINT* pPoint, unsigned char* pbyX,
                   unsigned char* pbyY, BN_CTX* pCtx)
{
    OsslPtr<BIGNUM> x = NewBN(), y = NewBN();
    return x && y && 1 == EC_POINT_get_affine_coordinates(pGroup, pPoint, x.get(), y.get(), pCtx) &&
           1 == _SM2_GetBNBytes(x.get(), pbyX) && 1 == _SM2_GetBNBytes(y.get(), pbyY);
}

// [k]G (pPoint NULL) or [k]P as the fields x || y; the published curve takes our own arithmetic.
bool MulToFields(const EC_GROUP* pGroup, const BIGNUM* k, const EC_POINT* pPoint, unsigned char* pbyXY, BN_CTX* pCtx)
{
    if (SM2FastApplies(pGroup, k)) return SM2FastMulToFields(k, pPoint, pGroup, pbyXY, pCtx);
    OsslPtr<EC_POINT> pR(EC_POINT_new(pGroup));
    return pR && 1 == EC_POINT_mul(pGroup, pR.get(), pPoint ? NULL : k, pPoint, pPoint ? k : NULL, pCtx) &&
           PointToFields(pGroup, pR.get(), pbyXY, pbyXY + SM2_FIELD_SIZE, pCtx);
}

// [k]G and [k]P as fields; the published curve's arithmetic does both at once.
bool MulBothToFields(const EC_GROUP* pGroup, const BIGNUM* k, const EC_POINT* pPoint, unsigned char* pbyKG,
                     unsigned char* pbyKP, BN_CTX* pCtx)
{
    if (SM2FastApplies(pGroup, k)) return SM2FastMulBothToFields(k, pPoint, pGroup, pbyKG, pbyKP, pCtx);
    return MulToFields(pGroup, k, NULL, pbyKG, pCtx) && MulToFields(pGroup, k, pPoint, pbyKP, pCtx);
}

// k uniform in [1, n - 1]: a fixed k is taken as it is, a random draw of 0 is repeated.
Draw DrawK(BIGNUM* k, const BIGNUM* n, const BIGNUM* pFixedK, BN_CTX* pCtx)
{
    if (pFixedK) return (BN_copy(k, pFixedK) && !BN_is_zero(k)) ? Draw::kOk : Draw::kFail;
    if (1 != BN_priv_rand_range_ex(k, n, 0, pCtx)) return Draw::kFail;
    return BN_is_zero(k) ? Draw::kRetry : Draw::kOk;
}

// GB/T 32918.2 6.1 A5: r = (e + x1) mod n, refused when r = 0 or r + k = n.
Draw SignStepR(const EC_GROUP* pGroup, const BIGNUM* e, const BIGNUM* k, BIGNUM* r, EC_POINT* pKG,
               BN_CTX* pCtx)
{
    const BIGNUM* n = EC_GROUP_get0_order(pGroup);
    OsslPtr<BIGNUM> x1 = NewBN(), rk = NewBN();
    if (!x1 || !rk) return SMK_ERR_RAISE(SMK_R_MALLOC_FAILURE), Draw::kFail;
    if (1 != EC_POINT_mul(pGroup, pKG, k, NULL, NULL, pCtx) ||
        1 != EC_POINT_get_affine_coordinates(pGroup, pKG, x1.get(), NULL, pCtx))
        return SMK_ERR_RAISE(SMK_R_EC_LIB), Draw::kFail;
    if (1 != BN_mod_add(r, e, x1.get(), n, pCtx) || 1 != BN_add(rk.get(), r, k))
        return SMK_ERR_RAISE(SMK_R_BN_LIB), Draw::kFail;
    return (BN_is_zero(r) || 0 == BN_cmp(rk.get(), n)) ? Draw::kRetry : Draw::kOk;
}

// GB/T 32918.2 6.1 A6: s = ((1 + d)^-1 * (k - r * d)) mod n, refused when s = 0.
Draw SignStepS(const BIGNUM* pInvOnePlusD, const BIGNUM* d, const BIGNUM* k, const BIGNUM* r,
               const BIGNUM* n, BIGNUM* s, BN_CTX* pCtx)
{
    OsslPtr<BIGNUM> t = NewBN();
    if (!t) return SMK_ERR_RAISE(SMK_R_MALLOC_FAILURE), Draw::kFail;
    if (1 != BN_mod_mul(t.get(), r, d, n, pCtx) || 1 != BN_mod_sub(t.get(), k, t.get(), n, pCtx) ||
        1 != BN_mod_mul(s, pInvOnePlusD, t.get(), n, pCtx))
        return SMK_ERR_RAISE(SMK_R_BN_LIB), Draw::kFail;
    return BN_is_zero(s) ? Draw::kRetry : Draw::kOk;
}

// (1 + d)^-1 mod n by Fermat, (1 + d)^(n - 2), in constant time over the order's Montgomery
// form that the group already holds (n is prime).
bool InverseOnePlusD(const EC_GROUP* pGroup, BIGNUM* pInv, const BIGNUM* d, BN_CTX* pCtx)
{
    const BIGNUM* n = EC_GROUP_get0_order(pGroup);
    OsslPtr<BIGNUM> d1(BN_new()), nMinus2(BN_dup(n));
    if (!d1 || !nMinus2 || 1 != BN_sub_word(nMinus2.get(), 2) || !BN_copy(d1.get(), d) ||
        1 != BN_add_word(d1.get(), 1) || 1 != BN_nnmod(d1.get(), d1.get(), n, pCtx) || BN_is_zero(d1.get()))
        return false;
    BN_set_flags(d1.get(), BN_FLG_CONSTTIME);
    return 1 == BN_mod_exp_mont_consttime(pInv, d1.get(), nMinus2.get(), n, pCtx, EC_GROUP_get_mont_data(pGroup));
}

// A5-A6 on the published curve in one constant-time step.
Draw SignStepFast(const BIGNUM* e, const BIGNUM* d, const BIGNUM* k, BIGNUM* r, BIGNUM* s,
                  const unsigned char* pbyInv)
{
    switch (SM2FastSign(e, d, k, r, s, pbyInv)) {
    case 1: return Draw::kOk;
    case 0: return Draw::kRetry;
    default: return SMK_ERR_RAISE(SMK_R_BN_LIB), Draw::kFail;
    }
}

struct SignWork {
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    OsslPtr<BIGNUM> k = NewBN(), r = NewBN(), s = NewBN(), inv = NewBN();
    bool Ready() const { return pCtx && k && r && s && inv; }
};

ECDSA_SIG* SignCore(const BIGNUM* e, const BIGNUM* d, int nCurveNid, const BIGNUM* pFixedK,
                    const unsigned char* pbyInv = NULL)
{
    if (NULL == e || NULL == d || !IsSMCurve(nCurveNid)) return SMK_ERR_RAISE(SMK_R_NULL_PARAMETER), nullptr;
    const EC_GROUP* pGroup = SMGroup(nCurveNid);
    if (NULL == pGroup) return SMK_ERR_RAISE(SMK_R_INVALID_CURVE), nullptr;
    OsslPtr<ECDSA_SIG> pSig(ECDSA_SIG_new());
    if (!pSig) return SMK_ERR_RAISE(SMK_R_SIG_ALLOC_FAILURE), nullptr;
    SignWork w;
    OsslPtr<EC_POINT> pKG(EC_POINT_new(pGroup));
    if (!w.Ready()) return SMK_ERR_RAISE(SMK_R_MALLOC_FAILURE), nullptr;
    if (!pKG) return SMK_ERR_RAISE(SMK_R_EC_LIB), nullptr;
    const BIGNUM* n = EC_GROUP_get0_order(pGroup);
    const bool bFast = SM2FastApplies(pGroup, e, d);
    if (!bFast && !InverseOnePlusD(pGroup, w.inv.get(), d, w.pCtx.get()))
        return SMK_ERR_RAISE(SMK_R_BN_LIB), nullptr;
    BN_set_flags(w.k.get(), BN_FLG_CONSTTIME);
    for (int nDraw = 0; nDraw < kMaxDraws; ++nDraw) {
        Draw draw = DrawK(w.k.get(), n, pFixedK, w.pCtx.get());
        if (Draw::kFail == draw) break;
        if (bFast) {
            draw = SignStepFast(e, d, w.k.get(), w.r.get(), w.s.get(), pbyInv);
        } else {
            draw = SignStepR(pGroup, e, w.k.get(), w.r.get(), pKG.get(), w.pCtx.get());
            if (Draw::kOk == draw) draw = SignStepS(w.inv.get(), d, w.k.get(), w.r.get(), n, w.s.get(), w.pCtx.get());
        }
        if (Draw::kOk == draw) {
            ECDSA_SIG_set0(pSig.get(), w.r.release(), w.s.release());
            return pSig.release();
        }
        if (Draw::kFail == draw) return nullptr;   // the step raised its entry
        if (pFixedK) break;                        // a given k cannot be drawn again
    }
    SMK_ERR_RAISE(SMK_R_RANDOM_FAILURE);
    return nullptr;
}

bool InSignatureRange(const BIGNUM* v, const BIGNUM* n)
{
    return v && !BN_is_zero(v) && !BN_is_negative(v) && BN_cmp(v, n) < 0;
}

// GB/T 32918.2 7.1 B5-B7: (x1', y1') = [s]G + [t]P in one multiplication, R = (e + x1') mod n.
int VerifyEquation(const EC_GROUP* pGroup, const BIGNUM* r, const BIGNUM* s, const EC_POINT* pPub,
                   const BIGNUM* e, BN_CTX* pCtx)
{
    if (SM2FastApplies(pGroup, e)) {
        const int nCode = SM2FastVerify(r, s, pPub, e, pGroup, pCtx);
        if (nCode < 0) return SMK_ERR_RAISE(SMK_R_EC_LIB), 0;
        return 1 == nCode ? 1 : (SMK_ERR_RAISE(SMK_R_BAD_SIGNATURE), 0);
    }
    const BIGNUM* n = EC_GROUP_get0_order(pGroup);
    OsslPtr<BIGNUM> t = NewBN(), x1 = NewBN(), R = NewBN();
    OsslPtr<EC_POINT> pSum(EC_POINT_new(pGroup));
    if (!t || !x1 || !R) return SMK_ERR_RAISE(SMK_R_MALLOC_FAILURE), 0;
    if (!pSum) return SMK_ERR_RAISE(SMK_R_EC_LIB), 0;
    if (1 != BN_mod_add(t.get(), r, s, n, pCtx)) return SMK_ERR_RAISE(SMK_R_BN_LIB), 0;
    if (BN_is_zero(t.get())) return SMK_ERR_RAISE(SMK_R_BAD_SIGNATURE), 0;
    if (1 != EC_POINT_mul(pGroup, pSum.get(), s, pPub, t.get(), pCtx) ||
        1 != EC_POINT_get_affine_coordinates(pGroup, pSum.get(), x1.get(), NULL, pCtx))
        return SMK_ERR_RAISE(SMK_R_EC_LIB), 0;
    if (1 != BN_mod_add(R.get(), e, x1.get(), n, pCtx)) return SMK_ERR_RAISE(SMK_R_BN_LIB), 0;
    if (0 != BN_cmp(R.get(), r)) return SMK_ERR_RAISE(SMK_R_BAD_SIGNATURE), 0;
    return 1;
}

// The published curve's a, b, xG, yG (GB/T 32918.5-2017 clause 5).
const char g_szSm2A[] = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC";
const char g_szSm2B[] = "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93";
const char g_szSm2XG[] = "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7";
const char g_szSm2YG[] = "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";
const unsigned char g_abyDefaultId[16] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                          '1', '2', '3', '4', '5', '6', '7', '8'};

bool HashHexField(SM3_CTX* pCtx, const char* pszHex)
{
    unsigned char abyField[SM2_FIELD_SIZE];
    long nLen = 0;
    unsigned char* pBuf = OPENSSL_hexstr2buf(pszHex, &nLen);
    if (NULL == pBuf || SM2_FIELD_SIZE != nLen) return OPENSSL_free(pBuf), false;
    memcpy(abyField, pBuf, SM2_FIELD_SIZE);
    OPENSSL_free(pBuf);
    return 1 == SM3_Update(pCtx, abyField, SM2_FIELD_SIZE);
}

// The hash state after ENTL || ID || a || b || xG || yG of the default identity, taken once:
// every default Z then costs only the public key's blocks.
std::once_flag g_onceDefaultZ;
SM3_CTX g_defaultZPrefix;
bool g_bDefaultZReady = false;

void BuildDefaultZPrefix()
{
    const unsigned char abyEntl[2] = {0x00, 0x80};
    SM3_CTX ctx;
    g_bDefaultZReady = 1 == SM3_Init(&ctx) && 1 == SM3_Update(&ctx, abyEntl, 2) &&
                       1 == SM3_Update(&ctx, g_abyDefaultId, sizeof(g_abyDefaultId)) &&
                       HashHexField(&ctx, g_szSm2A) && HashHexField(&ctx, g_szSm2B) &&
                       HashHexField(&ctx, g_szSm2XG) && HashHexField(&ctx, g_szSm2YG);
    g_defaultZPrefix = ctx;
}

// t = KDF(x2 || y2, 8 * len) into pbyT; false for a length whose bit count would not fit.
bool KeyStream(const unsigned char* pbyXY, size_t nLen, unsigned char* pbyT)
{
    if (0 == nLen || nLen > SM2_MAX_MESSAGE) return false;
    return 1 == _SM2_KDF(pbyXY, 2 * SM2_FIELD_SIZE, (unsigned)(8 * nLen), pbyT);
}

// GB/T 32918.4 6.1 A2-A5: C1 = [k]G, (x2, y2) = [k]P, t = KDF(x2 || y2, 8 * len), refused
// (retry) when all zero.
Draw EncryptStepT(const EC_GROUP* pGroup, const EC_POINT* pPub, const BIGNUM* k, unsigned char* pbyC1XY,
                  unsigned char* pbyXY, unsigned char* pbyT, int nLen, BN_CTX* pCtx)
{
    if (!MulBothToFields(pGroup, k, pPub, pbyC1XY, pbyXY, pCtx) || !KeyStream(pbyXY, (size_t)nLen, pbyT))
        return Draw::kFail;
    return _SM2_IsAllZero(pbyT, nLen) ? Draw::kRetry : Draw::kOk;
}

// C3 = SM3(x2 || M || y2).
bool HashC3(const unsigned char* pbyXY, const unsigned char* pbyMsg, size_t nLen, unsigned char* pbyC3)
{
    SM3_CTX ctx;
    bool bOk = 1 == SM3_Init(&ctx) && 1 == SM3_Update(&ctx, pbyXY, SM2_FIELD_SIZE) &&
               1 == SM3_Update(&ctx, pbyMsg, nLen) &&
               1 == SM3_Update(&ctx, pbyXY + SM2_FIELD_SIZE, SM2_FIELD_SIZE) && 1 == SM3_Final(pbyC3, &ctx);
    OPENSSL_cleanse(&ctx, sizeof(ctx));
    return bOk;
}

// [h]P must not be the point at infinity (GB/T 32918.4 6.1 A3, 7.1 B2).
bool CofactorMultipleIsFinite(const EC_GROUP* pGroup, const EC_POINT* pPoint, BN_CTX* pCtx)
{
    const BIGNUM* h = EC_GROUP_get0_cofactor(pGroup);
    if (NULL == h || BN_is_one(h)) return NULL != h;
    OsslPtr<EC_POINT> pS(EC_POINT_new(pGroup));
    return pS && 1 == EC_POINT_mul(pGroup, pS.get(), NULL, pPoint, h, pCtx) &&
           !EC_POINT_is_at_infinity(pGroup, pS.get());
}

// Work of one encryption; everything is written to the caller's buffer only at the end.
struct EncryptWork {
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    OsslPtr<BIGNUM> k = NewBN();
    unsigned char abyC1[1 + 2 * SM2_FIELD_SIZE];
    unsigned char abyXY[2 * SM2_FIELD_SIZE];
    unsigned char abyC3[SM3_DIGEST_LENGTH];
    morv::OwnedArray<unsigned char> pT;
    ~EncryptWork() { OPENSSL_cleanse(abyXY, sizeof(abyXY)); }
};

int EncryptCore(int nCurveNid, const unsigned char* pbyMsg, int nLen, const BIGNUM* x, const BIGNUM* y,
                const BIGNUM* pFixedK, unsigned char* pbyOut)
{
    // Longer messages would wrap the key-stream length: refuse what decryption could not open.
    if (NULL == pbyMsg || nLen <= 0 || (unsigned)nLen > SM2_MAX_MESSAGE || NULL == x || NULL == y ||
        NULL == pbyOut)
        return 0;
    CurveGroup group(nCurveNid);
    EncryptWork w;
    w.pT = morv::NewArray<unsigned char>((size_t)nLen);
    if (!group.get() || !w.pCtx || !w.k || !w.pT) return 0;
    const EC_GROUP* pGroup = group.get();
    OsslPtr<EC_POINT> pPub = PointFrom(pGroup, x, y, w.pCtx.get());
    if (!pPub || !CofactorMultipleIsFinite(pGroup, pPub.get(), w.pCtx.get())) return 0;
    BN_set_flags(w.k.get(), BN_FLG_CONSTTIME);
    Draw draw = Draw::kRetry;
    for (int nDraw = 0; nDraw < kMaxDraws && Draw::kRetry == draw; ++nDraw) {
        draw = DrawK(w.k.get(), EC_GROUP_get0_order(pGroup), pFixedK, w.pCtx.get());
        if (Draw::kOk == draw)
            draw = EncryptStepT(pGroup, pPub.get(), w.k.get(), w.abyC1 + 1, w.abyXY, w.pT.get(), nLen, w.pCtx.get());
        if (Draw::kRetry == draw && pFixedK) draw = Draw::kFail;
    }
    w.abyC1[0] = 0x04;
    if (Draw::kOk != draw || !HashC3(w.abyXY, pbyMsg, (size_t)nLen, w.abyC3))
        return 0;
    for (int i = 0; i < nLen; ++i) w.pT[i] ^= pbyMsg[i];
    memcpy(pbyOut, w.abyC1, sizeof(w.abyC1));
    memcpy(pbyOut + sizeof(w.abyC1), w.pT.get(), (size_t)nLen);
    memcpy(pbyOut + sizeof(w.abyC1) + nLen, w.abyC3, sizeof(w.abyC3));
    OPENSSL_cleanse(w.pT.get(), (size_t)nLen);
    return 1;
}

}  // namespace

void SM2SetLibCtxSource(OSSL_LIB_CTX* (*pfnSource)()) { g_pfnLibCtxSource.store(pfnSource); }

OSSL_LIB_CTX* SM2LibCtx()
{
    // kctx only under this thread's hold: a stop may be freeing it for anyone else.
    OSSL_LIB_CTX* (*pfn)() = g_pfnLibCtxSource.load();
    return pfn && KernelHold::HeldHere() ? pfn() : NULL;
}

ECDSA_SIG* SM2SignWithK(const BIGNUM* e, const BIGNUM* d, int curveNid, const BIGNUM* k)
{
    if (NULL == k) return SMK_ERR_RAISE(SMK_R_NULL_PARAMETER), nullptr;
    return SignCore(e, d, curveNid, k);
}

ECDSA_SIG* SM2SignWithInverse(const BIGNUM* e, const BIGNUM* d, const unsigned char inv[32])
{
    if (NULL == inv) return SMK_ERR_RAISE(SMK_R_NULL_PARAMETER), nullptr;
    return SignCore(e, d, NID_prime256v1SM2, NULL, inv);
}

int SM2EncryptWithK(int curveNid, const unsigned char* msg, int len, const BIGNUM* x, const BIGNUM* y,
                    const BIGNUM* k, unsigned char* out)
{
    return NULL == k ? 0 : EncryptCore(curveNid, msg, len, x, y, k, out);
}

}  // namespace smk

using namespace smk;

int _SM2_KDF(const unsigned char* z, unsigned zLen, unsigned kLenBits, unsigned char* out)
{
    // GB/T 32918.4 5.4.3: Ha_ct = SM3(Z || ct), ct from 1 as 32 bits big-endian.
    const size_t nBlocks = ((size_t)kLenBits + 255) / 256, nBytes = kLenBits / 8;
    if (0 == nBlocks || NULL == out || (NULL == z && zLen > 0)) return 0;
    unsigned char abyBlocks[SM3_MAX_COUNTERS][SM3_DIGEST_LENGTH];
    // Z is hashed once: every counter continues from the same state (for SM2's 64-byte
    // x2 || y2 a whole block, which halves the compressions), and the counters' digests are
    // made SM3_MAX_COUNTERS at a time.
    SM3_CTX zCtx;
    int nOk = SM3_Init(&zCtx) && SM3_Update(&zCtx, z, zLen) && SM3_CompressBuffered(&zCtx);
    for (size_t i = 0; nOk && i < nBlocks; i += SM3_MAX_COUNTERS) {
        const size_t nCount = nBlocks - i < SM3_MAX_COUNTERS ? nBlocks - i : SM3_MAX_COUNTERS;
        nOk = SM3_FinalCounters(&zCtx, (uint32_t)(i + 1), nCount, abyBlocks);
        const size_t nDone = i * SM3_DIGEST_LENGTH;
        const size_t nTake = nBytes - nDone < nCount * SM3_DIGEST_LENGTH ? nBytes - nDone : nCount * SM3_DIGEST_LENGTH;
        if (nOk) memcpy(out + nDone, abyBlocks, nTake);
    }
    OPENSSL_cleanse(abyBlocks, sizeof(abyBlocks));
    OPENSSL_cleanse(&zCtx, sizeof(zCtx));
    return nOk ? 1 : 0;
}

int _SM2_encrypt(int curveNid, const unsigned char* msg, int len, const BIGNUM* x, const BIGNUM* y,
                 unsigned char* out)
{
    const KernelHold hold;
    return EncryptCore(curveNid, msg, len, x, y, NULL, out);
}

namespace {

// GB/T 32918.4 7.1 B1-B5: C1 on the curve, [h]C1 finite, (x2, y2) = [d]C1, t = KDF(x2 || y2).
bool DecryptKeyStream(const EC_GROUP* pGroup, const unsigned char* pbyIn, const BIGNUM* d,
                      unsigned char* pbyXY, unsigned char* pbyT, size_t nLen, BN_CTX* pCtx)
{
    OsslPtr<BIGNUM> x1 = NewBN(), y1 = NewBN();
    if (!x1 || !y1 || 0x04 != pbyIn[0] || 1 != _SM2_Bytes2BN(pbyIn + 1, SM2_FIELD_SIZE, x1.get()) ||
        1 != _SM2_Bytes2BN(pbyIn + 1 + SM2_FIELD_SIZE, SM2_FIELD_SIZE, y1.get()))
        return false;
    OsslPtr<EC_POINT> pC1 = PointFrom(pGroup, x1.get(), y1.get(), pCtx);
    return pC1 && CofactorMultipleIsFinite(pGroup, pC1.get(), pCtx) &&
           MulToFields(pGroup, d, pC1.get(), pbyXY, pCtx) && KeyStream(pbyXY, nLen, pbyT) &&
           !_SM2_IsAllZero(pbyT, (int)nLen);
}

}  // namespace

int _SM2_decrypt(int curveNid, const unsigned char* in, unsigned inLen, const BIGNUM* d, unsigned char* out)
{
    const KernelHold hold;
    // The key stream is counted in bits as an unsigned: messages up to 2^29 - 1 bytes.
    if (inLen <= SM2_CIPHER_OVERHEAD || inLen - SM2_CIPHER_OVERHEAD > SM2_MAX_MESSAGE) return 0;
    if (NULL == in || NULL == d || NULL == out) return 0;
    const size_t nLen = inLen - SM2_CIPHER_OVERHEAD;
    CurveGroup group(curveNid);
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    morv::OwnedArray<unsigned char> pT = morv::NewArray<unsigned char>(nLen);
    unsigned char abyXY[2 * SM2_FIELD_SIZE], abyU[SM3_DIGEST_LENGTH];
    if (!group.get() || !pCtx || !pT) return 0;
    bool bOk = DecryptKeyStream(group.get(), in, d, abyXY, pT.get(), nLen, pCtx.get());
    if (bOk) {
        const unsigned char* pbyC2 = in + 1 + 2 * SM2_FIELD_SIZE;
        for (size_t i = 0; i < nLen; ++i) pT[i] ^= pbyC2[i];
        // Hash before writing: out may be the input's own buffer.
        bOk = HashC3(abyXY, pT.get(), nLen, abyU) && 0 == CRYPTO_memcmp(abyU, pbyC2 + nLen, SM3_DIGEST_LENGTH);
        if (bOk) memcpy(out, pT.get(), nLen);
    }
    // Nothing of a message that failed its check reaches the caller.
    if (!bOk) OPENSSL_cleanse(out, nLen);
    OPENSSL_cleanse(pT.get(), nLen);
    OPENSSL_cleanse(abyXY, sizeof(abyXY));
    return bOk ? 1 : 0;
}

int _SM2_CalculateZValue(const unsigned char* id, unsigned idLen, const BIGNUM* a, const BIGNUM* b,
                         const BIGNUM* xG, const BIGNUM* yG, const BIGNUM* xA, const BIGNUM* yA,
                         unsigned char z[32])
{
    // ENTL is the identity's length in bits in two bytes (GB/T 32918.2 5.5).
    if (NULL == z || (NULL == id && idLen > 0) || idLen > 0xFFFF / 8) return 0;
    const unsigned char abyEntl[2] = {(unsigned char)((idLen * 8) >> 8), (unsigned char)(idLen * 8)};
    const BIGNUM* apNumbers[6] = {a, b, xG, yG, xA, yA};
    unsigned char abyField[SM2_FIELD_SIZE];
    SM3_CTX ctx;
    if (1 != SM3_Init(&ctx) || 1 != SM3_Update(&ctx, abyEntl, 2) || 1 != SM3_Update(&ctx, id, idLen)) return 0;
    for (const BIGNUM* pNumber : apNumbers) {
        if (1 != _SM2_GetBNBytes(pNumber, abyField) || 1 != SM3_Update(&ctx, abyField, SM2_FIELD_SIZE))
            return 0;
    }
    return SM3_Final(z, &ctx);
}

int _SM2_CalculateDefaultZValue(const unsigned char x[32], const unsigned char y[32], unsigned char z[32])
{
    if (NULL == x || NULL == y || NULL == z) return 0;
    std::call_once(g_onceDefaultZ, BuildDefaultZPrefix);
    if (!g_bDefaultZReady) return 0;
    SM3_CTX ctx = g_defaultZPrefix;
    return 1 == SM3_Update(&ctx, x, SM2_FIELD_SIZE) && 1 == SM3_Update(&ctx, y, SM2_FIELD_SIZE) &&
                   1 == SM3_Final(z, &ctx)
               ? 1
               : 0;
}

ECDSA_SIG* _SM2_sign(const BIGNUM* e, const BIGNUM* d, int curveNid)
{
    const KernelHold hold;
    return SignCore(e, d, curveNid, NULL);
}

int _SM2_sign_ex(const unsigned char e[32], const unsigned char d[32], unsigned char r[32], unsigned char s[32])
{
    const KernelHold hold;
    if (NULL == e || NULL == d || NULL == r || NULL == s) return 0;
    OsslPtr<BIGNUM> bnE = NewBN(), bnD = NewBN();
    if (!bnE || !bnD || 1 != _SM2_Bytes2BN(e, SM2_FIELD_SIZE, bnE.get()) ||
        1 != _SM2_Bytes2BN(d, SM2_FIELD_SIZE, bnD.get()))
        return 0;
    OsslPtr<ECDSA_SIG> pSig(_SM2_sign(bnE.get(), bnD.get(), NID_prime256v1SM2));
    unsigned char abyR[SM2_FIELD_SIZE], abyS[SM2_FIELD_SIZE];
    if (!pSig || 1 != _SM2_GetBNBytes(ECDSA_SIG_get0_r(pSig.get()), abyR) ||
        1 != _SM2_GetBNBytes(ECDSA_SIG_get0_s(pSig.get()), abyS))
        return 0;
    memcpy(r, abyR, SM2_FIELD_SIZE);
    memcpy(s, abyS, SM2_FIELD_SIZE);
    return 1;
}

int _SM2_verify(const ECDSA_SIG* sig, const BIGNUM* xA, const BIGNUM* yA, const BIGNUM* e, int curveNid)
{
    const KernelHold hold;
    if (NULL == sig || NULL == xA || NULL == yA || NULL == e || !IsSMCurve(curveNid))
        return SMK_ERR_RAISE(SMK_R_NULL_PARAMETER), 0;
    const EC_GROUP* pGroup = SMGroup(curveNid);
    if (NULL == pGroup) return SMK_ERR_RAISE(SMK_R_INVALID_CURVE), 0;
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    if (!pCtx) return SMK_ERR_RAISE(SMK_R_MALLOC_FAILURE), 0;
    OsslPtr<EC_POINT> pPub = PointFrom(pGroup, xA, yA, pCtx.get());
    if (!pPub) return SMK_ERR_RAISE(SMK_R_EC_LIB), 0;
    const BIGNUM* n = EC_GROUP_get0_order(pGroup);
    const BIGNUM* r = ECDSA_SIG_get0_r(sig);
    const BIGNUM* s = ECDSA_SIG_get0_s(sig);
    if (!InSignatureRange(r, n) || !InSignatureRange(s, n)) return SMK_ERR_RAISE(SMK_R_BAD_SIGNATURE), 0;
    return VerifyEquation(pGroup, r, s, pPub.get(), e, pCtx.get());
}

int _SM2_verify_ex(const unsigned char r[32], const unsigned char s[32], const unsigned char x[32],
                   const unsigned char y[32], const unsigned char e[32])
{
    const KernelHold hold;
    if (NULL == r || NULL == s || NULL == x || NULL == y || NULL == e)
        return SMK_ERR_RAISE(SMK_R_NULL_PARAMETER), 0;
    OsslPtr<ECDSA_SIG> pSig(ECDSA_SIG_new());
    OsslPtr<BIGNUM> bnR = NewBN(), bnS = NewBN(), bnX = NewBN(), bnY = NewBN(), bnE = NewBN();
    if (!pSig || !bnR || !bnS || !bnX || !bnY || !bnE) return SMK_ERR_RAISE(SMK_R_MALLOC_FAILURE), 0;
    _SM2_Bytes2BN(r, SM2_FIELD_SIZE, bnR.get());
    _SM2_Bytes2BN(s, SM2_FIELD_SIZE, bnS.get());
    _SM2_Bytes2BN(x, SM2_FIELD_SIZE, bnX.get());
    _SM2_Bytes2BN(y, SM2_FIELD_SIZE, bnY.get());
    _SM2_Bytes2BN(e, SM2_FIELD_SIZE, bnE.get());
    ECDSA_SIG_set0(pSig.get(), bnR.release(), bnS.release());
    return _SM2_verify(pSig.get(), bnX.get(), bnY.get(), bnE.get(), NID_prime256v1SM2);
}

int _SM2_generate_key(BIGNUM* d, BIGNUM* x, BIGNUM* y, int curveNid)
{
    const KernelHold hold;
    if (NULL == d || NULL == x || NULL == y) return 0;
    CurveGroup group(curveNid);
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    OsslPtr<BIGNUM> range(group.get() ? BN_dup(EC_GROUP_get0_order(group.get())) : NULL), k = NewBN();
    if (!group.get() || !pCtx || !range || !k || 1 != BN_sub_word(range.get(), 2)) return 0;
    BN_set_flags(k.get(), BN_FLG_CONSTTIME);
    // d uniform in [1, n - 2]: 1 + d must be invertible for signing.
    unsigned char abyXY[2 * SM2_FIELD_SIZE];
    if (1 != BN_priv_rand_range_ex(k.get(), range.get(), 0, pCtx.get()) || 1 != BN_add_word(k.get(), 1) ||
        !MulToFields(group.get(), k.get(), NULL, abyXY, pCtx.get()))
        return 0;
    OsslPtr<BIGNUM> px(BN_bin2bn(abyXY, SM2_FIELD_SIZE, NULL)), py(BN_bin2bn(abyXY + SM2_FIELD_SIZE, SM2_FIELD_SIZE, NULL));
    return px && py && BN_copy(d, k.get()) && BN_copy(x, px.get()) && BN_copy(y, py.get()) ? 1 : 0;
}

int _SM2_generate_keypair(unsigned char d[32], unsigned char x[32], unsigned char y[32])
{
    const KernelHold hold;
    if (NULL == d || NULL == x || NULL == y) return 0;
    OsslPtr<BIGNUM> bnD = NewBN(), bnX = NewBN(), bnY = NewBN();
    unsigned char abyD[SM2_FIELD_SIZE], abyX[SM2_FIELD_SIZE], abyY[SM2_FIELD_SIZE];
    int nOk = bnD && bnX && bnY && 1 == _SM2_generate_key(bnD.get(), bnX.get(), bnY.get(), NID_prime256v1SM2) &&
              1 == _SM2_GetBNBytes(bnD.get(), abyD) && 1 == _SM2_GetBNBytes(bnX.get(), abyX) &&
              1 == _SM2_GetBNBytes(bnY.get(), abyY);
    if (nOk) {
        memcpy(d, abyD, SM2_FIELD_SIZE);
        memcpy(x, abyX, SM2_FIELD_SIZE);
        memcpy(y, abyY, SM2_FIELD_SIZE);
    }
    OPENSSL_cleanse(abyD, sizeof(abyD));
    return nOk;
}

int _SM2_point_is_on_curve(const BIGNUM* x, const BIGNUM* y, int curveNid)
{
    const KernelHold hold;
    if (NULL == x || NULL == y) return 0;
    CurveGroup group(curveNid);
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    if (!group.get() || !pCtx) return 0;
    ERR_set_mark();   // a refused point is an answer here, not an error
    OsslPtr<EC_POINT> pPoint = PointFrom(group.get(), x, y, pCtx.get());
    ERR_pop_to_mark();
    return pPoint && 1 == EC_POINT_is_on_curve(group.get(), pPoint.get(), pCtx.get()) ? 1 : 0;
}

int _SM2_Bytes2BN(const unsigned char* bytes, unsigned len, BIGNUM* out)
{
    if (NULL == bytes || NULL == out) return 0;
    return NULL != BN_bin2bn(bytes, (int)(len < SM2_FIELD_SIZE ? len : SM2_FIELD_SIZE), out) ? 1 : 0;
}

int _SM2_GetBNBytes(const BIGNUM* bn, unsigned char out[32])
{
    if (NULL == out) return 0;
    memset(out, 0, SM2_FIELD_SIZE);
    if (NULL == bn || BN_num_bytes(bn) > SM2_FIELD_SIZE) return 0;
    return SM2_FIELD_SIZE == BN_bn2binpad(bn, out, SM2_FIELD_SIZE) ? 1 : 0;
}

int _SM2_IsAllZero(const unsigned char* buf, int len)
{
    if (len <= 0) return 1;
    if (NULL == buf) return 0;
    unsigned char acc = 0;
    for (int i = 0; i < len; ++i) acc |= buf[i];
    return 0 == acc ? 1 : 0;
}
