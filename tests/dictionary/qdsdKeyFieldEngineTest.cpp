// Key field engines: registry, key images, comparisons of every field type,
// text keys under byte order and locales, the named engines and threads.
#include "dictionary/qdsdKeyFieldEngineBase.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "platform/qdDateTime.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdNls.h"
#include "platform/qdStringList.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::u8;

// One table with one field "F" (plus "G" of the same type) and a composite
// key on F; Configure adjusts the key field before the engine is built.
struct KeyFieldSetup {
  TqdFieldType Type = qdtInt32;
  int32_t Units = 0;
  bool Ascend = true;
  bool TextKeyField = false;
  bool IgnoreCase = false;
  int32_t KeyChars = 0;
  int32_t KeyBytes = 0;
  uint32_t Locale = 0;       // key field locale; 0 = none
  uint32_t FieldLocale = 0;  // field locale; 0 = none
  qdString Engine;           // KeyFieldEngine name
  TqdNullBehaviour NullBehaviour = nbTop;
};

class TqdKeyFieldFixture {
 public:
  explicit TqdKeyFieldFixture(const KeyFieldSetup& aSetup) {
    TqdFieldsDescriptor* fields = dictionary.FieldsDescriptor();
    fields->AddField(u"F", u"", aSetup.Type, aSetup.Units, 0, false);
    fields->AddField(u"G", u"", aSetup.Type, aSetup.Units, 0, false);
    if (aSetup.FieldLocale != 0) fields->FieldDescriptor(0)->AddLocaleDescriptor()->SetLocale(aSetup.FieldLocale);
    auto* key =
        static_cast<TqdCompKeyDescriptor*>(dictionary.IndicesDescriptor()
                                               ->AddIndex(u"K", 0, idNone, u"", &TqdCompKeyDescriptor::ClassInfo)
                                               ->KeyDescriptor());
    keyField = key->Add(0, aSetup.TextKeyField || aSetup.IgnoreCase ? &TqdTextKeyFieldDescriptor::ClassInfo : nullptr);
    if (aSetup.IgnoreCase) static_cast<TqdTextKeyFieldDescriptor*>(keyField)->SetIgnoreCase(true);
    keyField->SetAscend(aSetup.Ascend);
    keyField->SetOverrideLengthChars(aSetup.KeyChars);
    keyField->SetOverrideLengthBytes(aSetup.KeyBytes);
    keyField->SetNullBehaviour(aSetup.NullBehaviour);
    keyField->SetKeyFieldEngine(aSetup.Engine);
    if (aSetup.Locale != 0) keyField->AddLocaleDescriptor()->SetLocale(aSetup.Locale);
  }

  TqdCompositeKeyFieldEngine& Engine() {
    if (!engine) engine.reset(TqdCompositeKeyFieldEngine::CreateEngine(keyField));
    return *engine;
  }
  Bytes Key(const Bytes& aField) {
    Bytes field = aField;
    field.resize(static_cast<size_t>(Engine().ckfeFieldLength), 0);
    Bytes key(static_cast<size_t>(Engine().ckfeKeyLength), 0);
    Engine().BuildKey(field.data(), key.data());
    return key;
  }
  // Pads a field image to the field's length.
  Bytes Field(const Bytes& aField) {
    Bytes field = aField;
    field.resize(static_cast<size_t>(Engine().ckfeFieldLength), 0);
    return field;
  }
  int Compare(const Bytes& aField1, const Bytes& aField2) {
    return Engine().CompareKey(Key(aField1).data(), Key(aField2).data());
  }
  int Partial(const Bytes& aField1, const Bytes& aField2, int32_t aPartialLen) {
    return Engine().PartialCompareKey(Key(aField1).data(), Key(aField2).data(), aPartialLen);
  }

  TqdDataDictionary dictionary;
  TqdKeyFieldDescriptor* keyField = nullptr;
  std::unique_ptr<TqdCompositeKeyFieldEngine> engine;
};

template <class T>
Bytes le(T aValue) {
  Bytes bytes(sizeof(T));
  std::memcpy(bytes.data(), &aValue, sizeof(T));
  return bytes;
}

Bytes shortText(std::string_view aText) {
  Bytes bytes{static_cast<uint8_t>(aText.size())};
  bytes.insert(bytes.end(), aText.begin(), aText.end());
  return bytes;
}
Bytes nullText(std::string_view aText) {
  Bytes bytes(aText.begin(), aText.end());
  bytes.push_back(0);
  return bytes;
}
Bytes wideText(std::u16string_view aText) {
  Bytes bytes;
  for (char16_t c : aText) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}
// Text in code page 932.
std::string sjis(std::u16string_view aText) {
  std::string bytes;
  EXPECT_TRUE(qdEncodeCodePage(932, aText, bytes));
  return bytes;
}

Bytes dateTimeImage(uint16_t aYear, uint16_t aMonth, uint16_t aDay, uint16_t aHour, uint16_t aMinute) {
  const TDateTime value = EncodeDateTime(aYear, aMonth, aDay, aHour, aMinute, 0, 0);
  return le(static_cast<double>(TimeStampToMSecs(DateTimeToTimeStamp(value))));
}

