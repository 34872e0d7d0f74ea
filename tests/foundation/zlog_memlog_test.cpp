// The memory log: records held in two 32,768-byte blocks and appended to the file only at
// ERROR records, its one-rule initialisation and the wrapper's entry point.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "vomu_result.h"
#include "vomu_zlog.h"
#include "zlog.h"
#include "zlog_internal.h"

using morv_test::MakeTempDir;
using morv_test::ReadText;
using morv_test::RemoveTree;
using morv_test::WriteText;

namespace {

// A temporary directory with diagnostics captured, and a memory-log store that starts empty
// (the blocks outlive shut-down, so an earlier test in the same process may have left some).
class MemLog : public ::testing::Test {
protected:
    std::string m_strDir = MakeTempDir();

    void SetUp() override
    {
        setenv("ZLOG_PROFILE_ERROR", (m_strDir + "/diag.err").c_str(), 1);
        setenv("ZLOG_PROFILE_DEBUG", (m_strDir + "/diag.dbg").c_str(), 1);
        vomu_log_fini();
        int nPrevious = 0, nCurrent = 0;
        zl::MemoryLogLengths(nPrevious, nCurrent);
        if (nPrevious || nCurrent) {
            ASSERT_EQ(0, zlog_init_memory_log("DEBUG", (m_strDir + "/drain.log").c_str()));
            zlog_error(zlog_get_category("vomu_category"), "drain");
            zlog_fini();
        }
        Lengths(nPrevious, nCurrent);
        ASSERT_EQ(0, nPrevious + nCurrent);
    }
    void TearDown() override
    {
        vomu_log_fini();
        RemoveTree(m_strDir);
    }
    std::string Path(const std::string& strName) const { return m_strDir + "/" + strName; }
    std::string Read(const std::string& strName) const { return ReadText(Path(strName)); }
    // A configuration file of the memory log with the bare "%m%n" layout.
    std::string BareConf(const std::string& strRule)
    {
        WriteText(Path("m.conf"), "[formats]\nbare = \"%m%n\"\n[rules]\n" + strRule + "; bare\n");
        return Path("m.conf");
    }
    static void Lengths(int& nPrevious, int& nCurrent) { zl::MemoryLogLengths(nPrevious, nCurrent); }
};

// The wrapper's records ("date time LEVEL [pid:file:line] text") as "LEVEL text".
std::vector<std::string> Records(const std::string& strText)
{
    static const std::regex LINE("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d (\\w+) \\[\\d+:\\S*vomu_zlog\\.cpp:\\d+\\] (.*)");
    std::vector<std::string> out;
    std::istringstream in(strText);
    std::string strLine;
    std::smatch m;
    while (std::getline(in, strLine)) {
        out.push_back(std::regex_match(strLine, m, LINE) ? m[1].str() + " " + m[2].str() : "MALFORMED " + strLine);
    }
    return out;
}

}  // namespace

TEST_F(MemLog, FileReceivesTheHeldRecordsAtEachErrorAndNothingTwice)
{
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, Path("mem.log").c_str()));
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) {
        TRACE(TRACE_LEVEL_INFO, "info %d", i);
        expected.push_back("INFO info " + std::to_string(i));
        if (i == 4) TRACE(TRACE_LEVEL_DEBUG, "below the rule's level");
    }
    EXPECT_EQ("", Read("mem.log"));
    TraceError("first error");
    expected.push_back("ERROR first error");
    EXPECT_EQ(expected, Records(Read("mem.log")));

    TraceError("second error");
    expected.push_back("ERROR second error");
    EXPECT_EQ(expected, Records(Read("mem.log")));
    int nPrevious = -1, nCurrent = -1;
    Lengths(nPrevious, nCurrent);
    EXPECT_EQ(0, nPrevious + nCurrent);
}

