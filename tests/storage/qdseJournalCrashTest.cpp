// Crash recovery: a commit is cut off after each of its writes and syncs in
// turn, the machine loses everything that was not synced - or, in the
// garbling mode, every unsynced sector keeps its old bytes, takes the new
// ones or turns to garbage - and a fresh process checks the folder. Every
// block must then be what it was before the commit, or - for an
// acknowledged commit, and for a roll-forward journal once its complete
// flag was durable - what the commit made it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/qdLittleEndian.h"
#include "storage/qdseJournalEngine.h"
#include "storage/qdsrEncryptionEngineBase.h"
#include "tests/storage/qdsrTestServer.h"

namespace qd::test {
namespace {

enum TqdCrashCommit : uint8_t { ccAddsBlocks, ccChangesBlockZero };

struct TqdCrashCase {
  int ccKind;
  TqdCrashCommit ccCommit;
  TqdBlockSize ccBlockSize;
  TqdFaultPowerLossMode ccPowerLoss;
  bool ccEncrypted = false;
};

const qdString kPassword = u"crash password";

std::string caseName(const ::testing::TestParamInfo<TqdCrashCase>& aInfo) {
  return "Kind" + std::to_string(aInfo.param.ccKind) +
         (aInfo.param.ccCommit == ccAddsBlocks ? "AddsBlocks" : "ChangesBlockZero") +
         std::to_string(qdBlockSizeAllBytes(aInfo.param.ccBlockSize) / 1024) + "k" +
         (aInfo.param.ccPowerLoss == pmGarble ? "Garbled" : "") + (aInfo.param.ccEncrypted ? "Encrypted" : "");
}

const char* const kTables[] = {"/db/a.qd1", "/db/b.qd1"};

TqdTestTableOptions Options(const TqdCrashCase& aCase) {
  TqdTestTableOptions options;
  if (aCase.ccEncrypted) {
    options.toEncryptionEngine = u"qd1xDefault";
    options.toPasswords = {kPassword};
  }
  return options;
}

// One machine: the in-memory file system with two committed tables, and a
// process working on them.
class TqdCrashMachine {
 public:
  explicit TqdCrashMachine(const TqdCrashCase& aCase) : fCase(aCase) {
    fPreviousClass = qdJournalEngineClass.exchange(qdJournalEngineClassOfKind(aCase.ccKind));
    StartProcess();
    TqdTestTableOptions options = Options(aCase);
    options.toBlockSize = aCase.ccBlockSize;
    for (const char* path : kTables) fTables.push_back(TqdTestTable::Create(fCache.get(), path, options));
    for (size_t i = 0; i < fTables.size(); ++i) {
      TqdTestServerTransaction trans(fMgr.get());
      AddBlocks(*fTables[i], &trans, 6, uint8_t(0x10 + i));
      trans.Commit();
    }
  }
  ~TqdCrashMachine() {
    EndProcess();
    qdJournalEngineClass.store(fPreviousClass);
  }

  TqdFaultFileSystem& Fs() { return fFixture.Fs(); }

  // The commit under test; true when it returned (was acknowledged).
  bool RunCommit() {
    TqdTestServerTransaction trans(fMgr.get());
    TqdTestTable& a = *fTables[0];
    TqdTestTable& b = *fTables[1];
    if (fCase.ccCommit == ccAddsBlocks) {
      AddBlocks(a, &trans, 3, 0x33);
      SetBlockByte(a, &trans, 2, 0xA2);
      SetBlockByte(b, &trans, 4, 0xB4);
    } else {
      {
        auto header = a.Access().HeaderAccess(&trans, true);
        const uint16_t offset = header->RegisterHeaderSection("Crash", 40, true, false);
        std::memset(header->WritableHeader() + offset, 0xC0, 40);
        TqdBlockRef freed = a.Access().GetBlock(&trans, 5, kTestOwner, true);
        header->DeleteBlock(&trans, freed);
      }
      SetBlockByte(a, &trans, 1, 0xA1);
      SetBlockByte(b, &trans, 3, 0xB3);
    }
    try {
      trans.Commit();
      return true;
    } catch (const EqdBaseException&) {
      if (!trans.Finished()) trans.Rollback();
      return false;
    }
  }

  // The process dies: its objects go without any further file access that
  // could matter (the old handles answer EIO after a power loss).
  void EndProcess() {
    fTables.clear();
    fMgr.reset();
    fCache.reset();
  }
  void StartProcess() {
    fCache = std::make_unique<TqdBufferManager>(u"/tmp");
    fMgr = std::make_unique<TqdTestTransactionMgr>(fCache.get(), "/db");
  }
  TqdTestTransactionMgr& Mgr() { return *fMgr; }
  TqdBufferManager& Cache() { return *fCache; }

