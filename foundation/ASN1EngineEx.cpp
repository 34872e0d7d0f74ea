// Placeholder bodies so callers can link against the interface; the engine follows.
#include "ASN1EngineEx.h"

#include "vomu_result.h"

NodeEx::~NodeEx()
{
    delete[] pValue;
    for (NodeEx* pChild : vetNodes) delete pChild;
    vetNodes.clear();
}
int NodeEx::GetTotalRequiredSize() { return -1; }
int NodeEx::GetCurrentRequiredLength() { return -1; }
bool NodeEx::AddChild(NodeEx* pChild) { delete pChild; return false; }
int EncodeASN1Length(long long, unsigned char**) { return -1; }
int DuplicateNodeEx(NodeEx*, NodeEx**, bool) { return VOMU_E_FAIL; }
int ASN1Encode(unsigned char, const unsigned char*, int, unsigned char**, int*) { return VOMU_E_FAIL; }
int EncodeASN1ToMemory(NodeEx*, unsigned char**, int*, int*) { return VOMU_E_FAIL; }
int EncodeASN1ToFile(NodeEx*, FILE*, int*, int*) { return VOMU_E_FAIL; }
int DecodeASN1MemoryEx(const unsigned char*, unsigned long, NodeEx**) { return VOMU_E_FAIL; }
int DecodeASN1FileEx(FILE*, NodeEx**) { return VOMU_E_FAIL; }
int ParseNodeEx(NodeEx*, unsigned int&) { return -1; }
int ParseASN1TLVEx(FILE*, const unsigned char*, long long*, long long*, unsigned char*,
                   unsigned long*, unsigned long*, unsigned long*, unsigned long*, unsigned short*)
{ return -1; }
int GetASN1ValueLengthEx(FILE*, const unsigned char*, long long*, long long*, unsigned long*,
                         unsigned long*, unsigned long*, unsigned short*)
{ return -1; }
int GetInfiniteLengthEx(NodeEx*) { return -1; }
int PrintNodeEx(NodeEx*) { return 0; }
