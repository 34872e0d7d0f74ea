#ifndef MORV_MISC_H
#define MORV_MISC_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <vector>

// The true 64-bit size of an open, seekable file; the position is left at its start.
// VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL (also for a stream that cannot tell its
// position, e.g. a pipe).
int GetFileSize_Ex(FILE* fpFile, uint64_t* pnFileSize);

// Two upper-case hex digits per byte (bytes in reverse order when bReverse) into a new
// NUL-terminated array of 2 * nLen + 1 characters (delete[]). VOMU_OK or VOMU_E_FAIL.
int ConvertBinaryDataToString(const unsigned char* pbyData, int nLen, char** ppszHexString,
                              bool bReverse);

// Appends the non-empty pieces of pszStr between occurrences of pszSplit (strdup strings,
// released by CleanupStringVector). VOMU_OK or VOMU_E_FAIL (null or empty text, null or
// empty separator, no memory); pieces appended before a failure stay in vetStr.
int SplitString(const char* pszStr, const char* pszSplit, std::vector<char*>& vetStr);

// Frees every non-null item and empties the vector.
void CleanupStringVector(std::vector<char*>& vetStr);

namespace morv {

// Puts a stream back where its owner had it, on every return of a reader that moves it.
// Ok() is false when the position could not be told (a pipe, say); nothing is restored then.
class FilePositionGuard {
public:
    explicit FilePositionGuard(FILE* fpFile) : m_fpFile(fpFile), m_nPosition(ftello(fpFile)) {}
    ~FilePositionGuard()
    {
        if (m_nPosition >= 0) fseeko(m_fpFile, m_nPosition, SEEK_SET);
    }
    bool Ok() const { return m_nPosition >= 0; }
    FilePositionGuard(const FilePositionGuard&) = delete;
    FilePositionGuard& operator=(const FilePositionGuard&) = delete;

private:
    FILE* m_fpFile;
    off_t m_nPosition;
};

}  // namespace morv

#endif
