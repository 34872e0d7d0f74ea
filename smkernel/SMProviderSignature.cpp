#include "SMProvider.h"

namespace smk {

const OSSL_ALGORITHM g_Sm2SignatureAlgorithms[] = {{nullptr, nullptr, nullptr, nullptr}};

}  // namespace smk
