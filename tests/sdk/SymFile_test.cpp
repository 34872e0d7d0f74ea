// SymEncryptFile and SymDecryptFile through MORV.h, against `openssl enc -d` with the key and IV
// taken from the key text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "MORV.h"
#include "SdkTestUtil.h"

namespace {

using sdktest::Bytes;
using sdktest::Listing;
using sdktest::Session;
using sdktest::Text;

const unsigned long long kFileSizeLimit = 0x1F400000;

Bytes Message(size_t n)
{
    Bytes m(n);
    for (size_t i = 0; i < n; ++i) m[i] = (unsigned char)(i * 37 + (i >> 9));
    return m;
}

std::string Lower(std::string s)
{
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// `openssl enc -d` of our encrypted file with the IV and key of the key text.
Bytes PeerDecrypt(const std::string& name, const std::string& keyText, const std::string& in)
{
    const bool bSm4 = Lower(name) == "sm4_cbc";
    const size_t nIVHex = bSm4 ? 32 : 16;
    const std::string cmd = std::string("openssl enc -d ") + (bSm4 ? "-sm4-cbc" : "-des-ede3-cbc") +
                            " -provider legacy -provider default -iv " + keyText.substr(0, nIVHex) +
                            " -K " + keyText.substr(nIVHex) + " -in '" + in + "' -out '" + in + ".peer'";
    if (0 != sdktest::Shell(cmd)) return Bytes();
    return sdktest::ReadBytes(in + ".peer");
}

class SymFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_session.Ok()); }
    std::string Path(const std::string& name) const { return m_dir.Path(name); }

    Session m_session;
    sdktest::TempDir m_dir;
};

TEST_F(SymFile, RoundTripsAndOpensslDecrypts)
{
    for (const char* pszName : {"SM4_CBC", "3DES_CBC", "sm4_cbc", "3des_cbc"}) {
        const size_t nBlock = Lower(pszName) == "sm4_cbc" ? 16 : 8;
        for (size_t n : {(size_t)1, (size_t)16, (size_t)17, (size_t)16384, (size_t)1000000}) {
            SCOPED_TRACE(std::string(pszName) + " " + std::to_string(n));
            const Bytes plain = Message(n);
            ASSERT_TRUE(sdktest::WriteBytes(Path("plain"), plain.data(), plain.size()));
            Text key;
            ASSERT_EQ(VOMU_OK, SymEncryptFile(pszName, Path("plain").c_str(), Path("enc").c_str(), key.Out()));
            const std::string keyText = key.Get();
            ASSERT_EQ(64u, keyText.size());
            EXPECT_EQ(std::string::npos, keyText.find_first_not_of("0123456789ABCDEF"));
            EXPECT_EQ((n / nBlock + 1) * nBlock, sdktest::ReadBytes(Path("enc")).size());
            EXPECT_EQ(plain, PeerDecrypt(pszName, keyText, Path("enc")));
            // The key text in lower case opens it too.
            ASSERT_EQ(VOMU_OK, SymDecryptFile(pszName, Path("enc").c_str(), Lower(keyText).c_str(),
                                              Path("back").c_str()));
            EXPECT_EQ(plain, sdktest::ReadBytes(Path("back")));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"back", "enc", "enc.peer", "plain"}), Listing(m_dir.Dir()));
}

