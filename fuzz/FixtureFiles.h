#ifndef MORV_FUZZ_FIXTURE_FILES_H
#define MORV_FUZZ_FIXTURE_FILES_H

// The fixtures the targets over the signing and envelope roads hold fixed, read once, and
// the Base64 text those roads take.
#include <openssl/evp.h>

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

// What the seeds of the verifier targets sign: the first 200 bytes of pki/msg_16384.bin.
inline std::vector<unsigned char> SignedFixtureData()
{
    std::vector<unsigned char> data = ReadFixture("pki/msg_16384.bin");
    data.resize(200);
    return data;
}

// The fixture opened for reading for the whole run (the readers rewind it themselves).
inline FILE* OpenFixture(const char* pszRelative)
{
    FILE* fp = fopen(FixturePath(pszRelative).c_str(), "rb");
    if (!fp) abort();
    return fp;
}

// The octets as one line of Base64 text, by OpenSSL's encoder.
inline std::string Base64Text(const unsigned char* pby, size_t n)
{
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    out.resize((size_t)EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), pby, (int)n));
    return out;
}

}  // namespace fuzzutil

#endif
