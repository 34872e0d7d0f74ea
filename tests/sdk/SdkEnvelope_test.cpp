// Envelope and combined functions of the flat interface; openssl cms opens our RSA envelopes.
#include <gtest/gtest.h>

#include <algorithm>

#include "SdkTestUtil.h"

using sdktest::Base64;
using sdktest::CertB64;
using sdktest::kP12Password;
using sdktest::kSM2Password;
using sdktest::Bytes;
using sdktest::Data;
using sdktest::FailedLine;
using sdktest::FromBase64;
using sdktest::Pki;
using sdktest::Shell;
using sdktest::Session;
using sdktest::TempDir;
using sdktest::Text;

namespace {

// n bytes with zero bytes among them, starting with the secret sentinel text.
Bytes Plaintext(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = (unsigned char)(i % 3 ? i * 13 : 0);
    const size_t nSentinel = std::min(n, sizeof sdktest::kSecretPlaintext - 1);
    memcpy(out.data(), sdktest::kSecretPlaintext, nSentinel);
    return out;
}

// rsa/ee_enc (keyEncipherment) with its key as a PKCS#12 file, made by the openssl CLI.
std::string RecipientP12(const TempDir& dir)
{
    const std::string strP12 = dir.Path("ee_enc.p12");
    const int nStatus = Shell("openssl pkcs12 -export -in " + Pki("rsa/ee_enc.pem") + " -inkey " + Pki("rsa/ee_enc.key") +
                              " -passout pass:" + kP12Password + " -out " + strP12);
    return nStatus == 0 ? strP12 : "";
}

struct Recipient {
    const char* pszAlgorithm;
    const char* pszCipher;
    std::string strCertB64;
    std::string strKeyFile;
    const char* pszPassword;
};

int Seal(const Recipient& r, const Bytes& plain, std::string* pEnvelope)
{
    Text env;
    const int nResult = EncryptDataToCMSEnvelope(r.pszAlgorithm, plain.data(), (int)plain.size(),
                                                 r.strCertB64.c_str(), r.pszCipher, env.Out());
    *pEnvelope = env.Get() ? env.Get() : "";
    return nResult;
}

int Open(const Recipient& r, const std::string& strEnvelope, Bytes* pPlain)
{
    Data plain;
    int nSize = -1;
    const int nResult = DecryptDataFromCMSEnvelope(r.pszAlgorithm, strEnvelope.c_str(), r.strKeyFile.c_str(),
                                                   r.pszPassword, plain.Out(), &nSize);
    pPlain->clear();
    if (plain.Get()) pPlain->assign(plain.Get(), plain.Get() + nSize);
    EXPECT_EQ(nResult == VOMU_OK, plain.Get() != nullptr);
    if (nResult != VOMU_OK) {
        EXPECT_EQ(0, nSize);
    }
    return nResult;
}

TEST(SdkEnvelope, RoundTripsByteForByte)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const std::string strP12 = RecipientP12(dir);
    ASSERT_FALSE(strP12.empty());
    const Recipient recipients[] = {
        {"SM2", nullptr, CertB64("sm2/ee_enc"), Pki("sm2pfx/enc.b64"), kSM2Password},
        {"sm2", "RC4", CertB64("sm2/ee_sign_enc"), Pki("sm2pfx/sign_enc.b64"), kSM2Password},
        {"RSA", "3DES", CertB64("rsa/ee_enc"), strP12, kP12Password},
        {"rsa", "rc4", CertB64("rsa/ee_enc"), strP12, kP12Password},
        {"Rsa", "3des", CertB64("rsa/ee_enc"), strP12, kP12Password},
    };
    // The content cipher's OBJECT IDENTIFIER: SM4-CBC 1.2.156.10197.1.104 whatever the cipher
    // name on the SM2 road, des-ede3-cbc 1.2.840.113549.3.7 or rc4 1.2.840.113549.3.4.
    const Bytes sm4 = support::FromHex("06072A811CCF550168"), des3 = support::FromHex("06082A864886F70D0307"),
                rc4 = support::FromHex("06082A864886F70D0304");
    const Bytes* expectedCipher[] = {&sm4, &sm4, &des3, &rc4, &des3};
    for (size_t i = 0; i < sizeof recipients / sizeof recipients[0]; ++i) {
        const Recipient& r = recipients[i];
        for (size_t n : {(size_t)1, (size_t)16, (size_t)100000}) {
            SCOPED_TRACE(std::string(r.pszAlgorithm) + " " + (r.pszCipher ? r.pszCipher : "-") + " " + std::to_string(n));
            const Bytes plain = Plaintext(n);
            std::string strEnvelope;
            ASSERT_EQ(VOMU_OK, Seal(r, plain, &strEnvelope));
            EXPECT_EQ(std::string::npos, strEnvelope.find_first_of("\r\n"));
            const Bytes der = FromBase64(strEnvelope);
            EXPECT_NE(der.end(), std::search(der.begin(), der.end(), expectedCipher[i]->begin(), expectedCipher[i]->end()));
            Bytes opened;
            ASSERT_EQ(VOMU_OK, Open(r, strEnvelope, &opened));
            EXPECT_EQ(plain, opened);
        }
    }
}

