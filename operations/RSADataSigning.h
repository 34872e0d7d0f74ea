#ifndef MORV_RSA_DATA_SIGNING_H
#define MORV_RSA_DATA_SIGNING_H

// Digests by hash algorithm number, RSA PKCS#1 v1.5 signatures and RSA PKCS#7 SignedData.
//
// Hash numbers are the crypto library's object numbers: NID_md5, NID_sha1, NID_sha256,
// NID_sha384, NID_sha512 and NID_ChinaSM3 (our SM3, without the Z value). Every digest,
// key operation and PKCS#7 object runs in the kernel's library context.
//
// All functions but PKCS7_sign_ex and PKCS7_verify_signature return VOMU_OK or a failure
// code and write their outputs only on success. Byte and text outputs are new[] arrays that
// become the caller's (delete[], FreeMemory); Base64 texts are NUL-terminated. Signing keys
// are RSA keys (EVP_PKEY); PKCS#12 files are open streams read from their position; files to
// hash, sign or verify are open, seekable streams read from their first byte, whatever their
// size.
#include <cstdio>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "OperationsCommon.h"

// ---- Digests by number ----

// The digest of a hash number, fetched in the kernel's context; the reference is the
// caller's (EVP_MD_free). VOMU_OK or VOMU_E_BAD_HASH_ALG.
int GetEVPMDbyNID(int nHashNID, EVP_MD** ppEvpMD);

// The digestAlgorithm and digestEncryptionAlgorithm identifiers of a SignerInfo for a hash
// number, as dotted text in two new 512-byte arrays. Without bExact the second one is
// rsaEncryption (1.2.840.113549.1.1.1); with it the hash's own WithRSAEncryption identifier
// (SHA-1 keeps rsaEncryption). SM3 has no row here. VOMU_OK, VOMU_E_BAD_HASH_ALG, VOMU_E_FAIL.
int GetAlgOIDbyHashNID(int nHashNID, char** ppszDigestAlg, char** ppszDigestEncryptionAlg,
                       bool bExact);

// The digest of nDataSize bytes (0 allowed) in a new array. VOMU_OK, VOMU_E_BAD_HASH_ALG,
// VOMU_E_INVALID_ARG (null outputs, a negative size, null data with a size), VOMU_E_FAIL.
int CalculateDataHash(const unsigned char* pbyData, int nDataSize, int nHashNID,
                      unsigned char** ppbyHashValue, int* pnHashSize);

// The digest of the whole file read to its end (any size, whatever the size query said; the
// stream is left at its end) in a new array. VOMU_OK, VOMU_E_BAD_HASH_ALG, GetFileSize_Ex's
// codes, VOMU_E_READ_FILE (a stream error), VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int CalculateFileHash(FILE* fpSourceFile, int nHashNID, unsigned char** ppbyHashValue,
                      int* pnHashSize);

// ---- RSA PKCS#1 v1.5 signatures (the DigestInfo of the hash number's digest) ----
// A signature is as long as the key's modulus. Signing checks the PKCS#12 certificate's
// digitalSignature key usage; verification checks the signature alone (no key usage, time or
// chain). Signing codes: VOMU_E_BAD_HASH_ALG, the PKCS#12 reader's codes (a wrong password
// gives VOMU_E_FAIL), VOMU_E_KEY_USAGE, VOMU_E_FAIL (no certificate, no RSA private key,
// a library failure), the file digest's codes. Verification: VOMU_E_BAD_SIGNATURE for a
// signature that does not verify, VOMU_E_FAIL for a certificate that is not a DER RSA
// certificate; a digest failure gives VOMU_E_FAIL on the data road and the digest's own code
// (VOMU_E_BAD_HASH_ALG, VOMU_E_READ_FILE, ...) on the file road.

int RSA_SignData_PKCS1_ByPrivateKey(const unsigned char* pbyData, int nDataSize,
                                    EVP_PKEY* pRsaPrivKey, int nHashNID,
                                    unsigned char** ppbySignature, int* pnSignatureSize);
