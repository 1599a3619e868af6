// The block cache's memory: the budget from MaxRAM and the machine's memory
// status, the temporary storage setting, the statistics rows, and eviction
// of committed images under the budget.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/qdMemoryStatus.h"
#include "storage/qdsrTemporaryStorageBase.h"
#include "tests/storage/qdsrTestServer.h"

namespace qd::test {
namespace {

constexpr uint64_t kMB = 1048576;

TqdMemoryStatus machine;
bool machineStatus(TqdMemoryStatus& aStatus) {
  aStatus = machine;
  return true;
}

// A fixed machine for the scope.
class TqdScopedMachine {
 public:
  TqdScopedMachine(uint64_t aTotalPhysMB, uint64_t aTotalVirtualMB, uint64_t aAvailPhys = 0,
                   uint64_t aAvailVirtual = 0) {
    machine = {aTotalPhysMB * kMB, aAvailPhys, aTotalVirtualMB * kMB, aAvailVirtual};
    fPrevious = qdSetMemoryStatusSource(&machineStatus);
  }
  ~TqdScopedMachine() { qdSetMemoryStatusSource(fPrevious); }

 private:
  TqdMemoryStatusSource fPrevious;
};

TEST(CacheBudgetTest, MaxRAMFollowsTheMachine) {
  struct TqdCase {
    int32_t maxRAM;
    uint64_t physMB;
    uint64_t virtualMB;
    int32_t expectedMaxRAM;
    uint32_t expectedPagesPerClass;
  };
  const TqdCase cases[] = {
      {10, 65536, 134217728, 10, 1280},  // the default
      {5000, 65536, 134217728, 1536, 196608}, {5000, 1024, 134217728, 819, 819 * 128},
      {1000, 65536, 1536, 1000, 512 * 128},  // address space less 1 GB bounds the mapped part
      {1000, 65536, 512, 1000, 16 * 128},    // but never below 16 MB
  };
  for (const TqdCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.maxRAM) + " MB on " + std::to_string(c.physMB) + " MB");
    TqdScopedMachine scoped(c.physMB, c.virtualMB);
    TqdBufferManager cache(u"/tmp");
    cache.SetMaxRAM(c.maxRAM);
    EXPECT_EQ(cache.MaxRAM(), c.expectedMaxRAM);
    EXPECT_EQ(cache.MappedBudgetPages(), 2 * c.expectedPagesPerClass);
  }
}

TEST(CacheBudgetTest, AvailableRAMLeavesTheUnusedBudgetAndAReserve) {
  struct TqdCase {
    uint64_t availPhys;
    uint64_t availVirtual;
    int64_t expected;
  };
  // MaxRAM 10: 10 MB of budget unused in an empty cache.
  const int64_t unused = 10 * int64_t(kMB);
  const TqdCase cases[] = {
      {8192 * kMB, 65536 * kMB, int64_t(8192 * kMB) - unused - 33554432},
      {65536 * kMB, 1024 * kMB, int64_t(1024 * kMB) - unused - 268435456},
      {16 * kMB, 65536 * kMB, 0},
      {0, 0, 0},
  };
  for (const TqdCase& c : cases) {
    TqdScopedMachine scoped(65536, 134217728, c.availPhys, c.availVirtual);
    TqdBufferManager cache(u"/tmp");
    EXPECT_EQ(cache.AvailableRAM(), c.expected);
  }
}

// --- Temporary storage ------------------------------------------------------------------

class TqdTestTempStorage final : public TqdBaseTempStorage {
 public:
  int64_t GetSize() override { return 64 * int64_t(kMB); }
  int64_t GetInUse() override { return 4096; }
  bool HasSpaceFor(TqdBlockSize) override { return true; }
  void ReadBlock(TqdBlockTmpNum, TqdBlockSize, uint8_t*) override {}
  void PeekBlock(TqdBlockTmpNum, TqdBlockSize, uint8_t*) override {}
  void ReleaseBlock(TqdBlockTmpNum, TqdBlockSize) override {}
  TqdBlockTmpNum WriteBlock(const uint8_t*, TqdBlockSize) override { return 0; }
};

