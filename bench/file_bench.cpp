// Symmetric file encryption and decryption against `openssl enc` on the same file in the same
// run: SM4-CBC and 3DES-CBC over a 256 MiB file (or the MiB given as the first argument; a
// cipher's name as the second runs that cipher alone),
// MB/s of both sides, their ratio, the peak RSS of this process, and whether the outputs are
// byte for byte the same. Rounds alternate ours and theirs; each side keeps its best.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchFiles.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"

namespace {

struct Cipher {
    const char* pszName;
    int nNID;
    const char* pszEncName;
    int nKeySize;
    int nIVSize;
    int nRounds;
    double dTarget;     // ours / openssl enc
    double dFloorMBs;   // file decryption, 0: none
    double dFloorShare; // of the kernel's in-memory decryption
};

const unsigned char kKey[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
const unsigned char kIV[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                               0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

using bench::Seconds;

std::string Hex(const unsigned char* p, int n)
{
    std::string s;
    char sz[3];
    for (int i = 0; i < n; ++i) {
        snprintf(sz, sizeof sz, "%02x", p[i]);
        s += sz;
    }
    return s;
}

bool Ours(const Cipher& c, bool bEncrypt, const std::string& in, const std::string& out)
{
    FILE* fpIn = fopen(in.c_str(), "rb");
    FILE* fpOut = fopen(out.c_str(), "wb");
    int nResult = -1;
    if (fpIn && fpOut)
        nResult = bEncrypt ? SymFileEncrypt(c.nNID, kIV, kKey, c.nKeySize, fpIn, fpOut)
                           : SymFileDecrypt(c.nNID, kIV, kKey, c.nKeySize, fpIn, fpOut);
    if (fpIn) fclose(fpIn);
    if (fpOut && 0 != fclose(fpOut)) nResult = -1;
    return VOMU_OK == nResult;
}

bool Theirs(const Cipher& c, bool bEncrypt, const std::string& in, const std::string& out)
{
    const std::string cmd = std::string("openssl enc -") + c.pszEncName + (bEncrypt ? " -e" : " -d") +
                            " -K " + Hex(kKey, c.nKeySize) + " -iv " + Hex(kIV, c.nIVSize) +
                            " -provider legacy -provider default -in '" + in + "' -out '" + out + "'";
    return 0 == system(cmd.c_str());
}

bool SameFiles(const std::string& a, const std::string& b)
{
    return 0 == system(("cmp -s '" + a + "' '" + b + "'").c_str());
}

// Best seconds of ours and theirs over the rounds, one direction.
double Measure(const Cipher& c, bool bEncrypt, const std::string& in, const std::string& oursOut,
               const std::string& theirsOut, double dMB, bool* pbOk)
{
    double dOurs = 1e30, dTheirs = 1e30;
    for (int r = 0; r < c.nRounds; ++r) {
        dOurs = std::min(dOurs, Seconds([&] { return Ours(c, bEncrypt, in, oursOut); }, pbOk));
        dTheirs = std::min(dTheirs, Seconds([&] { return Theirs(c, bEncrypt, in, theirsOut); }, pbOk));
    }
    const bool bSame = SameFiles(oursOut, theirsOut);
    *pbOk = *pbOk && bSame;
    const double dRatio = dTheirs / dOurs;
    printf("%-9s %-7s ours %8.1f MB/s  openssl enc %8.1f MB/s  ratio %.2fx (target >= %.1fx: %s)  same bytes: %s\n",
           c.pszName, bEncrypt ? "encrypt" : "decrypt", dMB / dOurs, dMB / dTheirs, dRatio, c.dTarget,
           dRatio >= c.dTarget ? "met" : "NOT met", bSame ? "yes" : "NO");
    return dMB / dOurs;
}

// The kernel's own speed on 1 MiB pieces in memory, no file, in both directions: what the file
// road could reach, so that its own cost shows. Returns the decryption's MB/s (0 on failure).
double MeasureInMemory(const Cipher& c, size_t nMiB, double dMB)
{
    double dDecrypt = 0;
    EVP_CIPHER* pCipher = nullptr;
    if (VOMU_OK != GetEVPCipherbyNID(c.nNID, &pCipher)) {
        printf("%-9s in memory: cipher set-up failed\n", c.pszName);
        return 0;
    }
    for (int nEncrypt = 1; nEncrypt >= 0; --nEncrypt) {
        EVP_CIPHER_CTX* pCtx = EVP_CIPHER_CTX_new();
        std::vector<unsigned char> in(1 << 20, 0x5A), out((1 << 20) + 32);
        bool bOk = pCtx && 1 == EVP_CipherInit_ex(pCtx, pCipher, NULL, kKey, kIV, nEncrypt);
        double d = 1e30;
        for (int r = 0; r < c.nRounds && bOk; ++r) {
            d = std::min(d, Seconds([&] {
                int n = 0;
                for (size_t i = 0; i < nMiB; ++i)
                    if (1 != EVP_CipherUpdate(pCtx, out.data(), &n, in.data(), (int)in.size())) return false;
                return true;
            }, &bOk));
        }
        if (bOk && !nEncrypt) dDecrypt = dMB / d;
        printf("%-9s %s in memory (1 MiB pieces, no file) %8.1f MB/s\n", c.pszName,
               nEncrypt ? "encrypt" : "decrypt", bOk ? dMB / d : 0.0);
        EVP_CIPHER_CTX_free(pCtx);
    }
    EVP_CIPHER_free(pCipher);
    return dDecrypt;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t nMiB = argc > 1 ? (size_t)atol(argv[1]) : 256;
    if (VOMU_OK != SMKernelInitialize()) return 1;
    char szDir[] = "/tmp/morv_file_bench_XXXXXX";
    if (!mkdtemp(szDir)) return 1;
    const std::string dir = szDir, plain = dir + "/plain", a = dir + "/a", b = dir + "/b",
                      c1 = dir + "/c1", c2 = dir + "/c2";
    bool bOk = bench::MakeFile(plain, nMiB);
    const double dMB = (double)nMiB * 1048576.0 / 1e6;
    printf("file of %zu MiB; MB = 10^6 bytes; best of the rounds shown per cipher\n", nMiB);
    const Cipher ciphers[] = {
        {"SM4-CBC", NID_ChinaSM4_CBC, "sm4-cbc", 16, 16, 3, 1.2, 1400.0, 0.45},
        {"3DES-CBC", NID_des_ede3_cbc, "des-ede3-cbc", 24, 8, 1, 0.9, 0, 0},
    };
    for (const Cipher& c : ciphers) {
        if (argc > 2 && 0 != strcmp(argv[2], c.pszName)) continue;  // one cipher, for a profile
        const double dKernel = MeasureInMemory(c, nMiB, dMB);
        Measure(c, true, plain, a, b, dMB, &bOk);
        const double dOurs = Measure(c, false, b, c1, c2, dMB, &bOk);
        bOk = bOk && SameFiles(plain, c1);
        if (c.dFloorMBs > 0)
            printf("%-9s file decryption %.1f MB/s = %.0f %% of the kernel's in-memory %.1f MB/s "
                   "(floor >= %.0f MB/s and >= %.0f %%: %s)\n",
                   c.pszName, dOurs, 100.0 * dOurs / dKernel, dKernel, c.dFloorMBs, 100.0 * c.dFloorShare,
                   dOurs >= c.dFloorMBs && dOurs >= c.dFloorShare * dKernel ? "met" : "NOT met");
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double dPeakMiB = (double)usage.ru_maxrss / 1024.0;
    printf("peak RSS of this process: %.1f MiB (target < 16 MiB: %s)\n", dPeakMiB,
           dPeakMiB < 16.0 ? "met" : "NOT met");
    system(("rm -rf '" + dir + "'").c_str());
    SMKernelUninitialize();
    printf("%s\n", bOk ? "all outputs correct" : "SOME OUTPUT WAS WRONG");
    return bOk ? 0 : 1;
}
