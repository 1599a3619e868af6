#include "storage/qdsrAutoIncEngineBase.h"

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

namespace {

TqdClassRegistry* gAutoIncEngines = nullptr;
TqdClassRegistry** autoIncEngines() { return &gAutoIncEngines; }

}  // namespace

const TqdAutoIncEngineClass TqdBaseAutoIncEngine::ClassInfo{
    {u"TqdBaseAutoIncEngine", &TqdBaseSubEngine::ClassInfo, &autoIncEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseAutoIncEngine::Family{&TqdBaseAutoIncEngine::ClassInfo,
                                                      &TqdBaseAutoIncEngine::CheckValidDictionary};

TqdBaseAutoIncEngine::TqdBaseAutoIncEngine(TqdBaseAutoIncDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                           TqdBaseTransaction* /*aTrans*/)
    : TqdBaseSubEngine(aDescriptor->ID(), qdTableVersionOf(aFiles)),
      baieDataFile(qdFileOf(aFiles, aDescriptor->FileNumber())) {}

const TqdAutoIncEngineClass* TqdBaseAutoIncEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdAutoIncEngineClass>(ClassInfo, aName);
}

TqdBaseAutoIncEngine* TqdBaseAutoIncEngine::CreateEngine(TqdBaseTableDescriptor* aTableDescriptor,
                                                         const TqdBlockAccessList& aFiles, TqdBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->AutoIncDescriptor(), aFiles, aTrans);
}

TqdBaseAutoIncEngine* TqdBaseAutoIncEngine::CreateEngine(TqdBaseAutoIncDescriptor* aDescriptor,
                                                         const TqdBlockAccessList& aFiles, TqdBaseTransaction* aTrans) {
  if (aDescriptor == nullptr) return nullptr;
  const TqdAutoIncEngineClass* engineClass = FindEngineClass(aDescriptor->AutoIncEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdBaseAutoIncEngineException>(u"autoinc", aDescriptor->AutoIncEngine());
  return engineClass->Create(aDescriptor, aFiles, aTrans);
}

void TqdBaseAutoIncEngine::CheckValidFromDescriptor(TqdBaseAutoIncDescriptor* aDescriptor) {
  if (aDescriptor == nullptr) return;
  const TqdAutoIncEngineClass* engineClass = FindEngineClass(aDescriptor->AutoIncEngine());
  if (engineClass == nullptr)
    qdRaiseUnknownEngine<EqdBaseAutoIncEngineException>(u"autoinc", aDescriptor->AutoIncEngine());
  if (engineClass->CheckValidDescriptor != nullptr) engineClass->CheckValidDescriptor(aDescriptor);
}

void TqdBaseAutoIncEngine::CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor) {
  CheckValidFromDescriptor(aTableDescriptor->AutoIncDescriptor());
}

void qdsrAutoIncEngineBaseInitialize() { TqdBaseSubEngine::RegisterBase(TqdBaseAutoIncEngine::Family); }

void qdsrAutoIncEngineBaseFinalize() {
  TqdBaseSubEngine::UnregisterBase(TqdBaseAutoIncEngine::Family);
  qdFreeAndNil(gAutoIncEngines);
}

}  // namespace qd
