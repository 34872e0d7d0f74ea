// The flat verifiers VerifyDataSignature_PKCS1 / _PKCS7Detached / _PKCS7Attached on hostile
// signatures, on the SM2 and RSA roads, with the fixture certificate and data fixed. The first
// octet picks the function (bits 0-1), the road (bit 2) and whether the rest goes in as the
// Base64 text of its octets (bit 3 clear) or as the caller's text itself (bit 3 set, up to a
// zero octet). Every call must give a result code and outputs that agree with it: nothing
// handed out on failure; on success the certificate text as long as said and decoding, the
// content no longer than the signature.
#include <openssl/evp.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FixtureFiles.h"
#include "MORV.h"
#include "SMKernel.h"

namespace {

struct Fixtures {
    std::vector<unsigned char> data;  // what the seeds sign
    std::string sm2Cert, rsaCert;     // Base64 of the signers' DER certificates
};

std::string Base64(const std::vector<unsigned char>& bytes) { return fuzzutil::Base64Text(bytes.data(), bytes.size()); }

const Fixtures& TheFixtures()
{
    static const Fixtures* s_pFixtures = [] {
        if (VOMU_OK != SMKernelInitialize()) abort();
        Fixtures* p = new Fixtures;
        p->data = fuzzutil::SignedFixtureData();
        p->sm2Cert = Base64(fuzzutil::ReadFixture("pki/sm2/ee_sign.der"));
        p->rsaCert = Base64(fuzzutil::ReadFixture("pki/rsa/ee_sign.der"));
        return p;
    }();
    return *s_pFixtures;
}

// A certificate handed out: Base64 text of the stated length that decodes.
void CheckCertText(char* psz)
{
    if (!psz) abort();
    const size_t n = strlen(psz);
    if (0 == n || 0 != n % 4) abort();
    std::vector<unsigned char> der(n);
    if (EVP_DecodeBlock(der.data(), reinterpret_cast<unsigned char*>(psz), (int)n) <= 0) abort();
    FreeMemory(psz);
}

void VerifyPKCS1(const char* pszRoad, const std::string& signature)
{
    const Fixtures& f = TheFixtures();
    const std::string& cert = 0 == strcmp(pszRoad, "SM2") ? f.sm2Cert : f.rsaCert;
    VerifyDataSignature_PKCS1(pszRoad, f.data.data(), (int)f.data.size(), cert.c_str(), "SHA-256",
                              signature.c_str());
}

void VerifyDetached(const char* pszRoad, const std::string& signature)
{
    const Fixtures& f = TheFixtures();
    char* pszCert = reinterpret_cast<char*>(1);
    const int nResult = VerifyDataSignature_PKCS7Detached(pszRoad, f.data.data(), (int)f.data.size(),
                                                          signature.c_str(), &pszCert);
    if (VOMU_OK != nResult) {
        if (pszCert) abort();  // cleared first
        return;
    }
    CheckCertText(pszCert);
}

void VerifyAttached(const char* pszRoad, const std::string& signature)
{
    char* pszCert = reinterpret_cast<char*>(1);
    unsigned char* pbyContent = reinterpret_cast<unsigned char*>(1);
    int nContent = -1;
    const int nResult = VerifyDataSignature_PKCS7Attached(pszRoad, signature.c_str(), &pszCert, &pbyContent,
                                                          &nContent);
    if (VOMU_OK != nResult) {
        if (pszCert || pbyContent || 0 != nContent) abort();
        return;
    }
    CheckCertText(pszCert);
    if (nContent < 0 || (size_t)nContent > signature.size() || (nContent > 0 && !pbyContent)) abort();
    FreeMemory(pbyContent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TheFixtures();
    if (size < 2 || size > 1 << 20) return 0;
    const unsigned char byChoice = data[0];
    std::string signature;
    if (byChoice & 8) {
        signature.assign(reinterpret_cast<const char*>(data + 1), strnlen(reinterpret_cast<const char*>(data + 1), size - 1));
    } else {
        signature = Base64(std::vector<unsigned char>(data + 1, data + size));
    }
    if (signature.empty()) return 0;
    const char* pszRoad = (byChoice & 4) ? "RSA" : "SM2";
    switch (byChoice & 3) {
    case 1: VerifyDetached(pszRoad, signature); break;
    case 2: VerifyAttached(pszRoad, signature); break;
    default: VerifyPKCS1(pszRoad, signature); break;
    }
    return 0;
}
