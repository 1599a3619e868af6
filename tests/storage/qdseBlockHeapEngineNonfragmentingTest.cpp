// The block heap inside one block image: geometry, numbering (new numbers
// until a compaction makes freed ones reusable, lowest first), directory
// trimming, growth that keeps the number, the errors, the reuse counter of
// references, a random script against a model, and damaged words.
#include "storage/qdseBlockHeapEngineNonfragmenting.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

constexpr uint32_t kUsable = 4092;

class BlockHeapTest : public ::testing::Test {
 protected:
  explicit BlockHeapTest(uint16_t aHeaderSize = 16, int32_t aVersion = 47005)
      : fEngine(nullptr, kUsable, aHeaderSize, aVersion), fBlock(kUsable + 4, 0xEE) {
    fEngine.InitBlock(Block());
    fEngine.SetOnChanged([this](PqdBlock, uint16_t aCount, uint16_t aFree, uint16_t aRecoverable) {
      ++fChanges;
      fLastCount = aCount;
      fLastFree = aFree + aRecoverable;
    });
  }
  PqdBlock Block() { return fBlock.data(); }
  uint16_t Word(uint32_t aOffset) const { return qdGetU16(fBlock.data() + aOffset); }
  void SetWord(uint32_t aOffset, uint16_t aValue) { qdPutU16(fBlock.data() + aOffset, aValue); }
  uint16_t Count() const { return Word(kUsable - 2); }
  uint32_t FreeWordPos() const { return kUsable - 8 - 2 * Count(); }

  TqdSegmentRef Alloc(uint16_t aSize, uint8_t aFill = 0x5A) {
    TqdSegmentRef segment = 0;
    PqdHeapSegment data = fEngine.AllocSegment(Block(), aSize, segment);
    EXPECT_NE(data, nullptr) << "size " << aSize;
    if (data != nullptr) std::memset(data, aFill, aSize);
    fEngine.VerifyBlock(Block(), false);
    EXPECT_EQ(fLastFree, fEngine.GetFreespace(Block()));
    return segment;
  }
  void Free(TqdSegmentRef aSegment) {
    fEngine.FreeSegment(Block(), aSegment);
    fEngine.VerifyBlock(Block(), false);
    EXPECT_EQ(fLastFree, fEngine.GetFreespace(Block()));
  }
  std::vector<uint8_t> Bytes(TqdSegmentRef aSegment) {
    uint16_t size = 0;
    PqdHeapSegment data = fEngine.GetSegment(Block(), aSegment, size);
    return std::vector<uint8_t>(data, data + size);
  }

  TqdNonfragmentingBlockHeapEngine fEngine;
  std::vector<uint8_t> fBlock;
  int fChanges = 0;
  uint16_t fLastCount = 0;
  uint16_t fLastFree = 0;
};

TEST(BlockHeapGeometryTest, HeaderAndLargestSegmentFollowTheOwnersHeader) {
  struct Case {
    uint16_t h;
    uint16_t H;
    uint16_t max;
  };
  for (const Case& c : {Case{16, 20, 4060}, Case{24, 28, 4052}, Case{17, 24, 4056}}) {
    TqdNonfragmentingBlockHeapEngine engine(nullptr, kUsable, c.h, 47005);
    EXPECT_EQ(engine.BlockHeapHeaderSize(), c.H) << c.h;
    EXPECT_EQ(engine.MaxSegmentSize(), c.max) << c.h;
    std::vector<uint8_t> block(kUsable, 0);
    engine.InitBlock(block.data());
    EXPECT_EQ(engine.GetFreespace(block.data()), c.max);
    TqdSegmentRef segment = 0;
    ASSERT_NE(engine.AllocSegment(block.data(), c.max, segment), nullptr);
    EXPECT_EQ(segment, 1u);
    EXPECT_EQ(qdGetU16(block.data() + kUsable - 10), 0) << "no free chunk is left";
    EXPECT_EQ(engine.GetFreespace(block.data()), 0);
    engine.VerifyBlock(block.data(), false);
    TqdSegmentRef another = 0;
    EXPECT_EQ(engine.AllocSegment(block.data(), 1, another), nullptr);
  }
}

TEST_F(BlockHeapTest, ASegmentTooLargeForAFreshBlockIsRefused) {
  TqdSegmentRef segment = 7;
  EXPECT_EQ(fEngine.AllocSegment(Block(), 4061, segment), nullptr);
  EXPECT_EQ(segment, 0u);
}

