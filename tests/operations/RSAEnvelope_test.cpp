// RSA key transport and RSA CMS envelopes against the openssl CLI (cms, pkeyutl, enc).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "CipherPeer.h"
#include "DerTestUtil.h"
#include "EnvelopeView.h"
#include "LogCapture.h"
#include "SMKernel.h"
#include "operations/RSADataEncryption.h"
#include "vomu_result.h"

namespace {

using cipherpeer::Message;
using cipherpeer::Take;
using dertest::Cat;
using dertest::Tlv;
using envview::Children;
using envview::EnvelopeView;
using envview::View;
using peer::Bytes;
using peer::RunCommand;
using peer::TempFile;

const std::string kRsa = std::string(MORV_TEST_DATA_DIR) + "/pki/rsa/";
const char kPassword[] = "Envelope-P12-pw";

// Keys and PKCS#12 files made once per test program by the CLI.
std::string g_dir;

class RSAEnvelope : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_dir = support::MakeTempDir("morv_rsaenv");
        const std::string pw = std::string(" -passout pass:") + kPassword;
        ASSERT_EQ(0, RunCommand("openssl pkcs12 -export -inkey " + kRsa + "ee_enc.key -in " + kRsa +
                                "ee_enc.pem" + pw + " -out " + g_dir + "/enc.p12"));
        for (const char* bits : {"512", "1024"}) {
            const std::string base = g_dir + "/rsa" + bits;
            ASSERT_EQ(0, RunCommand("openssl req -x509 -newkey rsa:" + std::string(bits) +
                                    " -nodes -keyout " + base + ".key -out " + base +
                                    ".pem -subj /CN=r" + bits + " -days 2 -addext "
                                    "keyUsage=keyEncipherment && openssl x509 -in " + base +
                                    ".pem -outform DER -out " + base + ".der && openssl pkcs12 "
                                    "-export -inkey " + base + ".key -in " + base + ".pem" + pw +
                                    " -out " + base + ".p12 2>/dev/null"));
        }
    }
    static void TearDownTestSuite() { support::RemoveTree(g_dir); }
    void SetUp() override { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void TearDown() override { SMKernelUninitialize(); }
};

Bytes Cert(const std::string& path) { return peer::ReadFileBytes(path); }
Bytes EncCert() { return Cert(kRsa + "ee_enc.der"); }
std::string EncP12() { return g_dir + "/enc.p12"; }

int SealData(const Bytes& plain, const Bytes& cert, int nNID, Bytes* pDER)
{
    unsigned char* pby = nullptr;
    int n = 0;
    const int nResult = RSA_EncryptDataToDERCMSEnvelope(plain.data(), (int)plain.size(), cert.data(),
                                                        (int)cert.size(), nNID, &pby, &n);
    if (VOMU_OK == nResult) *pDER = Take(pby, n);
    return nResult;
}

int SealFile(const std::string& plain, const Bytes& cert, int nNID, const std::string& env)
{
    FILE* fpIn = fopen(plain.c_str(), "rb");
    FILE* fpOut = fopen(env.c_str(), "wb");
    if (!fpIn || !fpOut) return -2;
    const int nResult = RSA_EncryptFileToCMSEnvelope(fpIn, cert.data(), (int)cert.size(), nNID, fpOut);
    fclose(fpIn);
    fclose(fpOut);
    return nResult;
}

int OpenData(const Bytes& der, const std::string& p12, const char* pszPw, Bytes* pPlain)
{
    FILE* fpPFX = fopen(p12.c_str(), "rb");
    if (!fpPFX) return -2;
    unsigned char* pby = nullptr;
    int n = 0;
    const int nResult = RSA_DecryptDataFromDERCMSEnvelope(der.data(), (int)der.size(), fpPFX, pszPw, &pby, &n);
    fclose(fpPFX);
    if (VOMU_OK == nResult) {
        EXPECT_EQ(0, pby[n]);  // the 0 byte after the plaintext
        *pPlain = Take(pby, n);
    }
    return nResult;
}

int OpenFile(const std::string& env, const std::string& p12, const char* pszPw, const std::string& plain)
{
    FILE* fpEnv = fopen(env.c_str(), "rb");
    FILE* fpPFX = fopen(p12.c_str(), "rb");
    FILE* fpOut = fopen(plain.c_str(), "wb");
    if (!fpEnv || !fpPFX || !fpOut) return -2;
    const int nResult = RSA_DecryptFileFromCMSEnvelope(fpEnv, fpPFX, pszPw, fpOut);
    fclose(fpEnv);
    fclose(fpPFX);
    fclose(fpOut);
    return nResult;
}

