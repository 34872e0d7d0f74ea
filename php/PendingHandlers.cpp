// Functions whose SDK routine is not in this build yet: they check their arguments and
// answer -1.
#include "Handlers.h"
#include "vomu_result.h"

namespace morvphp {
namespace {

Php::Value NotInThisBuild(Php::Handler pfnHandler, Php::Parameters& params)
{
    Call call(pfnHandler, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.StepFailed("Not in this build", VOMU_E_FAIL, "true");
    return VOMU_E_FAIL;
}

}  // namespace

#define MORV_PENDING(name) \
    Php::Value name(Php::Parameters& params) { return NotInThisBuild(name, params); }

MORV_PENDING(vomu_encryptDataToCMSEnvelope)
MORV_PENDING(vomu_decryptDataFromCMSEnvelope)

}  // namespace morvphp
