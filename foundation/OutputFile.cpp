// Output paths: replaced through a private temporary file, or written directly when they name
// a device or a FIFO (the rule is stated in OutputFile.h).
#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "vomu_result.h"

namespace morv {

namespace {

// As many links as the kernel follows in one path.
const int MAX_SYMLINK_HOPS = 40;
const mode_t PRIVATE_MODE = 0600;

bool CopyText(char* pszTo, size_t nSize, const char* pszFrom, size_t nLen)
{
    if (nLen >= nSize) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(pszTo, pszFrom, nLen);
    pszTo[nLen] = '\0';
    return true;
}

// The link's target read relative to the directory holding the link.
bool FollowLink(char* pszPath)
{
    char szTarget[PATH_MAX];
    const ssize_t nLen = readlink(pszPath, szTarget, sizeof szTarget - 1);
    if (nLen < 0) return false;
    szTarget[nLen] = '\0';
    const char* pszSlash = strrchr(pszPath, '/');
    if ('/' == szTarget[0] || !pszSlash) return CopyText(pszPath, PATH_MAX, szTarget, (size_t)nLen);
    const size_t nDirLen = (size_t)(pszSlash - pszPath) + 1;
    return CopyText(pszPath + nDirLen, PATH_MAX - nDirLen, szTarget, (size_t)nLen);
}

// The path with every symlink of its last component followed: the file that fopen would
// write, which need not exist yet.
bool FinalTarget(const char* pszPath, char* pszFinal)
{
    if (!CopyText(pszFinal, PATH_MAX, pszPath, strlen(pszPath))) return false;
    for (int nHop = 0; nHop < MAX_SYMLINK_HOPS; ++nHop) {
        struct stat st;
        if (0 != lstat(pszFinal, &st)) return ENOENT == errno;
        if (!S_ISLNK(st.st_mode)) return true;
        if (!FollowLink(pszFinal)) return false;
    }
    errno = ELOOP;
    return false;
}

// The directory of the final target, opened for the *at calls, and the target's name in it.
int OpenDirectory(const char* pszFinal, char* pszName, size_t nNameSize)
{
    const char* pszSlash = strrchr(pszFinal, '/');
    const char* pszBase = pszSlash ? pszSlash + 1 : pszFinal;
    if ('\0' == *pszBase) {
        errno = EISDIR;  // "dir/" names a directory, as fopen would find
        return -1;
    }
    if (!CopyText(pszName, nNameSize, pszBase, strlen(pszBase))) return -1;
    char szDir[PATH_MAX] = ".";
    if (pszSlash && pszSlash == pszFinal) strcpy(szDir, "/");
    if (pszSlash && pszSlash != pszFinal &&
        !CopyText(szDir, sizeof szDir, pszFinal, (size_t)(pszSlash - pszFinal)))
        return -1;
    return open(szDir, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool ClearNonBlocking(int fd)
{
    const int nFlags = fcntl(fd, F_GETFL);
    return nFlags >= 0 && 0 == fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK);
}

// The mode fopen "wb" gives a new file: 0666 less the umask, read without changing it (umask()
// would change it for every thread for a moment). Unknown umask: the file stays private.
mode_t NewFileMode()
{
    unsigned int nMask = 077;
    FILE* fp = fopen("/proc/self/status", "re");
    if (!fp) return 0666 & ~(mode_t)nMask;
    char szLine[256];
    while (fgets(szLine, sizeof szLine, fp))
        if (1 == sscanf(szLine, "Umask: %o", &nMask)) break;
    fclose(fp);
    return 0666 & ~(mode_t)nMask;
}

// An unnamed file is linked at commit through its /proc/self/fd entry; without /proc it
// could not be, so it is not made.
bool CanLinkUnnamed()
{
    return 0 == access("/proc/self/fd", X_OK);
}

std::atomic<unsigned> g_nTempCounter(0);

// A short name for the temporary, unique to this process and call.
void NextTempName(char* pszName, size_t nSize)
{
    snprintf(pszName, nSize, ".morv-%ld-%u", (long)getpid(), g_nTempCounter++);
}

}  // namespace

OutputFile::~OutputFile()
{
    if (m_fp) fclose(m_fp);
    if (m_szTempName[0]) unlinkat(m_nDirFd, m_szTempName, 0);
    if (m_nDirFd >= 0) close(m_nDirFd);
}

int OutputFile::Create(const char* pszOutFilePath)
{
    return pszOutFilePath && OpenTarget(pszOutFilePath) ? VOMU_OK : VOMU_E_OPEN_FILE;
}

bool OutputFile::OpenTarget(const char* pszOutFilePath)
{
    char szFinal[PATH_MAX];
    if (!FinalTarget(pszOutFilePath, szFinal)) return false;
    m_nDirFd = OpenDirectory(szFinal, m_szName, sizeof m_szName);
    if (m_nDirFd < 0) return false;
    struct stat st;
    if (0 != fstatat(m_nDirFd, m_szName, &st, AT_SYMLINK_NOFOLLOW)) {
        if (ENOENT != errno) return false;
        st.st_mode = S_IFREG;
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode))
        return OpenDirect(st.st_mode & S_IFMT);
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
        return false;
    }
    m_bReplacing = true;
    return (CanLinkUnnamed() && OpenUnnamed()) || OpenNamed();
}

