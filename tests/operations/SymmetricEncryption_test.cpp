// Symmetric buffers and files against `openssl enc` (legacy provider for RC4 and 3DES).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "CipherPeer.h"
#include "LogCapture.h"
#include "SMKernel.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"

namespace {

using cipherpeer::Cipher;
using cipherpeer::Enc;
using cipherpeer::IVFor;
using cipherpeer::KeyFor;
using cipherpeer::Message;
using cipherpeer::Take;
using peer::Bytes;
using peer::TempFile;

const size_t kSizes[] = {0, 1, 15, 16, 17, 16384, 16385, 32769};
const Cipher kAll[] = {cipherpeer::kRC4, cipherpeer::kDes3Ecb, cipherpeer::kDes3Cbc,
                       cipherpeer::kSm4Cbc};

class Symmetric : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void TearDown() override { SMKernelUninitialize(); }
};

const unsigned char* OrNull(const Bytes& b) { return b.empty() ? nullptr : b.data(); }

int Encrypt(const Cipher& c, const Bytes& key, const Bytes& in, Bytes* pOut)
{
    unsigned char* pby = nullptr;
    int n = 0;
    const Bytes iv = IVFor(c);
    const int nResult = SymEncrypt(c.nNID, OrNull(iv), key.data(), (int)key.size(), in.data(),
                                   (int)in.size(), &pby, &n);
    if (VOMU_OK == nResult) *pOut = Take(pby, n);
    return nResult;
}

int Decrypt(const Cipher& c, const Bytes& key, const Bytes& in, Bytes* pOut, bool* pbZeroAfter = nullptr)
{
    unsigned char* pby = nullptr;
    int n = 0;
    const Bytes iv = IVFor(c);
    const int nResult = SymDecrypt(c.nNID, OrNull(iv), key.data(), (int)key.size(), in.data(),
                                   (int)in.size(), &pby, &n);
    if (VOMU_OK != nResult) return nResult;
    if (pbZeroAfter) *pbZeroAfter = 0 == pby[n];
    *pOut = Take(pby, n);
    return nResult;
}

// Our file function from one path to another (the output is created "wb").
int RunFile(bool bEncrypt, const Cipher& c, const Bytes& key, const std::string& in,
            const std::string& out)
{
    FILE* fpIn = fopen(in.c_str(), "rb");
    FILE* fpOut = fopen(out.c_str(), "wb");
    if (!fpIn || !fpOut) return -2;
    const Bytes iv = IVFor(c);
    const int nResult = bEncrypt ? SymFileEncrypt(c.nNID, OrNull(iv), key.data(), (int)key.size(), fpIn, fpOut)
                                 : SymFileDecrypt(c.nNID, OrNull(iv), key.data(), (int)key.size(), fpIn, fpOut);
    fclose(fpIn);
    fclose(fpOut);
    return nResult;
}

// SymEncrypt takes RC4 and 3DES; SymDecrypt all four. Ciphertext from the CLI, each size.
TEST_F(Symmetric, BuffersMatchOpensslEncBothWays)
{
    for (const Cipher& c : kAll) {
        for (size_t n : kSizes) {
            SCOPED_TRACE(std::string(c.pszEncName) + " " + std::to_string(n));
            const Bytes plain = Message(n);
            bool bOk = false;
            const Bytes expected = Enc(c, KeyFor(c), IVFor(c), false, plain, &bOk);
            ASSERT_TRUE(bOk);
            ASSERT_EQ(c.nBlockSize == 1 ? n : (n / c.nBlockSize + 1) * c.nBlockSize, expected.size());
            if (c.nNID != NID_ChinaSM4_CBC) {
                Bytes ours;
                ASSERT_EQ(VOMU_OK, Encrypt(c, KeyFor(c), plain, &ours));
                EXPECT_EQ(expected, ours);
            }
            Bytes back;
            bool bZeroAfter = false;
            ASSERT_EQ(VOMU_OK, Decrypt(c, KeyFor(c), expected, &back, &bZeroAfter));
            EXPECT_EQ(plain, back);
            EXPECT_TRUE(bZeroAfter);
        }
    }
}

