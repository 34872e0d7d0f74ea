#include "CertificateOperations.h"

#include <cstring>
#include <ctime>
#include <string>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include "HandOver.h"
#include "Misc.h"
#include "OsslPtr.h"
#include "SMKernel.h"
#include "VomuStep.h"
#include "vomu_result.h"
#include "vomu_zlog.h"

using morv::NewArray;
using morv::OsslPtr;
using morv::OwnedArray;

// --- certificate information services ---
namespace {

const int DN_BUFFER_SIZE = 1025;

int OuterSignatureNid(X509* pX509Cert)
{
    const X509_ALGOR* pSigAlg = nullptr;
    X509_get0_signature(nullptr, &pSigAlg, pX509Cert);
    const ASN1_OBJECT* pObject = nullptr;
    if (pSigAlg) X509_ALGOR_get0(&pObject, nullptr, nullptr, pSigAlg);
    return pObject ? OBJ_obj2nid(pObject) : NID_undef;
}

// Appends pszText when it is shorter than the budget left (one byte stays for the NUL).
void AppendWithinBudget(std::string& strDN, const char* pszText, size_t nLen, bool& bFits)
{
    bFits = strDN.size() + nLen < (size_t)DN_BUFFER_SIZE - 1;
    if (bFits) strDN.append(pszText, nLen);
}

int AppendNameEntry(std::string& strDN, const X509_NAME_ENTRY* pEntry, bool bLast)
{
    int nNID = OBJ_obj2nid(X509_NAME_ENTRY_get_object(pEntry));
    VOMU_FAIL_IF(NID_undef == nNID, "OBJ_obj2nid", VOMU_E_FAIL);
    const char* pszNameEntryShortName = OBJ_nid2sn(nNID);
    VOMU_FAIL_IF(NULL == pszNameEntryShortName, "OBJ_nid2sn", VOMU_E_FAIL);
    bool bFits = false;
    AppendWithinBudget(strDN, pszNameEntryShortName, strlen(pszNameEntryShortName), bFits);
    VOMU_FAIL_IF(!bFits, "Check buffer size", VOMU_E_FAIL);
    AppendWithinBudget(strDN, "=", 1, bFits);
    VOMU_FAIL_IF(!bFits, "Check buffer size", VOMU_E_FAIL);
    unsigned char* pbyValue = nullptr;
    int nValueLength = ASN1_STRING_to_UTF8(&pbyValue, X509_NAME_ENTRY_get_data(pEntry));
    if (nValueLength > 0) AppendWithinBudget(strDN, (const char*)pbyValue, nValueLength, bFits);
    OPENSSL_free(pbyValue);
    VOMU_FAIL_IF(nValueLength <= 0, "ASN1_STRING_to_UTF8", VOMU_E_FAIL);
    VOMU_FAIL_IF(!bFits, "Check buffer size", VOMU_E_FAIL);
    if (!bLast) {
        AppendWithinBudget(strDN, ", ", 2, bFits);
        VOMU_FAIL_IF(!bFits, "Check buffer size", VOMU_E_FAIL);
    }
    return VOMU_OK;
}

int NameToText(const X509_NAME* pX509Name, const char* pszTrace, char** ppszDN, int* pnDNLen)
{
    VOMU_FAIL_IF(NULL == pX509Name, "X509_get_name", VOMU_E_FAIL);
    int nEntryNum = X509_NAME_entry_count(pX509Name);
    VOMU_FAIL_IF(nEntryNum <= 0, "X509_NAME_entry_count", VOMU_E_FAIL);
    std::string strDN;
    for (int i = nEntryNum - 1; i >= 0; --i) {
        int nResult = AppendNameEntry(strDN, X509_NAME_get_entry(pX509Name, i), 0 == i);
        if (VOMU_OK != nResult) return nResult;
    }
    OwnedArray<char> pszDN = NewArray<char>(DN_BUFFER_SIZE);
    VOMU_FAIL_IF(!pszDN, "New memory", VOMU_E_FAIL);
    memcpy(pszDN.get(), strDN.c_str(), strDN.size() + 1);
    TRACE(TRACE_LEVEL_INFO, "%s:%s", pszTrace, pszDN.get());
    return morv::HandOver(pszDN, ppszDN, pnDNLen, strDN.size());
}

int BytesToHex(const unsigned char* pbyData, int nLen, char** ppszHex, int* pnHexLen)
{
    char* pszHex = nullptr;
    int nResult = ConvertBinaryDataToString(pbyData, nLen, &pszHex, false);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConvertBinaryDataToString", nResult);
    OwnedArray<char> pOwned(pszHex);
    return morv::HandOver(pOwned, ppszHex, pnHexLen, strlen(pszHex));
}

// Two decimal digits at pszText[nPos]; -1 when either is not a digit.
int TwoDigits(const char* pszText, int nPos)
{
    char c1 = pszText[nPos], c2 = pszText[nPos + 1];
    if (c1 < '0' || c1 > '9' || c2 < '0' || c2 > '9') return -1;
    return (c1 - '0') * 10 + (c2 - '0');
}

bool IsLeapYear(long nYear) { return (0 == nYear % 4 && 0 != nYear % 100) || 0 == nYear % 400; }

int DaysInMonth(long nYear, int nMonth)
{
    static const int s_nDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return 2 == nMonth && IsLeapYear(nYear) ? 29 : s_nDays[nMonth - 1];
}

// Days from 1970-01-01 to the proleptic Gregorian date (H. Hinnant's days_from_civil).
long DaysFromCivil(long nYear, int nMonth, int nDay)
{
    nYear -= nMonth <= 2;
    long nEra = (nYear >= 0 ? nYear : nYear - 399) / 400;
    long nYoe = nYear - nEra * 400;
    long nDoy = (153 * (nMonth + (nMonth > 2 ? -3 : 9)) + 2) / 5 + nDay - 1;
    long nDoe = nYoe * 365 + nYoe / 4 - nYoe / 100 + nDoy;
    return nEra * 146097 + nDoe - 719468;
}

struct TimeFields {
    long nYear;
    int nMonth, nDay, nHour, nMinute, nSecond;
    long nOffset;
};

// Year and the fields up to the minute; the year has nYearDigits (2 or 4) digits.
bool ReadDateFields(const char* pszText, int nYearDigits, TimeFields& fields)
{
    int nHigh = TwoDigits(pszText, 0);
    if (nHigh < 0) return false;
    if (2 == nYearDigits) {
        fields.nYear = nHigh <= 49 ? 2000 + nHigh : 1900 + nHigh;
    } else {
        int nLow = TwoDigits(pszText, 2);
        if (nLow < 0) return false;
        fields.nYear = nHigh * 100 + nLow;
    }
    fields.nMonth = TwoDigits(pszText, nYearDigits);
    fields.nDay = TwoDigits(pszText, nYearDigits + 2);
    fields.nHour = TwoDigits(pszText, nYearDigits + 4);
    fields.nMinute = TwoDigits(pszText, nYearDigits + 6);
    if (fields.nMonth < 1 || fields.nMonth > 12 || fields.nDay < 1) return false;
    if (fields.nDay > DaysInMonth(fields.nYear, fields.nMonth)) return false;
    return fields.nHour >= 0 && fields.nHour <= 23 && fields.nMinute >= 0 && fields.nMinute <= 59;
}

// Seconds (optional), fraction (dropped) and zone from pszText[nPos..nLen).
bool ReadSecondsAndZone(const char* pszText, int nPos, int nLen, TimeFields& fields)
{
    fields.nSecond = 0;
    if (nPos + 2 <= nLen && pszText[nPos] >= '0' && pszText[nPos] <= '9') {
        fields.nSecond = TwoDigits(pszText, nPos);
        if (fields.nSecond < 0 || fields.nSecond > 59) return false;
        nPos += 2;
        if (nPos < nLen && '.' == pszText[nPos]) {
            int nFractionStart = ++nPos;
            while (nPos < nLen && pszText[nPos] >= '0' && pszText[nPos] <= '9') ++nPos;
            if (nPos == nFractionStart) return false;
        }
    }
    if (nPos >= nLen) return false;
    fields.nOffset = 0;
    if ('Z' == pszText[nPos]) return nPos + 1 == nLen;
    if ('+' != pszText[nPos] && '-' != pszText[nPos]) return false;
    if (nPos + 5 != nLen) return false;
    int nHours = TwoDigits(pszText, nPos + 1), nMinutes = TwoDigits(pszText, nPos + 3);
    if (nHours < 0 || nHours > 23 || nMinutes < 0 || nMinutes > 59) return false;
    fields.nOffset = (nHours * 3600L + nMinutes * 60L) * ('-' == pszText[nPos] ? -1 : 1);
    return true;
}

}  // namespace

