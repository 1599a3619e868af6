// The index framework: engines found by name, index engine settings from
// the index descriptor, keys kept up to date on insert, delete and update
// (with the undo of earlier indexes when a later one refuses), adding and
// removing indexes, index paths and their bookmarks, and bulk builders.
// The index and indices engines are the in-memory stand-ins of
// qdsrFakeIndexEngine.h.
#include "storage/qdsrIndexEngineBase.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdKeyEngineBase.h"
#include "foundation/qdllUtils.h"
#include "platform/qdLittleEndian.h"
#include "tests/storage/qdsrFakeIndexEngine.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

std::string u8(qdStringView aText) { return StringToUtf8(aText); }

// The key-violation message left for the thread, as an exception built
// from 9729 shows it.
struct KeyError {
  std::string text;
  std::string operation;
  std::string index;
  std::string key;
  std::string refNr;
};
// The text of what aAction raises (without the product prefix and code).
KeyError PendingKeyError() {
  EqdBaseException e(qdeKeyViol);
  return {u8(e.ProcessedErrorString()), u8(e.CustomInfos().Values(u"Operation")), u8(e.CustomInfos().Values(u"Index")),
          u8(e.CustomInfos().Values(u"Key")), u8(e.CustomInfos().Values(u"RefNr"))};
}

// A table of Id (Int32, required), Name (NullString 10) and Code (Int32)
// whose indices engine and index engines are the in-memory stand-ins.
class IndexFrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fields()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
    Fields()->AddField(u"Name", u"", qdtNullString, 10, 0, false);
    Fields()->AddField(u"Code", u"", qdtInt32, 0, 0, false);
    Indices()->RemoveIndex(0);
    Indices()->SetIndicesEngine(u"TestMemory");
    fTable = TqdTestTable::Create(&fCache, fName);
    fFiles = {&fTable->Access()};
  }
  void TearDown() override {
    fEngine.reset();
    fTable.reset();
  }

  TqdFieldsDescriptor* Fields() { return fDict.FieldsDescriptor(); }
  TqdBaseIndicesDescriptor* Indices() { return fDict.IndicesDescriptor(); }
  TqdIndexDescriptor* AddIndex(qdStringView aName, std::initializer_list<int32_t> aFields, TqdIndexDups aDups = idNone,
                               const TqdKeyDescriptorClass* aKeyClass = &TqdCompKeyDescriptor::ClassInfo) {
    TqdIndexDescriptor* index = Indices()->AddIndex(aName, 0, aDups, u"", aKeyClass);
    index->SetIndexEngine(u"TestMemory");
    if (auto* key = dynamic_cast<TqdCompKeyDescriptor*>(index->KeyDescriptor()))
      for (int32_t field : aFields) key->Add(field);
    return index;
  }
  // ById (unique), ByName (duplicates), ByCode (unique).
  void ThreeIndexes() {
    AddIndex(u"ById", {0});
    AddIndex(u"ByName", {1}, idAll);
    AddIndex(u"ByCode", {2});
  }
  void Open() {
    TqdTestTransaction trans(&fCache);
    fEngine.reset(TqdBaseIndicesEngine::CreateEngine(&fDict, fFiles, nullptr, &trans, false));
    trans.Commit();
  }
  TqdFakeIndicesEngine& Engine() { return static_cast<TqdFakeIndicesEngine&>(*fEngine); }
  TqdFakeIndexEngine& Index(int32_t aInx) { return static_cast<TqdFakeIndexEngine&>(*fEngine->biseGetIndex(aInx)); }
  std::vector<std::vector<TqdRefNr>> AllRefs() {
    std::vector<std::vector<TqdRefNr>> all;
    for (int32_t i = 0; i < fEngine->IndexCount(); ++i) all.push_back(Index(i).Refs());
    return all;
  }
  std::vector<uint32_t> KeyCounts() {
    std::vector<uint32_t> counts;
    for (const auto& v : Engine().fValues) counts.push_back(v.keys);
    return counts;
  }

  std::vector<uint8_t> Record(int32_t aId, const char16_t* aName, int32_t aCode) {
    std::vector<uint8_t> record(size_t(Fields()->RecordLength()) + 4, 0);
    Fields()->InitRecord(record.data());
    Fields()->SetRecordField(0, record.data(), &aId);
    if (aName != nullptr) Fields()->fsdSetFieldByIndexAsVariant(record.data(), 1, TqdVariant(qdString(aName)));
    Fields()->SetRecordField(2, record.data(), &aCode);
    return record;
  }
  // Inserts (ref, record) pairs in one transaction; every result must be 0.
  void Insert(std::vector<std::pair<TqdRefNr, std::vector<uint8_t>>> aRecords) {
    TqdTestTransaction trans(&fCache);
    for (auto& [ref, record] : aRecords) ASSERT_EQ(fEngine->InsertKeys(&trans, ref, record.data(), nullptr), 0u);
    trans.Commit();
  }

  TqdFaultFixture fFault;
  TqdBufferManager fCache{u"/tmp"};
  std::string fName = "/db/i.qd1";
  TqdDataDictionary fDict;
  std::unique_ptr<TqdTestTable> fTable;
  TqdBlockAccessList fFiles;
  TqdFakeIndexRegistration fRegistration;
  std::unique_ptr<TqdBaseIndicesEngine> fEngine;
};

// --- Engines by name -------------------------------------------------------------------------