// SymFileEncrypt takes RC4, 3DES-CBC and SM4-CBC; SymFileDecrypt all four. Empty files are
// refused (below).
TEST_F(Symmetric, FilesMatchOpensslEncBothWays)
{
    for (const Cipher& c : kAll) {
        for (size_t n : kSizes) {
            if (0 == n) continue;
            SCOPED_TRACE(std::string(c.pszEncName) + " " + std::to_string(n));
            TempFile plain(Message(n)), peerCipher, ours, back;
            ASSERT_TRUE(cipherpeer::EncFile(c, KeyFor(c), IVFor(c), false, plain.Path(), peerCipher.Path()));
            if (c.nNID != NID_des_ede3_ecb) {
                ASSERT_EQ(VOMU_OK, RunFile(true, c, KeyFor(c), plain.Path(), ours.Path()));
                EXPECT_EQ(peerCipher.Read(), ours.Read());
            }
            ASSERT_EQ(VOMU_OK, RunFile(false, c, KeyFor(c), peerCipher.Path(), back.Path()));
            EXPECT_EQ(plain.Read(), back.Read());
        }
    }
}

TEST_F(Symmetric, FileCiphertextSizes)
{
    struct Row { Cipher c; size_t nPlain; size_t nCipher; } rows[] = {
        {cipherpeer::kSm4Cbc, 16384, 16400}, {cipherpeer::kDes3Cbc, 32769, 32776},
        {cipherpeer::kRC4, 32769, 32769}, {cipherpeer::kSm4Cbc, 1, 16},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.c.pszEncName) + " " + std::to_string(row.nPlain));
        TempFile plain(Message(row.nPlain)), ours;
        ASSERT_EQ(VOMU_OK, RunFile(true, row.c, KeyFor(row.c), plain.Path(), ours.Path()));
        EXPECT_EQ(row.nCipher, ours.Read().size());
    }
}

// Which numbers and key lengths each function takes.
TEST_F(Symmetric, AcceptanceTables)
{
    enum Fn { ENC, DEC, FILE_ENC, FILE_DEC };
    const Cipher kUnknown = {NID_aes_128_cbc, "aes-128-cbc", 16, 16, 16};
    struct Row { Fn fn; Cipher c; size_t nKey; int nExpected; } rows[] = {
        {ENC, cipherpeer::kSm4Cbc, 16, VOMU_E_INVALID_ARG},
        {ENC, cipherpeer::kDes3Cbc, 16, VOMU_E_INVALID_ARG},
        {ENC, cipherpeer::kDes3Ecb, 16, VOMU_E_INVALID_ARG},
        {ENC, cipherpeer::kRC4, 24, VOMU_E_INVALID_ARG},
        {ENC, cipherpeer::kRC4, 15, VOMU_E_INVALID_ARG},
        {ENC, kUnknown, 16, VOMU_E_INVALID_ARG},
        {DEC, kUnknown, 16, VOMU_E_INVALID_ARG},
        // The decryptors read the cipher's key length: a shorter key would be overread.
        {DEC, cipherpeer::kDes3Cbc, 16, VOMU_E_INVALID_ARG},
        {DEC, cipherpeer::kSm4Cbc, 8, VOMU_E_INVALID_ARG},
        {FILE_ENC, cipherpeer::kDes3Ecb, 24, VOMU_E_INVALID_ARG},
        {FILE_ENC, cipherpeer::kDes3Cbc, 16, VOMU_E_INVALID_ARG},
        {FILE_ENC, cipherpeer::kSm4Cbc, 24, VOMU_E_INVALID_ARG},
        {FILE_ENC, cipherpeer::kRC4, 24, VOMU_E_INVALID_ARG},
        {FILE_ENC, kUnknown, 16, VOMU_E_INVALID_ARG},
        {FILE_DEC, kUnknown, 16, VOMU_E_INVALID_ARG},
        {FILE_DEC, cipherpeer::kRC4, 8, VOMU_E_INVALID_ARG},
    };
    const Bytes plain = Message(40);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.c.pszEncName) + " fn " + std::to_string(row.fn) + " key " +
                     std::to_string(row.nKey));
        const Bytes key(cipherpeer::kKey24.begin(), cipherpeer::kKey24.begin() + row.nKey);
        Bytes out;
        TempFile in(plain), outFile;
        int nResult = 0;
        switch (row.fn) {
        case ENC: nResult = Encrypt(row.c, key, plain, &out); break;
        case DEC: nResult = Decrypt(row.c, key, Bytes(48, 1), &out); break;
        case FILE_ENC: nResult = RunFile(true, row.c, key, in.Path(), outFile.Path()); break;
        case FILE_DEC: nResult = RunFile(false, row.c, key, in.Path(), outFile.Path()); break;
        }
        EXPECT_EQ(row.nExpected, nResult);
        if (row.fn >= FILE_ENC) {
            EXPECT_TRUE(outFile.Read().empty());
        }
    }
}

