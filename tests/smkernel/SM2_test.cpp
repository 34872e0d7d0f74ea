// SM2 primitives against the standard's worked examples (GB/T 32918.2/.4-2016 annex A, on the
// example curve), OpenSSL 3's own SM2 in the default context, and npm sm-crypto.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <openssl/err.h>

#include "SM2.h"
#include "SM3.h"
#include "SMErr.h"
#include "SMKernel.h"
#include "vomu_result.h"
#include "Sm2Peer.h"
#include "Sm2TestUtil.h"

using namespace smtest;
using morv::OsslPtr;

namespace {

OsslPtr<BIGNUM> Hex(const char* psz)
{
    BIGNUM* p = NULL;
    BN_hex2bn(&p, psz);
    return OsslPtr<BIGNUM>(p);
}

std::string BnHex(const BIGNUM* bn)
{
    unsigned char field[32];
    return 1 == _SM2_GetBNBytes(bn, field) ? ToHex(field, 32) : "";
}

Bytes Field(const char* pszHex) { return FromHex(pszHex); }

// The newest error entry must be ours with this reason.
void ExpectSMError(int nReason)
{
    unsigned long e = ERR_peek_last_error();
    EXPECT_EQ(smk::SMErrLib(), ERR_GET_LIB(e));
    EXPECT_EQ(nReason, ERR_GET_REASON(e)) << ERR_reason_error_string(e);
    ERR_clear_error();
}

// GB/T 32918.2-2016 A.2 (example curve, Fp-256).
const char kSigId[] = "ALICE123@YAHOO.COM";
const char kSigD[] = "128B2FA8BD433C6C068C8D803DFF79792A519A55171B1B650C23661D15897263";
const char kSigXA[] = "0AE4C7798AA0F119471BEE11825BE46202BB79E2A5844495E97C04FF4DF2548A";
const char kSigYA[] = "7C0240F88F1CD4E16352A73C17B7F16F07353E53A176D684A9FE0C6BB798E857";
const char kSigK[] = "6CB28D99385C175C94F94E934817663FC176D925DD72B727260DBAAE1FB2F96F";

// Z over the example curve's own parameters, as the example computes it.
bool ExampleZ(const char* pszId, const BIGNUM* xA, const BIGNUM* yA, unsigned char z[32])
{
    const EC_GROUP* g = smk::SMGroup(NID_prime256v1SM2TEST);
    OsslPtr<BIGNUM> p(BN_new()), a(BN_new()), b(BN_new()), xG(BN_new()), yG(BN_new());
    EC_GROUP_get_curve(g, p.get(), a.get(), b.get(), NULL);
    EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), xG.get(), yG.get(), NULL);
    return 1 == _SM2_CalculateZValue((const unsigned char*)pszId, (unsigned)strlen(pszId), a.get(), b.get(),
                                     xG.get(), yG.get(), xA, yA, z);
}

}  // namespace

TEST(SM2Example, SignatureOfTheStandard)
{
    OsslPtr<BIGNUM> d = Hex(kSigD), xA = Hex(kSigXA), yA = Hex(kSigYA), k = Hex(kSigK);
    unsigned char z[32], e[32];
    ASSERT_TRUE(ExampleZ(kSigId, xA.get(), yA.get(), z));
    EXPECT_EQ("f4a38489e32b45b6f876e3ac2168ca392362dc8f23459c1d1146fc3dbfb7bc9a", ToHex(z, 32));
    SM3_CTX ctx;
    SM3_Init(&ctx);
    SM3_Update(&ctx, z, 32);
    SM3_Update(&ctx, "message digest", 14);
    SM3_Final(e, &ctx);
    EXPECT_EQ("b524f552cd82b8b028476e005c377fb19a87e6fc682d48bb5d42e3d9b9effe76", ToHex(e, 32));

    OsslPtr<BIGNUM> bnE(BN_bin2bn(e, 32, NULL));
    OsslPtr<ECDSA_SIG> sig(smk::SM2SignWithK(bnE.get(), d.get(), NID_prime256v1SM2TEST, k.get()));
    ASSERT_TRUE(sig);
    EXPECT_EQ("40f1ec59f793d9f49e09dcef49130d4194f79fb1eed2caa55bacdb49c4e755d1", BnHex(ECDSA_SIG_get0_r(sig.get())));
    EXPECT_EQ("6fc6dac32c5d5cf10c77dfb20f7c2eb667a457872fb09ec56327a67ec7deebe7", BnHex(ECDSA_SIG_get0_s(sig.get())));
    EXPECT_EQ(1, _SM2_verify(sig.get(), xA.get(), yA.get(), bnE.get(), NID_prime256v1SM2TEST));
    // The same key is no key of the published curve.
    EXPECT_EQ(0, _SM2_verify(sig.get(), xA.get(), yA.get(), bnE.get(), NID_prime256v1SM2));
    ERR_clear_error();
}

