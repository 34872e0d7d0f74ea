// Library state: initialisation, reload, shut-down and the categories bound to the configuration.
#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "zlog_state.h"

namespace zl {

pthread_rwlock_t g_lock = PTHREAD_RWLOCK_INITIALIZER;
bool g_bInited = false;
Conf* g_pConf = nullptr;
zlog_category_s* g_pDefaultCategory = nullptr;
std::atomic<long> g_nRecords{0};
std::atomic<size_t> g_nRecordMax{0};
int g_nInitVersion = 0;

namespace {

bool g_bExitHandlerRegistered = false;
int g_nExitHandlerRegistrations = 0;
std::map<std::string, zlog_category_s*>* g_pCategories = nullptr;

// The one rule of a memory-log initialisation; while set, reloads rebuild it instead of
// reading a file. Emptied by shut-down and by a failed initialisation.
char zlog_memory_log_rule[MEMLOG_RULE_SIZE];

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

// Without memory for the rule list the category stays unbound (its records are dropped).
void BindCategory(zlog_category_s& cat, const Conf& conf)
{
    static const unsigned char NO_LEVELS[32] = {0};
    cat.rules.clear();
    try {
        cat.rules.reserve(conf.rules.size());  // the push_backs below stay within it
    } catch (const std::bad_alloc&) {
        zc_error("category [%s] left without rules, errno[%d]", cat.strName.c_str(), ENOMEM);
        cat.SetLevels(NO_LEVELS);
        return;
    }
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
    // Set in one pass at the end: a caller asking zlog_level_enabled during a reload sees the
    // old levels or the new ones, never none in between.
    unsigned char bitmap[32] = {0};
    for (int n = 0; n < 256; ++n) {
        for (const Rule* pRule : cat.rules) {
            if (pRule->MatchesLevel(n)) bitmap[n / 8] |= (unsigned char)(1u << (n % 8));
        }
    }
    cat.SetLevels(bitmap);
}

// Categories outlive every configuration: a caller may hold one across a stop and a restart
// (another thread's record in flight), so a stop only unbinds them and a start binds them again.
void UnbindCategories()
{
    if (!g_pCategories) return;
    static const unsigned char NO_LEVELS[32] = {0};
    for (auto& kv : *g_pCategories) {
        kv.second->rules.clear();
        kv.second->SetLevels(NO_LEVELS);
    }
}

void FiniInner()
{
    g_nRecordMax = 0;
    UnbindCategories();
    delete g_pConf;
    g_pConf = nullptr;
    g_pDefaultCategory = nullptr;
    DeleteUnusedThreadKey();
}

// Under the write lock. The configuration comes from the file, or from pszRule when set.
int InitInner(const char* pszPath, const char* pszRule)
{
    if (g_nInitVersion == 0) {
        zc_debug("zlog_env_init_version == 0");
        if (!CreateThreadKey()) return -1;
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
    g_nRecordMax = Buf::MaxOf(g_pConf->nBufMin, g_pConf->nBufMax);
    ++g_nInitVersion;
    g_nRecords = 0;
    g_bInited = true;
    return 0;
}

zlog_category_s* GetCategoryLocked(const char* pszName)
{
    auto it = g_pCategories->find(pszName);
    if (it != g_pCategories->end()) return it->second;
    std::unique_ptr<zlog_category_s> pCat(new (std::nothrow) zlog_category_s);
    if (!pCat) return nullptr;
    try {
        pCat->strName = pszName;
        g_pCategories->emplace(pCat->strName, pCat.get());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    BindCategory(*pCat, *g_pConf);
    return pCat.release();
}

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
        nRet = NoThrow(-1, pfnStart);
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
    return NoThrow(-1, [confpath]() {
        LibraryLock lock(LibraryLock::WRITE);
        if (!lock.Held()) return -1;
        if (!g_bInited) {
            zc_error("never call zlog_init() before");
            return -1;
        }
        if (confpath == (const char*)-1 &&
            (g_pConf->nReloadPeriod <= 0 || g_nRecords.load() < g_pConf->nReloadPeriod))
            return 0;  // another thread reloaded first
        Conf* pNew = ReloadConf(confpath);
        if (!pNew) {
            zc_error("zlog_reload fail, use old conf file, still working");
            return -1;
        }
        for (auto& kv : *g_pCategories) BindCategory(*kv.second, *pNew);
        delete g_pConf;
        g_pConf = pNew;
        g_nRecordMax = Buf::MaxOf(g_pConf->nBufMin, g_pConf->nBufMax);
        ++g_nInitVersion;
        g_nRecords = 0;
        zc_debug("------zlog_reload success------");
        return 0;
    });
}

void zlog_fini(void)
{
    NoThrow([]() {
        LibraryLock lock(LibraryLock::WRITE);
        if (!lock.Held()) return;
        if (!g_bInited) {
            zc_error("before finish, must zlog_init() or dzlog_init() first");
            return;
        }
        FiniInner();
        g_bInited = false;
        memset(zlog_memory_log_rule, 0, sizeof zlog_memory_log_rule);
    });
}

namespace {
// Under the lock: the running configuration on the diagnostic channel.
void ProfileLocked()
{
    const Conf& conf = *g_pConf;
    zc_error("---conf[%s] strict init[%d] buffer min[%zu] max[%zu] perms[%o] reload period[%ld] fsync period[%ld]---",
             conf.strFile.c_str(), (int)conf.bStrictInit, conf.nBufMin, conf.nBufMax, (unsigned)conf.filePerms,
             conf.nReloadPeriod, conf.nFsyncPeriod);
    zc_error("default format[%s]", conf.strDefaultFormat.c_str());
    for (const auto& f : conf.formats) zc_error("format [%s] = [%s]", f->strName.c_str(), f->strPattern.c_str());
    for (const auto& r : conf.rules) zc_error("rule [%s]", r->strLine.c_str());
    for (const auto& kv : *g_pCategories)
        zc_error("category [%s] rules[%zu]", kv.first.c_str(), kv.second->rules.size());
}
}  // namespace

void zlog_profile(void)
{
    NoThrow([]() {
        LibraryLock lock(LibraryLock::READ);
        if (!lock.Held()) return;
        if (!g_bInited) zc_error("never call zlog_init() before");
        else ProfileLocked();
    });
}

zlog_category_t* zlog_get_category(const char* cname)
{
    return NoThrow((zlog_category_t*)nullptr, [cname]() -> zlog_category_t* {
        if (!cname) return nullptr;
        LibraryLock lock(LibraryLock::WRITE);
        if (!lock.Held()) return nullptr;
        if (!g_bInited) {
            zc_error("never call zlog_init() before");
            return nullptr;
        }
        return GetCategoryLocked(cname);
    });
}

int dzlog_init(const char* confpath, const char* cname)
{
    return NoThrow(-1, [confpath, cname]() {
        if (!cname) return -1;
        LibraryLock lock(LibraryLock::WRITE);
        if (!lock.Held()) return -1;
        if (g_bInited) {
            zc_error("already init, use zlog_reload pls");
            return -1;
        }
        if (InitInner(confpath, nullptr) != 0) return -1;
        g_pDefaultCategory = GetCategoryLocked(cname);
        if (g_pDefaultCategory) return 0;
        FiniInner();
        g_bInited = false;
        return -1;
    });
}

int dzlog_set_category(const char* cname)
{
    return NoThrow(-1, [cname]() {
        if (!cname) return -1;
        LibraryLock lock(LibraryLock::WRITE);
        if (!lock.Held()) return -1;
        if (!g_bInited) {
            zc_error("never call zlog_init() before");
            return -1;
        }
        zlog_category_s* pCat = GetCategoryLocked(cname);
        if (!pCat) return -1;
        g_pDefaultCategory = pCat;
        return 0;
    });
}

int zlog_set_record(const char* rname, zlog_record_fn record)
{
    (void)record;
    zc_error("user-defined output [%s] is not supported", rname ? rname : "");
    return -1;
}
