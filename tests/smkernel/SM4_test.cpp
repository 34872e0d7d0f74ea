#include <gtest/gtest.h>

#include <string.h>

#include <random>

#include "SM4.h"
#include "SM4Internal.h"
#include "SmPeer.h"

using smtest::Bytes;
using smtest::FromHex;
using smtest::ToHex;

namespace {

// GB/T 32907-2016 appendix A: key = plaintext in example 1.
const char kStdKey[] = "0123456789abcdeffedcba9876543210";

struct Schedule {
    uint32_t rk[SM4_ROUNDS];
};

Schedule MakeSchedule(const unsigned char key[16], int enc)
{
    uint32_t k[4];
    Schedule s;
    smk::SM4_LoadWords(key, k);
    EXPECT_EQ(1, smk::_SM4_ExtendKey(k, s.rk));
    if (!enc) {
        EXPECT_EQ(1, smk::_SM4_InvertRoundKey(s.rk));
    }
    return s;
}

// Our CBC over whole blocks, one SM4_cbc_encrypt per block, iv carried across calls.
Bytes OurCbc(const Bytes& in, const Schedule& s, unsigned char iv[16], int enc)
{
    Bytes out(in.size());
    for (size_t i = 0; i < in.size(); i += 16)
        EXPECT_EQ(1, SM4_cbc_encrypt(in.data() + i, s.rk, iv, out.data() + i, enc));
    return out;
}

// Every test runs on each path this CPU has, forced in turn: the portable reference and
// the CPU-specific ones must give the same bytes.
class SM4 : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (GetParam() != smk::SM4_SelectPath(GetParam())) GTEST_SKIP() << "this CPU lacks the path";
    }
    void TearDown() override { smk::SM4_SelectPath(smk::SM4_PATH_GFNI); }
};

}  // namespace