TEST_F(Symmetric, GenerateSymKeyByNumber)
{
    struct Row { int nNID; int nExpected; int nSize; } rows[] = {
        {NID_rc4, VOMU_OK, 16}, {NID_des_ede3_cbc, VOMU_OK, 24},
        {NID_des_ede3_ecb, VOMU_E_INVALID_ARG, 0}, {NID_ChinaSM4_CBC, VOMU_E_INVALID_ARG, 0},
        {NID_aes_128_cbc, VOMU_E_INVALID_ARG, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.nNID);
        unsigned char* pby = nullptr;
        int n = -1;
        ASSERT_EQ(row.nExpected, GenerateSymKey(row.nNID, &pby, &n));
        if (VOMU_OK != row.nExpected) {
            EXPECT_EQ(nullptr, pby);
            continue;
        }
        const Bytes key = Take(pby, n);
        ASSERT_EQ((size_t)row.nSize, key.size());
        unsigned char* pby2 = nullptr;
        int n2 = 0;
        ASSERT_EQ(VOMU_OK, GenerateSymKey(row.nNID, &pby2, &n2));
        EXPECT_NE(key, Take(pby2, n2));
        // DES keys carry odd parity in every byte, as DES_random_key makes them.
        if (NID_des_ede3_cbc == row.nNID) {
            for (unsigned char by : key) EXPECT_EQ(1, __builtin_parity(by)) << (int)by;
        }
    }
}

TEST_F(Symmetric, GetEVPCipherbyNIDGivesTheTableCiphers)
{
    for (const Cipher& c : kAll) {
        SCOPED_TRACE(c.pszEncName);
        EVP_CIPHER* pCipher = nullptr;
        ASSERT_EQ(VOMU_OK, GetEVPCipherbyNID(c.nNID, &pCipher));
        EXPECT_EQ((int)c.nKeySize, EVP_CIPHER_get_key_length(pCipher));
        EXPECT_EQ((int)c.nIVSize, EVP_CIPHER_get_iv_length(pCipher));
        EXPECT_EQ((int)c.nBlockSize, EVP_CIPHER_get_block_size(pCipher));
        EVP_CIPHER_free(pCipher);
    }
    EVP_CIPHER* pCipher = nullptr;
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetEVPCipherbyNID(NID_aes_128_cbc, &pCipher));
    EXPECT_EQ(nullptr, pCipher);
}

