#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <type_traits>

#include "SM3.h"
#include "SmPeer.h"

using smtest::Bytes;
using smtest::ToHex;

static_assert(std::is_trivially_copyable<SM3_CTX>::value, "copying the bytes copies the state");
static_assert(sizeof(SM3_CTX) <= 112, "fits the library's digest context data");

namespace {

std::string Hex(const unsigned char md[SM3_DIGEST_LENGTH]) { return ToHex(md, SM3_DIGEST_LENGTH); }

// Digest of msg fed as the pieces [0,i), [i,j), [j,n).
std::string DigestInPieces(const std::string& msg, size_t i, size_t j)
{
    SM3_CTX ctx;
    unsigned char md[SM3_DIGEST_LENGTH];
    EXPECT_EQ(1, SM3_Init(&ctx));
    EXPECT_EQ(1, SM3_Update(&ctx, msg.data(), i));
    EXPECT_EQ(1, SM3_Update(&ctx, msg.data() + i, j - i));
    EXPECT_EQ(1, SM3_Update(&ctx, msg.data() + j, msg.size() - j));
    EXPECT_EQ(1, SM3_Final(md, &ctx));
    return Hex(md);
}

std::string DigestByteByByte(const std::string& msg)
{
    SM3_CTX ctx;
    unsigned char md[SM3_DIGEST_LENGTH];
    EXPECT_EQ(1, SM3_Init(&ctx));
    for (char c : msg)
        EXPECT_EQ(1, SM3_Update(&ctx, &c, 1));
    EXPECT_EQ(1, SM3_Final(md, &ctx));
    return Hex(md);
}

struct Vector {
    const char* name;
    std::string msg;
    const char* digest;
};

// GB/T 32905-2016 appendix A (examples 1 and 2); the empty message from `openssl dgst -sm3`.
const Vector kVectors[] = {
    {"abc", "abc", "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"},
    {"abcd x16",
     "abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd",
     "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"},
    {"empty", "", "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b"},
};

// Every compression path (an smk::SM3Path); a path this CPU lacks is skipped.
class SM3Path : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (GetParam() != smk::SM3_SelectPath(GetParam()))
            GTEST_SKIP() << "this CPU lacks the instructions of this SM3 path";
    }
};

std::string PathName(const ::testing::TestParamInfo<int>& info)
{
    static const char* const kNames[] = {"Portable", "Bmi2", "Avx512"};
    return kNames[info.param];
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Compression, SM3Path,
                         ::testing::Values(smk::SM3_PATH_PORTABLE, smk::SM3_PATH_BMI2, smk::SM3_PATH_AVX512),
                         PathName);

TEST_P(SM3Path, StandardVectorsInEveryFeedingMode)
{
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        const size_t n = v.msg.size();
        unsigned char md[SM3_DIGEST_LENGTH];
        EXPECT_EQ(md, SM3((const unsigned char*)v.msg.data(), n, md));
        EXPECT_EQ(v.digest, Hex(md));
        EXPECT_EQ(v.digest, DigestByteByByte(v.msg));
        for (size_t i = 0; i <= n; ++i)
            for (size_t j = i; j <= n; ++j)
                ASSERT_EQ(v.digest, DigestInPieces(v.msg, i, j)) << "split at " << i << ", " << j;
    }
}

TEST(SM3, OneShotWithoutOutputUsesItsOwnBuffer)
{
    const unsigned char* md = SM3((const unsigned char*)"abc", 3, NULL);
    ASSERT_NE(nullptr, md);
    EXPECT_EQ(kVectors[0].digest, Hex(md));
    EXPECT_EQ(md, SM3((const unsigned char*)"abc", 3, NULL));
}

// A full block waits in the buffer; the next byte compresses it.
TEST(SM3, FullBlockIsHeldUntilMoreInput)
{
    SM3_CTX ctx;
    const unsigned char block[65] = {0};
    ASSERT_EQ(1, SM3_Init(&ctx));
    ASSERT_EQ(1, SM3_Update(&ctx, block, 64));
    EXPECT_EQ(64u, ctx.buffered);
    EXPECT_EQ(0u, ctx.total);
    ASSERT_EQ(1, SM3_Update(&ctx, block + 64, 1));
    EXPECT_EQ(1u, ctx.buffered);
    EXPECT_EQ(64u, ctx.total);
}

