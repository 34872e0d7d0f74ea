#ifndef MORV_BENCH_CLOCK_H
#define MORV_BENCH_CLOCK_H

// Timing one run of a benchmark step.
#include <chrono>
#include <functional>

namespace bench {

// The seconds fn took; *pbOk turns false when fn fails (and stays false).
inline double Seconds(const std::function<bool()>& fn, bool* pbOk)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    *pbOk = fn() && *pbOk;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace bench

#endif