TEST(SdkEnvelope, OpensslOpensOurRSAEnvelope)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const Bytes plain = Plaintext(1000);
    // (RC4 envelopes keep the NULL algorithm parameters earlier versions wrote; OpenSSL refuses
    // those, so only 3DES is opened here.)
    for (const char* pszCipher : {"3DES", "3des"}) {
        SCOPED_TRACE(pszCipher);
        std::string strEnvelope;
        ASSERT_EQ(VOMU_OK, Seal({"RSA", pszCipher, CertB64("rsa/ee_enc"), "", ""}, plain, &strEnvelope));
        const Bytes der = FromBase64(strEnvelope);
        sdktest::WriteBytes(dir.Path("env.der"), der.data(), der.size());
        std::string strOut;
        EXPECT_EQ(0, Shell("openssl cms -decrypt -binary -inform DER -in " + dir.Path("env.der") + " -recip " +
                             Pki("rsa/ee_enc.pem") + " -inkey " + Pki("rsa/ee_enc.key") + " -out " +
                             dir.Path("plain.out"),
                         &strOut))
            << strOut;
        EXPECT_EQ(plain, sdktest::ReadBytes(dir.Path("plain.out")));
    }
}

TEST(SdkEnvelope, FailuresHandNothingOver)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const std::string strP12 = RecipientP12(dir);
    ASSERT_FALSE(strP12.empty());
    const Bytes plain = Plaintext(64);
    std::string strEnvelope;
    const Recipient rsa = {"RSA", "3DES", CertB64("rsa/ee_enc"), strP12, kP12Password};
    ASSERT_EQ(VOMU_OK, Seal(rsa, plain, &strEnvelope));
    Bytes opened;
    // A key file of another recipient, a wrong password, a missing file, an unknown name.
    EXPECT_EQ(VOMU_E_DECRYPT, Open({"RSA", nullptr, "", Pki("p12/modern.p12"), kP12Password}, strEnvelope, &opened));
    EXPECT_EQ(VOMU_E_DECRYPT, Open({"SM2", nullptr, "", Pki("sm2pfx/enc.b64"), kSM2Password}, strEnvelope, &opened));
    EXPECT_EQ(VOMU_E_DECRYPT, Open({"RSA", nullptr, "", strP12, "wrong"}, strEnvelope, &opened));
    EXPECT_EQ(VOMU_E_OPEN_FILE, Open({"RSA", nullptr, "", "/missing/key.p12", kP12Password}, strEnvelope, &opened));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Open({"DSA", nullptr, "", strP12, kP12Password}, strEnvelope, &opened));
    EXPECT_TRUE(session.LogHas(FailedLine("DecryptDataFromCMSEnvelope", "Invalid asymmetric decrypt algorithm.",
                                          VOMU_E_INVALID_ARG, "true")));
    std::string strSM2Envelope;
    ASSERT_EQ(VOMU_OK, Seal({"SM2", nullptr, CertB64("sm2/ee_enc"), "", ""}, plain, &strSM2Envelope));
    EXPECT_EQ(VOMU_E_DECRYPT, Open({"SM2", nullptr, "", Pki("sm2pfx/sign.b64"), kSM2Password}, strSM2Envelope, &opened));

    EXPECT_EQ(VOMU_E_INVALID_ARG, Seal({"RSA", nullptr, CertB64("rsa/ee_enc"), "", ""}, plain, &strEnvelope));
    EXPECT_TRUE(session.LogHas(FailedLine("EncryptDataToCMSEnvelope", "Check parameter(pszSymEncAlg).",
                                          VOMU_E_INVALID_ARG, "(NULL == pszSymEncAlg || 0 == strlen(pszSymEncAlg))")));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Seal({"RSA", "AES", CertB64("rsa/ee_enc"), "", ""}, plain, &strEnvelope));
    EXPECT_TRUE(session.LogHas(FailedLine("EncryptDataToCMSEnvelope", "Invalid symmetric encrypt algorithm.",
                                          VOMU_E_INVALID_ARG, "true")));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Seal({"DSA", "3DES", CertB64("rsa/ee_sign"), "", ""}, plain, &strEnvelope));
    EXPECT_TRUE(session.LogHas(FailedLine("EncryptDataToCMSEnvelope", "Invalid asymmetric encrypt algorithm.",
                                          VOMU_E_INVALID_ARG, "true")));
    // Recipients that may not encipher keys.
    EXPECT_EQ(VOMU_E_KEY_USAGE, Seal({"SM2", nullptr, CertB64("sm2/ee_sign"), "", ""}, plain, &strEnvelope));
    EXPECT_TRUE(strEnvelope.empty());
    EXPECT_EQ(VOMU_E_KEY_USAGE, Seal({"RSA", "3DES", CertB64("rsa/ee_sign"), "", ""}, plain, &strEnvelope));
    Text env;
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncryptDataToCMSEnvelope("SM2", plain.data(), -1, CertB64("sm2/ee_enc").c_str(),
                                                           nullptr, env.Out()));
    EXPECT_TRUE(env.Untouched());
}

