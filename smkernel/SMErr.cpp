#include "SMErr.h"

#include <mutex>

namespace smk {
namespace {

// ERR_load_strings stamps the library number into these rows, so they are not const. It
// stops at the first row whose code is 0: the library's own row gets its code before.
ERR_STRING_DATA g_aSMErrStrings[] = {
    {0, "SM kernel routines"},   // ERR_PACK(lib, 0, 0), set in Register
    {ERR_PACK(0, 0, SMK_R_NULL_PARAMETER), "passed a null parameter"},
    {ERR_PACK(0, 0, SMK_R_INVALID_CURVE), "invalid curve"},
    {ERR_PACK(0, 0, SMK_R_SIG_ALLOC_FAILURE), "signature object allocation failure"},
    {ERR_PACK(0, 0, SMK_R_MALLOC_FAILURE), "malloc failure"},
    {ERR_PACK(0, 0, SMK_R_EC_LIB), "EC lib"},
    {ERR_PACK(0, 0, SMK_R_RANDOM_FAILURE), "random number generation failed"},
    {ERR_PACK(0, 0, SMK_R_BN_LIB), "BN lib"},
    {ERR_PACK(0, 0, SMK_R_BAD_SIGNATURE), "bad signature"},
    {0, NULL},
};

std::once_flag g_onceRegister;
std::mutex g_mtxStrings;
int g_nSMErrLib = 0;
bool g_bLoaded = false;

void LoadLocked()
{
    if (g_nSMErrLib <= 0 || g_bLoaded) return;
    g_aSMErrStrings[0].error = ERR_PACK(g_nSMErrLib, 0, 0);
    g_bLoaded = 1 == ERR_load_strings(g_nSMErrLib, g_aSMErrStrings);
}

void Register()
{
    g_nSMErrLib = ERR_get_next_error_library();
    std::lock_guard<std::mutex> lock(g_mtxStrings);
    LoadLocked();
}

}  // namespace

int SMErrLib()
{
    std::call_once(g_onceRegister, Register);
    return g_nSMErrLib;
}

int SMErrLoadStrings()
{
    SMErrLib();
    std::lock_guard<std::mutex> lock(g_mtxStrings);
    LoadLocked();
    return g_bLoaded ? 1 : 0;
}

void SMErrUnloadStrings()
{
    std::lock_guard<std::mutex> lock(g_mtxStrings);
    if (!g_bLoaded) return;
    ERR_unload_strings(g_nSMErrLib, g_aSMErrStrings);
    g_bLoaded = false;
}

}  // namespace smk
