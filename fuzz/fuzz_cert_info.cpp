// The flat certificate functions on hostile certificates (DER or PEM octets, given as their
// Base64 text): GetCertificateInfo for every fact, and VerifyCertificate with the checks the
// first octet asks for (bits 0-2: time, CRL, chain) against the fixture CRL and CA files of the
// SM2 or RSA hierarchy (bit 3). Every call must end in a result code; a fact handed out is
// text of its length, of the form its name promises; nothing is handed out on failure.
#include <openssl/evp.h>

#include <cctype>
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

struct Hierarchy {
    std::string crl, chain;
};

struct Fixtures {
    Hierarchy sm2, rsa;
};

const Fixtures& TheFixtures()
{
    static const Fixtures* s_pFixtures = [] {
        if (VOMU_OK != SMKernelInitialize()) abort();
        using fuzzutil::FixturePath;
        return new Fixtures{{FixturePath("pki/sm2/crl.der"), FixturePath("pki/sm2/int.pem") + "|" + FixturePath("pki/sm2/root.pem")},
                            {FixturePath("pki/rsa/crl.der"), FixturePath("pki/rsa/int.pem") + "|" + FixturePath("pki/rsa/root.pem")}};
    }();
    return *s_pFixtures;
}

bool AllOf(const char* psz, int (*pred)(int))
{
    for (; *psz; ++psz)
        if (!pred((unsigned char)*psz)) return false;
    return true;
}

int IsUpperHex(int c) { return isdigit(c) || (c >= 'A' && c <= 'F'); }

void CheckInfo(const std::string& cert, const char* pszType)
{
    char* pszInfo = reinterpret_cast<char*>(1);
    const int nResult = GetCertificateInfo(cert.c_str(), pszType, &pszInfo);
    if (VOMU_OK != nResult) {
        if (pszInfo) abort();  // cleared first
        return;
    }
    if (!pszInfo) abort();
    if (0 == strcmp(pszType, "CertType") && 0 != strcmp(pszInfo, "SM2") && 0 != strcmp(pszInfo, "RSA")) abort();
    if (0 == strcmp(pszType, "SerialNumber") && (!*pszInfo || !AllOf(pszInfo, IsUpperHex))) abort();
    if (0 == strncmp(pszType, "Valid", 5) && strchr(pszInfo, '\n')) abort();
    FreeMemory(pszInfo);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Fixtures& f = TheFixtures();
    if (size < 2 || size > 1 << 16) return 0;
    const std::string cert = fuzzutil::Base64Text(data + 1, size - 1);
    for (const char* pszType : {"CertType", "SubjectDN", "SubjectCN", "IssuerDN", "SerialNumber", "ValidFrom", "ValidTo"})
        CheckInfo(cert, pszType);
    const Hierarchy& h = (data[0] & 8) ? f.rsa : f.sm2;
    VerifyCertificate(cert.c_str(), data[0] & 7, h.chain.c_str(), h.crl.c_str());
    return 0;
}
