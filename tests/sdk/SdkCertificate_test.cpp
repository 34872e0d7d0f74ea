// Certificate functions of the flat interface: verification by flag word, information names
// against the openssl CLI, the certificate of key files against `openssl pkcs12 -nokeys`.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <thread>

#include "SdkTestUtil.h"

using sdktest::Base64;
using sdktest::CertB64;
using sdktest::kP12Password;
using sdktest::kSM2Password;
using sdktest::Bytes;
using sdktest::FailedLine;
using sdktest::OkLine;
using sdktest::Pki;
using sdktest::Session;
using sdktest::Text;

namespace {

struct VerifyCase {
    const char* pszCert;
    unsigned int nFlag;
    std::string strCAs;
    std::string strCRL;
    int nExpected;
};

TEST(VerifyCertificate, ChecksWhatTheFlagWordAsks)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    const std::string sm2 = Pki("sm2/"), rsa = Pki("rsa/");
    const std::string sm2CAs = sm2 + "root.pem|" + sm2 + "int.der";
    const std::string rsaCAs = rsa + "root.pem|" + rsa + "int.pem";
    const VerifyCase cases[] = {
        // time
        {"sm2/ee_sign", CERT_VERIFY_FLAG_TIME, "", "", VOMU_OK},
        {"sm2/ee_expired", CERT_VERIFY_FLAG_TIME, "", "", VOMU_E_CERT_TIME},
        {"sm2/ee_notyet", CERT_VERIFY_FLAG_TIME, "", "", VOMU_E_CERT_TIME},
        {"rsa/ee_expired", CERT_VERIFY_FLAG_TIME, "", "", VOMU_E_CERT_TIME},
        {"rsa/ee_notyet", CERT_VERIFY_FLAG_TIME, "", "", VOMU_E_CERT_TIME},
        {"rsa/ee_under_expired_int", CERT_VERIFY_FLAG_TIME, "", "", VOMU_OK},
        // revocation, PEM and DER lists
        {"sm2/ee_sign", CERT_VERIFY_FLAG_CRL, "", sm2 + "crl.pem", VOMU_OK},
        {"sm2/ee_revoked", CERT_VERIFY_FLAG_CRL, "", sm2 + "crl.pem", VOMU_E_CERT_REVOKED},
        {"sm2/ee_revoked", CERT_VERIFY_FLAG_CRL, "", sm2 + "crl.der", VOMU_E_CERT_REVOKED},
        {"rsa/ee_revoked", CERT_VERIFY_FLAG_CRL, "", rsa + "crl.der", VOMU_E_CERT_REVOKED},
        {"rsa/ee_revoked", CERT_VERIFY_FLAG_CRL, "", rsa + "crl_empty.pem", VOMU_OK},
        // chain: SM2 signatures checked with the standard ID
        {"sm2/ee_sign", CERT_VERIFY_FLAG_CHAIN, sm2CAs, "", VOMU_OK},
        {"sm2/ee_sign", CERT_VERIFY_FLAG_CHAIN, "||" + sm2 + "root.der|||" + sm2 + "int.pem|", "", VOMU_OK},
        {"sm2/ee_sign", CERT_VERIFY_FLAG_CHAIN, sm2 + "root.pem", "", VOMU_E_CERT_CHAIN},
        {"sm2/ee_empty_id", CERT_VERIFY_FLAG_CHAIN, sm2CAs, "", VOMU_E_CERT_CHAIN},
        {"rsa/ee_sign", CERT_VERIFY_FLAG_CHAIN, rsaCAs, "", VOMU_OK},
        {"rsa/ee_sign", CERT_VERIFY_FLAG_CHAIN, rsa + "other_root.pem|" + rsa + "int.pem", "", VOMU_E_CERT_CHAIN},
        {"rsa/ee_sign", CERT_VERIFY_FLAG_CHAIN, sm2CAs, "", VOMU_E_CERT_CHAIN},
        {"rsa/ee_under_expired_int", CERT_VERIFY_FLAG_CHAIN, rsa + "root.pem|" + rsa + "int_expired.pem", "", VOMU_E_CERT_TIME},
        // all three: the first failing check decides
        {"sm2/ee_sign", 7, sm2CAs, sm2 + "crl.pem", VOMU_OK},
        {"rsa/ee_sign", 7, rsaCAs, rsa + "crl.pem", VOMU_OK},
        {"sm2/ee_revoked", 7, sm2CAs, sm2 + "crl.pem", VOMU_E_CERT_REVOKED},
        {"rsa/ee_expired", 7, rsaCAs, rsa + "crl.pem", VOMU_E_CERT_TIME},
        {"rsa/ee_revoked", 7, rsa + "other_root.pem", rsa + "crl_empty.der", VOMU_E_CERT_CHAIN},
        // no bit: nothing checked, nothing read; bits outside 1, 2 and 4 are passed on
        {"rsa/ee_expired", 0, "/missing", "/missing", VOMU_OK},
        {"rsa/ee_expired", 0x100 | CERT_VERIFY_FLAG_CRL, "/missing", rsa + "crl.pem", VOMU_OK},
    };
    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(std::string(c.pszCert) + " flag " + std::to_string(c.nFlag) + " CAs " + c.strCAs);
        EXPECT_EQ(c.nExpected, VerifyCertificate(CertB64(c.pszCert).c_str(), c.nFlag,
                                                 c.strCAs.empty() ? nullptr : c.strCAs.c_str(),
                                                 c.strCRL.empty() ? nullptr : c.strCRL.c_str()));
    }
}

