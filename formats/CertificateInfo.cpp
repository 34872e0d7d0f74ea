// The certificate information services: type, names, serial number, key identifier,
// validity bounds and signature algorithm of an X509.
#include "CertificateOperations.h"

#include <cstring>
#include <ctime>

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

// The DN text being built, in a fixed buffer (no allocation, so nothing can throw). Append
// takes pszText only when it fits the budget left (one byte stays for the NUL).
struct DnText {
    char sz[DN_BUFFER_SIZE] = {0};
    size_t nSize = 0;
    void Append(const char* pszText, size_t nLen, bool& bFits)
    {
        bFits = nSize + nLen < (size_t)DN_BUFFER_SIZE - 1;
        if (!bFits) return;
        memcpy(sz + nSize, pszText, nLen);
        nSize += nLen;
        sz[nSize] = '\0';
    }
};

int AppendNameEntry(const char* pszFunc, DnText& dn, const X509_NAME_ENTRY* pEntry, bool bLast)
{
    int nNID = OBJ_obj2nid(X509_NAME_ENTRY_get_object(pEntry));
    VOMU_FAIL_IF_IN(pszFunc, NID_undef == nNID, "OBJ_obj2nid", VOMU_E_FAIL);
    const char* pszNameEntryShortName = OBJ_nid2sn(nNID);
    VOMU_FAIL_IF_IN(pszFunc, NULL == pszNameEntryShortName, "OBJ_nid2sn", VOMU_E_FAIL);
    bool bFits = false;
    dn.Append(pszNameEntryShortName, strlen(pszNameEntryShortName), bFits);
    VOMU_FAIL_IF_IN(pszFunc, !bFits, "Check buffer size", VOMU_E_FAIL);
    dn.Append("=", 1, bFits);
    VOMU_FAIL_IF_IN(pszFunc, !bFits, "Check buffer size", VOMU_E_FAIL);
    unsigned char* pbyValue = nullptr;
    int nValueLength = ASN1_STRING_to_UTF8(&pbyValue, X509_NAME_ENTRY_get_data(pEntry));
    morv::OpensslBytes pValue(pbyValue);
    if (nValueLength > 0) dn.Append((const char*)pValue.get(), nValueLength, bFits);
    VOMU_FAIL_IF_IN(pszFunc, nValueLength <= 0, "ASN1_STRING_to_UTF8", VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pszFunc, !bFits, "Check buffer size", VOMU_E_FAIL);
    if (!bLast) {
        dn.Append(", ", 2, bFits);
        VOMU_FAIL_IF_IN(pszFunc, !bFits, "Check buffer size", VOMU_E_FAIL);
    }
    return VOMU_OK;
}

int NameToText(const char* pszFunc, const X509_NAME* pX509Name, const char* pszTrace, char** ppszDN,
               int* pnDNLen)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pX509Name, "X509_get_name", VOMU_E_FAIL);
    int nEntryNum = X509_NAME_entry_count(pX509Name);
    VOMU_FAIL_IF_IN(pszFunc, nEntryNum <= 0, "X509_NAME_entry_count", VOMU_E_FAIL);
    DnText dn;
    for (int i = nEntryNum - 1; i >= 0; --i) {
        int nResult = AppendNameEntry(pszFunc, dn, X509_NAME_get_entry(pX509Name, i), 0 == i);
        if (VOMU_OK != nResult) return nResult;
    }
    OwnedArray<char> pszDN = NewArray<char>(DN_BUFFER_SIZE);
    VOMU_FAIL_IF_IN(pszFunc, !pszDN, "New memory", VOMU_E_FAIL);
    memcpy(pszDN.get(), dn.sz, dn.nSize + 1);
    TRACE(TRACE_LEVEL_INFO, "%s:%s", pszTrace, pszDN.get());
    return morv::HandOver(pszDN, ppszDN, pnDNLen, dn.nSize);
}

