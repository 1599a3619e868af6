#include "foundation/qdllComponent.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "foundation/qdllStreams.h"
#include "foundation/qdllUtils.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

// --- Component IDs ---------------------------------------------------------------

// The live components whose ID was handed out. An ID is never reused, so a
// stale one finds nothing.
std::mutex componentIDLock;
std::unordered_map<uint64_t, TqdComponent*> componentIDs;
uint64_t lastComponentID = 0;

void forgetComponentID(uint64_t aID) {
  if (aID == 0) return;
  std::lock_guard guard(componentIDLock);
  componentIDs.erase(aID);
}

// --- Calls in flight ---------------------------------------------------------------

// Every dependent that a notification run is calling, with the calling
// thread. A run announces its call while it still holds the list in which it
// found the dependent, so a dependent unlinked from that list later is either
// announced already or never called from it. A component being freed waits,
// once its free notification has unlinked it, until the calls of other
// threads into it are done; the calls of its own thread are the frames it is
// freed from, which go on without touching it.
struct TqdCallInFlight {
  TqdComponent* Callee;
  std::thread::id Thread;
};

std::mutex callsLock;
std::condition_variable callsDone;
std::vector<TqdCallInFlight> callsInFlight;
int32_t callWaiters = 0;

// One announced call; a run makes one per dependent it calls. Begin is
// called with the dependent list held; the end comes after the call,
// however it ends, and never touches the dependent.
class TqdCallScope {
 public:
  TqdCallScope() = default;
  TqdCallScope(const TqdCallScope&) = delete;
  TqdCallScope& operator=(const TqdCallScope&) = delete;
  ~TqdCallScope() { End(); }

  void Begin(TqdComponent* aCallee) {
    End();
    std::lock_guard guard(callsLock);
    callsInFlight.push_back({aCallee, std::this_thread::get_id()});
    fCallee = aCallee;
  }

  void End() {
    if (fCallee == nullptr) return;
    std::lock_guard guard(callsLock);
    // Calls of one thread nest: its newest entry for the callee is this one.
    const auto self = std::this_thread::get_id();
    for (auto at = callsInFlight.end(); at != callsInFlight.begin();) {
      --at;
      if (at->Callee == fCallee && at->Thread == self) {
        callsInFlight.erase(at);
        break;
      }
    }
    fCallee = nullptr;
    if (callWaiters > 0) callsDone.notify_all();
  }

 private:
  TqdComponent* fCallee = nullptr;
};

void waitForCallsFromOtherThreads(const TqdComponent* aCallee) {
  std::unique_lock guard(callsLock);
  const auto self = std::this_thread::get_id();
  const auto busy = [&] {
    return std::any_of(callsInFlight.begin(), callsInFlight.end(),
                       [&](const TqdCallInFlight& aCall) { return aCall.Callee == aCallee && aCall.Thread != self; });
  };
  if (!busy()) return;
  ++callWaiters;
  callsDone.wait(guard, [&] { return !busy(); });
  --callWaiters;
}

// Holds a dependent list for one look at it.
class TqdListReadScope {
 public:
  explicit TqdListReadScope(TqdListPadlock& aList) : fList(aList), fItems(aList.BeginRead()) {}
  TqdListReadScope(const TqdListReadScope&) = delete;
  TqdListReadScope& operator=(const TqdListReadScope&) = delete;
  ~TqdListReadScope() { fList.EndRead(); }

  TqdBaseList* Items() const { return fItems; }

 private:
  TqdListPadlock& fList;
  TqdBaseList* fItems;
};

// --- The component class registry -----------------------------------------------

TqdClassRegistry* componentClasses = nullptr;

qdString hexUpper(uint32_t aValue) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  qdString digits;
  do {
    digits.insert(digits.begin(), kHex[aValue & 0xF]);
    aValue >>= 4;
  } while (aValue != 0);
  return digits;
}

void writeConvertedException(TqdBaseLog* aLog, const qdString& aText, TqdResult aErrorCode, TqdLogPriority aPriority) {
  aLog->WriteString(aText, aErrorCode, aPriority, u"default", 0, qdLogNoTimeBias);
}

}  // namespace

// --- Iteration data --------------------------------------------------------------

bool TqdIterationData::Ignores(qdStringView aClassName) const {
  for (const qdString& name : IgnoreIterateClasses)
    if (qdSameClassName(name, aClassName)) return true;
  return false;
}

