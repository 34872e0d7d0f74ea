#ifndef MORV_OPERATIONS_COMMON_H
#define MORV_OPERATIONS_COMMON_H

// Constants and small owners shared by the signing and encryption operations.
#include <openssl/crypto.h>

#include <cstddef>
#include <new>

#include "HandOver.h"

// Files are streamed in pieces of this many bytes (hashing, symmetric files, envelope files).
#define BLOCK_SIZE 16384

// Content-key lengths of the symmetric ciphers.
#define DES3_KEY_LEN 24
#define RC4_KEY_LEN  16
#define SM4_KEY_LEN  16

namespace morv {

// A new[] array of secret bytes (keys, plaintext), wiped when it is released here. Handing it
// over (Release) gives the bytes to the caller unwiped.
class SecretArray {
public:
    SecretArray() = default;
    explicit SecretArray(size_t nSize)
        : m_pbyData(new (std::nothrow) unsigned char[nSize ? nSize : 1]()), m_nSize(nSize)
    {
    }
    ~SecretArray() { Reset(); }
    SecretArray(const SecretArray&) = delete;
    SecretArray& operator=(const SecretArray&) = delete;
    SecretArray(SecretArray&& other) noexcept { *this = static_cast<SecretArray&&>(other); }
    SecretArray& operator=(SecretArray&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_pbyData = other.m_pbyData;
            m_nSize = other.m_nSize;
            other.m_pbyData = nullptr;
            other.m_nSize = 0;
        }
        return *this;
    }

    // Takes over a new[] array of nSize secret bytes.
    static SecretArray Adopt(unsigned char* pbyData, size_t nSize)
    {
        SecretArray owner;
        owner.m_pbyData = pbyData;
        owner.m_nSize = pbyData ? nSize : 0;
        return owner;
    }

    explicit operator bool() const { return m_pbyData != nullptr; }
    unsigned char* get() const { return m_pbyData; }
    size_t size() const { return m_nSize; }
    // The bytes as an ordinary owned array, for HandOver.
    OwnedArray<unsigned char> Release()
    {
        OwnedArray<unsigned char> pOwned(m_pbyData);
        m_pbyData = nullptr;
        m_nSize = 0;
        return pOwned;
    }

private:
    void Reset()
    {
        if (m_pbyData) {
            OPENSSL_cleanse(m_pbyData, m_nSize ? m_nSize : 1);
            delete[] m_pbyData;
        }
        m_pbyData = nullptr;
        m_nSize = 0;
    }

    unsigned char* m_pbyData = nullptr;
    size_t m_nSize = 0;
};

}  // namespace morv

#endif
