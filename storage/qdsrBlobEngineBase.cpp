#include "storage/qdsrBlobEngineBase.h"

#include "dictionary/qdsdDataDictionary.h"

namespace qd {

namespace {

TqdClassRegistry* gBlobEngines = nullptr;
TqdClassRegistry** blobEngines() { return &gBlobEngines; }

}  // namespace

const TqdBlobEngineClass TqdBaseBlobEngine::ClassInfo{
    {u"TqdBaseBlobEngine", &TqdBaseSubEngine::ClassInfo, &blobEngines}, nullptr, nullptr};
const TqdSubEngineFamily TqdBaseBlobEngine::Family{&TqdBaseBlobEngine::ClassInfo,
                                                   &TqdBaseBlobEngine::CheckValidDictionary};

TqdBaseBlobEngine::TqdBaseBlobEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                     TqdBaseTransaction* /*aTrans*/)
    : TqdBaseSubEngine(aDescriptor->ID(), qdTableVersionOf(aFiles)),
      bbeBlobFile(qdFileOf(aFiles, aDescriptor->FileNumber())) {}

const TqdBlobEngineClass* TqdBaseBlobEngine::FindEngineClass(qdStringView aName) {
  return qdFindSubEngineClass<TqdBlobEngineClass>(ClassInfo, aName);
}

TqdBaseBlobEngine* TqdBaseBlobEngine::CreateEngine(TqdBaseTableDescriptor* aTableDescriptor,
                                                   const TqdBlockAccessList& aFiles, TqdBaseTransaction* aTrans) {
  return CreateEngine(aTableDescriptor->BlobDescriptor(), aFiles, aTrans);
}

TqdBaseBlobEngine* TqdBaseBlobEngine::CreateEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                                   TqdBaseTransaction* aTrans) {
  if (aDescriptor == nullptr) return nullptr;
  const TqdBlobEngineClass* engineClass = FindEngineClass(aDescriptor->BlobEngine());
  if (engineClass == nullptr || engineClass->Create == nullptr)
    qdRaiseUnknownEngine<EqdBaseBlobEngineException>(u"BLOB", aDescriptor->BlobEngine());
  return engineClass->Create(aDescriptor, aFiles, aTrans);
}

void TqdBaseBlobEngine::CheckValidFromDescriptor(TqdBaseBlobDescriptor* aDescriptor) {
  if (aDescriptor == nullptr) return;
  const TqdBlobEngineClass* engineClass = FindEngineClass(aDescriptor->BlobEngine());
  if (engineClass == nullptr) qdRaiseUnknownEngine<EqdBaseBlobEngineException>(u"BLOB", aDescriptor->BlobEngine());
  if (engineClass->CheckValidDescriptor != nullptr) engineClass->CheckValidDescriptor(aDescriptor);
}

void TqdBaseBlobEngine::CheckValidDictionary(TqdBaseTableDescriptor* aTableDescriptor) {
  CheckValidFromDescriptor(aTableDescriptor->BlobDescriptor());
}

void TqdBaseBlobEngine::Rollback(TqdBaseTransaction* /*aTrans*/) {}
void TqdBaseBlobEngine::IncBlobNr(TqdBlobNr& /*aBlobNr*/) {}

void qdsrBlobEngineBaseInitialize() { TqdBaseSubEngine::RegisterBase(TqdBaseBlobEngine::Family); }

void qdsrBlobEngineBaseFinalize() {
  TqdBaseSubEngine::UnregisterBase(TqdBaseBlobEngine::Family);
  qdFreeAndNil(gBlobEngines);
}

}  // namespace qd