int GetX509CertType(X509* pX509Cert, int* pnType)
{
    VOMU_FAIL_IF(NULL == pX509Cert || NULL == pnType, "Check parameter", VOMU_E_FAIL);
    *pnType = 0;
    int nSigAlgNID = OuterSignatureNid(pX509Cert);
    TRACE(TRACE_LEVEL_INFO, "Certificate signature algorithm NID:%d", nSigAlgNID);
    VOMU_FAIL_IF(NID_undef == nSigAlgNID, "OBJ_obj2nid", VOMU_E_FAIL);
    switch (nSigAlgNID) {
    case NID_sha1WithRSAEncryption:
    case NID_sha1WithRSA:
    case NID_sha256WithRSAEncryption:
    case NID_sha384WithRSAEncryption:
    case NID_sha512WithRSAEncryption:
        TRACE(TRACE_LEVEL_INFO, "Certificate type:RSA");
        *pnType = CERT_TYPE_RSA;
        return VOMU_OK;
    case NID_SM2_with_SM3:
        TRACE(TRACE_LEVEL_INFO, "Certificate type:SM2");
        *pnType = CERT_TYPE_SM2;
        return VOMU_OK;
    default:
        VOMU_FAIL_IF(true, "Unsupported certificate signature algorithm", VOMU_E_FAIL);
    }
    return VOMU_E_FAIL;
}