TEST_F(IndexFrameworkTest, UnknownEngineNamesAreRefusedWith15503) {
  AddIndex(u"ById", {0});
  EXPECT_EQ(TqdBaseIndicesEngine::CreateEngine(static_cast<TqdBaseIndicesDescriptor*>(nullptr), fFiles, nullptr,
                                               nullptr, false),
            nullptr);
  Indices()->SetIndicesEngine(u"Nope");
  EXPECT_EQ(TextOf([&] { Open(); }), "Unknown indices engine: \"Nope\"");
  EXPECT_EQ(CodeOf([&] { TqdBaseIndicesEngine::CheckValidBaseFromDescriptor(Indices()); }), qdeSubEngineNotSupported);
  Indices()->SetIndicesEngine(u"testmemory");  // names ignore case
  Indices()->IndexDescriptor(0)->SetIndexEngine(u"Nope");
  EXPECT_EQ(TextOf([&] { Open(); }), "Unknown index engine: \"Nope\"");
  EXPECT_EQ(CodeOf([&] { TqdBaseIndicesEngine::CheckValidDictionary(&fDict); }), qdeSubEngineNotSupported);
  Indices()->IndexDescriptor(0)->SetIndexEngine(u"TestMemory");
  EXPECT_EQ(CodeOf([&] { TqdBaseIndicesEngine::CheckValidDictionary(&fDict); }), 0u);
  Open();
  EXPECT_EQ(fEngine->IndexCount(), 1);
  EXPECT_EQ(fEngine->FileCount(), 1);
}

TEST_F(IndexFrameworkTest, IndexEngineTakesItsSettingsFromTheDescriptor) {
  struct Case {
    const char16_t* name;
    int32_t field;
    TqdIndexDups dups;
    bool refKey;
    bool expectDups;
    bool expectNullOnly;
  };
  const Case cases[] = {
      {u"Unique", 1, idNone, false, false, false},
      {u"All", 1, idAll, false, true, false},
      {u"NullOnly", 1, idNull, false, true, true},
      // Id is required: its keys never hold nulls, so the index is unique.
      {u"NullOnlyRequired", 0, idNull, false, false, false},
      {u"Sequential Access Index", 0, idNone, true, false, false},
  };
  for (const Case& c : cases)
    AddIndex(c.name, {c.field}, c.dups, c.refKey ? &TqdRefKeyDescriptor::ClassInfo : &TqdCompKeyDescriptor::ClassInfo);
  Open();
  ASSERT_EQ(fEngine->IndexCount(), int32_t(std::size(cases)));
  for (int32_t i = 0; i < fEngine->IndexCount(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(u8(c.name));
    TqdBaseIndexEngine* index = fEngine->biseGetIndex(i);
    EXPECT_EQ(index->IndexNumber(), i);
    EXPECT_EQ(index->BookmarkHandler()->IndexID(), i);
    EXPECT_EQ(u8(index->IndexName()), u8(c.name));
    EXPECT_EQ(index->Dups(), c.expectDups);
    EXPECT_EQ(index->DupsNullOnly(), c.expectNullOnly);
    EXPECT_EQ(index->KeysAreRefs(), c.refKey);
    EXPECT_EQ(index->IndexFile(), &fTable->Access());
    EXPECT_EQ(index->IndicesEngine(), fEngine.get());
    EXPECT_EQ(index->MaxFieldCount(), 1);
  }
  EXPECT_EQ(fEngine->SeqIndexEngine(), fEngine->biseGetIndex(4));
  EXPECT_EQ(fEngine->RefNrOffset(), -1);
  EXPECT_EQ(Engine().fAdded.size(), 0u);  // the base constructor calls no hook
}

// --- InsertKeys ------------------------------------------------------------------------------

TEST_F(IndexFrameworkTest, InsertKeysAddsTheRecordToEveryIndex) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}, {2, Record(20, u"a", 200)}, {3, Record(30, u"b", 300)}});
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{1, 2, 3}, {2, 1, 3}, {1, 2, 3}}));
  EXPECT_EQ(KeyCounts(), (std::vector<uint32_t>{3, 3, 3}));
  EXPECT_EQ(fEngine->CurrentRefNr(), qdNoCurrentRefNr);
  EXPECT_EQ(fEngine->CurrentCacheRefNr(), qdNoCurrentRefNr);
  EXPECT_EQ(fEngine->CurrentKey(), nullptr);
  EXPECT_EQ(fEngine->CurrentTrans(), nullptr);
}

// A key engine or record engine called back from inside an index learns
// which record is being indexed.
TEST_F(IndexFrameworkTest, TheCurrentValuesDescribeTheKeyOperationUnderWay) {
  AddIndex(u"ById", {0});
  Open();
  TqdTestTransaction trans(&fCache);
  TqdRefNr seenRefNr = 0;
  TqdBaseTransaction* seenTrans = nullptr;
  PqdKeyBuffer seenKey = nullptr;
  Index(0).fOnInsert = [&] {
    seenRefNr = fEngine->CurrentRefNr();
    seenTrans = fEngine->CurrentTrans();
    seenKey = fEngine->CurrentKey();
  };
  std::vector<uint8_t> record = Record(10, u"a", 1);
  EXPECT_EQ(fEngine->InsertKeys(&trans, 4, record.data(), nullptr), 0u);
  EXPECT_EQ(seenRefNr, 4);
  EXPECT_EQ(seenTrans, &trans);
  ASSERT_NE(seenKey, nullptr);
  EXPECT_EQ(fEngine->biseGetIndex(0)->KeyEngine()->CompareKeyToRecord(seenKey, record.data(), 4), 0);
  EXPECT_EQ(fEngine->CurrentRefNr(), qdNoCurrentRefNr);
  EXPECT_EQ(fEngine->CurrentTrans(), nullptr);
  // Also when the index raises.
  Index(0).fOnInsert = [] { throw EqdBaseIndexEngineException(qdeFileCorrupt); };
  std::vector<uint8_t> other = Record(11, u"a", 1);
  EXPECT_EQ(CodeOf([&] { (void)fEngine->InsertKeys(&trans, 5, other.data(), nullptr); }), qdeFileCorrupt);
  EXPECT_EQ(fEngine->CurrentRefNr(), qdNoCurrentRefNr);
  EXPECT_EQ(fEngine->CurrentKey(), nullptr);
  trans.Rollback();
}

