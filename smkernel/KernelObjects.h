#ifndef MORV_KERNEL_OBJECTS_H
#define MORV_KERNEL_OBJECTS_H

// The objects of kctx that never change, made once per kernel start and freed only while a
// stop holds the kernel exclusively: the SM2 groups, the digests and ciphers the operations
// use, and an SM2 key whose key management new SM2 keys share. Their accessors are declared in
// SMKernel.h and SMObjects.h; this header is for SMKernel.cpp, which runs their life cycle.
#include <openssl/ec.h>
#include <openssl/types.h>

namespace smk {

// Groups and fetched algorithms in pLibCtx, published for the accessors. False when our SM3 or
// SM4-CBC or a group cannot be made (the kernel must not start); a digest or cipher that the
// library lacks stays null, and the calls that ask for it fail.
bool MakeKernelObjects(OSSL_LIB_CTX* pLibCtx);
// The SM2 key whose key management NewSm2PKey reuses; made after the provider is loaded, by
// the starting thread (its import reads the kernel's group). False when it cannot be made.
bool MakeSm2KeyTemplate(OSSL_LIB_CTX* pLibCtx);
// Unpublishes and frees everything above; safe when nothing or only part was made.
void FreeKernelObjects();

// The kernel's group of an SM curve, null for other numbers or while stopped. Borrowed.
const EC_GROUP* KernelGroup(int nCurveNid);
// The published-curve SM2 key of the kernel (public point G), null while stopped. Borrowed.
const EVP_PKEY* Sm2KeyTemplate();

}  // namespace smk

#endif
