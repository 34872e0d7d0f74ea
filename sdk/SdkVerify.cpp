// Signature verification at the flat interface: PKCS#1 and PKCS#7 signatures of data and files.
// VOMU_OK means the signature is valid; the PKCS#7 forms hand back the signer's certificate.
#include "SdkPattern.h"  // first: the step lines name "MORV"

#include "Base64Utility.h"
#include "MORV.h"
#include "operations/DataSigning.h"
#include "operations/RSADataSigning.h"

using morv::sdk::BytesOutput;
using morv::sdk::Road;
using morv::sdk::TextLen;
using morv::sdk::TextOutput;

namespace {

// The signer's certificate (DER) as Base64 text without line breaks, handed over when asked for.
int HandOverCert(const char* pszSdkFunc, const BytesOutput& cert, char** ppszBase64SignCertContent)
{
    TextOutput text;
    MORV_RUN(MORV_KEEP_CODE, Base64EncodeEx, cert.Get(), cert.Size(), text.Out(), text.Len(),
             ATL_BASE64_FLAG_NOCRLF);
    return text.HandTo(ppszBase64SignCertContent);
}

}  // namespace

int VerifyDataSignature_PKCS1(const char* pszAlgorithm, const unsigned char* pbySourceData, int nSourceSize,
                              const char* pszBase64CertContent, const char* pszHashAlg,
                              const char* pszBase64PKCS1Signature)
{
    MORV_HOLD_KERNEL(VOMU_E_BAD_SIGNATURE);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_BYTES(pbySourceData, nSourceSize, "Check parameter(pbySourceData and nSourceSize).");
    MORV_CHECK_TEXT(pszBase64CertContent, "Check parameter(pszBase64CertContent).");
    MORV_CHECK_TEXT(pszBase64PKCS1Signature, "Check parameter(pszBase64PKCS1Signature).");
    TRACE(TRACE_LEVEL_INFO, "Sign algorithm:%s", pszAlgorithm);

    const char* pszSignature = pszBase64PKCS1Signature;
    int nHash = 0;
    switch (morv::sdk::ChooseRoad(pszAlgorithm)) {
    case Road::SM2:
        MORV_RUN(VOMU_E_BAD_SIGNATURE, VerifySignature_PKCS1_ByCert, pbySourceData, nSourceSize, pszBase64CertContent,
                 TextLen(pszBase64CertContent), pszSignature, TextLen(pszSignature), true);
        break;
    case Road::RSA: {
        const int nResult = morv::sdk::RSAHashNumber(__func__, pszHashAlg, "Check parameter(pszHashAlg).",
                                                     "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))",
                                                     "Hash algorithm : %s", &nHash);
        if (VOMU_OK != nResult) return nResult;
        MORV_RUN(VOMU_E_BAD_SIGNATURE, RSA_VerifyDataSignature_PKCS1, pbySourceData, nSourceSize, pszBase64CertContent, nHash,
                 pszSignature);
        break;
    }
    case Road::NONE: MORV_FAIL("Invalid sign algorithm.", VOMU_E_INVALID_ARG, "true");
    }
    return VOMU_OK;
}

int VerifyDataSignature_PKCS7Detached(const char* pszAlgorithm, const unsigned char* pbySourceData,
                                      int nSourceSize, const char* pszBase64PKCS7DetachedSignature,
                                      char** ppszBase64SignCertContent)
{
    MORV_HOLD_KERNEL(VOMU_E_BAD_SIGNATURE);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_BYTES(pbySourceData, nSourceSize, "Check parameter(pbySourceData and nSourceSize).");
    MORV_CHECK_TEXT(pszBase64PKCS7DetachedSignature, "Check parameter(pszBase64PKCS7DetachedSignature).");
    morv::sdk::Clear(ppszBase64SignCertContent);
    TRACE(TRACE_LEVEL_INFO, "Sign algorithm:%s", pszAlgorithm);

    const char* pszSignature = pszBase64PKCS7DetachedSignature;
    BytesOutput cert;
    switch (morv::sdk::ChooseRoad(pszAlgorithm)) {
    case Road::SM2:
        MORV_RUN(VOMU_E_BAD_SIGNATURE, VerifySignature_PKCS7Detached, pszSignature, TextLen(pszSignature),
                 pbySourceData, nSourceSize, cert.Out(), cert.Len(), true);
        break;
    case Road::RSA:
        MORV_RUN(VOMU_E_BAD_SIGNATURE, RSA_VerifyDataSignature_PKCS7Detached, pszSignature, pbySourceData,
                 nSourceSize, cert.Out(), cert.Len());
        break;
    case Road::NONE: MORV_FAIL("Invalid sign algorithm.", VOMU_E_INVALID_ARG, "true");
    }
    if (!ppszBase64SignCertContent) return VOMU_OK;
    return HandOverCert(__func__, cert, ppszBase64SignCertContent);
}

