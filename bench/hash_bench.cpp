// File digests by hash number (CalculateFileHash: SHA-256 and our SM3, streamed in 16 KiB
// pieces) against `openssl dgst` on the same 256 MiB file in the same run. Each figure is the
// best of several interleaved rounds, so a noisy neighbour hurts both sides alike; the file is
// read once first so both sides read it from the page cache.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "BenchClock.h"
#include "BenchFiles.h"
#include "RSADataSigning.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "vomu_result.h"

namespace {

constexpr size_t kFileSize = 256u << 20;
constexpr int kRounds = 5;

using bench::Seconds;

bool OursHash(const std::string& path, int nNid)
{
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return false;
    unsigned char* pbyHash = nullptr;
    int nSize = 0;
    const bool bOk = VOMU_OK == CalculateFileHash(fp, nNid, &pbyHash, &nSize);
    delete[] pbyHash;
    fclose(fp);
    return bOk;
}

bool CliHash(const std::string& path, const char* pszName)
{
    const std::string command = std::string("openssl dgst -") + pszName + " " + path + " > /dev/null";
    return 0 == system(command.c_str());
}

// Returns false when the ratio is below the floor.
bool Compare(const std::string& path, int nNid, const char* pszName, double floor)
{
    double ours = 1e9, theirs = 1e9;
    bool bOk = true;
    for (int i = 0; i < kRounds; ++i) {
        ours = std::min(ours, Seconds([&] { return OursHash(path, nNid); }, &bOk));
        theirs = std::min(theirs, Seconds([&] { return CliHash(path, pszName); }, &bOk));
    }
    const double oursMBs = kFileSize / ours / 1e6, theirsMBs = kFileSize / theirs / 1e6;
    const double ratio = oursMBs / theirsMBs;
    printf("file %-7s 256 MiB  ours %8.1f MB/s  openssl dgst %8.1f MB/s  ratio %.3f  (floor %.2f) %s\n",
           pszName, oursMBs, theirsMBs, ratio, floor, !bOk ? "FAILED" : ratio >= floor ? "ok" : "BELOW FLOOR");
    return bOk && ratio >= floor;
}

}  // namespace

int main()
{
    if (VOMU_OK != SMKernelInitialize()) {
        fprintf(stderr, "kernel start failed\n");
        return 1;
    }
    char szDir[] = "/tmp/morv_hash_bench_XXXXXX";
    if (!mkdtemp(szDir)) return 1;
    const std::string path = std::string(szDir) + "/file.bin";
    bool bOk = bench::MakeFile(path, kFileSize >> 20) && OursHash(path, NID_sha256);
    if (bOk) {
        bOk = Compare(path, NID_sha256, "sha256", 0.9);
        bOk = Compare(path, NID_ChinaSM3, "sm3", 1.2) && bOk;
    }
    unlink(path.c_str());
    rmdir(szDir);
    SMKernelUninitialize();
    return bOk ? 0 : 2;
}