 private:
  TqdCrashCase fCase;
  const TqdJournalEngineClass* fPreviousClass = nullptr;
  TqdFaultFixture fFixture;
  std::unique_ptr<TqdBufferManager> fCache;
  std::unique_ptr<TqdTestTransactionMgr> fMgr;
  std::vector<std::unique_ptr<TqdTestTable>> fTables;
};

using TqdImages = std::vector<std::vector<uint8_t>>;

// An encrypted table's image in a form two machines can compare: every
// write draws a new vector, and every machine a new salt and data key. So
// block 0 loses its encryption area, every other block is decoded with the
// key of the image's own block 0 and loses its trailer, and a block that
// does not decode becomes 0xEE bytes.
std::vector<uint8_t> decodedImage(std::vector<uint8_t> aImage, uint32_t aBlockSize) {
  if (aImage.size() < aBlockSize) return aImage;
  const uint32_t usable = qdGetU32(aImage.data() + 20);
  const uint32_t reserved = qdGetU16(aImage.data() + 17);
  if (reserved == 0 || reserved + 1 > usable || usable > aBlockSize) return aImage;
  uint8_t* area = aImage.data() + usable - reserved - 1;
  TqdBaseEncryptionEngine* created = nullptr;
  const TqdResult result =
      TqdBaseEncryptionEngine::CreateEngine(u"qd1xDefault", {kPassword}, area, false, false, created);
  std::unique_ptr<TqdBaseEncryptionEngine> engine(created);
  std::memset(area, 0, reserved);
  if (result != 0) return aImage;
  for (size_t offset = aBlockSize; offset + aBlockSize <= aImage.size(); offset += aBlockSize) {
    uint8_t* block = aImage.data() + offset;
    std::vector<uint8_t> cookie;
    if (CodeOf([&] { engine->DecodeBlockEx(block, aBlockSize, uint32_t(offset / aBlockSize), cookie); }) != 0)
      std::memset(block, 0xEE, aBlockSize);
    else
      std::memset(block + aBlockSize - 16, 0, 16);
  }
  return aImage;
}

TqdImages tableImages(TqdFaultFileSystem& aFs, const TqdCrashCase& aCase) {
  TqdImages images;
  for (const char* path : kTables) {
    std::vector<uint8_t> image = aFs.ReadAll(path);
    images.push_back(aCase.ccEncrypted ? decodedImage(std::move(image), qdBlockSizeAllBytes(aCase.ccBlockSize))
                                       : std::move(image));
  }
  return images;
}

bool isChange(TqdFaultOp aOp, int64_t aLength) {
  return aOp == foWrite || aOp == foTruncate || aOp == foSync || aOp == foFolderSync || aOp == foRename ||
         aOp == foDelete || (aOp == foOpen && aLength != 0);
}

// True when the journal's complete flag was written and then synced.
bool flagDurable(const std::vector<TqdFaultRecord>& aRecords) {
  bool written = false;
  for (const TqdFaultRecord& record : aRecords) {
    if (record.frResult != 0 || record.frPath.find(".n$2") == std::string::npos) continue;
    if (record.frOp == foWrite && record.frOffset == 4 && record.frLength == 4) written = true;
    if (record.frOp == foSync && written) return true;
  }
  return false;
}

// The first block of aExpected's used blocks that differs in aActual, -1
// when all agree.
int64_t firstDifference(const std::vector<uint8_t>& aExpected, const std::vector<uint8_t>& aActual,
                        uint32_t aBlockSize) {
  if (aExpected.size() < aBlockSize) return 0;
  const uint32_t used = qdGetU32(aExpected.data() + 32);
  for (uint32_t n = 0; n < used; ++n)
    if (aActual.size() < size_t(n + 1) * aBlockSize ||
        std::memcmp(aExpected.data() + size_t(n) * aBlockSize, aActual.data() + size_t(n) * aBlockSize, aBlockSize) !=
            0)
      return n;
  return -1;
}

// Every table matches aExpected in every used block.
bool allMatch(const TqdImages& aExpected, const TqdImages& aActual, uint32_t aBlockSize) {
  for (size_t t = 0; t < aExpected.size(); ++t)
    if (firstDifference(aExpected[t], aActual[t], aBlockSize) >= 0) return false;
  return true;
}

void expectTables(const TqdImages& aExpected, const TqdImages& aActual, uint32_t aBlockSize) {
  for (size_t t = 0; t < aExpected.size(); ++t)
    EXPECT_EQ(firstDifference(aExpected[t], aActual[t], aBlockSize), -1) << kTables[t] << ": first differing block";
}

// A journal file whose header is not a journal's: only garbling of a
// header that was never synced as complete leaves one.
bool unreadableJournal(TqdFaultFileSystem& aFs, const std::string& aName) {
  const std::vector<uint8_t> bytes = aFs.ReadAll(aName);
  return bytes.size() < 4 || std::memcmp(bytes.data(), "QDJH", 4) != 0;
}

class JournalCrashTest : public ::testing::TestWithParam<TqdCrashCase> {};

TEST_P(JournalCrashTest, EveryBlockIsBeforeOrAfterTheCommitWhereverItWasCutOff) {
  const TqdCrashCase c = GetParam();
  const uint32_t blockSize = qdBlockSizeAllBytes(c.ccBlockSize);
  TqdImages before;
  TqdImages after;
  int changes = 0;
  {
    TqdCrashMachine machine(c);
    before = tableImages(machine.Fs(), c);
    machine.Fs().ClearRecords();
    ASSERT_TRUE(machine.RunCommit());
    for (const TqdFaultRecord& record : machine.Fs().Records()) changes += isChange(record.frOp, record.frLength);
    after = tableImages(machine.Fs(), c);
    ASSERT_NE(before, after);
  }
  ASSERT_GT(changes, 4);
  for (int k = 1; k <= changes; ++k) {
    SCOPED_TRACE("cut off at change " + std::to_string(k) + " of " + std::to_string(changes));
    TqdCrashMachine machine(c);
    machine.Fs().ClearRecords();
    machine.Fs().FailNth(foAnyChange, k, EIO, true);
    const bool acknowledged = machine.RunCommit();
    const bool durableFlag = flagDurable(machine.Fs().Records());
    const bool rolledForward = c.ccKind != 2 && durableFlag;
    machine.Fs().PowerLoss(c.ccPowerLoss, uint32_t(k));
    machine.EndProcess();

    // A fresh process attaches the folder.
    qdFaultClearFatalError();
    qdClearTableUnrecovered(u"/db/");
    machine.Fs().ClearFaults();
    machine.StartProcess();
    const TqdJournalCheckResult result = machine.Mgr().CheckFolder();
    const std::vector<std::string> left = NonEmptyJournalFiles(machine.Fs());
    // A header garbled before it was synced as complete: the commit never
    // wrote a table, and recovery reports the file it cannot read.
    const bool garbledHeader = c.ccPowerLoss == pmGarble && !acknowledged && !durableFlag && left.size() == 1 &&
                               unreadableJournal(machine.Fs(), left[0]) && result.jcrErrorCode == qdeCannotOpenFile;
    if (!garbledHeader) {
      EXPECT_EQ(result.jcrErrorCode, 0u) << (result.jcrMessages.empty() ? "" : StringToUtf8(result.jcrMessages[0]));
      EXPECT_TRUE(left.empty());
    }
    const TqdImages now = tableImages(machine.Fs(), c);
    if (acknowledged || rolledForward) {
      expectTables(after, now, blockSize);
    } else if (c.ccPowerLoss == pmGarble && allMatch(after, now, blockSize)) {
      // A complete flag written but not synced may survive the garbling:
      // its roll-forward journal then puts the whole commit in place.
      EXPECT_NE(c.ccKind, 2);
    } else {
      expectTables(before, now, blockSize);
    }
    for (const char* path : kTables) {
      const TqdTestTableOptions options = Options(c);
      EXPECT_EQ(CodeOf([&] { TqdTestTable::Open(&machine.Cache(), path, options).reset(); }), 0u) << path;
    }
    if (HasFailure()) break;
  }
}

std::vector<TqdCrashCase> crashCases() {
  std::vector<TqdCrashCase> cases;
  for (int kind : {0, 1, 2})
    for (TqdCrashCommit commit : {ccAddsBlocks, ccChangesBlockZero})
      for (TqdBlockSize size : {qdbs4k, qdbs16k})
        for (TqdFaultPowerLossMode mode : {pmDropUnsynced, pmGarble}) cases.push_back({kind, commit, size, mode});
  for (int kind : {0, 1, 2})
    for (TqdCrashCommit commit : {ccAddsBlocks, ccChangesBlockZero})
      for (TqdFaultPowerLossMode mode : {pmDropUnsynced, pmGarble}) cases.push_back({kind, commit, qdbs4k, mode, true});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Commits, JournalCrashTest, ::testing::ValuesIn(crashCases()), caseName);

}  // namespace
}  // namespace qd::test
