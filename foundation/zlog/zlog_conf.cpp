// Configuration files ([global], [levels], [formats], [rules]) and rule outputs.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "zc_profile.h"
#include "zlog_internal.h"

namespace zl {

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && isspace((unsigned char)s[b])) ++b;
    while (e > b && isspace((unsigned char)s[e - 1])) --e;
    return s.substr(b, e - b);
}

namespace {

std::string Lower(std::string s)
{
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// ---- outputs ------------------------------------------------------------------------
bool WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

void CountFsync(Rule& rule, int fd)
{
    if (rule.bNoFsync || rule.nFsyncPeriod <= 0) return;
    if (rule.nWrites.fetch_add(1) + 1 >= rule.nFsyncPeriod) {
        rule.nWrites.store(0);
        fsync(fd);
    }
}

int OutputStaticFile(Rule& rule, Thread& thread, const Levels& levels)
{
    rule.GenMsg(thread, levels);
    if (!WriteAll(rule.fd, thread.msg.Data(), thread.msg.Len())) {
        zc_error("write fail, errno[%d], file[%s]", errno, rule.strPath.c_str());
        return -1;
    }
    CountFsync(rule, rule.fd);
    return 0;
}

int OutputDynamicFile(Rule& rule, Thread& thread, const Levels& levels)
{
    thread.path.Clear();
    rule.pathFormat->Gen(thread, levels, thread.path);
    if (thread.path.Truncated() || thread.path.Len() > MAXLEN_PATH) {
        zc_error("path [%.64s...] over %zu characters, record dropped", thread.path.Data(), MAXLEN_PATH);
        return -1;
    }
    thread.path.TerminateForC();
    int fd = open(thread.path.Data(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, rule.perms);
    if (fd < 0) {
        zc_error("open file[%s] fail, errno[%d]", thread.path.Data(), errno);
        return -1;
    }
    rule.GenMsg(thread, levels);
    int nRet = 0;
    if (!WriteAll(fd, thread.msg.Data(), thread.msg.Len())) {
        zc_error("write fail, errno[%d], file[%s]", errno, thread.path.Data());
        nRet = -1;
    }
    CountFsync(rule, fd);
    close(fd);
    return nRet;
}

int OutputFd(int fd, Rule& rule, Thread& thread, const Levels& levels)
{
    rule.GenMsg(thread, levels);
    return WriteAll(fd, thread.msg.Data(), thread.msg.Len()) ? 0 : -1;
}
int OutputStdout(Rule& rule, Thread& thread, const Levels& levels) { return OutputFd(STDOUT_FILENO, rule, thread, levels); }
int OutputStderr(Rule& rule, Thread& thread, const Levels& levels) { return OutputFd(STDERR_FILENO, rule, thread, levels); }

int OutputSyslog(Rule& rule, Thread& thread, const Levels& levels)
{
    rule.GenMsg(thread, levels);
    thread.msg.TerminateForC();
    syslog(rule.nFacility | levels.table[thread.event.nLevel & 255].nSyslog, "%s", thread.msg.Data());
    return 0;
}

struct FacilityName {
    const char* pszName;
    int nValue;
};
const FacilityName FACILITIES[] = {
    {"LOG_USER", LOG_USER},     {"LOG_LOCAL0", LOG_LOCAL0}, {"LOG_LOCAL1", LOG_LOCAL1},
    {"LOG_LOCAL2", LOG_LOCAL2}, {"LOG_LOCAL3", LOG_LOCAL3}, {"LOG_LOCAL4", LOG_LOCAL4},
    {"LOG_LOCAL5", LOG_LOCAL5}, {"LOG_LOCAL6", LOG_LOCAL6}, {"LOG_LOCAL7", LOG_LOCAL7},
};

// Tested after syslog, stdout and stderr.
const OutputKind EXTRA_KINDS[] = {
    {"memlog:", SetupMemoryLog, zlog_rule_output_memory},
};

int SetupFile(Rule& rule, const Conf& conf, const std::string& strPath, const std::string& strTail)
{
    if (strPath.empty()) {
        zc_error("rule [%s]: file path is empty", rule.strLine.c_str());
        return -1;
    }
    if (strPath.size() > MAXLEN_PATH) {
        zc_error("rule [%.64s...]: path over %zu characters", rule.strLine.c_str(), MAXLEN_PATH);
        return -1;
    }
    if (!Trim(strTail).empty()) {
        // Rotation is not performed by this library: the file simply grows.
        zc_warn("rule [%s]: rotation clause [%s] accepted and not acted on", rule.strLine.c_str(),
                Trim(strTail).c_str());
    }
    rule.strPath = strPath;
    rule.perms = conf.filePerms;
    rule.nFsyncPeriod = conf.nFsyncPeriod;
    // A dynamic path's directories are made from its text as written, specifiers unexpanded.
    auto_create_dir(strPath.c_str());
    if (strPath.find('%') != std::string::npos) {
        rule.pathFormat.reset(new (std::nothrow) Format);
        if (!rule.pathFormat || rule.pathFormat->Compile(strPath) != 0) {
            zc_error("rule [%s]: bad dynamic path [%s]", rule.strLine.c_str(), strPath.c_str());
            return -1;
        }
        rule.output = OutputDynamicFile;
        return 0;
    }
    rule.fd = open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, conf.filePerms);
    if (rule.fd < 0) {
        zc_error("open file[%s] fail, errno[%d]", strPath.c_str(), errno);
        return -1;
    }
    rule.output = OutputStaticFile;
    return 0;
}

// The output part of a rule: everything between the selector and ";format".
int SetupOutput(Rule& rule, const Conf& conf, const std::string& strOut)
{
    if (strOut.empty()) {
        zc_error("rule [%s]: no output", rule.strLine.c_str());
        return -1;
    }
    if (strOut[0] == '"' || (strOut[0] == '-' && strOut.size() > 1 && strOut[1] == '"')) {
        rule.bNoFsync = strOut[0] == '-';
        size_t nOpen = strOut.find('"');
        size_t nClose = strOut.find('"', nOpen + 1);
        if (nClose == std::string::npos) {
            zc_error("rule [%s]: no closing quote of the path", rule.strLine.c_str());
            return -1;
        }
        std::string strTail = Trim(strOut.substr(nClose + 1));
        if (!strTail.empty() && strTail[0] != ',') {
            zc_error("rule [%s]: unexpected [%s] after the path", rule.strLine.c_str(), strTail.c_str());
            return -1;
        }
        return SetupFile(rule, conf, strOut.substr(nOpen + 1, nClose - nOpen - 1),
                         strTail.empty() ? "" : strTail.substr(1));
    }
    if (strOut[0] == '>') {
        std::string strKind = strOut.substr(1);
        if (strKind == "stdout") {
            rule.output = OutputStdout;
            return 0;
        }
        if (strKind == "stderr") {
            rule.output = OutputStderr;
            return 0;
        }
        if (strKind.compare(0, 6, "syslog") == 0) {
            std::string strFacility = Trim(strKind.substr(6));
            if (strFacility.empty() || strFacility[0] != ',') {
                zc_error("rule [%s]: syslog needs a facility (\">syslog, LOG_LOCAL0\")", rule.strLine.c_str());
                return -1;
            }
            strFacility = Trim(strFacility.substr(1));
            for (const auto& f : FACILITIES) {
                if (strFacility == f.pszName) {
                    rule.nFacility = f.nValue;
                    rule.output = OutputSyslog;
                    return 0;
                }
            }
            zc_error("rule [%s]: unknown syslog facility [%s]", rule.strLine.c_str(), strFacility.c_str());
            return -1;
        }
        for (const OutputKind& kind : EXTRA_KINDS) {
            size_t nPrefix = strlen(kind.pszPrefix);
            if (strKind.compare(0, nPrefix, kind.pszPrefix) == 0) {
                rule.output = kind.output;
                rule.perms = conf.filePerms;
                return kind.setup(rule, strKind.c_str() + nPrefix);
            }
        }
        zc_error("[%s]the string after is not syslog, stdout or stderr", strKind.c_str());
        return -1;
    }
    if (strOut[0] == '|') {
        zc_error("rule [%s]: pipe outputs are not supported", rule.strLine.c_str());
        return -1;
    }
    if (strOut[0] == '$') {
        zc_error("rule [%s]: user-defined outputs are not supported", rule.strLine.c_str());
        return -1;
    }
    zc_error("rule [%s]: unknown output [%s]", rule.strLine.c_str(), strOut.c_str());
    return -1;
}

int ParseSelector(Rule& rule, const Conf& conf, const std::string& strSelector)
{
    size_t nDot = strSelector.find('.');
    if (nDot == std::string::npos || nDot == 0 || nDot + 1 == strSelector.size()) {
        zc_error("rule [%s]: selector [%s] is not category.level", rule.strLine.c_str(), strSelector.c_str());
        return -1;
    }
    rule.strCategory = strSelector.substr(0, nDot);
    for (char c : rule.strCategory) {
        if (!(isalnum((unsigned char)c) || c == '_' || c == '*' || c == '!')) {
            zc_error("rule [%s]: category [%s] holds [%c]", rule.strLine.c_str(), rule.strCategory.c_str(), c);
            return -1;
        }
    }
    std::string strLevel = strSelector.substr(nDot + 1);
    if (strLevel == "*") {
        rule.levelOp = LEVEL_ANY;
        return 0;
    }
    rule.levelOp = LEVEL_ATLEAST;
    if (strLevel[0] == '=' || strLevel[0] == '!') {
        rule.levelOp = strLevel[0] == '=' ? LEVEL_EQUAL : LEVEL_NOT;
        strLevel = strLevel.substr(1);
    }
    rule.nLevel = conf.levels.Find(strLevel);
    if (rule.nLevel < 0) {
        zc_error("rule [%s]: unknown level [%s]", rule.strLine.c_str(), strLevel.c_str());
        return -1;
    }
    return 0;
}

// The index of the ';' that starts the format name, outside quotes; npos when none.
size_t FindFormatSeparator(const std::string& s)
{
    bool bQuoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"') bQuoted = !bQuoted;
        if (s[i] == ';' && !bQuoted) return i;
    }
    return std::string::npos;
}

}  // namespace

