// SM3 digests of data and files, optionally preceded by the signer's Z value (GM/T 0003.2
// 5.5: the digest an SM2 signature is made over is SM3(Z || M)).
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "DataSigning.h"
#include "HandOver.h"
#include "OperationsCommon.h"
#include "Misc.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM3.h"
#include "SMObjects.h"
#include "VomuStep.h"
#include "vomu_zlog.h"

using morv::OsslPtr;

namespace {

// a, b, xG and yG of the published curve, read from its group so that no second copy of the
// parameters exists.
struct CurveNumbers {
    OsslPtr<BIGNUM> a{BN_new()}, b{BN_new()}, xG{BN_new()}, yG{BN_new()};
};

bool ReadCurveNumbers(CurveNumbers& numbers)
{
    const EC_GROUP* pGroup = smk::SMGroup(NID_prime256v1SM2);
    const EC_POINT* pG = pGroup ? EC_GROUP_get0_generator(pGroup) : NULL;
    return pG && numbers.a && numbers.b && numbers.xG && numbers.yG &&
           1 == EC_GROUP_get_curve(pGroup, NULL, numbers.a.get(), numbers.b.get(), NULL) &&
           1 == EC_POINT_get_affine_coordinates(pGroup, pG, numbers.xG.get(), numbers.yG.get(),
                                                NULL);
}

// The hash state after SM3_Init and, with bWithZ, the Z value of (x, y).
// The helpers below log their steps under pszFunc, the hashing function whose steps they are.
int StartDigest(const char* pszFunc, SM3_CTX* pCtx, const unsigned char* pbyPublicKeyX,
                const unsigned char* pbyPublicKeyY, bool bWithZ)
{
    int nResult = SM3_Init(pCtx);
    VOMU_FAIL_IF_IN(pszFunc, nResult != 1, "SM3_Init", VOMU_E_FAIL);
    if (!bWithZ) return VOMU_OK;
    unsigned char abyZ[SM3_HASH_SIZE];
    nResult = _SM2_CalculateDefaultZValue(pbyPublicKeyX, pbyPublicKeyY, abyZ);
    VOMU_FAIL_IF_IN(pszFunc, nResult != 1, "_SM2_CalculateDefaultZValue", VOMU_E_FAIL);
    nResult = SM3_Update(pCtx, abyZ, sizeof(abyZ));
    VOMU_FAIL_IF_IN(pszFunc, nResult != 1, "SM3_Update(Z)", VOMU_E_FAIL);
    return VOMU_OK;
}

// SM3_Final into a local digest, copied out only on success.
int FinishDigest(const char* pszFunc, SM3_CTX* pCtx, unsigned char* pbyHash)
{
    unsigned char abyHash[SM3_HASH_SIZE];
    int nResult = SM3_Final(abyHash, pCtx);
    VOMU_FAIL_IF_IN(pszFunc, nResult != 1, "SM3_Final", VOMU_E_FAIL);
    memcpy(pbyHash, abyHash, sizeof(abyHash));
    return VOMU_OK;
}

// One piece of at most BLOCK_SIZE bytes, read whole, then hashed: a full block, or the final
// piece below the block size (whose reason names the remaining count).
int HashFilePiece(const char* pszFunc, SM3_CTX* pCtx, FILE* fpSourceFile, unsigned char* pbyBlock,
                  uint64_t ulBytesToRead)
{
    const bool bFinal = ulBytesToRead < BLOCK_SIZE;
    const size_t ulPieceSize = bFinal ? (size_t)ulBytesToRead : BLOCK_SIZE;
    memset(pbyBlock, 0, BLOCK_SIZE);
    const size_t ulOnceReadSize = fread(pbyBlock, 1, ulPieceSize, fpSourceFile);
    TRACE(TRACE_LEVEL_INFO, "Once read file size: %ld\n", (long)ulOnceReadSize);
    if (bFinal)
        VOMU_FAIL_IF_IN(pszFunc, ulOnceReadSize != ulBytesToRead || ferror(fpSourceFile) != 0,
                     "fread(fpSourceFile)", VOMU_E_READ_FILE);
    else
        VOMU_FAIL_IF_IN(pszFunc, ulOnceReadSize != BLOCK_SIZE || ferror(fpSourceFile) != 0,
                     "fread(fpSourceFile)", VOMU_E_READ_FILE);
    const int nResult = SM3_Update(pCtx, pbyBlock, ulPieceSize);
    VOMU_FAIL_IF_IN(pszFunc, nResult != 1, bFinal ? "SM3_Update(final block)" : "SM3_Update(file block)",
                 VOMU_E_FAIL);
    return VOMU_OK;
}

// One BLOCK_SIZE piece of bytes already read: the same lines as HashFilePiece, so that a file
// read in large pieces logs as it always has.
int HashReadPiece(const char* pszFunc, SM3_CTX* pCtx, const unsigned char* pbyPiece,
                  size_t ulPieceSize)
{
    TRACE(TRACE_LEVEL_INFO, "Once read file size: %ld\n", (long)ulPieceSize);
    VOMU_STEP_OK_IN(pszFunc, "fread(fpSourceFile)");
    const int nResult = SM3_Update(pCtx, pbyPiece, ulPieceSize);
    VOMU_FAIL_IF_IN(pszFunc, nResult != 1,
                 ulPieceSize < BLOCK_SIZE ? "SM3_Update(final block)" : "SM3_Update(file block)",
                 VOMU_E_FAIL);
    return VOMU_OK;
}

// The stream hashed to its end, whatever its size was said to be: procfs files say 0, and a
// file that changes while it is read is hashed as read.
int HashToEnd(const char* pszFunc, SM3_CTX* pCtx, FILE* fpSourceFile, uint64_t* pulTotal)
{
    morv::OwnedArray<unsigned char> pbyBuffer = morv::NewArray<unsigned char>(FILE_PIECE_SIZE);
    VOMU_FAIL_IF_IN(pszFunc, !pbyBuffer, "New memory", VOMU_E_FAIL);
    for (size_t nRead = FILE_PIECE_SIZE; FILE_PIECE_SIZE == nRead;) {
        nRead = fread(pbyBuffer.get(), 1, FILE_PIECE_SIZE, fpSourceFile);
        VOMU_FAIL_IF_REASON_IN(pszFunc, ferror(fpSourceFile) != 0, "ferror(fpSourceFile) != 0",
                               "fread(fpSourceFile)", VOMU_E_READ_FILE);
        for (size_t nDone = 0; nDone < nRead;) {
            const size_t ulPieceSize = std::min<size_t>(nRead - nDone, BLOCK_SIZE);
            const int nResult = HashReadPiece(pszFunc, pCtx, pbyBuffer.get() + nDone, ulPieceSize);
            if (VOMU_OK != nResult) return nResult;
            nDone += ulPieceSize;
        }
        *pulTotal += nRead;
    }
    return VOMU_OK;
}

}  // namespace

