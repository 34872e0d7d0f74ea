// Digests by hash number, of buffers and of whole files, in the kernel's library context.
#include <cinttypes>
#include <cstring>
#include <new>

#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include "HandOver.h"
#include "HashAlgorithms.h"
#include "Misc.h"
#include "OsslPtr.h"
#include "RSADataSigning.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

using morv::OsslPtr;
using morv::OwnedArray;

namespace {

const char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";
const size_t OID_TEXT_SIZE = 512;

// RFC 8017 appendix A.2.4 (the hashes' WithRSAEncryption identifiers); SHA-1 SignerInfos have
// always carried plain rsaEncryption here, so stored signatures keep it.
const morv::HashAlgorithm kHashAlgorithms[] = {
    {NID_md5, "MD5", "Hash algorithm:MD5", "1.2.840.113549.2.5", "1.2.840.113549.1.1.4", false},
    {NID_sha1, "SHA1", "Hash algorithm:SHA1", "1.3.14.3.2.26", kRsaEncryptionOid, true},
    {NID_sha256, "SHA256", "Hash algorithm:SHA256", "2.16.840.1.101.3.4.2.1",
     "1.2.840.113549.1.1.11", true},
    {NID_sha384, "SHA384", "Hash algorithm:SHA384", "2.16.840.1.101.3.4.2.2",
     "1.2.840.113549.1.1.12", true},
    {NID_sha512, "SHA512", "Hash algorithm:SHA512", "2.16.840.1.101.3.4.2.3",
     "1.2.840.113549.1.1.13", true},
    {NID_ChinaSM3, "SM3", "Hash algorithm:SM3", nullptr, nullptr, false},
};

OwnedArray<char> NewOidText(const char* pszOid)
{
    OwnedArray<char> pszText(new (std::nothrow) char[OID_TEXT_SIZE]());
    if (pszText) strncpy(pszText.get(), pszOid, OID_TEXT_SIZE - 1);
    return pszText;
}

// The two helpers below log their steps under pszFunc, the digest function whose steps they are.
int DigestSize(const char* pszFunc, const EVP_MD* pEvpMD, size_t* pnHashSize)
{
    const int nHashSize = EVP_MD_get_size(pEvpMD);
    VOMU_FAIL_IF_IN(pszFunc, nHashSize <= 0, "EVP_MD_size", VOMU_E_FAIL);
    *pnHashSize = (size_t)nHashSize;
    return VOMU_OK;
}

// Feeds the file to the digest to its end, whatever its size was said to be (procfs files say
// 0; a file that changes while it is read is hashed as read); the counts are 64-bit.
int DigestFileContent(const char* pszFunc, FILE* fpSourceFile, EVP_MD_CTX* pMDCtx)
{
    uint64_t nFileSize = 0;
    int nResult = GetFileSize_Ex(fpSourceFile, &nFileSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetFileSize_Ex", nResult);
    TRACE(TRACE_LEVEL_INFO, "SourceFile size: %" PRIu64, nFileSize);
    OwnedArray<unsigned char> pbyDataBuffer = morv::NewArray<unsigned char>(FILE_PIECE_SIZE);
    VOMU_FAIL_IF_IN(pszFunc, !pbyDataBuffer, "New memory", VOMU_E_FAIL);
    for (size_t nBytesOfRead = FILE_PIECE_SIZE; FILE_PIECE_SIZE == nBytesOfRead;) {
        nBytesOfRead = fread(pbyDataBuffer.get(), 1, FILE_PIECE_SIZE, fpSourceFile);
        // Per-piece steps log only their failure: a large file would flood the log.
        if (ferror(fpSourceFile)) {
            VOMU_STEP_FAILED_IN(pszFunc, "fread", VOMU_E_READ_FILE, "nBytesOfRead <= 0 || ferror(fpSourceFile)");
            return VOMU_E_READ_FILE;
        }
        if (nBytesOfRead > 0 && 1 != EVP_DigestUpdate(pMDCtx, pbyDataBuffer.get(), nBytesOfRead)) {
            VOMU_STEP_FAILED_OSSL_IN(pszFunc, "EVP_DigestUpdate", VOMU_E_FAIL, "1!= nResult");
            return VOMU_E_FAIL;
        }
    }
    return VOMU_OK;
}

}  // namespace

namespace morv {

const HashAlgorithm* FindHashAlgorithm(int nHashNID)
{
    for (const HashAlgorithm& algorithm : kHashAlgorithms)
        if (algorithm.nNid == nHashNID) return &algorithm;
    return nullptr;
}

}  // namespace morv

int GetEVPMDbyNID(int nHashNID, EVP_MD** ppEvpMD)
{
    VOMU_FAIL_IF(NULL == ppEvpMD, "Check parameter", VOMU_E_INVALID_ARG);
    const morv::HashAlgorithm* pAlgorithm = morv::FindHashAlgorithm(nHashNID);
    if (!pAlgorithm) {
        TRACE(TRACE_LEVEL_INFO, "Unsupported hash algorithm NID:%d", nHashNID);
        VOMU_FAIL_IF(true, "Invalid hash NID", VOMU_E_BAD_HASH_ALG);
    }
    TRACE(TRACE_LEVEL_INFO, "%s", pAlgorithm->pszLogLine);
    // Fetched once per kernel start (SM3 is our SM3); a reference of the caller's own. Null
    // while the kernel is stopped: never a fetch from the process's default context.
    EVP_MD* pEvpMD = const_cast<EVP_MD*>(smk::KernelDigest(nHashNID));
    if (pEvpMD && 1 != EVP_MD_up_ref(pEvpMD)) pEvpMD = NULL;
    VOMU_FAIL_IF_OSSL(NULL == pEvpMD, "EVP_MD_fetch", VOMU_E_FAIL);
    *ppEvpMD = pEvpMD;
    return VOMU_OK;
}

int GetAlgOIDbyHashNID(int nHashNID, char** ppszDigestAlg, char** ppszDigestEncryptionAlg,
                       bool bExact)
{
    VOMU_FAIL_IF(NULL == ppszDigestAlg || NULL == ppszDigestEncryptionAlg, "Check parameter",
                 VOMU_E_INVALID_ARG);
    const morv::HashAlgorithm* pAlgorithm = morv::FindHashAlgorithm(nHashNID);
    if (!pAlgorithm || !pAlgorithm->pszDigestAlgOid) {
        TRACE(TRACE_LEVEL_ERROR, "The algorithm is not supported");
        return VOMU_E_BAD_HASH_ALG;
    }
    OwnedArray<char> pszDigestAlg = NewOidText(pAlgorithm->pszDigestAlgOid);
    VOMU_FAIL_IF(!pszDigestAlg, "New memory", VOMU_E_FAIL);
    OwnedArray<char> pszDigestEncryptionAlg = NewOidText(pAlgorithm->pszExactDigestEncAlgOid);
    VOMU_FAIL_IF(!pszDigestEncryptionAlg, "New memory", VOMU_E_FAIL);
    if (!bExact) {
        TRACE(TRACE_LEVEL_INFO, "User defines unaccurate digest encryption algorithm");
        strncpy(pszDigestEncryptionAlg.get(), kRsaEncryptionOid, OID_TEXT_SIZE - 1);
    }
    morv::HandOver(pszDigestAlg, ppszDigestAlg);
    morv::HandOver(pszDigestEncryptionAlg, ppszDigestEncryptionAlg);
    return VOMU_OK;
}

int CalculateDataHash(const unsigned char* pbyData, int nDataSize, int nHashNID,
                      unsigned char** ppbyHashValue, int* pnHashSize)
{
    VOMU_FAIL_IF(NULL == ppbyHashValue || NULL == pnHashSize || nDataSize < 0 ||
                     (NULL == pbyData && 0 != nDataSize),
                 "Check parameter", VOMU_E_INVALID_ARG);
    EVP_MD* pFetched = NULL;
    int nResult = GetEVPMDbyNID(nHashNID, &pFetched);
    VOMU_FAIL_IF(VOMU_OK != nResult, "GetEVPMDbyNID", nResult);
    OsslPtr<EVP_MD> pEvpMD(pFetched);
    size_t nHashSize = 0;
    nResult = DigestSize(__func__, pEvpMD.get(), &nHashSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyHashValue(new (std::nothrow) unsigned char[nHashSize]());
    VOMU_FAIL_IF(!pbyHashValue, "New memory", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "Source data size : %d", nDataSize);
    static const unsigned char s_byEmpty = 0;
    unsigned int nDigestSize = 0;
    nResult = EVP_Digest(pbyData ? pbyData : &s_byEmpty, (size_t)nDataSize, pbyHashValue.get(),
                         &nDigestSize, pEvpMD.get(), NULL);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_Digest", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "Hash value size : %u", nDigestSize);
    return morv::HandOver(pbyHashValue, ppbyHashValue, pnHashSize, nDigestSize);
}

int CalculateFileHash(FILE* fpSourceFile, int nHashNID, unsigned char** ppbyHashValue,
                      int* pnHashSize)
{
    VOMU_FAIL_IF(NULL == ppbyHashValue || NULL == pnHashSize, "Check parameter",
                 VOMU_E_INVALID_ARG);
    EVP_MD* pFetched = NULL;
    int nResult = GetEVPMDbyNID(nHashNID, &pFetched);
    VOMU_FAIL_IF(VOMU_OK != nResult, "GetEVPMDbyNID", nResult);
    OsslPtr<EVP_MD> pEvpMD(pFetched);
    OsslPtr<EVP_MD_CTX> pMDCtx(EVP_MD_CTX_new());
    VOMU_FAIL_IF_OSSL(NULL == pMDCtx, "EVP_MD_CTX_create", VOMU_E_FAIL);
    nResult = EVP_DigestInit_ex(pMDCtx.get(), pEvpMD.get(), NULL);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_DigestInit_ex", VOMU_E_FAIL);
    nResult = DigestFileContent(__func__, fpSourceFile, pMDCtx.get());
    if (VOMU_OK != nResult) return nResult;
    size_t nHashSize = 0;
    nResult = DigestSize(__func__, pEvpMD.get(), &nHashSize);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyHashValue(new (std::nothrow) unsigned char[nHashSize]());
    VOMU_FAIL_IF(!pbyHashValue, "New memory", VOMU_E_FAIL);
    unsigned int nDigestSize = 0;
    nResult = EVP_DigestFinal_ex(pMDCtx.get(), pbyHashValue.get(), &nDigestSize);
    VOMU_FAIL_IF_OSSL(1 != nResult, "EVP_DigestFinal_ex", VOMU_E_FAIL);
    return morv::HandOver(pbyHashValue, ppbyHashValue, pnHashSize, nDigestSize);
}
