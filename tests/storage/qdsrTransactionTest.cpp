// Block transactions: levels, states, counted nestings, statistics,
// deadlock victims, write-through commits, temporary tables, the flush with
// and without a journal, the fatal flag and freed blocks on disk.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "storage/qdseJournalEngine.h"
#include "storage/qdsrBufferManager.h"
#include "tests/storage/qdsrTestServer.h"

namespace qd::test {
namespace {

constexpr TqdBlockNumber kBlocks = 6;
constexpr uint8_t kFill = 0x11;

// A committed table "/db/a.qd1" whose blocks 1..6 hold kFill.
class TransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fA = TqdTestTable::Create(&fCache, "/db/a.qd1");
    TqdTestServerTransaction trans(&fMgr);
    AddBlocks(*fA, &trans, kBlocks, kFill);
    trans.Commit();
  }

  void TearDown() override {
    fCache.CheckInvariants();
    fA.reset();
    EXPECT_EQ(fCache.InUseCount(), 0u);
  }

  void Reopen() {
    fA.reset();
    fA = TqdTestTable::Open(&fCache, "/db/a.qd1");
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  TqdTestTransactionMgr fMgr{&fCache, "/db"};
  std::unique_ptr<TqdTestTable> fA;
};

TEST_F(TransactionTest, ACommittedNestedLevelIsUndoneByRollingBackLevelZero) {
  const uint32_t inUse = fCache.InUseCount();
  TqdTestServerTransaction trans(&fMgr);
  SetBlockByte(*fA, &trans, 1, 0xA1);
  trans.StartNested(false);
  SetBlockByte(*fA, &trans, 2, 0xA2);
  AddBlocks(*fA, &trans, 1, 0x77);  // block 7, new
  EXPECT_EQ(fA->File()->fiTransUsedBlocks, kBlocks + 2);
  trans.Commit();  // level 1 into level 0
  EXPECT_EQ(BlockByte(*fA, &trans, 2), 0xA2);
  trans.Rollback();
  EXPECT_TRUE(trans.Finished());
  // The new block is gone from the cache; the changed ones read as before.
  EXPECT_EQ(fCache.InUseCount(), inUse);
  EXPECT_EQ(BlockByte(*fA, nullptr, 1), kFill);
  EXPECT_EQ(BlockByte(*fA, nullptr, 2), kFill);
  EXPECT_EQ(fA->File()->fiUsedBlocks, kBlocks + 1);
  Reopen();
  EXPECT_EQ(BlockByte(*fA, nullptr, 2), kFill);
  EXPECT_EQ(fA->File()->fiUsedBlocks, kBlocks + 1);
}

TEST_F(TransactionTest, ANestedRollbackKeepsTheLevelBelow) {
  TqdTestServerTransaction trans(&fMgr);
  SetBlockByte(*fA, &trans, 1, 0xA1);
  trans.StartNested(false);
  SetBlockByte(*fA, &trans, 1, 0xB1);
  SetBlockByte(*fA, &trans, 3, 0xB3);
  trans.Rollback();
  EXPECT_EQ(BlockByte(*fA, &trans, 1), 0xA1);
  EXPECT_EQ(BlockByte(*fA, &trans, 3), kFill);
  trans.Commit();
  Reopen();
  EXPECT_EQ(BlockByte(*fA, nullptr, 1), 0xA1);
  EXPECT_EQ(BlockByte(*fA, nullptr, 3), kFill);
}

TEST_F(TransactionTest, ABlockFirstChangedAtLevelTwoEndsAsOneVersionAtLevelZero) {
  TqdTestServerTransaction trans(&fMgr);
  TqdBaseTransactionLevel* levelZero = trans.TransLevel();
  trans.StartNested(false);
  trans.StartNested(false);
  SetBlockByte(*fA, &trans, 4, 0xC4);
  trans.Commit();
  trans.Commit();
  ASSERT_EQ(trans.TransLevel(), levelZero);
  TqdBlockRef block = fA->Access().GetBlock(&trans, 4, kTestOwner, false);
  TqdModifiedBlock* version = block.Owner()->NewestVersion();
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->mbTransLevel, levelZero);
  EXPECT_EQ(version->mbPrev, nullptr);
  EXPECT_EQ(block.Data()[kBlockCommonHeaderSize + 7], 0xC4);
  block.Release();
  trans.Commit();
}

