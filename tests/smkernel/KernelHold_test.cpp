// The kernel hold: fails at once while the kernel is not running, a stop waits for the holds in
// flight and lets no new one in, holds nest on one thread; and the objects made once per start.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/provider.h>

#include <atomic>
#include <string>
#include <thread>

#include "KernelHold.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "vomu_result.h"

namespace {

// Waits (without a clock) until a stop running on another thread has closed the kernel.
void WaitUntilClosed()
{
    for (;;) {
        const smk::KernelHold probe;
        if (!probe) return;
        std::this_thread::yield();
    }
}

TEST(KernelHold, FailsAtOnceWhileStoppedAndServesAfterEachStart)
{
    EXPECT_FALSE(smk::KernelHold());
    for (int nRound = 0; nRound < 2; ++nRound) {
        ASSERT_EQ(VOMU_OK, SMKernelInitialize());
        {
            const smk::KernelHold hold;
            EXPECT_TRUE(hold) << "round " << nRound;
            EXPECT_TRUE(smk::KernelHold::HeldHere());
            EXPECT_NE(nullptr, smk::LibCtx());
        }
        EXPECT_FALSE(smk::KernelHold::HeldHere());
        ASSERT_EQ(VOMU_OK, SMKernelUninitialize());
        EXPECT_FALSE(smk::KernelHold()) << "round " << nRound;
    }
}

// A stop closes the kernel to new holds at once, but frees nothing until the hold in flight
// is given back; the holder's nested holds still succeed meanwhile (no deadlock).
TEST(KernelHold, StopWaitsForTheHoldInFlight)
{
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    std::atomic<bool> bStopped{false};
    std::thread stopper;
    {
        const smk::KernelHold outer;
        ASSERT_TRUE(outer);
        OSSL_LIB_CTX* pLibCtx = smk::LibCtx();
        stopper = std::thread([&] {
            EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
            bStopped = true;
        });
        std::thread(WaitUntilClosed).join();
        const smk::KernelHold inner;
        EXPECT_TRUE(inner) << "a nested hold must not wait behind the stop";
        EXPECT_FALSE(bStopped.load());
        EXPECT_EQ(pLibCtx, smk::LibCtx()) << "freed under a hold";
        EXPECT_NE(nullptr, smk::KernelDigest(NID_sha256));
    }
    stopper.join();
    EXPECT_TRUE(bStopped.load());
    EXPECT_EQ(nullptr, smk::LibCtx());
    EXPECT_EQ(nullptr, smk::KernelDigest(NID_sha256));
}

TEST(KernelHold, StopFromInsideAHoldIsRefusedInsteadOfWaitingForItself)
{
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    {
        const smk::KernelHold hold;
        ASSERT_TRUE(hold);
        EXPECT_EQ(VOMU_E_FAIL, SMKernelUninitialize());
    }
    const smk::KernelHold after;
    EXPECT_TRUE(after) << "the refused stop left the kernel running";
    EXPECT_NE(nullptr, smk::Sm3Md());
}

struct Fetched {
    int nNid;
    const char* pszProvider;
};

TEST(KernelObjects, DigestsAndCiphersComeFromTheirProvidersOncePerStart)
{
    const Fetched digests[] = {{NID_sm3, "smk"},        {NID_md5, "default"},    {NID_sha1, "default"},
                               {NID_sha256, "default"}, {NID_sha384, "default"}, {NID_sha512, "default"}};
    const Fetched ciphers[] = {{NID_sm4_cbc, "smk"},
                               {NID_rc4, "legacy"},
                               {NID_des_ede3_ecb, "default"},
                               {NID_des_ede3_cbc, "default"}};
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    for (const Fetched& f : digests) {
        const EVP_MD* pMd = smk::KernelDigest(f.nNid);
        ASSERT_NE(nullptr, pMd) << f.nNid;
        EXPECT_EQ(f.nNid, EVP_MD_get_type(pMd));
        EXPECT_STREQ(f.pszProvider, OSSL_PROVIDER_get0_name(EVP_MD_get0_provider(pMd))) << f.nNid;
        EXPECT_EQ(pMd, smk::KernelDigest(f.nNid)) << "one object for every call";
    }
    for (const Fetched& f : ciphers) {
        const EVP_CIPHER* pCipher = smk::KernelCipher(f.nNid);
        ASSERT_NE(nullptr, pCipher) << f.nNid;
        EXPECT_EQ(f.nNid, EVP_CIPHER_get_nid(pCipher));
        EXPECT_STREQ(f.pszProvider, OSSL_PROVIDER_get0_name(EVP_CIPHER_get0_provider(pCipher))) << f.nNid;
    }
    EXPECT_EQ(smk::Sm3Md(), smk::KernelDigest(NID_sm3));
    EXPECT_EQ(smk::Sm4CbcCipher(), smk::KernelCipher(NID_sm4_cbc));
    EXPECT_EQ(nullptr, smk::KernelDigest(NID_sha224)) << "a number no operation uses";
    EXPECT_EQ(nullptr, smk::KernelCipher(NID_aes_128_cbc));
    EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
}

// Under a hold the SM groups are the kernel's own; outside one a process-wide group of the
// same curve serves. Both describe the same curves.
TEST(KernelObjects, GroupsUnderAHoldAreTheKernelsAndEqualTheOnesWithout)
{
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    for (int nCurve : {NID_prime256v1SM2, NID_prime256v1SM2TEST}) {
        const EC_GROUP* pOutside = smk::SMGroup(nCurve);
        ASSERT_NE(nullptr, pOutside);
        const smk::KernelHold hold;
        ASSERT_TRUE(hold);
        const EC_GROUP* pKernel = smk::SMGroup(nCurve);
        ASSERT_NE(nullptr, pKernel);
        EXPECT_NE(pOutside, pKernel) << nCurve;
        EXPECT_EQ(0, EC_GROUP_cmp(pOutside, pKernel, nullptr)) << nCurve;
        EXPECT_EQ(NID_prime256v1SM2 == nCurve, smk::IsPublishedCurveGroup(pKernel));
    }
    EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
}

}  // namespace
