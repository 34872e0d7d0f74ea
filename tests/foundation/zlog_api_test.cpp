// The library's interface beyond configuration: hex dumps, MDC, reload, the default category,
// buffer limits, per-thread buffers and concurrent writers.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "zlog.h"
#include "zlog_internal.h"

using morv_test::MakeTempDir;
using morv_test::ReadText;
using morv_test::RemoveTree;
using morv_test::WriteText;

namespace {

// A directory holding z.conf, diagnostics captured in diag.err / diag.dbg.
struct ZDir {
    std::string strDir = MakeTempDir();
    ZDir()
    {
        setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1);
        setenv("ZLOG_PROFILE_DEBUG", (strDir + "/diag.dbg").c_str(), 1);
    }
    ~ZDir() { RemoveTree(strDir); }
    std::string Conf(const std::string& strBody)
    {
        std::string s = strBody;
        for (size_t i = s.find("$DIR"); i != std::string::npos; i = s.find("$DIR")) s.replace(i, 4, strDir);
        WriteText(strDir + "/z.conf", s);
        return strDir + "/z.conf";
    }
    std::string Read(const std::string& strName) const { return ReadText(strDir + "/" + strName); }
};

}  // namespace

TEST(ZlogApi, HexDumpLayout)
{
    ZDir d;
    ASSERT_EQ(0, zlog_init(d.Conf("[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$DIR/h.log\"; f\n").c_str()));
    unsigned char data[33];
    for (int i = 0; i < 33; ++i) data[i] = (unsigned char)(0x30 + i * 3);
    hzlog_info(zlog_get_category("c"), data, sizeof data);
    zlog_fini();
    EXPECT_EQ("hex_buf_len=[33]\n"
              "0000000000  30 33 36 39 3c 3f 42 45 48 4b 4e 51 54 57 5a 5d  0369<?BEHKNQTWZ]\n"
              "0000000016  60 63 66 69 6c 6f 72 75 78 7b 7e 81 84 87 8a 8d  `cfilorux{~.....\n"
              "0000000032  90                                               .\n",
              d.Read("h.log"));
}

