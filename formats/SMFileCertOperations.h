#ifndef MORV_SM_FILE_CERT_OPERATIONS_H
#define MORV_SM_FILE_CERT_OPERATIONS_H
// Single fields of a certificate given as bytes, the ECPrivateKey encoder, and the SM2 key
// file (SM2_PFX: an SM4-encrypted private key beside its certificate) with its key pair.
//
// Certificates are read as PEM first and, when that yields nothing, as DER from the start of
// the same bytes, always into the kernel context. Every output is a new[] array owned by the
// caller (delete[]), with its length; outputs are written only on success.
#include <openssl/asn1.h>
#include <openssl/asn1t.h>

#include "ASN1EngineEx.h"
#include "vomu_export.h"

// --- certificate fields and ECPrivateKey ---

// The affine x and y of the certificate's elliptic-curve public point, 32 bytes each,
// big-endian and left zero-padded (*pnXLen = *pnYLen = 32). The curve is not compared with
// SM2's: callers test the point against their own curve. VOMU_OK; VOMU_E_INVALID_ARG (null
// arguments); VOMU_E_FAIL (not a certificate, not an EC key, a coordinate over 32 bytes).
int GetPublicKeyXYFromSM2Cert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbyX,
                              int* pnXLen, unsigned char** ppbyY, int* pnYLen);
// The DER of the issuer Name (as i2d_X509_NAME writes it). VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int GetIssuerFromCert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbyIssuer,
                      int* pnIssuerLen);
// The whole DER INTEGER (02 L V) of the serial number. VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int GetSerialNumberFromCert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbySerial,
                            int* pnSerialLen);
// The key identifier octets of the subjectKeyIdentifier extension (RFC 5280 4.2.1.2).
// VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL (no such extension, or an empty identifier).
int GetSubjectKeyIDFromCert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbyKeyID,
                            int* pnKeyIDLen);

// SEQUENCE { INTEGER version (low 8 bits), INTEGER d (the bytes unchanged, 00 put in front
// of a set top bit), [0] { OID curve }, [1] { BIT STRING 00 04 x y } }: the tree is the
// caller's (delete). VOMU_OK; VOMU_E_INVALID_ARG (null or empty fields);
// ConstructNode_ObjectIdentifier's code; VOMU_E_FAIL (memory).
int ConstructNode_ECPrivateKey(int nVersion, const char* pszCurveOID, unsigned char* pbyD,
                               int nDLen, unsigned char* pbyX, int nXLen, unsigned char* pbyY,
                               int nYLen, NodeEx** ppNode_ECPrivateKey);
// The DER of that tree in a new array. VOMU_OK or the failing step's code.
int EncodeECPrivateKey(int nVersion, const char* pszCurveOID, unsigned char* pbyD, int nDLen,
                       unsigned char* pbyX, int nXLen, unsigned char* pbyY, int nYLen,
                       unsigned char** ppbyDER, int* pnDERLen);
// --- end of certificate fields and ECPrivateKey ---

#endif
