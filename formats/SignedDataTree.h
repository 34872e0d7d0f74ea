#ifndef MORV_SIGNED_DATA_TREE_H
#define MORV_SIGNED_DATA_TREE_H

// Inside the positional SignedData readers (memory and file): the located nodes, the parts
// being read, and the steps shared by SignedDataLocate.cpp and SignedDataReader.cpp. Not for
// use outside formats/.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "FormatNodes.h"
#include "HandOver.h"
#include "VomuStep.h"
#include "vomu_result.h"

// Structural checks of the readers log the reason "true" (VOMU_FAIL_IF_REASON): the step text
// says what was wrong.

namespace morv {
namespace signeddata {

// Object identifier contents (X.690 8.19) the readers compare.
inline constexpr unsigned char kOidPKCS7SignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
inline constexpr unsigned char kOidPKCS7Data[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
inline constexpr unsigned char kOidSM2SignedData[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02};
inline constexpr unsigned char kOidSM2Data[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x01};

// Octets of a parsed tree's source: in place when it was parsed from memory; read from its
// file into the holder otherwise (the decoder has checked that they lie inside the file).
class SourceOctets {
public:
    // pszFunc: the reader whose step a failed read is.
    explicit SourceOctets(const char* pszFunc) : m_pszFunc(pszFunc) {}
    bool Read(const NodeEx* pNode, uint64_t nOffset, uint64_t nSize)
    {
        if (nSize > (uint64_t)INT_MAX) {
            Failed("Check PKCS#7 field size", VOMU_E_PKCS7_FORMAT, "true");
            m_nFailure = VOMU_E_PKCS7_FORMAT;
            return false;
        }
        m_nSize = (size_t)nSize;
        if (pNode->pSourceData) {
            m_pby = pNode->pSourceData + nOffset;
            return true;
        }
        m_pHeld = NewArray<unsigned char>(m_nSize);
        m_nFailure = VOMU_E_FAIL;
        if (!m_pHeld) {
            Failed("New memory", VOMU_E_FAIL, "!pbyFileValue");
            return false;
        }
        if (0 != fseeko(pNode->pSourceFile, (off_t)nOffset, SEEK_SET) ||
            m_nSize != fread(m_pHeld.get(), 1, m_nSize, pNode->pSourceFile)) {
            Failed("fread", VOMU_E_FAIL, "nSize != fread(pbyFileValue, 1, nSize, fp)");
            return false;
        }
        m_pby = m_pHeld.get();
        return true;
    }
    bool Value(const NodeEx* pNode) { return Read(pNode, (uint64_t)pNode->ValueOffset,
                                                  pNode->ValueLength); }
    bool Tlv(const NodeEx* pNode) { return Read(pNode, TlvStart(pNode), pNode->TotalLength); }

    const unsigned char* Data() const { return m_pby; }
    size_t Size() const { return m_nSize; }
    int Failure() const { return m_nFailure; }
    // A new[] copy of the octets; null when memory runs out.
    OwnedArray<unsigned char> Copy() const
    {
        OwnedArray<unsigned char> pCopy = NewArray<unsigned char>(m_nSize);
        if (pCopy && m_nSize) memcpy(pCopy.get(), m_pby, m_nSize);
        return pCopy;
    }

private:
    void Failed(const char* pszStep, int nCode, const char* pszReason)
    {
        StepFailed(__FILE__, __LINE__, m_pszFunc, pszStep, nCode, pszReason, false);
    }
    const char* m_pszFunc;
    const unsigned char* m_pby = NULL;
    size_t m_nSize = 0;
    OwnedArray<unsigned char> m_pHeld;
    int m_nFailure = VOMU_E_FAIL;
};

// The nodes of one SignedData, located once its shape has been checked.
struct SignedDataNodes {
    const NodeEx* pContentType = NULL;
    const NodeEx* pSignedData = NULL;
    const NodeEx* pContentInfo = NULL;
    const NodeEx* pContent = NULL;  // the OCTET STRING, primitive or constructed; null: detached
    const NodeEx* pSignerInfo = NULL;
    const NodeEx* pSignedAttrs = NULL;
    const NodeEx* pDigestEncAlg = NULL;
    size_t nSignature = 0;  // index of the signature field in the SignerInfo
    const NodeEx* pUnsignedAttrs = NULL;
    const char* pszFunc = NULL;  // the reader called: its name is on every step line
};

// What a reader hands out; filled step by step, handed over only when every step succeeded.
struct SignedDataParts {
    OwnedArray<unsigned char> pCert;
    size_t nCert = 0;
    OwnedArray<unsigned char> pSignature;
    size_t nSignature = 0;
    OwnedArray<unsigned char> pContent;  // memory reader
    size_t nContent = 0;
    long long nContentPosition = 0;      // file reader
    OwnedArray<char> pDigestAlg;
    size_t nDigestAlg = 0;
    OwnedArray<char> pDigestEncAlg;
    size_t nDigestEncAlg = 0;
    OwnedArray<unsigned char> pSignedAttrs;
    size_t nSignedAttrs = 0;
    OwnedArray<unsigned char> pUnsignedAttrs;
    size_t nUnsignedAttrs = 0;
    const char* pszFunc = NULL;  // as in SignedDataNodes
};

struct SignedDataRequest {
    const char* pszFunc;
    bool bFile;
    bool bDigestAlg;
    bool bDigestEncAlg;
    bool bSignedAttrs;
    bool bUnsignedAttrs;
};


// The step lines of the two algorithm identifiers' dotted texts, as every SignedData reader
// names them.
inline const morv::ObjectTextSteps kDigestAlgSteps = {
    "d2i_ASN1_OBJECT(DigestAlgOid)", "NULL == pstDigestAlgOid", "OBJ_obj2txt(1)",
    "OBJ_obj2txt(2)", "0 == nDigestAlgOidLength", "!pszDigestAlgOid"};
inline const morv::ObjectTextSteps kDigestEncAlgSteps = {
    "d2i_ASN1_OBJECT(DigestEncryptionAlgOid)", "NULL == pstDigestEncryptionAlgOid",
    "OBJ_obj2txt(3)", "OBJ_obj2txt(4)", "0 == nDigestEncryptionAlgOidLength",
    "!pszDigestEncryptionAlgOid"};

// The located parts, step by step (every one returns VOMU_OK or the failing step's code).
int LocateSignedData(const NodeEx* pRoot, bool bFile, SignedDataNodes* pNodes);
int ReadContent(SignedDataNodes* pNodes, bool bFile, SignedDataParts* pParts);
// The signer is the first SignerInfo (see PKCS7SignedDataOperations.h).
int LocateSignerInfo(SignedDataNodes* pNodes);
int SelectCertificate(const SignedDataNodes& nodes, SignedDataParts* pParts);
// A new copy of a whole element (tag, length and value).
int CopyTlv(const char* pszFunc, const NodeEx* pNode, const char* pszMemoryReason,
            OwnedArray<unsigned char>* ppCopy, size_t* pnSize);

}  // namespace signeddata
}  // namespace morv

#endif
