#ifndef MORV_HAND_OVER_H
#define MORV_HAND_OVER_H

// Outputs reach the caller in one place, only on success. Every buffer handed up is an
// array from new[] (native callers release it with FreeMemory, i.e. delete[]).
#include <cstddef>
#include <memory>
#include <new>

namespace morv {

// A new[] array owned until it is handed over.
template <typename T> using OwnedArray = std::unique_ptr<T[]>;

template <typename T> OwnedArray<T> NewArray(size_t nCount)
{
    return OwnedArray<T>(new (std::nothrow) T[nCount ? nCount : 1]);
}

// Gives the array to *ppOut (and its length to *pnOutSize) when the caller asked for them;
// otherwise the array is released here. Lengths are checked against int by the producer.
template <typename T> void HandOver(OwnedArray<T>& pOwned, T** ppOut, int* pnOutSize, size_t nSize)
{
    if (pnOutSize) *pnOutSize = (int)nSize;
    if (ppOut) *ppOut = pOwned.release();
    pOwned.reset();
}

template <typename T> void HandOver(OwnedArray<T>& pOwned, T** ppOut)
{
    if (ppOut) *ppOut = pOwned.release();
    pOwned.reset();
}

}  // namespace morv

#endif