// Both of our readers on one envelope; the plaintext of each when they succeed.
void ExpectOpens(const Bytes& der, const Bytes& expected, const std::string& p12)
{
    Bytes plain;
    ASSERT_EQ(VOMU_OK, OpenData(der, p12, kPassword, &plain));
    EXPECT_EQ(expected, plain);
    TempFile env(der), out;
    ASSERT_EQ(VOMU_OK, OpenFile(env.Path(), p12, kPassword, out.Path()));
    EXPECT_EQ(expected, out.Read());
}

void ExpectRefused(const Bytes& der, int nExpected, const std::string& p12)
{
    Bytes plain;
    EXPECT_EQ(nExpected, OpenData(der, p12, kPassword, &plain));
    TempFile env(der), out;
    EXPECT_EQ(nExpected, OpenFile(env.Path(), p12, kPassword, out.Path()));
}

// `openssl cms -decrypt` of an envelope file with ee_enc's key.
Bytes CmsDecrypt(const std::string& env, bool* pbOk)
{
    return peer::CmsDecrypt(env, kRsa + "ee_enc.pem", kRsa + "ee_enc.key", pbOk);
}

// `openssl cms -encrypt` of bytes for a certificate, DER.
Bytes CmsEncrypt(const Bytes& plain, const std::string& opts, const std::string& certPem)
{
    TempFile in(plain);
    std::string output;
    const Bytes der = peer::CmsEncryptFile(opts, in.Path(), certPem, &output);
    if (der.empty()) ADD_FAILURE() << output;
    return der;
}

// An envelope in this system's layout, from given parts (the peer's RSA-encrypted key).
Bytes HandMadeEnvelope(const char* pszCipherOid, const Bytes& params, const Bytes& contentKey,
                       const Bytes& content)
{
    TempFile key(contentKey), encryptedKey;
    EXPECT_EQ(0, RunCommand("openssl pkeyutl -encrypt -certin -inkey " + kRsa + "ee_enc.pem -in '" +
                            key.Path() + "' -out '" + encryptedKey.Path() + "'"));
    const Bytes version = {0x02, 0x01, 0x02};
    const Bytes ktri = Tlv(0x30, Cat({version, Tlv(0x80, Bytes(20, 0x11)),
                                      dertest::NullAlgorithm("1.2.840.113549.1.1.1"),
                                      Tlv(0x04, encryptedKey.Read())}));
    const Bytes eci = Tlv(0x30, Cat({dertest::OidTlv("1.2.840.113549.1.7.1"),
                                     Tlv(0x30, Cat({dertest::OidTlv(pszCipherOid), params})),
                                     Tlv(0x80, content)}));
    const Bytes env = Tlv(0x30, Cat({version, Tlv(0x31, ktri), eci}));
    return Tlv(0x30, Cat({dertest::OidTlv("1.2.840.113549.1.7.3"), Tlv(0xA0, env)}));
}


TEST_F(RSAEnvelope, OurThreeDesEnvelopesOpenInOpenssl)
{
    for (size_t n : {(size_t)1, (size_t)20, (size_t)16385}) {
        SCOPED_TRACE("data " + std::to_string(n));
        Bytes der;
        ASSERT_EQ(VOMU_OK, SealData(Message(n), EncCert(), NID_des_ede3_cbc, &der));
        const EnvelopeView view = View(der);
        EXPECT_EQ((n / 8 + 1) * 8, view.content.size());
        ASSERT_EQ(10u, view.contentParams.size());
        EXPECT_EQ(0x04, view.contentParams[0]);
        EXPECT_EQ(0x08, view.contentParams[1]);
        EXPECT_EQ(256u, view.encryptedKey.size());
        TempFile env(der);
        bool bOk = false;
        EXPECT_EQ(Message(n), CmsDecrypt(env.Path(), &bOk));
        EXPECT_TRUE(bOk);
    }
    for (size_t n : {(size_t)1, (size_t)1000, (size_t)16384, (size_t)32769}) {
        SCOPED_TRACE("file " + std::to_string(n));
        TempFile plain(Message(n)), env;
        ASSERT_EQ(VOMU_OK, SealFile(plain.Path(), EncCert(), NID_des_ede3_cbc, env.Path()));
        // One DER envelope whose content is the streamed ciphertext.
        const Bytes der = env.Read();
        ASSERT_EQ(1u, Children(der).size());
        EXPECT_EQ(der.size(), Children(der)[0].whole.size());
        EXPECT_EQ((n & ~(size_t)7) + 8, View(der).content.size());
        bool bOk = false;
        EXPECT_EQ(Message(n), CmsDecrypt(env.Path(), &bOk));
        EXPECT_TRUE(bOk);
        TempFile back;
        ASSERT_EQ(VOMU_OK, OpenFile(env.Path(), EncP12(), kPassword, back.Path()));
        EXPECT_EQ(Message(n), back.Read());
    }
}

