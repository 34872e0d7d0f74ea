#ifndef VOMU_EXPORT_H
#define VOMU_EXPORT_H

// Names the shared objects export: C linkage, default visibility.
#define VOMU_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define VOMU_EXTERN_C extern "C"
#define VOMU_BEGIN_C extern "C" {
#define VOMU_END_C }
#else
#define VOMU_EXTERN_C
#define VOMU_BEGIN_C
#define VOMU_END_C
#endif

#endif
