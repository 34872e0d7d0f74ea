// Our identifier, curve and signature tables, checked against OpenSSL's own objects and curves.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include <openssl/err.h>
#include <openssl/objects.h>

#include "OsslPtr.h"
#include "SMObjects.h"

using morv::OsslPtr;

TEST(SMObjects, NumbersAreOpenSSLsOwn)
{
    EXPECT_EQ(1143, NID_ChinaSM3);
    EXPECT_EQ(1134, NID_ChinaSM4_CBC);
    EXPECT_EQ(1204, NID_ChinaSM2withSM3);
    EXPECT_EQ(1172, NID_prime256v1SM2);
    // The example curve's number is ours alone: OpenSSL knows no object by it.
    EXPECT_EQ(nullptr, OBJ_nid2obj(NID_prime256v1SM2TEST));
    ERR_clear_error();
}

TEST(SMObjects, EveryRowIsFoundByNumberNameAndOid)
{
    const int aNids[] = {NID_prime256v1SM2, NID_prime256v1SM2TEST, NID_ChinaSM3, NID_ChinaSM4_CBC,
                         NID_ChinaSM2withSM3};
    for (int nid : aNids) {
        const smk::SMObject* row = smk::FindSMObjectByNid(nid);
        ASSERT_NE(nullptr, row) << nid;
        EXPECT_EQ(row, smk::FindSMObjectByText(row->pszShortName));
        EXPECT_EQ(row, smk::FindSMObjectByText(row->pszLongName));
        EXPECT_EQ(row, smk::FindSMObjectByText(row->pszOid));
        EXPECT_EQ(nid, smk::SMTxt2Nid(row->pszOid));
        EXPECT_STREQ(row->pszOid, smk::SMNid2Oid(nid));
        // Content octets as OpenSSL encodes the dotted text.
        OsslPtr<ASN1_OBJECT> obj(OBJ_txt2obj(row->pszOid, 1));
        ASSERT_TRUE(obj) << row->pszOid;
        ASSERT_EQ((int)row->nDerLen, OBJ_length(obj.get())) << row->pszOid;
        EXPECT_EQ(0, memcmp(row->abyDer, OBJ_get0_data(obj.get()), row->nDerLen)) << row->pszOid;
    }
    EXPECT_EQ(nullptr, smk::FindSMObjectByNid(893));
    EXPECT_EQ(nullptr, smk::FindSMObjectByText("SM3"));   // exact names only
    EXPECT_EQ(nullptr, smk::FindSMObjectByText(NULL));
}

TEST(SMObjects, NamesOfTheSystem)
{
    EXPECT_EQ(NID_sm3, smk::SMTxt2Nid("1.2.156.10197.1.401"));
    EXPECT_EQ(NID_SM2_with_SM3, smk::SMTxt2Nid("sm2-sm3"));
    EXPECT_EQ(NID_SM2_with_SM3, smk::SMTxt2Nid("ChinaSM2withSM3"));
    // Our SM4-CBC identifier differs from OpenSSL's (…104.2) but means the same cipher.
    EXPECT_EQ(NID_sm4_cbc, smk::SMTxt2Nid("1.2.156.10197.1.104"));
    EXPECT_EQ(NID_sm4_cbc, OBJ_txt2nid("1.2.156.10197.1.104.2"));
    EXPECT_STREQ("1.2.156.10197.1.301", smk::SMNid2Oid(NID_sm2));
    // Other names fall through to OpenSSL's table.
    EXPECT_EQ(NID_sha256, smk::SMTxt2Nid("SHA256"));
    EXPECT_EQ(NID_undef, smk::SMTxt2Nid("no such algorithm"));
    EXPECT_EQ(nullptr, smk::SMNid2Oid(NID_sha256));
}

TEST(SMCurves, ListAndGroups)
{
    size_t n = 0;
    const smk::SMCurve* list = smk::SMCurveList(&n);
    ASSERT_EQ(2u, n);
    EXPECT_EQ(NID_prime256v1SM2, list[0].nNid);
    EXPECT_STREQ("China SM2 curve over a 256 bit prime field", list[0].pszComment);
    EXPECT_EQ(NID_prime256v1SM2TEST, list[1].nNid);
    EXPECT_STREQ("China SM2 Test curve over a 256 bit prime field", list[1].pszComment);

    // The published curve: the same group as OpenSSL's own SM2 curve.
    const EC_GROUP* g = smk::SMGroup(NID_prime256v1SM2);
    ASSERT_NE(nullptr, g);
    OsslPtr<EC_GROUP> peer(EC_GROUP_new_by_curve_name(NID_sm2));
    EXPECT_EQ(0, EC_GROUP_cmp(g, peer.get(), NULL));
    EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(g)));
    char* order = BN_bn2hex(EC_GROUP_get0_order(g));
    EXPECT_STREQ("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123", order);
    OPENSSL_free(order);

    // The example curve: G of order n, cofactor 1, p beginning 8542D69E.
    const EC_GROUP* t = smk::SMGroup(NID_prime256v1SM2TEST);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(1, EC_GROUP_check(t, NULL));
    OsslPtr<BIGNUM> p(BN_new());
    ASSERT_EQ(1, EC_GROUP_get_curve(t, p.get(), NULL, NULL, NULL));
    char* pHex = BN_bn2hex(p.get());
    EXPECT_EQ(0, strncmp("8542D69E", pHex, 8));
    OPENSSL_free(pHex);
    EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(t)));
    EXPECT_EQ(256, EC_GROUP_get_degree(t));

    EXPECT_EQ(nullptr, smk::SMGroup(NID_X9_62_prime256v1));
    EXPECT_EQ(nullptr, smk::SMGroup(893));
}

TEST(SMCurves, BuiltOnceForAllThreads)
{
    std::vector<const EC_GROUP*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = smk::SMGroup(i % 2 ? NID_prime256v1SM2TEST : NID_prime256v1SM2); });
    for (auto& th : threads) th.join();
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(smk::SMGroup(i % 2 ? NID_prime256v1SM2TEST : NID_prime256v1SM2), seen[i]);
}

TEST(SMSignatureTable, BothLookups)
{
    int nDigest = 0, nKey = 0, nSig = 0;
    ASSERT_EQ(1, smk::SMFindSigidAlgs(NID_ChinaSM2withSM3, &nDigest, &nKey));
    EXPECT_EQ(NID_ChinaSM3, nDigest);
    EXPECT_EQ(408, nKey);
    ASSERT_EQ(1, smk::SMFindSigidByAlgs(&nSig, NID_ChinaSM3, NID_X9_62_id_ecPublicKey));
    EXPECT_EQ(NID_ChinaSM2withSM3, nSig);
    EXPECT_EQ(0, smk::SMFindSigidAlgs(NID_sha256WithRSAEncryption, &nDigest, &nKey));
    EXPECT_EQ(0, smk::SMFindSigidByAlgs(&nSig, NID_sha256, NID_X9_62_id_ecPublicKey));
}
