#ifndef MORV_CMS_ENVELOPE_OPERATIONS_H
#define MORV_CMS_ENVELOPE_OPERATIONS_H

// CMS EnvelopedData (RFC 5652) as this system writes and reads it, and the SM2Cipher codec.
// The object identifier, AlgorithmIdentifier and ContentInfo builders it shares with PKCS#7
// SignedData are declared in FormatNodes.h.
#include "ASN1EngineEx.h"
#include "FormatNodes.h"

// ---- SM2Cipher codec ----
// SM2RawCiphertext: x1 (32) || y1 (32) || C2 (n) || C3 (32), GB/T 32918.4-2016 6.1.
// SM2Cipher ::= SEQUENCE { XCoordinate INTEGER, YCoordinate INTEGER, HASH OCTET STRING (32),
//                          CipherText OCTET STRING } (GB/T 35276-2017 7.2); the coordinates are
// written as minimal DER INTEGERs, the form OpenSSL writes.

// Raw ciphertext (more than 96 octets) to DER SM2Cipher in a new array.
// VOMU_OK; VOMU_E_INVALID_ARG (96 octets or fewer, null arguments); the encoder's code.
int Encode_SM2Cipher(unsigned char* pbyRaw, int nRawSize, unsigned char** ppbyDER, int* pnDERSize);

// DER SM2Cipher to the raw ciphertext in a new array of n + 96 octets. Every field is checked
// before anything is rebuilt: exactly one SEQUENCE over the whole input, of two INTEGERs of
// non-negative numbers below 2^256 (minimal or fixed 32-octet form), a 32-octet OCTET STRING
// and an OCTET STRING. VOMU_OK; VOMU_E_FAIL (does not parse); VOMU_E_BAD_ASN1_DATA (fields
// not as above); VOMU_E_INVALID_ARG (null arguments).
int Decode_SM2Cipher(unsigned char* pbyDER, int nDERSize, unsigned char** ppbyRaw, int* pnRawSize);

// The SM2Cipher tree of x1, y1, C3 (32 octets each) and C2 (nC2Size octets); the caller's.
int ConstructNode_SM2Cipher(unsigned char* pbyX, unsigned char* pbyY, unsigned char* pbyHash,
                            unsigned char* pbyC2, int nC2Size, NodeEx** ppNode_SM2Cipher);

// ---- EnvelopedData writer and readers ----
// ContentInfo { contentType, [0] EnvelopedData } (RFC 5652 6.1) with exactly one
// KeyTransRecipientInfo (RFC 5652 6.2.1), in DER with definite shortest lengths; object
// identifiers as dotted text. The writer knows nothing of SM2 or RSA: the caller passes the
// finished octets of every field.

// KeyTransRecipientInfo: version (low eight bits), rid as [0] IMPLICIT holding the recipient's
// subject key identifier octets, keyEncryptionAlgorithm (the OID and the parameter octets, one
// finished DER element), encryptedKey.
// VOMU_OK; VOMU_E_INVALID_ARG; the OID encoder's code; VOMU_E_FAIL (memory).
int ConstructNode_KeyTransRecipientInfo(int nVersion, unsigned char* pbyRecipientKeyID,
                                        int nRecipientKeyIDSize, const char* pszKeyEncryptionAlgOID,
                                        unsigned char* pbyParam, int nParamSize,
                                        unsigned char* pbyEncryptedKey, int nEncryptedKeySize,
                                        NodeEx** ppNode);

// EncryptedContentInfo { contentType, contentEncryptionAlgorithm, [0] IMPLICIT ciphertext }.
// With pbyEncryptedContent null the [0] is a header-only leaf declaring nEncryptedContentSize
// octets that the caller writes after the encoding.
int ConstructNode_EncryptedContentInfo(const char* pszContentTypeOID,
                                       const char* pszContentEncryptionAlgOID,
                                       unsigned char* pbyParam, int nParamSize,
                                       unsigned char* pbyEncryptedContent,
                                       int nEncryptedContentSize, NodeEx** ppNode);

// EnvelopedData { version, recipientInfos, encryptedContentInfo }. On success the new node
// owns both nodes given; on failure they stay the caller's.
int ConstructNode_EnvelopedData(int nVersion, NodeEx* pNode_RecipientInfos,
                                NodeEx* pNode_EncryptedContentInfo, NodeEx** ppNode);

