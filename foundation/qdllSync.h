// Locks, events and lock-free pools shared by every engine object that more
// than one thread touches.
//
// Classes:
// - TqdOSEvent: an operating-system style event (manual or auto reset) over
//   a mutex and a condition variable; the "event handle" of the engine is a
//   pointer to one. Waits never pump a message loop.
// - TqdPadlock: the engine's exclusive lock, re-entrant for its owner.
// - TqdEvent: an auto-reset event whose handle is recycled through the
//   process-wide event pool.
// - TqdThreadSafeStack: a lock-free stack of pointers; it owns its entry
//   pages, not the values pushed.
// - TqdEventPool: a lock-free pool of auto-reset event handles (qdEventPool).
// - IqdManualEvent / TqdManualEventRef: reference-counted manual-reset events
//   recycled through a depth-limited lock-free pool of 128.
// - TqdFaultTestPoints: named test points that make thread interleavings
//   deterministic in tests (no cost beyond one atomic load when unused).
//
// Ownership and locking: the pools and the stack take no lock; the heads are
// changed only by compare-exchange. qdEventPool lives from qdllSyncInitialize
// to qdllSyncFinalize; events that outlive it close their own handles.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "foundation/qdllException.h"
#include "foundation/qdllInterlocked.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllThreadAnnotations.h"

namespace qd {

// --- Wait results and thread ids --------------------------------------------

inline constexpr uint32_t kWaitSignaled = 0;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
// Time-out of the raw event waits that means "no limit".
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// The calling thread's kernel id (gettid), never 0.
uint32_t qdGetCurrentThreadID();

// --- Events ----------------------------------------------------------------

// A manual-reset event stays signalled until reset and releases every
// waiter; an auto-reset event releases one waiter and resets itself. Setting
// an auto-reset event that is already signalled changes nothing, so it also
// serves as a semaphore with a maximum count of 1.
class TqdOSEvent final : public TqdObject {
 public:
  TqdOSEvent(bool aManualReset, bool aInitialState);

  void SetEvent();
  void ResetEvent();
  // kWaitSignaled or kWaitTimeout; aTimeout in ms, kInfinite for no limit.
  // A condition-variable wait has no failure of its own, so kWaitFailed is
  // never returned.
  [[nodiscard]] uint32_t WaitFor(uint32_t aTimeout);

 private:
  std::mutex fLock;
  std::condition_variable fChanged;
  bool fSignaled;  // guarded by fLock
  const bool fManualReset;
};

using TqdEventHandle = TqdOSEvent*;

// Raised by TqdEvent waits (15461 on time-out).
class EqdSyncException : public EqdBaseException {
 public:
  using EqdBaseException::EqdBaseException;
};

// --- Padlock ---------------------------------------------------------------

// Exclusive lock, re-entrant for the thread that holds it. A fast padlock
// spins up to 4000 times before it blocks.
class QD_CAPABILITY("padlock") TqdPadlock : public TqdObject {
 public:
  explicit TqdPadlock(bool aFastLock = false);

  void Lock() QD_ACQUIRE();
  void Unlock() QD_RELEASE();
  [[nodiscard]] bool TryLock() QD_TRY_ACQUIRE(true);

  // Creates the padlock in aPadlock on first use (published by
  // compare-exchange against nil; a loser frees its copy) and returns with
  // the padlock in the variable locked.
  static void CreateAndLock(TqdPadlock*& aPadlock, bool aFastLock);

 private:
  std::recursive_mutex plCritSect;
  const uint32_t fSpinCount;
};

using TqdPadlockGuard = TqdLockGuard<TqdPadlock>;

// --- Lock-free stack -------------------------------------------------------

// Pushes and pops never block. Entries come in pages that the stack keeps
// until it is destroyed; values still on the stack then are dropped.
class TqdThreadSafeStack : public TqdObject {
 public:
  TqdThreadSafeStack();
  ~TqdThreadSafeStack() override;

  void Push(void* P);
  // nil when empty.
  void* Pop();

  int32_t Count() const { return qdAtomicLoad(tssCount); }
  // Entry pages held (diagnostics).
  int32_t PageCount() const { return qdAtomicLoad(tssPageCount); }

 private:
  void AddPage();

