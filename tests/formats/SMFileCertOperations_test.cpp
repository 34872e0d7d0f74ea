// Certificate field readers, the ECPrivateKey encoder and the SM2 key file. Oracles: the facts
// the openssl CLI printed into tests/data/pki/expected.txt, OpenSSL's own DER codecs in the
// default library context, and DER built by `openssl asn1parse -genconf`.
#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "HandOver.h"
#include "LogCapture.h"
#include "OpenSSLPeer.h"
#include "OsslPtr.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "vomu_result.h"

using morv::OsslPtr;
using peer::Bytes;

namespace {

using Section = std::map<std::string, std::string>;

std::string PkiPath(const std::string& name) { return std::string(MORV_TEST_DATA_DIR) + "/pki/" + name; }

Bytes ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// expected.txt: "[section]" lines, then key=value lines.
const std::map<std::string, Section>& Expected()
{
    static const std::map<std::string, Section> s_sections = [] {
        std::map<std::string, Section> sections;
        std::ifstream in(PkiPath("expected.txt"));
        std::string line, current;
        while (std::getline(in, line)) {
            if (line.size() > 2 && '[' == line[0] && ']' == line.back()) {
                current = line.substr(1, line.size() - 2);
            } else if (!current.empty() && line.find('=') != std::string::npos) {
                const size_t eq = line.find('=');
                sections[current][line.substr(0, eq)] = line.substr(eq + 1);
            }
        }
        return sections;
    }();
    return s_sections;
}

const Section& Facts(const std::string& id)
{
    static const Section s_empty;
    auto it = Expected().find(id);
    return it == Expected().end() ? s_empty : it->second;
}

std::string Fact(const std::string& id, const std::string& key)
{
    auto it = Facts(id).find(key);
    return it == Facts(id).end() ? std::string() : it->second;
}

// Every certificate fixture id ("sm2/ee_sign", ...) of one directory.
std::vector<std::string> CertificateIds(const std::string& prefix)
{
    std::vector<std::string> ids;
    for (const auto& section : Expected())
        if (section.first.rfind(prefix, 0) == 0 && section.second.count("der") &&
            section.second.count("subject_dn"))
            ids.push_back(section.first);
    return ids;
}

Bytes TakeArray(unsigned char* pby, int n)
{
    morv::OwnedArray<unsigned char> owned(pby);
    return pby ? Bytes(pby, pby + n) : Bytes();
}

using FieldReader = int (*)(unsigned char*, int, unsigned char**, int*);

// One reader's output; on failure the output pointer must stay untouched.
Bytes ReadField(FieldReader fn, Bytes cert, int* pnResult)
{
    unsigned char* pby = NULL;
    int n = -1;
    *pnResult = fn(cert.data(), (int)cert.size(), &pby, &n);
    if (VOMU_OK != *pnResult) {
        EXPECT_EQ(nullptr, pby);
        EXPECT_EQ(-1, n);
        return Bytes();
    }
    return TakeArray(pby, n);
}

struct Point {
    int nResult = 0;
    Bytes x, y;
};

Point ReadPoint(Bytes cert)
{
    Point point;
    unsigned char *pbyX = NULL, *pbyY = NULL;
    int nX = -1, nY = -1;
    point.nResult = GetPublicKeyXYFromSM2Cert(cert.data(), (int)cert.size(), &pbyX, &nX, &pbyY, &nY);
    if (VOMU_OK != point.nResult) {
        EXPECT_TRUE(NULL == pbyX && NULL == pbyY && -1 == nX && -1 == nY);
        return point;
    }
    point.x = TakeArray(pbyX, nX);
    point.y = TakeArray(pbyY, nY);
    return point;
}

// The peer: OpenSSL decoding the DER in the default library context.
OsslPtr<X509> PeerCertificate(const Bytes& der)
{
    const unsigned char* p = der.data();
    return OsslPtr<X509>(d2i_X509(NULL, &p, (long)der.size()));
}

Bytes PeerNameDer(const X509_NAME* pName)
{
    unsigned char* pby = NULL;
    const int n = i2d_X509_NAME(pName, &pby);
    Bytes out = n > 0 ? Bytes(pby, pby + n) : Bytes();
    OPENSSL_free(pby);
    return out;
}

// The DER INTEGER of a serial printed as its value octets (with the 00 before a set top bit).
Bytes SerialDer(const std::string& valueHex)
{
    Bytes value = peer::FromHex(valueHex);
    Bytes der(2 + value.size());
    der[0] = 0x02;
    der[1] = (unsigned char)value.size();
    std::copy(value.begin(), value.end(), der.begin() + 2);
    return der;
}

// The CA whose subject is the certificate's issuer (the first fixture with that name).
std::string IssuerId(const std::string& id)
{
    const std::string issuerDn = Fact(id, "issuer_dn");
    for (const auto& section : Expected())
        if (section.second.count("der") && section.second.count("subject_dn") &&
            section.second.at("subject_dn") == issuerDn)
            return section.first;
    return "";
}

class SMFileCertOperationsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void SetUp() override { ASSERT_FALSE(Expected().empty()) << "tests/data/pki/expected.txt"; }
};

