// The engine allocator's front: checked memory routines, pools and blocks,
// the per-process sharing of one allocator, and the object bases whose
// instances live on the engine allocator.
//
// Every engine allocation goes through these routines. A failed allocation
// raises the out-of-memory run-time error (std::bad_alloc) and leaves the
// caller's variable unchanged; a pointer or block the allocator refuses
// raises the invalid-pointer error (EInvalidPointer).
//
// Sharing: each module keeps its own copy of the allocator table
// (TqdMemoryManagerModule). The first module to start publishes its
// allocator's table through the process's sharing slot, later ones wait for
// the ready flag and copy that table, so memory allocated through one module
// may be freed through another. The process's module starts on the first
// allocation (objects may be allocated in static storage, before the engine
// is initialised) and is never stopped: memory may be given back while
// static objects are destroyed after the engine has stopped.
//
// Built with QD_SYSTEM_ALLOCATOR=1 (the sanitizer build), the routines go to
// malloc, free and realloc so the sanitizer sees every buffer.
//
// Reference counting: TqdInterfacedObject keeps an intrusive count and is
// held through TqdRef<T>. It is created through qdCreate<T>(...) or
// qdMakeRef<T>(...) (its operator new is not public), because its count is
// 1 while its constructors run and only drops to 0 after construction.
//
// Classes: TqdAllocatorTable, TqdSharedAllocatorSlot, TqdMemoryManagerModule,
// TqdMemoryPool (a pool handle), TqdObject, IqdInterface,
// TqdInterfacedObject, TqdRef, IqdLifetimeMonitorRef,
// IqdLifetimeMonitorObject, TqdLifetimeMonitor, TqdLifetimeTrackedObject.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "foundation/qdllInterlocked.h"

namespace qd {

class TqdMemoryManagerImpl;
struct TqdMemoryStatistics;

// --- Checked memory routines ----------------------------------------------

// Size 0 gives nil.
void qdGetMem(void*& P, size_t aSize);
void* qdGetMemPtr(size_t aSize);
void qdGetMemZeroed(void*& P, size_t aSize);
void* qdAllocMem(size_t aSize);
// nil is ignored.
void qdFreeMem(void* P);
// Takes P out of the variable first, so the variable is nil before the free.
void qdFreeMemAndNil(void*& P);
// P nil and size 0: nothing. P nil: allocate. Size 0: P := nil, then free.
// A failed reallocation raises and leaves P unchanged.
void qdReallocMem(void*& P, size_t aNewSize);

template <typename T>
inline void qdGetMem(T*& P, size_t aSize) {
  void* raw = nullptr;
  qdGetMem(raw, aSize);
  P = static_cast<T*>(raw);
}

template <typename T>
inline void qdFreeMemAndNil(T*& P) {
  void* raw = qdInterlockedExchangePointer(P, static_cast<T*>(nullptr));
  qdFreeMem(raw);
}

template <typename T>
inline void qdReallocMem(T*& P, size_t aNewSize) {
  void* raw = P;
  qdReallocMem(raw, aNewSize);
  P = static_cast<T*>(raw);
}

// --- Pools ------------------------------------------------------------------

// A handle of the process-wide pool for items of one size. Copies name the
// same pool.
class TqdMemoryPool {
 public:
  TqdMemoryPool() = default;

  // One item; out of memory raises.
  void* Alloc() const;
  // Takes P out of the variable first; nil is ignored; a refused item raises
  // EInvalidPointer.
  void Dispose(void*& P) const;
  template <typename T>
  void Dispose(T*& P) const {
    void* raw = qdInterlockedExchangePointer(P, static_cast<T*>(nullptr));
    DisposeDirect(raw);
  }
  // nil is ignored; a refused item raises EInvalidPointer.
  void DisposeDirect(void* P) const;

  void* Handle() const { return mpHandle; }
  // The item size the pool serves (a multiple of 8).
  size_t ItemSize() const { return reinterpret_cast<size_t>(mpHandle); }

