// Opening databases on folders: paths and their identity, the share rules,
// "qdTrans.cfg" and the next LSN, journals, inactivity and the cleanup, and
// the engine's stop.
#include "server/qdsrServerFolder.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <fstream>
#include <thread>

#include "platform/qdLittleEndian.h"
#include "storage/qdseJournalEngine.h"
#include "tests/server/qdsrServerTestSupport.h"

namespace qd::test {
namespace {

uint64_t readConfig(const std::filesystem::path& aFolder, uintmax_t* aSize = nullptr) {
  const std::filesystem::path file = aFolder / "qdTrans.cfg";
  if (aSize != nullptr) *aSize = std::filesystem::file_size(file);
  std::ifstream in(file, std::ios::binary);
  uint8_t bytes[8] = {};
  in.read(reinterpret_cast<char*>(bytes), 8);
  return qdGetU64(bytes);
}

void writeBytes(const std::filesystem::path& aFile, const std::vector<uint8_t>& aBytes) {
  std::ofstream out(aFile, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(aBytes.data()), std::streamsize(aBytes.size()));
}

std::vector<uint8_t> le64(uint64_t aValue, size_t aSize = 8) {
  std::vector<uint8_t> bytes(aSize, 0);
  uint8_t buffer[8];
  qdPutU64(buffer, aValue);
  std::copy(buffer, buffer + std::min<size_t>(8, aSize), bytes.begin());
  return bytes;
}

using FolderTest = ServerFixture;

TEST_F(FolderTest, OpenByPathOrNameAndTheErrorsOfEither) {
  Start();
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  const qdString data = PathOf(fTemp.Path());
  EXPECT_EQ(session->DatabaseOpen(database, u"PATH", data, nullptr, omReadWrite, smShared, 1000), 0u);
  ASSERT_NE(database, nullptr);
  qdString path;
  EXPECT_EQ(database->GetPath(path), 0u);
  EXPECT_EQ(path, PathOf(std::filesystem::canonical(fTemp.Path())) + u"/");
  EXPECT_EQ(session->DatabaseOpen(database, u"File", data, nullptr, omReadWrite, smShared, 1000), qdeNotSupported);
  EXPECT_EQ(database, nullptr);
  EXPECT_EQ(LastMessage(), u"AliasType 'File' not supported");
  EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"unknown", nullptr, omReadWrite, smShared, 1000), qdeUnknownDb);
  EXPECT_EQ(Open(session, PathOf(fTemp.Path() / "missing"), database), qdeAliasDirMissing);
  ASSERT_EQ(session->AliasAdd(u"Drill", data, false), 0u);
  EXPECT_EQ(session->DatabaseOpen(database, u"name", u"drill", nullptr, omReadWrite, smShared, 1000), 0u);
  qdString alias;
  EXPECT_EQ(database->GetAlias(alias), 0u);
  EXPECT_EQ(alias, u"drill");
  EXPECT_EQ(fEngine->FolderCount(), 1);
}

TEST_F(FolderTest, OnePathOneFolderAndCaseMatters) {
  std::filesystem::create_directories(fTemp.Path() / "data");
  std::filesystem::create_directories(fTemp.Path() / "Data");
  Start();
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  const std::string base = fTemp.Path().string();
  for (const std::string& spelling : {base + "/data", base + "/data/", base + "/./data", "  " + base + "/data"}) {
    SCOPED_TRACE(spelling);
    EXPECT_EQ(Open(session, Utf8ToString(spelling), database), 0u);
  }
  EXPECT_EQ(fEngine->FolderCount(), 1);
  EXPECT_EQ(Open(session, Utf8ToString(base + "/Data"), database), 0u);
  EXPECT_EQ(fEngine->FolderCount(), 2);
  for (TqdServerFolder* folder : fEngine->Folders()) EXPECT_EQ(folder->Path().back(), u'/');
  EXPECT_EQ(
      session->DatabaseCacheOpen(database, u"Path", Utf8ToString(base + "/data"), nullptr, omReadWrite, smShared, 1000),
      qdeDirNoAccess);
  EXPECT_EQ(LastMessage(), u"Folder already open with conflicting cache mode");
}

