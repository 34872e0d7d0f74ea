// Signatures over signed attributes: attribute sets written by hand (DerTestUtil.h) with the
// messageDigest by `openssl dgst`, signed by OpenSSL (SM2 in the default library context with
// the standard ID, RSA by `openssl dgst -sign`), and a SignedData of `openssl cms -sign`.
#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <string>

#include "LogCapture.h"
#include "DataSigning.h"
#include "DerTestUtil.h"
#include "PKCS7SignedDataOperations.h"
#include "SMKernel.h"
#include "SigningPeer.h"
#include "vomu_result.h"

using peer::Bytes;
using peer::TempFile;
using namespace signpeer;
using dertest::Cat;
using dertest::OidTlv;
using dertest::Tlv;

namespace {

const char kSHA256OID[] = "2.16.840.1.101.3.4.2.1";
const char kRSAOID[] = "1.2.840.113549.1.1.1";

class Sm2SignedAttributesTest : public KernelTest {};

// [0] { contentType data, messageDigest } as a SignerInfo carries it (tag A0), or as the
// SET OF that is signed (tag 31).
Bytes Attributes(const Bytes& digest, unsigned char byTag, bool bWithMessageDigest = true)
{
    const Bytes contentType = Tlv(0x30, Cat({OidTlv("1.2.840.113549.1.9.3"), Tlv(0x31, OidTlv("1.2.840.113549.1.7.1"))}));
    const Bytes messageDigest = Tlv(0x30, Cat({OidTlv("1.2.840.113549.1.9.4"), Tlv(0x31, Tlv(0x04, digest))}));
    return Tlv(byTag, Cat({contentType, bWithMessageDigest ? messageDigest : Bytes()}));
}

Bytes CliDigest(const char* pszAlg, const Bytes& content)
{
    TempFile file(content);
    return peer::FromHex(Cli(std::string("openssl dgst -") + pszAlg + " -r " + Quote(file.Path()) + " | cut -d' ' -f1"));
}

int Verify(const Bytes& cert, const Bytes& sig, const Bytes& content, const char* pszDigestOID,
           const char* pszEncOID, const Bytes& attrs)
{
    return VerifySignature_PKCS7WithSignedAttributes(cert.data(), (int)cert.size(), sig.data(), (int)sig.size(),
                                                     content.data(), (int)content.size(), pszDigestOID, 0,
                                                     pszEncOID, 0, attrs.data(), (int)attrs.size());
}

morv::OsslPtr<EVP_PKEY> PeerKey(const std::string& path)
{
    FILE* fp = fopen(path.c_str(), "r");
    morv::OsslPtr<EVP_PKEY> key(fp ? PEM_read_PrivateKey(fp, NULL, NULL, NULL) : NULL);
    if (fp) fclose(fp);
    return key;
}

}  // namespace

