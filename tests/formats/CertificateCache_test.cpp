// The certificates that the field readers, the key-usage check and the RSA verifiers share
// across calls: every answer, first sight or repeated, is the one OpenSSL gives for the same
// bytes decoded afresh in its default library context; bytes OpenSSL refuses are refused at
// the same step with the same text every time; nothing outlives a kernel stop.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CertificateLoader.h"
#include "CertificateOperations.h"
#include "DerTestUtil.h"
#include "LogCapture.h"
#include "OpenSSLPeer.h"
#include "OsslPtr.h"
#include "PkiFixtures.h"
#include "RSADataSigning.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "TestBytes.h"
#include "vomu_result.h"

using morv::OsslPtr;
using peer::Bytes;
using peer::ReadFileBytes;

namespace {

using support::Pki;
using support::PkiFact;
using support::PkiFacts;
using support::Take;

// What the readers give for one certificate's bytes.
struct Fields {
    int nPoint = -1, nIssuer = -1, nSerial = -1, nKeyId = -1, nKeyUsage = -1;
    Bytes point, issuer, serial, keyId;
};

Bytes ReadField(int (*fn)(unsigned char*, int, unsigned char**, int*), Bytes cert, int* pnResult)
{
    unsigned char* pby = NULL;
    int n = 0;
    *pnResult = fn(cert.data(), (int)cert.size(), &pby, &n);
    return VOMU_OK == *pnResult ? Take(pby, n) : Bytes();
}

Fields ReadFields(Bytes cert)
{
    Fields f;
    unsigned char *pbyX = NULL, *pbyY = NULL;
    int nX = 0, nY = 0;
    f.nPoint = GetPublicKeyXYFromSM2Cert(cert.data(), (int)cert.size(), &pbyX, &nX, &pbyY, &nY);
    if (VOMU_OK == f.nPoint) f.point = dertest::Cat({Take(pbyX, nX), Take(pbyY, nY)});
    f.issuer = ReadField(GetIssuerFromCert, cert, &f.nIssuer);
    f.serial = ReadField(GetSerialNumberFromCert, cert, &f.nSerial);
    f.keyId = ReadField(GetSubjectKeyIDFromCert, cert, &f.nKeyId);
    f.nKeyUsage = CheckCertKeyUsage(cert.data(), (int)cert.size(), KEY_USAGE_DIGITAL_SIGNATURE, true);
    return f;
}

// The peer: the same facts from OpenSSL's own decode of the DER in the default context.
Fields PeerFields(const Bytes& der)
{
    Fields f;
    const unsigned char* p = der.data();
    OsslPtr<X509> pCert(d2i_X509(NULL, &p, (long)der.size()));
    if (!pCert) return f;
    const EVP_PKEY* pKey = X509_get0_pubkey(pCert.get());
    unsigned char abyPoint[133];
    size_t nPoint = 0;
    if (pKey && (EVP_PKEY_is_a(pKey, "EC") || EVP_PKEY_is_a(pKey, "SM2")) &&
        1 == EVP_PKEY_get_octet_string_param(pKey, "encoded-pub-key", abyPoint, sizeof abyPoint,
                                             &nPoint) &&
        65 == nPoint) {
        f.nPoint = VOMU_OK;
        f.point.assign(abyPoint + 1, abyPoint + 65);
    }
    f.nIssuer = f.nSerial = VOMU_OK;
    f.issuer = dertest::ByOpenSSL(i2d_X509_NAME, X509_get_issuer_name(pCert.get()));
    f.serial = dertest::ByOpenSSL(i2d_ASN1_INTEGER, X509_get0_serialNumber(pCert.get()));
    const ASN1_OCTET_STRING* pKeyId = X509_get0_subject_key_id(pCert.get());
    if (pKeyId) {
        f.nKeyId = VOMU_OK;
        f.keyId.assign(ASN1_STRING_get0_data(pKeyId),
                       ASN1_STRING_get0_data(pKeyId) + ASN1_STRING_length(pKeyId));
    }
    const bool bSigner = (X509_get_extension_flags(pCert.get()) & EXFLAG_KUSAGE) &&
                         (X509_get_key_usage(pCert.get()) & KU_DIGITAL_SIGNATURE);
    f.nKeyUsage = bSigner ? VOMU_OK : VOMU_E_KEY_USAGE;
    return f;
}

void ExpectSame(const Fields& peer, const Fields& ours)
{
    EXPECT_EQ(peer.nPoint == VOMU_OK, ours.nPoint == VOMU_OK);
    EXPECT_EQ(peer::Hex(peer.point), peer::Hex(ours.point));
    EXPECT_EQ(VOMU_OK, ours.nIssuer);
    EXPECT_EQ(peer.issuer, ours.issuer);
    EXPECT_EQ(VOMU_OK, ours.nSerial);
    EXPECT_EQ(peer.serial, ours.serial);
    EXPECT_EQ(peer.nKeyId == VOMU_OK, ours.nKeyId == VOMU_OK);
    EXPECT_EQ(peer::Hex(peer.keyId), peer::Hex(ours.keyId));
    EXPECT_EQ(peer.nKeyUsage, ours.nKeyUsage);
}

struct Fixture {
    std::string id;
    Bytes der, pem;
    Fields peer;
};

// Every certificate fixture: more than the cache keeps, so entries are pushed out and read
// again.
std::vector<Fixture> AllCertificates()
{
    std::vector<Fixture> all;
    for (const auto& section : PkiFacts()) {
        if (!section.second.count("der") || !section.second.count("subject_dn")) continue;
        Fixture f{section.first, ReadFileBytes(Pki(section.second.at("der"))),
                  ReadFileBytes(Pki(section.second.at("pem"))), {}};
        f.peer = PeerFields(f.der);
        all.push_back(f);
    }
    return all;
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// RSA PKCS#1 v1.5 over SHA-256 by OpenSSL's default context, the verifiers' peer signer.
Bytes PeerRsaSign(const std::string& keyPath, const Bytes& data)
{
    OsslPtr<EVP_PKEY> pKey = peer::ReadPemKey(keyPath);
    OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new());
    size_t n = 0;
    if (!pKey || !pCtx ||
        1 != EVP_DigestSignInit(pCtx.get(), NULL, EVP_sha256(), NULL, pKey.get()) ||
        1 != EVP_DigestSign(pCtx.get(), NULL, &n, data.data(), data.size()))
        return Bytes();
    Bytes sig(n);
    if (1 != EVP_DigestSign(pCtx.get(), sig.data(), &n, data.data(), data.size())) return Bytes();
    sig.resize(n);
    return sig;
}

int RsaVerify(const Bytes& data, const Bytes& cert, const Bytes& sig)
{
    return RSA_VerifyDataSignature_DERPKCS1_ByDERCert(data.data(), (int)data.size(), cert.data(),
                                                      (int)cert.size(), NID_sha256, sig.data(),
                                                      (int)sig.size());
}

// The ERROR lines of a log: what a failure says, without the OK lines around it.
std::vector<std::string> ErrorLines(const std::string& log)
{
    std::vector<std::string> lines;
    size_t nStart = 0;
    while (nStart < log.size()) {
        size_t nEnd = log.find('\n', nStart);
        if (std::string::npos == nEnd) nEnd = log.size();
        const std::string line = log.substr(nStart, nEnd - nStart);
        if (0 == line.rfind("ERROR", 0)) lines.push_back(line);
        nStart = nEnd + 1;
    }
    return lines;
}

class CertificateCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(VOMU_OK, SMKernelInitialize());
        ASSERT_FALSE(PkiFacts().empty()) << "tests/data/pki/expected.txt";
    }
    void TearDown() override { SMKernelUninitialize(); }
};