// --- Exceptions ------------------------------------------------------------------

qdString EqdComponentException::GetComponentText(const TqdComponent* aComponent) {
  if (aComponent == nullptr) return u"<nil pointer>";
  if (!aComponent->Name().empty()) return aComponent->Name();
  return u"<unnamed " + aComponent->ClassName() + u" instance>";
}

void EqdComponentException::ComposeMessage(const TqdComponent* aComponent, bool aWithCode) {
  qdString message = u"QendoDB: " + GetComponentText(aComponent) + u": " + ProcessedErrorString();
  if (aWithCode) {
    message += u" [$" + hexUpper(beErrorCode) + u"/" + AsciiToString(std::to_string(beErrorCode)) + u"]";
  } else {
    message += u" [no error code]";
  }
  SetMessage(std::move(message));
}

EqdComponentException::EqdComponentException(const TqdComponent* aComponent, int64_t aErrorCode)
    : EqdBaseException(TqdUninitialized{}) {
  const uint32_t code = static_cast<uint32_t>(aErrorCode);
  uint32_t pendingCode = 0;
  qdString pendingMessage;
  GetLastConvertedException(pendingCode, pendingMessage);
  beErrorCode = code;
  if (pendingCode == code && !pendingMessage.empty()) {
    beErrorString = ParseDetails(pendingMessage);
    beExtendedMsg = true;
  }
  ComposeMessage(aComponent, true);
}

EqdComponentException::EqdComponentException(const TqdComponent* aComponent, int64_t aErrorCode, qdStringView aAltMsg)
    : EqdBaseException(TqdUninitialized{}) {
  beErrorCode = static_cast<uint32_t>(aErrorCode);
  beErrorString = ParseDetails(aAltMsg);
  beExtendedMsg = true;
  ComposeMessage(aComponent, true);
}

EqdComponentException::EqdComponentException(const TqdComponent* aComponent, int64_t aErrorCode, qdStringView aAltMsg,
                                             TqdFormatArgs aArgs)
    : EqdComponentException(aComponent, aErrorCode, qdStringView(Format(aAltMsg, aArgs))) {}

EqdComponentException::EqdComponentException(const TqdComponent* aComponent, qdStringView aMsg)
    : EqdBaseException(TqdUninitialized{}) {
  beErrorString = ParseDetails(aMsg);
  beExtendedMsg = true;
  ComposeMessage(aComponent, false);
}

EqdComponentException::EqdComponentException(const TqdComponent* aComponent, qdStringView aMsg, TqdFormatArgs aArgs)
    : EqdComponentException(aComponent, qdStringView(Format(aMsg, aArgs))) {}

TqdComponentExceptionClass TqdComponentClass::ResolveExceptionClass() const {
  for (const TqdClassInfo* c = this; c != nullptr; c = c->Parent) {
    // Every class in a component hierarchy is a component class.
    const auto* componentClass = static_cast<const TqdComponentClass*>(c);
    if (componentClass->ExceptionClass != nullptr) return componentClass->ExceptionClass;
  }
  return qdRaiseComponentExceptionOf<EqdComponentException>;
}

// --- Component -------------------------------------------------------------------

const TqdComponentClass TqdComponent::ClassInfo{{u"TqdComponent", nullptr, nullptr},
                                                TqdComponent::CreateInstance<TqdComponent>,
                                                qdRaiseComponentExceptionOf<EqdComponentException>};

TqdComponent::TqdComponent(TqdComponent* aOwner) : qdcDependentList(new TqdListPadlock(new TqdSortedList)) {
  if (aOwner != nullptr) {
    fOwner = aOwner;
    aOwner->fComponents.push_back(this);
  }
}

TqdComponent::~TqdComponent() {
  // Owned components go after this component's free notification, newest
  // first; each leaves this list as it is freed.
  while (!fComponents.empty()) {
    TqdComponent* owned = fComponents.back();
    qdFreeAndNil(owned);
  }
  if (fOwner != nullptr) {
    auto& siblings = fOwner->fComponents;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    fOwner = nullptr;
  }
  forgetComponentID(qdcComponentID.load());
  delete qdcDependentList;
  if (IqdLifetimeMonitorObject* monitor = qdcLifetimeMonitor.exchange(nullptr)) {
    monitor->Dead();
    monitor->Release();
  }
  if (TqdComponentInfo* info = qdcComponentInfo.exchange(nullptr)) {
    info->Disconnect();
    info->Release();
  }
}

