// Internals of the logging library, shared by its source files only.
#ifndef MORV_ZLOG_INTERNAL_H
#define MORV_ZLOG_INTERNAL_H

#include <sys/time.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zc_profile.h"
#include "zlog.h"

namespace zl {

// Runs a C entry point's body: an exception (memory running out inside a string or a
// container) becomes the entry point's documented failure result instead of leaving it.
template <typename Result, typename Body>
Result NoThrow(Result failure, Body body)
{
    try {
        return body();
    } catch (...) {
        zc_error("out of memory, errno[%d]", ENOMEM);
        return failure;
    }
}
template <typename Body>
void NoThrow(Body body)
{
    try {
        body();
    } catch (...) {
        zc_error("out of memory, errno[%d]", ENOMEM);
    }
}

// The text without leading and trailing white space.
std::string Trim(const std::string& s);
// The text in lower case (ASCII).
std::string Lower(std::string s);

const size_t MAXLEN_PATH = 1024;
const size_t MAXLEN_CFG_LINE = MAXLEN_PATH * 4;
const size_t MAXLEN_MDC_KEY = 128;
const size_t MAXLEN_MDC_VALUE = 1024;
const size_t DEFAULT_BUF_MIN = 1024;
const size_t DEFAULT_BUF_MAX = 2 * 1024 * 1024;
const char* const DEFAULT_FORMAT = "%D %V [%p:%F:%L] %m%n";
const char* const DEFAULT_LOCK_FILE = "/tmp/zlog.lock";
const char* const BUILTIN_RULE = "*.*        >stdout";

// ---- levels -------------------------------------------------------------------------
struct Level {
    bool bUsed = false;
    std::string strUpper;
    std::string strLower;
    int nSyslog = 7;
};

struct Levels {
    Level table[256];
    Levels();  // DEBUG 20 ... FATAL 120
    // "NAME = value[, LOG_xxx]"; 0 or -1 with a diagnostic.
    int AddFromLine(const char* pszLine);
    // Case-insensitive; -1 when unknown.
    int Find(const std::string& strName) const;
};

// ---- growable record buffer ---------------------------------------------------------
class Buf {
public:
    Buf() = default;
    ~Buf() { free(m_p); }
    Buf(const Buf&) = delete;
    Buf& operator=(const Buf&) = delete;
    bool Reset(size_t nMin, size_t nMax);  // the record buffers of one configuration
    // The most bytes a buffer Reset with these bounds ever holds (a zero maximum: no bound).
    static size_t MaxOf(size_t nMin, size_t nMax);
    void Clear() { m_nLen = 0; m_bTruncated = false; }
    // Every piece of every record comes through here: the common case, room to spare, is a
    // copy and no call.
    void Append(const char* p, size_t n)
    {
        if (!m_bTruncated && m_nLen + n < m_nCap) {
            memcpy(m_p + m_nLen, p, n);
            m_nLen += n;
            return;
        }
        AppendSlow(p, n);
    }
    void AppendPadded(const char* p, size_t n, bool bLeft, int nWidth, int nPrec)
    {
        if (nWidth <= 0 && nPrec < 0) return Append(p, n);
        AppendPaddedSlow(p, n, bLeft, nWidth, nPrec);
    }
    void AppendV(const char* pszFmt, va_list ap);
    // The last byte becomes a newline when the record was cut at the maximum.
    void EndTruncated();
    const char* Data() const { return m_p ? m_p : ""; }
    char* MutableData() { return m_p; }
    size_t Len() const { return m_nLen; }
    bool Truncated() const { return m_bTruncated; }
    void TerminateForC();

private:
    bool Grow(size_t nNeed);
    void AppendSlow(const char* p, size_t n);
    void AppendPaddedSlow(const char* p, size_t n, bool bLeft, int nWidth, int nPrec);
    char* m_p = nullptr;
    size_t m_nLen = 0;
    size_t m_nCap = 0;
    size_t m_nMax = DEFAULT_BUF_MAX;
    bool m_bTruncated = false;
};

// ---- the record being written -------------------------------------------------------
struct Event {
    const char* pszCategory = "";
    size_t nCategoryLen = 0;
    const char* pszFile = "";
    size_t nFileLen = 0;
    const char* pszFunc = "";
    size_t nFuncLen = 0;
    long nLine = 0;
    int nLevel = 0;
    const char* pszFormat = nullptr;  // printf record
    va_list* pArgs = nullptr;
    const void* pHex = nullptr;  // hex-dump record
    size_t nHexLen = 0;
    bool bHex = false;
    const char* pText = nullptr;  // finished text, taken as it stands
    size_t nTextLen = 0;
    bool bText = false;
    bool bHaveTime = false;
    struct timeval tv;
};

struct TimeCacheEntry {
    const void* pSpec = nullptr;
    time_t tSec = -1;
    std::string strText;
};

// A number's decimal digits, kept while the number stays the same: a record's line and pid
// repeat from one record to the next.
struct NumberText {
    bool bValid = false;
    long nValue = 0;
    char sz[24];
    size_t nLen = 0;
};

struct MdcEntry {
    std::string strKey;
    std::string strValue;
};

// Each thread's record buffers, MDC and time cache, under one thread-specific key.
struct Thread {
    int nInitVersion = 0;
    Buf msg;
    Buf path;
    Buf scratch;
    std::vector<MdcEntry> mdc;
    TimeCacheEntry timeCache[4];
    unsigned nNextCache = 0;
    Event event;
    const void* pLastFormat = nullptr;  // msg holds this format's text for the current event
    NumberText pid;  // a forked child's differs
    NumberText line;
};

// ---- formats ------------------------------------------------------------------------
enum SpecKind {
    SPEC_LITERAL, SPEC_CATEGORY, SPEC_TIME, SPEC_MS, SPEC_US, SPEC_ENV, SPEC_FILE,
    SPEC_FILE_BASE, SPEC_HOST, SPEC_LINE, SPEC_MSG, SPEC_MDC, SPEC_NEWLINE, SPEC_PID,
    SPEC_FUNC, SPEC_LEVEL_UPPER, SPEC_LEVEL_LOWER, SPEC_TID_HEX, SPEC_TID_DEC
};

struct TimePiece {
    int nKind;  // 0 strftime text, 1 milliseconds, 2 microseconds
    std::string strText;
};

struct Spec {
    SpecKind kind = SPEC_LITERAL;
    std::string strText;  // literal text, variable name or MDC key
    std::vector<TimePiece> timePieces;
    bool bSubSecond = false;  // a time with %ms or %us: its text cannot be kept for a second
    bool bLeft = false;
    int nWidth = 0;
    int nPrec = -1;
};

struct Format {
    std::string strName;
    std::string strPattern;
    std::vector<Spec> specs;
    bool bNeedsTime = false;
    // 0 or -1 with a diagnostic naming the fault.
    int Compile(const std::string& strPattern);
    // Renders the thread's current event into buf (the record buffer or the path buffer).
    void Gen(Thread& thread, const Levels& levels, Buf& buf) const;
};

// ---- rules --------------------------------------------------------------------------
struct Rule;
typedef int (*RuleOutputFn)(Rule& rule, Thread& thread, const Levels& levels);

// An output kind written ">name..." in a rule, beyond stdout, stderr and syslog. setup
// parses the text after the prefix into the rule (0 or -1 with a diagnostic).
struct OutputKind {
    const char* pszPrefix;
    int (*setup)(Rule& rule, const char* pszArg);
    RuleOutputFn output;
};

// ---- memory log ---------------------------------------------------------------------
// ">memlog:path": the newest records kept in two blocks, appended to the file at each
// ERROR record. Setup empties an existing file and creates its directories.
const size_t MEMLOG_BLOCK_SIZE = 32768;
const size_t MEMLOG_RULE_SIZE = 512;
int SetupMemoryLog(Rule& rule, const char* pszPath);
int zlog_rule_output_memory(Rule& rule, Thread& thread, const Levels& levels);
// The memory-log store's used bytes (previous block, current block), for tests.
void MemoryLogLengths(int& nPrevious, int& nCurrent);

// The outputs a rule line names.
int OutputStaticFile(Rule& rule, Thread& thread, const Levels& levels);
int OutputDynamicFile(Rule& rule, Thread& thread, const Levels& levels);
int OutputStdout(Rule& rule, Thread& thread, const Levels& levels);
int OutputStderr(Rule& rule, Thread& thread, const Levels& levels);
int OutputSyslog(Rule& rule, Thread& thread, const Levels& levels);

// Creates the directories of path (0755), ignoring every result; the last component is
// never created. 0, or -1 for a null path or when memory runs out.
int auto_create_dir(const char* pszPath);

enum LevelOp { LEVEL_ANY, LEVEL_ATLEAST, LEVEL_EQUAL, LEVEL_NOT };

struct Rule {
    ~Rule();
    std::string strLine;
    std::string strCategory;
    LevelOp levelOp = LEVEL_ANY;
    int nLevel = 0;
    const Format* pFormat = nullptr;
    RuleOutputFn output = nullptr;
    // file outputs
    std::string strPath;
    std::unique_ptr<Format> pathFormat;  // dynamic path
    int fd = -1;                         // static path, open while the configuration lives
    std::atomic<long> nNextPathCheck{0};  // static path: monotonic ms of the next rotation check
    bool bNoFsync = false;
    long nFsyncPeriod = 0;
    std::atomic<long> nWrites{0};
    mode_t perms = 0600;
    int nFacility = 0;  // syslog

