#include "client/qdsdServerEngine.h"

#include <chrono>
#include <mutex>
#include <typeinfo>

#include "client/qdsdServerEngine_Private.h"
#include "foundation/qdllExceptionData.h"
#include "foundation/qdllUtils.h"

namespace qd {

// --- Hooks and the thread's deadline ----------------------------------------------

namespace {

void emptySetThreadTimeout(uint32_t, bool) {}
void emptyTimeoutNesting() {}
std::atomic<bool>* noCancelFlag() { return nullptr; }

thread_local uint64_t threadDeadline = 0;
uint64_t bracketDeadline() { return threadDeadline; }
thread_local int32_t threadOperationDepth = 0;

uint64_t steadyMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// --- Handle table ---------------------------------------------------------------

struct HandleSlot {
  TqdAbstractServerObject* object = nullptr;
  uint32_t generation = 1;
};

std::mutex handleLock;
std::vector<HandleSlot>* handleSlots = nullptr;
std::vector<uint32_t>* freeSlots = nullptr;

TqdBaseID registerHandle(TqdAbstractServerObject* aObject) {
  std::lock_guard guard(handleLock);
  if (handleSlots == nullptr) {
    handleSlots = new std::vector<HandleSlot>;
    freeSlots = new std::vector<uint32_t>;
  }
  uint32_t index;
  if (!freeSlots->empty()) {
    index = freeSlots->back();
    freeSlots->pop_back();
  } else {
    index = static_cast<uint32_t>(handleSlots->size());
    handleSlots->push_back({});
  }
  HandleSlot& slot = (*handleSlots)[index];
  slot.object = aObject;
  return (static_cast<uint64_t>(slot.generation) << 32) | (index + 1u);
}

void releaseHandle(TqdBaseID aID) {
  std::lock_guard guard(handleLock);
  const uint32_t index = static_cast<uint32_t>(aID & 0xFFFFFFFFu) - 1u;
  if (handleSlots == nullptr || index >= handleSlots->size()) return;
  HandleSlot& slot = (*handleSlots)[index];
  slot.object = nullptr;
  // A new generation makes every id of the freed object unknown for good.
  if (++slot.generation == 0) slot.generation = 1;
  freeSlots->push_back(index);
}

const qdString kSelfContext = u"<Self>";

bool sameContext(qdStringView aLeft, qdStringView aRight) { return qdSameClassName(aLeft, aRight); }

}  // namespace

TqdSetThreadTimeoutProc qdSetThreadTimeoutHook = emptySetThreadTimeout;
TqdTimeoutNestingProc qdEnterTimeoutNestingHook = emptyTimeoutNesting;
TqdTimeoutNestingProc qdLeaveTimeoutNestingHook = emptyTimeoutNesting;
TqdThreadCancelFlagFunc qdThreadCancelFlagHook = noCancelFlag;
TqdThreadDeadlineFunc qdThreadDeadlineHook = bracketDeadline;
std::atomic<bool> qdFatalErrorFlag{false};

void qdResetOperationHooks() {
  qdSetThreadTimeoutHook = emptySetThreadTimeout;
  qdEnterTimeoutNestingHook = emptyTimeoutNesting;
  qdLeaveTimeoutNestingHook = emptyTimeoutNesting;
  qdThreadCancelFlagHook = noCancelFlag;
  qdThreadDeadlineHook = bracketDeadline;
}

uint64_t qdThreadOperationDeadline() { return qdThreadDeadlineHook(); }

namespace qdsdServerEngineDetail {

bool EnterOperation(uint32_t aTimeout) {
  qdSetThreadTimeoutHook(aTimeout, false);
  if (threadOperationDepth++ > 0) return false;
  threadDeadline = (aTimeout == 0 || aTimeout == 0xFFFFFFFFu) ? 0 : steadyMs() + aTimeout;
  return true;
}

void LeaveOperation(bool aOutermost) {
  if (threadOperationDepth > 0) --threadOperationDepth;
  if (!aOutermost) return;
  threadDeadline = 0;
  // The deadline belongs to the operation: work the thread does after it
  // (outside any operation) runs without one.
  qdSetThreadTimeoutHook(0, true);
}

}  // namespace qdsdServerEngineDetail

// --- TqdAbstractServerObject ----------------------------------------------------

const TqdClassInfo TqdAbstractServerObject::ClassInfo{u"TqdAbstractServerObject",
                                                      &TqdLifetimeTrackedPersistent::ClassInfo};
const TqdClassInfo TqdExtendableServerObject::ClassInfo{u"TqdExtendableServerObject",
                                                        &TqdAbstractServerObject::ClassInfo};
const TqdClassInfo TqdLockedOptionsExtendableServerObject::ClassInfo{u"TqdLockedOptionsExtendableServerObject",
                                                                     &TqdExtendableServerObject::ClassInfo};
const TqdClassInfo TqdAbstractTaskInfo::ClassInfo{u"TqdAbstractTaskInfo", &TqdExtendableServerObject::ClassInfo};
const TqdClassInfo TqdSqlAbstractTaskInfo::ClassInfo{u"TqdSqlAbstractTaskInfo", &TqdAbstractTaskInfo::ClassInfo};
const TqdClassInfo TqdAbstractTimeoutObject::ClassInfo{u"TqdAbstractTimeoutObject",
                                                       &TqdExtendableServerObject::ClassInfo};
const TqdClassInfo TqdBaseEngineExtender::ClassInfo{u"TqdBaseEngineExtender", &TqdLifetimeTrackedPersistent::ClassInfo};

TqdAbstractServerObject::TqdAbstractServerObject(TqdAbstractSession* aSession) : asoSession(aSession) {
  asoID = registerHandle(this);
}

TqdAbstractServerObject::~TqdAbstractServerObject() {
  MarkDestroying();
  releaseHandle(asoID);
  asoSession = nullptr;
}

void TqdAbstractServerObject::MarkDestroying() {
  asoDestroying.store(true, std::memory_order_release);
  if (asoDestroyFlag != nullptr) asoDestroyFlag->store(true, std::memory_order_release);
}

int32_t TqdAbstractServerObject::GetMinVersion() const {
  if (asoSession != nullptr) return asoSession->MinVersion();
  return static_cast<int32_t>(qdThreadClientVersion());
}

HRESULT TqdAbstractServerObject::asoCreateSelfInstance(const TGUID& aClassID, const TGUID& aInterfaceID,
                                                       TqdRef<IqdInterface>& aInterface) {
  aInterface = nullptr;
  // The contract's objects implement no requestable interface themselves;
  // descendants that do answer the self class identifier here.
  (void)aClassID;
  (void)aInterfaceID;
  return E_NOINTERFACE;
}

TqdResult TqdAbstractServerObject::asoConvertException(const std::exception_ptr& aException) {
  TqdBaseServerEngine* engine = asoGetServerEngine();
  if (engine != nullptr) return engine->bseConvertException(aException, this);
  return qdConvertException(aException, nullptr, this, GetMinVersion());
}

TqdResult TqdAbstractServerObject::LookupObject(TqdSessionID aSessionID, TqdBaseID aBaseID,
                                                TqdAbstractServerObject*& aObject) {
  aObject = nullptr;
  TqdAbstractServerObject* object = nullptr;
  {
    std::lock_guard guard(handleLock);
    const uint32_t index = static_cast<uint32_t>(aBaseID & 0xFFFFFFFFu) - 1u;
    const uint32_t generation = static_cast<uint32_t>(aBaseID >> 32);
    if (handleSlots == nullptr || index >= handleSlots->size()) return qdeInvalidHandle;
    const HandleSlot& slot = (*handleSlots)[index];
    if (slot.object == nullptr || slot.generation != generation) return qdeInvalidHandle;
    object = slot.object;
  }
  if (object->Destroying()) return qdeInvalidHandle;
  const TqdSessionID session = object->asoSession != nullptr ? object->asoSession->RemoteID() : 0;
  if (session != aSessionID) return qdeInvalidHandle;
  aObject = object;
  return 0;
}

TqdResult TqdAbstractServerObject::Close(TqdAbstractServerObject* aObject) {
  if (aObject == nullptr) return 0;
  if (aObject->Destroying()) return qdeReentered;
  return aObject->DoClose();
}

TqdResult TqdAbstractServerObject::DoClose() {
  TqdBaseServerEngine* engine = asoGetServerEngine();
  try {
    Free(this);
    return 0;
  } catch (...) {
    if (engine != nullptr) return engine->bseConvertException(std::current_exception(), nullptr);
    return qdConvertException(std::current_exception());
  }
}

void TqdAbstractServerObject::Free(TqdAbstractServerObject* aObject) {
  if (aObject == nullptr || aObject->Destroying()) return;
  qdFreeAndNil(aObject);
}

void TqdAbstractServerObject::BeforeDestruction() {
  if (asoBeforeDestructionDone) return;
  asoBeforeDestructionDone = true;
  MarkDestroying();
  TqdLifetimeTrackedPersistent::BeforeDestruction();
  PrepareDestroy();
}

HRESULT TqdAbstractServerObject::CreateInstanceFor(const qdString& aName, const TGUID& aClassID,
                                                   const TGUID& aInterfaceID, TqdRef<IqdInterface>& aInterface) {
  aInterface = nullptr;
  const auto [head, rest] = qdsdServerEngine_Private::SplitContextPath(aName);
  if (sameContext(head, kSelfContext)) {
    if (sameContext(rest, kSelfContext)) return asoCreateSelfInstance(aClassID, aInterfaceID, aInterface);
    return CreateInstanceFor(rest, aClassID, aInterfaceID, aInterface);
  }
  if (sameContext(head, u"<Session>")) {
    TqdAbstractServerObject* session = asoSession;
    if (session == nullptr && dynamic_cast<TqdAbstractSession*>(this) != nullptr) session = this;
    if (session == nullptr) return E_NOINTERFACE;
    return session->CreateInstanceFor(rest, aClassID, aInterfaceID, aInterface);
  }
  TqdBaseServerEngine* engine = asoGetServerEngine();
  if (engine == nullptr) return E_NOINTERFACE;
  TqdAbstractSession* session = asoSession;
  if (session == nullptr) session = dynamic_cast<TqdAbstractSession*>(this);
  return engine->bseCreateInstanceFor(session, aName, aClassID, aInterfaceID, aInterface);
}

void TqdAbstractServerObject::DescribeTo(IqdExceptionDataContainer* aContainer, bool /*aIncludeChildren*/) {
  TqdLifetimeTrackedPersistent::DescribeTo(aContainer);
  aContainer->AddBoolean(u"Destroying", Destroying());
}

void TqdAbstractServerObject::GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t aFlag) {
  DescribeTo(aContainer, aFlag != 0);
}

