#include "CertificateCache.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string_view>

#include "SMKernel.h"

namespace morv {

namespace {

struct Entry {
    std::unique_ptr<unsigned char[]> pbyDer;
    int nDerLen = 0;
    size_t nHash = 0;
    CertificateForm form = CertificateForm::Der;
    X509* pCert = nullptr;  // the cache's own reference
    unsigned long ulLastUse = 0;
};

// pthread rather than std::mutex: no exception may leave our functions.
pthread_mutex_t g_mtxEntries = PTHREAD_MUTEX_INITIALIZER;
Entry g_entries[CertificateCache::kEntries];      // under g_mtxEntries
unsigned long g_ulUses = 0;                       // under g_mtxEntries
// Counts kernel stops: a certificate decoded before a stop must not be shared after it.
unsigned long g_ulGeneration = 0;                 // under g_mtxEntries
std::atomic<bool> g_bHookAdded{false};

class EntriesLock {
public:
    EntriesLock() { pthread_mutex_lock(&g_mtxEntries); }
    ~EntriesLock() { pthread_mutex_unlock(&g_mtxEntries); }
    EntriesLock(const EntriesLock&) = delete;
    EntriesLock& operator=(const EntriesLock&) = delete;
};

size_t HashOf(const unsigned char* pbyCert, int nCertLen)
{
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(pbyCert), (size_t)nCertLen));
}

bool Matches(const Entry& entry, const unsigned char* pbyCert, int nCertLen, size_t nHash,
             CertificateForm form)
{
    return entry.pCert && entry.nHash == nHash && entry.nDerLen == nCertLen &&
           entry.form == form && 0 == memcmp(entry.pbyDer.get(), pbyCert, (size_t)nCertLen);
}

void Release(Entry& entry)
{
    X509_free(entry.pCert);
    entry.pCert = nullptr;
    entry.pbyDer.reset();
    entry.nDerLen = 0;
}

// The free slot, else the one used least recently.
Entry& SlotForNew()
{
    Entry* pSlot = &g_entries[0];
    for (Entry& entry : g_entries) {
        if (!entry.pCert) return entry;
        if (entry.ulLastUse < pSlot->ulLastUse) pSlot = &entry;
    }
    return *pSlot;
}

// Fills what the readers would otherwise compute lazily on the shared object (the extension
// cache: key usage, subject key identifier, the hash X509_cmp uses), so it never changes once
// published. 1 when OpenSSL accepts the extensions; the queue is left as it was either way.
bool FillExtensionCache(X509* pCert)
{
    ERR_set_mark();
    const bool bAccepted = 1 == X509_check_purpose(pCert, -1, 0);
    ERR_pop_to_mark();
    return bAccepted;
}

// Registered outside the entries' lock: the kernel runs its hooks under its own lock.
bool HookAdded()
{
    if (g_bHookAdded.load(std::memory_order_acquire)) return true;
    if (1 != smk::AddKernelStopHook(&CertificateCache::Clear)) return false;
    g_bHookAdded.store(true, std::memory_order_release);
    return true;
}

}  // namespace

X509* CertificateCache::Find(const unsigned char* pbyCert, int nCertLen, CertificateForm form)
{
    if (!pbyCert || nCertLen <= 0) return nullptr;
    const size_t nHash = HashOf(pbyCert, nCertLen);
    EntriesLock lock;
    for (Entry& entry : g_entries) {
        if (!Matches(entry, pbyCert, nCertLen, nHash, form)) continue;
        if (1 != X509_up_ref(entry.pCert)) return nullptr;
        entry.ulLastUse = ++g_ulUses;
        return entry.pCert;
    }
    return nullptr;
}

unsigned long CertificateCache::Generation()
{
    EntriesLock lock;
    return g_ulGeneration;
}

bool CertificateCache::Share(const unsigned char* pbyCert, int nCertLen, CertificateForm form,
                             unsigned long ulGeneration, X509* pCert)
{
    if (!pbyCert || nCertLen <= 0 || !HookAdded()) return true;
    if (!FillExtensionCache(pCert)) return false;
    std::unique_ptr<unsigned char[]> pbyDer(new (std::nothrow) unsigned char[(size_t)nCertLen]);
    if (!pbyDer) return true;
    memcpy(pbyDer.get(), pbyCert, (size_t)nCertLen);
    const size_t nHash = HashOf(pbyCert, nCertLen);
    EntriesLock lock;
    if (ulGeneration != g_ulGeneration) return true;
    for (const Entry& entry : g_entries)
        if (Matches(entry, pbyCert, nCertLen, nHash, form)) return true;  // another thread's
    if (1 != X509_up_ref(pCert)) return true;
    Entry& slot = SlotForNew();
    Release(slot);
    slot.pbyDer = std::move(pbyDer);
    slot.nDerLen = nCertLen;
    slot.nHash = nHash;
    slot.form = form;
    slot.pCert = pCert;
    slot.ulLastUse = ++g_ulUses;
    return true;
}

void CertificateCache::Clear()
{
    EntriesLock lock;
    ++g_ulGeneration;
    for (Entry& entry : g_entries) Release(entry);
}

}  // namespace morv
