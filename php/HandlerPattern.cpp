#include "HandlerPattern.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "HandOver.h"
#include "VomuStep.h"
#include "vomu_result.h"

namespace morvphp {
namespace {

const char SOURCE_NAME[] = "MORVExtension";
const std::size_t TEXT_SIZE = 96;

bool HoldsZeroByte(std::string_view bytes)
{
    return NULL != memchr(bytes.data(), 0, bytes.size());
}

// Whether argument i fails the checks of its kind; the failed condition's text in szReason.
bool Refused(const Php::Value& value, std::size_t i, Arg kind, char* szReason, std::size_t nSize)
{
    if (Arg::Flag == kind) {
        const int64_t nValue = value.numericValue();
        if (!value.isNumeric()) {
            snprintf(szReason, nSize, "true != params[%zu].isNumeric()", i);
        } else if (0 > nValue || 0xFFFFFFFFLL < nValue) {
            snprintf(szReason, nSize, "0 > params[%zu] || 0xFFFFFFFF < params[%zu]", i, i);
        } else {
            return false;
        }
        return true;
    }
    if (!value.isString()) {
        snprintf(szReason, nSize, "true != params[%zu].isString()", i);
    } else if (Arg::Text == kind && HoldsZeroByte(value.stringValue())) {
        snprintf(szReason, nSize, "NULL != memchr(params[%zu], 0)", i);
    } else if (Arg::Data == kind && value.stringValue().size() > (std::size_t)INT_MAX) {
        snprintf(szReason, nSize, "INT_MAX < params[%zu].size()", i);
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool Call::ArgumentsOk()
{
    if (!m_pSpec) {
        m_nCode = VOMU_E_FAIL;
        return false;
    }
    const FunctionSpec& spec = *m_pSpec;
    const char* pszStep = spec.bCountStepPoint ? "Check params size()." : "Check params size()";
    if (m_params.size() != spec.nArgs) {
        char szReason[TEXT_SIZE];
        snprintf(szReason, sizeof szReason, "%zu != params.size()", spec.nArgs);
        StepFailed(pszStep, VOMU_E_FAIL, szReason);
        m_nCode = VOMU_E_FAIL;
        return false;
    }
    StepOk(pszStep);
    for (std::size_t i = 0; i < spec.nArgs; ++i) {
        if (!ArgumentOk(i, spec.pArgs[i].kind)) {
            m_nCode = VOMU_E_INVALID_ARG;
            return false;
        }
    }
    return true;
}

bool Call::ArgumentOk(std::size_t i, Arg kind)
{
    char szStep[TEXT_SIZE];
    char szReason[TEXT_SIZE];
    snprintf(szStep, sizeof szStep, "Check params[%zu].type.", i);
    if (Refused(m_params[i], i, kind, szReason, sizeof szReason)) {
        StepFailed(szStep, VOMU_E_INVALID_ARG, szReason);
        return false;
    }
    StepOk(szStep);
    return true;
}

const unsigned char* Call::Data(std::size_t i) const
{
    return reinterpret_cast<const unsigned char*>(m_params[i].stringValue().data());
}

int Call::Called(const char* pszStep, int nResult, int nLine)
{
    if (VOMU_OK != nResult) {
        StepFailed(pszStep, nResult, "VOMU_OK != nResult", nLine);
    } else {
        StepOk(pszStep, nLine);
    }
    return nResult;
}

void Call::StepOk(const char* pszStep, int nLine)
{
    morv::StepOk(SOURCE_NAME, nLine, m_pSpec->pszName, pszStep);
}

void Call::StepFailed(const char* pszStep, int nCode, const char* pszReason, int nLine)
{
    morv::StepFailed(SOURCE_NAME, nLine, m_pSpec->pszName, pszStep, nCode, pszReason, false);
}

int Call::HandOutText(std::size_t i, int nResult, char* pszText)
{
    morv::OwnedArray<char> pText(pszText);
    if (VOMU_OK == nResult) PutText(i, pszText);
    return nResult;
}

void Call::PutBytes(std::size_t i, const unsigned char* pbyBytes, int nLength)
{
    const std::size_t nSize = nLength > 0 ? (std::size_t)nLength : 0;
    m_params[i].assign(reinterpret_cast<const char*>(pbyBytes), nSize);
}

void Call::TraceText(const char* pszName, std::size_t i) const
{
    if (!TraceEnabled(TRACE_LEVEL_INFO)) return;
    const std::string_view text = m_params[i].stringValue();
    const std::size_t nMax = (std::size_t)TraceMessageMax();
    const int nShown = (int)(text.size() < nMax ? text.size() : nMax);
    TRACE(TRACE_LEVEL_INFO, "%s:%.*s", pszName, nShown, text.data());
}

}  // namespace morvphp
