#include "storage/qdsrBlockHeapEngineBase.h"

#include "dictionary/qdsdDataDictionary_Storage.h"

namespace qd {

namespace {

TqdClassRegistry* gBlockHeapEngines = nullptr;
TqdClassRegistry** blockHeapEngines() { return &gBlockHeapEngines; }

}  // namespace

const TqdBlockHeapEngineClass TqdBaseBlockHeapEngine::ClassInfo{
    {u"TqdBaseBlockHeapEngine", &TqdBaseSubEngine::ClassInfo, &blockHeapEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseBlockHeapEngine::Family{&TqdBaseBlockHeapEngine::ClassInfo, nullptr};

TqdBaseBlockHeapEngine::TqdBaseBlockHeapEngine(TqdBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize,
                                               uint16_t aHeaderSize, int32_t aTableVersion)
    : TqdBaseSubEngine(aDescriptor != nullptr ? aDescriptor->ID() : 0, aTableVersion),
      bbheBlockSize(aBlockSize),
      bbheHeaderSize(aHeaderSize) {}

const TqdBlockHeapEngineClass* TqdBaseBlockHeapEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdBlockHeapEngineClass>(ClassInfo, aName);
}

TqdBaseBlockHeapEngine* TqdBaseBlockHeapEngine::CreateEngine(TqdBaseBlockHeapDescriptor* aDescriptor,
                                                             uint32_t aBlockSize, uint16_t aHeaderSize,
                                                             int32_t aTableVersion) {
  if (aDescriptor == nullptr) return nullptr;
  const TqdBlockHeapEngineClass* engineClass = FindEngineClass(aDescriptor->BlockHeapEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdBaseBlockHeapEngineException>(u"BlockHeap", aDescriptor->BlockHeapEngine());
  return engineClass->Create(aDescriptor, aBlockSize, aHeaderSize, aTableVersion);
}

void TqdBaseBlockHeapEngine::CheckValidBaseFromDescriptor(TqdBaseBlockHeapDescriptor* aDescriptor) {
  if (aDescriptor == nullptr) return;
  const TqdBlockHeapEngineClass* engineClass = FindEngineClass(aDescriptor->BlockHeapEngine());
  if (engineClass == nullptr)
    qdRaiseUnknownEngine<EqdBaseBlockHeapEngineException>(u"BlockHeap", aDescriptor->BlockHeapEngine());
  if (engineClass->CheckValidDescriptor != nullptr) engineClass->CheckValidDescriptor(aDescriptor);
}

void TqdBaseBlockHeapEngine::DoChanged(PqdBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                       uint16_t aRecoverableSpace) {
  if (bbheOnChanged) bbheOnChanged(aBlock, aSegmentCount, aFreeSpaceSize, aRecoverableSpace);
}

void TqdBaseBlockHeapEngine::IncSegmentRef(TqdSegmentRef& /*aSegmentRef*/) {}

void TqdBaseBlockHeapEngine::CheckBlock(const uint8_t* /*aBlock*/) {}

void qdsrBlockHeapEngineBaseInitialize() { TqdBaseSubEngine::RegisterBase(TqdBaseBlockHeapEngine::Family); }

void qdsrBlockHeapEngineBaseFinalize() {
  TqdBaseSubEngine::UnregisterBase(TqdBaseBlockHeapEngine::Family);
  qdFreeAndNil(gBlockHeapEngines);
}

}  // namespace qd