TEST_F(Sm2SignedAttributesTest, SM2SignaturesOverAttributes)
{
    const Bytes content = Message(5000);
    const Bytes cert = peer::ReadFileBytes(PkiPath("sm2/ee_sign.der"));
    const Bytes pem = peer::ReadFileBytes(PkiPath("sm2/ee_sign.pem"));
    const auto key = PeerKey(PkiPath("sm2/ee_sign.key"));
    ASSERT_TRUE(key);
    const Bytes sm3 = CliDigest("sm3", content), sha256 = CliDigest("sha256", content);
    const Bytes attrs = Attributes(sm3, 0xA0), signedSet = Attributes(sm3, 0x31);
    const Bytes sig = peer::SM2Sign(key.get(), signedSet);
    const Bytes sha256Attrs = Attributes(sha256, 0xA0);
    const Bytes sha256Sig = peer::SM2Sign(key.get(), Attributes(sha256, 0x31));
    Bytes changed = content;
    changed[0] ^= 1;
    struct Case {
        const char* pszName;
        const Bytes& cert;
        Bytes sig;
        const Bytes& content;
        const char* pszDigestOID;
        Bytes attrs;
        int nExpected;
    } cases[] = {
        {"SM2Q1", cert, sig, content, kSM3OID, attrs, VOMU_OK},
        {"raw r || s, PEM certificate", pem, DerToRs(sig), content, kSM3OID, attrs, VOMU_OK},
        // The digest algorithm serves the messageDigest alone; SM2 always hashes with SM3 and Z.
        {"SHA-256 messageDigest", cert, sha256Sig, content, kSHA256OID, sha256Attrs, VOMU_OK},
        {"changed content", cert, sig, changed, kSM3OID, attrs, VOMU_E_BAD_MESSAGE_DIGEST},
        {"digest of another algorithm", cert, sig, content, kSHA256OID, attrs, VOMU_E_BAD_MESSAGE_DIGEST},
        {"signed as [0], not as SET", cert, peer::SM2Sign(key.get(), attrs), content, kSM3OID, attrs, VOMU_E_FAIL},
        {"first octet not A0", cert, sig, content, kSM3OID, signedSet, VOMU_E_PKCS7_FORMAT},
        {"no messageDigest", cert, sig, content, kSM3OID, Attributes(sm3, 0xA0, false), VOMU_E_BAD_ASN1_DATA},
        {"unknown digest", cert, sig, content, "1.2.3.4", attrs, VOMU_E_BAD_HASH_ALG},
        {"65-byte signature", cert, Bytes(65, 0x30), content, kSM3OID, attrs, VOMU_E_BAD_SIGNATURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        morv_test::LogCapture log;
        ASSERT_TRUE(log.Ok());
        EXPECT_EQ(c.nExpected, Verify(c.cert, c.sig, c.content, c.pszDigestOID, kSM2SignOID, c.attrs));
        // The comparison is a refusal only: a Failed line with reason "true", never an OK line.
        const std::string text = log.Contents();
        EXPECT_EQ(std::string::npos, text.find("Compare signed attributes message digest)\t\t--OK")) << text;
        EXPECT_EQ(VOMU_E_BAD_MESSAGE_DIGEST == c.nExpected,
                  std::string::npos != text.find("(VerifySignature_PKCS7WithSignedAttributes -- Compare "
                                                 "signed attributes message digest)\t\t--Failed:(0x80090002) "
                                                 "[Reason:true]"))
            << text;
    }
}

// RSA signers: `openssl dgst -sha256 -sign` over the SET, and the signed attributes and
// signature of a SignedData made by `openssl cms -sign`.
TEST_F(Sm2SignedAttributesTest, RSASignaturesOverAttributes)
{
    const Bytes content = Message(300);
    const Bytes cert = peer::ReadFileBytes(PkiPath("rsa/ee_sign.der"));
    const Bytes sha256 = CliDigest("sha256", content);
    TempFile setFile(Attributes(sha256, 0x31)), sigFile;
    Cli("openssl dgst -sha256 -sign " + Quote(PkiPath("rsa/ee_sign.key")) + " -out " + Quote(sigFile.Path()) + " " +
        Quote(setFile.Path()));
    Bytes sig = sigFile.Read();
    EXPECT_EQ(VOMU_OK, Verify(cert, sig, content, kSHA256OID, kRSAOID, Attributes(sha256, 0xA0)));
    sig[10] ^= 1;
    EXPECT_EQ(VOMU_E_BAD_SIGNATURE, Verify(cert, sig, content, kSHA256OID, kRSAOID, Attributes(sha256, 0xA0)));

    TempFile msgFile(content), cmsFile;
    Cli("openssl cms -sign -binary -md sha256 -outform DER -signer " + Quote(PkiPath("rsa/ee_sign.pem")) + " -inkey " +
        Quote(PkiPath("rsa/ee_sign.key")) + " -in " + Quote(msgFile.Path()) + " -out " + Quote(cmsFile.Path()));
    Bytes cms = cmsFile.Read();
    unsigned char *pbyCert = NULL, *pbySig = NULL, *pbyAttrs = NULL;
    char *pszDigest = NULL, *pszEnc = NULL;
    int nCert = 0, nSig = 0, nAttrs = 0, nDigest = 0, nEnc = 0;
    ASSERT_EQ(VOMU_OK, ParsePKCS7Signature(cms.data(), (int)cms.size(), &pbyCert, &nCert, &pbySig, &nSig, NULL, NULL,
                                           &pszDigest, &nDigest, &pszEnc, &nEnc, &pbyAttrs, &nAttrs, NULL, NULL));
    const Bytes cmsCert = support::Take(pbyCert, nCert), cmsSig = support::Take(pbySig, nSig);
    const Bytes cmsAttrs = support::Take(pbyAttrs, nAttrs);
    const std::string digestOid(pszDigest), encOid(pszEnc);
    delete[] pszDigest;
    delete[] pszEnc;
    EXPECT_EQ(VOMU_OK, Verify(cmsCert, cmsSig, content, digestOid.c_str(), encOid.c_str(), cmsAttrs));
    Bytes changed = content;
    changed.back() ^= 1;
    EXPECT_EQ(VOMU_E_BAD_MESSAGE_DIGEST, Verify(cmsCert, cmsSig, changed, digestOid.c_str(), encOid.c_str(), cmsAttrs));
}
