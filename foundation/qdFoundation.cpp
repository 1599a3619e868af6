#include "foundation/qdFoundation.h"

#include "platform/qdNls.h"

namespace qd {

void InitializeFoundation() { qdNlsInitialize(); }

void FinalizeFoundation() { qdNlsFinalize(); }

}  // namespace qd
