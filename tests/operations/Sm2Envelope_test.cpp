// SM2 encryption and SM2 CMS envelopes against independent peers: npm sm-crypto (doEncrypt /
// doDecrypt, cipher modes 0 and 1, through the shared peer script), `openssl pkeyutl` for the
// SM2Cipher form, `openssl asn1parse` for the envelopes' layout and parts, `openssl enc
// -sm4-cbc` for their content, and envelopes written here by hand (DerTestUtil.h) around
// parts the CLI made.
#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "CMSEnvelopeOperations.h"
#include "DerTestUtil.h"
#include "Base64Utility.h"
#include "LogCapture.h"
#include "TestOutputs.h"
#include "SM2.h"
#include "SigningPeer.h"
#include "SmCryptoPeer.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"

using peer::Bytes;
using peer::TempFile;
using namespace signpeer;
using dertest::Cat;
using dertest::OidTlv;
using dertest::Tlv;

namespace {

const char kEnvelopedDataOID[] = "1.2.156.10197.6.1.4.2.3";
const char kSM2EncryptionOID[] = "1.2.156.10197.1.301.3";
const char kDataOID[] = "1.2.156.10197.6.1.4.2.1";
const char kSM4CbcOID[] = "1.2.156.10197.1.104";

class Sm2EnvelopeTest : public KernelTest {};

// The recipient of the envelopes (keyEncipherment) and its key as the CLI printed it.
struct Recipient {
    std::string name = "ee_enc";
    Bytes cert = peer::ReadFileBytes(PkiPath("sm2/ee_enc.der"));
    Bytes d = peer::FromHex(Fact("sm2/ee_enc", "private_d"));
    Bytes x = peer::FromHex(Fact("sm2/ee_enc", "public_x"));
    Bytes y = peer::FromHex(Fact("sm2/ee_enc", "public_y"));
};

Bytes OurEncrypt(const Bytes& msg, const Bytes& x, const Bytes& y)
{
    unsigned char* pby = NULL;
    int n = 0;
    EXPECT_EQ(VOMU_OK, SM2_Encrypt(msg.data(), (int)msg.size(), x.data(), 32, y.data(), 32, &pby, &n));
    return support::Take(pby, n);
}

int OurDecrypt(const Bytes& cipher, const Bytes& d, Bytes* pPlain)
{
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = SM2_Decrypt(cipher.data(), (int)cipher.size(), d.data(), (int)d.size(), &pby, &n);
    *pPlain = support::Take(pby, n);
    return nResult;
}

// The sm-crypto peer over request lines; empty when node or the package is missing.
std::vector<std::string> SmCrypto(const std::string& request)
{
    std::string moduleDir;
    if (0 != support::RunCommand("node --version") || !smtest::InstallSmCrypto(moduleDir)) return {};
    return smtest::RunSmCrypto(moduleDir, request);
}

// Payloads with zero bytes inside.
Bytes Payload(size_t n)
{
    Bytes msg = Message(n);
    for (size_t i = 0; i < n; i += 7) msg[i] = 0;
    return msg;
}

// One line of `openssl asn1parse`: offset, depth, header and value lengths, kind, value.
struct Asn1Item {
    long nOffset = 0;
    int nDepth = 0, nHeader = 0;
    long nLength = 0;
    std::string kind, value;
};

std::vector<Asn1Item> Asn1Items(const std::string& path)
{
    const std::string out = Cli("openssl asn1parse -inform DER -in " + Quote(path));
    std::vector<Asn1Item> items;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        Asn1Item item;
        if (4 != sscanf(line.c_str(), " %ld:d=%d hl=%d l=%ld", &item.nOffset, &item.nDepth, &item.nHeader,
                        &item.nLength))
            continue;
        const size_t nKind = line.find(": ", line.find("l=")) + 2;
        const size_t nValue = line.find(':', nKind);
        item.kind = line.substr(nKind, nValue == std::string::npos ? std::string::npos : nValue - nKind);
        item.kind = item.kind.substr(0, item.kind.find("[HEX DUMP]"));
        while (!item.kind.empty() && item.kind.back() == ' ') item.kind.pop_back();
        if (nValue != std::string::npos) item.value = line.substr(nValue + 1);
        items.push_back(item);
    }
    return items;
}