    bool MatchesLevel(int nLevel) const;
    bool MatchesCategory(const std::string& strName) const;  // not for "!"
    // Formats the record with the rule's format into the thread's message buffer,
    // reusing the text when the previous rule of this record had the same format.
    void GenMsg(Thread& thread, const Levels& levels) const;
};

// ---- configuration ------------------------------------------------------------------
struct Conf {
    std::string strFile;
    bool bStrictInit = true;
    size_t nBufMin = DEFAULT_BUF_MIN;
    size_t nBufMax = DEFAULT_BUF_MAX;
    std::string strLockFile = DEFAULT_LOCK_FILE;
    std::string strDefaultFormat = DEFAULT_FORMAT;
    mode_t filePerms = 0600;
    long nReloadPeriod = 0;
    long nFsyncPeriod = 0;
    Levels levels;
    std::unique_ptr<Format> defaultFormat;
    std::vector<std::unique_ptr<Format>> formats;
    std::vector<std::unique_ptr<Rule>> rules;
};

// A file configuration; a null or empty path reads VOMU_LOG_CONF_PATH, and without it the
// built-in one (every record to stdout). Null with a diagnostic on any fault.
Conf* zlog_conf_new(const char* pszPath);
// A configuration without a file: defaults and the one rule given (null or empty: every
// record to stdout).
Conf* zlog_conf_new_with_rule(const char* pszRule);
// Parses one rule line against the configuration; null with a diagnostic.
Rule* zlog_rule_new(const char* pszLine, const Conf& conf);

// The per-thread buffer bookkeeping, for tests.
int ThreadBufCount();
bool ThreadKeyExists();
// How many times the process-exit handler was registered, for tests.
int ExitHandlerRegistrations();

// "1k" 1000, "1kb" 1024, ... case-insensitive; -1 when malformed.
long long ParseByteSize(const std::string& strValue);

}  // namespace zl

#endif
