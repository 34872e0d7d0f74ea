// SM2 CMS envelopes of files: the envelope's header is written first, declaring the content's
// length, and the content follows through SM4-CBC in pieces of FILE_PIECE_SIZE bytes; opening reads
// the ciphertext where it lies in the envelope file. Neither road holds a file in memory.
#include <climits>
#include <cstring>

#include "CMSEnvelopeOperations.h"
#include "CipherFileStream.h"
#include "Misc.h"
#include "RSADataEncryption.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "Sm2EnvelopeParts.h"
#include "Sm2KeyFile.h"
#include "VomuStep.h"
#include "operations/DataEncryption.h"
#include "vomu_zlog.h"

using morv::OwnedArray;

namespace {

const int SM4_BLOCK = 16;

const morv::CipherStreamSteps kEncryptSteps = {
    "NULL == pbyPlainBlock || NULL == pbyEncryptedBlock",
    "BLOCK_SIZE != nBytesOfRead || ferror(fpPlainFile)",
    false,
    "EVP_EncryptUpdate",
    "EVP_EncryptFinal_ex",
    VOMU_E_FAIL,
    "fwrite",
    "sizeWrite != (size_t)nEncryptedBlockSize",
    "sizeWrite != (size_t)nFinalBlockSize"};

// The helpers below are steps of the one function that calls each, and log under its name.
const char kEncryptFunc[] = "EncryptFileToDerCMSEnvelope";
const char kDecryptFunc[] = "DecryptDerCMSEnvelopeFile";

// The ciphertext length S of a plain file; it must fit the envelope's int lengths.
int EncryptedContentSize(FILE* fpPlainFile, uint64_t* pnPlainSize, int* pnSM4EncryptedContentSize)
{
    int nResult = GetFileSize_Ex(fpPlainFile, pnPlainSize);
    VOMU_FAIL_IF_IN(kEncryptFunc, VOMU_OK != nResult, "GetFileSize_Ex", nResult);
    TRACE(TRACE_LEVEL_INFO, "EncryptFileToDerCMSEnvelope - Source plain file size:[%llu]\n",
          (unsigned long long)*pnPlainSize);
    const uint64_t nEncryptedSize = (*pnPlainSize & ~(uint64_t)(SM4_BLOCK - 1)) + SM4_BLOCK;
    VOMU_FAIL_IF_IN(kEncryptFunc, nEncryptedSize > (uint64_t)INT_MAX, "Check plain file size",
                    VOMU_E_FILE_TOO_LARGE);
    *pnSM4EncryptedContentSize = (int)nEncryptedSize;
    TRACE(TRACE_LEVEL_INFO, "EncryptFileToDerCMSEnvelope - SM4 encrypted data size:[%d]\n",
          *pnSM4EncryptedContentSize);
    return VOMU_OK;
}

// The envelope's DER up to the ciphertext, which is declared but not there.
int WriteHeader(const morv::SM2EnvelopeRecipient& recipient, int nSM4EncryptedContentSize,
                FILE* fpCMSEnvelopeFile, int* pnHeaderSize)
{
    OwnedArray<unsigned char> pbyOwned;
    int nDerCMSEnvelopeSize = 0;
    const int nResult = morv::EncodeSM2Envelope(kEncryptFunc, recipient, NULL,
                                                nSM4EncryptedContentSize, pbyOwned,
                                                &nDerCMSEnvelopeSize);
    if (VOMU_OK != nResult) return nResult;
    const unsigned char* pbyDerCMSEnvelope = pbyOwned.get();
    TRACE(TRACE_LEVEL_INFO,
          "EncryptFileToDerCMSEnvelope - CMS envelope(without EncryptedContent node) data size:[%d]\n",
          nDerCMSEnvelopeSize);
    const size_t sizeWrite = fwrite(pbyDerCMSEnvelope, 1, (size_t)nDerCMSEnvelopeSize, fpCMSEnvelopeFile);
    VOMU_FAIL_IF_IN(kEncryptFunc, sizeWrite != (size_t)nDerCMSEnvelopeSize,
                    "fwrite pbyDerCMSEnvelope.", VOMU_E_WRITE_FILE);
    *pnHeaderSize = nDerCMSEnvelopeSize;
    return VOMU_OK;
}

// The whole plain file through SM4-CBC onto the envelope stream, flushed and checked.
int StreamContent(const morv::SM2EnvelopeRecipient& recipient, FILE* fpPlainFile, uint64_t nPlainSize,
                  FILE* fpCMSEnvelopeFile, uint64_t* pnTotalEncryptedDataSize)
{
    morv::OsslPtr<EVP_CIPHER_CTX> pCtx;
    int nResult = morv::InitCipherContext(kEncryptFunc, smk::Sm4CbcCipher(), recipient.IV(),
                                          recipient.Key(), true, VOMU_E_FAIL, &pCtx);
    if (VOMU_OK != nResult) return nResult;
    morv::CipherFileStream stream(kEncryptFunc, pCtx.get(), kEncryptSteps);
    nResult = stream.Allocate();
    if (VOMU_OK == nResult) nResult = stream.Pump(fpPlainFile, nPlainSize, fpCMSEnvelopeFile);
    if (VOMU_OK == nResult) nResult = stream.Finish(fpCMSEnvelopeFile);
    if (VOMU_OK != nResult) return nResult;
    *pnTotalEncryptedDataSize = stream.Written();
    TRACE(TRACE_LEVEL_INFO, "EncryptFileToDerCMSEnvelope - Total encrypted data size:[%llu]\n",
          (unsigned long long)*pnTotalEncryptedDataSize);
    return VOMU_OK;
}

// The envelope's recipient must be the key file's certificate and its algorithms SM2 and
// SM4-CBC: the file road compares what the memory road only reads.
int CheckEnvelopeFields(const morv::SM2KeyFile& keyFile, const unsigned char* pbyRecipientKeyID,
                        int nRecipientKeyIDSize, const char* pszKeyEncryptionAlgOid,
                        const char* pszContentEncryptionAlgOid)
{
    unsigned char* pbyKeyID = NULL;
    int nKeyIDSize = 0;
    int nResult =
        GetSubjectKeyIDFromCert(keyFile.Cert(), keyFile.CertSize(), &pbyKeyID, &nKeyIDSize);
    OwnedArray<unsigned char> pbyOwned(pbyKeyID);
    VOMU_FAIL_IF_IN(kDecryptFunc, VOMU_OK != nResult, "GetSubjectKeyIDFromCert", nResult);
    const bool bSameRecipient = nKeyIDSize == nRecipientKeyIDSize &&
                                0 == memcmp(pbyKeyID, pbyRecipientKeyID, (size_t)nKeyIDSize);
    VOMU_FAIL_IF_REASON_IN(kDecryptFunc, !bSameRecipient, "true",
                           "Check CMS envelope recipient subject key id",
                           VOMU_E_ENVELOPE_RECIPIENT);
    VOMU_FAIL_IF_REASON_IN(kDecryptFunc,
                           0 != strcmp(morv::SM2_ENCRYPTION_OID, pszKeyEncryptionAlgOid), "true",
                           "Check CMS envelope KeyEncryptionAlgOid", VOMU_E_ENVELOPE_FORMAT);
    VOMU_FAIL_IF_REASON_IN(kDecryptFunc,
                           0 != strcmp(morv::SM4_CBC_OID, pszContentEncryptionAlgOid), "true",
                           "Check CMS envelope ContentEncryptionAlgOid", VOMU_E_ENVELOPE_FORMAT);
    return VOMU_OK;
}

// What Decode_CMSEnvelopeFile hands out.
struct EnvelopeFileFields {
    OwnedArray<unsigned char> pbyRecipientKeyID, pbyEncryptedKey, pbyIV;
    int nRecipientKeyIDSize = 0, nEncryptedKeySize = 0, nIVSize = 0;
    OwnedArray<char> pszKeyEncryptionAlgOid, pszContentEncryptionAlgOid;
    std::unique_ptr<NodeEx> pNode_EncryptedContent;
};

int DecodeEnvelopeFile(FILE* fpCMSEnvelope, EnvelopeFileFields& fields)
{
    unsigned char *pbyRecipientKeyID = NULL, *pbyEncryptedKey = NULL, *pbyIV = NULL;
    char *pszKeyAlg = NULL, *pszContentAlg = NULL;
    int nKeyAlg = 0, nContentAlg = 0;
    NodeEx* pNode = NULL;
    const int nResult = Decode_CMSEnvelopeFile(
        fpCMSEnvelope, &pbyRecipientKeyID, &fields.nRecipientKeyIDSize, &pbyEncryptedKey,
        &fields.nEncryptedKeySize, &pNode, &pszKeyAlg, &nKeyAlg, &pszContentAlg, &nContentAlg, &pbyIV,
        &fields.nIVSize);
    fields.pbyRecipientKeyID.reset(pbyRecipientKeyID);
    fields.pbyEncryptedKey.reset(pbyEncryptedKey);
    fields.pbyIV.reset(pbyIV);
    fields.pszKeyEncryptionAlgOid.reset(pszKeyAlg);
    fields.pszContentEncryptionAlgOid.reset(pszContentAlg);
    fields.pNode_EncryptedContent.reset(pNode);
    VOMU_FAIL_IF_IN(kDecryptFunc, nResult != VOMU_OK, "Decode_CMSEnvelopeFile", nResult);
    return VOMU_OK;
}

}  // namespace

