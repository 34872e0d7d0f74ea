// Rule outputs: files (a static path kept open, or a path made per record), the standard
// streams and syslog.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "zc_profile.h"
#include "zlog_internal.h"

namespace zl {
namespace {

const long PATH_CHECK_MS = 1000;

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

// Whether the rule's path still names the file its descriptor writes to. A path that is gone
// (moved away, not yet created again) names nothing; a descriptor that cannot be asked is
// left alone.
bool PathNamesOpenFile(const Rule& rule)
{
    struct stat stPath, stOpen;
    if (stat(rule.strPath.c_str(), &stPath) != 0) return false;
    if (fstat(rule.fd, &stOpen) != 0) return true;
    return stPath.st_dev == stOpen.st_dev && stPath.st_ino == stOpen.st_ino;
}

// dup2 puts the new file behind the same descriptor number in one step, so a writer on another
// thread reaches the old file or the new one, never a closed or reused number. On failure the
// old file keeps receiving the records.
void ReopenPath(Rule& rule)
{
    auto_create_dir(rule.strPath.c_str());
    int fd = open(rule.strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, rule.perms);
    if (fd < 0) {
        zc_error("reopen file[%s] fail, errno[%d], still writing to the old file", rule.strPath.c_str(), errno);
        return;
    }
    if (dup2(fd, rule.fd) < 0) {
        zc_error("reopen file[%s]: dup2 fail, errno[%d], still writing to the old file", rule.strPath.c_str(),
                 errno);
    }
    close(fd);
}

long MonotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// logrotate's default mode renames the file and creates a new one at the path. A record asks
// the clock (no system call); about once a second one record, whichever wins the exchange,
// checks the path and reopens it when it names another file or none.
void FollowRotation(Rule& rule)
{
    const long nNow = MonotonicMs();
    long nDue = rule.nNextPathCheck.load(std::memory_order_relaxed);
    if (nNow < nDue) return;
    if (!rule.nNextPathCheck.compare_exchange_strong(nDue, nNow + PATH_CHECK_MS)) return;
    if (!PathNamesOpenFile(rule)) ReopenPath(rule);
}

int OutputFd(int fd, Rule& rule, Thread& thread, const Levels& levels)
{
    rule.GenMsg(thread, levels);
    return WriteAll(fd, thread.msg.Data(), thread.msg.Len()) ? 0 : -1;
}
}  // namespace

int OutputStaticFile(Rule& rule, Thread& thread, const Levels& levels)
{
    rule.GenMsg(thread, levels);
    FollowRotation(rule);
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

int OutputStdout(Rule& rule, Thread& thread, const Levels& levels)
{
    return OutputFd(STDOUT_FILENO, rule, thread, levels);
}

int OutputStderr(Rule& rule, Thread& thread, const Levels& levels)
{
    return OutputFd(STDERR_FILENO, rule, thread, levels);
}

int OutputSyslog(Rule& rule, Thread& thread, const Levels& levels)
{
    rule.GenMsg(thread, levels);
    thread.msg.TerminateForC();
    syslog(rule.nFacility | levels.table[thread.event.nLevel & 255].nSyslog, "%s", thread.msg.Data());
    return 0;
}

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

}  // namespace zl
