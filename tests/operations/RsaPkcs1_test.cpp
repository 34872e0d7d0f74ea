// RSA PKCS#1 v1.5 signatures of data and files. PKCS#1 v1.5 is deterministic, so the peer's
// `openssl dgst -<hash> -sign rsa/ee_sign.key` output is the expected signature byte for byte;
// signatures made by the CLI must verify in ours.
#include <gtest/gtest.h>

#include <openssl/objects.h>
#include <openssl/pem.h>

#include <string>

#include "Base64Utility.h"
#include "OsslPtr.h"
#include "RSADataSigning.h"
#include "RsaTestUtil.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "vomu_result.h"

using morv::OsslPtr;
using peer::Bytes;
using rsatest::kP12Password;
using rsatest::OpenFile;
using rsatest::Pki;

namespace {

class RsaPkcs1 : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
};

std::string Base64(const Bytes& bytes)
{
    char* psz = nullptr;
    int nLen = 0;
    if (VOMU_OK != Base64EncodeEx(bytes.data(), (int)bytes.size(), &psz, &nLen, ATL_BASE64_FLAG_NOCRLF))
        return "";
    std::string text(psz);
    delete[] psz;
    return text;
}

Bytes FromBase64(const char* psz)
{
    unsigned char* pby = nullptr;
    int nLen = 0;
    if (VOMU_OK != Base64DecodeEx(psz, (int)strlen(psz), &pby, &nLen)) return Bytes();
    Bytes out(pby, pby + nLen);
    delete[] pby;
    return out;
}

// OpenSSL's RSA signature refuses SM3; for it the CLI signs the DigestInfo that RSA_sign
// builds (DER: SEQUENCE { SEQUENCE { OID 1.2.156.10197.1.401, NULL }, OCTET STRING digest }).
Bytes CliSign(const std::string& hash, const std::string& key, const std::string& path)
{
    if ("sm3" == hash)
        return rsatest::CliOutput("{ printf '\\060\\060\\060\\014\\006\\010\\052\\201\\034"
                                  "\\317\\125\\001\\203\\021\\005\\000\\004\\040'; openssl dgst -sm3 -binary " + path +
                                  "; } | openssl pkeyutl -sign -inkey " + key +
                                  " -pkeyopt rsa_padding_mode:pkcs1");
    return rsatest::CliOutput("openssl dgst -" + hash + " -sign " + key, path);
}

struct Signed {
    int nResult = -1;
    Bytes signature;
};

Signed SignData(const Bytes& msg, const std::string& pfx, const char* pszPassword, int nNid)
{
    OpenFile in(pfx);
    Signed out;
    unsigned char* pbySignature = nullptr;
    int nSize = 0;
    out.nResult = RSA_SignData_PKCS1_ByPFX(msg.data(), (int)msg.size(), in.Get(), pszPassword,
                                           nNid, &pbySignature, &nSize);
    if (VOMU_OK == out.nResult) out.signature.assign(pbySignature, pbySignature + nSize);
    delete[] pbySignature;
    return out;
}

Signed SignFile(const std::string& path, const std::string& pfx, const char* pszPassword, int nNid)
{
    OpenFile in(path);
    OpenFile p12(pfx);
    Signed out;
    unsigned char* pbySignature = nullptr;
    unsigned int nSize = 0;
    out.nResult = RSA_SignFile_PKCS1_ByPFX(in.Get(), p12.Get(), pszPassword, nNid,
                                           &pbySignature, &nSize);
    if (VOMU_OK == out.nResult) out.signature.assign(pbySignature, pbySignature + nSize);
    delete[] pbySignature;
    return out;
}

int VerifyData(const Bytes& msg, const std::string& certDer, int nNid, const Bytes& signature)
{
    const std::string cert = Base64(peer::ReadFileBytes(certDer));
    return RSA_VerifyDataSignature_PKCS1(msg.data(), (int)msg.size(), cert.c_str(), nNid,
                                         Base64(signature).c_str());
}

int VerifyFile(const std::string& path, const std::string& certDer, int nNid, const Bytes& signature)
{
    OpenFile in(path);
    const std::string cert = Base64(peer::ReadFileBytes(certDer));
    return RSA_VerifyFileSignature_PKCS1(in.Get(), cert.c_str(), nNid, Base64(signature).c_str());
}

