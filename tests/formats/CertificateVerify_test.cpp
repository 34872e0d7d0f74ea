// Certificate verification services over the fixtures of tests/data/pki. Verdicts come from
// the openssl CLI: the facts recorded in pki/expected.txt (verify_chain, verify_link,
// key_usage_mask) and `openssl verify` run here on each RSA row's own trusted list.
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "CertificateOperations.h"
#include "DerTestUtil.h"
#include "LogCapture.h"
#include "OpenSSLPeer.h"
#include "OsslPtr.h"
#include "PkiFixtures.h"
#include "SMKernel.h"
#include "vomu_result.h"

using morv::OsslPtr;
using peer::Bytes;
using peer::ReadFileBytes;

namespace {

using support::kP12Password;
using support::Pki;
using support::PkiFact;

// "rsa/ee_sign.pem" -> "rsa/ee_sign"
std::string SectionOf(const std::string& file) { return file.substr(0, file.rfind('.')); }

// The code a verdict of `openssl verify` stands for: OK, error:9/10 (time), any other error.
int CodeOfCliVerdict(const std::string& verdict)
{
    if ("OK" == verdict) return VOMU_OK;
    if ("error:9" == verdict || "error:10" == verdict) return VOMU_E_CERT_TIME;
    return VOMU_E_CERT_CHAIN;
}

// Streams opened "rb" for the duration of a check, closed here (never by the code under test).
class OpenFiles {
public:
    explicit OpenFiles(const std::vector<std::string>& paths)
    {
        for (const std::string& path : paths) m_files.push_back(fopen(path.c_str(), "rb"));
    }
    ~OpenFiles()
    {
        for (FILE* fp : m_files)
            if (fp) fclose(fp);
    }
    OpenFiles(const OpenFiles&) = delete;
    OpenFiles& operator=(const OpenFiles&) = delete;
    bool Ok() const
    {
        for (FILE* fp : m_files)
            if (!fp) return false;
        return true;
    }
    const std::vector<FILE*>& Streams() const { return m_files; }
    FILE* First() const { return m_files.empty() ? nullptr : m_files[0]; }

private:
    std::vector<FILE*> m_files;
};

class CertificateVerify : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void TearDown() override { EXPECT_EQ(VOMU_OK, SMKernelUninitialize()); }
};

struct VerifyRow {
    const char* pszName;
    const char* pszCert;  // under pki/
    unsigned int nFlags;
    const char* pszCrl;   // null: no CRL stream
    std::vector<std::string> vetCAs;
    int nExpected;
    // The trusted list is the one expected.txt's verdict was made with (issuers up to the root).
    bool bCliStore;
};

const std::vector<std::string> kRsaStore = {"rsa/int.pem", "rsa/root.pem"};
const std::vector<std::string> kSm2Store = {"sm2/int.pem", "sm2/root.pem"};