 private:
  friend TqdMemoryPool qdGetMemoryPool(size_t aItemSize);
  explicit TqdMemoryPool(void* aHandle) : mpHandle(aHandle) {}
  void* mpHandle = nullptr;
};

// The pool for items of aItemSize bytes (rounded up to 8).
TqdMemoryPool qdGetMemoryPool(size_t aItemSize);

// --- Blocks -------------------------------------------------------------------

// Block size classes of the block routines.
enum TqdBlockSize : int32_t { qdbs4k = 0, qdbs8k, qdbs16k, qdbs32k, qdbs64k, qdbs4m };

inline constexpr size_t qdBlockBatchSize = 256;
using TqdBlockHandles = std::array<void*, qdBlockBatchSize>;

// A handle of block memory of the class (aligned to the block size); out of
// memory raises.
void* qdAllocBlock(TqdBlockSize aSizeClass);
// Fills all 256 handles; when one allocation fails, the blocks already
// obtained are freed and the error propagates.
void qdAllocBlockBatch(TqdBlockSize aSizeClass, TqdBlockHandles& aBlocks);
// A refused handle raises EInvalidPointer.
void qdFreeBlock(void* aHandle);
// The address of a block handle (the handle itself: physical blocks are not
// enabled on this platform); nil raises.
void* qdMapBlock(void* aHandle);
// A refused unmap raises EInvalidPointer.
void qdUnmapBlock(void* aHandle, void* aAddress);
// Map or unmap 256 handles as one range. Only for physical blocks, which
// this platform never enables: calling them is an assertion failure.
void* qdMapBlockBatch(TqdBlockHandles& aBlocks);
void qdUnmapBlockBatch(TqdBlockHandles& aBlocks, void* aAddress);
// A work buffer of one of the block sizes; out of memory raises.
void* qdBlockPoolAlloc(TqdBlockSize aSizeClass);
// Takes the block out of the variable first; nil is ignored; a refused
// block raises EInvalidPointer.
void qdBlockPoolFreeAndNil(TqdBlockSize aSizeClass, void*& aBlock);
// 64 KB of zeros, read-only.
const void* qdZeroBlock();

// --- Allocator state -------------------------------------------------------------

bool qdPhysicalBlocksEnabled();
bool qdLargePagesEnabled();
// Wakes the release thread to give free memory back and waits for it (at
// most 10 s).
void qdRequestMemoryRelease();
// False: the allocator offers no forced-pressure indication.
bool qdMemoryPressureForced();
// True while the allocator draws on its emergency reserve.
bool qdMemoryPressure();
int32_t qdMemoryManagerAddRef();
int32_t qdMemoryManagerRelease();

// Unit start and end (from the foundation's start-up): make sure the
// allocator runs, then start (stop) its release thread.
void qdllMemoryManagerInitialize();
void qdllMemoryManagerFinalize();

// --- The allocator table and its sharing -------------------------------------------

// The entries an allocator offers to the modules of its process, in this
// order. Every routine gets atContext (the allocator) first.
struct TqdAllocatorTable {
  void* atContext;
  void* (*atGetMem)(void* aContext, size_t aSize);                                  //  1
  int32_t (*atFreeMem)(void* aContext, void* P);                                    //  2 (0 = done)
  void* (*atReallocMem)(void* aContext, void* P, size_t aSize);                     //  3
  void* (*atGetPool)(void* aContext, size_t aItemSize);                             //  4
  size_t (*atGetAllocSize)(void* aContext, void* P);                                //  5 (always 0)
  void (*atStatistics)(void* aContext, TqdMemoryStatistics& aStatistics);           //  6
  void* atCommittedClasses[6];                                                      //  7-12
  const void* atZeroRegion;                                                         // 13
  void* atPhysicalClasses[6];                                                       // 14-19
  void* (*atBlockPoolCommittedAlloc)(void* aContext, void* aClass);                 // 20
  bool (*atBlockPoolCommittedDispose)(void* aContext, void* aClass, void* aBlock);  // 21
  void* (*atBlockPoolPhysicalAlloc)(void* aContext, void* aClass);                  // 22
  bool (*atBlockPoolPhysicalDispose)(void* aContext, void* aClass, void* aBlock);   // 23
  void* (*atMemoryPoolAlloc)(void* aContext, void* aPool);                          // 24
  bool (*atMemoryPoolDispose)(void* aContext, void* aPool, void* aItem);            // 25
  int32_t atPhysicalBlocksEnabled;                                                  // 26 (-1 true)
  int32_t atLargePagesEnabled;                                                      // 27
  void* (*atBlockAlloc)(void* aContext, int32_t aClassIndex);                       // 28
  bool (*atBlockFree)(void* aContext, void* aBlock);                                // 29
  void* (*atMapBlock)(void* aContext, void* aHandle);                               // 30
  bool (*atUnmapBlock)(void* aContext, void* aHandle, void* aAddress);              // 31
  void* atUnused32To35[4];                                                          // 32-35
  int32_t (*atStart)(void* aContext);                                               // 36
  int32_t (*atStop)(void* aContext);                                                // 37
  void* (*atMapBlockBatch)(void* aContext, void** aHandles);                        // 38
  bool (*atUnmapBlockBatch)(void* aContext, void** aHandles, void* aAddress);       // 39
  void (*atRequestMemoryRelease)(void* aContext);                                   // 40
  const int32_t* atCommittedReserveIndicator;                                       // 41
  const int32_t* atPhysicalReserveIndicator;                                        // 42
  bool (*atForcedMemoryPressure)(void* aContext);                                   // 43
  void* atUnused44To47[4];                                                          // 44-47
};

// Stands in for the per-process named mapping through which modules find
// the allocator: a process-global is enough, since every module of this
// system is linked into the one binary (no shared-memory object is needed).
// The protocol is the mapping's: the first module to claim the slot
// publishes its table and then sets the ready flag by a locked exchange;
// the others wait (10 ms steps) until the flag reads 1.
struct TqdSharedAllocatorSlot {
  int32_t ssClaimed;  // 0 until the first module claims the slot
  int32_t ssReady;    // 1 once ssTable is valid
  TqdAllocatorTable* ssTable;
};

TqdSharedAllocatorSlot& qdProcessAllocatorSlot();

// One module's copy of the allocator table and the checked routines over it.
class TqdMemoryManagerModule {
 public:
  constexpr TqdMemoryManagerModule() = default;
  TqdMemoryManagerModule(const TqdMemoryManagerModule&) = delete;
  TqdMemoryManagerModule& operator=(const TqdMemoryManagerModule&) = delete;