TEST_F(MemLog, FileReceivesOnlyWhatTheTwoBlocksHold)
{
    ASSERT_EQ(0, zlog_init(BareConf("vomu_category.INFO >memlog:" + Path("mem.log")).c_str()));
    zlog_category_t* pCat = zlog_get_category("vomu_category");
    // 1,000 records of 100 bytes: a block takes 327 (32,700 bytes), so the 328th starts a
    // new one. After 1,000 the current block holds 981..999 and the previous one 654..980.
    std::string strPad(94, 'p');
    for (int i = 0; i < 1000; ++i) zlog_info(pCat, "%04d %s", i, strPad.c_str());
    zlog_error(pCat, "the error");
    std::string strExpected;
    for (int i = 654; i < 1000; ++i) {
        char szNumber[8];
        snprintf(szNumber, sizeof szNumber, "%04d", i);
        strExpected += std::string(szNumber) + " " + strPad + "\n";
    }
    strExpected += "the error\n";
    std::string strText = Read("mem.log");
    EXPECT_LE(strText.size(), 2 * zl::MEMLOG_BLOCK_SIZE);
    EXPECT_EQ(strExpected.size(), strText.size());
    EXPECT_TRUE(strExpected == strText) << strText.substr(0, 200);
}

TEST_F(MemLog, RecordLongerThanABlockIsCutToTheBlockAndEndsItsLine)
{
    ASSERT_EQ(0, zlog_init(BareConf("vomu_category.* >memlog:" + Path("mem.log")).c_str()));
    zlog_category_t* pCat = zlog_get_category("vomu_category");
    zlog_info(pCat, "before");
    zlog_info(pCat, "%s", std::string(40000, 'x').c_str());
    int nPrevious = 0, nCurrent = 0;
    Lengths(nPrevious, nCurrent);
    EXPECT_EQ(7, nPrevious);
    EXPECT_EQ((int)zl::MEMLOG_BLOCK_SIZE, nCurrent);
    // The full block moves on to make room, and "before" gives way.
    zlog_error(pCat, "after");
    EXPECT_TRUE(std::string(zl::MEMLOG_BLOCK_SIZE - 1, 'x') + "\nafter\n" == Read("mem.log"));
}

TEST_F(MemLog, FatalRecordsNeverWriteTheFile)
{
    // At FATAL the rule never sees an ERROR record; at INFO a FATAL record is only held.
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_FATAL, Path("fatal.log").c_str()));
    for (int i = 0; i < 3; ++i) TRACE(TRACE_LEVEL_FATAL, "fatal %d", i);
    TraceError("not selected");
    EXPECT_EQ("", Read("fatal.log"));
    vomu_log_fini();

    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, Path("info.log").c_str()));
    TRACE(TRACE_LEVEL_FATAL, "held");
    EXPECT_EQ("", Read("info.log"));
    TraceError("flush");
    // The FATAL records held from the first configuration come along.
    EXPECT_EQ((std::vector<std::string>{"FATAL fatal 0", "FATAL fatal 1", "FATAL fatal 2", "FATAL held",
                                        "ERROR flush"}),
              Records(Read("info.log")));
}

TEST_F(MemLog, RecordsHeldAtShutdownReachTheNextFile)
{
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, Path("one.log").c_str()));
    TraceInfo("held over");
    vomu_log_fini();
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, Path("two.log").c_str()));
    TraceError("error");
    EXPECT_EQ("", Read("one.log"));
    EXPECT_EQ((std::vector<std::string>{"INFO held over", "ERROR error"}), Records(Read("two.log")));
}

TEST_F(MemLog, MissingDirectoriesAreCreatedAndTheFileEmptiedAtInitAndReload)
{
    mode_t oldMask = umask(022);
    std::string strLog = Path("a/b/mem.log");
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, strLog.c_str()));
    umask(oldMask);
    for (const char* pszDir : {"a", "a/b"}) {
        struct stat st;
        ASSERT_EQ(0, stat(Path(pszDir).c_str(), &st)) << pszDir;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0755u, st.st_mode & 0777) << pszDir;
    }
    struct stat st;
    EXPECT_NE(0, stat(strLog.c_str(), &st)) << "the file itself waits for the first ERROR";
    TraceError("before reload");
    ASSERT_EQ(1u, Records(ReadText(strLog)).size());
    ASSERT_EQ(0, stat(strLog.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    // A reload parses the stored rule again: the same memory log, its file emptied.
    ASSERT_EQ(0, zlog_reload(nullptr));
    EXPECT_EQ("", ReadText(strLog));
    TraceError("after reload");
    EXPECT_EQ(std::vector<std::string>{"ERROR after reload"}, Records(ReadText(strLog)));
    vomu_log_fini();

    // Starting again over a non-empty file empties it.
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, strLog.c_str()));
    EXPECT_EQ("", ReadText(strLog));
}