TEST(SM2Example, EncryptionOfTheStandard)
{
    // GB/T 32918.4-2016 A.2.
    OsslPtr<BIGNUM> d = Hex("1649AB77A00637BD5E2EFE283FBF353534AA7F7CB89463F208DDBC2920BB0DA0");
    OsslPtr<BIGNUM> x = Hex("435B39CCA8F3B508C1488AFC67BE491A0F7BA07E581A0E4849A5CF70628A7E0A");
    OsslPtr<BIGNUM> y = Hex("75DDBA78F15FEECB4C7895E2C1CDF5FE01DEBB2CDBADF45399CCF77BBA076A42");
    OsslPtr<BIGNUM> k = Hex("4C62EEFD6ECFC2B95B92FD6C3D9575148AFA17425546D49018E5388D49DD7B4F");
    const std::string msg = "encryption standard";
    Bytes out(msg.size() + 97);
    ASSERT_EQ(1, smk::SM2EncryptWithK(NID_prime256v1SM2TEST, (const unsigned char*)msg.data(), (int)msg.size(),
                                      x.get(), y.get(), k.get(), out.data()));
    EXPECT_EQ("04"
              "245c26fb68b1ddddb12c4b6bf9f2b6d5fe60a383b0d18d1c4144abf17f6252e7"
              "76cb9264c2a7e88e52b19903fdc47378f605e36811f5c07423a24b84400f01b8"
              "650053a89b41c418b0c3aad00d886c00286467"
              "9c3d7360c30156fab7c80a0276712da9d8094a634b766d3a285e07480653426d",
              ToHex(out.data(), out.size()));
    Bytes plain(msg.size());
    ASSERT_EQ(1, _SM2_decrypt(NID_prime256v1SM2TEST, out.data(), (unsigned)out.size(), d.get(), plain.data()));
    EXPECT_EQ(msg, std::string(plain.begin(), plain.end()));
}

TEST(SM2Z, DefaultIdentityEqualsExplicitZOfThePublishedCurve)
{
    // The published curve's a, b and G as OpenSSL holds them, independent of our constants.
    OsslPtr<EC_GROUP> g(EC_GROUP_new_by_curve_name(NID_sm2));
    OsslPtr<BIGNUM> p(BN_new()), a(BN_new()), b(BN_new()), xG(BN_new()), yG(BN_new());
    ASSERT_EQ(1, EC_GROUP_get_curve(g.get(), p.get(), a.get(), b.get(), NULL));
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(g.get(), EC_GROUP_get0_generator(g.get()), xG.get(), yG.get(), NULL));
    PeerKey key;
    ASSERT_TRUE(PeerKeygen(key));
    OsslPtr<BIGNUM> x(BN_bin2bn(key.x, 32, NULL)), y(BN_bin2bn(key.y, 32, NULL));
    unsigned char zDefault[32], zExplicit[32];
    ASSERT_EQ(1, _SM2_CalculateDefaultZValue(key.x, key.y, zDefault));
    ASSERT_EQ(1, _SM2_CalculateZValue((const unsigned char*)kDefaultId, 16, a.get(), b.get(), xG.get(), yG.get(),
                                      x.get(), y.get(), zExplicit));
    EXPECT_EQ(ToHex(zExplicit, 32), ToHex(zDefault, 32));
}

