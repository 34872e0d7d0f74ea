// The SM2 key-file steps shared by every signing and decryption road.
#include <openssl/crypto.h>

#include <climits>
#include <cstring>

#include "Base64Utility.h"
#include "CertificateOperations.h"
#include "Misc.h"
#include "Sm2KeyFile.h"
#include "VomuStep.h"

namespace morv {

int SM2KeyFile::Load(FILE* fpSM2PFXFile, const SM2KeyFileRequest& request)
{
    if (request.pszCheckStep)
        VOMU_FAIL_IF_REASON_IN(request.pszFunc, NULL == fpSM2PFXFile, request.pszCheckReason,
                               request.pszCheckStep, VOMU_E_INVALID_ARG);
    else if (NULL == fpSM2PFXFile)
        return VOMU_E_INVALID_ARG;
    int nResult = ReadAndDecode(fpSM2PFXFile, request);
    if (VOMU_OK != nResult) return nResult;
    nResult = ReadCertificate(request.pszFunc, request.uiKeyUsage);
    if (VOMU_OK != nResult) return nResult;
    if (request.pszKeyPairStep) VOMU_STEP_OK_IN(request.pszFunc, request.pszKeyPairStep);
    return DecryptKeyPair(request.pszFunc, request.pszPassword);
}

// The whole text from the first byte (GetFileSize_Ex rewinds), then its DER. A size the int
// counts cannot hold fails the size step itself, so a passed step logs one line.
int SM2KeyFile::ReadAndDecode(FILE* fpSM2PFXFile, const SM2KeyFileRequest& request)
{
    const char* pszFunc = request.pszFunc;
    uint64_t ulFileSize = 0;
    int nResult = GetFileSize_Ex(fpSM2PFXFile, &ulFileSize);
    if (VOMU_OK == nResult && ulFileSize > (uint64_t)INT_MAX) {
        VOMU_STEP_FAILED_IN(pszFunc, request.pszSizeStep, VOMU_E_FILE_TOO_LARGE,
                            "ulFileSize > (uint64_t)INT_MAX");
        return VOMU_E_FILE_TOO_LARGE;
    }
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, request.pszSizeStep, nResult);
    const int nBase64PFXDataSize = (int)ulFileSize;
    OwnedArray<char> pszBase64PFX(new (std::nothrow) char[nBase64PFXDataSize + 1]());
    VOMU_FAIL_IF_IN(pszFunc, !pszBase64PFX, "New memory", VOMU_E_FAIL);
    const int nBase64PFXDataSizeRead =
        (int)fread(pszBase64PFX.get(), 1, (size_t)nBase64PFXDataSize, fpSM2PFXFile);
    if (request.bRefuseShortRead)
        VOMU_FAIL_IF_REASON_IN(
            pszFunc, nBase64PFXDataSize != nBase64PFXDataSizeRead || ferror(fpSM2PFXFile),
            request.pszReadReason ? request.pszReadReason
                                  : "nBase64PFXDataSize != nBase64PFXDataSizeRead || "
                                    "ferror(fpSM2PFXFile)",
            "fread", VOMU_E_READ_FILE);
    else
        VOMU_FAIL_IF_IN(pszFunc, ferror(fpSM2PFXFile), "fread", VOMU_E_READ_FILE);
    unsigned char* pbyPFX = NULL;
    nResult = Base64DecodeEx(pszBase64PFX.get(), nBase64PFXDataSize, &pbyPFX, &m_nPFXSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Base64DecodeEx", nResult);
    m_pbyPFX.reset(pbyPFX);
    return VOMU_OK;
}

int SM2KeyFile::ReadCertificate(const char* pszFunc, unsigned int uiKeyUsage)
{
    unsigned char* pbyCert = NULL;
    int nResult = ParseSM2PFX(m_pbyPFX.get(), m_nPFXSize, NULL, NULL, &pbyCert, &m_nCertSize);
    VOMU_FAIL_IF_IN(pszFunc, nResult != VOMU_OK, "ParseSM2PFX", nResult);
    m_pbyCert.reset(pbyCert);
    if (0 == uiKeyUsage) return VOMU_OK;
    nResult = CheckCertKeyUsage(m_pbyCert.get(), m_nCertSize, uiKeyUsage, true);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "CheckCertKeyUsage", nResult);
    return VOMU_OK;
}

// DecryptSM2PFX refuses a key that is not the certificate's, so a wrong password never
// yields one; the point comes from the same certificate.
int SM2KeyFile::DecryptKeyPair(const char* pszFunc, const char* pszPassword)
{
    unsigned char* pbyPrivateKey = NULL;
    unsigned char* pbyCert = NULL;
    int nPrivateKeyLen = 0, nCertLen = 0;
    int nResult = DecryptSM2PFX(m_pbyPFX.get(), m_nPFXSize, const_cast<char*>(pszPassword),
                                &pbyPrivateKey, &nPrivateKeyLen, &pbyCert, &nCertLen);
    delete[] pbyCert;
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "DecryptKeyPairFromSM2PFX",
                    VOMU_E_SM2PFX_PASSWORD);
    m_stKeyPair.privateKey = pbyPrivateKey;
    m_stKeyPair.privateKeyLen = nPrivateKeyLen;
    nResult = GetPublicKeyXYFromSM2Cert(m_pbyCert.get(), m_nCertSize, &m_stKeyPair.publicKeyX,
                                        &m_stKeyPair.publicKeyXLen, &m_stKeyPair.publicKeyY,
                                        &m_stKeyPair.publicKeyYLen);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetPublicKeyXYFromSM2Cert", nResult);
    return VOMU_OK;
}

}  // namespace morv