TEST(VerifyCertificate, ReadsPemTextInsideTheBase64)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    const Bytes pem = sdktest::ReadBytes(Pki("sm2/ee_sign.pem"));
    const std::string strCAs = Pki("sm2/root.pem") + "|" + Pki("sm2/int.pem");
    EXPECT_EQ(VOMU_OK, VerifyCertificate(Base64(pem).c_str(), 7, strCAs.c_str(), Pki("sm2/crl.der").c_str()));
}

TEST(VerifyCertificate, RefusesMissingArgumentsAndFilesWithoutLeakingDescriptors)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    const std::string cert = CertB64("rsa/ee_sign");
    const std::string strRoot = Pki("rsa/root.pem");
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifyCertificate(nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifyCertificate("", 1, nullptr, nullptr));
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifyCertificate(cert.c_str(), CERT_VERIFY_FLAG_CRL, nullptr, ""));
    EXPECT_TRUE(session.LogHas(FailedLine("VerifyCertificate", "Check parameter(pszCRLFilePath).", VOMU_E_INVALID_ARG,
                                          "(NULL == pszCRLFilePath || 0 == strlen(pszCRLFilePath))")));
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifyCertificate(cert.c_str(), CERT_VERIFY_FLAG_CHAIN, "", nullptr));
    EXPECT_TRUE(session.LogHas(FailedLine("VerifyCertificate", "Check parameter(pszTrustedCACertFilePath).",
                                          VOMU_E_INVALID_ARG,
                                          "(NULL == pszTrustedCACertFilePath || 0 == strlen(pszTrustedCACertFilePath))")));
    EXPECT_EQ(VOMU_E_OPEN_FILE, VerifyCertificate(cert.c_str(), CERT_VERIFY_FLAG_CRL, nullptr, "/missing/crl"));
    EXPECT_TRUE(session.LogHas(FailedLine("VerifyCertificate", "Open CRL file.", VOMU_E_OPEN_FILE, "NULL == fpCRL")));

    // The second CA file is missing: the first one (and the CRL) must be closed again.
    const int nFdsBefore = sdktest::OpenFdCount();
    const std::string strCAs = strRoot + "||/missing/ca.pem";
    EXPECT_EQ(VOMU_E_OPEN_FILE, VerifyCertificate(cert.c_str(), 7, strCAs.c_str(), Pki("rsa/crl.pem").c_str()));
    EXPECT_EQ(nFdsBefore, sdktest::OpenFdCount());
    EXPECT_TRUE(session.LogHas(OkLine("VerifyCertificate", "Open trusted CA certificate file.")));
    EXPECT_TRUE(session.LogHas(FailedLine("VerifyCertificate", "Open trusted CA certificate file.",
                                          VOMU_E_OPEN_FILE, "NULL == fpTrustCA")));

    // Bytes that are no certificate: the services' -1 arrives as the family code.
    EXPECT_EQ(VOMU_E_CERT_VERIFY, VerifyCertificate("QUJDREVG", 1, nullptr, nullptr));
    EXPECT_TRUE(session.LogHas(FailedLine("VerifyCertificate", "VerifyCertificate", VOMU_E_CERT_VERIFY,
                                          "VOMU_OK != nResult")));
}

