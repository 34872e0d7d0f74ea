// The SM2Cipher item type against OpenSSL's own SM2 ciphertexts (default context, which writes
// the same structure), its C names in libMORV.so.3, and the refusal of what it must not take.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <random>
#include <string>

#include "SM2.h"
#include "SM2Cipher.h"
#include "Sm2Peer.h"

namespace {

using smtest::Bytes;

Bytes Encode(const SM2Cipher* pCipher) { return dertest::ByOpenSSL(i2d_SM2Cipher, pCipher); }

using Sm2CipherPtr = std::unique_ptr<SM2Cipher, decltype(&SM2Cipher_free)>;

// The whole input decoded, or null.
Sm2CipherPtr DecodeWhole(const Bytes& der)
{
    const unsigned char* p = der.data();
    Sm2CipherPtr pCipher(d2i_SM2Cipher(nullptr, &p, (long)der.size()), SM2Cipher_free);
    if (pCipher && p != der.data() + der.size()) pCipher.reset();
    return pCipher;
}

TEST(Sm2CipherItem, ReadsOpensslsCiphertextsAndWritesThemBackUnchanged)
{
    smtest::PeerKey key;
    ASSERT_TRUE(smtest::PeerKeygen(key));
    std::mt19937_64 rng(7);
    for (size_t n : {1, 16, 127, 128, 300}) {
        Bytes msg = smtest::RandomBytes(rng, n);
        Bytes der = smtest::PeerCipher(key.pkey.get(), msg, true);  // generator: OpenSSL 3 SM2
        ASSERT_FALSE(der.empty());
        Sm2CipherPtr pCipher = DecodeWhole(der);
        ASSERT_TRUE(pCipher) << n;
        EXPECT_EQ(der, Encode(pCipher.get())) << n;
        Bytes raw = smtest::Sm2CipherDerToRaw(der);
        unsigned char x[32], y[32];
        ASSERT_EQ(1, _SM2_GetBNBytes(pCipher->XCoordinate, x));
        ASSERT_EQ(1, _SM2_GetBNBytes(pCipher->YCoordinate, y));
        EXPECT_EQ(Bytes(raw.begin() + 1, raw.begin() + 33), Bytes(x, x + 32));
        EXPECT_EQ(Bytes(raw.begin() + 33, raw.begin() + 65), Bytes(y, y + 32));
        EXPECT_EQ(Bytes(raw.begin() + 65, raw.end() - 32),
                  Bytes(pCipher->cipherText->data, pCipher->cipherText->data + pCipher->cipherText->length));
        EXPECT_EQ(Bytes(raw.end() - 32, raw.end()),
                  Bytes(pCipher->HASH->data, pCipher->HASH->data + pCipher->HASH->length));
    }
}

// Coordinates with the top bit set, with leading zero octets and plain ones: the item writes the
// shortest INTEGER, as OpenSSL's encoder of the same numbers does.
TEST(Sm2CipherItem, CoordinatesAreWrittenAsShortestIntegers)
{
    const struct {
        const char* pszName;
        unsigned char byX0, byX1, byY0;
    } CASES[] = {
        {"top bit set", 0x9A, 0x00, 0x11},
        {"leading zero octet", 0x00, 0x9A, 0x7F},
        {"two leading zero octets", 0x00, 0x00, 0x80},
    };
    for (const auto& c : CASES) {
        SCOPED_TRACE(c.pszName);
        Bytes raw(97 + 5, 0x33);
        raw[0] = 0x04;
        raw[1] = c.byX0;
        raw[2] = c.byX1;
        raw[33] = c.byY0;
        Sm2CipherPtr pCipher(SM2Cipher_new(), SM2Cipher_free);
        ASSERT_TRUE(pCipher);
        ASSERT_TRUE(BN_bin2bn(raw.data() + 1, 32, pCipher->XCoordinate));
        ASSERT_TRUE(BN_bin2bn(raw.data() + 33, 32, pCipher->YCoordinate));
        ASSERT_EQ(1, ASN1_OCTET_STRING_set(pCipher->cipherText, raw.data() + 65, 5));
        ASSERT_EQ(1, ASN1_OCTET_STRING_set(pCipher->HASH, raw.data() + 70, 32));
        EXPECT_EQ(smtest::RawToSm2CipherDer(raw), Encode(pCipher.get()));
    }
}

TEST(Sm2CipherItem, MalformedInputIsRefused)
{
    const Bytes good = dertest::Cat({{0x30, 0x0D}, {0x02, 0x01, 0x01}, {0x02, 0x01, 0x02},
                                     {0x04, 0x02, 0xAA, 0xBB}, {0x04, 0x01, 0xCC}});
    ASSERT_TRUE(DecodeWhole(good));
    const struct {
        const char* pszName;
        Bytes der;
    } CASES[] = {
        {"truncated", Bytes(good.begin(), good.end() - 1)},
        {"three fields", {0x30, 0x0A, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x04, 0x02, 0xAA, 0xBB}},
        {"hash as an INTEGER", {0x30, 0x0D, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x02, 0x02, 0x0A, 0xBB, 0x04, 0x01, 0xCC}},
        {"SET instead of SEQUENCE", dertest::Cat({{0x31}, Bytes(good.begin() + 1, good.end())})},
        {"empty", {}},
    };
    for (const auto& c : CASES) EXPECT_FALSE(DecodeWhole(c.der)) << c.pszName;
}

// Other modules find the four functions by their C names in the shared library.
TEST(Sm2CipherItem, FunctionsAreExportedWithCLinkage)
{
    void* pLib = dlopen(MORV_BINARY_DIR "/libMORV.so.3", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pLib) << dlerror();
    for (const char* pszName : {"SM2Cipher_new", "SM2Cipher_free", "i2d_SM2Cipher", "d2i_SM2Cipher"})
        EXPECT_NE(nullptr, dlsym(pLib, pszName)) << pszName;
    dlclose(pLib);
}

}  // namespace