TEST_F(IndexFrameworkTest, AViolationInTheThirdIndexLeavesTheFirstTwoAsTheyWere) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}, {2, Record(20, u"a", 200)}});
  const auto before = AllRefs();
  TqdTestTransaction trans(&fCache);
  std::vector<uint8_t> record = Record(30, u"c", 200);
  EXPECT_EQ(fEngine->InsertKeys(&trans, 7, record.data(), nullptr), qdeKeyViol);
  const KeyError error = PendingKeyError();
  EXPECT_EQ(AllRefs(), before);
  EXPECT_EQ(KeyCounts(), (std::vector<uint32_t>{2, 2, 2}));
  EXPECT_EQ(trans.CheckState(), 0u);
  trans.Commit();
  EXPECT_EQ(error.operation, "Insert");
  EXPECT_EQ(error.index, "ByCode");
  EXPECT_EQ(error.key, "200");
  EXPECT_EQ(error.refNr, "7");
  const std::string expectedLines[] = {"Key violation.",        "\r\nOperation: Insert", "\r\nFile: \"",
                                       "\r\nIndex: \"ByCode\"", "\r\nKey: 200",          "\r\nRefNr: 7"};
  size_t at = 0;
  for (const std::string& line : expectedLines) {
    SCOPED_TRACE(line);
    const size_t found = error.text.find(line, at);
    ASSERT_NE(found, std::string::npos) << error.text;
    at = found + line.size();
  }
  EXPECT_NE(error.text.find(u8(fTable->Access().fiName())), std::string::npos);
  EXPECT_EQ(fEngine->CurrentRefNr(), qdNoCurrentRefNr);
}

TEST_F(IndexFrameworkTest, AFilteredKeyIsSkippedAndNotUndone) {
  TqdIndexDescriptor* byName = AddIndex(u"ByName", {});
  static_cast<TqdCompKeyDescriptor*>(byName->KeyDescriptor())->Add(1)->SetNullBehaviour(nbFilterNull);
  AddIndex(u"ById", {0});
  Open();
  Insert({{1, Record(10, nullptr, 100)}, {2, Record(20, u"x", 200)}});
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{2}, {1, 2}}));
  TqdTestTransaction trans(&fCache);
  std::vector<uint8_t> duplicate = Record(10, nullptr, 300);
  const int deletesBefore = Index(0).fDeleteCalls;
  EXPECT_EQ(fEngine->InsertKeys(&trans, 3, duplicate.data(), nullptr), qdeKeyViol);
  EXPECT_EQ(Index(0).fDeleteCalls, deletesBefore);
  EXPECT_EQ(trans.CheckState(), 0u);
  trans.Commit();
}

TEST_F(IndexFrameworkTest, AnUndoThatFailsMarksTheTransactionCorrupted) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}});
  TqdTestTransaction trans(&fCache);
  Index(0).fDeletesBeforeRefusal = 0;
  std::vector<uint8_t> record = Record(20, u"c", 100);
  EXPECT_EQ(fEngine->InsertKeys(&trans, 2, record.data(), nullptr), qdeKeyViol);
  EXPECT_EQ(trans.CheckState(), qdeTransCorrupt);
  // The undo stopped at index 0: index 1 was undone first, index 0 kept it.
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{1, 2}, {1}, {1}}));
  trans.Rollback();
}

TEST_F(IndexFrameworkTest, ATableWithoutIndexesDoesNothing) {
  Open();
  std::vector<uint8_t> record = Record(1, u"a", 1);
  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(fEngine->InsertKeys(&trans, 1, record.data(), nullptr), 0u);
  EXPECT_EQ(fEngine->UpdateKeys(&trans, 1, record.data(), 2, record.data(), nullptr), 0u);
  EXPECT_EQ(fEngine->DeleteKeys(&trans, 2, record.data(), nullptr), 0u);
  EXPECT_EQ(fEngine->CreateBulkBuilder(&trans), nullptr);
  trans.Commit();
}

// --- DeleteKeys ------------------------------------------------------------------------------

TEST_F(IndexFrameworkTest, DeleteKeysRemovesTheRecordAndAMissingKeyCorruptsTheTransaction) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}, {2, Record(20, u"a", 200)}});
  {
    TqdTestTransaction trans(&fCache);
    std::vector<uint8_t> record = Record(10, u"b", 100);
    EXPECT_EQ(fEngine->DeleteKeys(&trans, 1, record.data(), nullptr), 0u);
    EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{2}, {2}, {2}}));
    trans.Commit();
  }
  TqdTestTransaction trans(&fCache);
  std::vector<uint8_t> record = Record(20, u"a", 999);
  EXPECT_EQ(fEngine->DeleteKeys(&trans, 2, record.data(), nullptr), qdeKeyViol);
  const KeyError error = PendingKeyError();
  EXPECT_EQ(error.operation, "Delete");
  EXPECT_EQ(error.index, "ByCode");
  EXPECT_EQ(trans.CheckState(), qdeTransCorrupt);
  trans.Rollback();
}