const std::vector<VerifyRow>& VerifyRows()
{
    static const std::vector<VerifyRow> s_rows = {
        // flags 0 and bits beyond the three only parse the certificate
        {"flags 0 parse only", "rsa/ee_expired.pem", 0, nullptr, {}, VOMU_OK, false},
        {"flags 8 ignored", "rsa/ee_expired.der", 8, nullptr, {}, VOMU_OK, false},
        {"flags 0 not a certificate", "rsa/crl.der", 0, nullptr, {}, VOMU_E_FAIL, false},
        // time
        {"time valid", "rsa/ee_sign.pem", 1, nullptr, {}, VOMU_OK, false},
        {"time expired", "rsa/ee_expired.pem", 1, nullptr, {}, VOMU_E_CERT_TIME, false},
        {"time not yet valid", "rsa/ee_notyet.der", 1, nullptr, {}, VOMU_E_CERT_TIME, false},
        {"time sm2 expired", "sm2/ee_expired.pem", 1, nullptr, {}, VOMU_E_CERT_TIME, false},
        {"time sm2 not yet valid", "sm2/ee_notyet.pem", 1, nullptr, {}, VOMU_E_CERT_TIME, false},
        {"time looks at the certificate only", "rsa/ee_under_expired_int.pem", 1, nullptr, {},
         VOMU_OK, false},
        // CRL: serial numbers only, whoever issued the CRL and whenever
        {"crl pem lists it", "rsa/ee_revoked.pem", 2, "rsa/crl.pem", {}, VOMU_E_CERT_REVOKED, false},
        {"crl der lists it", "rsa/ee_revoked.der", 2, "rsa/crl.der", {}, VOMU_E_CERT_REVOKED, false},
        {"crl does not list it", "rsa/ee_sign.pem", 2, "rsa/crl.pem", {}, VOMU_OK, false},
        {"crl expired still lists it", "rsa/ee_revoked.pem", 2, "rsa/crl_expired.pem", {},
         VOMU_E_CERT_REVOKED, false},
        {"crl of another ca lists the serial", "rsa/ee_revoked.pem", 2, "rsa/crl_other_ca.der", {},
         VOMU_E_CERT_REVOKED, false},
        {"crl without entries", "rsa/ee_revoked.pem", 2, "rsa/crl_empty.pem", {}, VOMU_OK, false},
        {"crl stream holds a certificate", "rsa/ee_sign.pem", 2, "rsa/root.pem", {}, VOMU_E_FAIL,
         false},
        {"crl sm2 pem", "sm2/ee_revoked.pem", 2, "sm2/crl.pem", {}, VOMU_E_CERT_REVOKED, false},
        {"crl sm2 der", "sm2/ee_revoked.der", 2, "sm2/crl.der", {}, VOMU_E_CERT_REVOKED, false},
        {"crl sm2 not listed", "sm2/ee_sign.pem", 2, "sm2/crl.der", {}, VOMU_OK, false},
        {"revoked but crl not asked", "rsa/ee_revoked.pem", 5, nullptr, kRsaStore, VOMU_OK, false},
        // chain
        {"chain rsa", "rsa/ee_sign.pem", 4, nullptr, kRsaStore, VOMU_OK, true},
        {"chain rsa der everywhere", "rsa/ee_sign.der", 4, nullptr, {"rsa/root.der", "rsa/int.der"},
         VOMU_OK, false},
        {"chain rsa revoked", "rsa/ee_revoked.pem", 4, nullptr, kRsaStore, VOMU_OK, true},
        {"chain rsa sha1", "rsa/ee_sha1.pem", 4, nullptr, kRsaStore, VOMU_OK, true},
        {"chain rsa sha512", "rsa/ee_sha512.pem", 4, nullptr, kRsaStore, VOMU_OK, true},
        {"chain rsa expired", "rsa/ee_expired.pem", 4, nullptr, kRsaStore, VOMU_E_CERT_TIME, true},
        {"chain rsa not yet valid", "rsa/ee_notyet.pem", 4, nullptr, kRsaStore, VOMU_E_CERT_TIME,
         true},
        {"chain rsa expired intermediate", "rsa/ee_under_expired_int.pem", 4, nullptr,
         {"rsa/int_expired.pem", "rsa/root.pem"}, VOMU_E_CERT_TIME, true},
        {"chain rsa intermediate missing", "rsa/ee_sign.pem", 4, nullptr, {"rsa/root.pem"},
         VOMU_E_CERT_CHAIN, false},
        {"chain rsa root missing", "rsa/ee_sign.pem", 4, nullptr, {"rsa/int.pem"},
         VOMU_E_CERT_CHAIN, false},
        {"chain rsa unrelated ca", "rsa/ee_sign.pem", 4, nullptr, {"rsa/other_root.pem"},
         VOMU_E_CERT_CHAIN, false},
        {"chain rsa nothing trusted", "rsa/ee_sign.pem", 4, nullptr, {}, VOMU_E_CERT_CHAIN, false},
        {"chain self-signed trusted by itself", "rsa/root.pem", 4, nullptr, {"rsa/root.der"},
         VOMU_OK, false},
        {"chain self-signed not trusted", "rsa/other_root.pem", 4, nullptr, kRsaStore,
         VOMU_E_CERT_CHAIN, false},
        // OpenSSL 3's store takes the same CA twice without complaint
        {"chain same ca twice", "rsa/ee_sign.pem", 4, nullptr,
         {"rsa/int.pem", "rsa/root.pem", "rsa/root.der"}, VOMU_OK, false},
        {"chain ca stream holds no certificate", "rsa/ee_sign.pem", 4, nullptr,
         {"rsa/int.pem", "rsa/crl.pem"}, VOMU_E_FAIL, false},
        {"chain ecdsa", "ec/ee_p256.pem", 4, nullptr, {"ec/root_p384.pem"}, VOMU_OK, true},
        {"chain sm2 three levels", "sm2/ee_sign.pem", 4, nullptr, kSm2Store, VOMU_OK, true},
        {"chain sm2 der", "sm2/ee_enc.der", 4, nullptr, {"sm2/root.der", "sm2/int.der"}, VOMU_OK,
         true},
        {"chain sm2 public x with leading zero", "sm2/ee_x00.pem", 4, nullptr, kSm2Store, VOMU_OK,
         true},
        {"chain sm2 utf8 names", "sm2/ee_utf8.pem", 4, nullptr, kSm2Store, VOMU_OK, true},
        // signed by the CLI without the standard user ID: a certificate no chain of ours accepts
        {"chain sm2 leaf signed with the empty id", "sm2/ee_empty_id.pem", 4, nullptr, kSm2Store,
         VOMU_E_CERT_CHAIN, true},
        {"chain sm2 expired", "sm2/ee_expired.pem", 4, nullptr, kSm2Store, VOMU_E_CERT_TIME, true},
        {"chain sm2 not yet valid", "sm2/ee_notyet.pem", 4, nullptr, kSm2Store, VOMU_E_CERT_TIME,
         true},
        {"chain sm2 intermediate missing", "sm2/ee_sign.pem", 4, nullptr, {"sm2/root.pem"},
         VOMU_E_CERT_CHAIN, false},
        {"chain sm2 under the rsa cas", "sm2/ee_sign.pem", 4, nullptr, kRsaStore,
         VOMU_E_CERT_CHAIN, false},
        // the order time, CRL, chain: the first failure decides
        {"all checks rsa", "rsa/ee_sign.pem", 7, "rsa/crl.pem", kRsaStore, VOMU_OK, false},
        {"all checks rsa der", "rsa/ee_sign.der", 7, "rsa/crl.der", {"rsa/int.der", "rsa/root.der"},
         VOMU_OK, false},
        {"all checks sm2", "sm2/ee_sign.pem", 7, "sm2/crl.pem", kSm2Store, VOMU_OK, false},
        {"all checks sm2 revoked", "sm2/ee_revoked.pem", 7, "sm2/crl.pem", kSm2Store,
         VOMU_E_CERT_REVOKED, false},
        {"time before chain", "rsa/ee_expired.pem", 5, nullptr, {"rsa/other_root.pem"},
         VOMU_E_CERT_TIME, false},
        {"time before crl", "rsa/ee_expired.pem", 3, "rsa/root.pem", {}, VOMU_E_CERT_TIME, false},
        {"crl before chain", "rsa/ee_revoked.pem", 6, "rsa/crl.pem", {}, VOMU_E_CERT_REVOKED, false},
        {"unreadable crl before chain", "rsa/ee_sign.pem", 6, "rsa/root.der", kRsaStore,
         VOMU_E_FAIL, false},
    };
    return s_rows;
}

