// The static record engine: slot layout, records added, read, updated,
// deleted and walked in "QDDH" blocks, record numbers, recovery, and what a
// damaged block may and may not make the engine do.
#include "storage/qdseRecordEngineStatic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterEngineCallback.h"
#include "dictionary/qdsdFilterEngineSimpleExpression.h"
#include "tests/dictionary/qdsdCanExprBuilder.h"
#include "tests/storage/qdsrTestOwner.h"
#include "tests/support/qdTestFolder.h"

namespace qd::test {
namespace {

// --- Layout ------------------------------------------------------------------------------------

struct LayoutCase {
  uint32_t u;
  uint32_t length;
  uint16_t recs;
  uint16_t bitmap;
  uint16_t slot;
  uint16_t first;
};

TEST(StaticRecordLayout, SlotsArePackedAgainstTheEndOfTheUsableArea) {
  const LayoutCase cases[] = {
      {4092, 100, 40, 5, 100, 92},  {4092, 1000, 4, 1, 1008, 60}, {65532, 100, 654, 82, 100, 132},
      {4092, 4059, 1, 1, 4059, 33}, {4096, 1, 3612, 452, 1, 484},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "u=" << c.u << " L=" << c.length);
    const TqdStaticRecordLayout layout = qdStaticRecordLayout(c.u, c.length);
    EXPECT_EQ(layout.RecsPerBlock, c.recs);
    EXPECT_EQ(layout.InUseArraySize, c.bitmap);
    EXPECT_EQ(layout.RecordLength, c.slot);
    EXPECT_EQ(layout.FirstRecordOffset, c.first);
    EXPECT_GE(layout.RecordLength, c.length);
    EXPECT_EQ(uint32_t(layout.FirstRecordOffset) + uint32_t(layout.RecordLength) * layout.RecsPerBlock, c.u);
  }
  EXPECT_EQ(CodeOf([] { (void)qdStaticRecordLayout(4092, 4060); }), qdeRecordTooLarge);
}

// --- Fixture -----------------------------------------------------------------------------------

// A record filter of the dictionary: a callback filter engine over a test
// predicate, active unless asked otherwise.
class RecordFilter {
 public:
  explicit RecordFilter(std::function<bool(const uint8_t*)> aMatches, bool aActive = true)
      : fMatches(std::move(aMatches)),
        fDescriptor(this, &Call),
        fEngine(TqdBaseFilterEngine::CreateFor(&fDescriptor, nullptr)) {
    if (aActive) {
      EXPECT_EQ(fEngine->ActivateFilter(0), 0u);
    }
  }
  TqdBaseFilterEngine* Engine() const { return fEngine.get(); }

 private:
  static bool Call(void* aCookie, const uint8_t* aRecord) {
    return static_cast<RecordFilter*>(aCookie)->fMatches(aRecord);
  }

  std::function<bool(const uint8_t*)> fMatches;
  TqdCallbackFilterDescriptor fDescriptor;
  std::unique_ptr<TqdBaseFilterEngine> fEngine;
};

struct Visit {
  TqdRefNr refNr;
  int32_t id;
};

class StaticRecordTest : public ::testing::Test {
 public:
  void TearDown() override {
    fEngine.reset();
    fTable.reset();
    fCache.CheckInvariants();
    qdCheckTimeoutHook = nullptr;
  }

  // A table whose records are aTextUnits wide characters long plus an id
  // (and, with aRefNrField, a RefNr field).
  void Build(int32_t aTextUnits = 40, bool aRefNrField = true) {
    fDict = std::make_unique<TqdDataDictionary>();
    fDict->FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
    if (aTextUnits > 0) fDict->FieldsDescriptor()->AddField(u"Text", u"", qdtWideString, aTextUnits, 0, false);
    if (aRefNrField) fDict->FieldsDescriptor()->AddField(u"Ref", u"", qdtRefNr, 0, 0, false);
    fTable = TqdTestTable::Create(&fCache, fName);
    fFiles = {&fTable->Access()};
    TqdTestTransaction trans(&fCache);
    fEngine.reset(TqdBaseRecordEngine::CreateEngine(fDict.get(), fFiles, &trans));
    trans.Commit();
  }
  void Reopen() {
    fEngine.reset();
    fTable.reset();
    fTable = TqdTestTable::Open(&fCache, fName);
    fFiles = {&fTable->Access()};
    fEngine.reset(TqdBaseRecordEngine::CreateEngine(fDict.get(), fFiles, nullptr));
  }
  TqdStaticRecordEngine& Static() { return static_cast<TqdStaticRecordEngine&>(*fEngine); }
  TqdFieldsDescriptor* Fields() { return fDict->FieldsDescriptor(); }

