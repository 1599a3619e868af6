// Timeout objects, sessions, transaction contexts, databases and statements.
#include "client/qdsdServerEngine.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "client/qdsdServerEngine_Private.h"
#include "foundation/qdllExceptionData.h"

namespace qd {

const TqdClassInfo TqdAbstractSession::ClassInfo{u"TqdAbstractSession", &TqdAbstractTimeoutObject::ClassInfo};
const TqdClassInfo TqdBaseTransContext::ClassInfo{u"TqdBaseTransContext", &TqdAbstractTimeoutObject::ClassInfo};
const TqdClassInfo TqdAbstractTransContext::ClassInfo{u"TqdAbstractTransContext", &TqdBaseTransContext::ClassInfo};
const TqdClassInfo TqdAbstractDatabase::ClassInfo{u"TqdAbstractDatabase", &TqdBaseTransContext::ClassInfo};
const TqdClassInfo TqdAbstractStatement::ClassInfo{u"TqdAbstractStatement", &TqdAbstractTimeoutObject::ClassInfo};

namespace {

// Appends / removes an object of a doubly linked list given its link fields.
template <class T, class PrevF, class NextF>
void linkTail(T* aItem, T*& aHead, T*& aTail, PrevF aPrev, NextF aNext) {
  aPrev(aItem) = aTail;
  aNext(aItem) = nullptr;
  if (aTail != nullptr) {
    aNext(aTail) = aItem;
  } else {
    aHead = aItem;
  }
  aTail = aItem;
}

template <class T, class PrevF, class NextF>
void unlink(T* aItem, T*& aHead, T*& aTail, PrevF aPrev, NextF aNext) {
  if (aPrev(aItem) != nullptr) {
    aNext(aPrev(aItem)) = aNext(aItem);
  } else {
    aHead = aNext(aItem);
  }
  if (aNext(aItem) != nullptr) {
    aPrev(aNext(aItem)) = aPrev(aItem);
  } else {
    aTail = aPrev(aItem);
  }
  aPrev(aItem) = nullptr;
  aNext(aItem) = nullptr;
}

}  // namespace

// --- TqdAbstractTimeoutObject ---------------------------------------------------

TqdAbstractTimeoutObject::TqdAbstractTimeoutObject(TqdExtendableServerObject* aParent, uint32_t aTimeout)
    : TqdExtendableServerObject(aParent), atoTimeout(aTimeout) {
  if (auto* timeoutParent = dynamic_cast<TqdAbstractTimeoutObject*>(aParent)) atoLock = timeoutParent->atoLock;
}

TqdAbstractTimeoutObject::~TqdAbstractTimeoutObject() {
  // A session leaves its own list in its destructor, while its padlock and
  // list still exist.
  if (asoSession != nullptr) LeaveTimeoutBatch(asoSession);
}

void TqdAbstractTimeoutObject::LeaveTimeoutBatch(TqdAbstractSession* aSession) {
  // Nothing in this system adds to the list; an object that was added
  // leaves it here. Membership is read under the padlock: another member
  // may be leaving at the same time.
  TqdPadlockGuard guard(aSession->asTimeoutBatchPadlock);
  if (atoTimeoutBatchPrev == nullptr && aSession->asTimeoutBatchHead != this) return;
  unlink(
      this, aSession->asTimeoutBatchHead, aSession->asTimeoutBatchTail,
      [](TqdAbstractTimeoutObject* o) -> TqdAbstractTimeoutObject*& { return o->atoTimeoutBatchPrev; },
      [](TqdAbstractTimeoutObject* o) -> TqdAbstractTimeoutObject*& { return o->atoTimeoutBatchNext; });
}

int32_t TqdAbstractTimeoutObject::atoSessionHook(int32_t aValue) {
  if (asoSession != nullptr) return asoSession->atoSessionHook(aValue);
  return 0;
}

int32_t TqdAbstractTimeoutObject::BeginTimeoutBatch() {
  if (asoSession != nullptr) return asoSession->BeginTimeoutBatch();
  return -1;
}

int32_t TqdAbstractTimeoutObject::EndTimeoutBatch() {
  if (asoSession != nullptr) return asoSession->EndTimeoutBatch();
  return -1;
}

uint64_t TqdAbstractTimeoutObject::LastLocked() { return atoLock ? atoLock->LastLocked() : 0; }

TqdResult TqdAbstractTimeoutObject::DoClose() {
  TqdRef<TqdSimpleLock> lock = atoLock;
  TqdResult result = 0;
  if (lock && lock->IsFailedPermanent()) lock = nullptr;
  if (lock) {
    try {
      lock->Lock();
    } catch (...) {
      return qdContractCall(this, []() -> TqdResult { throw; });
    }
  }
  TqdBaseServerEngine* engine = asoGetServerEngine();
  if (lock && dynamic_cast<TqdAbstractSession*>(this) != nullptr) {
    // Fail the session for good; the unlock then runs its cleanup, which
    // frees every child, before the session itself goes.
    lock->Failed(true, false);
    try {
      lock->Unlock(result);
    } catch (...) {
      result = qdContractCall(nullptr, []() -> TqdResult { throw; });
    }
    lock = nullptr;
    result = 0;
  }
  try {
    TqdAbstractServerObject* self = this;
    Free(self);
  } catch (...) {
    result = engine != nullptr ? engine->bseConvertException(std::current_exception(), nullptr)
                               : qdConvertException(std::current_exception());
  }
  if (lock) {
    try {
      lock->Unlock(result);
    } catch (...) {
      result = qdContractCall(nullptr, []() -> TqdResult { throw; });
    }
  }
  return result;
}

TqdResult TqdAbstractTimeoutObject::OptionClear(const qdString& aName) {
  return UnderLock([&] { return TqdExtendableServerObject::OptionClear(aName); });
}
TqdResult TqdAbstractTimeoutObject::OptionSet(const qdString& aName, const qdString& aValue) {
  return UnderLock([&] { return TqdExtendableServerObject::OptionSet(aName, aValue); });
}
TqdResult TqdAbstractTimeoutObject::OptionGet(const qdString& aName, qdString& aValue) {
  aValue.clear();
  return UnderLock([&] { return TqdExtendableServerObject::OptionGet(aName, aValue); });
}
TqdResult TqdAbstractTimeoutObject::OptionGetEffective(const qdString& aName, qdString& aValue) {
  aValue.clear();
  return UnderLock([&] { return TqdExtendableServerObject::OptionGetEffective(aName, aValue); });
}
TqdResult TqdAbstractTimeoutObject::OptionList(TqdStringList& aList) {
  return UnderLock([&] { return TqdExtendableServerObject::OptionList(aList); });
}
TqdResult TqdAbstractTimeoutObject::OptionListEffective(TqdStringList& aList) {
  return UnderLock([&] { return TqdExtendableServerObject::OptionListEffective(aList); });
}

void TqdAbstractTimeoutObject::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdExtendableServerObject::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddCardinal(u"Timeout", Timeout());
}

