#include "foundation/qdllSyncPortal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <set>
#include <thread>
#include <vector>

// These tests take and leave the portal in patterns (across threads, upgrades
// from read to write) that the static analysis cannot follow.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace qd {
namespace {

constexpr int32_t kIdle = TqdInternalReadWritePortal::kIdle;

// Raises an event each time some thread passes the named test point.
class TestPointSignal {
 public:
  explicit TestPointSignal(const char* aName) {
    TqdFaultTestPoints::SetAction(aName, [this] { fReached.SetEvent(); });
  }
  ~TestPointSignal() { TqdFaultTestPoints::ClearAll(); }
  void Wait() { ASSERT_EQ(fReached.WaitFor(10000), kWaitSignaled) << "test point never reached"; }

 private:
  TqdOSEvent fReached{false, false};
};

// --- Thread-state records ------------------------------------------------------

struct BucketCase {
  uint32_t id;
  uint32_t bucket;
};

TEST(ThreadStatesTest, BucketIsTheXorOfTheIdsBytesModulo16) {
  const BucketCase cases[] = {
      {0x00000000, 0x0}, {0x0000000F, 0xF}, {0x00000010, 0x0}, {0x01020304, 0x4},
      {0x12345678, 0x8}, {0xFFFFFFFF, 0x0}, {0x000000FE, 0xE}, {0x0F000001, 0xE},
  };
  for (const BucketCase& c : cases) EXPECT_EQ(TqdThreadStates::BucketOf(c.id), c.bucket) << std::hex << c.id;
}

// Ids that all fall into one bucket.
std::vector<uint32_t> idsInBucket(uint32_t aBucket, size_t aCount) {
  std::vector<uint32_t> ids;
  for (uint32_t id = 1; ids.size() < aCount; ++id) {
    if (TqdThreadStates::BucketOf(id) == aBucket) ids.push_back(id);
  }
  return ids;
}

TEST(ThreadStatesTest, SeventeenThreadsOfOneBucketEachGetTheirOwnRecord) {
  TqdThreadStates states;
  const std::vector<uint32_t> ids = idsInBucket(5, 17);
  std::vector<PqdThreadState> records(ids.size());
  {
    std::latch start(static_cast<ptrdiff_t>(ids.size()));
    std::vector<std::jthread> threads;
    for (size_t i = 0; i < ids.size(); ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();  // all insert at the bucket head at once
        states.Acquire(ids[i], records[i]);
      });
    }
  }
  std::set<PqdThreadState> distinct(records.begin(), records.end());
  EXPECT_EQ(distinct.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(records[i]->tsID.load(), ids[i]);
    EXPECT_EQ(records[i]->tsInUse.load(), -1);
  }
  EXPECT_EQ(states.BucketLength(5), 17);
  for (uint32_t other = 0; other < TqdThreadStates::kBucketCount; ++other) {
    if (other != 5) {
      EXPECT_EQ(states.BucketLength(other), 0);
    }
  }

  // The same id finds its record again.
  PqdThreadState again;
  states.Acquire(ids[3], again);
  EXPECT_EQ(again, records[3]);

  // A released record goes to the next thread of the bucket.
  states.Release(records[7]);
  EXPECT_EQ(records[7]->tsID.load(), 0u);
  EXPECT_EQ(records[7]->tsInUse.load(), 0);
  const uint32_t newcomer = idsInBucket(5, 18).back();
  PqdThreadState reused;
  states.Acquire(newcomer, reused);
  EXPECT_EQ(reused, records[7]);
  EXPECT_EQ(reused->tsID.load(), newcomer);
  EXPECT_EQ(states.BucketLength(5), 17);
}

// --- Portal on one thread ---------------------------------------------------------

TEST(PortalTest, ReadsNestAndTakeOneUnitPerThread) {
  TqdInternalReadWritePortal portal;
  EXPECT_EQ(portal.PortalCounter(), kIdle);
  portal.BeginRead();
  portal.BeginRead();
  EXPECT_EQ(portal.PortalCounter(), kIdle - 1);
  portal.EndRead();
  EXPECT_EQ(portal.PortalCounter(), kIdle - 1);
  portal.EndRead();
  EXPECT_EQ(portal.PortalCounter(), kIdle);
}

