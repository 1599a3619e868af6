#include "foundation/qdmmItemManager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/qdSysUtils.h"
#include "qdmmFaultMemory.h"

namespace qd {
namespace {

using qdmmItemManager::TqdMemoryPool;

// A private allocator core on a counting, fault-injecting memory layer.
class ItemManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fChunks.Start();
    fItems.Start();
  }
  void TearDown() override {
    fItems.CheckInvariants();
    fItems.Stop();
    fChunks.Stop();
  }

  size_t ItemSizeOf(void* P) {
    TqdMemoryPool* pool = fItems.PoolOfItem(P);
    return pool == nullptr ? 0 : pool->ItemSize();
  }

  static void Fill(void* P, size_t aSize, uint8_t aSeed) {
    auto* bytes = static_cast<uint8_t*>(P);
    for (size_t i = 0; i < aSize; ++i) bytes[i] = static_cast<uint8_t>(aSeed + i * 7);
  }
  static bool Holds(const void* P, size_t aSize, uint8_t aSeed) {
    const auto* bytes = static_cast<const uint8_t*>(P);
    for (size_t i = 0; i < aSize; ++i) {
      if (bytes[i] != static_cast<uint8_t>(aSeed + i * 7)) return false;
    }
    return true;
  }

  TqdFaultVirtualMemory fMemory;
  TqdChunkManager fChunks{fMemory};
  TqdBlockManagerCommitted fBlocks{fChunks, fMemory};
  TqdItemManager fItems{fBlocks, fMemory, false};
};

struct TqdChoiceCase {
  size_t fRequest;
  size_t fItemSize;
};

class PoolChoiceTest : public ItemManagerTest, public ::testing::WithParamInterface<TqdChoiceCase> {};

TEST_P(PoolChoiceTest, RequestLandsInItsPool) {
  const TqdChoiceCase& c = GetParam();
  void* P = fItems.GetMem(c.fRequest);
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(ItemSizeOf(P), c.fItemSize) << "request of " << c.fRequest << " bytes";
  std::memset(P, 0x33, c.fRequest);
  EXPECT_EQ(fItems.FreeMem(P), 0);
}

// Sizes up to 64 are chosen by size div 4 (rounded down), so 4 takes an
// 8-byte item and 8 a 16-byte one.
INSTANTIATE_TEST_SUITE_P(Sizes, PoolChoiceTest,
                         ::testing::Values(TqdChoiceCase{1, 4}, TqdChoiceCase{3, 4}, TqdChoiceCase{4, 8},
                                           TqdChoiceCase{7, 8}, TqdChoiceCase{8, 16}, TqdChoiceCase{12, 16},
                                           TqdChoiceCase{16, 32}, TqdChoiceCase{40, 48}, TqdChoiceCase{47, 48},
                                           TqdChoiceCase{48, 64}, TqdChoiceCase{64, 96}, TqdChoiceCase{65, 96},
                                           TqdChoiceCase{96, 96}, TqdChoiceCase{97, 128}, TqdChoiceCase{1024, 1024},
                                           TqdChoiceCase{1025, 1280}, TqdChoiceCase{3840, 3840},
                                           TqdChoiceCase{3841, 4064}, TqdChoiceCase{10000, 10912},
                                           TqdChoiceCase{21825, 32736}, TqdChoiceCase{32735, 32736}),
                         [](const auto& aInfo) { return "Request" + std::to_string(aInfo.param.fRequest); });

TEST_F(ItemManagerTest, RequestsAbove32735AreLargeBlocks) {
  void* P = fItems.GetMem(32736);
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(P) % 65536, 0u);
  EXPECT_EQ(ItemSizeOf(P), 0u);
  TqdLargeBlockInfo info{};
  ASSERT_TRUE(fItems.LargeBlockInfo(P, info));
  EXPECT_EQ(info.lbSize, 32736u);
  EXPECT_FALSE(info.lbMappingBacked);
  EXPECT_EQ(info.lbCommittedPages, (32736u + qdLargeTrailerSize + 4095) / 4096);
  std::memset(P, 0x44, 32736);
  EXPECT_EQ(fItems.FreeMem(P), 0);
  EXPECT_NE(fItems.FreeMem(P), 0);
}