// --- UpdateKeys ------------------------------------------------------------------------------

TEST_F(IndexFrameworkTest, UpdateKeysTouchesOnlyTheIndexesWhoseKeyChanged) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}, {2, Record(20, u"a", 200)}});
  std::vector<int> calls;
  for (int32_t i = 0; i < 3; ++i) calls.push_back(Index(i).fInsertCalls + Index(i).fDeleteCalls);
  TqdTestTransaction trans(&fCache);
  std::vector<uint8_t> oldRecord = Record(10, u"b", 100);
  std::vector<uint8_t> newRecord = Record(10, u"c", 100);
  EXPECT_EQ(fEngine->UpdateKeys(&trans, 1, oldRecord.data(), 1, newRecord.data(), nullptr), 0u);
  EXPECT_EQ(Index(0).fInsertCalls + Index(0).fDeleteCalls, calls[0]);
  EXPECT_EQ(Index(1).fInsertCalls + Index(1).fDeleteCalls, calls[1] + 2);
  EXPECT_EQ(Index(2).fInsertCalls + Index(2).fDeleteCalls, calls[2]);
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{1, 2}, {2, 1}, {1, 2}}));
  trans.Commit();
}

TEST_F(IndexFrameworkTest, UpdateKeysWithANewReferenceMovesEveryEntry) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}, {2, Record(20, u"a", 200)}});
  TqdTestTransaction trans(&fCache);
  std::vector<uint8_t> record = Record(10, u"b", 100);
  EXPECT_EQ(fEngine->UpdateKeys(&trans, 1, record.data(), 5, record.data(), nullptr), 0u);
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{5, 2}, {2, 5}, {5, 2}}));
  trans.Commit();
}

// A key violation of the new record during UpdateKeys puts every earlier
// index, and the failing one, back on the old record's keys.
TEST_F(IndexFrameworkTest, AViolationDuringUpdateRestoresTheOldKeys) {
  struct Case {
    const char* name;
    int32_t id;
    int32_t code;
    const char* index;
  };
  const Case cases[] = {{"first index", 20, 150, "ById"}, {"third index", 15, 200, "ByCode"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fEngine.reset();
    while (Indices()->IndexCount() > 0) Indices()->RemoveIndex(0);
    ThreeIndexes();
    Open();
    Insert({{1, Record(10, u"b", 100)}, {2, Record(20, u"a", 200)}});
    const auto before = AllRefs();
    TqdTestTransaction trans(&fCache);
    std::vector<uint8_t> oldRecord = Record(10, u"b", 100);
    std::vector<uint8_t> newRecord = Record(c.id, u"z", c.code);
    EXPECT_EQ(fEngine->UpdateKeys(&trans, 1, oldRecord.data(), 1, newRecord.data(), nullptr), qdeKeyViol);
    const KeyError error = PendingKeyError();
    EXPECT_EQ(error.operation, "Modify/Insert");
    EXPECT_EQ(error.index, c.index);
    EXPECT_EQ(AllRefs(), before);
    // The old keys are back in every index, not just entries of record 1.
    for (int32_t i = 0; i < 3; ++i) {
      TqdBaseIndexEngine* index = fEngine->biseGetIndex(i);
      std::vector<uint8_t> key(index->KeyEngine()->KeyLength());
      ASSERT_EQ(index->KeyEngine()->BuildKey(oldRecord.data(), key.data(), 1, false), 0u);
      std::unique_ptr<TqdBaseIndexPath> path(index->CreateIndexPath());
      EXPECT_TRUE(index->FindKey(&trans, key.data(), 0, 0, 1, path.get(), skaEqualFirst, nullptr)) << i;
    }
    EXPECT_EQ(trans.CheckState(), 0u);
    trans.Commit();
  }
}

// A key that cannot be built for the new record (here: no new record for a
// composite key) must not leave earlier indexes on the new keys.
TEST_F(IndexFrameworkTest, AKeyBuildErrorDuringUpdateRestoresEarlierIndexes) {
  AddIndex(u"Ref1", {}, idNone, &TqdRefKeyDescriptor::ClassInfo);
  AddIndex(u"Ref2", {}, idNone, &TqdRefKeyDescriptor::ClassInfo);
  AddIndex(u"ByCode", {2});
  Open();
  Insert({{1, Record(10, u"b", 100)}});
  TqdTestTransaction trans(&fCache);
  std::vector<uint8_t> oldRecord = Record(10, u"b", 100);
  EXPECT_EQ(fEngine->UpdateKeys(&trans, 1, oldRecord.data(), 2, nullptr, nullptr), qdeInvalidParam);
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{1}, {1}, {1}}));
  EXPECT_EQ(trans.CheckState(), 0u);
  trans.Commit();
}

