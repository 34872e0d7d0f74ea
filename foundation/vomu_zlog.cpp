// The logging wrapper: one category "vomu_category", printf records and hex dumps.
#include "vomu_zlog.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "zc_profile.h"
#include "zlog.h"
#include "zlog_wrapper.h"

zlog_category_t* g_ptr_vomu_category = nullptr;

namespace {

// Other threads may log while one stops or starts logging: the pointer is read and written
// atomically, and the category it names stays valid across a stop (the library keeps it).
zlog_category_t* LoadCategory() { return __atomic_load_n(&g_ptr_vomu_category, __ATOMIC_ACQUIRE); }
void StoreCategory(zlog_category_t* pCat) { __atomic_store_n(&g_ptr_vomu_category, pCat, __ATOMIC_RELEASE); }

const char CATEGORY_NAME[] = "vomu_category";
const size_t STACK_MESSAGE_SIZE = 4096;
const unsigned MAX_TRACE_LEVEL = TRACE_LEVEL_DEBUG;

// A failed stat leaves the record zeroed, so the regular-file bit stays clear.
bool NamesRegularFile(const char* pszPath)
{
    if (!pszPath) return false;
    struct stat st;
    memset(&st, 0, sizeof st);
    stat(pszPath, &st);
    return S_ISREG(st.st_mode);
}

int LibraryLevel(unsigned int nLevel)
{
    static const int LEVELS[] = {ZLOG_LEVEL_FATAL, ZLOG_LEVEL_ERROR, ZLOG_LEVEL_WARN,
                                 ZLOG_LEVEL_INFO, ZLOG_LEVEL_DEBUG};
    return LEVELS[nLevel];
}

#define TRACE_FILE_ARGS __FILE__, sizeof(__FILE__) - 1

// Each level keeps its own line of this file in the record's location. The numbers stay as
// they are when the code around them moves: a format with %L prints them, and a log must
// read the same from one version to the next.
const long TRACE_LINES[] = {80, 81, 82, 83, 84};
const long TRACE_BINARY_LINE = 211;

// Whether a record of this trace level would reach a rule of the running configuration.
bool Takes(zlog_category_t* pCat, unsigned int nLevel)
{
    return pCat && zlog_level_enabled(pCat, LibraryLevel(nLevel));
}

// nLen bytes of text, as TRACE(level, "%s", text) logs a text of that length.
void LogText(zlog_category_t* pCat, unsigned int nLevel, const char* pszText, size_t nLen)
{
    zl::RecordVerbatim(pCat, TRACE_FILE_ARGS, "TRACE", 5, TRACE_LINES[nLevel], LibraryLevel(nLevel),
                       pszText, nLen);
}

// Most records fit the stack buffer and are formatted once. A longer one is formatted again
// into a heap buffer no longer than the record maximum: the rest would be cut anyway, so a
// huge argument costs no memory beyond the cut. A negative vsnprintf result is a failure.
int FormatAndLog(zlog_category_t* pCat, unsigned int nLevel, const char* pszFormat, va_list ap)
{
    char szStack[STACK_MESSAGE_SIZE];
    va_list aq;
    va_copy(aq, ap);
    const int n = vsnprintf(szStack, sizeof szStack, pszFormat, aq);
    va_end(aq);
    if (n < 0) return VOMU_LOG_E_MEMORY;
    // A "%c" of a zero byte ends the text there, as "%s" of the result would.
    if ((size_t)n < sizeof szStack) {
        LogText(pCat, nLevel, szStack, strnlen(szStack, (size_t)n));
        return VOMU_OK;
    }
    const size_t nKeep = std::min((size_t)n, zl::RecordMax());
    if (nKeep == 0) return VOMU_OK;  // logging stopped meanwhile: the record is dropped
    std::unique_ptr<char, decltype(&free)> pBuf((char*)malloc(nKeep + 1), free);
    if (!pBuf) return VOMU_LOG_E_MEMORY;
    va_copy(aq, ap);
    const int nAgain = vsnprintf(pBuf.get(), nKeep + 1, pszFormat, aq);
    va_end(aq);
    if (nAgain < 0) return VOMU_LOG_E_MEMORY;
    LogText(pCat, nLevel, pBuf.get(), strnlen(pBuf.get(), nKeep));
    return VOMU_OK;
}

// The configuration file to use, or null after the diagnostics of a missing one.
const char* ChooseConfPath(const char* pszConfPath)
{
    if (NamesRegularFile(pszConfPath)) return pszConfPath;
    const char* pszEnv = getenv("VOMU_LOG_CONF_PATH");
    if (!pszEnv || !*pszEnv) {
        zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------environment variable doesn't exist------");
        zc_profile_inner(ZC_ERROR, __FILE__, __LINE__, "------config file doesn't exist------");
        return nullptr;
    }
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------environment variable[%s]------", pszEnv);
    if (!NamesRegularFile(pszEnv)) {
        zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------environment config file doesn't exist------");
        zc_profile_inner(ZC_ERROR, __FILE__, __LINE__, "------config file doesn't exist------");
        return nullptr;
    }
    return pszEnv;
}

// Both ways of starting answer a second start alike.
bool AlreadyInitialized()
{
    if (LoadCategory()) {
        zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------have initialized------");
        return true;
    }
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------fire-new init------");
    return false;
}

// The category after a successful start; without it the start is undone.
int TakeCategory(const char* pszFailedText, const char* pszFinishedText)
{
    StoreCategory(zlog_get_category(CATEGORY_NAME));
    if (!LoadCategory()) {
        zc_profile_inner(ZC_ERROR, __FILE__, __LINE__, "%s", pszFailedText);
        zlog_fini();
        return VOMU_LOG_E_INIT;
    }
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "%s", pszFinishedText);
    return VOMU_OK;
}

}  // namespace

