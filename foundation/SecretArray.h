#ifndef MORV_SECRET_ARRAY_H
#define MORV_SECRET_ARRAY_H

// The one owner of secrets in memory (private keys, decrypted key material, plaintext):
// whatever path leaves the scope, the octets are wiped (OPENSSL_cleanse) before they are
// released. A secret handed to a caller leaves through HandOver(Owned(), ...), after which
// there is nothing left here to wipe.
#include <openssl/crypto.h>

#include <cstddef>

#include "HandOver.h"

namespace morv {

// A secret of a size known when it is made, in a new[] array.
class SecretArray {
public:
    SecretArray() = default;
    SecretArray(const SecretArray&) = delete;
    SecretArray& operator=(const SecretArray&) = delete;
    ~SecretArray() { Wipe(); }

    // nSize octets, zeroed. False when memory runs out.
    bool Allocate(size_t nSize)
    {
        Wipe();
        m_pOwned = NewArray<unsigned char>(nSize);
        if (!m_pOwned) return false;
        m_nSize = nSize;
        memset(m_pOwned.get(), 0, nSize ? nSize : 1);
        return true;
    }
    // Takes a new[] array of nSize secret octets (an output of one of our functions).
    void Adopt(unsigned char* pbyData, size_t nSize)
    {
        Wipe();
        m_pOwned.reset(pbyData);
        m_nSize = pbyData ? nSize : 0;
    }
    unsigned char* Get() const { return m_pOwned.get(); }
    size_t Size() const { return m_pOwned ? m_nSize : 0; }
    // For HandOver: once released, nothing is left to wipe.
    OwnedArray<unsigned char>& Owned() { return m_pOwned; }

private:
    void Wipe()
    {
        if (m_pOwned && m_nSize) OPENSSL_cleanse(m_pOwned.get(), m_nSize);
        m_pOwned.reset();
        m_nSize = 0;
    }
    OwnedArray<unsigned char> m_pOwned;
    size_t m_nSize = 0;
};

// A secret of a fixed size on the stack or inside another object.
template <size_t N> struct SecretBytes {
    unsigned char aby[N] = {0};
    SecretBytes() = default;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { OPENSSL_cleanse(aby, N); }
};

}  // namespace morv

#endif
