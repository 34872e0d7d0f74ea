// The certificate memo an SM2 key file holds: within it the certificate loader decodes each
// distinct certificate once and hands out that one object; outside it, and after it, every
// load decodes afresh. Expected certificates come from OpenSSL decoding the same fixture in
// its default library context.
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CertificateLoader.h"
#include "CertificateMemo.h"
#include "OsslPtr.h"
#include "PkiFixtures.h"
#include "SMKernel.h"
#include "vomu_result.h"

namespace {

using morv::CertificateMemo;
using morv::OsslPtr;

std::vector<unsigned char> ReadFixture(const char* pszName)
{
    std::ifstream in(support::Pki(pszName), std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// OpenSSL's own decode, the oracle.
OsslPtr<X509> PeerCert(const std::vector<unsigned char>& der)
{
    const unsigned char* p = der.data();
    return OsslPtr<X509>(d2i_X509(nullptr, &p, (long)der.size()));
}

OsslPtr<X509> Load(const std::vector<unsigned char>& der)
{
    OsslPtr<X509> pCert;
    EXPECT_EQ(VOMU_OK, morv::LoadCertificate(__func__, der.data(), (int)der.size(), &pCert));
    return pCert;
}

class CertificateMemoTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
};

// Two certificates of one length and one issuer (they differ deep inside), then more
// certificates than the memo keeps: every load is the certificate of its own bytes.
TEST_F(CertificateMemoTest, EachLoadIsTheCertificateOfItsBytes)
{
    const char* const apszNames[] = {"sm2/ee_expired.der", "sm2/ee_revoked.der", "sm2/ee_sign.der",
                                     "sm2/int.der",        "sm2/root.der",       "rsa/ee_sign.der"};
    std::vector<std::vector<unsigned char>> ders;
    for (const char* pszName : apszNames) ders.push_back(ReadFixture(pszName));
    ASSERT_EQ(ders[0].size(), ders[1].size());
    CertificateMemo memo;
    for (int nRound = 0; nRound < 2; ++nRound) {
        for (size_t i = 0; i < ders.size(); ++i) {
            SCOPED_TRACE(std::string(apszNames[i]) + (nRound ? " again" : ""));
            OsslPtr<X509> pOurs = Load(ders[i]), pPeer = PeerCert(ders[i]);
            ASSERT_TRUE(pOurs && pPeer);
            EXPECT_EQ(0, X509_cmp(pOurs.get(), pPeer.get()));
        }
    }
}

TEST_F(CertificateMemoTest, SharesOnlyWhileAMemoLasts)
{
    const std::vector<unsigned char> der = ReadFixture("sm2/ee_sign.der");
    OsslPtr<X509> pBefore = Load(der), pBeforeAgain = Load(der);
    EXPECT_NE(pBefore.get(), pBeforeAgain.get());
    {
        CertificateMemo outer;
        OsslPtr<X509> pFirst = Load(der);
        {
            CertificateMemo inner;  // adds nothing, and its end leaves the outer one working
        }
        OsslPtr<X509> pSecond = Load(der);
        EXPECT_EQ(pFirst.get(), pSecond.get());
    }
    OsslPtr<X509> pAfter = Load(der), pAfterAgain = Load(der);
    EXPECT_NE(pAfter.get(), pAfterAgain.get());
}

TEST_F(CertificateMemoTest, UndecodableBytesFailEveryTime)
{
    std::vector<unsigned char> der = ReadFixture("sm2/ee_sign.der");
    der.resize(der.size() / 2);
    CertificateMemo memo;
    for (int i = 0; i < 2; ++i) {
        OsslPtr<X509> pCert;
        EXPECT_EQ(VOMU_E_FAIL, morv::LoadCertificate(__func__, der.data(), (int)der.size(), &pCert));
        EXPECT_FALSE(pCert);
    }
}

}  // namespace
