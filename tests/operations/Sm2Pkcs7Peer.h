#ifndef MORV_TESTS_OPERATIONS_SM2_PKCS7_PEER_H
#define MORV_TESTS_OPERATIONS_SM2_PKCS7_PEER_H

// The SignedData side of the SM2 PKCS#7 tests: `openssl asn1parse` views of a SignedData (its
// layout and the signature inside), our signing road with a key file, SignedData written by
// hand (DerTestUtil.h) around OpenSSL's signatures, and both of our verifiers over a DER.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sstream>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "DataSigning.h"
#include "DerTestUtil.h"
#include "PKCS7SignedDataOperations.h"
#include "SigningPeer.h"
#include "TestOutputs.h"
#include "vomu_result.h"

namespace p7peer {

using peer::Bytes;
using peer::TempFile;
using namespace signpeer;
using dertest::Cat;
using dertest::NullAlgorithm;
using dertest::OidTlv;
using dertest::Tlv;

inline const char kDataOID[] = "1.2.156.10197.6.1.4.2.1";
inline const char kSignedDataOID[] = "1.2.156.10197.6.1.4.2.2";

inline Bytes Decode(const std::string& text)
{
    unsigned char* pby = NULL;
    int n = 0;
    EXPECT_EQ(VOMU_OK, Base64DecodeEx(text.c_str(), (int)text.size(), &pby, &n));
    return support::Take(pby, n);
}

inline std::string Encode(const Bytes& der)
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

inline Signed SignData(const Bytes& msg, bool bAttached, unsigned long fType,
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
inline std::string Layout(const Bytes& der)
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
inline Bytes LastOctetString(const Bytes& der)
{
    std::string hex;
    for (const std::string& line : Asn1Lines(der))
        if (line.find("OCTET STRING") != std::string::npos && line.find("[HEX DUMP]:") != std::string::npos)
            hex = line.substr(line.find("[HEX DUMP]:") + 11);
    return peer::FromHex(hex);
}

// r || s of the last two INTEGERs (the SM2Q1 SEQUENCE or the two trailing INTEGERs).
inline Bytes LastTwoIntegers(const Bytes& der)
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
inline std::string ExpectedLayout(bool bAttached, unsigned long fType)
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
inline Bytes EmbeddedSignature(const Bytes& der, unsigned long fType)
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

inline Bytes IssuerAndSerial(const Bytes& certDer)
{
    const unsigned char* p = certDer.data();
    morv::OsslPtr<X509> pCert(d2i_X509(NULL, &p, (long)certDer.size()));
    EXPECT_TRUE(pCert);
    if (!pCert) return Bytes();
    return Tlv(0x30, Cat({dertest::ByOpenSSL(i2d_X509_NAME, X509_get_issuer_name(pCert.get())),
                          dertest::ByOpenSSL(i2d_ASN1_INTEGER, X509_get_serialNumber(pCert.get()))}));
}

inline Bytes SignatureField(Form form, const Bytes& der)
{
    if (kOctetStringQ1 == form) return Tlv(0x04, der);
    if (kSequenceQ1 == form) return der;
    const size_t nHeader = (der[1] & 0x80) ? 2 + (der[1] & 0x7F) : 2;  // the two INTEGERs alone
    return Bytes(der.begin() + (long)nHeader, der.end());
}

// ContentInfo { SM2 signedData, [0] SignedData } (RFC 2315 9.1) with the certificates given
// and one SignerInfo for signerCert.
// An empty list gives an empty certificates field; kNoCertificatesField leaves it out.
inline const std::vector<Bytes> kNoCertificatesField = {Bytes()};

inline Bytes HandMadeSignedData(const Bytes& content, bool bAttached, Form form, const std::vector<Bytes>& certs,
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

inline Verified VerifyDER(const Bytes& der, bool bAttached, const Bytes& detachedContent, bool bWithZ = true)
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

}  // namespace p7peer

#endif
