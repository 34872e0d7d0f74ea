#ifndef MORV_TESTS_OPERATIONS_SIGNING_PEER_H
#define MORV_TESTS_OPERATIONS_SIGNING_PEER_H

// The openssl CLI as the peer of the SM2 signing operations: digests, Z values computed from
// the curve parameters and a certificate's public key, signatures made and checked with the
// standard user ID. Files come from tests/data/pki (see its README).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "formats/OpenSSLPeer.h"

namespace signpeer {

using peer::Bytes;

const char kPassword[] = "Fixture-SM2-2020";
const char kDistId[] = "distid:1234567812345678";

inline std::string PkiPath(const std::string& name)
{
    return std::string(MORV_TEST_DATA_DIR) + "/pki/" + name;
}

// Lower-case hex, the CLI's way of printing digests.
inline std::string HexLower(const unsigned char* p, size_t n) { return dertest::HexText(p, n, false); }

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
