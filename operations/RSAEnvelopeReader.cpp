// Opening RSA CMS envelopes, in memory and in files, with the key of a PKCS#12 file.
#include "RSADataEncryption.h"

#include <cstring>
#include <memory>

#include "Base64Utility.h"
#include "CMSEnvelopeOperations.h"
#include "CertificateOperations.h"
#include "CipherFileStream.h"
#include "HandOver.h"
#include "OperationsCommon.h"
#include "OsslPtr.h"
#include "SecretArray.h"
#include "VomuStep.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"

namespace {

using morv::CipherFileStream;
using morv::OwnedArray;
using morv::OsslPtr;

const int DES3_IV_LEN = 8;

const morv::CipherStreamSteps NODE_STEPS = {
    "!pbyEncryptedData || !pbyPlainData",
    "ferror(fpCMSEnvelope)",
    true,  // what the file holds of the node is decrypted and written before the failure
    "EVP_DecryptUpdate",
    "EVP_DecryptFinal_ex",
    VOMU_E_FAIL,
    "Check write bytes",
    "nWriteBytes != nDecryptedDataSize",
    "nWriteBytes != nFinalBlockSize",
};

// The fields of an envelope that opening it needs.
struct EnvelopeFields {
    OwnedArray<unsigned char> pbyEncryptedKey;
    int nEncryptedKeySize = 0;
    OwnedArray<char> pszContentEncryptionAlgOID;
    OwnedArray<unsigned char> pbyParam;  // the content cipher's IV, if any
    int nParamSize = 0;
};

// The recipient's key of the PKCS#12 file.
int ReadPFXKey(const char* pszFunc, FILE* fpPFX, const char* pszPFXPwd, OsslPtr<EVP_PKEY>* ppKey)
{
    EVP_PKEY* pKey = nullptr;
    const int nResult = ParsePFXFile(fpPFX, pszPFXPwd, &pKey, NULL, NULL);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ParsePFXFile", nResult);
    ppKey->reset(pKey);
    return VOMU_OK;
}

int CheckContentCipher(const char* pszFunc, int nContentEncryptionAlgNID, int nParamSize)
{
    VOMU_FAIL_IF_IN(
        pszFunc,
        (nContentEncryptionAlgNID != NID_rc4 && nContentEncryptionAlgNID != NID_des_ede3_cbc &&
         nContentEncryptionAlgNID != NID_des_ede3_ecb),
        "nContentEncryptionAlgNID", VOMU_E_DECRYPT);
    VOMU_FAIL_IF_IN(pszFunc,
                    NID_des_ede3_cbc == nContentEncryptionAlgNID && DES3_IV_LEN > nParamSize,
                    "Check 3DES IV length", VOMU_E_ENVELOPE_FORMAT);
    return VOMU_OK;
}

// A key of another length would be completed or cut by the cipher and open to wrong bytes.
int CheckContentKey(const char* pszFunc, int nContentEncryptionAlgNID, int nSymKeySize)
{
    const int nCipherKeySize = NID_rc4 == nContentEncryptionAlgNID ? RC4_KEY_LEN : DES3_KEY_LEN;
    VOMU_FAIL_IF_IN(pszFunc, nCipherKeySize != nSymKeySize, "Check content key length",
                    VOMU_E_DECRYPT);
    return VOMU_OK;
}

// The content key under the recipient's key (in *pSymKey, wiped when it goes) and the content
// cipher's number.
int OpenContentKey(const char* pszFunc, EVP_PKEY* pKey, const EnvelopeFields& fields, int* pnNID,
                   morv::SecretArray* pSymKey)
{
    unsigned char* pbySymKey = nullptr;
    int nSymKeySize = 0;
    int nResult = RSADecrypt(pKey, fields.pbyEncryptedKey.get(), fields.nEncryptedKeySize,
                             &pbySymKey, &nSymKeySize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "RSADecrypt", nResult);
    pSymKey->Adopt(pbySymKey, (size_t)nSymKeySize);
    const int nContentEncryptionAlgNID = OBJ_txt2nid(fields.pszContentEncryptionAlgOID.get());
    nResult = CheckContentCipher(pszFunc, nContentEncryptionAlgNID, fields.nParamSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckContentKey(pszFunc, nContentEncryptionAlgNID, nSymKeySize);
    if (VOMU_OK != nResult) return nResult;
    *pnNID = nContentEncryptionAlgNID;
    return VOMU_OK;
}

int DecodeEnvelopeData(const char* pszFunc, const unsigned char* pbyDER, int nDERSize,
                       EnvelopeFields* pFields, OwnedArray<unsigned char>* ppbyEncryptedContent,
                       int* pnContentSize)
{
    unsigned char *pbyEncryptedKey = nullptr, *pbyContent = nullptr, *pbyParam = nullptr;
    char* pszOID = nullptr;
    int nOIDSize = 0;
    const int nResult = Decode_CMSEnvelopeData(
        const_cast<unsigned char*>(pbyDER), nDERSize, NULL, NULL, &pbyEncryptedKey,
        &pFields->nEncryptedKeySize, &pbyContent, pnContentSize, NULL, NULL, &pszOID, &nOIDSize,
        &pbyParam, &pFields->nParamSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "Decode_CMSEnvelopeData", nResult);
    pFields->pbyEncryptedKey.reset(pbyEncryptedKey);
    pFields->pszContentEncryptionAlgOID.reset(pszOID);
    pFields->pbyParam.reset(pbyParam);
    ppbyEncryptedContent->reset(pbyContent);
    return VOMU_OK;
}

int DecodeEnvelopeFile(const char* pszFunc, FILE* fpCMSEnvelope, EnvelopeFields* pFields,
                       std::unique_ptr<NodeEx>* ppNode)
{
    unsigned char *pbyEncryptedKey = nullptr, *pbyParam = nullptr;
    char* pszOID = nullptr;
    int nOIDSize = 0;
    NodeEx* pNode = nullptr;
    const int nResult = Decode_CMSEnvelopeFile(fpCMSEnvelope, NULL, NULL, &pbyEncryptedKey,
                                               &pFields->nEncryptedKeySize, &pNode, NULL, NULL,
                                               &pszOID, &nOIDSize, &pbyParam, &pFields->nParamSize);
    VOMU_FAIL_IF_REASON_IN(pszFunc, VOMU_OK != nResult, "nResult != VOMU_OK",
                           "Decode_CMSEnvelopeFile", nResult);
    pFields->pbyEncryptedKey.reset(pbyEncryptedKey);
    pFields->pszContentEncryptionAlgOID.reset(pszOID);
    pFields->pbyParam.reset(pbyParam);
    ppNode->reset(pNode);
    return VOMU_OK;
}

// One node's value octets from the envelope file through the stream.
int ProcessNode(const char* pszFunc, CipherFileStream& stream, FILE* fpCMSEnvelope,
                const NodeEx* pNode, FILE* fpPlainFile)
{
    const int nResult = fseeko(fpCMSEnvelope, (off_t)pNode->ValueOffset, SEEK_SET);
    VOMU_FAIL_IF_IN(pszFunc, 0 != nResult, "fseek", VOMU_E_FAIL);
    return stream.Pump(fpCMSEnvelope, pNode->ValueLength, fpPlainFile);
}

}  // namespace

int RSA_DecryptDataFromDERCMSEnvelope(const unsigned char* pbyDERCMSEnvelope,
                                      int nDERCMSEnvelopeSize, FILE* fpPFX,
                                      const char* pszPFXPwd, unsigned char** ppbyPlainData,
                                      int* pnPlainDataSize)
{
    VOMU_FAIL_IF(NULL == pbyDERCMSEnvelope || 0 >= nDERCMSEnvelopeSize || NULL == fpPFX ||
                     NULL == pszPFXPwd || NULL == ppbyPlainData || NULL == pnPlainDataSize,
                 "Check parameters", VOMU_E_INVALID_ARG);
    OsslPtr<EVP_PKEY> pKey;
    int nResult = ReadPFXKey(__func__, fpPFX, pszPFXPwd, &pKey);
    if (VOMU_OK != nResult) return nResult;
    EnvelopeFields fields;
    OwnedArray<unsigned char> pbyEncryptedContent;
    int nEncryptedContentSize = 0;
    nResult = DecodeEnvelopeData(__func__, pbyDERCMSEnvelope, nDERCMSEnvelopeSize, &fields,
                                 &pbyEncryptedContent, &nEncryptedContentSize);
    if (VOMU_OK != nResult) return nResult;
    int nSymAlgNID = 0;
    morv::SecretArray symKey;
    nResult = OpenContentKey(__func__, pKey.get(), fields, &nSymAlgNID, &symKey);
    if (VOMU_OK != nResult) return nResult;
    nResult = SymDecrypt(nSymAlgNID, fields.pbyParam.get(), symKey.Get(), (int)symKey.Size(),
                         pbyEncryptedContent.get(), nEncryptedContentSize, ppbyPlainData,
                         pnPlainDataSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SymDecrypt", nResult);
    return VOMU_OK;
}

int RSA_DecryptDataFromCMSEnvelope(const char* pszBase64CMSEnvelope, FILE* fpPFX,
                                   const char* pszPFXPwd, unsigned char** ppbyPlainData,
                                   int* pnPlainDataSize)
{
    VOMU_FAIL_IF(NULL == pszBase64CMSEnvelope, "Check parameter(pszBase64CMSEnvelope)",
                 VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(NULL == fpPFX, "Check parameter(fpPFX)", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(NULL == pszPFXPwd || 0 == strlen(pszPFXPwd), "Check parameter(pszPFXwd)",
                 VOMU_E_INVALID_ARG);
    unsigned char* pbyDER = nullptr;
    int nDERSize = 0;
    int nResult = Base64DecodeEx(pszBase64CMSEnvelope, (int)strlen(pszBase64CMSEnvelope), &pbyDER,
                                 &nDERSize);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Base64DecodeEx", nResult);
    OwnedArray<unsigned char> pOwnedDER(pbyDER);
    return RSA_DecryptDataFromDERCMSEnvelope(pOwnedDER.get(), nDERSize, fpPFX, pszPFXPwd,
                                             ppbyPlainData, pnPlainDataSize);
}

int RSA_DecryptFileFromCMSEnvelope(FILE* fpCMSEnvelope, FILE* fpPFX, const char* pszPFXPwd,
                                   FILE* fpPlainFile)
{
    VOMU_FAIL_IF(NULL == fpCMSEnvelope || NULL == fpPFX || NULL == pszPFXPwd ||
                     NULL == fpPlainFile,
                 "Check parameters", VOMU_E_INVALID_ARG);
    EnvelopeFields fields;
    std::unique_ptr<NodeEx> pNode;
    int nResult = DecodeEnvelopeFile(__func__, fpCMSEnvelope, &fields, &pNode);
    if (VOMU_OK != nResult) return nResult;
    OsslPtr<EVP_PKEY> pKey;
    nResult = ReadPFXKey(__func__, fpPFX, pszPFXPwd, &pKey);
    if (VOMU_OK != nResult) return nResult;
    int nSymAlgNID = 0;
    morv::SecretArray symKey;
    nResult = OpenContentKey(__func__, pKey.get(), fields, &nSymAlgNID, &symKey);
    if (VOMU_OK != nResult) return nResult;
    nResult = DecryptFileEnvelopeContent(nSymAlgNID, symKey.Get(), fields.pbyParam.get(),
                                         fpCMSEnvelope, pNode.get(), fpPlainFile);
    VOMU_FAIL_IF(VOMU_OK != nResult, "DecryptFileEnvelopeContent", nResult);
    return VOMU_OK;
}

int DecryptFileEnvelopeContent(int nSymAlgNID, const unsigned char* pbySymKey,
                               const unsigned char* pbyIV, FILE* fpCMSEnvelope, NodeEx* pNode,
                               FILE* fpPlainFile)
{
    VOMU_FAIL_IF(NULL == pbySymKey || NULL == fpCMSEnvelope || NULL == pNode || NULL == fpPlainFile,
                 "Check parameters", VOMU_E_INVALID_ARG);
    OsslPtr<EVP_CIPHER> pEvpCipher;
    int nResult = morv::GetCipher(__func__, nSymAlgNID, "GetEVPCipherbyNID", &pEvpCipher);
    if (VOMU_OK != nResult) return nResult;
    OsslPtr<EVP_CIPHER_CTX> pCTX;
    nResult = morv::InitCipherContext(__func__, pEvpCipher.get(), pbyIV, pbySymKey, false,
                                      VOMU_E_FAIL, &pCTX);
    if (VOMU_OK != nResult) return nResult;
    CipherFileStream stream(__func__, pCTX.get(), NODE_STEPS);
    nResult = stream.Allocate();
    if (VOMU_OK != nResult) return nResult;
    // Constructed content (segments) is opened one direct child after the other.
    if (pNode->vetNodes.empty())
        nResult = ProcessNode(__func__, stream, fpCMSEnvelope, pNode, fpPlainFile);
    for (size_t i = 0; VOMU_OK == nResult && i < pNode->vetNodes.size(); ++i)
        nResult = ProcessNode(__func__, stream, fpCMSEnvelope, pNode->vetNodes[i], fpPlainFile);
    VOMU_FAIL_IF(VOMU_OK != nResult, "DecryptFileEnvelopeContent_ProcessOneNode", nResult);
    return stream.Finish(fpPlainFile);
}

int DecryptFileEnvelopeContent_ProcessOneNode(EVP_CIPHER_CTX* pCTX, FILE* fpCMSEnvelope,
                                              NodeEx* pNode, FILE* fpPlainFile)
{
    VOMU_FAIL_IF(NULL == pCTX || NULL == fpCMSEnvelope || NULL == pNode || NULL == fpPlainFile,
                 "Check parameters", VOMU_E_INVALID_ARG);
    CipherFileStream stream(__func__, pCTX, NODE_STEPS);
    const int nResult = stream.Allocate();
    if (VOMU_OK != nResult) return nResult;
    return ProcessNode(__func__, stream, fpCMSEnvelope, pNode, fpPlainFile);
}