int GetX509SubjectCN(X509* pX509Cert, char** ppszCN, int* pnCNLen)
{
    VOMU_FAIL_IF(NULL == pX509Cert || NULL == pnCNLen, "Check parameter", VOMU_E_FAIL);
    X509_NAME* pX509Name = X509_get_subject_name(pX509Cert);
    VOMU_FAIL_IF(NULL == pX509Name, "X509_get_subject_name", VOMU_E_FAIL);
    int nCNIndex = X509_NAME_get_index_by_NID(pX509Name, NID_commonName, -1);
    VOMU_FAIL_IF(-1 == nCNIndex, "X509_NAME_get_index_by_NID", VOMU_E_FAIL);
    X509_NAME_ENTRY* pNameEntry = X509_NAME_get_entry(pX509Name, nCNIndex);
    VOMU_FAIL_IF(NULL == pNameEntry, "X509_NAME_get_entry", VOMU_E_FAIL);
    unsigned char* pbyUTF8 = nullptr;
    int nSubjectCNLen = ASN1_STRING_to_UTF8(&pbyUTF8, X509_NAME_ENTRY_get_data(pNameEntry));
    OwnedArray<char> pszSubjectCN;
    if (nSubjectCNLen > 0) pszSubjectCN = NewArray<char>((size_t)nSubjectCNLen + 1);
    if (pszSubjectCN) {
        memcpy(pszSubjectCN.get(), pbyUTF8, nSubjectCNLen);
        pszSubjectCN[nSubjectCNLen] = 0;
    }
    OPENSSL_free(pbyUTF8);
    VOMU_FAIL_IF(nSubjectCNLen <= 0, "ASN1_STRING_to_UTF8", VOMU_E_FAIL);
    VOMU_FAIL_IF(!pszSubjectCN, "New memory", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "Certificate subject CN:%s", pszSubjectCN.get());
    return morv::HandOver(pszSubjectCN, ppszCN, pnCNLen, (size_t)nSubjectCNLen);
}

int GetX509SubjectDN(X509* pX509Cert, char** ppszDN, int* pnDNLen)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    return NameToText(X509_get_subject_name(pX509Cert), "Certificate subject DN", ppszDN, pnDNLen);
}

int GetX509IssuerDN(X509* pX509Cert, char** ppszDN, int* pnDNLen)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    return NameToText(X509_get_issuer_name(pX509Cert), "Certificate issuer DN", ppszDN, pnDNLen);
}

namespace {

// One validity bound in epoch seconds; pszStep names the accessor, pszLabel the bound.
int ValidityBound(const ASN1_TIME* pASN1Time, const char* pszStep, const char* pszLabel,
                  long* pnTime)
{
    VOMU_FAIL_IF(NULL == pASN1Time, pszStep, VOMU_E_FAIL);
    long nTime = 0;
    int nResult = ASN1_TIME_To_UTCTime(pASN1Time, &nTime);
    if (VOMU_OK != nResult) return nResult;
    TRACE(TRACE_LEVEL_INFO, "Certificate validity %s(time_t):%lld", pszLabel, (long long)nTime);
    *pnTime = nTime;
    return VOMU_OK;
}

}  // namespace

int GetX509NotBefore(X509* pX509Cert, long* pnTime)
{
    VOMU_FAIL_IF(NULL == pX509Cert || NULL == pnTime, "Check parameter", VOMU_E_FAIL);
    return ValidityBound(X509_get0_notBefore(pX509Cert), "X509_get_notBefore", "not before",
                         pnTime);
}

int GetX509NotAfter(X509* pX509Cert, long* pnTime)
{
    VOMU_FAIL_IF(NULL == pX509Cert || NULL == pnTime, "Check parameter", VOMU_E_FAIL);
    return ValidityBound(X509_get0_notAfter(pX509Cert), "X509_get_notAfter", "not after",
                         pnTime);
}

