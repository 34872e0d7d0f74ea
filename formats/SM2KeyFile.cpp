// The SM2 key file (SM2_PFX): its item types, writing one, and opening one with its password,
// whose key is accepted only when it belongs to the certificate inside.
#include "SMFileCertOperations.h"

#include <openssl/asn1t.h>
#include <openssl/crypto.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "FormatNodes.h"
#include "HandOver.h"
#include "KernelHold.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM2KeyCheck.h"
#include "SecretArray.h"
#include "VomuStep.h"
#include "smkernel/DataEncryption.h"
#include "vomu_result.h"

using morv::NewArray;
using morv::OsslPtr;
using morv::OwnedArray;

namespace {

// clang-format off
ASN1_SEQUENCE(SM2_PRIVATE_DATA) = {
    ASN1_SIMPLE(SM2_PRIVATE_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(SM2_PRIVATE_DATA, dataEncryptedAlg, ASN1_OBJECT),
    ASN1_SIMPLE(SM2_PRIVATE_DATA, encryptedSM2PrivateKey, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2_PRIVATE_DATA)

ASN1_SEQUENCE(SM2_PUBLIC_DATA) = {
    ASN1_SIMPLE(SM2_PUBLIC_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(SM2_PUBLIC_DATA, SM2Certificate, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2_PUBLIC_DATA)

ASN1_SEQUENCE(SM2_PFX) = {
    ASN1_SIMPLE(SM2_PFX, version, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_PFX, privateData, SM2_PRIVATE_DATA),
    ASN1_SIMPLE(SM2_PFX, publicData, SM2_PUBLIC_DATA),
} ASN1_SEQUENCE_END(SM2_PFX)
// clang-format on

}  // namespace

namespace morv {
MORV_OSSL_DELETER(SM2_PFX, SM2_PFX_free);
MORV_OSSL_DELETER(SM2_PRIVATE_DATA, SM2_PRIVATE_DATA_free);
MORV_OSSL_DELETER(SM2_PUBLIC_DATA, SM2_PUBLIC_DATA_free);
}  // namespace morv

VOMU_BEGIN_C
IMPLEMENT_ASN1_FUNCTIONS(SM2_PFX)
IMPLEMENT_ASN1_FUNCTIONS(SM2_PRIVATE_DATA)
IMPLEMENT_ASN1_FUNCTIONS(SM2_PUBLIC_DATA)
VOMU_END_C

namespace {

const char* const OID_DATA = "1.2.156.10197.6.1.4.2.1";
const char* const OID_SM4_CBC = "1.2.156.10197.1.104";
const long SM2PFX_VERSION = 1;

// What a key file yields once its password and key have been checked.
struct OpenedSM2PFX {
    morv::SecretBytes<SM2_FIELD_SIZE> d;
    OwnedArray<unsigned char> pbyCert;
    int nCertLen = 0;
    OwnedArray<unsigned char> pbyX, pbyY;
};

// Numeric dotted text read strictly: OBJ_txt2obj alone takes "1..2" for 1.0.2 and "1.2.3 "
// for 1.2.3, which would write an identifier the caller never named.
ASN1_OBJECT* NewObject(const char* pszOID)
{
    unsigned char* pbyDER = NULL;
    int nDERSize = 0;
    if (VOMU_OK != Encode_ObjectIdentifier(pszOID, &pbyDER, &nDERSize, true)) return NULL;
    OwnedArray<unsigned char> pDER(pbyDER);
    const unsigned char* pbyIn = pDER.get();
    return d2i_ASN1_OBJECT(NULL, &pbyIn, nDERSize);
}

// A new OCTET STRING holding a copy of the bytes, for the builders.
ASN1_OCTET_STRING* NewOctetString(const unsigned char* pbyData, unsigned int nLen, int* pnResult)
{
    OsslPtr<ASN1_OCTET_STRING> pString(ASN1_OCTET_STRING_new());
    *pnResult = pString ? ASN1_OCTET_STRING_set(pString.get(), pbyData, (int)nLen) : 0;
    return pString.release();
}

// Replaces a field the item's new function filled with an empty value.
template <typename T, typename Free>
void SetField(T*& pField, T* pValue, Free pfnFree)
{
    pfnFree(pField);
    pField = pValue;
}

OwnedArray<unsigned char> CopyOctets(const ASN1_OCTET_STRING* pString, int* pnLen)
{
    *pnLen = ASN1_STRING_length(pString);
    OwnedArray<unsigned char> pbyCopy = NewArray<unsigned char>((size_t)*pnLen);
    if (pbyCopy && *pnLen > 0)
        memcpy(pbyCopy.get(), ASN1_STRING_get0_data(pString), (size_t)*pnLen);
    return pbyCopy;
}

// The helpers below log their steps under pszFunc, the key-file function whose steps they are.
int BuildSM2PFX(const char* pszFunc, unsigned char* pbyCert, int nCertLen, unsigned char* pbyPrivateKey,
                int nPrivateKeyLen, const char* pszPassword, OsslPtr<SM2_PFX>& pstSM2PFX)
{
    SM2_PUBLIC_DATA* pstPublicData = NULL;
    int nResult = CreateSM2PublicData(OID_DATA, pbyCert, (unsigned int)nCertLen, &pstPublicData);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "CreateSM2PublicData", nResult);
    OsslPtr<SM2_PUBLIC_DATA> pPublicData(pstPublicData);
    unsigned char* pbyEncryptedKey = NULL;
    int nEncryptedKeyLen = 0;
    nResult = SM4EncryptByPin(pbyPrivateKey, nPrivateKeyLen, pszPassword, &pbyEncryptedKey,
                              &nEncryptedKeyLen);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "SM4EncryptByPin", nResult);
    OwnedArray<unsigned char> pEncryptedKey(pbyEncryptedKey);
    SM2_PRIVATE_DATA* pstPrivateData = NULL;
    nResult = CreateSM2PrivateData(OID_DATA, OID_SM4_CBC, pEncryptedKey.get(),
                                   (unsigned int)nEncryptedKeyLen, &pstPrivateData);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "CreateSM2PrivateData", nResult);
    OsslPtr<SM2_PRIVATE_DATA> pPrivateData(pstPrivateData);
    pstPublicData = pPublicData.release();
    pstPrivateData = pPrivateData.release();
    SM2_PFX* pstNew = NULL;
    nResult = CreateSM2PFX(SM2PFX_VERSION, pstPrivateData, pstPublicData, &pstNew);
    pPublicData.reset(pstPublicData);  // null once the SM2_PFX took them
    pPrivateData.reset(pstPrivateData);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "CreateSM2PFX", nResult);
    pstSM2PFX.reset(pstNew);
    return VOMU_OK;
}

// Padding alone does not prove the password (a wrong one passes it about once in 256 tries),
// so the plaintext must also be a scalar of the right size.
int DecryptPrivateKey(const char* pszFunc, const unsigned char* pbyEncryptedKey, int nEncryptedKeyLen,
                      const char* pszPassword, unsigned char abyD[SM2_FIELD_SIZE])
{
    unsigned char* pbyPlain = NULL;
    int nPlainSize = 0;
    int nResult = SM4DecryptByPin(pbyEncryptedKey, nEncryptedKeyLen, pszPassword, &pbyPlain,
                                  &nPlainSize);
    morv::SecretArray plain;
    plain.Adopt(pbyPlain, nPlainSize > 0 ? (size_t)nPlainSize : 0);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "SM4DecryptByPin", VOMU_E_SM2PFX_PASSWORD);
    VOMU_FAIL_IF_IN(pszFunc, nPlainSize < 1 || nPlainSize > SM2_FIELD_SIZE,
                    "Check private key length", VOMU_E_SM2PFX_PASSWORD);
    memset(abyD, 0, SM2_FIELD_SIZE);
    memcpy(abyD + SM2_FIELD_SIZE - nPlainSize, plain.Get(), (size_t)nPlainSize);
    return VOMU_OK;
}

