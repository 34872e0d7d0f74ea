// The logging wrapper and the step lines, observed through real log files.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "PeakMemory.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"
#include "zlog.h"

using morv_test::LogCapture;
using morv_test::PeakKib;
using morv_test::ResetPeak;
using morv_test::MakeTempDir;
using morv_test::ReadText;
using morv_test::RemoveTree;
using morv_test::WriteText;

namespace {

// A directory with a configuration writing "LEVEL message" lines to <dir>/<name>.log.
struct ConfDir {
    std::string strDir = MakeTempDir();
    ~ConfDir() { RemoveTree(strDir); }
    std::string Conf(const std::string& strName, const std::string& strBody = "")
    {
        std::string strPath = strDir + "/" + strName + ".conf";
        std::string strText = strBody.empty()
                                  ? "[formats]\nf = \"%V %m%n\"\n[rules]\nvomu_category.DEBUG \"" + Log(strName) + "\"; f\n"
                                  : strBody;
        WriteText(strPath, strText);
        return strPath;
    }
    std::string Log(const std::string& strName) const { return strDir + "/" + strName + ".log"; }
    std::string Diagnostics() const { return ReadText(strDir + "/diag.err"); }
    void CaptureDiagnostics() const { setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1); }
};

}  // namespace

TEST(VomuLog, RecordsBeforeInitialisationAreRefused)
{
    EXPECT_EQ(VOMU_LOG_E_NOT_INIT, TRACE(TRACE_LEVEL_INFO, "early %d", 1));
    // Not initialised wins over a bad level: nothing is formatted.
    EXPECT_EQ(VOMU_LOG_E_NOT_INIT, TRACE(9, "early"));
    EXPECT_EQ(VOMU_OK, TRACE_BINARY(TRACE_LEVEL_INFO, "ab", 2));
    EXPECT_EQ(VOMU_OK, TRACE_BINARY(9, "ab", 2));
    EXPECT_EQ(VOMU_LOG_E_NOT_INIT, TraceInfo("early"));
}

TEST(VomuLog, MissingConfigurationWithoutEnvironmentGivesNoConfig)
{
    ConfDir dir;
    dir.CaptureDiagnostics();
    unsetenv("VOMU_LOG_CONF_PATH");
    const std::vector<std::string> paths = {dir.strDir, dir.strDir + "/missing.conf", ""};
    for (const std::string& strPath : paths) {
        EXPECT_EQ(VOMU_LOG_E_NO_CONFIG, vomu_log_init_ex(strPath.c_str())) << strPath;
    }
    EXPECT_EQ(VOMU_LOG_E_NO_CONFIG, vomu_log_init_ex(nullptr));
    EXPECT_EQ(nullptr, g_ptr_vomu_category);
    EXPECT_NE(std::string::npos, dir.Diagnostics().find("------config file doesn't exist------"));

    // The variable must name a regular file too: a directory is not one.
    setenv("VOMU_LOG_CONF_PATH", dir.strDir.c_str(), 1);
    EXPECT_EQ(VOMU_LOG_E_NO_CONFIG, vomu_log_init_ex(nullptr));
    EXPECT_EQ(VOMU_LOG_E_NOT_INIT, TraceInfo("dropped"));
}

TEST(VomuLog, FallsBackToTheEnvironmentConfiguration)
{
    ConfDir dir;
    setenv("VOMU_LOG_CONF_PATH", dir.Conf("env").c_str(), 1);
    ASSERT_EQ(VOMU_OK, vomu_log_init_ex((dir.strDir + "/missing.conf").c_str()));
    EXPECT_EQ(VOMU_OK, TraceInfo("from env"));
    vomu_log_fini();
    EXPECT_EQ("INFO from env\n", ReadText(dir.Log("env")));
}

TEST(VomuLog, InitWithoutArgumentReadsVomulogConfInTheWorkingDirectory)
{
    ConfDir dir;
    unsetenv("VOMU_LOG_CONF_PATH");
    dir.Conf("vomulog");
    ASSERT_EQ(0, chdir(dir.strDir.c_str()));
    ASSERT_EQ(VOMU_OK, vomu_log_init());
    TRACE(TRACE_LEVEL_WARN, "cwd %s", "ok");
    vomu_log_fini();
    EXPECT_EQ("WARN cwd ok\n", ReadText(dir.Log("vomulog")));
}