TEST_F(FolderTest, InMemoryFoldersNeverTouchTheDisk) {
  Start();
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(Open(session, u"#mem", database), 0u);
  auto* server = static_cast<TqdServerDatabase*>(database);
  EXPECT_TRUE(server->Folder()->InMemOnly());
  EXPECT_EQ(server->Folder()->Path(), u"#mem");
  EXPECT_EQ(server->Folder()->TransManager()->stmCreateJournal(7), nullptr);
  EXPECT_FALSE(std::filesystem::exists("#mem"));
  int64_t free = 0;
  EXPECT_EQ(database->GetFreespace(free), qdeOSError);
}

struct ShareCase {
  TqdOpenMode firstMode;
  TqdShareMode firstShare;
  TqdOpenMode secondMode;
  TqdShareMode secondShare;
  TqdResult expected;
};

TEST_F(FolderTest, ShareRulesBetweenDatabasesOfOneFolder) {
  const ShareCase cases[] = {
      {omReadOnly, smExclusive, omReadOnly, smShared, qdeNeedExclusive},
      {omReadOnly, smExclusive, omReadOnly, smShareRead, qdeNeedExclusive},
      {omReadOnly, smShared, omReadOnly, smExclusive, qdeNeedExclusive},
      {omReadWrite, smShared, omReadWrite, smExclusive, qdeNeedExclusive},
      {omReadWrite, smShared, omReadOnly, smShareRead, qdeNeedExclusive},
      {omReadOnly, smShared, omReadOnly, smShareRead, 0},
      {omReadOnly, smShareRead, omReadOnly, smShared, 0},
      {omReadOnly, smShareRead, omReadWrite, smShared, qdeNeedExclusive},
      {omReadOnly, smShareRead, omWriteOnly, smShared, qdeNeedExclusive},
      {omReadOnly, smShareRead, omReadWrite, smShareRead, qdeNeedExclusive},
      {omReadOnly, smShareRead, omReadOnly, smShareRead, 0},
      {omReadWrite, smShared, omReadWrite, smShared, 0},
  };
  Start();
  const qdString data = PathOf(fTemp.Path());
  for (const ShareCase& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.firstMode) << "/" << int(c.firstShare) << " then " << int(c.secondMode)
                                    << "/" << int(c.secondShare));
    TqdServerSession* session = OpenSession();
    TqdAbstractDatabase* first = nullptr;
    TqdAbstractDatabase* second = nullptr;
    ASSERT_EQ(Open(session, data, first, c.firstMode, c.firstShare), 0u);
    EXPECT_EQ(Open(session, data, second, c.secondMode, c.secondShare), c.expected);
    EXPECT_EQ(second == nullptr, c.expected != 0);
    TqdAbstractServerObject::Free(session);
  }
  // Write-only opens write.
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(Open(session, data, database, omWriteOnly, smShared), 0u);
  EXPECT_EQ(static_cast<TqdServerDatabase*>(database)->OpenMode(), omReadWrite);
}

// --- "qdTrans.cfg" ---------------------------------------------------------------------

TEST_F(FolderTest, AFolderWithoutTablesStartsAtOne) {
  Start();
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(Open(session, PathOf(fTemp.Path()), database), 0u);
  uintmax_t size = 0;
  EXPECT_EQ(readConfig(fTemp.Path(), &size), 1u);
  EXPECT_EQ(size, 8u);
}

