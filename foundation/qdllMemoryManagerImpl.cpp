#include "foundation/qdllMemoryManagerImpl.h"

#include <dlfcn.h>
#include <limits.h>

#include <cfenv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr size_t kZeroRegionSize = 65536;
constexpr auto kReleaseInterval = std::chrono::milliseconds(500);
constexpr auto kReleaseRequestWait = std::chrono::milliseconds(10000);
constexpr int32_t kMaxReleaseErrors = 10;

TqdMemoryManagerImpl& implOf(void* aContext) { return *static_cast<TqdMemoryManagerImpl*>(aContext); }

// A class handle must name one of the manager's six classes.
TqdBlockClass* classOf(TqdBlockManagerBase& aManager, void* aClass) {
  for (int32_t i = 0; i < qdBlockClassCount; ++i) {
    if (&aManager.BlockClass(i) == aClass) return &aManager.BlockClass(i);
  }
  return nullptr;
}

// --- Plain entries -----------------------------------------------------------

void* plainGetMem(void* aContext, size_t aSize) { return implOf(aContext).Items().GetMem(aSize); }

int32_t plainFreeMem(void* aContext, void* P) { return implOf(aContext).Items().FreeMem(P); }

void* plainReallocMem(void* aContext, void* P, size_t aSize) { return implOf(aContext).Items().ReallocMem(P, aSize); }

// In this system a pool handle is the item size, rounded up to 8.
void* plainGetPool(void* /*aContext*/, size_t aItemSize) {
  return reinterpret_cast<void*>((aItemSize + 7) & ~size_t{7});
}

size_t plainGetAllocSize(void* /*aContext*/, void* /*P*/) { return 0; }

void statistics(void* aContext, TqdMemoryStatistics& aStatistics) {
  aStatistics = implOf(aContext).Items().Statistics();
}

void* blockPoolAlloc(TqdBlockManagerBase& aManager, void* aClass) {
  TqdBlockClass* blockClass = classOf(aManager, aClass);
  return blockClass == nullptr ? nullptr : aManager.AllocBlock(*blockClass);
}

bool blockPoolDispose(TqdMemoryManagerImpl& aImpl, TqdBlockManagerBase& aManager, void* aClass, void* aBlock) {
  TqdBlockClass* blockClass = classOf(aManager, aClass);
  if (blockClass == nullptr) return false;
  // A pool's block is the pool's, not the caller's.
  if (blockClass->bcIndex == qdBlockClass64k && aImpl.Items().IsPoolBlock(aBlock)) return false;
  return aManager.FreeBlock(*blockClass, aBlock);
}

void* plainBlockPoolCommittedAlloc(void* aContext, void* aClass) {
  return blockPoolAlloc(implOf(aContext).Committed(), aClass);
}

bool plainBlockPoolCommittedDispose(void* aContext, void* aClass, void* aBlock) {
  return blockPoolDispose(implOf(aContext), implOf(aContext).Committed(), aClass, aBlock);
}

void* plainBlockPoolPhysicalAlloc(void* aContext, void* aClass) {
  return blockPoolAlloc(implOf(aContext).Physical(), aClass);
}

bool plainBlockPoolPhysicalDispose(void* aContext, void* aClass, void* aBlock) {
  return blockPoolDispose(implOf(aContext), implOf(aContext).Physical(), aClass, aBlock);
}

void* plainMemoryPoolAlloc(void* aContext, void* aPool) {
  return implOf(aContext).Items().GetMem(reinterpret_cast<size_t>(aPool));
}

bool plainMemoryPoolDispose(void* aContext, void* /*aPool*/, void* aItem) {
  return implOf(aContext).Items().FreeMem(aItem) == 0;
}

void* blockAlloc(void* aContext, int32_t aClassIndex) {
  if (aClassIndex < 0 || aClassIndex >= qdBlockClassCount) return nullptr;
  TqdBlockManagerCommitted& manager = implOf(aContext).Committed();
  return manager.AllocBlock(manager.BlockClass(aClassIndex));
}

bool blockFree(void* aContext, void* aBlock) {
  if ((reinterpret_cast<uintptr_t>(aBlock) & (qdPageSize - 1)) != 0) return false;
  TqdMemoryManagerImpl& impl = implOf(aContext);
  TqdBlockClass* blockClass = impl.Committed().ClassOf(aBlock);
  if (blockClass == nullptr) return false;
  return blockPoolDispose(impl, impl.Committed(), blockClass, aBlock);
}