TEST(PortalTest, NestedWriteReturnsTrueAndNeedsAsManyEnds) {
  TqdInternalReadWritePortal portal;
  EXPECT_TRUE(portal.BeginWrite());
  EXPECT_EQ(portal.PortalCounter(), 0);
  EXPECT_TRUE(portal.BeginWrite());
  portal.BeginRead();  // the writer reads without a unit
  EXPECT_EQ(portal.PortalCounter(), 0);
  portal.EndRead();
  portal.EndWrite();
  EXPECT_EQ(portal.WriterID(), qdGetCurrentThreadID());
  EXPECT_EQ(portal.PortalCounter(), 0);
  portal.EndWrite();
  EXPECT_EQ(portal.WriterID(), 0u);
  EXPECT_EQ(portal.PortalCounter(), kIdle);
}

TEST(PortalTest, LoneReaderUpgradesAtOnceAndKeepsItsUnit) {
  TqdInternalReadWritePortal portal;
  portal.BeginRead();
  EXPECT_TRUE(portal.BeginWrite());
  EXPECT_EQ(portal.PortalCounter(), -1);
  portal.EndWrite();
  EXPECT_EQ(portal.PortalCounter(), kIdle - 1);
  portal.EndRead();
  EXPECT_EQ(portal.PortalCounter(), kIdle);
}

TEST(PortalTest, MisuseIsAnAssertionFailure) {
  TqdInternalReadWritePortal portal;
  EXPECT_THROW(portal.EndWrite(), EAssertionFailed);
  EXPECT_THROW(portal.EndRead(), EAssertionFailed);
  // Neither left anything behind.
  EXPECT_EQ(portal.PortalCounter(), kIdle);
  portal.BeginRead();
  portal.EndRead();
  EXPECT_EQ(portal.PortalCounter(), kIdle);
}

// --- Portal across threads ------------------------------------------------------

TEST(PortalTest, ReaderAsksForWriteAndGetsItOnceOtherReadersLeave) {
  TqdInternalReadWritePortal portal;
  TestPointSignal upgraderWaits("Portal.BeginWrite.Waiting");
  TqdOSEvent upgraderReads(true, false);
  std::atomic<bool> writing{false};
  std::atomic<bool> wrote{false};
  std::atomic<bool> readerSawWriteDone{false};
  bool undisturbed = false;

  portal.BeginRead();  // the other reader: this thread
  std::jthread upgrader([&] {
    portal.BeginRead();
    upgraderReads.SetEvent();
    undisturbed = portal.BeginWrite();
    writing = true;
    wrote = true;
    writing = false;
    portal.EndWrite();
    portal.EndRead();
  });
  upgraderWaits.Wait();
  EXPECT_FALSE(writing.load());
  EXPECT_EQ(portal.WriterID(), 0u);

  // A thread that asks for its first read now waits behind the writer.
  std::jthread lateReader([&] {
    portal.BeginRead();
    readerSawWriteDone = wrote.load();
    portal.EndRead();
  });

  portal.EndRead();
  upgrader.join();
  lateReader.join();
  EXPECT_TRUE(undisturbed);
  EXPECT_TRUE(wrote.load());
  EXPECT_TRUE(readerSawWriteDone.load());
  EXPECT_EQ(portal.PortalCounter(), kIdle);
  EXPECT_EQ(portal.WriterID(), 0u);
}

TEST(PortalTest, BeginWriteReturnsFalseWhenAnotherWriterGotInBetween) {
  TqdInternalReadWritePortal portal;
  TestPointSignal writerWaits("Portal.BeginWrite.Waiting");
  portal.BeginRead();
  auto late = std::async(std::launch::async, [&] {
    const bool undisturbed = portal.BeginWrite();
    portal.EndWrite();
    return undisturbed;
  });
  writerWaits.Wait();  // it has taken its generation and waits for this reader
  EXPECT_TRUE(portal.BeginWrite()) << "the reader upgrades first";
  portal.EndWrite();
  portal.EndRead();
  EXPECT_FALSE(late.get());
  EXPECT_EQ(portal.PortalCounter(), kIdle);
}