qdString TqdAbstractServerObject::GetEncodedExceptionData(bool aIncludeChildren) {
  TqdObject* excluded[1] = {asoGetServerEngine()};
  std::span<TqdObject* const> exclude(excluded, excluded[0] != nullptr ? 1 : 0);
  TqdRef<IqdExceptionDataContainer> container = qdCreateExceptionDataContainer(u"ExceptionData", this, exclude);
  DescribeTo(container.Get(), aIncludeChildren);
  return container->ToEncodedString(qdThreadClientVersionClamped());
}

void TqdAbstractServerObject::AfterConstruction() {
  TqdLifetimeTrackedPersistent::AfterConstruction();
  asoConstructed.store(true, std::memory_order_release);
}

void qdsdServerEngineDetail::AddListMember(IqdExceptionDataContainer* aList, int32_t& aIndex,
                                           TqdAbstractServerObject* aMember) {
  if (!aMember->Constructed() || aMember->Destroying()) return;
  aList->AddObject(u"[" + IntToStr(aIndex) + u"]", aMember, qdDescribeWithChildren);
  ++aIndex;
}

void qdsdServerEngineDetail::WaitForListReaders(TqdPadlock& aListPadlock) { TqdPadlockGuard guard(aListPadlock); }

// --- TqdExtendableServerObject ----------------------------------------------------

