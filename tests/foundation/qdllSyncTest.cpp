#include "foundation/qdllSync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <set>
#include <thread>
#include <vector>

// These tests lock re-entrantly and across threads, which the static analysis
// cannot follow.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace qd {
namespace {

using Clock = std::chrono::steady_clock;

int64_t elapsedMs(Clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count();
}

// --- TqdOSEvent --------------------------------------------------------------

struct OSEventCase {
  const char* name;
  bool manualReset;
  uint32_t secondWait;  // result of a second wait after one Set
};

void PrintTo(const OSEventCase& aCase, std::ostream* aStream) { *aStream << aCase.name; }

class OSEventTest : public ::testing::TestWithParam<OSEventCase> {};

TEST_P(OSEventTest, SetReleasesWaitersAsItsResetKindSays) {
  const OSEventCase& c = GetParam();
  TqdOSEvent event(c.manualReset, false);
  EXPECT_EQ(event.WaitFor(0), kWaitTimeout);
  event.SetEvent();
  EXPECT_EQ(event.WaitFor(0), kWaitSignaled);
  EXPECT_EQ(event.WaitFor(0), c.secondWait);
  event.ResetEvent();
  EXPECT_EQ(event.WaitFor(0), kWaitTimeout);
}

INSTANTIATE_TEST_SUITE_P(Kinds, OSEventTest,
                         ::testing::Values(OSEventCase{"manual", true, kWaitSignaled},
                                           OSEventCase{"auto", false, kWaitTimeout}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OSEventTest, ManualEventReleasesEveryWaiter) {
  TqdOSEvent event(true, false);
  std::atomic<int> released{0};
  std::vector<std::jthread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.WaitFor(kInfinite) == kWaitSignaled) released.fetch_add(1);
    });
  }
  event.SetEvent();
  waiters.clear();
  EXPECT_EQ(released.load(), 3);
}

TEST(OSEventTest, AutoEventReleasesOneWaiterPerSet) {
  TqdOSEvent event(false, false);
  std::atomic<int> released{0};
  std::vector<std::jthread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (event.WaitFor(kInfinite) == kWaitSignaled) released.fetch_add(1);
    });
  }
  event.SetEvent();
  event.SetEvent();  // may coincide with the first while nobody woke yet
  while (released.load() == 0) std::this_thread::yield();
  event.SetEvent();
  waiters.clear();
  EXPECT_EQ(released.load(), 2);
}

TEST(OSEventTest, TimedWaitLastsAtLeastTheTimeOut) {
  TqdOSEvent event(false, false);
  const auto start = Clock::now();
  EXPECT_EQ(event.WaitFor(30), kWaitTimeout);
  EXPECT_GE(elapsedMs(start), 30);
}

// --- TqdPadlock --------------------------------------------------------------

class PadlockTest : public ::testing::TestWithParam<bool> {};

TEST_P(PadlockTest, IsReentrantForItsOwnerAndExclusiveForOthers) {
  TqdPadlock padlock(GetParam());
  padlock.Lock();
  padlock.Lock();
  ASSERT_TRUE(padlock.TryLock());
  bool otherGotIt = true;
  std::thread([&] {
    otherGotIt = padlock.TryLock();
    if (otherGotIt) padlock.Unlock();
  }).join();
  EXPECT_FALSE(otherGotIt);
  padlock.Unlock();
  padlock.Unlock();
  std::thread([&] {
    otherGotIt = padlock.TryLock();
    if (otherGotIt) padlock.Unlock();
  }).join();
  EXPECT_FALSE(otherGotIt) << "still held once";
  padlock.Unlock();
  std::thread([&] {
    otherGotIt = padlock.TryLock();
    if (otherGotIt) padlock.Unlock();
  }).join();
  EXPECT_TRUE(otherGotIt);
}

TEST_P(PadlockTest, GuardsAFieldAcrossThreads) {
  TqdPadlock padlock(GetParam());
  int64_t counter = 0;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 20000; ++i) {
          TqdPadlockGuard guard(padlock);
          ++counter;
        }
      });
    }
  }
  EXPECT_EQ(counter, 80000);
}

INSTANTIATE_TEST_SUITE_P(SlowAndFast, PadlockTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "fast" : "plain"); });

TEST(PadlockTest, CreateAndLockPublishesOnePadlockToRacingThreads) {
  TqdPadlock* shared = nullptr;
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<TqdPadlock*> seen(kThreads);
  int inside = 0;
  int maxInside = 0;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        TqdPadlock::CreateAndLock(shared, t % 2 == 0);
        seen[t] = qdAtomicLoad(shared);
        maxInside = std::max(maxInside, ++inside);
        --inside;
        seen[t]->Unlock();
      });
    }
  }
  for (TqdPadlock* padlock : seen) EXPECT_EQ(padlock, shared);
  EXPECT_EQ(maxInside, 1);
  delete shared;
}

