#include "foundation/qdllTypes.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "foundation/qdllRandom.h"
#include "platform/qdFormat.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdStringList.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

char16_t asciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Ordinal comparison after ASCII case folding, as the engine's name lists
// compare (never the locale's comparison: the names are stored).
int compareClassNames(qdStringView a, qdStringView b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t ca = asciiUpper(a[i]);
    const char16_t cb = asciiUpper(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::atomic<uint64_t> nextObjectID{0};

// The system tick count: milliseconds of the monotonic clock, 32 bits.
uint32_t tickCount() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

// --- Classes by name -----------------------------------------------------------

bool TqdClassInfo::InheritsFrom(const TqdClassInfo& aClass) const {
  for (const TqdClassInfo* c = this; c != nullptr; c = c->Parent)
    if (c == &aClass) return true;
  return false;
}

TqdClassRegistry*& TqdClassInfo::FamilyList() const {
  for (const TqdClassInfo* c = this; c != nullptr; c = c->Parent)
    if (c->GetList != nullptr) return *c->GetList();
  qdAssertFailed("qdllTypes", "class belongs to a family with a registry of its own");
}

bool qdSameClassName(qdStringView aName1, qdStringView aName2) { return compareClassNames(aName1, aName2) == 0; }

qdString qdEngineNameFor(qdStringView aDescriptorClassName, qdStringView aReplacement) {
  static constexpr qdStringView kDescriptor = u"Descriptor";
  qdString result;
  size_t i = 0;
  while (i < aDescriptorClassName.size()) {
    if (aDescriptorClassName.size() - i >= kDescriptor.size() &&
        compareClassNames(aDescriptorClassName.substr(i, kDescriptor.size()), kDescriptor) == 0) {
      result += aReplacement;
      i += kDescriptor.size();
    } else {
      result += aDescriptorClassName[i++];
    }
  }
  return result;
}

bool TqdClassRegistry::Locate(qdStringView aName, size_t& aIndex) const {
  size_t low = 0;
  size_t high = crEntries.size();
  while (low < high) {
    const size_t middle = (low + high) / 2;
    const int c = compareClassNames(crEntries[middle].Name, aName);
    if (c < 0) {
      low = middle + 1;
    } else if (c > 0) {
      high = middle;
    } else {
      aIndex = middle;
      return true;
    }
  }
  aIndex = low;
  return false;
}

void TqdClassRegistry::Add(qdStringView aName, const TqdClassInfo& aClass) {
  size_t index = 0;
  if (Locate(aName, index)) throw EStringListError(qdString(u"Duplicates not allowed"));
  crEntries.insert(crEntries.begin() + static_cast<std::ptrdiff_t>(index),
                   TqdRegisteredClass{qdString(aName), &aClass});
}

const TqdClassInfo* TqdClassRegistry::Find(qdStringView aName) const {
  size_t index = 0;
  return Locate(aName, index) ? crEntries[index].Class : nullptr;
}

int32_t TqdClassRegistry::RemoveClass(const TqdClassInfo& aClass) {
  int32_t removed = 0;
  for (size_t i = crEntries.size(); i-- > 0;) {
    if (crEntries[i].Class == &aClass) {
      crEntries.erase(crEntries.begin() + static_cast<std::ptrdiff_t>(i));
      ++removed;
    }
  }
  return removed;
}

void qdRegisterClassIn(TqdClassRegistry*& aList, qdStringView aName, const TqdClassInfo& aClass) {
  bool created = false;
  if (aList == nullptr) {
    aList = new TqdClassRegistry;
    created = true;
  }
  try {
    aList->Add(aName, aClass);
  } catch (...) {
    if (created) qdFreeAndNil(aList);
    throw;
  }
}

void qdUnregisterClassFrom(TqdClassRegistry*& aList, const TqdClassInfo& aClass) {
  if (aList == nullptr) return;
  aList->RemoveClass(aClass);
  if (aList->Count() == 0) qdFreeAndNil(aList);
}

const TqdClassInfo* qdFindClassIn(const TqdClassRegistry* aList, qdStringView aName) {
  return aList == nullptr ? nullptr : aList->Find(aName);
}

// --- Persistent objects --------------------------------------------------------

const TqdClassInfo TqdPersistent::ClassInfo{u"TqdPersistent", nullptr, nullptr};

void TqdPersistent::DescribeTo(IqdExceptionDataContainer* aContainer) {
  aContainer->AddInt64(u"SelfPtr", static_cast<int64_t>(ObjectID()));
  aContainer->AddString(u"ClassName", ClassName());
}

void TqdPersistent::GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t /*aFlag*/) {
  DescribeTo(aContainer);
}

TqdResult TqdPersistent::NotSupportedError(qdStringView aMethodName) const {
  const qdString method = aMethodName.empty() ? qdString(u"Method") : qdString(aMethodName);
  return EqdBaseException::qdSetMessage(qdeNotSupported, u"%s not supported by %s", {method, ClassName()});
}

uint64_t TqdPersistent::ObjectID() const {
  uint64_t id = pObjectID.load(std::memory_order_acquire);
  if (id != 0) return id;
  const uint64_t fresh = nextObjectID.fetch_add(1, std::memory_order_relaxed) + 1;
  // Two threads asking at once agree on the first published number.
  if (pObjectID.compare_exchange_strong(id, fresh, std::memory_order_acq_rel)) return fresh;
  return id;
}

const TqdClassInfo TqdLifetimeTrackedPersistent::ClassInfo{u"TqdLifetimeTrackedPersistent", &TqdPersistent::ClassInfo,
                                                           nullptr};

TqdLifetimeTrackedPersistent::~TqdLifetimeTrackedPersistent() {
  if (IqdLifetimeMonitorObject* monitor = ltpLifetimeMonitor.exchange(nullptr)) {
    monitor->Dead();
    monitor->Release();
  }
}

void TqdLifetimeTrackedPersistent::BeforeDestruction() {
  TqdPersistent::BeforeDestruction();
  if (IqdLifetimeMonitorObject* monitor = ltpLifetimeMonitor.load(std::memory_order_acquire)) monitor->Dead();
}

TqdRef<IqdLifetimeMonitorRef> qdGetLifetimeMonitorOf(std::atomic<IqdLifetimeMonitorObject*>& aField) {
  IqdLifetimeMonitorObject* monitor = aField.load(std::memory_order_acquire);
  if (monitor == nullptr) {
    IqdLifetimeMonitorObject* fresh = qdCreate<TqdLifetimeMonitor>();
    fresh->AddRef();
    // Two threads asking at once end with one monitor; the loser's goes.
    if (aField.compare_exchange_strong(monitor, fresh, std::memory_order_acq_rel)) {
      monitor = fresh;
    } else {
      fresh->Release();
    }
  }
  return TqdRef<IqdLifetimeMonitorRef>(static_cast<TqdLifetimeMonitor*>(monitor));
}

TqdRef<IqdLifetimeMonitorRef> TqdLifetimeTrackedPersistent::GetLifetimeMonitor() {
  return qdGetLifetimeMonitorOf(ltpLifetimeMonitor);
}

const TqdClassInfo TqdBaseRegisterableEngine::ClassInfo{u"TqdBaseRegisterableEngine", &TqdPersistent::ClassInfo,
                                                        nullptr};

void TqdBaseRegisterableEngine::RegisterEngine(const TqdClassInfo& aClass, qdStringView aName) {
  qdRegisterClassIn(aClass.FamilyList(), aName.empty() ? aClass.ClassName : aName, aClass);
}

void TqdBaseRegisterableEngine::UnregisterEngine(const TqdClassInfo& aClass) {
  qdUnregisterClassFrom(aClass.FamilyList(), aClass);
}

const TqdClassInfo* TqdBaseRegisterableEngine::FindEngineClass(const TqdClassInfo& aFamily, qdStringView aName) {
  return qdFindClassIn(aFamily.FamilyList(), aName);
}

namespace {

void copyRegistry(const TqdClassRegistry* aList, TqdRegisteredClasses& aTarget, bool aIncludeAliases) {
  aTarget.clear();
  if (aList == nullptr) return;
  for (const TqdRegisteredClass& entry : aList->Entries())
    if (aIncludeAliases || qdSameClassName(entry.Name, entry.Class->ClassName)) aTarget.push_back(entry);
}

}  // namespace

void TqdBaseRegisterableEngine::GetRegisteredEngines(const TqdClassInfo& aFamily, TqdRegisteredClasses& aList,
                                                     bool aIncludeAliases) {
  copyRegistry(aFamily.FamilyList(), aList, aIncludeAliases);
}

const TqdClassInfo TqdBaseRegisterableDescriptor::ClassInfo{u"TqdBaseRegisterableDescriptor",
                                                            &TqdLifetimeTrackedPersistent::ClassInfo, nullptr};

void TqdBaseRegisterableDescriptor::RegisterDescriptor(const TqdClassInfo& aClass, qdStringView aName) {
  qdRegisterClassIn(aClass.FamilyList(), aName.empty() ? aClass.ClassName : aName, aClass);
}

void TqdBaseRegisterableDescriptor::UnregisterDescriptor(const TqdClassInfo& aClass) {
  qdUnregisterClassFrom(aClass.FamilyList(), aClass);
}

const TqdClassInfo* TqdBaseRegisterableDescriptor::FindDescriptorClass(const TqdClassInfo& aFamily,
                                                                       qdStringView aName) {
  return qdFindClassIn(aFamily.FamilyList(), aName);
}

void TqdBaseRegisterableDescriptor::GetRegisteredDescriptors(const TqdClassInfo& aFamily, TqdRegisteredClasses& aList,
                                                             bool aIncludeAliases) {
  copyRegistry(aFamily.FamilyList(), aList, aIncludeAliases);
}

// --- Configuration -------------------------------------------------------------

qdString TqdBaseSetting::_Label() const {
  if (!fLabel.empty()) return fLabel;
  qdString label;
  for (size_t i = 0; i < fName.size(); ++i) {
    const char16_t c = fName[i];
    if (i > 0 && c >= u'A' && c <= u'Z') label += u' ';
    label += c;
  }
  return label;
}

void TqdBaseComponentConfiguration::SetValueStream(const qdString& /*aName*/, TStream* /*aStream*/) {}

void TqdBaseComponentConfiguration::GetValueStream(const qdString& /*aName*/, TStream* /*aStream*/) {}

void TqdBaseComponentConfiguration::SetValue(const qdString& /*aName*/, const TqdVariant& /*aValue*/) {}

TqdVariant TqdBaseComponentConfiguration::GetValue(const qdString& /*aName*/, const TqdVariant& aDefault) {
  return aDefault;
}

// --- Session notifications -----------------------------------------------------

bool qdIsZeroGuid(const TGUID& aGuid) { return aGuid == TGUID{}; }

TGUID qdNewNotifierCookie() {
  TGUID cookie;
  do {
    uint8_t bytes[16];
    qdGetRandomBytes(bytes, sizeof bytes);
    cookie.D1 = qdGetU32(bytes);
    cookie.D2 = qdGetU16(bytes + 4);
    cookie.D3 = qdGetU16(bytes + 6);
    std::memcpy(cookie.D4.data(), bytes + 8, 8);
  } while (qdIsZeroGuid(cookie));
  return cookie;
}

size_t TqdSessionNotifications::CookieHash::operator()(const TGUID& aCookie) const noexcept {
  uint64_t tail = 0;
  std::memcpy(&tail, aCookie.D4.data(), 8);
  const uint64_t head = (uint64_t{aCookie.D1} << 32) | (uint32_t{aCookie.D2} << 16) | aCookie.D3;
  return static_cast<size_t>(head ^ (tail * 0x9E3779B97F4A7C15ull));
}

TqdSessionNotifications::~TqdSessionNotifications() { Disconnected(); }

TGUID TqdSessionNotifications::RegisterNotifier(IqdSessionNotifier* aNotifier) {
  if (aNotifier == nullptr) return TGUID{};
  auto* item = new TqdSessionNotifierItem;
  item->sniTickCount = tickCount();
  if (item->sniTickCount == 0) item->sniTickCount = 1;
  item->sniParent = this;
  item->sniNotifier = TqdRef<IqdSessionNotifier>(aNotifier);
  TqdPadlockGuard guard(snPadlock);
  do {
    item->sniCookie = qdNewNotifierCookie();
  } while (snItems.count(item->sniCookie) != 0);
  snItems.emplace(item->sniCookie, item);
  item->sniPrev = snTail;
  if (snTail != nullptr) {
    snTail->sniNext = item;
  } else {
    snHead = item;
  }
  snTail = item;
  return item->sniCookie;
}

void TqdSessionNotifications::Unlink(TqdSessionNotifierItem* aItem) {
  if (aItem->sniPrev != nullptr) {
    aItem->sniPrev->sniNext = aItem->sniNext;
  } else {
    snHead = aItem->sniNext;
  }
  if (aItem->sniNext != nullptr) {
    aItem->sniNext->sniPrev = aItem->sniPrev;
  } else {
    snTail = aItem->sniPrev;
  }
  aItem->sniNext = nullptr;
  aItem->sniPrev = nullptr;
  snItems.erase(aItem->sniCookie);
}

void TqdSessionNotifications::UnregisterNotifier(const TGUID& aCookie) {
  if (qdIsZeroGuid(aCookie)) return;
  TqdSessionNotifierItem* item = nullptr;
  {
    TqdPadlockGuard guard(snPadlock);
    const auto found = snItems.find(aCookie);
    // An item that Disconnected has taken is no longer in the map.
    if (found == snItems.end()) return;
    item = found->second;
    item->sniTickCount = 0;
    Unlink(item);
  }
  // The notifier's reference goes outside the lock; its release may run the
  // notifier's destructor.
  try {
    item->sniNotifier = nullptr;
  } catch (...) {
  }
  delete item;
}

void TqdSessionNotifications::Disconnected() {
  for (;;) {
    TqdSessionNotifierItem* item = nullptr;
    {
      TqdPadlockGuard guard(snPadlock);
      item = snHead;
      if (item == nullptr) return;
      item->sniTickCount = 0;
      Unlink(item);
    }
    try {
      item->sniNotifier->SessionDisconnected();
    } catch (...) {
      // Every notifier is told, whatever one of them raises.
    }
    try {
      item->sniNotifier = nullptr;
    } catch (...) {
    }
    delete item;
  }
}

int32_t TqdSessionNotifications::Count() {
  TqdPadlockGuard guard(snPadlock);
  return static_cast<int32_t>(snItems.size());
}

}  // namespace qd
