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
// The DER of the issuer Name (as i2d_X509_NAME writes it). VOMU_OK, VOMU_E_INVALID_ARG,
// VOMU_E_FAIL.
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

// --- SM2 key file ---
// The file is the Base64 text of the DER of one SM2_PFX; every field is mandatory and untagged:
//   SM2_PFX          ::= SEQUENCE { version INTEGER, privateData SM2_PRIVATE_DATA,
//                                   publicData SM2_PUBLIC_DATA }
//   SM2_PRIVATE_DATA ::= SEQUENCE { dataID OID, dataEncryptedAlg OID,
//                                   encryptedSM2PrivateKey OCTET STRING }  -- SM4EncryptByPin(d)
//   SM2_PUBLIC_DATA  ::= SEQUENCE { dataID OID, SM2Certificate OCTET STRING }  -- DER certificate
// The writer puts version 1, data "1.2.156.10197.6.1.4.2.1" and SM4-CBC "1.2.156.10197.1.104";
// the readers compare none of them.
typedef struct SM2_PRIVATE_DATA_st {
    ASN1_OBJECT* dataID;
    ASN1_OBJECT* dataEncryptedAlg;
    ASN1_OCTET_STRING* encryptedSM2PrivateKey;
} SM2_PRIVATE_DATA;

typedef struct SM2_PUBLIC_DATA_st {
    ASN1_OBJECT* dataID;
    ASN1_OCTET_STRING* SM2Certificate;
} SM2_PUBLIC_DATA;

// Owns both parts: SM2_PFX_free releases everything.
typedef struct SM2_PFX_st {
    ASN1_INTEGER* version;
    SM2_PRIVATE_DATA* privateData;
    SM2_PUBLIC_DATA* publicData;
} SM2_PFX;

// A decrypted key pair: three new[] arrays of 32 bytes (d, and the certificate's x and y, all
// big-endian, left zero-padded). Hold it zero-initialised; CleanupSM2KeyPair releases it.
typedef struct SM2_KEY_PAIR_st {
    unsigned char* privateKey;
    int privateKeyLen;
    unsigned char* publicKeyX;
    int publicKeyXLen;
    unsigned char* publicKeyY;
    int publicKeyYLen;
} SM2_KEY_PAIR;

// Item functions in the crypto library's manner (ASN1_item_d2i / i2d / new / free).
VOMU_BEGIN_C
VOMU_EXPORT SM2_PFX* d2i_SM2_PFX(SM2_PFX** ppValue, const unsigned char** ppbyIn, long nLen);
VOMU_EXPORT int i2d_SM2_PFX(const SM2_PFX* pValue, unsigned char** ppbyOut);
VOMU_EXPORT SM2_PFX* SM2_PFX_new(void);
VOMU_EXPORT void SM2_PFX_free(SM2_PFX* pValue);
VOMU_EXPORT SM2_PRIVATE_DATA* d2i_SM2_PRIVATE_DATA(SM2_PRIVATE_DATA** ppValue,
                                                   const unsigned char** ppbyIn, long nLen);
VOMU_EXPORT int i2d_SM2_PRIVATE_DATA(const SM2_PRIVATE_DATA* pValue, unsigned char** ppbyOut);
VOMU_EXPORT SM2_PRIVATE_DATA* SM2_PRIVATE_DATA_new(void);
VOMU_EXPORT void SM2_PRIVATE_DATA_free(SM2_PRIVATE_DATA* pValue);
VOMU_EXPORT SM2_PUBLIC_DATA* d2i_SM2_PUBLIC_DATA(SM2_PUBLIC_DATA** ppValue,
                                                 const unsigned char** ppbyIn, long nLen);
VOMU_EXPORT int i2d_SM2_PUBLIC_DATA(const SM2_PUBLIC_DATA* pValue, unsigned char** ppbyOut);
VOMU_EXPORT SM2_PUBLIC_DATA* SM2_PUBLIC_DATA_new(void);
VOMU_EXPORT void SM2_PUBLIC_DATA_free(SM2_PUBLIC_DATA* pValue);
VOMU_END_C

// Builders: VOMU_OK, VOMU_E_INVALID_ARG or VOMU_E_FAIL; *ppOut is set only on success and
// everything made on the way is freed on failure. Identifiers are numeric dotted text.
int CreateSM2PrivateData(const char* pszDataID, const char* pszDataEncryptedAlg,
                         unsigned char* pbyEncryptedKey, unsigned int nEncryptedKeyLen,
                         SM2_PRIVATE_DATA_st** ppstOut);
int CreateSM2PublicData(const char* pszDataID, unsigned char* pbyCert, unsigned int nCertLen,
                        SM2_PUBLIC_DATA_st** ppstOut);
// Takes both parts on success and sets the references to null; on failure they stay the caller's.
int CreateSM2PFX(long nVersion, SM2_PRIVATE_DATA_st*& pstPrivateData,
                 SM2_PUBLIC_DATA_st*& pstPublicData, SM2_PFX_st** ppstOut);

// The DER of a key file holding the certificate bytes unchanged and the private key bytes
// encrypted under the password (neither is checked). VOMU_OK, VOMU_E_INVALID_ARG, or the
// failing step's code.
int EncapsulateSM2PFX(unsigned char* pbyCert, int nCertLen, unsigned char* pbyPrivateKey,
                      int nPrivateKeyLen, char* pszPassword, unsigned char** ppbyDER,
                      int* pnDERLen);

// Copies of the encrypted key and of the certificate bytes. A pair of outputs may be left out
// (both pointers null) when that part is not wanted. Bytes after the SM2_PFX are ignored.
// VOMU_OK; VOMU_E_SM2PFX_FORMAT (no SM2_PFX); VOMU_E_INVALID_ARG (half a pair); VOMU_E_FAIL.
int ParseSM2PFX(unsigned char* pbyDER, int nDERLen, unsigned char** ppbyEncryptedKey,
                int* pnEncryptedKeyLen, unsigned char** ppbyCert, int* pnCertLen);

// The key pair of a key file. The decrypted key must be 1 to 32 bytes (it is left-padded to
// 32) and d*G on the SM2 curve must be the certificate's public point: a wrong password never
// yields a key, even when its decryption happens to end in valid padding. VOMU_OK; the
// parser's code; VOMU_E_SM2PFX_PASSWORD; GetPublicKeyXYFromSM2Cert's code. *pstKeyPair is
// written only on success.
int DecryptKeyPairFromSM2PFX(unsigned char* pbyDER, int nDERLen, char* pszPassword,
                             SM2_KEY_PAIR_st* pstKeyPair);

// The same checks; hands over the 32-byte private key and the certificate bytes instead.
int DecryptSM2PFX(unsigned char* pbyDER, int nDERLen, char* pszPassword,
                  unsigned char** ppbyPrivateKey, int* pnPrivateKeyLen, unsigned char** ppbyCert,
                  int* pnCertLen);

// Wipes and releases the three arrays and sets them to null; lengths stay. Null is ignored,
// and a second call does nothing.
void CleanupSM2KeyPair(SM2_KEY_PAIR_st* pstKeyPair);
// --- end of SM2 key file ---

#endif
