// The SignedData readers against the openssl CLI (cms, smime, asn1parse -genconf) and
// OpenSSL's own PKCS#7 decoder in the DEFAULT library context: every field we read out must
// equal what OpenSSL reads out of the same octets. SM2 messages are assembled here from
// OpenSSL's pieces (fixture certificate, an SM2 signature by OpenSSL's SM2 with the standard
// ID), never from our writer.
#include <gtest/gtest.h>

#include <openssl/asn1t.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>

#include "DerTestUtil.h"
#include "HandOver.h"
#include "LogCapture.h"
#include "TestOutputs.h"
#include "OpenSSLPeer.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "SMKernel.h"
#include "vomu_result.h"

using namespace dertest;  // Bytes and the hand-written DER pieces
using peer::ReadFileBytes;
using peer::WriteFileBytes;
using support::Take;
using support::TakeText;

namespace {

const std::string kPki = MORV_TEST_DATA_DIR "/pki/";

const char kOidData[] = "1.2.840.113549.1.7.1";
const char kOidSignedData[] = "1.2.840.113549.1.7.2";
const char kOidSM2Data[] = "1.2.156.10197.6.1.4.2.1";
const char kOidSM2SignedData[] = "1.2.156.10197.6.1.4.2.2";
const char kOidSM3[] = "1.2.156.10197.1.401";
const char kOidSM2Sign[] = "1.2.156.10197.1.301.1";
const char kOidMessageDigest[] = "1.2.840.113549.1.9.4";

// ---- DER pieces (X.690 8.1), for messages the CLI cannot write ----

// The indefinite form: tag 80 content 00 00.
Bytes Indefinite(unsigned char byTag, const Bytes& content)
{
    return Cat({{byTag, 0x80}, content, {0x00, 0x00}});
}

Bytes Integer(const Bytes& value) { return Tlv(0x02, value); }
Bytes Octets(const Bytes& value) { return Tlv(0x04, value); }

// ---- OpenSSL as the reader of the same octets (default library context) ----

struct PeerFields {
    Bytes cert;
    Bytes signature;
    Bytes content;
    bool bAttached = false;
    std::string strDigestAlg;
    std::string strDigestEncAlg;
    Bytes signedAttrs;    // the [0] TLV: OpenSSL's encoding in received order, tag A0
    Bytes unsignedAttrs;  // the [1] TLV
    int nDigestNid = NID_undef;
};

std::string OidText(const ASN1_OBJECT* pObj)
{
    char sz[128] = {0};
    OBJ_obj2txt(sz, sizeof sz, pObj, 1);
    return sz;
}

Bytes AttributesTlv(STACK_OF(X509_ATTRIBUTE) * pAttrs, unsigned char byTag)
{
    if (!pAttrs) return Bytes();
    unsigned char* pby = NULL;
    const int n = ASN1_item_i2d((ASN1_VALUE*)pAttrs, &pby, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    Bytes out(pby, pby + (n > 0 ? n : 0));
    OPENSSL_free(pby);
    if (!out.empty()) out[0] = byTag;
    return out;
}

Bytes CertDer(X509* pCert) { return dertest::ByOpenSSL(i2d_X509, pCert); }

bool ReadByOpenSSL(const Bytes& der, PeerFields* pFields)
{
    const unsigned char* p = der.data();
    morv::OsslPtr<PKCS7> pP7(d2i_PKCS7(NULL, &p, (long)der.size()));
    if (!pP7 || !PKCS7_type_is_signed(pP7.get())) return false;
    PKCS7_SIGNER_INFO* pSi = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pP7.get()), 0);
    if (!pSi) return false;
    X509* pCert = PKCS7_cert_from_signer_info(pP7.get(), pSi);
    if (pCert) pFields->cert = CertDer(pCert);
    pFields->signature.assign(pSi->enc_digest->data, pSi->enc_digest->data + pSi->enc_digest->length);
    PKCS7* pInner = pP7->d.sign->contents;
    if (PKCS7_type_is_data(pInner) && pInner->d.data) {
        pFields->bAttached = true;
        pFields->content.assign(pInner->d.data->data, pInner->d.data->data + pInner->d.data->length);
    }
    pFields->strDigestAlg = OidText(pSi->digest_alg->algorithm);
    pFields->strDigestEncAlg = OidText(pSi->digest_enc_alg->algorithm);
    pFields->nDigestNid = OBJ_obj2nid(pSi->digest_alg->algorithm);
    pFields->signedAttrs = AttributesTlv(pSi->auth_attr, 0xA0);
    pFields->unsignedAttrs = AttributesTlv(pSi->unauth_attr, 0xA1);
    return true;
}

// ---- Our readers, outputs collected ----

struct Parsed {
    int nResult = -2;
    Bytes cert, signature, content, signedAttrs, unsignedAttrs;
    bool bContent = false;          // a content array was handed out
    bool bContentTerminated = false;  // ... with a zero octet after its length
    std::string strDigestAlg, strDigestEncAlg;
    long long nContentPosition = -1;
    int nContentSize = -1;
};


// The outputs both readers hand out, taken over into a Parsed.
struct SignerOutputs {
    unsigned char *pbyCert = NULL, *pbySig = NULL, *pbySigned = NULL, *pbyUnsigned = NULL;
    char *pszDigest = NULL, *pszDigestEnc = NULL;
    int nCert = 0, nSig = 0, nDigest = 0, nDigestEnc = 0, nSigned = 0, nUnsigned = 0;

    void TakeInto(Parsed* pOut)
    {
        pOut->cert = Take(pbyCert, nCert);
        pOut->signature = Take(pbySig, nSig);
        pOut->strDigestAlg = TakeText(pszDigest, nDigest);
        pOut->strDigestEncAlg = TakeText(pszDigestEnc, nDigestEnc);
        pOut->signedAttrs = Take(pbySigned, nSigned);
        pOut->unsignedAttrs = Take(pbyUnsigned, nUnsigned);
    }
};

// bAlgorithms false: the two OID texts are not asked for.
Parsed ParseMemory(Bytes der, bool bAlgorithms = true)
{
    Parsed out;
    SignerOutputs o;
    unsigned char* pbyContent = NULL;
    int nContent = 0;
    out.nResult = ParsePKCS7Signature(der.data(), (int)der.size(), &o.pbyCert, &o.nCert, &o.pbySig,
                                      &o.nSig, &pbyContent, &nContent,
                                      bAlgorithms ? &o.pszDigest : NULL, &o.nDigest,
                                      bAlgorithms ? &o.pszDigestEnc : NULL, &o.nDigestEnc, &o.pbySigned,
                                      &o.nSigned, &o.pbyUnsigned, &o.nUnsigned);
    out.bContent = NULL != pbyContent;
    out.bContentTerminated = pbyContent && 0 == pbyContent[nContent];
    out.content = Take(pbyContent, nContent);
    o.TakeInto(&out);
    return out;
}

// The file reader over a file holding der, entered at position nStart.
Parsed ParseFile(const Bytes& der, long nStart = 0, long* pnPositionAfter = nullptr)
{
    Parsed out;
    peer::TempFile file(der);
    FILE* fp = fopen(file.Path().c_str(), "rb");
    if (!fp) return out;
    fseek(fp, nStart, SEEK_SET);
    SignerOutputs o;
    out.nResult = ParsePKCS7AttachedSignatureFile(
        fp, &o.pbyCert, &o.nCert, &o.pbySig, &o.nSig, &out.nContentPosition, &out.nContentSize,
        &o.pszDigest, &o.nDigest, &o.pszDigestEnc, &o.nDigestEnc, &o.pbySigned, &o.nSigned, &o.pbyUnsigned,
        &o.nUnsigned);
    if (pnPositionAfter) *pnPositionAfter = ftell(fp);
    fclose(fp);
    o.TakeInto(&out);
    if (VOMU_OK == out.nResult && out.nContentPosition >= 0 &&
        (size_t)out.nContentPosition + (size_t)out.nContentSize <= der.size()) {
        out.content.assign(der.begin() + out.nContentPosition,
                           der.begin() + out.nContentPosition + out.nContentSize);
    }
    return out;
}

struct DecodedByOpenSSL {
    int nResult = -2;
    Bytes cert, signature, content;
    int nDigestNid = -1;
};

DecodedByOpenSSL DecodeWithOpenSSLReader(Bytes der)
{
    DecodedByOpenSSL out;
    X509* pCert = NULL;
    unsigned char *pbySig = NULL, *pbyContent = NULL;
    int nSig = 0, nContent = 0;
    out.nResult = DecodeRSAPKCS7Signature(der.data(), (int)der.size(), &pCert, &out.nDigestNid,
                                          &pbySig, &nSig, &pbyContent, &nContent);
    morv::OsslPtr<X509> pOwned(pCert);
    if (pCert) out.cert = CertDer(pCert);
    out.signature = Take(pbySig, nSig);
    out.content = Take(pbyContent, nContent);
    return out;
}

// The kernel runs for every test: DecodeRSAPKCS7Signature decodes into kctx.
class SignedDataReaders : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    static void TearDownTestSuite() { SMKernelUninitialize(); }
};

// ---- Messages written by the openssl CLI ----

class CliMessages : public SignedDataReaders {
protected:
    void SetUp() override
    {
        m_strDir = morv_test::MakeTempDir();
        ASSERT_FALSE(m_strDir.empty());
        // Two certificates, the signer's second.
        ASSERT_TRUE(WriteFileBytes(m_strDir + "/bundle.pem", Cat({ReadFileBytes(kPki + "rsa/int.pem"),
                                                                  ReadFileBytes(kPki + "rsa/ee_sign.pem")})));
    }
    void TearDown() override { morv_test::RemoveTree(m_strDir); }