int auto_create_dir(const char* pszPath)
{
    if (!pszPath) return -1;
    char* pszCopy = strdup(pszPath);
    if (!pszCopy) return -1;
    for (char* p = strchr(pszCopy, '/'); p; p = strchr(p + 1, '/')) {
        *p = '\0';
        if (*pszCopy) mkdir(pszCopy, 0755);  // existing or forbidden: the file's open will say
        *p = '/';
    }
    free(pszCopy);
    return 0;
}

Rule::~Rule()
{
    if (fd >= 0) close(fd);
}

bool Rule::MatchesLevel(int n) const
{
    switch (levelOp) {
    case LEVEL_ANY: return true;
    case LEVEL_ATLEAST: return n >= nLevel;
    case LEVEL_EQUAL: return n == nLevel;
    case LEVEL_NOT: return n != nLevel;
    }
    return false;
}

bool Rule::MatchesCategory(const std::string& strName) const
{
    if (strCategory == "*") return true;
    if (strCategory.size() > 1 && strCategory.back() == '_') {
        // "aa_" selects "aa" and every "aa_..." category.
        return strName.compare(0, strCategory.size(), strCategory) == 0 ||
               strName == strCategory.substr(0, strCategory.size() - 1);
    }
    return strName == strCategory;
}

void Rule::GenMsg(Thread& thread, const Levels& levels) const
{
    if (thread.pLastFormat == pFormat) return;
    thread.msg.Clear();
    pFormat->Gen(thread, levels, thread.msg);
    thread.msg.EndTruncated();
    thread.pLastFormat = pFormat;
}