  std::vector<uint8_t> Record(int32_t aId) {
    std::vector<uint8_t> record(size_t(Fields()->RecordLength()) + 4, 0);
    Fields()->InitRecord(record.data());
    Fields()->SetRecordField(0, record.data(), &aId);
    return record;
  }
  int32_t IdOf(const uint8_t* aRecord) {
    int32_t id = 0;
    bool isNull = false;
    Fields()->GetRecordField(0, aRecord, isNull, &id);
    return id;
  }
  TqdRefNr RefOf(const uint8_t* aRecord) {
    TqdRefNr refNr = 0;
    bool isNull = false;
    Fields()->GetRecordField(Fields()->FieldCount() - 1, aRecord, isNull, &refNr);
    return isNull ? -1 : refNr;
  }
  // Adds records aFirst..aLast (ids), committed; returns their references.
  std::vector<TqdRefNr> Add(int32_t aFirst, int32_t aLast) {
    std::vector<TqdRefNr> refs;
    TqdTestTransaction trans(&fCache);
    for (int32_t id = aFirst; id <= aLast; ++id) {
      std::vector<uint8_t> record = Record(id);
      TqdRefNr refNr = 0;
      fEngine->AddRecord(&trans, refNr, record.data());
      refs.push_back(refNr);
    }
    trans.Commit();
    return refs;
  }
  void Delete(TqdRefNr aRefNr) {
    TqdTestTransaction trans(&fCache);
    fEngine->DeleteRecord(&trans, aRefNr);
    trans.Commit();
  }
  int32_t Read(TqdRefNr aRefNr) {
    std::vector<uint8_t> record = Record(0);
    fEngine->ReadRecord(nullptr, aRefNr, record.data());
    return IdOf(record.data());
  }
  int32_t ReadIn(TqdTestTransaction& aTrans, TqdRefNr aRefNr) {
    std::vector<uint8_t> record = Record(0);
    fEngine->ReadRecord(&aTrans, aRefNr, record.data());
    return IdOf(record.data());
  }
  // The ids in walk order, with their references.
  std::vector<Visit> Walk(bool aBackward, TqdBaseFilterEngine* aFilter = nullptr, bool aWithBuffer = true) {
    std::vector<Visit> visits;
    struct Ctx {
      StaticRecordTest* test;
      std::vector<Visit>* visits;
    } ctx{this, &visits};
    auto iterator = [](void* aCookie, TqdRefNr aRefNr, PqdRecordBuffer aRecord) {
      auto* c = static_cast<Ctx*>(aCookie);
      c->visits->push_back({aRefNr, c->test->IdOf(aRecord)});
      return rirContinue;
    };
    std::vector<uint8_t> buffer = Record(0);
    PqdRecordBuffer data = aWithBuffer ? buffer.data() : nullptr;
    TqdRefNr refNr = 0;
    if (aBackward)
      fEngine->IterateBackward(nullptr, refNr, &data, iterator, &ctx, aFilter, false, false);
    else
      fEngine->Iterate(nullptr, refNr, &data, iterator, &ctx, aFilter, false, false);
    EXPECT_EQ(refNr, 0);
    return visits;
  }
  // Changes bytes of a committed block.
  void Poke(TqdBlockNumber aBlock, uint32_t aOffset, const std::vector<uint8_t>& aBytes) {
    TqdTestTransaction trans(&fCache);
    TqdBlockRef block = fTable->Access().GetBlock(&trans, aBlock, 0, true);
    std::memcpy(block.WritableData() + aOffset, aBytes.data(), aBytes.size());
    block.Release();
    trans.Commit();
  }
  void PokeU16(TqdBlockNumber aBlock, uint32_t aOffset, uint16_t aValue) {
    Poke(aBlock, aOffset, {uint8_t(aValue), uint8_t(aValue >> 8)});
  }
  void PokeU32(TqdBlockNumber aBlock, uint32_t aOffset, uint32_t aValue) {
    Poke(aBlock, aOffset, {uint8_t(aValue), uint8_t(aValue >> 8), uint8_t(aValue >> 16), uint8_t(aValue >> 24)});
  }
  std::vector<uint8_t> CommittedBlock(TqdBlockNumber aBlock) {
    TqdBlockRef block = fTable->Access().GetBlock(nullptr, aBlock, 0, false);
    return std::vector<uint8_t>(block.Data(), block.Data() + 4096);
  }
  uint32_t HeaderField(uint32_t aOffset) {
    auto header = fTable->Access().HeaderAccess(nullptr, false);
    return qdGetU32(header->Header() + Static().HeaderSection() + aOffset);
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  std::string fName = "/db/r.qd1";
  std::unique_ptr<TqdDataDictionary> fDict;
  std::unique_ptr<TqdTestTable> fTable;
  TqdBlockAccessList fFiles;
  std::unique_ptr<TqdBaseRecordEngine> fEngine;
};

// --- Records -----------------------------------------------------------------------------------

TEST_F(StaticRecordTest, RecordsSurviveCommitAndReopenWithTheirReferences) {
  Build();
  ASSERT_EQ(fEngine->ClassType().ClassName, u"TqdStaticRecordEngine");
  const std::vector<TqdRefNr> refs = Add(1, 100);
  Reopen();
  EXPECT_EQ(fEngine->breGetRecordCount(nullptr), 100u);
  for (int32_t i = 0; i < 100; ++i) {
    std::vector<uint8_t> record = Record(0);
    fEngine->ReadRecord(nullptr, refs[size_t(i)], record.data());
    EXPECT_EQ(IdOf(record.data()), i + 1);
    EXPECT_EQ(RefOf(record.data()), refs[size_t(i)]);
  }
  const std::vector<Visit> visits = Walk(false);
  ASSERT_EQ(visits.size(), 100u);
  for (size_t i = 0; i < visits.size(); ++i) EXPECT_EQ(visits[i].refNr, refs[i]);
  Static().CheckInvariants(nullptr);
}

TEST_F(StaticRecordTest, OneMoreRecordThanABlockHoldsOpensASecondBlock) {
  Build();
  const uint32_t perBlock = Static().RecsPerBlock();
  const std::vector<TqdRefNr> refs = Add(1, int32_t(perBlock) + 1);
  const TqdBlockNumber first = qdStaticRefNrBlock(refs[0]);
  const TqdBlockNumber second = qdStaticRefNrBlock(refs.back());
  EXPECT_NE(first, second);
  EXPECT_EQ(qdStaticRefNrSlot(refs[0]), 1u);
  EXPECT_EQ(qdStaticRefNrSlot(refs[perBlock - 1]), perBlock);
  EXPECT_EQ(qdStaticRefNrSlot(refs.back()), 1u);
  EXPECT_EQ(HeaderField(4), first);
  EXPECT_EQ(HeaderField(8), second);
  EXPECT_EQ(HeaderField(12), perBlock - 1);
  EXPECT_EQ(HeaderField(16), second);  // the full block left the free-block chain
  const std::vector<uint8_t> full = CommittedBlock(first);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(full.data()), 4), "QDDH");
  EXPECT_EQ(qdGetU16(full.data() + 28), 0u);
  EXPECT_EQ(qdGetU16(full.data() + 30), perBlock);
  EXPECT_EQ(qdGetU32(full.data() + 16), second);
  const std::vector<uint8_t> open = CommittedBlock(second);
  EXPECT_EQ(qdGetU16(open.data() + 28), 2u);
  EXPECT_EQ(qdGetU32(open.data() + 20), first);
  Static().CheckInvariants(nullptr);
}

