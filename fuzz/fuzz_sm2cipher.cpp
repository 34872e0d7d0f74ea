// Decode_SM2Cipher on arbitrary octets; whatever it accepts must survive a round trip:
// decode -> encode -> decode gives the same raw ciphertext, and the re-encoding is canonical.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CMSEnvelopeOperations.h"
#include "FuzzUtil.h"
#include "vomu_result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INT_MAX) return 0;
    std::vector<unsigned char> der(data, data + size);  // exact size: over-reads are caught
    unsigned char* pby = NULL;
    int n = 0;
    if (VOMU_OK != Decode_SM2Cipher(der.data(), (int)size, &pby, &n)) return 0;
    if (n < 96) abort();
    std::vector<unsigned char> raw = fuzzutil::Take(pby, n);

    const int nResult = Encode_SM2Cipher(raw.data(), n, &pby, &n);
    if (raw.size() == 96) {
        // An empty CipherText decodes, but the encoder never writes one.
        if (VOMU_E_INVALID_ARG != nResult) abort();
        return 0;
    }
    if (VOMU_OK != nResult) abort();
    std::vector<unsigned char> der2 = fuzzutil::Take(pby, n);
    if (der2.size() > size) abort();  // minimal DER is never longer than what was read
    if (VOMU_OK != Decode_SM2Cipher(der2.data(), (int)der2.size(), &pby, &n)) abort();
    std::vector<unsigned char> raw2 = fuzzutil::Take(pby, n);
    if (raw != raw2) abort();
    if (VOMU_OK != Encode_SM2Cipher(raw2.data(), n, &pby, &n)) abort();
    if (fuzzutil::Take(pby, n) != der2) abort();
    return 0;
}