// The SM2 fixtures include ee_x00, whose public x starts with a zero byte.
TEST_F(SMFileCertOperationsTest, PublicPointAndKeyIdOfEverySM2CertificateMatchTheOracle)
{
    const std::vector<std::string> ids = CertificateIds("sm2/");
    ASSERT_GE(ids.size(), 10u);
    for (const std::string& id : ids) {
        for (const char* form : {"der", "pem"}) {
            SCOPED_TRACE(id + " as " + form);
            const Bytes cert = ReadBytes(PkiPath(Fact(id, form)));
            ASSERT_FALSE(cert.empty());
            const Point point = ReadPoint(cert);
            ASSERT_EQ(VOMU_OK, point.nResult);
            EXPECT_EQ(Fact(id, "public_x"), peer::Hex(point.x));
            EXPECT_EQ(Fact(id, "public_y"), peer::Hex(point.y));
            int nResult = 0;
            EXPECT_EQ(Fact(id, "subject_key_id"),
                      peer::Hex(ReadField(GetSubjectKeyIDFromCert, cert, &nResult)));
            EXPECT_EQ(VOMU_OK, nResult);
        }
    }
    EXPECT_EQ("00", Fact("sm2/ee_x00", "public_x").substr(0, 2));
}

// Issuer bytes equal the CA's subject as OpenSSL encodes it; serials come back as whole DER
// INTEGERs (7F, 0080, 0100 among the RSA fixtures). DER and PEM give the same bytes.
TEST_F(SMFileCertOperationsTest, IssuerAndSerialOfEveryCertificateMatchThePeer)
{
    std::vector<std::string> ids = CertificateIds("");
    ASSERT_GE(ids.size(), 30u);
    for (const std::string& id : ids) {
        SCOPED_TRACE(id);
        const Bytes der = ReadBytes(PkiPath(Fact(id, "der")));
        OsslPtr<X509> pPeer = PeerCertificate(der);
        const std::string caId = IssuerId(id);
        ASSERT_FALSE(caId.empty());
        OsslPtr<X509> pPeerCa = PeerCertificate(ReadBytes(PkiPath(Fact(caId, "der"))));
        ASSERT_TRUE(pPeer && pPeerCa);
        const Bytes caSubject = PeerNameDer(X509_get_subject_name(pPeerCa.get()));
        ASSERT_EQ(PeerNameDer(X509_get_issuer_name(pPeer.get())), caSubject);
        for (const char* form : {"der", "pem"}) {
            const Bytes cert = ReadBytes(PkiPath(Fact(id, form)));
            int nResult = 0;
            EXPECT_EQ(caSubject, ReadField(GetIssuerFromCert, cert, &nResult)) << form;
            EXPECT_EQ(VOMU_OK, nResult);
            EXPECT_EQ(SerialDer(Fact(id, "serial")), ReadField(GetSerialNumberFromCert, cert, &nResult))
                << form;
            EXPECT_EQ(VOMU_OK, nResult);
        }
    }
    EXPECT_EQ(SerialDer("0080"), SerialDer(Fact("rsa/ee_serial_80", "serial")));
}

// Other certificates: the key identifier of RSA and ECDSA ones; a point only from an EC key
// whose coordinates fit 32 bytes; no identifier without the extension.
TEST_F(SMFileCertOperationsTest, NonSM2CertificatesGiveWhatTheyCarry)
{
    struct Row {
        const char* id;
        bool bPoint;
        bool bKeyId;
    };
    const Row rows[] = {
        {"rsa/ee_sign", false, true},  {"rsa/root", false, true},  {"rsa/ee_noski", false, false},
        {"ec/ee_p256", true, true},    {"ec/root_p384", false, true},
    };
    for (const Row& row : rows) {
        for (const char* form : {"der", "pem"}) {
            SCOPED_TRACE(std::string(row.id) + " as " + form);
            const Bytes cert = ReadBytes(PkiPath(Fact(row.id, form)));
            ASSERT_FALSE(cert.empty());
            const Point point = ReadPoint(cert);
            EXPECT_EQ(row.bPoint ? VOMU_OK : VOMU_E_FAIL, point.nResult);
            if (row.bPoint) {
                EXPECT_EQ(Fact(row.id, "public_x"), peer::Hex(point.x));
                EXPECT_EQ(Fact(row.id, "public_y"), peer::Hex(point.y));
            }
            int nResult = 0;
            const Bytes keyId = ReadField(GetSubjectKeyIDFromCert, cert, &nResult);
            EXPECT_EQ(row.bKeyId ? VOMU_OK : VOMU_E_FAIL, nResult);
            EXPECT_EQ(row.bKeyId ? Fact(row.id, "subject_key_id") : "", peer::Hex(keyId));
            ReadField(GetIssuerFromCert, cert, &nResult);
            EXPECT_EQ(VOMU_OK, nResult);
        }
    }
}

