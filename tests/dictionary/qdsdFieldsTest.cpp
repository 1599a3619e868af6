// Field types, field descriptors and the record image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdStringList.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::itemBytes;
using test::loadItem;
using test::readBytes;
using test::u8;
using test::written;

class FieldsTest : public ::testing::Test {
 protected:
  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }
  TqdFieldDescriptor* Add(qdStringView aName, TqdFieldType aType, int32_t aUnits = 0, int32_t aDecPl = 0,
                          bool aRequired = false) {
    return Fields()->AddField(aName, u"", aType, aUnits, aDecPl, aRequired);
  }
  std::vector<qdString> Names() {
    std::vector<qdString> names;
    for (int32_t i = 0; i < Fields()->FieldCount(); ++i) names.push_back(Fields()->FieldDescriptor(i)->Name());
    return names;
  }
  std::vector<int32_t> Offsets() {
    std::vector<int32_t> offsets;
    for (int32_t i = 0; i < Fields()->FieldCount(); ++i) offsets.push_back(Fields()->FieldDescriptor(i)->Offset());
    return offsets;
  }

  TqdDataDictionary dictionary;
};

// --- Setup rules ----------------------------------------------------------------------------

struct SetupCase {
  TqdFieldType type;
  int32_t units, decPl;
  bool required;
  int32_t expectedUnits, expectedDecPl;
  bool expectedRequired;
  int32_t expectedLength;
};

TEST(FieldSetupTest, EveryTypeNormalisesUnitsDecimalsRequiredAndLength) {
  const SetupCase cases[] = {
      {qdtBoolean, 5, 3, true, 0, 0, true, 1},
      {qdtChar, 7, 2, false, 1, 0, false, 1},
      {qdtWideChar, 0, 0, false, 1, 0, false, 2},
      {qdtByte, 0, 2, false, 3, 0, false, 1},
      {qdtByte, 2, 0, false, 2, 0, false, 1},
      {qdtWord16, 9, 0, false, 5, 0, false, 2},
      {qdtWord32, -1, 0, false, 10, 0, false, 4},
      {qdtInt8, 3, 0, false, 3, 0, false, 1},
      {qdtInt16, 0, 0, false, 5, 0, false, 2},
      {qdtInt32, 11, 1, false, 10, 0, false, 4},
      {qdtInt32, 7, 0, false, 7, 0, false, 4},
      {qdtInt64, 0, 0, true, 20, 0, true, 8},
      {qdtAutoInc, 3, 2, true, 10, 0, false, 4},
      {qdtSingle, 7, 3, false, 7, 3, false, 4},
      {qdtDouble, 15, 2, false, 15, 2, false, 8},
      {qdtExtended, 19, 4, false, 19, 4, false, 10},
      {qdtCurrency, 0, 9, false, 20, 4, false, 8},
      {qdtCurrency, 3, 4, false, 5, 4, false, 8},
      {qdtDate, 4, 4, false, 0, 0, false, 4},
      {qdtTime, 4, 4, false, 0, 0, false, 4},
      {qdtDateTime, 4, 4, false, 0, 0, false, 8},
      {qdtInterval, 4, 4, false, 0, 0, false, 8},
      {qdtBlob, 1, 1, false, 0, 0, false, 8},
      {qdtBlobMemo, 1, 1, false, 0, 0, false, 8},
      {qdtBlobGraphic, 1, 1, false, 0, 0, false, 8},
      {qdtByteArray, 16, 3, false, 16, 0, false, 16},
      {qdtShortString, 300, 0, false, 255, 0, false, 256},
      {qdtShortString, 10, -1, false, 10, -1, false, 11},
      {qdtNullString, 20, 7, false, 20, 20, false, 21},
      {qdtWideString, 20, 0, false, 20, 0, false, 42},
      {qdtRecRev, 1, 0, true, 10, 0, false, 4},
      {qdtGuid, 5, 5, false, 0, 0, false, 16},
      {qdtBCD, 10, 2, false, 10, 2, false, 8},
      {qdtBCD, 30, 2, false, 18, 2, false, 8},
      {qdtBlobWideMemo, 1, 1, false, 0, 0, false, 8},
      {qdtFmtBCD, 10, 12, false, 13, 12, false, 9},
      {qdtFmtBCD, 100, 2, false, 64, 2, false, 34},
      {qdtFmtBCD, 5, -3, false, 5, 0, false, 5},
      {qdtFmtBCD, 80, 70, false, 64, 63, false, 34},
      {qdtRefNr, 5, 1, true, 20, 0, false, 8},
  };
  std::vector<bool> seen(qdFieldTypeCount, false);
  for (const SetupCase& c : cases) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(c.type)) + " " + std::to_string(c.units) + "," + std::to_string(c.decPl));
    int32_t units = c.units, decPl = c.decPl, length = -1;
    bool required = c.required;
    TqdFieldDescriptor::SetupField(c.type, units, decPl, required, length);
    EXPECT_EQ(units, c.expectedUnits);
    EXPECT_EQ(decPl, c.expectedDecPl);
    EXPECT_EQ(required, c.expectedRequired);
    EXPECT_EQ(length, c.expectedLength);
    seen[c.type] = true;
  }
  for (int i = 0; i < qdFieldTypeCount; ++i) EXPECT_TRUE(seen[i]) << u8(qdFieldTypeIdent(TqdFieldType(i)));
}

