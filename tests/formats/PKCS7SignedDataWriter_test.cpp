// The PKCS#7 SignedData writer against OpenSSL 3: its DER codecs (object identifiers,
// attributes), the openssl CLI (smime -sign for RSA, cms -verify, asn1parse, dgst -sm3 for
// SM2) and its RSA signatures in the default library context.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DerTestUtil.h"
#include "HandOver.h"
#include "LogCapture.h"
#include "OpenSSLPeer.h"
#include "PKCS7SignedDataOperations.h"
#include "PkiFixtures.h"
#include "SMKernel.h"
#include "vomu_result.h"

using namespace dertest;  // Bytes and the hand-written DER pieces
using peer::ReadFileBytes;
using peer::WriteFileBytes;
using NodePtr = std::unique_ptr<NodeEx>;

namespace {

// The object identifiers the SM2 road writes (values from OpenSSL's own OID encoder below).
const char kSM2SignedData[] = "1.2.156.10197.6.1.4.2.2";
const char kSM2Data[] = "1.2.156.10197.6.1.4.2.1";
const char kSM3[] = "1.2.156.10197.1.401";
const char kSM2Sign[] = "1.2.156.10197.1.301.1";

// Equal bytes, or where they first differ (large outputs are not printed whole).
::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual)
{
    if (expected == actual) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) i++;
    return ::testing::AssertionFailure() << "sizes " << expected.size() << " and " << actual.size()
                                         << ", first difference at offset " << i;
}

// A file holding bytes, opened for reading and left at nPosition.
struct OpenFile {
    explicit OpenFile(const Bytes& bytes, long nPosition = 0) : file(bytes)
    {
        fp = fopen(file.Path().c_str(), "rb");
        if (fp) fseek(fp, nPosition, SEEK_SET);
    }
    ~OpenFile() { if (fp) fclose(fp); }
    peer::TempFile file;
    FILE* fp = nullptr;
};

NodePtr NewIssuerAndSerial(const Bytes& issuer, const Bytes& serial)
{
    NodeEx* pNode = NULL;
    Bytes i = issuer, s = serial;
    EXPECT_EQ(VOMU_OK, ConstructNode_IssuerAndSerialNumber(i.data(), (int)i.size(), s.data(),
                                                           (int)s.size(), &pNode));
    return NodePtr(pNode);
}

// A stand-in issuer Name and serial INTEGER: the writer copies them without parsing.
const Bytes kIssuer = Tlv(0x30, Tlv(0x31, Tlv(0x30, Cat({OidTlv("2.5.4.3"), Tlv(0x0C, {'C', 'A'})}))));
const Bytes kSerial = {0x02, 0x02, 0x10, 0x01};
const Bytes kCert = Tlv(0x30, {0x05, 0x00});  // a certificate's bytes are embedded unchanged
const Bytes kRSASignature = {0xDE, 0xAD, 0xBE, 0xEF};

// The SignerInfo the SignedData builder tests put in, with its expected DER.
NodePtr NewRSASignerInfoSet(Bytes* pExpected)
{
    NodeEx* pSignerInfo = NULL;
    Bytes sig = kRSASignature;
    NodePtr pIAS = NewIssuerAndSerial(kIssuer, kSerial);
    EXPECT_EQ(VOMU_OK, ConstructNode_SignerInfo(1, pIAS.get(), "2.16.840.1.101.3.4.2.1", NULL,
                                                "1.2.840.113549.1.1.1", sig.data(), (int)sig.size(),
                                                P7_SIGNATURE_RSA_PKCS1, NULL, &pSignerInfo));
    pIAS.release();
    NodePtr pSet(new NodeEx());
    pSet->Tag = 0x31;
    pSet->AddChild(pSignerInfo);
    *pExpected = Tlv(0x31, Tlv(0x30, Cat({{0x02, 0x01, 0x01}, Tlv(0x30, Cat({kIssuer, kSerial})),
                                          NullAlgorithm("2.16.840.1.101.3.4.2.1"),
                                          NullAlgorithm("1.2.840.113549.1.1.1"),
                                          Tlv(0x04, kRSASignature)})));
    return pSet;
}

// ---- builders ----

TEST(SignedDataBuilder, IssuerAndSerialNumberIsBothDERsInOneSequence)
{
    NodePtr pNode = NewIssuerAndSerial(kIssuer, kSerial);
    ASSERT_TRUE(pNode);
    EXPECT_EQ(peer::Hex(Tlv(0x30, Cat({kIssuer, kSerial}))), peer::Hex(EncodeTree(pNode.get())));

    NodeEx* pOut = NULL;
    Bytes i = kIssuer;
    EXPECT_EQ(VOMU_E_INVALID_ARG, ConstructNode_IssuerAndSerialNumber(i.data(), (int)i.size(), NULL, 0, &pOut));
    EXPECT_EQ(VOMU_E_INVALID_ARG, ConstructNode_IssuerAndSerialNumber(NULL, 0, i.data(), (int)i.size(), &pOut));
    EXPECT_EQ(nullptr, pOut);
}

