#include "Base64Utility.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "vomu_result.h"

namespace {

std::string Encode(const std::vector<unsigned char>& data, unsigned long dwFlags)
{
    char* psz = nullptr;
    int nLen = -1;
    if (VOMU_OK != Base64EncodeEx(data.empty() ? (const unsigned char*)"" : data.data(), (int)data.size(), &psz, &nLen, dwFlags)) return "<fail>";
    std::string text(psz, nLen);
    EXPECT_EQ(strlen(psz), (size_t)nLen);
    delete[] psz;
    return text;
}

std::vector<unsigned char> Decode(const std::string& text, int* pnResult = nullptr)
{
    unsigned char* pby = nullptr;
    int nLen = -1;
    const int nResult = Base64DecodeEx(text.data(), (int)text.size(), &pby, &nLen);
    if (pnResult) *pnResult = nResult;
    if (VOMU_OK != nResult) return {};
    std::vector<unsigned char> out(pby, pby + nLen);
    delete[] pby;
    return out;
}

// Independent peer: OpenSSL's EVP_EncodeBlock (one line, padded).
std::string OpenSslBase64(const std::vector<unsigned char>& data)
{
    std::vector<unsigned char> out(4 * ((data.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), data.data(), (int)data.size());
    return std::string((const char*)out.data(), n);
}

std::string Without(std::string text, const std::string& drop)
{
    std::string out;
    for (char c : text)
        if (drop.find(c) == std::string::npos) out += c;
    return out;
}

std::vector<unsigned char> Pattern(size_t n)
{
    std::vector<unsigned char> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = (unsigned char)(i * 131 + 7 + (i >> 8));
    return data;
}

}  // namespace

// Every length 0..1000 and every flag: the characters agree with OpenSSL, the line layout is
// 76-character lines joined by CR LF, the size bound holds, and the text decodes back.
TEST(Base64Utility, MatchesOpenSslForEveryLengthAndFlag)
{
    for (size_t n = 0; n <= 1000; ++n) {
        const std::vector<unsigned char> data = Pattern(n);
        const std::string peer = OpenSslBase64(data);
        for (unsigned long dwFlags : {ATL_BASE64_FLAG_NONE, ATL_BASE64_FLAG_NOPAD, ATL_BASE64_FLAG_NOCRLF}) {
            SCOPED_TRACE("n=" + std::to_string(n) + " flag=" + std::to_string(dwFlags));
            if (0 == n && ATL_BASE64_FLAG_NOCRLF == dwFlags) continue;  // no text: an encode error
            const std::string text = Encode(data, dwFlags);
            ASSERT_NE("<fail>", text);
            EXPECT_LE((int)text.size(), Base64EncodeGetRequiredLength((int)n, dwFlags));
            const std::string expected = ATL_BASE64_FLAG_NOPAD == dwFlags ? Without(peer, "=") : peer;
            EXPECT_EQ(expected, Without(text, "\r\n"));
            if (ATL_BASE64_FLAG_NOCRLF == dwFlags) {
                EXPECT_EQ(std::string::npos, text.find_first_of("\r\n"));
            } else {
                // Every line but the last holds 76 characters; line breaks are CR LF.
                size_t nStart = 0;
                for (size_t nBreak; (nBreak = text.find("\r\n", nStart)) != std::string::npos; nStart = nBreak + 2)
                    EXPECT_EQ(76u, nBreak - nStart);
                EXPECT_LE(text.size() - nStart, 76u);
            }
            if (n > 0) {
                EXPECT_EQ(data, Decode(text));
            }
        }
    }
}

TEST(Base64Utility, LineLayoutAtTheLineBoundary)
{
    const std::vector<unsigned char> data57 = Pattern(57), data58 = Pattern(58);
    std::string t57 = Encode(data57, ATL_BASE64_FLAG_NONE);
    ASSERT_EQ(78u, t57.size());
    EXPECT_EQ("\r\n", t57.substr(76));
    std::string t58 = Encode(data58, ATL_BASE64_FLAG_NONE);
    ASSERT_EQ(82u, t58.size());
    EXPECT_EQ("\r\n", t58.substr(76, 2));
    EXPECT_EQ("==", t58.substr(80));
    EXPECT_EQ(80u, Encode(data58, ATL_BASE64_FLAG_NOCRLF).size());
    EXPECT_EQ("YWJj", Encode({'a', 'b', 'c'}, ATL_BASE64_FLAG_NONE));
    EXPECT_EQ("YWJj", Encode({'a', 'b', 'c'}, ATL_BASE64_FLAG_NOPAD));
    EXPECT_EQ("YWJj", Encode({'a', 'b', 'c'}, ATL_BASE64_FLAG_NOCRLF));
    EXPECT_EQ(2u, Encode({1}, ATL_BASE64_FLAG_NOPAD).size());
    EXPECT_EQ(3u, Encode({1, 2}, ATL_BASE64_FLAG_NOPAD).size());
}

TEST(Base64Utility, RequiredLengthFormula)
{
    struct { int n; unsigned long flags; int expected; } cases[] = {
        {0, ATL_BASE64_FLAG_NONE, 2}, {0, ATL_BASE64_FLAG_NOCRLF, 0}, {1, ATL_BASE64_FLAG_NONE, 6},
        {57, ATL_BASE64_FLAG_NONE, 80}, {100, ATL_BASE64_FLAG_NONE, 140}, {100, ATL_BASE64_FLAG_NOCRLF, 136},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, Base64EncodeGetRequiredLength(c.n, c.flags)) << c.n;
    EXPECT_EQ(100, Base64DecodeGetRequiredLength(100));
}

TEST(Base64Utility, EncodeRefusals)
{
    char* psz = nullptr;
    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(VOMU_E_INVALID_ARG, Base64EncodeEx(abc, 3, nullptr, nullptr, 0));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Base64EncodeEx(abc, 3, &psz, nullptr, 3));
    EXPECT_EQ(VOMU_E_BASE64_ENCODE, Base64EncodeEx(abc, 0, &psz, nullptr, ATL_BASE64_FLAG_NOCRLF));
    EXPECT_EQ(VOMU_E_BASE64_ENCODE, Base64EncodeEx(nullptr, 3, &psz, nullptr, 0));
    EXPECT_EQ(nullptr, psz);
    // The raw codec refuses a buffer below the bound.
    char sz[8];
    int nCap = 3;
    EXPECT_FALSE(Base64Encode(abc, 3, sz, &nCap, ATL_BASE64_FLAG_NOCRLF));
}

