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

// Whole files through the cipher in pieces of FILE_PIECE_SIZE bytes, never held in memory. The input
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

// ============================ SM2 encryption and SM2 CMS envelopes ============================
// SM2 ciphertexts of an n-byte message (GB/T 32918.4; C1 = (x1, y1), 32-byte fields):
//   SM2RawCiphertext     x1 || y1 || C2 || C3         96 + n bytes (SM2_Encrypt, SM2_Decrypt)
//   SM2C1C3C2Ciphertext  04 || x1 || y1 || C3 || C2   97 + n bytes (_SM2_encrypt_v2, _SM2_decrypt_v2)
// A public point off the SM2 curve and an empty message are refused; decryption that fails its
// C3 check leaves no plaintext behind.
//
// SM2 envelopes: CMS EnvelopedData of type 1.2.156.10197.6.1.4.2.3 for one recipient named by
// its certificate's subject key identifier; the content under SM4-CBC (1.2.156.10197.1.104,
// PKCS#7 padding, the IV as OCTET STRING parameters) with a fresh random IV and key, the key
// SM2-encrypted (1.2.156.10197.1.301.3) in the form fSM2EncEncodedType chooses. The stored form
// carries no mark of its own: the same value must be given to open the envelope. The recipient
// certificate (DER or PEM) must allow keyEncipherment (VOMU_E_KEY_USAGE). Opening takes the
// private key from an SM2 key file (no key usage is tested); the password is never logged and
// the decrypted keys are wiped. Outputs are new[] arrays handed over only on success.
#include <openssl/bn.h>

#include "vomu_export.h"

#define SM2_ENC_ENCODED_RAW       0x10000  // the 112-byte SM2RawCiphertext of the key
#define SM2_ENC_ENCODED_SM2CIPHER 0x20000  // its DER SM2Cipher

// VOMU_OK or VOMU_E_FAIL (every failure, an off-curve point and an empty message included).
int SM2_Encrypt(const unsigned char* pbyPlainData, int nPlainDataSize,
                const unsigned char* pbyPubKeyX, int nPubKeyXSize,
                const unsigned char* pbyPubKeyY, int nPubKeyYSize,
                unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize);
// VOMU_OK or VOMU_E_FAIL (at most 96 bytes, a wrong key, a damaged ciphertext).
int SM2_Decrypt(const unsigned char* pbyEncryptedData, int nEncryptedDataSize,
                const unsigned char* pbyPrivateKey, int nPrivateKeySize,
                unsigned char** ppbyPlainData, int* pnPlainDataSize);

// VOMU_OK; VOMU_E_KEY_USAGE; VOMU_E_FAIL (no subject key identifier or SM2 key, an off-curve
// point, random, SM2 or SM4 failures); VOMU_E_INVALID_ARG (an unlisted fSM2EncEncodedType);
// the envelope writer's codes.
int EncryptDataToDerCMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                const unsigned char* pbyCert, int nCertSize,
                                unsigned long fSM2EncEncodedType,
                                unsigned char** ppbyDerCMSEnvelope, int* pnDerCMSEnvelopeSize);
// The recipient and the algorithms are not compared: the key file's key is tried. VOMU_OK;
// the envelope reader's VOMU_E_ENVELOPE_FORMAT or VOMU_E_FAIL; the key-file codes
// (VOMU_E_READ_FILE, VOMU_E_BASE64_DECODE, VOMU_E_SM2PFX_FORMAT, VOMU_E_SM2PFX_PASSWORD);
// VOMU_E_INVALID_ARG (fSM2EncEncodedType); VOMU_E_FAIL (another recipient's key, a damaged
// key or content); VOMU_E_ENVELOPE_FORMAT (IV or key not 16 bytes).
int DecryptDerCMSEnvelopeData(const unsigned char* pbyDerCMSEnvelope, int nDerCMSEnvelopeSize,
                              FILE* fpSM2PFXFile, const char* pszPassword,
                              unsigned long fSM2EncEncodedType, unsigned char** ppbyPlainData,
                              int* pnPlainDataSize);
// The same around Base64 text (Base64EncodeEx's flags; the decoder skips line breaks).
int EncryptDataToBase64CMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                   const unsigned char* pbyCert, int nCertSize,
                                   unsigned long fSM2EncEncodedType, char** ppszBase64CMSEnvelope,
                                   int* pnBase64Size, unsigned long dwBase64Flags);
int DecryptBase64CMSEnvelopeData(const char* pszBase64CMSEnvelope, int nBase64Size,
                                 FILE* fpSM2PFXFile, const char* pszPassword,
                                 unsigned long fSM2EncEncodedType, unsigned char** ppbyPlainData,
                                 int* pnPlainDataSize);

// The whole plain file (from its first byte) as a complete DER envelope written at the output
// stream's position: the header declaring (n & ~15) + 16 ciphertext bytes, then the ciphertext
// streamed in pieces of FILE_PIECE_SIZE bytes. Every write and the final flush are checked; on
// failure the stream keeps what was written before. Besides the memory road's codes:
// VOMU_E_WRITE_FILE (the header), VOMU_E_READ_FILE, VOMU_E_FILE_TOO_LARGE (a ciphertext over
// INT_MAX bytes), VOMU_E_FAIL (a ciphertext write or the flush), GetFileSize_Ex's codes.
int EncryptFileToDerCMSEnvelope(FILE* fpPlainFile, const unsigned char* pbyCert, int nCertSize,
                                unsigned long fSM2EncEncodedType, FILE* fpCMSEnvelopeFile);
// An envelope filling the stream from its first byte, decrypted where it lies into the plain
// stream at its position. The recipient must be the key file's certificate
// (VOMU_E_ENVELOPE_RECIPIENT) and the algorithms SM2 and SM4-CBC (VOMU_E_ENVELOPE_FORMAT).
int DecryptDerCMSEnvelopeFile(FILE* fpCMSEnvelope, FILE* fpSM2PFXFile, const char* pszPassword,
                              unsigned long fSM2EncEncodedType, FILE* fpPlainFile);

// The crypto library's manner: 1 or 0, no log. The caller's buffer holds 97 + n bytes; x, y
// and d are the public point and private key on the curve nCurveNID.
VOMU_BEGIN_C
VOMU_EXPORT int _SM2_encrypt_v2(int nCurveNID, const unsigned char* pbyMessage,
                                unsigned int nMessageLen, const BIGNUM* x, const BIGNUM* y,
                                unsigned char* pbyCipher);
VOMU_EXPORT int _SM2_decrypt_v2(int nCurveNID, const unsigned char* pbyCipher,
                                unsigned int nCipherLen, const BIGNUM* d,
                                unsigned char* pbyPlainData);
VOMU_END_C
// ======================== end of SM2 encryption and SM2 CMS envelopes ======================

#endif
