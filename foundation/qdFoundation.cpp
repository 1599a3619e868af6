#include "foundation/qdFoundation.h"

namespace qd {

void InitializeFoundation() {}

void FinalizeFoundation() {}

}  // namespace qd
