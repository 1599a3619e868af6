#include "foundation/qdFoundation.h"

#include "foundation/qdllCpuInfo.h"
#include "foundation/qdllFastCode.h"
#include "foundation/qdllMemoryManager.h"

namespace qd {

void InitializeFoundation() {
  qdllCpuInfoInitialize();
  qdllFastCodeInitialize();
  qdllMemoryManagerInitialize();
}

void FinalizeFoundation() {
  qdllMemoryManagerFinalize();
  qdllFastCodeFinalize();
  qdllCpuInfoFinalize();
}

}  // namespace qd
