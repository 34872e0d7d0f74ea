// INFO records through a file rule, one thread and eight, next to a plain fprintf+fflush loop
// writing the same lines in the same run. The files are checked afterwards: every line whole,
// none lost, each thread's records in order.
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/PeakMemory.h"
#include "VomuStep.h"
#include "vomu_zlog.h"
#include "zlog.h"

namespace {

const int SINGLE_RECORDS = 400000;
const int THREADS = 8;
const int THREAD_RECORDS = 100000;
const char* const PAYLOAD = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

double Seconds(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <typename Fn>
double RunThreads(int nThreads, int nRecords, Fn fn)
{
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < nThreads; ++t) {
        workers.emplace_back([=] {
            for (int i = 0; i < nRecords; ++i) fn(t, i);
        });
    }
    for (auto& w : workers) w.join();
    return Seconds(t0);
}

// Every line ends in "t=<t> i=<i> payload=<PAYLOAD>", each thread's i counting up from 0.
bool Verify(const std::string& strPath, int nThreads, int nRecords)
{
    std::ifstream in(strPath);
    std::string strLine;
    std::vector<int> next(nThreads, 0);
    long nLines = 0;
    std::string strTail = std::string(" payload=") + PAYLOAD;
    while (std::getline(in, strLine)) {
        ++nLines;
        size_t nAt = strLine.find(" t=");
        int t = -1, i = -1;
        if (nAt == std::string::npos || sscanf(strLine.c_str() + nAt, " t=%d i=%d", &t, &i) != 2 ||
            t < 0 || t >= nThreads || i != next[t] ||
            strLine.size() < strTail.size() ||
            strLine.compare(strLine.size() - strTail.size(), strTail.size(), strTail) != 0) {
            fprintf(stderr, "%s line %ld broken: %s\n", strPath.c_str(), nLines, strLine.c_str());
            return false;
        }
        ++next[t];
    }
    if (nLines != (long)nThreads * nRecords) {
        fprintf(stderr, "%s: %ld lines, expected %ld\n", strPath.c_str(), nLines, (long)nThreads * nRecords);
        return false;
    }
    return true;
}

// The plain loop formats the same line: time cached per second as the library does.
struct PlainWriter {
    FILE* fp;
    long nPid = (long)getpid();
    void Write(int t, int i)
    {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        thread_local time_t tLast = -1;
        thread_local char szTime[32];
        if (tv.tv_sec != tLast) {
            struct tm tmNow;
            localtime_r(&tv.tv_sec, &tmNow);
            strftime(szTime, sizeof szTime, "%F %T", &tmNow);
            tLast = tv.tv_sec;
        }
        fprintf(fp, "%s.%03ld INFO [%ld:log_bench.cpp:%d] bench t=%d i=%d payload=%s\n", szTime,
                (long)tv.tv_usec / 1000, nPid, __LINE__, t, i, PAYLOAD);
        fflush(fp);
    }
};

// ---- the wrapper: TRACE and the step lines under the rules a server runs with -----------

double NsPerCall(int nCalls, const std::function<void(int)>& fn)
{
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < nCalls; ++i) fn(i);
    return Seconds(t0) * 1e9 / nCalls;
}

// One configuration of the wrapper's category; false when logging does not start.
bool StartWrapper(const std::string& strDir, const std::string& strName, const std::string& strRule)
{
    std::string strConf = strDir + "/" + strName + ".conf";
    std::ofstream(strConf) << "[formats]\nbench = \"%d(%F %T).%ms %V [%p:%f:%L] %m%n\"\n[rules]\n"
                           << strRule << "\n";
    return vomu_log_init_ex(strConf.c_str()) == 0;
}

// The records of a signature's steps: a step line and an argument trace per round.
void StepAndTrace(int i)
{
    morv::StepOk(__FILE__, __LINE__, "SignData_PKCS7Detached", "DecodeASN1MemoryEx");
    TRACE(TRACE_LEVEL_INFO, "Value Length:0x%x ", i);
}