TEST_F(MemLog, FileRulesCreateTheirDirectoriesToo)
{
    WriteText(Path("f.conf"), "[formats]\nbare = \"%m%n\"\n[rules]\nc.* \"" + Path("s/t/static.log") +
                                  "\"; bare\nc.* \"" + Path("d/%c.log") + "\"; bare\n");
    ASSERT_EQ(0, zlog_init(Path("f.conf").c_str()));
    zlog_info(zlog_get_category("c"), "both");
    zlog_fini();
    EXPECT_EQ("both\n", Read("s/t/static.log"));
    EXPECT_EQ("both\n", Read("d/c.log"));
}

TEST_F(MemLog, FailedWriteLosesNothing)
{
    // A directory stands where the file should be: opening it fails until it is gone.
    ASSERT_EQ(0, mkdir(Path("mem.log").c_str(), 0755));
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, Path("mem.log").c_str()));
    TraceInfo("one");
    TraceError("two");
    EXPECT_NE(std::string::npos, Read("diag.err").find("open file[" + Path("mem.log") + "] fail, errno[21]"));
    int nPrevious = 0, nCurrent = 0;
    Lengths(nPrevious, nCurrent);
    EXPECT_GT(nCurrent, 0);
    ASSERT_EQ(0, rmdir(Path("mem.log").c_str()));
    TraceError("three");
    EXPECT_EQ((std::vector<std::string>{"INFO one", "ERROR two", "ERROR three"}), Records(Read("mem.log")));
}

TEST_F(MemLog, ShortWriteContinuesWhereItStopped)
{
    ASSERT_EQ(0, zlog_init(BareConf("vomu_category.INFO >memlog:" + Path("mem.log")).c_str()));
    zlog_category_t* pCat = zlog_get_category("vomu_category");
    // 500 records of 100 bytes: 32,700 in the previous block, 17,300 in the current one.
    std::string strPad(94, 'p'), strAll;
    for (int i = 0; i < 500; ++i) {
        char szLine[128];
        snprintf(szLine, sizeof szLine, "%04d %s\n", i, strPad.c_str());
        zlog_info(pCat, "%.*s", 99, szLine);
        strAll += szLine;
    }
    // The file may grow to 40,000 bytes: the previous block goes out whole, the current
    // one in part, and the write fails.
    struct rlimit oldLimit;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &oldLimit));
    struct rlimit limit = oldLimit;
    limit.rlim_cur = 40000;
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
    zlog_error(pCat, "first error");
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(40000u, Read("mem.log").size());
    EXPECT_NE(std::string::npos, Read("diag.err").find("write fail, errno[27]"));

    zlog_error(pCat, "second error");
    zlog_fini();
    EXPECT_TRUE(strAll + "first error\nsecond error\n" == Read("mem.log")) << Read("mem.log").size();
}

TEST_F(MemLog, WrapperLevelNamesTheRulesLevel)
{
    struct LevelCase {
        unsigned nLevel;
        const char* pszName;
    };
    const LevelCase CASES[] = {{0, "FATAL"}, {1, "ERROR"}, {2, "WARN"}, {3, "INFO"}, {4, "DEBUG"}, {7, "INFO"}};
    for (const LevelCase& c : CASES) {
        SCOPED_TRACE(c.nLevel);
        ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(c.nLevel, Path("lv.log").c_str()));
        zlog_profile();
        vomu_log_fini();
        // Two blanks before ">", as the wrapper builds the line.
        std::string strRule = std::string("rule [vomu_category.") + c.pszName + "  >memlog:" + Path("lv.log") + "]";
        EXPECT_NE(std::string::npos, Read("diag.err").find(strRule)) << strRule;
        EXPECT_NE(std::string::npos, Read("diag.dbg").find(std::string("------log_level[") + c.pszName + "]------"));
        unlink(Path("diag.err").c_str());
    }
    // 7 behaves as INFO: DEBUG dropped, INFO kept.
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(7, Path("seven.log").c_str()));
    TRACE(TRACE_LEVEL_DEBUG, "dropped");
    TraceInfo("kept");
    TraceError("end");
    EXPECT_EQ((std::vector<std::string>{"INFO kept", "ERROR end"}), Records(Read("seven.log")));
}

