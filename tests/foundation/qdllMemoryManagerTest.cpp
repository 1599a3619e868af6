#include "foundation/qdllMemoryManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "foundation/qdllMemoryManagerImpl.h"
#include "platform/qdSysUtils.h"
#include "qdmmFaultMemory.h"

namespace qd {
namespace {

using namespace std::chrono_literals;

// Tests that look inside the engine allocator (pools, double frees) cannot
// run where every allocation goes to the system allocator.
#if QD_SYSTEM_ALLOCATOR
#define QD_SKIP_ON_SYSTEM_ALLOCATOR() GTEST_SKIP() << "the system allocator serves this build"
#else
#define QD_SKIP_ON_SYSTEM_ALLOCATOR() (void)0
#endif

size_t itemSizeOf(void* P) {
  auto* pool = qdProcessMemoryManager().Items().PoolOfItem(P);
  return pool == nullptr ? 0 : pool->ItemSize();
}

void fill(void* P, size_t aSize, uint8_t aSeed) {
  auto* bytes = static_cast<uint8_t*>(P);
  for (size_t i = 0; i < aSize; ++i) bytes[i] = static_cast<uint8_t>(aSeed ^ (i * 13));
}

bool holds(const void* P, size_t aSize, uint8_t aSeed) {
  const auto* bytes = static_cast<const uint8_t*>(P);
  for (size_t i = 0; i < aSize; ++i) {
    if (bytes[i] != static_cast<uint8_t>(aSeed ^ (i * 13))) return false;
  }
  return true;
}

// --- Checked routines of the process's allocator ------------------------------

TEST(MemoryManagerTest, RequestsLandInTheirPools) {
  QD_SKIP_ON_SYSTEM_ALLOCATOR();
  const size_t cases[][2] = {{3, 4}, {4, 8}, {40, 48}, {64, 96}, {128, 128}, {32735, 32736}, {32736, 0}};
  for (const auto& c : cases) {
    void* P = qdGetMemPtr(c[0]);
    std::memset(P, 1, c[0]);
    EXPECT_EQ(itemSizeOf(P), c[1]) << "request of " << c[0];
    if (c[1] == 0) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(P) % 65536, 0u) << "a large block";
    }
    qdFreeMem(P);
  }
}

TEST(MemoryManagerTest, ReallocationFollowsTheItemRules) {
  QD_SKIP_ON_SYSTEM_ALLOCATOR();
  void* P = qdGetMemPtr(100);
  ASSERT_EQ(itemSizeOf(P), 128u);
  fill(P, 100, 4);
  void* same = P;
  qdReallocMem(P, 90);
  EXPECT_EQ(P, same);
  qdReallocMem(P, 3);
  EXPECT_NE(P, same);
  EXPECT_EQ(itemSizeOf(P), 4u);
  EXPECT_TRUE(holds(P, 3, 4));
  qdFreeMem(P);

  void* Q = qdGetMemPtr(40);
  ASSERT_EQ(itemSizeOf(Q), 48u);
  fill(Q, 40, 6);
  qdReallocMem(Q, 50);  // asks for 400 bytes
  EXPECT_EQ(itemSizeOf(Q), 416u);
  EXPECT_TRUE(holds(Q, 40, 6));
  qdFreeMem(Q);
}

TEST(MemoryManagerTest, RefusedPointersRaiseInvalidPointer) {
  QD_SKIP_ON_SYSTEM_ALLOCATOR();
  void* P = qdGetMemPtr(30);
  qdFreeMem(P);
  EXPECT_THROW(qdFreeMem(P), EInvalidPointer);
  int local = 0;
  EXPECT_THROW(qdFreeMem(&local), EInvalidPointer);
  void* R = P;
  EXPECT_THROW(qdReallocMem(R, 100), EInvalidPointer);

  TqdMemoryPool pool = qdGetMemoryPool(64);
  void* item = pool.Alloc();
  pool.DisposeDirect(item);
  EXPECT_THROW(pool.DisposeDirect(item), EInvalidPointer);

  void* block = qdAllocBlock(qdbs16k);
  qdFreeBlock(block);
  EXPECT_THROW(qdFreeBlock(block), EInvalidPointer);
  EXPECT_THROW(qdFreeBlock(&local), EInvalidPointer);
}