void* mapBlock(void* /*aContext*/, void* aHandle) { return aHandle; }

bool unmapBlock(void* /*aContext*/, void* aHandle, void* aAddress) { return aHandle == aAddress; }

int32_t startEntry(void* aContext) { return implOf(aContext).Start(); }

int32_t stopEntry(void* aContext) { return implOf(aContext).Stop(); }

void requestReleaseEntry(void* aContext) { implOf(aContext).RequestMemoryRelease(); }

// --- Hooked entries ------------------------------------------------------------------

const TqdAllocatorHook& hookOf(void* aContext) { return implOf(aContext).Hook(); }

void* hookGetMem(void* aContext, size_t aSize) {
  hookOf(aContext).BeforeGetMem(&aSize);
  void* result = plainGetMem(aContext, aSize);
  hookOf(aContext).AfterGetMem(aSize, &result);
  return result;
}

int32_t hookFreeMem(void* aContext, void* P) {
  hookOf(aContext).BeforeFreeMem(&P);
  return plainFreeMem(aContext, P);
}

void* hookReallocMem(void* aContext, void* P, size_t aSize) {
  hookOf(aContext).BeforeReallocMem(&P, &aSize);
  void* result = plainReallocMem(aContext, P, aSize);
  hookOf(aContext).AfterReallocMem(aSize, &result);
  return result;
}

void* hookGetPool(void* aContext, size_t aItemSize) {
  hookOf(aContext).BeforeGetPool(&aItemSize);
  return plainGetPool(aContext, aItemSize);
}

size_t hookGetAllocSize(void* aContext, void* P) {
  hookOf(aContext).BeforeGetAllocSize(&P);
  size_t result = 0;
  hookOf(aContext).AfterGetAllocSize(P, &result);
  return result;
}

void* hookBlockPoolCommittedAlloc(void* aContext, void* aClass) {
  void* block = plainBlockPoolCommittedAlloc(aContext, aClass);
  if (block != nullptr) hookOf(aContext).AfterBlockPoolCommittedAlloc(block);
  return block;
}

bool hookBlockPoolCommittedDispose(void* aContext, void* aClass, void* aBlock) {
  if (aBlock != nullptr) hookOf(aContext).BeforeBlockPoolCommittedDispose(aBlock);
  return plainBlockPoolCommittedDispose(aContext, aClass, aBlock);
}

void* hookBlockPoolPhysicalAlloc(void* aContext, void* aClass) {
  void* block = plainBlockPoolPhysicalAlloc(aContext, aClass);
  if (block != nullptr) hookOf(aContext).AfterBlockPoolPhysicalAlloc(block);
  return block;
}

bool hookBlockPoolPhysicalDispose(void* aContext, void* aClass, void* aBlock) {
  if (aBlock != nullptr) hookOf(aContext).BeforeBlockPoolPhysicalDispose(aBlock);
  return plainBlockPoolPhysicalDispose(aContext, aClass, aBlock);
}

void* hookMemoryPoolAlloc(void* aContext, void* aPool) {
  void* item = plainMemoryPoolAlloc(aContext, aPool);
  hookOf(aContext).AfterMemoryPoolAlloc(aPool, &item);
  return item;
}

bool hookMemoryPoolDispose(void* aContext, void* aPool, void* aItem) {
  if (aItem != nullptr) hookOf(aContext).BeforeMemoryPoolDispose(&aItem);
  return plainMemoryPoolDispose(aContext, aPool, aItem);
}

// The chunk manager asks for memory to be given back before it draws on
// its emergency reserve.
void releaseMemoryHook(void* aContext) { implOf(aContext).RequestMemoryRelease(); }

void* resolveFromModule(void* aModule, const char* aName) { return dlsym(aModule, aName); }

template <typename T>
bool resolveOne(T& aRoutine, void* (*aResolve)(void*, const char*), void* aContext, const char* aName) {
  aRoutine = reinterpret_cast<T>(aResolve(aContext, aName));
  return aRoutine != nullptr;
}

}  // namespace

// --- Hook module -------------------------------------------------------------------------

