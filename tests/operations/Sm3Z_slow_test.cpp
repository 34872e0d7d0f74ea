// Whole-file SM3 beyond 32-bit counts: a sparse file of 4 GiB + 10 bytes (`truncate -s`)
// hashed whole equals `openssl dgst -sm3` of the same file, never the digest of a prefix.
#include <gtest/gtest.h>

#include <string>

#include "DataSigning.h"
#include "SMKernel.h"
#include "SigningPeer.h"
#include "vomu_result.h"

using namespace signpeer;

TEST(Sm3ZSlow, SparseFileOverFourGiBHashesWhole)
{
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    peer::TempFile file;
    const std::string path = file.Path();
    // The last bytes are not zero, so a digest that stopped at 4 GiB would differ.
    ASSERT_EQ(0, CliStatus("truncate -s 4294967306 " + Quote(path) + " && printf 'tail' | dd of=" +
                           Quote(path) + " bs=1 seek=4294967300 conv=notrunc status=none"));
    OpenStream in(path);
    ASSERT_TRUE(in.fp);
    unsigned char abyHash[32];
    ASSERT_EQ(VOMU_OK, CalculateSM3FileHashEx(in.fp, NULL, NULL, abyHash, false));
    EXPECT_EQ(CliSm3OfFile(path), HexLower(abyHash, 32));
}
