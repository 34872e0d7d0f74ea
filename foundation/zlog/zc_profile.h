/* The library's own diagnostic channel: written only to the files that the environment
 * variables ZLOG_PROFILE_DEBUG (debug) and ZLOG_PROFILE_ERROR (warn, error) name. */
#ifndef MORV_ZC_PROFILE_H
#define MORV_ZC_PROFILE_H

#ifdef __cplusplus
extern "C" {
#endif

enum { ZC_DEBUG = 0, ZC_WARN = 1, ZC_ERROR = 2 };

int zc_profile_inner(int flag, const char* file, const long line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

#ifdef __cplusplus
}
#endif

#define zc_debug(...) zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, __VA_ARGS__)
#define zc_warn(...)  zc_profile_inner(ZC_WARN, __FILE__, __LINE__, __VA_ARGS__)
#define zc_error(...) zc_profile_inner(ZC_ERROR, __FILE__, __LINE__, __VA_ARGS__)

#endif
