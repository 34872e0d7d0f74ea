// Library state: initialisation, reload, shut-down, categories, per-thread buffers, records.
#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "zc_profile.h"
#include "zlog_internal.h"

struct zlog_category_s {
    std::string strName;
    std::vector<zl::Rule*> rules;
    unsigned char levelBitmap[32];
    bool Enabled(int nLevel) const
    {
        return nLevel >= 0 && nLevel < 256 && (levelBitmap[nLevel / 8] >> (nLevel % 8)) & 1;
    }
};

namespace zl {
namespace {

pthread_rwlock_t g_lock = PTHREAD_RWLOCK_INITIALIZER;
bool g_bInited = false;
int g_nInitVersion = 0;
bool g_bExitHandlerRegistered = false;
int g_nExitHandlerRegistrations = 0;
Conf* g_pConf = nullptr;
std::map<std::string, zlog_category_s*>* g_pCategories = nullptr;
zlog_category_s* g_pDefaultCategory = nullptr;
std::atomic<long> g_nRecords{0};

// The one rule of a memory-log initialisation; while set, reloads rebuild it instead of
// reading a file. Emptied by shut-down and by a failed initialisation.
char zlog_memory_log_rule[MEMLOG_RULE_SIZE];

// The thread-specific key and its bookkeeping: the key is deleted as soon as no thread
// holds buffers under it and is re-created on demand, all under this mutex.
std::mutex g_keyMutex;
std::atomic<bool> g_bKeyExists{false};
std::atomic<unsigned> g_key{0};
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

// atexit as glibc gives it to a shared object: the handler runs at process exit or when this
// module is unloaded, whichever comes first. Spelled out, because a sanitizer runtime's
// atexit registers for process exit only and so would leave the key's destructor pointing
// into unloaded code.
extern "C" void* __dso_handle;
extern "C" int __cxa_atexit(void (*pfn)(void*), void* pArg, void* pDso);
void ExitHandlerTrampoline(void*) { zlog_clean_rest_thread(); }
int RegisterExitHandler()
{
    ++g_nExitHandlerRegistrations;
    return __cxa_atexit(ExitHandlerTrampoline, nullptr, &__dso_handle);
}

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

// The calling thread's buffers, created on its first record; under the library's read lock.
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

void BindCategory(zlog_category_s& cat, const Conf& conf)
{
    cat.rules.clear();
    memset(cat.levelBitmap, 0, sizeof cat.levelBitmap);
    bool bMatched = false;
    for (const auto& rule : conf.rules) {
        if (rule->strCategory != "!" && rule->MatchesCategory(cat.strName)) {
            cat.rules.push_back(rule.get());
            bMatched = true;
        }
    }
    if (!bMatched) {
        // "!" rules take the categories that no other rule selects.
        for (const auto& rule : conf.rules) {
            if (rule->strCategory == "!") cat.rules.push_back(rule.get());
        }
    }
    for (int n = 0; n < 256; ++n) {
        for (const Rule* pRule : cat.rules) {
            if (pRule->MatchesLevel(n)) cat.levelBitmap[n / 8] |= (unsigned char)(1u << (n % 8));
        }
    }
}

// Categories outlive every configuration: a caller may hold one across a stop and a restart
// (another thread's record in flight), so a stop only unbinds them and a start binds them again.
void UnbindCategories()
{
    if (!g_pCategories) return;
    for (auto& kv : *g_pCategories) {
        kv.second->rules.clear();
        memset(kv.second->levelBitmap, 0, sizeof kv.second->levelBitmap);
    }
}

void FiniInner()
{
    UnbindCategories();
    delete g_pConf;
    g_pConf = nullptr;
    g_pDefaultCategory = nullptr;
    std::lock_guard<std::mutex> guard(g_keyMutex);
    zc_debug("zlog_fini_inner(zlog_thread_key_exist: %d; zlog_thread_buf_count: %d)",
             (int)g_bKeyExists.load(), g_nThreadBufCount);
    if (g_bKeyExists && g_nThreadBufCount == 0) {
        zc_debug("zlog_fini_inner(pthread_key_delete: 0x%08x)", g_key.load());
        pthread_key_delete(g_key);
        g_bKeyExists = false;
    }
}

// Under the write lock. The configuration comes from the file, or from pszRule when set.
int InitInner(const char* pszPath, const char* pszRule)
{
    if (g_nInitVersion == 0) {
        zc_debug("zlog_env_init_version == 0");
        {
            std::lock_guard<std::mutex> guard(g_keyMutex);
            if (!CreateKeyLocked("pthread_key_create fail, rc[%d]")) return -1;
            g_nThreadBufCount = 0;
        }
        // Once per process: the version stays 0 after a failed start, and every later try
        // would otherwise add the handler again.
        if (!g_bExitHandlerRegistered) {
            int rc = RegisterExitHandler();
            if (rc != 0) {
                zc_error("atexit fail, rc[%d]", rc);
                return -1;
            }
            g_bExitHandlerRegistered = true;
        }
    }
    g_pConf = pszRule ? zlog_conf_new_with_rule(pszRule) : zlog_conf_new(pszPath);
    if (!g_pConf) {
        if (pszRule) zc_error("zlog_conf_new_with_rule[%s] fail", pszRule);
        else zc_error("zlog_conf_new[%s] fail", pszPath ? pszPath : "");
        FiniInner();
        return -1;
    }
    if (!g_pCategories) g_pCategories = new (std::nothrow) std::map<std::string, zlog_category_s*>;
    if (!g_pCategories) {
        zc_error("zlog_category_table_new fail");
        FiniInner();
        return -1;
    }
    for (auto& kv : *g_pCategories) BindCategory(*kv.second, *g_pConf);
    ++g_nInitVersion;
    g_nRecords = 0;
    g_bInited = true;
    return 0;
}

zlog_category_s* GetCategoryLocked(const char* pszName)
{
    auto it = g_pCategories->find(pszName);
    if (it != g_pCategories->end()) return it->second;
    zlog_category_s* pCat = new (std::nothrow) zlog_category_s;
    if (!pCat) return nullptr;
    pCat->strName = pszName;
    BindCategory(*pCat, *g_pConf);
    g_pCategories->emplace(pCat->strName, pCat);
    return pCat;
}

void MaybeAutoReload()
{
    long nPeriod = 0;
    pthread_rwlock_rdlock(&g_lock);
    if (g_bInited) nPeriod = g_pConf->nReloadPeriod;
    pthread_rwlock_unlock(&g_lock);
    if (nPeriod > 0 && g_nRecords.fetch_add(1) + 1 >= nPeriod) zlog_reload((const char*)-1);
}

void Record(zlog_category_s* pCat, const char* pszFile, size_t nFileLen, const char* pszFunc,
            size_t nFuncLen, long nLine, int nLevel, const char* pszFormat, va_list* pArgs,
            const void* pHex, size_t nHexLen, bool bHex)
{
    if (!pCat) return;
    if (pthread_rwlock_rdlock(&g_lock) != 0) return;
    if (!g_bInited) {
        zc_error("never call zlog_init() or dzlog_init() before");
        pthread_rwlock_unlock(&g_lock);
        return;
    }
    bool bReloadCheck = g_pConf->nReloadPeriod > 0;
    if (pCat->Enabled(nLevel)) {
        Thread* pThread = FetchThread();
        if (pThread) {
            Event& ev = pThread->event;
            ev.pszCategory = pCat->strName.c_str();
            ev.nCategoryLen = pCat->strName.size();
            ev.pszFile = pszFile ? pszFile : "";
            ev.nFileLen = pszFile ? nFileLen : 0;
            ev.pszFunc = pszFunc ? pszFunc : "";
            ev.nFuncLen = pszFunc ? nFuncLen : 0;
            ev.nLine = nLine;
            ev.nLevel = nLevel;
            ev.pszFormat = pszFormat;
            ev.pArgs = pArgs;
            ev.pHex = pHex;
            ev.nHexLen = pHex ? nHexLen : 0;
            ev.bHex = bHex;
            ev.bHaveTime = false;
            pThread->pLastFormat = nullptr;
            for (Rule* pRule : pCat->rules) {
                if (pRule->MatchesLevel(nLevel)) pRule->output(*pRule, *pThread, g_pConf->levels);
            }
            ev.pArgs = nullptr;
        }
    }
    pthread_rwlock_unlock(&g_lock);
    if (bReloadCheck) MaybeAutoReload();
}

}  // namespace

namespace {

// Under the write lock: the stored rule, or false when the line does not fit the store.
bool StoreMemoryLogRule(const char* pszLevel, const char* pszLogPath)
{
    char szRule[MEMLOG_RULE_SIZE];
    int n = snprintf(szRule, sizeof szRule, "vomu_category.%s  >memlog:%s", pszLevel, pszLogPath);
    if (n < 0 || (size_t)n >= sizeof szRule) {
        zc_error("memlog rule of %d characters does not fit %zu bytes", n, sizeof szRule - 1);
        return false;
    }
    memcpy(zlog_memory_log_rule, szRule, sizeof szRule);
    return true;
}

}  // namespace

// Test hooks: the key's bookkeeping.
int ThreadBufCount()
{
    std::lock_guard<std::mutex> guard(g_keyMutex);
    return g_nThreadBufCount;
}
bool ThreadKeyExists() { return g_bKeyExists; }
int ExitHandlerRegistrations()
{
    pthread_rwlock_rdlock(&g_lock);
    int n = g_nExitHandlerRegistrations;
    pthread_rwlock_unlock(&g_lock);
    return n;
}

}  // namespace zl

