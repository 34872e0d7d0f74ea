// SM2 raw and PKCS#1 signatures of data and files against independent peers: the openssl
// CLI (`dgst -sm3 -verify -sigopt distid:...` over SM3(Z || M), `pkeyutl -verify` over a
// digest it computed itself, `dgst -sign` for signatures made elsewhere), OpenSSL 3 in the
// default library context for long runs, and npm sm-crypto (doVerifySignature /
// doSignature with {der:true, hash:true}).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include <openssl/pem.h>

#include "Base64Utility.h"
#include "DataSigning.h"
#include "PKCS7SignedDataOperations.h"
#include "LogCapture.h"
#include "SMKernel.h"
#include "SigningPeer.h"
#include "Sm2Peer.h"
#include "SmCryptoPeer.h"
#include "vomu_result.h"

using peer::Bytes;
using peer::TempFile;
using namespace signpeer;

namespace {

class Sm2SignTest : public KernelTest {};

// ee_sign's key pair as the CLI printed it into expected.txt.
struct FixtureKeyPair {
    Bytes d = peer::FromHex(Fact("sm2/ee_sign", "private_d"));
    Bytes x = peer::FromHex(Fact("sm2/ee_sign", "public_x"));
    Bytes y = peer::FromHex(Fact("sm2/ee_sign", "public_y"));
    SM2_KEY_PAIR pair{d.data(), 32, x.data(), 32, y.data(), 32};
};

Bytes DecodeBase64(const char* pszText, int nSize)
{
    unsigned char* pby = NULL;
    int n = 0;
    EXPECT_EQ(VOMU_OK, Base64DecodeEx(pszText, nSize, &pby, &n));
    Bytes out(pby, pby + n);
    delete[] pby;
    return out;
}

std::string Base64(const Bytes& bytes, unsigned long dwFlags = ATL_BASE64_FLAG_NONE)
{
    char* psz = NULL;
    int n = 0;
    EXPECT_EQ(VOMU_OK, Base64EncodeEx(bytes.data(), (int)bytes.size(), &psz, &n, dwFlags));
    std::string out(psz, (size_t)n);
    delete[] psz;
    return out;
}

// One signing road: the PKCS#1 bytes it makes (decoded), or the code it failed with.
struct Signed {
    int nResult;
    Bytes signature;
};

// The key file opened and closed around each call, as the SDK does.
Signed SignPKCS1(const Bytes& msg, bool bFile, bool bWithZ, unsigned long fType,
                 const std::string& keyFile = KeyFile("sign"), const char* pszPassword = kPassword)
{
    OpenStream key(keyFile);
    TempFile file(msg);
    OpenStream in(file.Path());
    char* pszText = NULL;
    int nText = 0;
    if (in.fp) fseek(in.fp, (long)(msg.size() / 2), SEEK_SET);  // the file road signs it whole
    const int nResult =
        bFile ? SignFile_PKCS1_BySM2PFX(in.fp, key.fp, pszPassword, &pszText, &nText,
                                        ATL_BASE64_FLAG_NOCRLF, bWithZ, fType)
              : SignData_PKCS1_BySM2PFX(msg.data(), (int)msg.size(), key.fp, pszPassword, &pszText,
                                        &nText, ATL_BASE64_FLAG_NOCRLF, bWithZ, fType);
    if (VOMU_OK != nResult) {
        EXPECT_EQ(nullptr, pszText);
        return {nResult, Bytes()};
    }
    EXPECT_EQ(strlen(pszText), (size_t)nText);
    Signed out{nResult, DecodeBase64(pszText, nText)};
    delete[] pszText;
    return out;
}

// ---- our signatures, checked by the CLI ----

TEST_F(Sm2SignTest, PKCS1SignaturesOfDataAndFilesVerifyWithTheCli)
{
    const PublicKeyFile pub(PkiPath("sm2/ee_sign.pem"));
    for (size_t n : {0u, 1u, 16384u, 16385u}) {
        const Bytes msg = Message(n);
        TempFile file(msg);
        for (bool bFile : {false, true}) {
            SCOPED_TRACE("size " + std::to_string(n) + (bFile ? " file" : " data"));
            const Signed q1 = SignPKCS1(msg, bFile, true, SM2_SIGNATURE_ASN1_Q1);
            ASSERT_EQ(VOMU_OK, q1.nResult);
            EXPECT_LE(q1.signature.size(), 72u);
            EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), q1.signature));
            const Signed raw = SignPKCS1(msg, bFile, true, SM2_SIGNATURE_RAW_RS);
            ASSERT_EQ(VOMU_OK, raw.nResult);
            ASSERT_EQ(64u, raw.signature.size());
            EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), RsToDer(raw.signature)));
            // Without Z the signature is over plain SM3(M), which the CLI computes itself.
            const Signed noZ = SignPKCS1(msg, bFile, false, SM2_SIGNATURE_ASN1_Q1);
            ASSERT_EQ(VOMU_OK, noZ.nResult);
            EXPECT_TRUE(CliVerifiesWithoutZ(pub, file.Path(), noZ.signature));
            EXPECT_FALSE(CliVerifiesWithZ(pub, file.Path(), noZ.signature));
        }
    }
}

