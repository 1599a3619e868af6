#include "foundation/qdmmChunkManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qdmmFaultMemory.h"

namespace qd {
namespace {

class ChunkManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fChunks.Start();
    fChunks.SetReleaseMemoryHook(
        [](void* aContext) {
          auto* test = static_cast<ChunkManagerTest*>(aContext);
          ++test->fHookCalls;
          test->fReserveLeftAtHook = test->fChunks.ReserveLeft();
          if (test->fHookRepairs) test->fMemory.fFailReserve = false;
        },
        this);
  }
  void TearDown() override { fChunks.Stop(); }

  uint8_t* Base(int32_t aNumber) { return fChunks.Record(aNumber).crBase; }

  TqdFaultVirtualMemory fMemory;
  TqdChunkManager fChunks{fMemory};
  int32_t fHookCalls = 0;
  int32_t fReserveLeftAtHook = -1;
  bool fHookRepairs = false;
};

TEST_F(ChunkManagerTest, ChunksAreAlignedCommittedAndFoundFromInside) {
  const int32_t number = fChunks.GetCommittedChunk();
  ASSERT_GE(number, 0);
  uint8_t* base = Base(number);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % qdChunkSize, 0u);
  std::memset(base, 0x5A, qdChunkSize);  // committed: writable throughout
  EXPECT_EQ(fChunks.RecordOf(base), &fChunks.Record(number));
  EXPECT_EQ(fChunks.RecordOf(base + qdChunkSize - 1), &fChunks.Record(number));
  EXPECT_EQ(fChunks.RecordOf(base + qdChunkSize), nullptr);
  int local = 0;
  EXPECT_EQ(fChunks.RecordOf(&local), nullptr);
  EXPECT_EQ(fChunks.RecordOf(reinterpret_cast<void*>(uintptr_t{1} << 50)), nullptr);
}

TEST_F(ChunkManagerTest, FreeChunkRefusesWhatIsNotAChunkStart) {
  const int32_t number = fChunks.GetCommittedChunk();
  ASSERT_GE(number, 0);
  int local = 0;
  EXPECT_FALSE(fChunks.FreeChunk(Base(number) + 4096));
  EXPECT_FALSE(fChunks.FreeChunk(&local));
  EXPECT_FALSE(fChunks.FreeChunk(reinterpret_cast<void*>(uintptr_t{64} << qdChunkShift)));
  EXPECT_TRUE(fChunks.FreeChunk(Base(number)));
  EXPECT_FALSE(fChunks.FreeChunk(Base(number)));  // spare already
}

TEST_F(ChunkManagerTest, SpareChunksAreReusedBeforeNewOnes) {
  const int32_t first = fChunks.GetCommittedChunk();
  const int32_t second = fChunks.GetCommittedChunk();
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(fChunks.FreeChunk(Base(first)));
  ASSERT_TRUE(fChunks.FreeChunk(Base(second)));
  EXPECT_EQ(fChunks.SpareCount(), 2);
  const int64_t reserves = fMemory.fReserves;
  const int32_t again = fChunks.GetCommittedChunk();
  EXPECT_EQ(again, std::max(first, second));  // the highest spare
  EXPECT_EQ(fMemory.fReserves, reserves);
  EXPECT_EQ(fChunks.SpareCount(), 1);
}

TEST_F(ChunkManagerTest, ReleasedSpareChunksGiveTheirMemoryBackAndAreRecommitted) {
  const int32_t number = fChunks.GetCommittedChunk();
  ASSERT_GE(number, 0);
  ASSERT_TRUE(fChunks.FreeChunk(Base(number)));
  const int64_t decommits = fMemory.fDecommits;
  fChunks.ReleaseSpareChunks();
  EXPECT_EQ(fMemory.fDecommits, decommits + 1);
  EXPECT_EQ(fChunks.SpareCount(), 0);
  EXPECT_EQ(fChunks.ReleasedCount(), 1);
  const int64_t reserves = fMemory.fReserves;
  EXPECT_EQ(fChunks.GetCommittedChunk(), number);
  EXPECT_EQ(fMemory.fReserves, reserves);
  EXPECT_EQ(fChunks.ReleasedCount(), 0);
}

