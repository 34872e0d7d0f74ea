// SM2 certificates through OpenSSL's own certificate code in kctx: signed with X509_sign_ctx,
// checked with X509_verify_cert (our SM2 ran: the counter moves), accepted by the openssl CLI
// and by npm sm-crypto with the standard ID; OpenSSL's empty-ID certificates still verify in
// the default context. The CLI-made fixture chain of tests/data/pki verifies in kctx, and its
// tampered, empty-ID, expired, not-yet-valid and revoked leaves fail as the chain check says.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "OsslPtr.h"
#include "SM2.h"
#include "SMKernel.h"
#include "SmCryptoPeer.h"
#include "vomu_result.h"

namespace {

EVP_PKEY* NewKernelKey()
{
    unsigned char d[32], x[32], y[32];
    return 1 == _SM2_generate_keypair(d, x, y) ? smk::NewSm2PKey(d, x, y) : nullptr;
}

// A CA-capable certificate of pSubjectKey named pszCn, issued by (pIssuer, pIssuerKey), or
// self-signed when pIssuer is null; signed in pLibCtx (SM3, standard ID in kctx).
X509* MakeCert(OSSL_LIB_CTX* pLibCtx, const char* pszCn, EVP_PKEY* pSubjectKey, X509* pIssuer,
               EVP_PKEY* pIssuerKey)
{
    morv::OsslPtr<X509> pCert(X509_new_ex(pLibCtx, nullptr));
    X509_NAME* pName = X509_get_subject_name(pCert.get());
    X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC, (const unsigned char*)pszCn, -1, -1, 0);
    X509_set_version(pCert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(pCert.get()), 1);
    X509_set_issuer_name(pCert.get(), pIssuer ? X509_get_subject_name(pIssuer) : pName);
    X509_gmtime_adj(X509_getm_notBefore(pCert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(pCert.get()), 3600 * 24);
    if (1 != X509_set_pubkey(pCert.get(), pSubjectKey)) return nullptr;
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, pIssuer ? pIssuer : pCert.get(), pCert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* pExt = X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(pCert.get(), pExt, -1);
    X509_EXTENSION_free(pExt);
    morv::OsslPtr<EVP_MD_CTX> pMdCtx(EVP_MD_CTX_new());
    if (1 != EVP_DigestSignInit_ex(pMdCtx.get(), nullptr, "SM3", pLibCtx, nullptr,
                                   pIssuerKey ? pIssuerKey : pSubjectKey, nullptr) ||
        0 >= X509_sign_ctx(pCert.get(), pMdCtx.get()))
        return nullptr;
    return pCert.release();
}

// X509_verify_cert of pLeaf under the trusted pRoot with pInter untrusted, in a kctx store
// context; with pCrl the leaf's revocation is checked against it. *pnError: the context's error.
int VerifyChain(X509* pRoot, X509* pInter, X509* pLeaf, X509_CRL* pCrl = nullptr, int* pnError = nullptr)
{
    morv::OsslPtr<X509_STORE> pStore(X509_STORE_new());
    X509_STORE_add_cert(pStore.get(), pRoot);
    if (pCrl) {
        X509_STORE_add_crl(pStore.get(), pCrl);
        X509_STORE_set_flags(pStore.get(), X509_V_FLAG_CRL_CHECK);
    }
    STACK_OF(X509)* pUntrusted = sk_X509_new_null();
    sk_X509_push(pUntrusted, pInter);
    morv::OsslPtr<X509_STORE_CTX> pCtx(smk::NewX509StoreCtx());
    int nResult = X509_STORE_CTX_init(pCtx.get(), pStore.get(), pLeaf, pUntrusted) == 1
                      ? X509_verify_cert(pCtx.get()) : -2;
    if (pnError) *pnError = X509_STORE_CTX_get_error(pCtx.get());
    sk_X509_free(pUntrusted);
    return nResult;
}

// The certificate re-read from its DER into kctx, as the formats layer reads certificates.
X509* Reread(X509* pCert, bool bTamper)
{
    unsigned char* pbyDer = nullptr;
    int nDer = i2d_X509(pCert, &pbyDer);
    if (bTamper) pbyDer[nDer / 3] ^= 1;
    const unsigned char* p = pbyDer;
    X509* pOut = smk::D2iX509(&p, nDer);
    OPENSSL_free(pbyDer);
    return pOut;
}

bool WritePem(X509* pCert, const std::string& path)
{
    morv::OsslPtr<BIO> pBio(BIO_new_file(path.c_str(), "w"));
    return pBio && 1 == PEM_write_bio_X509(pBio.get(), pCert);
}

class ProviderCert : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(VOMU_OK, SMKernelInitialize());
        m_pRootKey.reset(NewKernelKey());
        m_pInterKey.reset(NewKernelKey());
        m_pLeafKey.reset(NewKernelKey());
        ASSERT_TRUE(m_pRootKey && m_pInterKey && m_pLeafKey);
        m_pRoot.reset(MakeCert(smk::LibCtx(), "root", m_pRootKey.get(), nullptr, nullptr));
        ASSERT_TRUE(m_pRoot);
        m_pInter.reset(MakeCert(smk::LibCtx(), "inter", m_pInterKey.get(), m_pRoot.get(), m_pRootKey.get()));
        ASSERT_TRUE(m_pInter);
        m_pLeaf.reset(MakeCert(smk::LibCtx(), "leaf", m_pLeafKey.get(), m_pInter.get(), m_pInterKey.get()));
        ASSERT_TRUE(m_pLeaf);
    }
    void TearDown() override
    {
        m_pRoot.reset(); m_pInter.reset(); m_pLeaf.reset();
        m_pRootKey.reset(); m_pInterKey.reset(); m_pLeafKey.reset();
        EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
    }
    morv::OsslPtr<EVP_PKEY> m_pRootKey, m_pInterKey, m_pLeafKey;
    morv::OsslPtr<X509> m_pRoot, m_pInter, m_pLeaf;
};