TEST_F(TransactionTest, CheckStateAnswersForTheInnermostLevel) {
  struct {
    const char* what;
    void (*mark)(TqdTestServerTransaction&);
    TqdResult state;
  } cases[] = {
      {"nothing", [](TqdTestServerTransaction&) {}, 0},
      {"corrupted", [](TqdTestServerTransaction& t) { t.MarkCorrupted(); }, qdeTransCorrupt},
      {"deadlocked", [](TqdTestServerTransaction& t) { t.MarkDeadlock(); }, qdeDeadlock},
      {"failed", [](TqdTestServerTransaction& t) { t.Failed(); }, qdeTransCorrupt},
      {"deadlocked and corrupted",
       [](TqdTestServerTransaction& t) {
         t.MarkCorrupted();
         t.MarkDeadlock();
       },
       qdeDeadlock},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TqdTestServerTransaction trans(&fMgr);
    c.mark(trans);
    EXPECT_EQ(trans.CheckState(), c.state);
    trans.Rollback();
  }
}

TEST_F(TransactionTest, MarkingALevelMarksTheLevelsAboveItAndCountsOnce) {
  const auto before = fCache.TransactionCounts();
  TqdTestServerTransaction trans(&fMgr);
  TqdBaseTransactionLevel* zero = trans.TransLevel();
  trans.StartNested(false);
  TqdBaseTransactionLevel* one = trans.TransLevel();
  trans.StartNested(false);
  TqdBaseTransactionLevel* two = trans.TransLevel();
  one->MarkCorrupted();
  one->MarkCorrupted();
  EXPECT_FALSE(zero->HasState(tlsCorrupted));
  EXPECT_TRUE(one->HasState(tlsCorrupted));
  EXPECT_TRUE(two->HasState(tlsCorrupted));
  two->MarkDeadlock();
  EXPECT_FALSE(one->HasState(tlsDeadlocked));
  EXPECT_EQ(trans.CheckState(), qdeDeadlock);
  const auto after = fCache.TransactionCounts();
  EXPECT_EQ(after.tcCorrupted - before.tcCorrupted, 1u);
  EXPECT_EQ(after.tcDeadlock - before.tcDeadlock, 1u);
  trans.Rollback();
  trans.Rollback();
  EXPECT_EQ(trans.CheckState(), 0u);
  trans.Rollback();
}

TEST_F(TransactionTest, NoMoreNestedOnlyCountsNestingsAndTheirRollbackCorrupts) {
  TqdTestServerTransaction trans(&fMgr);
  TqdBaseTransactionLevel* zero = trans.TransLevel();
  trans.MarkNoMoreNested();
  trans.StartNested(false);
  trans.StartNested(false);
  EXPECT_EQ(trans.TransLevel(), zero);
  EXPECT_EQ(zero->Level(), 2);
  EXPECT_TRUE(trans.Nested());
  trans.Commit();  // a counted nesting ends
  EXPECT_EQ(zero->Level(), 1);
  trans.Rollback();  // the owner cannot undo a counted nesting
  EXPECT_EQ(zero->Level(), 0);
  EXPECT_EQ(trans.CheckState(), qdeTransCorrupt);
  trans.StartNested(true);  // forced: a real level
  EXPECT_NE(trans.TransLevel(), zero);
  trans.Rollback();
  trans.Rollback();
}

TEST_F(TransactionTest, LocksCountPerLevelAndAnUnlockNeedsALock) {
  TqdTestServerTransaction trans(&fMgr);
  EXPECT_FALSE(trans.IsLocked());
  trans.Lock();
  trans.Lock();
  EXPECT_TRUE(trans.IsLocked());
  trans.MarkNoMoreNested();
  trans.StartNested(false);
  EXPECT_FALSE(trans.IsLocked());  // a counted nesting on top
  trans.Commit();
  trans.Unlock();
  trans.Unlock();
  EXPECT_FALSE(trans.IsLocked());
  EXPECT_THROW(trans.Unlock(), EAssertionFailed);
  trans.Rollback();
}

TEST_F(TransactionTest, StatisticsCountEachEndOnceAndSkipSnapshots) {
  const auto before = fCache.TransactionCounts();
  {
    TqdTestServerTransaction trans(&fMgr);
    trans.StartNested(false);
    SetBlockByte(*fA, &trans, 1, 1);
    trans.Commit();
    trans.StartNested(false);
    trans.Rollback();
    trans.Commit();
  }
  {
    TqdTestServerTransaction trans(&fMgr);
    trans.Rollback();
  }
  {
    TqdTestServerTransaction snapshot(&fMgr, true);
    snapshot.Commit();
    TqdTestServerTransaction other(&fMgr, true);
    other.Rollback();
  }
  const auto after = fCache.TransactionCounts();
  EXPECT_EQ(after.tcCommit - before.tcCommit, 1u);
  EXPECT_EQ(after.tcRollback - before.tcRollback, 1u);
  EXPECT_EQ(after.tcNestedCommit - before.tcNestedCommit, 1u);
  EXPECT_EQ(after.tcNestedRollback - before.tcNestedRollback, 1u);
}

