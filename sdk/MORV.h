#ifndef MORV_H
#define MORV_H

/* The flat interface of the MORV security SDK for native callers (C and C++).
 *
 * Every function but FreeMemory returns a result code (vomu_result.h): VOMU_OK (0) or a
 * failure. Text parameters are NUL-terminated; byte inputs come with an int length, which
 * must be positive. Algorithm, hash, cipher and information names are compared without
 * regard to ASCII case. A NULL password is read as the empty password.
 *
 * Ownership: every buffer a function hands out (text NUL-terminated, bytes with their length)
 * is allocated by the SDK and becomes the caller's, who releases it with FreeMemory. Outputs
 * are written only on success; the functions that clear their outputs first (noted below)
 * leave them NULL and 0 after a failure.
 *
 * Threads: Initialize and Uninitialize may be called while other threads are inside calls;
 * calls meanwhile fail with their usual failure code. Each of the functions below holds the
 * kernel for the whole call: Uninitialize waits for the calls in flight to finish before it
 * frees anything, and a call that begins while the kernel is stopped, starting or stopping
 * fails at once (it never waits for a start) with the code a failed step of its road gives:
 *   VOMU_E_SIGN           SignData_PKCS1, SignData_PKCS7Detached, SignData_PKCS7Attached,
 *                         SignAndEncryptData
 *   VOMU_E_BAD_SIGNATURE  VerifyDataSignature_PKCS1, VerifyDataSignature_PKCS7Detached,
 *                         VerifyDataSignature_PKCS7Attached
 *   VOMU_E_ENCRYPT        EncryptDataToCMSEnvelope
 *   VOMU_E_DECRYPT        DecryptDataFromCMSEnvelope, DecryptAndVerifyDataSignature
 *   VOMU_E_CERT_VERIFY    VerifyCertificate
 *   VOMU_E_CERT_INFO      GetCertificateInfo
 *   VOMU_E_FAIL           SignFile_PKCS7Detached, VerifyFileSignature_PKCS7Detached,
 *                         GetPublicCertFromPFX, SymEncryptFile, SymDecryptFile
 * The same holds for the PHP functions (through these, and the two hash functions directly:
 * VOMU_E_FAIL for MD5, SHA-1 and SHA-256; SM3 needs no kernel). The exported SM2 primitives
 * (_SM2_sign, _SM2_sign_ex, _SM2_verify, _SM2_verify_ex, _SM2_encrypt, _SM2_decrypt,
 * _SM2_generate_key, _SM2_generate_keypair, _SM2_point_is_on_curve,
 * _SM2_generate_temp_keypair, _SM2_KEP_calculate_t, _SM2_KEP_calculate_point_V) and the SM2
 * key-file readers (DecryptKeyPairFromSM2PFX, DecryptSM2PFX) hold the kernel while it runs and
 * otherwise work without it, as they always have. Initialize, Uninitialize, FreeMemory and
 * ConvertStringToBinaryData use no kernel. Uninitialize called from inside a call (a stop
 * hook, say) would wait for itself: it returns VOMU_E_FAIL and stops nothing. */
#include "vomu_export.h"
#include "vomu_result.h"

#ifndef __cplusplus
#include <stdbool.h>
#endif

/* Flag bits of VerifyCertificate. */
#define CERT_VERIFY_FLAG_TIME  1
#define CERT_VERIFY_FLAG_CRL   2
#define CERT_VERIFY_FLAG_CHAIN 4

VOMU_BEGIN_C

/* --- start-up, shut-down, buffers, hex text --- */

/* Starts logging from ./vomulog.conf (else the file $VOMU_LOG_CONF_PATH names; the SDK runs
 * without logging when neither exists) and the SM kernel. May be called again: VOMU_OK. */
VOMU_EXPORT int Initialize(void);
/* Stops the kernel (after the calls in flight), then logging; VOMU_OK also when nothing was
 * running. */
VOMU_EXPORT int Uninitialize(void);
/* Releases a buffer the SDK handed out; NULL is ignored. */
VOMU_EXPORT void FreeMemory(void* pvMemory);
/* Hex text (either case; an odd last digit is ignored) to bytes, in reverse order when
 * bReverse. *ppbyBinaryData: caller's (FreeMemory), four zero bytes after the data.
 * VOMU_OK, VOMU_E_INVALID_ARG (NULL, empty or non-hex text), VOMU_E_FAIL. */
VOMU_EXPORT int ConvertStringToBinaryData(const char* pszHexString, unsigned char** ppbyBinaryData,
                                          int* pnBinaryDataLen, bool bReverse);

/* --- signatures (algorithm "SM2": SM2 key file, SM3 over Z and the data; "RSA": PKCS#12 file
 * and pszHashAlg "SHA-1" or "SHA-256", not read on the SM2 road) --- */

/* PKCS#1 signature of the data as Base64 text without line breaks in *ppszBase64PKCS1Signature
 * (cleared first; the caller's on success, FreeMemory). VOMU_E_SIGN for a generic signing
 * failure, VOMU_E_KEY_USAGE for a certificate without digitalSignature, VOMU_E_OPEN_FILE,
 * VOMU_E_INVALID_ARG, the key file's codes. */
