// SM3 digests of data and files with and without the Z value, against the openssl CLI:
// `openssl dgst -sm3` for the digests, cli_z_value.sh for Z (from the CLI's printout of the
// curve parameters and the certificate's key), `openssl dgst -sign` / `pkeyutl -verify` for
// signatures over SM3(Z || M).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "DataSigning.h"
#include "HandOver.h"
#include "SMKernel.h"
#include "SigningPeer.h"
#include "vomu_result.h"

using peer::Bytes;
using peer::TempFile;
using namespace signpeer;

namespace {

class Sm3ZTest : public KernelTest {};

// The public coordinates of a certificate fixture, read by the CLI.
struct CertKey {
    Bytes x, y;
};

CertKey CliCertKey(const std::string& certPem)
{
    const std::string pub = Cli("openssl x509 -in " + Quote(certPem) +
                                " -noout -pubkey | openssl pkey -pubin -noout -text | "
                                "awk '/^pub:/ {f=1; next} /^[A-Za-z]/ {f=0} f' | tr -d ' :\\n' | tail -c 128");
    const Bytes xy = peer::FromHex(pub);
    EXPECT_EQ(64u, xy.size()) << certPem;
    if (xy.size() != 64) return {Bytes(32), Bytes(32)};
    return {Bytes(xy.begin(), xy.begin() + 32), Bytes(xy.begin() + 32, xy.end())};
}

std::string OurHash(const Bytes& msg, const CertKey* pKey, bool bWithZ)
{
    unsigned char abyHash[32];
    EXPECT_EQ(VOMU_OK, CalculateSM3Hash(msg.data(), (int)msg.size(), pKey ? pKey->x.data() : NULL,
                                        pKey ? pKey->y.data() : NULL, abyHash, bWithZ));
    return HexLower(abyHash, 32);
}

// ---- plain SM3 ----

// Expected values: `openssl dgst -sm3` of the same bytes; sizes around the 16,384-byte block.
TEST_F(Sm3ZTest, DataAndFileDigestsEqualOpenSSLAtEveryBlockBoundary)
{
    for (size_t n : {0u, 1u, 16383u, 16384u, 16385u, 32768u, 100000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes msg = Message(n);
        TempFile file(msg);
        const std::string expected = CliSm3OfFile(file.Path());
        EXPECT_EQ(expected, (OurHash(msg, NULL, false)));

        OpenStream in(file.Path());
        ASSERT_TRUE(in.fp);
        unsigned char abyHash[32];
        // The whole-file digest starts at the first byte wherever the stream stood.
        fseek(in.fp, (long)(n / 2), SEEK_SET);
        ASSERT_EQ(VOMU_OK, CalculateSM3FileHashEx(in.fp, NULL, NULL, abyHash, false));
        EXPECT_EQ(expected, HexLower(abyHash, 32));
        EXPECT_EQ((long)n, ftell(in.fp));

        // The counted digest reads from the stream's position and stops behind the count.
        const size_t nSkip = n / 3;
        fseek(in.fp, (long)nSkip, SEEK_SET);
        ASSERT_EQ(VOMU_OK, CalculateSM3FileHash(in.fp, n - nSkip - n / 5, NULL, NULL, abyHash, false));
        EXPECT_EQ(CliSm3OfPipe("tail -c +" + std::to_string(nSkip + 1) + " " + Quote(file.Path()) +
                               " | head -c " + std::to_string(n - nSkip - n / 5)),
                  HexLower(abyHash, 32));
        EXPECT_EQ((long)(n - n / 5), ftell(in.fp));
    }
}

// ---- the Z value ----

// Z from the CLI for the default identity and another one; two keys, one with a leading zero
// byte in x (the field must stay 32 bytes wide).
TEST_F(Sm3ZTest, ZValueEqualsTheOneBuiltFromTheCurveParameters)
{
    for (const char* pszCert : {"sm2/ee_sign.pem", "sm2/ee_x00.pem"}) {
        SCOPED_TRACE(pszCert);
        const std::string cert = PkiPath(pszCert);
        const CertKey key = CliCertKey(cert);
        unsigned char abyZ[32];
        ASSERT_EQ(1, SM2_CalculateZValue((const unsigned char*)"1234567812345678", 16, key.x.data(),
                                         key.y.data(), abyZ));
        EXPECT_EQ(CliZValue(cert), HexLower(abyZ, 32));
        const std::string other = "ALICE123@YAHOO.COM";
        ASSERT_EQ(1, SM2_CalculateZValue((const unsigned char*)other.data(), (int)other.size(),
                                         key.x.data(), key.y.data(), abyZ));
        EXPECT_EQ(CliZValue(cert, other), HexLower(abyZ, 32));
    }
    // ENTL counts the identity's bits in two bytes: 8191 bytes is the longest identity.
    const std::string cert = PkiPath("sm2/ee_sign.pem");
    const CertKey key = CliCertKey(cert);
    unsigned char abyZ[32];
    const std::string longest(8191, 'Z');
    ASSERT_EQ(1, SM2_CalculateZValue((const unsigned char*)longest.data(), 8191, key.x.data(), key.y.data(), abyZ));
    EXPECT_EQ(CliZValue(cert, longest), HexLower(abyZ, 32));
    const std::string tooLong(8192, 'Z');
    EXPECT_EQ(0, SM2_CalculateZValue((const unsigned char*)tooLong.data(), 8192, key.x.data(), key.y.data(), abyZ));
}

// SM3(Z || M) of data and files equals `openssl dgst -sm3` over the CLI's Z followed by M;
// the empty message gives SM3(Z).
TEST_F(Sm3ZTest, DigestWithZEqualsOpenSSLOverZAndMessage)
{
    const std::string cert = PkiPath("sm2/ee_sign.pem");
    const CertKey key = CliCertKey(cert);
    const std::string z = CliZValue(cert);
    for (size_t n : {0u, 1u, 16384u, 16385u, 100000u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes msg = Message(n);
        TempFile file(msg);
        const std::string expected =
            CliSm3OfPipe("{ printf " + z + " | xxd -r -p; cat " + Quote(file.Path()) + "; }");
        EXPECT_EQ(expected, (OurHash(msg, &key, true)));
        OpenStream in(file.Path());
        unsigned char abyHash[32];
        ASSERT_EQ(VOMU_OK, CalculateSM3FileHashEx(in.fp, key.x.data(), key.y.data(), abyHash, true));
        EXPECT_EQ(expected, HexLower(abyHash, 32));
        rewind(in.fp);
        ASSERT_EQ(VOMU_OK, CalculateSM3FileHash(in.fp, n, key.x.data(), key.y.data(), abyHash, true));
        EXPECT_EQ(expected, HexLower(abyHash, 32));
    }
}

// The digest with Z is what OpenSSL signs: its signature (standard ID) verifies over our
// digest with `openssl pkeyutl -verify`, which takes the digest as it is.
TEST_F(Sm3ZTest, DigestWithZVerifiesAnOpenSSLSignature)
{
    const std::string cert = PkiPath("sm2/ee_sign.pem");
    const CertKey key = CliCertKey(cert);
    const Bytes msg = Message(16385);
    TempFile file(msg), sig, digest, pub;
    Cli("openssl dgst -sm3 -sign " + Quote(PkiPath("sm2/ee_sign.key")) + " -sigopt " + kDistId +
        " -out " + Quote(sig.Path()) + " " + Quote(file.Path()));
    Cli("openssl x509 -in " + Quote(cert) + " -noout -pubkey -out " + Quote(pub.Path()));
    const auto verify = [&](const std::string& hex) {
        EXPECT_TRUE(peer::WriteFileBytes(digest.Path(), peer::FromHex(hex)));
        return CliStatus("openssl pkeyutl -verify -pubin -inkey " + Quote(pub.Path()) + " -in " +
                         Quote(digest.Path()) + " -sigfile " + Quote(sig.Path()));
    };
    EXPECT_EQ(0, verify(OurHash(msg, &key, true)));
    EXPECT_NE(0, verify(OurHash(msg, &key, false)));
}

// ---- refusals ----

TEST_F(Sm3ZTest, ShortFilesAndMissingArgumentsAreRefusedWithoutADigest)
{
    const CertKey key = CliCertKey(PkiPath("sm2/ee_sign.pem"));
    TempFile file(Message(16385));
    OpenStream in(file.Path());
    unsigned char abyHash[32];
    memset(abyHash, 0xA5, sizeof(abyHash));
    const Bytes untouched(abyHash, abyHash + 32);
    // A count beyond the end, in the final piece and in a full block.
    EXPECT_EQ(VOMU_E_READ_FILE, CalculateSM3FileHash(in.fp, 16386, NULL, NULL, abyHash, false));
    rewind(in.fp);
    EXPECT_EQ(VOMU_E_READ_FILE, CalculateSM3FileHash(in.fp, 40000, NULL, NULL, abyHash, false));
    fseek(in.fp, 10, SEEK_SET);
    EXPECT_EQ(VOMU_E_READ_FILE, CalculateSM3FileHash(in.fp, 16385, key.x.data(), key.y.data(), abyHash, true));
    EXPECT_EQ(untouched, Bytes(abyHash, abyHash + 32));

    EXPECT_EQ(VOMU_E_INVALID_ARG, CalculateSM3FileHash(NULL, 1, NULL, NULL, abyHash, false));
    EXPECT_EQ(VOMU_E_INVALID_ARG, CalculateSM3FileHashEx(NULL, NULL, NULL, abyHash, false));
    EXPECT_EQ(VOMU_E_INVALID_ARG, CalculateSM3Hash((const unsigned char*)"a", 1, NULL, NULL, NULL, false));
    EXPECT_EQ(VOMU_E_INVALID_ARG, CalculateSM3Hash((const unsigned char*)"a", 1, NULL, key.y.data(), abyHash, true));
    EXPECT_EQ(VOMU_E_INVALID_ARG, CalculateSM3Hash((const unsigned char*)"a", -1, NULL, NULL, abyHash, false));
    EXPECT_EQ(VOMU_E_FAIL, CalculateSM3Hash(NULL, 5, NULL, NULL, abyHash, false));
    EXPECT_EQ(untouched, Bytes(abyHash, abyHash + 32));
    EXPECT_EQ(0, SM2_CalculateZValue(NULL, 16, key.x.data(), key.y.data(), abyHash));
    EXPECT_EQ(0, SM2_CalculateZValue((const unsigned char*)"id", 2, NULL, key.y.data(), abyHash));

    // A stream without a size (a pipe) has no whole-file digest.
    FILE* fpPipe = popen("printf abc", "r");
    ASSERT_TRUE(fpPipe);
    EXPECT_EQ(VOMU_E_FAIL, CalculateSM3FileHashEx(fpPipe, NULL, NULL, abyHash, false));
    pclose(fpPipe);
}

}  // namespace