// Units of 0 or less would give a zero or negative length and overlap the
// next field; they are refused where the field is set up.
TEST_F(FieldsTest, SizedTypesRefuseUnitsOfZeroOrLessAndLeaveTheListUnchanged) {
  Add(u"Before", qdtInt32);
  for (TqdFieldType type : {qdtByteArray, qdtShortString, qdtNullString, qdtWideString}) {
    for (int32_t units : {0, -1, -100}) {
      SCOPED_TRACE(u8(qdFieldTypeIdent(type)) + " " + std::to_string(units));
      int32_t u = units, d = 0, l = 0;
      bool r = false;
      EXPECT_ENGINE_ERROR(TqdFieldDescriptor::SetupField(type, u, d, r, l), qdeInvalidFieldDesc, "Units must be > 0");
      EXPECT_ENGINE_ERROR(Add(u"Bad", type, units), qdeInvalidFieldDesc, "Units must be > 0");
      EXPECT_ENGINE_ERROR(Fields()->InsertFieldAt(0, u"Bad", u"", type, units, 0, false), qdeInvalidFieldDesc,
                          "Units must be > 0");
    }
  }
  EXPECT_EQ(Fields()->FieldCount(), 1);
  EXPECT_EQ(Fields()->DataLength(), 4);
}

TEST_F(FieldsTest, RefNrRequestedAsRequiredIsStoredAsNotRequiredAndValidates) {
  TqdFieldDescriptor* field = Add(u"Ref", qdtRefNr, 0, 0, true);
  EXPECT_FALSE(field->Required());
  EXPECT_NO_THROW(field->CheckValid(true));
}

TEST_F(FieldsTest, IntervalIsRefusedAsAFieldType) {
  TqdFieldDescriptor* field = Add(u"Span", qdtInterval);
  EXPECT_ENGINE_ERROR(field->CheckValid(false), qdeInvalidFieldDesc, "Interval is not supported as a field type");
}

TEST_F(FieldsTest, ToStringNamesNumberNameTypeAndSize) {
  Add(u"Id", qdtInt32);
  Add(u"Flag", qdtBoolean);
  EXPECT_EQ(u8(Add(u"Title", qdtNullString, 20)->ToString()), "[2] Title - NullString(20)");
  EXPECT_EQ(u8(Add(u"Price", qdtFmtBCD, 10, 2)->ToString()), "[3] Price - FmtBCD(10,2)");
  EXPECT_EQ(u8(Fields()->FieldDescriptor(0)->ToString()), "[0] Id - Int32");
}

// --- The record image -------------------------------------------------------------------------

TEST_F(FieldsTest, FieldsArePackedAndTheNullBitmapFollowsTheAlignedData) {
  Add(u"A", qdtInt32);
  Add(u"B", qdtNullString, 10);
  Add(u"C", qdtBoolean);
  EXPECT_EQ(Offsets(), (std::vector<int32_t>{0, 4, 15}));
  EXPECT_EQ(Fields()->DataLength(), 16);
  EXPECT_EQ(Fields()->LogicalRecordLength(), 16);
  EXPECT_EQ(Fields()->RecordLength(), 20);

  Bytes record(Fields()->RecordLength() + 4, 0xEE);
  Fields()->InitRecord(record.data());
  EXPECT_EQ(Bytes(record.begin(), record.begin() + 16), Bytes(16, 0));
  EXPECT_EQ(Bytes(record.begin() + 16, record.begin() + 20), (Bytes{0xFF, 0, 0, 0}));
  EXPECT_EQ(record[20], 0xEE) << "nothing beyond the record length";
  for (int32_t i = 0; i < 3; ++i) EXPECT_TRUE(Fields()->IsRecordFieldNull(i, record.data()));
}

TEST_F(FieldsTest, ThirtyThreeFieldsUseTwoBitmapWords) {
  for (int i = 0; i < 33; ++i) Add(u"F" + AsciiToString(std::to_string(i)), qdtBoolean);
  EXPECT_EQ(Fields()->DataLength(), 33);
  EXPECT_EQ(Fields()->LogicalRecordLength(), 36);
  EXPECT_EQ(Fields()->RecordLength(), 44);
  Bytes record(Fields()->RecordLength() + 4, 0);
  Fields()->InitRecord(record.data());
  EXPECT_EQ(qdGetU32(&record[36]), 0xFFFFFFFFu);
  EXPECT_EQ(qdGetU32(&record[40]), 0xFFu) << "ceil(33/8) bytes are set";
  Fields()->SetRecordFieldNull(32, record.data(), false);
  EXPECT_EQ(qdGetU32(&record[40]), 0xFEu) << "field 32 is bit 0 of the second word";
  EXPECT_FALSE(Fields()->IsRecordFieldNull(32, record.data()));
  EXPECT_TRUE(Fields()->IsRecordFieldNull(31, record.data()));
}

