// The SM2 key-file readers on arbitrary octets, with the fixtures' password so that seeds reach
// the decryption and the key check. Whatever they accept must be consistent: the parts read
// alone equal the parts read together, a re-encoding reads back the same parts, and a key pair
// is handed over only when its private key reproduces the certificate's point.
#include <openssl/crypto.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DerTestUtil.h"
#include "FuzzUtil.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "vomu_result.h"

namespace {

using fuzzutil::Bytes;
using fuzzutil::Take;

struct Parts {
    int nResult;
    Bytes key, cert;
};

Parts Parse(Bytes& der)
{
    unsigned char *pbyKey = NULL, *pbyCert = NULL;
    int nKey = 0, nCert = 0;
    Parts parts;
    parts.nResult = ParseSM2PFX(der.data(), (int)der.size(), &pbyKey, &nKey, &pbyCert, &nCert);
    if (VOMU_OK == parts.nResult) {
        parts.key = Take(pbyKey, nKey);
        parts.cert = Take(pbyCert, nCert);
    }
    return parts;
}

void CheckPartsAlone(Bytes& der, const Parts& parts)
{
    unsigned char* pby = NULL;
    int n = 0;
    if (VOMU_OK != ParseSM2PFX(der.data(), (int)der.size(), &pby, &n, NULL, NULL)) abort();
    if (Take(pby, n) != parts.key) abort();
    if (VOMU_OK != ParseSM2PFX(der.data(), (int)der.size(), NULL, NULL, &pby, &n)) abort();
    if (Take(pby, n) != parts.cert) abort();
}

void CheckReencoding(Bytes& der, const Parts& parts)
{
    const unsigned char* p = der.data();
    SM2_PFX* pstPfx = d2i_SM2_PFX(NULL, &p, (long)der.size());
    if (!pstPfx) abort();
    Bytes again = dertest::ByOpenSSL(i2d_SM2_PFX, pstPfx);
    SM2_PFX_free(pstPfx);
    if (again.empty()) abort();
    const Parts reread = Parse(again);
    if (VOMU_OK != reread.nResult || reread.key != parts.key || reread.cert != parts.cert) abort();
}

void CheckKeyPair(Bytes& der, Parts& parts)
{
    char szPassword[] = "Fixture-SM2-2020";
    SM2_KEY_PAIR pair = {};
    const int nResult = DecryptKeyPairFromSM2PFX(der.data(), (int)der.size(), szPassword, &pair);
    unsigned char *pbyKey = NULL, *pbyCert = NULL;
    int nKey = 0, nCert = 0;
    const int nResult2 =
        DecryptSM2PFX(der.data(), (int)der.size(), szPassword, &pbyKey, &nKey, &pbyCert, &nCert);
    if (nResult != nResult2) abort();
    if (VOMU_OK != nResult) {
        if (pair.privateKey || pair.publicKeyX || pair.publicKeyY || pbyKey || pbyCert) abort();
        if (VOMU_E_SM2PFX_PASSWORD != nResult && VOMU_E_FAIL != nResult &&
            VOMU_E_INVALID_ARG != nResult)
            abort();
        return;
    }
    if (32 != pair.privateKeyLen || 32 != pair.publicKeyXLen || 32 != pair.publicKeyYLen) abort();
    if (32 != nKey || 0 != memcmp(pbyKey, pair.privateKey, 32)) abort();
    if (Take(pbyCert, nCert) != parts.cert) abort();
    delete[] pbyKey;
    unsigned char *pbyX = NULL, *pbyY = NULL;
    int nX = 0, nY = 0;
    if (VOMU_OK != GetPublicKeyXYFromSM2Cert(parts.cert.data(), (int)parts.cert.size(), &pbyX, &nX,
                                             &pbyY, &nY))
        abort();
    if (0 != memcmp(pbyX, pair.publicKeyX, 32) || 0 != memcmp(pbyY, pair.publicKeyY, 32)) abort();
    delete[] pbyX;
    delete[] pbyY;
    CleanupSM2KeyPair(&pair);
    CleanupSM2KeyPair(&pair);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool s_bKernel = VOMU_OK == SMKernelInitialize();
    if (!s_bKernel) abort();
    if (size > INT_MAX) return 0;
    Bytes der(data, data + size);  // exact size: over-reads are caught
    Parts parts = Parse(der);
    if (VOMU_OK != parts.nResult) {
        if (VOMU_E_SM2PFX_FORMAT != parts.nResult) abort();
        return 0;
    }
    CheckPartsAlone(der, parts);
    CheckReencoding(der, parts);
    CheckKeyPair(der, parts);
    return 0;
}