// The contentInfo inside SignedData, by what the caller asks for.
TEST(SignedDataBuilder, ContentInfoByContentSource)
{
    const Bytes dataOid = OidTlv(kSM2Data);
    ASSERT_EQ("060A2A811CCF5506010402", peer::Hex(dataOid).substr(0, 22));
    const Bytes fileBytes = {'f', 'i', 'l', 'e', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'};
    const Bytes memBytes = {'m', 'e', 'm'};
    struct Case {
        const char* name;
        bool bAttached;
        bool bMemory;   // pass memory content (memBytes, or an empty buffer)
        bool bEmpty;
        bool bFile;     // pass the open file (positioned in its middle)
        Bytes expected;
    } cases[] = {
        {"detached", false, false, false, false, Tlv(0x30, dataOid)},
        {"detached ignores content", false, true, false, true, Tlv(0x30, dataOid)},
        {"attached memory", true, true, false, false, Tlv(0x30, Cat({dataOid, Tlv(0xA0, Tlv(0x04, memBytes))}))},
        {"attached empty", true, true, true, false, Tlv(0x30, Cat({dataOid, {0xA0, 0x02, 0x04, 0x00}}))},
        {"memory wins over file", true, true, false, true, Tlv(0x30, Cat({dataOid, Tlv(0xA0, Tlv(0x04, memBytes))}))},
        {"whole file from its start", true, false, false, true, Tlv(0x30, Cat({dataOid, Tlv(0xA0, Tlv(0x04, fileBytes))}))},
    };
    EXPECT_EQ("300C060A2A811CCF5506010402" "01", peer::Hex(cases[0].expected));
    for (const Case& c : cases) {
        OpenFile src(fileBytes, 5);
        ASSERT_TRUE(src.fp);
        Bytes expectedSignerInfos;
        NodePtr pSignerInfos = NewRSASignerInfoSet(&expectedSignerInfos);
        Bytes content = c.bEmpty ? Bytes() : memBytes;
        unsigned char byEmpty = 0;
        unsigned char* pbyContent = c.bMemory ? (c.bEmpty ? &byEmpty : content.data()) : NULL;
        Bytes cert = kCert;
        NodeEx* pSignedData = NULL;
        ASSERT_EQ(VOMU_OK, ConstructNode_SignedData(1, kSM3, kSM2Data, pbyContent, (int)content.size(),
                                                    c.bFile ? src.fp : NULL, c.bAttached, cert.data(),
                                                    (int)cert.size(), pSignerInfos.get(), &pSignedData))
            << c.name;
        pSignerInfos.release();
        NodePtr pTree(pSignedData);
        if (c.bFile && !c.bMemory && c.bAttached) {
            EXPECT_EQ(0, ftell(src.fp)) << c.name;
        }
        const Bytes expected = Tlv(0x30, Cat({{0x02, 0x01, 0x01},
                                              Tlv(0x31, NullAlgorithm(kSM3)), c.expected,
                                              Tlv(0xA0, kCert), expectedSignerInfos}));
        EXPECT_EQ(peer::Hex(expected), peer::Hex(EncodeTree(pTree.get()))) << c.name;
    }
}

TEST(SignedDataBuilder, AttachedWithoutContentFailsAndLeavesTheSignerInfosToTheCaller)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    Bytes unused;
    NodePtr pSignerInfos = NewRSASignerInfoSet(&unused);
    Bytes cert = kCert;
    NodeEx* pSignedData = NULL;
    EXPECT_EQ(VOMU_E_FAIL, ConstructNode_SignedData(1, kSM3, kSM2Data, NULL, 0, NULL, true, cert.data(),
                                                    (int)cert.size(), pSignerInfos.get(), &pSignedData));
    EXPECT_EQ(nullptr, pSignedData);
    EXPECT_TRUE(log.Contains("Check source data or file is not NUL"));
    EXPECT_TRUE(log.Contains("NULL == pbySourceData && NULL == fpSourceFile"));
    // A bad object identifier fails after the SignerInfos were handed in: still the caller's.
    EXPECT_NE(VOMU_OK, ConstructNode_SignedData(1, kSM3, "1.2.x", NULL, 0, NULL, false, cert.data(),
                                                (int)cert.size(), pSignerInfos.get(), &pSignedData));
    EXPECT_EQ(nullptr, pSignedData);
    EXPECT_EQ(nullptr, pSignerInfos->pParent);
}

TEST(SignedDataBuilder, SignerInfoPutsAttributesAroundTheAlgorithmsAndSignature)
{
    const Bytes rs = Cat({Bytes(32, 0x11), Bytes(32, 0x22)});
    NodeEx* pSigned = NULL;
    NodeEx* pUnsigned = NULL;
    Bytes value = {0x04, 0x01, 0xAA};
    ASSERT_EQ(VOMU_OK, ConstructNode_SignedAttributes_SingleItem("1.2.840.113549.1.9.4", value.data(),
                                                                 (int)value.size(), &pSigned));
    ASSERT_EQ(VOMU_OK, ConstructNode_UnsignedAttributes_SingleItem("1.2.840.113549.1.9.6", value.data(),
                                                                   (int)value.size(), &pUnsigned));
    const Bytes signedAttrs = EncodeTree(pSigned);
    const Bytes unsignedAttrs = EncodeTree(pUnsigned);
    NodePtr pIAS = NewIssuerAndSerial(kIssuer, kSerial);
    Bytes sig = rs;
    NodeEx* pSignerInfo = NULL;
    ASSERT_EQ(VOMU_OK, ConstructNode_SignerInfo(1, pIAS.get(), kSM3, pSigned, kSM2Sign, sig.data(), 64,
                                                P7_SIGNATURE_SM2_RAW_RS, pUnsigned, &pSignerInfo));
    pIAS.release();
    NodePtr pTree(pSignerInfo);
    const Bytes expected = Tlv(0x30, Cat({{0x02, 0x01, 0x01}, Tlv(0x30, Cat({kIssuer, kSerial})),
                                          NullAlgorithm(kSM3), signedAttrs, NullAlgorithm(kSM2Sign),
                                          Tlv(0x02, Bytes(32, 0x11)), Tlv(0x02, Bytes(32, 0x22)),
                                          unsignedAttrs}));
    EXPECT_EQ(peer::Hex(expected), peer::Hex(EncodeTree(pTree.get())));
    EXPECT_EQ("300C06082A811CCF550183110500", peer::Hex(NullAlgorithm(kSM3)));
    EXPECT_EQ("300D06092A811CCF5501822D010500", peer::Hex(NullAlgorithm(kSM2Sign)));
}

// A failing signature step leaves every node with the caller (the sanitizer build catches a
// double delete or a leak here).
TEST(SignedDataBuilder, FailedSignerInfoLeavesTheNodesToTheCaller)
{
    Bytes value = {0x05, 0x00};
    NodeEx* pSigned = NULL;
    NodeEx* pUnsigned = NULL;
    ASSERT_EQ(VOMU_OK, ConstructNode_SignedAttributes_SingleItem("1.2.3.4", value.data(), 2, &pSigned));
    ASSERT_EQ(VOMU_OK, ConstructNode_UnsignedAttributes_SingleItem("1.2.3.5", value.data(), 2, &pUnsigned));
    NodePtr pSignedOwner(pSigned), pUnsignedOwner(pUnsigned);
    NodePtr pIAS = NewIssuerAndSerial(kIssuer, kSerial);
    Bytes sig(64, 0x22);
    struct Case {
        unsigned long fType;
        int nSize;
        const char* pszDigestEncAlg;
        int nExpected;
    } cases[] = {
        {0x300, 64, kSM2Sign, VOMU_E_INVALID_ARG},
        {P7_SIGNATURE_SM2_RAW_RS, 63, kSM2Sign, VOMU_E_INVALID_ARG},
        {P7_SIGNATURE_SM2_OCTET_STRING_Q1, 64, "not an oid", VOMU_E_FAIL},
    };
    for (const Case& c : cases) {
        NodeEx* pSignerInfo = NULL;
        EXPECT_EQ(c.nExpected, ConstructNode_SignerInfo(1, pIAS.get(), kSM3, pSigned, c.pszDigestEncAlg,
                                                         sig.data(), c.nSize, c.fType, pUnsigned, &pSignerInfo))
            << std::hex << c.fType;
        EXPECT_EQ(nullptr, pSignerInfo);
        EXPECT_EQ(nullptr, pIAS->pParent);
        EXPECT_EQ(nullptr, pSigned->pParent);
        EXPECT_EQ(nullptr, pUnsigned->pParent);
    }
}

