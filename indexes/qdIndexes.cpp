#include "indexes/qdIndexes.h"

#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"
#include "indexes/qdseIndicesEngineSimple.h"

namespace qd {

void InitializeIndexes() {
  qdseIndexEngineStaticKeyBstarTreeInitialize();
  qdseIndicesEngineSimpleInitialize();
}

void FinalizeIndexes() {
  qdseIndicesEngineSimpleFinalize();
  qdseIndexEngineStaticKeyBstarTreeFinalize();
}

}  // namespace qd
