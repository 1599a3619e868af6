// The journal: its file layout, the order of writes and syncs of a commit,
// unique journal numbers, and the recovery of a folder from crafted and
// damaged journals.
#include "storage/qdseJournalEngine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/qdLittleEndian.h"
#include "tests/storage/qdsrTestServer.h"
#include "tests/support/qdTestFolder.h"

namespace qd::test {
namespace {

constexpr TqdBlockNumber kBlocks = 6;

// Installs a journal class for the scope.
class TqdScopedJournalClass {
 public:
  explicit TqdScopedJournalClass(const TqdJournalEngineClass* aClass) : fPrevious(qdJournalEngineClass.load()) {
    qdJournalEngineClass.store(aClass);
  }
  ~TqdScopedJournalClass() { qdJournalEngineClass.store(fPrevious); }

 private:
  const TqdJournalEngineClass* fPrevious;
};

// Tables created and filled without a journal: blocks 1..6 of each hold the
// table's own fill byte.
class JournalTest : public ::testing::Test {
 protected:
  std::unique_ptr<TqdTestTable> MakeTable(const std::string& aPath, uint8_t aFill) {
    auto table = TqdTestTable::Create(&fCache, aPath);
    TqdTestTransaction trans(&fCache);
    AddBlocks(*table, &trans, kBlocks, aFill);
    trans.Commit();
    return table;
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  TqdTestTransactionMgr fMgr{&fCache, "/db"};
};

struct TqdParsedRecord {
  TqdBlockNumber prBlock;
  uint8_t prSizeCode;
  uint8_t prKind;
  std::string prName;
  std::vector<uint8_t> prImage;
};

std::vector<TqdParsedRecord> parseRecords(const std::vector<uint8_t>& aJournal) {
  std::vector<TqdParsedRecord> records;
  size_t offset = kJournalHeaderSize;
  while (offset + kJournalRecordHeaderSize <= aJournal.size()) {
    const uint8_t* header = aJournal.data() + offset;
    EXPECT_EQ(std::memcmp(header, "QDJR", 4), 0) << "at " << offset;
    EXPECT_EQ(header[10] | header[11], 0);
    TqdParsedRecord record{qdGetU32(header + 4),
                           header[8],
                           header[9],
                           std::string(reinterpret_cast<const char*>(header + 13), header[12]),
                           {}};
    for (size_t i = 13 + size_t(header[12]); i < kJournalRecordHeaderSize; ++i) EXPECT_EQ(header[i], 0);
    offset += kJournalRecordHeaderSize;
    if (record.prKind != kJournalNoImage) {
      const size_t bytes = qdBlockSizeAllBytes(TqdBlockSize(record.prSizeCode));
      record.prImage.assign(aJournal.begin() + long(offset), aJournal.begin() + long(offset + bytes));
      offset += bytes;
    }
    records.push_back(std::move(record));
  }
  EXPECT_EQ(offset, aJournal.size());
  return records;
}

TEST_F(JournalTest, ACommitJournalsEveryChangedBlockAndBlockZeroAsTheFilesReceiveThem) {
  struct {
    int kind;
    std::vector<uint8_t> imagesPerBlock;
  } cases[] = {{2, {kJournalBeforeImage}}, {1, {kJournalAfterImage}}, {0, {kJournalBeforeImage, kJournalAfterImage}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    TqdFaultFixture fixture;
    TqdBufferManager cache(u"/tmp");
    TqdTestTransactionMgr mgr(&cache, "/db");
    TqdScopedJournalClass journalClass(qdJournalEngineClassOfKind(c.kind));
    auto makeTable = [&](const std::string& aPath, uint8_t aFill) {
      auto table = TqdTestTable::Create(&cache, aPath);
      TqdTestTransaction trans(&cache);
      AddBlocks(*table, &trans, kBlocks, aFill);
      trans.Commit();
      return table;
    };
    auto a = makeTable("/db/a.qd1", 0xAA);
    auto b = makeTable("/db/b.qd1", 0xBB);
    struct {
      const char* name;
      TqdBlockNumber number;
    } expected[] = {{"a.qd1", 3}, {"a.qd1", 4}, {"b.qd1", 5}, {"a.qd1", 0}, {"b.qd1", 0}};
    std::vector<std::vector<uint8_t>> before;
    for (const auto& e : expected) before.push_back(FileBlock(fixture.Fs(), std::string("/db/") + e.name, e.number));

    TqdTestServerTransaction trans(&mgr);
    SetBlockByte(*a, &trans, 3, 0x13);
    SetBlockByte(*a, &trans, 4, 0x14);
    SetBlockByte(*b, &trans, 5, 0x25);
    std::string journalName;
    std::vector<uint8_t> journal;
    trans.fPostCommit = [&] {
      const auto names = NonEmptyJournalFiles(fixture.Fs());
      ASSERT_EQ(names.size(), 1u);
      journalName = names[0];
      journal = fixture.Fs().ReadAll(journalName);
    };
    const TqdLSN lsn = trans.LSN();
    trans.Commit();

    ASSERT_GE(journal.size(), kJournalHeaderSize);
    const std::string base = journalName.substr(4);
    EXPECT_EQ(base.find_first_not_of("0123456789"), base.size() - 4) << journalName;
    EXPECT_EQ(base.substr(base.size() - 4), ".n$2");
    EXPECT_EQ(std::memcmp(journal.data(), "QDJH", 4), 0);
    EXPECT_EQ(qdGetU32(journal.data() + 4), kJournalComplete);
    EXPECT_EQ(qdGetU32(journal.data() + 8), uint32_t(c.kind));
    const auto records = parseRecords(journal);
    ASSERT_EQ(records.size(), std::size(expected) * c.imagesPerBlock.size());
    for (size_t i = 0; i < records.size(); ++i) {
      const auto& e = expected[i / c.imagesPerBlock.size()];
      const uint8_t kind = c.imagesPerBlock[i % c.imagesPerBlock.size()];
      SCOPED_TRACE(i);
      EXPECT_EQ(records[i].prName, e.name);
      EXPECT_EQ(records[i].prBlock, e.number);
      EXPECT_EQ(records[i].prSizeCode, 0);
      EXPECT_EQ(records[i].prKind, kind);
      // Before-images are what the file held, after-images what it holds now.
      const auto& image = kind == kJournalBeforeImage ? before[i / c.imagesPerBlock.size()]
                                                      : FileBlock(fixture.Fs(), std::string("/db/") + e.name, e.number);
      EXPECT_TRUE(records[i].prImage == image);
    }
    EXPECT_FALSE(fixture.Fs().Exists(journalName));
    EXPECT_TRUE(NonEmptyJournalFiles(fixture.Fs()).empty());
    EXPECT_EQ(qdBlockLSN(FileBlock(fixture.Fs(), "/db/a.qd1", 0).data()), lsn);
    EXPECT_EQ(qdBlockLSN(FileBlock(fixture.Fs(), "/db/b.qd1", 0).data()), lsn);
  }
}

TEST_F(JournalTest, ATableCreatedByTheCommitHasNoBeforeImagesToKeep) {
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/new.qd1", &fCache));
  file->OpenFile(omReadWrite, smExclusive, false, true);
  TqdBlockAccess access(file, nullptr, u"new.qd1", 0);
  std::vector<uint8_t> journal;
  {
    TqdTestServerTransaction trans(&fMgr);
    ASSERT_EQ(file->AddHeader(&trans, {}, qdSignature("QD!2")), 0u);
    AddBlocks(access, &trans, 2, 0x42);
    trans.fPostCommit = [&] { journal = fFixture.Fs().ReadAll(NonEmptyJournalFiles(fFixture.Fs()).at(0)); };
    trans.Commit();
  }
  const auto records = parseRecords(journal);
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) {
    EXPECT_EQ(record.prName, "new.qd1");
    EXPECT_EQ(record.prKind, kJournalNoImage);
  }
  fCache.RemoveFile(file);
  file->CloseFile();
  delete file;
  auto table = TqdTestTable::Open(&fCache, "/db/new.qd1");
  EXPECT_EQ(BlockByte(*table, nullptr, 2), 0x42);
}

TEST(JournalClassTest, TheRollbackJournalIsTheDefaultAndEveryClassIsFoundByName) {
  EXPECT_EQ(qdJournalEngineClass.load(), &Tqd1xRollbackJournalEngine::ClassInfo);
  EXPECT_EQ(qdFindJournalEngineClass(u"tqd1xcommitjournalengine"), &Tqd1xCommitJournalEngine::ClassInfo);
  EXPECT_EQ(qdFindJournalEngineClass(u"Tqd1xJournalEngine"), &Tqd1xJournalEngine::ClassInfo);
  EXPECT_EQ(qdFindJournalEngineClass(u"TqdNoSuchEngine"), nullptr);
  EXPECT_TRUE(Tqd1xCommitJournalEngine::ClassInfo.InheritsFrom(&TqdBaseJournalEngine::ClassInfo));
  EXPECT_FALSE(Tqd1xCommitJournalEngine::ClassInfo.InheritsFrom(&Tqd1xRollbackJournalEngine::ClassInfo));
  TqdScopedJournalClass none(nullptr);
  EXPECT_EQ(qdPersistentJournalEngineClass(), &Tqd1xRollbackJournalEngine::ClassInfo);
}

// Index of the first record that matches, -1 when none does.
template <class P>
int firstOf(const std::vector<TqdFaultRecord>& aRecords, P aMatch) {
  for (size_t i = 0; i < aRecords.size(); ++i)
    if (aMatch(aRecords[i])) return int(i);
  return -1;
}

template <class P>
int lastOf(const std::vector<TqdFaultRecord>& aRecords, P aMatch) {
  for (size_t i = aRecords.size(); i-- > 0;)
    if (aMatch(aRecords[i])) return int(i);
  return -1;
}

TEST_F(JournalTest, TheJournalIsDurableBeforeAnyTableWriteAndItsDeletionBeforeTheCommitReturns) {
  for (int kind : {0, 1, 2}) {
    SCOPED_TRACE(kind);
    TqdFaultFixture fixture;
    TqdBufferManager cache(u"/tmp");
    TqdTestTransactionMgr mgr(&cache, "/db");
    TqdScopedJournalClass journalClass(qdJournalEngineClassOfKind(kind));
    auto table = TqdTestTable::Create(&cache, "/db/t.qd1");
    {
      TqdTestTransaction trans(&cache);
      AddBlocks(*table, &trans, kBlocks, 0x11);
      trans.Commit();
    }
    // The first commit of the folder creates its journal file; the second
    // finds the spare file the first one left.
    for (int syncs : {5, 4}) {
      SCOPED_TRACE(syncs);
      fixture.Fs().ClearRecords();
      TqdTestServerTransaction trans(&mgr);
      SetBlockByte(*table, &trans, 2, uint8_t(syncs));
      trans.Commit();
      const auto records = fixture.Fs().Records();
      auto isJournal = [](const TqdFaultRecord& r) { return r.frPath.find(".n$2") != std::string::npos; };
      auto isTable = [](const TqdFaultRecord& r) { return r.frPath.rfind("/db/t.qd1", 0) == 0; };
      const int lastJournalWrite = lastOf(
          records, [&](const TqdFaultRecord& r) { return r.frOp == foWrite && isJournal(r) && r.frOffset == 0; });
      const int flag = firstOf(records, [&](const TqdFaultRecord& r) {
        return r.frOp == foWrite && isJournal(r) && r.frOffset == 4 && r.frLength == 4;
      });
      const int firstSync = firstOf(records, [&](const TqdFaultRecord& r) { return r.frOp == foSync && isJournal(r); });
      const int secondSync = lastOf(records, [&](const TqdFaultRecord& r) { return r.frOp == foSync && isJournal(r); });
      const int firstTableWrite = firstOf(
          records, [&](const TqdFaultRecord& r) { return (r.frOp == foWrite || r.frOp == foTruncate) && isTable(r); });
      const int tableSync = firstOf(records, [&](const TqdFaultRecord& r) { return r.frOp == foSync && isTable(r); });
      const int deletion =
          firstOf(records, [&](const TqdFaultRecord& r) { return r.frOp == foDelete && isJournal(r); });
      const int lastFolderSync = lastOf(records, [](const TqdFaultRecord& r) { return r.frOp == foFolderSync; });
      ASSERT_TRUE(lastJournalWrite >= 0 && flag >= 0 && firstSync >= 0 && firstTableWrite >= 0 && tableSync >= 0 &&
                  deletion >= 0);
      EXPECT_LT(lastJournalWrite, firstSync);
      EXPECT_LT(firstSync, flag);
      EXPECT_LT(flag, secondSync);
      EXPECT_LT(secondSync, firstTableWrite);
      if (syncs == 5) {
        const int creationSync = firstOf(records, [](const TqdFaultRecord& r) { return r.frOp == foFolderSync; });
        EXPECT_LT(secondSync, creationSync);
        EXPECT_LT(creationSync, firstTableWrite);
      }
      EXPECT_LT(tableSync, deletion);
      EXPECT_LT(deletion, lastFolderSync);
      EXPECT_EQ(fixture.Fs().Count(foSync) + fixture.Fs().Count(foFolderSync), syncs);
    }
  }
}

TEST_F(JournalTest, AJournalNeverReplacesAFileOfItsNumber) {
  const int64_t number = qdNextJournalNumber(0) + 5;
  const std::string planted = "/db/" + std::to_string(number) + ".n$2";
  const std::vector<uint8_t> content = {'Q', 'D', 'J', 'H', 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0};
  fFixture.Fs().WriteAll(planted, content);
  auto journal = Tqd1xRollbackJournalEngine::ClassInfo.Create(Utf8ToString(planted));
  journal->PrepareJournal();
  EXPECT_NE(StringToUtf8(journal->FileName()), planted);
  EXPECT_TRUE(fFixture.Fs().Exists(StringToUtf8(journal->FileName())));
  EXPECT_EQ(fFixture.Fs().ReadAll(planted), content);
  journal.reset();  // an unfinished journal goes with its engine
  EXPECT_EQ(NonEmptyJournalFiles(fFixture.Fs()), std::vector<std::string>{planted});
}

TEST_F(JournalTest, ATableOutsideTheJournalsFolderOrWithAnOverlongNameIsRefusedBeforeAnyWrite) {
  fFixture.Fs().AddFolder("/other");
  const std::string longName = "/db/" + std::string(252, 'x') + ".qd1";
  for (const std::string& path : {std::string("/other/x.qd1"), longName}) {
    SCOPED_TRACE(path.size());
    auto table = MakeTable(path, 0x11);
    const auto before = fFixture.Fs().ReadAll(path);
    TqdTestServerTransaction trans(&fMgr);
    SetBlockByte(*table, &trans, 1, 0x99);
    fFixture.Fs().ClearRecords();
    EXPECT_EQ(CodeOf([&] { trans.Commit(); }), qdeInvalidParam);
    trans.Rollback();
    EXPECT_EQ(fFixture.Fs().ReadAll(path), before);
    EXPECT_TRUE(NonEmptyJournalFiles(fFixture.Fs()).empty());
  }
}

// --- Recovery from crafted journals --------------------------------------------------------

class TqdJournalBuilder {
 public:
  TqdJournalBuilder(uint32_t aFlag, uint32_t aKind) {
    fBytes.resize(kJournalHeaderSize);
    std::memcpy(fBytes.data(), "QDJH", 4);
    qdPutU32(fBytes.data() + 4, aFlag);
    qdPutU32(fBytes.data() + 8, aKind);
  }
  TqdJournalBuilder& Record(const std::string& aName, TqdBlockNumber aBlock, uint8_t aKind,
                            const std::vector<uint8_t>& aImage, uint8_t aSizeCode = 0) {
    uint8_t header[kJournalRecordHeaderSize] = {};
    std::memcpy(header, "QDJR", 4);
    qdPutU32(header + 4, aBlock);
    header[8] = aSizeCode;
    header[9] = aKind;
    header[12] = uint8_t(aName.size());
    std::memcpy(header + 13, aName.data(), std::min<size_t>(aName.size(), 255));
    fBytes.insert(fBytes.end(), header, header + sizeof header);
    fBytes.insert(fBytes.end(), aImage.begin(), aImage.end());
    return *this;
  }
  TqdJournalBuilder& Cut(size_t aBytes) {
    fBytes.resize(fBytes.size() - aBytes);
    return *this;
  }
  const std::vector<uint8_t>& Bytes() const { return fBytes; }