std::string Cli(const std::string& strPath, const std::string& strArgs)
{
    std::string out;
    sdktest::Shell("openssl x509 -in '" + strPath + "' -noout " + strArgs, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    const size_t nEq = out.find('=');
    return nEq == std::string::npos ? out : out.substr(nEq + 1);
}

std::string Info(const std::string& strCertB64, const char* pszName, int* pnResult = nullptr)
{
    Text info;
    const int nResult = GetCertificateInfo(strCertB64.c_str(), pszName, info.Out());
    if (pnResult) *pnResult = nResult;
    return info.Get() ? info.Get() : "";
}

class TimeZone {
public:
    explicit TimeZone(const char* pszTZ)
    {
        const char* pszOld = getenv("TZ");
        m_bHad = pszOld != nullptr;
        if (m_bHad) m_strOld = pszOld;
        setenv("TZ", pszTZ, 1);
        tzset();
    }
    ~TimeZone()
    {
        if (m_bHad) setenv("TZ", m_strOld.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool m_bHad = false;
    std::string m_strOld;
};

TEST(GetCertificateInfo, AnswersEveryNameAsTheOpensslCliReadsIt)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TimeZone utc("UTC");
    const std::string nameopt = " -nameopt utf8,sep_comma_plus_space,dn_rev";
    for (const char* pszName : {"sm2/ee_sign", "rsa/ee_sign", "sm2/ee_utf8", "rsa/ee_serial_80", "rsa/ee_sha1"}) {
        SCOPED_TRACE(pszName);
        const std::string strPem = Pki(std::string(pszName) + ".pem");
        const std::string cert = CertB64(pszName);
        EXPECT_EQ(Cli(strPem, "-subject" + nameopt), Info(cert, "SubjectDN"));
        EXPECT_EQ(Cli(strPem, "-issuer" + nameopt), Info(cert, "IssuerDN"));
        const std::string strCN = Cli(strPem, "-subject -nameopt utf8,sep_multiline,sname");
        EXPECT_NE(std::string::npos, strCN.find("CN=" + Info(cert, "SubjectCN"))) << strCN;
        // The answer keeps the 00 octet that DER puts before a set top bit; the CLI drops it.
        std::string strSerial = Cli(strPem, "-serial");
        if (!strSerial.empty() && strchr("89ABCDEF", strSerial[0])) strSerial = "00" + strSerial;
        EXPECT_EQ(strSerial, Info(cert, "SerialNumber"));
        // The CLI prints "Jan  1 00:00:00 2020 GMT"; ctime adds the weekday and no zone.
        const std::string strFrom = Info(cert, "ValidFrom"), strTo = Info(cert, "ValidTo");
        ASSERT_EQ(24u, strFrom.size());
        ASSERT_EQ(24u, strTo.size());
        EXPECT_EQ(Cli(strPem, "-startdate"), strFrom.substr(4) + " GMT");
        EXPECT_EQ(Cli(strPem, "-enddate"), strTo.substr(4) + " GMT");
        const bool bSM2 = std::string(pszName).compare(0, 3, "sm2") == 0;
        EXPECT_EQ(bSM2 ? "SM2" : "RSA", Info(cert, "CertType"));
    }
}

// A certificate valid until 2030-01-01 00:00:00 UTC, made by OpenSSL.
std::string CertValidTo2030()
{
    EVP_PKEY* pKey = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", (size_t)2048);
    X509* pCert = X509_new();
    std::string out;
    if (pKey && pCert && ASN1_INTEGER_set(X509_get_serialNumber(pCert), 1) &&
        ASN1_TIME_set_string_X509(X509_getm_notBefore(pCert), "20200101000000Z") &&
        ASN1_TIME_set_string_X509(X509_getm_notAfter(pCert), "20300101000000Z") &&
        X509_NAME_add_entry_by_txt(X509_get_subject_name(pCert), "CN", MBSTRING_ASC,
                                   (const unsigned char*)"Until 2030", -1, -1, 0) &&
        X509_set_issuer_name(pCert, X509_get_subject_name(pCert)) && X509_set_pubkey(pCert, pKey) &&
        X509_sign(pCert, pKey, EVP_sha256()) > 0) {
        unsigned char* pDer = nullptr;
        const int n = i2d_X509(pCert, &pDer);
        if (n > 0) out = Base64(pDer, (size_t)n);
        OPENSSL_free(pDer);
    }
    X509_free(pCert);
    EVP_PKEY_free(pKey);
    return out;
}

TEST(GetCertificateInfo, ValidToIsTheCtimeTextInLocalTime)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    const std::string cert = CertValidTo2030();
    ASSERT_FALSE(cert.empty());
    {
        TimeZone utc("UTC");
        EXPECT_EQ("Tue Jan  1 00:00:00 2030", Info(cert, "ValidTo"));
        EXPECT_EQ("Wed Jan  1 00:00:00 2020", Info(cert, "validfrom"));
    }
    TimeZone east("CST-8");  // POSIX zone text: eight hours east of UTC
    EXPECT_EQ("Tue Jan  1 08:00:00 2030", Info(cert, "ValidTo"));
}

TEST(GetCertificateInfo, ConcurrentCallsKeepTheirOwnTimeText)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    TimeZone utc("UTC");
    const std::string certA = CertValidTo2030(), certB = CertB64("rsa/ee_sign");
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const std::string& cert = t % 2 ? certA : certB;
            const char* pszExpected = t % 2 ? "Tue Jan  1 00:00:00 2030" : "Fri Dec 31 23:59:59 2049";
            for (int i = 0; i < 200; ++i) mismatches[t] += Info(cert, "ValidTo") != pszExpected;
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(0, mismatches[t]) << "thread " << t;
}

