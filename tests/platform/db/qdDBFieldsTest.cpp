// Field classes: the bytes each writes into a record buffer, the typed
// getters reading them back, nulls, range checks and 8-bit text cut at a
// character boundary.
#include <gtest/gtest.h>

#include <functional>

#include "dictionary/qdsdFmtBcd.h"
#include "platform/db/qdDB.h"
#include "platform/db/qdDBConsts.h"
#include "platform/qdDateTime.h"
#include "platform/qdExtended.h"
#include "platform/qdNls.h"
#include "platform/qdProcessProfile.h"
#include "tests/platform/db/qdDBTestDataSet.h"

namespace qd {
namespace {

using test::FieldLayout;
using test::ScriptedDataSet;
using Bytes = std::vector<uint8_t>;

template <class T>
Bytes le(T aValue) {
  Bytes bytes(sizeof(T));
  qdPutLE<T>(bytes.data(), aValue);
  return bytes;
}

Bytes text(const std::string& aText, size_t aSize) {
  Bytes bytes(aSize, 0);
  std::memcpy(bytes.data(), aText.data(), aText.size());
  return bytes;
}

TBcd bcd(const char* aText) {
  TBcd value;
  qdAnsiStrToBcd(aText, value);
  return value;
}

struct FieldCase {
  const char* what;
  FieldLayout layout;
  std::function<void(TField*)> set;
  Bytes bytes;
  std::function<void(TField*)> check;
};

class FieldsTest : public ::testing::Test {
 public:
  // One open dataset with the field, on one row of nulls, in edit mode.
  TField* Editing(const FieldLayout& aLayout) {
    dataSet.reset(new ScriptedDataSet({aLayout}));
    dataSet->rows.push_back({TqdVariant::Null()});
    dataSet->Open();
    dataSet->Edit();
    return dataSet->Fields()[0];
  }
  TqdComponentPtr<ScriptedDataSet> dataSet;
};

TEST_F(FieldsTest, EveryClassWritesItsBufferFormatAndReadsItBack) {
  const TqdExtended ext = qdDoubleToExtended(2.5);
  const TBcd twelve = bcd("12.34");
  const FieldCase cases[] = {
      {"Boolean True",
       {u"F", ftBoolean},
       [](TField* f) { f->SetAsBoolean(true); },
       {0xFF, 0xFF},
       [](TField* f) {
         EXPECT_TRUE(f->AsBoolean());
         EXPECT_EQ(f->AsString(), u"True");
       }},
      {"Boolean False",
       {u"F", ftBoolean},
       [](TField* f) { f->SetAsString(u"False"); },
       {0, 0},
       [](TField* f) { EXPECT_FALSE(f->AsBoolean()); }},
      {"Date",
       {u"F", ftDate},
       [](TField* f) { f->SetAsDateTime(EncodeDate(2024, 3, 14)); },
       le<int32_t>(738959),
       [](TField* f) { EXPECT_EQ(f->AsDateTime(), EncodeDate(2024, 3, 14)); }},
      {"Time",
       {u"F", ftTime},
       [](TField* f) { f->SetAsDateTime(EncodeTime(12, 0, 0, 0)); },
       le<int32_t>(43200000),
       [](TField* f) { EXPECT_EQ(f->AsDateTime(), 0.5); }},
      {"DateTime",
       {u"F", ftDateTime},
       [](TField* f) { f->SetAsDateTime(0.5); },
       le<double>(59926564800000.0),
       [](TField* f) { EXPECT_EQ(f->AsDateTime(), 0.5); }},
      {"Guid",
       {u"F", ftGuid, 38},
       [](TField* f) { f->SetAsString(u"{01234567-89AB-CDEF-0123-456789ABCDEF}"); },
       text("{01234567-89AB-CDEF-0123-456789ABCDEF}", 39),
       [](TField* f) { EXPECT_EQ(f->AsString(), u"{01234567-89AB-CDEF-0123-456789ABCDEF}"); }},
      {"BCD",
       {u"F", ftBCD},
       [](TField* f) { f->SetAsBCD(bcd("12.34")); },
       Bytes(twelve.Bytes.begin(), twelve.Bytes.end()),
       [](TField* f) {
         EXPECT_DOUBLE_EQ(f->AsFloat(), 12.34);
         EXPECT_EQ(f->AsBCD(), bcd("12.34"));
       }},
      {"FMTBcd",
       {u"F", ftFMTBcd},
       [](TField* f) { f->SetAsFloat(12.34); },
       Bytes(twelve.Bytes.begin(), twelve.Bytes.end()),
       [](TField* f) { EXPECT_EQ(f->AsString(), u"12.34"); }},
      {"Currency",
       {u"F", ftCurrency},
       [](TField* f) { f->SetAsCurrency(12.5); },
       le<double>(12.5),
       [](TField* f) { EXPECT_EQ(f->AsCurrency(), 12.5); }},
      {"Float",
       {u"F", ftFloat},
       [](TField* f) { f->SetAsFloat(-1.25); },
       le<double>(-1.25),
       [](TField* f) { EXPECT_EQ(f->AsFloat(), -1.25); }},
      {"Single",
       {u"F", ftSingle},
       [](TField* f) { f->SetAsFloat(1.5); },
       le<float>(1.5f),
       [](TField* f) { EXPECT_EQ(f->AsFloat(), 1.5); }},
      {"Extended",
       {u"F", ftExtended},
       [](TField* f) { f->SetAsFloat(2.5); },
       Bytes(ext.Bytes.begin(), ext.Bytes.end()),
       [](TField* f) { EXPECT_EQ(f->AsFloat(), 2.5); }},
      {"Smallint",
       {u"F", ftSmallint},
       [](TField* f) { f->SetAsInteger(-2); },
       le<int16_t>(-2),
       [](TField* f) { EXPECT_EQ(f->AsInteger(), -2); }},
      {"Shortint",
       {u"F", ftShortint},
       [](TField* f) { f->SetAsInteger(-1); },
       {0xFF},
       [](TField* f) { EXPECT_EQ(f->AsInteger(), -1); }},
      {"Byte",
       {u"F", ftByte},
       [](TField* f) { f->SetAsInteger(255); },
       {0xFF},
       [](TField* f) { EXPECT_EQ(f->AsInteger(), 255); }},
      {"Word",
       {u"F", ftWord},
       [](TField* f) { f->SetAsString(u"65535"); },
       le<uint16_t>(65535),
       [](TField* f) { EXPECT_EQ(f->AsInteger(), 65535); }},
      {"Integer",
       {u"F", ftInteger},
       [](TField* f) { f->SetAsInteger(-100000); },
       le<int32_t>(-100000),
       [](TField* f) { EXPECT_EQ(f->AsString(), u"-100000"); }},
      {"LongWord",
       {u"F", ftLongWord},
       [](TField* f) { f->SetAsLargeInt(4000000000); },
       le<uint32_t>(4000000000u),
       [](TField* f) { EXPECT_EQ(f->AsLargeInt(), 4000000000); }},
      {"Largeint",
       {u"F", ftLargeint},
       [](TField* f) { f->SetAsLargeInt(-(int64_t{1} << 40)); },
       le<int64_t>(-(int64_t{1} << 40)),
       [](TField* f) { EXPECT_EQ(f->AsLargeInt(), -(int64_t{1} << 40)); }},
      {"AutoInc",
       {u"F", ftAutoInc},
       [](TField* f) { f->SetAsInteger(7); },
       le<int32_t>(7),
       [](TField* f) { EXPECT_EQ(f->AsInteger(), 7); }},
      {"String",
       {u"F", ftString, 5},
       [](TField* f) { f->SetAsString(u"abc"); },
       text("abc", 6),
       [](TField* f) { EXPECT_EQ(f->AsString(), u"abc"); }},
      {"String cut to its size",
       {u"F", ftString, 3},
       [](TField* f) { f->SetAsString(u"abcdef"); },
       text("abc", 4),
       [](TField* f) { EXPECT_EQ(f->AsString(), u"abc"); }},
      {"WideString",
       {u"F", ftWideString, 3},
       [](TField* f) { f->SetAsString(u"a\u00e9"); },
       {'a', 0, 0xE9, 0, 0, 0, 0, 0},
       [](TField* f) { EXPECT_EQ(f->AsString(), u"a\u00e9"); }},
      {"Bytes",
       {u"F", ftBytes, 4},
       [](TField* f) {
         f->SetAsBytes({1, 2, 3});
       },
       {1, 2, 3, 0},
       [](TField* f) {
         EXPECT_EQ(f->AsBytes(), (Bytes{1, 2, 3, 0}));
       }},
      {"VarBytes",
       {u"F", ftVarBytes, 4},
       [](TField* f) {
         f->SetAsBytes({9, 8});
       },
       {2, 0, 9, 8, 0, 0},
       [](TField* f) {
         EXPECT_EQ(f->AsVariant().Bytes(), (Bytes{9, 8}));
       }},
      {"Blob number",
       {u"F", ftBlob},
       [](TField* f) { f->SetData(le<int64_t>(77).data()); },
       le<int64_t>(77),
       [](TField* f) { EXPECT_THROW((void)f->AsString(), EDatabaseError); }},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.what);
    TField* field = Editing(c.layout);
    ASSERT_TRUE(field->IsNull());
    c.set(field);
    Bytes buffer(static_cast<size_t>(field->DataSize()), 0xCC);
    ASSERT_EQ(buffer.size(), c.bytes.size());
    ASSERT_TRUE(field->GetData(buffer.data()));
    EXPECT_EQ(buffer, c.bytes);
    c.check(field);
    field->Clear();
    EXPECT_TRUE(field->IsNull());
    EXPECT_FALSE(field->GetData(buffer.data()));
  }
}

TEST_F(FieldsTest, EachTypeGetsItsFieldClass) {
  struct ClassCase {
    TFieldType type;
    std::function<bool(TField*)> is;
  };
  const ClassCase cases[] = {
      {ftString, [](TField* f) { return dynamic_cast<TStringField*>(f) != nullptr; }},
      {ftMemo, [](TField* f) { return dynamic_cast<TMemoField*>(f) != nullptr; }},
      {ftWideMemo, [](TField* f) { return dynamic_cast<TWideMemoField*>(f) != nullptr; }},
      {ftGraphic, [](TField* f) { return dynamic_cast<TGraphicField*>(f) != nullptr; }},
      {ftBlob, [](TField* f) { return dynamic_cast<TBlobField*>(f) != nullptr; }},
      {ftLargeint, [](TField* f) { return dynamic_cast<TLargeintField*>(f) != nullptr; }},
      {ftVariant, [](TField* f) { return dynamic_cast<TVariantField*>(f) != nullptr; }},
      {ftGuid, [](TField* f) { return dynamic_cast<TGuidField*>(f) != nullptr; }},
      {ftFMTBcd, [](TField* f) { return dynamic_cast<TFMTBCDField*>(f) != nullptr; }},
  };
  for (const ClassCase& c : cases) {
    SCOPED_TRACE(StringToUtf8(FieldTypeName(c.type)));
    TFieldClass make = DefaultFieldClass(c.type);
    ASSERT_NE(make, nullptr);
    std::unique_ptr<TField> field(make(nullptr));
    EXPECT_TRUE(c.is(field.get()));
    EXPECT_EQ(field->DataType(), c.type);
  }
  EXPECT_EQ(DefaultFieldClass(ftADT), nullptr);
}

TEST_F(FieldsTest, StringUnderCodePage932IsCutAtACharacterBoundary) {
  TqdScopedProcessProfile japanese(1041, 932);
  TField* field = Editing({u"F", ftString, 10});
  field->SetAsString(u"a\u3042\u3044\u3046\u3048\u304a");  // a, then five two-byte characters
  Bytes buffer(11, 0xCC);
  ASSERT_TRUE(field->GetData(buffer.data()));
  std::string expected;
  ASSERT_TRUE(qdEncodeCodePage(932, u"a\u3042\u3044\u3046\u3048", expected));
  ASSERT_EQ(expected.size(), 9u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data())), expected);
  EXPECT_EQ(buffer[9], 0);
  EXPECT_EQ(field->AsString(), u"a\u3042\u3044\u3046\u3048");
}