TEST(PadlockTest, CreateAndLockReturnsHoldingAnExistingPadlock) {
  auto* existing = new TqdPadlock(false);
  TqdPadlock* variable = existing;
  TqdPadlock::CreateAndLock(variable, false);
  EXPECT_EQ(variable, existing);
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = existing->TryLock(); }).join();
  EXPECT_FALSE(otherGotIt);
  existing->Unlock();
  delete existing;
}

// --- TqdEvent and the event pool ---------------------------------------------

TEST(EventTest, WaitForRaisesTimeOutAfterTheGivenTime) {
  TqdEvent event;
  const auto start = Clock::now();
  try {
    event.WaitFor(40);
    FAIL() << "no time-out";
  } catch (const EqdSyncException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeTimeout);
    EXPECT_EQ(e.ErrorCode(), 15461u);
  }
  EXPECT_GE(elapsedMs(start), 40);
}

TEST(EventTest, WaitForZeroWaitsWithoutLimit) {
  TqdEvent event;
  std::atomic<bool> returned{false};
  std::atomic<bool> raised{false};
  std::jthread waiter([&] {
    try {
      event.WaitFor(0);
    } catch (...) {
      raised = true;
    }
    returned = true;
  });
  // Longer than a zero or tiny time-out would take; the wait must still run.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_FALSE(returned.load());
  event.SignalEvent();
  waiter.join();
  EXPECT_TRUE(returned.load());
  EXPECT_FALSE(raised.load());
}

TEST(EventTest, IsAutoResetAndQuietWaitReportsTimeOut) {
  TqdEvent event;
  event.SignalEvent();
  EXPECT_EQ(event.WaitForQuietly(1000), kWaitSignaled);
  EXPECT_EQ(event.WaitForQuietly(5), kWaitTimeout);
}

TEST(EventTest, TakesItsHandleFromThePoolResetAndGivesItBack) {
  TqdEventPool* pool = qdEventPool();
  ASSERT_NE(pool, nullptr);
  const int32_t pooled = pool->Count();
  {
    TqdEvent first;
    EXPECT_EQ(pool->Count(), pooled - 1);
    first.SignalEvent();  // goes back to the pool signalled
  }
  EXPECT_EQ(pool->Count(), pooled);
  TqdEvent second;  // the same handle again (the pool is a stack)
  EXPECT_EQ(second.WaitForQuietly(5), kWaitTimeout) << "a pooled handle must be reset when taken";
}

TEST(EventPoolTest, StartsWith250Handles) {
  TqdEventPool* pool = qdEventPool();
  ASSERT_NE(pool, nullptr);
  // Other tests take handles and give them back; at rest the pool holds at
  // least what it started with.
  EXPECT_GE(pool->Count(), 250);
}

TEST(EventPoolTest, GetCreatesWhenEmptyAndFlushKeepsTheRetainCount) {
  TqdEventPool pool(3, 1);
  EXPECT_EQ(pool.Count(), 3);
  std::set<TqdEventHandle> handles;
  for (int i = 0; i < 5; ++i) handles.insert(pool.Get());
  EXPECT_EQ(handles.size(), 5u);
  EXPECT_EQ(pool.Count(), 0);
  for (TqdEventHandle handle : handles) pool.Put(handle);
  EXPECT_EQ(pool.Count(), 5);
  pool.Flush();
  EXPECT_EQ(pool.Count(), 1);
}

// --- TqdThreadSafeStack --------------------------------------------------------

TEST(ThreadSafeStackTest, SixHundredPushesTakeASecondPageAndPopInReverse) {
  TqdThreadSafeStack stack;
  EXPECT_EQ(stack.PageCount(), 1);
  EXPECT_EQ(stack.Pop(), nullptr);
  for (uintptr_t i = 1; i <= 600; ++i) stack.Push(reinterpret_cast<void*>(i));
  EXPECT_EQ(stack.Count(), 600);
  EXPECT_EQ(stack.PageCount(), 2);
  for (uintptr_t i = 600; i >= 1; --i) ASSERT_EQ(stack.Pop(), reinterpret_cast<void*>(i));
  EXPECT_EQ(stack.Pop(), nullptr);
  EXPECT_EQ(stack.Count(), 0);
  // Entries are reused: refilling takes no further page.
  for (uintptr_t i = 1; i <= 600; ++i) stack.Push(reinterpret_cast<void*>(i));
  EXPECT_EQ(stack.PageCount(), 2);
}