VOMU_EXPORT int SignData_PKCS1(const char* pszAlgorithm, const unsigned char* pbySourceData, int nSourceSize,
                               const char* pszPFXFilePath, const char* pszPFXPassword, const char* pszHashAlg,
                               char** ppszBase64PKCS1Signature);
/* PKCS#7 SignedData without the data, as SignData_PKCS1. */
VOMU_EXPORT int SignData_PKCS7Detached(const char* pszAlgorithm, const unsigned char* pbySourceData,
                                       int nSourceSize, const char* pszPFXFilePath, const char* pszPFXPassword,
                                       const char* pszHashAlg, char** ppszBase64PKCS7DetachedSignature);
/* PKCS#7 SignedData holding the data, as SignData_PKCS1. */
VOMU_EXPORT int SignData_PKCS7Attached(const char* pszAlgorithm, const unsigned char* pbySourceData,
                                       int nSourceSize, const char* pszPFXFilePath, const char* pszPFXPassword,
                                       const char* pszHashAlg, char** ppszBase64PKCS7AttachedSignature);
/* VOMU_OK when the PKCS#1 signature of the data verifies with the certificate; else
 * VOMU_E_BAD_SIGNATURE or another failure. No output. */
VOMU_EXPORT int VerifyDataSignature_PKCS1(const char* pszAlgorithm, const unsigned char* pbySourceData,
                                          int nSourceSize, const char* pszBase64CertContent,
                                          const char* pszHashAlg, const char* pszBase64PKCS1Signature);
/* VOMU_OK when the detached signature verifies; the signer's certificate as Base64 text in
 * *ppszBase64SignCertContent when that is not NULL (cleared first; caller's, FreeMemory). */
VOMU_EXPORT int VerifyDataSignature_PKCS7Detached(const char* pszAlgorithm, const unsigned char* pbySourceData,
                                                  int nSourceSize, const char* pszBase64PKCS7DetachedSignature,
                                                  char** ppszBase64SignCertContent);
/* VOMU_OK when the attached signature verifies; every name but "SM2" is read as "RSA". Each
 * output may be NULL and is cleared first: the signer's certificate as Base64 text, the signed
 * content and its length (caller's, FreeMemory). */
VOMU_EXPORT int VerifyDataSignature_PKCS7Attached(const char* pszAlgorithm,
                                                  const char* pszBase64PKCS7AttachedSignature,
                                                  char** ppszBase64SignCertContent, unsigned char** ppbySourceData,
                                                  int* pnSourceDataSize);
/* Detached PKCS#7 signature of a file's content. *ppszBase64PKCS7DetachedSignature is written
 * on success only (never cleared); a generic failure is VOMU_E_FAIL. */
VOMU_EXPORT int SignFile_PKCS7Detached(const char* pszAlgorithm, const char* pszSourceFilePath,
                                       const char* pszPFXFilePath, const char* pszPFXPassword,
                                       const char* pszHashAlg, char** ppszBase64PKCS7DetachedSignature);
/* VOMU_OK when the detached signature verifies over the file's content (an invalid SM2
 * signature gives VOMU_E_FAIL); the certificate as in VerifyDataSignature_PKCS7Detached. */
VOMU_EXPORT int VerifyFileSignature_PKCS7Detached(const char* pszAlgorithm, const char* pszSourceFilePath,
                                                  const char* pszBase64PKCS7DetachedSignature,
                                                  char** ppszBase64SignCertContent);

/* --- CMS envelopes ("SM2": SM4-CBC content, SM2 key transport, SM2 key file; "RSA":
 * pszSymEncAlg "3DES" or "RC4", not read on the SM2 road, RSA key transport, PKCS#12 file) --- */

/* The data sealed for the certificate's holder, as Base64 text in *ppszBase64CMSEnvelope
 * (cleared first; caller's, FreeMemory). VOMU_E_ENCRYPT for a generic failure. */
VOMU_EXPORT int EncryptDataToCMSEnvelope(const char* pszAlgorithm, const unsigned char* pbyPlainData,
                                         int nPlainDataSize, const char* pszBase64CertContent,
                                         const char* pszSymEncAlg, char** ppszBase64CMSEnvelope);
/* The content of an envelope opened with the recipient's key file, with its length (both
 * cleared first; caller's, FreeMemory). VOMU_E_DECRYPT for a generic failure. */
VOMU_EXPORT int DecryptDataFromCMSEnvelope(const char* pszAlgorithm, const char* pszBase64CMSEnvelope,
                                           const char* pszPFXFilePath, const char* pszPFXPassword,
                                           unsigned char** ppbyPlainData, int* pnPlainDataSize);
/* An attached PKCS#7 signature of the data (signer's key file; pszHashAlg on the RSA road)
 * sealed for the certificate's holder, as Base64 text (cleared first; caller's, FreeMemory). */