std::vector<std::string> InPki(const std::vector<std::string>& names)
{
    std::vector<std::string> paths;
    for (const std::string& name : names) paths.push_back(Pki(name));
    return paths;
}

// `openssl verify` with exactly the row's trusted certificates (PEM forms) and nothing else.
std::string CliVerdict(const VerifyRow& row)
{
    peer::TempFile store;
    std::string cat = "cat";
    for (const std::string& ca : row.vetCAs) cat += " " + Pki(SectionOf(ca) + ".pem");
    std::string out;
    if (0 != peer::RunCommand(cat + " > " + store.Path(), &out)) return "cat failed: " + out;
    int nStatus = peer::RunCommand("openssl verify -no-CApath -no-CAstore -CAfile " + store.Path() +
                                       " " + Pki(SectionOf(row.pszCert) + ".pem"),
                                   &out);
    if (0 == nStatus) return "OK";
    size_t pos = out.find("error ");
    if (std::string::npos == pos) return "no verdict: " + out;
    return "error:" + std::to_string(atoi(out.c_str() + pos + 6));
}

TEST_F(CertificateVerify, VerifyCertificateTable)
{
    for (const VerifyRow& row : VerifyRows()) {
        SCOPED_TRACE(row.pszName);
        Bytes cert = ReadFileBytes(Pki(row.pszCert));
        ASSERT_FALSE(cert.empty()) << row.pszCert;
        OpenFiles crl(row.pszCrl ? std::vector<std::string>{Pki(row.pszCrl)} : std::vector<std::string>());
        OpenFiles cas(InPki(row.vetCAs));
        ASSERT_TRUE(crl.Ok() && cas.Ok());
        EXPECT_EQ(row.nExpected, VerifyCertificate(cert.data(), (int)cert.size(), row.nFlags,
                                                   crl.First(), cas.Streams()));
        const bool bSm2 = 0 == std::string(row.pszCert).compare(0, 4, "sm2/");
        if (row.bCliStore) {
            // For SM2 the CLI checks one link at a time (it cannot pass the ID up a chain).
            const std::string verdict = PkiFact(SectionOf(row.pszCert), bSm2 ? "verify_link" : "verify_chain");
            ASSERT_FALSE(verdict.empty());
            EXPECT_EQ(CodeOfCliVerdict(verdict), row.nExpected) << "expected.txt: " << verdict;
        }
        if (!bSm2 && CERT_VERIFY_FLAG_CHAIN == row.nFlags && VOMU_E_FAIL != row.nExpected &&
            !row.vetCAs.empty()) {
            const std::string verdict = CliVerdict(row);
            EXPECT_EQ(CodeOfCliVerdict(verdict), row.nExpected) << "openssl verify: " << verdict;
        }
    }
}

TEST_F(CertificateVerify, Sm2ChainVerifiesThroughOurProvider)
{
    Bytes cert = ReadFileBytes(Pki("sm2/ee_sign.der"));
    OpenFiles cas(InPki(kSm2Store));
    ASSERT_TRUE(cas.Ok());
    smk::ProviderCounters before{}, after{};
    ASSERT_EQ(1, smk::GetProviderCounters(&before));
    EXPECT_EQ(VOMU_OK, VerifyCertificate(cert.data(), (int)cert.size(), CERT_VERIFY_FLAG_CHAIN,
                                         nullptr, cas.Streams()));
    ASSERT_EQ(1, smk::GetProviderCounters(&after));
    EXPECT_GE(after.nVerify, before.nVerify + 2);  // the leaf's and the intermediate's signatures
}

