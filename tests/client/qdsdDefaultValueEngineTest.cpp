// Default values applied to record images: the engine of each default
// class, the insert and modify rules of the handler, the per-field reset and
// the lookup of engine classes by name.
#include "client/qdsdDefaultValueEngine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "platform/qdDateTime.h"
#include "platform/qdLittleEndian.h"
#include "tests/client/qdsdFakeEngine.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;

// A table and one record image of its layout.
class DefaultValueEngineTest : public ::testing::Test {
 protected:
  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }

  TqdFieldDescriptor* AddField(qdStringView aName, TqdFieldType aType, int32_t aUnits = 0) {
    return Fields()->AddField(aName, u"", aType, aUnits, 0, false);
  }
  TqdBaseDefaultValueDescriptor* AddDefault(qdStringView aName, TqdFieldType aType,
                                            const TqdDefaultValueDescriptorClass* aClass, int32_t aUnits = 0) {
    return AddField(aName, aType, aUnits)->AddDefaultValue(aClass);
  }
  TqdConstDefaultValueDescriptor* AddConst(qdStringView aName, TqdFieldType aType, const TqdVariant& aValue,
                                           int32_t aUnits = 0) {
    auto* constant = static_cast<TqdConstDefaultValueDescriptor*>(AddDefault(aName, aType, nullptr, aUnits));
    constant->SetAsVariant(aValue);
    return constant;
  }

  // A record of every field null.
  uint8_t* NewRecord() {
    record.assign(static_cast<size_t>(Fields()->RecordLength()), 0xCC);
    Fields()->InitRecord(record.data());
    return record.data();
  }
  bool IsNull(int32_t aField) { return Fields()->IsRecordFieldNull(aField, record.data()); }
  TqdVariant Value(int32_t aField) { return Fields()->fsdGetFieldByIndexAsVariant(record.data(), aField); }
  void SetValue(int32_t aField, const TqdVariant& aValue) {
    Fields()->fsdSetFieldByIndexAsVariant(record.data(), aField, aValue);
  }
  Bytes FieldBytes(int32_t aField) {
    const TqdFieldDescriptor* field = Fields()->FieldDescriptor(aField);
    return Bytes(record.begin() + field->Offset(), record.begin() + field->Offset() + field->Length());
  }

  TqdDataDictionary dictionary;
  std::vector<uint8_t> record;
};

// Fixed GUIDs for the tests, or none at all.
bool fixedGuid(TGUID& aGuid) {
  aGuid.D1 = 0x01020304;
  aGuid.D2 = 0x0506;
  aGuid.D3 = 0x0708;
  aGuid.D4 = {9, 10, 11, 12, 13, 14, 15, 16};
  return true;
}
bool failingGuid(TGUID&) { return false; }

struct GuidGeneratorScope {
  explicit GuidGeneratorScope(TqdGuidGenerator aGenerator) { qdSetAutoGuidGenerator(aGenerator); }
  ~GuidGeneratorScope() { qdSetAutoGuidGenerator(nullptr); }
};

// --- Engines -------------------------------------------------------------------------------

TEST_F(DefaultValueEngineTest, EachClassFillsANullFieldOnInsert) {
  GuidGeneratorScope guids(&fixedGuid);
  AddConst(u"Count", qdtInt32, TqdVariant(int32_t{42}));
  AddConst(u"Title", qdtNullString, TqdVariant(qdString(u"untitled")), 12);
  AddDefault(u"Blank", qdtInt16, &TqdEmptyDefaultValueDescriptor::ClassInfo);
  AddDefault(u"Key", qdtGuid, &TqdAutoGuidDefaultValueDescriptor::ClassInfo);
  auto handler = TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->EngineCount(), 4);

  handler->SetDefaultValuesInsert(NewRecord());
  for (int32_t i = 0; i < 4; ++i) EXPECT_FALSE(IsNull(i)) << i;
  EXPECT_EQ(Value(0).AsInt64(), 42);
  EXPECT_EQ(test::u8(Value(1).AsString()), "untitled");
  EXPECT_EQ(FieldBytes(2), Bytes(2, 0));
  EXPECT_EQ(FieldBytes(3), (Bytes{4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16}))
      << "the GUID's first three parts are stored little-endian";
}