TEST_F(StaticRecordTest, ADeletedSlotIsReusedFirstAndItsFullBlockRejoinsTheFreeChain) {
  Build();
  const uint32_t perBlock = Static().RecsPerBlock();
  const std::vector<TqdRefNr> refs = Add(1, int32_t(perBlock) + 1);
  Delete(refs[5]);
  EXPECT_EQ(HeaderField(16), qdStaticRefNrBlock(refs[5]));
  Delete(refs[7]);
  const std::vector<TqdRefNr> again = Add(500, 501);
  EXPECT_EQ(again[0], refs[7]);  // last freed, first reused
  EXPECT_EQ(again[1], refs[5]);
  EXPECT_EQ(Read(refs[5]), 501);
  EXPECT_EQ(fEngine->breGetRecordCount(nullptr), perBlock + 1);
  Static().CheckInvariants(nullptr);
}

TEST_F(StaticRecordTest, UpdateKeepsTheReferenceAndHandsBackTheOldImage) {
  Build();
  const TqdRefNr ref = Add(1, 3)[1];
  std::vector<uint8_t> changed = Record(42);
  std::vector<uint8_t> old = Record(0);
  TqdTestTransaction trans(&fCache);
  fEngine->UpdateRecord(&trans, ref, changed.data(), old.data());
  trans.Commit();
  EXPECT_EQ(IdOf(old.data()), 2);
  EXPECT_EQ(RefOf(old.data()), ref);
  EXPECT_EQ(RefOf(changed.data()), ref);
  EXPECT_EQ(Read(ref), 42);
}

TEST_F(StaticRecordTest, ReferencesThatNameNoRecordAreRefused) {
  Build();
  const std::vector<TqdRefNr> refs = Add(1, 3);
  const TqdBlockNumber block = qdStaticRefNrBlock(refs[0]);
  Delete(refs[1]);
  struct Case {
    const char* name;
    TqdRefNr refNr;
    TqdResult code;
  } cases[] = {
      {"slot 0", qdMakeStaticRefNr(block, 0), qdeBadRefNr},
      {"slot past the block", qdMakeStaticRefNr(block, Static().RecsPerBlock() + 1u), qdeBadRefNr},
      {"block past the file", qdMakeStaticRefNr(block + 50, 1), qdeBadBlockNum},
      {"block 0", qdMakeStaticRefNr(0, 1), qdeBadBlockNum},
      {"deleted", refs[1], qdeKeyOrRecDeleted},
      {"free slot never used", qdMakeStaticRefNr(block, 10), qdeKeyOrRecDeleted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CodeOf([&] { (void)Read(c.refNr); }), c.code);
    TqdTestTransaction trans(&fCache);
    EXPECT_EQ(CodeOf([&] { fEngine->DeleteRecord(&trans, c.refNr); }), c.code);
    std::vector<uint8_t> record = Record(9);
    EXPECT_EQ(CodeOf([&] { fEngine->UpdateRecord(&trans, c.refNr, record.data(), nullptr); }), c.code);
    trans.Rollback();
  }
  EXPECT_NE(
      MessageOf([&] {
        (void)Read(refs[1]);
      }).find("Record has been deleted, cannot read/delete/update it [/db/r.qd1, ref " + std::to_string(refs[1]) + "]"),
      std::string::npos);
}

TEST_F(StaticRecordTest, ABlockOfAnotherKindIsNotADataBlock) {
  Build();
  Add(1, 1);
  TqdBlockNumber other = 0;
  {
    TqdTestTransaction trans(&fCache);
    auto header = fTable->Access().HeaderAccess(&trans, true);
    TqdBlockRef block = header->GetNewBlock(&trans, fEngine->ID());
    other = block.BlockNumber();
    qdSetBlockSignature(block.WritableData(), qdSignature("QDIH"));
    block.Release();
    header.reset();
    trans.Commit();
  }
  EXPECT_EQ(CodeOf([&] { (void)Read(qdMakeStaticRefNr(other, 1)); }), qdeNotDataBlock);
  EXPECT_NE(
      MessageOf([&] {
        (void)Read(qdMakeStaticRefNr(other, 1));
      }).find("Block just read from file is not a valid data block [/db/r.qd1, block " + std::to_string(other) + "]"),
      std::string::npos);
}

