// The SM2 key check against OpenSSL's own SM2 curve (default library context) as the peer that
// computes [d]G.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <gtest/gtest.h>

#include "OsslPtr.h"
#include "SM2KeyCheck.h"
#include "TestBytes.h"

namespace {

using support::Bytes;

struct Pair {
    Bytes d, x, y;
};

// d as 32 octets and [d]G by OpenSSL; empty x, y when d is no scalar OpenSSL multiplies.
Pair PeerPair(const BIGNUM* pD)
{
    Pair pair{Bytes(32), Bytes(32), Bytes(32)};
    morv::OsslPtr<EC_GROUP> pGroup(EC_GROUP_new_by_curve_name(NID_sm2));
    morv::OsslPtr<EC_POINT> pPoint(EC_POINT_new(pGroup.get()));
    morv::OsslPtr<BIGNUM> pX(BN_new()), pY(BN_new());
    BN_bn2binpad(pD, pair.d.data(), 32);
    if (1 != EC_POINT_mul(pGroup.get(), pPoint.get(), pD, NULL, NULL, NULL) ||
        1 != EC_POINT_get_affine_coordinates(pGroup.get(), pPoint.get(), pX.get(), pY.get(), NULL))
        return pair;
    BN_bn2binpad(pX.get(), pair.x.data(), 32);
    BN_bn2binpad(pY.get(), pair.y.data(), 32);
    return pair;
}

morv::OsslPtr<BIGNUM> OrderMinus(unsigned long nSub)
{
    morv::OsslPtr<EC_GROUP> pGroup(EC_GROUP_new_by_curve_name(NID_sm2));
    morv::OsslPtr<BIGNUM> pN(BN_dup(EC_GROUP_get0_order(pGroup.get())));
    BN_sub_word(pN.get(), nSub);
    return pN;
}

TEST(SM2KeyCheck, KeyInRangeWhosePointIsTheCertificates)
{
    morv::OsslPtr<BIGNUM> pOne(BN_new()), pRandom(BN_new());
    const morv::OsslPtr<BIGNUM> pMax = OrderMinus(2);
    BN_one(pOne.get());
    ASSERT_EQ(1, BN_rand_range(pRandom.get(), pMax.get()));
    BN_add_word(pRandom.get(), 1);
    const BIGNUM* const apKeys[] = {pOne.get(), pRandom.get(), pMax.get()};
    for (const BIGNUM* pD : apKeys) {
        const Pair pair = PeerPair(pD);
        EXPECT_EQ(1, _SM2_CheckKeyPair(pair.d.data(), pair.x.data(), pair.y.data()));
        Bytes y = pair.y;
        y[31] ^= 1;
        EXPECT_EQ(0, _SM2_CheckKeyPair(pair.d.data(), pair.x.data(), y.data()));
        Bytes otherD = pair.d;
        otherD[31] ^= 2;
        EXPECT_EQ(0, _SM2_CheckKeyPair(otherD.data(), pair.x.data(), pair.y.data()));
    }
    // n - 1 has a point ([n - 1]G = -G) but is no private key: 1 + d is not invertible.
    const Pair last = PeerPair(OrderMinus(1).get());
    EXPECT_EQ(0, _SM2_CheckKeyPair(last.d.data(), last.x.data(), last.y.data()));
    const Bytes zero(32, 0);
    EXPECT_EQ(0, _SM2_CheckKeyPair(zero.data(), last.x.data(), last.y.data()));
    EXPECT_EQ(0, _SM2_CheckKeyPair(nullptr, last.x.data(), last.y.data()));
}

}  // namespace
