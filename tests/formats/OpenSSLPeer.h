#ifndef MORV_TESTS_OPENSSL_PEER_H
#define MORV_TESTS_OPENSSL_PEER_H

// OpenSSL 3 as the independent peer of the format tests: its SM2 in the DEFAULT library
// context, its DER codecs and the openssl CLI.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "DerTestUtil.h"
#include "OsslPtr.h"

namespace peer {

using Bytes = std::vector<unsigned char>;

inline const char kSM2DefaultId[] = "1234567812345678";

// A whole file's bytes; empty when it cannot be read.
inline Bytes ReadFileBytes(const std::string& path)
{
    Bytes out;
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return out;
    unsigned char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(fp);
    return out;
}

// Replaces the file's content with bytes; false when opening, writing or closing fails.
inline bool WriteFileBytes(const std::string& path, const Bytes& bytes)
{
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) return false;
    const bool bWritten = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return 0 == fclose(fp) && bWritten;
}

// A temporary file removed when the object goes out of scope.
class TempFile {
public:
    explicit TempFile(const Bytes& bytes = Bytes())
    {
        char szPath[] = "/tmp/morv_formats_XXXXXX";
        const int fd = mkstemp(szPath);
        if (fd >= 0) {
            if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
                m_path.clear();
            close(fd);
            m_path = szPath;
        }
    }
    ~TempFile() { if (!m_path.empty()) unlink(m_path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& Path() const { return m_path; }
    Bytes Read() const { return ReadFileBytes(m_path); }

private:
    std::string m_path;
};

// Runs a shell command; its exit status, and its standard output in *pOutput.
inline int RunCommand(const std::string& command, std::string* pOutput = nullptr)
{
    FILE* fp = popen((command + " 2>&1").c_str(), "r");
    if (!fp) return -1;
    std::string output;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) output.append(buf, n);
    const int status = pclose(fp);
    if (pOutput) *pOutput = output;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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

inline std::string Hex(const unsigned char* p, size_t n) { return dertest::HexText(p, n, true); }
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

using dertest::FromHex;

}  // namespace peer

#endif