// --- TqdAbstractSession ---------------------------------------------------------

namespace {

// The session's lock must exist before the timeout-object constructor copies
// it to children; the session makes it in its own constructor body.
}  // namespace

TqdAbstractSession::TqdAbstractSession(TqdBaseServerEngine* aServerEngine, uint32_t aTimeout, const qdString& aUserName,
                                       const qdString& aPassword, const qdString& aConnectedFrom)
    : TqdAbstractTimeoutObject(nullptr, aTimeout),
      asServerEngine(aServerEngine),
      asConnectedSince(Now()),
      asUserName(aUserName),
      asPassword(aPassword),
      asConnectedFrom(aConnectedFrom) {
  TqdSessionStats* stats = nullptr;
  if (asServerEngine != nullptr && asServerEngine->bseSessionStatsEnabled()) stats = asCreateSessionStats();
  atoLock = qdMakeRef<TqdSimpleLock>([this] { asFailedCleanup(); }, stats);
  TqdExceptionHookInfo& info = atoLock->ExceptionHookInfo();
  info.ehiUserName = asUserName;
  info.ehiConnectedFrom = asConnectedFrom;
  info.ehiSessionID = static_cast<int64_t>(RemoteID());
  if (asServerEngine != nullptr) {
    TqdPadlockGuard guard(asServerEngine->bseSessionsPadlock);
    linkTail(
        this, asServerEngine->bseSessionsHead, asServerEngine->bseSessionsTail,
        [](TqdAbstractSession* s) -> TqdAbstractSession*& { return s->asServerEnginePrev; },
        [](TqdAbstractSession* s) -> TqdAbstractSession*& { return s->asServerEngineNext; });
    asInEngineList = true;
  }
}

TqdAbstractSession::~TqdAbstractSession() {
  if (TqdSessionNotifications* notifications = asSessionNotifications.load()) notifications->Disconnected();
  asRemoveFromServerEngine();
  // Every child is gone (the cleanup ran before the destructors); the lock
  // outlives the session through the references of any thread still
  // leaving it.
  if (atoLock) atoLock->ClearFailedCleanup();
  delete asSessionNotifications.exchange(nullptr);
  LeaveTimeoutBatch(this);
}

void TqdAbstractSession::AfterConstruction() {
  TqdAbstractTimeoutObject::AfterConstruction();
  if (asServerEngine != nullptr) asServerEngine->SessionCounter().fetch_add(1);
  asLockedIncDone = true;
}