Rule* zlog_rule_new(const char* pszLine, const Conf& conf)
{
    std::unique_ptr<Rule> rule(new (std::nothrow) Rule);
    if (!rule) {
        zc_error("calloc fail, errno[%d]", errno);
        return nullptr;
    }
    rule->strLine = pszLine;
    std::string strLine = Trim(pszLine);
    size_t nSpace = 0;
    while (nSpace < strLine.size() && !isspace((unsigned char)strLine[nSpace])) ++nSpace;
    if (nSpace == strLine.size()) {
        zc_error("rule [%s]: no output after the selector", pszLine);
        return nullptr;
    }
    if (ParseSelector(*rule, conf, strLine.substr(0, nSpace)) != 0) return nullptr;
    std::string strRest = Trim(strLine.substr(nSpace));
    size_t nSemi = FindFormatSeparator(strRest);
    std::string strFormat = nSemi == std::string::npos ? "" : Trim(strRest.substr(nSemi + 1));
    rule->pFormat = conf.defaultFormat.get();
    if (!strFormat.empty()) {
        rule->pFormat = nullptr;
        for (const auto& f : conf.formats) {
            if (f->strName == strFormat) rule->pFormat = f.get();
        }
        if (!rule->pFormat) {
            zc_error("rule [%s]: no format named [%s]", pszLine, strFormat.c_str());
            return nullptr;
        }
    }
    if (SetupOutput(*rule, conf, Trim(strRest.substr(0, nSemi))) != 0) return nullptr;
    return rule.release();
}

