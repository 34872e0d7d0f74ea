// SM2 PKCS#7 SignedData of data and files against independent peers: `openssl asn1parse`
// for the layout, `openssl dgst -sm3 -verify -sigopt distid:...` for the SM2Q1 inside over
// SM3(Z || content), `dd` for content located in a file, and SignedData written here by hand
// (DerTestUtil.h) around signatures made by OpenSSL's SM2 in the default library context.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "DataSigning.h"
#include "DerTestUtil.h"
#include "LogCapture.h"
#include "PKCS7SignedDataOperations.h"
#include "SMKernel.h"
#include "SigningPeer.h"
#include "TestOutputs.h"
#include "vomu_result.h"

using peer::Bytes;
using peer::TempFile;
using namespace signpeer;
using dertest::Cat;
using dertest::NullAlgorithm;
using dertest::OidTlv;
using dertest::Tlv;

namespace {

const char kDataOID[] = "1.2.156.10197.6.1.4.2.1";
const char kSignedDataOID[] = "1.2.156.10197.6.1.4.2.2";

class Sm2Pkcs7Test : public KernelTest {};

Bytes Decode(const std::string& text)
{
    unsigned char* pby = NULL;
    int n = 0;
    EXPECT_EQ(VOMU_OK, Base64DecodeEx(text.c_str(), (int)text.size(), &pby, &n));
    return support::Take(pby, n);
}

std::string Encode(const Bytes& der)
{
    char* psz = NULL;
    int n = 0;
    EXPECT_EQ(VOMU_OK, Base64EncodeEx(der.data(), (int)der.size(), &psz, &n, ATL_BASE64_FLAG_NOCRLF));
    return support::TakeText(psz, n);
}

struct Signed {
    int nResult;
    std::string text;
};

Signed SignData(const Bytes& msg, bool bAttached, unsigned long fType,
                const std::string& keyFile = KeyFile("sign"), const char* pszPassword = kPassword)
{
    OpenStream key(keyFile);
    char* pszText = NULL;
    int nText = 0;
    const int nResult = SignData_PKCS7_BySM2PFX(msg.data(), (int)msg.size(), key.fp, pszPassword,
                                                bAttached, &pszText, &nText, ATL_BASE64_FLAG_NOCRLF,
                                                true, fType, kSM2SignOID);
    return {nResult, support::TakeText(pszText, nText)};
}

// One line of `openssl asn1parse`: depth, kind and value ("2 SEQUENCE", "3 INTEGER :01").
std::vector<std::string> Asn1Lines(const Bytes& der)
{
    TempFile file(der);
    const std::string out = Cli("openssl asn1parse -inform DER -in " + Quote(file.Path()));
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const size_t d = line.find("d=");
        const size_t kind = line.find(": ", line.find("cons:") != std::string::npos ? line.find("cons:") : line.find("prim:"));
        if (d == std::string::npos || kind == std::string::npos) continue;
        std::string rest = line.substr(kind + 2);
        while (!rest.empty() && rest.back() == ' ') rest.pop_back();
        std::string compact;
        bool bSpace = false;
        for (char c : rest) {
            if (c == ' ' && bSpace) continue;
            bSpace = c == ' ';
            compact += c;
        }
        lines.push_back(line.substr(d + 2, line.find(' ', d) - d - 2) + " " + compact);
    }
    return lines;
}

// The layout down to depth 6 (the issuer Name's inner lines left out), the certificates'
// field to its first line; hex dumps are compared on their own.
std::string Layout(const Bytes& der)
{
    std::string text;
    bool bInCertificates = false;
    for (const std::string& line : Asn1Lines(der)) {
        const int nDepth = std::stoi(line);
        if (nDepth <= 3) bInCertificates = line.rfind("3 cont [ 0 ]", 0) == 0;
        if ((bInCertificates && nDepth > 4) || nDepth > 6) continue;
        std::string shown = line.substr(0, line.find("[HEX DUMP]"));
        if (shown.find("INTEGER :") != std::string::npos && shown.size() > shown.find(':') + 9)
            shown = shown.substr(0, shown.find(':'));  // r and s are compared on their own
        while (!shown.empty() && shown.back() == ' ') shown.pop_back();
        text += shown + "\n";
    }
    return text;
}

