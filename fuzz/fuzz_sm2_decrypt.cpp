// The SM2 ciphertext decoders on arbitrary octets with the fixture's private key (sm2/ee_enc):
// SM2_Decrypt over x1 || y1 || C2 || C3 and _SM2_decrypt_v2 over 04 || x1 || y1 || C3 || C2.
// Each must refuse what does not open without writing past the plaintext's length, and the
// two must agree: a raw ciphertext that opens, rearranged into the other form, opens to the
// same plaintext, and one that does not open does not open rearranged either.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FixtureFiles.h"
#include "SMKernel.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct PrivateKey {
    BIGNUM* d = NULL;
    unsigned char aby[32] = {};
};

const PrivateKey& TheKey()
{
    static const PrivateKey* s_pKey = [] {
        if (VOMU_OK != SMKernelInitialize()) abort();
        FILE* fp = fuzzutil::OpenFixture("pki/sm2/ee_enc.key");
        EVP_PKEY* pKey = PEM_read_PrivateKey(fp, NULL, NULL, NULL);
        fclose(fp);
        PrivateKey* p = new PrivateKey;
        if (!pKey || 1 != EVP_PKEY_get_bn_param(pKey, OSSL_PKEY_PARAM_PRIV_KEY, &p->d)) abort();
        EVP_PKEY_free(pKey);
        if (32 != BN_bn2binpad(p->d, p->aby, 32)) abort();
        return p;
    }();
    return *s_pKey;
}

// SM2_Decrypt's plaintext, or false.
bool OpenRaw(const Bytes& raw, Bytes* pPlain)
{
    unsigned char* pby = NULL;
    int n = 0;
    if (VOMU_OK != SM2_Decrypt(raw.data(), (int)raw.size(), TheKey().aby, 32, &pby, &n)) {
        if (pby) abort();
        return false;
    }
    if (!pby || n < 0 || (size_t)n + 96 != raw.size()) abort();
    pPlain->assign(pby, pby + n);
    delete[] pby;
    return true;
}

// _SM2_decrypt_v2 into a buffer of exactly the plaintext's length, or false.
bool OpenV2(const Bytes& cipher, Bytes* pPlain)
{
    const size_t nPlain = cipher.size() > 97 ? cipher.size() - 97 : 0;
    Bytes plain(nPlain ? nPlain : 1);
    if (1 != _SM2_decrypt_v2(NID_sm2, cipher.data(), (unsigned int)cipher.size(), TheKey().d, plain.data()))
        return false;
    plain.resize(nPlain);
    *pPlain = plain;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TheKey();
    if (size > 1 << 16) return 0;
    const Bytes raw(data, data + size);  // exact size
    Bytes plainRaw, plainV2;
    const bool bRaw = OpenRaw(raw, &plainRaw);
    OpenV2(raw, &plainV2);  // the same octets read as the other form
    if (size <= 96) {
        if (bRaw) abort();
        return 0;
    }
    // 04 || x1 || y1 || C3 || C2 from x1 || y1 || C2 || C3.
    Bytes v2 = {0x04};
    v2.insert(v2.end(), raw.begin(), raw.begin() + 64);
    v2.insert(v2.end(), raw.end() - 32, raw.end());
    v2.insert(v2.end(), raw.begin() + 64, raw.end() - 32);
    const bool bV2 = OpenV2(v2, &plainV2);
    if (bRaw != bV2 || (bRaw && plainRaw != plainV2)) abort();
    return 0;
}
