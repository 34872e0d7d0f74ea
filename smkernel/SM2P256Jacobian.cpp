// Jacobian point formulas on the published SM2 curve (a = -3) from the Explicit-Formulas
// Database: dbl-2001-b, add-2007-bl and madd-2007-bl.
#include "SM2P256Jacobian.h"

namespace smk {
namespace sm2p256 {

JPoint ToJacobian(const Point& p)  // (X : Y : Z) is (XZ, YZ^2, Z) in Jacobian form
{
    JPoint j;
    Fe z2;
    Mul(j.X, p.X, p.Z);
    Sqr(z2, p.Z);
    Mul(j.Y, p.Y, z2);
    j.Z = p.Z;
    return j;
}

Point FromJacobian(const JPoint& j)  // (X : Y : Z) Jacobian is (XZ : Y : Z^3) projective
{
    Point p;
    Fe z2;
    Mul(p.X, j.X, j.Z);
    p.Y = j.Y;
    Sqr(z2, j.Z);
    Mul(p.Z, z2, j.Z);
    Select(p.Y, MontOne<kP>(), MaskIsZero(j.Z));  // infinity as (0 : 1 : 0)
    return p;
}

// dbl-2001-b for a = -3, with Y' = 2Y: 4 gamma = Y'^2, 4 beta = X Y'^2, 8 gamma^2 =
// (Y'^2)^2 / 2 and Z3 = Y' Z (fewer sums than the textbook order). The point at infinity
// doubles to itself.
void JDouble(JPoint& r, const JPoint& p)
{
    Fe delta, y2, g4, b4, alpha, t, u;
    Sqr(delta, p.Z);
    FAdd(y2, p.Y, p.Y);
    Sqr(g4, y2);
    Mul(b4, p.X, g4);
    FSub(t, p.X, delta);
    FAdd(u, p.X, delta);
    Mul(alpha, t, u);
    FAdd(t, alpha, alpha);
    FAdd(alpha, t, alpha);
    Mul(r.Z, y2, p.Z);
    Sqr(t, alpha);
    FSub(t, t, b4);
    FSub(r.X, t, b4);
    FSub(t, b4, r.X);
    Mul(t, alpha, t);
    Sqr(u, g4);
    Half<kP>(u, u);
    FSub(r.Y, t, u);
}

// add-2007-bl. Neither input is at infinity and they differ, or the sum is at infinity
// (opposite points give Z = 0). Returns all ones when p = q (the result is then wrong and
// the caller doubles instead).
u64 JAddUnchecked(JPoint& r, const JPoint& p, const JPoint& q)
{
    Fe z1z1, z2z2, u1, u2, s1, s2, h, i, j, rr, v, t;
    Sqr(z1z1, p.Z);
    Sqr(z2z2, q.Z);
    Mul(u1, p.X, z2z2);
    Mul(u2, q.X, z1z1);
    Mul(s1, p.Y, q.Z);
    Mul(s1, s1, z2z2);
    Mul(s2, q.Y, p.Z);
    Mul(s2, s2, z1z1);
    FSub(h, u2, u1);
    FSub(rr, s2, s1);
    const u64 same = MaskIsZero(h) & MaskIsZero(rr);
    FAdd(rr, rr, rr);
    FAdd(i, h, h);
    Sqr(i, i);
    Mul(j, h, i);
    Mul(v, u1, i);
    FAdd(t, p.Z, q.Z);
    Sqr(t, t);
    FSub(t, t, z1z1);
    FSub(t, t, z2z2);
    Mul(r.Z, t, h);
    Sqr(t, rr);
    FSub(t, t, j);
    FSub(t, t, v);
    FSub(r.X, t, v);
    FSub(t, v, r.X);
    Mul(t, rr, t);
    Mul(s1, s1, j);
    FAdd(s1, s1, s1);
    FSub(r.Y, t, s1);
    return same;
}

// madd-2007-bl: p + (x, y) for an affine q, on the same terms as JAddUnchecked.
u64 JAddAffineUnchecked(JPoint& r, const JPoint& p, const AffinePoint& q)
{
    Fe z1z1, u2, s2, h, hh, i, j, rr, v, t;
    Sqr(z1z1, p.Z);
    Mul(u2, q.x, z1z1);
    Mul(s2, q.y, p.Z);
    Mul(s2, s2, z1z1);
    FSub(h, u2, p.X);
    FSub(rr, s2, p.Y);
    const u64 same = MaskIsZero(h) & MaskIsZero(rr);
    FAdd(rr, rr, rr);
    Sqr(hh, h);
    FAdd(i, hh, hh);
    FAdd(i, i, i);
    Mul(j, h, i);
    Mul(v, p.X, i);
    FAdd(t, p.Z, h);
    Sqr(t, t);
    FSub(t, t, z1z1);
    FSub(r.Z, t, hh);
    Sqr(t, rr);
    FSub(t, t, j);
    FSub(t, t, v);
    Fe x3;
    FSub(x3, t, v);
    FSub(t, v, x3);
    Mul(t, rr, t);
    Mul(s2, p.Y, j);
    FAdd(s2, s2, s2);
    FSub(r.Y, t, s2);
    r.X = x3;
    return same;
}

JPoint LiftAffine(const AffinePoint& q) { return JPoint{q.x, q.y, MontOne<kP>()}; }

// p + q in constant time when p = q cannot occur (the fixed window below): the infinity
// cases by selection.
void JAddNoDouble(JPoint& r, const JPoint& p, const JPoint& q)
{
    JPoint s;
    JAddUnchecked(s, p, q);
    SelectJ(s, q, MaskIsZero(p.Z));
    SelectJ(s, p, MaskIsZero(q.Z));
    r = s;
}

// p + q for public points: every case by branching.
void JAddPublic(JPoint& r, const JPoint& p, const JPoint& q)
{
    if (MaskIsZero(p.Z)) { r = q; return; }
    if (MaskIsZero(q.Z)) { r = p; return; }
    JPoint s;
    if (JAddUnchecked(s, p, q)) { JDouble(r, p); return; }
    r = s;
}

}  // namespace sm2p256
}  // namespace smk