using namespace zl;

namespace {

void LogInitBanner()
{
    zc_debug("------zlog_init start------");
    zc_debug("------compile time[%s %s], version[%s]------", __DATE__, __TIME__, "1.2.8");
}

// The frame both ways of starting share: the write lock, the once-only check and the closing
// line. pfnStart does the start itself under the lock and answers 0 on success.
template <typename Start>
int InitUnderLock(Start pfnStart)
{
    int rc = pthread_rwlock_wrlock(&g_lock);
    if (rc != 0) {
        zc_error("pthread_rwlock_wrlock fail, rc[%d]", rc);
        return -1;
    }
    int nRet = -1;
    if (g_bInited) {
        zc_error("already init, use zlog_reload pls");
    } else {
        nRet = pfnStart();
    }
    zc_debug(nRet == 0 ? "------zlog_init success end------" : "------zlog_init fail end------");
    rc = pthread_rwlock_unlock(&g_lock);
    if (rc != 0) {
        zc_error("pthread_rwlock_unlock fail, rc=[%d]", rc);
        return -1;
    }
    return nRet;
}

}  // namespace

int zlog_init(const char* confpath)
{
    LogInitBanner();
    return InitUnderLock([confpath]() {
        if (InitInner(confpath, nullptr) == 0) return 0;
        zc_error("zlog_init_inner[%s] fail", confpath ? confpath : "");
        return -1;
    });
}

