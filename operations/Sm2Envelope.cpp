// SM2 CMS envelopes in memory: the content under SM4-CBC with a fresh key and IV, the key
// SM2-encrypted to the recipient certificate's public key.
#include <openssl/rand.h>

#include "Base64Utility.h"
#include "CMSEnvelopeOperations.h"
#include "CertificateOperations.h"
#include "SMFileCertOperations.h"
#include "SM2.h"
#include "SMKernel.h"
#include "Sm2EnvelopeParts.h"
#include "Sm2KeyFile.h"
#include "VomuStep.h"
#include "operations/DataEncryption.h"
#include "smkernel/DataEncryption.h"

using morv::OwnedArray;

namespace {

// The helpers below log their steps under pszFunc, the envelope function whose steps they are.
int RecipientFromCertificate(const char* pszFunc, const unsigned char* pbyCert, int nCertSize,
                             morv::SM2EnvelopeRecipient& recipient,
                             OwnedArray<unsigned char>& pbyX, OwnedArray<unsigned char>& pbyY)
{
    unsigned char* pbyCertBytes = const_cast<unsigned char*>(pbyCert);
    int nResult = CheckCertKeyUsage(pbyCert, nCertSize, KEY_USAGE_KEY_ENCIPHERMENT, true);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "CheckCertKeyUsage", nResult);
    unsigned char* pbyKeyID = NULL;
    nResult = GetSubjectKeyIDFromCert(pbyCertBytes, nCertSize, &pbyKeyID, &recipient.nKeyIDSize);
    recipient.pbyKeyID.reset(pbyKeyID);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetSubjectKeyIDFromCert", nResult);
    unsigned char *pbyXOut = NULL, *pbyYOut = NULL;
    int nXLen = 0, nYLen = 0;
    nResult =
        GetPublicKeyXYFromSM2Cert(pbyCertBytes, nCertSize, &pbyXOut, &nXLen, &pbyYOut, &nYLen);
    pbyX.reset(pbyXOut);
    pbyY.reset(pbyYOut);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetPublicKeyXYFromSM2Cert", nResult);
    return VOMU_OK;
}