  // The module's start: publishes aOwnAllocator's table through the slot
  // when no module has done so, else waits for the published one; copies the
  // table and takes one start of the shared allocator. Later starts only
  // count.
  void Start(TqdSharedAllocatorSlot& aSlot, TqdMemoryManagerImpl& aOwnAllocator);
  // The last stop gives the module's start of the allocator back.
  void Stop();
  bool Ready() const { return __atomic_load_n(&mmReady, __ATOMIC_ACQUIRE) != 0; }
  bool Published() const { return mmPublished; }
  const TqdAllocatorTable& Table() const { return mmTable; }

  // Size 0 gives nil; out of memory raises.
  void* GetMem(size_t aSize) {
    if (aSize == 0) return nullptr;
    void* P = mmTable.atGetMem(mmTable.atContext, aSize);
    if (P == nullptr) RaiseOutOfMemory();
    return P;
  }
  // nil is ignored; a refused pointer raises.
  void FreeMem(void* P) {
    if (P != nullptr && mmTable.atFreeMem(mmTable.atContext, P) != 0) RaiseInvalidPointer();
  }
  void ReallocMem(void*& P, size_t aNewSize);
  void* GetPool(size_t aItemSize);
  void* PoolAlloc(void* aPool);
  void PoolDispose(void* aPool, void* P);
  void* AllocBlock(int32_t aSizeClass);
  void AllocBlockBatch(int32_t aSizeClass, TqdBlockHandles& aBlocks);
  void FreeBlock(void* aHandle);
  void* MapBlock(void* aHandle);
  void UnmapBlock(void* aHandle, void* aAddress);
  void* BlockPoolAlloc(int32_t aSizeClass);
  void BlockPoolFree(int32_t aSizeClass, void* aBlock);
  bool MemoryPressure() const;
  bool MemoryPressureForced();
  void RequestMemoryRelease();

