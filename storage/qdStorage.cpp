#include "storage/qdStorage.h"

#include "storage/qdseHeaderAccess.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFilePosix.h"

namespace qd {

void InitializeStorage() {
  qdsrBufferManagerInitialize();
  qdsrFilePosixInitialize();
  qdseHeaderAccessInitialize();
}

void FinalizeStorage() {
  qdseHeaderAccessFinalize();
  qdsrFilePosixFinalize();
  qdsrBufferManagerFinalize();
}

}  // namespace qd