int SM2_CalculateZValue(const unsigned char* pbyUserID, int nUserIDLen,
                        const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                        unsigned char* pbyZValue)
{
    if (NULL == pbyPublicKeyX || NULL == pbyPublicKeyY || NULL == pbyZValue || nUserIDLen < 0 ||
        (NULL == pbyUserID && nUserIDLen > 0))
        return 0;
    CurveNumbers curve;
    OsslPtr<BIGNUM> xA(BN_new()), yA(BN_new());
    if (!xA || !yA || !ReadCurveNumbers(curve)) return 0;
    if (1 != _SM2_Bytes2BN(pbyPublicKeyX, SM2_FIELD_SIZE, xA.get()) ||
        1 != _SM2_Bytes2BN(pbyPublicKeyY, SM2_FIELD_SIZE, yA.get()))
        return 0;
    return 1 == _SM2_CalculateZValue(pbyUserID, (unsigned)nUserIDLen, curve.a.get(),
                                     curve.b.get(), curve.xG.get(), curve.yG.get(), xA.get(),
                                     yA.get(), pbyZValue)
               ? 1
               : 0;
}

int CalculateSM3Hash(const unsigned char* pbySourceData, int nSourceDataSize,
                     const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                     unsigned char* pbyHash, bool bWithZ)
{
    VOMU_FAIL_IF(NULL == pbyHash || nSourceDataSize < 0 ||
                     (bWithZ && (NULL == pbyPublicKeyX || NULL == pbyPublicKeyY)),
                 "check parameters.", VOMU_E_INVALID_ARG);
    SM3_CTX ctx;
    int nResult = StartDigest(__func__, &ctx, pbyPublicKeyX, pbyPublicKeyY, bWithZ);
    if (VOMU_OK != nResult) return nResult;
    nResult = SM3_Update(&ctx, pbySourceData, (size_t)nSourceDataSize);
    VOMU_FAIL_IF(nResult != 1, "SM3_Update(Source)", VOMU_E_FAIL);
    return FinishDigest(__func__, &ctx, pbyHash);
}