struct Pair {
    const char* pszAlgorithm;
    std::string strSignKey;
    const char* pszSignPassword;
    std::string strRecipientCert;
    std::string strDecryptKey;
    const char* pszDecryptPassword;
};

TEST(SdkCombined, SignThenSealOpensAndVerifies)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const std::string strP12 = RecipientP12(dir);
    ASSERT_FALSE(strP12.empty());
    const Pair pairs[] = {
        {"SM2", Pki("sm2pfx/sign.b64"), kSM2Password, CertB64("sm2/ee_enc"), Pki("sm2pfx/enc.b64"), kSM2Password},
        {"RSA", Pki("p12/legacy.p12"), kP12Password, CertB64("rsa/ee_enc"), strP12, kP12Password},
    };
    for (const Pair& p : pairs) {
        for (size_t n : {(size_t)1, (size_t)5000}) {
            SCOPED_TRACE(std::string(p.pszAlgorithm) + " " + std::to_string(n));
            const Bytes plain = Plaintext(n);
            Text env;
            ASSERT_EQ(VOMU_OK, SignAndEncryptData(p.pszAlgorithm, plain.data(), (int)plain.size(), p.strSignKey.c_str(),
                                                  p.pszSignPassword, "SHA-256", p.strRecipientCert.c_str(), "3DES",
                                                  env.Out()));
            Data opened;
            int nSize = 0;
            ASSERT_EQ(VOMU_OK, DecryptAndVerifyDataSignature(p.pszAlgorithm, env.Get(), p.strDecryptKey.c_str(),
                                                             p.pszDecryptPassword, opened.Out(), &nSize));
            EXPECT_EQ(plain, Bytes(opened.Get(), opened.Get() + nSize));
        }
    }
}