// The raw roads and the key-pair roads give r || s of the same key.
TEST_F(Sm2SignTest, RawAndKeyPairRoadsSignWithTheKeyFilesKey)
{
    const PublicKeyFile pub(PkiPath("sm2/ee_sign.pem"));
    const Bytes msg = Message(20000);
    TempFile file(msg);
    FixtureKeyPair key;
    OpenStream keyFile(KeyFile("sign")), in(file.Path());
    unsigned char* pbySig = NULL;
    int nSig = 0;
    const auto take = [&]() {
        Bytes rs(pbySig, pbySig + nSig);
        delete[] pbySig;
        pbySig = NULL;
        return rs;
    };
    ASSERT_EQ(VOMU_OK, SignData_Raw_BySM2PFX(msg.data(), (int)msg.size(), keyFile.fp, kPassword,
                                             &pbySig, &nSig, true));
    EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), RsToDer(take())));
    ASSERT_EQ(VOMU_OK, SignFile_Raw_BySM2PFX(in.fp, keyFile.fp, kPassword, &pbySig, &nSig, true));
    EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), RsToDer(take())));
    ASSERT_EQ(VOMU_OK, SignData_Raw_ByKeyPair(msg.data(), (int)msg.size(), &key.pair, &pbySig, &nSig, true));
    const Bytes first = take();
    EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), RsToDer(first)));
    ASSERT_EQ(VOMU_OK, SignFile_Raw_ByKeyPair(in.fp, &key.pair, &pbySig, &nSig, false));
    EXPECT_TRUE(CliVerifiesWithoutZ(pub, file.Path(), RsToDer(take())));
    // A fresh random k every time.
    ASSERT_EQ(VOMU_OK, SignData_Raw_ByKeyPair(msg.data(), (int)msg.size(), &key.pair, &pbySig, &nSig, true));
    EXPECT_NE(first, take());

    char* pszText = NULL;
    int nText = 0;
    ASSERT_EQ(VOMU_OK, SignFile_PKCS1_ByKeyPair(in.fp, &key.pair, &pszText, &nText,
                                                ATL_BASE64_FLAG_NONE, true, SM2_SIGNATURE_ASN1_Q1));
    EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), DecodeBase64(pszText, nText)));
    delete[] pszText;
    ASSERT_EQ(VOMU_OK, SignData_PKCS1_ByKeyPair(msg.data(), (int)msg.size(), &key.pair, &pszText,
                                                &nText, ATL_BASE64_FLAG_NONE, true, SM2_SIGNATURE_RAW_RS));
    EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), RsToDer(DecodeBase64(pszText, nText))));
    delete[] pszText;
}

