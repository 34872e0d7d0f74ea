#ifndef MORV_TESTS_SM2_PEER_H
#define MORV_TESTS_SM2_PEER_H

// OpenSSL 3's own SM2 in the default library context, the independent peer of our SM2,
// plus the DER SM2Cipher form OpenSSL reads and writes (GM/T 0009: SEQUENCE { x INTEGER,
// y INTEGER, hash OCTET STRING, ciphertext OCTET STRING }).
#include <cstring>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include "DerTestUtil.h"
#include "OsslPtr.h"
#include "SmPeer.h"

namespace smtest {

const char kDefaultId[] = "1234567812345678";

struct PeerKey {
    morv::OsslPtr<EVP_PKEY> pkey;
    unsigned char d[32], x[32], y[32];
};

// A fresh SM2 key from OpenSSL with its private scalar and public coordinates as fields.
inline bool PeerKeygen(PeerKey& key)
{
    key.pkey.reset(EVP_PKEY_Q_keygen(NULL, NULL, "SM2"));
    BIGNUM* d = NULL;
    unsigned char pub[65];
    size_t nPub = 0;
    bool ok = key.pkey && 1 == EVP_PKEY_get_bn_param(key.pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) &&
              32 == BN_bn2binpad(d, key.d, 32) &&
              1 == EVP_PKEY_get_octet_string_param(key.pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof(pub), &nPub) &&
              65 == nPub && 0x04 == pub[0];
    BN_clear_free(d);
    if (ok) {
        memcpy(key.x, pub + 1, 32);
        memcpy(key.y, pub + 33, 32);
    }
    return ok;
}

// A digest context for SM2 with SM3 and the default identity. The EVP_PKEY_CTX stays ours
// (EVP_MD_CTX_set_pkey_ctx) and outlives the digest context (members die in reverse order).
struct PeerDigest {
    morv::OsslPtr<EVP_PKEY_CTX> pctx;
    morv::OsslPtr<EVP_MD_CTX> mctx;
    PeerDigest(EVP_PKEY* pkey, bool sign)
        : pctx(EVP_PKEY_CTX_new_from_pkey(NULL, pkey, NULL)), mctx(EVP_MD_CTX_new())
    {
        if (!pctx || !mctx || 1 != EVP_PKEY_CTX_set1_id(pctx.get(), kDefaultId, 16)) {
            mctx.reset();
            return;
        }
        EVP_MD_CTX_set_pkey_ctx(mctx.get(), pctx.get());
        int ok = sign ? EVP_DigestSignInit_ex(mctx.get(), NULL, "SM3", NULL, NULL, pkey, NULL)
                      : EVP_DigestVerifyInit_ex(mctx.get(), NULL, "SM3", NULL, NULL, pkey, NULL);
        if (1 != ok) mctx.reset();
    }
};

// 1 valid, 0 invalid, negative on error (OpenSSL's answer as it is).
inline int PeerVerify(EVP_PKEY* pkey, const Bytes& msg, const Bytes& der)
{
    PeerDigest peer(pkey, false);
    if (!peer.mctx) return -1;
    return EVP_DigestVerify(peer.mctx.get(), der.data(), der.size(), msg.data(), msg.size());
}

inline Bytes PeerSign(EVP_PKEY* pkey, const Bytes& msg)
{
    PeerDigest peer(pkey, true);
    Bytes sig(128);
    size_t n = sig.size();
    bool ok = peer.mctx && 1 == EVP_DigestSign(peer.mctx.get(), sig.data(), &n, msg.data(), msg.size());
    sig.resize(ok ? n : 0);
    return sig;
}

// OpenSSL's SM2 encryption or decryption (DER SM2Cipher); empty on failure.
inline Bytes PeerCipher(EVP_PKEY* pkey, const Bytes& in, bool encrypt)
{
    morv::OsslPtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(NULL, pkey, NULL));
    size_t n = 0;
    if (!ctx || 1 != (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())))
        return Bytes();
    auto run = [&](unsigned char* out) {
        return encrypt ? EVP_PKEY_encrypt(ctx.get(), out, &n, in.data(), in.size())
                       : EVP_PKEY_decrypt(ctx.get(), out, &n, in.data(), in.size());
    };
    if (1 != run(NULL)) return Bytes();
    Bytes out(n);
    if (1 != run(out.data())) return Bytes();
    out.resize(n);
    return out;
}

// Minimal DER INTEGER content of a big-endian unsigned field.
inline Bytes DerIntegerContent(const unsigned char* p, size_t n)
{
    size_t i = 0;
    while (i + 1 < n && 0 == p[i]) ++i;
    Bytes v;
    if (p[i] & 0x80) v.push_back(0);
    v.insert(v.end(), p + i, p + n);
    return v;
}

// 04 || x || y || C2 || C3 as DER SM2Cipher.
inline Bytes RawToSm2CipherDer(const Bytes& raw)
{
    using dertest::Cat;
    using dertest::Tlv;
    const size_t nMsg = raw.size() - 97;
    return Tlv(0x30, Cat({Tlv(0x02, DerIntegerContent(raw.data() + 1, 32)),
                          Tlv(0x02, DerIntegerContent(raw.data() + 33, 32)),
                          Tlv(0x04, Bytes(raw.begin() + 65 + nMsg, raw.end())),
                          Tlv(0x04, Bytes(raw.begin() + 65, raw.begin() + 65 + nMsg))}));
}

// DER SM2Cipher back to 04 || x || y || C2 || C3, read with OpenSSL's ASN.1 decoder.
inline Bytes Sm2CipherDerToRaw(const Bytes& der)
{
    const unsigned char* p = der.data();
    ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(NULL, &p, (long)der.size());
    Bytes raw;
    if (seq && 4 == sk_ASN1_TYPE_num(seq)) {
        raw.push_back(0x04);
        for (int i = 0; i < 2; ++i) {
            BIGNUM* bn = ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, NULL);
            unsigned char field[32];
            BN_bn2binpad(bn, field, 32);
            BN_free(bn);
            raw.insert(raw.end(), field, field + 32);
        }
        const ASN1_OCTET_STRING* c3 = sk_ASN1_TYPE_value(seq, 2)->value.octet_string;
        const ASN1_OCTET_STRING* c2 = sk_ASN1_TYPE_value(seq, 3)->value.octet_string;
        raw.insert(raw.end(), ASN1_STRING_get0_data(c2), ASN1_STRING_get0_data(c2) + ASN1_STRING_length(c2));
        raw.insert(raw.end(), ASN1_STRING_get0_data(c3), ASN1_STRING_get0_data(c3) + ASN1_STRING_length(c3));
    }
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return raw;
}

}  // namespace smtest

#endif
