#include "dictionary/qdDictionary.h"

#include "dictionary/qdsdDataDictionary.h"
#include "dictionary/qdsdFilterDescriptorBase.h"
#include "dictionary/qdsdFilterEngineBase.h"
#include "dictionary/qdsdFilterEngineCallback.h"
#include "dictionary/qdsdFilterEngineHub.h"
#include "dictionary/qdsdFilterEngineSQL.h"
#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "dictionary/qdsdFmtBcd.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "dictionary/qdsdKeyEngineBlobCache.h"
#include "dictionary/qdsdKeyEngineComp.h"
#include "dictionary/qdsdKeyEngineInt64.h"
#include "dictionary/qdsdKeyEngineRef.h"
#include "dictionary/qdsdKeyFieldEngineBase.h"
#include "dictionary/qdsdTypes.h"

namespace qd {

void InitializeDictionary() {
  qdsdTypesInitialize();
  qdsdFmtBcdInitialize();
  qdsdDataDictionaryInitialize();
  qdsdFilterDescriptorBaseInitialize();
  qdsdFilterEngineBaseInitialize();
  qdsdFilterEngineCallbackInitialize();
  qdsdFilterEngineSQLInitialize();
  qdsdFilterEngineSimpleExpressionInitialize();
  qdsdFilterEngineHubInitialize();
  qdsdKeyFieldEngineBaseInitialize();
  qdsdKeyEngineBaseInitialize();
  qdsdKeyEngineCompInitialize();
  qdsdKeyEngineRefInitialize();
  qdsdKeyEngineInt64Initialize();
  qdsdKeyEngineBlobCacheInitialize();
}

void FinalizeDictionary() {
  qdsdKeyEngineBlobCacheFinalize();
  qdsdKeyEngineInt64Finalize();
  qdsdKeyEngineRefFinalize();
  qdsdKeyEngineCompFinalize();
  qdsdKeyEngineBaseFinalize();
  qdsdKeyFieldEngineBaseFinalize();
  qdsdFilterEngineHubFinalize();
  qdsdFilterEngineSimpleExpressionFinalize();
  qdsdFilterEngineSQLFinalize();
  qdsdFilterEngineCallbackFinalize();
  qdsdFilterEngineBaseFinalize();
  qdsdFilterDescriptorBaseFinalize();
  qdsdDataDictionaryFinalize();
  qdsdFmtBcdFinalize();
  qdsdTypesFinalize();
}

}  // namespace qd
