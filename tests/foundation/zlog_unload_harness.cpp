// Loads the shared library, logs from a worker thread, shuts logging down and unloads the
// library while the worker still runs, then lets the worker exit. Exit status 0 when the
// records arrived and both the unload and the worker's exit were clean.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "zlog.h"

namespace {

const int RECORDS = 100;

struct Api {
    decltype(&zlog_init) init;
    decltype(&zlog_get_category) getCategory;
    decltype(&zlog) log;
    decltype(&zlog_fini) fini;
};

bool Resolve(void* pLib, Api& api)
{
    api.init = reinterpret_cast<decltype(&zlog_init)>(dlsym(pLib, "zlog_init"));
    api.getCategory = reinterpret_cast<decltype(&zlog_get_category)>(dlsym(pLib, "zlog_get_category"));
    api.log = reinterpret_cast<decltype(&zlog)>(dlsym(pLib, "zlog"));
    api.fini = reinterpret_cast<decltype(&zlog_fini)>(dlsym(pLib, "zlog_fini"));
    return api.init && api.getCategory && api.log && api.fini;
}

// The worker's steps, handed over by the main thread.
struct Handshake {
    std::mutex mutex;
    std::condition_variable cv;
    bool bLogged = false;
    bool bUnloaded = false;
};

int Fail(const char* pszWhat)
{
    fprintf(stderr, "zlog_unload_harness: %s\n", pszWhat);
    return 1;
}

int CountLines(const std::string& strPath)
{
    std::ifstream in(strPath);
    int n = 0;
    for (std::string s; std::getline(in, s);) n += s.compare(0, 7, "worker ") == 0;
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) return Fail("usage: zlog_unload_harness /path/to/libMORV.so.3");
    char szDir[] = "/tmp/morv_unload_XXXXXX";
    if (!mkdtemp(szDir)) return Fail("mkdtemp");
    std::string strDir = szDir, strConf = strDir + "/z.conf", strLog = strDir + "/w.log";
    std::ofstream(strConf) << "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"" << strLog << "\"; f\n";

    void* pLib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!pLib) return Fail(dlerror());
    Api api;
    if (!Resolve(pLib, api)) return Fail("missing zlog symbols");
    if (api.init(strConf.c_str()) != 0) return Fail("zlog_init");
    zlog_category_t* pCat = api.getCategory("c");
    if (!pCat) return Fail("zlog_get_category");

    Handshake hs;
    std::thread worker([&] {
        for (int i = 0; i < RECORDS; ++i) api.log(pCat, "w", 1, "worker", 6, 1, ZLOG_LEVEL_INFO, "worker %d", i);
        std::unique_lock<std::mutex> lock(hs.mutex);
        hs.bLogged = true;
        hs.cv.notify_all();
        // Holds its buffers, and leaves the library alone, until the library is gone.
        hs.cv.wait(lock, [&] { return hs.bUnloaded; });
    });
    {
        std::unique_lock<std::mutex> lock(hs.mutex);
        hs.cv.wait(lock, [&] { return hs.bLogged; });
    }
    api.fini();
    if (dlclose(pLib) != 0) return Fail(dlerror());
    bool bStillLoaded = dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != nullptr;
    {
        std::lock_guard<std::mutex> lock(hs.mutex);
        hs.bUnloaded = true;
        hs.cv.notify_all();
    }
    worker.join();

    int nLines = CountLines(strLog);
    std::string strCmd = "rm -rf '" + strDir + "'";
    if (system(strCmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", strDir.c_str());
    if (bStillLoaded) return Fail("the library stayed loaded after dlclose: nothing was unloaded");
    if (nLines != RECORDS) return Fail("worker records missing");
    printf("unloaded with a live worker holding buffers; %d records; worker exited cleanly\n", nLines);
    return 0;
}
