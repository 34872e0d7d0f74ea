// The SDK stopped and started over and over while eight threads are inside calls: no crash, no
// hang, every call gives its normal result or the code it gives while the kernel is not
// started, and after the last start every kind of call works. Runs under ASan (label cpp)
// and, in a ThreadSanitizer build, under TSan (label tsan).
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SdkTestUtil.h"

using sdktest::Base64;
using sdktest::Bytes;
using sdktest::Data;
using sdktest::Text;
using support::kP12Password;
using support::kSM2Password;
using support::Pki;

namespace {

const int kRestarts = 500;
const int kThreads = 8;

// What the calls work on, made while the kernel runs, before the restarts begin.
struct Material {
    Bytes data = Bytes(200, 0x5A);
    std::string strSm2Key = Pki("sm2pfx/sign.b64");
    std::string strSm2EncKey = Pki("sm2pfx/enc.b64");
    std::string strP12 = Pki("p12/modern.p12");
    std::string strSm2Cert = sdktest::CertB64("sm2/ee_sign");
    std::string strSm2EncCert = sdktest::CertB64("sm2/ee_enc");
    std::string strRsaCert = sdktest::CertB64("rsa/ee_sign");
    std::string strRsaEncCert = sdktest::CertB64("rsa/ee_enc");
    std::string strSm2CAs = Pki("sm2/root.pem") + "|" + Pki("sm2/int.pem");
    std::string strSm2Detached, strRsaPkcs1, strSm2Envelope, strRsaCN;
};

// One kind of call: what it gives while the kernel is not started, and the call itself, which
// checks a successful result's output and answers VOMU_OK only when that is right too.
struct CallKind {
    const char* pszName;
    int nStoppedCode;
    std::function<int(const Material&)> run;
};

int WithOutput(int nResult, bool bOutputRight) { return VOMU_OK == nResult && !bOutputRight ? -2 : nResult; }

const std::vector<CallKind>& CallKinds()
{
    static const std::vector<CallKind> s_kinds = {
        {"SM2 PKCS#7 sign", VOMU_E_SIGN, [](const Material& m) {
             Text sig;
             const int n = SignData_PKCS7Detached("SM2", m.data.data(), (int)m.data.size(), m.strSm2Key.c_str(),
                                                  kSM2Password, nullptr, sig.Out());
             return WithOutput(n, sig.Get() && *sig.Get());
         }},
        {"RSA PKCS#1 sign", VOMU_E_SIGN, [](const Material& m) {
             Text sig;
             const int n = SignData_PKCS1("RSA", m.data.data(), (int)m.data.size(), m.strP12.c_str(), kP12Password,
                                          "SHA-256", sig.Out());
             // RSA PKCS#1 is deterministic: the same text every time.
             return WithOutput(n, sig.Get() && m.strRsaPkcs1 == sig.Get());
         }},
        {"SM2 PKCS#7 verify", VOMU_E_BAD_SIGNATURE, [](const Material& m) {
             Text cert;
             const int n = VerifyDataSignature_PKCS7Detached("SM2", m.data.data(), (int)m.data.size(),
                                                             m.strSm2Detached.c_str(), cert.Out());
             return WithOutput(n, cert.Get() && m.strSm2Cert == cert.Get());
         }},
        {"RSA PKCS#1 verify", VOMU_E_BAD_SIGNATURE, [](const Material& m) {
             return VerifyDataSignature_PKCS1("RSA", m.data.data(), (int)m.data.size(), m.strRsaCert.c_str(),
                                              "SHA-256", m.strRsaPkcs1.c_str());
         }},
        {"SM2 envelope seal", VOMU_E_ENCRYPT, [](const Material& m) {
             Text env;
             const int n = EncryptDataToCMSEnvelope("SM2", m.data.data(), (int)m.data.size(),
                                                    m.strSm2EncCert.c_str(), nullptr, env.Out());
             return WithOutput(n, env.Get() && *env.Get());
         }},
        {"SM2 envelope open", VOMU_E_DECRYPT, [](const Material& m) {
             Data plain;
             int nPlain = 0;
             const int n = DecryptDataFromCMSEnvelope("SM2", m.strSm2Envelope.c_str(), m.strSm2EncKey.c_str(),
                                                      kSM2Password, plain.Out(), &nPlain);
             return WithOutput(n, plain.Get() && Bytes(plain.Get(), plain.Get() + nPlain) == m.data);
         }},
        {"RSA envelope seal", VOMU_E_ENCRYPT, [](const Material& m) {
             Text env;
             const int n = EncryptDataToCMSEnvelope("RSA", m.data.data(), (int)m.data.size(),
                                                    m.strRsaEncCert.c_str(), "3DES", env.Out());
             return WithOutput(n, env.Get() && *env.Get());
         }},
        {"SM2 certificate chain", VOMU_E_CERT_VERIFY, [](const Material& m) {
             return VerifyCertificate(m.strSm2Cert.c_str(), CERT_VERIFY_FLAG_TIME | CERT_VERIFY_FLAG_CHAIN,
                                      m.strSm2CAs.c_str(), nullptr);
         }},
        {"RSA certificate name", VOMU_E_CERT_INFO, [](const Material& m) {
             Text info;
             const int n = GetCertificateInfo(m.strRsaCert.c_str(), "SubjectCN", info.Out());
             return WithOutput(n, info.Get() && m.strRsaCN == info.Get());
         }},
    };
    return s_kinds;
}

// Signatures and an envelope for the verifying and opening calls, from a running kernel.
bool Prepare(Material& m)
{
    Text detached, pkcs1, envelope, cn;
    const bool bOk =
        VOMU_OK == SignData_PKCS7Detached("SM2", m.data.data(), (int)m.data.size(), m.strSm2Key.c_str(),
                                          kSM2Password, nullptr, detached.Out()) &&
        VOMU_OK == SignData_PKCS1("RSA", m.data.data(), (int)m.data.size(), m.strP12.c_str(), kP12Password,
                                  "SHA-256", pkcs1.Out()) &&
        VOMU_OK == EncryptDataToCMSEnvelope("SM2", m.data.data(), (int)m.data.size(), m.strSm2EncCert.c_str(),
                                            nullptr, envelope.Out()) &&
        VOMU_OK == GetCertificateInfo(m.strRsaCert.c_str(), "SubjectCN", cn.Out());
    if (!bOk) return false;
    m.strSm2Detached = detached.Get();
    m.strRsaPkcs1 = pkcs1.Get();
    m.strSm2Envelope = envelope.Get();
    m.strRsaCN = cn.Get();
    return true;
}

// What the workers saw; a result that is neither kind of answer is kept for the report.
struct Tally {
    std::atomic<long> nOk{0}, nStopped{0}, nWrong{0};
    std::mutex mtx;
    std::string strFirstWrong;