// --- Walks ---------------------------------------------------------------------------------------

TEST_F(StaticRecordTest, AnEmptyTableAnswersTheEndEverywhere) {
  Build();
  TqdRefNr refNr = 7;
  fEngine->ReadNextRecord(nullptr, 0, refNr, nullptr);
  EXPECT_EQ(refNr, 0);
  refNr = 7;
  fEngine->ReadPrevRecord(nullptr, 0, refNr, nullptr);
  EXPECT_EQ(refNr, 0);
  EXPECT_TRUE(Walk(false).empty());
  EXPECT_TRUE(Walk(true).empty());
  uint32_t recNo = 9;
  EXPECT_EQ(fEngine->RecNoGet(nullptr, qdMakeStaticRefNr(1, 1), nullptr, recNo, false), qdeEOF);
  EXPECT_EQ(recNo, 0u);
  EXPECT_EQ(fEngine->RecNoSet(nullptr, 1, refNr, nullptr, false), qdeEOF);
  EXPECT_EQ(fEngine->breGetRecordCount(nullptr), 0u);
}

TEST_F(StaticRecordTest, NextAndPreviousSkipFreeSlotsAndCrossBlocks) {
  Build();
  const uint32_t perBlock = Static().RecsPerBlock();
  const std::vector<TqdRefNr> refs = Add(1, int32_t(perBlock) + 3);
  Delete(refs[perBlock - 1]);  // last slot of block 1
  Delete(refs[perBlock]);      // first slot of block 2
  std::vector<uint8_t> record = Record(0);
  TqdRefNr refNr = 0;
  // From a deleted record the walk goes on with the next live one.
  fEngine->ReadNextRecord(nullptr, refs[perBlock - 1], refNr, record.data());
  EXPECT_EQ(refNr, refs[perBlock + 1]);
  EXPECT_EQ(IdOf(record.data()), int32_t(perBlock) + 2);
  fEngine->ReadNextRecord(nullptr, refs[perBlock - 2], refNr, nullptr);
  EXPECT_EQ(refNr, refs[perBlock + 1]);
  fEngine->ReadPrevRecord(nullptr, refs[perBlock + 1], refNr, record.data());
  EXPECT_EQ(refNr, refs[perBlock - 2]);
  EXPECT_EQ(RefOf(record.data()), refs[perBlock - 2]);
  fEngine->ReadPrevRecord(nullptr, 0, refNr, nullptr);
  EXPECT_EQ(refNr, refs.back());
  fEngine->ReadNextRecord(nullptr, refs.back(), refNr, nullptr);
  EXPECT_EQ(refNr, 0);
  fEngine->ReadPrevRecord(nullptr, refs[0], refNr, nullptr);
  EXPECT_EQ(refNr, 0);
}

TEST_F(StaticRecordTest, IterateVisitsLiveRecordsInBothDirectionsAndStopsWhereAsked) {
  Build();
  const uint32_t perBlock = Static().RecsPerBlock();
  const std::vector<TqdRefNr> refs = Add(1, int32_t(perBlock) + 5);
  Delete(refs[2]);
  std::vector<Visit> forward = Walk(false);
  ASSERT_EQ(forward.size(), refs.size() - 1);
  EXPECT_EQ(forward[2].id, 4);
  std::vector<Visit> backward = Walk(true, nullptr, false);
  ASSERT_EQ(backward.size(), forward.size());
  for (size_t i = 0; i < forward.size(); ++i) EXPECT_EQ(backward[backward.size() - 1 - i].refNr, forward[i].refNr);

  // Stop at id 10, then resume after it.
  auto stopAtTen = [](void* aCookie, TqdRefNr, PqdRecordBuffer aRecord) {
    auto* test = static_cast<StaticRecordTest*>(aCookie);
    return test->IdOf(aRecord) == 10 ? rirStop : rirContinue;
  };
  TqdRefNr refNr = 0;
  fEngine->Iterate(nullptr, refNr, nullptr, stopAtTen, this, nullptr, false, false);
  EXPECT_EQ(refNr, refs[9]);
  std::vector<int32_t> rest;
  struct Ctx {
    StaticRecordTest* test;
    std::vector<int32_t>* ids;
  } ctx{this, &rest};
  auto collect = [](void* aCookie, TqdRefNr, PqdRecordBuffer aRecord) {
    auto* c = static_cast<Ctx*>(aCookie);
    c->ids->push_back(c->test->IdOf(aRecord));
    return rirContinue;
  };
  fEngine->Iterate(nullptr, refNr, nullptr, collect, &ctx, nullptr, true, true);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.front(), 11);
  EXPECT_EQ(rest.size(), refs.size() - 10);
  rest.clear();
  refNr = refs[9];
  fEngine->IterateBackward(nullptr, refNr, nullptr, collect, &ctx, nullptr, true, false);
  EXPECT_EQ(rest, (std::vector<int32_t>{9, 8, 7, 6, 5, 4, 2, 1}));
}