int RSA_SignData_PKCS1_ByPFX(const unsigned char* pbyData, int nDataSize, FILE* fpPFXFile,
                             const char* pszPassword, int nHashNID,
                             unsigned char** ppbySignature, int* pnSignatureSize);
// The signature as Base64 (Base64EncodeEx's flags); pnBase64Size may be null.
int RSA_SignData_PKCS1(const unsigned char* pbyData, int nDataSize, FILE* fpPFXFile,
                       const char* pszPassword, int nHashNID, unsigned long dwBase64Flags,
                       char** ppszBase64Signature, int* pnBase64Size);

int RSA_VerifyDataSignature_PKCS1_ByX509(const unsigned char* pbyData, int nDataSize,
                                         X509* pX509Cert, int nHashNID,
                                         const unsigned char* pbySignature, int nSignatureSize);
int RSA_VerifyDataSignature_DERPKCS1_ByDERCert(const unsigned char* pbyData, int nDataSize,
                                               const unsigned char* pbyCert, int nCertSize,
                                               int nHashNID, const unsigned char* pbySignature,
                                               int nSignatureSize);
// Certificate (DER) and signature as Base64 text.
int RSA_VerifyDataSignature_PKCS1(const unsigned char* pbyData, int nDataSize,
                                  const char* pszBase64CertContent, int nHashNID,
                                  const char* pszBase64Signature);

int RSA_SignFile_PKCS1_ByPrivateKey(FILE* fpSourceFile, EVP_PKEY* pRsaPrivKey, int nHashNID,
                                    unsigned char** ppbySignature, unsigned int* pnSignatureSize);
int RSA_SignFile_PKCS1_ByPFX(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPassword,
                             int nHashNID, unsigned char** ppbySignature,
                             unsigned int* pnSignatureSize);
int RSA_SignFile_PKCS1(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPassword,
                       int nHashNID, unsigned long dwBase64Flags, char** ppszBase64Signature);

int RSA_VerifyFileSignature_PKCS1_ByX509(FILE* fpSourceFile, X509* pX509Cert, int nHashNID,
                                         const unsigned char* pbySignature, int nSignatureSize);
int RSA_VerifyFileSignature_PKCS1_ByDERCertContent(FILE* fpSourceFile,
                                                   const unsigned char* pbyCert, int nCertSize,
                                                   int nHashNID,
                                                   const unsigned char* pbySignature,
                                                   int nSignatureSize);
int RSA_VerifyFileSignature_PKCS1(FILE* fpSourceFile, const char* pszBase64CertContent,
                                  int nHashNID, const char* pszBase64Signature);

// ---- RSA PKCS#7 SignedData ----

namespace morv {

// The library's PKCS#7 signing (PKCS7_sign) with the digest chosen by hash number (SHA-1,
// SHA-256, SHA-384, SHA-512 only), the object made in the kernel's context. Flags are the
// library's PKCS7_* flags (PKCS7_NOCERTS, PKCS7_DETACHED, PKCS7_BINARY, PKCS7_NOATTR,
// PKCS7_STREAM, PKCS7_PARTIAL, ...). pKey null adds no signer; pCerts (may be null) are added
// unless PKCS7_NOCERTS. A new object (PKCS7_free), or null with the reason on the library's
// error queue ("unknown digest type", "pkcs7 add signer error", ...).
PKCS7* PKCS7_sign_ex(X509* pSignCert, EVP_PKEY* pKey, STACK_OF(X509)* pCerts, BIO* pData,
                     int nHashNID, int nFlags);

}  // namespace morv

// Every SignerInfo of p7 verified over the content (pData for a detached object, null for an
// attached one) with its certificate found in p7 by issuer and serial number; nothing else is
// examined. 0 when every signer verifies, -1 otherwise (the reason on the library's error
// queue). pData stays the caller's.
int PKCS7_verify_signature(PKCS7* p7, BIO* pData);

// SignedData DER of the data with the certificate and key, attached (content inside) or
// detached, no signed attributes, the signer's certificate as the only certificate. The
// certificate needs digitalSignature (VOMU_E_KEY_USAGE); a hash other than SHA-1/256/384/512
// gives VOMU_E_FAIL.
int RSA_SignData_PKCS7_ByKeyPair(const unsigned char* pbyData, int nDataSize, X509* pX509Cert,
                                 EVP_PKEY* pPrivKey, int nHashNID, bool bAttached,
                                 unsigned char** ppbyDERSignature, int* pnDERSignatureSize);