// --- Registry -------------------------------------------------------------------------------------------

TEST(KeyFieldEngineRegistryTest, StartUpRegistersTheSixEnginesInNameOrder) {
  EXPECT_EQ(u8(TqdCompositeKeyFieldEngine::RegisteredEngines()),
            ",DateOnly,DateOnlyMonth,DateOnlyWeek,DateOnlyYear,NumbersOnly");
}

TEST(KeyFieldEngineRegistryTest, NamesSelectTheirClassIgnoringCase) {
  struct Case {
    const char16_t* name;
    const TqdClassInfo* cls;
  };
  const Case cases[] = {
      {u"", &TqdCompositeKeyFieldEngine::ClassInfo},        {u"dateonly", &TqdDateOnlyCKFE::ClassInfo},
      {u"NUMBERSONLY", &TqdNumbersOnlyCKFE::ClassInfo},     {u"DateOnlyWeek", &TqdDateOnlyWeekCKFE::ClassInfo},
      {u"dateonlymonth", &TqdDateOnlyMonthCKFE::ClassInfo}, {u"DateOnlyYear", &TqdDateOnlyYearCKFE::ClassInfo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.name));
    KeyFieldSetup setup;
    setup.Type = qdtDateTime;
    setup.Engine = c.name;
    TqdKeyFieldFixture fixture(setup);
    EXPECT_EQ(&fixture.Engine().ClassType(), c.cls);
    TqdCompositeKeyFieldEngine::CheckValidBase(fixture.keyField);
  }
}

TEST(KeyFieldEngineRegistryTest, UnknownNamesAreRefusedWith15503) {
  KeyFieldSetup setup;
  setup.Engine = u"Soundex";
  TqdKeyFieldFixture fixture(setup);
  const char* text = "CompositeKeyFieldEngine \"Soundex\" is not registered";
  EXPECT_ENGINE_ERROR(TqdCompositeKeyFieldEngine::CreateEngine(fixture.keyField), 15503, text);
  EXPECT_ENGINE_ERROR(TqdCompositeKeyFieldEngine::CheckValidBase(fixture.keyField), 15503, text);
  EXPECT_FALSE(TqdCompositeKeyFieldEngine::CheckSupportsFieldType(u"Soundex", qdtInt32));
}

TEST(KeyFieldEngineRegistryTest, TypeSupportIsTheClassesAnswer) {
  struct Case {
    const char16_t* name;
    TqdFieldType type;
    bool supported;
  };
  const Case cases[] = {
      {u"", qdtInt32, true},
      {u"", qdtGuid, true},
      {u"", qdtBlob, false},
      {u"", qdtFmtBCD, false},
      {u"NumbersOnly", qdtNullString, true},
      {u"NumbersOnly", qdtInt32, false},
      {u"DateOnly", qdtDateTime, true},
      {u"DateOnly", qdtDate, false},
      {u"DateOnlyWeek", qdtInt32, true},  // inherited from the default engine
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.name) + " " + u8(qdFieldTypeIdent(c.type)));
    EXPECT_EQ(TqdCompositeKeyFieldEngine::CheckSupportsFieldType(c.name, c.type), c.supported);
  }
}

TEST(KeyFieldEngineRegistryTest, DateEnginesAssertADateTimeField) {
  for (const char16_t* name : {u"DateOnly", u"DateOnlyWeek", u"DateOnlyMonth", u"DateOnlyYear"}) {
    SCOPED_TRACE(u8(name));
    KeyFieldSetup setup;
    setup.Engine = name;
    TqdKeyFieldFixture fixture(setup);
    EXPECT_THROW(TqdCompositeKeyFieldEngine::CreateEngine(fixture.keyField), EAssertionFailed);
    EXPECT_THROW(TqdCompositeKeyFieldEngine::CheckValidBase(fixture.keyField), EAssertionFailed);
  }
}

TEST(KeyFieldEngineRegistryTest, DuplicatesAreRefusedAndUnregisterTakesDescendants) {
  EXPECT_THROW(TqdCompositeKeyFieldEngine::Register(TqdDateOnlyCKFE::ClassInfo, u"dateONLY", {qdtDateTime}),
               EStringListError);
  TqdCompositeKeyFieldEngine::Unregister(TqdDateOnlyProcessCKFE::ClassInfo);
  EXPECT_EQ(u8(TqdCompositeKeyFieldEngine::RegisteredEngines()), ",DateOnly,NumbersOnly");
  TqdCompositeKeyFieldEngine::Register(TqdDateOnlyWeekCKFE::ClassInfo, u"DateOnlyWeek", {qdtDateTime});
  TqdCompositeKeyFieldEngine::Register(TqdDateOnlyMonthCKFE::ClassInfo, u"DateOnlyMonth", {qdtDateTime});
  TqdCompositeKeyFieldEngine::Register(TqdDateOnlyYearCKFE::ClassInfo, u"DateOnlyYear", {qdtDateTime});
  EXPECT_EQ(u8(TqdCompositeKeyFieldEngine::RegisteredEngines()),
            ",DateOnly,DateOnlyMonth,DateOnlyWeek,DateOnlyYear,NumbersOnly");
}

// --- Construction ----------------------------------------------------------------------------------------

