#ifndef MORV_RSA_SIGNER_H
#define MORV_RSA_SIGNER_H

// Pieces shared by the RSA PKCS#1 and PKCS#7 roads.
#include <cstdio>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "HandOver.h"
#include "OsslPtr.h"

namespace morv {

// Each logs its steps under pszFunc, the public function whose steps they are.

// ParsePFXFile, the certificate's digitalSignature key usage (a file without a certificate
// fails here with VOMU_E_FAIL), then an RSA private key (else VOMU_E_FAIL). Their codes.
int ReadRsaSigner(const char* pszFunc, FILE* fpPFXFile, const char* pszPassword,
                  OsslPtr<EVP_PKEY>& pPrivKey, OsslPtr<X509>& pSignCert);

// The bytes of a NUL-terminated Base64 text in a new array (the caller logs the step).
// VOMU_E_INVALID_ARG for a null text, Base64DecodeEx's codes.
int DecodeBase64Text(const char* pszFunc, const char* pszText, OwnedArray<unsigned char>& pDecoded,
                     int* pnSize);

// Takes over a signature or SignedData (new[]) and hands it on as Base64 text
// (Base64EncodeEx's flags; pnBase64Size may be null). Base64EncodeEx's codes.
int HandOverAsBase64(const char* pszFunc, unsigned char* pbySigned, int nSignedSize,
                     unsigned long dwBase64Flags, char** ppszBase64, int* pnBase64Size);

}  // namespace morv

#endif
