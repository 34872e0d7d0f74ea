// Input paths: opened without waiting, and only when they name a regular file.
#include "InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace morv {

namespace {

// A FIFO opened for reading without a writer, or a terminal, would wait; only the kinds that
// cannot wait pass.
bool IsRegularFile(int fd)
{
    struct stat st;
    if (0 != fstat(fd, &st)) return false;
    if (S_ISREG(st.st_mode)) return true;
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
}

bool ClearNonBlocking(int fd)
{
    const int nFlags = fcntl(fd, F_GETFL);
    return nFlags >= 0 && 0 == fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK);
}

FILE* Refuse(int fd)
{
    const int nErrno = errno;
    close(fd);
    errno = nErrno;
    return NULL;
}

}  // namespace

FILE* OpenInputFile(const char* pszPath)
{
    if (!pszPath) {
        errno = EINVAL;
        return NULL;
    }
    const int fd = open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return NULL;
    if (!IsRegularFile(fd) || !ClearNonBlocking(fd)) return Refuse(fd);
    FILE* fp = fdopen(fd, "rb");
    return fp ? fp : Refuse(fd);
}

}  // namespace morv