namespace {

TqdAbstractSession* sessionOf(TqdExtendableServerObject* aParent) {
  if (aParent == nullptr) return nullptr;
  if (auto* session = dynamic_cast<TqdAbstractSession*>(aParent)) return session;
  return aParent->Session();
}

}  // namespace

TqdExtendableServerObject::TqdExtendableServerObject(TqdExtendableServerObject* aParent)
    : TqdAbstractServerObject(sessionOf(aParent)), esoParent(aParent) {}

TqdExtendableServerObject::~TqdExtendableServerObject() {
  if (TqdPadlock* lock = esoExtendersLock.load(std::memory_order_acquire)) {
    {
      TqdPadlockGuard guard(*lock);
      while (esoExtendersHead != nullptr) {
        TqdBaseEngineExtender* extender = esoExtendersHead;
        qdFreeAndNil(extender);
      }
    }
    delete esoExtendersLock.exchange(nullptr);
  }
  // The engine was taken while the whole object still existed: a session's
  // own link to it is gone by now.
  if (esoServerEngine != nullptr) esoServerEngine->bseObjectDestroyed(this);
}

void TqdExtendableServerObject::AfterConstruction() {
  TqdAbstractServerObject::AfterConstruction();
  esoServerEngine = asoGetServerEngine();
  if (esoIsMonitored()) {
    if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->bseObjectCreated(this);
  }
  TqdResult result = 0;
  if (esoParent != nullptr) result = esoParent->NotifyExtenders(eaChildCreate, false, {static_cast<const void*>(this)});
  if (result == 0) result = NotifyExtenders(eaCreate, false, {});
  if (result != 0) {
    if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->bseRaise(result);
    throw EqdBaseException(static_cast<int64_t>(result));
  }
}

