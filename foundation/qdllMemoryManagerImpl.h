// The engine allocator behind the front: its table of entries (plain or
// hooked), the optional hook module, and the release thread that gives
// memory back to the operating system.
//
// An allocator is started and stopped by counting: the first Start brings
// up the chunk manager, the block managers and the item manager, loads the
// hook module and fills the table; the last Stop shuts everything down. The
// process's own allocator (qdProcessMemoryManager) is made on first use and
// lives until the process ends. Its release thread runs between the engine's
// start and stop; other allocators (tests) start theirs explicitly.
//
// Hook module: loaded only from the path in the environment variable
// "QendoMM5Hook" (a shared object; a path, not a bare name), never from the
// program's folder or the library search path, so a file planted next to
// the program is not run.
// It must export all of these routines (C linkage), or it is not used:
//   void BeforeGetMem(size_t* aSize);
//   void AfterGetMem(size_t aSize, void** aResult);
//   void BeforeFreeMem(void** aPointer);
//   void BeforeReallocMem(void** aPointer, size_t* aSize);
//   void AfterReallocMem(size_t aSize, void** aResult);
//   void BeforeGetAllocSize(void** aPointer);
//   void AfterGetAllocSize(void* aPointer, size_t* aResult);
//   void AfterBlockPoolCommittedAlloc(void* aBlock);
//   void BeforeBlockPoolCommittedDispose(void* aBlock);
//   void AfterBlockPoolCommittedLargeAlloc(void* aBlock);     (never called)
//   void BeforeBlockPoolCommittedLargeDispose(void* aBlock);  (never called)
//   void AfterBlockPoolPhysicalAlloc(void* aBlock);
//   void BeforeBlockPoolPhysicalDispose(void* aBlock);
//   void BeforeGetPool(size_t* aSize);
//   void AfterMemoryPoolAlloc(void* aPool, void** aItem);
//   void BeforeMemoryPoolDispose(void** aItem);
// Before hooks may change the arguments, After hooks may replace the result.
//
// Release thread: wakes every 500 ms, or at once on a release request, and
// cleans the item pools; a request runs the whole release sequence (pools,
// release passes of both block managers, spare chunks) and signals the
// requester, who waits at most 10 s. Without a request it cycles: steps 1
// and 3 the committed manager's release pass, 2 and 4 the physical
// manager's, 5 the spare chunks. It is a std::jthread stopped cooperatively
// and joined; its events are flags under one mutex (fLock) with a condition
// variable. The eleventh exception inside the loop ends it.
//
// Classes: TqdAllocatorHook, TqdReleaseThread, TqdMemoryManagerImpl.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "foundation/qdllMemoryManager.h"
#include "foundation/qdmmBlockManagerCommitted.h"
#include "foundation/qdmmBlockManagerPhysical.h"
#include "foundation/qdmmChunkManager.h"
#include "foundation/qdmmItemManager.h"

namespace qd {

class TqdMemoryManagerImpl;

// The hook module's routines.
struct TqdAllocatorHook {
  void (*BeforeGetMem)(size_t* aSize);
  void (*AfterGetMem)(size_t aSize, void** aResult);
  void (*BeforeFreeMem)(void** aPointer);
  void (*BeforeReallocMem)(void** aPointer, size_t* aSize);
  void (*AfterReallocMem)(size_t aSize, void** aResult);
  void (*BeforeGetAllocSize)(void** aPointer);
  void (*AfterGetAllocSize)(void* aPointer, size_t* aResult);
  void (*AfterBlockPoolCommittedAlloc)(void* aBlock);
  void (*BeforeBlockPoolCommittedDispose)(void* aBlock);
  void (*AfterBlockPoolCommittedLargeAlloc)(void* aBlock);
  void (*BeforeBlockPoolCommittedLargeDispose)(void* aBlock);
  void (*AfterBlockPoolPhysicalAlloc)(void* aBlock);
  void (*BeforeBlockPoolPhysicalDispose)(void* aBlock);
  void (*BeforeGetPool)(size_t* aSize);
  void (*AfterMemoryPoolAlloc)(void* aPool, void** aItem);
  void (*BeforeMemoryPoolDispose)(void** aItem);
};

// Looks the 16 routines up through aResolve; all or none (false leaves
// aHook cleared).
bool qdResolveAllocatorHook(TqdAllocatorHook& aHook, void* (*aResolve)(void* aContext, const char* aName),
                            void* aContext);
// Loads the module named by "QendoMM5Hook", when set, and resolves its
// routines; aModule gets the loaded module (for unloading), nil when no hook
// is used.
bool qdLoadAllocatorHook(TqdAllocatorHook& aHook, void*& aModule);

class TqdReleaseThread {
 public:
  explicit TqdReleaseThread(TqdMemoryManagerImpl& aOwner);
  TqdReleaseThread(const TqdReleaseThread&) = delete;
  TqdReleaseThread& operator=(const TqdReleaseThread&) = delete;
  ~TqdReleaseThread();

