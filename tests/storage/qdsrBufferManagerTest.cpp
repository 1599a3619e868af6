// The block cache: versions per transaction and level, references, the
// checks on handed-out blocks, failed reads, LSNs, scratch blocks.
#include "storage/qdsrBufferManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/qdllSync.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

constexpr int32_t kOwner = 1;
constexpr TqdBlockNumber kBlocks = 6;

// A committed table whose blocks 1..6 belong to owner 1 and carry their own
// number in every byte from 16 on.
class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fTable = TqdTestTable::Create(&fCache, "/db/c.qd1");
    TqdTestTransaction trans(&fCache);
    auto header = fTable->Access().HeaderAccess(&trans, true);
    for (TqdBlockNumber n = 1; n <= kBlocks; ++n) {
      TqdBlockRef block = header->GetNewBlock(&trans, kOwner);
      ASSERT_EQ(block.BlockNumber(), n);
      std::memset(block.WritableData() + kBlockCommonHeaderSize, int(n), Usable() - kBlockCommonHeaderSize);
    }
    header.reset();
    trans.Commit();
  }

  void TearDown() override {
    fCache.CheckInvariants();
    fTable.reset();
    EXPECT_EQ(fCache.InUseCount(), 0u);
  }

  // Opens the table again in the same cache, so that blocks come from disk.
  void Reopen() {
    fTable.reset();
    fTable = TqdTestTable::Open(&fCache, "/db/c.qd1");
  }

  uint32_t Usable() const { return fTable->File()->fiBlockSizeBytes; }
  TqdBlockRef Get(TqdBaseTransaction* aTrans, TqdBlockNumber aNumber, bool aDirty = false) {
    return fTable->Access().GetBlock(aTrans, aNumber, 0, aDirty);
  }
  static uint8_t Content(const TqdBlockRef& aBlock) { return aBlock.Data()[kBlockCommonHeaderSize + 7]; }
  static void SetContent(const TqdBlockRef& aBlock, uint8_t aValue) {
    aBlock.WritableData()[kBlockCommonHeaderSize + 7] = aValue;
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  std::unique_ptr<TqdTestTable> fTable;
};

TEST_F(CacheTest, ATransactionSeesItsOwnVersionAndOthersTheCommittedImage) {
  TqdTestTransaction t1(&fCache);
  TqdTestTransaction t2(&fCache);
  SetContent(Get(&t1, 5, true), 0xAA);
  EXPECT_EQ(Content(Get(&t2, 5)), 5);
  EXPECT_EQ(Content(Get(nullptr, 5)), 5);
  EXPECT_EQ(Content(Get(&t1, 5)), 0xAA);
  t1.Commit();
  EXPECT_EQ(Content(Get(&t2, 5)), 0xAA);
  t2.Commit();
}

TEST_F(CacheTest, MakeDirtyAtANestedLevelStartsFromTheLowerLevelsVersion) {
  TqdTestTransaction trans(&fCache);
  TqdBlockRef level0 = Get(&trans, 5, true);
  SetContent(level0, 0xAA);
  const uint8_t* level0Image = level0.Data();
  level0.Release();
  // A second MakeDirty at the same level keeps the one version.
  EXPECT_EQ(Get(&trans, 5, true).Data(), level0Image);
  trans.StartNested(false);
  TqdBlockRef level1 = Get(&trans, 5, true);
  EXPECT_NE(level1.Data(), level0Image);
  EXPECT_EQ(std::memcmp(level1.Data(), level0Image, fTable->File()->BlockSizeBytes()), 0);
  TqdModifiedBlock* newest = level1.Owner()->NewestVersion();
  ASSERT_NE(newest->mbPrev, nullptr);
  EXPECT_EQ(newest->mbTransLevel->Level(), 1);
  EXPECT_EQ(newest->mbPrev->mbTransLevel->Level(), 0);
  SetContent(level1, 0xBB);
  level1.Release();
  trans.Commit();  // level 1 into level 0: one version with the level-1 content
  TqdBlockRef merged = Get(&trans, 5);
  EXPECT_EQ(Content(merged), 0xBB);
  EXPECT_EQ(merged.Owner()->NewestVersion()->mbPrev, nullptr);
  merged.Release();
  trans.Rollback();
  EXPECT_EQ(Content(Get(nullptr, 5)), 5);
}

