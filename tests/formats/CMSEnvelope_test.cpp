// The EnvelopedData writer and readers against OpenSSL 3: `openssl cms -decrypt` opens what we
// write, `openssl cms -encrypt -keyid` envelopes (DER and -stream BER) open with both readers,
// and those naming the recipient by issuer and serial number (the CLI's default) are refused by
// both; RSA key transport and 3DES-CBC run in OpenSSL's default library context inside the
// test, so every plaintext compared comes from the peer.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>
#include <vector>

#include "CMSEnvelopeOperations.h"
#include "DerTestUtil.h"
#include "HandOver.h"
#include "LogCapture.h"
#include "TestOutputs.h"
#include "OpenSSLPeer.h"
#include "vomu_result.h"

using dertest::Cat;
using dertest::Tlv;
using morv::OsslPtr;
using morv::OwnedArray;
using peer::Bytes;
using peer::Hex;
using peer::ReadFileBytes;
using support::Take;

namespace {

const std::string kPki = std::string(MORV_TEST_DATA_DIR) + "/pki/rsa/";
const std::string kRecipientPem = kPki + "ee_enc.pem";
const std::string kRecipientKey = kPki + "ee_enc.key";

const char kEnvelopedDataOID[] = "1.2.840.113549.1.7.3";
const char kDataOID[] = "1.2.840.113549.1.7.1";
const char kRsaEncryptionOID[] = "1.2.840.113549.1.1.1";
const char kDesEde3CbcOID[] = "1.2.840.113549.3.7";

Bytes Random(size_t n)
{
    Bytes out(n);
    if (n) RAND_bytes(out.data(), (int)n);
    return out;
}

// ---- The peer: certificate, RSA key transport and 3DES-CBC in the default library context ----

struct Recipient {
    OsslPtr<X509> pCert;
    OsslPtr<EVP_PKEY> pKey;
    Bytes keyId;
};

Recipient LoadRecipient()
{
    Recipient r;
    r.pCert = peer::ReadPemCert(kRecipientPem);
    r.pKey = peer::ReadPemKey(kRecipientKey);
    if (!r.pCert) return r;
    const ASN1_OCTET_STRING* pKeyId = X509_get0_subject_key_id(r.pCert.get());
    if (pKeyId) r.keyId.assign(pKeyId->data, pKeyId->data + pKeyId->length);
    return r;
}

Bytes RsaCrypt(EVP_PKEY* pKey, const Bytes& in, bool bEncrypt)
{
    OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new(pKey, NULL));
    if (!pCtx) return Bytes();
    const int nInit = bEncrypt ? EVP_PKEY_encrypt_init(pCtx.get()) : EVP_PKEY_decrypt_init(pCtx.get());
    if (nInit != 1 || EVP_PKEY_CTX_set_rsa_padding(pCtx.get(), RSA_PKCS1_PADDING) != 1) return Bytes();
    size_t n = 0;
    auto run = [&](unsigned char* pOut) {
        return bEncrypt ? EVP_PKEY_encrypt(pCtx.get(), pOut, &n, in.data(), in.size())
                        : EVP_PKEY_decrypt(pCtx.get(), pOut, &n, in.data(), in.size());
    };
    if (run(NULL) != 1) return Bytes();
    Bytes out(n);
    if (run(out.data()) != 1) return Bytes();
    out.resize(n);
    return out;
}

// 3DES-CBC over chunks fed one after another, as a caller decrypting a stream would.
bool Des3(const Bytes& key, const Bytes& iv, const std::vector<Bytes>& chunks, bool bEncrypt, Bytes* pOut)
{
    OsslPtr<EVP_CIPHER_CTX> pCtx(EVP_CIPHER_CTX_new());
    if (!pCtx || key.size() != 24 || iv.size() != 8 ||
        EVP_CipherInit_ex(pCtx.get(), EVP_des_ede3_cbc(), NULL, key.data(), iv.data(), bEncrypt) != 1)
        return false;
    pOut->clear();
    for (const Bytes& chunk : chunks) {
        Bytes buf(chunk.size() + 16);
        int n = 0;
        if (EVP_CipherUpdate(pCtx.get(), buf.data(), &n, chunk.data(), (int)chunk.size()) != 1) return false;
        pOut->insert(pOut->end(), buf.begin(), buf.begin() + n);
    }
    Bytes tail(16);
    int n = 0;
    if (EVP_CipherFinal_ex(pCtx.get(), tail.data(), &n) != 1) return false;
    pOut->insert(pOut->end(), tail.begin(), tail.begin() + n);
    return true;
}

// ---- Our readers, with their outputs collected ----