TEST_F(ProviderCert, ChainVerifiesThroughOurSm2AndTamperingIsRejected)
{
    morv::OsslPtr<X509> pInter(Reread(m_pInter.get(), false)), pLeaf(Reread(m_pLeaf.get(), false));
    ASSERT_TRUE(pInter && pLeaf);
    smk::ProviderCounters before{}, after{};
    ASSERT_EQ(1, smk::GetProviderCounters(&before));
    EXPECT_EQ(1, VerifyChain(m_pRoot.get(), pInter.get(), pLeaf.get()));
    ASSERT_EQ(1, smk::GetProviderCounters(&after));
    EXPECT_GE(after.nVerify, before.nVerify + 2);  // leaf and intermediate signatures

    morv::OsslPtr<X509> pTampered(Reread(m_pLeaf.get(), true));
    if (pTampered) {
        EXPECT_NE(1, VerifyChain(m_pRoot.get(), pInter.get(), pTampered.get()));
    }
}

TEST_F(ProviderCert, OpensslCliAcceptsOurCertificatesWithTheStandardId)
{
    char szDir[] = "/tmp/morv-cert-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    std::string dir = szDir;
    ASSERT_TRUE(WritePem(m_pRoot.get(), dir + "/root.pem") && WritePem(m_pInter.get(), dir + "/inter.pem"));
    std::string cmd = "openssl verify -partial_chain -no-CApath -no-CAstore -vfyopt distid:1234567812345678 "
                      "-CAfile " + dir + "/root.pem " + dir + "/inter.pem >/dev/null 2>&1";
    EXPECT_EQ(0, system(cmd.c_str()));
    std::string noId = "openssl verify -partial_chain -no-CApath -no-CAstore -CAfile " + dir +
                       "/root.pem " + dir + "/inter.pem >/dev/null 2>&1";
    EXPECT_NE(0, system(noId.c_str()));
    std::string rm = "rm -rf " + dir;
    (void)system(rm.c_str());
}

