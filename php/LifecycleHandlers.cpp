// Start-up and shut-down of logging and the SM kernel from PHP.
#include "Handlers.h"
#include "MORV.h"
#include "SMKernel.h"
#include "vomu_zlog.h"

namespace morvphp {

Php::Value vomu_initialize(Php::Parameters& params)
{
    Call call(vomu_initialize, params);
    if (!call.ArgumentsOk()) return call.Code();
    if (1 == g_nMORVExtIsInit) {
        call.StepFailed("Check parameter(g_MORVExtIsInit)", VOMU_E_ALREADY_INITIALIZED,
                        "1 == g_nMORVExtIsInit");
        return VOMU_E_ALREADY_INITIALIZED;
    }
    call.StepOk("Check parameter(g_MORVExtIsInit)");
    call.TraceText("strConfigFilePath", 0);
    int nResult = call.Called("vomu_log_init_ex", vomu_log_init_ex(call.Text(0)));
    if (VOMU_OK != nResult) return nResult;
    nResult = call.Called("SMKernelInitialize", SMKernelInitialize());
    if (VOMU_OK != nResult) return nResult;
    g_nMORVExtIsInit = 1;
    return VOMU_OK;
}

Php::Value vomu_uninitialize()
{
    // Uninitialize shuts logging down too, so a step line here would be dropped: none is
    // written.
    const int nResult = Uninitialize();
    if (VOMU_OK == nResult) g_nMORVExtIsInit = 0;
    return nResult;
}

// A script that never calls vomu_uninitialize still leaves nothing of ours registered in the
// crypto library, whose other users (PHP's openssl functions) outlive the module.
void ModuleShutdown()
{
    Uninitialize();
    g_nMORVExtIsInit = 0;
}

}  // namespace morvphp
