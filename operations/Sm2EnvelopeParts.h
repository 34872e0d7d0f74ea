#ifndef MORV_OPERATIONS_SM2_ENVELOPE_PARTS_H
#define MORV_OPERATIONS_SM2_ENVELOPE_PARTS_H

// The SM2 sides of an envelope shared by the memory and file roads: the recipient's fields
// with a fresh content key, and the content key taken back out with a key file.
#include <cstdio>

#include "HandOver.h"
#include "SecretArray.h"

namespace morv {

// The object identifiers an SM2 envelope carries.
inline constexpr char SM2_ENVELOPED_DATA_OID[] = "1.2.156.10197.6.1.4.2.3";
inline constexpr char SM2_ENCRYPTION_OID[] = "1.2.156.10197.1.301.3";
inline constexpr char SM2_DATA_OID[] = "1.2.156.10197.6.1.4.2.1";
inline constexpr char SM4_CBC_OID[] = "1.2.156.10197.1.104";

// IV and SM4 key of one envelope: 32 random bytes, the IV first.
const int SM2_ENVELOPE_IV_SIZE = 16;
const int SM2_ENVELOPE_KEY_SIZE = 16;

struct SM2EnvelopeRecipient {
    SecretBytes<SM2_ENVELOPE_IV_SIZE + SM2_ENVELOPE_KEY_SIZE> ivAndKey;
    OwnedArray<unsigned char> pbyKeyID;        // the certificate's subject key identifier
    int nKeyIDSize = 0;
    OwnedArray<unsigned char> pbyEncryptedKey;  // in the caller's encoded form
    int nEncryptedKeySize = 0;
    OwnedArray<unsigned char> pbyIVParameter;   // 04 10 IV
    int nIVParameterSize = 0;
    const unsigned char* IV() const { return ivAndKey.aby; }
    const unsigned char* Key() const { return ivAndKey.aby + SM2_ENVELOPE_IV_SIZE; }
};

// Each logs its steps under pszFunc, the envelope function whose steps they are.

// Key usage keyEncipherment, identifier, public key, random IV and key, the key SM2-encrypted
// and encoded as fSM2EncEncodedType says, the IV parameter. VOMU_OK or the step's code.
int PrepareSM2Recipient(const char* pszFunc, const unsigned char* pbyCert, int nCertSize,
                        unsigned long fSM2EncEncodedType, SM2EnvelopeRecipient& recipient);

// The envelope's DER for the recipient around the ciphertext, or, with pbyCipher null, its
// header declaring nCipherSize ciphertext octets. VOMU_OK or Encode_CMSEnvelope's code.
int EncodeSM2Envelope(const char* pszFunc, const SM2EnvelopeRecipient& recipient,
                      unsigned char* pbyCipher, int nCipherSize, OwnedArray<unsigned char>& pbyDER,
                      int* pnDERSize);

class SM2KeyFile;

// The key file of an envelope's recipient; decryption tests no key usage. The file road also
// refuses a short read. SM2KeyFile::Load's codes.
int LoadDecryptionKeyFile(const char* pszFunc, FILE* fpSM2PFXFile, const char* pszPassword,
                          bool bFileRoad, SM2KeyFile& keyFile);

// The content key of an encrypted key in the encoded form given, with the private key; it
// must be 16 bytes, as must the IV (VOMU_E_ENVELOPE_FORMAT). VOMU_OK or the step's code.
int OpenSM2ContentKey(const char* pszFunc, const unsigned char* pbyEncryptedKey,
                      int nEncryptedKeySize, unsigned long fSM2EncEncodedType,
                      const unsigned char* pbyPrivateKey, int nIVSize, SecretArray& key);

}  // namespace morv

#endif
