// Certificate-field readers (SM2 point, issuer, serial, key identifier); the ECPrivateKey builder.
#include "SMFileCertOperations.h"

#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <new>

#include "CertificateLoader.h"
#include "FormatNodes.h"
#include "HandOver.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SMKernel.h"
#include "VomuStep.h"
#include "vomu_result.h"

using morv::NewArray;
using morv::OsslPtr;
using morv::OwnedArray;

namespace {

using NodePtr = std::unique_ptr<NodeEx>;

const size_t MAX_ENCODED_POINT_SIZE = 256;  // any curve OpenSSL knows: 571 bits, 1 + 2 * 72

// An EC or SM2 key's curve: the kernel's SM2 group (made once), else one built in kctx.
const EC_GROUP* GroupOfKey(const EVP_PKEY* pKey, OsslPtr<EC_GROUP>* pOwned)
{
    if (!EVP_PKEY_is_a(pKey, "EC") && !EVP_PKEY_is_a(pKey, "SM2")) return nullptr;
    char szGroupName[80] = {0};
    if (1 != EVP_PKEY_get_group_name(pKey, szGroupName, sizeof szGroupName, NULL)) return nullptr;
    int nCurveNid = OBJ_txt2nid(szGroupName);
    if (NID_undef == nCurveNid) nCurveNid = EC_curve_nist2nid(szGroupName);
    if (NID_undef == nCurveNid || NID_prime256v1SM2 == nCurveNid) return smk::SMGroup(nCurveNid);
    pOwned->reset(EC_GROUP_new_by_curve_name_ex(smk::LibCtx(), NULL, nCurveNid));
    return pOwned->get();
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

// The helpers below log their steps under pszFunc, the function whose steps they are.
int ReadPublicXY(const char* pszFunc, const EVP_PKEY* pEvpPublickey, BIGNUM* pBN_pubx, BIGNUM* pBN_puby)
{
    OsslPtr<EC_GROUP> pOwnedGroup;
    const EC_GROUP* pECGroup = GroupOfKey(pEvpPublickey, &pOwnedGroup);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pECGroup, "EC_KEY_get0_group", VOMU_E_FAIL);
    OsslPtr<EC_POINT> pECPubKeyPoint = PublicPointOfKey(pEvpPublickey, pECGroup);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pECPubKeyPoint, "EC_KEY_get0_public_key", VOMU_E_FAIL);
    int nResult = EC_POINT_get_affine_coordinates(pECGroup, pECPubKeyPoint.get(), pBN_pubx,
                                                  pBN_puby, NULL);
    VOMU_FAIL_IF_OSSL_IN(pszFunc, 0 == nResult, "EC_POINT_get_affine_coordinates_GFp", VOMU_E_FAIL);
    return VOMU_OK;
}

// The scalar is stored at its given width: only a set top bit gets the 00 that keeps the
// INTEGER positive (X.690 8.3.2).
int NewPrivateKeyNode(const char* pszFunc, const unsigned char* pbyD, int nDLen, NodePtr& pNode_privateKey)
{
    const size_t nPad = (pbyD[0] & 0x80) ? 1 : 0;
    OwnedArray<unsigned char> pbyPrivateKeyBNData = NewArray<unsigned char>(nPad + nDLen);
    VOMU_FAIL_IF_IN(pszFunc, !pbyPrivateKeyBNData, "New memory", VOMU_E_FAIL);
    pbyPrivateKeyBNData[0] = 0x00;
    memcpy(pbyPrivateKeyBNData.get() + nPad, pbyD, (size_t)nDLen);
    pNode_privateKey.reset(morv::NewLeafNodeEx(0x02, pbyPrivateKeyBNData.get(), nPad + nDLen));
    VOMU_FAIL_IF_IN(pszFunc, !pNode_privateKey, "new NodeEx(privateKey)", VOMU_E_FAIL);
    return VOMU_OK;
}

