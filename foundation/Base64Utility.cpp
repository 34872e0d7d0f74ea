// Base64 of RFC 4648 section 4, in the line layout of MIME (RFC 2045 6.8: 76 characters, CR LF).
#include "Base64Utility.h"

#include <climits>
#include <cstdint>

#include "HandOver.h"
#include "VomuStep.h"
#include "vomu_result.h"

namespace {

const char s_chBase64EncodingTable[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const int GROUPS_PER_LINE = 19;
const int CHARS_PER_LINE = 76;

void EncodeGroup(const unsigned char* pbySrc, char* szDest)
{
    const uint32_t n = (uint32_t)pbySrc[0] << 16 | (uint32_t)pbySrc[1] << 8 | pbySrc[2];
    for (int i = 0; i < 4; ++i) szDest[i] = s_chBase64EncodingTable[(n >> (18 - 6 * i)) & 0x3F];
}

// The last one or two bytes: zero-padded to a group, nRest + 1 characters, then "=" padding.
int EncodeTail(const unsigned char* pbySrc, int nRest, char* szDest, unsigned long dwFlags)
{
    unsigned char byGroup[3] = {pbySrc[0], (unsigned char)(nRest > 1 ? pbySrc[1] : 0), 0};
    char szGroup[4];
    EncodeGroup(byGroup, szGroup);
    int nWritten = 0;
    for (; nWritten < nRest + 1; ++nWritten) szDest[nWritten] = szGroup[nWritten];
    if (!(dwFlags & ATL_BASE64_FLAG_NOPAD))
        for (int i = nRest; i < 3; ++i) szDest[nWritten++] = '=';
    return nWritten;
}

}  // namespace

int Base64EncodeGetRequiredLength(int nSrcLen, unsigned long dwFlags)
{
    if (nSrcLen < 0) return -1;
    int64_t r = (int64_t)nSrcLen * 4 / 3;
    if (!(dwFlags & ATL_BASE64_FLAG_NOPAD)) r += nSrcLen % 3;
    const int64_t m = r % CHARS_PER_LINE;
    const int64_t rRounded = (0 != m && 0 != m % 4) ? (r + 3) / 4 * 4 : r;
    const int64_t nResult = (dwFlags & ATL_BASE64_FLAG_NOCRLF) ? rRounded : rRounded + 2 * (r / CHARS_PER_LINE) + 2;
    return nResult <= INT_MAX ? (int)nResult : -1;
}

int Base64DecodeGetRequiredLength(int nSrcLen) { return nSrcLen; }

bool Base64Encode(const unsigned char* pbSrcData, int nSrcLen, char* szDest, int* pnDestLen,
                  unsigned long dwFlags)
{
    if (NULL == pbSrcData || NULL == szDest || NULL == pnDestLen || nSrcLen < 0) return false;
    const int nRequired = Base64EncodeGetRequiredLength(nSrcLen, dwFlags);
    if (nRequired < 0 || *pnDestLen < nRequired) return false;
    const bool bLines = !(dwFlags & ATL_BASE64_FLAG_NOCRLF);
    const int nGroups = nSrcLen / 3;
    const int nLines = nGroups / GROUPS_PER_LINE;
    int nWritten = 0;
    for (int i = 0; i <= nLines; ++i) {
        const int nInLine = i < nLines ? GROUPS_PER_LINE : nGroups % GROUPS_PER_LINE;
        for (int j = 0; j < nInLine; ++j, pbSrcData += 3, nWritten += 4) EncodeGroup(pbSrcData, szDest + nWritten);
        if (bLines) {
            szDest[nWritten++] = '\r';
            szDest[nWritten++] = '\n';
        }
    }
    if (bLines && nWritten > 0) nWritten -= 2;
    if (nSrcLen % 3) nWritten += EncodeTail(pbSrcData, nSrcLen % 3, szDest + nWritten, dwFlags);
    *pnDestLen = nWritten;
    return true;
}

int DecodeBase64Char(unsigned int ch)
{
    if (ch >= 'A' && ch <= 'Z') return (int)(ch - 'A');
    if (ch >= 'a' && ch <= 'z') return (int)(ch - 'a' + 26);
    if (ch >= '0' && ch <= '9') return (int)(ch - '0' + 52);
    if ('+' == ch) return 62;
    if ('/' == ch) return 63;
    return -1;
}

bool Base64Decode(const char* szSrc, int nSrcLen, unsigned char* pbDest, int* pnDestLen)
{
    if (NULL == szSrc || NULL == pnDestLen || nSrcLen < 0) return false;
    bool bOverflow = NULL == pbDest;
    const char* p = szSrc;
    const char* pEnd = szSrc + nSrcLen;
    int nCount = 0;
    while (p < pEnd && '\0' != *p) {
        uint32_t nBits = 0;
        int nChars = 0;
        for (; nChars < 4 && p < pEnd; ++p) {
            const int nValue = DecodeBase64Char((unsigned char)*p);
            if (nValue < 0) continue;
            nBits = nBits << 6 | (uint32_t)nValue;
            ++nChars;
        }
        nBits <<= 6 * (4 - nChars);
        const int nBytes = 6 * nChars / 8;
        if (!bOverflow && nBytes > *pnDestLen - nCount) bOverflow = true;
        for (int i = 0; i < nBytes && !bOverflow; ++i) pbDest[nCount + i] = (unsigned char)(nBits >> (16 - 8 * i));
        nCount += nBytes;
    }
    *pnDestLen = nCount;
    return !bOverflow;
}

int Base64EncodeEx(const unsigned char* pbyData, int nDataLen, char** ppBase64EncodedStr,
                   int* pnBase64Length, unsigned long dwFlags)
{
    VOMU_FAIL_IF(NULL == ppBase64EncodedStr, "Check ppBase64EncodeStr", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(ATL_BASE64_FLAG_NONE != dwFlags && ATL_BASE64_FLAG_NOPAD != dwFlags &&
                     ATL_BASE64_FLAG_NOCRLF != dwFlags,
                 "Check Base64 flag parameter.", VOMU_E_INVALID_ARG);
    const int nBase64Length = Base64EncodeGetRequiredLength(nDataLen, dwFlags);
    VOMU_FAIL_IF(nBase64Length <= 0 || nBase64Length == INT_MAX, "Base64EncodeGetRequiredLength",
                 VOMU_E_BASE64_ENCODE);
    morv::OwnedArray<char> pBase64EncodedStr(new (std::nothrow) char[nBase64Length + 1]());
    VOMU_FAIL_IF(!pBase64EncodedStr, "New memory", VOMU_E_FAIL);
    int nWritten = nBase64Length;
    const bool bSuccess = Base64Encode(pbyData, nDataLen, pBase64EncodedStr.get(), &nWritten, dwFlags);
    VOMU_FAIL_IF(false == bSuccess, "Base64Encode", VOMU_E_BASE64_ENCODE);
    // A line break taken back at the end stays in the buffer beyond the text.
    pBase64EncodedStr[nWritten] = '\0';
    morv::HandOver(pBase64EncodedStr, ppBase64EncodedStr, pnBase64Length, (size_t)nWritten);
    return VOMU_OK;
}

int Base64DecodeEx(const char* pszBase64Str, int nLen, unsigned char** ppbyDecodedData,
                   int* pnDecodedDataSize)
{
    VOMU_FAIL_IF(NULL == ppbyDecodedData || NULL == pnDecodedDataSize, "Check parameter", VOMU_E_INVALID_ARG);
    const int nDecodeDataSize = Base64DecodeGetRequiredLength(nLen);
    VOMU_FAIL_IF(nDecodeDataSize <= 0, "Base64DecodeGetRequiredLength", VOMU_E_BASE64_DECODE);
    morv::OwnedArray<unsigned char> pDecodedData(new (std::nothrow) unsigned char[nDecodeDataSize]());
    VOMU_FAIL_IF(!pDecodedData, "New memory", VOMU_E_FAIL);
    int nDecoded = nDecodeDataSize;
    const bool bSuccess = Base64Decode(pszBase64Str, nLen, pDecodedData.get(), &nDecoded);
    VOMU_FAIL_IF(false == bSuccess, "Base64Decode", VOMU_E_BASE64_DECODE);
    morv::HandOver(pDecodedData, ppbyDecodedData, pnDecodedDataSize, (size_t)nDecoded);
    return VOMU_OK;
}