 private:
  [[noreturn]] static void RaiseOutOfMemory();
  [[noreturn]] static void RaiseInvalidPointer();

  TqdAllocatorTable mmTable{};
  TqdSharedAllocatorSlot* mmSlot = nullptr;  // the slot this module published in
  int32_t mmReady = 0;
  int32_t mmStartCount = 0;
  bool mmPublished = false;
};

// --- Object bases ------------------------------------------------------------------

// Base of engine classes: instances are taken from the engine allocator.
class TqdObject {
 public:
  TqdObject() = default;
  TqdObject(const TqdObject&) = delete;
  TqdObject& operator=(const TqdObject&) = delete;
  virtual ~TqdObject() = default;

  // Called by qdCreate once the constructors have run.
  virtual void AfterConstruction() {}
  // Called by qdFreeAndNil (and a reference-counted object's last release)
  // before the destructors run; an exception here keeps the object alive.
  virtual void BeforeDestruction() {}

  static void* operator new(size_t aSize);
  static void operator delete(void* P) noexcept;
};

// Constructs a T and runs its AfterConstruction.
template <typename T, typename... TArgs>
T* qdCreate(TArgs&&... aArgs) {
  T* object = new T(std::forward<TArgs>(aArgs)...);
  try {
    object->AfterConstruction();
  } catch (...) {
    delete object;
    throw;
  }
  return object;
}

// Takes the object out of the variable (nil before the destructor runs),
// then destroys it; nil is ignored. Engine objects get BeforeDestruction
// first.
template <typename T>
inline void qdFreeAndNil(T*& aObject) {
  T* object = qdInterlockedExchangePointer(aObject, static_cast<T*>(nullptr));
  if (object == nullptr) return;
  if constexpr (std::is_base_of_v<TqdObject, T>) object->BeforeDestruction();
  delete object;
}

// The reference-counting operations every interface starts with.
class IqdInterface {
 public:
  // Both return the new count.
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;

 protected:
  ~IqdInterface() = default;
};

// An intrusive reference: AddRef when taken, Release when dropped.
template <typename T>
class TqdRef {
 public:
  TqdRef() noexcept = default;
  TqdRef(std::nullptr_t) noexcept {}  // NOLINT: nil converts implicitly
  explicit TqdRef(T* aObject) noexcept : fObject(aObject) {
    if (fObject != nullptr) fObject->AddRef();
  }
  TqdRef(const TqdRef& aOther) noexcept : TqdRef(aOther.fObject) {}
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TqdRef(const TqdRef<U>& aOther) noexcept : TqdRef(static_cast<T*>(aOther.Get())) {}  // NOLINT
  TqdRef(TqdRef&& aOther) noexcept : fObject(std::exchange(aOther.fObject, nullptr)) {}
  ~TqdRef() {
    if (fObject != nullptr) fObject->Release();
  }

  TqdRef& operator=(const TqdRef& aOther) {
    TqdRef(aOther).Swap(*this);
    return *this;
  }
  TqdRef& operator=(TqdRef&& aOther) noexcept {
    TqdRef(std::move(aOther)).Swap(*this);
    return *this;
  }
  TqdRef& operator=(std::nullptr_t) {
    TqdRef().Swap(*this);
    return *this;
  }

  // Takes over a reference the caller already holds (no AddRef).
  static TqdRef Adopt(T* aObject) noexcept {
    TqdRef ref;
    ref.fObject = aObject;
    return ref;
  }
  // Gives the reference up to the caller (no Release), by a locked exchange.
  T* Detach() noexcept { return qdInterlockedExchangePointer(fObject, static_cast<T*>(nullptr)); }

  T* Get() const noexcept { return fObject; }
  T* operator->() const noexcept { return fObject; }
  T& operator*() const noexcept { return *fObject; }
  explicit operator bool() const noexcept { return fObject != nullptr; }
  void Swap(TqdRef& aOther) noexcept { std::swap(fObject, aOther.fObject); }

