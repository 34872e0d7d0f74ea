#include "CertificateMemo.h"

#include <cstring>
#include <new>

namespace morv {

namespace {

thread_local CertificateMemo* t_pActive = nullptr;

}  // namespace

CertificateMemo::CertificateMemo()
{
    if (t_pActive) return;
    t_pActive = this;
    m_bActive = true;
}

CertificateMemo::~CertificateMemo()
{
    if (m_bActive && t_pActive == this) t_pActive = nullptr;
}

X509* CertificateMemo::Find(const unsigned char* pbyCert, int nCertLen)
{
    if (!t_pActive || !pbyCert || nCertLen <= 0) return nullptr;
    for (int i = 0; i < t_pActive->m_nUsed; ++i) {
        const Entry& entry = t_pActive->m_entries[i];
        if (entry.nDerLen == nCertLen && 0 == memcmp(entry.pbyDer.get(), pbyCert, (size_t)nCertLen))
            return 1 == X509_up_ref(entry.pCert.get()) ? entry.pCert.get() : nullptr;
    }
    return nullptr;
}

void CertificateMemo::Keep(const unsigned char* pbyCert, int nCertLen, X509* pCert)
{
    if (!t_pActive || t_pActive->m_nUsed >= kEntries || !pbyCert || nCertLen <= 0 || !pCert) return;
    Entry& entry = t_pActive->m_entries[t_pActive->m_nUsed];
    entry.pbyDer.reset(new (std::nothrow) unsigned char[(size_t)nCertLen]);
    if (!entry.pbyDer || 1 != X509_up_ref(pCert)) {
        entry.pbyDer.reset();
        return;
    }
    memcpy(entry.pbyDer.get(), pbyCert, (size_t)nCertLen);
    entry.nDerLen = nCertLen;
    entry.pCert.reset(pCert);
    ++t_pActive->m_nUsed;
}

}  // namespace morv
