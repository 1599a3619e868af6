// The server engine and its block cache: the budgets a start hands to the
// cache, the cache's statistics rows after the engine's own, and the class
// lists a session reads from the registries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "storage/qdsrFaultFileSystem.h"
#include "storage/qdsrTemporaryStorageBase.h"
#include "tests/server/qdsrServerBudgetsTestEngines.h"
#include "tests/server/qdsrServerTestSupport.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

constexpr uint64_t kMB = 1048576;

// --- A machine with room in its address space ---------------------------------------------

std::atomic<uint64_t> gPhysMB{8192};
bool machineStatus(TqdMemoryStatus& aStatus) {
  aStatus = TqdMemoryStatus{};
  aStatus.TotalPhys = gPhysMB.load() * kMB;
  aStatus.AvailPhys = aStatus.TotalPhys / 2;
  aStatus.TotalVirtual = uint64_t(1) << 47;
  aStatus.AvailVirtual = aStatus.TotalVirtual / 2;
  return true;
}

class ScopedMachine {
 public:
  explicit ScopedMachine(uint64_t aPhysMB) : fPrevious(qdSetMemoryStatusSource(machineStatus)) { gPhysMB = aPhysMB; }
  ~ScopedMachine() { qdSetMemoryStatusSource(fPrevious); }

 private:
  TqdMemoryStatusSource fPrevious;
};

// --- A temporary storage the test controls -------------------------------------------------

class TestTempStorage final : public TqdBaseTempStorage {
 public:
  int64_t GetSize() override { return 64 * int64_t(kMB); }
  int64_t GetInUse() override { return 0; }
  bool HasSpaceFor(TqdBlockSize) override { return false; }
  void ReadBlock(TqdBlockTmpNum, TqdBlockSize, uint8_t*) override {}
  void PeekBlock(TqdBlockTmpNum, TqdBlockSize, uint8_t*) override {}
  void ReleaseBlock(TqdBlockTmpNum, TqdBlockSize) override {}
  TqdBlockTmpNum WriteBlock(const uint8_t*, TqdBlockSize) override { return 0; }
};

bool gFailStorage = false;
qdString gStorageFolder;
std::unique_ptr<TqdBaseTempStorage> createStorage(const qdString& aDir) {
  if (gFailStorage) throw EqdBaseTempStorageException(qdeWriteErr, u"no room for temporary storage");
  gStorageFolder = aDir;
  return std::make_unique<TestTempStorage>();
}
void storageCaptions(TqdStringList& aList) { TqdBaseTempStorage::GetStatsCaptions(aList); }
void storageStatic(TqdStringList& aList) { TqdBaseTempStorage::GetStatsValuesStatic(aList); }
const TqdTempStorageClassInfo kStorageClass = {u"TestTempStorage", &createStorage, &storageCaptions, &storageStatic};

class ScopedStorageClass {
 public:
  ScopedStorageClass() : fPrevious(qdTempStorageClass.exchange(&kStorageClass)) {}
  ~ScopedStorageClass() {
    qdTempStorageClass.store(fPrevious);
    gFailStorage = false;
    gStorageFolder.clear();
  }

 private:
  TqdTempStorageClass fPrevious;
};

bool isTestStorage(TqdBaseTempStorage* aStorage) { return dynamic_cast<TestTempStorage*>(aStorage) != nullptr; }

using ServerBudgetsTest = ServerFixture;

// --- The cache's budget ---------------------------------------------------------------------

TEST_F(ServerBudgetsTest, StartingHandsTheMemoryBudgetToTheBlockCache) {
  struct Case {
    uint64_t physMB;
    int32_t maxRAM;
    int32_t engineBudget;
    int32_t cacheMaxRAM;  // after the cache's own limits (1536 MB, 80 % of the machine)
  };
  const Case cases[] = {
      {3000, -1, 1500, 1500}, {8192, -1, 6144, 1536},  {8192, 0, 6144, 1536},
      {8192, 10, 10, 10},     {1024, 5000, 5000, 819}, {2048, -1, 1024, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.physMB << " MB, MaxRAM " << c.maxRAM);
    ScopedMachine machine(c.physMB);
    fEngine->SetMaxRAM(c.maxRAM);
    Start();
    TqdBufferManager* cache = fEngine->BufferManager();
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(fEngine->BudgetMaxRAM(), c.engineBudget);
    EXPECT_EQ(cache->MaxRAM(), c.cacheMaxRAM);
    // 128 pages of 4 KB per megabyte, for each of the two classes.
    EXPECT_EQ(cache->MappedBudgetPages(), uint32_t(c.cacheMaxRAM) * 256u);
    EXPECT_EQ(fEngine->MaxRAM(), c.maxRAM);  // the computed value is not written back
    fEngine->SetActive(false);
  }
}

