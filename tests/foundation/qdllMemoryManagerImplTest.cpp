#include "foundation/qdllMemoryManagerImpl.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "platform/qdSysUtils.h"
#include "qdmmFaultMemory.h"

namespace qd {
namespace {

using namespace std::chrono_literals;

// A private allocator (not the process's) on a fault-injecting memory layer.
class AllocatorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(fImpl.Start(), 1); }
  void TearDown() override {
    if (fImpl.Running()) fImpl.Stop();
  }

  TqdAllocatorTable& Table() { return fImpl.Table(); }
  void* Context() { return Table().atContext; }

  TqdFaultVirtualMemory fMemory;
  TqdMemoryManagerImpl fImpl{fMemory};
};

TEST_F(AllocatorTest, TheTableOffersThePlainEntries) {
  TqdAllocatorTable& table = Table();
  EXPECT_FALSE(fImpl.HookActive());
  EXPECT_EQ(table.atPhysicalBlocksEnabled, 0);
  EXPECT_EQ(table.atLargePagesEnabled, 0);
  EXPECT_EQ(table.atMapBlockBatch, nullptr);
  EXPECT_EQ(table.atUnmapBlockBatch, nullptr);
  EXPECT_EQ(table.atForcedMemoryPressure, nullptr);
  const size_t poolSizes[][2] = {{1, 8}, {8, 8}, {9, 16}, {20, 24}, {0, 0}};
  for (const auto& sizes : poolSizes) {
    EXPECT_EQ(reinterpret_cast<size_t>(table.atGetPool(Context(), sizes[0])), sizes[1]) << sizes[0];
  }
  void* P = table.atGetMem(Context(), 10);
  EXPECT_EQ(table.atGetAllocSize(Context(), P), 0u);
  EXPECT_EQ(table.atFreeMem(Context(), P), 0);
  EXPECT_NE(table.atFreeMem(Context(), P), 0);

  int local = 0;
  EXPECT_EQ(table.atMapBlock(Context(), &local), &local);
  EXPECT_TRUE(table.atUnmapBlock(Context(), &local, &local));
  EXPECT_FALSE(table.atUnmapBlock(Context(), &local, nullptr));

  const auto* zeros = static_cast<const uint8_t*>(table.atZeroRegion);
  ASSERT_NE(zeros, nullptr);
  for (size_t i = 0; i < 65536; i += 4093) EXPECT_EQ(zeros[i], 0);
  EXPECT_EQ(*table.atCommittedReserveIndicator, 0);
  EXPECT_EQ(*table.atPhysicalReserveIndicator, 0);

  TqdMemoryStatistics statistics{};
  table.atStatistics(Context(), statistics);
  EXPECT_EQ(statistics.msItemBytesInUse, 0);
}

TEST_F(AllocatorTest, BlockEntries) {
  TqdAllocatorTable& table = Table();
  for (int32_t i = 0; i < qdBlockClassCount; ++i) {
    void* block = table.atBlockAlloc(Context(), i);
    ASSERT_NE(block, nullptr);
    const size_t size = i == 5 ? qdChunkSize : size_t{4096} << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % size, 0u) << "class " << i;
    std::memset(block, 0x11, size);
    EXPECT_FALSE(table.atBlockFree(Context(), static_cast<uint8_t*>(block) + 8)) << "not 4 KB aligned";
    EXPECT_TRUE(table.atBlockFree(Context(), block)) << "class " << i;
    EXPECT_FALSE(table.atBlockFree(Context(), block)) << "class " << i;
  }
  EXPECT_EQ(table.atBlockAlloc(Context(), 6), nullptr);

  // Class handles: committed ones work, physical ones never have a block.
  void* block = table.atBlockPoolCommittedAlloc(Context(), table.atCommittedClasses[2]);
  ASSERT_NE(block, nullptr);
  EXPECT_FALSE(table.atBlockPoolCommittedDispose(Context(), table.atCommittedClasses[1], block));
  EXPECT_TRUE(table.atBlockPoolCommittedDispose(Context(), table.atCommittedClasses[2], block));
  int local = 0;
  EXPECT_EQ(table.atBlockPoolCommittedAlloc(Context(), &local), nullptr) << "not a class handle";
  EXPECT_EQ(table.atBlockPoolPhysicalAlloc(Context(), table.atPhysicalClasses[0]), nullptr);

  // A pool's block cannot be freed as a block.
  void* item = table.atGetMem(Context(), 100);
  void* poolBlock = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(item) & ~uintptr_t{65535});
  EXPECT_FALSE(table.atBlockFree(Context(), poolBlock));
  EXPECT_FALSE(table.atBlockPoolCommittedDispose(Context(), table.atCommittedClasses[4], poolBlock));
  EXPECT_EQ(table.atFreeMem(Context(), item), 0);
}