int vomu_log_init_ex(const char* confPath)
{
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------vomu_log_init_ex:config_path[%s]------",
                     confPath ? confPath : "(null)");
    if (AlreadyInitialized()) return VOMU_OK;
    const char* pszPath = ChooseConfPath(confPath);
    if (!pszPath) return VOMU_LOG_E_NO_CONFIG;
    if (zlog_init(pszPath) != 0) {
        zc_profile_inner(ZC_ERROR, __FILE__, __LINE__, "------init failed------");
        return VOMU_LOG_E_INIT;
    }
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------zlog_init success------");
    return TakeCategory("------get category failed------",
                        "------vomu_log_init_ex() successful finish------");
}

int vomu_log_init(void) { return vomu_log_init_ex("vomulog.conf"); }

namespace {
// The rule's level by trace level; anything else logs from INFO up.
const char* MemoryLogLevelName(unsigned int nLevel)
{
    static const char* const NAMES[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG"};
    return nLevel <= MAX_TRACE_LEVEL ? NAMES[nLevel] : "INFO";
}
}  // namespace

int vomu_log_init_memory_log(unsigned int level, const char* logPath)
{
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------enter vomu_log_init_memory_log()------");
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------log_level[%d], log_path[%s]------", (int)level,
                     logPath ? logPath : "(null)");
    if (AlreadyInitialized()) return VOMU_OK;
    if (!logPath || !*logPath) {
        zc_profile_inner(ZC_ERROR, __FILE__, __LINE__, "------psz_log_path is empty------");
        return VOMU_LOG_E_INIT;
    }
    const char* pszLevel = MemoryLogLevelName(level);
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------log_level[%s]------", pszLevel);
    if (zlog_init_memory_log(pszLevel, logPath) != 0) {
        zc_profile_inner(ZC_ERROR, __FILE__, __LINE__, "------zlog_init_memory_log() failed------");
        return VOMU_LOG_E_INIT;
    }
    zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, "------zlog_init_memory_log() success------");
    return TakeCategory("------zlog_get_category() failed------",
                        "------vomu_log_init_memory_log() successful finish------");
}

void vomu_log_fini(void)
{
    StoreCategory(nullptr);
    zlog_fini();
}

int TRACE(unsigned int level, const char* format, ...)
{
    zlog_category_t* pCat = LoadCategory();
    if (!pCat) return VOMU_LOG_E_NOT_INIT;
    if (level > MAX_TRACE_LEVEL) return VOMU_LOG_E_LEVEL;
    if (!Takes(pCat, level)) return VOMU_OK;
    va_list ap;
    va_start(ap, format);
    const int nResult = FormatAndLog(pCat, level, format, ap);
    va_end(ap);
    return nResult;
}

int TRACE_BINARY(unsigned int level, const void* data, int len)
{
    zlog_category_t* pCat = LoadCategory();
    if (!pCat) return VOMU_OK;
    if (level > MAX_TRACE_LEVEL) return VOMU_LOG_E_LEVEL;
    if (len < 0 || (!data && len > 0) || !Takes(pCat, level)) return VOMU_OK;
    hzlog(pCat, TRACE_FILE_ARGS, "TRACE_BINARY", 12, TRACE_BINARY_LINE, LibraryLevel(level),
          data, (size_t)len);
    return VOMU_OK;
}

int TraceStarted(void) { return LoadCategory() != nullptr; }

int TraceEnabled(unsigned int level) { return level <= MAX_TRACE_LEVEL && Takes(LoadCategory(), level); }

int TraceMessageMax(void) { return (int)std::min(zl::RecordMax(), (size_t)INT_MAX); }

namespace {
// TRACE(level, "%s", text) without formatting: the text is logged as it stands.
int TraceVerbatim(unsigned int nLevel, const char* pszText)
{
    zlog_category_t* pCat = LoadCategory();
    if (!pCat) return VOMU_LOG_E_NOT_INIT;
    if (!Takes(pCat, nLevel)) return VOMU_OK;
    // Never read beyond what a record can hold.
    const char* pszShown = pszText ? pszText : "(null)";
    LogText(pCat, nLevel, pszShown, strnlen(pszShown, zl::RecordMax()));
    return VOMU_OK;
}
}  // namespace

int TraceInfo(const char* text) { return TraceVerbatim(TRACE_LEVEL_INFO, text); }
int TraceError(const char* text) { return TraceVerbatim(TRACE_LEVEL_ERROR, text); }

int TraceText(unsigned int level, const char* text, size_t len)
{
    zlog_category_t* pCat = LoadCategory();
    if (!pCat) return VOMU_LOG_E_NOT_INIT;
    if (level > MAX_TRACE_LEVEL) return VOMU_LOG_E_LEVEL;
    if (text && Takes(pCat, level)) LogText(pCat, level, text, std::min(len, zl::RecordMax()));
    return VOMU_OK;
}
