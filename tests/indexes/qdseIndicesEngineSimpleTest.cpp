// The simple indices engine: the info block of every table file (layout,
// key lengths checked on open), the four values of each index reached
// through its header access, and the slots moved when an index is removed.
// The index engines are the in-memory stand-ins of
// tests/storage/qdsrFakeIndexEngine.h, which keep their key count and root
// through the header access.
#include "indexes/qdseIndicesEngineSimple.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "platform/qdLittleEndian.h"
#include "tests/storage/qdsrFakeIndexEngine.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

// One slot of an info block.
struct Slot {
  uint16_t keyLength;
  int32_t keyCount;
  int32_t root;
  int32_t pageCount;
  friend bool operator==(const Slot&, const Slot&) = default;
};
std::ostream& operator<<(std::ostream& aOut, const Slot& aSlot) {
  return aOut << "{len " << aSlot.keyLength << ", keys " << aSlot.keyCount << ", root " << aSlot.root << ", pages "
              << aSlot.pageCount << "}";
}
const Slot kEmptySlot{0, 0, -1, 0};

// A table of Id, Name and Code (Int32, NullString 10, Int32) with the
// simple indices engine over in-memory index engines.
class SimpleIndicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fields()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
    Fields()->AddField(u"Name", u"", qdtNullString, 10, 0, false);
    Fields()->AddField(u"Code", u"", qdtInt32, 0, 0, false);
    Indices()->RemoveIndex(0);
    fTables.push_back(TqdTestTable::Create(&fCache, fNames[0]));
    fFiles = {&fTables[0]->Access()};
  }
  void TearDown() override {
    fEngine.reset();
    fTables.clear();
  }

  TqdFieldsDescriptor* Fields() { return fDict.FieldsDescriptor(); }
  TqdBaseIndicesDescriptor* Indices() { return fDict.IndicesDescriptor(); }
  TqdIndexDescriptor* AddIndex(qdStringView aName, std::initializer_list<int32_t> aFields, int32_t aFile = 0) {
    TqdIndexDescriptor* index = Indices()->AddIndex(aName, aFile, idNone, u"");
    index->SetIndexEngine(u"TestMemory");
    for (int32_t field : aFields) static_cast<TqdCompKeyDescriptor*>(index->KeyDescriptor())->Add(field);
    return index;
  }
  // K0 on Id, K1 on Name, K2 on Id and Code: three key lengths.
  void ThreeIndexes() {
    AddIndex(u"K0", {0});
    AddIndex(u"K1", {1});
    AddIndex(u"K2", {0, 2});
  }
  // A second table file, for indexes in file 1.
  void SecondFile() {
    fDict.FilesDescriptor()->AddFile(u"x", qdbs4k, u"Second");
    fTables.push_back(TqdTestTable::Create(&fCache, fNames[1]));
    fFiles.push_back(&fTables[1]->Access());
  }
  void Create() {
    TqdTestTransaction trans(&fCache);
    fEngine.reset(TqdBaseIndicesEngine::CreateEngine(&fDict, fFiles, nullptr, &trans, false));
    trans.Commit();
  }
  void Reopen() {
    fEngine.reset();
    const size_t count = fTables.size();
    fTables.clear();
    fFiles.clear();
    for (size_t i = 0; i < count; ++i) {
      fTables.push_back(TqdTestTable::Open(&fCache, fNames[i]));
      fFiles.push_back(&fTables[i]->Access());
    }
    fEngine.reset(TqdBaseIndicesEngine::CreateEngine(&fDict, fFiles, nullptr, nullptr, false));
  }
  TqdFakeIndexEngine& Index(int32_t aInx) { return static_cast<TqdFakeIndexEngine&>(*fEngine->biseGetIndex(aInx)); }

  // The info block number the file's "Indices" section holds.
  int32_t InfoBlockNumber(size_t aFile = 0) {
    auto header = fFiles[aFile]->HeaderAccess(nullptr, false);
    return qdGetI32(header->Header() + header->RegisterHeaderSection("Indices", 4, false, false));
  }
  std::vector<uint8_t> InfoBlock(size_t aFile = 0) {
    const int32_t number = InfoBlockNumber(aFile);
    EXPECT_NE(number, -1);
    TqdBlockRef block = fFiles[aFile]->GetBlock(nullptr, TqdBlockNumber(number), 0, false);
    return std::vector<uint8_t>(block.Data(), block.Data() + fFiles[aFile]->fiBlockSizeBytes());
  }
  Slot SlotOf(const std::vector<uint8_t>& aBlock, int32_t aInx) {
    const auto n = uint32_t(aInx);
    return {qdGetU16(aBlock.data() + 40 + 2 * n), qdGetI32(aBlock.data() + 552 + 4 * n),
            qdGetI32(aBlock.data() + 1576 + 4 * n), qdGetI32(aBlock.data() + 2600 + 4 * n)};
  }
  uint16_t KeyLength(int32_t aInx) { return fEngine->biseGetIndex(aInx)->KeyEngine()->KeyLength(); }
  std::vector<uint8_t> Record(int32_t aId, const char16_t* aName, int32_t aCode) {
    std::vector<uint8_t> record(size_t(Fields()->RecordLength()) + 4, 0);
    Fields()->InitRecord(record.data());
    Fields()->SetRecordField(0, record.data(), &aId);
    if (aName != nullptr) Fields()->fsdSetFieldByIndexAsVariant(record.data(), 1, TqdVariant(qdString(aName)));
    Fields()->SetRecordField(2, record.data(), &aCode);
    return record;
  }
  // Inserts records with references 1..aCount into every index, committed.
  void InsertRecords(int32_t aFirst, int32_t aCount) {
    TqdTestTransaction trans(&fCache);
    for (int32_t i = aFirst; i < aFirst + aCount; ++i) {
      std::vector<uint8_t> record = Record(i, qdString(u"n" + IntToStr(i)).c_str(), i * 10);
      ASSERT_EQ(fEngine->InsertKeys(&trans, i, record.data(), nullptr), 0u);
    }
    trans.Commit();
  }
  // Sets an index's page count through its header access, committed.
  void SetPageCount(int32_t aInx, uint32_t aValue) {
    TqdTestTransaction trans(&fCache);
    std::unique_ptr<TqdBaseIndexHeaderAccess> header(
        fEngine->biseGetIndex(aInx)->CreateHeaderAccess(&trans, true, true, 0, 0));
    header->SetIndexPageCount(aValue);
    header.reset();
    trans.Commit();
  }

  TqdFaultFixture fFault;
  TqdBufferManager fCache{u"/tmp"};
  std::string fNames[2] = {"/db/s.qd1", "/db/s.qd2"};
  TqdDataDictionary fDict;
  std::vector<std::unique_ptr<TqdTestTable>> fTables;
  TqdBlockAccessList fFiles;
  TqdFakeIndexRegistration fRegistration;
  std::unique_ptr<TqdBaseIndicesEngine> fEngine;
};