void TqdAbstractSession::BeforeDestruction() {
  // Freeing the session from inside one of its own operations would wait for
  // that very operation to end; refuse before anything is marked.
  if (!Destroying() && atoLock && atoLock->LockingThread() == qdGetCurrentThreadID() && atoLock->LockCount() > 0) {
    throw EqdBaseException(static_cast<int64_t>(qdeReentered));
  }
  if (!Destroying() && asLockedIncDone && asServerEngine != nullptr) {
    asServerEngine->SessionCounter().fetch_sub(1);
    asLockedIncDone = false;
  }
  TqdAbstractTimeoutObject::BeforeDestruction();
  if (asServerEngine != nullptr && asInEngineList)
    qdsdServerEngineDetail::WaitForListReaders(asServerEngine->bseSessionsPadlock);
}

void TqdAbstractSession::PrepareDestroy() {
  TqdAbstractTimeoutObject::PrepareDestroy();
  asDoFailed(true, false);
  // The children and the padlocks must not be freed while another thread
  // still works inside the session: wait, without a time limit, until the
  // owning thread's outermost unlock has run the cleanup.
  if (atoLock) (void)atoLock->WaitFailedCleanupDone(kInfinite);
}

void TqdAbstractSession::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdAbstractTimeoutObject::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"ServerEngine", asServerEngine);
  aContainer->AddString(u"UserName", asUserName);
  aContainer->AddBoolean(u"Authenticated", asAuthenticated);
  aContainer->AddString(u"ConnectedFrom", asConnectedFrom);
  aContainer->AddBoolean(u"CleanedUp", CleanedUp());
  if (!aIncludeChildren) return;
  using qdsdServerEngineDetail::AddListMember;
  {
    TqdRef<IqdExceptionDataContainer> list = aContainer->AddContainer(u"Databases");
    int32_t index = 0;
    TqdPadlockGuard guard(asDatabasesPadlock);
    for (TqdAbstractDatabase* d = asDatabasesHead; d != nullptr; d = d->adSessionNext)
      AddListMember(list.Get(), index, d);
  }
  {
    TqdRef<IqdExceptionDataContainer> list = aContainer->AddContainer(u"TransContexts");
    int32_t index = 0;
    TqdPadlockGuard guard(asTransContextsPadlock);
    for (TqdAbstractTransContext* c = asTransContextsHead; c != nullptr; c = c->atcSessionNext)
      AddListMember(list.Get(), index, c);
  }
  TqdRef<IqdExceptionDataContainer> list = aContainer->AddContainer(u"TaskInfos");
  int32_t index = 0;
  TqdPadlockGuard guard(asTaskInfosPadlock);
  for (TqdAbstractTaskInfo* t = asTaskInfosHead; t != nullptr; t = t->atiSessionNext)
    AddListMember(list.Get(), index, t);
}

int32_t TqdAbstractSession::GetMinVersion() const { return std::min(GetClientVersion(), GetServerVersion()); }

TqdResult TqdAbstractSession::OptionSet(const qdString& aName, const qdString& aValue) {
  return UnderLock([&] {
    const TqdResult result = TqdExtendableServerObject::OptionSet(aName, aValue);
    qdString client;
    (void)esoOptionGet(u"_CurrentClientInfo", client);  // '' when absent, which is what the hook shows
    if (atoLock) atoLock->ExceptionHookInfo().ehiClient = client;
    return result;
  });
}

void TqdAbstractSession::asRemoveFromServerEngine() {
  if (asServerEngine == nullptr || !asInEngineList) return;
  TqdPadlockGuard guard(asServerEngine->bseSessionsPadlock);
  unlink(
      this, asServerEngine->bseSessionsHead, asServerEngine->bseSessionsTail,
      [](TqdAbstractSession* s) -> TqdAbstractSession*& { return s->asServerEnginePrev; },
      [](TqdAbstractSession* s) -> TqdAbstractSession*& { return s->asServerEngineNext; });
  asInEngineList = false;
  if (asServerEngine->bseSessionsHead == nullptr) asServerEngine->bseLastSessionClosed();
}

void TqdAbstractSession::asDoFailed(bool aPermanent, bool aWait) {
  if (atoLock) atoLock->Failed(aPermanent, aWait);
}

