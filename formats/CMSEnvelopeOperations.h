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

#endif
