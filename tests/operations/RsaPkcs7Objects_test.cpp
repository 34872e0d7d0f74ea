// The crypto-library level of RSA SignedData: our signing step against OpenSSL's own
// PKCS7_sign and the CLI, and our verification of every SignerInfo of an object.
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pem.h>

#include <string>

#include "OsslPtr.h"
#include "RSADataSigning.h"
#include "RsaTestUtil.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "vomu_result.h"

using morv::OsslPtr;
using peer::Bytes;
using rsatest::Pki;
using rsatest::SmimeSign;

namespace {

class RsaPkcs7Objects : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
};

// The library's own reason for an unknown digest reaches the error queue.
TEST_F(RsaPkcs7Objects, SignExReportsUnknownDigestOnTheErrorQueue)
{
    OsslPtr<BIO> pCertBio(BIO_new_file(Pki("rsa/ee_sign.pem").c_str(), "r"));
    OsslPtr<X509> pCert(smk::PemReadX509(pCertBio.get()));
    OsslPtr<EVP_PKEY> pKey = peer::ReadPemKey(Pki("rsa/ee_sign.key"), smk::LibCtx());
    ASSERT_TRUE(pCert && pKey);
    for (int nNid : {NID_md5, NID_ChinaSM3, NID_sha224}) {
        ERR_clear_error();
        OsslPtr<BIO> pData(BIO_new_mem_buf("abc", 3));
        EXPECT_EQ(nullptr, morv::PKCS7_sign_ex(pCert.get(), pKey.get(), nullptr, pData.get(), nNid, PKCS7_BINARY));
        const unsigned long nError = ERR_peek_last_error();
        EXPECT_EQ(ERR_LIB_PKCS7, ERR_GET_LIB(nError));
        EXPECT_EQ(PKCS7_R_UNKNOWN_DIGEST_TYPE, ERR_GET_REASON(nError));
    }
}

// The extra certificates and the flags of the signing step, against OpenSSL's own PKCS7_sign
// in its default context (whose default digest for RSA is SHA-256) with the same arguments.
TEST_F(RsaPkcs7Objects, SignExMatchesOpensslsPkcs7Sign)
{
    const Bytes msg = rsatest::Message(700, 8);
    peer::TempFile file(msg);
    auto read = [](const std::string& name, OSSL_LIB_CTX* pLibCtx, OsslPtr<X509>& cert, OsslPtr<EVP_PKEY>* pKey) {
        const std::string path = Pki("rsa/" + name + ".pem");
        if (pLibCtx) {
            OsslPtr<BIO> c(BIO_new_file(path.c_str(), "r"));
            cert.reset(smk::PemReadX509(c.get()));
        } else {
            cert = peer::ReadPemCert(path);
        }
        if (pKey) *pKey = peer::ReadPemKey(Pki("rsa/" + name + ".key"), pLibCtx);
    };
    OsslPtr<X509> pCert, pPeerCert, pInt, pPeerInt;
    OsslPtr<EVP_PKEY> pKey, pPeerKey;
    read("ee_sign", smk::LibCtx(), pCert, &pKey);
    read("ee_sign", nullptr, pPeerCert, &pPeerKey);
    read("int", smk::LibCtx(), pInt, nullptr);
    read("int", nullptr, pPeerInt, nullptr);
    OsslPtr<STACK_OF(X509)> pExtra(sk_X509_new_null()), pPeerExtra(sk_X509_new_null());
    ASSERT_TRUE(pCert && pKey && pPeerCert && pPeerKey && pInt && pPeerInt && pExtra && pPeerExtra);
    ASSERT_TRUE(sk_X509_push(pExtra.get(), pInt.release()) && sk_X509_push(pPeerExtra.get(), pPeerInt.release()));
    const int nBase = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_DETACHED;
    for (int nFlags : {nBase, nBase | PKCS7_NOCERTS, PKCS7_BINARY | PKCS7_NOATTR}) {
        SCOPED_TRACE(nFlags);
        OsslPtr<BIO> pData(BIO_new_mem_buf(msg.data(), (int)msg.size()));
        OsslPtr<BIO> pPeerData(BIO_new_mem_buf(msg.data(), (int)msg.size()));
        OsslPtr<PKCS7> p7(morv::PKCS7_sign_ex(pCert.get(), pKey.get(), pExtra.get(), pData.get(), NID_sha256,
                                              nFlags));
        OsslPtr<PKCS7> pPeer(PKCS7_sign(pPeerCert.get(), pPeerKey.get(), pPeerExtra.get(), pPeerData.get(), nFlags));
        ASSERT_TRUE(p7 && pPeer);
        EXPECT_EQ(peer::Hex(dertest::ByOpenSSL(i2d_PKCS7, pPeer.get())),
                  peer::Hex(dertest::ByOpenSSL(i2d_PKCS7, p7.get())));
    }
    // Unfinished on request: the caller finishes it.
    OsslPtr<BIO> pData(BIO_new_mem_buf(msg.data(), (int)msg.size()));
    OsslPtr<PKCS7> p7(morv::PKCS7_sign_ex(pCert.get(), pKey.get(), nullptr, nullptr, NID_sha256,
                                          nBase | PKCS7_PARTIAL));
    ASSERT_TRUE(p7);
    ASSERT_EQ(1, PKCS7_final(p7.get(), pData.get(), nBase));
    EXPECT_EQ(peer::Hex(SmimeSign("-noattr -md sha256", file.Path())),
              peer::Hex(dertest::ByOpenSSL(i2d_PKCS7, p7.get())));
}