// Bytes that are no certificate in either form fail every reader after both attempts.
TEST_F(SMFileCertOperationsTest, BytesThatAreNoCertificateFailEveryReader)
{
    const Bytes der = ReadBytes(PkiPath("sm2/ee_sign.der"));
    const Bytes pem = ReadBytes(PkiPath("sm2/ee_sign.pem"));
    std::string base64(pem.begin(), pem.end());
    base64 = base64.substr(base64.find('\n') + 1);
    base64 = base64.substr(0, base64.find("-----"));
    const std::vector<std::pair<const char*, Bytes>> inputs = {
        {"Base64 without armour", Bytes(base64.begin(), base64.end())},
        {"truncated DER", Bytes(der.begin(), der.begin() + der.size() / 2)},
        {"truncated PEM", Bytes(pem.begin(), pem.begin() + pem.size() / 2)},
        {"a CRL", ReadBytes(PkiPath("sm2/crl.der"))},
        {"a CRL as PEM", ReadBytes(PkiPath("sm2/crl.pem"))},
        {"a private key", ReadBytes(PkiPath("sm2/ee_sign.key"))},
        {"one zero byte", Bytes(1, 0)},
    };
    const FieldReader readers[] = {GetIssuerFromCert, GetSerialNumberFromCert,
                                   GetSubjectKeyIDFromCert};
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.first);
        ASSERT_FALSE(input.second.empty());
        EXPECT_EQ(VOMU_E_FAIL, ReadPoint(input.second).nResult);
        for (FieldReader fn : readers) {
            int nResult = 0;
            ReadField(fn, input.second, &nResult);
            EXPECT_EQ(VOMU_E_FAIL, nResult);
        }
    }
}

TEST_F(SMFileCertOperationsTest, MissingArgumentsAreRefused)
{
    Bytes cert = ReadBytes(PkiPath("sm2/ee_sign.der"));
    unsigned char* pby = NULL;
    int n = 0;
    for (FieldReader fn : {GetIssuerFromCert, GetSerialNumberFromCert, GetSubjectKeyIDFromCert}) {
        EXPECT_EQ(VOMU_E_INVALID_ARG, fn(NULL, (int)cert.size(), &pby, &n));
        EXPECT_EQ(VOMU_E_INVALID_ARG, fn(cert.data(), 0, &pby, &n));
        EXPECT_EQ(VOMU_E_INVALID_ARG, fn(cert.data(), (int)cert.size(), NULL, &n));
        EXPECT_EQ(VOMU_E_INVALID_ARG, fn(cert.data(), (int)cert.size(), &pby, NULL));
    }
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              GetPublicKeyXYFromSM2Cert(cert.data(), (int)cert.size(), &pby, &n, NULL, &n));
    EXPECT_EQ(nullptr, pby);
}

// The failure is logged under this source unit with the step that gave up.
TEST_F(SMFileCertOperationsTest, FailureLineNamesTheSourceAndTheStep)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    Bytes junk(64, 0x41);
    EXPECT_EQ(VOMU_E_FAIL, ReadPoint(junk).nResult);
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos,
              text.find("[SMFileCertOperations.cpp(")) << text;
    EXPECT_NE(std::string::npos, text.find("d2i_X509_bio)\t\t--Failed:(0xffffffff) [Reason:NULL == pX509Cert]"))
        << text;
}

// ---- ECPrivateKey ----

