// The SM2Cipher item: the library's generic new, free, encode and decode over its template.
#include "SM2Cipher.h"

ASN1_SEQUENCE(SM2Cipher) = {
    ASN1_SIMPLE(SM2Cipher, XCoordinate, CBIGNUM),
    ASN1_SIMPLE(SM2Cipher, YCoordinate, CBIGNUM),
    ASN1_SIMPLE(SM2Cipher, HASH, ASN1_OCTET_STRING),
    ASN1_SIMPLE(SM2Cipher, cipherText, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2Cipher)

IMPLEMENT_ASN1_FUNCTIONS(SM2Cipher)