TEST(VomuLog, SecondInitialisationKeepsTheFirstConfiguration)
{
    ConfDir dir;
    ASSERT_EQ(VOMU_OK, vomu_log_init_ex(dir.Conf("first").c_str()));
    zlog_category_t* pFirst = g_ptr_vomu_category;
    EXPECT_EQ(VOMU_OK, vomu_log_init_ex(dir.Conf("second").c_str()));
    EXPECT_EQ(pFirst, g_ptr_vomu_category);
    TraceInfo("where");
    vomu_log_fini();
    EXPECT_EQ("INFO where\n", ReadText(dir.Log("first")));
    EXPECT_EQ("", ReadText(dir.Log("second")));
}

TEST(VomuLog, MalformedConfigurationGivesInitAndADiagnostic)
{
    ConfDir dir;
    dir.CaptureDiagnostics();
    std::string strConf = dir.Conf("bad", "[rules]\nvomu_category.NOSUCHLEVEL >stdout\n");
    EXPECT_EQ(VOMU_LOG_E_INIT, vomu_log_init_ex(strConf.c_str()));
    EXPECT_EQ(nullptr, g_ptr_vomu_category);
    std::string strDiag = dir.Diagnostics();
    EXPECT_NE(std::string::npos, strDiag.find("NOSUCHLEVEL")) << strDiag;
    EXPECT_NE(std::string::npos, strDiag.find("------init failed------")) << strDiag;
    // A good configuration afterwards works: the failure left nothing behind.
    ASSERT_EQ(VOMU_OK, vomu_log_init_ex(dir.Conf("good").c_str()));
    TraceError("after");
    vomu_log_fini();
    EXPECT_EQ("ERROR after\n", ReadText(dir.Log("good")));
}

TEST(VomuLog, LevelAboveFourIsRefusedAndWritesNothing)
{
    LogCapture log;
    ASSERT_TRUE(log.Ok());
    EXPECT_EQ(VOMU_LOG_E_LEVEL, TRACE(5, "never %d", 5));
    EXPECT_EQ(VOMU_LOG_E_LEVEL, TRACE(0xFFFFFFFFu, "never"));
    EXPECT_EQ(VOMU_LOG_E_LEVEL, TRACE_BINARY(5, "ab", 2));
    EXPECT_EQ("", log.Contents());
}

TEST(VomuLog, EveryLevelMapsToItsLibraryLevel)
{
    LogCapture log;
    ASSERT_TRUE(log.Ok());
    for (unsigned n = TRACE_LEVEL_FATAL; n <= TRACE_LEVEL_DEBUG; ++n) EXPECT_EQ(VOMU_OK, TRACE(n, "L%u", n));
    EXPECT_EQ("FATAL L0\nERROR L1\nWARN L2\nINFO L3\nDEBUG L4\n", log.Contents());
}

TEST(VomuLog, ConfigurationLevelFiltersRecords)
{
    LogCapture log("%V %m%n", "WARN");
    ASSERT_TRUE(log.Ok());
    TRACE(TRACE_LEVEL_INFO, "info");
    TRACE(TRACE_LEVEL_DEBUG, "debug");
    TRACE(TRACE_LEVEL_WARN, "warn");
    EXPECT_EQ("WARN warn\n", log.Contents());
}

TEST(VomuLog, LongMessageIsLoggedWhole)
{
    LogCapture log("%m%n");
    ASSERT_TRUE(log.Ok());
    std::string strLong(10000, 'x');
    strLong[0] = 'A';
    strLong[9999] = 'Z';
    EXPECT_EQ(VOMU_OK, TRACE(TRACE_LEVEL_INFO, "%s", strLong.c_str()));
    EXPECT_EQ(strLong + "\n", log.Contents());
}

TEST(VomuLog, ConversionsInsideTheTextAreLoggedVerbatim)
{
    LogCapture log("%m");
    ASSERT_TRUE(log.Ok());
    EXPECT_EQ(VOMU_OK, TraceInfo("keep %s and %d and %% and %n\n"));
    EXPECT_EQ(VOMU_OK, TraceError("100% done\n"));
    EXPECT_EQ("keep %s and %d and %% and %n\n100% done\n", log.Contents());
}

TEST(VomuLog, RecordsCarryTheWrappersLocation)
{
    LogCapture log("%f %U %m%n");
    ASSERT_TRUE(log.Ok());
    TraceInfo("here");
    TRACE_BINARY(TRACE_LEVEL_INFO, "", 0);
    EXPECT_EQ("vomu_zlog.cpp TRACE here\nvomu_zlog.cpp TRACE_BINARY hex_buf_len=[0]\n", log.Contents());
}

