// Decode_SM2Q1 on arbitrary octets; whatever it accepts must survive a round trip:
// decode -> encode -> decode gives the same r || s, and the re-encoding is canonical.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzUtil.h"
#include "PKCS7SignedDataOperations.h"
#include "vomu_result.h"

namespace {

std::vector<unsigned char> Encode(std::vector<unsigned char> rs)
{
    unsigned char* pby = NULL;
    int n = 0;
    if (VOMU_OK != Encode_SM2Q1(rs.data(), 32, rs.data() + 32, 32, &pby, &n)) abort();
    return fuzzutil::Take(pby, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INT_MAX) return 0;
    std::vector<unsigned char> der(data, data + size);  // exact size: over-reads are caught
    unsigned char* pby = NULL;
    int n = 0;
    if (VOMU_OK != Decode_SM2Q1(der.data(), (int)size, &pby, &n)) return 0;
    if (64 != n) abort();
    const std::vector<unsigned char> rs = fuzzutil::Take(pby, n);

    std::vector<unsigned char> der2 = Encode(rs);
    if (der2.size() > size) abort();  // minimal DER is never longer than what was read
    if (VOMU_OK != Decode_SM2Q1(der2.data(), (int)der2.size(), &pby, &n) || 64 != n) abort();
    const std::vector<unsigned char> rs2 = fuzzutil::Take(pby, n);
    if (rs != rs2) abort();
    if (Encode(rs2) != der2) abort();
    return 0;
}
