// Start-up and shut-down, hex text and buffer release of the flat interface.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

#include "SdkTestUtil.h"

using sdktest::Data;
using sdktest::FailedLine;
using sdktest::Session;

namespace {

struct HexCase {
    const char* pszText;
    bool bReverse;
    std::vector<unsigned char> expected;
};

TEST(ConvertStringToBinaryData, DecodesPairsInOrderOrReversed)
{
    const HexCase cases[] = {
        {"0A1b", false, {0x0A, 0x1B}},
        {"0A1b", true, {0x1B, 0x0A}},
        {"ABC", false, {0xAB}},               // an odd last digit is ignored
        {"A", false, {}},                      // no whole pair: no bytes, still success
        {"00ff00", true, {0x00, 0xFF, 0x00}},
        {"0123456789abcdefABCDEF", false, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}},
    };
    for (const HexCase& c : cases) {
        SCOPED_TRACE(std::string(c.pszText) + (c.bReverse ? " reversed" : ""));
        Data bytes;
        int nLen = -1;
        ASSERT_EQ(VOMU_OK, ConvertStringToBinaryData(c.pszText, bytes.Out(), &nLen, c.bReverse));
        ASSERT_NE(nullptr, bytes.Get());
        ASSERT_EQ((int)c.expected.size(), nLen);
        EXPECT_EQ(c.expected, std::vector<unsigned char>(bytes.Get(), bytes.Get() + nLen));
        // Four zero bytes follow the data.
        EXPECT_EQ(0, memcmp(bytes.Get() + nLen, "\0\0\0\0", 4));
    }
}

TEST(ConvertStringToBinaryData, RefusesBadTextAndLeavesOutputsUntouched)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    struct {
        const char* pszText;
        const char* pszStep;
        const char* pszReason;
    } const cases[] = {
        {"0G", "strcmp", "0 != nResult"},
        {"0A 1B", "strcmp", "0 != nResult"},
        {"0A1B-", "strcmp", "0 != nResult"},
        {"", "Check parameter(pszHexString).", "(NULL == pszHexString || 0 == strlen(pszHexString))"},
        {nullptr, "Check parameter(pszHexString).", "(NULL == pszHexString || 0 == strlen(pszHexString))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszText ? c.pszText : "NULL");
        Data bytes;
        int nLen = 77;
        EXPECT_EQ(VOMU_E_INVALID_ARG, ConvertStringToBinaryData(c.pszText, bytes.Out(), &nLen, false));
        EXPECT_TRUE(bytes.Untouched());
        EXPECT_EQ(77, nLen);
        EXPECT_TRUE(session.LogHas(
            FailedLine("ConvertStringToBinaryData", c.pszStep, VOMU_E_INVALID_ARG, c.pszReason)));
    }
    int nLen = 0;
    unsigned char* pby = nullptr;
    EXPECT_EQ(VOMU_E_INVALID_ARG, ConvertStringToBinaryData("00", nullptr, &nLen, false));
    EXPECT_EQ(VOMU_E_INVALID_ARG, ConvertStringToBinaryData("00", &pby, nullptr, false));
    EXPECT_TRUE(session.LogHas(FailedLine("ConvertStringToBinaryData", "Check parameter(ppbyBinaryData).",
                                          VOMU_E_INVALID_ARG, "NULL == ppbyBinaryData")));
    EXPECT_TRUE(session.LogHas(FailedLine("ConvertStringToBinaryData", "Check parameter(pnBinaryDataLen).",
                                          VOMU_E_INVALID_ARG, "NULL == pnBinaryDataLen")));
}

TEST(FreeMemory, IgnoresNull) { FreeMemory(nullptr); }

std::string Sha256Hex(const char* psz)
{
    unsigned char md[32];
    unsigned int n = 0;
    if (1 != EVP_Digest(psz, strlen(psz), md, &n, EVP_sha256(), nullptr)) return "";
    std::string out;
    char sz[3];
    for (unsigned i = 0; i < n; ++i) snprintf(sz, sizeof sz, "%02x", md[i]), out += sz;
    return out;
}

// FIPS-197 appendix C.1 through the default library context.
bool Aes128Works()
{
    const unsigned char key[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const unsigned char plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                     0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    const unsigned char expected[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                        0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    EVP_CIPHER_CTX* pCtx = EVP_CIPHER_CTX_new();
    unsigned char out[32];
    int n = 0;
    const bool bOk = pCtx && 1 == EVP_EncryptInit_ex(pCtx, EVP_aes_128_ecb(), nullptr, key, nullptr) &&
                     1 == EVP_CIPHER_CTX_set_padding(pCtx, 0) &&
                     1 == EVP_EncryptUpdate(pCtx, out, &n, plain, 16) && 16 == n &&
                     0 == memcmp(out, expected, 16);
    EVP_CIPHER_CTX_free(pCtx);
    return bOk;
}

int CountOf(const std::string& strText, const std::string& strPart)
{
    int n = 0;
    for (size_t pos = strText.find(strPart); pos != std::string::npos; pos = strText.find(strPart, pos + 1)) ++n;
    return n;
}

TEST(Initialize, RepeatsStopsAndStartsAgainLeavingTheDefaultContextAlone)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    EXPECT_EQ(VOMU_OK, Initialize());

    // A logged step tells whether records reach the log.
    unsigned char* pby = nullptr;
    int nLen = 0;
    const std::string strLine = FailedLine("ConvertStringToBinaryData", "strcmp", VOMU_E_INVALID_ARG, "0 != nResult");
    auto LogOneLine = [&] { ConvertStringToBinaryData("XY", &pby, &nLen, false); };

    LogOneLine();
    EXPECT_EQ(1, CountOf(session.Log(), strLine));

    EXPECT_EQ(VOMU_OK, Uninitialize());
    EXPECT_EQ(VOMU_OK, Uninitialize());
    LogOneLine();
    EXPECT_EQ(1, CountOf(session.Log(), strLine)) << "records after Uninitialize are dropped";
    // SHA-256 of "abc" (FIPS 180-2) and AES: the process's own OpenSSL still serves others.
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256Hex("abc"));
    EXPECT_TRUE(Aes128Works());

    EXPECT_EQ(VOMU_OK, Initialize());
    LogOneLine();
    EXPECT_EQ(2, CountOf(session.Log(), strLine)) << "records resume after Initialize";
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256Hex("abc"));
    EXPECT_TRUE(Aes128Works());
}

}  // namespace