void TqdComponent::BeforeDestruction() {
  if (qdcBeforeDestructionDone) return;
  {
    // From here on the component's ID finds nothing.
    std::lock_guard guard(componentIDLock);
    qdcBeforeDestructionDone = true;
    componentIDs.erase(qdcComponentID.load());
  }
  SetDestroying();
  NotifyDependents(qdnoFree, nullptr, nullptr);
  // Unlinked now: no run starts a call into this component any more, and
  // the ones begun before must end before its parts are torn down.
  waitForCallsFromOtherThreads(this);
  if (IqdLifetimeMonitorObject* monitor = qdcLifetimeMonitor.load(std::memory_order_acquire)) monitor->Dead();
  if (TqdComponentInfo* info = qdcComponentInfo.load(std::memory_order_acquire)) info->Disconnect();
}

void TqdComponent::AddDependent(TqdComponent* aComponent) {
  if (aComponent == nullptr || aComponent == this) return;
  qdcDependentList->Add(aComponent);
}

void TqdComponent::RemoveDependent(TqdComponent* aComponent) {
  if (aComponent == nullptr || aComponent == this) return;
  qdcDependentList->Remove(aComponent);
}

void TqdComponent::AddDependency(TqdComponent* aComponent) {
  if (aComponent == nullptr || Destroying() || aComponent->Destroying()) return;
  AddDependent(aComponent);
  aComponent->AddDependent(this);
}

void TqdComponent::RemoveDependency(TqdComponent* aComponent) {
  if (aComponent == nullptr) return;
  RemoveDependent(aComponent);
  aComponent->RemoveDependent(this);
}

std::vector<TqdComponent*> TqdComponent::Dependents() const {
  std::vector<TqdComponent*> result;
  TqdListReadScope read(*qdcDependentList);
  TqdBaseList* list = read.Items();
  for (int32_t i = 0; i < list->Count(); ++i) result.push_back(static_cast<TqdComponent*>(list->Items(i)));
  return result;
}

void TqdComponent::NotifyDependents(TqdNotifyOp aOperation, void* aData, TqdComponent* aExclude) {
  {
    TqdListReadScope read(*qdcDependentList);
    // A component sends its free notification once.
    if (qdcDestroying.load(std::memory_order_relaxed) && aOperation == qdnoFree) return;
    qdcDestroying.store(aOperation == qdnoFree, std::memory_order_relaxed);
  }
  // The list is held only to pick the next dependent, never during a call:
  // the dependent's reaction may take the locks of other components' lists
  // (and theirs this one), so holding it would order the lists against each
  // other one way on the way up and the other way on the way down.
  std::vector<TqdComponent*> notified;  // sorted by address
  int32_t next = -1;
  uint32_t generation = 0;
  bool started = false;
  while (true) {
    TqdCallScope call;
    TqdComponent* dependent = nullptr;
    {
      TqdListReadScope read(*qdcDependentList);
      TqdBaseList* list = read.Items();
      // The list changed since the last look (a dependent linked or
      // unlinked someone): start again from the end; nobody hears it twice.
      if (!started || list->Generation() != generation) {
        started = true;
        generation = list->Generation();
        next = list->Count() - 1;
      }
      for (; next >= 0 && dependent == nullptr; --next) {
        auto* candidate = static_cast<TqdComponent*>(list->Items(next));
        if (candidate == aExclude) continue;
        const auto at = std::lower_bound(notified.begin(), notified.end(), candidate);
        if (at != notified.end() && *at == candidate) continue;
        notified.insert(at, candidate);
        dependent = candidate;
      }
      if (dependent == nullptr) return;
      call.Begin(dependent);
    }
    dependent->HandleNotification(this, aOperation, aData);
  }
}

void TqdComponent::HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) {
  switch (aOperation) {
    case qdnoFree:
      RemoveDependency(aSender);
      break;
    case qdnoIterate:
    case qdnoBroadcast: {
      if (aData == nullptr) break;
      auto* data = static_cast<TqdIterationData*>(aData);
      if (data->IteratonList->Contains(this) || data->Ignores(ClassName())) break;
      if (data->IteratonList->Add(this) >= 0) NotifyDependents(aOperation, aData, nullptr);
      if (aOperation == qdnoBroadcast) {
        auto* broadcast = static_cast<TqdBroadcastData*>(aData);
        HandleNotification(broadcast->bdSender, broadcast->bdNotifyOp, broadcast->bdParam);
      }
      break;
    }
    default:
      break;
  }
}

