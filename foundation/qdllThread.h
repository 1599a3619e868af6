// The engine's thread classes.
//
// Classes (each derives from the one before it):
// - TqdThread: a std::jthread with a terminated flag, a finished event that
//   WaitForEx waits on, and a body that hands std::exception descendants the
//   work raised to DoHandleException.
// - TqdInternalInitThread: confirms its start-up to its creator; an exception
//   raised by DoStartup is raised again in the creating thread.
// - TqdInternalWaitThread: after its work, waits for its owner to destroy it.
// - TqdInitThread: an init thread that ends on its own when its work is done.
// - TqdTimerThread / TqdSimpleTimerThread: run DoTimer (or a callback) every
//   interval and whenever the timer event is signalled.
//
// Life cycle: create with qdCreateThread<T>(...), which runs
// AfterConstruction (starting the thread once the whole object exists), and
// own the result through TqdThreadPtr, whose deleter runs BeforeDestruction
// (the stop sequence: terminate, release, join) while the whole object still
// exists and then deletes it. Deleting a started thread any other way would
// let it run on while its derived parts are destroyed.
//
// Priorities are accepted and ignored: on Linux an unprivileged process may
// not raise a thread above normal, and the engine's work does not depend on
// them. Waits never pump a message loop; engine threads never block on a GUI
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllSync.h"
#include "platform/qdStrings.h"

namespace qd {

enum TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A thread priority as settings store it: -15..15, six values with names.
using TqdThreadPriority = int32_t;
inline constexpr TqdThreadPriority qdThreadPriorityMin = -15;
inline constexpr TqdThreadPriority qdThreadPriorityMax = 15;
// "IDLE" -15, "LOWEST" -2, "BELOW_NORMAL" -1, "NORMAL" 0, "ABOVE_NORMAL" 1,
// "HIGHEST" 2; other values have no name. Ident lookup ignores case.
[[nodiscard]] bool qdThreadPriorityToIdent(TqdThreadPriority aValue, qdString& aIdent);
[[nodiscard]] bool qdIdentToThreadPriority(const qdString& aIdent, TqdThreadPriority& aValue);

using TNotifyEvent = std::function<void(TqdObject* aSender)>;

class EqdThread : public EqdBaseException {
 public:
  using EqdBaseException::EqdBaseException;
};
class EqdInternalInitThread : public EqdThread {
 public:
  using EqdThread::EqdThread;
};
class EqdInternalWaitThread : public EqdInternalInitThread {
 public:
  using EqdInternalInitThread::EqdInternalInitThread;
};
class EqdInitThread : public EqdInternalWaitThread {
 public:
  using EqdInternalWaitThread::EqdInternalWaitThread;
};

class TqdThread : public TqdObject {
 public:
  TqdThread(bool aCreateSuspended, TThreadPriority aThreadPriority);
  ~TqdThread() override;

  // Names the thread after its class when unnamed, then starts it unless it
  // was created suspended.
  void AfterConstruction() override;
  // Terminates the thread and waits for it to end.
  void BeforeDestruction() override;

  // Starts a thread created suspended (once).
  void Start();
  void Terminate();
  bool Terminated() const { return fTerminated.load(); }
  bool Finished() const { return fFinished.load(); }
  // Kernel id of the running thread; 0 until it runs.
  uint32_t ThreadID() const { return fThreadID.load(); }
  // Until the thread has ended (returns at once for a thread never started).
  void WaitFor();
  // Up to aTimeout ms, -1 = no limit.
  void WaitForEx(int32_t aTimeout);
  // What escaped the thread body: objects that are no std::exception.
  std::exception_ptr FatalException() const { return fFatalException; }

  qdString qdtName;
  // Called in the ending thread.
  TNotifyEvent OnTerminate;

 protected:
  // The termination notification: calls OnTerminate.
  virtual void DoTerminate();
  // Called by Terminate after the flag is set.
  virtual void TerminatedSet() {}
  // The thread body: DoExecute under an exception guard.
  virtual void Execute();
  virtual void DoExecute() {}
  virtual void DoHandleException(const std::exception& aException) { (void)aException; }

 private:
  void ThreadProc();

  bool fCreateSuspended;
  std::atomic<bool> fStarted{false};
  std::atomic<bool> fTerminated{false};
  std::atomic<bool> fFinished{false};
  std::atomic<uint32_t> fThreadID{0};
  TqdOSEvent fFinishedEvent{true, false};
  std::exception_ptr fFatalException;  // written by the thread before fFinishedEvent
  std::mutex fJoinLock;
  std::jthread fThread;
};

class TqdInternalInitThread : public TqdThread {
 public:
  explicit TqdInternalInitThread(TThreadPriority aThreadPriority);

  // Starts the thread and blocks until it has confirmed its start-up; raises
  // what DoStartup raised.
  void AfterConstruction() override;

 protected:
  void DoExecute() override;
  virtual void DoStartup() {}
  virtual void DoAfterWork() {}
  virtual void DoWork() {}

 private:
  TqdOSEvent itInitSemaphore{false, false};
  std::exception_ptr itInitException;
};

class TqdInternalWaitThread : public TqdInternalInitThread {
 public:
  explicit TqdInternalWaitThread(TThreadPriority aThreadPriority);

  void BeforeDestruction() override;
  // True once the work is done and the thread waits for its owner.
  bool Waiting() const { return wtWaiting.load(); }

 protected:
  void DoAfterWork() override;

  TqdOSEvent wtWaitSemaphore{false, false};

 private:
  std::atomic<bool> wtWaiting{false};
};

class TqdInitThread : public TqdInternalWaitThread {
 public:
  explicit TqdInitThread(TThreadPriority aThreadPriority);

  void AfterConstruction() override;
};

class TqdTimerThread : public TqdInitThread {
 public:
  // aInterval in ms; 0 runs DoTimer only when the timer event is signalled.
  TqdTimerThread(int32_t aInterval, TThreadPriority aThreadPriority);
  ~TqdTimerThread() override;

  void BeforeDestruction() override;

 protected:
  void DoWork() override;
  virtual void DoTimer() = 0;

  // Signalling runs DoTimer at once and restarts the interval.
  TqdEvent* ttTimerEvent;
  int32_t ttTimerInterval;
};

class TqdSimpleTimerThread : public TqdTimerThread {
 public:
  TqdSimpleTimerThread(int32_t aInterval, TThreadPriority aThreadPriority, TNotifyEvent aCallback);

 protected:
  void DoTimer() override;

 private:
  TNotifyEvent sttCallback;
};

struct TqdThreadDeleter {
  void operator()(TqdThread* aThread) const;
};

template <typename T>
using TqdThreadPtr = std::unique_ptr<T, TqdThreadDeleter>;

// Constructs, then runs AfterConstruction. When that raises (a failed
// start-up), the thread is stopped and freed before the exception goes on.
template <typename T, typename... TArgs>
TqdThreadPtr<T> qdCreateThread(TArgs&&... aArgs) {
  TqdThreadPtr<T> thread(new T(std::forward<TArgs>(aArgs)...));
  thread->AfterConstruction();
  return thread;
}

}  // namespace qd
