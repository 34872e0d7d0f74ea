// Certificate information services against the openssl CLI, and the time parser against
// OpenSSL's ASN1_TIME_to_tm + timegm.
#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CertificateOperations.h"
#include "HandOver.h"
#include "LogCapture.h"
#include "OpenSSLPeer.h"
#include "OsslPtr.h"
#include "SMKernel.h"
#include "vomu_result.h"

using morv::OsslPtr;

namespace {

const char kDistId[] = "-sigopt distid:1234567812345678";

// A small PKI made with the openssl CLI: an SM2 root (notAfter beyond 2049, so a
// GeneralizedTime), an SM2 leaf it issues (UTF-8 name, multi-entry, serial with the top bit
// set) and a self-signed RSA certificate.
class TestPki {
public:
    TestPki()
    {
        if (m_tmp.Path().empty()) return;
        m_dir = m_tmp.Path();
        const std::string d = m_dir + "/";
        const std::string script =
            "set -e; cd " + m_dir + "; "
            "printf 'subjectKeyIdentifier=hash\\nauthorityKeyIdentifier=keyid\\n"
            "basicConstraints=CA:FALSE\\n' > leaf.ext; "
            "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out ca.key; "
            "openssl req -x509 -new -key ca.key -sm3 " + std::string(kDistId) +
            " -subj '/C=CN/O=Morv Test/CN=SM2 Root' -set_serial 1 -days 36500 -out ca.pem; "
            "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out leaf.key; "
            "openssl req -new -key leaf.key -sm3 " + kDistId + " -utf8"
            " -subj '/C=CN/ST=Beijing/O=Morv Test/OU=Unit A/CN=\xE5\xBC\xA0\xE4\xB8\x89' -out leaf.csr; "
            "openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -sm3 " + kDistId +
            " -vfyopt distid:1234567812345678 -set_serial 0x80F1 -days 365 -extfile leaf.ext"
            " -out leaf.pem; "
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -sha256"
            " -subj '/C=US/O=RSA Org/CN=RSA Cert' -set_serial 0x7F -days 30 -out rsa.pem";
        std::string out;
        if (0 != peer::RunCommand("sh -c \"" + Escape(script) + "\"", &out)) {
            m_error = out;
            return;
        }
        m_ok = true;
    }
    bool Ok() const { return m_ok; }
    const std::string& Error() const { return m_error; }
    std::string Path(const std::string& name) const { return m_dir + "/" + name + ".pem"; }

private:
    static std::string Escape(const std::string& s)
    {
        std::string r;
        for (char c : s) {
            if ('"' == c || '\\' == c || '$' == c) r += '\\';
            r += c;
        }
        return r;
    }
    support::TempDir m_tmp{"morv_certinfo"};
    std::string m_dir, m_error;
    bool m_ok = false;
};

struct Oracle {
    int nType = 0;
    std::string strSubjectDN, strIssuerDN, strSubjectCN, strSerial, strKeyId;
    long nNotBefore = 0, nNotAfter = 0;
};

std::string Cli(const std::string& path, const std::string& args)
{
    std::string out;
    peer::RunCommand("openssl x509 -in " + path + " -noout " + args, &out);
    return out;
}

std::string AfterPrefix(const std::string& text, const std::string& prefix)
{
    size_t pos = text.find(prefix);
    if (std::string::npos == pos) return "";
    size_t end = text.find('\n', pos);
    return text.substr(pos + prefix.size(), end - pos - prefix.size());
}

long IsoToSeconds(const std::string& text)
{
    struct tm tmValue = {};
    if (6 != sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &tmValue.tm_year, &tmValue.tm_mon,
                    &tmValue.tm_mday, &tmValue.tm_hour, &tmValue.tm_min, &tmValue.tm_sec))
        return -1;
    tmValue.tm_year -= 1900;
    tmValue.tm_mon -= 1;
    return (long)timegm(&tmValue);
}

