#ifndef MORV_TESTS_OPENSSL_PEER_H
#define MORV_TESTS_OPENSSL_PEER_H

// OpenSSL 3 as the independent peer of the format tests: its SM2 in the DEFAULT library
// context, its DER codecs and the openssl CLI.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "DerTestUtil.h"
#include "OsslPtr.h"
#include "TestFiles.h"

namespace peer {

using support::Bytes;

inline const char kSM2DefaultId[] = "1234567812345678";

using support::ReadFileBytes;
using support::RunCommand;
using support::TempDir;
using support::TempFile;
using support::WriteFileBytes;

// A fresh SM2 key made by OpenSSL in the default library context.
inline morv::OsslPtr<EVP_PKEY> NewSM2Key()
{
    return morv::OsslPtr<EVP_PKEY>(EVP_PKEY_Q_keygen(NULL, NULL, "SM2"));
}

// SM2 signature over SM3(Z || msg) with the standard ID: DER SEQUENCE { r, s }.
inline Bytes SM2Sign(EVP_PKEY* pKey, const Bytes& msg)
{
    // The key context outlives the digest context, which only borrows it.
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new(pKey, NULL));
    morv::OsslPtr<EVP_MD_CTX> pMdCtx(EVP_MD_CTX_new());
    if (!pMdCtx || !pCtx ||
        EVP_PKEY_CTX_set1_id(pCtx.get(), kSM2DefaultId, sizeof kSM2DefaultId - 1) <= 0)
        return Bytes();
    EVP_MD_CTX_set_pkey_ctx(pMdCtx.get(), pCtx.get());
    size_t nSig = 0;
    if (EVP_DigestSignInit(pMdCtx.get(), NULL, EVP_sm3(), NULL, pKey) != 1 ||
        EVP_DigestSign(pMdCtx.get(), NULL, &nSig, msg.data(), msg.size()) != 1)
        return Bytes();
    Bytes sig(nSig);
    if (EVP_DigestSign(pMdCtx.get(), sig.data(), &nSig, msg.data(), msg.size()) != 1) return Bytes();
    sig.resize(nSig);
    return sig;
}

inline bool SM2Verify(EVP_PKEY* pKey, const Bytes& msg, const unsigned char* pbySig, size_t nSig)
{
    // The key context outlives the digest context, which only borrows it.
    morv::OsslPtr<EVP_PKEY_CTX> pCtx(EVP_PKEY_CTX_new(pKey, NULL));
    morv::OsslPtr<EVP_MD_CTX> pMdCtx(EVP_MD_CTX_new());
    if (!pMdCtx || !pCtx ||
        EVP_PKEY_CTX_set1_id(pCtx.get(), kSM2DefaultId, sizeof kSM2DefaultId - 1) <= 0)
        return false;
    EVP_MD_CTX_set_pkey_ctx(pMdCtx.get(), pCtx.get());
    return EVP_DigestVerifyInit(pMdCtx.get(), NULL, EVP_sm3(), NULL, pKey) == 1 &&
           EVP_DigestVerify(pMdCtx.get(), pbySig, nSig, msg.data(), msg.size()) == 1;
}

// A PEM private key file read by OpenSSL into pLibCtx (its default context unless given);
// null when it cannot be read.
inline morv::OsslPtr<EVP_PKEY> ReadPemKey(const std::string& path, OSSL_LIB_CTX* pLibCtx = NULL)
{
    morv::OsslPtr<BIO> pBio(BIO_new_file(path.c_str(), "r"));
    return morv::OsslPtr<EVP_PKEY>(pBio ? PEM_read_bio_PrivateKey_ex(pBio.get(), NULL, NULL, NULL, pLibCtx, NULL)
                                        : NULL);
}

// A PEM certificate file read by OpenSSL in its default context; null when it cannot be read.
inline morv::OsslPtr<X509> ReadPemCert(const std::string& path)
{
    morv::OsslPtr<BIO> pBio(BIO_new_file(path.c_str(), "r"));
    return morv::OsslPtr<X509>(pBio ? PEM_read_bio_X509(pBio.get(), NULL, NULL, NULL) : NULL);
}

// r || s (64 octets, each half BN_bn2binpad) of a DER ECDSA-Sig-Value, by OpenSSL's decoder;
// empty when it does not decode or a half does not fit.
inline Bytes DerToRs(const Bytes& der)
{
    const unsigned char* p = der.data();
    morv::OsslPtr<ECDSA_SIG> pSig(d2i_ECDSA_SIG(NULL, &p, (long)der.size()));
    Bytes rs(64);
    if (!pSig || 32 != BN_bn2binpad(ECDSA_SIG_get0_r(pSig.get()), rs.data(), 32) ||
        32 != BN_bn2binpad(ECDSA_SIG_get0_s(pSig.get()), rs.data() + 32, 32))
        return Bytes();
    return rs;
}

// r || s as DER ECDSA-Sig-Value by OpenSSL's encoder (minimal INTEGERs); empty unless 64 octets.
inline Bytes RsToDer(const Bytes& rs)
{
    morv::OsslPtr<ECDSA_SIG> pSig(ECDSA_SIG_new());
    if (rs.size() != 64 || !pSig ||
        1 != ECDSA_SIG_set0(pSig.get(), BN_bin2bn(rs.data(), 32, NULL), BN_bin2bn(rs.data() + 32, 32, NULL)))
        return Bytes();
    return dertest::ByOpenSSL(i2d_ECDSA_SIG, pSig.get());
}

// `openssl cms -decrypt` of an envelope file with the recipient's certificate and key: the
// content; *pbOk tells whether the CLI opened it, *pLog holds what it printed.
inline Bytes CmsDecrypt(const std::string& envPath, const std::string& recipientPem,
                        const std::string& recipientKey, bool* pbOk, std::string* pLog = nullptr)
{
    TempFile out;
    *pbOk = 0 == RunCommand("openssl cms -decrypt -binary -inform DER -in '" + envPath + "' -recip '" +
                                recipientPem + "' -inkey '" + recipientKey + "' -out '" + out.Path() + "'",
                            pLog);
    return out.Read();
}

// `openssl cms -encrypt -binary -outform DER <options>` of a file for a certificate: the DER,
// empty when the CLI fails (*pLog holds what it printed).
inline Bytes CmsEncryptFile(const std::string& options, const std::string& inPath,
                            const std::string& certPem, std::string* pLog = nullptr)
{
    TempFile out;
    if (0 != RunCommand("openssl cms -encrypt -binary -outform DER " + options + " -in '" + inPath +
                            "' -out '" + out.Path() + "' '" + certPem + "'",
                        pLog))
        return Bytes();
    return out.Read();
}

using support::FromHex;
using support::Hex;

}  // namespace peer

#endif
