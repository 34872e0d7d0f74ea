// ParsePFXFile chooses what it hands over as PKCS12_parse does. Oracle: PKCS12_parse in
// OpenSSL's default context over the same file, built here by OpenSSL's PKCS#12 API in layouts
// the CLI never writes (certificate after the chain, key bag first, two keys, no match, the
// same certificate twice, names and key ids on the bags, plain key bags).
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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
using support::Pki;

namespace {

const char kPassword[] = "layout-password";

struct Bag {
    bool bKey;            // a key bag of the file's .key, else a certificate bag of its .pem
    const char* pszFile;  // under pki/, without extension
    const char* pszName;  // friendlyName, or null
    const char* pszKeyId; // localKeyID, or null
    bool bShrouded = true;
};

struct Safe {
    std::vector<Bag> bags;
    bool bEncrypted;
};

bool AddBag(STACK_OF(PKCS12_SAFEBAG)** ppBags, const Bag& bag)
{
    PKCS12_SAFEBAG* pBag = nullptr;
    if (bag.bKey) {
        OsslPtr<EVP_PKEY> pKey = peer::ReadPemKey(Pki(std::string(bag.pszFile) + ".key"));
        pBag = pKey ? PKCS12_add_key(ppBags, pKey.get(), 0, 2048,
                                     bag.bShrouded ? NID_aes_256_cbc : -1, kPassword)
                    : nullptr;
    } else {
        OsslPtr<X509> pCert = peer::ReadPemCert(Pki(std::string(bag.pszFile) + ".pem"));
        pBag = pCert ? PKCS12_add_cert(ppBags, pCert.get()) : nullptr;
    }
    if (!pBag) return false;
    if (bag.pszName && 1 != PKCS12_add_friendlyname_asc(pBag, bag.pszName, -1)) return false;
    return !bag.pszKeyId || 1 == PKCS12_add_localkeyid(pBag, (unsigned char*)bag.pszKeyId,
                                                       (int)strlen(bag.pszKeyId));
}

Bytes BuildPkcs12(const std::vector<Safe>& safes)
{
    STACK_OF(PKCS7)* pSafes = nullptr;
    for (const Safe& safe : safes) {
        STACK_OF(PKCS12_SAFEBAG)* pBags = nullptr;
        bool bOk = true;
        for (const Bag& bag : safe.bags) bOk = bOk && AddBag(&pBags, bag);
        bOk = bOk && PKCS12_add_safe(&pSafes, pBags, safe.bEncrypted ? NID_aes_256_cbc : -1, 2048,
                                     kPassword);
        sk_PKCS12_SAFEBAG_pop_free(pBags, PKCS12_SAFEBAG_free);
        if (!bOk) {
            sk_PKCS7_pop_free(pSafes, PKCS7_free);
            return Bytes();
        }
    }
    OsslPtr<PKCS12> pP12(PKCS12_add_safes(pSafes, 0));
    sk_PKCS7_pop_free(pSafes, PKCS7_free);
    if (!pP12 || 1 != PKCS12_set_mac(pP12.get(), kPassword, -1, nullptr, 0, 2048, EVP_sha256()))
        return Bytes();
    return dertest::ByOpenSSL(i2d_PKCS12, pP12.get());
}

// The file with its MAC made again after bytes inside it changed.
Bytes Remac(const Bytes& der)
{
    const unsigned char* p = der.data();
    OsslPtr<PKCS12> pP12(d2i_PKCS12(nullptr, &p, (long)der.size()));
    if (!pP12 || 1 != PKCS12_set_mac(pP12.get(), kPassword, -1, nullptr, 0, 2048, EVP_sha256()))
        return Bytes();
    return dertest::ByOpenSSL(i2d_PKCS12, pP12.get());
}

// What a reader handed over, in comparable form.
struct Opened {
    int nResult = 0;
    OsslPtr<EVP_PKEY> pKey;
    OsslPtr<X509> pCert;
    OsslPtr<STACK_OF(X509)> pChain;
};

std::string Alias(X509* pCert)
{
    int n = 0;
    const unsigned char* p = X509_alias_get0(pCert, &n);
    return p ? std::string((const char*)p, (size_t)n) : "(none)";
}

std::string KeyId(X509* pCert)
{
    int n = 0;
    const unsigned char* p = X509_keyid_get0(pCert, &n);
    return p ? std::string((const char*)p, (size_t)n) : "(none)";
}

void ExpectSameCert(X509* pOurs, X509* pPeers)
{
    ASSERT_EQ(NULL != pPeers, NULL != pOurs);
    if (!pOurs) return;
    EXPECT_EQ(dertest::ByOpenSSL(i2d_X509, pPeers), dertest::ByOpenSSL(i2d_X509, pOurs));
    EXPECT_EQ(Alias(pPeers), Alias(pOurs));
    EXPECT_EQ(KeyId(pPeers), KeyId(pOurs));
}

void ExpectSameContents(const Opened& ours, const Opened& peers)
{
    ASSERT_EQ(NULL != peers.pKey, NULL != ours.pKey);
    if (ours.pKey) {
        EXPECT_EQ(1, EVP_PKEY_eq(ours.pKey.get(), peers.pKey.get()));
    }
    ExpectSameCert(ours.pCert.get(), peers.pCert.get());
    const int nChain = peers.pChain ? sk_X509_num(peers.pChain.get()) : 0;
    ASSERT_EQ(nChain, ours.pChain ? sk_X509_num(ours.pChain.get()) : 0);
    for (int i = 0; i < nChain; ++i) {
        SCOPED_TRACE("chain certificate " + std::to_string(i));
        ExpectSameCert(sk_X509_value(ours.pChain.get(), i), sk_X509_value(peers.pChain.get(), i));
    }
}

Opened ParseByPeer(const Bytes& der)
{
    Opened peers;
    const unsigned char* p = der.data();
    OsslPtr<PKCS12> pP12(d2i_PKCS12(nullptr, &p, (long)der.size()));
    EVP_PKEY* pKey = nullptr;
    X509* pCert = nullptr;
    STACK_OF(X509)* pChain = nullptr;
    peers.nResult = pP12 ? PKCS12_parse(pP12.get(), kPassword, &pKey, &pCert, &pChain) : 0;
    peers.pKey.reset(pKey);
    peers.pCert.reset(pCert);
    peers.pChain.reset(pChain);
    ERR_clear_error();
    return peers;
}

Opened ParseByUs(const Bytes& der, bool bWantChain)
{
    Opened ours;
    support::TempFile file(der);
    FILE* fp = fopen(file.Path().c_str(), "rb");
    if (!fp) return ours;
    EVP_PKEY* pKey = nullptr;
    X509* pCert = nullptr;
    STACK_OF(X509)* pChain = nullptr;
    ours.nResult = ParsePFXFile(fp, kPassword, &pKey, &pCert, bWantChain ? &pChain : nullptr);
    fclose(fp);
    ours.pKey.reset(pKey);
    ours.pCert.reset(pCert);
    ours.pChain.reset(pChain);
    return ours;
}

class PKCS12Reader : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void TearDown() override { EXPECT_EQ(VOMU_OK, SMKernelUninitialize()); }
};

