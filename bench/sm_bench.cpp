// Our SM kernel against OpenSSL 3's own implementations (default provider), measured in
// the same run on the same data: SM3 and SM4-CBC throughput over 16 KiB buffers, SM2
// signatures and verifications per second (also through EVP with key objects on both sides). Each figure is the best of several interleaved
// rounds, so a noisy neighbour hurts both sides alike.
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <algorithm>
#include <functional>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include "OsslPtr.h"
#include "SM2.h"
#include "SM3.h"
#include "SM4.h"
#include "SM4Internal.h"
#include "SMKernel.h"
#include "vomu_result.h"

using morv::OsslPtr;

namespace {

constexpr size_t kBufSize = 16 * 1024;
constexpr int kSamples = 4000;

// A sample is one call over kBufSize bytes; ours and theirs alternate sample by sample and
// each side keeps its fastest, so interruptions and a noisy neighbour drop out of both.
double Seconds(const std::function<void()>& fn)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    fn();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Pair {
    double ours = 0, theirs = 0; // MB/s (10^6 bytes)
};

Pair Compare(const std::function<void()>& ours, const std::function<void()>& theirs)
{
    double bestOurs = 1e9, bestTheirs = 1e9;
    for (int i = 0; i < kSamples; ++i) {
        bestOurs = std::min(bestOurs, Seconds(ours));
        bestTheirs = std::min(bestTheirs, Seconds(theirs));
    }
    return Pair{kBufSize / bestOurs / 1e6, kBufSize / bestTheirs / 1e6};
}

// floor 0: shown for information. p holds MB/s, or operations per second with unit "/s".
void Report(const char* name, const Pair& p, double floor, const char* unit = "MB/s")
{
    const double ratio = p.ours / p.theirs;
    printf("%-22s ours %8.1f %-4s  openssl %8.1f %-4s  ratio %.3f", name, p.ours, unit, p.theirs, unit, ratio);
    if (floor > 0)
        printf("  (floor %.2f) %s", floor, ratio >= floor ? "ok" : "BELOW FLOOR");
    printf("\n");
}

unsigned char g_sink;

void BenchSm3(const std::vector<unsigned char>& buf)
{
    OsslPtr<EVP_MD> md(EVP_MD_fetch(NULL, "SM3", "provider=default"));
    OsslPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    if (!md || !ctx) {
        printf("SM3: OpenSSL's SM3 is not available\n");
        return;
    }
    unsigned char out[32];
    auto ours = [&] { SM3(buf.data(), buf.size(), out); g_sink ^= out[0]; };
    auto theirs = [&] {
        unsigned int n = 0;
        EVP_DigestInit_ex(ctx.get(), md.get(), NULL);
        EVP_DigestUpdate(ctx.get(), buf.data(), buf.size());
        EVP_DigestFinal_ex(ctx.get(), out, &n);
        g_sink ^= out[0];
    };
    // The fastest path this CPU has (the default) carries the floor; each path is shown too.
    static const char* const kNames[] = {"  SM3 portable path", "  SM3 BMI2 path", "  SM3 AVX-512 path"};
    int fastest = smk::SM3_PATH_PORTABLE;
    for (int path = smk::SM3_PATH_AVX512; path > smk::SM3_PATH_PORTABLE; --path)
        if (path == smk::SM3_SelectPath(path)) {
            fastest = path;
            break;
        }
    smk::SM3_SelectPath(fastest);
    Report("SM3", Compare(ours, theirs), 1.3);
    for (int path = smk::SM3_PATH_PORTABLE; path <= smk::SM3_PATH_AVX512; ++path)
        if (path == smk::SM3_SelectPath(path))
            Report(kNames[path], Compare(ours, theirs), 0);
    smk::SM3_SelectPath(fastest);
}

// Ours: the multi-block CBC that the library cipher uses; one SM4_cbc_encrypt per block
// is shown beside it.
void BenchSm4Cbc(std::vector<unsigned char>& buf, int enc)
{
    static const unsigned char kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned char iv[16] = {0};
    OsslPtr<EVP_CIPHER> cipher(EVP_CIPHER_fetch(NULL, "SM4-CBC", "provider=default"));
    OsslPtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx || 1 != EVP_CipherInit_ex(ctx.get(), cipher.get(), NULL, kKey, iv, enc) ||
        1 != EVP_CIPHER_CTX_set_padding(ctx.get(), 0)) {
        printf("SM4-CBC: OpenSSL's SM4-CBC is not available\n");
        return;
    }
    uint32_t k[4], rk[SM4_ROUNDS];
    smk::SM4_LoadWords(kKey, k);
    smk::_SM4_ExtendKey(k, rk);
    if (!enc)
        smk::_SM4_InvertRoundKey(rk);
    std::vector<unsigned char> out(buf.size());
    auto ours = [&] {
        for (size_t i = 0; i < buf.size(); i += SM4_BLOCK_SIZE)
            SM4_cbc_encrypt(buf.data() + i, rk, iv, out.data() + i, enc);
        g_sink ^= out[0];
    };
    auto oursBlocks = [&] {
        smk::SM4_cbc_encrypt_blocks(buf.data(), buf.size(), rk, iv, out.data(), enc);
        g_sink ^= out[0];
    };
    auto theirs = [&] {
        int n = 0;
        EVP_CipherUpdate(ctx.get(), out.data(), &n, buf.data(), (int)buf.size());
        g_sink ^= out[0];
    };
    // The fastest path this CPU has carries the floor; each path is shown too, forced in turn.
    Report(enc ? "SM4-CBC encrypt" : "SM4-CBC decrypt", Compare(oursBlocks, theirs), enc ? 1.2 : 15.0);
    Report("  one call per block", Compare(ours, theirs), 0);
    static const char* const kNames[] = {"  SM4 portable path", "  SM4 AES-NI path", "  SM4 GFNI path"};
    for (int path = smk::SM4_PATH_PORTABLE; path <= smk::SM4_PATH_GFNI; ++path)
        if (path == smk::SM4_SelectPath(path))
            Report(kNames[path], Compare(oursBlocks, theirs), 0);
    smk::SM4_SelectPath(smk::SM4_PATH_GFNI);
}