// DER made by `openssl asn1parse -genconf`; the INTEGERs are written as implicitly tagged
// octet strings so that their octets are exactly the ones given. genconf refuses an INTEGER
// with redundant leading zeros, so such a d is written as an OCTET STRING (bRawD) whose tag
// octet is then turned into 02.
Bytes GenconfECPrivateKey(const std::string& versionHex, const std::string& dHex, bool bRawD,
                          const std::string& curveOid, const std::string& pointHex)
{
    peer::TempFile conf;
    peer::TempFile out;
    std::ofstream(conf.Path()) << "asn1=SEQUENCE:k\n[k]\n"
                               << "v=IMPLICIT:2U,FORMAT:HEX,OCTETSTRING:" << versionHex << "\n"
                               << "d=" << (bRawD ? "" : "IMPLICIT:2U,")
                               << "FORMAT:HEX,OCTETSTRING:" << dHex << "\n"
                               << "c=EXPLICIT:0,OID:" << curveOid << "\n"
                               << "p=EXPLICIT:1,FORMAT:HEX,BITSTRING:04" << pointHex << "\n";
    std::string output;
    if (0 != peer::RunCommand("openssl asn1parse -genconf " + conf.Path() + " -noout -out " +
                                  out.Path(),
                              &output)) {
        ADD_FAILURE() << output;
        return Bytes();
    }
    Bytes der = out.Read();
    // SEQUENCE header (short or long length), then version 02 01 vv, then d's tag.
    const size_t nHeader = 2 + ((der.size() > 1 && (der[1] & 0x80)) ? (der[1] & 0x7F) : 0);
    const size_t nDTag = nHeader + 3;
    if (bRawD && der.size() > nDTag && 0x04 == der[nDTag]) der[nDTag] = 0x02;
    return der;
}

TEST_F(SMFileCertOperationsTest, ECPrivateKeyEqualsIndependentDer)
{
    const std::string x = Fact("sm2/ee_x00", "public_x"), y = Fact("sm2/ee_x00", "public_y");
    struct Row {
        int nVersion;
        std::string dHex;        // given to the encoder
        std::string versionHex;  // what the peer must see
        std::string dIntHex;
        bool bRawD;
        const char* curve;
    };
    const std::string top = "80" + std::string(62, '1');
    const std::string zeros = "0000" + std::string(60, '7');
    const Row rows[] = {
        {1, Fact("sm2/ee_sign", "private_d"), "01", "00" + Fact("sm2/ee_sign", "private_d"),
         false, "1.2.156.10197.1.301"},
        {1, top, "01", "00" + top, false, "1.2.156.10197.1.301"},
        // Leading zero octets are kept: the scalar keeps its 32-byte width.
        {1, zeros, "01", zeros, true, "1.2.156.10197.1.301"},
        {1, Fact("sm2/ee_x00", "private_d"), "01", Fact("sm2/ee_x00", "private_d"), false,
         "1.2.840.10045.3.1.7"},
        {0x101, "7F", "01", "7F", false, "1.2.156.10197.1.301"},
        {0, "01", "00", "01", false, "1.2.156.10197.1.301"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dHex + " version " + std::to_string(row.nVersion));
        Bytes d = peer::FromHex(row.dHex), px = peer::FromHex(x), py = peer::FromHex(y);
        unsigned char* pby = NULL;
        int n = 0;
        ASSERT_EQ(VOMU_OK, EncodeECPrivateKey(row.nVersion, row.curve, d.data(), (int)d.size(),
                                              px.data(), (int)px.size(), py.data(), (int)py.size(),
                                              &pby, &n));
        const Bytes ours = TakeArray(pby, n);
        EXPECT_EQ(peer::Hex(GenconfECPrivateKey(row.versionHex, row.dIntHex, row.bRawD, row.curve, x + y)),
                  peer::Hex(ours));
    }
}

TEST_F(SMFileCertOperationsTest, ECPrivateKeyRefusesBadArguments)
{
    Bytes d(32, 0x11), x(32, 0x22), y(32, 0x33);
    unsigned char* pby = NULL;
    int n = -1;
    const char* sm2 = "1.2.156.10197.1.301";
    EXPECT_EQ(VOMU_E_FAIL, EncodeECPrivateKey(1, "SM2", d.data(), 32, x.data(), 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_FAIL, EncodeECPrivateKey(1, "1.2.", d.data(), 32, x.data(), 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncodeECPrivateKey(1, NULL, d.data(), 32, x.data(), 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncodeECPrivateKey(1, sm2, d.data(), 0, x.data(), 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncodeECPrivateKey(1, sm2, d.data(), 32, NULL, 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncodeECPrivateKey(1, sm2, d.data(), 32, x.data(), 32, y.data(), -1, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncodeECPrivateKey(1, sm2, d.data(), 32, x.data(), 32, y.data(), 32, NULL, &n));
    EXPECT_EQ(nullptr, pby);
    EXPECT_EQ(-1, n);
    NodeEx* pRoot = NULL;
    EXPECT_EQ(VOMU_E_FAIL, ConstructNode_ECPrivateKey(1, "x", d.data(), 32, x.data(), 32, y.data(), 32, &pRoot));
    EXPECT_EQ(nullptr, pRoot);
}

}  // namespace