void TqdAbstractSession::asFailedCleanup() QD_NO_THREAD_SAFETY_ANALYSIS {
  for (int round = 0; round < 20; ++round) {
    {
      TqdPadlockGuard guard(asTaskInfosPadlock);
      if (asTaskInfosHead == nullptr) break;
    }
    if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
      TqdPadlockGuard guard(asTaskInfosPadlock);
      for (TqdAbstractTaskInfo* t = asTaskInfosHead; t != nullptr; t = t->atiSessionNext) t->PrepareDestroy();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    TqdPadlockGuard guard(asDatabasesPadlock);
    for (TqdAbstractDatabase* d = asDatabasesHead; d != nullptr; d = d->adSessionNext) d->PrepareDestroy();
  }
  {
    TqdPadlockGuard guard(asTransContextsPadlock);
    for (TqdAbstractTransContext* c = asTransContextsHead; c != nullptr; c = c->atcSessionNext) c->PrepareDestroy();
  }
  {
    TqdPadlockGuard guard(asTaskInfosPadlock);
    while (asTaskInfosTail != nullptr) {
      TqdAbstractServerObject* object = asTaskInfosTail;
      qdFreeAndNil(object);
    }
  }
  {
    TqdPadlockGuard guard(asDatabasesPadlock);
    while (asDatabasesTail != nullptr) {
      TqdAbstractServerObject* object = asDatabasesTail;
      qdFreeAndNil(object);
    }
  }
  {
    TqdPadlockGuard guard(asTransContextsPadlock);
    while (asTransContextsTail != nullptr) {
      TqdAbstractServerObject* object = asTransContextsTail;
      qdFreeAndNil(object);
    }
  }
  asCleanedUp.store(true, std::memory_order_release);
  if (atoLock) atoLock->SetFailedCleanupDone();
}

TqdSessionStats* TqdAbstractSession::asCreateSessionStats() { return new TqdSessionStats(asUserName, asConnectedFrom); }

TqdResult TqdAbstractSession::DatabaseCacheOpen(TqdAbstractDatabase*& aDatabase, const qdString&, const qdString&,
                                                TqdAbstractTransContext*, TqdOpenMode, TqdShareMode, uint32_t) {
  aDatabase = nullptr;
  return NotSupportedError(u"DatabaseCacheOpen");
}

TqdResult TqdAbstractSession::TableExists(const qdString& aAliasName, const qdString& aTableName,
                                          const qdString& aPassword, bool& aExists, bool aAllowSystem) {
  aExists = false;
  return qdOperationBracket(this, [&]() -> TqdResult {
    TqdAbstractDatabase* database = nullptr;
    TqdResult result = DatabaseOpen(database, u"Name", aAliasName, nullptr, omReadOnly, smShared, Timeout());
    if (result != 0) return result;
    // An implementation that reports success without an object.
    if (database == nullptr) return qdeObjNotFound;
    try {
      result =
          database->TableExists(aTableName, aPassword, aExists, aAllowSystem || database->GetExplicitAllowSystem());
    } catch (...) {
      TqdAbstractServerObject* temporary = database;
      qdFreeAndNil(temporary);
      throw;
    }
    TqdAbstractServerObject* temporary = database;
    qdFreeAndNil(temporary);
    return result;
  });
}

void TqdAbstractSession::GetUserInfo(TqdStringList& aStrings) {
  const qdString since = DateTimeToStr(asConnectedSince);
  aStrings.Add(qdEncodeCustomInfo(u"Session.ID", Format(u"%d", {RemoteID()})) + u"Connected since: " + since +
               qdEncodeCustomInfo(u"Session.ConnectedSince", since));
  if (!asUserName.empty()) {
    aStrings.Add(u"Username: " + asUserName + u" [" +
                 (asAuthenticated ? qdString(u"authenticated") : qdString(u"not authenticated")) + u"]" +
                 qdEncodeCustomInfo(u"Session.UserName", asUserName) +
                 qdEncodeCustomInfo(u"Session.Authenticated", asAuthenticated ? u"1" : u"0"));
  } else {
    aStrings.Add(u"anonymous User" + qdEncodeCustomInfo(u"Session.UserName", u""));
  }
  if (!asConnectedFrom.empty()) {
    aStrings.Add(u"Connected from: " + asConnectedFrom + qdEncodeCustomInfo(u"Session.ConnectedFrom", asConnectedFrom));
  }
}

void TqdAbstractSession::Failed(bool aPermanent) {
  if (Destroying()) return;
  asDoFailed(aPermanent, false);
}

IqdSessionNotifications* TqdAbstractSession::SessionNotifications() {
  TqdSessionNotifications* notifications = asSessionNotifications.load(std::memory_order_acquire);
  if (notifications != nullptr) return notifications;
  auto* fresh = new TqdSessionNotifications;
  if (asSessionNotifications.compare_exchange_strong(notifications, fresh)) return fresh;
  delete fresh;
  return notifications;
}

std::vector<TqdAbstractDatabase*> TqdAbstractSession::Databases() {
  std::vector<TqdAbstractDatabase*> result;
  TqdPadlockGuard guard(asDatabasesPadlock);
  for (TqdAbstractDatabase* d = asDatabasesHead; d != nullptr; d = d->adSessionNext) result.push_back(d);
  return result;
}

std::vector<TqdAbstractTransContext*> TqdAbstractSession::TransContexts() {
  std::vector<TqdAbstractTransContext*> result;
  TqdPadlockGuard guard(asTransContextsPadlock);
  for (TqdAbstractTransContext* c = asTransContextsHead; c != nullptr; c = c->atcSessionNext) result.push_back(c);
  return result;
}

