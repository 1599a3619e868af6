#include "engine/qdEngine.h"

#include <mutex>

#include "client/qdClient.h"
#include "dictionary/qdDictionary.h"
#include "foundation/qdFoundation.h"
#include "indexes/qdIndexes.h"
#include "server/qdServer.h"
#include "sql/qdSql.h"
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
  InitializeClient();
  InitializeStorage();
  InitializeIndexes();
  InitializeServer();
  InitializeSql();
}

void qdEngineFinalize() {
  std::lock_guard guard(engineStartLock);
  if (engineStartCount == 0 || --engineStartCount > 0) return;
  FinalizeSql();
  FinalizeServer();
  FinalizeIndexes();
  FinalizeStorage();
  FinalizeClient();
  FinalizeDictionary();
  FinalizeFoundation();
}

}  // namespace qd
