// Signing and verification functions of the flat interface, against the openssl CLI both ways.
#include <gtest/gtest.h>

#include <functional>

#include "SdkTestUtil.h"

using sdktest::Base64;
using sdktest::CertB64;
using sdktest::kP12Password;
using sdktest::kSM2Password;
using sdktest::Bytes;
using sdktest::Data;
using sdktest::FailedLine;
using sdktest::FromBase64;
using sdktest::OkLine;
using sdktest::Pki;
using sdktest::Shell;
using sdktest::Session;
using sdktest::TempDir;
using sdktest::Text;

namespace {

struct Signer {
    const char* pszAlgorithm;
    std::string strKeyFile;
    const char* pszPassword;
    std::string strCertB64;  // DER inside
    std::string strCertPem;
};

Signer SM2Signer()
{
    return {"SM2", Pki("sm2pfx/sign.b64"), kSM2Password, Base64(sdktest::ReadBytes(Pki("sm2/ee_sign.der"))),
            Pki("sm2/ee_sign.pem")};
}
Signer RSASigner()
{
    return {"RSA", Pki("p12/modern.p12"), kP12Password, Base64(sdktest::ReadBytes(Pki("rsa/ee_sign.der"))),
            Pki("rsa/ee_sign.pem")};
}

// Data with zero bytes and a marker that a test can find inside an attached signature.
Bytes SampleData()
{
    const std::string str("MORV-signed-content\0with\0zero bytes\0", 36);
    Bytes data(str.begin(), str.end());
    for (int i = 0; i < 300; ++i) data.push_back((unsigned char)(i * 7));
    return data;
}

enum class Form { PKCS1, DETACHED, ATTACHED, FILE_DETACHED };

const char* FormName(Form form)
{
    switch (form) {
    case Form::PKCS1: return "PKCS#1";
    case Form::DETACHED: return "PKCS#7 detached";
    case Form::ATTACHED: return "PKCS#7 attached";
    case Form::FILE_DETACHED: return "file PKCS#7 detached";
    }
    return "";
}

// One signature of data (through a file for the file form) with the signer's key.
int Sign(const Signer& s, Form form, const Bytes& data, const TempDir& dir, std::string* pSignature,
         const char* pszHash = "SHA-256")
{
    Text sig;
    int nResult = VOMU_E_FAIL;
    const std::string strFile = dir.Path("data.bin");
    switch (form) {
    case Form::PKCS1:
        nResult = SignData_PKCS1(s.pszAlgorithm, data.data(), (int)data.size(), s.strKeyFile.c_str(), s.pszPassword,
                                 pszHash, sig.Out());
        break;
    case Form::DETACHED:
        nResult = SignData_PKCS7Detached(s.pszAlgorithm, data.data(), (int)data.size(), s.strKeyFile.c_str(),
                                         s.pszPassword, pszHash, sig.Out());
        break;
    case Form::ATTACHED:
        nResult = SignData_PKCS7Attached(s.pszAlgorithm, data.data(), (int)data.size(), s.strKeyFile.c_str(),
                                         s.pszPassword, pszHash, sig.Out());
        break;
    case Form::FILE_DETACHED:
        sdktest::WriteBytes(strFile, data.data(), data.size());
        nResult = SignFile_PKCS7Detached(s.pszAlgorithm, strFile.c_str(), s.strKeyFile.c_str(), s.pszPassword,
                                         pszHash, sig.Out());
        break;
    }
    *pSignature = sig.Get() ? sig.Get() : "";
    return nResult;
}

struct Verified {
    int nResult = VOMU_E_FAIL;
    std::string strCert;
    Bytes content;
};

Verified Verify(const Signer& s, Form form, const Bytes& data, const std::string& strSignature, const TempDir& dir)
{
    Verified v;
    Text cert;
    const std::string strFile = dir.Path("verify.bin");
    switch (form) {
    case Form::PKCS1:
        v.nResult = VerifyDataSignature_PKCS1(s.pszAlgorithm, data.data(), (int)data.size(), s.strCertB64.c_str(),
                                              "SHA-256", strSignature.c_str());
        break;
    case Form::DETACHED:
        v.nResult = VerifyDataSignature_PKCS7Detached(s.pszAlgorithm, data.data(), (int)data.size(),
                                                      strSignature.c_str(), cert.Out());
        break;
    case Form::ATTACHED: {
        Data content;
        int nSize = -1;
        v.nResult = VerifyDataSignature_PKCS7Attached(s.pszAlgorithm, strSignature.c_str(), cert.Out(),
                                                      content.Out(), &nSize);
        if (content.Get()) v.content.assign(content.Get(), content.Get() + nSize);
        break;
    }
    case Form::FILE_DETACHED:
        sdktest::WriteBytes(strFile, data.data(), data.size());
        v.nResult = VerifyFileSignature_PKCS7Detached(s.pszAlgorithm, strFile.c_str(), strSignature.c_str(),
                                                      cert.Out());
        break;
    }
    if (cert.Get()) v.strCert = cert.Get();
    return v;
}

// The attached signature with one byte of its content changed.
std::string TamperAttached(const std::string& strSignature, const Bytes& data)
{
    Bytes der = FromBase64(strSignature);
    auto it = std::search(der.begin(), der.end(), data.begin(), data.begin() + 19);
    if (it == der.end()) return "";
    it[3] ^= 0x01;
    return Base64(der);
}

TEST(SdkSigning, EveryFormSignsVerifiesAndRefusesAChangedByte)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const Bytes data = SampleData();
    Bytes changed = data;
    changed[40] ^= 0x80;
    for (const Signer& s : {SM2Signer(), RSASigner()}) {
        for (Form form : {Form::PKCS1, Form::DETACHED, Form::ATTACHED, Form::FILE_DETACHED}) {
            SCOPED_TRACE(std::string(s.pszAlgorithm) + " " + FormName(form));
            std::string strSignature;
            ASSERT_EQ(VOMU_OK, Sign(s, form, data, dir, &strSignature));
            EXPECT_EQ(std::string::npos, strSignature.find_first_of("\r\n"));

            const Verified good = Verify(s, form, data, strSignature, dir);
            EXPECT_EQ(VOMU_OK, good.nResult);
            if (form != Form::PKCS1) {
                EXPECT_EQ(s.strCertB64, good.strCert);
            }
            if (form == Form::ATTACHED) {
                EXPECT_EQ(data, good.content);
            }

            // The file verifier passes the SM2 road's -1 on unchanged.
            const bool bSM2 = std::string("SM2") == s.pszAlgorithm;
            const int nBad = (form == Form::FILE_DETACHED && bSM2) ? VOMU_E_FAIL : VOMU_E_BAD_SIGNATURE;
            const Verified bad = form == Form::ATTACHED ? Verify(s, form, data, TamperAttached(strSignature, data), dir)
                                                        : Verify(s, form, changed, strSignature, dir);
            EXPECT_EQ(nBad, bad.nResult);
            EXPECT_TRUE(bad.strCert.empty());
            EXPECT_TRUE(bad.content.empty());
        }
    }
}