struct HashName {
    int nNid;
    const char* pszCli;
};
const HashName kHashes[] = {{NID_md5, "md5"},       {NID_sha1, "sha1"},     {NID_sha256, "sha256"},
                            {NID_sha384, "sha384"}, {NID_sha512, "sha512"}, {NID_ChinaSM3, "sm3"}};

// Every hash of the table, data and file roads, sizes around the file road's piece.
TEST_F(RsaPkcs1, SignaturesEqualOpensslDgstSignAndVerifyBothWays)
{
    const std::string key = Pki("rsa/ee_sign.key"), cert = Pki("rsa/ee_sign.der");
    for (size_t nSize : {0, 1, 16384, 100000}) {
        const Bytes msg = rsatest::Message(nSize, 7);
        peer::TempFile file(msg);
        for (const HashName& hash : kHashes) {
            SCOPED_TRACE(std::string(hash.pszCli) + " over " + std::to_string(nSize));
            const Bytes expected = CliSign(hash.pszCli, key, file.Path());
            ASSERT_EQ(256u, expected.size());
            const Signed data = SignData(msg, Pki("p12/modern.p12"), kP12Password, hash.nNid);
            ASSERT_EQ(VOMU_OK, data.nResult);
            EXPECT_EQ(peer::Hex(expected), peer::Hex(data.signature));
            const Signed onFile = SignFile(file.Path(), Pki("p12/modern.p12"), kP12Password, hash.nNid);
            ASSERT_EQ(VOMU_OK, onFile.nResult);
            EXPECT_EQ(peer::Hex(expected), peer::Hex(onFile.signature));
            EXPECT_EQ(VOMU_OK, VerifyData(msg, cert, hash.nNid, expected));
            EXPECT_EQ(VOMU_OK, VerifyFile(file.Path(), cert, hash.nNid, expected));
        }
    }
}

// The Base64 roads give the same signature as text, and the legacy PKCS#12 signs alike.
TEST_F(RsaPkcs1, Base64RoadsAndLegacyPkcs12)
{
    const Bytes msg = rsatest::Message(300, 3);
    peer::TempFile file(msg);
    const Bytes expected = CliSign("sha1", Pki("rsa/ee_sign.key"), file.Path());
    OpenFile pfx(Pki("p12/legacy.p12"));
    char* pszText = nullptr;
    int nTextLen = 0;
    ASSERT_EQ(VOMU_OK, RSA_SignData_PKCS1(msg.data(), (int)msg.size(), pfx.Get(), kP12Password,
                                          NID_sha1, ATL_BASE64_FLAG_NONE, &pszText, &nTextLen));
    EXPECT_EQ((int)strlen(pszText), nTextLen);
    EXPECT_EQ(peer::Hex(expected), peer::Hex(FromBase64(pszText)));
    delete[] pszText;
    OpenFile in(file.Path());
    OpenFile pfx2(Pki("p12/modern.p12"));
    ASSERT_EQ(VOMU_OK, RSA_SignFile_PKCS1(in.Get(), pfx2.Get(), kP12Password, NID_sha1,
                                          ATL_BASE64_FLAG_NOCRLF, &pszText));
    EXPECT_EQ(peer::Hex(expected), peer::Hex(FromBase64(pszText)));
    delete[] pszText;
}

TEST_F(RsaPkcs1, SigningRefusals)
{
    rsatest::CliPkcs12 noDigitalSignature(Pki("rsa/ee_enc.key"), Pki("rsa/ee_enc.pem"));
    rsatest::CliPkcs12 ecKey(Pki("ec/ee_p256.key"), Pki("ec/ee_p256.pem"));
    ASSERT_TRUE(noDigitalSignature.Ok());
    ASSERT_TRUE(ecKey.Ok());
    struct Row {
        const char* pszName;
        std::string pfx;
        const char* pszPassword;
        int nNid;
        int nExpected;
    } rows[] = {
        {"certificate without digitalSignature", noDigitalSignature.Path(), kP12Password, NID_sha256, VOMU_E_KEY_USAGE},
        {"wrong password", Pki("p12/modern.p12"), "Fixture-P12-2021", NID_sha256, VOMU_E_FAIL},
        {"EC key", ecKey.Path(), kP12Password, NID_sha256, VOMU_E_FAIL},
        {"no certificate", Pki("p12/key_only.p12"), kP12Password, NID_sha256, VOMU_E_FAIL},
        {"no key", Pki("p12/cert_only.p12"), kP12Password, NID_sha256, VOMU_E_FAIL},
        {"hash number outside the table", Pki("p12/modern.p12"), kP12Password, 5, VOMU_E_BAD_HASH_ALG},
        {"SM3's old number", Pki("p12/modern.p12"), kP12Password, 895, VOMU_E_BAD_HASH_ALG},
    };
    const Bytes msg = rsatest::Message(64);
    peer::TempFile file(msg);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        EXPECT_EQ(row.nExpected, SignData(msg, row.pfx, row.pszPassword, row.nNid).nResult);
        EXPECT_EQ(row.nExpected, SignFile(file.Path(), row.pfx, row.pszPassword, row.nNid).nResult);
    }
}