TEST_F(CacheTest, ANewBlockReadWithoutDirtyingIsTheZeroBlock) {
  TqdTestTransaction writer(&fCache);
  TqdTestTransaction reader(&fCache);
  TqdBlockNumber added;
  {
    auto header = fTable->Access().HeaderAccess(&writer, true);
    added = header->GetNewBlock(&writer, kOwner).BlockNumber();
  }
  TqdBlockRef seen = Get(&reader, added);
  EXPECT_EQ(seen.Data(), qdZeroBlockBytes());
  EXPECT_FALSE(seen.Writable());
  EXPECT_THROW((void)seen.WritableData(), EAssertionFailed);
  seen.Release();
  writer.Rollback();
  reader.Commit();
}

TEST_F(CacheTest, AWrongOwnerIs8962WithTheBlockAlreadyReleased) {
  const std::string message = MessageOf([&] { (void)fTable->Access().GetBlock(nullptr, 5, 2, false); });
  EXPECT_NE(message.find("Expected BlockOwnerID 2 but found 1 in file \"/db/c.qd1\" for block 5"), std::string::npos)
      << message;
  EXPECT_EQ(CodeOf([&] { (void)fTable->Access().GetBlock(nullptr, 5, 2, false); }), qdeFileCorrupt);
  EXPECT_EQ(Get(nullptr, 5).Owner()->RefCount(), 1);  // only the handle just taken
  TqdBlockRef ok = fTable->Access().GetBlock(nullptr, 5, kOwner, false);
  EXPECT_EQ(ok.Owner()->RefCount(), 1);
}

TEST_F(CacheTest, ABlockStoredUnderAnotherNumberIs8962) {
  fTable.reset();
  std::vector<uint8_t> bytes = fFixture.Fs().ReadAll("/db/c.qd1");
  qdPutU32(bytes.data() + 5 * 4096 + 4, 7);
  fFixture.Fs().WriteAll("/db/c.qd1", bytes);
  fTable = TqdTestTable::Open(&fCache, "/db/c.qd1");
  const std::string message = MessageOf([&] { (void)Get(nullptr, 5); });
  EXPECT_NE(message.find("Block 5 is identified as block 7 in the block header in file \"/db/c.qd1\""),
            std::string::npos)
      << message;
  EXPECT_EQ(CodeOf([&] { (void)Get(nullptr, 5); }), qdeFileCorrupt);
}

TEST_F(CacheTest, ASecondWriterOfABlockOrFileGetsALockErrorAndChangesNothing) {
  TqdTestTransaction t1(&fCache);
  TqdTestTransaction t2(&fCache);
  SetContent(Get(&t1, 5, true), 0xAA);
  EXPECT_EQ(CodeOf([&] { (void)Get(&t2, 5, true); }), qdeRecLocked);
  // Another block of a file that t1 holds: the file cannot join t2 either.
  EXPECT_EQ(CodeOf([&] { (void)Get(&t2, 6, true); }), qdeRecLocked);
  EXPECT_EQ(t2.BlockCount(), 0u);
  EXPECT_EQ(t2.btTransFileListHead, nullptr);
  EXPECT_FALSE(Get(nullptr, 6).Owner()->Dirty());
  t1.Commit();
  SetContent(Get(&t2, 5, true), 0xBB);
  t2.Commit();
  EXPECT_EQ(Content(Get(nullptr, 5)), 0xBB);
}

TEST_F(CacheTest, DirtyBlockTurnsAHeldBlockIntoTheWritersVersion) {
  TqdTestTransaction trans(&fCache);
  TqdBlockRef block = Get(&trans, 4);
  const uint8_t* committed = block.Data();
  fTable->Access().DirtyBlock(4, &trans, block);
  ASSERT_TRUE(block.Writable());
  EXPECT_NE(block.Data(), committed);
  EXPECT_EQ(block.Owner()->RefCount(), 1);  // the handle's reference moved over, none leaked
  SetContent(block, 0x44);
  EXPECT_EQ(Content(Get(nullptr, 4)), 4);
  // Without a held reference to that block there is no writable pointer.
  TqdBlockRef other = Get(&trans, 3);
  EXPECT_THROW(fTable->Access().DirtyBlock(4, &trans, other), EAssertionFailed);
  block.Release();
  other.Release();
  trans.Commit();
  EXPECT_EQ(Content(Get(nullptr, 4)), 0x44);
}

