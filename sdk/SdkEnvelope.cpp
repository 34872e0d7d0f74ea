// CMS envelopes at the flat interface: data sealed for a certificate's holder and opened with the
// recipient's key file, and the combined sign-then-seal and open-then-verify.
#include "SdkPattern.h"  // first: the step lines name "MORV"

#include <openssl/obj_mac.h>

#include "Base64Utility.h"
#include "MORV.h"
#include "PKCS7SignedDataOperations.h"
#include "operations/DataEncryption.h"
#include "operations/DataSigning.h"
#include "operations/RSADataEncryption.h"
#include "operations/RSADataSigning.h"

using morv::sdk::BytesOutput;
using morv::sdk::EqualNoCase;
using morv::sdk::Road;
using morv::sdk::TextLen;
using morv::sdk::TextOutput;

namespace {

// The content cipher of an RSA envelope: 3DES-CBC or RC4; 0 for any other name.
int CipherNumber(const char* pszSymEncAlg)
{
    if (EqualNoCase(pszSymEncAlg, "3DES")) return NID_des_ede3_cbc;
    if (EqualNoCase(pszSymEncAlg, "RC4")) return NID_rc4;
    return 0;
}

// Seals bytes for the certificate's holder: SM4-CBC content and an SM2 content key, as Base64.
int SealOnSM2Road(const char* pszSdkFunc, const unsigned char* pbyPlainData, int nPlainDataSize,
                  const BytesOutput& cert, TextOutput& envelope)
{
    MORV_RUN(VOMU_E_ENCRYPT, EncryptDataToBase64CMSEnvelope, pbyPlainData, nPlainDataSize, cert.Get(),
             cert.Size(), SM2_ENC_ENCODED_RAW, envelope.Out(), envelope.Len(), ATL_BASE64_FLAG_NOCRLF);
    return VOMU_OK;
}

int SealOnRSARoad(const char* pszSdkFunc, const unsigned char* pbyPlainData, int nPlainDataSize,
                  const BytesOutput& cert, int nCipher, TextOutput& envelope)
{
    MORV_RUN(VOMU_E_ENCRYPT, RSA_EncryptDataToCMSEnvelope, pbyPlainData, nPlainDataSize, cert.Get(),
             cert.Size(), nCipher, ATL_BASE64_FLAG_NOCRLF, envelope.Out(), envelope.Len());
    return VOMU_OK;
}

// Opens an envelope with the recipient's key file: the content bytes.
int OpenOnRoad(const char* pszSdkFunc, Road road, const char* pszBase64CMSEnvelope, FILE* fpPFX,
               const char* pszPassword, BytesOutput& plain)
{
    if (Road::SM2 == road) {
        MORV_RUN(VOMU_E_DECRYPT, DecryptBase64CMSEnvelopeData, pszBase64CMSEnvelope,
                 TextLen(pszBase64CMSEnvelope), fpPFX, pszPassword, SM2_ENC_ENCODED_RAW, plain.Out(),
                 plain.Len());
    } else {
        MORV_RUN(VOMU_E_DECRYPT, RSA_DecryptDataFromCMSEnvelope, pszBase64CMSEnvelope, fpPFX, pszPassword,
                 plain.Out(), plain.Len());
    }
    return VOMU_OK;
}

}  // namespace

