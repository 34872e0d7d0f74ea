// Symmetric file encryption. The key text is a secret: only its length reaches the log, and
// the copy the flat interface hands over is wiped before it is released.
#include <cstring>

#include "Handlers.h"
#include "MORV.h"
#include "SecretArray.h"
#include "vomu_zlog.h"

namespace morvphp {

Php::Value vomu_symEncryptFile(Php::Parameters& params)
{
    Call call(vomu_symEncryptFile, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strSymEncAlgorithm", 0);
    call.TraceText("strPlainFilePath", 1);
    call.TraceText("strEncryptFilePath", 2);
    char* pszKey = nullptr;
    const int nResult = call.Called(
        "SymEncryptFile", SymEncryptFile(call.Text(0), call.Text(1), call.Text(2), &pszKey));
    morv::SecretArray key;
    key.Adopt(reinterpret_cast<unsigned char*>(pszKey), pszKey ? strlen(pszKey) : 0);
    if (VOMU_OK == nResult) call.PutText(3, pszKey);
    return nResult;
}

Php::Value vomu_symDecryptFile(Php::Parameters& params)
{
    Call call(vomu_symDecryptFile, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strSymEncAlgorithm", 0);
    call.TraceText("strEncryptFilePath", 1);
    TRACE(TRACE_LEVEL_INFO, "strSymKey size:%d", call.DataSize(2));
    call.TraceText("strPlainFilePath", 3);
    return call.Called("SymDecryptFile",
                       SymDecryptFile(call.Text(0), call.Text(1), call.Text(2), call.Text(3)));
}

}  // namespace morvphp