TEST_F(TransactionTest, ADeadlockVictimLosesItsLevelsDownToTheDeadlockedOne) {
  TqdTestServerTransaction trans(&fMgr);
  SetBlockByte(*fA, &trans, 1, 0xD0);
  trans.StartNested(false);
  TqdBaseTransactionLevel* one = trans.TransLevel();
  SetBlockByte(*fA, &trans, 2, 0xD1);
  trans.StartNested(false);
  SetBlockByte(*fA, &trans, 3, 0xD2);
  AddBlocks(*fA, &trans, 1, 0xDD);
  const auto before = fCache.TransactionCounts();
  trans.Deadlock(one);
  EXPECT_EQ(trans.TransLevel()->Level(), 0);
  EXPECT_EQ(trans.CheckState(), 0u);
  EXPECT_EQ(BlockByte(*fA, &trans, 1), 0xD0);
  EXPECT_EQ(BlockByte(*fA, &trans, 2), kFill);
  EXPECT_EQ(BlockByte(*fA, &trans, 3), kFill);
  EXPECT_EQ(fA->File()->fiTransUsedBlocks, kBlocks + 1);
  const auto after = fCache.TransactionCounts();
  EXPECT_EQ(after.tcDeadlock - before.tcDeadlock, 1u);
  EXPECT_EQ(after.tcNestedRollback, before.tcNestedRollback);  // level rollbacks are not counted
  trans.Commit();
  Reopen();
  EXPECT_EQ(BlockByte(*fA, nullptr, 1), 0xD0);
  EXPECT_EQ(BlockByte(*fA, nullptr, 2), kFill);
}

TEST_F(TransactionTest, ACommitWithoutAJournalStillSyncsEveryFile) {
  fFixture.Fs().ClearRecords();
  TqdTestTransaction trans(&fCache);  // no journal
  SetBlockByte(*fA, &trans, 5, 0x55);
  trans.Commit();
  int syncs = 0;
  for (const auto& record : fFixture.Fs().Records()) {
    // The table's handle carries the name it was created under.
    if (record.frOp == foSync && record.frPath.rfind("/db/a.qd1", 0) == 0) ++syncs;
    EXPECT_EQ(record.frPath.find(".n$2"), std::string::npos) << "journal touched: " << record.frPath;
  }
  EXPECT_EQ(syncs, 1);
}

TEST_F(TransactionTest, AFreedBlockReachesTheFileAsAZeroedDeadImage) {
  TqdTestServerTransaction trans(&fMgr);
  {
    auto header = fA->Access().HeaderAccess(&trans, true);
    TqdBlockRef block = fA->Access().GetBlock(&trans, 3, kTestOwner, true);
    header->DeleteBlock(&trans, block);
  }
  const TqdLSN lsn = trans.LSN();
  trans.Commit();
  const std::vector<uint8_t> image = FileBlock(fFixture.Fs(), "/db/a.qd1", 3);
  ASSERT_EQ(image.size(), 4096u);
  EXPECT_EQ(std::memcmp(image.data(), "DEAD", 4), 0);
  EXPECT_EQ(qdBlockThisBlock(image.data()), 3u);
  EXPECT_EQ(qdBlockLSN(image.data()), lsn);
  for (size_t i = kBlockCommonHeaderSize; i < image.size(); ++i) ASSERT_EQ(image[i], 0) << "byte " << i;
  // Taken again, the block starts from zeros.
  TqdTestServerTransaction again(&fMgr);
  {
    auto header = fA->Access().HeaderAccess(&again, true);
    TqdBlockRef block = header->GetNewBlock(&again, kTestOwner);
    EXPECT_EQ(block.BlockNumber(), 3u);
    EXPECT_EQ(block.Data()[kBlockCommonHeaderSize + 7], 0);
  }
  again.Rollback();
}

// --- Temporary tables and write-through commits ---------------------------------------------

TEST_F(TransactionTest, ACommitOfTemporaryTablesAloneWritesNoJournalAndNothingElse) {
  TqdTestTempTable temp(&fCache);
  fFixture.Fs().ClearRecords();
  TqdTestServerTransaction trans(&fMgr);
  ASSERT_NE(trans.Journal(), nullptr);
  AddBlocks(temp.Access(), &trans, 3, 0x33);
  trans.Commit();
  EXPECT_TRUE(fFixture.Fs().Records().empty());
  EXPECT_EQ(BlockByte(temp.Access(), nullptr, 2), 0x33);
}