TEST_F(MemLog, WrapperRefusesAnEmptyPathAndKeepsARunningConfiguration)
{
    EXPECT_EQ(VOMU_LOG_E_INIT, vomu_log_init_memory_log(0, ""));
    EXPECT_EQ(VOMU_LOG_E_INIT, vomu_log_init_memory_log(3, nullptr));
    EXPECT_NE(std::string::npos, Read("diag.err").find("------psz_log_path is empty------"));
    EXPECT_EQ(VOMU_LOG_E_NOT_INIT, TraceInfo("still off"));

    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(3, Path("first.log").c_str()));
    EXPECT_EQ(VOMU_OK, vomu_log_init_memory_log(4, Path("second.log").c_str()));
    EXPECT_EQ(VOMU_OK, vomu_log_init_memory_log(0, ""));
    TRACE(TRACE_LEVEL_DEBUG, "dropped: the first rule stays");
    TraceError("error");
    EXPECT_EQ(std::vector<std::string>{"ERROR error"}, Records(Read("first.log")));
    EXPECT_EQ("", Read("second.log"));
    EXPECT_NE(std::string::npos, Read("diag.dbg").find("------have initialized------"));
}

TEST_F(MemLog, RuleOrPathTooLongForItsStoreIsRefused)
{
    // The stored rule holds 511 characters; 511 - strlen("vomu_category.INFO  >memlog:") = 483.
    std::string strBase = m_strDir + "/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/";
    std::string strFits = strBase + std::string(483 - strBase.size(), 'f');
    std::string strOver = strFits + "g";
    EXPECT_EQ(VOMU_LOG_E_INIT, vomu_log_init_memory_log(3, strOver.c_str()));
    EXPECT_NE(std::string::npos, Read("diag.err").find("zlog_init_memory_log() failed"));
    EXPECT_EQ(-1, zlog_init_memory_log("INFO", strOver.c_str()));
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(3, strFits.c_str()));
    TraceError("fits");
    EXPECT_EQ(std::vector<std::string>{"ERROR fits"}, Records(ReadText(strFits)));
    vomu_log_fini();

    // In a configuration file the path may hold 1,024 characters.
    std::string strLong(1025, 'l');
    EXPECT_EQ(-1, zlog_init(BareConf("c.* >memlog:/" + strLong).c_str()));
    EXPECT_NE(std::string::npos, Read("diag.err").find("over 1024 characters"));
}

TEST_F(MemLog, AfterShutdownAFileConfigurationWorksNormally)
{
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, Path("mem.log").c_str()));
    TraceError("memory");
    vomu_log_fini();
    WriteText(Path("file.conf"), "[formats]\nf = \"%V %m%n\"\n[rules]\nvomu_category.DEBUG \"" + Path("file.log") +
                                     "\"; f\n");
    ASSERT_EQ(VOMU_OK, vomu_log_init_ex(Path("file.conf").c_str()));
    TRACE(TRACE_LEVEL_DEBUG, "debug");
    // The reload reads the file again: the memory-log rule is gone with the shut-down.
    ASSERT_EQ(0, zlog_reload(nullptr));
    TraceError("error");
    vomu_log_fini();
    EXPECT_EQ("DEBUG debug\nERROR error\n", Read("file.log"));
    EXPECT_EQ(std::vector<std::string>{"ERROR memory"}, Records(Read("mem.log")));
}

TEST_F(MemLog, MemoryLogRuleInAConfigurationFileSitsBesideOtherRules)
{
    WriteText(Path("two.conf"), "[formats]\nbare = \"%m%n\"\n[rules]\nc.* \"" + Path("all.log") + "\"; bare\nc.* >memlog:" +
                                    Path("mem.log") + "\n");
    ASSERT_EQ(0, zlog_init(Path("two.conf").c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    zlog_debug(pCat, "d");
    zlog_warn(pCat, "w");
    EXPECT_EQ("", Read("mem.log"));
    zlog_error(pCat, "e");
    zlog_fini();
    EXPECT_EQ("d\nw\ne\n", Read("all.log"));
    // The memory-log rule names no format of its own: the default layout.
    std::vector<std::string> lines;
    std::istringstream in(Read("mem.log"));
    for (std::string s; std::getline(in, s);) lines.push_back(s);
    ASSERT_EQ(3u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ERROR \\[\\d+:.*zlog_memlog_test\\.cpp:\\d+\\] e")))
        << lines[2];
}