// Parse, decrypt, and accept the key only when it belongs to the certificate.
int OpenSM2PFX(const char* pszFunc, unsigned char* pbyDER, int nDERLen, const char* pszPassword,
               OpenedSM2PFX& opened)
{
    unsigned char *pbyEncryptedKey = NULL, *pbyCert = NULL;
    int nEncryptedKeyLen = 0;
    int nResult = ParseSM2PFX(pbyDER, nDERLen, &pbyEncryptedKey, &nEncryptedKeyLen, &pbyCert,
                              &opened.nCertLen);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ParseSM2PFX", nResult);
    OwnedArray<unsigned char> pEncryptedKey(pbyEncryptedKey);
    opened.pbyCert.reset(pbyCert);
    nResult = DecryptPrivateKey(pszFunc, pEncryptedKey.get(), nEncryptedKeyLen, pszPassword,
                                opened.d.aby);
    if (VOMU_OK != nResult) return nResult;
    unsigned char *pbyX = NULL, *pbyY = NULL;
    int nXLen = 0, nYLen = 0;
    nResult = GetPublicKeyXYFromSM2Cert(opened.pbyCert.get(), opened.nCertLen, &pbyX, &nXLen, &pbyY,
                                        &nYLen);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetPublicKeyXYFromSM2Cert", nResult);
    opened.pbyX.reset(pbyX);
    opened.pbyY.reset(pbyY);
    const bool bKeyMatches = 1 == _SM2_CheckKeyPair(opened.d.aby, pbyX, pbyY);
    VOMU_FAIL_IF_IN(pszFunc, !bKeyMatches, "Check private key against certificate",
                    VOMU_E_SM2PFX_PASSWORD);
    return VOMU_OK;
}

