#ifndef VOMU_RESULT_H
#define VOMU_RESULT_H

/* Result codes: 32-bit integers shared by C and C++ callers; 0 is success. */
#define VOMU_OK                     0
#define VOMU_E_FAIL                 ((int)0xFFFFFFFF)
#define VOMU_E_INVALID_ARG          ((int)0x80070057)
#define VOMU_E_OPEN_FILE            ((int)0x8007006E)
#define VOMU_E_READ_FILE            ((int)0x8007001E)
#define VOMU_E_WRITE_FILE           ((int)0x8007001D)
#define VOMU_E_FILE_TOO_LARGE       ((int)0x800700DF)
#define VOMU_E_ENCRYPT              ((int)0x80071770)
#define VOMU_E_DECRYPT              ((int)0x80071771)
#define VOMU_E_BAD_MESSAGE_DIGEST   ((int)0x80090002)
#define VOMU_E_BAD_SIGNATURE        ((int)0x80090006)
#define VOMU_E_BAD_HASH_ALG         ((int)0x80090008)
#define VOMU_E_ALREADY_INITIALIZED  ((int)0x80090100)
#define VOMU_E_BASE64_ENCODE        ((int)0xA0071004)
#define VOMU_E_BASE64_DECODE        ((int)0xA0071005)
#define VOMU_E_CERT_TIME            ((int)0xA0071031)
#define VOMU_E_CERT_REVOKED         ((int)0xA0071032)
#define VOMU_E_CERT_CHAIN           ((int)0xA0071033)
#define VOMU_E_BAD_ASN1_DATA        ((int)0xA0071041)
#define VOMU_E_ASN1_TOO_LARGE       ((int)0xA0071101)
#define VOMU_E_ASN1_TOO_DEEP        ((int)0xA0071102)
#define VOMU_E_SM2PFX_FORMAT        ((int)0xA0071103)
#define VOMU_E_PKCS7_FORMAT         ((int)0xA0071104)
#define VOMU_E_ENVELOPE_FORMAT      ((int)0xA0071105)
#define VOMU_E_ENVELOPE_RECIPIENT   ((int)0xA0071106)
#define VOMU_E_SIGN                 ((int)0xA0071107)
#define VOMU_E_SM2PFX_PASSWORD      ((int)0xA0071108)
#define VOMU_E_CERT_VERIFY          ((int)0xA0071109)
#define VOMU_E_CERT_INFO            ((int)0xA0071110)
#define VOMU_E_KEY_USAGE            ((int)0xA0072021)

/* Logging failures. */
#define VOMU_LOG_E_INIT             0x6002
#define VOMU_LOG_E_MEMORY           0x6004
#define VOMU_LOG_E_LEVEL            0x6005
#define VOMU_LOG_E_NOT_INIT         0x6006
#define VOMU_LOG_E_NO_CONFIG        0x6007

#endif