int EncryptDataToCMSEnvelope(const char* pszAlgorithm, const unsigned char* pbyPlainData, int nPlainDataSize,
                             const char* pszBase64CertContent, const char* pszSymEncAlg,
                             char** ppszBase64CMSEnvelope)
{
    MORV_HOLD_KERNEL(VOMU_E_ENCRYPT);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_BYTES(pbyPlainData, nPlainDataSize, "Check parameter(pbyPlainData and nPlainDataSize).");
    MORV_CHECK_TEXT(pszBase64CertContent, "Check parameter(pszBase64CertContent).");
    MORV_CHECK_OUT(ppszBase64CMSEnvelope, "Check output parameter(ppszBase64CMSEnvelope)");
    morv::sdk::Clear(ppszBase64CMSEnvelope);
    TRACE(TRACE_LEVEL_INFO, "Asymmetric encrypt algorithm:%s", pszAlgorithm);
    BytesOutput cert;
    MORV_RUN(MORV_KEEP_CODE, Base64DecodeEx, pszBase64CertContent, TextLen(pszBase64CertContent), cert.Out(),
             cert.Len());

    TextOutput envelope;
    int nResult = VOMU_OK;
    int nCipher = 0;
    switch (morv::sdk::ChooseRoad(pszAlgorithm)) {
    case Road::SM2: nResult = SealOnSM2Road(__func__, pbyPlainData, nPlainDataSize, cert, envelope); break;
    case Road::RSA:
        MORV_CHECK_TEXT(pszSymEncAlg, "Check parameter(pszSymEncAlg).");
        TRACE(TRACE_LEVEL_INFO, "Symmetric encrypt algorithm:%s", pszSymEncAlg);
        nCipher = CipherNumber(pszSymEncAlg);
        if (0 == nCipher) MORV_FAIL("Invalid symmetric encrypt algorithm.", VOMU_E_INVALID_ARG, "true");
        nResult = SealOnRSARoad(__func__, pbyPlainData, nPlainDataSize, cert, nCipher, envelope);
        break;
    case Road::NONE: MORV_FAIL("Invalid asymmetric encrypt algorithm.", VOMU_E_INVALID_ARG, "true");
    }
    if (VOMU_OK != nResult) return nResult;
    return envelope.HandTo(ppszBase64CMSEnvelope);
}

int DecryptDataFromCMSEnvelope(const char* pszAlgorithm, const char* pszBase64CMSEnvelope,
                               const char* pszPFXFilePath, const char* pszPFXPassword,
                               unsigned char** ppbyPlainData, int* pnPlainDataSize)
{
    MORV_HOLD_KERNEL(VOMU_E_DECRYPT);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_TEXT(pszBase64CMSEnvelope, "Check parameter(pszBase64CMSEnvelope).");
    MORV_CHECK_TEXT(pszPFXFilePath, "Check parameter(pszPFXFilePath).");
    MORV_CHECK(NULL == ppbyPlainData || NULL == pnPlainDataSize, "(NULL == ppbyPlainData || NULL == pnPlainDataSize)",
               "Check output parameter(ppbyPlainData and pnPlainDataSize).");
    morv::sdk::Clear(ppbyPlainData);
    morv::sdk::Clear(pnPlainDataSize);
    TRACE(TRACE_LEVEL_INFO, "Asymmetric encrypt algorithm:%s", pszAlgorithm);
    TRACE(TRACE_LEVEL_INFO, "PFX file path:%s", pszPFXFilePath);
    MORV_OPEN_RB(fpPFX, pszPFXFilePath, "Open PFX file.");

    const Road road = morv::sdk::ChooseRoad(pszAlgorithm);
    if (Road::NONE == road) MORV_FAIL("Invalid asymmetric decrypt algorithm.", VOMU_E_INVALID_ARG, "true");
    BytesOutput plain;
    const int nResult = OpenOnRoad(__func__, road, pszBase64CMSEnvelope, fpPFX.get(),
                                   morv::sdk::Password(pszPFXPassword), plain);
    if (VOMU_OK != nResult) return nResult;
    return plain.HandTo(ppbyPlainData, pnPlainDataSize);
}

