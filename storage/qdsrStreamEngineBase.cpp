#include "storage/qdsrStreamEngineBase.h"

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

namespace {

TqdClassRegistry* gStreamEngines = nullptr;
TqdClassRegistry** streamEngines() { return &gStreamEngines; }

}  // namespace

const TqdStreamEngineClass TqdBaseStreamEngine::ClassInfo{
    {u"TqdBaseStreamEngine", &TqdBaseSubEngine::ClassInfo, &streamEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseStreamEngine::Family{&TqdBaseStreamEngine::ClassInfo,
                                                     &TqdBaseStreamEngine::CheckValidDictionary};

TqdBaseStreamEngine::TqdBaseStreamEngine(TqdBaseStreamDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                         TqdBaseTransaction* /*aTrans*/)
    : TqdBaseSubEngine(aDescriptor != nullptr ? aDescriptor->ID() : 0,
                       aDataFile != nullptr ? aDataFile->_File()->fiQendoVersion : 0),
      bseDataFile(aDataFile) {}

const TqdStreamEngineClass* TqdBaseStreamEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdStreamEngineClass>(ClassInfo, aName);
}

TqdBaseStreamEngine* TqdBaseStreamEngine::CreateEngine(TqdBaseStreamDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                                       TqdBaseTransaction* aTrans) {
  return CreateEngine(aDataFile->_File()->fiStreamEngineName, aDescriptor, aDataFile, aTrans);
}

TqdBaseStreamEngine* TqdBaseStreamEngine::CreateEngine(qdStringView aName, TqdBaseStreamDescriptor* aDescriptor,
                                                       TqdBlockAccess* aDataFile, TqdBaseTransaction* aTrans) {
  const TqdStreamEngineClass* engineClass = FindEngineClass(aName);
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdStreamEngineException>(u"stream", aName);
  return engineClass->Create(aDescriptor, aDataFile, aTrans);
}

void TqdBaseStreamEngine::CheckValidFromDescriptor(TqdBaseStreamDescriptor* aDescriptor) {
  if (aDescriptor == nullptr) return;
  const TqdStreamEngineClass* engineClass = FindEngineClass(aDescriptor->StreamEngine());
  if (engineClass == nullptr) qdRaiseUnknownEngine<EqdStreamEngineException>(u"stream", aDescriptor->StreamEngine());
  if (engineClass->CheckValidDescriptor != nullptr) engineClass->CheckValidDescriptor(aDescriptor);
}

void TqdBaseStreamEngine::CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor) {
  if (auto* dictionary = dynamic_cast<TqdDataDictionary*>(aTableDescriptor))
    CheckValidFromDescriptor(dictionary->StreamDescriptor());
}

void TqdBaseStreamEngine::Initialize(TqdBaseStreamDescriptor* aDescriptor) {
  SetID(aDescriptor != nullptr ? aDescriptor->ID() : 0);
}

void TqdBaseStreamEngine::InitializeFromDictionary(TqdDataDictionary* aDictionary) {
  Initialize(aDictionary->StreamDescriptor());
}

void qdsrStreamEngineBaseInitialize() { TqdBaseSubEngine::RegisterBase(TqdBaseStreamEngine::Family); }

void qdsrStreamEngineBaseFinalize() {
  TqdBaseSubEngine::UnregisterBase(TqdBaseStreamEngine::Family);
  qdFreeAndNil(gStreamEngines);
}

}  // namespace qd