TEST_F(CertificateVerify, SteplinesNameTheFailedCheck)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    Bytes cert = ReadFileBytes(Pki("rsa/ee_expired.pem"));
    OpenFiles cas({Pki("rsa/other_root.pem")});
    ASSERT_EQ(VOMU_E_CERT_TIME, VerifyCertificate(cert.data(), (int)cert.size(), 5, nullptr,
                                                  cas.Streams()));
    EXPECT_TRUE(log.Contains("Check certificate validity NotAfter)\t\t--Failed:(0xa0071031) "
                             "[Reason:(tCurrentTime > tNotAfter)]"));
    EXPECT_TRUE(log.Contains("VerifyCertTime)\t\t--Failed:(0xa0071031) [Reason:VOMU_OK != nResult]"));
    EXPECT_FALSE(log.Contains("X509_verify_cert"));  // the chain check never ran

    cert = ReadFileBytes(Pki("rsa/ee_sign.pem"));
    ASSERT_EQ(VOMU_E_CERT_CHAIN, VerifyCertificate(cert.data(), (int)cert.size(), 4, nullptr,
                                                   cas.Streams()));
    EXPECT_TRUE(log.Contains("X509_verify_cert(ErrorCode:20 ErrorInfo:"));
    EXPECT_TRUE(log.Contains("X509_verify_cert)\t\t--Failed:(0xa0071033) [Reason:true]"));

    cert = ReadFileBytes(Pki("rsa/ee_revoked.der"));
    OpenFiles crl({Pki("rsa/crl.der")});
    ASSERT_EQ(VOMU_E_CERT_REVOKED, VerifyCertificate(cert.data(), (int)cert.size(), 2, crl.First(), {}));
    EXPECT_TRUE(log.Contains("Check the certificate is pRevoked?)\t\t--Failed:(0xa0071032) [Reason:true]"));
}

// A certificate that is valid from tNotBefore to tNotAfter (nothing else is looked at).
OsslPtr<X509> CertValid(time_t tNotBefore, time_t tNotAfter)
{
    OsslPtr<X509> pCert(X509_new());
    if (!pCert || !ASN1_TIME_set(X509_getm_notBefore(pCert.get()), tNotBefore) ||
        !ASN1_TIME_set(X509_getm_notAfter(pCert.get()), tNotAfter))
        return nullptr;
    return pCert;
}

TEST_F(CertificateVerify, ValidityBoundsAreInclusiveToTheSecond)
{
    struct {
        const char* pszName;
        long nBeforeOffset, nAfterOffset;  // seconds from now
        int nExpected;
    } rows[] = {
        {"notAfter is now", -3600, 0, VOMU_OK},
        {"notBefore is now", 0, 3600, VOMU_OK},
        {"notBefore and notAfter are now", 0, 0, VOMU_OK},
        {"notAfter a second ago", -3600, -1, VOMU_E_CERT_TIME},
        {"notBefore in a second", 1, 3600, VOMU_E_CERT_TIME},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszName);
        int nResult = 0;
        // Repeated until no second boundary passed during the check.
        for (int nTry = 0; nTry < 5; ++nTry) {
            time_t tNow = time(nullptr);
            OsslPtr<X509> pCert = CertValid(tNow + row.nBeforeOffset, tNow + row.nAfterOffset);
            ASSERT_TRUE(pCert);
            nResult = VerifyCertTime(pCert.get());
            if (time(nullptr) == tNow) break;
        }
        EXPECT_EQ(row.nExpected, nResult);
    }
    EXPECT_EQ(VOMU_E_FAIL, VerifyCertTime(nullptr));
}

TEST_F(CertificateVerify, TrustedStreamsGiveTheirFirstCertificate)
{
    // int.pem followed by root.pem in one stream: only the intermediate is trusted.
    Bytes both = ReadFileBytes(Pki("rsa/int.pem"));
    Bytes root = ReadFileBytes(Pki("rsa/root.pem"));
    both.insert(both.end(), root.begin(), root.end());
    peer::TempFile twoCerts(both);
    OsslPtr<X509> pLeaf;
    {
        Bytes leaf = ReadFileBytes(Pki("rsa/ee_sign.pem"));
        X509* p = nullptr;
        ASSERT_EQ(VOMU_OK, ConvertCertDataToX509(leaf.data(), (int)leaf.size(), &p));
        pLeaf.reset(p);
    }
    {
        OpenFiles cas({twoCerts.Path()});
        EXPECT_EQ(VOMU_E_CERT_CHAIN, VerifyCertChain(cas.Streams(), pLeaf.get()));
    }
    {
        OpenFiles cas({twoCerts.Path(), Pki("rsa/root.der")});
        EXPECT_EQ(VOMU_OK, VerifyCertChain(cas.Streams(), pLeaf.get()));
    }
    // A missing stream and a missing store are refused, not dereferenced.
    EXPECT_EQ(VOMU_E_FAIL, VerifyCertChain({nullptr}, pLeaf.get()));
    X509_STORE* pStore = nullptr;
    EXPECT_EQ(VOMU_E_FAIL, LoadCertsToStore({}, nullptr));
    ASSERT_EQ(VOMU_OK, LoadCertsToStore({}, &pStore));
    OsslPtr<X509_STORE> pEmpty(pStore);
    EXPECT_EQ(VOMU_E_CERT_CHAIN, VerifyCertChainByTrustedStore(pEmpty.get(), pLeaf.get()));
    EXPECT_EQ(VOMU_E_FAIL, VerifyCertChainByTrustedStore(nullptr, pLeaf.get()));
    EXPECT_EQ(VOMU_E_FAIL, VerifyX509(pLeaf.get(), CERT_VERIFY_FLAG_CRL, nullptr, {}));
}

