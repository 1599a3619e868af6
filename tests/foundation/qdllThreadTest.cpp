#include "foundation/qdllThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace qd {
namespace {

using Clock = std::chrono::steady_clock;

// Polls a condition another thread makes true; fails after 10 s.
template <typename TPredicate>
bool eventually(TPredicate aPredicate) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!aPredicate()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// --- TqdThread -----------------------------------------------------------------

class WorkThread : public TqdThread {
 public:
  enum Failure { fNone, fException, fForeign };
  explicit WorkThread(Failure aFailure) : TqdThread(false, tpNormal), fFailure(aFailure) {}

  std::atomic<int> executed{0};
  std::string handled;

 protected:
  void DoExecute() override {
    ++executed;
    (void)EqdBaseException::qdSetMessage(qdeRecLocked, u"left behind");
    if (fFailure == fException) throw std::runtime_error("boom");
    if (fFailure == fForeign) throw 42;
  }
  void DoHandleException(const std::exception& aException) override { handled = aException.what(); }

 private:
  Failure fFailure;
};

TEST(ThreadTest, WorkExceptionsGoToTheHandlerAndOthersAreKept) {
  struct Case {
    WorkThread::Failure failure;
    const char* handled;
    bool fatal;
  };
  const Case cases[] = {
      {WorkThread::fNone, "", false},
      {WorkThread::fException, "boom", false},
      {WorkThread::fForeign, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.failure));
    auto thread = qdCreateThread<WorkThread>(c.failure);
    thread->WaitFor();
    EXPECT_TRUE(thread->Finished());
    EXPECT_EQ(thread->executed.load(), 1);
    EXPECT_EQ(thread->handled, c.handled);
    EXPECT_EQ(thread->FatalException() != nullptr, c.fatal);
  }
}

TEST(ThreadTest, EndOfWorkClearsThePendingMessageAndCallsOnTerminateInTheThread) {
  auto* raw = new WorkThread(WorkThread::fException);
  TqdThreadPtr<WorkThread> thread(raw);
  uint32_t terminateThreadID = 0;
  uint32_t pendingCode = 1;
  qdString pendingText = u"x";
  TqdObject* sender = nullptr;
  thread->OnTerminate = [&](TqdObject* aSender) {
    sender = aSender;
    terminateThreadID = qdGetCurrentThreadID();
    EqdBaseException::GetLastConvertedException(pendingCode, pendingText);
  };
  thread->AfterConstruction();
  thread->WaitFor();
  EXPECT_EQ(sender, raw);
  EXPECT_EQ(terminateThreadID, thread->ThreadID());
  EXPECT_NE(terminateThreadID, qdGetCurrentThreadID());
  EXPECT_EQ(pendingCode, 0u);
  EXPECT_EQ(pendingText, u"");
}

TEST(ThreadTest, IsNamedAfterItsClassUnlessNamed) {
  auto unnamed = qdCreateThread<WorkThread>(WorkThread::fNone);
  EXPECT_EQ(unnamed->qdtName, u"WorkThread");
  TqdThreadPtr<WorkThread> named(new WorkThread(WorkThread::fNone));
  named->qdtName = u"Cleaner";
  named->AfterConstruction();
  EXPECT_EQ(named->qdtName, u"Cleaner");
}

class SuspendedThread : public TqdThread {
 public:
  SuspendedThread() : TqdThread(true, tpLowest) {}
  std::atomic<int> executed{0};

 protected:
  void DoExecute() override { ++executed; }
};

TEST(ThreadTest, SuspendedThreadRunsOnlyWhenStarted) {
  auto never = qdCreateThread<SuspendedThread>();
  never->WaitForEx(20);
  EXPECT_FALSE(never->Finished());
  never.reset();  // destroying a never-started thread runs nothing

  auto started = qdCreateThread<SuspendedThread>();
  EXPECT_EQ(started->executed.load(), 0);
  started->Start();
  started->WaitFor();
  EXPECT_EQ(started->executed.load(), 1);
}

// --- Init and wait threads ------------------------------------------------------------

class StartupFailure : public std::exception {
 public:
  const char* what() const noexcept override { return "start-up failed"; }
};

template <typename TBase>
class StartupThread : public TBase {
 public:
  explicit StartupThread(bool aFail) : TBase(tpNormal), fFail(aFail) {}

  std::atomic<uint32_t> startupThreadID{0};
  std::atomic<bool> started{false};
  std::atomic<bool> worked{false};

 protected:
  void DoStartup() override {
    startupThreadID = qdGetCurrentThreadID();
    if (fFail) throw StartupFailure();
    started = true;
  }
  void DoWork() override { worked = true; }

 private:
  bool fFail;
};

TEST(InitThreadTest, StartupIsConfirmedBeforeTheCreatorContinues) {
  auto thread = qdCreateThread<StartupThread<TqdInitThread>>(false);
  EXPECT_TRUE(thread->started.load());
  EXPECT_NE(thread->startupThreadID.load(), qdGetCurrentThreadID());
}