    // Runs `openssl <args>` over a message of nSize bytes; the DER it wrote.
    Bytes Sign(const std::string& strArgs, size_t nSize, Bytes* pMessage)
    {
        *pMessage = Bytes(nSize);
        for (size_t i = 0; i < nSize; i++) (*pMessage)[i] = (unsigned char)(i * 7 + 3);
        const std::string strMsg = m_strDir + "/msg.bin", strOut = m_strDir + "/out.der";
        EXPECT_TRUE(WriteFileBytes(strMsg, *pMessage));
        std::string strOutput;
        const int nStatus = peer::RunCommand("cd '" + m_strDir + "' && openssl " + strArgs +
                                                 " -binary -outform DER -in msg.bin -out out.der",
                                             &strOutput);
        EXPECT_EQ(0, nStatus) << strOutput;
        return ReadFileBytes(strOut);
    }
    std::string m_strDir;
};

std::string Signer(const char* pszId)
{
    return " -signer " + kPki + pszId + ".pem -inkey " + kPki + pszId + ".key";
}

Bytes Sha256(const Bytes& data)
{
    Bytes md(32);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), md.data(), &n, EVP_sha256(), NULL);
    return md;
}

TEST_F(CliMessages, FieldsEqualOpenSSLs)
{
    const std::string strChain = " -certfile " + kPki + "rsa/int.pem";
    struct Case {
        const char* pszName;
        std::string strArgs;
        size_t nMessageSize;
        bool bAttached;
        bool bSignedAttrs;
        bool bSeveralSegments = false;
    };
    const Case kCases[] = {
        {"cms detached, signed attributes", "cms -sign" + Signer("rsa/ee_sign"), 300, false, true},
        {"cms attached, signed attributes", "cms -sign -nodetach" + Signer("rsa/ee_sign"), 300, true, true},
        {"cms attached -noattr", "cms -sign -nodetach -noattr" + Signer("rsa/ee_sign"), 1, true, false},
        {"cms attached, empty content", "cms -sign -nodetach -noattr" + Signer("rsa/ee_sign"), 0, true, false},
        {"cms -certfile, signer first", "cms -sign -nodetach" + Signer("rsa/ee_sign") + strChain, 64, true, true},
        {"cms -nocerts -certfile, signer second",
         "cms -sign -nodetach -nocerts -md sha1" + Signer("rsa/ee_sign") + " -certfile bundle.pem",
         64, true, true},
        {"cms -stream, one segment", "cms -sign -stream -nodetach" + Signer("rsa/ee_sign"), 1000, true, true},
        {"cms -stream, three segments", "cms -sign -stream -nodetach -noattr" + Signer("rsa/ee_sign"),
         10000, true, false, true},
        {"smime attached -noattr", "smime -sign -nodetach -noattr -md sha256" + Signer("rsa/ee_sign"), 100, true, false},
        {"smime detached", "smime -sign -md sha512" + Signer("rsa/ee_sign_enc"), 100, false, true},
        {"cms ECDSA", "cms -sign -nodetach" + Signer("ec/ee_p256"), 100, true, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszName);
        Bytes message;
        const Bytes der = Sign(c.strArgs, c.nMessageSize, &message);
        PeerFields expected;
        ASSERT_TRUE(ReadByOpenSSL(der, &expected));
        ASSERT_EQ(c.bAttached, expected.bAttached);
        ASSERT_FALSE(expected.cert.empty());

        const Parsed got = ParseMemory(der);
        ASSERT_EQ(VOMU_OK, got.nResult);
        EXPECT_EQ(peer::Hex(expected.cert), peer::Hex(got.cert));
        EXPECT_EQ(peer::Hex(expected.signature), peer::Hex(got.signature));
        EXPECT_EQ(expected.strDigestAlg, got.strDigestAlg);
        EXPECT_EQ(expected.strDigestEncAlg, got.strDigestEncAlg);
        EXPECT_EQ(peer::Hex(expected.signedAttrs), peer::Hex(got.signedAttrs));
        EXPECT_EQ(c.bSignedAttrs, !got.signedAttrs.empty());
        EXPECT_TRUE(got.unsignedAttrs.empty());
        EXPECT_EQ(c.bAttached, got.bContent);
        if (c.bAttached) {
            EXPECT_EQ(peer::Hex(message), peer::Hex(got.content));
            EXPECT_TRUE(got.bContentTerminated);
        }
        if (c.bSignedAttrs && expected.nDigestNid == NID_sha256) {
            // messageDigest (RFC 5652 11.2) holds SHA-256 of the content: 04 20 digest.
            Bytes attrs = got.signedAttrs;
            unsigned char* pbyValue = NULL;
            int nValue = 0;
            ASSERT_EQ(VOMU_OK, ParseSignedUnsignedAttributes(attrs.data(), (int)attrs.size(),
                                                             kOidMessageDigest, &pbyValue, &nValue));
            EXPECT_EQ("0420" + peer::Hex(Sha256(message)), peer::Hex(Take(pbyValue, nValue)));
        }
        DecodedByOpenSSL decoded = DecodeWithOpenSSLReader(der);
        ASSERT_EQ(VOMU_OK, decoded.nResult);
        EXPECT_EQ(peer::Hex(expected.cert), peer::Hex(decoded.cert));
        EXPECT_EQ(expected.nDigestNid, decoded.nDigestNid);
        EXPECT_EQ(peer::Hex(expected.signature), peer::Hex(decoded.signature));
        EXPECT_EQ(peer::Hex(expected.content), peer::Hex(decoded.content));

        if (!c.bAttached) continue;
        // The file reader hands out where the content lies; streamed content in several
        // segments is no one range of the file and is refused.
        const Parsed fromFile = ParseFile(der);
        if (c.bSeveralSegments) {
            EXPECT_EQ(VOMU_E_PKCS7_FORMAT, fromFile.nResult);
            continue;
        }
        ASSERT_EQ(VOMU_OK, fromFile.nResult);
        EXPECT_EQ(peer::Hex(message), peer::Hex(fromFile.content));
        EXPECT_EQ((int)message.size(), fromFile.nContentSize);
        EXPECT_EQ(peer::Hex(got.cert), peer::Hex(fromFile.cert));
        EXPECT_EQ(peer::Hex(got.signature), peer::Hex(fromFile.signature));
        EXPECT_EQ(got.strDigestAlg, fromFile.strDigestAlg);
        EXPECT_EQ(got.strDigestEncAlg, fromFile.strDigestEncAlg);
        EXPECT_EQ(peer::Hex(got.signedAttrs), peer::Hex(fromFile.signedAttrs));
    }
}

// ---- SM2 messages assembled from OpenSSL's pieces ----

// A certificate and what a SignerInfo says of it, read by OpenSSL.
struct SignerPieces {
    Bytes cert, issuer, serial;
};

SignerPieces LoadSigner(const std::string& strId)
{
    SignerPieces out;
    out.cert = ReadFileBytes(kPki + strId + ".der");
    const unsigned char* p = out.cert.data();
    morv::OsslPtr<X509> pCert(d2i_X509(NULL, &p, (long)out.cert.size()));
    if (!pCert) return out;
    out.issuer = dertest::ByOpenSSL(i2d_X509_NAME, X509_get_issuer_name(pCert.get()));
    out.serial = dertest::ByOpenSSL(i2d_ASN1_INTEGER, X509_get_serialNumber(pCert.get()));
    return out;
}

// A SignedData written field by field; every field can be replaced to make a variant.
struct Message {
    std::string strContentType = kOidSM2SignedData;
    std::string strDataType = kOidSM2Data;
    Bytes content;
    bool bAttached = false;
    Bytes contentField;  // replaces [0] { 04 content } when not empty
    Bytes certificates;
    Bytes crls;
    Bytes signerVersion = Integer({0x01});
    Bytes sid;
    std::string strDigestAlg = kOidSM3;
    Bytes digestAlgField;  // replaces the SignerInfo's digestAlgorithm when not empty
    Bytes signedAttrs;
    std::string strDigestEncAlg = kOidSM2Sign;  // empty: no such field
    Bytes signature;
    Bytes unsignedAttrs;
    Bytes moreSignerInfos;
    unsigned char bySignerInfosTag = 0x31;

    Message(const SignerPieces& signer, const Bytes& signatureField)
        : certificates(Tlv(0xA0, signer.cert)), sid(Tlv(0x30, Cat({signer.issuer, signer.serial}))),
          signature(signatureField)
    {
    }
    Bytes SignerInfo() const
    {
        const Bytes digestAlg = digestAlgField.empty() ? NullAlgorithm(strDigestAlg.c_str()) : digestAlgField;
        const Bytes digestEncAlg = strDigestEncAlg.empty() ? Bytes() : NullAlgorithm(strDigestEncAlg.c_str());
        return Tlv(0x30, Cat({signerVersion, sid, digestAlg, signedAttrs, digestEncAlg, signature,
                              unsignedAttrs}));
    }
    Bytes ContentInfo() const
    {
        Bytes field = contentField;
        if (bAttached && field.empty()) field = Tlv(0xA0, Octets(content));
        return Tlv(0x30, Cat({OidTlv(strDataType.c_str()), bAttached ? field : Bytes()}));
    }
    Bytes SignedData() const
    {
        return Tlv(0x30, Cat({Integer({0x01}), Tlv(0x31, NullAlgorithm(strDigestAlg.c_str())),
                              ContentInfo(), certificates, crls,
                              Tlv(bySignerInfosTag, Cat({SignerInfo(), moreSignerInfos}))}));
    }
    Bytes Build() const
    {
        return Tlv(0x30, Cat({OidTlv(strContentType.c_str()), Tlv(0xA0, SignedData())}));
    }
};