// Attribute and its SET against OpenSSL's X509_ATTRIBUTE encoding.
TEST(SignedDataBuilder, AttributeMatchesOpenSSL)
{
    morv::OsslPtr<ASN1_OBJECT> pData(OBJ_nid2obj(NID_pkcs7_data));
    X509_ATTRIBUTE* pAttr = X509_ATTRIBUTE_create(NID_pkcs9_contentType, V_ASN1_OBJECT, pData.release());
    ASSERT_TRUE(pAttr);
    const Bytes byOpenSSL = dertest::ByOpenSSL(i2d_X509_ATTRIBUTE, pAttr);
    X509_ATTRIBUTE_free(pAttr);

    Bytes values = OidTlv("1.2.840.113549.1.7.1");
    NodeEx* pAttribute = NULL;
    ASSERT_EQ(VOMU_OK, ConstructNode_Attribute("1.2.840.113549.1.9.3", values.data(), (int)values.size(),
                                               &pAttribute));
    NodePtr pTree(pAttribute);
    EXPECT_EQ(peer::Hex(byOpenSSL), peer::Hex(EncodeTree(pTree.get())));

    NodeEx* pEmpty = NULL;
    ASSERT_EQ(VOMU_OK, ConstructNode_Attribute("1.2.3.4", NULL, 0, &pEmpty));
    NodePtr pEmptyTree(pEmpty);
    EXPECT_EQ("300706032A0304" "3100", peer::Hex(EncodeTree(pEmpty)));
    EXPECT_EQ(VOMU_E_FAIL, ConstructNode_Attribute("1.2.", values.data(), (int)values.size(), &pEmpty));
    EXPECT_EQ(VOMU_E_INVALID_ARG, ConstructNode_Attribute("1.2.3", NULL, 2, &pEmpty));
}

TEST(SignedDataBuilder, AttributeSetsAdoptTheVectorInOrder)
{
    const struct {
        int (*build)(std::vector<NodeEx*>*, NodeEx**);
        unsigned char byTag;
    } kinds[] = {{ConstructNode_SignedAttributes, 0xA0}, {ConstructNode_UnsignedAttributes, 0xA1}};
    for (const auto& kind : kinds) {
        std::vector<NodeEx*> vet;
        Bytes expectedContent;
        for (const char* pszOID : {"1.2.3.9", "1.2.3.1", "1.2.3.5"}) {  // not in DER SET OF order
            Bytes v = {0x02, 0x01, 0x07};
            NodeEx* pAttribute = NULL;
            ASSERT_EQ(VOMU_OK, ConstructNode_Attribute(pszOID, v.data(), 3, &pAttribute));
            expectedContent = Cat({expectedContent, EncodeTree(pAttribute)});
            vet.push_back(pAttribute);
        }
        NodeEx* pSet = NULL;
        ASSERT_EQ(VOMU_OK, kind.build(&vet, &pSet));
        NodePtr pTree(pSet);
        for (NodeEx* p : vet) EXPECT_EQ(nullptr, p);
        EXPECT_EQ(peer::Hex(Tlv(kind.byTag, expectedContent)), peer::Hex(EncodeTree(pSet)));

        std::vector<NodeEx*> empty;
        NodeEx* pEmpty = NULL;
        ASSERT_EQ(VOMU_OK, kind.build(&empty, &pEmpty));
        NodePtr pEmptyTree(pEmpty);
        EXPECT_EQ(peer::Hex(Bytes{kind.byTag, 0x00}), peer::Hex(EncodeTree(pEmpty)));
        EXPECT_EQ(VOMU_E_INVALID_ARG, kind.build(NULL, &pEmpty));
    }
}

// ---- the whole SignedData ----

const std::string kPki = std::string(MORV_TEST_DATA_DIR) + "/pki/";
const char kRSASignedData[] = "1.2.840.113549.1.7.2";
const char kRSAData[] = "1.2.840.113549.1.7.1";
const char kSHA256[] = "2.16.840.1.101.3.4.2.1";
const char kRSAEncryption[] = "1.2.840.113549.1.1.1";

// PKCS#1 v1.5 signature of SHA-256(msg) by OpenSSL in the default library context.
Bytes RSASignByOpenSSL(const std::string& keyPath, const Bytes& msg)
{
    morv::OsslPtr<EVP_PKEY> pKey = peer::ReadPemKey(keyPath);
    morv::OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new());
    size_t n = 0;
    if (!pKey || !pCtx || 1 != EVP_DigestSignInit(pCtx.get(), NULL, EVP_sha256(), NULL, pKey.get()) ||
        1 != EVP_DigestSign(pCtx.get(), NULL, &n, msg.data(), msg.size()))
        return Bytes();
    Bytes sig(n);
    if (1 != EVP_DigestSign(pCtx.get(), sig.data(), &n, msg.data(), msg.size())) return Bytes();
    sig.resize(n);
    return sig;
}

// One signer: certificate, signature and the object identifiers of its road.
struct Signer {
    Bytes cert;
    Bytes signature;
    const char* pszContentType;
    const char* pszDataType;
    const char* pszDigest;
    const char* pszDigestEnc;
    unsigned long fType;
};

Signer RSASigner(const Bytes& msg)
{
    return {ReadFileBytes(kPki + "rsa/ee_sign.der"), RSASignByOpenSSL(kPki + "rsa/ee_sign.key", msg),
            kRSASignedData, kRSAData, kSHA256, kRSAEncryption, P7_SIGNATURE_RSA_PKCS1};
}

// Where the content comes from and where the DER goes.
enum class Source { kNone, kMemory, kFile };

struct Output {
    int nResult = -1;
    Bytes der;
};

Output EncodeToMemory(const Signer& s, const Bytes& msg, Source source, NodeEx* pSigned = NULL,
                      NodeEx* pUnsigned = NULL)
{
    OpenFile src(msg, (long)msg.size() / 2);
    Bytes cert = s.cert, sig = s.signature, content = msg;
    unsigned char byEmpty = 0;
    unsigned char* pbyContent = content.empty() ? &byEmpty : content.data();
    unsigned char* pbyDER = NULL;
    int nDER = 0;
    Output out;
    out.nResult = Encode_PKCS7Signature(
        cert.data(), (int)cert.size(), Source::kMemory == source ? pbyContent : NULL, (int)content.size(),
        Source::kFile == source ? src.fp : NULL, Source::kNone != source, s.pszContentType, s.pszDataType,
        s.pszDigest, pSigned, s.pszDigestEnc, sig.data(), (int)sig.size(), s.fType, pUnsigned, &pbyDER,
        &nDER, NULL, NULL);
    morv::OwnedArray<unsigned char> owned(pbyDER);
    if (VOMU_OK == out.nResult) out.der.assign(pbyDER, pbyDER + nDER);
    return out;
}

