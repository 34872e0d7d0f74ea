#ifndef MORV_TESTS_SUPPORT_FAILING_ALLOCATOR_H
#define MORV_TESTS_SUPPORT_FAILING_ALLOCATOR_H

// The program's own operator new and delete, for tests of what happens when memory runs out:
// once armed, the n-th allocation fails (once), and the blocks live at any moment are counted,
// so a leak shows without a sanitizer. Replacement allocation functions cannot be inline:
// include this header in exactly one source file of a test program.
#include <atomic>
#include <cstdlib>
#include <new>

namespace support {

// Allocations left before one fails; -1: none fails; -2: the armed failure happened.
inline std::atomic<long> g_nAllocationsLeft{-1};
// Blocks handed out by operator new and not yet deleted.
inline std::atomic<long> g_nLiveAllocations{0};

struct FailAfter {
    explicit FailAfter(long n) { g_nAllocationsLeft = n; }
    ~FailAfter() { g_nAllocationsLeft = -1; }
    // True when the failure was reached during the scope.
    bool Reached() const { return g_nAllocationsLeft.load() == -2; }
};

inline void ReleaseAllocation(void* p)
{
    if (!p) return;
    --g_nLiveAllocations;
    free(p);
}

}  // namespace support

void* operator new(std::size_t n)
{
    long nLeft = support::g_nAllocationsLeft.load();
    if (nLeft == 0) {
        support::g_nAllocationsLeft = -2;
        throw std::bad_alloc();
    }
    if (nLeft > 0) support::g_nAllocationsLeft = nLeft - 1;
    void* p = malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    ++support::g_nLiveAllocations;
    return p;
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    try {
        return ::operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return ::operator new(n, tag); }

// Every form takes its memory from malloc, so free is the matching release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { support::ReleaseAllocation(p); }
void operator delete(void* p, std::size_t) noexcept { support::ReleaseAllocation(p); }
void operator delete[](void* p) noexcept { support::ReleaseAllocation(p); }
void operator delete[](void* p, std::size_t) noexcept { support::ReleaseAllocation(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { support::ReleaseAllocation(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { support::ReleaseAllocation(p); }
#pragma GCC diagnostic pop

#endif
