#include "foundation/qdllInterlocked.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace qd {
namespace {

// Some operations give the previous value, others the new one; callers
// depend on which.
TEST(InterlockedTest, ResultIsPreviousOrNewValueAsDocumented) {
  int32_t cell = 10;
  EXPECT_EQ(qdInterlockedCompareExchange(cell, 20, 11), 10);  // no match: unchanged
  EXPECT_EQ(cell, 10);
  EXPECT_EQ(qdInterlockedCompareExchange(cell, 20, 10), 10);
  EXPECT_EQ(cell, 20);
  EXPECT_EQ(qdInterlockedExchange(cell, 5), 20);
  EXPECT_EQ(qdInterlockedExchangeAdd(cell, 3), 5);
  EXPECT_EQ(qdInterlockedAdd(cell, 2), 10);
  EXPECT_EQ(qdInterlockedSub(cell, 4), 6);
  EXPECT_EQ(qdInterlockedIncrement(cell), 7);
  EXPECT_EQ(qdInterlockedDecrement(cell), 6);
  EXPECT_EQ(cell, 6);

  uint32_t cardinal = 0xFFFFFFFE;
  EXPECT_EQ(qdInterlockedIncrementCardinal(cardinal), 0xFFFFFFFFu);
  EXPECT_EQ(qdInterlockedAddCardinal(cardinal, 2), 1u);

  int a = 0, b = 0;
  int* pointer = &a;
  EXPECT_EQ(qdInterlockedCompareExchangePointer(pointer, &b, &b), &a);
  EXPECT_EQ(pointer, &a);
  EXPECT_EQ(qdInterlockedCompareExchangePointer(pointer, &b, &a), &a);
  EXPECT_EQ(pointer, &b);
  EXPECT_EQ(qdInterlockedExchangePointer(pointer, &a), &b);
  EXPECT_EQ(pointer, &a);
}

TEST(ListHeadTest, PopOfEmptyHeadReturnsNilAndKeepsSequence) {
  TqdListHead head;
  qdListHeadInit(head);
  TqdListEntry a{};
  qdListHeadPush(head, &a);
  ASSERT_EQ(qdListHeadPop(head), &a);
  const uint32_t sequence = head.lhSequence;
  EXPECT_EQ(qdListHeadPop(head), nullptr);
  EXPECT_EQ(head.lhSequence, sequence);
}

TEST(ListHeadTest, PushAndPopCountInSequence) {
  TqdListHead head;
  qdListHeadInit(head);
  TqdListEntry a{}, b{};
  EXPECT_EQ(qdListHeadPush(head, &a), nullptr);
  EXPECT_EQ(qdListHeadPush(head, &b), &a);
  EXPECT_EQ(head.lhSequence, 2u);
  EXPECT_EQ(qdListHeadPop(head), &b);
  EXPECT_EQ(head.lhSequence, 3u);
}

TEST(ListHeadTest, PopAllKeepsSequence) {
  TqdListHead head;
  qdListHeadInit(head);
  TqdListEntry a{}, b{};
  qdListHeadPush(head, &a);
  qdListHeadPush(head, &b);
  const uint32_t sequence = head.lhSequence;
  PqdListEntry chain = qdListHeadPopAll(head);
  EXPECT_EQ(chain, &b);
  EXPECT_EQ(chain->leNext, &a);
  EXPECT_EQ(head.lhFirst, nullptr);
  EXPECT_EQ(head.lhSequence, sequence);
}

TEST(ListHeadTest, PushChainInstallsWholeChain) {
  TqdListHead head;
  qdListHeadInit(head);
  TqdListEntry a{}, b{}, c{};
  qdListHeadPush(head, &c);
  a.leNext = &b;
  qdListHeadPushChain(head, &a, &b);
  EXPECT_EQ(qdListHeadPop(head), &a);
  EXPECT_EQ(qdListHeadPop(head), &b);
  EXPECT_EQ(qdListHeadPop(head), &c);
  EXPECT_EQ(head.lhSequence, 5u);
}

TEST(DepthListHeadTest, PushBeyondMaximumReturnsZeroAndChangesNothing) {
  TqdListHead head;
  qdListHeadInit(head);
  TqdListEntry a{}, b{}, c{};
  EXPECT_EQ(qdDepthListHeadPush(head, &a, 2), 1);
  EXPECT_EQ(qdDepthListHeadPush(head, &b, 2), 2);
  const TqdListHead before = head;
  EXPECT_EQ(qdDepthListHeadPush(head, &c, 2), 0);
  EXPECT_EQ(head.lhFirst, before.lhFirst);
  EXPECT_EQ(head.lhSequence, before.lhSequence);
  EXPECT_EQ(qdDepthListHeadDepth(head), 2);
}

TEST(DepthListHeadTest, PopRespectsMinimumAndEmptiness) {
  TqdListHead head;
  qdListHeadInit(head);
  EXPECT_EQ(qdDepthListHeadPop(head, 0), nullptr);
  TqdListEntry a{}, b{};
  qdDepthListHeadPush(head, &a, 10);
  qdDepthListHeadPush(head, &b, 10);
  EXPECT_EQ(qdDepthListHeadPop(head, 2), nullptr);  // would fall to 1
  EXPECT_EQ(qdDepthListHeadPop(head, 1), &b);
  EXPECT_EQ(qdDepthListHeadDepth(head), 1);
  EXPECT_EQ(qdDepthListHeadPop(head, 0), &a);
  EXPECT_EQ(qdDepthListHeadDepth(head), 0);
}

TEST(ClientVersionTest, FreshThreadReadsNewestVersion) {
  uint32_t plain = 0;
  int32_t clamped = 0;
  std::thread([&] {
    plain = qdThreadClientVersion();
    clamped = qdThreadClientVersionClamped();
  }).join();
  EXPECT_EQ(plain, 47501u);
  EXPECT_EQ(clamped, 47501);
}

TEST(ClientVersionTest, ClampedLimitsToNewest) {
  std::thread([] {
    qdSetThreadClientVersion(50000);
    EXPECT_EQ(qdThreadClientVersion(), 50000u);
    EXPECT_EQ(qdThreadClientVersionClamped(), 47501);
    qdSetThreadClientVersion(30900);
    EXPECT_EQ(qdThreadClientVersionClamped(), 30900);
  }).join();
}

// Entries move between a shared head and each thread's hands; at the end
// every entry must be on the head exactly once.
TEST(ListHeadStressTest, ConcurrentPushPopLosesAndDuplicatesNothing) {
  constexpr int kThreads = 4;
  constexpr int kEntries = 1024;
  constexpr int kOperationsPerThread = 250000;  // pushes + pops: 10^6 in all
  std::vector<TqdListEntry> entries(kEntries);
  TqdListHead head;
  qdListHeadInit(head);
  for (auto& entry : entries) qdListHeadPush(head, &entry);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kOperationsPerThread / 2; ++i) {
        PqdListEntry entry = qdListHeadPop(head);
        if (entry != nullptr) qdListHeadPush(head, entry);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<int> seen(kEntries, 0);
  while (PqdListEntry entry = qdListHeadPop(head)) ++seen[entry - entries.data()];
  for (int i = 0; i < kEntries; ++i) ASSERT_EQ(seen[i], 1) << "entry " << i;
}

}  // namespace
}  // namespace qd