// Encode_PKCS7SignatureToFile onto pszPath, the count it reports checked against the file.
int EncodeToPath(const Signer& s, const Bytes& msg, Source source, const std::string& path,
                 FILE* fpSource = NULL)
{
    OpenFile src(msg, (long)msg.size() / 2);
    Bytes cert = s.cert, sig = s.signature, content = msg;
    unsigned char byEmpty = 0;
    unsigned char* pbyContent = content.empty() ? &byEmpty : content.data();
    int nWritten = -1;
    const int nResult = Encode_PKCS7SignatureToFile(
        cert.data(), (int)cert.size(), Source::kMemory == source ? pbyContent : NULL, (int)content.size(),
        Source::kFile == source ? (fpSource ? fpSource : src.fp) : NULL, Source::kNone != source,
        s.pszContentType, s.pszDataType, s.pszDigest, NULL, s.pszDigestEnc, sig.data(), (int)sig.size(),
        s.fType, NULL, path.c_str(), &nWritten);
    if (VOMU_OK == nResult) {
        EXPECT_EQ((int)ReadFileBytes(path).size(), nWritten);
    }
    return nResult;
}

class SignedDataWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(VOMU_OK, SMKernelInitialize());
        m_dir = morv_test::MakeTempDir();
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override { morv_test::RemoveTree(m_dir); }
    std::string PathOf(const std::string& name) const { return m_dir + "/" + name; }
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        DIR* pDir = opendir(m_dir.c_str());
        for (dirent* p = pDir ? readdir(pDir) : NULL; p; p = readdir(pDir))
            if (std::string(".") != p->d_name && std::string("..") != p->d_name) names.push_back(p->d_name);
        if (pDir) closedir(pDir);
        return names;
    }
    std::string m_dir;
};

TEST_F(SignedDataWriter, RSADetachedIsByteIdenticalToOpenSSLSmime)
{
    for (const char* pszMsg : {"msg_0.bin", "msg_1.bin", "msg_16385.bin"}) {
        const std::string msgPath = kPki + pszMsg;
        const Bytes msg = ReadFileBytes(msgPath);
        const std::string smimePath = PathOf("smime.der");
        std::string log;
        ASSERT_EQ(0, peer::RunCommand("openssl smime -sign -binary -noattr -md sha256 -outform DER -signer " +
                                          kPki + "rsa/ee_sign.pem -inkey " + kPki + "rsa/ee_sign.key -in " +
                                          msgPath + " -out " + smimePath, &log))
            << log;
        const Output ours = EncodeToMemory(RSASigner(msg), msg, Source::kNone);
        ASSERT_EQ(VOMU_OK, ours.nResult) << pszMsg;
        EXPECT_EQ(peer::Hex(ReadFileBytes(smimePath)), peer::Hex(ours.der)) << pszMsg;
    }
}

// openssl cms -verify over our DER (the chain's two CAs trusted); the content it recovers
// (attached) or was given goes to outPath.
int CmsVerify(const std::string& derPath, const std::string& contentPath, const std::string& outPath,
              std::string* pLog)
{
    const std::string caPath = outPath + ".ca.pem";
    if (!WriteFileBytes(caPath, Cat({ReadFileBytes(kPki + "rsa/root.pem"), ReadFileBytes(kPki + "rsa/int.pem")})))
        return -1;
    return peer::RunCommand("openssl cms -verify -binary -inform DER -in " + derPath +
                                (contentPath.empty() ? "" : " -content " + contentPath) + " -CAfile " + caPath +
                                " -purpose any -no_check_time -out " + outPath,
                            pLog);
}

TEST_F(SignedDataWriter, OpenSSLCmsVerifiesOurRSASignedData)
{
    const std::string msgPath = kPki + "msg_16384.bin";
    const Bytes msg = ReadFileBytes(msgPath);
    const Signer signer = RSASigner(msg);
    struct Case {
        const char* name;
        Source source;
        bool bToPath;
    } cases[] = {
        {"detached", Source::kNone, false},
        {"attached from memory", Source::kMemory, false},
        {"attached from a file, into a file", Source::kFile, true},
    };
    for (const Case& c : cases) {
        const std::string derPath = PathOf("sig.der");
        if (c.bToPath) {
            ASSERT_EQ(VOMU_OK, EncodeToPath(signer, msg, c.source, derPath)) << c.name;
        } else {
            const Output ours = EncodeToMemory(signer, msg, c.source);
            ASSERT_EQ(VOMU_OK, ours.nResult) << c.name;
            ASSERT_TRUE(WriteFileBytes(derPath, ours.der));
        }
        std::string log;
        EXPECT_EQ(0, CmsVerify(derPath, Source::kNone == c.source ? msgPath : "", PathOf("out.bin"), &log))
            << c.name << ": " << log;
        EXPECT_TRUE(msg == ReadFileBytes(PathOf("out.bin"))) << c.name;
    }
    // A signature over other content is refused, so the check above means something.
    Bytes other = msg;
    other[0] ^= 1;
    const Output forged = EncodeToMemory(RSASigner(other), msg, Source::kMemory);
    ASSERT_TRUE(WriteFileBytes(PathOf("forged.der"), forged.der));
    std::string log;
    EXPECT_NE(0, CmsVerify(PathOf("forged.der"), "", PathOf("out.bin"), &log));
}

// The file roads give exactly the memory writer's bytes, around the block size too.
TEST_F(SignedDataWriter, FileWriterMatchesMemoryWriter)
{
    for (const char* pszMsg : {"msg_0.bin", "msg_16383.bin", "msg_16384.bin", "msg_16385.bin", "msg_102400.bin"}) {
        const Bytes msg = ReadFileBytes(kPki + pszMsg);
        const Signer signer = RSASigner(msg);
        const Output reference = EncodeToMemory(signer, msg, Source::kMemory);
        ASSERT_EQ(VOMU_OK, reference.nResult) << pszMsg;
        ASSERT_GT(reference.der.size(), msg.size());
        EXPECT_TRUE(SameBytes(reference.der, EncodeToMemory(signer, msg, Source::kFile).der)) << pszMsg;
        for (Source source : {Source::kFile, Source::kMemory}) {
            const std::string path = PathOf("out.p7");
            ASSERT_EQ(VOMU_OK, EncodeToPath(signer, msg, source, path)) << pszMsg;
            EXPECT_TRUE(SameBytes(reference.der, ReadFileBytes(path))) << pszMsg;
        }
        const Output detached = EncodeToMemory(signer, msg, Source::kNone);
        ASSERT_TRUE(WriteFileBytes(PathOf("out.p7"), Bytes{'o', 'l', 'd'}));
        ASSERT_EQ(VOMU_OK, EncodeToPath(signer, msg, Source::kNone, PathOf("out.p7"))) << pszMsg;
        EXPECT_EQ(peer::Hex(detached.der), peer::Hex(ReadFileBytes(PathOf("out.p7")))) << pszMsg;
        EXPECT_EQ(std::vector<std::string>{"out.p7"}, Entries());
    }
    // The file gets the mode a file opened with fopen "wb" gets, not a temporary file's 0600.
    const mode_t nUmask = umask(022);
    umask(nUmask);
    struct stat st;
    ASSERT_EQ(0, stat(PathOf("out.p7").c_str(), &st));
    EXPECT_EQ(0666u & ~nUmask, st.st_mode & 0777u);
}