// DER SignedData of two signers made by OpenSSL in its default context: ee_sign with its
// certificate, and ee_enc's key whose certificate is left out when bSecondCert is false.
Bytes TwoSigners(const Bytes& msg, bool bSecondCert)
{
    auto load = [](const std::string& name, OsslPtr<X509>& cert, OsslPtr<EVP_PKEY>& key) {
        cert = peer::ReadPemCert(Pki("rsa/" + name + ".pem"));
        key = peer::ReadPemKey(Pki("rsa/" + name + ".key"));
    };
    OsslPtr<X509> c1, c2;
    OsslPtr<EVP_PKEY> k1, k2;
    load("ee_sign", c1, k1);
    load("ee_enc", c2, k2);
    const int flags = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_DETACHED | PKCS7_PARTIAL;
    OsslPtr<PKCS7> p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
    OsslPtr<BIO> data(BIO_new_mem_buf(msg.data(), (int)msg.size()));
    if (!p7 || !PKCS7_sign_add_signer(p7.get(), c1.get(), k1.get(), EVP_sha256(), flags) ||
        !PKCS7_sign_add_signer(p7.get(), c2.get(), k2.get(), EVP_sha1(),
                               flags | (bSecondCert ? 0 : PKCS7_NOCERTS)) ||
        !PKCS7_final(p7.get(), data.get(), flags))
        return Bytes();
    return dertest::ByOpenSSL(i2d_PKCS7, p7.get());
}

OsslPtr<PKCS7> InKernel(const Bytes& der)
{
    PKCS7* p7 = smk::NewPKCS7();
    const unsigned char* p = der.data();
    return OsslPtr<PKCS7>(d2i_PKCS7(&p7, &p, (long)der.size()));
}

TEST_F(RsaPkcs7Objects, VerifySignatureChecksEverySigner)
{
    const Bytes msg = rsatest::Message(5000, 2);
    peer::TempFile file(msg);
    Bytes other = msg;
    other[0] ^= 1;
    auto verify = [](const Bytes& der, const Bytes* pData) {
        OsslPtr<PKCS7> p7 = InKernel(der);
        if (!p7) return 99;
        OsslPtr<BIO> bio(pData ? BIO_new_mem_buf(pData->data(), (int)pData->size()) : nullptr);
        // The content BIO stays the caller's and is freed here: a chain that kept it would
        // free it twice (the sanitizer build sees that), one that dropped it would leak.
        const int nResult = PKCS7_verify_signature(p7.get(), bio.get());
        if (bio && BIO_next(bio.get())) return 98;
        return nResult;
    };
    const Bytes both = TwoSigners(msg, true), missing = TwoSigners(msg, false);
    const Bytes attached = SmimeSign("-md sha256 -nodetach", file.Path());
    ASSERT_FALSE(both.empty() || missing.empty() || attached.empty());
    EXPECT_EQ(0, verify(both, &msg));
    EXPECT_EQ(-1, verify(missing, &msg));
    EXPECT_EQ(-1, verify(both, &other));
    EXPECT_EQ(-1, verify(both, nullptr));
    EXPECT_EQ(0, verify(attached, nullptr));
    EXPECT_EQ(-1, verify(attached, &msg));
    EXPECT_EQ(-1, PKCS7_verify_signature(nullptr, nullptr));
}

}  // namespace
