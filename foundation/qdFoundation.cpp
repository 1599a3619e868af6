#include "foundation/qdFoundation.h"

#include "foundation/qdllCpuInfo.h"
#include "foundation/qdllException.h"
#include "foundation/qdllFastCode.h"
#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() {
  qdllCpuInfoInitialize();
  qdllFastCodeInitialize();
  qdNlsInitialize();
  qdllExceptionInitialize();
}

void FinalizeFoundation() {
  qdllExceptionFinalize();
  qdNlsFinalize();
  qdllFastCodeFinalize();
  qdllCpuInfoFinalize();
}

}  // namespace qd