// A stopped kernel has no ciphers and no random numbers: nothing falls back to the process's
// default library context.
TEST_F(Symmetric, NothingWorksWhileTheKernelIsStopped)
{
    ASSERT_EQ(VOMU_OK, SMKernelUninitialize());
    EVP_CIPHER* pCipher = nullptr;
    EXPECT_EQ(VOMU_E_FAIL, GetEVPCipherbyNID(NID_des_ede3_cbc, &pCipher));
    unsigned char* pby = nullptr;
    int n = 0;
    EXPECT_EQ(VOMU_E_FAIL, GenerateSymKey(NID_rc4, &pby, &n));
    EXPECT_EQ(VOMU_E_FAIL, GenerateSymKey(NID_des_ede3_cbc, &pby, &n));
    EXPECT_EQ(nullptr, pby);
    Bytes out;
    EXPECT_EQ(VOMU_E_FAIL, Encrypt(cipherpeer::kDes3Cbc, KeyFor(cipherpeer::kDes3Cbc), Message(8), &out));
}

TEST_F(Symmetric, EmptyInputFilesAreRefusedAndNothingIsWritten)
{
    for (const Cipher& c : {cipherpeer::kDes3Cbc, cipherpeer::kSm4Cbc, cipherpeer::kRC4}) {
        SCOPED_TRACE(c.pszEncName);
        TempFile empty, out1, out2;
        EXPECT_EQ(VOMU_E_READ_FILE, RunFile(true, c, KeyFor(c), empty.Path(), out1.Path()));
        EXPECT_EQ(VOMU_E_READ_FILE, RunFile(false, c, KeyFor(c), empty.Path(), out2.Path()));
        EXPECT_TRUE(out1.Read().empty());
        EXPECT_TRUE(out2.Read().empty());
    }
}

// The CBC key differs in its first byte; the padding check of the last block fails. (These
// fixed keys do not produce a valid-looking padding by chance.)
TEST_F(Symmetric, WrongKeyFailsTheLastBlock)
{
    for (const Cipher& c : {cipherpeer::kDes3Cbc, cipherpeer::kDes3Ecb, cipherpeer::kSm4Cbc}) {
        SCOPED_TRACE(c.pszEncName);
        const Bytes plain = Message(16385);
        bool bOk = false;
        const Bytes cipher = Enc(c, KeyFor(c), IVFor(c), false, plain, &bOk);
        ASSERT_TRUE(bOk);
        Bytes wrongKey = KeyFor(c);
        wrongKey[0] ^= 0x80;
        Bytes out;
        EXPECT_EQ(VOMU_E_DECRYPT, Decrypt(c, wrongKey, cipher, &out));
        TempFile in(cipher), outFile;
        EXPECT_EQ(VOMU_E_DECRYPT, RunFile(false, c, wrongKey, in.Path(), outFile.Path()));
        // A truncated file fails there too.
        TempFile cut(Bytes(cipher.begin(), cipher.end() - 1)), outCut;
        EXPECT_EQ(VOMU_E_DECRYPT, RunFile(false, c, KeyFor(c), cut.Path(), outCut.Path()));
    }
}

// The counts are 32-bit: a file of 4 GiB + 10 bytes (sparse) is refused before it is read.
TEST_F(Symmetric, FilesOf4GiBAndMoreAreRefused)
{
    TempFile big, out;
    ASSERT_EQ(0, truncate(big.Path().c_str(), (off_t)(4ULL << 30) + 10));
    for (const Cipher& c : {cipherpeer::kDes3Cbc, cipherpeer::kSm4Cbc}) {
        SCOPED_TRACE(c.pszEncName);
        EXPECT_EQ(VOMU_E_FILE_TOO_LARGE, RunFile(true, c, KeyFor(c), big.Path(), out.Path()));
        EXPECT_EQ(VOMU_E_FILE_TOO_LARGE, RunFile(false, c, KeyFor(c), big.Path(), out.Path()));
        EXPECT_TRUE(out.Read().empty());
    }
}

