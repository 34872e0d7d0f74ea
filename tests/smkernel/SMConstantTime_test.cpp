// Secrets marked undefined for valgrind's memcheck while the kernel signs, decrypts and
// SM4-encrypts: memcheck then reports every conditional jump and every memory address that
// depends on them. Run natively these are plain known-answer checks; the ctest entry
// sm_constant_time runs them under memcheck (SMConstantTime.cmake), and
// sm_constant_time_sees_tables shows that the check catches a table indexed by secrets.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include <valgrind/memcheck.h>

#include <openssl/crypto.h>

#include "SM2.h"
#include "SM2P256.h"
#include "SM3.h"
#include "SM4.h"
#include "SM4Internal.h"

namespace {

template <class T>
void Secret(T* p, size_t n)
{
    VALGRIND_MAKE_MEM_UNDEFINED(p, n);
}

// A result that leaves the constant-time code and may be branched on.
template <class T>
void Public(T* p, size_t n)
{
    VALGRIND_MAKE_MEM_DEFINED(p, n);
}

// The field's forms to check: the portable C, and MULX/ADX where it can run (memcheck runs
// it, though its CPU does not show ADX).
std::vector<bool> FieldForms()
{
    std::vector<bool> forms = {false};
#if defined(__x86_64__) && defined(__GNUC__)
    if (RUNNING_ON_VALGRIND || smk::sm2p256::HaveAdx()) forms.push_back(true);
#endif
    return forms;
}

// Runs body once per field form, then restores the process's choice.
template <class F>
void ForEachFieldForm(const F& body)
{
#if defined(__x86_64__) && defined(__GNUC__)
    const bool bSaved = smk::sm2p256::g_bUseAdx;
    for (bool bAdx : FieldForms()) {
        SCOPED_TRACE(bAdx ? "MULX/ADX" : "portable");
        smk::sm2p256::g_bUseAdx = bAdx;
        body();
    }
    smk::sm2p256::g_bUseAdx = bSaved;
#else
    body();
#endif
}

const unsigned char kD[32] = {0x39, 0x45, 0x20, 0x8f, 0x7b, 0x21, 0x44, 0xb1, 0x3f, 0x36, 0xe3, 0x8a, 0xc6, 0xd3, 0x9f, 0x95,
                              0x88, 0x93, 0x93, 0x69, 0x28, 0x60, 0xb5, 0x1a, 0x42, 0xfb, 0x81, 0xef, 0x4d, 0xf7, 0xc5, 0xb8};
const unsigned char kK[32] = {0x59, 0x27, 0x6e, 0x27, 0xd5, 0x06, 0x86, 0x1a, 0x16, 0x68, 0x0f, 0x3a, 0xd9, 0xc0, 0x2d, 0xcc,
                              0xef, 0x3c, 0xc1, 0xfa, 0x3c, 0xdb, 0xe4, 0xce, 0x6d, 0x54, 0xb8, 0x0d, 0xea, 0xc1, 0xbc, 0x21};

// Signing with d and k secret; with bKeptInverse the key's (1 + d)^-1 is worked out first and
// signed with, as a key that signs many times does.
void Sm2SignWithSecretKeyAndNonce(bool bKeptInverse)
{
    unsigned char e[32], d[32], k[32], inv[32], r[32], s[32], pub[64];
    memset(e, 0xa5, sizeof(e));
    memcpy(d, kD, 32);
    memcpy(k, kK, 32);
    ASSERT_EQ(1, smk::sm2p256::MulToFields(d, NULL, NULL, pub));
    Secret(d, sizeof(d));
    Secret(k, sizeof(k));
    int nCode = 1;
    if (bKeptInverse) {
        nCode = smk::sm2p256::SignInverse(d, inv);
        Public(&nCode, sizeof(nCode));
        ASSERT_EQ(1, nCode);
        nCode = smk::sm2p256::SignWithInverse(e, d, inv, k, r, s);
    } else {
        nCode = smk::sm2p256::Sign(e, d, k, r, s);
    }
    Public(&nCode, sizeof(nCode));
    Public(r, sizeof(r));
    Public(s, sizeof(s));
    ASSERT_EQ(1, nCode);
    EXPECT_EQ(1, smk::sm2p256::Verify(e, r, s, pub, pub + 32));
}

TEST(ConstantTime, Sm2SignWithSecretKeyAndNonce)
{
    ForEachFieldForm([] { Sm2SignWithSecretKeyAndNonce(false); });
}

TEST(ConstantTime, Sm2SignWithKeptInverse)
{
    ForEachFieldForm([] { Sm2SignWithSecretKeyAndNonce(true); });
}

// The decryption's secret steps on bytes: [d]C1, the key stream, the plaintext and the
// check of C3 (the BIGNUM form of d around them is OpenSSL's).
void Sm2DecryptWithSecretKey()
{
    const char kMsg[] = "a message for the constant-time decryption";
    const unsigned nLen = sizeof(kMsg) - 1;
    unsigned char d[32], pub[64], abyCipher[SM2_CIPHER_OVERHEAD + sizeof(kMsg)];
    memcpy(d, kD, 32);
    ASSERT_EQ(1, smk::sm2p256::MulToFields(d, NULL, NULL, pub));
    BIGNUM* x = BN_bin2bn(pub, 32, NULL);
    BIGNUM* y = BN_bin2bn(pub + 32, 32, NULL);
    ASSERT_EQ(1, _SM2_encrypt(NID_prime256v1SM2, (const unsigned char*)kMsg, (int)nLen, x, y, abyCipher));
    BN_free(x);
    BN_free(y);

    Secret(d, sizeof(d));
    unsigned char xy[64], abyT[sizeof(kMsg)], abyU[32];
    int nFinite = smk::sm2p256::MulToFields(d, abyCipher + 1, abyCipher + 33, xy);
    Public(&nFinite, sizeof(nFinite));
    ASSERT_EQ(1, nFinite);
    ASSERT_EQ(1, _SM2_KDF(xy, 64, 8 * nLen, abyT));
    for (unsigned i = 0; i < nLen; ++i)
        abyT[i] ^= abyCipher[65 + i];
    SM3_CTX ctx;
    SM3_Init(&ctx);
    SM3_Update(&ctx, xy, 32);
    SM3_Update(&ctx, abyT, nLen);
    SM3_Update(&ctx, xy + 32, 32);
    SM3_Final(abyU, &ctx);
    int nDiff = CRYPTO_memcmp(abyU, abyCipher + 65 + nLen, 32);
    Public(&nDiff, sizeof(nDiff));
    Public(abyT, nLen);
    EXPECT_EQ(0, nDiff);
    EXPECT_EQ(0, memcmp(kMsg, abyT, nLen));
}

TEST(ConstantTime, Sm2DecryptWithSecretKey) { ForEachFieldForm(Sm2DecryptWithSecretKey); }

// Key schedule, CBC encryption (chained and one block per call) and decryption with the
// key and the plaintext secret, on one SM4 path.
void Sm4WithSecretKey(int path)
{
    unsigned char key[16], plain[16 * 40], iv[16] = {7}, ivOne[16] = {7}, out[sizeof(plain)], one[16], back[sizeof(plain)];
    for (size_t i = 0; i < sizeof(key); ++i) key[i] = (unsigned char)(i * 29 + 3);
    for (size_t i = 0; i < sizeof(plain); ++i) plain[i] = (unsigned char)(i * 7);
    unsigned char want[sizeof(plain)];
    {   // the expected bytes, with nothing secret, on the portable path
        uint32_t k[4], rk[SM4_ROUNDS];
        unsigned char ivWant[16] = {7};
        smk::SM4_SelectPath(smk::SM4_PATH_PORTABLE);
        smk::SM4_LoadWords(key, k);
        smk::_SM4_ExtendKey(k, rk);
        smk::SM4_cbc_encrypt_blocks(plain, sizeof(plain), rk, ivWant, want, 1);
    }
    ASSERT_EQ(path, smk::SM4_SelectPath(path));
    Secret(key, sizeof(key));
    Secret(plain, sizeof(plain));
    uint32_t k[4], rk[SM4_ROUNDS], rkDec[SM4_ROUNDS];
    smk::SM4_LoadWords(key, k);
    smk::_SM4_ExtendKey(k, rk);
    smk::SM4_cbc_encrypt_blocks(plain, sizeof(plain), rk, iv, out, 1);
    SM4_cbc_encrypt(plain, rk, ivOne, one, 1);
    memcpy(rkDec, rk, sizeof(rk));
    smk::_SM4_InvertRoundKey(rkDec);
    unsigned char ivBack[16] = {7};
    smk::SM4_cbc_encrypt_blocks(out, sizeof(out), rkDec, ivBack, back, 0);
    Public(out, sizeof(out));
    Public(one, sizeof(one));
    Public(back, sizeof(back));
    Public(plain, sizeof(plain));
    OPENSSL_cleanse(rk, sizeof(rk));
    OPENSSL_cleanse(rkDec, sizeof(rkDec));
    EXPECT_EQ(0, memcmp(want, out, sizeof(out)));
    EXPECT_EQ(0, memcmp(want, one, 16));
    EXPECT_EQ(0, memcmp(plain, back, sizeof(back)));
}

TEST(ConstantTime, Sm4WithSecretKeyOnEveryConstantTimePath)
{
    int nPaths = 0;
    for (int path : {smk::SM4_PATH_AESNI, smk::SM4_PATH_GFNI}) {
        if (path != smk::SM4_SelectPath(path)) continue;  // this CPU (or valgrind's) lacks it
        SCOPED_TRACE(path);
        ++nPaths;
        Sm4WithSecretKey(path);
    }
    smk::SM4_SelectPath(smk::SM4_PATH_GFNI);
    if (RUNNING_ON_VALGRIND) {
        EXPECT_LT(0, nPaths) << "the check must see a constant-time path";
    }
    if (0 == nPaths) GTEST_SKIP() << "no constant-time SM4 path on this CPU";
}

// The portable path's tables are indexed by the secret state: under memcheck this one must
// be reported (sm_constant_time_sees_tables expects the failure).
TEST(ConstantTime, TablePathIsSeen)
{
    Sm4WithSecretKey(smk::SM4_PATH_PORTABLE);
    smk::SM4_SelectPath(smk::SM4_PATH_GFNI);
}

}  // namespace
