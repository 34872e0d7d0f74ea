// Decode_CMSEnvelopeData on arbitrary octets. Whatever it accepts must be consistent (every
// length within its array, the content zero-ended, OIDs as long as stated) and must survive
// the writer: the fields written into a new envelope read back unchanged. The writer's octets
// must be the DER built here independently with the rid as [0] IMPLICIT key identifier, and
// the same envelope naming its recipient by issuer and serial number (a SEQUENCE rid) must be
// refused as not shaped like ours.
#include <openssl/objects.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CMSEnvelopeOperations.h"
#include "vomu_result.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Envelope {
    Bytes rid, key, content, param;
    std::string keyAlg, contentAlg;
};

Bytes Take(unsigned char* pby, int n)
{
    if (n < 0 || (n > 0 && !pby)) abort();
    Bytes out(pby, pby + n);
    delete[] pby;
    return out;
}

std::string TakeText(char* psz, int n)
{
    if (!psz || n < 0 || strlen(psz) != (size_t)n) abort();
    std::string out(psz);
    delete[] psz;
    return out;
}

int Decode(const Bytes& der, Envelope* pEnv)
{
    unsigned char *pbyRid = NULL, *pbyKey = NULL, *pbyContent = NULL, *pbyParam = NULL;
    char *pszKeyAlg = NULL, *pszContentAlg = NULL;
    int nRid = -1, nKey = -1, nContent = -1, nKeyAlg = -1, nContentAlg = -1, nParam = -1;
    const int nResult = Decode_CMSEnvelopeData((unsigned char*)der.data(), (int)der.size(), &pbyRid, &nRid,
                                               &pbyKey, &nKey, &pbyContent, &nContent, &pszKeyAlg, &nKeyAlg,
                                               &pszContentAlg, &nContentAlg, &pbyParam, &nParam);
    if (VOMU_OK != nResult) {
        if (pbyRid || pbyKey || pbyContent || pszKeyAlg || pszContentAlg || pbyParam) abort();
        return nResult;
    }
    if (!pbyContent || nContent < 0 || 0 != pbyContent[nContent]) abort();
    pEnv->rid = Take(pbyRid, nRid);
    pEnv->key = Take(pbyKey, nKey);
    pEnv->content = Take(pbyContent, nContent);
    pEnv->param = Take(pbyParam, nParam);
    pEnv->keyAlg = TakeText(pszKeyAlg, nKeyAlg);
    pEnv->contentAlg = TakeText(pszContentAlg, nContentAlg);
    return nResult;
}

Bytes OctetString(const Bytes& value)
{
    Bytes out = {0x04};
    unsigned char* pbyLength = NULL;
    const int nLengthOctets = EncodeASN1Length((long long)value.size(), &pbyLength);
    if (nLengthOctets < 1) abort();
    out.insert(out.end(), pbyLength, pbyLength + nLengthOctets);
    delete[] pbyLength;
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

// ---- The expected DER, built without the system's encoder ----

Bytes Tlv(unsigned char byTag, const Bytes& value)
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

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The OID TLV as OpenSSL encodes the dotted text.
Bytes OidTlv(const std::string& oid)
{
    ASN1_OBJECT* pObject = OBJ_txt2obj(oid.c_str(), 1);
    if (!pObject) abort();
    unsigned char* pby = NULL;
    const int n = i2d_ASN1_OBJECT(pObject, &pby);
    ASN1_OBJECT_free(pObject);
    if (n <= 0) abort();
    Bytes out(pby, pby + n);
    OPENSSL_free(pby);
    return out;
}

const Bytes kEnvelopedDataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
const Bytes kDataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const Bytes kVersion2 = {0x02, 0x01, 0x02};

Bytes ExpectedEnvelope(const Envelope& env, const Bytes& param, const Bytes& rid)
{
    const Bytes ktri = Tlv(0x30, Cat({kVersion2, rid, Tlv(0x30, Cat({OidTlv(env.keyAlg), {0x05, 0x00}})),
                                      Tlv(0x04, env.key)}));
    const Bytes eci = Tlv(0x30, Cat({kDataOid, Tlv(0x30, Cat({OidTlv(env.contentAlg), param})),
                                     Tlv(0x80, env.content)}));
    return Tlv(0x30, Cat({kEnvelopedDataOid, Tlv(0xA0, Tlv(0x30, Cat({kVersion2, Tlv(0x31, ktri), eci})))}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INT_MAX) return 0;
    const Bytes der(data, data + size);  // exact size: over-reads are caught
    Envelope env;
    if (VOMU_OK != Decode(der, &env)) return 0;

    // Parameters go back as an OCTET STRING holding the value read.
    Bytes param = OctetString(env.param);
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = Encode_CMSEnvelope(
        "1.2.840.113549.1.7.3", env.rid.data(), (int)env.rid.size(), env.keyAlg.c_str(), env.key.data(),
        (int)env.key.size(), "1.2.840.113549.1.7.1", env.contentAlg.c_str(), param.data(), (int)param.size(),
        env.content.data(), (int)env.content.size(), &pby, &n);
    if (VOMU_OK != nResult) abort();
    const Bytes written = Take(pby, n);
    if (written != ExpectedEnvelope(env, param, Tlv(0x80, env.rid))) abort();
    Envelope back;
    if (VOMU_OK != Decode(written, &back)) abort();
    if (back.rid != env.rid || back.key != env.key || back.content != env.content ||
        back.param != env.param || back.keyAlg != env.keyAlg || back.contentAlg != env.contentAlg)
        abort();

    // IssuerAndSerialNumber { issuer Name (empty RDNSequence), serialNumber 1 }.
    const Bytes issuerAndSerial = Tlv(0x30, Cat({Tlv(0x30, Bytes()), Tlv(0x02, {0x01})}));
    Envelope refused;
    if (VOMU_E_ENVELOPE_FORMAT != Decode(ExpectedEnvelope(env, param, issuerAndSerial), &refused))
        abort();
    return 0;
}