// The parts of an envelope as asn1parse locates them.
struct EnvelopeParts {
    Bytes encryptedKey, iv, content;
    std::string keyAlg, contentAlg;
    long nDeclaredContent = -1;
};

EnvelopeParts CliEnvelopeParts(const Bytes& der)
{
    TempFile file(der);
    const std::vector<Asn1Item> items = Asn1Items(file.Path());
    EnvelopeParts parts;
    std::vector<std::string> oids, octets;
    for (const Asn1Item& item : items) {
        if (item.kind == "OBJECT") oids.push_back(item.value);
        if (item.kind == "OCTET STRING") octets.push_back(item.value);
        if (item.kind == "cont [ 0 ]" && item.nDepth == 4) {
            parts.nDeclaredContent = item.nLength;
            const long nStart = item.nOffset + item.nHeader;
            if (nStart + item.nLength <= (long)der.size())
                parts.content.assign(der.begin() + nStart, der.begin() + nStart + item.nLength);
        }
    }
    EXPECT_EQ(4u, oids.size());
    EXPECT_EQ(2u, octets.size());
    if (oids.size() == 4) parts.keyAlg = oids[1], parts.contentAlg = oids[3];
    if (octets.size() == 2) parts.encryptedKey = peer::FromHex(octets[0]), parts.iv = peer::FromHex(octets[1]);
    return parts;
}

// `openssl enc -d -sm4-cbc` of the content with the key and IV.
Bytes CliSm4Decrypt(const Bytes& content, const Bytes& key, const Bytes& iv)
{
    TempFile in(content), out;
    Cli("openssl enc -d -sm4-cbc -K " + peer::Hex(key) + " -iv " + peer::Hex(iv) + " -in " + Quote(in.Path()) +
        " -out " + Quote(out.Path()));
    return out.Read();
}

// `openssl pkeyutl -decrypt` of a DER SM2Cipher with the recipient's key.
Bytes CliSm2Decrypt(const Bytes& sm2Cipher, const std::string& keyName)
{
    TempFile in(sm2Cipher), out;
    Cli("openssl pkeyutl -decrypt -inkey " + Quote(PkiPath("sm2/" + keyName + ".key")) + " -in " + Quote(in.Path()) +
        " -out " + Quote(out.Path()));
    return out.Read();
}

Bytes CliSm2Encrypt(const Bytes& msg, const std::string& certName)
{
    const PublicKeyFile pub(PkiPath("sm2/" + certName + ".pem"));
    TempFile in(msg), out;
    Cli("openssl pkeyutl -encrypt -pubin -inkey " + Quote(pub.Path()) + " -in " + Quote(in.Path()) + " -out " +
        Quote(out.Path()));
    return out.Read();
}

Bytes EncryptToEnvelope(const Bytes& msg, const Bytes& cert, unsigned long fType, int* pnResult = NULL)
{
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = EncryptDataToDerCMSEnvelope(msg.data(), (int)msg.size(), cert.data(), (int)cert.size(),
                                                    fType, &pby, &n);
    if (pnResult) {
        *pnResult = nResult;
    } else {
        EXPECT_EQ(VOMU_OK, nResult);
    }
    return support::Take(pby, n);
}

struct Opened {
    int nResult;
    Bytes plain;
};

Opened OpenEnvelope(const Bytes& der, unsigned long fType, const std::string& keyFile = KeyFile("enc"),
                    const char* pszPassword = kPassword)
{
    OpenStream key(keyFile);
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = DecryptDerCMSEnvelopeData(der.data(), (int)der.size(), key.fp, pszPassword, fType, &pby, &n);
    if (VOMU_OK != nResult) {
        EXPECT_EQ(nullptr, pby);
    }
    return {nResult, support::Take(pby, n)};
}

Opened OpenEnvelopeFile(const Bytes& der, unsigned long fType, const std::string& keyFile = KeyFile("enc"))
{
    TempFile envelope(der), plain;
    OpenStream in(envelope.Path()), key(keyFile), out(plain.Path(), "wb");
    const int nResult = DecryptDerCMSEnvelopeFile(in.fp, key.fp, kPassword, fType, out.fp);
    fclose(out.fp);
    out.fp = NULL;
    return {nResult, plain.Read()};
}