int BytesToHex(const char* pszFunc, const unsigned char* pbyData, int nLen, char** ppszHex,
               int* pnHexLen)
{
    char* pszHex = nullptr;
    int nResult = ConvertBinaryDataToString(pbyData, nLen, &pszHex, false);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConvertBinaryDataToString", nResult);
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
    morv::OpensslBytes pUTF8(pbyUTF8);
    OwnedArray<char> pszSubjectCN;
    if (nSubjectCNLen > 0) pszSubjectCN = NewArray<char>((size_t)nSubjectCNLen + 1);
    if (pszSubjectCN) {
        memcpy(pszSubjectCN.get(), pUTF8.get(), nSubjectCNLen);
        pszSubjectCN[nSubjectCNLen] = 0;
    }
    VOMU_FAIL_IF(nSubjectCNLen <= 0, "ASN1_STRING_to_UTF8", VOMU_E_FAIL);
    VOMU_FAIL_IF(!pszSubjectCN, "New memory", VOMU_E_FAIL);
    TRACE(TRACE_LEVEL_INFO, "Certificate subject CN:%s", pszSubjectCN.get());
    return morv::HandOver(pszSubjectCN, ppszCN, pnCNLen, (size_t)nSubjectCNLen);
}

int GetX509SubjectDN(X509* pX509Cert, char** ppszDN, int* pnDNLen)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    return NameToText(__func__, X509_get_subject_name(pX509Cert), "Certificate subject DN", ppszDN,
                      pnDNLen);
}

int GetX509IssuerDN(X509* pX509Cert, char** ppszDN, int* pnDNLen)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    return NameToText(__func__, X509_get_issuer_name(pX509Cert), "Certificate issuer DN", ppszDN,
                      pnDNLen);
}

namespace {

// One validity bound in epoch seconds; pszStep names the accessor, pszLabel the bound.
int ValidityBound(const char* pszFunc, const ASN1_TIME* pASN1Time, const char* pszStep,
                  const char* pszLabel, long* pnTime)
{
    VOMU_FAIL_IF_IN(pszFunc, NULL == pASN1Time, pszStep, VOMU_E_FAIL);
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
    return ValidityBound(__func__, X509_get0_notBefore(pX509Cert), "X509_get_notBefore",
                         "not before", pnTime);
}

int GetX509NotAfter(X509* pX509Cert, long* pnTime)
{
    VOMU_FAIL_IF(NULL == pX509Cert || NULL == pnTime, "Check parameter", VOMU_E_FAIL);
    return ValidityBound(__func__, X509_get0_notAfter(pX509Cert), "X509_get_notAfter", "not after",
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
    return BytesToHex(__func__, pbySNBuffer.get() + (bTopBit ? 0 : 1),
                      nSerialNumberLen + (bTopBit ? 1 : 0), ppszHex, pnHexLen);
}

int GetX509SubjectKeyID(X509* pX509Cert, char** ppszHex, int* pnHexLen)
{
    VOMU_FAIL_IF(NULL == pX509Cert, "Check parameter", VOMU_E_FAIL);
    const ASN1_OCTET_STRING* pKeyID = X509_get0_subject_key_id(pX509Cert);
    VOMU_FAIL_IF(NULL == pKeyID || ASN1_STRING_length(pKeyID) <= 0, "X509_get0_subject_key_id",
                 VOMU_E_FAIL);
    char* pszHex = nullptr;
    int nHexLen = 0;
    int nResult = BytesToHex(__func__, ASN1_STRING_get0_data(pKeyID), ASN1_STRING_length(pKeyID),
                             &pszHex, &nHexLen);
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
    VOMU_FAIL_IF_REASON(nAlgOIDLen <= 0 || nAlgOIDLen >= (int)sizeof(szOID), "0 == nAlgOIDLen",
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
    // A malformed field or zone is refused: that step has no OK line of its own.
    if (!bValid) {
        VOMU_STEP_FAILED("Check ASN1TIME format.", VOMU_E_FAIL, "true");
        return VOMU_E_FAIL;
    }
    TRACE(TRACE_LEVEL_INFO, "Broken-down time: %04ld/%02d/%02d %02d:%02d:%02d", fields.nYear,
          fields.nMonth, fields.nDay, fields.nHour, fields.nMinute, fields.nSecond);
    long nDays = DaysFromCivil(fields.nYear, fields.nMonth, fields.nDay);
    *pnTime = nDays * 86400L + fields.nHour * 3600L + fields.nMinute * 60L + fields.nSecond -
              fields.nOffset;
    return VOMU_OK;
}