// A full disk shows in a write or in the final flush: never VOMU_OK.
TEST_F(Symmetric, FullDeviceOutputFails)
{
    for (size_t n : {(size_t)1, (size_t)100, (size_t)32769}) {
        for (const Cipher& c : {cipherpeer::kDes3Cbc, cipherpeer::kSm4Cbc, cipherpeer::kRC4}) {
            SCOPED_TRACE(std::string(c.pszEncName) + " " + std::to_string(n));
            TempFile plain(Message(n));
            EXPECT_EQ(VOMU_E_FAIL, RunFile(true, c, KeyFor(c), plain.Path(), "/dev/full"));
            bool bOk = false;
            TempFile cipher(Enc(c, KeyFor(c), IVFor(c), false, Message(n), &bOk));
            ASSERT_TRUE(bOk);
            EXPECT_EQ(VOMU_E_FAIL, RunFile(false, c, KeyFor(c), cipher.Path(), "/dev/full"));
        }
    }
}

// The Failed lines of a log, in order.
std::string FailedLines(const std::string& strText)
{
    std::string strFailed;
    std::istringstream lines(strText);
    for (std::string strLine; std::getline(lines, strLine);)
        if (strLine.find("--Failed") != std::string::npos) strFailed += strLine + "\n";
    return strFailed;
}

// Inputs of several pieces have their writes done by a second thread: the bytes are still
// OpenSSL's, and a failed write still shows as the one Failed line a small input gives.
TEST_F(Symmetric, LargeFilesWriteBehindWithTheSameResults)
{
    const size_t nLarge = (5u << 20) + 5, nSmall = 32769;
    for (const Cipher& c : {cipherpeer::kSm4Cbc, cipherpeer::kDes3Cbc}) {
        SCOPED_TRACE(c.pszEncName);
        TempFile plain(Message(nLarge)), peerCipher, ours, back;
        ASSERT_TRUE(cipherpeer::EncFile(c, KeyFor(c), IVFor(c), false, plain.Path(), peerCipher.Path()));
        ASSERT_EQ(VOMU_OK, RunFile(true, c, KeyFor(c), plain.Path(), ours.Path()));
        EXPECT_TRUE(peerCipher.Read() == ours.Read());
        ASSERT_EQ(VOMU_OK, RunFile(false, c, KeyFor(c), peerCipher.Path(), back.Path()));
        EXPECT_TRUE(plain.Read() == back.Read());

        std::string strFailed[2];
        for (int i = 0; i < 2; ++i) {
            morv_test::LogCapture log;
            ASSERT_TRUE(log.Ok());
            bool bOk = false;
            TempFile cipher(Enc(c, KeyFor(c), IVFor(c), false, Message(i ? nLarge : nSmall), &bOk));
            ASSERT_TRUE(bOk);
            EXPECT_EQ(VOMU_E_FAIL, RunFile(false, c, KeyFor(c), cipher.Path(), "/dev/full"));
            strFailed[i] = FailedLines(log.Contents());
        }
        EXPECT_NE(std::string::npos, strFailed[0].find("fwrite")) << strFailed[0];
        EXPECT_EQ(strFailed[0], strFailed[1]);
    }
}