TEST_F(StaticRecordTest, ADataPointerIsLentForTheCallAndTheSharedBlockIsNeverWritten) {
  Build();
  const TqdRefNr ref = Add(1, 1)[0];
  const TqdBlockNumber block = qdStaticRefNrBlock(ref);
  // A stored RefNr value that is not the record's own: presenting the
  // record must not repair it inside the committed block.
  const uint32_t refOffset = Static().FirstRecordOffset() + uint32_t(Fields()->FieldDescriptor(2)->Offset());
  PokeU32(block, refOffset, 0x12345);
  const std::vector<uint8_t> before = CommittedBlock(block);

  struct Seen {
    StaticRecordTest* test;
    PqdRecordBuffer* data = nullptr;
    PqdRecordBuffer lent = nullptr;
    PqdRecordBuffer passed = nullptr;
    TqdRefNr lentRef = 0;
  } seen{this};
  // The lent image is valid only during the call: read it there.
  auto iterator = [](void* aCookie, TqdRefNr, PqdRecordBuffer aRecord) {
    auto* s = static_cast<Seen*>(aCookie);
    s->lent = *s->data;
    s->passed = aRecord;
    s->lentRef = s->test->RefOf(*s->data);
    return rirContinue;
  };
  PqdRecordBuffer data = nullptr;
  seen.data = &data;
  TqdRefNr refNr = 0;
  fEngine->Iterate(nullptr, refNr, &data, iterator, &seen, nullptr, false, false);
  EXPECT_NE(seen.lent, nullptr);
  EXPECT_EQ(seen.lent, seen.passed);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(CommittedBlock(block), before);

  // A caller's buffer and read-for-iterate get the record's own reference.
  std::vector<uint8_t> buffer = Record(0);
  data = buffer.data();
  fEngine->Iterate(nullptr, refNr, &data, iterator, &seen, nullptr, false, false);
  EXPECT_EQ(RefOf(buffer.data()), ref);
  data = nullptr;
  EXPECT_EQ(fEngine->ReadRecordForIterate(nullptr, ref, &data, iterator, &seen, nullptr), rirContinue);
  EXPECT_EQ(seen.lentRef, ref);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(CommittedBlock(block), before);
}

TEST_F(StaticRecordTest, RecordNumbersRoundTripWithAndWithoutAFilter) {
  Build();
  const uint32_t perBlock = Static().RecsPerBlock();
  std::vector<TqdRefNr> refs = Add(1, int32_t(perBlock) * 2 + 7);
  Delete(refs[4]);
  Delete(refs[perBlock + 1]);
  RecordFilter odd([this](const uint8_t* aRecord) { return IdOf(aRecord) % 2 == 1; });
  RecordFilter inactive([](const uint8_t*) { return false; }, false);
  for (TqdBaseFilterEngine* filter : {static_cast<TqdBaseFilterEngine*>(nullptr), odd.Engine(), inactive.Engine()}) {
    for (bool flip : {false, true}) {
      SCOPED_TRACE(testing::Message() << "filter " << (filter == odd.Engine()) << " flip " << flip);
      uint32_t expected = 0;
      std::vector<Visit> order = Walk(flip, filter == odd.Engine() ? filter : nullptr);
      for (const Visit& v : order) {
        ++expected;
        uint32_t recNo = 0;
        ASSERT_EQ(fEngine->RecNoGet(nullptr, v.refNr, filter, recNo, flip), 0u);
        EXPECT_EQ(recNo, expected);
        TqdRefNr refNr = 0;
        ASSERT_EQ(fEngine->RecNoSet(nullptr, recNo, refNr, filter, flip), 0u);
        EXPECT_EQ(refNr, v.refNr);
      }
      TqdRefNr refNr = 0;
      EXPECT_EQ(fEngine->RecNoSet(nullptr, expected + 1, refNr, filter, flip), qdeEOF);
      EXPECT_EQ(refNr, 0);
    }
  }
  uint32_t recNo = 0;
  EXPECT_EQ(fEngine->RecNoGet(nullptr, refs[1], odd.Engine(), recNo, false), qdeNoCurrentRec);  // id 2 fails
  EXPECT_EQ(fEngine->RecNoGet(nullptr, refs[4], nullptr, recNo, false), qdeNoCurrentRec);       // deleted
  EXPECT_EQ(fEngine->RecNoGet(nullptr, refs[4], nullptr, recNo, true), qdeEOF);
}

