// The memory decoder on arbitrary bytes: it must fail cleanly or give a tree whose every node
// lies inside the input.
#include <cstdint>
#include <cstdlib>

#include "ASN1EngineEx.h"
#include "vomu_result.h"

static void CheckInside(const NodeEx* pNode, uint64_t nSize)
{
    if (pNode->ValueOffset < 0 || (uint64_t)pNode->ValueOffset > nSize ||
        pNode->ValueLength > nSize - (uint64_t)pNode->ValueOffset || pNode->InfiniteLength)
        abort();
    for (const NodeEx* pChild : pNode->vetNodes) {
        if (pChild->pParent != pNode) abort();
        CheckInside(pChild, nSize);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NodeEx* pRoot = nullptr;
    if (VOMU_OK == DecodeASN1MemoryEx(data, size, &pRoot)) CheckInside(pRoot, size);
    delete pRoot;
    return 0;
}