std::vector<TqdAbstractTaskInfo*> TqdAbstractSession::TaskInfos() {
  std::vector<TqdAbstractTaskInfo*> result;
  TqdPadlockGuard guard(asTaskInfosPadlock);
  for (TqdAbstractTaskInfo* t = asTaskInfosHead; t != nullptr; t = t->atiSessionNext) result.push_back(t);
  return result;
}

// --- TqdAbstractTransContext ----------------------------------------------------

TqdAbstractTransContext::TqdAbstractTransContext(TqdAbstractSession* aSession, uint32_t aTimeout)
    : TqdBaseTransContext(aSession, aTimeout) {
  TqdPadlockGuard guard(aSession->asTransContextsPadlock);
  linkTail(
      this, aSession->asTransContextsHead, aSession->asTransContextsTail,
      [](TqdAbstractTransContext* c) -> TqdAbstractTransContext*& { return c->atcSessionPrev; },
      [](TqdAbstractTransContext* c) -> TqdAbstractTransContext*& { return c->atcSessionNext; });
}

TqdAbstractTransContext::~TqdAbstractTransContext() QD_NO_THREAD_SAFETY_ANALYSIS {
  atcForceRollback();
  TqdAbstractSession* session = asoSession;
  {
    TqdPadlockGuard guard(session->asTransContextsPadlock);
    unlink(
        this, session->asTransContextsHead, session->asTransContextsTail,
        [](TqdAbstractTransContext* c) -> TqdAbstractTransContext*& { return c->atcSessionPrev; },
        [](TqdAbstractTransContext* c) -> TqdAbstractTransContext*& { return c->atcSessionNext; });
  }
  TqdPadlockGuard guard(atcDatabasesPadlock);
  while (atcDatabasesHead != nullptr) {
    TqdAbstractDatabase* database = atcDatabasesHead;
    try {
      database->MoveToFreshContext();
    } catch (...) {
      // A database without a context must not stay usable: fail it.
      database->adTransContext = nullptr;
      if (database->adOwnedTransContext == this) database->adOwnedTransContext = nullptr;
      if (atcDatabasesHead == database) {
        unlink(
            database, atcDatabasesHead, atcDatabasesTail,
            [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adTransContextPrev; },
            [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adTransContextNext; });
      }
    }
  }
}

void TqdAbstractTransContext::AfterConstruction() {
  TqdBaseTransContext::AfterConstruction();
  if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->TransContextCounter().fetch_add(1);
  atcLockedIncDone = true;
}

void TqdAbstractTransContext::BeforeDestruction() {
  if (!Destroying() && atcLockedIncDone) {
    if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->TransContextCounter().fetch_sub(1);
    atcLockedIncDone = false;
  }
  TqdBaseTransContext::BeforeDestruction();
  if (TqdAbstractSession* session = asoSession)
    qdsdServerEngineDetail::WaitForListReaders(session->asTransContextsPadlock);
}

void TqdAbstractTransContext::PrepareDestroy() {
  TqdBaseTransContext::PrepareDestroy();
  Failed();
}

void TqdAbstractTransContext::Failed() {
  atcFailed = true;
  atcForceRollback();
}

TqdResult TqdAbstractTransContext::SetCacheTransContext(TqdBaseTransContext*) {
  return NotSupportedError(u"SetCacheTransContext");
}

void TqdAbstractTransContext::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdBaseTransContext::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Session", asoSession);
  qdString attached;
  {
    TqdPadlockGuard guard(atcDatabasesPadlock);
    if (atcDatabasesHead == nullptr) {
      attached = u"None";
    } else if (atcDatabasesHead == atcDatabasesTail) {
      attached = u"One";
    } else {
      attached = u"Multiple";
    }
  }
  aContainer->AddString(u"AttachedDatabases", attached);
  if (!aIncludeChildren) return;
  TqdRef<IqdExceptionDataContainer> list = aContainer->AddContainer(u"Databases");
  int32_t index = 0;
  TqdPadlockGuard guard(atcDatabasesPadlock);
  for (TqdAbstractDatabase* d = atcDatabasesHead; d != nullptr; d = d->adTransContextNext)
    qdsdServerEngineDetail::AddListMember(list.Get(), index, d);
}

HRESULT TqdAbstractTransContext::CreateInstanceFor(const qdString& aName, const TGUID& aClassID,
                                                   const TGUID& aInterfaceID, TqdRef<IqdInterface>& aInterface) {
  const qdsdServerEngine_Private::TqdContextPath path = qdsdServerEngine_Private::SplitContextPath(aName);
  if (qdSameClassName(path.Head, u"<TransContext>"))
    return CreateInstanceFor(path.Rest, aClassID, aInterfaceID, aInterface);
  return TqdBaseTransContext::CreateInstanceFor(aName, aClassID, aInterfaceID, aInterface);
}

