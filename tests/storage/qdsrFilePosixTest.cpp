// The table file on the operating system: growth and write order of a
// flush, errors, sharing locks, create-then-rename, identity, temporary
// files and the file-name routines.
#include "storage/qdsrFilePosix.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "storage/qdsrFileHandling.h"
#include "tests/storage/qdsrTestOwner.h"
#include "tests/support/qdTestFolder.h"

namespace qd::test {
namespace {

// Allocates blocks through the header until block aLast exists, in one
// transaction that is then committed.
void AllocateThrough(TqdTestTable& aTable, TqdBlockNumber aLast) {
  TqdTestTransaction trans(aTable.Cache());
  auto header = aTable.Access().HeaderAccess(&trans, true);
  while (header->UsedBlocks() <= aLast) {
    TqdBlockRef block = header->GetNewBlock(&trans, 1);
    std::memset(block.WritableData() + kBlockCommonHeaderSize, 0x5A, 64);
  }
  header.reset();
  trans.Commit();
}

std::vector<int64_t> WriteOffsets(TqdFaultFileSystem& aFs) {
  std::vector<int64_t> offsets;
  for (const auto& record : aFs.Records())
    if (record.frOp == foWrite) offsets.push_back(record.frOffset);
  return offsets;
}

// --- Growth and write order -------------------------------------------------------------------

struct GrowthCase {
  uint32_t initial;
  uint32_t grow;
  TqdBlockNumber highestNew;  // blocks 1..highestNew are new in the first flush
  int64_t expectedBlocks;
};

class FileGrowthTest : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(FileGrowthTest, FirstFlushGrowsTheFileAsTheGrowthRulesSay) {
  TqdFaultFixture fixture;
  TqdBufferManager cache(u"/tmp");
  const GrowthCase& c = GetParam();
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/grow.qd1", &cache));
  file->fiInitialSize = c.initial;
  file->fiGrowSize = c.grow;
  file->OpenFile(omReadWrite, smExclusive, false, true);
  {
    TqdTestTransaction trans(&cache);
    ASSERT_EQ(file->AddHeader(&trans, {}, qdSignature("QD!2")), 0u);
    TqdBlockAccess access(file, nullptr, u"grow", 0);
    auto header = access.HeaderAccess(&trans, true);
    while (header->UsedBlocks() <= c.highestNew) (void)header->GetNewBlock(&trans, 1);
    header.reset();
    trans.Commit();
  }
  EXPECT_EQ(file->FileSize(), c.expectedBlocks * 4096);
  EXPECT_EQ(int64_t(fixture.Fs().ReadAll("/db/grow.qd1").size()), c.expectedBlocks * 4096);
  cache.RemoveFile(file);
  file->CloseFile();
  delete file;
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileGrowthTest,
                         ::testing::Values(GrowthCase{1, 1, 2, 4},        // blocks 0-2: 4 blocks
                                           GrowthCase{1, 8, 2, 8},        // grow step 8
                                           GrowthCase{1, 1, 100, 110},    // needed 100: step 10
                                           GrowthCase{100, 1, 100, 101},  // initial size covers it
                                           GrowthCase{1, 1, 9, 10}),
                         [](const ::testing::TestParamInfo<GrowthCase>& aInfo) {
                           return "Initial" + std::to_string(aInfo.param.initial) + "Grow" +
                                  std::to_string(aInfo.param.grow) + "Through" + std::to_string(aInfo.param.highestNew);
                         });

TEST(FileWriteOrderTest, NewBlocksFirstThenExistingThenOneAndTwoThenHeaderLast) {
  TqdFaultFixture fixture;
  TqdBufferManager cache(u"/tmp");
  auto table = TqdTestTable::Create(&cache, "/db/order.qd1");
  AllocateThrough(*table, 8);  // the file holds blocks 0..9 or more now
  const int64_t blocksBefore = table->File()->FileSize() / 4096;
  fixture.Fs().ClearRecords();

  TqdTestTransaction trans(&cache);
  for (TqdBlockNumber number : {6u, 2u, 4u, 1u}) {
    TqdBlockRef block = table->Access().GetBlock(&trans, number, 0, true);
    block.WritableData()[100] = uint8_t(number);
  }
  {
    auto header = table->Access().HeaderAccess(&trans, true);
    while (header->UsedBlocks() < TqdBlockNumber(blocksBefore + 2)) (void)header->GetNewBlock(&trans, 1);
  }
  // Nothing reaches the file before the flush.
  TqdFlushList list;
  cache.CommitTransaction(&trans, &list, false);
  EXPECT_TRUE(WriteOffsets(fixture.Fs()).empty());
  list.Flush(false);
  delete trans.TransLevel();

  std::vector<int64_t> expected;
  expected.push_back(blocksBefore * 4096);
  expected.push_back((blocksBefore + 1) * 4096);
  expected.push_back(4 * 4096);
  expected.push_back(6 * 4096);
  expected.push_back(1 * 4096);
  expected.push_back(2 * 4096);
  expected.push_back(0);  // block 0 queued twice (changed, then stamped) is written once, last
  EXPECT_EQ(WriteOffsets(fixture.Fs()), expected);
}

TEST(FileWriteOrderTest, QueuedBlockBelowTheEndDoesNotGrowTheFile) {
  TqdFaultFixture fixture;
  TqdBufferManager cache(u"/tmp");
  auto table = TqdTestTable::Create(&cache, "/db/nogrow.qd1", {.toInitialSize = 20});
  AllocateThrough(*table, 5);
  const int64_t size = table->File()->FileSize();
  ASSERT_EQ(size, 21 * 4096);
  TqdTestTransaction trans(&cache);
  table->Access().GetBlock(&trans, 5, 0, true).WritableData()[200] = 1;
  trans.Commit();
  EXPECT_EQ(table->File()->FileSize(), size);
  EXPECT_EQ(fixture.Fs().Count(foTruncate), 1);  // the creation's flush only
}

// --- Errors -----------------------------------------------------------------------------------

class PosixFileErrorTest : public ::testing::Test {
 protected:
  void SetUp() override { fName = Utf8ToString(fFolder.File("t.qd1").string()); }
  std::unique_ptr<TqdPosixFile> NewFile() {
    return std::unique_ptr<TqdPosixFile>(static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, fName, nullptr)));
  }
  void WriteBytes(size_t aCount) {
    std::ofstream out(fFolder.File("t.qd1"), std::ios::binary);
    out << std::string(aCount, 'x');
  }
  TempFolder fFolder;
  qdString fName;
};

