#include "server/qdServer.h"

#include "server/qdsdFieldMapper.h"
#include "server/qdsdFieldMapperBase.h"
#include "server/qdsdFieldMapperDescriptor.h"
#include "server/qdsdRecordMapperDescriptor.h"
#include "server/qdsdTableMapperDescriptor.h"
#include "server/qdsrServerEngine.h"
#include "server/qdsrTimeoutHandling.h"

namespace qd {

void InitializeServer() {
  qdsrTimeoutHandlingInitialize();
  qdsdFieldMapperDescriptorInitialize();
  qdsdRecordMapperDescriptorInitialize();
  qdsdTableMapperDescriptorBaseInitialize();
  qdsdTableMapperDescriptorInitialize();
  qdsdFieldMapperBaseInitialize();
  qdsdFieldMapperInitialize();
  qdsrServerEngineInitialize();
}

void FinalizeServer() {
  qdsrServerEngineFinalize();
  qdsdFieldMapperFinalize();
  qdsdFieldMapperBaseFinalize();
  qdsdTableMapperDescriptorFinalize();
  qdsdTableMapperDescriptorBaseFinalize();
  qdsdRecordMapperDescriptorFinalize();
  qdsdFieldMapperDescriptorFinalize();
  qdsrTimeoutHandlingFinalize();
}

}  // namespace qd
