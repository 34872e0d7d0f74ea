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

#include "DerTestUtil.h"
#include "CMSEnvelopeOperations.h"
#include "FuzzUtil.h"
#include "vomu_result.h"

namespace {

using dertest::Cat;
using dertest::Tlv;
using fuzzutil::Bytes;
using fuzzutil::DecodeEnvelopeData;
using fuzzutil::Envelope;
using fuzzutil::Take;

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

// The OID TLV as OpenSSL encodes the dotted text.
Bytes OidTlv(const std::string& oid)
{
    const Bytes out = dertest::OidTlv(oid.c_str());
    if (out.empty()) abort();
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
    if (VOMU_OK != DecodeEnvelopeData(der, &env)) return 0;

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
    if (VOMU_OK != DecodeEnvelopeData(written, &back) || !fuzzutil::SameEnvelope(back, env)) abort();

    // IssuerAndSerialNumber { issuer Name (empty RDNSequence), serialNumber 1 }.
    const Bytes issuerAndSerial = Tlv(0x30, Cat({Tlv(0x30, Bytes()), Tlv(0x02, {0x01})}));
    Envelope refused;
    if (VOMU_E_ENVELOPE_FORMAT != DecodeEnvelopeData(ExpectedEnvelope(env, param, issuerAndSerial), &refused))
        abort();
    return 0;
}
