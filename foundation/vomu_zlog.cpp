// Placeholder until the logging library lands: records are dropped.
#include "vomu_zlog.h"

zlog_category_t* g_ptr_vomu_category = nullptr;

int vomu_log_init_ex(const char*) { return VOMU_LOG_E_NO_CONFIG; }
int vomu_log_init(void) { return vomu_log_init_ex("vomulog.conf"); }
int vomu_log_init_memory_log(unsigned int, const char*) { return VOMU_LOG_E_INIT; }
void vomu_log_fini(void) {}
int TRACE(unsigned int, const char*, ...) { return VOMU_LOG_E_NOT_INIT; }
int TRACE_BINARY(unsigned int, const void*, int) { return 0; }
int TraceInfo(const char* text) { return TRACE(TRACE_LEVEL_INFO, "%s", text); }
int TraceError(const char* text) { return TRACE(TRACE_LEVEL_ERROR, "%s", text); }
