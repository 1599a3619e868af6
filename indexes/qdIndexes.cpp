#include "indexes/qdIndexes.h"

namespace qd {

void InitializeIndexes() {}

void FinalizeIndexes() {}

}  // namespace qd