TEST_F(FieldsTest, VersionOneDictionaryPutsTheBitmapRightAfterTheData) {
  dictionary.SetVersion(1);
  Add(u"A", qdtBoolean);
  Add(u"B", qdtInt16);
  EXPECT_EQ(Fields()->LogicalRecordLength(), 3);
  EXPECT_EQ(Fields()->RecordLength(), 8);
  Bytes record(12, 0xEE);
  Fields()->InitRecord(record.data());
  EXPECT_EQ(record[3], 0xFF);
  Fields()->SetRecordFieldNull(1, record.data(), false);
  EXPECT_EQ(record[3], 0xFD);

  Fields()->UpdateLogRecLenAlign();
  EXPECT_EQ(Fields()->LogicalRecordLength(), 4) << "realigning always rounds up";
}

TEST_F(FieldsTest, FieldValuesAndNullFlags) {
  Add(u"A", qdtInt32);
  Add(u"B", qdtInt16);
  Bytes record(Fields()->RecordLength() + 4, 0);
  Fields()->InitRecord(record.data());
  const int32_t value = 0x11223344;
  Fields()->SetRecordField(0, record.data(), &value);
  EXPECT_EQ(qdGetI32(record.data()), value);
  bool isNull = true;
  int32_t read = 0;
  Fields()->GetRecordField(0, record.data(), isNull, &read);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(read, value);

  Fields()->SetRecordFieldNull(0, record.data(), true);
  EXPECT_EQ(qdGetI32(record.data()), 0) << "a null field's bytes are zero";
  Fields()->SetRecordField(0, record.data(), &value);
  Fields()->SetRecordField(0, record.data(), nullptr);
  EXPECT_TRUE(Fields()->IsRecordFieldNull(0, record.data()));
  EXPECT_EQ(qdGetI32(record.data()), 0);
  EXPECT_EQ(Fields()->GetRecordFieldForFilter(0, record.data()), nullptr);
  EXPECT_TRUE(Fields()->IsRecordFieldNull(1, nullptr)) << "no record counts as null";

  for (int32_t bad : {-1, 2}) {
    EXPECT_ENGINE_ERROR(Fields()->IsRecordFieldNull(bad, record.data()), qdeInvalidDescNum,
                        "Index out of bounds: " + std::to_string(bad));
    EXPECT_ENGINE_ERROR(Fields()->SetRecordField(bad, record.data(), &value), qdeInvalidDescNum, "");
  }
  TqdFieldType type;
  int32_t size = 0;
  const uint8_t* address = nullptr;
  EXPECT_FALSE(Fields()->GetRecordFieldForFilter(7, record.data(), type, size, address));
}

