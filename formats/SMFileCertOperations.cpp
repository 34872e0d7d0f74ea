#include "SMFileCertOperations.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "CMSEnvelopeOperations.h"
#include "DataEncryption.h"
#include "FormatNodes.h"
#include "HandOver.h"
#include "OsslPtr.h"
#include "SecretArray.h"
#include "SM2.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "VomuStep.h"
#include "vomu_result.h"

using morv::NewArray;
using morv::OsslPtr;
using morv::OwnedArray;

// --- certificate fields and ECPrivateKey ---
namespace {

using NodePtr = std::unique_ptr<NodeEx>;

// An encoded public point of any curve OpenSSL knows (571 bits: 1 + 2 * 72 octets) fits.
const size_t MAX_ENCODED_POINT_SIZE = 256;

// PEM first; when that yields nothing, DER from the start of the same bytes. Both decode into
// the kernel context, so signatures checked on the certificate reach our SM2.
int LoadCertificate(const unsigned char* pbyCert, int nCertLen, OsslPtr<X509>& pX509Cert)
{
    VOMU_FAIL_IF(NULL == pbyCert || nCertLen <= 0, "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<BIO> pBioCert(BIO_new_mem_buf(pbyCert, nCertLen));
    VOMU_FAIL_IF_OSSL(NULL == pBioCert, "BIO_new_mem_buf", VOMU_E_FAIL);
    // A DER certificate is no PEM text: that miss is expected and stays off the error queue.
    ERR_set_mark();
    pX509Cert.reset(smk::PemReadX509(pBioCert.get()));
    ERR_pop_to_mark();
    if (!pX509Cert) {
        const unsigned char* pbyIn = pbyCert;
        pX509Cert.reset(smk::D2iX509(&pbyIn, nCertLen));
    }
    VOMU_FAIL_IF_OSSL(NULL == pX509Cert, "d2i_X509_bio", VOMU_E_FAIL);
    return VOMU_OK;
}

// The named curve of an elliptic-curve key (EC or SM2), built in the kernel context.
OsslPtr<EC_GROUP> GroupOfKey(const EVP_PKEY* pKey)
{
    if (!EVP_PKEY_is_a(pKey, "EC") && !EVP_PKEY_is_a(pKey, "SM2")) return nullptr;
    char szGroupName[80] = {0};
    if (1 != EVP_PKEY_get_group_name(pKey, szGroupName, sizeof szGroupName, NULL)) return nullptr;
    int nCurveNid = OBJ_txt2nid(szGroupName);
    if (NID_undef == nCurveNid) nCurveNid = EC_curve_nist2nid(szGroupName);
    if (NID_undef == nCurveNid) return nullptr;
    return OsslPtr<EC_GROUP>(EC_GROUP_new_by_curve_name_ex(smk::LibCtx(), NULL, nCurveNid));
}

// The key's public point, whatever form (compressed or not) the certificate carries it in.
OsslPtr<EC_POINT> PublicPointOfKey(const EVP_PKEY* pKey, const EC_GROUP* pGroup)
{
    unsigned char abyPoint[MAX_ENCODED_POINT_SIZE];
    size_t nPointSize = 0;
    if (1 != EVP_PKEY_get_octet_string_param(pKey, OSSL_PKEY_PARAM_PUB_KEY, abyPoint,
                                             sizeof abyPoint, &nPointSize))
        return nullptr;
    OsslPtr<EC_POINT> pPoint(EC_POINT_new(pGroup));
    if (!pPoint || 1 != EC_POINT_oct2point(pGroup, pPoint.get(), abyPoint, nPointSize, NULL))
        return nullptr;
    return pPoint;
}

int ReadPublicXY(const EVP_PKEY* pEvpPublickey, BIGNUM* pBN_pubx, BIGNUM* pBN_puby)
{
    OsslPtr<EC_GROUP> pECGroup = GroupOfKey(pEvpPublickey);
    VOMU_FAIL_IF_OSSL(NULL == pECGroup, "EC_KEY_get0_group", VOMU_E_FAIL);
    OsslPtr<EC_POINT> pECPubKeyPoint = PublicPointOfKey(pEvpPublickey, pECGroup.get());
    VOMU_FAIL_IF_OSSL(NULL == pECPubKeyPoint, "EC_KEY_get0_public_key", VOMU_E_FAIL);
    int nResult = EC_POINT_get_affine_coordinates(pECGroup.get(), pECPubKeyPoint.get(), pBN_pubx,
                                                  pBN_puby, NULL);
    VOMU_FAIL_IF_OSSL(0 == nResult, "EC_POINT_get_affine_coordinates_GFp", VOMU_E_FAIL);
    return VOMU_OK;
}

// Copies an encoding made by the crypto library into a new[] array for the caller and
// releases the library's buffer.
int HandOverLibraryBuffer(unsigned char* pbyEncoded, int nEncodedSize, unsigned char** ppbyOut,
                          int* pnOutLen)
{
    morv::OpensslBytes pLibraryBuffer(pbyEncoded);
    OwnedArray<unsigned char> pbyCopy = morv::CopyToArray(pbyEncoded, (size_t)nEncodedSize);
    VOMU_FAIL_IF(!pbyCopy, "New memory", VOMU_E_FAIL);
    return morv::HandOver(pbyCopy, ppbyOut, pnOutLen, (size_t)nEncodedSize);
}

int NewVersionNode(int nVersion, NodePtr& pNode_version)
{
    const unsigned char byVersion = (unsigned char)(nVersion & 0xFF);
    pNode_version.reset(morv::NewLeafNodeEx(0x02, &byVersion, 1));
    VOMU_FAIL_IF(!pNode_version, "new NodeEx(version)", VOMU_E_FAIL);
    return VOMU_OK;
}

// The scalar is stored at its given width: only a set top bit gets the 00 that keeps the
// INTEGER positive (X.690 8.3.2).
int NewPrivateKeyNode(const unsigned char* pbyD, int nDLen, NodePtr& pNode_privateKey)
{
    const size_t nPad = (pbyD[0] & 0x80) ? 1 : 0;
    OwnedArray<unsigned char> pbyPrivateKeyBNData = NewArray<unsigned char>(nPad + nDLen);
    VOMU_FAIL_IF(!pbyPrivateKeyBNData, "New memory", VOMU_E_FAIL);
    pbyPrivateKeyBNData[0] = 0x00;
    memcpy(pbyPrivateKeyBNData.get() + nPad, pbyD, (size_t)nDLen);
    pNode_privateKey.reset(morv::NewLeafNodeEx(0x02, pbyPrivateKeyBNData.get(), nPad + nDLen));
    VOMU_FAIL_IF(!pNode_privateKey, "new NodeEx(privateKey)", VOMU_E_FAIL);
    return VOMU_OK;
}

// [0] { OBJECT IDENTIFIER curve }
int NewCurveNode(const char* pszCurveOID, NodePtr& pNode_contex0)
{
    NodeEx* pNode_curve = NULL;
    int nResult = ConstructNode_ObjectIdentifier(pszCurveOID, &pNode_curve);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ObjectIdentifier", nResult);
    NodePtr pCurve(pNode_curve);
    pNode_contex0.reset(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_contex0, "new NodeEx(contex0)", VOMU_E_FAIL);
    pNode_contex0->Tag = 0xA0;
    return morv::AdoptChild(pNode_contex0.get(), pCurve.release(), "AddChild(curve)");
}

// [1] { BIT STRING 00 (no unused bits) 04 (uncompressed, SEC 1 2.3.3) x y }
int NewPublicKeyNode(const unsigned char* pbyX, int nXLen, const unsigned char* pbyY, int nYLen,
                     NodePtr& pNode_contex1)
{
    const size_t nBitStringSize = 2 + (size_t)nXLen + (size_t)nYLen;
    OwnedArray<unsigned char> pbyBitStringValue = NewArray<unsigned char>(nBitStringSize);
    VOMU_FAIL_IF(!pbyBitStringValue, "New memory", VOMU_E_FAIL);
    pbyBitStringValue[0] = 0x00;
    pbyBitStringValue[1] = 0x04;
    memcpy(pbyBitStringValue.get() + 2, pbyX, (size_t)nXLen);
    memcpy(pbyBitStringValue.get() + 2 + nXLen, pbyY, (size_t)nYLen);
    NodePtr pNode_publicKey(morv::NewLeafNodeEx(0x03, pbyBitStringValue.get(), nBitStringSize));
    VOMU_FAIL_IF(!pNode_publicKey, "new NodeEx(publicKey)", VOMU_E_FAIL);
    pNode_contex1.reset(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_contex1, "new NodeEx(contex1)", VOMU_E_FAIL);
    pNode_contex1->Tag = 0xA1;
    return morv::AdoptChild(pNode_contex1.get(), pNode_publicKey.release(), "AddChild(publicKey)");
}

}  // namespace

int GetPublicKeyXYFromSM2Cert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbyX,
                              int* pnXLen, unsigned char** ppbyY, int* pnYLen)
{
    VOMU_FAIL_IF(NULL == ppbyX || NULL == pnXLen || NULL == ppbyY || NULL == pnYLen,
                 "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<X509> pX509Cert;
    int nResult = LoadCertificate(pbyCert, nCertLen, pX509Cert);
    if (VOMU_OK != nResult) return nResult;
    OsslPtr<EVP_PKEY> pEvpPublickey(X509_get_pubkey(pX509Cert.get()));
    VOMU_FAIL_IF_OSSL(NULL == pEvpPublickey, "X509_get_pubkey", VOMU_E_FAIL);
    OsslPtr<BIGNUM> pBN_pubx(BN_new()), pBN_puby(BN_new());
    VOMU_FAIL_IF(NULL == pBN_pubx || NULL == pBN_puby, "BN_new", VOMU_E_FAIL);
    nResult = ReadPublicXY(pEvpPublickey.get(), pBN_pubx.get(), pBN_puby.get());
    if (VOMU_OK != nResult) return nResult;

    OwnedArray<unsigned char> pbySM2PubKeyX = NewArray<unsigned char>(SM2_FIELD_SIZE);
    VOMU_FAIL_IF(!pbySM2PubKeyX, "New memory", VOMU_E_FAIL);
    OwnedArray<unsigned char> pbySM2PubKeyY = NewArray<unsigned char>(SM2_FIELD_SIZE);
    VOMU_FAIL_IF(!pbySM2PubKeyY, "New memory", VOMU_E_FAIL);
    nResult = _SM2_GetBNBytes(pBN_pubx.get(), pbySM2PubKeyX.get());
    VOMU_FAIL_IF(1 != nResult, "_SM2_GetBNBytes(PubKeyX)", VOMU_E_FAIL);
    nResult = _SM2_GetBNBytes(pBN_puby.get(), pbySM2PubKeyY.get());
    VOMU_FAIL_IF(1 != nResult, "_SM2_GetBNBytes(PubKeyY)", VOMU_E_FAIL);
    morv::HandOver(pbySM2PubKeyX, ppbyX, pnXLen, SM2_FIELD_SIZE);
    return morv::HandOver(pbySM2PubKeyY, ppbyY, pnYLen, SM2_FIELD_SIZE);
}

int GetIssuerFromCert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbyIssuer,
                      int* pnIssuerLen)
{
    VOMU_FAIL_IF(NULL == ppbyIssuer || NULL == pnIssuerLen, "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<X509> pX509Cert;
    int nResult = LoadCertificate(pbyCert, nCertLen, pX509Cert);
    if (VOMU_OK != nResult) return nResult;
    const X509_NAME* pX509IssuerName = X509_get_issuer_name(pX509Cert.get());
    VOMU_FAIL_IF(NULL == pX509IssuerName, "X509_get_issuer_name", VOMU_E_FAIL);
    unsigned char* pbyASN1Issuer = NULL;
    const int nASN1IssuerSize = i2d_X509_NAME(pX509IssuerName, &pbyASN1Issuer);
    VOMU_FAIL_IF_OSSL(nASN1IssuerSize <= 0 || NULL == pbyASN1Issuer, "i2d_X509_NAME", VOMU_E_FAIL);
    return HandOverLibraryBuffer(pbyASN1Issuer, nASN1IssuerSize, ppbyIssuer, pnIssuerLen);
}

int GetSerialNumberFromCert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbySerial,
                            int* pnSerialLen)
{
    VOMU_FAIL_IF(NULL == ppbySerial || NULL == pnSerialLen, "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<X509> pX509Cert;
    int nResult = LoadCertificate(pbyCert, nCertLen, pX509Cert);
    if (VOMU_OK != nResult) return nResult;
    const ASN1_INTEGER* pIntegerSerialNumber = X509_get0_serialNumber(pX509Cert.get());
    VOMU_FAIL_IF(NULL == pIntegerSerialNumber, "X509_get_serialNumber", VOMU_E_FAIL);
    unsigned char* pbyASN1SerialNumber = NULL;
    const int nASN1SerialNumberSize = i2d_ASN1_INTEGER(pIntegerSerialNumber, &pbyASN1SerialNumber);
    VOMU_FAIL_IF_OSSL(nASN1SerialNumberSize <= 0 || NULL == pbyASN1SerialNumber, "i2d_ASN1_INTEGER",
                      VOMU_E_FAIL);
    return HandOverLibraryBuffer(pbyASN1SerialNumber, nASN1SerialNumberSize, ppbySerial,
                                 pnSerialLen);
}

// The library decodes the extension's inner OCTET STRING itself, so long-form lengths and
// damaged values are handled by its DER decoder rather than by counting octets here.
int GetSubjectKeyIDFromCert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbyKeyID,
                            int* pnKeyIDLen)
{
    VOMU_FAIL_IF(NULL == ppbyKeyID || NULL == pnKeyIDLen, "Check parameter", VOMU_E_INVALID_ARG);
    OsslPtr<X509> pX509Cert;
    int nResult = LoadCertificate(pbyCert, nCertLen, pX509Cert);
    if (VOMU_OK != nResult) return nResult;
    const ASN1_OCTET_STRING* pSubjectKeyID = X509_get0_subject_key_id(pX509Cert.get());
    VOMU_FAIL_IF(NULL == pSubjectKeyID, "X509_get0_subject_key_id", VOMU_E_FAIL);
    const int nSubjectKeyIDSize = ASN1_STRING_length(pSubjectKeyID);
    VOMU_FAIL_IF(nSubjectKeyIDSize <= 0, "ASN1_STRING_length", VOMU_E_FAIL);
    OwnedArray<unsigned char> pbySubjectKeyID = NewArray<unsigned char>((size_t)nSubjectKeyIDSize);
    VOMU_FAIL_IF(!pbySubjectKeyID, "New memory", VOMU_E_FAIL);
    memcpy(pbySubjectKeyID.get(), ASN1_STRING_get0_data(pSubjectKeyID), (size_t)nSubjectKeyIDSize);
    return morv::HandOver(pbySubjectKeyID, ppbyKeyID, pnKeyIDLen, (size_t)nSubjectKeyIDSize);
}