// [0] { OBJECT IDENTIFIER curve }
int NewCurveNode(const char* pszFunc, const char* pszCurveOID, NodePtr& pNode_contex0)
{
    NodeEx* pNode_curve = NULL;
    int nResult = ConstructNode_ObjectIdentifier(pszCurveOID, &pNode_curve);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_ObjectIdentifier", nResult);
    NodePtr pCurve(pNode_curve);
    pNode_contex0.reset(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF_IN(pszFunc, !pNode_contex0, "new NodeEx(contex0)", VOMU_E_FAIL);
    pNode_contex0->Tag = 0xA0;
    return morv::AdoptChild(pszFunc, pNode_contex0.get(), pCurve.release(), "AddChild(curve)");
}

// [1] { BIT STRING 00 (no unused bits) 04 (uncompressed, SEC 1 2.3.3) x y }
int NewPublicKeyNode(const char* pszFunc, const unsigned char* pbyX, int nXLen,
                     const unsigned char* pbyY, int nYLen, NodePtr& pNode_contex1)
{
    const size_t nBitStringSize = 2 + (size_t)nXLen + (size_t)nYLen;
    OwnedArray<unsigned char> pbyBitStringValue = NewArray<unsigned char>(nBitStringSize);
    VOMU_FAIL_IF_IN(pszFunc, !pbyBitStringValue, "New memory", VOMU_E_FAIL);
    pbyBitStringValue[0] = 0x00;
    pbyBitStringValue[1] = 0x04;
    memcpy(pbyBitStringValue.get() + 2, pbyX, (size_t)nXLen);
    memcpy(pbyBitStringValue.get() + 2 + nXLen, pbyY, (size_t)nYLen);
    NodePtr pNode_publicKey(morv::NewLeafNodeEx(0x03, pbyBitStringValue.get(), nBitStringSize));
    VOMU_FAIL_IF_IN(pszFunc, !pNode_publicKey, "new NodeEx(publicKey)", VOMU_E_FAIL);
    pNode_contex1.reset(new (std::nothrow) NodeEx());
    VOMU_FAIL_IF_IN(pszFunc, !pNode_contex1, "new NodeEx(contex1)", VOMU_E_FAIL);
    pNode_contex1->Tag = 0xA1;
    return morv::AdoptChild(pszFunc, pNode_contex1.get(), pNode_publicKey.release(),
                            "AddChild(publicKey)");
}

// What every certificate-field reader does first: its outputs are there (null ones fail with
// VOMU_E_FAIL, as any failure of these readers), and the (shared) certificate loads.
int LoadForField(const char* pszFunc, const unsigned char* pbyCert, int nCertLen,
                 const void* ppOut, const int* pnOut, OsslPtr<X509>* ppX509)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == ppOut || NULL == pnOut, "Check parameter", VOMU_E_FAIL);
    return morv::LoadCertificate(pszFunc, pbyCert, nCertLen, ppX509, true);
}

}  // namespace

int GetPublicKeyXYFromSM2Cert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbyX,
                              int* pnXLen, unsigned char** ppbyY, int* pnYLen)
{
    VOMU_FAIL_IF(NULL == ppbyX || NULL == pnXLen || NULL == ppbyY || NULL == pnYLen,
                 "Check parameter", VOMU_E_FAIL);
    OsslPtr<X509> pX509Cert;
    int nResult = morv::LoadCertificate(__func__, pbyCert, nCertLen, &pX509Cert, true);
    if (VOMU_OK != nResult) return nResult;
    OsslPtr<EVP_PKEY> pEvpPublickey(X509_get_pubkey(pX509Cert.get()));
    VOMU_FAIL_IF_OSSL(NULL == pEvpPublickey, "X509_get_pubkey", VOMU_E_FAIL);
    OsslPtr<BIGNUM> pBN_pubx(BN_new()), pBN_puby(BN_new());
    VOMU_FAIL_IF(NULL == pBN_pubx || NULL == pBN_puby, "BN_new", VOMU_E_FAIL);
    nResult = ReadPublicXY(__func__, pEvpPublickey.get(), pBN_pubx.get(), pBN_puby.get());
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
    OsslPtr<X509> pX509Cert;
    const int nResult = LoadForField(__func__, pbyCert, nCertLen, ppbyIssuer, pnIssuerLen,
                                     &pX509Cert);
    if (VOMU_OK != nResult) return nResult;
    const X509_NAME* pX509IssuerName = X509_get_issuer_name(pX509Cert.get());
    VOMU_FAIL_IF(NULL == pX509IssuerName, "X509_get_issuer_name", VOMU_E_FAIL);
    unsigned char* pbyASN1Issuer = NULL;
    const int nASN1IssuerSize = i2d_X509_NAME(pX509IssuerName, &pbyASN1Issuer);
    VOMU_FAIL_IF_OSSL(nASN1IssuerSize <= 0 || NULL == pbyASN1Issuer, "i2d_X509_NAME", VOMU_E_FAIL);
    return morv::HandOverLibraryBuffer(__func__, pbyASN1Issuer, nASN1IssuerSize, ppbyIssuer,
                                       pnIssuerLen);
}

