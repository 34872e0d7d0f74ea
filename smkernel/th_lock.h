#ifndef MORV_TH_LOCK_H
#define MORV_TH_LOCK_H

// Thread set-up of the crypto library. OpenSSL 1.0 needed an array of mutexes and two
// callbacks (locking, thread id) from every threaded application; OpenSSL 3 locks its shared
// data itself and ignores such callbacks, so both functions are kept as documented no-ops.
// The kernel's own start-up and shut-down are serialised by the kernel's mutex instead.
namespace smk {

// Nothing to set up on OpenSSL 3; kept for callers written against the old interface.
void CRYPTO_thread_setup();
// Nothing to release on OpenSSL 3.
void CRYPTO_thread_cleanup();

}  // namespace smk

#endif
