// SM2 keymgmt and signature of our provider in kctx against OpenSSL's SM2 in the default
// context (standard user ID set explicitly there), and the counters that prove our code ran.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>

#include <cstring>
#include <string>
#include <algorithm>
#include <utility>

#include "OsslPtr.h"
#include "SM2.h"
#include "SMKernel.h"
#include "SmPeer.h"
#include "vomu_result.h"

namespace {

using smtest::Bytes;

const char STANDARD_ID[] = "1234567812345678";

// The same key pair as an OpenSSL SM2 key of the default context.
EVP_PKEY* PeerKey(const unsigned char d[32], const unsigned char x[32], const unsigned char y[32])
{
    unsigned char abyPub[65] = {0x04};
    memcpy(abyPub + 1, x, 32);
    memcpy(abyPub + 33, y, 32);
    morv::OsslPtr<OSSL_PARAM_BLD> pBld(OSSL_PARAM_BLD_new());
    morv::OsslPtr<BIGNUM> pD(BN_bin2bn(d, 32, nullptr));
    OSSL_PARAM_BLD_push_utf8_string(pBld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(pBld.get(), OSSL_PKEY_PARAM_PUB_KEY, abyPub, 65);
    OSSL_PARAM_BLD_push_BN(pBld.get(), OSSL_PKEY_PARAM_PRIV_KEY, pD.get());
    morv::OsslPtr<OSSL_PARAM> pParams(OSSL_PARAM_BLD_to_param(pBld.get()));
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* pKey = nullptr;
    if (1 != EVP_PKEY_fromdata_init(pCtx.get()) ||
        1 != EVP_PKEY_fromdata(pCtx.get(), &pKey, EVP_PKEY_KEYPAIR, pParams.get()))
        return nullptr;
    return pKey;
}

Bytes Sign(OSSL_LIB_CTX* pLibCtx, EVP_PKEY* pKey, const Bytes& msg, bool bSetId)
{
    morv::OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pPctx = nullptr;
    size_t nSig = 0;
    if (1 != EVP_DigestSignInit_ex(pCtx.get(), &pPctx, "SM3", pLibCtx, nullptr, pKey, nullptr) ||
        (bSetId && 1 != EVP_PKEY_CTX_set1_id(pPctx, STANDARD_ID, 16)) ||
        1 != EVP_DigestSign(pCtx.get(), nullptr, &nSig, msg.data(), msg.size()))
        return Bytes();
    Bytes sig(nSig);
    if (1 != EVP_DigestSign(pCtx.get(), sig.data(), &nSig, msg.data(), msg.size())) return Bytes();
    sig.resize(nSig);
    return sig;
}

int Verify(OSSL_LIB_CTX* pLibCtx, EVP_PKEY* pKey, const Bytes& msg, const Bytes& sig, bool bSetId)
{
    morv::OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pPctx = nullptr;
    if (1 != EVP_DigestVerifyInit_ex(pCtx.get(), &pPctx, "SM3", pLibCtx, nullptr, pKey, nullptr) ||
        (bSetId && 1 != EVP_PKEY_CTX_set1_id(pPctx, STANDARD_ID, 16)))
        return -2;
    return EVP_DigestVerify(pCtx.get(), sig.data(), sig.size(), msg.data(), msg.size());
}

class ProviderSm2 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(VOMU_OK, SMKernelInitialize());
        ASSERT_EQ(1, _SM2_generate_keypair(m_d, m_x, m_y));
        m_pKey.reset(smk::NewSm2PKey(m_d, m_x, m_y));
        m_pPeer.reset(PeerKey(m_d, m_x, m_y));
        ASSERT_TRUE(m_pKey && m_pPeer);
    }
    void TearDown() override
    {
        m_pKey.reset();
        EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
    }
    unsigned long Count(unsigned long smk::ProviderCounters::*pField)
    {
        smk::ProviderCounters counters{};
        smk::GetProviderCounters(&counters);
        return counters.*pField;
    }
    unsigned char m_d[32], m_x[32], m_y[32];
    morv::OsslPtr<EVP_PKEY> m_pKey, m_pPeer;
};

TEST_F(ProviderSm2, KeyIsOursAndExportsItsPoint)
{
    ASSERT_NE(nullptr, EVP_PKEY_get0_provider(m_pKey.get()));
    EXPECT_STREQ("smk", OSSL_PROVIDER_get0_name(EVP_PKEY_get0_provider(m_pKey.get())));
    EXPECT_TRUE(EVP_PKEY_is_a(m_pKey.get(), "SM2"));
    EXPECT_EQ(256, EVP_PKEY_get_bits(m_pKey.get()));
    EXPECT_EQ(1, EVP_PKEY_eq(m_pKey.get(), m_pPeer.get()));
    unsigned char* pbyPoint = nullptr;
    size_t nPoint = EVP_PKEY_get1_encoded_public_key(m_pKey.get(), &pbyPoint);
    ASSERT_EQ(65u, nPoint);
    EXPECT_EQ(0, memcmp(pbyPoint + 1, m_x, 32));
    OPENSSL_free(pbyPoint);
}

