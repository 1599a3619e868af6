#include "indexes/qdIndexes.h"

#include "indexes/qdllWideStringCategories.h"
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"
#include "indexes/qdseIndicesEngineSimple.h"

namespace qd {

void InitializeIndexes() {
  qdllWideStringCategoriesInitialize();
  qdseIndexEngineStaticKeyBstarTreeInitialize();
  qdseIndicesEngineSimpleInitialize();
}

void FinalizeIndexes() {
  qdseIndicesEngineSimpleFinalize();
  qdseIndexEngineStaticKeyBstarTreeFinalize();
  qdllWideStringCategoriesFinalize();
}

}  // namespace qd
