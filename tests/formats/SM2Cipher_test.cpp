// The SM2Cipher codec against OpenSSL 3's own SM2 encryption (default library context), whose
// ciphertext is DER SM2Cipher, and the openssl CLI.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/rand.h>

#include <climits>
#include <iostream>
#include <memory>
#include <string>

#include "CMSEnvelopeOperations.h"
#include "DerTestUtil.h"
#include "LogCapture.h"
#include "OpenSSLPeer.h"
#include "TestOutputs.h"
#include "vomu_result.h"

using dertest::Cat;
using dertest::Tlv;
using peer::Bytes;

namespace {

Bytes OpenSSLEncrypt(EVP_PKEY* pKey, const Bytes& msg)
{
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new(pKey, NULL));
    size_t n = 0;
    if (!pCtx || EVP_PKEY_encrypt_init(pCtx.get()) != 1 ||
        EVP_PKEY_encrypt(pCtx.get(), NULL, &n, msg.data(), msg.size()) != 1)
        return Bytes();
    Bytes out(n);
    if (EVP_PKEY_encrypt(pCtx.get(), out.data(), &n, msg.data(), msg.size()) != 1) return Bytes();
    out.resize(n);
    return out;
}

bool OpenSSLDecrypt(EVP_PKEY* pKey, const Bytes& der, Bytes* pMsg)
{
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new(pKey, NULL));
    size_t n = 0;
    if (!pCtx || EVP_PKEY_decrypt_init(pCtx.get()) != 1 ||
        EVP_PKEY_decrypt(pCtx.get(), NULL, &n, der.data(), der.size()) != 1)
        return false;
    pMsg->resize(n);
    if (EVP_PKEY_decrypt(pCtx.get(), pMsg->data(), &n, der.data(), der.size()) != 1) return false;
    pMsg->resize(n);
    return true;
}

int DecodeCipher(const Bytes& der, Bytes* pRaw) { return support::RunCodec(Decode_SM2Cipher, der, pRaw); }

int EncodeCipher(const Bytes& raw, Bytes* pDER) { return support::RunCodec(Encode_SM2Cipher, raw, pDER); }

// The SM2Cipher SEQUENCE { INTEGER x, INTEGER y, OCTET STRING hash, OCTET STRING c2 } by hand;
// the integers' value octets as given (so the fixed 32-octet form and malformed ones can be written).
Bytes Field(const Bytes& raw, size_t nOffset, size_t nSize)
{
    return Bytes(raw.begin() + nOffset, raw.begin() + nOffset + nSize);
}

// The fixed-width form: coordinates as 32 octets (00 in front when the top bit is set).
Bytes FixedWidthSM2Cipher(const Bytes& raw)
{
    const size_t nC2 = raw.size() - 96;
    auto coordinate = [&](size_t nOffset) {
        Bytes v = Field(raw, nOffset, 32);
        if (v[0] & 0x80) v.insert(v.begin(), 0x00);
        return Tlv(0x02, v);
    };
    return Tlv(0x30, Cat({coordinate(0), coordinate(32), Tlv(0x04, Field(raw, 64 + nC2, 32)),
                          Tlv(0x04, Field(raw, 64, nC2))}));
}

TEST(SM2Cipher, OpenSSLCiphertextsSurviveOurCodecAndDecryptWithOpenSSL)
{
    morv::OsslPtr<EVP_PKEY> pKey = peer::NewSM2Key();
    ASSERT_TRUE(pKey);
    int nLeadingZero = 0;
    const size_t kSizes[] = {1, 16, 31, 32, 33, 127, 128, 200, 1000};
    for (int i = 0; i < 600; i++) {
        Bytes msg(kSizes[i % (sizeof kSizes / sizeof *kSizes)]);
        RAND_bytes(msg.data(), (int)msg.size());
        const Bytes der = OpenSSLEncrypt(pKey.get(), msg);
        ASSERT_FALSE(der.empty());
        Bytes raw;
        ASSERT_EQ(VOMU_OK, DecodeCipher(der, &raw)) << peer::Hex(der);
        ASSERT_EQ(msg.size() + 96, raw.size());
        if (0 == raw[0] || 0 == raw[32]) nLeadingZero++;

        Bytes ours;
        ASSERT_EQ(VOMU_OK, EncodeCipher(raw, &ours));
        ASSERT_EQ(peer::Hex(der), peer::Hex(ours));
        Bytes plain;
        ASSERT_TRUE(OpenSSLDecrypt(pKey.get(), ours, &plain));
        ASSERT_EQ(peer::Hex(msg), peer::Hex(plain));

        Bytes back;
        ASSERT_EQ(VOMU_OK, DecodeCipher(FixedWidthSM2Cipher(raw), &back));
        ASSERT_EQ(peer::Hex(raw), peer::Hex(back));
    }
    std::cout << "ciphertexts with a leading zero octet on x1 or y1: " << nLeadingZero << " of 600\n";
}