// Primitive content, and constructed content in segments (-stream) through both readers.
TEST_F(RSAEnvelope, OpensslThreeDesEnvelopesOpenInOurs)
{
    for (const char* opts : {"-keyid -des3", "-keyid -des3 -stream"}) {
        for (size_t n : {(size_t)1, (size_t)16, (size_t)16385, (size_t)70001}) {
            SCOPED_TRACE(std::string(opts) + " " + std::to_string(n));
            const Bytes der = CmsEncrypt(Message(n), opts, kRsa + "ee_enc.pem");
            ASSERT_FALSE(der.empty());
            ExpectOpens(der, Message(n), EncP12());
        }
    }
}

// OpenSSL refuses RC4 parameters written as NULL, so the parts are checked one by one.
TEST_F(RSAEnvelope, Rc4EnvelopesCheckedPartByPart)
{
    for (bool bFile : {false, true}) {
        const size_t n = bFile ? 1000 : 20;
        SCOPED_TRACE(bFile ? "file" : "data");
        Bytes der;
        if (bFile) {
            TempFile plain(Message(n)), env;
            ASSERT_EQ(VOMU_OK, SealFile(plain.Path(), EncCert(), NID_rc4, env.Path()));
            der = env.Read();
        } else {
            ASSERT_EQ(VOMU_OK, SealData(Message(n), EncCert(), NID_rc4, &der));
        }
        const EnvelopeView view = View(der);
        EXPECT_EQ(Bytes({0x05, 0x00}), view.contentParams);
        EXPECT_EQ(n, view.content.size());
        TempFile encryptedKey(view.encryptedKey), contentKey;
        ASSERT_EQ(0, RunCommand("openssl pkeyutl -decrypt -inkey " + kRsa + "ee_enc.key -in '" +
                                encryptedKey.Path() + "' -out '" + contentKey.Path() + "'"));
        const Bytes key = contentKey.Read();
        ASSERT_EQ(16u, key.size());
        bool bOk = false;
        EXPECT_EQ(Message(n), cipherpeer::Enc(cipherpeer::kRC4, key, Bytes(), true, view.content, &bOk));
        EXPECT_TRUE(bOk);
        ExpectOpens(der, Message(n), EncP12());
    }
}

// A content key of another length than the cipher's would be completed or cut by the cipher.
TEST_F(RSAEnvelope, ContentKeyOfWrongLengthIsRefused)
{
    struct Row { const char* pszOid; Bytes params; size_t nKey; } rows[] = {
        {"1.2.840.113549.3.4", {0x05, 0x00}, 10},
        {"1.2.840.113549.3.4", {0x05, 0x00}, 24},
        {"1.2.840.113549.3.7", Tlv(0x04, Bytes(8, 0x42)), 16},
        {"1.2.840.113549.3.7", Tlv(0x04, Bytes(8, 0x42)), 32},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.pszOid) + " key " + std::to_string(row.nKey));
        const Bytes der = HandMadeEnvelope(row.pszOid, row.params, Bytes(row.nKey, 0x5A), Bytes(16, 0x33));
        ExpectRefused(der, VOMU_E_DECRYPT, EncP12());
    }
}

TEST_F(RSAEnvelope, EnvelopesOurReadersRefuse)
{
    SCOPED_TRACE("recipient named by issuer and serial");
    ExpectRefused(CmsEncrypt(Message(10), "-des3", kRsa + "ee_enc.pem"), VOMU_E_ENVELOPE_FORMAT, EncP12());
    SCOPED_TRACE("content cipher AES");
    ExpectRefused(CmsEncrypt(Message(10), "-keyid -aes128", kRsa + "ee_enc.pem"), VOMU_E_DECRYPT, EncP12());
    SCOPED_TRACE("for another key");
    ExpectRefused(CmsEncrypt(Message(10), "-keyid -des3", kRsa + "ee_sign_enc.pem"), VOMU_E_DECRYPT, EncP12());
    SCOPED_TRACE("3DES-CBC IV shorter than 8 bytes");
    const Bytes key = cipherpeer::KeyFor(cipherpeer::kDes3Cbc);
    ExpectRefused(HandMadeEnvelope("1.2.840.113549.3.7", Tlv(0x04, Bytes(7, 1)), key, Bytes(8, 1)),
                  VOMU_E_ENVELOPE_FORMAT, EncP12());
}

