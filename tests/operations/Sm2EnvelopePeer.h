#ifndef MORV_TESTS_OPERATIONS_SM2_ENVELOPE_PEER_H
#define MORV_TESTS_OPERATIONS_SM2_ENVELOPE_PEER_H

// The SM2 side of the envelope tests: the recipient fixture, our SM2 encryption, the
// sm-crypto peer, `openssl asn1parse` views of an envelope, `openssl pkeyutl` and `openssl enc`
// for its parts, envelopes written by hand (DerTestUtil.h), and both of our opening roads.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "DerTestUtil.h"
#include "SigningPeer.h"
#include "SmCryptoPeer.h"
#include "TestOutputs.h"
#include "operations/DataEncryption.h"
#include "vomu_result.h"

namespace envpeer {

using peer::Bytes;
using peer::TempFile;
using namespace signpeer;
using dertest::Cat;
using dertest::OidTlv;
using dertest::Tlv;

inline const char kEnvelopedDataOID[] = "1.2.156.10197.6.1.4.2.3";
inline const char kSM2EncryptionOID[] = "1.2.156.10197.1.301.3";
inline const char kDataOID[] = "1.2.156.10197.6.1.4.2.1";
inline const char kSM4CbcOID[] = "1.2.156.10197.1.104";

// The recipient of the envelopes (keyEncipherment) and its key as the CLI printed it.
struct Recipient {
    std::string name = "ee_enc";
    Bytes cert = peer::ReadFileBytes(PkiPath("sm2/ee_enc.der"));
    Bytes d = peer::FromHex(Fact("sm2/ee_enc", "private_d"));
    Bytes x = peer::FromHex(Fact("sm2/ee_enc", "public_x"));
    Bytes y = peer::FromHex(Fact("sm2/ee_enc", "public_y"));
};

inline Bytes OurEncrypt(const Bytes& msg, const Bytes& x, const Bytes& y)
{
    unsigned char* pby = NULL;
    int n = 0;
    EXPECT_EQ(VOMU_OK, SM2_Encrypt(msg.data(), (int)msg.size(), x.data(), 32, y.data(), 32, &pby, &n));
    return support::Take(pby, n);
}

inline int OurDecrypt(const Bytes& cipher, const Bytes& d, Bytes* pPlain)
{
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = SM2_Decrypt(cipher.data(), (int)cipher.size(), d.data(), (int)d.size(), &pby, &n);
    *pPlain = support::Take(pby, n);
    return nResult;
}

// The sm-crypto peer over request lines; empty when node or the package is missing.
inline std::vector<std::string> SmCrypto(const std::string& request)
{
    std::string moduleDir;
    if (0 != support::RunCommand("node --version") || !smtest::InstallSmCrypto(moduleDir)) return {};
    return smtest::RunSmCrypto(moduleDir, request);
}

// Payloads with zero bytes inside.
inline Bytes Payload(size_t n)
{
    Bytes msg = Message(n);
    for (size_t i = 0; i < n; i += 7) msg[i] = 0;
    return msg;
}

// One line of `openssl asn1parse`: offset, depth, header and value lengths, kind, value.
struct Asn1Item {
    long nOffset = 0;
    int nDepth = 0, nHeader = 0;
    long nLength = 0;
    std::string kind, value;
};

std::vector<Asn1Item> Asn1Items(const std::string& path)
{
    const std::string out = Cli("openssl asn1parse -inform DER -in " + Quote(path));
    std::vector<Asn1Item> items;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        Asn1Item item;
        if (4 != sscanf(line.c_str(), " %ld:d=%d hl=%d l=%ld", &item.nOffset, &item.nDepth, &item.nHeader,
                        &item.nLength))
            continue;
        const size_t nKind = line.find(": ", line.find("l=")) + 2;
        const size_t nValue = line.find(':', nKind);
        item.kind = line.substr(nKind, nValue == std::string::npos ? std::string::npos : nValue - nKind);
        item.kind = item.kind.substr(0, item.kind.find("[HEX DUMP]"));
        while (!item.kind.empty() && item.kind.back() == ' ') item.kind.pop_back();
        if (nValue != std::string::npos) item.value = line.substr(nValue + 1);
        items.push_back(item);
    }
    return items;
}

// The parts of an envelope as asn1parse locates them.
struct EnvelopeParts {
    Bytes encryptedKey, iv, content;
    std::string keyAlg, contentAlg;
    long nDeclaredContent = -1;
};