// Record filters are the dictionary's filter engines, asked by the engine
// itself: an expression filter over the record's fields hides what it
// refuses from walks, from read-for-iterate and from record numbers.
TEST_F(StaticRecordTest, AnExpressionFilterHidesRecordsFromWalksAndReads) {
  Build();
  const std::vector<TqdRefNr> refs = Add(1, int32_t(Static().RecsPerBlock()) + 20);
  CanExprBuilder expression;
  // Id > 10 and Id <= 30, the range spanning two blocks' worth of ids.
  const int32_t last = int32_t(Static().RecsPerBlock()) + 10;
  const auto inRange =
      expression.Binary(coAND, expression.Compare(coGT, false, 0, expression.Field(1), expression.Int32(10)),
                        expression.Compare(coLE, false, 0, expression.Field(1), expression.Int32(last)));
  TqdSimpleExpressionFilterDescriptor descriptor(
      std::make_shared<const std::vector<uint8_t>>(expression.Build(inRange)), -1);
  std::unique_ptr<TqdBaseFilterEngine> filter(TqdBaseFilterEngine::CreateFor(&descriptor, Fields()));
  ASSERT_EQ(filter->ActivateFilter(0), 0u);
  for (const bool backward : {false, true}) {
    for (const bool withBuffer : {true, false}) {
      SCOPED_TRACE(testing::Message() << "backward " << backward << " buffer " << withBuffer);
      std::vector<int32_t> ids;
      for (const Visit& v : Walk(backward, filter.get(), withBuffer)) ids.push_back(v.id);
      std::vector<int32_t> expected;
      for (int32_t id = 11; id <= last; ++id) expected.push_back(id);
      if (backward) std::reverse(expected.begin(), expected.end());
      EXPECT_EQ(ids, expected);
    }
  }
  int32_t calls = 0;
  auto count = [](void* aCookie, TqdRefNr, PqdRecordBuffer) {
    ++*static_cast<int32_t*>(aCookie);
    return rirContinue;
  };
  EXPECT_EQ(fEngine->ReadRecordForIterate(nullptr, refs[0], nullptr, count, &calls, filter.get()), rirContinue);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(fEngine->ReadRecordForIterate(nullptr, refs[10], nullptr, count, &calls, filter.get()), rirContinue);
  EXPECT_EQ(calls, 1);
  uint32_t recNo = 0;
  ASSERT_EQ(fEngine->RecNoGet(nullptr, refs[12], filter.get(), recNo, false), 0u);
  EXPECT_EQ(recNo, 3u);
  // Switched off, the filter hides nothing.
  ASSERT_EQ(filter->DeactivateFilter(0), 0u);
  EXPECT_EQ(Walk(false, filter.get()).size(), refs.size());
}

TEST_F(StaticRecordTest, RecoverIterateDeliversTheLiveSlotsOfADataBlockOnly) {
  Build();
  const std::vector<TqdRefNr> refs = Add(1, 6);
  Delete(refs[2]);
  const TqdBlockNumber block = qdStaticRefNrBlock(refs[0]);
  std::vector<uint8_t> image = CommittedBlock(block);
  std::vector<std::pair<TqdRefNr, int32_t>> seen;
  struct Ctx {
    StaticRecordTest* test;
    std::vector<std::pair<TqdRefNr, int32_t>>* seen;
  } ctx{this, &seen};
  auto iterator = [](void* aCookie, TqdRefNr aRefNr, PqdRecordBuffer aRecord) {
    auto* c = static_cast<Ctx*>(aCookie);
    c->seen->push_back({aRefNr, c->test->IdOf(aRecord)});
    return rirContinue;
  };
  EXPECT_EQ(fEngine->RecoverIterate(image.data(), block, nullptr, iterator, &ctx), rirContinue);
  EXPECT_EQ(seen, (std::vector<std::pair<TqdRefNr, int32_t>>{{0, 1}, {0, 2}, {0, 4}, {0, 5}, {0, 6}}));
  seen.clear();
  EXPECT_EQ(fEngine->RecoverIterate(image.data(), block + 1, nullptr, iterator, &ctx), rirContinue);
  EXPECT_EQ(fEngine->RecoverIterate(CommittedBlock(0).data(), 0, nullptr, iterator, &ctx), rirContinue);
  EXPECT_EQ(fEngine->RecoverIterate(nullptr, block, nullptr, iterator, &ctx), rirContinue);
  EXPECT_TRUE(seen.empty());
  // A damaged count never walks past the layout.
  qdPutU16(image.data() + 30, 0xFFFF);
  std::memset(image.data() + 32, 0xFF, Static().InUseArraySize());
  EXPECT_EQ(fEngine->RecoverIterate(image.data(), block, nullptr, iterator, &ctx), rirContinue);
  EXPECT_EQ(seen.size(), Static().RecsPerBlock());
  EXPECT_EQ(fEngine->GetRecoverID(), fEngine->ID());
}

TEST_F(StaticRecordTest, ReplaceAllRecordsRewritesInPlaceAndStopsOnAnError) {
  Build();
  const std::vector<TqdRefNr> refs = Add(1, 5);
  auto doubleId = [](void* aCookie, PqdRecordBuffer aRecord) -> TqdResult {
    auto* test = static_cast<StaticRecordTest*>(aCookie);
    const int32_t id = test->IdOf(aRecord) * 2;
    test->Fields()->SetRecordField(0, aRecord, &id);
    return 0;
  };
  {
    TqdTestTransaction trans(&fCache);
    fEngine->ReplaceAllRecords(&trans, doubleId, this);
    trans.Commit();
  }
  for (size_t i = 0; i < refs.size(); ++i) EXPECT_EQ(Read(refs[i]), int32_t(i + 1) * 2);
  auto refuse = [](void*, PqdRecordBuffer) -> TqdResult { return qdeInvalidDesc; };
  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(CodeOf([&] { fEngine->ReplaceAllRecords(&trans, refuse, nullptr); }), qdeInvalidDesc);
  EXPECT_NE(trans.CheckState(), 0u);  // changed blocks: only a rollback is left
  trans.Rollback();
  EXPECT_EQ(Read(refs[0]), 2);
}

