#ifndef MORV_CERTIFICATE_CACHE_H
#define MORV_CERTIFICATE_CACHE_H

// Certificates decoded by OpenSSL, shared across calls and threads, keyed by their exact
// bytes and the form they were read in. Decoding one builds an OpenSSL key decoder (tens of
// microseconds, most of an SM2 call); the same signer's certificate arrives call after call.
//
// An entry is published only once OpenSSL accepted its bytes and its extension cache is
// filled, so readers never change it: it is only for the read-only field readers of the
// formats and the operations, never handed to a caller who owns what it gets. Certificates
// are public, so nothing secret is kept. The entries are made in kctx and go at every kernel
// stop. Not for use outside formats/ and operations/.
#include <openssl/x509.h>

namespace morv {

// What a certificate's bytes were read as; the same bytes may read differently in another
// form (PEM text found inside DER, say), so the form is part of the key.
enum class CertificateForm { PemThenDer, Der };

class CertificateCache {
public:
    // A new reference to the shared certificate of exactly these bytes in this form, else
    // read()'s (a new X509 in kctx, or null), which the cache then shares. A certificate
    // whose extensions OpenSSL refuses is never shared: its caller gets a fresh copy that
    // still raises the refusal itself.
    template <typename Read>
    static X509* Decode(const unsigned char* pbyCert, int nCertLen, CertificateForm form,
                        Read read)
    {
        X509* pCert = Find(pbyCert, nCertLen, form);
        if (pCert) return pCert;
        const unsigned long ulGeneration = Generation();
        pCert = read();
        if (!pCert || Share(pbyCert, nCertLen, form, ulGeneration, pCert)) return pCert;
        X509_free(pCert);
        return read();
    }

    // Drops every entry (the kernel stop does, before kctx goes); holders keep their own
    // references.
    static void Clear();
    // How many entries the cache holds at most.
    static const int kEntries = 32;

private:
    static X509* Find(const unsigned char* pbyCert, int nCertLen, CertificateForm form);
    static unsigned long Generation();
    // True when pCert may be handed out: it is shared (or could not be, memory or a kernel
    // stop since ulGeneration, with pCert untouched). False when its extensions are refused.
    static bool Share(const unsigned char* pbyCert, int nCertLen, CertificateForm form,
                      unsigned long ulGeneration, X509* pCert);
};

}  // namespace morv

#endif