TEST_F(FieldsTest, ValuesOutsideTheTypesRangeAreRefusedNamingTheField) {
  struct RangeCase {
    TFieldType type;
    int64_t value;
  };
  const RangeCase cases[] = {{ftSmallint, 40000},           {ftShortint, -129}, {ftByte, 256}, {ftWord, -1},
                             {ftInteger, int64_t{1} << 31}, {ftLongWord, -1}};
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(StringToUtf8(FieldTypeName(c.type)));
    TField* field = Editing({u"Qty", c.type});
    try {
      field->SetAsLargeInt(c.value);
      FAIL() << "no error";
    } catch (const EDatabaseError& e) {
      EXPECT_NE(e.Message().find(u"'Qty'"), qdString::npos) << StringToUtf8(e.Message());
    }
    EXPECT_TRUE(field->IsNull());
  }
}

TEST_F(FieldsTest, WritingOutsideEditModesAndReadOnlyFieldsRaise) {
  TField* field = Editing({u"F", ftInteger});
  dataSet->Cancel();
  EXPECT_THROW(field->SetAsInteger(1), EDatabaseError);
  dataSet->Edit();
  field->SetReadOnly(true);
  EXPECT_THROW(field->SetAsInteger(1), EDatabaseError);
}

TEST_F(FieldsTest, OnValidateCanRefuseAndOnChangeFollowsAWrite) {
  TField* field = Editing({u"F", ftInteger});
  int changes = 0;
  field->OnValidate = [](TField* aField) {
    if (aField->DataSet()->State() == dsEdit && aField->FieldName() == u"F") throw EDatabaseError(u"refused");
  };
  field->OnChange = [&](TField*) { ++changes; };
  EXPECT_THROW(field->SetAsInteger(5), EDatabaseError);
  EXPECT_TRUE(field->IsNull());
  EXPECT_EQ(changes, 0);
  field->OnValidate = nullptr;
  field->SetAsInteger(5);
  EXPECT_EQ(changes, 1);
  field->OnChange = nullptr;  // it refers to this test's locals
}

