// No acknowledged commit may be undone by a journal replay: a journal that
// stays on disk - held by a process that then dies, kept by a failed commit,
// or still waiting for the flush of its own commit - keeps its tables from
// being opened or committed to until a check replays it; replay refuses
// block numbers its table cannot hold; every written block carries its
// commit's LSN.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "client/qdsdServerEngine.h"
#include "platform/qdLittleEndian.h"
#include "storage/qdseJournalEngine.h"
#include "tests/helpers/qdCommitLoopTable.h"
#include "tests/storage/qdsrTestServer.h"
#include "tests/support/qdTestFolder.h"

extern char** environ;

namespace qd::test {
namespace {

using std::chrono::steady_clock;

// --- Another process holding a complete journal ----------------------------------------

// The commit-loop child in its "hold" mode, with its standard input and
// output on pipes: it stops one commit with the journal complete and
// locked, and finishes it when told.
class TqdHoldingChild {
 public:
  explicit TqdHoldingChild(const std::string& aFolder) {
    int output[2];
    int input[2];
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    fRead = output[0];
    fWrite = input[1];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    char* argv[] = {const_cast<char*>(QD_COMMIT_LOOP_CHILD), const_cast<char*>(aFolder.c_str()), const_cast<char*>("2"),
                    const_cast<char*>("hold"), nullptr};
    const int error = ::posix_spawn(&fPid, QD_COMMIT_LOOP_CHILD, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    ::close(input[0]);
    if (error != 0) throw std::runtime_error("posix_spawn: " + std::string(std::strerror(error)));
  }
  ~TqdHoldingChild() {
    if (fPid > 0) Kill();
    ::close(fRead);
    if (fWrite >= 0) ::close(fWrite);
  }

  // The next line of output; empty at its end or after 30 s.
  std::string ReadLine() {
    std::string line;
    const auto until = steady_clock::now() + std::chrono::seconds(30);
    while (steady_clock::now() < until) {
      pollfd poll{fRead, POLLIN, 0};
      if (::poll(&poll, 1, 100) <= 0) continue;
      char c = 0;
      if (::read(fRead, &c, 1) != 1) return line;
      if (c == '\n') return line;
      line.push_back(c);
    }
    return line;
  }
  // Lets the held commit go on.
  void Release() {
    if (::write(fWrite, "\n", 1) != 1) throw std::runtime_error("write to child");
  }
  void Kill() {
    ::kill(fPid, SIGKILL);
    Wait();
  }
  // The exit status.
  int Wait() {
    int status = 0;
    ::waitpid(fPid, &status, 0);
    fPid = -1;
    return status;
  }

 private:
  pid_t fPid = -1;
  int fRead = -1;
  int fWrite = -1;
};

// A folder with the commit-loop table at value 0.
class JournalHolderTest : public ::testing::Test {
 protected:
  JournalHolderTest() {
    TqdBufferManager cache(u"/tmp");
    auto table = TqdTestTable::Create(&cache, fPath);
    TqdTestTransaction trans(&cache);
    AddBlocks(*table, &trans, kCommitLoopCounters, 0);
    trans.Commit();
  }
  ~JournalHolderTest() override {
    TqdFaultTestPoints::ClearAll();
    qdClearTableUnrecovered(Utf8ToString(fFolderName + "/"));
  }

  // The value the table holds as a fresh process reads it.
  uint64_t Value() {
    TqdBufferManager cache(u"/tmp");
    auto table = TqdTestTable::Open(&cache, fPath);
    return CommitLoopValue(table->Access(), nullptr);
  }
  // Opens the table beside the holding child, which shares it.
  std::unique_ptr<TqdTestTable> OpenShared(TqdBufferManager& aCache) {
    TqdTestTableOptions shared;
    shared.toShareMode = smShared;
    return TqdTestTable::Open(&aCache, fPath, shared);
  }

