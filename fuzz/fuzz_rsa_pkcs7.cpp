// DecodeRSAPKCS7Signature on arbitrary octets, decoding into the kernel's library context.
// Whatever it accepts hands out a certificate that encodes again, a known digest number and
// outputs no larger than the input.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <openssl/x509.h>

#include "PKCS7SignedDataOperations.h"
#include "SMKernel.h"
#include "vomu_result.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool bKernel = VOMU_OK == SMKernelInitialize();
    if (!bKernel) abort();
    if (0 == size || size > INT_MAX) return 0;
    std::vector<unsigned char> der(data, data + size);  // exact size
    X509* pCert = NULL;
    int nNid = 0, nSig = 0, nContent = 0;
    unsigned char *pbySig = NULL, *pbyContent = NULL;
    const int nResult = DecodeRSAPKCS7Signature(der.data(), (int)size, &pCert, &nNid, &pbySig,
                                                &nSig, &pbyContent, &nContent);
    if (VOMU_OK == nResult) {
        if (!pCert || i2d_X509(pCert, NULL) <= 0 || NID_undef == nNid || !pbySig) abort();
        if ((size_t)nSig > size || (size_t)nContent > size) abort();
    } else if (pCert || pbySig || pbyContent) {
        abort();
    }
    X509_free(pCert);
    delete[] pbySig;
    delete[] pbyContent;
    return 0;
}