VOMU_EXPORT int SignAndEncryptData(const char* pszAlgorithm, const unsigned char* pbyPlainData, int nPlainDataSize,
                                   const char* pszSignPFXFilePath, const char* pszSignPFXPassword,
                                   const char* pszHashAlg, const char* pszBase64EncryptCertContent,
                                   const char* pszSymEncAlg, char** ppszBase64SignedAndEncryptedResult);
/* Opens what SignAndEncryptData made and verifies the signature inside: the signed content and
 * its length (cleared first; caller's, FreeMemory). */
VOMU_EXPORT int DecryptAndVerifyDataSignature(const char* pszAlgorithm, const char* pszBase64SignedAndEncryptedResult,
                                              const char* pszDecryptPFXFilePath, const char* pszDecryptPFXPassword,
                                              unsigned char** ppbyPlainData, int* pnPlainDataSize);

/* --- certificates (given and returned as Base64 text of DER or PEM) --- */

/* The checks nCertVerifyFlag asks for, in the order time, CRL (pszCRLFilePath: one CRL, PEM or
 * DER), chain (pszTrustedCACertFilePath: trusted CA files separated by "|"); a path whose bit
 * is clear is not read. VOMU_OK when every check passed, else the first failure:
 * VOMU_E_CERT_TIME, VOMU_E_CERT_REVOKED, VOMU_E_CERT_CHAIN, VOMU_E_CERT_VERIFY (generic),
 * VOMU_E_INVALID_ARG, VOMU_E_OPEN_FILE, a Base64 code. No output. */
VOMU_EXPORT int VerifyCertificate(const char* pszBase64CertContent, unsigned int nCertVerifyFlag,
                                  const char* pszTrustedCACertFilePath, const char* pszCRLFilePath);
/* One fact as text: "CertType" ("SM2" or "RSA"), "SubjectDN", "SubjectCN", "IssuerDN",
 * "SerialNumber" (upper-case hex), "ValidFrom", "ValidTo" (ctime text in local time, without
 * newline). *ppszInfoContent is cleared first, then on success the caller's (FreeMemory).
 * VOMU_E_INVALID_ARG for another name, VOMU_E_CERT_INFO (generic), the readers' codes. */
VOMU_EXPORT int GetCertificateInfo(const char* pszBase64CertContent, const char* pszInfoType,
                                   char** ppszInfoContent);
/* The certificate of an SM2 key file ("SM2": the password is not needed) or of a PKCS#12 file
 * ("RSA": VOMU_E_FAIL for a wrong password), as Base64 text without line breaks in
 * *ppszBase64CertContent (caller's, FreeMemory; written on success only). */
VOMU_EXPORT int GetPublicCertFromPFX(const char* pszAlgorithm, const char* pszPFXFilePath,
                                     const char* pszPFXPassword, char** ppszBase64CertContent);

/* --- symmetric file encryption --- */

/* Encrypts the whole plain file (1 to 524,288,000 bytes) into the encrypted file under a fresh
 * key: "3DES_CBC" or "SM4_CBC". The encrypted file is the ciphertext alone (PKCS#7 padding, no
 * header). *ppszSymKey: 64 upper-case hex characters of 32 bytes, IV first, then key (3DES_CBC:
 * IV bytes 0-7, key 8-31; SM4_CBC: IV 0-15, key 16-31); the caller's (FreeMemory), written on
 * success only. An output naming a regular file (or nothing yet) is written to a private
 * temporary file in the directory of its final target (a symlink stays a link) and renamed
 * into place on success, with the replaced file's mode, owner and group: a failed or killed
 * call leaves no output and an existing file untouched. A file with other hard links is
 * replaced under the name given; its other names keep the old content. A device is written
 * directly, a FIFO only when it has a reader (else VOMU_E_OPEN_FILE at once); a directory or a
 * socket is VOMU_E_OPEN_FILE before any work. Inputs must be regular files. Input and output
 * must be different files. VOMU_OK, VOMU_E_INVALID_ARG (a parameter, an unknown name, the same file),
 * VOMU_E_OPEN_FILE, VOMU_E_FILE_TOO_LARGE, VOMU_E_READ_FILE (an empty or unreadable input),
 * VOMU_E_WRITE_FILE, VOMU_E_ENCRYPT, VOMU_E_FAIL. */
VOMU_EXPORT int SymEncryptFile(const char* pszEncAlgorithm, const char* pszPlainFilePath,
                               const char* pszEncryptFilePath, char** ppszSymKey);
/* Decrypts with the key text SymEncryptFile gave (hex in either case) into the plain file,
 * written as the encrypted file above. VOMU_E_FAIL for a key text of another length than 32
 * bytes, VOMU_E_INVALID_ARG for one that is not hex, VOMU_E_DECRYPT for a wrong key or a
 * damaged file, and the codes above. */
VOMU_EXPORT int SymDecryptFile(const char* pszEncAlgorithm, const char* pszEncryptFilePath,
                               const char* pszSymKey, const char* pszPlainFilePath);

VOMU_END_C

#endif