bool failCreate = false;
std::unique_ptr<TqdBaseTempStorage> createTestStorage(const qdString&) {
  if (failCreate) throw EqdBaseTempStorageException(qdeWriteErr, u"no room for temporary storage");
  return std::make_unique<TqdTestTempStorage>();
}
void testCaptions(TqdStringList& aList) { TqdBaseTempStorage::GetStatsCaptions(aList); }
void testStatic(TqdStringList& aList) { TqdBaseTempStorage::GetStatsValuesStatic(aList); }
const TqdTempStorageClassInfo kTestStorageClass = {u"TqdTestTempStorage", &createTestStorage, &testCaptions,
                                                   &testStatic};

class TqdScopedStorageClass {
 public:
  TqdScopedStorageClass() : fPrevious(qdTempStorageClass.exchange(&kTestStorageClass)) {}
  ~TqdScopedStorageClass() {
    qdTempStorageClass.store(fPrevious);
    failCreate = false;
  }

 private:
  TqdTempStorageClass fPrevious;
};

bool isNull(TqdBaseTempStorage* aStorage) { return dynamic_cast<TqdNullTempStorage*>(aStorage) != nullptr; }

TEST(CacheTempStorageTest, TheNullStorageRefusesEveryImage) {
  TqdBufferManager cache(u"/tmp");
  TqdBaseTempStorage* storage = cache.TempStorage();
  ASSERT_TRUE(isNull(storage));
  EXPECT_FALSE(storage->HasSpaceFor(qdbs4k));
  EXPECT_EQ(cache.TempStoreSize(), 0);
  uint8_t block[4096] = {};
  EXPECT_EQ(TextOf([&] { (void)storage->WriteBlock(block, qdbs4k); }),
            "WriteBlock is not supported by TqdNullTempStorage");
  EXPECT_EQ(CodeOf([&] { (void)storage->WriteBlock(block, qdbs4k); }), qdeNotSupported);
  EXPECT_EQ(CodeOf([&] { storage->ReadBlock(0, qdbs4k, block); }), qdeNotSupported);
  EXPECT_EQ(CodeOf([&] { storage->PeekBlock(0, qdbs4k, block); }), qdeNotSupported);
  EXPECT_EQ(CodeOf([&] { storage->ReleaseBlock(0, qdbs4k); }), qdeNotSupported);
}

TEST(CacheTempStorageTest, SizeInstallsTheProcessClassOrTheNullStorage) {
  TqdScopedStorageClass scoped;
  TqdBufferManager cache(u"/tmp");
  for (int32_t size : {0, -5}) {
    cache.SetTempStoreSize(size);
    EXPECT_TRUE(isNull(cache.TempStorage())) << size;
  }
  cache.SetTempStoreSize(100);
  EXPECT_FALSE(isNull(cache.TempStorage()));
  EXPECT_EQ(cache.TempStoreSize(), 64);
  failCreate = true;
  EXPECT_EQ(CodeOf([&] { cache.SetTempStoreSize(100); }), qdeWriteErr);
  EXPECT_TRUE(isNull(cache.TempStorage()));
}

// --- Statistics -------------------------------------------------------------------------

std::vector<std::string> rows(const TqdStringList& aList) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < aList.Count(); ++i) result.push_back(StringToUtf8(aList.Strings(i)));
  return result;
}

const std::vector<std::string> kCaptions = {"AWE Edition",
                                            "Block Cache Available",
                                            "Block Cache Used",
                                            "Block Cache Miss",
                                            "Block Cache Hit ",
                                            "Block Cache Eviction ",
                                            "Transactions Commited",
                                            "Transactions Commited Nested",
                                            "Transactions Rolledback",
                                            "Transactions Rolledback Nested",
                                            "Transactions Deadlocked",
                                            "Transactions Corrupted",
                                            "Blocks Read",
                                            "Blocks Written",
                                            "Temporary Storage Total Size",
                                            "Temporary Storage Used Size"};

