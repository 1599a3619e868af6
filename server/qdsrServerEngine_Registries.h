// The names a session lists for a TqdClassListType: what the registries
// of sub-engines, encryption engines and dictionary descriptors hold.
#pragma once

#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "platform/qdStringList.h"

namespace qd {

// Replaces aList with the names registered for aClassListType: sub-engine
// names (auto-increment, index, record), encryption engines ("" first, no
// encryption) or descriptor classes (BLOB, default value, field
// validation). Index engines whose name contains "cache" serve the engine
// itself and are left out; the registry keeps them. 8712 for a type that
// names no list.
[[nodiscard]] TqdResult qdServerRegisteredClassList(TqdClassListType aClassListType, TqdStringList& aList);

}  // namespace qd
