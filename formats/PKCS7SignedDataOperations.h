#ifndef MORV_PKCS7_SIGNED_DATA_OPERATIONS_H
#define MORV_PKCS7_SIGNED_DATA_OPERATIONS_H

// PKCS#7 SignedData (RFC 2315) as this system writes and reads it.
#include <openssl/asn1.h>
#include <openssl/pkcs7.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include <cstdio>

#include "ASN1EngineEx.h"
#include "vomu_export.h"

// ---- SM2 signature value SM2Q1 and the SignerInfo signature field ----

// The raw SM2 signature r || s, each half 32 octets big-endian.
#ifndef SM2_RAW_RS_SIZE
#define SM2_RAW_RS_SIZE 64
#endif

// fSignatureEncodedType of a SignerInfo: how its signature field is written.
#ifndef P7_SIGNATURE_RSA_PKCS1
#define P7_SIGNATURE_RSA_PKCS1           0x000  // OCTET STRING holding the signature as given
#define P7_SIGNATURE_SM2_RAW_RS          0x100  // INTEGER r, INTEGER s in the SignerInfo itself
#define P7_SIGNATURE_SM2_ASN1_Q1         0x200  // the SM2Q1 SEQUENCE
#define P7_SIGNATURE_SM2_OCTET_STRING_Q1 0x400  // OCTET STRING holding the DER SM2Q1
#endif

// SM2Q1 ::= SEQUENCE { r INTEGER, s INTEGER } (GB/T 35276-2017 7.3). r and s are unsigned
// big-endian numbers of at least one octet; they are written as minimal DER INTEGERs, the
// form OpenSSL's i2d_ECDSA_SIG writes. The tree is the caller's.
// VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int ConstructNode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                        NodeEx** ppNode_SM2Q1);

// The DER SM2Q1 in a new array (release with delete[]); outputs written only on success.
// VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL or the encoder's code.
int Encode_SM2Q1(unsigned char* pbyR, int nRSize, unsigned char* pbyS, int nSSize,
                 unsigned char** ppbyDER, int* pnDERSize);

// DER SM2Q1 to r || s in a new 64-octet array; *pnRSSize = 64. r and s are read by the one
// 32-octet INTEGER rule of FormatNodes.h (minimal or fixed forms, 1 to 33 octets). VOMU_OK;
// VOMU_E_FAIL for any malformed input (not one SEQUENCE of exactly two such INTEGERs,
// trailing octets, more than 72 octets); VOMU_E_INVALID_ARG for null arguments.
int Decode_SM2Q1(unsigned char* pbyDER, int nDERSize, unsigned char** ppbyRS, int* pnRSSize);

// Appends the signature field of a SignerInfo to pNode_SignerInfo (which must not yet have
// been added to its parent), written as fSignatureEncodedType says. The SM2 forms require a
// 64-octet r || s. VOMU_OK; VOMU_E_INVALID_ARG for a wrong size or an unknown type (nothing
// appended); VOMU_E_FAIL for memory.
int ConstructNode_SignerInfoSignature(const char* pszFunc, unsigned long fSignatureEncodedType,
                                      unsigned char* pbySignature, int nSignatureSize,
                                      NodeEx* pNode_SignerInfo);

// ---- SignedData writer ----
// ContentInfo { signedData, [0] SignedData } (RFC 2315 9.1) with one digest algorithm, one
// certificate, one SignerInfo identified by issuer and serial number, NULL algorithm
// parameters and no crls, all DER. Object identifiers are dotted text. Outputs are written
// only on success; arrays are the caller's (delete[]), nodes are the caller's (delete).

