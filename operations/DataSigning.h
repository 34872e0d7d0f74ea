#ifndef MORV_OPERATIONS_DATA_SIGNING_H
#define MORV_OPERATIONS_DATA_SIGNING_H

// SM3 digests with and without the signer's Z value, and SM2 signatures of data and files:
// raw r || s, PKCS#1 (raw or SM2Q1, as Base64 text) and PKCS#7 SignedData (attached or
// detached).
//
// Common rules:
// - Every function returns a result code (VOMU_OK is success) except SM2_CalculateZValue.
// - Outputs are written only on success. Byte and text outputs are new[] arrays owned by the
//   caller (delete[], FreeMemory), text NUL-terminated with its length in characters.
// - bWithZ true signs and verifies SM3(Z || message), Z of the signer's public key with the
//   default identity "1234567812345678"; false plain SM3(message).
// - Verification checks the signature against the public key and nothing else: the
//   certificate's validity period, chain, revocation and key usage, and the algorithm
//   identifiers of a SignedData, are not examined. A valid signature gives VOMU_OK, one that
//   does not verify VOMU_E_FAIL; any other code says why no verdict was reached.
// - Key files are streams holding the Base64 text of an SM2_PFX, read whole from their first
//   byte; the password is never logged and the decrypted key is wiped after use. Signing
//   with a key file requires digitalSignature in its certificate (except
//   SignFile_PKCS7Attached_BySM2PFX). Key-file failures: VOMU_E_READ_FILE, VOMU_E_BASE64_DECODE,
//   VOMU_E_SM2PFX_FORMAT, VOMU_E_KEY_USAGE, VOMU_E_SM2PFX_PASSWORD.
// - Streams stay the caller's (never closed); the functions move their positions.
#include <cstdint>
#include <cstdio>

#include "OperationsCommon.h"
#include "SMFileCertOperations.h"
#include "vomu_result.h"

// An SM3 digest, and so every digest an SM2 signature is made over.
#define SM3_HASH_SIZE 32

// fSignatureEncodedType of a PKCS#1 SM2 signature.
#define SM2_SIGNATURE_RAW_RS  1  // the 64 bytes r || s
#define SM2_SIGNATURE_ASN1_Q1 2  // DER SM2Q1 SEQUENCE { INTEGER r, INTEGER s }

// ---- SM3 digests with the Z value ----

// Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA) on the published SM2 curve for the
// caller's identity (at most 8191 bytes) and the 32-byte public coordinates, into 32 bytes.
// 1 on success, 0 on any failure; logs nothing.
int SM2_CalculateZValue(const unsigned char* pbyUserID, int nUserIDLen,
                        const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                        unsigned char* pbyZValue);

// SM3 of nSourceDataSize bytes (Z first with bWithZ; the coordinates are read only then) into
// the caller's 32 bytes pbyHash. VOMU_OK, VOMU_E_INVALID_ARG (null output, negative size,
// missing coordinates with bWithZ), VOMU_E_FAIL (an SM3 or Z step).
int CalculateSM3Hash(const unsigned char* pbySourceData, int nSourceDataSize,
                     const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                     unsigned char* pbyHash, bool bWithZ);

// The same over exactly ulBytesToRead bytes of the stream from its current position, read in
// pieces of BLOCK_SIZE; the stream is left behind the last byte read. Besides the codes
// above: VOMU_E_INVALID_ARG for a null stream, VOMU_E_READ_FILE for a short read or a stream
// error.
int CalculateSM3FileHash(FILE* fpSourceFile, uint64_t ulBytesToRead,
                         const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                         unsigned char* pbyHash, bool bWithZ);

// The same over the whole file from its first byte to its end, whatever the size query and the
// stream's position said (procfs files report 0 bytes). GetFileSize_Ex's codes pass through
// (VOMU_E_INVALID_ARG for a null stream), VOMU_E_READ_FILE for a stream error.
int CalculateSM3FileHashEx(FILE* fpSourceFile, const unsigned char* pbyPublicKeyX,
                           const unsigned char* pbyPublicKeyY, unsigned char* pbyHash,
                           bool bWithZ);

// ---- SM2 raw and PKCS#1 signatures ----
// A key pair (SM2_KEY_PAIR of SMFileCertOperations.h) supplies 32-byte d, x and y (a shorter
// d is left-padded). Raw signatures are 64 bytes r || s. A PKCS#1 signature is r || s or the
// DER SM2Q1 as fSignatureEncodedType chooses, Base64-encoded with dwBase64Flags; an unknown
// type is VOMU_E_INVALID_ARG.

int SignData_Raw_ByKeyPair(const unsigned char* pbySourceData, int nSourceDataSize,
                           const SM2_KEY_PAIR* pSM2KeyPair, unsigned char** ppbySignature,
                           int* pnSignatureSize, bool bWithZ);