struct Fields {
    int nResult = VOMU_E_FAIL;
    Bytes recipientId;
    Bytes encryptedKey;
    Bytes content;                 // the memory reader's array, or the file segments joined
    std::vector<Bytes> segments;   // the file reader's chunks, in order
    bool bContentZeroEnded = false;
    std::string keyAlg, contentAlg;
    Bytes param;
    bool bParamNull = false;
    // The file reader's node.
    int64_t nContentOffset = -1;
    uint64_t nContentLength = 0;
    uint8_t byContentTag = 0;
};

std::string TakeText(char* psz, int n) { return support::TakeText(psz, n, "<null>"); }

Fields ReadMemory(const Bytes& der)
{
    Fields f;
    unsigned char *pbyRid = NULL, *pbyKey = NULL, *pbyContent = NULL, *pbyParam = NULL;
    char *pszKeyAlg = NULL, *pszContentAlg = NULL;
    int nRid = -1, nKey = -1, nContent = -1, nKeyAlg = -1, nContentAlg = -1, nParam = -1;
    // An exact-size heap copy, so a read past the end is an ASan report.
    OwnedArray<unsigned char> pCopy(new unsigned char[der.size() ? der.size() : 1]);
    if (!der.empty()) memcpy(pCopy.get(), der.data(), der.size());
    f.nResult = Decode_CMSEnvelopeData(pCopy.get(), (int)der.size(), &pbyRid, &nRid, &pbyKey, &nKey,
                                       &pbyContent, &nContent, &pszKeyAlg, &nKeyAlg, &pszContentAlg,
                                       &nContentAlg, &pbyParam, &nParam);
    if (VOMU_OK != f.nResult) {
        EXPECT_TRUE(!pbyRid && !pbyKey && !pbyContent && !pszKeyAlg && !pszContentAlg && !pbyParam);
        return f;
    }
    f.recipientId = Take(pbyRid, nRid);
    f.encryptedKey = Take(pbyKey, nKey);
    f.bContentZeroEnded = pbyContent && 0 == pbyContent[nContent];
    f.content = Take(pbyContent, nContent);
    f.keyAlg = TakeText(pszKeyAlg, nKeyAlg);
    f.contentAlg = TakeText(pszContentAlg, nContentAlg);
    f.bParamNull = NULL == pbyParam;
    f.param = Take(pbyParam, nParam);
    return f;
}

Bytes ReadAt(FILE* fp, int64_t nOffset, uint64_t nSize)
{
    Bytes out((size_t)nSize);
    if (fseeko(fp, nOffset, SEEK_SET) != 0 || (nSize && fread(out.data(), 1, out.size(), fp) != out.size()))
        return Bytes();
    return out;
}

Fields ReadFileStream(FILE* fp)
{
    Fields f;
    unsigned char *pbyRid = NULL, *pbyKey = NULL, *pbyParam = NULL;
    char *pszKeyAlg = NULL, *pszContentAlg = NULL;
    int nRid = -1, nKey = -1, nKeyAlg = -1, nContentAlg = -1, nParam = -1;
    NodeEx* pContent = NULL;
    f.nResult = Decode_CMSEnvelopeFile(fp, &pbyRid, &nRid, &pbyKey, &nKey, &pContent, &pszKeyAlg,
                                       &nKeyAlg, &pszContentAlg, &nContentAlg, &pbyParam, &nParam);
    std::unique_ptr<NodeEx> owned(pContent);
    if (VOMU_OK != f.nResult) {
        EXPECT_TRUE(!pbyRid && !pbyKey && !pContent && !pszKeyAlg && !pszContentAlg && !pbyParam);
        return f;
    }
    f.recipientId = Take(pbyRid, nRid);
    f.encryptedKey = Take(pbyKey, nKey);
    f.keyAlg = TakeText(pszKeyAlg, nKeyAlg);
    f.contentAlg = TakeText(pszContentAlg, nContentAlg);
    f.bParamNull = NULL == pbyParam;
    f.param = Take(pbyParam, nParam);
    f.nContentOffset = pContent->ValueOffset;
    f.nContentLength = pContent->ValueLength;
    f.byContentTag = pContent->Tag;
    const long nBefore = ftell(fp);
    if (pContent->vetNodes.empty()) {
        f.segments.push_back(ReadAt(fp, pContent->ValueOffset, pContent->ValueLength));
    } else {
        for (const NodeEx* pSegment : pContent->vetNodes)
            f.segments.push_back(ReadAt(fp, pSegment->ValueOffset, pSegment->ValueLength));
    }
    fseek(fp, nBefore, SEEK_SET);
    for (const Bytes& s : f.segments) f.content.insert(f.content.end(), s.begin(), s.end());
    return f;
}

Fields ReadFile(const std::string& path)
{
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return Fields();
    Fields f = ReadFileStream(fp);
    fclose(fp);
    return f;
}

