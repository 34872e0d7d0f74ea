// Kernel life cycle, the names our provider answers in kctx, and the untouched default context.
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <string>

#include "OsslPtr.h"
#include "SMErr.h"
#include "SMKernel.h"
#include "SMProvider.h"
#include "vomu_result.h"

namespace {

std::string MdProvider(OSSL_LIB_CTX* pLibCtx, const char* pszName)
{
    morv::OsslPtr<EVP_MD> pMd(EVP_MD_fetch(pLibCtx, pszName, nullptr));
    return pMd ? OSSL_PROVIDER_get0_name(EVP_MD_get0_provider(pMd.get())) : "";
}

std::string CipherProvider(OSSL_LIB_CTX* pLibCtx, const char* pszName)
{
    morv::OsslPtr<EVP_CIPHER> pCipher(EVP_CIPHER_fetch(pLibCtx, pszName, nullptr));
    return pCipher ? OSSL_PROVIDER_get0_name(EVP_CIPHER_get0_provider(pCipher.get())) : "";
}

class KernelRunning : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void TearDown() override { EXPECT_EQ(VOMU_OK, SMKernelUninitialize()); }
};

const char* const SM3_NAMES[] = {"sm3", "SM3", "ChinaSM3", "tls1-sm3", "1.2.156.10197.1.401"};

TEST_F(KernelRunning, EverySm3NameReachesOurProvider)
{
    for (const char* pszName : SM3_NAMES)
        EXPECT_EQ("smk", MdProvider(smk::LibCtx(), pszName)) << pszName;
    ASSERT_NE(nullptr, smk::Sm3Md());
    EXPECT_STREQ("smk", OSSL_PROVIDER_get0_name(EVP_MD_get0_provider(smk::Sm3Md())));
}

TEST_F(KernelRunning, StartingTwiceKeepsTheSameContext)
{
    OSSL_LIB_CTX* pFirst = smk::LibCtx();
    ASSERT_NE(nullptr, pFirst);
    EXPECT_EQ(VOMU_OK, SMKernelInitialize());
    EXPECT_EQ(pFirst, smk::LibCtx());
}

// Everything else of the library (SHA-256, AES, RSA) still comes from "default" in kctx.
TEST_F(KernelRunning, OtherAlgorithmsComeFromTheDefaultProvider)
{
    EXPECT_EQ("default", MdProvider(smk::LibCtx(), "SHA256"));
    EXPECT_EQ("default", CipherProvider(smk::LibCtx(), "AES-128-CBC"));
    EXPECT_EQ("legacy", CipherProvider(smk::LibCtx(), "RC4"));
}

TEST_F(KernelRunning, ObjectsAreMadeInTheKernelContext)
{
    morv::OsslPtr<X509> pCert(smk::NewX509());
    morv::OsslPtr<X509_CRL> pCrl(smk::NewX509Crl());
    morv::OsslPtr<PKCS7> pP7(smk::NewPKCS7());
    morv::OsslPtr<X509_STORE_CTX> pStoreCtx(smk::NewX509StoreCtx());
    EXPECT_TRUE(pCert && pCrl && pP7 && pStoreCtx);
}

// The default context keeps OpenSSL's own SM3/SM4 and knows nothing of ours.
TEST_F(KernelRunning, DefaultContextIsUntouched)
{
    EXPECT_EQ("default", MdProvider(nullptr, "SM3"));
    EXPECT_EQ("default", CipherProvider(nullptr, "SM4-CBC"));
    EXPECT_EQ("default", MdProvider(nullptr, "SHA256"));
    EXPECT_EQ("default", CipherProvider(nullptr, "AES-256-CBC"));
    EXPECT_EQ("", MdProvider(nullptr, "ChinaSM3"));
    EXPECT_EQ(0, OSSL_PROVIDER_available(nullptr, "smk"));
    EXPECT_EQ(0, OSSL_PROVIDER_available(nullptr, "legacy"));
}

TEST(KernelLifeCycle, StopBeforeStartAndTwiceAfterIsFine)
{
    EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
    EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
}

TEST(KernelLifeCycle, LookupsFailWhileStopped)
{
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    ASSERT_EQ(VOMU_OK, SMKernelUninitialize());
    EXPECT_EQ(nullptr, smk::LibCtx());
    EXPECT_EQ(nullptr, smk::Sm3Md());
    EXPECT_EQ(nullptr, smk::Sm4CbcCipher());
    EXPECT_EQ(nullptr, smk::NewX509());
    EXPECT_EQ(nullptr, smk::NewPKCS7());
    EXPECT_EQ(nullptr, smk::NewX509StoreCtx());
    smk::ProviderCounters counters;
    EXPECT_EQ(0, smk::GetProviderCounters(&counters));
}

TEST(KernelLifeCycle, StartStopStartFindsTheNamesAgain)
{
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(VOMU_OK, SMKernelInitialize()) << "round " << i;
        for (const char* pszName : SM3_NAMES)
            EXPECT_EQ("smk", MdProvider(smk::LibCtx(), pszName)) << pszName << " round " << i;
        ASSERT_EQ(VOMU_OK, SMKernelUninitialize());
    }
}

}  // namespace

// OpenSSL keeps pointers to our error texts; once the kernel has stopped (and the module may
// be unloaded) it must hold none of them, and a new start must bring them back.
TEST(KernelLifeCycle, ErrorTextsAreRegisteredOnlyWhileRunning)
{
    const unsigned long ulKernelReason = ERR_PACK(smk::SMErrLib(), 0, smk::SMK_R_BAD_SIGNATURE);
    const unsigned long ulProviderReason = ERR_PACK(smk::SMErrLib(), 0, smk::SMK_R_INVALID_SM2_CIPHER);
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    ASSERT_NE(nullptr, ERR_reason_error_string(ulKernelReason));
    EXPECT_STREQ("bad signature", ERR_reason_error_string(ulKernelReason));
    EXPECT_STREQ("invalid SM2Cipher", ERR_reason_error_string(ulProviderReason));
    ASSERT_EQ(VOMU_OK, SMKernelUninitialize());
    EXPECT_EQ(nullptr, ERR_reason_error_string(ulKernelReason));
    EXPECT_EQ(nullptr, ERR_reason_error_string(ulProviderReason));
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    EXPECT_STREQ("bad signature", ERR_reason_error_string(ulKernelReason));
    EXPECT_STREQ("invalid SM2Cipher", ERR_reason_error_string(ulProviderReason));
    EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
}
