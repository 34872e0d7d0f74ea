#ifndef MORV_RSA_DATA_ENCRYPTION_H
#define MORV_RSA_DATA_ENCRYPTION_H

// RSA key transport (PKCS#1 v1.5, RFC 8017 7.2) and RSA CMS envelopes (RFC 5652 6) of data and
// of files: one KeyTransRecipientInfo naming the recipient by its subject key identifier, the
// content under 3DES-CBC (parameters 04 08 IV) or RC4 (parameters NULL, 05 00) with a fresh
// content key. Envelopes made elsewhere with 3DES-ECB content open too.
//
// Outputs are new[] arrays handed over only on success (delete[]); lengths are int. Files are
// open streams owned by the caller, never closed here; every write and the final flush of an
// output are checked. Content keys and plaintext are never logged and are wiped after use.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>

#include "ASN1EngineEx.h"

// PKCS#1 v1.5 encryption under an RSA public key of at least 1024 bits: RSA_size bytes out.
// VOMU_OK; VOMU_E_INVALID_ARG (null key or data); VOMU_E_ENCRYPT (not RSA, a key below 1024
// bits, more than RSA_size - 11 bytes, a library failure); VOMU_E_FAIL (memory).
int RSAEncrypt(EVP_PKEY* pEvpPubKey, const unsigned char* pbyPlainData, int nPlainDataSize,
               unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize);

// The inverse under the private key; the plaintext in a buffer of RSA_size bytes.
// VOMU_OK; VOMU_E_INVALID_ARG; VOMU_E_DECRYPT (not an RSA private key, below 1024 bits, the
// ciphertext does not open under this key); VOMU_E_FAIL (memory).
int RSADecrypt(EVP_PKEY* pEvpPriKey, const unsigned char* pbyEncryptedData,
               int nEncryptedDataSize, unsigned char** ppbyPlainData, int* pnPlainDataSize);

// RSAEncrypt under the certificate's key, which must allow keyEncipherment.
// VOMU_OK; VOMU_E_INVALID_ARG; VOMU_E_KEY_USAGE; VOMU_E_FAIL; RSAEncrypt's codes.
int RSAEncryptByX509(X509* pX509Cert, const unsigned char* pbyPlainData, int nPlainDataSize,
                     unsigned char** ppbyEncryptedData, int* pnEncryptedDataSize);

// The envelope of nPlainDataSize bytes (0 is allowed here) for the recipient certificate
// (DER), content under nSymAlgNID (NID_des_ede3_cbc or NID_rc4), as DER.
// VOMU_OK; VOMU_E_INVALID_ARG (another number, null pointers); VOMU_E_FAIL (not a DER
// certificate, the envelope does not encode, memory); VOMU_E_KEY_USAGE; the codes of the
// symmetric and RSA steps and of GetSubjectKeyIDFromCert (a certificate without one).
int RSA_EncryptDataToDERCMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                    const unsigned char* pbyCert, int nCertSize, int nSymAlgNID,
                                    unsigned char** ppbyDERCMSEnvelope,
                                    int* pnDERCMSEnvelopeSize);

// The same as Base64 text (NUL-terminated; the length leaves the NUL out) with the Base64
// flags. Data must hold at least one byte (VOMU_E_INVALID_ARG).
int RSA_EncryptDataToCMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                 const unsigned char* pbyCert, int nCertSize, int nSymAlgNID,
                                 unsigned long dwFlags, char** ppszBase64CMSEnvelope,
                                 int* pnBase64CMSEnvelopeSize);

// The envelope of the whole plain file (1 byte to 2^31 - 9 bytes) written at fpCMSEnvelope's
// position: the DER header declaring the content's length, then the ciphertext streamed after
// it. An empty or unreadable plain file is VOMU_E_READ_FILE (nothing is written), a larger
// one VOMU_E_FILE_TOO_LARGE; a failed header write VOMU_E_WRITE_FILE; later failures leave
// the header and the ciphertext written so far.
int RSA_EncryptFileToCMSEnvelope(FILE* fpPlainFile, const unsigned char* pbyCert, int nCertSize,
                                 int nSymAlgNID, FILE* fpCMSEnvelope);

// Opens a DER envelope with the key of the PKCS#12 file (read from its position). The
// recipient identifier is not compared with the certificate: an envelope for another key fails
// at the RSA step or at the last block. The plaintext is followed in its buffer by one 0 byte
// that the length does not count.
// VOMU_OK; VOMU_E_FAIL (not PKCS#12 or a wrong password, an envelope that does not parse);
// VOMU_E_BAD_ASN1_DATA; VOMU_E_ENVELOPE_FORMAT (not shaped as this system's envelopes, a
// recipient named by issuer and serial, a 3DES-CBC IV shorter than 8 bytes); VOMU_E_DECRYPT
// (the key does not open, a content cipher other than RC4, 3DES-ECB or 3DES-CBC, a content key
// of another length than the cipher's, the content does not open).
int RSA_DecryptDataFromDERCMSEnvelope(const unsigned char* pbyDERCMSEnvelope,
                                      int nDERCMSEnvelopeSize, FILE* fpPFX,
                                      const char* pszPFXPwd, unsigned char** ppbyPlainData,
                                      int* pnPlainDataSize);

// The same from Base64 text; the password must not be empty (VOMU_E_INVALID_ARG).
int RSA_DecryptDataFromCMSEnvelope(const char* pszBase64CMSEnvelope, FILE* fpPFX,
                                   const char* pszPFXPwd, unsigned char** ppbyPlainData,
                                   int* pnPlainDataSize);

// Opens an envelope file (read from offset 0; its position is kept) into the plain file,
// decrypting the content in pieces: primitive content, or constructed content (as `openssl
// cms -stream` writes it) segment by segment. Codes as the data reader; VOMU_E_READ_FILE and
// VOMU_E_FAIL for file errors. A failure during decryption leaves the plaintext written so far.
int RSA_DecryptFileFromCMSEnvelope(FILE* fpCMSEnvelope, FILE* fpPFX, const char* pszPFXPwd,
                                   FILE* fpPlainFile);

// Decrypts the encrypted-content node of an envelope file (from Decode_CMSEnvelopeFile) into
// the plain file: the node's value, or each direct child's value in order. The key must hold
// the cipher's key length, the IV its IV length. VOMU_OK; GetEVPCipherbyNID's codes;
// VOMU_E_READ_FILE (the file ends inside a node); VOMU_E_FAIL (a cipher step, the last block,
// a failed seek, write or flush).
int DecryptFileEnvelopeContent(int nSymAlgNID, const unsigned char* pbySymKey,
                               const unsigned char* pbyIV, FILE* fpCMSEnvelope, NodeEx* pNode,
                               FILE* fpPlainFile);

// One node's value through an initialised decryption context into the plain file (the last
// block stays in the context).
int DecryptFileEnvelopeContent_ProcessOneNode(EVP_CIPHER_CTX* pCTX, FILE* fpCMSEnvelope,
                                              NodeEx* pNode, FILE* fpPlainFile);

#endif