TEST_F(DefaultValueEngineTest, CurrentDateTimeWritesTheLocalClockInTheFieldsForm) {
  AddDefault(u"Day", qdtDate, &TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo);
  AddDefault(u"Clock", qdtTime, &TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo);
  AddDefault(u"Stamp", qdtDateTime, &TqdCurrentDateTimeDefaultValueDescriptor::ClassInfo);
  auto handler = TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  uint8_t* data = NewRecord();

  const TTimeStamp before = DateTimeToTimeStamp(Now());
  handler->SetDefaultValuesInsert(data);
  const TTimeStamp after = DateTimeToTimeStamp(Now());
  if (before.Date != after.Date) GTEST_SKIP() << "midnight passed during the test";

  const auto* fields = Fields();
  const int32_t day = qdGetI32(data + fields->FieldDescriptor(0)->Offset());
  const int32_t msecs = qdGetI32(data + fields->FieldDescriptor(1)->Offset());
  const double stamp = qdGetLE<double>(data + fields->FieldDescriptor(2)->Offset());
  EXPECT_EQ(day, before.Date) << "1 January of year 1 is day 1";
  EXPECT_GE(msecs, before.Time);
  EXPECT_LE(msecs, after.Time);
  EXPECT_GE(stamp, static_cast<double>(before.Date) * kMSecsPerDay + before.Time);
  EXPECT_LE(stamp, static_cast<double>(after.Date) * kMSecsPerDay + after.Time);
}

TEST_F(DefaultValueEngineTest, FailedGuidLeavesTheFieldNull) {
  GuidGeneratorScope guids(&failingGuid);
  AddDefault(u"Key", qdtGuid, &TqdAutoGuidDefaultValueDescriptor::ClassInfo);
  auto handler = TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  handler->SetDefaultValuesInsert(NewRecord());
  EXPECT_TRUE(IsNull(0));
  EXPECT_EQ(FieldBytes(0), Bytes(16, 0));
  EXPECT_FALSE(handler->SetDefaultValue(record.data(), 0));
}

TEST_F(DefaultValueEngineTest, RandomGuidsAreVersionFourAndDiffer) {
  AddDefault(u"Key", qdtGuid, &TqdAutoGuidDefaultValueDescriptor::ClassInfo);
  auto handler = TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  NewRecord();
  ASSERT_TRUE(handler->SetDefaultValue(record.data(), 0));
  const Bytes first = FieldBytes(0);
  ASSERT_TRUE(handler->SetDefaultValue(record.data(), 0));
  EXPECT_NE(FieldBytes(0), first);
  EXPECT_EQ(first[7] >> 4, 4) << "version nibble of D3";
}

TEST_F(DefaultValueEngineTest, NextLsnDefaultGetsNoEngine) {
  AddDefault(u"Lsn", qdtInt64, &TqdNextLSNDefaultValueDescriptor::ClassInfo);
  EXPECT_EQ(TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr), nullptr)
      << "the table engine writes the LSN itself";
  AddConst(u"Count", qdtInt32, TqdVariant(int32_t{1}));
  auto handler = TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->EngineCount(), 1);
  EXPECT_EQ(handler->EngineByIndex(0), nullptr);
  NewRecord();
  EXPECT_FALSE(handler->SetDefaultValue(record.data(), 0));
  EXPECT_TRUE(IsNull(0));
}

// --- Handler rules ------------------------------------------------------------------------

TEST_F(DefaultValueEngineTest, OverwriteDecidesWhetherAValueIsReplaced) {
  AddConst(u"Keep", qdtInt32, TqdVariant(int32_t{1}));
  AddConst(u"Replace", qdtInt32, TqdVariant(int32_t{2}))->SetOverwriteNonNull(true);
  auto handler = TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  NewRecord();
  SetValue(0, TqdVariant(int32_t{10}));
  SetValue(1, TqdVariant(int32_t{20}));
  handler->SetDefaultValuesInsert(record.data());
  EXPECT_EQ(Value(0).AsInt64(), 10) << "a value stays when the default only fills nulls";
  EXPECT_EQ(Value(1).AsInt64(), 2);
}

TEST_F(DefaultValueEngineTest, InsertAndModifyApplyTheirOwnDefaults) {
  struct Case {
    bool OnInsert;
    bool OnModify;
  };
  const Case cases[] = {{true, false}, {false, true}, {true, true}, {false, false}};
  for (const Case& c : cases) {
    TqdBaseDefaultValueDescriptor* d =
        AddConst(u"F" + qdString(1, static_cast<char16_t>(u'0' + (&c - cases))), qdtInt32, TqdVariant(int32_t{7}));
    d->SetApplyOnInsert(c.OnInsert);
    d->SetApplyOnModify(c.OnModify);
  }
  auto handler = TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->EngineCount(), 4) << "an engine for every default of the side";

  handler->SetDefaultValuesInsert(NewRecord());
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(!IsNull(i), cases[i].OnInsert) << "insert, field " << i;
  handler->SetDefaultValuesModify(NewRecord());
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(!IsNull(i), cases[i].OnModify) << "modify, field " << i;
  NewRecord();
  EXPECT_TRUE(handler->SetDefaultValue(record.data(), 3)) << "a reset ignores the insert and modify settings";
  EXPECT_EQ(Value(3).AsInt64(), 7);
}