TEST(SM2Cipher, OurEncodingDecryptsWithTheCli)
{
    morv::OsslPtr<EVP_PKEY> pKey = peer::NewSM2Key();
    const Bytes msg = {'c', 'o', 'n', 't', 'e', 'n', 't', ' ', 'k', 'e', 'y', 0, 1, 2, 3, 4};
    Bytes raw, ours;
    ASSERT_EQ(VOMU_OK, DecodeCipher(OpenSSLEncrypt(pKey.get(), msg), &raw));
    ASSERT_EQ(VOMU_OK, EncodeCipher(raw, &ours));

    peer::TempFile keyFile, cipherFile(ours), plainFile;
    {
        morv::OsslPtr<BIO> pBio(BIO_new_file(keyFile.Path().c_str(), "w"));
        ASSERT_TRUE(pBio);
        ASSERT_EQ(1, PEM_write_bio_PrivateKey(pBio.get(), pKey.get(), NULL, NULL, 0, NULL, NULL));
    }
    std::string out;
    ASSERT_EQ(0, peer::RunCommand("openssl pkeyutl -decrypt -inkey " + keyFile.Path() + " -in " +
                                      cipherFile.Path() + " -out " + plainFile.Path(), &out)) << out;
    EXPECT_EQ(peer::Hex(msg), peer::Hex(plainFile.Read()));
}

Bytes RawWith(unsigned char byX, unsigned char byY, size_t nC2)
{
    Bytes raw(96 + nC2, 0x33);
    raw[0] = byX;
    raw[32] = byY;
    return raw;
}

TEST(SM2Cipher, EncoderLayout)
{
    Bytes der;
    // x1 = 9A.., y1 = 11..: 02 21 00 9A ..., 02 20 11 ..., 04 20 C3, 04 10 C2 (123 octets).
    ASSERT_EQ(VOMU_OK, EncodeCipher(RawWith(0x9A, 0x11, 16), &der));
    EXPECT_EQ(123u, der.size());
    EXPECT_EQ("3079022100" "9A", peer::Hex(der).substr(0, 12));
    // A 128-octet C2: CipherText length 81 80, SEQUENCE length 30 81 E9.
    ASSERT_EQ(VOMU_OK, EncodeCipher(RawWith(0x11, 0x22, 128), &der));
    EXPECT_EQ("3081E9", peer::Hex(der).substr(0, 6));
    EXPECT_EQ("048180", peer::Hex(der).substr(2 * (der.size() - 131), 6));
    // 97 octets: a one-octet CipherText.
    ASSERT_EQ(VOMU_OK, EncodeCipher(RawWith(0x11, 0x22, 1), &der));
    EXPECT_EQ("040133", peer::Hex(der).substr(2 * (der.size() - 3)));
    // A leading zero octet of x1 is dropped: minimal INTEGER, as OpenSSL writes it.
    ASSERT_EQ(VOMU_OK, EncodeCipher(RawWith(0x00, 0x22, 16), &der));
    EXPECT_EQ("3077021F33", peer::Hex(der).substr(0, 10));
    Bytes back;
    ASSERT_EQ(VOMU_OK, DecodeCipher(der, &back));
    EXPECT_EQ(peer::Hex(RawWith(0x00, 0x22, 16)), peer::Hex(back));

    Bytes small(96, 0x33);
    for (int n : {0, 1, 95, 96, -1, INT_MIN}) {
        unsigned char* pby = NULL;
        int nDER = 0;
        EXPECT_EQ(VOMU_E_INVALID_ARG, Encode_SM2Cipher(small.data(), n, &pby, &nDER)) << n;
        EXPECT_EQ(nullptr, pby);
    }
}

