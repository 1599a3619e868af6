#include "storage/qdsrSubEngineBase.h"

#include <algorithm>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterEngineBase.h"

namespace qd {

TqdCheckTimeoutProc qdCheckTimeoutHook = nullptr;

namespace {

// The families in registration order; created on first use, freed when the
// last family leaves.
std::vector<const TqdSubEngineFamily*>* gFamilies = nullptr;
const std::vector<const TqdSubEngineFamily*> kNoFamilies;

void checkValidTable(TqdBaseTableDescriptor* aTable) {
  for (const TqdSubEngineFamily* family : TqdBaseSubEngine::Families())
    if (family->sefCheckValidDictionary != nullptr) family->sefCheckValidDictionary(aTable);
  TqdTablesDescriptor* tables = aTable->TablesDescriptor();
  if (tables == nullptr) return;
  for (int32_t i = 0; i < tables->TableCount(); ++i) checkValidTable(tables->TableDescriptor(i));
}

}  // namespace

TqdBaseFilterEngine* qdActiveFilter(TqdBaseFilterEngine* aFilter) {
  return aFilter != nullptr && aFilter->Active() ? aFilter : nullptr;
}

bool qdFilterMatches(TqdBaseFilterEngine* aFilter, const uint8_t* aRecord) {
  return aFilter == nullptr || aFilter->MatchesBuffer(aRecord);
}

const TqdClassInfo TqdBaseSubEngine::ClassInfo{u"TqdBaseSubEngine", &TqdPersistent::ClassInfo, nullptr};

const TqdClassInfo* TqdBaseSubEngine::FindEngineClass(const TqdClassInfo& aClass, qdStringView aName) {
  return qdFindClassIn(aClass.FamilyList(), aName);
}

void TqdBaseSubEngine::Register(const TqdClassInfo& aClass, qdStringView aName) {
  qdRegisterClassIn(aClass.FamilyList(), aName.empty() ? aClass.ClassName : aName, aClass);
}

void TqdBaseSubEngine::Unregister(const TqdClassInfo& aClass) { qdUnregisterClassFrom(aClass.FamilyList(), aClass); }

void TqdBaseSubEngine::RegisterBase(const TqdSubEngineFamily& aFamily) {
  if (gFamilies == nullptr) gFamilies = new std::vector<const TqdSubEngineFamily*>;
  gFamilies->push_back(&aFamily);
}

void TqdBaseSubEngine::UnregisterBase(const TqdSubEngineFamily& aFamily) {
  if (gFamilies == nullptr) return;
  std::erase(*gFamilies, &aFamily);
  if (gFamilies->empty()) {
    delete gFamilies;
    gFamilies = nullptr;
  }
}

const std::vector<const TqdSubEngineFamily*>& TqdBaseSubEngine::Families() {
  return gFamilies != nullptr ? *gFamilies : kNoFamilies;
}

void TqdBaseSubEngine::CheckValidAll(TqdDataDictionary* aDictionary) { checkValidTable(aDictionary); }

void TqdBaseSubEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdPersistent::DescribeTo(aContainer);
  aContainer->AddInt64(u"ID", bseID);
  aContainer->AddInt64(u"TableVersion", bseTableVersion);
}

int32_t qdTableVersionOf(const TqdBlockAccessList& aFiles) {
  if (aFiles.empty() || aFiles[0] == nullptr) return 0;
  return aFiles[0]->_File()->fiQendoVersion;
}

TqdBlockAccess* qdFileOf(const TqdBlockAccessList& aFiles, int32_t aFileNumber) {
  if (aFileNumber < 0 || size_t(aFileNumber) >= aFiles.size() || aFiles[size_t(aFileNumber)] == nullptr)
    throw EqdBaseSubEngineException(qdeInvalidDescNum, u"Invalid file number: %d", {aFileNumber});
  return aFiles[size_t(aFileNumber)];
}

void qdsrSubEngineBaseInitialize() {}
void qdsrSubEngineBaseFinalize() {}

}  // namespace qd
