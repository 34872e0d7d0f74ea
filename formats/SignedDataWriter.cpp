// The SignedData writer: one signer's certificate, signature and content to DER in memory,
// onto an open file, or into a file replaced only on success.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <memory>

#include "FormatNodes.h"
#include "HandOver.h"
#include "Misc.h"
#include "OutputFile.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "SMFileCertOperations.h"
#include "VomuStep.h"
#include "vomu_result.h"

using morv::OsslPtr;
using morv::OwnedArray;

namespace {

using morv::NewConstructedNode;
using NodePtr = std::unique_ptr<NodeEx>;

// Every SignedData and SignerInfo this system writes is version 1 (RFC 2315 9.1, 9.2).
const int kSignedDataVersion = 1;

// The certificate as embedded: DER as given, or the DER inside PEM text.
struct CertificateDER {
    const unsigned char* pbyDER = nullptr;
    int nSize = 0;
    morv::OpensslBytes pConverted;  // when converted from PEM
};

int ConvertCertificateToDER(const char* pszFunc, unsigned char* pbyCert, int nCertSize,
                            CertificateDER* pDER)
{
    OsslPtr<BIO> pBioCert(BIO_new_mem_buf(pbyCert, nCertSize));
    VOMU_FAIL_IF_OSSL_IN(pszFunc, NULL == pBioCert, "BIO_new_mem_buf", VOMU_E_FAIL);
    char* pszName = NULL;
    unsigned char* pbyConverted = NULL;
    long nDERSize = 0;
    // DER is no PEM text: that miss is expected and stays off the error queue.
    ERR_set_mark();
    const int nPEM = PEM_bytes_read_bio(&pbyConverted, &nDERSize, &pszName, PEM_STRING_X509,
                                        pBioCert.get(), NULL, NULL);
    ERR_pop_to_mark();
    morv::OpensslText pName(pszName);
    pDER->pConverted.reset(pbyConverted);
    if (1 == nPEM) {
        VOMU_FAIL_IF_IN(pszFunc, 0 >= nDERSize || nDERSize > INT_MAX, "PEM_bytes_read_bio",
                        VOMU_E_FAIL);
        pDER->pbyDER = pDER->pConverted.get();
        pDER->nSize = (int)nDERSize;
    } else {
        pDER->pbyDER = pbyCert;
        pDER->nSize = nCertSize;
    }
    return VOMU_OK;
}

int ConstructNode_SignerOfCert(const char* pszFunc, const CertificateDER& cert,
                               NodeEx** ppNode_IssuerAndSerialNumber)
{
    unsigned char* pbyIssuer = NULL;
    int nIssuerSize = 0;
    int nResult = GetIssuerFromCert((unsigned char*)cert.pbyDER, cert.nSize, &pbyIssuer,
                                    &nIssuerSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetIssuerFromCert", nResult);
    OwnedArray<unsigned char> pIssuer(pbyIssuer);
    unsigned char* pbySerialNumber = NULL;
    int nSerialNumberSize = 0;
    nResult = GetSerialNumberFromCert((unsigned char*)cert.pbyDER, cert.nSize, &pbySerialNumber,
                                      &nSerialNumberSize);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "GetSerialNumberFromCert", nResult);
    OwnedArray<unsigned char> pSerialNumber(pbySerialNumber);
    nResult = ConstructNode_IssuerAndSerialNumber(pIssuer.get(), nIssuerSize, pSerialNumber.get(),
                                                  nSerialNumberSize, ppNode_IssuerAndSerialNumber);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_IssuerAndSerialNumber", nResult);
    return VOMU_OK;
}

// The caller's attribute nodes are lent to the tree: taken out again before it is deleted.
class LentAttributes {
public:
    LentAttributes(NodeEx* pSigned,
                   NodeEx* pUnsigned) : m_pSigned(pSigned), m_pUnsigned(pUnsigned) {}
    ~LentAttributes()
    {
        TakeBack(m_pSigned);
        TakeBack(m_pUnsigned);
    }
    void LendTo(NodeEx* pSignerInfo) { m_pSignerInfo = pSignerInfo; }

private:
    void TakeBack(NodeEx* pNode)
    {
        if (!pNode || !m_pSignerInfo || pNode->pParent != m_pSignerInfo) return;
        std::vector<NodeEx*>& vetNodes = m_pSignerInfo->vetNodes;
        for (size_t i = 0; i < vetNodes.size(); i++) {
            if (vetNodes[i] == pNode) {
                vetNodes.erase(vetNodes.begin() + (std::ptrdiff_t)i);
                break;
            }
        }
        pNode->pParent = nullptr;
    }
    NodeEx* m_pSigned;
    NodeEx* m_pUnsigned;
    NodeEx* m_pSignerInfo = nullptr;
};

// SET { SignerInfo } for the certificate's issuer and serial.
int ConstructNode_SignerInfos(const char* pszFunc, const CertificateDER& cert,
                              const char* pszDigestAlgOID, NodeEx* pNode_SignedAttrs,
                              const char* pszDigestEncAlgOID, unsigned char* pbySignature,
                              int nSignatureSize, unsigned long fSignatureEncodedType,
                              NodeEx* pNode_UnsignedAttrs, LentAttributes* pLent,
                              NodeEx** ppNode_SignerInfoSet)
{
    NodeEx* pNode_IssuerAndSerialNumber = NULL;
    int nResult = ConstructNode_SignerOfCert(pszFunc, cert, &pNode_IssuerAndSerialNumber);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_SignerOfCert", nResult);
    NodePtr pIssuerAndSerialNumber(pNode_IssuerAndSerialNumber);
    NodePtr pSet(NewConstructedNode(0x31));
    VOMU_FAIL_IF_IN(pszFunc, !pSet, "new NodeEx(SignerInfoSet)", VOMU_E_FAIL);
    VOMU_FAIL_IF_IN(pszFunc, !morv::ReserveChildren(pSet.get(), 1),
                    "Reserve SignerInfoSet children", VOMU_E_FAIL);
    NodeEx* pNode_SignerInfo = NULL;
    nResult = ConstructNode_SignerInfo(kSignedDataVersion, pIssuerAndSerialNumber.get(),
                                       pszDigestAlgOID, pNode_SignedAttrs, pszDigestEncAlgOID,
                                       pbySignature, nSignatureSize, fSignatureEncodedType,
                                       pNode_UnsignedAttrs, &pNode_SignerInfo);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "ConstructNode_SignerInfo", nResult);
    pIssuerAndSerialNumber.release();
    pLent->LendTo(pNode_SignerInfo);
    pSet->AddChild(pNode_SignerInfo);
    *ppNode_SignerInfoSet = pSet.release();
    return VOMU_OK;
}