TEST_F(ProviderSm2, SignaturesInterworkWithOpensslUsingTheStandardId)
{
    Bytes msg = {'m', 'e', 's', 's', 'a', 'g', 'e'};
    unsigned long nSign = Count(&smk::ProviderCounters::nSign);
    unsigned long nVerify = Count(&smk::ProviderCounters::nVerify);
    Bytes ours = Sign(smk::LibCtx(), m_pKey.get(), msg, false);
    ASSERT_FALSE(ours.empty());
    EXPECT_EQ(nSign + 1, Count(&smk::ProviderCounters::nSign));
    EXPECT_EQ(1, Verify(nullptr, m_pPeer.get(), msg, ours, true));
    EXPECT_NE(1, Verify(nullptr, m_pPeer.get(), msg, ours, false));  // OpenSSL's empty ID

    Bytes theirs = Sign(nullptr, m_pPeer.get(), msg, true);
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(1, Verify(smk::LibCtx(), m_pKey.get(), msg, theirs, false));
    EXPECT_EQ(1, Verify(smk::LibCtx(), m_pKey.get(), msg, theirs, true));
    EXPECT_EQ(nVerify + 2, Count(&smk::ProviderCounters::nVerify));

    Bytes emptyId = Sign(nullptr, m_pPeer.get(), msg, false);
    EXPECT_EQ(-1, Verify(smk::LibCtx(), m_pKey.get(), msg, emptyId, false));
    msg[0] ^= 1;
    EXPECT_EQ(-1, Verify(smk::LibCtx(), m_pKey.get(), msg, theirs, false));
    EXPECT_EQ(-1, Verify(smk::LibCtx(), m_pKey.get(), msg, Bytes{0x30, 0x00}, false));
}

TEST_F(ProviderSm2, SignAnswersSizeQueriesAndRefusesSmallBuffers)
{
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new_from_pkey(smk::LibCtx(), m_pKey.get(), nullptr));
    ASSERT_EQ(1, EVP_PKEY_sign_init(pCtx.get()));
    unsigned char abyE[32] = {1, 2, 3};
    size_t nSig = 0;
    ASSERT_EQ(1, EVP_PKEY_sign(pCtx.get(), nullptr, &nSig, abyE, 32));
    EXPECT_EQ(72u, nSig);
    unsigned char abySig[72];
    size_t nSmall = 70;
    EXPECT_EQ(0, EVP_PKEY_sign(pCtx.get(), abySig, &nSmall, abyE, 32));
    nSig = sizeof abySig;
    ASSERT_EQ(1, EVP_PKEY_sign(pCtx.get(), abySig, &nSig, abyE, 32));
    morv::OsslPtr<EVP_PKEY_CTX> pVer(EVP_PKEY_CTX_new_from_pkey(smk::LibCtx(), m_pKey.get(), nullptr));
    ASSERT_EQ(1, EVP_PKEY_verify_init(pVer.get()));
    EXPECT_EQ(1, EVP_PKEY_verify(pVer.get(), abySig, nSig, abyE, 32));
    EXPECT_EQ(-1, EVP_PKEY_verify(pVer.get(), abySig, nSig, abyE, 31));
    abyE[0] ^= 1;
    EXPECT_EQ(-1, EVP_PKEY_verify(pVer.get(), abySig, nSig, abyE, 32));
}

// The key keeps its (1 + d)^-1 for signing: a duplicate signs with it too, and d = n - 1
// (1 + d = 0 mod n, a key the import takes) signs nothing instead of a wrong signature.
TEST_F(ProviderSm2, DuplicatedAndUnusableKeysSign)
{
    Bytes msg = {'k', 'e', 'y'};
    morv::OsslPtr<EVP_PKEY> pDup(EVP_PKEY_dup(m_pKey.get()));
    ASSERT_TRUE(pDup);
    Bytes sig = Sign(smk::LibCtx(), pDup.get(), msg, false);
    ASSERT_FALSE(sig.empty());
    EXPECT_EQ(1, Verify(nullptr, m_pPeer.get(), msg, sig, true));

    morv::OsslPtr<EC_GROUP> pGroup(EC_GROUP_new_by_curve_name(NID_sm2));
    morv::OsslPtr<BIGNUM> pD(BN_dup(EC_GROUP_get0_order(pGroup.get()))), pX(BN_new()), pY(BN_new());
    morv::OsslPtr<EC_POINT> pPub(EC_POINT_new(pGroup.get()));
    ASSERT_TRUE(pD && pX && pY && pPub && BN_sub_word(pD.get(), 1));
    ASSERT_EQ(1, EC_POINT_mul(pGroup.get(), pPub.get(), pD.get(), nullptr, nullptr, nullptr));
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(pGroup.get(), pPub.get(), pX.get(), pY.get(), nullptr));
    unsigned char d[32], x[32], y[32];
    BN_bn2binpad(pD.get(), d, 32);
    BN_bn2binpad(pX.get(), x, 32);
    BN_bn2binpad(pY.get(), y, 32);
    morv::OsslPtr<EVP_PKEY> pUnusable(smk::NewSm2PKey(d, x, y));
    ASSERT_TRUE(pUnusable);
    EXPECT_TRUE(Sign(smk::LibCtx(), pUnusable.get(), msg, false).empty());
    ERR_clear_error();
}

