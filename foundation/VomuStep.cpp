#include "VomuStep.h"

#include <openssl/err.h>

#include <cstdio>
#include <cstring>

#include "vomu_zlog.h"

namespace morv {
namespace {

const size_t STEP_LINE_SIZE = 512;
const size_t OPENSSL_TEXT_SIZE = 256;

const char* BaseName(const char* pszPath)
{
    const char* pszSlash = strrchr(pszPath, '/');
    return pszSlash ? pszSlash + 1 : pszPath;
}

}  // namespace

void StepOk(const char* pszFile, int nLine, const char* pszFunc, const char* pszStep)
{
    // Parsers log a step per node: a line no rule takes is not even formatted.
    if (!TraceEnabled(TRACE_LEVEL_INFO)) return;
    char szLine[STEP_LINE_SIZE];
    memset(szLine, 0, sizeof szLine);
    snprintf(szLine, sizeof szLine, "[%s(%d)]:(%s -- %s)\t\t--OK\n", BaseName(pszFile), nLine,
             pszFunc, pszStep);
    TraceInfo(szLine);
}

void StepFailed(const char* pszFile, int nLine, const char* pszFunc, const char* pszStep,
                int nCode, const char* pszReason, bool bOpenssl)
{
    if (!TraceEnabled(TRACE_LEVEL_ERROR)) return;
    char szLine[STEP_LINE_SIZE];
    memset(szLine, 0, sizeof szLine);
    if (bOpenssl) {
        // The error stays on the queue: callers above may report it too.
        char szOpenssl[OPENSSL_TEXT_SIZE] = {0};
        ERR_error_string_n(ERR_peek_last_error(), szOpenssl, sizeof szOpenssl);
        snprintf(szLine, sizeof szLine,
                 "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s] Openssl %s\n",
                 BaseName(pszFile), nLine, pszFunc, pszStep, (unsigned)nCode, pszReason, szOpenssl);
    } else {
        snprintf(szLine, sizeof szLine, "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n",
                 BaseName(pszFile), nLine, pszFunc, pszStep, (unsigned)nCode, pszReason);
    }
    // An over-long line is cut; it must still end the record.
    szLine[STEP_LINE_SIZE - 2] = szLine[STEP_LINE_SIZE - 2] ? '\n' : szLine[STEP_LINE_SIZE - 2];
    TraceError(szLine);
}

}  // namespace morv