TEST(KeyFieldEngineTest, BlobFieldsHaveNoKey) {
  KeyFieldSetup setup;
  setup.Type = qdtBlob;
  TqdKeyFieldFixture fixture(setup);
  EXPECT_ENGINE_ERROR(fixture.Engine(), 12289, "FieldType \"BLOB\" not supported by TqdCompositeKeyFieldEngine");
}

TEST(KeyFieldEngineTest, AKeyFieldOfNoFieldIsRefused) {
  TqdKeyFieldFixture fixture(KeyFieldSetup{});
  fixture.keyField->SetFieldNumber(7);
  EXPECT_ENGINE_ERROR(fixture.Engine(), qdeInvalidDescNum, "");
}

TEST(KeyFieldEngineTest, NullBehaviourSetsTheThreeFlags) {
  struct Case {
    TqdNullBehaviour behaviour;
    bool ascend, invert, filterNull, filterNonNull;
  };
  const Case cases[] = {
      {nbTop, true, false, false, false},       {nbTop, false, false, false, false},
      {nbBottom, true, true, false, false},     {nbBottom, false, true, false, false},
      {nbAsAscend, true, false, false, false},  {nbAsAscend, false, true, false, false},
      {nbFilterNull, true, false, true, false}, {nbFilterNonNull, true, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(qdNullBehaviourName(c.behaviour)) + (c.ascend ? " asc" : " desc"));
    KeyFieldSetup setup;
    setup.NullBehaviour = c.behaviour;
    setup.Ascend = c.ascend;
    TqdKeyFieldFixture fixture(setup);
    EXPECT_EQ(fixture.Engine().InvertNull, c.invert);
    EXPECT_EQ(fixture.Engine().FilterNull, c.filterNull);
    EXPECT_EQ(fixture.Engine().FilterNonNull, c.filterNonNull);
  }
}

TEST(KeyFieldEngineTest, DescribesTheKeyFieldLikeAField) {
  KeyFieldSetup setup;
  setup.Type = qdtNullString;
  setup.Units = 20;
  setup.KeyChars = 5;
  setup.Locale = 1041;
  TqdKeyFieldFixture fixture(setup);
  TqdCompositeKeyFieldEngine& engine = fixture.Engine();
  IqdFieldDescriptor& described = engine;
  EXPECT_EQ(u8(described.GetName()), "F");
  EXPECT_EQ(described.GetFieldType(), qdtNullString);
  EXPECT_EQ(described.GetUnits(), 5) << "the key's characters, not the field's";
  EXPECT_EQ(described.GetUsedLocaleDescriptor(), fixture.keyField->LocaleDescriptor());
  EXPECT_EQ(described.GetUsedStorageCodePage(), 932) << "the compare code page";
  EXPECT_EQ(engine.ckfeFieldOffset, 0);
  EXPECT_EQ(engine.ckfeKeyLength, 6);
  EXPECT_EQ(engine.ckfeLocale, 1041u);
  EXPECT_FALSE(engine.ckfeUseByteOrder);
}

TEST(KeyFieldEngineTest, CompareFlagsFollowTheLocaleAndIgnoreCase) {
  KeyFieldSetup setup;
  setup.Type = qdtWideString;
  setup.Units = 10;
  setup.IgnoreCase = true;
  TqdKeyFieldFixture fixture(setup);
  TqdLocaleDescriptor* locale = fixture.keyField->AddLocaleDescriptor();
  locale->SetLocale(1033);
  locale->SetIgnoreWidth(true);
  locale->SetIgnoreKanaType(true);
  locale->SetUseStringSort(true);
  EXPECT_EQ(fixture.Engine().ckfeCompareFlags,
            NORM_IGNORECASE | NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE | SORT_STRINGSORT);
  EXPECT_FALSE(fixture.Engine().ckfeNLSVersionChanged);
}

TEST(KeyFieldEngineTest, ASortVersionOtherThanTheBuildOneMarksTextKeysOnly) {
  for (TqdFieldType type : {qdtNullString, qdtInt32}) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(type)));
    KeyFieldSetup setup;
    setup.Type = type;
    setup.Units = 10;
    TqdKeyFieldFixture fixture(setup);
    TqdLocaleDescriptor* locale = fixture.keyField->AddLocaleDescriptor();
    locale->SetLocale(1041);
    TqdNLSVersionInfoEx stale;
    stale.dwNLSVersion = 1;
    locale->SetNLSVersionInfoBuild(&stale);
    EXPECT_EQ(fixture.Engine().ckfeNLSVersionChanged, type == qdtNullString);
  }
}

TEST(KeyFieldEngineTest, WideTextWithoutLocaleFollowsTheDictionarysByteOrderSetting) {
  for (bool byteOrder : {true, false}) {
    KeyFieldSetup setup;
    setup.Type = qdtWideString;
    setup.Units = 10;
    TqdKeyFieldFixture fixture(setup);
    fixture.dictionary.SetUseByteOrderForWideString(byteOrder);
    EXPECT_EQ(fixture.Engine().ckfeUseByteOrder, byteOrder);
    // Without a locale and without byte order the system locale orders:
    // "b" < "B" < "c" there, "B" < "b" < "c" by code units.
    EXPECT_EQ(fixture.Compare(wideText(u"b"), wideText(u"B")), byteOrder ? 1 : -1);
    EXPECT_EQ(fixture.Compare(wideText(u"B"), wideText(u"c")), -1);
  }
}