Oracle ReadOracle(const std::string& path)
{
    Oracle o;
    const std::string nameopt = " -nameopt utf8,sep_comma_plus_space,dn_rev";
    o.strSubjectDN = AfterPrefix(Cli(path, "-subject" + nameopt), "subject=");
    o.strIssuerDN = AfterPrefix(Cli(path, "-issuer" + nameopt), "issuer=");
    o.strSubjectCN = AfterPrefix(Cli(path, "-subject -nameopt sep_multiline,utf8"), "    CN=");
    // The CLI prints the magnitude; a DER INTEGER carries 00 before a set top bit.
    o.strSerial = AfterPrefix(Cli(path, "-serial"), "serial=");
    if (!o.strSerial.empty() && strchr("89ABCDEF", o.strSerial[0])) o.strSerial = "00" + o.strSerial;
    const std::string dates = Cli(path, "-dates -dateopt iso_8601");
    o.nNotBefore = IsoToSeconds(AfterPrefix(dates, "notBefore="));
    o.nNotAfter = IsoToSeconds(AfterPrefix(dates, "notAfter="));
    std::string keyId = AfterPrefix(Cli(path, "-ext subjectKeyIdentifier"), "Identifier: \n    ");
    for (char c : keyId)
        if (':' != c && '\n' != c && ' ' != c) o.strKeyId += c;
    const std::string text = Cli(path, "-text");
    const std::string alg = AfterPrefix(text, "Signature Algorithm: ");
    if (alg == "SM2-with-SM3") o.nType = CERT_TYPE_SM2;
    if (alg == "sha256WithRSAEncryption") o.nType = CERT_TYPE_RSA;
    return o;
}

OsslPtr<X509> LoadCert(const std::string& path)
{
    OsslPtr<BIO> pBio(BIO_new_file(path.c_str(), "r"));
    if (!pBio) return nullptr;
    return OsslPtr<X509>(smk::PemReadX509(pBio.get()));
}

template <typename Fn> std::string TextOf(Fn fn, X509* pCert, int* pnResult)
{
    char* psz = nullptr;
    int nLen = -1;
    *pnResult = fn(pCert, &psz, &nLen);
    if (VOMU_OK != *pnResult) return "<failed>";
    morv::OwnedArray<char> owned(psz);
    EXPECT_EQ(strlen(psz), (size_t)nLen);
    return std::string(psz);
}

class CertificateOperationsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(VOMU_OK, SMKernelInitialize());
        s_pki = new TestPki();
    }
    static void TearDownTestSuite()
    {
        delete s_pki;
        s_pki = nullptr;
    }
    static TestPki* s_pki;
};
TestPki* CertificateOperationsTest::s_pki = nullptr;

void SetZone(const char* pszZone)
{
    setenv("TZ", pszZone, 1);
    tzset();
}

TEST_F(CertificateOperationsTest, AnswersEqualTheCliInEveryZone)
{
    ASSERT_TRUE(s_pki->Ok()) << s_pki->Error();
    const char* zones[] = {"UTC", "Asia/Shanghai", "Europe/Berlin", "America/New_York"};
    for (const char* name : {"ca", "leaf", "rsa"}) {
        SetZone("UTC");
        const Oracle o = ReadOracle(s_pki->Path(name));
        ASSERT_NE(0, o.nType) << name;
        ASSERT_FALSE(o.strSubjectDN.empty() || o.strKeyId.empty() || o.nNotAfter <= 0) << name;
        OsslPtr<X509> pCert = LoadCert(s_pki->Path(name));
        ASSERT_TRUE(pCert) << name;
        for (const char* zone : zones) {
            SetZone(zone);
            SCOPED_TRACE(std::string(name) + " in " + zone);
            int nResult = 0, nType = -1;
            EXPECT_EQ(VOMU_OK, GetX509CertType(pCert.get(), &nType));
            EXPECT_EQ(o.nType, nType);
            EXPECT_EQ(o.strSubjectDN, TextOf(GetX509SubjectDN, pCert.get(), &nResult));
            EXPECT_EQ(o.strIssuerDN, TextOf(GetX509IssuerDN, pCert.get(), &nResult));
            EXPECT_EQ(o.strSubjectCN, TextOf(GetX509SubjectCN, pCert.get(), &nResult));
            EXPECT_EQ(o.strSerial, TextOf(GetX509SerialNumber, pCert.get(), &nResult));
            EXPECT_EQ(o.strKeyId, TextOf(GetX509SubjectKeyID, pCert.get(), &nResult));
            long nNotBefore = 0, nNotAfter = 0;
            EXPECT_EQ(VOMU_OK, GetX509NotBefore(pCert.get(), &nNotBefore));
            EXPECT_EQ(VOMU_OK, GetX509NotAfter(pCert.get(), &nNotAfter));
            EXPECT_EQ(o.nNotBefore, nNotBefore);
            EXPECT_EQ(o.nNotAfter, nNotAfter);
        }
    }
    SetZone("UTC");
}

