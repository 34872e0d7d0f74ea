#ifndef SMK_SM2P256_JACOBIAN_H
#define SMK_SM2P256_JACOBIAN_H

// Jacobian formulas for the loops of SM2P256Point.cpp (x = X / Z^2, y = Y / Z^3; a = -3).
#include "SM2P256.h"

namespace smk {
namespace sm2p256 {

// Jacobian coordinates (x = X / Z^2, y = Y / Z^3, Z = 0 at infinity) for the loops that
// double most: a doubling costs eight products here against thirteen in the complete form.
struct JPoint {
    Fe X, Y, Z;
};

inline constexpr JPoint kJInfinity = {{{0, 0, 0, 0}}, {{kP.one[0], kP.one[1], kP.one[2], kP.one[3]}}, {{0, 0, 0, 0}}};

// (X : Y : Z) projective is (XZ, YZ^2, Z) Jacobian, and back.
JPoint ToJacobian(const Point& p);
Point FromJacobian(const JPoint& j);
// (x, y, 1) for an affine point.
JPoint LiftAffine(const AffinePoint& q);

// 2p; the point at infinity doubles to itself.
void JDouble(JPoint& r, const JPoint& p);

// p + q when neither is at infinity and they differ, or their sum is at infinity (opposite
// points give Z = 0). All ones when p = q: the result is then wrong and the caller doubles.
u64 JAddUnchecked(JPoint& r, const JPoint& p, const JPoint& q);
// The same for an affine q.
u64 JAddAffineUnchecked(JPoint& r, const JPoint& p, const AffinePoint& q);

// r = mask ? a : r.
SM2P256_INLINE void SelectJ(JPoint& r, const JPoint& a, u64 mask)
{
    Select(r.X, a.X, mask);
    Select(r.Y, a.Y, mask);
    Select(r.Z, a.Z, mask);
}

// p + q in constant time where p = q cannot occur: the infinity cases by selection.
void JAddNoDouble(JPoint& r, const JPoint& p, const JPoint& q);
// p + q for public points: every case by branching.
void JAddPublic(JPoint& r, const JPoint& p, const JPoint& q);

}  // namespace sm2p256
}  // namespace smk

#endif
