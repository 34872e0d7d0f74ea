// A message longer than 2^32 bytes: a 32-bit length count would wrap and give a wrong
// digest. Compared with OpenSSL's SM3 fed the same generated chunks.
#include <gtest/gtest.h>

#include <stdint.h>

#include <openssl/evp.h>

#include <vector>

#include "OsslPtr.h"
#include "SM3.h"
#include "SmPeer.h"

TEST(SM3Slow, FourGibibytesPlusOneMatchOpenSSL)
{
    const uint64_t kTotal = (uint64_t{1} << 32) + 1;
    morv::OsslPtr<EVP_MD> md(EVP_MD_fetch(NULL, "SM3", NULL));
    morv::OsslPtr<EVP_MD_CTX> peer(EVP_MD_CTX_new());
    ASSERT_TRUE(md && peer && 1 == EVP_DigestInit_ex(peer.get(), md.get(), NULL));
    SM3_CTX ctx;
    ASSERT_EQ(1, SM3_Init(&ctx));

    // Chunks of an odd size so block boundaries move through them; contents vary per chunk.
    std::vector<unsigned char> chunk(1000003);
    uint64_t state = 0x9e3779b97f4a7c15u;
    for (uint64_t done = 0; done < kTotal;) {
        for (auto& b : chunk) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            b = (unsigned char)state;
        }
        const size_t n = (size_t)std::min<uint64_t>(chunk.size(), kTotal - done);
        ASSERT_EQ(1, SM3_Update(&ctx, chunk.data(), n));
        ASSERT_EQ(1, EVP_DigestUpdate(peer.get(), chunk.data(), n));
        done += n;
    }
    unsigned char ours[SM3_DIGEST_LENGTH], theirs[EVP_MAX_MD_SIZE];
    unsigned int nTheirs = 0;
    ASSERT_EQ(1, SM3_Final(ours, &ctx));
    ASSERT_EQ(1, EVP_DigestFinal_ex(peer.get(), theirs, &nTheirs));
    EXPECT_EQ(smtest::ToHex(theirs, nTheirs), smtest::ToHex(ours, sizeof(ours)));
}