TEST(SM2Z, RefusesNumbersWiderThanAFieldAndOverlongIdentities)
{
    OsslPtr<BIGNUM> one(BN_new()), wide(BN_new());
    BN_one(one.get());
    BN_set_bit(wide.get(), 256);
    unsigned char z[32];
    const unsigned char id[8192] = {0};
    EXPECT_EQ(0, _SM2_CalculateZValue(id, 16, one.get(), one.get(), one.get(), one.get(), one.get(), wide.get(), z));
    EXPECT_EQ(1, _SM2_CalculateZValue(id, 8191, one.get(), one.get(), one.get(), one.get(), one.get(), one.get(), z));
    // 8192 bytes are 65536 bits: ENTL (two bytes) would wrap to 0.
    EXPECT_EQ(0, _SM2_CalculateZValue(id, 8192, one.get(), one.get(), one.get(), one.get(), one.get(), one.get(), z));
}

TEST(SM2Interop, OurSignaturesVerifyWithOpenSSLAndTheReverse)
{
    std::mt19937_64 rng(20240601);
    PeerKey key;
    ASSERT_TRUE(PeerKeygen(key));
    for (int i = 0; i < 1000; ++i) {
        Bytes msg = RandomMessage(rng);
        Bytes ours = OurSignDer(key, msg);
        ASSERT_EQ(1, PeerVerify(key.pkey.get(), msg, ours)) << "message " << i;
        Bytes theirs = PeerSign(key.pkey.get(), msg);
        ASSERT_EQ(1, OurVerifyDer(key, msg, theirs)) << "message " << i;
        if (0 == i % 100) {   // a changed message fails on both sides
            msg[0] ^= 1;
            EXPECT_EQ(0, PeerVerify(key.pkey.get(), msg, ours));
            EXPECT_EQ(0, OurVerifyDer(key, msg, theirs));
            ExpectSMError(smk::SMK_R_BAD_SIGNATURE);
        }
    }
}

TEST(SM2Interop, EncryptionBothWaysWithOpenSSL)
{
    std::mt19937_64 rng(7);
    PeerKey key;
    ASSERT_TRUE(PeerKeygen(key));
    for (int i = 0; i < 50; ++i) {
        Bytes msg = RandomMessage(rng);
        Bytes ours = OurEncrypt(key, msg);
        ASSERT_EQ(msg.size() + 97, ours.size());
        EXPECT_EQ(msg, PeerCipher(key.pkey.get(), RawToSm2CipherDer(ours), false)) << "message " << i;
        Bytes theirs = Sm2CipherDerToRaw(PeerCipher(key.pkey.get(), msg, true));
        Bytes plain;
        ASSERT_EQ(1, OurDecrypt(key, theirs, plain)) << "message " << i;
        EXPECT_EQ(msg, plain);
    }
}

TEST(SM2Sign, ByteEntryPointsWithOwnKeys)
{
    unsigned char d[32], x[32], y[32], r[32], s[32];
    ASSERT_EQ(1, _SM2_generate_keypair(d, x, y));
    const Bytes e(32, 0x5A);
    ASSERT_EQ(1, _SM2_sign_ex(e.data(), d, r, s));
    EXPECT_EQ(1, _SM2_verify_ex(r, s, x, y, e.data()));
    // The generated key is a key of OpenSSL's published curve: [d]G computed there.
    OsslPtr<EC_GROUP> g(EC_GROUP_new_by_curve_name(NID_sm2));
    OsslPtr<EC_POINT> pub(EC_POINT_new(g.get()));
    OsslPtr<BIGNUM> bnD(BN_bin2bn(d, 32, NULL)), px(BN_new()), py(BN_new());
    ASSERT_EQ(1, EC_POINT_mul(g.get(), pub.get(), bnD.get(), NULL, NULL, NULL));
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(g.get(), pub.get(), px.get(), py.get(), NULL));
    EXPECT_EQ(ToHex(x, 32), BnHex(px.get()));
    EXPECT_EQ(ToHex(y, 32), BnHex(py.get()));
    EXPECT_EQ(0, _SM2_generate_keypair(NULL, x, y));
}

