// Certificates at the flat interface: verification as a flag word asks, one named fact as text,
// and the certificate of a key file.
#include "SdkPattern.h"  // first: the step lines name "MORV"

#include <climits>
#include <ctime>

#include "Base64Utility.h"
#include "CertificateOperations.h"
#include "MORV.h"
#include "Misc.h"
#include "OsslPtr.h"
#include "SMFileCertOperations.h"

using morv::OsslPtr;
using morv::sdk::BytesOutput;
using morv::sdk::EqualNoCase;
using morv::sdk::FilePtr;
using morv::sdk::Road;
using morv::sdk::TextOutput;

namespace {

// The pieces of a "|" list, released on every exit.
struct PathPieces {
    std::vector<char*> vetPieces;
    ~PathPieces() { CleanupStringVector(vetPieces); }
};

// Opens every trusted CA file "rb" in order into fpTrustCAs (owners) and vetCAFiles (the
// streams the verification reads). VOMU_OK, VOMU_E_OPEN_FILE or VOMU_E_FAIL (memory); the
// files opened before a failure are closed by their owners.
int OpenTrustedCAFiles(const char* pszSdkFunc, const char* pszTrustedCACertFilePath, morv::OwnedArray<FilePtr>& fpTrustCAs,
                       std::vector<FILE*>& vetCAFiles)
{
    PathPieces paths;
    MORV_RUN(MORV_KEEP_CODE, SplitString, pszTrustedCACertFilePath, "|", paths.vetPieces);
    const size_t nFiles = paths.vetPieces.size();
    fpTrustCAs = morv::NewArray<FilePtr>(nFiles);
    MORV_FAIL_IF(!fpTrustCAs, "New memory", VOMU_E_FAIL);
    try {
        vetCAFiles.reserve(nFiles);
    } catch (...) {
        MORV_FAIL("New memory", VOMU_E_FAIL, "!vetCAFiles");
    }
    for (size_t i = 0; i < nFiles; ++i) {
        FILE* fpTrustCA = morv::OpenInputFile(paths.vetPieces[i]);
        fpTrustCAs[i].reset(fpTrustCA);
        MORV_FAIL_IF(NULL == fpTrustCA, "Open trusted CA certificate file.", VOMU_E_OPEN_FILE);
        vetCAFiles.push_back(fpTrustCA);
    }
    return VOMU_OK;
}

}  // namespace

int VerifyCertificate(const char* pszBase64CertContent, unsigned int nCertVerifyFlag,
                      const char* pszTrustedCACertFilePath, const char* pszCRLFilePath)
{
    MORV_HOLD_KERNEL(VOMU_E_CERT_VERIFY);
    MORV_CHECK_TEXT(pszBase64CertContent, "Check parameter(pszBase64CertContent).");
    BytesOutput cert;
    MORV_RUN(MORV_KEEP_CODE, Base64DecodeEx, pszBase64CertContent, morv::sdk::TextLen(pszBase64CertContent),
             cert.Out(), cert.Len());
    TRACE(TRACE_LEVEL_INFO, "Certificate verify flag:%d", (int)nCertVerifyFlag);

    FilePtr fpCRL;
    if (nCertVerifyFlag & CERT_VERIFY_FLAG_CRL) {
        MORV_CHECK_TEXT(pszCRLFilePath, "Check parameter(pszCRLFilePath).");
        TRACE(TRACE_LEVEL_INFO, "CRL file path:%s", pszCRLFilePath);
        fpCRL.reset(morv::OpenInputFile(pszCRLFilePath));
        MORV_STEP_IF(!fpCRL, "NULL == fpCRL", "Open CRL file.", VOMU_E_OPEN_FILE);
    }
    morv::OwnedArray<FilePtr> fpTrustCAs;
    std::vector<FILE*> vetCAFiles;
    if (nCertVerifyFlag & CERT_VERIFY_FLAG_CHAIN) {
        MORV_CHECK_TEXT(pszTrustedCACertFilePath, "Check parameter(pszTrustedCACertFilePath).");
        TRACE(TRACE_LEVEL_INFO, "Trusted CA certificate file path:%s", pszTrustedCACertFilePath);
        const int nResult = OpenTrustedCAFiles(__func__, pszTrustedCACertFilePath, fpTrustCAs, vetCAFiles);
        if (VOMU_OK != nResult) return nResult;
    }
    try {
        MORV_RUN(VOMU_E_CERT_VERIFY, VerifyCertificate, cert.Get(), cert.Size(), nCertVerifyFlag,
                 fpCRL.get(), vetCAFiles);
    } catch (...) {  // the copy of the stream list
        MORV_FAIL("New memory", VOMU_E_CERT_VERIFY, "!vetCAFiles");
    }
    return VOMU_OK;
}

