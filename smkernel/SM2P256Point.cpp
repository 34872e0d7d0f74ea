// Point arithmetic on the published SM2 curve: the complete projective formulas for
// a = -3 of Renes, Costello and Batina ("Complete addition formulas for prime order
// elliptic curves", 2016, algorithms 4-6) for the interface and the table, and on Jacobian
// coordinates (SM2P256Jacobian.h) a signed-window fixed-base table for [k]G, a signed fixed
// window for [k]P and a width-5 NAF for verification.
#include <mutex>

#include <openssl/crypto.h>

#include "SM2P256.h"
#include "SM2P256Jacobian.h"

namespace smk {
namespace sm2p256 {
namespace {


// b in Montgomery form.
constexpr Fe kB = {{0x90d230632bc0dd42ull, 0x71cf379ae9b537abull, 0x527981505ea51c3cull, 0x240fe188ba20e2c8ull}};

// G in normal form (GB/T 32918.5-2017 clause 5).
constexpr Fe kGx = {{0x715a4589334c74c7ull, 0x8fe30bbff2660be1ull, 0x5f9904466a39c994ull, 0x32c4ae2c1f198119ull}};
constexpr Fe kGy = {{0x02df32e52139f0a0ull, 0xd0a9877cc62a4740ull, 0x59bdcee36b692153ull, 0xbc3736a2f4f6779cull}};

// A signed digit of a window recoding: |d| and 1 when negative.
struct Digit {
    u64 mag, neg;
};

// k as digits d_i in [-2^(w-1), 2^(w-1)] with k = sum d_i 2^(w i); every step is arithmetic
// on the bits, so the digits leak nothing through timing.
template <int W, int N>
void Recode(const Fe& k, Digit (&digits)[N])
{
    u64 carry = 0;
    for (int i = 0; i < N; ++i) {
        const int pos = W * i, limb = pos / 64, off = pos % 64;
        u64 bits = limb < 4 ? k.v[limb] >> off : 0;
        if (off > 64 - W && limb < 3) bits |= k.v[limb + 1] << (64 - off);
        const u64 v = (bits & (((u64)1 << W) - 1)) + carry;
        const u64 neg = (((u64)1 << (W - 1)) - v) >> 63;  // v > 2^(W-1)
        digits[i].mag = v ^ ((v ^ (((u64)1 << W) - v)) & ((u64)0 - neg));  // neg ? 2^W - v : v
        digits[i].neg = neg;
        carry = neg;
    }
}

void NegateIf(Fe& y, u64 neg)
{
    Fe ny;
    Neg<kP>(ny, y);
    Select(y, ny, (u64)0 - neg);
}

// Fixed-base table: window i holds j * 2^(6 i) G for j = 1..32, affine.
constexpr int kBaseW = 6, kBaseWindows = 43, kBaseEntries = 32;
AffinePoint (*g_pBase)[kBaseEntries] = nullptr;
std::once_flag g_onceBase;

void BuildBaseTable()
{
    static AffinePoint s_table[kBaseWindows][kBaseEntries];
    Point w = FromAffine(kGx, kGy);
    for (int i = 0; i < kBaseWindows; ++i) {
        Point jw = w;
        for (int j = 0; j < kBaseEntries; ++j) {
            Fe x, y;
            ToAffine(x, y, jw);
            ToMont<kP>(s_table[i][j].x, x);
            ToMont<kP>(s_table[i][j].y, y);
            PointAdd(jw, jw, w);
        }
        for (int j = 0; j < kBaseW; ++j)
            PointDouble(w, w);
    }
    g_pBase = s_table;
}

// The entry of |d| (every entry read), negated when d < 0; zeros for d = 0.
AffinePoint SelectBase(const AffinePoint* row, const Digit& d)
{
    AffinePoint r = {{{0, 0, 0, 0}}, {{0, 0, 0, 0}}};
    for (int j = 0; j < kBaseEntries; ++j) {
        const u64 mask = MaskIsZero64(d.mag ^ (u64)(j + 1));
        Select(r.x, row[j].x, mask);
        Select(r.y, row[j].y, mask);
    }
    NegateIf(r.y, d.neg);
    return r;
}

// Variable-base window: j * P for j = 1..16.
constexpr int kVarW = 5, kVarWindows = 52, kVarEntries = 16;

// Width-5 NAF of a public k (at most 257 digits, odd digits in [-15, 15]); returns the length.
int Wnaf(const Fe& k, int naf[258])
{
    u64 w[5] = {k.v[0], k.v[1], k.v[2], k.v[3], 0};
    int len = 0;
    while ((w[0] | w[1] | w[2] | w[3] | w[4]) != 0) {
        int d = 0;
        if (w[0] & 1) {
            d = (int)(w[0] & 31);
            if (d >= 16) d -= 32;
            if (d > 0) {
                w[0] -= (u64)d;  // w[0] is at least d: they share the low five bits
            } else {
                u64 carry = (u64)-d;
                for (int i = 0; i < 5 && carry; ++i) {
                    w[i] += carry;
                    carry = w[i] < carry ? 1 : 0;
                }
            }
        }
        naf[len++] = d;
        for (int i = 0; i < 4; ++i)
            w[i] = w[i] >> 1 | w[i + 1] << 63;
        w[4] >>= 1;
    }
    return len;
}

JPoint SelectVarJ(const JPoint (&table)[16], const Digit& d)
{
    JPoint r = kJInfinity;
    for (int j = 0; j < 16; ++j)
        SelectJ(r, table[j], MaskIsZero64(d.mag ^ (u64)(j + 1)));
    NegateIf(r.Y, d.neg);
    return r;
}

}  // namespace

Point Infinity() { return Point{{{0, 0, 0, 0}}, MontOne<kP>(), {{0, 0, 0, 0}}}; }

Point FromAffine(const Fe& x, const Fe& y)
{
    Point p;
    ToMont<kP>(p.X, x);
    ToMont<kP>(p.Y, y);
    p.Z = MontOne<kP>();
    return p;
}

u64 ToAffine(Fe& x, Fe& y, const Point& p)
{
    Fe zi, t;
    MontInv<kP>(zi, p.Z);
    Mul(t, p.X, zi);
    FromMont<kP>(x, t);
    Mul(t, p.Y, zi);
    FromMont<kP>(y, t);
    return ~MaskIsZero(p.Z);
}

// Algorithm 4.
void PointAdd(Point& r, const Point& p, const Point& q)
{
    Fe t0, t1, t2, t3, t4, X3, Y3, Z3;
    Mul(t0, p.X, q.X); Mul(t1, p.Y, q.Y); Mul(t2, p.Z, q.Z);
    FAdd(t3, p.X, p.Y); FAdd(t4, q.X, q.Y); Mul(t3, t3, t4);
    FAdd(t4, t0, t1); FSub(t3, t3, t4); FAdd(t4, p.Y, p.Z);
    FAdd(X3, q.Y, q.Z); Mul(t4, t4, X3); FAdd(X3, t1, t2);
    FSub(t4, t4, X3); FAdd(X3, p.X, p.Z); FAdd(Y3, q.X, q.Z);
    Mul(X3, X3, Y3); FAdd(Y3, t0, t2); FSub(Y3, X3, Y3);
    Mul(Z3, kB, t2); FSub(X3, Y3, Z3); FAdd(Z3, X3, X3);
    FAdd(X3, X3, Z3); FSub(Z3, t1, X3); FAdd(X3, t1, X3);
    Mul(Y3, kB, Y3); FAdd(t1, t2, t2); FAdd(t2, t1, t2);
    FSub(Y3, Y3, t2); FSub(Y3, Y3, t0); FAdd(t1, Y3, Y3);
    FAdd(Y3, t1, Y3); FAdd(t1, t0, t0); FAdd(t0, t1, t0);
    FSub(t0, t0, t2); Mul(t1, t4, Y3); Mul(t2, t0, Y3);
    Mul(Y3, X3, Z3); FAdd(Y3, Y3, t2); Mul(X3, t3, X3);
    FSub(X3, X3, t1); Mul(Z3, t4, Z3); Mul(t1, t3, t0);
    FAdd(Z3, Z3, t1);
    r.X = X3; r.Y = Y3; r.Z = Z3;
}

// Algorithm 5 (q affine, Z = 1).
void PointAddAffine(Point& r, const Point& p, const AffinePoint& q)
{
    Fe t0, t1, t2, t3, t4, X3, Y3, Z3;
    Mul(t0, p.X, q.x); Mul(t1, p.Y, q.y); FAdd(t3, q.x, q.y);
    FAdd(t4, p.X, p.Y); Mul(t3, t3, t4); FAdd(t4, t0, t1);
    FSub(t3, t3, t4); Mul(t4, q.y, p.Z); FAdd(t4, t4, p.Y);
    Mul(Y3, q.x, p.Z); FAdd(Y3, Y3, p.X); Mul(Z3, kB, p.Z);
    FSub(X3, Y3, Z3); FAdd(Z3, X3, X3); FAdd(X3, X3, Z3);
    FSub(Z3, t1, X3); FAdd(X3, t1, X3); Mul(Y3, kB, Y3);
    FAdd(t1, p.Z, p.Z); FAdd(t2, t1, p.Z); FSub(Y3, Y3, t2);
    FSub(Y3, Y3, t0); FAdd(t1, Y3, Y3); FAdd(Y3, t1, Y3);
    FAdd(t1, t0, t0); FAdd(t0, t1, t0); FSub(t0, t0, t2);
    Mul(t1, t4, Y3); Mul(t2, t0, Y3); Mul(Y3, X3, Z3);
    FAdd(Y3, Y3, t2); Mul(X3, t3, X3); FSub(X3, X3, t1);
    Mul(Z3, t4, Z3); Mul(t1, t3, t0); FAdd(Z3, Z3, t1);
    r.X = X3; r.Y = Y3; r.Z = Z3;
}

// Algorithm 6.
void PointDouble(Point& r, const Point& p)
{
    Fe t0, t1, t2, t3, X3, Y3, Z3;
    Sqr(t0, p.X); Sqr(t1, p.Y); Sqr(t2, p.Z);
    Mul(t3, p.X, p.Y); FAdd(t3, t3, t3); Mul(Z3, p.X, p.Z);
    FAdd(Z3, Z3, Z3); Mul(Y3, kB, t2); FSub(Y3, Y3, Z3);
    FAdd(X3, Y3, Y3); FAdd(Y3, X3, Y3); FSub(X3, t1, Y3);
    FAdd(Y3, t1, Y3); Mul(Y3, X3, Y3); Mul(X3, X3, t3);
    FAdd(t3, t2, t2); FAdd(t2, t2, t3); Mul(Z3, kB, Z3);
    FSub(Z3, Z3, t2); FSub(Z3, Z3, t0); FAdd(t3, Z3, Z3);
    FAdd(Z3, Z3, t3); FAdd(t3, t0, t0); FAdd(t0, t3, t0);
    FSub(t0, t0, t2); Mul(t0, t0, Z3); FAdd(Y3, Y3, t0);
    Mul(t0, p.Y, p.Z); FAdd(t0, t0, t0); Mul(Z3, t0, Z3);
    FSub(X3, X3, Z3); Mul(Z3, t0, t1); FAdd(Z3, Z3, Z3);
    FAdd(Z3, Z3, Z3);
    r.X = X3; r.Y = Y3; r.Z = Z3;
}

bool IsOnCurve(const Fe& x, const Fe& y)
{
    Fe xm, ym, lhs, rhs, t;
    ToMont<kP>(xm, x);
    ToMont<kP>(ym, y);
    Sqr(lhs, ym);
    Sqr(t, xm);
    Mul(rhs, t, xm);  // x^3
    FSub(rhs, rhs, xm);
    FSub(rhs, rhs, xm);
    FSub(rhs, rhs, xm);
    FAdd(rhs, rhs, kB);
    return 0 != MaskEqual(lhs, rhs);
}

void PrepareBaseTable() { std::call_once(g_onceBase, BuildBaseTable); }

// Signed 6-bit windows over k mod n, one table row per window and no doubling. For k < n
// the running sum and the row's point are never the same point (their multiples of G
// differ by less than n and the running one is the smaller), so the Jacobian sum needs
// only the infinity cases, taken by selection.
Point BaseMul(const Fe& k)
{
    PrepareBaseTable();
    Fe kr;
    Reduce<kN>(kr, k);
    Digit digits[kBaseWindows];
    Recode<kBaseW>(kr, digits);
    JPoint q = kJInfinity;
    for (int i = 0; i < kBaseWindows; ++i) {
        const AffinePoint e = SelectBase(g_pBase[i], digits[i]);
        JPoint sum;
        JAddAffineUnchecked(sum, q, e);
        SelectJ(sum, LiftAffine(e), MaskIsZero(q.Z));
        SelectJ(q, sum, ~MaskIsZero64(digits[i].mag));
    }
    OPENSSL_cleanse(digits, sizeof(digits));
    OPENSSL_cleanse(&kr, sizeof(kr));
    return FromJacobian(q);
}

// Signed 5-bit windows over k mod n. For k < n the running sum [a]P and the window's
// [d]P are never the same point (a is 0 or a multiple of 32 below n + 16, |d| <= 16), so
// the Jacobian sum needs only the infinity cases, taken by selection.
Point ScalarMul(const Fe& k, const Fe& x, const Fe& y)
{
    Fe kr;
    Reduce<kN>(kr, k);
    // j P for j = 1..16, each step a mixed addition with the affine P ((j - 1) P for
    // j - 1 >= 2 is neither P nor infinity).
    AffinePoint pa;
    ToMont<kP>(pa.x, x);
    ToMont<kP>(pa.y, y);
    JPoint table[kVarEntries];
    table[0] = LiftAffine(pa);
    JDouble(table[1], table[0]);
    for (int j = 2; j < kVarEntries; ++j)
        JAddAffineUnchecked(table[j], table[j - 1], pa);
    Digit digits[kVarWindows];
    Recode<kVarW>(kr, digits);
    JPoint q = SelectVarJ(table, digits[kVarWindows - 1]);
    for (int i = kVarWindows - 2; i >= 0; --i) {
        for (int j = 0; j < kVarW; ++j)
            JDouble(q, q);
        JAddNoDouble(q, q, SelectVarJ(table, digits[i]));
    }
    OPENSSL_cleanse(digits, sizeof(digits));
    return FromJacobian(q);
}

Point DoubleMulPublic(const Fe& s, const Fe& t, const Point& p)
{
    PrepareBaseTable();
    Digit digits[kBaseWindows];
    Recode<kBaseW>(s, digits);
    JPoint sg = kJInfinity;
    for (int i = 0; i < kBaseWindows; ++i) {
        if (0 == digits[i].mag) continue;
        AffinePoint e = g_pBase[i][digits[i].mag - 1];
        if (digits[i].neg) Neg<kP>(e.y, e.y);
        JPoint sum;
        if (MaskIsZero(sg.Z))
            sg = LiftAffine(e);
        else if (JAddAffineUnchecked(sum, sg, e))
            JDouble(sg, sg);
        else
            sg = sum;
    }
    // Odd multiples P, 3P, ..., 15P and their negatives.
    JPoint odd[8], neg[8], twice;
    odd[0] = ToJacobian(p);
    JDouble(twice, odd[0]);
    for (int j = 1; j < 8; ++j)
        JAddPublic(odd[j], odd[j - 1], twice);
    for (int j = 0; j < 8; ++j) {
        neg[j] = odd[j];
        Neg<kP>(neg[j].Y, neg[j].Y);
    }
    int naf[258];
    const int len = Wnaf(t, naf);
    JPoint q = kJInfinity;
    for (int i = len - 1; i >= 0; --i) {
        JDouble(q, q);
        if (naf[i] > 0) JAddPublic(q, q, odd[naf[i] / 2]);
        if (naf[i] < 0) JAddPublic(q, q, neg[-naf[i] / 2]);
    }
    JAddPublic(q, q, sg);
    return FromJacobian(q);
}

}  // namespace sm2p256
}  // namespace smk