std::unique_ptr<TqdIterationList> TqdComponent::IterateDependents(TqdIterationListFactory aIterationListClass) {
  return IterateDependentsEx({}, aIterationListClass);
}

std::unique_ptr<TqdIterationList> TqdComponent::IterateDependentsEx(const std::vector<qdString>& aIgnoreClasses,
                                                                    TqdIterationListFactory aIterationListClass) {
  std::unique_ptr<TqdIterationList> list(aIterationListClass != nullptr ? aIterationListClass()
                                                                        : TqdIterationList::CreateDefault());
  TqdIterationData data;
  data.IteratonList = list.get();
  data.IgnoreIterateClasses = aIgnoreClasses;
  HandleNotification(nullptr, qdnoIterate, &data);
  return list;
}

void TqdComponent::Broadcast(TqdNotifyOp aOperation, void* aParam, const std::vector<qdString>& aIgnoreClasses) {
  std::unique_ptr<TqdIterationList> list(TqdIterationList::CreateDefault());
  TqdBroadcastData data;
  data.IteratonList = list.get();
  data.IgnoreIterateClasses = aIgnoreClasses;
  data.bdSender = this;
  data.bdNotifyOp = aOperation;
  data.bdParam = aParam;
  HandleNotification(nullptr, qdnoBroadcast, &data);
}

void TqdComponent::RaiseError(const TqdComponentError& aError) const {
  ExceptionClass()(this, aError);
  // An exception class that did not raise: fall back to the base class.
  qdRaiseComponentExceptionOf<EqdComponentException>(this, aError);
  qdAssertFailed("qdllComponent", "component exception raised");
}

void TqdComponent::CheckComponentError(TqdResult aErrorCode) const {
  if (aErrorCode != 0) RaiseComponentError(aErrorCode);
}

void TqdComponent::RaiseComponentError(TqdResult aErrorCode) const {
  RaiseError(TqdComponentError{true, aErrorCode, false, {}});
}

void TqdComponent::RaiseComponentError(qdStringView aMsg) const {
  RaiseError(TqdComponentError{false, 0, true, qdString(aMsg)});
}

void TqdComponent::RaiseComponentError(qdStringView aMsg, TqdFormatArgs aArgs) const {
  RaiseError(TqdComponentError{false, 0, true, Format(aMsg, aArgs)});
}

void TqdComponent::RaiseComponentError(TqdResult aErrorCode, qdStringView aMsg) const {
  RaiseError(TqdComponentError{true, aErrorCode, true, qdString(aMsg)});
}

void TqdComponent::RaiseComponentError(TqdResult aErrorCode, qdStringView aMsg, TqdFormatArgs aArgs) const {
  RaiseError(TqdComponentError{true, aErrorCode, true, Format(aMsg, aArgs)});
}

qdString TqdComponent::GetDisplayName() const {
  if (!qdcDisplayName.empty()) return qdcDisplayName;
  if (!Name().empty()) return Name();
  return ClassName();
}

bool TqdComponent::IsDisplayNameStored() const {
  return !qdcDisplayName.empty() && !qdSameClassName(qdcDisplayName, Name()) &&
         !qdSameClassName(qdcDisplayName, ClassName());
}

qdString TqdComponent::Version() { return u"4.7501 QendoDB engine for Linux x86-64"; }

void TqdComponent::DescribeTo(IqdExceptionDataContainer* aContainer) {
  aContainer->AddInt64(u"SelfPtr", static_cast<int64_t>(GetComponentID()));
  aContainer->AddString(u"ClassName", ClassName());
  if (IsDisplayNameStored()) aContainer->AddString(u"DisplayName", qdcDisplayName);
  if (!qdcDisplayCategory.empty()) aContainer->AddString(u"DisplayCategory", qdcDisplayCategory);
  std::vector<qdString> captions;
  std::vector<qdString> values;
  GetStatsCaptions(captions);
  GetStatsValues(values);
  TqdRef<IqdExceptionDataContainer> stats = aContainer->AddContainer(u"Stats");
  const size_t count = std::min(captions.size(), values.size());
  for (size_t i = 0; i < count; ++i) stats->AddString(captions[i], values[i]);
}

