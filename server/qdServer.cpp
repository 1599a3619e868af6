#include "server/qdServer.h"

#include "server/qdsdFieldMapperDescriptor.h"
#include "server/qdsdRecordMapperDescriptor.h"
#include "server/qdsdTableMapperDescriptor.h"

namespace qd {

void InitializeServer() {
  qdsdFieldMapperDescriptorInitialize();
  qdsdRecordMapperDescriptorInitialize();
  qdsdTableMapperDescriptorBaseInitialize();
  qdsdTableMapperDescriptorInitialize();
}

void FinalizeServer() {
  qdsdTableMapperDescriptorFinalize();
  qdsdTableMapperDescriptorBaseFinalize();
  qdsdRecordMapperDescriptorFinalize();
  qdsdFieldMapperDescriptorFinalize();
}

}  // namespace qd
