// The scalar SM3 compression compiled for x86-64 CPUs with BMI1/BMI2: rorx rotates and
// andn combine without destroying their inputs, which saves the register copies that
// dominate the portable build's rounds. Same source as the portable path (SM3Internal.h).
#include "SM3Internal.h"

namespace smk {
namespace sm3 {

#if defined(__x86_64__) && defined(__GNUC__)

__attribute__((target("bmi,bmi2"))) void CompressBmi2(uint32_t V[8], const unsigned char* p, size_t nBlocks)
{
    CompressScalar(V, p, nBlocks);
}

bool HaveBmi2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}

#else

void CompressBmi2(uint32_t V[8], const unsigned char* p, size_t nBlocks) { CompressPortable(V, p, nBlocks); }
bool HaveBmi2() { return false; }

#endif

}  // namespace sm3
}  // namespace smk
