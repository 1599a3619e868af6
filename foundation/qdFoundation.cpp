#include "foundation/qdFoundation.h"

#include "foundation/qdllMemoryManager.h"

namespace qd {

void InitializeFoundation() { qdllMemoryManagerInitialize(); }

void FinalizeFoundation() { qdllMemoryManagerFinalize(); }

}  // namespace qd
