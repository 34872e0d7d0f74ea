#ifndef MORV_MISC_H
#define MORV_MISC_H

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

#endif