std::vector<TqdAbstractDatabase*> TqdAbstractTransContext::Databases() {
  std::vector<TqdAbstractDatabase*> result;
  TqdPadlockGuard guard(atcDatabasesPadlock);
  for (TqdAbstractDatabase* d = atcDatabasesHead; d != nullptr; d = d->adTransContextNext) result.push_back(d);
  return result;
}

// --- TqdAbstractDatabase --------------------------------------------------------

TqdAbstractDatabase::TqdAbstractDatabase(TqdAbstractSession* aSession, TqdAbstractTransContext* aTransContext,
                                         uint32_t aTimeout)
    : TqdBaseTransContext(aSession, aTimeout) {
  {
    TqdPadlockGuard guard(aSession->asDatabasesPadlock);
    linkTail(
        this, aSession->asDatabasesHead, aSession->asDatabasesTail,
        [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adSessionPrev; },
        [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adSessionNext; });
    adInSessionList = true;
  }
  try {
    if (aTransContext == nullptr) {
      const TqdResult result = aSession->TransContextCreate(adOwnedTransContext, aTimeout);
      if (result != 0 || adOwnedTransContext == nullptr) {
        throw EqdBaseException(static_cast<int64_t>(result != 0 ? result : qdeObjNotFound));
      }
      aTransContext = adOwnedTransContext;
    }
    JoinContext(aTransContext);
  } catch (...) {
    // The destructor does not run for a constructor that throws.
    {
      TqdPadlockGuard guard(aSession->asDatabasesPadlock);
      unlink(
          this, aSession->asDatabasesHead, aSession->asDatabasesTail,
          [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adSessionPrev; },
          [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adSessionNext; });
    }
    if (adOwnedTransContext != nullptr) {
      TqdAbstractServerObject* owned = adOwnedTransContext;
      adOwnedTransContext = nullptr;
      qdFreeAndNil(owned);
    }
    throw;
  }
}

void TqdAbstractDatabase::JoinContext(TqdAbstractTransContext* aContext) {
  adTransContext = aContext;
  TqdPadlockGuard guard(aContext->atcDatabasesPadlock);
  linkTail(
      this, aContext->atcDatabasesHead, aContext->atcDatabasesTail,
      [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adTransContextPrev; },
      [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adTransContextNext; });
}

void TqdAbstractDatabase::MoveToFreshContext() QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdAbstractTransContext* old = adTransContext;
  TqdAbstractTransContext* fresh = nullptr;
  // Made before leaving the old context so that a failure is seen while the
  // database still has one.
  const TqdResult result = asoSession->TransContextCreate(fresh, Timeout());
  if (result != 0 || fresh == nullptr)
    throw EqdBaseException(static_cast<int64_t>(result != 0 ? result : qdeObjNotFound));
  if (old != nullptr) {
    TqdPadlockGuard guard(old->atcDatabasesPadlock);
    unlink(
        this, old->atcDatabasesHead, old->atcDatabasesTail,
        [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adTransContextPrev; },
        [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adTransContextNext; });
  }
  // A context the database owned is the one going away; the fresh one is
  // the database's to free.
  adOwnedTransContext = fresh;
  JoinContext(fresh);
}

TqdAbstractDatabase::~TqdAbstractDatabase() QD_NO_THREAD_SAFETY_ANALYSIS {
  if (TqdAbstractTransContext* context = adTransContext) {
    TqdPadlockGuard guard(context->atcDatabasesPadlock);
    unlink(
        this, context->atcDatabasesHead, context->atcDatabasesTail,
        [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adTransContextPrev; },
        [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adTransContextNext; });
    adTransContext = nullptr;
  }
  if (adInSessionList) {
    TqdAbstractSession* session = asoSession;
    TqdPadlockGuard guard(session->asDatabasesPadlock);
    unlink(
        this, session->asDatabasesHead, session->asDatabasesTail,
        [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adSessionPrev; },
        [](TqdAbstractDatabase* d) -> TqdAbstractDatabase*& { return d->adSessionNext; });
    adInSessionList = false;
  }
  {
    TqdPadlockGuard guard(adStatementsPadlock);
    while (adStatementsHead != nullptr) {
      TqdAbstractServerObject* statement = adStatementsHead;
      qdFreeAndNil(statement);
    }
  }
  {
    TqdPadlockGuard guard(adCursorsPadlock);
    while (adCursorsHead != nullptr) {
      TqdAbstractServerObject* cursor = adCursorsHead;
      qdFreeAndNil(cursor);
    }
  }
  if (adOwnedTransContext != nullptr) {
    TqdAbstractServerObject* owned = adOwnedTransContext;
    adOwnedTransContext = nullptr;
    qdFreeAndNil(owned);
  }
}