struct TqdGeometryCase {
  uint32_t fItemSize;
  uint32_t fHeader;
  uint32_t fItems;
};

TEST_F(ItemManagerTest, PoolGeometry) {
  const TqdGeometryCase cases[] = {{4, 2080, 15863}, {8, 1056, 8059}, {16, 544, 4061}, {48, 208, 1360},
                                   {96, 128, 681},   {1024, 48, 63},  {3840, 48, 17},  {4064, 48, 16},
                                   {8160, 48, 8},    {21824, 48, 3},  {32736, 48, 2}};
  for (const TqdGeometryCase& c : cases) {
    TqdMemoryPool& pool = fItems.PoolForSize(c.fItemSize == 4 ? 1 : c.fItemSize - 1);
    ASSERT_EQ(pool.ItemSize(), c.fItemSize);
    EXPECT_EQ(pool.BlockHeaderSize(), c.fHeader) << "item size " << c.fItemSize;
    EXPECT_EQ(pool.ItemsPerBlock(), c.fItems) << "item size " << c.fItemSize;
    // The last item ends inside the block.
    EXPECT_LE(c.fHeader + c.fItems * c.fItemSize, 65536u);
  }
  uint32_t previous = 0;
  for (int32_t i = 0; i < qdPoolCount; ++i) {
    EXPECT_GT(fItems.Pool(i).ItemSize(), previous) << "pools in ascending order";
    EXPECT_TRUE(fItems.Pool(i).ItemSize() == 4 || fItems.Pool(i).ItemSize() % 8 == 0);
    previous = fItems.Pool(i).ItemSize();
  }
  EXPECT_EQ(previous, 32736u);
}

TEST_F(ItemManagerTest, EveryItemOfABlockIsHandedOutOnceAndAligned) {
  TqdMemoryPool& pool = fItems.PoolForSize(1000);
  std::vector<void*> items;
  for (uint32_t i = 0; i < pool.ItemsPerBlock() + 1; ++i) items.push_back(pool.Alloc());
  std::vector<void*> sorted = items;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  for (void* item : items) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(item) % 16, 0u);
    EXPECT_TRUE(pool.DisposeDirect(item));
  }
}

TEST_F(ItemManagerTest, ShrinkingKeepsTheItemWhileMoreThanAThirtySecondIsUsed) {
  void* P = fItems.GetMem(100);
  ASSERT_EQ(ItemSizeOf(P), 128u);
  Fill(P, 100, 1);
  EXPECT_EQ(fItems.ReallocMem(P, 90), P);  // 90 * 32 > 128
  EXPECT_EQ(fItems.ReallocMem(P, 128), P);
  void* moved = fItems.ReallocMem(P, 3);  // 3 * 32 <= 128
  ASSERT_NE(moved, P);
  EXPECT_EQ(ItemSizeOf(moved), 4u);
  EXPECT_TRUE(Holds(moved, 3, 1));
  EXPECT_EQ(ItemSizeOf(P), 0u) << "the old item was freed";
  EXPECT_EQ(fItems.FreeMem(moved), 0);
}

struct TqdGrowCase {
  size_t fFirst;
  size_t fSecond;
  size_t fItemAfter;  // 0: a large block
};

TEST_F(ItemManagerTest, GrowingAsksForHeadroom) {
  // <= 64 bytes: 8 times; <= 1024: 4 times; <= 8192: twice; above: as asked.
  const TqdGrowCase cases[] = {{40, 50, 416},         {10, 20, 160},        {100, 200, 800}, {2000, 3000, 6528},
                               {5000, 6000, 13088},   {9000, 10000, 10912}, {60, 65, 288},   {500, 1024, 4352},
                               {20000, 30000, 32736}, {9000, 40000, 0}};
  for (const TqdGrowCase& c : cases) {
    void* P = fItems.GetMem(c.fFirst);
    const size_t oldItem = ItemSizeOf(P);
    Fill(P, c.fFirst, 9);
    void* grown = fItems.ReallocMem(P, c.fSecond);
    ASSERT_NE(grown, nullptr);
    EXPECT_NE(grown, P);
    EXPECT_EQ(ItemSizeOf(grown), c.fItemAfter) << c.fFirst << " -> " << c.fSecond;
    EXPECT_TRUE(Holds(grown, c.fFirst, 9)) << "the whole old item (" << oldItem << " bytes) is copied";
    EXPECT_EQ(fItems.FreeMem(grown), 0);
  }
}