TEST_F(CertificateVerify, CertificateBytesPemThenDer)
{
    Bytes pem = ReadFileBytes(Pki("sm2/ee_sign.pem"));
    Bytes der = ReadFileBytes(Pki("sm2/ee_sign.der"));
    Bytes textFirst(pem);
    const std::string prefix = "Subject: SM2 Signer\n";
    textFirst.insert(textFirst.begin(), prefix.begin(), prefix.end());
    Bytes truncated(der.begin(), der.begin() + der.size() / 2);
    const struct {
        const char* pszName;
        Bytes bytes;
        int nExpected;
    } rows[] = {
        {"pem", pem, VOMU_OK},
        {"der", der, VOMU_OK},
        {"pem after text", textFirst, VOMU_OK},
        {"truncated der", truncated, VOMU_E_FAIL},
        {"a crl", ReadFileBytes(Pki("sm2/crl.der")), VOMU_E_FAIL},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszName);
        X509* pX509 = nullptr;
        EXPECT_EQ(row.nExpected, ConvertCertDataToX509(row.bytes.data(), (int)row.bytes.size(), &pX509));
        OsslPtr<X509> pOwned(pX509);
        EXPECT_EQ(VOMU_OK == row.nExpected, NULL != pX509);
        if (pX509) {
            EXPECT_EQ(der, dertest::ByOpenSSL(i2d_X509, pX509));
        }
    }
    X509* pX509 = nullptr;
    EXPECT_EQ(VOMU_E_FAIL, ConvertCertDataToX509(der.data(), 0, &pX509));
    EXPECT_EQ(VOMU_E_FAIL, ConvertCertDataToX509(nullptr, 10, &pX509));
    EXPECT_EQ(VOMU_E_FAIL, ConvertCertDataToX509(der.data(), (int)der.size(), nullptr));
    EXPECT_EQ(nullptr, pX509);
}

TEST(CertificateVerifyKernelStopped, NothingDecodesOutsideTheKernel)
{
    // Certificates are only made in kctx; a stopped kernel has none to give.
    Bytes der = ReadFileBytes(Pki("rsa/ee_sign.der"));
    X509* pX509 = nullptr;
    EXPECT_EQ(VOMU_E_FAIL, ConvertCertDataToX509(der.data(), (int)der.size(), &pX509));
    EXPECT_EQ(nullptr, pX509);
}