// The SM2 ciphertext of the content key in the stored form. The form is looked at only after
// the key was encrypted, as stored envelopes have always been made.
int EncodeEncryptedKey(const char* pszFunc, unsigned char* pbyRaw, int nRawSize, unsigned long fSM2EncEncodedType,
                       morv::SM2EnvelopeRecipient& recipient)
{
    if (SM2_ENC_ENCODED_SM2CIPHER == fSM2EncEncodedType) {
        unsigned char* pbyDER = NULL;
        const int nResult =
            Encode_SM2Cipher(pbyRaw, nRawSize, &pbyDER, &recipient.nEncryptedKeySize);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Encode_SM2Cipher", nResult);
        recipient.pbyEncryptedKey.reset(pbyDER);
        return VOMU_OK;
    }
    if (SM2_ENC_ENCODED_RAW != fSM2EncEncodedType) {
        VOMU_STEP_FAILED_IN(pszFunc, "Check fSM2EncEncodedType", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
    recipient.pbyEncryptedKey = morv::CopyToArray(pbyRaw, (size_t)nRawSize);
    VOMU_FAIL_IF_IN(pszFunc, !recipient.pbyEncryptedKey, "New memory", VOMU_E_FAIL);
    recipient.nEncryptedKeySize = nRawSize;
    return VOMU_OK;
}

// The raw SM2 ciphertext of an encrypted key in the given stored form.
int DecodeEncryptedKey(const char* pszFunc, const unsigned char* pbyEncryptedKey, int nEncryptedKeySize,
                       unsigned long fSM2EncEncodedType, OwnedArray<unsigned char>& pbyRaw,
                       int* pnRawSize)
{
    if (SM2_ENC_ENCODED_SM2CIPHER == fSM2EncEncodedType) {
        unsigned char* pbyDecoded = NULL;
        const int nResult = Decode_SM2Cipher(const_cast<unsigned char*>(pbyEncryptedKey),
                                             nEncryptedKeySize, &pbyDecoded, pnRawSize);
        VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Decode_SM2Cipher", nResult);
        pbyRaw.reset(pbyDecoded);
        return VOMU_OK;
    }
    if (SM2_ENC_ENCODED_RAW != fSM2EncEncodedType) {
        VOMU_STEP_FAILED_IN(pszFunc, "Check fSM2EncEncodedType", VOMU_E_INVALID_ARG, "true");
        return VOMU_E_INVALID_ARG;
    }
    pbyRaw = morv::CopyToArray(pbyEncryptedKey, (size_t)nEncryptedKeySize);
    VOMU_FAIL_IF_IN(pszFunc, !pbyRaw, "New memory", VOMU_E_FAIL);
    *pnRawSize = nEncryptedKeySize;
    return VOMU_OK;
}

}  // namespace

namespace morv {

int EncodeSM2Envelope(const char* pszFunc, const SM2EnvelopeRecipient& recipient, unsigned char* pbyCipher,
                      int nCipherSize, OwnedArray<unsigned char>& pbyDER, int* pnDERSize)
{
    unsigned char* pbyEncoded = NULL;
    const int nResult = Encode_CMSEnvelope(
        SM2_ENVELOPED_DATA_OID, recipient.pbyKeyID.get(), recipient.nKeyIDSize, SM2_ENCRYPTION_OID,
        recipient.pbyEncryptedKey.get(), recipient.nEncryptedKeySize, SM2_DATA_OID, SM4_CBC_OID,
        recipient.pbyIVParameter.get(), recipient.nIVParameterSize, pbyCipher, nCipherSize,
        &pbyEncoded, pnDERSize);
    pbyDER.reset(pbyEncoded);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Encode_CMSEnvelope", nResult);
    return VOMU_OK;
}

int LoadDecryptionKeyFile(const char* pszFunc, FILE* fpSM2PFXFile, const char* pszPassword,
                          bool bFileRoad, SM2KeyFile& keyFile)
{
    SM2KeyFileRequest request;
    request.pszFunc = pszFunc;
    request.pszPassword = pszPassword;
    request.bRefuseShortRead = bFileRoad;  // decryption tests no key usage
    return keyFile.Load(fpSM2PFXFile, request);
}

int PrepareSM2Recipient(const char* pszFunc, const unsigned char* pbyCert, int nCertSize,
                        unsigned long fSM2EncEncodedType, SM2EnvelopeRecipient& recipient)
{
    OwnedArray<unsigned char> pbyX, pbyY;
    int nResult = RecipientFromCertificate(pszFunc, pbyCert, nCertSize, recipient, pbyX, pbyY);
    if (VOMU_OK != nResult) return nResult;
    nResult = smk::LibCtx() ? RAND_bytes_ex(smk::LibCtx(), recipient.ivAndKey.aby,
                                            sizeof(recipient.ivAndKey.aby), 0)
                            : 0;
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 1 != nResult, "RAND_bytes", VOMU_E_FAIL);
    unsigned char* pbyRaw = NULL;
    int nRawSize = 0;
    nResult = SM2_Encrypt(recipient.Key(), SM2_ENVELOPE_KEY_SIZE, pbyX.get(), SM2_FIELD_SIZE,
                          pbyY.get(), SM2_FIELD_SIZE, &pbyRaw, &nRawSize);
    OwnedArray<unsigned char> pbyOwnedRaw(pbyRaw);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "SM2_Encrypt", nResult);
    nResult = EncodeEncryptedKey(pszFunc, pbyRaw, nRawSize, fSM2EncEncodedType, recipient);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyParameter = NULL;
    nResult = ASN1Encode(0x04, recipient.IV(), SM2_ENVELOPE_IV_SIZE, &pbyParameter,
                         &recipient.nIVParameterSize);
    recipient.pbyIVParameter.reset(pbyParameter);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ASN1Encode", nResult);
    return VOMU_OK;
}