TEST_F(ItemManagerTest, FreeingTwiceOrAnythingElseIsRefused) {
  void* P = fItems.GetMem(24);
  ASSERT_EQ(fItems.FreeMem(P), 0);
  EXPECT_NE(fItems.FreeMem(P), 0) << "second free";
  EXPECT_THROW(fItems.ReallocMem(P, 10), EInvalidPointer);

  void* live = fItems.GetMem(100);
  int local = 0;
  void* system = std::malloc(64);
  void* strangers[] = {&local, system, static_cast<uint8_t*>(live) + 8, reinterpret_cast<void*>(uintptr_t{1} << 40),
                       reinterpret_cast<void*>(uintptr_t{3} << 16)};
  for (void* stranger : strangers) {
    EXPECT_NE(fItems.FreeMem(stranger), 0) << stranger;
    EXPECT_EQ(fItems.PoolOfItem(stranger), nullptr);
  }
  std::free(system);
  EXPECT_FALSE(fItems.PoolForSize(8).DisposeDirect(live)) << "an item of another pool";
  EXPECT_TRUE(fItems.PoolForSize(100).DisposeDirect(live));
  void* variable = nullptr;
  EXPECT_FALSE(fItems.PoolForSize(100).Dispose(variable));
}

TEST_F(ItemManagerTest, DisposeTakesThePointerOutOfTheVariable) {
  TqdMemoryPool& pool = fItems.PoolForSize(200);
  void* P = pool.Alloc();
  EXPECT_TRUE(pool.Dispose(P));
  EXPECT_EQ(P, nullptr);
}

TEST_F(ItemManagerTest, CleanupReturnsEmptyBlocksAndTheirChunks) {
  TqdMemoryPool& pool = fItems.PoolForSize(500);
  std::vector<void*> items;
  for (uint32_t i = 0; i < 3 * pool.ItemsPerBlock(); ++i) items.push_back(pool.Alloc());
  const int64_t reserved = fItems.Statistics().msBytesReserved;
  EXPECT_GE(reserved, 3 * 65536);
  // One item keeps its block.
  for (size_t i = 1; i < items.size(); ++i) ASSERT_TRUE(pool.DisposeDirect(items[i]));
  fItems.CleanupPools();
  EXPECT_EQ(fItems.Statistics().msBytesReserved, reserved - 2 * 65536);
  EXPECT_EQ(fItems.Statistics().msItemBytesInUse, 512);
  ASSERT_TRUE(pool.DisposeDirect(items[0]));
  fItems.CleanupPools();
  EXPECT_EQ(fItems.Statistics().msBytesReserved, 0);
  EXPECT_EQ(fItems.Statistics().msItemBytesInUse, 0);
  fBlocks.ReleasePass();
  EXPECT_EQ(fChunks.SpareCount(), 1);
}

TEST_F(ItemManagerTest, WithoutChunksTheEmergencyReserveCarriesOnUntilAChunkIsReturned) {
  fMemory.fFailReserve = true;
  void* P = fItems.GetMem(64);
  ASSERT_NE(P, nullptr);
  EXPECT_TRUE(fChunks.ReserveDrawnOn());
  EXPECT_EQ(fItems.FreeMem(P), 0);
  EXPECT_TRUE(fChunks.ReserveDrawnOn()) << "until the release thread's work returns the chunk";
  fItems.CleanupPools();
  fBlocks.ReleasePass();
  EXPECT_FALSE(fChunks.ReserveDrawnOn());
}