void TqdExtendableServerObject::BeforeDestruction() {
  if (Destroying()) {
    TqdAbstractServerObject::BeforeDestruction();
    return;
  }
  MarkDestroying();
  esoServerEngine = asoGetServerEngine();
  (void)NotifyExtenders(eaDestroy, true, {});  // a destruction cannot be vetoed
  if (esoParent != nullptr) (void)esoParent->NotifyExtenders(eaChildDestroy, true, {static_cast<const void*>(this)});
  TqdAbstractServerObject::BeforeDestruction();
}

void TqdExtendableServerObject::PrepareDestroy() {
  TqdAbstractServerObject::PrepareDestroy();
  ForEachExtender([&](TqdBaseEngineExtender* aExtender) {
    try {
      aExtender->PrepareDestroy();
    } catch (...) {
      (void)asoConvertException(std::current_exception());  // logged; the walk goes on
    }
    return true;
  });
}

TqdBaseServerEngine* TqdExtendableServerObject::asoGetServerEngine() const {
  return esoParent != nullptr ? esoParent->asoGetServerEngine() : nullptr;
}

void TqdExtendableServerObject::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdAbstractServerObject::DescribeTo(aContainer, aIncludeChildren);
  if (esoOptions) aContainer->AddObject(u"Options", *esoOptions);
}

HRESULT TqdExtendableServerObject::CreateInstanceFor(const qdString& aName, const TGUID& aClassID,
                                                     const TGUID& aInterfaceID, TqdRef<IqdInterface>& aInterface) {
  if (sameContext(aName, u"<Extenders>")) {
    aInterface = nullptr;
    return esoCreateExtenderInstance(aClassID, aInterfaceID, aInterface);
  }
  return TqdAbstractServerObject::CreateInstanceFor(aName, aClassID, aInterfaceID, aInterface);
}

bool TqdExtendableServerObject::IgnoreSecurity() const {
  for (const TqdExtendableServerObject* object = this; object != nullptr; object = object->esoParent) {
    if (object->esoIgnoreSecurity.load() >= 1) return true;
  }
  return false;
}

TqdResult TqdExtendableServerObject::esoOptionSet(const qdString& aName, const qdString& aValue) {
  if (!esoOptions) esoOptions = std::make_unique<TqdStringList>();
  esoOptions->SetValues(aName, aValue);
  if (esoOptions->Count() == 0) esoOptions.reset();
  esoOptionChanged(aName, aValue);
  return 0;
}

TqdResult TqdExtendableServerObject::esoOptionClear(const qdString& aName) {
  if (!esoOptions) return qdeObjNotFound;
  const int32_t index = esoOptions->IndexOfName(aName);
  if (index < 0) return qdeObjNotFound;
  esoOptions->Delete(index);
  if (esoOptions->Count() == 0) esoOptions.reset();
  esoOptionChanged(aName, qdString());
  return 0;
}