TEST(SM2Verify, RefusedSignaturesRaiseTheirEntry)
{
    PeerKey key;
    ASSERT_TRUE(PeerKeygen(key));
    const Bytes e(32, 0x11);
    unsigned char r[32], s[32];
    ASSERT_EQ(1, _SM2_sign_ex(e.data(), key.d, r, s));
    const Bytes n = Field("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123");
    OsslPtr<BIGNUM> bnR(BN_bin2bn(r, 32, NULL)), bnN(BN_bin2bn(n.data(), 32, NULL)), nMinusR(BN_new());
    BN_sub(nMinusR.get(), bnN.get(), bnR.get());
    unsigned char sForT0[32];
    _SM2_GetBNBytes(nMinusR.get(), sForT0);
    const Bytes zero(32, 0), otherE(32, 0x12);
    struct Row {
        const char* name;
        const unsigned char *r, *s, *e;
    } rows[] = {
        {"r = 0", zero.data(), s, e.data()},          {"r = n", n.data(), s, e.data()},
        {"s = 0", r, zero.data(), e.data()},          {"s = n", r, n.data(), e.data()},
        {"t = r + s = n", r, sForT0, e.data()},       {"other digest", r, s, otherE.data()},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(0, _SM2_verify_ex(row.r, row.s, key.x, key.y, row.e)) << row.name;
        ExpectSMError(smk::SMK_R_BAD_SIGNATURE);
    }
    EXPECT_EQ(1, _SM2_verify_ex(r, s, key.x, key.y, e.data()));
}

TEST(SM2Verify, ArgumentAndCurveFailures)
{
    OsslPtr<ECDSA_SIG> sig(ECDSA_SIG_new());
    ECDSA_SIG_set0(sig.get(), BN_new(), BN_new());
    OsslPtr<BIGNUM> one(BN_new());
    BN_one(one.get());
    EXPECT_EQ(0, _SM2_verify(NULL, one.get(), one.get(), one.get(), NID_prime256v1SM2));
    ExpectSMError(smk::SMK_R_NULL_PARAMETER);
    // 893 is another algorithm in OpenSSL 3; P-256 is no SM curve.
    for (int nid : {893, NID_X9_62_prime256v1}) {
        EXPECT_EQ(0, _SM2_verify(sig.get(), one.get(), one.get(), one.get(), nid));
        ExpectSMError(smk::SMK_R_NULL_PARAMETER);
    }
    // (1, 1) is not a point of the curve.
    EXPECT_EQ(0, _SM2_verify(sig.get(), one.get(), one.get(), one.get(), NID_prime256v1SM2));
    ExpectSMError(smk::SMK_R_EC_LIB);
}