TEST(ZlogApi, MdcValuesAppearInRecordsAndCanBeRemoved)
{
    ZDir d;
    ASSERT_EQ(0, zlog_init(d.Conf("[formats]\nf = \"[%M(user)|%-4M(id)] %m%n\"\n[rules]\nc.* \"$DIR/m.log\"; f\n").c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    EXPECT_EQ(0, zlog_put_mdc("user", "alice"));
    EXPECT_EQ(0, zlog_put_mdc("id", "7"));
    zlog_info(pCat, "one");
    EXPECT_STREQ("alice", zlog_get_mdc("user"));
    EXPECT_EQ(0, zlog_put_mdc("user", "bob"));
    zlog_info(pCat, "two");
    zlog_remove_mdc("user");
    EXPECT_EQ(nullptr, zlog_get_mdc("user"));
    zlog_info(pCat, "three");
    zlog_clean_mdc();
    EXPECT_EQ(nullptr, zlog_get_mdc("id"));
    zlog_info(pCat, "four");
    EXPECT_EQ(-1, zlog_put_mdc(std::string(200, 'k').c_str(), "v"));
    zlog_fini();
    EXPECT_EQ("[alice|7   ] one\n[bob|7   ] two\n[|7   ] three\n[|    ] four\n", d.Read("m.log"));
}

TEST(ZlogApi, ReloadSwitchesRulesAndKeepsCategoryHandles)
{
    ZDir d;
    std::string strConf = d.Conf("[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$DIR/one.log\"; f\n");
    ASSERT_EQ(0, zlog_init(strConf.c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    zlog_info(pCat, "1");
    d.Conf("[formats]\nf = \"R %m%n\"\n[rules]\nc.WARN \"$DIR/two.log\"; f\n");
    ASSERT_EQ(0, zlog_reload(nullptr));  // the same file, read again
    EXPECT_EQ(pCat, zlog_get_category("c"));
    zlog_info(pCat, "dropped by the new level");
    zlog_warn(pCat, "2");
    zlog_fini();
    EXPECT_EQ("1\n", d.Read("one.log"));
    EXPECT_EQ("R 2\n", d.Read("two.log"));
}

TEST(ZlogApi, ReloadPeriodReloadsAfterThatManyRecords)
{
    ZDir d;
    ASSERT_EQ(0, zlog_init(d.Conf("[global]\nreload conf period = 3\n[formats]\nf = \"%m%n\"\n[rules]\n"
                                  "c.* \"$DIR/a.log\"; f\n").c_str()));
    d.Conf("[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$DIR/b.log\"; f\n");
    zlog_category_t* pCat = zlog_get_category("c");
    for (int i = 1; i <= 5; ++i) zlog_info(pCat, "%d", i);
    zlog_fini();
    EXPECT_EQ("1\n2\n3\n", d.Read("a.log"));
    EXPECT_EQ("4\n5\n", d.Read("b.log"));
}

TEST(ZlogApi, LifecycleMisuseIsDiagnosedNotFatal)
{
    ZDir d;
    EXPECT_EQ(nullptr, zlog_get_category("c"));
    EXPECT_EQ(-1, zlog_reload(nullptr));
    zlog_fini();
    zlog(nullptr, "f", 1, "g", 1, 1, ZLOG_LEVEL_INFO, "no category");
    EXPECT_EQ(-1, zlog_set_record("mine", nullptr));
    std::string strConf = d.Conf("[rules]\nc.* >stdout\n");
    ASSERT_EQ(0, zlog_init(strConf.c_str()));
    EXPECT_EQ(-1, zlog_init(strConf.c_str()));
    zlog_profile();
    zlog_fini();
    std::string strDiag = d.Read("diag.err");
    EXPECT_NE(std::string::npos, strDiag.find("already init, use zlog_reload pls"));
    EXPECT_NE(std::string::npos, strDiag.find("rule [c.* >stdout]"));  // the profile
    EXPECT_NE(std::string::npos, d.Read("diag.dbg").find("------zlog_init success end------"));
}

TEST(ZlogApi, FailedFirstStartsRegisterTheExitHandlerOnce)
{
    ZDir d;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(-1, zlog_init((d.strDir + "/missing.conf").c_str()));
    EXPECT_EQ(-1, zlog_init_memory_log("NOPE", (d.strDir + "/m.log").c_str()));
    EXPECT_EQ(1, zl::ExitHandlerRegistrations());
    ASSERT_EQ(0, zlog_init(d.Conf("[rules]\nc.* >stdout\n").c_str()));
    zlog_fini();
    ASSERT_EQ(0, zlog_init(d.Conf("[rules]\nc.* >stdout\n").c_str()));
    zlog_fini();
    EXPECT_EQ(1, zl::ExitHandlerRegistrations());
}

TEST(ZlogApi, DefaultCategoryFamily)
{
    ZDir d;
    ASSERT_EQ(0, dzlog_init(d.Conf("[formats]\nf = \"%c %V %m%n\"\n[rules]\n*.* \"$DIR/d.log\"; f\n").c_str(), "first"));
    dzlog_info("a %d", 1);
    ASSERT_EQ(0, dzlog_set_category("second"));
    dzlog_error("b");
    hdzlog(__FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, ZLOG_LEVEL_DEBUG, "z", 1);
    zlog_fini();
    EXPECT_EQ("first INFO a 1\nsecond ERROR b\nsecond DEBUG hex_buf_len=[1]\n0000000000  7a"
              "                                               z\n",
              d.Read("d.log"));
}

TEST(ZlogApi, RecordOverBufferMaxIsCutAndEndsWithANewline)
{
    ZDir d;
    ASSERT_EQ(0, zlog_init(d.Conf("[global]\nbuffer min = 64\nbuffer max = 100\n[formats]\nf = \"%m%n\"\n"
                                  "[rules]\nc.* \"$DIR/t.log\"; f\n").c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    zlog_info(pCat, "%s", std::string(300, 'y').c_str());
    zlog_info(pCat, "short");
    zlog_fini();
    std::string strText = d.Read("t.log");
    size_t nFirst = strText.find('\n');
    ASSERT_NE(std::string::npos, nFirst);
    EXPECT_LE(nFirst + 1, 100u);
    EXPECT_GT(nFirst, 50u);
    EXPECT_EQ(std::string(nFirst, 'y'), strText.substr(0, nFirst));
    EXPECT_EQ("short\n", strText.substr(nFirst + 1));
}

TEST(ZlogApi, NullConfigurationPathReadsTheEnvironmentOrWritesToStdout)
{
    ZDir d;
    setenv("VOMU_LOG_CONF_PATH", d.Conf("[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$DIR/env.log\"; f\n").c_str(), 1);
    ASSERT_EQ(0, zlog_init(nullptr));
    zlog_info(zlog_get_category("c"), "via env");
    zlog_fini();
    EXPECT_EQ("via env\n", d.Read("env.log"));

    unsetenv("VOMU_LOG_CONF_PATH");
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, zlog_init(""));
    zlog(zlog_get_category("any"), "src/a.c", 7, "f", 1, 9, ZLOG_LEVEL_DEBUG, "built-in");
    zlog_fini();
    std::string strOut = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, strOut.find(" DEBUG [" + std::to_string(getpid()) + ":src/a.c:9] built-in\n")) << strOut;
}

// zlog_level_enabled answers from the category's rules, for every kind of level selector.
TEST(ZlogApi, LevelEnabledFollowsTheRules)
{
    struct Case {
        const char* pszRules;
        const char* pszCategory;
        std::vector<int> enabled;  // of DEBUG, INFO, NOTICE, WARN, ERROR, FATAL
    };
    const Case CASES[] = {
        {"c.INFO >stdout", "c", {0, 1, 1, 1, 1, 1}},
        {"c.=WARN >stdout", "c", {0, 0, 0, 1, 0, 0}},
        {"c.!ERROR >stdout", "c", {1, 1, 1, 1, 0, 1}},
        {"c.* >stdout", "c", {1, 1, 1, 1, 1, 1}},
        {"c.ERROR >stdout\nc.=DEBUG >stderr", "c", {1, 0, 0, 0, 1, 1}},
        {"c_.WARN >stdout", "c_sub", {0, 0, 0, 1, 1, 1}},
        {"c.* >stdout", "other", {0, 0, 0, 0, 0, 0}},
        {"c.* >stdout\n!.ERROR >stdout", "other", {0, 0, 0, 0, 1, 1}},
    };
    const int LEVELS[] = {ZLOG_LEVEL_DEBUG, ZLOG_LEVEL_INFO, ZLOG_LEVEL_NOTICE,
                          ZLOG_LEVEL_WARN, ZLOG_LEVEL_ERROR, ZLOG_LEVEL_FATAL};
    for (const Case& c : CASES) {
        ZDir d;
        ASSERT_EQ(0, zlog_init(d.Conf(std::string("[rules]\n") + c.pszRules + "\n").c_str())) << c.pszRules;
        zlog_category_t* pCat = zlog_get_category(c.pszCategory);
        for (size_t i = 0; i < c.enabled.size(); ++i) {
            EXPECT_EQ(c.enabled[i], zlog_level_enabled(pCat, LEVELS[i])) << c.pszRules << " level " << LEVELS[i];
        }
        EXPECT_EQ(0, zlog_level_enabled(pCat, -1));
        EXPECT_EQ(0, zlog_level_enabled(pCat, 256));
        zlog_fini();
        EXPECT_EQ(0, zlog_level_enabled(pCat, ZLOG_LEVEL_FATAL)) << "a stopped library takes nothing";
    }
    EXPECT_EQ(0, zlog_level_enabled(nullptr, ZLOG_LEVEL_FATAL));
}

// A reload rebinds the category's levels in place: a handle taken before it answers anew.
TEST(ZlogApi, LevelEnabledFollowsAReload)
{
    ZDir d;
    std::string strConf = d.Conf("[rules]\nc.ERROR >stdout\n");
    ASSERT_EQ(0, zlog_init(strConf.c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    EXPECT_EQ(0, zlog_level_enabled(pCat, ZLOG_LEVEL_INFO));
    d.Conf("[rules]\nc.INFO >stdout\n");
    ASSERT_EQ(0, zlog_reload(nullptr));
    EXPECT_EQ(1, zlog_level_enabled(pCat, ZLOG_LEVEL_INFO));
    zlog_fini();
}

// The numbers a record carries (line, pid, thread, sub-second times) read as printf writes
// them: the library renders them itself on every record.
TEST(ZlogApi, NumbersInRecordsReadAsPrintfWritesThem)
{
    ZDir d;
    ASSERT_EQ(0, zlog_init(d.Conf("[formats]\nf = \"%L|%p|%T|%d(%S).%us|%ms|%us|%-8L|%3.2L%n\"\n"
                                  "[rules]\nc.* \"$DIR/n.log\"; f\n").c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    const long LINES[] = {0, 7, 42, 1000000007L, -5, LONG_MAX, LONG_MIN};
    for (long nLine : LINES) zlog(pCat, "f.c", 3, "g", 1, nLine, ZLOG_LEVEL_INFO, "x");
    zlog_fini();
    std::istringstream in(d.Read("n.log"));
    for (long nLine : LINES) {
        std::string strLine;
        ASSERT_TRUE(std::getline(in, strLine));
        char szHead[128];
        snprintf(szHead, sizeof szHead, "%ld|%ld|%lu|", nLine, (long)getpid(), (unsigned long)pthread_self());
        ASSERT_EQ(0u, strLine.find(szHead)) << strLine;
        int nSec = -1;
        long nUsInTime = -1, nMs = -1, nUs = -1;
        char szTail[64] = {0};
        ASSERT_EQ(5, sscanf(strLine.c_str() + strlen(szHead), "%2d.%6ld|%3ld|%6ld|%63[^\n]", &nSec, &nUsInTime, &nMs,
                            &nUs, szTail)) << strLine;
        EXPECT_EQ(nUsInTime, nUs);
        EXPECT_EQ(nUs / 1000, nMs);
        char szTimes[32];
        snprintf(szTimes, sizeof szTimes, "%02d.%06ld|%03ld|%06ld|", nSec, nUs, nMs, nUs);
        EXPECT_EQ(szTimes, strLine.substr(strlen(szHead), strlen(szTimes)));
        char szPadded[64];
        snprintf(szPadded, sizeof szPadded, "%-8ld|%3.2s", nLine, std::to_string(nLine).c_str());
        EXPECT_EQ(szPadded, std::string(szTail)) << strLine;
    }
}

// ---- threads ----------------------------------------------------------------------------

TEST(ZlogThreads, BuffersAreCountedPerThreadAndTheKeyFollowsThem)
{
    ZDir d;
    ASSERT_EQ(0, zlog_init(d.Conf("[formats]\nf = \"%m%n\"\n[rules]\nc.* \"$DIR/t.log\"; f\n").c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    EXPECT_EQ(0, zl::ThreadBufCount());
    std::thread([&] { zlog_info(pCat, "worker"); EXPECT_EQ(1, zl::ThreadBufCount()); }).join();
    // The last holder left: the key went with it, and MDC lookups find nothing.
    EXPECT_EQ(0, zl::ThreadBufCount());
    EXPECT_FALSE(zl::ThreadKeyExists());
    EXPECT_EQ(nullptr, zlog_get_mdc("k"));
    zlog_info(pCat, "main");
    zlog_info(pCat, "main again");
    EXPECT_EQ(1, zl::ThreadBufCount());
    EXPECT_TRUE(zl::ThreadKeyExists());
    std::thread([&] { zlog_info(pCat, "second"); EXPECT_EQ(2, zl::ThreadBufCount()); }).join();
    EXPECT_EQ(1, zl::ThreadBufCount());
    // Shut-down keeps the key while a thread holds buffers; they serve the next start.
    zlog_fini();
    EXPECT_TRUE(zl::ThreadKeyExists());
    ASSERT_EQ(0, zlog_init((d.strDir + "/z.conf").c_str()));
    zlog_info(zlog_get_category("c"), "restarted");
    EXPECT_EQ(1, zl::ThreadBufCount());
    zlog_fini();
    EXPECT_EQ("worker\nmain\nmain again\nsecond\nrestarted\n", d.Read("t.log"));
}

TEST(ZlogThreads, EightWritersLoseAndInterleaveNothing)
{
    ZDir d;
    ASSERT_EQ(0, zlog_init(d.Conf("[formats]\nf = \"%d(%T).%us %V [%p:%f:%L] t=%m%n\"\n[rules]\n"
                                  "c.* \"$DIR/mt.log\"; f\n").c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    const int THREADS = 8, RECORDS = 2000;
    std::string strPad(100, 'p');
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < RECORDS; ++i) zlog_info(pCat, "%d i=%d %s", t, i, strPad.c_str());
        });
    }
    for (auto& w : workers) w.join();
    zlog_fini();
    std::istringstream in(d.Read("mt.log"));
    std::string strLine;
    std::vector<int> next(THREADS, 0);
    int nLines = 0;
    while (std::getline(in, strLine)) {
        ++nLines;
        size_t nAt = strLine.find(" t=");
        ASSERT_NE(std::string::npos, nAt) << strLine;
        int t = -1, i = -1;
        char szPad[128] = {0};
        ASSERT_EQ(3, sscanf(strLine.c_str() + nAt, " t=%d i=%d %127s", &t, &i, szPad)) << strLine;
        ASSERT_TRUE(t >= 0 && t < THREADS) << strLine;
        ASSERT_EQ(next[t], i) << "thread " << t << " out of order: " << strLine;
        ASSERT_EQ(strPad, szPad) << strLine;
        ++next[t];
    }
    EXPECT_EQ(THREADS * RECORDS, nLines);
}