TqdResult TqdExtendableServerObject::esoOptionGet(const qdString& aName, qdString& aValue) {
  aValue.clear();
  if (!esoOptions) return qdeObjNotFound;
  const int32_t index = esoOptions->IndexOfName(aName);
  if (index < 0) return qdeObjNotFound;
  aValue = esoOptions->ValueFromIndex(index);
  return 0;
}

TqdResult TqdExtendableServerObject::esoOptionGetParent(const qdString& aName, qdString& aValue) {
  aValue.clear();
  TqdExtendableServerObject* parent = esoGetOptionsParent();
  if (parent == nullptr) return qdeObjNotFound;
  return parent->esoOptionGetEffective(aName, aValue);
}

TqdResult TqdExtendableServerObject::esoOptionGetEffective(const qdString& aName, qdString& aValue) {
  const TqdResult result = esoOptionGet(aName, aValue);
  if (result != qdeObjNotFound) return result;
  return esoOptionGetParent(aName, aValue);
}

TqdResult TqdExtendableServerObject::esoOptionList(TqdStringList& aList) {
  aList.Clear();
  if (esoOptions) aList.AddStrings(*esoOptions);
  return 0;
}

TqdResult TqdExtendableServerObject::esoOptionListParent(TqdStringList& aList) {
  TqdExtendableServerObject* parent = esoGetOptionsParent();
  if (parent == nullptr) {
    aList.Clear();
    return 0;
  }
  return parent->esoOptionList(aList);
}

TqdResult TqdExtendableServerObject::esoOptionListEffective(TqdStringList& aList) {
  aList.Clear();
  TqdResult result = esoOptionList(aList);
  TqdStringList parentList;
  const TqdResult parentResult = esoOptionListParent(parentList);
  if (result == 0) result = parentResult;
  const TqdResult mergeResult = esoOptionListMerge(aList, parentList);
  if (result == 0) result = mergeResult;
  return result;
}

TqdResult TqdExtendableServerObject::esoOptionListMerge(TqdStringList& aList, const TqdStringList& aParentList) {
  for (int32_t i = 0; i < aParentList.Count(); ++i) {
    const qdString name = aParentList.Names(i);
    if (aList.IndexOfName(name) < 0) aList.Add(name + u"=" + aParentList.ValueFromIndex(i));
  }
  return 0;
}

TqdResult TqdExtendableServerObject::OptionClear(const qdString& aName) { return esoOptionClear(aName); }
TqdResult TqdExtendableServerObject::OptionSet(const qdString& aName, const qdString& aValue) {
  return esoOptionSet(aName, aValue);
}
TqdResult TqdExtendableServerObject::OptionGet(const qdString& aName, qdString& aValue) {
  aValue.clear();
  return esoOptionGet(aName, aValue);
}
TqdResult TqdExtendableServerObject::OptionGetEffective(const qdString& aName, qdString& aValue) {
  aValue.clear();
  return esoOptionGetEffective(aName, aValue);
}
TqdResult TqdExtendableServerObject::OptionList(TqdStringList& aList) { return esoOptionList(aList); }
TqdResult TqdExtendableServerObject::OptionListEffective(TqdStringList& aList) { return esoOptionListEffective(aList); }

TqdPadlock* TqdExtendableServerObject::LockExtenders() QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdPadlock* lock = esoExtendersLock.load(std::memory_order_acquire);
  if (lock == nullptr) {
    auto* fresh = new TqdPadlock;
    if (!esoExtendersLock.compare_exchange_strong(lock, fresh)) {
      delete fresh;
    } else {
      lock = fresh;
    }
  }
  lock->Lock();
  return lock;
}

TqdResult TqdExtendableServerObject::NotifyExtenders(TqdEngineAction aAction, bool aBefore, TqdEngineArgs aArgs) {
  if (!ExtendersActions().Contains(aAction)) return 0;
  if (esoExtendersLock.load(std::memory_order_acquire) == nullptr) return 0;
  return qdContractCall(this, [&]() -> TqdResult {
    TqdResult result = 0;
    ForEachExtender([&](TqdBaseEngineExtender* aExtender) {
      if (!aExtender->beeActions.Contains(aAction)) return true;
      try {
        result = aExtender->Notify(aAction, aBefore, aArgs);
      } catch (...) {
        result = asoConvertException(std::current_exception());
      }
      return result == 0;
    });
    return result;
  });
}