TEST(GetCertificateInfo, RefusesUnknownNamesAfterDecodingAndBadCertificates)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    const std::string cert = CertB64("sm2/ee_sign");
    EXPECT_EQ("SM2", Info(cert, "certtype"));
    EXPECT_EQ("SM2 Signer", Info(cert, "SUBJECTCN"));

    int nResult = 0;
    Text info;
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetCertificateInfo(cert.c_str(), "Subject", info.Out()));
    EXPECT_TRUE(info.IsNull()) << "the output is cleared first";
    EXPECT_TRUE(session.LogHas(OkLine("GetCertificateInfo", "ConvertCertDataToX509")));
    EXPECT_TRUE(session.LogHas(FailedLine("GetCertificateInfo", "Unsupported pszInfoType", VOMU_E_INVALID_ARG, "true")));

    // Not a certificate: the converter's -1 is logged as it came and returned as the family code.
    Info("QUJDREVG", "SubjectDN", &nResult);
    EXPECT_EQ(VOMU_E_CERT_INFO, nResult);
    EXPECT_TRUE(session.LogHas(FailedLine("GetCertificateInfo", "ConvertCertDataToX509", VOMU_E_FAIL, "VOMU_OK != nResult")));
    Info("QUJDREVG", "NoSuchName", &nResult);
    EXPECT_EQ(VOMU_E_CERT_INFO, nResult) << "the name is looked at only after decoding";

    EXPECT_EQ(VOMU_E_INVALID_ARG, GetCertificateInfo(nullptr, "SubjectDN", info.Out()));
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetCertificateInfo(cert.c_str(), "", info.Out()));
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetCertificateInfo(cert.c_str(), "SubjectDN", nullptr));
    EXPECT_TRUE(session.LogHas(FailedLine("GetCertificateInfo", "Check output parameter(ppszInfoContent)",
                                          VOMU_E_INVALID_ARG, "NULL == ppszInfoContent")));
}

// The leaf certificate inside a PKCS#12 file as DER, read by the openssl CLI.
Bytes CliPkcs12Cert(const std::string& strP12, bool bLegacy)
{
    sdktest::TempDir dir;
    const std::string strOut = dir.Path("cert.der");
    const std::string strCmd = "openssl pkcs12 -in '" + strP12 + "' -nokeys -clcerts -passin pass:Fixture-P12-2020" +
                               (bLegacy ? " -legacy" : "") + " | openssl x509 -outform DER -out '" + strOut + "'";
    if (sdktest::Shell(strCmd) != 0) return Bytes();
    return sdktest::ReadBytes(strOut);
}

std::string PublicCert(const char* pszAlg, const std::string& strPath, const char* pszPassword, int* pnResult)
{
    Text cert;
    *pnResult = GetPublicCertFromPFX(pszAlg, strPath.c_str(), pszPassword, cert.Out());
    return cert.Get() ? cert.Get() : "";
}

