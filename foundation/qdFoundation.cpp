#include "foundation/qdFoundation.h"

#include "foundation/qdllCpuInfo.h"
#include "foundation/qdllFastCode.h"

namespace qd {

void InitializeFoundation() {
  qdllCpuInfoInitialize();
  qdllFastCodeInitialize();
}

void FinalizeFoundation() {
  qdllFastCodeFinalize();
  qdllCpuInfoFinalize();
}

}  // namespace qd