TEST_F(PosixFileErrorTest, ExactReadPastTheEndIs9217) {
  WriteBytes(100);
  auto file = NewFile();
  file->OpenFile(omReadOnly, smShared, false, false);
  uint8_t buffer[200];
  EXPECT_EQ(CodeOf([&] { file->ReadFileExactAt(0, 200, buffer); }), qdeReadErr);
  EXPECT_NE(MessageOf([&] {
              file->ReadFileExactAt(0, 200, buffer);
            }).find("INTERNAL: Could not read exact number of bytes from file ["),
            std::string::npos);
  EXPECT_EQ(file->ReadFileAt(50, 200, buffer), 50u);
  file->CloseFile();
}

TEST_F(PosixFileErrorTest, OperationsOnAClosedFileAre15360) {
  WriteBytes(100);
  auto file = NewFile();
  uint8_t buffer[10];
  EXPECT_EQ(CodeOf([&] { file->ReadFileExactAt(0, 10, buffer); }), qdeBadFileData);
  EXPECT_EQ(CodeOf([&] { (void)file->FileSize(); }), qdeBadFileData);
  EXPECT_EQ(CodeOf([&] { file->WriteFileExactAt(0, 10, buffer); }), qdeBadFileData);
  EXPECT_EQ(CodeOf([&] { file->CloseFile(); }), qdeBadFileData);
  file->OpenFile(omReadOnly, smShared, false, false);
  EXPECT_EQ(CodeOf([&] { file->OpenFile(omReadOnly, smShared, false, false); }), qdeBadFileData);
  file->CloseFile();
}

