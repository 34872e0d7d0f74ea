// RSA CMS envelopes of data and of files: a fresh content key under the recipient's RSA key,
// the content under 3DES-CBC or RC4.
#include "RSADataEncryption.h"

#include <openssl/rand.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "Base64Utility.h"
#include "CMSEnvelopeOperations.h"
#include "CertificateCache.h"
#include "HandOver.h"
#include "Misc.h"
#include "OperationsCommon.h"
#include "OsslPtr.h"
#include "SecretArray.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "VomuStep.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

namespace {

using morv::OwnedArray;
using morv::OsslPtr;

const char OID_ENVELOPED_DATA[] = "1.2.840.113549.1.7.3";
const char OID_RSA_ENCRYPTION[] = "1.2.840.113549.1.1.1";
const char OID_DATA[] = "1.2.840.113549.1.7.1";
const int DES3_IV_LEN = 8;
// Earlier versions write RC4's parameters as NULL; stored envelopes carry them so.
const unsigned char RC4_PARAMETERS[] = {0x05, 0x00};
// The envelope's lengths are int: a 3DES-CBC content of n bytes declares (n & ~7) + 8.
const uint64_t MAX_ENVELOPE_FILE_SIZE = INT_MAX - 8;

// Every field of one envelope besides its content.
struct KeyTransportParts {
    unsigned char abyIV[DES3_IV_LEN] = {0};
    const unsigned char* pbyIV = nullptr;  // abyIV for 3DES-CBC, none for RC4
    OwnedArray<unsigned char> pbySymAlgParameter;
    int nSymAlgParameterSize = 0;
    morv::SecretArray symKey;
    int nSymKeySize = 0;
    OwnedArray<unsigned char> pbyEncryptedKey;
    int nEncryptedKeySize = 0;
    OwnedArray<char> pszOID;
    OwnedArray<unsigned char> pbyKeyID;
    int nKeyIDSize = 0;
};

// The content cipher's parameters: 04 08 IV for 3DES-CBC, NULL for RC4.
int MakeContentParameters(const char* pszFunc, int nSymAlgNID, KeyTransportParts* pParts)
{
    if (NID_des_ede3_cbc == nSymAlgNID) {
        const int nResult =
            smk::LibCtx() ? RAND_bytes_ex(smk::LibCtx(), pParts->abyIV, DES3_IV_LEN, 0) : 0;
        VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "RAND_bytes", VOMU_E_FAIL);
        pParts->pbyIV = pParts->abyIV;
        unsigned char* pbyParam = nullptr;
        const int nEncode = ASN1Encode(0x04, pParts->abyIV, DES3_IV_LEN, &pbyParam,
                                       &pParts->nSymAlgParameterSize);
        pParts->pbySymAlgParameter.reset(pbyParam);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nEncode, "ASN1Encode", nEncode);
        return VOMU_OK;
    }
    if (NID_rc4 != nSymAlgNID) {
        VOMU_STEP_FAILED_IN(pszFunc, "Unsupported Algorithm.", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
    pParts->pbySymAlgParameter = morv::NewArray<unsigned char>(sizeof RC4_PARAMETERS);
    VOMU_FAIL_IF_REASON_IN(pszFunc, !pParts->pbySymAlgParameter, "!pbySymAlgParameter",
                           "New memory", VOMU_E_FAIL);
    memcpy(pParts->pbySymAlgParameter.get(), RC4_PARAMETERS, sizeof RC4_PARAMETERS);
    pParts->nSymAlgParameterSize = (int)sizeof RC4_PARAMETERS;
    return VOMU_OK;
}

int MakeContentKey(const char* pszFunc, int nSymAlgNID, KeyTransportParts* pParts)
{
    int nResult = MakeContentParameters(pszFunc, nSymAlgNID, pParts);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbySymKey = nullptr;
    nResult = GenerateSymKey(nSymAlgNID, &pbySymKey, &pParts->nSymKeySize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GenerateSymKey", nResult);
    pParts->symKey.Adopt(pbySymKey, (size_t)pParts->nSymKeySize);
    return VOMU_OK;
}

// The content key under the recipient's key, the content cipher's OID and the recipient's
// identifier. The recipient's certificate is only read: the shared copy of its bytes serves.
int MakeRecipientParts(const char* pszFunc, int nSymAlgNID, const unsigned char* pbyCert,
                       int nCertSize, KeyTransportParts* pParts)
{
    auto read = [&] {
        const unsigned char* pbyIn = pbyCert;
        return smk::D2iX509(&pbyIn, nCertSize);
    };
    OsslPtr<X509> pX509Cert(
        morv::CertificateCache::Decode(pbyCert, nCertSize, morv::CertificateForm::Der, read));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pX509Cert, "d2i_X509", VOMU_E_FAIL);
    unsigned char* pbyEncryptedKey = nullptr;
    int nResult = RSAEncryptByX509(pX509Cert.get(), pParts->symKey.Get(), pParts->nSymKeySize,
                                   &pbyEncryptedKey, &pParts->nEncryptedKeySize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "RSAEncryptByX509", nResult);
    pParts->pbyEncryptedKey.reset(pbyEncryptedKey);
    char* pszOID = nullptr;
    int nOIDSize = 0;
    nResult = GetOIDFromNID(nSymAlgNID, &pszOID, &nOIDSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetOIDFromNID", nResult);
    pParts->pszOID.reset(pszOID);
    unsigned char* pbyKeyID = nullptr;
    nResult = GetSubjectKeyIDFromCert(const_cast<unsigned char*>(pbyCert), nCertSize, &pbyKeyID,
                                      &pParts->nKeyIDSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetSubjectKeyIDFromCert", nResult);
    pParts->pbyKeyID.reset(pbyKeyID);
    return VOMU_OK;
}

int EncodeEnvelope(KeyTransportParts& parts, unsigned char* pbyContent, int nContentSize,
                   unsigned char** ppbyDER, int* pnDERSize)
{
    return Encode_CMSEnvelope(OID_ENVELOPED_DATA, parts.pbyKeyID.get(), parts.nKeyIDSize,
                              OID_RSA_ENCRYPTION, parts.pbyEncryptedKey.get(),
                              parts.nEncryptedKeySize, OID_DATA, parts.pszOID.get(),
                              parts.pbySymAlgParameter.get(), parts.nSymAlgParameterSize,
                              pbyContent, nContentSize, ppbyDER, pnDERSize);
}

// The plain file's size, within what an envelope's int lengths can declare.
int GetPlainFileSize(const char* pszFunc, FILE* fpPlainFile, uint64_t* pnPlainFileSize)
{
    uint64_t nPlainFileSize = 0;
    const int nResult = GetFileSize_Ex(fpPlainFile, &nPlainFileSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetFileSize_Ex", nResult);
    TRACE(TRACE_LEVEL_INFO, "Source plain file size:[%llu]", (unsigned long long)nPlainFileSize);
    VOMU_FAIL_IF_IN(pszFunc, MAX_ENVELOPE_FILE_SIZE < nPlainFileSize, "Check file size",
                    VOMU_E_FILE_TOO_LARGE);
    // Refused before the header is written, so that no envelope without content is left.
    VOMU_FAIL_IF_IN(pszFunc, 0 == nPlainFileSize, "Check plaint file size", VOMU_E_READ_FILE);
    *pnPlainFileSize = nPlainFileSize;
    return VOMU_OK;
}

int WriteHeader(const char* pszFunc, FILE* fpCMSEnvelope, const OwnedArray<unsigned char>& pbyDER,
                int nDERCMSEnvelopeSize)
{
    const size_t sizeWrite = fwrite(pbyDER.get(), 1, (size_t)nDERCMSEnvelopeSize, fpCMSEnvelope);
    VOMU_FAIL_IF_IN(pszFunc, sizeWrite != (size_t)nDERCMSEnvelopeSize, "fwrite", VOMU_E_WRITE_FILE);
    return VOMU_OK;
}

}  // namespace

int RSA_EncryptDataToDERCMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                    const unsigned char* pbyCert, int nCertSize, int nSymAlgNID,
                                    unsigned char** ppbyDERCMSEnvelope,
                                    int* pnDERCMSEnvelopeSize)
{
    VOMU_FAIL_IF(NULL == pbyCert || 0 >= nCertSize || NULL == ppbyDERCMSEnvelope ||
                     NULL == pnDERCMSEnvelopeSize,
                 "Check parameters", VOMU_E_INVALID_ARG);
    KeyTransportParts parts;
    int nResult = MakeContentKey(__func__, nSymAlgNID, &parts);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyEncrypted = nullptr;
    int nEncryptedSize = 0;
    nResult = SymEncrypt(nSymAlgNID, parts.pbyIV, parts.symKey.Get(), parts.nSymKeySize,
                         pbyPlainData, nPlainDataSize, &pbyEncrypted, &nEncryptedSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SymEncrypt", nResult);
    OwnedArray<unsigned char> pbyEncryptedData(pbyEncrypted);
    nResult = MakeRecipientParts(__func__, nSymAlgNID, pbyCert, nCertSize, &parts);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyDER = nullptr;
    int nDERSize = 0;
    nResult = EncodeEnvelope(parts, pbyEncryptedData.get(), nEncryptedSize, &pbyDER, &nDERSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_CMSEnvelope", VOMU_E_FAIL);
    OwnedArray<unsigned char> pOwned(pbyDER);
    return morv::HandOver(pOwned, ppbyDERCMSEnvelope, pnDERCMSEnvelopeSize, (size_t)nDERSize);
}

int RSA_EncryptDataToCMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                 const unsigned char* pbyCert, int nCertSize, int nSymAlgNID,
                                 unsigned long dwFlags, char** ppszBase64CMSEnvelope,
                                 int* pnBase64CMSEnvelopeSize)
{
    VOMU_FAIL_IF(NULL == pbyPlainData || nPlainDataSize <= 0, "Check parameter(pbyPlainData)",
                 VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(NULL == ppszBase64CMSEnvelope, "Check parameter(ppszBase64CMSEnvelope)",
                 VOMU_E_INVALID_ARG);
    unsigned char* pbyDER = nullptr;
    int nDERSize = 0;
    int nResult = RSA_EncryptDataToDERCMSEnvelope(pbyPlainData, nPlainDataSize, pbyCert,
                                                  nCertSize, nSymAlgNID, &pbyDER, &nDERSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "RSA_EncryptDataToDERCMSEnvelope", nResult);
    OwnedArray<unsigned char> pOwnedDER(pbyDER);
    char* pszText = nullptr;
    int nTextSize = 0;
    nResult = Base64EncodeEx(pOwnedDER.get(), nDERSize, &pszText, &nTextSize, dwFlags);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64EncodeEx", nResult);
    OwnedArray<char> pOwnedText(pszText);
    return morv::HandOver(pOwnedText, ppszBase64CMSEnvelope, pnBase64CMSEnvelopeSize,
                          (size_t)nTextSize);
}

int RSA_EncryptFileToCMSEnvelope(FILE* fpPlainFile, const unsigned char* pbyCert, int nCertSize,
                                 int nSymAlgNID, FILE* fpCMSEnvelope)
{
    VOMU_FAIL_IF(NULL == fpPlainFile || NULL == pbyCert || 0 >= nCertSize || NULL == fpCMSEnvelope,
                 "Check parameters", VOMU_E_INVALID_ARG);
    uint64_t nPlainFileSize = 0;
    int nResult = GetPlainFileSize(__func__, fpPlainFile, &nPlainFileSize);
    if (VOMU_OK != nResult) return nResult;
    KeyTransportParts parts;
    nResult = MakeContentKey(__func__, nSymAlgNID, &parts);
    if (VOMU_OK != nResult) return nResult;
    const int nDeclaredSize = NID_rc4 == nSymAlgNID ? (int)nPlainFileSize
                                                    : (int)(nPlainFileSize & ~(uint64_t)7) + 8;
    TRACE(TRACE_LEVEL_INFO, "Symmetric encrypted file size:[%d]", nDeclaredSize);
    nResult = MakeRecipientParts(__func__, nSymAlgNID, pbyCert, nCertSize, &parts);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyDER = nullptr;
    int nDERCMSEnvelopeSize = 0;
    nResult = EncodeEnvelope(parts, NULL, nDeclaredSize, &pbyDER, &nDERCMSEnvelopeSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_CMSEnvelope", nResult);
    OwnedArray<unsigned char> pOwnedDER(pbyDER);
    TRACE(TRACE_LEVEL_INFO, "CMS envelope(without EncryptedContent node) data size:[%d]",
          nDERCMSEnvelopeSize);
    nResult = WriteHeader(__func__, fpCMSEnvelope, pOwnedDER, nDERCMSEnvelopeSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = SymFileEncrypt(nSymAlgNID, parts.pbyIV, parts.symKey.Get(), parts.nSymKeySize,
                             fpPlainFile, fpCMSEnvelope);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SymFileEncrypt", nResult);
    return VOMU_OK;
}