TEST_F(CertificateOperationsTest, SignatureAlgorithmAndNullOutputs)
{
    ASSERT_TRUE(s_pki->Ok()) << s_pki->Error();
    OsslPtr<X509> pCert = LoadCert(s_pki->Path("leaf"));
    ASSERT_TRUE(pCert);
    char* pszOID = nullptr;
    ASSERT_EQ(VOMU_OK, GetX509CertAlg(pCert.get(), &pszOID));
    morv::OwnedArray<char> owned(pszOID);
    EXPECT_STREQ("1.2.156.10197.1.501", pszOID);
    EXPECT_EQ(VOMU_OK, GetX509CertAlg(pCert.get(), nullptr));
    // The length outputs are optional except for the common name.
    char* psz = nullptr;
    ASSERT_EQ(VOMU_OK, GetX509SubjectDN(pCert.get(), &psz, nullptr));
    delete[] psz;
    EXPECT_EQ(VOMU_E_FAIL, GetX509SubjectCN(pCert.get(), &psz, nullptr));
}

// A certificate built here with the name, serial and signature algorithm a case needs; it is
// never verified, so it carries no signature.
OsslPtr<X509> MakeCert(const std::vector<std::pair<std::string, std::string>>& subject,
                       long nSerial, int nSigNid = NID_sha256WithRSAEncryption)
{
    OsslPtr<X509> pCert(X509_new());
    X509_NAME* pName = X509_get_subject_name(pCert.get());
    for (const auto& entry : subject)
        // An empty value is refused by the string-size table of MBSTRING_UTF8; a plain
        // UTF8String type skips that table, so a certificate can carry one.
        EXPECT_EQ(1, X509_NAME_add_entry_by_txt(pName, entry.first.c_str(),
                                                entry.second.empty() ? V_ASN1_UTF8STRING : MBSTRING_UTF8,
                                                (const unsigned char*)entry.second.c_str(),
                                                (int)entry.second.size(), -1, 0))
            << entry.first;
    ASN1_INTEGER_set(X509_get_serialNumber(pCert.get()), nSerial);
    X509_ALGOR* pAlg = nullptr;
    X509_get0_signature(nullptr, (const X509_ALGOR**)&pAlg, pCert.get());
    X509_ALGOR_set0((X509_ALGOR*)pAlg, OBJ_nid2obj(nSigNid), V_ASN1_NULL, nullptr);
    return pCert;
}

TEST(CertificateInformation, NamesLastEntryFirstFirstCommonNameAndLimits)
{
    int nResult = 0;
    OsslPtr<X509> pCert = MakeCert({{"C", "CN"}, {"O", "Org"}, {"CN", "Name"}}, 1);
    EXPECT_EQ("CN=Name, O=Org, C=CN", TextOf(GetX509SubjectDN, pCert.get(), &nResult));
    pCert = MakeCert({{"CN", "First"}, {"O", "a,b=c+d"}, {"CN", "Second"}}, 1);
    EXPECT_EQ("CN=Second, O=a,b=c+d, CN=First", TextOf(GetX509SubjectDN, pCert.get(), &nResult));
    EXPECT_EQ("First", TextOf(GetX509SubjectCN, pCert.get(), &nResult));
    // Sixteen units (values stay within the 64-character bound of a unit name): 15 of
    // "OU=" + 60 characters and ", " between them, then one more of 45 or 46 characters
    // give a text of exactly 1023 bytes, which fits, or 1024, which does not.
    auto LongName = [](size_t nLast) {
        std::vector<std::pair<std::string, std::string>> entries(15, {"OU", std::string(60, 'x')});
        entries.push_back({"OU", std::string(nLast, 'y')});
        return entries;
    };
    pCert = MakeCert(LongName(45), 1);
    EXPECT_EQ(1023u, TextOf(GetX509SubjectDN, pCert.get(), &nResult).size());
    EXPECT_EQ(VOMU_OK, nResult);
    pCert = MakeCert(LongName(46), 1);
    TextOf(GetX509SubjectDN, pCert.get(), &nResult);
    EXPECT_EQ(VOMU_E_FAIL, nResult);
    pCert = MakeCert({{"O", "Org"}, {"CN", ""}}, 1);
    TextOf(GetX509SubjectDN, pCert.get(), &nResult);
    EXPECT_EQ(VOMU_E_FAIL, nResult);
    TextOf(GetX509SubjectCN, pCert.get(), &nResult);
    EXPECT_EQ(VOMU_E_FAIL, nResult);
    pCert = MakeCert({{"O", "Org"}}, 1);
    TextOf(GetX509SubjectCN, pCert.get(), &nResult);
    EXPECT_EQ(VOMU_E_FAIL, nResult);
    pCert = MakeCert({}, 1);
    TextOf(GetX509IssuerDN, pCert.get(), &nResult);
    EXPECT_EQ(VOMU_E_FAIL, nResult);
    // No subjectKeyIdentifier extension.
    TextOf(GetX509SubjectKeyID, pCert.get(), &nResult);
    EXPECT_EQ(VOMU_E_FAIL, nResult);
}