// The whole SignedData as DER. The certificate is embedded as DER (PEM text is converted
// first); its issuer and serial come from the same bytes. With bAttached the content is
// pbySourceData (nSourceDataSize octets, an empty content allowed), or, when that is null,
// the whole of the seekable fpSourceFile from its first octet (smaller than 2^31 octets).
// Output: with ppbyDER a new array (pnDERSize required; fpOutFile is then ignored); else with
// fpOutFile the DER is written at its position by EncodeASN1ToFile, which streams file content
// in ASN1_FILE_COPY_CHUNK_SIZE pieces, and the stream flushed so that every write is checked;
// *pnOutSize (may be null) = octets written; with neither the structure is only built.
// The attribute nodes ([0] signed, [1] unsigned, may be null) are borrowed: they stay the
// caller's, unchanged, whatever the result.
// VOMU_OK; VOMU_E_INVALID_ARG (arguments, signature type or size, content and output being
// one file); VOMU_E_FAIL (no attached content, a certificate that does not parse, memory, a
// content stream without a size, short reads or writes); VOMU_E_FILE_TOO_LARGE (content or
// output beyond the int counts); the encoders' VOMU_E_ASN1_TOO_LARGE. A failure while
// writing leaves on fpOutFile what was written so far: Encode_PKCS7SignatureToFile is the
// road that leaves nothing behind.
int Encode_PKCS7Signature(unsigned char* pbyCert, int nCertSize, unsigned char* pbySourceData,
                          int nSourceDataSize, FILE* fpSourceFile, bool bAttached,
                          const char* pszContentTypeOID, const char* pszDataTypeOID,
                          const char* pszDigestAlgOID, NodeEx* pNode_SignedAttrs,
                          const char* pszDigestEncAlgOID, unsigned char* pbySignature,
                          int nSignatureSize, unsigned long fSignatureEncodedType,
                          NodeEx* pNode_UnsignedAttrs, unsigned char** ppbyDER, int* pnDERSize,
                          FILE* fpOutFile, int* pnOutSize);

// Encode_PKCS7Signature into the file named pszOutFilePath: every argument is checked before
// anything is opened, the DER goes to a new temporary file in the same directory, every write
// and the close are checked, and it is renamed into place only on success. On failure no
// output file is left behind and an existing file is untouched. A content file that is the
// output file is refused (VOMU_E_INVALID_ARG). Besides Encode_PKCS7Signature's codes:
// VOMU_E_OPEN_FILE (temporary file not created), VOMU_E_WRITE_FILE (flush, close, rename).
int Encode_PKCS7SignatureToFile(unsigned char* pbyCert, int nCertSize,
                                unsigned char* pbySourceData, int nSourceDataSize,
                                FILE* fpSourceFile, bool bAttached, const char* pszContentTypeOID,
                                const char* pszDataTypeOID, const char* pszDigestAlgOID,
                                NodeEx* pNode_SignedAttrs, const char* pszDigestEncAlgOID,
                                unsigned char* pbySignature, int nSignatureSize,
                                unsigned long fSignatureEncodedType, NodeEx* pNode_UnsignedAttrs,
                                const char* pszOutFilePath, int* pnOutSize);

// SignedData ::= SEQUENCE { version, digestAlgorithms SET { digestAlgorithm }, contentInfo
// { dataType [, [0] { OCTET STRING content }] }, [0] certificate, signerInfos }. The content
// is used only with bAttached (memory wins over the file; a file becomes a file-backed leaf
// of its whole size, left positioned at its start). pNode_SignerInfos is adopted on success
// only. VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL (no attached content, memory, the file's
// size unknown), VOMU_E_FILE_TOO_LARGE, the OID builders' codes.
int ConstructNode_SignedData(int nVersion, const char* pszDigestAlgOID, const char* pszDataTypeOID,
                             unsigned char* pbySourceData, int nSourceDataSize,
                             FILE* fpSourceFile, bool bAttached, unsigned char* pbyCert,
                             int nCertSize, NodeEx* pNode_SignerInfos, NodeEx** ppNode_SignedData);

// SignerInfo ::= SEQUENCE { version, issuerAndSerialNumber, digestAlgorithm, [signedAttrs],
// digestEncryptionAlgorithm, signature field (ConstructNode_SignerInfoSignature),
// [unsignedAttrs] }. The three nodes are adopted on success only. VOMU_OK, VOMU_E_INVALID_ARG,
// VOMU_E_FAIL, the OID builders' codes.
int ConstructNode_SignerInfo(int nVersion, NodeEx* pNode_IssuerAndSerialNumber,
                             const char* pszDigestAlgOID, NodeEx* pNode_SignedAttrs,
                             const char* pszDigestEncAlgOID, unsigned char* pbySignature,
                             int nSignatureSize, unsigned long fSignatureEncodedType,
                             NodeEx* pNode_UnsignedAttrs, NodeEx** ppNode_SignerInfo);

