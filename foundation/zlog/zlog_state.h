// State of the logging library shared by its lifecycle and record files: the global lock and
// what it guards, the per-thread buffers, and the way every C entry point keeps exceptions in.
#ifndef MORV_ZLOG_STATE_H
#define MORV_ZLOG_STATE_H

#include <pthread.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "zc_profile.h"
#include "zlog_internal.h"

struct zlog_category_s {
    std::string strName;
    std::vector<zl::Rule*> rules;
    // Read without the library lock by zlog_level_enabled, so a caller can skip building a
    // record while another thread reloads or stops: each byte is atomic, and a reader in the
    // middle of a rebind sees the old or the new level of a byte, never a torn one.
    std::atomic<unsigned char> levelBitmap[32];
    bool Enabled(int nLevel) const
    {
        return nLevel >= 0 && nLevel < 256 &&
               (levelBitmap[nLevel / 8].load(std::memory_order_relaxed) >> (nLevel % 8)) & 1;
    }
    void SetLevels(const unsigned char* pBitmap)
    {
        for (size_t i = 0; i < 32; ++i) levelBitmap[i].store(pBitmap[i], std::memory_order_relaxed);
    }
};

// Process exit or unload of this module: the key goes whatever threads still live, so no
// destructor of ours stays registered once the code is unloaded.
extern "C" void zlog_clean_rest_thread(void);

namespace zl {

// Guarded by g_lock: the configuration, its categories' bindings, the default category.
extern pthread_rwlock_t g_lock;
extern bool g_bInited;
extern Conf* g_pConf;
extern zlog_category_s* g_pDefaultCategory;
extern std::atomic<long> g_nRecords;
// The running configuration's record maximum, readable without the lock; 0 while stopped.
extern std::atomic<size_t> g_nRecordMax;
// The thread-specific key of the per-thread buffers.
extern std::atomic<bool> g_bKeyExists;
extern std::atomic<unsigned> g_key;

// Raised by every start and reload: a thread's buffers are resized to the configuration's.
extern int g_nInitVersion;

// The calling thread's buffers, created on its first record; under the read lock.
Thread* FetchThread();
// The key made at the first start (false with a diagnostic), and deleted at a stop when no
// thread holds buffers.
bool CreateThreadKey();
void DeleteUnusedThreadKey();

// The library lock for one scope (read or write); Held() is false when it could not be taken.
class LibraryLock {
public:
    enum Mode { READ, WRITE };
    explicit LibraryLock(Mode mode)
        : m_bHeld(0 == (READ == mode ? pthread_rwlock_rdlock(&g_lock) : pthread_rwlock_wrlock(&g_lock)))
    {
    }
    ~LibraryLock()
    {
        if (m_bHeld) pthread_rwlock_unlock(&g_lock);
    }
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;
    bool Held() const { return m_bHeld; }

private:
    bool m_bHeld;
};

}  // namespace zl

#endif