TEST(PortalTest, SeventeenReadersOfOneBucketEachGetTheirOwnRecord) {
  TqdInternalReadWritePortal portal;
  TqdOSEvent release(true, false);
  std::atomic<int> holding{0};
  struct Candidate {
    std::promise<uint32_t> id;
    TqdOSEvent decided{false, false};
    std::atomic<bool> keep{false};
  };
  std::vector<std::unique_ptr<Candidate>> candidates;  // outlive their threads
  std::vector<std::jthread> readers;
  struct ReleaseAtExit {
    TqdOSEvent& release;
    ~ReleaseAtExit() { release.SetEvent(); }
  } releaseAtExit{release};                         // lets the readers end when an assertion returns early
  uint32_t bucket = TqdThreadStates::kBucketCount;  // not yet chosen

  // Kernel thread ids are handed out in turn; start threads until 17 of them
  // fall into the bucket of the first one. The others end at once.
  for (int spawned = 0; readers.size() < 17 && spawned < 20000; ++spawned) {
    Candidate& candidate = *candidates.emplace_back(std::make_unique<Candidate>());
    std::future<uint32_t> idFuture = candidate.id.get_future();
    std::jthread thread([&] {
      candidate.id.set_value(qdGetCurrentThreadID());
      (void)candidate.decided.WaitFor(kInfinite);
      if (!candidate.keep.load()) return;
      portal.BeginRead();
      holding.fetch_add(1);
      (void)release.WaitFor(kInfinite);
      portal.EndRead();
    });
    const uint32_t id = idFuture.get();
    if (bucket == TqdThreadStates::kBucketCount) bucket = TqdThreadStates::BucketOf(id);
    const bool keep = TqdThreadStates::BucketOf(id) == bucket;
    candidate.keep = keep;
    candidate.decided.SetEvent();
    if (keep) {
      readers.push_back(std::move(thread));
    } else {
      thread.join();
    }
  }
  ASSERT_EQ(readers.size(), 17u);
  while (holding.load() < 17) std::this_thread::yield();
  EXPECT_EQ(portal.PortalCounter(), kIdle - 17);
  EXPECT_EQ(portal.ThreadStates().BucketLength(bucket), 17);
  release.SetEvent();
  readers.clear();
  EXPECT_EQ(portal.PortalCounter(), kIdle);
  EXPECT_EQ(portal.ThreadStates().BucketLength(bucket), 17) << "records stay linked for reuse";
}

TEST(PortalTest, DestroyWaitsForTheLastReader) {
  auto* portal = new TqdInternalReadWritePortal;
  TestPointSignal destroyerWaits("Portal.BeginWrite.Waiting");
  std::atomic<bool> readerDone{false};
  std::atomic<bool> destroyedWhileReading{false};
  portal->BeginRead();
  std::jthread destroyer([&] {
    delete portal;
    destroyedWhileReading = !readerDone.load();
  });
  destroyerWaits.Wait();
  readerDone = true;
  portal->EndRead();
  destroyer.join();
  EXPECT_FALSE(destroyedWhileReading.load());
}

