// The provider's algorithms in kctx against OpenSSL's own SM code in the default context.
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <random>
#include <string>
#include <vector>

#include "OsslPtr.h"
#include "SMKernel.h"
#include "SmPeer.h"
#include "vomu_result.h"

namespace {

using smtest::Bytes;
using smtest::ToHex;

class Provider : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void TearDown() override { EXPECT_EQ(VOMU_OK, SMKernelUninitialize()); }
    std::mt19937_64 m_rng{20261210};
};

// Our SM3 through EVP in kctx, fed in pieces of the given sizes (the rest at the end).
std::string KernelSm3(const Bytes& data, const std::vector<size_t>& pieces)
{
    morv::OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new());
    if (!pCtx || 1 != EVP_DigestInit_ex(pCtx.get(), smk::Sm3Md(), nullptr)) return "init";
    size_t nAt = 0;
    for (size_t n : pieces) {
        if (1 != EVP_DigestUpdate(pCtx.get(), data.data() + nAt, n)) return "update";
        nAt += n;
    }
    unsigned char abyMd[EVP_MAX_MD_SIZE];
    unsigned int nMd = 0;
    if (1 != EVP_DigestUpdate(pCtx.get(), data.data() + nAt, data.size() - nAt) ||
        1 != EVP_DigestFinal_ex(pCtx.get(), abyMd, &nMd))
        return "final";
    return ToHex(abyMd, nMd);
}

TEST_F(Provider, Sm3MatchesOpensslForEveryFeedingSplit)
{
    ASSERT_EQ(32, EVP_MD_get_size(smk::Sm3Md()));
    ASSERT_EQ(64, EVP_MD_get_block_size(smk::Sm3Md()));
    for (size_t n : {0, 1, 55, 56, 63, 64, 65, 130}) {
        Bytes data = smtest::RandomBytes(m_rng, n);
        std::string peer = smtest::PeerSm3(data.data(), data.size());
        EXPECT_EQ(peer, KernelSm3(data, {})) << n;
        EXPECT_EQ(peer, KernelSm3(data, std::vector<size_t>(n, 1))) << "byte by byte " << n;
        for (size_t i = 0; i <= n; ++i)
            ASSERT_EQ(peer, KernelSm3(data, {i})) << n << " split at " << i;
    }
}

TEST_F(Provider, Sm3CopyOfAContextContinuesIndependently)
{
    Bytes data = smtest::RandomBytes(m_rng, 200);
    morv::OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new()), pCopy(EVP_MD_CTX_new());
    ASSERT_EQ(1, EVP_DigestInit_ex(pCtx.get(), smk::Sm3Md(), nullptr));
    ASSERT_EQ(1, EVP_DigestUpdate(pCtx.get(), data.data(), 100));
    ASSERT_EQ(1, EVP_MD_CTX_copy_ex(pCopy.get(), pCtx.get()));
    unsigned char abyA[32], abyB[32];
    ASSERT_EQ(1, EVP_DigestUpdate(pCtx.get(), data.data() + 100, 100));
    ASSERT_EQ(1, EVP_DigestFinal_ex(pCtx.get(), abyA, nullptr));
    ASSERT_EQ(1, EVP_DigestUpdate(pCopy.get(), data.data() + 100, 100));
    ASSERT_EQ(1, EVP_DigestFinal_ex(pCopy.get(), abyB, nullptr));
    EXPECT_EQ(smtest::PeerSm3(data.data(), 200), ToHex(abyA, 32));
    EXPECT_EQ(ToHex(abyA, 32), ToHex(abyB, 32));
}

TEST_F(Provider, EverySm4NameReachesOurProvider)
{
    for (const char* pszName : {"sm4-cbc", "SM4-CBC", "ChinaSM4-CBC", "SM4", "1.2.156.10197.1.104.2"}) {
        morv::OsslPtr<EVP_CIPHER> pCipher(EVP_CIPHER_fetch(smk::LibCtx(), pszName, nullptr));
        ASSERT_TRUE(pCipher) << pszName;
        EXPECT_STREQ("smk", OSSL_PROVIDER_get0_name(EVP_CIPHER_get0_provider(pCipher.get())));
        EXPECT_EQ(EVP_CIPH_CBC_MODE, EVP_CIPHER_get_mode(pCipher.get()));
        EXPECT_EQ(16, EVP_CIPHER_get_key_length(pCipher.get()));
        EXPECT_EQ(16, EVP_CIPHER_get_iv_length(pCipher.get()));
        EXPECT_EQ(16, EVP_CIPHER_get_block_size(pCipher.get()));
    }
}

