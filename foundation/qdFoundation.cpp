#include "foundation/qdFoundation.h"

#include "foundation/qdllException.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllUtils.h"
#include "foundation/qdllWideString.h"
#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() {
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
}

}  // namespace qd
