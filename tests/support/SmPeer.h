#ifndef MORV_TESTS_SM_PEER_H
#define MORV_TESTS_SM_PEER_H

// OpenSSL 3's own SM3 and SM4 in the default library context: the independent peer that
// our kernel is compared with.
#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "DerTestUtil.h"
#include "OsslPtr.h"

namespace smtest {

using Bytes = std::vector<unsigned char>;

using dertest::FromHex;

inline std::string ToHex(const unsigned char* p, size_t n) { return dertest::HexText(p, n, false); }

inline Bytes RandomBytes(std::mt19937_64& rng, size_t n)
{
    Bytes out(n);
    for (auto& b : out)
        b = (unsigned char)rng();
    return out;
}

// OpenSSL's SM3 of data; an empty string when the peer is unavailable.
inline std::string PeerSm3(const unsigned char* data, size_t len)
{
    morv::OsslPtr<EVP_MD> md(EVP_MD_fetch(NULL, "SM3", NULL));
    morv::OsslPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!md || !ctx || 1 != EVP_DigestInit_ex(ctx.get(), md.get(), NULL) ||
        1 != EVP_DigestUpdate(ctx.get(), data, len) || 1 != EVP_DigestFinal_ex(ctx.get(), out, &n))
        return "";
    return ToHex(out, n);
}

// OpenSSL's SM4-CBC without padding over whole blocks; empty on failure.
inline Bytes PeerSm4Cbc(const Bytes& in, const unsigned char key[16], const unsigned char iv[16],
                        int enc)
{
    morv::OsslPtr<EVP_CIPHER> cipher(EVP_CIPHER_fetch(NULL, "SM4-CBC", NULL));
    morv::OsslPtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    Bytes out(in.size() + 16);
    int n = 0, nFinal = 0;
    if (!cipher || !ctx || 1 != EVP_CipherInit_ex(ctx.get(), cipher.get(), NULL, key, iv, enc) ||
        1 != EVP_CIPHER_CTX_set_padding(ctx.get(), 0) ||
        1 != EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), (int)in.size()) ||
        1 != EVP_CipherFinal_ex(ctx.get(), out.data() + n, &nFinal))
        return Bytes();
    out.resize((size_t)(n + nFinal));
    return out;
}

}  // namespace smtest

#endif
