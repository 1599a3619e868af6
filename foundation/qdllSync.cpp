#include "foundation/qdllSync.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <utility>

#include "platform/qdSysUtils.h"

namespace qd {

namespace {

// --- Thread-safe stack pages -----------------------------------------------
//
// An entry is a link and a value. With 64-bit pointers an entry takes 16
// bytes, so a page is an 8 KB block: 8 bytes link the page into the page
// chain and 511 entries follow, as many as the 32-bit layout fitted into 4 KB.

struct StackEntry {
  TqdListEntry link;  // first, so a list entry is the stack entry
  void* value;
};
static_assert(sizeof(StackEntry) == 16);

constexpr size_t kStackPageSize = 8192;
constexpr size_t kStackPageHeader = sizeof(TqdListEntry);
constexpr size_t kStackEntriesPerPage = (kStackPageSize - kStackPageHeader) / sizeof(StackEntry);
static_assert(kStackEntriesPerPage == 511);

StackEntry* pageEntries(void* page) {
  return reinterpret_cast<StackEntry*>(static_cast<uint8_t*>(page) + kStackPageHeader);
}

// --- Event pool and manual-event pool ----------------------------------------

std::atomic<TqdEventPool*> eventPool{nullptr};

constexpr int32_t kInitialPooledEvents = 250;
constexpr int32_t kRetainedPooledEvents = 2500;
constexpr uint16_t kMaxPooledManualEvents = 128;

TqdListHead manualEventPool;  // depth-counted
std::atomic<int32_t> manualEventInstances{0};

// --- Per-thread hook -------------------------------------------------------

thread_local TqdThreadHookProc threadHookProc = nullptr;
thread_local void* threadHookData = nullptr;

// --- Test points -----------------------------------------------------------

std::atomic<bool> testPointsArmed{false};
std::mutex testPointLock;
std::map<std::string, std::function<void()>> testPointActions;  // guarded by testPointLock

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

// --- Thread ids ------------------------------------------------------------

uint32_t qdGetCurrentThreadID() {
  thread_local uint32_t id = 0;
  if (id == 0) id = static_cast<uint32_t>(gettid());
  return id;
}

// --- TqdOSEvent --------------------------------------------------------------

TqdOSEvent::TqdOSEvent(bool aManualReset, bool aInitialState) : fSignaled(aInitialState), fManualReset(aManualReset) {}

void TqdOSEvent::SetEvent() {
  // Notifies with the lock held: a waiter that returns may destroy the event
  // at once, so the condition variable must not be touched after the unlock.
  std::lock_guard guard(fLock);
  if (fSignaled) return;
  fSignaled = true;
  if (fManualReset) {
    fChanged.notify_all();
  } else {
    fChanged.notify_one();
  }
}

void TqdOSEvent::ResetEvent() {
  std::lock_guard guard(fLock);
  fSignaled = false;
}

uint32_t TqdOSEvent::WaitFor(uint32_t aTimeout) {
  std::unique_lock guard(fLock);
  if (aTimeout == kInfinite) {
    fChanged.wait(guard, [this] { return fSignaled; });
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeout);
    if (!fChanged.wait_until(guard, deadline, [this] { return fSignaled; })) return kWaitTimeout;
  }
  if (!fManualReset) fSignaled = false;
  return kWaitSignaled;
}

// --- TqdPadlock --------------------------------------------------------------

TqdPadlock::TqdPadlock(bool aFastLock) : fSpinCount(aFastLock ? 4000 : 0) {}

void TqdPadlock::Lock() {
  for (uint32_t spin = 0; spin < fSpinCount; ++spin) {
    if (plCritSect.try_lock()) return;
    cpuRelax();
  }
  plCritSect.lock();
}

void TqdPadlock::Unlock() { plCritSect.unlock(); }

bool TqdPadlock::TryLock() { return plCritSect.try_lock(); }

void TqdPadlock::CreateAndLock(TqdPadlock*& aPadlock, bool aFastLock) QD_NO_THREAD_SAFETY_ANALYSIS {
  TqdPadlock* padlock = qdAtomicLoad(aPadlock);
  if (padlock == nullptr) {
    auto* fresh = new TqdPadlock(aFastLock);
    fresh->Lock();
    padlock = qdInterlockedCompareExchangePointer(aPadlock, fresh, static_cast<TqdPadlock*>(nullptr));
    if (padlock == nullptr) return;
    fresh->Unlock();
    delete fresh;
  }
  padlock->Lock();
}

// --- TqdThreadSafeStack ------------------------------------------------------

TqdThreadSafeStack::TqdThreadSafeStack() {
  qdListHeadInit(tssPagesHead);
  qdListHeadInit(tssFreeHead);
  qdListHeadInit(tssStackHead);
  AddPage();
}

TqdThreadSafeStack::~TqdThreadSafeStack() {
  qdListHeadPopAll(tssStackHead);
  qdListHeadPopAll(tssFreeHead);
  PqdListEntry page = qdListHeadPopAll(tssPagesHead);
  while (page != nullptr) {
    PqdListEntry next = page->leNext;
    qdFreeMem(page);
    page = next;
  }
}

void TqdThreadSafeStack::AddPage() {
  void* page = nullptr;
  qdGetMem(page, kStackPageSize);
  StackEntry* entries = pageEntries(page);
  for (size_t i = 0; i + 1 < kStackEntriesPerPage; ++i) entries[i].link.leNext = &entries[i + 1].link;
  entries[kStackEntriesPerPage - 1].link.leNext = nullptr;
  qdListHeadPush(tssPagesHead, static_cast<PqdListEntry>(page));
  qdInterlockedIncrement(tssPageCount);
  qdListHeadPushChain(tssFreeHead, &entries[0].link, &entries[kStackEntriesPerPage - 1].link);
}

void TqdThreadSafeStack::Push(void* P) {
  PqdListEntry entry;
  while ((entry = qdListHeadPop(tssFreeHead)) == nullptr) AddPage();
  reinterpret_cast<StackEntry*>(entry)->value = P;
  qdListHeadPush(tssStackHead, entry);
  qdInterlockedIncrement(tssCount);
}

void* TqdThreadSafeStack::Pop() {
  PqdListEntry entry = qdListHeadPop(tssStackHead);
  if (entry == nullptr) return nullptr;
  void* value = reinterpret_cast<StackEntry*>(entry)->value;
  qdListHeadPush(tssFreeHead, entry);
  qdInterlockedDecrement(tssCount);
  return value;
}

// --- TqdEventPool ------------------------------------------------------------

TqdEventPool::TqdEventPool(int32_t aInitialCount, int32_t aRetainCount)
    : epList(new TqdThreadSafeStack), epRetainCount(aRetainCount) {
  for (int32_t i = 0; i < aInitialCount; ++i) epList->Push(new TqdOSEvent(false, false));
}

TqdEventPool::~TqdEventPool() {
  epRetainCount = 0;
  Flush();
  delete epList;
}

TqdEventHandle TqdEventPool::Get() {
  auto* handle = static_cast<TqdEventHandle>(epList->Pop());
  return handle != nullptr ? handle : new TqdOSEvent(false, false);
}

void TqdEventPool::Put(TqdEventHandle aHandle) { epList->Push(aHandle); }

void TqdEventPool::Flush() {
  while (epList->Count() > epRetainCount) {
    auto* handle = static_cast<TqdEventHandle>(epList->Pop());
    if (handle == nullptr) break;
    delete handle;
  }
}

TqdEventPool* qdEventPool() { return eventPool.load(std::memory_order_acquire); }

// --- TqdEvent ----------------------------------------------------------------

TqdEvent::TqdEvent() {
  if (TqdEventPool* pool = qdEventPool()) {
    qdeEvent = pool->Get();
    qdeEvent->ResetEvent();
  } else {
    qdeEvent = new TqdOSEvent(false, false);
  }
}

TqdEvent::~TqdEvent() {
  if (TqdEventPool* pool = qdEventPool()) {
    pool->Put(qdeEvent);
  } else {
    delete qdeEvent;
  }
}

void TqdEvent::WaitFor(uint32_t aTimeOut) {
  if (WaitForQuietly(aTimeOut) == kWaitTimeout) throw EqdSyncException(qdeTimeout);
}

uint32_t TqdEvent::WaitForQuietly(uint32_t aTimeOut) { return qdeEvent->WaitFor(aTimeOut == 0 ? kInfinite : aTimeOut); }

void TqdEvent::SignalEvent() { qdeEvent->SetEvent(); }

// --- Manual events -------------------------------------------------------------

namespace {

class TqdManualEvent;

// The pool links objects through this record; the owner pointer leads from a
// popped list entry back to its object.
struct ManualEventLink {
  TqdListEntry entry;  // first
  TqdManualEvent* owner;
};

class TqdManualEvent final : public TqdObject, public IqdManualEvent {
 public:
  TqdManualEvent() : meEvent(true, false) {
    meNext.entry.leNext = nullptr;
    meNext.owner = this;
    manualEventInstances.fetch_add(1, std::memory_order_relaxed);
  }
  ~TqdManualEvent() override { manualEventInstances.fetch_sub(1, std::memory_order_relaxed); }

