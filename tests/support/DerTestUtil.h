#ifndef MORV_TESTS_DER_TEST_UTIL_H
#define MORV_TESTS_DER_TEST_UTIL_H

// DER pieces written by hand, so that tests and fuzz targets can spell the structures they
// expect (or malformed ones) without our encoder; OIDs come from OpenSSL's own encoder.
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "ASN1EngineEx.h"
#include "HandOver.h"
#include "OsslPtr.h"
#include "TestBytes.h"
#include "vomu_result.h"

namespace dertest {

using support::Bytes;
using support::Cat;
using support::FromHex;
using support::HexText;

// One definite-length TLV (X.690 8.1.3): short form below 128, else the fewest length octets.
inline Bytes Tlv(unsigned char byTag, const Bytes& value)
{
    Bytes out = {byTag};
    const size_t n = value.size();
    if (n < 0x80) {
        out.push_back((unsigned char)n);
    } else {
        Bytes length;
        for (size_t m = n; m; m >>= 8) length.insert(length.begin(), (unsigned char)m);
        out.push_back((unsigned char)(0x80 | length.size()));
        out.insert(out.end(), length.begin(), length.end());
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

// OpenSSL's DER of an object through its i2d_ function; empty when there is no object or
// OpenSSL cannot encode it.
template <typename I2d, typename T>
inline Bytes ByOpenSSL(I2d i2d, T* pObject)
{
    unsigned char* pby = NULL;
    const int n = pObject ? i2d(pObject, &pby) : 0;
    Bytes out(pby, pby + (n > 0 ? n : 0));
    OPENSSL_free(pby);
    return out;
}

// The OBJECT IDENTIFIER TLV as OpenSSL encodes the dotted text; empty when OpenSSL refuses it.
inline Bytes OidTlv(const char* pszOid)
{
    morv::OsslPtr<ASN1_OBJECT> pObj(OBJ_txt2obj(pszOid, 1));
    return ByOpenSSL(i2d_ASN1_OBJECT, pObj.get());
}

// AlgorithmIdentifier { algorithm, NULL parameters }.
inline Bytes NullAlgorithm(const char* pszOid) { return Tlv(0x30, Cat({OidTlv(pszOid), {0x05, 0x00}})); }

// A node tree through our encoder; empty when it fails.
inline Bytes EncodeTree(NodeEx* pNode)
{
    unsigned char* pby = NULL;
    int n = 0;
    int nDepth = 0;
    const int nResult = EncodeASN1ToMemory(pNode, &pby, &n, &nDepth);
    morv::OwnedArray<unsigned char> owned(pby);
    return VOMU_OK == nResult ? Bytes(pby, pby + n) : Bytes();
}

}  // namespace dertest

#endif