TEST_F(BlockHeapTest, FreedNumbersComeBackOnlyAfterACompactionLowestFirst) {
  const TqdSegmentRef s1 = Alloc(1000, 1);
  const TqdSegmentRef s2 = Alloc(1000, 2);
  const TqdSegmentRef s3 = Alloc(1000, 3);
  EXPECT_EQ(s3, 3u);
  Free(s2);
  Free(s1);
  EXPECT_EQ(Alloc(100, 4), 4u) << "no compaction yet: a new number";
  const TqdSegmentRef big = Alloc(1500, 5);
  EXPECT_EQ(big, 1u) << "the compaction made 1 and 2 reusable";
  EXPECT_EQ(Alloc(10, 6), 2u);
  EXPECT_EQ(Bytes(s3), std::vector<uint8_t>(1000, 3));
  EXPECT_EQ(Bytes(4), std::vector<uint8_t>(100, 4));
  EXPECT_EQ(Bytes(big), std::vector<uint8_t>(1500, 5));
}

TEST_F(BlockHeapTest, CompactionTrimsTheDirectoryAndReinitialisesAnEmptyBlock) {
  const TqdSegmentRef s1 = Alloc(50);
  const TqdSegmentRef s2 = Alloc(50);
  const TqdSegmentRef s3 = Alloc(50);
  Free(s3);
  Free(s2);
  ASSERT_TRUE(fEngine.CompactBlock(Block(), 0, 0));
  fEngine.VerifyBlock(Block(), false);
  EXPECT_EQ(Count(), 1u);
  EXPECT_EQ(Word(kUsable - 4), 0) << "no reusable number below the live one";
  Free(s1);
  ASSERT_TRUE(fEngine.CompactBlock(Block(), 0, 0));
  EXPECT_EQ(Count(), 0u);
  EXPECT_EQ(fEngine.GetFreespace(Block()), 4060);
  EXPECT_EQ(Word(kUsable - 8), 20) << "the free chunk starts at H again";
}

TEST_F(BlockHeapTest, ADirectoryGapBecomesAReusableChainInAscendingOrder) {
  for (int i = 0; i < 5; ++i) Alloc(40);
  Free(2);
  Free(4);
  ASSERT_TRUE(fEngine.CompactBlock(Block(), 0, 0));
  EXPECT_EQ(Word(kUsable - 4), 2);
  EXPECT_EQ(Word(kUsable - 6 - 2 * 2), 4 * 4 + 2);
  EXPECT_EQ(Word(kUsable - 6 - 2 * 4), 2);
  EXPECT_EQ(Alloc(8), 2u);
  EXPECT_EQ(Alloc(8), 4u);
  EXPECT_EQ(Alloc(8), 6u);
}

TEST_F(BlockHeapTest, GrowingKeepsTheNumberInEveryWay) {
  // In place: the last segment before the free chunk grows into it.
  const TqdSegmentRef a = Alloc(100, 0xA1);
  PqdHeapSegment grown = fEngine.ReAllocSegment(Block(), 300, a);
  ASSERT_NE(grown, nullptr);
  fEngine.VerifyBlock(Block(), false);
  EXPECT_EQ(std::vector<uint8_t>(grown, grown + 100), std::vector<uint8_t>(100, 0xA1));
  // Moved: a segment with a neighbour above it moves into the free chunk.
  const TqdSegmentRef b = Alloc(100, 0xB2);
  ASSERT_NE(fEngine.ReAllocSegment(Block(), 400, a), nullptr);
  fEngine.VerifyBlock(Block(), false);
  EXPECT_GT(Word(kUsable - 6 - 2 * a), Word(kUsable - 6 - 2 * b)) << "a now lies above b";
  const std::vector<uint8_t> moved = Bytes(a);
  EXPECT_EQ(std::vector<uint8_t>(moved.begin(), moved.begin() + 100), std::vector<uint8_t>(100, 0xA1));
  // By compaction: the free chunk alone is too small, the freed space helps.
  const TqdSegmentRef c = Alloc(3000, 0xC3);
  Free(b);
  ASSERT_NE(fEngine.ReAllocSegment(Block(), 3200, c), nullptr);
  fEngine.VerifyBlock(Block(), false);
  const std::vector<uint8_t> compacted = Bytes(c);
  EXPECT_EQ(std::vector<uint8_t>(compacted.begin(), compacted.begin() + 3000), std::vector<uint8_t>(3000, 0xC3));
  EXPECT_EQ(compacted.size(), 3200u);
  // Beyond what the block holds: nil, nothing changes.
  const std::vector<uint8_t> before = fBlock;
  EXPECT_EQ(fEngine.ReAllocSegment(Block(), 4000, c), nullptr);
  EXPECT_EQ(fBlock, before);
}