TEST_F(RSAEnvelope, WriterAcceptance)
{
    struct Row { const char* pszName; Bytes cert; int nNID; int nExpected; } rows[] = {
        {"3DES-ECB", EncCert(), NID_des_ede3_ecb, VOMU_E_INVALID_ARG},
        {"SM4-CBC", EncCert(), NID_ChinaSM4_CBC, VOMU_E_INVALID_ARG},
        {"AES", EncCert(), NID_aes_128_cbc, VOMU_E_INVALID_ARG},
        {"no keyEncipherment", Cert(kRsa + "ee_sign.der"), NID_des_ede3_cbc, VOMU_E_KEY_USAGE},
        {"no keyUsage", Cert(kRsa + "ee_noku.der"), NID_rc4, VOMU_E_KEY_USAGE},
        {"PEM certificate", Cert(kRsa + "ee_enc.pem"), NID_des_ede3_cbc, VOMU_E_FAIL},
        {"512-bit key", Cert(g_dir + "/rsa512.der"), NID_des_ede3_cbc, VOMU_E_ENCRYPT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        Bytes der;
        EXPECT_EQ(row.nExpected, SealData(Message(20), row.cert, row.nNID, &der));
        TempFile plain(Message(20)), env;
        EXPECT_EQ(row.nExpected, SealFile(plain.Path(), row.cert, row.nNID, env.Path()));
        EXPECT_TRUE(env.Read().empty());
    }
    char* psz = nullptr;
    int n = 0;
    const Bytes cert = EncCert();
    const Bytes one(1, 'a');
    EXPECT_EQ(VOMU_E_INVALID_ARG, RSA_EncryptDataToCMSEnvelope(one.data(), 0, cert.data(), (int)cert.size(),
                                                               NID_rc4, 0, &psz, &n));
    EXPECT_EQ(nullptr, psz);
}

// 1024 bits is the smallest key taken: a 128-byte encrypted key; 512 bits fails to open too.
TEST_F(RSAEnvelope, RecipientKeySizes)
{
    Bytes der;
    ASSERT_EQ(VOMU_OK, SealData(Message(33), Cert(g_dir + "/rsa1024.der"), NID_des_ede3_cbc, &der));
    EXPECT_EQ(128u, View(der).encryptedKey.size());
    ExpectOpens(der, Message(33), g_dir + "/rsa1024.p12");
    ExpectRefused(CmsEncrypt(Message(33), "-keyid -des3", g_dir + "/rsa512.pem"), VOMU_E_DECRYPT,
                  g_dir + "/rsa512.p12");
}

TEST_F(RSAEnvelope, PasswordsAndBase64)
{
    const Bytes plain = Message(300);
    const Bytes cert = EncCert();
    char* pszText = nullptr;
    int nText = 0;
    ASSERT_EQ(VOMU_OK, RSA_EncryptDataToCMSEnvelope(plain.data(), (int)plain.size(), cert.data(),
                                                    (int)cert.size(), NID_des_ede3_cbc, 0, &pszText, &nText));
    const std::string text(pszText, nText);
    delete[] pszText;
    EXPECT_EQ(text.size(), strlen(text.c_str()));
    // The peer opens the Base64 text too.
    TempFile b64(Bytes(text.begin(), text.end())), der;
    ASSERT_EQ(0, RunCommand("openssl base64 -d -in '" + b64.Path() + "' -out '" + der.Path() + "'"));
    bool bOk = false;
    EXPECT_EQ(plain, CmsDecrypt(der.Path(), &bOk));

    struct Row { const char* pszPw; int nExpected; } rows[] = {
        {kPassword, VOMU_OK}, {"wrong", VOMU_E_FAIL}, {"", VOMU_E_INVALID_ARG}, {nullptr, VOMU_E_INVALID_ARG},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszPw ? row.pszPw : "(null)");
        FILE* fpPFX = fopen(EncP12().c_str(), "rb");
        ASSERT_NE(nullptr, fpPFX);
        unsigned char* pby = nullptr;
        int n = 0;
        EXPECT_EQ(row.nExpected, RSA_DecryptDataFromCMSEnvelope(text.c_str(), fpPFX, row.pszPw, &pby, &n));
        fclose(fpPFX);
        if (VOMU_OK == row.nExpected) {
            EXPECT_EQ(plain, Take(pby, n));
        } else {
            EXPECT_EQ(nullptr, pby);
        }
    }
    Bytes out;
    EXPECT_EQ(VOMU_E_FAIL, OpenData(der.Read(), EncP12(), "wrong", &out));
}

