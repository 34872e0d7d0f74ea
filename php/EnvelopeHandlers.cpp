// CMS envelopes of data. The plaintext to seal and the decrypted plaintext are secrets: only
// their lengths reach the log, and the decrypted copy the flat interface hands over is wiped
// before it is released.
#include "Handlers.h"
#include "MORV.h"
#include "SecretArray.h"
#include "vomu_zlog.h"

namespace morvphp {

Php::Value vomu_encryptDataToCMSEnvelope(Php::Parameters& params)
{
    Call call(vomu_encryptDataToCMSEnvelope, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    TRACE(TRACE_LEVEL_INFO, "strPlainData size:%d", call.DataSize(1));
    call.TraceText("strBase64Cert", 2);
    call.TraceText("strSymEncAlg", 3);
    char* pszEnvelope = nullptr;
    const int nResult = call.Called("EncryptDataToCMSEnvelope",
        EncryptDataToCMSEnvelope(call.Text(0), call.Data(1), call.DataSize(1), call.Text(2),
                                 call.Text(3), &pszEnvelope));
    return call.HandOutText(4, nResult, pszEnvelope);
}

Php::Value vomu_decryptDataFromCMSEnvelope(Php::Parameters& params)
{
    Call call(vomu_decryptDataFromCMSEnvelope, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    call.TraceText("strBase64CMSEnvelope", 1);
    call.TraceText("strPfxFilePath", 2);
    unsigned char* pbyPlain = nullptr;
    int nPlainSize = 0;
    const int nResult = call.Called(
        "DecryptDataFromCMSEnvelope",
        DecryptDataFromCMSEnvelope(call.Text(0), call.Text(1), call.Text(2), call.Text(3),
                                   &pbyPlain, &nPlainSize));
    morv::SecretArray plain;
    plain.Adopt(pbyPlain, nPlainSize > 0 ? (size_t)nPlainSize : 0);
    if (VOMU_OK != nResult) return nResult;
    TRACE(TRACE_LEVEL_INFO, "nPlainDataLen:%d", nPlainSize);
    call.PutBytes(4, pbyPlain, nPlainSize);
    return VOMU_OK;
}

}  // namespace morvphp