// Our SM4-CBC through EVP in kctx, input given in pieces of the given size.
Bytes KernelSm4Cbc(const Bytes& in, const Bytes& key, const Bytes& iv, int enc, int pad,
                   size_t nPiece, Bytes* pUpdatedIv = nullptr)
{
    morv::OsslPtr<EVP_CIPHER_CTX> pCtx(EVP_CIPHER_CTX_new());
    Bytes out(in.size() + 32);
    int nOut = 0, nTotal = 0;
    if (1 != EVP_CipherInit_ex2(pCtx.get(), smk::Sm4CbcCipher(), key.data(), iv.data(), enc, nullptr) ||
        1 != EVP_CIPHER_CTX_set_padding(pCtx.get(), pad))
        return Bytes{0xEE};
    for (size_t nAt = 0; nAt < in.size(); nAt += nPiece) {
        size_t n = std::min(nPiece, in.size() - nAt);
        if (1 != EVP_CipherUpdate(pCtx.get(), out.data() + nTotal, &nOut, in.data() + nAt, (int)n))
            return Bytes{0xEE};
        nTotal += nOut;
    }
    if (1 != EVP_CipherFinal_ex(pCtx.get(), out.data() + nTotal, &nOut)) return Bytes{0xEE};
    if (pUpdatedIv) {
        pUpdatedIv->assign(16, 0);
        EVP_CIPHER_CTX_get_updated_iv(pCtx.get(), pUpdatedIv->data(), 16);
    }
    out.resize((size_t)(nTotal + nOut));
    return out;
}

Bytes Pkcs7Pad(Bytes in)
{
    size_t nPad = 16 - in.size() % 16;
    in.insert(in.end(), nPad, (unsigned char)nPad);
    return in;
}

TEST_F(Provider, Sm4CbcMatchesOpensslInEveryPieceSize)
{
    Bytes key = smtest::RandomBytes(m_rng, 16), iv = smtest::RandomBytes(m_rng, 16);
    for (size_t n : {0, 1, 15, 16, 17, 48, 100}) {
        Bytes plain = smtest::RandomBytes(m_rng, n);
        Bytes peer = smtest::PeerSm4Cbc(Pkcs7Pad(plain), key.data(), iv.data(), 1);
        for (size_t nPiece : {1, 5, 16, 17, 1000}) {
            Bytes updatedIv;
            Bytes cipher = KernelSm4Cbc(plain, key, iv, 1, 1, nPiece, &updatedIv);
            ASSERT_EQ(peer, cipher) << n << " in pieces of " << nPiece;
            EXPECT_EQ(Bytes(cipher.end() - 16, cipher.end()), updatedIv);
            EXPECT_EQ(plain, KernelSm4Cbc(cipher, key, iv, 0, 1, nPiece)) << n << "/" << nPiece;
        }
    }
}

TEST_F(Provider, Sm4CbcWithoutPaddingNeedsWholeBlocks)
{
    Bytes key = smtest::RandomBytes(m_rng, 16), iv = smtest::RandomBytes(m_rng, 16);
    Bytes plain = smtest::RandomBytes(m_rng, 48);
    Bytes cipher = KernelSm4Cbc(plain, key, iv, 1, 0, 7);
    EXPECT_EQ(smtest::PeerSm4Cbc(plain, key.data(), iv.data(), 1), cipher);
    EXPECT_EQ(plain, KernelSm4Cbc(cipher, key, iv, 0, 0, 7));
    EXPECT_EQ(Bytes{0xEE}, KernelSm4Cbc(Bytes(47), key, iv, 1, 0, 16));
}

TEST_F(Provider, Sm4CbcRefusesBadPaddingAndKeyLengths)
{
    Bytes key = smtest::RandomBytes(m_rng, 16), iv = smtest::RandomBytes(m_rng, 16);
    Bytes badPad = smtest::PeerSm4Cbc(Bytes(32, 0x11), key.data(), iv.data(), 1);
    EXPECT_EQ(Bytes{0xEE}, KernelSm4Cbc(badPad, key, iv, 0, 1, 32));
    EXPECT_EQ(Bytes{0xEE}, KernelSm4Cbc(Bytes(31), key, iv, 0, 1, 32));
    morv::OsslPtr<EVP_CIPHER_CTX> pCtx(EVP_CIPHER_CTX_new());
    ASSERT_EQ(1, EVP_EncryptInit_ex2(pCtx.get(), smk::Sm4CbcCipher(), nullptr, nullptr, nullptr));
    EXPECT_NE(1, EVP_CIPHER_CTX_set_key_length(pCtx.get(), 32));
}

}  // namespace
