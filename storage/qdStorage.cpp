#include "storage/qdStorage.h"

#include "storage/qdllBlowfishRC4.h"
#include "storage/qdsdBookmarkHandling.h"
#include "storage/qdseAutoIncEngineSimple.h"
#include "storage/qdseBlobEngineSegmented.h"
#include "storage/qdseBlockHeapEngineNonfragmenting.h"
#include "storage/qdseEncryptionEngineBlowfishRC4.h"
#include "storage/qdseHeaderAccess.h"
#include "storage/qdseHeapEngineCached.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdseRecordEngineStatic.h"
#include "storage/qdseStreamEngineSimple.h"
#include "storage/qdsrAutoIncEngineBase.h"
#include "storage/qdsrBlobEngineBase.h"
#include "storage/qdsrBlockHeapEngineBase.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrFilePosix.h"
#include "storage/qdsrHeapEngineBase.h"
#include "storage/qdsrIndexEngineBase.h"
#include "storage/qdsrRecordCompressionEngineBase.h"
#include "storage/qdsrRecordEngineBase.h"
#include "storage/qdsrStreamEngineBase.h"
#include "storage/qdsrSubEngineBase.h"

namespace qd {

void InitializeStorage() {
  qdllBlowfishRC4Initialize();
  qdseEncryptionEngineBlowfishRC4Initialize();
  qdsrBufferManagerInitialize();
  qdsrFilePosixInitialize();
  qdseHeaderAccessInitialize();
  qdseJournalEngineInitialize();
  // The engine families, in the order dictionaries are checked against
  // them, then the engines of each family.
  qdsrSubEngineBaseInitialize();
  qdsrAutoIncEngineBaseInitialize();
  qdsrBlobEngineBaseInitialize();
  qdsrStreamEngineBaseInitialize();
  qdsrRecordEngineBaseInitialize();
  qdsrBlockHeapEngineBaseInitialize();
  qdsrHeapEngineBaseInitialize();
  qdsrRecordCompressionEngineBaseInitialize();
  qdsrIndexEngineBaseInitialize();
  qdseStreamEngineSimpleInitialize();
  qdseAutoIncEngineSimpleInitialize();
  qdseRecordEngineStaticInitialize();
  qdseBlockHeapEngineNonfragmentingInitialize();
  qdseHeapEngineCachedInitialize();
  qdseBlobEngineSegmentedInitialize();
  qdsdBookmarkHandlingInitialize();
}

void FinalizeStorage() {
  qdsdBookmarkHandlingFinalize();
  qdseBlobEngineSegmentedFinalize();
  qdseHeapEngineCachedFinalize();
  qdseBlockHeapEngineNonfragmentingFinalize();
  qdseRecordEngineStaticFinalize();
  qdseAutoIncEngineSimpleFinalize();
  qdseStreamEngineSimpleFinalize();
  qdsrIndexEngineBaseFinalize();
  qdsrRecordCompressionEngineBaseFinalize();
  qdsrHeapEngineBaseFinalize();
  qdsrBlockHeapEngineBaseFinalize();
  qdsrRecordEngineBaseFinalize();
  qdsrStreamEngineBaseFinalize();
  qdsrBlobEngineBaseFinalize();
  qdsrAutoIncEngineBaseFinalize();
  qdsrSubEngineBaseFinalize();
  qdseJournalEngineFinalize();
  qdseHeaderAccessFinalize();
  qdsrFilePosixFinalize();
  qdsrBufferManagerFinalize();
  qdseEncryptionEngineBlowfishRC4Finalize();
  qdsrEncryptionEngineBaseFinalize();
  qdllBlowfishRC4Finalize();
  qdllBaseCipherFinalize();
}

}  // namespace qd
