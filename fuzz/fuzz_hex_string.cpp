// ConvertStringToBinaryData on arbitrary text (the input up to its first zero octet), in both
// byte orders. Whatever it accepts must be the pairs of hex digits decoded here independently
// (an odd last digit left out), reversed when asked, with four zero bytes after the data;
// text with any other character, and empty text, is refused without output.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MORV.h"

namespace {

int Digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The expected bytes, or false when the text is not all hex digits (or empty).
bool Expected(const std::string& text, bool bReverse, std::vector<unsigned char>* pOut)
{
    if (text.empty()) return false;
    for (char c : text)
        if (Digit(c) < 0) return false;
    pOut->clear();
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        pOut->push_back((unsigned char)(Digit(text[i]) << 4 | Digit(text[i + 1])));
    if (bReverse) std::vector<unsigned char>(pOut->rbegin(), pOut->rend()).swap(*pOut);
    return true;
}

void Check(const std::string& text, bool bReverse)
{
    unsigned char* pby = reinterpret_cast<unsigned char*>(1);  // must stay untouched on failure
    int n = -7;
    const int nResult = ConvertStringToBinaryData(text.c_str(), &pby, &n, bReverse);
    std::vector<unsigned char> expected;
    if (!Expected(text, bReverse, &expected)) {
        if (VOMU_E_INVALID_ARG != nResult || pby != reinterpret_cast<unsigned char*>(1) || -7 != n) abort();
        return;
    }
    if (VOMU_OK != nResult || !pby || n != (int)expected.size()) abort();
    // An empty vector's data() may be null, which memcmp must not see even for no bytes.
    if (!expected.empty() && 0 != memcmp(pby, expected.data(), expected.size())) abort();
    for (int k = 0; k < 4; ++k)
        if (0 != pby[n + k]) abort();
    FreeMemory(pby);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20) return 0;
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    Check(text, false);
    Check(text, true);
    return 0;
}