// ContentInfo { envelopedData, [0] EnvelopedData } written by hand (RFC 5652 6.1).
Bytes HandMadeEnvelope(const Bytes& keyId, const Bytes& encryptedKey, const Bytes& ivParameter,
                       const Bytes& content, const char* pszContentAlg = kSM4CbcOID)
{
    const Bytes recipientInfo = Tlv(0x30, Cat({{0x02, 0x01, 0x02}, Tlv(0x80, keyId),
                                               dertest::NullAlgorithm(kSM2EncryptionOID), Tlv(0x04, encryptedKey)}));
    const Bytes contentInfo = Tlv(0x30, Cat({OidTlv(kDataOID), Tlv(0x30, Cat({OidTlv(pszContentAlg), ivParameter})),
                                             Tlv(0x80, content)}));
    const Bytes envelopedData = Tlv(0x30, Cat({{0x02, 0x01, 0x02}, Tlv(0x31, recipientInfo), contentInfo}));
    return Tlv(0x30, Cat({OidTlv(kEnvelopedDataOID), Tlv(0xA0, envelopedData)}));
}

Bytes SubjectKeyId(const std::string& certName)
{
    return peer::FromHex(Fact("sm2/" + certName, "subject_key_id"));
}

}  // namespace

// ---- SM2 encryption ----

// Ours against sm-crypto in both directions and both orders (mode 0 is x1||y1||C2||C3, our raw
// form; mode 1 is x1||y1||C3||C2, our v2 form without its 04).
TEST_F(Sm2EnvelopeTest, EncryptionInteroperatesWithSmCrypto)
{
    const Recipient r;
    std::string request = "K " + peer::Hex(r.d) + " 04" + peer::Hex(r.x) + peer::Hex(r.y) + "\n";
    std::vector<Bytes> msgs, ours, oursV2;
    morv::OsslPtr<BIGNUM> x(BN_bin2bn(r.x.data(), 32, NULL)), y(BN_bin2bn(r.y.data(), 32, NULL));
    for (size_t n : {1u, 16u, 100u, 5000u}) {
        msgs.push_back(Payload(n));
        ours.push_back(OurEncrypt(msgs.back(), r.x, r.y));
        ASSERT_EQ(n + 96, ours.back().size());
        Bytes v2(n + 97);
        ASSERT_EQ(1, _SM2_encrypt_v2(NID_prime256v1SM2, msgs.back().data(), (unsigned)n, x.get(), y.get(), v2.data()));
        EXPECT_EQ(0x04, v2[0]);
        oursV2.push_back(v2);
        const std::string m = peer::Hex(msgs.back());
        request += "P 0 " + peer::Hex(ours.back()) + "\nP 1 " + peer::Hex(v2).substr(2) + "\nC 0 " + m + "\nC 1 " + m + "\n";
    }
    const std::vector<std::string> answer = SmCrypto(request);
    if (answer.empty()) GTEST_SKIP() << "npm sm-crypto unavailable (npm unreachable or node missing)";
    ASSERT_EQ(4 * msgs.size(), answer.size());
    morv::OsslPtr<BIGNUM> d(BN_bin2bn(r.d.data(), 32, NULL));
    for (size_t i = 0; i < msgs.size(); ++i) {
        SCOPED_TRACE("message " + std::to_string(i));
        const std::string expected = "P " + HexLower(msgs[i].data(), msgs[i].size());
        EXPECT_EQ(expected, answer[4 * i]);
        EXPECT_EQ(expected, answer[4 * i + 1]);
        Bytes plain;
        EXPECT_EQ(VOMU_OK, OurDecrypt(peer::FromHex(answer[4 * i + 2].substr(2)), r.d, &plain));
        EXPECT_EQ(msgs[i], plain);
        const Bytes mode1 = Cat({{0x04}, peer::FromHex(answer[4 * i + 3].substr(2))});
        Bytes v2Plain(msgs[i].size());
        EXPECT_EQ(1, _SM2_decrypt_v2(NID_prime256v1SM2, mode1.data(), (unsigned)mode1.size(), d.get(), v2Plain.data()));
        EXPECT_EQ(msgs[i], v2Plain);
    }
}

