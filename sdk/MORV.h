#ifndef MORV_H
#define MORV_H

/* The flat interface of the MORV security SDK for native callers. Every function returns a
 * result code (vomu_result.h); outputs are allocated by the SDK and released with FreeMemory. */
#include "vomu_export.h"
#include "vomu_result.h"

#endif
