// SM4 helpers against OpenSSL's own SM4-CBC (CLI and default context) and SM3.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "DataEncryption.h"
#include "SMKernel.h"
#include "SmPeer.h"
#include "vomu_result.h"

namespace {

using smtest::Bytes;
using smtest::FromHex;
using smtest::ToHex;

const Bytes KEY = FromHex("0123456789abcdeffedcba9876543210");
const Bytes IV = FromHex("000102030405060708090a0b0c0d0e0f");

class DataEncryption : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void TearDown() override { SMKernelUninitialize(); }
};

Bytes Take(unsigned char* pbyOut, int nOut)
{
    Bytes out(pbyOut, pbyOut + nOut);
    delete[] pbyOut;
    return out;
}

Bytes Message(size_t n)
{
    Bytes m(n);
    for (size_t i = 0; i < n; ++i) m[i] = (unsigned char)(i * 7 + 3);
    return m;
}

int Encrypt(const Bytes& in, const Bytes& iv, const Bytes& key, Bytes* pOut)
{
    unsigned char* pbyOut = nullptr;
    int nOut = 0;
    int nResult = SM4_Encrypt_CBC(in.data(), (int)in.size(), iv.data(), (int)iv.size(), key.data(),
                                  (int)key.size(), &pbyOut, &nOut);
    if (nResult == VOMU_OK) *pOut = Take(pbyOut, nOut);
    return nResult;
}

int Decrypt(const Bytes& in, const Bytes& iv, const Bytes& key, Bytes* pOut)
{
    unsigned char* pbyOut = nullptr;
    int nOut = 0;
    int nResult = SM4_Decrypt_CBC(in.data(), (int)in.size(), iv.data(), (int)iv.size(), key.data(),
                                  (int)key.size(), &pbyOut, &nOut);
    if (nResult == VOMU_OK) *pOut = Take(pbyOut, nOut);
    return nResult;
}

// `openssl enc -sm4-cbc` with PKCS#7 padding; empty when the CLI fails.
Bytes CliSm4CbcEncrypt(const Bytes& in)
{
    char szDir[] = "/tmp/morv-sm4-XXXXXX";
    if (!mkdtemp(szDir)) return Bytes();
    std::string dir = szDir, pin = dir + "/in.bin", pout = dir + "/out.bin";
    std::ofstream(pin, std::ios::binary).write((const char*)in.data(), (std::streamsize)in.size());
    std::string cmd = "openssl enc -sm4-cbc -K " + ToHex(KEY.data(), 16) + " -iv " +
                      ToHex(IV.data(), 16) + " -in " + pin + " -out " + pout;
    Bytes out;
    if (0 == system(cmd.c_str())) {
        std::ifstream f(pout, std::ios::binary);
        out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    std::string rm = "rm -rf " + dir;
    (void)system(rm.c_str());
    return out;
}

TEST_F(DataEncryption, EncryptMatchesTheOpensslCliAndDecryptsBack)
{
    for (size_t n : {0, 1, 15, 16, 17, 100}) {
        Bytes plain = Message(n), cipher, back;
        ASSERT_EQ(VOMU_OK, Encrypt(plain, IV, KEY, &cipher)) << n;
        EXPECT_EQ((n / 16 + 1) * 16, cipher.size()) << n;
        EXPECT_EQ(ToHex(CliSm4CbcEncrypt(plain).data(), cipher.size()),
                  ToHex(cipher.data(), cipher.size())) << n;
        ASSERT_EQ(VOMU_OK, Decrypt(cipher, IV, KEY, &back)) << n;
        EXPECT_EQ(plain, back) << n;
    }
}

TEST_F(DataEncryption, SizeChecksRefuseBeforeAnyOutput)
{
    Bytes cipher, iv15(15), key32(32), out;
    ASSERT_EQ(VOMU_OK, Encrypt(Message(16), IV, KEY, &cipher));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Decrypt(cipher, iv15, KEY, &out));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Decrypt(cipher, IV, key32, &out));
    // Encryption checks them too: a short IV or key would otherwise be over-read.
    EXPECT_EQ(VOMU_E_INVALID_ARG, Encrypt(cipher, iv15, KEY, &out));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Encrypt(cipher, IV, Bytes(8), &out));
    EXPECT_TRUE(out.empty());
}

TEST_F(DataEncryption, WrongKeyOrDamagedDataFailsThePaddingCheck)
{
    Bytes cipher, out, otherKey = KEY;
    otherKey[0] ^= 1;
    ASSERT_EQ(VOMU_OK, Encrypt(Message(20), IV, KEY, &cipher));
    EXPECT_EQ(VOMU_E_FAIL, Decrypt(cipher, IV, otherKey, &out));
    EXPECT_EQ(VOMU_E_FAIL, Decrypt(Bytes(cipher.begin(), cipher.end() - 1), IV, KEY, &out));
    EXPECT_TRUE(out.empty());
}

