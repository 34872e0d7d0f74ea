#ifndef VOMU_ZLOG_H
#define VOMU_ZLOG_H

/* The logging wrapper: one process-wide category "vomu_category" and the trace calls. */
#include <stddef.h>

#include "vomu_export.h"
#include "vomu_result.h"

#define TRACE_LEVEL_FATAL 0
#define TRACE_LEVEL_ERROR 1
#define TRACE_LEVEL_WARN  2
#define TRACE_LEVEL_INFO  3
#define TRACE_LEVEL_DEBUG 4

typedef struct zlog_category_s zlog_category_t;

VOMU_BEGIN_C

/* Null while logging is not initialised: records are then dropped. */
VOMU_EXPORT extern zlog_category_t* g_ptr_vomu_category;

/* 0, VOMU_LOG_E_NO_CONFIG or VOMU_LOG_E_INIT. A second call keeps the first configuration. */
VOMU_EXPORT int vomu_log_init_ex(const char* confPath);
VOMU_EXPORT int vomu_log_init(void);
/* 0 or VOMU_LOG_E_INIT: logging configured from the one rule "vomu_category.LEVEL  >memlog:path". */
VOMU_EXPORT int vomu_log_init_memory_log(unsigned int level, const char* logPath);
VOMU_EXPORT void vomu_log_fini(void);

/* 0, VOMU_LOG_E_NOT_INIT, VOMU_LOG_E_MEMORY or VOMU_LOG_E_LEVEL. */
VOMU_EXPORT int TRACE(unsigned int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* 0 or VOMU_LOG_E_LEVEL. */
VOMU_EXPORT int TRACE_BINARY(unsigned int level, const void* data, int len);

/* 1 while logging runs. */
int TraceStarted(void);
/* 1 when a record of this trace level would reach a rule: callers skip building records
 * that would be dropped. */
int TraceEnabled(unsigned int level);
/* The longest message text a record can carry (the logging library's record maximum, at most
 * INT_MAX); 0 while logging is stopped. A "%.*s" of a long text bounded by it logs the same
 * bytes as "%s" without reading past the cut. */
int TraceMessageMax(void);
/* A finished line at INFO / ERROR, logged verbatim. */
int TraceInfo(const char* text);
int TraceError(const char* text);
/* The first len bytes of text (no zero byte among them) logged verbatim at a trace level, for
 * callers that built the line themselves and know its length. 0, VOMU_LOG_E_NOT_INIT or
 * VOMU_LOG_E_LEVEL. */
int TraceText(unsigned int level, const char* text, size_t len);

VOMU_END_C

#endif
