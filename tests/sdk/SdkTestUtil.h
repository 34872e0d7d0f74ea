// Helpers of the SDK tests: they reach our code through MORV.h alone and use OpenSSL (default
// library context) and its CLI as the independent peer.
//
//   sdktest::Session session;              // logging to a fresh file, Initialize()
//   ASSERT_TRUE(session.Ok());
//   sdktest::Text sig;                     // an SDK output, released with FreeMemory
//   EXPECT_EQ(VOMU_OK, SignData_PKCS1(..., sig.Out()));
//   EXPECT_TRUE(session.LogHas("(SignData_PKCS1 -- Open PFX file.)\t\t--OK"));
#ifndef MORV_TESTS_SDK_TEST_UTIL_H
#define MORV_TESTS_SDK_TEST_UTIL_H

#include <dirent.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MORV.h"
#include "PkiFixtures.h"
#include "TestBytes.h"
#include "TestFiles.h"

namespace sdktest {

using support::Bytes;

// The fixtures' passwords (tests/data/pki/README.md) and paths.
using support::kSM2Password;
using support::kP12Password;
using support::Pki;

// Plaintext that tests encrypt: the log may show its length, never the text.
inline const char kSecretPlaintext[] = "Secret-Plaintext-5Fq2";

using support::ReadText;
using support::WriteText;
using support::RunCommand;

inline Bytes ReadBytes(const std::string& strPath) { return support::ReadFileBytes(strPath); }

inline bool WriteBytes(const std::string& strPath, const void* pData, size_t nSize)
{
    const unsigned char* pby = static_cast<const unsigned char*>(pData);
    return support::WriteFileBytes(strPath, Bytes(pby, pby + nSize));
}

// A fresh directory under /tmp, removed with everything in it when this goes.
class TempDir : public support::TempDir {
public:
    TempDir() : support::TempDir("morv_sdk") {}
    std::string Path(const std::string& strName) const { return File(strName); }
    const std::string& Dir() const { return support::TempDir::Path(); }
};

// Logging at DEBUG into a file of a fresh directory, started by Initialize() through
// VOMU_LOG_CONF_PATH; Uninitialize() when this goes.
class Session {
public:
    Session()
    {
        WriteText(m_dir.Path("vomulog.conf"), "[formats]\ncapture = \"%V %m%n\"\n[rules]\n"
                                              "vomu_category.DEBUG \"" + LogPath() + "\"; capture\n");
        setenv("VOMU_LOG_CONF_PATH", m_dir.Path("vomulog.conf").c_str(), 1);
        m_nInit = Initialize();
    }
    ~Session()
    {
        Uninitialize();
        CheckNoSecretLogged();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool Ok() const { return VOMU_OK == m_nInit; }
    std::string LogPath() const { return m_dir.Path("trace.log"); }
    std::string Log() const { return ReadText(LogPath()); }
    // Whether the log holds the text; a step line's text (OkLine, FailedLine) must follow the
    // head "[MORV(<line>" that every SDK step line carries.
    bool LogHas(const std::string& strText) const
    {
        const std::string strLog = Log();
        const bool bStepLine = strText.compare(0, 4, ")]:(") == 0 || strText.compare(0, 4, "):](") == 0;
        for (size_t pos = strLog.find(strText); pos != std::string::npos; pos = strLog.find(strText, pos + 1)) {
            if (!bStepLine) return true;
            size_t nDigits = pos;
            while (nDigits > 0 && isdigit((unsigned char)strLog[nDigits - 1])) --nDigits;
            if (nDigits < pos && nDigits >= 6 && strLog.compare(nDigits - 6, 6, "[MORV(") == 0) return true;
        }
        return false;
    }
    const TempDir& Dir() const { return m_dir; }

private:
    // The fixtures' passwords and private keys (tests/data/pki/expected.txt), and the texts the
    // tests use as secret plaintext and key text, must never reach the log.
    void CheckNoSecretLogged() const
    {
        const std::string strLog = Log();
        for (const char* pszSecret : {kSM2Password, kP12Password, "wrong-0117",
                                      "A6235567B90F4927838870A41E4423CE26F9FE602DC532952B421D9C3FF61DEE",
                                      "7E522BAA1BECAA1619F6047AAA583F414D908906490204A7139C50746F4C9812",
                                      "9E37E6D622BC7E19C4D2648FDE399347F8B54C07D2D8CA511C71287D2C777C6F",
                                      kSecretPlaintext}) {
            std::string strLower(pszSecret);
            for (char& c : strLower) c = (char)tolower((unsigned char)c);
            if (strLog.find(pszSecret) != std::string::npos || strLog.find(strLower) != std::string::npos)
                ADD_FAILURE() << "the log holds the secret " << pszSecret;
        }
        // Nor as a hex dump: the first row of the plaintext as printable text or as hex bytes.
        std::string strHex;
        char szByte[4];
        for (size_t i = 0; i < 12; ++i) {
            snprintf(szByte, sizeof szByte, i ? " %02x" : "%02x", (unsigned char)kSecretPlaintext[i]);
            strHex += szByte;
        }
        for (const std::string& strDump : {std::string(kSecretPlaintext, 16), strHex}) {
            if (strLog.find(strDump) != std::string::npos) ADD_FAILURE() << "the log holds the plaintext as " << strDump;
        }
    }

    TempDir m_dir;
    int m_nInit = -1;
};

// The step line of func and step as the SDK writes it, without the line number:
// "[MORV(" ... ")]:(func -- step)\t\t--OK" or "...--Failed:(0x%08x) [Reason:reason]".
inline std::string OkLine(const std::string& strFunc, const std::string& strStep)
{
    return ")]:(" + strFunc + " -- " + strStep + ")\t\t--OK";
}
inline std::string FailedLine(const std::string& strFunc, const std::string& strStep, int nCode,
                              const std::string& strReason)
{
    char szCode[16];
    snprintf(szCode, sizeof szCode, "0x%08x", (unsigned)nCode);
    return "):](" + strFunc + " -- " + strStep + ")\t\t--Failed:(" + szCode + ") [Reason:" +
           strReason + "]";
}

// An SDK output buffer, released with FreeMemory; preset to a non-null sentinel so that a test
// sees whether the SDK cleared it.
template <typename T> class SdkOut {
public:
    SdkOut() : m_p(Sentinel()) {}
    ~SdkOut() { Reset(); }
    SdkOut(const SdkOut&) = delete;
    SdkOut& operator=(const SdkOut&) = delete;
    T** Out() { Reset(); m_p = Sentinel(); return &m_p; }
    T* Get() const { return m_p == Sentinel() ? nullptr : m_p; }
    bool IsNull() const { return m_p == nullptr; }
    bool Untouched() const { return m_p == Sentinel(); }
    void Reset()
    {
        if (m_p != Sentinel()) FreeMemory(m_p);
        m_p = nullptr;
    }

private:
    static T* Sentinel() { static T t[1]; return t; }
    T* m_p;
};
using Text = SdkOut<char>;
using Data = SdkOut<unsigned char>;

inline std::string Base64(const unsigned char* p, size_t n)
{
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    const int nLen = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), p, (int)n);
    out.resize(nLen > 0 ? (size_t)nLen : 0);
    return out;
}
inline std::string Base64(const Bytes& b) { return Base64(b.data(), b.size()); }

