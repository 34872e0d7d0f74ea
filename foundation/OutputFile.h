#ifndef MORV_OUTPUT_FILE_H
#define MORV_OUTPUT_FILE_H

#include <limits.h>
#include <sys/types.h>

#include <cstdio>

namespace morv {

// An output path, opened so that a writer never leaves a half-written or exposed file behind.
// This system's rule for outputs named by path:
// - A regular file, or a name that does not exist yet, is replaced: the new content goes to a
//   temporary file created 0600 in the directory of the file it replaces (for a symlink, the
//   directory of its final target, so the link stays a link). Where the file system allows,
//   the temporary has no name while it is written (O_TMPFILE), so a killed process leaves
//   nothing; elsewhere it has a short name of its own. At commit it takes the replaced file's
//   mode (and owner and group where the process may set them), or for a new file the mode
//   fopen "wb" would give, gets a short name and is renamed over the target. Other hard links
//   of a replaced file keep the old content.
// - A character or block device is written directly, as fopen "wb" would.
// - A FIFO is opened without waiting for a reader (none: the open fails) and written directly.
// - A socket or a directory is refused.
// An output that is never committed leaves an existing file untouched and no new name behind.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // VOMU_OK or VOMU_E_OPEN_FILE (errno tells why).
    int Create(const char* pszOutFilePath);
    FILE* File() const { return m_fp; }
    // Flushes and closes with every result checked; a replacing output is then given its mode
    // and renamed into place. VOMU_OK or VOMU_E_WRITE_FILE.
    int Commit();

private:
    bool OpenTarget(const char* pszOutFilePath);
    bool OpenDirect(mode_t nKind);
    bool OpenUnnamed();
    bool OpenNamed();
    bool GiveMode();
    bool LinkUnnamed();
    bool CommitReplacing();
    bool Adopt(int fd);

    char m_szName[NAME_MAX + 1] = {};  // the target's name in its directory
    int m_nDirFd = -1;
    FILE* m_fp = nullptr;
    bool m_bReplacing = false;
    char m_szTempName[40] = {};  // the temporary's short name, once it has one
};

}  // namespace morv

#endif