// OpenSSL's own SM2 in the default context signs with an empty ID: it still verifies there,
// and our kernel (standard ID) rejects it.
TEST_F(ProviderCert, EmptyIdCertificatesStayOpensslsAndAreRejectedByTheKernel)
{
    morv::OsslPtr<EVP_PKEY> pKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    ASSERT_TRUE(pKey);
    morv::OsslPtr<X509> pCert(MakeCert(nullptr, "default", pKey.get(), nullptr, nullptr));
    ASSERT_TRUE(pCert);
    EXPECT_EQ(1, X509_verify(pCert.get(), pKey.get()));
    morv::OsslPtr<X509> pInKernel(Reread(pCert.get(), false));
    ASSERT_TRUE(pInKernel);
    EXPECT_NE(1, X509_verify(pInKernel.get(), X509_get0_pubkey(pInKernel.get())));
}

// ------------------------------------------------------------------------------------------
// The fixture PKI of tests/data/pki, made by the openssl CLI alone (tests/data/make-fixtures.sh);
// expected.txt holds the CLI's view of it, our oracle.

std::string PkiPath(const std::string& rel) { return std::string(MORV_TEST_DATA_DIR) + "/pki/" + rel; }

// The value of key in [section] of expected.txt; empty when either is missing.
std::string Expected(const std::string& section, const std::string& key)
{
    std::ifstream in(PkiPath("expected.txt"));
    bool bInSection = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] == '[') {
            bInSection = line == "[" + section + "]";
        } else if (bInSection && line.compare(0, key.size() + 1, key + "=") == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "";
}

// A chain-check error in expected.txt's notation (the openssl verify result).
std::string CliVerdict(int nError) { return nError == X509_V_OK ? "OK" : "error:" + std::to_string(nError); }

smtest::Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return smtest::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

enum class From { PEM, DER, DER_IN_DEFAULT_CONTEXT };

// Fixture certificate id decoded in kctx from its PEM or DER file, or (the mistake the
// factories exist to prevent) in the default context.
X509* LoadCert(const std::string& id, From eFrom)
{
    if (eFrom == From::PEM) {
        morv::OsslPtr<BIO> pBio(BIO_new_file(PkiPath(id + ".pem").c_str(), "r"));
        return pBio ? smk::PemReadX509(pBio.get()) : nullptr;
    }
    const smtest::Bytes der = ReadFile(PkiPath(id + ".der"));
    const unsigned char* p = der.data();
    return eFrom == From::DER ? smk::D2iX509(&p, (long)der.size()) : d2i_X509(nullptr, &p, (long)der.size());
}

// Fixture certificate id with one letter of its subject CN changed: still well-formed, but
// no longer what its issuer signed.
X509* LoadTampered(const std::string& id)
{
    smtest::Bytes der = ReadFile(PkiPath(id + ".der"));
    const std::string cn = Expected(id, "subject_cn");
    auto it = std::search(der.begin(), der.end(), cn.begin(), cn.end());
    if (cn.empty() || it == der.end()) return nullptr;
    *it ^= 0x01;
    const unsigned char* p = der.data();
    return smk::D2iX509(&p, (long)der.size());
}

// Fixture CRL id (PEM) decoded in kctx, or in the default context when bKctx is false.
X509_CRL* LoadCrl(const std::string& id, bool bKctx)
{
    morv::OsslPtr<BIO> pBio(BIO_new_file(PkiPath(id + ".pem").c_str(), "r"));
    if (!pBio) return nullptr;
    if (!bKctx) return PEM_read_bio_X509_CRL(pBio.get(), nullptr, nullptr, nullptr);
    X509_CRL* pCrl = smk::NewX509Crl();
    if (!pCrl) return nullptr;
    X509_CRL* pRead = PEM_read_bio_X509_CRL(pBio.get(), &pCrl, nullptr, nullptr);
    if (!pRead) X509_CRL_free(pCrl);  // null already when the decoder freed it
    return pRead;
}