 private:
  std::vector<uint8_t> fBytes;
};

// A folder "/db" with the table t.qd1 (blocks 1..6 filled with 0x11, then
// block 2 changed to hold kTorn as a half-applied commit would leave it) and
// two images of block 2: kOld and kNew.
class RecoveryTest : public JournalTest {
 protected:
  static constexpr uint8_t kTorn = 0x7E;
  static constexpr uint8_t kOld = 0x01;
  static constexpr uint8_t kNew = 0x02;

  void SetUp() override {
    MakeTable("/db/t.qd1", 0x11).reset();
    fOriginal = FileBlock(fFixture.Fs(), "/db/t.qd1", 2);
    fOld = Image(kOld);
    fNew = Image(kNew);
    SetStored(kTorn);
  }

  std::vector<uint8_t> Image(uint8_t aByte) const {
    std::vector<uint8_t> image = fOriginal;
    image[kBlockCommonHeaderSize + 7] = aByte;
    return image;
  }
  void SetStored(uint8_t aByte) {
    std::vector<uint8_t> all = fFixture.Fs().ReadAll("/db/t.qd1");
    all[2 * 4096 + kBlockCommonHeaderSize + 7] = aByte;
    fFixture.Fs().WriteAll("/db/t.qd1", all);
  }
  uint8_t Stored() { return FileBlock(fFixture.Fs(), "/db/t.qd1", 2)[kBlockCommonHeaderSize + 7]; }
  TqdResult OpenCode() {
    return CodeOf([&] { TqdTestTable::Open(&fCache, "/db/t.qd1").reset(); });
  }

