#include "storage/qdsrDataDictionary.h"

#include <bit>

#include "foundation/qdllStreams.h"
#include "storage/qdsrBufferManager.h"
#include "storage/qdsrEncryptionEngineBase.h"
#include "storage/qdsrStreamEngineBase.h"
#include "storage/qdsrSubEngineBase.h"

namespace qd {

const TqdClassInfo TqdServerDataDict::ClassInfo{u"TqdServerDataDict", &TqdDataDictionary::ClassInfo, nullptr};

bool TqdServerDataDict::IsSameClass(const TqdDictionaryItem* aItem) const {
  if (TqdDataDictionary::IsSameClass(aItem)) return true;
  return aItem != nullptr && &ClassType() == &TqdServerDataDict::ClassInfo &&
         &aItem->ClassType() == &TqdDataDictionary::ClassInfo;
}

void TqdServerDataDict::CheckValid(bool aForBuild) {
  TqdDataDictionary::CheckValid(aForBuild);
  TqdBaseFileHeaderAccessFactory::CheckValid(this, aForBuild);
  TqdBaseSubEngine::CheckValidAll(this);
}

uint32_t TqdServerDataDict::UsableBlockSize(uint32_t aBlockSize) const {
  uint32_t usable = TqdDataDictionary::UsableBlockSize(aBlockSize);
  if (!EncryptionEngine().empty())
    usable -= TqdBaseEncryptionEngine::ReservedSpacePerBlock(
        EncryptionEngine(), false, aBlockSize > 4096 ? TqdBlockSize(std::countr_zero(aBlockSize) - 12) : qdbs4k);
  return usable - uint32_t(TqdBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(HeaderSignature()));
}

void TqdServerDataDict::ReadFromFile(TqdBaseStreamEngine* aStreamEngine, TqdBaseTransaction* aTrans) {
  TqdBlockAccess* dataFile = aStreamEngine->DataFile();
  TqdMemoryStream stream(-1);
  if (aStreamEngine->ReadNamedStream(aTrans, u"DICT", stream) != 0)
    Error(qdeCannotOpenFile, u"The data dictionary is missing (%s)", {dataFile->fiName()});
  stream.SetPosition(0);
  ReadFromStream(stream, dataFile->BaseName());
  ddHeaderSignature = dataFile->_File()->fiHeaderSignature;
  ForceOnReadOnly();
}

void TqdServerDataDict::WriteToFile(TqdBaseStreamEngine* aStreamEngine, TqdBaseTransaction* aTrans, int32_t aVersion) {
  CheckValid(false);
  TqdMemoryStream stream(-1);
  ddBaseName = aStreamEngine->DataFile()->BaseName();
  WriteToStream(stream, aVersion);
  // Writing a named stream answers 0 or raises.
  (void)aStreamEngine->WriteNamedStream(aTrans, u"DICT", stream);
  ForceOnReadOnly();
}

void TqdServerDataDict::ForceOffReadOnly() {
  ddReadOnly = false;
  DeactivateCache();
}

void TqdServerDataDict::ForceOnReadOnly() { MakeReadOnly(); }

void TqdServerDataDict::RecreateGuid() {
  ddGuid = TGUID{};
  ddGuid = qdNewGuid();
}

}  // namespace qd