namespace {

// Signs with the data attached (SM2 key file), then seals the SignedData's DER.
int SignAndSealOnSM2Road(const char* pszSdkFunc, const unsigned char* pbyPlainData, int nPlainDataSize,
                         FILE* fpPFX, const char* pszPassword, const BytesOutput& cert, TextOutput& envelope)
{
    TextOutput signature;
    MORV_RUN(VOMU_E_SIGN, SignData_PKCS7_BySM2PFX, pbyPlainData, nPlainDataSize, fpPFX, pszPassword, true,
             signature.Out(), signature.Len(), ATL_BASE64_FLAG_NOCRLF, true, P7_SIGNATURE_SM2_OCTET_STRING_Q1,
             morv::sdk::SM2_SIGNATURE_OID);
    BytesOutput der;
    MORV_RUN(MORV_KEEP_CODE, Base64DecodeEx, signature.Get(), signature.Size(), der.Out(), der.Len());
    return SealOnSM2Road(pszSdkFunc, der.Get(), der.Size(), cert, envelope);
}

// The hash and cipher names are checked first; the cipher name is compared only once the
// signature is made.
int SignAndSealOnRSARoad(const char* pszSdkFunc, const unsigned char* pbyPlainData, int nPlainDataSize,
                         FILE* fpPFX, const char* pszPassword, const char* pszHashAlg, const char* pszSymEncAlg,
                         const BytesOutput& cert, TextOutput& envelope)
{
    MORV_CHECK_TEXT(pszHashAlg, "Check parameter(pszHashAlg).");
    MORV_CHECK_TEXT(pszSymEncAlg, "Check parameter(pszSymEncAlg).");
    TRACE(TRACE_LEVEL_INFO, "Hash algorithm:%s", pszHashAlg);
    TRACE(TRACE_LEVEL_INFO, "Encrypt algorithm:%s", pszSymEncAlg);
    const int nHash = morv::sdk::HashNumber(pszHashAlg);
    if (0 == nHash) MORV_FAIL("Invalid hash algorithm.", VOMU_E_INVALID_ARG, "true");
    BytesOutput der;
    MORV_RUN(VOMU_E_SIGN, RSA_SignData_PKCS7_ByPFX, pbyPlainData, nPlainDataSize, fpPFX, pszPassword, nHash, true,
             der.Out(), der.Len());
    const int nCipher = CipherNumber(pszSymEncAlg);
    if (0 == nCipher) MORV_FAIL("Invalid symmetric encrypt algorithm.", VOMU_E_INVALID_ARG, "true");
    return SealOnRSARoad(pszSdkFunc, der.Get(), der.Size(), cert, nCipher, envelope);
}

}  // namespace

int SignAndEncryptData(const char* pszAlgorithm, const unsigned char* pbyPlainData, int nPlainDataSize,
                       const char* pszSignPFXFilePath, const char* pszSignPFXPassword, const char* pszHashAlg,
                       const char* pszBase64EncryptCertContent, const char* pszSymEncAlg,
                       char** ppszBase64SignedAndEncryptedResult)
{
    MORV_HOLD_KERNEL(VOMU_E_SIGN);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_BYTES(pbyPlainData, nPlainDataSize, "Check parameter(pbyPlainData and nPlainDataSize).");
    MORV_CHECK_TEXT(pszSignPFXFilePath, "Check parameter(pszSignPFXFilePath).");
    MORV_CHECK_TEXT(pszBase64EncryptCertContent, "Check parameter(pszBase64EncryptCertContent).");
    MORV_CHECK_OUT(ppszBase64SignedAndEncryptedResult, "Check output parameter(ppszBase64SignedAndEncryptedResult)");
    morv::sdk::Clear(ppszBase64SignedAndEncryptedResult);
    TRACE(TRACE_LEVEL_INFO, "Sign algorithm:%s", pszAlgorithm);
    TRACE(TRACE_LEVEL_INFO, "PFX file path:%s", pszSignPFXFilePath);
    TRACE(TRACE_LEVEL_INFO, "Encrypt public certificate content:%s", pszBase64EncryptCertContent);
    BytesOutput cert;
    MORV_RUN(MORV_KEEP_CODE, Base64DecodeEx, pszBase64EncryptCertContent, TextLen(pszBase64EncryptCertContent),
             cert.Out(), cert.Len());
    MORV_OPEN_RB(fpPFX, pszSignPFXFilePath, "Open PFX file.");

    const char* pszPassword = morv::sdk::Password(pszSignPFXPassword);
    TextOutput envelope;
    int nResult = VOMU_OK;
    switch (morv::sdk::ChooseRoad(pszAlgorithm)) {
    case Road::SM2:
        nResult = SignAndSealOnSM2Road(__func__, pbyPlainData, nPlainDataSize, fpPFX.get(), pszPassword, cert,
                                       envelope);
        break;
    case Road::RSA:
        nResult = SignAndSealOnRSARoad(__func__, pbyPlainData, nPlainDataSize, fpPFX.get(), pszPassword,
                                       pszHashAlg, pszSymEncAlg, cert, envelope);
        break;
    case Road::NONE: MORV_FAIL("Invalid sign algorithm.", VOMU_E_INVALID_ARG, "true");
    }
    if (VOMU_OK != nResult) return nResult;
    return envelope.HandTo(ppszBase64SignedAndEncryptedResult);
}