void TqdAbstractDatabase::AfterConstruction() {
  TqdBaseTransContext::AfterConstruction();
  if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->DatabaseCounter().fetch_add(1);
  adLockedIncDone = true;
}

void TqdAbstractDatabase::BeforeDestruction() {
  if (!Destroying() && adLockedIncDone) {
    if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->DatabaseCounter().fetch_sub(1);
    adLockedIncDone = false;
  }
  TqdBaseTransContext::BeforeDestruction();
  if (adInSessionList) qdsdServerEngineDetail::WaitForListReaders(asoSession->asDatabasesPadlock);
  if (TqdAbstractTransContext* context = adTransContext)
    qdsdServerEngineDetail::WaitForListReaders(context->atcDatabasesPadlock);
}

void TqdAbstractDatabase::PrepareDestroy() {
  TqdBaseTransContext::PrepareDestroy();
  if (adOwnedTransContext != nullptr) adOwnedTransContext->PrepareDestroy();
  {
    TqdPadlockGuard guard(adCursorsPadlock);
    for (TqdAbstractCursor* c = adCursorsHead; c != nullptr; c = c->DatabaseNext()) c->PrepareDestroy();
  }
  TqdPadlockGuard guard(adStatementsPadlock);
  for (TqdAbstractStatement* s = adStatementsHead; s != nullptr; s = s->asDatabaseNext) s->PrepareDestroy();
}

void TqdAbstractDatabase::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdBaseTransContext::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"TransContext", adTransContext);
  if (!aIncludeChildren) return;
  using qdsdServerEngineDetail::AddListMember;
  {
    TqdRef<IqdExceptionDataContainer> list = aContainer->AddContainer(u"Cursors");
    int32_t index = 0;
    TqdPadlockGuard guard(adCursorsPadlock);
    for (TqdAbstractCursor* c = adCursorsHead; c != nullptr; c = c->DatabaseNext()) AddListMember(list.Get(), index, c);
  }
  TqdRef<IqdExceptionDataContainer> list = aContainer->AddContainer(u"Statements");
  int32_t index = 0;
  TqdPadlockGuard guard(adStatementsPadlock);
  for (TqdAbstractStatement* s = adStatementsHead; s != nullptr; s = s->asDatabaseNext)
    AddListMember(list.Get(), index, s);
}

TqdExtendableServerObject* TqdAbstractDatabase::esoGetOptionsParent() { return adTransContext; }

HRESULT TqdAbstractDatabase::CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                                               TqdRef<IqdInterface>& aInterface) {
  const qdsdServerEngine_Private::TqdContextPath path = qdsdServerEngine_Private::SplitContextPath(aName);
  if (qdSameClassName(path.Head, u"<Database>"))
    return CreateInstanceFor(path.Rest, aClassID, aInterfaceID, aInterface);
  if (qdSameClassName(path.Head, u"<TransContext>")) {
    if (adTransContext == nullptr) return E_NOINTERFACE;
    return adTransContext->CreateInstanceFor(path.Rest, aClassID, aInterfaceID, aInterface);
  }
  return TqdBaseTransContext::CreateInstanceFor(aName, aClassID, aInterfaceID, aInterface);
}

void TqdAbstractDatabase::SetTimeout(uint32_t aValue) {
  TqdBaseTransContext::SetTimeout(aValue);
  if (adOwnedTransContext != nullptr) adOwnedTransContext->SetTimeout(aValue);
}

namespace {

// The transaction operations of a failed database (no context left).
TqdAbstractTransContext* contextOf(TqdAbstractTransContext* aContext) {
  if (aContext == nullptr) throw EqdBaseException(static_cast<int64_t>(qdeInvalidHandle));
  return aContext;
}

}  // namespace

TqdResult TqdAbstractDatabase::TransactionStart(bool aFailSafe, bool aSnapShot) {
  if (adTransContext == nullptr) return qdeInvalidHandle;
  return contextOf(adTransContext)->TransactionStart(aFailSafe, aSnapShot);
}
TqdResult TqdAbstractDatabase::TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                    const std::vector<TqdAbstractCursor*>& aCursors) {
  if (adTransContext == nullptr) return qdeInvalidHandle;
  return adTransContext->TransactionStartWith(aFailSafe, aSnapShot, aCursors);
}
TqdResult TqdAbstractDatabase::TransactionCommit() {
  if (adTransContext == nullptr) return qdeInvalidHandle;
  return adTransContext->TransactionCommit();
}
TqdResult TqdAbstractDatabase::TransactionRollback() {
  if (adTransContext == nullptr) return qdeInvalidHandle;
  return adTransContext->TransactionRollback();
}
TqdResult TqdAbstractDatabase::TransactionCorrupted() {
  if (adTransContext == nullptr) return qdeInvalidHandle;
  return adTransContext->TransactionCorrupted();
}
TqdResult TqdAbstractDatabase::TransactionGetLevel(int32_t& aTransLevel) {
  aTransLevel = 0;
  if (adTransContext == nullptr) return qdeInvalidHandle;
  return adTransContext->TransactionGetLevel(aTransLevel);
}
TqdResult TqdAbstractDatabase::TransactionGetInfo(TqdTransactionInfo& aTransInfo, bool aAllowCached) {
  aTransInfo = TqdTransactionInfo{};
  if (adTransContext == nullptr) return qdeInvalidHandle;
  return adTransContext->TransactionGetInfo(aTransInfo, aAllowCached);
}

