#ifndef SMK_SM2P256_H
#define SMK_SM2P256_H

// The published SM2 curve (y^2 = x^3 - 3x + b over p = 2^256 - 2^224 - 2^96 + 2^64 - 1, prime
// order n) with arithmetic of our own: the SM2 entry points use it for that curve, the
// BIGNUM/EC_POINT path serves every other curve.
//
// Numbers are 32 bytes big-endian. Functions marked constant time have no branch and no
// memory index that depends on their secret inputs; their results are for the caller to
// branch on.
#include "SM2P256Field.h"

namespace smk {
namespace sm2p256 {

// Points in homogeneous projective coordinates (X : Y : Z), Montgomery form; the point at
// infinity is (0 : 1 : 0). The formulas are complete (the curve has prime order): no input
// pair needs a special case.
struct Point {
    Fe X, Y, Z;
};

// An affine point in Montgomery form (the fixed-base table).
struct AffinePoint {
    Fe x, y;
};

Point Infinity();
// (x, y) in normal form to a point; no check that it lies on the curve.
Point FromAffine(const Fe& x, const Fe& y);
// Affine coordinates in normal form; all-ones mask when the point is finite, else 0 and
// (0, 0). Constant time.
u64 ToAffine(Fe& x, Fe& y, const Point& p);

void PointAdd(Point& r, const Point& a, const Point& b);
void PointAddAffine(Point& r, const Point& a, const AffinePoint& b);  // b finite
void PointDouble(Point& r, const Point& a);

// 1 when (x, y), in normal form and reduced, satisfies the curve equation.
bool IsOnCurve(const Fe& x, const Fe& y);

// [k]G from the precomputed table, k any 256-bit number. Constant time.
Point BaseMul(const Fe& k);
// [k]P for a point P = (x, y) of the curve (normal form), k any 256-bit number. Constant time.
Point ScalarMul(const Fe& k, const Fe& x, const Fe& y);
// [s]G + [t]P for public s, t and P (verification): variable time.
Point DoubleMulPublic(const Fe& s, const Fe& t, const Point& p);

// Builds the fixed-base table if it is not built yet (thread-safe, once per process).
void PrepareBaseTable();

// [k]G (pbyPx NULL) or [k]P as x || y fields. 1 when the result is finite. Constant time
// in k.
int MulToFields(const unsigned char k[32], const unsigned char* pbyPx, const unsigned char* pbyPy,
                unsigned char xy[64]);

// [k]G and [k]P at once (encryption's C1 and shared point): both points' inversions run
// side by side. 1 when both are finite. Constant time in k.
int MulBaseAndPointToFields(const unsigned char k[32], const unsigned char px[32], const unsigned char py[32],
                            unsigned char kg[64], unsigned char kp[64]);

// GB/T 32918.2 6.1 A4-A6 with nonce k: r = (e + x1) mod n, s = (1 + d)^-1 (k - r d) mod n.
// 1 with r and s written; 0 when the nonce gives r = 0, r + k = n or s = 0 (draw again);
// -1 when 1 + d = 0 mod n (no signature with this key). Constant time in d and k.
int Sign(const unsigned char e[32], const unsigned char d[32], const unsigned char k[32], unsigned char r[32],
         unsigned char s[32]);

// (1 + d)^-1 mod n, for a key that signs many times: 1, or -1 (inv all zero) when
// 1 + d = 0 mod n. Constant time in d.
int SignInverse(const unsigned char d[32], unsigned char inv[32]);

// Sign with inv = (1 + d)^-1 mod n from SignInverse, so that only Z^-1 is left to invert
// (the inversion mod n is over a quarter of Sign's time); the same codes. Constant time in
// d, inv and k.
int SignWithInverse(const unsigned char e[32], const unsigned char d[32], const unsigned char inv[32],
                    const unsigned char k[32], unsigned char r[32], unsigned char s[32]);

// GB/T 32918.2 7.1 B5-B7 for r, s in [1, n - 1] and a public point (x, y) of the curve:
// 1 when (e + x1') mod n = r, 0 when not or t = r + s = 0 mod n, -1 when [s]G + [t]P is
// the point at infinity.
int Verify(const unsigned char e[32], const unsigned char r[32], const unsigned char s[32],
           const unsigned char x[32], const unsigned char y[32]);

}  // namespace sm2p256
}  // namespace smk

#endif
