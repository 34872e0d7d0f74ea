#ifndef MORV_RSA_SIGNER_H
#define MORV_RSA_SIGNER_H

// The RSA signer of a PKCS#12 file, shared by the PKCS#1 and PKCS#7 file roads.
#include <cstdio>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "OsslPtr.h"

namespace morv {

// ParsePFXFile, the certificate's digitalSignature key usage (a file without a certificate
// fails here with VOMU_E_FAIL), then an RSA private key (else VOMU_E_FAIL). Their codes.
int ReadRsaSigner(FILE* fpPFXFile, const char* pszPassword, OsslPtr<EVP_PKEY>& pPrivKey,
                  OsslPtr<X509>& pSignCert);

}  // namespace morv

#endif
