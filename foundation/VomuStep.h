#ifndef MORV_VOMU_STEP_H
#define MORV_VOMU_STEP_H

// Step lines: every step of an operation logs one line, OK at INFO or Failed at ERROR.
// The reason of a Failed line is the failed condition's own source text, so the log can
// never drift from the code.
//
//   VOMU_FAIL_IF(NULL == pbyData || 0 >= nSize, "Check parameter", VOMU_E_INVALID_ARG);
//   VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_DigestInit_ex", VOMU_E_FAIL);
//
// On failure the macro logs the Failed line and returns the code from the enclosing
// function; otherwise it logs the OK line. Both lines carry the macro's own line number.

namespace morv {

// "[file(line)]:(func -- step)\t\t--OK\n"
void StepOk(const char* pszFile, int nLine, const char* pszFunc, const char* pszStep);
// "[file(line):](func -- step)\t\t--Failed:(0x%08x) [Reason:reason]\n", plus
// " Openssl <text of the most recent crypto-library error>" before the newline when bOpenssl.
void StepFailed(const char* pszFile, int nLine, const char* pszFunc, const char* pszStep,
                int nCode, const char* pszReason, bool bOpenssl);

}  // namespace morv

#define VOMU_STEP_OK(step) ::morv::StepOk(__FILE__, __LINE__, __func__, (step))
#define VOMU_STEP_FAILED(step, code, reason) \
    ::morv::StepFailed(__FILE__, __LINE__, __func__, (step), (int)(code), (reason), false)
#define VOMU_STEP_FAILED_OSSL(step, code, reason) \
    ::morv::StepFailed(__FILE__, __LINE__, __func__, (step), (int)(code), (reason), true)

// The Failed line and the return, when cond holds.
#define VOMU_STEP_FAIL_RETURN_(cond, text, step, code, openssl)                          \
    if (cond) {                                                                          \
        const int nStepCode_ = (int)(code);                                              \
        ::morv::StepFailed(__FILE__, __LINE__, __func__, (step), nStepCode_, (text),     \
                           (openssl));                                                   \
        return nStepCode_;                                                               \
    }

// The condition's text is taken by the outer macros, before NULL and the like expand.
#define VOMU_STEP_CHECK_(cond, text, step, code, openssl)                                \
    do {                                                                                 \
        VOMU_STEP_FAIL_RETURN_(cond, text, step, code, openssl)                          \
        ::morv::StepOk(__FILE__, __LINE__, __func__, (step));                            \
    } while (0)

#define VOMU_FAIL_IF(cond, step, code) VOMU_STEP_CHECK_(cond, #cond, step, code, false)
#define VOMU_FAIL_IF_OSSL(cond, step, code) VOMU_STEP_CHECK_(cond, #cond, step, code, true)

// A shared helper that logs each caller's own reason text (its callers name their variables
// differently) gives the reason instead of its condition's text.
#define VOMU_FAIL_IF_REASON(cond, reason, step, code) \
    VOMU_STEP_CHECK_(cond, reason, step, code, false)
#define VOMU_FAIL_IF_OSSL_REASON(cond, reason, step, code) \
    VOMU_STEP_CHECK_(cond, reason, step, code, true)

// Steps repeated for every piece of a streamed file log only their Failed line: an OK line per
// 16 KiB piece would flood the log of a large file with identical lines.
#define VOMU_PIECE_FAIL_IF(cond, reason, step, code, openssl) \
    do {                                                      \
        VOMU_STEP_FAIL_RETURN_(cond, reason, step, code, openssl) \
    } while (0)

#endif
