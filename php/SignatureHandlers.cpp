// The signature functions: each checks its arguments, traces its inputs, calls the flat
// interface once and writes its outputs on success.
#include "Handlers.h"
#include "HandOver.h"
#include "MORV.h"
#include "vomu_zlog.h"

namespace morvphp {
namespace {

using SignDataFn = int (*)(const char*, const unsigned char*, int, const char*, const char*,
                           const char*, char**);

// vomu_signData_*: (strSignAlg, strSourceData, strPfxFilePath, strPfxPassWord, strHashAlg,
// &strBase64Signature). The password is never traced.
Php::Value SignData(Php::Handler pfnSelf, Php::Parameters& params, SignDataFn pfnSign,
                    const char* pszStep)
{
    Call call(pfnSelf, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    TRACE(TRACE_LEVEL_INFO, "strSourceData size:%d", call.DataSize(1));
    call.TraceText("strSourceData", 1);
    call.TraceText("strPfxFilePath", 2);
    call.TraceText("strHashAlg", 4);
    char* pszSignature = nullptr;
    const int nResult = call.Called(pszStep, pfnSign(call.Text(0), call.Data(1), call.DataSize(1),
                                                     call.Text(2), call.Text(3), call.Text(4),
                                                     &pszSignature));
    return call.HandOutText(5, nResult, pszSignature);
}

}  // namespace

Php::Value vomu_signData_PKCS1(Php::Parameters& params)
{
    return SignData(vomu_signData_PKCS1, params, SignData_PKCS1, "SignData_PKCS1");
}

Php::Value vomu_signData_PKCS7Detached(Php::Parameters& params)
{
    return SignData(vomu_signData_PKCS7Detached, params, SignData_PKCS7Detached,
                    "SignData_PKCS7Detached");
}

Php::Value vomu_signData_PKCS7Attached(Php::Parameters& params)
{
    return SignData(vomu_signData_PKCS7Attached, params, SignData_PKCS7Attached,
                    "SignData_PKCS7Attached");
}

Php::Value vomu_verifyDataSignature_PKCS1(Php::Parameters& params)
{
    Call call(vomu_verifyDataSignature_PKCS1, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    TRACE(TRACE_LEVEL_INFO, "strSourceData size:%d", call.DataSize(1));
    call.TraceText("strSourceData", 1);
    call.TraceText("strBase64SignCert", 2);
    call.TraceText("strHashAlg", 3);
    call.TraceText("strBase64Signature", 4);
    return call.Called("VerifyDataSignature_PKCS1",
                       VerifyDataSignature_PKCS1(call.Text(0), call.Data(1), call.DataSize(1),
                                                 call.Text(2), call.Text(3), call.Text(4)));
}

Php::Value vomu_verifyDataSignature_PKCS7Detached(Php::Parameters& params)
{
    Call call(vomu_verifyDataSignature_PKCS7Detached, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    TRACE(TRACE_LEVEL_INFO, "strSourceData size:%d", call.DataSize(1));
    call.TraceText("strSourceData", 1);
    call.TraceText("strBase64Signature", 2);
    char* pszCert = nullptr;
    const int nResult = call.Called("VerifyDataSignature_PKCS7Detached",
        VerifyDataSignature_PKCS7Detached(call.Text(0), call.Data(1), call.DataSize(1),
                                          call.Text(2), &pszCert));
    return call.HandOutText(3, nResult, pszCert);
}

Php::Value vomu_verifyDataSignature_PKCS7Attached(Php::Parameters& params)
{
    Call call(vomu_verifyDataSignature_PKCS7Attached, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    call.TraceText("strBase64Signature", 1);
    char* pszCert = nullptr;
    unsigned char* pbyContent = nullptr;
    int nContentSize = 0;
    const int nResult = call.Called(
        "VerifyDataSignature_PKCS7Attached",
        VerifyDataSignature_PKCS7Attached(call.Text(0), call.Text(1), &pszCert, &pbyContent,
                                          &nContentSize));
    morv::OwnedArray<char> pCert(pszCert);
    morv::OwnedArray<unsigned char> pContent(pbyContent);
    if (VOMU_OK != nResult) return nResult;
    TRACE(TRACE_LEVEL_INFO, "pszBase64SignCert:%s", pszCert);
    TRACE(TRACE_LEVEL_INFO, "nSourceDataLen:%d", nContentSize);
    call.PutText(2, pszCert);
    call.PutBytes(3, pbyContent, nContentSize);
    return VOMU_OK;
}

Php::Value vomu_signFile_PKCS7Detached(Php::Parameters& params)
{
    Call call(vomu_signFile_PKCS7Detached, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    call.TraceText("strSourceFilePath", 1);
    call.TraceText("strPfxFilePath", 2);
    call.TraceText("strHashAlg", 4);
    char* pszSignature = nullptr;
    const int nResult = call.Called("SignFile_PKCS7Detached",
        SignFile_PKCS7Detached(call.Text(0), call.Text(1), call.Text(2), call.Text(3),
                               call.Text(4), &pszSignature));
    return call.HandOutText(5, nResult, pszSignature);
}

Php::Value vomu_verifyFileSignature_PKCS7Detached(Php::Parameters& params)
{
    Call call(vomu_verifyFileSignature_PKCS7Detached, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strAlgorithm", 0);
    call.TraceText("strSourceFilePath", 1);
    call.TraceText("strBase64Signature", 2);
    char* pszCert = nullptr;
    const int nResult = call.Called("VerifyFileSignature_PKCS7Detached",
        VerifyFileSignature_PKCS7Detached(call.Text(0), call.Text(1), call.Text(2), &pszCert));
    return call.HandOutText(3, nResult, pszCert);
}

}  // namespace morvphp