TEST_F(BlockHeapTest, ShrinkingMakesTheRestRecoverable) {
  const TqdSegmentRef a = Alloc(400);
  Alloc(40);
  const uint16_t free = fEngine.GetFreespace(Block());
  ASSERT_NE(fEngine.ReAllocSegment(Block(), 100, a), nullptr);
  fEngine.VerifyBlock(Block(), false);
  EXPECT_EQ(Word(kUsable - 6), 300);
  EXPECT_EQ(fEngine.GetFreespace(Block()), free + 300 - 8);
  EXPECT_EQ(fLastFree, fEngine.GetFreespace(Block()));
}

TEST_F(BlockHeapTest, BadNumbersAndDeletedSegmentsRaise) {
  for (int i = 0; i < 5; ++i) Alloc(20);
  Free(5);
  uint16_t size = 0;
  struct Case {
    std::function<void()> action;
    TqdResult code;
    const char* text;
  };
  const Case cases[] = {
      {[&] { fEngine.GetSegment(Block(), 5, size); }, qdeSegmentDeleted, "segment deleted (5)"},
      {[&] { fEngine.FreeSegment(Block(), 5); }, qdeSegmentDeleted, "segment already deleted (5)"},
      {[&] { fEngine.ReAllocSegment(Block(), 30, 5); }, qdeSegmentDeleted, "segment deleted (5)"},
      {[&] { fEngine.GetSegment(Block(), 0, size); }, qdeBadSegmentNum, "invalid segment number (0)"},
      {[&] { fEngine.FreeSegment(Block(), 6); }, qdeBadSegmentNum, "invalid segment number (6)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CodeOf(c.action), c.code) << c.text;
    EXPECT_EQ(TextOf(c.action), c.text);
  }
  ASSERT_TRUE(fEngine.CompactBlock(Block(), 4, 20));
  Free(4);
  ASSERT_TRUE(fEngine.CompactBlock(Block(), 0, 0));
  Alloc(20);
  Alloc(20);
  Free(4);
  ASSERT_TRUE(fEngine.CompactBlock(Block(), 0, 0));  // 4 is reusable below the live 5
  EXPECT_EQ(CodeOf([&] { fEngine.GetSegment(Block(), 4, size); }), qdeBadSegmentNum);
}

TEST_F(BlockHeapTest, NextAndPreviousVisitTheLiveSegments) {
  for (int i = 0; i < 4; ++i) Alloc(uint16_t(10 + i));
  Free(2);
  std::vector<TqdSegmentRef> forward;
  uint16_t size = 0;
  for (TqdSegmentRef s = 0; fEngine.GetNextSegment(Block(), s, size) != nullptr;) forward.push_back(s);
  EXPECT_EQ(forward, (std::vector<TqdSegmentRef>{1, 3, 4}));
  std::vector<TqdSegmentRef> backward;
  for (TqdSegmentRef s = 99; fEngine.GetPrevSegment(Block(), s, size) != nullptr;) backward.push_back(s);
  EXPECT_EQ(backward, (std::vector<TqdSegmentRef>{4, 3, 1}));
}

TEST(BlockHeapVersionTest, ReuseCountOnlyFromVersion47005) {
  struct Case {
    int32_t version;
    TqdSegmentRef incremented;
    TqdSegmentRef mask;
  };
  for (const Case& c : {Case{47005, 65541, 65535}, Case{47004, 5, 0xFFFFFFFF}}) {
    TqdNonfragmentingBlockHeapEngine engine(nullptr, kUsable, 16, c.version);
    TqdSegmentRef ref = 5;
    engine.IncSegmentRef(ref);
    EXPECT_EQ(ref, c.incremented) << c.version;
    EXPECT_EQ(engine.SegmentRefMask(), c.mask) << c.version;
  }
}

TEST(BlockHeapPropertyTest, RandomScriptsKeepTheBlockValidAndTheSegmentsIntact) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    TqdNonfragmentingBlockHeapEngine engine(nullptr, kUsable, 16, 47005);
    std::vector<uint8_t> block(kUsable, 0);
    engine.InitBlock(block.data());
    std::map<TqdSegmentRef, std::vector<uint8_t>> model;
    std::mt19937 random(seed);
    auto check = [&](int aStep) {
      engine.VerifyBlock(block.data(), false);
      for (const auto& [segment, bytes] : model) {
        uint16_t size = 0;
        PqdHeapSegment data = engine.GetSegment(block.data(), segment, size);
        ASSERT_EQ(std::vector<uint8_t>(data, data + size), bytes) << "seed " << seed << " step " << aStep;
      }
    };
    for (int step = 0; step < 10000; ++step) {
      const uint32_t action = random() % 10;
      if (action < 4 || model.empty()) {
        const uint16_t size = uint16_t(random() % (random() % 8 == 0 ? 1500 : 120));
        TqdSegmentRef segment = 0;
        PqdHeapSegment data = engine.AllocSegment(block.data(), size, segment);
        if (data != nullptr) {
          ASSERT_EQ(model.count(segment), 0u);
          std::vector<uint8_t> bytes(size);
          for (auto& b : bytes) b = uint8_t(random());
          if (size > 0) std::memcpy(data, bytes.data(), size);
          model[segment] = bytes;
        }
      } else {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        if (action < 7) {
          engine.FreeSegment(block.data(), it->first);
          model.erase(it);
        } else {
          const uint16_t size = uint16_t(random() % 600);
          PqdHeapSegment data = engine.ReAllocSegment(block.data(), size, it->first);
          if (data != nullptr) {
            it->second.resize(size, 0);
            for (uint32_t i = 0; i < size; ++i) {
              if (random() % 4 == 0) it->second[i] = uint8_t(i);
            }
            if (size > 0) std::memcpy(data, it->second.data(), size);
          }
        }
      }
      if (step % 97 == 0 && random() % 3 == 0) {
        ASSERT_TRUE(engine.CompactBlock(block.data(), 0, 0));
      }
      check(step);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// Each kind of damage to a block's words is refused with 8962 by every
// operation, never read past.
TEST_F(BlockHeapTest, DamagedWordsRaise8962) {
  for (int i = 0; i < 4; ++i) Alloc(30);
  Free(3);
  const std::vector<uint8_t> good = fBlock;
  struct Case {
    const char* what;
    std::function<void()> damage;
  };
  const uint32_t entry2 = kUsable - 6 - 4;
  const Case cases[] = {
      {"directory count beyond the block", [&] { SetWord(kUsable - 2, 3000); }},
      {"free-area word not a multiple of 4", [&] { SetWord(FreeWordPos(), Word(FreeWordPos()) + 2); }},
      {"free-area word below H", [&] { SetWord(FreeWordPos(), 8); }},
      {"free chunk size past the word", [&] { SetWord(Word(FreeWordPos()), 4000); }},
      {"reusable entry linking beyond the directory", [&] { SetWord(entry2, 100 * 4 + 2); }},
      {"live offset below H", [&] { SetWord(entry2, 4); }},
      {"length word past the free chunk", [&] { SetWord(Word(entry2), 5000); }},
      {"entry with low bits 3", [&] { SetWord(entry2, Word(entry2) | 3); }},
      {"live count mismatch", [&] { SetWord(16, 9); }},
      {"recoverable space beyond the area", [&] { SetWord(kUsable - 6, 5000); }},
      {"reusable head beyond the directory", [&] { SetWord(kUsable - 4, 40); }},
  };
  for (const Case& c : cases) {
    fBlock = good;
    c.damage();
    uint16_t size = 0;
    TqdSegmentRef segment = 0;
    EXPECT_EQ(CodeOf([&] { fEngine.GetSegment(Block(), 1, size); }), qdeFileCorrupt) << c.what;
    EXPECT_EQ(CodeOf([&] { fEngine.AllocSegment(Block(), 10, segment); }), qdeFileCorrupt) << c.what;
    EXPECT_EQ(CodeOf([&] { fEngine.FreeSegment(Block(), 1); }), qdeFileCorrupt) << c.what;
    EXPECT_EQ(CodeOf([&] { fEngine.GetFreespace(Block()); }), qdeFileCorrupt) << c.what;
  }
  fBlock = good;
  // Two live segments laid over each other pass the cheap check but not
  // the full one.
  SetWord(entry2, Word(kUsable - 6 - 2));
  EXPECT_EQ(CodeOf([&] { fEngine.VerifyBlock(Block(), true); }), qdeFileCorrupt);
}

}  // namespace
}  // namespace qd::test
