#include "foundation/qdFoundation.h"

#include "foundation/qdllException.h"
#include "foundation/qdllUtils.h"
#include "foundation/qdllWideString.h"
#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() {
  qdNlsInitialize();
  qdllExceptionInitialize();
  qdllWideStringInitialize();
  qdllUtilsInitialize();
}

void FinalizeFoundation() {
  qdllUtilsFinalize();
  qdllWideStringFinalize();
  qdllExceptionFinalize();
  qdNlsFinalize();
}

}  // namespace qd
