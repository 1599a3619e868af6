#include "foundation/qdFoundation.h"

#include "foundation/qdllCpuInfo.h"
#include "foundation/qdllException.h"
#include "foundation/qdllFastCode.h"
#include "foundation/qdllSync.h"

namespace qd {

void InitializeFoundation() {
  qdllCpuInfoInitialize();
  qdllFastCodeInitialize();
  qdllExceptionInitialize();
  qdllSyncInitialize();
}

void FinalizeFoundation() {
  qdllSyncFinalize();
  qdllExceptionFinalize();
  qdllFastCodeFinalize();
  qdllCpuInfoFinalize();
}

}  // namespace qd