namespace {

// The signed content of the SignedData an envelope holds; the signer's certificate is not asked for.
int VerifyOpened(const char* pszSdkFunc, Road road, const BytesOutput& der, BytesOutput& content)
{
    if (Road::SM2 == road) {
        TextOutput text;
        MORV_RUN(MORV_KEEP_CODE, Base64EncodeEx, der.Get(), der.Size(), text.Out(), text.Len(),
                 ATL_BASE64_FLAG_NONE);
        MORV_RUN(VOMU_E_BAD_SIGNATURE, VerifySignature_PKCS7Attached, text.Get(), text.Size(), content.Out(),
                 content.Len(), NULL, NULL, true);
    } else {
        MORV_RUN(VOMU_E_BAD_SIGNATURE, RSA_VerifyDataSignature_DERPKCS7Attached, der.Get(), der.Size(),
                 content.Out(), content.Len(), NULL, NULL);
    }
    return VOMU_OK;
}

}  // namespace

int DecryptAndVerifyDataSignature(const char* pszAlgorithm, const char* pszBase64SignedAndEncryptedResult,
                                  const char* pszDecryptPFXFilePath, const char* pszDecryptPFXPassword,
                                  unsigned char** ppbyPlainData, int* pnPlainDataSize)
{
    MORV_HOLD_KERNEL(VOMU_E_DECRYPT);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm).");
    MORV_CHECK_TEXT(pszBase64SignedAndEncryptedResult, "Check parameter(pszBase64SignedAndEncryptedResult).");
    MORV_CHECK_TEXT(pszDecryptPFXFilePath, "Check parameter(pszDecryptPFXFilePath).");
    MORV_CHECK(NULL == ppbyPlainData || NULL == pnPlainDataSize, "(NULL == ppbyPlainData || NULL == pnPlainDataSize)",
               "Check output parameter(ppbyPlainData)");
    morv::sdk::Clear(ppbyPlainData);
    morv::sdk::Clear(pnPlainDataSize);
    TRACE(TRACE_LEVEL_INFO, "Sign algorithm:%s", pszAlgorithm);
    MORV_OPEN_RB(fpPFX, pszDecryptPFXFilePath, "Open PFX file.");

    const Road road = morv::sdk::ChooseRoad(pszAlgorithm);
    if (Road::NONE == road) MORV_FAIL("Invalid sign algorithm.", VOMU_E_INVALID_ARG, "true");
    BytesOutput der, content;
    int nResult = OpenOnRoad(__func__, road, pszBase64SignedAndEncryptedResult, fpPFX.get(),
                             morv::sdk::Password(pszDecryptPFXPassword), der);
    if (VOMU_OK == nResult) nResult = VerifyOpened(__func__, road, der, content);
    if (VOMU_OK != nResult) return nResult;
    return content.HandTo(ppbyPlainData, pnPlainDataSize);
}
