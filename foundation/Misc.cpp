// Small helpers: file size, hex text, splitting a list.
#include "Misc.h"

#include <sys/types.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "HandOver.h"
#include "VomuStep.h"
#include "vomu_result.h"

int GetFileSize_Ex(FILE* fpFile, uint64_t* pnFileSize)
{
    VOMU_FAIL_IF(NULL == fpFile || NULL == pnFileSize, "Check parameter", VOMU_E_INVALID_ARG);
    int nRet = fseeko(fpFile, 0, SEEK_END);
    VOMU_FAIL_IF(0 != nRet, "fseek(SEEK_END)", VOMU_E_FAIL);
    // ftello, not ftell: the true size of files beyond 2 GiB; negative for unseekable streams.
    const off_t nPosition = ftello(fpFile);
    VOMU_FAIL_IF(nPosition < 0 || ferror(fpFile), "ftell", VOMU_E_FAIL);
    nRet = fseeko(fpFile, 0, SEEK_SET);
    VOMU_FAIL_IF(0 != nRet, "fseek(SEEK_SET)", VOMU_E_FAIL);
    *pnFileSize = (uint64_t)nPosition;
    return VOMU_OK;
}

int ConvertBinaryDataToString(const unsigned char* pbyData, int nLen, char** ppszHexString, bool bReverse)
{
    VOMU_FAIL_IF(NULL == ppszHexString || nLen < 0 || nLen > (INT_MAX - 1) / 2 || (nLen > 0 && NULL == pbyData),
                 "Check parameter", VOMU_E_FAIL);
    static const char s_szHexDigits[] = "0123456789ABCDEF";
    morv::OwnedArray<char> pszHex(new (std::nothrow) char[2 * (size_t)nLen + 1]());
    VOMU_FAIL_IF_REASON(!pszHex, "!*ppszHexString", "New memory", VOMU_E_FAIL);
    for (int i = 0; i < nLen; ++i) {
        const unsigned char byValue = pbyData[bReverse ? nLen - 1 - i : i];
        pszHex[2 * i] = s_szHexDigits[byValue >> 4];
        pszHex[2 * i + 1] = s_szHexDigits[byValue & 0x0F];
    }
    morv::HandOver(pszHex, ppszHexString);
    return VOMU_OK;
}

namespace {

// One step of SplitString: its lines name it.
const char SPLIT_STRING[] = "SplitString";

int AppendPiece(const char* pszStart, size_t nLen, std::vector<char*>& vetStr)
{
    if (0 == nLen) return VOMU_OK;
    char* pszPiece = strndup(pszStart, nLen);
    VOMU_FAIL_IF_IN(SPLIT_STRING, NULL == pszPiece, "strdup(piece)", VOMU_E_FAIL);
    try {
        vetStr.push_back(pszPiece);
    } catch (...) {
        free(pszPiece);
        ::morv::StepFailed(VOMU_STEP_FILE, __LINE__, SPLIT_STRING, "push_back(piece)", VOMU_E_FAIL, "std::bad_alloc",
                           false);
        return VOMU_E_FAIL;
    }
    return VOMU_OK;
}

}  // namespace

int SplitString(const char* pszStr, const char* pszSplit, std::vector<char*>& vetStr)
{
    // An empty separator would match without advancing.
    VOMU_FAIL_IF(NULL == pszStr || NULL == pszSplit || strlen(pszStr) == 0 || strlen(pszSplit) == 0,
                 "Check parameter", VOMU_E_FAIL);
    const size_t nSplitLen = strlen(pszSplit);
    const char* pszCursor = pszStr;
    for (const char* pszFound; (pszFound = strstr(pszCursor, pszSplit)) != NULL; pszCursor = pszFound + nSplitLen) {
        const int nResult = AppendPiece(pszCursor, (size_t)(pszFound - pszCursor), vetStr);
        if (VOMU_OK != nResult) return nResult;
    }
    return AppendPiece(pszCursor, strlen(pszCursor), vetStr);
}

void CleanupStringVector(std::vector<char*>& vetStr)
{
    for (char*& pszItem : vetStr) {
        free(pszItem);
        pszItem = NULL;
    }
    vetStr.clear();
}
