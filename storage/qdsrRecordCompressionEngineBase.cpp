#include "storage/qdsrRecordCompressionEngineBase.h"

#include "dictionary/qdsdDataDictionary_Storage.h"

namespace qd {

namespace {

TqdClassRegistry* gRecordCompressionEngines = nullptr;
TqdClassRegistry** recordCompressionEngines() { return &gRecordCompressionEngines; }

}  // namespace

const TqdRecordCompressionEngineClass TqdBaseRecordCompressionEngine::ClassInfo{
    {u"TqdBaseRecordCompressionEngine", &TqdBaseSubEngine::ClassInfo, &recordCompressionEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseRecordCompressionEngine::Family{&TqdBaseRecordCompressionEngine::ClassInfo, nullptr};

const TqdRecordCompressionEngineClass TqdNullRecordCompressionEngine::ClassInfo{
    {u"TqdNullRecordCompressionEngine", &TqdBaseRecordCompressionEngine::ClassInfo, nullptr},
    &qdNewRecordCompressionEngine<TqdNullRecordCompressionEngine>,
    nullptr};

TqdBaseRecordCompressionEngine::TqdBaseRecordCompressionEngine(TqdBaseRecordCompressionDescriptor* aDescriptor,
                                                               int32_t aTableVersion)
    : TqdBaseSubEngine(aDescriptor != nullptr ? aDescriptor->ID() : 0, aTableVersion), brceDescriptor(aDescriptor) {}

const TqdRecordCompressionEngineClass* TqdBaseRecordCompressionEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdRecordCompressionEngineClass>(ClassInfo, aName);
}

TqdBaseRecordCompressionEngine* TqdBaseRecordCompressionEngine::CreateEngine(
    TqdBaseRecordCompressionDescriptor* aDescriptor, int32_t aTableVersion) {
  if (aDescriptor == nullptr) return new TqdNullRecordCompressionEngine(nullptr, aTableVersion);
  const TqdRecordCompressionEngineClass* engineClass = FindEngineClass(aDescriptor->RecordCompressionEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdBaseRecordCompressionEngineException>(u"RecordCompression",
                                                                  aDescriptor->RecordCompressionEngine());
  return engineClass->Create(aDescriptor, aTableVersion);
}

void TqdBaseRecordCompressionEngine::CheckValidBaseFromDescriptor(TqdBaseRecordCompressionDescriptor* aDescriptor) {
  if (aDescriptor == nullptr) return;
  const TqdRecordCompressionEngineClass* engineClass = FindEngineClass(aDescriptor->RecordCompressionEngine());
  if (engineClass == nullptr)
    qdRaiseUnknownEngine<EqdBaseRecordCompressionEngineException>(u"RecordCompression",
                                                                  aDescriptor->RecordCompressionEngine());
  if (engineClass->CheckValidDescriptor != nullptr) engineClass->CheckValidDescriptor(aDescriptor);
}

uint16_t TqdNullRecordCompressionEngine::CompressRecord(const uint8_t* /*aSource*/, uint8_t* /*aTarget*/) { return 0; }

void TqdNullRecordCompressionEngine::DecompressRecord(const uint8_t* /*aSource*/, uint16_t /*aSize*/,
                                                      uint8_t* /*aTarget*/) {
  throw EqdNullRecordCompressionEngineException(qdeNotSupported,
                                                u"DecompressRecord is not supported by TqdNullRecordCompressionEngine");
}

void qdsrRecordCompressionEngineBaseInitialize() {
  TqdBaseSubEngine::RegisterBase(TqdBaseRecordCompressionEngine::Family);
  TqdBaseSubEngine::Register(TqdNullRecordCompressionEngine::ClassInfo, u"Null");
}

void qdsrRecordCompressionEngineBaseFinalize() {
  TqdBaseSubEngine::Unregister(TqdNullRecordCompressionEngine::ClassInfo);
  TqdBaseSubEngine::UnregisterBase(TqdBaseRecordCompressionEngine::Family);
  qdFreeAndNil(gRecordCompressionEngines);
}

}  // namespace qd
