#ifndef MORV_CERTIFICATE_OPERATIONS_H
#define MORV_CERTIFICATE_OPERATIONS_H
// Single facts of a certificate (X509*, the caller's, unchanged) as text or numbers. Text
// outputs are new NUL-terminated arrays (delete[]); times are seconds since 1970-01-01 UTC.
// All return VOMU_OK or a failure code and set their outputs only on success.
#include <cstdio>
#include <vector>

#include <openssl/evp.h>
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

// --- certificate verification services ---
// Certificates, CRLs and trusted CAs are all decoded in the kernel's library context, so SM2
// signatures in a chain are checked by our SM2 with the standard user ID.

// Flag word of VerifyX509 / VerifyCertificate; other bits are ignored.
#define CERT_VERIFY_FLAG_TIME  1
#define CERT_VERIFY_FLAG_CRL   2
#define CERT_VERIFY_FLAG_CHAIN 4

// Key-usage bits as OpenSSL's key-usage mask holds them (RFC 5280 4.2.1.3).
#define KEY_USAGE_DIGITAL_SIGNATURE 0x80
#define KEY_USAGE_NON_REPUDIATION   0x40
#define KEY_USAGE_KEY_ENCIPHERMENT  0x20
#define KEY_USAGE_DATA_ENCIPHERMENT 0x10
#define KEY_USAGE_KEY_AGREEMENT     0x08
#define KEY_USAGE_KEY_CERT_SIGN     0x04
#define KEY_USAGE_CRL_SIGN          0x02
#define KEY_USAGE_ENCIPHER_ONLY     0x01
#define KEY_USAGE_DECIPHER_ONLY     0x8000

// PEM text or DER of one certificate (PEM first, then DER from the start) as a new X509 in
// kctx, owned by the caller (X509_free). VOMU_OK or VOMU_E_FAIL.
int ConvertCertDataToX509(const unsigned char* pbyCert, int nCertLen, X509** ppX509);
// Validity period against the current time, both bounds inclusive. VOMU_OK,
// VOMU_E_CERT_TIME, VOMU_E_FAIL or the time parser's code.
int VerifyCertTime(X509* pX509Cert);
// The serial number against the first CRL of fpCRL (PEM from its position, else DER from its
// start); only the serial numbers are compared. VOMU_OK, VOMU_E_CERT_REVOKED, VOMU_E_FAIL.
// The stream stays open.
int VerifyCertCRL(FILE* fpCRL, X509* pX509Cert);
// A new trusted store with the first certificate of each stream (PEM, else DER from the
// start), owned by the caller (X509_STORE_free); an empty list gives an empty store.
// VOMU_OK or VOMU_E_FAIL. The streams stay open.
int LoadCertsToStore(std::vector<FILE*> vetCAFiles, X509_STORE** ppStore);
// A new trusted store with every certificate of up to two DER PKCS#7 signedData bundles
// (either may be null). VOMU_OK or VOMU_E_FAIL (also for a bundle of another content type).
int LoadP7bToStore(const unsigned char* pbyRootBundle, int nRootLen,
                   const unsigned char* pbyIntermediateBundle, int nIntermediateLen,
                   X509_STORE** ppStore);
// X509_verify_cert with the library's defaults, nothing untrusted: every intermediate and the
// root must be in the store. VOMU_OK, VOMU_E_CERT_TIME (any certificate of the chain not yet
// valid or expired), VOMU_E_CERT_CHAIN, VOMU_E_FAIL.
int VerifyCertChainByTrustedStore(X509_STORE* pStore, X509* pX509Cert);
// LoadCertsToStore, then VerifyCertChainByTrustedStore; their codes.
int VerifyCertChain(std::vector<FILE*> vetCAFiles, X509* pX509Cert);
// The checks the flag word asks for, in the order time, CRL, chain; the first failure's code.
// fpCRL must be open when CERT_VERIFY_FLAG_CRL is set.
int VerifyX509(X509* pX509Cert, unsigned int nCertVerifyFlag, FILE* fpCRL,
               std::vector<FILE*> vetCAFiles);
// ConvertCertDataToX509, then VerifyX509; their codes.
int VerifyCertificate(const unsigned char* pbyCert, int nCertLen, unsigned int nCertVerifyFlag,
                      FILE* fpCRL, std::vector<FILE*> vetCAFiles);
// Every requested bit (bAll) or at least one of them must be in the certificate's keyUsage;
// without a keyUsage extension nothing is allowed. VOMU_OK, VOMU_E_KEY_USAGE, VOMU_E_FAIL
// (also for a null certificate).
int CheckX509KeyUsage(X509* pX509Cert, unsigned int uiCheckBits, bool bAll);
// ConvertCertDataToX509, then CheckX509KeyUsage. VOMU_OK, VOMU_E_KEY_USAGE, VOMU_E_FAIL.
int CheckCertKeyUsage(const unsigned char* pbyCert, int nCertLen, unsigned int uiCheckBits,
                      bool bAll);
// Reads a DER PKCS#12 from fpPFX's position, checks its MAC with the password, then opens it.
// Each output is optional; the key, the certificate paired with it and the further
// certificates (all in kctx) go to the caller (EVP_PKEY_free, X509_free,
// sk_X509_pop_free(.., X509_free)). A file without a key hands over no certificate.
// VOMU_OK, VOMU_E_FAIL (not PKCS#12, no MAC, or the MAC does not verify: a wrong password),
// VOMU_E_BAD_ASN1_DATA (the contents do not open).
int ParsePFXFile(FILE* fpPFX, const char* pszPassword, EVP_PKEY** ppKey, X509** ppCert,
                 STACK_OF(X509)** ppChain);
// --- end of certificate verification services ---

#endif