int EncryptFileToDerCMSEnvelope(FILE* fpPlainFile, const unsigned char* pbyCert, int nCertSize,
                                unsigned long fSM2EncEncodedType, FILE* fpCMSEnvelopeFile)
{
    VOMU_FAIL_IF(NULL == fpPlainFile || NULL == fpCMSEnvelopeFile, "check parameters.",
                 VOMU_E_INVALID_ARG);
    morv::SM2EnvelopeRecipient recipient;
    int nResult =
        morv::PrepareSM2Recipient(__func__, pbyCert, nCertSize, fSM2EncEncodedType, recipient);
    if (VOMU_OK != nResult) return nResult;
    uint64_t nPlainSize = 0;
    int nSM4EncryptedContentSize = 0, nHeaderSize = 0;
    nResult = EncryptedContentSize(fpPlainFile, &nPlainSize, &nSM4EncryptedContentSize);
    if (VOMU_OK != nResult) return nResult;
    nResult = WriteHeader(recipient, nSM4EncryptedContentSize, fpCMSEnvelopeFile, &nHeaderSize);
    if (VOMU_OK != nResult) return nResult;
    uint64_t nTotalEncryptedDataSize = 0;
    nResult = StreamContent(recipient, fpPlainFile, nPlainSize, fpCMSEnvelopeFile, &nTotalEncryptedDataSize);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF((uint64_t)nSM4EncryptedContentSize != nTotalEncryptedDataSize,
                 "Check total SM4 encrypted data size", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "EncryptFileToDerCMSEnvelope - CMS envelope file size:[%lld]\n",
          (long long)nSM4EncryptedContentSize + nHeaderSize);
    return VOMU_OK;
}

