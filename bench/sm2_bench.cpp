// SM2 signing and verification per second: ours (Z, SM3 and the signature, DER out) next to
// OpenSSL 3's SM2 in the default provider (EVP_DigestSign/Verify with the default identity),
// both over the same 64-byte message and key, in the same run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include "OsslPtr.h"
#include "SM2.h"
#include "SM3.h"

using morv::OsslPtr;

namespace {

const char kId[] = "1234567812345678";

struct Key {
    OsslPtr<EVP_PKEY> pkey;
    unsigned char d[32], x[32], y[32];
};

bool MakeKey(Key& key)
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

// Rates of two operations measured in alternating slices, so load from other processes on
// the machine falls on both alike.
struct Rates {
    double ours, theirs;
};

Rates PerSecond(const std::function<bool()>& ours, const std::function<bool()>& theirs)
{
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < 50; ++i) ours(), theirs();   // warm-up: groups, tables, fetches
    double aSeconds[2] = {0, 0};
    long aOps[2] = {0, 0};
    const std::function<bool()>* apOps[2] = {&ours, &theirs};
    for (int slice = 0; slice < 16; ++slice) {
        for (int which = 0; which < 2; ++which) {
            const Clock::time_point start = Clock::now();
            for (int i = 0; i < 50; ++i)
                if (!(*apOps[which])()) return Rates{-1, -1};
            aSeconds[which] += std::chrono::duration<double>(Clock::now() - start).count();
            aOps[which] += 50;
        }
    }
    return Rates{aOps[0] / aSeconds[0], aOps[1] / aSeconds[1]};
}

void DigestE(const Key& key, const unsigned char* msg, size_t len, unsigned char e[32])
{
    unsigned char z[32];
    SM3_CTX ctx;
    _SM2_CalculateDefaultZValue(key.x, key.y, z);
    SM3_Init(&ctx);
    SM3_Update(&ctx, z, 32);
    SM3_Update(&ctx, msg, len);
    SM3_Final(e, &ctx);
}

bool OurSign(const Key& key, const unsigned char* msg, size_t len, unsigned char* der, int* pnDer)
{
    unsigned char e[32];
    DigestE(key, msg, len, e);
    OsslPtr<BIGNUM> bnE(BN_bin2bn(e, 32, NULL)), bnD(BN_bin2bn(key.d, 32, NULL));
    OsslPtr<ECDSA_SIG> sig(_SM2_sign(bnE.get(), bnD.get(), NID_prime256v1SM2));
    unsigned char* p = der;
    return sig && (*pnDer = i2d_ECDSA_SIG(sig.get(), &p)) > 0;
}

bool OurVerify(const Key& key, const unsigned char* msg, size_t len, const unsigned char* der, int nDer)
{
    unsigned char e[32];
    DigestE(key, msg, len, e);
    const unsigned char* p = der;
    OsslPtr<ECDSA_SIG> sig(d2i_ECDSA_SIG(NULL, &p, nDer));
    OsslPtr<BIGNUM> bnE(BN_bin2bn(e, 32, NULL)), x(BN_bin2bn(key.x, 32, NULL)), y(BN_bin2bn(key.y, 32, NULL));
    return sig && 1 == _SM2_verify(sig.get(), x.get(), y.get(), bnE.get(), NID_prime256v1SM2);
}

// One EVP round as an ordinary caller makes it: a new digest context with the identity.
bool TheirRound(EVP_PKEY* pkey, bool sign, const unsigned char* msg, size_t len, unsigned char* sig, size_t* pnSig)
{
    OsslPtr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_pkey(NULL, pkey, NULL));
    OsslPtr<EVP_MD_CTX> mctx(EVP_MD_CTX_new());
    if (!pctx || !mctx || 1 != EVP_PKEY_CTX_set1_id(pctx.get(), kId, 16)) return false;
    EVP_MD_CTX_set_pkey_ctx(mctx.get(), pctx.get());
    if (sign)
        return 1 == EVP_DigestSignInit_ex(mctx.get(), NULL, "SM3", NULL, NULL, pkey, NULL) &&
               1 == EVP_DigestSign(mctx.get(), sig, pnSig, msg, len);
    return 1 == EVP_DigestVerifyInit_ex(mctx.get(), NULL, "SM3", NULL, NULL, pkey, NULL) &&
           1 == EVP_DigestVerify(mctx.get(), sig, *pnSig, msg, len);
}

}  // namespace

int main()
{
    Key key;
    if (!MakeKey(key)) return fprintf(stderr, "no SM2 key from OpenSSL\n"), 1;
    unsigned char msg[64];
    memset(msg, 'm', sizeof(msg));
    unsigned char ourSig[80], theirSig[80];
    int nOurSig = 0;
    size_t nTheirSig = sizeof(theirSig);
    if (!OurSign(key, msg, sizeof(msg), ourSig, &nOurSig) ||
        !TheirRound(key.pkey.get(), true, msg, sizeof(msg), theirSig, &nTheirSig))
        return fprintf(stderr, "signing failed\n"), 1;

    const Rates sign = PerSecond([&] { int n; return OurSign(key, msg, sizeof(msg), ourSig, &n); },
                                 [&] {
                                     size_t n = sizeof(theirSig);
                                     return TheirRound(key.pkey.get(), true, msg, sizeof(msg), theirSig, &n);
                                 });
    // A fresh signature for the verification rounds (the signing rounds reused the buffer).
    if (!OurSign(key, msg, sizeof(msg), ourSig, &nOurSig)) return 1;
    const Rates verify = PerSecond([&] { return OurVerify(key, msg, sizeof(msg), ourSig, nOurSig); },
                                   [&] {
                                       size_t n = (size_t)nOurSig;
                                       return TheirRound(key.pkey.get(), false, msg, sizeof(msg), ourSig, &n);
                                   });
    printf("SM2 sign   (64-byte message, Z + SM3 + signature): ours %9.0f/s  OpenSSL %9.0f/s  ratio %.2f\n",
           sign.ours, sign.theirs, sign.ours / sign.theirs);
    printf("SM2 verify (64-byte message, Z + SM3 + check):     ours %9.0f/s  OpenSSL %9.0f/s  ratio %.2f\n",
           verify.ours, verify.theirs, verify.ours / verify.theirs);
    const double ourSign = sign.ours, theirSign = sign.theirs, ourVerify = verify.ours, theirVerify = verify.theirs;
    return (ourSign > 0 && theirSign > 0 && ourVerify > 0 && theirVerify > 0) ? 0 : 1;
}