TEST(SdkSigning, AlgorithmNamesIgnoreCaseAndTheSM2RoadIgnoresTheHashName)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const Bytes data = SampleData();
    std::string strSignature;
    for (const char* pszName : {"sm2", "Sm2", "SM2"}) {
        Signer s = SM2Signer();
        s.pszAlgorithm = pszName;
        for (const char* pszHash : {(const char*)nullptr, "MD5", ""}) {
            EXPECT_EQ(VOMU_OK, Sign(s, Form::DETACHED, data, dir, &strSignature, pszHash)) << pszName;
            EXPECT_EQ(VOMU_OK, Verify(SM2Signer(), Form::DETACHED, data, strSignature, dir).nResult);
        }
    }
    Signer rsa = RSASigner();
    rsa.pszAlgorithm = "rsa";
    EXPECT_EQ(VOMU_OK, Sign(rsa, Form::PKCS1, data, dir, &strSignature, "sha-1"));
    // Openssl reads it as SHA-1 with RSA.
    const std::string strSig = dir.Path("rsa.sig"), strData = dir.Path("rsa.bin"), strPub = dir.Path("rsa.pub");
    sdktest::WriteBytes(strData, data.data(), data.size());
    const Bytes sig = FromBase64(strSignature);
    sdktest::WriteBytes(strSig, sig.data(), sig.size());
    ASSERT_EQ(0, Shell("openssl x509 -in " + rsa.strCertPem + " -pubkey -noout > " + strPub));
    EXPECT_EQ(0, Shell("openssl dgst -sha1 -verify " + strPub + " -signature " + strSig + " " + strData));

    // Every name but SM2 verifies an attached signature on the RSA road.
    ASSERT_EQ(VOMU_OK, Sign(RSASigner(), Form::ATTACHED, data, dir, &strSignature));
    Data content;
    int nSize = 0;
    EXPECT_EQ(VOMU_OK, VerifyDataSignature_PKCS7Attached("DSA", strSignature.c_str(), nullptr, content.Out(), &nSize));
    EXPECT_EQ(data, Bytes(content.Get(), content.Get() + nSize));
}