void WrapperBench(const std::string& strDir)
{
    const int CALLS = 400000;
    struct Rule {
        const char* pszLabel;
        std::string strRule;
        bool bMemlog;
    };
    const Rule RULES[] = {
        {"ERROR rule, file", "vomu_category.ERROR \"" + strDir + "/error.log\"; bench", false},
        {"INFO rule, memory log", "", true},
        {"INFO rule, file", "vomu_category.INFO \"" + strDir + "/info.log\"; bench", false},
    };
    printf("log_bench: the wrapper, ns per call (a step line and a TRACE of one number each)\n");
    for (const Rule& r : RULES) {
        bool bOk = r.bMemlog ? vomu_log_init_memory_log(TRACE_LEVEL_INFO, (strDir + "/mem.log").c_str()) == 0
                             : StartWrapper(strDir, "wrapper", r.strRule);
        if (!bOk) {
            fprintf(stderr, "logging did not start for %s\n", r.pszLabel);
            return;
        }
        NsPerCall(CALLS / 10, StepAndTrace);  // warm: buffers, page cache
        double dNs = NsPerCall(CALLS, StepAndTrace);
        vomu_log_fini();
        printf("  %-24s %8.1f ns per step line + TRACE\n", r.pszLabel, dNs);
    }

    // A data argument far longer than a record ([global] buffer max, 2 MiB by default).
    if (!StartWrapper(strDir, "huge", "vomu_category.INFO \"" + strDir + "/huge.log\"; bench")) return;
    std::string strHuge(256u * 1024 * 1024, 'h');
    morv_test::ResetPeak();
    long nBefore = morv_test::PeakKib();
    auto t0 = std::chrono::steady_clock::now();
    TRACE(TRACE_LEVEL_INFO, "strSourceData:%s", strHuge.c_str());
    double dTrace = Seconds(t0);
    long nTraceGrowth = morv_test::PeakKib() - nBefore;
    std::vector<unsigned char> bytes(64u * 1024 * 1024, 0x5a);
    t0 = std::chrono::steady_clock::now();
    TRACE_BINARY(TRACE_LEVEL_INFO, bytes.data(), (int)bytes.size());
    double dDump = Seconds(t0);
    vomu_log_fini();
    printf("  TRACE \"%%s\" of 256 MiB, INFO rule: %8.1f ms, peak memory +%ld MiB\n", dTrace * 1e3,
           nTraceGrowth / 1024);
    printf("  TRACE_BINARY of 64 MiB, INFO rule: %8.1f ms\n", dDump * 1e3);
}

}  // namespace

int main(int argc, char** argv)
{
    // "single": only the one-thread library run, for profiling; "wrapper": only the wrapper's.
    const bool bSingleOnly = argc > 1 && strcmp(argv[1], "single") == 0;
    const bool bWrapperOnly = argc > 1 && strcmp(argv[1], "wrapper") == 0;
    char szDir[] = "/tmp/morv_log_bench_XXXXXX";
    if (!mkdtemp(szDir)) return 1;
    std::string strDir = szDir;
    if (bWrapperOnly) {
        WrapperBench(strDir);
        std::string strRm = "rm -rf '" + strDir + "'";
        return system(strRm.c_str()) == 0 ? 0 : 1;
    }
    std::string strConf = strDir + "/bench.conf";
    {
        std::ofstream out(strConf);
        out << "[formats]\nbench = \"%d(%F %T).%ms %V [%p:%f:%L] %m%n\"\n[rules]\n"
            << "single.INFO \"" << strDir << "/single.log\"; bench\n"
            << "multi.INFO \"" << strDir << "/multi.log\"; bench\n";
    }
    if (zlog_init(strConf.c_str()) != 0) {
        fprintf(stderr, "zlog_init failed\n");
        return 1;
    }
    zlog_category_t* pSingle = zlog_get_category("single");
    zlog_category_t* pMulti = zlog_get_category("multi");

    double dZlog1 = RunThreads(1, SINGLE_RECORDS, [&](int t, int i) {
        zlog_info(pSingle, "bench t=%d i=%d payload=%s", t, i, PAYLOAD);
    });
    if (bSingleOnly) {
        zlog_fini();
        printf("zlog 1 thread: %.0f records/s\n", SINGLE_RECORDS / dZlog1);
        std::string strRm = "rm -rf '" + strDir + "'";
        return system(strRm.c_str()) == 0 ? 0 : 1;
    }
    double dZlog8 = RunThreads(THREADS, THREAD_RECORDS, [&](int t, int i) {
        zlog_info(pMulti, "bench t=%d i=%d payload=%s", t, i, PAYLOAD);
    });
    zlog_fini();

    PlainWriter plain1{fopen((strDir + "/plain1.log").c_str(), "a")};
    PlainWriter plain8{fopen((strDir + "/plain8.log").c_str(), "a")};
    if (!plain1.fp || !plain8.fp) return 1;
    double dPlain1 = RunThreads(1, SINGLE_RECORDS, [&](int t, int i) { plain1.Write(t, i); });
    double dPlain8 = RunThreads(THREADS, THREAD_RECORDS, [&](int t, int i) { plain8.Write(t, i); });
    fclose(plain1.fp);
    fclose(plain8.fp);

    bool bOk = Verify(strDir + "/single.log", 1, SINGLE_RECORDS) &&
               Verify(strDir + "/multi.log", THREADS, THREAD_RECORDS);
    double r1 = SINGLE_RECORDS / dZlog1, p1 = SINGLE_RECORDS / dPlain1;
    double r8 = THREADS * THREAD_RECORDS / dZlog8, p8 = THREADS * THREAD_RECORDS / dPlain8;
    printf("log_bench: INFO records through a file rule (records/s)\n");
    printf("  1 thread : zlog %10.0f   fprintf+fflush %10.0f   ratio %.2f   target >= 300000: %s\n", r1, p1,
           r1 / p1, r1 >= 300000 ? "met" : "MISSED");
    printf("  8 threads: zlog %10.0f   fprintf+fflush %10.0f   ratio %.2f\n", r8, p8, r8 / p8);
    printf("  files checked: %s (%d + %d lines, whole, in order per thread)\n", bOk ? "ok" : "BROKEN",
           SINGLE_RECORDS, THREADS * THREAD_RECORDS);
    WrapperBench(strDir);
    std::string strCmd = "rm -rf '" + strDir + "'";
    if (system(strCmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", strDir.c_str());
    return bOk ? 0 : 1;
}
