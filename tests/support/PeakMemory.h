// Peak resident memory of this process, from /proc: what a call cost in memory at its worst.
//
//   if (!morv_test::ResetPeak()) GTEST_SKIP();
//   const long nBefore = morv_test::PeakKib();
//   ... the call ...
//   EXPECT_LT(morv_test::PeakKib() - nBefore, 64 * 1024);
#ifndef MORV_TESTS_PEAK_MEMORY_H
#define MORV_TESTS_PEAK_MEMORY_H

#include <cstdlib>
#include <fstream>
#include <string>

namespace morv_test {

// VmHWM in KiB, or -1 when /proc does not tell.
inline long PeakKib()
{
    std::ifstream in("/proc/self/status");
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.compare(0, 6, "VmHWM:") == 0) return atol(strLine.c_str() + 6);
    }
    return -1;
}

// Lowers the peak to the memory in use now; false where the kernel does not allow it.
inline bool ResetPeak()
{
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.close();
    return out.good() && PeakKib() >= 0;
}

}  // namespace morv_test

#endif