// The length byte of a short string comes from the record; a damaged one
// must not send a reader past the field.
TEST_F(FieldsTest, FilterAccessOfAShortStringNeverReachesBeyondTheField) {
  Add(u"S", qdtShortString, 5);
  Bytes record(Fields()->RecordLength() + 4, 0);
  Fields()->InitRecord(record.data());
  const uint8_t text[6] = {3, 'a', 'b', 'c', 0, 0};
  Fields()->SetRecordField(0, record.data(), text);
  TqdFieldType type;
  int32_t size = 0;
  bool isNull = true;
  const uint8_t* value = nullptr;
  uint16_t codePage = 0;
  ASSERT_TRUE(Fields()->GetFieldForFilter(0, u"S", record.data(), type, size, isNull, value, codePage));
  EXPECT_FALSE(isNull);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(value, record.data() + 1);
  record[0] = 200;
  ASSERT_TRUE(Fields()->GetFieldForFilter(0, u"S", record.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(size, 5);
  EXPECT_FALSE(Fields()->GetFieldForFilter(1, u"", record.data(), type, size, isNull, value, codePage));
}

// --- Adding, inserting, moving and removing -----------------------------------------------------

TEST_F(FieldsTest, InsertMoveAndRemoveKeepTheLayoutPacked) {
  Add(u"A", qdtInt32);
  Add(u"B", qdtBoolean);
  Add(u"C", qdtInt64);
  Fields()->InsertFieldAt(1, u"X", u"", qdtNullString, 4, 0, false);
  EXPECT_EQ(Names(), (std::vector<qdString>{u"A", u"X", u"B", u"C"}));
  EXPECT_EQ(Offsets(), (std::vector<int32_t>{0, 4, 9, 10}));
  Fields()->MoveField(3, 0);
  EXPECT_EQ(Names(), (std::vector<qdString>{u"C", u"A", u"X", u"B"}));
  EXPECT_EQ(Offsets(), (std::vector<int32_t>{0, 8, 12, 17}));
  Fields()->RemoveField(2);
  EXPECT_EQ(Names(), (std::vector<qdString>{u"C", u"A", u"B"}));
  EXPECT_EQ(Offsets(), (std::vector<int32_t>{0, 8, 12}));
  EXPECT_EQ(Fields()->DataLength(), 13);
  EXPECT_EQ(Fields()->LogicalRecordLength(), 16);
  for (int32_t i = 0; i < Fields()->FieldCount(); ++i) EXPECT_EQ(Fields()->FieldDescriptor(i)->Number(), i);
  Fields()->RemoveField(7);
  Fields()->RemoveField(-1);
  EXPECT_EQ(Fields()->FieldCount(), 3) << "indexes outside the list are ignored";
}

TEST_F(FieldsTest, BadPositionsAndNamesAreRefused) {
  Add(u"Title", qdtInt32);
  EXPECT_ENGINE_ERROR(Fields()->InsertFieldAt(2, u"X", u"", qdtInt32, 0, 0, false), qdeInvalidDescNum,
                      "Index out of bounds: 2");
  EXPECT_ENGINE_ERROR(Fields()->MoveField(5, 9), qdeInvalidDescNum, "Index out of bounds: 5");
  EXPECT_ENGINE_ERROR(Fields()->MoveField(0, 9), qdeInvalidDescNum, "Index out of bounds: 9");
  EXPECT_ENGINE_ERROR(Add(u"TITLE", qdtInt32), qdeNameNotUnique, "Duplicated field name: TITLE");
  EXPECT_ENGINE_ERROR(Add(u"a:b", qdtInt32), qdeInvalidFieldName, "");
  EXPECT_ENGINE_ERROR(Add(u"", qdtInt32), qdeInvalidFieldName, "");
  TqdFieldDescriptor* other = Add(u"Other", qdtInt32);
  EXPECT_ENGINE_ERROR(other->ChangeName(u"title"), qdeNameNotUnique, "");
  other->ChangeName(u"Renamed");
  EXPECT_EQ(Fields()->GetFieldFromName(u"RENAMED"), 1);
}

TEST_F(FieldsTest, CopyOfAFieldOfAnotherListTakesItsBodyButKeepsItsOwnPlace) {
  TqdDataDictionary other;
  other.FieldsDescriptor()->AddField(u"Pad", u"", qdtInt64, 0, 0, false);
  TqdFieldDescriptor* source = other.FieldsDescriptor()->AddField(u"Name", u"desc", qdtWideString, 8, 0, true);
  source->SetNoClientAccess(true);
  source->AddLocaleDescriptor()->SetLocale(1033);
  Add(u"First", qdtInt32);
  const int32_t newID = dictionary.CurrentID() + 1;
  TqdFieldDescriptor* copy = Fields()->AddField(source);
  EXPECT_EQ(copy->Offset(), 4);
  EXPECT_EQ(copy->Length(), 18);
  EXPECT_EQ(copy->ID(), newID);
  EXPECT_TRUE(copy->NoClientAccess());
  EXPECT_TRUE(copy->Required());
  ASSERT_NE(copy->LocaleDescriptor(), nullptr);
  EXPECT_EQ(copy->LocaleDescriptor()->Locale(), 1033u);

  source->SetConstraintName(u"Taken");
  Add(u"Holder", qdtInt32)->SetConstraintName(u"taken");
  const int32_t count = Fields()->FieldCount();
  EXPECT_ENGINE_ERROR(Fields()->AddField(source), qdeNameNotUnique, "");
  EXPECT_EQ(Fields()->FieldCount(), count) << "a failed copy leaves the list as it was";
  EXPECT_EQ(Fields()->DataLength(), 4 + 18 + 4);
}

// --- Names ----------------------------------------------------------------------------------

TEST_F(FieldsTest, NamesAreFoundIgnoringAsciiCaseWithAndWithoutTheHash) {
  std::vector<qdString> names;
  for (int i = 0; i < 60; ++i) names.push_back(u"Field" + AsciiToString(std::to_string(i)));
  for (const qdString& name : names) Add(name, qdtInt32);
  Add(u"Title", qdtNullString, 5);
  EXPECT_EQ(Fields()->GetFieldFromName(u"TITLE"), 60);
  EXPECT_EQ(Fields()->GetFieldFromName(u"nope"), -1);
  dictionary.MakeReadOnly();
  for (int i = 0; i < 60; ++i) EXPECT_EQ(Fields()->GetFieldFromName(names[i]), i);
  EXPECT_EQ(Fields()->GetFieldFromName(u"tItLe"), 60);
  EXPECT_EQ(Fields()->GetFieldFromName(u"nope"), -1);
}

// The bucket is taken modulo the field count, so an empty list must answer
// before it is hashed.
TEST(FieldsNameHashTest, EmptyCachedListAnswersMinusOne) {
  TqdDataDictionary dictionary;
  dictionary.MakeReadOnly();
  EXPECT_EQ(dictionary.FieldsDescriptor()->GetFieldFromName(u"x"), -1);
  EXPECT_EQ(dictionary.GetFieldFromName(u""), -1);
}

// --- Validation ----------------------------------------------------------------------------

TEST_F(FieldsTest, ValidationOfTheList) {
  EXPECT_ENGINE_ERROR(Fields()->CheckValid(false), qdeInvalidRecStruct,
                      "FieldsDescriptor requires a minimum of one field");
  Add(u"A", qdtInt32);
  EXPECT_NO_THROW(Fields()->CheckValid(false));
}

// Record buffers and offsets into them are 16-bit everywhere downstream.
TEST_F(FieldsTest, RecordsLongerThan65535BytesAreRefused) {
  Add(u"A", qdtNullString, 40000);
  Add(u"B", qdtNullString, 25526);
  EXPECT_EQ(Fields()->RecordLength(), 65532);
  EXPECT_NO_THROW(Fields()->CheckValid(false));
  Add(u"C", qdtInt32);
  EXPECT_EQ(Fields()->RecordLength(), 65536);
  EXPECT_ENGINE_ERROR(Fields()->CheckValid(false), qdeRecordTooLarge, "Maximum record size has been exceeded");
  EXPECT_ENGINE_ERROR(Add(u"D", qdtByteArray, 70000), qdeRecordTooLarge, "");  // no single field can be that long
}

TEST_F(FieldsTest, SecondSpecialFieldOfAKindIsRefused) {
  struct Case {
    TqdFieldType type;
    bool lsn, modify;
    TqdResult code;
    const char* text;
  };
  const Case cases[] = {
      {qdtAutoInc, false, false, qdeDupAutoIncField, "Duplicated autoinc field"},
      {qdtRecRev, false, false, qdeDupRecRevField, "Duplicated RecRev field"},
      {qdtRefNr, false, false, qdeDupRefNrField, "Duplicated RefNr field"},
      {qdtInt64, true, true, qdeDupLSNField, "Duplicated LSN field"},
      {qdtInt64, true, false, qdeDupLSNField, "Duplicated LSN field"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TqdDataDictionary local;
    for (const char16_t* name : {u"First", u"Second"}) {
      TqdFieldDescriptor* field = local.FieldsDescriptor()->AddField(name, u"", c.type, 0, 0, false);
      if (c.lsn) field->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo)->SetApplyOnModify(c.modify);
    }
    EXPECT_ENGINE_ERROR(local.FieldsDescriptor()->CheckValid(false), c.code, c.text);
  }
  // One LSN field of each kind is fine.
  TqdDataDictionary mixed;
  for (bool modify : {true, false}) {
    mixed.FieldsDescriptor()
        ->AddField(modify ? u"M" : u"I", u"", qdtInt64, 0, 0, false)
        ->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo)
        ->SetApplyOnModify(modify);
  }
  EXPECT_NO_THROW(mixed.FieldsDescriptor()->CheckValid(false));
}

TEST_F(FieldsTest, AutoIncAndBlobFieldsCompleteTheirTable) {
  Add(u"Id", qdtAutoInc);
  Add(u"Picture", qdtBlobGraphic);
  ASSERT_EQ(dictionary.AutoIncDescriptor(), nullptr);
  ASSERT_EQ(dictionary.BlobDescriptor(), nullptr);
  Fields()->CheckValid(false);
  ASSERT_NE(dictionary.AutoIncDescriptor(), nullptr);
  ASSERT_NE(dictionary.BlobDescriptor(), nullptr);
  EXPECT_EQ(&dictionary.BlobDescriptor()->ClassType(), &TqdHeapBlobDescriptor::ClassInfo);
}

// --- Special fields and shared infos -----------------------------------------------------------

class SpecialFieldsTest : public FieldsTest {
 protected:
  void SetUp() override {
    Add(u"Id", qdtAutoInc);                                                                     // 0, offset 0
    Add(u"Notes", qdtBlobMemo);                                                                 // 1, offset 4
    Add(u"Modified", qdtInt64)->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo);  // 2, offset 12
    auto* inserted = Add(u"Inserted", qdtInt64)->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo);
    inserted->SetApplyOnModify(false);                                                     // 3, offset 20
    Add(u"Rev", qdtRecRev);                                                                // 4, offset 28
    Add(u"Ref", qdtRefNr);                                                                 // 5, offset 32
    Add(u"Key", qdtGuid)->AddDefaultValue(&TqdAutoGuidDefaultValueDescriptor::ClassInfo);  // 6, offset 40
    Add(u"Picture", qdtBlob);                                                              // 7, offset 56
    Add(u"Again", qdtAutoInc);                                                             // 8
  }

  void CheckInfo(const TqdSpecialFieldsInfo& aInfo) {
    const int32_t fields[] = {0, 6, 4, 5, 2, 3};
    const int32_t offsets[] = {0, 40, 28, 32, 12, 20};
    for (int i = 0; i < qdSpecialFieldTypeCount; ++i) {
      EXPECT_EQ(aInfo.sfiFields[i], fields[i]) << i;
      EXPECT_EQ(aInfo.sfiOffsets[i], offsets[i]) << i;
    }
    EXPECT_EQ(aInfo.sfiBlobFields, (TqdBlobFields{1, 7}));
    EXPECT_EQ(aInfo.sfiFieldsToBlobFields, (TqdBlobFieldsToBlobFields{-1, 0, -1, -1, -1, -1, -1, 1, -1}));
  }
};