TEST_F(ServerBudgetsTest, ANewMaxRAMReachesTheCacheAtTheNextStart) {
  ScopedMachine machine(8192);
  fEngine->SetMaxRAM(100);
  Start();
  // A running engine refuses the change and its cache keeps the budget.
  EXPECT_THROW(fEngine->SetMaxRAM(20), EqdComponentException);
  EXPECT_EQ(fEngine->BufferManager()->MaxRAM(), 100);
  // While it is being updated the change stops the engine first.
  fEngine->Updating();
  fEngine->SetMaxRAM(20);
  fEngine->Updated();
  EXPECT_EQ(fEngine->State(), qdsInactive);
  EXPECT_EQ(fEngine->BufferManager(), nullptr);
  Start();
  EXPECT_EQ(fEngine->BufferManager()->MaxRAM(), 20);
}

// --- The cache's temporary storage --------------------------------------------------------------

TEST_F(ServerBudgetsTest, TheTemporaryBudgetDecidesWhetherTheCacheGetsStorage) {
  ScopedMachine machine(8192);
  ScopedStorageClass storageClass;
  TqdFaultFixture fixture;
  struct Case {
    int32_t tempStoreSize;
    int64_t freeSpace;
    int error;
    bool storage;
  };
  const Case cases[] = {
      {-1, int64_t(5000) * 3145728, 0, true},  // computed: 5000 MB
      {-1, 3145727, 0, false},                 // computed: 0 MB on a nearly full volume
      {-1, 0, EIO, false},                     // the volume cannot be asked
      {0, int64_t(5000) * 3145728, 0, false},  // none asked for
      {7, 0, EIO, true},                       // a set size is taken as it is
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "TempStoreSize " << c.tempStoreSize << ", free " << c.freeSpace);
    fixture.Fs().SetFreeSpace(c.freeSpace, c.error);
    fEngine->SetTempStoreSize(c.tempStoreSize);
    Start();
    TqdBufferManager* cache = fEngine->BufferManager();
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(isTestStorage(cache->TempStorage()), c.storage);
    EXPECT_EQ(cache->TempStoreSize(), c.storage ? 64 : 0);
    if (c.storage) {
      EXPECT_EQ(gStorageFolder, fEngine->BudgetTempPath());
    }
    fEngine->SetActive(false);
  }
}

TEST_F(ServerBudgetsTest, AStorageThatFailsToStartFailsTheStart) {
  ScopedStorageClass storageClass;
  gFailStorage = true;
  fEngine->SetTempStoreSize(5);
  EXPECT_THROW(fEngine->SetActive(true), EqdBaseTempStorageException);
  EXPECT_EQ(fEngine->State(), qdsInactive);
  EXPECT_EQ(fEngine->BufferManager(), nullptr);
  gFailStorage = false;
  Start();
  EXPECT_TRUE(isTestStorage(fEngine->BufferManager()->TempStorage()));
}

// --- Statistics -------------------------------------------------------------------------------

std::vector<qdString> rowsOf(const TqdStringList& aList) {
  std::vector<qdString> rows;
  for (int32_t i = 0; i < aList.Count(); ++i) rows.push_back(aList.Strings(i));
  return rows;
}

TEST_F(ServerBudgetsTest, TheCachesRowsFollowTheEnginesOwn) {
  ScopedMachine machine(8192);
  TqdStringList cacheCaptions;
  TqdBufferManager(u"/tmp").GetStatsCaptions(cacheCaptions);
  const std::vector<qdString> expectedTail = rowsOf(cacheCaptions);
  ASSERT_GE(expectedTail.size(), 3u);
  ASSERT_EQ(expectedTail[1], u"Block Cache Available");

  auto check = [&](const char16_t* aAvailable) {
    std::vector<qdString> captions;
    std::vector<qdString> values;
    fEngine->GetStatsCaptions(captions);
    fEngine->GetStatsValues(values);
    ASSERT_EQ(captions.size(), values.size());
    ASSERT_GT(captions.size(), expectedTail.size());
    const size_t first = captions.size() - expectedTail.size();
    EXPECT_EQ(captions[first - 1], u"Inactive Tables");
    EXPECT_EQ(std::vector<qdString>(captions.begin() + long(first), captions.end()), expectedTail);
    EXPECT_EQ(values[first], u"No");  // "AWE Edition"
    EXPECT_EQ(values[first + 1], aAvailable);
  };
  {
    SCOPED_TRACE("inactive: the rows of a server without a cache");
    check(u"0 kbyte");
    TqdStringList statics;
    TqdBufferManager::GetStatsValuesStatic(statics);
    std::vector<qdString> values;
    fEngine->GetStatsValues(values);
    EXPECT_EQ(std::vector<qdString>(values.end() - statics.Count(), values.end()), rowsOf(statics));
  }
  fEngine->SetMaxRAM(10);
  Start();
  {
    SCOPED_TRACE("started: the running cache's values");
    check(u"10240 kbyte");
  }
}

// --- Registered class lists ---------------------------------------------------------------------

class ScopedTestEngines {
 public:
  ScopedTestEngines() { qdRegisterListTestEngines(); }
  ~ScopedTestEngines() { qdUnregisterListTestEngines(); }
};

bool contains(const std::vector<qdString>& aList, const qdString& aName) {
  return std::find(aList.begin(), aList.end(), aName) != aList.end();
}