TqdEngineNotify TqdExtendableServerObject::GetNotifyFor(TqdEngineAction aAction) {
  if (!ExtendersActions().Contains(aAction)) return {};
  TqdBaseEngineExtender* single = nullptr;
  int interested = 0;
  ForEachExtender([&](TqdBaseEngineExtender* aExtender) {
    if (aExtender->beeActions.Contains(aAction)) {
      single = aExtender;
      ++interested;
    }
    return interested < 2;
  });
  if (interested == 0) return {};
  if (interested == 1) {
    return [single](TqdEngineAction aAction2, bool aBefore, TqdEngineArgs aArgs) {
      return single->Notify(aAction2, aBefore, aArgs);
    };
  }
  return [this](TqdEngineAction aAction2, bool aBefore, TqdEngineArgs aArgs) {
    return NotifyExtenders(aAction2, aBefore, aArgs);
  };
}

HRESULT TqdExtendableServerObject::esoCreateExtenderInstance(const TGUID& aClassID, const TGUID& aInterfaceID,
                                                             TqdRef<IqdInterface>& aInterface) {
  HRESULT result = E_NOINTERFACE;
  ForEachExtender([&](TqdBaseEngineExtender* aExtender) {
    result = aExtender->beeCreateInstance(aClassID, aInterfaceID, aInterface);
    return result != S_OK;
  });
  return result;
}

// --- TqdLockedOptionsExtendableServerObject ----------------------------------------

TqdLockedOptionsExtendableServerObject::~TqdLockedOptionsExtendableServerObject() {
  delete loesoOptionsLock.exchange(nullptr);
}

TqdPadlock* TqdLockedOptionsExtendableServerObject::OptionsLock() {
  TqdPadlock* lock = loesoOptionsLock.load(std::memory_order_acquire);
  if (lock != nullptr) return lock;
  auto* fresh = new TqdPadlock;
  if (loesoOptionsLock.compare_exchange_strong(lock, fresh)) return fresh;
  delete fresh;
  return lock;
}

TqdResult TqdLockedOptionsExtendableServerObject::esoOptionClear(const qdString& aName) {
  TqdPadlockGuard guard(*OptionsLock());
  return TqdExtendableServerObject::esoOptionClear(aName);
}
TqdResult TqdLockedOptionsExtendableServerObject::esoOptionSet(const qdString& aName, const qdString& aValue) {
  TqdPadlockGuard guard(*OptionsLock());
  return TqdExtendableServerObject::esoOptionSet(aName, aValue);
}
TqdResult TqdLockedOptionsExtendableServerObject::esoOptionGet(const qdString& aName, qdString& aValue) {
  TqdPadlockGuard guard(*OptionsLock());
  return TqdExtendableServerObject::esoOptionGet(aName, aValue);
}
TqdResult TqdLockedOptionsExtendableServerObject::esoOptionList(TqdStringList& aList) {
  TqdPadlockGuard guard(*OptionsLock());
  return TqdExtendableServerObject::esoOptionList(aList);
}
void TqdLockedOptionsExtendableServerObject::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdPadlockGuard guard(*OptionsLock());
  TqdExtendableServerObject::DescribeTo(aContainer, aIncludeChildren);
}

// --- Task infos -----------------------------------------------------------------

TqdAbstractTaskInfo::TqdAbstractTaskInfo(TqdAbstractSession* aSession) : TqdExtendableServerObject(aSession) {
  if (aSession == nullptr) return;
  TqdPadlockGuard guard(aSession->asTaskInfosPadlock);
  atiSessionPrev = aSession->asTaskInfosTail;
  if (atiSessionPrev != nullptr) {
    atiSessionPrev->atiSessionNext = this;
  } else {
    aSession->asTaskInfosHead = this;
  }
  aSession->asTaskInfosTail = this;
}

TqdAbstractTaskInfo::~TqdAbstractTaskInfo() {
  TqdAbstractSession* session = dynamic_cast<TqdAbstractSession*>(esoParent);
  if (session == nullptr) return;
  TqdPadlockGuard guard(session->asTaskInfosPadlock);
  if (atiSessionPrev != nullptr) {
    atiSessionPrev->atiSessionNext = atiSessionNext;
  } else {
    session->asTaskInfosHead = atiSessionNext;
  }
  if (atiSessionNext != nullptr) {
    atiSessionNext->atiSessionPrev = atiSessionPrev;
  } else {
    session->asTaskInfosTail = atiSessionPrev;
  }
}

