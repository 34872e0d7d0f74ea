#ifndef MORV_TESTS_RSA_TEST_UTIL_H
#define MORV_TESTS_RSA_TEST_UTIL_H

// Shared pieces of the RSA operation tests: the fixtures of tests/data/pki, messages of any
// length, streams that close themselves and the openssl CLI as the peer.
#include <string>

#include "OpenSSLPeer.h"
#include "PkiFixtures.h"

namespace rsatest {

using peer::Bytes;

using support::kP12Password;
using support::Pki;

// n bytes that differ from block to block (a repeated block would hide a lost piece).
inline Bytes Message(size_t n, unsigned seed = 1)
{
    Bytes msg(n);
    unsigned x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        msg[i] = (unsigned char)(x >> 16);
    }
    return msg;
}

using support::OpenFile;

// The bytes an openssl CLI command writes to "-out <file>" (put between its options and its
// input files); empty when it fails.
inline Bytes CliOutput(const std::string& options, const std::string& inputs = "",
                       std::string* pLog = nullptr)
{
    peer::TempFile out;
    std::string log;
    const int status = peer::RunCommand(options + " -out " + out.Path() + " " + inputs, &log);
    if (pLog) *pLog = log;
    return 0 == status ? out.Read() : Bytes();
}

inline const std::string kSigner = "-signer " + Pki("rsa/ee_sign.pem") + " -inkey " + Pki("rsa/ee_sign.key");

// `openssl smime -sign -binary -outform DER` of a file with the given further options.
inline Bytes SmimeSign(const std::string& options, const std::string& path, const std::string& signer = kSigner)
{
    return CliOutput("openssl smime -sign -binary -outform DER " + signer + " " + options +
                     " -in " + path);
}

// `openssl dgst -<name> -binary` of a file.
inline Bytes CliDigest(const std::string& name, const std::string& path)
{
    return CliOutput("openssl dgst -" + name + " -binary", path);
}

// A PKCS#12 of a key and certificate (modern defaults) made by the CLI, password kP12Password.
class CliPkcs12 {
public:
    CliPkcs12(const std::string& key, const std::string& cert)
    {
        m_ok = 0 == peer::RunCommand("openssl pkcs12 -export -inkey " + key + " -in " + cert +
                                     " -passout pass:" + kP12Password + " -out " + m_file.Path());
    }
    bool Ok() const { return m_ok; }
    const std::string& Path() const { return m_file.Path(); }

private:
    peer::TempFile m_file;
    bool m_ok = false;
};

}  // namespace rsatest

#endif