// --- Fixed types -----------------------------------------------------------------------------------------

TEST(KeyFieldEngineTest, FixedTypesOrderTheirValuesInBothDirections) {
  struct Case {
    TqdFieldType type;
    Bytes low, high;
  };
  TqdExtended extLow = qdDoubleToExtended(-2.5), extHigh = qdDoubleToExtended(1e300);
  const Case cases[] = {
      {qdtBoolean, {0}, {7}},
      {qdtByte, {1}, {200}},
      {qdtInt8, le<int8_t>(-100), le<int8_t>(5)},
      {qdtWord16, le<uint16_t>(1), le<uint16_t>(60000)},
      {qdtInt16, le<int16_t>(-30000), le<int16_t>(2)},
      {qdtWord32, le<uint32_t>(1), le<uint32_t>(0xF0000000u)},
      {qdtAutoInc, le<uint32_t>(1), le<uint32_t>(0xF0000000u)},
      {qdtInt32, le<int32_t>(-1), le<int32_t>(0)},
      {qdtInt32, le<int32_t>(0), le<int32_t>(1)},
      {qdtDate, le<int32_t>(738000), le<int32_t>(738001)},
      {qdtInt64, le<int64_t>(-5000000000LL), le<int64_t>(3)},
      {qdtCurrency, le<int64_t>(-1), le<int64_t>(1)},
      {qdtSingle, le<float>(-1.5f), le<float>(0.25f)},
      {qdtDouble, le<double>(-1e10), le<double>(-1e-10)},
      {qdtDateTime, le<double>(1000.0), le<double>(86400000.0)},
      {qdtExtended, Bytes(extLow.Bytes.begin(), extLow.Bytes.end()), Bytes(extHigh.Bytes.begin(), extHigh.Bytes.end())},
      {qdtGuid, Bytes(16, 0x01), Bytes(16, 0xF0)},
      {qdtChar, {'A'}, {'B'}},
      {qdtWideChar, le<uint16_t>(0x41), le<uint16_t>(0x3042)},
  };
  for (const Case& c : cases) {
    for (bool ascend : {true, false}) {
      SCOPED_TRACE(u8(qdFieldTypeIdent(c.type)) + (ascend ? " asc" : " desc"));
      KeyFieldSetup setup;
      setup.Type = c.type;
      setup.Ascend = ascend;
      TqdKeyFieldFixture fixture(setup);
      const int expected = ascend ? -1 : 1;
      EXPECT_EQ(fixture.Compare(c.low, c.high), expected);
      EXPECT_EQ(fixture.Compare(c.high, c.low), -expected);
      EXPECT_EQ(fixture.Compare(c.low, c.low), 0);
      EXPECT_FALSE(fixture.Engine().PartialCompareKey.Assigned());
      EXPECT_TRUE(fixture.Engine().KeySameAsRecordFormat);
    }
  }
}

TEST(KeyFieldEngineTest, SpecialValuesCompareConsistently) {
  KeyFieldSetup setup;
  setup.Type = qdtBoolean;
  TqdKeyFieldFixture booleans(setup);
  EXPECT_EQ(booleans.Compare({1}, {0xFF}), 0) << "every non-zero byte is True";
  setup.Type = qdtDouble;
  TqdKeyFieldFixture doubles(setup);
  EXPECT_EQ(doubles.Compare(le<double>(-0.0), le<double>(0.0)), 0);
  const Bytes nan = le<double>(std::nan(""));
  EXPECT_EQ(doubles.Compare(nan, le<double>(1e308)), 1) << "a NaN sorts after every number";
  EXPECT_EQ(doubles.Compare(nan, nan), 0);
}

TEST(KeyFieldEngineTest, GuidsUnderATextKeyFieldCompareAsText) {
  // D1 = 0x0000000A vs 0x00000100: bytes A0 00.. vs 00 01..; as text
  // "{0000000A-..." < "{00000100-...", bytewise the other way round.
  Bytes a(16, 0), b(16, 0);
  qdPutU32(a.data(), 0x0000000A);
  qdPutU32(b.data(), 0x00000100);
  KeyFieldSetup setup;
  setup.Type = qdtGuid;
  EXPECT_EQ(TqdKeyFieldFixture(setup).Compare(a, b), 1);
  setup.TextKeyField = true;
  EXPECT_EQ(TqdKeyFieldFixture(setup).Compare(a, b), -1);
}

TEST(KeyFieldEngineTest, KeysOfWholeFieldsGoBackIntoRecords) {
  KeyFieldSetup setup;
  setup.Type = qdtInt64;
  TqdKeyFieldFixture fixture(setup);
  const Bytes key = fixture.Key(le<int64_t>(-77));
  Bytes field(8, 0xCC);
  EXPECT_EQ(fixture.Engine().KeyToRecord(key.data(), field.data()), 0u);
  EXPECT_EQ(field, le<int64_t>(-77));
  TqdVariant value;
  fixture.Engine().KeyAsVariant(key.data(), value);
  EXPECT_EQ(value.AsInt64(), -77);
}