// First sight, at once again, and after the whole set has pushed it out: DER and PEM of every
// fixture read as the peer reads the DER.
TEST_F(CertificateCacheTest, EveryAnswerIsThePeersColdAndWarm)
{
    const std::vector<Fixture> all = AllCertificates();
    ASSERT_GT(all.size(), (size_t)morv::CertificateCache::kEntries);
    for (int nRound = 0; nRound < 2; ++nRound) {
        for (const Fixture& f : all) {
            for (const Bytes* pForm : {&f.der, &f.pem, &f.der}) {
                SCOPED_TRACE(f.id + (pForm == &f.pem ? " pem" : " der") + " round " +
                             std::to_string(nRound));
                ExpectSame(f.peer, ReadFields(*pForm));
            }
        }
    }
}

// The readers share one object across calls; a caller that owns what it gets (the exported
// ConvertCertDataToX509) always has its own.
TEST_F(CertificateCacheTest, SharedForReadersOwnedForCallers)
{
    const Bytes der = ReadFileBytes(Pki("sm2/ee_sign.der"));
    OsslPtr<X509> pFirst, pAgain, pOwn;
    ASSERT_EQ(VOMU_OK, morv::LoadCertificate(__func__, der.data(), (int)der.size(), &pFirst, true));
    ASSERT_EQ(VOMU_OK, morv::LoadCertificate(__func__, der.data(), (int)der.size(), &pAgain, true));
    EXPECT_EQ(pFirst.get(), pAgain.get());
    X509* pConverted = NULL;
    ASSERT_EQ(VOMU_OK, ConvertCertDataToX509(der.data(), (int)der.size(), &pConverted));
    pOwn.reset(pConverted);
    EXPECT_NE(pFirst.get(), pOwn.get());
    EXPECT_EQ(0, X509_cmp(pFirst.get(), pOwn.get()));
    // One byte more is other bytes: read again (the DER reader ignores the trailing byte).
    Bytes longer = der;
    longer.push_back(0x00);
    OsslPtr<X509> pLonger;
    ASSERT_EQ(VOMU_OK, morv::LoadCertificate(__func__, longer.data(), (int)longer.size(), &pLonger, true));
    EXPECT_NE(pFirst.get(), pLonger.get());
}