TEST_F(SpecialFieldsTest, SpecialFieldsAreFoundByTypeAndDefaultValue) {
  int32_t field = -2;
  EXPECT_TRUE(Fields()->HasAutoIncField(field));
  EXPECT_EQ(field, 0) << "the first one counts";
  EXPECT_TRUE(Fields()->HasModifyLSNField(field));
  EXPECT_EQ(field, 2);
  EXPECT_TRUE(Fields()->HasInsertLSNField(field));
  EXPECT_EQ(field, 3);
  EXPECT_TRUE(Fields()->HasAutoGuidField(field));
  EXPECT_EQ(field, 6);
  TqdBlobFields blobs;
  EXPECT_TRUE(Fields()->HasBlobFields(blobs));
  EXPECT_EQ(blobs, (TqdBlobFields{1, 7}));

  TqdSpecialFieldsInfo* info = nullptr;
  Fields()->GetSpecialFieldsInfo(info);
  CheckInfo(*info);
  EXPECT_EQ(Fields()->FieldDescriptor(7)->BlobIndex(), 1);
  qdReleaseSpecialFieldsInfo(info);

  // An auto-GUID default that also applies on modify is an ordinary default.
  Fields()->FieldDescriptor(6)->DefaultValue()->SetApplyOnModify(true);
  EXPECT_FALSE(Fields()->HasAutoGuidField(field));
  EXPECT_EQ(field, -1);
}

