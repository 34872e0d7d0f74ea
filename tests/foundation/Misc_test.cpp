#include "Misc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "LogCapture.h"
#include "vomu_result.h"

TEST(Misc, FileSizeOfEmptyAndSmallFilesRewinds)
{
    FILE* fp = tmpfile();
    ASSERT_NE(nullptr, fp);
    uint64_t nSize = 99;
    EXPECT_EQ(VOMU_OK, GetFileSize_Ex(fp, &nSize));
    EXPECT_EQ(0u, nSize);
    fputs("hello", fp);
    EXPECT_EQ(VOMU_OK, GetFileSize_Ex(fp, &nSize));
    EXPECT_EQ(5u, nSize);
    EXPECT_EQ('h', fgetc(fp));  // the next read starts at offset 0
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetFileSize_Ex(nullptr, &nSize));
    EXPECT_EQ(VOMU_E_INVALID_ARG, GetFileSize_Ex(fp, nullptr));
    fclose(fp);
}

// Sizes are 64-bit: a sparse file beyond 4 GiB reports its true size.
TEST(Misc, FileSizeBeyondFourGiB)
{
    FILE* fp = tmpfile();
    ASSERT_NE(nullptr, fp);
    const off_t nBig = (off_t)5 << 30;
    if (0 != ftruncate(fileno(fp), nBig)) {
        fclose(fp);
        GTEST_SKIP() << "file system refuses a 5 GiB sparse file";
    }
    uint64_t nSize = 0;
    EXPECT_EQ(VOMU_OK, GetFileSize_Ex(fp, &nSize));
    EXPECT_EQ((uint64_t)nBig, nSize);
    fclose(fp);
}

// A pipe cannot tell its size: a failure, not a bogus count.
TEST(Misc, FileSizeOfPipeFails)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    FILE* fp = fdopen(fds[0], "rb");
    ASSERT_NE(nullptr, fp);
    uint64_t nSize = 0;
    EXPECT_EQ(VOMU_E_FAIL, GetFileSize_Ex(fp, &nSize));
    fclose(fp);
    close(fds[1]);
}

TEST(Misc, HexText)
{
    const unsigned char by[] = {0x00, 0xAB, 0x7f};
    struct { int n; bool reverse; const char* expected; } cases[] = {
        {2, false, "00AB"}, {2, true, "AB00"}, {3, false, "00AB7F"}, {0, false, ""},
    };
    for (const auto& c : cases) {
        char* psz = nullptr;
        ASSERT_EQ(VOMU_OK, ConvertBinaryDataToString(by, c.n, &psz, c.reverse));
        EXPECT_STREQ(c.expected, psz);
        delete[] psz;
    }
    char* psz = nullptr;
    EXPECT_EQ(VOMU_E_FAIL, ConvertBinaryDataToString(nullptr, 2, &psz, false));
    EXPECT_EQ(VOMU_E_FAIL, ConvertBinaryDataToString(by, -1, &psz, false));
}

TEST(Misc, SplitString)
{
    struct { const char* text; const char* sep; std::vector<std::string> pieces; } cases[] = {
        {"a||b|", "|", {"a", "b"}},
        {"|", "|", {}},
        {"one", "|", {"one"}},
        {"/ca1.pem|/ca2.pem", "|", {"/ca1.pem", "/ca2.pem"}},
        {"x<>y<><>z", "<>", {"x", "y", "z"}},
    };
    for (const auto& c : cases) {
        std::vector<char*> parts = {strdup("kept")};
        ASSERT_EQ(VOMU_OK, SplitString(c.text, c.sep, parts)) << c.text;
        ASSERT_EQ(c.pieces.size() + 1, parts.size()) << c.text;
        EXPECT_STREQ("kept", parts[0]);
        for (size_t i = 0; i < c.pieces.size(); ++i) EXPECT_EQ(c.pieces[i], parts[i + 1]);
        CleanupStringVector(parts);
        EXPECT_TRUE(parts.empty());
    }
    std::vector<char*> parts;
    EXPECT_EQ(VOMU_E_FAIL, SplitString("", "|", parts));
    EXPECT_EQ(VOMU_E_FAIL, SplitString(nullptr, "|", parts));
    EXPECT_EQ(VOMU_E_FAIL, SplitString("a|b", nullptr, parts));
    EXPECT_EQ(VOMU_E_FAIL, SplitString("a|b", "", parts));
    EXPECT_TRUE(parts.empty());
}

// The pieces are SplitString's steps, whichever helper copies them.
TEST(Misc, SplitStringStepLinesNameIt)
{
    morv_test::LogCapture log("%m");
    ASSERT_TRUE(log.Ok());
    std::vector<char*> parts;
    ASSERT_EQ(VOMU_OK, SplitString("a|b", "|", parts));
    CleanupStringVector(parts);
    EXPECT_TRUE(log.Contains("(SplitString -- strdup(piece))\t\t--OK")) << log.Contents();
    EXPECT_FALSE(log.Contains("AppendPiece")) << log.Contents();
}
