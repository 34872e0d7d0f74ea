// Per-thread record buffers under one key: many writers at once through a file rule and the
// memory log, threads coming and going while others log, the key's life at process exit,
// MDC calls without a key, and the configuration chosen for an empty path.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "zlog.h"
#include "vomu_result.h"
#include "vomu_zlog.h"
#include "zlog_internal.h"

using morv_test::MakeTempDir;
using morv_test::ReadText;
using morv_test::RemoveTree;
using morv_test::WriteText;

namespace {

struct ThreadDir {
    std::string strDir = MakeTempDir();
    ThreadDir()
    {
        setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1);
        setenv("ZLOG_PROFILE_DEBUG", (strDir + "/diag.dbg").c_str(), 1);
    }
    ~ThreadDir() { RemoveTree(strDir); }
    std::string Path(const std::string& strName) const { return strDir + "/" + strName; }
    std::string Read(const std::string& strName) const { return ReadText(Path(strName)); }
    // Rules (each given the bare "%m%n" format) written to z.conf; its path.
    std::string Conf(const std::vector<std::string>& rules) const
    {
        std::string strText = "[formats]\nbare = \"%m%n\"\n[rules]\n";
        for (const std::string& r : rules) strText += r + "; bare\n";
        WriteText(Path("z.conf"), strText);
        return Path("z.conf");
    }
};

// Lines "t=<t> i=<i> ..." of nThreads writers: each whole, each writer's i counting up
// from 0; the number of lines per writer.
std::vector<int> CheckWriters(const std::string& strText, int nThreads)
{
    std::vector<int> next(nThreads, 0);
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) {
        int t = -1, i = -1;
        char szEnd[8] = {0};
        if (sscanf(strLine.c_str(), "t=%d i=%d %*s %7s", &t, &i, szEnd) != 3 || t < 0 || t >= nThreads ||
            i != next[t] || std::string(szEnd) != "end") {
            ADD_FAILURE() << "broken or out of order: " << strLine;
            return next;
        }
        ++next[t];
    }
    return next;
}

}  // namespace

TEST(ZlogThreads, EightWritersThroughAFileRuleAndTheMemoryLogAtOnce)
{
    ThreadDir d;
    ASSERT_EQ(0, zlog_init(d.Conf({"c.* \"" + d.Path("file.log") + "\"", "c.* >memlog:" + d.Path("mem.log")}).c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    const int nMainHolds = zl::ThreadBufCount();
    // Every 50th record of a writer is an ERROR, so at most 8 * 49 + 1 records (well under
    // a block) wait between two writes of the memory log: it must lose nothing either.
    const int THREADS = 8, RECORDS = 1000;
    std::string strPad(40, 'p');
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < RECORDS; ++i) {
                int nLevel = i % 50 == 49 ? ZLOG_LEVEL_ERROR : ZLOG_LEVEL_INFO;
                ZLOG_AT_(pCat, nLevel, "t=%d i=%d %s end", t, i, strPad.c_str());
            }
        });
    }
    for (auto& w : workers) w.join();
    zlog_fini();
    EXPECT_EQ(std::vector<int>(THREADS, RECORDS), CheckWriters(d.Read("file.log"), THREADS));
    EXPECT_EQ(std::vector<int>(THREADS, RECORDS), CheckWriters(d.Read("mem.log"), THREADS));
    EXPECT_EQ(nMainHolds, zl::ThreadBufCount());
}