// The hex dump of the last OCTET STRING (the signature field).
Bytes LastOctetString(const Bytes& der)
{
    std::string hex;
    for (const std::string& line : Asn1Lines(der))
        if (line.find("OCTET STRING") != std::string::npos && line.find("[HEX DUMP]:") != std::string::npos)
            hex = line.substr(line.find("[HEX DUMP]:") + 11);
    return peer::FromHex(hex);
}

// r || s of the last two INTEGERs (the SM2Q1 SEQUENCE or the two trailing INTEGERs).
Bytes LastTwoIntegers(const Bytes& der)
{
    std::vector<std::string> values;
    for (const std::string& line : Asn1Lines(der))
        if (line.find("INTEGER :") != std::string::npos) values.push_back(line.substr(line.find(':') + 1));
    Bytes rs;
    for (size_t i = values.size() - 2; i < values.size(); ++i) {
        std::string hex = std::string(64 - std::min<size_t>(64, values[i].size()), '0') + values[i];
        const Bytes half = peer::FromHex(hex.substr(hex.size() - 64));
        rs.insert(rs.end(), half.begin(), half.end());
    }
    return rs;
}

// The writer's layout, as asn1parse shows it (Layout above).
std::string ExpectedLayout(bool bAttached, unsigned long fType)
{
    std::string text =
        "0 SEQUENCE\n1 OBJECT :1.2.156.10197.6.1.4.2.2\n1 cont [ 0 ]\n2 SEQUENCE\n3 INTEGER :01\n"
        "3 SET\n4 SEQUENCE\n5 OBJECT :sm3\n5 NULL\n3 SEQUENCE\n4 OBJECT :1.2.156.10197.6.1.4.2.1\n";
    if (bAttached) text += "4 cont [ 0 ]\n5 OCTET STRING\n";
    text += "3 cont [ 0 ]\n4 SEQUENCE\n3 SET\n4 SEQUENCE\n5 INTEGER :01\n5 SEQUENCE\n6 SEQUENCE\n"
            "6 INTEGER :1001\n5 SEQUENCE\n6 OBJECT :sm3\n6 NULL\n5 SEQUENCE\n"
            "6 OBJECT :1.2.156.10197.1.301.1\n6 NULL\n";
    if (P7_SIGNATURE_SM2_OCTET_STRING_Q1 == fType) text += "5 OCTET STRING\n";
    if (P7_SIGNATURE_SM2_ASN1_Q1 == fType) text += "5 SEQUENCE\n6 INTEGER\n6 INTEGER\n";
    if (P7_SIGNATURE_SM2_RAW_RS == fType) text += "5 INTEGER\n5 INTEGER\n";
    return text;
}

// The signature inside a SignedData as DER SM2Q1, read from asn1parse's view.
Bytes EmbeddedSignature(const Bytes& der, unsigned long fType)
{
    return P7_SIGNATURE_SM2_OCTET_STRING_Q1 == fType ? LastOctetString(der) : RsToDer(LastTwoIntegers(der));
}

// ---- SignedData written by hand around OpenSSL's signatures ----

enum Form { kOctetStringQ1, kSequenceQ1, kRawRS };

// An SM2 signer of the fixtures: its certificate and OpenSSL's own key (default context).
struct Signer {
    explicit Signer(const std::string& name)
        : cert(peer::ReadFileBytes(PkiPath("sm2/" + name + ".der")))
    {
        FILE* fp = fopen(PkiPath("sm2/" + name + ".key").c_str(), "r");
        if (fp) key.reset(PEM_read_PrivateKey(fp, NULL, NULL, NULL)), fclose(fp);
    }
    Bytes cert;
    morv::OsslPtr<EVP_PKEY> key;
};

