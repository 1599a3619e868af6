#include "foundation/qdFoundation.h"

#include "foundation/qdllException.h"
#include "foundation/qdllSync.h"

namespace qd {

void InitializeFoundation() {
  qdllExceptionInitialize();
  qdllSyncInitialize();
}

void FinalizeFoundation() {
  qdllSyncFinalize();
  qdllExceptionFinalize();
}

}  // namespace qd