bool qdResolveAllocatorHook(TqdAllocatorHook& aHook, void* (*aResolve)(void* aContext, const char* aName),
                            void* aContext) {
  TqdAllocatorHook hook{};
  const bool all =
      resolveOne(hook.BeforeGetMem, aResolve, aContext, "BeforeGetMem") &&
      resolveOne(hook.AfterGetMem, aResolve, aContext, "AfterGetMem") &&
      resolveOne(hook.BeforeFreeMem, aResolve, aContext, "BeforeFreeMem") &&
      resolveOne(hook.BeforeReallocMem, aResolve, aContext, "BeforeReallocMem") &&
      resolveOne(hook.AfterReallocMem, aResolve, aContext, "AfterReallocMem") &&
      resolveOne(hook.BeforeGetAllocSize, aResolve, aContext, "BeforeGetAllocSize") &&
      resolveOne(hook.AfterGetAllocSize, aResolve, aContext, "AfterGetAllocSize") &&
      resolveOne(hook.AfterBlockPoolCommittedAlloc, aResolve, aContext, "AfterBlockPoolCommittedAlloc") &&
      resolveOne(hook.BeforeBlockPoolCommittedDispose, aResolve, aContext, "BeforeBlockPoolCommittedDispose") &&
      resolveOne(hook.AfterBlockPoolCommittedLargeAlloc, aResolve, aContext, "AfterBlockPoolCommittedLargeAlloc") &&
      resolveOne(hook.BeforeBlockPoolCommittedLargeDispose, aResolve, aContext,
                 "BeforeBlockPoolCommittedLargeDispose") &&
      resolveOne(hook.AfterBlockPoolPhysicalAlloc, aResolve, aContext, "AfterBlockPoolPhysicalAlloc") &&
      resolveOne(hook.BeforeBlockPoolPhysicalDispose, aResolve, aContext, "BeforeBlockPoolPhysicalDispose") &&
      resolveOne(hook.BeforeGetPool, aResolve, aContext, "BeforeGetPool") &&
      resolveOne(hook.AfterMemoryPoolAlloc, aResolve, aContext, "AfterMemoryPoolAlloc") &&
      resolveOne(hook.BeforeMemoryPoolDispose, aResolve, aContext, "BeforeMemoryPoolDispose");
  aHook = all ? hook : TqdAllocatorHook{};
  return all;
}

bool qdLoadAllocatorHook(TqdAllocatorHook& aHook, void*& aModule) {
  aHook = TqdAllocatorHook{};
  aModule = nullptr;
  // Only an explicitly named module: nothing is looked for next to the
  // program, and a bare name (which the loader would look up along the
  // library search path) is refused.
  const char* path = std::getenv("QendoMM5Hook");
  if (path == nullptr || std::strchr(path, '/') == nullptr || std::strlen(path) >= PATH_MAX) return false;
  // The module's start-up code must not leave the floating-point settings
  // changed.
  std::fenv_t environment;
  std::fegetenv(&environment);
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  std::fesetenv(&environment);
  std::feclearexcept(FE_ALL_EXCEPT);
  if (module == nullptr) return false;
  if (!qdResolveAllocatorHook(aHook, resolveFromModule, module)) {
    dlclose(module);
    return false;
  }
  aModule = module;
  return true;
}

// --- Release thread ------------------------------------------------------------------------

TqdReleaseThread::TqdReleaseThread(TqdMemoryManagerImpl& aOwner) : fOwner(aOwner) {}

TqdReleaseThread::~TqdReleaseThread() { Stop(); }

void TqdReleaseThread::Start() {
  std::lock_guard guard(fLock);
  if (fThread.joinable()) return;
  fStop = false;
  fFlushRequest = false;
  fStopped = false;
  fThread = std::jthread([this] { Execute(); });
  fThreadId = fThread.get_id();
}

void TqdReleaseThread::Stop() {
  {
    std::lock_guard guard(fLock);
    if (!fThread.joinable()) return;
    fStop = true;
  }
  fSignal.notify_all();
  fThread.join();
  std::lock_guard guard(fLock);
  fThread = std::jthread();
  fThreadId = std::thread::id();
}

bool TqdReleaseThread::Running() const {
  std::lock_guard guard(fLock);
  return !fStopped;
}

void TqdReleaseThread::RequestRelease() {
  std::unique_lock lock(fLock);
  if (std::this_thread::get_id() == fThreadId) return;  // it would wait for itself
  fFlushDone = false;
  fFlushRequest = true;
  fSignal.notify_all();
  fSignal.wait_for(lock, kReleaseRequestWait, [this] { return fStopped || fFlushDone; });
}