void TqdComponent::GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t /*aFlag*/) {
  DescribeTo(aContainer);
}

TqdRef<TqdComponentInfo> TqdComponent::CreateComponentInfo() { return qdMakeRef<TqdComponentInfo>(this); }

TqdRef<IqdComponentInfo31000> TqdComponent::ComponentInfo() {
  TqdComponentInfo* info = qdcComponentInfo.load(std::memory_order_acquire);
  if (info == nullptr) {
    // The field holds the component's own reference.
    TqdComponentInfo* fresh = CreateComponentInfo().Detach();
    if (qdcComponentInfo.compare_exchange_strong(info, fresh, std::memory_order_acq_rel)) {
      info = fresh;
    } else {
      fresh->Release();
    }
  }
  return TqdRef<IqdComponentInfo31000>(info);
}

int32_t TqdComponent::qdcCreateInstance(TqdObject* /*aSession*/, const TGUID& aClassID, IqdInterface* aOuter,
                                        const TGUID& aInterfaceID, TqdRef<IqdInterface>& aInterface) {
  aInterface = nullptr;
  if (!(aClassID == qdComponentInfoClassID) || aOuter != nullptr) return E_NOTIMPL;
  TqdRef<IqdComponentInfo31000> info = ComponentInfo();
  IqdInterface* answer = nullptr;
  if (aInterfaceID == IID_IqdComponentInfo31000) {
    answer = info.Get();
  } else if (aInterfaceID == IID_IqdComponentInfoDisconnect) {
    answer = dynamic_cast<IqdComponentInfoDisconnect*>(info.Get());
  } else if (aInterfaceID == IID_IqdLoggableComponentInfo31000) {
    answer = dynamic_cast<IqdLoggableComponentInfo31000*>(info.Get());
  } else if (aInterfaceID == IID_IqdStateComponentInfo31000) {
    answer = dynamic_cast<IqdStateComponentInfo31000*>(info.Get());
  }
  if (answer == nullptr) return E_NOINTERFACE;
  aInterface = TqdRef<IqdInterface>(answer);
  return S_OK;
}

TqdRef<IqdLifetimeMonitorRef> TqdComponent::GetLifetimeMonitor() { return qdGetLifetimeMonitorOf(qdcLifetimeMonitor); }

uint64_t TqdComponent::GetComponentID() {
  uint64_t id = qdcComponentID.load(std::memory_order_acquire);
  if (id != 0) return id;
  std::lock_guard guard(componentIDLock);
  id = qdcComponentID.load(std::memory_order_relaxed);
  if (id != 0) return id;
  id = ++lastComponentID;
  // A component being torn down hands out an ID that finds nothing.
  if (!qdcBeforeDestructionDone) componentIDs.emplace(id, this);
  qdcComponentID.store(id, std::memory_order_release);
  return id;
}

TqdComponent* TqdComponent::LookupByComponentID(uint64_t aID) {
  std::lock_guard guard(componentIDLock);
  const auto found = componentIDs.find(aID);
  if (found == componentIDs.end()) throw Exception(qdString(u"Invalid ComponentID"));
  return found->second;
}

const TqdComponentClass* TqdComponent::FindClassRecursive(qdStringView aSuffix) const {
  for (const TqdClassInfo* c = &ClassType(); c != nullptr; c = c->Parent) {
    qdString name(c->ClassName);
    name += aSuffix;
    if (const TqdComponentClass* found = TqdRegisterableComponent::FindRegisteredClass(name)) return found;
  }
  return nullptr;
}

bool TqdComponent::UIStatsVisible() const {
  std::vector<qdString> captions;
  GetStatsCaptions(captions);
  return !captions.empty();
}

void TqdComponent::GetStatsCaptions(std::vector<qdString>& /*aList*/) const {}

void TqdComponent::GetStatsValues(std::vector<qdString>& /*aList*/) const {}

qdString TqdComponent::GetDisplayOnlyValue(const qdString& /*aValueName*/) const { return u"(not implemented)"; }

void TqdComponent::GetConfigSettings(TqdBaseSettings* /*aSettings*/) {}

void TqdComponent::LoadConfig(TqdBaseComponentConfiguration* /*aConfig*/) {}

