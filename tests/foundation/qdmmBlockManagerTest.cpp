#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation/qdmmBlockManagerCommitted.h"
#include "foundation/qdmmBlockManagerPhysical.h"
#include "qdmmFaultMemory.h"

namespace qd {
namespace {

class BlockManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { fChunks.Start(); }
  void TearDown() override { fChunks.Stop(); }

  TqdFaultVirtualMemory fMemory;
  TqdChunkManager fChunks{fMemory};
  TqdBlockManagerCommitted fBlocks{fChunks, fMemory};
};

struct TqdClassCase {
  int32_t fIndex;
  size_t fSize;
  int32_t fWords;
  uint64_t fFullMask;
};

class BlockClassTest : public BlockManagerTest, public ::testing::WithParamInterface<TqdClassCase> {};

TEST_P(BlockClassTest, BlocksComeFromTheTopOfTheChunkDownwards) {
  const TqdClassCase& c = GetParam();
  TqdBlockClass& blockClass = fBlocks.BlockClass(c.fIndex);
  EXPECT_EQ(blockClass.bcSize, c.fSize);
  EXPECT_EQ(blockClass.bcWordCount, c.fWords);
  EXPECT_EQ(blockClass.bcFullMask, c.fFullMask);

  auto* first = static_cast<uint8_t*>(fBlocks.AllocBlock(blockClass));
  ASSERT_NE(first, nullptr);
  TqdChunkRecord* record = fChunks.RecordOf(first);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->crOwner, &blockClass);
  EXPECT_EQ(fBlocks.ClassOf(first), &blockClass);
  std::memset(first, 0xA5, c.fSize);
  if (c.fSize == qdChunkSize) {
    EXPECT_EQ(first, record->crBase);  // the chunk itself
  } else {
    EXPECT_EQ(first, record->crBase + qdChunkSize - c.fSize);
    auto* second = static_cast<uint8_t*>(fBlocks.AllocBlock(blockClass));
    EXPECT_EQ(second, first - c.fSize);
    EXPECT_TRUE(fBlocks.FreeBlock(blockClass, second));
  }
  EXPECT_TRUE(fBlocks.FreeBlock(blockClass, first));
  EXPECT_FALSE(fBlocks.FreeBlock(blockClass, first)) << "a second free of the same block";
}

INSTANTIATE_TEST_SUITE_P(AllClasses, BlockClassTest,
                         ::testing::Values(TqdClassCase{0, 4096, 16, 0xFFFF}, TqdClassCase{1, 8192, 8, 0xFF},
                                           TqdClassCase{2, 16384, 4, 0xF}, TqdClassCase{3, 32768, 2, 0x3},
                                           TqdClassCase{4, 65536, 1, 0x1}, TqdClassCase{5, qdChunkSize, 0, 0}),
                         [](const auto& aInfo) { return "Block" + std::to_string(aInfo.param.fSize); });

TEST_F(BlockManagerTest, FreeBlockRefusesForeignMisalignedAndOtherClassBlocks) {
  TqdBlockClass& small = fBlocks.BlockClass(0);
  TqdBlockClass& large = fBlocks.BlockClass(4);
  auto* block = static_cast<uint8_t*>(fBlocks.AllocBlock(small));
  ASSERT_NE(block, nullptr);
  int local = 0;
  EXPECT_FALSE(fBlocks.FreeBlock(small, &local));
  EXPECT_FALSE(fBlocks.FreeBlock(small, block + 16));
  EXPECT_FALSE(fBlocks.FreeBlock(large, block));
  EXPECT_TRUE(fBlocks.FreeBlock(small, block));
}

TEST_F(BlockManagerTest, AWholeChunkBlockGoesBackToTheChunkManager) {
  TqdBlockClass& chunkClass = fBlocks.BlockClass(5);
  void* chunk = fBlocks.AllocBlock(chunkClass);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(fChunks.SpareCount(), 0);
  EXPECT_TRUE(fBlocks.FreeBlock(chunkClass, chunk));
  EXPECT_EQ(fChunks.SpareCount(), 1);
  EXPECT_FALSE(fBlocks.FreeBlock(chunkClass, chunk));
}