int ConstructNode_ECPrivateKey(int nVersion, const char* pszCurveOID, unsigned char* pbyD,
                               int nDLen, unsigned char* pbyX, int nXLen, unsigned char* pbyY,
                               int nYLen, NodeEx** ppNode_ECPrivateKey)
{
    VOMU_FAIL_IF(NULL == pszCurveOID || NULL == pbyD || nDLen <= 0 || NULL == pbyX || nXLen <= 0 ||
                     NULL == pbyY || nYLen <= 0 || NULL == ppNode_ECPrivateKey,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodePtr pNode_version, pNode_privateKey, pNode_contex0, pNode_contex1;
    int nResult = NewVersionNode(nVersion, pNode_version);
    if (VOMU_OK == nResult) nResult = NewPrivateKeyNode(pbyD, nDLen, pNode_privateKey);
    if (VOMU_OK == nResult) nResult = NewCurveNode(pszCurveOID, pNode_contex0);
    if (VOMU_OK == nResult) nResult = NewPublicKeyNode(pbyX, nXLen, pbyY, nYLen, pNode_contex1);
    if (VOMU_OK != nResult) return nResult;

    NodePtr pNode_ECPrivateKey(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF(!pNode_ECPrivateKey, "new NodeEx(ECPrivateKey)", VOMU_E_FAIL);
    pNode_ECPrivateKey->Tag = 0x30;
    // Room for all four first, so no AddChild below can fail halfway.
    VOMU_FAIL_IF(!morv::ReserveChildren(pNode_ECPrivateKey.get(), 4),
                 "Reserve ECPrivateKey children", VOMU_E_FAIL);
    pNode_ECPrivateKey->AddChild(pNode_version.release());
    pNode_ECPrivateKey->AddChild(pNode_privateKey.release());
    pNode_ECPrivateKey->AddChild(pNode_contex0.release());
    pNode_ECPrivateKey->AddChild(pNode_contex1.release());
    *ppNode_ECPrivateKey = pNode_ECPrivateKey.release();
    return VOMU_OK;
}

int EncodeECPrivateKey(int nVersion, const char* pszCurveOID, unsigned char* pbyD, int nDLen,
                       unsigned char* pbyX, int nXLen, unsigned char* pbyY, int nYLen,
                       unsigned char** ppbyDER, int* pnDERLen)
{
    VOMU_FAIL_IF(NULL == ppbyDER || NULL == pnDERLen, "Check parameter", VOMU_E_INVALID_ARG);
    NodeEx* pNode_ECPrivateKey = NULL;
    int nResult = ConstructNode_ECPrivateKey(nVersion, pszCurveOID, pbyD, nDLen, pbyX, nXLen, pbyY,
                                             nYLen, &pNode_ECPrivateKey);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ECPrivateKey", nResult);
    nResult = morv::EncodeTreeAndHandOver(pNode_ECPrivateKey, ppbyDER, pnDERLen);
    VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1ToMemory", nResult);
    return VOMU_OK;
}
// --- end of certificate fields and ECPrivateKey ---

// --- SM2 key file ---
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

int BuildSM2PFX(unsigned char* pbyCert, int nCertLen, unsigned char* pbyPrivateKey,
                int nPrivateKeyLen, const char* pszPassword, OsslPtr<SM2_PFX>& pstSM2PFX)
{
    SM2_PUBLIC_DATA* pstPublicData = NULL;
    int nResult = CreateSM2PublicData(OID_DATA, pbyCert, (unsigned int)nCertLen, &pstPublicData);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CreateSM2PublicData", nResult);
    OsslPtr<SM2_PUBLIC_DATA> pPublicData(pstPublicData);
    unsigned char* pbyEncryptedKey = NULL;
    int nEncryptedKeyLen = 0;
    nResult = SM4EncryptByPin(pbyPrivateKey, nPrivateKeyLen, pszPassword, &pbyEncryptedKey,
                              &nEncryptedKeyLen);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SM4EncryptByPin", nResult);
    OwnedArray<unsigned char> pEncryptedKey(pbyEncryptedKey);
    SM2_PRIVATE_DATA* pstPrivateData = NULL;
    nResult = CreateSM2PrivateData(OID_DATA, OID_SM4_CBC, pEncryptedKey.get(),
                                   (unsigned int)nEncryptedKeyLen, &pstPrivateData);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CreateSM2PrivateData", nResult);
    OsslPtr<SM2_PRIVATE_DATA> pPrivateData(pstPrivateData);
    pstPublicData = pPublicData.release();
    pstPrivateData = pPrivateData.release();
    SM2_PFX* pstNew = NULL;
    nResult = CreateSM2PFX(SM2PFX_VERSION, pstPrivateData, pstPublicData, &pstNew);
    pPublicData.reset(pstPublicData);  // null once the SM2_PFX took them
    pPrivateData.reset(pstPrivateData);
    VOMU_FAIL_IF(VOMU_OK != nResult, "CreateSM2PFX", nResult);
    pstSM2PFX.reset(pstNew);
    return VOMU_OK;
}

// Padding alone does not prove the password (a wrong one passes it about once in 256 tries),
// so the plaintext must also be a scalar of the right size.
int DecryptPrivateKey(const unsigned char* pbyEncryptedKey, int nEncryptedKeyLen,
                      const char* pszPassword, unsigned char abyD[SM2_FIELD_SIZE])
{
    unsigned char* pbyPlain = NULL;
    int nPlainSize = 0;
    int nResult = SM4DecryptByPin(pbyEncryptedKey, nEncryptedKeyLen, pszPassword, &pbyPlain,
                                  &nPlainSize);
    morv::SecretArray plain;
    plain.Adopt(pbyPlain, nPlainSize > 0 ? (size_t)nPlainSize : 0);
    VOMU_FAIL_IF(VOMU_OK != nResult, "SM4DecryptByPin", VOMU_E_SM2PFX_PASSWORD);
    VOMU_FAIL_IF(nPlainSize < 1 || nPlainSize > SM2_FIELD_SIZE, "Check private key length",
                 VOMU_E_SM2PFX_PASSWORD);
    memset(abyD, 0, SM2_FIELD_SIZE);
    memcpy(abyD + SM2_FIELD_SIZE - nPlainSize, plain.Get(), (size_t)nPlainSize);
    return VOMU_OK;
}

// GB/T 32918.1-2016 6.1: a private key lies in [1, n - 2] (1 + d must be invertible).
bool IsPrivateKeyInRange(const BIGNUM* pD, const EC_GROUP* pGroup)
{
    OsslPtr<BIGNUM> pLimit(BN_dup(EC_GROUP_get0_order(pGroup)));
    return pLimit && 1 == BN_sub_word(pLimit.get(), 1) && !BN_is_zero(pD) &&
           BN_cmp(pD, pLimit.get()) < 0;
}

// True when d is a valid SM2 private key and d*G is (x, y).
bool KeyMatchesPoint(const unsigned char abyD[SM2_FIELD_SIZE], const unsigned char* pbyX,
                     const unsigned char* pbyY)
{
    const EC_GROUP* pGroup = smk::SMGroup(NID_prime256v1SM2);
    OsslPtr<BN_CTX> pCtx(BN_CTX_new_ex(smk::LibCtx()));
    OsslPtr<BIGNUM> pD(BN_bin2bn(abyD, SM2_FIELD_SIZE, NULL));
    OsslPtr<BIGNUM> pX(BN_new()), pY(BN_new());
    if (!pGroup || !pCtx || !pD || !pX || !pY) return false;
    if (!IsPrivateKeyInRange(pD.get(), pGroup)) return false;
    OsslPtr<EC_POINT> pPoint(EC_POINT_new(pGroup));
    unsigned char abyX[SM2_FIELD_SIZE], abyY[SM2_FIELD_SIZE];
    return pPoint && 1 == EC_POINT_mul(pGroup, pPoint.get(), pD.get(), NULL, NULL, pCtx.get()) &&
           1 == EC_POINT_get_affine_coordinates(pGroup, pPoint.get(), pX.get(), pY.get(),
                                                pCtx.get()) &&
           1 == _SM2_GetBNBytes(pX.get(), abyX) && 1 == _SM2_GetBNBytes(pY.get(), abyY) &&
           0 == CRYPTO_memcmp(abyX, pbyX, SM2_FIELD_SIZE) &&
           0 == CRYPTO_memcmp(abyY, pbyY, SM2_FIELD_SIZE);
}

// Parse, decrypt, and accept the key only when it belongs to the certificate.
int OpenSM2PFX(unsigned char* pbyDER, int nDERLen, const char* pszPassword, OpenedSM2PFX& opened)
{
    unsigned char *pbyEncryptedKey = NULL, *pbyCert = NULL;
    int nEncryptedKeyLen = 0;
    int nResult = ParseSM2PFX(pbyDER, nDERLen, &pbyEncryptedKey, &nEncryptedKeyLen, &pbyCert,
                              &opened.nCertLen);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ParseSM2PFX", nResult);
    OwnedArray<unsigned char> pEncryptedKey(pbyEncryptedKey);
    opened.pbyCert.reset(pbyCert);
    nResult = DecryptPrivateKey(pEncryptedKey.get(), nEncryptedKeyLen, pszPassword, opened.d.aby);
    if (VOMU_OK != nResult) return nResult;
    unsigned char *pbyX = NULL, *pbyY = NULL;
    int nXLen = 0, nYLen = 0;
    nResult = GetPublicKeyXYFromSM2Cert(opened.pbyCert.get(), opened.nCertLen, &pbyX, &nXLen, &pbyY,
                                        &nYLen);
    VOMU_FAIL_IF(VOMU_OK != nResult, "GetPublicKeyXYFromSM2Cert", nResult);
    opened.pbyX.reset(pbyX);
    opened.pbyY.reset(pbyY);
    const bool bKeyMatches = KeyMatchesPoint(opened.d.aby, pbyX, pbyY);
    VOMU_FAIL_IF(!bKeyMatches, "Check private key against certificate", VOMU_E_SM2PFX_PASSWORD);
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
        BuildSM2PFX(pbyCert, nCertLen, pbyPrivateKey, nPrivateKeyLen, pszPassword, pstSM2PFX);
    if (VOMU_OK != nResult) return nResult;
    unsigned char* pbySM2PFXData = NULL;
    const int nSM2PFXDataSize = i2d_SM2_PFX(pstSM2PFX.get(), &pbySM2PFXData);
    VOMU_FAIL_IF_OSSL(nSM2PFXDataSize <= 0, "i2d_SM2_PFX", VOMU_E_FAIL);
    return HandOverLibraryBuffer(pbySM2PFXData, nSM2PFXDataSize, ppbyDER, pnDERLen);
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
    VOMU_FAIL_IF(NULL == pszPassword || NULL == pstKeyPair, "Check parameter", VOMU_E_INVALID_ARG);
    OpenedSM2PFX opened;
    int nResult = OpenSM2PFX(pbyDER, nDERLen, pszPassword, opened);
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
    VOMU_FAIL_IF(NULL == pszPassword || NULL == ppbyPrivateKey || NULL == pnPrivateKeyLen ||
                     NULL == ppbyCert || NULL == pnCertLen,
                 "Check parameter", VOMU_E_INVALID_ARG);
    OpenedSM2PFX opened;
    int nResult = OpenSM2PFX(pbyDER, nDERLen, pszPassword, opened);
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
// --- end of SM2 key file ---
