// SM2 file envelopes: peak memory of making and opening one over a 256 MiB file (or the MiB
// given as the first argument) against the same over a 1 MiB file, each in a child process of
// its own, so that only the envelope roads count; MB/s of both roads next to `openssl enc
// -sm4-cbc` over the same file in the same run (the content cipher alone, as a yardstick).
// Target: the two peaks within 2 MiB of each other.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <chrono>
#include <string>
#include <vector>

#include "../tests/support/TestFiles.h"
#include "BenchFiles.h"
#include "SMKernel.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"

namespace {

// The fixtures of the tests, found from this file's place in the source tree.
std::string Pki(const std::string& name)
{
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../tests/data/pki/" + name;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// In the child: both roads over the file; exit status 0 when the round trip gives the file back.
int RoundTrip(const std::string& plain, const std::string& envelope, const std::string& opened, double* pdSeconds)
{
    if (VOMU_OK != SMKernelInitialize()) return 2;
    const std::vector<unsigned char> cert = support::ReadFileBytes(Pki("sm2/ee_enc.der"));
    FILE* fpIn = fopen(plain.c_str(), "rb");
    FILE* fpOut = fopen(envelope.c_str(), "wb");
    const double d0 = Now();
    int nResult = fpIn && fpOut ? EncryptFileToDerCMSEnvelope(fpIn, cert.data(), (int)cert.size(),
                                                              SM2_ENC_ENCODED_RAW, fpOut)
                                : -1;
    if (fpIn) fclose(fpIn);
    if (fpOut && 0 != fclose(fpOut)) nResult = -1;
    const double d1 = Now();
    FILE* fpEnvelope = fopen(envelope.c_str(), "rb");
    FILE* fpKey = fopen(Pki("sm2pfx/enc.b64").c_str(), "rb");
    FILE* fpPlain = fopen(opened.c_str(), "wb");
    if (VOMU_OK == nResult)
        nResult = fpEnvelope && fpKey && fpPlain
                      ? DecryptDerCMSEnvelopeFile(fpEnvelope, fpKey, "Fixture-SM2-2020", SM2_ENC_ENCODED_RAW, fpPlain)
                      : -1;
    for (FILE* fp : {fpEnvelope, fpKey, fpPlain})
        if (fp) fclose(fp);
    pdSeconds[0] = d1 - d0;
    pdSeconds[1] = Now() - d1;
    return VOMU_OK == nResult ? 0 : 1;
}

struct Run {
    bool bOk = false;
    double dPeakMiB = 0, dEncryptSeconds = 0, dDecryptSeconds = 0;
};

// One child per size: its peak RSS comes back through wait4, its times through a pipe.
Run Measure(const std::string& dir, size_t nMiB)
{
    Run run;
    const std::string plain = dir + "/plain", envelope = dir + "/envelope", opened = dir + "/opened";
    if (!bench::MakeFile(plain, nMiB)) return run;
    int fds[2];
    if (0 != pipe(fds)) return run;
    const pid_t pid = fork();
    if (0 == pid) {
        close(fds[0]);
        double ad[2] = {0, 0};
        const int nStatus = RoundTrip(plain, envelope, opened, ad);
        if (write(fds[1], ad, sizeof ad) != (ssize_t)sizeof ad) _exit(3);
        _exit(nStatus);
    }
    close(fds[1]);
    double ad[2] = {0, 0};
    const bool bRead = read(fds[0], ad, sizeof ad) == (ssize_t)sizeof ad;
    close(fds[0]);
    int nStatus = -1;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &nStatus, 0, &usage) != pid) return run;
    run.bOk = bRead && WIFEXITED(nStatus) && 0 == WEXITSTATUS(nStatus) &&
              0 == system(("cmp -s '" + plain + "' '" + opened + "'").c_str());
    run.dPeakMiB = (double)usage.ru_maxrss / 1024.0;
    run.dEncryptSeconds = ad[0];
    run.dDecryptSeconds = ad[1];
    return run;
}

double OpensslEncSeconds(const std::string& dir)
{
    const double d0 = Now();
    const int n = system(("openssl enc -sm4-cbc -K 00112233445566778899aabbccddeeff -iv "
                          "0102030405060708090a0b0c0d0e0f10 -in '" + dir + "/plain' -out '" + dir + "/enc'")
                             .c_str());
    return 0 == n ? Now() - d0 : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t nLargeMiB = argc > 1 ? (size_t)atol(argv[1]) : 256;
    char szDir[] = "/tmp/morv_sm2_envelope_bench_XXXXXX";
    if (!mkdtemp(szDir)) return 1;
    const std::string dir = szDir;
    const Run small = Measure(dir, 1);
    const Run large = Measure(dir, nLargeMiB);
    const double dOpenssl = OpensslEncSeconds(dir);
    system(("rm -rf '" + dir + "'").c_str());
    const double dMB = (double)nLargeMiB * 1048576.0 / 1e6;
    printf("SM2 file envelope, make and open; MB = 10^6 bytes\n");
    printf("peak RSS over 1 MiB: %.1f MiB; over %zu MiB: %.1f MiB; difference %.2f MiB (target <= 2 MiB: %s)\n",
           small.dPeakMiB, nLargeMiB, large.dPeakMiB, large.dPeakMiB - small.dPeakMiB,
           large.dPeakMiB - small.dPeakMiB <= 2.0 ? "met" : "NOT met");
    if (large.dEncryptSeconds > 0 && large.dDecryptSeconds > 0 && dOpenssl > 0)
        printf("%zu MiB: make %.1f MB/s, open %.1f MB/s; openssl enc -sm4-cbc %.1f MB/s (make / enc %.2fx)\n",
               nLargeMiB, dMB / large.dEncryptSeconds, dMB / large.dDecryptSeconds, dMB / dOpenssl,
               dOpenssl / large.dEncryptSeconds);
    const bool bOk = small.bOk && large.bOk;
    printf("%s\n", bOk ? "both round trips gave the file back" : "A ROUND TRIP FAILED");
    return bOk ? 0 : 1;
}
