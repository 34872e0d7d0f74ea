#ifndef MORV_OSSL_PTR_H
#define MORV_OSSL_PTR_H

// One owner type for every OpenSSL object: declare it where the object is obtained and
// every early return releases it. Add a specialisation here for each new type.
#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace morv {

template <typename T> struct OsslDeleter;

// A certificate stack owns its certificates.
inline void X509StackFree(STACK_OF(X509)* pStack) { sk_X509_pop_free(pStack, X509_free); }

// Also for the item types a format defines itself: use it inside namespace morv.
#define MORV_OSSL_DELETER(Type, FreeFn) \
    template <> struct OsslDeleter<Type> { void operator()(Type* p) const { FreeFn(p); } }

MORV_OSSL_DELETER(BIO, BIO_free_all);
MORV_OSSL_DELETER(BIGNUM, BN_clear_free);
MORV_OSSL_DELETER(BN_CTX, BN_CTX_free);
MORV_OSSL_DELETER(EC_GROUP, EC_GROUP_free);
MORV_OSSL_DELETER(EC_POINT, EC_POINT_clear_free);
// EC_KEY is deprecated in OpenSSL 3 but still the type the SM2 key paths hand around.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
MORV_OSSL_DELETER(EC_KEY, EC_KEY_free);
#pragma GCC diagnostic pop
MORV_OSSL_DELETER(ECDSA_SIG, ECDSA_SIG_free);
MORV_OSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
MORV_OSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
MORV_OSSL_DELETER(EVP_MD, EVP_MD_free);
MORV_OSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
MORV_OSSL_DELETER(EVP_CIPHER, EVP_CIPHER_free);
MORV_OSSL_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
MORV_OSSL_DELETER(X509, X509_free);
MORV_OSSL_DELETER(STACK_OF(X509), X509StackFree);
MORV_OSSL_DELETER(X509_CRL, X509_CRL_free);
MORV_OSSL_DELETER(X509_STORE, X509_STORE_free);
MORV_OSSL_DELETER(X509_STORE_CTX, X509_STORE_CTX_free);
MORV_OSSL_DELETER(PKCS7, PKCS7_free);
MORV_OSSL_DELETER(PKCS12, PKCS12_free);
MORV_OSSL_DELETER(ASN1_OBJECT, ASN1_OBJECT_free);
// ASN1_INTEGER, ASN1_OCTET_STRING, ... are all the one type ASN1_STRING.
MORV_OSSL_DELETER(ASN1_STRING, ASN1_STRING_free);
MORV_OSSL_DELETER(OSSL_LIB_CTX, OSSL_LIB_CTX_free);
MORV_OSSL_DELETER(OSSL_PARAM, OSSL_PARAM_free);
MORV_OSSL_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);

template <typename T> using OsslPtr = std::unique_ptr<T, OsslDeleter<T>>;

}  // namespace morv

#endif