// The SM2Cipher form of our ciphertext is what `openssl pkeyutl` reads and writes.
TEST_F(Sm2EnvelopeTest, SM2CipherFormInteroperatesWithOpenSSL)
{
    const Recipient r;
    for (size_t n : {1u, 16u, 300u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes msg = Payload(n);
        Bytes raw = OurEncrypt(msg, r.x, r.y);
        unsigned char* pbyDer = NULL;
        int nDer = 0;
        ASSERT_EQ(VOMU_OK, Encode_SM2Cipher(raw.data(), (int)raw.size(), &pbyDer, &nDer));
        EXPECT_EQ(msg, CliSm2Decrypt(support::Take(pbyDer, nDer), r.name));
        Bytes theirs = CliSm2Encrypt(msg, r.name);
        unsigned char* pbyRaw = NULL;
        int nRaw = 0;
        ASSERT_EQ(VOMU_OK, Decode_SM2Cipher(theirs.data(), (int)theirs.size(), &pbyRaw, &nRaw));
        Bytes plain;
        EXPECT_EQ(VOMU_OK, OurDecrypt(support::Take(pbyRaw, nRaw), r.d, &plain));
        EXPECT_EQ(msg, plain);
    }
}

// Off-curve points and empty messages are refused; a ciphertext that fails its C3 check gives
// no plaintext and leaves none in the caller's buffer.
TEST_F(Sm2EnvelopeTest, EncryptionRefusals)
{
    const Recipient r;
    const Bytes msg = Payload(16);
    Bytes yOff = r.y;
    yOff[31] ^= 1;
    unsigned char* pby = NULL;
    int n = -5;
    EXPECT_EQ(VOMU_E_FAIL, SM2_Encrypt(msg.data(), 16, r.x.data(), 32, yOff.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_FAIL, SM2_Encrypt(msg.data(), 0, r.x.data(), 32, r.y.data(), 32, &pby, &n));
    Bytes cipher = OurEncrypt(msg, r.x, r.y);
    cipher.back() ^= 1;  // C3
    EXPECT_EQ(VOMU_E_FAIL, SM2_Decrypt(cipher.data(), (int)cipher.size(), r.d.data(), 32, &pby, &n));
    EXPECT_EQ(VOMU_E_FAIL, SM2_Decrypt(cipher.data(), 96, r.d.data(), 32, &pby, &n));
    const Bytes otherD = peer::FromHex(Fact("sm2/ee_sign", "private_d"));
    cipher.back() ^= 1;
    EXPECT_EQ(VOMU_E_FAIL, SM2_Decrypt(cipher.data(), (int)cipher.size(), otherD.data(), 32, &pby, &n));
    EXPECT_EQ(nullptr, pby);
    EXPECT_EQ(-5, n);

    morv::OsslPtr<BIGNUM> x(BN_bin2bn(r.x.data(), 32, NULL)), y(BN_bin2bn(r.y.data(), 32, NULL)),
        yBad(BN_bin2bn(yOff.data(), 32, NULL)), d(BN_bin2bn(r.d.data(), 32, NULL));
    Bytes v2(16 + 97);
    EXPECT_EQ(0, _SM2_encrypt_v2(NID_prime256v1SM2, msg.data(), 16, x.get(), yBad.get(), v2.data()));
    EXPECT_EQ(0, _SM2_encrypt_v2(NID_prime256v1SM2, msg.data(), 0, x.get(), y.get(), v2.data()));
    ASSERT_EQ(1, _SM2_encrypt_v2(NID_prime256v1SM2, msg.data(), 16, x.get(), y.get(), v2.data()));
    v2[65] ^= 1;  // the first octet of C3
    Bytes plain(16, 0xA5);
    EXPECT_EQ(0, _SM2_decrypt_v2(NID_prime256v1SM2, v2.data(), (unsigned)v2.size(), d.get(), plain.data()));
    EXPECT_NE(msg, plain);
    EXPECT_EQ(Bytes(16, 0), plain);
    EXPECT_EQ(0, _SM2_decrypt_v2(NID_prime256v1SM2, v2.data(), 97, d.get(), plain.data()));
}

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
// fail with the Part's codes.
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
