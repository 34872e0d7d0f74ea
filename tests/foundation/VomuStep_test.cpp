// Placeholder smoke test: the core links and a failed step returns its code.
#include <gtest/gtest.h>

#include "VomuStep.h"
#include "vomu_result.h"

static int FailsOnNull(const void* p)
{
    VOMU_FAIL_IF(NULL == p, "Check parameter", VOMU_E_INVALID_ARG);
    return VOMU_OK;
}

TEST(VomuStep, ReturnsTheCodeOfTheFailedStep)
{
    EXPECT_EQ(VOMU_E_INVALID_ARG, FailsOnNull(nullptr));
    int n = 0;
    EXPECT_EQ(VOMU_OK, FailsOnNull(&n));
}
