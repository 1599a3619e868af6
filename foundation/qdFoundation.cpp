#include "foundation/qdFoundation.h"

#include "foundation/qdllComponent.h"
#include "foundation/qdllCpuInfo.h"
#include "foundation/qdllException.h"
#include "foundation/qdllExceptionData.h"
#include "foundation/qdllFastCode.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllUtils.h"
#include "foundation/qdllWideString.h"
#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() {
  qdllCpuInfoInitialize();
  qdllFastCodeInitialize();
  qdllMemoryManagerInitialize();
  qdNlsInitialize();
  qdllExceptionInitialize();
  qdllSyncInitialize();
  qdllWideStringInitialize();
  qdllUtilsInitialize();
  qdllExceptionDataInitialize();
  qdllComponentInitialize();
}

void FinalizeFoundation() {
  qdllComponentFinalize();
  qdllExceptionDataFinalize();
  qdllUtilsFinalize();
  qdllWideStringFinalize();
  qdllSyncFinalize();
  qdllExceptionFinalize();
  qdNlsFinalize();
  qdllMemoryManagerFinalize();
  qdllFastCodeFinalize();
  qdllCpuInfoFinalize();
}

}  // namespace qd