// The FILE* road: output at the stream's position, the count, the choice of output.
TEST_F(SignedDataWriter, StreamOutputChoices)
{
    const Bytes msg = ReadFileBytes(kPki + "msg_16385.bin");
    Signer signer = RSASigner(msg);
    const Output reference = EncodeToMemory(signer, msg, Source::kMemory);
    OpenFile src(msg, 7);
    FILE* fpOut = fopen(PathOf("stream.p7").c_str(), "wb");
    ASSERT_TRUE(fpOut);
    ASSERT_EQ(3u, fwrite("pre", 1, 3, fpOut));
    int nWritten = -1;
    ASSERT_EQ(VOMU_OK, Encode_PKCS7Signature(signer.cert.data(), (int)signer.cert.size(), NULL, 0, src.fp, true,
                                             kRSASignedData, kRSAData, kSHA256, NULL, kRSAEncryption,
                                             signer.signature.data(), (int)signer.signature.size(),
                                             P7_SIGNATURE_RSA_PKCS1, NULL, NULL, NULL, fpOut, &nWritten));
    // Without outLen, and with both outputs (memory wins, the stream is not written).
    ASSERT_EQ(VOMU_OK, Encode_PKCS7Signature(signer.cert.data(), (int)signer.cert.size(), NULL, 0, src.fp, true,
                                             kRSASignedData, kRSAData, kSHA256, NULL, kRSAEncryption,
                                             signer.signature.data(), (int)signer.signature.size(),
                                             P7_SIGNATURE_RSA_PKCS1, NULL, NULL, NULL, fpOut, NULL));
    unsigned char* pbyDER = NULL;
    int nDER = 0;
    ASSERT_EQ(VOMU_OK, Encode_PKCS7Signature(signer.cert.data(), (int)signer.cert.size(), NULL, 0, src.fp, true,
                                             kRSASignedData, kRSAData, kSHA256, NULL, kRSAEncryption,
                                             signer.signature.data(), (int)signer.signature.size(),
                                             P7_SIGNATURE_RSA_PKCS1, NULL, &pbyDER, &nDER, fpOut, &nWritten));
    morv::OwnedArray<unsigned char> owned(pbyDER);
    EXPECT_TRUE(SameBytes(reference.der, Bytes(pbyDER, pbyDER + nDER)));
    // Neither output: built and checked only.
    EXPECT_EQ(VOMU_OK, Encode_PKCS7Signature(signer.cert.data(), (int)signer.cert.size(), NULL, 0, src.fp, true,
                                             kRSASignedData, kRSAData, kSHA256, NULL, kRSAEncryption,
                                             signer.signature.data(), (int)signer.signature.size(),
                                             P7_SIGNATURE_RSA_PKCS1, NULL, NULL, NULL, NULL, NULL));
    ASSERT_EQ(0, fclose(fpOut));
    EXPECT_EQ((int)reference.der.size(), nWritten);
    const Bytes expected = Cat({{'p', 'r', 'e'}, reference.der, reference.der});
    EXPECT_TRUE(SameBytes(expected, ReadFileBytes(PathOf("stream.p7"))));
}

TEST_F(SignedDataWriter, PEMCertificateIsEmbeddedAsDER)
{
    const Bytes msg = {'a', 'b', 'c'};
    Signer signer = RSASigner(msg);
    const Output fromDER = EncodeToMemory(signer, msg, Source::kMemory);
    signer.cert = ReadFileBytes(kPki + "rsa/ee_sign.pem");
    const Output fromPEM = EncodeToMemory(signer, msg, Source::kMemory);
    ASSERT_EQ(VOMU_OK, fromPEM.nResult);
    EXPECT_EQ(peer::Hex(fromDER.der), peer::Hex(fromPEM.der));
    const Bytes der = ReadFileBytes(kPki + "rsa/ee_sign.der");
    EXPECT_NE(std::string::npos, peer::Hex(fromPEM.der).find(peer::Hex(der)));
}

// The caller's attribute nodes are lent: after any call they are the caller's, unchanged.
TEST_F(SignedDataWriter, AttributeNodesStayTheCallers)
{
    const Bytes msg = {'a', 'b', 'c'};
    Signer signer = RSASigner(msg);
    Bytes value = Tlv(0x04, Bytes(32, 0x5A));
    NodeEx* pSigned = NULL;
    NodeEx* pUnsigned = NULL;
    ASSERT_EQ(VOMU_OK, ConstructNode_SignedAttributes_SingleItem("1.2.840.113549.1.9.4", value.data(),
                                                                 (int)value.size(), &pSigned));
    ASSERT_EQ(VOMU_OK, ConstructNode_UnsignedAttributes_SingleItem("1.2.840.113549.1.9.6", value.data(),
                                                                   (int)value.size(), &pUnsigned));
    NodePtr pSignedOwner(pSigned), pUnsignedOwner(pUnsigned);
    const Bytes signedAttrs = EncodeTree(pSigned), unsignedAttrs = EncodeTree(pUnsigned);
    const Output first = EncodeToMemory(signer, msg, Source::kMemory, pSigned, pUnsigned);
    ASSERT_EQ(VOMU_OK, first.nResult);
    const std::string hex = peer::Hex(first.der);
    EXPECT_NE(std::string::npos, hex.find(peer::Hex(signedAttrs) + peer::Hex(NullAlgorithm(kRSAEncryption))));
    EXPECT_EQ(hex.size() - peer::Hex(unsignedAttrs).size(), hex.rfind(peer::Hex(unsignedAttrs)));
    EXPECT_EQ(nullptr, pSigned->pParent);
    EXPECT_EQ(peer::Hex(signedAttrs), peer::Hex(EncodeTree(pSigned)));
    EXPECT_EQ(peer::Hex(first.der), peer::Hex(EncodeToMemory(signer, msg, Source::kMemory, pSigned, pUnsigned).der));
    // Failures before and after the SignerInfo is built.
    Signer badCert = signer;
    badCert.cert = Bytes(40, 0x30);
    EXPECT_EQ(VOMU_E_FAIL, EncodeToMemory(badCert, msg, Source::kMemory, pSigned, pUnsigned).nResult);
    Signer badOid = signer;
    badOid.pszContentType = "1..2";
    EXPECT_EQ(VOMU_E_FAIL, EncodeToMemory(badOid, msg, Source::kMemory, pSigned, pUnsigned).nResult);
    EXPECT_EQ(nullptr, pSigned->pParent);
    EXPECT_EQ(nullptr, pUnsigned->pParent);
    EXPECT_EQ(peer::Hex(unsignedAttrs), peer::Hex(EncodeTree(pUnsigned)));
}

