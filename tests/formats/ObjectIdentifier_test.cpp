// Object identifiers, AlgorithmIdentifiers and ContentInfo against OpenSSL: the openssl CLI
// (asn1parse -genstr encodes, asn1parse reads back) and libcrypto's DER readers.
#include <gtest/gtest.h>

#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>

#include "CMSEnvelopeOperations.h"
#include "DerTestUtil.h"
#include "HandOver.h"
#include "OpenSSLPeer.h"
#include "vomu_result.h"

using dertest::EncodeTree;
using peer::Bytes;

namespace {

Bytes EncodeOID(const char* pszOID, bool bWithTag, int* pnResult = nullptr)
{
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = Encode_ObjectIdentifier(pszOID, &pby, &n, bWithTag);
    if (pnResult) *pnResult = nResult;
    morv::OwnedArray<unsigned char> owned(pby);
    return VOMU_OK == nResult ? Bytes(pby, pby + n) : Bytes();
}

// The DER that `openssl asn1parse -genstr OID:<text>` writes.
Bytes OpenSSLCliOID(const std::string& oid)
{
    peer::TempFile out;
    std::string log;
    if (0 != peer::RunCommand("openssl asn1parse -noout -genstr 'OID:" + oid + "' -out " + out.Path(), &log))
        return Bytes();
    return out.Read();
}

// The dotted text libcrypto reads back from an OID TLV.
std::string OpenSSLReadOID(const Bytes& tlv)
{
    const unsigned char* p = tlv.data();
    morv::OsslPtr<ASN1_OBJECT> pObj(d2i_ASN1_OBJECT(NULL, &p, (long)tlv.size()));
    if (!pObj || p != tlv.data() + tlv.size()) return "(refused)";
    char sz[256];
    const int n = OBJ_obj2txt(sz, sizeof sz, pObj.get(), 1);
    return n > 0 ? std::string(sz) : "(refused)";
}

// Every OID the system writes, then edge cases of the X.690 8.19 encoding.
const char* const kValidOIDs[] = {
    "1.2.156.10197.1.301.1", "1.2.156.10197.1.301.3", "1.2.156.10197.1.401",
    "1.2.156.10197.1.104", "1.2.156.10197.1.301", "1.2.156.10197.6.1.4.2.1",
    "1.2.156.10197.6.1.4.2.2", "1.2.156.10197.6.1.4.2.3", "1.2.840.113549.1.9.4",
    "1.2.840.113549.1.9.3", "1.2.840.113549.1.7.1", "1.2.840.113549.1.7.2",
    "1.2.840.113549.1.7.3", "1.2.840.113549.1.1.1", "1.2.840.113549.3.7",
    "1.2.840.113549.3.4", "1.2.840.10045.2.1", "2.16.840.1.101.3.4.2.1", "1.3.14.3.2.26",
    "0.0", "0.39", "1.39", "2.0", "2.39", "2.40", "2.47", "2.48", "2.999", "2.16383",
    "2.16384", "2.4294967295", "2.18446744073709551616", "1.2.127", "1.2.128", "1.2.16383",
    "1.2.16384", "1.2.268435455", "1.2.268435456", "1.2.4294967295", "1.2.4294967296",
    "1.2.18446744073709551615", "1.2.340282366920938463463374607431768211456",
};

TEST(ObjectIdentifier, EncodesAsOpenSSLForEveryOIDAndEdgeCase)
{
    for (const char* pszOID : kValidOIDs) {
        SCOPED_TRACE(pszOID);
        const Bytes tlv = EncodeOID(pszOID, true);
        ASSERT_FALSE(tlv.empty());
        EXPECT_EQ(peer::Hex(OpenSSLCliOID(pszOID)), peer::Hex(tlv));
        EXPECT_EQ(pszOID, OpenSSLReadOID(tlv));
        const Bytes content = EncodeOID(pszOID, false);
        EXPECT_EQ(peer::Hex(tlv.data() + tlv.size() - content.size(), content.size()),
                  peer::Hex(content));
    }
}

TEST(ObjectIdentifier, KnownEncodings)
{
    // X.690 8.19 worked by hand for the system's identifiers.
    EXPECT_EQ("2A811CCF550168", peer::Hex(EncodeOID("1.2.156.10197.1.104", false)));
    EXPECT_EQ("06072A811CCF550168", peer::Hex(EncodeOID("1.2.156.10197.1.104", true)));
    EXPECT_EQ("06092A811CCF5501822D03", peer::Hex(EncodeOID("1.2.156.10197.1.301.3", true)));
    EXPECT_EQ("060A2A811CCF55060104020" "3", peer::Hex(EncodeOID("1.2.156.10197.6.1.4.2.3", true)));
    EXPECT_EQ("06092A864886F70D010101", peer::Hex(EncodeOID("1.2.840.113549.1.1.1", true)));
    EXPECT_EQ("06028837", peer::Hex(EncodeOID("2.999", true)));
}

TEST(ObjectIdentifier, RefusesMalformedText)
{
    const char* const kMalformed[] = {
        "", "1", "3.1", "1.40", "0.40", ".1.2", "1.2.", "1..2", "1.2.3 ", " 1.2", "1.2.3a",
        "1.2.-3", "1.2.+3", "01.2", "1.02", "1.2.0x10", "rsaEncryption", "sm2", "1,2,3",
    };
    for (const char* pszOID : kMalformed) {
        SCOPED_TRACE(std::string("[") + pszOID + "]");
        unsigned char* pby = reinterpret_cast<unsigned char*>(0x1);
        int n = -7;
        EXPECT_EQ(VOMU_E_FAIL, Encode_ObjectIdentifier(pszOID, &pby, &n, true));
        EXPECT_EQ(reinterpret_cast<unsigned char*>(0x1), pby);
        EXPECT_EQ(-7, n);
        NodeEx* pNode = NULL;
        EXPECT_EQ(VOMU_E_FAIL, ConstructNode_ObjectIdentifier(pszOID, &pNode));
        EXPECT_EQ(nullptr, pNode);
        EXPECT_EQ(VOMU_E_FAIL, ConstructNode_AlgorithmIdentifier(pszOID, NULL, 0, &pNode));
        EXPECT_EQ(nullptr, pNode);
    }
}

TEST(ObjectIdentifier, NodeEncodesToTheTLV)
{
    NodeEx* pNode = NULL;
    ASSERT_EQ(VOMU_OK, ConstructNode_ObjectIdentifier("1.2.156.10197.1.301.1", &pNode));
    std::unique_ptr<NodeEx> pOwned(pNode);
    EXPECT_EQ(0x06, pNode->Tag);
    EXPECT_EQ(peer::Hex(EncodeOID("1.2.156.10197.1.301.1", true)), peer::Hex(EncodeTree(pNode)));
}

struct AlgorithmCase {
    const char* pszOID;
    const char* pszParamHex;
    int nParamType;  // what libcrypto reads as the parameter: V_ASN1_UNDEF for none
};

TEST(AlgorithmIdentifier, EncodesWhatOpenSSLReadsBack)
{
    const AlgorithmCase kCases[] = {
        {"1.2.840.113549.1.1.1", "0500", V_ASN1_NULL},
        {"1.2.156.10197.1.104", "0410000102030405060708090A0B0C0D0E0F", V_ASN1_OCTET_STRING},
        {"1.2.840.113549.3.7", "04080102030405060708", V_ASN1_OCTET_STRING},
        {"1.2.156.10197.1.401", "", V_ASN1_UNDEF},
    };
    for (const AlgorithmCase& c : kCases) {
        SCOPED_TRACE(c.pszOID);
        Bytes param = peer::FromHex(c.pszParamHex);
        const Bytes oid = EncodeOID(c.pszOID, true);
        unsigned char* pby = NULL;
        int n = 0;
        ASSERT_EQ(VOMU_OK, Encode_AlgorithmIdentifier(c.pszOID, param.data(), (int)param.size(),
                                                      &pby, &n, false));
        morv::OwnedArray<unsigned char> content(pby);
        EXPECT_EQ(peer::Hex(oid) + c.pszParamHex, peer::Hex(pby, n));

        ASSERT_EQ(VOMU_OK, Encode_AlgorithmIdentifier(c.pszOID, param.data(), (int)param.size(),
                                                      &pby, &n, true));
        morv::OwnedArray<unsigned char> tlv(pby);
        const Bytes der(pby, pby + n);
        NodeEx* pNode = NULL;
        ASSERT_EQ(VOMU_OK, ConstructNode_AlgorithmIdentifier(c.pszOID, param.data(),
                                                             (int)param.size(), &pNode));
        std::unique_ptr<NodeEx> pOwned(pNode);
        EXPECT_EQ(peer::Hex(der), peer::Hex(EncodeTree(pNode)));

        const unsigned char* p = der.data();
        std::unique_ptr<X509_ALGOR, decltype(&X509_ALGOR_free)> pAlg(
            d2i_X509_ALGOR(NULL, &p, (long)der.size()), X509_ALGOR_free);
        ASSERT_TRUE(pAlg);
        EXPECT_EQ(der.data() + der.size(), p);
        const ASN1_OBJECT* pObj = NULL;
        int nType = 0;
        const void* pVal = NULL;
        X509_ALGOR_get0(&pObj, &nType, &pVal, pAlg.get());
        char sz[128];
        OBJ_obj2txt(sz, sizeof sz, pObj, 1);
        EXPECT_STREQ(c.pszOID, sz);
        EXPECT_EQ(c.nParamType, nType);
    }
}

TEST(AlgorithmIdentifier, CopiesParametersUnchecked)
{
    // Not DER at all: still copied octet for octet, never parsed.
    unsigned char byParam[] = {0xFF, 0x05, 0x00, 0x30};
    unsigned char* pby = NULL;
    int n = 0;
    ASSERT_EQ(VOMU_OK, Encode_AlgorithmIdentifier("1.2.840.113549.1.1.1", byParam, 4, &pby, &n, true));
    morv::OwnedArray<unsigned char> owned(pby);
    EXPECT_EQ("300F06092A864886F70D010101FF050030", peer::Hex(pby, n));
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              Encode_AlgorithmIdentifier("1.2.840.113549.1.1.1", NULL, 2, &pby, &n, true));
}

