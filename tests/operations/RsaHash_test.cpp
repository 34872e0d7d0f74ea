// Digests by hash number against `openssl dgst`, the SignerInfo identifiers against OpenSSL's
// object table, and the memory a file digest needs.
#include <gtest/gtest.h>

#include <openssl/objects.h>
#include <openssl/provider.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "LogCapture.h"
#include "RSADataSigning.h"
#include "RsaTestUtil.h"
#include "SMKernel.h"
#include "SMObjects.h"
#include "vomu_result.h"

using peer::Bytes;
using rsatest::OpenFile;

namespace {

class RsaHash : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(VOMU_OK, SMKernelInitialize()); }
};

struct HashRow {
    int nNid;
    const char* pszCliName;
    int nSize;
};

const HashRow kHashes[] = {
    {NID_md5, "md5", 16},       {NID_sha1, "sha1", 20},     {NID_sha256, "sha256", 32},
    {NID_sha384, "sha384", 48}, {NID_sha512, "sha512", 64}, {NID_ChinaSM3, "sm3", 32},
};

// Around the 16,384-byte piece the file road reads.
const size_t kSizes[] = {0, 1, 16383, 16384, 16385, 100000};

Bytes DataHash(const Bytes& msg, int nNid)
{
    unsigned char* pbyHash = nullptr;
    int nHashSize = -1;
    if (VOMU_OK != CalculateDataHash(msg.data(), (int)msg.size(), nNid, &pbyHash, &nHashSize))
        return Bytes{0xEE};
    Bytes out(pbyHash, pbyHash + nHashSize);
    delete[] pbyHash;
    return out;
}

Bytes FileHash(FILE* fp, int nNid, int* pnResult = nullptr)
{
    unsigned char* pbyHash = nullptr;
    int nHashSize = -1;
    const int nResult = CalculateFileHash(fp, nNid, &pbyHash, &nHashSize);
    if (pnResult) *pnResult = nResult;
    if (VOMU_OK != nResult) return Bytes{0xEE};
    Bytes out(pbyHash, pbyHash + nHashSize);
    delete[] pbyHash;
    return out;
}

// Expected values: `openssl dgst -<name> -binary` of the same bytes (SM3 from OpenSSL's own
// implementation, not ours). The file road starts from the first byte whatever the stream's
// position, so the stream is left mid-file first.
TEST_F(RsaHash, DataAndFileDigestsEqualOpensslDgst)
{
    for (size_t nSize : kSizes) {
        const Bytes msg = rsatest::Message(nSize, (unsigned)nSize);
        peer::TempFile file(msg);
        for (const HashRow& row : kHashes) {
            SCOPED_TRACE(std::string(row.pszCliName) + " over " + std::to_string(nSize));
            const Bytes expected = rsatest::CliDigest(row.pszCliName, file.Path());
            ASSERT_EQ((size_t)row.nSize, expected.size());
            EXPECT_EQ(peer::Hex(expected), peer::Hex(DataHash(msg, row.nNid)));
            OpenFile in(file.Path());
            ASSERT_EQ(0, fseek(in.Get(), (long)(nSize / 2), SEEK_SET));
            EXPECT_EQ(peer::Hex(expected), peer::Hex(FileHash(in.Get(), row.nNid)));
        }
    }
}

// Numbers outside the table, among them 895 (SM3's number in older crypto libraries, another
// algorithm now) and 5, never reach the library.
TEST_F(RsaHash, NumbersOutsideTheTableAreRefused)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    const Bytes msg = rsatest::Message(10);
    peer::TempFile file(msg);
    for (int nNid : {5, 895, NID_sha224, NID_undef, -1}) {
        SCOPED_TRACE(nNid);
        EVP_MD* pMD = reinterpret_cast<EVP_MD*>(0x1);
        EXPECT_EQ(VOMU_E_BAD_HASH_ALG, GetEVPMDbyNID(nNid, &pMD));
        EXPECT_EQ(reinterpret_cast<EVP_MD*>(0x1), pMD);
        unsigned char* pbyHash = nullptr;
        int nHashSize = -7;
        EXPECT_EQ(VOMU_E_BAD_HASH_ALG, CalculateDataHash(msg.data(), 10, nNid, &pbyHash, &nHashSize));
        OpenFile in(file.Path());
        EXPECT_EQ(VOMU_E_BAD_HASH_ALG, CalculateFileHash(in.Get(), nNid, &pbyHash, &nHashSize));
        EXPECT_EQ(nullptr, pbyHash);
        EXPECT_EQ(-7, nHashSize);
    }
    EXPECT_TRUE(log.Contains("Unsupported hash algorithm NID:5"));
    EXPECT_FALSE(log.Contains("Hash algorithm:"));
}

