// Digests of data and of files as upper-case hex: SM3 (plain, without the Z value of SM2
// signing), MD5, SHA-1 and SHA-256.
#include <openssl/obj_mac.h>

#include <cstdio>
#include <memory>
#include <new>
#include <strings.h>

#include "operations/DataSigning.h"
#include "HandOver.h"
#include "KernelHold.h"
#include "Handlers.h"
#include "InputFile.h"
#include "Misc.h"
#include "operations/RSADataSigning.h"
#include "vomu_zlog.h"

namespace morvphp {
namespace {

const int SM3_DIGEST_SIZE = 32;

// The names, compared without regard to case; nNid 0 is our SM3.
struct HashName {
    const char* pszName;
    int nNid;
};
const HashName HASH_NAMES[] = {
    {"SM3", 0}, {"MD5", NID_md5}, {"SHA-1", NID_sha1}, {"SHA-256", NID_sha256}};

const HashName* FindHash(const char* pszName)
{
    for (const HashName& hash : HASH_NAMES) {
        if (0 == strcasecmp(pszName, hash.pszName)) return &hash;
    }
    return nullptr;
}

struct Digest {
    morv::OwnedArray<unsigned char> pBytes;
    int nSize = 0;
};

// SM3 writes into a buffer of ours: 32 bytes and a zero byte after them.
bool NewSm3Buffer(Call& call, Digest& digest)
{
    digest.pBytes.reset(new (std::nothrow) unsigned char[SM3_DIGEST_SIZE + 1]());
    if (!digest.pBytes) {
        call.StepFailed("New memory", VOMU_E_FAIL, "!pbyHashData");
        return false;
    }
    call.StepOk("New memory");
    digest.nSize = SM3_DIGEST_SIZE;
    return true;
}

int DigestData(Call& call, const HashName& hash, Digest& digest)
{
    if (hash.nNid) {
        unsigned char* pbyDigest = nullptr;
        const int nResult = call.Called(
            "CalculateDataHash", CalculateDataHash(call.Data(0), call.DataSize(0), hash.nNid,
                                                   &pbyDigest, &digest.nSize));
        digest.pBytes.reset(pbyDigest);
        return nResult;
    }
    if (!NewSm3Buffer(call, digest)) return VOMU_E_FAIL;
    return call.Called("CalculateSM3Hash", CalculateSM3Hash(call.Data(0), call.DataSize(0), nullptr,
                                                            nullptr, digest.pBytes.get(), false));
}

int DigestFile(Call& call, const HashName& hash, FILE* fpSource, Digest& digest)
{
    if (hash.nNid) {
        unsigned char* pbyDigest = nullptr;
        const int nResult = call.Called(
            "CalculateFileHash", CalculateFileHash(fpSource, hash.nNid, &pbyDigest, &digest.nSize));
        digest.pBytes.reset(pbyDigest);
        return nResult;
    }
    if (!NewSm3Buffer(call, digest)) return VOMU_E_FAIL;
    unsigned char* pbyDigest = digest.pBytes.get();
    return call.Called("CalculateSM3FileHashEx",
                       CalculateSM3FileHashEx(fpSource, nullptr, nullptr, pbyDigest, false));
}

// The digest as hex into output 2.
int PutHexDigest(Call& call, const Digest& digest)
{
    char* pszHex = nullptr;
    const int nResult = call.Called(
        "ConvertBinaryDataToString",
        ConvertBinaryDataToString(digest.pBytes.get(), digest.nSize, &pszHex, false));
    if (VOMU_OK == nResult) TRACE(TRACE_LEVEL_INFO, "pszHexHashData:%s", pszHex);
    return call.HandOutText(2, nResult, pszHex);
}

const HashName* HashOf(Call& call)
{
    const HashName* pHash = FindHash(call.Text(1));
    if (!pHash) call.StepFailed("strHashAlg", VOMU_E_INVALID_ARG, "true");
    return pHash;
}

// The library's digests are the kernel's: without a hold on it they are not there, as when
// the kernel is stopped. Our SM3 needs no kernel.
bool KernelServes(Call& call, const HashName& hash, const smk::KernelHold& kernelHold)
{
    if (0 == hash.nNid || kernelHold) return true;
    call.StepFailed("Hold the kernel", VOMU_E_FAIL, "!kernelHold");
    return false;
}

}  // namespace

Php::Value vomu_calculateDataHash(Php::Parameters& params)
{
    const smk::KernelHold kernelHold;  // first: this handler reaches the kernel without the SDK
    Call call(vomu_calculateDataHash, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strSourceData", 0);
    call.TraceText("strHashAlg", 1);
    const HashName* pHash = HashOf(call);
    if (!pHash) return VOMU_E_INVALID_ARG;
    if (!KernelServes(call, *pHash, kernelHold)) return VOMU_E_FAIL;
    Digest digest;
    const int nResult = DigestData(call, *pHash, digest);
    return VOMU_OK == nResult ? PutHexDigest(call, digest) : nResult;
}

Php::Value vomu_calculateFileHash(Php::Parameters& params)
{
    const smk::KernelHold kernelHold;  // first: this handler reaches the kernel without the SDK
    Call call(vomu_calculateFileHash, params);
    if (!call.ArgumentsOk()) return call.Code();
    call.TraceText("strSourceFilePath", 0);
    call.TraceText("strHashAlg", 1);
    std::unique_ptr<FILE, int (*)(FILE*)> pSource(morv::OpenInputFile(call.Text(0)), fclose);
    if (!pSource) {
        call.StepFailed("strSourceFilePath", VOMU_E_INVALID_ARG, "NULL == fpSourceFile");
        return VOMU_E_INVALID_ARG;
    }
    call.StepOk("strSourceFilePath");
    const HashName* pHash = HashOf(call);
    if (!pHash) return VOMU_E_INVALID_ARG;
    if (!KernelServes(call, *pHash, kernelHold)) return VOMU_E_FAIL;
    Digest digest;
    const int nResult = DigestFile(call, *pHash, pSource.get(), digest);
    return VOMU_OK == nResult ? PutHexDigest(call, digest) : nResult;
}

}  // namespace morvphp