namespace {

// CalculateSM3FileHashEx hashes through CalculateSM3FileHash, whose steps these are.
const char kFileHashFunc[] = "CalculateSM3FileHash";

// ulBytesToRead bytes in BLOCK_SIZE pieces, each read whole.
int HashCount(SM3_CTX* pCtx, FILE* fpSourceFile, uint64_t ulBytesToRead, uint64_t* pulTotal)
{
    unsigned char abyBlock[BLOCK_SIZE];
    while (*pulTotal < ulBytesToRead) {
        const int nResult = HashFilePiece(kFileHashFunc, pCtx, fpSourceFile, abyBlock, ulBytesToRead - *pulTotal);
        if (VOMU_OK != nResult) return nResult;
        const uint64_t ulRemaining = ulBytesToRead - *pulTotal;
        *pulTotal += ulRemaining < BLOCK_SIZE ? ulRemaining : BLOCK_SIZE;
    }
    return VOMU_OK;
}

// The digest of ulBytesToRead bytes of the stream, or with bToEnd of all it holds (its size
// was said to be ulBytesToRead).
int HashFile(FILE* fpSourceFile, uint64_t ulBytesToRead, bool bToEnd,
             const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
             unsigned char* pbyHash, bool bWithZ)
{
    VOMU_FAIL_IF_IN(kFileHashFunc,
                    NULL == fpSourceFile || NULL == pbyHash ||
                        (bWithZ && (NULL == pbyPublicKeyX || NULL == pbyPublicKeyY)),
                    "check parameters.", VOMU_E_INVALID_ARG);
    TRACE(TRACE_LEVEL_INFO, "Bytes to read from file: %llu\n", (unsigned long long)ulBytesToRead);
    SM3_CTX ctx;
    int nResult = StartDigest(kFileHashFunc, &ctx, pbyPublicKeyX, pbyPublicKeyY, bWithZ);
    if (VOMU_OK != nResult) return nResult;
    uint64_t ulTotal = 0;
    nResult = bToEnd ? HashToEnd(kFileHashFunc, &ctx, fpSourceFile, &ulTotal)
                     : HashCount(&ctx, fpSourceFile, ulBytesToRead, &ulTotal);
    if (VOMU_OK != nResult) return nResult;
    TRACE(TRACE_LEVEL_INFO, "Total read file size: %llu\n", (unsigned long long)ulTotal);
    return FinishDigest(kFileHashFunc, &ctx, pbyHash);
}

}  // namespace

int CalculateSM3FileHash(FILE* fpSourceFile, uint64_t ulBytesToRead,
                         const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                         unsigned char* pbyHash, bool bWithZ)
{
    return HashFile(fpSourceFile, ulBytesToRead, false, pbyPublicKeyX, pbyPublicKeyY, pbyHash,
                    bWithZ);
}

int CalculateSM3FileHashEx(FILE* fpSourceFile, const unsigned char* pbyPublicKeyX,
                           const unsigned char* pbyPublicKeyY, unsigned char* pbyHash,
                           bool bWithZ)
{
    uint64_t ulFileSize = 0;
    int nResult = GetFileSize_Ex(fpSourceFile, &ulFileSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "GetFileSize", nResult);
    nResult = HashFile(fpSourceFile, ulFileSize, true, pbyPublicKeyX, pbyPublicKeyY, pbyHash,
                       bWithZ);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CalculateSM3FileHash", nResult);
    return VOMU_OK;
}
