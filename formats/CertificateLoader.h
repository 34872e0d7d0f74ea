#ifndef MORV_CERTIFICATE_LOADER_H
#define MORV_CERTIFICATE_LOADER_H

// The one certificate loader of the formats: PEM text first, then DER from the start of the
// same input, decoded into the kernel context so that signatures checked on it reach our SM
// code. Not for use outside formats/.
#include <openssl/bio.h>
#include <openssl/x509.h>

#include "CertificateCache.h"
#include "CertificateMemo.h"
#include "OsslPtr.h"

namespace morv {

// One certificate or CRL from a BIO: PEM from its position, else DER after a reset (a memory
// BIO back to its first byte, a file BIO to the start of its stream). Null when neither.
X509* ReadCertificate(BIO* pBio);
X509_CRL* ReadCrl(BIO* pBio);

// One certificate from nCertLen octets of PEM or DER. Steps "Check parameter",
// "BIO_new_mem_buf" and "d2i_X509_bio" (neither form); every failure is VOMU_E_FAIL.
// bShared: the certificate may be the cache's shared object (CertificateCache.h), which the
// caller only reads; otherwise it is the caller's own. The lines name pszFunc, the reader whose
// steps these are.
int LoadCertificate(const char* pszFunc, const unsigned char* pbyCert, int nCertLen,
                    OsslPtr<X509>* ppX509, bool bShared = false);

// The shared certificate of these bytes (a new reference), read from pBioCert, which holds
// them, when the cache has none. Null when they are neither PEM nor DER.
X509* SharedCertificate(const unsigned char* pbyCert, int nCertLen, BIO* pBioCert);

}  // namespace morv

#endif
