#include "HandOver.h"
#include "SecretArray.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(HandOver, GivesArrayAndLengthOrRefusesWhatIntCannotCount)
{
    struct Case {
        size_t nSize;
        int nResult;
    } cases[] = {{0, VOMU_OK}, {16, VOMU_OK}, {(size_t)INT_MAX, VOMU_OK},
                 {(size_t)INT_MAX + 1, VOMU_E_FILE_TOO_LARGE}, {SIZE_MAX, VOMU_E_FILE_TOO_LARGE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nSize);
        morv::OwnedArray<unsigned char> pOwned = morv::NewArray<unsigned char>(4);
        unsigned char* pOut = nullptr;
        int nOut = -7;
        ASSERT_EQ(c.nResult, morv::HandOver(pOwned, &pOut, &nOut, c.nSize));
        EXPECT_EQ(nullptr, pOwned.get());
        if (VOMU_OK == c.nResult) {
            EXPECT_NE(nullptr, pOut);
            EXPECT_EQ((int)c.nSize, nOut);
        } else {
            // Never a narrowed length beside an array the caller would then misread.
            EXPECT_EQ(nullptr, pOut);
            EXPECT_EQ(-7, nOut);
        }
        delete[] pOut;
    }
}

TEST(SecretArray, OwnsAdoptedOrAllocatedOctetsUntilHandedOver)
{
    morv::SecretArray secret;
    EXPECT_EQ(0u, secret.Size());
    ASSERT_TRUE(secret.Allocate(32));
    EXPECT_EQ(32u, secret.Size());
    EXPECT_EQ(0, secret.Get()[31]);
    secret.Adopt(new unsigned char[5]{1, 2, 3, 4, 5}, 5);
    EXPECT_EQ(5u, secret.Size());
    unsigned char* pOut = nullptr;
    int nOut = 0;
    ASSERT_EQ(VOMU_OK, morv::HandOver(secret.Owned(), &pOut, &nOut, secret.Size()));
    EXPECT_EQ(5, nOut);
    EXPECT_EQ(5, pOut[4]);
    EXPECT_EQ(0u, secret.Size());
    delete[] pOut;
}

}  // namespace