inline EnvelopeParts CliEnvelopeParts(const Bytes& der)
{
    TempFile file(der);
    const std::vector<Asn1Item> items = Asn1Items(file.Path());
    EnvelopeParts parts;
    std::vector<std::string> oids, octets;
    for (const Asn1Item& item : items) {
        if (item.kind == "OBJECT") oids.push_back(item.value);
        if (item.kind == "OCTET STRING") octets.push_back(item.value);
        if (item.kind == "cont [ 0 ]" && item.nDepth == 4) {
            parts.nDeclaredContent = item.nLength;
            const long nStart = item.nOffset + item.nHeader;
            if (nStart + item.nLength <= (long)der.size())
                parts.content.assign(der.begin() + nStart, der.begin() + nStart + item.nLength);
        }
    }
    EXPECT_EQ(4u, oids.size());
    EXPECT_EQ(2u, octets.size());
    if (oids.size() == 4) parts.keyAlg = oids[1], parts.contentAlg = oids[3];
    if (octets.size() == 2) parts.encryptedKey = peer::FromHex(octets[0]), parts.iv = peer::FromHex(octets[1]);
    return parts;
}

// `openssl enc -d -sm4-cbc` of the content with the key and IV.
Bytes CliSm4Decrypt(const Bytes& content, const Bytes& key, const Bytes& iv)
{
    TempFile in(content), out;
    Cli("openssl enc -d -sm4-cbc -K " + peer::Hex(key) + " -iv " + peer::Hex(iv) + " -in " + Quote(in.Path()) +
        " -out " + Quote(out.Path()));
    return out.Read();
}

// `openssl pkeyutl -decrypt` of a DER SM2Cipher with the recipient's key.
Bytes CliSm2Decrypt(const Bytes& sm2Cipher, const std::string& keyName)
{
    TempFile in(sm2Cipher), out;
    Cli("openssl pkeyutl -decrypt -inkey " + Quote(PkiPath("sm2/" + keyName + ".key")) + " -in " + Quote(in.Path()) +
        " -out " + Quote(out.Path()));
    return out.Read();
}

Bytes CliSm2Encrypt(const Bytes& msg, const std::string& certName)
{
    const PublicKeyFile pub(PkiPath("sm2/" + certName + ".pem"));
    TempFile in(msg), out;
    Cli("openssl pkeyutl -encrypt -pubin -inkey " + Quote(pub.Path()) + " -in " + Quote(in.Path()) + " -out " +
        Quote(out.Path()));
    return out.Read();
}

inline Bytes EncryptToEnvelope(const Bytes& msg, const Bytes& cert, unsigned long fType, int* pnResult = NULL)
{
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = EncryptDataToDerCMSEnvelope(msg.data(), (int)msg.size(), cert.data(), (int)cert.size(),
                                                    fType, &pby, &n);
    if (pnResult) {
        *pnResult = nResult;
    } else {
        EXPECT_EQ(VOMU_OK, nResult);
    }
    return support::Take(pby, n);
}

struct Opened {
    int nResult;
    Bytes plain;
};

inline Opened OpenEnvelope(const Bytes& der, unsigned long fType, const std::string& keyFile = KeyFile("enc"),
                    const char* pszPassword = kPassword)
{
    OpenStream key(keyFile);
    unsigned char* pby = NULL;
    int n = 0;
    const int nResult = DecryptDerCMSEnvelopeData(der.data(), (int)der.size(), key.fp, pszPassword, fType, &pby, &n);
    if (VOMU_OK != nResult) {
        EXPECT_EQ(nullptr, pby);
    }
    return {nResult, support::Take(pby, n)};
}

inline Opened OpenEnvelopeFile(const Bytes& der, unsigned long fType, const std::string& keyFile = KeyFile("enc"))
{
    TempFile envelope(der), plain;
    OpenStream in(envelope.Path()), key(keyFile), out(plain.Path(), "wb");
    const int nResult = DecryptDerCMSEnvelopeFile(in.fp, key.fp, kPassword, fType, out.fp);
    fclose(out.fp);
    out.fp = NULL;
    return {nResult, plain.Read()};
}

// ContentInfo { envelopedData, [0] EnvelopedData } written by hand (RFC 5652 6.1).
inline Bytes HandMadeEnvelope(const Bytes& keyId, const Bytes& encryptedKey, const Bytes& ivParameter,
                       const Bytes& content, const char* pszContentAlg = kSM4CbcOID)
{
    const Bytes recipientInfo = Tlv(0x30, Cat({{0x02, 0x01, 0x02}, Tlv(0x80, keyId),
                                               dertest::NullAlgorithm(kSM2EncryptionOID), Tlv(0x04, encryptedKey)}));
    const Bytes contentInfo = Tlv(0x30, Cat({OidTlv(kDataOID), Tlv(0x30, Cat({OidTlv(pszContentAlg), ivParameter})),
                                             Tlv(0x80, content)}));
    const Bytes envelopedData = Tlv(0x30, Cat({{0x02, 0x01, 0x02}, Tlv(0x31, recipientInfo), contentInfo}));
    return Tlv(0x30, Cat({OidTlv(kEnvelopedDataOID), Tlv(0xA0, envelopedData)}));
}

inline Bytes SubjectKeyId(const std::string& certName)
{
    return peer::FromHex(Fact("sm2/" + certName, "subject_key_id"));
}

}  // namespace envpeer

#endif