TEST(SdkCombined, FailuresInTheSecondHalfHandNothingOver)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const std::string strP12 = RecipientP12(dir);
    ASSERT_FALSE(strP12.empty());
    const Bytes plain = Plaintext(100);
    Text env;
    // The cipher name is compared only after the signature was made.
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignAndEncryptData("RSA", plain.data(), (int)plain.size(), Pki("p12/modern.p12").c_str(),
                                                     kP12Password, "SHA-256", CertB64("rsa/ee_enc").c_str(), "AES",
                                                     env.Out()));
    EXPECT_TRUE(env.IsNull());
    EXPECT_TRUE(session.LogHas(sdktest::OkLine("SignAndEncryptData", "RSA_SignData_PKCS7_ByPFX")));
    EXPECT_TRUE(session.LogHas(FailedLine("SignAndEncryptData", "Invalid symmetric encrypt algorithm.",
                                          VOMU_E_INVALID_ARG, "true")));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignAndEncryptData("RSA", plain.data(), (int)plain.size(), Pki("p12/modern.p12").c_str(),
                                                     kP12Password, "MD5", CertB64("rsa/ee_enc").c_str(), "3DES",
                                                     env.Out()));
    EXPECT_TRUE(session.LogHas(FailedLine("SignAndEncryptData", "Invalid hash algorithm.", VOMU_E_INVALID_ARG, "true")));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignAndEncryptData("DSA", plain.data(), (int)plain.size(), Pki("p12/modern.p12").c_str(),
                                                     kP12Password, "SHA-256", CertB64("rsa/ee_sign").c_str(), "3DES",
                                                     env.Out()));
    EXPECT_TRUE(session.LogHas(FailedLine("SignAndEncryptData", "Invalid sign algorithm.", VOMU_E_INVALID_ARG, "true")));

    // An envelope of plain data: opened, then refused by the verification.
    for (const Pair& p : {Pair{"SM2", "", nullptr, CertB64("sm2/ee_enc"), Pki("sm2pfx/enc.b64"), kSM2Password},
                          Pair{"RSA", "", nullptr, CertB64("rsa/ee_enc"), strP12, kP12Password}}) {
        SCOPED_TRACE(p.pszAlgorithm);
        Text plainEnvelope;
        ASSERT_EQ(VOMU_OK, EncryptDataToCMSEnvelope(p.pszAlgorithm, plain.data(), (int)plain.size(),
                                                    p.strRecipientCert.c_str(), "3DES", plainEnvelope.Out()));
        Data opened;
        int nSize = 7;
        EXPECT_NE(VOMU_OK, DecryptAndVerifyDataSignature(p.pszAlgorithm, plainEnvelope.Get(), p.strDecryptKey.c_str(),
                                                         p.pszDecryptPassword, opened.Out(), &nSize));
        EXPECT_TRUE(opened.IsNull());
        EXPECT_EQ(0, nSize);
    }
    Data opened;
    int nSize = 0;
    EXPECT_EQ(VOMU_E_INVALID_ARG, DecryptAndVerifyDataSignature("SM2", "MIIB", "x", "", opened.Out(), nullptr));
    EXPECT_TRUE(session.LogHas(FailedLine("DecryptAndVerifyDataSignature", "Check output parameter(ppbyPlainData)",
                                          VOMU_E_INVALID_ARG, "(NULL == ppbyPlainData || NULL == pnPlainDataSize)")));
    EXPECT_EQ(VOMU_E_OPEN_FILE, DecryptAndVerifyDataSignature("SM2", "MIIB", "/missing/key", "", opened.Out(), &nSize));
}

}  // namespace