// A FIFO without a reader fails here (ENXIO) instead of waiting for one; once open, writes
// wait for the reader as any pipe's do.
bool OutputFile::OpenDirect(mode_t nKind)
{
    const int nFlags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW |
                       (S_IFIFO == nKind ? O_NONBLOCK : O_TRUNC);
    const int fd = openat(m_nDirFd, m_szName, nFlags);
    if (fd < 0) return false;
    struct stat st;
    const bool bSameKind = 0 == fstat(fd, &st) && (st.st_mode & S_IFMT) == nKind;
    if (!bSameKind || !ClearNonBlocking(fd)) {
        const int nErrno = bSameKind ? errno : EAGAIN;  // replaced between the look and the open
        close(fd);
        errno = nErrno;
        return false;
    }
    return Adopt(fd);
}

bool OutputFile::OpenUnnamed()
{
    const int fd = openat(m_nDirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, PRIVATE_MODE);
    return fd >= 0 && Adopt(fd);
}

bool OutputFile::OpenNamed()
{
    char szName[sizeof m_szTempName];
    for (int nTry = 0; nTry < 100; ++nTry) {
        NextTempName(szName, sizeof szName);
        const int fd = openat(m_nDirFd, szName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, PRIVATE_MODE);
        if (fd >= 0) {
            memcpy(m_szTempName, szName, sizeof szName);
            return Adopt(fd);
        }
        if (EEXIST != errno) return false;
    }
    return false;
}

bool OutputFile::Adopt(int fd)
{
    m_fp = fdopen(fd, "wb");
    if (m_fp) return true;
    const int nErrno = errno;
    close(fd);
    errno = nErrno;
    return false;
}

int OutputFile::Commit()
{
    if (!m_fp) return VOMU_E_WRITE_FILE;
    if (m_bReplacing) return CommitReplacing() ? VOMU_OK : VOMU_E_WRITE_FILE;
    const bool bFlushed = 0 == fflush(m_fp) && !ferror(m_fp);
    const int nClosed = fclose(m_fp);
    m_fp = nullptr;
    return bFlushed && 0 == nClosed ? VOMU_OK : VOMU_E_WRITE_FILE;
}

// The replaced file's mode, owner and group (as far as the process may give them: a group
// the process is not in is left as it is), or a new file's mode. Owner first: a change of
// owner clears the set-ID bits.
bool OutputFile::GiveMode()
{
    const int fd = fileno(m_fp);
    struct stat st;
    if (0 != fstatat(m_nDirFd, m_szName, &st, AT_SYMLINK_NOFOLLOW) || !S_ISREG(st.st_mode))
        return 0 == fchmod(fd, NewFileMode());
    if (0 != fchown(fd, st.st_uid, st.st_gid)) (void)fchown(fd, (uid_t)-1, st.st_gid);
    return 0 == fchmod(fd, st.st_mode & 07777);
}

// The unnamed file gets a short name beside the target: the only moment a name exists that
// the rename does not take over.
bool OutputFile::LinkUnnamed()
{
    char szFdPath[64];
    snprintf(szFdPath, sizeof szFdPath, "/proc/self/fd/%d", fileno(m_fp));
    char szName[sizeof m_szTempName];
    for (int nTry = 0; nTry < 100; ++nTry) {
        NextTempName(szName, sizeof szName);
        if (0 == linkat(AT_FDCWD, szFdPath, m_nDirFd, szName, AT_SYMLINK_FOLLOW)) {
            memcpy(m_szTempName, szName, sizeof szName);
            return true;
        }
        if (EEXIST != errno) return false;
    }
    return false;
}

// Every byte reaches the file before it gets a name; the close is checked before the rename,
// for some file systems report a failed write only there.
bool OutputFile::CommitReplacing()
{
    if (0 != fflush(m_fp) || ferror(m_fp) || !GiveMode()) return false;
    if (!m_szTempName[0] && !LinkUnnamed()) return false;
    const int nClosed = fclose(m_fp);
    m_fp = nullptr;
    if (0 != nClosed || 0 != renameat(m_nDirFd, m_szTempName, m_nDirFd, m_szName)) return false;
    m_szTempName[0] = '\0';
    return true;
}

}  // namespace morv
