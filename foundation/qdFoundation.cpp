#include "foundation/qdFoundation.h"

#include "foundation/qdllException.h"

namespace qd {

void InitializeFoundation() { qdllExceptionInitialize(); }

void FinalizeFoundation() { qdllExceptionFinalize(); }

}  // namespace qd
