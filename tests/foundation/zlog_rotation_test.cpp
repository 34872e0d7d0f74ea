// A static file output under logrotate's default mode: the file is renamed away and a new
// one created (or not) at the path. The library must find the path again, lose no record and
// keep writing to the old file while the path cannot be opened.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "zlog.h"

using morv_test::MakeTempDir;
using morv_test::ReadText;
using morv_test::RemoveTree;
using morv_test::WriteText;

namespace {

using Clock = std::chrono::steady_clock;

struct RotDir {
    std::string strDir = MakeTempDir();
    zlog_category_t* pCat = nullptr;
    int nNext = 0;  // the number of the next record "r<n>"

    RotDir() { setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1); }
    ~RotDir() { RemoveTree(strDir); }
    std::string Path(const std::string& strName) const { return strDir + "/" + strName; }
    std::string Read(const std::string& strName) const { return ReadText(Path(strName)); }
    // The category "c" writing "%m%n" records to app.log.
    bool Start()
    {
        WriteText(Path("z.conf"), "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"" + Path("app.log") + "\"; f\n");
        if (zlog_init(Path("z.conf").c_str()) != 0) return false;
        pCat = zlog_get_category("c");
        return pCat != nullptr;
    }
    // Started, one record written, then app.log renamed to app.log.1 as logrotate does.
    bool StartAndMoveAway()
    {
        if (!Start()) return false;
        Write();
        return rename(Path("app.log").c_str(), Path("app.log.1").c_str()) == 0;
    }
    void Write() { zlog_info(pCat, "r%d", nNext++); }
    // Writes a record every 20 ms until done() holds; false when it does not within the limit.
    bool WriteUntil(std::chrono::milliseconds limit, const std::function<bool()>& done)
    {
        const Clock::time_point tEnd = Clock::now() + limit;
        while (Clock::now() < tEnd) {
            Write();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

// "r0\nr1\n...r<n-1>\n"
std::string Numbered(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i) s += "r" + std::to_string(i) + "\n";
    return s;
}

}  // namespace

// logrotate's "create" makes the new file itself; with "nocreate" the library creates it.
TEST(ZlogRotation, RecordsReachAMovedAwayLogsPathAgainWithinTwoSeconds)
{
    for (bool bCreate : {true, false}) {
        RotDir d;
        ASSERT_TRUE(d.StartAndMoveAway());
        if (bCreate) WriteText(d.Path("app.log"), "");
        const bool bFollowed =
            d.WriteUntil(std::chrono::milliseconds(2000), [&] { return !d.Read("app.log").empty(); });
        d.Write();
        zlog_fini();
        EXPECT_TRUE(bFollowed) << (bCreate ? "create" : "nocreate");
        // Each record once, in order: the moved file up to the switch, the new one after it.
        const std::string strOld = d.Read("app.log.1"), strNew = d.Read("app.log");
        EXPECT_EQ(0u, strOld.find("r0\n"));
        EXPECT_EQ(Numbered(d.nNext), strOld + strNew);
        EXPECT_LT(strNew.find("r"), strNew.size());
    }
}

TEST(ZlogRotation, FailedReopenKeepsWritingTheOldFileAndSaysSo)
{
    RotDir d;
    ASSERT_TRUE(d.StartAndMoveAway());
    ASSERT_EQ(0, mkdir(d.Path("app.log").c_str(), 0700));  // the path cannot be opened for writing
    const std::string strDiag = "reopen file[" + d.Path("app.log") + "] fail";
    EXPECT_TRUE(d.WriteUntil(std::chrono::milliseconds(10000),
                             [&] { return d.Read("diag.err").find(strDiag) != std::string::npos; }));
    EXPECT_EQ(Numbered(d.nNext), d.Read("app.log.1"));

    // Once the path can be opened again, the next check follows it.
    ASSERT_EQ(0, rmdir(d.Path("app.log").c_str()));
    const int nSwitchFrom = d.nNext;
    EXPECT_TRUE(d.WriteUntil(std::chrono::milliseconds(10000), [&] { return !d.Read("app.log").empty(); }));
    zlog_fini();
    const std::string strOld = d.Read("app.log.1");
    EXPECT_EQ(Numbered(d.nNext), strOld + d.Read("app.log"));
    EXPECT_NE(std::string::npos, strOld.find("r" + std::to_string(nSwitchFrom) + "\n"));
}

// Writers on several threads while the file is rotated twice: every record lands whole in one
// of the files, none lost, each thread's records in order.
TEST(ZlogRotation, WritersOnManyThreadsLoseNothingAcrossRotations)
{
    RotDir d;
    ASSERT_TRUE(d.Start());
    zlog_category_t* pCat = d.pCat;
    const int THREADS = 4;
    std::atomic<bool> bStop{false};
    std::vector<int> written(THREADS, 0);
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([&, t] {
            while (!bStop.load()) {
                zlog_info(pCat, "t%d i%d", t, written[t]++);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    for (int k = 1; k <= 2; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ASSERT_EQ(0, rename(d.Path("app.log").c_str(), d.Path("app.log." + std::to_string(k)).c_str()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    bStop = true;
    for (auto& w : writers) w.join();
    zlog_fini();

    std::istringstream in(d.Read("app.log.1") + d.Read("app.log.2") + d.Read("app.log"));
    std::vector<int> next(THREADS, 0);
    std::string strLine;
    while (std::getline(in, strLine)) {
        int t = -1, i = -1;
        ASSERT_EQ(2, sscanf(strLine.c_str(), "t%d i%d", &t, &i)) << strLine;
        ASSERT_TRUE(t >= 0 && t < THREADS) << strLine;
        ASSERT_EQ(next[t], i) << "thread " << t;
        ++next[t];
    }
    EXPECT_EQ(written, next);
    EXPECT_FALSE(d.Read("app.log").empty()) << "the last rotation was not followed";
}
