// The envelope openers of the operations layer on hostile envelope DER, with the fixture key
// files: the first octet picks the road (bit 0: SM2 key file sm2pfx/enc.b64, or RSA PKCS#12
// p12/modern.p12) and, on the SM2 road, the stored form of the content key (bit 1: raw or
// SM2Cipher). The rest is the envelope. Every call must end in a result code with nothing
// handed out on failure; the content opened fits in the envelope and, on the RSA road, is
// followed by a zero octet.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "FixtureFiles.h"
#include "SMKernel.h"
#include "operations/DataEncryption.h"
#include "operations/RSADataEncryption.h"
#include "vomu_result.h"

namespace {

const char kSM2Password[] = "Fixture-SM2-2020";
const char kP12Password[] = "Fixture-P12-2020";

struct KeyFiles {
    FILE* fpSM2;
    FILE* fpP12;
};

const KeyFiles& TheKeyFiles()
{
    static const KeyFiles s_keyFiles = [] {
        if (VOMU_OK != SMKernelInitialize()) abort();
        return KeyFiles{fuzzutil::OpenFixture("pki/sm2pfx/enc.b64"), fuzzutil::OpenFixture("pki/p12/modern.p12")};
    }();
    return s_keyFiles;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const KeyFiles& keys = TheKeyFiles();
    if (size < 2 || size > 1 << 20) return 0;
    const std::vector<unsigned char> der(data + 1, data + size);  // exact size
    unsigned char* pbyPlain = reinterpret_cast<unsigned char*>(1);  // untouched on failure
    int nPlain = -7;
    int nResult;
    const bool bRSA = data[0] & 1;
    if (bRSA) {
        rewind(keys.fpP12);
        nResult = RSA_DecryptDataFromDERCMSEnvelope(der.data(), (int)der.size(), keys.fpP12, kP12Password,
                                                    &pbyPlain, &nPlain);
    } else {
        const unsigned long fForm = (data[0] & 2) ? SM2_ENC_ENCODED_SM2CIPHER : SM2_ENC_ENCODED_RAW;
        nResult = DecryptDerCMSEnvelopeData(der.data(), (int)der.size(), keys.fpSM2, kSM2Password, fForm,
                                            &pbyPlain, &nPlain);
    }
    if (VOMU_OK != nResult) {
        if (pbyPlain != reinterpret_cast<unsigned char*>(1) || -7 != nPlain) abort();
        return 0;
    }
    if (nPlain < 0 || (size_t)nPlain > der.size() || !pbyPlain) abort();
    if (bRSA && 0 != pbyPlain[nPlain]) abort();
    delete[] pbyPlain;
    return 0;
}
