// The certificate functions: verification by flag word, one named fact, the certificate of a
// key file.
#include "Handlers.h"
#include "MORV.h"
#include "vomu_zlog.h"

namespace morvphp {

Php::Value vomu_verifyCertificate(Php::Parameters& params)
{
    Call call(vomu_verifyCertificate, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strBase64CertContent", 0);
    TRACE(TRACE_LEVEL_INFO, "nCertVerifyFlag:%d", (int)call.Flag(1));
    call.TraceText("strTrustedCACertFilePath", 2);
    call.TraceText("strCRLFilePath", 3);
    return call.Called("VerifyCertificate", VerifyCertificate(call.Text(0), call.Flag(1),
                                                              call.Text(2), call.Text(3)));
}

Php::Value vomu_getCertificateInfo(Php::Parameters& params)
{
    Call call(vomu_getCertificateInfo, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strBase64CertContent", 0);
    call.TraceText("strInfoType", 1);
    char* pszInfo = nullptr;
    const int nResult = call.Called("GetCertificateInfo",
                                    GetCertificateInfo(call.Text(0), call.Text(1), &pszInfo));
    return call.HandOutText(2, nResult, pszInfo);
}

Php::Value vomu_getPublicCertFromPFX(Php::Parameters& params)
{
    Call call(vomu_getPublicCertFromPFX, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    call.TraceText("strPfxFilePath", 1);
    char* pszCert = nullptr;
    const int nResult = call.Called("GetPublicCertFromPFX",
        GetPublicCertFromPFX(call.Text(0), call.Text(1), call.Text(2), &pszCert));
    return call.HandOutText(3, nResult, pszCert);
}

}  // namespace morvphp