int DecryptDerCMSEnvelopeFile(FILE* fpCMSEnvelope, FILE* fpSM2PFXFile, const char* pszPassword,
                              unsigned long fSM2EncEncodedType, FILE* fpPlainFile)
{
    VOMU_FAIL_IF(NULL == fpCMSEnvelope || NULL == fpPlainFile, "check parameters.", VOMU_E_INVALID_ARG);
    morv::SM2KeyFile keyFile;
    int nResult = morv::LoadDecryptionKeyFile(__func__, fpSM2PFXFile, pszPassword, true, keyFile);
    if (VOMU_OK != nResult) return nResult;
    EnvelopeFileFields fields;
    nResult = DecodeEnvelopeFile(fpCMSEnvelope, fields);
    if (VOMU_OK != nResult) return nResult;
    nResult = CheckEnvelopeFields(keyFile, fields.pbyRecipientKeyID.get(), fields.nRecipientKeyIDSize,
                                  fields.pszKeyEncryptionAlgOid.get(),
                                  fields.pszContentEncryptionAlgOid.get());
    if (VOMU_OK != nResult) return nResult;
    morv::SecretArray key;
    nResult = morv::OpenSM2ContentKey(__func__, fields.pbyEncryptedKey.get(),
                                      fields.nEncryptedKeySize, fSM2EncEncodedType,
                                      keyFile.KeyPair().privateKey, fields.nIVSize, key);
    if (VOMU_OK != nResult) return nResult;
    nResult = DecryptFileEnvelopeContent(NID_sm4_cbc, key.Get(), fields.pbyIV.get(), fpCMSEnvelope,
                                         fields.pNode_EncryptedContent.get(), fpPlainFile);
    VOMU_FAIL_IF(VOMU_OK != nResult, "DecryptFileEnvelopeContent", nResult);
    return VOMU_OK;
}