Fields ReadFile(const Bytes& der)
{
    peer::TempFile file(der);
    return ReadFile(file.Path());
}

// Both readers saw the same envelope.
void ExpectReadersAgree(const Fields& m, const Fields& f)
{
    ASSERT_EQ(m.nResult, f.nResult);
    if (VOMU_OK != m.nResult) return;
    EXPECT_EQ(Hex(m.recipientId), Hex(f.recipientId));
    EXPECT_EQ(Hex(m.encryptedKey), Hex(f.encryptedKey));
    EXPECT_EQ(Hex(m.content), Hex(f.content));
    EXPECT_EQ(m.keyAlg, f.keyAlg);
    EXPECT_EQ(m.contentAlg, f.contentAlg);
    EXPECT_EQ(Hex(m.param), Hex(f.param));
    EXPECT_TRUE(m.bContentZeroEnded);
    EXPECT_FALSE(f.bParamNull);
}

// ---- Our writer ----

struct Plan {
    std::string contentType = kEnvelopedDataOID;
    Bytes recipientId;
    std::string keyAlg = kRsaEncryptionOID;
    Bytes encryptedKey;
    std::string encryptedType = kDataOID;
    std::string contentAlg = kDesEde3CbcOID;
    Bytes param;
    Bytes content;
    bool bHeaderOnly = false;
};

int Write(Plan p, Bytes* pDER)
{
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = Encode_CMSEnvelope(
        p.contentType.c_str(), p.recipientId.data(), (int)p.recipientId.size(), p.keyAlg.c_str(),
        p.encryptedKey.data(), (int)p.encryptedKey.size(), p.encryptedType.c_str(),
        p.contentAlg.c_str(), p.param.data(), (int)p.param.size(),
        p.bHeaderOnly ? NULL : p.content.data(), (int)p.content.size(), &pby, &n);
    OwnedArray<unsigned char> owned(pby);
    if (VOMU_OK == nResult) pDER->assign(pby, pby + n);
    else EXPECT_EQ(nullptr, pby);
    return nResult;
}

// A 3DES envelope of msg for the fixture recipient, sealed by the peer.
struct Sealed {
    Plan plan;
    Bytes cek, iv;
};

Sealed Seal(const Recipient& r, const Bytes& msg)
{
    Sealed s;
    s.cek = Random(24);
    s.iv = Random(8);
    s.plan.recipientId = r.keyId;
    s.plan.encryptedKey = RsaCrypt(r.pKey.get(), s.cek, true);
    s.plan.param = Cat({{0x04, 0x08}, s.iv});
    EXPECT_TRUE(Des3(s.cek, s.iv, {msg}, true, &s.plan.content));
    return s;
}

// What a caller of either reader does: RSA-decrypt the key, check its length for the cipher,
// decrypt the content segment by segment.
Bytes Open(const Recipient& r, const Fields& f)
{
    EXPECT_EQ(kRsaEncryptionOID, f.keyAlg);
    EXPECT_EQ(kDesEde3CbcOID, f.contentAlg);
    const Bytes cek = RsaCrypt(r.pKey.get(), f.encryptedKey, false);
    EXPECT_EQ(24u, cek.size()) << "3DES takes a 24-octet key";
    Bytes plain;
    const std::vector<Bytes> chunks = f.segments.empty() ? std::vector<Bytes>{f.content} : f.segments;
    EXPECT_TRUE(Des3(cek, f.param, chunks, false, &plain));
    return plain;
}

class CMSEnvelopeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_r = LoadRecipient();
        ASSERT_TRUE(m_r.pCert && m_r.pKey);
        ASSERT_EQ(20u, m_r.keyId.size());
    }
    Recipient m_r;
};

// ---- Writer ----

TEST_F(CMSEnvelopeTest, OurEnvelopesOpenWithOpenSSLCmsDecrypt)
{
    const size_t kSizes[] = {0, 1, 8, 16383, 16385};
    for (size_t nSize : kSizes) {
        SCOPED_TRACE(std::to_string(nSize) + " octets");
        const Bytes msg = Random(nSize);
        Sealed s = Seal(m_r, msg);
        Bytes der;
        ASSERT_EQ(VOMU_OK, Write(s.plan, &der));
        peer::TempFile env(der);
        bool bOpened = false;
        std::string log;
        const Bytes opened = peer::CmsDecrypt(env.Path(), kRecipientPem, kRecipientKey, &bOpened, &log);
        ASSERT_TRUE(bOpened) << log;
        EXPECT_EQ(Hex(msg), Hex(opened));
        // Strict DER: the CLI re-encodes what it parsed into the same octets.
        peer::TempFile again;
        ASSERT_EQ(0, peer::RunCommand("openssl cms -cmsout -inform DER -outform DER -in " +
                                      env.Path() + " -out " + again.Path()));
        EXPECT_EQ(Hex(der), Hex(again.Read()));
    }
}