int GetX509SerialNumber(X509* pX509Cert, char** ppszHex, int* pnHexLen)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    const ASN1_INTEGER* pASN1_INTEGER = X509_get0_serialNumber(pX509Cert);
    VOMU_FAIL_IF(NULL == pASN1_INTEGER, "X509_get_serialNumber", VOMU_E_FAIL);
    OsslPtr<BIGNUM> pBN(ASN1_INTEGER_to_BN(pASN1_INTEGER, nullptr));
    VOMU_FAIL_IF(NULL == pBN, "ASN1_INTEGER_to_BN", VOMU_E_FAIL);
    OwnedArray<unsigned char> pbySNBuffer = NewArray<unsigned char>(BN_num_bytes(pBN.get()) + 1);
    VOMU_FAIL_IF(!pbySNBuffer, "New memory", VOMU_E_FAIL);
    pbySNBuffer[0] = 0;
    int nSerialNumberLen = BN_bn2bin(pBN.get(), pbySNBuffer.get() + 1);
    VOMU_FAIL_IF(0 == nSerialNumberLen, "BN_bn2bin", VOMU_E_FAIL);
    bool bTopBit = 0 != (pbySNBuffer[1] & 0x80);
    return BytesToHex(pbySNBuffer.get() + (bTopBit ? 0 : 1), nSerialNumberLen + (bTopBit ? 1 : 0),
                      ppszHex, pnHexLen);
}

int GetX509SubjectKeyID(X509* pX509Cert, char** ppszHex, int* pnHexLen)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    const ASN1_OCTET_STRING* pKeyID = X509_get0_subject_key_id(pX509Cert);
    VOMU_FAIL_IF(NULL == pKeyID || ASN1_STRING_length(pKeyID) <= 0, "X509_get0_subject_key_id",
                 VOMU_E_FAIL);
    char* pszHex = nullptr;
    int nHexLen = 0;
    int nResult = BytesToHex(ASN1_STRING_get0_data(pKeyID), ASN1_STRING_length(pKeyID), &pszHex,
                             &nHexLen);
    if (VOMU_OK != nResult) return nResult;
    OwnedArray<char> pOwned(pszHex);
    TRACE(TRACE_LEVEL_INFO, "Certificate Subject Key ID:%s", pszHex);
    return morv::HandOver(pOwned, ppszHex, pnHexLen, (size_t)nHexLen);
}

int GetX509CertAlg(X509* pX509Cert, char** ppszOID)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    const X509_ALGOR* pSigAlg = nullptr;
    X509_get0_signature(nullptr, &pSigAlg, pX509Cert);
    const ASN1_OBJECT* pObject = nullptr;
    if (pSigAlg) X509_ALGOR_get0(&pObject, nullptr, nullptr, pSigAlg);
    char szOID[512] = {0};
    int nAlgOIDLen = pObject ? OBJ_obj2txt(szOID, sizeof(szOID), pObject, 1) : 0;
    VOMU_FAIL_IF(nAlgOIDLen <= 0 || nAlgOIDLen >= (int)sizeof(szOID),
                 "OBJ_obj2txt(sig_alg->algorithm)", VOMU_E_FAIL);
    OwnedArray<char> pszCertAlg = NewArray<char>((size_t)nAlgOIDLen + 1);
    VOMU_FAIL_IF(!pszCertAlg, "New memory", VOMU_E_FAIL);
    memcpy(pszCertAlg.get(), szOID, (size_t)nAlgOIDLen + 1);
    morv::HandOver(pszCertAlg, ppszOID);
    return VOMU_OK;
}

int ASN1_TIME_To_UTCTime(const ASN1_TIME* pASN1Time, long* pnTime)
{
    VOMU_FAIL_IF(NULL == pASN1Time || NULL == pnTime, "Check parameter", VOMU_E_FAIL);
    *pnTime = 0;
    const char* pszText = (const char*)ASN1_STRING_get0_data(pASN1Time);
    int nASN1TimeLength = ASN1_STRING_length(pASN1Time);
    VOMU_FAIL_IF(NULL == pszText || nASN1TimeLength <= 0, "Check ASN1TIME value.", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "ASN1TIME value:%.*s", nASN1TimeLength, pszText);
    int nYearDigits = 4;
    if (V_ASN1_UTCTIME == ASN1_STRING_type(pASN1Time)) {
        TRACE(TRACE_LEVEL_INFO, "ASN1TIME type:V_ASN1_UTCTIME");
        VOMU_FAIL_IF(((nASN1TimeLength < 11) || (nASN1TimeLength > 17)), "Check ASN1TIME length.",
                     VOMU_E_FAIL);
        nYearDigits = 2;
    } else {
        TRACE(TRACE_LEVEL_INFO, "ASN1TIME type:V_ASN1_GENERALIZEDTIME");
        VOMU_FAIL_IF(nASN1TimeLength < 13, "Check ASN1TIME format.", VOMU_E_FAIL);
    }
    TimeFields fields = {};
    bool bValid = ReadDateFields(pszText, nYearDigits, fields) &&
                  ReadSecondsAndZone(pszText, nYearDigits + 8, nASN1TimeLength, fields);
    VOMU_FAIL_IF(!bValid, "Check ASN1TIME format.", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "Broken-down time: %04ld/%02d/%02d %02d:%02d:%02d", fields.nYear,
          fields.nMonth, fields.nDay, fields.nHour, fields.nMinute, fields.nSecond);
    long nDays = DaysFromCivil(fields.nYear, fields.nMonth, fields.nDay);
    *pnTime = nDays * 86400L + fields.nHour * 3600L + fields.nMinute * 60L + fields.nSecond -
              fields.nOffset;
    return VOMU_OK;
}
// --- end of certificate information services ---