TEST_F(PosixFileErrorTest, OpeningAMissingFileIs9221AndLaterOperationsRepeatIt) {
  auto file = NewFile();
  EXPECT_EQ(CodeOf([&] { file->OpenFile(omReadWrite, smExclusive, false, false); }), qdeFileNoAccess);
  EXPECT_EQ(file->dfiOpenError, ENOENT);
  EXPECT_NE(MessageOf([&] { (void)file->FileSize(); }).find("INTERNAL: File could not be opened ["), std::string::npos);
  file->CloseFile();  // only clears the recorded error
  EXPECT_EQ(CodeOf([&] { (void)file->FileSize(); }), qdeBadFileData);
}

TEST_F(PosixFileErrorTest, ASecondExclusiveOpenFailsInThisProcess) {
  WriteBytes(4096);
  auto first = NewFile();
  first->OpenFile(omReadWrite, smExclusive, false, false);
  auto second = NewFile();
  EXPECT_EQ(CodeOf([&] { second->OpenFile(omReadWrite, smExclusive, false, false); }), qdeFileNoAccess);
  EXPECT_EQ(CodeOf([&] { second->OpenFile(omReadOnly, smShared, false, false); }), qdeFileNoAccess);
  first->CloseFile();
  second->OpenFile(omReadWrite, smExclusive, false, false);
  second->CloseFile();
}

TEST_F(PosixFileErrorTest, SharedOpensCoexistButExcludeAnExclusiveOne) {
  WriteBytes(4096);
  auto first = NewFile();
  auto second = NewFile();
  auto third = NewFile();
  first->OpenFile(omReadOnly, smShared, false, false);
  second->OpenFile(omReadOnly, smShareRead, false, false);
  EXPECT_EQ(CodeOf([&] { third->OpenFile(omReadWrite, smExclusive, false, false); }), qdeFileNoAccess);
  first->CloseFile();
  second->CloseFile();
}

TEST_F(PosixFileErrorTest, AnExclusiveOpenFailsWhileAnotherProcessHoldsTheFile) {
  WriteBytes(4096);
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const std::string path = fFolder.File("t.qd1").string();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only system calls here: the child holds the file as a second process.
    const int fd = ::open(path.c_str(), O_RDWR);
    const char ok = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
    (void)!::write(ready[1], &ok, 1);
    char dummy;
    (void)!::read(release[0], &dummy, 1);
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  auto file = NewFile();
  EXPECT_EQ(CodeOf([&] { file->OpenFile(omReadWrite, smExclusive, false, false); }), qdeFileNoAccess);
  EXPECT_EQ(file->dfiOpenError, EWOULDBLOCK);
  file->CloseFile();
  (void)!::write(release[1], "x", 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  file->OpenFile(omReadWrite, smExclusive, false, false);
  file->CloseFile();
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

TEST_F(PosixFileErrorTest, AReadOnlyFileOpenedForWritingIsOpenedReadOnly) {
  WriteBytes(4096);
  std::filesystem::permissions(fFolder.File("t.qd1"), std::filesystem::perms::owner_read);
  auto file = NewFile();
  file->OpenFile(omReadWrite, smExclusive, false, false);
  EXPECT_EQ(file->fiOpenMode, omReadOnly);
  uint8_t buffer[16] = {};
  EXPECT_EQ(CodeOf([&] { file->WriteFileExactAt(0, 16, buffer); }), qdeWriteErr);
  file->CloseFile();
}

TEST_F(PosixFileErrorTest, AReadOnlyTableIsReportedReadOnlyByTheCache) {
  TqdBufferManager cache(u"/tmp");
  TqdTestTable::Create(&cache, StringToUtf8(fName)).reset();
  std::filesystem::permissions(fFolder.File("t.qd1"), std::filesystem::perms::owner_read);
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, fName, &cache));
  file->OpenFile(omReadWrite, smExclusive, false, false);
  TqdBlockRef header;
  bool readOnly = false;
  ASSERT_EQ(cache.AddFile(file, nullptr, {}, false, header, readOnly), 0u);
  EXPECT_TRUE(readOnly);
  header.Release();
  cache.RemoveFile(file);
  file->CloseFile();
  delete file;
}

