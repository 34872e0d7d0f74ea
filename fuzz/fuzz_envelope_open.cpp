// The envelope openers of the operations layer on hostile envelope DER, with the fixture key
// files: the first octet picks the road (bit 0: SM2 key file sm2pfx/enc.b64, or RSA PKCS#12
// p12/modern.p12), on the SM2 road the stored form of the content key (bit 1: raw or
// SM2Cipher), and the memory or the file opener (bit 2; the envelope written to a temporary
// file, the content to another, both kept for the run). The rest is the envelope. Every call
// must end in a result code with nothing handed out on failure; the content opened fits in the
// envelope and, from memory on the RSA road, is followed by a zero octet.
#include <unistd.h>

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
    FILE* fpEnvelope;  // temporary files, gone when the run ends
    FILE* fpPlain;
};

const KeyFiles& TheKeyFiles()
{
    static const KeyFiles s_keyFiles = [] {
        if (VOMU_OK != SMKernelInitialize()) abort();
        KeyFiles files{fuzzutil::OpenFixture("pki/sm2pfx/enc.b64"), fuzzutil::OpenFixture("pki/p12/modern.p12"),
                       tmpfile(), tmpfile()};
        if (!files.fpEnvelope || !files.fpPlain) abort();
        return files;
    }();
    return s_keyFiles;
}

void Rewrite(FILE* fp, const std::vector<unsigned char>& bytes)
{
    rewind(fp);
    if (0 != ftruncate(fileno(fp), 0)) abort();
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), fp) != bytes.size()) abort();
    if (0 != fflush(fp)) abort();
    rewind(fp);
}

// The file openers: the content written must fit in the envelope.
void OpenFile(const KeyFiles& keys, const std::vector<unsigned char>& der, bool bRSA, unsigned long fForm)
{
    Rewrite(keys.fpEnvelope, der);
    Rewrite(keys.fpPlain, {});
    if (bRSA) {
        rewind(keys.fpP12);
        RSA_DecryptFileFromCMSEnvelope(keys.fpEnvelope, keys.fpP12, kP12Password, keys.fpPlain);
    } else {
        DecryptDerCMSEnvelopeFile(keys.fpEnvelope, keys.fpSM2, kSM2Password, fForm, keys.fpPlain);
    }
    if (0 != fflush(keys.fpPlain)) abort();
    const long nWritten = ftell(keys.fpPlain);
    if (nWritten < 0 || (size_t)nWritten > der.size()) abort();
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
    const unsigned long fForm = (data[0] & 2) ? SM2_ENC_ENCODED_SM2CIPHER : SM2_ENC_ENCODED_RAW;
    if (data[0] & 4) {
        OpenFile(keys, der, bRSA, fForm);
        return 0;
    }
    if (bRSA) {
        rewind(keys.fpP12);
        nResult = RSA_DecryptDataFromDERCMSEnvelope(der.data(), (int)der.size(), keys.fpP12, kP12Password,
                                                    &pbyPlain, &nPlain);
    } else {
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
