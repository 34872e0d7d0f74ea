// VerifySignature_PKCS7WithSignedAttributes on hostile signed attributes and signatures, with
// the fixture certificate and content fixed: the first two octets are the signature's length
// (big-endian), the third picks the road (SM2 with SM3, or RSA with SHA-256), the signature
// follows, then the attributes. Every call must end in a result code; VOMU_OK only where the messageDigest
// attribute holds the content's digest.
#include <openssl/evp.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FixtureFiles.h"
#include "SMKernel.h"
#include "operations/DataSigning.h"
#include "vomu_result.h"

namespace {

struct Road {
    std::vector<unsigned char> cert;
    const char* pszDigestOID;
    const char* pszDigestEncOID;
    const EVP_MD* pMd;
};

struct Fixtures {
    std::vector<unsigned char> data;
    Road sm2, rsa;
};

const Fixtures& TheFixtures()
{
    static const Fixtures* s_pFixtures = [] {
        if (VOMU_OK != SMKernelInitialize()) abort();
        Fixtures* p = new Fixtures;
        p->data = fuzzutil::SignedFixtureData();
        p->sm2 = {fuzzutil::ReadFixture("pki/sm2/ee_sign.der"), "1.2.156.10197.1.401", "1.2.156.10197.1.301.1",
                  EVP_sm3()};
        p->rsa = {fuzzutil::ReadFixture("pki/rsa/ee_sign.der"), "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.1",
                  EVP_sha256()};
        return p;
    }();
    return *s_pFixtures;
}

// Whether the digest appears in the attributes as an OCTET STRING's value, as it must for a
// signature that verifies.
bool HoldsDigest(const std::vector<unsigned char>& attrs, const Fixtures& f, const Road& road)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int nMd = 0;
    if (1 != EVP_Digest(f.data.data(), f.data.size(), md, &nMd, road.pMd, NULL)) abort();
    for (size_t i = 0; i + 2 + nMd <= attrs.size(); ++i)
        if (attrs[i + 1] == nMd && 0 == memcmp(&attrs[i + 2], md, nMd)) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Fixtures& f = TheFixtures();
    if (size < 4 || size > 1 << 20) return 0;
    const size_t nSig = (size_t)data[0] << 8 | data[1];
    if (3 + nSig >= size) return 0;
    const Road& road = (data[2] & 1) ? f.rsa : f.sm2;
    const std::vector<unsigned char> signature(data + 3, data + 3 + nSig);  // exact sizes
    const std::vector<unsigned char> attrs(data + 3 + nSig, data + size);
    const int nResult = VerifySignature_PKCS7WithSignedAttributes(
        road.cert.data(), (int)road.cert.size(), signature.data(), (int)signature.size(), f.data.data(),
        (int)f.data.size(), road.pszDigestOID, (int)strlen(road.pszDigestOID), road.pszDigestEncOID,
        (int)strlen(road.pszDigestEncOID), attrs.data(), (int)attrs.size());
    if (VOMU_OK == nResult && !HoldsDigest(attrs, f, road)) abort();
    return 0;
}