TEST_F(SpecialFieldsTest, ReadOnlyDictionarySharesOneCachedInfo) {
  dictionary.MakeReadOnly();
  TqdSpecialFieldsInfo* first = nullptr;
  TqdSpecialFieldsInfo* second = nullptr;
  Fields()->GetSpecialFieldsInfo(first);
  Fields()->GetSpecialFieldsInfo(second);
  EXPECT_EQ(first, second);
  CheckInfo(*first);
  int32_t field = -1;
  EXPECT_TRUE(Fields()->HasRefNrField(field));
  EXPECT_EQ(field, 5);
  qdReleaseSpecialFieldsInfo(first);
  qdReleaseSpecialFieldsInfo(second);
}

TEST_F(FieldsTest, DiffInfoRequiresTheSystemMaintainedWordsAndTheirNullFlags) {
  Add(u"A", qdtInt32);     // word 0
  Add(u"Rev", qdtRecRev);  // word 1
  Add(u"C", qdtInt32);     // word 2
  Add(u"Ref", qdtRefNr);   // words 3, 4; bitmap word 5
  TqdDiffCompressorInfo* info = nullptr;
  Fields()->GetDiffCompressionInfo(info);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->dciSourceWord32Count, 6);
  ASSERT_EQ(info->dciRequiredBits.size(), 1u);
  EXPECT_EQ(info->dciRequiredBits[0], (1u << 1) | (1u << 3) | (1u << 4) | (1u << 5));
  qdReleaseDiffCompressorInfo(info);

  dictionary.MakeReadOnly();
  TqdDiffCompressorInfo* first = nullptr;
  TqdDiffCompressorInfo* second = nullptr;
  Fields()->GetDiffCompressionInfo(first);
  Fields()->GetDiffCompressionInfo(second);
  EXPECT_EQ(first, second) << "the published info is shared";
  EXPECT_EQ(first->dciRefCount, 3);
  Fields()->GetDiffCompressionInfo(first);
  EXPECT_EQ(first->dciRefCount, 3) << "asking again with the same info changes nothing";
  qdReleaseDiffCompressorInfo(first);
  qdReleaseDiffCompressorInfo(second);
}