// 2,000 signatures in a row, each checked by OpenSSL's own SM2: about one r or s in 256 has
// a leading zero byte (expected about 16 times here; none at all has a chance below 1e-6),
// which the fixed-width raw form keeps and minimal DER drops.
TEST_F(Sm2SignTest, TwoThousandSignaturesInARowVerifyWithOpenSSL)
{
    FixtureKeyPair key;
    FILE* fpPem = fopen(PkiPath("sm2/ee_sign.key").c_str(), "r");
    ASSERT_TRUE(fpPem);
    morv::OsslPtr<EVP_PKEY> pKey(PEM_read_PrivateKey(fpPem, NULL, NULL, NULL));
    fclose(fpPem);
    ASSERT_TRUE(pKey);
    std::mt19937_64 rng(2026);
    int nLeadingZero = 0, nFailures = 0;
    for (int i = 0; i < 2000; ++i) {
        Bytes msg(1 + rng() % 200);
        for (auto& b : msg) b = (unsigned char)rng();
        char* pszText = NULL;
        int nText = 0;
        ASSERT_EQ(VOMU_OK, SignData_PKCS1_ByKeyPair(msg.data(), (int)msg.size(), &key.pair, &pszText,
                                                    &nText, ATL_BASE64_FLAG_NOCRLF, true,
                                                    i % 2 ? SM2_SIGNATURE_ASN1_Q1 : SM2_SIGNATURE_RAW_RS));
        Bytes sig = DecodeBase64(pszText, nText);
        delete[] pszText;
        if (sig.size() == 64) sig = RsToDer(sig);
        const Bytes rs = DerToRs(sig);
        ASSERT_EQ(64u, rs.size());
        if (0 == rs[0] || 0 == rs[32]) nLeadingZero++;
        if (!peer::SM2Verify(pKey.get(), msg, sig.data(), sig.size())) nFailures++;
    }
    EXPECT_EQ(0, nFailures);
    EXPECT_GT(nLeadingZero, 0);
}

// npm sm-crypto checks ours and signs for us to check; skipped without npm.
TEST_F(Sm2SignTest, SmCryptoAndOursVerifyEachOthersSignatures)
{
    std::string moduleDir;
    if (0 != std::system("node --version >/dev/null 2>&1") || !smtest::InstallSmCrypto(moduleDir))
        GTEST_SKIP() << "npm sm-crypto unavailable (npm unreachable or node missing)";
    FixtureKeyPair key;
    std::string request = "K " + peer::Hex(key.d) + " 04" + peer::Hex(key.x) + peer::Hex(key.y) + "\n";
    std::vector<Bytes> msgs;
    // The peer's line format cannot carry an empty message.
    for (size_t n : {1u, 100u, 16384u, 16385u}) {
        msgs.push_back(Message(n));
        const Signed ours = SignPKCS1(msgs.back(), n % 2 == 1, true, SM2_SIGNATURE_ASN1_Q1);
        ASSERT_EQ(VOMU_OK, ours.nResult);
        const std::string m = peer::Hex(msgs.back());
        request += "V " + m + " " + peer::Hex(ours.signature) + "\nS " + m + "\n";
    }
    const std::vector<std::string> answer = smtest::RunSmCrypto(moduleDir, request);
    ASSERT_EQ(2 * msgs.size(), answer.size());
    const Bytes cert = peer::ReadFileBytes(PkiPath("sm2/ee_sign.der"));
    for (size_t i = 0; i < msgs.size(); ++i) {
        EXPECT_EQ("V 1", answer[2 * i]) << "sm-crypto refused our signature " << i;
        const Bytes theirs = peer::FromHex(answer[2 * i + 1].substr(2));
        EXPECT_EQ(VOMU_OK, VerifySignature_DERPKCS1_ByCert(msgs[i].data(), (int)msgs[i].size(), cert.data(),
                                                           (int)cert.size(), theirs.data(),
                                                           (int)theirs.size(), true))
            << "sm-crypto signature " << i;
    }
}