// --- Text keys ---------------------------------------------------------------------------------------------

TEST(KeyFieldEngineTest, ByteOrderIgnoreCaseFoldsAsciiLettersOnly) {
  struct Case {
    TqdFieldType type;
    std::function<Bytes(std::string_view)> image;
  };
  const auto wide = [](std::string_view s) {
    std::u16string w;
    for (char c : s) w += static_cast<char16_t>(static_cast<uint8_t>(c));
    return wideText(w);
  };
  const Case cases[] = {{qdtShortString, shortText}, {qdtNullString, nullText}, {qdtWideString, wide}};
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(c.type)));
    KeyFieldSetup setup;
    setup.Type = c.type;
    setup.Units = 10;
    setup.IgnoreCase = true;
    TqdKeyFieldFixture fixture(setup);
    ASSERT_TRUE(fixture.Engine().ckfeUseByteOrder);
    EXPECT_EQ(fixture.Compare(c.image("abc"), c.image("ABC")), 0);
    EXPECT_NE(fixture.Compare(c.image("\xE9"), c.image("\xC9")), 0) << "e acute and E acute stay apart";
    EXPECT_EQ(fixture.Compare(c.image("ab"), c.image("ABC")), -1);
    EXPECT_EQ(fixture.Compare(c.image("["), c.image("a")), 1) << "a folds to A, which sorts before [";
    setup.IgnoreCase = false;
    TqdKeyFieldFixture caseSensitive(setup);
    EXPECT_EQ(caseSensitive.Compare(c.image("abc"), c.image("ABC")), 1);
    EXPECT_EQ(caseSensitive.Compare(c.image("["), c.image("a")), -1);
  }
}

TEST(KeyFieldEngineTest, ShortKeysCompareOnlyTheirCharacters) {
  KeyFieldSetup setup;
  setup.Type = qdtShortString;
  setup.Units = 20;
  setup.KeyChars = 5;
  TqdKeyFieldFixture fixture(setup);
  EXPECT_EQ(fixture.Engine().ckfeKeyLength, 6);
  EXPECT_EQ(fixture.Compare(shortText("abcdefg"), shortText("abcdexyz")), 0);
  EXPECT_EQ(fixture.Compare(shortText("abcd"), shortText("abcdexyz")), -1);
  EXPECT_FALSE(fixture.Engine().KeySameAsRecordFormat);
  Bytes field = fixture.Field(shortText("abc"));
  EXPECT_EQ(fixture.Engine().KeyToRecord(fixture.Key(shortText("abc")).data(), field.data()), 12289u);
}

TEST(KeyFieldEngineTest, PartialComparisonsCountCharacters) {
  struct Case {
    const char* label;
    KeyFieldSetup setup;
    std::function<Bytes(std::u16string_view)> image;
  };
  const auto shortSjis = [](std::u16string_view s) { return shortText(sjis(s)); };
  const auto nullSjis = [](std::u16string_view s) { return nullText(sjis(s)); };
  KeyFieldSetup base;
  base.Units = 10;
  std::vector<Case> cases;
  for (TqdFieldType type : {qdtShortString, qdtNullString, qdtWideString}) {
    KeyFieldSetup s = base;
    s.Type = type;
    const auto image = type == qdtShortString  ? std::function<Bytes(std::u16string_view)>(shortSjis)
                       : type == qdtNullString ? std::function<Bytes(std::u16string_view)>(nullSjis)
                                               : std::function<Bytes(std::u16string_view)>(wideText);
    cases.push_back({"byte order", s, image});
    s.Locale = 1041;
    s.FieldLocale = 1041;
    cases.push_back({"locale 1041 (multi-byte compare code page)", s, image});
    s.Locale = 1033;
    s.FieldLocale = 1033;
    cases.push_back({"locale 1033", s, image});
  }
  for (Case& c : cases) {
    for (bool ascend : {true, false}) {
      SCOPED_TRACE(std::string(c.label) + " " + u8(qdFieldTypeIdent(c.setup.Type)) + (ascend ? " asc" : " desc"));
      c.setup.Ascend = ascend;
      TqdKeyFieldFixture fixture(c.setup);
      ASSERT_TRUE(fixture.Engine().PartialCompareKey.Assigned());
      const int sign = ascend ? 1 : -1;
      EXPECT_EQ(fixture.Partial(c.image(u"abc"), c.image(u"abd"), qdPartialLenWholeKey1), -sign);
      EXPECT_EQ(fixture.Partial(c.image(u"abc"), c.image(u"abcd"), qdPartialLenWholeKey1), 0);
      EXPECT_EQ(fixture.Partial(c.image(u"abcd"), c.image(u"abc"), qdPartialLenWholeKey2), 0);
      EXPECT_EQ(fixture.Partial(c.image(u"abx"), c.image(u"aby"), 2), 0);
      EXPECT_EQ(fixture.Partial(c.image(u"abx"), c.image(u"aby"), 3), -sign);
      EXPECT_EQ(fixture.Partial(c.image(u""), c.image(u"abc"), qdPartialLenWholeKey1), 0) << "an empty text";
      EXPECT_EQ(fixture.Partial(c.image(u""), c.image(u"abc"), 1), -sign);
      EXPECT_EQ(fixture.Compare(c.image(u"abc"), c.image(u"abcd")), -sign);
    }
  }
}