int zlog_init_memory_log(const char* level, const char* logpath)
{
    LogInitBanner();
    zc_debug("------loglevel[%s], logpath[%s]------", level ? level : "", logpath ? logpath : "");
    return InitUnderLock([level, logpath]() {
        if (!StoreMemoryLogRule(level ? level : "", logpath ? logpath : "")) return -1;
        zc_debug("------rule[%s]------", zlog_memory_log_rule);
        if (InitInner(nullptr, zlog_memory_log_rule) == 0) return 0;
        zc_error("zlog_init_inner_with_rule[%s] fail", zlog_memory_log_rule);
        // A stale rule would otherwise steer a later file configuration's reloads.
        memset(zlog_memory_log_rule, 0, sizeof zlog_memory_log_rule);
        return -1;
    });
}

namespace {
// Under the write lock: the configuration a reload switches to, or null.
Conf* ReloadConf(const char* confpath)
{
    if (zlog_memory_log_rule[0]) {
        Conf* pConf = zlog_conf_new_with_rule(zlog_memory_log_rule);
        if (!pConf) zc_error("zlog_conf_new_with_rule fail");
        return pConf;
    }
    std::string strPath = confpath == nullptr || confpath == (const char*)-1 ? g_pConf->strFile : confpath;
    return zlog_conf_new(strPath.c_str());
}
}  // namespace

