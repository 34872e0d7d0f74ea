#ifndef MORV_TESTS_SUPPORT_TEST_OUTPUTS_H
#define MORV_TESTS_SUPPORT_TEST_OUTPUTS_H

// Taking over the outputs of our functions in a gtest: arrays through support::Take, texts
// here, checked against the length handed out beside them, and the outputs of a codec.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "TestBytes.h"
#include "vomu_result.h"

namespace support {

// An output text of ours (new[], NUL-terminated) as a string, released here; pszNull for
// null. The length handed out must be its strlen.
inline std::string TakeText(char* psz, int n, const char* pszNull = "")
{
    std::unique_ptr<char[]> owned(psz);
    if (!psz) return pszNull;
    EXPECT_EQ((size_t)n, strlen(psz));
    return std::string(psz);
}

// Runs one of our codecs, fn(in, nIn, &out, &nOut), over a copy of in (the codecs take their
// input as non-const): its result code, and on success its output, taken over, in *pOut.
template <typename Fn> int RunCodec(Fn fn, Bytes in, Bytes* pOut)
{
    unsigned char* pby = nullptr;
    int n = 0;
    const int nResult = fn(in.data(), (int)in.size(), &pby, &n);
    Bytes out = Take(pby, n);
    if (VOMU_OK == nResult) *pOut = std::move(out);
    return nResult;
}

}  // namespace support

#endif
