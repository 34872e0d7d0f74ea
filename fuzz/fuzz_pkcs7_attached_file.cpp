// ParsePKCS7AttachedSignatureFile on arbitrary octets through fmemopen. It reads every value
// from the file, the memory reader from the buffer: whatever the file reader accepts, the
// memory reader must read alike, with the content where the file reader says it lies. The
// stream's position is restored whatever happens.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "PKCS7SignedDataOperations.h"
#include "vomu_result.h"

namespace {

struct Outputs {
    unsigned char *pbyCert = NULL, *pbySig = NULL, *pbySigned = NULL, *pbyUnsigned = NULL;
    unsigned char* pbyContent = NULL;
    char *pszDigest = NULL, *pszDigestEnc = NULL;
    int nCert = 0, nSig = 0, nContent = 0, nDigest = 0, nDigestEnc = 0, nSigned = 0, nUnsigned = 0;
    ~Outputs()
    {
        delete[] pbyCert;
        delete[] pbySig;
        delete[] pbySigned;
        delete[] pbyUnsigned;
        delete[] pbyContent;
        delete[] pszDigest;
        delete[] pszDigestEnc;
    }
};

bool Same(const unsigned char* a, int na, const unsigned char* b, int nb)
{
    return na == nb && (0 == na || 0 == memcmp(a, b, (size_t)na)) && (NULL == a) == (NULL == b);
}

bool SameText(const char* a, const char* b) { return (!a && !b) || (a && b && 0 == strcmp(a, b)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (0 == size || size > INT_MAX) return 0;  // fmemopen refuses an empty buffer
    std::vector<unsigned char> der(data, data + size);
    FILE* fp = fmemopen(der.data(), size, "rb");
    if (!fp) return 0;
    const long nStart = (long)(size / 2);
    fseek(fp, nStart, SEEK_SET);
    Outputs file;
    long long nPosition = -1;
    const int nResult = ParsePKCS7AttachedSignatureFile(
        fp, &file.pbyCert, &file.nCert, &file.pbySig, &file.nSig, &nPosition, &file.nContent,
        &file.pszDigest, &file.nDigest, &file.pszDigestEnc, &file.nDigestEnc, &file.pbySigned,
        &file.nSigned, &file.pbyUnsigned, &file.nUnsigned);
    if (ftell(fp) != nStart) abort();
    fclose(fp);
    if (VOMU_OK != nResult) return 0;

    Outputs mem;
    if (VOMU_OK != ParsePKCS7Signature(der.data(), (int)size, &mem.pbyCert, &mem.nCert, &mem.pbySig,
                                       &mem.nSig, &mem.pbyContent, &mem.nContent, &mem.pszDigest,
                                       &mem.nDigest, &mem.pszDigestEnc, &mem.nDigestEnc,
                                       &mem.pbySigned, &mem.nSigned, &mem.pbyUnsigned, &mem.nUnsigned))
        abort();
    if (nPosition < 0 || (size_t)nPosition > size || (size_t)file.nContent > size - (size_t)nPosition)
        abort();
    if (!Same(der.data() + nPosition, file.nContent, mem.pbyContent, mem.nContent) &&
        !(0 == file.nContent && 0 == mem.nContent))
        abort();
    if (!Same(file.pbyCert, file.nCert, mem.pbyCert, mem.nCert) ||
        !Same(file.pbySig, file.nSig, mem.pbySig, mem.nSig) ||
        !Same(file.pbySigned, file.nSigned, mem.pbySigned, mem.nSigned) ||
        !Same(file.pbyUnsigned, file.nUnsigned, mem.pbyUnsigned, mem.nUnsigned) ||
        !SameText(file.pszDigest, mem.pszDigest) || !SameText(file.pszDigestEnc, mem.pszDigestEnc))
        abort();
    return 0;
}
