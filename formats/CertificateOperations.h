#ifndef MORV_CERTIFICATE_OPERATIONS_H
#define MORV_CERTIFICATE_OPERATIONS_H
// Single facts of a certificate (X509*, the caller's, unchanged) as text or numbers. Text
// outputs are new NUL-terminated arrays (delete[]); times are seconds since 1970-01-01 UTC.
// All return VOMU_OK or a failure code and set their outputs only on success.
#include <openssl/x509.h>

#define CERT_TYPE_RSA 1
#define CERT_TYPE_SM2 2

// --- certificate information services ---
// CERT_TYPE_RSA or CERT_TYPE_SM2 by the outer signature algorithm (*pnType is 0 first).
int GetX509CertType(X509* pX509Cert, int* pnType);
// The first commonName of the subject (UTF-8); pnCNLen must be given.
int GetX509SubjectCN(X509* pX509Cert, char** ppszCN, int* pnCNLen);
// "CN=.., OU=.., O=.., C=.." from the last entry to the first, at most 1023 bytes.
int GetX509SubjectDN(X509* pX509Cert, char** ppszDN, int* pnDNLen);
int GetX509IssuerDN(X509* pX509Cert, char** ppszDN, int* pnDNLen);
int GetX509NotBefore(X509* pX509Cert, long* pnTime);
int GetX509NotAfter(X509* pX509Cert, long* pnTime);
// Upper-case hex of the magnitude, with the 00 octet a DER INTEGER carries before a set top bit.
int GetX509SerialNumber(X509* pX509Cert, char** ppszHex, int* pnHexLen);
// Upper-case hex of the subjectKeyIdentifier.
int GetX509SubjectKeyID(X509* pX509Cert, char** ppszHex, int* pnHexLen);
// The signature algorithm as dotted text; with ppszOID null the text is made and dropped.
int GetX509CertAlg(X509* pX509Cert, char** ppszOID);
// UTCTime (RFC 5280 4.1.2.5.1) or GeneralizedTime in seconds since 1970-01-01 UTC (*pnTime
// is 0 first). Seconds may be left out, a fraction is dropped, the zone is Z or +/-hhmm.
// Every character is checked: digits, field ranges, nothing after the zone.
int ASN1_TIME_To_UTCTime(const ASN1_TIME* pASN1Time, long* pnTime);
// --- end of certificate information services ---

#endif