Bytes IssuerAndSerial(const Bytes& certDer)
{
    const unsigned char* p = certDer.data();
    morv::OsslPtr<X509> pCert(d2i_X509(NULL, &p, (long)certDer.size()));
    EXPECT_TRUE(pCert);
    if (!pCert) return Bytes();
    return Tlv(0x30, Cat({dertest::ByOpenSSL(i2d_X509_NAME, X509_get_issuer_name(pCert.get())),
                          dertest::ByOpenSSL(i2d_ASN1_INTEGER, X509_get_serialNumber(pCert.get()))}));
}

Bytes SignatureField(Form form, const Bytes& der)
{
    if (kOctetStringQ1 == form) return Tlv(0x04, der);
    if (kSequenceQ1 == form) return der;
    const size_t nHeader = (der[1] & 0x80) ? 2 + (der[1] & 0x7F) : 2;  // the two INTEGERs alone
    return Bytes(der.begin() + (long)nHeader, der.end());
}

// ContentInfo { SM2 signedData, [0] SignedData } (RFC 2315 9.1) with the certificates given
// and one SignerInfo for signerCert.
// An empty list gives an empty certificates field; kNoCertificatesField leaves it out.
const std::vector<Bytes> kNoCertificatesField = {Bytes()};

Bytes HandMadeSignedData(const Bytes& content, bool bAttached, Form form, const std::vector<Bytes>& certs,
                         const Bytes& signerCert, const Bytes& signature, const Bytes& signedAttrs = Bytes())
{
    const bool bCertificatesField = certs != kNoCertificatesField;
    Bytes certificates;
    for (const Bytes& cert : certs) certificates.insert(certificates.end(), cert.begin(), cert.end());
    const Bytes signerInfo =
        Tlv(0x30, Cat({{0x02, 0x01, 0x01}, IssuerAndSerial(signerCert), NullAlgorithm(kSM3OID), signedAttrs,
                       NullAlgorithm(kSM2SignOID), SignatureField(form, signature)}));
    const Bytes contentInfo =
        Tlv(0x30, Cat({OidTlv(kDataOID), bAttached ? Tlv(0xA0, Tlv(0x04, content)) : Bytes()}));
    const Bytes signedData =
        Tlv(0x30, Cat({{0x02, 0x01, 0x01}, Tlv(0x31, NullAlgorithm(kSM3OID)), contentInfo,
                       bCertificatesField ? Tlv(0xA0, certificates) : Bytes(), Tlv(0x31, signerInfo)}));
    return Tlv(0x30, Cat({OidTlv(kSignedDataOID), Tlv(0xA0, signedData)}));
}

// Both verifiers over one DER: the code, and the content and certificate handed out.
struct Verified {
    int nResult;
    Bytes content, cert;
};

Verified VerifyDER(const Bytes& der, bool bAttached, const Bytes& detachedContent, bool bWithZ = true)
{
    unsigned char *pbyContent = NULL, *pbyCert = NULL;
    int nContent = 0, nCert = 0;
    const int nResult =
        bAttached ? VerifySignature_DERPKCS7Attached(der.data(), (int)der.size(), &pbyContent, &nContent, &pbyCert,
                                                     &nCert, bWithZ)
                  : VerifySignature_DERPKCS7Detached(der.data(), (int)der.size(), detachedContent.data(),
                                                     (int)detachedContent.size(), &pbyCert, &nCert, bWithZ);
    if (VOMU_OK != nResult) {
        EXPECT_EQ(nullptr, pbyContent);
        EXPECT_EQ(nullptr, pbyCert);
    }
    return {nResult, support::Take(pbyContent, nContent), support::Take(pbyCert, nCert)};
}

}  // namespace

// ---- our SignedData of data ----