// A fixture certificate ("sm2/ee_sign") as Base64 of its DER.
inline std::string CertB64(const std::string& strName) { return Base64(ReadBytes(Pki(strName + ".der"))); }

// Decodes Base64 without line breaks; empty on failure.
inline Bytes FromBase64(const std::string& str)
{
    if (str.empty() || str.size() % 4) return Bytes();
    Bytes out(str.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(str.data()),
                                  (int)str.size());
    if (n < 0) return Bytes();
    size_t nPad = 0;
    if (str[str.size() - 1] == '=') ++nPad;
    if (str[str.size() - 2] == '=') ++nPad;
    out.resize((size_t)n - nPad);
    return out;
}

inline int Shell(const std::string& strCommand, std::string* pOutput = nullptr)
{
    return RunCommand(strCommand, pOutput);
}

// Open descriptors of this process.
inline int OpenFdCount()
{
    DIR* pDir = opendir("/proc/self/fd");
    if (!pDir) return -1;
    int nCount = 0;
    while (readdir(pDir)) ++nCount;
    closedir(pDir);
    return nCount;
}

// The names in a directory, "." and ".." left out, sorted.
inline std::vector<std::string> Listing(const std::string& strDir)
{
    std::vector<std::string> names;
    DIR* pDir = opendir(strDir.c_str());
    if (!pDir) return names;
    while (const dirent* pEntry = readdir(pDir)) {
        const std::string strName = pEntry->d_name;
        if (strName != "." && strName != "..") names.push_back(strName);
    }
    closedir(pDir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace sdktest

#endif
