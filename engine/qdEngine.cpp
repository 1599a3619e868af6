#include "engine/qdEngine.h"

#include <mutex>

#include "dictionary/qdDictionary.h"
#include "foundation/qdFoundation.h"
#include "storage/qdStorage.h"

namespace qd {

namespace {

std::mutex engineStartLock;
int engineStartCount = 0;

}  // namespace

void qdEngineInitialize() {
  std::lock_guard guard(engineStartLock);
  if (engineStartCount++ > 0) return;
  InitializeFoundation();
  InitializeDictionary();
  InitializeStorage();
}

void qdEngineFinalize() {
  std::lock_guard guard(engineStartLock);
  if (engineStartCount == 0 || --engineStartCount > 0) return;
  FinalizeStorage();
  FinalizeDictionary();
  FinalizeFoundation();
}

}  // namespace qd