// --- Create, then rename ----------------------------------------------------------------------

TEST(FileCreateTest, ANewTableAppearsUnderItsNameOnlyWhenCommitted) {
  TqdFaultFixture fixture;
  TqdBufferManager cache(u"/tmp");
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/new.qd1", &cache));
  file->OpenFile(omReadWrite, smExclusive, false, true);
  EXPECT_FALSE(fixture.Fs().Exists("/db/new.qd1"));
  EXPECT_TRUE(file->PublishPending());
  TqdTestTransaction trans(&cache);
  ASSERT_EQ(file->AddHeader(&trans, {}, qdSignature("QD!2")), 0u);
  EXPECT_FALSE(fixture.Fs().Exists("/db/new.qd1"));
  trans.Commit();
  EXPECT_TRUE(fixture.Fs().Exists("/db/new.qd1"));
  EXPECT_EQ(fixture.Fs().FileNames(), std::vector<std::string>{"/db/new.qd1"});
  // Data, then the name, then the folder.
  std::vector<TqdFaultOp> tail;
  for (const auto& record : fixture.Fs().Records())
    if (record.frOp == foSync || record.frOp == foRename || record.frOp == foFolderSync) tail.push_back(record.frOp);
  EXPECT_EQ(tail, (std::vector<TqdFaultOp>{foSync, foRename, foFolderSync}));
  cache.RemoveFile(file);
  file->CloseFile();
  delete file;
}

TEST(FileCreateTest, ACrashBeforeTheCommitLeavesNoFileAndAfterItAWholeOne) {
  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit);
    TqdFaultFixture fixture;
    {
      TqdBufferManager cache(u"/tmp");
      auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/crash.qd1", &cache));
      file->OpenFile(omReadWrite, smExclusive, false, true);
      TqdTestTransaction trans(&cache);
      ASSERT_EQ(file->AddHeader(&trans, {}, qdSignature("QD!2")), 0u);
      if (commit)
        trans.Commit();
      else
        trans.Rollback();
      fixture.Fs().PowerLoss();
      cache.RemoveFile(file);
      delete file;  // the process is gone; nothing is closed
    }
    EXPECT_EQ(fixture.Fs().Exists("/db/crash.qd1"), commit);
    EXPECT_EQ(fixture.Fs().FileNames().size(), commit ? 1u : 0u);
    if (commit) {
      TqdBufferManager cache(u"/tmp");
      auto table = TqdTestTable::Open(&cache, "/db/crash.qd1");
      EXPECT_EQ(table->File()->fiUsedBlocks, 1u);
    }
  }
}

TEST(FileCreateTest, CreatingOverAnExistingTableNeedsOverwriteAndKeepsTheOldOneUntilCommit) {
  TqdFaultFixture fixture;
  TqdBufferManager cache(u"/tmp");
  {
    auto old = TqdTestTable::Create(&cache, "/db/t.qd1");
    AllocateThrough(*old, 3);
  }
  const std::vector<uint8_t> before = fixture.Fs().ReadAll("/db/t.qd1");
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/t.qd1", &cache));
  EXPECT_EQ(CodeOf([&] { file->OpenFile(omReadWrite, smExclusive, false, true); }), qdeFileNoAccess);
  EXPECT_EQ(file->dfiOpenError, EEXIST);
  file->CloseFile();
  file->OpenFile(omReadWrite, smExclusive, false, true, true);
  TqdTestTransaction trans(&cache);
  ASSERT_EQ(file->AddHeader(&trans, {}, qdSignature("QD!2")), 0u);
  EXPECT_EQ(fixture.Fs().ReadAll("/db/t.qd1"), before);
  trans.Commit();
  EXPECT_NE(fixture.Fs().ReadAll("/db/t.qd1"), before);
  EXPECT_EQ(file->fiUsedBlocks, 1u);
  cache.RemoveFile(file);
  file->CloseFile();
  delete file;
}