TEST_F(FieldsTest, CalculatedFieldsLiveInTheirOwnAreaAndNumberBelowOne) {
  dataSet.reset(new ScriptedDataSet({{u"Qty", ftInteger}}));
  dataSet->rows = {{TqdVariant(3)}, {TqdVariant(4)}};
  TField* qty = (new TIntegerField(dataSet.get()));
  qty->SetFieldName(u"Qty");
  auto* twice = new TIntegerField(dataSet.get());
  twice->SetFieldName(u"Twice");
  twice->SetFieldKind(fkCalculated);
  dataSet->OnCalcFields = [qty, twice](TDataSet*) { twice->SetAsInteger(qty->AsInteger() * 2); };
  dataSet->Open();
  EXPECT_EQ(qty->FieldNo(), 1);
  EXPECT_LE(twice->FieldNo(), 0);
  EXPECT_EQ(twice->Offset(), 0);
  EXPECT_EQ(twice->AsInteger(), 6);
  dataSet->Next();
  EXPECT_EQ(twice->AsInteger(), 8);
  dataSet->Edit();
  qty->SetAsInteger(10);
  EXPECT_EQ(twice->AsInteger(), 20);
}

TEST_F(FieldsTest, PersistentFieldOfAnotherTypeIsRefusedWithTheMismatchText) {
  dataSet.reset(new ScriptedDataSet({{u"Qty", ftInteger}}));
  auto* field = new TStringField(dataSet.get());
  field->SetFieldName(u"Qty");
  try {
    dataSet->Open();
    FAIL() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"フィールド 'Qty' の型が一致しません。String が必要ですが実際は Integer です");
  }
  EXPECT_FALSE(dataSet->Active());
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

TEST_F(FieldsTest, ByteArrayFormCopiesAtMostItsLengthAndTakesEmptyAsNull) {
  TField* field = Editing({u"F", ftInteger});
  dataSet->SetFieldData(field, std::vector<uint8_t>{0x01, 0x02});
  EXPECT_EQ(field->AsInteger(), 0x0201);
  std::vector<uint8_t> two(2, 0xCC);
  ASSERT_TRUE(dataSet->GetFieldData(field, two));
  EXPECT_EQ(two, (std::vector<uint8_t>{0x01, 0x02}));
  dataSet->SetFieldData(field, std::vector<uint8_t>{});
  EXPECT_TRUE(field->IsNull());
  EXPECT_FALSE(dataSet->GetFieldData(field, two));
}

}  // namespace
}  // namespace qd
