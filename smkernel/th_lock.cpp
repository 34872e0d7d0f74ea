#include "th_lock.h"

namespace smk {

void CRYPTO_thread_setup() {}

void CRYPTO_thread_cleanup() {}

}  // namespace smk