// --- certificate verification services ---
namespace {

// One object of type T into kctx: PEM from the BIO's position, else DER after a reset (a
// memory BIO back to its first byte, a file BIO to the start of its stream).
template <typename T>
T* ReadPemThenDer(BIO* pBio, T* (*pfnNew)(), T* (*pfnPem)(BIO*, T**, pem_password_cb*, void*),
                  T* (*pfnDer)(BIO*, T**), void (*pfnFree)(T*))
{
    T* pObject = pfnNew();
    if (!pObject) return nullptr;
    ERR_set_mark();  // DER input is no PEM failure worth reporting
    T* pRead = pfnPem(pBio, &pObject, nullptr, nullptr);
    ERR_pop_to_mark();
    if (pRead) return pRead;
    pfnFree(pObject);  // null already when the decoder freed it
    if (BIO_reset(pBio) < 0 || !(pObject = pfnNew())) return nullptr;
    pRead = pfnDer(pBio, &pObject);
    if (!pRead) pfnFree(pObject);
    return pRead;
}

X509* ReadCert(BIO* pBio)
{
    return ReadPemThenDer<X509>(pBio, smk::NewX509, PEM_read_bio_X509, d2i_X509_bio, X509_free);
}

X509_CRL* ReadCrl(BIO* pBio)
{
    return ReadPemThenDer<X509_CRL>(pBio, smk::NewX509Crl, PEM_read_bio_X509_CRL,
                                    d2i_X509_CRL_bio, X509_CRL_free);
}

bool IsListed(X509_CRL* pX509CRL, const ASN1_INTEGER* pSerial)
{
    STACK_OF(X509_REVOKED)* pRevoked = X509_CRL_get_REVOKED(pX509CRL);
    for (int i = 0; i < sk_X509_REVOKED_num(pRevoked); ++i) {
        const X509_REVOKED* pEntry = sk_X509_REVOKED_value(pRevoked, i);
        if (0 == ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(pEntry), pSerial)) return true;
    }
    return false;
}

int AddFirstCertOfStream(X509_STORE* pX509_Store, FILE* fpCA)
{
    OsslPtr<BIO> pBIO_Cert(fpCA ? BIO_new_fp(fpCA, BIO_NOCLOSE) : nullptr);
    VOMU_FAIL_IF_OSSL(NULL == pBIO_Cert, "BIO_new_fp", VOMU_E_FAIL);
    OsslPtr<X509> pX509(ReadCert(pBIO_Cert.get()));
    VOMU_FAIL_IF_OSSL(NULL == pX509, "d2i_X509_bio", VOMU_E_FAIL);
    int nResult = X509_STORE_add_cert(pX509_Store, pX509.get());
    VOMU_FAIL_IF_OSSL(1 != nResult, "X509_STORE_add_cert", VOMU_E_FAIL);
    return VOMU_OK;
}

PKCS7* DecodeBundle(const unsigned char* pbyBundle, int nLen)
{
    PKCS7* pP7b = nLen > 0 ? smk::NewPKCS7() : nullptr;
    if (!pP7b) return nullptr;
    if (!d2i_PKCS7(&pP7b, &pbyBundle, nLen)) PKCS7_free(pP7b);  // null when the decoder freed it
    return pP7b;
}

// Every certificate of a DER PKCS#7 signedData bundle; a null bundle adds nothing.
int AddBundle(X509_STORE* pX509Store, const unsigned char* pbyBundle, int nLen,
              const char* pszStep)
{
    if (NULL == pbyBundle) return VOMU_OK;
    OsslPtr<PKCS7> pP7b(DecodeBundle(pbyBundle, nLen));
    VOMU_FAIL_IF_OSSL(NULL == pP7b, pszStep, VOMU_E_FAIL);
    bool bSigned = PKCS7_type_is_signed(pP7b.get()) && NULL != pP7b->d.sign;
    VOMU_FAIL_IF(!bSigned, "PKCS7_type_is_signed", VOMU_E_FAIL);
    STACK_OF(X509)* pCerts = pP7b->d.sign->cert;
    for (int i = 0; i < sk_X509_num(pCerts); ++i) {
        int nResult = X509_STORE_add_cert(pX509Store, sk_X509_value(pCerts, i));
        VOMU_FAIL_IF_OSSL(1 != nResult, "X509_STORE_add_cert", VOMU_E_FAIL);
    }
    return VOMU_OK;
}

