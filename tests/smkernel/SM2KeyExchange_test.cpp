// Key-exchange helpers against the worked example of GB/T 32918.3-2016 A.2 (example curve).
#include <gtest/gtest.h>

#include <cstring>

#include <openssl/err.h>

#include "OsslPtr.h"
#include "SM2.h"
#include "SM2KeyExchange.h"
#include "SmPeer.h"

using morv::OsslPtr;
using smtest::ToHex;

namespace {

OsslPtr<BIGNUM> Hex(const char* psz)
{
    BIGNUM* p = NULL;
    BN_hex2bn(&p, psz);
    return OsslPtr<BIGNUM>(p);
}

std::string BnHex(const BIGNUM* bn)
{
    char* psz = BN_bn2hex(bn);
    std::string s = psz ? psz : "";
    OPENSSL_free(psz);
    return s;
}

struct Side {
    const char* id;
    OsslPtr<BIGNUM> d, x, y, r, xR, yR;
};

// Z of one side over the example curve's parameters.
std::string ExampleZ(const Side& side, unsigned char z[32])
{
    const EC_GROUP* g = smk::SMGroup(NID_prime256v1SM2TEST);
    OsslPtr<BIGNUM> a(BN_new()), b(BN_new()), xG(BN_new()), yG(BN_new());
    EC_GROUP_get_curve(g, NULL, a.get(), b.get(), NULL);
    EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), xG.get(), yG.get(), NULL);
    _SM2_CalculateZValue((const unsigned char*)side.id, (unsigned)strlen(side.id), a.get(), b.get(), xG.get(),
                         yG.get(), side.x.get(), side.y.get(), z);
    return ToHex(z, 32);
}

}  // namespace

