// The per-thread deadline: arming and nesting, the 10 ms margin of
// qdCheckTimeout, what qdRemainingTimeout answers, cancel from another
// thread, the progress hook, the priority reduction, and the hooks through
// which the contract and storage's long loops reach the same deadline.
#include "server/qdsrTimeoutHandling.h"

#include <gtest/gtest.h>

#include <thread>

#include "client/qdsdServerEngine.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllSync.h"
#include "storage/qdseRecordEngineStatic.h"
#include "storage/qdsrSubEngineBase.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

std::atomic<uint64_t> fakeNow{1'000'000};
uint64_t fakeTicks() { return fakeNow.load(); }

// A clock that moves only when the test moves it, and a fresh record.
class TimeoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fPrevious = qdSetTickSource(fakeTicks);
    Reset();
  }
  void TearDown() override {
    Reset();
    qdSetTickSource(fPrevious);
  }
  static void Reset() {
    TqdThreadTimeoutRec& rec = qdThreadTimeoutRec();
    rec.ttrDeadline = 0;
    rec.ttrNesting = 0;
    rec.ttrLastProgress = fakeNow.load();
    rec.ttrCancelled = false;
    rec.ttrPriorityNesting = 0;
    rec.ttrReductionPending = false;
    qdSetThreadPriority(0);
  }
  static void Advance(uint64_t aMs) { fakeNow += aMs; }
  static TqdResult Check() {
    return CodeOf([] { qdsrTimeoutHandling::qdCheckTimeout(); });
  }
  static qdString CheckText() {
    try {
      qdsrTimeoutHandling::qdCheckTimeout();
    } catch (const EqdBaseException& e) {
      return e.ProcessedErrorString();
    }
    return qdString();
  }

 private:
  TqdTickSource fPrevious = nullptr;
};

TEST_F(TimeoutTest, NestingKeepsTheOuterDeadlineUnlessForced) {
  qdSetThreadTimeout(100, false);
  const uint64_t outer = qdGetThreadDeadline();
  EXPECT_EQ(outer, fakeNow.load() + 100);
  qdEnterTimeoutNesting();
  qdSetThreadTimeout(5000, false);
  EXPECT_EQ(qdGetThreadDeadline(), outer);
  qdSetThreadTimeout(5000, true);
  EXPECT_EQ(qdGetThreadDeadline(), fakeNow.load() + 5000);
  qdLeaveTimeoutNesting();
  qdSetThreadTimeout(7, false);
  EXPECT_EQ(qdGetThreadDeadline(), fakeNow.load() + 7);
  // Leaving more often than entering is a programming error, reported.
  EXPECT_EQ(CodeOf([] { qdLeaveTimeoutNesting(); }), qdeTimeout);
  EXPECT_EQ(qdThreadTimeoutRec().ttrNesting, 0);
}

TEST_F(TimeoutTest, NoDeadlineNeverTimesOutAndLeavesNoTimeToWait) {
  // Never armed (0) and armed with 0 or $FFFFFFFF mean the same.
  EXPECT_EQ(Check(), 0u);
  EXPECT_EQ(qdRemainingTimeout(), 0);
  for (uint32_t timeout : {0u, 0xFFFFFFFFu}) {
    qdSetThreadTimeout(timeout, false);
    EXPECT_EQ(qdGetThreadDeadline(), kqdNoDeadline);
    Advance(1'000'000);
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(qdRemainingTimeout(), 0);
  }
}

TEST_F(TimeoutTest, CheckKeepsATenMillisecondMargin) {
  struct Case {
    uint32_t timeout;
    uint64_t elapsed;
    TqdResult expected;
  };
  const Case cases[] = {{100, 90, 0}, {100, 91, qdeTimeout}, {9, 0, qdeTimeout}, {10, 0, 0}, {10, 11, qdeTimeout}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.timeout << " ms, " << c.elapsed << " elapsed");
    qdSetThreadTimeout(c.timeout, false);
    Advance(c.elapsed);
    EXPECT_EQ(Check(), c.expected);
  }
  qdSetThreadTimeout(5, false);
  EXPECT_EQ(CheckText(), u"The operation could not be completed in the allotted time.");
}