// Compressing a waiting full block early changes no digest, whatever is buffered.
TEST(SM3, CompressBufferedKeepsTheDigest)
{
    std::mt19937_64 rng(7);
    const Bytes data = smtest::RandomBytes(rng, 200);
    for (size_t n : {0, 1, 63, 64, 65, 128, 130}) {
        SM3_CTX ctx;
        unsigned char md[SM3_DIGEST_LENGTH];
        ASSERT_EQ(1, SM3_Init(&ctx));
        ASSERT_EQ(1, SM3_Update(&ctx, data.data(), n));
        ASSERT_EQ(1, smk::SM3_CompressBuffered(&ctx));
        EXPECT_GT(64u, ctx.buffered) << "length " << n;
        ASSERT_EQ(1, SM3_Update(&ctx, data.data() + n, 5));
        ASSERT_EQ(1, SM3_Final(md, &ctx));
        EXPECT_EQ(smtest::PeerSm3(data.data(), n + 5), Hex(md)) << "length " << n;
    }
    EXPECT_EQ(0, smk::SM3_CompressBuffered(NULL));
}

// Lengths around the one-or-two padding blocks boundary (55/56) and block edges.
TEST_P(SM3Path, EveryShortLengthMatchesOpenSSL)
{
    std::mt19937_64 rng(1);
    const Bytes data = smtest::RandomBytes(rng, 300);
    for (size_t n = 0; n <= data.size(); ++n) {
        unsigned char md[SM3_DIGEST_LENGTH];
        ASSERT_EQ(md, SM3(data.data(), n, md));
        ASSERT_EQ(smtest::PeerSm3(data.data(), n), Hex(md)) << "length " << n;
    }
}

TEST_P(SM3Path, RandomMessagesInRandomPiecesMatchOpenSSL)
{
    std::mt19937_64 rng(20261210);
    for (int k = 0; k < 200; ++k) {
        const Bytes data = smtest::RandomBytes(rng, rng() % 100001);
        SM3_CTX ctx;
        unsigned char md[SM3_DIGEST_LENGTH];
        ASSERT_EQ(1, SM3_Init(&ctx));
        for (size_t pos = 0; pos < data.size();) {
            const size_t piece = std::min<size_t>(data.size() - pos, rng() % 300 == 0 ? 0 : rng() % 5000);
            ASSERT_EQ(1, SM3_Update(&ctx, data.data() + pos, piece));
            pos += piece;
        }
        ASSERT_EQ(1, SM3_Final(md, &ctx));
        ASSERT_EQ(smtest::PeerSm3(data.data(), data.size()), Hex(md)) << "length " << data.size();
    }
}

