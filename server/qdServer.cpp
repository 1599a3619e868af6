#include "server/qdServer.h"

#include "server/qdsrServerEngine.h"
#include "server/qdsrTimeoutHandling.h"

namespace qd {

void InitializeServer() {
  qdsrTimeoutHandlingInitialize();
  qdsrServerEngineInitialize();
}

void FinalizeServer() {
  qdsrServerEngineFinalize();
  qdsrTimeoutHandlingFinalize();
}

}  // namespace qd
