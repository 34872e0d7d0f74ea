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

// The file a step line names: the source file, unless a file sets VOMU_STEP_FILE before it
// includes this header (a component split over several files logs under its one name).
#ifndef VOMU_STEP_FILE
#define VOMU_STEP_FILE __FILE__
#endif

#define VOMU_STEP_OK(step) ::morv::StepOk(VOMU_STEP_FILE, __LINE__, __func__, (step))
#define VOMU_STEP_FAILED(step, code, reason) \
    ::morv::StepFailed(VOMU_STEP_FILE, __LINE__, __func__, (step), (int)(code), (reason), false)
#define VOMU_STEP_FAILED_OSSL(step, code, reason) \
    ::morv::StepFailed(VOMU_STEP_FILE, __LINE__, __func__, (step), (int)(code), (reason), true)

// The condition's text is taken by the outer macros, before NULL and the like expand.
// A layer whose lines name one source for all its files (the SDK's name "MORV") passes that
// name as file, and the name of the function whose step a helper takes as func.
#define VOMU_STEP_CHECK_AT_(file, func, cond, text, step, code, openssl)                   \
    do {                                                                                   \
        if (cond) {                                                                        \
            const int nStepCode_ = (int)(code);                                            \
            ::morv::StepFailed((file), __LINE__, (func), (step), nStepCode_, (text),        \
                               (openssl));                                                 \
            return nStepCode_;                                                             \
        }                                                                                  \
        ::morv::StepOk((file), __LINE__, (func), (step));                                  \
    } while (0)
#define VOMU_STEP_CHECK_IN_(func, cond, text, step, code, openssl) \
    VOMU_STEP_CHECK_AT_(VOMU_STEP_FILE, func, cond, text, step, code, openssl)
#define VOMU_STEP_CHECK_(cond, text, step, code, openssl) \
    VOMU_STEP_CHECK_IN_(__func__, cond, text, step, code, openssl)

#define VOMU_FAIL_IF(cond, step, code) VOMU_STEP_CHECK_(cond, #cond, step, code, false)
#define VOMU_FAIL_IF_OSSL(cond, step, code) VOMU_STEP_CHECK_(cond, #cond, step, code, true)

// The same where the log's reason is a fixed text instead of the condition's source (a text
// the log readers grep for, or a reason handed in by the caller of a shared helper).
#define VOMU_FAIL_IF_REASON(cond, reason, step, code) VOMU_STEP_CHECK_(cond, reason, step, code, false)
#define VOMU_FAIL_IF_OSSL_REASON(cond, reason, step, code) \
    VOMU_STEP_CHECK_(cond, reason, step, code, true)

// The same in a helper whose steps belong to the public function that called it: the line
// names pszFunc, the caller's name, rather than the helper's.
#define VOMU_FAIL_IF_IN(func, cond, step, code) VOMU_STEP_CHECK_IN_(func, cond, #cond, step, code, false)
#define VOMU_FAIL_IF_OSSL_IN(func, cond, step, code) \
    VOMU_STEP_CHECK_IN_(func, cond, #cond, step, code, true)
#define VOMU_FAIL_IF_REASON_IN(func, cond, reason, step, code) \
    VOMU_STEP_CHECK_IN_(func, cond, reason, step, code, false)
#define VOMU_FAIL_IF_OSSL_REASON_IN(func, cond, reason, step, code) \
    VOMU_STEP_CHECK_IN_(func, cond, reason, step, code, true)

// A lone OK or Failed line in a helper, under the name of the function whose step it is.
#define VOMU_STEP_OK_IN(func, step) ::morv::StepOk(VOMU_STEP_FILE, __LINE__, (func), (step))
#define VOMU_STEP_FAILED_IN(func, step, code, reason) \
    ::morv::StepFailed(VOMU_STEP_FILE, __LINE__, (func), (step), (int)(code), (reason), false)
#define VOMU_STEP_FAILED_OSSL_IN(func, step, code, reason) \
    ::morv::StepFailed(VOMU_STEP_FILE, __LINE__, (func), (step), (int)(code), (reason), true)

#endif