int VerifyDataSignature_PKCS7Attached(const char* pszAlgorithm, const char* pszBase64PKCS7AttachedSignature,
                                      char** ppszBase64SignCertContent, unsigned char** ppbySourceData,
                                      int* pnSourceDataSize)
{
    MORV_HOLD_KERNEL(VOMU_E_BAD_SIGNATURE);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_TEXT(pszBase64PKCS7AttachedSignature, "Check parameter(pszBase64PKCS7AttachedSignature).");
    morv::sdk::Clear(ppszBase64SignCertContent);
    morv::sdk::Clear(ppbySourceData);
    morv::sdk::Clear(pnSourceDataSize);
    TRACE(TRACE_LEVEL_INFO, "Sign algorithm:%s", pszAlgorithm);

    // Every name but "SM2" takes the RSA road: no name is refused here.
    const char* pszSignature = pszBase64PKCS7AttachedSignature;
    BytesOutput content, cert;
    if (morv::sdk::EqualNoCase(pszAlgorithm, "SM2")) {
        MORV_RUN(VOMU_E_BAD_SIGNATURE, VerifySignature_PKCS7Attached, pszSignature, TextLen(pszSignature),
                 content.Out(), content.Len(), cert.Out(), cert.Len(), true);
    } else {
        MORV_RUN(VOMU_E_BAD_SIGNATURE, RSA_VerifyDataSignature_PKCS7Attached, pszSignature, content.Out(),
                 content.Len(), cert.Out(), cert.Len());
    }
    if (ppszBase64SignCertContent) {
        const int nResult = HandOverCert(__func__, cert, ppszBase64SignCertContent);
        if (VOMU_OK != nResult) return nResult;
    }
    return content.HandTo(ppbySourceData, pnSourceDataSize);
}

int VerifyFileSignature_PKCS7Detached(const char* pszAlgorithm, const char* pszSourceFilePath,
                                      const char* pszBase64PKCS7DetachedSignature,
                                      char** ppszBase64SignCertContent)
{
    MORV_HOLD_KERNEL(MORV_KEEP_CODE);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_TEXT(pszSourceFilePath, "Check parameter(pszSourceFilePath).");
    MORV_CHECK_TEXT(pszBase64PKCS7DetachedSignature, "Check parameter(pszBase64PKCS7DetachedSignature).");
    morv::sdk::Clear(ppszBase64SignCertContent);
    MORV_OPEN_RB(fpSource, pszSourceFilePath, "fopen(pszSourceFile)");

    const char* pszSignature = pszBase64PKCS7DetachedSignature;
    BytesOutput cert;
    switch (morv::sdk::ChooseRoad(pszAlgorithm)) {
    case Road::SM2:
        MORV_RUN(MORV_KEEP_CODE, SM2_VerifyFileSignature_PKCS7Detached, pszSignature, TextLen(pszSignature),
                 fpSource.get(), cert.Out(), cert.Len(), true);
        break;
    case Road::RSA:
        MORV_RUN(MORV_KEEP_CODE, RSA_VerifyFileSignature_PKCS7Detached, pszSignature, fpSource.get(),
                 cert.Out(), cert.Len());
        break;
    case Road::NONE:
        TRACE(TRACE_LEVEL_INFO, "Algorithm: %s", pszAlgorithm);
        MORV_FAIL("pszAlgorithm Error", VOMU_E_INVALID_ARG, "true");
    }
    // The certificate text is made also when nobody takes it: its failure fails the call.
    return HandOverCert(__func__, cert, ppszBase64SignCertContent);
}