// IssuerAndSerialNumber: a SEQUENCE leaf holding the issuer Name DER and then the serial
// INTEGER DER, neither parsed. VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int ConstructNode_IssuerAndSerialNumber(unsigned char* pbyIssuer, int nIssuerSize,
                                        unsigned char* pbySerialNumber, int nSerialNumberSize,
                                        NodeEx** ppNode_IssuerAndSerialNumber);

// Attribute ::= SEQUENCE { type OID, values SET } (RFC 2315 6.3); the value octets are the
// ready DER of the value(s), copied unchanged as the SET's content.
int ConstructNode_Attribute(const char* pszAttrTypeOID, unsigned char* pbyValues, int nValuesSize,
                            NodeEx** ppNode_Attribute);

// [0] / [1] { the vector's attributes in order }; on success every node is adopted and its
// vector entry set to null; on failure the vector is untouched. An empty vector gives an empty
// node. VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int ConstructNode_SignedAttributes(std::vector<NodeEx*>* pvetAttributes,
                                   NodeEx** ppNode_SignedAttrs);
int ConstructNode_UnsignedAttributes(std::vector<NodeEx*>* pvetAttributes,
                                     NodeEx** ppNode_UnsignedAttrs);

// [0] { Attribute } / [1] { Attribute } of one attribute.
int ConstructNode_SignedAttributes_SingleItem(const char* pszAttrTypeOID, unsigned char* pbyValues,
                                              int nValuesSize, NodeEx** ppNode_SignedAttrs);
int ConstructNode_UnsignedAttributes_SingleItem(const char* pszAttrTypeOID,
                                                unsigned char* pbyValues, int nValuesSize,
                                                NodeEx** ppNode_UnsignedAttrs);

// ---- Readers of SignedData ----
// Three readers take a signer out of a SignedData: ParsePKCS7Signature (memory),
// ParsePKCS7AttachedSignatureFile (file) and ParseSM2PKCS7Signature (the item types below);
// DecodeRSAPKCS7Signature reads OpenSSL's decoding of an RSA one. They share two rules:
//   the signer    is the FIRST SignerInfo of signerInfos; further ones are not read
//   r and s       (SM2) each by the one 32-octet INTEGER rule of FormatNodes.h: a non-negative
//                 number below 2^256 in 1 to 33 octets, left-padded to 32; anything else is
//                 refused with the reader's format code (VOMU_E_PKCS7_FORMAT in the
//                 positional readers, VOMU_E_FAIL in the item parsers)

// ---- Positional readers over a parsed NodeEx tree ----
// They read the ContentInfo { contentType, [0] { SignedData } } by position and child count,
// checking the count and tag of every node before they read into it; malformed input is
// refused (VOMU_E_PKCS7_FORMAT for the shape; VOMU_E_FAIL for what does not decode, a bad
// SM2Q1, memory and file reads), never read past; VOMU_E_INVALID_ARG for null input. Every
// output pair is optional and written only on success; arrays are new[] and become the
// caller's (delete[]).
//   certificate      the embedded certificate (the only one, or the one whose serial number
//                    is the signer's); null and 0 when there is none
//   signature        SM2: the 64-octet r || s (from an OCTET STRING holding SM2Q1 under the
//                    SM2 signedData type, an SM2Q1 SEQUENCE, or two trailing INTEGERs, r and
//                    s by the rule above);
//                    under 1.2.840.113549.1.7.2 the OCTET STRING's octets as stored
//   content          attached content of type data (segments of a constructed OCTET STRING
//                    joined), followed by one zero octet not counted in the length; null and
//                    0 when detached; content of any other type is refused
//   algorithm OIDs   dotted decimal text, NUL-terminated, the length without the NUL
//   attributes       the whole [0] (A0 ...) or [1] (A1 ...) TLV of the SignerInfo, or null, 0
// The OID texts and attribute copies are made only when asked for.
int ParsePKCS7Signature(unsigned char* pbyPKCS7, int nPKCS7Size,
                        unsigned char** ppbyCert, int* pnCertSize,
                        unsigned char** ppbySignature, int* pnSignatureSize,
                        unsigned char** ppbySourceData, int* pnSourceDataSize,
                        char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                        char** ppszDigestEncryptionAlgOid, int* pnDigestEncryptionAlgOidSize,
                        unsigned char** ppbySignedAttrs, int* pnSignedAttrsSize,
                        unsigned char** ppbyUnsignedAttrs, int* pnUnsignedAttrsSize);