TEST(CacheStatisticsTest, RowsComeInTheirOrder) {
  TqdFaultFixture fixture;
  TqdScopedMachine scoped(65536, 134217728);
  TqdBufferManager cache(u"/tmp");
  TqdStringList captions;
  cache.GetStatsCaptions(captions);
  EXPECT_EQ(rows(captions), kCaptions);
  {
    auto table = TqdTestTable::Create(&cache, "/db/stats.qd1");
    TqdTestTransaction trans(&cache);
    AddBlocks(*table, &trans, 3, 7);
    trans.Commit();
  }
  TqdStringList values;
  cache.GetStatsValues(values);
  const std::vector<std::string> got = rows(values);
  ASSERT_EQ(got.size(), kCaptions.size());
  EXPECT_EQ(got[0], "No");
  EXPECT_EQ(got[1], "10240 kbyte");
  EXPECT_EQ(got[6], "2");  // the table's creation and the blocks
  EXPECT_EQ(got[8], "0");
  EXPECT_EQ(got[13], std::to_string(cache.BlocksWritten()));
  EXPECT_EQ(got[14], "0 kbyte");
  EXPECT_EQ(got[15], "0 kbyte");

  TqdStringList still;
  TqdBufferManager::GetStatsValuesStatic(still);
  EXPECT_EQ(rows(still), (std::vector<std::string>{"No", "0 kbyte", "0 kbyte", "0", "0", "0", "0", "0", "0", "0", "0",
                                                   "0", "0", "0", "0 kbyte", "0 kbyte"}));
  TqdScopedStorageClass storageClass;
  cache.SetTempStoreSize(10);
  TqdStringList withStorage;
  cache.GetStatsValues(withStorage);
  EXPECT_EQ(StringToUtf8(withStorage.Strings(14)), "65536 kbyte");
  EXPECT_EQ(StringToUtf8(withStorage.Strings(15)), "4 kbyte");
}

// --- Eviction ---------------------------------------------------------------------------

constexpr TqdBlockNumber kBlocks = 2000;

class CacheEvictionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fCache = std::make_unique<TqdBufferManager>(u"/tmp");
    fMgr = std::make_unique<TqdTestTransactionMgr>(fCache.get(), "/db");
    TqdTestTableOptions options;
    options.toBlockSize = qdbs8k;
    fTable = TqdTestTable::Create(fCache.get(), "/db/big.qd1", options);
    TqdTestServerTransaction trans(fMgr.get());
    auto header = fTable->Access().HeaderAccess(&trans, true);
    for (TqdBlockNumber n = 1; n <= kBlocks; ++n) {
      TqdBlockRef block = header->GetNewBlock(&trans, kTestOwner);
      qdPutU32(block.WritableData() + kBlockCommonHeaderSize, n * 7);
    }
    header.reset();
    trans.Commit();
  }
  void TearDown() override {
    fTable.reset();
    fMgr.reset();
    fCache.reset();
  }
  uint32_t Value(TqdBaseTransaction* aTrans, TqdBlockNumber aNumber) {
    return qdGetU32(fTable->Access().GetBlock(aTrans, aNumber, kTestOwner, false).Data() + kBlockCommonHeaderSize);
  }
  void ReadAll(TqdBaseTransaction* aTrans) {
    for (TqdBlockNumber n = 1; n <= kBlocks; ++n) ASSERT_EQ(Value(aTrans, n), n * 7) << n;
  }
  uint32_t Budget() { return fCache->MappedBudgetPages(); }

  TqdFaultFixture fFixture;
  std::unique_ptr<TqdBufferManager> fCache;
  std::unique_ptr<TqdTestTransactionMgr> fMgr;
  std::unique_ptr<TqdTestTable> fTable;
};

TEST_F(CacheEvictionTest, ReadingManyBlocksStaysWithinTheBudget) {
  ASSERT_EQ(Budget(), 2560u);
  ReadAll(nullptr);
  EXPECT_LE(fCache->UsedMappedPages(), Budget());
  EXPECT_GT(fCache->CacheEvictions(), 0u);
  // A block given up is read again from the file.
  const uint64_t read = fCache->BlocksRead();
  const uint64_t misses = fCache->CacheMisses();
  EXPECT_EQ(Value(nullptr, 1), 7u);
  EXPECT_EQ(fCache->BlocksRead(), read + 1);
  EXPECT_EQ(fCache->CacheMisses(), misses + 1);
  const uint64_t hits = fCache->CacheHits();
  EXPECT_EQ(Value(nullptr, 1), 7u);
  EXPECT_EQ(fCache->CacheHits(), hits + 1);
}

