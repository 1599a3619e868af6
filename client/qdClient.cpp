#include "client/qdClient.h"

#include "client/qdsdDefaultValueEngine.h"
#include "client/qdsdServerEngine.h"
#include "client/qdsdValidationEngine.h"

namespace qd {

void InitializeClient() {
  qdsdServerEngineInitialize();
  qdsdDefaultValueEngineInitialize();
  qdsdValidationEngineInitialize();
}

void FinalizeClient() {
  qdsdValidationEngineFinalize();
  qdsdDefaultValueEngineFinalize();
  qdsdServerEngineFinalize();
}

}  // namespace qd
