#ifndef MORV_FORMATS_PKCS12_READER_H
#define MORV_FORMATS_PKCS12_READER_H

// Opens the bags of a PKCS#12 whose MAC has been checked, entirely in the kernel's context:
// every safe and every shrouded key bag is decrypted with kctx's ciphers (the "legacy"
// provider's RC2 and RC4 included) and every certificate is decoded into kctx.
#include <openssl/pkcs12.h>

#include "OsslPtr.h"

namespace morv {

struct Pkcs12Contents {
    OsslPtr<EVP_PKEY> pKey;
    OsslPtr<X509> pCert;
    OsslPtr<STACK_OF(X509)> pChain;
};

// What PKCS12_parse hands out, chosen as it chooses: the first key of the file, the first
// certificate (in file order) that matches that key, and every other certificate in file order
// (only when bWantChain). Certificates carry their friendlyName and localKeyID as alias and
// keyid. The password is the one the MAC verified with (NUL-terminated). 1 on success, 0 when
// a safe, a bag or a certificate does not open; contents are left empty on failure.
int ReadPkcs12Contents(PKCS12* pPKCS12, const char* pszPassword, bool bWantChain,
                       Pkcs12Contents& contents);

}  // namespace morv

#endif