int OpenSM2ContentKey(const char* pszFunc, const unsigned char* pbyEncryptedKey, int nEncryptedKeySize,
                      unsigned long fSM2EncEncodedType, const unsigned char* pbyPrivateKey,
                      int nIVSize, SecretArray& key)
{
    OwnedArray<unsigned char> pbyRaw;
    int nRawSize = 0;
    int nResult = DecodeEncryptedKey(pszFunc, pbyEncryptedKey, nEncryptedKeySize, fSM2EncEncodedType,
                                     pbyRaw, &nRawSize);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyKey = NULL;
    int nKeyLength = 0;
    nResult = SM2_Decrypt(pbyRaw.get(), nRawSize, pbyPrivateKey, SM2_FIELD_SIZE, &pbyKey,
                          &nKeyLength);
    key.Adopt(pbyKey, (size_t)nKeyLength);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "SM2_Decrypt", nResult);
    const int nContentEncryptionAlgParameter = nIVSize;
    VOMU_FAIL_IF_IN(pszFunc, 16 != nContentEncryptionAlgParameter || 16 != nKeyLength,
                    "Check IV and Key size", VOMU_E_ENVELOPE_FORMAT);
    return VOMU_OK;
}

}  // namespace morv

int EncryptDataToDerCMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                const unsigned char* pbyCert, int nCertSize,
                                unsigned long fSM2EncEncodedType,
                                unsigned char** ppbyDerCMSEnvelope, int* pnDerCMSEnvelopeSize)
{
    VOMU_FAIL_IF(NULL == ppbyDerCMSEnvelope || NULL == pnDerCMSEnvelopeSize, "check parameters.",
                 VOMU_E_INVALID_ARG);
    morv::SM2EnvelopeRecipient recipient;
    int nResult = morv::PrepareSM2Recipient(__func__, pbyCert, nCertSize, fSM2EncEncodedType, recipient);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyCipher = NULL;
    int nCipherSize = 0;
    nResult = SM4_Encrypt_CBC(pbyPlainData, nPlainDataSize, recipient.IV(), morv::SM2_ENVELOPE_IV_SIZE,
                              recipient.Key(), morv::SM2_ENVELOPE_KEY_SIZE, &pbyCipher, &nCipherSize);
    OwnedArray<unsigned char> pbyOwnedCipher(pbyCipher);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SM4_Encrypt_CBC", nResult);
    OwnedArray<unsigned char> pbyOwnedDER;
    int nDERSize = 0;
    nResult = morv::EncodeSM2Envelope(__func__, recipient, pbyCipher, nCipherSize, pbyOwnedDER,
                                      &nDERSize);
    if (VOMU_OK != nResult) return nResult;
    return morv::HandOver(pbyOwnedDER, ppbyDerCMSEnvelope, pnDerCMSEnvelopeSize, (size_t)nDERSize);
}

