// SM2 CMS envelopes against independent peers: `openssl asn1parse` for the envelopes' layout
// and parts, `openssl pkeyutl` or sm-crypto for the content key, `openssl enc -sm4-cbc` for the
// content, and envelopes written by hand around parts the CLI made (Sm2EnvelopePeer.h).
#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <cstring>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "CMSEnvelopeOperations.h"
#include "LogCapture.h"
#include "SM2.h"
#include "Sm2EnvelopePeer.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"

using namespace envpeer;

namespace {
class Sm2EnvelopeTest : public KernelTest {};
}  // namespace

// ---- envelopes in memory ----

// Our envelopes opened part by part without our code: asn1parse finds the parts, the content
// key comes back with `openssl pkeyutl` (SM2Cipher form) or sm-crypto (raw form), and
// `openssl enc -d -sm4-cbc` gives the payload.
TEST_F(Sm2EnvelopeTest, OurEnvelopesOpenPartByPartOutside)
{
    const Recipient r;
    std::vector<std::pair<Bytes, EnvelopeParts>> rawForms;
    std::string request = "K " + peer::Hex(r.d) + " 04" + peer::Hex(r.x) + peer::Hex(r.y) + "\n";
    for (size_t n : {0u, 1u, 16u, 100000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes msg = Payload(n);
        const EnvelopeParts cipher = CliEnvelopeParts(EncryptToEnvelope(msg, r.cert, SM2_ENC_ENCODED_SM2CIPHER));
        EXPECT_EQ(kSM2EncryptionOID, cipher.keyAlg);
        EXPECT_EQ(kSM4CbcOID, cipher.contentAlg);
        EXPECT_EQ((long)((n & ~15u) + 16), cipher.nDeclaredContent);
        EXPECT_EQ(16u, cipher.iv.size());
        const Bytes key = CliSm2Decrypt(cipher.encryptedKey, r.name);
        ASSERT_EQ(16u, key.size());
        EXPECT_EQ(msg, CliSm4Decrypt(cipher.content, key, cipher.iv));
        // Two envelopes of the same payload never share key, IV or ciphertext.
        const EnvelopeParts raw = CliEnvelopeParts(EncryptToEnvelope(msg, r.cert, SM2_ENC_ENCODED_RAW));
        EXPECT_EQ(112u, raw.encryptedKey.size());
        EXPECT_NE(cipher.iv, raw.iv);
        rawForms.push_back({msg, raw});
        request += "P 0 " + peer::Hex(raw.encryptedKey) + "\n";
    }
    const std::vector<std::string> answer = SmCrypto(request);
    if (answer.empty()) GTEST_SKIP() << "npm sm-crypto unavailable: the raw form was not opened outside";
    ASSERT_EQ(rawForms.size(), answer.size());
    for (size_t i = 0; i < rawForms.size(); ++i) {
        const Bytes key = peer::FromHex(answer[i].substr(2));
        ASSERT_EQ(16u, key.size());
        EXPECT_EQ(rawForms[i].first, CliSm4Decrypt(rawForms[i].second.content, key, rawForms[i].second.iv));
    }
}

// Envelopes written by hand around a key `openssl pkeyutl` encrypted (SM2Cipher form) and
// content `openssl enc -sm4-cbc` encrypted open with ours, on the memory and file roads.
TEST_F(Sm2EnvelopeTest, EnvelopesMadeOutsideOpenWithOurs)
{
    const Recipient r;
    const Bytes key = peer::FromHex("00112233445566778899AABBCCDDEEFF");
    const Bytes iv = peer::FromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F");
    for (size_t n : {0u, 1u, 16u, 100000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes msg = Payload(n);
        TempFile plainFile(msg), cipherFile;
        Cli("openssl enc -sm4-cbc -K " + peer::Hex(key) + " -iv " + peer::Hex(iv) + " -in " + Quote(plainFile.Path()) +
            " -out " + Quote(cipherFile.Path()));
        const Bytes envelope = HandMadeEnvelope(SubjectKeyId(r.name), CliSm2Encrypt(key, r.name), Tlv(0x04, iv),
                                                cipherFile.Read());
        const Opened opened = OpenEnvelope(envelope, SM2_ENC_ENCODED_SM2CIPHER);
        EXPECT_EQ(VOMU_OK, opened.nResult);
        EXPECT_EQ(msg, opened.plain);
        const Opened fromFile = OpenEnvelopeFile(envelope, SM2_ENC_ENCODED_SM2CIPHER);
        EXPECT_EQ(VOMU_OK, fromFile.nResult);
        EXPECT_EQ(msg, fromFile.plain);
    }
}

// Both encoded forms open with the form they were made with, in memory and as Base64; the
// other form, an unknown one, another party's key and a certificate that cannot take keys
// fail with their own codes.
TEST_F(Sm2EnvelopeTest, MemoryRoadsAndRefusals)
{
    const Recipient r;
    const Bytes msg = Payload(1000);
    for (unsigned long fType : {SM2_ENC_ENCODED_RAW, SM2_ENC_ENCODED_SM2CIPHER}) {
        SCOPED_TRACE(fType);
        const Bytes der = EncryptToEnvelope(msg, r.cert, fType);
        const Opened opened = OpenEnvelope(der, fType);
        EXPECT_EQ(VOMU_OK, opened.nResult);
        EXPECT_EQ(msg, opened.plain);
        const unsigned long fOther = SM2_ENC_ENCODED_RAW == fType ? SM2_ENC_ENCODED_SM2CIPHER : SM2_ENC_ENCODED_RAW;
        EXPECT_NE(VOMU_OK, OpenEnvelope(der, fOther).nResult);
        EXPECT_EQ(VOMU_E_INVALID_ARG, OpenEnvelope(der, 0x30000).nResult);
        // Another party's key file: the memory road tries its key and fails to decrypt.
        EXPECT_EQ(VOMU_E_FAIL, OpenEnvelope(der, fType, KeyFile("sign_enc")).nResult);
        EXPECT_EQ(VOMU_E_SM2PFX_PASSWORD, OpenEnvelope(der, fType, KeyFile("enc"), "Fixture-SM2-2021").nResult);

        char* pszText = NULL;
        int nText = 0;
        ASSERT_EQ(VOMU_OK, EncryptDataToBase64CMSEnvelope(msg.data(), (int)msg.size(), r.cert.data(),
                                                          (int)r.cert.size(), fType, &pszText, &nText,
                                                          ATL_BASE64_FLAG_NONE));
        const std::string text = support::TakeText(pszText, nText);
        OpenStream key(KeyFile("enc"));
        unsigned char* pbyPlain = NULL;
        int nPlain = 0;
        EXPECT_EQ(VOMU_OK, DecryptBase64CMSEnvelopeData(text.c_str(), nText, key.fp, kPassword, fType, &pbyPlain,
                                                        &nPlain));
        EXPECT_EQ(msg, support::Take(pbyPlain, nPlain));
    }
    int nResult = 0;
    EXPECT_TRUE(EncryptToEnvelope(msg, r.cert, 0x30000, &nResult).empty());
    EXPECT_EQ(VOMU_E_INVALID_ARG, nResult);
    // Certificates that cannot take keys: digitalSignature only, and no keyUsage at all.
    for (const char* pszCert : {"sm2/ee_sign.der", "sm2/ee_noku.der"}) {
        EXPECT_TRUE(EncryptToEnvelope(msg, peer::ReadFileBytes(PkiPath(pszCert)), SM2_ENC_ENCODED_RAW, &nResult).empty());
        EXPECT_EQ(VOMU_E_KEY_USAGE, nResult) << pszCert;
    }
    // An IV of 8 bytes is no SM4-CBC envelope.
    const Bytes envelope = HandMadeEnvelope(SubjectKeyId(r.name), CliSm2Encrypt(Payload(16), r.name),
                                            Tlv(0x04, Bytes(8, 1)), Bytes(16, 2));
    EXPECT_EQ(VOMU_E_ENVELOPE_FORMAT, OpenEnvelope(envelope, SM2_ENC_ENCODED_SM2CIPHER).nResult);
    EXPECT_EQ(VOMU_E_ENVELOPE_FORMAT, OpenEnvelope(Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, SM2_ENC_ENCODED_RAW).nResult);
}

// ---- envelopes of files ----

// A file envelope is the complete DER envelope, its content declared as (n & ~15) + 16; it
// opens on the file road and, read whole, on the memory road, and a memory envelope opens on
// the file road.
TEST_F(Sm2EnvelopeTest, FileEnvelopesAreWholeEnvelopes)
{
    const Recipient r;
    for (size_t n : {0u, 1u, 16384u, 100000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes msg = Payload(n);
        TempFile plainFile(msg), envelopeFile;
        {
            OpenStream in(plainFile.Path()), out(envelopeFile.Path(), "wb");
            fseek(in.fp, (long)(n / 2), SEEK_SET);  // the whole file, wherever the stream stood
            ASSERT_EQ(VOMU_OK, EncryptFileToDerCMSEnvelope(in.fp, r.cert.data(), (int)r.cert.size(),
                                                           SM2_ENC_ENCODED_SM2CIPHER, out.fp));
        }
        const Bytes der = envelopeFile.Read();
        const std::vector<Asn1Item> items = Asn1Items(envelopeFile.Path());
        ASSERT_FALSE(items.empty());
        EXPECT_EQ((long)der.size(), items[0].nHeader + items[0].nLength);  // one element, the whole file
        const EnvelopeParts parts = CliEnvelopeParts(der);
        EXPECT_EQ((long)((n & ~15u) + 16), parts.nDeclaredContent);
        EXPECT_EQ(msg, CliSm4Decrypt(parts.content, CliSm2Decrypt(parts.encryptedKey, r.name), parts.iv));
        const Opened fromMemory = OpenEnvelope(der, SM2_ENC_ENCODED_SM2CIPHER);
        EXPECT_EQ(VOMU_OK, fromMemory.nResult);
        EXPECT_EQ(msg, fromMemory.plain);
        const Opened fromFile = OpenEnvelopeFile(der, SM2_ENC_ENCODED_SM2CIPHER);
        EXPECT_EQ(VOMU_OK, fromFile.nResult);
        EXPECT_EQ(msg, fromFile.plain);
        const Opened memoryToFile = OpenEnvelopeFile(EncryptToEnvelope(msg, r.cert, SM2_ENC_ENCODED_RAW),
                                                     SM2_ENC_ENCODED_RAW);
        EXPECT_EQ(VOMU_OK, memoryToFile.nResult);
        EXPECT_EQ(msg, memoryToFile.plain);
    }
}

// The file road compares what the memory road only reads: the recipient and the algorithms.
// Output that cannot be written is reported.
TEST_F(Sm2EnvelopeTest, FileRoadRefusals)
{
    const Recipient r;
    const Bytes msg = Payload(40000);
    const Bytes der = EncryptToEnvelope(msg, r.cert, SM2_ENC_ENCODED_SM2CIPHER);
    EXPECT_EQ(VOMU_E_ENVELOPE_RECIPIENT, OpenEnvelopeFile(der, SM2_ENC_ENCODED_SM2CIPHER, KeyFile("sign_enc")).nResult);
    EXPECT_NE(VOMU_OK, OpenEnvelopeFile(der, SM2_ENC_ENCODED_RAW).nResult);
    const Bytes key = peer::FromHex("00112233445566778899AABBCCDDEEFF");
    const Bytes other = HandMadeEnvelope(SubjectKeyId(r.name), CliSm2Encrypt(key, r.name), Tlv(0x04, Bytes(16, 3)),
                                         Bytes(16, 4), "1.2.840.113549.3.7");
    EXPECT_EQ(VOMU_E_ENVELOPE_FORMAT, OpenEnvelopeFile(other, SM2_ENC_ENCODED_SM2CIPHER).nResult);
    Bytes damaged = der;
    damaged.back() ^= 1;  // the last padding block
    EXPECT_NE(VOMU_OK, OpenEnvelopeFile(damaged, SM2_ENC_ENCODED_SM2CIPHER).nResult);

    TempFile plainFile(msg), envelopeFile(der);
    for (size_t n : {0u, 40000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        TempFile small(Payload(n));
        OpenStream in(small.Path()), full("/dev/full", "wb");
        ASSERT_TRUE(full.fp);
        EXPECT_NE(VOMU_OK, EncryptFileToDerCMSEnvelope(in.fp, r.cert.data(), (int)r.cert.size(),
                                                       SM2_ENC_ENCODED_RAW, full.fp));
    }
    OpenStream envelope(envelopeFile.Path()), keyFile(KeyFile("enc")), full("/dev/full", "wb");
    EXPECT_NE(VOMU_OK, DecryptDerCMSEnvelopeFile(envelope.fp, keyFile.fp, kPassword, SM2_ENC_ENCODED_SM2CIPHER, full.fp));
    OpenStream in(plainFile.Path());
    const Bytes signOnly = peer::ReadFileBytes(PkiPath("sm2/ee_sign.der"));
    TempFile unused;
    OpenStream out(unused.Path(), "wb");
    EXPECT_EQ(VOMU_E_KEY_USAGE, EncryptFileToDerCMSEnvelope(in.fp, signOnly.data(), (int)signOnly.size(),
                                                            SM2_ENC_ENCODED_RAW, out.fp));
    // A file whose ciphertext would not fit the envelope's int lengths (a sparse 2 GiB - 16
    // bytes: 2^31 bytes of ciphertext) is refused before anything is written.
    TempFile huge, hugeOut;
    ASSERT_EQ(0, CliStatus("truncate -s 2147483632 " + Quote(huge.Path())));
    {
        OpenStream hugeIn(huge.Path()), hugeEnvelope(hugeOut.Path(), "wb");
        EXPECT_EQ(VOMU_E_FILE_TOO_LARGE, EncryptFileToDerCMSEnvelope(hugeIn.fp, r.cert.data(), (int)r.cert.size(),
                                                                     SM2_ENC_ENCODED_RAW, hugeEnvelope.fp));
    }
    EXPECT_TRUE(hugeOut.Read().empty());
    EXPECT_EQ(VOMU_E_INVALID_ARG, EncryptFileToDerCMSEnvelope(NULL, r.cert.data(), (int)r.cert.size(),
                                                              SM2_ENC_ENCODED_RAW, out.fp));
    EXPECT_EQ(VOMU_E_INVALID_ARG, DecryptDerCMSEnvelopeFile(envelope.fp, keyFile.fp, kPassword,
                                                            SM2_ENC_ENCODED_RAW, NULL));
}

// Neither the password, the private key nor the payload reaches the log.
TEST_F(Sm2EnvelopeTest, NoSecretsInTheLog)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const Recipient r;
    const std::string sentinel = "Sentinel-Payload-9301-";
    const Bytes msg(sentinel.begin(), sentinel.end());
    const Bytes der = EncryptToEnvelope(msg, r.cert, SM2_ENC_ENCODED_RAW);
    EXPECT_EQ(msg, OpenEnvelope(der, SM2_ENC_ENCODED_RAW).plain);
    EXPECT_EQ(msg, OpenEnvelopeFile(der, SM2_ENC_ENCODED_RAW).plain);
    const std::string text = log.Contents();
    EXPECT_NE(std::string::npos, text.find("SM2_Decrypt")) << "the log captured nothing";
    std::string d = Fact("sm2/ee_enc", "private_d"), dLower = d;
    for (char& c : dLower) c = (char)tolower((unsigned char)c);
    for (const std::string& secret : {std::string(kPassword), sentinel, d, dLower})
        EXPECT_EQ(std::string::npos, text.find(secret)) << secret;
}