TEST_F(CacheTest, AFailedReadLeavesNoBlockBehindAndTheNextAccessReadsAgain) {
  Reopen();
  const uint32_t cached = fCache.InUseCount();
  fFixture.Fs().FailNth(foRead, 1, EIO);
  EXPECT_EQ(CodeOf([&] { (void)Get(nullptr, 5); }), qdeReadErr);
  EXPECT_EQ(fCache.InUseCount(), cached);
  fCache.CheckInvariants();
  EXPECT_EQ(Content(Get(nullptr, 5)), 5);
  // The same inside MakeDirty: nothing joins the transaction.
  TqdTestTransaction trans(&fCache);
  fFixture.Fs().FailNth(foRead, 1, EIO);
  EXPECT_EQ(CodeOf([&] { (void)Get(&trans, 6, true); }), qdeReadErr);
  EXPECT_EQ(trans.BlockCount(), 0u);
  EXPECT_EQ(fTable->File()->fiTrans, nullptr);
  trans.Commit();
}

// Holds the first thread that reads a block inside the read until released,
// and announces a thread that starts waiting for a block being read.
class ReadGate {
 public:
  ReadGate() {
    TqdFaultTestPoints::SetAction("qdsrBufferManager.BlockRead", [this] {
      std::unique_lock lock(fLock);
      if (fReads++ > 0) return;  // only the first read waits
      fReached = true;
      fChanged.notify_all();
      fChanged.wait(lock, [this] { return fReleased; });
    });
    TqdFaultTestPoints::SetAction("qdsrBufferManager.WaitWhileLoading", [this] { fWaiting.SetEvent(); });
  }
  ~ReadGate() {
    Release();
    TqdFaultTestPoints::ClearAll();
  }
  void WaitReached() {
    std::unique_lock lock(fLock);
    fChanged.wait(lock, [this] { return fReached; });
  }
  // False when no thread waited for the read within 10 s.
  [[nodiscard]] bool WaitForWaiter() { return fWaiting.WaitFor(10000) == kWaitSignaled; }
  void Release() {
    std::lock_guard lock(fLock);
    fReleased = true;
    fChanged.notify_all();
  }
  // Reads started, the held one included.
  int Reads() {
    std::lock_guard lock(fLock);
    return fReads;
  }

 private:
  std::mutex fLock;
  std::condition_variable fChanged;
  int fReads = 0;
  bool fReached = false;
  bool fReleased = false;
  TqdOSEvent fWaiting{true, false};
};

TEST_F(CacheTest, ThreadsWaitingForAReadGetTheImageOrReadAgainWhenItFailed) {
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail);
    Reopen();
    const uint64_t readsBefore = fCache.BlocksRead();
    ReadGate gate;
    std::atomic<TqdResult> firstResult{1};
    std::atomic<const uint8_t*> firstImage{nullptr};
    std::thread first([&] {
      try {
        TqdBlockRef block = Get(nullptr, 5);
        firstImage = block.Data();
        firstResult = 0;
      } catch (const EqdBaseException& e) {
        firstResult = e.ErrorCode();
      }
    });
    gate.WaitReached();
    std::atomic<int> secondContent{-1};
    std::atomic<const uint8_t*> secondImage{nullptr};
    std::thread second([&] {
      TqdBlockRef block = Get(nullptr, 5);
      secondImage = block.Data();
      secondContent = Content(block);
    });
    // The second thread finds the read running and waits for it; only then
    // may the read end.
    EXPECT_TRUE(gate.WaitForWaiter()) << "the second thread never waited for the running read";
    if (fail) fFixture.Fs().FailNth(foRead, 1, EIO);
    gate.Release();
    first.join();
    second.join();
    EXPECT_EQ(secondContent, 5);
    EXPECT_EQ(fCache.BlocksRead() - readsBefore, 1u);  // a failed read counts nothing
    if (fail) {
      EXPECT_EQ(firstResult, qdeReadErr);
      EXPECT_EQ(gate.Reads(), 2);  // the waiter read the block itself
    } else {
      EXPECT_EQ(firstResult, 0u);
      EXPECT_EQ(gate.Reads(), 1);                        // one read served both
      EXPECT_EQ(secondImage.load(), firstImage.load());  // the very image the first thread loaded
    }
    fCache.CheckInvariants();
  }
}