TEST(ThreadSafeStackTest, ConcurrentPushersAndPoppersLoseAndDuplicateNothing) {
  TqdThreadSafeStack stack;
  constexpr int kThreads = 4;
  constexpr uintptr_t kPerThread = 20000;
  std::vector<std::vector<uintptr_t>> popped(kThreads);
  {
    std::latch start(kThreads);
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (uintptr_t i = 0; i < kPerThread; ++i) {
          stack.Push(reinterpret_cast<void*>(t * kPerThread + i + 1));
          if (i % 2 == 1) {
            void* value = stack.Pop();
            if (value != nullptr) popped[t].push_back(reinterpret_cast<uintptr_t>(value));
          }
        }
      });
    }
  }
  std::vector<bool> found(kThreads * kPerThread + 1, false);
  size_t total = 0;
  auto take = [&](uintptr_t value) {
    ASSERT_GE(value, 1u);
    ASSERT_LE(value, kThreads * kPerThread);
    EXPECT_FALSE(found[value]) << "value " << value << " popped twice";
    found[value] = true;
    ++total;
  };
  for (const auto& list : popped)
    for (uintptr_t value : list) take(value);
  while (void* value = stack.Pop()) take(reinterpret_cast<uintptr_t>(value));
  EXPECT_EQ(total, kThreads * kPerThread);
  EXPECT_EQ(stack.Count(), 0);
}

// --- Manual events ---------------------------------------------------------------

TEST(ManualEventTest, The129thEventHandedBackIsFreed) {
  std::vector<TqdManualEventRef> held;
  for (int i = 0; i < 129; ++i) held.push_back(qdGetManualEvent());
  ASSERT_EQ(qdManualEventPoolDepth(), 0) << "every pooled event is in use now";
  const int32_t alive = qdManualEventInstanceCount();
  for (int i = 0; i < 128; ++i) held[i].Clear();
  EXPECT_EQ(qdManualEventPoolDepth(), 128);
  EXPECT_EQ(qdManualEventInstanceCount(), alive);
  held[128].Clear();
  EXPECT_EQ(qdManualEventPoolDepth(), 128);
  EXPECT_EQ(qdManualEventInstanceCount(), alive - 1);
}

TEST(ManualEventTest, APooledEventComesBackReset) {
  IqdManualEvent* raw;
  {
    TqdManualEventRef event = qdGetManualEvent();
    raw = event.Get();
    event->SignalEvent();
    EXPECT_EQ(event->GetHandle()->WaitFor(0), kWaitSignaled);
  }
  TqdManualEventRef again = qdGetManualEvent();
  ASSERT_EQ(again.Get(), raw) << "the pool hands out the last event given back";
  EXPECT_EQ(again->GetHandle()->WaitFor(0), kWaitTimeout);
}

TEST(ManualEventTest, ReferencesKeepTheEventOutOfThePool) {
  TqdManualEventRef event = qdGetManualEvent();
  const uint16_t depth = qdManualEventPoolDepth();
  TqdManualEventRef copy = event;
  event.Clear();
  EXPECT_EQ(qdManualEventPoolDepth(), depth);
  copy.Clear();
  EXPECT_EQ(qdManualEventPoolDepth(), depth + 1);
}

TEST(ManualEventTest, SignalReleasesEveryWaiter) {
  TqdManualEventRef event = qdGetManualEvent();
  std::atomic<int> released{0};
  {
    std::vector<std::jthread> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&, ref = event] {
        ref->WaitFor();
        released.fetch_add(1);
      });
    }
    event->SignalEvent();
  }
  EXPECT_EQ(released.load(), 3);
}

// --- Thread hook -------------------------------------------------------------------

TEST(ThreadHookTest, CallsTheCallingThreadsHookOnly) {
  EXPECT_EQ(qdCallThreadHook(), 0);
  int calls = 0;
  qdSetThreadHook([](void* aData) { return ++*static_cast<int*>(aData) * 10; }, &calls);
  EXPECT_EQ(qdCallThreadHook(), 10);
  EXPECT_EQ(qdCallThreadHook(), 20);
  int32_t other = -1;
  std::thread([&] { other = qdCallThreadHook(); }).join();
  EXPECT_EQ(other, 0);
  qdSetThreadHook(nullptr, nullptr);
  EXPECT_EQ(qdCallThreadHook(), 0);
  EXPECT_EQ(calls, 2);
}

// --- Test points -------------------------------------------------------------------

TEST(TestPointTest, RunsTheAttachedActionUntilCleared) {
  int hits = 0;
  TqdFaultTestPoints::SetAction("SyncTest.Point", [&] { ++hits; });
  qdTestPoint("SyncTest.Point");
  qdTestPoint("SyncTest.Other");
  qdTestPoint("SyncTest.Point");
  TqdFaultTestPoints::ClearAll();
  qdTestPoint("SyncTest.Point");
  EXPECT_EQ(hits, 2);
}

}  // namespace
}  // namespace qd
