// Configuration files: sections in order, the [global] keys, [levels] and [formats] lines;
// [rules] lines go to the rule parser.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

std::string Lower(std::string s)
{
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
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
        // Owned before the list grows: a failed growth frees the rule.
        std::unique_ptr<Rule> rule(zlog_rule_new(strLine.c_str(), conf));
        nRet = rule ? 0 : -1;
        if (rule) conf.rules.push_back(std::move(rule));
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

namespace {

Conf* BuildWithRule(const char* pszRule)
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
    std::unique_ptr<Rule> rule(zlog_rule_new(pszRule && *pszRule ? pszRule : BUILTIN_RULE, *conf));
    if (!rule) {
        zc_error("zlog_rule_new fail");
        zc_error("zlog_conf_build_with_rule fail");
        return nullptr;
    }
    conf->rules.push_back(std::move(rule));
    return conf.release();
}

Conf* ReadConfFile(const char* pszPath)
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

}  // namespace

// Strings and containers that cannot grow end the build with null, never an exception.
Conf* zlog_conf_new_with_rule(const char* pszRule)
{
    return NoThrow((Conf*)nullptr, [pszRule]() { return BuildWithRule(pszRule); });
}

Conf* zlog_conf_new(const char* pszPath)
{
    return NoThrow((Conf*)nullptr, [pszPath]() { return ReadConfFile(pszPath); });
}

}  // namespace zl
