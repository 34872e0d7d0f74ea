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

#include "Base64Utility.h"
#include "DerTestUtil.h"
#include "LogCapture.h"
#include "OpenSSLPeer.h"
#include "OsslPtr.h"
#include "PkiFixtures.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "vomu_result.h"

using morv::OsslPtr;
using peer::Bytes;
using peer::ReadFileBytes;

namespace {

using support::Pki;
using support::PkiFact;
using support::PkiFacts;
using support::Take;

// Every certificate fixture id ("sm2/ee_sign", ...) of one directory.
std::vector<std::string> CertificateIds(const std::string& prefix)
{
    std::vector<std::string> ids;
    for (const auto& section : PkiFacts())
        if (section.first.rfind(prefix, 0) == 0 && section.second.count("der") &&
            section.second.count("subject_dn"))
            ids.push_back(section.first);
    return ids;
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
    return Take(pby, n);
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
    point.nResult =
        GetPublicKeyXYFromSM2Cert(cert.data(), (int)cert.size(), &pbyX, &nX, &pbyY, &nY);
    if (VOMU_OK != point.nResult) {
        EXPECT_TRUE(NULL == pbyX && NULL == pbyY && -1 == nX && -1 == nY);
        return point;
    }
    point.x = Take(pbyX, nX);
    point.y = Take(pbyY, nY);
    return point;
}

// The peer: OpenSSL decoding the DER in the default library context.
OsslPtr<X509> PeerCertificate(const Bytes& der)
{
    const unsigned char* p = der.data();
    return OsslPtr<X509>(d2i_X509(NULL, &p, (long)der.size()));
}

Bytes PeerNameDer(const X509_NAME* pName) { return dertest::ByOpenSSL(i2d_X509_NAME, pName); }

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
    const std::string issuerDn = PkiFact(id, "issuer_dn");
    for (const auto& section : PkiFacts())
        if (section.second.count("der") && section.second.count("subject_dn") &&
            section.second.at("subject_dn") == issuerDn)
            return section.first;
    return "";
}

class SMFileCertOperationsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
    void SetUp() override { ASSERT_FALSE(PkiFacts().empty()) << "tests/data/pki/expected.txt"; }
};

// The SM2 fixtures include ee_x00, whose public x starts with a zero byte.
TEST_F(SMFileCertOperationsTest, PublicPointAndKeyIdOfEverySM2CertificateMatchTheOracle)
{
    const std::vector<std::string> ids = CertificateIds("sm2/");
    ASSERT_GE(ids.size(), 10u);
    for (const std::string& id : ids) {
        for (const char* form : {"der", "pem"}) {
            SCOPED_TRACE(id + " as " + form);
            const Bytes cert = ReadFileBytes(Pki(PkiFact(id, form)));
            ASSERT_FALSE(cert.empty());
            const Point point = ReadPoint(cert);
            ASSERT_EQ(VOMU_OK, point.nResult);
            EXPECT_EQ(PkiFact(id, "public_x"), peer::Hex(point.x));
            EXPECT_EQ(PkiFact(id, "public_y"), peer::Hex(point.y));
            int nResult = 0;
            EXPECT_EQ(PkiFact(id, "subject_key_id"),
                      peer::Hex(ReadField(GetSubjectKeyIDFromCert, cert, &nResult)));
            EXPECT_EQ(VOMU_OK, nResult);
        }
    }
    EXPECT_EQ("00", PkiFact("sm2/ee_x00", "public_x").substr(0, 2));
}

// Issuer bytes equal the CA's subject as OpenSSL encodes it; serials come back as whole DER
// INTEGERs (7F, 0080, 0100 among the RSA fixtures). DER and PEM give the same bytes.
TEST_F(SMFileCertOperationsTest, IssuerAndSerialOfEveryCertificateMatchThePeer)
{
    std::vector<std::string> ids = CertificateIds("");
    ASSERT_GE(ids.size(), 30u);
    for (const std::string& id : ids) {
        SCOPED_TRACE(id);
        const Bytes der = ReadFileBytes(Pki(PkiFact(id, "der")));
        OsslPtr<X509> pPeer = PeerCertificate(der);
        const std::string caId = IssuerId(id);
        ASSERT_FALSE(caId.empty());
        OsslPtr<X509> pPeerCa = PeerCertificate(ReadFileBytes(Pki(PkiFact(caId, "der"))));
        ASSERT_TRUE(pPeer && pPeerCa);
        const Bytes caSubject = PeerNameDer(X509_get_subject_name(pPeerCa.get()));
        ASSERT_EQ(PeerNameDer(X509_get_issuer_name(pPeer.get())), caSubject);
        for (const char* form : {"der", "pem"}) {
            const Bytes cert = ReadFileBytes(Pki(PkiFact(id, form)));
            int nResult = 0;
            EXPECT_EQ(caSubject, ReadField(GetIssuerFromCert, cert, &nResult)) << form;
            EXPECT_EQ(VOMU_OK, nResult);
            EXPECT_EQ(SerialDer(PkiFact(id, "serial")),
                      ReadField(GetSerialNumberFromCert, cert, &nResult))
                << form;
            EXPECT_EQ(VOMU_OK, nResult);
        }
    }
    EXPECT_EQ(SerialDer("0080"), SerialDer(PkiFact("rsa/ee_serial_80", "serial")));
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
        {"rsa/ee_sign", false, true}, {"rsa/root", false, true},     {"rsa/ee_noski", false, false},
        {"ec/ee_p256", true, true},   {"ec/root_p384", false, true},
    };
    for (const Row& row : rows) {
        for (const char* form : {"der", "pem"}) {
            SCOPED_TRACE(std::string(row.id) + " as " + form);
            const Bytes cert = ReadFileBytes(Pki(PkiFact(row.id, form)));
            ASSERT_FALSE(cert.empty());
            const Point point = ReadPoint(cert);
            EXPECT_EQ(row.bPoint ? VOMU_OK : VOMU_E_FAIL, point.nResult);
            if (row.bPoint) {
                EXPECT_EQ(PkiFact(row.id, "public_x"), peer::Hex(point.x));
                EXPECT_EQ(PkiFact(row.id, "public_y"), peer::Hex(point.y));
            }
            int nResult = 0;
            const Bytes keyId = ReadField(GetSubjectKeyIDFromCert, cert, &nResult);
            EXPECT_EQ(row.bKeyId ? VOMU_OK : VOMU_E_FAIL, nResult);
            EXPECT_EQ(row.bKeyId ? PkiFact(row.id, "subject_key_id") : "", peer::Hex(keyId));
            ReadField(GetIssuerFromCert, cert, &nResult);
            EXPECT_EQ(VOMU_OK, nResult);
        }
    }
}