void TqdAbstractTaskInfo::PrepareDestroy() {
  try {
    (void)Cancel();  // a task that is being freed is cancelled whatever it answers
  } catch (...) {
    (void)asoConvertException(std::current_exception());
  }
  TqdExtendableServerObject::PrepareDestroy();
  // Runs inside BeforeDestruction, after the object was marked destroying.
  if (auto* session = dynamic_cast<TqdAbstractSession*>(esoParent))
    qdsdServerEngineDetail::WaitForListReaders(session->asTaskInfosPadlock);
}

void TqdAbstractTaskInfo::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdExtendableServerObject::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Session", asoSession);
}

HRESULT TqdAbstractTaskInfo::CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                                               TqdRef<IqdInterface>& aInterface) {
  const auto [head, rest] = qdsdServerEngine_Private::SplitContextPath(aName);
  if (sameContext(head, u"<TaskInfo>")) return CreateInstanceFor(rest, aClassID, aInterfaceID, aInterface);
  return TqdExtendableServerObject::CreateInstanceFor(aName, aClassID, aInterfaceID, aInterface);
}

// --- Extenders ------------------------------------------------------------------

TqdBaseEngineExtender::TqdBaseEngineExtender(TqdBaseEngineMonitor* aMonitor,
                                             TqdExtendableServerObject* aExtendableObject,
                                             TqdEngineActions aActions) QD_NO_THREAD_SAFETY_ANALYSIS
    : beeMonitor(aMonitor),
      beeExtendableObject(aExtendableObject),
      beeActions(aActions) {
  if (beeActions.Empty()) beeActions = TqdEngineActions::AllButFulltext();
  if (beeMonitor != nullptr) {
    TqdPadlockGuard guard(beeMonitor->bemExtendersLock);
    beeMonitorPrev = beeMonitor->bemExtendersTail;
    if (beeMonitorPrev != nullptr) {
      beeMonitorPrev->beeMonitorNext = this;
    } else {
      beeMonitor->bemExtendersHead = this;
    }
    beeMonitor->bemExtendersTail = this;
  }
  if (beeExtendableObject != nullptr) {
    TqdPadlock* lock = beeExtendableObject->LockExtenders();
    beeExtendableObjectPrev = beeExtendableObject->esoExtendersTail;
    if (beeExtendableObjectPrev != nullptr) {
      beeExtendableObjectPrev->beeExtendableObjectNext = this;
    } else {
      beeExtendableObject->esoExtendersHead = this;
    }
    beeExtendableObject->esoExtendersTail = this;
    beeExtendableObject->esoExtendersActions.fetch_or(beeActions.Bits());
    lock->Unlock();
  }
}

TqdBaseEngineExtender::~TqdBaseEngineExtender() {
  UnlinkFromObject();
  UnlinkFromMonitor();
}

void TqdBaseEngineExtender::UnlinkFromObject() QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdExtendableServerObject* object = beeExtendableObject;
  if (object == nullptr) return;
  TqdPadlock* lock = object->LockExtenders();
  if (beeExtendableObjectPrev != nullptr) {
    beeExtendableObjectPrev->beeExtendableObjectNext = beeExtendableObjectNext;
  } else {
    object->esoExtendersHead = beeExtendableObjectNext;
  }
  if (beeExtendableObjectNext != nullptr) {
    beeExtendableObjectNext->beeExtendableObjectPrev = beeExtendableObjectPrev;
  } else {
    object->esoExtendersTail = beeExtendableObjectPrev;
  }
  beeExtendableObject = nullptr;
  lock->Unlock();
}

