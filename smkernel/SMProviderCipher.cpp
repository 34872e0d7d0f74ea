#include "SMProvider.h"

namespace smk {

const OSSL_ALGORITHM g_Sm4Algorithms[] = {{nullptr, nullptr, nullptr, nullptr}};

}  // namespace smk
