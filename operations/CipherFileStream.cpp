// Streams a file through an initialised cipher context in pieces of FILE_PIECE_SIZE bytes.
#include "CipherFileStream.h"

#include <algorithm>

#include "VomuStep.h"
#include "vomu_result.h"

// The steps repeated for every piece log only their Failed line: an OK line per piece
// would flood the log of a large file with identical lines.
namespace morv {

int CipherFileStream::Allocate()
{
    // A decrypting update may also release the block it held back from the previous piece.
    const bool bAllocated = m_pbyIn.Allocate(FILE_PIECE_SIZE) &&
                            m_pbyOut.Allocate(FILE_PIECE_SIZE + EVP_MAX_BLOCK_LENGTH);
    VOMU_FAIL_IF_REASON(!bAllocated, m_steps.pszMemoryReason, "New memory", VOMU_E_FAIL);
    return VOMU_OK;
}

int CipherFileStream::ReadFailed()
{
    VOMU_STEP_FAILED("fread", VOMU_E_READ_FILE, m_steps.pszReadReason);
    return VOMU_E_READ_FILE;
}

int CipherFileStream::Write(FILE* fpOut, int nBytes, const char* pszReason)
{
    if (0 == nBytes) return VOMU_OK;
    const size_t nWriteBytes = fwrite(m_pbyOut.Get(), 1, (size_t)nBytes, fpOut);
    if (nWriteBytes != (size_t)nBytes) {
        VOMU_STEP_FAILED(m_steps.pszWriteStep, VOMU_E_FAIL, pszReason);
        return VOMU_E_FAIL;
    }
    m_nWritten += nWriteBytes;
    return VOMU_OK;
}

int CipherFileStream::Pump(FILE* fpIn, uint64_t nBytes, FILE* fpOut)
{
    while (nBytes > 0) {
        const size_t nPiece = (size_t)std::min<uint64_t>(nBytes, FILE_PIECE_SIZE);
        const size_t nBytesOfRead = fread(m_pbyIn.Get(), 1, nPiece, fpIn);
        const bool bShortRead = nBytesOfRead != nPiece || ferror(fpIn);
        if (bShortRead && !m_steps.bUseShortRead) return ReadFailed();
        int nOutSize = 0;
        const int nResult = EVP_CipherUpdate(m_pCtx, m_pbyOut.Get(), &nOutSize, m_pbyIn.Get(),
                                             (int)nBytesOfRead);
        if (1 != nResult) {
            VOMU_STEP_FAILED_OSSL(m_steps.pszUpdateStep, m_steps.nCipherCode, "1 != nResult");
            return m_steps.nCipherCode;
        }
        const int nWrite = Write(fpOut, nOutSize, m_steps.pszWriteReason);
        if (VOMU_OK != nWrite) return nWrite;
        if (bShortRead) return ReadFailed();
        nBytes -= nPiece;
    }
    return VOMU_OK;
}

int CipherFileStream::Finish(FILE* fpOut)
{
    int nFinalBlockSize = 0;
    const int nResult = EVP_CipherFinal_ex(m_pCtx, m_pbyOut.Get(), &nFinalBlockSize);
    VOMU_FAIL_IF_OSSL(1 != nResult, m_steps.pszFinalStep, m_steps.nCipherCode);
    const int nWrite = Write(fpOut, nFinalBlockSize, m_steps.pszFinalWriteReason);
    if (VOMU_OK != nWrite) return nWrite;
    // Bytes still in the stream's buffer have not reached the file: a full disk shows here.
    VOMU_FAIL_IF(0 != fflush(fpOut) || ferror(fpOut), "fflush", VOMU_E_FAIL);
    return VOMU_OK;
}

}  // namespace morv