TEST_F(FieldsTest, SameFieldsMeansSameLengthsAndCompatibleTypes) {
  Add(u"A", qdtInt64);
  Add(u"B", qdtBlob);
  TqdDataDictionary other;
  other.FieldsDescriptor()->AddField(u"X", u"", qdtRefNr, 0, 0, false);
  other.FieldsDescriptor()->AddField(u"Y", u"", qdtBlobMemo, 0, 0, false);
  TqdBlobFields blobs = {9};
  EXPECT_TRUE(Fields()->HasSameFields(other.FieldsDescriptor(), &blobs));
  EXPECT_EQ(blobs, (TqdBlobFields{1}));
  other.FieldsDescriptor()->AddField(u"Z", u"", qdtInt32, 0, 0, false);
  EXPECT_FALSE(Fields()->HasSameFields(other.FieldsDescriptor(), nullptr));
}

TEST_F(FieldsTest, FieldListAndRecordPool) {
  Add(u"A", qdtInt32);
  Add(u"B", qdtNullString, 30);
  TqdStringList names;
  names.Add(u"stale");
  Fields()->GetFields(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(u8(names.Strings(1)), "B");
  EXPECT_EQ(names.Objects(1), Fields()->FieldDescriptor(1));
  EXPECT_GE(Fields()->RecordAllocator().ItemSize(), size_t(Fields()->RecordLength()) + 4);
  dictionary.MakeReadOnly();
  EXPECT_EQ(Fields()->RecordAllocator().Handle(), qdGetMemoryPool(Fields()->RecordLength() + 4).Handle());
}

TEST_F(FieldsTest, OriginalFieldCountIsKeptInACustomString) {
  Add(u"A", qdtInt32);
  EXPECT_EQ(Fields()->OriginalFieldCount(), 1);
  Fields()->SetOriginalFieldCount(7);
  EXPECT_EQ(Fields()->OriginalFieldCount(), 7);
  EXPECT_EQ(u8(Fields()->CustomStringValue(u"OriginalFieldCount")), "7");
  Fields()->SetOriginalFieldCount(0);
  EXPECT_FALSE(Fields()->HasCustomStringValue(u"OriginalFieldCount"));
}

// --- Streams ------------------------------------------------------------------------------------

TEST_F(FieldsTest, FieldsPartRoundTripsIntoAnotherDictionary) {
  Add(u"Id", qdtAutoInc);
  Add(u"Name", qdtWideString, 30)->AddLocaleDescriptor()->SetLocale(1033);
  Add(u"Price", qdtFmtBCD, 12, 2, true);
  Add(u"Ref", qdtRefNr);
  Fields()->FieldDescriptor(1)->SetNoClientAccess(true);
  Fields()->FieldDescriptor(2)->SetConstraintName(u"PriceCheck");
  TqdDataDictionary copy;
  loadItem(*copy.FieldsDescriptor(), itemBytes(*Fields()));
  EXPECT_TRUE(copy.FieldsDescriptor()->IsEqual(Fields()));
  EXPECT_EQ(copy.FieldsDescriptor()->RecordLength(), Fields()->RecordLength());
  EXPECT_EQ(copy.GetConstraintByName(u"PriceCheck"), copy.FieldsDescriptor()->FieldDescriptor(2));
  copy.FieldsDescriptor()->FieldDescriptor(1)->SetNoClientAccess(false);
  EXPECT_FALSE(copy.FieldsDescriptor()->IsEqual(Fields()));
}

// Default values and validations are read by their own classes; a name no
// registry knows is refused, never skipped.
TEST_F(FieldsTest, UnregisteredDefaultValueClassIsRefused) {
  Add(u"Stamp", qdtInt64)->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo);
  // The same stream naming a class nobody registered (same length, so the
  // stream stays well formed).
  Bytes bytes = itemBytes(*Fields());
  const std::string known = "TqdNextLSNDefaultValueDescriptor";
  const auto at = std::search(bytes.begin(), bytes.end(), known.begin(), known.end());
  ASSERT_NE(at, bytes.end());
  *(at + 3) = 'X';
  TqdDataDictionary copy;
  EXPECT_ENGINE_ERROR(loadItem(*copy.FieldsDescriptor(), bytes), qdeUnsupportedDescriptor,
                      "DefaultValueDescriptor class is not supported: TqdXextLSNDefaultValueDescriptor");
}

TEST_F(FieldsTest, OlderClientsGetRefNrAsInt64AndTheLossIsFlagged) {
  Add(u"Ref", qdtRefNr);
  qdDictionaryInfoLost = false;
  TqdDataDictionary copy;
  loadItem(*copy.FieldsDescriptor(), itemBytes(*Fields(), 47004));
  EXPECT_TRUE(qdDictionaryInfoLost);
  EXPECT_EQ(copy.FieldsDescriptor()->FieldDescriptor(0)->FieldType(), qdtInt64);
  qdDictionaryInfoLost = false;
  loadItem(*copy.FieldsDescriptor(), itemBytes(*Fields(), 47005));
  EXPECT_FALSE(qdDictionaryInfoLost);
  EXPECT_EQ(copy.FieldsDescriptor()->FieldDescriptor(0)->FieldType(), qdtRefNr);
  EXPECT_ENGINE_ERROR(itemBytes(*Fields(), 19999), qdeIncompatibleServer, "");
}

