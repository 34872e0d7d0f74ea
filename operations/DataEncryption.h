#ifndef MORV_OPERATIONS_DATA_ENCRYPTION_H
#define MORV_OPERATIONS_DATA_ENCRYPTION_H

// Encryption operations of the system. Include as "operations/DataEncryption.h" (the SM4
// helpers of the kernel have a header of the same name).
#include <openssl/evp.h>

#include <cstdio>

// ======================== Symmetric encryption of buffers and files ========================
// Content-key lengths of the symmetric ciphers.
#define DES3_KEY_LEN 24
#define RC4_KEY_LEN  16
#define SM4_KEY_LEN  16

// Algorithm numbers are OpenSSL's object numbers; what each function takes:
//
//   number                    key  IV  SymEncrypt  SymDecrypt   SymFileEncrypt  GenerateSymKey
//   NID_rc4 (5)               16   -   key 16      yes          key 16          16 random bytes
//   NID_des_ede3_ecb (33)     24   -   key 24      yes          refused         refused
//   NID_des_ede3_cbc (44)     24   8   key 24      yes          key 24          3 DES keys
//   NID_ChinaSM4_CBC (1134)   16  16   refused     yes          key 16          refused
//                                      (SymFileDecrypt as SymDecrypt)
//
// The block ciphers pad (PKCS#7): n plain bytes give (n / b + 1) * b cipher bytes; RC4 output
// is as long as its input. The IV is read by the CBC ciphers only (null is fine otherwise).
// The decryptors read as many key bytes as the cipher needs: a shorter key is refused.
// RC4 and 3DES come from OpenSSL's "legacy" and "default" providers in the kernel context,
// SM4-CBC from ours. Keys and plaintext are never logged; work buffers are wiped.
// Outputs are new[] arrays handed over only on success (delete[]); lengths are int.

// A reference to the cipher of an algorithm number, fetched in the kernel context; the caller
// releases it (EVP_CIPHER_free). VOMU_OK; VOMU_E_INVALID_ARG (a number not in the table);
// VOMU_E_FAIL (the cipher is not available, e.g. the kernel is stopped).
int GetEVPCipherbyNID(int nSymAlgNID, EVP_CIPHER** ppEvpCipher);

// A new random content key: 16 bytes for RC4, 24 (three DES keys with odd parity) for
// 3DES-CBC. VOMU_OK; VOMU_E_INVALID_ARG (any other number); VOMU_E_FAIL.
int GenerateSymKey(int nSymAlgNID, unsigned char** ppbySymKey, int* pnSymKeySize);

// One-pass encryption of a buffer (RC4, 3DES-ECB, 3DES-CBC). VOMU_OK; VOMU_E_INVALID_ARG
// (number, key length, null pointers, a size whose output would not fit an int);
// VOMU_E_ENCRYPT (a cipher step); VOMU_E_FAIL (memory).
int SymEncrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
               int nSymKeyDataSize, const unsigned char* pbyData, int nDataSize,
               unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize);

// One-pass decryption of a buffer (all four numbers). The output array holds the plaintext
// followed by one 0 byte that the length does not count. VOMU_OK; VOMU_E_INVALID_ARG;
// VOMU_E_DECRYPT (a cipher step, e.g. the padding check after a wrong key); VOMU_E_FAIL.
int SymDecrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
               int nSymKeyDataSize, const unsigned char* pbyEncryptedData,
               int nEncryptedDataSize, unsigned char** ppbyPlainData, int* pnPlainDataSize);

// Whole files through the cipher in pieces of BLOCK_SIZE bytes, never held in memory. The input
// is read from its start, the output written at its current position; the caller owns both
// streams (neither is closed). Every write and the final flush of the output are checked.
// Input files must be 1 byte to 2^32 - 1 bytes long. The encrypted file is the cipher output
// alone (no header). On failure the output keeps what was written before the failing step.
// VOMU_OK; VOMU_E_INVALID_ARG (number, key length, null pointers); VOMU_E_READ_FILE (empty or
// unreadable input); VOMU_E_FILE_TOO_LARGE (2^32 bytes or more); GetFileSize_Ex's code;
// VOMU_E_ENCRYPT (cipher set-up); VOMU_E_FAIL (cipher step, memory, a failed write or flush).
int SymFileEncrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
                   int nbySymKeyDataSize, FILE* fpPlainFile, FILE* fpEncryptedFile);
// As SymFileEncrypt, all four numbers; a wrong key or a damaged or truncated file is found at
// the last block (VOMU_E_DECRYPT) after the earlier pieces were written. VOMU_E_DECRYPT also
// for cipher set-up and steps.
int SymFileDecrypt(int nSymAlgNID, const unsigned char* pbyIV, const unsigned char* pbySymKey,
                   int nSymKeyDataSize, FILE* fpEncryptedFile, FILE* fpPlainFile);

// ====================== end of symmetric encryption of buffers and files ===================

#endif