// Digests of prefix || ct (32 bits big-endian), several at once, against OpenSSL's SM3 of
// each whole message: prefixes that leave the buffer empty, nearly full (the counter then
// spills into a second block) or holding a whole block, a counter that wraps, and every
// count up to the limit.
TEST_P(SM3Path, CounterDigestsMatchOpenSSL)
{
    std::mt19937_64 rng(7);
    const Bytes data = smtest::RandomBytes(rng, 200);
    const struct {
        size_t nPrefix;
        bool bCompressBuffered;
        uint32_t ct0;
    } kCases[] = {{0, false, 1}, {1, false, 1}, {51, false, 9}, {52, false, 1}, {60, false, 1},
                  {63, false, 1}, {64, false, 1}, {64, true, 1}, {65, false, 0xfffffff8u}, {128, false, 1},
                  {128, true, 1}, {200, false, 77}};
    for (const auto& c : kCases) {
        SM3_CTX prefix;
        ASSERT_EQ(1, SM3_Init(&prefix));
        ASSERT_EQ(1, SM3_Update(&prefix, data.data(), c.nPrefix));
        if (c.bCompressBuffered) {
            ASSERT_EQ(1, smk::SM3_CompressBuffered(&prefix));
        }
        const SM3_CTX before = prefix;
        for (size_t count = 1; count <= smk::SM3_MAX_COUNTERS; ++count) {
            unsigned char md[smk::SM3_MAX_COUNTERS][SM3_DIGEST_LENGTH];
            ASSERT_EQ(1, smk::SM3_FinalCounters(&prefix, c.ct0, count, md));
            ASSERT_EQ(0, memcmp(&before, &prefix, sizeof(prefix)));
            for (size_t i = 0; i < count; ++i) {
                Bytes msg(data.begin(), data.begin() + c.nPrefix);
                const uint32_t ct = c.ct0 + (uint32_t)i;
                msg.insert(msg.end(), {(unsigned char)(ct >> 24), (unsigned char)(ct >> 16), (unsigned char)(ct >> 8),
                                       (unsigned char)ct});
                ASSERT_EQ(smtest::PeerSm3(msg.data(), msg.size()), Hex(md[i]))
                    << "prefix " << c.nPrefix << ", count " << count << ", lane " << i;
            }
        }
    }
    unsigned char md[smk::SM3_MAX_COUNTERS + 1][SM3_DIGEST_LENGTH];
    SM3_CTX prefix;
    ASSERT_EQ(1, SM3_Init(&prefix));
    EXPECT_EQ(0, smk::SM3_FinalCounters(&prefix, 1, 0, md));
    EXPECT_EQ(0, smk::SM3_FinalCounters(&prefix, 1, smk::SM3_MAX_COUNTERS + 1, md));
    EXPECT_EQ(0, smk::SM3_FinalCounters(NULL, 1, 1, md));
    EXPECT_EQ(0, smk::SM3_FinalCounters(&prefix, 1, 1, NULL));
}

// The context is a plain record: a byte copy taken mid-stream continues independently.
TEST(SM3, ByteCopyOfTheContextCarriesTheState)
{
    const std::string msg = kVectors[1].msg;
    SM3_CTX ctx, copy;
    ASSERT_EQ(1, SM3_Init(&ctx));
    ASSERT_EQ(1, SM3_Update(&ctx, msg.data(), 37));
    memcpy(&copy, &ctx, sizeof(ctx));
    ASSERT_EQ(1, SM3_Update(&ctx, "junk", 4));
    ASSERT_EQ(1, SM3_Update(&copy, msg.data() + 37, msg.size() - 37));
    unsigned char md[SM3_DIGEST_LENGTH];
    ASSERT_EQ(1, SM3_Final(md, &copy));
    EXPECT_EQ(kVectors[1].digest, Hex(md));
}

TEST(SM3, NullArgumentsFailWithoutChangingTheContext)
{
    SM3_CTX ctx, before;
    unsigned char md[SM3_DIGEST_LENGTH];
    EXPECT_EQ(0, SM3_Init(NULL));
    ASSERT_EQ(1, SM3_Init(&ctx));
    ASSERT_EQ(1, SM3_Update(&ctx, "ab", 2));
    memcpy(&before, &ctx, sizeof(ctx));
    EXPECT_EQ(0, SM3_Update(&ctx, NULL, 1));
    EXPECT_EQ(0, SM3_Update(NULL, "c", 1));
    EXPECT_EQ(1, SM3_Update(&ctx, NULL, 0));
    EXPECT_EQ(0, memcmp(&before, &ctx, sizeof(ctx)));
    EXPECT_EQ(0, SM3_Final(NULL, &ctx));
    EXPECT_EQ(0, SM3_Final(md, NULL));
    EXPECT_EQ(nullptr, SM3(NULL, 1, md));
    ASSERT_EQ(1, SM3_Update(&ctx, "c", 1));
    ASSERT_EQ(1, SM3_Final(md, &ctx));
    EXPECT_EQ(kVectors[0].digest, Hex(md));
}