class CliOracle : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_session.Ok());
        sdktest::WriteBytes(DataFile(), m_data.data(), m_data.size());
    }
    std::string DataFile() const { return m_dir.Path("data.bin"); }
    std::string Write(const std::string& strName, const Bytes& bytes) const
    {
        sdktest::WriteBytes(m_dir.Path(strName), bytes.data(), bytes.size());
        return m_dir.Path(strName);
    }
    std::string PublicKey(const Signer& s) const
    {
        const std::string strPub = m_dir.Path(std::string(s.pszAlgorithm) + ".pub");
        Shell("openssl x509 -in " + s.strCertPem + " -pubkey -noout > " + strPub);
        return strPub;
    }
    // The command's output as Base64; strLast (the data file of dgst) goes after the options.
    std::string CliSign(const std::string& strCommand, const std::string& strLast = "") const
    {
        const std::string strOut = m_dir.Path("cli.sig");
        if (Shell(strCommand + " -out " + strOut + " " + strLast) != 0) return "";
        return Base64(sdktest::ReadBytes(strOut));
    }

    Session m_session;
    TempDir m_dir;
    Bytes m_data = SampleData();
};

TEST_F(CliOracle, OpensslVerifiesOurSignatures)
{
    std::string strSignature;
    const Signer sm2 = SM2Signer(), rsa = RSASigner();
    ASSERT_EQ(VOMU_OK, Sign(sm2, Form::PKCS1, m_data, m_dir, &strSignature));
    std::string strOut;
    EXPECT_EQ(0, Shell("openssl dgst -sm3 -verify " + PublicKey(sm2) + " -sigopt distid:1234567812345678 -signature " +
                         Write("sm2.sig", FromBase64(strSignature)) + " " + DataFile(), &strOut))
        << strOut;

    ASSERT_EQ(VOMU_OK, Sign(rsa, Form::PKCS1, m_data, m_dir, &strSignature));
    EXPECT_EQ(0, Shell("openssl dgst -sha256 -verify " + PublicKey(rsa) + " -signature " +
                         Write("rsa.sig", FromBase64(strSignature)) + " " + DataFile(), &strOut))
        << strOut;

    for (Form form : {Form::DETACHED, Form::FILE_DETACHED}) {
        ASSERT_EQ(VOMU_OK, Sign(rsa, form, m_data, m_dir, &strSignature));
        EXPECT_EQ(0, Shell("openssl cms -verify -noverify -binary -inform DER -in " +
                             Write("rsa.p7s", FromBase64(strSignature)) + " -content " + DataFile() + " -out /dev/null",
                         &strOut))
            << FormName(form) << strOut;
    }
    ASSERT_EQ(VOMU_OK, Sign(rsa, Form::ATTACHED, m_data, m_dir, &strSignature));
    const std::string strContent = m_dir.Path("content.out");
    EXPECT_EQ(0, Shell("openssl cms -verify -noverify -binary -inform DER -in " + Write("rsa.p7m", FromBase64(strSignature)) +
                         " -out " + strContent, &strOut))
        << strOut;
    EXPECT_EQ(m_data, sdktest::ReadBytes(strContent));
}