    void Count(const CallKind& kind, int nResult)
    {
        if (VOMU_OK == nResult) {
            ++nOk;
        } else if (kind.nStoppedCode == nResult) {
            ++nStopped;
        } else if (1 == ++nWrong) {
            std::lock_guard<std::mutex> lock(mtx);
            strFirstWrong = std::string(kind.pszName) + " gave " + std::to_string(nResult);
        }
    }
};

// Logging at ERROR into a file of a fresh directory: it stops and starts with the kernel, and
// the failed holds write their lines into it.
class QuietLog {
public:
    QuietLog()
    {
        sdktest::WriteText(m_dir.Path("vomulog.conf"), "[rules]\nvomu_category.ERROR \"" +
                                                           m_dir.Path("trace.log") + "\"\n");
        setenv("VOMU_LOG_CONF_PATH", m_dir.Path("vomulog.conf").c_str(), 1);
    }

private:
    sdktest::TempDir m_dir;
};

void Work(int nThread, const Material& m, const std::atomic<bool>& bDone, Tally& tally)
{
    const std::vector<CallKind>& kinds = CallKinds();
    for (size_t i = (size_t)nThread; !bDone.load(); ++i) {
        const CallKind& kind = kinds[i % kinds.size()];
        tally.Count(kind, kind.run(m));
    }
}

// Each start lets at least one call through before the next stop, so every round exercises
// calls in flight across the stop. Bounded so that a kernel which never serves fails the test.
bool WaitForACall(const Tally& tally, long nOkBefore)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (tally.nOk.load() == nOkBefore) {
        if (std::chrono::steady_clock::now() > tEnd) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

TEST(SdkRestart, StopsAndStartsWhileThreadsAreInsideCalls)
{
    QuietLog log;
    ASSERT_EQ(VOMU_OK, Initialize());
    Material m;
    ASSERT_TRUE(Prepare(m));

    Tally tally;
    std::atomic<bool> bDone{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) workers.emplace_back(Work, t, std::cref(m), std::cref(bDone), std::ref(tally));
    int nRound = 0;
    for (; nRound < kRestarts; ++nRound) {
        if (!WaitForACall(tally, tally.nOk.load())) break;
        if (VOMU_OK != Uninitialize() || VOMU_OK != Initialize()) break;
    }
    bDone = true;
    for (std::thread& worker : workers) worker.join();

    EXPECT_EQ(kRestarts, nRound) << "a restart failed or a started kernel served no call";
    EXPECT_EQ(0, tally.nWrong.load()) << tally.strFirstWrong;
    // After the last start every kind of call works, here and on another thread.
    for (const CallKind& kind : CallKinds()) {
        EXPECT_EQ(VOMU_OK, kind.run(m)) << kind.pszName;
        int nOther = -1;
        std::thread([&] { nOther = kind.run(m); }).join();
        EXPECT_EQ(VOMU_OK, nOther) << kind.pszName << " on a new thread";
    }
    EXPECT_EQ(VOMU_OK, Uninitialize());
}

// While the kernel is stopped each kind of call gives the code the workers above accept.
TEST(SdkRestart, CallsWhileStoppedGiveTheirUsualFailureCode)
{
    QuietLog log;
    ASSERT_EQ(VOMU_OK, Initialize());
    Material m;
    ASSERT_TRUE(Prepare(m));
    ASSERT_EQ(VOMU_OK, Uninitialize());
    for (const CallKind& kind : CallKinds()) EXPECT_EQ(kind.nStoppedCode, kind.run(m)) << kind.pszName;
    ASSERT_EQ(VOMU_OK, Initialize());
    for (const CallKind& kind : CallKinds()) EXPECT_EQ(VOMU_OK, kind.run(m)) << kind.pszName;
    EXPECT_EQ(VOMU_OK, Uninitialize());
}
