#ifndef MORV_CIPHER_FILE_STREAM_H
#define MORV_CIPHER_FILE_STREAM_H

// The file road of every symmetric cipher: an initialised cipher context, reused buffers of
// one piece (FILE_PIECE_SIZE bytes in, one piece and one block out) and the checked writes of the
// output. Pieces go from stdio straight through the cipher into the output's buffer: no copy
// beyond what the cipher itself does. A large input has its pieces written by a second thread
// while the next one is read and ciphered (a second output buffer); its log and results are
// those of the one-thread road, which small inputs and a thread that cannot start take.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>

#include "OperationsCommon.h"
#include "operations/DataEncryption.h"
#include "OsslPtr.h"
#include "PieceWriter.h"
#include "SecretArray.h"

namespace morv {

// The step texts, reasons and codes that one caller's log shows.
struct CipherStreamSteps {
    const char* pszMemoryReason;     // "New memory" of the buffers
    const char* pszReadReason;       // "fread"
    bool bUseShortRead;              // a short read passes what it read through, then fails
    const char* pszUpdateStep;       // "EVP_EncryptUpdate" / "EVP_DecryptUpdate"
    const char* pszFinalStep;
    int nCipherCode;                 // update and final failures
    const char* pszWriteStep;
    const char* pszWriteReason;
    const char* pszFinalWriteReason;
};

class CipherFileStream {
public:
    // The lines of the steps carry pszFunc, the name of the function whose steps they are.
    CipherFileStream(const char* pszFunc, EVP_CIPHER_CTX* pCtx, const CipherStreamSteps& steps)
        : m_pszFunc(pszFunc), m_pCtx(pCtx), m_steps(steps)
    {
    }
    // VOMU_OK or VOMU_E_FAIL (memory).
    int Allocate();
    // nBytes from fpIn's position through the cipher into fpOut. VOMU_OK, VOMU_E_READ_FILE,
    // the cipher code, VOMU_E_FAIL (a short write).
    int Pump(FILE* fpIn, uint64_t nBytes, FILE* fpOut);
    // The last block, its write and the flush of fpOut.
    int Finish(FILE* fpOut);
    // Bytes written to the output so far.
    uint64_t Written() const { return m_nWritten; }

private:
    int Write(FILE* fpOut, int nBytes, const char* pszReason);
    int WriteFailed(const char* pszReason);
    int ReadFailed();
    int Collect(PieceWriter* pWriter);
    bool StartWriter(uint64_t nBytes, PieceWriter* pWriter);

    const char* m_pszFunc;
    EVP_CIPHER_CTX* m_pCtx;
    const CipherStreamSteps& m_steps;
    SecretArray m_pbyIn;     // plaintext when encrypting
    SecretArray m_pbyOut;    // plaintext when decrypting
    SecretArray m_pbySpare;  // the other output buffer while a writer thread runs
    uint64_t m_nWritten = 0;
};

// GetEVPCipherbyNID with the caller's step line; the lines of these three carry pszFunc, the
// name of the function whose steps they are. VOMU_OK or its code.
int GetCipher(const char* pszFunc, int nSymAlgNID, const char* pszStep,
              OsslPtr<EVP_CIPHER>* ppEvpCipher);

// The decryptors read the cipher's key length from the key whatever its size says, and the IV
// of a CBC cipher: a shorter key or a missing one is VOMU_E_INVALID_ARG.
int CheckDecryptKey(const char* pszFunc, const EVP_CIPHER* pEvpCipher, const unsigned char* pbyIV,
                    const unsigned char* pbySymKey, int nSymKeyDataSize);

// A cipher context set up for one direction (bEncrypt) with key and IV. VOMU_OK or nInitCode.
int InitCipherContext(const char* pszFunc, const EVP_CIPHER* pEvpCipher, const unsigned char* pbyIV,
                      const unsigned char* pbySymKey, bool bEncrypt, int nInitCode,
                      OsslPtr<EVP_CIPHER_CTX>* ppCtx);

}  // namespace morv

#endif