bool IsTimeError(int nErrorCode)
{
    return X509_V_ERR_CERT_NOT_YET_VALID == nErrorCode || X509_V_ERR_CERT_HAS_EXPIRED == nErrorCode;
}

bool HasKeyUsage(uint32_t uiKeyUsage, unsigned int uiCheckBits, bool bAll)
{
    if (bAll) {
        TRACE(TRACE_LEVEL_INFO, "All the check bits must be present.");
        return (uiKeyUsage & uiCheckBits) == uiCheckBits;
    }
    TRACE(TRACE_LEVEL_INFO, "One of the check bit present is OK.");
    return 0 != (uiKeyUsage & uiCheckBits);
}

// What PKCS12_parse hands out; freed here unless handed over.
struct PfxContents {
    OsslPtr<EVP_PKEY> pKey;
    OsslPtr<X509> pCert;
    OsslPtr<STACK_OF(X509)> pChain;
};

// PKCS12_parse of OpenSSL 3.0 decodes the certificates outside the PKCS#12's library context;
// a copy decoded in kctx has its SM2 signature checked by our SM2 with the standard ID.
X509* CopyIntoKernel(X509* pCert)
{
    unsigned char* pbyDer = nullptr;
    int nDer = i2d_X509(pCert, &pbyDer);
    const unsigned char* pbyIn = pbyDer;
    X509* pCopy = nDer > 0 ? smk::D2iX509(&pbyIn, nDer) : nullptr;
    OPENSSL_free(pbyDer);
    return pCopy;
}

int MoveCertsIntoKernel(PfxContents& contents)
{
    if (contents.pCert) {
        contents.pCert.reset(CopyIntoKernel(contents.pCert.get()));
        VOMU_FAIL_IF_OSSL(NULL == contents.pCert, "d2i_X509(certificate)", VOMU_E_FAIL);
    }
    STACK_OF(X509)* pChain = contents.pChain.get();
    for (int i = 0; i < sk_X509_num(pChain); ++i) {
        X509* pOriginal = sk_X509_value(pChain, i);
        X509* pCopy = CopyIntoKernel(pOriginal);
        VOMU_FAIL_IF_OSSL(NULL == pCopy, "d2i_X509(chain)", VOMU_E_FAIL);
        sk_X509_set(pChain, i, pCopy);  // returns the new value, not the one it replaced
        X509_free(pOriginal);
    }
    return VOMU_OK;
}

// The key and the certificate are always asked for: OpenSSL returns a certificate only as
// the one that matches the key.
int OpenPKCS12(PKCS12* pPKCS12, const char* pszPassword, bool bWantChain, PfxContents& contents)
{
    EVP_PKEY* pKey = nullptr;
    X509* pCert = nullptr;
    STACK_OF(X509)* pChain = nullptr;
    int nResult = PKCS12_parse(pPKCS12, pszPassword, &pKey, &pCert, bWantChain ? &pChain : nullptr);
    contents.pKey.reset(pKey);
    contents.pCert.reset(pCert);
    contents.pChain.reset(pChain);
    VOMU_FAIL_IF_OSSL(0 == nResult, "PKCS12_parse", VOMU_E_BAD_ASN1_DATA);
    return MoveCertsIntoKernel(contents);
}

}  // namespace

int ConvertCertDataToX509(const unsigned char* pbyCert, int nCertLen, X509** ppX509)
{
    VOMU_FAIL_IF(NULL == pbyCert || nCertLen <= 0 || NULL == ppX509, "Check parameter",
                 VOMU_E_FAIL);
    OsslPtr<BIO> pBIO_Cert(BIO_new_mem_buf(pbyCert, nCertLen));
    VOMU_FAIL_IF_OSSL(NULL == pBIO_Cert, "BIO_new_mem_buf", VOMU_E_FAIL);
    OsslPtr<X509> pX509Cert(ReadCert(pBIO_Cert.get()));
    VOMU_FAIL_IF_OSSL(NULL == pX509Cert, "d2i_X509_bio", VOMU_E_FAIL);
    *ppX509 = pX509Cert.release();
    return VOMU_OK;
}

int VerifyCertTime(X509* pX509Cert)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    time_t tCurrentTime = time(NULL);
    VOMU_FAIL_IF(-1 == tCurrentTime, "time", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "Current time(time_t):%lld", (long long)tCurrentTime);
    long tNotBefore = 0, tNotAfter = 0;
    int nResult = GetX509NotBefore(pX509Cert, &tNotBefore);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF((tCurrentTime < tNotBefore), "Check certificate validity NotBefore",
                 VOMU_E_CERT_TIME);
    nResult = GetX509NotAfter(pX509Cert, &tNotAfter);
    if (VOMU_OK != nResult) return nResult;
    VOMU_FAIL_IF((tCurrentTime > tNotAfter), "Check certificate validity NotAfter",
                 VOMU_E_CERT_TIME);
    return VOMU_OK;
}