TEST_F(CacheEvictionTest, AHeldBlockKeepsItsImage) {
  TqdBlockRef held = fTable->Access().GetBlock(nullptr, 5, kTestOwner, false);
  const uint8_t* image = held.Data();
  ReadAll(nullptr);
  // Address sanitizer would catch a freed image here.
  EXPECT_EQ(qdGetU32(image + kBlockCommonHeaderSize), 35u);
  EXPECT_LE(fCache->UsedMappedPages(), Budget() + 2);
}

TEST_F(CacheEvictionTest, PrivateVersionsStayAndTheCommittedImageIsReadAgain) {
  TqdTestServerTransaction trans(fMgr.get());
  {
    TqdBlockRef block = fTable->Access().GetBlock(&trans, 3, kTestOwner, true);
    qdPutU32(block.WritableData() + kBlockCommonHeaderSize, 999);
  }
  for (TqdBlockNumber n = 4; n <= kBlocks; ++n) ASSERT_EQ(Value(nullptr, n), n * 7);
  EXPECT_EQ(Value(&trans, 3), 999u);
  EXPECT_EQ(Value(nullptr, 3), 21u);
  trans.Commit();
  EXPECT_EQ(Value(nullptr, 3), 999u);
  EXPECT_EQ(qdGetU32(FileBlock(fFixture.Fs(), "/db/big.qd1", 3, 8192).data() + kBlockCommonHeaderSize), 999u);
}

TEST_F(CacheEvictionTest, AnUnwrittenImageIsNeverLost) {
  TqdTestServerTransaction trans(fMgr.get());
  {
    TqdBlockRef block = fTable->Access().GetBlock(&trans, 2, kTestOwner, true);
    qdPutU32(block.WritableData() + kBlockCommonHeaderSize, 4242);
  }
  // Between the commit and the flush the committed image exists only in
  // memory: reading every other block must not drop it.
  trans.fPostCommit = [&] {
    for (TqdBlockNumber n = 3; n <= kBlocks; ++n) ASSERT_EQ(Value(nullptr, n), n * 7);
  };
  trans.Commit();
  EXPECT_EQ(qdGetU32(FileBlock(fFixture.Fs(), "/db/big.qd1", 2, 8192).data() + kBlockCommonHeaderSize), 4242u);
}

TEST_F(CacheEvictionTest, ATemporaryFileKeepsItsMemoryOverBudget) {
  fTable.reset();
  TqdTestTempTable temp(fCache.get());
  TqdTestTransaction trans(fCache.get());
  AddBlocks(temp.Access(), &trans, 3000, 0x6A);
  trans.Commit();
  EXPECT_GT(fCache->UsedMappedPages(), Budget());
  TqdTestTransaction reader(fCache.get());
  for (TqdBlockNumber n = 1; n <= 3000; ++n) ASSERT_EQ(BlockByte(temp.Access(), &reader, n), 0x6A) << n;
  reader.Rollback();
  EXPECT_GT(fCache->UsedMappedPages(), Budget());
}

TEST_F(CacheEvictionTest, AnotherThreadDirtiesItsOwnTableMeanwhile) {
  TqdTestTableOptions options;
  options.toBlockSize = qdbs8k;
  auto other = TqdTestTable::Create(fCache.get(), "/db/other.qd1", options);
  {
    TqdTestServerTransaction trans(fMgr.get());
    AddBlocks(*other, &trans, 50, 1);
    trans.Commit();
  }
  std::thread writer([&] {
    for (int round = 0; round < 20; ++round) {
      TqdTestServerTransaction trans(fMgr.get());
      for (TqdBlockNumber n = 1; n <= 50; ++n) {
        EXPECT_EQ(BlockByte(*other, &trans, n), uint8_t(round == 0 ? 1 : round - 1));
        SetBlockByte(*other, &trans, n, uint8_t(round));
      }
      trans.Commit();
    }
  });
  ReadAll(nullptr);
  ReadAll(nullptr);
  writer.join();
  TqdTestTransaction trans(fCache.get());
  for (TqdBlockNumber n = 1; n <= 50; ++n) EXPECT_EQ(BlockByte(*other, &trans, n), 19);
  trans.Rollback();
}

}  // namespace
}  // namespace qd::test
