// Records: the entry points that write them (printf and hex-dump, with or without the default
// category), the reload they may trigger, and the per-thread MDC.
#include <cstdarg>
#include <cstring>

#include "zlog_state.h"
#include "zlog_wrapper.h"

namespace zl {
namespace {

void MaybeAutoReload()
{
    long nPeriod = 0;
    {
        LibraryLock lock(LibraryLock::READ);
        if (lock.Held() && g_bInited) nPeriod = g_pConf->nReloadPeriod;
    }
    if (nPeriod > 0 && g_nRecords.fetch_add(1) + 1 >= nPeriod) zlog_reload((const char*)-1);
}

void StartEvent(Thread& thread, const zlog_category_s& cat, const Event& where)
{
    Event& ev = thread.event;
    ev = where;
    ev.pszCategory = cat.strName.c_str();
    ev.nCategoryLen = cat.strName.size();
    ev.bHaveTime = false;
    thread.pLastFormat = nullptr;
}

// Under the read lock: the record through every rule of the category that takes its level.
// True when the configuration asks for reloads after a number of records.
bool RecordLocked(zlog_category_s* pCat, const Event& where)
{
    if (!g_bInited) {
        zc_error("never call zlog_init() or dzlog_init() before");
        return false;
    }
    if (pCat->Enabled(where.nLevel)) {
        if (Thread* pThread = FetchThread()) {
            StartEvent(*pThread, *pCat, where);
            for (Rule* pRule : pCat->rules) {
                if (pRule->MatchesLevel(where.nLevel)) pRule->output(*pRule, *pThread, g_pConf->levels);
            }
            pThread->event.pArgs = nullptr;
        }
    }
    return g_pConf->nReloadPeriod > 0;
}

// Every record entry point ends here.
void Record(zlog_category_s* pCat, const Event& where)
{
    if (!pCat) return;
    NoThrow([pCat, &where]() {
        bool bReloadCheck = false;
        {
            LibraryLock lock(LibraryLock::READ);
            if (!lock.Held()) return;
            bReloadCheck = RecordLocked(pCat, where);
        }
        if (bReloadCheck) MaybeAutoReload();
    });
}

// Where a record comes from and what it holds.
Event Where(const char* pszFile, size_t nFileLen, const char* pszFunc, size_t nFuncLen, long nLine, int nLevel)
{
    Event ev;
    ev.pszFile = pszFile ? pszFile : "";
    ev.nFileLen = pszFile ? nFileLen : 0;
    ev.pszFunc = pszFunc ? pszFunc : "";
    ev.nFuncLen = pszFunc ? nFuncLen : 0;
    ev.nLine = nLine;
    ev.nLevel = nLevel;
    return ev;
}

void RecordText(zlog_category_s* pCat, Event ev, const char* pszFormat, va_list* pArgs)
{
    ev.pszFormat = pszFormat;
    ev.pArgs = pArgs;
    Record(pCat, ev);
}

}  // namespace
}  // namespace zl

using namespace zl;

int zlog_put_mdc(const char* key, const char* value)
{
    if (!key || !value || strlen(key) > MAXLEN_MDC_KEY || strlen(value) > MAXLEN_MDC_VALUE) {
        zc_error("mdc key or value missing or too long");
        return -1;
    }
    return NoThrow(-1, [key, value]() {
        LibraryLock lock(LibraryLock::READ);
        if (!lock.Held()) return -1;
        if (!g_bInited) {
            zc_error("never call zlog_init() or dzlog_init() before");
            return -1;
        }
        Thread* pThread = FetchThread();
        if (!pThread) return -1;
        for (auto& kv : pThread->mdc) {
            if (kv.strKey == key) {
                kv.strValue = value;
                return 0;
            }
        }
        pThread->mdc.push_back(MdcEntry{key, value});
        return 0;
    });
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
    return NoThrow((char*)nullptr, [key]() -> char* {
        if (!key) return nullptr;
        LibraryLock lock(LibraryLock::READ);
        Thread* pThread = lock.Held() ? ExistingThread() : nullptr;
        if (!pThread) return nullptr;
        char* pszValue = nullptr;
        for (auto& kv : pThread->mdc) {
            if (kv.strKey == key) pszValue = &kv.strValue[0];
        }
        return pszValue;
    });
}

void zlog_remove_mdc(const char* key)
{
    NoThrow([key]() {
        if (!key) return;
        LibraryLock lock(LibraryLock::READ);
        Thread* pThread = lock.Held() ? ExistingThread() : nullptr;
        if (!pThread) return;
        auto& mdc = pThread->mdc;
        for (size_t i = 0; i < mdc.size(); ++i) {
            if (mdc[i].strKey == key) {
                mdc.erase(mdc.begin() + (long)i);
                return;
            }
        }
    });
}

void zlog_clean_mdc(void)
{
    LibraryLock lock(LibraryLock::READ);
    Thread* pThread = lock.Held() ? ExistingThread() : nullptr;
    if (pThread) pThread->mdc.clear();
}

void vzlog(zlog_category_t* category, const char* file, size_t filelen, const char* func,
           size_t funclen, long line, int level, const char* format, va_list args)
{
    va_list aq;
    va_copy(aq, args);
    RecordText(category, Where(file, filelen, func, funclen, line, level), format, &aq);
    va_end(aq);
}

void zlog(zlog_category_t* category, const char* file, size_t filelen, const char* func,
          size_t funclen, long line, int level, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    RecordText(category, Where(file, filelen, func, funclen, line, level), format, &ap);
    va_end(ap);
}

void hzlog(zlog_category_t* category, const char* file, size_t filelen, const char* func,
           size_t funclen, long line, int level, const void* buf, size_t buflen)
{
    Event ev = Where(file, filelen, func, funclen, line, level);
    ev.pHex = buf;
    ev.nHexLen = buf ? buflen : 0;
    ev.bHex = true;
    Record(category, ev);
}

int zlog_level_enabled(zlog_category_t* category, const int level)
{
    return category && category->Enabled(level) ? 1 : 0;
}

size_t zl::RecordMax() { return g_nRecordMax.load(std::memory_order_relaxed); }

void zl::RecordVerbatim(zlog_category_t* pCat, const char* pszFile, size_t nFileLen, const char* pszFunc,
                        size_t nFuncLen, long nLine, int nLevel, const char* pText, size_t nLen)
{
    Event ev = Where(pszFile, nFileLen, pszFunc, nFuncLen, nLine, nLevel);
    ev.pText = pText ? pText : "";
    ev.nTextLen = pText ? nLen : 0;
    ev.bText = true;
    Record(pCat, ev);
}

namespace {
zlog_category_s* DefaultCategory()
{
    zlog_category_s* pCat = nullptr;
    {
        LibraryLock lock(LibraryLock::READ);
        if (lock.Held()) pCat = g_pDefaultCategory;
    }
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