TEST_F(ServerBudgetsTest, ClassListsComeFromTheRegistries) {
  Start();
  TqdServerSession* session = OpenSession();
  ASSERT_NE(session, nullptr);
  ScopedTestEngines engines;
  struct Case {
    TqdClassListType type;
    std::vector<qdString> present;
    std::vector<qdString> absent;
  };
  const Case cases[] = {
      {setAutoIncEngines, {u"qd1xDefault"}, {u"Static", u"TestListedRecord"}},
      {setBlobEngines, {u"TqdHeapBlobDescriptor"}, {u"qd1xDefault"}},
      {setIndexEngines,
       {u"qd1xDefault", u"KeylessBStarTree", u"TestPlainIndex"},
       {u"TestBlobCache", u"TestCACHEIndex", u"TestListedRecord"}},
      {setEncryptionEngines, {u"", u"qd1xDefault"}, {u"Static"}},
      {setDefaultDescriptors,
       {u"TqdConstDefaultValueDescriptor", u"TqdNextLSNDefaultValueDescriptor"},
       {u"TqdMinMaxValidationDescriptor"}},
      {setValidationDescriptors,
       {u"TqdMinMaxValidationDescriptor", u"TqdSqlCheckValidationDescriptor"},
       {u"TqdConstDefaultValueDescriptor"}},
      {setRecordDescriptors, {u"Static", u"qd1xDefault", u"TestListedRecord"}, {u"TestPlainIndex"}},
      {setRIActionDescriptors, {}, {u"qd1xDefault"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "list type " << int(c.type));
    TqdStringList list;
    list.Add(u"left over");
    ASSERT_EQ(session->GetRegisteredClassList(c.type, list), 0u);
    const std::vector<qdString> names = rowsOf(list);
    EXPECT_FALSE(contains(names, u"left over"));
    for (const qdString& name : c.present) EXPECT_TRUE(contains(names, name)) << StringToUtf8(name);
    for (const qdString& name : c.absent) EXPECT_FALSE(contains(names, name)) << StringToUtf8(name);
  }
  // The registry itself keeps the cache engines.
  EXPECT_TRUE(qdIndexRegistryHoldsTestCache());
  // Encryption: "" (none) first, then the engines.
  TqdStringList encryption;
  ASSERT_EQ(session->GetRegisteredClassList(setEncryptionEngines, encryption), 0u);
  ASSERT_GE(encryption.Count(), 2);
  EXPECT_EQ(encryption.Strings(0), u"");

  TqdStringList list;
  list.Add(u"left over");
  EXPECT_EQ(session->GetRegisteredClassList(static_cast<TqdClassListType>(setRIActionDescriptors + 1), list),
            qdeObjNotFound);
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(ServerBudgetsTest, ARegistryChangeShowsInTheNextList) {
  Start();
  TqdServerSession* session = OpenSession();
  ASSERT_NE(session, nullptr);
  TqdStringList before;
  ASSERT_EQ(session->GetRegisteredClassList(setRecordDescriptors, before), 0u);
  {
    ScopedTestEngines engines;
    TqdStringList during;
    ASSERT_EQ(session->GetRegisteredClassList(setRecordDescriptors, during), 0u);
    EXPECT_EQ(during.Count(), before.Count() + 1);
  }
  TqdStringList after;
  ASSERT_EQ(session->GetRegisteredClassList(setRecordDescriptors, after), 0u);
  EXPECT_EQ(rowsOf(after), rowsOf(before));
}

// Answers the class-list action with a fixed code and counts the calls.
class ClassListExtender : public TqdBaseEngineExtender {
 public:
  ClassListExtender(TqdExtendableServerObject* aObject, TqdResult aAnswer)
      : TqdBaseEngineExtender(nullptr, aObject, {eaGetRegisteredClassList}), fAnswer(aAnswer) {}
  TqdResult Notify(TqdEngineAction aAction, bool aBefore, TqdEngineArgs) override {
    if (aAction == eaGetRegisteredClassList) ++(aBefore ? before : after);
    return aBefore ? fAnswer : 0;
  }
  int before = 0;
  int after = 0;

 private:
  TqdResult fAnswer;
};

TEST_F(ServerBudgetsTest, ExtendersHearTheListAndMayRefuseIt) {
  Start();
  TqdServerSession* session = OpenSession();
  ASSERT_NE(session, nullptr);
  auto* listening = new ClassListExtender(session, 0);
  TqdStringList list;
  ASSERT_EQ(session->GetRegisteredClassList(setRecordDescriptors, list), 0u);
  EXPECT_GT(list.Count(), 0);
  EXPECT_EQ(listening->before, 1);
  EXPECT_EQ(listening->after, 1);
  EXPECT_EQ(TqdAbstractServerObject::Close(session), 0u);  // frees the extender

  session = OpenSession();
  ASSERT_NE(session, nullptr);
  auto* refusing = new ClassListExtender(session, qdeNoTableRights);
  EXPECT_EQ(session->GetRegisteredClassList(setRecordDescriptors, list), qdeNoTableRights);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(refusing->after, 0);
}

}  // namespace
}  // namespace qd::test