// Every failure of the path writer leaves the directory as it was: no output, no temporary
// file, an existing output untouched.
TEST_F(SignedDataWriter, FailedFileWriteLeavesNothingBehind)
{
    const Bytes msg = ReadFileBytes(kPki + "msg_102400.bin");
    const Signer good = RSASigner(msg);
    Signer unknownType = good;
    unknownType.fType = 0x300;
    Signer notACert = good;
    notACert.cert = Bytes(100, 0x41);
    Signer badOid = good;
    badOid.pszDigest = "2.16.840.1.101.3.4.2.";
    const rlim_t kSmallFileLimit = 20000;  // shorter than the output: a write fails midway
    struct Case {
        const char* name;
        const Signer* signer;
        Source source;
        bool bWriteLimit;
        int nExpected;  // 0: any failure
    } cases[] = {
        {"unknown signature type", &unknownType, Source::kFile, false, VOMU_E_INVALID_ARG},
        {"not a certificate", &notACert, Source::kMemory, false, VOMU_E_FAIL},
        {"bad object identifier", &badOid, Source::kFile, false, VOMU_E_FAIL},
        {"write fails, content from a file", &good, Source::kFile, true, 0},
        {"write fails, content from memory", &good, Source::kMemory, true, 0},
    };
    signal(SIGXFSZ, SIG_IGN);
    for (const Case& c : cases) {
        for (bool bExisting : {false, true}) {
            const std::string path = PathOf("out.p7");
            unlink(path.c_str());
            if (bExisting) {
                ASSERT_TRUE(WriteFileBytes(path, Bytes{'o', 'l', 'd'}));
            }
            rlimit old;
            ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
            rlimit limited = old;
            limited.rlim_cur = kSmallFileLimit;
            if (c.bWriteLimit) {
                ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
            }
            const int nResult = EncodeToPath(*c.signer, msg, c.source, path);
            ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));
            if (c.nExpected) {
                EXPECT_EQ(c.nExpected, nResult) << c.name;
            } else {
                EXPECT_NE(VOMU_OK, nResult) << c.name;
            }
            EXPECT_EQ(bExisting ? std::vector<std::string>{"out.p7"} : std::vector<std::string>{}, Entries())
                << c.name;
            if (bExisting) {
                EXPECT_EQ("6F6C64", peer::Hex(ReadFileBytes(path))) << c.name;
            }
        }
    }
    unlink(PathOf("out.p7").c_str());
    EXPECT_EQ(VOMU_E_OPEN_FILE, EncodeToPath(good, msg, Source::kFile, PathOf("no/such/dir.p7")));
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncodeToPath(good, msg, Source::kFile, ""));
    // The output path names a directory: refused when the output is opened, nothing made.
    ASSERT_EQ(0, mkdir(PathOf("dir.p7").c_str(), 0755));
    EXPECT_EQ(VOMU_E_OPEN_FILE, EncodeToPath(good, msg, Source::kNone, PathOf("dir.p7")));
    EXPECT_EQ(std::vector<std::string>{"dir.p7"}, Entries());
}

// Signing a file into itself is refused on both roads before anything is written.
TEST_F(SignedDataWriter, ContentFileThatIsTheOutputIsRefused)
{
    const Bytes msg = ReadFileBytes(kPki + "msg_16385.bin");
    const Signer signer = RSASigner(msg);
    const std::string path = PathOf("self.bin");
    ASSERT_TRUE(WriteFileBytes(path, msg));
    FILE* fpIn = fopen(path.c_str(), "rb");
    ASSERT_TRUE(fpIn);
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncodeToPath(signer, msg, Source::kFile, path, fpIn));
    FILE* fpOut = fopen(path.c_str(), "ab");
    ASSERT_TRUE(fpOut);
    Bytes cert = signer.cert, sig = signer.signature;
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              Encode_PKCS7Signature(cert.data(), (int)cert.size(), NULL, 0, fpIn, true, kRSASignedData, kRSAData,
                                    kSHA256, NULL, kRSAEncryption, sig.data(), (int)sig.size(),
                                    P7_SIGNATURE_RSA_PKCS1, NULL, NULL, NULL, fpOut, NULL));
    fclose(fpOut);
    fclose(fpIn);
    EXPECT_TRUE(SameBytes(msg, ReadFileBytes(path)));
    EXPECT_EQ(std::vector<std::string>{"self.bin"}, Entries());
}

// A stream that refuses writes fails the call, on the encoder's road and on the streamed one,
// also when the whole output would sit in the stream's buffer until it is flushed.
TEST_F(SignedDataWriter, StreamWriteFailureIsReported)
{
    const Bytes large = ReadFileBytes(kPki + "msg_102400.bin");
    const Bytes small = {'s', 'm', 'a', 'l', 'l'};
    for (const Bytes* pMsg : {&small, &large}) {
        Signer signer = RSASigner(*pMsg);
        for (bool bFromFile : {false, true}) {
            OpenFile src(*pMsg);
            Bytes content = *pMsg;
            FILE* fpFull = fopen("/dev/full", "wb");
            ASSERT_TRUE(fpFull);
            int nWritten = -1;
            EXPECT_EQ(VOMU_E_FAIL,
                      Encode_PKCS7Signature(signer.cert.data(), (int)signer.cert.size(),
                                            bFromFile ? NULL : content.data(), (int)content.size(),
                                            bFromFile ? src.fp : NULL, true, kRSASignedData, kRSAData, kSHA256,
                                            NULL, kRSAEncryption, signer.signature.data(),
                                            (int)signer.signature.size(), P7_SIGNATURE_RSA_PKCS1, NULL, NULL,
                                            NULL, fpFull, &nWritten))
                << content.size() << (bFromFile ? " from a file" : " from memory");
            EXPECT_EQ(-1, nWritten);
            fclose(fpFull);
        }
    }
}

// A content stream that can tell its size but not be read (opened for appending only).
TEST_F(SignedDataWriter, UnreadableContentFileFails)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const Bytes msg = ReadFileBytes(kPki + "msg_16385.bin");
    const Signer signer = RSASigner(msg);
    const std::string srcPath = PathOf("content.bin");
    ASSERT_TRUE(WriteFileBytes(srcPath, msg));
    FILE* fpWriteOnly = fopen(srcPath.c_str(), "ab");
    ASSERT_TRUE(fpWriteOnly);
    EXPECT_EQ(VOMU_E_FAIL, EncodeToPath(signer, msg, Source::kFile, PathOf("out.p7"), fpWriteOnly));
    EXPECT_EQ(std::vector<std::string>{"content.bin"}, Entries());
    FILE* fpOut = fopen(PathOf("stream.p7").c_str(), "wb");
    ASSERT_TRUE(fpOut);
    Bytes cert = signer.cert, sig = signer.signature;
    unsigned char* pbyDER = NULL;
    int nDER = 0;
    for (bool bToStream : {true, false}) {
        EXPECT_EQ(VOMU_E_FAIL, Encode_PKCS7Signature(cert.data(), (int)cert.size(), NULL, 0, fpWriteOnly, true,
                                                     kRSASignedData, kRSAData, kSHA256, NULL, kRSAEncryption,
                                                     sig.data(), (int)sig.size(), P7_SIGNATURE_RSA_PKCS1, NULL,
                                                     bToStream ? NULL : &pbyDER, &nDER, fpOut, NULL))
            << bToStream;
        EXPECT_EQ(nullptr, pbyDER);
    }
    fclose(fpOut);
    fclose(fpWriteOnly);
    EXPECT_TRUE(SameBytes(msg, ReadFileBytes(srcPath)));
    // The encoder's file road reads the content and reports the short read.
    EXPECT_TRUE(log.Contains(" -- fread)\t\t--Failed")) << log.Contents();
    EXPECT_TRUE(log.Contains("(Encode_PKCS7Signature -- EncodeASN1ToFile)\t\t--Failed:(0xffffffff)"))
        << log.Contents();
}

