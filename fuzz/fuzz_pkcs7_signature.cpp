// ParsePKCS7Signature on arbitrary octets. Whatever it accepts must be consistent: the outputs
// fit in the input, texts are as long as said, attribute sets keep their tags, the content is
// terminated, and asking for fewer outputs never turns success into failure.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "PKCS7SignedDataOperations.h"
#include "vomu_result.h"

namespace {

void CheckText(char* psz, int n)
{
    if (psz && (int)strlen(psz) != n) abort();
    delete[] psz;
}

void CheckAttributes(unsigned char* pby, int n, unsigned char byTag, size_t nInput)
{
    if (pby && (n < 2 || (size_t)n > nInput || byTag != pby[0])) abort();
    delete[] pby;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (0 == size || size > INT_MAX) return 0;
    std::vector<unsigned char> der(data, data + size);  // exact size: over-reads are caught
    unsigned char *pbyCert = NULL, *pbySig = NULL, *pbyContent = NULL, *pbySigned = NULL,
                  *pbyUnsigned = NULL;
    char *pszDigest = NULL, *pszDigestEnc = NULL;
    int nCert = 0, nSig = 0, nContent = 0, nDigest = 0, nDigestEnc = 0, nSigned = 0, nUnsigned = 0;
    const int nResult = ParsePKCS7Signature(der.data(), (int)size, &pbyCert, &nCert, &pbySig, &nSig,
                                            &pbyContent, &nContent, &pszDigest, &nDigest,
                                            &pszDigestEnc, &nDigestEnc, &pbySigned, &nSigned,
                                            &pbyUnsigned, &nUnsigned);
    if (VOMU_OK != nResult) {
        if (pbyCert || pbySig || pbyContent || pszDigest || pszDigestEnc || pbySigned || pbyUnsigned)
            abort();
        return 0;
    }
    if (!pbySig || (64 != nSig && (size_t)nSig > size)) abort();
    if ((size_t)nCert > size || (size_t)nContent > size) abort();
    if (pbyContent && 0 != pbyContent[nContent]) abort();
    delete[] pbyCert;
    delete[] pbySig;
    delete[] pbyContent;
    CheckText(pszDigest, nDigest);
    CheckText(pszDigestEnc, nDigestEnc);
    CheckAttributes(pbySigned, nSigned, 0xA0, size);
    CheckAttributes(pbyUnsigned, nUnsigned, 0xA1, size);
    if (VOMU_OK != ParsePKCS7Signature(der.data(), (int)size, NULL, NULL, NULL, NULL, NULL, NULL,
                                       NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL))
        abort();
    return 0;
}