void TqdComponent::SaveConfig(TqdBaseComponentConfiguration* /*aConfig*/) {}

void TqdComponent::DoLoadConfig(TqdBaseComponentConfiguration* aConfig) {
  LoadConfig(aConfig);
  if (qdcOnSettingsLoaded) qdcOnSettingsLoaded(this);
}

void TqdComponent::SaveSettingsToStream(TqdWriter& aWriter) {
  if (Name().empty()) qdAssertFailed("qdllComponent", "a component whose settings are saved has a name");
  aWriter.WriteInteger(1);
  aWriter.WriteString(Name());
}

void TqdComponent::LoadSettingsFromStream(TqdReader& aReader) {
  if (Name().empty()) qdAssertFailed("qdllComponent", "a component whose settings are loaded has a name");
  if (aReader.ReadInteger() != 1) throw EqdComponentException(this, qdeIncompatibleStream);
  // Settings are matched to components by name without regard to case, so
  // the name stored with them is checked the same way.
  if (!qdSameClassName(aReader.ReadString(), Name()))
    qdAssertFailed("qdllComponent", "settings are loaded into the component they were saved for");
}

// --- Information objects -----------------------------------------------------------

qdString TqdComponentInfo::GetClassName() {
  TqdPadlockGuard guard(ciLock);
  return ciComponent != nullptr ? ciComponent->ClassName() : qdString();
}

qdString TqdComponentInfo::GetName() {
  TqdPadlockGuard guard(ciLock);
  return ciComponent != nullptr ? ciComponent->Name() : qdString();
}

qdString TqdComponentInfo::GetDisplayName() {
  TqdPadlockGuard guard(ciLock);
  return ciComponent != nullptr ? ciComponent->GetDisplayName() : qdString();
}

qdString TqdComponentInfo::GetDisplayCategory() {
  TqdPadlockGuard guard(ciLock);
  return ciComponent != nullptr ? ciComponent->DisplayCategory() : qdString();
}

std::vector<qdString> TqdComponentInfo::GetStatsCaptions() {
  std::vector<qdString> captions;
  TqdPadlockGuard guard(ciLock);
  if (ciComponent != nullptr) ciComponent->GetStatsCaptions(captions);
  return captions;
}

std::vector<qdString> TqdComponentInfo::GetStatsValues() {
  std::vector<qdString> values;
  TqdPadlockGuard guard(ciLock);
  if (ciComponent != nullptr) ciComponent->GetStatsValues(values);
  return values;
}

void TqdComponentInfo::Disconnect() {
  TqdPadlockGuard guard(ciLock);
  ciComponent = nullptr;
}

bool TqdLoggableComponentInfo::GetLogEnabled() {
  TqdPadlockGuard guard(ciLock);
  auto* loggable = dynamic_cast<TqdLoggableComponent*>(ciComponent);
  return loggable != nullptr && loggable->GetEventLogEnabled();
}

TqdRef<IqdComponentInfo31000> TqdLoggableComponentInfo::GetEventLogInfo() {
  TqdPadlockGuard guard(ciLock);
  auto* loggable = dynamic_cast<TqdLoggableComponent*>(ciComponent);
  if (loggable == nullptr || loggable->EventLog() == nullptr) return nullptr;
  return loggable->EventLog()->ComponentInfo();
}

TqdRef<TqdComponentInfo> TqdLoggableComponent::CreateComponentInfo() {
  return qdMakeRef<TqdLoggableComponentInfo>(this);
}

// --- Iteration list --------------------------------------------------------------

int32_t TqdIterationList::Add(void* aItem) {
  if (!Accept(static_cast<TqdComponent*>(aItem))) return -1;
  return TqdSortedList::Add(aItem);
}

int8_t TqdIterationList::slCompare(void* aItem1, void* aItem2) {
  auto* c1 = static_cast<TqdComponent*>(aItem1);
  auto* c2 = static_cast<TqdComponent*>(aItem2);
  const int32_t byName = qdCompareStringWIgnoreCase(c1->GetDisplayName(), c2->GetDisplayName());
  if (byName != 0) return byName < 0 ? -1 : 1;
  return TqdSortedList::slCompare(aItem1, aItem2);
}