TEST_F(FolderTest, AConfigOfTheWrongSizeIsIgnoredAndRewritten) {
  Start();
  TqdServerSession* session = OpenSession();
  for (size_t size : {size_t(7), size_t(9)}) {
    SCOPED_TRACE(size);
    writeBytes(fTemp.File("qdTrans.cfg"), le64(900, size));
    TqdAbstractDatabase* database = nullptr;
    ASSERT_EQ(Open(session, PathOf(fTemp.Path()), database), 0u);
    uintmax_t fileSize = 0;
    const uint64_t value = readConfig(fTemp.Path(), &fileSize);
    EXPECT_EQ(fileSize, 8u);
    EXPECT_LT(value, 900u);
    TqdAbstractServerObject::Free(database);
    ASSERT_EQ(fEngine->seCloseInactiveFolders(), 0u);
    ASSERT_EQ(fEngine->FolderCount(), 0);
  }
}

TEST_F(FolderTest, TheNextLSNNeverGoesBackwards) {
  Start();
  TqdBufferManager* cache = fEngine->BufferManager();
  cache->SetNextLSN(7);
  writeBytes(fTemp.File("qdTrans.cfg"), le64(500));
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(Open(session, PathOf(fTemp.Path()), database), 0u);
  // Both are raised before the open returns: a crash now loses nothing.
  EXPECT_GE(readConfig(fTemp.Path()), 500u);
  EXPECT_GE(cache->CurrentLSN() + 1, 500u);
  TqdAbstractServerObject::Free(database);
  ASSERT_EQ(fEngine->seCloseInactiveFolders(), 0u);

  // A table file written after the config (a crash before the folder
  // closed) raises the number above its block-0 LSN.
  std::vector<uint8_t> table(16, 0);
  const std::vector<uint8_t> lsn = le64(1234);
  std::copy(lsn.begin(), lsn.end(), table.begin() + 8);
  writeBytes(fTemp.File("Quest.QD1"), table);
  writeBytes(fTemp.File("qdTrans.cfg"), le64(600));
  ASSERT_EQ(Open(session, PathOf(fTemp.Path()), database), 0u);
  EXPECT_EQ(readConfig(fTemp.Path()), 1235u);
  EXPECT_GE(cache->CurrentLSN() + 1, 1235u);
}

TEST_F(FolderTest, ALockedConfigMakesTheFolderReadOnly) {
  // Another process holding the folder: its lock on "qdTrans.cfg".
  writeBytes(fTemp.File("qdTrans.cfg"), le64(42));
  const int other = ::open(fTemp.File("qdTrans.cfg").c_str(), O_RDWR);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  Start();
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(Open(session, PathOf(fTemp.Path()), database, omReadWrite, smShared), 0u);
  auto* server = static_cast<TqdServerDatabase*>(database);
  EXPECT_TRUE(server->Folder()->ReadOnly());
  EXPECT_EQ(server->OpenMode(), omReadOnly);
  EXPECT_EQ(server->Folder()->TransManager()->stmCreateJournal(7), nullptr);
  EXPECT_GE(fEngine->BufferManager()->CurrentLSN() + 1, 42u);
  TqdAbstractServerObject::Free(database);
  ASSERT_EQ(fEngine->seCloseInactiveFolders(), 0u);
  EXPECT_EQ(readConfig(fTemp.Path()), 42u);  // a read-only folder writes nothing
  ::close(other);
}

TEST_F(FolderTest, JournalsAreNamedInTheFolder) {
  Start();
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(Open(session, PathOf(fTemp.Path()), database), 0u);
  auto* server = static_cast<TqdServerDatabase*>(database);
  std::unique_ptr<TqdBaseJournalEngine> journal = server->Folder()->TransManager()->CreateJournal(7);
  ASSERT_NE(journal, nullptr);
  EXPECT_EQ(journal->FileName(), server->Folder()->Path() + u"7.n$2");
  EXPECT_EQ(journal->ClassType(), qdPersistentJournalEngineClass());
  EXPECT_TRUE(server->Folder()->JournalChecked());
}

// --- Inactivity and cleanup ---------------------------------------------------------------