TEST(SM2Sign, FailuresRaiseTheirEntryAndLeaveOutputsAlone)
{
    OsslPtr<BIGNUM> one(BN_new());
    BN_one(one.get());
    EXPECT_EQ(nullptr, _SM2_sign(NULL, one.get(), NID_prime256v1SM2));
    ExpectSMError(smk::SMK_R_NULL_PARAMETER);
    EXPECT_EQ(nullptr, _SM2_sign(one.get(), one.get(), 894));
    ExpectSMError(smk::SMK_R_NULL_PARAMETER);
    // d = n - 1: 1 + d has no inverse modulo n.
    const Bytes dBad = Field("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122");
    const Bytes e(32, 0x33);
    unsigned char r[32], s[32];
    memset(r, 0xEE, 32);
    memset(s, 0xEE, 32);
    EXPECT_EQ(0, _SM2_sign_ex(e.data(), dBad.data(), r, s));
    ExpectSMError(smk::SMK_R_BN_LIB);
    EXPECT_EQ(Bytes(32, 0xEE), Bytes(r, r + 32));
    EXPECT_EQ(Bytes(32, 0xEE), Bytes(s, s + 32));
    // A given k of 0 cannot be used.
    OsslPtr<BIGNUM> zero(BN_new());
    BN_zero(zero.get());
    EXPECT_EQ(nullptr, smk::SM2SignWithK(one.get(), one.get(), NID_prime256v1SM2, zero.get()));
    ExpectSMError(smk::SMK_R_RANDOM_FAILURE);
}

TEST(SM2Errors, TextsOfOurLibrary)
{
    ASSERT_EQ(1, smk::SMErrLoadStrings());
    EXPECT_EQ(smk::SMErrLib(), smk::SMErrLib());
    EXPECT_STREQ("SM kernel routines", ERR_lib_error_string(ERR_PACK(smk::SMErrLib(), 0, 0)));
    EXPECT_STREQ("bad signature", ERR_reason_error_string(ERR_PACK(smk::SMErrLib(), 0, smk::SMK_R_BAD_SIGNATURE)));
    EXPECT_STREQ("invalid curve", ERR_reason_error_string(ERR_PACK(smk::SMErrLib(), 0, smk::SMK_R_INVALID_CURVE)));
}

TEST(SM2Cipher, OneByteMessageAndTamperedParts)
{
    PeerKey key;
    ASSERT_TRUE(PeerKeygen(key));
    const Bytes msg = {0x42};
    Bytes c = OurEncrypt(key, msg);
    ASSERT_EQ(98u, c.size());
    EXPECT_EQ(0x04, c[0]);
    Bytes plain;
    ASSERT_EQ(1, OurDecrypt(key, c, plain));
    EXPECT_EQ(msg, plain);
    struct Row {
        const char* name;
        size_t offset;
    } rows[] = {{"point tag", 0}, {"x1", 1}, {"y1", 40}, {"C2", 65}, {"C3 first", 66}, {"C3 last", 97}};
    for (const Row& row : rows) {
        Bytes bad = c;
        bad[row.offset] ^= 0x01;
        EXPECT_EQ(0, OurDecrypt(key, bad, plain)) << row.name;
        EXPECT_EQ(Bytes(1, 0), plain) << row.name << ": output not wiped";
    }
}

TEST(SM2Cipher, ShortInputsAndEmptyMessages)
{
    PeerKey key;
    ASSERT_TRUE(PeerKeygen(key));
    OsslPtr<BIGNUM> d(BN_bin2bn(key.d, 32, NULL)), x(BN_bin2bn(key.x, 32, NULL)), y(BN_bin2bn(key.y, 32, NULL));
    // A one-byte allocation: reading it as 97 bytes would trip the address sanitizer.
    std::unique_ptr<unsigned char[]> tiny(new unsigned char[1]{0x04});
    unsigned char out[1];
    for (unsigned n : {0u, 1u, 96u, 97u}) EXPECT_EQ(0, _SM2_decrypt(NID_prime256v1SM2, tiny.get(), n, d.get(), out));
    unsigned char big[200];
    EXPECT_EQ(0, _SM2_encrypt(NID_prime256v1SM2, tiny.get(), 0, x.get(), y.get(), big));
    EXPECT_EQ(0, _SM2_encrypt(NID_prime256v1SM2, tiny.get(), -1, x.get(), y.get(), big));
    EXPECT_EQ(0, _SM2_encrypt(893, tiny.get(), 1, x.get(), y.get(), big));
    // A point of another curve is refused.
    EXPECT_EQ(0, _SM2_encrypt(NID_prime256v1SM2TEST, tiny.get(), 1, x.get(), y.get(), big));
    ERR_clear_error();
}