TEST_F(RsaPkcs1, VerificationRefusals)
{
    const Bytes msg = rsatest::Message(1000, 9);
    peer::TempFile file(msg);
    const Bytes good = CliSign("sha256", Pki("rsa/ee_sign.key"), file.Path());
    ASSERT_EQ(256u, good.size());
    Bytes changedMsg = msg;
    changedMsg[500] ^= 0x01;
    peer::TempFile changedFile(changedMsg);
    Bytes changedSig = good;
    changedSig[100] ^= 0x80;
    const std::string signer = Pki("rsa/ee_sign.der");
    struct Row {
        const char* pszName;
        Bytes data;
        std::string path;
        std::string cert;
        int nNid;
        Bytes signature;
        int nData, nFile;
    } rows[] = {
        {"another hash number of the table", msg, file.Path(), signer, NID_sha1, good, VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE},
        {"hash number outside the table", msg, file.Path(), signer, 5, good, VOMU_E_FAIL, VOMU_E_BAD_HASH_ALG},
        {"one data byte changed", changedMsg, changedFile.Path(), signer, NID_sha256, good, VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE},
        {"one signature byte changed", msg, file.Path(), signer, NID_sha256, changedSig, VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE},
        {"a short signature", msg, file.Path(), signer, NID_sha256, Bytes(good.begin(), good.end() - 1), VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE},
        {"another signer's certificate", msg, file.Path(), Pki("rsa/ee_enc.der"), NID_sha256, good, VOMU_E_BAD_SIGNATURE, VOMU_E_BAD_SIGNATURE},
        {"certificate as PEM text", msg, file.Path(), Pki("rsa/ee_sign.pem"), NID_sha256, good, VOMU_E_FAIL, VOMU_E_FAIL},
        {"an SM2 certificate", msg, file.Path(), Pki("sm2/ee_sign.der"), NID_sha256, good, VOMU_E_FAIL, VOMU_E_FAIL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        EXPECT_EQ(row.nData, VerifyData(row.data, row.cert, row.nNid, row.signature));
        EXPECT_EQ(row.nFile, VerifyFile(row.path, row.cert, row.nNid, row.signature));
    }
}

// No signature, or one of no bytes, is a signature that does not verify, on every byte-level
// verifier and through Base64 text with no alphabet character (0 bytes).
TEST_F(RsaPkcs1, MissingOrEmptySignatureDoesNotVerify)
{
    const Bytes msg = rsatest::Message(100, 4);
    peer::TempFile file(msg);
    const Bytes der = peer::ReadFileBytes(Pki("rsa/ee_sign.der"));
    const unsigned char* p = der.data();
    OsslPtr<X509> pCert(smk::D2iX509(&p, (long)der.size()));
    ASSERT_TRUE(pCert);
    const Bytes good = CliSign("sha256", Pki("rsa/ee_sign.key"), file.Path());
    const struct {
        const char* pszName;
        const unsigned char* pbySignature;
        int nSize;
    } rows[] = {
        {"null", nullptr, 0},
        {"null with a length", nullptr, 256},
        {"no bytes", good.data(), 0},
        {"negative length", good.data(), -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszName);
        EXPECT_EQ(VOMU_E_BAD_SIGNATURE,
                  RSA_VerifyDataSignature_PKCS1_ByX509(msg.data(), (int)msg.size(), pCert.get(),
                                                       NID_sha256, row.pbySignature, row.nSize));
        EXPECT_EQ(VOMU_E_BAD_SIGNATURE,
                  RSA_VerifyDataSignature_DERPKCS1_ByDERCert(msg.data(), (int)msg.size(), der.data(),
                                                             (int)der.size(), NID_sha256,
                                                             row.pbySignature, row.nSize));
        OpenFile in(file.Path());
        EXPECT_EQ(VOMU_E_BAD_SIGNATURE,
                  RSA_VerifyFileSignature_PKCS1_ByX509(in.Get(), pCert.get(), NID_sha256,
                                                       row.pbySignature, row.nSize));
        rewind(in.Get());
        EXPECT_EQ(VOMU_E_BAD_SIGNATURE,
                  RSA_VerifyFileSignature_PKCS1_ByDERCertContent(in.Get(), der.data(), (int)der.size(),
                                                                 NID_sha256, row.pbySignature,
                                                                 row.nSize));
    }
    const std::string cert = Base64(der);
    EXPECT_EQ(VOMU_E_BAD_SIGNATURE,
              RSA_VerifyDataSignature_PKCS1(msg.data(), (int)msg.size(), cert.c_str(), NID_sha256, "="));
    // The certificate is still required.
    EXPECT_EQ(VOMU_E_INVALID_ARG, RSA_VerifyDataSignature_PKCS1_ByX509(msg.data(), (int)msg.size(),
                                                                       nullptr, NID_sha256,
                                                                       good.data(), (int)good.size()));
}

// Verification checks the signature alone: an expired signer still verifies.
TEST_F(RsaPkcs1, ExpiredSignerStillVerifies)
{
    const Bytes msg = rsatest::Message(20);
    peer::TempFile file(msg);
    const Bytes sig = CliSign("sha256", Pki("rsa/ee_expired.key"), file.Path());
    EXPECT_EQ(VOMU_OK, VerifyData(msg, Pki("rsa/ee_expired.der"), NID_sha256, sig));
    const Bytes der = peer::ReadFileBytes(Pki("rsa/ee_expired.der"));
    EXPECT_EQ(VOMU_OK, RSA_VerifyDataSignature_DERPKCS1_ByDERCert(msg.data(), (int)msg.size(), der.data(),
                                                                  (int)der.size(), NID_sha256, sig.data(),
                                                                  (int)sig.size()));
}

}  // namespace