TEST_F(CertificateVerify, KeyUsageTable)
{
    const struct {
        const char* pszCert;
        unsigned int uiBits;
        bool bAll;
        int nExpected;
    } rows[] = {
        {"sm2/ee_sign.pem", KEY_USAGE_DIGITAL_SIGNATURE, true, VOMU_OK},
        {"sm2/ee_sign.der", KEY_USAGE_NON_REPUDIATION, true, VOMU_OK},
        {"sm2/ee_sign.pem", KEY_USAGE_KEY_ENCIPHERMENT, true, VOMU_E_KEY_USAGE},
        {"sm2/ee_sign.pem", KEY_USAGE_DIGITAL_SIGNATURE | KEY_USAGE_KEY_ENCIPHERMENT, true,
         VOMU_E_KEY_USAGE},
        {"sm2/ee_sign.pem", KEY_USAGE_DIGITAL_SIGNATURE | KEY_USAGE_KEY_ENCIPHERMENT, false, VOMU_OK},
        {"sm2/ee_sign_enc.pem", KEY_USAGE_DIGITAL_SIGNATURE | KEY_USAGE_KEY_ENCIPHERMENT, true,
         VOMU_OK},
        {"sm2/ee_enc.pem", KEY_USAGE_DIGITAL_SIGNATURE, true, VOMU_E_KEY_USAGE},
        {"sm2/ee_enc.pem", KEY_USAGE_KEY_ENCIPHERMENT, true, VOMU_OK},
        {"sm2/root.pem", KEY_USAGE_KEY_CERT_SIGN | KEY_USAGE_CRL_SIGN, true, VOMU_OK},
        {"sm2/ee_sign.pem", 0, true, VOMU_OK},
        {"sm2/ee_sign.pem", 0, false, VOMU_E_KEY_USAGE},
        {"rsa/ee_enc.der", KEY_USAGE_DATA_ENCIPHERMENT, true, VOMU_OK},
        {"rsa/ee_enc.pem", KEY_USAGE_DIGITAL_SIGNATURE | KEY_USAGE_NON_REPUDIATION, false,
         VOMU_E_KEY_USAGE},
        {"rsa/ee_ku_all.pem", KEY_USAGE_DECIPHER_ONLY, true, VOMU_OK},
        {"rsa/ee_ku_all.pem", KEY_USAGE_ENCIPHER_ONLY | KEY_USAGE_KEY_AGREEMENT, true, VOMU_OK},
        {"rsa/ee_ku_all.pem", 0x80FF, true, VOMU_OK},
        {"rsa/ee_sign.pem", KEY_USAGE_DECIPHER_ONLY, false, VOMU_E_KEY_USAGE},
        {"rsa/ee_noski.pem", KEY_USAGE_DIGITAL_SIGNATURE, true, VOMU_OK},
        // no keyUsage extension allows nothing, not even the empty request
        {"rsa/ee_noku.pem", KEY_USAGE_DIGITAL_SIGNATURE, true, VOMU_E_KEY_USAGE},
        {"rsa/ee_noku.pem", KEY_USAGE_DIGITAL_SIGNATURE, false, VOMU_E_KEY_USAGE},
        {"sm2/ee_noku.der", 0, true, VOMU_E_KEY_USAGE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.pszCert) + " bits " + std::to_string(row.uiBits) +
                     (row.bAll ? " all" : " any"));
        // The row agrees with the mask the CLI printed.
        const std::string mask = PkiFact(SectionOf(row.pszCert), "key_usage_mask");
        int nCli = VOMU_E_KEY_USAGE;
        if (!mask.empty()) {
            unsigned int uiMask = (unsigned int)std::stoul(mask, nullptr, 16);
            bool bPass = row.bAll ? (uiMask & row.uiBits) == row.uiBits : 0 != (uiMask & row.uiBits);
            nCli = bPass ? VOMU_OK : VOMU_E_KEY_USAGE;
        } else {
            EXPECT_EQ("absent", PkiFact(SectionOf(row.pszCert), "key_usage"));
        }
        EXPECT_EQ(nCli, row.nExpected) << "key_usage_mask=" << mask;
        Bytes cert = ReadFileBytes(Pki(row.pszCert));
        EXPECT_EQ(row.nExpected, CheckCertKeyUsage(cert.data(), (int)cert.size(), row.uiBits, row.bAll));
    }
    EXPECT_EQ(VOMU_E_FAIL, CheckX509KeyUsage(nullptr, KEY_USAGE_DIGITAL_SIGNATURE, true));
    Bytes crl = ReadFileBytes(Pki("rsa/crl.der"));
    EXPECT_EQ(VOMU_E_FAIL, CheckCertKeyUsage(crl.data(), (int)crl.size(), KEY_USAGE_DIGITAL_SIGNATURE, true));
}

// A well-formed PKCS#12 whose MAC verifies with "mac-password" while its bags are encrypted
// with another password: made by OpenSSL in the default library context.
Bytes PfxWithSeparateMacPassword()
{
    OsslPtr<EVP_PKEY> pKey = peer::ReadPemKey(Pki("rsa/ee_sign.key"));
    OsslPtr<X509> pCert = peer::ReadPemCert(Pki("rsa/ee_sign.pem"));
    if (!pKey || !pCert) return Bytes();
    OsslPtr<PKCS12> pP12(PKCS12_create("bag-password", nullptr, pKey.get(), pCert.get(), nullptr,
                                       0, 0, 0, 0, 0));
    if (!pP12 || 1 != PKCS12_set_mac(pP12.get(), "mac-password", -1, nullptr, 0, 2048, nullptr))
        return Bytes();
    return dertest::ByOpenSSL(i2d_PKCS12, pP12.get());
}

