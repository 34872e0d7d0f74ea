// Decode -> encode -> decode: every tree the decoder accepts re-encodes as DER (in memory and
// to a file, byte for byte alike) that decodes again to a tree with the same tags; DER input
// re-encodes to itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ASN1EngineEx.h"
#include "vomu_result.h"

static bool SameTags(const NodeEx* a, const NodeEx* b)
{
    if (a->Tag != b->Tag || a->vetNodes.size() != b->vetNodes.size()) return false;
    for (size_t i = 0; i < a->vetNodes.size(); ++i)
        if (!SameTags(a->vetNodes[i], b->vetNodes[i])) return false;
    return true;
}

static bool HasIndefinite(const NodeEx* p, const uint8_t* data)
{
    if (1 == p->LengthOctets && 0x80 == data[p->ValueOffset - 1]) return true;
    for (const NodeEx* c : p->vetNodes)
        if (HasIndefinite(c, data)) return true;
    return false;
}

static void CheckFileEncoding(NodeEx* pRoot, const unsigned char* pbyMem, int nMem)
{
    FILE* fp = tmpfile();
    if (!fp) return;
    int nWritten = 0;
    if (VOMU_OK != EncodeASN1ToFile(pRoot, fp, &nWritten, nullptr) || nWritten != nMem) abort();
    rewind(fp);
    unsigned char* pbyFile = new unsigned char[nMem ? nMem : 1];
    if ((size_t)nMem != fread(pbyFile, 1, nMem, fp) || 0 != memcmp(pbyFile, pbyMem, nMem)) abort();
    delete[] pbyFile;
    fclose(fp);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NodeEx* pRoot = nullptr;
    if (VOMU_OK != DecodeASN1MemoryEx(data, size, &pRoot)) {
        delete pRoot;
        return 0;
    }
    unsigned char* pbyDer = nullptr;
    int nDer = 0, nDepth = 0;
    const int nResult = EncodeASN1ToMemory(pRoot, &pbyDer, &nDer, &nDepth);
    if (VOMU_OK != nResult || 0 != nDepth) abort();
    CheckFileEncoding(pRoot, pbyDer, nDer);
    // Only DER-style definite lengths can match byte for byte; BER's long forms need not be
    // minimal, so compare the bytes only when the input's own re-encoding is shortest.
    if (!HasIndefinite(pRoot, data) && (size_t)nDer == pRoot->TotalLength && 0 != memcmp(pbyDer, data, nDer)) abort();
    NodeEx* pAgain = nullptr;
    if (VOMU_OK != DecodeASN1MemoryEx(pbyDer, nDer, &pAgain) || !SameTags(pRoot, pAgain)) abort();
    delete pAgain;
    delete[] pbyDer;
    delete pRoot;
    return 0;
}