TEST(MemoryManagerTest, AFreeInAnotherThreadIsSeenByTheNextFree) {
  QD_SKIP_ON_SYSTEM_ALLOCATOR();
  // Freed by a thread with a cache of its own, and by one that never
  // allocated (and so has none): either way the item is no longer live.
  for (bool warmUp : {true, false}) {
    void* P = qdGetMemPtr(72);
    std::thread other([P, warmUp] {
      if (warmUp) qdFreeMem(qdGetMemPtr(72));
      qdFreeMem(P);
    });
    other.join();
    EXPECT_THROW(qdFreeMem(P), EInvalidPointer) << (warmUp ? "cached there" : "returned to its block");
    void* R = P;
    EXPECT_THROW(qdReallocMem(R, 10), EInvalidPointer);
  }
}

TEST(MemoryManagerTest, ReallocOfNilAndToZero) {
  void* P = nullptr;
  qdReallocMem(P, 0);
  EXPECT_EQ(P, nullptr);
  qdReallocMem(P, 10);
  ASSERT_NE(P, nullptr);
  fill(P, 10, 1);
  qdReallocMem(P, 5000);
  EXPECT_TRUE(holds(P, 10, 1));
  qdReallocMem(P, 0);
  EXPECT_EQ(P, nullptr);

  void* Q = nullptr;
  qdGetMem(Q, 0);
  EXPECT_EQ(Q, nullptr);
  qdFreeMem(nullptr);
}

TEST(MemoryManagerTest, FailedAllocationsRaiseOutOfMemory) {
  QD_SKIP_ON_SYSTEM_ALLOCATOR();  // the sanitizer's allocator stops the program instead
  void* P = nullptr;
  EXPECT_THROW(qdGetMem(P, size_t{1} << 62), std::bad_alloc);
  EXPECT_EQ(P, nullptr);
  void* Q = qdGetMemPtr(64);
  void* before = Q;
  EXPECT_THROW(qdReallocMem(Q, size_t{1} << 62), std::bad_alloc);
  EXPECT_EQ(Q, before) << "the variable stays as it was";
  qdFreeMem(Q);
}

TEST(MemoryManagerTest, ZeroedAllocationsAreZero) {
  for (size_t size : {size_t{24}, size_t{300}, size_t{40000}}) {
    void* dirty = qdGetMemPtr(size);
    std::memset(dirty, 0xEE, size);
    qdFreeMem(dirty);
    auto* clean = static_cast<uint8_t*>(qdAllocMem(size));
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(clean[i], 0) << "size " << size << " byte " << i;
    qdFreeMem(clean);
    void* zeroed = nullptr;
    qdGetMemZeroed(zeroed, size);
    EXPECT_EQ(static_cast<uint8_t*>(zeroed)[size - 1], 0);
    qdFreeMemAndNil(zeroed);
    EXPECT_EQ(zeroed, nullptr);
  }
}

TEST(MemoryManagerTest, PoolHandles) {
  TqdMemoryPool pool = qdGetMemoryPool(20);
  EXPECT_EQ(pool.ItemSize(), 24u);
  void* item = pool.Alloc();
  std::memset(item, 7, 20);
  pool.Dispose(item);
  EXPECT_EQ(item, nullptr);
  pool.Dispose(item);  // nil is ignored
  pool.DisposeDirect(nullptr);
  uint64_t* typed = static_cast<uint64_t*>(pool.Alloc());
  pool.Dispose(typed);
  EXPECT_EQ(typed, nullptr);
}