TEST_F(StaticRecordTest, LongWalksLetTheThreadsDeadlineEndThem) {
  Build(0, false);
  Add(1, 2500);
  static int calls;
  calls = 0;
  qdCheckTimeoutHook = [] { ++calls; };
  EXPECT_EQ(Walk(false).size(), 2500u);
  EXPECT_GE(calls, 3);  // slot 2, 1002, 2002 at least, and between blocks
  qdCheckTimeoutHook = [] {
    if (++calls > 2) throw EqdBaseException(15461);
  };
  calls = 0;
  EXPECT_EQ(CodeOf([&] { (void)Walk(true); }), 15461u);
  calls = 0;
  uint32_t recNo = 0;
  EXPECT_EQ(CodeOf([&] { (void)fEngine->RecNoGet(nullptr, qdMakeStaticRefNr(1, 1), nullptr, recNo, true); }), 15461u);
  qdCheckTimeoutHook = nullptr;
}

// --- Damaged blocks ------------------------------------------------------------------------------

TEST_F(StaticRecordTest, DamagedCountsAndChainsAreCorruptionNotStrayWrites) {
  struct Case {
    const char* name;
    std::function<void(StaticRecordTest&, TqdBlockNumber)> damage;
    std::function<void(StaticRecordTest&)> operation;
  };
  const auto add = [](StaticRecordTest& t) { t.Add(100, 100); };
  const auto walk = [](StaticRecordTest& t) { (void)t.Walk(false); };
  const Case cases[] = {
      // The next-free value of the block's first free slot drives the next
      // add's offset.
      {"next free beyond the block",
       [](StaticRecordTest& t, TqdBlockNumber b) {
         t.PokeU32(b, t.Static().FirstRecordOffset() + 4 * t.Static().SlotLength(), 60000);
       },
       add},
      {"next free names a slot in use",
       [](StaticRecordTest& t, TqdBlockNumber b) {
         t.PokeU32(b, t.Static().FirstRecordOffset() + 4 * t.Static().SlotLength(), 2);
       },
       add},
      {"first free beyond the block", [](StaticRecordTest& t, TqdBlockNumber b) { t.PokeU16(b, 28, 5000); }, add},
      {"first free in use", [](StaticRecordTest& t, TqdBlockNumber b) { t.PokeU16(b, 28, 1); }, add},
      {"in-use count above the bitmap", [](StaticRecordTest& t, TqdBlockNumber b) { t.PokeU16(b, 30, 9); }, walk},
      {"in-use count beyond the layout", [](StaticRecordTest& t, TqdBlockNumber b) { t.PokeU16(b, 30, 60000); }, walk},
      {"data chain loops", [](StaticRecordTest& t, TqdBlockNumber b) { t.PokeU32(b, 16, b); }, walk},
      {"backward chain loops", [](StaticRecordTest& t, TqdBlockNumber b) { t.PokeU32(b, 20, b); },
       [](StaticRecordTest& t) { (void)t.Walk(true); }},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fName = "/db/damaged" + std::to_string(++index) + ".qd1";
    Build();
    const std::vector<TqdRefNr> refs = Add(1, 4);
    const TqdBlockNumber block = qdStaticRefNrBlock(refs[0]);
    c.damage(*this, block);
    const std::vector<uint8_t> before = CommittedBlock(block);
    EXPECT_EQ(CodeOf([&] { c.operation(*this); }), qdeHeaderCorrupt);
    EXPECT_EQ(CommittedBlock(block), before);
    fEngine.reset();
    fTable.reset();
  }
}

TEST_F(StaticRecordTest, AHeaderWhoseFreeCountsDisagreeRefusesChanges) {
  Build();
  const std::vector<TqdRefNr> refs = Add(1, 2);
  auto header = [&](uint32_t aOffset, uint32_t aValue) { PokeU32(0, Static().HeaderSection() + aOffset, aValue); };
  header(12, 0);  // no free slots, but a free-block chain
  EXPECT_EQ(CodeOf([&] { Add(3, 3); }), qdeHeaderCorrupt);
  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(CodeOf([&] { fEngine->DeleteRecord(&trans, refs[0]); }), qdeHeaderCorrupt);
  trans.Rollback();
}

// --- The dictionary check --------------------------------------------------------------------------

TEST(StaticRecordDictionary, TheRecordFileGrowsToTheFirstBlockSizeThatHoldsOneRecord) {
  struct Case {
    int32_t units;
    TqdBlockSize expected;
  } cases[] = {{100, qdbs4k}, {3000, qdbs8k}, {20000, qdbs64k}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.units);
    TqdDataDictionary dict;
    dict.RemoveStreamDescriptor();
    dict.FieldsDescriptor()->AddField(u"Text", u"", qdtWideString, c.units, 0, false);
    TqdBaseSubEngine::CheckValidAll(&dict);
    EXPECT_EQ(dict.FilesDescriptor()->FileDescriptor(0)->BlockSize(), c.expected);
  }
  TqdDataDictionary tooLarge;
  tooLarge.RemoveStreamDescriptor();
  tooLarge.FieldsDescriptor()->AddField(u"Text", u"", qdtByteArray, 65510, 0, false);
  EXPECT_EQ(CodeOf([&] { TqdBaseSubEngine::CheckValidAll(&tooLarge); }), qdeRecordTooLarge);
}

