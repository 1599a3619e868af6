#include "indexes/qdIndexes.h"

#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

namespace qd {

void InitializeIndexes() { qdseIndexEngineStaticKeyBstarTreeInitialize(); }

void FinalizeIndexes() { qdseIndexEngineStaticKeyBstarTreeFinalize(); }

}  // namespace qd