TEST(MemoryManagerTest, BlockRoutines) {
  const TqdBlockSize classes[] = {qdbs4k, qdbs8k, qdbs16k, qdbs32k, qdbs64k, qdbs4m};
  for (TqdBlockSize sizeClass : classes) {
    const size_t size = sizeClass == qdbs4m ? size_t{4194304} : size_t{4096} << sizeClass;
    void* handle = qdAllocBlock(sizeClass);
    void* block = qdMapBlock(handle);
    EXPECT_EQ(block, handle);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % size, 0u);
    std::memset(block, 0x21, size);
    qdUnmapBlock(handle, block);
    qdFreeBlock(handle);

    void* work = qdBlockPoolAlloc(sizeClass);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(work) % size, 0u);
    qdBlockPoolFreeAndNil(sizeClass, work);
    EXPECT_EQ(work, nullptr);
    qdBlockPoolFreeAndNil(sizeClass, work);  // nil is ignored
  }
  int local = 0;
  EXPECT_THROW(qdUnmapBlock(&local, nullptr), EInvalidPointer);
  EXPECT_THROW(qdMapBlock(nullptr), std::bad_alloc);

  TqdBlockHandles handles{};
  qdAllocBlockBatch(qdbs64k, handles);
  std::set<void*> distinct(handles.begin(), handles.end());
  EXPECT_EQ(distinct.size(), handles.size());
  for (void* handle : handles) qdFreeBlock(handle);
  EXPECT_THROW(qdMapBlockBatch(handles), EAssertionFailed);

  const auto* zeros = static_cast<const uint8_t*>(qdZeroBlock());
  for (size_t i = 0; i < 65536; ++i) ASSERT_EQ(zeros[i], 0);
  EXPECT_FALSE(qdPhysicalBlocksEnabled());
  EXPECT_FALSE(qdLargePagesEnabled());
  EXPECT_FALSE(qdMemoryPressure());
  EXPECT_FALSE(qdMemoryPressureForced());
}

TEST(MemoryManagerTest, AThreadsCachedItemsGoBackWhenItEnds) {
  QD_SKIP_ON_SYSTEM_ALLOCATOR();
  TqdItemManager& items = qdProcessMemoryManager().Items();
  const int64_t before = items.Statistics().msItemBytesInUse;
  int64_t during = 0;
  std::thread worker([&] {
    std::vector<void*> held;
    for (int32_t i = 0; i < 50; ++i) held.push_back(qdGetMemPtr(24));
    for (void* P : held) qdFreeMem(P);
    during = items.Statistics().msItemBytesInUse;
  });
  worker.join();
  EXPECT_GT(during, before) << "the freed items wait in the thread's cache";
  EXPECT_EQ(items.Statistics().msItemBytesInUse, before);
}

