// The file-road verifiers on hostile SignedData: the first octet picks VerifyFileSignature_
// PKCS7Attached over the rest written as the signature file (0), or the rest as the detached
// signature over the fixture data file, SM2_VerifyFileSignature_PKCS7Detached (its Base64
// text, 1) or RSA_VerifyFileSignature_DERPKCS7Detached (2). Every call must end in a result
// code with nothing handed out on failure; the attached content found lies inside the file.
#include <openssl/evp.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FixtureFiles.h"
#include "SMKernel.h"
#include "operations/DataSigning.h"
#include "operations/RSADataSigning.h"
#include "vomu_result.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Files {
    FILE* fpData;       // what the seeds sign
    FILE* fpSignature;  // rewritten for each input
};

const Files& TheFiles()
{
    static const Files s_files = [] {
        if (VOMU_OK != SMKernelInitialize()) abort();
        Files files{tmpfile(), tmpfile()};
        if (!files.fpData || !files.fpSignature) abort();
        const Bytes data = fuzzutil::SignedFixtureData();
        if (fwrite(data.data(), 1, data.size(), files.fpData) != data.size() || 0 != fflush(files.fpData)) abort();
        return files;
    }();
    return s_files;
}

void Rewrite(FILE* fp, const Bytes& bytes)
{
    rewind(fp);
    if (0 != ftruncate(fileno(fp), 0)) abort();
    if (fwrite(bytes.data(), 1, bytes.size(), fp) != bytes.size() || 0 != fflush(fp)) abort();
    rewind(fp);
}

// Outputs after a call: untouched on failure, a certificate on success.
void CheckCert(int nResult, unsigned char* pbyCert, int nCert)
{
    if (VOMU_OK != nResult) {
        if (pbyCert != reinterpret_cast<unsigned char*>(1) || -7 != nCert) abort();
        return;
    }
    if (!pbyCert || nCert <= 0) abort();
    delete[] pbyCert;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Files& files = TheFiles();
    if (size < 2 || size > 1 << 20) return 0;
    const Bytes der(data + 1, data + size);  // exact size
    unsigned char* pbyCert = reinterpret_cast<unsigned char*>(1);
    int nCert = -7;
    int nResult;
    switch (data[0] % 3) {
    case 0: {
        Rewrite(files.fpSignature, der);
        long long llOffset = -1;
        int nContent = -1;
        nResult = VerifyFileSignature_PKCS7Attached(files.fpSignature, &llOffset, &nContent, &pbyCert, &nCert, true);
        if (VOMU_OK == nResult && (llOffset < 0 || nContent < 0 || (size_t)llOffset + (size_t)nContent > der.size()))
            abort();
        break;
    }
    case 1: {
        const std::string text = fuzzutil::Base64Text(der.data(), der.size());
        rewind(files.fpData);
        nResult = SM2_VerifyFileSignature_PKCS7Detached(text.c_str(), (int)text.size(), files.fpData, &pbyCert, &nCert,
                                                        true);
        break;
    }
    default:
        rewind(files.fpData);
        nResult = RSA_VerifyFileSignature_DERPKCS7Detached(der.data(), (int)der.size(), files.fpData, &pbyCert, &nCert);
        break;
    }
    CheckCert(nResult, pbyCert, nCert);
    return 0;
}
