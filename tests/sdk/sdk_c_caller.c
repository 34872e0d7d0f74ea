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

int main(int argc, char** argv)
{
    unsigned char* pbyBytes = NULL;
    int nLen = 0;
    int nFailures = 0;
    (void)argc;
    (void)argv;

    nFailures += Check(VOMU_OK == Initialize(), "Initialize");
    nFailures += Check(VOMU_OK == ConvertStringToBinaryData("0a1B", &pbyBytes, &nLen, true),
                       "ConvertStringToBinaryData");
    nFailures += Check(2 == nLen && pbyBytes && 0x1B == pbyBytes[0] && 0x0A == pbyBytes[1], "hex bytes");
    FreeMemory(pbyBytes);
    nFailures += Check(VOMU_OK == Uninitialize(), "Uninitialize");
    return nFailures ? 1 : 0;
}
