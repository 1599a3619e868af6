#include "indexes/qdIndexes.h"

#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"
#include "indexes/qdseIndicesEngineSimple.h"

namespace qd {

void InitializeIndexes() {
  qdseIndicesEngineSimpleInitialize();
  qdseIndexEngineStaticKeyBstarTreeInitialize();
}

void FinalizeIndexes() {
  qdseIndexEngineStaticKeyBstarTreeFinalize();
  qdseIndicesEngineSimpleFinalize();
}

}  // namespace qd