// Content files whose size the int counts of this format cannot hold are refused before
// anything is read or written (sparse files: nothing is stored on disk).
TEST_F(SignedDataWriter, ContentFileSizeLimits)
{
    const Bytes msg = {'x'};
    Signer signer = RSASigner(msg);
    const struct {
        long long nSize;
        bool bToStream;
        int nExpected;
    } cases[] = {
        {1LL << 31, false, VOMU_E_FILE_TOO_LARGE},
        {1LL << 31, true, VOMU_E_FILE_TOO_LARGE},
        {(1LL << 31) - 1, true, VOMU_E_FILE_TOO_LARGE},  // the output would pass INT_MAX
        {(1LL << 31) - 1, false, VOMU_E_ASN1_TOO_LARGE},
        {MAX_ASN1_DATA_MEMORY_SIZE, false, VOMU_E_ASN1_TOO_LARGE},
    };
    for (const auto& c : cases) {
        const std::string srcPath = PathOf("sparse.bin");
        FILE* fpSrc = fopen(srcPath.c_str(), "wb+");
        ASSERT_TRUE(fpSrc);
        ASSERT_EQ(0, ftruncate(fileno(fpSrc), (off_t)c.nSize));
        FILE* fpOut = fopen(PathOf("out.p7").c_str(), "wb");
        ASSERT_TRUE(fpOut);
        unsigned char* pbyDER = NULL;
        int nDER = 0;
        EXPECT_EQ(c.nExpected, Encode_PKCS7Signature(signer.cert.data(), (int)signer.cert.size(), NULL, 0, fpSrc, true,
                                                     kRSASignedData, kRSAData, kSHA256, NULL, kRSAEncryption,
                                                     signer.signature.data(), (int)signer.signature.size(),
                                                     P7_SIGNATURE_RSA_PKCS1, NULL, c.bToStream ? NULL : &pbyDER,
                                                     &nDER, fpOut, NULL))
            << c.nSize << (c.bToStream ? " to a stream" : " to memory");
        EXPECT_EQ(nullptr, pbyDER);
        fclose(fpOut);
        fclose(fpSrc);
        EXPECT_EQ(0u, ReadFileBytes(PathOf("out.p7")).size());
    }
    // A stream that cannot tell its size (a pipe) is refused as well.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    FILE* fpPipe = fdopen(fds[0], "rb");
    ASSERT_TRUE(fpPipe);
    ASSERT_EQ(1, write(fds[1], "x", 1));
    close(fds[1]);
    unsigned char* pbyDER = NULL;
    int nDER = 0;
    EXPECT_EQ(VOMU_E_FAIL, Encode_PKCS7Signature(signer.cert.data(), (int)signer.cert.size(), NULL, 0, fpPipe, true,
                                                 kRSASignedData, kRSAData, kSHA256, NULL, kRSAEncryption,
                                                 signer.signature.data(), (int)signer.signature.size(),
                                                 P7_SIGNATURE_RSA_PKCS1, NULL, &pbyDER, &nDER, NULL, NULL));
    fclose(fpPipe);
}

// ---- SM2 against openssl asn1parse and dgst ----

// r || s of an SM2 signature made by our provider in kctx over SM3(Z || msg).
Bytes SM2SignByProvider(const std::map<std::string, std::string>& key, const Bytes& msg)
{
    const Bytes d = peer::FromHex(key.at("private_d")), x = peer::FromHex(key.at("public_x")),
                y = peer::FromHex(key.at("public_y"));
    morv::OsslPtr<EVP_PKEY> pKey(smk::NewSm2PKey(d.data(), x.data(), y.data()));
    morv::OsslPtr<EVP_MD_CTX> pCtx(EVP_MD_CTX_new());
    size_t n = 0;
    if (!pKey || !pCtx || 1 != EVP_DigestSignInit_ex(pCtx.get(), NULL, "SM3", smk::LibCtx(), NULL, pKey.get(), NULL) ||
        1 != EVP_DigestSign(pCtx.get(), NULL, &n, msg.data(), msg.size()))
        return Bytes();
    Bytes der(n);
    if (1 != EVP_DigestSign(pCtx.get(), der.data(), &n, msg.data(), msg.size())) return Bytes();
    der.resize(n);
    return peer::DerToRs(der);
}

// One line of `openssl asn1parse`: "  12:d=3  hl=2 l=   1 prim: INTEGER           :01".
struct Asn1Line {
    long nOffset = 0;
    int nDepth = 0;
    int nHeader = 0;
    long nLength = 0;
    std::string type;
    std::string value;
};

std::string Trim(const std::string& text)
{
    const size_t b = text.find_first_not_of(' ');
    const size_t e = text.find_last_not_of(' ');
    return std::string::npos == b ? std::string() : text.substr(b, e - b + 1);
}

std::vector<Asn1Line> Asn1Parse(const std::string& derPath, std::string* pOutput)
{
    std::vector<Asn1Line> lines;
    if (0 != peer::RunCommand("openssl asn1parse -inform DER -in " + derPath, pOutput)) return lines;
    std::istringstream in(*pOutput);
    std::string text;
    while (std::getline(in, text)) {
        Asn1Line line;
        size_t kind = text.find("cons:");
        if (std::string::npos == kind) kind = text.find("prim:");
        if (4 != sscanf(text.c_str(), "%ld:d=%d hl=%d l=%ld", &line.nOffset, &line.nDepth, &line.nHeader,
                        &line.nLength) ||
            std::string::npos == kind)
            continue;
        const std::string rest = text.substr(kind + 5);
        const size_t colon = rest.find(':');
        line.type = Trim(rest.substr(0, std::min(colon, rest.find("[HEX DUMP]"))));
        if (std::string::npos != colon) line.value = rest.substr(colon + 1);
        lines.push_back(line);
    }
    return lines;
}

// The structure an SM2 SignedData must show; the subtrees of the certificate and of the issuer
// Name are compared separately. "" matches any value.
struct ExpectedLine {
    int nDepth;
    const char* type;
    std::string value;
    bool bSkipChildren;
};

