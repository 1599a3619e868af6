#include "server/qdServer.h"

#include "server/qdsdFieldMapper.h"
#include "server/qdsdFieldMapperBase.h"
#include "server/qdsdFieldMapperDescriptor.h"
#include "server/qdsdRecordMapperDescriptor.h"
#include "server/qdsdTableMapperDescriptor.h"

namespace qd {

void InitializeServer() {
  qdsdFieldMapperDescriptorInitialize();
  qdsdRecordMapperDescriptorInitialize();
  qdsdTableMapperDescriptorBaseInitialize();
  qdsdTableMapperDescriptorInitialize();
  qdsdFieldMapperBaseInitialize();
  qdsdFieldMapperInitialize();
}

void FinalizeServer() {
  qdsdFieldMapperFinalize();
  qdsdFieldMapperBaseFinalize();
  qdsdTableMapperDescriptorFinalize();
  qdsdTableMapperDescriptorBaseFinalize();
  qdsdRecordMapperDescriptorFinalize();
  qdsdFieldMapperDescriptorFinalize();
}

}  // namespace qd
