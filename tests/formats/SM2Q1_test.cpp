// SM2Q1 and the SignerInfo signature field against OpenSSL 3's own SM2 (default library
// context) and its ECDSA_SIG DER codec.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/rand.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "DerTestUtil.h"
#include "HandOver.h"
#include "OpenSSLPeer.h"
#include "PKCS7SignedDataOperations.h"
#include "TestOutputs.h"
#include "vomu_result.h"

using peer::Bytes;

namespace {

Bytes EncodeQ1(const Bytes& rs)
{
    unsigned char* pby = NULL;
    int n = 0;
    Bytes r(rs.begin(), rs.begin() + 32), s(rs.begin() + 32, rs.end());
    if (VOMU_OK != Encode_SM2Q1(r.data(), 32, s.data(), 32, &pby, &n)) return Bytes();
    morv::OwnedArray<unsigned char> owned(pby);
    return Bytes(pby, pby + n);
}

int DecodeQ1(const Bytes& der, Bytes* pRS)
{
    const int nResult = support::RunCodec(Decode_SM2Q1, der, pRS);
    if (VOMU_OK == nResult) {
        EXPECT_EQ(64u, pRS->size());
    }
    return nResult;
}

using peer::DerToRs;
using peer::RsToDer;

// The fixed-width form older writers produce: 02 20 half, or 02 21 00 half when the top bit
// is set; leading zero octets kept.
Bytes FixedWidthQ1(const Bytes& rs)
{
    Bytes content;
    for (int i = 0; i < 2; i++) {
        const unsigned char* half = rs.data() + 32 * i;
        const bool bPad = half[0] & 0x80;
        content.push_back(0x02);
        content.push_back(bPad ? 0x21 : 0x20);
        if (bPad) content.push_back(0x00);
        content.insert(content.end(), half, half + 32);
    }
    Bytes der(2 + content.size());
    der[0] = 0x30;
    der[1] = (unsigned char)content.size();
    std::copy(content.begin(), content.end(), der.begin() + 2);
    return der;
}

TEST(SM2Q1, TwoThousandOpenSSLSignaturesVerifyInOurEncoding)
{
    morv::OsslPtr<EVP_PKEY> pKey = peer::NewSM2Key();
    ASSERT_TRUE(pKey);
    int nLeadingZero = 0;
    for (int i = 0; i < 2000; i++) {
        Bytes msg(1 + i % 64);
        RAND_bytes(msg.data(), (int)msg.size());
        const Bytes sigByOpenSSL = peer::SM2Sign(pKey.get(), msg);
        const Bytes rs = DerToRs(sigByOpenSSL);
        ASSERT_EQ(64u, rs.size());
        if (0 == rs[0] || 0 == rs[32]) nLeadingZero++;

        const Bytes der = EncodeQ1(rs);
        ASSERT_EQ(peer::Hex(sigByOpenSSL), peer::Hex(der)) << "signature " << i;
        const unsigned char* p = der.data();
        morv::OsslPtr<ECDSA_SIG> pParsed(d2i_ECDSA_SIG(NULL, &p, (long)der.size()));
        ASSERT_TRUE(pParsed) << "signature " << i;
        ASSERT_TRUE(peer::SM2Verify(pKey.get(), msg, der.data(), der.size())) << "signature " << i;

        Bytes back;
        ASSERT_EQ(VOMU_OK, DecodeQ1(der, &back));
        ASSERT_EQ(peer::Hex(rs), peer::Hex(back));
        ASSERT_EQ(VOMU_OK, DecodeQ1(FixedWidthQ1(rs), &back));
        ASSERT_EQ(peer::Hex(rs), peer::Hex(back));
    }
    std::cout << "signatures with a leading zero octet on r or s: " << nLeadingZero << " of 2000\n";
    RecordProperty("LeadingZeroSignatures", nLeadingZero);
    EXPECT_GT(nLeadingZero, 0);
}

TEST(SM2Q1, WritesMinimalIntegers)
{
    const struct { const char* pszR; const char* pszS; } kCases[] = {
        // top bit set: one 00 in front
        {"80000000000000000000000000000000000000000000000000000000000000" "00",
         "01010101010101010101010101010101010101010101010101010101010101" "01"},
        // leading zero octets dropped
        {"00007F" "0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D",
         "00FF" "0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E"},
        // zero and one
        {"00000000000000000000000000000000000000000000000000000000000000" "00",
         "00000000000000000000000000000000000000000000000000000000000000" "01"},
    };
    for (const auto& c : kCases) {
        Bytes rs = peer::FromHex(std::string(c.pszR) + c.pszS);
        SCOPED_TRACE(peer::Hex(rs));
        const Bytes der = EncodeQ1(rs);
        EXPECT_EQ(peer::Hex(RsToDer(rs)), peer::Hex(der));
        Bytes back;
        ASSERT_EQ(VOMU_OK, DecodeQ1(der, &back));
        EXPECT_EQ(peer::Hex(rs), peer::Hex(back));
    }
    // r = 80 00.., s = 01..: the 71-octet form.
    EXPECT_EQ(71u, EncodeQ1(peer::FromHex(std::string(kCases[0].pszR) + kCases[0].pszS)).size());
}

TEST(SM2Q1, EncoderRefusesEmptyHalves)
{
    unsigned char by[32] = {1};
    unsigned char* pby = NULL;
    int n = 0;
    EXPECT_EQ(VOMU_E_INVALID_ARG, Encode_SM2Q1(by, 0, by, 32, &pby, &n));
    EXPECT_EQ(VOMU_E_INVALID_ARG, Encode_SM2Q1(by, 32, NULL, 32, &pby, &n));
    EXPECT_EQ(nullptr, pby);
}

// A valid signature with both halves of 32 significant octets: 30 44 02 20 r 02 20 s.
Bytes SampleQ1()
{
    Bytes rs(64);
    for (int i = 0; i < 64; i++) rs[i] = (unsigned char)(0x11 + i);
    return FixedWidthQ1(rs);
}

TEST(SM2Q1, DecoderRefusesMalformedInput)
{
    const Bytes good = SampleQ1();
    Bytes rs;
    ASSERT_EQ(VOMU_OK, DecodeQ1(good, &rs));

    // Every truncation (the empty one has no data pointer at all: an argument error).
    for (size_t n = 1; n < good.size(); n++) {
        SCOPED_TRACE(n);
        EXPECT_EQ(VOMU_E_FAIL, DecodeQ1(Bytes(good.begin(), good.begin() + n), &rs));
    }
    const std::string r32(64, '1'), s32(64, '2');
    const struct { const char* pszWhy; std::string hex; } kCases[] = {
        {"trailing octet", peer::Hex(good) + "00"},
        {"three INTEGERs", "3009020101020101020101"},
        {"one INTEGER", "3003020101"},
        {"OCTET STRINGs", "3044" "0420" + r32 + "0420" + s32},
        {"SET", "3144" "0220" + r32 + "0220" + s32},
        {"negative r", "3006" "020180" "020101"},
        {"empty r", "3005" "0200" "020101"},
        {"33 octets, not 00 first", "3045" "022101" + r32 + "0220" + s32},
        {"34 octets", "3044" "02220000" + r32 + "021E" + s32.substr(4)},
        {"indefinite SEQUENCE", "3080" "020101" "020101" "0000"},
        {"indefinite INTEGER", "3009" "02800101" "0000" "020101"},
        {"73 octets", "3047" "022100" + r32 + "02220000" + s32},
        {"not a SEQUENCE", "0406020101020101"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszWhy);
        unsigned char* pby = reinterpret_cast<unsigned char*>(0x1);
        int n = -7;
        Bytes der = peer::FromHex(c.hex);
        EXPECT_EQ(VOMU_E_FAIL, Decode_SM2Q1(der.data(), (int)der.size(), &pby, &n));
        EXPECT_EQ(reinterpret_cast<unsigned char*>(0x1), pby);
        EXPECT_EQ(-7, n);
    }
}

TEST(SM2Q1, DecoderReadsShortMinimalForms)
{
    // Minimal DER of small numbers (far below the usual 70 octets) is still a valid SM2Q1.
    Bytes rs;
    ASSERT_EQ(VOMU_OK, DecodeQ1(peer::FromHex("3006020101020102"), &rs));
    EXPECT_EQ(std::string(62, '0') + "01" + std::string(62, '0') + "02", peer::Hex(rs));
}

// ---- SignerInfo signature field ----

Bytes SignerInfoWithSignature(unsigned long fType, const Bytes& sig, int* pnResult)
{
    std::unique_ptr<NodeEx> pSignerInfo(new NodeEx());
    pSignerInfo->Tag = 0x30;
    Bytes copy = sig;
    *pnResult = ConstructNode_SignerInfoSignature("ConstructNode_SignerInfo", fType, copy.data(),
                                                  (int)copy.size(), pSignerInfo.get());
    if (VOMU_OK != *pnResult) {
        EXPECT_TRUE(pSignerInfo->vetNodes.empty());
        return Bytes();
    }
    const Bytes der = dertest::EncodeTree(pSignerInfo.get());
    EXPECT_LT(2u, der.size());
    return der.size() > 2 ? Bytes(der.begin() + 2, der.end()) : Bytes();  // the field(s) inside 30 L
}

TEST(SignerInfoSignature, WritesTheFourForms)
{
    morv::OsslPtr<EVP_PKEY> pKey = peer::NewSM2Key();
    const Bytes msg = {'m', 's', 'g'};
    const Bytes sigByOpenSSL = peer::SM2Sign(pKey.get(), msg);
    const Bytes rs = DerToRs(sigByOpenSSL);
    ASSERT_EQ(64u, rs.size());
    const std::string q1 = peer::Hex(sigByOpenSSL);
    char szOctetHeader[8];
    snprintf(szOctetHeader, sizeof szOctetHeader, "04%02X", (unsigned)sigByOpenSSL.size());

    int nResult = 0;
    // 0x100: the two INTEGERs of SM2Q1 without their SEQUENCE.
    EXPECT_EQ(q1.substr(4), peer::Hex(SignerInfoWithSignature(P7_SIGNATURE_SM2_RAW_RS, rs, &nResult)));
    EXPECT_EQ(q1, peer::Hex(SignerInfoWithSignature(P7_SIGNATURE_SM2_ASN1_Q1, rs, &nResult)));
    EXPECT_EQ(szOctetHeader + q1,
              peer::Hex(SignerInfoWithSignature(P7_SIGNATURE_SM2_OCTET_STRING_Q1, rs, &nResult)));
    const Bytes rsa = {0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    EXPECT_EQ("0405DEADBEEF00", peer::Hex(SignerInfoWithSignature(P7_SIGNATURE_RSA_PKCS1, rsa, &nResult)));
    EXPECT_EQ("0400", peer::Hex(SignerInfoWithSignature(P7_SIGNATURE_RSA_PKCS1, Bytes(), &nResult)));
    EXPECT_EQ(VOMU_OK, nResult);
}

TEST(SignerInfoSignature, RefusesWrongSizesAndUnknownTypes)
{
    int nResult = 0;
    for (unsigned long fType : {P7_SIGNATURE_SM2_RAW_RS, P7_SIGNATURE_SM2_ASN1_Q1,
                                P7_SIGNATURE_SM2_OCTET_STRING_Q1}) {
        for (size_t n : {0, 63, 65}) {
            SignerInfoWithSignature(fType, Bytes(n, 0x5A), &nResult);
            EXPECT_EQ(VOMU_E_INVALID_ARG, nResult) << fType << " " << n;
        }
    }
    for (unsigned long fType : {0x300ul, 0x1ul, 0x800ul}) {
        SignerInfoWithSignature(fType, Bytes(64, 0x5A), &nResult);
        EXPECT_EQ(VOMU_E_INVALID_ARG, nResult) << fType;
    }
}

}  // namespace