TEST(InitThreadTest, StartupExceptionIsRaisedInTheCreatingThread) {
  // Watch the object the failed construction frees through its OnTerminate.
  std::atomic<bool> worked{false};
  std::atomic<bool> terminated{false};
  struct Watched : StartupThread<TqdInitThread> {
    Watched(std::atomic<bool>& aWorked, std::atomic<bool>& aTerminated)
        : StartupThread<TqdInitThread>(true), fWorked(aWorked) {
      OnTerminate = [&aTerminated](TqdObject*) { aTerminated = true; };
    }
    void DoWork() override { fWorked = true; }
    std::atomic<bool>& fWorked;
  };
  EXPECT_THROW(qdCreateThread<Watched>(worked, terminated), StartupFailure);
  EXPECT_TRUE(terminated.load()) << "the failed thread ended before the exception reached the creator";
  EXPECT_FALSE(worked.load()) << "no work after a failed start-up";
}

TEST(InitThreadTest, WaitThreadKeepsWaitingUntilDestroyedButInitThreadEndsByItself) {
  auto waiting = qdCreateThread<StartupThread<TqdInternalWaitThread>>(false);
  ASSERT_TRUE(eventually([&] { return waiting->Waiting(); }));
  EXPECT_TRUE(waiting->worked.load());
  waiting->WaitForEx(20);
  EXPECT_FALSE(waiting->Finished()) << "a wait thread stays alive until its owner lets it go";
  waiting.reset();

  auto ending = qdCreateThread<StartupThread<TqdInitThread>>(false);
  ending->WaitForEx(-1);
  EXPECT_TRUE(ending->Finished());
  EXPECT_TRUE(ending->worked.load());
}

// --- Timer threads -------------------------------------------------------------------

class CountingTimer : public TqdTimerThread {
 public:
  explicit CountingTimer(int32_t aInterval, bool aFailEveryOther = false)
      : TqdTimerThread(aInterval, tpHigher), fFailEveryOther(aFailEveryOther) {}

  void Kick() { ttTimerEvent->SignalEvent(); }
  // Waits until DoTimer has run aCount times in all.
  bool WaitForTicks(int aCount) {
    return eventually([&] { return ticks.load() >= aCount; });
  }

  std::atomic<int> ticks{0};
  std::atomic<int> handled{0};

 protected:
  void DoTimer() override {
    const int tick = ++ticks;
    if (fFailEveryOther && tick % 2 == 1) throw std::runtime_error("tick failed");
  }
  void DoHandleException(const std::exception&) override { ++handled; }

 private:
  const bool fFailEveryOther;
};

TEST(TimerThreadTest, ZeroIntervalRunsOnlyWhenSignalled) {
  auto timer = qdCreateThread<CountingTimer>(0);
  // Long enough for any interval-driven tick to have shown up.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(timer->ticks.load(), 0);
  timer->Kick();
  ASSERT_TRUE(timer->WaitForTicks(1));
  timer->Kick();
  ASSERT_TRUE(timer->WaitForTicks(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(timer->ticks.load(), 2);

  const auto start = Clock::now();
  timer.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "destroying ends the thread promptly";
}

TEST(TimerThreadTest, IntervalRepeatsAndExceptionsDoNotStopTheLoop) {
  auto timer = qdCreateThread<CountingTimer>(5, true);
  ASSERT_TRUE(timer->WaitForTicks(4));
  // Ticks 1 and 3 failed and went to the handler; the loop went on.
  EXPECT_GE(timer->handled.load(), 2);
}

TEST(TimerThreadTest, SimpleTimerCallsBackWithItself) {
  std::atomic<TqdObject*> sender{nullptr};
  std::atomic<int> calls{0};
  auto timer = qdCreateThread<TqdSimpleTimerThread>(1, tpNormal, [&](TqdObject* aSender) {
    sender = aSender;
    ++calls;
  });
  ASSERT_TRUE(eventually([&] { return calls.load() >= 2; }));
  EXPECT_EQ(sender.load(), timer.get());
  EXPECT_EQ(timer->qdtName, u"TqdSimpleTimerThread");
  timer.reset();
  const int after = calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(calls.load(), after) << "no callback after destruction";
}

// --- Priority names ----------------------------------------------------------------------

TEST(ThreadPriorityTest, SixValuesHaveNames) {
  struct Case {
    TqdThreadPriority value;
    const char16_t* ident;
  };
  const Case cases[] = {
      {-15, u"IDLE"}, {-2, u"LOWEST"}, {-1, u"BELOW_NORMAL"}, {0, u"NORMAL"}, {1, u"ABOVE_NORMAL"}, {2, u"HIGHEST"},
  };
  for (const Case& c : cases) {
    qdString ident;
    ASSERT_TRUE(qdThreadPriorityToIdent(c.value, ident));
    EXPECT_EQ(ident, c.ident);
    TqdThreadPriority value = 99;
    ASSERT_TRUE(qdIdentToThreadPriority(c.ident, value));
    EXPECT_EQ(value, c.value);
  }
  qdString ident;
  for (TqdThreadPriority unnamed : {15, 3, -3, -14}) EXPECT_FALSE(qdThreadPriorityToIdent(unnamed, ident)) << unnamed;
  TqdThreadPriority value = 99;
  EXPECT_TRUE(qdIdentToThreadPriority(u"highest", value));
  EXPECT_EQ(value, 2);
  EXPECT_FALSE(qdIdentToThreadPriority(u"HIGH", value));
  EXPECT_FALSE(qdIdentToThreadPriority(u"NORMALX", value));
}

}  // namespace
}  // namespace qd
