#ifndef MORV_TESTS_SUPPORT_TEST_OUTPUTS_H
#define MORV_TESTS_SUPPORT_TEST_OUTPUTS_H

// Taking over the outputs of our functions in a gtest: arrays through support::Take, texts
// here, checked against the length handed out beside them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "TestBytes.h"

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

}  // namespace support

#endif