TEST_F(AllocatorTest, StartsAndStopsAreCounted) {
  EXPECT_EQ(Table().atStart(Context()), 2);
  EXPECT_EQ(Table().atStop(Context()), 1);
  EXPECT_TRUE(fImpl.Running());
  EXPECT_EQ(fImpl.Stop(), 0);
  EXPECT_FALSE(fImpl.Running());
  EXPECT_THROW(fImpl.Stop(), EAssertionFailed);
  EXPECT_THROW(fImpl.StartReleaseThread(), EAssertionFailed);
  EXPECT_EQ(fImpl.Start(), 1) << "an allocator can start again";
  void* P = Table().atGetMem(Context(), 50);
  EXPECT_NE(P, nullptr);
  EXPECT_EQ(Table().atFreeMem(Context(), P), 0);
}

TEST_F(AllocatorTest, AReleaseRequestRunsTheReleaseSequence) {
  fImpl.StartReleaseThread();
  std::vector<void*> items;
  for (int32_t i = 0; i < 1000; ++i) items.push_back(Table().atGetMem(Context(), 200));
  for (void* item : items) ASSERT_EQ(Table().atFreeMem(Context(), item), 0);
  EXPECT_EQ(fImpl.Chunks().ReleasedCount(), 0);

  const auto start = std::chrono::steady_clock::now();
  Table().atRequestMemoryRelease(Context());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(fImpl.ReleaseThread().Sequences(), 1);
  // Pool blocks went back, their chunk became spare and then released.
  EXPECT_EQ(fImpl.Items().Statistics().msBytesReserved, 0);
  EXPECT_EQ(fImpl.Chunks().SpareCount(), 0);
  EXPECT_EQ(fImpl.Chunks().ReleasedCount(), 1);
  fImpl.StopReleaseThread();
}

TEST_F(AllocatorTest, AReleaseRequestWithoutAThreadReturnsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  fImpl.RequestMemoryRelease();  // never started
  fImpl.StartReleaseThread();
  fImpl.StopReleaseThread();
  fImpl.RequestMemoryRelease();  // stopped
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(fImpl.ReleaseThread().Sequences(), 0);
}

