// Decode_CMSEnvelopeFile on arbitrary octets written to a temporary file (one file for the
// whole run, rewritten for each input). It must agree with the memory reader on the result
// and every field, leave the file position where it was, and return a content node whose
// segments lie inside the file.
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CMSEnvelopeOperations.h"
#include "FuzzUtil.h"
#include "vomu_result.h"

namespace {

using fuzzutil::Bytes;
using fuzzutil::Envelope;
using fuzzutil::Take;
using fuzzutil::TakeText;

Bytes ReadSpan(FILE* fp, uint64_t nSize, int64_t nOffset, uint64_t nLength)
{
    if (nOffset < 0 || (uint64_t)nOffset > nSize || nLength > nSize - (uint64_t)nOffset) abort();
    Bytes out((size_t)nLength);
    if (0 != fseeko(fp, nOffset, SEEK_SET) || fread(out.data(), 1, out.size(), fp) != out.size()) abort();
    return out;
}

int DecodeFile(FILE* fp, uint64_t nSize, Envelope* pEnv)
{
    unsigned char *pbyRid = NULL, *pbyKey = NULL, *pbyParam = NULL;
    char *pszKeyAlg = NULL, *pszContentAlg = NULL;
    int nRid = -1, nKey = -1, nKeyAlg = -1, nContentAlg = -1, nParam = -1;
    NodeEx* pContent = NULL;
    const int nResult = Decode_CMSEnvelopeFile(fp, &pbyRid, &nRid, &pbyKey, &nKey, &pContent, &pszKeyAlg,
                                               &nKeyAlg, &pszContentAlg, &nContentAlg, &pbyParam, &nParam);
    std::unique_ptr<NodeEx> owned(pContent);
    if (ftello(fp) != (off_t)(nSize / 2)) abort();  // where the caller left it
    if (VOMU_OK != nResult) {
        if (pbyRid || pbyKey || pContent || pszKeyAlg || pszContentAlg || pbyParam) abort();
        return nResult;
    }
    if (!pContent || !pbyParam) abort();
    pEnv->rid = Take(pbyRid, nRid);
    pEnv->key = Take(pbyKey, nKey);
    pEnv->param = Take(pbyParam, nParam);
    pEnv->keyAlg = TakeText(pszKeyAlg, nKeyAlg);
    pEnv->contentAlg = TakeText(pszContentAlg, nContentAlg);
    if (pContent->vetNodes.empty()) {
        pEnv->content = ReadSpan(fp, nSize, pContent->ValueOffset, pContent->ValueLength);
    }
    for (const NodeEx* pSegment : pContent->vetNodes) {
        const Bytes chunk = ReadSpan(fp, nSize, pSegment->ValueOffset, pSegment->ValueLength);
        pEnv->content.insert(pEnv->content.end(), chunk.begin(), chunk.end());
    }
    return nResult;
}

char g_szTempPath[] = "/tmp/fuzz_envelope_file_XXXXXX";

void RemoveTempFile() { unlink(g_szTempPath); }

const char* TempPath()
{
    static const bool bMade = [] {
        const int fd = mkstemp(g_szTempPath);
        if (fd < 0) abort();
        close(fd);
        atexit(RemoveTempFile);
        return true;
    }();
    (void)bMade;
    return g_szTempPath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INT_MAX) return 0;
    const Bytes der(data, data + size);
    FILE* fp = fopen(TempPath(), "wb+");
    if (!fp) abort();
    if (size > 0 && fwrite(data, 1, size, fp) != size) abort();
    if (0 != fflush(fp) || 0 != fseeko(fp, (off_t)(size / 2), SEEK_SET)) abort();

    Envelope fromFile;
    const int nFile = DecodeFile(fp, size, &fromFile);
    fclose(fp);

    Envelope fromMemory;
    const int nMemory = size > 0 ? fuzzutil::DecodeEnvelopeData(der, &fromMemory) : VOMU_E_FAIL;
    if (nFile != nMemory) abort();
    if (VOMU_OK == nFile && !fuzzutil::SameEnvelope(fromFile, fromMemory)) abort();
    return 0;
}