OwnedArray<unsigned char> CopyOfKey(const unsigned char abyD[SM2_FIELD_SIZE])
{
    OwnedArray<unsigned char> pbyPrivateKey = NewArray<unsigned char>(SM2_FIELD_SIZE);
    if (pbyPrivateKey) memcpy(pbyPrivateKey.get(), abyD, SM2_FIELD_SIZE);
    return pbyPrivateKey;
}

}  // namespace

int CreateSM2PrivateData(const char* pszDataID, const char* pszDataEncryptedAlg,
                         unsigned char* pbyEncryptedKey, unsigned int nEncryptedKeyLen,
                         SM2_PRIVATE_DATA_st** ppstOut)
{
    VOMU_FAIL_IF(NULL == pszDataID || NULL == pszDataEncryptedAlg || NULL == ppstOut ||
                     (NULL == pbyEncryptedKey && 0 != nEncryptedKeyLen) ||
                     nEncryptedKeyLen > INT_MAX,
                 "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<SM2_PRIVATE_DATA> pstPrivateData(SM2_PRIVATE_DATA_new());
    VOMU_FAIL_IF_OSSL(NULL == pstPrivateData, "SM2_PRIVATE_DATA_new", VOMU_E_FAIL);
    ASN1_OBJECT* pstDataID = NewObject(pszDataID);
    VOMU_FAIL_IF_OSSL(NULL == pstDataID, "OBJ_txt2obj", VOMU_E_FAIL);
    SetField(pstPrivateData->dataID, pstDataID, ASN1_OBJECT_free);
    ASN1_OBJECT* pstDataEncryptedAlg = NewObject(pszDataEncryptedAlg);
    VOMU_FAIL_IF_OSSL(NULL == pstDataEncryptedAlg, "OBJ_txt2obj", VOMU_E_FAIL);
    SetField(pstPrivateData->dataEncryptedAlg, pstDataEncryptedAlg, ASN1_OBJECT_free);
    int nResult = 0;
    ASN1_OCTET_STRING* pstEncryptedSM2PrivateKey =
        NewOctetString(pbyEncryptedKey, nEncryptedKeyLen, &nResult);
    VOMU_FAIL_IF_OSSL(NULL == pstEncryptedSM2PrivateKey, "ASN1_OCTET_STRING_new", VOMU_E_FAIL);
    SetField(pstPrivateData->encryptedSM2PrivateKey, pstEncryptedSM2PrivateKey,
             ASN1_OCTET_STRING_free);
    VOMU_FAIL_IF_OSSL(1 != nResult, "ASN1_OCTET_STRING_set", VOMU_E_FAIL);
    *ppstOut = pstPrivateData.release();
    return VOMU_OK;
}

int CreateSM2PublicData(const char* pszDataID, unsigned char* pbyCert, unsigned int nCertLen,
                        SM2_PUBLIC_DATA_st** ppstOut)
{
    VOMU_FAIL_IF(NULL == pszDataID || NULL == ppstOut || (NULL == pbyCert && 0 != nCertLen) ||
                     nCertLen > INT_MAX,
                 "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<SM2_PUBLIC_DATA> pstPublicData(SM2_PUBLIC_DATA_new());
    VOMU_FAIL_IF_OSSL(NULL == pstPublicData, "SM2_PUBLIC_DATA_new", VOMU_E_FAIL);
    ASN1_OBJECT* pstDataID = NewObject(pszDataID);
    VOMU_FAIL_IF_OSSL(NULL == pstDataID, "OBJ_txt2obj", VOMU_E_FAIL);
    SetField(pstPublicData->dataID, pstDataID, ASN1_OBJECT_free);
    int nResult = 0;
    ASN1_OCTET_STRING* pstSM2Certificate = NewOctetString(pbyCert, nCertLen, &nResult);
    VOMU_FAIL_IF_OSSL(NULL == pstSM2Certificate, "ASN1_OCTET_STRING_new", VOMU_E_FAIL);
    SetField(pstPublicData->SM2Certificate, pstSM2Certificate, ASN1_OCTET_STRING_free);
    VOMU_FAIL_IF_OSSL(1 != nResult, "ASN1_OCTET_STRING_set", VOMU_E_FAIL);
    *ppstOut = pstPublicData.release();
    return VOMU_OK;
}

int CreateSM2PFX(long nVersion, SM2_PRIVATE_DATA_st*& pstPrivateData,
                 SM2_PUBLIC_DATA_st*& pstPublicData, SM2_PFX_st** ppstOut)
{
    VOMU_FAIL_IF(NULL == pstPrivateData || NULL == pstPublicData || NULL == ppstOut,
                 "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<SM2_PFX> pstSM2PFX(SM2_PFX_new());
    VOMU_FAIL_IF_OSSL(NULL == pstSM2PFX, "SM2_PFX_new", VOMU_E_FAIL);
    OsslPtr<ASN1_INTEGER> pstVersion(ASN1_INTEGER_new());
    VOMU_FAIL_IF_OSSL(NULL == pstVersion, "ASN1_INTEGER_new", VOMU_E_FAIL);
    const int nResult = ASN1_INTEGER_set(pstVersion.get(), nVersion);
    VOMU_FAIL_IF_OSSL(1 != nResult, "ASN1_INTEGER_set", VOMU_E_FAIL);
    SetField(pstSM2PFX->version, pstVersion.release(), ASN1_INTEGER_free);
    SetField(pstSM2PFX->privateData, pstPrivateData, SM2_PRIVATE_DATA_free);
    SetField(pstSM2PFX->publicData, pstPublicData, SM2_PUBLIC_DATA_free);
    pstPrivateData = NULL;
    pstPublicData = NULL;
    *ppstOut = pstSM2PFX.release();
    return VOMU_OK;
}

int EncapsulateSM2PFX(unsigned char* pbyCert, int nCertLen, unsigned char* pbyPrivateKey,
                      int nPrivateKeyLen, char* pszPassword, unsigned char** ppbyDER, int* pnDERLen)
{
    VOMU_FAIL_IF(NULL == pbyCert || nCertLen <= 0 || NULL == pbyPrivateKey || nPrivateKeyLen <= 0 ||
                     NULL == pszPassword || NULL == ppbyDER || NULL == pnDERLen,
                 "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<SM2_PFX> pstSM2PFX;
    int nResult =
        BuildSM2PFX(__func__, pbyCert, nCertLen, pbyPrivateKey, nPrivateKeyLen, pszPassword, pstSM2PFX);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbySM2PFXData = NULL;
    const int nSM2PFXDataSize = i2d_SM2_PFX(pstSM2PFX.get(), &pbySM2PFXData);
    VOMU_FAIL_IF_OSSL(nSM2PFXDataSize <= 0, "i2d_SM2_PFX", VOMU_E_FAIL);
    return morv::HandOverLibraryBuffer(__func__, pbySM2PFXData, nSM2PFXDataSize, ppbyDER, pnDERLen);
}

int ParseSM2PFX(unsigned char* pbyDER, int nDERLen, unsigned char** ppbyEncryptedKey,
                int* pnEncryptedKeyLen, unsigned char** ppbyCert, int* pnCertLen)
{
    VOMU_FAIL_IF((NULL == ppbyEncryptedKey) != (NULL == pnEncryptedKeyLen) ||
                     (NULL == ppbyCert) != (NULL == pnCertLen),
                 "Check parameter", VOMU_E_INVALID_ARG);
    const unsigned char* pbyIn = pbyDER;
    OsslPtr<SM2_PFX> pstSM2PFX(pbyDER && nDERLen > 0 ? d2i_SM2_PFX(NULL, &pbyIn, nDERLen) : NULL);
    VOMU_FAIL_IF_OSSL(NULL == pstSM2PFX, "d2i_SM2_PFX", VOMU_E_SM2PFX_FORMAT);
    OwnedArray<unsigned char> pbyEncryptedPrivateKey, pbyPublicCertData;
    int nEncryptedKeyLen = 0, nCertLen = 0;
    if (ppbyEncryptedKey) {
        pbyEncryptedPrivateKey =
            CopyOctets(pstSM2PFX->privateData->encryptedSM2PrivateKey, &nEncryptedKeyLen);
        VOMU_FAIL_IF(!pbyEncryptedPrivateKey, "New memory", VOMU_E_FAIL);
    }
    if (ppbyCert) {
        pbyPublicCertData = CopyOctets(pstSM2PFX->publicData->SM2Certificate, &nCertLen);
        VOMU_FAIL_IF(!pbyPublicCertData, "New memory", VOMU_E_FAIL);
    }
    if (ppbyEncryptedKey)
        morv::HandOver(pbyEncryptedPrivateKey, ppbyEncryptedKey, pnEncryptedKeyLen,
                       (size_t)nEncryptedKeyLen);
    if (ppbyCert) morv::HandOver(pbyPublicCertData, ppbyCert, pnCertLen, (size_t)nCertLen);
    return VOMU_OK;
}

int DecryptKeyPairFromSM2PFX(unsigned char* pbyDER, int nDERLen, char* pszPassword,
                             SM2_KEY_PAIR_st* pstKeyPair)
{
    const smk::KernelHold kernelHold;  // the key check runs in kctx when the kernel runs
    VOMU_FAIL_IF(NULL == pszPassword || NULL == pstKeyPair, "Check parameter", VOMU_E_INVALID_ARG);
    OpenedSM2PFX opened;
    int nResult = OpenSM2PFX(__func__, pbyDER, nDERLen, pszPassword, opened);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyPrivateKey = CopyOfKey(opened.d.aby);
    VOMU_FAIL_IF(!pbyPrivateKey, "New memory", VOMU_E_FAIL);
    morv::HandOver(pbyPrivateKey, &pstKeyPair->privateKey, &pstKeyPair->privateKeyLen,
                   SM2_FIELD_SIZE);
    morv::HandOver(opened.pbyX, &pstKeyPair->publicKeyX, &pstKeyPair->publicKeyXLen,
                   SM2_FIELD_SIZE);
    return morv::HandOver(opened.pbyY, &pstKeyPair->publicKeyY, &pstKeyPair->publicKeyYLen,
                   SM2_FIELD_SIZE);
}

// The certificate is read too: without its point the key could not be checked.
int DecryptSM2PFX(unsigned char* pbyDER, int nDERLen, char* pszPassword,
                  unsigned char** ppbyPrivateKey, int* pnPrivateKeyLen, unsigned char** ppbyCert,
                  int* pnCertLen)
{
    const smk::KernelHold kernelHold;  // the key check runs in kctx when the kernel runs
    VOMU_FAIL_IF(NULL == pszPassword || NULL == ppbyPrivateKey || NULL == pnPrivateKeyLen ||
                     NULL == ppbyCert || NULL == pnCertLen,
                 "Check parameter", VOMU_E_INVALID_ARG);
    OpenedSM2PFX opened;
    int nResult = OpenSM2PFX(__func__, pbyDER, nDERLen, pszPassword, opened);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<unsigned char> pbyPrivateKey = CopyOfKey(opened.d.aby);
    VOMU_FAIL_IF(!pbyPrivateKey, "New memory", VOMU_E_FAIL);
    morv::HandOver(pbyPrivateKey, ppbyPrivateKey, pnPrivateKeyLen, SM2_FIELD_SIZE);
    return morv::HandOver(opened.pbyCert, ppbyCert, pnCertLen, (size_t)opened.nCertLen);
}

void CleanupSM2KeyPair(SM2_KEY_PAIR_st* pstKeyPair)
{
    if (NULL == pstKeyPair) return;
    if (pstKeyPair->privateKey && pstKeyPair->privateKeyLen > 0)
        OPENSSL_cleanse(pstKeyPair->privateKey, (size_t)pstKeyPair->privateKeyLen);
    delete[] pstKeyPair->privateKey;
    delete[] pstKeyPair->publicKeyX;
    delete[] pstKeyPair->publicKeyY;
    pstKeyPair->privateKey = NULL;
    pstKeyPair->publicKeyX = NULL;
    pstKeyPair->publicKeyY = NULL;
}