TEST(GetPublicCertFromPFX, HandsOverTheCertificateInsideTheKeyFile)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    int nResult = 0;
    // SM2 key files: the password plays no part.
    const std::string sm2Sign = CertB64("sm2/ee_sign");
    for (const char* pszPassword : {"Fixture-SM2-2020", "wrong", "", (const char*)nullptr}) {
        EXPECT_EQ(sm2Sign, PublicCert("SM2", Pki("sm2pfx/sign.b64"), pszPassword, &nResult));
        EXPECT_EQ(VOMU_OK, nResult);
    }
    EXPECT_EQ(sm2Sign, PublicCert("sm2", Pki("sm2pfx/sign_crlf76.b64"), nullptr, &nResult));
    EXPECT_EQ(CertB64("sm2/ee_enc"), PublicCert("Sm2", Pki("sm2pfx/enc.b64"), nullptr, &nResult));

    struct {
        const char* pszFile;
        bool bLegacy;
    } const p12s[] = {{"p12/modern.p12", false}, {"p12/legacy.p12", true}};
    for (const auto& p : p12s) {
        SCOPED_TRACE(p.pszFile);
        const Bytes cli = CliPkcs12Cert(Pki(p.pszFile), p.bLegacy);
        ASSERT_FALSE(cli.empty());
        EXPECT_EQ(Base64(cli), PublicCert("rsa", Pki(p.pszFile), "Fixture-P12-2020", &nResult));
        EXPECT_EQ(VOMU_OK, nResult);
        EXPECT_EQ(CertB64("rsa/ee_sign"), Base64(cli));
    }
}

TEST(GetPublicCertFromPFX, FailsWithoutTouchingTheOutput)
{
    Session session;
    ASSERT_TRUE(session.Ok());
    Text cert;
    EXPECT_EQ(VOMU_E_FAIL, GetPublicCertFromPFX("RSA", Pki("p12/modern.p12").c_str(), "wrong", cert.Out()));
    EXPECT_TRUE(cert.Untouched());
    EXPECT_EQ(VOMU_E_FAIL, GetPublicCertFromPFX("RSA", Pki("p12/modern.p12").c_str(), nullptr, cert.Out()));
    EXPECT_NE(VOMU_OK, GetPublicCertFromPFX("RSA", Pki("p12/truncated.p12").c_str(), "Fixture-P12-2020", cert.Out()));
    EXPECT_NE(VOMU_OK, GetPublicCertFromPFX("SM2", Pki("sm2pfx/truncated.b64").c_str(), nullptr, cert.Out()));
    EXPECT_NE(VOMU_OK, GetPublicCertFromPFX("SM2", Pki("p12/modern.p12").c_str(), nullptr, cert.Out()));
    EXPECT_TRUE(cert.Untouched());

    // An unknown name: the file is opened and closed first.
    const int nFdsBefore = sdktest::OpenFdCount();
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetPublicCertFromPFX("DSA", Pki("p12/modern.p12").c_str(), "", cert.Out()));
    EXPECT_EQ(nFdsBefore, sdktest::OpenFdCount());
    EXPECT_TRUE(session.LogHas(OkLine("GetPublicCertFromPFX", "fopen(pszPFXFilePath)")));
    EXPECT_TRUE(session.LogHas(FailedLine("GetPublicCertFromPFX", "Invalid algorithm.", VOMU_E_INVALID_ARG, "true")));
    EXPECT_EQ(VOMU_E_OPEN_FILE, GetPublicCertFromPFX("DSA", "/missing/key", "", cert.Out()));
    EXPECT_TRUE(session.LogHas(FailedLine("GetPublicCertFromPFX", "fopen(pszPFXFilePath)", VOMU_E_OPEN_FILE,
                                          "NULL == fpPFXFile")));
    EXPECT_TRUE(cert.Untouched());

    EXPECT_EQ(VOMU_E_INVALID_ARG, GetPublicCertFromPFX("", "x", "", cert.Out()));
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetPublicCertFromPFX("SM2", nullptr, "", cert.Out()));
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetPublicCertFromPFX("SM2", "x", "", nullptr));
    EXPECT_TRUE(session.LogHas(FailedLine("GetPublicCertFromPFX", "Check parameter(pszPFxFilePath)", VOMU_E_INVALID_ARG,
                                          "(NULL == pszPFXFilePath || 0 == strlen(pszPFXFilePath))")));
    EXPECT_TRUE(session.LogHas(FailedLine("GetPublicCertFromPFX", "check parameter(ppszBase64CertContent)",
                                          VOMU_E_INVALID_ARG, "NULL == ppszBase64CertContent")));
}

}  // namespace