// A step of GetCertificateInfo: the Failed line carries the routine's own code; -1 reaches
// the caller as VOMU_E_CERT_INFO.
#define MORV_INFO_STEP_R(step, code, reason)                                                \
    do {                                                                                    \
        const int nResult = (code);                                                         \
        if (VOMU_OK != nResult) {                                                           \
            ::morv::StepFailed(VOMU_STEP_FILE, __LINE__, MORV_SDK_FUNC, (step), nResult,    \
                               (reason), false);                                            \
            return ::morv::sdk::FamilyCode(nResult, VOMU_E_CERT_INFO);                      \
        }                                                                                   \
        ::morv::StepOk(VOMU_STEP_FILE, __LINE__, MORV_SDK_FUNC, (step));                    \
    } while (0)
#define MORV_INFO_RUN(routine, ...) MORV_INFO_STEP_R(#routine, routine(__VA_ARGS__), "VOMU_OK != nResult")
// An allocation of the answer: logged with -1.
#define MORV_INFO_NEW(p) MORV_INFO_STEP_R("New memory", (p) ? VOMU_OK : VOMU_E_FAIL, "!" #p)

namespace {

// "SM2" or "RSA" in a zeroed array of 4 bytes.
int CertTypeText(const char* pszSdkFunc, int nType, TextOutput& info)
{
    char* pszInfoContent = new (std::nothrow) char[4]();
    MORV_INFO_NEW(pszInfoContent);
    if (CERT_TYPE_SM2 == nType) memcpy(pszInfoContent, "SM2", 3);
    if (CERT_TYPE_RSA == nType) memcpy(pszInfoContent, "RSA", 3);
    *info.Out() = pszInfoContent;
    *info.Len() = 3;
    return VOMU_OK;
}

// The local-time ctime text of the instant without its newline, in a zeroed array as long as
// the ctime text. ctime_r: concurrent calls each keep their own text.
int CtimeText(const char* pszSdkFunc, long nTime, TextOutput& info)
{
    const time_t tTime = (time_t)nTime;
    char szCtime[64] = {0};
    tzset();
    const bool bMade = NULL != ctime_r(&tTime, szCtime);
    MORV_INFO_STEP_R("ctime_r", bMade ? VOMU_OK : VOMU_E_FAIL, "!bMade");
    const size_t nCtimeLen = strlen(szCtime);
    char* pszInfoContent = new (std::nothrow) char[nCtimeLen + 1]();
    MORV_INFO_NEW(pszInfoContent);
    const size_t nTextLen = (nCtimeLen && '\n' == szCtime[nCtimeLen - 1]) ? nCtimeLen - 1 : nCtimeLen;
    memcpy(pszInfoContent, szCtime, nTextLen);
    *info.Out() = pszInfoContent;
    *info.Len() = (int)nTextLen;
    return VOMU_OK;
}

int ReadCertInfo(const char* pszSdkFunc, X509* pCert, const char* pszInfoType, TextOutput& info)
{
    int nType = 0;
    long nTime = 0;
    if (EqualNoCase(pszInfoType, "CertType")) {
        MORV_INFO_RUN(GetX509CertType, pCert, &nType);
        return CertTypeText(pszSdkFunc, nType, info);
    }
    if (EqualNoCase(pszInfoType, "SubjectDN")) {
        MORV_INFO_RUN(GetX509SubjectDN, pCert, info.Out(), info.Len());
    } else if (EqualNoCase(pszInfoType, "SubjectCN")) {
        MORV_INFO_RUN(GetX509SubjectCN, pCert, info.Out(), info.Len());
    } else if (EqualNoCase(pszInfoType, "IssuerDN")) {
        MORV_INFO_RUN(GetX509IssuerDN, pCert, info.Out(), info.Len());
    } else if (EqualNoCase(pszInfoType, "SerialNumber")) {
        MORV_INFO_RUN(GetX509SerialNumber, pCert, info.Out(), info.Len());
    } else if (EqualNoCase(pszInfoType, "ValidFrom")) {
        MORV_INFO_RUN(GetX509NotBefore, pCert, &nTime);
        return CtimeText(pszSdkFunc, nTime, info);
    } else if (EqualNoCase(pszInfoType, "ValidTo")) {
        MORV_INFO_RUN(GetX509NotAfter, pCert, &nTime);
        return CtimeText(pszSdkFunc, nTime, info);
    } else {
        MORV_FAIL("Unsupported pszInfoType", VOMU_E_INVALID_ARG, "true");
    }
    return VOMU_OK;
}

}  // namespace

int GetCertificateInfo(const char* pszBase64CertContent, const char* pszInfoType, char** ppszInfoContent)
{
    MORV_HOLD_KERNEL(VOMU_E_CERT_INFO);
    MORV_CHECK_TEXT(pszBase64CertContent, "Check parameter(pszBase64CertContent).");
    MORV_CHECK_TEXT(pszInfoType, "Check parameter(pszInfoType).");
    MORV_CHECK_OUT(ppszInfoContent, "Check output parameter(ppszInfoContent)");
    *ppszInfoContent = NULL;
    TRACE(TRACE_LEVEL_INFO, "Certificate info:%s", pszInfoType);

    BytesOutput cert;
    MORV_INFO_RUN(Base64DecodeEx, pszBase64CertContent, morv::sdk::TextLen(pszBase64CertContent), cert.Out(),
                  cert.Len());
    X509* pX509 = NULL;
    MORV_INFO_RUN(ConvertCertDataToX509, cert.Get(), cert.Size(), &pX509);
    OsslPtr<X509> pCert(pX509);
    TextOutput info;
    const int nResult = ReadCertInfo(__func__, pCert.get(), pszInfoType, info);
    if (VOMU_OK != nResult) return nResult;
    return info.HandTo(ppszInfoContent);
}