NodeEx* NewOctetString(const Bytes& value)
{
    NodeEx* pNode = new NodeEx();
    pNode->Tag = 0x04;
    pNode->pValue = new unsigned char[value.size()];
    memcpy(pNode->pValue, value.data(), value.size());
    pNode->ValueLength = pNode->CurrentValueLength = value.size();
    return pNode;
}

TEST(ContentInfo, IsAPKCS7ThatOpenSSLReads)
{
    const Bytes content = {'m', 'o', 'r', 'v', 0x00, 0xFF};
    NodeEx* pContentInfo = NULL;
    ASSERT_EQ(VOMU_OK, ConstructNode_ContentInfo("1.2.840.113549.1.7.1", NewOctetString(content),
                                                 &pContentInfo));
    std::unique_ptr<NodeEx> pOwned(pContentInfo);
    const Bytes der = EncodeTree(pContentInfo);
    ASSERT_FALSE(der.empty());

    const unsigned char* p = der.data();
    morv::OsslPtr<PKCS7> pP7(d2i_PKCS7(NULL, &p, (long)der.size()));
    ASSERT_TRUE(pP7);
    ASSERT_TRUE(PKCS7_type_is_data(pP7.get()));
    const ASN1_OCTET_STRING* pData = pP7->d.data;
    EXPECT_EQ(peer::Hex(content), peer::Hex(ASN1_STRING_get0_data(pData), ASN1_STRING_length(pData)));

    peer::TempFile file(der);
    std::string out;
    ASSERT_EQ(0, peer::RunCommand("openssl asn1parse -inform DER -in " + file.Path(), &out)) << out;
    EXPECT_NE(std::string::npos, out.find("pkcs7-data")) << out;
    EXPECT_NE(std::string::npos, out.find("cont [ 0 ]")) << out;
}