// DER of one certificate followed by a line of PEM text of another: the PEM-first readers
// find the PEM, the DER-only RSA verifier the DER. Whichever form reads the bytes first, the other
// still gets its own answer.
TEST_F(CertificateCacheTest, TheFormReadIsPartOfTheKey)
{
    const Bytes data = ToBytes("data signed by the RSA signer");
    const Bytes rsaDer = ReadFileBytes(Pki("rsa/ee_sign.der"));
    const Bytes sig = PeerRsaSign(Pki("rsa/ee_sign.key"), data);
    ASSERT_FALSE(sig.empty());
    const Bytes sm2Pem = ReadFileBytes(Pki("sm2/ee_sign.pem"));
    const Fields sm2 = PeerFields(ReadFileBytes(Pki("sm2/ee_sign.der")));
    for (const bool bPemFirst : {true, false}) {
        SCOPED_TRACE(bPemFirst ? "PEM reader first" : "DER reader first");
        Bytes mixed = dertest::Cat({rsaDer, {'\n'}, sm2Pem});
        mixed.push_back(bPemFirst ? 'a' : 'b');  // fresh bytes for each order
        if (!bPemFirst) {
            EXPECT_EQ(VOMU_OK, RsaVerify(data, mixed, sig));
        }
        Fields ours = ReadFields(mixed);
        EXPECT_EQ(peer::Hex(sm2.point), peer::Hex(ours.point));
        EXPECT_EQ(sm2.serial, ours.serial);
        EXPECT_EQ(VOMU_OK, RsaVerify(data, mixed, sig));
        ours = ReadFields(mixed);
        EXPECT_EQ(peer::Hex(sm2.point), peer::Hex(ours.point));
    }
    // PEM text alone stays refused by the DER-only verifier after the PEM readers took it.
    ASSERT_EQ(VOMU_OK, ReadFields(ReadFileBytes(Pki("rsa/ee_sign.pem"))).nSerial);
    EXPECT_EQ(VOMU_E_FAIL, RsaVerify(data, ReadFileBytes(Pki("rsa/ee_sign.pem")), sig));
}

// keyUsage's value turned from a BIT STRING into an OCTET STRING: the certificate decodes,
// but OpenSSL refuses its extensions.
Bytes WithBrokenKeyUsage(Bytes der)
{
    const Bytes keyUsage = {0x06, 0x03, 0x55, 0x1D, 0x0F, 0x01, 0x01, 0xFF, 0x04, 0x04, 0x03};
    auto it = std::search(der.begin(), der.end(), keyUsage.begin(), keyUsage.end());
    if (it == der.end()) return Bytes();
    *(it + keyUsage.size() - 1) = 0x04;
    return der;
}

// The ERROR lines of the key-usage check on a copy the caller owns, decoded afresh.
std::vector<std::string> FreshKeyUsageLines(const Bytes& cert)
{
    X509* pCert = NULL;
    if (VOMU_OK != ConvertCertDataToX509(cert.data(), (int)cert.size(), &pCert)) return {};
    OsslPtr<X509> pOwn(pCert);
    morv_test::LogCapture log;
    if (!log.Ok()) return {};
    CheckX509KeyUsage(pOwn.get(), KEY_USAGE_DIGITAL_SIGNATURE, true);
    return ErrorLines(log.Contents());
}

