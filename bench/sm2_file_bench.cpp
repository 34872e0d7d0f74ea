// SM2 file roads: peak memory of making and opening an envelope of a 256 MiB file (or the MiB
// given as the first argument), and of signing and verifying it (PKCS#1 with Z, which streams
// the file through SM3), against the same over a 1 MiB file, each in a child process of its
// own so that only the road counts; MB/s next to the CLI over the same file in the same run
// (`openssl enc -sm4-cbc` and `openssl dgst -sm3 -sign`). Target: peaks within 2 MiB.
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
#include "Base64Utility.h"
#include "DataSigning.h"
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

// In the child: both envelope roads over the file; exit status 0 when they succeeded.
int EnvelopeRoundTrip(const std::string& plain, const std::string& envelope, const std::string& opened,
                      double* pdSeconds)
{
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

// In the child: an SM2 signature of the file with its key file, then its verification.
int SignatureRoundTrip(const std::string& plain, const std::string&, const std::string&, double* pdSeconds)
{
    const std::vector<unsigned char> cert = support::ReadFileBytes(Pki("sm2/ee_sign.der"));
    FILE* fpIn = fopen(plain.c_str(), "rb");
    FILE* fpKey = fopen(Pki("sm2pfx/sign.b64").c_str(), "rb");
    char* pszSignature = NULL;
    int nSignature = 0;
    char* pszCert = NULL;
    int nCert = 0;
    const double d0 = Now();
    int nResult = fpIn && fpKey ? SignFile_PKCS1_BySM2PFX(fpIn, fpKey, "Fixture-SM2-2020", &pszSignature, &nSignature,
                                                          ATL_BASE64_FLAG_NOCRLF, true, SM2_SIGNATURE_ASN1_Q1)
                                : -1;
    const double d1 = Now();
    if (VOMU_OK == nResult) nResult = Base64EncodeEx(cert.data(), (int)cert.size(), &pszCert, &nCert, 0);
    if (VOMU_OK == nResult)
        nResult = VerifyFileSignature_PKCS1_ByCert(fpIn, pszCert, nCert, pszSignature, nSignature, true);
    pdSeconds[0] = d1 - d0;
    pdSeconds[1] = Now() - d1;
    delete[] pszSignature;
    delete[] pszCert;
    for (FILE* fp : {fpIn, fpKey})
        if (fp) fclose(fp);
    return VOMU_OK == nResult ? 0 : 1;
}

// One road: two timed steps in a child, whether the plain file must come back as "opened".
struct Road {
    const char* pszName;
    const char* pszSteps[2];
    int (*pfnRun)(const std::string&, const std::string&, const std::string&, double*);
    bool bGivesFileBack;
};

struct Run {
    bool bOk = false;
    double dPeakMiB = 0, dEncryptSeconds = 0, dDecryptSeconds = 0;
};

// One child per size: its peak RSS comes back through wait4, its times through a pipe.
Run Measure(const Road& road, const std::string& dir, size_t nMiB)
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
        const int nStatus = VOMU_OK == SMKernelInitialize() ? road.pfnRun(plain, envelope, opened, ad) : 2;
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
              (!road.bGivesFileBack || 0 == system(("cmp -s '" + plain + "' '" + opened + "'").c_str()));
    run.dPeakMiB = (double)usage.ru_maxrss / 1024.0;
    run.dEncryptSeconds = ad[0];
    run.dDecryptSeconds = ad[1];
    return run;
}

// The CLI's yardstick over the plain file of the last run.
double CliSeconds(const std::string& command)
{
    const double d0 = Now();
    return 0 == system(command.c_str()) ? Now() - d0 : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t nLargeMiB = argc > 1 ? (size_t)atol(argv[1]) : 256;
    char szDir[] = "/tmp/morv_sm2_file_bench_XXXXXX";
    if (!mkdtemp(szDir)) return 1;
    const std::string dir = szDir, plain = dir + "/plain";
    const Road roads[] = {
        {"envelope", {"make", "open"}, EnvelopeRoundTrip, true},
        {"signature", {"sign", "verify"}, SignatureRoundTrip, false},
    };
    const std::string clis[] = {
        "openssl enc -sm4-cbc -K 00112233445566778899aabbccddeeff -iv 0102030405060708090a0b0c0d0e0f10 -in '" +
            plain + "' -out '" + dir + "/enc'",
        "openssl dgst -sm3 -sign '" + Pki("sm2/ee_sign.key") + "' -sigopt distid:1234567812345678 -out '" + dir +
            "/sig' '" + plain + "'",
    };
    const double dMB = (double)nLargeMiB * 1048576.0 / 1e6;
    bool bOk = true;
    printf("SM2 file roads; MB = 10^6 bytes\n");
    for (size_t i = 0; i < 2; ++i) {
        const Road& road = roads[i];
        const Run small = Measure(road, dir, 1);
        const Run large = Measure(road, dir, nLargeMiB);
        const double dCli = CliSeconds(clis[i]);
        const double dDiff = large.dPeakMiB - small.dPeakMiB;
        printf("%-9s peak RSS over 1 MiB: %.1f MiB; over %zu MiB: %.1f MiB; difference %.2f MiB (target <= 2 MiB: %s)\n",
               road.pszName, small.dPeakMiB, nLargeMiB, large.dPeakMiB, dDiff, dDiff <= 2.0 ? "met" : "NOT met");
        if (large.dEncryptSeconds > 0 && large.dDecryptSeconds > 0 && dCli > 0)
            printf("%-9s %zu MiB: %s %.1f MB/s, %s %.1f MB/s; the CLI %.1f MB/s (%s / CLI %.2fx)\n", road.pszName,
                   nLargeMiB, road.pszSteps[0], dMB / large.dEncryptSeconds, road.pszSteps[1],
                   dMB / large.dDecryptSeconds, dMB / dCli, road.pszSteps[0], dCli / large.dEncryptSeconds);
        bOk = bOk && small.bOk && large.bOk;
    }
    system(("rm -rf '" + dir + "'").c_str());
    printf("%s\n", bOk ? "every road succeeded" : "A ROAD FAILED");
    return bOk ? 0 : 1;
}
