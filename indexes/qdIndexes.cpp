#include "indexes/qdIndexes.h"

#include "indexes/qdllWideStringCategories.h"
#include "indexes/qdseIndexEngineKeylessBstarTree.h"
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"
#include "indexes/qdseIndicesEngineSimple.h"

namespace qd {

void InitializeIndexes() {
  qdllWideStringCategoriesInitialize();
  qdseIndexEngineStaticKeyBstarTreeInitialize();
  qdseIndexEngineKeylessBstarTreeInitialize();
  qdseIndicesEngineSimpleInitialize();
}

void FinalizeIndexes() {
  qdseIndicesEngineSimpleFinalize();
  qdseIndexEngineKeylessBstarTreeFinalize();
  qdseIndexEngineStaticKeyBstarTreeFinalize();
  qdllWideStringCategoriesFinalize();
}

}  // namespace qd