// ---- signatures made elsewhere, checked by ours ----

TEST_F(Sm2SignTest, OpenSSLSignaturesVerifyInEveryForm)
{
    const Bytes msg = Message(16385);
    TempFile file(msg), sigFile;
    Cli("openssl dgst -sm3 -sign " + Quote(PkiPath("sm2/ee_sign.key")) + " -sigopt " + kDistId +
        " -out " + Quote(sigFile.Path()) + " " + Quote(file.Path()));
    const Bytes der = sigFile.Read();
    const Bytes rs = DerToRs(der);
    const Bytes cert = peer::ReadFileBytes(PkiPath("sm2/ee_sign.der"));
    const Bytes pem = peer::ReadFileBytes(PkiPath("sm2/ee_sign.pem"));
    const Bytes x = peer::FromHex(Fact("sm2/ee_sign", "public_x"));
    const Bytes y = peer::FromHex(Fact("sm2/ee_sign", "public_y"));
    const int n = (int)msg.size();

    EXPECT_EQ(VOMU_OK, VerifySignature_Raw(msg.data(), n, x.data(), y.data(), rs.data(), 64, true));
    for (const Bytes* pCert : {&cert, &pem})
        for (const Bytes* pSig : {&der, &rs})
            EXPECT_EQ(VOMU_OK, VerifySignature_DERPKCS1_ByCert(msg.data(), n, pCert->data(), (int)pCert->size(),
                                                               pSig->data(), (int)pSig->size(), true));
    // Base64 with line breaks in both texts.
    const std::string certText = Base64(cert), sigText = Base64(der);
    EXPECT_NE(std::string::npos, certText.find("\r\n"));
    EXPECT_EQ(VOMU_OK, VerifySignature_PKCS1_ByCert(msg.data(), n, certText.c_str(), (int)certText.size(),
                                                    sigText.c_str(), (int)sigText.size(), true));
    OpenStream in(file.Path());
    fseek(in.fp, 100, SEEK_SET);  // the whole file is checked whatever the position
    EXPECT_EQ(VOMU_OK, VerifyFileSignature_PKCS1_ByCert(in.fp, certText.c_str(), (int)certText.size(),
                                                        sigText.c_str(), (int)sigText.size(), true));
    EXPECT_EQ(VOMU_OK, VerifyFileSignature_Raw(in.fp, x.data(), y.data(), rs.data(), 64, true));
    // Verification looks at nothing but the key: an expired certificate of another key
    // carries no weight, the key inside does.
    const Bytes expired = peer::ReadFileBytes(PkiPath("sm2/ee_expired.der"));
    EXPECT_EQ(VOMU_E_FAIL, VerifySignature_DERPKCS1_ByCert(msg.data(), n, expired.data(), (int)expired.size(),
                                                           der.data(), (int)der.size(), true));
}

