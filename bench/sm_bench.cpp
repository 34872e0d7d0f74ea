// Throughput of our SM kernel against OpenSSL 3's own implementations (default provider),
// measured in the same run on the same buffers. Each figure is the best of several
// interleaved rounds, so a noisy neighbour hurts both sides alike.
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <algorithm>
#include <functional>
#include <vector>

#include <openssl/evp.h>

#include "OsslPtr.h"
#include "SM3.h"
#include "SM4.h"

namespace {

constexpr size_t kBufSize = 16 * 1024;
constexpr int kSamples = 4000;

// A sample is one call over kBufSize bytes; ours and theirs alternate sample by sample and
// each side keeps its fastest, so interruptions and a noisy neighbour drop out of both.
double Seconds(const std::function<void()>& fn)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    fn();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Pair {
    double ours = 0, theirs = 0; // MB/s (10^6 bytes)
};

Pair Compare(const std::function<void()>& ours, const std::function<void()>& theirs)
{
    double bestOurs = 1e9, bestTheirs = 1e9;
    for (int i = 0; i < kSamples; ++i) {
        bestOurs = std::min(bestOurs, Seconds(ours));
        bestTheirs = std::min(bestTheirs, Seconds(theirs));
    }
    return Pair{kBufSize / bestOurs / 1e6, kBufSize / bestTheirs / 1e6};
}

// floor 0: shown for information.
void Report(const char* name, const Pair& p, double floor)
{
    const double ratio = p.ours / p.theirs;
    printf("%-22s ours %8.1f MB/s  openssl %8.1f MB/s  ratio %.3f", name, p.ours, p.theirs, ratio);
    if (floor > 0)
        printf("  (floor %.2f) %s", floor, ratio >= floor ? "ok" : "BELOW FLOOR");
    printf("\n");
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
    const int fast = smk::SM3_SelectFastPath(1);
    Report(fast ? "SM3 (AVX-512 path)" : "SM3", Compare(ours, theirs), 1.15);
    if (fast) {
        smk::SM3_SelectFastPath(0);
        Report("  SM3 portable path", Compare(ours, theirs), 0);
        smk::SM3_SelectFastPath(1);
    }
}

// Ours: the multi-block CBC that the library cipher uses; one SM4_cbc_encrypt per block
// is shown beside it.
void BenchSm4Cbc(std::vector<unsigned char>& buf, int enc)
{
    static const unsigned char kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned char iv[16] = {0};
    morv::OsslPtr<EVP_CIPHER> cipher(EVP_CIPHER_fetch(NULL, "SM4-CBC", "provider=default"));
    morv::OsslPtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx || 1 != EVP_CipherInit_ex(ctx.get(), cipher.get(), NULL, kKey, iv, enc) ||
        1 != EVP_CIPHER_CTX_set_padding(ctx.get(), 0)) {
        printf("SM4-CBC: OpenSSL's SM4-CBC is not available\n");
        return;
    }
    uint32_t k[4], rk[SM4_ROUNDS];
    smk::SM4_LoadWords(kKey, k);
    smk::_SM4_ExtendKey(k, rk);
    if (!enc)
        smk::_SM4_InvertRoundKey(rk);
    std::vector<unsigned char> out(buf.size());
    auto ours = [&] {
        for (size_t i = 0; i < buf.size(); i += SM4_BLOCK_SIZE)
            SM4_cbc_encrypt(buf.data() + i, rk, iv, out.data() + i, enc);
        g_sink ^= out[0];
    };
    auto oursBlocks = [&] {
        smk::SM4_cbc_encrypt_blocks(buf.data(), buf.size(), rk, iv, out.data(), enc);
        g_sink ^= out[0];
    };
    auto theirs = [&] {
        int n = 0;
        EVP_CipherUpdate(ctx.get(), out.data(), &n, buf.data(), (int)buf.size());
        g_sink ^= out[0];
    };
    Report(enc ? "SM4-CBC encrypt" : "SM4-CBC decrypt", Compare(oursBlocks, theirs), 1.0);
    Report(enc ? "  one call per block" : "  one call per block", Compare(ours, theirs), 0);
}

}  // namespace

int main()
{
    std::vector<unsigned char> buf(kBufSize);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = (unsigned char)(i * 131 + 7);
    printf("buffers of %zu bytes, fastest of %d interleaved calls each\n", kBufSize, kSamples);
    BenchSm3(buf);
    BenchSm4Cbc(buf, 1);
    BenchSm4Cbc(buf, 0);
    return 0;
}