// SM2: ours (Z, SM3 and the signature, DER out) next to OpenSSL's EVP_DigestSign/Verify
// with the default identity, as an ordinary caller makes them, over the same key and
// 64-byte message.
const char kId[] = "1234567812345678";
constexpr int kSm2Slices = 40, kSm2PerSlice = 40;

struct Sm2Key {
    OsslPtr<EVP_PKEY> pkey;
    unsigned char d[32], x[32], y[32];
};

bool MakeSm2Key(Sm2Key& key)
{
    key.pkey.reset(EVP_PKEY_Q_keygen(NULL, NULL, "SM2"));
    BIGNUM* d = NULL;
    unsigned char pub[65];
    size_t n = 0;
    bool ok = key.pkey && 1 == EVP_PKEY_get_bn_param(key.pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) &&
              32 == BN_bn2binpad(d, key.d, 32) &&
              1 == EVP_PKEY_get_octet_string_param(key.pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, 65, &n) && 65 == n;
    BN_clear_free(d);
    memcpy(key.x, pub + 1, 32);
    memcpy(key.y, pub + 33, 32);
    return ok;
}

// Slices of kSm2PerSlice operations alternate between the sides; each keeps its fastest.
Pair PerSecond(const std::function<bool()>& ours, const std::function<bool()>& theirs)
{
    for (int i = 0; i < 50; ++i) ours(), theirs();   // warm-up: groups, tables, fetches
    bool ok = true;
    auto slice = [&](const std::function<bool()>& op) {
        return Seconds([&] {
            for (int i = 0; i < kSm2PerSlice; ++i) ok = op() && ok;
        });
    };
    double bestOurs = 1e9, bestTheirs = 1e9;
    for (int i = 0; i < kSm2Slices; ++i) {
        bestOurs = std::min(bestOurs, slice(ours));
        bestTheirs = std::min(bestTheirs, slice(theirs));
    }
    if (!ok) return Pair{-1, -1};
    return Pair{kSm2PerSlice / bestOurs, kSm2PerSlice / bestTheirs};
}

void DigestE(const Sm2Key& key, const unsigned char* msg, size_t len, unsigned char e[32])
{
    unsigned char z[32];
    SM3_CTX ctx;
    _SM2_CalculateDefaultZValue(key.x, key.y, z);
    SM3_Init(&ctx);
    SM3_Update(&ctx, z, 32);
    SM3_Update(&ctx, msg, len);
    SM3_Final(e, &ctx);
}

bool OurSign(const Sm2Key& key, const unsigned char* msg, size_t len, unsigned char* der, int* pnDer)
{
    unsigned char e[32];
    DigestE(key, msg, len, e);
    OsslPtr<BIGNUM> bnE(BN_bin2bn(e, 32, NULL)), bnD(BN_bin2bn(key.d, 32, NULL));
    OsslPtr<ECDSA_SIG> sig(_SM2_sign(bnE.get(), bnD.get(), NID_prime256v1SM2));
    unsigned char* p = der;
    return sig && (*pnDer = i2d_ECDSA_SIG(sig.get(), &p)) > 0;
}

