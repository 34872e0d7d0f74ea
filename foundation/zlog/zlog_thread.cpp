// The per-thread record buffers under one thread-specific key: created on a thread's first
// record, freed when the thread ends, the key deleted as soon as no thread holds buffers.
#include <pthread.h>

#include <cerrno>
#include <mutex>
#include <new>

#include "zlog_state.h"

namespace zl {

std::atomic<bool> g_bKeyExists{false};
std::atomic<unsigned> g_key{0};

namespace {

// The key's bookkeeping, all under this mutex.
std::mutex g_keyMutex;
int g_nThreadBufCount = 0;

void ThreadDelete(Thread* pThread) { delete pThread; }

extern "C" void zlog_thread_clean(void* pBuffers)
{
    ThreadDelete(static_cast<Thread*>(pBuffers));
    std::lock_guard<std::mutex> guard(g_keyMutex);
    if (g_nThreadBufCount > 0) --g_nThreadBufCount;
    zc_debug("zlog_thread_clean(zlog_thread_buf_count: %d)", g_nThreadBufCount);
    if (g_bKeyExists && g_nThreadBufCount == 0) {
        zc_debug("zlog_thread_clean(pthread_key_delete: 0x%08x)", g_key.load());
        pthread_key_delete(g_key);
        g_bKeyExists = false;
    }
}

}  // namespace

// Process exit: whatever threads still live, the key goes, so that no destructor of ours
// stays registered once the code is unloaded.
extern "C" void zlog_clean_rest_thread(void)
{
    zc_debug("zlog_clean_rest_thread");
    std::lock_guard<std::mutex> guard(g_keyMutex);
    Thread* pThread = g_bKeyExists ? static_cast<Thread*>(pthread_getspecific(g_key)) : nullptr;
    if (pThread) {
        pthread_setspecific(g_key, nullptr);
        ThreadDelete(pThread);
        if (g_nThreadBufCount > 0) --g_nThreadBufCount;
    }
    zc_debug("zlog_clean_rest_thread: zlog_thread_key(%u)-zlog_thread_buf_count(%d)", g_key.load(),
             g_nThreadBufCount);
    if (!g_bKeyExists) return;
    zc_debug("zlog_clean_rest_thread(pthread_key_delete: 0x%08x)", g_key.load());
    pthread_key_delete(g_key);
    g_bKeyExists = false;
}

namespace {

// Under the key mutex. pszFailure: the diagnostic of a failed creation.
bool CreateKeyLocked(const char* pszFailure)
{
    if (g_bKeyExists) return true;
    pthread_key_t key;
    int rc = pthread_key_create(&key, zlog_thread_clean);
    if (rc != 0) {
        zc_error(pszFailure, rc);
        return false;
    }
    g_key = key;
    g_bKeyExists = true;
    zc_debug("zlog_fetch_thread(zlog_thread_key: 0x%08x)", (unsigned)key);
    return true;
}

bool ResizeThread(Thread& thread)
{
    if (!thread.msg.Reset(g_pConf->nBufMin, g_pConf->nBufMax) ||
        !thread.path.Reset(MAXLEN_PATH + 1, MAXLEN_PATH * 2) ||
        !thread.scratch.Reset(g_pConf->nBufMin, g_pConf->nBufMax)) {
        zc_error("zlog_thread_resize_msg_buf fail, rd[%d]", ENOMEM);
        return false;
    }
    for (TimeCacheEntry& e : thread.timeCache) e.pSpec = nullptr;
    thread.nInitVersion = g_nInitVersion;
    return true;
}

}  // namespace

Thread* FetchThread()
{
    Thread* pThread = nullptr;
    if (g_bKeyExists) pThread = static_cast<Thread*>(pthread_getspecific(g_key));
    if (!pThread) {
        std::lock_guard<std::mutex> guard(g_keyMutex);
        if (!CreateKeyLocked("pthread_key_create fail, rd[%d]")) return nullptr;
        pThread = new (std::nothrow) Thread;
        if (!pThread || !ResizeThread(*pThread)) {
            zc_error("zlog_thread_new fail");
            delete pThread;
            return nullptr;
        }
        int rc = pthread_setspecific(g_key, pThread);
        if (rc != 0) {
            zc_error("pthread_setspecific fail, rd[%d]", rc);
            delete pThread;
            return nullptr;
        }
        ++g_nThreadBufCount;
        zc_debug("zlog_fetch_thread(zlog_thread_buf_count: %d)", g_nThreadBufCount);
    }
    if (pThread->nInitVersion != g_nInitVersion && !ResizeThread(*pThread)) return nullptr;
    return pThread;
}

bool CreateThreadKey()
{
    std::lock_guard<std::mutex> guard(g_keyMutex);
    if (!CreateKeyLocked("pthread_key_create fail, rc[%d]")) return false;
    g_nThreadBufCount = 0;
    return true;
}

void DeleteUnusedThreadKey()
{
    std::lock_guard<std::mutex> guard(g_keyMutex);
    zc_debug("zlog_fini_inner(zlog_thread_key_exist: %d; zlog_thread_buf_count: %d)",
             (int)g_bKeyExists.load(), g_nThreadBufCount);
    if (g_bKeyExists && g_nThreadBufCount == 0) {
        zc_debug("zlog_fini_inner(pthread_key_delete: 0x%08x)", g_key.load());
        pthread_key_delete(g_key);
        g_bKeyExists = false;
    }
}

// Test hooks: the key's bookkeeping.
int ThreadBufCount()
{
    std::lock_guard<std::mutex> guard(g_keyMutex);
    return g_nThreadBufCount;
}
bool ThreadKeyExists() { return g_bKeyExists; }

}  // namespace zl