TEST(VomuLog, RecordsAfterShutdownAreDroppedUntilTheNextInit)
{
    ConfDir dir;
    std::string strConf = dir.Conf("cycle");
    ASSERT_EQ(VOMU_OK, vomu_log_init_ex(strConf.c_str()));
    TraceInfo("one");
    vomu_log_fini();
    EXPECT_EQ(nullptr, g_ptr_vomu_category);
    EXPECT_EQ(VOMU_LOG_E_NOT_INIT, TraceInfo("dropped"));
    EXPECT_EQ(VOMU_OK, TRACE_BINARY(TRACE_LEVEL_INFO, "dropped", 7));
    ASSERT_EQ(VOMU_OK, vomu_log_init_ex(strConf.c_str()));
    TraceInfo("two");
    vomu_log_fini();
    EXPECT_EQ("INFO one\nINFO two\n", ReadText(dir.Log("cycle")));
}

TEST(VomuLog, BinaryDumpRows)
{
    LogCapture log("%m%n");
    ASSERT_TRUE(log.Ok());
    const char data[] = "Hello, hex dump!\x01\xff";
    EXPECT_EQ(VOMU_OK, TRACE_BINARY(TRACE_LEVEL_DEBUG, data, 18));
    EXPECT_EQ(VOMU_OK, TRACE_BINARY(TRACE_LEVEL_DEBUG, data, -1));  // writes nothing
    EXPECT_EQ("hex_buf_len=[18]\n"
              "0000000000  48 65 6c 6c 6f 2c 20 68 65 78 20 64 75 6d 70 21  Hello, hex dump!\n"
              "0000000016  01 ff                                            ..\n",
              log.Contents());
}

// ---- records no rule takes, records longer than a record holds ---------------------------

namespace {

// A page that faults on any read: a record that formats its argument crashes the test.
const char* UnreadableText()
{
    static void* pPage = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pPage == MAP_FAILED ? nullptr : static_cast<const char*>(pPage);
}

}  // namespace

TEST(VomuLog, RecordsNoRuleTakesAreNotFormatted)
{
    const char* pszBad = UnreadableText();
    ASSERT_NE(nullptr, pszBad);
    LogCapture log("%V %m%n", "=WARN");
    ASSERT_TRUE(log.Ok());
    EXPECT_EQ(VOMU_OK, TRACE(TRACE_LEVEL_INFO, "%s", pszBad));
    EXPECT_EQ(VOMU_OK, TRACE(TRACE_LEVEL_ERROR, "%s", pszBad));
    EXPECT_EQ(VOMU_OK, TraceInfo(pszBad));
    EXPECT_EQ(VOMU_OK, TraceError(pszBad));
    EXPECT_EQ(VOMU_OK, TRACE_BINARY(TRACE_LEVEL_DEBUG, pszBad, 16));
    morv::StepOk(pszBad, 1, pszBad, pszBad);
    morv::StepFailed(pszBad, 1, pszBad, pszBad, -1, pszBad, true);
    // The level check comes after the not-started check and before the rule's levels.
    EXPECT_EQ(VOMU_LOG_E_LEVEL, TRACE(5, "%s", pszBad));
    EXPECT_EQ(VOMU_LOG_E_LEVEL, TRACE_BINARY(5, pszBad, 16));
    EXPECT_EQ(VOMU_OK, TRACE(TRACE_LEVEL_WARN, "taken"));
    EXPECT_EQ("WARN taken\n", log.Contents());
}

// Every way a long text reaches the log gives the record the library itself makes of the
// whole text: cut at [global] buffer max, ending with a newline.
TEST(VomuLog, TextLongerThanARecordIsCutWhereTheLibraryCutsIt)
{
    ConfDir dir;
    const std::string strConf = dir.Conf("cut", "[global]\nbuffer min = 1KB\nbuffer max = 64KB\n[formats]\n"
                                                "f = \"%V %m%n\"\n[rules]\nvomu_category.DEBUG \"" +
                                                    dir.Log("cut") + "\"; f\n");
    ASSERT_EQ(VOMU_OK, vomu_log_init_ex(strConf.c_str()));
    std::string strHuge(8 * 1024 * 1024, 'd');
    strHuge[0] = 'A';
    zlog_info(g_ptr_vomu_category, "%s", strHuge.c_str());  // the library's own cut
    EXPECT_EQ(VOMU_OK, TRACE(TRACE_LEVEL_INFO, "%s", strHuge.c_str()));
    EXPECT_EQ(VOMU_OK, TraceInfo(strHuge.c_str()));
    EXPECT_EQ(65536, TraceMessageMax());
    EXPECT_EQ(VOMU_OK, TRACE(TRACE_LEVEL_INFO, "%.*s", TraceMessageMax(), strHuge.c_str()));
    vomu_log_fini();
    const std::string strText = ReadText(dir.Log("cut"));
    const size_t nRecord = strText.find('\n') + 1;
    ASSERT_GT(nRecord, 60000u);
    ASSERT_LE(nRecord, 65536u);
    ASSERT_EQ(4 * nRecord, strText.size());
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(0, strText.compare(i * nRecord, nRecord, strText, 0, nRecord)) << i;
}