TEST_F(CacheTest, AReaderKeepsItsImageWhileACommitReplacesIt) {
  TqdBlockRef reader = Get(nullptr, 5);
  const uint8_t* image = reader.Data();
  TqdTestTransaction writer(&fCache);
  SetContent(Get(&writer, 5, true), 0xAA);
  writer.Commit();
  EXPECT_EQ(reader.Data(), image);
  EXPECT_EQ(Content(reader), 5);  // the old image, still valid
  reader.Release();
  EXPECT_EQ(Content(Get(nullptr, 5)), 0xAA);
}

TEST_F(CacheTest, RollingBackRemovesNewBlocksAndRestoresChangedOnes) {
  const uint32_t cached = fCache.InUseCount();
  TqdTestTransaction trans(&fCache);
  SetContent(Get(&trans, 2, true), 0x22);
  trans.StartNested(false);
  {
    auto header = fTable->Access().HeaderAccess(&trans, true);
    (void)header->GetNewBlock(&trans, kOwner);
  }
  SetContent(Get(&trans, 3, true), 0x33);
  trans.Commit();  // level 1 into level 0
  EXPECT_EQ(fCache.InUseCount(), cached + 1);
  trans.Rollback();
  EXPECT_EQ(fCache.InUseCount(), cached);
  EXPECT_EQ(Content(Get(nullptr, 2)), 2);
  EXPECT_EQ(Content(Get(nullptr, 3)), 3);
  EXPECT_EQ(fTable->File()->fiUsedBlocks, kBlocks + 1);
}

TEST_F(CacheTest, AFileFirstChangedAtLevelZeroStaysInTheTransactionWhenALevelAboveRollsBack) {
  TqdTestTransaction trans(&fCache);
  SetContent(Get(&trans, 2, true), 0x22);
  trans.StartNested(false);
  SetContent(Get(&trans, 3, true), 0x33);  // the first change of block 3, one level up
  trans.Rollback();                        // level 1 only
  EXPECT_EQ(fTable->File()->fiTrans, &trans);
  trans.Commit();
  Reopen();
  EXPECT_EQ(Content(Get(nullptr, 2)), 0x22);
  EXPECT_EQ(Content(Get(nullptr, 3)), 3);
  EXPECT_EQ(qdBlockLSN(Get(nullptr, 0).Data()), trans.btLSN);
}

TEST_F(CacheTest, ACommitWithOneBadImageCommitsNothing) {
  TqdTestTransaction trans(&fCache);
  SetContent(Get(&trans, 2, true), 0x22);
  qdSetBlockThisBlock(Get(&trans, 4, true).WritableData(), 9);
  fFixture.Fs().ClearRecords();
  EXPECT_EQ(CodeOf([&] { trans.Commit(); }), qdeFileCorrupt);
  EXPECT_EQ(fFixture.Fs().Count(foWrite), 0);
  EXPECT_EQ(Content(Get(nullptr, 2)), 2);
  EXPECT_TRUE(Get(nullptr, 2).Owner()->Dirty());
  trans.Rollback();
  EXPECT_FALSE(Get(nullptr, 2).Owner()->Dirty());
}

TEST_F(CacheTest, AnUnflushedCommitIsDroppedOnceEvenWhenABlockWasQueuedTwice) {
  // Two commits whose flushes never ran queue blocks 2 and 0 twice each.
  for (int i = 0; i < 2; ++i) {
    TqdFlushList list;
    TqdTestTransaction trans(&fCache);
    SetContent(Get(&trans, 2, true), 0x22);
    fCache.CommitTransaction(&trans, &list, false);
    delete trans.TransLevel();
  }
  ASSERT_EQ(fTable->File()->WriteRequests().size(), 4u);
  fTable->File()->RollbackUnwritten();
  EXPECT_TRUE(fTable->File()->WriteRequests().empty());
  fCache.CheckInvariants();
  // Nothing reached the file: the next access reads the old image again.
  EXPECT_EQ(Content(Get(nullptr, 2)), 2);
}

TEST_F(CacheTest, ValidBlocksDependOnWhoAsks) {
  TqdTestTransaction writer(&fCache);
  TqdTestTransaction other(&fCache);
  {
    auto header = fTable->Access().HeaderAccess(&writer, true);
    (void)header->GetNewBlock(&writer, kOwner);
    EXPECT_TRUE(fTable->Access().ValidBlock(kBlocks + 1, header.get()));
  }
  EXPECT_FALSE(fTable->Access().ValidBlock(0, &writer));
  EXPECT_TRUE(fTable->Access().ValidBlock(kBlocks + 1, &writer));
  EXPECT_FALSE(fTable->Access().ValidBlock(kBlocks + 1, &other));
  EXPECT_TRUE(fTable->Access().ValidBlock(kBlocks, &other));
  EXPECT_FALSE(fTable->Access().ValidBlock(0, static_cast<TqdBaseFileHeaderAccess*>(nullptr)));
  writer.Commit();
  EXPECT_TRUE(fTable->Access().ValidBlock(kBlocks + 1, &other));
  other.Commit();
}