  static TqdManualEvent* FromEntry(PqdListEntry aEntry) { return reinterpret_cast<ManualEventLink*>(aEntry)->owner; }

  // Frees an object that no one references any more.
  static void Destroy(TqdManualEvent* aEvent) {
    if (qdAtomicLoad(aEvent->meRefCount) != 0) qdRaiseInvalidPointer();
    delete aEvent;
  }

  void Reuse() {
    meEvent.ResetEvent();
    qdInterlockedExchange(meCached, 0);
  }

  int32_t AddRef() override { return qdInterlockedIncrement(meRefCount); }

  int32_t Release() override {
    const int32_t count = qdInterlockedDecrement(meRefCount);
    if (count == 0 && qdInterlockedCompareExchange(meCached, 1, 0) == 0) {
      if (qdDepthListHeadPush(manualEventPool, &meNext.entry, kMaxPooledManualEvents) == 0) Destroy(this);
    }
    return count;
  }

  void SignalEvent() override { meEvent.SetEvent(); }

  void WaitFor() override {
    AddRef();
    TqdManualEventRef self = TqdManualEventRef::Adopt(this);
    (void)meEvent.WaitFor(kInfinite);  // an unlimited wait only ends signalled
  }

  TqdEventHandle GetHandle() override { return &meEvent; }

