// The logging configuration reader on arbitrary text: the first octet chooses a whole file
// for zlog_init (even) or one rule line for zlog_conf_new_with_rule (odd). A configuration
// that loads logs a few records and is shut down again.
//
// Reading rules creates directories and empties or creates files, and fuzzing may run as root:
// the run works in a fresh directory of its own, and an input goes on only when every path it
// could name stays inside it (no absolute path, no "..", no environment expansion).
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "zlog.h"
#include "zlog_internal.h"

namespace {

std::string g_strDir;

int RemoveEntry(const char* pszPath, const struct stat*, int, struct FTW* pFtw)
{
    if (pFtw->level > 0) remove(pszPath);
    return 0;
}

// Empties the run's directory (keeping it) so that files made by earlier inputs do not pile up.
void EmptyDir() { nftw(g_strDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

void RemoveDir()
{
    EmptyDir();
    rmdir(g_strDir.c_str());
}

// The run's directory, made once; each input is read with it as the working directory.
bool MakeOwnDir()
{
    char szTemplate[] = "/tmp/fuzz_zlog_conf_XXXXXX";
    if (!mkdtemp(szTemplate)) return false;
    g_strDir = szTemplate;
    atexit(RemoveDir);
    unsetenv("VOMU_LOG_CONF_PATH");
    unsetenv("ZLOG_PROFILE_ERROR");
    unsetenv("ZLOG_PROFILE_DEBUG");
    return true;
}

bool IsPathChar(unsigned char c) { return isalnum(c) || c == '_' || c == '-' || c == '.'; }

// True when a '%' at p starts an environment conversion: %[-][width][.prec]E.
bool IsEnvConversion(const std::string& s, size_t p)
{
    size_t i = p + 1;
    if (i < s.size() && s[i] == '-') ++i;
    while (i < s.size() && (isdigit((unsigned char)s[i]) || s[i] == '.')) ++i;
    return i < s.size() && s[i] == 'E';
}

// Every '/' must follow a path character on its own line, so no path can start at the root
// (a continuation line's leading '/' or one after a quote, ':' or space is refused).
bool StaysInsideTheDir(const std::string& s)
{
    if (s.find("..") != std::string::npos) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '/' && (i == 0 || !IsPathChar((unsigned char)s[i - 1]))) return false;
        if (s[i] == '%' && IsEnvConversion(s, i)) return false;
    }
    return true;
}

// Records only where they stay in the directory: not to the terminal (the fuzzer's and the
// replay's channels) nor to syslog.
bool MayLog(const std::string& s)
{
    return s.find("stdout") == std::string::npos && s.find("stderr") == std::string::npos &&
           s.find("syslog") == std::string::npos;
}

void LogSome()
{
    zlog_category_t* pCat = zlog_get_category("c");
    zlog_category_t* pAny = zlog_get_category("vomu_category");
    zlog(pCat, "f.c", 3, "fn", 2, 7, ZLOG_LEVEL_INFO, "record %d", 1);
    zlog(pAny, "f.c", 3, "fn", 2, 8, ZLOG_LEVEL_ERROR, "record %s", "two");
    hzlog(pCat, "f.c", 3, "fn", 2, 9, ZLOG_LEVEL_DEBUG, "\x01\x02hex", 5);
    zlog_put_mdc("k", "v");
    zlog(pCat, "f.c", 3, "fn", 2, 10, ZLOG_LEVEL_WARN, "with mdc");
    zlog_clean_mdc();
}

void FuzzFile(const std::string& strText)
{
    FILE* fp = fopen("fuzz.conf", "wb");
    if (!fp) abort();
    fwrite(strText.data(), 1, strText.size(), fp);
    if (fclose(fp) != 0) abort();
    if (zlog_init((g_strDir + "/fuzz.conf").c_str()) != 0) return;
    if (MayLog(strText)) LogSome();
    zlog_reload(nullptr);
    zlog_fini();
}

void FuzzRule(const std::string& strRule)
{
    zl::Conf* pConf = zl::zlog_conf_new_with_rule(strRule.c_str());
    delete pConf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool s_bReady = MakeOwnDir();
    static unsigned s_nRuns = 0;
    if (!s_bReady) abort();
    if (size < 1 || size > 16384) return 0;
    std::string strText((const char*)data + 1, size - 1);
    if (!StaysInsideTheDir(strText)) return 0;
    if (++s_nRuns % 256 == 0) EmptyDir();
    int fdCaller = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdCaller < 0 || chdir(g_strDir.c_str()) != 0) abort();
    if (data[0] & 1) FuzzRule(strText);
    else FuzzFile(strText);
    if (fchdir(fdCaller) != 0) abort();
    close(fdCaller);
    return 0;
}
