#ifndef MORV_SM_OBJECTS_H
#define MORV_SM_OBJECTS_H

// Identifiers, curves and the signature row of the SM algorithms.
//
// The system's algorithm numbers are OpenSSL 3's own object numbers, so any of them can be
// handed to the library as they are. The one exception is the example curve of
// GB/T 32918.5 annex (Fp-256, p = 8542D69E...): OpenSSL has no number for it, so it has a
// private constant that only our code understands and that must never reach the library.
// The object identifiers of our formats are kept here as dotted text; no OBJ_create.
#include <cstddef>

#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#define NID_ChinaSM3            NID_sm3
#define NID_ChinaSM4_CBC        NID_sm4_cbc
#define NID_ChinaSM2withSM3     NID_SM2_with_SM3
#define NID_prime256v1SM2       NID_sm2
// Private: far outside OpenSSL's numbering, never passed to the library.
#define NID_prime256v1SM2TEST   0x534D3254

namespace smk {

// One row of our identifier table.
struct SMObject {
    int nNid;
    const char* pszShortName;
    const char* pszLongName;
    const char* pszOid;            // dotted text written into our formats
    unsigned char abyDer[10];      // content octets of the DER OBJECT IDENTIFIER
    size_t nDerLen;
};

// Finds a row by number; NULL when the number is not one of ours.
const SMObject* FindSMObjectByNid(int nNid);
// Finds a row by short name, long name or dotted OID (exact match); NULL otherwise.
const SMObject* FindSMObjectByText(const char* pszText);
// Number of a name or dotted OID: our table first, then OpenSSL's; NID_undef when unknown.
int SMTxt2Nid(const char* pszText);
// Dotted OID of one of our numbers; NULL otherwise.
const char* SMNid2Oid(int nNid);

// One named SM curve: number and description. Both are prime-field curves, cofactor 1.
struct SMCurve {
    int nNid;
    const char* pszComment;
};
// The SM curves in table order (published curve first); *pnCount gets the count.
const SMCurve* SMCurveList(size_t* pnCount);

// The group of an SM curve (NID_prime256v1SM2 or NID_prime256v1SM2TEST) with the generator's
// precomputed multiples; shared and never to be freed or changed. While the calling thread
// holds the kernel it is the kernel's own group in kctx (valid while the hold lasts); outside
// a running kernel, where the primitives work as they always have, a group of the default
// context built once per process. NULL for any other number or when it cannot be built.
const EC_GROUP* SMGroup(int nCurveNid);
// A new group of an SM curve in pLibCtx, precomputed as above; the caller's (EC_GROUP_free).
EC_GROUP* BuildSMGroup(int nCurveNid, OSSL_LIB_CTX* pLibCtx);
// True for a group of the published curve, whichever context it was built in.
bool IsPublishedCurveGroup(const EC_GROUP* pGroup);
// True for the two SM curve numbers.
bool IsSMCurve(int nCurveNid);

// Signature-algorithm row: SM2 with SM3 = digest SM3, key type id-ecPublicKey.
// 1 and the digest and key type of a signature number; 0 when it is not ours.
int SMFindSigidAlgs(int nSigNid, int* pnDigestNid, int* pnKeyNid);
// 1 and the signature number for a digest and key type; 0 when no row matches.
int SMFindSigidByAlgs(int* pnSigNid, int nDigestNid, int nKeyNid);

}  // namespace smk

#endif