TEST_F(StaticRecordTest, RandomChangesWithCommitsRollbacksAndReopensAgreeWithAModel) {
  // Committed state as the model sees it: reference -> id. A transaction
  // groups a few changes and then commits or rolls back; now and then the
  // table is reopened. Each change is checked at once, the whole table
  // every few hundred steps.
  Build(8);
  std::mt19937 random(20261211);
  std::map<TqdRefNr, int32_t> committed;
  int32_t nextId = 1;
  auto pick = [&](const std::map<TqdRefNr, int32_t>& aModel) {
    auto it = aModel.begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, aModel.size() - 1)(random));
    return it->first;
  };
  auto checkAll = [&] {
    ASSERT_EQ(fEngine->breGetRecordCount(nullptr), committed.size());
    const std::vector<Visit> visits = Walk(false);
    ASSERT_EQ(visits.size(), committed.size());
    for (const Visit& visit : visits) {
      auto it = committed.find(visit.refNr);
      ASSERT_NE(it, committed.end());
      ASSERT_EQ(visit.id, it->second);
    }
    Static().CheckInvariants(nullptr);
  };
  for (int step = 0; step < 10000;) {
    std::map<TqdRefNr, int32_t> model = committed;
    TqdTestTransaction trans(&fCache);
    const int changes = std::uniform_int_distribution<int>(1, 8)(random);
    for (int i = 0; i < changes; ++i, ++step) {
      const int kind = std::uniform_int_distribution<int>(0, 9)(random);
      if (model.empty() || kind < 5) {
        std::vector<uint8_t> record = Record(nextId);
        TqdRefNr refNr = 0;
        fEngine->AddRecord(&trans, refNr, record.data());
        ASSERT_EQ(model.count(refNr), 0u) << "a live reference was handed out again";
        model[refNr] = nextId++;
        ASSERT_EQ(ReadIn(trans, refNr), model[refNr]);
      } else if (kind < 8) {
        const TqdRefNr refNr = pick(model);
        std::vector<uint8_t> record = Record(nextId);
        fEngine->UpdateRecord(&trans, refNr, record.data(), nullptr);
        model[refNr] = nextId++;
        ASSERT_EQ(ReadIn(trans, refNr), model[refNr]);
      } else {
        const TqdRefNr refNr = pick(model);
        fEngine->DeleteRecord(&trans, refNr);
        model.erase(refNr);
      }
    }
    if (std::uniform_int_distribution<int>(0, 3)(random) == 0) {
      trans.Rollback();
    } else {
      trans.Commit();
      committed = std::move(model);
    }
    if (step % 1000 < changes) Reopen();
    if (step % 500 < changes) checkAll();
  }
  checkAll();
}

// --- A table on disk -----------------------------------------------------------------------------------

TEST(StaticRecordFile, ATableFileMadeFromADictionaryReadsBackAfterReopening) {
  TempFolder folder;
  const std::string path = folder.File("quiz.qd1").string();
  TqdBufferManager cache{u"/tmp"};
  TqdDataDictionary dict;
  // Streams are not part of this table: only its records are.
  dict.RemoveStreamDescriptor();
  dict.FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
  dict.FieldsDescriptor()->AddField(u"Answer", u"", qdtWideString, 30, 0, false);
  TqdBaseSubEngine::CheckValidAll(&dict);
  TqdFieldsDescriptor* fields = dict.FieldsDescriptor();
  const int32_t count = 500;
  std::vector<TqdRefNr> refs;
  {
    auto table = TqdTestTable::Create(&cache, path);
    TqdBlockAccessList files{&table->Access()};
    TqdTestTransaction trans(&cache);
    std::unique_ptr<TqdBaseRecordEngine> engine(TqdBaseRecordEngine::CreateEngine(&dict, files, &trans));
    std::vector<uint8_t> record(size_t(fields->RecordLength()) + 4);
    for (int32_t id = 1; id <= count; ++id) {
      fields->InitRecord(record.data());
      fields->fsdSetFieldByIndexAsVariant(record.data(), 0, TqdVariant(id));
      fields->fsdSetFieldByIndexAsVariant(record.data(), 1,
                                          TqdVariant(qdString(u"answer ") + qdString(1, u'0' + id % 10)));
      TqdRefNr refNr = 0;
      engine->AddRecord(&trans, refNr, record.data());
      refs.push_back(refNr);
    }
    engine.reset();
    trans.Commit();
  }
  auto table = TqdTestTable::Open(&cache, path);
  TqdBlockAccessList files{&table->Access()};
  std::unique_ptr<TqdBaseRecordEngine> engine(TqdBaseRecordEngine::CreateEngine(&dict, files, nullptr));
  EXPECT_EQ(engine->breGetRecordCount(nullptr), uint32_t(count));
  std::vector<uint8_t> record(size_t(fields->RecordLength()) + 4);
  for (int32_t i = 0; i < count; ++i) {
    engine->ReadRecord(nullptr, refs[size_t(i)], record.data());
    EXPECT_EQ(fields->fsdGetFieldByIndexAsVariant(record.data(), 0).AsInteger(), i + 1);
    EXPECT_EQ(fields->fsdGetFieldByIndexAsVariant(record.data(), 1).AsString(),
              qdString(u"answer ") + qdString(1, u'0' + (i + 1) % 10));
  }
  static_cast<TqdStaticRecordEngine&>(*engine).CheckInvariants(nullptr);
}

}  // namespace
}  // namespace qd::test
