#ifndef MORV_TESTS_CIPHER_PEER_H
#define MORV_TESTS_CIPHER_PEER_H

// The openssl CLI as the peer of the symmetric and envelope tests: `openssl enc` with the
// legacy provider for RC4 and 3DES, files in a temporary directory.
#include <openssl/objects.h>

#include <cstdio>
#include <string>

#include "OpenSSLPeer.h"
#include "TestBytes.h"
#include "operations/DataEncryption.h"
#include "SMObjects.h"
#include "vomu_result.h"

namespace cipherpeer {

using peer::Bytes;

// Message bytes that differ at every offset of a block.
inline Bytes Message(size_t n)
{
    Bytes m(n);
    for (size_t i = 0; i < n; ++i) m[i] = (unsigned char)(i * 131 + (i >> 8) + 7);
    return m;
}

// A cipher as our numbers and the CLI's name know it.
struct Cipher {
    int nNID;
    const char* pszEncName;
    size_t nKeySize;
    size_t nIVSize;
    size_t nBlockSize;  // 1 for the stream cipher
};

inline const Cipher kRC4 = {NID_rc4, "rc4", 16, 0, 1};
inline const Cipher kDes3Ecb = {NID_des_ede3_ecb, "des-ede3", 24, 0, 8};
inline const Cipher kDes3Cbc = {NID_des_ede3_cbc, "des-ede3-cbc", 24, 8, 8};
inline const Cipher kSm4Cbc = {NID_ChinaSM4_CBC, "sm4-cbc", 16, 16, 16};

inline const Bytes kKey24 = peer::FromHex("00112233445566778899aabbccddeeff0123456789abcdef");
inline const Bytes kIV16 = peer::FromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f");

inline Bytes KeyFor(const Cipher& c) { return Bytes(kKey24.begin(), kKey24.begin() + c.nKeySize); }
inline Bytes IVFor(const Cipher& c) { return Bytes(kIV16.begin(), kIV16.begin() + c.nIVSize); }

// `openssl enc` of a file into another; true when the CLI succeeds.
inline bool EncFile(const Cipher& c, const Bytes& key, const Bytes& iv, bool bDecrypt,
                    const std::string& in, const std::string& out)
{
    std::string cmd = "openssl enc -" + std::string(c.pszEncName) + (bDecrypt ? " -d" : " -e") +
                      " -K " + peer::Hex(key) + (iv.empty() ? "" : " -iv " + peer::Hex(iv)) +
                      " -provider legacy -provider default -in '" + in + "' -out '" + out + "'";
    return 0 == peer::RunCommand(cmd);
}

// The same over bytes; sets *pbOk false when the CLI fails.
inline Bytes Enc(const Cipher& c, const Bytes& key, const Bytes& iv, bool bDecrypt,
                 const Bytes& in, bool* pbOk)
{
    peer::TempFile fin(in), fout;
    *pbOk = EncFile(c, key, iv, bDecrypt, fin.Path(), fout.Path());
    return fout.Read();
}

using support::Take;

}  // namespace cipherpeer

#endif