// An SM2 signature over SM3(Z || message) with the standard ID, by OpenSSL's SM2.
struct Sm2Signature {
    Bytes q1;    // DER SM2Q1 as OpenSSL writes it
    Bytes r, s;  // the INTEGERs' value octets as written
    Bytes rs;    // 64 octets
};

morv::OsslPtr<EVP_PKEY> LoadKey(const std::string& strId)
{
    return peer::ReadPemKey(kPki + strId + ".key");
}

Bytes IntegerValue(const ASN1_INTEGER* pInt)
{
    unsigned char* pby = NULL;
    const int n = i2d_ASN1_INTEGER(pInt, &pby);
    Bytes der(pby, pby + (n > 0 ? n : 0));
    OPENSSL_free(pby);
    return der.size() > 2 ? Bytes(der.begin() + 2, der.end()) : Bytes();  // below 128 octets
}

Sm2Signature SignSM2(EVP_PKEY* pKey, const Bytes& message)
{
    Sm2Signature out;
    out.q1 = peer::SM2Sign(pKey, message);
    const unsigned char* p = out.q1.data();
    morv::OsslPtr<ECDSA_SIG> pSig(d2i_ECDSA_SIG(NULL, &p, (long)out.q1.size()));
    if (!pSig) return out;
    out.rs = peer::DerToRs(out.q1);
    morv::OsslPtr<ASN1_INTEGER> pR(BN_to_ASN1_INTEGER(ECDSA_SIG_get0_r(pSig.get()), NULL));
    morv::OsslPtr<ASN1_INTEGER> pS(BN_to_ASN1_INTEGER(ECDSA_SIG_get0_s(pSig.get()), NULL));
    out.r = IntegerValue(pR.get());
    out.s = IntegerValue(pS.get());
    return out;
}

// OpenSSL checks r || s against the certificate's key.
bool VerifiedByOpenSSL(const Bytes& cert, const Bytes& message, const Bytes& rs)
{
    const unsigned char* p = cert.data();
    morv::OsslPtr<X509> pCert(d2i_X509(NULL, &p, (long)cert.size()));
    if (!pCert || rs.size() != 64) return false;
    const Bytes der = peer::RsToDer(rs);
    return peer::SM2Verify(X509_get0_pubkey(pCert.get()), message, der.data(), der.size());
}

class Sm2Messages : public SignedDataReaders {
protected:
    void SetUp() override
    {
        m_signer = LoadSigner("sm2/ee_sign");
        ASSERT_FALSE(m_signer.serial.empty());
        m_pKey = LoadKey("sm2/ee_sign");
        ASSERT_TRUE(m_pKey);
        m_message = Bytes({'s', 'i', 'g', 'n', 'e', 'd', ' ', 0x00, 'd', 'a', 't', 'a'});
        m_sig = SignSM2(m_pKey.get(), m_message);
        ASSERT_EQ(64u, m_sig.rs.size());
    }
    SignerPieces m_signer;
    morv::OsslPtr<EVP_PKEY> m_pKey;
    Bytes m_message;
    Sm2Signature m_sig;
};

TEST_F(Sm2Messages, EverySignatureFormGivesTheSameRS)
{
    const struct {
        const char* pszName;
        Bytes field;
    } kForms[] = {
        {"OCTET STRING holding SM2Q1", Octets(m_sig.q1)},
        {"SM2Q1 SEQUENCE", m_sig.q1},
        {"two INTEGERs", Cat({Integer(m_sig.r), Integer(m_sig.s)})},
    };
    for (const auto& form : kForms) {
        for (bool bAttached : {false, true}) {
            SCOPED_TRACE(std::string(form.pszName) + (bAttached ? ", attached" : ", detached"));
            Message msg(m_signer, form.field);
            msg.bAttached = bAttached;
            msg.content = m_message;
            const Bytes der = msg.Build();
            // The openssl CLI reads what we assembled.
            peer::TempFile file(der);
            std::string strOutput;
            ASSERT_EQ(0, peer::RunCommand("openssl asn1parse -inform DER -in " + file.Path(), &strOutput))
                << strOutput;

            const Parsed got = ParseMemory(der);
            ASSERT_EQ(VOMU_OK, got.nResult);
            EXPECT_EQ(peer::Hex(m_signer.cert), peer::Hex(got.cert));
            EXPECT_EQ(peer::Hex(m_sig.rs), peer::Hex(got.signature));
            EXPECT_TRUE(VerifiedByOpenSSL(got.cert, m_message, got.signature));
            EXPECT_EQ(kOidSM3, got.strDigestAlg);
            EXPECT_EQ(kOidSM2Sign, got.strDigestEncAlg);
            EXPECT_TRUE(got.signedAttrs.empty());
            EXPECT_TRUE(got.unsignedAttrs.empty());
            EXPECT_EQ(bAttached, got.bContent);
            if (bAttached) {
                EXPECT_EQ(peer::Hex(m_message), peer::Hex(got.content));
                EXPECT_TRUE(got.bContentTerminated);
                const Parsed fromFile = ParseFile(der);
                ASSERT_EQ(VOMU_OK, fromFile.nResult);
                EXPECT_EQ(peer::Hex(m_message), peer::Hex(fromFile.content));
                EXPECT_EQ(peer::Hex(m_sig.rs), peer::Hex(fromFile.signature));
                EXPECT_EQ(peer::Hex(m_signer.cert), peer::Hex(fromFile.cert));
            }
        }
    }
}

// "-- step)\t\t--Failed:(0x........)": the Failed line of that step with that code.
std::string FailedLine(const std::string& strStep, int nCode)
{
    char sz[32];
    snprintf(sz, sizeof sz, "--Failed:(0x%08x)", (unsigned)nCode);
    return "-- " + strStep + ")\t\t" + sz;
}

Bytes Attribute(const char* pszOid, const Bytes& values) { return Tlv(0x30, Cat({OidTlv(pszOid), Tlv(0x31, values)})); }

// The fields our SignerInfo writer emits for each fSignatureEncodedType (the octets inside
// the SignerInfo it appends to).
Bytes WrittenSignatureField(unsigned long fType, Bytes signature)
{
    std::unique_ptr<NodeEx> pSignerInfo(new NodeEx());
    pSignerInfo->Tag = 0x30;
    if (VOMU_OK != ConstructNode_SignerInfoSignature("ConstructNode_SignerInfo", fType,
                                                     signature.data(), (int)signature.size(),
                                                     pSignerInfo.get()))
        return Bytes();
    const Bytes der = dertest::EncodeTree(pSignerInfo.get());
    return der.size() > 2 ? Bytes(der.begin() + 2, der.end()) : Bytes();  // below 128 octets: 30 L
}

TEST_F(Sm2Messages, ReadsEveryFormOurWriterEmits)
{
    const struct {
        unsigned long fType;
        const char* pszContentType;
        Bytes expected;
    } kCases[] = {
        {P7_SIGNATURE_SM2_OCTET_STRING_Q1, kOidSM2SignedData, m_sig.rs},
        {P7_SIGNATURE_SM2_ASN1_Q1, kOidSM2SignedData, m_sig.rs},
        {P7_SIGNATURE_SM2_RAW_RS, kOidSM2SignedData, m_sig.rs},
        {P7_SIGNATURE_RSA_PKCS1, kOidSignedData, m_sig.rs},  // stored octets, as given
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.fType);
        const Bytes field = WrittenSignatureField(c.fType, m_sig.rs);
        ASSERT_FALSE(field.empty());
        Message msg(m_signer, field);
        msg.strContentType = c.pszContentType;
        const Parsed got = ParseMemory(msg.Build());
        ASSERT_EQ(VOMU_OK, got.nResult);
        EXPECT_EQ(peer::Hex(c.expected), peer::Hex(got.signature));
    }
}