// Bytes that are no certificate in either form fail every reader after both attempts.
TEST_F(SMFileCertOperationsTest, BytesThatAreNoCertificateFailEveryReader)
{
    const Bytes der = ReadFileBytes(Pki("sm2/ee_sign.der"));
    const Bytes pem = ReadFileBytes(Pki("sm2/ee_sign.pem"));
    std::string base64(pem.begin(), pem.end());
    base64 = base64.substr(base64.find('\n') + 1);
    base64 = base64.substr(0, base64.find("-----"));
    const std::vector<std::pair<const char*, Bytes>> inputs = {
        {"Base64 without armour", Bytes(base64.begin(), base64.end())},
        {"truncated DER", Bytes(der.begin(), der.begin() + der.size() / 2)},
        {"truncated PEM", Bytes(pem.begin(), pem.begin() + pem.size() / 2)},
        {"a CRL", ReadFileBytes(Pki("sm2/crl.der"))},
        {"a CRL as PEM", ReadFileBytes(Pki("sm2/crl.pem"))},
        {"a private key", ReadFileBytes(Pki("sm2/ee_sign.key"))},
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
    Bytes cert = ReadFileBytes(Pki("sm2/ee_sign.der"));
    unsigned char* pby = NULL;
    int n = 0;
    // The certificate-field readers know one failure code, VOMU_E_FAIL, null arguments too.
    for (FieldReader fn : {GetIssuerFromCert, GetSerialNumberFromCert, GetSubjectKeyIDFromCert}) {
        EXPECT_EQ(VOMU_E_FAIL, fn(NULL, (int)cert.size(), &pby, &n));
        EXPECT_EQ(VOMU_E_FAIL, fn(cert.data(), 0, &pby, &n));
        EXPECT_EQ(VOMU_E_FAIL, fn(cert.data(), (int)cert.size(), NULL, &n));
        EXPECT_EQ(VOMU_E_FAIL, fn(cert.data(), (int)cert.size(), &pby, NULL));
    }
    EXPECT_EQ(VOMU_E_FAIL,
              GetPublicKeyXYFromSM2Cert(cert.data(), (int)cert.size(), &pby, &n, NULL, &n));
    EXPECT_EQ(nullptr, pby);
}

// The failure is logged under the certificate loader's source unit with the step that gave up.
TEST_F(SMFileCertOperationsTest, FailureLineNamesTheSourceAndTheStep)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    Bytes junk(64, 0x41);
    EXPECT_EQ(VOMU_E_FAIL, ReadPoint(junk).nResult);
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos, text.find("[CertificateLoader.cpp(")) << text;
    EXPECT_NE(std::string::npos,
              text.find("d2i_X509_bio)\t\t--Failed:(0xffffffff) [Reason:NULL == pX509Cert]"))
        << text;
}

// Runs a shell script in a new temporary directory and returns the named files it wrote
// (none when it fails; its output then goes to *pError).
std::map<std::string, Bytes> RunCliScript(const std::string& script,
                                          const std::vector<std::string>& files,
                                          std::string* pError)
{
    std::map<std::string, Bytes> out;
    support::TempDir dir("morv_sm2pfx");
    if (dir.Path().empty()) return out;
    if (0 == dir.Run(script, pError))
        for (const std::string& name : files) out[name] = ReadFileBytes(dir.File(name));
    return out;
}