int SignData_Raw_BySM2PFX(const unsigned char* pbySourceData, int nSourceDataSize,
                          FILE* fpSM2PFXFile, const char* pszPassword,
                          unsigned char** ppbySignature, int* pnSignatureSize, bool bWithZ);
int SignData_PKCS1_ByKeyPair(const unsigned char* pbySourceData, int nSourceDataSize,
                             const SM2_KEY_PAIR* pSM2KeyPair, char** ppszBase64Signature,
                             int* pnBase64Size, unsigned long dwBase64Flags, bool bWithZ,
                             unsigned long fSignatureEncodedType);
int SignData_PKCS1_BySM2PFX(const unsigned char* pbySourceData, int nSourceDataSize,
                            FILE* fpSM2PFXFile, const char* pszPassword,
                            char** ppszBase64Signature, int* pnBase64Size,
                            unsigned long dwBase64Flags, bool bWithZ,
                            unsigned long fSignatureEncodedType);

// A raw signature must be 64 bytes (else VOMU_E_INVALID_ARG).
int VerifySignature_Raw(const unsigned char* pbySourceData, int nSourceDataSize,
                        const unsigned char* pbyPublicKeyX, const unsigned char* pbyPublicKeyY,
                        const unsigned char* pbyRawSignatureRS, int nRawSignatureRSSize,
                        bool bWithZ);
// The certificate as DER or PEM bytes. 64 signature bytes are r || s; any other length of
// 8 to 72 bytes is DER SM2Q1. A signature outside those lengths, or one that does not decode,
// is VOMU_E_BAD_SIGNATURE before the certificate is read; a certificate without a readable
// SM2 key is VOMU_E_FAIL.
int VerifySignature_DERPKCS1_ByCert(const unsigned char* pbySourceData, int nSourceDataSize,
                                    const unsigned char* pbyCert, int nCertSize,
                                    const unsigned char* pbySignature, int nSignatureSize,
                                    bool bWithZ);
// The same with the certificate and the signature as Base64 text (line breaks allowed).
int VerifySignature_PKCS1_ByCert(const unsigned char* pbySourceData, int nSourceDataSize,
                                 const char* pszBase64Cert, int nCertSize,
                                 const char* pszBase64PKCS1Signature, int nSignatureSize,
                                 bool bWithZ);

// File twins: the whole file from its first byte, whatever the stream's position; a null
// fpSourceFile is VOMU_E_INVALID_ARG.
int SignFile_Raw_ByKeyPair(FILE* fpSourceFile, const SM2_KEY_PAIR* pSM2KeyPair,
                           unsigned char** ppbySignature, int* pnSignatureSize, bool bWithZ);
int SignFile_Raw_BySM2PFX(FILE* fpSourceFile, FILE* fpSM2PFXFile, const char* pszPassword,
                          unsigned char** ppbySignature, int* pnSignatureSize, bool bWithZ);
int SignFile_PKCS1_ByKeyPair(FILE* fpSourceFile, const SM2_KEY_PAIR* pSM2KeyPair,
                             char** ppszBase64Signature, int* pnBase64Size,
                             unsigned long dwBase64Flags, bool bWithZ,
                             unsigned long fSignatureEncodedType);
int SignFile_PKCS1_BySM2PFX(FILE* fpSourceFile, FILE* fpSM2PFXFile, const char* pszPassword,
                            char** ppszBase64Signature, int* pnBase64Size,
                            unsigned long dwBase64Flags, bool bWithZ,
                            unsigned long fSignatureEncodedType);
int VerifyFileSignature_Raw(FILE* fpSourceFile, const unsigned char* pbyPublicKeyX,
                            const unsigned char* pbyPublicKeyY,
                            const unsigned char* pbyRawSignatureRS, int nRawSignatureRSSize,
                            bool bWithZ);
int VerifyFileSignature_PKCS1_ByCert(FILE* fpSourceFile, const char* pszBase64Cert,
                                     int nCertSize, const char* pszBase64PKCS1Signature,
                                     int nSignatureSize, bool bWithZ);

// ---- SM2 PKCS#7 SignedData ----
// Signing writes ContentInfo { SM2 signedData } with the key file's certificate, SM3 as the
// digest algorithm, the caller's digest-encryption OID (dotted text) and the signature of the
// content (no signed attributes) in the form fSignatureEncodedType chooses (P7_SIGNATURE_SM2_*
// of PKCS7SignedDataOperations.h). Verification takes the public key from the certificate
// inside the SignedData (the signature alone is checked, see above): a SignedData without a
// certificate is VOMU_E_FAIL; one that does not parse VOMU_E_PKCS7_FORMAT (or the parser's
// VOMU_E_FAIL); attached expected but no content, or detached expected but content present,
// VOMU_E_PKCS7_FORMAT; a signature that is not 64 bytes r || s VOMU_E_INVALID_ARG. The
// verifiers' outputs are optional: a null pointer skips that output and its length.

