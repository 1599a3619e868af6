#include "dictionary/qdsdFilterEngineHub.h"

#include <algorithm>

#include "platform/qdFormat.h"

namespace qd {

namespace {

void checkIndex(int32_t aInx, size_t aCount) {
  if (aInx < 0 || static_cast<size_t>(aInx) >= aCount)
    throw EqdBaseException(qdeInvalidDescNum, u"Index out of bounds: %d", {aInx});
}

}  // namespace

// --- Descriptor hub ---------------------------------------------------------------

const TqdFilterDescriptorClass TqdFilterDescriptorHub::ClassInfo{
    {u"TqdFilterDescriptorHub", &TqdBaseFilterDescriptor::ClassInfo, nullptr}, nullptr};

TqdFilterDescriptorHub::~TqdFilterDescriptorHub() {
  while (!fdhList.empty()) {
    TqdBaseFilterDescriptor* member = fdhList.back();
    fdhList.pop_back();
    qdFreeAndNil(member);
  }
}

TqdBaseFilterDescriptor* TqdFilterDescriptorHub::fdhGetFilter(int32_t aInx) const {
  checkIndex(aInx, fdhList.size());
  return fdhList[static_cast<size_t>(aInx)];
}

void TqdFilterDescriptorHub::AddFilter(TqdBaseFilterDescriptor* aFilter) {
  if (aFilter == nullptr) qdAssertFailed("qdsdFilterEngineHub", "a hub member is a descriptor");
  try {
    fdhList.push_back(aFilter);
  } catch (...) {
    qdFreeAndNil(aFilter);
    throw;
  }
}

void TqdFilterDescriptorHub::RemoveFilter(int32_t aInx) {
  checkIndex(aInx, fdhList.size());
  TqdBaseFilterDescriptor* member = fdhList[static_cast<size_t>(aInx)];
  fdhList.erase(fdhList.begin() + aInx);
  qdFreeAndNil(member);
}

void TqdFilterDescriptorHub::RemoveFilter(TqdBaseFilterDescriptor* aFilter) {
  const auto found = std::find(fdhList.begin(), fdhList.end(), aFilter);
  if (found == fdhList.end()) qdAssertFailed("qdsdFilterEngineHub", "the descriptor is a member of the hub");
  RemoveFilter(static_cast<int32_t>(found - fdhList.begin()));
}

void TqdFilterDescriptorHub::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdBaseFilterDescriptor::DescribeTo(aContainer);
  for (size_t i = 0; i < fdhList.size(); ++i)
    aContainer->AddObject(Format(u"Filters[%d]", {static_cast<int32_t>(i)}), fdhList[i]);
}

// --- Engine hub -----------------------------------------------------------------------

const TqdFilterEngineClass TqdFilterEngineHub::ClassInfo{
    {u"TqdFilterEngineHub", &TqdBaseFilterEngine::ClassInfo, nullptr},
    &qdNewDescriptor<TqdBaseFilterEngine, TqdFilterEngineHub, const TqdBaseFilterDescriptor*, IqdFieldsSource*>};

TqdFilterEngineHub::TqdFilterEngineHub(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource)
    : TqdBaseFilterEngine(aDescriptor, aFieldsSource) {
  if (aDescriptor == nullptr) return;
  auto* hub = dynamic_cast<const TqdFilterDescriptorHub*>(aDescriptor);
  if (hub == nullptr) throw EInvalidCast();
  try {
    for (int32_t i = 0; i < hub->FilterCount(); ++i) AddFilter(CreateFor(hub->fdhGetFilter(i), aFieldsSource));
  } catch (...) {
    // The destructor does not run for a constructor that throws.
    while (!fehList.empty()) {
      TqdBaseFilterEngine* member = fehList.back();
      fehList.pop_back();
      qdFreeAndNil(member);
    }
    throw;
  }
}

TqdFilterEngineHub::TqdFilterEngineHub(TqdBaseFilterEngine* aFilter1, TqdBaseFilterEngine* aFilter2)
    : TqdBaseFilterEngine(nullptr, aFilter1 != nullptr ? aFilter1->FieldsSource() : nullptr) {
  if (aFilter1 == nullptr || aFilter2 == nullptr) qdAssertFailed("qdsdFilterEngineHub", "a hub member is an engine");
  try {
    fehList.reserve(2);
  } catch (...) {
    qdFreeAndNil(aFilter1);
    qdFreeAndNil(aFilter2);
    throw;
  }
  fehList.push_back(aFilter1);
  fehList.push_back(aFilter2);
}

TqdFilterEngineHub::~TqdFilterEngineHub() {
  while (!fehList.empty()) {
    TqdBaseFilterEngine* member = fehList.back();
    fehList.pop_back();
    qdFreeAndNil(member);
  }
}