TEST_F(CliOracle, WeVerifyOpensslSignatures)
{
    const Signer sm2 = SM2Signer(), rsa = RSASigner();
    const std::string strSM2 = CliSign("openssl dgst -sm3 -sign " + Pki("sm2/ee_sign.key") +
                                       " -sigopt distid:1234567812345678", DataFile());
    ASSERT_FALSE(strSM2.empty());
    EXPECT_EQ(VOMU_OK, VerifyDataSignature_PKCS1("SM2", m_data.data(), (int)m_data.size(), sm2.strCertB64.c_str(),
                                                 nullptr, strSM2.c_str()));

    const std::string strRSA = CliSign("openssl dgst -sha256 -sign " + Pki("rsa/ee_sign.key"), DataFile());
    ASSERT_FALSE(strRSA.empty());
    EXPECT_EQ(VOMU_OK, VerifyDataSignature_PKCS1("RSA", m_data.data(), (int)m_data.size(), rsa.strCertB64.c_str(),
                                                 "SHA-256", strRSA.c_str()));
    EXPECT_EQ(VOMU_E_BAD_SIGNATURE, VerifyDataSignature_PKCS1("RSA", m_data.data(), (int)m_data.size(),
                                                              rsa.strCertB64.c_str(), "SHA-1", strRSA.c_str()));

    const std::string strSigner = " -signer " + rsa.strCertPem + " -inkey " + Pki("rsa/ee_sign.key") + " -md sha256";
    const std::string strDetached = CliSign("openssl smime -sign -binary -outform DER -in " + DataFile() + strSigner);
    ASSERT_FALSE(strDetached.empty());
    Text cert;
    EXPECT_EQ(VOMU_OK, VerifyDataSignature_PKCS7Detached("RSA", m_data.data(), (int)m_data.size(),
                                                         strDetached.c_str(), cert.Out()));
    EXPECT_EQ(rsa.strCertB64, cert.Get() ? cert.Get() : "");
    // The file road checks the signature over the file itself: a signature without signed attributes.
    const std::string strNoAttr = CliSign("openssl smime -sign -noattr -binary -outform DER -in " + DataFile() + strSigner);
    ASSERT_FALSE(strNoAttr.empty());
    EXPECT_EQ(VOMU_OK, VerifyFileSignature_PKCS7Detached("RSA", DataFile().c_str(), strNoAttr.c_str(), cert.Out()));
    EXPECT_EQ(rsa.strCertB64, cert.Get() ? cert.Get() : "");

    const std::string strAttached = CliSign("openssl smime -sign -nodetach -binary -outform DER -in " + DataFile() + strSigner);
    ASSERT_FALSE(strAttached.empty());
    Data content;
    int nSize = 0;
    EXPECT_EQ(VOMU_OK, VerifyDataSignature_PKCS7Attached("RSA", strAttached.c_str(), nullptr, content.Out(), &nSize));
    EXPECT_EQ(m_data, Bytes(content.Get(), content.Get() + nSize));
}

