// Memory running out at any allocation while a SignedData tree is built: the builder fails with
// VOMU_E_FAIL, leaves the caller's SignerInfos to the caller and keeps nothing else (the live
// count of the failing allocator shows a leak without a sanitizer).
#include <gtest/gtest.h>

#include <memory>

#include "DerTestUtil.h"
#include "FailingAllocator.h"
#include "OpenSSLPeer.h"
#include "PKCS7SignedDataOperations.h"
#include "PkiFixtures.h"
#include "vomu_result.h"

namespace {

using support::FailAfter;
using support::g_nLiveAllocations;

TEST(SignedDataAllocation, EveryFailedAllocationFailsCleanly)
{
    const peer::Bytes cert = peer::ReadFileBytes(support::Pki("rsa/ee_sign.der"));
    ASSERT_FALSE(cert.empty());
    unsigned char abyData[] = "content of the SignedData";
    for (bool bAttached : {true, false}) {
        SCOPED_TRACE(bAttached ? "attached" : "detached");
        bool bBuilt = false;
        for (long n = 0; n < 1000 && !bBuilt; ++n) {
            std::unique_ptr<NodeEx> pSignerInfos(new NodeEx());
            pSignerInfos->Tag = 0x31;
            NodeEx* pSignedData = nullptr;
            const long nLiveBefore = g_nLiveAllocations.load();
            int nResult;
            {
                FailAfter fail(n);
                nResult = ConstructNode_SignedData(
                    1, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.7.1", abyData,
                    (int)sizeof abyData, nullptr, bAttached, const_cast<unsigned char*>(cert.data()),
                    (int)cert.size(), pSignerInfos.get(), &pSignedData);
            }
            const long nLiveAfter = g_nLiveAllocations.load();
            if (VOMU_OK == nResult) {
                pSignerInfos.release();  // the tree owns it now
                delete pSignedData;
                bBuilt = true;
                continue;
            }
            SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
            EXPECT_EQ(VOMU_E_FAIL, nResult);
            EXPECT_EQ(nullptr, pSignedData);
            EXPECT_EQ(nLiveBefore, nLiveAfter);
        }
        EXPECT_TRUE(bBuilt);
    }
}

}  // namespace
