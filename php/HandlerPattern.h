#ifndef MORV_PHP_HANDLER_PATTERN_H
#define MORV_PHP_HANDLER_PATTERN_H

// What every handler of the module does the same way: its step lines under the source name
// "MORVExtension" and the PHP function's name, the argument count and the argument checks in
// order, the SDK call's step line, and the outputs written through the by-reference
// arguments.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "PhpExtension.h"
#include "vomu_zlog.h"

namespace morvphp {

// What the checks require of an argument.
enum class Arg {
    Text,  // a PHP string without a zero byte (it travels on as C text): names, paths,
           // Base64, passwords, the key text
    Data,  // a PHP string of any bytes, at most INT_MAX of them (it travels with an int length)
    Flag,  // a PHP integer within 0..0xFFFFFFFF (it travels as an unsigned int)
    Out,   // a by-reference variable that holds a string; written on success only
};

struct ArgSpec {
    const char* pszName;
    Arg kind;
};

// One PHP function of the module: the registration and the handler's checks both read it.
struct FunctionSpec {
    const char* pszName;
    Php::Handler pfnHandler;
    Php::PlainHandler pfnPlain;  // for a function without arguments, which checks nothing
    const ArgSpec* pArgs;
    std::size_t nArgs;
    bool bCountStepPoint;  // the count step reads "Check params size()." in these
};

// The entry of the module's function table whose handler this is; null for any other.
const FunctionSpec* SpecOf(Php::Handler pfnHandler);

// One call of a handler: Call call(vomu_initialize, params).
class Call {
public:
    Call(Php::Handler pfnHandler, Php::Parameters& params)
        : m_pSpec(SpecOf(pfnHandler)), m_params(params)
    {
    }

    // The exact count (more arguments: -1), then each argument against its kind in order
    // (VOMU_E_INVALID_ARG); false with the code in Code() at the first failure.
    bool ArgumentsOk();
    int Code() const { return m_nCode; }

    // The checked inputs, borrowed from PHP for the call.
    const char* Text(std::size_t i) const { return m_params[i].stringValue().data(); }
    const unsigned char* Data(std::size_t i) const;
    int DataSize(std::size_t i) const { return (int)m_params[i].stringValue().size(); }
    unsigned int Flag(std::size_t i) const { return (unsigned int)m_params[i].numericValue(); }

    // Traces "name:<argument i>" at INFO, the text up to its first zero byte as "%s" shows it,
    // but never read beyond what a record can hold: an argument of any size costs no more
    // than the record's cut.
    void TraceText(const char* pszName, std::size_t i) const;

    // The step line of a called function: OK, or Failed with reason "VOMU_OK != nResult".
    // Returns nResult.
    int Called(const char* pszStep, int nResult, int nLine = __builtin_LINE());
    void StepOk(const char* pszStep, int nLine = __builtin_LINE());
    void StepFailed(const char* pszStep, int nCode, const char* pszReason,
                    int nLine = __builtin_LINE());

    // Writes an output argument: text up to its zero byte, bytes with their full length.
    void PutText(std::size_t i, const char* pszText) { m_params[i] = pszText; }
    // Takes the text a call of the flat interface handed out (released here) and writes it to
    // output i when nResult is VOMU_OK. Returns nResult.
    int HandOutText(std::size_t i, int nResult, char* pszText);
    void PutBytes(std::size_t i, const unsigned char* pbyBytes, int nLength);

private:
    bool ArgumentOk(std::size_t i, Arg kind);

    const FunctionSpec* m_pSpec;
    Php::Parameters& m_params;
    int m_nCode = 0;
};

}  // namespace morvphp

#endif