struct FailureCase {
    const char* pszWhat;
    std::function<int(char**)> call;
    int nExpected;
    std::string strLine;  // expected in the log
    bool bAtCheck = false;  // refused by a parameter check, before the outputs are cleared
};

TEST(SdkSigning, FailuresLeaveOutputsEmptyAndSayWhichStep)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    const Bytes data = SampleData();
    const unsigned char* pby = data.data();
    const int n = (int)data.size();
    const std::string sm2Key = Pki("sm2pfx/sign.b64"), p12 = Pki("p12/modern.p12");
    const FailureCase cases[] = {
        {"unknown name, key file exists",
         [&](char** pp) { return SignData_PKCS1("DSA", pby, n, p12.c_str(), kP12Password, "SHA-256", pp); },
         VOMU_E_INVALID_ARG, FailedLine("SignData_PKCS1", "Invalid sign algorithm.", VOMU_E_INVALID_ARG, "true")},
        {"unknown name, key file missing",
         [&](char** pp) { return SignData_PKCS1("DSA", pby, n, "/missing/key", kP12Password, "SHA-256", pp); },
         VOMU_E_OPEN_FILE, FailedLine("SignData_PKCS1", "Open PFX file.", VOMU_E_OPEN_FILE, "NULL == fpPFX")},
        {"RSA with MD5",
         [&](char** pp) { return SignData_PKCS7Attached("RSA", pby, n, p12.c_str(), kP12Password, "MD5", pp); },
         VOMU_E_INVALID_ARG, FailedLine("SignData_PKCS7Attached", "Invalid hash algorithm.", VOMU_E_INVALID_ARG, "true")},
        {"RSA without a hash name",
         [&](char** pp) { return SignData_PKCS7Detached("RSA", pby, n, p12.c_str(), kP12Password, nullptr, pp); },
         VOMU_E_INVALID_ARG,
         FailedLine("SignData_PKCS7Detached", "Check parameter(pszHashAlg)", VOMU_E_INVALID_ARG,
                    "NULL == pszHashAlg || 0 == strlen(pszHashAlg)")},
        {"wrong SM2 key-file password",
         [&](char** pp) { return SignData_PKCS7Detached("SM2", pby, n, sm2Key.c_str(), "wrong-0117", nullptr, pp); },
         VOMU_E_SM2PFX_PASSWORD, ")]:(SignData_PKCS7Detached -- Open PFX file.)"},
        {"wrong PKCS#12 password",
         [&](char** pp) { return SignData_PKCS1("RSA", pby, n, p12.c_str(), "wrong", "SHA-256", pp); },
         VOMU_E_SIGN, FailedLine("SignData_PKCS1", "RSA_SignData_PKCS1", VOMU_E_SIGN, "VOMU_OK != nResult")},
        {"certificate without digitalSignature",
         [&](char** pp) {
             return SignData_PKCS1("SM2", pby, n, Pki("sm2pfx/enc.b64").c_str(), kSM2Password, nullptr, pp);
         },
         VOMU_E_KEY_USAGE, FailedLine("SignData_PKCS1", "SignData_PKCS1_BySM2PFX", VOMU_E_KEY_USAGE, "VOMU_OK != nResult")},
        {"certificate without keyUsage",
         [&](char** pp) {
             return SignData_PKCS7Attached("SM2", pby, n, Pki("sm2pfx/noku.b64").c_str(), kSM2Password, nullptr, pp);
         },
         VOMU_E_KEY_USAGE, ""},
        {"empty password is passed on",
         [&](char** pp) { return SignData_PKCS1("RSA", pby, n, p12.c_str(), "", "SHA-256", pp); }, VOMU_E_SIGN, ""},
        {"no data",
         [&](char** pp) { return SignData_PKCS1("SM2", pby, 0, sm2Key.c_str(), kSM2Password, nullptr, pp); },
         VOMU_E_INVALID_ARG,
         FailedLine("SignData_PKCS1", "Check parameter(pbySourceData and nSourceSize)", VOMU_E_INVALID_ARG,
                    "(NULL == pbySourceData || 0 == nSourceSize)"),
         true},
        {"negative length",
         [&](char** pp) { return SignData_PKCS7Detached("SM2", pby, -5, sm2Key.c_str(), kSM2Password, nullptr, pp); },
         VOMU_E_INVALID_ARG, "", true},
        {"no key path",
         [&](char** pp) { return SignData_PKCS1("SM2", pby, n, "", kSM2Password, nullptr, pp); }, VOMU_E_INVALID_ARG,
         FailedLine("SignData_PKCS1", "Check parameter(pszPFxFilePath)", VOMU_E_INVALID_ARG,
                    "(NULL == pszPFXFilePath || 0 == strlen(pszPFXFilePath))"),
         true},
        {"detached verification of other data",
         [&](char** pp) {
             return VerifyDataSignature_PKCS7Detached("RSA", pby, n, "MIIB", pp);
         },
         VOMU_E_BAD_SIGNATURE, ""},
    };
    const int nFdsBefore = sdktest::OpenFdCount();
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        Text out;
        EXPECT_EQ(c.nExpected, c.call(out.Out()));
        // Past the checks the output is cleared; a failed check leaves it as it was.
        if (c.bAtCheck) EXPECT_TRUE(out.Untouched());
        else EXPECT_TRUE(out.IsNull());
        if (!c.strLine.empty()) {
            EXPECT_TRUE(session.LogHas(c.strLine)) << c.strLine;
        }
    }
    EXPECT_TRUE(session.LogHas(OkLine("SignData_PKCS1", "Open PFX file.")));
    EXPECT_EQ(nFdsBefore, sdktest::OpenFdCount()) << "every key file opened is closed again";

    // The attached verifier clears all three outputs.
    Text cert;
    Data content;
    int nSize = 99;
    EXPECT_EQ(VOMU_E_BAD_SIGNATURE, VerifyDataSignature_PKCS7Attached("SM2", "MIIB", cert.Out(), content.Out(), &nSize));
    EXPECT_TRUE(cert.IsNull());
    EXPECT_TRUE(content.IsNull());
    EXPECT_EQ(0, nSize);
}

