// RSA SignedData. Expected bytes come from `openssl smime -sign -binary -noattr` with the
// same key (RSA PKCS#1 v1.5 is deterministic and -noattr drops the signing time), every
// output is checked by `openssl cms -verify -noverify`, and SignedData made by the CLI in
// other shapes give the verifiers' codes.
#include <gtest/gtest.h>


#include <algorithm>
#include <string>

#include "Base64Utility.h"
#include "RSADataSigning.h"
#include "RsaTestUtil.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "vomu_result.h"

using peer::Bytes;
using rsatest::kP12Password;
using rsatest::OpenFile;
using rsatest::Pki;
using rsatest::SmimeSign;

namespace {

class RsaPkcs7 : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
};

bool CmsVerifies(const Bytes& der, const std::string& contentPath = "")
{
    peer::TempFile sig(der);
    return 0 == peer::RunCommand("openssl cms -verify -inform DER -binary -noverify -in " + sig.Path() +
                                 (contentPath.empty() ? "" : " -content " + contentPath) + " -out /dev/null");
}

struct Output {
    int nResult = -1;
    Bytes der;
};

Output SignData(const Bytes& msg, int nNid, bool bAttached, const std::string& pfx = Pki("p12/modern.p12"))
{
    OpenFile p12(pfx);
    Output out;
    unsigned char* pbyDER = nullptr;
    int nSize = 0;
    out.nResult = RSA_SignData_PKCS7_ByPFX(msg.data(), (int)msg.size(), p12.Get(), kP12Password, nNid,
                                           bAttached, &pbyDER, &nSize);
    if (VOMU_OK == out.nResult) out.der.assign(pbyDER, pbyDER + nSize);
    delete[] pbyDER;
    return out;
}

Output SignFile(const std::string& path, int nNid, bool bExact, const std::string& pfx = Pki("p12/modern.p12"))
{
    OpenFile in(path);
    OpenFile p12(pfx);
    Output out;
    unsigned char* pbyDER = nullptr;
    int nSize = 0;
    out.nResult = RSA_SignFile_PKCS7Detached_ByPFX(in.Get(), p12.Get(), kP12Password, nNid, bExact,
                                                   &pbyDER, &nSize);
    if (VOMU_OK == out.nResult) out.der.assign(pbyDER, pbyDER + nSize);
    delete[] pbyDER;
    return out;
}

// The three verifiers over one SignedData; certificates handed back are compared with the signer's.
struct Verdicts {
    int nDetached, nAttached, nFile;
};

Verdicts VerifyAll(const Bytes& der, const Bytes& data, Bytes* pContent = nullptr, Bytes* pCert = nullptr)
{
    Verdicts v{};
    unsigned char* pbyCert = nullptr;
    int nCertSize = 0;
    v.nDetached = RSA_VerifyDataSignature_DERPKCS7Detached(der.data(), (int)der.size(), data.data(),
                                                           (int)data.size(), &pbyCert, &nCertSize);
    if (VOMU_OK == v.nDetached && pCert) pCert->assign(pbyCert, pbyCert + nCertSize);
    delete[] pbyCert;
    unsigned char* pbyContent = nullptr;
    int nContentSize = 0;
    v.nAttached = RSA_VerifyDataSignature_DERPKCS7Attached(der.data(), (int)der.size(), &pbyContent,
                                                           &nContentSize, nullptr, nullptr);
    if (VOMU_OK == v.nAttached && pContent) pContent->assign(pbyContent, pbyContent + nContentSize);
    delete[] pbyContent;
    peer::TempFile file(data);
    OpenFile in(file.Path());
    pbyCert = nullptr;
    v.nFile = RSA_VerifyFileSignature_DERPKCS7Detached(der.data(), (int)der.size(), in.Get(), &pbyCert,
                                                       &nCertSize);
    delete[] pbyCert;
    return v;
}