int SignData_PKCS7_BySM2PFX(const unsigned char* pbySourceData, int nSourceDataSize,
                            FILE* fpSM2PFXFile, const char* pszPassword, bool bAttached,
                            char** ppszBase64PKCS7, int* pnBase64Size,
                            unsigned long dwBase64Flags, bool bWithZ,
                            unsigned long fSignatureEncodedType, const char* pszDigestEncAlgOID);

// Attached: the content (followed by one zero byte not counted) and the signer certificate.
// Empty content counts as none (VOMU_E_PKCS7_FORMAT): it cannot be told from a detached one.
int VerifySignature_DERPKCS7Attached(const unsigned char* pbyPKCS7, int nPKCS7Size,
                                     unsigned char** ppbySourceData, int* pnSourceDataSize,
                                     unsigned char** ppbySignCert, int* pnSignCertSize,
                                     bool bWithZ);
int VerifySignature_PKCS7Attached(const char* pszBase64PKCS7, int nBase64Size,
                                  unsigned char** ppbySourceData, int* pnSourceDataSize,
                                  unsigned char** ppbySignCert, int* pnSignCertSize, bool bWithZ);
int VerifySignature_DERPKCS7Detached(const unsigned char* pbyPKCS7, int nPKCS7Size,
                                     const unsigned char* pbySourceData, int nSourceDataSize,
                                     unsigned char** ppbySignCert, int* pnSignCertSize,
                                     bool bWithZ);
int VerifySignature_PKCS7Detached(const char* pszBase64PKCS7, int nBase64Size,
                                  const unsigned char* pbySourceData, int nSourceDataSize,
                                  unsigned char** ppbySignCert, int* pnSignCertSize, bool bWithZ);

// Detached SignedData of the whole source file (from its first byte), as Base64 text.
int SignFile_PKCS7Detached_BySM2PFX(FILE* fpSourceFile, FILE* fpSM2PFXFile,
                                    const char* pszPassword, char** ppszBase64PKCS7,
                                    int* pnBase64Size, unsigned long dwBase64Flags, bool bWithZ,
                                    unsigned long fSignatureEncodedType,
                                    const char* pszDigestEncAlgOID);
// Attached SignedData of the whole source file written as DER at the output stream's
// position, the content streamed from the source; the key file's certificate is not tested
// for digitalSignature. Every write and the final flush are checked: a failed write is
// reported (VOMU_E_FAIL from the writer), and what was written so far stays on the stream.
int SignFile_PKCS7Attached_BySM2PFX(FILE* fpSourceFile, FILE* fpSM2PFXFile,
                                    const char* pszPassword, FILE* fpOutASN1PKCS7SignatureFile,
                                    bool bWithZ, unsigned long fSignatureEncodedType,
                                    const char* pszDigestEncAlgOID);
int SM2_VerifyFileSignature_PKCS7Detached(const char* pszBase64PKCS7, int nBase64Size,
                                          FILE* fpSourceFile, unsigned char** ppbySignCert,
                                          int* pnSignCertSize, bool bWithZ);
// An attached SignedData filling a whole file: the content is hashed where it lies, and its
// file offset and length are handed out; the stream is left behind the content.
int VerifyFileSignature_PKCS7Attached(FILE* fpP7File, long long* pllContentOffset,
                                      int* pnContentSize, unsigned char** ppbySignCert,
                                      int* pnSignCertSize, bool bWithZ);

// A SignerInfo whose signature covers signed attributes (the whole [0] field, A0 first): the
// plain digest of the content by pszDigestAlgOID must equal the messageDigest attribute
// (VOMU_E_BAD_MESSAGE_DIGEST otherwise), then the signature is checked over the attributes
// re-tagged as a SET: SM2 (pszDigestEncAlgOID under 1.2.156.10197) with the Z value, PEM or
// DER certificate; RSA with a DER certificate (VOMU_E_BAD_SIGNATURE when it does not verify).
// VOMU_E_BAD_HASH_ALG (digest OID not supported), VOMU_E_BAD_ASN1_DATA (no or malformed
// messageDigest), VOMU_E_PKCS7_FORMAT (first octet not A0). The OID sizes are not used.
int VerifySignature_PKCS7WithSignedAttributes(
    const unsigned char* pbyCert, int nCertSize, const unsigned char* pbySignature,
    int nSignatureSize, const unsigned char* pbySourceData, int nSourceDataSize,
    const char* pszDigestAlgOID, int nDigestAlgOIDSize, const char* pszDigestEncAlgOID,
    int nDigestEncAlgOIDSize, const unsigned char* pbySignedAttrs, int nSignedAttrsSize);

#endif