TEST_F(PKCS12Reader, ChoosesAsPKCS12ParseDoes)
{
    const Bag sign{true, "rsa/ee_sign", nullptr, nullptr};
    const Bag enc{true, "rsa/ee_enc", nullptr, nullptr};
    const Bag signCert{false, "rsa/ee_sign", "signer", "id-1"};
    const Bag encCert{false, "rsa/ee_enc", nullptr, "id-2"};
    const Bag intCert{false, "rsa/int", "intermediate", nullptr};
    const Bag otherCert{false, "rsa/other_root", nullptr, nullptr};
    const struct {
        const char* pszName;
        std::vector<Safe> safes;
    } layouts[] = {
        {"certificate after the chain", {{{intCert, otherCert, signCert}, false}, {{sign}, false}}},
        {"key bag first, one safe", {{{sign, intCert, signCert}, true}}},
        {"two keys: the first one counts", {{{enc, sign}, false}, {{signCert, encCert}, true}}},
        {"no certificate matches the key", {{{enc}, false}, {{signCert, intCert}, true}}},
        {"the same certificate twice", {{{signCert, signCert}, true}, {{sign}, false}}},
        {"plain key bag", {{{intCert, signCert}, true}, {{{true, "rsa/ee_sign", "k", "id-1", false}}, false}}},
        {"certificates only", {{{signCert, intCert}, true}}},
        {"key only", {{{sign}, true}}},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.pszName);
        const Bytes der = BuildPkcs12(layout.safes);
        ASSERT_FALSE(der.empty());
        const Opened peers = ParseByPeer(der);
        ASSERT_EQ(1, peers.nResult);
        const Opened ours = ParseByUs(der, true);
        ASSERT_EQ(VOMU_OK, ours.nResult);
        ExpectSameContents(ours, peers);
        // Without the chain the same key and certificate, nothing else.
        const Opened withoutChain = ParseByUs(der, false);
        ASSERT_EQ(VOMU_OK, withoutChain.nResult);
        EXPECT_EQ(nullptr, withoutChain.pChain);
        ExpectSameCert(withoutChain.pCert.get(), peers.pCert.get());
    }
}

