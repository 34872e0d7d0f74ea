#ifndef MORV_SM2_KEY_EXCHANGE_H
#define MORV_SM2_KEY_EXCHANGE_H

// Elliptic-curve steps of the SM2 key exchange protocol (GB/T 32918.3-2016 6.1): the
// temporary key pair, ceil(log2 n), x-bar, t and the shared point V. The hash steps (Z
// values, KDF over V, confirmation hashes) are the caller's, with SM3 and the SM2 helpers.
// 1 on success, 0 on failure; no log, no error-queue entry. All numbers are the caller's.
#include <openssl/bn.h>

#include "SMObjects.h"
#include "vomu_export.h"

VOMU_BEGIN_C

// r uniform in [1, n - 1]; (x, y) = the affine point [r]G.
VOMU_EXPORT int _SM2_generate_temp_keypair(BIGNUM* r, BIGNUM* x, BIGNUM* y, int curveNid);

// *k = ceil(log2 n), the smallest k >= 1 with 2^k >= n; 0 when n < 2 (*k is then 1).
VOMU_EXPORT int _SM2_log2n(const BIGNUM* n, int* k);

// r = a AND b, bit by bit over the magnitudes.
VOMU_EXPORT int _SM2_BNBitAND(BIGNUM* r, const BIGNUM* a, const BIGNUM* b);

// x-bar = 2^w + (x AND (2^w - 1)); w >= 1.
VOMU_EXPORT int _SM2_KEP_calculate_xDash(BIGNUM* xDash, const BIGNUM* x, int w);

// t = (d + x-bar * r) mod n.
VOMU_EXPORT int _SM2_KEP_calculate_t(BIGNUM* t, const BIGNUM* d, const BIGNUM* xDash, const BIGNUM* r,
                                     const BIGNUM* n);

// V = [h * t](P + [x-bar]R) for the peer's public key P and temporary point R; 0 when V is
// the point at infinity, a point is off the curve or a step fails.
VOMU_EXPORT int _SM2_KEP_calculate_point_V(BIGNUM* xV, BIGNUM* yV, const BIGNUM* xP, const BIGNUM* yP,
                                           const BIGNUM* xR, const BIGNUM* yR, const BIGNUM* h,
                                           const BIGNUM* t, const BIGNUM* xDash, int curveNid);

VOMU_END_C

#endif
