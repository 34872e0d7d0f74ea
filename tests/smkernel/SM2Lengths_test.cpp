// SM2 encryption refuses a message whose key stream length (8 * len bits) would not fit the
// KDF's 32-bit length, exactly where decryption stops accepting ciphertexts. The messages are
// mapped, never touched, so a refusal costs nothing and an acceptance would show at once.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <climits>
#include <openssl/evp.h>

#include "OsslPtr.h"
#include "SM2.h"
#include "SMKernel.h"
#include "Sm2Peer.h"
#include "vomu_result.h"

namespace {

// Zero pages reserved lazily: only what is read or written is ever backed.
struct Mapped {
    explicit Mapped(size_t n) : nSize(n)
    {
        void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        pby = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
    }
    ~Mapped()
    {
        if (pby) munmap(pby, nSize);
    }
    size_t nSize;
    unsigned char* pby;
};

const size_t FIRST_TOO_LONG = (size_t)SM2_MAX_MESSAGE + 1;  // 2^29

TEST(Sm2Lengths, EncryptionRefusesWhatDecryptionCannotOpen)
{
    smtest::PeerKey key;
    ASSERT_TRUE(smtest::PeerKeygen(key));
    morv::OsslPtr<BIGNUM> x(BN_bin2bn(key.x, 32, nullptr)), y(BN_bin2bn(key.y, 32, nullptr));
    morv::OsslPtr<BIGNUM> d(BN_bin2bn(key.d, 32, nullptr));
    // 2^29 wraps the bit count to 0, 2^29 + 1 to 8 bits (one byte of key stream).
    for (size_t n : {FIRST_TOO_LONG, FIRST_TOO_LONG + 1, FIRST_TOO_LONG + 32, (size_t)INT_MAX - 97}) {
        Mapped msg(n), out(n + SM2_CIPHER_OVERHEAD);
        ASSERT_TRUE(msg.pby && out.pby);
        EXPECT_EQ(0, _SM2_encrypt(NID_prime256v1SM2, msg.pby, (int)n, x.get(), y.get(), out.pby)) << n;
        EXPECT_EQ(0, _SM2_decrypt(NID_prime256v1SM2, out.pby, (unsigned)(n + SM2_CIPHER_OVERHEAD), d.get(),
                                  msg.pby))
            << n;
    }
}

TEST(Sm2Lengths, ProviderRefusesTheLongMessageToo)
{
    ASSERT_EQ(VOMU_OK, SMKernelInitialize());
    {
        unsigned char abyD[32], abyX[32], abyY[32];
        ASSERT_EQ(1, _SM2_generate_keypair(abyD, abyX, abyY));
        morv::OsslPtr<EVP_PKEY> pKey(smk::NewSm2PKey(abyD, abyX, abyY));
        morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new_from_pkey(smk::LibCtx(), pKey.get(), nullptr));
        ASSERT_TRUE(pCtx);
        ASSERT_EQ(1, EVP_PKEY_encrypt_init(pCtx.get()));
        Mapped msg(FIRST_TOO_LONG + 1), out(FIRST_TOO_LONG + 512);
        ASSERT_TRUE(msg.pby && out.pby);
        size_t nOut = 0;
        EXPECT_NE(1, EVP_PKEY_encrypt(pCtx.get(), nullptr, &nOut, msg.pby, msg.nSize));
        nOut = out.nSize;
        EXPECT_NE(1, EVP_PKEY_encrypt(pCtx.get(), out.pby, &nOut, msg.pby, msg.nSize));
        // The longest message still answers its size query.
        EXPECT_EQ(1, EVP_PKEY_encrypt(pCtx.get(), nullptr, &nOut, msg.pby, SM2_MAX_MESSAGE));
        EXPECT_GT(nOut, (size_t)SM2_MAX_MESSAGE + SM2_CIPHER_OVERHEAD);
    }
    EXPECT_EQ(VOMU_OK, SMKernelUninitialize());
}

}  // namespace