std::vector<ExpectedLine> SM2Layout(bool bAttached, const std::string& serialHex)
{
    std::vector<ExpectedLine> rows = {
        {0, "SEQUENCE", "", false},
        {1, "OBJECT", "1.2.156.10197.6.1.4.2.2", false},
        {1, "cont [ 0 ]", "", false},
        {2, "SEQUENCE", "", false},
        {3, "INTEGER", "01", false},
        {3, "SET", "", false},
        {4, "SEQUENCE", "", false},
        {5, "OBJECT", "sm3", false},
        {5, "NULL", "", false},
        {3, "SEQUENCE", "", false},
        {4, "OBJECT", "1.2.156.10197.6.1.4.2.1", false},
    };
    if (bAttached) {
        rows.push_back({4, "cont [ 0 ]", "", false});
        rows.push_back({5, "OCTET STRING", "", false});
    }
    const std::vector<ExpectedLine> tail = {
        {3, "cont [ 0 ]", "", false},
        {4, "SEQUENCE", "", true},  // the certificate
        {3, "SET", "", false},
        {4, "SEQUENCE", "", false},
        {5, "INTEGER", "01", false},
        {5, "SEQUENCE", "", false},
        {6, "SEQUENCE", "", true},  // the issuer Name
        {6, "INTEGER", serialHex, false},
        {5, "SEQUENCE", "", false},
        {6, "OBJECT", "sm3", false},
        {6, "NULL", "", false},
        {5, "SEQUENCE", "", false},
        {6, "OBJECT", "1.2.156.10197.1.301.1", false},
        {6, "NULL", "", false},
        {5, "OCTET STRING", "", false},  // the SM2Q1
    };
    rows.insert(rows.end(), tail.begin(), tail.end());
    return rows;
}

// The lines that are not inside a skipped subtree, matched row by row; the matched lines go
// to *pMatched (for their offsets).
::testing::AssertionResult MatchLayout(const std::vector<Asn1Line>& lines, const std::vector<ExpectedLine>& rows,
                                       std::vector<Asn1Line>* pMatched)
{
    size_t r = 0;
    int nSkipBelow = -1;
    for (const Asn1Line& line : lines) {
        if (nSkipBelow >= 0 && line.nDepth > nSkipBelow) continue;
        nSkipBelow = -1;
        if (r == rows.size()) return ::testing::AssertionFailure() << "extra line at offset " << line.nOffset;
        const ExpectedLine& row = rows[r++];
        if (row.nDepth != line.nDepth || row.type != line.type ||
            (!row.value.empty() && row.value != line.value))
            return ::testing::AssertionFailure() << "row " << r - 1 << ": expected d=" << row.nDepth << " "
                                                 << row.type << " " << row.value << ", got d=" << line.nDepth << " "
                                                 << line.type << " " << line.value;
        if (row.bSkipChildren) nSkipBelow = line.nDepth;
        pMatched->push_back(line);
    }
    if (r != rows.size()) return ::testing::AssertionFailure() << "only " << r << " of " << rows.size() << " rows";
    return ::testing::AssertionSuccess();
}

Bytes Slice(const Bytes& der, const Asn1Line& line, bool bWithHeader)
{
    const size_t nStart = (size_t)line.nOffset + (bWithHeader ? 0 : (size_t)line.nHeader);
    return Bytes(der.begin() + (long)nStart, der.begin() + line.nOffset + line.nHeader + line.nLength);
}

// The issuer Name and serial INTEGER as OpenSSL reads them from the certificate.
Bytes IssuerAndSerialByOpenSSL(const Bytes& certDER)
{
    const unsigned char* p = certDER.data();
    morv::OsslPtr<X509> pCert(d2i_X509(NULL, &p, (long)certDER.size()));
    if (!pCert) return Bytes();
    return Cat({dertest::ByOpenSSL(i2d_X509_NAME, X509_get_issuer_name(pCert.get())),
                dertest::ByOpenSSL(i2d_ASN1_INTEGER, X509_get_serialNumber(pCert.get()))});
}

TEST_F(SignedDataWriter, SM2SignedDataParsesAndVerifiesWithOpenSSL)
{
    const auto& key = support::PkiFactsOf("sm2/ee_sign");
    ASSERT_EQ(64u, key.at("private_d").size());
    const std::string msgPath = kPki + "msg_16385.bin";
    const Bytes msg = ReadFileBytes(msgPath);
    const Bytes cert = ReadFileBytes(kPki + "sm2/ee_sign.der");
    const Bytes rs = SM2SignByProvider(key, msg);
    ASSERT_EQ(64u, rs.size());
    const std::string pubPath = PathOf("pub.pem");
    std::string log;
    ASSERT_EQ(0, peer::RunCommand("openssl x509 -in " + kPki + "sm2/ee_sign.pem -pubkey -noout -out " + pubPath, &log))
        << log;
    for (bool bAttached : {false, true}) {
        const Signer signer = {cert, rs, kSM2SignedData, kSM2Data, kSM3, kSM2Sign, P7_SIGNATURE_SM2_OCTET_STRING_Q1};
        const Output ours = EncodeToMemory(signer, msg, bAttached ? Source::kFile : Source::kNone);
        ASSERT_EQ(VOMU_OK, ours.nResult) << bAttached;
        const std::string derPath = PathOf("sm2.p7");
        ASSERT_TRUE(WriteFileBytes(derPath, ours.der));
        std::string output;
        const std::vector<Asn1Line> lines = Asn1Parse(derPath, &output);
        std::vector<Asn1Line> matched;
        ASSERT_TRUE(MatchLayout(lines, SM2Layout(bAttached, key.at("serial")), &matched))
            << (bAttached ? "attached" : "detached") << "\n" << output.substr(0, 4000);
        ASSERT_EQ(0, lines.back().nOffset + lines.back().nHeader + lines.back().nLength - (long)ours.der.size());

        const size_t nCert = bAttached ? 14 : 12;
        EXPECT_TRUE(SameBytes(cert, Slice(ours.der, matched[nCert], true)));
        EXPECT_EQ(peer::Hex(IssuerAndSerialByOpenSSL(cert)), peer::Hex(Slice(ours.der, matched[nCert + 4], false)));
        if (bAttached) {
            EXPECT_TRUE(SameBytes(msg, Slice(ours.der, matched[12], false)));
        }

        const std::string sigPath = PathOf("sig.der");
        ASSERT_TRUE(WriteFileBytes(sigPath, Slice(ours.der, matched.back(), false)));
        EXPECT_EQ(0, peer::RunCommand("openssl dgst -sm3 -verify " + pubPath + " -sigopt distid:" +
                                          peer::kSM2DefaultId + " -signature " + sigPath + " " + msgPath,
                                      &log))
            << log;
        // The same check refuses other content, so its success above means something.
        EXPECT_NE(0, peer::RunCommand("openssl dgst -sm3 -verify " + pubPath + " -sigopt distid:" +
                                          peer::kSM2DefaultId + " -signature " + sigPath + " " + kPki + "msg_16384.bin",
                                      &log));
    }
}

}  // namespace
