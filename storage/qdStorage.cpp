#include "storage/qdStorage.h"

#include "storage/qdseHeaderAccess.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFilePosix.h"

namespace qd {

void InitializeStorage() {
  qdsrBufferManagerInitialize();
  qdsrFilePosixInitialize();
  qdseHeaderAccessInitialize();
  qdseJournalEngineInitialize();
}

void FinalizeStorage() {
  qdseJournalEngineFinalize();
  qdseHeaderAccessFinalize();
  qdsrFilePosixFinalize();
  qdsrBufferManagerFinalize();
}

}  // namespace qd
