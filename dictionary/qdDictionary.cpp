#include "dictionary/qdDictionary.h"

#include "dictionary/qdsdDataDictionary.h"
#include "dictionary/qdsdFmtBcd.h"
#include "dictionary/qdsdKeyFieldEngineBase.h"
#include "dictionary/qdsdTypes.h"

namespace qd {

void InitializeDictionary() {
  qdsdTypesInitialize();
  qdsdFmtBcdInitialize();
  qdsdDataDictionaryInitialize();
  qdsdKeyFieldEngineBaseInitialize();
}

void FinalizeDictionary() {
  qdsdKeyFieldEngineBaseFinalize();
  qdsdDataDictionaryFinalize();
  qdsdFmtBcdFinalize();
  qdsdTypesFinalize();
}

}  // namespace qd