long long ParseByteSize(const std::string& strValue)
{
    static const struct {
        const char* pszUnit;
        long long nFactor;
    } UNITS[] = {{"", 1},          {"k", 1000},        {"kb", 1024},
                 {"m", 1000000},   {"mb", 1LL << 20},  {"g", 1000000000}, {"gb", 1LL << 30}};
    std::string s = Lower(Trim(strValue));
    size_t i = 0;
    long long n = 0;
    while (i < s.size() && isdigit((unsigned char)s[i])) {
        if (n > (1LL << 40)) return -1;
        n = n * 10 + (s[i++] - '0');
    }
    if (i == 0) return -1;
    std::string strUnit = Trim(s.substr(i));
    for (const auto& unit : UNITS) {
        if (strUnit != unit.pszUnit) continue;
        // The product is formed only when it fits: a wrapped size would read as another value.
        return n > LLONG_MAX / unit.nFactor ? -1 : n * unit.nFactor;
    }
    return -1;
}

// ---- configuration file -------------------------------------------------------------
namespace {

enum Section { SEC_NONE, SEC_GLOBAL, SEC_LEVELS, SEC_FORMATS, SEC_RULES };

// A quoted value: the text between the first and the last double quote.
bool Unquote(const std::string& strValue, std::string& strOut)
{
    size_t b = strValue.find('"');
    size_t e = strValue.rfind('"');
    if (b == std::string::npos || e == b || !Trim(strValue.substr(e + 1)).empty() || b != 0) return false;
    strOut = strValue.substr(b + 1, e - b - 1);
    return true;
}

int ParseGlobal(Conf& conf, const std::string& strLine)
{
    size_t nEq = strLine.find('=');
    if (nEq == std::string::npos) {
        zc_error("global line [%s] has no '='", strLine.c_str());
        return -1;
    }
    std::string strKey = Trim(strLine.substr(0, nEq));
    std::string strValue = Trim(strLine.substr(nEq + 1));
    if (strKey == "strict init") {
        std::string v = Lower(strValue);
        if (v != "true" && v != "false") {
            zc_error("strict init [%s] is neither true nor false", strValue.c_str());
            return -1;
        }
        conf.bStrictInit = v == "true";
        return 0;
    }
    if (strKey == "default format") {
        if (!Unquote(strValue, conf.strDefaultFormat)) {
            zc_error("default format [%s] is not quoted", strValue.c_str());
            return -1;
        }
        return 0;
    }
    if (strKey == "rotate lock file") {
        if (strValue.empty() || strValue.size() > MAXLEN_PATH) {
            zc_error("rotate lock file [%.64s] is empty or too long", strValue.c_str());
            return -1;
        }
        conf.strLockFile = strValue;
        return 0;
    }
    if (strKey == "file perms") {
        char* pszEnd = nullptr;
        long n = strtol(strValue.c_str(), &pszEnd, 8);
        if (strValue.empty() || *pszEnd || n < 0 || n > 0777) {
            zc_error("file perms [%s] is not an octal mode", strValue.c_str());
            return -1;
        }
        conf.filePerms = (mode_t)n;
        return 0;
    }
    long long n = ParseByteSize(strValue);
    if (strKey == "buffer min" || strKey == "buffer max" || strKey == "reload conf period" ||
        strKey == "fsync period") {
        if (n < 0 || n > (1LL << 31)) {
            zc_error("%s [%s] is not a size (units k kb m mb g gb)", strKey.c_str(), strValue.c_str());
            return -1;
        }
        if (strKey == "buffer min") conf.nBufMin = (size_t)n;
        else if (strKey == "buffer max") conf.nBufMax = (size_t)n;
        else if (strKey == "reload conf period") conf.nReloadPeriod = (long)n;
        else conf.nFsyncPeriod = (long)n;
        return 0;
    }
    zc_error("unknown key [%s] in [global]", strKey.c_str());
    return -1;
}

int ParseFormatLine(Conf& conf, const std::string& strLine)
{
    size_t nEq = strLine.find('=');
    if (nEq == std::string::npos) {
        zc_error("format line [%s] has no '='", strLine.c_str());
        return -1;
    }
    std::unique_ptr<Format> format(new (std::nothrow) Format);
    if (!format) return -1;
    format->strName = Trim(strLine.substr(0, nEq));
    std::string strPattern;
    if (format->strName.empty() || !Unquote(Trim(strLine.substr(nEq + 1)), strPattern)) {
        zc_error("format line [%s] is not name = \"pattern\"", strLine.c_str());
        return -1;
    }
    for (char c : format->strName) {
        if (!(isalnum((unsigned char)c) || c == '_')) {
            zc_error("format name [%s] holds [%c]", format->strName.c_str(), c);
            return -1;
        }
    }
    if (format->Compile(strPattern) != 0) return -1;
    for (const auto& f : conf.formats) {
        if (f->strName == format->strName) {
            zc_error("format [%s] defined twice", format->strName.c_str());
            return -1;
        }
    }
    conf.formats.push_back(std::move(format));
    return 0;
}

bool BuildDefaultFormat(Conf& conf)
{
    conf.defaultFormat.reset(new (std::nothrow) Format);
    if (!conf.defaultFormat) return false;
    conf.defaultFormat->strName = "default";
    return conf.defaultFormat->Compile(conf.strDefaultFormat) == 0;
}

int ParseLine(Conf& conf, Section& section, const std::string& strLine)
{
    if (strLine[0] == '[') {
        static const char* const NAMES[] = {"", "[global]", "[levels]", "[formats]", "[rules]"};
        for (int i = SEC_GLOBAL; i <= SEC_RULES; ++i) {
            if (Lower(strLine) == NAMES[i]) {
                if (i <= section) {
                    zc_error("section %s out of order (global, levels, formats, rules)", strLine.c_str());
                    return -1;
                }
                // Formats and rules need the default format of [global].
                if (section < SEC_FORMATS && i >= SEC_FORMATS && !BuildDefaultFormat(conf)) return -1;
                section = (Section)i;
                return 0;
            }
        }
        zc_error("unknown section %s", strLine.c_str());
        return -1;
    }
    int nRet = -1;
    switch (section) {
    case SEC_NONE: zc_error("line [%s] before any section", strLine.c_str()); return -1;
    case SEC_GLOBAL: return ParseGlobal(conf, strLine);
    case SEC_LEVELS: return conf.levels.AddFromLine(strLine.c_str());
    case SEC_FORMATS: nRet = ParseFormatLine(conf, strLine); break;
    case SEC_RULES: {
        Rule* pRule = zlog_rule_new(strLine.c_str(), conf);
        if (pRule) conf.rules.emplace_back(pRule);
        nRet = pRule ? 0 : -1;
        break;
    }
    }
    if (nRet != 0 && !conf.bStrictInit) {
        zc_warn("line [%s] skipped (strict init is false)", strLine.c_str());
        return 0;
    }
    return nRet;
}

// One line as stored, zero bytes included, up to a little past the longest line allowed (the
// rest of a longer line is skipped). False at the end of the file.
bool ReadPhysicalLine(FILE* fp, std::string& strLine)
{
    strLine.clear();
    int c = 0;
    while ((c = getc(fp)) != EOF) {
        if (strLine.size() <= MAXLEN_CFG_LINE + 1) strLine += (char)c;
        if (c == '\n') return true;
    }
    return !strLine.empty();
}

int ParseFile(Conf& conf, FILE* fp)
{
    Section section = SEC_NONE;
    std::string strLine;
    std::string strPhysical;
    int nLine = 0;
    while (ReadPhysicalLine(fp, strPhysical)) {
        ++nLine;
        size_t n = strPhysical.size();
        while (n && (strPhysical[n - 1] == '\n' || strPhysical[n - 1] == '\r')) --n;
        if (n > MAXLEN_CFG_LINE) {
            zc_error("line %d longer than %zu characters", nLine, MAXLEN_CFG_LINE);
            return -1;
        }
        // A zero byte would end the text early and hide what follows it on the line.
        if (memchr(strPhysical.data(), '\0', n)) {
            zc_error("line %d holds a zero byte", nLine);
            return -1;
        }
        std::string strPart = Trim(strPhysical.substr(0, n));
        if (strLine.empty() && (strPart.empty() || strPart[0] == '#')) continue;
        // A trailing backslash continues the line.
        if (!strPart.empty() && strPart.back() == '\\') {
            strLine += strPart.substr(0, strPart.size() - 1);
            continue;
        }
        strLine += strPart;
        if (strLine.size() > MAXLEN_CFG_LINE) {
            zc_error("line %d longer than %zu characters", nLine, MAXLEN_CFG_LINE);
            return -1;
        }
        if (ParseLine(conf, section, strLine) != 0) {
            zc_error("parse configuration line %d fail", nLine);
            return -1;
        }
        strLine.clear();
    }
    if (section < SEC_FORMATS && !BuildDefaultFormat(conf)) return -1;
    return 0;
}

}  // namespace

