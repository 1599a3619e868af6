#include "storage/qdsrRecordEngineBase.h"

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

namespace {

TqdClassRegistry* gRecordEngines = nullptr;
TqdClassRegistry** recordEngines() { return &gRecordEngines; }

}  // namespace

const TqdRecordEngineClass TqdBaseRecordEngine::ClassInfo{
    {u"TqdBaseRecordEngine", &TqdBaseSubEngine::ClassInfo, &recordEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseRecordEngine::Family{&TqdBaseRecordEngine::ClassInfo,
                                                     &TqdBaseRecordEngine::CheckValidDictionary};

TqdBaseRecordEngine::TqdBaseRecordEngine(TqdBaseRecordDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                         TqdBaseTransaction* /*aTrans*/)
    : TqdBaseSubEngine(aDescriptor->ID(), qdTableVersionOf(aFiles)) {
  breDataFile = qdFileOf(aFiles, aDescriptor->FileNumber());
  breFieldsDescriptor = aDescriptor->GetRelated<TqdFieldsDescriptor>();
  const int32_t length = breFieldsDescriptor->RecordLength();
  if (length <= 0 || length > 0xFFFF) throw EqdBaseRecordEngineException(qdeRecordTooLarge);
  breRecordLength = uint16_t(length);
  breRecordAllocator = breFieldsDescriptor->RecordAllocator();
  int32_t field = -1;
  const TqdBaseTableDescriptor* table = aDescriptor->FindParentOfType<TqdBaseTableDescriptor>();
  if (breFieldsDescriptor->HasRefNrField(field) && (table == nullptr || table->CachingState() != tcsIsCache))
    breRefNrField = field;
  TempRecBuf = static_cast<PqdRecordBuffer>(breRecordAllocator.Alloc());
}

TqdBaseRecordEngine::~TqdBaseRecordEngine() { breRecordAllocator.Dispose(TempRecBuf); }

const TqdRecordEngineClass* TqdBaseRecordEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdRecordEngineClass>(ClassInfo, aName);
}

TqdBaseRecordEngine* TqdBaseRecordEngine::CreateEngine(TqdBaseTableDescriptor* aTableDescriptor,
                                                       const TqdBlockAccessList& aFiles, TqdBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->RecordDescriptor(), aFiles, aTrans);
}

TqdBaseRecordEngine* TqdBaseRecordEngine::CreateEngine(TqdBaseRecordDescriptor* aDescriptor,
                                                       const TqdBlockAccessList& aFiles, TqdBaseTransaction* aTrans) {
  if (aDescriptor == nullptr) return nullptr;
  const TqdRecordEngineClass* engineClass = FindEngineClass(aDescriptor->RecordEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdBaseRecordEngineException>(u"Record", aDescriptor->RecordEngine());
  return engineClass->Create(aDescriptor, aFiles, aTrans);
}

void TqdBaseRecordEngine::CheckValidFromDescriptor(TqdBaseRecordDescriptor* aDescriptor) {
  if (aDescriptor == nullptr) return;
  const TqdRecordEngineClass* engineClass = FindEngineClass(aDescriptor->RecordEngine());
  if (engineClass == nullptr)
    qdRaiseUnknownEngine<EqdBaseRecordEngineException>(u"Record", aDescriptor->RecordEngine());
  TqdBaseTableDescriptor* table = aDescriptor->FindParentOfType<TqdBaseTableDescriptor>();
  if (engineClass->CheckValidDescriptor != nullptr && table != nullptr) engineClass->CheckValidDescriptor(table);
}

void TqdBaseRecordEngine::CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor) {
  TqdBaseRecordDescriptor* descriptor = aTableDescriptor->RecordDescriptor();
  if (descriptor == nullptr) return;
  const TqdRecordEngineClass* engineClass = FindEngineClass(descriptor->RecordEngine());
  if (engineClass == nullptr) qdRaiseUnknownEngine<EqdBaseRecordEngineException>(u"Record", descriptor->RecordEngine());
  if (engineClass->CheckValidDescriptor != nullptr) engineClass->CheckValidDescriptor(aTableDescriptor);
}

bool TqdBaseRecordEngine::CanAddField(TqdFieldDescriptor* /*aFieldDesc*/) { return false; }

void TqdBaseRecordEngine::ReplaceAllRecords(TqdBaseTransaction* /*aTrans*/, TqdGetRecordCallback /*aCallback*/,
                                            void* /*aCookie*/) {
  throw EqdBaseRecordEngineException(NotSupportedError(u"ReplaceAllRecords"));
}

void TqdBaseRecordEngine::Rollback(TqdBaseTransaction* /*aTrans*/) {}

uint32_t TqdBaseRecordEngine::breGetRecordCount(TqdBaseTransaction* aTrans) {
  uint32_t count = 0;
  GetRecordCount(aTrans, count);
  return count;
}

void TqdBaseRecordEngine::breSetRefNrField(PqdRecordBuffer aRecord, TqdRefNr aRefNr) const {
  if (breRefNrField < 0 || aRecord == nullptr) return;
  breFieldsDescriptor->SetRecordField(breRefNrField, aRecord, &aRefNr);
}

void TqdBaseRecordEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseSubEngine::DescribeTo(aContainer);
  if (breDataFile != nullptr) aContainer->AddString(u"FileName", breDataFile->fiName());
  aContainer->AddInt64(u"RecordLength", breRecordLength);
}

void qdsrRecordEngineBaseInitialize() { TqdBaseSubEngine::RegisterBase(TqdBaseRecordEngine::Family); }

void qdsrRecordEngineBaseFinalize() {
  TqdBaseSubEngine::UnregisterBase(TqdBaseRecordEngine::Family);
  qdFreeAndNil(gRecordEngines);
}

}  // namespace qd