TEST_F(CertificateVerify, PKCS12Table)
{
    peer::TempFile separateMac(PfxWithSeparateMacPassword());
    ASSERT_FALSE(separateMac.Read().empty());
    const Bytes signerDer = ReadFileBytes(Pki("rsa/ee_sign.der"));
    const struct {
        const char* pszName;
        std::string strPath;
        const char* pszPassword;
        int nExpected;
        bool bKey, bCert;
        int nChain;  // further certificates handed over
    } rows[] = {
        {"modern", Pki("p12/modern.p12"), kP12Password, VOMU_OK, true, true, 1},
        {"legacy rc2-40 and sha-1 mac", Pki("p12/legacy.p12"), kP12Password, VOMU_OK, true, true, 1},
        {"key under rc2-40", Pki("p12/key_rc2_40.p12"), kP12Password, VOMU_OK, true, true, 1},
        {"key under rc2-128", Pki("p12/key_rc2_128.p12"), kP12Password, VOMU_OK, true, true, 1},
        {"key under rc4-40", Pki("p12/key_rc4_40.p12"), kP12Password, VOMU_OK, true, true, 1},
        {"key under rc4-128", Pki("p12/key_rc4_128.p12"), kP12Password, VOMU_OK, true, true, 1},
        {"nss pk12util, key bag first", Pki("p12/nss_rc4_128.p12"), kP12Password, VOMU_OK, true,
         true, 1},
        {"empty password", Pki("p12/empty_password.p12"), "", VOMU_OK, true, true, 1},
        {"certificates only", Pki("p12/cert_only.p12"), kP12Password, VOMU_OK, false, false, 2},
        {"key only", Pki("p12/key_only.p12"), kP12Password, VOMU_OK, true, false, 0},
        {"wrong password", Pki("p12/modern.p12"), "Fixture-P12-2021", VOMU_E_FAIL, false, false, 0},
        {"legacy wrong password", Pki("p12/legacy.p12"), "", VOMU_E_FAIL, false, false, 0},
        {"rc4 key wrong password", Pki("p12/key_rc4_40.p12"), "Fixture-P12-2021", VOMU_E_FAIL,
         false, false, 0},
        {"no mac", Pki("p12/nomac.p12"), kP12Password, VOMU_E_FAIL, false, false, 0},
        {"truncated", Pki("p12/truncated.p12"), kP12Password, VOMU_E_FAIL, false, false, 0},
        {"a certificate", Pki("rsa/ee_sign.der"), kP12Password, VOMU_E_FAIL, false, false, 0},
        {"an sm2 key file", Pki("sm2pfx/pkcs12.b64"), kP12Password, VOMU_E_FAIL, false, false, 0},
        {"mac opens, bags do not", separateMac.Path(), "mac-password", VOMU_E_BAD_ASN1_DATA, false,
         false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszName);
        OpenFiles file({row.strPath});
        ASSERT_TRUE(file.Ok());
        EVP_PKEY* pKey = nullptr;
        X509* pCert = nullptr;
        STACK_OF(X509)* pChain = nullptr;
        EXPECT_EQ(row.nExpected, ParsePFXFile(file.First(), row.pszPassword, &pKey, &pCert, &pChain));
        OsslPtr<EVP_PKEY> pOwnedKey(pKey);
        OsslPtr<X509> pOwnedCert(pCert);
        OsslPtr<STACK_OF(X509)> pOwnedChain(pChain);
        EXPECT_EQ(row.bKey, NULL != pKey);
        EXPECT_EQ(row.bCert, NULL != pCert);
        EXPECT_EQ(row.nChain, pChain ? sk_X509_num(pChain) : 0);
        if (pCert) {
            EXPECT_EQ(signerDer, dertest::ByOpenSSL(i2d_X509, pCert));
            EXPECT_EQ(1, X509_check_private_key(pCert, pKey));
        }
        // The same file again, nothing wanted: opens (or fails) alike and hands nothing over.
        rewind(file.First());
        EXPECT_EQ(row.nExpected, ParsePFXFile(file.First(), row.pszPassword, nullptr, nullptr, nullptr));
    }
    EXPECT_EQ(VOMU_E_FAIL, ParsePFXFile(nullptr, kP12Password, nullptr, nullptr, nullptr));
}

TEST_F(CertificateVerify, PKCS12ReadFromTheStreamPositionAndLeftOpen)
{
    Bytes bytes = {'j', 'u', 'n', 'k'};
    Bytes p12 = ReadFileBytes(Pki("p12/legacy.p12"));
    bytes.insert(bytes.end(), p12.begin(), p12.end());
    peer::TempFile file(bytes);
    OpenFiles in({file.Path()});
    ASSERT_TRUE(in.Ok());
    ASSERT_EQ(0, fseek(in.First(), 4, SEEK_SET));
    X509* pCert = nullptr;
    EXPECT_EQ(VOMU_OK, ParsePFXFile(in.First(), kP12Password, nullptr, &pCert, nullptr));
    OsslPtr<X509> pOwned(pCert);
    EXPECT_NE(nullptr, pCert);
    EXPECT_EQ(0, fseek(in.First(), 0, SEEK_SET));  // still open: ours to close
}

TEST(CertificateVerifyPeer, LegacyFileNeedsTheLegacyProvider)
{
    // Why the PKCS#12 is decoded in kctx: the default context, without "legacy", cannot open it.
    Bytes der = ReadFileBytes(Pki("p12/legacy.p12"));
    const unsigned char* p = der.data();
    OsslPtr<PKCS12> pP12(d2i_PKCS12(nullptr, &p, (long)der.size()));
    ASSERT_TRUE(pP12);
    EVP_PKEY* pKey = nullptr;
    X509* pCert = nullptr;
    int nResult = PKCS12_parse(pP12.get(), kP12Password, &pKey, &pCert, nullptr);
    OsslPtr<EVP_PKEY> pOwnedKey(pKey);
    OsslPtr<X509> pOwnedCert(pCert);
    ERR_clear_error();
    if (1 == nResult) GTEST_SKIP() << "the default context of this machine loads the legacy provider";
    EXPECT_EQ(0, nResult);
}