int zlog_reload(const char* confpath)
{
    if (pthread_rwlock_wrlock(&g_lock) != 0) return -1;
    int nRet = -1;
    if (!g_bInited) {
        zc_error("never call zlog_init() before");
    } else if (confpath == (const char*)-1 &&
               (g_pConf->nReloadPeriod <= 0 || g_nRecords.load() < g_pConf->nReloadPeriod)) {
        nRet = 0;  // another thread reloaded first
    } else {
        Conf* pNew = ReloadConf(confpath);
        if (!pNew) {
            zc_error("zlog_reload fail, use old conf file, still working");
        } else {
            for (auto& kv : *g_pCategories) BindCategory(*kv.second, *pNew);
            delete g_pConf;
            g_pConf = pNew;
            ++g_nInitVersion;
            g_nRecords = 0;
            zc_debug("------zlog_reload success------");
            nRet = 0;
        }
    }
    pthread_rwlock_unlock(&g_lock);
    return nRet;
}

void zlog_fini(void)
{
    if (pthread_rwlock_wrlock(&g_lock) != 0) return;
    if (!g_bInited) {
        zc_error("before finish, must zlog_init() or dzlog_init() first");
    } else {
        FiniInner();
        g_bInited = false;
        memset(zlog_memory_log_rule, 0, sizeof zlog_memory_log_rule);
    }
    pthread_rwlock_unlock(&g_lock);
}

void zlog_profile(void)
{
    pthread_rwlock_rdlock(&g_lock);
    if (!g_bInited) {
        zc_error("never call zlog_init() before");
    } else {
        const Conf& conf = *g_pConf;
        zc_error("---conf[%s] strict init[%d] buffer min[%zu] max[%zu] perms[%o] reload period[%ld] fsync period[%ld]---",
                 conf.strFile.c_str(), (int)conf.bStrictInit, conf.nBufMin, conf.nBufMax,
                 (unsigned)conf.filePerms, conf.nReloadPeriod, conf.nFsyncPeriod);
        zc_error("default format[%s]", conf.strDefaultFormat.c_str());
        for (const auto& f : conf.formats) zc_error("format [%s] = [%s]", f->strName.c_str(), f->strPattern.c_str());
        for (const auto& r : conf.rules) zc_error("rule [%s]", r->strLine.c_str());
        for (const auto& kv : *g_pCategories) zc_error("category [%s] rules[%zu]", kv.first.c_str(), kv.second->rules.size());
    }
    pthread_rwlock_unlock(&g_lock);
}

zlog_category_t* zlog_get_category(const char* cname)
{
    if (!cname) return nullptr;
    if (pthread_rwlock_wrlock(&g_lock) != 0) return nullptr;
    zlog_category_s* pCat = nullptr;
    if (!g_bInited) zc_error("never call zlog_init() before");
    else pCat = GetCategoryLocked(cname);
    pthread_rwlock_unlock(&g_lock);
    return pCat;
}

int dzlog_init(const char* confpath, const char* cname)
{
    if (!cname) return -1;
    if (pthread_rwlock_wrlock(&g_lock) != 0) return -1;
    int nRet = -1;
    if (g_bInited) {
        zc_error("already init, use zlog_reload pls");
    } else if (InitInner(confpath, nullptr) == 0) {
        g_pDefaultCategory = GetCategoryLocked(cname);
        if (g_pDefaultCategory) nRet = 0;
        else {
            FiniInner();
            g_bInited = false;
        }
    }
    pthread_rwlock_unlock(&g_lock);
    return nRet;
}

int dzlog_set_category(const char* cname)
{
    if (!cname) return -1;
    if (pthread_rwlock_wrlock(&g_lock) != 0) return -1;
    int nRet = -1;
    if (!g_bInited) {
        zc_error("never call zlog_init() before");
    } else {
        zlog_category_s* pCat = GetCategoryLocked(cname);
        if (pCat) {
            g_pDefaultCategory = pCat;
            nRet = 0;
        }
    }
    pthread_rwlock_unlock(&g_lock);
    return nRet;
}