// The whole envelope as DER in a new array. With pbyEncryptedContent null only the header is
// written: every length counts nEncryptedContentSize content octets, the output ends with
// the length octets of encryptedContent, and the caller appends exactly that many ciphertext
// octets to complete the DER. Both versions are 2, the recipient is named by its subject key
// identifier, and keyEncryptionAlgorithm always carries NULL parameters (05 00).
// VOMU_OK; VOMU_E_INVALID_ARG; a builder's code; VOMU_E_ASN1_TOO_LARGE (more than
// MAX_ASN1_DATA_MEMORY_SIZE octets in memory).
int Encode_CMSEnvelope(const char* pszContentTypeOID, unsigned char* pbyRecipientKeyID,
                       int nRecipientKeyIDSize, const char* pszKeyEncryptionAlgOID,
                       unsigned char* pbyEncryptedKey, int nEncryptedKeySize,
                       const char* pszEncryptedContentTypeOID,
                       const char* pszContentEncryptionAlgOID, unsigned char* pbyParam,
                       int nParamSize, unsigned char* pbyEncryptedContent,
                       int nEncryptedContentSize, unsigned char** ppbyDER, int* pnDERSize);

// Readers. The tree's shape is checked before every positional read: the child count and the
// identifier octet of each element read, leaves where a value is copied, definite lengths on
// every copied value. Versions and content types are not compared and the recipient is
// returned, not matched. Every output is optional (null skips it); arrays are new[] and the
// caller's; OIDs are NUL-terminated dotted text whose length leaves out the NUL.
//   recipient key ID   the value octets of the rid, which must be [0] IMPLICIT
//                      SubjectKeyIdentifier: a recipient named by issuer and serial number
//                      (a SEQUENCE) is VOMU_E_ENVELOPE_FORMAT
//   encrypted key      encryptedKey's value octets
//   parameters         the value octets of the content-encryption parameters (05 00 gives
//                      length 0: a null pointer from the memory reader, an empty array from
//                      the file reader)
// The encrypted content is [0] IMPLICIT OCTET STRING, primitive or, as `openssl cms -stream`
// writes it, constructed of OCTET STRING segments.
// VOMU_OK; VOMU_E_FAIL (not BER, an OID that does not decode, memory, a file error);
// VOMU_E_ENVELOPE_FORMAT (not shaped as above). On failure nothing is written.

// The memory reader's encrypted content is a new array of the content (segments joined)
// followed by one zero octet that the length does not count. Octets after the ContentInfo
// are ignored.
int Decode_CMSEnvelopeData(unsigned char* pbyDER, int nDERSize,
                           unsigned char** ppbyRecipientKeyID, int* pnRecipientKeyIDSize,
                           unsigned char** ppbyEncryptedKey, int* pnEncryptedKeySize,
                           unsigned char** ppbyEncryptedContent,
                           int* pnEncryptedContentSize, char** ppszKeyEncryptionAlgOID,
                           int* pnKeyEncryptionAlgOIDSize, char** ppszContentEncryptionAlgOID,
                           int* pnContentEncryptionAlgOIDSize, unsigned char** ppbyParam,
                           int* pnParamSize);

// The file reader parses the envelope from offset 0 of fpFile and never loads the content:
// *ppNode_EncryptedContent is a copy of the encryptedContent node (the caller deletes it)
// whose offsets locate the ciphertext in the file, a leaf or a constructed node whose
// children are the segments in order, so the caller can decrypt segment by segment while the
// file stays open. The file position is restored on every return.
int Decode_CMSEnvelopeFile(FILE* fpFile, unsigned char** ppbyRecipientKeyID,
                           int* pnRecipientKeyIDSize, unsigned char** ppbyEncryptedKey,
                           int* pnEncryptedKeySize,
                           NodeEx** ppNode_EncryptedContent, char** ppszKeyEncryptionAlgOID,
                           int* pnKeyEncryptionAlgOIDSize, char** ppszContentEncryptionAlgOID,
                           int* pnContentEncryptionAlgOIDSize, unsigned char** ppbyParam,
                           int* pnParamSize);

#endif