TEST(CertificateInformation, SerialNumberText)
{
    const struct {
        long nSerial;
        const char* pszHex;
    } rows[] = {{0x7F, "7F"}, {0x80, "0080"}, {0x100, "0100"}, {-0x80, "0080"}, {0, nullptr}};
    for (const auto& row : rows) {
        int nResult = 0;
        OsslPtr<X509> pCert = MakeCert({{"CN", "x"}}, row.nSerial);
        std::string text = TextOf(GetX509SerialNumber, pCert.get(), &nResult);
        if (row.pszHex) {
            EXPECT_EQ(row.pszHex, text) << row.nSerial;
        } else {
            EXPECT_EQ(VOMU_E_FAIL, nResult);
        }
    }
}

TEST(CertificateInformation, TypeBySignatureAlgorithm)
{
    const struct {
        int nNid;
        int nResult;
        int nType;
    } rows[] = {
        {NID_sha1WithRSAEncryption, VOMU_OK, CERT_TYPE_RSA},
        {NID_sha1WithRSA, VOMU_OK, CERT_TYPE_RSA},
        {NID_sha256WithRSAEncryption, VOMU_OK, CERT_TYPE_RSA},
        {NID_sha384WithRSAEncryption, VOMU_OK, CERT_TYPE_RSA},
        {NID_sha512WithRSAEncryption, VOMU_OK, CERT_TYPE_RSA},
        {NID_SM2_with_SM3, VOMU_OK, CERT_TYPE_SM2},
        {NID_sha224WithRSAEncryption, VOMU_E_FAIL, 0},
        {NID_md5WithRSAEncryption, VOMU_E_FAIL, 0},
        {NID_ecdsa_with_SHA256, VOMU_E_FAIL, 0},
    };
    for (const auto& row : rows) {
        OsslPtr<X509> pCert = MakeCert({{"CN", "x"}}, 1, row.nNid);
        int nType = -1;
        EXPECT_EQ(row.nResult, GetX509CertType(pCert.get(), &nType)) << row.nNid;
        EXPECT_EQ(row.nType, nType) << row.nNid;
    }
}

// An ASN1_TIME whose data is exactly the text (no terminator), so a read past it shows up
// under ASan.
OsslPtr<ASN1_STRING> MakeTime(int nType, const std::string& text)
{
    OsslPtr<ASN1_STRING> pTime(ASN1_STRING_type_new(nType));
    unsigned char* pby = (unsigned char*)OPENSSL_malloc(text.size() ? text.size() : 1);
    memcpy(pby, text.data(), text.size());
    ASN1_STRING_set0(pTime.get(), pby, (int)text.size());
    return pTime;
}

