#include "client/qdClient.h"

#include "client/qdsdServerEngine.h"

namespace qd {

void InitializeClient() { qdsdServerEngineInitialize(); }

void FinalizeClient() { qdsdServerEngineFinalize(); }

}  // namespace qd