TEST_F(CertificateVerify, Sm2CertificateFromPKCS12VerifiesThroughOurProvider)
{
    peer::TempFile p12;
    std::string out;
    ASSERT_EQ(0, peer::RunCommand("openssl pkcs12 -export -inkey " + Pki("sm2/ee_sign.key") +
                                      " -in " + Pki("sm2/ee_sign.pem") + " -certfile " +
                                      Pki("sm2/int.pem") + " -passout pass:sm2-p12 -out " + p12.Path(),
                                  &out))
        << out;
    OpenFiles in({p12.Path()});
    X509* pCert = nullptr;
    STACK_OF(X509)* pChain = nullptr;
    ASSERT_EQ(VOMU_OK, ParsePFXFile(in.First(), "sm2-p12", nullptr, &pCert, &pChain));
    OsslPtr<X509> pOwned(pCert);
    OsslPtr<STACK_OF(X509)> pOwnedChain(pChain);
    ASSERT_NE(nullptr, pCert);
    ASSERT_EQ(1, sk_X509_num(pChain));
    // The certificate and the intermediate of the file check against the root alone.
    X509_STORE* pStore = nullptr;
    OpenFiles root({Pki("sm2/root.der")});
    ASSERT_EQ(VOMU_OK, LoadCertsToStore(root.Streams(), &pStore));
    OsslPtr<X509_STORE> pOwnedStore(pStore);
    ASSERT_EQ(1, X509_STORE_add_cert(pStore, sk_X509_value(pChain, 0)));
    smk::ProviderCounters before{}, after{};
    ASSERT_EQ(1, smk::GetProviderCounters(&before));
    EXPECT_EQ(VOMU_OK, VerifyCertChainByTrustedStore(pStore, pCert));
    ASSERT_EQ(1, smk::GetProviderCounters(&after));
    EXPECT_GE(after.nVerify, before.nVerify + 2);
}

// DER PKCS#7 certificate bundle made by the CLI.
Bytes Bundle(const std::vector<std::string>& certs)
{
    peer::TempFile out;
    std::string cmd = "openssl crl2pkcs7 -nocrl -outform DER -out " + out.Path();
    for (const std::string& cert : certs) cmd += " -certfile " + Pki(cert);
    return 0 == peer::RunCommand(cmd) ? out.Read() : Bytes();
}

Bytes DataPKCS7()
{
    OsslPtr<PKCS7> p7(PKCS7_new());
    if (!p7 || 1 != PKCS7_set_type(p7.get(), NID_pkcs7_data)) return Bytes();
    return dertest::ByOpenSSL(i2d_PKCS7, p7.get());
}

TEST_F(CertificateVerify, BundleStoreTable)
{
    const Bytes root = Bundle({"sm2/root.pem"}), inter = Bundle({"sm2/int.pem"});
    const Bytes both = Bundle({"sm2/root.pem", "sm2/int.pem"}), data = DataPKCS7();
    const Bytes garbage = {0x30, 0x03, 0x02, 0x01};
    ASSERT_FALSE(root.empty() || inter.empty() || both.empty() || data.empty());
    const struct {
        const char* pszName;
        const Bytes* pRoot;
        const Bytes* pInter;
        int nLoad, nVerify;
    } rows[] = {
        {"root and intermediate bundles", &root, &inter, VOMU_OK, VOMU_OK},
        {"one bundle of both", &both, nullptr, VOMU_OK, VOMU_OK},
        {"intermediate bundle alone", nullptr, &both, VOMU_OK, VOMU_OK},
        {"root only", &root, nullptr, VOMU_OK, VOMU_E_CERT_CHAIN},
        {"no bundles", nullptr, nullptr, VOMU_OK, VOMU_E_CERT_CHAIN},
        {"garbage root", &garbage, &inter, VOMU_E_FAIL, 0},
        {"garbage intermediate", &root, &garbage, VOMU_E_FAIL, 0},
        {"not signedData", &data, nullptr, VOMU_E_FAIL, 0},
    };
    Bytes leafDer = ReadFileBytes(Pki("sm2/ee_sign.der"));
    X509* pLeaf = nullptr;
    ASSERT_EQ(VOMU_OK, ConvertCertDataToX509(leafDer.data(), (int)leafDer.size(), &pLeaf));
    OsslPtr<X509> pOwnedLeaf(pLeaf);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszName);
        X509_STORE* pStore = nullptr;
        EXPECT_EQ(row.nLoad, LoadP7bToStore(row.pRoot ? row.pRoot->data() : nullptr,
                                            row.pRoot ? (int)row.pRoot->size() : 0,
                                            row.pInter ? row.pInter->data() : nullptr,
                                            row.pInter ? (int)row.pInter->size() : 0, &pStore));
        OsslPtr<X509_STORE> pOwned(pStore);
        EXPECT_EQ(VOMU_OK == row.nLoad, NULL != pStore);
        if (pStore) {
            smk::ProviderCounters before{}, after{};
            ASSERT_EQ(1, smk::GetProviderCounters(&before));
            EXPECT_EQ(row.nVerify, VerifyCertChainByTrustedStore(pStore, pLeaf));
            ASSERT_EQ(1, smk::GetProviderCounters(&after));
            if (VOMU_OK == row.nVerify) {
                EXPECT_GE(after.nVerify, before.nVerify + 2);
            }
        }
    }
}

}  // namespace
