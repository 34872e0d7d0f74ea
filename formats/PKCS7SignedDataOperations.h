#ifndef MORV_PKCS7_SIGNED_DATA_OPERATIONS_H
#define MORV_PKCS7_SIGNED_DATA_OPERATIONS_H

// PKCS#7 SignedData (RFC 2315) as this system writes and reads it.
#include "ASN1EngineEx.h"

// ---- SM2 signature value SM2Q1 and the SignerInfo signature field ----

// The raw SM2 signature r || s, each half 32 octets big-endian.
#ifndef SM2_RAW_RS_SIZE
#define SM2_RAW_RS_SIZE 64
#endif

// fSignatureEncodedType of a SignerInfo: how its signature field is written.
#ifndef P7_SIGNATURE_RSA_PKCS1
#define P7_SIGNATURE_RSA_PKCS1           0x000  // OCTET STRING holding the signature as given
#define P7_SIGNATURE_SM2_RAW_RS          0x100  // INTEGER r, INTEGER s in the SignerInfo itself
#define P7_SIGNATURE_SM2_ASN1_Q1         0x200  // the SM2Q1 SEQUENCE
#define P7_SIGNATURE_SM2_OCTET_STRING_Q1 0x400  // OCTET STRING holding the DER SM2Q1
#endif

// SM2Q1 ::= SEQUENCE { r INTEGER, s INTEGER } (GB/T 35276-2017 7.3). r and s are unsigned
// big-endian numbers of at least one octet; they are written as minimal DER INTEGERs, the
// form OpenSSL's i2d_ECDSA_SIG writes. The tree is the caller's.
// VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int ConstructNode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                        NodeEx** ppNode_SM2Q1);

// The DER SM2Q1 in a new array (release with delete[]); outputs written only on success.
// VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL or the encoder's code.
int Encode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                 unsigned char** ppbyDER, int* pnDERSize);

// DER SM2Q1 (minimal INTEGERs, or fixed 32-octet ones with a leading 00 where needed) to
// r || s in a new 64-octet array; *pnRSSize = 64. VOMU_OK; VOMU_E_FAIL for any malformed
// input (not one SEQUENCE of exactly two non-negative INTEGERs below 2^256, trailing
// octets, more than 72 octets); VOMU_E_INVALID_ARG for null arguments.
int Decode_SM2Q1(unsigned char* pbyDER, int nDERSize, unsigned char** ppbyRS, int* pnRSSize);

// Appends the signature field of a SignerInfo to pNode_SignerInfo (which must not yet have
// been added to its parent), written as fSignatureEncodedType says. The SM2 forms require a
// 64-octet r || s. VOMU_OK; VOMU_E_INVALID_ARG for a wrong size or an unknown type (nothing
// appended); VOMU_E_FAIL for memory.
int ConstructNode_SignerInfoSignature(unsigned long fSignatureEncodedType,
                                      unsigned char* pbySignature, int nSignatureSize,
                                      NodeEx* pNode_SignerInfo);

#endif