// Each failure leaves an existing output byte for byte as it was, and no temporary file.
TEST_F(SymFile, FailuresLeaveTheOutputUntouched)
{
    const Bytes plain = Message(1000);
    ASSERT_TRUE(sdktest::WriteBytes(Path("plain"), plain.data(), plain.size()));
    ASSERT_TRUE(sdktest::WriteBytes(Path("empty"), "", 0));
    // A wrong key still meets CBC's padding check about once in 256 tries, and then nothing
    // can tell it from the right one. The peer picks a key text whose wrong readings (another
    // key, and 3DES's view of it) it rejects, so the rows below fail for certain.
    std::string keyText, wrongKey;
    for (int nTry = 0; nTry < 20 && wrongKey.empty(); ++nTry) {
        Text key;
        ASSERT_EQ(VOMU_OK, SymEncryptFile("SM4_CBC", Path("plain").c_str(), Path("enc").c_str(), key.Out()));
        keyText = key.Get();
        std::string candidate = keyText;
        candidate[40] = candidate[40] == '0' ? '1' : '0';
        if (PeerDecrypt("SM4_CBC", candidate, Path("enc")).empty() &&
            PeerDecrypt("3DES_CBC", keyText, Path("enc")).empty())
            wrongKey = candidate;
        unlink(Path("enc.peer").c_str());
    }
    ASSERT_FALSE(wrongKey.empty()) << "no key text whose wrong readings the peer rejects";
    ASSERT_EQ(0, link(Path("plain").c_str(), Path("plain_link").c_str()));
    ASSERT_EQ(0, symlink(Path("enc").c_str(), Path("enc_symlink").c_str()));
    const std::string kOld = "an existing output file";

    struct Row { const char* pszWhat; bool bEncrypt; std::string name, in, keyText, out; int nExpected; };
    const Row rows[] = {
        {"unknown name", true, "AES_CBC", Path("plain"), "", Path("out"), VOMU_E_INVALID_ARG},
        {"unknown name", false, "RC4", Path("enc"), keyText, Path("out"), VOMU_E_INVALID_ARG},
        {"key text not hex", false, "SM4_CBC", Path("enc"), "zz" + keyText.substr(2), Path("out"), VOMU_E_INVALID_ARG},
        {"key text of 31 bytes", false, "SM4_CBC", Path("enc"), keyText.substr(0, 62), Path("out"), VOMU_E_FAIL},
        {"key text of 33 bytes", false, "SM4_CBC", Path("enc"), keyText + "00", Path("out"), VOMU_E_FAIL},
        {"wrong key", false, "SM4_CBC", Path("enc"), wrongKey, Path("out"), VOMU_E_DECRYPT},
        {"3DES split of an SM4 key", false, "3DES_CBC", Path("enc"), keyText, Path("out"), VOMU_E_DECRYPT},
        {"missing input", true, "SM4_CBC", Path("missing"), "", Path("out"), VOMU_E_OPEN_FILE},
        {"missing input", false, "SM4_CBC", Path("missing"), keyText, Path("out"), VOMU_E_OPEN_FILE},
        {"empty input", true, "3DES_CBC", Path("empty"), "", Path("out"), VOMU_E_READ_FILE},
        {"input is output", true, "SM4_CBC", Path("plain"), "", Path("plain"), VOMU_E_INVALID_ARG},
        {"input is output (hard link)", true, "SM4_CBC", Path("plain"), "", Path("plain_link"), VOMU_E_INVALID_ARG},
        {"input is output (symlink)", false, "SM4_CBC", Path("enc"), keyText, Path("enc_symlink"), VOMU_E_INVALID_ARG},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.pszWhat) + (row.bEncrypt ? " (encrypt)" : " (decrypt)"));
        const bool bOutIsInput = row.out == Path("plain") || row.out == Path("plain_link") ||
                                 row.out == Path("enc_symlink");
        if (!bOutIsInput) {
            ASSERT_TRUE(sdktest::WriteText(row.out, kOld));
        }
        const Bytes before = sdktest::ReadBytes(row.out);
        const std::vector<std::string> listing = Listing(m_dir.Dir());
        Text out;
        const int nResult = row.bEncrypt
                                ? SymEncryptFile(row.name.c_str(), row.in.c_str(), row.out.c_str(), out.Out())
                                : SymDecryptFile(row.name.c_str(), row.in.c_str(), row.keyText.c_str(), row.out.c_str());
        EXPECT_EQ(row.nExpected, nResult);
        EXPECT_EQ(before, sdktest::ReadBytes(row.out));
        EXPECT_EQ(listing, Listing(m_dir.Dir()));
        if (row.bEncrypt) {
            EXPECT_TRUE(out.Untouched());
        }
    }
    // Without an existing output, a failure creates none.
    Text out;
    EXPECT_EQ(VOMU_E_DECRYPT, SymDecryptFile("SM4_CBC", Path("enc").c_str(), wrongKey.c_str(), Path("new").c_str()));
    EXPECT_EQ(VOMU_E_READ_FILE, SymEncryptFile("SM4_CBC", Path("empty").c_str(), Path("new").c_str(), out.Out()));
    EXPECT_EQ(-1, access(Path("new").c_str(), F_OK));
}

// The size limit compares the true 64-bit size: a sparse file of exactly FILE_SIZE_LIMIT bytes is
// encrypted, one byte more or 4 GiB + 1 is refused before any output exists.
TEST_F(SymFile, SizeLimit)
{
    struct Row { unsigned long long nSize; int nExpected; } rows[] = {
        {kFileSizeLimit + 1, VOMU_E_FILE_TOO_LARGE},
        {(4ULL << 30) + 1, VOMU_E_FILE_TOO_LARGE},
        {kFileSizeLimit, VOMU_OK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.nSize);
        ASSERT_TRUE(sdktest::WriteBytes(Path("sparse"), "", 0));
        ASSERT_EQ(0, truncate(Path("sparse").c_str(), (off_t)row.nSize));
        Text key;
        EXPECT_EQ(row.nExpected, SymEncryptFile("SM4_CBC", Path("sparse").c_str(), Path("enc").c_str(), key.Out()));
        if (VOMU_OK == row.nExpected) {
            EXPECT_EQ(row.nSize + 16, (unsigned long long)sdktest::ReadBytes(Path("enc")).size());
        } else {
            EXPECT_EQ(-1, access(Path("enc").c_str(), F_OK));
        }
        unlink(Path("enc").c_str());
    }
}

// The key text and the plaintext never reach the log; the steps do.
TEST_F(SymFile, LogHoldsNoKeyTextOrPlaintext)
{
    const std::string secret = sdktest::kSecretPlaintext;
    ASSERT_TRUE(sdktest::WriteText(Path("plain"), secret + std::string(20000, 's')));
    Text key;
    ASSERT_EQ(VOMU_OK, SymEncryptFile("3DES_CBC", Path("plain").c_str(), Path("enc").c_str(), key.Out()));
    const std::string keyText = key.Get();
    ASSERT_EQ(VOMU_OK, SymDecryptFile("3DES_CBC", Path("enc").c_str(), keyText.c_str(), Path("back").c_str()));
    const std::string log = m_session.Log();
    EXPECT_NE(std::string::npos, log.find(sdktest::OkLine("SymEncryptFile", "SymFileEncrypt")));
    EXPECT_NE(std::string::npos, log.find(sdktest::OkLine("SymDecryptFile", "SymFileDecrypt")));
    EXPECT_EQ(std::string::npos, log.find(keyText));
    EXPECT_EQ(std::string::npos, log.find(Lower(keyText)));
    // Neither the IV nor the key on their own.
    EXPECT_EQ(std::string::npos, log.find(keyText.substr(16)));
    EXPECT_EQ(std::string::npos, log.find(keyText.substr(0, 16)));
}

}  // namespace
