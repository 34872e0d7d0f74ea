// Signing at the flat interface: PKCS#1 and PKCS#7 signatures of data and files, made with an
// SM2 key file or a PKCS#12 file.
#include "SdkPattern.h"  // first: the step lines name "MORV"

#include "Base64Utility.h"
#include "MORV.h"
#include "PKCS7SignedDataOperations.h"
#include "operations/DataSigning.h"
#include "operations/RSADataSigning.h"

using morv::sdk::Road;
using morv::sdk::TextOutput;

namespace {

enum class DataSignature { PKCS1, DETACHED, ATTACHED };

// The step texts of one data-signing function, as its log has always spelled them.
struct SignSpelling {
    const char* pszAlgorithmStep;
    const char* pszDataStep;
    const char* pszKeyFileStep;
    const char* pszOutputStep;
    const char* pszOutputReason;
    const char* pszHashReason;
};

const SignSpelling PKCS1_SPELLING = {
    "Check parameter(pszAlgorithm)", "Check parameter(pbySourceData and nSourceSize)",
    "Check parameter(pszPFxFilePath)", "Check output parameter(ppszBase64PKCS1Signature)",
    "NULL == ppszBase64PKCS1Signature", "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))"};
const SignSpelling DETACHED_SPELLING = {
    "Check parameter(pszAlgorithm).", "Check parameter(pbySourceData and nSourceSize).",
    "Check parameter(pszPFXFilePath).", "Check output parameter(ppszBase64PKCS7DetachedSignature)",
    "NULL == ppszBase64PKCS7DetachedSignature", "NULL == pszHashAlg || 0 == strlen(pszHashAlg)"};
const SignSpelling ATTACHED_SPELLING = {
    "Check parameter(pszAlgorithm).", "Check parameter(pbySourceData and nSourceSize).",
    "Check parameter(pszPFXFilePath).", "Check output parameter(ppszBase64PKCS7AttachedSignature)",
    "NULL == ppszBase64PKCS7AttachedSignature", "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))"};

int SignOnSM2Road(const char* pszSdkFunc, DataSignature kind, const unsigned char* pbySourceData,
                  int nSourceSize, FILE* fpPFX, const char* pszPassword, TextOutput& signature)
{
    if (DataSignature::PKCS1 == kind) {
        MORV_RUN(VOMU_E_SIGN, SignData_PKCS1_BySM2PFX, pbySourceData, nSourceSize, fpPFX, pszPassword,
                 signature.Out(), signature.Len(), ATL_BASE64_FLAG_NOCRLF, true, SM2_SIGNATURE_ASN1_Q1);
        return VOMU_OK;
    }
    MORV_RUN(VOMU_E_SIGN, SignData_PKCS7_BySM2PFX, pbySourceData, nSourceSize, fpPFX, pszPassword,
             DataSignature::ATTACHED == kind, signature.Out(), signature.Len(),
             ATL_BASE64_FLAG_NOCRLF, true, P7_SIGNATURE_SM2_OCTET_STRING_Q1, morv::sdk::SM2_SIGNATURE_OID);
    return VOMU_OK;
}

int SignOnRSARoad(const char* pszSdkFunc, DataSignature kind, const unsigned char* pbySourceData,
                  int nSourceSize, FILE* fpPFX, const char* pszPassword, int nHash, TextOutput& signature)
{
    if (DataSignature::PKCS1 == kind) {
        MORV_RUN(VOMU_E_SIGN, RSA_SignData_PKCS1, pbySourceData, nSourceSize, fpPFX, pszPassword, nHash,
                 ATL_BASE64_FLAG_NOCRLF, signature.Out(), signature.Len());
        return VOMU_OK;
    }
    MORV_RUN(VOMU_E_SIGN, RSA_SignData_PKCS7, pbySourceData, nSourceSize, fpPFX, pszPassword, nHash,
             DataSignature::ATTACHED == kind, ATL_BASE64_FLAG_NOCRLF, signature.Out(),
             signature.Len());
    return VOMU_OK;
}

// The steps the three data-signing functions share; they differ in spelling and signature.
int SignDataSteps(const char* pszSdkFunc, DataSignature kind, const SignSpelling& spelling,
                  const char* pszAlgorithm, const unsigned char* pbySourceData, int nSourceSize,
                  const char* pszPFXFilePath, const char* pszPFXPassword, const char* pszHashAlg,
                  char** ppszBase64Signature)
{
    MORV_CHECK_TEXT(pszAlgorithm, spelling.pszAlgorithmStep);
    MORV_CHECK_BYTES(pbySourceData, nSourceSize, spelling.pszDataStep);
    MORV_CHECK_TEXT(pszPFXFilePath, spelling.pszKeyFileStep);
    MORV_CHECK(NULL == ppszBase64Signature, spelling.pszOutputReason, spelling.pszOutputStep);
    morv::sdk::Clear(ppszBase64Signature);
    TRACE(TRACE_LEVEL_INFO, "Sign algorithm:%s", pszAlgorithm);
    TRACE(TRACE_LEVEL_INFO, "PFX file path:%s", pszPFXFilePath);
    MORV_OPEN_RB(fpPFX, pszPFXFilePath, "Open PFX file.");

    const char* pszPassword = morv::sdk::Password(pszPFXPassword);
    TextOutput signature;
    int nResult = VOMU_OK;
    int nHash = 0;
    switch (morv::sdk::ChooseRoad(pszAlgorithm)) {
    case Road::SM2:
        nResult = SignOnSM2Road(pszSdkFunc, kind, pbySourceData, nSourceSize, fpPFX.get(), pszPassword,
                                signature);
        break;
    case Road::RSA:
        nResult = morv::sdk::RSAHashNumber(pszSdkFunc, pszHashAlg, "Check parameter(pszHashAlg)",
                                           spelling.pszHashReason, "Hash algorithm : %s", &nHash);
        if (VOMU_OK == nResult)
            nResult = SignOnRSARoad(pszSdkFunc, kind, pbySourceData, nSourceSize, fpPFX.get(),
                                    pszPassword, nHash, signature);
        break;
    case Road::NONE: MORV_FAIL("Invalid sign algorithm.", VOMU_E_INVALID_ARG, "true");
    }
    if (VOMU_OK != nResult) return nResult;
    return signature.HandTo(ppszBase64Signature);
}

}  // namespace