int VerifyCertCRL(FILE* fpCRL, X509* pX509Cert)
{
    VOMU_FAIL_IF(NULL == fpCRL || NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    OsslPtr<BIO> pBIO_CRL(BIO_new_fp(fpCRL, BIO_NOCLOSE));
    VOMU_FAIL_IF_OSSL(NULL == pBIO_CRL, "BIO_new_fp", VOMU_E_FAIL);
    OsslPtr<X509_CRL> pX509CRL(ReadCrl(pBIO_CRL.get()));
    VOMU_FAIL_IF_OSSL(NULL == pX509CRL, "d2i_X509_CRL_bio", VOMU_E_FAIL);
    if (IsListed(pX509CRL.get(), X509_get0_serialNumber(pX509Cert))) {
        VOMU_STEP_FAILED("Check the certificate is pRevoked?", VOMU_E_CERT_REVOKED, "true");
        return VOMU_E_CERT_REVOKED;
    }
    VOMU_STEP_OK("Check the certificate is pRevoked?");
    return VOMU_OK;
}

int LoadCertsToStore(std::vector<FILE*> vetCAFiles, X509_STORE** ppStore)
{
    VOMU_FAIL_IF(NULL == ppStore, "Check parameter", VOMU_E_FAIL);
    OsslPtr<X509_STORE> pX509_Store(X509_STORE_new());
    VOMU_FAIL_IF_OSSL(NULL == pX509_Store, "X509_STORE_new", VOMU_E_FAIL);
    for (FILE* fpCA : vetCAFiles) {
        if (VOMU_OK != AddFirstCertOfStream(pX509_Store.get(), fpCA)) return VOMU_E_FAIL;
    }
    *ppStore = pX509_Store.release();
    return VOMU_OK;
}

int LoadP7bToStore(const unsigned char* pbyRootBundle, int nRootLen,
                   const unsigned char* pbyIntermediateBundle, int nIntermediateLen,
                   X509_STORE** ppStore)
{
    VOMU_FAIL_IF(NULL == ppStore, "Check parameter", VOMU_E_FAIL);
    OsslPtr<X509_STORE> pX509Store(X509_STORE_new());
    VOMU_FAIL_IF_OSSL(NULL == pX509Store, "X509_STORE_new", VOMU_E_FAIL);
    if (VOMU_OK != AddBundle(pX509Store.get(), pbyRootBundle, nRootLen, "d2i_PKCS7(root)") ||
        VOMU_OK != AddBundle(pX509Store.get(), pbyIntermediateBundle, nIntermediateLen,
                             "d2i_PKCS7(intermediate)"))
        return VOMU_E_FAIL;
    *ppStore = pX509Store.release();
    return VOMU_OK;
}

int VerifyCertChainByTrustedStore(X509_STORE* pStore, X509* pX509Cert)
{
    VOMU_FAIL_IF(NULL == pStore || NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    OsslPtr<X509_STORE_CTX> pX509StoreCtx(smk::NewX509StoreCtx());
    VOMU_FAIL_IF_OSSL(NULL == pX509StoreCtx, "X509_STORE_CTX_new", VOMU_E_FAIL);
    int nResult = X509_STORE_CTX_init(pX509StoreCtx.get(), pStore, pX509Cert, nullptr);
    VOMU_FAIL_IF_OSSL(1 != nResult, "X509_STORE_CTX_init", VOMU_E_FAIL);
    if (1 == X509_verify_cert(pX509StoreCtx.get())) {
        VOMU_STEP_OK("X509_verify_cert");
        return VOMU_OK;
    }
    int nErrorCode = X509_STORE_CTX_get_error(pX509StoreCtx.get());
    TRACE(TRACE_LEVEL_INFO, "X509_verify_cert(ErrorCode:%d ErrorInfo:%s)", nErrorCode,
          X509_verify_cert_error_string(nErrorCode));
    int nCode = IsTimeError(nErrorCode) ? VOMU_E_CERT_TIME : VOMU_E_CERT_CHAIN;
    VOMU_STEP_FAILED_OSSL("X509_verify_cert", nCode, "true");
    return nCode;
}

int VerifyCertChain(std::vector<FILE*> vetCAFiles, X509* pX509Cert)
{
    X509_STORE* pStore = nullptr;
    int nResult = LoadCertsToStore(vetCAFiles, &pStore);
    OsslPtr<X509_STORE> pX509Store(pStore);
    VOMU_FAIL_IF(VOMU_OK != nResult, "LoadCertsToStore", nResult);
    nResult = VerifyCertChainByTrustedStore(pX509Store.get(), pX509Cert);
    VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyCertChainByTrustedStore", nResult);
    return VOMU_OK;
}

int VerifyX509(X509* pX509Cert, unsigned int nCertVerifyFlag, FILE* fpCRL,
               std::vector<FILE*> vetCAFiles)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    int nResult = VOMU_OK;
    if (nCertVerifyFlag & CERT_VERIFY_FLAG_TIME) {
        nResult = VerifyCertTime(pX509Cert);
        VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyCertTime", nResult);
    }
    if (nCertVerifyFlag & CERT_VERIFY_FLAG_CRL) {
        nResult = VerifyCertCRL(fpCRL, pX509Cert);
        VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyCertCRL", nResult);
    }
    if (nCertVerifyFlag & CERT_VERIFY_FLAG_CHAIN) {
        nResult = VerifyCertChain(vetCAFiles, pX509Cert);
        VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyCertChain", nResult);
    }
    return VOMU_OK;
}

int VerifyCertificate(const unsigned char* pbyCert, int nCertLen, unsigned int nCertVerifyFlag,
                      FILE* fpCRL, std::vector<FILE*> vetCAFiles)
{
    X509* pCert = nullptr;
    int nResult = ConvertCertDataToX509(pbyCert, nCertLen, &pCert);
    OsslPtr<X509> pX509Cert(pCert);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConvertCertDataToX509", nResult);
    nResult = VerifyX509(pX509Cert.get(), nCertVerifyFlag, fpCRL, vetCAFiles);
    VOMU_FAIL_IF(VOMU_OK != nResult, "VerifyX509", nResult);
    return VOMU_OK;
}

int CheckX509KeyUsage(X509* pX509Cert, unsigned int uiCheckBits, bool bAll)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    // Purpose -1 only fills the certificate's extension cache.
    int nResult = X509_check_purpose(pX509Cert, -1, 0);
    VOMU_FAIL_IF_OSSL(1 != nResult, "X509_check_purpose fill data", VOMU_E_FAIL);
    uint32_t uiExFlags = X509_get_extension_flags(pX509Cert);
    TRACE(TRACE_LEVEL_INFO, "pX509->ex_flags(0x%08x)", uiExFlags);
    VOMU_FAIL_IF(!(uiExFlags & EXFLAG_KUSAGE), "pX509->ex_flags & EXFLAG_KUSAGE",
                 VOMU_E_KEY_USAGE);
    uint32_t uiKeyUsage = X509_get_key_usage(pX509Cert);
    TRACE(TRACE_LEVEL_INFO, "pX509->ex_kusage(0x%08x)", uiKeyUsage);
    TRACE(TRACE_LEVEL_INFO, "uiCheckBits(0x%08x)", uiCheckBits);
    nResult = HasKeyUsage(uiKeyUsage, uiCheckBits, bAll) ? 1 : 0;
    VOMU_FAIL_IF(0 == nResult, "Check x509 key usage", VOMU_E_KEY_USAGE);
    return VOMU_OK;
}

