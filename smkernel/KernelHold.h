#ifndef MORV_KERNEL_HOLD_H
#define MORV_KERNEL_HOLD_H

// The kernel's lifetime guard. A call that uses kctx or an object of the kernel holds the
// kernel for its whole duration; a stop closes the gate (new holds fail at once), waits for
// the holds in flight to drain and only then frees anything. A hold is a shared count of
// holders beside an open bit in one atomic word: uncontended it costs one compare-and-swap
// to take and one atomic subtraction to give back, and no lock. Busy callers cannot starve
// a stop: once the gate is closed no new hold gets in.
//
// Holds nest on one thread (an SDK function holding the kernel calls _SM2_sign, which holds
// it again): only the outermost hold counts, so an inner hold never waits behind a stop that
// waits for the outer one. The hold is the only lock of ours kept across a call: take it
// first, give it back last.

namespace smk {

class KernelHold {
public:
    // Tries to hold the kernel: held when it runs, not held (at once, without waiting) while
    // it is stopped, starting or stopping.
    KernelHold();
    ~KernelHold();
    KernelHold(const KernelHold&) = delete;
    KernelHold& operator=(const KernelHold&) = delete;

    explicit operator bool() const { return m_bHeld; }

    // True while the calling thread holds the kernel.
    static bool HeldHere();

private:
    bool m_bHeld;
};

// For the starting thread only, while start and stop are serialised and the gate is still
// closed: its start-up uses the objects it has just made as a holder would.
class KernelStartHold {
public:
    KernelStartHold();
    ~KernelStartHold();
    KernelStartHold(const KernelStartHold&) = delete;
    KernelStartHold& operator=(const KernelStartHold&) = delete;
};

// The stop side, for SMKernel.cpp only (under its start/stop mutex).
// Opens the gate when the kernel is ready; holds succeed from here on.
void KernelGateOpen();
// Closes the gate and waits until every hold has been given back. 0 (and the gate stays
// open) when the calling thread itself holds the kernel: it would wait for itself.
int KernelGateCloseAndDrain();

}  // namespace smk

#endif
