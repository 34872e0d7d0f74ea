// SM2 PKCS#7 SignedData of files against independent peers: `openssl asn1parse` for the
// layout, `openssl dgst -sm3 -verify -sigopt distid:...` for the signature inside, `dd` for
// content located in a file; refusals of the signing roads and the log of all of them.
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

// Refusals of the signing roads with their codes; outputs stay untouched.
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