TEST(SM2Cipher, RoundTripOnTheExampleCurveAndAnotherNamedCurve)
{
    for (int nid : {NID_prime256v1SM2TEST, NID_X9_62_prime256v1}) {
        OsslPtr<BIGNUM> d(BN_new()), x(BN_new()), y(BN_new());
        ASSERT_EQ(1, _SM2_generate_key(d.get(), x.get(), y.get(), nid));
        const std::string msg(100, 'm');
        Bytes c(msg.size() + 97), plain(msg.size());
        ASSERT_EQ(1, _SM2_encrypt(nid, (const unsigned char*)msg.data(), (int)msg.size(), x.get(), y.get(), c.data()));
        ASSERT_EQ(1, _SM2_decrypt(nid, c.data(), (unsigned)c.size(), d.get(), plain.data()));
        EXPECT_EQ(msg, std::string(plain.begin(), plain.end()));
    }
}

TEST(SM2Kdf, AgainstOpenSSLSm3)
{
    const unsigned char pw[4] = {'p', 'a', 's', 's'};
    Bytes in1(pw, pw + 4), in2(pw, pw + 4);
    const unsigned char ct1[4] = {0, 0, 0, 1}, ct2[4] = {0, 0, 0, 2};
    in1.insert(in1.end(), ct1, ct1 + 4);
    in2.insert(in2.end(), ct2, ct2 + 4);
    const std::string h1 = PeerSm3(in1.data(), in1.size()), h2 = PeerSm3(in2.data(), in2.size());
    unsigned char out[40];
    memset(out, 0xCC, sizeof(out));
    ASSERT_EQ(1, _SM2_KDF(pw, 4, 256, out));
    EXPECT_EQ(h1, ToHex(out, 32));
    EXPECT_EQ(0xCC, out[32]);
    ASSERT_EQ(1, _SM2_KDF(pw, 4, 264, out));
    EXPECT_EQ(h1 + h2.substr(0, 2), ToHex(out, 33));
    EXPECT_EQ(0xCC, out[33]);
    memset(out, 0xCC, sizeof(out));
    EXPECT_EQ(1, _SM2_KDF(pw, 4, 7, out));   // no whole byte: nothing written
    EXPECT_EQ(0xCC, out[0]);
    EXPECT_EQ(0, _SM2_KDF(pw, 4, 0, out));
    EXPECT_EQ(0, _SM2_KDF(NULL, 4, 256, out));
}

// Prefixes at block edges (64 is x2 || y2): each counter continues from the shared state.
TEST(SM2Kdf, PrefixesAtBlockEdgesAgainstOpenSSLSm3)
{
    std::mt19937_64 rng(64);
    for (size_t nZ : {55, 60, 63, 64, 65, 128}) {
        const Bytes z = smtest::RandomBytes(rng, nZ);
        std::string expected;
        for (unsigned char ct = 1; ct <= 3; ++ct) {
            Bytes in = z;
            const unsigned char abyCt[4] = {0, 0, 0, ct};
            in.insert(in.end(), abyCt, abyCt + 4);
            expected += PeerSm3(in.data(), in.size());
        }
        unsigned char out[96];
        ASSERT_EQ(1, _SM2_KDF(z.data(), (unsigned)nZ, 8 * sizeof(out), out));
        EXPECT_EQ(expected, ToHex(out, sizeof(out))) << "prefix " << nZ;
    }
}

