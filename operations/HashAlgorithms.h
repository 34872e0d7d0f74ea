#ifndef MORV_HASH_ALGORITHMS_H
#define MORV_HASH_ALGORITHMS_H

// The one table from our hash numbers to the crypto library's digests and the identifiers a
// SignerInfo carries for them. Numbers that are not in it never reach the library.

namespace morv {

struct HashAlgorithm {
    int nNid;
    const char* pszFetchName;      // the digest's name in the kernel's context
    const char* pszLogLine;
    const char* pszDigestAlgOid;   // null: no SignerInfo identifiers (SM3)
    const char* pszExactDigestEncAlgOid;
    bool bPkcs7Signing;            // offered by the library-made SignedData
};

// The row of a hash number, or null.
const HashAlgorithm* FindHashAlgorithm(int nHashNID);

}  // namespace morv

#endif
