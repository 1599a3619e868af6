// Snapshot transactions: what they read after later commits, multi-file
// commits, identifiers, block counts, temporary tables, the snapshot
// counter of a file, the end of a snapshot and unwritten blocks.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "storage/qdsrBufferManager.h"
#include "tests/storage/qdsrTestServer.h"

namespace qd::test {
namespace {

constexpr TqdBlockNumber kBlocks = 6;
constexpr uint8_t kFillA = 0x0A;
constexpr uint8_t kFillB = 0x0B;

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fA = TqdTestTable::Create(&fCache, "/db/a.qd1");
    fB = TqdTestTable::Create(&fCache, "/db/b.qd1");
    TqdTestServerTransaction trans(&fMgr);
    AddBlocks(*fA, &trans, kBlocks, kFillA);
    AddBlocks(*fB, &trans, kBlocks, kFillB);
    trans.Commit();
  }
  void TearDown() override {
    fCache.CheckInvariants();
    fA.reset();
    fB.reset();
    EXPECT_EQ(fCache.InUseCount(), 0u);
  }

  // Commits aValue into block aNumber of each table given.
  void CommitByte(std::initializer_list<TqdTestTable*> aTables, TqdBlockNumber aNumber, uint8_t aValue) {
    TqdTestServerTransaction trans(&fMgr);
    for (TqdTestTable* table : aTables) SetBlockByte(*table, &trans, aNumber, aValue);
    trans.Commit();
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  TqdTestTransactionMgr fMgr{&fCache, "/db"};
  std::unique_ptr<TqdTestTable> fA;
  std::unique_ptr<TqdTestTable> fB;
};

TEST_F(SnapshotTest, ASnapshotReadsTheFileAsItWasWhenItFirstReadIt) {
  {
    TqdTestServerTransaction snapshot(&fMgr, true);
    EXPECT_EQ(BlockByte(*fA, &snapshot, 2), kFillA);
    CommitByte({fA.get()}, 2, 0x92);
    CommitByte({fA.get()}, 3, 0x93);  // a block it never read, in a file it did
    CommitByte({fA.get()}, 2, 0xA2);  // a second commit of the same block
    EXPECT_EQ(BlockByte(*fA, &snapshot, 2), kFillA);
    EXPECT_EQ(BlockByte(*fA, &snapshot, 3), kFillA);
    EXPECT_EQ(BlockByte(*fA, nullptr, 2), 0xA2);
    // A snapshot that starts reading after the commits sees them.
    TqdTestServerTransaction later(&fMgr, true);
    EXPECT_EQ(BlockByte(*fA, &later, 2), 0xA2);
    EXPECT_EQ(BlockByte(*fA, &later, 3), 0x93);
    later.Commit();
    snapshot.Commit();
    // Committed, not yet gone: the old images stay until the objects end.
    EXPECT_EQ(BlockByte(*fA, &snapshot, 2), kFillA);
  }
  // With every snapshot gone no old image is kept.
  TqdBlockRef block = fA->Access().GetBlock(nullptr, 2, kTestOwner, false);
  EXPECT_EQ(block.Owner()->SnapShotBlockHead(), nullptr);
}

TEST_F(SnapshotTest, AMultiFileCommitKeepsTheOtherFilesForSnapshotsOfOneOfThem) {
  TqdTestServerTransaction reader(&fMgr, true);
  TqdTestServerTransaction idle(&fMgr, true);
  EXPECT_EQ(BlockByte(*fA, &reader, 1), kFillA);
  CommitByte({fA.get(), fB.get()}, 4, 0x44);
  EXPECT_EQ(BlockByte(*fB, &reader, 4), kFillB);  // first touch of B, after the commit
  EXPECT_EQ(BlockByte(*fA, &reader, 4), kFillA);
  EXPECT_EQ(BlockByte(*fB, &idle, 4), 0x44);  // read nothing before: sees the commit
  // A single-file commit links nobody to other files.
  CommitByte({fB.get()}, 5, 0x55);
  EXPECT_EQ(BlockByte(*fB, &reader, 5), kFillB);  // B is linked now
  idle.Commit();
  reader.Commit();
}

TEST_F(SnapshotTest, TheNinthSnapshotGetsIdentifierEightAndTheFlagsShrinkBack) {
  std::vector<std::unique_ptr<TqdTestServerTransaction>> snapshots;
  for (int i = 0; i < 9; ++i) {
    snapshots.push_back(std::make_unique<TqdTestServerTransaction>(&fMgr, true));
    EXPECT_EQ(snapshots.back()->SnapshotID(), i);
  }
  EXPECT_EQ(fCache.ActiveSnapShotCount(), 9);
  EXPECT_EQ(fCache.SnapShotFlagBytes(), 2u);
  snapshots[3].reset();  // the lowest free identifier is taken again
  snapshots[3] = std::make_unique<TqdTestServerTransaction>(&fMgr, true);
  EXPECT_EQ(snapshots[3]->SnapshotID(), 3);
  snapshots[8].reset();
  EXPECT_EQ(fCache.SnapShotFlagBytes(), 1u);
  snapshots.clear();
  EXPECT_EQ(fCache.SnapShotFlagBytes(), 0u);
  EXPECT_EQ(fCache.ActiveSnapShotCount(), 0);
}

TEST_F(SnapshotTest, ValidBlocksUnderASnapshotStopAtTheCountOfItsFirstReadAndNewBlocksTakeNoSnapshot) {
  TqdTestServerTransaction snapshot(&fMgr, true);
  EXPECT_EQ(BlockByte(*fA, &snapshot, 1), kFillA);
  {
    TqdTestServerTransaction trans(&fMgr);
    AddBlocks(*fA, &trans, 2, 0x77);  // blocks 7 and 8
    trans.Commit();
  }
  EXPECT_TRUE(fA->Access().ValidBlock(kBlocks, &snapshot));
  EXPECT_FALSE(fA->Access().ValidBlock(kBlocks + 1, &snapshot));
  EXPECT_TRUE(fA->Access().ValidBlock(kBlocks + 2, static_cast<TqdBaseTransaction*>(nullptr)));
  EXPECT_EQ(fA->Access().GetBlock(nullptr, kBlocks + 1, kTestOwner, false).Owner()->SnapShotBlockHead(), nullptr);
  EXPECT_NE(fA->Access().GetBlock(nullptr, 0, 0, false).Owner()->SnapShotBlockHead(), nullptr);
  snapshot.Commit();
}

TEST_F(SnapshotTest, APlainTemporaryTableTakesNoSnapshots) {
  TqdTestTempTable temp(&fCache);
  {
    TqdTestServerTransaction trans(&fMgr);
    AddBlocks(temp.Access(), &trans, 2, 0x21);
    trans.Commit();
  }
  TqdTestServerTransaction snapshot(&fMgr, true);
  EXPECT_EQ(BlockByte(temp.Access(), &snapshot, 1), 0x21);
  TqdTestServerTransaction trans(&fMgr);
  SetBlockByte(temp.Access(), &trans, 1, 0x22);
  trans.Commit();
  EXPECT_EQ(BlockByte(temp.Access(), &snapshot, 1), 0x22);
  EXPECT_EQ(temp.Access().GetBlock(nullptr, 1, kTestOwner, false).Owner()->SnapShotBlockHead(), nullptr);
  snapshot.Commit();
}

TEST_F(SnapshotTest, TheOwnersBlockSnapshotCounterFollowsTheSnapshots) {
  int32_t counter = 0;
  fA->File()->fiSnapshotBlockCount = &counter;
  auto snapshot = std::make_unique<TqdTestServerTransaction>(&fMgr, true);
  EXPECT_EQ(BlockByte(*fA, snapshot.get(), 1), kFillA);
  CommitByte({fA.get()}, 1, 0x31);
  CommitByte({fA.get()}, 2, 0x32);
  EXPECT_EQ(counter, 3);  // blocks 1, 2 and block 0, stamped by both commits once
  snapshot.reset();
  EXPECT_EQ(counter, 0);
  fA->File()->fiSnapshotBlockCount = nullptr;
}

TEST_F(SnapshotTest, AReaderOfTheOldImageKeepsItWhenTheSnapshotEnds) {
  auto snapshot = std::make_unique<TqdTestServerTransaction>(&fMgr, true);
  EXPECT_EQ(BlockByte(*fA, snapshot.get(), 2), kFillA);
  TqdBlockRef held = fA->Access().GetBlock(nullptr, 2, kTestOwner, false);
  CommitByte({fA.get()}, 2, 0x62);
  snapshot.reset();
  // The old image went from the committed block to the snapshot and is
  // retired, not freed, while it is held.
  EXPECT_EQ(held.Data()[kBlockCommonHeaderSize + 7], kFillA);
  held.Release();
  EXPECT_EQ(BlockByte(*fA, nullptr, 2), 0x62);
}

TEST_F(SnapshotTest, AnUnwrittenCommitRevertsToTheNewestSnapshotImage) {
  TqdTestServerTransaction snapshot(&fMgr, true);
  EXPECT_EQ(BlockByte(*fA, &snapshot, 2), kFillA);
  {
    TqdTestTransaction trans(&fCache);
    SetBlockByte(*fA, &trans, 2, 0x82);
    TqdFlushList list;
    fCache.CommitTransaction(&trans, &list, false);
    delete trans.TransLevel();
    EXPECT_EQ(BlockByte(*fA, nullptr, 2), 0x82);
    fA->File()->RollbackUnwritten();
  }
  EXPECT_EQ(BlockByte(*fA, nullptr, 2), kFillA);
  EXPECT_EQ(BlockByte(*fA, &snapshot, 2), kFillA);
  snapshot.Commit();
}

}  // namespace
}  // namespace qd::test