TEST_F(SimpleIndicesTest, TheDefaultIndicesEngineIsTheSimpleOne) {
  AddIndex(u"K0", {0});
  EXPECT_EQ(StringToUtf8(Indices()->IndicesEngine()), "qd1xDefault");
  Create();
  EXPECT_NE(dynamic_cast<TqdSimpleIndicesEngine*>(fEngine.get()), nullptr);
}

TEST_F(SimpleIndicesTest, ANewTableGetsAnInfoBlockWithEveryIndexEmpty) {
  ThreeIndexes();
  Create();
  for (bool reopened : {false, true}) {
    SCOPED_TRACE(reopened);
    if (reopened) Reopen();
    const std::vector<uint8_t> block = InfoBlock();
    EXPECT_EQ(std::string(block.begin(), block.begin() + 4), "QDIH");
    EXPECT_EQ(qdGetI32(block.data() + 4), InfoBlockNumber());
    EXPECT_EQ(block[36], 0);
    for (int32_t n = 0; n < 3; ++n) EXPECT_EQ(SlotOf(block, n), (Slot{KeyLength(n), 0, -1, 0})) << n;
    for (int32_t n = 3; n < 256; ++n) ASSERT_EQ(SlotOf(block, n), kEmptySlot) << n;
  }
  // Three different key lengths, so that a slot mix-up shows.
  EXPECT_NE(KeyLength(0), KeyLength(1));
  EXPECT_NE(KeyLength(0), KeyLength(2));
}

TEST_F(SimpleIndicesTest, IndexValuesPersistThroughTheHeaderAccess) {
  ThreeIndexes();
  Create();
  InsertRecords(1, 5);
  SetPageCount(1, 7);
  Reopen();
  const std::vector<uint8_t> block = InfoBlock();
  EXPECT_EQ(SlotOf(block, 0), (Slot{KeyLength(0), 5, 1, 0}));
  EXPECT_EQ(SlotOf(block, 1), (Slot{KeyLength(1), 5, 1, 7}));
  for (int32_t n = 0; n < 3; ++n) {
    uint32_t count = 0;
    Index(n).GetKeyCount(nullptr, count);
    EXPECT_EQ(count, 5u);
    std::unique_ptr<TqdBaseIndexHeaderAccess> header(
        fEngine->biseGetIndex(n)->CreateHeaderAccess(nullptr, false, false, 0, 0));
    EXPECT_EQ(header->GetIndexRoot(), 1u);
    EXPECT_EQ(header->GetIndexPageCount(), n == 1 ? 7u : 0u);
    EXPECT_EQ(header->GetIndexLSN(), qdBlockLSN(block.data()));
  }
}