std::string PathName(const ::testing::TestParamInfo<int>& info)
{
    static const char* const kNames[] = {"Portable", "AesNi", "Gfni"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Paths, SM4, ::testing::Values(smk::SM4_PATH_PORTABLE, smk::SM4_PATH_AESNI, smk::SM4_PATH_GFNI),
                         PathName);

// GB/T 32907-2016 appendix A, examples 1 and 2: one block, then 1,000,000 encryptions of
// it in a row; with a zero IV each time, CBC is the bare cipher.
TEST_P(SM4, StandardExamples)
{
    const Bytes key = FromHex(kStdKey);
    const Schedule enc = MakeSchedule(key.data(), 1);
    const Schedule dec = MakeSchedule(key.data(), 0);
    unsigned char block[16], iv[16] = {0};
    memcpy(block, key.data(), 16);
    ASSERT_EQ(1, SM4_cbc_encrypt(block, enc.rk, iv, block, 1));
    EXPECT_EQ("681edf34d206965e86b3e94f536e4246", ToHex(block, 16));
    EXPECT_EQ("681edf34d206965e86b3e94f536e4246", ToHex(iv, 16)) << "iv becomes the ciphertext";

    memset(iv, 0, 16);
    ASSERT_EQ(1, SM4_cbc_encrypt(block, dec.rk, iv, block, 0));
    EXPECT_EQ(kStdKey, ToHex(block, 16));

    memcpy(block, key.data(), 16);
    for (int i = 0; i < 1000000; ++i) {
        memset(iv, 0, 16);
        SM4_cbc_encrypt(block, enc.rk, iv, block, 1);
    }
    EXPECT_EQ("595298c7c6fd271f0402f804c33d3f66", ToHex(block, 16));
}

// Word-level entry points agree with the byte-level one.
TEST_P(SM4, WordTransformMatchesTheStandardExample)
{
    const Bytes key = FromHex(kStdKey);
    const Schedule enc = MakeSchedule(key.data(), 1);
    uint32_t in[4], out[4];
    smk::SM4_LoadWords(key.data(), in);
    ASSERT_EQ(1, smk::_SM4_CipherPlaintextTransform(in, enc.rk, out));
    EXPECT_EQ(0x681edf34u, out[0]);
    EXPECT_EQ(0x536e4246u, out[3]);
    uint32_t iv[4] = {0, 0, 0, 0};
    ASSERT_EQ(1, smk::_SM4_cbc_encrypt(in, enc.rk, iv, out, 1));
    EXPECT_EQ(0x681edf34u, iv[0]);
}

// Random keys, IVs and lengths, streamed in several calls on both sides: our chained
// blocks equal OpenSSL's SM4-CBC (padding off), and the IV left behind chains the next call.
TEST_P(SM4, CbcChainsMatchOpenSSLBothWays)
{
    std::mt19937_64 rng(0x5a4);
    for (int k = 0; k < 100; ++k) {
        const Bytes key = smtest::RandomBytes(rng, 16);
        const Bytes iv0 = smtest::RandomBytes(rng, 16);
        const Bytes plain = smtest::RandomBytes(rng, 16 * (rng() % 300));
        const size_t cut = 16 * (rng() % (plain.size() / 16 + 1));
        const Bytes head(plain.begin(), plain.begin() + cut), tail(plain.begin() + cut, plain.end());

        unsigned char iv[16];
        memcpy(iv, iv0.data(), 16);
        const Schedule enc = MakeSchedule(key.data(), 1);
        Bytes cipher = OurCbc(head, enc, iv, 1);
        const Bytes cipherTail = OurCbc(tail, enc, iv, 1);
        cipher.insert(cipher.end(), cipherTail.begin(), cipherTail.end());
        const Bytes peer = smtest::PeerSm4Cbc(plain, key.data(), iv0.data(), 1);
        ASSERT_FALSE(plain.size() && peer.empty()) << "OpenSSL's SM4-CBC is not available";
        ASSERT_EQ(ToHex(peer.data(), peer.size()), ToHex(cipher.data(), cipher.size()));
        const unsigned char* last = plain.empty() ? iv0.data() : cipher.data() + cipher.size() - 16;
        EXPECT_EQ(ToHex(last, 16), ToHex(iv, 16));

        memcpy(iv, iv0.data(), 16);
        const Schedule dec = MakeSchedule(key.data(), 0);
        const Bytes cHead(cipher.begin(), cipher.begin() + cut), cTail(cipher.begin() + cut, cipher.end());
        Bytes back = OurCbc(cHead, dec, iv, 0);
        const Bytes backTail = OurCbc(cTail, dec, iv, 0);
        back.insert(back.end(), backTail.begin(), backTail.end());
        EXPECT_EQ(ToHex(last, 16), ToHex(iv, 16)) << "iv becomes the last ciphertext block";
        const Bytes peerBack = smtest::PeerSm4Cbc(peer, key.data(), iv0.data(), 0);
        ASSERT_EQ(ToHex(peerBack.data(), peerBack.size()), ToHex(back.data(), back.size()));
        ASSERT_EQ(plain, back);
    }
}

// in and out may be one buffer in both directions.
TEST_P(SM4, CbcInPlace)
{
    std::mt19937_64 rng(7);
    const Bytes key = smtest::RandomBytes(rng, 16), iv0 = smtest::RandomBytes(rng, 16);
    const Bytes plain = smtest::RandomBytes(rng, 64);
    const Bytes peer = smtest::PeerSm4Cbc(plain, key.data(), iv0.data(), 1);
    Bytes buf = plain;
    unsigned char iv[16];
    memcpy(iv, iv0.data(), 16);
    const Schedule enc = MakeSchedule(key.data(), 1), dec = MakeSchedule(key.data(), 0);
    for (size_t i = 0; i < buf.size(); i += 16)
        SM4_cbc_encrypt(buf.data() + i, enc.rk, iv, buf.data() + i, 1);
    ASSERT_EQ(peer, buf);
    memcpy(iv, iv0.data(), 16);
    for (size_t i = 0; i < buf.size(); i += 16)
        SM4_cbc_encrypt(buf.data() + i, dec.rk, iv, buf.data() + i, 0);
    EXPECT_EQ(plain, buf);
}

// The multi-block form gives OpenSSL's bytes for any block count (the 4-block groups and
// the rest), chains across calls, works in place and leaves a trailing partial block alone.
TEST_P(SM4, MultiBlockCbcMatchesOpenSSL)
{
    std::mt19937_64 rng(0xb10c);
    for (int k = 0; k < 100; ++k) {
        const Bytes key = smtest::RandomBytes(rng, 16), iv0 = smtest::RandomBytes(rng, 16);
        const size_t nBlocks = k < 20 ? (size_t)k : rng() % 200;
        const Bytes plain = smtest::RandomBytes(rng, 16 * nBlocks);
        const size_t cut = 16 * (rng() % (nBlocks + 1));
        for (int enc = 1; enc >= 0; --enc) {
            SCOPED_TRACE(enc ? "encrypt" : "decrypt");
            const Bytes peer = smtest::PeerSm4Cbc(plain, key.data(), iv0.data(), enc);
            ASSERT_EQ(plain.size(), peer.size()) << "OpenSSL's SM4-CBC is not available";
            const Schedule s = MakeSchedule(key.data(), enc);
            Bytes buf = plain;
            buf.push_back(0xee); // a partial block that must stay as it is
            unsigned char iv[16];
            memcpy(iv, iv0.data(), 16);
            ASSERT_EQ(1, smk::SM4_cbc_encrypt_blocks(buf.data(), cut, s.rk, iv, buf.data(), enc));
            ASSERT_EQ(1, smk::SM4_cbc_encrypt_blocks(buf.data() + cut, buf.size() - cut, s.rk, iv,
                                                     buf.data() + cut, enc));
            EXPECT_EQ(0xee, buf.back());
            buf.pop_back();
            ASSERT_EQ(peer, buf);
            const unsigned char* last = nBlocks ? (enc ? peer : plain).data() + 16 * (nBlocks - 1) : iv0.data();
            EXPECT_EQ(ToHex(last, 16), ToHex(iv, 16));
        }
    }
}

// Decryption into a separate buffer reads the chaining ciphertext from the input, decryption
// in place from a copy: both give OpenSSL's bytes across the chunk boundaries.
TEST_P(SM4, MultiBlockCbcDecryptionIntoOtherBuffers)
{
    std::mt19937_64 rng(0xdec0);
    for (size_t nBlocks : {1u, 63u, 64u, 65u, 130u, 1000u}) {
        SCOPED_TRACE(nBlocks);
        const Bytes key = smtest::RandomBytes(rng, 16), iv0 = smtest::RandomBytes(rng, 16);
        const Bytes cipher = smtest::RandomBytes(rng, 16 * nBlocks);
        const Bytes peer = smtest::PeerSm4Cbc(cipher, key.data(), iv0.data(), 0);
        ASSERT_EQ(cipher.size(), peer.size()) << "OpenSSL's SM4-CBC is not available";
        const Schedule s = MakeSchedule(key.data(), 0);
        for (bool bInPlace : {true, false}) {
            SCOPED_TRACE(bInPlace ? "in place" : "separate output");
            Bytes buf(2 * cipher.size());
            unsigned char* pIn = buf.data();
            unsigned char* pOut = bInPlace ? pIn : pIn + cipher.size();
            memcpy(pIn, cipher.data(), cipher.size());
            unsigned char iv[16];
            memcpy(iv, iv0.data(), 16);
            ASSERT_EQ(1, smk::SM4_cbc_encrypt_blocks(pIn, cipher.size(), s.rk, iv, pOut, 0));
            EXPECT_EQ(peer, Bytes(pOut, pOut + cipher.size()));
            EXPECT_EQ(ToHex(cipher.data() + cipher.size() - 16, 16), ToHex(iv, 16));
        }
    }
}