// Certificates the fixtures lack, made by the CLI: a public point in compressed form (its
// uncompressed twin from the same key is the oracle) and subject key identifiers of 1 and of
// 200 octets (the latter with a long-form inner length, 04 81 C8).
TEST_F(SMFileCertOperationsTest, CompressedPointsAndLongKeyIdentifiersAreRead)
{
    const std::string longId(400, 'C');
    const std::string script =
        "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out k.pem"
        " && openssl ec -in k.pem -conv_form compressed -out kc.pem"
        " && openssl pkey -in k.pem -pubout -outform DER -out pub.der"
        " && openssl req -x509 -new -key kc.pem -sm3 -sigopt distid:1234567812345678 -subj /CN=C"
        " -days 1 -addext subjectKeyIdentifier=" +
        longId +
        " -outform DER -out long.der"
        " && openssl req -x509 -new -key k.pem -sm3 -sigopt distid:1234567812345678 -subj /CN=S"
        " -days 1 -addext subjectKeyIdentifier=5A -out short.pem";
    std::string error;
    auto files = RunCliScript(script, {"pub.der", "long.der", "short.pem"}, &error);
    ASSERT_EQ(3u, files.size()) << error;
    const Bytes& pub = files["pub.der"];
    ASSERT_GT(pub.size(), 64u);
    const Bytes& compressed = files["long.der"];
    ASSERT_FALSE(compressed.empty());
    const Point point = ReadPoint(compressed);
    ASSERT_EQ(VOMU_OK, point.nResult);
    EXPECT_EQ(peer::Hex(Bytes(pub.end() - 64, pub.end())), peer::Hex(point.x) + peer::Hex(point.y));
    EXPECT_EQ(point.x, ReadPoint(files["short.pem"]).x);
    int nResult = 0;
    EXPECT_EQ(longId, peer::Hex(ReadField(GetSubjectKeyIDFromCert, compressed, &nResult)));
    EXPECT_EQ("5A", peer::Hex(ReadField(GetSubjectKeyIDFromCert, files["short.pem"], &nResult)));
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
    if (0 !=
        peer::RunCommand("openssl asn1parse -genconf " + conf.Path() + " -noout -out " + out.Path(),
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
    const std::string x = PkiFact("sm2/ee_x00", "public_x"), y = PkiFact("sm2/ee_x00", "public_y");
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
        {1, PkiFact("sm2/ee_sign", "private_d"), "01", "00" + PkiFact("sm2/ee_sign", "private_d"), false,
         "1.2.156.10197.1.301"},
        {1, top, "01", "00" + top, false, "1.2.156.10197.1.301"},
        // Leading zero octets are kept: the scalar keeps its 32-byte width.
        {1, zeros, "01", zeros, true, "1.2.156.10197.1.301"},
        {1, PkiFact("sm2/ee_x00", "private_d"), "01", PkiFact("sm2/ee_x00", "private_d"), false,
         "1.2.840.10045.3.1.7"},
        {0x101, "7F", "01", "7F", false, "1.2.156.10197.1.301"},
        {0, "01", "00", "01", false, "1.2.156.10197.1.301"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dHex + " version " + std::to_string(row.nVersion));
        Bytes d = peer::FromHex(row.dHex), px = peer::FromHex(x), py = peer::FromHex(y);
        unsigned char* pby = NULL;
        int n = 0;
        ASSERT_EQ(VOMU_OK,
                  EncodeECPrivateKey(row.nVersion, row.curve, d.data(), (int)d.size(), px.data(),
                                     (int)px.size(), py.data(), (int)py.size(), &pby, &n));
        const Bytes ours = Take(pby, n);
        EXPECT_EQ(peer::Hex(GenconfECPrivateKey(row.versionHex, row.dIntHex, row.bRawD, row.curve,
                                                x + y)),
                  peer::Hex(ours));
    }
}

TEST_F(SMFileCertOperationsTest, ECPrivateKeyRefusesBadArguments)
{
    Bytes d(32, 0x11), x(32, 0x22), y(32, 0x33);
    unsigned char* pby = NULL;
    int n = -1;
    const char* sm2 = "1.2.156.10197.1.301";
    EXPECT_EQ(VOMU_E_FAIL,
              EncodeECPrivateKey(1, "SM2", d.data(), 32, x.data(), 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_FAIL,
              EncodeECPrivateKey(1, "1.2.", d.data(), 32, x.data(), 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              EncodeECPrivateKey(1, NULL, d.data(), 32, x.data(), 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              EncodeECPrivateKey(1, sm2, d.data(), 0, x.data(), 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              EncodeECPrivateKey(1, sm2, d.data(), 32, NULL, 32, y.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              EncodeECPrivateKey(1, sm2, d.data(), 32, x.data(), 32, y.data(), -1, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              EncodeECPrivateKey(1, sm2, d.data(), 32, x.data(), 32, y.data(), 32, NULL, &n));
    EXPECT_EQ(nullptr, pby);
    EXPECT_EQ(-1, n);
    NodeEx* pRoot = NULL;
    EXPECT_EQ(VOMU_E_FAIL,
              ConstructNode_ECPrivateKey(1, "x", d.data(), 32, x.data(), 32, y.data(), 32, &pRoot));
    EXPECT_EQ(nullptr, pRoot);
}

// ---- SM2 key file ----

const char kPassword[] = "Fixture-SM2-2020";

// The file as the SM2 operations read it: all of it through Base64DecodeEx.
Bytes DecodeKeyFile(const std::string& name)
{
    const Bytes text = ReadFileBytes(Pki("sm2pfx/" + name));
    unsigned char* pby = NULL;
    int n = 0;
    if (text.empty() ||
        VOMU_OK != Base64DecodeEx((const char*)text.data(), (int)text.size(), &pby, &n))
        return Bytes();
    return Take(pby, n);
}

std::vector<std::string> KeyFileNames()
{
    std::vector<std::string> names;
    for (const auto& section : PkiFacts())
        if (section.first.rfind("sm2pfx/", 0) == 0) names.push_back(section.first.substr(7));
    return names;
}

struct Parsed {
    int nResult = 0;
    Bytes encryptedKey, cert;
};

Parsed Parse(Bytes der, bool bKey = true, bool bCert = true)
{
    Parsed parsed;
    unsigned char *pbyKey = NULL, *pbyCert = NULL;
    int nKey = -1, nCert = -1;
    parsed.nResult =
        ParseSM2PFX(der.data(), (int)der.size(), bKey ? &pbyKey : NULL, bKey ? &nKey : NULL,
                    bCert ? &pbyCert : NULL, bCert ? &nCert : NULL);
    if (VOMU_OK == parsed.nResult) {
        parsed.encryptedKey = Take(pbyKey, nKey);
        parsed.cert = Take(pbyCert, nCert);
    } else {
        EXPECT_TRUE(NULL == pbyKey && NULL == pbyCert && -1 == nKey && -1 == nCert);
    }
    return parsed;
}

// The key pair, or the failure code with the pair checked untouched.
struct Pair {
    int nResult = 0;
    Bytes d, x, y;
};

Pair DecryptPair(Bytes der, const std::string& password)
{
    Pair pair;
    SM2_KEY_PAIR pstPair = {};
    std::string pw = password;
    pair.nResult = DecryptKeyPairFromSM2PFX(der.data(), (int)der.size(), &pw[0], &pstPair);
    if (VOMU_OK != pair.nResult) {
        EXPECT_TRUE(NULL == pstPair.privateKey && NULL == pstPair.publicKeyX &&
                    NULL == pstPair.publicKeyY && 0 == pstPair.privateKeyLen);
        return pair;
    }
    pair.d.assign(pstPair.privateKey, pstPair.privateKey + pstPair.privateKeyLen);
    pair.x.assign(pstPair.publicKeyX, pstPair.publicKeyX + pstPair.publicKeyXLen);
    pair.y.assign(pstPair.publicKeyY, pstPair.publicKeyY + pstPair.publicKeyYLen);
    CleanupSM2KeyPair(&pstPair);
    EXPECT_TRUE(NULL == pstPair.privateKey && NULL == pstPair.publicKeyX &&
                NULL == pstPair.publicKeyY);
    return pair;
}

Parsed DecryptKeyAndCert(Bytes der, const std::string& password)
{
    Parsed out;
    unsigned char *pbyKey = NULL, *pbyCert = NULL;
    int nKey = -1, nCert = -1;
    std::string pw = password;
    out.nResult =
        DecryptSM2PFX(der.data(), (int)der.size(), &pw[0], &pbyKey, &nKey, &pbyCert, &nCert);
    if (VOMU_OK == out.nResult) {
        out.encryptedKey = Take(pbyKey, nKey);  // here: the decrypted key
        out.cert = Take(pbyCert, nCert);
    } else {
        EXPECT_TRUE(NULL == pbyKey && NULL == pbyCert && -1 == nKey && -1 == nCert);
    }
    return out;
}

Bytes Encapsulate(Bytes cert, Bytes key, const std::string& password, int* pnResult)
{
    unsigned char* pby = NULL;
    int n = -1;
    std::string pw = password;
    *pnResult = EncapsulateSM2PFX(cert.data(), (int)cert.size(), key.data(), (int)key.size(),
                                  &pw[0], &pby, &n);
    if (VOMU_OK != *pnResult) {
        EXPECT_TRUE(NULL == pby && -1 == n);
        return Bytes();
    }
    return Take(pby, n);
}

// Every key file of tests/data/pki/sm2pfx, as expected.txt describes it: every layout decodes
// to the same DER; version, identifiers and certificate form do not matter; a key that is not
// the certificate's is refused like a wrong password; what is no SM2_PFX is a format error.
TEST_F(SMFileCertOperationsTest, EveryKeyFileVariantReadsAsTheOracleSays)
{
    const std::vector<std::string> names = KeyFileNames();
    ASSERT_GE(names.size(), 15u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string id = "sm2pfx/" + name;
        const Bytes der = DecodeKeyFile(name);
        ASSERT_FALSE(der.empty());
        const std::string password = PkiFact(id, "password");
        if ("invalid" == PkiFact(id, "sm2_pfx")) {
            EXPECT_EQ(VOMU_E_SM2PFX_FORMAT, Parse(der).nResult);
            EXPECT_EQ(VOMU_E_SM2PFX_FORMAT, DecryptPair(der, password).nResult);
            EXPECT_EQ(VOMU_E_SM2PFX_FORMAT, DecryptKeyAndCert(der, password).nResult);
            continue;
        }
        EXPECT_EQ(PkiFact(id, "der_bytes"), std::to_string(der.size()));
        const std::string certId = PkiFact(id, "certificate");
        const Bytes cert = ReadFileBytes(Pki(PkiFact(certId, PkiFact(id, "certificate_form"))));
        const Parsed parsed = Parse(der);
        ASSERT_EQ(VOMU_OK, parsed.nResult);
        EXPECT_EQ(PkiFact(id, "encrypted_key"), peer::Hex(parsed.encryptedKey));
        EXPECT_TRUE(cert == parsed.cert);

        const bool bMatches = "yes" == PkiFact(id, "key_matches_certificate");
        const Pair pair = DecryptPair(der, password);
        const Parsed keyAndCert = DecryptKeyAndCert(der, password);
        if (!bMatches) {
            EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, pair.nResult);
            EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, keyAndCert.nResult);
            continue;
        }
        ASSERT_EQ(VOMU_OK, pair.nResult);
        EXPECT_EQ(PkiFact(id, "decrypted_key"), peer::Hex(pair.d));
        EXPECT_EQ(PkiFact(certId, "public_x"), peer::Hex(pair.x));
        EXPECT_EQ(PkiFact(certId, "public_y"), peer::Hex(pair.y));
        ASSERT_EQ(VOMU_OK, keyAndCert.nResult);
        EXPECT_EQ(PkiFact(id, "decrypted_key"), peer::Hex(keyAndCert.encryptedKey));
        EXPECT_TRUE(cert == keyAndCert.cert);
    }
    EXPECT_TRUE(DecodeKeyFile("sign.b64") == DecodeKeyFile("sign_crlf76.b64"));
    EXPECT_TRUE(DecodeKeyFile("sign.b64") == DecodeKeyFile("sign_lf64.b64"));
}

// The writer against the fixtures that asn1parse -genconf built around the CLI's SM4: the IV
// comes from the password, so the files are reproducible byte for byte.
TEST_F(SMFileCertOperationsTest, EncapsulateReproducesTheFixtureKeyFiles)
{
    for (const char* name : {"sign.b64", "enc.b64", "sign_enc.b64", "noku.b64", "x00.b64",
                             "pem_cert.b64", "empty_password.b64", "mismatched_key.b64"}) {
        SCOPED_TRACE(name);
        const std::string id = std::string("sm2pfx/") + name;
        const Bytes cert =
            ReadFileBytes(Pki(PkiFact(PkiFact(id, "certificate"), PkiFact(id, "certificate_form"))));
        int nResult = 0;
        const Bytes der = Encapsulate(cert, peer::FromHex(PkiFact(id, "decrypted_key")),
                                      PkiFact(id, "password"), &nResult);
        ASSERT_EQ(VOMU_OK, nResult);
        EXPECT_EQ(peer::Hex(DecodeKeyFile(name)), peer::Hex(der));
        // 02 01 01, then SM2_PRIVATE_DATA: 30 47 with a 48-octet encrypted key.
        const size_t nPrivate = 2 + ((der[1] & 0x80) ? (der[1] & 0x7F) : 0) + 3;
        ASSERT_GT(der.size(), nPrivate + 73);
        EXPECT_EQ(peer::Hex(Bytes{0x02, 0x01, 0x01, 0x30, 0x47}),
                  peer::Hex(Bytes(der.begin() + nPrivate - 3, der.begin() + nPrivate + 2)));
        EXPECT_EQ(peer::Hex(Bytes{0x04, 0x30}),
                  peer::Hex(Bytes(der.begin() + nPrivate + 23, der.begin() + nPrivate + 25)));
    }
}

// Wrong passwords: padding that fails, padding that happens to pass (the fixture's lucky
// "wrong-0117" gives 47 bytes), and the rest of 1,000 candidates. None yields a key, while
// ParseSM2PFX, which needs no password, still reads the file.
TEST_F(SMFileCertOperationsTest, WrongPasswordsNeverYieldAKey)
{
    Bytes der = DecodeKeyFile("sign.b64");
    ASSERT_EQ(VOMU_OK, Parse(der).nResult);
    const std::string lucky = PkiFact("sm2pfx/sign.b64", "lucky_wrong_password");
    ASSERT_EQ("wrong-0117", lucky);
    for (const std::string& pw :
         {lucky, PkiFact("sm2pfx/sign.b64", "plain_wrong_password"), std::string(""),
          std::string("Fixture-SM2-2020 "), std::string("fixture-SM2-2020")}) {
        EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, DecryptPair(der, pw).nResult) << pw;
        EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, DecryptKeyAndCert(der, pw).nResult) << pw;
    }
    for (int i = 0; i < 1000; i++) {
        char szPassword[32];
        snprintf(szPassword, sizeof szPassword, "wrong-%04d", i);
        SM2_KEY_PAIR pair = {};
        const int nResult =
            DecryptKeyPairFromSM2PFX(der.data(), (int)der.size(), szPassword, &pair);
        ASSERT_EQ(VOMU_E_SM2PFX_PASSWORD, nResult) << szPassword;
        ASSERT_EQ(nullptr, pair.privateKey) << szPassword;
    }
}

// A self-signed SM2 certificate made by the CLI for the scalar 1 (public point G): lets the
// tests give keys of other lengths and out-of-range scalars of the same point.
class ScalarOneCertificate {
public:
    ScalarOneCertificate()
    {
        const std::string script =
            "printf 'asn1=SEQUENCE:k\\n[k]\\nv=INTEGER:1\\nd=FORMAT:HEX,OCTETSTRING:" +
            std::string(62, '0') +
            "01\\nc=EXPLICIT:0,OID:1.2.156.10197.1.301\\n' > k.cnf"
            " && openssl asn1parse -genconf k.cnf -noout -out k.der"
            " && openssl pkey -inform DER -in k.der -out k.pem"
            " && openssl req -x509 -new -key k.pem -sm3 -sigopt distid:1234567812345678"
            " -subj /CN=G -days 1 -outform DER -out cert.der";
        m_cert = RunCliScript(script, {"cert.der"}, &m_error)["cert.der"];
    }
    const Bytes& Der() const { return m_cert; }
    const std::string& Error() const { return m_error; }

private:
    Bytes m_cert;
    std::string m_error;
};

// The decrypted key must be 1 to 32 bytes (left-padded to 32) and a scalar below the order.
TEST_F(SMFileCertOperationsTest, DecryptedKeyMustBeTheCertificatesScalar)
{
    const ScalarOneCertificate g;
    ASSERT_FALSE(g.Der().empty()) << g.Error();
    Bytes one32(32, 0);
    one32[31] = 1;
    // n + 1 (GB/T 32918.5 order): the same point, but no valid private key.
    const Bytes orderPlusOne =
        peer::FromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54124");
    struct Row {
        const char* what;
        Bytes key;
        int nResult;
    };
    const Row rows[] = {
        {"one byte", Bytes{0x01}, VOMU_OK},
        {"31 bytes", Bytes(one32.begin() + 1, one32.end()), VOMU_OK},
        {"32 bytes", one32, VOMU_OK},
        {"33 bytes",
         [&] {
             Bytes b(1, 0);
             b.insert(b.end(), one32.begin(), one32.end());
             return b;
         }(),
         VOMU_E_SM2PFX_PASSWORD},
        {"n + 1", orderPlusOne, VOMU_E_SM2PFX_PASSWORD},
        {"zero", Bytes(32, 0), VOMU_E_SM2PFX_PASSWORD},
        {"two", Bytes{0x02}, VOMU_E_SM2PFX_PASSWORD},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int nResult = 0;
        const Bytes der = Encapsulate(g.Der(), row.key, kPassword, &nResult);
        ASSERT_EQ(VOMU_OK, nResult);  // the writer stores any key unchecked
        const Pair pair = DecryptPair(der, kPassword);
        EXPECT_EQ(row.nResult, pair.nResult);
        EXPECT_EQ(row.nResult, DecryptKeyAndCert(der, kPassword).nResult);
        if (VOMU_OK == row.nResult) {
            EXPECT_EQ(peer::Hex(one32), peer::Hex(pair.d));
        }
    }
}

// n - 1 is no SM2 private key (GB/T 32918.1 6.1: d in [1, n - 2]) although its point -G is
// on the curve: a certificate for -G, made by the CLI with -force_pubkey, gets no key pair.
TEST_F(SMFileCertOperationsTest, ScalarNMinusOneIsRefused)
{
    const std::string nMinusOne = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122";
    const std::string script =
        "printf 'asn1=SEQUENCE:k\\n[k]\\nv=INTEGER:1\\nd=FORMAT:HEX,OCTETSTRING:" + nMinusOne +
        "\\nc=EXPLICIT:0,OID:1.2.156.10197.1.301\\n' > k.cnf"
        " && openssl asn1parse -genconf k.cnf -noout -out k.der"
        " && openssl pkey -inform DER -in k.der -pubout -out pub.pem"
        " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out o.key"
        " && openssl req -new -key o.key -subj /CN=N1 -sm3 -sigopt distid:1234567812345678"
        " -out o.csr"
        " && openssl x509 -req -in o.csr -signkey o.key -force_pubkey pub.pem -sm3"
        " -sigopt distid:1234567812345678 -vfyopt distid:1234567812345678 -days 1"
        " -outform DER -out cert.der";
    std::string error;
    const Bytes cert = RunCliScript(script, {"cert.der"}, &error)["cert.der"];
    ASSERT_FALSE(cert.empty()) << error;
    const ScalarOneCertificate g;
    ASSERT_FALSE(g.Der().empty()) << g.Error();
    const Point minusG = ReadPoint(cert), plusG = ReadPoint(g.Der());
    ASSERT_EQ(VOMU_OK, minusG.nResult);
    EXPECT_TRUE(minusG.x == plusG.x && minusG.y != plusG.y);
    int nResult = 0;
    const Bytes der = Encapsulate(cert, peer::FromHex(nMinusOne), kPassword, &nResult);
    ASSERT_EQ(VOMU_OK, nResult);
    EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, DecryptPair(der, kPassword).nResult);
    EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, DecryptKeyAndCert(der, kPassword).nResult);
}

// What is not an SM2_PFX, and the choice of outputs.
TEST_F(SMFileCertOperationsTest, ParseSM2PFXReadsOnlySM2PFX)
{
    const Bytes der = DecodeKeyFile("sign.b64");
    ASSERT_FALSE(der.empty());
    Bytes cutByOne(der.begin(), der.end() - 1);
    Bytes inner(der.begin() + 4, der.end());  // the version, no SEQUENCE around it
    Bytes wrongTag = der;
    wrongTag[0] = 0x31;
    const std::vector<std::pair<const char*, Bytes>> inputs = {
        {"empty", Bytes()},
        {"one byte", Bytes{0x30}},
        {"cut by one byte", cutByOne},
        {"without the outer SEQUENCE", inner},
        {"a SET", wrongTag},
        {"a PKCS#12 file", ReadFileBytes(Pki("p12/modern.p12"))},
        {"a certificate", ReadFileBytes(Pki("sm2/ee_sign.der"))},
        {"Base64 text", ReadFileBytes(Pki("sm2pfx/sign.b64"))},
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.first);
        EXPECT_EQ(VOMU_E_SM2PFX_FORMAT, Parse(input.second).nResult);
        EXPECT_EQ(VOMU_E_SM2PFX_FORMAT, DecryptPair(input.second, kPassword).nResult);
    }
    EXPECT_EQ(VOMU_E_SM2PFX_FORMAT, ParseSM2PFX(NULL, 10, NULL, NULL, NULL, NULL));

    Bytes trailing = der;
    trailing.insert(trailing.end(), {0x00, 0x00, 0xFF});
    const Parsed full = Parse(der);
    ASSERT_EQ(VOMU_OK, full.nResult);
    const Parsed withTrailing = Parse(trailing);
    EXPECT_EQ(VOMU_OK, withTrailing.nResult);
    EXPECT_TRUE(full.cert == withTrailing.cert);

    const Parsed certOnly = Parse(der, false, true);
    EXPECT_EQ(VOMU_OK, certOnly.nResult);
    EXPECT_TRUE(certOnly.encryptedKey.empty() && full.cert == certOnly.cert);
    const Parsed keyOnly = Parse(der, true, false);
    EXPECT_EQ(VOMU_OK, keyOnly.nResult);
    EXPECT_TRUE(keyOnly.cert.empty() && full.encryptedKey == keyOnly.encryptedKey);
    unsigned char* pby = NULL;
    int n = 0;
    Bytes copy = der;
    EXPECT_EQ(VOMU_E_INVALID_ARG,
              ParseSM2PFX(copy.data(), (int)copy.size(), &pby, NULL, NULL, NULL));
    EXPECT_EQ(VOMU_E_INVALID_ARG, ParseSM2PFX(copy.data(), (int)copy.size(), NULL, NULL, NULL, &n));
    EXPECT_EQ(nullptr, pby);
}