// What does not verify gives VOMU_E_FAIL; what is not a signature is refused.
TEST_F(Sm2SignTest, RefusedSignaturesAndVerdicts)
{
    const Bytes msg = Message(300);
    TempFile file(msg), sigFile, otherIdSig;
    const std::string key = Quote(PkiPath("sm2/ee_sign.key"));
    Cli("openssl dgst -sm3 -sign " + key + " -sigopt " + kDistId + " -out " + Quote(sigFile.Path()) +
        " " + Quote(file.Path()));
    Cli("openssl dgst -sm3 -sign " + key + " -sigopt distid:ALICE123@YAHOO.COM -out " +
        Quote(otherIdSig.Path()) + " " + Quote(file.Path()));
    const Bytes der = sigFile.Read();
    const Bytes cert = peer::ReadFileBytes(PkiPath("sm2/ee_sign.der"));
    const Bytes notACert = {0x30, 0x03, 0x02, 0x01, 0x01};
    Bytes changed = msg;
    changed[150] ^= 1;
    Bytes derChanged = der;
    derChanged.back() ^= 1;
    const Bytes tiny = {0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01};  // r = s = 1, minimal DER
    struct Case {
        const char* pszName;
        const Bytes& data;
        const Bytes& cert;
        Bytes signature;
        bool bWithZ;
        int nExpected;
    } cases[] = {
        {"valid", msg, cert, der, true, VOMU_OK},
        {"changed content", changed, cert, der, true, VOMU_E_FAIL},
        {"changed signature", msg, cert, derChanged, true, VOMU_E_FAIL},
        {"signed with Z, checked without", msg, cert, der, false, VOMU_E_FAIL},
        {"signed with another identity's Z", msg, cert, otherIdSig.Read(), true, VOMU_E_FAIL},
        {"short minimal SM2Q1 decodes, does not verify", msg, cert, tiny, true, VOMU_E_FAIL},
        {"not a certificate", msg, notACert, der, true, VOMU_E_FAIL},
        // Sizes and forms are refused before the certificate is read.
        {"65 bytes", msg, notACert, Bytes(65, 0x30), true, VOMU_E_BAD_SIGNATURE},
        {"73 bytes", msg, notACert, Bytes(73, 0x30), true, VOMU_E_BAD_SIGNATURE},
        {"7 bytes", msg, notACert, Bytes(tiny.begin(), tiny.end() - 1), true, VOMU_E_BAD_SIGNATURE},
        {"70 bytes of no DER", msg, notACert, Bytes(70, 0x02), true, VOMU_E_BAD_SIGNATURE},
        {"empty", msg, notACert, Bytes(), true, VOMU_E_BAD_SIGNATURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(c.nExpected, VerifySignature_DERPKCS1_ByCert(c.data.data(), (int)c.data.size(), c.cert.data(),
                                                               (int)c.cert.size(), c.signature.data(),
                                                               (int)c.signature.size(), c.bWithZ));
    }
    // Raw signatures must be exactly 64 bytes; a null file is refused before the size.
    const Bytes x = peer::FromHex(Fact("sm2/ee_sign", "public_x"));
    const Bytes y = peer::FromHex(Fact("sm2/ee_sign", "public_y"));
    const Bytes rs = DerToRs(der);
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifySignature_Raw(msg.data(), 300, x.data(), y.data(), rs.data(), 63, true));
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifySignature_Raw(msg.data(), 300, x.data(), y.data(), NULL, 64, true));
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifyFileSignature_Raw(NULL, x.data(), y.data(), rs.data(), 64, true));
    const std::string certText = Base64(cert);
    EXPECT_EQ(VOMU_E_BASE64_DECODE, VerifySignature_PKCS1_ByCert(msg.data(), 300, certText.c_str(),
                                                                 (int)certText.size(), "", 0, true));
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifyFileSignature_PKCS1_ByCert(NULL, certText.c_str(), 1, "AA", 2, true));
}