TEST(SM2KeyExchange, ExampleOfTheStandard)
{
    Side A{"ALICE123@YAHOO.COM",
           Hex("6FCBA2EF9AE0AB902BC3BDE3FF915D44BA4CC78F88E2F8E7F8996D3B8CCEEDEE"),
           Hex("3099093BF3C137D8FCBBCDF4A2AE50F3B0F216C3122D79425FE03A45DBFE1655"),
           Hex("3DF79E8DAC1CF0ECBAA2F2B49D51A4B387F2EFAF482339086A27A8E05BAED98B"),
           Hex("83A2C9C8B96E5AF70BD480B472409A9A327257F1EBB73F5B073354B248668563"),
           Hex("6CB5633816F4DD560B1DEC458310CBCC6856C09505324A6D23150C408F162BF0"),
           Hex("0D6FCF62F1036C0A1B6DACCF57399223A65F7D7BF2D9637E5BBBEB857961BF1A")};
    Side B{"BILL456@YAHOO.COM",
           Hex("5E35D7D3F3C54DBAC72E61819E730B019A84208CA3A35E4C2E353DFCCB2A3B53"),
           Hex("245493D446C38D8CC0F118374690E7DF633A8A4BFB3329B5ECE604B2B4F37F43"),
           Hex("53C0869F4B9E17773DE68FEC45E14904E0DEA45BF6CECF9918C85EA047C60A4C"),
           Hex("33FE21940342161C55619C4A0C060293D543C80AF19748CE176D83477DE71C80"),
           Hex("1799B2A2C778295300D9A2325C686129B8F2B5337B3DCF4514E8BBC19D900EE5"),
           Hex("54C9288C82733EFDF7808AE7F27D0E732F7C73A7D9AC98B7D8740A91D0DB3CF4")};
    const EC_GROUP* g = smk::SMGroup(NID_prime256v1SM2TEST);
    const BIGNUM* n = EC_GROUP_get0_order(g);
    const BIGNUM* h = EC_GROUP_get0_cofactor(g);
    int k = 0;
    ASSERT_EQ(1, _SM2_log2n(n, &k));
    const int w = (k + 1) / 2 - 1;
    ASSERT_EQ(127, w);

    OsslPtr<BIGNUM> xDashA(BN_new()), xDashB(BN_new()), tA(BN_new()), tB(BN_new());
    ASSERT_EQ(1, _SM2_KEP_calculate_xDash(xDashA.get(), A.xR.get(), w));
    ASSERT_EQ(1, _SM2_KEP_calculate_xDash(xDashB.get(), B.xR.get(), w));
    EXPECT_EQ("E856C09505324A6D23150C408F162BF0", BnHex(xDashA.get()));
    EXPECT_EQ("B8F2B5337B3DCF4514E8BBC19D900EE5", BnHex(xDashB.get()));
    ASSERT_EQ(1, _SM2_KEP_calculate_t(tA.get(), A.d.get(), xDashA.get(), A.r.get(), n));
    ASSERT_EQ(1, _SM2_KEP_calculate_t(tB.get(), B.d.get(), xDashB.get(), B.r.get(), n));
    EXPECT_EQ("236CF0C7A177C65C7D55E12D361F7A6C174A78698AC099C0874AD0658A4743DC", BnHex(tA.get()));
    EXPECT_EQ("2B2E11CBF03641FC3D939262FC0B652A70ACAA25B5369AD38B375C0265490C9F", BnHex(tB.get()));

    // B computes V from A's keys, A computes U from B's: the same point.
    OsslPtr<BIGNUM> xV(BN_new()), yV(BN_new()), xU(BN_new()), yU(BN_new());
    ASSERT_EQ(1, _SM2_KEP_calculate_point_V(xV.get(), yV.get(), A.x.get(), A.y.get(), A.xR.get(), A.yR.get(), h,
                                            tB.get(), xDashA.get(), NID_prime256v1SM2TEST));
    ASSERT_EQ(1, _SM2_KEP_calculate_point_V(xU.get(), yU.get(), B.x.get(), B.y.get(), B.xR.get(), B.yR.get(), h,
                                            tA.get(), xDashB.get(), NID_prime256v1SM2TEST));
    EXPECT_EQ("47C826534DC2F6F1FBF28728DD658F21E174F48179ACEF2900F8B7F566E40905", BnHex(xV.get()));
    EXPECT_EQ("2AF86EFE732CF12AD0E09A1F2556CC650D9CCCE3E249866BBB5C6846A4C4A295", BnHex(yV.get()));
    EXPECT_EQ(BnHex(xV.get()), BnHex(xU.get()));
    EXPECT_EQ(BnHex(yV.get()), BnHex(yU.get()));

    // K = KDF(xV || yV || ZA || ZB, 128).
    unsigned char zA[32], zB[32], buf[128], key[16];
    EXPECT_EQ("e4d1d0c3ca4c7f11bc8ff8cb3f4c02a78f108fa098e51a668487240f75e20f31", ExampleZ(A, zA));
    EXPECT_EQ("6b4b6d0e276691bd4a11bf72f4fb501ae309fdacb72fa6cc336e6656119abd67", ExampleZ(B, zB));
    _SM2_GetBNBytes(xV.get(), buf);
    _SM2_GetBNBytes(yV.get(), buf + 32);
    memcpy(buf + 64, zA, 32);
    memcpy(buf + 96, zB, 32);
    ASSERT_EQ(1, _SM2_KDF(buf, sizeof(buf), 128, key));
    EXPECT_EQ("55b0ac62a6b927ba23703832c853ded4", ToHex(key, 16));
}

TEST(SM2KeyExchange, Log2n)
{
    struct Row {
        const char* n;
        int ok, k;
    } rows[] = {{"FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123", 1, 256},
                {"2", 1, 1}, {"3", 1, 2}, {"4", 1, 2}, {"5", 1, 3}, {"1", 0, 1}, {"0", 0, 1}};
    for (const Row& row : rows) {
        OsslPtr<BIGNUM> n = Hex(row.n);
        int k = -7;
        EXPECT_EQ(row.ok, _SM2_log2n(n.get(), &k)) << row.n;
        EXPECT_EQ(row.k, k) << row.n;
    }
}