  int32_t tssCount = 0;
  int32_t tssPageCount = 0;
  TqdListHead tssPagesHead;
  TqdListHead tssFreeHead;
  TqdListHead tssStackHead;
};

// --- Event pool and pooled events ------------------------------------------

class TqdEventPool : public TqdObject {
 public:
  // Makes aInitialCount auto-reset events up front; Flush keeps aRetainCount.
  TqdEventPool(int32_t aInitialCount, int32_t aRetainCount);
  ~TqdEventPool() override;

  // A pooled handle, or a new auto-reset event when the pool is empty. The
  // state of a pooled handle is whatever it was when put back.
  [[nodiscard]] TqdEventHandle Get();
  // Never closes a handle; the pool has no upper limit.
  void Put(TqdEventHandle aHandle);
  // Closes pooled handles while more than the retain count are pooled.
  void Flush();

  int32_t Count() const { return epList->Count(); }

 private:
  TqdThreadSafeStack* epList;
  int32_t epRetainCount;
};

// The process's event pool, nil outside the sync unit's lifetime.
TqdEventPool* qdEventPool();

// An auto-reset event, non-signalled when created.
class TqdEvent : public TqdObject {
 public:
  TqdEvent();
  ~TqdEvent() override;

  // aTimeOut in ms, 0 = no limit; raises EqdSyncException 15461 on time-out.
  void WaitFor(uint32_t aTimeOut);
  // The same wait without raising: kWaitSignaled or kWaitTimeout.
  [[nodiscard]] uint32_t WaitForQuietly(uint32_t aTimeOut);
  void SignalEvent();

 private:
  TqdEventHandle qdeEvent;
};

// A manual-reset event with an interface reference count. The object holds a
// reference to itself while it waits.
class IqdManualEvent {
 public:
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;
  virtual void SignalEvent() = 0;
  virtual void WaitFor() = 0;
  virtual TqdEventHandle GetHandle() = 0;

 protected:
  ~IqdManualEvent() = default;
};

// Holds one interface reference to a manual event.
class TqdManualEventRef {
 public:
  TqdManualEventRef() = default;
  // Takes over a reference the caller already holds.
  static TqdManualEventRef Adopt(IqdManualEvent* aEvent) {
    TqdManualEventRef ref;
    ref.fEvent = aEvent;
    return ref;
  }
  TqdManualEventRef(const TqdManualEventRef& aOther) : fEvent(aOther.fEvent) {
    if (fEvent != nullptr) fEvent->AddRef();
  }
  TqdManualEventRef(TqdManualEventRef&& aOther) noexcept : fEvent(aOther.fEvent) { aOther.fEvent = nullptr; }
  TqdManualEventRef& operator=(TqdManualEventRef aOther) noexcept {
    std::swap(fEvent, aOther.fEvent);
    return *this;
  }
  ~TqdManualEventRef() { Clear(); }

  void Clear() {
    IqdManualEvent* event = fEvent;
    fEvent = nullptr;
    if (event != nullptr) event->Release();
  }
  IqdManualEvent* operator->() const { return fEvent; }
  IqdManualEvent* Get() const { return fEvent; }
  explicit operator bool() const { return fEvent != nullptr; }

 private:
  IqdManualEvent* fEvent = nullptr;
};

// A pooled manual event (reset, non-signalled) or a new one.
[[nodiscard]] TqdManualEventRef qdGetManualEvent();

// Diagnostics of the manual-event pool: objects pooled, objects alive.
uint16_t qdManualEventPoolDepth();
int32_t qdManualEventInstanceCount();

// --- Per-thread hook -------------------------------------------------------

using TqdThreadHookProc = int32_t (*)(void* aData);

// Installs the calling thread's hook (nil data removes it).
void qdSetThreadHook(TqdThreadHookProc aProc, void* aData);
// The hook's result when the calling thread has hook data, else 0.
int32_t qdCallThreadHook();

// --- Test points -----------------------------------------------------------

// Runs the action a test attached to aName, if any, in the calling thread.
void qdTestPoint(const char* aName);

// Test seam: attach actions to named points. Actions run without any lock of
// this registry held, so they may block (to hold a thread at a point) or
// signal (to announce that a thread reached it).
class TqdFaultTestPoints {
 public:
  static void SetAction(const char* aName, std::function<void()> aAction);
  static void ClearAll();
};

// --- Unit start and end ----------------------------------------------------

void qdllSyncInitialize();
void qdllSyncFinalize();

}  // namespace qd
