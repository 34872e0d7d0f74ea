// Signatures and point multiplications of the published SM2 curve on 32-byte fields.
#include <openssl/crypto.h>

#include "SM2P256.h"

namespace smk {
namespace sm2p256 {
namespace {

template <class T>
void Wipe(T& v)
{
    OPENSSL_cleanse(&v, sizeof(v));
}

// The point's fields x || y; 1 when finite.
int PointToFields(const Point& p, unsigned char xy[64])
{
    Fe x, y;
    const u64 finite = ToAffine(x, y, p);
    ToBytes(xy, x);
    ToBytes(xy + 32, y);
    return (int)(finite & 1);
}

// The point's fields x || y with Z^-1 given (Montgomery form).
void FieldsWithInverse(const Point& p, const Fe& zinv, unsigned char xy[64])
{
    Fe t, v;
    MontMul<kP>(t, p.X, zinv);
    FromMont<kP>(v, t);
    ToBytes(xy, v);
    MontMul<kP>(t, p.Y, zinv);
    FromMont<kP>(v, t);
    ToBytes(xy + 32, v);
}

// A field as a number mod n.
Fe ScalarFrom(const unsigned char b[32])
{
    Fe v;
    FromBytes(v, b);
    Reduce<kN>(v, v);
    return v;
}

// a * b mod n for a, b in normal form.
Fe ScalarMulN(const Fe& a, const Fe& b)
{
    Fe am, r;
    ToMont<kN>(am, a);
    MontMul<kN>(r, am, b);
    return r;
}

// A4-A6 from [k]G = q, Z^-1 and (1 + d)^-1 in Montgomery form: r = (e + x1) mod n and
// s = (1 + d)^-1 (k - r d) mod n; the codes of Sign.
int SignFinish(const Fe& fe, const Fe& fd, const Fe& fk, const Point& q, const Fe& zinv, const Fe& inv,
               u64 badKey, unsigned char r[32], unsigned char s[32])
{
    Fe x1, fr, rk, fs, t;
    MontMul<kP>(t, q.X, zinv);
    FromMont<kP>(x1, t);
    const u64 finite = ~MaskIsZero(q.Z);
    Reduce<kN>(x1, x1);
    Add<kN>(fr, fe, x1);
    Add<kN>(rk, fr, fk);
    Sub<kN>(t, fk, ScalarMulN(fr, fd));
    MontMul<kN>(fs, inv, t);
    const u64 ok = finite & ~badKey & ~MaskIsZero(fr) & ~MaskIsZero(rk) & ~MaskIsZero(fs);
    ToBytes(r, fr);
    ToBytes(s, fs);
    Wipe(t);
    Wipe(fs);
    return (int)(ok & 1) - (int)(badKey & 1);
}

// 1 + d mod n in Montgomery form; the mask is all ones when 1 + d = 0 (d = n - 1, no key).
u64 OnePlusDMont(const Fe& fd, Fe& d1m)
{
    const Fe one = {{1, 0, 0, 0}};
    Fe d1;
    Add<kN>(d1, fd, one);
    const u64 badKey = MaskIsZero(d1);
    ToMont<kN>(d1m, d1);
    Wipe(d1);
    return badKey;
}

// c += n; false when c + n is not below p (public values: variable time).
bool PlusNBelowP(Fe& c)
{
    u64 sum[4], carry = 0, borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = (u128)c.v[i] + kN.m[i] + carry;
        sum[i] = (u64)t;
        carry = (u64)(t >> 64);
    }
    for (int i = 0; i < 4; ++i) {
        const u128 t = (u128)sum[i] - kP.m[i] - borrow;
        borrow = (u64)(t >> 64) & 1;
    }
    for (int i = 0; i < 4; ++i) c.v[i] = sum[i];
    return 0 == carry && 1 == borrow;
}

}  // namespace

int MulToFields(const unsigned char k[32], const unsigned char* pbyPx, const unsigned char* pbyPy,
                unsigned char xy[64])
{
    Fe kk;
    FromBytes(kk, k);
    Point q;
    if (NULL == pbyPx) {
        q = BaseMul(kk);
    } else {
        Fe x, y;
        FromBytes(x, pbyPx);
        FromBytes(y, pbyPy);
        q = ScalarMul(kk, x, y);
    }
    const int nFinite = PointToFields(q, xy);
    Wipe(kk);
    Wipe(q);
    return nFinite;
}

int MulBaseAndPointToFields(const unsigned char k[32], const unsigned char px[32], const unsigned char py[32],
                            unsigned char kg[64], unsigned char kp[64])
{
    Fe kk, x, y, zg, zp;
    FromBytes(kk, k);
    FromBytes(x, px);
    FromBytes(y, py);
    Point g = BaseMul(kk), p = ScalarMul(kk, x, y);
    MontInvPair<kP, kP>(zg, g.Z, zp, p.Z);
    FieldsWithInverse(g, zg, kg);
    FieldsWithInverse(p, zp, kp);
    const u64 finite = ~MaskIsZero(g.Z) & ~MaskIsZero(p.Z);
    Wipe(kk);
    Wipe(g);
    Wipe(p);
    return (int)(finite & 1);
}

int Sign(const unsigned char e[32], const unsigned char d[32], const unsigned char k[32], unsigned char r[32],
         unsigned char s[32])
{
    Fe fd = ScalarFrom(d), fk = ScalarFrom(k);
    Point q = BaseMul(fk);
    // Z^-1 mod p for x1 and (1 + d)^-1 mod n (Montgomery form), both by Fermat, side by side.
    Fe d1m, zinv, inv;
    const u64 badKey = OnePlusDMont(fd, d1m);
    MontInvPair<kP, kN>(zinv, q.Z, inv, d1m);
    const int nCode = SignFinish(ScalarFrom(e), fd, fk, q, zinv, inv, badKey, r, s);
    Wipe(fd);
    Wipe(fk);
    Wipe(q);
    Wipe(d1m);
    Wipe(inv);
    return nCode;
}

int SignInverse(const unsigned char d[32], unsigned char inv[32])
{
    Fe fd = ScalarFrom(d), d1m, invm, v;
    const u64 badKey = OnePlusDMont(fd, d1m);
    MontInv<kN>(invm, d1m);
    FromMont<kN>(v, invm);
    ToBytes(inv, v);
    Wipe(fd);
    Wipe(d1m);
    Wipe(invm);
    Wipe(v);
    return 1 - 2 * (int)(badKey & 1);
}

int SignWithInverse(const unsigned char e[32], const unsigned char d[32], const unsigned char inv[32],
                    const unsigned char k[32], unsigned char r[32], unsigned char s[32])
{
    Fe fd = ScalarFrom(d), fk = ScalarFrom(k), fi = ScalarFrom(inv), invm, zinv;
    const u64 badKey = MaskIsZero(fi);
    Point q = BaseMul(fk);
    ToMont<kN>(invm, fi);
    MontInv<kP>(zinv, q.Z);
    const int nCode = SignFinish(ScalarFrom(e), fd, fk, q, zinv, invm, badKey, r, s);
    Wipe(fd);
    Wipe(fk);
    Wipe(fi);
    Wipe(invm);
    Wipe(q);
    return nCode;
}

int Verify(const unsigned char e[32], const unsigned char r[32], const unsigned char s[32],
           const unsigned char x[32], const unsigned char y[32])
{
    const Fe fe = ScalarFrom(e), fr = ScalarFrom(r), fs = ScalarFrom(s);
    Fe t, px, py;
    Add<kN>(t, fr, fs);
    if (MaskIsZero(t)) return 0;
    FromBytes(px, x);
    FromBytes(py, y);
    const Point q = DoubleMulPublic(fs, t, FromAffine(px, py));
    if (MaskIsZero(q.Z)) return -1;
    // (e + x1) mod n = r without the inversion: x1 = X / Z is below p < 2n, so it is
    // c = (r - e) mod n or c + n, and each candidate is checked as X = c Z.
    Fe c;
    Sub<kN>(c, fr, fe);
    for (int nPass = 0; nPass < 2; ++nPass) {
        Fe cm, cz;
        ToMont<kP>(cm, c);
        MontMul<kP>(cz, cm, q.Z);
        if (MaskEqual(cz, q.X)) return 1;
        if (!PlusNBelowP(c)) return 0;
    }
    return 0;
}

}  // namespace sm2p256
}  // namespace smk