TqdBaseFilterEngine* TqdFilterEngineHub::fehGetFilter(int32_t aInx) const {
  checkIndex(aInx, fehList.size());
  return fehList[static_cast<size_t>(aInx)];
}

void TqdFilterEngineHub::AddFilter(TqdBaseFilterEngine* aFilter) {
  if (aFilter == nullptr) qdAssertFailed("qdsdFilterEngineHub", "a hub member is an engine");
  try {
    fehList.push_back(aFilter);
  } catch (...) {
    qdFreeAndNil(aFilter);
    throw;
  }
}

bool TqdFilterEngineHub::GetActive() {
  return std::any_of(fehList.begin(), fehList.end(), [](TqdBaseFilterEngine* m) { return m->GetActive(); });
}

bool TqdFilterEngineHub::IsEvalLocal() {
  return std::any_of(fehList.begin(), fehList.end(), [](TqdBaseFilterEngine* m) { return m->IsEvalLocal(); });
}

bool TqdFilterEngineHub::IsEvalRemote() {
  return std::any_of(fehList.begin(), fehList.end(), [](TqdBaseFilterEngine* m) { return m->IsEvalRemote(); });
}

TqdBaseFilterEngine* TqdFilterEngineHub::Duplicate(IqdFieldsSource* aFieldsSource) {
  TqdBaseFilterEngine* copy = static_cast<const TqdFilterEngineClass&>(ClassType()).Create(nullptr, aFieldsSource);
  try {
    for (TqdBaseFilterEngine* member : fehList)
      static_cast<TqdFilterEngineHub*>(copy)->AddFilter(member->Duplicate(aFieldsSource));
  } catch (...) {
    qdFreeAndNil(copy);
    throw;
  }
  return copy;
}

TqdBaseFilterDescriptor* TqdFilterEngineHub::CreateDescriptor() {
  auto* hub = new TqdFilterDescriptorHub();
  try {
    for (TqdBaseFilterEngine* member : fehList) hub->AddFilter(member->CreateDescriptor());
  } catch (...) {
    qdFreeAndNil(hub);
    throw;
  }
  return hub;
}

bool TqdFilterEngineHub::MatchesBuffer(const uint8_t* aBuffer) {
  for (TqdBaseFilterEngine* member : fehList)
    if (!member->MatchesBuffer(aBuffer)) return false;
  return true;
}

TqdResult TqdFilterEngineHub::ActivateFilter(TqdFilterID aFilterID) {
  TqdResult result = qdeInvalidFilterHandle;
  for (TqdBaseFilterEngine* member : fehList) {
    result = member->ActivateFilter(aFilterID);
    if (aFilterID != 0 && result == 0) break;
  }
  return result;
}

TqdResult TqdFilterEngineHub::DeactivateFilter(TqdFilterID aFilterID) {
  TqdResult result = qdeInvalidFilterHandle;
  for (TqdBaseFilterEngine* member : fehList) {
    result = member->DeactivateFilter(aFilterID);
    if (aFilterID != 0 && result == 0) break;
  }
  return result;
}

void TqdFilterEngineHub::Disconnect() {
  TqdBaseFilterEngine::Disconnect();
  for (TqdBaseFilterEngine* member : fehList) member->Disconnect();
}

TqdResult TqdFilterEngineHub::ExtractFilter(TqdFilterID aFilterID, TqdBaseFilterEngine*& aFilterVar,
                                            std::vector<TqdBaseFilterEngine*>& aFree) {
  if (aFilterID == FilterID()) return TqdBaseFilterEngine::ExtractFilter(aFilterID, aFilterVar, aFree);
  const auto found = std::find_if(fehList.begin(), fehList.end(),
                                  [aFilterID](TqdBaseFilterEngine* m) { return m->FilterID() == aFilterID; });
  if (found == fehList.end()) return qdeInvalidFilterHandle;
  if (aFilterVar != this) qdAssertFailed("qdsdFilterEngineHub", "the variable holds the hub it removes from");
  aFree.push_back(*found);
  fehList.erase(found);
  if (fehList.size() == 1) {
    aFilterVar = fehList.front();
    fehList.clear();
    aFree.push_back(this);
  } else if (fehList.empty()) {
    aFilterVar = nullptr;
    aFree.push_back(this);
  }
  return 0;
}

void qdsdFilterEngineHubInitialize() {
  TqdBaseRegisterableDescriptor::RegisterDescriptor(TqdFilterDescriptorHub::ClassInfo);
  TqdBaseRegisterableEngine::RegisterEngine(TqdFilterEngineHub::ClassInfo);
}

void qdsdFilterEngineHubFinalize() {
  TqdBaseRegisterableEngine::UnregisterEngine(TqdFilterEngineHub::ClassInfo);
  TqdBaseRegisterableDescriptor::UnregisterDescriptor(TqdFilterDescriptorHub::ClassInfo);
}

}  // namespace qd