TEST(FileCreateTest, ClosingANeverCommittedFileRemovesItsTemporaryName) {
  TqdFaultFixture fixture;
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/gone.qd1", nullptr));
  file->OpenFile(omReadWrite, smExclusive, false, true);
  EXPECT_EQ(fixture.Fs().FileNames().size(), 1u);
  file->CloseFile();
  EXPECT_TRUE(fixture.Fs().FileNames().empty());
  delete file;
}

TEST(FileCreateTest, AFailedDataSyncIsStickyUntilTheFileIsReopened) {
  TqdFaultFixture fixture;
  TqdBufferManager cache(u"/tmp");
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/sync.qd1", &cache));
  file->OpenFile(omReadWrite, smExclusive, false, true);
  TqdTestTransaction trans(&cache);
  ASSERT_EQ(file->AddHeader(&trans, {}, qdSignature("QD!2")), 0u);
  fixture.Fs().FailNth(foSync, 1, EIO);
  TqdFlushList list;
  cache.CommitTransaction(&trans, &list, false);
  delete trans.TransLevel();
  EXPECT_EQ(CodeOf([&] { list.Flush(false); }), qdeWriteErr);
  EXPECT_FALSE(fixture.Fs().Exists("/db/sync.qd1"));
  // The fault is gone, but a later sync could not prove the lost pages.
  EXPECT_EQ(CodeOf([&] { file->FlushFile(true, nullptr); }), qdeWriteErr);
  uint8_t buffer[16] = {};
  EXPECT_EQ(CodeOf([&] { file->WriteFileExactAt(0, 16, buffer); }), qdeWriteErr);
  cache.RemoveFile(file);
  file->CloseFile();
  delete file;
}

// --- Identity, temporary files, names ---------------------------------------------------------

TEST(FileIdentityTest, StableAcrossReopenAndDifferentForAReplacingCopy) {
  TempFolder folder;
  const std::string path = folder.File("id.qd1").string();
  TqdBufferManager cache(u"/tmp");
  TqdTestTable::Create(&cache, path).reset();
  auto idOf = [&] {
    auto table = TqdTestTable::Open(&cache, path);
    return table->File()->GetFileID();
  };
  const qdString first = idOf();
  EXPECT_EQ(first.rfind(Utf8ToString(std::filesystem::canonical(path).string()), 0), 0u);
  EXPECT_NE(first.find(u';'), qdString::npos);
  EXPECT_EQ(idOf(), first);
  std::filesystem::copy_file(path, path + ".copy");
  std::filesystem::rename(path + ".copy", path);
  EXPECT_NE(idOf(), first);
}

TEST(TemporaryFileTest, NeverTouchesTheDiskAndCountsWholeBlocks) {
  TqdFaultFixture fixture;
  TqdBufferManager cache(u"/tmp");
  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/temp", &cache));
  file->fiAttributes.Include(qdfaTemporary);
  file->fiBlockSize = qdbs8k;
  file->OpenFile(omReadWrite, smExclusive, false, true);
  EXPECT_EQ(file->FileName(), u"(memory)");
  const qdString id = file->GetFileID();
  EXPECT_EQ(id.size(), 8u);
  EXPECT_EQ(id.find_first_not_of(u"0123456789ABCDEF"), qdString::npos);
  TqdBlockRef header;
  bool readOnly = false;
  ASSERT_EQ(cache.AddFile(file, nullptr, {}, false, header, readOnly), 0u);
  header.Release();
  {
    TqdTestTransaction trans(&cache);
    ASSERT_EQ(file->AddHeader(&trans, {}, qdSignature("QD!2")), 0u);
    TqdBlockAccess access(file, nullptr, u"temp", 0);
    auto headerAccess = access.HeaderAccess(&trans, true);
    for (int i = 0; i < 3; ++i) (void)headerAccess->GetNewBlock(&trans, 1);
    headerAccess.reset();
    trans.Commit();
  }
  EXPECT_EQ(file->PhysicalBlockCount(), 4u);
  EXPECT_EQ(file->FileSize(), 4 * 8192);
  cache.RemoveFile(file);
  file->CloseFile();
  delete file;
  EXPECT_TRUE(fixture.Fs().Records().empty());
}