bool TqdAbstractDatabase::GetExplicitAllowSystem() {
  qdString value;
  if (OptionGet(u"ALLOWSYSTEMTABLEACCESS", value) != 0) return false;
  return value == u"1";
}

TqdResult TqdAbstractDatabase::SetCacheDatabase(TqdAbstractDatabase*) { return NotSupportedError(u"SetCacheDatabase"); }

std::vector<TqdAbstractCursor*> TqdAbstractDatabase::Cursors() {
  std::vector<TqdAbstractCursor*> result;
  TqdPadlockGuard guard(adCursorsPadlock);
  for (TqdAbstractCursor* c = adCursorsHead; c != nullptr; c = c->DatabaseNext()) result.push_back(c);
  return result;
}

std::vector<TqdAbstractStatement*> TqdAbstractDatabase::Statements() {
  std::vector<TqdAbstractStatement*> result;
  TqdPadlockGuard guard(adStatementsPadlock);
  for (TqdAbstractStatement* s = adStatementsHead; s != nullptr; s = s->asDatabaseNext) result.push_back(s);
  return result;
}

// --- TqdAbstractStatement -------------------------------------------------------

TqdAbstractStatement::TqdAbstractStatement(TqdAbstractDatabase* aDatabase, uint32_t aTimeout)
    : TqdAbstractTimeoutObject(aDatabase, aTimeout), asDatabase(aDatabase) {
  TqdPadlockGuard guard(aDatabase->adStatementsPadlock);
  linkTail(
      this, aDatabase->adStatementsHead, aDatabase->adStatementsTail,
      [](TqdAbstractStatement* s) -> TqdAbstractStatement*& { return s->asDatabasePrev; },
      [](TqdAbstractStatement* s) -> TqdAbstractStatement*& { return s->asDatabaseNext; });
  asInList = true;
}

TqdAbstractStatement::~TqdAbstractStatement() QD_NO_THREAD_SAFETY_ANALYSIS {
  if (!asInList) return;
  TqdPadlockGuard guard(asDatabase->adStatementsPadlock);
  unlink(
      this, asDatabase->adStatementsHead, asDatabase->adStatementsTail,
      [](TqdAbstractStatement* s) -> TqdAbstractStatement*& { return s->asDatabasePrev; },
      [](TqdAbstractStatement* s) -> TqdAbstractStatement*& { return s->asDatabaseNext; });
  asInList = false;
}

void TqdAbstractStatement::AfterConstruction() {
  TqdAbstractTimeoutObject::AfterConstruction();
  if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->StatementCounter().fetch_add(1);
  asLockedIncDone = true;
}

void TqdAbstractStatement::BeforeDestruction() {
  if (!Destroying() && asLockedIncDone) {
    if (TqdBaseServerEngine* engine = asoGetServerEngine()) engine->StatementCounter().fetch_sub(1);
    asLockedIncDone = false;
  }
  TqdAbstractTimeoutObject::BeforeDestruction();
  if (asInList) qdsdServerEngineDetail::WaitForListReaders(asDatabase->adStatementsPadlock);
}

void TqdAbstractStatement::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdAbstractTimeoutObject::DescribeTo(aContainer, aIncludeChildren);
  aContainer->AddObject(u"Database", asDatabase);
}

HRESULT TqdAbstractStatement::CreateInstanceFor(const qdString& aName, const TGUID& aClassID, const TGUID& aInterfaceID,
                                                TqdRef<IqdInterface>& aInterface) {
  const qdsdServerEngine_Private::TqdContextPath path = qdsdServerEngine_Private::SplitContextPath(aName);
  if (qdSameClassName(path.Head, u"<Statement>"))
    return CreateInstanceFor(path.Rest, aClassID, aInterfaceID, aInterface);
  if (qdSameClassName(path.Head, u"<Database>"))
    return asDatabase->CreateInstanceFor(path.Rest, aClassID, aInterfaceID, aInterface);
  return TqdAbstractTimeoutObject::CreateInstanceFor(aName, aClassID, aInterfaceID, aInterface);
}

}  // namespace qd