 private:
  ManualEventLink meNext;
  int32_t meRefCount = 0;
  int32_t meCached = 0;
  TqdOSEvent meEvent;
};

}  // namespace

TqdManualEventRef qdGetManualEvent() {
  TqdManualEvent* event;
  if (PqdListEntry entry = qdDepthListHeadPop(manualEventPool, 0)) {
    event = TqdManualEvent::FromEntry(entry);
    event->Reuse();
  } else {
    event = new TqdManualEvent;
  }
  event->AddRef();
  return TqdManualEventRef::Adopt(event);
}

uint16_t qdManualEventPoolDepth() { return qdDepthListHeadDepth(manualEventPool); }

int32_t qdManualEventInstanceCount() { return manualEventInstances.load(std::memory_order_relaxed); }

// --- Per-thread hook -------------------------------------------------------

void qdSetThreadHook(TqdThreadHookProc aProc, void* aData) {
  threadHookProc = aProc;
  threadHookData = aData;
}

int32_t qdCallThreadHook() {
  if (threadHookData == nullptr || threadHookProc == nullptr) return 0;
  return threadHookProc(threadHookData);
}

// --- Test points -----------------------------------------------------------

void qdTestPoint(const char* aName) {
  if (!testPointsArmed.load(std::memory_order_acquire)) return;
  std::function<void()> action;
  {
    std::lock_guard guard(testPointLock);
    auto found = testPointActions.find(aName);
    if (found == testPointActions.end()) return;
    action = found->second;
  }
  action();
}

void TqdFaultTestPoints::SetAction(const char* aName, std::function<void()> aAction) {
  std::lock_guard guard(testPointLock);
  testPointActions[aName] = std::move(aAction);
  testPointsArmed.store(true, std::memory_order_release);
}

void TqdFaultTestPoints::ClearAll() {
  std::lock_guard guard(testPointLock);
  testPointActions.clear();
  testPointsArmed.store(false, std::memory_order_release);
}

// --- Unit start and end ----------------------------------------------------

void qdllSyncInitialize() {
  qdListHeadInit(manualEventPool);
  eventPool.store(new TqdEventPool(kInitialPooledEvents, kRetainedPooledEvents), std::memory_order_release);
}

void qdllSyncFinalize() {
  // The global goes first, so events destroyed from here on close their own
  // handles instead of handing them to a pool that no longer exists.
  delete eventPool.exchange(nullptr, std::memory_order_acq_rel);
  while (PqdListEntry entry = qdDepthListHeadPop(manualEventPool, 0)) {
    TqdManualEvent::Destroy(TqdManualEvent::FromEntry(entry));
  }
}

}  // namespace qd
