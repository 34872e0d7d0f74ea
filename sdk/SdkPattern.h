#ifndef MORV_SDK_PATTERN_H
#define MORV_SDK_PATTERN_H

// How every function of the flat interface works, so that each one reads as its list of steps:
//   checks in parameter order (VOMU_E_INVALID_ARG, before anything is opened or allocated),
//   outputs cleared, traces (never a password), files opened "rb" and held by one owner,
//   the road chosen by name, one routine whose -1 becomes the function's family code,
//   outputs handed over only when every step succeeded.
// Step lines name "MORV" as their source, whichever file the function lives in: every SDK
// source includes this header first.
#ifdef MORV_VOMU_STEP_H
#error "SdkPattern.h must come before any header that includes VomuStep.h"
#endif
#define VOMU_STEP_FILE "MORV"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "HandOver.h"
#include "InputFile.h"
#include "KernelHold.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

// Step lines name the flat function: its own __func__, or, inside a helper that takes a step
// for it, the helper's parameter pszSdkFunc (which hides the null one below).
#define MORV_SDK_FUNC (::morv::sdk::StepFunction(pszSdkFunc, __func__))

// A step: OK line, or Failed line with the reason text and return of code.
#define MORV_STEP_IF(cond, reason, step, code) VOMU_STEP_CHECK_IN_(MORV_SDK_FUNC, cond, reason, step, code, false)
#define MORV_STEP_IF_OSSL(cond, reason, step, code) \
    VOMU_STEP_CHECK_IN_(MORV_SDK_FUNC, cond, reason, step, code, true)
// The reason is the condition's own text.
#define MORV_FAIL_IF(cond, step, code) MORV_STEP_IF(cond, #cond, step, code)
// A step that has only a Failed line (an unknown name): logs it and returns code.
#define MORV_FAIL(step, code, reason)                                                          \
    do {                                                                                       \
        const int nFailCode_ = (int)(code);                                                    \
        ::morv::StepFailed(VOMU_STEP_FILE, __LINE__, MORV_SDK_FUNC, (step), nFailCode_, (reason), \
                           false);                                                             \
        return nFailCode_;                                                                     \
    } while (0)

// Parameter checks, all VOMU_E_INVALID_ARG.
#define MORV_CHECK(cond, reason, step) MORV_STEP_IF(cond, reason, step, VOMU_E_INVALID_ARG)
// A text: NULL or empty fails; the reason names the parameter twice.
#define MORV_CHECK_TEXT(psz, step) \
    MORV_CHECK(NULL == (psz) || 0 == strlen(psz), "(NULL == " #psz " || 0 == strlen(" #psz "))", step)
// Bytes and their length: NULL or a length of 0 fails (a negative length too).
#define MORV_CHECK_BYTES(pby, n, step) \
    MORV_CHECK(NULL == (pby) || 0 >= (n), "(NULL == " #pby " || 0 == " #n ")", step)
// A required output pointer.
#define MORV_CHECK_OUT(pp, step) MORV_CHECK(NULL == (pp), "NULL == " #pp, step)

// Opens path "rb" into the new owner fp: step, reason "NULL == fp", VOMU_E_OPEN_FILE (also
// at once for a path that names no regular file).
#define MORV_OPEN_RB(fp, path, step)                  \
    ::morv::sdk::FilePtr fp(::morv::OpenInputFile(path)); \
    MORV_STEP_IF(!fp, "NULL == " #fp, step, VOMU_E_OPEN_FILE)

// One routine: -1 becomes family (pass MORV_KEEP_CODE to leave it), the step text is the
// routine's name, the reason "VOMU_OK != nResult".
#define MORV_KEEP_CODE VOMU_E_FAIL
#define MORV_RUN(family, routine, ...)                                                  \
    do {                                                                                \
        const int nResult = ::morv::sdk::FamilyCode(routine(__VA_ARGS__), (family));    \
        MORV_STEP_IF(VOMU_OK != nResult, "VOMU_OK != nResult", #routine, nResult);      \
    } while (0)

// The kernel held for the whole call, before anything else (SMKernel.h): while the kernel is
// stopped, starting or stopping the call fails at once, as a routine's -1 would, with family.
#define MORV_HOLD_KERNEL(family)                                                     \
    const ::smk::KernelHold kernelHold;                                              \
    if (!kernelHold) MORV_FAIL("Hold the kernel", ::morv::sdk::FamilyCode(VOMU_E_FAIL, (family)), "!kernelHold")

// Outside a helper the step belongs to the function that takes it.
constexpr const char* pszSdkFunc = nullptr;

namespace morv {
namespace sdk {

inline const char* StepFunction(const char* pszHelperFor, const char* pszOwn)
{
    return pszHelperFor ? pszHelperFor : pszOwn;
}

struct FileCloser {
    void operator()(FILE* fp) const { fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A routine's -1 replaced by the function's family code; every other code passes.
inline int FamilyCode(int nResult, int nFamily) { return VOMU_E_FAIL == nResult ? nFamily : nResult; }

// ASCII comparison without regard to case, whatever the process's locale.
bool EqualNoCase(const char* pszA, const char* pszB);

enum class Road { SM2, RSA, NONE };
// "SM2" first, then "RSA".
Road ChooseRoad(const char* pszAlgorithm);
// 64 for "SHA-1", 672 for "SHA-256", 0 for any other name.
int HashNumber(const char* pszHashAlg);
// The hash steps of an RSA road: the name checked as a text (step and reason as the function
// spells them), traced with the format, then its number. VOMU_OK or VOMU_E_INVALID_ARG.
int RSAHashNumber(const char* pszSdkFunc, const char* pszHashAlg, const char* pszStep,
                  const char* pszReason, const char* pszTraceFormat, int* pnHash);

// The length of a caller's text as the routines below take it.
inline int TextLen(const char* psz) { return (int)strlen(psz); }

// A NULL password is read as the empty one.
inline const char* Password(const char* pszPassword) { return pszPassword ? pszPassword : ""; }

// The SM2 signature algorithm the SignerInfos of our PKCS#7 signatures name.
constexpr const char* SM2_SIGNATURE_OID = "1.2.156.10197.1.301.1";

inline void Clear(char** pp)
{
    if (pp) *pp = NULL;
}
inline void Clear(unsigned char** pp)
{
    if (pp) *pp = NULL;
}
inline void Clear(int* pn)
{
    if (pn) *pn = 0;
}

// A routine's output array (new[]) and its length, owned from the moment the routine writes
// it: released (wiped first, for it may hold plaintext) on every exit unless handed over.
template <typename T> class Output {
public:
    Output() = default;
    ~Output() { Reset(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    T** Out() { return &m_p; }
    int* Len() { return &m_n; }
    T* Get() const { return m_p; }
    int Size() const { return m_n; }
    // Gives the array to *pp and its length to *pn, each when asked for; released otherwise.
    // HandOver's result (the length always fits: it came as an int).
    int HandTo(T** pp, int* pn = NULL)
    {
        OwnedArray<T> owned(m_p);
        m_p = NULL;
        const size_t nSize = (size_t)m_n;
        m_n = 0;
        return HandOver(owned, pp, pn, nSize);
    }
    void Reset()
    {
        if (m_p && m_n > 0) OPENSSL_cleanse(m_p, (size_t)m_n * sizeof(T));
        delete[] m_p;
        m_p = NULL;
        m_n = 0;
    }

private:
    T* m_p = NULL;
    int m_n = 0;
};

using TextOutput = Output<char>;
using BytesOutput = Output<unsigned char>;

}  // namespace sdk
}  // namespace morv

#endif