int CheckCertKeyUsage(const unsigned char* pbyCert, int nCertLen, unsigned int uiCheckBits,
                      bool bAll)
{
    X509* pCert = nullptr;
    ConvertCertDataToX509(pbyCert, nCertLen, &pCert);
    OsslPtr<X509> pX509Cert(pCert);
    VOMU_FAIL_IF(NULL == pX509Cert, "ConvertCertDataToX509", VOMU_E_FAIL);
    return CheckX509KeyUsage(pX509Cert.get(), uiCheckBits, bAll);
}

int ParsePFXFile(FILE* fpPFX, const char* pszPassword, EVP_PKEY** ppKey, X509** ppCert,
                 STACK_OF(X509)** ppChain)
{
    VOMU_FAIL_IF(NULL == fpPFX, "Check parameter", VOMU_E_FAIL);
    OsslPtr<BIO> pBIO_PFX(BIO_new_fp(fpPFX, BIO_NOCLOSE));
    VOMU_FAIL_IF_OSSL(NULL == pBIO_PFX, "BIO_new_fp", VOMU_E_FAIL);
    OsslPtr<PKCS12> pPKCS12(smk::D2iPKCS12(pBIO_PFX.get()));
    VOMU_FAIL_IF_OSSL(NULL == pPKCS12, "d2i_PKCS12_fp", VOMU_E_FAIL);
    int nResult = PKCS12_verify_mac(pPKCS12.get(), pszPassword, -1);
    VOMU_FAIL_IF_OSSL(0 == nResult, "PKCS12_verify_mac", VOMU_E_FAIL);
    PfxContents contents;
    nResult = OpenPKCS12(pPKCS12.get(), pszPassword, NULL != ppChain, contents);
    if (VOMU_OK != nResult) return nResult;
    if (ppKey) *ppKey = contents.pKey.release();
    if (ppCert) *ppCert = contents.pCert.release();
    if (ppChain) *ppChain = contents.pChain.release();
    return VOMU_OK;
}
// --- end of certificate verification services ---