TEST(SdkSigning, FileSigningLeavesItsOutputAloneAndPassesMinusOneOn)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const std::string strFile = dir.Path("data.bin");
    sdktest::WriteText(strFile, "file content");
    const std::string p12 = Pki("p12/modern.p12");
    Text out;
    EXPECT_EQ(VOMU_E_FAIL, SignFile_PKCS7Detached("RSA", strFile.c_str(), p12.c_str(), "wrong", "SHA-256", out.Out()));
    EXPECT_TRUE(out.Untouched());
    EXPECT_TRUE(session.LogHas(FailedLine("SignFile_PKCS7Detached", "RSA_SignFile_PKCS7Detached", VOMU_E_FAIL,
                                          "VOMU_OK != nResult")));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignFile_PKCS7Detached("DSA", strFile.c_str(), p12.c_str(), kP12Password, "SHA-256", out.Out()));
    EXPECT_TRUE(session.LogHas(FailedLine("SignFile_PKCS7Detached", "pszAlgorithm Error", VOMU_E_INVALID_ARG, "true")));
    EXPECT_EQ(VOMU_E_OPEN_FILE, SignFile_PKCS7Detached("DSA", "/missing/data", p12.c_str(), kP12Password, "SHA-256", out.Out()));
    EXPECT_TRUE(session.LogHas(FailedLine("SignFile_PKCS7Detached", "fopen(pszSourceFile)", VOMU_E_OPEN_FILE,
                                          "NULL == fpSource")));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignFile_PKCS7Detached("RSA", strFile.c_str(), p12.c_str(), kP12Password, "MD5", out.Out()));
    EXPECT_TRUE(out.Untouched());
    EXPECT_EQ(VOMU_E_OPEN_FILE, VerifyFileSignature_PKCS7Detached("RSA", "/missing/data", "MIIB", nullptr));
}

}  // namespace

