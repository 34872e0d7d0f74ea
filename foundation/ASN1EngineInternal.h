#ifndef MORV_ASN1_ENGINE_INTERNAL_H
#define MORV_ASN1_ENGINE_INTERNAL_H

// What the engine's encoder and decoder files share.
#include "ASN1EngineEx.h"

namespace morv {

// Appends pChild to pParent's children and makes pParent its parent. The vector grows only
// through a checked reserve, so no exception leaves; false (nothing changed) when memory runs
// out.
bool AppendNode(NodeEx* pParent, NodeEx* pChild);

}  // namespace morv

#endif
