#ifndef MORV_PHP_EXTENSION_H
#define MORV_PHP_EXTENSION_H

// A PHP extension module in a few declarations:
//
//   static Php::Extension extension("Name", "1.0");
//   extension.add("f", Handler, {Php::ByVal("strIn", Php::Type::String),
//                                Php::ByRef("strOut", Php::Type::String)});
//   return extension.module();
//
// Every function gets a trampoline: a call with fewer arguments than declared (all are
// required) draws PHP's warning "f() expects at least N parameters, M given" and null without
// reaching the handler; otherwise the handler runs, and any C++ exception leaving it makes
// the result -1.
#include <cstddef>
#include <memory>
#include <vector>

#include "PhpValue.h"

struct _zend_module_entry;

namespace Php {

struct Argument {
    const char* pszName;
    Type type;
    bool bByReference;
};

inline Argument ByVal(const char* pszName, Type type) { return Argument{pszName, type, false}; }
inline Argument ByRef(const char* pszName, Type type) { return Argument{pszName, type, true}; }

using Arguments = std::vector<Argument>;
using Handler = Value (*)(Parameters&);
using PlainHandler = Value (*)();

class Namespace {
public:
    // The function's name and argument names must outlive the extension (literals).
    void add(const char* pszName, Handler pfnHandler, const Arguments& arguments);
    void add(const char* pszName, PlainHandler pfnHandler);

    struct Function {
        const char* pszName;
        Handler pfnHandler;
        PlainHandler pfnPlain;
        Arguments arguments;
    };

protected:
    std::vector<Function> m_functions;
};

class Extension : public Namespace {
public:
    Extension(const char* pszName, const char* pszVersion);
    ~Extension();
    Extension(const Extension&) = delete;
    Extension& operator=(const Extension&) = delete;

    // Runs when the interpreter shuts the module down, before it unloads the shared object.
    void onShutdown(void (*pfnShutdown)()) { m_pfnShutdown = pfnShutdown; }

    // The module entry for get_module, built on the first call; nothing may be added after.
    // Null when there are more functions than trampolines or no memory.
    _zend_module_entry* module();

    static const std::size_t MAX_FUNCTIONS = 64;

    struct Tables;

private:
    const char* m_pszName;
    const char* m_pszVersion;
    void (*m_pfnShutdown)() = nullptr;
    std::unique_ptr<Tables> m_pTables;
};

}  // namespace Php

#endif