// Our own writer over the file digest against the CLI.
TEST_F(RsaPkcs7, FileRoadEqualsOpensslSmimeDetached)
{
    const Bytes signerCert = peer::ReadFileBytes(Pki("rsa/ee_sign.der"));
    for (size_t nSize : {0, 1, 16384, 100000}) {
        const Bytes msg = rsatest::Message(nSize, 11);
        peer::TempFile file(msg);
        for (const auto& hash : {std::make_pair(NID_sha256, "sha256"), std::make_pair(NID_sha1, "sha1")}) {
            SCOPED_TRACE(std::string(hash.second) + " over " + std::to_string(nSize));
            const Bytes expected = SmimeSign("-noattr -md " + std::string(hash.second), file.Path());
            ASSERT_FALSE(expected.empty());
            const Output ours = SignFile(file.Path(), hash.first, false);
            ASSERT_EQ(VOMU_OK, ours.nResult);
            EXPECT_EQ(peer::Hex(expected), peer::Hex(ours.der));
            EXPECT_TRUE(CmsVerifies(ours.der, file.Path()));
            OpenFile in(file.Path());
            unsigned char* pbyCert = nullptr;
            int nCertSize = 0;
            ASSERT_EQ(VOMU_OK, RSA_VerifyFileSignature_DERPKCS7Detached(ours.der.data(), (int)ours.der.size(),
                                                                        in.Get(), &pbyCert, &nCertSize));
            EXPECT_EQ(peer::Hex(signerCert), peer::Hex(pbyCert, (size_t)nCertSize));
            delete[] pbyCert;
        }
    }
}

// The library-made SignedData of the data roads: no attributes, the signer's certificate only.
TEST_F(RsaPkcs7, DataRoadsEqualOpensslSmime)
{
    const Bytes signerCert = peer::ReadFileBytes(Pki("rsa/ee_sign.der"));
    const std::pair<int, const char*> hashes[] = {
        {NID_sha1, "sha1"}, {NID_sha256, "sha256"}, {NID_sha384, "sha384"}, {NID_sha512, "sha512"}};
    for (size_t nSize : {0, 3, 100000}) {
        const Bytes msg = rsatest::Message(nSize, 5);
        peer::TempFile file(msg);
        for (const auto& hash : hashes) {
            for (bool bAttached : {true, false}) {
                SCOPED_TRACE(std::string(hash.second) + (bAttached ? " attached " : " detached ") +
                             std::to_string(nSize));
                const Bytes expected = SmimeSign(std::string("-noattr -md ") + hash.second +
                                                     (bAttached ? " -nodetach" : ""), file.Path());
                ASSERT_FALSE(expected.empty());
                const Output ours = SignData(msg, hash.first, bAttached);
                ASSERT_EQ(VOMU_OK, ours.nResult);
                EXPECT_EQ(peer::Hex(expected), peer::Hex(ours.der));
                EXPECT_TRUE(CmsVerifies(ours.der, bAttached ? "" : file.Path()));
                Bytes content, cert;
                const Verdicts v = VerifyAll(ours.der, msg, &content, &cert);
                EXPECT_EQ(VOMU_OK, v.nDetached);
                EXPECT_EQ(peer::Hex(signerCert), peer::Hex(cert));
                EXPECT_EQ(bAttached ? VOMU_OK : VOMU_E_BAD_SIGNATURE, v.nAttached);
                if (bAttached) {
                    EXPECT_EQ(peer::Hex(msg), peer::Hex(content));
                }
            }
        }
    }
}

