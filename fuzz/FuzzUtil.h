#ifndef MORV_FUZZ_FUZZ_UTIL_H
#define MORV_FUZZ_FUZZ_UTIL_H

// What the fuzz targets share: taking over the arrays our functions hand out (aborting on an
// inconsistent pointer and length) and the envelope memory reader with its output checks.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CMSEnvelopeOperations.h"
#include "vomu_result.h"

namespace fuzzutil {

using Bytes = std::vector<unsigned char>;

inline Bytes Take(unsigned char* pby, int n)
{
    if (n < 0 || (n > 0 && !pby)) abort();
    Bytes out(pby, pby + n);
    delete[] pby;
    return out;
}

// A zero-ended text whose stated length must be its strlen.
inline std::string TakeText(char* psz, int n)
{
    if (!psz || n < 0 || strlen(psz) != (size_t)n) abort();
    std::string out(psz);
    delete[] psz;
    return out;
}

struct Envelope {
    Bytes rid, key, content, param;
    std::string keyAlg, contentAlg;
};

inline bool SameEnvelope(const Envelope& a, const Envelope& b)
{
    return a.rid == b.rid && a.key == b.key && a.content == b.content && a.param == b.param &&
           a.keyAlg == b.keyAlg && a.contentAlg == b.contentAlg;
}

// Decode_CMSEnvelopeData: nothing handed out on failure; on success every length within its
// array and the content zero-ended.
inline int DecodeEnvelopeData(const Bytes& der, Envelope* pEnv)
{
    unsigned char *pbyRid = NULL, *pbyKey = NULL, *pbyContent = NULL, *pbyParam = NULL;
    char *pszKeyAlg = NULL, *pszContentAlg = NULL;
    int nRid = -1, nKey = -1, nContent = -1, nKeyAlg = -1, nContentAlg = -1, nParam = -1;
    const int nResult = Decode_CMSEnvelopeData((unsigned char*)der.data(), (int)der.size(), &pbyRid, &nRid,
                                               &pbyKey, &nKey, &pbyContent, &nContent, &pszKeyAlg, &nKeyAlg,
                                               &pszContentAlg, &nContentAlg, &pbyParam, &nParam);
    if (VOMU_OK != nResult) {
        if (pbyRid || pbyKey || pbyContent || pszKeyAlg || pszContentAlg || pbyParam) abort();
        return nResult;
    }
    if (!pbyContent || nContent < 0 || 0 != pbyContent[nContent]) abort();
    pEnv->rid = Take(pbyRid, nRid);
    pEnv->key = Take(pbyKey, nKey);
    pEnv->content = Take(pbyContent, nContent);
    pEnv->param = Take(pbyParam, nParam);
    pEnv->keyAlg = TakeText(pszKeyAlg, nKeyAlg);
    pEnv->contentAlg = TakeText(pszContentAlg, nContentAlg);
    return nResult;
}

}  // namespace fuzzutil

#endif
