// The bags of a PKCS#12 opened in kctx. OpenSSL 3.0's PKCS12_parse decrypts shrouded key bags
// and decodes certificates in the default library context, where no "legacy" provider is
// loaded (keys under RC2 or RC4 do not open there) and certificates would miss our SM2.
#include "PKCS12Reader.h"

#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "HandOver.h"
#include "SMKernel.h"

namespace morv {

inline void Pkcs7StackFree(STACK_OF(PKCS7)* pStack) { sk_PKCS7_pop_free(pStack, PKCS7_free); }
inline void SafeBagStackFree(STACK_OF(PKCS12_SAFEBAG)* pStack)
{
    sk_PKCS12_SAFEBAG_pop_free(pStack, PKCS12_SAFEBAG_free);
}
MORV_OSSL_DELETER(STACK_OF(PKCS7), Pkcs7StackFree);
MORV_OSSL_DELETER(STACK_OF(PKCS12_SAFEBAG), SafeBagStackFree);
MORV_OSSL_DELETER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free);

}  // namespace morv

using morv::OsslPtr;

namespace {

struct BagReader {
    const char* pszPassword;
    OSSL_LIB_CTX* pLibCtx;
    OsslPtr<EVP_PKEY> pKey;         // the first key bag's
    OsslPtr<STACK_OF(X509)> pCerts;  // every certificate bag's, in file order
};

// One DER element at *pp of the expected tag and class; its content and the end of the element.
bool EnterElement(const unsigned char** pp, const unsigned char* pEnd, int nTag, int nClass,
                  long* pnContent)
{
    long nLength = 0;
    int nGotTag = 0, nGotClass = 0;
    const int nInfo = ASN1_get_object(pp, &nLength, &nGotTag, &nGotClass, pEnd - *pp);
    return 0 == (nInfo & 0x81) && nGotTag == nTag && nGotClass == nClass &&
           nLength <= pEnd - *pp && (*pnContent = nLength, true);
}

bool SkipElement(const unsigned char** pp, const unsigned char* pEnd, int nTag)
{
    long nLength = 0;
    if (!EnterElement(pp, pEnd, nTag, V_ASN1_UNIVERSAL, &nLength)) return false;
    *pp += nLength;
    return true;
}

// RFC 7292 4.2 and 4.2.3: SafeBag ::= SEQUENCE { bagId, [0] EXPLICIT CertBag, ... },
// CertBag ::= SEQUENCE { certId, [0] EXPLICIT OCTET STRING }. The bag's own encoding is the only
// public road to the certificate's octets, and decoding those directly puts it into kctx.
X509* DecodeCertBag(const PKCS12_SAFEBAG* pBag)
{
    unsigned char* pbyDer = nullptr;
    const int nDer = i2d_PKCS12_SAFEBAG(pBag, &pbyDer);
    morv::OpensslBytes pDer(pbyDer);
    if (nDer <= 0) return nullptr;
    const unsigned char* p = pDer.get();
    const unsigned char* pEnd = p + nDer;
    long nCert = 0;
    const bool bFound = EnterElement(&p, pEnd, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, &nCert) &&
                        SkipElement(&p, pEnd, V_ASN1_OBJECT) &&
                        EnterElement(&p, pEnd, 0, V_ASN1_CONTEXT_SPECIFIC, &nCert) &&
                        EnterElement(&p, pEnd, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, &nCert) &&
                        SkipElement(&p, pEnd, V_ASN1_OBJECT) &&
                        EnterElement(&p, pEnd, 0, V_ASN1_CONTEXT_SPECIFIC, &nCert) &&
                        EnterElement(&p, pEnd, V_ASN1_OCTET_STRING, V_ASN1_UNIVERSAL, &nCert);
    return bFound ? smk::D2iX509(&p, nCert) : nullptr;
}

// PKCS12_parse keeps a certificate bag's friendlyName (as UTF-8) and localKeyID on the X509.
bool CopyBagAttributes(const PKCS12_SAFEBAG* pBag, X509* pCert)
{
    const ASN1_TYPE* pKeyId = PKCS12_SAFEBAG_get0_attr(pBag, NID_localKeyID);
    if (pKeyId && V_ASN1_OCTET_STRING == pKeyId->type) {
        const ASN1_OCTET_STRING* pId = pKeyId->value.octet_string;
        if (!X509_keyid_set1(pCert, ASN1_STRING_get0_data(pId), ASN1_STRING_length(pId)))
            return false;
    }
    const ASN1_TYPE* pName = PKCS12_SAFEBAG_get0_attr(pBag, NID_friendlyName);
    if (!pName || V_ASN1_BMPSTRING != pName->type) return true;
    unsigned char* pbyUtf8 = nullptr;
    const int nUtf8 = ASN1_STRING_to_UTF8(&pbyUtf8, pName->value.bmpstring);
    morv::OpensslBytes pUtf8(pbyUtf8);
    return nUtf8 < 0 || 1 == X509_alias_set1(pCert, pUtf8.get(), nUtf8);
}

bool ReadCertBag(const PKCS12_SAFEBAG* pBag, BagReader& reader)
{
    if (NID_x509Certificate != PKCS12_SAFEBAG_get_bag_nid(pBag)) return true;  // e.g. SDSI
    OsslPtr<X509> pCert(DecodeCertBag(pBag));
    if (!pCert || !CopyBagAttributes(pBag, pCert.get())) return false;
    if (!reader.pCerts) reader.pCerts.reset(sk_X509_new_null());
    if (!reader.pCerts || !sk_X509_push(reader.pCerts.get(), pCert.get())) return false;
    pCert.release();
    return true;
}

bool ReadShroudedKeyBag(const PKCS12_SAFEBAG* pBag, BagReader& reader)
{
    OsslPtr<PKCS8_PRIV_KEY_INFO> pP8(
        PKCS12_decrypt_skey_ex(pBag, reader.pszPassword, -1, reader.pLibCtx, nullptr));
    if (!pP8) return false;
    reader.pKey.reset(EVP_PKCS82PKEY_ex(pP8.get(), reader.pLibCtx, nullptr));
    return NULL != reader.pKey;
}

bool ReadBags(const STACK_OF(PKCS12_SAFEBAG)* pBags, BagReader& reader);

// Only the first key of a file is read; bag types PKCS12_parse ignores are ignored here too.
bool ReadBag(const PKCS12_SAFEBAG* pBag, BagReader& reader)
{
    switch (PKCS12_SAFEBAG_get_nid(pBag)) {
    case NID_keyBag:
        if (reader.pKey) return true;
        reader.pKey.reset(
            EVP_PKCS82PKEY_ex(PKCS12_SAFEBAG_get0_p8inf(pBag), reader.pLibCtx, nullptr));
        return NULL != reader.pKey;
    case NID_pkcs8ShroudedKeyBag:
        return reader.pKey || ReadShroudedKeyBag(pBag, reader);
    case NID_certBag:
        return ReadCertBag(pBag, reader);
    case NID_safeContentsBag:
        return ReadBags(PKCS12_SAFEBAG_get0_safes(pBag), reader);
    default:
        return true;
    }
}

bool ReadBags(const STACK_OF(PKCS12_SAFEBAG)* pBags, BagReader& reader)
{
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(pBags); ++i)
        if (!ReadBag(sk_PKCS12_SAFEBAG_value(pBags, i), reader)) return false;
    return true;
}

