#include "foundation/qdmmBitMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/qdSysUtils.h"

namespace qd {
namespace {

TqdBitMap emptyMap() {
  TqdBitMap map;
  map.Clear();
  return map;
}

TEST(BitMapTest, TakeHighestTakesBitsFromTheTopAcrossWords) {
  TqdBitMap map = emptyMap();
  const int32_t bits[] = {0, 63, 64, 1000, 4095, 127};
  for (int32_t bit : bits) ASSERT_TRUE(map.SetBit(bit));
  std::vector<int32_t> expected(std::begin(bits), std::end(bits));
  std::sort(expected.rbegin(), expected.rend());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(map.FindHighest(), expected[i]);
    bool becameEmpty = true;
    EXPECT_EQ(map.TakeHighest(&becameEmpty), expected[i]);
    EXPECT_EQ(becameEmpty, i + 1 == expected.size()) << "after taking bit " << expected[i];
    map.CheckInvariants();
  }
  bool becameEmpty = true;
  EXPECT_EQ(map.TakeHighest(&becameEmpty), -1);
  EXPECT_FALSE(becameEmpty);
  EXPECT_EQ(map.FindHighest(), -1);
}

TEST(BitMapTest, SetBitFailsWhenSetAndReportsAnEmptyMap) {
  TqdBitMap map = emptyMap();
  bool wasEmpty = false;
  EXPECT_TRUE(map.SetBit(200, &wasEmpty));
  EXPECT_TRUE(wasEmpty);
  EXPECT_FALSE(map.SetBit(200, &wasEmpty));
  EXPECT_FALSE(wasEmpty);
  EXPECT_TRUE(map.SetBit(201, &wasEmpty));
  EXPECT_FALSE(wasEmpty);
  EXPECT_TRUE(map.ClearBit(200));
  EXPECT_FALSE(map.ClearBit(200));
  EXPECT_TRUE(map.TestBit(201));
  EXPECT_FALSE(map.TestBit(200));
  map.CheckInvariants();
}

TEST(BitMapTest, SummariesFollowFullAndEmptyWords) {
  TqdBitMap map = emptyMap();
  map.FillWords(16);
  EXPECT_EQ(map.FullSummary(), 0xFFFFu);
  map.CheckInvariants();
  EXPECT_EQ(map.TakeHighest(), 16 * 64 - 1);
  EXPECT_EQ(map.FullSummary(), 0x7FFFu);
  map.CheckInvariants();
  map.ToggleBit(16 * 64 - 1);
  EXPECT_EQ(map.FullSummary(), 0xFFFFu);
  map.ToggleBit(5000 % TqdBitMap::kBitCount);
  map.CheckInvariants();
}

TEST(BitMapTest, WholeWordsAreTakenOnlyWhenFullAndRestoredOnlyWhenEmpty) {
  TqdBitMap map = emptyMap();
  map.FillWords(2);
  EXPECT_TRUE(map.TakeFullWord(0));
  EXPECT_FALSE(map.TakeFullWord(0));  // now empty
  ASSERT_TRUE(map.ClearBit(64));
  EXPECT_FALSE(map.TakeFullWord(1));  // one bit missing
  EXPECT_FALSE(map.RestoreFullWord(1));
  EXPECT_TRUE(map.RestoreFullWord(0));
  EXPECT_EQ(map.FullSummary(), 1u);
  map.CheckInvariants();
}

TEST(BitMapTest, CheckInvariantsNoticesAStaleSummary) {
  TqdBitMap map = emptyMap();
  map.bmWords[3] = 1;  // behind the map's back
  EXPECT_THROW(map.CheckInvariants(), EAssertionFailed);
}

TEST(BitMapStressTest, ConcurrentTakersGetEveryBitExactlyOnce) {
  TqdBitMap map = emptyMap();
  map.FillWords(TqdBitMap::kWordCount);
  // Every fifth bit is put back the first time it is taken, so setters and
  // takers interleave; each bit must still end up with exactly one taker.
  std::vector<std::atomic<bool>> putBack(TqdBitMap::kBitCount);
  std::vector<std::vector<int32_t>> taken(4);
  std::vector<std::thread> threads;
  for (auto& mine : taken) {
    threads.emplace_back([&map, &mine, &putBack] {
      for (int32_t bit; (bit = map.TakeHighest()) >= 0;) {
        if (bit % 5 == 0 && !putBack[bit].exchange(true)) {
          ASSERT_TRUE(map.SetBit(bit));
        } else {
          mine.push_back(bit);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<int32_t> all;
  for (auto& mine : taken) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(TqdBitMap::kBitCount));
  for (int32_t i = 0; i < TqdBitMap::kBitCount; ++i) ASSERT_EQ(all[i], i);
  EXPECT_TRUE(map.IsEmpty());
  map.CheckInvariants();
}

TEST(BitMapStressTest, ConcurrentSettersAndTakersKeepTheSummariesTrue) {
  TqdBitMap map = emptyMap();
  std::vector<std::thread> threads;
  for (int32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&map, t] {
      for (int32_t round = 0; round < 200; ++round) {
        for (int32_t bit = t; bit < TqdBitMap::kBitCount; bit += 4 * 7) map.SetBit(bit);
        for (int32_t i = 0; i < 40; ++i) map.TakeHighest();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  map.CheckInvariants();
}

}  // namespace
}  // namespace qd
