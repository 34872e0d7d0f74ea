#include "SdkPattern.h"

#include <openssl/obj_mac.h>

namespace morv {
namespace sdk {
namespace {

char AsciiLower(char c) { return ('A' <= c && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

}  // namespace

bool EqualNoCase(const char* pszA, const char* pszB)
{
    if (!pszA || !pszB) return false;
    for (; *pszA && *pszB; ++pszA, ++pszB) {
        if (AsciiLower(*pszA) != AsciiLower(*pszB)) return false;
    }
    return *pszA == *pszB;
}

Road ChooseRoad(const char* pszAlgorithm)
{
    if (EqualNoCase(pszAlgorithm, "SM2")) return Road::SM2;
    if (EqualNoCase(pszAlgorithm, "RSA")) return Road::RSA;
    return Road::NONE;
}

int HashNumber(const char* pszHashAlg)
{
    if (EqualNoCase(pszHashAlg, "SHA-1")) return NID_sha1;
    if (EqualNoCase(pszHashAlg, "SHA-256")) return NID_sha256;
    return 0;
}

int RSAHashNumber(const char* pszSdkFunc, const char* pszHashAlg, const char* pszStep,
                  const char* pszReason, const char* pszTraceFormat, int* pnHash)
{
    MORV_CHECK(NULL == pszHashAlg || 0 == strlen(pszHashAlg), pszReason, pszStep);
    TRACE(TRACE_LEVEL_INFO, pszTraceFormat, pszHashAlg);
    *pnHash = HashNumber(pszHashAlg);
    if (0 == *pnHash) MORV_FAIL("Invalid hash algorithm.", VOMU_E_INVALID_ARG, "true");
    return VOMU_OK;
}

}  // namespace sdk
}  // namespace morv