TEST(KeyFieldEngineTest, MultiBytePartialComparisonsCountCharactersNotBytes) {
  for (TqdFieldType type : {qdtShortString, qdtNullString}) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(type)));
    KeyFieldSetup setup;
    setup.Type = type;
    setup.Units = 20;
    setup.Locale = 1041;
    setup.FieldLocale = 1041;
    TqdKeyFieldFixture fixture(setup);
    const auto image = [&](std::u16string_view s) {
      return type == qdtShortString ? shortText(sjis(s)) : nullText(sjis(s));
    };
    // Two characters of four bytes agree; the third differs.
    EXPECT_EQ(fixture.Partial(image(u"日本語"), image(u"日本人"), 2), 0);
    EXPECT_NE(fixture.Partial(image(u"日本語"), image(u"日本人"), 3), 0);
    EXPECT_EQ(fixture.Partial(image(u"日本"), image(u"日本語"), qdPartialLenWholeKey1), 0);
  }
}

TEST(KeyFieldEngineTest, WideKeysKeepTheirCharactersAndATerminator) {
  KeyFieldSetup setup;
  setup.Type = qdtWideString;
  setup.Units = 40;
  setup.KeyChars = 10;
  TqdKeyFieldFixture fixture(setup);
  ASSERT_EQ(fixture.Engine().ckfeKeyLength, 22);
  EXPECT_EQ(fixture.Engine().ckfeBuildKeyLength, 22);
  const Bytes key = fixture.Key(wideText(u"abcdefghijklmnopqrstuvwxyz"));
  Bytes expected = wideText(u"abcdefghij");
  EXPECT_EQ(key, expected);
}

TEST(KeyFieldEngineTest, EightBitKeysCopyAtMostTheKeysCharacters) {
  struct Case {
    TqdFieldType type;
    int32_t keyChars;
    Bytes field, key;
  };
  const Case cases[] = {
      {qdtShortString, 0, shortText("hello"), Bytes{5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 0}},
      {qdtShortString, 3, shortText("hello"), Bytes{3, 'h', 'e', 'l'}},
      {qdtNullString, 0, nullText("hello"), Bytes{'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 0, 0}},
      {qdtNullString, 3, nullText("hello"), Bytes{'h', 'e', 'l', 0}},
      // A length byte beyond the field's capacity is cut at the key.
      {qdtShortString, 3, Bytes{250, 'a', 'b', 'c', 'd'}, Bytes{3, 'a', 'b', 'c'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(c.type)) + " " + std::to_string(c.keyChars));
    KeyFieldSetup setup;
    setup.Type = c.type;
    setup.Units = 10;
    setup.KeyChars = c.keyChars;
    TqdKeyFieldFixture fixture(setup);
    EXPECT_EQ(fixture.Key(c.field), c.key);
  }
}

TEST(KeyFieldEngineTest, MultiByteKeysAreCutAtWholeCharacters) {
  struct Case {
    TqdFieldType type;
    int32_t keyChars, keyBytes;
    std::u16string text, expected;
  };
  const Case cases[] = {
      {qdtShortString, 3, 10, u"日本語です", u"日本語"},
      {qdtNullString, 3, 10, u"日本語です", u"日本語"},
      {qdtNullString, 3, 10, u"ab日本語", u"ab日"},
      // A key with fewer bytes than its characters need keeps the whole
      // characters that fit instead of failing.
      {qdtShortString, 3, 0, u"日本語です", u"日"},
      {qdtNullString, 3, 0, u"日本語です", u"日"},
      {qdtNullString, 3, 0, u"a日本", u"a日"},
      {qdtShortString, 2, 0, u"a日本", u"a"},
      {qdtNullString, 3, 0, u"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(c.type)) + " " + u8(c.text) + " bytes " + std::to_string(c.keyBytes));
    KeyFieldSetup setup;
    setup.Type = c.type;
    setup.Units = 20;
    setup.KeyChars = c.keyChars;
    setup.KeyBytes = c.keyBytes;
    setup.FieldLocale = 1041;
    TqdKeyFieldFixture fixture(setup);
    const Bytes key = fixture.Key(c.type == qdtShortString ? shortText(sjis(c.text)) : nullText(sjis(c.text)));
    const std::string expected = sjis(c.expected);
    if (c.type == qdtShortString) {
      EXPECT_EQ(std::string(key.begin() + 1, key.begin() + 1 + key[0]), expected);
    } else {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(key.data())), expected);
    }
    EXPECT_FALSE(fixture.Engine().KeySameAsRecordFormat);
  }
}

TEST(KeyFieldEngineTest, TextInAnotherCodePageIsConvertedForTheKey) {
  // The field stores 1252 text; the key compares under 1041 (code page 932).
  for (TqdFieldType type : {qdtShortString, qdtNullString}) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(type)));
    KeyFieldSetup setup;
    setup.Type = type;
    setup.Units = 10;
    setup.FieldLocale = 1033;
    setup.Locale = 1041;
    TqdKeyFieldFixture fixture(setup);
    EXPECT_TRUE(fixture.Engine().ConversionNeeded());
    std::string latin;
    ASSERT_TRUE(qdEncodeCodePage(1252, u"caf\u00E9", latin));
    const Bytes key = fixture.Key(type == qdtShortString ? shortText(latin) : nullText(latin));
    TqdVariant value;
    fixture.Engine().KeyAsVariant(key.data(), value);
    // e acute has no code in 932: the converter's replacement stands for it.
    EXPECT_EQ(u8(value.AsString()).substr(0, 3), "caf");
    EXPECT_EQ(fixture.Engine().KeyToRecord(key.data(), fixture.Field({}).data()), 12289u);
  }
}