// The item functions decode and re-encode a file unchanged and advance the input past it.
TEST_F(SMFileCertOperationsTest, ItemFunctionsRoundTripAndAdvance)
{
    for (const char* name : {"sign.b64", "version2.b64", "other_oids.b64", "pem_cert.b64"}) {
        SCOPED_TRACE(name);
        Bytes der = DecodeKeyFile(name);
        const size_t nFile = der.size();
        der.push_back(0x05);
        const unsigned char* p = der.data();
        SM2_PFX* pstPfx = d2i_SM2_PFX(NULL, &p, (long)der.size());
        ASSERT_NE(nullptr, pstPfx);
        EXPECT_EQ(nFile, (size_t)(p - der.data()));
        unsigned char* pbyOut = NULL;
        const int nOut = i2d_SM2_PFX(pstPfx, &pbyOut);
        ASSERT_EQ((int)nFile, nOut);
        EXPECT_EQ(0, memcmp(pbyOut, der.data(), nFile));
        OPENSSL_free(pbyOut);
        // The parts encode as the bytes they were read from.
        pbyOut = NULL;
        const int nPrivate = i2d_SM2_PRIVATE_DATA(pstPfx->privateData, &pbyOut);
        const unsigned char* q = pbyOut;
        SM2_PRIVATE_DATA* pstPrivate = d2i_SM2_PRIVATE_DATA(NULL, &q, nPrivate);
        EXPECT_NE(nullptr, pstPrivate);
        SM2_PRIVATE_DATA_free(pstPrivate);
        OPENSSL_free(pbyOut);
        pbyOut = NULL;
        const int nPublic = i2d_SM2_PUBLIC_DATA(pstPfx->publicData, &pbyOut);
        q = pbyOut;
        SM2_PUBLIC_DATA* pstPublic = d2i_SM2_PUBLIC_DATA(NULL, &q, nPublic);
        EXPECT_NE(nullptr, pstPublic);
        SM2_PUBLIC_DATA_free(pstPublic);
        OPENSSL_free(pbyOut);
        SM2_PFX_free(pstPfx);
    }
    SM2_PFX_free(NULL);
    SM2_PRIVATE_DATA_free(NULL);
    SM2_PUBLIC_DATA_free(NULL);
}

