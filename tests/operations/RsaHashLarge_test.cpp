// A file beyond every 32-bit count is hashed whole: the digest equals `openssl dgst` of the
// same sparse file of 4 GiB + 10 bytes, with marks at both ends so a lost head or tail shows.
#include <gtest/gtest.h>

#include "RSADataSigning.h"
#include "RsaTestUtil.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "vomu_result.h"

using rsatest::OpenFile;

namespace {

TEST(RsaHashLarge, SparseFileBeyond4GiBHashesWhole)
{
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    support::TempDir dir("morv_large");
    ASSERT_FALSE(dir.Path().empty());
    const std::string path = dir.File("sparse.bin");
    ASSERT_EQ(0, peer::RunCommand("truncate -s 4294967306 " + path +
                                  " && printf head | dd of=" + path + " conv=notrunc status=none" +
                                  " && printf tail | dd of=" + path +
                                  " bs=1 seek=4294967302 conv=notrunc status=none"));
    for (const auto& row : {std::make_pair(NID_sha256, "sha256"), std::make_pair(NID_ChinaSM3, "sm3")}) {
        SCOPED_TRACE(row.second);
        const peer::Bytes expected = rsatest::CliDigest(row.second, path);
        ASSERT_EQ(32u, expected.size());
        OpenFile in(path);
        unsigned char* pbyHash = nullptr;
        int nHashSize = 0;
        ASSERT_EQ(VOMU_OK, CalculateFileHash(in.Get(), row.first, &pbyHash, &nHashSize));
        EXPECT_EQ(peer::Hex(expected), peer::Hex(pbyHash, (size_t)nHashSize));
        delete[] pbyHash;
    }
}

}  // namespace