TEST_F(TimeoutTest, RemainingIsClampedAtBothEnds) {
  struct Case {
    uint32_t timeout;
    uint64_t elapsed;
    int32_t expected;
  };
  const Case cases[] = {
      {1, 0, 0}, {2, 0, 2}, {5000, 1000, 4000}, {10, 30, 0}, {0xFFFFFFFE, 0, 0x7FFFFFFF}, {0x80000000u, 0, 0x7FFFFFFF}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.timeout << " ms, " << c.elapsed << " elapsed");
    qdSetThreadTimeout(c.timeout, false);
    Advance(c.elapsed);
    EXPECT_EQ(qdRemainingTimeout(), c.expected);
  }
}

TEST_F(TimeoutTest, CancelFromAnotherThreadComesBeforeTheDeadline) {
  qdSetThreadTimeout(60'000, false);
  std::atomic<bool>* flag = qdThreadCancelFlag();
  std::thread other([flag] { flag->store(true); });
  other.join();
  EXPECT_EQ(qdRemainingTimeout(), 1);
  EXPECT_EQ(CheckText(), u"Processing cancelled");
  Advance(120'000);
  EXPECT_EQ(CheckText(), u"Processing cancelled");
  // Each thread has its own flag.
  std::atomic<bool>* otherFlag = nullptr;
  std::thread third([&] { otherFlag = qdThreadCancelFlag(); });
  third.join();
  EXPECT_NE(otherFlag, flag);
}

TEST_F(TimeoutTest, ProgressHookRunsAtMostOnceASecond) {
  static int calls;
  calls = 0;
  qdSetThreadHook([](void*) -> int32_t { return ++calls; }, &calls);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(Check(), 0u);
    Advance(100);
  }
  qdSetThreadHook(nullptr, nullptr);
  // 5 s of polling every 100 ms: one call per second that passed.
  EXPECT_GE(calls, 4);
  EXPECT_LE(calls, 5);
}

TEST_F(TimeoutTest, PriorityReductionAppliesOnceDueAndOnlyForTheOutermost) {
  qdSetThreadPriority(1);
  // A delay of 0 never applies.
  qdBeginPriorityReduction(0, kqdThreadPriorityLowest);
  Advance(10'000);
  EXPECT_EQ(Check(), 0u);
  EXPECT_EQ(qdGetThreadPriority(), 1);
  qdEndPriorityReduction();
  EXPECT_EQ(qdGetThreadPriority(), 1);

  qdBeginPriorityReduction(100, kqdThreadPriorityLowest);
  qdBeginPriorityReduction(1, 5);  // nested: counts only
  Advance(50);
  EXPECT_EQ(Check(), 0u);
  EXPECT_EQ(qdGetThreadPriority(), 1);
  Advance(51);
  EXPECT_EQ(Check(), 0u);
  EXPECT_EQ(qdGetThreadPriority(), kqdThreadPriorityLowest);
  qdEndPriorityReduction();
  EXPECT_EQ(qdGetThreadPriority(), kqdThreadPriorityLowest);
  qdEndPriorityReduction();
  EXPECT_EQ(qdGetThreadPriority(), 1);

  // Ended before it fell due: the priority is untouched.
  qdBeginPriorityReduction(100, kqdThreadPriorityLowest);
  qdSetThreadTimeout(60'000, false);
  Advance(99);
  EXPECT_GT(qdRemainingTimeout(), 0);
  qdEndPriorityReduction();
  EXPECT_EQ(qdGetThreadPriority(), 1);
  // qdRemainingTimeout applies a reduction that fell due, too.
  qdBeginPriorityReduction(10, 3);
  Advance(11);
  EXPECT_GT(qdRemainingTimeout(), 0);
  EXPECT_EQ(qdGetThreadPriority(), 3);
  qdEndPriorityReduction();
  EXPECT_EQ(qdGetThreadPriority(), 1);
}

TEST_F(TimeoutTest, TheContractSeesTheSameDeadline) {
  // Installed at start-up by the server layer.
  EXPECT_EQ(qdSetThreadTimeoutHook, &qdSetThreadTimeout);
  EXPECT_EQ(qdThreadCancelFlagHook, &qdThreadCancelFlag);
  EXPECT_EQ(qdThreadCancelFlagHook(), &qdThreadTimeoutRec().ttrCancelled);
  qdSetThreadTimeoutHook(0, false);
  EXPECT_EQ(qdThreadOperationDeadline(), 0u);
  qdSetThreadTimeoutHook(3000, false);
  const uint64_t steadyNow = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
  const uint64_t deadline = qdThreadOperationDeadline();
  EXPECT_GE(deadline, steadyNow + 2900);
  EXPECT_LE(deadline, steadyNow + 3100);
  qdEnterTimeoutNestingHook();
  EXPECT_EQ(qdThreadTimeoutRec().ttrNesting, 1);
  qdLeaveTimeoutNestingHook();
}

TEST(TimeoutHooksTest, ShutDownPutsTheDefaultsBackAndStartUpReinstalls) {
  qdsrTimeoutHandlingFinalize();
  EXPECT_EQ(qdCheckTimeoutHook, nullptr);
  EXPECT_EQ(qdThreadCancelFlagHook(), nullptr);
  EXPECT_NE(qdSetThreadTimeoutHook, &qdSetThreadTimeout);
  qdsrTimeoutHandlingInitialize();
  EXPECT_NE(qdCheckTimeoutHook, nullptr);
  EXPECT_EQ(qdSetThreadTimeoutHook, &qdSetThreadTimeout);
}

// A storage walk polls storage's qdCheckTimeout, which the server's
// start-up pointed at this deadline: an iterator slower than the deadline
// ends the walk with 15461.
TEST(TimeoutHooksTest, AStorageWalkEndsAtTheThreadsDeadline) {
  TqdFaultFixture fixture;
  TqdBufferManager cache{u"/tmp"};
  TqdDataDictionary dict;
  dict.FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
  std::unique_ptr<TqdTestTable> table = TqdTestTable::Create(&cache, "/db/walk.qd1");
  TqdBlockAccessList files{&table->Access()};
  std::unique_ptr<TqdBaseRecordEngine> engine;
  {
    TqdTestTransaction trans(&cache);
    engine.reset(TqdBaseRecordEngine::CreateEngine(&dict, files, &trans));
    trans.Commit();
  }
  std::vector<uint8_t> record(size_t(dict.FieldsDescriptor()->RecordLength()) + 4, 0);
  {
    TqdTestTransaction trans(&cache);
    for (int32_t id = 1; id <= 3000; ++id) {
      dict.FieldsDescriptor()->InitRecord(record.data());
      dict.FieldsDescriptor()->SetRecordField(0, record.data(), &id);
      TqdRefNr refNr = 0;
      engine->AddRecord(&trans, refNr, record.data());
    }
    trans.Commit();
  }
  int visited = 0;
  auto slow = [](void* aCookie, TqdRefNr, PqdRecordBuffer) {
    if (++*static_cast<int*>(aCookie) % 500 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return rirContinue;
  };
  PqdRecordBuffer data = record.data();
  TqdRefNr refNr = 0;
  qdSetThreadTimeout(50, true);
  EXPECT_EQ(CodeOf([&] { engine->Iterate(nullptr, refNr, &data, slow, &visited, nullptr, false, false); }), qdeTimeout);
  EXPECT_LT(visited, 3000);
  // Without a deadline the same walk runs to the end.
  qdSetThreadTimeout(0, true);
  visited = 0;
  refNr = 0;
  engine->Iterate(nullptr, refNr, &data, slow, &visited, nullptr, false, false);
  EXPECT_EQ(visited, 3000);
  engine.reset();
  table.reset();
}

}  // namespace
}  // namespace qd::test