int RSA_SignData_PKCS7_ByPFX(const unsigned char* pbyData, int nDataSize, FILE* fpPFXFile,
                             const char* pszPassword, int nHashNID, bool bAttached,
                             unsigned char** ppbyDERSignature, int* pnDERSignatureSize);
// The DER as Base64 text; pnBase64Size may be null.
int RSA_SignData_PKCS7(const unsigned char* pbyData, int nDataSize, FILE* fpPFXFile,
                       const char* pszPassword, int nHashNID, bool bAttached,
                       unsigned long dwBase64Flags, char** ppszBase64Signature,
                       int* pnBase64Size);

// Verification of the data roads: every SignerInfo over the caller's data (detached) or the
// embedded content (attached, handed back); the signers' certificates are taken from the
// SignedData, their chain, validity and key usage not examined. The first signer's
// certificate DER is handed back. Each output pointer may be null; a length whose array is
// not asked for receives 0. VOMU_OK, VOMU_E_BAD_SIGNATURE, VOMU_E_FAIL (not a PKCS#7
// object, memory), the Base64 decoder's codes.
int RSA_VerifyDataSignature_DERPKCS7Detached(const unsigned char* pbyDERSignature,
                                             int nDERSignatureSize, const unsigned char* pbyData,
                                             int nDataSize, unsigned char** ppbySignCert,
                                             int* pnSignCertSize);
int RSA_VerifyDataSignature_PKCS7Detached(const char* pszBase64Signature,
                                          const unsigned char* pbyData, int nDataSize,
                                          unsigned char** ppbySignCert, int* pnSignCertSize);
int RSA_VerifyDataSignature_DERPKCS7Attached(const unsigned char* pbyDERSignature,
                                             int nDERSignatureSize, unsigned char** ppbySourceData,
                                             int* pnSourceDataSize, unsigned char** ppbySignCert,
                                             int* pnSignCertSize);
int RSA_VerifyDataSignature_PKCS7Attached(const char* pszBase64Signature,
                                          unsigned char** ppbySourceData, int* pnSourceDataSize,
                                          unsigned char** ppbySignCert, int* pnSignCertSize);

// Detached SignedData of a file, written by our own SignedData writer over the streamed file
// digest: identifiers from GetAlgOIDbyHashNID (MD5 and the SHA family; SM3 gives
// VOMU_E_BAD_HASH_ALG), no attributes, the PKCS#1 signature as an OCTET STRING. Null streams
// give VOMU_E_INVALID_ARG.
int RSA_SignFile_PKCS7Detached_ByPFX(FILE* fpSourceFile, FILE* fpPFXFile,
                                     const char* pszPassword, int nHashNID, bool bExact,
                                     unsigned char** ppbyDERSignature, int* pnDERSignatureSize);
int RSA_SignFile_PKCS7Detached(FILE* fpSourceFile, FILE* fpPFXFile, const char* pszPassword,
                               int nHashNID, bool bExact, unsigned long dwBase64Flags,
                               char** ppszBase64Signature);

// The first SignerInfo's PKCS#1 signature over the file digest, the certificate the parser
// selects, the hash by the digest algorithm's identifier. VOMU_OK, VOMU_E_PKCS7_FORMAT (the
// parser's refusals, attached content, an unknown digest identifier), VOMU_E_BAD_SIGNATURE,
// VOMU_E_FAIL (no certificate), the file digest's codes, the Base64 decoder's codes.
int RSA_VerifyFileSignature_DERPKCS7Detached(const unsigned char* pbyDERSignature,
                                             int nDERSignatureSize, FILE* fpSourceFile,
                                             unsigned char** ppbySignCert, int* pnSignCertSize);
int RSA_VerifyFileSignature_PKCS7Detached(const char* pszBase64Signature, FILE* fpSourceFile,
                                          unsigned char** ppbySignCert, int* pnSignCertSize);

#endif
