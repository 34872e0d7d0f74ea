#ifndef MORV_SM2_CIPHER_H
#define MORV_SM2_CIPHER_H

// The ASN.1 type SM2Cipher (GM/T 0009) in the crypto library's manner:
//   SEQUENCE { XCoordinate INTEGER, YCoordinate INTEGER, HASH OCTET STRING, CipherText OCTET STRING }
// The coordinates are numbers (written as the shortest INTEGER, cleared when freed); HASH is
// C3 and cipherText is C2 of the kernel ciphertext. libcrypto 3 has no such type of its own.
#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/bn.h>

#include "vomu_export.h"

VOMU_BEGIN_C

typedef struct SM2Cipher_st {
    BIGNUM* XCoordinate;
    BIGNUM* YCoordinate;
    ASN1_OCTET_STRING* HASH;
    ASN1_OCTET_STRING* cipherText;
} SM2Cipher;

VOMU_EXPORT SM2Cipher* SM2Cipher_new(void);
VOMU_EXPORT void SM2Cipher_free(SM2Cipher* a);
VOMU_EXPORT SM2Cipher* d2i_SM2Cipher(SM2Cipher** a, const unsigned char** in, long len);
VOMU_EXPORT int i2d_SM2Cipher(const SM2Cipher* a, unsigned char** out);
DECLARE_ASN1_ITEM(SM2Cipher)

VOMU_END_C

#endif