TEST_F(TransactionTest, AWriteThroughCommitIsRefusedForPersistentTables) {
  TqdTestServerTransaction trans(&fMgr);
  SetBlockByte(*fA, &trans, 2, 0xE2);
  fFixture.Fs().ClearRecords();
  EXPECT_THROW(fCache.CommitTransaction(&trans, nullptr, true), EAssertionFailed);
  EXPECT_TRUE(fFixture.Fs().Records().empty());
  EXPECT_EQ(BlockByte(*fA, nullptr, 2), kFill);
  EXPECT_EQ(BlockByte(*fA, &trans, 2), 0xE2);
  trans.Rollback();
}

TEST_F(TransactionTest, AWriteThroughCommitOfATemporaryTableWaitsForLevelZeroAndKeepsHeldVersions) {
  TqdTestTempTable temp(&fCache);
  TqdTestServerTransaction trans(&fMgr);
  AddBlocks(temp.Access(), &trans, 2, 0x40);  // blocks 1 and 2
  trans.StartNested(false);
  SetBlockByte(temp.Access(), &trans, 1, 0x41);
  fCache.CommitTransaction(&trans, nullptr, true);  // asked for at level 1: remembered
  EXPECT_TRUE(trans.btWriteThroughCommit);
  // Nothing committed yet: the block is new for everybody else.
  EXPECT_EQ(fCache.GetBlock(temp.File(), nullptr, 1, false).Data(), qdZeroBlockBytes());
  TqdBlockRef held = temp.Access().GetBlock(&trans, 2, kTestOwner, true);
  trans.Commit();  // level 1 into 0, then the write-through commit
  EXPECT_FALSE(trans.btWriteThroughCommit);
  EXPECT_EQ(BlockByte(temp.Access(), nullptr, 1), 0x41);
  EXPECT_EQ(BlockByte(temp.Access(), nullptr, 2), 0x40);
  // The transaction goes on: its file stays in it, the held block stays
  // dirty and the one nobody held is clean.
  EXPECT_EQ(temp.File()->fiTrans, &trans);
  EXPECT_TRUE(held.Owner()->Dirty());
  EXPECT_FALSE(temp.Access().GetBlock(nullptr, 1, kTestOwner, false).Owner()->Dirty());
  held.Release();
  trans.Commit();
  EXPECT_EQ(temp.File()->fiTrans, nullptr);
}

// --- Failed flushes --------------------------------------------------------------------------

TEST_F(TransactionTest, AFailedFlushIsFatalAndLaterCommitsStopBeforeAnyTableWrite) {
  TqdTestServerTransaction first(&fMgr);
  SetBlockByte(*fA, &first, 1, 0xF1);
  first.fPostCommit = [&] { fFixture.Fs().FailNth(foWrite, 1, EIO); };
  // The journal was written; the table write fails.
  EXPECT_EQ(CodeOf([&] { first.Commit(); }), qdeWriteErr);
  EXPECT_TRUE(qdFatalError());
  const auto kept = NonEmptyJournalFiles(fFixture.Fs());
  ASSERT_EQ(kept.size(), 1u);

  fFixture.Fs().ClearRecords();
  TqdTestServerTransaction second(&fMgr);
  SetBlockByte(*fA, &second, 2, 0xF2);
  const std::string message = MessageOf([&] { second.Commit(); });
  EXPECT_NE(message.find("A fatal error has occurred. Server operations are suspended until the server is restarted. "
                         "Check exception log at server for further information"),
            std::string::npos)
      << message;
  second.Rollback();
  EXPECT_EQ(CodeOf([&] {
              TqdTestServerTransaction third(&fMgr);
              SetBlockByte(*fA, &third, 3, 0xF3);
              const TqdResult code = CodeOf([&] { third.Commit(); });
              third.Rollback();
              if (code != 0) throw EqdBaseException(code);
            }),
            qdeTransCorrupt);
  for (const auto& record : fFixture.Fs().Records())
    EXPECT_FALSE(record.frOp == foWrite && record.frPath == "/db/a.qd1") << "table written at " << record.frOffset;
  // The later commits are refused before they write a journal; the first
  // one's stays for recovery.
  EXPECT_EQ(NonEmptyJournalFiles(fFixture.Fs()), kept);
}

}  // namespace
}  // namespace qd::test
