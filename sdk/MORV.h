#ifndef MORV_H
#define MORV_H

/* The flat interface of the MORV security SDK for native callers (C and C++).
 *
 * Every function but FreeMemory returns a result code (vomu_result.h): VOMU_OK (0) or a
 * failure. Text parameters are NUL-terminated; byte inputs come with an int length, which
 * must be positive. Algorithm, hash, cipher and information names are compared without
 * regard to ASCII case. A NULL password is read as the empty password.
 *
 * Ownership: every buffer a function hands out (text NUL-terminated, bytes with their length)
 * is allocated by the SDK and becomes the caller's, who releases it with FreeMemory. Outputs
 * are written only on success; the functions that clear their outputs first (noted below)
 * leave them NULL and 0 after a failure. */
#include "vomu_export.h"
#include "vomu_result.h"

#ifndef __cplusplus
#include <stdbool.h>
#endif

/* Flag bits of VerifyCertificate. */
#define CERT_VERIFY_FLAG_TIME  1
#define CERT_VERIFY_FLAG_CRL   2
#define CERT_VERIFY_FLAG_CHAIN 4

VOMU_BEGIN_C

/* --- start-up, shut-down, buffers, hex text --- */

/* Starts logging from ./vomulog.conf (else the file $VOMU_LOG_CONF_PATH names; the SDK runs
 * without logging when neither exists) and the SM kernel. May be called again: VOMU_OK. */
VOMU_EXPORT int Initialize(void);
/* Stops the kernel, then logging; VOMU_OK also when nothing was running. */
VOMU_EXPORT int Uninitialize(void);
/* Releases a buffer the SDK handed out; NULL is ignored. */
VOMU_EXPORT void FreeMemory(void* pvMemory);
/* Hex text (either case; an odd last digit is ignored) to bytes, in reverse order when
 * bReverse. *ppbyBinaryData: caller's (FreeMemory), four zero bytes after the data.
 * VOMU_OK, VOMU_E_INVALID_ARG (NULL, empty or non-hex text), VOMU_E_FAIL. */
VOMU_EXPORT int ConvertStringToBinaryData(const char* pszHexString, unsigned char** ppbyBinaryData,
                                          int* pnBinaryDataLen, bool bReverse);

VOMU_END_C

#endif