TEST_F(RSAEnvelope, FileRoadLimitsAndFailedWrites)
{
    SCOPED_TRACE("empty plain file: refused before anything is written");
    TempFile empty, env;
    EXPECT_EQ(VOMU_E_READ_FILE, SealFile(empty.Path(), EncCert(), NID_des_ede3_cbc, env.Path()));
    EXPECT_TRUE(env.Read().empty());
    SCOPED_TRACE("larger than an envelope's int lengths declare (sparse)");
    TempFile big;
    ASSERT_EQ(0, truncate(big.Path().c_str(), (off_t)(2ULL << 30) + 10));
    EXPECT_EQ(VOMU_E_FILE_TOO_LARGE, SealFile(big.Path(), EncCert(), NID_rc4, env.Path()));
    EXPECT_TRUE(env.Read().empty());
    SCOPED_TRACE("full device");
    for (size_t n : {(size_t)1, (size_t)20000}) {
        TempFile plain(Message(n)), good;
        EXPECT_NE(VOMU_OK, SealFile(plain.Path(), EncCert(), NID_des_ede3_cbc, "/dev/full"));
        ASSERT_EQ(VOMU_OK, SealFile(plain.Path(), EncCert(), NID_des_ede3_cbc, good.Path()));
        EXPECT_EQ(VOMU_E_FAIL, OpenFile(good.Path(), EncP12(), kPassword, "/dev/full"));
    }
}

// Every road's step lines carry the name of the function whose step it is, never one of the
// helpers these functions share; the cipher outside the table is a Failed line only.
TEST_F(RSAEnvelope, StepLinesNameTheCalledFunction)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    for (int nNID : {NID_des_ede3_cbc, NID_rc4}) {
        Bytes der;
        ASSERT_EQ(VOMU_OK, SealData(Message(40), EncCert(), nNID, &der));
        ExpectOpens(der, Message(40), EncP12());
        TempFile plain(Message(40)), env;
        ASSERT_EQ(VOMU_OK, SealFile(plain.Path(), EncCert(), nNID, env.Path()));
    }
    EXPECT_EQ(std::string::npos, log.Contents().find("Unsupported Algorithm.)\t\t--OK"));
    Bytes der;
    EXPECT_EQ(VOMU_E_INVALID_ARG, SealData(Message(40), EncCert(), NID_ChinaSM4_CBC, &der));
    const std::string text = log.Contents();
    for (const char* pszLine :
         {"(RSA_EncryptDataToDERCMSEnvelope -- RAND_bytes)",
          "(RSA_EncryptDataToDERCMSEnvelope -- ASN1Encode)",
          "(RSA_EncryptDataToDERCMSEnvelope -- GenerateSymKey)",
          "(RSA_EncryptDataToDERCMSEnvelope -- RSAEncryptByX509)",
          "(RSA_EncryptDataToDERCMSEnvelope -- GetSubjectKeyIDFromCert)",
          "(RSA_EncryptFileToCMSEnvelope -- GetFileSize_Ex)",
          "(RSA_EncryptFileToCMSEnvelope -- fwrite)",
          "(RSAEncrypt -- EVP_PKEY_get1_RSA)",
          "(RSAEncrypt -- RSA_size)",
          "(RSADecrypt -- RSA_size)",
          "(RSA_DecryptDataFromDERCMSEnvelope -- ParsePFXFile)",
          "(RSA_DecryptDataFromDERCMSEnvelope -- Decode_CMSEnvelopeData)",
          "(RSA_DecryptDataFromDERCMSEnvelope -- Check content key length)",
          "(RSA_DecryptFileFromCMSEnvelope -- Decode_CMSEnvelopeFile)",
          "(RSA_DecryptFileFromCMSEnvelope -- nContentEncryptionAlgNID)",
          "(DecryptFileEnvelopeContent -- fseek)",
          "(DecryptFileEnvelopeContent -- EVP_DecryptInit)",
          "(Encode_CMSEnvelope -- new NodeEx(RecipientInfos))",
          "(ConstructNode_KeyTransRecipientInfo -- new NodeEx(version))",
          "(ConstructNode_EncryptedContentInfo -- AddChild(EncryptedContentInfo))",
          "(RSA_EncryptDataToDERCMSEnvelope -- Unsupported Algorithm.)\t\t--Failed:(0x80070057) "
          "[Reason:true]"})
        EXPECT_NE(std::string::npos, text.find(pszLine)) << pszLine;
    const std::set<std::string> names = morv_test::StepFunctions(text);
    for (const char* pszHelper : {"ReadPFXKey",
                                  "CheckContentCipher",
                                  "CheckContentKey",
                                  "OpenContentKey",
                                  "DecodeEnvelopeData",
                                  "DecodeEnvelopeFile",
                                  "ProcessNode",
                                  "MakeContentParameters",
                                  "MakeContentKey",
                                  "MakeRecipientParts",
                                  "GetPlainFileSize",
                                  "WriteHeader",
                                  "CheckRsaKey",
                                  "AdoptAll",
                                  "ConstructNode_RecipientInfos",
                                  "ConstructNode_Version",
                                  "EncodeTreeAndHandOver",
                                  "EncodeTreeToCaller",
                                  "GetCipher",
                                  "InitCipherContext",
                                  "CipherOnePass",
                                  "CheckBufferArgs",
                                  "CheckDecryptKey",
                                  "CheckSymEncryptKey",
                                  "RandomKey",
                                  "DesRandomKey"})
        EXPECT_EQ(0u, names.count(pszHelper)) << pszHelper;
}

