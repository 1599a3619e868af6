#include "storage/qdsrHeapEngineBase.h"

#include "dictionary/qdsdDataDictionary_Storage.h"

namespace qd {

namespace {

TqdClassRegistry* gHeapEngines = nullptr;
TqdClassRegistry** heapEngines() { return &gHeapEngines; }

}  // namespace

const TqdHeapEngineClass TqdBaseHeapEngine::ClassInfo{
    {u"TqdBaseHeapEngine", &TqdBaseSubEngine::ClassInfo, &heapEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseHeapEngine::Family{&TqdBaseHeapEngine::ClassInfo, nullptr};

TqdBaseHeapEngine::TqdBaseHeapEngine(TqdBaseHeapDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                     TqdHeapHeaderHandler* aHeaderHandler)
    : TqdBaseSubEngine(aDescriptor != nullptr ? aDescriptor->ID() : 0,
                       aDataFile != nullptr ? aDataFile->_File()->fiQendoVersion : 0),
      bheHeaderHandler(aHeaderHandler),
      bheDataFile(aDataFile) {
  if (aDataFile == nullptr) qdAssertFailed("qdsrHeapEngineBase", "a heap engine needs a data file");
  if (aHeaderHandler == nullptr) qdAssertFailed("qdsrHeapEngineBase", "a heap engine needs a header handler");
  bheHeaderHandler->hhhEngine = this;
  bheBlockHeapEngine.reset(
      TqdBaseBlockHeapEngine::CreateEngine(aDescriptor != nullptr ? aDescriptor->BlockHeapDescriptor() : nullptr,
                                           aDataFile->fiBlockSizeBytes(), DataBlockHeaderSize(), bseTableVersion));
  if (bheBlockHeapEngine)
    bheBlockHeapEngine->SetOnChanged([this](PqdBlock aBlock, uint16_t aCount, uint16_t aFree, uint16_t aRecoverable) {
      BlockHeapChanged(aBlock, aCount, aFree, aRecoverable);
    });
}

TqdBaseHeapEngine::~TqdBaseHeapEngine() = default;

const TqdHeapEngineClass* TqdBaseHeapEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdHeapEngineClass>(ClassInfo, aName);
}

TqdBaseHeapEngine* TqdBaseHeapEngine::CreateEngine(TqdBaseHeapDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                                   TqdHeapHeaderHandler* aHeaderHandler) {
  std::unique_ptr<TqdHeapHeaderHandler> handler(aHeaderHandler);
  if (aDescriptor == nullptr) return nullptr;
  const TqdHeapEngineClass* engineClass = FindEngineClass(aDescriptor->HeapEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdBaseHeapEngineException>(u"Heap", aDescriptor->HeapEngine());
  return engineClass->Create(aDescriptor, aDataFile, handler.release());
}

void TqdBaseHeapEngine::CheckValidBaseFromDescriptor(TqdBaseHeapDescriptor* aDescriptor) {
  if (aDescriptor == nullptr) return;
  const TqdHeapEngineClass* engineClass = FindEngineClass(aDescriptor->HeapEngine());
  if (engineClass == nullptr) qdRaiseUnknownEngine<EqdBaseHeapEngineException>(u"Heap", aDescriptor->HeapEngine());
  if (engineClass->CheckValidDescriptor != nullptr) engineClass->CheckValidDescriptor(aDescriptor);
}

void TqdBaseHeapEngine::CheckValidDescriptor(TqdBaseHeapDescriptor* aDescriptor) {
  if (aDescriptor->BlockHeapDescriptor() == nullptr)
    throw EqdBaseHeapEngineException(qdeInvalidDesc, u"A block heap descriptor is required");
  TqdBaseBlockHeapEngine::CheckValidBaseFromDescriptor(aDescriptor->BlockHeapDescriptor());
}

void TqdBaseHeapEngine::IncHeapRef(TqdHeapRef& /*aHeapRef*/) {}

void TqdBaseHeapEngine::DoDataBlockAdded(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aHeaderAccess,
                                         PqdBlock aBlock) {
  bheHeaderHandler->DataBlockAdded(aTrans, aHeaderAccess, aBlock);
}

void TqdBaseHeapEngine::DoDataBlockRemoved(TqdBaseTransaction* aTrans, TqdBaseFileHeaderAccess* aHeaderAccess,
                                           PqdBlock aBlock) {
  bheHeaderHandler->DataBlockRemoved(aTrans, aHeaderAccess, aBlock);
}

TqdBlockNumber TqdBaseHeapEngine::GetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess) {
  return bheHeaderHandler->GetMapRoot(aHeaderAccess);
}

void TqdBaseHeapEngine::SetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess, TqdBlockNumber aBlockNumber) {
  bheHeaderHandler->SetMapRoot(aHeaderAccess, aBlockNumber);
}

uint16_t TqdBaseHeapEngine::DataBlockHeaderSize() { return bheHeaderHandler->DataBlockHeaderSize(); }

void qdsrHeapEngineBaseInitialize() { TqdBaseSubEngine::RegisterBase(TqdBaseHeapEngine::Family); }

void qdsrHeapEngineBaseFinalize() {
  TqdBaseSubEngine::UnregisterBase(TqdBaseHeapEngine::Family);
  qdFreeAndNil(gHeapEngines);
}

}  // namespace qd