// Bytes OpenSSL refuses fail at the same step with the same line, the library's text included,
// however often they come and whether or not their good twin is shared at the time.
TEST_F(CertificateCacheTest, RefusedBytesFailTheSameWayEveryTime)
{
    const Bytes good = ReadFileBytes(Pki("sm2/ee_sign.der"));
    Bytes flipped = good;
    flipped[1] ^= 0x01;  // outer length
    const Bytes brokenKeyUsage = WithBrokenKeyUsage(good);
    ASSERT_FALSE(brokenKeyUsage.empty());
    {
        // The peer: OpenSSL decodes it and refuses its extensions.
        const unsigned char* p = brokenKeyUsage.data();
        OsslPtr<X509> pPeer(d2i_X509(NULL, &p, (long)brokenKeyUsage.size()));
        ASSERT_TRUE(pPeer);
        EXPECT_NE(1, X509_check_purpose(pPeer.get(), -1, 0));
    }
    const struct {
        const char* pszName;
        Bytes cert;
        int nKeyUsage;  // CheckCertKeyUsage's code
        int nPoint;     // GetPublicKeyXYFromSM2Cert's code
    } cases[] = {
        {"truncated", Bytes(good.begin(), good.begin() + good.size() / 2), VOMU_E_FAIL, VOMU_E_FAIL},
        {"outer length", flipped, VOMU_E_FAIL, VOMU_E_FAIL},
        {"header only", Bytes(good.begin(), good.begin() + 4), VOMU_E_FAIL, VOMU_E_FAIL},
        {"keyUsage not a BIT STRING", brokenKeyUsage, VOMU_E_FAIL, VOMU_OK},
    };
    ASSERT_EQ(VOMU_OK, ReadFields(good).nKeyUsage);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszName);
        std::vector<std::string> firstLines;
        for (int nCall = 0; nCall < 3; ++nCall) {
            morv_test::LogCapture log;
            ASSERT_TRUE(log.Ok());
            Bytes cert = c.cert;
            EXPECT_EQ(c.nKeyUsage, CheckCertKeyUsage(cert.data(), (int)cert.size(),
                                                     KEY_USAGE_DIGITAL_SIGNATURE, true));
            const Fields fields = ReadFields(cert);
            EXPECT_EQ(c.nPoint, fields.nPoint);
            const std::vector<std::string> lines = ErrorLines(log.Contents());
            ASSERT_FALSE(lines.empty());
            if (0 == nCall) firstLines = lines;
            EXPECT_EQ(firstLines, lines) << "call " << nCall;
        }
        EXPECT_NE(std::string::npos, firstLines[0].find("Openssl ")) << firstLines[0];
        if (VOMU_OK == c.nPoint) {
            // The key-usage check's lines are those of the caller's own fresh copy.
            const std::vector<std::string> fresh = FreshKeyUsageLines(c.cert);
            ASSERT_FALSE(fresh.empty());
            std::vector<std::string> ours;
            for (const std::string& line : firstLines)
                if (std::string::npos != line.find("(CheckX509KeyUsage -- ")) ours.push_back(line);
            ours.resize(std::min(ours.size(), fresh.size()));
            EXPECT_EQ(fresh, ours);
        }
    }
}

// A kernel stop drops what the cache holds: certificates read before it are read again in the
// new kernel, and using them there (the key's provider belongs to the kernel) stays sound.
TEST_F(CertificateCacheTest, NothingOutlivesAKernelStop)
{
    const Bytes data = ToBytes("signed before and after a restart");
    const Bytes rsaDer = ReadFileBytes(Pki("rsa/ee_sign.der"));
    const Bytes sig = PeerRsaSign(Pki("rsa/ee_sign.key"), data);
    const Bytes sm2Der = ReadFileBytes(Pki("sm2/ee_sign.der"));
    const Fields sm2 = PeerFields(sm2Der);
    for (int nRun = 0; nRun < 3; ++nRun) {
        SCOPED_TRACE("kernel run " + std::to_string(nRun));
        ASSERT_EQ(VOMU_OK, SMKernelInitialize());
        for (int nCall = 0; nCall < 2; ++nCall) {
            EXPECT_EQ(VOMU_OK, RsaVerify(data, rsaDer, sig));
            ExpectSame(sm2, ReadFields(sm2Der));
        }
        ASSERT_EQ(VOMU_OK, SMKernelUninitialize());
        // Stopped: nothing is read, shared or not.
        EXPECT_EQ(VOMU_E_FAIL, RsaVerify(data, rsaDer, sig));
        EXPECT_EQ(VOMU_E_FAIL, ReadFields(sm2Der).nPoint);
    }
}

// Threads reading more certificates than the cache keeps, so entries are replaced while
// others hold them.
TEST_F(CertificateCacheTest, ConcurrentReadersGetThePeersAnswers)
{
    const std::vector<Fixture> all = AllCertificates();
    std::atomic<int> nWrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const Fixture& f = all[(size_t)(t * 7 + i) % all.size()];
                const Fields ours = ReadFields((i & 1) ? f.pem : f.der);
                if (ours.point != f.peer.point || ours.serial != f.peer.serial ||
                    ours.keyId != f.peer.keyId || ours.nKeyUsage != f.peer.nKeyUsage)
                    ++nWrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, nWrong.load());
}

}  // namespace
