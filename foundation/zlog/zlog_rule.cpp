// Rule lines: "category.level output; format", the selector, the output and its setup.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "zc_profile.h"
#include "zlog_internal.h"

namespace zl {
namespace {

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
        // The library rotates nothing itself; it only follows a rotation done from outside
        // (logrotate's rename and create, see OutputStaticFile).
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

}  // namespace zl
