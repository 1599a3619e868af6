#include "dictionary/qdDictionary.h"

#include "dictionary/qdsdDataDictionary.h"
#include "dictionary/qdsdFmtBcd.h"
#include "dictionary/qdsdTypes.h"

namespace qd {

void InitializeDictionary() {
  qdsdTypesInitialize();
  qdsdFmtBcdInitialize();
  qdsdDataDictionaryInitialize();
}

void FinalizeDictionary() {
  qdsdDataDictionaryFinalize();
  qdsdFmtBcdFinalize();
  qdsdTypesFinalize();
}

}  // namespace qd