// The worked SM2 layout: a 20-octet key identifier, a 112-octet raw SM2 key, a 16-octet IV
// and 32 ciphertext octets give these 262 octets (the structure written out by hand).
TEST(CMSEnvelopeLayout, SM2EnvelopeOctetForOctet)
{
    const Bytes keyId = Random(20), key = Random(112), iv = Random(16), content = Random(32);
    Plan p;
    p.contentType = "1.2.156.10197.6.1.4.2.3";
    p.recipientId = keyId;
    p.keyAlg = "1.2.156.10197.1.301.3";
    p.encryptedKey = key;
    p.encryptedType = "1.2.156.10197.6.1.4.2.1";
    p.contentAlg = "1.2.156.10197.1.104";
    p.param = Cat({{0x04, 0x10}, iv});
    p.content = content;
    Bytes der;
    ASSERT_EQ(VOMU_OK, Write(p, &der));
    const Bytes expected = Cat({
        peer::FromHex("30820102" "060A2A811CCF550601040203" "A081F3" "3081F0" "020102" "31819D" "30819A"
                      "020102"),
        {0x80, 0x14}, keyId,
        peer::FromHex("300D06092A811CCF5501822D030500"), {0x04, 0x70}, key,
        peer::FromHex("304B" "060A2A811CCF550601040201" "301B" "06072A811CCF550168" "0410"), iv,
        {0x80, 0x20}, content});
    ASSERT_EQ(262u, der.size());
    EXPECT_EQ(Hex(expected), Hex(der));

    const Fields m = ReadMemory(der);
    ASSERT_EQ(VOMU_OK, m.nResult);
    EXPECT_EQ(Hex(keyId), Hex(m.recipientId));
    EXPECT_EQ(Hex(key), Hex(m.encryptedKey));
    EXPECT_EQ(Hex(content), Hex(m.content));
    EXPECT_TRUE(m.bContentZeroEnded);
    EXPECT_EQ("1.2.156.10197.1.301.3", m.keyAlg);
    EXPECT_EQ("1.2.156.10197.1.104", m.contentAlg);
    EXPECT_EQ(Hex(iv), Hex(m.param));
    ExpectReadersAgree(m, ReadFile(der));
}

// Header for streamed content: the SM2 example of a 1000-octet file (declared 1008) is 236
// octets; with the ciphertext appended it is the in-memory envelope, octet for octet.
TEST(CMSEnvelopeLayout, HeaderPlusStreamedContentIsTheInMemoryEnvelope)
{
    Plan p;
    p.contentType = "1.2.156.10197.6.1.4.2.3";
    p.recipientId = Random(20);
    p.keyAlg = "1.2.156.10197.1.301.3";
    p.encryptedKey = Random(112);
    p.encryptedType = "1.2.156.10197.6.1.4.2.1";
    p.contentAlg = "1.2.156.10197.1.104";
    p.param = Cat({{0x04, 0x10}, Random(16)});
    p.content = Random(1008);
    Bytes whole, header;
    ASSERT_EQ(VOMU_OK, Write(p, &whole));
    p.bHeaderOnly = true;
    ASSERT_EQ(VOMU_OK, Write(p, &header));
    ASSERT_EQ(236u, header.size());
    EXPECT_EQ("308204D8", Hex(Bytes(header.begin(), header.begin() + 4)));
    EXPECT_EQ("808203F0", Hex(Bytes(header.end() - 4, header.end())));

    // The caller's road: the header, then the ciphertext streamed after it into one file.
    peer::TempFile streamed(header), inMemory(whole);
    FILE* fp = fopen(streamed.Path().c_str(), "ab");
    ASSERT_TRUE(fp);
    ASSERT_EQ(p.content.size(), fwrite(p.content.data(), 1, p.content.size(), fp));
    fclose(fp);
    EXPECT_EQ(0, peer::RunCommand("cmp " + streamed.Path() + " " + inMemory.Path()));
    ASSERT_EQ(1244u, streamed.Read().size());

    const Fields f = ReadFile(streamed.Path());
    ASSERT_EQ(VOMU_OK, f.nResult);
    EXPECT_EQ(236, f.nContentOffset);
    EXPECT_EQ(1008u, f.nContentLength);
    EXPECT_EQ(Hex(p.content), Hex(f.content));
}