TEST_F(SMFileCertOperationsTest, BuildersRefuseBadIdentifiersAndKeepOwnership)
{
    unsigned char abyKey[48] = {0};
    SM2_PRIVATE_DATA* pstPrivate = NULL;
    EXPECT_EQ(VOMU_E_FAIL,
              CreateSM2PrivateData("data", "1.2.156.10197.1.104", abyKey, 48, &pstPrivate));
    EXPECT_EQ(VOMU_E_FAIL,
              CreateSM2PrivateData("1.2.156.10197.6.1.4.2.1", "1..2", abyKey, 48, &pstPrivate));
    EXPECT_EQ(VOMU_E_FAIL,
              CreateSM2PrivateData("1.2.156.10197.6.1.4.2.1", "1.2.3 ", abyKey, 48, &pstPrivate));
    EXPECT_EQ(nullptr, pstPrivate);
    SM2_PUBLIC_DATA* pstPublic = NULL;
    EXPECT_EQ(VOMU_E_FAIL, CreateSM2PublicData("x.y", abyKey, 48, &pstPublic));
    EXPECT_EQ(nullptr, pstPublic);

    ASSERT_EQ(VOMU_OK, CreateSM2PrivateData("1.2.156.10197.6.1.4.2.1", "1.2.156.10197.1.104",
                                            abyKey, 48, &pstPrivate));
    ASSERT_EQ(VOMU_OK, CreateSM2PublicData("1.2.156.10197.6.1.4.2.1", abyKey, 10, &pstPublic));
    SM2_PFX* pstPfx = NULL;
    SM2_PUBLIC_DATA* pstNoPublic = NULL;
    EXPECT_EQ(VOMU_E_INVALID_ARG, CreateSM2PFX(1, pstPrivate, pstNoPublic, &pstPfx));
    EXPECT_NE(nullptr, pstPrivate);  // still the caller's
    ASSERT_EQ(VOMU_OK, CreateSM2PFX(1, pstPrivate, pstPublic, &pstPfx));
    EXPECT_TRUE(NULL == pstPrivate && NULL == pstPublic);
    ASSERT_NE(nullptr, pstPfx);
    EXPECT_EQ(1, ASN1_INTEGER_get(pstPfx->version));
    SM2_PFX_free(pstPfx);

    int nResult = 0;
    EXPECT_TRUE(Encapsulate(Bytes(), Bytes(32, 1), kPassword, &nResult).empty());
    EXPECT_EQ(VOMU_E_INVALID_ARG, nResult);
    EXPECT_TRUE(Encapsulate(Bytes(10, 1), Bytes(), kPassword, &nResult).empty());
    EXPECT_EQ(VOMU_E_INVALID_ARG, nResult);
}

