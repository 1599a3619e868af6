#include "indexes/qdIndexes.h"

#include "indexes/qdseIndexEngineKeylessBstarTree.h"
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"
#include "indexes/qdseIndicesEngineSimple.h"

namespace qd {

void InitializeIndexes() {
  qdseIndexEngineStaticKeyBstarTreeInitialize();
  qdseIndexEngineKeylessBstarTreeInitialize();
  qdseIndicesEngineSimpleInitialize();
}

void FinalizeIndexes() {
  qdseIndicesEngineSimpleFinalize();
  qdseIndexEngineKeylessBstarTreeFinalize();
  qdseIndexEngineStaticKeyBstarTreeFinalize();
}

}  // namespace qd