// The engine's file road streams a file-backed content leaf itself, so even a large content
// file is never held in memory.
int EncodeToFile(const char* pszFunc, NodeEx* pTree, FILE* fpOutFile, int* pnOutSize)
{
    // The count handed back is an int: an output it cannot hold is refused before a write.
    VOMU_FAIL_IF_IN(pszFunc, pTree->GetTotalRequiredSize() < 0, "Check ASN.1 data size",
                    VOMU_E_FILE_TOO_LARGE);
    int nWritten = 0;
    int nDeepLevel = 0;
    const int nResult = EncodeASN1ToFile(pTree, fpOutFile, &nWritten, &nDeepLevel);
    VOMU_FAIL_IF_IN(pszFunc, VOMU_OK != nResult, "EncodeASN1ToFile", nResult);
    // A small output can sit in the stream's buffer: a write it refuses shows only here.
    VOMU_FAIL_IF_IN(pszFunc, 0 != fflush(fpOutFile) || ferror(fpOutFile), "fflush(fpOutFile)",
                    VOMU_E_FAIL);
    if (pnOutSize) *pnOutSize = nWritten;
    return VOMU_OK;
}

bool IsSameFile(FILE* fpA, FILE* fpB)
{
    struct stat stA, stB;
    return 0 == fstat(fileno(fpA), &stA) && 0 == fstat(fileno(fpB), &stB) &&
           stA.st_dev == stB.st_dev && stA.st_ino == stB.st_ino;
}

// Whether the content would be read from the file the output goes to.
bool ReadsFromOutput(unsigned char* pbySourceData, FILE* fpSourceFile, bool bAttached,
                     unsigned char** ppbyDER, FILE* fpOutFile)
{
    return bAttached && !pbySourceData && fpSourceFile && !ppbyDER && fpOutFile &&
           IsSameFile(fpSourceFile, fpOutFile);
}

}  // namespace