int64_t TqdReleaseThread::Wakes() const {
  std::lock_guard guard(fLock);
  return fWakes;
}

int64_t TqdReleaseThread::Sequences() const {
  std::lock_guard guard(fLock);
  return fSequences;
}

// The release thread sets neither a priority nor the floating-point control
// word: priorities are ignored on this platform and the
// thread does no floating-point work.
void TqdReleaseThread::Execute() {
  int32_t step = 0;
  int32_t errors = 0;
  std::unique_lock lock(fLock);
  for (;;) {
    fSignal.wait_for(lock, kReleaseInterval, [this] { return fStop || fFlushRequest; });
    if (fStop) break;
    const bool flush = fFlushRequest;
    fFlushRequest = false;
    ++fWakes;
    lock.unlock();
    try {
      fOwner.Items().CleanupPools();
      if (flush) {
        // The requester is told even when the sequence fails.
        struct TqdFlushDone {
          TqdReleaseThread& fThread;
          ~TqdFlushDone() {
            std::lock_guard guard(fThread.fLock);
            fThread.fFlushDone = true;
            ++fThread.fSequences;
            fThread.fSignal.notify_all();
          }
        } done{*this};
        fOwner.ReleaseSequence();
        step = 0;
      } else {
        ++step;
        if (step == 1 || step == 3) {
          fOwner.Committed().ReleasePass();
        } else if (step == 2 || step == 4) {
          fOwner.Physical().ReleasePass();
        } else if (step == 5) {
          fOwner.Chunks().ReleaseSpareChunks();
        }
        // With large pages on, only pool cleanups follow the first cycle.
        if (step >= 5 && fOwner.Table().atLargePagesEnabled == 0) step = 0;
      }
    } catch (...) {
      if (++errors > kMaxReleaseErrors) {
        lock.lock();
        break;
      }
    }
    lock.lock();
  }
  fStopped = true;
  fSignal.notify_all();
}

// --- The allocator ----------------------------------------------------------------------------

TqdMemoryManagerImpl::TqdMemoryManagerImpl(IqdVirtualMemory& aMemory, bool aThreadCaching)
    : fMemory(aMemory),
      fChunks(aMemory),
      fCommitted(fChunks, aMemory),
      fPhysical(fChunks, aMemory),
      fItems(fCommitted, aMemory, aThreadCaching),
      fReleaseThread(*this) {}

TqdMemoryManagerImpl::~TqdMemoryManagerImpl() {
  fReleaseThread.Stop();
  std::lock_guard guard(fStartLock);
  if (fRunning) ShutDown();
}

int32_t TqdMemoryManagerImpl::Start() {
  std::lock_guard guard(fStartLock);
  if (fStartCount == 0) BringUp();
  return ++fStartCount;
}

int32_t TqdMemoryManagerImpl::Stop() {
  std::lock_guard guard(fStartLock);
  if (fStartCount == 0) qdAssertFailed("qdllMemoryManagerImpl", "the allocator runs when it is stopped");
  if (--fStartCount == 0) ShutDown();
  return fStartCount;
}

bool TqdMemoryManagerImpl::Running() const { return __atomic_load_n(&fRunning, __ATOMIC_ACQUIRE); }

void TqdMemoryManagerImpl::BringUp() {
  if (fRunning) qdAssertFailed("qdllMemoryManagerImpl", "the allocator does not run when it starts");
  void* zero = fMemory.Reserve(kZeroRegionSize, qdAllocationGranularity);
  if (zero == nullptr) qdRaiseOutOfMemory();
  if (!fMemory.Commit(zero, kZeroRegionSize) || !fMemory.ProtectReadOnly(zero, kZeroRegionSize)) {
    (void)fMemory.Release(zero, kZeroRegionSize);  // reported as out of memory
    qdRaiseOutOfMemory();
  }
  try {
    fChunks.Start();
    try {
      fCommitted.Start();
      fPhysical.Start();
      fItems.Start();
    } catch (...) {
      fChunks.Stop();
      throw;
    }
  } catch (...) {
    (void)fMemory.Release(zero, kZeroRegionSize);  // the start failed as a whole
    throw;
  }
  fZeroRegion = zero;
  fChunks.SetReleaseMemoryHook(releaseMemoryHook, this);
  fHookActive = qdLoadAllocatorHook(fHook, fHookModule);
  FillTable();
  __atomic_store_n(&fRunning, true, __ATOMIC_RELEASE);
}