unsigned long OurVerifies()
{
    smk::ProviderCounters counters{};
    EXPECT_EQ(1, smk::GetProviderCounters(&counters));
    return counters.nVerify;
}

// The SM2 root and intermediate of the fixture set, read into kctx.
class FixtureChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(VOMU_OK, SMKernelInitialize());
        m_pRoot.reset(LoadCert("sm2/root", From::PEM));
        m_pInter.reset(LoadCert("sm2/int", From::PEM));
        ASSERT_TRUE(m_pRoot && m_pInter);
    }
    void TearDown() override
    {
        m_pRoot.reset();
        m_pInter.reset();
        EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
    }
    morv::OsslPtr<X509> m_pRoot, m_pInter;
};

TEST_F(FixtureChain, CliMadeChainVerifiesThroughOurSm2FromPemAndDer)
{
    ASSERT_EQ("OK", Expected("sm2/ee_sign", "verify_link"));  // the CLI, with the standard ID
    for (From eFrom : {From::PEM, From::DER}) {
        morv::OsslPtr<X509> pInter(LoadCert("sm2/int", eFrom)), pLeaf(LoadCert("sm2/ee_sign", eFrom));
        ASSERT_TRUE(pInter && pLeaf);
        const unsigned long nBefore = OurVerifies();
        int nError = -1;
        EXPECT_EQ(1, VerifyChain(m_pRoot.get(), pInter.get(), pLeaf.get(), nullptr, &nError));
        EXPECT_EQ(X509_V_OK, nError);
        EXPECT_GE(OurVerifies(), nBefore + 2) << "leaf and intermediate signatures go through our SM2";
    }
}

// Decoded in the default context, the same certificates meet OpenSSL's SM2 with its empty ID:
// the chain fails and our code never runs.
TEST_F(FixtureChain, ChainDecodedOutsideKctxFails)
{
    morv::OsslPtr<X509> pInter(LoadCert("sm2/int", From::DER_IN_DEFAULT_CONTEXT));
    morv::OsslPtr<X509> pLeaf(LoadCert("sm2/ee_sign", From::DER_IN_DEFAULT_CONTEXT));
    ASSERT_TRUE(pInter && pLeaf);
    const unsigned long nBefore = OurVerifies();
    int nError = -1;
    EXPECT_EQ(0, VerifyChain(m_pRoot.get(), pInter.get(), pLeaf.get(), nullptr, &nError));
    EXPECT_EQ(X509_V_ERR_CERT_SIGNATURE_FAILURE, nError);
    EXPECT_EQ(nBefore, OurVerifies());
}

// A restart makes a new kctx and a new provider instance: certificates of the new context
// verify through it, so no provider state outlived the old one.
TEST_F(FixtureChain, ChainVerifiesAgainAfterTheKernelRestarts)
{
    m_pRoot.reset();
    m_pInter.reset();
    ASSERT_EQ(VOMU_OK, SMKernelUninitialize());
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    m_pRoot.reset(LoadCert("sm2/root", From::PEM));
    m_pInter.reset(LoadCert("sm2/int", From::DER));
    morv::OsslPtr<X509> pLeaf(LoadCert("sm2/ee_sign", From::DER));
    ASSERT_TRUE(m_pRoot && m_pInter && pLeaf);
    const unsigned long nBefore = OurVerifies();
    EXPECT_EQ(1, VerifyChain(m_pRoot.get(), m_pInter.get(), pLeaf.get()));
    EXPECT_GE(OurVerifies(), nBefore + 2);
}

