#ifndef MORV_TESTS_OPERATIONS_SIGNING_PEER_H
#define MORV_TESTS_OPERATIONS_SIGNING_PEER_H

// The openssl CLI as the peer of the SM2 signing operations: digests, Z values computed from
// the curve parameters and a certificate's public key, signatures made and checked with the
// standard user ID. Files come from tests/data/pki (see its README).
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ecdsa.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "OpenSSLPeer.h"
#include "SMKernel.h"
#include "vomu_result.h"

namespace signpeer {

using peer::Bytes;

const char kPassword[] = "Fixture-SM2-2020";
const char kSM3OID[] = "1.2.156.10197.1.401";
const char kSM2SignOID[] = "1.2.156.10197.1.301.1";

// Every suite of these tests runs with the kernel started.
class KernelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
};
const char kDistId[] = "distid:1234567812345678";

inline std::string PkiPath(const std::string& name)
{
    return std::string(MORV_TEST_DATA_DIR) + "/pki/" + name;
}

// Lower-case hex, the CLI's way of printing digests.
inline std::string HexLower(const unsigned char* p, size_t n) { return support::HexText(p, n, false); }

// An SM2 key file of the fixtures (sm2pfx/<name>.b64).
inline std::string KeyFile(const std::string& name) { return PkiPath("sm2pfx/" + name + ".b64"); }

// The first n bytes (at most 102,400) of the keystream message fixture.
inline Bytes Message(size_t n)
{
    Bytes all = peer::ReadFileBytes(PkiPath("msg_102400.bin"));
    EXPECT_GE(all.size(), n);
    all.resize(n);
    return all;
}

inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

// The command's output with trailing white space removed; a failing command fails the test.
inline std::string Cli(const std::string& command)
{
    std::string out;
    const int status = peer::RunCommand(command, &out);
    EXPECT_EQ(0, status) << command << "\n" << out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out;
}

// Exit status of a command whose output does not matter.
inline int CliStatus(const std::string& command) { return peer::RunCommand(command); }

// Lower-case hex of `openssl dgst -sm3` over a file (or over a shell pipeline's output).
inline std::string CliSm3OfFile(const std::string& path)
{
    return Cli("openssl dgst -sm3 -r " + Quote(path) + " | cut -d' ' -f1");
}

inline std::string CliSm3OfPipe(const std::string& pipeline)
{
    return Cli(pipeline + " | openssl dgst -sm3 -r | cut -d' ' -f1");
}

// Z of the certificate's public key for an identity, hex, computed by cli_z_value.sh from the
// CLI's printout of the curve parameters and of the key.
inline std::string CliZValue(const std::string& certPem, const std::string& id = "1234567812345678")
{
    return Cli("bash " + Quote(std::string(MORV_SOURCE_DIR) + "/tests/operations/cli_z_value.sh") +
               " " + Quote(certPem) + " " + Quote(id));
}

// One fact of tests/data/pki/expected.txt (the CLI's view of the fixtures): the value of key
// in section [id]; empty when absent.
inline std::string Fact(const std::string& id, const std::string& key)
{
    static const std::map<std::string, std::string> s_facts = [] {
        std::map<std::string, std::string> facts;
        std::ifstream in(PkiPath("expected.txt"));
        std::string line, section;
        while (std::getline(in, line)) {
            if (line.size() > 2 && '[' == line[0] && ']' == line.back())
                section = line.substr(1, line.size() - 2);
            else if (line.find('=') != std::string::npos)
                facts[section + "\n" + line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
        return facts;
    }();
    auto it = s_facts.find(id + "\n" + key);
    return it == s_facts.end() ? std::string() : it->second;
}

using peer::DerToRs;
using peer::RsToDer;

// The public key of a certificate fixture as a PEM file.
class PublicKeyFile {
public:
    explicit PublicKeyFile(const std::string& certPem)
    {
        Cli("openssl x509 -in " + Quote(certPem) + " -noout -pubkey -out " + Quote(m_file.Path()));
    }
    const std::string& Path() const { return m_file.Path(); }

private:
    peer::TempFile m_file;
};

// `openssl dgst -sm3 -verify` with the standard ID: the DER signature over SM3(Z || message
// file's bytes).
inline bool CliVerifiesWithZ(const PublicKeyFile& pub, const std::string& msgPath, const Bytes& der)
{
    peer::TempFile sig(der);
    return 0 == CliStatus("openssl dgst -sm3 -verify " + Quote(pub.Path()) + " -sigopt " + kDistId +
                          " -signature " + Quote(sig.Path()) + " " + Quote(msgPath));
}

// `openssl pkeyutl -verify` over SM3(message) computed beforehand by `openssl dgst -sm3`.
inline bool CliVerifiesWithoutZ(const PublicKeyFile& pub, const std::string& msgPath, const Bytes& der)
{
    peer::TempFile sig(der), digest;
    Cli("openssl dgst -sm3 -binary -out " + Quote(digest.Path()) + " " + Quote(msgPath));
    return 0 == CliStatus("openssl pkeyutl -verify -pubin -inkey " + Quote(pub.Path()) + " -in " +
                          Quote(digest.Path()) + " -sigfile " + Quote(sig.Path()));
}

// A stream over a file, closed when the object goes.
struct OpenStream {
    explicit OpenStream(const std::string& path, const char* pszMode = "rb")
        : fp(fopen(path.c_str(), pszMode)) {}
    ~OpenStream() { if (fp) fclose(fp); }
    OpenStream(const OpenStream&) = delete;
    OpenStream& operator=(const OpenStream&) = delete;
    FILE* fp;
};

}  // namespace signpeer

#endif