 private:
  T* fObject = nullptr;
};

template <typename T, typename U>
bool operator==(const TqdRef<T>& aLeft, const TqdRef<U>& aRight) {
  return aLeft.Get() == aRight.Get();
}

template <typename T>
bool operator==(const TqdRef<T>& aLeft, std::nullptr_t) {
  return aLeft.Get() == nullptr;
}

// Takes the reference out of the variable by a locked exchange, then
// releases it.
template <typename T>
inline void qdReleaseAndNil(TqdRef<T>& aRef) {
  if (T* object = aRef.Detach()) object->Release();
}

// Reference-counted engine object. A keep-alive object survives its count
// reaching 0 and is destroyed by Free once no reference remains.
class TqdInterfacedObject : public TqdObject, public virtual IqdInterface {
 public:
  explicit TqdInterfacedObject(bool aKeepAlive = false);

  int32_t AddRef() override;
  // Destroys the object when the count reaches 0 and it is not kept alive.
  int32_t Release() override;
  // Holds a reference for the duration; a keep-alive object runs
  // BeforeKeepAliveFree and loses the mark; dropping the held reference
  // then destroys the object when no other reference remains.
  void Free();

  int32_t RefCount() const { return qdAtomicLoad(ioRefCount); }
  bool KeepAlive() const { return __atomic_load_n(&ioKeepAlive, __ATOMIC_ACQUIRE); }

  void AfterConstruction() override;
  // A count other than 0 raises EInvalidPointer (the object stays).
  void BeforeDestruction() override;

 protected:
  virtual void BeforeKeepAliveFree() {}

  // Created through qdCreate / qdMakeRef only, so the count is right.
  static void* operator new(size_t aSize) { return TqdObject::operator new(aSize); }
  template <typename T, typename... TArgs>
  friend T* qdCreate(TArgs&&... aArgs);

 private:
  int32_t ioRefCount = 1;
  int32_t ioReleased = 0;
  bool ioKeepAlive;
};

// Creates a reference-counted object and returns the first reference.
template <typename T, typename... TArgs>
TqdRef<T> qdMakeRef(TArgs&&... aArgs) {
  return TqdRef<T>(qdCreate<T>(std::forward<TArgs>(aArgs)...));
}

// What holders of a tracked object keep: whether it still exists.
class IqdLifetimeMonitorRef : public virtual IqdInterface {
 public:
  virtual bool IsAlive() = 0;

 protected:
  ~IqdLifetimeMonitorRef() = default;
};

// What the tracked object keeps. Its reference counting is its own: its
// references are also counted apart, as references held by the object.
class IqdLifetimeMonitorObject {
 public:
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;
  virtual void Dead() = 0;

 protected:
  ~IqdLifetimeMonitorObject() = default;
};

// Routes the object-side interface's counting to operations of their own,
// so they can differ from the shared ones.
class TqdLifetimeMonitorObjectSide : public IqdLifetimeMonitorObject {
 public:
  int32_t AddRef() final { return ObjectAddRef(); }
  int32_t Release() final { return ObjectRelease(); }

 protected:
  ~TqdLifetimeMonitorObjectSide() = default;
  virtual int32_t ObjectAddRef() = 0;
  virtual int32_t ObjectRelease() = 0;
};

class TqdLifetimeMonitor : public TqdInterfacedObject,
                           public IqdLifetimeMonitorRef,
                           public TqdLifetimeMonitorObjectSide {
 public:
  TqdLifetimeMonitor();
  // True while the object lives and holds its reference.
  bool IsAlive() override;
  void Dead() override;

 protected:
  int32_t ObjectAddRef() override;
  int32_t ObjectRelease() override;

 private:
  int32_t ltmObjectRefCount = 0;
  bool ltmIsDead = false;
};

// An object whose holders can ask, through a monitor, whether it still
// exists. The monitor turns dead as soon as destruction starts.
class TqdLifetimeTrackedObject : public TqdObject {
 public:
  TqdLifetimeTrackedObject() = default;
  ~TqdLifetimeTrackedObject() override;

  // The object's monitor, created on first use.
  TqdRef<IqdLifetimeMonitorRef> GetLifetimeMonitor();
  void BeforeDestruction() override;

 private:
  void MarkDead();

  IqdLifetimeMonitorObject* ltoLifetimeMonitor = nullptr;
};

}  // namespace qd