TEST_F(PKCS12Reader, CertificateBagThatDoesNotDecodeFailsAsPKCS12Parse)
{
    const Bytes good = BuildPkcs12({{{{false, "rsa/int", nullptr, nullptr}}, false},
                                    {{{true, "rsa/ee_sign", nullptr, nullptr}}, true}});
    const Bytes cert = peer::ReadFileBytes(Pki("rsa/int.der"));
    ASSERT_FALSE(good.empty() || cert.empty());
    Bytes bad = good;
    auto at = std::search(bad.begin(), bad.end(), cert.begin(), cert.end());
    ASSERT_NE(bad.end(), at);  // the certificate lies in the clear in a data safe
    at[0] = 0x31;              // a SET where the Certificate SEQUENCE belongs
    bad = Remac(bad);
    ASSERT_FALSE(bad.empty());
    EXPECT_EQ(0, ParseByPeer(bad).nResult);

    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    EXPECT_EQ(VOMU_E_BAD_ASN1_DATA, ParseByUs(bad, true).nResult);
    EXPECT_TRUE(log.Contains("PKCS12_parse)\t\t--Failed:(0xa0071041) [Reason:0 == nResult]"))
        << log.Contents();
}

TEST_F(PKCS12Reader, NssFileKeepsItsBagNamesOnTheCertificates)
{
    // Names and key ids as `openssl pkcs12 -info -legacy` prints them for this file; NSS's
    // localKeyID is the certificate's SHA-1.
    const Bytes der = peer::ReadFileBytes(Pki("p12/nss_rc4_128.p12"));
    support::TempFile file(der);
    FILE* fp = fopen(file.Path().c_str(), "rb");
    ASSERT_NE(nullptr, fp);
    X509* pCert = nullptr;
    STACK_OF(X509)* pChain = nullptr;
    EXPECT_EQ(VOMU_OK, ParsePFXFile(fp, support::kP12Password, nullptr, &pCert, &pChain));
    fclose(fp);
    OsslPtr<X509> pOwnedCert(pCert);
    OsslPtr<STACK_OF(X509)> pOwnedChain(pChain);
    ASSERT_NE(nullptr, pCert);
    ASSERT_EQ(1, pChain ? sk_X509_num(pChain) : 0);
    EXPECT_EQ("RSA Signer - MORV Test", Alias(pCert));
    unsigned char abySha1[20];
    unsigned int nSha1 = 0;
    ASSERT_EQ(1, X509_digest(pCert, EVP_sha1(), abySha1, &nSha1));
    EXPECT_EQ(std::string((const char*)abySha1, nSha1), KeyId(pCert));
    EXPECT_EQ("MORV Test RSA Intermediate CA - MORV Test", Alias(sk_X509_value(pChain, 0)));
    EXPECT_EQ(peer::ReadFileBytes(Pki("rsa/int.der")),
              dertest::ByOpenSSL(i2d_X509, sk_X509_value(pChain, 0)));
}

}  // namespace
