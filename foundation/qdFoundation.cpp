#include "foundation/qdFoundation.h"

#include "foundation/qdllCpuInfo.h"
#include "foundation/qdllException.h"
#include "foundation/qdllFastCode.h"
#include "foundation/qdllSync.h"
#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() {
  qdllCpuInfoInitialize();
  qdllFastCodeInitialize();
  qdNlsInitialize();
  qdllExceptionInitialize();
  qdllSyncInitialize();
}

void FinalizeFoundation() {
  qdllSyncFinalize();
  qdllExceptionFinalize();
  qdNlsFinalize();
  qdllFastCodeFinalize();
  qdllCpuInfoFinalize();
}

}  // namespace qd