namespace {

// Keys handed in directly, whichever library context made them; only RSA keys sign.
TEST_F(RsaPkcs1, PrivateKeyRoadsTakeKeysOfEitherContext)
{
    const Bytes msg = rsatest::Message(4000, 4);
    peer::TempFile file(msg);
    const std::string expected = peer::Hex(CliSign("sha256", Pki("rsa/ee_sign.key"), file.Path()));
    for (OSSL_LIB_CTX* pLibCtx : {(OSSL_LIB_CTX*)nullptr, smk::LibCtx()}) {
        OsslPtr<EVP_PKEY> pKey = peer::ReadPemKey(Pki("rsa/ee_sign.key"), pLibCtx);
        ASSERT_TRUE(pKey);
        unsigned char* pbySignature = nullptr;
        int nSize = 0;
        ASSERT_EQ(VOMU_OK, RSA_SignData_PKCS1_ByPrivateKey(msg.data(), (int)msg.size(), pKey.get(), NID_sha256,
                                                           &pbySignature, &nSize));
        EXPECT_EQ(expected, peer::Hex(pbySignature, (size_t)nSize));
        delete[] pbySignature;
        OpenFile in(file.Path());
        unsigned int nFileSize = 0;
        ASSERT_EQ(VOMU_OK, RSA_SignFile_PKCS1_ByPrivateKey(in.Get(), pKey.get(), NID_sha256, &pbySignature,
                                                           &nFileSize));
        EXPECT_EQ(expected, peer::Hex(pbySignature, nFileSize));
        delete[] pbySignature;
    }
    OsslPtr<EVP_PKEY> pEcKey = peer::ReadPemKey(Pki("ec/ee_p256.key"), smk::LibCtx());
    ASSERT_TRUE(pEcKey);
    unsigned char* pbySignature = nullptr;
    int nSize = 0;
    EXPECT_EQ(VOMU_E_FAIL, RSA_SignData_PKCS1_ByPrivateKey(msg.data(), (int)msg.size(), pEcKey.get(), NID_sha256,
                                                           &pbySignature, &nSize));
    EXPECT_EQ(VOMU_E_FAIL, RSA_SignData_PKCS1_ByPrivateKey(msg.data(), (int)msg.size(), nullptr, NID_sha256,
                                                           &pbySignature, &nSize));
    EXPECT_EQ(nullptr, pbySignature);
}

}  // namespace