// As ParsePKCS7Signature over a whole file (from its first octet) holding an attached
// SignedData; the content is not loaded: its first value octet's file position and its
// length are handed out. Content in more than one segment is refused. The file's position is
// restored on every path.
int ParsePKCS7AttachedSignatureFile(FILE* fpPKCS7File,
                                    unsigned char** ppbyCert, int* pnCertSize,
                                    unsigned char** ppbySignature, int* pnSignatureSize,
                                    long long* pnSourceDataPosition, int* pnSourceDataSize,
                                    char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                                    char** ppszDigestEncryptionAlgOid,
                                    int* pnDigestEncryptionAlgOidSize,
                                    unsigned char** ppbySignedAttrs, int* pnSignedAttrsSize,
                                    unsigned char** ppbyUnsignedAttrs, int* pnUnsignedAttrsSize);

// The value of the first attribute of type pszAttrOID (dotted text) in a signed or unsigned
// attribute set (its whole TLV): the content octets of its SET of values, in a new array.
// VOMU_OK; VOMU_E_BAD_ASN1_DATA (does not parse, malformed attribute, not found);
// Encode_ObjectIdentifier's code; VOMU_E_FAIL for memory; VOMU_E_INVALID_ARG (null input).
int ParseSignedUnsignedAttributes(unsigned char* pbyAttributes, int nAttributesSize,
                                  const char* pszAttrOID, unsigned char** ppbyAttrValue,
                                  int* pnAttrValueSize);

// A SignedData decoded by OpenSSL (in kctx): the first signer's certificate (X509_dup, the
// caller frees it), digest algorithm number, encrypted digest, and the content when it is of
// type data (null and 0 when detached; any other type is refused). VOMU_OK;
// VOMU_E_PKCS7_FORMAT; VOMU_E_FAIL (memory); VOMU_E_INVALID_ARG (null input).
int DecodeRSAPKCS7Signature(unsigned char* pbyPKCS7, int nPKCS7Size, X509** ppX509Cert,
                            int* pnDigestAlgNID, unsigned char** ppbySignature,
                            int* pnSignatureSize, unsigned char** ppbySourceData,
                            int* pnSourceDataSize);

// ---- SM2PKCS7: the SM2 SignedData with r, s as two INTEGERs, as OpenSSL item types ----
// SM2PKCS7 ::= SEQUENCE { SM2PKCS7SignedDataType OID, SM2PKCS7SignedData [0] EXPLICIT
//   SM2PKCS7_SIGNED OPTIONAL }
// SM2PKCS7_SIGNED ::= SEQUENCE { version INTEGER, md_algs SET OF AlgorithmIdentifier,
//   contents SM2PKCS7_CONTENT, cert [0] EXPLICIT Certificate OPTIONAL,
//   signer_info SET OF SM2PKCS7_SIGNER_INFO }
// SM2PKCS7_SIGNER_INFO ::= SEQUENCE { version INTEGER, issuer_and_serial
//   IssuerAndSerialNumber, digest_alg, digest_enc_alg AlgorithmIdentifier,
//   enc_digest_r INTEGER, enc_digest_s INTEGER }
// SM2PKCS7_CONTENT ::= SEQUENCE { type OID, content [0] EXPLICIT OCTET STRING OPTIONAL }
// One certificate under an explicit [0] is octet for octet a certificates field of one.

typedef struct sm2pkcs7_content_st {
    ASN1_OBJECT* type;
    ASN1_OCTET_STRING* content;
} SM2PKCS7_CONTENT;