// Key-file refusals, each with its code; no output is written after any of them.
TEST_F(Sm2SignTest, KeyFileRefusals)
{
    TempFile empty;
    const std::string lucky = Fact("sm2pfx/sign.b64", "lucky_wrong_password");
    const std::string wrong = Fact("sm2pfx/sign.b64", "plain_wrong_password");
    ASSERT_FALSE(lucky.empty());
    struct Case {
        const char* pszName;
        std::string keyFile;
        std::string password;
        unsigned long fType;
        int nExpected;
    } cases[] = {
        {"no digitalSignature", KeyFile("enc"), kPassword, SM2_SIGNATURE_ASN1_Q1, VOMU_E_KEY_USAGE},
        {"no digitalSignature, wrong password", KeyFile("enc"), wrong, SM2_SIGNATURE_ASN1_Q1, VOMU_E_KEY_USAGE},
        {"no keyUsage at all", KeyFile("noku"), kPassword, SM2_SIGNATURE_ASN1_Q1, VOMU_E_KEY_USAGE},
        {"wrong password", KeyFile("sign"), wrong, SM2_SIGNATURE_ASN1_Q1, VOMU_E_SM2PFX_PASSWORD},
        {"wrong password with valid padding", KeyFile("sign"), lucky, SM2_SIGNATURE_ASN1_Q1,
         VOMU_E_SM2PFX_PASSWORD},
        {"key of another certificate", KeyFile("mismatched_key"), kPassword, SM2_SIGNATURE_ASN1_Q1,
         VOMU_E_SM2PFX_PASSWORD},
        {"truncated key file", KeyFile("truncated"), kPassword, SM2_SIGNATURE_ASN1_Q1, VOMU_E_SM2PFX_FORMAT},
        {"PKCS#12 posing as a key file", KeyFile("pkcs12"), kPassword, SM2_SIGNATURE_ASN1_Q1,
         VOMU_E_SM2PFX_FORMAT},
        {"empty key file", empty.Path(), kPassword, SM2_SIGNATURE_ASN1_Q1, VOMU_E_BASE64_DECODE},
        {"unknown encoded type", KeyFile("sign"), kPassword, 3, VOMU_E_INVALID_ARG},
    };
    const Bytes msg = Message(100);
    for (const Case& c : cases)
        for (bool bFile : {false, true}) {
            SCOPED_TRACE(std::string(c.pszName) + (bFile ? " (file)" : " (data)"));
            EXPECT_EQ(c.nExpected, SignPKCS1(msg, bFile, true, c.fType, c.keyFile, c.password.c_str()).nResult);
        }
    // A null password is no reason to skip the key file: its own code comes first, and a file
    // that reads and checks well ends in the password step.
    const struct {
        std::string keyFile;
        int nExpected;
    } nullPassword[] = {
        {KeyFile("sign"), VOMU_E_SM2PFX_PASSWORD},
        {KeyFile("enc"), VOMU_E_KEY_USAGE},
        {KeyFile("truncated"), VOMU_E_SM2PFX_FORMAT},
        {empty.Path(), VOMU_E_BASE64_DECODE},
    };
    for (const auto& c : nullPassword)
        for (bool bFile : {false, true}) {
            SCOPED_TRACE("null password, " + c.keyFile + (bFile ? " (file)" : " (data)"));
            EXPECT_EQ(c.nExpected, SignPKCS1(msg, bFile, true, SM2_SIGNATURE_ASN1_Q1, c.keyFile, nullptr).nResult);
        }
    unsigned char* pbySig = reinterpret_cast<unsigned char*>(&pbySig);
    unsigned char* const pbyUntouched = pbySig;
    int nSig = -7;
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignData_Raw_BySM2PFX(msg.data(), 100, NULL, kPassword, &pbySig, &nSig, true));
    OpenStream key(KeyFile("sign"));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignFile_Raw_BySM2PFX(NULL, key.fp, kPassword, &pbySig, &nSig, true));
    EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, SignData_Raw_BySM2PFX(msg.data(), 100, key.fp, lucky.c_str(), &pbySig,
                                                            &nSig, true));
    EXPECT_EQ(pbyUntouched, pbySig);
    EXPECT_EQ(-7, nSig);
    // The other key files in the fixtures sign: line-broken text, PEM certificate inside.
    for (const char* pszName : {"sign_lf64", "sign_crlf76", "pem_cert", "sign_enc"}) {
        SCOPED_TRACE(pszName);
        EXPECT_EQ(VOMU_OK, SignPKCS1(msg, false, true, SM2_SIGNATURE_ASN1_Q1, KeyFile(pszName)).nResult);
    }
}