TEST_F(SimpleIndicesTest, FetchingTheInfoBlockForWritingRaisesItsChangeCounter) {
  AddIndex(u"K0", {0});
  Create();
  const uint64_t before = qdGetU64(InfoBlock().data() + 16);
  {
    TqdTestTransaction trans(&fCache);
    std::unique_ptr<TqdBaseIndexHeaderAccess> reader(
        fEngine->biseGetIndex(0)->CreateHeaderAccess(&trans, false, false, 0, 0));
    EXPECT_EQ(reader->GetIndexKeyCount(), 0u);
    reader.reset();
    std::unique_ptr<TqdBaseIndexHeaderAccess> writer(
        fEngine->biseGetIndex(0)->CreateHeaderAccess(&trans, true, true, 0, 0));
    writer->SetIndexKeyCount(3);
    writer.reset();
    trans.Commit();
  }
  EXPECT_EQ(qdGetU64(InfoBlock().data() + 16), before + 1);
}

// A reader that changes nothing takes the info block's number from the
// header only when the header changed since it last looked: when the header
// names another info block, committed or seen inside the transaction that
// moved it, the reader follows; a rollback takes it back to the old one,
// which stays a valid info block throughout.
TEST_F(SimpleIndicesTest, ReadersFollowTheInfoBlockTheHeaderNames) {
  AddIndex(u"K0", {0});
  Create();
  InsertRecords(1, 5);
  const auto keyCount = [&](TqdBaseTransaction* aTrans) {
    std::unique_ptr<TqdBaseIndexHeaderAccess> reader(
        fEngine->biseGetIndex(0)->CreateHeaderAccess(aTrans, false, false, 0, 0));
    return reader->GetIndexKeyCount();
  };
  // A copy of the info block holding key count 9, named by the header.
  const auto moveInfoBlock = [&](TqdBaseTransaction* aTrans) {
    const std::vector<uint8_t> old = InfoBlock();
    std::unique_ptr<TqdBaseIndexHeaderAccess> writer(
        fEngine->biseGetIndex(0)->CreateHeaderAccess(aTrans, true, true, 0, 0));
    TqdBaseFileHeaderAccess* header = writer->FileHeader();
    TqdBlockRef block = header->GetNewBlock(aTrans, writer->ID());
    uint8_t* data = block.WritableData();
    std::memcpy(data + 16, old.data() + 16, kSimpleIndicesHeaderOffset + kSimpleIndicesHeaderSize - 16);
    qdSetBlockSignature(data, qdSignatureFromBytes(old.data()));
    qdPutI32(data + kSimpleIndicesKeyCountOffset, 9);
    const uint16_t section = header->RegisterHeaderSection("Indices", 4, false, false);
    qdPutI32(header->WritableHeader() + section, int32_t(block.BlockNumber()));
  };
  EXPECT_EQ(keyCount(nullptr), 5u);
  const int32_t first = InfoBlockNumber();
  {
    TqdTestTransaction trans(&fCache);
    moveInfoBlock(&trans);
    EXPECT_EQ(keyCount(&trans), 9u);
    EXPECT_EQ(keyCount(nullptr), 5u);
    trans.Rollback();
  }
  EXPECT_EQ(keyCount(nullptr), 5u);
  {
    TqdTestTransaction trans(&fCache);
    moveInfoBlock(&trans);
    EXPECT_EQ(keyCount(nullptr), 5u);
    trans.Commit();
  }
  EXPECT_NE(InfoBlockNumber(), first);
  EXPECT_EQ(keyCount(nullptr), 9u);
  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(keyCount(&trans), 9u);
  trans.Commit();
}

TEST_F(SimpleIndicesTest, ReopeningWithAnotherKeyLengthIsRefused) {
  ThreeIndexes();
  Create();
  fEngine.reset();
  static_cast<TqdCompKeyDescriptor*>(Indices()->IndexDescriptor(1)->KeyDescriptor())->Add(2);
  EXPECT_EQ(CodeOf([&] { Reopen(); }), qdeHeaderCorrupt);
  EXPECT_EQ(fEngine, nullptr);
}

