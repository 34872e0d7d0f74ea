// The formats codec of SM2Cipher and the kernel's SM2Cipher item describe one structure: for
// the same ciphertext they write the same octets, and each reads what the other writes. The
// provider's SM2 encryption (whose DER is the item's) agrees with the codec as well.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <random>

#include "CMSEnvelopeOperations.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM2Cipher.h"
#include "SMKernel.h"
#include "Sm2Peer.h"
#include "TestOutputs.h"
#include "vomu_result.h"

namespace {

using smtest::Bytes;
using Sm2CipherPtr = std::unique_ptr<SM2Cipher, decltype(&SM2Cipher_free)>;

// The formats codec's output; empty when it fails.
Bytes CodecEncode(const Bytes& raw)
{
    Bytes der;
    support::RunCodec(Encode_SM2Cipher, raw, &der);
    return der;
}

Bytes CodecDecode(const Bytes& der)
{
    Bytes raw;
    support::RunCodec(Decode_SM2Cipher, der, &raw);
    return raw;
}

// x1 || y1 || C2 || C3 through the item.
Bytes ItemEncode(const Bytes& raw)
{
    const size_t nC2 = raw.size() - 96;
    Sm2CipherPtr pCipher(SM2Cipher_new(), SM2Cipher_free);
    if (!pCipher || !BN_bin2bn(raw.data(), 32, pCipher->XCoordinate) ||
        !BN_bin2bn(raw.data() + 32, 32, pCipher->YCoordinate) ||
        1 != ASN1_OCTET_STRING_set(pCipher->cipherText, raw.data() + 64, (int)nC2) ||
        1 != ASN1_OCTET_STRING_set(pCipher->HASH, raw.data() + 64 + nC2, 32))
        return Bytes();
    return dertest::ByOpenSSL(i2d_SM2Cipher, pCipher.get());
}

Bytes ItemDecode(const Bytes& der)
{
    const unsigned char* p = der.data();
    Sm2CipherPtr pCipher(d2i_SM2Cipher(nullptr, &p, (long)der.size()), SM2Cipher_free);
    unsigned char x[32], y[32];
    if (!pCipher || p != der.data() + der.size() || !_SM2_GetBNBytes(pCipher->XCoordinate, x) ||
        !_SM2_GetBNBytes(pCipher->YCoordinate, y))
        return Bytes();
    Bytes raw = dertest::Cat({Bytes(x, x + 32), Bytes(y, y + 32)});
    raw.insert(raw.end(), pCipher->cipherText->data, pCipher->cipherText->data + pCipher->cipherText->length);
    raw.insert(raw.end(), pCipher->HASH->data, pCipher->HASH->data + pCipher->HASH->length);
    return raw;
}

TEST(Sm2CipherAgreement, CodecAndItemWriteTheSameOctetsAndReadEachOther)
{
    std::mt19937_64 rng(11);
    // First octets of x1 and y1: top bit set, leading zero octets, plain.
    const unsigned char FIRST[][2] = {{0x9A, 0x11}, {0x00, 0x80}, {0x00, 0x00}, {0x7F, 0xFF}};
    for (const auto& first : FIRST) {
        for (size_t nC2 : {1, 16, 200}) {
            Bytes raw = smtest::RandomBytes(rng, 96 + nC2);
            raw[0] = first[0];
            raw[32] = first[1];
            if (first[0] == 0) raw[1] = 0;  // two leading zero octets
            Bytes der = CodecEncode(raw);
            ASSERT_FALSE(der.empty());
            EXPECT_EQ(der, ItemEncode(raw)) << (int)first[0] << " " << nC2;
            EXPECT_EQ(raw, ItemDecode(der));
            EXPECT_EQ(raw, CodecDecode(ItemEncode(raw)));
        }
    }
}

TEST(Sm2CipherAgreement, ProvidersCiphertextIsTheCodecsEncoding)
{
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    {
        unsigned char abyD[32], abyX[32], abyY[32];
        ASSERT_EQ(1, _SM2_generate_keypair(abyD, abyX, abyY));
        morv::OsslPtr<EVP_PKEY> pKey(smk::NewSm2PKey(abyD, abyX, abyY));
        for (size_t n : {1, 16, 100}) {
            morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new_from_pkey(smk::LibCtx(), pKey.get(), nullptr));
            Bytes msg(n, 0x5C), der(n + 200);
            size_t nDer = der.size();
            ASSERT_EQ(1, EVP_PKEY_encrypt_init(pCtx.get()));
            ASSERT_EQ(1, EVP_PKEY_encrypt(pCtx.get(), der.data(), &nDer, msg.data(), msg.size()));
            der.resize(nDer);
            Bytes raw = CodecDecode(der);
            ASSERT_EQ(n + 96, raw.size());
            EXPECT_EQ(der, CodecEncode(raw));
        }
    }
    EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
}

}  // namespace
