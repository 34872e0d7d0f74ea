// Throughput of our SM kernel against OpenSSL 3's own implementations (default provider),
// measured in the same run on the same buffers. Each figure is the best of several
// interleaved rounds, so a noisy neighbour hurts both sides alike.
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <vector>

#include <openssl/evp.h>

#include "OsslPtr.h"
#include "SM3.h"

namespace {

constexpr size_t kBufSize = 16 * 1024;
constexpr int kRounds = 7;
constexpr double kRoundSeconds = 0.25;

// MB/s (10^6 bytes) of fn, which processes kBufSize bytes per call.
double MegabytesPerSecond(const std::function<void()>& fn)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    size_t nCalls = 0;
    double elapsed = 0;
    do {
        for (int i = 0; i < 16; ++i)
            fn();
        nCalls += 16;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < kRoundSeconds);
    return (double)nCalls * kBufSize / elapsed / 1e6;
}

struct Pair {
    double ours = 0, theirs = 0;
};

Pair Compare(const std::function<void()>& ours, const std::function<void()>& theirs)
{
    Pair best;
    for (int r = 0; r < kRounds; ++r) {
        best.ours = std::max(best.ours, MegabytesPerSecond(ours));
        best.theirs = std::max(best.theirs, MegabytesPerSecond(theirs));
    }
    return best;
}

void Report(const char* name, const Pair& p, double floor)
{
    const double ratio = p.ours / p.theirs;
    printf("%-22s ours %8.1f MB/s  openssl %8.1f MB/s  ratio %.3f  (floor %.2f) %s\n", name, p.ours,
           p.theirs, ratio, floor, ratio >= floor ? "ok" : "BELOW FLOOR");
}

unsigned char g_sink;

void BenchSm3(const std::vector<unsigned char>& buf)
{
    morv::OsslPtr<EVP_MD> md(EVP_MD_fetch(NULL, "SM3", "provider=default"));
    morv::OsslPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    if (!md || !ctx) {
        printf("SM3: OpenSSL's SM3 is not available\n");
        return;
    }
    unsigned char out[32];
    auto ours = [&] { SM3(buf.data(), buf.size(), out); g_sink ^= out[0]; };
    auto theirs = [&] {
        unsigned int n = 0;
        EVP_DigestInit_ex(ctx.get(), md.get(), NULL);
        EVP_DigestUpdate(ctx.get(), buf.data(), buf.size());
        EVP_DigestFinal_ex(ctx.get(), out, &n);
        g_sink ^= out[0];
    };
    Report("SM3 (16 KiB)", Compare(ours, theirs), 1.15);
}

}  // namespace

int main()
{
    std::vector<unsigned char> buf(kBufSize);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = (unsigned char)(i * 131 + 7);
    printf("buffers of %zu bytes, best of %d rounds of %.2f s\n", kBufSize, kRounds, kRoundSeconds);
    BenchSm3(buf);
    return 0;
}
