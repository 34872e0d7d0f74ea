#ifndef MORV_DATA_ENCRYPTION_H
#define MORV_DATA_ENCRYPTION_H

// SM4-CBC helpers of the operations layer: result codes and one step line per step.
// Outputs are new[] arrays handed over only on success (release with delete[]); lengths are
// int. IVs and keys are 16 bytes; every helper checks the sizes it is given.

// PKCS#7-padded SM4-CBC through the library cipher of the kernel context: (n / 16 + 1) * 16
// bytes out. VOMU_OK, VOMU_E_INVALID_ARG (sizes, null pointers) or VOMU_E_FAIL (memory, a
// failed cipher step, the kernel not running).
int SM4_Encrypt_CBC(const unsigned char* pbyData, int nDataSize, const unsigned char* pbyIV,
                    int nIVSize, const unsigned char* pbySymKey, int nSymKeySize,
                    unsigned char** ppbyOut, int* pnOutSize);
// The inverse; a wrong key or damaged data normally fails the padding check (VOMU_E_FAIL).
int SM4_Decrypt_CBC(const unsigned char* pbyData, int nDataSize, const unsigned char* pbyIV,
                    int nIVSize, const unsigned char* pbySymKey, int nSymKeySize,
                    unsigned char** ppbyOut, int* pnOutSize);

// Whole blocks with our own round keys, no padding: nDataSize must be a multiple of 16.
int SM4_Encrypt_CBC_Nopadding(const unsigned char* pbyData, int nDataSize,
                              const unsigned char* pbyIV, int nIVSize,
                              const unsigned char* pbySymKey, int nSymKeySize,
                              unsigned char** ppbyOut, int* pnOutSize);
int SM4_Decrypt_CBC_Nopadding(const unsigned char* pbyData, int nDataSize,
                              const unsigned char* pbyIV, int nIVSize,
                              const unsigned char* pbySymKey, int nSymKeySize,
                              unsigned char** ppbyOut, int* pnOutSize);

// SM4_Encrypt_CBC / SM4_Decrypt_CBC under K = SM3(password || 00000001) (the SM2 KDF, 256
// bits, no salt): IV = K[0..15], key = K[16..31]. An empty password is allowed.
int SM4EncryptByPin(const unsigned char* pbyData, int nDataSize, const char* pszPin,
                    unsigned char** ppbyOut, int* pnOutSize);
int SM4DecryptByPin(const unsigned char* pbyData, int nDataSize, const char* pszPin,
                    unsigned char** ppbyOut, int* pnOutSize);

#endif
