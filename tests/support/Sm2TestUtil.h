#ifndef MORV_TESTS_SM2_TEST_UTIL_H
#define MORV_TESTS_SM2_TEST_UTIL_H

// Our side of the SM2 interoperability tests: sign, verify, encrypt and decrypt whole
// messages with the default identity, in the forms the peers use.
#include <gtest/gtest.h>

#include <random>

#include "DerTestUtil.h"
#include "SM2.h"
#include "SM3.h"
#include "Sm2Peer.h"

namespace smtest {

// e = SM3(Z || M) with our Z of the default identity.
inline Bytes DigestWithZ(const unsigned char* x, const unsigned char* y, const Bytes& msg)
{
    unsigned char z[32], e[32];
    SM3_CTX ctx;
    EXPECT_EQ(1, _SM2_CalculateDefaultZValue(x, y, z));
    SM3_Init(&ctx);
    SM3_Update(&ctx, z, 32);
    SM3_Update(&ctx, msg.data(), msg.size());
    SM3_Final(e, &ctx);
    return Bytes(e, e + 32);
}

// Our signature of msg as DER ECDSA-Sig-Value.
inline Bytes OurSignDer(const PeerKey& key, const Bytes& msg)
{
    Bytes e = DigestWithZ(key.x, key.y, msg);
    unsigned char r[32], s[32];
    if (1 != _SM2_sign_ex(e.data(), key.d, r, s)) return Bytes();
    morv::OsslPtr<ECDSA_SIG> sig(ECDSA_SIG_new());
    ECDSA_SIG_set0(sig.get(), BN_bin2bn(r, 32, NULL), BN_bin2bn(s, 32, NULL));
    return dertest::ByOpenSSL(i2d_ECDSA_SIG, sig.get());
}

inline int OurVerifyDer(const PeerKey& key, const Bytes& msg, const Bytes& der)
{
    const unsigned char* p = der.data();
    morv::OsslPtr<ECDSA_SIG> sig(d2i_ECDSA_SIG(NULL, &p, (long)der.size()));
    if (!sig) return -1;
    Bytes e = DigestWithZ(key.x, key.y, msg);
    unsigned char r[32], s[32];
    _SM2_GetBNBytes(ECDSA_SIG_get0_r(sig.get()), r);
    _SM2_GetBNBytes(ECDSA_SIG_get0_s(sig.get()), s);
    return _SM2_verify_ex(r, s, key.x, key.y, e.data());
}

inline Bytes OurEncrypt(const PeerKey& key, const Bytes& msg)
{
    morv::OsslPtr<BIGNUM> x(BN_bin2bn(key.x, 32, NULL)), y(BN_bin2bn(key.y, 32, NULL));
    Bytes out(msg.size() + 97);
    return 1 == _SM2_encrypt(NID_prime256v1SM2, msg.data(), (int)msg.size(), x.get(), y.get(), out.data()) ? out
                                                                                                      : Bytes();
}

// 1 and the message, or 0 and what the output buffer holds afterwards.
inline int OurDecrypt(const PeerKey& key, const Bytes& in, Bytes& out)
{
    morv::OsslPtr<BIGNUM> d(BN_bin2bn(key.d, 32, NULL));
    out.assign(in.size() > 97 ? in.size() - 97 : 1, 0xA5);
    return _SM2_decrypt(NID_prime256v1SM2, in.data(), (unsigned)in.size(), d.get(), out.data());
}

inline Bytes RandomMessage(std::mt19937_64& rng)
{
    return RandomBytes(rng, 1 + rng() % 300);
}

}  // namespace smtest

#endif