// A record moving into or out of a filtered index: only the side that has
// a key is touched, and an undo takes back only what was done.
TEST_F(IndexFrameworkTest, UpdateKeysFollowsARecordIntoAndOutOfAFilteredIndex) {
  TqdIndexDescriptor* byName = AddIndex(u"ByName", {});
  static_cast<TqdCompKeyDescriptor*>(byName->KeyDescriptor())->Add(1)->SetNullBehaviour(nbFilterNull);
  AddIndex(u"ById", {0});
  Open();
  Insert({{1, Record(10, nullptr, 0)}, {2, Record(20, u"y", 0)}});
  struct Case {
    const char* name;
    const char16_t* oldName;
    const char16_t* newName;
    int32_t newId;
    TqdResult expected;
    std::vector<TqdRefNr> byNameAfter;
    int byNameCalls;
  };
  const Case cases[] = {
      {"into the index", nullptr, u"x", 10, 0, {1, 2}, 1},
      {"out of the index", u"x", nullptr, 10, 0, {2}, 1},
      {"neither", nullptr, nullptr, 10, 0, {2}, 0},
      // ById refuses 20: the insert into ByName is taken back, nothing else.
      {"into the index, then a violation", nullptr, u"x", 20, qdeKeyViol, {2}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TqdTestTransaction trans(&fCache);
    const int callsBefore = Index(0).fInsertCalls + Index(0).fDeleteCalls;
    std::vector<uint8_t> oldRecord = Record(10, c.oldName, 0);
    std::vector<uint8_t> newRecord = Record(c.newId, c.newName, 0);
    EXPECT_EQ(fEngine->UpdateKeys(&trans, 1, oldRecord.data(), 1, newRecord.data(), nullptr), c.expected);
    EXPECT_EQ(Index(0).Refs(), c.byNameAfter);
    EXPECT_EQ(Index(0).fInsertCalls + Index(0).fDeleteCalls - callsBefore, c.byNameCalls);
    EXPECT_EQ(Index(1).Refs(), (std::vector<TqdRefNr>{1, 2}));
    EXPECT_EQ(trans.CheckState(), 0u);
    trans.Commit();
  }
}

TEST_F(IndexFrameworkTest, AFailedDeleteDuringUpdateCorruptsTheTransaction) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}});
  TqdTestTransaction trans(&fCache);
  std::vector<uint8_t> oldRecord = Record(11, u"b", 100);  // not what the index holds
  std::vector<uint8_t> newRecord = Record(12, u"b", 100);
  EXPECT_EQ(fEngine->UpdateKeys(&trans, 1, oldRecord.data(), 1, newRecord.data(), nullptr), qdeKeyViol);
  EXPECT_EQ(PendingKeyError().operation, "Modify/Delete");
  EXPECT_EQ(trans.CheckState(), qdeTransCorrupt);
  trans.Rollback();
}

TEST_F(IndexFrameworkTest, AnUpdateUndoThatFailsCorruptsTheTransaction) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}, {2, Record(20, u"a", 200)}});
  TqdTestTransaction trans(&fCache);
  // Index 0's own delete of the old key succeeds; the undo's delete of the
  // new key is refused.
  Index(0).fDeletesBeforeRefusal = 1;
  std::vector<uint8_t> oldRecord = Record(10, u"b", 100);
  std::vector<uint8_t> newRecord = Record(15, u"b", 200);
  EXPECT_EQ(fEngine->UpdateKeys(&trans, 1, oldRecord.data(), 1, newRecord.data(), nullptr), qdeKeyViol);
  EXPECT_EQ(trans.CheckState(), qdeTransCorrupt);
  trans.Rollback();
}

// --- AddIndex and RemoveIndex ----------------------------------------------------------------

TEST_F(IndexFrameworkTest, AddIndexAppendsTheDescriptorsNewLastIndex) {
  AddIndex(u"ById", {0});
  Open();
  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(CodeOf([&] { fEngine->AddIndex(&trans, 1); }), qdeBadIndexNum);  // not in the descriptor yet
  AddIndex(u"ByCode", {2});
  EXPECT_EQ(TextOf([&] { fEngine->AddIndex(&trans, 0); }), "Index number passed to routine is out of range [0]");
  fEngine->AddIndex(&trans, 1);
  EXPECT_EQ(fEngine->IndexCount(), 2);
  EXPECT_EQ(Engine().fAdded, std::vector<int32_t>{1});
  std::vector<uint8_t> record = Record(1, u"a", 5);
  EXPECT_EQ(fEngine->InsertKeys(&trans, 9, record.data(), nullptr), 0u);
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{9}, {9}}));
  trans.Commit();
}

TEST_F(IndexFrameworkTest, AnIndexThatCannotBeAddedLeavesTheSetAsItWas) {
  AddIndex(u"ById", {0});
  Open();
  AddIndex(u"ByCode", {2});
  Engine().fFailIndexAdded = true;
  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(CodeOf([&] { fEngine->AddIndex(&trans, 1); }), qdeWriteErr);
  EXPECT_EQ(fEngine->IndexCount(), 1);
  std::vector<uint8_t> record = Record(1, u"a", 5);
  EXPECT_EQ(fEngine->InsertKeys(&trans, 9, record.data(), nullptr), 0u);
  trans.Rollback();
}

