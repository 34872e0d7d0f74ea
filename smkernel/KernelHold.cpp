// The kernel's lifetime guard: an open bit and a count of holders in one atomic word.
#include "KernelHold.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

namespace smk {
namespace {

const uint64_t kOpen = 1;     // the kernel runs: holds may enter
const uint64_t kHolder = 2;   // one holder, counted above the open bit

struct Gate {
    std::atomic<uint64_t> nWord{0};
    // Only a stop waits; the last holder out wakes it.
    std::mutex mtxDrain;
    std::condition_variable cvDrained;
};

// Never destroyed: holds may still be given back by threads that outlive static destruction.
// It lives in static storage rather than on the heap, so nothing of it is left over when the
// module is unloaded.
Gate& TheGate()
{
    alignas(Gate) static unsigned char s_abyGate[sizeof(Gate)];
    static Gate* s_pGate = new (s_abyGate) Gate;
    return *s_pGate;
}

// Depth of this thread's holds; only the outermost one is counted in the word.
thread_local int t_nDepth = 0;

bool Enter(Gate& gate)
{
    uint64_t nWord = gate.nWord.load(std::memory_order_relaxed);
    do {
        if (!(nWord & kOpen)) return false;  // a failed hold leaves the word alone
    } while (!gate.nWord.compare_exchange_weak(nWord, nWord + kHolder, std::memory_order_acquire,
                                               std::memory_order_relaxed));
    return true;
}

void Leave(Gate& gate)
{
    const uint64_t nLeft = gate.nWord.fetch_sub(kHolder, std::memory_order_release) - kHolder;
    if (0 != nLeft) return;  // others still hold, or the gate is open and nobody waits
    // The gate is closed and this was the last holder: the stop waiting may go on. Taking the
    // mutex orders the wake-up after the stop's check of the count.
    std::lock_guard<std::mutex> lock(gate.mtxDrain);
    gate.cvDrained.notify_all();
}

}  // namespace

KernelHold::KernelHold() : m_bHeld(true)
{
    if (t_nDepth > 0) {
        ++t_nDepth;
        return;
    }
    m_bHeld = Enter(TheGate());
    if (m_bHeld) t_nDepth = 1;
}

KernelHold::~KernelHold()
{
    if (!m_bHeld) return;
    if (0 == --t_nDepth) Leave(TheGate());
}

bool KernelHold::HeldHere() { return t_nDepth > 0; }

KernelStartHold::KernelStartHold() { ++t_nDepth; }
KernelStartHold::~KernelStartHold() { --t_nDepth; }

void KernelGateOpen() { TheGate().nWord.fetch_or(kOpen, std::memory_order_release); }

int KernelGateCloseAndDrain()
{
    if (t_nDepth > 0) return 0;
    Gate& gate = TheGate();
    gate.nWord.fetch_and(~kOpen, std::memory_order_acq_rel);
    std::unique_lock<std::mutex> lock(gate.mtxDrain);
    gate.cvDrained.wait(lock, [&] { return 0 == gate.nWord.load(std::memory_order_acquire); });
    return 1;
}

}  // namespace smk