// A data safe holds its bags as they are; an encrypted one is decrypted with kctx's ciphers.
STACK_OF(PKCS12_SAFEBAG)* OpenSafe(PKCS7* pSafe, const BagReader& reader)
{
    if (PKCS7_type_is_data(pSafe)) return PKCS12_unpack_p7data(pSafe);
    const PKCS7_ENC_CONTENT* pContent = pSafe->d.encrypted ? pSafe->d.encrypted->enc_data : NULL;
    if (!pContent || !pContent->algorithm || !pContent->enc_data) return nullptr;
    return static_cast<STACK_OF(PKCS12_SAFEBAG)*>(PKCS12_item_decrypt_d2i_ex(
        pContent->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), reader.pszPassword, -1,
        pContent->enc_data, 1, reader.pLibCtx, nullptr));
}

bool ReadSafes(const PKCS12* pPKCS12, BagReader& reader)
{
    OsslPtr<STACK_OF(PKCS7)> pSafes(PKCS12_unpack_authsafes(pPKCS12));
    if (!pSafes) return false;
    for (int i = 0; i < sk_PKCS7_num(pSafes.get()); ++i) {
        PKCS7* pSafe = sk_PKCS7_value(pSafes.get(), i);
        if (!PKCS7_type_is_data(pSafe) && !PKCS7_type_is_encrypted(pSafe)) continue;
        OsslPtr<STACK_OF(PKCS12_SAFEBAG)> pBags(OpenSafe(pSafe, reader));
        if (!pBags || !ReadBags(pBags.get(), reader)) return false;
    }
    return true;
}

bool MatchesKey(X509* pCert, EVP_PKEY* pKey)
{
    ERR_set_mark();  // a mismatch is an answer, not an error
    const bool bMatch = 1 == X509_check_private_key(pCert, pKey);
    ERR_pop_to_mark();
    return bMatch;
}

// The first certificate that matches the key is the certificate; the others are the chain.
bool SplitCertificates(BagReader& reader, bool bWantChain, morv::Pkcs12Contents& contents)
{
    contents.pKey = std::move(reader.pKey);
    while (X509* pShifted = sk_X509_shift(reader.pCerts.get())) {
        OsslPtr<X509> pCert(pShifted);
        if (contents.pKey && !contents.pCert && MatchesKey(pCert.get(), contents.pKey.get())) {
            contents.pCert = std::move(pCert);
            continue;
        }
        if (!bWantChain) continue;
        if (!contents.pChain) contents.pChain.reset(sk_X509_new_null());
        if (!contents.pChain || !sk_X509_push(contents.pChain.get(), pCert.get())) return false;
        pCert.release();
    }
    return true;
}

}  // namespace

namespace morv {

int ReadPkcs12Contents(PKCS12* pPKCS12, const char* pszPassword, bool bWantChain,
                       Pkcs12Contents& contents)
{
    BagReader reader{pszPassword, smk::LibCtx(), nullptr, nullptr};
    Pkcs12Contents opened;
    if (!pPKCS12 || !reader.pLibCtx || !ReadSafes(pPKCS12, reader) ||
        !SplitCertificates(reader, bWantChain, opened))
        return 0;
    contents = std::move(opened);
    return 1;
}

}  // namespace morv
