// The file decoder on arbitrary bytes through fmemopen; the tree must equal the memory
// decoder's for the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ASN1EngineEx.h"
#include "vomu_result.h"

static bool SameTree(const NodeEx* a, const NodeEx* b)
{
    if (a->Tag != b->Tag || a->ValueOffset != b->ValueOffset || a->ValueLength != b->ValueLength ||
        a->LengthOctets != b->LengthOctets || a->TotalLength != b->TotalLength ||
        a->vetNodes.size() != b->vetNodes.size())
        return false;
    for (size_t i = 0; i < a->vetNodes.size(); ++i)
        if (!SameTree(a->vetNodes[i], b->vetNodes[i])) return false;
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (0 == size) return 0;  // fmemopen refuses an empty buffer
    FILE* fp = fmemopen((void*)data, size, "rb");
    if (!fp) return 0;
    NodeEx* pFileRoot = nullptr;
    NodeEx* pMemRoot = nullptr;
    const int nFile = DecodeASN1FileEx(fp, &pFileRoot);
    const int nMem = DecodeASN1MemoryEx(data, size, &pMemRoot);
    if (nFile != nMem) abort();
    if (VOMU_OK == nFile && !SameTree(pFileRoot, pMemRoot)) abort();
    delete pFileRoot;
    delete pMemRoot;
    fclose(fp);
    return 0;
}