int Encode_PKCS7Signature(unsigned char* pbyCert, int nCertSize, unsigned char* pbySourceData,
                          int nSourceDataSize, FILE* fpSourceFile, bool bAttached,
                          const char* pszContentTypeOID, const char* pszDataTypeOID,
                          const char* pszDigestAlgOID, NodeEx* pNode_SignedAttrs,
                          const char* pszDigestEncAlgOID, unsigned char* pbySignature,
                          int nSignatureSize, unsigned long fSignatureEncodedType,
                          NodeEx* pNode_UnsignedAttrs, unsigned char** ppbyDER, int* pnDERSize,
                          FILE* fpOutFile, int* pnOutSize)
{
    VOMU_FAIL_IF(NULL == pbyCert || 0 >= nCertSize || 0 > nSourceDataSize ||
                     (NULL != ppbyDER && NULL == pnDERSize),
                 "Check parameter", VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(ReadsFromOutput(pbySourceData, fpSourceFile, bAttached, ppbyDER, fpOutFile),
                 "Check source file is not the output file", VOMU_E_INVALID_ARG);
    CertificateDER cert;
    int nResult = ConvertCertificateToDER(__func__, pbyCert, nCertSize, &cert);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConvertCertificateToDER", nResult);

    // The owners come first, so the caller's attributes leave the tree before it is deleted.
    NodePtr pTree, pSignerInfoSet, pSignedData;
    LentAttributes lent(pNode_SignedAttrs, pNode_UnsignedAttrs);
    NodeEx* pNode_SignerInfoSet = NULL;
    nResult = ConstructNode_SignerInfos(
        __func__, cert, pszDigestAlgOID, pNode_SignedAttrs, pszDigestEncAlgOID, pbySignature,
        nSignatureSize, fSignatureEncodedType, pNode_UnsignedAttrs, &lent, &pNode_SignerInfoSet);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SignerInfos", nResult);
    pSignerInfoSet.reset(pNode_SignerInfoSet);
    NodeEx* pNode_SignedData = NULL;
    nResult = ConstructNode_SignedData(kSignedDataVersion, pszDigestAlgOID, pszDataTypeOID,
                                       pbySourceData, nSourceDataSize, fpSourceFile, bAttached,
                                       (unsigned char*)cert.pbyDER, cert.nSize,
                                       pSignerInfoSet.get(), &pNode_SignedData);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_SignedData", nResult);
    pSignerInfoSet.release();
    pSignedData.reset(pNode_SignedData);
    NodeEx* pNode_ContentInfo = NULL;
    nResult = ConstructNode_ContentInfo(pszContentTypeOID, pSignedData.get(), &pNode_ContentInfo);
    VOMU_FAIL_IF(VOMU_OK != nResult, "ConstructNode_ContentInfo", nResult);
    pSignedData.release();
    pTree.reset(pNode_ContentInfo);

    if (ppbyDER) {
        nResult = morv::EncodeTreeToCaller(__func__, pTree.get(), ppbyDER, pnDERSize);
        VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1ToMemory", nResult);
    } else if (fpOutFile) {
        nResult = EncodeToFile(__func__, pTree.get(), fpOutFile, pnOutSize);
        VOMU_FAIL_IF(VOMU_OK != nResult, "EncodeASN1ToFile", nResult);
    }
    return VOMU_OK;
}

namespace {

// Whether the content would be read from the file that the output replaces.
bool ReadsFromPath(unsigned char* pbySourceData, FILE* fpSourceFile, bool bAttached,
                   const char* pszOutFilePath)
{
    struct stat stSource, stOut;
    return bAttached && !pbySourceData && fpSourceFile &&
           0 == fstat(fileno(fpSourceFile), &stSource) && 0 == stat(pszOutFilePath, &stOut) &&
           stSource.st_dev == stOut.st_dev && stSource.st_ino == stOut.st_ino;
}

}  // namespace

int Encode_PKCS7SignatureToFile(unsigned char* pbyCert, int nCertSize,
                                unsigned char* pbySourceData, int nSourceDataSize,
                                FILE* fpSourceFile, bool bAttached, const char* pszContentTypeOID,
                                const char* pszDataTypeOID, const char* pszDigestAlgOID,
                                NodeEx* pNode_SignedAttrs, const char* pszDigestEncAlgOID,
                                unsigned char* pbySignature, int nSignatureSize,
                                unsigned long fSignatureEncodedType, NodeEx* pNode_UnsignedAttrs,
                                const char* pszOutFilePath, int* pnOutSize)
{
    VOMU_FAIL_IF(NULL == pszOutFilePath || '\0' == pszOutFilePath[0], "Check parameter",
                 VOMU_E_INVALID_ARG);
    VOMU_FAIL_IF(ReadsFromPath(pbySourceData, fpSourceFile, bAttached, pszOutFilePath),
                 "Check source file is not the output file", VOMU_E_INVALID_ARG);
    // Every argument is checked by building the structure once before an output exists.
    int nResult = Encode_PKCS7Signature(pbyCert, nCertSize, pbySourceData, nSourceDataSize,
                                        fpSourceFile, bAttached, pszContentTypeOID, pszDataTypeOID,
                                        pszDigestAlgOID, pNode_SignedAttrs, pszDigestEncAlgOID,
                                        pbySignature, nSignatureSize, fSignatureEncodedType,
                                        pNode_UnsignedAttrs, NULL, NULL, NULL, NULL);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_PKCS7Signature(check)", nResult);

    morv::OutputFile out;
    nResult = out.Create(pszOutFilePath);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Create temporary output file", nResult);
    int nWritten = 0;
    nResult = Encode_PKCS7Signature(pbyCert, nCertSize, pbySourceData, nSourceDataSize,
                                    fpSourceFile, bAttached, pszContentTypeOID, pszDataTypeOID,
                                    pszDigestAlgOID, pNode_SignedAttrs, pszDigestEncAlgOID,
                                    pbySignature, nSignatureSize, fSignatureEncodedType,
                                    pNode_UnsignedAttrs, NULL, NULL, out.File(), &nWritten);
    VOMU_FAIL_IF(VOMU_OK != nResult, "Encode_PKCS7Signature", nResult);
    nResult = out.Commit();
    VOMU_FAIL_IF(VOMU_OK != nResult, "Commit output file", nResult);
    if (pnOutSize) *pnOutSize = nWritten;
    return VOMU_OK;
}
