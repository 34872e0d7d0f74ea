// The SignedData readers against the openssl CLI (cms, smime, asn1parse -genconf) and
// OpenSSL's own PKCS#7 decoder in the DEFAULT library context: every field we read out must
// equal what OpenSSL reads out of the same octets. SM2 messages are assembled here from
// OpenSSL's pieces (fixture certificate, an SM2 signature by OpenSSL's SM2 with the standard
// ID), never from our writer.
#include <gtest/gtest.h>

#include <openssl/asn1t.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

#include "HandOver.h"
#include "LogCapture.h"
#include "OpenSSLPeer.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "SMKernel.h"
#include "vomu_result.h"

using peer::Bytes;

namespace {

const std::string kPki = MORV_TEST_DATA_DIR "/pki/";

const char kOidData[] = "1.2.840.113549.1.7.1";
const char kOidSignedData[] = "1.2.840.113549.1.7.2";
const char kOidSM2Data[] = "1.2.156.10197.6.1.4.2.1";
const char kOidSM2SignedData[] = "1.2.156.10197.6.1.4.2.2";
const char kOidSM3[] = "1.2.156.10197.1.401";
const char kOidSM2Sign[] = "1.2.156.10197.1.301.1";
const char kOidMessageDigest[] = "1.2.840.113549.1.9.4";

Bytes ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& strPath, const Bytes& bytes)
{
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
    return static_cast<bool>(out);
}

// ---- DER pieces (X.690 8.1), for messages the CLI cannot write ----

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Tlv(unsigned char byTag, const Bytes& content)
{
    Bytes out = {byTag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back((unsigned char)n);
    } else {
        Bytes length;
        for (size_t v = n; v; v >>= 8) length.insert(length.begin(), (unsigned char)v);
        out.push_back((unsigned char)(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// The indefinite form: tag 80 content 00 00.
Bytes Indefinite(unsigned char byTag, const Bytes& content)
{
    return Cat({{byTag, 0x80}, content, {0x00, 0x00}});
}

// OBJECT IDENTIFIER TLV by OpenSSL.
Bytes Oid(const char* pszOid)
{
    morv::OsslPtr<ASN1_OBJECT> pObj(OBJ_txt2obj(pszOid, 1));
    unsigned char* pby = NULL;
    const int n = pObj ? i2d_ASN1_OBJECT(pObj.get(), &pby) : 0;
    Bytes out(pby, pby + (n > 0 ? n : 0));
    OPENSSL_free(pby);
    return out;
}

Bytes AlgorithmId(const char* pszOid) { return Tlv(0x30, Cat({Oid(pszOid), {0x05, 0x00}})); }
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

Bytes CertDer(X509* pCert)
{
    unsigned char* pby = NULL;
    const int n = i2d_X509(pCert, &pby);
    Bytes out(pby, pby + (n > 0 ? n : 0));
    OPENSSL_free(pby);
    return out;
}

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

template <typename T> Bytes Take(T* pby, int n)
{
    morv::OwnedArray<T> owned(pby);
    return pby ? Bytes(pby, pby + n) : Bytes();
}

std::string TakeText(char* psz, int n)
{
    morv::OwnedArray<char> owned(psz);
    if (!psz) return std::string();
    EXPECT_EQ((size_t)n, strlen(psz));
    return std::string(psz, n);
}

Parsed ParseMemory(Bytes der)
{
    Parsed out;
    unsigned char *pbyCert = NULL, *pbySig = NULL, *pbyContent = NULL, *pbySigned = NULL,
                  *pbyUnsigned = NULL;
    char *pszDigest = NULL, *pszDigestEnc = NULL;
    int nCert = 0, nSig = 0, nContent = 0, nDigest = 0, nDigestEnc = 0, nSigned = 0, nUnsigned = 0;
    out.nResult = ParsePKCS7Signature(der.data(), (int)der.size(), &pbyCert, &nCert, &pbySig,
                                      &nSig, &pbyContent, &nContent, &pszDigest, &nDigest,
                                      &pszDigestEnc, &nDigestEnc, &pbySigned, &nSigned,
                                      &pbyUnsigned, &nUnsigned);
    out.bContent = NULL != pbyContent;
    out.bContentTerminated = pbyContent && 0 == pbyContent[nContent];
    out.cert = Take(pbyCert, nCert);
    out.signature = Take(pbySig, nSig);
    out.content = Take(pbyContent, nContent);
    out.strDigestAlg = TakeText(pszDigest, nDigest);
    out.strDigestEncAlg = TakeText(pszDigestEnc, nDigestEnc);
    out.signedAttrs = Take(pbySigned, nSigned);
    out.unsignedAttrs = Take(pbyUnsigned, nUnsigned);
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
    unsigned char *pbyCert = NULL, *pbySig = NULL, *pbySigned = NULL, *pbyUnsigned = NULL;
    char *pszDigest = NULL, *pszDigestEnc = NULL;
    int nCert = 0, nSig = 0, nDigest = 0, nDigestEnc = 0, nSigned = 0, nUnsigned = 0;
    out.nResult = ParsePKCS7AttachedSignatureFile(
        fp, &pbyCert, &nCert, &pbySig, &nSig, &out.nContentPosition, &out.nContentSize,
        &pszDigest, &nDigest, &pszDigestEnc, &nDigestEnc, &pbySigned, &nSigned, &pbyUnsigned,
        &nUnsigned);
    if (pnPositionAfter) *pnPositionAfter = ftell(fp);
    fclose(fp);
    out.cert = Take(pbyCert, nCert);
    out.signature = Take(pbySig, nSig);
    out.strDigestAlg = TakeText(pszDigest, nDigest);
    out.strDigestEncAlg = TakeText(pszDigestEnc, nDigestEnc);
    out.signedAttrs = Take(pbySigned, nSigned);
    out.unsignedAttrs = Take(pbyUnsigned, nUnsigned);
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
        ASSERT_TRUE(WriteFile(m_strDir + "/bundle.pem", Cat({ReadFile(kPki + "rsa/int.pem"),
                                                             ReadFile(kPki + "rsa/ee_sign.pem")})));
    }
    void TearDown() override { morv_test::RemoveTree(m_strDir); }

    // Runs `openssl <args>` over a message of nSize bytes; the DER it wrote.
    Bytes Sign(const std::string& strArgs, size_t nSize, Bytes* pMessage)
    {
        *pMessage = Bytes(nSize);
        for (size_t i = 0; i < nSize; i++) (*pMessage)[i] = (unsigned char)(i * 7 + 3);
        const std::string strMsg = m_strDir + "/msg.bin", strOut = m_strDir + "/out.der";
        EXPECT_TRUE(WriteFile(strMsg, *pMessage));
        std::string strOutput;
        const int nStatus = peer::RunCommand("cd '" + m_strDir + "' && openssl " + strArgs +
                                                 " -binary -outform DER -in msg.bin -out out.der",
                                             &strOutput);
        EXPECT_EQ(0, nStatus) << strOutput;
        return ReadFile(strOut);
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
         10000, true, false},
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
        if (c.nMessageSize > 4096 && std::string(c.pszName).find("-stream") != std::string::npos) {
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

}  // namespace
