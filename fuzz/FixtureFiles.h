#ifndef MORV_FUZZ_FIXTURE_FILES_H
#define MORV_FUZZ_FIXTURE_FILES_H

// The fixtures the targets over the signing and envelope roads hold fixed, read once.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzzutil {

inline std::string FixturePath(const char* pszRelative)
{
    return std::string(MORV_TEST_DATA_DIR) + "/" + pszRelative;
}

// The whole file; aborts when it cannot be read (a broken set-up, not a finding).
inline std::vector<unsigned char> ReadFixture(const char* pszRelative)
{
    FILE* fp = fopen(FixturePath(pszRelative).c_str(), "rb");
    if (!fp) abort();
    std::vector<unsigned char> out;
    unsigned char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, fp)) > 0) out.insert(out.end(), chunk, chunk + n);
    fclose(fp);
    if (out.empty()) abort();
    return out;
}

// The fixture opened for reading for the whole run (the readers rewind it themselves).
inline FILE* OpenFixture(const char* pszRelative)
{
    FILE* fp = fopen(FixturePath(pszRelative).c_str(), "rb");
    if (!fp) abort();
    return fp;
}

}  // namespace fuzzutil

#endif