// A native caller may check chains from several threads at once; the provider keeps no
// shared mutable state besides its atomic counters.
TEST_F(FixtureChain, ChainsVerifyConcurrently)
{
    constexpr int kThreads = 4, kRounds = 25;
    morv::OsslPtr<X509> pLeaf(LoadCert("sm2/ee_sign", From::DER));
    morv::OsslPtr<X509> pExpired(LoadCert("sm2/ee_expired", From::DER));
    ASSERT_TRUE(pLeaf && pExpired);
    const unsigned long nBefore = OurVerifies();
    std::atomic<int> nWrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                int nError = -1;
                if (1 != VerifyChain(m_pRoot.get(), m_pInter.get(), pLeaf.get())) ++nWrong;
                if (0 != VerifyChain(m_pRoot.get(), m_pInter.get(), pExpired.get(), nullptr, &nError) ||
                    nError != X509_V_ERR_CERT_HAS_EXPIRED)
                    ++nWrong;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, nWrong.load());
    EXPECT_GE(OurVerifies(), nBefore + 4ul * kThreads * kRounds);
}

enum class Crl { NONE, KCTX, DEFAULT_CONTEXT };

// Each fixture leaf under the fixture chain. Where the CLI could judge the case (openssl
// verify -vfyopt distid:..., the verify_link of expected.txt) its verdict must match ours;
// the CLI has no ID option for SM2 CRLs, so the CRL rows rest on X509_verify_cert's codes.
// nMinVerifies: our SM2 verifications the case needs at least (signatures are checked after
// revocation, so a revoked leaf stops after the CRL's).
TEST_F(FixtureChain, LeavesFailAsTheChainCheckSays)
{
    // The empty-ID leaf is sound for OpenSSL's empty ID: only the ID makes it fail with us.
    ASSERT_EQ("OK", Expected("sm2/ee_empty_id", "verify_link_empty_id"));
    const struct {
        const char* pszLeaf;
        bool bTamper;
        Crl eCrl;
        int nError;
        unsigned long nMinVerifies;
        bool bCliJudges;
    } kCases[] = {
        {"sm2/ee_sign", false, Crl::NONE, X509_V_OK, 2, true},
        {"sm2/ee_sign", true, Crl::NONE, X509_V_ERR_CERT_SIGNATURE_FAILURE, 2, false},
        {"sm2/ee_empty_id", false, Crl::NONE, X509_V_ERR_CERT_SIGNATURE_FAILURE, 2, true},
        {"sm2/ee_expired", false, Crl::NONE, X509_V_ERR_CERT_HAS_EXPIRED, 2, true},
        {"sm2/ee_notyet", false, Crl::NONE, X509_V_ERR_CERT_NOT_YET_VALID, 2, true},
        {"sm2/ee_revoked", false, Crl::NONE, X509_V_OK, 2, true},
        {"sm2/ee_revoked", false, Crl::KCTX, X509_V_ERR_CERT_REVOKED, 1, false},
        {"sm2/ee_sign", false, Crl::KCTX, X509_V_OK, 3, false},
        {"sm2/ee_revoked", false, Crl::DEFAULT_CONTEXT, X509_V_ERR_CRL_SIGNATURE_FAILURE, 0, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.pszLeaf) + (c.bTamper ? " tampered" : "") + " crl " +
                     std::to_string((int)c.eCrl));
        morv::OsslPtr<X509> pLeaf(c.bTamper ? LoadTampered(c.pszLeaf) : LoadCert(c.pszLeaf, From::DER));
        ASSERT_TRUE(pLeaf);
        morv::OsslPtr<X509_CRL> pCrl(c.eCrl == Crl::NONE ? nullptr : LoadCrl("sm2/crl", c.eCrl == Crl::KCTX));
        ASSERT_EQ(c.eCrl != Crl::NONE, pCrl != nullptr);
        if (c.bCliJudges) {
            EXPECT_EQ(CliVerdict(c.nError), Expected(c.pszLeaf, "verify_link"));
        }
        const unsigned long nBefore = OurVerifies();
        int nError = -1;
        EXPECT_EQ(c.nError == X509_V_OK ? 1 : 0,
                  VerifyChain(m_pRoot.get(), m_pInter.get(), pLeaf.get(), pCrl.get(), &nError));
        EXPECT_EQ(c.nError, nError) << X509_verify_cert_error_string(nError);
        EXPECT_GE(OurVerifies(), nBefore + c.nMinVerifies);
    }
}

