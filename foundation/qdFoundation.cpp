#include "foundation/qdFoundation.h"

#include "foundation/qdllCpuInfo.h"
#include "foundation/qdllException.h"
#include "foundation/qdllFastCode.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllUtils.h"
#include "foundation/qdllWideString.h"
#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() {
  qdllCpuInfoInitialize();
  qdllFastCodeInitialize();
  qdNlsInitialize();
  qdllExceptionInitialize();
  qdllSyncInitialize();
  qdllWideStringInitialize();
  qdllUtilsInitialize();
}

void FinalizeFoundation() {
  qdllUtilsFinalize();
  qdllWideStringFinalize();
  qdllSyncFinalize();
  qdllExceptionFinalize();
  qdNlsFinalize();
  qdllFastCodeFinalize();
  qdllCpuInfoFinalize();
}

}  // namespace qd