TEST_F(CMSEnvelopeTest, RsaHeaderPlusStreamedCiphertextOpensWithTheCli)
{
    const Bytes msg = Random(40000);
    Sealed s = Seal(m_r, msg);
    Bytes whole, header;
    ASSERT_EQ(VOMU_OK, Write(s.plan, &whole));
    s.plan.bHeaderOnly = true;
    ASSERT_EQ(VOMU_OK, Write(s.plan, &header));
    ASSERT_EQ(whole.size(), header.size() + s.plan.content.size());
    EXPECT_EQ(Hex(whole), Hex(Cat({header, s.plan.content})));
    peer::TempFile streamed(Cat({header, s.plan.content}));
    bool bOpened = false;
    std::string log;
    const Bytes opened = peer::CmsDecrypt(streamed.Path(), kRecipientPem, kRecipientKey, &bOpened, &log);
    ASSERT_TRUE(bOpened) << log;
    EXPECT_EQ(Hex(msg), Hex(opened));
}

TEST(CMSEnvelopeWriter, RefusesBadArgumentsAndOIDs)
{
    Plan good;
    good.recipientId = Random(20);
    good.encryptedKey = Random(256);
    good.param = Cat({{0x04, 0x08}, Random(8)});
    good.content = Random(16);
    Bytes der;
    ASSERT_EQ(VOMU_OK, Write(good, &der));

    struct Case {
        const char* name;
        void (*mutate)(Plan&);
        int nExpected;
    } cases[] = {
        {"content type text", [](Plan& p) { p.contentType = "1.2.x"; }, VOMU_E_FAIL},
        {"key algorithm text", [](Plan& p) { p.keyAlg = "rsaEncryption"; }, VOMU_E_FAIL},
        {"encrypted content type", [](Plan& p) { p.encryptedType = "1..2"; }, VOMU_E_FAIL},
        {"content algorithm", [](Plan& p) { p.contentAlg = ""; }, VOMU_E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plan p = good;
        c.mutate(p);
        Bytes out;
        EXPECT_EQ(c.nExpected, Write(p, &out));
    }
    unsigned char* pby = NULL;
    int n = 0;
    unsigned char byKey[4] = {1, 2, 3, 4};
    EXPECT_EQ(VOMU_E_INVALID_ARG, Encode_CMSEnvelope(kEnvelopedDataOID, NULL, 20, kRsaEncryptionOID, byKey, 4,
                                                     kDataOID, kDesEde3CbcOID, NULL, 0, byKey, 4, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Encode_CMSEnvelope(kEnvelopedDataOID, byKey, 4, kRsaEncryptionOID, byKey, -1,
                                                     kDataOID, kDesEde3CbcOID, NULL, 0, byKey, 4, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Encode_CMSEnvelope(kEnvelopedDataOID, byKey, 4, kRsaEncryptionOID, byKey, 4,
                                                     kDataOID, kDesEde3CbcOID, NULL, 0, byKey, 4, NULL, &n));
    EXPECT_EQ(nullptr, pby);
}

// ---- Readers on envelopes made by openssl cms -encrypt ----

// By key identifier both readers open them; by issuer and serial number (the CLI's default, a
// SEQUENCE rid) both refuse them as not shaped like our envelopes.
TEST_F(CMSEnvelopeTest, OpenSSLEnvelopesWithBothReaders)
{
    struct Variant {
        const char* options;
        int nExpected;
    } variants[] = {
        {"-keyid", VOMU_OK},
        {"-keyid -stream", VOMU_OK},
        {"", VOMU_E_ENVELOPE_FORMAT},
        {"-stream", VOMU_E_ENVELOPE_FORMAT},
    };
    const char* kMessages[] = {"msg_0.bin", "msg_1.bin", "msg_16384.bin", "msg_102400.bin"};
    for (const Variant& v : variants) {
        for (const char* pszMessage : kMessages) {
            SCOPED_TRACE(std::string(v.options) + " " + pszMessage);
            const std::string msgPath = std::string(MORV_TEST_DATA_DIR) + "/pki/" + pszMessage;
            const Bytes msg = ReadFileBytes(msgPath);
            std::string log;
            const Bytes der = peer::CmsEncryptFile(std::string("-des3 ") + v.options, msgPath, kRecipientPem, &log);
            ASSERT_FALSE(der.empty()) << log;
            peer::TempFile env(der);
            const Fields m = ReadMemory(der);
            const Fields f = ReadFile(env.Path());
            EXPECT_EQ(v.nExpected, m.nResult);
            EXPECT_EQ(v.nExpected, f.nResult);
            if (VOMU_OK != v.nExpected) {
                // The peer's own view: the recipient is named the other way, nothing else differs.
                std::string printed;
                ASSERT_EQ(0, peer::RunCommand("openssl cms -cmsout -print -inform DER -in " + env.Path(),
                                              &printed));
                EXPECT_NE(std::string::npos, printed.find("d.issuerAndSerialNumber")) << printed;
                continue;
            }
            ExpectReadersAgree(m, f);
            EXPECT_EQ(Hex(m_r.keyId), Hex(m.recipientId));
            EXPECT_EQ(Hex(msg), Hex(Open(m_r, m)));
            EXPECT_EQ(Hex(msg), Hex(Open(m_r, f)));
            if (strstr(v.options, "-stream") && msg.size() > 16384) {
                EXPECT_EQ(0xA0, f.byContentTag);
                EXPECT_GT(f.segments.size(), 1u) << "the stream is cut into segments";
            }
        }
    }
}

// ---- Reader shape rules, on envelopes built by hand ----

struct Parts {
    Bytes rid = Tlv(0x80, Bytes(20, 0x11));
    Bytes keyAlg = Tlv(0x30, Cat({Tlv(0x06, peer::FromHex("2A864886F70D010101")), {0x05, 0x00}}));
    Bytes encryptedKey = Tlv(0x04, Bytes(16, 0x22));
    Bytes ktriVersion = {0x02, 0x01, 0x02};
    Bytes extraRecipient;
    Bytes originatorInfo;
    Bytes contentType = Tlv(0x06, peer::FromHex("2A864886F70D010701"));
    Bytes contentAlg = Tlv(0x30, Cat({Tlv(0x06, peer::FromHex("2A864886F70D0307")),
                                      Tlv(0x04, Bytes(8, 0x33))}));
    Bytes encryptedContent = Tlv(0x80, Bytes(24, 0x44));
    Bytes unprotectedAttrs;
    Bytes trailing;
};

Bytes Build(const Parts& p)
{
    const Bytes ktri = Tlv(0x30, Cat({p.ktriVersion, p.rid, p.keyAlg, p.encryptedKey}));
    const Bytes eci = Tlv(0x30, Cat({p.contentType, p.contentAlg, p.encryptedContent}));
    const Bytes env = Tlv(0x30, Cat({{0x02, 0x01, 0x02}, p.originatorInfo,
                                     Tlv(0x31, Cat({ktri, p.extraRecipient})), eci, p.unprotectedAttrs}));
    return Cat({Tlv(0x30, Cat({Tlv(0x06, peer::FromHex("2A864886F70D010703")), Tlv(0xA0, env)})), p.trailing});
}

TEST(CMSEnvelopeReaders, ShapeRules)
{
    struct Case {
        const char* name;
        void (*mutate)(Parts&);
        int nExpected;
    } cases[] = {
        {"as built", [](Parts&) {}, VOMU_OK},
        {"other versions", [](Parts& p) { p.ktriVersion = {0x02, 0x01, 0x07}; }, VOMU_OK},
        {"trailing octets", [](Parts& p) { p.trailing = {0xDE, 0xAD}; }, VOMU_OK},
        {"empty key identifier", [](Parts& p) { p.rid = {0x80, 0x00}; }, VOMU_OK},
        {"segmented content",
         [](Parts& p) { p.encryptedContent = Tlv(0xA0, Cat({Tlv(0x04, Bytes(8, 1)), Tlv(0x04, Bytes(16, 2))})); },
         VOMU_OK},
        {"second recipient", [](Parts& p) { p.extraRecipient = Tlv(0x30, {0x02, 0x01, 0x02}); }, VOMU_E_ENVELOPE_FORMAT},
        {"originatorInfo", [](Parts& p) { p.originatorInfo = Tlv(0xA0, Bytes()); }, VOMU_E_ENVELOPE_FORMAT},
        {"unprotectedAttrs", [](Parts& p) { p.unprotectedAttrs = Tlv(0xA1, Bytes()); }, VOMU_E_ENVELOPE_FORMAT},
        {"algorithm without parameters",
         [](Parts& p) { p.contentAlg = Tlv(0x30, Tlv(0x06, peer::FromHex("2A864886F70D0307"))); },
         VOMU_E_ENVELOPE_FORMAT},
        {"key algorithm without parameters",
         [](Parts& p) { p.keyAlg = Tlv(0x30, Tlv(0x06, peer::FromHex("2A864886F70D010101"))); },
         VOMU_E_ENVELOPE_FORMAT},
        // A recipient named by issuer and serial number, however its SEQUENCE is filled.
        {"issuer and serial rid",
         [](Parts& p) { p.rid = Tlv(0x30, Cat({Tlv(0x30, Tlv(0x31, Bytes())), {0x02, 0x01, 0x05}})); },
         VOMU_E_ENVELOPE_FORMAT},
        {"issuer and serial without serial",
         [](Parts& p) { p.rid = Tlv(0x30, Tlv(0x30, Bytes())); }, VOMU_E_ENVELOPE_FORMAT},
        {"empty SEQUENCE rid", [](Parts& p) { p.rid = {0x30, 0x00}; }, VOMU_E_ENVELOPE_FORMAT},
        {"rid of another tag", [](Parts& p) { p.rid = Tlv(0x81, Bytes(20, 1)); }, VOMU_E_ENVELOPE_FORMAT},
        {"encrypted key not an OCTET STRING", [](Parts& p) { p.encryptedKey = Tlv(0x03, Bytes(4, 1)); },
         VOMU_E_ENVELOPE_FORMAT},
        {"algorithm OID not an OID",
         [](Parts& p) { p.contentAlg = Tlv(0x30, Cat({Tlv(0x04, Bytes(3, 1)), {0x05, 0x00}})); },
         VOMU_E_ENVELOPE_FORMAT},
        {"parameters constructed",
         [](Parts& p) {
             p.contentAlg = Tlv(0x30, Cat({Tlv(0x06, peer::FromHex("2A864886F70D0307")), Tlv(0x30, {0x05, 0x00})}));
         },
         VOMU_E_ENVELOPE_FORMAT},
        {"content of another tag", [](Parts& p) { p.encryptedContent = Tlv(0x04, Bytes(8, 1)); },
         VOMU_E_ENVELOPE_FORMAT},
        {"segment not an OCTET STRING",
         [](Parts& p) { p.encryptedContent = Tlv(0xA0, Tlv(0x05, Bytes())); }, VOMU_E_ENVELOPE_FORMAT},
        {"nested segment",
         [](Parts& p) { p.encryptedContent = Tlv(0xA0, Tlv(0x24, Tlv(0x04, Bytes(8, 1)))); },
         VOMU_E_ENVELOPE_FORMAT},
        // Primitive elements in the indefinite form are not BER; their "value" would run
        // through the end-of-contents octets.
        {"indefinite encrypted key",
         [](Parts& p) { p.encryptedKey = peer::FromHex("048041420000"); }, VOMU_E_ENVELOPE_FORMAT},
        {"indefinite content",
         [](Parts& p) { p.encryptedContent = peer::FromHex("808041420000"); }, VOMU_E_ENVELOPE_FORMAT},
        {"indefinite segment",
         [](Parts& p) { p.encryptedContent = peer::FromHex("A0800480414200000000"); }, VOMU_E_ENVELOPE_FORMAT},
        {"long OID", [](Parts& p) {
             p.contentAlg = Tlv(0x30, Cat({Tlv(0x06, Cat({{0x2A}, Bytes(130, 0x01)})), {0x05, 0x00}}));
         }, VOMU_E_FAIL},
        {"undecodable OID",
         [](Parts& p) { p.keyAlg = Tlv(0x30, Cat({Tlv(0x06, {0x2A, 0x86}), {0x05, 0x00}})); }, VOMU_E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parts p;
        c.mutate(p);
        const Bytes der = Build(p);
        const Fields m = ReadMemory(der);
        EXPECT_EQ(c.nExpected, m.nResult);
        ExpectReadersAgree(m, ReadFile(der));
    }
    EXPECT_EQ(VOMU_E_FAIL, ReadMemory(Bytes{0x30, 0x05, 0x01}).nResult);
    EXPECT_EQ(VOMU_E_FAIL, ReadFile(Bytes{0x30, 0x05, 0x01}).nResult);
}

TEST(CMSEnvelopeReaders, FieldValues)
{
    Parts p;
    p.rid = {0x80, 0x00};
    p.contentAlg = Tlv(0x30, Cat({Tlv(0x06, peer::FromHex("2A864886F70D0304")), {0x05, 0x00}}));
    p.encryptedContent = Tlv(0xA0, Cat({Tlv(0x04, Bytes(8, 1)), Tlv(0x04, Bytes()), Tlv(0x04, Bytes(3, 2))}));
    const Bytes der = Build(p);
    const Fields m = ReadMemory(der);
    ASSERT_EQ(VOMU_OK, m.nResult);
    EXPECT_TRUE(m.recipientId.empty());
    EXPECT_EQ("1.2.840.113549.3.4", m.contentAlg);
    EXPECT_TRUE(m.bParamNull) << "05 00 gives no array from memory";
    EXPECT_TRUE(m.param.empty());
    EXPECT_EQ("0101010101010101020202", Hex(m.content)) << "segments joined in order";
    const Fields f = ReadFile(der);
    ASSERT_EQ(VOMU_OK, f.nResult);
    EXPECT_FALSE(f.bParamNull) << "05 00 gives an empty array from a file";
    EXPECT_EQ(0xA0, f.byContentTag);
    EXPECT_EQ(3u, f.segments.size());
    ExpectReadersAgree(m, f);

    // A single segment is that segment's value.
    p.encryptedContent = Tlv(0xA0, Tlv(0x04, Bytes(5, 9)));
    EXPECT_EQ("0909090909", Hex(ReadMemory(Build(p)).content));
}

TEST(CMSEnvelopeReaders, NullOutputsAreSkipped)
{
    Parts p;
    const Bytes der = Build(p);
    unsigned char* pbyKey = NULL;
    int nKey = -1, nUnasked = -7;
    ASSERT_EQ(VOMU_OK, Decode_CMSEnvelopeData((unsigned char*)der.data(), (int)der.size(), NULL, &nUnasked,
                                              &pbyKey, &nKey, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL));
    EXPECT_EQ(Hex(Bytes(16, 0x22)), Hex(Take(pbyKey, nKey)));
    EXPECT_EQ(-7, nUnasked) << "a length goes with its pointer";

    peer::TempFile file(der);
    FILE* fp = fopen(file.Path().c_str(), "rb");
    ASSERT_TRUE(fp);
    NodeEx* pContent = NULL;
    ASSERT_EQ(VOMU_OK, Decode_CMSEnvelopeFile(fp, NULL, NULL, NULL, NULL, &pContent, NULL, NULL, NULL, NULL,
                                              NULL, &nUnasked));
    std::unique_ptr<NodeEx> owned(pContent);
    ASSERT_TRUE(pContent);
    EXPECT_EQ(24u, pContent->ValueLength);
    EXPECT_EQ(-7, nUnasked);
    fclose(fp);
    EXPECT_EQ(VOMU_E_INVALID_ARG, Decode_CMSEnvelopeData(NULL, 10, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                                                         NULL, NULL, NULL, NULL, NULL));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Decode_CMSEnvelopeFile(NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                                                         NULL, NULL, NULL));
}

TEST(CMSEnvelopeReaders, FileReaderRestoresThePosition)
{
    Parts good, bad;
    bad.extraRecipient = Tlv(0x30, {0x02, 0x01, 0x02});
    for (const Bytes& der : {Build(good), Build(bad), Bytes{0x30, 0x05}}) {
        peer::TempFile file(der);
        FILE* fp = fopen(file.Path().c_str(), "rb");
        ASSERT_TRUE(fp);
        ASSERT_EQ(0, fseek(fp, 3, SEEK_SET));
        ReadFileStream(fp);
        EXPECT_EQ(3, ftell(fp));
        fclose(fp);
    }
}

TEST(CMSEnvelopeReaders, StepLines)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    Parts p;
    p.extraRecipient = Tlv(0x30, {0x02, 0x01, 0x02});
    EXPECT_EQ(VOMU_E_ENVELOPE_FORMAT, ReadMemory(Build(p)).nResult);
    Parts q;
    q.keyAlg = Tlv(0x30, Cat({Tlv(0x06, {0x2A, 0x86}), {0x05, 0x00}}));
    EXPECT_EQ(VOMU_E_FAIL, ReadFile(Build(q)).nResult);
    EXPECT_EQ(VOMU_E_FAIL, ReadMemory(Bytes{0x31, 0x09}).nResult);
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos, text.find("Check CMS envelope nodes)\t\t--Failed:(0xa0071105) [Reason:true]"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("d2i_ASN1_OBJECT(KeyEncryptionAlg))\t\t--Failed:(0xffffffff) [Reason:NULL == "
                        "pstKeyEncryptionAlgOid]"))
        << text;
    EXPECT_NE(std::string::npos, text.find("DecodeASN1MemoryEx)\t\t--Failed:(0xffffffff) [Reason:VOMU_OK != "
                                           "nResult || NULL == pCMSEnvelope]"))
        << text;
}

// ---- Hostile input: one envelope cut at every offset and changed at every octet ----

TEST_F(CMSEnvelopeTest, TruncatedAndAlteredEnvelopesNeverOverread)
{
    peer::TempFile msg(Random(600));
    const Bytes der = peer::CmsEncryptFile("-des3 -keyid -stream", msg.Path(), kRecipientPem);
    ASSERT_FALSE(der.empty());
    ASSERT_EQ(VOMU_OK, ReadMemory(der).nResult);
    int nAccepted = 0;
    for (size_t n = 1; n < der.size(); n++) {
        const Bytes cut(der.begin(), der.begin() + n);
        const Fields m = ReadMemory(cut);
        EXPECT_NE(VOMU_OK, m.nResult) << "cut at " << n;
        ExpectReadersAgree(m, ReadFile(cut));
    }
    for (size_t i = 0; i < der.size(); i++) {
        for (unsigned char delta : {0x01, 0x80, 0xFF}) {
            Bytes changed = der;
            changed[i] ^= delta;
            const Fields m = ReadMemory(changed);
            if (VOMU_OK == m.nResult) nAccepted++;
            ExpectReadersAgree(m, ReadFile(changed));
        }
    }
    std::cout << "single-octet changes accepted: " << nAccepted << " of " << der.size() * 3 << "\n";
}

}  // namespace
