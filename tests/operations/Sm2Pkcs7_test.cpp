// SM2 PKCS#7 SignedData of data against independent peers: `openssl asn1parse` for the
// layout, `openssl dgst -sm3 -verify -sigopt distid:...` for the SM2Q1 inside over
// SM3(Z || content), and SignedData written by hand around signatures made by OpenSSL's SM2 in
// the default library context (Sm2Pkcs7Peer.h).
#include <gtest/gtest.h>

#include <string>

#include "DataSigning.h"
#include "LogCapture.h"
#include "Sm2Pkcs7Peer.h"
#include "vomu_result.h"

using namespace p7peer;

namespace {
class Sm2Pkcs7Test : public KernelTest {};
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
