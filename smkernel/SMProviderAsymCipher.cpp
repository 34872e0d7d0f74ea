#include "SMProvider.h"

namespace smk {

const OSSL_ALGORITHM g_Sm2AsymCipherAlgorithms[] = {{nullptr, nullptr, nullptr, nullptr}};

}  // namespace smk