TEST_F(ChunkManagerTest, RefusedReservationsCallTheHookThenDrawOnTheReserve) {
  EXPECT_EQ(fChunks.ReserveLeft(), qdEmergencyChunks);
  EXPECT_FALSE(fChunks.ReserveDrawnOn());
  const int32_t ordinary = fChunks.GetCommittedChunk();
  ASSERT_GE(ordinary, 0);

  fMemory.fFailReserve = true;
  const int32_t emergency = fChunks.GetCommittedChunk();
  ASSERT_GE(emergency, 0);
  EXPECT_EQ(fHookCalls, 1);
  EXPECT_EQ(fReserveLeftAtHook, qdEmergencyChunks);  // the hook came before the reserve
  EXPECT_TRUE(fChunks.ReserveDrawnOn());
  EXPECT_NE(*fChunks.CommittedReserveIndicator(), 0);
  EXPECT_EQ(fChunks.ReserveLeft(), qdEmergencyChunks - 1);
  std::memset(Base(emergency), 1, qdChunkSize);  // committed when drawn

  // Returning any chunk refills the reserve first; then the pressure ends.
  ASSERT_TRUE(fChunks.FreeChunk(Base(ordinary)));
  EXPECT_FALSE(fChunks.ReserveDrawnOn());
  EXPECT_EQ(fChunks.ReserveLeft(), qdEmergencyChunks);
  EXPECT_EQ(fChunks.SpareCount(), 0);
  ASSERT_TRUE(fChunks.FreeChunk(Base(emergency)));
  EXPECT_EQ(fChunks.SpareCount(), 1);
}

TEST_F(ChunkManagerTest, RefusedCommitsAlsoLeadToTheReserve) {
  fMemory.fFailCommit = true;
  EXPECT_EQ(fChunks.GetCommittedChunk(), -1);  // the reserve needs a commit too
  EXPECT_EQ(fHookCalls, 1);
  EXPECT_FALSE(fChunks.ReserveDrawnOn());
  EXPECT_EQ(fChunks.ReserveLeft(), qdEmergencyChunks);
  EXPECT_EQ(fChunks.BoundCount(), qdEmergencyChunks);  // the refused chunk was given back
}

TEST_F(ChunkManagerTest, AHookThatFreesMemoryKeepsTheReserveUntouched) {
  fMemory.fFailReserve = true;
  fHookRepairs = true;
  EXPECT_GE(fChunks.GetCommittedChunk(), 0);
  EXPECT_EQ(fHookCalls, 1);
  EXPECT_FALSE(fChunks.ReserveDrawnOn());
  EXPECT_EQ(fChunks.ReserveLeft(), qdEmergencyChunks);
}

TEST_F(ChunkManagerTest, AnEmptyReserveMeansNoChunk) {
  fMemory.fFailReserve = true;
  std::vector<int32_t> drawn;
  for (int32_t i = 0; i < qdEmergencyChunks; ++i) {
    const int32_t number = fChunks.GetCommittedChunk();
    ASSERT_GE(number, 0);
    drawn.push_back(number);
  }
  EXPECT_EQ(fChunks.ReserveLeft(), 0);
  EXPECT_EQ(fChunks.GetCommittedChunk(), -1);
  EXPECT_EQ(fHookCalls, qdEmergencyChunks + 1);
  for (int32_t number : drawn) ASSERT_TRUE(fChunks.FreeChunk(Base(number)));
  EXPECT_EQ(fChunks.ReserveLeft(), qdEmergencyChunks);
  EXPECT_FALSE(fChunks.ReserveDrawnOn());
}

TEST_F(ChunkManagerTest, PhysicalChunksAreNotSupported) { EXPECT_EQ(fChunks.GetPhysicalChunk(), -1); }

}  // namespace
}  // namespace qd
