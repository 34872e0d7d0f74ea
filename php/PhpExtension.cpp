#include "PhpExtension.h"

#include <array>
#include <exception>
#include <new>
#include <utility>

#include "PhpZend.h"

namespace Php {

// What the interpreter reads from us for the module's lifetime: the module entry, the
// function entries and one argument-information array per function.
struct Extension::Tables {
    zend_module_entry entry;
    std::vector<zend_function_entry> functions;
    std::vector<std::vector<zend_internal_arg_info>> argInfos;
};

namespace {

// The functions and the shutdown step of the extension whose module entry the interpreter
// holds; one per process.
const std::vector<Namespace::Function>* g_pFunctions = nullptr;
void (*g_pfnShutdown)() = nullptr;

uint32_t RequiredCount(const Namespace::Function& function)
{
    return (uint32_t)function.arguments.size();
}

Value RunHandler(const Namespace::Function& function, zend_execute_data* execute_data)
{
    if (!function.pfnHandler) return function.pfnPlain();
    Parameters params(execute_data, ZEND_CALL_NUM_ARGS(execute_data));
    return function.pfnHandler(params);
}

void Dispatch(std::size_t nIndex, zend_execute_data* execute_data, zval* return_value)
{
    const Namespace::Function& function = (*g_pFunctions)[nIndex];
    const uint32_t nGiven = ZEND_CALL_NUM_ARGS(execute_data);
    // Every argument is required: too few never reach the handler. More do, and it refuses them.
    if (nGiven < RequiredCount(function)) {
        zend_error(E_WARNING, "%s() expects at least %u parameters, %u given", function.pszName,
                   RequiredCount(function), nGiven);
        RETURN_NULL();
    }
    bool bBailout = false;
    try {
        RunHandler(function, execute_data).ToReturn(return_value);
    } catch (const Bailout&) {
        bBailout = true;
    } catch (...) {
        ZVAL_LONG(return_value, -1);
    }
    // Every object of the handler is gone now: the interpreter may jump out of this frame.
    if (bBailout) zend_bailout();
}

// One distinct entry point per function slot, so a call finds its handler without a search.
template <std::size_t I> void Trampoline(zend_execute_data* execute_data, zval* return_value)
{
    Dispatch(I, execute_data, return_value);
}

template <std::size_t... I>
constexpr std::array<zif_handler, sizeof...(I)> MakeTrampolines(std::index_sequence<I...>)
{
    return {{&Trampoline<I>...}};
}

const auto TRAMPOLINES = MakeTrampolines(std::make_index_sequence<Extension::MAX_FUNCTIONS>());

zend_result ModuleShutdown(int, int)
{
    if (g_pfnShutdown) g_pfnShutdown();
    return SUCCESS;
}

std::vector<zend_internal_arg_info> ArgInfo(const Namespace::Function& function)
{
    std::vector<zend_internal_arg_info> argInfo;
    // The first entry carries the required count, as ZEND_BEGIN_ARG_INFO_EX writes it.
    argInfo.push_back(
        {(const char*)(uintptr_t)RequiredCount(function), ZEND_TYPE_INIT_NONE(0), nullptr});
    for (const Argument& argument : function.arguments) {
        // No declared type: a handler answers a wrong type with its own result code, which a
        // type declaration would pre-empt with a TypeError in debug builds of PHP.
        argInfo.push_back({argument.pszName,
                           ZEND_TYPE_INIT_NONE(_ZEND_ARG_INFO_FLAGS(argument.bByReference, 0, 0)),
                           nullptr});
    }
    return argInfo;
}

}  // namespace

void Namespace::add(const char* pszName, Handler pfnHandler, const Arguments& arguments)
{
    m_functions.push_back(Function{pszName, pfnHandler, nullptr, arguments});
}

void Namespace::add(const char* pszName, PlainHandler pfnHandler)
{
    m_functions.push_back(Function{pszName, nullptr, pfnHandler, Arguments()});
}

Extension::Extension(const char* pszName, const char* pszVersion)
    : m_pszName(pszName), m_pszVersion(pszVersion)
{
}

Extension::~Extension() = default;

zend_module_entry* Extension::module()
{
    if (m_pTables) return &m_pTables->entry;
    if (m_functions.size() > MAX_FUNCTIONS) return nullptr;
    try {
        auto pTables = std::make_unique<Tables>();
        for (const Function& function : m_functions) pTables->argInfos.push_back(ArgInfo(function));
        for (std::size_t i = 0; i < m_functions.size(); ++i) {
            pTables->functions.push_back({m_functions[i].pszName, TRAMPOLINES[i],
                                          pTables->argInfos[i].data(),
                                          (uint32_t)m_functions[i].arguments.size(), 0});
        }
        pTables->functions.push_back({nullptr, nullptr, nullptr, 0, 0});
        zend_module_entry& entry = pTables->entry;
        entry = zend_module_entry();
        entry.size = sizeof(zend_module_entry);
        entry.zend_api = ZEND_MODULE_API_NO;
        entry.zend_debug = ZEND_DEBUG;
        entry.zts = USING_ZTS;
        entry.name = m_pszName;
        entry.functions = pTables->functions.data();
        entry.module_shutdown_func = ModuleShutdown;
        entry.version = m_pszVersion;
        entry.build_id = ZEND_MODULE_BUILD_ID;
        m_pTables = std::move(pTables);
    } catch (const std::exception&) {
        return nullptr;
    }
    g_pFunctions = &m_functions;
    g_pfnShutdown = m_pfnShutdown;
    return &m_pTables->entry;
}

}  // namespace Php