TEST(ContentInfo, CountsAHeaderOnlyContentWithItsDeclaredLength)
{
    // The envelope file writer streams a large content after the header: 1,000 octets
    // declared, none in memory.
    NodeEx* pLeaf = new NodeEx();
    pLeaf->Tag = 0x04;
    pLeaf->ValueLength = 1000;
    NodeEx* pContentInfo = NULL;
    ASSERT_EQ(VOMU_OK, ConstructNode_ContentInfo("1.2.156.10197.6.1.4.2.3", pLeaf, &pContentInfo));
    std::unique_ptr<NodeEx> pOwned(pContentInfo);
    const size_t nOID = EncodeOID("1.2.156.10197.6.1.4.2.3", true).size();
    const size_t nLeaf = 1 + 3 + 1000;  // 04 82 03 E8 ...
    EXPECT_EQ(nOID + 1 + 3 + nLeaf, pContentInfo->ValueLength);
    // In memory: 30 82 xx xx, the OID, A0 82 03 EC, 04 82 03 E8 and no value.
    const Bytes der = EncodeTree(pContentInfo);
    EXPECT_EQ(4 + nOID + 4 + 4, der.size());
}

TEST(ContentInfo, LeavesTheContentToTheCallerOnFailure)
{
    NodeEx* pContent = NewOctetString({1, 2, 3});
    NodeEx* pContentInfo = NULL;
    EXPECT_EQ(VOMU_E_FAIL, ConstructNode_ContentInfo("signedData", pContent, &pContentInfo));
    EXPECT_EQ(nullptr, pContentInfo);
    EXPECT_EQ(3u, pContent->ValueLength);  // still alive: ASan would catch a use after free
    delete pContent;
}

TEST(GetOIDFromNID, GivesOpenSSLsDottedText)
{
    const struct { int nNID; const char* pszOID; } kCases[] = {
        {NID_des_ede3_cbc, "1.2.840.113549.3.7"}, {NID_rc4, "1.2.840.113549.3.4"},
        {NID_sm3, "1.2.156.10197.1.401"}, {NID_sm2, "1.2.156.10197.1.301"},
        {NID_sm4_cbc, "1.2.156.10197.1.104.2"}, {NID_pkcs7_signed, "1.2.840.113549.1.7.2"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszOID);
        char* psz = NULL;
        int n = 0;
        ASSERT_EQ(VOMU_OK, GetOIDFromNID(c.nNID, &psz, &n));
        morv::OwnedArray<char> owned(psz);
        EXPECT_STREQ(c.pszOID, psz);
        EXPECT_EQ((int)strlen(c.pszOID), n);
    }
    for (int nNID : {NID_undef, -1, 99999}) {
        char* psz = NULL;
        int n = -7;
        EXPECT_EQ(VOMU_E_FAIL, GetOIDFromNID(nNID, &psz, &n));
        EXPECT_EQ(nullptr, psz);
        EXPECT_EQ(-7, n);
    }
}

}  // namespace
