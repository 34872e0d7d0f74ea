// Memory running out at any allocation while a SignedData tree is built: the builder fails with
// VOMU_E_FAIL, leaves the caller's SignerInfos to the caller and keeps nothing else. The
// program's own operator new fails the n-th allocation once armed and counts what is live, so
// a leak shows without a sanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "DerTestUtil.h"
#include "PKCS7SignedDataOperations.h"
#include "PkiFixtures.h"
#include "OpenSSLPeer.h"
#include "vomu_result.h"

namespace {

// Allocations left before one fails; negative: none fails.
std::atomic<long> g_nAllocationsLeft{-1};
// Blocks handed out by operator new and not yet deleted.
std::atomic<long> g_nLive{0};

}  // namespace

void* operator new(std::size_t n)
{
    long nLeft = g_nAllocationsLeft.load();
    if (nLeft == 0) throw std::bad_alloc();
    if (nLeft > 0) g_nAllocationsLeft = nLeft - 1;
    void* p = malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    ++g_nLive;
    return p;
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    try {
        return ::operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return ::operator new(n, tag); }

namespace {
void Release(void* p)
{
    if (!p) return;
    --g_nLive;
    free(p);
}
}  // namespace

// Every form takes its memory from malloc, so free is the matching release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
#pragma GCC diagnostic pop

namespace {

struct FailAfter {
    explicit FailAfter(long n) { g_nAllocationsLeft = n; }
    ~FailAfter() { g_nAllocationsLeft = -1; }
};

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
            const long nLiveBefore = g_nLive.load();
            int nResult;
            {
                FailAfter fail(n);
                nResult = ConstructNode_SignedData(
                    1, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.7.1", abyData,
                    (int)sizeof abyData, nullptr, bAttached, const_cast<unsigned char*>(cert.data()),
                    (int)cert.size(), pSignerInfos.get(), &pSignedData);
            }
            const long nLiveAfter = g_nLive.load();
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