// Neither the password nor the private key reaches the log, on success or on failure.
TEST_F(Sm2SignTest, NoPasswordOrPrivateKeyInTheLog)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const char kSentinel[] = "Sentinel-Password-4711";
    const Bytes msg = Message(1000);
    for (bool bFile : {false, true}) {
        EXPECT_EQ(VOMU_OK, SignPKCS1(msg, bFile, true, SM2_SIGNATURE_ASN1_Q1).nResult);
        EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD,
                  SignPKCS1(msg, bFile, true, SM2_SIGNATURE_RAW_RS, KeyFile("sign"), kSentinel).nResult);
        EXPECT_EQ(VOMU_E_KEY_USAGE,
                  SignPKCS1(msg, bFile, true, SM2_SIGNATURE_RAW_RS, KeyFile("enc"), kSentinel).nResult);
    }
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos, text.find("DecryptKeyPairFromSM2PFX")) << "the log captured nothing";
    const std::string d = Fact("sm2/ee_sign", "private_d");
    std::string dLower = d, dSpaced;
    for (char& c : dLower) c = (char)tolower((unsigned char)c);
    for (size_t i = 0; i < 16; i += 2) dSpaced += dLower.substr(i, 2) + " ";
    for (const std::string& secret : {std::string(kPassword), std::string(kSentinel), d, dLower,
                                      dSpaced.substr(0, dSpaced.size() - 1)})
        EXPECT_EQ(std::string::npos, text.find(secret)) << secret;
}

// The steps a log shows under one function's name, in order.
std::vector<std::string> StepsOf(const std::string& strLog, const std::string& strFunc)
{
    std::vector<std::string> steps;
    const std::string strHead = "(" + strFunc + " -- ";
    std::istringstream lines(strLog);
    for (std::string strLine; std::getline(lines, strLine);) {
        const size_t nAt = strLine.find(strHead);
        if (nAt == std::string::npos) continue;
        const size_t nStart = nAt + strHead.size();
        steps.push_back(strLine.substr(nStart, strLine.find(")\t\t--", nStart) - nStart));
    }
    return steps;
}

size_t Count(const std::vector<std::string>& steps, const std::string& strStep)
{
    return (size_t)std::count(steps.begin(), steps.end(), strStep);
}

}  // namespace