namespace {

// The certificate bytes inside an SM2 key file (Base64 text); the password plays no part.
int ReadSM2PFXCert(const char* pszSdkFunc, FILE* fpPFXFile, BytesOutput& cert)
{
    uint64_t nFileSize = 0;
    MORV_RUN(MORV_KEEP_CODE, GetFileSize_Ex, fpPFXFile, &nFileSize);
    // Part of the one GetFileSize_Ex step: logged only for a size the int counts cannot hold.
    if (nFileSize > (uint64_t)INT_MAX - 1)
        MORV_FAIL("GetFileSize_Ex", VOMU_E_FILE_TOO_LARGE, "nFileSize > (uint64_t)INT_MAX - 1");
    morv::OwnedArray<char> pszBase64SM2PFX(new (std::nothrow) char[nFileSize + 1]());
    MORV_FAIL_IF(!pszBase64SM2PFX, "New memory", VOMU_E_FAIL);
    const size_t nRead = fread(pszBase64SM2PFX.get(), 1, (size_t)nFileSize, fpPFXFile);
    (void)nRead;  // a short read leaves zero bytes, where the decoder stops
    MORV_FAIL_IF(ferror(fpPFXFile), "fread", VOMU_E_READ_FILE);
    BytesOutput der;
    MORV_RUN(MORV_KEEP_CODE, Base64DecodeEx, pszBase64SM2PFX.get(), (int)nFileSize, der.Out(), der.Len());
    MORV_RUN(MORV_KEEP_CODE, ParseSM2PFX, der.Get(), der.Size(), NULL, NULL, cert.Out(), cert.Len());
    return VOMU_OK;
}

// The DER of the certificate paired with the key of a PKCS#12 file.
int ReadPKCS12Cert(const char* pszSdkFunc, FILE* fpPFXFile, const char* pszPFXPassword, BytesOutput& cert)
{
    X509* pX509 = NULL;
    MORV_RUN(MORV_KEEP_CODE, ParsePFXFile, fpPFXFile, pszPFXPassword ? pszPFXPassword : "", NULL,
             &pX509, NULL);
    OsslPtr<X509> pCert(pX509);
    unsigned char* pbyDERCertData = NULL;
    const int nDERCertDataSize = pCert ? i2d_X509(pCert.get(), &pbyDERCertData) : 0;
    morv::OpensslBytes pDER(pbyDERCertData);
    MORV_STEP_IF_OSSL(nDERCertDataSize <= 0, "nDERCertDataSize <= 0", "i2d_X509", VOMU_E_FAIL);
    morv::OwnedArray<unsigned char> pCopy = morv::CopyToArray(pDER.get(), (size_t)nDERCertDataSize);
    MORV_FAIL_IF(!pCopy, "New memory", VOMU_E_FAIL);
    *cert.Out() = pCopy.release();
    *cert.Len() = nDERCertDataSize;
    return VOMU_OK;
}

}  // namespace

int GetPublicCertFromPFX(const char* pszAlgorithm, const char* pszPFXFilePath, const char* pszPFXPassword,
                         char** ppszBase64CertContent)
{
    MORV_HOLD_KERNEL(MORV_KEEP_CODE);
    MORV_CHECK_TEXT(pszAlgorithm, "Check parameter(pszAlgorithm)");
    MORV_CHECK_TEXT(pszPFXFilePath, "Check parameter(pszPFxFilePath)");
    MORV_CHECK_OUT(ppszBase64CertContent, "check parameter(ppszBase64CertContent)");
    TRACE(TRACE_LEVEL_INFO, "Algorithm:%s", pszAlgorithm);
    TRACE(TRACE_LEVEL_INFO, "PFX file path:%s", pszPFXFilePath);
    MORV_OPEN_RB(fpPFXFile, pszPFXFilePath, "fopen(pszPFXFilePath)");

    BytesOutput cert;
    int nResult = VOMU_OK;
    switch (morv::sdk::ChooseRoad(pszAlgorithm)) {
    case Road::SM2: nResult = ReadSM2PFXCert(__func__, fpPFXFile.get(), cert); break;
    case Road::RSA: nResult = ReadPKCS12Cert(__func__, fpPFXFile.get(), pszPFXPassword, cert); break;
    case Road::NONE: MORV_FAIL("Invalid algorithm.", VOMU_E_INVALID_ARG, "true");
    }
    if (VOMU_OK != nResult) return nResult;
    TextOutput text;
    MORV_RUN(MORV_KEEP_CODE, Base64EncodeEx, cert.Get(), cert.Size(), text.Out(), text.Len(),
             ATL_BASE64_FLAG_NOCRLF);
    return text.HandTo(ppszBase64CertContent);
}