typedef struct sm2pkcs7_signer_info_st {
    ASN1_INTEGER* version;
    PKCS7_ISSUER_AND_SERIAL* issuer_and_serial;
    X509_ALGOR* digest_alg;
    X509_ALGOR* digest_enc_alg;
    ASN1_INTEGER* enc_digest_r;
    ASN1_INTEGER* enc_digest_s;
} SM2PKCS7_SIGNER_INFO;

DEFINE_STACK_OF(SM2PKCS7_SIGNER_INFO)

typedef struct sm2pkcs7_signed_st {
    ASN1_INTEGER* version;
    STACK_OF(X509_ALGOR)* md_algs;
    SM2PKCS7_CONTENT* contents;
    X509* cert;
    STACK_OF(SM2PKCS7_SIGNER_INFO)* signer_info;
} SM2PKCS7_SIGNED;

typedef struct sm2pkcs7 {
    ASN1_OBJECT* SM2PKCS7SignedDataType;
    SM2PKCS7_SIGNED* SM2PKCS7SignedData;
} SM2PKCS7;

// The item functions behave as OpenSSL's generated ones (d2i_X509 and friends); i2d writes
// definite lengths.
VOMU_BEGIN_C
DECLARE_ASN1_FUNCTIONS_attr(VOMU_EXPORT, SM2PKCS7_CONTENT)
DECLARE_ASN1_FUNCTIONS_attr(VOMU_EXPORT, SM2PKCS7_SIGNER_INFO)
DECLARE_ASN1_FUNCTIONS_attr(VOMU_EXPORT, SM2PKCS7_SIGNED)
DECLARE_ASN1_FUNCTIONS_attr(VOMU_EXPORT, SM2PKCS7)
VOMU_END_C

// Parsers over the item types: VOMU_OK or VOMU_E_FAIL; every output optional, written only
// on success; every array handed out, DER included, is new[] (delete[]). md_algs is read at
// its last entry, signer_info at its first (the signer rule above). r and s: by the 32-octet
// rule above; the item types keep their INTEGER octets as written, so the fixed 32-octet form
// with leading zeros decodes.

// The content type as i2t_ASN1_OBJECT writes it (long name, else dotted digits), and the
// DER of the SM2PKCS7_SIGNED.
int ParseSM2P7(unsigned char* pbySM2P7, int nSM2P7Size, char** ppszContentType,
               int* pnContentTypeSize, unsigned char** ppbySignedData, int* pnSignedDataSize);

// DER of an SM2PKCS7_SIGNED's last md_algs entry, contents, cert (none: failure) and its
// signer's signer_info entry.
int ParseSM2P7SignedData(unsigned char* pbySignedData, int nSignedDataSize,
                         unsigned char** ppbyDigestAlg, int* pnDigestAlgSize,
                         unsigned char** ppbyContents, int* pnContentsSize,
                         unsigned char** ppbyCert, int* pnCertSize,
                         unsigned char** ppbySignerInfo, int* pnSignerInfoSize);

// DER of an SM2PKCS7_SIGNER_INFO's issuer_and_serial, digest_alg, digest_enc_alg; r and s
// as 32-octet arrays (lengths 32).
int ParseSM2P7SignerInfo(unsigned char* pbySignerInfo, int nSignerInfoSize,
                         unsigned char** ppbyIssuerAndSerial, int* pnIssuerAndSerialSize,
                         unsigned char** ppbyDigestAlg, int* pnDigestAlgSize,
                         unsigned char** ppbyDigestEncAlg, int* pnDigestEncAlgSize,
                         unsigned char** ppbyR, int* pnRSize,
                         unsigned char** ppbyS, int* pnSSize);

// From an SM2PKCS7: the certificate DER (none: failure), the 64-octet r || s of the signer,
// the content octets (null and 0 without), and both algorithm OIDs as dotted
// text.
int ParseSM2PKCS7Signature(unsigned char* pbySM2P7, int nSM2P7Size,
                           unsigned char** ppbyCert, int* pnCertSize,
                           unsigned char** ppbySignature, int* pnSignatureSize,
                           unsigned char** ppbySourceData, int* pnSourceDataSize,
                           char** ppszDigestAlgOid, int* pnDigestAlgOidSize,
                           char** ppszDigestEncryptionAlgOid, int* pnDigestEncryptionAlgOidSize);

#endif