TEST_F(BlockManagerTest, ReleasePassReturnsOnlyEntirelyFreeChunks) {
  TqdBlockClass& blockClass = fBlocks.BlockClass(0);
  std::vector<void*> blocks;
  for (int32_t i = 0; i < 3; ++i) blocks.push_back(fBlocks.AllocBlock(blockClass));
  ASSERT_TRUE(fBlocks.FreeBlock(blockClass, blocks[0]));
  ASSERT_TRUE(fBlocks.FreeBlock(blockClass, blocks[1]));
  TqdChunkRecord* record = fChunks.RecordOf(blocks[2]);

  fBlocks.ReleasePass();  // one block still in use
  EXPECT_EQ(record->crOwner, &blockClass);
  EXPECT_EQ(fChunks.SpareCount(), 0);
  EXPECT_TRUE(record->crFreed.IsEmpty()) << "the pass clears the freed marks";
  EXPECT_EQ(fBlocks.AllocBlock(blockClass), blocks[0]) << "the chunk keeps its free blocks";

  ASSERT_TRUE(fBlocks.FreeBlock(blockClass, blocks[0]));
  ASSERT_TRUE(fBlocks.FreeBlock(blockClass, blocks[2]));
  const int64_t resets = fMemory.fResets;
  fBlocks.ReleasePass();
  EXPECT_EQ(record->crOwner, nullptr);
  EXPECT_EQ(fChunks.SpareCount(), 1);
  EXPECT_EQ(fMemory.fResets, resets + 1);
  EXPECT_TRUE(blockClass.bcChunks.IsEmpty());
  EXPECT_FALSE(fBlocks.FreeBlock(blockClass, blocks[2])) << "the chunk is no longer the class's";

  // The spare chunk serves another class next.
  TqdBlockClass& other = fBlocks.BlockClass(2);
  void* reused = fBlocks.AllocBlock(other);
  EXPECT_EQ(fChunks.RecordOf(reused), record);
  EXPECT_EQ(record->crOwner, &other);
}

TEST_F(BlockManagerTest, NoChunkMeansNoBlock) {
  TqdBlockClass& blockClass = fBlocks.BlockClass(4);
  fMemory.fFailReserve = true;
  std::vector<void*> blocks;
  // Five emergency chunks of 64 blocks each, then nothing.
  for (void* block; (block = fBlocks.AllocBlock(blockClass)) != nullptr;) blocks.push_back(block);
  EXPECT_EQ(blocks.size(), static_cast<size_t>(qdEmergencyChunks * 64));
  EXPECT_TRUE(fChunks.ReserveDrawnOn());
  for (void* block : blocks) ASSERT_TRUE(fBlocks.FreeBlock(blockClass, block));
  fBlocks.ReleasePass();
  EXPECT_FALSE(fChunks.ReserveDrawnOn());
  EXPECT_EQ(fChunks.ReserveLeft(), qdEmergencyChunks);
}

TEST_F(BlockManagerTest, ThePhysicalManagerNeverHasABlock) {
  TqdBlockManagerPhysical physical(fChunks, fMemory);
  EXPECT_EQ(physical.AllocBlock(physical.BlockClass(0)), nullptr);
  EXPECT_EQ(physical.AllocBlock(physical.BlockClass(5)), nullptr);
  EXPECT_FALSE(physical.FreeBlock(physical.BlockClass(0), fBlocks.AllocBlock(fBlocks.BlockClass(0))));
}

TEST_F(BlockManagerTest, ConcurrentUseNeverHandsOutABlockTwice) {
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int32_t t = 0; t < 4; ++t) {
    threads.emplace_back([this, t, &failed] {
      TqdBlockClass& blockClass = fBlocks.BlockClass(t % 2);
      std::vector<uint32_t*> mine;
      for (int32_t round = 0; round < 3000; ++round) {
        auto* block = static_cast<uint32_t*>(fBlocks.AllocBlock(blockClass));
        if (block == nullptr) {
          failed = true;
          return;
        }
        block[0] = static_cast<uint32_t>(t);
        block[1] = static_cast<uint32_t>(round);
        mine.push_back(block);
        if (round % 3 == 2) {
          for (uint32_t* held : mine) {
            if (held[0] != static_cast<uint32_t>(t)) failed = true;
            if (!fBlocks.FreeBlock(blockClass, held)) failed = true;
          }
          mine.clear();
        }
        if (t == 0 && round % 500 == 0) fBlocks.ReleasePass();
      }
      for (uint32_t* held : mine) {
        if (!fBlocks.FreeBlock(blockClass, held)) failed = true;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed);
  fBlocks.ReleasePass();
  EXPECT_TRUE(fBlocks.BlockClass(0).bcChunks.IsEmpty());
  EXPECT_TRUE(fBlocks.BlockClass(1).bcChunks.IsEmpty());
}

}  // namespace
}  // namespace qd