TEST_F(SimpleIndicesTest, ReopeningAFileWithoutInfoBlockIsRefused) {
  Create();  // no index: the section holds -1
  EXPECT_EQ(InfoBlockNumber(), -1);
  AddIndex(u"K0", {0});
  EXPECT_EQ(CodeOf([&] { Reopen(); }), qdeHeaderCorrupt);
}

TEST_F(SimpleIndicesTest, ADamagedInfoBlockIsRefused) {
  AddIndex(u"K0", {0});
  Create();
  const int32_t number = InfoBlockNumber();
  struct Case {
    const char* name;
    std::function<void(TqdBaseTransaction*)> damage;
    TqdResult expected;
  };
  const Case cases[] = {
      {"signature",
       [&](TqdBaseTransaction* aTrans) {
         TqdBlockRef block = fFiles[0]->GetBlock(aTrans, TqdBlockNumber(number), 0, true);
         block.WritableData()[0] = 'X';
       },
       qdeNotIndexBlock},
      {"section beyond the file",
       [&](TqdBaseTransaction* aTrans) {
         auto header = fFiles[0]->HeaderAccess(aTrans, true);
         qdPutI32(header->WritableHeader() + header->RegisterHeaderSection("Indices", 4, false, false), 100000);
       },
       qdeBadBlockNum},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TqdTestTransaction trans(&fCache);
    c.damage(&trans);
    std::unique_ptr<TqdBaseIndexHeaderAccess> header(
        fEngine->biseGetIndex(0)->CreateHeaderAccess(&trans, false, false, 0, 0));
    EXPECT_EQ(CodeOf([&] { (void)header->GetIndexKeyCount(); }), c.expected);
    header.reset();
    trans.Rollback();
  }
}

// Removing index k moves the values of the later indexes down one slot and
// resets the last slot; a new index added afterwards starts empty.
TEST_F(SimpleIndicesTest, RemoveIndexMovesTheLaterSlotsDown) {
  for (int32_t removed = 0; removed < 3; ++removed) {
    SCOPED_TRACE(removed);
    fEngine.reset();
    while (Indices()->IndexCount() > 0) Indices()->RemoveIndex(0);
    fTables.clear();
    fTables.push_back(TqdTestTable::Create(&fCache, fNames[0], {.toOverwrite = true}));
    fFiles = {&fTables[0]->Access()};
    ThreeIndexes();
    Create();
    InsertRecords(1, 4);
    for (int32_t n = 0; n < 3; ++n) SetPageCount(n, uint32_t(10 + n));
    const std::vector<uint8_t> before = InfoBlock();

    TqdTestTransaction trans(&fCache);
    Indices()->RemoveIndex(removed);
    fEngine->RemoveIndex(&trans, removed);
    trans.Commit();
    const std::vector<uint8_t> after = InfoBlock();
    int32_t to = 0;
    for (int32_t from = 0; from < 3; ++from) {
      if (from == removed) continue;
      EXPECT_EQ(SlotOf(after, to), SlotOf(before, from)) << from << " -> " << to;
      // The renumbered engine reaches its own values.
      std::unique_ptr<TqdBaseIndexHeaderAccess> header(
          fEngine->biseGetIndex(to)->CreateHeaderAccess(nullptr, false, false, 0, 0));
      EXPECT_EQ(header->GetIndexPageCount(), uint32_t(10 + from));
      ++to;
    }
    EXPECT_EQ(SlotOf(after, 2), kEmptySlot);
    EXPECT_EQ(SlotOf(after, 255), kEmptySlot);

    // A new index numbered 2 starts empty.
    TqdTestTransaction add(&fCache);
    AddIndex(u"K3", {2});
    fEngine->AddIndex(&add, 2);
    add.Commit();
    EXPECT_EQ(SlotOf(InfoBlock(), 2), (Slot{KeyLength(2), 0, -1, 0}));
    Reopen();
    EXPECT_EQ(fEngine->IndexCount(), 3);
  }
}