TEST_F(RsaHash, DigestMethodIsTheKernelsAndLogsItsName)
{
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    EVP_MD* pMD = nullptr;
    ASSERT_EQ(VOMU_OK, GetEVPMDbyNID(NID_ChinaSM3, &pMD));
    EXPECT_STREQ(smk::PROVIDER_NAME, OSSL_PROVIDER_get0_name(EVP_MD_get0_provider(pMD)));
    EVP_MD_free(pMD);
    ASSERT_EQ(VOMU_OK, GetEVPMDbyNID(NID_sha384, &pMD));
    EXPECT_EQ(48, EVP_MD_get_size(pMD));
    EVP_MD_free(pMD);
    EXPECT_TRUE(log.Contains("Hash algorithm:SM3"));
    EXPECT_TRUE(log.Contains("Hash algorithm:SHA384"));
}

TEST_F(RsaHash, StreamsThatCannotBeReadWholeAreRefused)
{
    unsigned char* pbyHash = nullptr;
    int nHashSize = 0;
    EXPECT_EQ(VOMU_E_INVALID_ARG, CalculateFileHash(nullptr, NID_sha256, &pbyHash, &nHashSize));
    // Write-only: the size is known, the read fails.
    peer::TempFile file(rsatest::Message(100));
    {
        OpenFile out(file.Path(), "ab");
        EXPECT_EQ(VOMU_E_READ_FILE, CalculateFileHash(out.Get(), NID_sha256, &pbyHash, &nHashSize));
    }
    // A pipe has no size.
    FILE* fpPipe = popen("echo abc", "r");
    ASSERT_NE(nullptr, fpPipe);
    EXPECT_EQ(VOMU_E_FAIL, CalculateFileHash(fpPipe, NID_sha256, &pbyHash, &nHashSize));
    pclose(fpPipe);
    EXPECT_EQ(nullptr, pbyHash);
    const unsigned char by = 0;
    EXPECT_EQ(VOMU_E_INVALID_ARG, CalculateDataHash(&by, -1, NID_sha256, &pbyHash, &nHashSize));
    EXPECT_EQ(VOMU_E_INVALID_ARG, CalculateDataHash(nullptr, 1, NID_sha256, &pbyHash, &nHashSize));
}

// Expected identifiers from OpenSSL's object table: the digest's own OID and the
// WithRSAEncryption signature OID that pairs it with rsaEncryption. SHA-1 keeps
// rsaEncryption even when exact (stored signatures carry it).
TEST_F(RsaHash, SignerInfoIdentifiersFollowOpenSSLsObjectTable)
{
    auto oidText = [](int nNid) {
        char sz[128] = {0};
        OBJ_obj2txt(sz, sizeof sz, OBJ_nid2obj(nNid), 1);
        return std::string(sz);
    };
    const std::string rsaEncryption = oidText(NID_rsaEncryption);
    for (const HashRow& row : kHashes) {
        if (NID_ChinaSM3 == row.nNid) continue;
        int nSigNid = NID_undef;
        ASSERT_EQ(1, OBJ_find_sigid_by_algs(&nSigNid, row.nNid, NID_rsaEncryption));
        const std::string exact = NID_sha1 == row.nNid ? rsaEncryption : oidText(nSigNid);
        for (bool bExact : {true, false}) {
            SCOPED_TRACE(std::string(row.pszCliName) + (bExact ? " exact" : " not exact"));
            morv_test::LogCapture log;
            ASSERT_TRUE(log.Ok());
            char* pszDigestAlg = nullptr;
            char* pszDigestEncAlg = nullptr;
            ASSERT_EQ(VOMU_OK, GetAlgOIDbyHashNID(row.nNid, &pszDigestAlg, &pszDigestEncAlg, bExact));
            EXPECT_EQ(oidText(row.nNid), pszDigestAlg);
            EXPECT_EQ(bExact ? exact : rsaEncryption, pszDigestEncAlg);
            EXPECT_EQ(!bExact, log.Contains("User defines unaccurate digest encryption algorithm"));
            delete[] pszDigestAlg;
            delete[] pszDigestEncAlg;
        }
    }
    morv_test::LogCapture log;
    ASSERT_TRUE(log.Ok());
    char* pszDigestAlg = nullptr;
    char* pszDigestEncAlg = nullptr;
    EXPECT_EQ(VOMU_E_BAD_HASH_ALG, GetAlgOIDbyHashNID(NID_ChinaSM3, &pszDigestAlg, &pszDigestEncAlg, false));
    EXPECT_EQ(VOMU_E_BAD_HASH_ALG, GetAlgOIDbyHashNID(5, &pszDigestAlg, &pszDigestEncAlg, true));
    EXPECT_EQ(nullptr, pszDigestAlg);
    EXPECT_EQ(nullptr, pszDigestEncAlg);
    EXPECT_TRUE(log.Contains("ERROR The algorithm is not supported"));
}

