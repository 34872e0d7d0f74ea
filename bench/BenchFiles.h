#ifndef MORV_BENCH_FILES_H
#define MORV_BENCH_FILES_H

// The benchmarks' input files.
#include <openssl/rand.h>

#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// A file of nMiB MiB of random bytes, written in 1 MiB pieces so it never sits in memory whole.
inline bool MakeFile(const std::string& path, size_t nMiB)
{
    std::vector<unsigned char> piece(1 << 20);
    if (1 != RAND_bytes(piece.data(), (int)piece.size())) return false;
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) return false;
    bool bOk = true;
    for (size_t i = 0; i < nMiB && bOk; ++i) {
        piece[i % piece.size()] ^= (unsigned char)i;
        bOk = fwrite(piece.data(), 1, piece.size(), fp) == piece.size();
    }
    return 0 == fclose(fp) && bOk;
}

}  // namespace bench

#endif
