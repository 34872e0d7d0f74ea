// The step lines of the SM4 helpers name the function the caller called, whichever internal
// helper made the check: log readers search for the public name.
#include <gtest/gtest.h>

#include <string>

#include "LogCapture.h"
#include "smkernel/DataEncryption.h"
#include "vomu_result.h"

namespace {

TEST(DataEncryptionSteps, FailedChecksNameThePublicFunction)
{
    const unsigned char key[16] = {1}, iv[16] = {2}, data[32] = {3};
    unsigned char* pbyOut = nullptr;
    int nOut = 0;
    const struct {
        const char* pszLine;  // "(function -- step)"
        int (*run)(const unsigned char*, const unsigned char*, const unsigned char*,
                   unsigned char**, int*);
    } kCases[] = {
        {"(SM4_Encrypt_CBC -- Check Parameters(IVSize))",
         [](const unsigned char* d, const unsigned char* i, const unsigned char* k, unsigned char** o, int* n) {
             return SM4_Encrypt_CBC(d, 32, i, 15, k, 16, o, n);
         }},
        {"(SM4_Decrypt_CBC -- Check Parameters(nSymKeySize))",
         [](const unsigned char* d, const unsigned char* i, const unsigned char* k, unsigned char** o, int* n) {
             return SM4_Decrypt_CBC(d, 32, i, 16, k, 17, o, n);
         }},
        {"(SM4_Encrypt_CBC_Nopadding -- Check Parameters(IVSize))",
         [](const unsigned char* d, const unsigned char* i, const unsigned char* k, unsigned char** o, int* n) {
             return SM4_Encrypt_CBC_Nopadding(d, 32, i, 8, k, 16, o, n);
         }},
        {"(SM4_Decrypt_CBC_Nopadding -- Check Parameters)",
         [](const unsigned char*, const unsigned char* i, const unsigned char* k, unsigned char** o, int* n) {
             return SM4_Decrypt_CBC_Nopadding(nullptr, 32, i, 16, k, 16, o, n);
         }},
        {"(SM4EncryptByPin -- Check Parameters(pszPin))",
         [](const unsigned char* d, const unsigned char*, const unsigned char*, unsigned char** o, int* n) {
             return SM4EncryptByPin(d, 32, nullptr, o, n);
         }},
        {"(SM4DecryptByPin -- Check Parameters(pszPin))",
         [](const unsigned char* d, const unsigned char*, const unsigned char*, unsigned char** o, int* n) {
             return SM4DecryptByPin(d, 32, nullptr, o, n);
         }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszLine);
        morv_test::LogCapture log;
        ASSERT_TRUE(log.Ok());
        EXPECT_EQ(VOMU_E_INVALID_ARG, c.run(data, iv, key, &pbyOut, &nOut));
        EXPECT_EQ(nullptr, pbyOut);
        EXPECT_TRUE(log.Contains(std::string(c.pszLine) + "\t\t--Failed")) << log.Contents();
        // The helpers log under their component's name, not the source file's.
        EXPECT_TRUE(log.Contains("[DataEncryption(")) << log.Contents();
        EXPECT_FALSE(log.Contains("DataEncryption.cpp")) << log.Contents();
    }
}

}  // namespace