TEST_F(FieldsTest, StandaloneFieldRoundTripsAndRefNrNeedsANewClient) {
  TqdFieldDescriptor* field = Add(u"Title", qdtNullString, 20, 3);
  const Bytes bytes = written([&](TqdWriter& aWriter) { field->SaveStandalone(aWriter, qdEngineClientVersion); });
  TqdFieldDescriptor* copy = nullptr;
  readBytes(bytes, [&](TqdReader& aReader) { copy = TqdFieldDescriptor::CreateStandaloneFromReader(aReader); });
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(u8(copy->Name()), "Title");
  EXPECT_EQ(copy->Units(), 20);
  EXPECT_EQ(copy->DecPl(), 20);
  EXPECT_EQ(copy->Length(), 21);
  delete copy;

  TqdFieldDescriptor* ref = Add(u"Ref", qdtRefNr);
  EXPECT_ENGINE_ERROR(written([&](TqdWriter& aWriter) { ref->SaveStandalone(aWriter, 47004); }), qdeIncompatibleServer,
                      "");
}

// A field body as written ahead by hand: only the stored layout varies.
Bytes standaloneField(const char16_t* aClass, const char16_t* aType, int32_t aUnits, int32_t aOffset, int32_t aLength) {
  return written([&](TqdWriter& aWriter) {
    aWriter.WriteInteger(1);
    aWriter.WriteString(aClass);
    aWriter.WriteString(u"F");
    aWriter.WriteString(u"");
    aWriter.WriteString(aType);
    aWriter.WriteInteger(aUnits);
    aWriter.WriteInteger(0);
    aWriter.WriteBoolean(false);
    aWriter.WriteInteger(3);  // item header
    aWriter.WriteListBegin();
    aWriter.WriteListEnd();
    aWriter.WriteInteger(0);
    aWriter.WriteString(u"");
    aWriter.WriteInteger(3);  // body
    aWriter.WriteInteger(aOffset);
    aWriter.WriteInteger(aLength);
    aWriter.WriteBoolean(false);
    aWriter.WriteBoolean(false);
    aWriter.WriteInteger(1);  // locale part
    aWriter.WriteBoolean(false);
    aWriter.WriteBoolean(false);
  });
}

TEST(FieldStreamDamageTest, StoredLayoutsThatDisagreeWithTheTypeAreRefused) {
  struct Case {
    const char* name;
    const char16_t* className;
    const char16_t* type;
    int32_t offset, length;
    TqdResult code;
  };
  const Case cases[] = {
      {"consistent", u"TqdFieldDescriptor", u"qdtInt32", 0, 4, 0},
      {"length too long", u"TqdFieldDescriptor", u"qdtInt32", 0, 40000, qdeIncompatibleStream},
      {"length too short", u"TqdFieldDescriptor", u"qdtInt32", 0, 2, qdeIncompatibleStream},
      {"negative offset", u"TqdFieldDescriptor", u"qdtInt32", -8, 4, qdeIncompatibleStream},
      {"unknown type", u"TqdFieldDescriptor", u"qdtInt33", 0, 4, qdeIncompatibleStream},
      {"unknown class", u"TqdNoSuchField", u"qdtInt32", 0, 4, qdeUnsupportedDescriptor},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = standaloneField(c.className, c.type, 0, c.offset, c.length);
    TqdFieldDescriptor* field = nullptr;
    const test::TqdCaughtError caught = test::catchError([&] {
      readBytes(bytes, [&](TqdReader& aReader) { field = TqdFieldDescriptor::CreateStandaloneFromReader(aReader); });
    });
    EXPECT_EQ(caught.Code, c.code) << caught.Text;
    if (c.code == qdeUnsupportedDescriptor) {
      EXPECT_EQ(caught.Text, "FieldDescriptor class is not supported: TqdNoSuchField");
    }
    delete field;
  }
}

TEST_F(FieldsTest, FieldsPartWhoseOffsetsAreNotPackedIsRefused) {
  Add(u"A", qdtInt32);
  Add(u"B", qdtInt32);
  Bytes bytes = itemBytes(*Fields());
  // The second field's stored offset (Integer 4, written as 02 04 right
  // after its body version 02 03) is changed to 0.
  const Bytes pattern = {2, 3, 2, 4, 2, 4};
  auto at = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
  ASSERT_NE(at, bytes.end());
  *(at + 3) = 0;
  TqdDataDictionary copy;
  EXPECT_ENGINE_ERROR(loadItem(*copy.FieldsDescriptor(), bytes), qdeIncompatibleStream, "");
}

}  // namespace
}  // namespace qd
