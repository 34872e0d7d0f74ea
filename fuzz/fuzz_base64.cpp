// The Base64 decoder on arbitrary text; whatever it decodes re-encodes (without line breaks)
// to text that decodes to the same bytes, and the size query agrees with the decode.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Base64Utility.h"
#include "vomu_result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20) return 0;
    unsigned char* pbyOut = nullptr;
    int nOut = 0;
    if (VOMU_OK != Base64DecodeEx((const char*)data, (int)size, &pbyOut, &nOut)) return 0;
    int nQuery = 0;
    Base64Decode((const char*)data, (int)size, nullptr, &nQuery);
    if (nQuery != nOut || nOut > (int)size) abort();
    for (unsigned long dwFlags : {ATL_BASE64_FLAG_NONE, ATL_BASE64_FLAG_NOPAD, ATL_BASE64_FLAG_NOCRLF}) {
        char* pszText = nullptr;
        int nText = 0;
        if (VOMU_OK != Base64EncodeEx(pbyOut, nOut, &pszText, &nText, dwFlags)) continue;
        unsigned char* pbyAgain = nullptr;
        int nAgain = 0;
        if (nText > 0) {
            if (VOMU_OK != Base64DecodeEx(pszText, nText, &pbyAgain, &nAgain)) abort();
            if (nAgain != nOut || 0 != memcmp(pbyAgain, pbyOut, nOut)) abort();
        }
        delete[] pbyAgain;
        delete[] pszText;
    }
    delete[] pbyOut;
    return 0;
}