namespace {

TEST(SdkSigning, TheKernelServesAgainAfterUninitializeAndInitialize)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    ASSERT_EQ(VOMU_OK, Initialize());
    TempDir dir;
    const Bytes data = SampleData();
    std::string strSignature;
    ASSERT_EQ(VOMU_OK, Sign(SM2Signer(), Form::PKCS1, data, dir, &strSignature));
    ASSERT_EQ(VOMU_OK, Uninitialize());
    ASSERT_EQ(VOMU_OK, Initialize());
    EXPECT_EQ(VOMU_OK, Verify(SM2Signer(), Form::PKCS1, data, strSignature, dir).nResult);
    EXPECT_EQ(VOMU_OK, Sign(SM2Signer(), Form::ATTACHED, data, dir, &strSignature));
    EXPECT_EQ(data, Verify(SM2Signer(), Form::ATTACHED, data, strSignature, dir).content);
}

}  // namespace

namespace {

// The data verifier makes the certificate text only when asked for it; the file verifier
// always makes it (its failure would fail the call).
TEST(SdkSigning, CertificateTextIsMadeAsEachVerifierDoes)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const Bytes data = SampleData();
    std::string strDetached, strFile;
    ASSERT_EQ(VOMU_OK, Sign(SM2Signer(), Form::DETACHED, data, dir, &strDetached));
    ASSERT_EQ(VOMU_OK, Sign(SM2Signer(), Form::FILE_DETACHED, data, dir, &strFile));
    const std::string strPath = dir.Path("data.bin");

    EXPECT_EQ(VOMU_OK, VerifyDataSignature_PKCS7Detached("SM2", data.data(), (int)data.size(), strDetached.c_str(), nullptr));
    EXPECT_FALSE(session.LogHas(OkLine("VerifyDataSignature_PKCS7Detached", "Base64EncodeEx")));
    EXPECT_EQ(VOMU_OK, VerifyFileSignature_PKCS7Detached("SM2", strPath.c_str(), strFile.c_str(), nullptr));
    EXPECT_TRUE(session.LogHas(OkLine("VerifyFileSignature_PKCS7Detached", "Base64EncodeEx")));

    Text cert;
    EXPECT_EQ(VOMU_OK, VerifyDataSignature_PKCS7Detached("sm2", data.data(), (int)data.size(), strDetached.c_str(), cert.Out()));
    EXPECT_TRUE(session.LogHas(OkLine("VerifyDataSignature_PKCS7Detached", "Base64EncodeEx")));
    EXPECT_EQ(SM2Signer().strCertB64, cert.Get() ? cert.Get() : "");
}

}  // namespace

namespace {

// A NULL password is read as the empty one: key files made with an empty password open with it.
TEST(SdkSigning, NullPasswordIsTheEmptyPassword)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TempDir dir;
    const Bytes data = SampleData();
    for (Signer s : {SM2Signer(), RSASigner()}) {
        SCOPED_TRACE(s.pszAlgorithm);
        s.strKeyFile = Pki(std::string("SM2") == s.pszAlgorithm ? "sm2pfx/empty_password.b64" : "p12/empty_password.p12");
        std::string strSignature;
        for (const char* pszPassword : {"", (const char*)nullptr}) {
            s.pszPassword = pszPassword;
            ASSERT_EQ(VOMU_OK, Sign(s, Form::ATTACHED, data, dir, &strSignature));
            EXPECT_EQ(data, Verify(s, Form::ATTACHED, data, strSignature, dir).content);
        }
        s.pszPassword = "not empty";
        EXPECT_NE(VOMU_OK, Sign(s, Form::ATTACHED, data, dir, &strSignature));
    }
}

}  // namespace
