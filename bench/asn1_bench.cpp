// NodeEx decoding and re-encoding against OpenSSL's own DER decoders on the same bytes, in
// the same run: a certificate 10,000 times, and 1 MiB / 50 MiB OCTET STRINGs.
//   asn1_bench [certificate.der]   (default: tests/data/asn1/rsa_cert.der of the source tree)
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ASN1EngineEx.h"
#include "vomu_result.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

double SecondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

template <typename F> double Time(int nRuns, F f)
{
    f();  // warm-up
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < nRuns; ++i)
        if (!f()) return -1;
    return SecondsSince(t0) / nRuns;
}

bool OurDecode(const Bytes& der)
{
    NodeEx* pRoot = nullptr;
    const int nResult = DecodeASN1MemoryEx(der.data(), der.size(), &pRoot);
    delete pRoot;
    return VOMU_OK == nResult;
}

bool OurDecodeEncode(const Bytes& der)
{
    NodeEx* pRoot = nullptr;
    if (VOMU_OK != DecodeASN1MemoryEx(der.data(), der.size(), &pRoot)) return false;
    unsigned char* pbyOut = nullptr;
    int nOut = 0;
    const int nResult = EncodeASN1ToMemory(pRoot, &pbyOut, &nOut, nullptr);
    const bool bSame = VOMU_OK == nResult && (size_t)nOut == der.size();
    delete[] pbyOut;
    delete pRoot;
    return bSame;
}

bool OsslX509(const Bytes& der)
{
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, (long)der.size());
    X509_free(x);
    return x != nullptr;
}

bool OsslItem(const Bytes& der)
{
    const unsigned char* p = der.data();
    ASN1_VALUE* v = ASN1_item_d2i(nullptr, &p, (long)der.size(), ASN1_ITEM_rptr(X509));
    ASN1_item_free(v, ASN1_ITEM_rptr(X509));
    return v != nullptr;
}

bool OsslOctetString(const Bytes& der)
{
    const unsigned char* p = der.data();
    ASN1_OCTET_STRING* s = d2i_ASN1_OCTET_STRING(nullptr, &p, (long)der.size());
    ASN1_OCTET_STRING_free(s);
    return s != nullptr;
}

bool OsslOctetStringReencode(const Bytes& der)
{
    const unsigned char* p = der.data();
    ASN1_OCTET_STRING* s = d2i_ASN1_OCTET_STRING(nullptr, &p, (long)der.size());
    unsigned char* pbyOut = nullptr;
    const int n = s ? i2d_ASN1_OCTET_STRING(s, &pbyOut) : -1;
    OPENSSL_free(pbyOut);
    ASN1_OCTET_STRING_free(s);
    return n == (int)der.size();
}

// A DER OCTET STRING whose whole TLV is nTotal bytes (a shortest long-form length of 3 or 4
// octets, so the re-encoding is byte-identical).
Bytes OctetString(size_t nTotal)
{
    const int nCount = nTotal - 5 < (1u << 24) ? 3 : 4;
    const size_t nValue = nTotal - 2 - nCount;
    Bytes der = {0x04, (unsigned char)(0x80 + nCount)};
    for (int i = nCount - 1; i >= 0; --i) der.push_back((unsigned char)(nValue >> (8 * i)));
    der.resize(nTotal, 0xA5);
    return der;
}

void BenchCertificate(const Bytes& der)
{
    const int nRuns = 10000;
    const double tOurs = Time(nRuns, [&] { return OurDecode(der); });
    const double tOursRt = Time(nRuns, [&] { return OurDecodeEncode(der); });
    const double tX509 = Time(nRuns, [&] { return OsslX509(der); });
    const double tItem = Time(nRuns, [&] { return OsslItem(der); });
    if (tOurs < 0 || tOursRt < 0 || tX509 < 0 || tItem < 0) {
        printf("certificate: a decoder failed\n");
        return;
    }
    printf("certificate (%zu bytes, %d runs):\n", der.size(), nRuns);
    printf("  NodeEx decode              %8.3f us\n", tOurs * 1e6);
    printf("  NodeEx decode + re-encode  %8.3f us\n", tOursRt * 1e6);
    printf("  OpenSSL d2i_X509           %8.3f us   (NodeEx decode is %.1fx faster)\n", tX509 * 1e6, tX509 / tOurs);
    printf("  OpenSSL ASN1_item_d2i      %8.3f us   (NodeEx decode is %.1fx faster)\n", tItem * 1e6, tItem / tOurs);
}

void BenchOctetString(size_t nTotal, int nRuns)
{
    const Bytes der = OctetString(nTotal);
    const double dMiB = nTotal / 1048576.0;
    const double tOurs = Time(nRuns, [&] { return OurDecode(der); });
    const double tOursRt = Time(nRuns, [&] { return OurDecodeEncode(der); });
    const double tOssl = Time(nRuns, [&] { return OsslOctetString(der); });
    const double tOsslRt = Time(nRuns, [&] { return OsslOctetStringReencode(der); });
    if (tOurs < 0 || tOursRt < 0 || tOssl < 0 || tOsslRt < 0) {
        printf("OCTET STRING %.0f MiB: a decoder failed\n", dMiB);
        return;
    }
    printf("OCTET STRING %.0f MiB (%d runs):\n", dMiB, nRuns);
    printf("  NodeEx decode (value not touched)    %12.3f us per decode\n", tOurs * 1e6);
    printf("  NodeEx decode + re-encode (1 copy)   %12.0f MB/s\n", dMiB / tOursRt);
    printf("  OpenSSL d2i_ASN1_OCTET_STRING        %12.0f MB/s   (%.3f us; NodeEx decode %.0fx faster)\n",
           dMiB / tOssl, tOssl * 1e6, tOssl / tOurs);
    printf("  OpenSSL d2i + i2d                    %12.0f MB/s   (NodeEx round trip %.1fx faster)\n",
           dMiB / tOsslRt, tOsslRt / tOursRt);
}

std::string DefaultCertificate()
{
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../tests/data/asn1/rsa_cert.der";
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string path = argc > 1 ? argv[1] : DefaultCertificate();
    std::ifstream in(path, std::ios::binary);
    const Bytes cert((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cert.empty()) {
        fprintf(stderr, "asn1_bench: cannot read %s\n", path.c_str());
        return 1;
    }
    BenchCertificate(cert);
    BenchOctetString(1u << 20, 200);
    BenchOctetString(50u << 20, 10);  // exactly MAX_ASN1_DATA_MEMORY_SIZE as a whole TLV
    return 0;
}