TEST_F(SMFileCertOperationsTest, CleanupIsSafeOnEmptyAndRepeatedPairs)
{
    CleanupSM2KeyPair(NULL);
    SM2_KEY_PAIR empty = {};
    CleanupSM2KeyPair(&empty);
    EXPECT_EQ(nullptr, empty.privateKey);
    Bytes der = DecodeKeyFile("sign.b64");
    char szPassword[] = "Fixture-SM2-2020";
    SM2_KEY_PAIR pair = {};
    ASSERT_EQ(VOMU_OK, DecryptKeyPairFromSM2PFX(der.data(), (int)der.size(), szPassword, &pair));
    EXPECT_EQ(32, pair.privateKeyLen);
    CleanupSM2KeyPair(&pair);
    CleanupSM2KeyPair(&pair);
    EXPECT_TRUE(NULL == pair.privateKey && NULL == pair.publicKeyX && NULL == pair.publicKeyY);
    EXPECT_EQ(32, pair.publicKeyYLen);
}

// Passwords stay out of the log, right or wrong, while the steps are logged.
TEST_F(SMFileCertOperationsTest, PasswordsNeverReachTheLog)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const Bytes der = DecodeKeyFile("sign.b64");
    const std::string wrong = "Wrong-Pass-4711";
    int nResult = 0;
    Encapsulate(ReadFileBytes(Pki("sm2/ee_sign.der")),
                peer::FromHex(PkiFact("sm2pfx/sign.b64", "decrypted_key")), kPassword, &nResult);
    EXPECT_EQ(VOMU_OK, nResult);
    EXPECT_EQ(VOMU_OK, DecryptPair(der, kPassword).nResult);
    EXPECT_EQ(VOMU_OK, DecryptKeyAndCert(der, kPassword).nResult);
    EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, DecryptPair(der, wrong).nResult);
    EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, DecryptPair(der, "wrong-0117").nResult);
    EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD,
              DecryptPair(DecodeKeyFile("mismatched_key.b64"), kPassword).nResult);
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos, text.find("SM2KeyFile.cpp")) << text;
    EXPECT_NE(std::string::npos, text.find("SM4DecryptByPin)\t\t--Failed:(0xa0071108)")) << text;
    for (const std::string& secret : {std::string(kPassword), wrong, std::string("wrong-0117"),
                                      PkiFact("sm2pfx/sign.b64", "decrypted_key")})
        EXPECT_EQ(std::string::npos, text.find(secret)) << secret;
}

}  // namespace
