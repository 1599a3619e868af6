#include "dictionary/qdDictionary.h"

#include "dictionary/qdsdDataDictionary.h"
#include "dictionary/qdsdFilterDescriptorBase.h"
#include "dictionary/qdsdFilterEngineBase.h"
#include "dictionary/qdsdFilterEngineCallback.h"
#include "dictionary/qdsdFilterEngineHub.h"
#include "dictionary/qdsdFilterEngineSQL.h"
#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "dictionary/qdsdFmtBcd.h"
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
}

void FinalizeDictionary() {
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