TEST_F(DefaultValueEngineTest, SidesChooseTheirDefaults) {
  AddConst(u"Server", qdtInt32, TqdVariant(int32_t{1}))->SetApplyAt(TqdApplyAtSet{aaServer});
  AddConst(u"Client", qdtInt32, TqdVariant(int32_t{2}))->SetApplyAt(TqdApplyAtSet{aaClient});
  AddConst(u"Both", qdtInt32, TqdVariant(int32_t{3}));
  AddConst(u"Neither", qdtInt32, TqdVariant(int32_t{4}))->SetApplyAt(TqdApplyAtSet{});
  for (TqdApplyAt side : {aaServer, aaClient}) {
    auto handler = TqdDefaultValueHandler::CreateFor(Fields(), side, nullptr);
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->EngineCount(), 2);
    EXPECT_EQ(handler->EngineByIndex(0) != nullptr, side == aaServer);
    EXPECT_EQ(handler->EngineByIndex(1) != nullptr, side == aaClient);
    EXPECT_NE(handler->EngineByIndex(2), nullptr);
    EXPECT_EQ(handler->EngineByIndex(3), nullptr);
  }
}

TEST_F(DefaultValueEngineTest, NoEngineMeansNoHandler) {
  EXPECT_EQ(TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr), nullptr) << "no fields";
  AddField(u"Plain", qdtInt32);
  AddConst(u"ClientOnly", qdtInt32, TqdVariant(int32_t{1}))->SetApplyAt(TqdApplyAtSet{aaClient});
  EXPECT_EQ(TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr), nullptr);
  EXPECT_NE(TqdDefaultValueHandler::CreateFor(Fields(), aaClient, nullptr), nullptr);
}

TEST_F(DefaultValueEngineTest, ResetOfAFieldWithoutEngineLeavesTheRecord) {
  AddField(u"Plain", qdtInt32);
  AddConst(u"Count", qdtInt32, TqdVariant(int32_t{5}));
  auto handler = TqdDefaultValueHandler::CreateFor(Fields(), aaServer, nullptr);
  ASSERT_NE(handler, nullptr);
  NewRecord();
  SetValue(0, TqdVariant(int32_t{9}));
  SetValue(1, TqdVariant(int32_t{9}));
  const std::vector<uint8_t> before = record;
  for (int32_t field : {0, -1, 2, 1000}) {
    EXPECT_FALSE(handler->SetDefaultValue(record.data(), field)) << field;
    EXPECT_EQ(record, before) << field;
  }
  EXPECT_TRUE(handler->SetDefaultValue(record.data(), 1)) << "a reset replaces any value";
  EXPECT_EQ(Value(1).AsInt64(), 5);
}

// --- Classes by name ------------------------------------------------------------------------

TEST_F(DefaultValueEngineTest, EngineClassIsFoundByNameAndCached) {
  TqdBaseDefaultValueDescriptor* empty = AddDefault(u"Blank", qdtInt32, &TqdEmptyDefaultValueDescriptor::ClassInfo);
  EXPECT_EQ(empty->CachedEngineClass(), nullptr);
  auto engine = TqdBaseDefaultValueEngine::CreateFor(empty, nullptr);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(test::u8(engine->ClassName()), "TqdEmptyDefaultValueEngine");
  EXPECT_EQ(engine->FieldDescriptor(), Fields()->FieldDescriptor(0));
  EXPECT_EQ(empty->CachedEngineClass(), &TqdEmptyDefaultValueEngine::ClassInfo);

  // Without its registration, the cached class still serves this descriptor
  // while a fresh one is refused.
  TqdBaseRegisterableEngine::UnregisterEngine(TqdEmptyDefaultValueEngine::ClassInfo);
  EXPECT_NE(TqdBaseDefaultValueEngine::CreateFor(empty, nullptr), nullptr);
  TqdBaseDefaultValueDescriptor* other = AddDefault(u"Other", qdtInt32, &TqdEmptyDefaultValueDescriptor::ClassInfo);
  const test::TqdCaughtError caught =
      test::catchError([&] { (void)TqdBaseDefaultValueEngine::CreateFor(other, nullptr); });
  TqdBaseRegisterableEngine::RegisterEngine(TqdEmptyDefaultValueEngine::ClassInfo);
  EXPECT_EQ(caught.Code, qdeSubEngineNotSupported);
  EXPECT_EQ(caught.Text, "Unknown DefaultValue engine: \"TqdEmptyDefaultValueEngine\"");
  EXPECT_EQ(other->CachedEngineClass(), nullptr);
}