TEST(KeyFieldEngineTest, LocaleKeysOrderAsTheCollatorDoes) {
  struct Case {
    TqdFieldType type;
    uint32_t locale;
    std::u16string a, b;
    bool ignoreCase;
    int expected;
  };
  const Case cases[] = {
      {qdtWideString, 1033, u"apple", u"Banana", false, -1},
      {qdtWideString, 1033, u"abc", u"ABC", true, 0},
      {qdtWideString, 1033, u"abc", u"ABC", false, -1},
      {qdtNullString, 1041, u"あ", u"い", false, -1},
      {qdtShortString, 1041, u"か", u"が", false, -1},
      {qdtNullString, 1033, u"resume", u"r\u00E9sum\u00E9", false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(c.type)) + " " + u8(c.a) + " " + u8(c.b));
    KeyFieldSetup setup;
    setup.Type = c.type;
    setup.Units = 20;
    setup.Locale = c.locale;
    setup.FieldLocale = c.locale;
    setup.IgnoreCase = c.ignoreCase;
    TqdKeyFieldFixture fixture(setup);
    const auto image = [&](const std::u16string& s) {
      if (c.type == qdtWideString) return wideText(s);
      std::string bytes;
      EXPECT_TRUE(qdEncodeCodePage(c.locale == 1041 ? 932 : 1252, s, bytes));
      return c.type == qdtShortString ? shortText(bytes) : nullText(bytes);
    };
    EXPECT_EQ(fixture.Compare(image(c.a), image(c.b)), c.expected);
    EXPECT_EQ(fixture.Compare(image(c.b), image(c.a)), -c.expected);
  }
}

// Keys built from fields, the direct field comparisons and the key against
// field comparisons give one order, whatever the key's shape.
TEST(KeyFieldEngineTest, DirectComparisonsAgreeWithBuiltKeys) {
  struct Case {
    const char* label;
    KeyFieldSetup setup;
  };
  std::vector<Case> cases;
  for (TqdFieldType type : {qdtShortString, qdtNullString, qdtWideString}) {
    for (int32_t keyChars : {0, 3}) {
      for (uint32_t locale : {0u, 1041u}) {
        KeyFieldSetup s;
        s.Type = type;
        s.Units = 8;
        s.KeyChars = keyChars;
        s.Locale = locale;
        s.FieldLocale = locale;
        s.Ascend = keyChars == 0;
        cases.push_back({"text", s});
      }
    }
  }
  const std::u16string texts[] = {u"", u"a", u"abc", u"abd", u"ABC", u"abcdefg", u"日本", u"日本語です", u"z"};
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(c.setup.Type)) + " chars " + std::to_string(c.setup.KeyChars) + " locale " +
                 std::to_string(c.setup.Locale));
    TqdKeyFieldFixture fixture(c.setup);
    TqdCompositeKeyFieldEngine& engine = fixture.Engine();
    const auto image = [&](const std::u16string& s) {
      if (c.setup.Type == qdtWideString) return fixture.Field(wideText(s));
      std::string bytes = sjis(s);
      if (bytes.size() > 8) bytes.resize(8);
      return fixture.Field(c.setup.Type == qdtShortString ? shortText(bytes) : nullText(bytes));
    };
    for (const std::u16string& a : texts) {
      for (const std::u16string& b : texts) {
        const Bytes fa = image(a), fb = image(b);
        const Bytes ka = fixture.Key(fa), kb = fixture.Key(fb);
        const int expected = engine.CompareKey(ka.data(), kb.data());
        EXPECT_EQ(engine.CompareFieldDirect(fa.data(), fb.data()), expected) << u8(a) << " " << u8(b);
        EXPECT_EQ(engine.CompareKeyToFieldDirect(ka.data(), fb.data()), expected) << u8(a) << " " << u8(b);
        EXPECT_EQ(engine.PartialCompareFieldDirect(fa.data(), fb.data(), 2),
                  engine.PartialCompareKey(ka.data(), kb.data(), 2));
        EXPECT_EQ(engine.PartialCompareKeyToFieldDirect(ka.data(), fb.data(), 2),
                  engine.PartialCompareKey(ka.data(), kb.data(), 2));
        EXPECT_EQ(expected, -engine.CompareKey(kb.data(), ka.data())) << "antisymmetric";
      }
    }
  }
}

// --- Named engines ------------------------------------------------------------------------------------------