// SignedData made by the CLI in other shapes, and changed ones, through the three verifiers.
TEST_F(RsaPkcs7, CliMadeSignedDataGiveTheVerifiersCodes)
{
    const Bytes msg = rsatest::Message(2000, 13);
    peer::TempFile file(msg);
    peer::TempFile intAndRoot(peer::ReadFileBytes(Pki("rsa/int.pem")));
    {
        Bytes both = peer::ReadFileBytes(Pki("rsa/int.pem"));
        const Bytes root = peer::ReadFileBytes(Pki("rsa/root.pem"));
        both.insert(both.end(), root.begin(), root.end());
        ASSERT_TRUE(peer::WriteFileBytes(intAndRoot.Path(), both));
    }
    const std::string expired = "-signer " + Pki("rsa/ee_expired.pem") + " -inkey " + Pki("rsa/ee_expired.key");
    Bytes otherMsg = msg;
    otherMsg[1999] ^= 0x01;
    const Bytes plain = SmimeSign("-noattr -md sha256", file.Path());
    const Bytes attached = SmimeSign("-noattr -md sha256 -nodetach", file.Path());
    Bytes badSignature = plain;  // the signature is the last field
    badSignature.back() ^= 0x01;
    Bytes badContent = attached;
    const auto at = std::search(badContent.begin(), badContent.end(), msg.begin(), msg.begin() + 32);
    ASSERT_NE(badContent.end(), at);
    at[7] ^= 0x01;
    // SHA-256 named by an identifier no digest has (2.16.840.1.101.3.4.2.127), everywhere.
    Bytes unknownDigest = plain;
    const Bytes sha256Oid = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    for (auto it = unknownDigest.begin();
         (it = std::search(it, unknownDigest.end(), sha256Oid.begin(), sha256Oid.end())) != unknownDigest.end();)
        it[8] = 0x7f;
    struct Row {
        const char* pszName;
        Bytes der;
        Bytes data;
        Verdicts expected;
    } rows[] = {
        {"signed attributes", SmimeSign("-md sha256", file.Path()), msg,
         {VOMU_OK, VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE}},
        {"signed attributes, attached", SmimeSign("-md sha256 -nodetach", file.Path()), msg,
         {VOMU_OK, VOMU_OK, VOMU_E_PKCS7_FORMAT}},
        {"signer among several certificates", SmimeSign("-noattr -md sha256 -certfile " + intAndRoot.Path(), file.Path()),
         msg, {VOMU_OK, VOMU_E_BAD_SIGNATURE, VOMU_OK}},
        {"no certificates", SmimeSign("-noattr -md sha256 -nocerts", file.Path()), msg,
         {VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE, VOMU_E_PKCS7_FORMAT}},
        {"one other certificate", SmimeSign("-noattr -md sha256 -nocerts -certfile " + Pki("rsa/ee_enc.pem"), file.Path()),
         msg, {VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE}},
        {"several other certificates", SmimeSign("-noattr -md sha256 -nocerts -certfile " + intAndRoot.Path(), file.Path()),
         msg, {VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE, VOMU_E_FAIL}},
        {"expired signer", SmimeSign("-noattr -md sha1", file.Path(), expired), msg,
         {VOMU_OK, VOMU_E_BAD_SIGNATURE, VOMU_OK}},
        {"attached, its own content as data", attached, msg, {VOMU_OK, VOMU_OK, VOMU_E_PKCS7_FORMAT}},
        {"attached, other data", attached, otherMsg, {VOMU_E_BAD_SIGNATURE, VOMU_OK, VOMU_E_PKCS7_FORMAT}},
        {"detached, other data", plain, otherMsg, {VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE}},
        {"one signature byte changed", badSignature, msg,
         {VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE}},
        {"one content byte changed", badContent, msg, {VOMU_OK, VOMU_E_BAD_SIGNATURE, VOMU_E_PKCS7_FORMAT}},
        // The detached verifier once leaked its copy of the data here (ASan build).
        {"unknown digest algorithm", unknownDigest, msg,
         {VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE, VOMU_E_PKCS7_FORMAT}},
        {"not a SignedData", Bytes{0x30, 0x03, 0x02, 0x01, 0x00}, msg,
         {VOMU_E_FAIL, VOMU_E_FAIL, VOMU_E_PKCS7_FORMAT}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ASSERT_FALSE(row.der.empty());
        const Verdicts v = VerifyAll(row.der, row.data);
        EXPECT_EQ(row.expected.nDetached, v.nDetached);
        EXPECT_EQ(row.expected.nAttached, v.nAttached);
        EXPECT_EQ(row.expected.nFile, v.nFile);
    }
}

TEST_F(RsaPkcs7, HashesAndSignersTheRoadsRefuse)
{
    const Bytes msg = rsatest::Message(100);
    peer::TempFile file(msg);
    rsatest::CliPkcs12 noDigitalSignature(Pki("rsa/ee_enc.key"), Pki("rsa/ee_enc.pem"));
    ASSERT_TRUE(noDigitalSignature.Ok());
    for (bool bAttached : {true, false}) {
        EXPECT_EQ(VOMU_E_FAIL, SignData(msg, NID_md5, bAttached).nResult);
        EXPECT_EQ(VOMU_E_FAIL, SignData(msg, NID_ChinaSM3, bAttached).nResult);
        EXPECT_EQ(VOMU_E_KEY_USAGE, SignData(msg, NID_sha256, bAttached, noDigitalSignature.Path()).nResult);
        EXPECT_EQ(VOMU_E_FAIL, SignData(msg, NID_sha256, bAttached, Pki("p12/key_only.p12")).nResult);
        EXPECT_EQ(VOMU_E_FAIL, SignData(msg, NID_sha256, bAttached, Pki("p12/cert_only.p12")).nResult);
    }
    EXPECT_EQ(VOMU_E_BAD_HASH_ALG, SignFile(file.Path(), NID_ChinaSM3, false).nResult);
    EXPECT_EQ(VOMU_E_KEY_USAGE, SignFile(file.Path(), NID_sha256, false, noDigitalSignature.Path()).nResult);
    EXPECT_EQ(VOMU_E_FAIL, SignFile(file.Path(), NID_sha256, false, Pki("p12/cert_only.p12")).nResult);
    // The file road's table has MD5; the CLI makes and checks the same bytes.
    const Output md5 = SignFile(file.Path(), NID_md5, false);
    ASSERT_EQ(VOMU_OK, md5.nResult);
    EXPECT_EQ(peer::Hex(SmimeSign("-noattr -md md5", file.Path())), peer::Hex(md5.der));
    EXPECT_EQ(VOMU_OK, VerifyAll(md5.der, msg).nFile);

    OpenFile in(file.Path());
    OpenFile pfx(Pki("p12/modern.p12"));
    unsigned char* pbyDER = nullptr;
    int nSize = 0;
    EXPECT_EQ(VOMU_E_INVALID_ARG, RSA_SignFile_PKCS7Detached_ByPFX(nullptr, pfx.Get(), kP12Password, NID_sha256,
                                                                   false, &pbyDER, &nSize));
    EXPECT_EQ(VOMU_E_INVALID_ARG, RSA_SignFile_PKCS7Detached_ByPFX(in.Get(), nullptr, kP12Password, NID_sha256,
                                                                   false, &pbyDER, &nSize));
    EXPECT_EQ(nullptr, pbyDER);
}

TEST_F(RsaPkcs7, ExactIdentifierNamesSha256WithRsaAndVerifiesAlike)
{
    const Bytes msg = rsatest::Message(500);
    peer::TempFile file(msg);
    const Output exact = SignFile(file.Path(), NID_sha256, true);
    ASSERT_EQ(VOMU_OK, exact.nResult);
    const Bytes sha256WithRsa = peer::FromHex("06092A864886F70D01010B");  // 1.2.840.113549.1.1.11
    EXPECT_NE(exact.der.end(), std::search(exact.der.begin(), exact.der.end(), sha256WithRsa.begin(),
                                           sha256WithRsa.end()));
    EXPECT_TRUE(CmsVerifies(exact.der, file.Path()));
    EXPECT_EQ(VOMU_OK, VerifyAll(exact.der, msg).nFile);
}

// The Base64 roads: 3 bytes attached come back with the signer's certificate; every output is
// optional.
TEST_F(RsaPkcs7, Base64RoadsHandBackWhatIsAsked)
{
    const Bytes msg = {'a', 'b', 'c'};
    const Bytes signerCert = peer::ReadFileBytes(Pki("rsa/ee_sign.der"));
    OpenFile pfx(Pki("p12/modern.p12"));
    char* pszText = nullptr;
    int nTextLen = 0;
    ASSERT_EQ(VOMU_OK, RSA_SignData_PKCS7(msg.data(), 3, pfx.Get(), kP12Password, NID_sha256, true,
                                          ATL_BASE64_FLAG_NONE, &pszText, &nTextLen));
    EXPECT_EQ((int)strlen(pszText), nTextLen);
    unsigned char* pbyContent = nullptr;
    unsigned char* pbyCert = nullptr;
    int nContentSize = -1, nCertSize = -1;
    ASSERT_EQ(VOMU_OK, RSA_VerifyDataSignature_PKCS7Attached(pszText, &pbyContent, &nContentSize, &pbyCert,
                                                             &nCertSize));
    EXPECT_EQ(peer::Hex(msg), peer::Hex(pbyContent, (size_t)nContentSize));
    EXPECT_EQ(peer::Hex(signerCert), peer::Hex(pbyCert, (size_t)nCertSize));
    delete[] pbyContent;
    delete[] pbyCert;
    nCertSize = -1;
    EXPECT_EQ(VOMU_OK, RSA_VerifyDataSignature_PKCS7Attached(pszText, nullptr, nullptr, nullptr, &nCertSize));
    EXPECT_EQ(0, nCertSize);
    EXPECT_EQ(VOMU_OK, RSA_VerifyDataSignature_PKCS7Detached(pszText, msg.data(), 3, nullptr, nullptr));
    delete[] pszText;

    peer::TempFile file(msg);
    OpenFile in(file.Path());
    ASSERT_EQ(0, fseek(pfx.Get(), 0, SEEK_SET));
    ASSERT_EQ(VOMU_OK, RSA_SignFile_PKCS7Detached(in.Get(), pfx.Get(), kP12Password, NID_sha1, false,
                                                  ATL_BASE64_FLAG_NOCRLF, &pszText));
    pbyCert = nullptr;
    ASSERT_EQ(VOMU_OK, RSA_VerifyFileSignature_PKCS7Detached(pszText, in.Get(), &pbyCert, &nCertSize));
    EXPECT_EQ(peer::Hex(signerCert), peer::Hex(pbyCert, (size_t)nCertSize));
    delete[] pbyCert;
    EXPECT_EQ(VOMU_OK, RSA_VerifyDataSignature_PKCS7Detached(pszText, msg.data(), 3, nullptr, nullptr));
    delete[] pszText;
}

}  // namespace
