/* A native C caller of the SDK: compiled as C against MORV.h alone. Exit status 0 when every
 * call gave what it should. */
#include <stdio.h>
#include <string.h>

#include "MORV.h"

static int Check(int bOk, const char* pszWhat)
{
    if (!bOk) fprintf(stderr, "failed: %s\n", pszWhat);
    return bOk ? 0 : 1;
}

/* Signs with the SM2 key file and the PKCS#12 file of the fixtures and verifies the result. */
static int SignAndVerify(const char* pszPki)
{
    static const unsigned char abyData[] = "signed by a C caller\0with a zero byte";
    const int nData = (int)sizeof abyData;
    const char* apszAlgorithms[2] = {"SM2", "RSA"};
    const char* apszKeys[2] = {"/sm2pfx/sign.b64", "/p12/modern.p12"};
    const char* apszPasswords[2] = {"Fixture-SM2-2020", "Fixture-P12-2020"};
    char szKey[4096];
    int nFailures = 0;
    int i;
    for (i = 0; i < 2; ++i) {
        char* pszSignature = NULL;
        char* pszCert = NULL;
        snprintf(szKey, sizeof szKey, "%s%s", pszPki, apszKeys[i]);
        nFailures += Check(VOMU_OK == SignData_PKCS7Detached(apszAlgorithms[i], abyData, nData, szKey,
                                                             apszPasswords[i], "SHA-256", &pszSignature),
                           "SignData_PKCS7Detached");
        nFailures += Check(VOMU_OK == VerifyDataSignature_PKCS7Detached(apszAlgorithms[i], abyData, nData,
                                                                        pszSignature, &pszCert),
                           "VerifyDataSignature_PKCS7Detached");
        nFailures += Check(pszCert && strlen(pszCert) > 100, "signer certificate");
        nFailures += Check(VOMU_E_BAD_SIGNATURE == VerifyDataSignature_PKCS7Detached(apszAlgorithms[i], abyData,
                                                                                     nData - 1, pszSignature, NULL),
                           "changed data refused");
        FreeMemory(pszSignature);
        FreeMemory(pszCert);
    }
    return nFailures;
}

int main(int argc, char** argv)
{
    unsigned char* pbyBytes = NULL;
    int nLen = 0;
    int nFailures = 0;
    if (argc < 2) return 2;

    nFailures += Check(VOMU_OK == Initialize(), "Initialize");
    nFailures += Check(VOMU_OK == ConvertStringToBinaryData("0a1B", &pbyBytes, &nLen, true),
                       "ConvertStringToBinaryData");
    nFailures += Check(2 == nLen && pbyBytes && 0x1B == pbyBytes[0] && 0x0A == pbyBytes[1], "hex bytes");
    FreeMemory(pbyBytes);
    nFailures += SignAndVerify(argv[1]);
    nFailures += Check(VOMU_OK == Uninitialize(), "Uninitialize");
    return nFailures ? 1 : 0;
}
