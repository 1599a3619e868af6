#include "dictionary/qdDictionary.h"

#include "dictionary/qdsdDataDictionary.h"
#include "dictionary/qdsdTypes.h"

namespace qd {

void InitializeDictionary() {
  qdsdTypesInitialize();
  qdsdDataDictionaryInitialize();
}

void FinalizeDictionary() {
  qdsdDataDictionaryFinalize();
  qdsdTypesFinalize();
}

}  // namespace qd
