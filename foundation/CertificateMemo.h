#ifndef MORV_CERTIFICATE_MEMO_H
#define MORV_CERTIFICATE_MEMO_H

// Certificates decoded during one operation, for the certificate loader to share instead of
// decoding the same bytes again (each decode builds an OpenSSL key decoder: tens of
// microseconds). A memo lives on the stack of one operation and serves only its thread; an
// inner memo while one is active adds nothing. Only for operations that read the
// certificates they load and never change them.
#include <openssl/x509.h>

#include <memory>

#include "OsslPtr.h"

namespace morv {

class CertificateMemo {
public:
    CertificateMemo();
    ~CertificateMemo();
    CertificateMemo(const CertificateMemo&) = delete;
    CertificateMemo& operator=(const CertificateMemo&) = delete;

    // A new reference to the certificate of exactly these bytes, when the active memo holds it.
    static X509* Find(const unsigned char* pbyCert, int nCertLen);
    // The active memo keeps a reference (nothing when none is active, it is full or memory
    // runs out: the caller's own copy is unaffected).
    static void Keep(const unsigned char* pbyCert, int nCertLen, X509* pCert);
    // The memo's certificate, or read()'s (a new X509 or null), which the memo then keeps.
    template <typename Read>
    static X509* Decode(const unsigned char* pbyCert, int nCertLen, Read read)
    {
        X509* pCert = Find(pbyCert, nCertLen);
        if (pCert) return pCert;
        pCert = read();
        Keep(pbyCert, nCertLen, pCert);
        return pCert;
    }

private:
    struct Entry {
        std::unique_ptr<unsigned char[]> pbyDer;
        int nDerLen = 0;
        OsslPtr<X509> pCert;
    };
    static const int kEntries = 4;
    Entry m_entries[kEntries];
    int m_nUsed = 0;
    bool m_bActive = false;
};

}  // namespace morv

#endif
