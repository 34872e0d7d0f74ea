// The positional SignedData readers, first half: the shape of the message is checked and its
// nodes located, the content and the signer's certificate read.
#include "SignedDataTree.h"

#include <vector>

#include "vomu_zlog.h"

namespace morv {
namespace signeddata {

int LocateSignedData(const NodeEx* pRoot, bool bFile, SignedDataNodes* pNodes)
{
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(IsNode(pRoot, 0x30, 2)), "true", "Check PKCS#7 nodes",
                           VOMU_E_PKCS7_FORMAT);
    pNodes->pContentType = Child(pRoot, 0);
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(IsNode(Child(pRoot, 1), 0xA0, 1)),
                           "true", "Check PKCS#7 'content [0]' nodes", VOMU_E_PKCS7_FORMAT);
    pNodes->pSignedData = Child(Child(pRoot, 1), 0);
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(IsNode(pNodes->pSignedData, 0x30, 5)),
                           "true", "Check PKCS#7 'signedData' nodes", VOMU_E_PKCS7_FORMAT);
    pNodes->pContentInfo = Child(pNodes->pSignedData, 2);
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(IsNode(pNodes->pContentInfo, 0x30, 0)),
                           "true", "Check PKCS#7 'contentInfo' nodes", VOMU_E_PKCS7_FORMAT);
    if (bFile) {
        VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(Children(pNodes->pContentInfo) >= 2), "true",
                               "Check PKCS#7 signature attached source data",
                               VOMU_E_PKCS7_FORMAT);
    }
    return VOMU_OK;
}

bool HasOid(SourceOctets& oid, const unsigned char* pbyOid, size_t nOidSize)
{
    return oid.Size() == nOidSize && 0 == memcmp(oid.Data(), pbyOid, nOidSize);
}

// The content of an attached SignedData, when its type is data: an OCTET STRING, primitive,
// or constructed of primitive segments (BER, X.690 8.7.3, as streaming writers emit it).
int LocateContent(SignedDataNodes* pNodes)
{
    const NodeEx* pContentInfo = pNodes->pContentInfo;
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(IsNode(Child(pContentInfo, 1), 0xA0, 1)), "true",
                           "Check PKCS#7 nodes",
                           VOMU_E_PKCS7_FORMAT);
    const NodeEx* pType = Child(pContentInfo, 0);
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(IsNode(pType, 0x06, 0) && 0 == Children(pType)),
                           "true", "Check PKCS#7 content type", VOMU_E_PKCS7_FORMAT);
    SourceOctets type(pNodes->pszFunc);
    if (!type.Value(pType)) return type.Failure();
    const bool bData = HasOid(type, kOidPKCS7Data, sizeof kOidPKCS7Data) ||
                       HasOid(type, kOidSM2Data, sizeof kOidSM2Data);
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !bData, "true", "Check PKCS#7 content type is data",
                           VOMU_E_PKCS7_FORMAT);
    const NodeEx* pContent = Child(Child(pContentInfo, 1), 0);
    bool bSegmentsOk = 0x24 == pContent->Tag;
    for (const NodeEx* pSegment : pContent->vetNodes)
        bSegmentsOk = bSegmentsOk && 0x04 == pSegment->Tag && 0 == Children(pSegment);
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(0x04 == pContent->Tag || bSegmentsOk),
                           "true", "Check PKCS#7 content OCTET STRING", VOMU_E_PKCS7_FORMAT);
    pNodes->pContent = pContent;
    return VOMU_OK;
}

// Joins the content octets (of every segment) into one array with a zero octet after them.
int CopyContent(const NodeEx* pContent, SignedDataParts* pParts)
{
    const int nResult = JoinSegments(pParts->pszFunc, pContent, "!pbySourceData",
                                     &pParts->pContent);
    if (VOMU_OK != nResult) return nResult;
    pParts->nContent = (size_t)SegmentsSize(pContent);
    return VOMU_OK;
}

// The file reader hands out where the content lies; one segment at most, so it is one range.
int LocateContentInFile(const NodeEx* pContent, SignedDataParts* pParts)
{
    VOMU_FAIL_IF_REASON_IN(pParts->pszFunc, !(Children(pContent) <= 1), "true",
                           "Check PKCS#7 content segments",
                           VOMU_E_PKCS7_FORMAT);
    // An empty constructed string (24 00, or 24 80 00 00 whose value is only the
    // end-of-contents octets) holds no segment: an empty range where its value starts.
    const NodeEx* pPiece = Children(pContent) ? Child(pContent, 0) : pContent;
    const uint64_t nSize = SegmentsSize(pContent);
    VOMU_FAIL_IF_REASON_IN(pParts->pszFunc, !(nSize <= (uint64_t)INT_MAX), "true",
                           "Check PKCS#7 field size",
                           VOMU_E_PKCS7_FORMAT);
    pParts->nContentPosition = (long long)pPiece->ValueOffset;
    pParts->nContent = (size_t)nSize;
    return VOMU_OK;
}

int ReadContent(SignedDataNodes* pNodes, bool bFile, SignedDataParts* pParts)
{
    if (Children(pNodes->pContentInfo) < 2) {
        TRACE(TRACE_LEVEL_INFO, "It's a PKCS#7 detached signature");
        return VOMU_OK;
    }
    TRACE(TRACE_LEVEL_INFO, "It's a PKCS#7 attached signature");
    const int nResult = LocateContent(pNodes);
    if (VOMU_OK != nResult) return nResult;
    return bFile ? LocateContentInFile(pNodes->pContent, pParts)
                 : CopyContent(pNodes->pContent, pParts);
}