TEST_F(DataEncryption, NoPaddingPairWorksOnWholeBlocksOnly)
{
    Bytes plain = Message(32), padded;
    unsigned char* pbyOut = nullptr;
    int nOut = 0;
    EXPECT_EQ(VOMU_E_INVALID_ARG, SM4_Encrypt_CBC_Nopadding(plain.data(), 17, IV.data(), 16,
                                                            KEY.data(), 16, &pbyOut, &nOut));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SM4_Decrypt_CBC_Nopadding(plain.data(), 17, IV.data(), 16,
                                                            KEY.data(), 16, &pbyOut, &nOut));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SM4_Encrypt_CBC_Nopadding(plain.data(), 32, IV.data(), 15,
                                                            KEY.data(), 16, &pbyOut, &nOut));
    EXPECT_EQ(nullptr, pbyOut);

    ASSERT_EQ(VOMU_OK, SM4_Encrypt_CBC_Nopadding(plain.data(), 32, IV.data(), 16, KEY.data(), 16,
                                                 &pbyOut, &nOut));
    Bytes cipher = Take(pbyOut, nOut);
    ASSERT_EQ(VOMU_OK, Encrypt(plain, IV, KEY, &padded));
    EXPECT_EQ(Bytes(padded.begin(), padded.begin() + 32), cipher);
    EXPECT_EQ(smtest::PeerSm4Cbc(plain, KEY.data(), IV.data(), 1), cipher);

    ASSERT_EQ(VOMU_OK, SM4_Decrypt_CBC_Nopadding(cipher.data(), 32, IV.data(), 16, KEY.data(), 16,
                                                 &pbyOut, &nOut));
    EXPECT_EQ(plain, Take(pbyOut, nOut));
}

// K = SM3(password || 00000001) from OpenSSL's SM3; the ciphertext from OpenSSL's SM4-CBC.
Bytes PeerEncryptByPin(const std::string& pin, const Bytes& plain)
{
    Bytes input(pin.begin(), pin.end());
    for (unsigned char c : {0, 0, 0, 1}) input.push_back(c);
    Bytes k = FromHex(smtest::PeerSm3(input.data(), input.size()));
    Bytes padded = plain;
    padded.insert(padded.end(), 16 - plain.size() % 16, (unsigned char)(16 - plain.size() % 16));
    return smtest::PeerSm4Cbc(padded, k.data() + 16, k.data(), 1);
}

TEST_F(DataEncryption, PinKeyingIsSm3OfThePasswordAndCounter)
{
    for (const char* pszPin : {"", "123456", "a much longer password of the key file owner"}) {
        Bytes plain = Message(32);
        unsigned char* pbyOut = nullptr;
        int nOut = 0;
        ASSERT_EQ(VOMU_OK, SM4EncryptByPin(plain.data(), 32, pszPin, &pbyOut, &nOut)) << pszPin;
        Bytes cipher = Take(pbyOut, nOut);
        EXPECT_EQ(PeerEncryptByPin(pszPin, plain), cipher) << pszPin;
        ASSERT_EQ(VOMU_OK, SM4DecryptByPin(cipher.data(), nOut, pszPin, &pbyOut, &nOut));
        EXPECT_EQ(plain, Take(pbyOut, nOut));
    }
}

TEST_F(DataEncryption, WrongPinFails)
{
    Bytes plain = Message(32);
    unsigned char* pbyOut = nullptr;
    int nOut = 0;
    ASSERT_EQ(VOMU_OK, SM4EncryptByPin(plain.data(), 32, "right", &pbyOut, &nOut));
    Bytes cipher = Take(pbyOut, nOut);
    pbyOut = nullptr;
    EXPECT_EQ(VOMU_E_FAIL, SM4DecryptByPin(cipher.data(), nOut, "wrong", &pbyOut, &nOut));
    EXPECT_EQ(nullptr, pbyOut);
    EXPECT_EQ(VOMU_E_INVALID_ARG, SM4DecryptByPin(cipher.data(), nOut, nullptr, &pbyOut, &nOut));
}

TEST(DataEncryptionStopped, FailsWhileTheKernelIsStopped)
{
    Bytes out;
    ASSERT_EQ(VOMU_OK, SMKernelUninitialize());
    EXPECT_EQ(VOMU_E_FAIL, Encrypt(Message(16), IV, KEY, &out));
}

}  // namespace