// Every signature encoding, attached and detached: asn1parse shows the writer's layout, the
// CLI verifies the signature inside over SM3(Z || content), and our verifiers give the
// content and the signer's certificate back.
TEST_F(Sm2Pkcs7Test, SignedDataOfDataHasTheWritersLayoutAndACliVerifiedSignature)
{
    const PublicKeyFile pub(PkiPath("sm2/ee_sign.pem"));
    const Bytes cert = peer::ReadFileBytes(PkiPath("sm2/ee_sign.der"));
    const Bytes msg = Message(300);
    TempFile msgFile(msg);
    for (unsigned long fType : {P7_SIGNATURE_SM2_OCTET_STRING_Q1, P7_SIGNATURE_SM2_ASN1_Q1, P7_SIGNATURE_SM2_RAW_RS})
        for (bool bAttached : {true, false}) {
            SCOPED_TRACE("type " + std::to_string(fType) + (bAttached ? " attached" : " detached"));
            const Signed s = SignData(msg, bAttached, fType);
            ASSERT_EQ(VOMU_OK, s.nResult);
            const Bytes der = Decode(s.text);
            EXPECT_EQ(ExpectedLayout(bAttached, fType), Layout(der));
            EXPECT_TRUE(CliVerifiesWithZ(pub, msgFile.Path(), EmbeddedSignature(der, fType)));
            const Verified v = VerifyDER(der, bAttached, msg);
            EXPECT_EQ(VOMU_OK, v.nResult);
            EXPECT_EQ(cert, v.cert);
            if (bAttached) {
                EXPECT_EQ(msg, v.content);
            }
            // The other verifier refuses the other form.
            EXPECT_EQ(VOMU_E_PKCS7_FORMAT, VerifyDER(der, !bAttached, msg).nResult);
        }
}

// The Base64 roads, optional outputs, and verdicts over changed content or a wrong Z.
TEST_F(Sm2Pkcs7Test, Base64RoadsAndVerdicts)
{
    const Bytes msg = Message(1000);
    const Signed attached = SignData(msg, true, P7_SIGNATURE_SM2_OCTET_STRING_Q1);
    const Signed detached = SignData(msg, false, P7_SIGNATURE_SM2_OCTET_STRING_Q1);
    ASSERT_EQ(VOMU_OK, attached.nResult);
    ASSERT_EQ(VOMU_OK, detached.nResult);
    const int nA = (int)attached.text.size(), nD = (int)detached.text.size();
    unsigned char* pbyContent = NULL;
    int nContent = 0;
    ASSERT_EQ(VOMU_OK, VerifySignature_PKCS7Attached(attached.text.c_str(), nA, &pbyContent, &nContent, NULL, NULL, true));
    EXPECT_EQ(msg, support::Take(pbyContent, nContent));
    EXPECT_EQ(VOMU_OK, VerifySignature_PKCS7Attached(attached.text.c_str(), nA, NULL, NULL, NULL, NULL, true));
    EXPECT_EQ(VOMU_OK, VerifySignature_PKCS7Detached(detached.text.c_str(), nD, msg.data(), (int)msg.size(), NULL,
                                                     NULL, true));
    Bytes changed = msg;
    changed[999] ^= 0x80;
    EXPECT_EQ(VOMU_E_FAIL, VerifySignature_PKCS7Detached(detached.text.c_str(), nD, changed.data(),
                                                         (int)changed.size(), NULL, NULL, true));
    EXPECT_EQ(VOMU_E_FAIL, VerifySignature_PKCS7Attached(attached.text.c_str(), nA, NULL, NULL, NULL, NULL, false));
    EXPECT_EQ(VOMU_E_PKCS7_FORMAT, VerifySignature_PKCS7Detached(attached.text.c_str(), nA, msg.data(),
                                                                 (int)msg.size(), NULL, NULL, true));
    EXPECT_EQ(VOMU_E_PKCS7_FORMAT, VerifySignature_PKCS7Attached(detached.text.c_str(), nD, NULL, NULL, NULL, NULL, true));
    EXPECT_EQ(VOMU_E_BASE64_DECODE, VerifySignature_PKCS7Attached("", 0, NULL, NULL, NULL, NULL, true));
    const std::string notP7 = Encode({0x30, 0x03, 0x02, 0x01, 0x01});
    EXPECT_NE(VOMU_OK, VerifySignature_PKCS7Attached(notP7.c_str(), (int)notP7.size(), NULL, NULL, NULL, NULL, true));
}