int zlog_put_mdc(const char* key, const char* value)
{
    if (!key || !value || strlen(key) > MAXLEN_MDC_KEY || strlen(value) > MAXLEN_MDC_VALUE) {
        zc_error("mdc key or value missing or too long");
        return -1;
    }
    if (pthread_rwlock_rdlock(&g_lock) != 0) return -1;
    int nRet = -1;
    if (!g_bInited) {
        zc_error("never call zlog_init() or dzlog_init() before");
    } else if (Thread* pThread = FetchThread()) {
        nRet = 0;
        bool bFound = false;
        for (auto& kv : pThread->mdc) {
            if (kv.strKey == key) {
                kv.strValue = value;
                bFound = true;
            }
        }
        if (!bFound) pThread->mdc.push_back(MdcEntry{key, value});
    }
    pthread_rwlock_unlock(&g_lock);
    return nRet;
}

namespace {
// The calling thread's buffers when it has any; under the read lock.
Thread* ExistingThread()
{
    if (!g_bInited) {
        zc_error("never call zlog_init() or dzlog_init() before");
        return nullptr;
    }
    if (!g_bKeyExists) {
        zc_debug("never call zlog_init() or dzlog_init() before(2)");
        return nullptr;
    }
    return static_cast<Thread*>(pthread_getspecific(g_key));
}
}  // namespace

char* zlog_get_mdc(const char* key)
{
    if (!key || pthread_rwlock_rdlock(&g_lock) != 0) return nullptr;
    char* pszValue = nullptr;
    if (Thread* pThread = ExistingThread()) {
        for (auto& kv : pThread->mdc) {
            if (kv.strKey == key) pszValue = &kv.strValue[0];
        }
    }
    pthread_rwlock_unlock(&g_lock);
    return pszValue;
}

void zlog_remove_mdc(const char* key)
{
    if (!key || pthread_rwlock_rdlock(&g_lock) != 0) return;
    if (Thread* pThread = ExistingThread()) {
        auto& mdc = pThread->mdc;
        for (size_t i = 0; i < mdc.size(); ++i) {
            if (mdc[i].strKey == key) {
                mdc.erase(mdc.begin() + (long)i);
                break;
            }
        }
    }
    pthread_rwlock_unlock(&g_lock);
}

void zlog_clean_mdc(void)
{
    if (pthread_rwlock_rdlock(&g_lock) != 0) return;
    if (Thread* pThread = ExistingThread()) pThread->mdc.clear();
    pthread_rwlock_unlock(&g_lock);
}

void vzlog(zlog_category_t* category, const char* file, size_t filelen, const char* func,
           size_t funclen, long line, int level, const char* format, va_list args)
{
    va_list aq;
    va_copy(aq, args);
    Record(category, file, filelen, func, funclen, line, level, format, &aq, nullptr, 0, false);
    va_end(aq);
}

void zlog(zlog_category_t* category, const char* file, size_t filelen, const char* func,
          size_t funclen, long line, int level, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    Record(category, file, filelen, func, funclen, line, level, format, &ap, nullptr, 0, false);
    va_end(ap);
}

void hzlog(zlog_category_t* category, const char* file, size_t filelen, const char* func,
           size_t funclen, long line, int level, const void* buf, size_t buflen)
{
    Record(category, file, filelen, func, funclen, line, level, nullptr, nullptr, buf, buflen, true);
}

namespace {
zlog_category_s* DefaultCategory()
{
    pthread_rwlock_rdlock(&g_lock);
    zlog_category_s* pCat = g_pDefaultCategory;
    pthread_rwlock_unlock(&g_lock);
    if (!pCat) zc_error("zlog_default_category is null, dzlog_init() or dzlog_set_category() is not called above");
    return pCat;
}
}  // namespace

void vdzlog(const char* file, size_t filelen, const char* func, size_t funclen, long line,
            int level, const char* format, va_list args)
{
    vzlog(DefaultCategory(), file, filelen, func, funclen, line, level, format, args);
}

void dzlog(const char* file, size_t filelen, const char* func, size_t funclen, long line,
           int level, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    vzlog(DefaultCategory(), file, filelen, func, funclen, line, level, format, ap);
    va_end(ap);
}

void hdzlog(const char* file, size_t filelen, const char* func, size_t funclen, long line,
            int level, const void* buf, size_t buflen)
{
    hzlog(DefaultCategory(), file, filelen, func, funclen, line, level, buf, buflen);
}

int zlog_set_record(const char* rname, zlog_record_fn record)
{
    (void)record;
    zc_error("user-defined output [%s] is not supported", rname ? rname : "");
    return -1;
}