TEST_F(RSAEnvelope, LogShowsNoContentKeyOrPlaintext)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const std::string secret = "TOP-SECRET-ENVELOPE-PLAINTEXT";
    const Bytes plain(secret.begin(), secret.end());
    Bytes der;
    ASSERT_EQ(VOMU_OK, SealData(plain, EncCert(), NID_rc4, &der));
    ExpectOpens(der, plain, EncP12());
    TempFile encryptedKey(View(der).encryptedKey), contentKey;
    ASSERT_EQ(0, RunCommand("openssl pkeyutl -decrypt -inkey " + kRsa + "ee_enc.key -in '" +
                            encryptedKey.Path() + "' -out '" + contentKey.Path() + "'"));
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos, text.find("RSA Key Bytes: 256"));
    EXPECT_EQ(std::string::npos, text.find(secret));
    EXPECT_EQ(std::string::npos, text.find(peer::Hex(contentKey.Read())));
    EXPECT_EQ(std::string::npos, text.find(kPassword));
}
}  // namespace

namespace {

// A node whose value runs past the end of the file: what the file holds is decrypted and
// written, then the short read is reported.
TEST_F(RSAEnvelope, NodeRunningPastTheFileEnd)
{
    const Bytes key = cipherpeer::KeyFor(cipherpeer::kRC4);
    bool bOk = false;
    const Bytes cipher = cipherpeer::Enc(cipherpeer::kRC4, key, Bytes(), false, Message(100), &bOk);
    ASSERT_TRUE(bOk);
    TempFile env(cipher), out;
    EVP_CIPHER* pCipher = nullptr;
    ASSERT_EQ(VOMU_OK, GetEVPCipherbyNID(NID_rc4, &pCipher));
    EVP_CIPHER_CTX* pCtx = EVP_CIPHER_CTX_new();
    ASSERT_EQ(1, EVP_DecryptInit_ex(pCtx, pCipher, NULL, key.data(), NULL));
    NodeEx node;
    node.ValueOffset = 0;
    node.ValueLength = 150;
    FILE* fpEnv = fopen(env.Path().c_str(), "rb");
    FILE* fpOut = fopen(out.Path().c_str(), "wb");
    EXPECT_EQ(VOMU_E_READ_FILE, DecryptFileEnvelopeContent_ProcessOneNode(pCtx, fpEnv, &node, fpOut));
    fclose(fpEnv);
    fclose(fpOut);
    EXPECT_EQ(Message(100), out.Read());
    EVP_CIPHER_CTX_free(pCtx);
    EVP_CIPHER_free(pCipher);
}

}  // namespace
