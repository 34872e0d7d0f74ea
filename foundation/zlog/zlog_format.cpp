// Levels and format patterns (conversion specifiers).
#include <pthread.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "zc_profile.h"
#include "zlog_internal.h"

namespace zl {
namespace {

std::string Upper(std::string s)
{
    for (char& c : s) c = (char)toupper((unsigned char)c);
    return s;
}

struct SyslogName {
    const char* pszName;
    int nValue;
};
const SyslogName SYSLOG_LEVELS[] = {
    {"LOG_EMERG", 0}, {"LOG_ALERT", 1}, {"LOG_CRIT", 2}, {"LOG_ERR", 3},
    {"LOG_WARNING", 4}, {"LOG_NOTICE", 5}, {"LOG_INFO", 6}, {"LOG_DEBUG", 7},
};

bool IsNameChar(char c) { return isalnum((unsigned char)c) || c == '_'; }

}  // namespace

// ---- levels -------------------------------------------------------------------------
Levels::Levels()
{
    static const struct { int n; const char* psz; int nSyslog; } DEFAULTS[] = {
        {20, "DEBUG", 7}, {40, "INFO", 6}, {60, "NOTICE", 5},
        {80, "WARN", 4},  {100, "ERROR", 3}, {120, "FATAL", 1},
    };
    for (const auto& d : DEFAULTS) {
        table[d.n].bUsed = true;
        table[d.n].strUpper = d.psz;
        table[d.n].strLower = Lower(d.psz);
        table[d.n].nSyslog = d.nSyslog;
    }
}

int Levels::AddFromLine(const char* pszLine)
{
    std::string strLine(pszLine);
    size_t nEq = strLine.find('=');
    if (nEq == std::string::npos) {
        zc_error("level line [%s] has no '='", pszLine);
        return -1;
    }
    std::string strName = Trim(strLine.substr(0, nEq));
    std::string strRest = Trim(strLine.substr(nEq + 1));
    std::string strSyslog = "LOG_DEBUG";
    size_t nComma = strRest.find(',');
    if (nComma != std::string::npos) {
        strSyslog = Trim(strRest.substr(nComma + 1));
        strRest = Trim(strRest.substr(0, nComma));
    }
    if (strName.empty() || strName.size() > 15) {
        zc_error("level name [%s] is empty or longer than 15", strName.c_str());
        return -1;
    }
    for (char c : strName) {
        if (!IsNameChar(c)) {
            zc_error("level name [%s] holds [%c]", strName.c_str(), c);
            return -1;
        }
    }
    char* pszEnd = nullptr;
    long n = strtol(strRest.c_str(), &pszEnd, 10);
    if (strRest.empty() || *pszEnd != '\0' || n < 1 || n > 253) {
        zc_error("level value [%s] of [%s] is not in [1,253]", strRest.c_str(), strName.c_str());
        return -1;
    }
    int nSyslog = -1;
    for (const auto& s : SYSLOG_LEVELS) {
        if (Upper(strSyslog) == s.pszName) nSyslog = s.nValue;
    }
    if (nSyslog < 0) {
        zc_error("syslog level [%s] of [%s] is unknown", strSyslog.c_str(), strName.c_str());
        return -1;
    }
    Level& level = table[n];
    level.bUsed = true;
    level.strUpper = Upper(strName);
    level.strLower = Lower(strName);
    level.nSyslog = nSyslog;
    return 0;
}

int Levels::Find(const std::string& strName) const
{
    std::string strUpper = Upper(strName);
    for (int i = 0; i < 256; ++i) {
        if (table[i].bUsed && table[i].strUpper == strUpper) return i;
    }
    return -1;
}

// ---- format patterns ----------------------------------------------------------------
namespace {

// printf's "%0<nWidth>lu" into sz (room for 24 bytes), without printf's parsing: lines, pids
// and sub-second times go into every record. The count of characters written.
size_t Decimal(unsigned long n, int nWidth, char* sz)
{
    char szReversed[24];
    size_t k = 0;
    do {
        szReversed[k++] = (char)('0' + n % 10);
        n /= 10;
    } while (n);
    while ((int)k < nWidth && k < sizeof szReversed) szReversed[k++] = '0';
    for (size_t i = 0; i < k; ++i) sz[i] = szReversed[k - 1 - i];
    return k;
}

// printf's "%ld".
size_t SignedDecimal(long n, char* sz)
{
    if (n >= 0) return Decimal((unsigned long)n, 0, sz);
    sz[0] = '-';
    return 1 + Decimal(0UL - (unsigned long)n, 0, sz + 1);
}

// getpid is a system call on current glibc; the value changes only in a forked child.
std::atomic<long> g_nPid{0};
void ForgetPid() { g_nPid.store(0); }
long CachedPid()
{
    long n = g_nPid.load(std::memory_order_relaxed);
    if (n == 0) {
        static const int REGISTERED = pthread_atfork(nullptr, nullptr, ForgetPid);
        (void)REGISTERED;
        n = (long)getpid();
        g_nPid.store(n, std::memory_order_relaxed);
    }
    return n;
}

int CompileTime(const std::string& strFmt, Spec& spec)
{
    std::string strText;
    for (size_t i = 0; i < strFmt.size(); ++i) {
        if (strFmt[i] == '%' && (strFmt.compare(i, 3, "%ms") == 0 ||
                                                              strFmt.compare(i, 3, "%us") == 0)) {
            if (!strText.empty()) spec.timePieces.push_back({0, strText});
            strText.clear();
            spec.timePieces.push_back({strFmt[i + 1] == 'm' ? 1 : 2, ""});
            spec.bSubSecond = true;
            i += 2;
            continue;
        }
        if (strFmt[i] == '%' && i + 1 < strFmt.size()) {
            strText += strFmt[i];
            strText += strFmt[++i];
            continue;
        }
        strText += strFmt[i];
    }
    if (!strText.empty()) spec.timePieces.push_back({0, strText});
    return 0;
}

// Reads "(...)" at p; returns the inside or fails on a missing ")".
// A width or precision: digits read while the value stays within MAX_FIELD_WIDTH, so a long
// run of digits cannot wrap below the limit. False when the value exceeds it.
const int MAX_FIELD_WIDTH = 1024;
bool ReadFieldWidth(const char*& p, int& nValue)
{
    nValue = 0;
    while (isdigit((unsigned char)*p)) {
        nValue = nValue * 10 + (*p++ - '0');
        if (nValue > MAX_FIELD_WIDTH) return false;
    }
    return true;
}

bool ReadParen(const char*& p, std::string& strInside)
{
    if (*p != '(') return false;
    const char* pszClose = strchr(p, ')');
    if (!pszClose) return false;
    strInside.assign(p + 1, pszClose);
    p = pszClose + 1;
    return true;
}

}  // namespace

int Format::Compile(const std::string& strIn)
{
    strPattern = strIn;
    specs.clear();
    bNeedsTime = false;
    std::string strLiteral;
    auto flushLiteral = [&]() {
        if (strLiteral.empty()) return;
        Spec s;
        s.kind = SPEC_LITERAL;
        s.strText = strLiteral;
        specs.push_back(s);
        strLiteral.clear();
    };
    const char* p = strIn.c_str();
    while (*p) {
        if (*p != '%') {
            strLiteral += *p++;
            continue;
        }
        const char* pszStart = p++;
        if (*p == '%') {
            strLiteral += '%';
            ++p;
            continue;
        }
        Spec s;
        if (*p == '-') {
            s.bLeft = true;
            ++p;
        }
        bool bInRange = ReadFieldWidth(p, s.nWidth);
        if (bInRange && *p == '.') {
            ++p;
            bInRange = ReadFieldWidth(p, s.nPrec);
        }
        if (!bInRange) {
            zc_error("width or precision over 1024 in format [%s]", strIn.c_str());
            return -1;
        }
        char c = *p ? *p++ : '\0';
        std::string strInside;
        switch (c) {
        case 'c': s.kind = SPEC_CATEGORY; break;
        case 'd':
            s.kind = SPEC_TIME;
            if (*p == '(') {
                if (!ReadParen(p, strInside)) {
                    zc_error("no ')' after %%d( in format [%s]", strIn.c_str());
                    return -1;
                }
            } else {
                strInside = "%F %T";
            }
            CompileTime(strInside, s);
            break;
        case 'D': s.kind = SPEC_TIME; CompileTime("%F %T", s); break;
        case 'E':
        case 'M':
            if (!ReadParen(p, strInside) || strInside.empty()) {
                zc_error("%%%c needs a name in parentheses in format [%s]", c, strIn.c_str());
                return -1;
            }
            s.kind = c == 'E' ? SPEC_ENV : SPEC_MDC;
            s.strText = strInside;
            if (c == 'E') {
                // The environment is read once, when the configuration is built.
                const char* pszValue = getenv(strInside.c_str());
                s.strText = pszValue ? pszValue : "";
            }
            break;
        case 'F': s.kind = SPEC_FILE; break;
        case 'f': s.kind = SPEC_FILE_BASE; break;
        case 'H': s.kind = SPEC_HOST; break;
        case 'L': s.kind = SPEC_LINE; break;
        case 'm':
            if (*p == 's') {
                ++p;
                s.kind = SPEC_MS;
            } else {
                s.kind = SPEC_MSG;
            }
            break;
        case 'u':
            if (*p != 's') {
                zc_error("unknown conversion [%.*s] in format [%s]", (int)(p - pszStart), pszStart,
                         strIn.c_str());
                return -1;
            }
            ++p;
            s.kind = SPEC_US;
            break;
        case 'n': s.kind = SPEC_NEWLINE; break;
        case 'p': s.kind = SPEC_PID; break;
        case 'U': s.kind = SPEC_FUNC; break;
        case 'V': s.kind = SPEC_LEVEL_UPPER; break;
        case 'v': s.kind = SPEC_LEVEL_LOWER; break;
        case 't': s.kind = SPEC_TID_HEX; break;
        case 'T': s.kind = SPEC_TID_DEC; break;
        default:
            zc_error("unknown conversion [%.*s] in format [%s]", (int)(p - pszStart), pszStart,
                     strIn.c_str());
            return -1;
        }
        if (s.kind == SPEC_TIME || s.kind == SPEC_MS || s.kind == SPEC_US) bNeedsTime = true;
        flushLiteral();
        specs.push_back(s);
    }
    flushLiteral();
    return 0;
}

namespace {

const std::string& TimeText(Thread& thread, const Spec& spec, const struct timeval& tv)
{
    for (TimeCacheEntry& e : thread.timeCache) {
        if (e.pSpec == &spec && e.tSec == tv.tv_sec) return e.strText;
    }
    TimeCacheEntry& e = thread.timeCache[thread.nNextCache++ % 4];
    e.pSpec = &spec;
    e.tSec = tv.tv_sec;
    e.strText.clear();
    struct tm tmNow;
    localtime_r(&tv.tv_sec, &tmNow);
    for (const TimePiece& piece : spec.timePieces) {
        char sz[256];
        size_t n = strftime(sz, sizeof sz, piece.strText.c_str(), &tmNow);
        e.strText.append(sz, n);
    }
    return e.strText;
}

void AppendTime(Thread& thread, const Spec& spec, const struct timeval& tv, Buf& buf,
                const Spec& whole)
{
    char sz[512];
    size_t n = 0;
    if (!spec.bSubSecond) {
        const std::string& str = TimeText(thread, spec, tv);
        buf.AppendPadded(str.data(), str.size(), whole.bLeft, whole.nWidth, whole.nPrec);
        return;
    }
    struct tm tmNow;
    localtime_r(&tv.tv_sec, &tmNow);
    for (const TimePiece& piece : spec.timePieces) {
        if (n >= sizeof sz - 16) break;
        if (piece.nKind == 0) {
            n += strftime(sz + n, sizeof sz - n, piece.strText.c_str(), &tmNow);
        } else if (piece.nKind == 1) {
            n += Decimal((unsigned long)tv.tv_usec / 1000, 3, sz + n);
        } else {
            n += Decimal((unsigned long)tv.tv_usec, 6, sz + n);
        }
    }
    buf.AppendPadded(sz, n, whole.bLeft, whole.nWidth, whole.nPrec);
}

void AppendHexDump(const unsigned char* pby, size_t nLen, Buf& buf)
{
    char szLine[128];
    int n = snprintf(szLine, sizeof szLine, "hex_buf_len=[%zu]", nLen);
    buf.Append(szLine, (size_t)n);
    static const char HEX[] = "0123456789abcdef";
    // Rows past the record's maximum would be cut: a huge dump costs no more than its cut.
    for (size_t nOff = 0; nOff < nLen && !buf.Truncated(); nOff += 16) {
        char* q = szLine;
        *q++ = '\n';
        q += Decimal(nOff, 10, q);
        *q++ = ' ';
        for (size_t i = 0; i < 16; ++i) {
            if (nOff + i < nLen) {
                *q++ = ' ';
                *q++ = HEX[pby[nOff + i] >> 4];
                *q++ = HEX[pby[nOff + i] & 15];
            } else {
                *q++ = ' ';
                *q++ = ' ';
                *q++ = ' ';
            }
        }
        *q++ = ' ';
        *q++ = ' ';
        for (size_t i = 0; i < 16 && nOff + i < nLen; ++i) {
            unsigned char c = pby[nOff + i];
            *q++ = isprint(c) ? (char)c : '.';
        }
        buf.Append(szLine, (size_t)(q - szLine));
    }
}

void AppendNumber(NumberText& text, long nValue, const Spec& spec, Buf& buf)
{
    if (!text.bValid || text.nValue != nValue) {
        text.nLen = SignedDecimal(nValue, text.sz);
        text.nValue = nValue;
        text.bValid = true;
    }
    buf.AppendPadded(text.sz, text.nLen, spec.bLeft, spec.nWidth, spec.nPrec);
}

void AppendMsg(Thread& thread, const Spec& spec, Buf& buf)
{
    Event& ev = thread.event;
    bool bPlain = spec.nWidth == 0 && spec.nPrec < 0;
    Buf& target = bPlain ? buf : thread.scratch;
    if (!bPlain) target.Clear();
    if (ev.bHex) {
        AppendHexDump((const unsigned char*)ev.pHex, ev.nHexLen, target);
    } else if (ev.bText) {
        target.Append(ev.pText, ev.nTextLen);
    } else if (ev.pszFormat) {
        target.AppendV(ev.pszFormat, *ev.pArgs);
    }
    if (!bPlain) buf.AppendPadded(target.Data(), target.Len(), spec.bLeft, spec.nWidth, spec.nPrec);
}

}  // namespace

void Format::Gen(Thread& thread, const Levels& levels, Buf& buf) const
{
    Event& ev = thread.event;
    if (bNeedsTime && !ev.bHaveTime) {
        gettimeofday(&ev.tv, nullptr);
        ev.bHaveTime = true;
    }
    char sz[64];
    for (const Spec& s : specs) {
        int n = 0;
        switch (s.kind) {
        case SPEC_LITERAL: buf.Append(s.strText.data(), s.strText.size()); break;
        case SPEC_CATEGORY: buf.AppendPadded(ev.pszCategory, ev.nCategoryLen, s.bLeft, s.nWidth, s.nPrec); break;
        case SPEC_TIME: AppendTime(thread, s, ev.tv, buf, s); break;
        case SPEC_MS:
            n = (int)Decimal((unsigned long)ev.tv.tv_usec / 1000, 3, sz);
            buf.AppendPadded(sz, (size_t)n, s.bLeft, s.nWidth, s.nPrec);
            break;
        case SPEC_US:
            n = (int)Decimal((unsigned long)ev.tv.tv_usec, 6, sz);
            buf.AppendPadded(sz, (size_t)n, s.bLeft, s.nWidth, s.nPrec);
            break;
        case SPEC_ENV: buf.AppendPadded(s.strText.data(), s.strText.size(), s.bLeft, s.nWidth, s.nPrec); break;
        case SPEC_FILE: buf.AppendPadded(ev.pszFile, ev.nFileLen, s.bLeft, s.nWidth, s.nPrec); break;
        case SPEC_FILE_BASE: {
            const char* pszBase = ev.pszFile;
            for (size_t i = 0; i < ev.nFileLen; ++i) {
                if (ev.pszFile[i] == '/') pszBase = ev.pszFile + i + 1;
            }
            buf.AppendPadded(pszBase, ev.nFileLen - (size_t)(pszBase - ev.pszFile), s.bLeft, s.nWidth, s.nPrec);
            break;
        }
        case SPEC_HOST:
            if (gethostname(sz, sizeof sz) != 0) sz[0] = '\0';
            sz[sizeof sz - 1] = '\0';
            buf.AppendPadded(sz, strlen(sz), s.bLeft, s.nWidth, s.nPrec);
            break;
        case SPEC_LINE: AppendNumber(thread.line, ev.nLine, s, buf); break;
        case SPEC_MSG: AppendMsg(thread, s, buf); break;
        case SPEC_MDC: {
            const char* pszValue = "";
            size_t nValue = 0;
            for (const auto& kv : thread.mdc) {
                if (kv.strKey == s.strText) {
                    pszValue = kv.strValue.data();
                    nValue = kv.strValue.size();
                }
            }
            buf.AppendPadded(pszValue, nValue, s.bLeft, s.nWidth, s.nPrec);
            break;
        }
        case SPEC_NEWLINE: buf.Append("\n", 1); break;
        case SPEC_PID: AppendNumber(thread.pid, CachedPid(), s, buf); break;
        case SPEC_FUNC: buf.AppendPadded(ev.pszFunc, ev.nFuncLen, s.bLeft, s.nWidth, s.nPrec); break;
        case SPEC_LEVEL_UPPER:
        case SPEC_LEVEL_LOWER: {
            const Level& level = levels.table[ev.nLevel & 255];
            const std::string& str = s.kind == SPEC_LEVEL_UPPER ? level.strUpper : level.strLower;
            buf.AppendPadded(str.data(), str.size(), s.bLeft, s.nWidth, s.nPrec);
            break;
        }
        case SPEC_TID_HEX:
            n = snprintf(sz, sizeof sz, "%lx", (unsigned long)pthread_self());
            buf.AppendPadded(sz, (size_t)n, s.bLeft, s.nWidth, s.nPrec);
            break;
        case SPEC_TID_DEC:
            n = (int)Decimal((unsigned long)pthread_self(), 0, sz);
            buf.AppendPadded(sz, (size_t)n, s.bLeft, s.nWidth, s.nPrec);
            break;
        }
    }
}

}  // namespace zl