TEST_F(IndexFrameworkTest, RemoveIndexRenumbersTheLaterIndexesAndTheirBookmarkHandlers) {
  ThreeIndexes();
  Open();
  Insert({{1, Record(10, u"b", 100)}});
  std::unique_ptr<TqdBaseIndexPath> path(fEngine->biseGetIndex(2)->CreateIndexPath());
  ASSERT_EQ(path->SetToRecord(Record(10, u"b", 100).data(), 1), 0u);
  std::vector<uint8_t> before(path->BookmarkSize());
  ASSERT_EQ(path->GetBookmark(before.data(), uint32_t(before.size()), false), 0u);

  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(CodeOf([&] { fEngine->RemoveIndex(&trans, 0); }), qdeBadIndexNum);  // descriptor unchanged
  Indices()->RemoveIndex(0);
  EXPECT_EQ(CodeOf([&] { fEngine->RemoveIndex(&trans, 3); }), qdeBadIndexNum);
  TqdBaseIndexEngine* byName = fEngine->biseGetIndex(1);
  fEngine->RemoveIndex(&trans, 0);
  EXPECT_EQ(Engine().fRemoved, std::vector<int32_t>{0});
  ASSERT_EQ(fEngine->IndexCount(), 2);
  EXPECT_EQ(fEngine->biseGetIndex(0), byName);
  for (int32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(fEngine->biseGetIndex(i)->IndexNumber(), i);
    EXPECT_EQ(fEngine->biseGetIndex(i)->BookmarkHandler()->IndexID(), i);
  }
  EXPECT_EQ(u8(fEngine->biseGetIndex(1)->IndexName()), "ByCode");
  // A bookmark taken before carries the old number; a new one the new.
  EXPECT_EQ(qdGetI32(before.data() + kBookmarkOffIndex), 2);
  EXPECT_EQ(path->CheckBookmark(before.data(), uint32_t(before.size())), qdeBookmarkMismatch);
  std::vector<uint8_t> after(path->BookmarkSize());
  ASSERT_EQ(path->GetBookmark(after.data(), uint32_t(after.size()), false), 0u);
  EXPECT_EQ(qdGetI32(after.data() + kBookmarkOffIndex), 1);
  EXPECT_EQ(path->CheckBookmark(after.data(), uint32_t(after.size())), 0u);
  // The key buffers follow the new set of indexes.
  std::vector<uint8_t> record = Record(20, u"c", 300);
  EXPECT_EQ(fEngine->InsertKeys(&trans, 2, record.data(), nullptr), 0u);
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{1, 2}, {1, 2}}));
  trans.Commit();
}

// --- Index paths -----------------------------------------------------------------------------

TEST_F(IndexFrameworkTest, PathPositionsMoveOnlyWhereAllowed) {
  AddIndex(u"ById", {0});
  Open();
  std::unique_ptr<TqdBaseIndexPath> path(fEngine->biseGetIndex(0)->CreateIndexPath());
  EXPECT_EQ(path->ClassType().ClassName, u"TqdFakeIndexPath");
  struct Case {
    TqdIndexPathPosition from;
    void (TqdBaseIndexPath::*move)();
    TqdIndexPathPosition to;
    bool deleted;
  };
  const Case cases[] = {
      {ippOnKey, &TqdBaseIndexPath::SetToCrackBefore, ippOnCrackBefore, false},
      {ippOnCrackBefore, &TqdBaseIndexPath::SetToCrackAfter, ippOnCrackAfter, false},
      {ippBof, &TqdBaseIndexPath::SetToCrackAfter, ippBof, false},
      {ippEof, &TqdBaseIndexPath::SetToCrackBefore, ippEof, false},
      {ippUnknown, &TqdBaseIndexPath::SetToCrackBefore, ippUnknown, false},
      {ippOnKey, &TqdBaseIndexPath::SetToDeleted, ippOnCrackBefore, true},
      {ippOnCrackAfter, &TqdBaseIndexPath::SetToDeleted, ippOnCrackAfter, false},
      {ippOnKey, &TqdBaseIndexPath::SetToEof, ippEof, false},
      {ippOnKey, &TqdBaseIndexPath::SetToBof, ippBof, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.from) << " -> " << int(c.to));
    path->Clear();
    path->Position = c.from;
    path->RefNr = 5;
    (path.get()->*c.move)();
    EXPECT_EQ(path->Position, c.to);
    EXPECT_EQ(path->Deleted, c.deleted);
  }
  // A crack move clears Deleted.
  path->Position = ippOnKey;
  path->SetToDeleted();
  path->SetToCrackAfter();
  EXPECT_FALSE(path->IsDeleted());
  EXPECT_TRUE(path->IsOnCrack());
}

TEST_F(IndexFrameworkTest, CheckCurrentStateNamesWhyThePathHasNoRecord) {
  std::unique_ptr<TqdBaseIndexPath> path(TqdBaseIndexPath::CreateStandalone());
  const std::pair<TqdIndexPathPosition, TqdResult> cases[] = {{ippOnKey, 0},
                                                              {ippBof, qdeBOF},
                                                              {ippEof, qdeEOF},
                                                              {ippOnCrackBefore, qdeNoCurrentRec},
                                                              {ippUnknown, qdeNoCurrentRec}};
  for (const auto& [position, expected] : cases) {
    path->Position = position;
    path->Deleted = false;
    EXPECT_EQ(path->CheckCurrentState(), expected);
    path->Deleted = true;
    EXPECT_EQ(path->CheckCurrentState(), qdeKeyOrRecDeleted);
  }
}

TEST_F(IndexFrameworkTest, SetToRecordBuildsTheKeyAndAcceptsNoRecord) {
  AddIndex(u"ById", {0});
  Open();
  std::unique_ptr<TqdBaseIndexPath> path(fEngine->biseGetIndex(0)->CreateIndexPath());
  std::vector<uint8_t> record = Record(42, u"a", 1);
  EXPECT_EQ(path->SetToRecord(record.data(), 7), 0u);
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_TRUE(path->KeyValid);
  EXPECT_EQ(path->RefNr, 7);
  EXPECT_EQ(fEngine->biseGetIndex(0)->KeyEngine()->CompareKeyToRecord(path->Key, record.data(), 7), 0);
  EXPECT_EQ(path->SetToRecord(nullptr, 8), 0u);
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_FALSE(path->KeyValid);
  EXPECT_EQ(path->RefNr, 8);
}