int SignData_PKCS1(const char* pszAlgorithm, const unsigned char* pbySourceData, int nSourceSize,
                   const char* pszPFXFilePath, const char* pszPFXPassword, const char* pszHashAlg,
                   char** ppszBase64PKCS1Signature)
{
    MORV_HOLD_KERNEL(VOMU_E_SIGN);
    return SignDataSteps(__func__, DataSignature::PKCS1, PKCS1_SPELLING, pszAlgorithm, pbySourceData,
                         nSourceSize, pszPFXFilePath, pszPFXPassword, pszHashAlg,
                         ppszBase64PKCS1Signature);
}

int SignData_PKCS7Detached(const char* pszAlgorithm, const unsigned char* pbySourceData, int nSourceSize,
                           const char* pszPFXFilePath, const char* pszPFXPassword, const char* pszHashAlg,
                           char** ppszBase64PKCS7DetachedSignature)
{
    MORV_HOLD_KERNEL(VOMU_E_SIGN);
    return SignDataSteps(__func__, DataSignature::DETACHED, DETACHED_SPELLING, pszAlgorithm,
                         pbySourceData, nSourceSize, pszPFXFilePath, pszPFXPassword, pszHashAlg,
                         ppszBase64PKCS7DetachedSignature);
}

int SignData_PKCS7Attached(const char* pszAlgorithm, const unsigned char* pbySourceData, int nSourceSize,
                           const char* pszPFXFilePath, const char* pszPFXPassword, const char* pszHashAlg,
                           char** ppszBase64PKCS7AttachedSignature)
{
    MORV_HOLD_KERNEL(VOMU_E_SIGN);
    return SignDataSteps(__func__, DataSignature::ATTACHED, ATTACHED_SPELLING, pszAlgorithm,
                         pbySourceData, nSourceSize, pszPFXFilePath, pszPFXPassword, pszHashAlg,
                         ppszBase64PKCS7AttachedSignature);
}

int SignFile_PKCS7Detached(const char* pszAlgorithm, const char* pszSourceFilePath, const char* pszPFXFilePath,
                           const char* pszPFXPassword, const char* pszHashAlg,
                           char** ppszBase64PKCS7DetachedSignature)
{
    MORV_HOLD_KERNEL(MORV_KEEP_CODE);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_TEXT(pszSourceFilePath, "Check parameter(pszSourceFilePath).");
    MORV_CHECK_TEXT(pszPFXFilePath, "Check parameter(pszPFXFilePath).");
    MORV_CHECK_OUT(ppszBase64PKCS7DetachedSignature, "Check output parameter(ppszBase64PKCS7DetachedSignature)");
    // The output is written on success only, never cleared.
    MORV_OPEN_RB(fpSource, pszSourceFilePath, "fopen(pszSourceFile)");
    MORV_OPEN_RB(fpPFX, pszPFXFilePath, "fopen(pszPFXFilePath)");

    const char* pszPassword = morv::sdk::Password(pszPFXPassword);
    TextOutput signature;
    int nHash = 0;
    switch (morv::sdk::ChooseRoad(pszAlgorithm)) {
    case Road::SM2:
        MORV_RUN(MORV_KEEP_CODE, SignFile_PKCS7Detached_BySM2PFX, fpSource.get(), fpPFX.get(), pszPassword,
                 signature.Out(), signature.Len(), ATL_BASE64_FLAG_NOCRLF, true,
                 P7_SIGNATURE_SM2_OCTET_STRING_Q1, morv::sdk::SM2_SIGNATURE_OID);
        break;
    case Road::RSA: {
        const int nResult = morv::sdk::RSAHashNumber(__func__, pszHashAlg, "Check parameter(pszHashAlg).",
                                                     "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))",
                                                     "HashAlg: %s", &nHash);
        if (VOMU_OK != nResult) return nResult;
        // The SignerInfo names rsaEncryption, not the exact digest-with-RSA algorithm.
        MORV_RUN(MORV_KEEP_CODE, RSA_SignFile_PKCS7Detached, fpSource.get(), fpPFX.get(), pszPassword, nHash,
                 false, ATL_BASE64_FLAG_NOCRLF, signature.Out());
        break;
    }
    case Road::NONE:
        TRACE(TRACE_LEVEL_INFO, "Algorithm: %s", pszAlgorithm);
        MORV_FAIL("pszAlgorithm Error", VOMU_E_INVALID_ARG, "true");
    }
    return signature.HandTo(ppszBase64PKCS7DetachedSignature);
}
