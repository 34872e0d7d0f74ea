// SM2 certificates through OpenSSL's own certificate code in kctx: signed with X509_sign_ctx,
// checked with X509_verify_cert (our SM2 ran: the counter moves), accepted by the openssl CLI
// with the standard ID; OpenSSL's empty-ID certificates still verify in the default context.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <string>

#include "OsslPtr.h"
#include "SM2.h"
#include "SMKernel.h"
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

int VerifyChain(X509* pRoot, X509* pInter, X509* pLeaf)
{
    morv::OsslPtr<X509_STORE> pStore(X509_STORE_new());
    X509_STORE_add_cert(pStore.get(), pRoot);
    STACK_OF(X509)* pUntrusted = sk_X509_new_null();
    sk_X509_push(pUntrusted, pInter);
    morv::OsslPtr<X509_STORE_CTX> pCtx(smk::NewX509StoreCtx());
    int nResult = X509_STORE_CTX_init(pCtx.get(), pStore.get(), pLeaf, pUntrusted) == 1
                      ? X509_verify_cert(pCtx.get()) : -2;
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

}  // namespace
