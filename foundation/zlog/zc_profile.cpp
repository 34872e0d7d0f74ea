// The diagnostic channel: one line per message, appended to the file the environment names.
#include "zc_profile.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int zc_profile_inner(int flag, const char* file, const long line, const char* fmt, ...)
{
    const char* pszPath = getenv(flag == ZC_DEBUG ? "ZLOG_PROFILE_DEBUG" : "ZLOG_PROFILE_ERROR");
    if (!pszPath || !*pszPath) return 0;
    FILE* fp = fopen(pszPath, "a");
    if (!fp) return -1;

    time_t tNow = time(nullptr);
    struct tm tmNow;
    localtime_r(&tNow, &tmNow);
    char szTime[32];
    strftime(szTime, sizeof szTime, "%m-%d %H:%M:%S", &tmNow);
    const char* pszKind = flag == ZC_DEBUG ? "DEBUG" : (flag == ZC_WARN ? "WARN" : "ERROR");
    const char* pszSlash = file ? strrchr(file, '/') : nullptr;
    fprintf(fp, "%s %s (%ld:%lu) [%s:%ld] ", szTime, pszKind, (long)getpid(),
            (unsigned long)pthread_self(), pszSlash ? pszSlash + 1 : (file ? file : ""), line);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(fp, fmt, ap);
    va_end(ap);
    fputc('\n', fp);
    fclose(fp);
    return 0;
}
