#ifndef MORV_SM_ERR_H
#define MORV_SM_ERR_H

// Our own error library in OpenSSL's error queue. OpenSSL 3 keeps no function codes, so
// each situation has its own reason; the raising function is kept in the entry's debug
// data (ERR_get_error_all). The library number is taken once per process; the texts are
// loaded at the first raise or at kernel start, and taken out again at kernel stop.
#include <openssl/err.h>

namespace smk {

enum SMErrReason {
    SMK_R_NULL_PARAMETER = 100,   // null argument or a curve the function does not serve
    SMK_R_INVALID_CURVE,          // the curve group cannot be built
    SMK_R_SIG_ALLOC_FAILURE,      // the signature object cannot be allocated
    SMK_R_MALLOC_FAILURE,         // other work memory
    SMK_R_EC_LIB,                 // curve order, point allocation, multiplication, coordinates
    SMK_R_RANDOM_FAILURE,         // random number generation
    SMK_R_BN_LIB,                 // big-number arithmetic
    SMK_R_BAD_SIGNATURE,          // r or s outside [1, n - 1], t = 0, or R != r
};

// Our library number (registered on first use); 0 when OpenSSL has no number left.
int SMErrLib();
// Makes sure the library and its texts are registered; 1 on success.
int SMErrLoadStrings();
// Takes the texts out of OpenSSL's table again (the library number stays ours): OpenSSL must
// not keep pointers into a module that may be unloaded once the kernel has stopped.
void SMErrUnloadStrings();

}  // namespace smk

// Raises one entry of our library, with the caller's file, line and function (an expression).
#define SMK_ERR_RAISE(reason)                                 \
    (ERR_new(), ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, OPENSSL_FUNC), \
     ERR_set_error(::smk::SMErrLib(), (reason), NULL))

#endif
