#include "foundation/qdFoundation.h"

#include "foundation/qdllException.h"
#include "foundation/qdllWideString.h"
#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() {
  qdNlsInitialize();
  qdllExceptionInitialize();
  qdllWideStringInitialize();
}

void FinalizeFoundation() {
  qdllWideStringFinalize();
  qdllExceptionFinalize();
  qdNlsFinalize();
}

}  // namespace qd