int LocateSignerInfo(SignedDataNodes* pNodes)
{
    const NodeEx* pSignerInfos = LastChild(pNodes->pSignedData);
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(IsNode(pSignerInfos, 0x31, 1)),
                           "true", "Check PKCS#7 'signerInfos' nodes", VOMU_E_PKCS7_FORMAT);
    const NodeEx* pSignerInfo = Child(pSignerInfos, 0);
    VOMU_FAIL_IF_REASON_IN(pNodes->pszFunc, !(IsNode(pSignerInfo, 0x30, 5)), "true",
                           "Check PKCS#7 'signerInfo' nodes",
                           VOMU_E_PKCS7_FORMAT);
    pNodes->pSignerInfo = pSignerInfo;
    size_t nNext = 3;
    if (Children(pSignerInfo) >= 6 && 0xA0 == Child(pSignerInfo, 3)->Tag)
        pNodes->pSignedAttrs = Child(pSignerInfo, nNext++);
    pNodes->pDigestEncAlg = Child(pSignerInfo, nNext++);
    pNodes->nSignature = nNext++;
    if (nNext + 1 == Children(pSignerInfo) && 0xA1 == LastChild(pSignerInfo)->Tag)
        pNodes->pUnsignedAttrs = LastChild(pSignerInfo);
    return VOMU_OK;
}

// The serial number of a Certificate (RFC 5280 4.1): tbsCertificate's second field after the
// explicit [0] version, its first in a version 1 certificate. Null when it is not there.
const NodeEx* CertificateSerial(const NodeEx* pCert)
{
    if (!IsNode(pCert, 0x30, 1) || !IsNode(Child(pCert, 0), 0x30, 1)) return NULL;
    const NodeEx* pTbs = Child(pCert, 0);
    const size_t nIndex = 0xA0 == Child(pTbs, 0)->Tag ? 1 : 0;
    if (Children(pTbs) <= nIndex || 0x02 != Child(pTbs, nIndex)->Tag) return NULL;
    return Child(pTbs, nIndex);
}

int CheckSignerInfoVersion(const char* pszFunc, const NodeEx* pSignerInfo)
{
    const NodeEx* pVersion = Child(pSignerInfo, 0);
    bool bOk = IsNode(pVersion, 0x02,
                      0) && 0 == Children(pVersion) && 1 == pVersion->LengthOctets &&
               pVersion->ValueLength >= 1;
    SourceOctets version(pszFunc);
    if (bOk && !version.Read(pVersion, (uint64_t)pVersion->ValueOffset,
                             1)) return version.Failure();
    bOk = bOk && 0x01 == version.Data()[0];
    VOMU_FAIL_IF_REASON_IN(pszFunc, !(bOk), "true", "Check PKCS#7 'signerInfo/version' node",
                           VOMU_E_PKCS7_FORMAT);
    return VOMU_OK;
}

// Among several certificates the signer's is the one with its serial number (the issuer is
// not compared). *ppCert stays null when none matches.
int FindSignerCertificate(const SignedDataNodes& nodes, const NodeEx* pCertificates,
                          const NodeEx** ppCert)
{
    int nResult = CheckSignerInfoVersion(nodes.pszFunc, nodes.pSignerInfo);
    if (VOMU_OK != nResult) return nResult;
    const NodeEx* pSid = Child(nodes.pSignerInfo, 1);
    VOMU_FAIL_IF_REASON_IN(nodes.pszFunc, !(IsNode(pSid, 0x30, 2) && 0x02 == Child(pSid, 1)->Tag),
                           "true", "Check PKCS#7 'signerInfo/issuerAndSerialNumber' node", VOMU_E_PKCS7_FORMAT);
    SourceOctets sid(nodes.pszFunc);
    if (!sid.Value(Child(pSid, 1))) return sid.Failure();
    for (const NodeEx* pCert : pCertificates->vetNodes) {
        const NodeEx* pSerial = CertificateSerial(pCert);
        VOMU_FAIL_IF_REASON_IN(nodes.pszFunc, !(NULL != pSerial), "true",
                               "Check PKCS#7 'certificates' nodes",
                               VOMU_E_PKCS7_FORMAT);
        if (pSerial->ValueLength != sid.Size()) continue;
        SourceOctets serial(nodes.pszFunc);
        if (!serial.Value(pSerial)) return serial.Failure();
        if (0 == memcmp(serial.Data(), sid.Data(), sid.Size())) {
            *ppCert = pCert;
            return VOMU_OK;
        }
    }
    return VOMU_OK;
}

int CopyTlv(const char* pszFunc, const NodeEx* pNode, const char* pszMemoryReason,
            OwnedArray<unsigned char>* ppCopy, size_t* pnSize)
{
    SourceOctets tlv(pszFunc);
    if (!tlv.Tlv(pNode)) return tlv.Failure();
    OwnedArray<unsigned char> pCopy = tlv.Copy();
    VOMU_FAIL_IF_REASON_IN(pszFunc, !pCopy, pszMemoryReason, "New memory", VOMU_E_FAIL);
    *ppCopy = std::move(pCopy);
    *pnSize = tlv.Size();
    return VOMU_OK;
}

int SelectCertificate(const SignedDataNodes& nodes, SignedDataParts* pParts)
{
    const NodeEx* pCertificates = Child(nodes.pSignedData, 3);
    if (0xA0 != pCertificates->Tag) return VOMU_OK;
    const NodeEx* pCert = NULL;
    if (1 == Children(pCertificates)) {
        pCert = Child(pCertificates, 0);
    } else {
        const int nResult = FindSignerCertificate(nodes, pCertificates, &pCert);
        if (VOMU_OK != nResult) return nResult;
    }
    if (NULL == pCert) return VOMU_OK;
    return CopyTlv(nodes.pszFunc, pCert, "!pbyCertData", &pParts->pCert, &pParts->nCert);
}

}  // namespace signeddata
}  // namespace morv