bool OurVerify(const Sm2Key& key, const unsigned char* msg, size_t len, const unsigned char* der, int nDer)
{
    unsigned char e[32];
    DigestE(key, msg, len, e);
    const unsigned char* p = der;
    OsslPtr<ECDSA_SIG> sig(d2i_ECDSA_SIG(NULL, &p, nDer));
    OsslPtr<BIGNUM> bnE(BN_bin2bn(e, 32, NULL)), x(BN_bin2bn(key.x, 32, NULL)), y(BN_bin2bn(key.y, 32, NULL));
    return sig && 1 == _SM2_verify(sig.get(), x.get(), y.get(), bnE.get(), NID_prime256v1SM2);
}

// One EVP round as an ordinary caller makes it: a new digest context with the identity.
// With pLibCtx the key is one of our provider's in the kernel context.
bool EvpRound(OSSL_LIB_CTX* pLibCtx, EVP_PKEY* pkey, bool sign, const unsigned char* msg, size_t len,
              unsigned char* sig, size_t* pnSig)
{
    const char* pszProps = pLibCtx ? NULL : "provider=default";
    OsslPtr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_pkey(pLibCtx, pkey, pszProps));
    OsslPtr<EVP_MD_CTX> mctx(EVP_MD_CTX_new());
    if (!pctx || !mctx || 1 != EVP_PKEY_CTX_set1_id(pctx.get(), kId, 16)) return false;
    EVP_MD_CTX_set_pkey_ctx(mctx.get(), pctx.get());
    if (sign)
        return 1 == EVP_DigestSignInit_ex(mctx.get(), NULL, "SM3", pLibCtx, pszProps, pkey, NULL) &&
               1 == EVP_DigestSign(mctx.get(), sig, pnSig, msg, len);
    return 1 == EVP_DigestVerifyInit_ex(mctx.get(), NULL, "SM3", pLibCtx, pszProps, pkey, NULL) &&
           1 == EVP_DigestVerify(mctx.get(), sig, *pnSig, msg, len);
}

bool TheirRound(EVP_PKEY* pkey, bool sign, const unsigned char* msg, size_t len, unsigned char* sig, size_t* pnSig)
{
    return EvpRound(NULL, pkey, sign, msg, len, sig, pnSig);
}

// Both sides through EVP with a key object, ours in the kernel context: the key keeps its
// (1 + d)^-1 from loading on, as a key that signs many times does.
void BenchSm2KeyObject(const Sm2Key& key, const unsigned char* msg, size_t len)
{
    if (VOMU_OK != SMKernelInitialize()) {
        printf("SM2 key object: the kernel does not start\n");
        return;
    }
    {
        OsslPtr<EVP_PKEY> ours(smk::NewSm2PKey(key.d, key.x, key.y));
        unsigned char sig[80];
        size_t nSig = sizeof(sig), nCheck = 0;
        const bool bCross = ours && EvpRound(smk::LibCtx(), ours.get(), true, msg, len, sig, &nSig) &&
                            (nCheck = nSig, TheirRound(key.pkey.get(), false, msg, len, sig, &nCheck));
        if (!bCross) {
            printf("SM2 key object: OpenSSL does not accept our signature\n");
        } else {
            const Pair sign = PerSecond([&] {
                size_t n = sizeof(sig);
                return EvpRound(smk::LibCtx(), ours.get(), true, msg, len, sig, &n);
            }, [&] {
                size_t n = sizeof(sig);
                return TheirRound(key.pkey.get(), true, msg, len, sig, &n);
            });
            if (sign.ours < 0) printf("SM2 key object: an operation failed while measuring\n");
            else Report("SM2 sign, key object", sign, 10.0, "/s");
        }
    }
    SMKernelUninitialize();
}

// Each side verifies its own fresh signature; both are checked once by the other side first.
void BenchSm2()
{
    Sm2Key key;
    unsigned char msg[64], ourSig[80], theirSig[80];
    memset(msg, 'm', sizeof(msg));
    int nOurSig = 0;
    size_t nTheirSig = sizeof(theirSig);
    if (!MakeSm2Key(key) || !OurSign(key, msg, sizeof(msg), ourSig, &nOurSig) ||
        !TheirRound(key.pkey.get(), true, msg, sizeof(msg), theirSig, &nTheirSig)) {
        printf("SM2: no key or signature from OpenSSL's SM2\n");
        return;
    }
    size_t nCross = (size_t)nOurSig;
    if (!OurVerify(key, msg, sizeof(msg), theirSig, (int)nTheirSig) ||
        !TheirRound(key.pkey.get(), false, msg, sizeof(msg), ourSig, &nCross)) {
        printf("SM2: the two implementations do not accept each other's signatures\n");
        return;
    }
    unsigned char scratch[80];
    const Pair sign = PerSecond([&] { int n; return OurSign(key, msg, sizeof(msg), scratch, &n); },
                                [&] {
                                    size_t n = sizeof(scratch);
                                    return TheirRound(key.pkey.get(), true, msg, sizeof(msg), scratch, &n);
                                });
    const Pair verify = PerSecond([&] { return OurVerify(key, msg, sizeof(msg), ourSig, nOurSig); },
                                  [&] {
                                      size_t n = nTheirSig;
                                      return TheirRound(key.pkey.get(), false, msg, sizeof(msg), theirSig, &n);
                                  });
    if (sign.ours < 0 || verify.ours < 0) {
        printf("SM2: an operation failed while measuring\n");
        return;
    }
    Report("SM2 sign", sign, 10.0, "/s");
    Report("SM2 verify", verify, 4.0, "/s");
    BenchSm2KeyObject(key, msg, sizeof(msg));
}