TEST_F(IndexFrameworkTest, AssignAndDuplicateCopyThePosition) {
  AddIndex(u"ById", {0});
  AddIndex(u"ByCode", {2});
  Open();
  std::unique_ptr<TqdBaseIndexPath> path(fEngine->biseGetIndex(0)->CreateIndexPath());
  ASSERT_EQ(path->SetToRecord(Record(42, u"a", 1).data(), 7), 0u);
  path->CacheRefNr = 70;
  std::unique_ptr<TqdBaseIndexPath> copy(path->Duplicate());
  EXPECT_EQ(copy->ClassType().ClassName, u"TqdFakeIndexPath");
  EXPECT_EQ(copy->IndexEngine(), path->IndexEngine());
  EXPECT_EQ(copy->Position, ippOnKey);
  EXPECT_EQ(copy->RefNr, 7);
  EXPECT_EQ(copy->CacheRefNr, 70);
  EXPECT_TRUE(copy->KeyValid);
  EXPECT_EQ(fEngine->biseGetIndex(0)->KeyEngine()->CompareKey(copy->Key, path->Key, 0, 0), 0);
  path->Assign(path.get());
  EXPECT_EQ(path->RefNr, 7);
  std::unique_ptr<TqdBaseIndexPath> other(fEngine->biseGetIndex(1)->CreateIndexPath());
  EXPECT_NE(MessageOf([&] { other->Assign(path.get()); }).find("Cannot assign"), std::string::npos);
}

// --- Bookmarks -------------------------------------------------------------------------------

TEST_F(IndexFrameworkTest, GetBookmarkWritesTheStoredLayout) {
  AddIndex(u"ById", {0});
  Open();
  std::unique_ptr<TqdBaseIndexPath> path(fEngine->biseGetIndex(0)->CreateIndexPath());
  ASSERT_EQ(path->SetToRecord(Record(42, u"a", 1).data(), 7), 0u);
  path->CacheRefNr = 70;
  const uint32_t keyLength = fEngine->biseGetIndex(0)->KeyEngine()->KeyLength();
  ASSERT_EQ(path->BookmarkSize(), keyLength + 24);
  std::vector<uint8_t> bookmark(path->BookmarkSize(), 0xCC);
  EXPECT_EQ(path->GetBookmark(bookmark.data(), path->BookmarkSize() - 1, false), qdeInvalidParam);
  EXPECT_EQ(bookmark[0], 0xCC);
  for (bool isCache : {false, true}) {
    SCOPED_TRACE(isCache);
    ASSERT_EQ(path->GetBookmark(bookmark.data(), uint32_t(bookmark.size()), isCache), 0u);
    EXPECT_EQ(qdGetI32(bookmark.data() + 4), 0);
    EXPECT_EQ(bookmark[8], uint8_t(ippOnKey));
    EXPECT_EQ(bookmark[9], 1);
    EXPECT_EQ(bookmark[10], 0);
    EXPECT_EQ(bookmark[11], 0);
    EXPECT_EQ(qdGetI64(bookmark.data() + 12), isCache ? 70 : 7);
    EXPECT_EQ(qdGetI32(bookmark.data() + 20), int32_t(keyLength));
    EXPECT_EQ(std::memcmp(bookmark.data() + 24, path->Key, keyLength), 0);
    EXPECT_EQ(qdGetU32(bookmark.data()), qdElfHash(bookmark.data() + 4, int32_t(20 + keyLength)));
    EXPECT_EQ(path->CheckBookmark(bookmark.data(), uint32_t(bookmark.size())), 0u);
  }
  // Without a valid key the key bytes are a cleared key.
  path->KeyValid = false;
  ASSERT_EQ(path->GetBookmark(bookmark.data(), uint32_t(bookmark.size()), false), 0u);
  std::vector<uint8_t> cleared(keyLength, 0xAA);
  fEngine->biseGetIndex(0)->KeyEngine()->ClearKey(cleared.data());
  EXPECT_EQ(std::memcmp(bookmark.data() + 24, cleared.data(), keyLength), 0);
  bookmark[24] ^= 1;
  EXPECT_EQ(path->CheckBookmark(bookmark.data(), uint32_t(bookmark.size())), qdeBookmarkMismatch);
}

TEST_F(IndexFrameworkTest, AStandalonePathBookmarksWithoutIndexOrKey) {
  std::unique_ptr<TqdBaseIndexPath> path(TqdBaseIndexPath::CreateStandalone());
  EXPECT_EQ(path->Key, nullptr);
  EXPECT_EQ(path->BookmarkSize(), 24u);
  EXPECT_EQ(path->SetToRecord(nullptr, 9), 0u);
  std::vector<uint8_t> bookmark(24);
  ASSERT_EQ(path->GetBookmark(bookmark.data(), 24, false), 0u);
  EXPECT_EQ(qdGetI32(bookmark.data() + 4), -1);
  EXPECT_EQ(qdGetI32(bookmark.data() + 20), 0);
  EXPECT_EQ(qdGetI64(bookmark.data() + 12), 9);
  std::unique_ptr<TqdBaseIndexPath> other(TqdBaseIndexPath::CreateStandalone());
  EXPECT_EQ(other->SetToBookmark(bookmark.data(), 24, false), 0u);
  EXPECT_EQ(other->RefNr, 9);
  EXPECT_EQ(other->Position, ippOnKey);
  TqdVariant value;
  EXPECT_EQ(other->BookmarkAsVariant(bookmark.data(), 24, value), 0u);
}

