// The logging wrapper: one category "vomu_category", printf records and hex dumps.
#include "vomu_zlog.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zc_profile.h"
#include "zlog.h"

zlog_category_t* g_ptr_vomu_category = nullptr;

namespace {

// Other threads may log while one stops or starts logging: the pointer is read and written
// atomically, and the category it names stays valid across a stop (the library keeps it).
zlog_category_t* LoadCategory() { return __atomic_load_n(&g_ptr_vomu_category, __ATOMIC_ACQUIRE); }
void StoreCategory(zlog_category_t* pCat) { __atomic_store_n(&g_ptr_vomu_category, pCat, __ATOMIC_RELEASE); }

const char CATEGORY_NAME[] = "vomu_category";
const size_t FIRST_MESSAGE_SIZE = 4096;
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

// The whole message in one heap buffer: 4,096 bytes first, then exactly the length
// vsnprintf reports. A negative result is a formatting failure.
char* FormatMessage(const char* pszFormat, va_list ap)
{
    char* pszBuf = (char*)malloc(FIRST_MESSAGE_SIZE);
    if (!pszBuf) return nullptr;
    va_list aq;
    va_copy(aq, ap);
    int n = vsnprintf(pszBuf, FIRST_MESSAGE_SIZE, pszFormat, aq);
    va_end(aq);
    if (n < 0) {
        free(pszBuf);
        return nullptr;
    }
    if ((size_t)n < FIRST_MESSAGE_SIZE) return pszBuf;
    char* pszBig = (char*)realloc(pszBuf, (size_t)n + 1);
    if (!pszBig) {
        free(pszBuf);
        return nullptr;
    }
    va_copy(aq, ap);
    int nAgain = vsnprintf(pszBig, (size_t)n + 1, pszFormat, aq);
    va_end(aq);
    if (nAgain != n) {
        free(pszBig);
        return nullptr;
    }
    return pszBig;
}

#define TRACE_FILE_ARGS __FILE__, sizeof(__FILE__) - 1

void LogAt(zlog_category_t* pCat, unsigned int nLevel, const char* pszText)
{
    // Each level keeps its own line of this file in the record's location.
    switch (nLevel) {
    case TRACE_LEVEL_FATAL: zlog(pCat, TRACE_FILE_ARGS, "TRACE", 5, __LINE__, ZLOG_LEVEL_FATAL, "%s", pszText); break;
    case TRACE_LEVEL_ERROR: zlog(pCat, TRACE_FILE_ARGS, "TRACE", 5, __LINE__, ZLOG_LEVEL_ERROR, "%s", pszText); break;
    case TRACE_LEVEL_WARN:  zlog(pCat, TRACE_FILE_ARGS, "TRACE", 5, __LINE__, ZLOG_LEVEL_WARN, "%s", pszText); break;
    case TRACE_LEVEL_INFO:  zlog(pCat, TRACE_FILE_ARGS, "TRACE", 5, __LINE__, ZLOG_LEVEL_INFO, "%s", pszText); break;
    default:                zlog(pCat, TRACE_FILE_ARGS, "TRACE", 5, __LINE__, ZLOG_LEVEL_DEBUG, "%s", pszText); break;
    }
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
    va_list ap;
    va_start(ap, format);
    char* pszMessage = FormatMessage(format, ap);
    va_end(ap);
    if (!pszMessage) return VOMU_LOG_E_MEMORY;
    if (level > MAX_TRACE_LEVEL) {
        free(pszMessage);
        return VOMU_LOG_E_LEVEL;
    }
    LogAt(pCat, level, pszMessage);
    free(pszMessage);
    return VOMU_OK;
}

int TRACE_BINARY(unsigned int level, const void* data, int len)
{
    zlog_category_t* pCat = LoadCategory();
    if (!pCat) return VOMU_OK;
    if (level > MAX_TRACE_LEVEL) return VOMU_LOG_E_LEVEL;
    if (len < 0 || (!data && len > 0)) return VOMU_OK;
    hzlog(pCat, TRACE_FILE_ARGS, "TRACE_BINARY", 12, __LINE__, LibraryLevel(level),
          data, (size_t)len);
    return VOMU_OK;
}

int TraceStarted(void) { return LoadCategory() != nullptr; }
int TraceInfo(const char* text) { return TRACE(TRACE_LEVEL_INFO, "%s", text); }
int TraceError(const char* text) { return TRACE(TRACE_LEVEL_ERROR, "%s", text); }
