#include "foundation/qdllFastCode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace qd {
namespace {

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

TEST(FastMoveTest, ShiftsUpAndDownByOneByte) {
  std::vector<uint8_t> up = pattern(101);
  const std::vector<uint8_t> original = up;
  qdMove(up.data(), up.data() + 1, 100);
  EXPECT_EQ(up[0], original[0]);
  for (size_t i = 0; i < 100; ++i) ASSERT_EQ(up[i + 1], original[i]) << i;

  std::vector<uint8_t> down = pattern(101);
  qdMove(down.data() + 1, down.data(), 100);
  for (size_t i = 0; i < 100; ++i) ASSERT_EQ(down[i], original[i + 1]) << i;
  EXPECT_EQ(down[100], original[100]);
}

TEST(FastMoveTest, NonPositiveCountAndSamePointerDoNothing) {
  std::vector<uint8_t> bytes = pattern(64);
  const std::vector<uint8_t> original = bytes;
  qdMove(bytes.data(), bytes.data() + 8, 0);
  qdMove(bytes.data(), bytes.data() + 8, -5);
  qdMove(bytes.data(), bytes.data(), 64);
  EXPECT_EQ(bytes, original);
}

// Overlapping and disjoint moves of every size class at odd alignments,
// against a copy made through a separate buffer.
TEST(FastMoveTest, MatchesReferenceForSizesOffsetsAndOverlaps) {
  const int sizes[] = {1,  2,  3,  7,   8,   15,  16,  17,   31,   32,   33,   35,   36,  37,
                       63, 64, 65, 127, 128, 129, 255, 1000, 2047, 2048, 2049, 4095, 5000};
  const int shifts[] = {-4097, -129, -33, -17, -16, -9, -3, -1, 1, 3, 9, 16, 17, 33, 129, 4097};
  const int sourceOffsets[] = {0, 1, 5, 13};
  constexpr int kMargin = 4200;
  for (int size : sizes) {
    for (int shift : shifts) {
      for (int offset : sourceOffsets) {
        const int source = kMargin + offset;
        const int dest = source + shift;
        std::vector<uint8_t> buffer = pattern(static_cast<size_t>(2 * kMargin + size + 64));
        std::vector<uint8_t> expected = buffer;
        const std::vector<uint8_t> staged(buffer.begin() + source, buffer.begin() + source + size);
        std::copy(staged.begin(), staged.end(), expected.begin() + dest);
        qdMove(buffer.data() + source, buffer.data() + dest, size);
        ASSERT_EQ(buffer, expected) << "size " << size << " shift " << shift << " offset " << offset;
      }
    }
  }
}

TEST(FastFillTest, CountBoundsTheWrite) {
  std::vector<uint8_t> bytes(16, 0xAA);
  qdFillChar(bytes.data() + 4, -5, 0x11);
  qdFillChar(bytes.data() + 4, 0, 0x11);
  EXPECT_EQ(bytes, std::vector<uint8_t>(16, 0xAA));
  qdFillChar(bytes.data() + 4, 1, 0x11);
  for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], i == 4 ? 0x11 : 0xAA) << i;
}

TEST(FastFillTest, FillsExactlyTheRangeAtOddAlignments) {
  for (int size : {1, 2, 3, 15, 16, 31, 32, 33, 63, 100, 4095, 5000}) {
    for (int offset : {0, 1, 3, 7, 15}) {
      std::vector<uint8_t> bytes(static_cast<size_t>(size + 64), 0x5C);
      qdFillChar(bytes.data() + offset, size, 0xE3);
      for (int i = 0; i < static_cast<int>(bytes.size()); ++i) {
        const bool inside = i >= offset && i < offset + size;
        ASSERT_EQ(bytes[static_cast<size_t>(i)], inside ? 0xE3 : 0x5C) << "size " << size << " at " << i;
      }
    }
  }
}

TqdCpuInfo withFeatures(uint32_t features, uint16_t l2 = 0) {
  TqdCpuInfo info{};
  info.ciFeatures = features;
  info.ciL2Cache = l2;
  return info;
}

TEST(FastCodeChoiceTest, MoveVariantByFeatures) {
  struct Case {
    uint32_t features;
    TqdMoveVariant expected;
  };
  const Case cases[] = {
      {cfFPU | cfMMX | cfSSE | cfSSE2 | cfSSE3, mvSSE3},
      {cfSSE3, mvSSE3},
      {cfFPU | cfMMX | cfSSE | cfSSE2, mvSSE2},
      {cfFPU | cfMMX | cfSSE, mvSSE},
      {cfFPU | cfMMX, mvMMX},
      {cfFPU | cfCMOV, mvX87},
      {0, mvX87},
  };
  for (const Case& c : cases) EXPECT_EQ(qdChooseMoveVariant(withFeatures(c.features)), c.expected) << c.features;
}

TEST(FastCodeChoiceTest, MoveThresholdIsHalfTheL2Cache) {
  EXPECT_EQ(qdMoveNonTemporalThreshold(withFeatures(0, 0)), 0u);
  EXPECT_EQ(qdMoveNonTemporalThreshold(withFeatures(0, 512)), 262144u);
  EXPECT_EQ(qdMoveNonTemporalThreshold(withFeatures(0, 0xFFFF)), 0xFFFFu * 512);
}

TEST(FastCodeChoiceTest, FillVariantByProcessorClass) {
  struct Case {
    uint8_t processorClass;
    TqdFillVariant variant;
    uint32_t threshold;
  };
  const Case cases[] = {
      {0, fvX87, 0},       {1, fvMMX, 0},        {2, fvMMX, 256000},    {3, fvMMX, 256000},
      {4, fvSSE2, 524288}, {5, fvSSE2, 524288},  {6, fvSSE2, 524288},   {7, fvMMX, 0},
      {8, fvSSE, 524288},  {9, fvSSE2, 1048576}, {10, fvSSE2, 1048576},
  };
  for (const Case& c : cases) {
    const TqdFillChoice choice = qdChooseFillVariant(c.processorClass);
    EXPECT_EQ(choice.fcVariant, c.variant) << int{c.processorClass};
    EXPECT_EQ(choice.fcNonTemporalThreshold, c.threshold) << int{c.processorClass};
  }
}

// The start made its choice from the detected first processor.
TEST(FastCodeChoiceTest, StartChoseFromTheFirstProcessor) {
  EXPECT_EQ(qdMoveVariant(), qdChooseMoveVariant(qdCpuInfo()));
  EXPECT_EQ(qdMoveThreshold(), qdMoveNonTemporalThreshold(qdCpuInfo()));
  EXPECT_EQ(qdFillChoice().fcVariant, qdChooseFillVariant(qdProcessorClass()).fcVariant);
  EXPECT_EQ(qdFillChoice().fcNonTemporalThreshold, qdChooseFillVariant(qdProcessorClass()).fcNonTemporalThreshold);
  EXPECT_GE(qdMoveVariant(), mvSSE2);  // every 64-bit processor has SSE2
}

// A later start keeps the first choice.
TEST(FastCodeChoiceTest, RestartKeepsThePointers) {
  const TqdMove move = qdMove;
  const TqdFillChar fill = qdFillChar;
  const TqdMoveVariant variant = qdMoveVariant();
  qdllFastCodeInitialize();
  qdllFastCodeFinalize();
  EXPECT_EQ(qdMove, move);
  EXPECT_EQ(qdFillChar, fill);
  EXPECT_EQ(qdMoveVariant(), variant);
}

}  // namespace
}  // namespace qd
