// Start-up and shut-down for native callers, buffer release and hex text.
#include "SdkPattern.h"  // first: the step lines name "MORV"

#include "MORV.h"

#include <climits>

#include "SMKernel.h"

int Initialize(void)
{
    // The SDK also runs without logging: a missing configuration is not the caller's failure.
    vomu_log_init_ex("./vomulog.conf");
    return SMKernelInitialize();
}

int Uninitialize(void)
{
    const int nResult = SMKernelUninitialize();
    vomu_log_fini();
    return nResult;
}

void FreeMemory(void* pvMemory)
{
    // Every buffer the interface hands out is a new[] array of bytes.
    delete[] static_cast<char*>(pvMemory);
}

namespace {

int HexDigit(char c)
{
    if ('0' <= c && c <= '9') return c - '0';
    if ('a' <= c && c <= 'f') return c - 'a' + 10;
    if ('A' <= c && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int ConvertStringToBinaryData(const char* pszHexString, unsigned char** ppbyBinaryData,
                              int* pnBinaryDataLen, bool bReverse)
{
    MORV_CHECK_TEXT(pszHexString, "Check parameter(pszHexString).");
    MORV_CHECK_OUT(ppbyBinaryData, "Check parameter(ppbyBinaryData).");
    MORV_CHECK_OUT(pnBinaryDataLen, "Check parameter(pnBinaryDataLen).");

    const size_t nTextLen = strlen(pszHexString);
    const int nResult = nTextLen == strspn(pszHexString, "0123456789abcdefABCDEF") ? 0 : 1;
    MORV_STEP_IF(0 != nResult, "0 != nResult", "strcmp", VOMU_E_INVALID_ARG);
    // An odd last digit is ignored; four zero bytes follow the data.
    const size_t nBytes = nTextLen / 2;
    // Part of the one check of the text: logged only for a text too long for the int counts.
    if (nBytes > (size_t)INT_MAX - 4)
        MORV_FAIL("Check parameter(pszHexString).", VOMU_E_INVALID_ARG, "nBytes > INT_MAX - 4");
    morv::OwnedArray<unsigned char> pbyBinaryData(new (std::nothrow) unsigned char[nBytes + 4]());
    MORV_FAIL_IF(!pbyBinaryData, "New memory", VOMU_E_FAIL);

    for (size_t k = 0; k < nBytes; ++k) {
        const size_t nPair = bReverse ? nBytes - 1 - k : k;
        const char* pszPair = pszHexString + 2 * nPair;
        pbyBinaryData[k] = (unsigned char)(HexDigit(pszPair[0]) << 4 | HexDigit(pszPair[1]));
    }
    return morv::HandOver(pbyBinaryData, ppbyBinaryData, pnBinaryDataLen, nBytes);
}