// SignedData written by hand around OpenSSL's signatures: every signature encoding, attached
// and detached, with the signer's certificate alone or among others.
TEST_F(Sm2Pkcs7Test, SignedDataMadeElsewhereVerifies)
{
    const Signer signer("ee_sign"), other("ee_sign_enc");
    ASSERT_TRUE(signer.key);
    ASSERT_TRUE(other.key);
    const Bytes intCert = peer::ReadFileBytes(PkiPath("sm2/int.der"));
    const Bytes rootCert = peer::ReadFileBytes(PkiPath("sm2/root.der"));
    const Bytes msg = Message(777);
    const Bytes sig = peer::SM2Sign(signer.key.get(), msg);
    const Bytes otherSig = peer::SM2Sign(other.key.get(), msg);
    ASSERT_FALSE(sig.empty());
    for (Form form : {kOctetStringQ1, kSequenceQ1, kRawRS})
        for (bool bAttached : {true, false})
            for (const std::vector<Bytes>& certs : {std::vector<Bytes>{signer.cert},
                                                    std::vector<Bytes>{intCert, signer.cert, rootCert},
                                                    std::vector<Bytes>{signer.cert, intCert}}) {
                SCOPED_TRACE("form " + std::to_string(form) + (bAttached ? " attached, " : " detached, ") +
                             std::to_string(certs.size()) + " certificates");
                const Verified v = VerifyDER(HandMadeSignedData(msg, bAttached, form, certs, signer.cert, sig),
                                             bAttached, msg);
                EXPECT_EQ(VOMU_OK, v.nResult);
                EXPECT_EQ(signer.cert, v.cert);
                if (bAttached) {
                    EXPECT_EQ(msg, v.content);
                }
            }
    struct Case {
        const char* pszName;
        Bytes der;
        int nExpected;
    } cases[] = {
        // The key inside is trusted, whoever it is.
        {"another signer with its own certificate",
         HandMadeSignedData(msg, true, kOctetStringQ1, {other.cert}, other.cert, otherSig), VOMU_OK},
        {"another signer under ee_sign's certificate",
         HandMadeSignedData(msg, true, kOctetStringQ1, {signer.cert}, signer.cert, otherSig), VOMU_E_FAIL},
        {"no certificate", HandMadeSignedData(msg, true, kOctetStringQ1, {}, signer.cert, sig), VOMU_E_FAIL},
        {"no certificate, raw r and s", HandMadeSignedData(msg, true, kRawRS, {}, signer.cert, sig), VOMU_E_FAIL},
        {"only another certificate", HandMadeSignedData(msg, true, kOctetStringQ1, {intCert, rootCert}, signer.cert, sig),
         VOMU_E_FAIL},
        // Without the field the SignedData has too few elements for the reader.
        {"no certificates field", HandMadeSignedData(msg, true, kOctetStringQ1, kNoCertificatesField, signer.cert, sig),
         VOMU_E_PKCS7_FORMAT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(c.nExpected, VerifyDER(c.der, true, msg).nResult);
    }
    // Detached and on the file roads the missing certificate is the same verdict.
    const Bytes noCert = HandMadeSignedData(msg, false, kOctetStringQ1, {}, signer.cert, sig);
    EXPECT_EQ(VOMU_E_FAIL, VerifyDER(noCert, false, msg).nResult);
    TempFile msgFile(msg), p7File(HandMadeSignedData(msg, true, kOctetStringQ1, {}, signer.cert, sig));
    OpenStream in(msgFile.Path()), p7(p7File.Path());
    const std::string text = Encode(noCert);
    EXPECT_EQ(VOMU_E_FAIL, SM2_VerifyFileSignature_PKCS7Detached(text.c_str(), (int)text.size(), in.fp, NULL, NULL, true));
    EXPECT_EQ(VOMU_E_FAIL, VerifyFileSignature_PKCS7Attached(p7.fp, NULL, NULL, NULL, NULL, true));
}

// A SignerInfo with signed attributes is signed over them, not over the content: the
// content verifiers refuse it.
TEST_F(Sm2Pkcs7Test, SignedAttributesDoNotVerifyAsContent)
{
    const Signer signer("ee_sign");
    const Bytes msg = Message(64);
    const Bytes attrsBody = Tlv(0x30, Cat({OidTlv("1.2.840.113549.1.9.3"), Tlv(0x31, OidTlv(kDataOID))}));
    const Bytes attrsSet = Tlv(0x31, attrsBody);
    Bytes attrsTagged = attrsSet;
    attrsTagged[0] = 0xA0;
    const Bytes sig = peer::SM2Sign(signer.key.get(), attrsSet);
    EXPECT_EQ(VOMU_E_FAIL, VerifyDER(HandMadeSignedData(msg, true, kOctetStringQ1, {signer.cert}, signer.cert, sig,
                                                        attrsTagged),
                                     true, msg)
                               .nResult);
}

// ---- files ----

// Detached SignedData of a whole file, wherever its stream stood, verified by ours over the
// file and over the same bytes in memory, and by the CLI.
TEST_F(Sm2Pkcs7Test, DetachedSignedDataOfFiles)
{
    const PublicKeyFile pub(PkiPath("sm2/ee_sign.pem"));
    for (size_t n : {1u, 16384u, 40000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes msg = Message(n);
        TempFile file(msg);
        OpenStream in(file.Path()), key(KeyFile("sign"));
        fseek(in.fp, (long)(n / 2), SEEK_SET);
        char* pszText = NULL;
        int nText = 0;
        ASSERT_EQ(VOMU_OK, SignFile_PKCS7Detached_BySM2PFX(in.fp, key.fp, kPassword, &pszText, &nText,
                                                           ATL_BASE64_FLAG_NONE, true,
                                                           P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
        const std::string text = support::TakeText(pszText, nText);
        const Bytes der = Decode(text);
        EXPECT_EQ(ExpectedLayout(false, P7_SIGNATURE_SM2_OCTET_STRING_Q1), Layout(der));
        EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), LastOctetString(der)));
        fseek(in.fp, 1, SEEK_SET);
        unsigned char* pbyCert = NULL;
        int nCert = 0;
        EXPECT_EQ(VOMU_OK, SM2_VerifyFileSignature_PKCS7Detached(text.c_str(), nText, in.fp, &pbyCert, &nCert, true));
        EXPECT_EQ(peer::ReadFileBytes(PkiPath("sm2/ee_sign.der")), support::Take(pbyCert, nCert));
        EXPECT_EQ(VOMU_OK, VerifyDER(der, false, msg).nResult);
        EXPECT_EQ(VOMU_E_FAIL, SM2_VerifyFileSignature_PKCS7Detached(text.c_str(), nText, in.fp, NULL, NULL, false));
    }
}

// The attached file road: the SignedData written onto the caller's stream holds the whole
// source file, which the file verifier locates (offset and length, compared with dd) and
// checks where it lies. Changing one content byte in place breaks the signature.
TEST_F(Sm2Pkcs7Test, AttachedSignedDataOfFilesLocatesItsContent)
{
    const PublicKeyFile pub(PkiPath("sm2/ee_sign.pem"));
    for (size_t n : {1u, 16384u, 16385u, 70000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes msg = Message(n);
        TempFile file(msg), p7File;
        {
            OpenStream in(file.Path()), key(KeyFile("sign")), out(p7File.Path(), "wb");
            fseek(in.fp, 7, SEEK_SET);
            ASSERT_EQ(VOMU_OK, SignFile_PKCS7Attached_BySM2PFX(in.fp, key.fp, kPassword, out.fp, true,
                                                               P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
        }
        const Bytes der = p7File.Read();
        EXPECT_EQ(ExpectedLayout(true, P7_SIGNATURE_SM2_OCTET_STRING_Q1), Layout(der));
        EXPECT_TRUE(CliVerifiesWithZ(pub, file.Path(), LastOctetString(der)));

        OpenStream p7(p7File.Path(), "r+b");
        long long llOffset = -1;
        int nLength = -1;
        unsigned char* pbyCert = NULL;
        int nCert = 0;
        ASSERT_EQ(VOMU_OK, VerifyFileSignature_PKCS7Attached(p7.fp, &llOffset, &nLength, &pbyCert, &nCert, true));
        EXPECT_EQ(peer::ReadFileBytes(PkiPath("sm2/ee_sign.der")), support::Take(pbyCert, nCert));
        ASSERT_EQ((int)n, nLength);
        EXPECT_EQ((long)(llOffset + nLength), ftell(p7.fp));  // left behind the content
        TempFile cut;
        Cli("dd if=" + Quote(p7File.Path()) + " of=" + Quote(cut.Path()) + " bs=1 skip=" + std::to_string(llOffset) +
            " count=" + std::to_string(nLength) + " status=none");
        EXPECT_EQ(msg, cut.Read());
        // The memory verifier reads the same file the same way.
        unsigned char* pbyContent = NULL;
        int nContent = 0;
        EXPECT_EQ(VOMU_OK, VerifySignature_DERPKCS7Attached(der.data(), (int)der.size(), &pbyContent, &nContent,
                                                            NULL, NULL, true));
        EXPECT_EQ(msg, support::Take(pbyContent, nContent));

        fseeko(p7.fp, (off_t)(llOffset + nLength - 1), SEEK_SET);
        fputc(msg.back() ^ 1, p7.fp);
        fflush(p7.fp);
        EXPECT_EQ(VOMU_E_FAIL, VerifyFileSignature_PKCS7Attached(p7.fp, NULL, NULL, NULL, NULL, true));
    }
}

// The attached file road takes a key file whose certificate cannot sign; the others refuse
// it. A write that fails (/dev/full) is reported.
TEST_F(Sm2Pkcs7Test, KeyUsageAndWriteFailuresOfTheFileRoads)
{
    const Bytes msg = Message(40000);
    TempFile file(msg), p7File;
    OpenStream in(file.Path()), key(KeyFile("enc")), out(p7File.Path(), "wb");
    EXPECT_EQ(VOMU_OK, SignFile_PKCS7Attached_BySM2PFX(in.fp, key.fp, kPassword, out.fp, true,
                                                       P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
    fclose(out.fp);
    out.fp = NULL;
    OpenStream p7(p7File.Path());
    EXPECT_EQ(VOMU_OK, VerifyFileSignature_PKCS7Attached(p7.fp, NULL, NULL, NULL, NULL, true));
    char* pszText = NULL;
    int nText = 0;
    EXPECT_EQ(VOMU_E_KEY_USAGE, SignFile_PKCS7Detached_BySM2PFX(in.fp, key.fp, kPassword, &pszText, &nText,
                                                                ATL_BASE64_FLAG_NONE, true,
                                                                P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
    EXPECT_EQ(VOMU_E_KEY_USAGE, SignData(msg, true, P7_SIGNATURE_SM2_OCTET_STRING_Q1, KeyFile("enc")).nResult);
    EXPECT_EQ(nullptr, pszText);

    for (size_t n : {10u, 40000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        TempFile small(Message(n));
        OpenStream src(small.Path()), signKey(KeyFile("sign")), full("/dev/full", "wb");
        ASSERT_TRUE(full.fp);
        EXPECT_NE(VOMU_OK, SignFile_PKCS7Attached_BySM2PFX(src.fp, signKey.fp, kPassword, full.fp, true,
                                                           P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
    }
}

// Refusals of the signing roads with the Part's codes; outputs stay untouched.
TEST_F(Sm2Pkcs7Test, SigningRefusals)
{
    const Bytes msg = Message(100);
    const std::string lucky = Fact("sm2pfx/sign.b64", "lucky_wrong_password");
    EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, SignData(msg, true, P7_SIGNATURE_SM2_OCTET_STRING_Q1, KeyFile("sign"),
                                               lucky.c_str()).nResult);
    EXPECT_EQ(VOMU_E_SM2PFX_FORMAT, SignData(msg, false, P7_SIGNATURE_SM2_OCTET_STRING_Q1, KeyFile("truncated")).nResult);
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignData(msg, false, 0x800).nResult);
    char* pszText = reinterpret_cast<char*>(&pszText);
    char* const pszUntouched = pszText;
    int nText = -3;
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignData_PKCS7_BySM2PFX(msg.data(), 100, NULL, kPassword, true, &pszText, &nText,
                                                          0, true, P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
    TempFile file(msg);
    OpenStream in(file.Path()), key(KeyFile("sign"));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignFile_PKCS7Detached_BySM2PFX(NULL, key.fp, kPassword, &pszText, &nText, 0, true,
                                                                  P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SignFile_PKCS7Detached_BySM2PFX(in.fp, NULL, kPassword, &pszText, &nText, 0, true,
                                                                  P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
    EXPECT_EQ(pszUntouched, pszText);
    EXPECT_EQ(-3, nText);
    for (int nNull = 0; nNull < 3; ++nNull) {
        SCOPED_TRACE(nNull);
        TempFile outFile;
        OpenStream out(outFile.Path(), "wb");
        EXPECT_EQ(VOMU_E_INVALID_ARG,
                  SignFile_PKCS7Attached_BySM2PFX(0 == nNull ? NULL : in.fp, 1 == nNull ? NULL : key.fp, kPassword,
                                                  2 == nNull ? NULL : out.fp, true,
                                                  P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID));
    }
    EXPECT_EQ(VOMU_E_INVALID_ARG, VerifyFileSignature_PKCS7Attached(NULL, NULL, NULL, NULL, NULL, true));
    EXPECT_EQ(VOMU_E_INVALID_ARG, SM2_VerifyFileSignature_PKCS7Detached("AA", 2, NULL, NULL, NULL, true));
}

// Neither the password nor the private key reaches the log of the SignedData roads.
TEST_F(Sm2Pkcs7Test, NoPasswordOrPrivateKeyInTheLog)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const char kSentinel[] = "Sentinel-Password-0815";
    const Bytes msg = Message(500);
    TempFile file(msg), p7File;
    for (const char* pszPassword : {kPassword, kSentinel}) {
        OpenStream in(file.Path()), key(KeyFile("sign")), out(p7File.Path(), "wb");
        SignData(msg, true, P7_SIGNATURE_SM2_OCTET_STRING_Q1, KeyFile("sign"), pszPassword);
        char* pszText = NULL;
        int nText = 0;
        SignFile_PKCS7Detached_BySM2PFX(in.fp, key.fp, pszPassword, &pszText, &nText, 0, true,
                                        P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID);
        support::TakeText(pszText, nText);
        SignFile_PKCS7Attached_BySM2PFX(in.fp, key.fp, pszPassword, out.fp, true,
                                        P7_SIGNATURE_SM2_OCTET_STRING_Q1, kSM2SignOID);
    }
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos, text.find("Encode_PKCS7Signature")) << "the log captured nothing";
    std::string d = Fact("sm2/ee_sign", "private_d"), dLower = d;
    for (char& c : dLower) c = (char)tolower((unsigned char)c);
    for (const std::string& secret : {std::string(kPassword), std::string(kSentinel), d, dLower})
        EXPECT_EQ(std::string::npos, text.find(secret)) << secret;
}