TEST(ZlogThreads, WorkersComeAndGoWhileOthersLog)
{
    ThreadDir d;
    ASSERT_EQ(0, zlog_init(d.Conf({"c.* \"" + d.Path("churn.log") + "\""}).c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    // The main thread keeps buffers from an earlier test of this process, if any.
    const int nMainHolds = zl::ThreadBufCount();
    const int STEADY = 4, WAVES = 10, PER_WAVE = 6, SHORT_RECORDS = 20;
    const int WRITERS = STEADY + WAVES * PER_WAVE;
    std::atomic<bool> bStop{false};
    std::vector<int> steadyCount(STEADY, 0);
    std::vector<std::thread> steady;
    for (int t = 0; t < STEADY; ++t) {
        steady.emplace_back([&, t] {
            int i = 0;
            // Some records before the churn starts, then until told to stop.
            for (; i < 200 || !bStop.load(); ++i) zlog_info(pCat, "t=%d i=%d x end", t, i);
            steadyCount[t] = i;
        });
    }
    for (int w = 0; w < WAVES; ++w) {
        std::vector<std::thread> wave;
        for (int k = 0; k < PER_WAVE; ++k) {
            int t = STEADY + w * PER_WAVE + k;
            wave.emplace_back([&, t] {
                for (int i = 0; i < SHORT_RECORDS; ++i) zlog_info(pCat, "t=%d i=%d x end", t, i);
            });
        }
        for (auto& th : wave) th.join();
    }
    bStop = true;
    for (auto& th : steady) th.join();
    // Every worker has left: the count is back where it was, and without the main thread
    // the key went with the last holder.
    EXPECT_EQ(nMainHolds, zl::ThreadBufCount());
    EXPECT_EQ(nMainHolds != 0, zl::ThreadKeyExists());
    zlog_info(pCat, "t=0 i=%d x end", steadyCount[0]);
    EXPECT_EQ(1, zl::ThreadBufCount());
    EXPECT_TRUE(zl::ThreadKeyExists());
    zlog_fini();
    std::vector<int> expected(WRITERS, SHORT_RECORDS);
    for (int t = 0; t < STEADY; ++t) expected[t] = steadyCount[t];
    ++expected[0];
    EXPECT_EQ(expected, CheckWriters(d.Read("churn.log"), WRITERS));
}

TEST(ZlogThreads, MdcCallsWithoutAKeyDoNothingAndAPutCreatesIt)
{
    // Buffers survive shut-down: after an earlier test of this process the main thread
    // holds some and the key cannot go (ctest runs every case in a process of its own).
    if (zl::ThreadBufCount() != 0) GTEST_SKIP() << "needs a process whose main thread never logged";
    ThreadDir d;
    ASSERT_EQ(0, zlog_init(d.Conf({"c.* \"" + d.Path("m.log") + "\""}).c_str()));
    struct Fini {
        ~Fini() { zlog_fini(); }
    } fini;
    std::thread([] { EXPECT_EQ(0, zlog_put_mdc("k", "worker")); }).join();
    ASSERT_FALSE(zl::ThreadKeyExists());
    EXPECT_EQ(nullptr, zlog_get_mdc("k"));
    zlog_remove_mdc("k");
    zlog_clean_mdc();
    EXPECT_FALSE(zl::ThreadKeyExists()) << "lookups must not create the key";
    EXPECT_EQ(0, zl::ThreadBufCount());
    EXPECT_NE(std::string::npos, d.Read("diag.dbg").find("never call zlog_init() or dzlog_init() before(2)"));

    EXPECT_EQ(0, zlog_put_mdc("k", "main"));
    EXPECT_TRUE(zl::ThreadKeyExists());
    EXPECT_EQ(1, zl::ThreadBufCount());
    EXPECT_STREQ("main", zlog_get_mdc("k"));
}

// At process exit the handler frees the exiting thread's buffers and deletes the key, even
// while another thread still holds buffers: no destructor of ours may outlive the code.
TEST(ZlogThreads, ExitHandlerDeletesTheKeyWhateverTheCount)
{
    struct ExitCase {
        bool bWorkerAlive;
        const char* pszCount;  // the count the handler reports after freeing the main thread's buffers
    };
    for (const ExitCase& c : {ExitCase{false, "0"}, ExitCase{true, "1"}}) {
        SCOPED_TRACE(c.bWorkerAlive ? "worker alive" : "main thread only");
        ThreadDir d;
        std::string strConf = d.Conf({"c.* \"" + d.Path("x.log") + "\""});
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (zlog_init(strConf.c_str()) != 0) _exit(3);
            zlog_category_t* pCat = zlog_get_category("c");
            zlog_info(pCat, "main");
            int fds[2];
            if (c.bWorkerAlive) {
                if (pipe(fds) != 0) _exit(4);
                std::atomic<bool> bLogged{false};
                std::thread([&] {
                    zlog_info(pCat, "worker");
                    bLogged = true;
                    char ch;
                    while (read(fds[0], &ch, 1) != 0) {
                    }
                }).detach();
                while (!bLogged) usleep(1000);
            }
            zlog_fini();
            exit(0);
        }
        int nStatus = 0;
        ASSERT_EQ(pid, waitpid(pid, &nStatus, 0));
        ASSERT_TRUE(WIFEXITED(nStatus));
        ASSERT_EQ(0, WEXITSTATUS(nStatus));
        std::string strDiag = d.Read("diag.dbg");
        size_t nAt = strDiag.find(std::string("-zlog_thread_buf_count(") + c.pszCount + ")");
        EXPECT_NE(std::string::npos, nAt) << strDiag;
        EXPECT_NE(std::string::npos, strDiag.find("zlog_clean_rest_thread(pthread_key_delete: 0x", nAt)) << strDiag;
        // Shut-down kept the key: a thread still held buffers.
        EXPECT_EQ(std::string::npos, strDiag.find("zlog_fini_inner(pthread_key_delete")) << strDiag;
    }
}

TEST(ZlogConfPath, EmptyPathWithoutTheVariableGivesTheOneStdoutRule)
{
    ThreadDir d;
    unsetenv("VOMU_LOG_CONF_PATH");
    struct BuiltinCase {
        const char* pszName;
        zl::Conf* (*make)();
    };
    const BuiltinCase CASES[] = {
        {"zlog_conf_new(\"\")", [] { return zl::zlog_conf_new(""); }},
        {"zlog_conf_new(null)", [] { return zl::zlog_conf_new(nullptr); }},
        {"zlog_conf_new_with_rule(\"\")", [] { return zl::zlog_conf_new_with_rule(""); }},
        {"zlog_conf_new_with_rule(null)", [] { return zl::zlog_conf_new_with_rule(nullptr); }},
    };
    for (const BuiltinCase& c : CASES) {
        SCOPED_TRACE(c.pszName);
        std::unique_ptr<zl::Conf> conf(c.make());
        ASSERT_TRUE(conf);
        ASSERT_EQ(1u, conf->rules.size());
        EXPECT_EQ("*.*        >stdout", conf->rules[0]->strLine);
        EXPECT_EQ("*", conf->rules[0]->strCategory);
        EXPECT_EQ(zl::LEVEL_ANY, conf->rules[0]->levelOp);
        EXPECT_EQ("", conf->strFile);
        EXPECT_EQ("/tmp/zlog.lock", conf->strLockFile);
        EXPECT_EQ(1024u, conf->nBufMin);
        EXPECT_EQ(0x200000u, conf->nBufMax);
        EXPECT_EQ(0600u, conf->filePerms);
        EXPECT_EQ(0, conf->nReloadPeriod);
        EXPECT_EQ("%D %V [%p:%F:%L] %m%n", conf->defaultFormat->strPattern);
        EXPECT_EQ(conf->defaultFormat.get(), conf->rules[0]->pFormat);
    }
    // The variable names the file when the path is empty; an over-long path is refused.
    WriteText(d.Path("env.conf"), "[rules]\nenv.* >stderr\n");
    setenv("VOMU_LOG_CONF_PATH", d.Path("env.conf").c_str(), 1);
    std::unique_ptr<zl::Conf> conf(zl::zlog_conf_new(""));
    unsetenv("VOMU_LOG_CONF_PATH");
    ASSERT_TRUE(conf);
    EXPECT_EQ(d.Path("env.conf"), conf->strFile);
    ASSERT_EQ(1u, conf->rules.size());
    EXPECT_EQ("env.* >stderr", conf->rules[0]->strLine);
    EXPECT_EQ(nullptr, zl::zlog_conf_new(("/" + std::string(1024, 'p')).c_str()));
    EXPECT_NE(std::string::npos, d.Read("diag.err").find("not enough space for path name, nwrite=[1025]"));
}

// Logging stopped and started again while other threads log through the wrapper: a thread may
// have read the category just before a stop. Records in the gap may be lost; nothing may crash
// or touch freed memory (the sanitizer builds catch it; the race is hit in most runs, so the
// cycle repeats).
TEST(ZlogThreads, StopAndRestartWhileOthersTrace)
{
    ThreadDir d;
    unsetenv("ZLOG_PROFILE_DEBUG");  // a start as quick as it can be
    const std::string strLog = d.Path("mem.log");
    ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, strLog.c_str()));
    const int WRITERS = 4, CYCLES = 2000;
    // A long text widens the window between reading the category and using it.
    const std::string strLong(1024 * 1024, 'x');
    std::atomic<bool> bStop{false};
    std::atomic<long> nTraced{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < WRITERS; ++t) {
        writers.emplace_back([&] {
            while (!bStop.load()) {
                int rc = TRACE(TRACE_LEVEL_INFO, "%s", strLong.c_str());
                EXPECT_TRUE(rc == VOMU_OK || rc == VOMU_LOG_E_NOT_INIT) << rc;
                if (rc == VOMU_OK) ++nTraced;
                TRACE_BINARY(TRACE_LEVEL_INFO, "ab", 2);
            }
        });
    }
    for (int i = 0; i < CYCLES; ++i) {
        vomu_log_fini();
        ASSERT_EQ(VOMU_OK, vomu_log_init_memory_log(TRACE_LEVEL_INFO, strLog.c_str()));
    }
    bStop = true;
    for (auto& th : writers) th.join();
    EXPECT_GT(nTraced.load(), 0);
    // Logging works after the churn, through the same category as before.
    ASSERT_EQ(VOMU_OK, TRACE(TRACE_LEVEL_ERROR, "after the churn"));
    vomu_log_fini();
    EXPECT_NE(std::string::npos, d.Read("mem.log").find("after the churn"));
}
