#include "platform/qdMemoryStatus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace qd {
namespace {

TEST(MemoryStatusTest, TheSystemReadingIsConsistent) {
  TqdMemoryStatus status;
  ASSERT_TRUE(qdSystemMemoryStatus(status));
  EXPECT_GT(status.TotalPhys, uint64_t{64} << 20);
  EXPECT_LE(status.AvailPhys, status.TotalPhys);
  EXPECT_GT(status.TotalVirtual, status.TotalPhys / 1024);
  EXPECT_GT(status.AvailVirtual, 0u);
  EXPECT_LT(status.AvailVirtual, status.TotalVirtual);
}

TEST(MemoryStatusTest, AvailableVirtualSpaceShrinksByWhatTheProcessReserves) {
  TqdMemoryStatus before;
  ASSERT_TRUE(qdSystemMemoryStatus(before));
  constexpr size_t kReserved = size_t{256} << 20;
  void* block = std::malloc(kReserved);
  ASSERT_NE(block, nullptr);
  TqdMemoryStatus after;
  ASSERT_TRUE(qdSystemMemoryStatus(after));
  std::free(block);
  EXPECT_LE(after.AvailVirtual + kReserved, before.AvailVirtual + (uint64_t{16} << 20));
}

bool FixedMachine(TqdMemoryStatus& aStatus) {
  aStatus = {uint64_t{1} << 30, uint64_t{1} << 29, uint64_t{1} << 31, uint64_t{1} << 30};
  return true;
}

bool FailingMachine(TqdMemoryStatus& aStatus) {
  aStatus = {};
  return false;
}

TEST(MemoryStatusTest, AnInstalledSourceAnswersUntilTheSystemIsPutBack) {
  TqdMemoryStatusSource previous = qdSetMemoryStatusSource(FixedMachine);
  EXPECT_EQ(previous, nullptr);
  TqdMemoryStatus status;
  ASSERT_TRUE(qdGetMemoryStatus(status));
  EXPECT_EQ(status.TotalPhys, uint64_t{1} << 30);
  EXPECT_EQ(status.AvailVirtual, uint64_t{1} << 30);

  EXPECT_EQ(qdSetMemoryStatusSource(FailingMachine), FixedMachine);
  EXPECT_FALSE(qdGetMemoryStatus(status));
  EXPECT_EQ(status.TotalPhys, 0u);

  qdSetMemoryStatusSource(previous);
  ASSERT_TRUE(qdGetMemoryStatus(status));
  TqdMemoryStatus system;
  ASSERT_TRUE(qdSystemMemoryStatus(system));
  EXPECT_EQ(status.TotalPhys, system.TotalPhys);
}

}  // namespace
}  // namespace qd