TEST_F(ItemManagerTest, PlainLargeBlocksMoveWhenTheirPageCountChanges) {
  const size_t size = 100000;
  void* P = fItems.GetMem(size);
  Fill(P, size, 3);
  TqdLargeBlockInfo info{};
  ASSERT_TRUE(fItems.LargeBlockInfo(P, info));
  EXPECT_FALSE(info.lbMappingBacked);
  EXPECT_EQ(info.lbView, 2u);
  EXPECT_EQ(info.lbCommittedPages, 25u);

  EXPECT_EQ(fItems.ReallocMem(P, size + 10), P) << "same page count";
  ASSERT_TRUE(fItems.LargeBlockInfo(P, info));
  EXPECT_EQ(info.lbSize, size + 10);

  void* grown = fItems.ReallocMem(P, 300000);
  ASSERT_NE(grown, P);
  EXPECT_TRUE(Holds(grown, size, 3));
  ASSERT_TRUE(fItems.LargeBlockInfo(grown, info));
  EXPECT_TRUE(info.lbMappingBacked) << "the first growth reserves room";
  EXPECT_EQ(info.lbGrowCount, 1u);
  EXPECT_EQ(info.lbView, 5u);
  EXPECT_EQ(info.lbCapacity, 10u);
  EXPECT_EQ(fItems.FreeMem(grown), 0);
  EXPECT_EQ(fItems.FreeMem(P), 1) << "the old block is gone";
}

TEST_F(ItemManagerTest, AMappingBackedBlockGrowsWithinItsCapacityWithoutCopying) {
  void* P = fItems.AllocLarge(200000, 1);
  ASSERT_NE(P, nullptr);
  TqdLargeBlockInfo before{};
  ASSERT_TRUE(fItems.LargeBlockInfo(P, before));
  ASSERT_TRUE(before.lbMappingBacked);
  EXPECT_EQ(before.lbCapacity, 2 * before.lbView);
  Fill(P, 200000, 5);
  const int64_t mappings = fMemory.fMappings;

  void* grown = fItems.ReallocMem(P, 380000);
  ASSERT_NE(grown, nullptr);
  TqdLargeBlockInfo after{};
  ASSERT_TRUE(fItems.LargeBlockInfo(grown, after));
  EXPECT_EQ(after.lbMapping, before.lbMapping) << "a larger view of the same mapping";
  EXPECT_EQ(fMemory.fMappings, mappings) << "no new mapping, so nothing was copied";
  EXPECT_EQ(fMemory.fRemaps, 1);
  EXPECT_EQ(after.lbGrowCount, 2u);
  EXPECT_GT(after.lbView, before.lbView);
  EXPECT_TRUE(Holds(grown, 200000, 5));
  // The data lives in the mapping itself: read it back through the file.
  std::vector<uint8_t> direct(16);
  ASSERT_EQ(pread(after.lbMapping, direct.data(), direct.size(), 0), 16);
  EXPECT_TRUE(Holds(direct.data(), direct.size(), 5));
  std::memset(static_cast<uint8_t*>(grown) + 200000, 0x77, 180000);

  // Beyond the capacity: a new mapping with the content copied.
  void* moved = fItems.ReallocMem(grown, 1000000);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(fMemory.fMappings, mappings + 1);
  EXPECT_TRUE(Holds(moved, 200000, 5));
  EXPECT_EQ(static_cast<uint8_t*>(moved)[379999], 0x77);
  EXPECT_EQ(fItems.FreeMem(moved), 0);
}

TEST_F(ItemManagerTest, AMappingBackedBlockShrinks) {
  void* P = fItems.AllocLarge(1000000, 1);
  Fill(P, 1000000, 8);
  TqdLargeBlockInfo info{};
  ASSERT_TRUE(fItems.LargeBlockInfo(P, info));
  const uint32_t committed = info.lbCommittedPages;

  void* smaller = fItems.ReallocMem(P, 600000);  // fewer units and pages: the view shrinks in place
  EXPECT_EQ(smaller, P);
  ASSERT_TRUE(fItems.LargeBlockInfo(smaller, info));
  EXPECT_LT(info.lbCommittedPages, committed);
  EXPECT_EQ(info.lbView, (600000 + qdLargeTrailerSize + 65535) / 65536);
  EXPECT_TRUE(Holds(smaller, 600000, 8));

  void* item = fItems.ReallocMem(smaller, 20000);  // below an eighth: a pool item now
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(ItemSizeOf(item), 21824u);
  EXPECT_TRUE(Holds(item, 20000, 8));
  EXPECT_EQ(fItems.FreeMem(item), 0);
}