TEST_F(CacheTest, LSNsOnlyRiseAndAnOpenedFileRaisesThemToItsHeader) {
  const TqdLSN current = fCache.CurrentLSN();
  EXPECT_EQ(fCache.NextLSN(), current + 1);
  fCache.SetNextLSN(current - 1);
  EXPECT_EQ(fCache.CurrentLSN(), current + 1);
  const TqdLSN headerLSN = qdBlockLSN(Get(nullptr, 0).Data());
  EXPECT_GT(headerLSN, 0);
  EXPECT_EQ(fTable->Access().baGetCurrentLSN(nullptr), headerLSN);
  fTable.reset();
  TqdBufferManager fresh(u"/tmp");
  EXPECT_EQ(fresh.CurrentLSN(), 0);
  {
    auto table = TqdTestTable::Open(&fresh, "/db/c.qd1");
    EXPECT_EQ(fresh.CurrentLSN(), headerLSN);
  }
  fTable = TqdTestTable::Open(&fCache, "/db/c.qd1");
}

TEST_F(CacheTest, ScratchBlocksAreReachedOnlyThroughLiveHandles) {
  TqdScratchBlockHandle handle;
  fCache.CreateScratchBlock(qdbs16k, handle);
  void* memory = fCache.LockScratchBlock(handle);
  std::memset(memory, 0x11, 16384);
  EXPECT_THROW(fCache.UnlockScratchBlock(handle, static_cast<uint8_t*>(memory) + 1), EAssertionFailed);
  fCache.UnlockScratchBlock(handle, memory);
  EXPECT_THROW(fCache.UnlockScratchBlock(handle, memory), EAssertionFailed);
  fCache.FreeScratchBlock(handle);
  EXPECT_THROW((void)fCache.LockScratchBlock(handle), EAssertionFailed);
  // A slot used again does not answer to the old handle.
  TqdScratchBlockHandle next;
  fCache.CreateScratchBlock(qdbs4k, next);
  EXPECT_EQ(next.sbhSlot, handle.sbhSlot);
  EXPECT_THROW(fCache.FreeScratchBlock(handle), EAssertionFailed);
  EXPECT_THROW((void)fCache.LockScratchBlock(TqdScratchBlockHandle{99, 1}), EAssertionFailed);
  fCache.FreeScratchBlock(next);
}

TEST_F(CacheTest, AReleaseListReleasesEveryBlockInOrder) {
  TqdReleaseList list;
  for (TqdBlockNumber n = 1; n <= 3; ++n) EXPECT_EQ(list.Add(Get(nullptr, n))[kBlockCommonHeaderSize], n);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(Get(nullptr, 2).Owner()->RefCount(), 2);
  list.Release();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(Get(nullptr, 2).Owner()->RefCount(), 1);
}

TEST_F(CacheTest, AFileLeavesTheCacheOnlyWhenNoBlockOfItIsHeld) {
  TqdBlockRef held = Get(nullptr, 3);
  EXPECT_THROW(fCache.RemoveFile(fTable->File()), EAssertionFailed);
  held.Release();
  Reopen();
}

TEST_F(CacheTest, ConcurrentReadersShareCachedBlocks) {
  std::atomic<int> wrong{0};
  auto reader = [&](int aSeed) {
    for (int i = 0; i < 20000; ++i) {
      const TqdBlockNumber n = 1 + TqdBlockNumber((i + aSeed) % kBlocks);
      if (Content(Get(nullptr, n)) != n) ++wrong;
    }
  };
  std::thread a(reader, 0);
  std::thread b(reader, 3);
  a.join();
  b.join();
  EXPECT_EQ(wrong, 0);
  for (TqdBlockNumber n = 1; n <= kBlocks; ++n) EXPECT_EQ(Get(nullptr, n).Owner()->RefCount(), 1);
}

}  // namespace
}  // namespace qd::test