// Each step line names the function whose step it is, and a step that exists only as a
// failure (an algorithm outside the table) logs no OK line on the roads that pass it.
TEST_F(Symmetric, StepLinesNameTheCalledFunction)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    for (const Cipher& c : {cipherpeer::kDes3Cbc, cipherpeer::kRC4}) {
        Bytes cipher, plain;
        ASSERT_EQ(VOMU_OK, Encrypt(c, KeyFor(c), Message(100), &cipher));
        ASSERT_EQ(VOMU_OK, Decrypt(c, KeyFor(c), cipher, &plain));
        unsigned char* pbyKey = nullptr;
        int nKeySize = 0;
        ASSERT_EQ(VOMU_OK, GenerateSymKey(c.nNID, &pbyKey, &nKeySize));
        delete[] pbyKey;
    }
    const std::string okText = log.Contents();
    EXPECT_EQ(std::string::npos, okText.find("Unsupported Algorithm.)\t\t--OK")) << okText;

    unsigned char* pbyKey = nullptr;
    int nKeySize = 0;
    EXPECT_EQ(VOMU_E_INVALID_ARG, GenerateSymKey(NID_ChinaSM4_CBC, &pbyKey, &nKeySize));
    EVP_CIPHER* pCipher = nullptr;
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetEVPCipherbyNID(NID_sha256, &pCipher));
    Bytes out;
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              Encrypt(cipherpeer::kSm4Cbc, KeyFor(cipherpeer::kSm4Cbc), Message(16), &out));
    const std::string text = log.Contents();
    for (const char* pszLine :
         {"(SymEncrypt -- GetEVPCipherbyNID.)\t\t--OK", "(SymEncrypt -- Check 3DES key length.)",
          "(SymEncrypt -- Check parameters)", "(SymEncrypt -- EVP_CIPHER_CTX_new)",
          "(SymEncrypt -- EVP_EncryptInit)", "(SymEncrypt -- EVP_EncryptUpdate)",
          "(SymEncrypt -- EVP_EncryptFinal_ex)", "(SymDecrypt -- GetEVPCipherbyNID)\t\t--OK",
          "(SymDecrypt -- Check key length)", "(SymDecrypt -- EVP_DecryptFinal)",
          "(GenerateSymKey -- DES_random_key)", "(GenerateSymKey -- RAND_bytes)",
          "(GenerateSymKey -- Unsupported Algorithm.)\t\t--Failed:(0x",
          "(GetEVPCipherbyNID -- Unsupported Algorithm.)\t\t--Failed:(0x",
          "(SymEncrypt -- Unsupported Algorithm.)\t\t--Failed:(0x"})
        EXPECT_NE(std::string::npos, text.find(pszLine)) << pszLine;
    for (const std::string& name : morv_test::StepFunctions(text))
        EXPECT_TRUE(name == "SymEncrypt" || name == "SymDecrypt" || name == "GenerateSymKey" ||
                    name == "GetEVPCipherbyNID")
            << name;
    EXPECT_NE(std::string::npos,
              text.find("(GetEVPCipherbyNID -- Unsupported Algorithm.)\t\t--Failed:(0x80070057) "
                        "[Reason:true]"))
        << text;
}

// Keys and plaintext stay out of the log; sizes are logged.
TEST_F(Symmetric, LogShowsSizesNeverKeysOrPlaintext)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const std::string secret = "TOP-SECRET-PLAINTEXT-0123456789";
    Bytes plain(16384, 'x');
    std::copy(secret.begin(), secret.end(), plain.begin());
    const Bytes key(cipherpeer::kKey24.begin(), cipherpeer::kKey24.begin() + 16);
    const std::string keyText = "KEY-TEXT-0123456";  // printable, so a raw dump would show
    const Bytes printableKey(keyText.begin(), keyText.end());
    TempFile in(plain), cipher, back;
    ASSERT_EQ(VOMU_OK, RunFile(true, cipherpeer::kSm4Cbc, printableKey, in.Path(), cipher.Path()));
    ASSERT_EQ(VOMU_OK, RunFile(false, cipherpeer::kSm4Cbc, printableKey, cipher.Path(), back.Path()));
    Bytes out;
    ASSERT_EQ(VOMU_OK, Encrypt(cipherpeer::kRC4, printableKey, plain, &out));
    ASSERT_EQ(VOMU_OK, Decrypt(cipherpeer::kRC4, printableKey, out, &out));
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos, text.find("nTotalPlainDataSize: 16384")) << text;
    EXPECT_NE(std::string::npos, text.find("nPlainFileSize: 16384"));
    EXPECT_EQ(std::string::npos, text.find(secret));
    EXPECT_EQ(std::string::npos, text.find(keyText));
    EXPECT_EQ(std::string::npos, text.find(peer::Hex(printableKey)));
}

}  // namespace