  TempFolder fFolder;
  const std::string fFolderName = fFolder.Path().string();
  const std::string fPath = fFolder.File(kCommitLoopTable).string();
};

TEST_F(JournalHolderTest, AJournalLeftByAKilledProcessKeepsItsTableShutUntilACheckReplaysIt) {
  TqdHoldingChild child(fFolderName);
  ASSERT_EQ(child.ReadLine(), "held");
  // A check while the child holds its journal passes it by.
  TqdBufferManager cache(u"/tmp");
  TqdTestTransactionMgr mgr(&cache, fFolderName);
  TqdJournalCheckResult result = mgr.CheckFolder();
  ASSERT_EQ(result.jcrErrorCode, 0u);
  ASSERT_EQ(result.jcrReplayed, 0);
  child.Kill();

  auto commit = [&] {
    auto table = TqdTestTable::Open(&cache, fPath);
    TqdTestServerTransaction trans(&mgr);
    CommitLoopStep(table->Access(), &trans, 7);
    trans.Commit();
  };
  // The journal of the dead child still names the table: it would be
  // replayed over anything committed now, so the table waits for a check.
  const TqdResult code = CodeOf(commit);
  EXPECT_EQ(code, qdeRecoveryFailed);
  if (code != 0) {
    result = mgr.CheckFolder();
    ASSERT_EQ(result.jcrErrorCode, 0u);
    EXPECT_EQ(result.jcrReplayed, 1);
    commit();
  }
  // A later check finds nothing to replay, and the acknowledged commit is
  // on disk.
  result = mgr.CheckFolder();
  EXPECT_EQ(result.jcrErrorCode, 0u);
  EXPECT_EQ(result.jcrReplayed, 0);
  EXPECT_EQ(Value(), 7u);
}

TEST_F(JournalHolderTest, AJournalALiveProcessHoldsIsWaitedForWithinTheThreadsDeadline) {
  TqdHoldingChild child(fFolderName);
  ASSERT_EQ(child.ReadLine(), "held");
  TqdBufferManager cache(u"/tmp");

  // A deadline that runs out while the child holds on.
  const bool outermost = qdsdServerEngineDetail::EnterOperation(200);
  const auto start = steady_clock::now();
  const TqdResult code = CodeOf([&] { OpenShared(cache).reset(); });
  const auto waited = steady_clock::now() - start;
  qdsdServerEngineDetail::LeaveOperation(outermost);
  EXPECT_EQ(code, qdeRecoveryFailed);
  EXPECT_GE(waited, std::chrono::milliseconds(200));

  // Without a deadline the open waits; the child is let go from inside the
  // wait, deletes its journal, and the open then sees its commit.
  int waits = 0;
  TqdFaultTestPoints::SetAction("qdseJournalEngine.WaitForJournal", [&] {
    if (waits++ == 0) child.Release();
  });
  uint64_t value = 0;
  {
    auto table = OpenShared(cache);
    value = CommitLoopValue(table->Access(), nullptr);
  }
  EXPECT_GE(waits, 1);
  EXPECT_EQ(child.ReadLine(), "1");
  EXPECT_EQ(value, 1u);
  const int status = child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// --- A journal kept by a failed commit ---------------------------------------------------

constexpr const char* kTablePath = "/db/a.qd1";
constexpr TqdBlockNumber kBlocks = 6;

std::unique_ptr<TqdTestTable> makeTable(TqdBufferManager& aCache, const TqdTestTableOptions& aOptions = {}) {
  auto table = TqdTestTable::Create(&aCache, kTablePath, aOptions);
  TqdTestTransaction trans(&aCache);
  AddBlocks(*table, &trans, kBlocks, 0x10);
  trans.Commit();
  return table;
}

// One process in memory: a cache and its transaction manager. A second one
// on the same file system stands for another process: it shares the disk
// (files, locks) but not the registry of refused tables, which the switch
// clears, nor the fatal flag.
struct TqdProcess {
  TqdBufferManager pCache{u"/tmp"};
  TqdTestTransactionMgr pMgr{&pCache, "/db"};
};

void becomeAnotherProcess() {
  qdFaultClearFatalError();
  qdClearTableUnrecovered(u"/db/");
}

// A commit that changes block 1 and adds a block, cut off at the table's
// sync: the journal is complete and stays, the table holds part of it.
void failCommit(TqdProcess& aProcess, TqdTestTable& aTable, TqdFaultFileSystem& aFs) {
  TqdTestServerTransaction trans(&aProcess.pMgr);
  SetBlockByte(aTable, &trans, 1, 0xF1);
  AddBlocks(aTable, &trans, 1, 0xF7);
  // Journal records, complete flag, table: the third sync.
  aFs.FailNth(foSync, 3, EIO);
  EXPECT_NE(CodeOf([&] { trans.Commit(); }), 0u);
  aFs.ClearFaults();
  ASSERT_EQ(NonEmptyJournalFiles(aFs).size(), 1u);
}

TEST(KeptJournalTest, AJournalKeptByAFailedCommitShutsItsTableInEveryProcessUntilACheck) {
  // The other process opens the table after the failure, or had it open
  // (shared) before and commits to it.
  for (const bool openBefore : {false, true}) {
    SCOPED_TRACE(openBefore ? "open before the failure" : "opened after the failure");
    TqdFaultFixture fixture;
    TqdTestTableOptions shared;
    shared.toShareMode = smShared;
    auto first = std::make_unique<TqdProcess>();
    auto table = makeTable(first->pCache, shared);
    auto second = std::make_unique<TqdProcess>();
    std::unique_ptr<TqdTestTable> early;
    if (openBefore) early = TqdTestTable::Open(&second->pCache, kTablePath, shared);
    failCommit(*first, *table, fixture.Fs());
    // The failing process itself refuses the table.
    {
      TqdProcess same;
      EXPECT_EQ(CodeOf([&] { TqdTestTable::Open(&same.pCache, kTablePath, shared).reset(); }), qdeRecoveryFailed);
    }
    // Fatal, it closes the table; the other process learns of the journal
    // from the disk alone.
    table.reset();
    first.reset();
    becomeAnotherProcess();
    auto commit = [&](TqdTestTable& aTable) {
      TqdTestServerTransaction trans(&second->pMgr);
      SetBlockByte(aTable, &trans, 1, 0x31);
      SetBlockByte(aTable, &trans, 2, 0x32);
      AddBlocks(aTable, &trans, 2, 0x33);
      const TqdResult code = CodeOf([&] { trans.Commit(); });
      if (!trans.Finished()) trans.Rollback();
      if (code != 0) throw EqdBaseException(code);
    };
    const TqdResult code = CodeOf([&] {
      if (openBefore) {
        commit(*early);
      } else {
        commit(*TqdTestTable::Open(&second->pCache, kTablePath, shared));
      }
    });
    early.reset();
    EXPECT_EQ(code, qdeRecoveryFailed);
    if (code != 0) {
      // A check replays the journal; then the table takes commits again.
      const TqdJournalCheckResult result = second->pMgr.CheckFolder();
      ASSERT_EQ(result.jcrErrorCode, 0u);
      EXPECT_EQ(result.jcrReplayed, 1);
      commit(*TqdTestTable::Open(&second->pCache, kTablePath, shared));
    }
    // A later check leaves the acknowledged commit alone.
    EXPECT_EQ(second->pMgr.CheckFolder().jcrErrorCode, 0u);
    TqdProcess fresh;
    auto reopened = TqdTestTable::Open(&fresh.pCache, kTablePath, shared);
    EXPECT_EQ(BlockByte(*reopened, nullptr, 1), 0x31);
    EXPECT_EQ(BlockByte(*reopened, nullptr, 2), 0x32);
    EXPECT_EQ(reopened->File()->fiUsedBlocks, 1 + kBlocks + 2);
    EXPECT_EQ(BlockByte(*reopened, nullptr, 1 + kBlocks + 1), 0x33);
  }
}

// --- Two commits of one table in one process ---------------------------------------------

// Signals between the test and the committing threads.
class TqdSignal {
 public:
  void Set() {
    std::lock_guard guard(fLock);
    fSet = true;
    fChanged.notify_all();
  }
  void Wait() {
    std::unique_lock wait(fLock);
    fChanged.wait(wait, [&] { return fSet; });
  }
  bool IsSet() {
    std::lock_guard guard(fLock);
    return fSet;
  }

 private:
  std::mutex fLock;
  std::condition_variable fChanged;
  bool fSet = false;
};

TEST(CommitOrderTest, ACommitWaitsForThePendingFlushOfAnEarlierCommitOfItsTable) {
  TqdFaultFixture fixture;
  auto process = std::make_unique<TqdProcess>();
  auto table = makeTable(process->pCache);

  // The first commit stops in its flush: committed in the cache, its
  // journal on disk, its table not yet written.
  TqdSignal firstInFlush;
  TqdSignal letFirstGo;
  TqdSignal secondWaits;
  TqdSignal secondDone;
  std::mutex progress;
  std::condition_variable progressed;
  int flushes = 0;
  TqdFaultTestPoints::SetAction("qdsrBufferManager.Flush", [&] {
    if (flushes++ != 0) return;
    firstInFlush.Set();
    letFirstGo.Wait();
  });
  TqdFaultTestPoints::SetAction("qdsrBufferManager.WaitForFlush", [&] {
    secondWaits.Set();
    std::lock_guard guard(progress);
    progressed.notify_all();
  });
  TqdResult firstCode = 0;
  TqdResult secondCode = 0;
  std::thread first([&] {
    TqdTestServerTransaction trans(&process->pMgr);
    SetBlockByte(*table, &trans, 1, 0xA1);
    firstCode = CodeOf([&] { trans.Commit(); });
  });
  firstInFlush.Wait();
  std::thread second([&] {
    TqdTestServerTransaction trans(&process->pMgr);
    AddBlocks(*table, &trans, 3, 0xB7);
    SetBlockByte(*table, &trans, 2, 0xB2);
    secondCode = CodeOf([&] { trans.Commit(); });
    if (!trans.Finished()) trans.Rollback();
    secondDone.Set();
    std::lock_guard guard(progress);
    progressed.notify_all();
  });
  {
    std::unique_lock wait(progress);
    progressed.wait(wait, [&] { return secondWaits.IsSet() || secondDone.IsSet(); });
  }
  // A second commit that got through while the first flush was pending
  // left the first journal on disk behind an acknowledged commit: the
  // machine dies now.
  const bool overtook = secondDone.IsSet() && !secondWaits.IsSet();
  if (overtook) fixture.Fs().PowerLoss();
  letFirstGo.Set();
  first.join();
  second.join();
  TqdFaultTestPoints::ClearAll();
  EXPECT_FALSE(overtook) << "the second commit did not wait for the first one's flush";
  if (!overtook) {
    EXPECT_EQ(firstCode, 0u);
  }
  EXPECT_EQ(secondCode, 0u);
  fixture.Fs().PowerLoss();
  table.reset();
  process.reset();

  becomeAnotherProcess();
  TqdProcess fresh;
  const TqdJournalCheckResult result = fresh.pMgr.CheckFolder();
  EXPECT_EQ(result.jcrErrorCode, 0u);
  auto reopened = TqdTestTable::Open(&fresh.pCache, kTablePath);
  // The acknowledged second commit is whole on disk.
  EXPECT_EQ(reopened->File()->fiUsedBlocks, 1 + kBlocks + 3);
  EXPECT_EQ(BlockByte(*reopened, nullptr, 2), 0xB2);
  for (TqdBlockNumber n = 1 + kBlocks; n < 1 + kBlocks + 3; ++n)
    EXPECT_EQ(BlockByte(*reopened, nullptr, n), 0xB7) << "block " << n;
  if (!overtook) {
    EXPECT_EQ(BlockByte(*reopened, nullptr, 1), 0xA1);
  }
}

TEST(CommitOrderTest, ACommitOfATableItsOwnThreadStillFlushesIsRefusedInsteadOfWaitingForItself) {
  TqdFaultFixture fixture;
  TqdProcess process;
  auto table = makeTable(process.pCache);
  TqdTestServerTransaction first(&process.pMgr);
  SetBlockByte(*table, &first, 1, 0xA1);
  TqdResult nested = 0;
  first.fPostCommit = [&] {
    TqdTestServerTransaction second(&process.pMgr);
    SetBlockByte(*table, &second, 2, 0xB2);
    nested = CodeOf([&] { second.Commit(); });
    if (!second.Finished()) second.Rollback();
  };
  first.Commit();
  EXPECT_EQ(nested, qdeRecLocked);
  EXPECT_EQ(BlockByte(*table, nullptr, 1), 0xA1);
}

// --- Block numbers a journal cannot mean -------------------------------------------------

// The offset of the record of block aBlock with image kind aKind, -1 when
// the journal has none.
int64_t recordOffset(const std::vector<uint8_t>& aJournal, TqdBlockNumber aBlock, uint8_t aKind) {
  size_t offset = kJournalHeaderSize;
  while (offset + kJournalRecordHeaderSize <= aJournal.size()) {
    const uint8_t* header = aJournal.data() + offset;
    if (qdGetU32(header + 4) == aBlock && header[9] == aKind) return int64_t(offset);
    offset += kJournalRecordHeaderSize;
    if (header[9] != kJournalNoImage) offset += qdBlockSizeAllBytes(TqdBlockSize(header[8]));
  }
  return -1;
}

TEST(JournalReplayTest, ARecordBeyondWhatItsTableCanHoldIsDamageAndGrowsNoFile) {
  struct {
    const char* name;
    bool withBlockZero;
    TqdBlockNumber block;
  } cases[] = {{"past the journalled block 0", true, 1 + kBlocks + 1000},
               {"far past the journalled block 0", true, 0xFFFFFFF0},
               {"past the file, no block 0 journalled", false, 1 + kBlocks + 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TqdFaultFixture fixture;
    {
      TqdProcess process;
      auto table = makeTable(process.pCache);
      failCommit(process, *table, fixture.Fs());
    }
    becomeAnotherProcess();
    const std::string journal = NonEmptyJournalFiles(fixture.Fs()).front();
    std::vector<uint8_t> bytes = fixture.Fs().ReadAll(journal);
    const int64_t one = recordOffset(bytes, 1, kJournalBeforeImage);
    ASSERT_GE(one, 0);
    qdPutU32(bytes.data() + one + 4, c.block);
    if (!c.withBlockZero) {
      // Block 0's record goes: the file's own size is then the limit.
      const int64_t zero = recordOffset(bytes, 0, kJournalBeforeImage);
      ASSERT_GE(zero, 0);
      const size_t length = kJournalRecordHeaderSize + 4096;
      bytes.erase(bytes.begin() + zero, bytes.begin() + zero + int64_t(length));
    }
    fixture.Fs().WriteAll(journal, bytes);
    const size_t size = fixture.Fs().ReadAll(kTablePath).size();
    const std::vector<uint8_t> blockOne = FileBlock(fixture.Fs(), kTablePath, 1);

    TqdProcess fresh;
    const TqdJournalCheckResult result = fresh.pMgr.CheckFolder();
    EXPECT_EQ(result.jcrErrorCode, qdeFileCorrupt);
    ASSERT_EQ(result.jcrMessages.size(), 1u);
    EXPECT_NE(StringToUtf8(result.jcrMessages[0]).find("beyond what the table can hold"), std::string::npos)
        << StringToUtf8(result.jcrMessages[0]);
    EXPECT_EQ(NonEmptyJournalFiles(fixture.Fs()), std::vector<std::string>{journal});
    EXPECT_EQ(fixture.Fs().ReadAll(kTablePath).size(), size);
    EXPECT_EQ(FileBlock(fixture.Fs(), kTablePath, 1), blockOne);
    EXPECT_EQ(CodeOf([&] { TqdTestTable::Open(&fresh.pCache, kTablePath).reset(); }), qdeRecoveryFailed);
  }
}

// --- LSNs ----------------------------------------------------------------------------------

TEST(BlockLSNTest, NewAndReusedBlocksReachDiskWithTheirCommitsLSN) {
  TqdFaultFixture fixture;
  TqdProcess process;
  auto table = makeTable(process.pCache);
  auto headerLSN = [&] { return qdBlockLSN(FileBlock(fixture.Fs(), kTablePath, 0).data()); };
  {
    // New blocks.
    TqdTestServerTransaction trans(&process.pMgr);
    AddBlocks(*table, &trans, 2, 0x44);
    trans.Commit();
  }
  TqdLSN lsn = headerLSN();
  EXPECT_NE(lsn, 0);
  for (TqdBlockNumber n = 1 + kBlocks; n < 1 + kBlocks + 2; ++n)
    EXPECT_EQ(qdBlockLSN(FileBlock(fixture.Fs(), kTablePath, n).data()), lsn) << "new block " << n;
  {
    // Block 3 freed in one commit, taken again by the next one.
    TqdTestServerTransaction trans(&process.pMgr);
    auto header = table->Access().HeaderAccess(&trans, true);
    TqdBlockRef freed = table->Access().GetBlock(&trans, 3, kTestOwner, true);
    header->DeleteBlock(&trans, freed);
    header.reset();
    trans.Commit();
  }
  {
    TqdTestServerTransaction trans(&process.pMgr);
    auto header = table->Access().HeaderAccess(&trans, true);
    TqdBlockRef block = header->GetNewBlock(&trans, kTestOwner);
    ASSERT_EQ(block.BlockNumber(), 3u);
    block.Release();
    header.reset();
    trans.Commit();
  }
  lsn = headerLSN();
  EXPECT_EQ(qdBlockLSN(FileBlock(fixture.Fs(), kTablePath, 3).data()), lsn) << "reused block 3";
}

}  // namespace
}  // namespace qd::test