// Characters outside the alphabet are skipped, so any line length with LF or CR LF decodes
// the same.
TEST(Base64Utility, DecodeIgnoresLineBreaksOfAnyLength)
{
    const std::vector<unsigned char> data = Pattern(300);
    const std::string oneLine = OpenSslBase64(data);
    for (size_t nLine = 1; nLine <= 100; ++nLine) {
        for (const char* pszBreak : {"\n", "\r\n"}) {
            std::string text;
            for (size_t i = 0; i < oneLine.size(); i += nLine) text += oneLine.substr(i, nLine) + pszBreak;
            ASSERT_EQ(data, Decode(text)) << "line " << nLine;
        }
    }
    EXPECT_EQ(data, Decode(Without(oneLine, "=")));
    EXPECT_EQ(std::vector<unsigned char>({'a', 'b', 'c'}), Decode(" Y W\tJ j "));
}

TEST(Base64Utility, DecodeEdgeCases)
{
    EXPECT_EQ(std::vector<unsigned char>({0x61}), Decode("YQ"));
    int nResult = 0;
    EXPECT_TRUE(Decode("!!**\r\n", &nResult).empty());
    EXPECT_EQ(VOMU_OK, nResult);
    Decode("", &nResult);
    EXPECT_EQ(VOMU_E_BASE64_DECODE, nResult);
    // A NUL at a group boundary ends the text; one inside a group is skipped.
    EXPECT_EQ(std::vector<unsigned char>({'a', 'b', 'c'}), Decode(std::string("YWJj\0YWJj", 9)));
    EXPECT_EQ(std::vector<unsigned char>({'a', 'b', 'c'}), Decode(std::string("YW\0Jj", 5)));
    unsigned char* pby = nullptr;
    int nLen = 0;
    EXPECT_EQ(VOMU_E_BASE64_DECODE, Base64DecodeEx(nullptr, 4, &pby, &nLen));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Base64DecodeEx("YWJj", 4, nullptr, &nLen));
    EXPECT_EQ(nullptr, pby);
}

TEST(Base64Utility, RawDecodeSizeQueryAndSmallBuffer)
{
    int nLen = 0;
    EXPECT_FALSE(Base64Decode("YWJjZGVm", 8, nullptr, &nLen));
    EXPECT_EQ(6, nLen);
    unsigned char by[4] = {0};
    nLen = 4;
    EXPECT_FALSE(Base64Decode("YWJjZGVm", 8, by, &nLen));
    EXPECT_EQ(6, nLen);
    EXPECT_EQ(0, memcmp(by, "abc", 3));
    EXPECT_FALSE(Base64Decode(nullptr, 8, by, &nLen));
    for (unsigned ch = 0; ch < 256; ++ch) {
        const char* p = strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", (int)ch);
        EXPECT_EQ(ch && p ? (int)(p - "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") : -1,
                  DecodeBase64Char(ch));
    }
}