void TqdBaseEngineExtender::UnlinkFromMonitor() QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdBaseEngineMonitor* monitor = beeMonitor;
  if (monitor == nullptr) return;
  TqdPadlockGuard guard(monitor->bemExtendersLock);
  if (beeMonitorPrev != nullptr) {
    beeMonitorPrev->beeMonitorNext = beeMonitorNext;
  } else {
    monitor->bemExtendersHead = beeMonitorNext;
  }
  if (beeMonitorNext != nullptr) {
    beeMonitorNext->beeMonitorPrev = beeMonitorPrev;
  } else {
    monitor->bemExtendersTail = beeMonitorPrev;
  }
  beeMonitor = nullptr;
}

HRESULT TqdBaseEngineExtender::beeCreateInstance(const TGUID&, const TGUID&, TqdRef<IqdInterface>& aInterface) {
  aInterface = nullptr;
  return E_NOINTERFACE;
}

void TqdBaseEngineExtender::DescribeTo(IqdExceptionDataContainer* aContainer) {
  TqdLifetimeTrackedPersistent::DescribeTo(aContainer);
  aContainer->AddObject(u"Monitor", beeMonitor);
  aContainer->AddObject(u"ExtendableObject", beeExtendableObject);
}

// --- Name rules -----------------------------------------------------------------

bool qdIsTempGlobalName(qdStringView aName) {
  const size_t n = aName.size();
  if (n > 2 && aName.front() == u'<' && aName.back() == u'>') return true;
  return n > 3 && aName[0] == u'#' && aName[1] == u'#' && aName[2] == u'#' && aName[3] != u'#';
}

bool qdIsTempDatabaseName(qdStringView aName) {
  return aName.size() > 2 && aName[0] == u'#' && aName[1] == u'#' && aName[2] != u'#';
}

bool qdIsLocalTempName(qdStringView aName) { return aName.size() >= 2 && aName[0] == u'#' && aName[1] != u'#'; }

TqdResult qdCheckTableName(qdStringView aName, bool aEmptyIsMissing, bool aAllowReserved) {
  TqdResult result;
  const size_t colon = aName.find(u':');
  if (colon != qdStringView::npos && colon + 1 < aName.size()) {
    result = EqdBaseException::qdSetMessage(
        qdeInvalidTableName, qdOriginalMessageMarker() + u" Child name separators \":\" are not allowed.");
  } else if (aName.size() > 2 && aName.front() == u'<' && aName.back() == u'>') {
    result = qdCheckIdentifier(aName.substr(1, aName.size() - 2), qdeInvalidTableName, false, aAllowReserved);
  } else {
    result = qdCheckIdentifier(aName, qdeInvalidTableName, false, aAllowReserved);
  }
  if (result != 0 && aName.empty() && aEmptyIsMissing) return qdeNoSuchTable;
  return result;
}

TqdResult qdCheckChildTablePath(qdStringView aPath) {
  qdStringView rest = aPath;
  while (true) {
    const size_t colon = rest.find(u':');
    const qdStringView part = rest.substr(0, colon);
    if (part != u"." && part != u"..") {
      const TqdResult result = qdCheckIdentifier(part, qdeInvalidTableName, false, true);
      if (result != 0) return result;
    }
    if (colon == qdStringView::npos) return 0;
    rest = rest.substr(colon + 1);
  }
}

TqdResult qdCheckTablePath(qdStringView aPath, bool aEmptyIsMissing, bool aAllowReserved) {
  const size_t colon = aPath.find(u':');
  const qdStringView root = aPath.substr(0, colon);
  TqdResult result = qdCheckTableName(root, false, aAllowReserved);
  if (result == 0 && colon != qdStringView::npos && colon + 1 < aPath.size()) {
    result = qdCheckChildTablePath(aPath.substr(colon + 1));
  }
  if (result != 0 && aPath.empty() && aEmptyIsMissing) return qdeNoSuchTable;
  return result;
}

TqdResult qdCheckAliasName(qdStringView aName, bool aEmptyIsMissing) {
  const TqdResult result = qdCheckIdentifier(aName, qdeInvalidAliasName, false, true);
  if (result != 0 && aName.empty() && aEmptyIsMissing) return qdeUnknownDb;
  return result;
}

TqdResult qdCheckRoutineName(qdStringView aName, bool aEmptyIsMissing) {
  const TqdResult result = qdCheckIdentifier(aName, qdeInvalidName, false, true);
  if (result != 0 && aName.empty() && aEmptyIsMissing) return qdeObjNotFound;
  return result;
}

}  // namespace qd