TEST(VomuLog, HexDumpLongerThanARecordIsCutWhereTheLibraryCutsIt)
{
    ConfDir dir;
    const std::string strConf = dir.Conf("hex", "[global]\nbuffer max = 4KB\n[formats]\nf = \"%m%n\"\n"
                                                "[rules]\nvomu_category.DEBUG \"" + dir.Log("hex") + "\"; f\n");
    ASSERT_EQ(VOMU_OK, vomu_log_init_ex(strConf.c_str()));
    std::vector<unsigned char> data(1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (unsigned char)(i * 7);
    hzlog_info(g_ptr_vomu_category, data.data(), data.size());
    EXPECT_EQ(VOMU_OK, TRACE_BINARY(TRACE_LEVEL_INFO, data.data(), (int)data.size()));
    vomu_log_fini();
    const std::string strText = ReadText(dir.Log("hex"));
    ASSERT_EQ(0u, strText.size() % 2);
    ASSERT_LE(strText.size() / 2, 4096u);
    EXPECT_EQ(0u, strText.find("hex_buf_len=[1048576]\n0000000000  00 07 0e 15"));
    EXPECT_EQ(strText.substr(0, strText.size() / 2), strText.substr(strText.size() / 2));
}

// A 256 MiB argument under an INFO rule: the record holds 2 MiB of it, and building it must
// not cost a copy of the whole argument.
TEST(VomuLog, HugeArgumentCostsNoMemoryBeyondTheCut)
{
    LogCapture log("%m%n", "INFO");
    ASSERT_TRUE(log.Ok());
    std::string strHuge(256 * 1024 * 1024, 'h');
    if (!ResetPeak()) GTEST_SKIP() << "no resettable peak memory in /proc";
    const long nBefore = PeakKib();
    EXPECT_EQ(VOMU_OK, TRACE(TRACE_LEVEL_INFO, "data:%s", strHuge.c_str()));
    const long nGrowth = PeakKib() - nBefore;
    EXPECT_LT(nGrowth, 64 * 1024) << "peak grew by " << nGrowth << " KiB";
    strHuge.clear();
    strHuge.shrink_to_fit();
    const std::string strText = log.Contents();
    EXPECT_EQ(2u * 1024 * 1024 - 1, strText.size());
    EXPECT_EQ(0u, strText.find("data:hhh"));
}

// ---- step lines -------------------------------------------------------------------------

namespace {

int g_nOkLine = 0;
int g_nFailLine = 0;

int CheckedStep(const void* p)
{
    g_nOkLine = __LINE__ + 1;
    VOMU_FAIL_IF(NULL == p, "Check parameter", VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

int FailsWithMinusOne()
{
    g_nFailLine = __LINE__ + 1;
    VOMU_FAIL_IF(0 != 1, "Always", VOMU_E_FAIL);
    return VOMU_OK;
}

int OpensMissingFile(const char* pszPath)
{
    BIO* pBio = BIO_new_file(pszPath, "rb");
    g_nFailLine = __LINE__ + 1;
    VOMU_FAIL_IF_OSSL(NULL == pBio, "BIO_new_file", VOMU_E_OPEN_FILE);
    BIO_free(pBio);
    return VOMU_OK;
}

int UnlocksKey(const char* pszPassword)
{
    TRACE(TRACE_LEVEL_INFO, "password length:%d", (int)strlen(pszPassword));
    VOMU_FAIL_IF(NULL == pszPassword, "Check parameter", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(8 > strlen(pszPassword), "Check password length", VOMU_E_SM2PFX_PASSWORD);
    return VOMU_OK;
}

std::string Line(const char* pszFormat, int nLine, const char* pszFunc, const char* pszTail)
{
    char sz[1024];
    snprintf(sz, sizeof sz, pszFormat, nLine, pszFunc);
    return std::string(sz) + pszTail;
}

}  // namespace

TEST(VomuStep, OkAndFailedLinesHaveTheirExactForms)
{
    LogCapture log("%m");
    ASSERT_TRUE(log.Ok());
    int n = 0;
    EXPECT_EQ(VOMU_OK, CheckedStep(&n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, CheckedStep(nullptr));
    EXPECT_EQ(VOMU_E_FAIL, FailsWithMinusOne());
    std::string strExpected =
        Line("[vomu_zlog_test.cpp(%d)]:(%s -- Check parameter)\t\t--OK\n", g_nOkLine, "CheckedStep", "") +
        Line("[vomu_zlog_test.cpp(%d):](%s -- Check parameter)\t\t--Failed:(0x80070057) [Reason:NULL == p]\n",
             g_nOkLine, "CheckedStep", "") +
        Line("[vomu_zlog_test.cpp(%d):](%s -- Always)\t\t--Failed:(0xffffffff) [Reason:0 != 1]\n",
             g_nFailLine, "FailsWithMinusOne", "");
    EXPECT_EQ(strExpected, log.Contents());
}

TEST(VomuStep, CryptoFailureCarriesOpensslsTextAndKeepsTheError)
{
    LogCapture log("%V %m");
    ASSERT_TRUE(log.Ok());
    ERR_clear_error();
    std::string strMissing = log.Dir() + "/no-such-file";
    EXPECT_EQ(VOMU_E_OPEN_FILE, OpensMissingFile(strMissing.c_str()));
    unsigned long nErr = ERR_peek_last_error();
    ASSERT_NE(0UL, nErr) << "the error must stay on the queue";
    char szOpenssl[256];
    ERR_error_string_n(nErr, szOpenssl, sizeof szOpenssl);
    std::string strExpected =
        Line("ERROR [vomu_zlog_test.cpp(%d):](%s -- BIO_new_file)\t\t--Failed:(0x8007006e) [Reason:NULL == pBio] Openssl ",
             g_nFailLine, "OpensMissingFile", szOpenssl) + "\n";
    EXPECT_EQ(strExpected, log.Contents());
}

TEST(VomuStep, OverlongFailedLineIsCutAndStillEndsTheRecord)
{
    LogCapture log("%m");
    ASSERT_TRUE(log.Ok());
    std::string strReason(800, 'r');
    morv::StepFailed("f.cpp", 1, "Func", "Step", -1, strReason.c_str(), false);
    std::string strText = log.Contents();
    EXPECT_EQ(511u, strText.size());
    EXPECT_EQ('\n', strText.back());
    EXPECT_EQ(0u, strText.find("[f.cpp(1):](Func -- Step)\t\t--Failed:(0xffffffff) [Reason:rrr"));
}

// The OK line is built without printf; snprintf into the line's 512 bytes is the reference
// for every length around the cut, for a path with directories and a line number of each width.
TEST(VomuStep, OkLineIsWhatSnprintfWritesAtEveryLengthAroundTheCut)
{
    struct Row {
        const char* pszFile;
        int nLine;
        size_t nStepLen;
    };
    const Row ROWS[] = {
        {"a/b/c.cpp", 7, 10},  {"c.cpp", 123456, 10}, {"/x/c.cpp", 1, 470}, {"c.cpp", 42, 481},
        {"c.cpp", 42, 482},    {"c.cpp", 42, 483},    {"c.cpp", 42, 484},  {"dir/c.cpp", 2147483647, 600},
    };
    for (const Row& row : ROWS) {
        LogCapture log("%m");
        ASSERT_TRUE(log.Ok());
        const std::string strStep(row.nStepLen, 's');
        morv::StepOk(row.pszFile, row.nLine, "Func", strStep.c_str());
        const char* pszBase = strrchr(row.pszFile, '/') ? strrchr(row.pszFile, '/') + 1 : row.pszFile;
        char szExpected[512];
        snprintf(szExpected, sizeof szExpected, "[%s(%d)]:(%s -- %s)\t\t--OK\n", pszBase, row.nLine, "Func",
                 strStep.c_str());
        EXPECT_EQ(szExpected, log.Contents()) << row.pszFile << " " << row.nLine << " " << row.nStepLen;
    }
}

TEST(VomuStep, PasswordNeverAppearsInTheLog)
{
    LogCapture log;
    ASSERT_TRUE(log.Ok());
    const char* const SENTINEL = "Sentinel#Pw";  // 11 characters: passes the length step
    const char* const SHORT = "Sh0rt#";
    EXPECT_EQ(VOMU_OK, UnlocksKey(SENTINEL));
    EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, UnlocksKey(SHORT));
    EXPECT_TRUE(log.Contains("--OK"));
    EXPECT_TRUE(log.Contains("--Failed:(0xa0071108) [Reason:8 > strlen(pszPassword)]"));
    EXPECT_FALSE(log.Contains(SENTINEL));
    EXPECT_FALSE(log.Contains(SHORT));
}