int GetSerialNumberFromCert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbySerial,
                            int* pnSerialLen)
{
    OsslPtr<X509> pX509Cert;
    const int nResult = LoadForField(__func__, pbyCert, nCertLen, ppbySerial, pnSerialLen,
                                     &pX509Cert);
    if (VOMU_OK != nResult) return nResult;
    const ASN1_INTEGER* pIntegerSerialNumber = X509_get0_serialNumber(pX509Cert.get());
    VOMU_FAIL_IF(NULL == pIntegerSerialNumber, "X509_get_serialNumber", VOMU_E_FAIL);
    unsigned char* pbyASN1SerialNumber = NULL;
    const int nASN1SerialNumberSize = i2d_ASN1_INTEGER(pIntegerSerialNumber, &pbyASN1SerialNumber);
    VOMU_FAIL_IF_OSSL(nASN1SerialNumberSize <= 0 || NULL == pbyASN1SerialNumber, "i2d_ASN1_INTEGER",
                      VOMU_E_FAIL);
    return morv::HandOverLibraryBuffer(__func__, pbyASN1SerialNumber, nASN1SerialNumberSize,
                                       ppbySerial, pnSerialLen);
}

// The library decodes the extension's inner OCTET STRING itself, so long-form lengths and
// damaged values are handled by its DER decoder rather than by counting octets here.
int GetSubjectKeyIDFromCert(unsigned char* pbyCert, int nCertLen, unsigned char** ppbyKeyID,
                            int* pnKeyIDLen)
{
    OsslPtr<X509> pX509Cert;
    const int nResult = LoadForField(__func__, pbyCert, nCertLen, ppbyKeyID, pnKeyIDLen,
                                     &pX509Cert);
    if (VOMU_OK != nResult) return nResult;
    const ASN1_OCTET_STRING* pSubjectKeyID = X509_get0_subject_key_id(pX509Cert.get());
    VOMU_FAIL_IF(NULL == pSubjectKeyID, "X509_get0_subject_key_id", VOMU_E_FAIL);
    VOMU_FAIL_IF(ASN1_STRING_length(pSubjectKeyID) <= 0, "ASN1_STRING_length", VOMU_E_FAIL);
    OwnedArray<unsigned char> pbySubjectKeyID;
    size_t nSubjectKeyIDSize = 0;
    const int nCopied = morv::CopyAsn1String(__func__, pSubjectKeyID, "!pbySubjectKeyID",
                                             &pbySubjectKeyID,
                                             &nSubjectKeyIDSize);
    if (VOMU_OK != nCopied) return nCopied;
    return morv::HandOver(pbySubjectKeyID, ppbyKeyID, pnKeyIDLen, nSubjectKeyIDSize);
}

int ConstructNode_ECPrivateKey(int nVersion, const char* pszCurveOID, unsigned char* pbyD,
                               int nDLen, unsigned char* pbyX, int nXLen, unsigned char* pbyY,
                               int nYLen, NodeEx** ppNode_ECPrivateKey)
{
    VOMU_FAIL_IF(NULL == pszCurveOID || NULL == pbyD || nDLen <= 0 || NULL == pbyX || nXLen <= 0 ||
                     NULL == pbyY || nYLen <= 0 || NULL == ppNode_ECPrivateKey,
                 "Check parameter", VOMU_E_INVALID_ARG);
    NodePtr pNode_version, pNode_privateKey, pNode_contex0, pNode_contex1;
    NodeEx* pVersion = NULL;
    int nResult = morv::ConstructNode_Version(__func__, nVersion, &pVersion);
    pNode_version.reset(pVersion);
    if (VOMU_OK == nResult) nResult = NewPrivateKeyNode(__func__, pbyD, nDLen, pNode_privateKey);
    if (VOMU_OK == nResult) nResult = NewCurveNode(__func__, pszCurveOID, pNode_contex0);
    if (VOMU_OK == nResult)
        nResult = NewPublicKeyNode(__func__, pbyX, nXLen, pbyY, nYLen, pNode_contex1);
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
    nResult = morv::EncodeTreeAndHandOver(__func__, pNode_ECPrivateKey, ppbyDER, pnDERLen);
    VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1ToMemory", nResult);
    return VOMU_OK;
}