// ------------------------------------------------------------------------------------------
// npm sm-crypto as a relying party outside OpenSSL.

// The lines of sm_crypto_peer.js that ask sm-crypto to check pCert's signature over its TBS
// (SM3 with Z of the standard ID) with pIssuer's public key; bTamper changes one TBS byte.
std::string SmCryptoCheck(X509* pCert, X509* pIssuer, bool bTamper)
{
    unsigned char* pbyTbs = nullptr;
    int nTbs = i2d_re_X509_tbs(pCert, &pbyTbs);
    const ASN1_BIT_STRING* pSig = nullptr;
    X509_get0_signature(&pSig, nullptr, pCert);
    const ASN1_BIT_STRING* pPub = X509_get0_pubkey_bitstr(pIssuer);
    std::string request;
    if (nTbs > 0 && pSig && pPub) {
        if (bTamper) pbyTbs[nTbs - 1] ^= 0x01;
        request = "K 00 " + smtest::ToHex(ASN1_STRING_get0_data(pPub), (size_t)ASN1_STRING_length(pPub)) +
                  "\nV " + smtest::ToHex(pbyTbs, (size_t)nTbs) + " " +
                  smtest::ToHex(ASN1_STRING_get0_data(pSig), (size_t)ASN1_STRING_length(pSig)) + "\n";
    }
    OPENSSL_free(pbyTbs);
    return request;
}

TEST_F(ProviderCert, SmCryptoAcceptsTheSignaturesOfCertificatesSignedInKctx)
{
    std::string moduleDir;
    if (0 != std::system("node --version >/dev/null 2>&1") || !smtest::InstallSmCrypto(moduleDir))
        GTEST_SKIP() << "npm sm-crypto unavailable (npm unreachable or node missing); see npm-install.log";
    morv::OsslPtr<X509> pCliInter(LoadCert("sm2/int", From::DER)), pCliLeaf(LoadCert("sm2/ee_sign", From::DER));
    morv::OsslPtr<X509> pCliEmptyId(LoadCert("sm2/ee_empty_id", From::DER));
    ASSERT_TRUE(pCliInter && pCliLeaf && pCliEmptyId);
    const struct {
        const char* pszWhat;
        X509* pCert;
        X509* pIssuer;
        bool bTamper;
        const char* pszAnswer;
    } kCases[] = {
        {"self-signed root", m_pRoot.get(), m_pRoot.get(), false, "V 1"},
        {"intermediate", m_pInter.get(), m_pRoot.get(), false, "V 1"},
        {"leaf", m_pLeaf.get(), m_pInter.get(), false, "V 1"},
        {"leaf, TBS changed", m_pLeaf.get(), m_pInter.get(), true, "V 0"},
        {"leaf, wrong issuer key", m_pLeaf.get(), m_pRoot.get(), false, "V 0"},
        // The fixtures' own oracle: the CLI signed them with the standard ID, except one.
        {"CLI-made leaf", pCliLeaf.get(), pCliInter.get(), false, "V 1"},
        {"CLI-made leaf, empty ID", pCliEmptyId.get(), pCliInter.get(), false, "V 0"},
    };
    std::string request;
    for (const auto& c : kCases) {
        const std::string lines = SmCryptoCheck(c.pCert, c.pIssuer, c.bTamper);
        ASSERT_FALSE(lines.empty()) << c.pszWhat;
        request += lines;
    }
    const std::vector<std::string> answer = smtest::RunSmCrypto(moduleDir, request);
    ASSERT_EQ(std::size(kCases), answer.size());
    for (size_t i = 0; i < answer.size(); ++i)
        EXPECT_EQ(kCases[i].pszAnswer, answer[i]) << kCases[i].pszWhat;
}

}  // namespace
