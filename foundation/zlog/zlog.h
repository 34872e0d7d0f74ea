/* Logging library with the zlog 1.2.8 interface: categories, rules read from a configuration
 * file, per-thread record buffers and MDC. */
#ifndef MORV_ZLOG_H
#define MORV_ZLOG_H

#include <stdarg.h>
#include <stddef.h>

#ifndef ZLOG_EXPORT
#define ZLOG_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zlog_category_s zlog_category_t;

/* 0 on success, -1 on failure (the reason goes to the diagnostic channel). */
ZLOG_EXPORT int zlog_init(const char* confpath);
/* NULL: the current file again; (char*)-1: only when the reload period has run out.
 * On failure the running configuration stays in force. */
ZLOG_EXPORT int zlog_reload(const char* confpath);
ZLOG_EXPORT void zlog_fini(void);
/* 0 or -1: the library configured without a file from the one rule
 * "vomu_category.<level>  >memlog:<logpath>"; reloads rebuild that rule until zlog_fini. */
ZLOG_EXPORT int zlog_init_memory_log(const char* level, const char* logpath);
/* Writes the running configuration to the diagnostic channel. */
ZLOG_EXPORT void zlog_profile(void);

ZLOG_EXPORT zlog_category_t* zlog_get_category(const char* cname);
/* 1 when a record of this level in this category would reach a rule, else 0 (also for a null
 * category or a stopped library). Takes no lock, so a caller can ask before building a record;
 * while another thread reloads or stops the library the answer is the old or the new one. */
ZLOG_EXPORT int zlog_level_enabled(zlog_category_t* category, const int level);

ZLOG_EXPORT int zlog_put_mdc(const char* key, const char* value);
ZLOG_EXPORT char* zlog_get_mdc(const char* key);
ZLOG_EXPORT void zlog_remove_mdc(const char* key);
ZLOG_EXPORT void zlog_clean_mdc(void);

ZLOG_EXPORT void zlog(zlog_category_t* category, const char* file, size_t filelen,
                      const char* func, size_t funclen, long line, int level,
                      const char* format, ...) __attribute__((format(printf, 8, 9)));
ZLOG_EXPORT void vzlog(zlog_category_t* category, const char* file, size_t filelen,
                       const char* func, size_t funclen, long line, int level,
                       const char* format, va_list args);
ZLOG_EXPORT void hzlog(zlog_category_t* category, const char* file, size_t filelen,
                       const char* func, size_t funclen, long line, int level,
                       const void* buf, size_t buflen);

ZLOG_EXPORT int dzlog_init(const char* confpath, const char* cname);
ZLOG_EXPORT int dzlog_set_category(const char* cname);
ZLOG_EXPORT void dzlog(const char* file, size_t filelen, const char* func, size_t funclen,
                       long line, int level, const char* format, ...)
    __attribute__((format(printf, 7, 8)));
ZLOG_EXPORT void vdzlog(const char* file, size_t filelen, const char* func, size_t funclen,
                        long line, int level, const char* format, va_list args);
ZLOG_EXPORT void hdzlog(const char* file, size_t filelen, const char* func, size_t funclen,
                        long line, int level, const void* buf, size_t buflen);

typedef struct zlog_msg_s {
    char* buf;
    size_t len;
    char* path;
} zlog_msg_t;
typedef int (*zlog_record_fn)(zlog_msg_t* msg);
/* User-defined outputs are not offered: always -1. */
ZLOG_EXPORT int zlog_set_record(const char* rname, zlog_record_fn record);

typedef enum {
    ZLOG_LEVEL_DEBUG = 20,
    ZLOG_LEVEL_INFO = 40,
    ZLOG_LEVEL_NOTICE = 60,
    ZLOG_LEVEL_WARN = 80,
    ZLOG_LEVEL_ERROR = 100,
    ZLOG_LEVEL_FATAL = 120
} zlog_level;

#define ZLOG_AT_(cat, lvl, ...) \
    zlog(cat, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, lvl, __VA_ARGS__)
#define zlog_fatal(cat, ...)  ZLOG_AT_(cat, ZLOG_LEVEL_FATAL, __VA_ARGS__)
#define zlog_error(cat, ...)  ZLOG_AT_(cat, ZLOG_LEVEL_ERROR, __VA_ARGS__)
#define zlog_warn(cat, ...)   ZLOG_AT_(cat, ZLOG_LEVEL_WARN, __VA_ARGS__)
#define zlog_notice(cat, ...) ZLOG_AT_(cat, ZLOG_LEVEL_NOTICE, __VA_ARGS__)
#define zlog_info(cat, ...)   ZLOG_AT_(cat, ZLOG_LEVEL_INFO, __VA_ARGS__)
#define zlog_debug(cat, ...)  ZLOG_AT_(cat, ZLOG_LEVEL_DEBUG, __VA_ARGS__)

#define DZLOG_AT_(lvl, ...) \
    dzlog(__FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, lvl, __VA_ARGS__)
#define dzlog_fatal(...)  DZLOG_AT_(ZLOG_LEVEL_FATAL, __VA_ARGS__)
#define dzlog_error(...)  DZLOG_AT_(ZLOG_LEVEL_ERROR, __VA_ARGS__)
#define dzlog_warn(...)   DZLOG_AT_(ZLOG_LEVEL_WARN, __VA_ARGS__)
#define dzlog_notice(...) DZLOG_AT_(ZLOG_LEVEL_NOTICE, __VA_ARGS__)
#define dzlog_info(...)   DZLOG_AT_(ZLOG_LEVEL_INFO, __VA_ARGS__)
#define dzlog_debug(...)  DZLOG_AT_(ZLOG_LEVEL_DEBUG, __VA_ARGS__)

#define hzlog_fatal(cat, buf, len) \
    hzlog(cat, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, ZLOG_LEVEL_FATAL, buf, len)
#define hzlog_error(cat, buf, len) \
    hzlog(cat, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, ZLOG_LEVEL_ERROR, buf, len)
#define hzlog_warn(cat, buf, len) \
    hzlog(cat, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, ZLOG_LEVEL_WARN, buf, len)
#define hzlog_info(cat, buf, len) \
    hzlog(cat, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, ZLOG_LEVEL_INFO, buf, len)
#define hzlog_debug(cat, buf, len) \
    hzlog(cat, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, ZLOG_LEVEL_DEBUG, buf, len)

#ifdef __cplusplus
}
#endif

#endif
