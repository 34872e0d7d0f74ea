#ifndef MORV_HAND_OVER_H
#define MORV_HAND_OVER_H

// The ownership rule for outputs. Every byte or text buffer a function of ours hands up is an
// array from new[], given to the caller through HandOver and only on success (native callers
// release it with FreeMemory, i.e. delete[]). Lengths reach the caller as int: HandOver
// refuses a larger size rather than narrow it. Bytes the crypto library allocates (i2d_*,
// OBJ_obj2txt and the like) never reach a caller: they are owned by OpensslBytes and copied
// into a new[] array first. Secrets are held in a SecretArray (SecretArray.h), which wipes
// them when it goes.
#include <openssl/crypto.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "vomu_result.h"

namespace morv {

// A new[] array owned until it is handed over.
template <typename T> using OwnedArray = std::unique_ptr<T[]>;

template <typename T> OwnedArray<T> NewArray(size_t nCount)
{
    return OwnedArray<T>(new (std::nothrow) T[nCount ? nCount : 1]);
}

// Whether a length can be handed to a caller.
inline bool FitsHandOver(size_t nSize) { return nSize <= (size_t)INT_MAX; }

// Gives the array to *ppOut (and its length to *pnOutSize) when the caller asked for them;
// otherwise the array is released here. VOMU_OK; VOMU_E_FILE_TOO_LARGE for a length over
// INT_MAX, with the array released and both outputs untouched.
template <typename T> int HandOver(OwnedArray<T>& pOwned, T** ppOut, int* pnOutSize, size_t nSize)
{
    if (!FitsHandOver(nSize)) {
        pOwned.reset();
        return VOMU_E_FILE_TOO_LARGE;
    }
    if (pnOutSize) *pnOutSize = (int)nSize;
    if (ppOut) *ppOut = pOwned.release();
    pOwned.reset();
    return VOMU_OK;
}

// A NUL-terminated text, whose length the caller measures itself.
template <typename T> void HandOver(OwnedArray<T>& pOwned, T** ppOut)
{
    if (ppOut) *ppOut = pOwned.release();
    pOwned.reset();
}

// The owner of memory the crypto library allocated (released with OPENSSL_free).
struct OpensslFree {
    void operator()(void* p) const { OPENSSL_free(p); }
};
using OpensslBytes = std::unique_ptr<unsigned char, OpensslFree>;
using OpensslText = std::unique_ptr<char, OpensslFree>;

// A new[] copy of nSize octets (pbyData may be null when nSize is 0); null when memory runs out.
inline OwnedArray<unsigned char> CopyToArray(const unsigned char* pbyData, size_t nSize)
{
    OwnedArray<unsigned char> pCopy = NewArray<unsigned char>(nSize);
    if (pCopy && nSize) memcpy(pCopy.get(), pbyData, nSize);
    return pCopy;
}

}  // namespace morv

#endif