namespace {

// Lines as the platform's string list takes them from a text: CR LF, CR or
// LF end a line; a final line break adds no empty line.
std::vector<qdString> splitLines(const qdString& aText) {
  std::vector<qdString> lines;
  size_t start = 0;
  for (size_t i = 0; i < aText.size(); ++i) {
    if (aText[i] != u'\r' && aText[i] != u'\n') continue;
    lines.emplace_back(aText, start, i - start);
    if (aText[i] == u'\r' && i + 1 < aText.size() && aText[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  if (start < aText.size()) lines.emplace_back(aText, start, aText.size() - start);
  return lines;
}

// Reads aLength raw bytes in bounded pieces, so that a damaged length meets
// the end of the stream before it can make a huge allocation.
qdAnsiString readBlock(TqdReader& aReader, int32_t aLength) {
  constexpr int32_t kPiece = 65536;
  qdAnsiString block;
  int32_t done = 0;
  while (done < aLength) {
    const int32_t piece = std::min(kPiece, aLength - done);
    block.resize(static_cast<size_t>(done + piece));
    aReader.Read(block.data() + done, piece);
    done += piece;
  }
  return block;
}

}  // namespace

void TqdIterationList::SaveSettingsToStream(TqdWriter& aWriter) {
  aWriter.WriteInteger(2);
  aWriter.WriteListBegin();
  for (int32_t i = 0; i < Count(); ++i) {
    TqdComponent* component = Components(i);
    if (component->Name().empty()) continue;
    TqdAnsiStringStream block(qdAnsiString{});
    {
      TqdWriter blockWriter(&block, 4096);
      component->SaveSettingsToStream(blockWriter);
    }
    const qdAnsiString& bytes = block.DataString();
    aWriter.WriteString(component->Name());
    aWriter.WriteInteger(static_cast<int32_t>(bytes.size()));
    aWriter.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  aWriter.WriteListEnd();
}

void TqdIterationList::LoadSetttingsFromStream(TqdReader& aReader) {
  const int32_t version = aReader.ReadInteger();
  if (version == 2) {
    aReader.ReadListBegin();
    while (!aReader.EndOfList()) {
      const qdString name = aReader.ReadString();
      const int32_t length = aReader.ReadInteger();
      if (length < 0) throw EqdComponentException(nullptr, qdeIncompatibleStream);
      const qdAnsiString bytes = readBlock(aReader, length);
      TqdComponent* target = nullptr;
      for (int32_t i = 0; i < Count() && target == nullptr; ++i) {
        TqdComponent* component = Components(i);
        if (!component->Name().empty() && qdSameClassName(component->Name(), name)) target = component;
      }
      // Settings of a component the program no longer has are skipped.
      if (target == nullptr) continue;
      TqdAnsiStringStream block(bytes);
      TqdReader blockReader(&block, 4096);
      target->LoadSettingsFromStream(blockReader);
    }
    aReader.ReadListEnd();
    return;
  }
  if (version == 1) {
    const std::vector<qdString> names = splitLines(aReader.ReadString());
    for (const qdString& name : names) {
      TqdComponent* target = nullptr;
      for (int32_t i = 0; i < Count() && target == nullptr; ++i)
        if (!Components(i)->Name().empty() && Components(i)->Name() == name) target = Components(i);
      if (target == nullptr) throw EqdComponentException(nullptr, qdeIncompatibleStream);
      target->LoadSettingsFromStream(aReader);
    }
    return;
  }
  throw EqdComponentException(nullptr, qdeIncompatibleStream);
}

// --- Registerable component and the class registry -------------------------------

const TqdComponentClass TqdRegisterableComponent::ClassInfo{
    {u"TqdRegisterableComponent", &TqdComponent::ClassInfo, nullptr},
    TqdComponent::CreateInstance<TqdRegisterableComponent>,
    qdRaiseComponentExceptionOf<EqdRegisterableComponentException>};

void TqdRegisterableComponent::RegisterClass(const TqdComponentClass& aClass) {
  if (qdFindClassIn(componentClasses, aClass.ClassName) != nullptr) {
    aClass.ResolveExceptionClass()(
        nullptr, TqdComponentError{false, 0, true,
                                   Format(u"The class \"%s\" is already registered", {qdString(aClass.ClassName)})});
  }
  qdRegisterClassIn(componentClasses, aClass.ClassName, aClass);
}

void TqdRegisterableComponent::UnregisterClass(const TqdComponentClass& aClass) {
  qdUnregisterClassFrom(componentClasses, aClass);
}

const TqdComponentClass* TqdRegisterableComponent::FindRegisteredClass(qdStringView aClassName) {
  // Only component classes are registered here.
  return static_cast<const TqdComponentClass*>(qdFindClassIn(componentClasses, aClassName));
}

void TqdRegisterableComponent::GetRegisteredClasses(const TqdComponentClass& aBase, TqdRegisteredClasses& aList) {
  aList.clear();
  if (componentClasses == nullptr) return;
  for (const TqdRegisteredClass& entry : componentClasses->Entries())
    if (entry.Class->InheritsFrom(aBase)) aList.push_back(entry);
}

// --- Logging ---------------------------------------------------------------------

const TqdComponentClass TqdBaseLog::ClassInfo{{u"TqdBaseLog", &TqdRegisterableComponent::ClassInfo, nullptr},
                                              nullptr,
                                              qdRaiseComponentExceptionOf<EqdBaseLogException>};

bool TqdBaseLog::Enabled() {
  DependentList().BeginWrite();
  const bool enabled = blEnabled;
  DependentList().EndWrite();
  return enabled;
}

void TqdBaseLog::SetEnabled(bool aValue) {
  DependentList().BeginWrite();
  blEnabled = aValue;
  DependentList().EndWrite();
}

void TqdBaseLog::WriteString(const qdString& aMsg, TqdFormatArgs aArgs, uint32_t aMsgNumber, TqdLogPriority aPriority,
                             const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias) {
  WriteString(Format(aMsg, aArgs), aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

const TqdComponentClass TqdLoggableComponent::ClassInfo{
    {u"TqdLoggableComponent", &TqdRegisterableComponent::ClassInfo, nullptr},
    TqdComponent::CreateInstance<TqdLoggableComponent>,
    qdRaiseComponentExceptionOf<EqdLoggableComponentException>};

void TqdLoggableComponent::SetEventLog(TqdBaseLog* aLog) {
  if (aLog == lcEventLog) return;
  if (lcEventLog != nullptr) RemoveDependency(lcEventLog);
  lcEventLog = aLog;
  if (aLog != nullptr) AddDependency(aLog);
}

void TqdLoggableComponent::HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) {
  TqdRegisterableComponent::HandleNotification(aSender, aOperation, aData);
  if (aOperation == qdnoFree && aSender != nullptr && aSender == lcEventLog) lcEventLog = nullptr;
}

void TqdLoggableComponent::lcLog(const qdString& aMsg, uint32_t aMsgNumber, TqdLogPriority aPriority,
                                 const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias) {
  if (lcLogEnabled && lcEventLog != nullptr)
    lcEventLog->WriteString(aMsg, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TqdLoggableComponent::lcLog(const qdString& aMsg, TqdFormatArgs aArgs, uint32_t aMsgNumber,
                                 TqdLogPriority aPriority, const qdString& aCategory, TDateTime aWhen,
                                 int32_t aWhenBias) {
  if (lcLogEnabled && lcEventLog != nullptr)
    lcEventLog->WriteString(aMsg, aArgs, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TqdLoggableComponent::lcLog(const qdString& aMsg, const void* aData, int32_t aDataLen, uint32_t aMsgNumber,
                                 TqdLogPriority aPriority, const qdString& aCategory, TDateTime aWhen,
                                 int32_t aWhenBias) {
  if (lcLogEnabled && lcEventLog != nullptr)
    lcEventLog->WriteBlock(aMsg, aData, aDataLen, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

void TqdLoggableComponent::lcLogs(const std::vector<qdString>& aMsgs, uint32_t aMsgNumber, TqdLogPriority aPriority,
                                  const qdString& aCategory, TDateTime aWhen, int32_t aWhenBias) {
  if (lcLogEnabled && lcEventLog != nullptr)
    lcEventLog->WriteStrings(aMsgs, aMsgNumber, aPriority, aCategory, aWhen, aWhenBias);
}

// --- Utilities -------------------------------------------------------------------

qdString qdFormatThousands(int64_t aValue) { return Format(u"%.0n", {static_cast<double>(aValue)}); }

void qdllComponentInitialize() { qdSetConvertedExceptionLogWriter(writeConvertedException); }

void qdllComponentFinalize() {
  qdSetConvertedExceptionLogWriter(nullptr);
  qdFreeAndNil(componentClasses);
}

}  // namespace qd