TEST_F(ProviderSm2, OnlySm3IsAccepted)
{
    morv::OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new());
    EXPECT_NE(1, EVP_DigestSignInit_ex(pCtx.get(), nullptr, "SHA256", smk::LibCtx(), nullptr,
                                       m_pKey.get(), nullptr));
    morv::OsslPtr<EVP_PKEY_CTX> pPctx(EVP_PKEY_CTX_new_from_pkey(smk::LibCtx(), m_pKey.get(), nullptr));
    ASSERT_EQ(1, EVP_PKEY_sign_init(pPctx.get()));
    EXPECT_NE(1, EVP_PKEY_CTX_set_signature_md(pPctx.get(), EVP_md5()));
    EXPECT_EQ(1, EVP_PKEY_CTX_set_signature_md(pPctx.get(), EVP_sm3()));
}

Bytes Crypt(OSSL_LIB_CTX* pLibCtx, EVP_PKEY* pKey, const Bytes& in, bool bEncrypt, size_t* pnQuery = nullptr)
{
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new_from_pkey(pLibCtx, pKey, nullptr));
    size_t nOut = 0;
    if (1 != (bEncrypt ? EVP_PKEY_encrypt_init(pCtx.get()) : EVP_PKEY_decrypt_init(pCtx.get())) ||
        1 != (bEncrypt ? EVP_PKEY_encrypt(pCtx.get(), nullptr, &nOut, in.data(), in.size())
                       : EVP_PKEY_decrypt(pCtx.get(), nullptr, &nOut, in.data(), in.size())))
        return Bytes{0xEE};
    if (pnQuery) *pnQuery = nOut;
    Bytes out(nOut);
    if (1 != (bEncrypt ? EVP_PKEY_encrypt(pCtx.get(), out.data(), &nOut, in.data(), in.size())
                       : EVP_PKEY_decrypt(pCtx.get(), out.data(), &nOut, in.data(), in.size())))
        return Bytes{0xEE};
    out.resize(nOut);
    return out;
}

TEST_F(ProviderSm2, EncryptionInterworksWithOpensslBothWays)
{
    for (size_t n : {1, 32, 100}) {
        Bytes plain(n, (unsigned char)n);
        size_t nQuery = 0;
        unsigned long nEnc = Count(&smk::ProviderCounters::nEncrypt);
        Bytes ours = Crypt(smk::LibCtx(), m_pKey.get(), plain, true, &nQuery);
        EXPECT_EQ(nEnc + 1, Count(&smk::ProviderCounters::nEncrypt));
        EXPECT_LE(ours.size(), nQuery);
        EXPECT_EQ(plain, Crypt(nullptr, m_pPeer.get(), ours, false)) << n;
        Bytes theirs = Crypt(nullptr, m_pPeer.get(), plain, true);
        EXPECT_EQ(plain, Crypt(smk::LibCtx(), m_pKey.get(), theirs, false, &nQuery)) << n;
        EXPECT_EQ(n, nQuery);
    }
}

// Hand-made SM2Cipher DER: x, y INTEGER content, hash and C2 OCTET STRING content.
Bytes Sm2CipherDer(const Bytes& x, const Bytes& y, const Bytes& hash, const Bytes& c2)
{
    Bytes content;
    for (auto& f : {std::make_pair(0x02, x), std::make_pair(0x02, y), std::make_pair(0x04, hash), std::make_pair(0x04, c2)}) {
        content.push_back((unsigned char)f.first);
        content.push_back((unsigned char)f.second.size());
        content.insert(content.end(), f.second.begin(), f.second.end());
    }
    Bytes der(content.size() + 3);
    der[0] = 0x30;
    der[1] = 0x81;
    der[2] = (unsigned char)content.size();
    std::copy(content.begin(), content.end(), der.begin() + 3);
    return der;
}

TEST_F(ProviderSm2, CraftedSm2CipherFailsCleanly)
{
    const Bytes rows[] = {
        Sm2CipherDer(Bytes{1}, Bytes{2}, Bytes(32, 3), Bytes(5, 4)),        // short coordinates
        Sm2CipherDer(Bytes(32, 1), Bytes(32, 2), Bytes(64, 3), Bytes(5, 4)),  // long hash
        Sm2CipherDer(Bytes(33, 0x11), Bytes(32, 2), Bytes(32, 3), Bytes(5, 4)),  // x over 32 bytes
        Sm2CipherDer(Bytes(32, 1), Bytes(32, 2), Bytes(32, 3), Bytes()),    // empty C2
        Bytes{0x30, 0x03, 0x02, 0x01},                                      // truncated
    };
    for (const Bytes& row : rows)
        EXPECT_EQ(Bytes{0xEE}, Crypt(smk::LibCtx(), m_pKey.get(), row, false));
}

}  // namespace
