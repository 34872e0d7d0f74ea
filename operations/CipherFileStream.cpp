// Streams a file through an initialised cipher context in pieces of FILE_PIECE_SIZE bytes.
#include "CipherFileStream.h"

#include <algorithm>
#include <utility>

#include "VomuStep.h"
#include "vomu_result.h"

// The steps repeated for every piece log only their Failed line: an OK line per piece
// would flood the log of a large file with identical lines.
namespace morv {

namespace {

// Below this a second thread costs more than the writes it would overlap.
const uint64_t OVERLAP_MIN_BYTES = 4 * (uint64_t)FILE_PIECE_SIZE;

}  // namespace

int CipherFileStream::Allocate()
{
    // A decrypting update may also release the block it held back from the previous piece.
    const bool bAllocated = m_pbyIn.Allocate(FILE_PIECE_SIZE) &&
                            m_pbyOut.Allocate(FILE_PIECE_SIZE + EVP_MAX_BLOCK_LENGTH);
    VOMU_FAIL_IF_REASON_IN(m_pszFunc, !bAllocated, m_steps.pszMemoryReason, "New memory", VOMU_E_FAIL);
    return VOMU_OK;
}

int CipherFileStream::ReadFailed()
{
    VOMU_STEP_FAILED_IN(m_pszFunc, "fread", VOMU_E_READ_FILE, m_steps.pszReadReason);
    return VOMU_E_READ_FILE;
}

int CipherFileStream::WriteFailed(const char* pszReason)
{
    VOMU_STEP_FAILED_IN(m_pszFunc, m_steps.pszWriteStep, VOMU_E_FAIL, pszReason);
    return VOMU_E_FAIL;
}

int CipherFileStream::Write(FILE* fpOut, int nBytes, const char* pszReason)
{
    if (0 == nBytes) return VOMU_OK;
    const size_t nWriteBytes = fwrite(m_pbyOut.Get(), 1, (size_t)nBytes, fpOut);
    if (nWriteBytes != (size_t)nBytes) return WriteFailed(pszReason);
    m_nWritten += nWriteBytes;
    return VOMU_OK;
}

// The piece in flight, if any, reported as Write would have reported it.
int CipherFileStream::Collect(PieceWriter* pWriter)
{
    if (!pWriter) return VOMU_OK;
    size_t nWritten = 0;
    const bool bWhole = pWriter->Wait(&nWritten);
    if (!bWhole) return WriteFailed(m_steps.pszWriteReason);
    m_nWritten += nWritten;
    return VOMU_OK;
}

// A writer thread for a large input, with its second buffer; false leaves the one-thread road.
bool CipherFileStream::StartWriter(uint64_t nBytes, PieceWriter* pWriter)
{
    return nBytes >= OVERLAP_MIN_BYTES &&
           (m_pbySpare.Size() || m_pbySpare.Allocate(FILE_PIECE_SIZE + EVP_MAX_BLOCK_LENGTH)) &&
           pWriter->Start();
}

// Every failure first collects the piece before it, so the log and the code are those of the
// one-thread road, where that piece's write came first.
int CipherFileStream::Pump(FILE* fpIn, uint64_t nBytes, FILE* fpOut)
{
    PieceWriter writer;
    PieceWriter* pWriter = StartWriter(nBytes, &writer) ? &writer : nullptr;
    while (nBytes > 0) {
        const size_t nPiece = (size_t)std::min<uint64_t>(nBytes, FILE_PIECE_SIZE);
        const size_t nBytesOfRead = fread(m_pbyIn.Get(), 1, nPiece, fpIn);
        const bool bShortRead = nBytesOfRead != nPiece || ferror(fpIn);
        if (bShortRead && !m_steps.bUseShortRead) {
            const int nCollect = Collect(pWriter);
            return VOMU_OK != nCollect ? nCollect : ReadFailed();
        }
        int nOutSize = 0;
        const int nResult = EVP_CipherUpdate(m_pCtx, m_pbyOut.Get(), &nOutSize, m_pbyIn.Get(),
                                             (int)nBytesOfRead);
        const int nCollect = Collect(pWriter);
        if (VOMU_OK != nCollect) return nCollect;
        if (1 != nResult) {
            VOMU_STEP_FAILED_OSSL_IN(m_pszFunc, m_steps.pszUpdateStep, m_steps.nCipherCode, "1 != nResult");
            return m_steps.nCipherCode;
        }
        if (pWriter && nOutSize > 0) {
            pWriter->Post(fpOut, m_pbyOut.Get(), (size_t)nOutSize);
            std::swap(m_pbyOut.Owned(), m_pbySpare.Owned());
        } else {
            const int nWrite = Write(fpOut, nOutSize, m_steps.pszWriteReason);
            if (VOMU_OK != nWrite) return nWrite;
        }
        if (bShortRead) {
            const int nLast = Collect(pWriter);
            return VOMU_OK != nLast ? nLast : ReadFailed();
        }
        nBytes -= nPiece;
    }
    return Collect(pWriter);
}

int CipherFileStream::Finish(FILE* fpOut)
{
    int nFinalBlockSize = 0;
    const int nResult = EVP_CipherFinal_ex(m_pCtx, m_pbyOut.Get(), &nFinalBlockSize);
    VOMU_FAIL_IF_OSSL_IN(m_pszFunc, 1 != nResult, m_steps.pszFinalStep, m_steps.nCipherCode);
    const int nWrite = Write(fpOut, nFinalBlockSize, m_steps.pszFinalWriteReason);
    if (VOMU_OK != nWrite) return nWrite;
    // Bytes still in the stream's buffer have not reached the file: a full disk shows here.
    VOMU_FAIL_IF_IN(m_pszFunc, 0 != fflush(fpOut) || ferror(fpOut), "fflush", VOMU_E_FAIL);
    return VOMU_OK;
}

}  // namespace morv