// The last reader makes the portal free a moment before it wakes the
// writer. A destroying writer that gets in without waiting for that wake-up
// (here: it saw the portal free while undoing its first try) must still not
// free the portal while that reader is inside EndRead.
TEST(PortalTest, DestroyWaitsForTheLastReaderToLeaveEndRead) {
  auto* portal = new TqdInternalReadWritePortal;
  TqdOSEvent r1In(true, false), r2In(true, false), r1Leave(true, false), r2Leave(true, false);
  TqdOSEvent destroyerSubtracted(true, false), destroyerGo(true, false);
  TqdOSEvent r2Counted(true, false), r2Finish(true, false);
  std::atomic<uint32_t> destroyerID{0}, r2ID{0};
  std::atomic<bool> destroyerHeld{false};
  std::atomic<bool> deleted{false};

  TqdFaultTestPoints::SetAction("Portal.BeginWrite.Subtracted", [&] {
    if (qdGetCurrentThreadID() != destroyerID.load() || destroyerHeld.exchange(true)) return;
    destroyerSubtracted.SetEvent();
    (void)destroyerGo.WaitFor(kInfinite);
  });
  TqdFaultTestPoints::SetAction("Portal.EndRead.Counted", [&] {
    if (qdGetCurrentThreadID() != r2ID.load()) return;
    r2Counted.SetEvent();
    (void)r2Finish.WaitFor(kInfinite);
  });
  struct ClearAtExit {
    TqdOSEvent* events[3];
    ~ClearAtExit() {
      for (TqdOSEvent* event : events) event->SetEvent();
      TqdFaultTestPoints::ClearAll();
    }
  } clearAtExit{{&destroyerGo, &r2Finish, &r1Leave}};

  std::jthread r1([&] {
    portal->BeginRead();
    r1In.SetEvent();
    (void)r1Leave.WaitFor(kInfinite);
    portal->EndRead();
  });
  std::jthread r2([&] {
    r2ID = qdGetCurrentThreadID();
    portal->BeginRead();
    r2In.SetEvent();
    (void)r2Leave.WaitFor(kInfinite);
    portal->EndRead();
  });
  (void)r1In.WaitFor(kInfinite);
  (void)r2In.WaitFor(kInfinite);
  std::jthread destroyer([&] {
    destroyerID = qdGetCurrentThreadID();
    delete portal;
    deleted = true;
  });
  ASSERT_EQ(destroyerSubtracted.WaitFor(10000), kWaitSignaled);  // holds 65535 off, both readers inside
  r1Leave.SetEvent();
  r1.join();
  r2Leave.SetEvent();
  ASSERT_EQ(r2Counted.WaitFor(10000), kWaitSignaled);  // counter back to 0, no wake-up sent yet
  destroyerGo.SetEvent();                              // undoing, it sees the portal free and enters at once
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(deleted.load()) << "portal freed while a reader was still inside EndRead";
  r2Finish.SetEvent();
  r2.join();
  destroyer.join();
  EXPECT_TRUE(deleted.load());
}

TEST(PortalTest, CreateAndEnterPublishOnePortalToRacingThreads) {
  for (bool write : {false, true}) {
    SCOPED_TRACE(write ? "CreateAndWrite" : "CreateAndRead");
    TqdInternalReadWritePortal* shared = nullptr;
    constexpr int kThreads = 8;
    std::vector<TqdInternalReadWritePortal*> seen(kThreads);
    std::atomic<int> writersInside{0};
    std::atomic<bool> overlapped{false};
    {
      std::latch start(kThreads);
      std::vector<std::jthread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          start.arrive_and_wait();
          if (write) {
            TqdInternalReadWritePortal::CreateAndWrite(shared);
            if (writersInside.fetch_add(1) != 0) overlapped = true;
            seen[t] = qdAtomicLoad(shared);
            writersInside.fetch_sub(1);
            seen[t]->EndWrite();
          } else {
            TqdInternalReadWritePortal::CreateAndRead(shared);
            seen[t] = qdAtomicLoad(shared);
            seen[t]->EndRead();
          }
        });
      }
    }
    for (TqdInternalReadWritePortal* portal : seen) EXPECT_EQ(portal, shared);
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(shared->PortalCounter(), kIdle);
    delete shared;
  }
}

TEST(PortalTest, WritersExcludeReadersAndEachOther) {
  TqdInternalReadWritePortal portal;
  int64_t first = 0;
  int64_t second = 0;
  std::atomic<bool> torn{false};
  {
    std::latch start(6);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int i = 0; i < 2000; ++i) {
          if (t < 2 || i % 50 == 0) {
            (void)portal.BeginWrite();
            ++first;
            if (i % 7 == 0) {
              portal.BeginRead();  // the writer may read
              portal.EndRead();
            }
            ++second;
            portal.EndWrite();
          } else {
            portal.BeginRead();
            portal.BeginRead();  // nested
            if (first != second) torn = true;
            portal.EndRead();
            if (i % 13 == 0) {
              (void)portal.BeginWrite();  // upgrade
              ++first;
              ++second;
              portal.EndWrite();
            }
            portal.EndRead();
          }
        }
      });
    }
  }
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(first, second);
  EXPECT_EQ(portal.PortalCounter(), kIdle);
}

}  // namespace
}  // namespace qd
