// The published curve's own arithmetic against OpenSSL's BIGNUM and EC_POINT (default
// context, its built-in SM2 group): field and scalar operations on random and edge inputs,
// point multiplications, signatures and verification.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <vector>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include "OsslPtr.h"
#include "SM2P256.h"

using morv::OsslPtr;
using namespace smk::sm2p256;

namespace {

constexpr int kFieldCases = 100000;

OsslPtr<BIGNUM> ToBN(const Fe& a)
{
    unsigned char b[32];
    ToBytes(b, a);
    return OsslPtr<BIGNUM>(BN_bin2bn(b, 32, NULL));
}

Fe FromBN(const BIGNUM* bn)
{
    unsigned char b[32];
    EXPECT_EQ(32, BN_bn2binpad(bn, b, 32));
    Fe r;
    FromBytes(r, b);
    return r;
}

struct Oracle {
    OsslPtr<BN_CTX> ctx{BN_CTX_new()};
    OsslPtr<EC_GROUP> group{EC_GROUP_new_by_curve_name(NID_sm2)};
    OsslPtr<BIGNUM> p{BN_new()}, n{BN_dup(EC_GROUP_get0_order(group.get()))}, R{BN_new()}, Rinv{BN_new()};
    Oracle()
    {
        EC_GROUP_get_curve(group.get(), p.get(), NULL, NULL, ctx.get());
        BN_set_bit(R.get(), 256);
    }
};

Oracle& O()
{
    static Oracle s_oracle;
    return s_oracle;
}

// Random numbers below m, and the values next to the edges that make carries and
// conditional subtractions happen.
std::vector<Fe> Inputs(const BIGNUM* m, int nRandom, std::mt19937_64& rng)
{
    std::vector<Fe> v;
    const Fe mFe = FromBN(m);
    const Fe edges[] = {{{0, 0, 0, 0}}, {{1, 0, 0, 0}}, {{2, 0, 0, 0}}, {{~0ull, 0, 0, 0}}, {{0, 0, 0, 1ull << 63}}};
    for (const Fe& e : edges) v.push_back(e);
    for (u64 k = 1; k <= 3; ++k) {
        Fe t = mFe;
        t.v[0] -= k;  // m - 1, m - 2, m - 3 (no limb of either modulus borrows here)
        v.push_back(t);
    }
    for (int i = 0; i < nRandom; ++i) {
        Fe r = {{rng(), rng(), rng(), rng()}};
        if (i % 4 == 0) r.v[3] = mFe.v[3], r.v[2] = mFe.v[2];  // close to m from below or above
        OsslPtr<BIGNUM> b = ToBN(r);
        BN_nnmod(b.get(), b.get(), m, O().ctx.get());
        v.push_back(FromBN(b.get()));
    }
    return v;
}

template <const Mod& M>
void CheckModOps(const BIGNUM* m)
{
    std::mt19937_64 rng(M.m[0]);
    const std::vector<Fe> in = Inputs(m, kFieldCases, rng);
    BN_CTX* ctx = O().ctx.get();
    OsslPtr<BIGNUM> want(BN_new()), rinv(BN_mod_inverse(NULL, O().R.get(), m, ctx)), two(BN_new());
    BN_set_word(two.get(), 2);
    OsslPtr<BIGNUM> half(BN_mod_inverse(NULL, two.get(), m, ctx));
    for (size_t i = 0; i < in.size(); ++i) {
        const Fe& a = in[i];
        const Fe& b = in[(i * 7 + 3) % in.size()];
        OsslPtr<BIGNUM> A = ToBN(a), B = ToBN(b);
        Fe r;
        Add<M>(r, a, b);
        BN_mod_add(want.get(), A.get(), B.get(), m, ctx);
        ASSERT_EQ(0, BN_cmp(want.get(), ToBN(r).get())) << "add " << i;
        Sub<M>(r, a, b);
        BN_mod_sub(want.get(), A.get(), B.get(), m, ctx);
        ASSERT_EQ(0, BN_cmp(want.get(), ToBN(r).get())) << "sub " << i;
        MontMul<M>(r, a, b);  // a * b * R^-1
        BN_mod_mul(want.get(), A.get(), B.get(), m, ctx);
        BN_mod_mul(want.get(), want.get(), rinv.get(), m, ctx);
        ASSERT_EQ(0, BN_cmp(want.get(), ToBN(r).get())) << "mul " << i;
        MontMulPortable<M>(r, a, b);  // the same without MULX/ADX, which CPUs may lack
        ASSERT_EQ(0, BN_cmp(want.get(), ToBN(r).get())) << "portable mul " << i;
        MontSqr<M>(r, a);  // a^2 * R^-1
        BN_mod_mul(want.get(), A.get(), A.get(), m, ctx);
        BN_mod_mul(want.get(), want.get(), rinv.get(), m, ctx);
        ASSERT_EQ(0, BN_cmp(want.get(), ToBN(r).get())) << "sqr " << i;
        Half<M>(r, a);  // a * 2^-1
        BN_mod_mul(want.get(), A.get(), half.get(), m, ctx);
        ASSERT_EQ(0, BN_cmp(want.get(), ToBN(r).get())) << "half " << i;
        Fe full = {{rng(), rng(), rng(), rng()}};
        if (i < 8) full = Fe{{~0ull, ~0ull, ~0ull, ~0ull - i}};
        Reduce<M>(r, full);
        BN_nnmod(want.get(), ToBN(full).get(), m, ctx);
        ASSERT_EQ(0, BN_cmp(want.get(), ToBN(r).get())) << "reduce " << i;
        if (i % 50 != 0) continue;  // inversion costs a few hundred products
        Fe am, inv;
        ToMont<M>(am, a);
        MontInv<M>(inv, am);
        FromMont<M>(r, inv);
        if (BN_is_zero(A.get())) {
            ASSERT_EQ(0u, r.v[0] | r.v[1] | r.v[2] | r.v[3]);
        } else {
            ASSERT_EQ(0, BN_cmp(BN_mod_inverse(want.get(), A.get(), m, ctx), ToBN(r).get())) << "inv " << i;
        }
    }
}

TEST(SM2P256Field, ModPOperationsMatchBignum) { CheckModOps<kP>(O().p.get()); }

TEST(SM2P256Field, ModNOperationsMatchBignum) { CheckModOps<kN>(O().n.get()); }

// The oracle's [k]G + [t]P, affine in normal form; false at infinity.
bool OracleMul(const BIGNUM* k, const EC_POINT* P, const BIGNUM* t, Fe& x, Fe& y)
{
    OsslPtr<EC_POINT> r(EC_POINT_new(O().group.get()));
    EC_POINT_mul(O().group.get(), r.get(), k, P, t, O().ctx.get());
    if (EC_POINT_is_at_infinity(O().group.get(), r.get())) return false;
    OsslPtr<BIGNUM> bx(BN_new()), by(BN_new());
    EC_POINT_get_affine_coordinates(O().group.get(), r.get(), bx.get(), by.get(), O().ctx.get());
    x = FromBN(bx.get());
    y = FromBN(by.get());
    return true;
}

void ExpectSame(const Point& ours, bool bFinite, const Fe& x, const Fe& y, const char* what, size_t i)
{
    Fe ox, oy;
    const bool bOurs = 0 != ToAffine(ox, oy, ours);
    ASSERT_EQ(bFinite, bOurs) << what << " " << i;
    if (bFinite) {
        ASSERT_TRUE(MaskEqual(ox, x) && MaskEqual(oy, y)) << what << " " << i;
    }
}

// Scalars: the edges 0, 1, 2, n - 2, n - 1, n, n + 1 and 2^256 - 1, then random ones.
std::vector<Fe> Scalars(int nRandom, std::mt19937_64& rng)
{
    const Fe n = FromBN(O().n.get());
    std::vector<Fe> v = {{{0, 0, 0, 0}}, {{1, 0, 0, 0}}, {{2, 0, 0, 0}}, {{~0ull, ~0ull, ~0ull, ~0ull}}};
    for (int d = -2; d <= 1; ++d) {
        Fe t = n;
        t.v[0] += (u64)(int64_t)d;
        v.push_back(t);
    }
    for (int i = 0; i < nRandom; ++i) v.push_back(Fe{{rng(), rng(), rng(), rng()}});
    return v;
}

TEST(SM2P256Point, BaseAndVariableMultiplicationMatchEcPoint)
{
    std::mt19937_64 rng(2);
    const std::vector<Fe> ks = Scalars(1000, rng);
    Fe px, py;
    for (size_t i = 0; i < ks.size(); ++i) {
        OsslPtr<BIGNUM> k = ToBN(ks[i]);
        bool bFinite = OracleMul(k.get(), NULL, NULL, px, py);
        ASSERT_NO_FATAL_FAILURE(ExpectSame(BaseMul(ks[i]), bFinite, px, py, "[k]G", i));
        // P from the previous case (or 7G), so its multiples are not those of the table.
        OsslPtr<BIGNUM> base(BN_new());
        BN_set_word(base.get(), 7 + i);
        Fe bx, by;
        OracleMul(base.get(), NULL, NULL, bx, by);
        OsslPtr<EC_POINT> P(EC_POINT_new(O().group.get()));
        EC_POINT_set_affine_coordinates(O().group.get(), P.get(), ToBN(bx).get(), ToBN(by).get(), O().ctx.get());
        Fe x, y;
        bFinite = OracleMul(NULL, P.get(), k.get(), x, y);
        ASSERT_NO_FATAL_FAILURE(ExpectSame(ScalarMul(ks[i], bx, by), bFinite, x, y, "[k]P", i));
        // Both at once, as encryption takes them.
        unsigned char abyK[32], abyP[64], abyKG[64], abyKP[64];
        ToBytes(abyK, ks[i]);
        ToBytes(abyP, bx);
        ToBytes(abyP + 32, by);
        const bool bBoth = 1 == MulBaseAndPointToFields(abyK, abyP, abyP + 32, abyKG, abyKP);
        Fe gx, gy;
        ASSERT_EQ(bFinite && OracleMul(k.get(), NULL, NULL, gx, gy), bBoth) << i;
        if (bBoth) {
            unsigned char want[64];
            ToBytes(want, gx);
            ToBytes(want + 32, gy);
            ASSERT_EQ(0, memcmp(want, abyKG, 64)) << i;
            ToBytes(want, x);
            ToBytes(want + 32, y);
            ASSERT_EQ(0, memcmp(want, abyKP, 64)) << i;
        }
        // [s]G + [t]P with t = k and s another case's scalar.
        const Fe s = ks[(i * 5 + 1) % ks.size()];
        bFinite = OracleMul(ToBN(s).get(), P.get(), k.get(), x, y);
        ASSERT_NO_FATAL_FAILURE(ExpectSame(DoubleMulPublic(s, ks[i], FromAffine(bx, by)), bFinite, x, y, "[s]G+[t]P", i));
    }
}

// [s]G + [t]P where the two halves cancel or coincide: infinity and doubling through the sum.
TEST(SM2P256Point, DoubleMultiplicationThroughInfinityAndDoubling)
{
    OsslPtr<BIGNUM> seven(BN_new()), t(BN_new()), s(BN_new());
    BN_set_word(seven.get(), 7);
    Fe bx, by, x, y;
    OracleMul(seven.get(), NULL, NULL, bx, by);  // P = 7G
    const Point P = FromAffine(bx, by);
    for (unsigned long tw : {1ul, 2ul, 12345ul}) {
        BN_set_word(t.get(), tw);
        // s = -7t: the sum is the point at infinity.
        BN_mul_word(BN_copy(s.get(), t.get()), 7);
        BN_sub(s.get(), O().n.get(), s.get());
        EXPECT_FALSE(ToAffine(x, y, DoubleMulPublic(FromBN(s.get()), FromBN(t.get()), P))) << tw;
        // s = 7t: both halves are the same point, so the final sum doubles.
        BN_set_word(s.get(), 14 * tw);
        ASSERT_TRUE(OracleMul(s.get(), NULL, NULL, bx, by));
        BN_set_word(s.get(), 7 * tw);
        ExpectSame(DoubleMulPublic(FromBN(s.get()), FromBN(t.get()), P), true, bx, by, "2[7t]G", tw);
    }
}

TEST(SM2P256Point, AdditionCoversDoublingInfinityAndInverse)
{
    OsslPtr<BIGNUM> k(BN_new());
    BN_set_word(k.get(), 5);
    Fe x, y, x2, y2;
    OracleMul(k.get(), NULL, NULL, x, y);
    BN_set_word(k.get(), 10);
    OracleMul(k.get(), NULL, NULL, x2, y2);
    const Point P = FromAffine(x, y);
    Point r, negP = P;
    Neg<kP>(negP.Y, negP.Y);
    PointAdd(r, P, P);
    ExpectSame(r, true, x2, y2, "P+P", 0);
    PointDouble(r, P);
    ExpectSame(r, true, x2, y2, "2P", 0);
    PointAddAffine(r, P, AffinePoint{P.X, P.Y});
    ExpectSame(r, true, x2, y2, "P+P mixed", 0);
    PointAdd(r, P, negP);
    ExpectSame(r, false, x, y, "P-P", 0);
    PointAdd(r, Infinity(), P);
    ExpectSame(r, true, x, y, "O+P", 0);
    PointAdd(r, P, Infinity());
    ExpectSame(r, true, x, y, "P+O", 0);
    PointAddAffine(r, Infinity(), AffinePoint{P.X, P.Y});
    ExpectSame(r, true, x, y, "O+P mixed", 0);
    PointDouble(r, Infinity());
    ExpectSame(r, false, x, y, "2O", 0);
    EXPECT_TRUE(IsOnCurve(x, y));
    y.v[0] ^= 1;
    EXPECT_FALSE(IsOnCurve(x, y));
}

// s = (1 + d)^-1 (k - r d) mod n and r = (e + x1) mod n computed by the oracle, and the
// signatures verify; a changed e or r does not.
TEST(SM2P256Sign, SignaturesMatchBignumAndVerify)
{
    std::mt19937_64 rng(3);
    BN_CTX* ctx = O().ctx.get();
    const BIGNUM* n = O().n.get();
    for (int i = 0; i < 200; ++i) {
        unsigned char e[32], d[32], k[32], r[32], s[32], xy[64];
        for (int j = 0; j < 32; ++j) e[j] = (unsigned char)rng(), d[j] = (unsigned char)rng(), k[j] = (unsigned char)rng();
        if (i == 0) memset(e, 0xff, 32);  // e above n
        if (i == 1) memset(d, 0, 32), d[31] = 1;
        ASSERT_EQ(1, Sign(e, d, k, r, s)) << i;
        OsslPtr<BIGNUM> E(BN_bin2bn(e, 32, NULL)), D(BN_bin2bn(d, 32, NULL)), K(BN_bin2bn(k, 32, NULL));
        BN_nnmod(K.get(), K.get(), n, ctx);
        Fe x1, y1;
        ASSERT_TRUE(OracleMul(K.get(), NULL, NULL, x1, y1));
        OsslPtr<BIGNUM> wantR(BN_new()), wantS(BN_new()), t(BN_new()), inv(BN_new());
        BN_mod_add(wantR.get(), E.get(), ToBN(x1).get(), n, ctx);
        BN_mod_mul(t.get(), wantR.get(), D.get(), n, ctx);
        BN_mod_sub(t.get(), K.get(), t.get(), n, ctx);
        BN_add_word(D.get(), 1);
        BN_mod_inverse(inv.get(), D.get(), n, ctx);
        BN_mod_mul(wantS.get(), inv.get(), t.get(), n, ctx);
        ASSERT_EQ(0, BN_cmp(wantR.get(), BN_bin2bn(r, 32, t.get()))) << i;
        ASSERT_EQ(0, BN_cmp(wantS.get(), BN_bin2bn(s, 32, t.get()))) << i;
        // The key's inverse worked out once signs the same bytes.
        unsigned char invD[32], r2[32], s2[32];
        ASSERT_EQ(1, SignInverse(d, invD)) << i;
        ASSERT_EQ(0, BN_cmp(inv.get(), BN_bin2bn(invD, 32, t.get()))) << i;
        ASSERT_EQ(1, SignWithInverse(e, d, invD, k, r2, s2)) << i;
        ASSERT_EQ(0, memcmp(r, r2, 32)) << i;
        ASSERT_EQ(0, memcmp(s, s2, 32)) << i;
        ASSERT_EQ(1, MulToFields(d, NULL, NULL, xy));
        ASSERT_EQ(1, Verify(e, r, s, xy, xy + 32)) << i;
        e[31] ^= 1;
        ASSERT_EQ(0, Verify(e, r, s, xy, xy + 32)) << i;
    }
}

// x1 in [n, p) (probability about 2^-128 for real signatures, so built here): R with such an
// x, a chosen s and r, the public key P = (r + s)^-1 (R - [s]G) and e = (r - x1) mod n.
TEST(SM2P256Sign, VerificationWithX1AboveN)
{
    EC_GROUP* g = O().group.get();
    BN_CTX* ctx = O().ctx.get();
    OsslPtr<BIGNUM> x(BN_dup(O().n.get())), rr(BN_new()), ss(BN_new()), t(BN_new()), e(BN_new());
    OsslPtr<EC_POINT> R(EC_POINT_new(g)), P(EC_POINT_new(g)), sG(EC_POINT_new(g));
    ERR_set_mark();
    while (1 != EC_POINT_set_compressed_coordinates(g, R.get(), x.get(), 0, ctx)) BN_add_word(x.get(), 1);
    ERR_pop_to_mark();
    ASSERT_LT(BN_cmp(x.get(), O().p.get()), 0);
    BN_set_word(rr.get(), 0x1234567);
    BN_set_word(ss.get(), 0x89abcdef);
    BN_mod_add(t.get(), rr.get(), ss.get(), O().n.get(), ctx);
    BN_mod_inverse(t.get(), t.get(), O().n.get(), ctx);
    EC_POINT_mul(g, sG.get(), ss.get(), NULL, NULL, ctx);
    EC_POINT_invert(g, sG.get(), ctx);
    EC_POINT_add(g, P.get(), R.get(), sG.get(), ctx);
    EC_POINT_mul(g, P.get(), NULL, P.get(), t.get(), ctx);
    BN_mod_sub(e.get(), rr.get(), x.get(), O().n.get(), ctx);
    unsigned char abyE[32], abyR[32], abyS[32], xy[65];
    BN_bn2binpad(e.get(), abyE, 32);
    BN_bn2binpad(rr.get(), abyR, 32);
    BN_bn2binpad(ss.get(), abyS, 32);
    ASSERT_EQ(65u, EC_POINT_point2oct(g, P.get(), POINT_CONVERSION_UNCOMPRESSED, xy, 65, ctx));
    EXPECT_EQ(1, Verify(abyE, abyR, abyS, xy + 1, xy + 33));
    abyR[31] ^= 1;
    EXPECT_EQ(0, Verify(abyE, abyR, abyS, xy + 1, xy + 33));
}

// d = n - 1 makes 1 + d = 0: no signature with that key, with or without its inverse worked
// out first; k = 0 or k = n (the point at infinity) is a nonce to draw again.
TEST(SM2P256Sign, UnusableKeyAndNonce)
{
    unsigned char nm1[32], e[32] = {1}, k[32] = {2}, r[32], s[32], zero[32] = {0};
    BN_bn2binpad(O().n.get(), nm1, 32);
    unsigned char n[32];
    memcpy(n, nm1, 32);
    nm1[31] -= 1;
    EXPECT_EQ(-1, Sign(e, nm1, k, r, s));
    unsigned char inv[32];
    memset(inv, 0x5a, sizeof(inv));
    EXPECT_EQ(-1, SignInverse(nm1, inv));
    EXPECT_EQ(0, memcmp(inv, zero, 32));
    EXPECT_EQ(-1, SignWithInverse(e, nm1, inv, k, r, s));
    unsigned char d[32] = {0};
    d[31] = 9;
    EXPECT_EQ(0, Sign(e, d, zero, r, s));
    EXPECT_EQ(0, Sign(e, d, n, r, s));
    ASSERT_EQ(1, SignInverse(d, inv));
    EXPECT_EQ(0, SignWithInverse(e, d, inv, zero, r, s));
    EXPECT_EQ(0, SignWithInverse(e, d, inv, n, r, s));
}

}  // namespace