TEST(FileNameTest, JoinPathAndExtension) {
  struct {
    const char16_t* folder;
    const char16_t* name;
    const char16_t* joined;
  } cases[] = {{u"", u"a.qd1", u"a.qd1"}, {u"/db/", u"a.qd1", u"/db/a.qd1"}, {u"/db", u"a.qd1", u"/db/a.qd1"}};
  for (const auto& c : cases) EXPECT_EQ(qdJoinPath(c.folder, c.name), c.joined);
  EXPECT_EQ(qdJoinFileExt(u"3", u"n$2"), u"3.n$2");
}

TEST(FileNameTest, RelativeNamesExpandAgainstTheFilesFolder) {
  TqdFaultFixture fixture;
  std::unique_ptr<TqdBaseFile> file(TqdBaseFile::Alloc(true, u"/db/t.qd1", nullptr));
  EXPECT_EQ(file->fiPath, u"/db/");
  EXPECT_EQ(file->FileName(), u"/db/t.qd1");
  struct {
    const char16_t* given;
    const char16_t* expanded;
  } cases[] = {{u"x.qd1", u"/db/x.qd1"}, {u"  sub/x.qd1\t", u"/db/sub/x.qd1"}, {u"/other/x.qd1", u"/other/x.qd1"}};
  for (const auto& c : cases) EXPECT_EQ(file->ExpandRelativeFileName(c.given), c.expanded);
}

TEST(FileManagementTest, RenameNeverReplacesAndDeleteIsDurable) {
  TqdFaultFixture fixture;
  fixture.Fs().WriteAll("/db/a", {1});
  fixture.Fs().WriteAll("/db/b", {2});
  EXPECT_EQ(CodeOf([] { qdRenameFile(u"/db/a", u"/db/b"); }), qdeRenameFailed);
  EXPECT_EQ(fixture.Fs().ReadAll("/db/b"), std::vector<uint8_t>{2});
  qdRenameFile(u"/db/a", u"/db/c");
  qdDeleteFile(u"/db/b");
  EXPECT_EQ(CodeOf([] { qdDeleteFile(u"/db/b"); }), qdeDeleteFailed);
  fixture.Fs().PowerLoss();
  EXPECT_EQ(fixture.Fs().FileNames(), std::vector<std::string>{"/db/c"});
}

TEST(FileSizeLimitTest, LimitsByFileSystemAndTheBlockCountNeverReachesNone) {
  struct {
    uint64_t magic;
    int64_t limit;
  } cases[] = {
      {0xEF53, (int64_t(1) << 44) - 4096}, {0x4d44, 0xFFFFFFFE}, {0x9660, 0}, {0x01021994, INT64_MAX}, {0x12345678, 0}};
  for (const auto& c : cases) EXPECT_EQ(qdMaxFileSizeForFileSystemType(c.magic), c.limit) << std::hex << c.magic;

  struct {
    int64_t maxFileSize;
    uint32_t maxBlocks;
  } limits[] = {{0, kMaxBlockCount}, {0xFFFFFFFE, 1048575}, {INT64_MAX, kMaxBlockCount}, {4096 * 8, 8}};
  for (const auto& l : limits) {
    TqdFaultFixture fixture;
    fixture.Fs().SetMaxFileSize(l.maxFileSize);
    TqdBufferManager cache(u"/tmp");
    auto table = TqdTestTable::Create(&cache, "/db/limit.qd1", {.toInitialSize = 0});
    EXPECT_EQ(table->File()->fiMaxBlocks, l.maxBlocks) << l.maxFileSize;
  }
}

}  // namespace
}  // namespace qd::test
