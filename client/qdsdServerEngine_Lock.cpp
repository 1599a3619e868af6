// The session lock, session statistics and the server engine base.
#include "client/qdsdServerEngine.h"

#include <chrono>
#include <thread>
#include <typeinfo>

#include "foundation/qdllExceptionData.h"

namespace qd {

namespace {

uint64_t tickCount64() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

int64_t performanceCounter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
constexpr int64_t kPerformanceFrequency = 1000000000;

const char16_t kFatalErrorText[] =
    u"A fatal error has occurred. Server operations are suspended until the server is restarted. Check exception log "
    u"at server for further information";
const char16_t kPermanentlyFailedText[] = u"This session has been marked as permanently failed";
const char16_t kCancelledText[] = u"Processing cancelled";
const char16_t kCancelledAfterText[] = u"Processing cancelled. Operation may have partially or fully succeeded";

TqdPadlock* statsPadlock = nullptr;
TqdSessionStats* statsHead = nullptr;
int32_t nextSessionNumber = 0;
thread_local TqdSessionStats* currentStats = nullptr;

}  // namespace

// --- TqdSimpleLock --------------------------------------------------------------

TqdSimpleLock::TqdSimpleLock(TqdFailedCleanup aFailedCleanup, TqdSessionStats* aStats)
    : slStats(aStats), slFailedCleanup(std::move(aFailedCleanup)) {}

TqdSimpleLock::~TqdSimpleLock() {
  if (slStats != nullptr) slStats->assClose();
  slStats = nullptr;
  slFailedCleanupDone.SetEvent();
}

void TqdSimpleLock::RaiseReentered() {
  qdSetThreadErrorContext(&slExceptionHookInfo);
  EqdBaseException error(static_cast<int64_t>(qdeReentered));
  qdSetThreadErrorContext(nullptr);
  throw error;
}

void TqdSimpleLock::TakeSpin(bool aBounded) {
  const uint64_t deadline = aBounded ? qdThreadOperationDeadline() : 0;
  int32_t expected = 0;
  while (!slFailedSpinlock.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
    expected = 0;
    // The spin flag is held while a failure cleanup runs, which may take a
    // while; a caller with a deadline does not wait past it.
    if (deadline != 0 && tickCount64() >= deadline) throw EqdBaseException(qdeTimeout, kCancelledText);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TqdSimpleLock::ReleaseSpin() {
  int32_t expected = 1;
  if (!slFailedSpinlock.compare_exchange_strong(expected, 0, std::memory_order_release)) RaiseReentered();
}

void TqdSimpleLock::RunCleanup() {
  slFailedCleanedup.store(true, std::memory_order_release);
  if (!slFailedCleanup) {
    slFailedCleanupDone.SetEvent();
    return;
  }
  try {
    slFailedCleanup();
  } catch (...) {
    // A cleanup that fails still counts as started; nothing may leave here.
  }
  // Whatever the cleanup did, it is over: a thread waiting for it must not
  // wait for ever.
  slFailedCleanupDone.SetEvent();
}

void TqdSimpleLock::GiveBack() {
  if (slFailedFlag != nullptr) slFailedFlag->store(slFailedOrg);
  slFailedFlag = nullptr;
  slLockCount.store(0, std::memory_order_release);
  slLockingThread.store(0, std::memory_order_release);
  qdSetThreadErrorContext(nullptr);
}

void TqdSimpleLock::Lock() {
  if (qdFatalErrorFlag.load(std::memory_order_acquire)) throw EqdBaseException(qdeTransCorrupt, kFatalErrorText);
  if (slFailedPermanent.load(std::memory_order_acquire))
    throw EqdBaseException(qdeInvalidHandle, kPermanentlyFailedText);
  bool expectedFailed = true;
  if (slFailed.compare_exchange_strong(expectedFailed, false)) throw EqdBaseException(qdeTimeout, kCancelledText);

  const uint32_t self = qdGetCurrentThreadID();
  uint32_t owner = 0;
  if (!slLockingThread.compare_exchange_strong(owner, self, std::memory_order_acq_rel)) {
    if (owner != self) RaiseReentered();
    if (slLockCount.load() <= 0) RaiseReentered();
  } else if (slLockCount.load() != 0) {
    slLockingThread.store(0);
    RaiseReentered();
  }
  if (slLockCount.fetch_add(1) + 1 > 1) {
    qdSetThreadErrorContext(&slExceptionHookInfo);
    return;
  }

  // Outermost: link the thread's cancel flag to the session's cancel state.
  try {
    TakeSpin(true);
  } catch (...) {
    slLockCount.store(0);
    slLockingThread.store(0);
    throw;
  }
  slFailedFlag = qdThreadCancelFlagHook();
  if (slFailedFlag != nullptr) {
    slFailedOrg = slFailedFlag->load();
    slFailedFlag->store(slFailed.load());
  }
  ReleaseSpin();

  // A failure may have arrived since the first checks.
  if (slFailedPermanent.load(std::memory_order_acquire)) {
    TakeSpin(false);
    GiveBack();
    ReleaseSpin();
    throw EqdBaseException(qdeInvalidHandle, kPermanentlyFailedText);
  }
  expectedFailed = true;
  if (slFailed.compare_exchange_strong(expectedFailed, false)) {
    TakeSpin(false);
    GiveBack();
    ReleaseSpin();
    throw EqdBaseException(qdeTimeout, kCancelledText);
  }
  if (slStats != nullptr) slStats->assEnter();
  qdSetThreadErrorContext(&slExceptionHookInfo);
}

void TqdSimpleLock::Unlock(TqdResult& aResult) {
  const uint32_t self = qdGetCurrentThreadID();
  if (slLockingThread.load(std::memory_order_acquire) != self) RaiseReentered();
  if (slLockCount.fetch_sub(1) - 1 > 0) return;
  if (slStats != nullptr) slStats->assLeave();

  TakeSpin(false);
  if (slFailedFlag != nullptr) slFailedFlag->store(slFailedOrg);
  slFailedFlag = nullptr;
  if (slFailedPermanent.load(std::memory_order_acquire)) {
    if (!slFailedCleanedup.load(std::memory_order_acquire)) RunCleanup();
  } else {
    bool expectedFailed = true;
    if (slFailed.compare_exchange_strong(expectedFailed, false) && aResult == 0) {
      aResult = EqdBaseException::qdSetMessage(qdeTimeout, kCancelledAfterText);
    }
  }
  ReleaseSpin();
  slLastLocked.store(tickCount64(), std::memory_order_release);
  uint32_t owner = self;
  const bool released = slLockingThread.compare_exchange_strong(owner, 0, std::memory_order_acq_rel);
  qdSetThreadErrorContext(nullptr);
  if (!released) RaiseReentered();
}

void TqdSimpleLock::Failed(bool aPermanent, bool aWait) {
  if (aPermanent) slFailedPermanent.store(true, std::memory_order_release);
  const bool permanent = slFailedPermanent.load(std::memory_order_acquire);
  if (!slFailed.load() || (permanent && !slFailedCleanedup.load())) {
    TakeSpin(false);
    slFailed.store(true);
    if (slFailedFlag != nullptr) slFailedFlag->store(true);
    if (permanent && !slFailedCleanedup.load() && slLockCount.load() == 0) RunCleanup();
    ReleaseSpin();
  }
  if (aPermanent && aWait) (void)slFailedCleanupDone.WaitFor(60000);  // the caller's own choice of bound
}

void TqdSimpleLock::SetFailedCleanupDone() { slFailedCleanupDone.SetEvent(); }

bool TqdSimpleLock::WaitFailedCleanupDone(uint32_t aTimeout) {
  return slFailedCleanupDone.WaitFor(aTimeout) == kWaitSignaled;
}

void TqdSimpleLock::ClearFailedCleanup() {
  TakeSpin(false);
  slFailedCleanup = nullptr;
  ReleaseSpin();
}

uint64_t TqdSimpleLock::LastLocked() {
  if (slLockCount.load(std::memory_order_acquire) > 0) return tickCount64();
  return slLastLocked.load(std::memory_order_acquire);
}

// --- Session statistics ---------------------------------------------------------

bool qdQueryThreadCycleTime(pthread_t aThread, uint64_t& aCycles) {
  aCycles = 0;
  clockid_t clock;
  if (pthread_getcpuclockid(aThread, &clock) != 0) return false;
  timespec time{};
  if (clock_gettime(clock, &time) != 0) return false;
  aCycles = (static_cast<uint64_t>(time.tv_sec) * 1000000000u + static_cast<uint64_t>(time.tv_nsec)) / 100u;
  return true;
}

TqdSessionStats::TqdSessionStats(const qdString& aUserName, const qdString& aConnectedFrom)
    : assStarted(Now()), assUserName(aUserName), assConnectedFrom(aConnectedFrom) {
  TqdPadlockGuard guard(*statsPadlock);
  assNext = statsHead;
  statsHead = this;
  assSessionNumber = nextSessionNumber++;
}

void TqdSessionStats::assEnter() {
  TqdPadlockGuard guard(assLock);
  if (assClosed != 0) return;
  if (assInside) throw EqdBaseException(static_cast<int64_t>(qdeReentered));
  assCurrentThread = pthread_self();
  if (!qdQueryThreadCycleTime(assCurrentThread, assEnterThreadCycle)) assEnterThreadCycle = 0;
  assEnterTime = performanceCounter();
  assInside = true;
  assCounters[sscCalls] += 1;
  currentStats = this;
}

void TqdSessionStats::LeaveLocked() {
  uint64_t cycles = 0;
  if (qdQueryThreadCycleTime(assCurrentThread, cycles) && cycles >= assEnterThreadCycle) {
    assCounters[sscCycles] += static_cast<int64_t>(cycles - assEnterThreadCycle);
  }
  assCounters[sscTime] += performanceCounter() - assEnterTime;
  assEnterTime = 0;
  assEnterThreadCycle = 0;
  assInside = false;
}

void TqdSessionStats::assLeave() {
  if (currentStats == this) currentStats = nullptr;
  TqdPadlockGuard guard(assLock);
  if (assClosed != 0 || !assInside) return;
  LeaveLocked();
}

void TqdSessionStats::assClose() {
  if (currentStats == this) currentStats = nullptr;
  TqdPadlockGuard guard(assLock);
  if (assClosed != 0) return;
  if (assInside) LeaveLocked();
  assClosed = Now();
}

TDateTime TqdSessionStats::Closed() {
  TqdPadlockGuard guard(assLock);
  return assClosed;
}

void TqdSessionStats::Count(TqdSessionStatsCounter aCounter, int64_t aCount) {
  TqdSessionStats* stats = currentStats;
  if (stats == nullptr) return;
  TqdPadlockGuard guard(stats->assLock);
  stats->assCounters[aCounter] += aCount;
}

TqdSessionStats* TqdSessionStats::Current() { return currentStats; }

TqdSessionStats* TqdSessionStats::Head() {
  TqdPadlockGuard guard(*statsPadlock);
  return statsHead;
}

TqdSessionStatsCounters TqdSessionStats::Update() {
  TqdPadlockGuard guard(assLock);
  if (assInside) {
    uint64_t cycles = 0;
    if (qdQueryThreadCycleTime(assCurrentThread, cycles) && cycles >= assEnterThreadCycle) {
      assCounters[sscCycles] += static_cast<int64_t>(cycles - assEnterThreadCycle);
      assEnterThreadCycle = cycles;
    }
    const int64_t now = performanceCounter();
    assCounters[sscTime] += now - assEnterTime;
    assEnterTime = now;
  }
  assExtClosed = assClosed;
  assExtCounters = assCounters;
  TqdSessionStatsCounters result = assCounters;
  result[sscTime] = result[sscTime] / (kPerformanceFrequency / 1000);
  return result;
}

void qdsdServerEngineInitialize() {
  if (statsPadlock == nullptr) statsPadlock = new TqdPadlock;
}

void qdsdServerEngineFinalize() {
  qdResetOperationHooks();
  // Statistics objects are the process's history and the padlock guards
  // their list; both stay until the process ends, as sessions of a later
  // engine start may still read them.
}

// --- Server engine --------------------------------------------------------------

const TqdComponentClass TqdBaseServerEngine::ClassInfo{{u"TqdBaseServerEngine", &TqdStateComponent::ClassInfo},
                                                       nullptr,
                                                       &qdRaiseComponentExceptionOf<EqdBaseServerEngineException>};
const TqdComponentClass TqdBaseEngineMonitor::ClassInfo{{u"TqdBaseEngineMonitor", &TqdStateComponent::ClassInfo}};

TqdBaseServerEngine::TqdBaseServerEngine(TqdComponent* aOwner) : TqdStateComponent(aOwner) {}

TqdBaseServerEngine::~TqdBaseServerEngine() = default;

TqdResult TqdBaseServerEngine::bseConvertException(const std::exception_ptr& aException,
                                                   TqdAbstractServerObject* aServerObject) {
  const int32_t version = aServerObject != nullptr ? aServerObject->MinVersion() : 47501;
  return qdConvertException(aException, EventLog(), aServerObject, version);
}

void TqdBaseServerEngine::bseObjectCreated(TqdExtendableServerObject* aExtendableObject) {
  std::vector<TqdBaseEngineMonitor*> monitors;
  {
    TqdPadlockGuard guard(bseMonitorsLock);
    monitors = bseMonitors;
  }
  for (TqdBaseEngineMonitor* monitor : monitors) {
    if (monitor->State() == qdsStarted) monitor->ExtendableObjectCreated(aExtendableObject);
  }
}

void TqdBaseServerEngine::bseObjectDestroyed(TqdExtendableServerObject* aExtendableObject) {
  std::vector<TqdBaseEngineMonitor*> monitors;
  {
    TqdPadlockGuard guard(bseMonitorsLock);
    monitors = bseMonitors;
  }
  for (TqdBaseEngineMonitor* monitor : monitors) {
    if (monitor->State() == qdsStarted) monitor->ExtendableObjectDestroyed(aExtendableObject);
  }
}

HRESULT TqdBaseServerEngine::bseCreateInstanceFor(TqdAbstractSession* aSession, const qdString& aName,
                                                  const TGUID& aClassID, const TGUID& aInterfaceID,
                                                  TqdRef<IqdInterface>& aInterface) {
  aInterface = nullptr;
  if (qdSameClassName(aName, u"<ServerEngine>")) {
    return qdcCreateInstance(aSession, aClassID, nullptr, aInterfaceID, aInterface);
  }
  HRESULT result = E_NOINTERFACE;
  for (TqdComponent* dependent : Dependents()) {
    if (!aName.empty() && !qdSameClassName(dependent->Name(), aName)) continue;
    result = dependent->qdcCreateInstance(aSession, aClassID, nullptr, aInterfaceID, aInterface);
    if (result == S_OK) break;
  }
  return result;
}

TqdResult TqdBaseServerEngine::SessionOpen(TqdAbstractSession*& aSession, const qdString& aUserName,
                                           const qdString& aPassword, const qdString& aConnectedFrom,
                                           uint32_t aTimeout) {
  return SessionOpenEx(aSession, aUserName, aPassword, aConnectedFrom, aTimeout, 47501);
}

std::vector<TqdAbstractSession*> TqdBaseServerEngine::Sessions() {
  std::vector<TqdAbstractSession*> result;
  TqdPadlockGuard guard(bseSessionsPadlock);
  for (TqdAbstractSession* s = bseSessionsHead; s != nullptr; s = s->asServerEngineNext) result.push_back(s);
  return result;
}

void TqdBaseServerEngine::AddDependent(TqdComponent* aComponent) {
  TqdStateComponent::AddDependent(aComponent);
  if (auto* monitor = dynamic_cast<TqdBaseEngineMonitor*>(aComponent)) {
    TqdPadlockGuard guard(bseMonitorsLock);
    for (TqdBaseEngineMonitor* m : bseMonitors)
      if (m == monitor) return;
    bseMonitors.push_back(monitor);
  }
}

void TqdBaseServerEngine::RemoveDependent(TqdComponent* aComponent) {
  if (auto* monitor = dynamic_cast<TqdBaseEngineMonitor*>(aComponent)) {
    TqdPadlockGuard guard(bseMonitorsLock);
    std::erase(bseMonitors, monitor);
  }
  TqdStateComponent::RemoveDependent(aComponent);
}

void TqdBaseServerEngine::GetStatsCaptions(std::vector<qdString>& aList) const {
  TqdStateComponent::GetStatsCaptions(aList);
  for (const char16_t* caption : {u"Sessions", u"Databases", u"Transaction Contexts", u"Cursors", u"Statements"})
    aList.emplace_back(caption);
}

void TqdBaseServerEngine::GetStatsValues(std::vector<qdString>& aList) const {
  TqdStateComponent::GetStatsValues(aList);
  for (int32_t value : {SessionCount(), DatabaseCount(), TransContextCount(), CursorCount(), StatementCount()})
    aList.push_back(qdFormatThousands(value));
}

void TqdBaseServerEngine::DescribeTo(IqdExceptionDataContainer* aContainer, bool aIncludeChildren) {
  TqdStateComponent::DescribeTo(aContainer);
  if (!aIncludeChildren) return;
  TqdRef<IqdExceptionDataContainer> sessions = aContainer->AddContainer(u"Sessions");
  int32_t index = 0;
  TqdPadlockGuard guard(bseSessionsPadlock);
  for (TqdAbstractSession* s = bseSessionsHead; s != nullptr; s = s->asServerEngineNext)
    qdsdServerEngineDetail::AddListMember(sessions.Get(), index, s);
}

void TqdBaseServerEngine::GetExceptionData(IqdExceptionDataContainer* aContainer, int32_t aFlag) {
  DescribeTo(aContainer, aFlag != 0);
}

void TqdBaseServerEngine::DoStop() {
  TqdStateComponent::DoStop();
  while (true) {
    TqdAbstractSession* session;
    {
      TqdPadlockGuard guard(bseSessionsPadlock);
      session = bseSessionsTail;
    }
    if (session == nullptr) break;
    TqdAbstractServerObject::Free(session);
  }
}

// --- Monitors -------------------------------------------------------------------

TqdBaseEngineMonitor::TqdBaseEngineMonitor(TqdComponent* aOwner) : TqdStateComponent(aOwner) {}

TqdBaseEngineMonitor::~TqdBaseEngineMonitor() {
  TqdPadlockGuard guard(bemExtendersLock);
  while (bemExtendersHead != nullptr) bemExtendersHead->UnlinkFromMonitor();
}

void TqdBaseEngineMonitor::SetServerEngine(TqdBaseServerEngine* aValue) {
  if (aValue == bemServerEngine) return;
  CheckInactive();
  if (bemServerEngine != nullptr) RemoveDependency(bemServerEngine);
  bemServerEngine = aValue;
  if (bemServerEngine != nullptr) AddDependency(bemServerEngine);
}

bool TqdBaseEngineMonitor::DependsOn(TqdComponent* aComponent) {
  return aComponent != nullptr && aComponent == bemServerEngine;
}

void TqdBaseEngineMonitor::HandleNotification(TqdComponent* aSender, TqdNotifyOp aOperation, void* aData) {
  if (aOperation == qdnoFree && aSender == bemServerEngine) bemServerEngine = nullptr;
  TqdStateComponent::HandleNotification(aSender, aOperation, aData);
}

void TqdBaseEngineMonitor::FollowStateChange(TqdStateComponent* aSender, bool aChanging, TqdState aNew, TqdState aOld) {
  if (aSender == bemServerEngine && aChanging && aOld == qdsStarted && aNew == qdsStopped) bemServerEngineStopping();
  TqdStateComponent::FollowStateChange(aSender, aChanging, aNew, aOld);
  if (aSender == bemServerEngine && aChanging && aOld == qdsStopped && aNew == qdsStarted) bemServerEngineStarted();
}

void TqdBaseEngineMonitor::DoStop() {
  TqdStateComponent::DoStop();
  while (true) {
    TqdBaseEngineExtender* extender;
    {
      TqdPadlockGuard guard(bemExtendersLock);
      extender = bemExtendersHead;
    }
    if (extender == nullptr) break;
    qdFreeAndNil(extender);
  }
}

int32_t TqdBaseEngineMonitor::ExtenderCount() {
  TqdPadlockGuard guard(bemExtendersLock);
  int32_t count = 0;
  for (TqdBaseEngineExtender* e = bemExtendersHead; e != nullptr; e = e->beeMonitorNext) ++count;
  return count;
}

}  // namespace qd