TEST_F(Sm2Messages, ShapesAcceptedAndRefused)
{
    const SignerPieces intermediate = LoadSigner("sm2/int");
    const SignerPieces root = LoadSigner("sm2/root");
    const Bytes crl = ReadFileBytes(kPki + "sm2/crl.der");
    const Bytes signedAttrs = Tlv(0xA0, Cat({Attribute("1.2.840.113549.1.9.3", OidTlv(kOidSM2Data)),
                                            Attribute(kOidMessageDigest, Octets(Bytes(32, 0x5C)))}));
    const Bytes unsignedAttrs = Tlv(0xA1, Attribute("1.2.840.113549.1.9.6", Tlv(0x30, Bytes())));
    // Short r values with the top bit clear, so that they are non-negative INTEGERs.
    const Bytes r28 = Cat({{0x2A}, Bytes(m_sig.rs.begin() + 5, m_sig.rs.begin() + 32)});
    const Bytes r27 = Cat({{0x2A}, Bytes(m_sig.rs.begin() + 6, m_sig.rs.begin() + 32)});
    const Bytes s32(m_sig.rs.begin() + 32, m_sig.rs.end());
    const Bytes rsWithR28 = Cat({Bytes(4, 0), r28, s32});
    const Bytes rsWithR27 = Cat({Bytes(5, 0), r27, s32});
    const Bytes content3 = {'a', 'b', 'c', 'd', 'e', 'f'};
    const Bytes twoCerts = Tlv(0xA0, Cat({intermediate.cert, m_signer.cert}));
    using Mutation = std::function<void(Message&)>;
    using Check = std::function<void(const Parsed&)>;
    const Check signerCert = [&](const Parsed& got) { EXPECT_EQ(peer::Hex(m_signer.cert), peer::Hex(got.cert)); };
    const Check noCert = [](const Parsed& got) { EXPECT_TRUE(got.cert.empty()); };
    struct Case {
        const char* pszName;
        Mutation mutate;
        int nResult;
        const char* pszFailedStep;  // OK cases: null
        Check check;
        int nFileResult = 1;  // the file reader's result when it differs
    };
    const Case kCases[] = {
        // signature forms
        {"PKCS#7 signedData type: the OCTET STRING as stored",
         [&](Message& m) { m.strContentType = kOidSignedData; }, VOMU_OK, NULL,
         [&](const Parsed& got) { EXPECT_EQ(peer::Hex(m_sig.q1), peer::Hex(got.signature)); }},
        {"SM2 data type as content type", [&](Message& m) { m.strContentType = kOidSM2Data; },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'contentType' nodes", NULL},
        {"content type shorter than the octets compared",
         [&](Message& m) { m.strContentType = "1.2.840.113549.1.7"; }, VOMU_E_PKCS7_FORMAT,
         "Check PKCS#7 'contentType' nodes", NULL},
        {"OCTET STRING that holds no SM2Q1", [&](Message& m) { m.signature = Octets(m_sig.rs); },
         VOMU_E_FAIL, "Decode_SM2Q1", NULL},
        // A valid r or s may be any number below the order: no minimum length.
        {"r of 27 octets: five leading zero octets",
         [&](Message& m) { m.signature = Tlv(0x30, Cat({Integer(r27), Integer(m_sig.s)})); }, VOMU_OK, NULL,
         [&](const Parsed& got) { EXPECT_EQ(peer::Hex(rsWithR27), peer::Hex(got.signature)); }},
        {"r of 28 octets: four leading zero octets",
         [&](Message& m) { m.signature = Tlv(0x30, Cat({Integer(r28), Integer(m_sig.s)})); }, VOMU_OK, NULL,
         [&](const Parsed& got) { EXPECT_EQ(peer::Hex(rsWithR28), peer::Hex(got.signature)); }},
        {"SEQUENCE of three", [&](Message& m) { m.signature = Tlv(0x30, Cat({Integer(m_sig.r), Integer(m_sig.s), Integer({1})})); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signature' nodes", NULL},
        {"two INTEGERs followed by unsigned attributes",
         [&](Message& m) { m.signature = Cat({Integer(m_sig.r), Integer(m_sig.s)}); m.unsignedAttrs = unsignedAttrs; },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signature' nodes", NULL},
        {"a BIT STRING signature", [&](Message& m) { m.signature = Tlv(0x03, Cat({{0x00}, m_sig.q1})); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signature' nodes", NULL},
        // certificates
        {"two certificates, the signer's second", [&](Message& m) { m.certificates = twoCerts; }, VOMU_OK, NULL, signerCert},
        {"two certificates, neither the signer's",
         [&](Message& m) { m.certificates = Tlv(0xA0, Cat({intermediate.cert, root.cert})); }, VOMU_OK, NULL, noCert},
        {"two certificates and SignerInfo version 3",
         [&](Message& m) { m.certificates = twoCerts; m.signerVersion = Integer({0x03}); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signerInfo/version' node", NULL},
        {"two certificates and a version with a long-form length",
         [&](Message& m) { m.certificates = twoCerts; m.signerVersion = {0x02, 0x81, 0x01, 0x01}; },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signerInfo/version' node", NULL},
        {"two certificates and an issuerAndSerialNumber without serial",
         [&](Message& m) { m.certificates = twoCerts; m.sid = Tlv(0x30, m_signer.issuer); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signerInfo/issuerAndSerialNumber' node", NULL},
        {"two certificates, one without a tbsCertificate",
         [&](Message& m) { m.certificates = Tlv(0xA0, Cat({Tlv(0x30, Bytes()), m_signer.cert})); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'certificates' nodes", NULL},
        {"one certificate with another serial is still returned",
         [&](Message& m) { m.certificates = Tlv(0xA0, intermediate.cert); }, VOMU_OK, NULL,
         [&](const Parsed& got) { EXPECT_EQ(peer::Hex(intermediate.cert), peer::Hex(got.cert)); }},
        {"empty certificates field", [&](Message& m) { m.certificates = {0xA0, 0x00}; }, VOMU_OK, NULL, noCert},
        {"crls after the certificates", [&](Message& m) { m.crls = Tlv(0xA1, crl); }, VOMU_OK, NULL, signerCert},
        {"crls in place of the certificates",
         [&](Message& m) { m.certificates.clear(); m.crls = Tlv(0xA1, crl); }, VOMU_OK, NULL, noCert},
        // SignedData and SignerInfo shapes
        {"SignedData of four fields", [&](Message& m) { m.certificates.clear(); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signedData' nodes", NULL},
        {"signerInfos not a SET", [&](Message& m) { m.bySignerInfosTag = 0x30; },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signerInfos' nodes", NULL},
        {"SignerInfo of four fields", [&](Message& m) { m.signature.clear(); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signerInfo' nodes", NULL},
        {"two SignerInfos: the first is read",
         [&](Message& m) { m.moreSignerInfos = Tlv(0x30, Cat({Integer({1}), Octets({1, 2, 3})})); }, VOMU_OK, NULL,
         [&](const Parsed& got) { EXPECT_EQ(peer::Hex(m_sig.rs), peer::Hex(got.signature)); }},
        {"digestAlgorithm without its OBJECT IDENTIFIER",
         [&](Message& m) { m.digestAlgField = Tlv(0x30, Bytes()); }, VOMU_E_PKCS7_FORMAT,
         "Check PKCS#7 AlgorithmIdentifier nodes", NULL},
        {"digestAlgorithm holding no OBJECT IDENTIFIER",
         [&](Message& m) { m.digestAlgField = Tlv(0x30, Integer({1})); }, VOMU_E_FAIL,
         "d2i_ASN1_OBJECT(DigestAlgOid)", NULL},
        // attributes
        {"signed and unsigned attributes",
         [&](Message& m) { m.signedAttrs = signedAttrs; m.unsignedAttrs = unsignedAttrs; }, VOMU_OK, NULL,
         [&](const Parsed& got) {
             EXPECT_EQ(peer::Hex(signedAttrs), peer::Hex(got.signedAttrs));
             EXPECT_EQ(peer::Hex(unsignedAttrs), peer::Hex(got.unsignedAttrs));
             EXPECT_EQ(peer::Hex(m_sig.rs), peer::Hex(got.signature));
             EXPECT_EQ(kOidSM2Sign, got.strDigestEncAlg);
         }},
        {"an [1] that is not last is no unsigned attribute set",
         [&](Message& m) { m.unsignedAttrs = Cat({unsignedAttrs, Integer({1})}); }, VOMU_OK, NULL,
         [&](const Parsed& got) { EXPECT_TRUE(got.unsignedAttrs.empty()); }},
        // content
        {"content in one constructed segment",
         [&](Message& m) { m.bAttached = true; m.contentField = Tlv(0xA0, Indefinite(0x24, Octets(m_message))); },
         VOMU_OK, NULL, [&](const Parsed& got) { EXPECT_EQ(peer::Hex(m_message), peer::Hex(got.content)); }},
        {"content in three segments, joined",
         [&](Message& m) {
             m.bAttached = true;
             m.contentField = Tlv(0xA0, Tlv(0x24, Cat({Octets({'a', 'b'}), Octets({}), Octets({'c', 'd', 'e', 'f'})})));
         },
         VOMU_OK, NULL, [&](const Parsed& got) { EXPECT_EQ(peer::Hex(content3), peer::Hex(got.content)); },
         VOMU_E_PKCS7_FORMAT},
        {"empty constructed content",
         [&](Message& m) { m.bAttached = true; m.contentField = Tlv(0xA0, Tlv(0x24, Bytes())); }, VOMU_OK, NULL,
         [&](const Parsed& got) { EXPECT_TRUE(got.content.empty()); }},
        {"nested signedData in place of data",
         [&](Message& m) {
             Message inner = m;
             m.bAttached = true;
             m.strDataType = kOidSM2SignedData;
             m.contentField = Tlv(0xA0, inner.SignedData());
         },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 content type is data", NULL},
        {"data that is no OCTET STRING",
         [&](Message& m) { m.bAttached = true; m.contentField = Tlv(0xA0, Tlv(0x30, Octets(m_message))); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 content OCTET STRING", NULL},
        {"a segment that is constructed itself",
         [&](Message& m) { m.bAttached = true; m.contentField = Tlv(0xA0, Tlv(0x24, Tlv(0x24, Octets(m_message)))); },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 content OCTET STRING", NULL},
        {"attached with an empty [0]", [&](Message& m) { m.bAttached = true; m.contentField = {0xA0, 0x00}; },
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 nodes", NULL},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszName);
        Message msg(m_signer, Octets(m_sig.q1));
        msg.content = m_message;
        c.mutate(msg);
        morv_test::LogCapture log;
        ASSERT_TRUE(log.Ok());
        const Parsed got = ParseMemory(msg.Build());
        ASSERT_EQ(c.nResult, got.nResult);
        if (c.pszFailedStep) {
            EXPECT_TRUE(log.Contains(FailedLine(c.pszFailedStep, c.nResult))) << log.Contents();
            EXPECT_TRUE(got.cert.empty() && got.signature.empty() && !got.bContent);
        }
        if (c.check) c.check(got);

        // The file reader reads every value from the file: the same rules, over an attached
        // message.
        Message attached(m_signer, Octets(m_sig.q1));
        attached.content = m_message;
        attached.bAttached = true;
        c.mutate(attached);
        const Parsed fromFile = ParseFile(attached.Build());
        if (1 != c.nFileResult) {
            EXPECT_EQ(c.nFileResult, fromFile.nResult);
            continue;
        }
        ASSERT_EQ(c.nResult, fromFile.nResult);
        if (c.check) c.check(fromFile);
    }
}

TEST_F(Sm2Messages, FileReaderKeepsThePositionAndNeedsAttachedContent)
{
    Message msg(m_signer, Octets(m_sig.q1));
    msg.content = m_message;
    msg.bAttached = true;
    const Bytes der = msg.Build();
    long nAfter = -1;
    Parsed got = ParseFile(der, 100, &nAfter);
    ASSERT_EQ(VOMU_OK, got.nResult);
    EXPECT_EQ(100, nAfter);
    // The content is where the file holds it: just before the certificates field.
    const Bytes certificates = Tlv(0xA0, m_signer.cert);
    const size_t nCertificates = std::search(der.begin(), der.end(), certificates.begin(),
                                             certificates.end()) - der.begin();
    EXPECT_EQ((long long)(nCertificates - m_message.size()), got.nContentPosition);
    EXPECT_EQ(peer::Hex(m_message), peer::Hex(got.content));

    msg.bAttached = false;
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    got = ParseFile(msg.Build(), 100, &nAfter);
    EXPECT_EQ(VOMU_E_PKCS7_FORMAT, got.nResult);
    EXPECT_EQ(100, nAfter);
    EXPECT_TRUE(log.Contains(FailedLine("Check PKCS#7 signature attached source data", VOMU_E_PKCS7_FORMAT)));

    got = ParseFile(Bytes(300, 0x30), 100, &nAfter);
    EXPECT_EQ(VOMU_E_FAIL, got.nResult);
    EXPECT_EQ(100, nAfter);
    EXPECT_TRUE(log.Contains(FailedLine("DecodeASN1FileEx", VOMU_E_FAIL)));
}

TEST_F(Sm2Messages, RootAndContentShapesRefused)
{
    const struct {
        const char* pszName;
        Bytes der;
        int nResult;
        const char* pszFailedStep;
    } kCases[] = {
        {"not BER", {0x30, 0x05, 0x06}, VOMU_E_FAIL, "DecodeASN1MemoryEx"},
        {"root of one field", Tlv(0x30, OidTlv(kOidSM2SignedData)), VOMU_E_PKCS7_FORMAT, "Check PKCS#7 nodes"},
        {"a primitive root", Octets(Bytes(20, 1)), VOMU_E_PKCS7_FORMAT, "Check PKCS#7 nodes"},
        {"empty content [0]", Tlv(0x30, Cat({OidTlv(kOidSM2SignedData), {0xA0, 0x00}})), VOMU_E_PKCS7_FORMAT,
         "Check PKCS#7 'content [0]' nodes"},
        {"SignedData of two fields", Tlv(0x30, Cat({OidTlv(kOidSM2SignedData), Tlv(0xA0, Tlv(0x30, Cat({Integer({1}), Integer({1})})))})),
         VOMU_E_PKCS7_FORMAT, "Check PKCS#7 'signedData' nodes"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszName);
        morv_test::LogCapture log;
        ASSERT_TRUE(log.Ok());
        EXPECT_EQ(c.nResult, ParseMemory(c.der).nResult);
        EXPECT_TRUE(log.Contains(FailedLine(c.pszFailedStep, c.nResult))) << log.Contents();
    }
}

TEST_F(Sm2Messages, UnaskedAlgorithmsAreNotDecoded)
{
    // A SignerInfo of five fields whose fourth is tagged [0]: no signed attributes; the [0]
    // stands where digestEncryptionAlgorithm does and passes while its text is not asked for.
    Message msg(m_signer, Octets(m_sig.q1));
    msg.signedAttrs = Tlv(0xA0, Attribute(kOidMessageDigest, Octets(Bytes(32, 1))));
    msg.strDigestEncAlg.clear();
    const Parsed got = ParseMemory(msg.Build(), false);
    ASSERT_EQ(VOMU_OK, got.nResult);
    EXPECT_TRUE(got.signedAttrs.empty());
    EXPECT_EQ(peer::Hex(m_sig.rs), peer::Hex(got.signature));
    EXPECT_EQ(VOMU_E_PKCS7_FORMAT, ParseMemory(msg.Build(), true).nResult);
}

// ---- One attribute out of an attribute set ----

TEST(SignedAttributes, FindsTheValuesOfTheFirstMatch)
{
    const Bytes digest = Octets(Bytes(32, 0xD1));
    const Bytes time = Tlv(0x17, {'2', '0', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'});
    const Bytes contentType = Attribute("1.2.840.113549.1.9.3", OidTlv(kOidData));
    const Bytes twoValues = Cat({Octets({1}), Octets({2, 2})});
    const struct {
        const char* pszName;
        Bytes attributes;
        const char* pszOid;
        int nResult;
        Bytes value;                 // VOMU_OK
        const char* pszFailedStep;   // failures
    } kCases[] = {
        {"messageDigest among others", Tlv(0xA0, Cat({contentType, Attribute("1.2.840.113549.1.9.5", time), Attribute(kOidMessageDigest, digest)})),
         kOidMessageDigest, VOMU_OK, digest, NULL},
        {"unsigned set, two values", Tlv(0xA1, Attribute("1.2.840.113549.1.9.6", twoValues)), "1.2.840.113549.1.9.6",
         VOMU_OK, twoValues, NULL},
        {"the first of two matches", Tlv(0xA0, Cat({Attribute(kOidMessageDigest, digest), Attribute(kOidMessageDigest, Octets({9}))})),
         kOidMessageDigest, VOMU_OK, digest, NULL},
        {"an indefinite SET of values", Tlv(0xA0, Tlv(0x30, Cat({OidTlv(kOidMessageDigest), Indefinite(0x31, digest)}))),
         kOidMessageDigest, VOMU_OK, digest, NULL},
        {"malformed values of other attributes are not examined",
         Tlv(0xA0, Cat({Tlv(0x30, Cat({OidTlv(kOidData), Octets({})})), Attribute(kOidMessageDigest, digest)})),
         kOidMessageDigest, VOMU_OK, digest, NULL},
        {"absent", Tlv(0xA0, contentType), kOidMessageDigest, VOMU_E_BAD_ASN1_DATA, {}, "Have found the target attribute?"},
        {"no attributes", {0xA0, 0x00}, kOidMessageDigest, VOMU_E_BAD_ASN1_DATA, {}, "Check child nodes number"},
        {"not BER", {0xA0, 0x05, 0x30}, kOidMessageDigest, VOMU_E_BAD_ASN1_DATA, {}, "DecodeASN1MemoryEx"},
        {"an attribute of three fields before the match",
         Tlv(0xA0, Cat({Tlv(0x30, Cat({OidTlv(kOidData), Tlv(0x31, Octets({})), Octets({})})), Attribute(kOidMessageDigest, digest)})),
         kOidMessageDigest, VOMU_E_BAD_ASN1_DATA, {}, "Check attribute node"},
        {"a SET in place of the attribute", Tlv(0xA0, Tlv(0x31, Cat({OidTlv(kOidMessageDigest), Tlv(0x31, digest)}))),
         kOidMessageDigest, VOMU_E_BAD_ASN1_DATA, {}, "Check attribute node"},
        {"attribute type not an OBJECT IDENTIFIER", Tlv(0xA0, Tlv(0x30, Cat({Octets({1}), Tlv(0x31, digest)}))),
         kOidMessageDigest, VOMU_E_BAD_ASN1_DATA, {}, "Check attrType node"},
        {"matching attribute with an empty SET", Tlv(0xA0, Tlv(0x30, Cat({OidTlv(kOidMessageDigest), {0x31, 0x00}}))),
         kOidMessageDigest, VOMU_E_BAD_ASN1_DATA, {}, "Check attrValues node"},
        {"matching attribute with a SEQUENCE of values", Tlv(0xA0, Tlv(0x30, Cat({OidTlv(kOidMessageDigest), Tlv(0x30, digest)}))),
         kOidMessageDigest, VOMU_E_BAD_ASN1_DATA, {}, "Check attrValues node"},
        {"an OID that is no OID", Tlv(0xA0, contentType), "message digest", VOMU_E_FAIL, {}, "Encode_ObjectIdentifier"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszName);
        morv_test::LogCapture log;
        ASSERT_TRUE(log.Ok());
        Bytes attributes = c.attributes;
        unsigned char* pbyValue = reinterpret_cast<unsigned char*>(0x1);
        int nValue = -7;
        const int nResult = ParseSignedUnsignedAttributes(attributes.data(), (int)attributes.size(),
                                                          c.pszOid, &pbyValue, &nValue);
        ASSERT_EQ(c.nResult, nResult);
        if (VOMU_OK == nResult) {
            EXPECT_EQ(peer::Hex(c.value), peer::Hex(Take(pbyValue, nValue)));
            EXPECT_TRUE(log.Contains("-- Have found the target attribute?)\t\t--OK"));
        } else {
            EXPECT_EQ(reinterpret_cast<unsigned char*>(0x1), pbyValue);
            EXPECT_EQ(-7, nValue);
            EXPECT_TRUE(log.Contains(FailedLine(c.pszFailedStep, c.nResult))) << log.Contents();
        }
    }
}

// ---- The reader on OpenSSL's PKCS#7 decoder ----

TEST_F(Sm2Messages, OpenSSLReaderRefusesWhatIsNotSignedData)
{
    const SignerPieces rsa = LoadSigner("rsa/ee_sign");
    Message msg(rsa, Octets(Bytes(256, 0xAB)));
    msg.strContentType = kOidSignedData;
    msg.strDataType = kOidData;
    msg.strDigestAlg = "2.16.840.1.101.3.4.2.1";
    msg.strDigestEncAlg = "1.2.840.113549.1.1.1";
    DecodedByOpenSSL got = DecodeWithOpenSSLReader(msg.Build());
    ASSERT_EQ(VOMU_OK, got.nResult);
    EXPECT_EQ(NID_sha256, got.nDigestNid);
    EXPECT_EQ(peer::Hex(rsa.cert), peer::Hex(got.cert));
    EXPECT_EQ(Bytes(256, 0xAB), got.signature);
    EXPECT_TRUE(got.content.empty());

    const struct {
        const char* pszName;
        std::function<void(Message&)> mutate;
        const char* pszFailedStep;
    } kCases[] = {
        {"nested signedData in place of data",
         [](Message& m) {
             Message inner = m;
             m.bAttached = true;
             m.strDataType = kOidSignedData;
             m.contentField = Tlv(0xA0, inner.SignedData());
         },
         "PKCS7_type_is_data"},
        {"not signedData", [](Message& m) { m.strContentType = kOidData; }, "d2i_PKCS7"},
        {"no certificate of the signer", [&](Message& m) { m.certificates = Tlv(0xA0, LoadSigner("rsa/int").cert); },
         "PKCS7_cert_from_signer_info"},
        {"unknown digest algorithm", [](Message& m) { m.strDigestAlg = "1.2.3.4"; }, "OBJ_obj2nid"},
        {"SignerInfo without fields", [](Message& m) { m.bySignerInfosTag = 0x31; m.signerVersion.clear(); m.sid.clear();
                                           m.strDigestAlg = "2.16.840.1.101.3.4.2.1"; m.strDigestEncAlg.clear();
                                           m.signature.clear(); }, "d2i_PKCS7"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszName);
        Message variant = msg;
        c.mutate(variant);
        morv_test::LogCapture log;
        ASSERT_TRUE(log.Ok());
        got = DecodeWithOpenSSLReader(variant.Build());
        EXPECT_EQ(VOMU_E_PKCS7_FORMAT, got.nResult);
        EXPECT_TRUE(log.Contains(FailedLine(c.pszFailedStep, VOMU_E_PKCS7_FORMAT))) << log.Contents();
    }
}

TEST_F(Sm2Messages, OpenSSLReaderHandsOutACertificateOfTheKernel)
{
    // An SM2 certificate handed out by the OpenSSL-based reader lives in kctx: its signature
    // checks through our SM2 with the standard ID (OpenSSL's own SM2 would use an empty ID).
    Message msg(m_signer, Octets(m_sig.q1));
    msg.strContentType = kOidSignedData;
    msg.strDataType = kOidData;
    X509* pCert = NULL;
    Bytes der = msg.Build();
    ASSERT_EQ(VOMU_OK, DecodeRSAPKCS7Signature(der.data(), (int)der.size(), &pCert, NULL, NULL,
                                               NULL, NULL, NULL));
    morv::OsslPtr<X509> pOwned(pCert);
    const Bytes issuerDer = ReadFileBytes(kPki + "sm2/int.der");
    const unsigned char* p = issuerDer.data();
    morv::OsslPtr<X509> pIssuer(smk::D2iX509(&p, (long)issuerDer.size()));
    ASSERT_TRUE(pIssuer);
    smk::ProviderCounters before{}, after{};
    ASSERT_EQ(1, smk::GetProviderCounters(&before));
    EXPECT_EQ(1, X509_verify(pCert, X509_get0_pubkey(pIssuer.get())));
    ASSERT_EQ(1, smk::GetProviderCounters(&after));
    EXPECT_GT(after.nVerify, before.nVerify);
    EXPECT_EQ(peer::Hex(m_signer.cert), peer::Hex(CertDer(pCert)));
}

// ---- Hostile input ----

// Every reader over every truncation and single-octet change of one message: none may crash
// or read outside its input (the sanitizer build checks the reads), a truncation never
// parses, and whatever parses is no larger than the input.
void ReadEveryDamagedCopy(const Bytes& der, bool bAttached, size_t nSkipFrom = 0, size_t nSkipTo = 0)
{
    const Parsed intact = ParseMemory(der);
    ASSERT_EQ(VOMU_OK, intact.nResult);
    for (size_t n = 1; n < der.size(); n++) {
        const Bytes cut(der.begin(), der.begin() + n);
        EXPECT_NE(VOMU_OK, ParseMemory(cut).nResult) << n;
        EXPECT_NE(VOMU_OK, DecodeWithOpenSSLReader(cut).nResult) << n;
        if (bAttached) {
            EXPECT_NE(VOMU_OK, ParseFile(cut).nResult) << n;
        }
        if (n < intact.signedAttrs.size()) {
            Bytes attrs(intact.signedAttrs.begin(), intact.signedAttrs.begin() + n);
            unsigned char* pbyValue = NULL;
            int nValue = 0;
            EXPECT_NE(VOMU_OK, ParseSignedUnsignedAttributes(attrs.data(), (int)attrs.size(),
                                                             kOidMessageDigest, &pbyValue, &nValue));
        }
    }
    size_t nParsed = 0;
    for (size_t i = 0; i < der.size(); i++) {
        if (i >= nSkipFrom && i < nSkipTo) continue;  // content octets nobody interprets
        for (unsigned char byFlip : {0x01, 0x80, 0xFF}) {
            Bytes changed = der;
            changed[i] ^= byFlip;
            const Parsed got = ParseMemory(changed);
            if (VOMU_OK == got.nResult) {
                nParsed++;
                EXPECT_LE(got.cert.size() + got.content.size() + got.signedAttrs.size(), der.size());
                EXPECT_TRUE(got.signature.size() == 64 || got.signature.size() < der.size());
            }
            DecodeWithOpenSSLReader(changed);
            if (bAttached && 0 == i % 7) ParseFile(changed);
            if (i >= intact.signedAttrs.size()) continue;
            Bytes attrs = intact.signedAttrs;
            attrs[i] ^= byFlip;
            unsigned char* pbyValue = NULL;
            int nValue = 0;
            if (VOMU_OK == ParseSignedUnsignedAttributes(attrs.data(), (int)attrs.size(),
                                                         kOidMessageDigest, &pbyValue, &nValue)) {
                EXPECT_LT((size_t)nValue, attrs.size());
            }
            delete[] pbyValue;
        }
    }
    // Most changes hit values no reader looks at.
    EXPECT_GT(nParsed, (der.size() - (nSkipTo - nSkipFrom)) / 2);
}

TEST_F(CliMessages, DamagedCopiesNeverCrash)
{
    Bytes message;
    {
        SCOPED_TRACE("cms -stream: indefinite lengths, two segments");
        const Bytes der = Sign("cms -sign -stream -nodetach" + Signer("rsa/ee_sign"), 4100, &message);
        const size_t nSegment = std::search(der.begin(), der.end(), message.begin(), message.begin() + 4096) - der.begin();
        ReadEveryDamagedCopy(der, false, nSegment + 16, nSegment + 4096 - 16);
    }
    {
        SCOPED_TRACE("cms attached -noattr");
        ReadEveryDamagedCopy(Sign("cms -sign -nodetach -noattr" + Signer("rsa/ee_sign"), 40, &message), true);
    }
}

TEST_F(Sm2Messages, DamagedCopiesNeverCrash)
{
    const Bytes signedAttrs = Tlv(0xA0, Cat({Attribute("1.2.840.113549.1.9.3", OidTlv(kOidSM2Data)),
                                            Attribute(kOidMessageDigest, Octets(Bytes(32, 0x5C)))}));
    const struct {
        const char* pszName;
        Bytes signature;
    } kForms[] = {
        {"OCTET STRING SM2Q1", Octets(m_sig.q1)},
        {"two INTEGERs", Cat({Integer(m_sig.r), Integer(m_sig.s)})},
    };
    for (const auto& form : kForms) {
        SCOPED_TRACE(form.pszName);
        Message msg(m_signer, form.signature);
        msg.content = m_message;
        msg.bAttached = true;
        msg.signedAttrs = signedAttrs;
        msg.certificates = Tlv(0xA0, Cat({LoadSigner("sm2/int").cert, m_signer.cert}));
        ReadEveryDamagedCopy(msg.Build(), true);
    }
}

// ---- SM2PKCS7: the item types and their parsers ----

struct OpensslDer {
    unsigned char* pby = NULL;
    int n = 0;
    ~OpensslDer() { OPENSSL_free(pby); }
    Bytes Get() const { return pby ? Bytes(pby, pby + n) : Bytes(); }
};

// What our parsers hand out is a new[] array like every other output.
struct HandedDer {
    unsigned char* pby = NULL;
    int n = 0;
    ~HandedDer() { delete[] pby; }
    Bytes Get() const { return pby ? Bytes(pby, pby + n) : Bytes(); }
};

// The name "CN=SM2 PKCS7 Test" as OpenSSL's genconf writes it: UTF8String value.
Bytes TestName()
{
    const std::string strCn = "SM2 PKCS7 Test";
    return Tlv(0x30, Tlv(0x31, Tlv(0x30, Cat({OidTlv("2.5.4.3"), Tlv(0x0C, Bytes(strCn.begin(), strCn.end()))}))));
}

class Sm2Pkcs7Items : public Sm2Messages {
protected:
    // The message of raw r, s with attached content, as the item types describe it.
    Message RawMessage(const Bytes& r, const Bytes& s) const
    {
        Message msg(m_signer, Cat({Integer(r), Integer(s)}));
        msg.sid = Tlv(0x30, Cat({TestName(), Integer({0x10, 0x01})}));
        msg.bAttached = true;
        msg.content = m_message;
        return msg;
    }
    // The same message without certificate, written by `openssl asn1parse -genconf`.
    Bytes GenconfMessage(const Bytes& r, const Bytes& s)
    {
        const std::string strConf =
            "asn1=SEQUENCE:p7\n"
            "[p7]\ntype=OID:1.2.156.10197.6.1.4.2.2\nsigned=EXPLICIT:0,SEQUENCE:signed\n"
            "[signed]\nversion=INTEGER:1\nmd_algs=SET:md_algs\ncontents=SEQUENCE:contents\n"
            "signer_info=SET:signer_infos\n"
            "[md_algs]\na=SEQUENCE:sm3\n"
            "[sm3]\noid=OID:1.2.156.10197.1.401\nparams=NULL\n"
            "[sm2]\noid=OID:1.2.156.10197.1.301.1\nparams=NULL\n"
            "[contents]\ntype=OID:1.2.156.10197.6.1.4.2.1\ncontent=EXPLICIT:0,FORMAT:HEX,OCTETSTRING:" +
            peer::Hex(m_message) + "\n"
            "[signer_infos]\nsi=SEQUENCE:si\n"
            "[si]\nversion=INTEGER:1\nias=SEQUENCE:ias\ndigest=SEQUENCE:sm3\nenc=SEQUENCE:sm2\n"
            "r=INTEGER:0x" + peer::Hex(r) + "\ns=INTEGER:0x" + peer::Hex(s) + "\n"
            "[ias]\nissuer=SEQUENCE:name\nserial=INTEGER:0x1001\n"
            "[name]\nrdn=SET:rdn\n[rdn]\natv=SEQUENCE:atv\n[atv]\ntype=OID:commonName\nvalue=UTF8:SM2 PKCS7 Test\n";
        const std::string strDir = morv_test::MakeTempDir();
        morv_test::WriteText(strDir + "/p7.cnf", strConf);
        std::string strOutput;
        EXPECT_EQ(0, peer::RunCommand("openssl asn1parse -genconf " + strDir + "/p7.cnf -out " + strDir +
                                          "/p7.der -noout", &strOutput)) << strOutput;
        const Bytes der = ReadFileBytes(strDir + "/p7.der");
        morv_test::RemoveTree(strDir);
        return der;
    }
    Bytes R() const { return Bytes(m_sig.rs.begin(), m_sig.rs.begin() + 32); }
    Bytes S() const { return Bytes(m_sig.rs.begin() + 32, m_sig.rs.end()); }
};

struct Sm2P7Signature {
    int nResult = -2;
    Bytes cert, signature, content;
    bool bContent = false;
    std::string strDigestAlg, strDigestEncAlg;
};

Sm2P7Signature ParseItems(Bytes der)
{
    Sm2P7Signature out;
    HandedDer cert;
    unsigned char *pbySig = NULL, *pbyContent = NULL;
    char *pszDigest = NULL, *pszDigestEnc = NULL;
    int nSig = 0, nContent = 0, nDigest = 0, nDigestEnc = 0;
    out.nResult = ParseSM2PKCS7Signature(der.data(), (int)der.size(), &cert.pby, &cert.n, &pbySig,
                                         &nSig, &pbyContent, &nContent, &pszDigest, &nDigest,
                                         &pszDigestEnc, &nDigestEnc);
    out.cert = cert.Get();
    out.signature = Take(pbySig, nSig);
    out.bContent = NULL != pbyContent;
    out.content = Take(pbyContent, nContent);
    out.strDigestAlg = TakeText(pszDigest, nDigest);
    out.strDigestEncAlg = TakeText(pszDigestEnc, nDigestEnc);
    return out;
}

TEST_F(Sm2Pkcs7Items, GenconfMessageDecodesAndReencodes)
{
    Message msg = RawMessage(m_sig.r, m_sig.s);
    msg.certificates.clear();
    const Bytes der = GenconfMessage(m_sig.r, m_sig.s);
    // The CLI and our pieces agree on every octet, so the pieces below are the expectations.
    ASSERT_EQ(peer::Hex(msg.Build()), peer::Hex(der));

    const unsigned char* p = der.data();
    SM2PKCS7* pP7 = d2i_SM2PKCS7(NULL, &p, (long)der.size());
    ASSERT_NE(nullptr, pP7);
    EXPECT_EQ(der.data() + der.size(), p);
    ASSERT_NE(nullptr, pP7->SM2PKCS7SignedData);
    EXPECT_EQ(nullptr, pP7->SM2PKCS7SignedData->cert);
    EXPECT_EQ(1, sk_SM2PKCS7_SIGNER_INFO_num(pP7->SM2PKCS7SignedData->signer_info));
    OpensslDer again;
    again.n = i2d_SM2PKCS7(pP7, &again.pby);
    EXPECT_EQ(peer::Hex(der), peer::Hex(again.Get()));
    SM2PKCS7_free(pP7);

    char* pszType = NULL;
    int nType = 0;
    HandedDer signedPart;
    ASSERT_EQ(VOMU_OK, ParseSM2P7(const_cast<unsigned char*>(der.data()), (int)der.size(), &pszType,
                                  &nType, &signedPart.pby, &signedPart.n));
    EXPECT_EQ(kOidSM2SignedData, TakeText(pszType, nType));  // unknown to OpenSSL: digits
    EXPECT_EQ(peer::Hex(msg.SignedData()), peer::Hex(signedPart.Get()));

    // Without a certificate the certificate output fails; the other parts read.
    Bytes signedDer = signedPart.Get();
    HandedDer digestAlg, contents, cert, signerInfo;
    EXPECT_EQ(VOMU_E_FAIL, ParseSM2P7SignedData(signedDer.data(), (int)signedDer.size(), &digestAlg.pby,
                                                &digestAlg.n, &contents.pby, &contents.n, &cert.pby,
                                                &cert.n, &signerInfo.pby, &signerInfo.n));
    EXPECT_EQ(nullptr, digestAlg.pby);
    ASSERT_EQ(VOMU_OK, ParseSM2P7SignedData(signedDer.data(), (int)signedDer.size(), &digestAlg.pby,
                                            &digestAlg.n, &contents.pby, &contents.n, NULL, NULL,
                                            &signerInfo.pby, &signerInfo.n));
    EXPECT_EQ(peer::Hex(NullAlgorithm(kOidSM3)), peer::Hex(digestAlg.Get()));
    EXPECT_EQ(peer::Hex(msg.ContentInfo()), peer::Hex(contents.Get()));
    EXPECT_EQ(peer::Hex(msg.SignerInfo()), peer::Hex(signerInfo.Get()));

    Bytes signerInfoDer = signerInfo.Get();
    HandedDer ias, digest, digestEnc;
    unsigned char *pbyR = NULL, *pbyS = NULL;
    int nR = 0, nS = 0;
    ASSERT_EQ(VOMU_OK, ParseSM2P7SignerInfo(signerInfoDer.data(), (int)signerInfoDer.size(), &ias.pby,
                                            &ias.n, &digest.pby, &digest.n, &digestEnc.pby,
                                            &digestEnc.n, &pbyR, &nR, &pbyS, &nS));
    EXPECT_EQ(peer::Hex(msg.sid), peer::Hex(ias.Get()));
    EXPECT_EQ(peer::Hex(NullAlgorithm(kOidSM3)), peer::Hex(digest.Get()));
    EXPECT_EQ(peer::Hex(NullAlgorithm(kOidSM2Sign)), peer::Hex(digestEnc.Get()));
    EXPECT_EQ(peer::Hex(R()), peer::Hex(Take(pbyR, nR)));
    EXPECT_EQ(peer::Hex(S()), peer::Hex(Take(pbyS, nS)));

    const Sm2P7Signature got = ParseItems(der);
    EXPECT_EQ(VOMU_E_FAIL, got.nResult);  // asks for the certificate
}

TEST_F(Sm2Pkcs7Items, SignatureReadsAsOpenSSLVerifiesIt)
{
    const Bytes der = RawMessage(m_sig.r, m_sig.s).Build();
    const Sm2P7Signature got = ParseItems(der);
    ASSERT_EQ(VOMU_OK, got.nResult);
    EXPECT_EQ(peer::Hex(m_signer.cert), peer::Hex(got.cert));
    EXPECT_EQ(peer::Hex(m_sig.rs), peer::Hex(got.signature));
    EXPECT_TRUE(VerifiedByOpenSSL(got.cert, m_message, got.signature));
    EXPECT_EQ(peer::Hex(m_message), peer::Hex(got.content));
    EXPECT_EQ(kOidSM3, got.strDigestAlg);
    EXPECT_EQ(kOidSM2Sign, got.strDigestEncAlg);
    // The positional reader reads the same message alike.
    const Parsed positional = ParseMemory(der);
    ASSERT_EQ(VOMU_OK, positional.nResult);
    EXPECT_EQ(peer::Hex(got.signature), peer::Hex(positional.signature));
    EXPECT_EQ(peer::Hex(got.cert), peer::Hex(positional.cert));

    Message detached = RawMessage(m_sig.r, m_sig.s);
    detached.bAttached = false;
    const Sm2P7Signature noContent = ParseItems(detached.Build());
    ASSERT_EQ(VOMU_OK, noContent.nResult);
    EXPECT_FALSE(noContent.bContent);

    // Segmented content, as streaming writers emit it, comes back joined.
    Message segmented = RawMessage(m_sig.r, m_sig.s);
    segmented.contentField = Tlv(0xA0, Indefinite(0x24, Cat({Octets(Bytes(m_message.begin(), m_message.begin() + 5)),
                                                             Octets(Bytes(m_message.begin() + 5, m_message.end()))})));
    const Sm2P7Signature joined = ParseItems(segmented.Build());
    ASSERT_EQ(VOMU_OK, joined.nResult);
    EXPECT_EQ(peer::Hex(m_message), peer::Hex(joined.content));

    // Streamed (indefinite lengths): decoded alike, re-encoded definite.
    Message msg = RawMessage(m_sig.r, m_sig.s);
    const Bytes ber = Indefinite(0x30, Cat({OidTlv(kOidSM2SignedData), Indefinite(0xA0, msg.SignedData())}));
    const unsigned char* p = ber.data();
    SM2PKCS7* pP7 = d2i_SM2PKCS7(NULL, &p, (long)ber.size());
    ASSERT_NE(nullptr, pP7);
    OpensslDer again;
    again.n = i2d_SM2PKCS7(pP7, &again.pby);
    SM2PKCS7_free(pP7);
    EXPECT_EQ(peer::Hex(der), peer::Hex(again.Get()));
}

// One rule for r and s in every SignedData reader: a non-negative INTEGER below 2^256 in 1 to
// 33 octets, left-padded to 32; anything else is refused with the reader's own format code.
// A reader's failed step is logged under the name the caller called, whichever internal piece
// of the reader checked it: log readers search for the public names.
TEST_F(Sm2Pkcs7Items, FailedStepsNameTheReaderCalled)
{
    // A SignedData of one field: too few for any reader.
    const Bytes shortSignedData =
        Tlv(0x30, Cat({OidTlv(kOidSM2SignedData), Tlv(0xA0, Tlv(0x30, Integer({1})))}));
    const Bytes negativeR = RawMessage({0x80, 0x01}, Bytes(32, 0x11)).Build();
    const struct {
        const char* pszLine;
        std::function<void()> run;
    } kCases[] = {
        {"(ParsePKCS7Signature -- Check PKCS#7 'signedData' nodes)\t\t--Failed",
         [&] { EXPECT_EQ(VOMU_E_PKCS7_FORMAT, ParseMemory(shortSignedData).nResult); }},
        {"(ParsePKCS7AttachedSignatureFile -- Check PKCS#7 'signedData' nodes)\t\t--Failed",
         [&] { EXPECT_EQ(VOMU_E_PKCS7_FORMAT, ParseFile(shortSignedData).nResult); }},
        {"(ParsePKCS7Signature -- Check R/S value)\t\t--Failed",
         [&] { EXPECT_EQ(VOMU_E_PKCS7_FORMAT, ParseMemory(negativeR).nResult); }},
        {"(ParseSM2PKCS7Signature -- Check signature numbers)\t\t--Failed",
         [&] { EXPECT_EQ(VOMU_E_FAIL, ParseItems(negativeR).nResult); }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszLine);
        morv_test::LogCapture log;
        ASSERT_TRUE(log.Ok());
        c.run();
        EXPECT_TRUE(log.Contains(c.pszLine)) << log.Contents();
    }
}

TEST_F(Sm2Pkcs7Items, EveryReaderReadsRAndSByOneRule)
{
    const Bytes small = Cat({{0x3C}, Bytes(23, 0xA5)});  // 24 octets: below 2^224
    const Bytes small32 = Cat({Bytes(8, 0x00), small});
    const Bytes high = Cat({{0x80}, Bytes(31, 0x5A)});   // top bit set: 2^255 or more
    const Bytes other = Cat({{0x11}, Bytes(31, 0x22)});  // the half not under test
    const struct {
        const char* pszName;
        Bytes integer;   // the INTEGER's value octets as written
        Bytes expected;  // the 32 octets read; empty: refused
    } kCases[] = {
        {"minimal, below 2^224", small, small32},
        {"32-octet fixed with leading zeros", small32, small32},
        {"33 octets with a leading zero", Cat({{0x00}, small32}), small32},
        {"minimal with its sign octet", Cat({{0x00}, high}), high},
        {"negative", high, {}},
        {"33 octets, 2^256 or more", Cat({{0x01}, small32}), {}},
        {"40 octets", Cat({Bytes(8, 0x00), small32}), {}},
    };
    for (const auto& c : kCases) {
        for (bool bR : {true, false}) {
            SCOPED_TRACE(std::string(c.pszName) + (bR ? " as r" : " as s"));
            const Bytes der = bR ? RawMessage(c.integer, other).Build() : RawMessage(other, c.integer).Build();
            const Bytes expectedRS = bR ? Cat({c.expected, other}) : Cat({other, c.expected});
            const bool bAccepted = !c.expected.empty();
            const Parsed memory = ParseMemory(der);
            const Parsed file = ParseFile(der);
            const Sm2P7Signature items = ParseItems(der);
            EXPECT_EQ(bAccepted ? VOMU_OK : VOMU_E_PKCS7_FORMAT, memory.nResult);
            EXPECT_EQ(bAccepted ? VOMU_OK : VOMU_E_PKCS7_FORMAT, file.nResult);
            EXPECT_EQ(bAccepted ? VOMU_OK : VOMU_E_FAIL, items.nResult);
            if (!bAccepted) continue;
            EXPECT_EQ(peer::Hex(expectedRS), peer::Hex(memory.signature));
            EXPECT_EQ(peer::Hex(expectedRS), peer::Hex(file.signature));
            EXPECT_EQ(peer::Hex(expectedRS), peer::Hex(items.signature));
        }
    }
}

TEST_F(Sm2Pkcs7Items, NumbersAndLastEntries)
{
    const Bytes high = Cat({{0x80}, Bytes(31, 0x11)});  // written 02 21 00 80 ...
    const Bytes short31 = Bytes(31, 0x22);
    const Bytes s = m_sig.s;  // as the INTEGER holds it
    const struct {
        const char* pszName;
        Bytes r;
        Bytes expectedR;
    } kCases[] = {
        {"r with a sign octet", Cat({{0x00}, high}), high},
        {"31-octet r", short31, Cat({{0x00}, short31})},
        {"one-octet r", {0x05}, Cat({Bytes(31, 0x00), {0x05}})},
        {"fixed 32-octet r with leading zeros", Cat({Bytes(3, 0x00), Bytes(29, 0x21)}),
         Cat({Bytes(3, 0x00), Bytes(29, 0x21)})},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszName);
        morv_test::LogCapture log;
        const Sm2P7Signature got = ParseItems(RawMessage(c.r, s).Build());
        ASSERT_EQ(VOMU_OK, got.nResult) << log.Contents();
        EXPECT_EQ(peer::Hex(Cat({c.expectedR, S()})), peer::Hex(got.signature));
    }
    // Neither a negative number nor one of 2^256 or more is a signature value.
    EXPECT_EQ(VOMU_E_FAIL, ParseItems(RawMessage({0x80, 0x01}, s).Build()).nResult);
    EXPECT_EQ(VOMU_E_FAIL, ParseItems(RawMessage(Cat({{0x01}, Bytes(32, 0x33)}), s).Build()).nResult);

    // Two SignerInfos: the first one is the signer, as for every SignedData reader.
    Message two = RawMessage(m_sig.r, m_sig.s);
    two.moreSignerInfos = RawMessage(Bytes(32, 0x44), Bytes(32, 0x55)).SignerInfo();
    const Bytes der = two.Build();
    const Sm2P7Signature got = ParseItems(der);
    ASSERT_EQ(VOMU_OK, got.nResult);
    EXPECT_EQ(peer::Hex(m_sig.rs), peer::Hex(got.signature));
    Bytes signedDer = two.SignedData();
    HandedDer signerInfo;
    ASSERT_EQ(VOMU_OK, ParseSM2P7SignedData(signedDer.data(), (int)signedDer.size(), NULL, NULL, NULL,
                                            NULL, NULL, NULL, &signerInfo.pby, &signerInfo.n));
    EXPECT_EQ(peer::Hex(RawMessage(m_sig.r, m_sig.s).SignerInfo()), peer::Hex(signerInfo.Get()));

    // The content type by its long name when OpenSSL knows it.
    Message pkcs7 = RawMessage(m_sig.r, m_sig.s);
    pkcs7.strContentType = kOidSignedData;
    Bytes pkcs7Der = pkcs7.Build();
    char* pszType = NULL;
    int nType = 0;
    ASSERT_EQ(VOMU_OK, ParseSM2P7(pkcs7Der.data(), (int)pkcs7Der.size(), &pszType, &nType, NULL, NULL));
    EXPECT_EQ(OBJ_nid2ln(NID_pkcs7_signed), TakeText(pszType, nType));

    // Anything that is not the structure fails without outputs.
    for (Bytes bad : {Bytes{0x30, 0x00}, Bytes(pkcs7Der.begin(), pkcs7Der.end() - 1), Octets({1, 2, 3})}) {
        char* psz = reinterpret_cast<char*>(0x1);
        EXPECT_EQ(VOMU_E_FAIL, ParseSM2P7(bad.data(), (int)bad.size(), &psz, &nType, NULL, NULL));
        EXPECT_EQ(reinterpret_cast<char*>(0x1), psz);
        EXPECT_EQ(VOMU_E_FAIL, ParseItems(bad).nResult);
        unsigned char* pby = reinterpret_cast<unsigned char*>(0x1);
        EXPECT_EQ(VOMU_E_FAIL, ParseSM2P7SignedData(bad.data(), (int)bad.size(), &pby, &nType, NULL, NULL,
                                                    NULL, NULL, NULL, NULL));
        EXPECT_EQ(VOMU_E_FAIL, ParseSM2P7SignerInfo(bad.data(), (int)bad.size(), &pby, &nType, NULL, NULL,
                                                    NULL, NULL, NULL, NULL, NULL, NULL));
        EXPECT_EQ(reinterpret_cast<unsigned char*>(0x1), pby);
    }
}

}  // namespace