void TqdMemoryManagerImpl::ShutDown() {
  if (!fRunning) qdAssertFailed("qdllMemoryManagerImpl", "the allocator runs when it stops");
  __atomic_store_n(&fRunning, false, __ATOMIC_RELEASE);
  fReleaseThread.Stop();
  (void)fMemory.Release(fZeroRegion, kZeroRegionSize);  // shut-down
  fZeroRegion = nullptr;
  fItems.Stop();
  fPhysical.Stop();
  fCommitted.Stop();
  fChunks.SetReleaseMemoryHook(nullptr, nullptr);
  fChunks.Stop();
  if (fHookModule != nullptr) dlclose(fHookModule);
  fHookModule = nullptr;
  fHookActive = false;
  fHook = TqdAllocatorHook{};
  fTable = TqdAllocatorTable{};
}

void TqdMemoryManagerImpl::FillTable() {
  TqdAllocatorTable& table = fTable;
  table = TqdAllocatorTable{};
  table.atContext = this;
  const bool hooked = fHookActive;
  table.atGetMem = hooked ? hookGetMem : plainGetMem;
  table.atFreeMem = hooked ? hookFreeMem : plainFreeMem;
  table.atReallocMem = hooked ? hookReallocMem : plainReallocMem;
  table.atGetPool = hooked ? hookGetPool : plainGetPool;
  table.atGetAllocSize = hooked ? hookGetAllocSize : plainGetAllocSize;
  table.atStatistics = statistics;
  for (int32_t i = 0; i < qdBlockClassCount; ++i) {
    table.atCommittedClasses[i] = &fCommitted.BlockClass(i);
    table.atPhysicalClasses[i] = &fPhysical.BlockClass(i);
  }
  table.atZeroRegion = fZeroRegion;
  table.atBlockPoolCommittedAlloc = hooked ? hookBlockPoolCommittedAlloc : plainBlockPoolCommittedAlloc;
  table.atBlockPoolCommittedDispose = hooked ? hookBlockPoolCommittedDispose : plainBlockPoolCommittedDispose;
  table.atBlockPoolPhysicalAlloc = hooked ? hookBlockPoolPhysicalAlloc : plainBlockPoolPhysicalAlloc;
  table.atBlockPoolPhysicalDispose = hooked ? hookBlockPoolPhysicalDispose : plainBlockPoolPhysicalDispose;
  table.atMemoryPoolAlloc = hooked ? hookMemoryPoolAlloc : plainMemoryPoolAlloc;
  table.atMemoryPoolDispose = hooked ? hookMemoryPoolDispose : plainMemoryPoolDispose;
  table.atPhysicalBlocksEnabled = 0;
  table.atLargePagesEnabled = 0;
  table.atBlockAlloc = blockAlloc;
  table.atBlockFree = blockFree;
  table.atMapBlock = mapBlock;
  table.atUnmapBlock = unmapBlock;
  table.atStart = startEntry;
  table.atStop = stopEntry;
  table.atMapBlockBatch = nullptr;
  table.atUnmapBlockBatch = nullptr;
  table.atRequestMemoryRelease = requestReleaseEntry;
  table.atCommittedReserveIndicator = fChunks.CommittedReserveIndicator();
  table.atPhysicalReserveIndicator = fChunks.PhysicalReserveIndicator();
  table.atForcedMemoryPressure = nullptr;
}

void TqdMemoryManagerImpl::StartReleaseThread() {
  if (!Running()) qdAssertFailed("qdllMemoryManagerImpl", "the allocator runs before its release thread starts");
  fReleaseThread.Start();
}

void TqdMemoryManagerImpl::ReleaseSequence() {
  fItems.CleanupPools();
  fCommitted.ReleasePass();
  fPhysical.ReleasePass();
  fChunks.ReleaseSpareChunks();
}

TqdMemoryManagerImpl& qdProcessMemoryManager() {
  // Constructed in place and never destroyed: static objects may give
  // engine memory back after everything else has stopped.
  alignas(TqdMemoryManagerImpl) static unsigned char storage[sizeof(TqdMemoryManagerImpl)];
  static TqdMemoryManagerImpl* impl = new (storage) TqdMemoryManagerImpl(qdSystemVirtualMemory(), true);
  return *impl;
}

}  // namespace qd