TEST(KeyFieldEngineTest, NumbersOnlyKeepsTheDigits) {
  struct Case {
    TqdFieldType type;
    std::function<Bytes(std::string_view)> image;
  };
  const auto wide = [](std::string_view s) { return wideText(std::u16string(s.begin(), s.end())); };
  const Case cases[] = {{qdtShortString, shortText}, {qdtNullString, nullText}, {qdtWideString, wide}};
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(qdFieldTypeIdent(c.type)));
    KeyFieldSetup setup;
    setup.Type = c.type;
    setup.Units = 10;
    setup.Engine = u"NumbersOnly";
    TqdKeyFieldFixture fixture(setup);
    EXPECT_EQ(fixture.Key(c.image("A1-B2 3")), fixture.Field(c.image("123")));
    EXPECT_EQ(fixture.Key(c.image("no digits")), fixture.Field(c.image("")));
    EXPECT_EQ(fixture.Compare(c.image("(030) 12"), c.image("03012")), 0);
    Bytes field = fixture.Field({});
    EXPECT_EQ(fixture.Engine().KeyToRecord(fixture.Key(c.image("12")).data(), field.data()), 12289u);
    EXPECT_FALSE(fixture.Engine().KeySameAsRecordFormat);
  }
}

TEST(KeyFieldEngineTest, DateEnginesMoveTheDay) {
  struct Case {
    const char16_t* engine;
    Bytes expected;
  };
  const Case cases[] = {
      {u"", dateTimeImage(2024, 3, 14, 10, 30)},           {u"DateOnly", dateTimeImage(2024, 3, 14, 0, 0)},
      {u"DateOnlyWeek", dateTimeImage(2024, 3, 11, 0, 0)}, {u"DateOnlyMonth", dateTimeImage(2024, 3, 1, 0, 0)},
      {u"DateOnlyYear", dateTimeImage(2024, 1, 1, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.engine));
    KeyFieldSetup setup;
    setup.Type = qdtDateTime;
    setup.Engine = c.engine;
    TqdKeyFieldFixture fixture(setup);
    EXPECT_EQ(fixture.Key(dateTimeImage(2024, 3, 14, 10, 30)), c.expected);
    // Two times of one day (and week, month, year) are one key.
    if (*c.engine != 0) {
      EXPECT_EQ(fixture.Compare(dateTimeImage(2024, 3, 14, 10, 30), dateTimeImage(2024, 3, 14, 23, 59)), 0);
    }
  }
}

TEST(KeyFieldEngineTest, DateRoundingOfTheFirstDays) {
  struct Case {
    const char16_t* engine;
    int32_t day, expected;
  };
  const Case cases[] = {
      {u"DateOnlyWeek", 7, 1},   {u"DateOnlyWeek", 8, 8},     {u"DateOnlyWeek", 14, 8},
      {u"DateOnlyMonth", 31, 1}, {u"DateOnlyMonth", 32, 32},  {u"DateOnlyMonth", 59, 32},
      {u"DateOnlyYear", 365, 1}, {u"DateOnlyYear", 366, 366}, {u"DateOnlyYear", 700, 366},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.engine) + " " + std::to_string(c.day));
    KeyFieldSetup setup;
    setup.Type = qdtDateTime;
    setup.Engine = c.engine;
    TqdKeyFieldFixture fixture(setup);
    const Bytes key = fixture.Key(le<double>(c.day * 86400000.0 + 5000.0));
    EXPECT_EQ(qdGetLE<double>(key.data()), c.expected * 86400000.0);
  }
}

// --- Threads -------------------------------------------------------------------------------------------------

TEST(KeyFieldEngineTest, OneEngineBuildsAndComparesOnSeveralThreads) {
  KeyFieldSetup setup;
  setup.Type = qdtNullString;
  setup.Units = 12;
  setup.KeyChars = 4;
  setup.Locale = 1041;
  setup.FieldLocale = 1041;
  TqdKeyFieldFixture fixture(setup);
  TqdCompositeKeyFieldEngine& engine = fixture.Engine();
  const std::u16string texts[] = {u"日本語です", u"abc", u"ABCD", u"かな", u"カナ", u"z", u"", u"日本人"};
  std::vector<Bytes> fields;
  for (const std::u16string& text : texts) fields.push_back(fixture.Field(nullText(sjis(text))));
  std::vector<int> expected;
  for (const Bytes& a : fields)
    for (const Bytes& b : fields) expected.push_back(engine.CompareFieldDirect(a.data(), b.data()));

  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        size_t i = 0;
        for (const Bytes& a : fields) {
          for (const Bytes& b : fields) {
            Bytes ka(static_cast<size_t>(engine.ckfeKeyLength), 0), kb(ka.size(), 0);
            engine.BuildKey(a.data(), ka.data());
            engine.BuildKey(b.data(), kb.data());
            if (engine.CompareKey(ka.data(), kb.data()) != expected[i]) ++failures[t];
            if (engine.CompareFieldDirect(a.data(), b.data()) != expected[i]) ++failures[t];
            if (engine.PartialCompareKeyToFieldDirect(ka.data(), b.data(), 2) !=
                engine.PartialCompareKey(ka.data(), kb.data(), 2))
              ++failures[t];
            ++i;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace qd