  std::vector<uint8_t> fOriginal;
  std::vector<uint8_t> fOld;
  std::vector<uint8_t> fNew;
};

TEST_F(RecoveryTest, EachJournalIsReplayedDeletedOrKeptAsItDeserves) {
  const auto* rollback = &Tqd1xRollbackJournalEngine::ClassInfo;
  const auto* commit = &Tqd1xCommitJournalEngine::ClassInfo;
  struct {
    const char* what;
    const TqdJournalEngineClass* checker;
    std::vector<uint8_t> journal;
    bool kept;
    uint8_t stored;  // block 2's byte afterwards
    TqdResult error;
    TqdResult open;  // opening the table afterwards
  } cases[] = {
      {"complete rollback journal", rollback,
       TqdJournalBuilder(kJournalComplete, 2).Record("t.qd1", 2, kJournalBeforeImage, Image(kOld)).Bytes(), false, kOld,
       0, 0},
      {"complete roll-forward journal", rollback,
       TqdJournalBuilder(kJournalComplete, 1).Record("t.qd1", 2, kJournalAfterImage, Image(kNew)).Bytes(), false, kNew,
       0, 0},
      {"both images, checked by the rollback class", rollback,
       TqdJournalBuilder(kJournalComplete, 0)
           .Record("t.qd1", 2, kJournalBeforeImage, Image(kOld))
           .Record("t.qd1", 2, kJournalAfterImage, Image(kNew))
           .Bytes(),
       false, kOld, 0, 0},
      {"both images, checked by the roll-forward class", commit,
       TqdJournalBuilder(kJournalComplete, 0)
           .Record("t.qd1", 2, kJournalBeforeImage, Image(kOld))
           .Record("t.qd1", 2, kJournalAfterImage, Image(kNew))
           .Bytes(),
       false, kNew, 0, 0},
      {"a block with no image yet is skipped", rollback,
       TqdJournalBuilder(kJournalComplete, 2)
           .Record("t.qd1", 40, kJournalNoImage, {})
           .Record("t.qd1", 2, kJournalBeforeImage, Image(kOld))
           .Bytes(),
       false, kOld, 0, 0},
      {"unfinished journal", rollback,
       TqdJournalBuilder(0, 2).Record("t.qd1", 2, kJournalBeforeImage, Image(kOld)).Bytes(), false, kTorn, 0, 0},
      {"empty file", rollback, {}, false, kTorn, 0, 0},
      {"not a journal", rollback, {'H', 'E', 'L', 'L', 'O', 0, 0, 0, 0, 0, 0, 0, 0}, true, kTorn, qdeCannotOpenFile, 0},
      {"truncated record", rollback,
       TqdJournalBuilder(kJournalComplete, 2)
           .Record("t.qd1", 1, kJournalBeforeImage, Image(kOld))
           .Record("t.qd1", 2, kJournalBeforeImage, Image(kOld))
           .Cut(100)
           .Bytes(),
       true, kTorn, qdeReadErr, qdeRecoveryFailed},
      {"damaged complete flag", rollback,
       TqdJournalBuilder(0x00FF00FF, 2).Record("t.qd1", 2, kJournalBeforeImage, Image(kOld)).Bytes(), true, kTorn,
       qdeFileCorrupt, qdeRecoveryFailed},
      {"unknown journal kind", rollback,
       TqdJournalBuilder(kJournalComplete, 3).Record("t.qd1", 2, kJournalBeforeImage, Image(kOld)).Bytes(), true, kTorn,
       qdeFileCorrupt, qdeRecoveryFailed},
      {"block size code out of range", rollback,
       TqdJournalBuilder(kJournalComplete, 2).Record("t.qd1", 2, kJournalBeforeImage, Image(kOld), 5).Bytes(), true,
       kTorn, qdeFileCorrupt, qdeRecoveryFailed},
      {"unknown image kind", rollback,
       TqdJournalBuilder(kJournalComplete, 2).Record("t.qd1", 2, 7, Image(kOld)).Bytes(), true, kTorn, qdeFileCorrupt,
       qdeRecoveryFailed},
      {"a path instead of a name", rollback,
       TqdJournalBuilder(kJournalComplete, 2).Record("../db/t.qd1", 2, kJournalBeforeImage, Image(kOld)).Bytes(), true,
       kTorn, qdeFileCorrupt, qdeRecoveryFailed},
      {"a missing table", rollback,
       TqdJournalBuilder(kJournalComplete, 2).Record("gone.qd1", 2, kJournalBeforeImage, Image(kOld)).Bytes(), true,
       kTorn, qdeFileNoAccess, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetStored(kTorn);
    TqdScopedJournalClass journalClass(c.checker);
    fFixture.Fs().WriteAll("/db/100.n$2", c.journal);
    const TqdJournalCheckResult result = fMgr.CheckFolder();
    EXPECT_EQ(fFixture.Fs().Exists("/db/100.n$2"), c.kept);
    if (c.kept) {
      EXPECT_EQ(fFixture.Fs().ReadAll("/db/100.n$2"), c.journal);
    }
    EXPECT_EQ(Stored(), c.stored);
    EXPECT_EQ(result.jcrErrorCode, c.error);
    EXPECT_EQ(result.jcrMessages.size(), c.kept ? 1u : 0u);
    EXPECT_EQ(OpenCode(), c.open);
    // Put right, the journal is recovered and the table opens again.
    if (c.kept) {
      fFixture.Fs().WriteAll("/db/100.n$2", TqdJournalBuilder(0, 2).Bytes());
      EXPECT_EQ(fMgr.CheckFolder().jcrErrorCode, 0u);
      EXPECT_EQ(OpenCode(), 0u);
    }
    EXPECT_FALSE(fFixture.Fs().Exists("/db/100.n$2"));
  }
}

TEST_F(RecoveryTest, ReplayedTablesAndTheFolderAreSyncedBeforeTheJournalGoes) {
  fFixture.Fs().WriteAll("/db/50.n$2",
                         TqdJournalBuilder(kJournalComplete, 2).Record("t.qd1", 2, kJournalBeforeImage, fOld).Bytes());
  fFixture.Fs().ClearRecords();
  ASSERT_EQ(fMgr.CheckFolder().jcrReplayed, 1);
  std::vector<std::pair<TqdFaultOp, std::string>> changes;
  for (const auto& record : fFixture.Fs().Records())
    if (record.frOp == foWrite || record.frOp == foSync || record.frOp == foFolderSync || record.frOp == foDelete)
      changes.emplace_back(record.frOp, record.frPath);
  const std::vector<std::pair<TqdFaultOp, std::string>> expected = {{foWrite, "/db/t.qd1"},
                                                                    {foSync, "/db/t.qd1"},
                                                                    {foFolderSync, "/db/"},
                                                                    {foDelete, "/db/50.n$2"},
                                                                    {foFolderSync, "/db/"}};
  EXPECT_EQ(changes, expected);
}

TEST_F(RecoveryTest, JournalsReplayByNumberForwardsOldestFirstAndBackwardsNewestFirst) {
  struct {
    uint32_t kind;
    uint8_t imageKind;
    uint8_t result;
  } cases[] = {
      {2, kJournalBeforeImage, kOld},  // the older commit's before-image wins
      {1, kJournalAfterImage, kNew},   // the newer commit's after-image wins
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    SetStored(kTorn);
    // 9 sorts after 10 by name, before it by number.
    fFixture.Fs().WriteAll("/db/9.n$2",
                           TqdJournalBuilder(kJournalComplete, c.kind).Record("t.qd1", 2, c.imageKind, fOld).Bytes());
    fFixture.Fs().WriteAll("/db/10.n$2",
                           TqdJournalBuilder(kJournalComplete, c.kind).Record("t.qd1", 2, c.imageKind, fNew).Bytes());
    const TqdJournalCheckResult result = fMgr.CheckFolder();
    EXPECT_EQ(result.jcrErrorCode, 0u);
    EXPECT_EQ(result.jcrReplayed, 2);
    EXPECT_EQ(Stored(), c.result);
    EXPECT_TRUE(JournalFiles(fFixture.Fs()).empty());
  }
}

TEST_F(RecoveryTest, AJournalOnATableWhoseEarlierJournalIsKeptWaitsForIt) {
  MakeTable("/db/u.qd1", 0x22).reset();
  const std::vector<uint8_t> other = FileBlock(fFixture.Fs(), "/db/u.qd1", 2);
  fFixture.Fs().WriteAll(
      "/db/20.n$2",
      TqdJournalBuilder(kJournalComplete, 1).Record("t.qd1", 2, kJournalAfterImage, fOld).Cut(10).Bytes());
  const auto later = TqdJournalBuilder(kJournalComplete, 1).Record("t.qd1", 2, kJournalAfterImage, fNew).Bytes();
  fFixture.Fs().WriteAll("/db/21.n$2", later);
  std::vector<uint8_t> changed = other;
  changed[100] = 0x5A;
  fFixture.Fs().WriteAll(
      "/db/22.n$2", TqdJournalBuilder(kJournalComplete, 1).Record("u.qd1", 2, kJournalAfterImage, changed).Bytes());
  const TqdJournalCheckResult result = fMgr.CheckFolder();
  EXPECT_EQ(result.jcrMessages.size(), 2u);
  EXPECT_EQ(Stored(), kTorn);
  EXPECT_EQ(fFixture.Fs().ReadAll("/db/21.n$2"), later);
  EXPECT_FALSE(fFixture.Fs().Exists("/db/22.n$2"));
  EXPECT_TRUE(FileBlock(fFixture.Fs(), "/db/u.qd1", 2) == changed);
  EXPECT_EQ(OpenCode(), qdeRecoveryFailed);
}

TEST_F(RecoveryTest, AJournalHeldByAnotherCommitIsLeftAlone) {
  const auto journal = TqdJournalBuilder(0, 2).Record("t.qd1", 2, kJournalBeforeImage, fOld).Bytes();
  fFixture.Fs().WriteAll("/db/30.n$2", journal);
  std::unique_ptr<TqdOSFile> holder;
  TqdOSOpenRequest request;
  request.orWrite = true;
  request.orLock = flkExclusive;
  ASSERT_EQ(fFixture.Fs().Open("/db/30.n$2", request, holder), 0);
  const TqdJournalCheckResult result = fMgr.CheckFolder();
  EXPECT_EQ(result.jcrErrorCode, 0u);
  EXPECT_EQ(fFixture.Fs().ReadAll("/db/30.n$2"), journal);
  (void)holder->Close();
  EXPECT_EQ(fMgr.CheckFolder().jcrDeleted, 1);
}

TEST_F(RecoveryTest, AMissingFolderIs10018) {
  TqdTestTransactionMgr missing(&fCache, "/nowhere");
  EXPECT_EQ(CodeOf([&] { (void)missing.CheckFolder(); }), qdeAliasDirMissing);
}

// --- On the real file system ---------------------------------------------------------------

TEST(RecoveryOnDiskTest, ABlockBeyondFourGigabytesIsWrittenAtItsFullOffset) {
  TempFolder folder;
  const std::string path = folder.File("big.qd1").string();
  TqdBufferManager cache(u"/tmp");
  TqdTestTable::Create(&cache, path).reset();
  constexpr TqdBlockNumber kFar = 0x110000;  // 4.25 GiB at 4 KB
  std::vector<uint8_t> image(4096, 0x3C);
  // Block 0 as the commit that grew the table to the far block left it.
  std::vector<uint8_t> header(4096);
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(header.data()), 4096);
  qdPutU32(header.data() + 32, kFar + 1);
  const std::vector<uint8_t> journal = TqdJournalBuilder(kJournalComplete, 1)
                                           .Record("big.qd1", kFar, kJournalAfterImage, image)
                                           .Record("big.qd1", 0, kJournalAfterImage, header)
                                           .Bytes();
  std::ofstream(folder.File("1.n$2"), std::ios::binary)
      .write(reinterpret_cast<const char*>(journal.data()), std::streamsize(journal.size()));
  TqdTestTransactionMgr mgr(&cache, folder.Path().string());
  TqdScopedJournalClass journalClass(&Tqd1xCommitJournalEngine::ClassInfo);
  ASSERT_EQ(mgr.CheckFolder().jcrReplayed, 1);
  EXPECT_EQ(std::filesystem::file_size(path), uint64_t(kFar + 1) * 4096);
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(uint64_t(kFar) * 4096));
  std::vector<uint8_t> back(4096);
  in.read(reinterpret_cast<char*>(back.data()), 4096);
  EXPECT_TRUE(back == image);
}

TEST(RecoveryOnDiskTest, ALinkInsideTheFolderIsNotFollowed) {
  TempFolder folder;
  TempFolder outside;
  const std::string target = outside.File("victim").string();
  std::ofstream(target) << "untouched";
  std::filesystem::create_symlink(target, folder.File("link.qd1"));
  const auto journal =
      TqdJournalBuilder(kJournalComplete, 2).Record("link.qd1", 0, kJournalBeforeImage, std::vector<uint8_t>(4096, 1));
  std::ofstream(folder.File("2.n$2"), std::ios::binary)
      .write(reinterpret_cast<const char*>(journal.Bytes().data()), std::streamsize(journal.Bytes().size()));
  TqdBufferManager cache(u"/tmp");
  TqdTestTransactionMgr mgr(&cache, folder.Path().string());
  const TqdJournalCheckResult result = mgr.CheckFolder();
  EXPECT_EQ(result.jcrErrorCode, qdeFileNoAccess);
  EXPECT_TRUE(std::filesystem::exists(folder.File("2.n$2")));
  std::string content;
  std::ifstream(target) >> content;
  EXPECT_EQ(content, "untouched");
  qdClearTableUnrecovered(Utf8ToString(folder.File("link.qd1").string()));
}

}  // namespace
}  // namespace qd::test