// Peak resident memory of one operation over a file, measured in a fresh child so that each
// figure starts from the same state; -1 when the child fails.
long PeakKiBOf(void (*operation)(const std::string&, bool*), const std::string& path)
{
    int fds[2];
    if (0 != pipe(fds)) return -1;
    const pid_t pid = fork();
    if (0 == pid) {
        close(fds[0]);
        bool bOk = false;
        operation(path, &bOk);
        struct rusage usage = {};
        getrusage(RUSAGE_SELF, &usage);
        long nPeak = bOk ? usage.ru_maxrss : -1;
        const bool bWritten = sizeof nPeak == write(fds[1], &nPeak, sizeof nPeak);
        _exit(bWritten ? 0 : 1);
    }
    close(fds[1]);
    long nPeak = -1;
    if (sizeof nPeak != read(fds[0], &nPeak, sizeof nPeak)) nPeak = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return nPeak;
}

void HashFile(const std::string& path, bool* pbOk)
{
    OpenFile in(path);
    int nResult = -1;
    FileHash(in.Get(), NID_ChinaSM3, &nResult);
    *pbOk = VOMU_OK == nResult && VOMU_OK == (FileHash(in.Get(), NID_sha256, &nResult), nResult);
}

void SignFile(const std::string& path, bool* pbOk)
{
    OpenFile in(path);
    OpenFile pfx(rsatest::Pki("p12/modern.p12"));
    unsigned char* pbySignature = nullptr;
    unsigned int nSize = 0;
    *pbOk = VOMU_OK == RSA_SignFile_PKCS1_ByPFX(in.Get(), pfx.Get(), rsatest::kP12Password,
                                                NID_sha256, &pbySignature, &nSize);
    delete[] pbySignature;
}

// The file road streams: 64 MiB need no more memory than 1 MiB (within 2 MiB).
TEST_F(RsaHash, FileDigestAndSignatureMemoryDoesNotGrowWithTheFile)
{
    peer::TempFile small(rsatest::Message(1 << 20));
    peer::TempFile large;
    ASSERT_EQ(0, peer::RunCommand("head -c 67108864 /dev/urandom > " + large.Path()));
    // Warm up once here so both children inherit the same loaded state.
    bool bOk = false;
    HashFile(small.Path(), &bOk);
    SignFile(small.Path(), &bOk);
    ASSERT_TRUE(bOk);
    for (auto operation : {HashFile, SignFile}) {
        const long nSmall = PeakKiBOf(operation, small.Path());
        const long nLarge = PeakKiBOf(operation, large.Path());
        ASSERT_GT(nSmall, 0);
        ASSERT_GT(nLarge, 0);
        printf("peak resident memory of the %s: 1 MiB file %ld KiB, 64 MiB file %ld KiB\n",
               HashFile == operation ? "file digests" : "file signature", nSmall, nLarge);
        EXPECT_LE(nLarge - nSmall, 2048);
    }
}

}  // namespace