Conf* zlog_conf_new_with_rule(const char* pszRule)
{
    std::unique_ptr<Conf> conf(new (std::nothrow) Conf);
    if (!conf) {
        zc_error("calloc fail, errno[%d]", errno);
        return nullptr;
    }
    if (!BuildDefaultFormat(*conf)) {
        zc_error("zlog_format_new fail");
        zc_error("zlog_conf_build_with_rule fail");
        return nullptr;
    }
    Rule* pRule = zlog_rule_new(pszRule && *pszRule ? pszRule : BUILTIN_RULE, *conf);
    if (!pRule) {
        zc_error("zlog_rule_new fail");
        zc_error("zlog_conf_build_with_rule fail");
        return nullptr;
    }
    conf->rules.emplace_back(pRule);
    return conf.release();
}

Conf* zlog_conf_new(const char* pszPath)
{
    if (!pszPath || !*pszPath) pszPath = getenv("VOMU_LOG_CONF_PATH");
    if (!pszPath || !*pszPath) return zlog_conf_new_with_rule(nullptr);
    if (strlen(pszPath) > MAXLEN_PATH) {
        zc_error("not enough space for path name, nwrite=[%zu], errno[%d]", strlen(pszPath), ENAMETOOLONG);
        return nullptr;
    }
    FILE* fp = fopen(pszPath, "r");
    if (!fp) {
        zc_error("open configure file[%s] fail, errno[%d]", pszPath, errno);
        return nullptr;
    }
    std::unique_ptr<Conf> conf(new (std::nothrow) Conf);
    if (!conf) {
        fclose(fp);
        return nullptr;
    }
    conf->strFile = pszPath;
    int nRet = ParseFile(*conf, fp);
    bool bReadError = ferror(fp) != 0;
    fclose(fp);
    if (nRet != 0 || bReadError) {
        zc_error("parse configure file[%s] fail%s", pszPath, bReadError ? " (read error)" : "");
        return nullptr;
    }
    return conf.release();
}

}  // namespace zl