TEST_F(ItemManagerTest, FailedGrowthLeavesTheBlockAsItWas) {
  void* P = fItems.GetMem(70000);
  Fill(P, 70000, 2);
  fMemory.fFailMapping = true;
  fMemory.fFailReserve = true;
  EXPECT_EQ(fItems.ReallocMem(P, 700000), nullptr);
  TqdLargeBlockInfo info{};
  ASSERT_TRUE(fItems.LargeBlockInfo(P, info));
  EXPECT_EQ(info.lbSize, 70000u);
  EXPECT_TRUE(Holds(P, 70000, 2));
  EXPECT_EQ(fItems.FreeMem(P), 0);
}

TEST_F(ItemManagerTest, ItemsFreedByAnotherThreadAreReused) {
  // One thread allocates, another frees, both for the whole test: the freed
  // items sit in blocks that the allocating thread does not hold, and must
  // still be found again instead of new blocks being taken round after
  // round.
  constexpr int32_t kRounds = 20;
  std::vector<void*> batch;
  std::atomic<int32_t> turn{0};  // even: the producer's, odd: the consumer's
  int64_t afterFirstRound = 0;
  auto waitFor = [&turn](int32_t aTurn) {
    while (turn.load() != aTurn) std::this_thread::yield();
  };
  std::thread producer([&] {
    for (int32_t round = 0; round < kRounds; ++round) {
      waitFor(2 * round);
      if (round == 1) afterFirstRound = fItems.Statistics().msBytesReserved;
      for (int32_t i = 0; i < 3000; ++i) batch.push_back(fItems.GetMem(100));
      turn = 2 * round + 1;
    }
  });
  std::thread consumer([&] {
    for (int32_t round = 0; round < kRounds; ++round) {
      waitFor(2 * round + 1);
      for (void* P : batch) EXPECT_EQ(fItems.FreeMem(P), 0);
      batch.clear();
      turn = 2 * round + 2;
    }
  });
  producer.join();
  consumer.join();
  EXPECT_EQ(fItems.Statistics().msBytesReserved, afterFirstRound);
}

TEST_F(ItemManagerTest, ConcurrentAllocationsKeepTheirContent) {
  std::atomic<int32_t> faults{0};
  std::vector<std::thread> threads;
  for (int32_t t = 0; t < 4; ++t) {
    threads.emplace_back([this, t, &faults] {
      std::mt19937 random(static_cast<uint32_t>(t) * 7919u + 1u);
      struct Held {
        void* fPointer;
        size_t fSize;
        uint8_t fSeed;
      };
      std::vector<Held> held(256, Held{nullptr, 0, 0});
      for (int32_t round = 0; round < 40000; ++round) {
        Held& slot = held[random() % held.size()];
        if (slot.fPointer != nullptr) {
          if (!Holds(slot.fPointer, std::min<size_t>(slot.fSize, 64), slot.fSeed)) ++faults;
          if (round % 5 == 0) {
            const size_t size = 1 + random() % (round % 97 == 0 ? 100000 : 600);
            void* fresh = fItems.ReallocMem(slot.fPointer, size);
            if (fresh == nullptr || !Holds(fresh, std::min({slot.fSize, size, size_t{64}}), slot.fSeed)) ++faults;
            slot.fPointer = fresh;
            slot.fSize = size;
            Fill(slot.fPointer, std::min<size_t>(size, 64), slot.fSeed);
            continue;
          }
          if (fItems.FreeMem(slot.fPointer) != 0) ++faults;
          slot.fPointer = nullptr;
        }
        slot.fSize = 1 + random() % (round % 101 == 0 ? 70000 : 300);
        slot.fSeed = static_cast<uint8_t>(random());
        slot.fPointer = fItems.GetMem(slot.fSize);
        if (slot.fPointer == nullptr) {
          ++faults;
          continue;
        }
        Fill(slot.fPointer, std::min<size_t>(slot.fSize, 64), slot.fSeed);
        if (t == 0 && round % 4000 == 0) fItems.CleanupPools();
      }
      for (Held& slot : held) {
        if (slot.fPointer != nullptr && fItems.FreeMem(slot.fPointer) != 0) ++faults;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(faults, 0);
  fItems.CheckInvariants();
  fItems.CleanupPools();
  // What stays in use are the 2048-byte nodes of the large blocks' address
  // table, kept until the item manager stops.
  EXPECT_EQ(fItems.Statistics().msItemBytesInUse % 2048, 0);
  EXPECT_EQ(fItems.Statistics().msBytesRequested, 0);
}

}  // namespace
}  // namespace qd