TEST_F(DefaultValueEngineTest, EveryDefaultClassHasARegisteredEngine) {
  TqdRegisteredClasses registered;
  TqdBaseRegisterableDescriptor::GetRegisteredDescriptors(TqdBaseDefaultValueDescriptor::ClassInfo, registered, false);
  ASSERT_EQ(registered.size(), 6u);
  for (const TqdRegisteredClass& entry : registered) {
    const qdString name = qdEngineNameFor(entry.Name);
    const TqdClassInfo* found = TqdBaseRegisterableEngine::FindEngineClass(TqdBaseDefaultValueEngine::ClassInfo, name);
    ASSERT_NE(found, nullptr) << test::u8(name);
    EXPECT_TRUE(found->InheritsFrom(TqdBaseDefaultValueEngine::ClassInfo));
  }
}

// --- Through a cursor -----------------------------------------------------------------------

// A table "T" of a session opened by "ayumi", and a cursor over it.
class CursorDefaultValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = qdCreate<qdsdFakeEngine::TqdFakeServerEngine>(nullptr);
    fields = engine->AddTable(u"T").Dictionary->FieldsDescriptor();
    fields->AddField(u"Owner", u"", qdtWideString, 20, 0, false)
        ->AddDefaultValue(&TqdCurrentUserDefaultValueDescriptor::ClassInfo);
    fields->AddField(u"Short", u"", qdtShortString, 3, 0, false)
        ->AddDefaultValue(&TqdCurrentUserDefaultValueDescriptor::ClassInfo)
        ->SetApplyAt(TqdApplyAtSet{aaClient});
    fields->AddField(u"Lsn", u"", qdtInt64, 0, 0, false)->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo);
    ASSERT_EQ(engine->SessionOpen(session, u"ayumi", u"", u"direct", 10000), 0u);
    ASSERT_EQ(session->DatabaseOpen(database, u"Name", u"Main", nullptr, omReadWrite, smShared, 0), 0u);
    ASSERT_EQ(database->CursorOpen(cursor, u"T", u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500, nullptr), 0u);
  }
  void TearDown() override {
    if (session != nullptr) {
      EXPECT_EQ(TqdAbstractServerObject::Close(session), 0u);
    }
    TqdComponent* component = engine;
    qdFreeAndNil(component);
  }

  qdsdFakeEngine::TqdFakeServerEngine* engine = nullptr;
  TqdFieldsDescriptor* fields = nullptr;
  TqdAbstractSession* session = nullptr;
  TqdAbstractDatabase* database = nullptr;
  TqdAbstractCursor* cursor = nullptr;
};

TEST_F(CursorDefaultValueTest, CurrentUserIsTheCursorsSessionUser) {
  auto handler = TqdDefaultValueHandler::CreateFor(fields, aaServer, cursor);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->EngineCount(), 1) << "no engine for the LSN field";
  std::vector<uint8_t> record(static_cast<size_t>(fields->RecordLength()), 0);
  fields->InitRecord(record.data());
  handler->SetDefaultValuesInsert(record.data());
  EXPECT_EQ(test::u8(fields->fsdGetFieldByIndexAsVariant(record.data(), 0).AsString()), "ayumi");
  EXPECT_TRUE(fields->IsRecordFieldNull(2, record.data()));

  // Without a cursor there is no session and the name is empty.
  auto detached = TqdDefaultValueHandler::CreateFor(fields, aaServer, nullptr);
  ASSERT_NE(detached, nullptr);
  fields->InitRecord(record.data());
  detached->SetDefaultValuesInsert(record.data());
  EXPECT_FALSE(fields->IsRecordFieldNull(0, record.data()));
  EXPECT_EQ(test::u8(fields->fsdGetFieldByIndexAsVariant(record.data(), 0).AsString()), "");
}

TEST_F(CursorDefaultValueTest, UserNameLongerThanTheFieldIsRefusedWhenBuilt) {
  EXPECT_THROW((void)TqdDefaultValueHandler::CreateFor(fields, aaClient, cursor), Exception);
}

TEST_F(CursorDefaultValueTest, NextLsnEngineAsksTheCursorWhenBuiltDirectly) {
  TqdBaseDefaultValueDescriptor* lsn = fields->FieldDescriptor(2)->DefaultValue();
  TqdNextLSNDefaultValueEngine engine(lsn, cursor);
  uint8_t value[8] = {};
  ASSERT_TRUE(engine.SetDefaultValue(value));
  const int64_t first = qdGetI64(value);
  ASSERT_TRUE(engine.SetDefaultValue(value));
  EXPECT_EQ(qdGetI64(value), first + 1);
  TqdNextLSNDefaultValueEngine detached(lsn, nullptr);
  EXPECT_FALSE(detached.SetDefaultValue(value));
}

}  // namespace
}  // namespace qd
