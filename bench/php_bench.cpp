// The PHP module measured as a PHP user meets it: this driver times the kernel's own SM4-CBC
// decryption in memory (the speed the module's file decryption is held against), then runs
// bench/php_bench.php in the real php CLI with the module of this build, handing it that
// figure. Everything else (the PHP functions against PHP's openssl extension under three
// logging rules, SM4-CBC file decryption, the memory peak of hashing 1 GiB) is measured there.
// Usage: php_bench [php binary]   (default: the php found when the build was configured)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "SM4.h"

namespace {

// As many bytes as the file the PHP side decrypts, in pieces that stay in the CPU's cache: the
// kernel's own speed, not the memory's (one 64 MiB buffer reaches only about 60 % of it here).
constexpr size_t kDecryptBytes = 64u << 20;
constexpr size_t kPieceBytes = 64u << 10;
constexpr int kRounds = 5;

// MB/s (10^6 bytes) of the kernel's multi-block CBC decryption, the routine the library's
// SM4-CBC cipher runs, over kDecryptBytes in memory; the median of kRounds.
double KernelSm4DecryptMBps()
{
    static const unsigned char kKey[SM4_KEY_SIZE] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                                     0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
    uint32_t k[4], rk[SM4_ROUNDS];
    smk::SM4_LoadWords(kKey, k);
    smk::_SM4_ExtendKey(k, rk);
    smk::_SM4_InvertRoundKey(rk);
    std::vector<unsigned char> in(kPieceBytes), out(kPieceBytes);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = (unsigned char)(i * 131 + (i >> 12));
    std::vector<double> mbps;
    for (int r = 0; r < kRounds; ++r) {
        unsigned char iv[SM4_BLOCK_SIZE] = {0};
        const auto start = std::chrono::steady_clock::now();
        for (size_t nDone = 0; nDone < kDecryptBytes; nDone += kPieceBytes)
            smk::SM4_cbc_encrypt_blocks(in.data(), kPieceBytes, rk, iv, out.data(), 0);
        const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        mbps.push_back((double)kDecryptBytes / dSeconds / 1e6);
    }
    std::sort(mbps.begin(), mbps.end());
    return mbps[kRounds / 2];
}

// Runs php with the module on the script; its exit status (127 when php does not start).
int RunPhp(const std::string& strPhp, double dKernelMBps)
{
    const std::vector<std::string> args = {strPhp,
                                           "-n",
                                           "-d",
                                           std::string("extension=") + MORV_PHP_MODULE,
                                           "-d",
                                           "memory_limit=-1",
                                           MORV_SOURCE_DIR "/bench/php_bench.php",
                                           std::string("--module=") + MORV_PHP_MODULE,
                                           "--pki=" MORV_SOURCE_DIR "/tests/data/pki",
                                           "--kernel-sm4-mbps=" + std::to_string(dKernelMBps)};
    std::vector<char*> argv;
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return 127;
    if (0 == pid) {
        execvp(argv[0], argv.data());
        perror(argv[0]);
        _exit(127);
    }
    int nStatus = 0;
    if (waitpid(pid, &nStatus, 0) != pid || !WIFEXITED(nStatus)) return 127;
    return WEXITSTATUS(nStatus);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string strPhp = argc > 1 ? argv[1] : MORV_PHP_EXECUTABLE;
    const double dKernelMBps = KernelSm4DecryptMBps();
    printf("kernel SM4-CBC decryption in memory, %zu MiB in %zu KiB pieces: %.0f MB/s (median of %d)\n",
           kDecryptBytes >> 20, kPieceBytes >> 10, dKernelMBps, kRounds);
    return RunPhp(strPhp, dKernelMBps);
}
