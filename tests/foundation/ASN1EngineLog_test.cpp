// What the ASN.1 engine writes to the log: the decoder's INFO records and failure texts, and
// the encoder's step lines, which name the public function and the engine's file whichever
// helper does the step.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ASN1EngineEx.h"
#include "LogCapture.h"
#include "vomu_result.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Tree = std::unique_ptr<NodeEx>;

// The log of decoding the octets from memory (or from a file).
std::string DecodeLog(const Bytes& input, bool bFile, int* pnResult = nullptr)
{
    morv_test::LogCapture log("%V %m%n");
    EXPECT_TRUE(log.Ok());
    NodeEx* pRoot = nullptr;
    int nResult = VOMU_E_FAIL;
    if (bFile) {
        FILE* fp = tmpfile();
        if (!input.empty()) fwrite(input.data(), 1, input.size(), fp);
        nResult = DecodeASN1FileEx(fp, &pRoot);
        delete pRoot;
        fclose(fp);
    } else {
        nResult = DecodeASN1MemoryEx(input.data(), input.size(), &pRoot);
        delete pRoot;
    }
    if (pnResult) *pnResult = nResult;
    return log.Contents();
}

// The lines in order, each found after the previous one.
void ExpectInOrder(const std::string& strLog, const std::vector<std::string>& lines)
{
    size_t nAt = 0;
    for (const std::string& strLine : lines) {
        const size_t nFound = strLog.find(strLine, nAt);
        ASSERT_NE(std::string::npos, nFound) << "missing after offset " << nAt << ": " << strLine << "\n" << strLog;
        nAt = nFound + strLine.size();
    }
}

TEST(ASN1EngineLog, DecodingASequenceLogsEachHeaderAndLevel)
{
    int nResult = -1;
    const std::string strLog = DecodeLog({0x30, 0x03, 0x02, 0x01, 0x05}, false, &nResult);
    EXPECT_EQ(VOMU_OK, nResult);
    ExpectInOrder(strLog, {"INFO Tag value:0x30", "INFO Value length start position:0x1",
                           "INFO Value length first byte value:0x3", "INFO Value Length:0x3 \n",
                           "]: CurrentDeepLevel =1", "INFO Tag value:0x2", "INFO Value length start position:0x3",
                           "INFO Value Length:0x1 \n", "]: CurrentDeepLevel =2", "INFO Current recursive deep level:0"});
    EXPECT_NE(std::string::npos, strLog.find("INFO [ASN1EngineEx("));
    EXPECT_EQ(std::string::npos, strLog.find("ERROR"));
}

TEST(ASN1EngineLog, FailuresLogTheirTextsFromMemoryAndFromAFile)
{
    const struct {
        const char* pszName;
        Bytes input;
        std::vector<std::string> memoryLines, fileLines;  // file: empty when as in memory
    } CASES[] = {
        {"indefinite child past its parent", {0x30, 0x04, 0x30, 0x80, 0x05, 0x00, 0x00, 0x00},
         {"ERROR [ASN1EngineEx(", ": child nodes length(0x00000006) is larger than parent node length(0x00000004)]"},
         {}},
        {"empty", {}, {"]: start position is great than end position", "ERROR Parse ASN.1 root node failed"},
         {"]: start position is great than end position", "ERROR Parse ASN1 root node failed"}},
        {"value past the end", {0x30, 0x05, 0x02, 0x01, 0x05},
         {"]: value length is great than total length", "ERROR GetASN1ValueLengthEx Failed", " root node failed"},
         {}},
        {"child past its parent", {0x30, 0x03, 0x04, 0x03, 0x41, 0x42, 0x43},
         {"]: value length is great than total length", "GetASN1ValueLengthEx Failed", "ParseASN1TLVEx failed"}, {}},
        {"length octets cut", {0x04, 0x82, 0x01},
         {"]: value length is great than total length", "ERROR GetASN1ValueLengthEx Failed"},
         {"]: value start postions is great than end postion", "ERROR GetASN1ValueLengthEx Failed"}},
        {"end-of-contents taken as a child", {0x30, 0x80, 0x00, 0x00},
         {"]: position is not in file size range"}, {}},
        {"failure inside a child", {0x30, 0x08, 0x30, 0x04, 0x30, 0x80, 0x05, 0x00, 0x00, 0x00},
         {"child nodes length(0x00000006) is larger than parent node length(0x00000004)]", "ERROR ParseNodeEx failed"},
         {}},
    };
    for (const auto& c : CASES) {
        for (bool bFile : {false, true}) {
            SCOPED_TRACE(std::string(c.pszName) + (bFile ? " (file)" : " (memory)"));
            int nResult = VOMU_OK;
            const std::string strLog = DecodeLog(c.input, bFile, &nResult);
            EXPECT_EQ(VOMU_E_FAIL, nResult);
            ExpectInOrder(strLog, bFile && !c.fileLines.empty() ? c.fileLines : c.memoryLines);
        }
    }
}

TEST(ASN1EngineLog, TooDeepNamesTheLevel)
{
    Bytes deep;
    for (int i = 0; i < 128; ++i) deep.insert(deep.end(), {0x30, 0x80});
    const std::string strLog = DecodeLog(deep, false);
    ExpectInOrder(strLog, {"]: CurrentDeepLevel =128", "ERROR Too deeply recursive calling(count):128",
                           "ERROR ParseNodeEx failed"});
}

// Steps done by helpers still name the function the caller called, and the engine's file.
TEST(ASN1EngineLog, EncoderStepLinesNameThePublicFunction)
{
    morv_test::LogCapture log("%V %m%n");
    ASSERT_TRUE(log.Ok());
    Tree leaf(new NodeEx);
    leaf->Tag = 0x04;
    leaf->ValueLength = 3;  // a header-only leaf
    unsigned char* pby = nullptr;
    int nPos = 0;
    EXPECT_EQ(VOMU_OK, EncodeASN1ToMemory(leaf.get(), &pby, &nPos, nullptr));
    delete[] pby;
    FILE* fp = tmpfile();
    int nWritten = 0;
    EXPECT_EQ(VOMU_OK, EncodeASN1ToFile(leaf.get(), fp, &nWritten, nullptr));
    fclose(fp);
    const std::string strLog = log.Contents();
    ExpectInOrder(strLog, {"[ASN1EngineEx.cpp(", "(EncodeASN1ToMemory -- Check ASN.1 data size)\t\t--OK",
                           "(EncodeASN1ToMemory -- New memory)\t\t--OK", "(EncodeASN1ToMemory -- EncodeASN1Length)\t\t--OK"});
    ExpectInOrder(strLog, {"(EncodeASN1ToFile -- Check ASN.1 data size)\t\t--OK", "(EncodeASN1ToFile -- fwrite)\t\t--OK"});
    for (const char* pszHelper : {"AllocateOutput", "WriteHeaderToMemory", "WriteToFile", "WriteHeaderToFile"})
        EXPECT_EQ(std::string::npos, strLog.find(pszHelper)) << pszHelper;
}

}  // namespace