TEST_F(FolderTest, CleanupFreesTheOldestBeyondSixteenAndIdleOnesAfterSixteenHours) {
  ScopedClock clock;
  Start();
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* kept = nullptr;
  ASSERT_EQ(Open(session, u"#kept", kept), 0u);
  for (int i = 0; i < 17; ++i) {
    TqdAbstractDatabase* database = nullptr;
    ASSERT_EQ(Open(session, u"#m" + qdIntToStr(i), database), 0u);
    TqdAbstractServerObject::Free(database);
    ScopedClock::Advance(1000);
  }
  EXPECT_EQ(fEngine->InactiveFoldersCount(), 17);
  fEngine->seCleanupTimer();
  EXPECT_EQ(fEngine->InactiveFoldersCount(), 16);
  EXPECT_EQ(fEngine->FolderCount(), 17);
  {
    TqdPadlockGuard guard(fEngine->FoldersPadlock());
    EXPECT_EQ(fEngine->FindFolder(u"#m0"), nullptr);  // the oldest went
    EXPECT_NE(fEngine->FindFolder(u"#m1"), nullptr);
  }
  ScopedClock::Advance(16ull * 3600 * 1000 - 20'000);
  fEngine->seCleanupTimer();
  EXPECT_EQ(fEngine->InactiveFoldersCount(), 16);
  ScopedClock::Advance(30'000);
  fEngine->seCleanupTimer();
  EXPECT_EQ(fEngine->InactiveFoldersCount(), 0);
  // Never a folder a database uses.
  EXPECT_EQ(fEngine->FolderCount(), 1);
  qdString path;
  EXPECT_EQ(kept->GetPath(path), 0u);
  EXPECT_EQ(path, u"#kept");
}

TEST_F(FolderTest, CloseAllWhenInactiveFreesIdleFoldersWithTheLastSession) {
  fEngine->SetOptions({seoCloseAllWhenInactive});
  Start();
  TqdServerSession* session = OpenSession();
  TqdAbstractDatabase* database = nullptr;
  ASSERT_EQ(Open(session, PathOf(fTemp.Path()), database), 0u);
  ASSERT_EQ(Open(session, u"#mem", database), 0u);
  EXPECT_EQ(fEngine->FolderCount(), 2);
  TqdAbstractServerObject::Free(session);
  EXPECT_EQ(fEngine->FolderCount(), 0);
}

TEST_F(FolderTest, ClosingInactiveTablesGivesUpOnAHeldFolderList) {
  Start();
  TqdServerSession* session = OpenSession();
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    TqdPadlockGuard guard(fEngine->FoldersPadlock());
    held = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!held) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session->CloseInactiveTables(), qdeRecLocked);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20 * 50));
  release = true;
  holder.join();
  EXPECT_EQ(session->CloseInactiveTables(), 0u);
}

TEST_F(FolderTest, StopFreesSessionsThenFoldersSavingTheirConfig) {
  std::filesystem::create_directories(fTemp.Path() / "a");
  std::filesystem::create_directories(fTemp.Path() / "b");
  LinkSqlEngine();
  Start();
  for (const char* name : {"a", "b"}) {
    TqdServerSession* session = OpenSession();
    TqdAbstractDatabase* database = nullptr;
    ASSERT_EQ(Open(session, PathOf(fTemp.Path() / name), database), 0u);
  }
  fEngine->BufferManager()->SetNextLSN(99);
  fEngine->SetActive(false);
  EXPECT_EQ(fEngine->SessionCount(), 0);
  EXPECT_EQ(fEngine->FolderCount(), 0);
  EXPECT_EQ(fSqlEngine->Shutdowns, 1);
  EXPECT_EQ(readConfig(fTemp.Path() / "a"), 100u);
  EXPECT_EQ(readConfig(fTemp.Path() / "b"), 100u);
}

}  // namespace
}  // namespace qd::test