TEST(SM2KeyExchange, BitAndAndXDash)
{
    OsslPtr<BIGNUM> r(BN_new()), a = Hex("F0F0FF"), b = Hex("0FF0");
    ASSERT_EQ(1, _SM2_BNBitAND(r.get(), a.get(), b.get()));
    EXPECT_EQ("F0", BnHex(r.get()));   // at most the shorter operand's bits
    // w = 127 keeps the low 127 bits and sets bit 127.
    OsslPtr<BIGNUM> x = Hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"), xDash(BN_new());
    ASSERT_EQ(1, _SM2_KEP_calculate_xDash(xDash.get(), x.get(), 127));
    EXPECT_EQ("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", BnHex(xDash.get()));
    BN_zero(x.get());
    ASSERT_EQ(1, _SM2_KEP_calculate_xDash(xDash.get(), x.get(), 127));
    EXPECT_EQ("80000000000000000000000000000000", BnHex(xDash.get()));
    EXPECT_EQ(0, _SM2_KEP_calculate_xDash(xDash.get(), x.get(), 0));
}

TEST(SM2KeyExchange, PointAtInfinityIsRefused)
{
    // P = -[x̄]R makes P + [x̄]R the point at infinity (points made by OpenSSL).
    const EC_GROUP* g = smk::SMGroup(NID_prime256v1SM2);
    OsslPtr<BIGNUM> rScalar = Hex("1234567890ABCDEF"), xDash = Hex("80000000000000000000000000000077");
    OsslPtr<EC_POINT> R(EC_POINT_new(g)), P(EC_POINT_new(g));
    ASSERT_EQ(1, EC_POINT_mul(g, R.get(), rScalar.get(), NULL, NULL, NULL));
    ASSERT_EQ(1, EC_POINT_mul(g, P.get(), NULL, R.get(), xDash.get(), NULL));
    ASSERT_EQ(1, EC_POINT_invert(g, P.get(), NULL));
    OsslPtr<BIGNUM> xR(BN_new()), yR(BN_new()), xP(BN_new()), yP(BN_new()), xV(BN_new()), yV(BN_new());
    EC_POINT_get_affine_coordinates(g, R.get(), xR.get(), yR.get(), NULL);
    EC_POINT_get_affine_coordinates(g, P.get(), xP.get(), yP.get(), NULL);
    OsslPtr<BIGNUM> t = Hex("5"), h = Hex("1");
    EXPECT_EQ(0, _SM2_KEP_calculate_point_V(xV.get(), yV.get(), xP.get(), yP.get(), xR.get(), yR.get(), h.get(),
                                            t.get(), xDash.get(), NID_prime256v1SM2));
    // With a different x̄ the same points give a finite V.
    OsslPtr<BIGNUM> otherXDash = Hex("80000000000000000000000000000078");
    EXPECT_EQ(1, _SM2_KEP_calculate_point_V(xV.get(), yV.get(), xP.get(), yP.get(), xR.get(), yR.get(), h.get(),
                                            t.get(), otherXDash.get(), NID_prime256v1SM2));
    EXPECT_EQ(0, _SM2_KEP_calculate_point_V(xV.get(), yV.get(), xP.get(), yP.get(), xR.get(), yR.get(), h.get(),
                                            t.get(), otherXDash.get(), 893));
    ERR_clear_error();
}

TEST(SM2KeyExchange, TemporaryKeyPair)
{
    const EC_GROUP* g = smk::SMGroup(NID_prime256v1SM2);
    OsslPtr<BIGNUM> r(BN_new()), x(BN_new()), y(BN_new()), px(BN_new()), py(BN_new());
    ASSERT_EQ(1, _SM2_generate_temp_keypair(r.get(), x.get(), y.get(), NID_prime256v1SM2));
    EXPECT_FALSE(BN_is_zero(r.get()));
    EXPECT_LT(BN_cmp(r.get(), EC_GROUP_get0_order(g)), 0);
    // [r]G as OpenSSL computes it on its own group.
    OsslPtr<EC_GROUP> peer(EC_GROUP_new_by_curve_name(NID_sm2));
    OsslPtr<EC_POINT> R(EC_POINT_new(peer.get()));
    ASSERT_EQ(1, EC_POINT_mul(peer.get(), R.get(), r.get(), NULL, NULL, NULL));
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(peer.get(), R.get(), px.get(), py.get(), NULL));
    EXPECT_EQ(0, BN_cmp(x.get(), px.get()));
    EXPECT_EQ(0, BN_cmp(y.get(), py.get()));
    EXPECT_EQ(0, _SM2_generate_temp_keypair(r.get(), x.get(), y.get(), 893));
}
