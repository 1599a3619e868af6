#include "foundation/qdFoundation.h"

#include "foundation/qdllException.h"
#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() {
  qdNlsInitialize();
  qdllExceptionInitialize();
}

void FinalizeFoundation() {
  qdllExceptionFinalize();
  qdNlsFinalize();
}

}  // namespace qd
