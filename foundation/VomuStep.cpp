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

// A line of at most STEP_LINE_SIZE - 1 characters built from its pieces, cut where snprintf
// into STEP_LINE_SIZE bytes would cut it: an OK line goes into every step of a call, and
// parsing a format string for it cost more than the record itself.
class StepLine {
public:
    void Put(const char* psz) { Put(psz, strlen(psz)); }
    template <size_t N>
    void PutLiteral(const char (&sz)[N])
    {
        Put(sz, N - 1);
    }
    void Put(const char* p, size_t n)
    {
        const size_t nRoom = sizeof m_sz - 1 - m_nLen;
        if (n > nRoom) n = nRoom;
        memcpy(m_sz + m_nLen, p, n);
        m_nLen += n;
    }
    // printf's "%d".
    void PutDecimal(int n)
    {
        char szReversed[16];
        size_t k = 0;
        unsigned int u = n < 0 ? 0u - (unsigned int)n : (unsigned int)n;
        do {
            szReversed[k++] = (char)('0' + u % 10);
            u /= 10;
        } while (u);
        if (n < 0) szReversed[k++] = '-';
        while (k > 0) Put(&szReversed[--k], 1);
    }
    const char* Text() const { return m_sz; }
    size_t Len() const { return m_nLen; }

private:
    char m_sz[STEP_LINE_SIZE];
    size_t m_nLen = 0;
};

}  // namespace

void StepOk(const char* pszFile, int nLine, const char* pszFunc, const char* pszStep)
{
    // Parsers log a step per node: a line no rule takes is not even formatted.
    if (!TraceEnabled(TRACE_LEVEL_INFO)) return;
    // "[file(line)]:(func -- step)\t\t--OK\n"
    StepLine line;
    line.PutLiteral("[");
    line.Put(BaseName(pszFile));
    line.PutLiteral("(");
    line.PutDecimal(nLine);
    line.PutLiteral(")]:(");
    line.Put(pszFunc);
    line.PutLiteral(" -- ");
    line.Put(pszStep);
    line.PutLiteral(")\t\t--OK\n");
    TraceText(TRACE_LEVEL_INFO, line.Text(), line.Len());
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