// SM2 encryption and decryption of 1 KiB: ours through the BIGNUM entry points, OpenSSL's
// through EVP_PKEY_encrypt/decrypt (its DER form). Each side first opens its own once.
constexpr size_t kSm2MsgSize = 1024;

bool TheirCipher(EVP_PKEY* pkey, bool enc, const unsigned char* in, size_t nIn, unsigned char* out, size_t* pnOut)
{
    OsslPtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(NULL, pkey, "provider=default"));
    if (!ctx) return false;
    if (enc) return 1 == EVP_PKEY_encrypt_init(ctx.get()) && 1 == EVP_PKEY_encrypt(ctx.get(), out, pnOut, in, nIn);
    return 1 == EVP_PKEY_decrypt_init(ctx.get()) && 1 == EVP_PKEY_decrypt(ctx.get(), out, pnOut, in, nIn);
}

void BenchSm2Cipher()
{
    Sm2Key key;
    std::vector<unsigned char> msg(kSm2MsgSize, 'c'), ours(kSm2MsgSize + SM2_CIPHER_OVERHEAD), back(kSm2MsgSize);
    std::vector<unsigned char> theirs(kSm2MsgSize + 200), theirBack(kSm2MsgSize + 200);
    if (!MakeSm2Key(key)) {
        printf("SM2: no key from OpenSSL's SM2\n");
        return;
    }
    OsslPtr<BIGNUM> x(BN_bin2bn(key.x, 32, NULL)), y(BN_bin2bn(key.y, 32, NULL)), d(BN_bin2bn(key.d, 32, NULL));
    size_t nTheirs = theirs.size(), nBack = theirBack.size();
    auto ourEnc = [&] { return 1 == _SM2_encrypt(NID_prime256v1SM2, msg.data(), (int)msg.size(), x.get(), y.get(), ours.data()); };
    auto ourDec = [&] { return 1 == _SM2_decrypt(NID_prime256v1SM2, ours.data(), (unsigned)ours.size(), d.get(), back.data()); };
    if (!ourEnc() || !ourDec() || back != msg ||
        !TheirCipher(key.pkey.get(), true, msg.data(), msg.size(), theirs.data(), &nTheirs) ||
        !TheirCipher(key.pkey.get(), false, theirs.data(), nTheirs, theirBack.data(), &nBack) || nBack != msg.size()) {
        printf("SM2: encryption does not round-trip on one side\n");
        return;
    }
    const Pair enc = PerSecond(ourEnc, [&] {
        size_t n = theirs.size();
        return TheirCipher(key.pkey.get(), true, msg.data(), msg.size(), theirs.data(), &n);
    });
    nTheirs = theirs.size();
    TheirCipher(key.pkey.get(), true, msg.data(), msg.size(), theirs.data(), &nTheirs);
    const Pair dec = PerSecond(ourDec, [&] {
        size_t n = theirBack.size();
        return TheirCipher(key.pkey.get(), false, theirs.data(), nTheirs, theirBack.data(), &n);
    });
    if (enc.ours < 0 || dec.ours < 0) {
        printf("SM2: an operation failed while measuring\n");
        return;
    }
    Report("SM2 encrypt 1 KiB", enc, 5.0, "/s");
    Report("SM2 decrypt 1 KiB", dec, 5.0, "/s");
}

}  // namespace

int main()
{
    std::vector<unsigned char> buf(kBufSize);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = (unsigned char)(i * 131 + 7);
    printf("buffers of %zu bytes, fastest of %d interleaved calls each\n", kBufSize, kSamples);
    BenchSm3(buf);
    BenchSm4Cbc(buf, 1);
    BenchSm4Cbc(buf, 0);
    printf("SM2 over a 64-byte message with the default identity, fastest of %d interleaved slices of %d\n",
           kSm2Slices, kSm2PerSlice);
    BenchSm2();
    BenchSm2Cipher();
    return 0;
}