// Each key-file signer logs the key-file steps under its own name, one null check of the key
// file and one size line each, the size step and the key pair as its own log has them.
TEST_F(Sm2SignTest, KeyFileStepsLogUnderTheSignersName)
{
    morv_test::LogCapture log("%m%n", "INFO");
    ASSERT_TRUE(log.Ok());
    const Bytes msg = Message(3000);
    TempFile file(msg);
    struct Row {
        const char* pszFunc;
        const char* pszCheck;      // the key file's null check as this function logs it
        const char* pszSize;       // its size step
        const char* pszKeyPair;    // its key-pair step, or null
        std::function<int(FILE*, FILE*, char**, int*)> sign;
    };
    const unsigned long fQ1 = P7_SIGNATURE_SM2_OCTET_STRING_Q1;
    const Row rows[] = {
        {"SignData_Raw_BySM2PFX", "check parameters.", "GetFileSize_Ex", nullptr,
         [&](FILE*, FILE* key, char**, int*) {
             unsigned char* pby = NULL;
             int n = 0;
             const int r = SignData_Raw_BySM2PFX(msg.data(), (int)msg.size(), key, kPassword, &pby, &n, true);
             delete[] pby;
             return r;
         }},
        {"SignFile_Raw_BySM2PFX", "check parameters.", "GetFileSize", "SM2_KEY_PAIR()",
         [&](FILE* in, FILE* key, char**, int*) {
             unsigned char* pby = NULL;
             int n = 0;
             const int r = SignFile_Raw_BySM2PFX(in, key, kPassword, &pby, &n, true);
             delete[] pby;
             return r;
         }},
        {"SignData_PKCS7_BySM2PFX", "check parameter.", "GetFileSize_Ex", nullptr,
         [&](FILE*, FILE* key, char** ppsz, int* pn) {
             return SignData_PKCS7_BySM2PFX(msg.data(), (int)msg.size(), key, kPassword, false, ppsz, pn,
                                            ATL_BASE64_FLAG_NOCRLF, true, fQ1, "1.2.156.10197.1.301.1");
         }},
        {"SignFile_PKCS7Detached_BySM2PFX", "check parameters.", "GetFileSize", "new SM2_KEY_PAIR()",
         [&](FILE* in, FILE* key, char** ppsz, int* pn) {
             return SignFile_PKCS7Detached_BySM2PFX(in, key, kPassword, ppsz, pn, ATL_BASE64_FLAG_NOCRLF,
                                                    true, fQ1, "1.2.156.10197.1.301.1");
         }},
    };
    for (const Row& row : rows) {
        OpenStream key(KeyFile("sign")), in(file.Path());
        char* pszText = NULL;
        int nText = 0;
        ASSERT_EQ(VOMU_OK, row.sign(in.fp, key.fp, &pszText, &nText)) << row.pszFunc;
        delete[] pszText;
    }
    const std::string text = log.Contents();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszFunc);
        const std::vector<std::string> steps = StepsOf(text, row.pszFunc);
        EXPECT_LE(1u, Count(steps, row.pszCheck));
        EXPECT_EQ(1u, Count(steps, row.pszSize));
        EXPECT_EQ(std::string(row.pszSize) == "GetFileSize" ? 0u : 1u, Count(steps, "GetFileSize_Ex"));
        for (const char* pszStep : {"fread", "Base64DecodeEx", "ParseSM2PFX", "CheckCertKeyUsage",
                                    "DecryptKeyPairFromSM2PFX"})
            EXPECT_EQ(1u, Count(steps, pszStep)) << pszStep;
        EXPECT_EQ(row.pszKeyPair ? 1u : 0u, row.pszKeyPair ? Count(steps, row.pszKeyPair) : 0u);
    }
    // The data signer checks the key file once, as "check parameter.", never again in the
    // key-file steps.
    EXPECT_EQ(0u, Count(StepsOf(text, "SignData_PKCS7_BySM2PFX"), "GetFileSize"));
    const std::vector<std::string> pkcs7 = StepsOf(text, "SignData_PKCS7_BySM2PFX");
    EXPECT_EQ(1u, Count(pkcs7, "check parameter."));
    // The raw signature is the key-pair function's, under its name.
    EXPECT_EQ(1u, Count(StepsOf(text, "SignFile_Raw_BySM2PFX"), "SignFile_Raw_ByKeyPair"));
    EXPECT_EQ(1u, Count(StepsOf(text, "SignData_Raw_BySM2PFX"), "SignData_Raw_ByKeyPair"));
    EXPECT_LE(2u, Count(StepsOf(text, "SignData_Raw_ByKeyPair"), "_SM2_sign_ex"));
}

// A key pair whose private key is shorter than 32 bytes is read as that many bytes,
// left-padded: a key with a leading zero byte given as its 31 significant bytes signs as the
// full key (OpenSSL checks), and nothing past the caller's array is read.
TEST_F(Sm2SignTest, ShortPrivateKeyIsLeftPadded)
{
    smtest::PeerKey key;
    for (int i = 0; i < 5000 && !(key.pkey && 0 == key.d[0]); ++i) ASSERT_TRUE(smtest::PeerKeygen(key));
    ASSERT_EQ(0, key.d[0]) << "no key with a leading zero byte in 5000 tries";
    std::unique_ptr<unsigned char[]> pbyD(new unsigned char[31]);
    memcpy(pbyD.get(), key.d + 1, 31);
    SM2_KEY_PAIR pair{pbyD.get(), 31, key.x, 32, key.y, 32};
    const Bytes msg = Message(500);
    unsigned char* pbySig = NULL;
    int nSig = 0;
    ASSERT_EQ(VOMU_OK, SignData_Raw_ByKeyPair(msg.data(), (int)msg.size(), &pair, &pbySig, &nSig, true));
    const Bytes der = RsToDer(support::Take(pbySig, nSig));
    EXPECT_TRUE(peer::SM2Verify(key.pkey.get(), msg, der.data(), der.size()));
}