TEST(MemoryManagerStressTest, FourThreadsKeepTheirContent) {
  std::atomic<int32_t> faults{0};
  std::vector<std::thread> threads;
  for (int32_t t = 0; t < 4; ++t) {
    threads.emplace_back([t, &faults] {
      std::mt19937 random(static_cast<uint32_t>(t) + 17u);
      struct Held {
        void* fPointer = nullptr;
        size_t fSize = 0;
        uint8_t fSeed = 0;
      };
      std::vector<Held> held(512);
      for (int32_t round = 0; round < 60000; ++round) {
        Held& slot = held[random() % held.size()];
        if (slot.fPointer != nullptr) {
          if (!holds(slot.fPointer, slot.fSize, slot.fSeed)) ++faults;
          if (round % 7 == 0) {
            const size_t size = 1 + random() % (round % 211 == 0 ? 90000 : 400);
            qdReallocMem(slot.fPointer, size);
            if (!holds(slot.fPointer, std::min(size, slot.fSize), slot.fSeed)) ++faults;
            slot.fSize = size;
            fill(slot.fPointer, size, slot.fSeed);
            continue;
          }
          qdFreeMemAndNil(slot.fPointer);
        }
        slot.fSize = 8 + random() % (round % 173 == 0 ? 50000 : 249);
        slot.fSeed = static_cast<uint8_t>(random());
        slot.fPointer = qdGetMemPtr(slot.fSize);
        fill(slot.fPointer, slot.fSize, slot.fSeed);
      }
      for (Held& slot : held) {
        if (slot.fPointer != nullptr && !holds(slot.fPointer, slot.fSize, slot.fSeed)) ++faults;
        qdFreeMem(slot.fPointer);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(faults, 0);
}

// --- Modules sharing one allocator ------------------------------------------------------

TEST(MemoryManagerModuleTest, TwoModulesShareThePublishedAllocator) {
  TqdFaultVirtualMemory memoryA, memoryB;
  TqdMemoryManagerImpl first(memoryA), second(memoryB);
  TqdSharedAllocatorSlot slot{};
  TqdMemoryManagerModule a, b;
  a.Start(slot, first);
  b.Start(slot, second);
  EXPECT_TRUE(a.Published());
  EXPECT_FALSE(b.Published());
  EXPECT_FALSE(second.Running()) << "the second module's own allocator is never started";
  EXPECT_EQ(b.Table().atContext, &first);

  void* P = a.GetMem(100);
  b.FreeMem(P);
  EXPECT_THROW(a.FreeMem(P), EInvalidPointer);
  EXPECT_EQ(first.Start(), 3) << "one start per module, and this one";
  EXPECT_EQ(first.Stop(), 2);

  a.Start(slot, first);  // later starts only count
  a.Stop();
  a.Stop();
  EXPECT_TRUE(first.Running()) << "the second module still uses it";
  EXPECT_EQ(slot.ssClaimed, 0) << "the publisher's going frees the slot";
  b.Stop();
  EXPECT_FALSE(first.Running());
}

TEST(MemoryManagerModuleTest, ALaterModuleWaitsForTheReadyFlag) {
  TqdFaultVirtualMemory memoryA, memoryB;
  TqdMemoryManagerImpl publisher(memoryA), own(memoryB);
  TqdSharedAllocatorSlot slot{};
  slot.ssClaimed = 1;  // another module is still publishing
  TqdMemoryManagerModule module;
  std::atomic<bool> started{false};
  std::thread starter([&] {
    module.Start(slot, own);
    started = true;
  });
  std::this_thread::sleep_for(60ms);
  EXPECT_FALSE(started);
  EXPECT_FALSE(module.Ready());
  publisher.Start();
  __atomic_store_n(&slot.ssTable, &publisher.Table(), __ATOMIC_RELEASE);
  qdInterlockedExchange(slot.ssReady, 1);
  starter.join();
  EXPECT_TRUE(started);
  EXPECT_TRUE(module.Ready());
  EXPECT_EQ(module.Table().atContext, &publisher);
  EXPECT_FALSE(own.Running());
  module.Stop();
  EXPECT_EQ(publisher.Stop(), 0);
}

class MemoryManagerModuleFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { fModule.Start(fSlot, fImpl); }
  void TearDown() override { fModule.Stop(); }

  TqdFaultVirtualMemory fMemory;
  TqdMemoryManagerImpl fImpl{fMemory};
  TqdSharedAllocatorSlot fSlot{};
  TqdMemoryManagerModule fModule;
};

TEST_F(MemoryManagerModuleFaultTest, APartialBlockBatchIsGivenBack) {
  fMemory.fReservesLeft = 3;  // a few more chunks, then the system refuses
  TqdBlockHandles blocks{};
  EXPECT_THROW(fModule.AllocBlockBatch(qdbs4m, blocks), std::bad_alloc);
  for (void* block : blocks) EXPECT_EQ(block, nullptr);
  EXPECT_FALSE(fModule.MemoryPressure()) << "the reserve was refilled first";
  EXPECT_EQ(fImpl.Chunks().ReserveLeft(), qdEmergencyChunks);
  EXPECT_GE(fImpl.Chunks().SpareCount(), 1);
  EXPECT_EQ(fImpl.Chunks().SpareCount(), fImpl.Chunks().BoundCount() - qdEmergencyChunks);
}

TEST_F(MemoryManagerModuleFaultTest, PressureLastsUntilAChunkIsReturned) {
  void* ordinary = fModule.AllocBlock(qdbs4m);
  fMemory.fFailReserve = true;
  void* emergency = fModule.AllocBlock(qdbs4m);
  EXPECT_TRUE(fModule.MemoryPressure());
  void* item = fModule.GetMem(1000);  // a pool block from the reserve as well
  EXPECT_TRUE(fModule.MemoryPressure());
  fModule.FreeBlock(ordinary);
  EXPECT_TRUE(fModule.MemoryPressure()) << "two emergency chunks were in use";
  fModule.FreeBlock(emergency);
  EXPECT_FALSE(fModule.MemoryPressure());
  fModule.FreeMem(item);
}

TEST_F(MemoryManagerModuleFaultTest, AFailedReallocationLeavesTheVariable) {
  void* P = fModule.GetMem(100000);
  void* before = P;
  fMemory.fFailMapping = true;
  fMemory.fFailReserve = true;
  EXPECT_THROW(fModule.ReallocMem(P, 900000), std::bad_alloc);
  EXPECT_EQ(P, before);
  EXPECT_THROW(fModule.GetMem(900000), std::bad_alloc);
  fModule.FreeMem(P);
}

// --- Object bases ----------------------------------------------------------------------------

struct TqdWatchedObject : public TqdObject {
  static TqdWatchedObject* sVariable;
  static bool sVariableWasNil;
  ~TqdWatchedObject() override { sVariableWasNil = sVariable == nullptr; }
};
TqdWatchedObject* TqdWatchedObject::sVariable = nullptr;
bool TqdWatchedObject::sVariableWasNil = false;

TEST(ObjectBaseTest, FreeAndNilClearsTheVariableBeforeTheDestructor) {
  TqdWatchedObject::sVariable = new TqdWatchedObject;
  qdFreeAndNil(TqdWatchedObject::sVariable);
  EXPECT_TRUE(TqdWatchedObject::sVariableWasNil);
  EXPECT_EQ(TqdWatchedObject::sVariable, nullptr);
  qdFreeAndNil(TqdWatchedObject::sVariable);  // nil is ignored
}

class TqdCounted : public TqdInterfacedObject {
 public:
  TqdCounted(bool aKeepAlive, int32_t* aDestroyed) : TqdInterfacedObject(aKeepAlive), fDestroyed(aDestroyed) {
    fCountWhileConstructing = RefCount();
    TqdRef<TqdCounted> self(this);  // a reference taken and dropped inside the constructor
  }
  ~TqdCounted() override { ++*fDestroyed; }

  int32_t fCountWhileConstructing = -1;
  int32_t fKeepAliveFrees = 0;

 protected:
  void BeforeKeepAliveFree() override { ++fKeepAliveFrees; }

 private:
  int32_t* fDestroyed;
};

TEST(InterfacedObjectTest, TheCountIsOneWhileConstructingAndFollowsReferences) {
  int32_t destroyed = 0;
  TqdCounted* raw = nullptr;
  {
    TqdRef<TqdCounted> ref = qdMakeRef<TqdCounted>(false, &destroyed);
    raw = ref.Get();
    EXPECT_EQ(raw->fCountWhileConstructing, 1);
    EXPECT_EQ(destroyed, 0) << "the constructor's own reference did not destroy it";
    EXPECT_EQ(raw->RefCount(), 1);
    TqdRef<IqdInterface> other(ref);
    EXPECT_EQ(raw->RefCount(), 2);
  }
  EXPECT_EQ(destroyed, 1);

  TqdCounted* unreferenced = qdCreate<TqdCounted>(false, &destroyed);
  EXPECT_EQ(unreferenced->RefCount(), 0);
  qdFreeAndNil(unreferenced);
  EXPECT_EQ(destroyed, 2);
}

class IqdGreeter : public virtual IqdInterface {
 public:
  virtual int32_t Greet() = 0;

 protected:
  ~IqdGreeter() = default;
};

class TqdGreeter : public TqdInterfacedObject, public IqdGreeter {
 public:
  explicit TqdGreeter(int32_t* aDestroyed) : fDestroyed(aDestroyed) {}
  ~TqdGreeter() override { ++*fDestroyed; }
  int32_t Greet() override { return RefCount(); }

 private:
  int32_t* fDestroyed;
};

TEST(InterfacedObjectTest, InterfacesShareTheObjectsCount) {
  int32_t destroyed = 0;
  TqdRef<IqdGreeter> greeter(qdCreate<TqdGreeter>(&destroyed));
  EXPECT_EQ(greeter->Greet(), 1);
  {
    TqdRef<IqdInterface> plain(greeter);
    TqdRef<IqdGreeter> copy = greeter;
    EXPECT_EQ(greeter->Greet(), 3);
  }
  EXPECT_EQ(greeter->Greet(), 1);
  TqdRef<IqdGreeter> moved = std::move(greeter);
  EXPECT_TRUE(greeter == nullptr);
  EXPECT_EQ(destroyed, 0);
  moved = nullptr;
  EXPECT_EQ(destroyed, 1);
}

TEST(InterfacedObjectTest, AKeepAliveObjectSurvivesZeroUntilFree) {
  int32_t destroyed = 0;
  TqdCounted* object = nullptr;
  {
    TqdRef<TqdCounted> ref = qdMakeRef<TqdCounted>(true, &destroyed);
    object = ref.Get();
  }
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(object->RefCount(), 0);
  object->Free();
  EXPECT_EQ(destroyed, 1);

  // Free while another reference is held: destroyed when that one goes.
  TqdRef<TqdCounted> held = qdMakeRef<TqdCounted>(true, &destroyed);
  held->Free();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(held->fKeepAliveFrees, 1);
  EXPECT_FALSE(held->KeepAlive());
  held = nullptr;
  EXPECT_EQ(destroyed, 2);

  TqdCounted* plain = qdCreate<TqdCounted>(false, &destroyed);
  plain->Free();
  EXPECT_EQ(destroyed, 3);
}

TEST(InterfacedObjectTest, DestroyingAReferencedObjectIsRefused) {
  int32_t destroyed = 0;
  TqdRef<TqdCounted> ref = qdMakeRef<TqdCounted>(false, &destroyed);
  TqdCounted* variable = ref.Get();
  EXPECT_THROW(qdFreeAndNil(variable), EInvalidPointer);
  EXPECT_EQ(variable, nullptr);
  EXPECT_EQ(destroyed, 0);
  ref = nullptr;
  EXPECT_EQ(destroyed, 1);
}

TqdRef<IqdInterface> gReleasedVariable;
bool gVariableWasNilAtRelease = false;

class TqdReleaseWatcher : public TqdInterfacedObject {
 public:
  ~TqdReleaseWatcher() override { gVariableWasNilAtRelease = gReleasedVariable.Get() == nullptr; }
};

TEST(InterfacedObjectTest, ReleaseAndNilClearsTheVariableFirst) {
  gReleasedVariable = TqdRef<IqdInterface>(qdCreate<TqdReleaseWatcher>());
  qdReleaseAndNil(gReleasedVariable);
  EXPECT_TRUE(gVariableWasNilAtRelease);
  EXPECT_TRUE(gReleasedVariable == nullptr);
  qdReleaseAndNil(gReleasedVariable);  // nil is ignored
}

class TqdTracked : public TqdLifetimeTrackedObject {
 public:
  ~TqdTracked() override {
    if (fWatch != nullptr) fAliveInDestructor = (*fWatch)->IsAlive();
  }
  TqdRef<IqdLifetimeMonitorRef>* fWatch = nullptr;
  static bool fAliveInDestructor;
};
bool TqdTracked::fAliveInDestructor = true;

TEST(LifetimeMonitorTest, IsAliveTurnsFalseAsSoonAsDestructionStarts) {
  auto* object = new TqdTracked;
  TqdRef<IqdLifetimeMonitorRef> monitor = object->GetLifetimeMonitor();
  EXPECT_TRUE(monitor->IsAlive());
  EXPECT_EQ(object->GetLifetimeMonitor(), monitor) << "one monitor per object";
  object->fWatch = &monitor;
  TqdTracked::fAliveInDestructor = true;
  qdFreeAndNil(object);
  EXPECT_FALSE(TqdTracked::fAliveInDestructor);
  EXPECT_FALSE(monitor->IsAlive()) << "the monitor outlives its object";
}

TEST(LifetimeMonitorTest, APlainDeleteAlsoEndsTheObjectsLife) {
  auto* object = new TqdTracked;
  TqdRef<IqdLifetimeMonitorRef> monitor = object->GetLifetimeMonitor();
  delete object;
  EXPECT_FALSE(monitor->IsAlive());
  delete new TqdTracked;  // never asked for a monitor
}

TEST(LifetimeMonitorTest, ConcurrentFirstRequestsShareOneMonitor) {
  for (int32_t round = 0; round < 50; ++round) {
    auto* object = new TqdTracked;
    std::vector<TqdRef<IqdLifetimeMonitorRef>> monitors(4);
    std::vector<std::thread> threads;
    for (auto& monitor : monitors) threads.emplace_back([&monitor, object] { monitor = object->GetLifetimeMonitor(); });
    for (auto& thread : threads) thread.join();
    for (auto& monitor : monitors) EXPECT_EQ(monitor, monitors[0]);
    qdFreeAndNil(object);
    for (auto& monitor : monitors) EXPECT_FALSE(monitor->IsAlive());
  }
}

}  // namespace
}  // namespace qd
