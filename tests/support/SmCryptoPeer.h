#ifndef MORV_TESTS_SM_CRYPTO_PEER_H
#define MORV_TESTS_SM_CRYPTO_PEER_H

// npm sm-crypto as a peer of our SM2 (run through node with sm_crypto_peer.js), installed
// under the build tree on first use; the test is skipped when npm cannot provide it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Sm2TestUtil.h"
#include "TestFiles.h"

namespace smtest {

// The sm-crypto release the tests are written against: installed exactly, so a new release
// on the registry cannot change what the interoperability tests compare with.
inline const char kSmCryptoVersion[] = "0.5.8";

// npm sm-crypto under the build tree; false when npm or node cannot provide it.
inline bool InstallSmCrypto(std::string& moduleDir)
{
    const std::string prefix = std::string(MORV_BINARY_DIR) + "/npm";
    moduleDir = prefix + "/node_modules/sm-crypto";
    const std::string versionLine = std::string("\"version\": \"") + kSmCryptoVersion + "\"";
    if (support::ReadText(moduleDir + "/package.json").find(versionLine) != std::string::npos)
        return true;
    const std::string cmd = "cd '" + std::string(MORV_BINARY_DIR) +
                            "' && flock npm.lock timeout 180 npm install --prefix '" + prefix +
                            "' --no-audit --no-fund --save-exact sm-crypto@" + kSmCryptoVersion +
                            " >npm-install.log";
    return 0 == support::RunCommand(cmd) &&
           support::ReadText(moduleDir + "/package.json").find(versionLine) != std::string::npos;
}

// Runs the peer script over the request lines; its answer lines.
inline std::vector<std::string> RunSmCrypto(const std::string& moduleDir, const std::string& request)
{
    support::TempFile input(Bytes(request.begin(), request.end()));
    if (input.Path().empty()) return {};
    // Answer lines only: node's own warnings stay out of them.
    const std::string cmd = "(node '" + std::string(MORV_SOURCE_DIR) +
                            "/tests/support/sm_crypto_peer.js' '" + moduleDir + "' '" +
                            input.Path() + "' 2>/dev/null)";
    std::string all;
    support::RunCommand(cmd, &all);
    std::vector<std::string> lines;
    std::istringstream in(all);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// Signatures of nSignatures random messages and nCiphers ciphertexts, in both directions.
inline void SmCryptoInterop(int kSignatures, int kCiphers)
{
    std::string moduleDir;
    if (0 != std::system("node --version >/dev/null 2>&1") || !InstallSmCrypto(moduleDir))
        GTEST_SKIP() << "npm sm-crypto unavailable (npm unreachable or node missing); see npm-install.log";
    std::mt19937_64 rng(99);
    PeerKey key;
    ASSERT_TRUE(PeerKeygen(key));
    std::string request = "K " + ToHex(key.d, 32) + " 04" + ToHex(key.x, 32) + ToHex(key.y, 32) + "\n";
    std::vector<Bytes> msgs;
    for (int i = 0; i < kSignatures; ++i) {
        msgs.push_back(RandomMessage(rng));
        const std::string m = ToHex(msgs.back().data(), msgs.back().size());
        Bytes sig = OurSignDer(key, msgs.back());
        request += "V " + m + " " + ToHex(sig.data(), sig.size()) + "\nS " + m + "\n";
    }
    // sm-crypto does not draw a new k when its key stream comes out all zero (a 1-byte message
    // meets that once in 256), and our decryption must refuse such a ciphertext: what it
    // encrypts is at least 16 bytes long.
    std::vector<Bytes> cipherMsgs;
    for (int i = 0; i < kCiphers; ++i) {
        cipherMsgs.push_back(msgs[(size_t)i]);
        if (cipherMsgs.back().size() < 16) cipherMsgs.back().resize(16, 0x5a);
        const Bytes& msg = cipherMsgs.back();
        Bytes c = OurEncrypt(key, msg);
        request += "E " + ToHex(msg.data(), msg.size()) + "\nD " + ToHex(msg.data(), msg.size()) + " " +
                   ToHex(c.data(), c.size()) + "\n";
    }
    std::vector<std::string> answer = RunSmCrypto(moduleDir, request);
    ASSERT_EQ((size_t)(2 * kSignatures + 2 * kCiphers), answer.size());
    for (int i = 0; i < kSignatures; ++i) {
        EXPECT_EQ("V 1", answer[(size_t)(2 * i)]) << "sm-crypto refused our signature " << i;
        const std::string& s = answer[(size_t)(2 * i + 1)];
        ASSERT_EQ("S ", s.substr(0, 2));
        EXPECT_EQ(1, OurVerifyDer(key, msgs[(size_t)i], FromHex(s.substr(2)))) << "sm-crypto signature " << i;
    }
    for (int i = 0; i < kCiphers; ++i) {
        const std::string& e = answer[(size_t)(2 * kSignatures + 2 * i)];
        const std::string& d = answer[(size_t)(2 * kSignatures + 2 * i + 1)];
        ASSERT_EQ("E ", e.substr(0, 2));
        Bytes plain;
        ASSERT_EQ(1, OurDecrypt(key, FromHex("04" + e.substr(2)), plain)) << "sm-crypto ciphertext " << i;
        const Bytes& msg = cipherMsgs[(size_t)i];
        EXPECT_EQ(msg, plain);
        EXPECT_EQ("D " + ToHex(msg.data(), msg.size()), d) << "our ciphertext " << i;
    }
}

}  // namespace smtest

#endif
