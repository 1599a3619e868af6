#include "storage/qdseAutoIncEngineSimple.h"

#include "dictionary/qdsdDataDictionary_Storage.h"

namespace qd {

namespace {

constexpr uint8_t kSectionSize = 4;

}  // namespace

const TqdAutoIncEngineClass TqdSimpleAutoIncEngine::ClassInfo{
    {u"TqdSimpleAutoIncEngine", &TqdBaseAutoIncEngine::ClassInfo, nullptr},
    &qdNewAutoIncEngine<TqdSimpleAutoIncEngine>,
    nullptr};

TqdSimpleAutoIncEngine::TqdSimpleAutoIncEngine(TqdBaseAutoIncDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                               TqdBaseTransaction* aTrans)
    : TqdBaseAutoIncEngine(aDescriptor, aFiles, aTrans) {
  if (const auto* advanced = dynamic_cast<const TqdAdvAutoIncDescriptor*>(aDescriptor)) {
    aieInitialValue = advanced->InitialValue();
    aieStep = advanced->Step();
  }
  std::unique_ptr<TqdBaseFileHeaderAccess> header = baieDataFile->HeaderAccess(aTrans, aTrans != nullptr);
  const qdAnsiString name(aDescriptor->HeaderSection());
  if (aTrans != nullptr) {
    aieHeaderSection = header->RegisterHeaderSection(name, kSectionSize, true, false);
    qdPutU32(header->WritableHeader() + aieHeaderSection, aieInitialValue - aieStep);
  } else {
    aieHeaderSection = header->RegisterHeaderSection(name, kSectionSize, false, false);
  }
}

uint32_t TqdSimpleAutoIncEngine::NextAutoIncValue(TqdBaseTransaction* aTrans, uint32_t* aCurrentAutoInc) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = baieDataFile->HeaderAccess(aTrans, true);
  const uint32_t current = qdGetU32(header->Header() + aieHeaderSection);
  if (aCurrentAutoInc != nullptr) *aCurrentAutoInc = current;
  uint32_t next;
  if (uint64_t(current) + aieStep > UINT32_MAX) {
    // A table that has not handed out a value yet and whose initial value
    // is below its step stores a counter near the top: its first value is
    // still the initial value.
    if (current != uint32_t(aieInitialValue - aieStep))
      throw EqdseAutoIncEngineException(qdeMaxValErr, u"Maximum AutoInc value has been reached");
    next = aieInitialValue;
  } else {
    next = current + aieStep;
  }
  qdPutU32(header->WritableHeader() + aieHeaderSection, next);
  return next;
}

uint32_t TqdSimpleAutoIncEngine::ReadAutoIncValue(TqdBaseTransaction* aTrans) {
  return qdGetU32(baieDataFile->HeaderAccess(aTrans, false)->Header() + aieHeaderSection);
}

void TqdSimpleAutoIncEngine::SetAutoIncValue(TqdBaseTransaction* aTrans, uint32_t aValue) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = baieDataFile->HeaderAccess(aTrans, true);
  qdPutU32(header->WritableHeader() + aieHeaderSection, aValue);
}

void qdseAutoIncEngineSimpleInitialize() {
  TqdBaseSubEngine::Register(TqdSimpleAutoIncEngine::ClassInfo, u"qd1xDefault");
}

void qdseAutoIncEngineSimpleFinalize() { TqdBaseSubEngine::Unregister(TqdSimpleAutoIncEngine::ClassInfo); }

}  // namespace qd