TEST_F(AllocatorTest, TheReleaseThreadWakesOnItsOwn) {
  fImpl.StartReleaseThread();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (fImpl.ReleaseThread().Wakes() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_GE(fImpl.ReleaseThread().Wakes(), 2);
  EXPECT_EQ(fImpl.ReleaseThread().Sequences(), 0);
  fImpl.StopReleaseThread();
  EXPECT_FALSE(fImpl.ReleaseThread().Running());
}

TEST_F(AllocatorTest, TheReleaseThreadSparesTheReserveWhenItCanFreeMemory) {
  fImpl.StartReleaseThread();
  // A chunk whose blocks are all free but still belongs to its class.
  void* block = Table().atBlockAlloc(Context(), 0);
  ASSERT_TRUE(Table().atBlockFree(Context(), block));
  fMemory.fFailReserve = true;
  // Another class needs a chunk: the system refuses, the release thread
  // gives the free chunk back, and the retry takes it.
  void* chunk = Table().atBlockAlloc(Context(), 5);
  EXPECT_NE(chunk, nullptr);
  EXPECT_EQ(fImpl.ReleaseThread().Sequences(), 1);
  EXPECT_FALSE(fImpl.Chunks().ReserveDrawnOn());
  // Without anything to give back, the reserve is next.
  void* second = Table().atBlockAlloc(Context(), 5);
  EXPECT_NE(second, nullptr);
  EXPECT_TRUE(fImpl.Chunks().ReserveDrawnOn());
  EXPECT_NE(*Table().atCommittedReserveIndicator, 0);
  EXPECT_TRUE(Table().atBlockFree(Context(), chunk));
  EXPECT_EQ(*Table().atCommittedReserveIndicator, 0);
  EXPECT_TRUE(Table().atBlockFree(Context(), second));
  fImpl.StopReleaseThread();
}

// --- Hook module ----------------------------------------------------------------

constexpr const char* kHookNames[16] = {"BeforeGetMem",
                                        "AfterGetMem",
                                        "BeforeFreeMem",
                                        "BeforeReallocMem",
                                        "AfterReallocMem",
                                        "BeforeGetAllocSize",
                                        "AfterGetAllocSize",
                                        "AfterBlockPoolCommittedAlloc",
                                        "BeforeBlockPoolCommittedDispose",
                                        "AfterBlockPoolCommittedLargeAlloc",
                                        "BeforeBlockPoolCommittedLargeDispose",
                                        "AfterBlockPoolPhysicalAlloc",
                                        "BeforeBlockPoolPhysicalDispose",
                                        "BeforeGetPool",
                                        "AfterMemoryPoolAlloc",
                                        "BeforeMemoryPoolDispose"};

void dummyRoutine() {}

struct TqdResolverCase {
  const char* fMissing;
};

void* resolveAllBut(void* aContext, const char* aName) {
  const char* missing = static_cast<const TqdResolverCase*>(aContext)->fMissing;
  if (missing != nullptr && std::strcmp(aName, missing) == 0) return nullptr;
  return reinterpret_cast<void*>(&dummyRoutine);
}

TEST(AllocatorHookTest, AllSixteenRoutinesOrNone) {
  TqdAllocatorHook hook{};
  TqdResolverCase all{nullptr};
  EXPECT_TRUE(qdResolveAllocatorHook(hook, resolveAllBut, &all));
  EXPECT_NE(hook.BeforeMemoryPoolDispose, nullptr);
  for (const char* name : kHookNames) {
    TqdResolverCase allBut{name};
    EXPECT_FALSE(qdResolveAllocatorHook(hook, resolveAllBut, &allBut)) << "without " << name;
    EXPECT_EQ(hook.BeforeGetMem, nullptr) << "nothing kept without " << name;
  }
}

// Sets (or unsets) the environment variable for one scope.
class TqdHookVariable {
 public:
  explicit TqdHookVariable(const char* aValue) {
    if (aValue != nullptr) {
      setenv("QendoMM5Hook", aValue, 1);
    } else {
      unsetenv("QendoMM5Hook");
    }
  }
  ~TqdHookVariable() { unsetenv("QendoMM5Hook"); }
};

TEST(AllocatorHookTest, OnlyAnExplicitPathIsLoaded) {
  const char* values[] = {nullptr, "", "/nonexistent/qdHook.so", "qdTestAllocatorHook.so"};
  for (const char* value : values) {
    TqdHookVariable variable(value);
    TqdAllocatorHook hook{};
    void* module = reinterpret_cast<void*>(1);
    EXPECT_FALSE(qdLoadAllocatorHook(hook, module)) << (value == nullptr ? "(unset)" : value);
    EXPECT_EQ(module, nullptr);
  }
}

TEST(AllocatorHookTest, AHookModuleSeesEveryHookedCall) {
  TqdHookVariable variable(QD_TEST_ALLOCATOR_HOOK);
  void* module = dlopen(QD_TEST_ALLOCATOR_HOOK, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto calls = reinterpret_cast<long (*)(int)>(dlsym(module, "qdTestHookCalls"));
  auto reset = reinterpret_cast<void (*)()>(dlsym(module, "qdTestHookReset"));
  ASSERT_NE(calls, nullptr);
  reset();

  TqdFaultVirtualMemory memory;
  TqdMemoryManagerImpl impl(memory);
  impl.Start();
  ASSERT_TRUE(impl.HookActive());
  TqdAllocatorTable& table = impl.Table();
  void* context = table.atContext;

  void* P = table.atGetMem(context, 40);
  P = table.atReallocMem(context, P, 60);
  EXPECT_EQ(table.atFreeMem(context, P), 0);
  EXPECT_EQ(table.atGetAllocSize(context, P), 7u) << "an After hook may replace the result";
  EXPECT_EQ(reinterpret_cast<size_t>(table.atGetPool(context, 8)), 16u) << "a Before hook may change the size";
  void* pool = table.atGetPool(context, 30);
  void* item = table.atMemoryPoolAlloc(context, pool);
  EXPECT_TRUE(table.atMemoryPoolDispose(context, pool, item));
  EXPECT_FALSE(table.atMemoryPoolDispose(context, pool, nullptr));
  void* block = table.atBlockPoolCommittedAlloc(context, table.atCommittedClasses[0]);
  EXPECT_TRUE(table.atBlockPoolCommittedDispose(context, table.atCommittedClasses[0], block));
  EXPECT_EQ(table.atBlockPoolPhysicalAlloc(context, table.atPhysicalClasses[0]), nullptr);

  const long expected[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 2, 1, 1};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(calls(i), expected[i]) << kHookNames[i];
  impl.Stop();
  dlclose(module);
}

}  // namespace
}  // namespace qd