TEST(TimeParser, TableAgainstOpenSSL)
{
    const int U = V_ASN1_UTCTIME, G = V_ASN1_GENERALIZEDTIME;
    const long kNoValue = -1;
    const struct {
        int nType;
        const char* pszText;
        bool bGood;
        long nExpected;  // kNoValue: OpenSSL's answer only
    } rows[] = {
        {U, "491231235959Z", true, 2524607999L},
        {U, "500101000000Z", true, -631152000L},
        {U, "2001011200Z", true, 1577880000L},
        {U, "200101120000+0800", true, 1577851200L},
        {U, "200101120000-0130", true, 1577885400L},
        {U, "2001011200+0800", true, 1577851200L},
        {U, "000229235959Z", true, kNoValue},
        {U, "991231235959Z", true, kNoValue},
        {G, "20500101000000.123Z", true, 2524608000L},
        {G, "205001010000Z", true, 2524608000L},
        {G, "19700101000000Z", true, 0},
        {G, "99991231235959Z", true, kNoValue},
        {G, "20240229120000+0100", true, kNoValue},
        {G, "16000229000000Z", true, kNoValue},
        {G, "21260101000000-1159", true, kNoValue},
        // short, long, missing zone
        {U, "2001011200", false, 0},
        {U, "200101120000+08000", false, 0},
        {U, "200101120000", false, 0},
        {G, "205001010000", false, 0},
        {G, "20500101000000", false, 0},
        {G, "", false, 0},
        // not digits
        {U, "2a0101120000Z", false, 0},
        {U, "20010112000aZ", false, 0},
        {U, "200101120000+08a0", false, 0},
        {G, "2050010100000Z", false, 0},
        {G, "2050 101000000Z", false, 0},
        {G, "20500101000000.Z", false, 0},
        // out of range
        {U, "201301120000Z", false, 0},
        {U, "200100120000Z", false, 0},
        {U, "210229120000Z", false, 0},
        {U, "200132120000Z", false, 0},
        {U, "200101240000Z", false, 0},
        {U, "200101126000Z", false, 0},
        {U, "200101120060Z", false, 0},
        {U, "200101120000+2400", false, 0},
        {U, "200101120000+0060", false, 0},
        {G, "19000229000000Z", false, 0},
        // zone forms
        {U, "200101120000X", false, 0},
        {U, "200101120000+08", false, 0},
        {U, "200101120000+", false, 0},
        {U, "200101120000Zjunk", false, 0},
        {G, "20500101000000Z0", false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszText);
        OsslPtr<ASN1_STRING> pTime = MakeTime(row.nType, row.pszText);
        long nTime = 12345;
        const int nResult = ASN1_TIME_To_UTCTime(pTime.get(), &nTime);
        if (!row.bGood) {
            EXPECT_EQ(VOMU_E_FAIL, nResult);
            EXPECT_EQ(0, nTime);
            continue;
        }
        ASSERT_EQ(VOMU_OK, nResult);
        struct tm tmValue = {};
        ASSERT_EQ(1, ASN1_TIME_to_tm(pTime.get(), &tmValue));
        EXPECT_EQ((long)timegm(&tmValue), nTime);
        if (kNoValue != row.nExpected) {
            EXPECT_EQ(row.nExpected, nTime);
        }
    }
}

// A malformed zone is a refusal only: one Failed line with reason "true"; a good time logs no
// OK line for that step (a UTCTime has no length step of that name either).
TEST(TimeParser, MalformedTimeIsAFailedLineOnly)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    long nTime = 0;
    OsslPtr<ASN1_STRING> pGood = MakeTime(V_ASN1_UTCTIME, "200701120000Z");
    EXPECT_EQ(VOMU_OK, ASN1_TIME_To_UTCTime(pGood.get(), &nTime));
    EXPECT_FALSE(log.Contains("Check ASN1TIME format.")) << log.Contents();
    OsslPtr<ASN1_STRING> pBad = MakeTime(V_ASN1_UTCTIME, "200101120000X");
    EXPECT_EQ(VOMU_E_FAIL, ASN1_TIME_To_UTCTime(pBad.get(), &nTime));
    EXPECT_TRUE(log.Contains("(ASN1_TIME_To_UTCTime -- Check ASN1TIME format.)\t\t--Failed:(0xffffffff) "
                             "[Reason:true]"))
        << log.Contents();
}

TEST(TimeParser, IndependentOfTheLocalZone)
{
    OsslPtr<ASN1_STRING> pTime = MakeTime(V_ASN1_UTCTIME, "200701120000Z");
    for (const char* zone : {"UTC", "Asia/Shanghai", "Europe/Berlin", "America/New_York"}) {
        SetZone(zone);
        long nTime = 0;
        EXPECT_EQ(VOMU_OK, ASN1_TIME_To_UTCTime(pTime.get(), &nTime)) << zone;
        EXPECT_EQ(1593604800L, nTime) << zone;
    }
    SetZone("UTC");
    EXPECT_EQ(VOMU_E_FAIL, ASN1_TIME_To_UTCTime(nullptr, nullptr));
}

}  // namespace