// The recipient and the algorithms are read but not compared: the key file's key is tried.
int DecryptDerCMSEnvelopeData(const unsigned char* pbyDerCMSEnvelope, int nDerCMSEnvelopeSize,
                              FILE* fpSM2PFXFile, const char* pszPassword,
                              unsigned long fSM2EncEncodedType, unsigned char** ppbyPlainData,
                              int* pnPlainDataSize)
{
    VOMU_FAIL_IF(NULL == ppbyPlainData || NULL == pnPlainDataSize, "check parameters.",
                 VOMU_E_INVALID_ARG);
    unsigned char *pbyEncryptedKey = NULL, *pbyEncryptedContent = NULL, *pbyIV = NULL;
    int nEncryptedKeySize = 0, nEncryptedContentSize = 0, nIVSize = 0;
    int nResult = Decode_CMSEnvelopeData(const_cast<unsigned char*>(pbyDerCMSEnvelope),
                                         nDerCMSEnvelopeSize, NULL, NULL, &pbyEncryptedKey,
                                         &nEncryptedKeySize, &pbyEncryptedContent,
                                         &nEncryptedContentSize, NULL, NULL, NULL, NULL, &pbyIV,
                                         &nIVSize);
    OwnedArray<unsigned char> pbyOwnedKey(pbyEncryptedKey), pbyOwnedContent(pbyEncryptedContent),
        pbyOwnedIV(pbyIV);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Decode_CMSEnvelopeData", nResult);
    morv::SM2KeyFile keyFile;
    nResult = morv::LoadDecryptionKeyFile(__func__, fpSM2PFXFile, pszPassword, false, keyFile);
    if (VOMU_OK != nResult) return nResult;
    morv::SecretArray key;
    nResult = morv::OpenSM2ContentKey(__func__, pbyEncryptedKey, nEncryptedKeySize, fSM2EncEncodedType,
                                      keyFile.KeyPair().privateKey, nIVSize, key);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbyPlain = NULL;
    int nPlainSize = 0;
    nResult = SM4_Decrypt_CBC(pbyEncryptedContent, nEncryptedContentSize, pbyIV, nIVSize, key.Get(),
                              (int)key.Size(), &pbyPlain, &nPlainSize);
    morv::SecretArray plain;
    plain.Adopt(pbyPlain, (size_t)nPlainSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SM4_Decrypt_CBC", nResult);
    return morv::HandOver(plain.Owned(), ppbyPlainData, pnPlainDataSize, (size_t)nPlainSize);
}

int EncryptDataToBase64CMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                   const unsigned char* pbyCert, int nCertSize,
                                   unsigned long fSM2EncEncodedType, char** ppszBase64CMSEnvelope,
                                   int* pnBase64Size, unsigned long dwBase64Flags)
{
    VOMU_FAIL_IF(NULL == ppszBase64CMSEnvelope || NULL == pnBase64Size, "check parameters.",
                 VOMU_E_INVALID_ARG);
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    int nResult = EncryptDataToDerCMSEnvelope(pbyPlainData, nPlainDataSize, pbyCert, nCertSize,
                                              fSM2EncEncodedType, &pbyDER, &nDERSize);
    OwnedArray<unsigned char> pbyOwnedDER(pbyDER);
    VOMU_FAIL_IF(VOMU_OK != nResult, "EncryptDataToDerCMSEnvelope", nResult);
    char* pszText = NULL;
    int nTextSize = 0;
    nResult = Base64EncodeEx(pbyDER, nDERSize, &pszText, &nTextSize, dwBase64Flags);
    OwnedArray<char> pszOwned(pszText);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64EncodeEx", nResult);
    return morv::HandOver(pszOwned, ppszBase64CMSEnvelope, pnBase64Size, (size_t)nTextSize);
}

int DecryptBase64CMSEnvelopeData(const char* pszBase64CMSEnvelope, int nBase64Size,
                                 FILE* fpSM2PFXFile, const char* pszPassword,
                                 unsigned long fSM2EncEncodedType, unsigned char** ppbyPlainData,
                                 int* pnPlainDataSize)
{
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    int nResult = Base64DecodeEx(pszBase64CMSEnvelope, nBase64Size, &pbyDER, &nDERSize);
    OwnedArray<unsigned char> pbyOwnedDER(pbyDER);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx(pszBase64CMSEnvelope)", nResult);
    nResult = DecryptDerCMSEnvelopeData(pbyDER, nDERSize, fpSM2PFXFile, pszPassword,
                                        fSM2EncEncodedType, ppbyPlainData, pnPlainDataSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "DecryptDerCMSEnvelopeData(pbyPlainData)", nResult);
    return VOMU_OK;
}
