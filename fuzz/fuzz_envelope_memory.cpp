// Decode_CMSEnvelopeData on arbitrary octets. Whatever it accepts must be consistent (every
// length within its array, the content zero-ended, OIDs as long as stated) and must survive
// the writer: the fields written into a new envelope read back unchanged.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CMSEnvelopeOperations.h"
#include "vomu_result.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Envelope {
    Bytes rid, key, content, param;
    std::string keyAlg, contentAlg;
    int nRidType = -1;
};

Bytes Take(unsigned char* pby, int n)
{
    if (n < 0 || (n > 0 && !pby)) abort();
    Bytes out(pby, pby + n);
    delete[] pby;
    return out;
}

std::string TakeText(char* psz, int n)
{
    if (!psz || n < 0 || strlen(psz) != (size_t)n) abort();
    std::string out(psz);
    delete[] psz;
    return out;
}

int Decode(const Bytes& der, Envelope* pEnv)
{
    unsigned char *pbyRid = NULL, *pbyKey = NULL, *pbyContent = NULL, *pbyParam = NULL;
    char *pszKeyAlg = NULL, *pszContentAlg = NULL;
    int nRid = -1, nKey = -1, nContent = -1, nKeyAlg = -1, nContentAlg = -1, nParam = -1;
    const int nResult = Decode_CMSEnvelopeData((unsigned char*)der.data(), (int)der.size(), &pbyRid, &nRid,
                                               &pbyKey, &nKey, &pbyContent, &nContent, &pszKeyAlg, &nKeyAlg,
                                               &pszContentAlg, &nContentAlg, &pbyParam, &nParam,
                                               &pEnv->nRidType);
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

Bytes OctetString(const Bytes& value)
{
    Bytes out = {0x04};
    unsigned char* pbyLength = NULL;
    const int nLengthOctets = EncodeASN1Length((long long)value.size(), &pbyLength);
    if (nLengthOctets < 1) abort();
    out.insert(out.end(), pbyLength, pbyLength + nLengthOctets);
    delete[] pbyLength;
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INT_MAX) return 0;
    const Bytes der(data, data + size);  // exact size: over-reads are caught
    Envelope env;
    if (VOMU_OK != Decode(der, &env)) return 0;
    if (CMS_RID_SUBJECT_KEY_ID != env.nRidType && CMS_RID_ISSUER_AND_SERIAL != env.nRidType) abort();

    // Parameters go back as an OCTET STRING holding the value read.
    Bytes param = OctetString(env.param);
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = Encode_CMSEnvelope(
        "1.2.840.113549.1.7.3", env.rid.data(), (int)env.rid.size(), env.keyAlg.c_str(), env.key.data(),
        (int)env.key.size(), "1.2.840.113549.1.7.1", env.contentAlg.c_str(), param.data(), (int)param.size(),
        env.content.data(), (int)env.content.size(), &pby, &n, env.nRidType);
    if (VOMU_OK != nResult) abort();
    const Bytes written = Take(pby, n);
    Envelope back;
    if (VOMU_OK != Decode(written, &back)) abort();
    if (back.rid != env.rid || back.nRidType != env.nRidType || back.key != env.key ||
        back.content != env.content || back.param != env.param || back.keyAlg != env.keyAlg ||
        back.contentAlg != env.contentAlg)
        abort();
    return 0;
}
