#ifndef MORV_CMS_ENVELOPE_OPERATIONS_H
#define MORV_CMS_ENVELOPE_OPERATIONS_H

// CMS EnvelopedData (RFC 5652) as this system writes and reads it, and the small ASN.1
// pieces it shares with PKCS#7 SignedData.
#include "ASN1EngineEx.h"

// ---- Object identifiers, AlgorithmIdentifier and ContentInfo ----
// Object identifiers travel as NUL-terminated dotted decimal text ("1.2.156.10197.1.104");
// names are not accepted. Outputs are written only on success; arrays are the caller's
// (delete[]), nodes are the caller's (delete).

// The DER OBJECT IDENTIFIER (X.690 8.19) of pszOID: its content octets, or with bWithTag the
// whole TLV 06 L V. VOMU_OK; VOMU_E_FAIL for a text that is not a numeric OID.
int Encode_ObjectIdentifier(const char* pszOID, unsigned char** ppbyEncoded, int* pnEncodedSize,
                            bool bWithTag);

// AlgorithmIdentifier (RFC 5280 4.1.1.2): the OID TLV followed by the parameter octets exactly
// as given (one finished DER element, or nothing when nParamSize is 0); with bWithTag wrapped
// in 30 L. VOMU_OK, Encode_ObjectIdentifier's code, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int Encode_AlgorithmIdentifier(const char* pszOID, unsigned char* pbyParam, int nParamSize,
                               unsigned char** ppbyEncoded, int* pnEncodedSize, bool bWithTag);

// An OID leaf (tag 06, the content octets as its value).
int ConstructNode_ObjectIdentifier(const char* pszOID, NodeEx** ppNode);

// An AlgorithmIdentifier SEQUENCE held as one leaf (tag 30) whose value is its finished content.
int ConstructNode_AlgorithmIdentifier(const char* pszOID, unsigned char* pbyParam, int nParamSize,
                                      NodeEx** ppNode);

// ContentInfo ::= SEQUENCE { contentType OID, content [0] EXPLICIT ANY } (RFC 5652 3).
// On success the new tree owns pNode_Content; on failure pNode_Content stays the caller's.
int ConstructNode_ContentInfo(const char* pszContentTypeOID, NodeEx* pNode_Content,
                              NodeEx** ppNode_ContentInfo);

// The dotted text of a crypto-library object number in a new array; *pnOIDSize counts the
// characters without the NUL. VOMU_OK; VOMU_E_FAIL for an unknown number.
int GetOIDFromNID(int nNID, char** ppszOID, int* pnOIDSize);

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