TEST_F(SimpleIndicesTest, RemovingTheLastPossibleIndexOnlyResetsItsSlot) {
  for (int32_t n = 0; n < kSimpleIndicesMaxIndexes; ++n) AddIndex(u"K" + IntToStr(n), {n % 2 == 0 ? 0 : 2});
  Create();
  SetPageCount(254, 4);
  SetPageCount(255, 5);
  TqdTestTransaction trans(&fCache);
  Indices()->RemoveIndex(255);
  fEngine->RemoveIndex(&trans, 255);
  trans.Commit();
  const std::vector<uint8_t> block = InfoBlock();
  EXPECT_EQ(SlotOf(block, 254), (Slot{KeyLength(254), 0, -1, 4}));
  EXPECT_EQ(SlotOf(block, 255), kEmptySlot);
  EXPECT_EQ(fEngine->IndexCount(), 255);
}

TEST_F(SimpleIndicesTest, EachIndexFileKeepsItsOwnInfoBlock) {
  SecondFile();
  AddIndex(u"K0", {0}, 0);
  AddIndex(u"K1", {1}, 1);
  Create();
  InsertRecords(1, 3);
  Reopen();
  ASSERT_NE(InfoBlockNumber(0), -1);
  ASSERT_NE(InfoBlockNumber(1), -1);
  const std::vector<uint8_t> first = InfoBlock(0);
  const std::vector<uint8_t> second = InfoBlock(1);
  EXPECT_EQ(SlotOf(first, 0), (Slot{KeyLength(0), 3, 1, 0}));
  EXPECT_EQ(SlotOf(first, 1), kEmptySlot);
  EXPECT_EQ(SlotOf(second, 0), kEmptySlot);
  EXPECT_EQ(SlotOf(second, 1), (Slot{KeyLength(1), 3, 1, 0}));
}

// A table's main and internal indices share its file but not their info
// blocks: each has its own header section.
TEST_F(SimpleIndicesTest, MainAndInternalIndicesKeepSeparateInfoBlocks) {
  AddIndex(u"K0", {0});
  TqdInternalIndicesDescriptor* internal = fDict.AddInternalIndicesDescriptor();
  ASSERT_EQ(internal->HeaderSection(), "InternalIndices");
  TqdIndexDescriptor* graveyard = internal->AddIndex(u"G0", 0, idNone, u"");
  graveyard->SetIndexEngine(u"TestMemory");
  static_cast<TqdCompKeyDescriptor*>(graveyard->KeyDescriptor())->Add(1);
  Create();
  std::unique_ptr<TqdBaseIndicesEngine> internalEngine;
  {
    TqdTestTransaction trans(&fCache);
    internalEngine.reset(TqdBaseIndicesEngine::CreateEngine(internal, fFiles, nullptr, &trans, false));
    trans.Commit();
  }
  InsertRecords(1, 2);
  auto header = fFiles[0]->HeaderAccess(nullptr, false);
  const int32_t internalBlock =
      qdGetI32(header->Header() + header->RegisterHeaderSection("InternalIndices", 4, false, false));
  header.reset();
  ASSERT_NE(internalBlock, -1);
  EXPECT_NE(internalBlock, InfoBlockNumber());
  EXPECT_EQ(SlotOf(InfoBlock(), 0), (Slot{KeyLength(0), 2, 1, 0}));
  TqdBlockRef block = fFiles[0]->GetBlock(nullptr, TqdBlockNumber(internalBlock), 0, false);
  const std::vector<uint8_t> internalInfo(block.Data(), block.Data() + 4096);
  block.Release();
  EXPECT_EQ(SlotOf(internalInfo, 0), (Slot{internalEngine->biseGetIndex(0)->KeyEngine()->KeyLength(), 0, -1, 0}));
  internalEngine.reset();
}

// The slots of every file move: an index in another file than the removed
// one is renumbered too.
TEST_F(SimpleIndicesTest, RemovingAnIndexMovesTheSlotsOfEveryFile) {
  SecondFile();
  AddIndex(u"K0", {0}, 0);
  AddIndex(u"K1", {1}, 1);
  Create();
  InsertRecords(1, 3);
  const Slot moved = SlotOf(InfoBlock(1), 1);
  TqdTestTransaction trans(&fCache);
  Indices()->RemoveIndex(0);
  fEngine->RemoveIndex(&trans, 0);
  trans.Commit();
  EXPECT_EQ(SlotOf(InfoBlock(1), 0), moved);
  EXPECT_EQ(SlotOf(InfoBlock(1), 1), kEmptySlot);
  EXPECT_EQ(SlotOf(InfoBlock(0), 0), (Slot{0, 0, -1, 0}));  // slot 1 of file 0 was empty
  uint32_t count = 0;
  Index(0).GetKeyCount(nullptr, count);
  EXPECT_EQ(count, 3u);
  Reopen();
  EXPECT_EQ(fEngine->IndexCount(), 1);
}

}  // namespace
}  // namespace qd::test