TEST_F(IndexFrameworkTest, SetToBookmarkRestoresThePosition) {
  AddIndex(u"ById", {0});
  Open();
  TqdBaseIndexEngine* index = fEngine->biseGetIndex(0);
  std::unique_ptr<TqdBaseIndexPath> path(index->CreateIndexPath());
  ASSERT_EQ(path->SetToRecord(Record(42, u"a", 1).data(), 7), 0u);
  path->CacheRefNr = 70;
  path->SetToDeleted();
  for (bool isCache : {false, true}) {
    SCOPED_TRACE(isCache);
    std::vector<uint8_t> bookmark(path->BookmarkSize());
    ASSERT_EQ(path->GetBookmark(bookmark.data(), uint32_t(bookmark.size()), isCache), 0u);
    std::unique_ptr<TqdBaseIndexPath> other(index->CreateIndexPath());
    other->SetToEof();
    EXPECT_EQ(other->SetToBookmark(bookmark.data(), uint32_t(bookmark.size()), isCache), 0u);
    EXPECT_EQ(other->Position, ippOnCrackBefore);
    EXPECT_TRUE(other->Deleted);
    EXPECT_TRUE(other->KeyValid);
    EXPECT_EQ(other->RefNr, isCache ? 0 : 7);
    EXPECT_EQ(other->CacheRefNr, isCache ? 70 : 0);
    EXPECT_EQ(index->KeyEngine()->CompareKey(other->Key, path->Key, 0, 0), 0);
    // Already there: nothing changes, a missing key is taken over.
    other->KeyValid = false;
    EXPECT_EQ(other->SetToBookmark(bookmark.data(), uint32_t(bookmark.size()), isCache), 0u);
    EXPECT_TRUE(other->KeyValid);
    bookmark[0] ^= 1;
    EXPECT_EQ(other->SetToBookmark(bookmark.data(), uint32_t(bookmark.size()), isCache), qdeBookmarkMismatch);
  }
}

// --- Bulk builders ---------------------------------------------------------------------------

TEST_F(IndexFrameworkTest, OneIndexGetsItsOwnBuilderSeveralAHub) {
  AddIndex(u"ById", {0});
  Open();
  TqdTestTransaction trans(&fCache);
  std::unique_ptr<TqdBaseBulkBuilder> one(fEngine->CreateBulkBuilder(&trans));
  EXPECT_NE(dynamic_cast<TqdDefaultIndexBulkBuilder*>(one.get()), nullptr);
  one.reset();
  fEngine.reset();
  AddIndex(u"ByCode", {2});
  Open();
  std::unique_ptr<TqdBaseBulkBuilder> hub(fEngine->CreateBulkBuilder(&trans));
  auto* asHub = dynamic_cast<TqdBulkBuilderHub*>(hub.get());
  ASSERT_NE(asHub, nullptr);
  EXPECT_EQ(asHub->BulkBuilders().size(), 2u);
  trans.Commit();
}

TEST_F(IndexFrameworkTest, TheDefaultBuilderInsertsKeyByKeyAndStopsAtTheFirstViolation) {
  AddIndex(u"ByName", {1}, idAll);
  AddIndex(u"ByCode", {2});
  AddIndex(u"ById", {0});
  Open();
  TqdTestTransaction trans(&fCache);
  std::unique_ptr<TqdBaseBulkBuilder> builder(fEngine->CreateBulkBuilder(&trans));
  TqdRefNr ref = 1;
  EXPECT_EQ(builder->InsertKey(&ref, Record(10, u"a", 100).data(), &trans), 0u);
  ref = 2;
  EXPECT_EQ(builder->InsertKey(&ref, Record(20, u"a", 200).data(), &trans), 0u);
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{1, 2}, {1, 2}, {1, 2}}));
  ref = 3;
  EXPECT_EQ(builder->InsertKey(&ref, Record(30, u"b", 100).data(), &trans), qdeKeyViol);
  EXPECT_EQ(PendingKeyError().operation, "Insert");
  // The hub did not go on to the third index.
  EXPECT_EQ(AllRefs(), (std::vector<std::vector<TqdRefNr>>{{1, 2, 3}, {1, 2}, {1, 2}}));
  EXPECT_EQ(trans.CheckState(), qdeTransCorrupt);
  EXPECT_EQ(builder->Finalize(&trans), 0u);
  trans.Rollback();
}

TEST_F(IndexFrameworkTest, ABuilderRefusesAnIndexThatIsNotEmpty) {
  AddIndex(u"ById", {0});
  Open();
  Insert({{1, Record(10, u"a", 100)}});
  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(TextOf([&] { delete fEngine->CreateBulkBuilder(&trans); }), "Index is not empty.");
  EXPECT_EQ(CodeOf([&] { delete fEngine->CreateBulkBuilder(&trans); }), qdeIndexNotEmpty);
  fEngine->biseGetIndex(0)->DeleteAllKeys(&trans);
  std::unique_ptr<TqdBaseBulkBuilder> builder(fEngine->CreateBulkBuilder(&trans));
  EXPECT_NE(builder, nullptr);
  trans.Commit();
}

}  // namespace
}  // namespace qd::test