  void Start();
  // Asks the thread to stop and joins it.
  void Stop();
  bool Running() const;
  // Wakes the thread for a release sequence and waits until it has run, the
  // thread has stopped, or 10 s have passed. Returns at once when called by
  // the release thread itself.
  void RequestRelease();

  // Counters, for tests.
  int64_t Wakes() const;
  int64_t Sequences() const;

 private:
  void Execute();

  TqdMemoryManagerImpl& fOwner;
  mutable std::mutex fLock;
  std::condition_variable fSignal;
  bool fStop = false;          // guarded by fLock (manual reset)
  bool fFlushRequest = false;  // guarded by fLock (auto reset)
  bool fStopped = true;        // guarded by fLock (manual reset)
  bool fFlushDone = false;     // guarded by fLock (manual reset)
  int64_t fWakes = 0;          // guarded by fLock
  int64_t fSequences = 0;      // guarded by fLock
  std::thread::id fThreadId;   // guarded by fLock
  std::jthread fThread;
};

class TqdMemoryManagerImpl {
 public:
  // aThreadCaching: per-thread item caches (the process allocator only).
  explicit TqdMemoryManagerImpl(IqdVirtualMemory& aMemory, bool aThreadCaching = false);
  TqdMemoryManagerImpl(const TqdMemoryManagerImpl&) = delete;
  TqdMemoryManagerImpl& operator=(const TqdMemoryManagerImpl&) = delete;
  ~TqdMemoryManagerImpl();

  // The start counter + 1; the first start brings the allocator up.
  int32_t Start();
  // The start counter - 1; the last stop shuts the allocator down. Stopping
  // an allocator that does not run is an assertion failure.
  int32_t Stop();
  bool Running() const;
  TqdAllocatorTable& Table() { return fTable; }
  bool HookActive() const { return fHookActive; }

  // The allocator must run.
  void StartReleaseThread();
  void StopReleaseThread() { fReleaseThread.Stop(); }
  TqdReleaseThread& ReleaseThread() { return fReleaseThread; }
  void RequestMemoryRelease() { fReleaseThread.RequestRelease(); }
  // Pool cleanup, both release passes, spare chunks.
  void ReleaseSequence();

  IqdVirtualMemory& Memory() { return fMemory; }
  TqdChunkManager& Chunks() { return fChunks; }
  TqdBlockManagerCommitted& Committed() { return fCommitted; }
  TqdBlockManagerPhysical& Physical() { return fPhysical; }
  TqdItemManager& Items() { return fItems; }
  const TqdAllocatorHook& Hook() const { return fHook; }

 private:
  void BringUp();
  void ShutDown();
  void FillTable();

  IqdVirtualMemory& fMemory;
  std::mutex fStartLock;
  int32_t fStartCount = 0;  // guarded by fStartLock
  bool fRunning = false;    // guarded by fStartLock
  TqdChunkManager fChunks;
  TqdBlockManagerCommitted fCommitted;
  TqdBlockManagerPhysical fPhysical;
  TqdItemManager fItems;
  TqdAllocatorTable fTable{};
  TqdAllocatorHook fHook{};
  bool fHookActive = false;
  void* fHookModule = nullptr;
  void* fZeroRegion = nullptr;
  TqdReleaseThread fReleaseThread;
};

// The process's own allocator, made (not started) on first use and never
// destroyed.
TqdMemoryManagerImpl& qdProcessMemoryManager();

}  // namespace qd