TEST(SM2Fields, ConversionsAndZeroTest)
{
    unsigned char out[32];
    OsslPtr<BIGNUM> bn31 = Hex("FF00000000000000000000000000000000000000000000000000000000000A"), bn33(BN_new());
    ASSERT_EQ(1, _SM2_GetBNBytes(bn31.get(), out));
    EXPECT_EQ("00ff00000000000000000000000000000000000000000000000000000000000a", ToHex(out, 32));
    BN_set_bit(bn33.get(), 263);
    memset(out, 0x77, 32);
    EXPECT_EQ(0, _SM2_GetBNBytes(bn33.get(), out));
    EXPECT_EQ(Bytes(32, 0), Bytes(out, out + 32));

    Bytes b33(33);
    for (size_t i = 0; i < b33.size(); ++i) b33[i] = (unsigned char)(i + 1);
    OsslPtr<BIGNUM> read(BN_new());
    ASSERT_EQ(1, _SM2_Bytes2BN(b33.data(), 33, read.get()));
    EXPECT_EQ(ToHex(b33.data(), 32), BnHex(read.get()));
    ASSERT_EQ(1, _SM2_Bytes2BN(b33.data(), 2, read.get()));
    EXPECT_EQ(0x0102u, BN_get_word(read.get()));

    const unsigned char zeros[3] = {0, 0, 0}, some[3] = {0, 0, 1};
    EXPECT_EQ(1, _SM2_IsAllZero(zeros, 3));
    EXPECT_EQ(0, _SM2_IsAllZero(some, 3));
    EXPECT_EQ(1, _SM2_IsAllZero(some, 2));
    EXPECT_EQ(1, _SM2_IsAllZero(NULL, 0));
    EXPECT_EQ(1, _SM2_IsAllZero(some, -1));
}

TEST(SM2Curve, PointMembership)
{
    const EC_GROUP* g = smk::SMGroup(NID_prime256v1SM2);
    OsslPtr<BIGNUM> x(BN_new()), y(BN_new());
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), x.get(), y.get(), NULL));
    EXPECT_EQ(1, _SM2_point_is_on_curve(x.get(), y.get(), NID_prime256v1SM2));
    EXPECT_EQ(0, _SM2_point_is_on_curve(x.get(), y.get(), NID_prime256v1SM2TEST));
    EXPECT_EQ(0, _SM2_point_is_on_curve(x.get(), y.get(), 893));
    BN_add_word(y.get(), 1);
    EXPECT_EQ(0, _SM2_point_is_on_curve(x.get(), y.get(), NID_prime256v1SM2));
    EXPECT_EQ(0u, ERR_peek_error());   // an answer, not an error
}

namespace {
std::atomic<int> g_nLibCtxCalls{0};
OSSL_LIB_CTX* CountingLibCtx()
{
    ++g_nLibCtxCalls;
    return NULL;
}
}  // namespace

// The installed context serves only a call that holds the kernel: without a hold a stop may
// be freeing it, so a primitive then draws from the default context.
TEST(SM2LibCtx, RandomNumbersComeFromTheInstalledContextOnlyUnderAHold)
{
    unsigned char d[32], x[32], y[32];
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    smk::SM2SetLibCtxSource(CountingLibCtx);
    EXPECT_EQ(1, _SM2_generate_keypair(d, x, y));
    EXPECT_GT(g_nLibCtxCalls.load(), 0);
    ASSERT_EQ(VOMU_OK, SMKernelUninitialize());

    g_nLibCtxCalls = 0;
    smk::SM2SetLibCtxSource(CountingLibCtx);
    EXPECT_EQ(1, _SM2_generate_keypair(d, x, y)) << "the primitives work without a kernel";
    EXPECT_EQ(0, g_nLibCtxCalls.load());
    smk::SM2SetLibCtxSource(nullptr);
}

TEST(SM2Threads, ConcurrentFirstUseAndSigning)
{
    std::vector<std::thread> threads;
    std::atomic<int> nFailures{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&nFailures, t] {
            unsigned char d[32], x[32], y[32], r[32], s[32], e[32];
            memset(e, t, sizeof(e));
            for (int i = 0; i < 10; ++i) {
                if (1 != _SM2_generate_keypair(d, x, y) || 1 != _SM2_sign_ex(e, d, r, s) ||
                    1 != _SM2_verify_ex(r, s, x, y, e))
                    ++nFailures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, nFailures.load());
}

