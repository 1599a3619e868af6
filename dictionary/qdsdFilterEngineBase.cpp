#include "dictionary/qdsdFilterEngineBase.h"

#include <atomic>

namespace qd {

namespace {

TqdClassRegistry* filterEngineRegistry = nullptr;
TqdClassRegistry** filterEngineFamily() { return &filterEngineRegistry; }

std::atomic<uint32_t> lastFilterID{0};

// Non-zero, unique among the engines alive in practice (wraps after 2^32).
TqdFilterID newFilterID() {
  for (;;) {
    const uint32_t id = lastFilterID.fetch_add(1, std::memory_order_relaxed) + 1;
    if (id != 0) return id;
  }
}

}  // namespace

const TqdFilterEngineClass TqdBaseFilterEngine::ClassInfo{
    {u"TqdBaseFilterEngine", &TqdBaseRegisterableEngine::ClassInfo, &filterEngineFamily}, nullptr};

TqdBaseFilterEngine::TqdBaseFilterEngine(const TqdBaseFilterDescriptor* /*aDescriptor*/, IqdFieldsSource* aFieldsSource)
    : bfFieldsSource(aFieldsSource), bfFilterID(newFilterID()) {}

TqdBaseFilterEngine::~TqdBaseFilterEngine() = default;

TqdBaseFilterEngine* TqdBaseFilterEngine::CreateFor(const TqdBaseFilterDescriptor* aDescriptor,
                                                    IqdFieldsSource* aFieldsSource) {
  if (aDescriptor == nullptr) qdAssertFailed("qdsdFilterEngineBase", "a filter engine is made for a descriptor");
  const qdString name = qdEngineNameFor(aDescriptor->ClassName());
  const TqdClassInfo* found = FindEngineClass(ClassInfo, name);
  if (found == nullptr || !found->InheritsFrom(ClassInfo) ||
      static_cast<const TqdFilterEngineClass*>(found)->CreateInstance == nullptr)
    throw EqdBaseFilterEngineException(qdeSubEngineNotSupported, u"Unknown %s engine: \"%s\"",
                                       {qdString(u"Filter"), name});
  return static_cast<const TqdFilterEngineClass*>(found)->Create(aDescriptor, aFieldsSource);
}

TqdResult TqdBaseFilterEngine::RemoveFilter(TqdBaseFilterEngine*& aFilterVar, TqdFilterID aFilterID) {
  if (aFilterVar == nullptr) return qdeInvalidFilterHandle;
  std::vector<TqdBaseFilterEngine*> toFree;
  const TqdResult result = aFilterVar->ExtractFilter(aFilterID, aFilterVar, toFree);
  for (TqdBaseFilterEngine* engine : toFree) qdFreeAndNil(engine);
  return result;
}

TqdResult TqdBaseFilterEngine::ExtractFilter(TqdFilterID aFilterID, TqdBaseFilterEngine*& aFilterVar,
                                             std::vector<TqdBaseFilterEngine*>& aFree) {
  if (aFilterID != bfFilterID) return qdeInvalidFilterHandle;
  if (aFilterVar != this) qdAssertFailed("qdsdFilterEngineBase", "the variable holds the filter it removes");
  aFilterVar = nullptr;
  aFree.push_back(this);
  return 0;
}

bool TqdBaseFilterEngine::GetActive() { return bfActive.load(std::memory_order_relaxed); }

void TqdBaseFilterEngine::SetActive(bool aValue) { bfActive.store(aValue, std::memory_order_relaxed); }

TqdBaseFilterEngine* TqdBaseFilterEngine::Duplicate(IqdFieldsSource* aFieldsSource) {
  TqdBaseFilterDescriptor* descriptor = CreateDescriptor();
  TqdBaseFilterEngine* engine = nullptr;
  try {
    engine = static_cast<const TqdFilterEngineClass&>(ClassType()).Create(descriptor, aFieldsSource);
    engine->SetActive(GetActive());
  } catch (...) {
    qdFreeAndNil(engine);
    qdFreeAndNil(descriptor);
    throw;
  }
  qdFreeAndNil(descriptor);
  return engine;
}

TqdResult TqdBaseFilterEngine::ActivateFilter(TqdFilterID aFilterID) {
  if (aFilterID != 0 && aFilterID != bfFilterID) return qdeInvalidFilterHandle;
  SetActive(true);
  return 0;
}

TqdResult TqdBaseFilterEngine::DeactivateFilter(TqdFilterID aFilterID) {
  if (aFilterID != 0 && aFilterID != bfFilterID) return qdeInvalidFilterHandle;
  SetActive(false);
  return 0;
}

void TqdBaseFilterEngine::Disconnect() {}

bool TqdBaseFilterEngine::IsEvalLocal() { return GetActive(); }

bool TqdBaseFilterEngine::IsEvalRemote() { return !IsEvalLocal(); }

void TqdBaseFilterEngine::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseRegisterableEngine::DescribeTo(aContainer);
  aContainer->AddBoolean(u"Active", GetActive());
}

void qdsdFilterEngineBaseInitialize() {}

void qdsdFilterEngineBaseFinalize() {
  delete filterEngineRegistry;
  filterEngineRegistry = nullptr;
}

}  // namespace qd