TEST(SM2Cipher, DecoderChecksEveryField)
{
    const Bytes raw = RawWith(0x9A, 0x11, 16);
    const Bytes good = FixedWidthSM2Cipher(raw);
    const Bytes x = Field(raw, 0, 32), y = Field(raw, 32, 32), hash = Field(raw, 80, 32);
    const Bytes c2 = Field(raw, 64, 16);
    const Bytes x33 = Cat({{0x00}, x});
    Bytes back;
    ASSERT_EQ(VOMU_OK, DecodeCipher(good, &back));

    for (size_t n = 0; n < good.size(); n++) {
        SCOPED_TRACE(n);
        EXPECT_NE(VOMU_OK, DecodeCipher(Bytes(good.begin(), good.begin() + n), &back));
    }
    const struct { const char* pszWhy; Bytes der; } kCases[] = {
        {"x of 34 octets", Tlv(0x30, Cat({Tlv(0x02, Cat({{0, 0}, x})), Tlv(0x02, y),
                                          Tlv(0x04, hash), Tlv(0x04, c2)}))},
        {"y of 33 octets, not 00 first", Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, Cat({{1}, y})),
                                                        Tlv(0x04, hash), Tlv(0x04, c2)}))},
        {"negative x", Tlv(0x30, Cat({Tlv(0x02, x), Tlv(0x02, y), Tlv(0x04, hash), Tlv(0x04, c2)}))},
        {"empty y", Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, {}), Tlv(0x04, hash), Tlv(0x04, c2)}))},
        {"hash of 31", Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, y), Tlv(0x04, Field(hash, 0, 31)),
                                      Tlv(0x04, c2)}))},
        {"hash of 33", Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, y), Tlv(0x04, Cat({hash, {7}})),
                                      Tlv(0x04, c2)}))},
        {"three fields", Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, y), Tlv(0x04, hash)}))},
        {"five fields", Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, y), Tlv(0x04, hash), Tlv(0x04, c2),
                                       Tlv(0x04, c2)}))},
        {"OCTET STRING coordinates", Tlv(0x30, Cat({Tlv(0x04, x33), Tlv(0x04, y), Tlv(0x04, hash),
                                                    Tlv(0x04, c2)}))},
        {"INTEGER hash", Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, y), Tlv(0x02, hash), Tlv(0x04, c2)}))},
        {"SET", Tlv(0x31, Cat({Tlv(0x02, x33), Tlv(0x02, y), Tlv(0x04, hash), Tlv(0x04, c2)}))},
        {"trailing octet", Cat({good, {0x00}})},
        {"indefinite SEQUENCE", Cat({{0x30, 0x80}, Bytes(good.begin() + 2, good.end()), {0, 0}})},
        {"indefinite CipherText", Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, y), Tlv(0x04, hash),
                                                 {0x04, 0x80, 0x41, 0x00, 0x00}}))},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszWhy);
        Bytes der = c.der;
        unsigned char* pby = reinterpret_cast<unsigned char*>(0x1);
        int n = -7;
        EXPECT_EQ(VOMU_E_BAD_ASN1_DATA, Decode_SM2Cipher(der.data(), (int)der.size(), &pby, &n));
        EXPECT_EQ(reinterpret_cast<unsigned char*>(0x1), pby);
        EXPECT_EQ(-7, n);
    }
}

// The size refusals log the reasons their log readers search for.
TEST(SM2Cipher, SizeRefusalsLogTheirReasons)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const Bytes raw = RawWith(0x9A, 0x11, 16);
    const Bytes x = Field(raw, 0, 32), y = Field(raw, 32, 32), hash = Field(raw, 80, 32);
    const Bytes c2 = Field(raw, 64, 16), x33 = Cat({{0x00}, x});
    const Bytes longX = Tlv(0x30, Cat({Tlv(0x02, Cat({{0, 0}, x})), Tlv(0x02, y), Tlv(0x04, hash), Tlv(0x04, c2)}));
    const Bytes longY = Tlv(0x30, Cat({Tlv(0x02, x33), Tlv(0x02, Cat({{1}, y})), Tlv(0x04, hash), Tlv(0x04, c2)}));
    for (Bytes der : {longX, longY}) {
        unsigned char* pby = nullptr;
        int n = 0;
        EXPECT_EQ(VOMU_E_BAD_ASN1_DATA, Decode_SM2Cipher(der.data(), (int)der.size(), &pby, &n));
    }
    Bytes shortRaw(96, 0x5A);
    unsigned char* pbyDer = nullptr;
    int nDer = 0;
    EXPECT_EQ(VOMU_E_INVALID_ARG, Encode_SM2Cipher(shortRaw.data(), (int)shortRaw.size(), &pbyDer, &nDer));
    for (const char* pszLine :
         {"(Decode_SM2Cipher -- Check XCoordinate size in SM2Cipher.)\t\t--Failed:(0xa0071041) "
          "[Reason:nXCoordinateSize > 33]",
          "(Decode_SM2Cipher -- Check YCoordinate size in SM2Cipher.)\t\t--Failed:(0xa0071041) "
          "[Reason:nYCoordinateSize > 33]",
          "(Encode_SM2Cipher -- Check C2 byte size.)\t\t--Failed:(0x80070057) [Reason:nC2Size <= 0]"})
        EXPECT_TRUE(log.Contains(pszLine)) << pszLine << "\n" << log.Contents();
}

TEST(SM2Cipher, DecoderReadsShortCoordinatesAndEmptyCipherText)
{
    const Bytes hash(32, 0xC3);
    Bytes raw;
    // x = 5, y = 00 (minimal forms), empty C2: 96 octets.
    ASSERT_EQ(VOMU_OK, DecodeCipher(Tlv(0x30, Cat({Tlv(0x02, {5}), Tlv(0x02, {0}), Tlv(0x04, hash),
                                                   Tlv(0x04, {})})), &raw));
    Bytes expected(96, 0);
    expected[31] = 5;
    std::copy(hash.begin(), hash.end(), expected.begin() + 64);
    EXPECT_EQ(peer::Hex(expected), peer::Hex(raw));
}

}  // namespace
