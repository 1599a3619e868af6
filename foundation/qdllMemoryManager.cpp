#include "foundation/qdllMemoryManager.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "foundation/qdllFastCode.h"
#include "foundation/qdllMemoryManagerImpl.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

// Zeroed allocations are filled by the engine's fill routine (usable before
// the foundation starts), which counts in 32 bits.
void fillZero(void* P, size_t aSize) {
  constexpr size_t kPiece = size_t{1} << 30;
  auto* bytes = static_cast<uint8_t*>(P);
  while (aSize > 0) {
    const size_t piece = std::min(aSize, kPiece);
    qdFillChar(bytes, static_cast<int32_t>(piece), 0);
    bytes += piece;
    aSize -= piece;
  }
}

TqdSharedAllocatorSlot gProcessSlot{};

}  // namespace

TqdSharedAllocatorSlot& qdProcessAllocatorSlot() { return gProcessSlot; }

// --- TqdMemoryManagerModule --------------------------------------------------------------

void TqdMemoryManagerModule::Start(TqdSharedAllocatorSlot& aSlot, TqdMemoryManagerImpl& aOwnAllocator) {
  if (mmStartCount++ > 0) return;
  // The original platform also loaded an optional module "qdmman.dll" here.
  // Nothing provides it on this platform, and no module is ever loaded
  // implicitly, so that step is left out.
  TqdAllocatorTable* table = nullptr;
  if (qdInterlockedCompareExchange(aSlot.ssClaimed, 1, 0) == 0) {
    // First in the process: publish our own allocator (its start counter
    // brings it up), then raise the ready flag.
    try {
      aOwnAllocator.Start();
    } catch (...) {
      qdInterlockedExchange(aSlot.ssClaimed, 0);
      mmStartCount = 0;
      throw;
    }
    table = &aOwnAllocator.Table();
    __atomic_store_n(&aSlot.ssTable, table, __ATOMIC_RELEASE);
    qdInterlockedExchange(aSlot.ssReady, 1);
    mmPublished = true;
    mmSlot = &aSlot;
  } else {
    // Another module publishes: wait until its table is valid.
    while (qdInterlockedCompareExchange(aSlot.ssReady, 1, 1) != 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    table = __atomic_load_n(&aSlot.ssTable, __ATOMIC_ACQUIRE);
  }
  mmTable = *table;
  // The allocator's own chunk manager already asks its release thread for
  // memory before it draws on the emergency reserve.
  mmTable.atStart(mmTable.atContext);
  // Publishing took a start of its own: drop it, so the allocator counts
  // exactly the modules that use it.
  if (mmPublished) mmTable.atStop(mmTable.atContext);
  __atomic_store_n(&mmReady, 1, __ATOMIC_RELEASE);
}

void TqdMemoryManagerModule::Stop() {
  if (mmStartCount == 0 || --mmStartCount > 0) return;
  __atomic_store_n(&mmReady, 0, __ATOMIC_RELEASE);
  if (mmPublished) {
    // The publisher's going takes the name with it: a module that starts
    // later publishes anew.
    __atomic_store_n(&mmSlot->ssTable, static_cast<TqdAllocatorTable*>(nullptr), __ATOMIC_RELEASE);
    qdInterlockedExchange(mmSlot->ssReady, 0);
    qdInterlockedExchange(mmSlot->ssClaimed, 0);
    mmPublished = false;
    mmSlot = nullptr;
  }
  mmTable.atStop(mmTable.atContext);
  mmTable = TqdAllocatorTable{};
}

void TqdMemoryManagerModule::RaiseOutOfMemory() { qdRaiseOutOfMemory(); }

void TqdMemoryManagerModule::RaiseInvalidPointer() { qdRaiseInvalidPointer(); }

void TqdMemoryManagerModule::ReallocMem(void*& P, size_t aNewSize) {
  if (P == nullptr) {
    if (aNewSize != 0) P = GetMem(aNewSize);
    return;
  }
  if (aNewSize == 0) {
    void* old = P;
    P = nullptr;
    FreeMem(old);
    return;
  }
  void* fresh = mmTable.atReallocMem(mmTable.atContext, P, aNewSize);
  if (fresh == nullptr) qdRaiseOutOfMemory();
  P = fresh;
}

void* TqdMemoryManagerModule::GetPool(size_t aItemSize) { return mmTable.atGetPool(mmTable.atContext, aItemSize); }

void* TqdMemoryManagerModule::PoolAlloc(void* aPool) {
  void* item = mmTable.atMemoryPoolAlloc(mmTable.atContext, aPool);
  if (item == nullptr) qdRaiseOutOfMemory();
  return item;
}

void TqdMemoryManagerModule::PoolDispose(void* aPool, void* P) {
  if (P == nullptr) return;
  if (!mmTable.atMemoryPoolDispose(mmTable.atContext, aPool, P)) qdRaiseInvalidPointer();
}

void* TqdMemoryManagerModule::AllocBlock(int32_t aSizeClass) {
  void* block = mmTable.atBlockAlloc(mmTable.atContext, aSizeClass);
  if (block == nullptr) qdRaiseOutOfMemory();
  return block;
}

void TqdMemoryManagerModule::AllocBlockBatch(int32_t aSizeClass, TqdBlockHandles& aBlocks) {
  size_t done = 0;
  try {
    for (; done < aBlocks.size(); ++done) aBlocks[done] = AllocBlock(aSizeClass);
  } catch (...) {
    for (size_t i = 0; i < done; ++i) {
      (void)mmTable.atBlockFree(mmTable.atContext, aBlocks[i]);  // the allocation's error is the one reported
      aBlocks[i] = nullptr;
    }
    throw;
  }
}

void TqdMemoryManagerModule::FreeBlock(void* aHandle) {
  if (!mmTable.atBlockFree(mmTable.atContext, aHandle)) qdRaiseInvalidPointer();
}

void* TqdMemoryManagerModule::MapBlock(void* aHandle) {
  void* address = mmTable.atMapBlock(mmTable.atContext, aHandle);
  if (address == nullptr) qdRaiseOutOfMemory();
  return address;
}

void TqdMemoryManagerModule::UnmapBlock(void* aHandle, void* aAddress) {
  if (!mmTable.atUnmapBlock(mmTable.atContext, aHandle, aAddress)) qdRaiseInvalidPointer();
}

void* TqdMemoryManagerModule::BlockPoolAlloc(int32_t aSizeClass) {
  if (aSizeClass < 0 || aSizeClass >= 6) qdRaiseInvalidPointer();
  void* block = mmTable.atBlockPoolCommittedAlloc(mmTable.atContext, mmTable.atCommittedClasses[aSizeClass]);
  if (block == nullptr) qdRaiseOutOfMemory();
  return block;
}

void TqdMemoryManagerModule::BlockPoolFree(int32_t aSizeClass, void* aBlock) {
  if (aBlock == nullptr) return;
  if (aSizeClass < 0 || aSizeClass >= 6) qdRaiseInvalidPointer();
  if (!mmTable.atBlockPoolCommittedDispose(mmTable.atContext, mmTable.atCommittedClasses[aSizeClass], aBlock)) {
    qdRaiseInvalidPointer();
  }
}

bool TqdMemoryManagerModule::MemoryPressure() const {
  const int32_t* committed = mmTable.atCommittedReserveIndicator;
  const int32_t* physical = mmTable.atPhysicalReserveIndicator;
  return (committed != nullptr && qdAtomicLoad(*committed) != 0) ||
         (physical != nullptr && qdAtomicLoad(*physical) != 0);
}

bool TqdMemoryManagerModule::MemoryPressureForced() {
  return mmTable.atForcedMemoryPressure != nullptr && mmTable.atForcedMemoryPressure(mmTable.atContext);
}

void TqdMemoryManagerModule::RequestMemoryRelease() {
  if (mmTable.atRequestMemoryRelease != nullptr) mmTable.atRequestMemoryRelease(mmTable.atContext);
}

#if !QD_SYSTEM_ALLOCATOR

// --- The process's module -------------------------------------------------------------------

namespace {

TqdMemoryManagerModule gProcessModule;
std::mutex gProcessModuleLock;

[[gnu::noinline]] void startProcessModule() {
  std::lock_guard guard(gProcessModuleLock);
  if (!gProcessModule.Ready()) gProcessModule.Start(gProcessSlot, qdProcessMemoryManager());
}

// Started on first use: engine objects may live in static storage.
inline TqdMemoryManagerModule& processModule() {
  if (__builtin_expect(!gProcessModule.Ready(), 0)) startProcessModule();
  return gProcessModule;
}

}  // namespace

#endif

#if QD_SYSTEM_ALLOCATOR

// Every allocation goes to the system allocator, so that the sanitizers see
// each buffer on its own.

namespace {

alignas(65536) const unsigned char gZeroBlock[65536] = {};

size_t blockSizeOf(int32_t aSizeClass) {
  if (aSizeClass < 0 || aSizeClass >= 6) qdRaiseInvalidPointer();
  return aSizeClass == qdbs4m ? size_t{4194304} : size_t{4096} << aSizeClass;
}

void* systemBlock(int32_t aSizeClass) {
  const size_t size = blockSizeOf(aSizeClass);
  void* block = std::aligned_alloc(size, size);
  if (block == nullptr) qdRaiseOutOfMemory();
  return block;
}

}  // namespace

void qdGetMem(void*& P, size_t aSize) {
  if (aSize == 0) {
    P = nullptr;
    return;
  }
  void* block = std::malloc(aSize);
  if (block == nullptr) qdRaiseOutOfMemory();
  P = block;
}

void* qdGetMemPtr(size_t aSize) {
  void* P = nullptr;
  qdGetMem(P, aSize);
  return P;
}

void qdFreeMem(void* P) { std::free(P); }

void qdReallocMem(void*& P, size_t aNewSize) {
  if (P == nullptr) {
    if (aNewSize != 0) qdGetMem(P, aNewSize);
    return;
  }
  if (aNewSize == 0) {
    void* old = P;
    P = nullptr;
    std::free(old);
    return;
  }
  void* block = std::realloc(P, aNewSize);
  if (block == nullptr) qdRaiseOutOfMemory();
  P = block;
}

TqdMemoryPool qdGetMemoryPool(size_t aItemSize) {
  return TqdMemoryPool(reinterpret_cast<void*>((aItemSize + 7) & ~size_t{7}));
}

void* TqdMemoryPool::Alloc() const {
  void* item = std::malloc(ItemSize() == 0 ? 1 : ItemSize());
  if (item == nullptr) qdRaiseOutOfMemory();
  return item;
}

void TqdMemoryPool::DisposeDirect(void* P) const { std::free(P); }

void* qdAllocBlock(TqdBlockSize aSizeClass) { return systemBlock(aSizeClass); }

void qdAllocBlockBatch(TqdBlockSize aSizeClass, TqdBlockHandles& aBlocks) {
  size_t done = 0;
  try {
    for (; done < aBlocks.size(); ++done) aBlocks[done] = systemBlock(aSizeClass);
  } catch (...) {
    for (size_t i = 0; i < done; ++i) std::free(std::exchange(aBlocks[i], nullptr));
    throw;
  }
}

void qdFreeBlock(void* aHandle) {
  if (aHandle == nullptr) qdRaiseInvalidPointer();
  std::free(aHandle);
}

void* qdMapBlock(void* aHandle) {
  if (aHandle == nullptr) qdRaiseOutOfMemory();
  return aHandle;
}

void qdUnmapBlock(void* aHandle, void* aAddress) {
  if (aHandle != aAddress) qdRaiseInvalidPointer();
}

void* qdBlockPoolAlloc(TqdBlockSize aSizeClass) { return systemBlock(aSizeClass); }

void qdBlockPoolFreeAndNil(TqdBlockSize aSizeClass, void*& aBlock) {
  void* block = qdInterlockedExchangePointer(aBlock, static_cast<void*>(nullptr));
  if (block == nullptr) return;
  (void)blockSizeOf(aSizeClass);
  std::free(block);
}

const void* qdZeroBlock() { return gZeroBlock; }

void qdRequestMemoryRelease() {}

bool qdMemoryPressureForced() { return false; }

bool qdMemoryPressure() { return false; }

int32_t qdMemoryManagerAddRef() { return 1; }

int32_t qdMemoryManagerRelease() { return 1; }

void qdllMemoryManagerInitialize() {}

void qdllMemoryManagerFinalize() {}

#else

void qdGetMem(void*& P, size_t aSize) { P = processModule().GetMem(aSize); }

void* qdGetMemPtr(size_t aSize) { return processModule().GetMem(aSize); }

void qdFreeMem(void* P) { processModule().FreeMem(P); }

void qdReallocMem(void*& P, size_t aNewSize) { processModule().ReallocMem(P, aNewSize); }

TqdMemoryPool qdGetMemoryPool(size_t aItemSize) { return TqdMemoryPool(processModule().GetPool(aItemSize)); }

void* TqdMemoryPool::Alloc() const { return processModule().PoolAlloc(mpHandle); }

void TqdMemoryPool::DisposeDirect(void* P) const {
  if (P != nullptr) processModule().PoolDispose(mpHandle, P);
}

void* qdAllocBlock(TqdBlockSize aSizeClass) { return processModule().AllocBlock(aSizeClass); }

void qdAllocBlockBatch(TqdBlockSize aSizeClass, TqdBlockHandles& aBlocks) {
  processModule().AllocBlockBatch(aSizeClass, aBlocks);
}

void qdFreeBlock(void* aHandle) { processModule().FreeBlock(aHandle); }

void* qdMapBlock(void* aHandle) { return processModule().MapBlock(aHandle); }

void qdUnmapBlock(void* aHandle, void* aAddress) { processModule().UnmapBlock(aHandle, aAddress); }

void* qdBlockPoolAlloc(TqdBlockSize aSizeClass) { return processModule().BlockPoolAlloc(aSizeClass); }

void qdBlockPoolFreeAndNil(TqdBlockSize aSizeClass, void*& aBlock) {
  void* block = qdInterlockedExchangePointer(aBlock, static_cast<void*>(nullptr));
  processModule().BlockPoolFree(aSizeClass, block);
}

const void* qdZeroBlock() { return processModule().Table().atZeroRegion; }

void qdRequestMemoryRelease() { processModule().RequestMemoryRelease(); }

bool qdMemoryPressureForced() { return processModule().MemoryPressureForced(); }

bool qdMemoryPressure() { return processModule().MemoryPressure(); }

int32_t qdMemoryManagerAddRef() {
  TqdMemoryManagerModule& module = processModule();
  return module.Table().atStart(module.Table().atContext);
}

int32_t qdMemoryManagerRelease() {
  TqdMemoryManagerModule& module = processModule();
  return module.Table().atStop(module.Table().atContext);
}

void qdllMemoryManagerInitialize() {
  if (processModule().Published()) qdProcessMemoryManager().StartReleaseThread();
}

void qdllMemoryManagerFinalize() {
  // The allocator itself stays: memory may still be given back by static
  // objects after the engine has stopped.
  qdProcessMemoryManager().StopReleaseThread();
}

#endif

// --- Routines common to both builds --------------------------------------------------------

void qdGetMemZeroed(void*& P, size_t aSize) {
  void* block = nullptr;
  qdGetMem(block, aSize);
  if (block != nullptr) fillZero(block, aSize);
  P = block;
}

void* qdAllocMem(size_t aSize) {
  void* P = nullptr;
  qdGetMemZeroed(P, aSize);
  return P;
}

void qdFreeMemAndNil(void*& P) { qdFreeMem(qdInterlockedExchangePointer(P, static_cast<void*>(nullptr))); }

void TqdMemoryPool::Dispose(void*& P) const {
  DisposeDirect(qdInterlockedExchangePointer(P, static_cast<void*>(nullptr)));
}

void* qdMapBlockBatch(TqdBlockHandles& /*aBlocks*/) {
  qdAssertFailed("qdllMemoryManager", "physical blocks are enabled for batch mapping");
}

void qdUnmapBlockBatch(TqdBlockHandles& /*aBlocks*/, void* /*aAddress*/) {
  qdAssertFailed("qdllMemoryManager", "physical blocks are enabled for batch unmapping");
}

bool qdPhysicalBlocksEnabled() { return false; }

bool qdLargePagesEnabled() { return false; }

// --- Object bases -----------------------------------------------------------------------------

void* TqdObject::operator new(size_t aSize) { return qdGetMemPtr(aSize == 0 ? 1 : aSize); }

void TqdObject::operator delete(void* P) noexcept {
  // A delete must not throw; a pointer the allocator refuses here is an
  // engine fault that the free itself reports nowhere else.
  try {
    qdFreeMem(P);
  } catch (...) {
  }
}

TqdInterfacedObject::TqdInterfacedObject(bool aKeepAlive) : ioKeepAlive(aKeepAlive) {}

int32_t TqdInterfacedObject::AddRef() { return qdInterlockedIncrement(ioRefCount); }

int32_t TqdInterfacedObject::Release() {
  const int32_t count = qdInterlockedDecrement(ioRefCount);
  if (count == 0 && !KeepAlive() && qdInterlockedCompareExchange(ioReleased, 1, 0) == 0) {
    BeforeDestruction();
    delete this;
  }
  return count;
}

void TqdInterfacedObject::Free() {
  TqdRef<TqdInterfacedObject> hold(this);
  if (KeepAlive()) {
    BeforeKeepAliveFree();
    __atomic_store_n(&ioKeepAlive, false, __ATOMIC_RELEASE);
  }
}

void TqdInterfacedObject::AfterConstruction() { qdInterlockedDecrement(ioRefCount); }

void TqdInterfacedObject::BeforeDestruction() {
  if (RefCount() != 0) qdRaiseInvalidPointer();
}

TqdLifetimeMonitor::TqdLifetimeMonitor() : TqdInterfacedObject(false) {}

bool TqdLifetimeMonitor::IsAlive() {
  return !__atomic_load_n(&ltmIsDead, __ATOMIC_ACQUIRE) && qdAtomicLoad(ltmObjectRefCount) > 0;
}

void TqdLifetimeMonitor::Dead() { __atomic_store_n(&ltmIsDead, true, __ATOMIC_RELEASE); }

int32_t TqdLifetimeMonitor::ObjectAddRef() {
  qdInterlockedIncrement(ltmObjectRefCount);
  return TqdInterfacedObject::AddRef();
}

int32_t TqdLifetimeMonitor::ObjectRelease() {
  qdInterlockedDecrement(ltmObjectRefCount);
  return TqdInterfacedObject::Release();
}

namespace {

TqdLifetimeMonitor* monitorOf(IqdLifetimeMonitorObject* aObjectSide) {
  return static_cast<TqdLifetimeMonitor*>(static_cast<TqdLifetimeMonitorObjectSide*>(aObjectSide));
}

}  // namespace

TqdLifetimeTrackedObject::~TqdLifetimeTrackedObject() {
  MarkDead();
  if (IqdLifetimeMonitorObject* monitor =
          qdInterlockedExchangePointer(ltoLifetimeMonitor, static_cast<IqdLifetimeMonitorObject*>(nullptr))) {
    monitor->Release();
  }
}

void TqdLifetimeTrackedObject::BeforeDestruction() {
  TqdObject::BeforeDestruction();
  MarkDead();
}

void TqdLifetimeTrackedObject::MarkDead() {
  if (IqdLifetimeMonitorObject* monitor = qdAtomicLoad(ltoLifetimeMonitor)) monitor->Dead();
}

TqdRef<IqdLifetimeMonitorRef> TqdLifetimeTrackedObject::GetLifetimeMonitor() {
  IqdLifetimeMonitorObject* monitor = qdAtomicLoad(ltoLifetimeMonitor);
  if (monitor == nullptr) {
    IqdLifetimeMonitorObject* fresh = qdCreate<TqdLifetimeMonitor>();
    fresh->AddRef();
    monitor =
        qdInterlockedCompareExchangePointer(ltoLifetimeMonitor, fresh, static_cast<IqdLifetimeMonitorObject*>(nullptr));
    if (monitor == nullptr) {
      monitor = fresh;
    } else {
      fresh->Release();  // another thread published first
    }
  }
  return TqdRef<IqdLifetimeMonitorRef>(monitorOf(monitor));
}

}  // namespace qd
