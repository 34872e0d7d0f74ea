// The SM2PKCS7 item types and their parsers on arbitrary octets. A message d2i_SM2PKCS7
// accepts re-encodes (not always to DER that decodes again: OpenSSL keeps odd ANY parameters
// of an AlgorithmIdentifier, e.g. an empty constructed [UNIVERSAL 0], in a form it cannot
// read back); the parsers chain
// (message -> signed part -> signer info) and agree with ParseSM2PKCS7Signature on r || s.
#include <openssl/crypto.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "PKCS7SignedDataOperations.h"
#include "vomu_result.h"

namespace {

// *pnSigners: entries of signer_info (re-encoding sorts a SET OF, so "the last" of several
// may change).
std::vector<unsigned char> Reencode(const std::vector<unsigned char>& der, bool* pbOk, int* pnSigners)
{
    const unsigned char* p = der.data();
    SM2PKCS7* pP7 = d2i_SM2PKCS7(NULL, &p, (long)der.size());
    *pbOk = NULL != pP7;
    if (!pP7) return {};
    *pnSigners = pP7->SM2PKCS7SignedData ? sk_SM2PKCS7_SIGNER_INFO_num(pP7->SM2PKCS7SignedData->signer_info) : 0;
    unsigned char* pbyOut = NULL;
    const int n = i2d_SM2PKCS7(pP7, &pbyOut);
    SM2PKCS7_free(pP7);
    if (n <= 0) abort();
    std::vector<unsigned char> out(pbyOut, pbyOut + n);
    OPENSSL_free(pbyOut);
    return out;
}

// r || s by the signer-info parser, from the message's signed part; empty when a step fails.
std::vector<unsigned char> RSBySteps(std::vector<unsigned char> der)
{
    unsigned char* pbySigned = NULL;
    int nSigned = 0;
    char* pszType = NULL;
    int nType = 0;
    if (VOMU_OK != ParseSM2P7(der.data(), (int)der.size(), &pszType, &nType, &pbySigned, &nSigned))
        return {};
    if (!pszType || (int)strlen(pszType) != nType) abort();
    delete[] pszType;
    unsigned char *pbyAlg = NULL, *pbyContents = NULL, *pbySignerInfo = NULL;
    int nAlg = 0, nContents = 0, nSignerInfo = 0;
    const int nSignedResult = ParseSM2P7SignedData(pbySigned, nSigned, &pbyAlg, &nAlg, &pbyContents,
                                                   &nContents, NULL, NULL, &pbySignerInfo, &nSignerInfo);
    delete[] pbySigned;
    delete[] pbyAlg;
    delete[] pbyContents;
    if (VOMU_OK != nSignedResult) return {};
    unsigned char *pbyIas = NULL, *pbyR = NULL, *pbyS = NULL;
    int nIas = 0, nR = 0, nS = 0;
    const int nInfoResult = ParseSM2P7SignerInfo(pbySignerInfo, nSignerInfo, &pbyIas, &nIas, NULL,
                                                 NULL, NULL, NULL, &pbyR, &nR, &pbyS, &nS);
    delete[] pbySignerInfo;
    delete[] pbyIas;
    std::vector<unsigned char> rs;
    if (VOMU_OK == nInfoResult) {
        if (32 != nR || 32 != nS) abort();
        rs.assign(pbyR, pbyR + 32);
        rs.insert(rs.end(), pbyS, pbyS + 32);
    }
    delete[] pbyR;
    delete[] pbyS;
    return rs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (0 == size || size > INT_MAX) return 0;
    std::vector<unsigned char> der(data, data + size);  // exact size
    bool bOk = false;
    int nSigners = 0;
    const std::vector<unsigned char> once = Reencode(der, &bOk, &nSigners);
    if (bOk && once.empty()) abort();
    const std::vector<unsigned char> rsBySteps = RSBySteps(der);

    unsigned char *pbySig = NULL, *pbyContent = NULL, *pbyCert = NULL;
    char *pszDigest = NULL, *pszDigestEnc = NULL;
    int nSig = 0, nContent = 0, nCert = 0, nDigest = 0, nDigestEnc = 0;
    const int nResult = ParseSM2PKCS7Signature(der.data(), (int)size, NULL, NULL, &pbySig, &nSig,
                                               &pbyContent, &nContent, &pszDigest, &nDigest,
                                               &pszDigestEnc, &nDigestEnc);
    if (VOMU_OK == nResult) {
        if (!bOk || 64 != nSig || (size_t)nContent > size) abort();
        if (1 == nSigners && !rsBySteps.empty() && 0 != memcmp(rsBySteps.data(), pbySig, 64)) abort();
        if ((int)strlen(pszDigest) != nDigest || (int)strlen(pszDigestEnc) != nDigestEnc) abort();
    }
    delete[] pbySig;
    delete[] pbyContent;
    delete[] pszDigest;
    delete[] pszDigestEnc;
    if (VOMU_OK == ParseSM2PKCS7Signature(der.data(), (int)size, &pbyCert, &nCert, NULL, NULL, NULL,
                                          NULL, NULL, NULL, NULL, NULL)) {
        if (!bOk || nCert <= 0) abort();
    }
    delete[] pbyCert;
    return 0;
}
