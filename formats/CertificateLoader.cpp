#include "CertificateLoader.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include "SMKernel.h"
#include "VomuStep.h"
#include "vomu_result.h"

namespace morv {

namespace {

// One object of type T into kctx: PEM from the BIO's position, else DER after a reset (a
// memory BIO back to its first byte, a file BIO to the start of its stream).
template <typename T>
T* ReadPemThenDer(BIO* pBio, T* (*pfnNew)(), T* (*pfnPem)(BIO*, T**, pem_password_cb*, void*),
                  T* (*pfnDer)(BIO*, T**), void (*pfnFree)(T*))
{
    T* pObject = pfnNew();
    if (!pObject) return nullptr;
    ERR_set_mark();  // DER input is no PEM failure worth reporting
    T* pRead = pfnPem(pBio, &pObject, nullptr, nullptr);
    ERR_pop_to_mark();
    if (pRead) return pRead;
    pfnFree(pObject);  // null already when the decoder freed it
    if (BIO_reset(pBio) < 0 || !(pObject = pfnNew())) return nullptr;
    pRead = pfnDer(pBio, &pObject);
    if (!pRead) pfnFree(pObject);
    return pRead;
}

}  // namespace

X509* ReadCertificate(BIO* pBio)
{
    return ReadPemThenDer<X509>(pBio, smk::NewX509, PEM_read_bio_X509, d2i_X509_bio, X509_free);
}

X509_CRL* ReadCrl(BIO* pBio)
{
    return ReadPemThenDer<X509_CRL>(pBio, smk::NewX509Crl, PEM_read_bio_X509_CRL,
                                    d2i_X509_CRL_bio, X509_CRL_free);
}

int LoadCertificate(const char* pszFunc, const unsigned char* pbyCert, int nCertLen,
                    OsslPtr<X509>* ppX509, bool bShared)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pbyCert || nCertLen <= 0 || NULL == ppX509,
                    "Check parameter", VOMU_E_FAIL);
    OsslPtr<BIO> pBioCert(BIO_new_mem_buf(pbyCert, nCertLen));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pBioCert, "BIO_new_mem_buf", VOMU_E_FAIL);
    OsslPtr<X509> pX509Cert(bShared ? SharedCertificate(pbyCert, nCertLen, pBioCert.get()) : CertificateMemo::Decode(pbyCert, nCertLen, [&] { return ReadCertificate(pBioCert.get()); }));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pX509Cert, "d2i_X509_bio", VOMU_E_FAIL);
    *ppX509 = std::move(pX509Cert);
    return VOMU_OK;
}

// The cache may read twice (a refused extension is read afresh): each read starts at the
// buffer's first byte.
X509* SharedCertificate(const unsigned char* pbyCert, int nCertLen, BIO* pBioCert)
{
    return CertificateCache::Decode(pbyCert, nCertLen, CertificateForm::PemThenDer, [&] {
        return BIO_reset(pBioCert) < 0 ? nullptr : ReadCertificate(pBioCert);
    });
}

}  // namespace morv
