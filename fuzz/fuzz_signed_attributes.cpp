// ParseSignedUnsignedAttributes on arbitrary octets, for the attribute types the verifiers
// look up (the first octet picks one): a value it finds lies inside the input.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "PKCS7SignedDataOperations.h"
#include "vomu_result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const kOids[] = {"1.2.840.113549.1.9.4", "1.2.840.113549.1.9.3",
                                        "1.2.840.113549.1.9.5", "1.2.156.10197.1.401"};
    if (size < 2 || size > INT_MAX) return 0;
    const char* pszOid = kOids[data[0] % 4];
    std::vector<unsigned char> attrs(data + 1, data + size);  // exact size
    unsigned char* pbyValue = NULL;
    int nValue = 0;
    const int nResult = ParseSignedUnsignedAttributes(attrs.data(), (int)attrs.size(), pszOid,
                                                      &pbyValue, &nValue);
    if (VOMU_OK == nResult) {
        if (!pbyValue || nValue < 2 || (size_t)nValue > attrs.size() - 4) abort();
        // The value's octets are a piece of the input.
        bool bFound = false;
        for (size_t i = 0; i + (size_t)nValue <= attrs.size() && !bFound; i++)
            bFound = 0 == memcmp(attrs.data() + i, pbyValue, (size_t)nValue);
        if (!bFound) abort();
    } else if (pbyValue) {
        abort();
    }
    delete[] pbyValue;
    return 0;
}
