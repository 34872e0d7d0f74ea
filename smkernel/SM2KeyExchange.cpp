#include "SM2KeyExchange.h"

#include <openssl/ec.h>

#include "KernelHold.h"
#include "OsslPtr.h"
#include "SM2.h"

using morv::OsslPtr;

namespace {

OsslPtr<BIGNUM> NewBN() { return OsslPtr<BIGNUM>(BN_new()); }

OsslPtr<BN_CTX> NewBnCtx() { return OsslPtr<BN_CTX>(BN_CTX_new_ex(smk::SM2LibCtx())); }

OsslPtr<EC_POINT> PointFrom(const EC_GROUP* pGroup, const BIGNUM* x, const BIGNUM* y, BN_CTX* pCtx)
{
    OsslPtr<EC_POINT> pPoint(EC_POINT_new(pGroup));
    if (!pPoint || 1 != EC_POINT_set_affine_coordinates(pGroup, pPoint.get(), x, y, pCtx)) return nullptr;
    return pPoint;
}

}  // namespace

int _SM2_generate_temp_keypair(BIGNUM* r, BIGNUM* x, BIGNUM* y, int curveNid)
{
    const smk::KernelHold hold;  // see SM2.h
    const EC_GROUP* pGroup = smk::SMGroup(curveNid);
    if (NULL == r || NULL == x || NULL == y || NULL == pGroup) return 0;
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    OsslPtr<BIGNUM> k = NewBN();
    OsslPtr<EC_POINT> pR(EC_POINT_new(pGroup));
    if (!pCtx || !k || !pR) return 0;
    BN_set_flags(k.get(), BN_FLG_CONSTTIME);
    do {
        if (1 != BN_priv_rand_range_ex(k.get(), EC_GROUP_get0_order(pGroup), 0, pCtx.get())) return 0;
    } while (BN_is_zero(k.get()));
    OsslPtr<BIGNUM> px = NewBN(), py = NewBN();
    if (!px || !py || 1 != EC_POINT_mul(pGroup, pR.get(), k.get(), NULL, NULL, pCtx.get()) ||
        1 != EC_POINT_get_affine_coordinates(pGroup, pR.get(), px.get(), py.get(), pCtx.get()))
        return 0;
    return BN_copy(r, k.get()) && BN_copy(x, px.get()) && BN_copy(y, py.get()) ? 1 : 0;
}

int _SM2_log2n(const BIGNUM* n, int* k)
{
    if (NULL == k) return 0;
    *k = 1;
    if (NULL == n || BN_is_negative(n) || BN_cmp(n, BN_value_one()) <= 0) return 0;
    // 2^k >= n: k = bit length of n, less one when n is itself a power of two.
    OsslPtr<BIGNUM> nMinus1(BN_dup(n));
    if (!nMinus1 || 1 != BN_sub_word(nMinus1.get(), 1)) return 0;
    int nBits = BN_num_bits(nMinus1.get());
    *k = nBits < 1 ? 1 : nBits;
    return 1;
}

int _SM2_BNBitAND(BIGNUM* r, const BIGNUM* a, const BIGNUM* b)
{
    if (NULL == r || NULL == a || NULL == b) return 0;
    const int nBits = BN_num_bits(a) < BN_num_bits(b) ? BN_num_bits(a) : BN_num_bits(b);
    OsslPtr<BIGNUM> out = NewBN();
    if (!out) return 0;
    BN_zero(out.get());
    for (int i = 0; i < nBits; ++i) {
        if (BN_is_bit_set(a, i) && BN_is_bit_set(b, i) && 1 != BN_set_bit(out.get(), i)) return 0;
    }
    return BN_copy(r, out.get()) ? 1 : 0;
}

int _SM2_KEP_calculate_xDash(BIGNUM* xDash, const BIGNUM* x, int w)
{
    if (NULL == xDash || NULL == x || w < 1) return 0;
    OsslPtr<BIGNUM> pow2w = NewBN(), mask = NewBN(), low = NewBN();
    // GB/T 32918.3 6.1 A4: x-bar = 2^w + (x & (2^w - 1)).
    if (!pow2w || !mask || !low || 1 != BN_lshift(pow2w.get(), BN_value_one(), w) || !BN_copy(mask.get(), pow2w.get()) ||
        1 != BN_sub_word(mask.get(), 1) || 1 != _SM2_BNBitAND(low.get(), x, mask.get()))
        return 0;
    return BN_add(xDash, pow2w.get(), low.get());
}

int _SM2_KEP_calculate_t(BIGNUM* t, const BIGNUM* d, const BIGNUM* xDash, const BIGNUM* r, const BIGNUM* n)
{
    const smk::KernelHold hold;  // see SM2.h
    if (NULL == t || NULL == d || NULL == xDash || NULL == r || NULL == n || BN_is_zero(n)) return 0;
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    OsslPtr<BIGNUM> xr = NewBN();
    // GB/T 32918.3 6.1 A5: t = (d + x-bar * r) mod n.
    return pCtx && xr && 1 == BN_mod_mul(xr.get(), xDash, r, n, pCtx.get()) &&
                   1 == BN_mod_add(t, d, xr.get(), n, pCtx.get())
               ? 1
               : 0;
}

int _SM2_KEP_calculate_point_V(BIGNUM* xV, BIGNUM* yV, const BIGNUM* xP, const BIGNUM* yP, const BIGNUM* xR,
                               const BIGNUM* yR, const BIGNUM* h, const BIGNUM* t, const BIGNUM* xDash,
                               int curveNid)
{
    const smk::KernelHold hold;  // see SM2.h
    const EC_GROUP* pGroup = smk::SMGroup(curveNid);
    if (!xV || !yV || !xP || !yP || !xR || !yR || !h || !t || !xDash || !pGroup) return 0;
    OsslPtr<BN_CTX> pCtx = NewBnCtx();
    if (!pCtx) return 0;
    OsslPtr<EC_POINT> pP = PointFrom(pGroup, xP, yP, pCtx.get()), pR = PointFrom(pGroup, xR, yR, pCtx.get());
    OsslPtr<EC_POINT> pU(EC_POINT_new(pGroup)), pV(EC_POINT_new(pGroup));
    OsslPtr<BIGNUM> ht = NewBN(), x = NewBN(), y = NewBN();
    // GB/T 32918.3 6.1 A7: U = P + [x-bar]R, V = [h * t]U.
    if (!pP || !pR || !pU || !pV || !ht || !x || !y || 1 != EC_POINT_mul(pGroup, pU.get(), NULL, pR.get(), xDash, pCtx.get()) ||
        1 != EC_POINT_add(pGroup, pU.get(), pP.get(), pU.get(), pCtx.get()) || 1 != BN_mul(ht.get(), h, t, pCtx.get()) ||
        1 != EC_POINT_mul(pGroup, pV.get(), NULL, pU.get(), ht.get(), pCtx.get()) ||
        EC_POINT_is_at_infinity(pGroup, pV.get()) ||
        1 != EC_POINT_get_affine_coordinates(pGroup, pV.get(), x.get(), y.get(), pCtx.get()))
        return 0;
    return BN_copy(xV, x.get()) && BN_copy(yV, y.get()) ? 1 : 0;
}
