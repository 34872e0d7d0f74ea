// The growable record buffer: a record is built in it up to [global] buffer max, and cut there
// with a newline at its end.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zlog_internal.h"

namespace zl {

size_t Buf::MaxOf(size_t nMin, size_t nMax)
{
    if (nMin < 64) nMin = 64;
    if (nMax && nMax < nMin) nMax = nMin;
    return nMax ? nMax : (size_t)-1 / 2;
}

bool Buf::Reset(size_t nMin, size_t nMax)
{
    if (nMin < 64) nMin = 64;
    m_nMax = MaxOf(nMin, nMax);
    m_nLen = 0;
    m_bTruncated = false;
    if (m_nCap >= nMin && m_nCap <= m_nMax) return true;
    char* p = (char*)realloc(m_p, nMin);
    if (!p) return false;
    m_p = p;
    m_nCap = nMin;
    return true;
}

bool Buf::Grow(size_t nNeed)
{
    // One byte stays free for a terminating zero.
    if (nNeed + 1 <= m_nCap) return true;
    if (nNeed + 1 > m_nMax) return false;
    size_t nCap = m_nCap ? m_nCap : 64;
    while (nCap < nNeed + 1) nCap = nCap > m_nMax / 2 ? m_nMax : nCap * 2;
    char* p = (char*)realloc(m_p, nCap);
    if (!p) return false;
    m_p = p;
    m_nCap = nCap;
    return true;
}

void Buf::AppendSlow(const char* p, size_t n)
{
    if (m_bTruncated) return;
    if (!Grow(m_nLen + n)) {
        size_t nRoom = m_nCap > m_nLen + 1 ? m_nCap - m_nLen - 1 : 0;
        if (Grow(m_nMax - 1)) nRoom = m_nCap - m_nLen - 1;
        if (nRoom) memcpy(m_p + m_nLen, p, nRoom);
        m_nLen += nRoom;
        m_bTruncated = true;
        return;
    }
    memcpy(m_p + m_nLen, p, n);
    m_nLen += n;
}

void Buf::AppendPaddedSlow(const char* p, size_t n, bool bLeft, int nWidth, int nPrec)
{
    if (nPrec >= 0 && n > (size_t)nPrec) n = (size_t)nPrec;
    size_t nPad = nWidth > 0 && (size_t)nWidth > n ? (size_t)nWidth - n : 0;
    static const char SPACES[] = "                                ";
    if (!bLeft) {
        for (size_t k = nPad; k > 0;) {
            size_t c = k < 32 ? k : 32;
            Append(SPACES, c);
            k -= c;
        }
    }
    Append(p, n);
    if (bLeft) {
        for (size_t k = nPad; k > 0;) {
            size_t c = k < 32 ? k : 32;
            Append(SPACES, c);
            k -= c;
        }
    }
}

void Buf::AppendV(const char* pszFmt, va_list ap)
{
    if (m_bTruncated) return;
    for (int nTry = 0; nTry < 2; ++nTry) {
        size_t nRoom = m_nCap > m_nLen ? m_nCap - m_nLen : 0;
        va_list aq;
        va_copy(aq, ap);
        int n = vsnprintf(m_p ? m_p + m_nLen : nullptr, nRoom, pszFmt, aq);
        va_end(aq);
        if (n < 0) return;
        if ((size_t)n < nRoom) {
            m_nLen += (size_t)n;
            return;
        }
        if (!Grow(m_nLen + (size_t)n)) {
            // Cut at the maximum: format what fits.
            Grow(m_nMax - 1);
            nRoom = m_nCap - m_nLen;
            va_copy(aq, ap);
            vsnprintf(m_p + m_nLen, nRoom, pszFmt, aq);
            va_end(aq);
            m_nLen += nRoom - 1;
            m_bTruncated = true;
            return;
        }
    }
}

void Buf::EndTruncated()
{
    if (m_bTruncated && m_nLen > 0) m_p[m_nLen - 1] = '\n';
}

void Buf::TerminateForC()
{
    if (Grow(m_nLen)) m_p[m_nLen] = '\0';
    else if (m_nLen) m_p[m_nLen - 1] = '\0';
}

}  // namespace zl
