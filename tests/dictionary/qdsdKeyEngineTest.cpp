// Key engines: engine lookup, composite key images with their null bitmap,
// comparisons of keys and records, key values and text, the fixed-layout
// engines and keys built on several threads.
#include "dictionary/qdsdKeyEngineBase.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterDescriptorBase.h"
#include "dictionary/qdsdFilterEngineBase.h"
#include "dictionary/qdsdKeyEngineBlobCache.h"
#include "dictionary/qdsdKeyEngineComp.h"
#include "dictionary/qdsdKeyEngineInt64.h"
#include "dictionary/qdsdKeyEngineRef.h"
#include "foundation/qdllExceptionData.h"
#include "platform/qdLittleEndian.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::u8;

using TqdEngineRef = std::unique_ptr<TqdBaseKeyEngine>;

// A table of Id (Int32), Name (NullString 10), Code (ShortString 8) and
// Amount (Double); records are built from Variants, Null = a null field.
class KeyEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fields()->AddField(u"Id", u"", qdtInt32, 0, 0, false);
    Fields()->AddField(u"Name", u"", qdtNullString, 10, 0, false);
    Fields()->AddField(u"Code", u"", qdtShortString, 8, 0, false);
    Fields()->AddField(u"Amount", u"", qdtDouble, 0, 0, false);
  }

  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }
  TqdCompKeyDescriptor* AddKey(std::initializer_list<int32_t> aFields,
                               const TqdKeyDescriptorClass* aClass = &TqdCompKeyDescriptor::ClassInfo) {
    auto* key = static_cast<TqdCompKeyDescriptor*>(
        dictionary.IndicesDescriptor()->AddIndex(u"K" + IntToStr(++keyCount), 0, idNone, u"", aClass)->KeyDescriptor());
    for (int32_t field : aFields) key->Add(field);
    return key;
  }
  Bytes Record(std::initializer_list<TqdVariant> aValues) {
    Bytes record(static_cast<size_t>(Fields()->RecordLength() + 4), 0);
    Fields()->InitRecord(record.data());
    int32_t i = 0;
    for (const TqdVariant& value : aValues) Fields()->fsdSetFieldByIndexAsVariant(record.data(), i++, value);
    return record;
  }
  Bytes Key(TqdBaseKeyEngine& aEngine, const Bytes& aRecord, bool aIgnoreFilter = false,
            TqdResult aExpected = qdeSuccess) {
    Bytes key(aEngine.KeyLength(), 0xAA);
    EXPECT_EQ(aEngine.BuildKey(aRecord.data(), key.data(), 0, aIgnoreFilter), aExpected);
    return key;
  }

  TqdDataDictionary dictionary;
  int keyCount = 0;
};

const TqdVariant kNull = TqdVariant::Null();

// A filter for the tests: field Field of the buffer must hold an Int32 of
// at least Minimum. It reads the buffer only through its fields source.
class TqdMinimumFilterDescriptor : public TqdBaseFilterDescriptor {
 public:
  static const TqdFilterDescriptorClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  TqdMinimumFilterDescriptor(int32_t aField, int32_t aMinimum) : Field(aField), Minimum(aMinimum) {}
  int32_t Field;
  int32_t Minimum;
};
const TqdFilterDescriptorClass TqdMinimumFilterDescriptor::ClassInfo{
    {u"TqdMinimumFilterDescriptor", &TqdBaseFilterDescriptor::ClassInfo, nullptr}, nullptr};

class TqdMinimumFilterEngine : public TqdBaseFilterEngine {
 public:
  static const TqdFilterEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  TqdMinimumFilterEngine(const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource)
      : TqdBaseFilterEngine(aDescriptor, aFieldsSource),
        Field(static_cast<const TqdMinimumFilterDescriptor*>(aDescriptor)->Field),
        Minimum(static_cast<const TqdMinimumFilterDescriptor*>(aDescriptor)->Minimum) {}
  TqdBaseFilterDescriptor* CreateDescriptor() override { return new TqdMinimumFilterDescriptor(Field, Minimum); }
  bool MatchesBuffer(const uint8_t* aBuffer) override {
    TqdFieldType type{};
    int32_t size = 0;
    bool isNull = true;
    const uint8_t* value = nullptr;
    uint16_t codePage = 0;
    if (!FieldsSource()->GetFieldForFilter(Field, u"", aBuffer, type, size, isNull, value, codePage)) return false;
    return !isNull && type == qdtInt32 && qdGetI32(value) >= Minimum;
  }
  int32_t Field;
  int32_t Minimum;
};
const TqdFilterEngineClass TqdMinimumFilterEngine::ClassInfo{
    {u"TqdMinimumFilterEngine", &TqdBaseFilterEngine::ClassInfo, nullptr},
    [](const TqdBaseFilterDescriptor* aDescriptor, IqdFieldsSource* aFieldsSource) -> TqdBaseFilterEngine* {
      return new TqdMinimumFilterEngine(aDescriptor, aFieldsSource);
    }};

class FilteredKeyEngineTest : public KeyEngineTest {
 protected:
  void SetUp() override {
    KeyEngineTest::SetUp();
    TqdBaseRegisterableEngine::RegisterEngine(TqdMinimumFilterEngine::ClassInfo);
  }
  void TearDown() override { TqdBaseRegisterableEngine::UnregisterEngine(TqdMinimumFilterEngine::ClassInfo); }
};

// --- Lookup and construction -------------------------------------------------------------------------------

TEST_F(KeyEngineTest, EachKeyDescriptorGetsItsEngine) {
  TqdInt64KeyDescriptor int64Key(nullptr);
  TqdBlobCacheKeyDescriptor blobCacheKey(nullptr);
  struct Case {
    TqdBaseKeyDescriptor* descriptor;
    const TqdClassInfo* engineClass;
    int32_t keyLength, fieldsOffset, fieldCount;
  };
  const Case cases[] = {
      {AddKey({0, 1, 3}), &TqdCompKeyEngine::ClassInfo, 1 + 4 + 11 + 8, 1, 3},
      {AddKey({0, 1, 3}, &TqdNoNullCompKeyDescriptor::ClassInfo), &TqdNoNullCompKeyEngine::ClassInfo, 4 + 11 + 8, 0, 3},
      {dictionary.IndicesDescriptor()->IndexDescriptor(0)->KeyDescriptor(), &TqdRefKeyEngine::ClassInfo, 8, 0, 1},
      {&int64Key, &TqdInt64KeyEngine::ClassInfo, 8, 0, 1},
      {&blobCacheKey, &TqdBlobCacheKeyEngine::ClassInfo, 28, 0, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.engineClass->ClassName));
    TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(c.descriptor));
    EXPECT_EQ(&engine->ClassType(), c.engineClass);
    EXPECT_EQ(engine->KeyLength(), c.keyLength);
    EXPECT_EQ(engine->FieldsOffset(), c.fieldsOffset);
    EXPECT_EQ(engine->MaxFieldCount(), c.fieldCount);
    EXPECT_EQ(engine->KeyDescriptor(), c.descriptor);
    TqdBaseKeyEngine::CheckValidBaseFromDescriptor(c.descriptor);
    TqdBaseKeyEngine* tried = nullptr;
    ASSERT_EQ(TqdBaseKeyEngine::TryCreateFor(c.descriptor, tried), qdeSuccess);
    EXPECT_EQ(&tried->ClassType(), c.engineClass);
    delete tried;
  }
}

TEST_F(KeyEngineTest, AnUnregisteredEngineIs15503) {
  TqdBaseKeyDescriptor* refKey = dictionary.IndicesDescriptor()->IndexDescriptor(0)->KeyDescriptor();
  TqdBaseRegisterableEngine::UnregisterEngine(TqdRefKeyEngine::ClassInfo);
  const char* text = "Unknown Key engine: \"TqdRefKeyEngine\"";
  EXPECT_ENGINE_ERROR(TqdBaseKeyEngine::CreateFor(refKey), 15503, text);
  EXPECT_ENGINE_ERROR(TqdBaseKeyEngine::CheckValidBaseFromDescriptor(refKey), 15503, text);
  TqdBaseKeyEngine* tried = reinterpret_cast<TqdBaseKeyEngine*>(&refKey);
  EXPECT_EQ(TqdBaseKeyEngine::TryCreateFor(refKey, tried), 15503u);
  EXPECT_EQ(tried, nullptr);
  // The text waits for the next exception of that code on this thread.
  EXPECT_ENGINE_ERROR(throw EqdBaseException(15503), 15503, text);
  TqdBaseRegisterableEngine::RegisterEngine(TqdRefKeyEngine::ClassInfo);
}

TEST_F(KeyEngineTest, EnginesCheckTheirDescriptorsClass) {
  TqdCompKeyDescriptor* comp = AddKey({0});
  TqdBaseKeyDescriptor* ref = dictionary.IndicesDescriptor()->IndexDescriptor(0)->KeyDescriptor();
  EXPECT_THROW(TqdRefKeyEngine::CheckValid(comp), EInvalidCast);
  EXPECT_THROW(TqdInt64KeyEngine::CheckValid(ref), EInvalidCast);
  EXPECT_THROW(TqdBlobCacheKeyEngine::CheckValid(ref), EInvalidCast);
  EXPECT_THROW(TqdCompKeyEngine::CheckValid(ref), EInvalidCast);
}

TEST_F(KeyEngineTest, KeyFieldEngineFailuresStopTheConstruction) {
  TqdCompKeyDescriptor* key = AddKey({0, 1});
  key->KeyField(1)->SetKeyFieldEngine(u"Soundex");
  EXPECT_ENGINE_ERROR(TqdBaseKeyEngine::CreateFor(key), 15503, "CompositeKeyFieldEngine \"Soundex\" is not registered");
  EXPECT_ENGINE_ERROR(TqdBaseKeyEngine::CheckValidBaseFromDescriptor(key), 15503, "");
  Fields()->AddField(u"Picture", u"", qdtBlob, 0, 0, false);
  EXPECT_ENGINE_ERROR(TqdBaseKeyEngine::CreateFor(AddKey({0, 4})), 12289, "");
}

TEST_F(KeyEngineTest, KeysTellOfExtendedFieldsAndChangedSortVersions) {
  Fields()->AddField(u"Precise", u"", qdtExtended, 0, 0, false);
  TqdCompKeyDescriptor* stale = AddKey({1});
  TqdNLSVersionInfoEx old;
  old.dwNLSVersion = 1;
  stale->KeyField(0)->AddLocaleDescriptor()->SetLocale(1041);
  stale->KeyField(0)->LocaleDescriptor()->SetNLSVersionInfoBuild(&old);
  struct Case {
    TqdBaseKeyDescriptor* key;
    bool extended, nlsChanged;
  };
  const Case cases[] = {{AddKey({0, 1}), false, false}, {AddKey({0, 4}), true, false}, {stale, false, true}};
  for (const Case& c : cases) {
    TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(c.key));
    EXPECT_EQ(engine->ContainsExtended(), c.extended);
    EXPECT_EQ(engine->NLSVersionChanged(), c.nlsChanged);
  }
}

TEST_F(KeyEngineTest, KeysBeyondSixteenBitLengthsGetNoEngine) {
  // Key buffers are KeyLength bytes, a 16-bit value: a longer key would be
  // written beyond them.
  Fields()->AddField(u"A", u"", qdtNullString, 40000, 0, false);
  Fields()->AddField(u"B", u"", qdtNullString, 25533, 0, false);
  TqdCompKeyDescriptor* key = AddKey({4, 5});
  ASSERT_EQ(key->KeyLen(), 65536);
  EXPECT_ENGINE_ERROR(TqdBaseKeyEngine::CreateFor(key), qdeKeyTooLarge, "");
  key->KeyField(1)->SetOverrideLengthChars(25532);
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(key));
  EXPECT_EQ(engine->KeyLength(), 65535);
}

TEST_F(KeyEngineTest, TheBitmapTakesOneBitPerKeyField) {
  struct Case {
    int32_t fields, bitmap;
  };
  for (const Case& c : {Case{3, 1}, Case{8, 1}, Case{9, 2}}) {
    SCOPED_TRACE(c.fields);
    TqdCompKeyDescriptor* key = AddKey({});
    for (int32_t i = 0; i < c.fields; ++i) key->Add(0);
    TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(key));
    EXPECT_EQ(engine->FieldsOffset(), c.bitmap);
    EXPECT_EQ(engine->KeyLength(), c.bitmap + 4 * c.fields);
    for (int32_t i = 0; i < c.fields; ++i) EXPECT_EQ(engine->GetKeyFieldOffset(i), c.bitmap + 4 * i);
    EXPECT_EQ(engine->GetKeyFieldOffset(c.fields), -1);
    uint8_t* cleared = engine->AllocKey();
    Bytes expected(engine->KeyLength(), 0);
    std::memset(expected.data(), 0xFF, static_cast<size_t>(c.bitmap));
    EXPECT_EQ(Bytes(cleared, cleared + engine->KeyLength()), expected);
    EXPECT_TRUE(engine->KeyContainsNulls(cleared));
    engine->FreeKey(cleared);
    EXPECT_EQ(cleared, nullptr);
  }
}

// --- Composite keys ------------------------------------------------------------------------------------------

TEST_F(KeyEngineTest, CompositeKeyImageIsBitmapThenFieldImages) {
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(AddKey({0, 1})));
  // Bits beyond the key's fields stay set as the cleared key had them.
  Bytes expected = {0xFC, 5, 0, 0, 0, 'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Key(*engine, Record({5, u"ab"})), expected);
  expected = {0xFE, 0xFB, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Key(*engine, Record({-5, kNull})), expected);
  TqdEngineRef noNull(TqdBaseKeyEngine::CreateFor(AddKey({0, 1}, &TqdNoNullCompKeyDescriptor::ClassInfo)));
  expected = {5, 0, 0, 0, 'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Key(*noNull, Record({5, u"ab"})), expected);
  EXPECT_FALSE(noNull->KeyContainsNulls(Key(*noNull, Record({kNull, kNull})).data()));
}

TEST_F(KeyEngineTest, NullsSortByTheKeyFieldsRule) {
  // Key (Id ascending, Name descending).
  struct Case {
    TqdNullBehaviour behaviour;
    bool ascend;
    bool nullFirst;
  };
  const Case cases[] = {
      {nbTop, true, true},      {nbTop, false, true},     {nbBottom, true, false},
      {nbBottom, false, false}, {nbAsAscend, true, true}, {nbAsAscend, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(qdNullBehaviourName(c.behaviour)) + (c.ascend ? " asc" : " desc"));
    TqdCompKeyDescriptor* key = AddKey({0, 1});
    key->KeyField(0)->SetNullBehaviour(c.behaviour);
    key->KeyField(0)->SetAscend(c.ascend);
    key->KeyField(1)->SetAscend(false);
    TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(key));
    const Bytes nullId = Record({kNull, u"x"});
    for (int32_t id : {-1000, 0, 1000}) {
      const Bytes other = Record({id, u"x"});
      const int expected = c.nullFirst ? -1 : 1;
      EXPECT_EQ(engine->CompareKey(Key(*engine, nullId).data(), Key(*engine, other).data()), expected) << id;
      EXPECT_EQ(engine->CompareKey(Key(*engine, other).data(), Key(*engine, nullId).data()), -expected) << id;
      EXPECT_EQ(engine->CompareKeyToRecord(Key(*engine, nullId).data(), other.data(), 0), expected) << id;
      EXPECT_EQ(engine->CompareRecord(other.data(), nullId.data()), -expected) << id;
    }
    EXPECT_EQ(engine->CompareKey(Key(*engine, nullId).data(), Key(*engine, Record({kNull, u"x"})).data()), 0);
    // The second field is descending: "b" before "a".
    EXPECT_EQ(engine->CompareRecord(Record({1, u"b"}).data(), Record({1, u"a"}).data()), -1);
  }
}

// One-field keys of an Int64 or a byte array order plainly, ascending or
// descending, with or without the null bitmap; the inline whole-key
// comparison must answer as CompareKey does for every pair, nulls included.
TEST_F(KeyEngineTest, PlainOrdersAnswerAsCompareKey) {
  const int32_t big = Fields()->AddField(u"Big", u"", qdtInt64, 0, 0, false)->Number();
  const int32_t raw = Fields()->AddField(u"Raw", u"", qdtByteArray, 4, 0, false)->Number();
  struct Case {
    int32_t field;
    bool ascend;
    const TqdKeyDescriptorClass* keyClass;
    TqdPlainKeyOrder order;
  };
  const Case cases[] = {
      {big, true, &TqdCompKeyDescriptor::ClassInfo, pkoInt64},
      {big, false, &TqdCompKeyDescriptor::ClassInfo, pkoInt64},
      {big, true, &TqdNoNullCompKeyDescriptor::ClassInfo, pkoInt64},
      {raw, true, &TqdCompKeyDescriptor::ClassInfo, pkoBytes},
      {raw, false, &TqdNoNullCompKeyDescriptor::ClassInfo, pkoBytes},
      {0, true, &TqdCompKeyDescriptor::ClassInfo, pkoNone},
  };
  const int64_t numbers[] = {INT64_MIN, -2, -1, 0, 1, 255, 256, INT64_MAX};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    TqdCompKeyDescriptor* key = AddKey({c.field}, c.keyClass);
    key->KeyField(0)->SetAscend(c.ascend);
    TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(key));
    EXPECT_EQ(engine->PlainCompare().pkcOrder, c.order);
    std::vector<Bytes> keys;
    for (const int64_t n : numbers) {
      Bytes record = Record({});
      if (c.field == big) {
        Fields()->SetRecordField(big, record.data(), &n);
      } else if (c.field == raw) {
        // Big-endian, so that the byte order differs from the number's.
        const uint8_t bytes[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        Fields()->SetRecordField(raw, record.data(), bytes);
      } else {
        Fields()->fsdSetFieldByIndexAsVariant(record.data(), 0, int32_t(n));
      }
      keys.push_back(Key(*engine, record));
    }
    keys.push_back(Key(*engine, Record({})));  // every field null
    for (const Bytes& a : keys)
      for (const Bytes& b : keys)
        EXPECT_EQ(engine->CompareWholeKey(a.data(), b.data()), engine->CompareKey(a.data(), b.data(), 0, 0));
  }
  // Two fields, or a field of another type, keep the key field engines.
  EXPECT_EQ(TqdEngineRef(TqdBaseKeyEngine::CreateFor(AddKey({big, raw})))->PlainCompare().pkcOrder, pkoNone);
  EXPECT_EQ(TqdEngineRef(TqdBaseKeyEngine::CreateFor(AddKey({3})))->PlainCompare().pkcOrder, pkoNone);
}

TEST_F(KeyEngineTest, FieldCountAndPartialLengthLimitTheComparison) {
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(AddKey({1, 0, 3})));
  const Bytes a = Key(*engine, Record({1, u"abcdef", kNull, 1.0}));
  const Bytes b = Key(*engine, Record({2, u"abcxyz", kNull, 2.0}));
  const Bytes c = Key(*engine, Record({2, u"abcdef", kNull, 1.0}));
  struct Case {
    const Bytes *k1, *k2;
    int32_t fieldCount, partialLen;
    int expected;
  };
  const Case cases[] = {
      {&a, &b, 0, 0, -1},                      // "abcdef" < "abcxyz"
      {&a, &b, 0, 3, 0},                       // the first three characters of field 0 only
      {&a, &b, 0, 4, -1}, {&a, &c, 1, 0, 0},   // field 0 alone
      {&a, &c, 2, 0, -1},                      // then Id 1 < 2
      {&c, &a, 3, 0, 1},  {&a, &c, 1, 3, -1},  // field 0 in full, then Id on its (whole) value
      {&a, &c, 9, 0, -1},                      // more fields than the key has
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(std::to_string(t.fieldCount) + " / " + std::to_string(t.partialLen));
    EXPECT_EQ(engine->CompareKey(t.k1->data(), t.k2->data(), t.fieldCount, t.partialLen), t.expected);
  }
  EXPECT_EQ(engine->CompareKey(a.data(), b.data()), -1);
}

TEST_F(KeyEngineTest, RecordComparisonsAgreeWithBuiltKeys) {
  const std::vector<Bytes> records = {
      Record({kNull, kNull, kNull, kNull}), Record({1, u"abc", u"x", 1.5}),        Record({1, u"abd", u"x", 1.5}),
      Record({1, kNull, u"y", -2.0}),       Record({-7, u"", u"", 0.0}),           Record({1, u"abc", u"xyzzy", kNull}),
      Record({2, u"ABC", kNull, 1.5}),      Record({2, u"abcdefghij", u"q", 3.0}),
  };
  TqdCompKeyDescriptor* shortText = AddKey({1, 2, 0});
  shortText->KeyField(0)->SetOverrideLengthChars(2);
  shortText->KeyField(1)->SetAscend(false);
  TqdBaseKeyDescriptor* keys[] = {AddKey({0, 1, 2, 3}), shortText,
                                  AddKey({3, 1, 0}, &TqdNoNullCompKeyDescriptor::ClassInfo)};
  for (TqdBaseKeyDescriptor* descriptor : keys) {
    TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(descriptor));
    SCOPED_TRACE(u8(engine->ClassName()));
    for (const Bytes& r1 : records) {
      for (const Bytes& r2 : records) {
        const Bytes k1 = Key(*engine, r1), k2 = Key(*engine, r2);
        for (int32_t fieldCount : {0, 1, 2}) {
          for (int32_t partialLen : {0, 1, 2}) {
            const int expected = engine->CompareKey(k1.data(), k2.data(), fieldCount, partialLen);
            EXPECT_EQ(engine->CompareKeyToRecord(k1.data(), r2.data(), 0, fieldCount, partialLen), expected);
            EXPECT_EQ(engine->CompareRecord(r1.data(), 0, r2.data(), 0, fieldCount, partialLen), expected);
            EXPECT_EQ(engine->CompareKey(k2.data(), k1.data(), fieldCount, partialLen), -expected);
          }
        }
      }
    }
  }
}

TEST_F(KeyEngineTest, NullFiltersRefuseRecordsUnlessIgnored) {
  TqdCompKeyDescriptor* key = AddKey({0, 1});
  key->KeyField(0)->SetNullBehaviour(nbFilterNull);
  key->KeyField(1)->SetNullBehaviour(nbFilterNonNull);
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(key));
  Key(*engine, Record({1, kNull}));
  Key(*engine, Record({kNull, kNull}), false, qdeKeyFiltered);
  Key(*engine, Record({1, u"a"}), false, qdeKeyFiltered);
  const Bytes complete = Key(*engine, Record({1, u"a"}), true);
  EXPECT_EQ(complete[0], 0xFC) << "both fields present";
  EXPECT_EQ(qdGetI32(complete.data() + 1), 1);
  Bytes key1(engine->KeyLength());
  EXPECT_EQ(engine->BuildKey(nullptr, key1.data(), 0, false), qdeInvalidParam);
  // Comparisons build their keys without the filters.
  EXPECT_EQ(engine->CompareRecord(Record({kNull, u"a"}).data(), Record({1, u"a"}).data()), -1);
}

TEST_F(KeyEngineTest, KeysGoBackIntoRecordsWhereTheyKeepWholeFields) {
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(AddKey({3, 1, 2})));
  const Bytes record = Record({kNull, u"abc", kNull, 2.5});
  const Bytes key = Key(*engine, record);
  Bytes back(record.size(), 0xEE);
  ASSERT_EQ(engine->KeyToRecord(key.data(), back.data()), qdeSuccess);
  EXPECT_EQ(Fields()->RecordBufferToString(back.data()), Fields()->RecordBufferToString(record.data()));
  EXPECT_TRUE(Fields()->IsRecordFieldNull(2, back.data()));
  EXPECT_FALSE(Fields()->IsRecordFieldNull(1, back.data()));
  EXPECT_EQ(engine->KeyToRecord(nullptr, back.data()), qdeInvalidParam);

  TqdCompKeyDescriptor* shortKey = AddKey({3, 1});
  shortKey->KeyField(1)->SetOverrideLengthChars(4);
  TqdEngineRef shortEngine(TqdBaseKeyEngine::CreateFor(shortKey));
  EXPECT_EQ(shortEngine->KeyToRecord(Key(*shortEngine, record).data(), back.data()), qdeNotSupported);
  EXPECT_FALSE(Fields()->IsRecordFieldNull(3, back.data())) << "fields before the failing one are written";
  EXPECT_TRUE(Fields()->IsRecordFieldNull(1, back.data()));
}

TEST_F(KeyEngineTest, KeysAsValuesAndText) {
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(AddKey({0, 1})));
  const Bytes key = Key(*engine, Record({5, kNull}));
  EXPECT_EQ(u8(engine->KeyAsString(key.data())), "5, NULL");
  EXPECT_EQ(u8(engine->KeyAsString(Key(*engine, Record({-1, u"O'Neil"})).data())), "-1, 'O''Neil'");
  const TqdVariant all = engine->KeyAsVariant(key.data(), -1);
  ASSERT_TRUE(all.IsArray());
  EXPECT_EQ(all.Elements().size(), 2u);
  EXPECT_EQ(engine->KeyAsVariant(key.data(), 0).AsInteger(), 5);
  EXPECT_TRUE(engine->KeyAsVariant(key.data(), 1).IsNull());
  EXPECT_EQ(engine->GetFieldAsVariant(key.data(), 0).AsInteger(), 5);
  EXPECT_ENGINE_ERROR(engine->KeyAsVariant(key.data(), 2), qdeInvalidDescNum, "");
  EXPECT_ENGINE_ERROR(engine->KeyAsVariant(key.data(), -2), qdeInvalidDescNum, "");

  TqdEngineRef single(TqdBaseKeyEngine::CreateFor(AddKey({1})));
  EXPECT_EQ(u8(single->KeyAsString(Key(*single, Record({1, u"it's"})).data())), "'it''s'");
  EXPECT_EQ(u8(single->KeyAsString(Key(*single, Record({1, kNull})).data())), "NULL");

  TqdRef<IqdExceptionDataContainer> data = qdCreateExceptionDataContainer(u"Key", nullptr);
  engine->KeyAsExceptionData(key.data(), data.Get());
  ASSERT_EQ(data->Count(), 2);
  EXPECT_EQ(u8(data->Values(0)->Name()), "Id");
  EXPECT_EQ(data->Values(0)->AsInt64(), 5);
  EXPECT_EQ(u8(data->Values(1)->Name()), "Name");
}

TEST_F(KeyEngineTest, FiltersSeeTheKeysFields) {
  TqdCompKeyDescriptor* key = AddKey({0, 2, 1});
  key->KeyField(2)->SetKeyFieldEngine(u"NumbersOnly");
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(key));
  EXPECT_EQ(engine->GetFieldFromName(u"code"), 1);
  EXPECT_EQ(engine->GetFieldFromName(u"Name_NumbersOnly"), 2);
  EXPECT_EQ(engine->GetFieldFromName(u"Name"), -1);
  EXPECT_EQ(u8(engine->GetFieldDescriptor(1)->GetName()), "Code");
  EXPECT_EQ(engine->GetFieldDescriptor(3), nullptr);

  const Bytes k = Key(*engine, Record({7, u"a1b2", u"xy"}));
  TqdFieldType type{};
  int32_t size = 0;
  bool isNull = true;
  const uint8_t* value = nullptr;
  uint16_t codePage = 1;
  ASSERT_TRUE(engine->GetFieldForFilter(-1, u"CODE", k.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, qdtShortString);
  EXPECT_EQ(size, 2) << "the text's length";
  EXPECT_EQ(value, k.data() + engine->GetKeyFieldOffset(1) + 1) << "its first character";
  EXPECT_FALSE(isNull);
  ASSERT_TRUE(engine->GetFieldForFilter(2, u"", k.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(value)), "12");
  EXPECT_EQ(size, 10);
  const Bytes nullKey = Key(*engine, Record({kNull}));
  ASSERT_TRUE(engine->GetFieldForFilter(0, u"", nullKey.data(), type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull);
  EXPECT_EQ(value, nullptr);
  ASSERT_TRUE(engine->GetFieldForFilter(0, u"", nullptr, type, size, isNull, value, codePage));
  EXPECT_TRUE(isNull) << "no key at all reads as null";
  EXPECT_FALSE(engine->GetFieldForFilter(3, u"", k.data(), type, size, isNull, value, codePage));
  EXPECT_FALSE(engine->GetFieldForFilter(0, u"Nothing", k.data(), type, size, isNull, value, codePage));
}

// --- Fixed layouts ---------------------------------------------------------------------------------------------

TEST_F(KeyEngineTest, ReferenceKeysHoldTheReferenceNumber) {
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(dictionary.IndicesDescriptor()->IndexDescriptor(0)->KeyDescriptor()));
  const Bytes record = Record({1});
  Bytes k1(8), k2(8);
  ASSERT_EQ(engine->BuildKey(record.data(), k1.data(), -5, false), qdeSuccess);
  ASSERT_EQ(engine->BuildKey(record.data(), k2.data(), 3, false), qdeSuccess);
  EXPECT_EQ(qdGetI64(k1.data()), -5);
  EXPECT_EQ(engine->CompareKey(k1.data(), k2.data()), -1);
  EXPECT_EQ(engine->CompareRecord(record.data(), 9, record.data(), 3), 1);
  EXPECT_EQ(engine->CompareKeyToRecord(k2.data(), record.data(), 3), 0);
  EXPECT_EQ(engine->KeyAsVariant(k1.data(), 0).AsInt64(), -5);
  EXPECT_EQ(u8(engine->KeyAsString(k1.data())), "-5");
  EXPECT_ENGINE_ERROR(engine->KeyAsVariant(k1.data(), 1), qdeInvalidDescNum, "");
  EXPECT_EQ(engine->GetFieldsOffset(), 0) << "asked through the fields source, it answers";
  EXPECT_EQ(engine->GetFieldFromName(u"refnr"), 0);
  EXPECT_EQ(u8(engine->GetFieldDescriptor(0)->GetName()), "RefNr");

  TqdFieldType type{};
  int32_t size = -1;
  bool isNull = true;
  const uint8_t* value = nullptr;
  uint16_t codePage = 1;
  ASSERT_TRUE(engine->GetFieldForFilter(5, u"refnr", k1.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(value, k1.data());
  EXPECT_EQ(type, qdtInt64);
  EXPECT_FALSE(isNull);
  EXPECT_FALSE(engine->GetFieldForFilter(0, u"Id", k1.data(), type, size, isNull, value, codePage));
  EXPECT_FALSE(engine->GetFieldForFilter(1, u"", k1.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(engine->KeyToRecord(k1.data(), Record({}).data()), qdeNotSupported);
}

TEST_F(KeyEngineTest, Int64KeysAreTheRecordsFirstEightBytes) {
  TqdInt64KeyDescriptor descriptor(nullptr);
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(&descriptor));
  Bytes r1(16, 0), r2(16, 0);
  qdPutI64(r1.data(), -2);
  qdPutI64(r2.data(), 1);
  Bytes k1(8);
  ASSERT_EQ(engine->BuildKey(r1.data(), k1.data(), 99, false), qdeSuccess);
  EXPECT_EQ(qdGetI64(k1.data()), -2);
  EXPECT_EQ(engine->CompareKeyToRecord(k1.data(), r2.data(), 0), -1);
  EXPECT_EQ(engine->CompareRecord(r2.data(), 0, r1.data(), 0), 1);
  EXPECT_EQ(engine->GetFieldFromName(u"INT64"), 0);
  EXPECT_EQ(engine->GetFieldFromName(u"RefNr"), -1);
  EXPECT_EQ(engine->GetFieldsOffset(), 0);
}

TEST_F(KeyEngineTest, BlobCacheKeysCompareTheirFieldsInOrder) {
  TqdBlobCacheKeyDescriptor descriptor(nullptr);
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(&descriptor));
  const auto entry = [](int64_t aBlobNr, int32_t aFieldNo, int64_t aRefNr, int64_t aLSN) {
    Bytes bytes(32, 0);
    qdPutI64(bytes.data(), aBlobNr);
    qdPutI32(bytes.data() + 8, aFieldNo);
    qdPutI64(bytes.data() + 12, aRefNr);
    qdPutI64(bytes.data() + 20, aLSN);
    return bytes;
  };
  const Bytes a = entry(1, 2, 3, 4), b = entry(1, 2, 3, -4), c = entry(1, -2, 9, 9);
  struct Case {
    const Bytes *k1, *k2;
    int32_t fieldCount;
    int expected;
  };
  const Case cases[] = {
      {&a, &b, 0, 1}, {&a, &b, 3, 0}, {&a, &b, 4, 1}, {&a, &c, 1, 0}, {&a, &c, 2, 1}, {&c, &a, 0, -1},
  };
  for (const Case& t : cases) {
    EXPECT_EQ(engine->CompareKey(t.k1->data(), t.k2->data(), t.fieldCount, 7), t.expected) << t.fieldCount;
    EXPECT_EQ(engine->CompareRecord(t.k1->data(), 0, t.k2->data(), 0, t.fieldCount, 0), t.expected);
    EXPECT_EQ(engine->CompareKeyToRecord(t.k1->data(), t.k2->data(), 0, t.fieldCount, 0), t.expected);
  }
  Bytes key(28, 0xAA);
  ASSERT_EQ(engine->BuildKey(a.data(), key.data(), 0, false), qdeSuccess);
  EXPECT_EQ(key, Bytes(a.begin(), a.begin() + 28));
  EXPECT_EQ(engine->KeyAsVariant(key.data(), 3).AsInt64(), 4) << "the insert LSN";
  EXPECT_EQ(u8(engine->KeyAsString(key.data())), "1, 2, 3, 4");
  EXPECT_TRUE(engine->KeyAsVariant(nullptr, 0).IsNull());
  EXPECT_ENGINE_ERROR(engine->KeyAsVariant(key.data(), 4), qdeInvalidDescNum, "");
  const char* names[] = {"BlobNr", "FieldNo", "RefNr", "InserLSN"};
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(u8(engine->GetFieldDescriptor(i)->GetName()), names[i]);
    EXPECT_EQ(engine->GetFieldFromName(Utf8ToString(names[i])), i);
  }
  EXPECT_EQ(engine->GetFieldDescriptor(4), nullptr);
  TqdFieldType type{};
  int32_t size = -1;
  bool isNull = true;
  const uint8_t* value = nullptr;
  uint16_t codePage = 1;
  ASSERT_TRUE(engine->GetFieldForFilter(0, u"fieldno", key.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(type, qdtInt32);
  EXPECT_EQ(value, key.data() + 8);
  EXPECT_EQ(size, 0);
  EXPECT_FALSE(engine->GetFieldForFilter(4, u"", key.data(), type, size, isNull, value, codePage));
  EXPECT_EQ(value, nullptr);
}

TEST_F(KeyEngineTest, DescribesItsFields) {
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(AddKey({0, 1})));
  TqdRef<IqdExceptionDataContainer> data = qdCreateExceptionDataContainer(u"Engine", nullptr);
  engine->DescribeTo(data.Get());
  const std::string text = u8(data->ToString());
  EXPECT_NE(text.find("KeyLength"), std::string::npos) << text;
  EXPECT_NE(text.find("qdtNullString"), std::string::npos) << text;
}

// --- Filtered keys -----------------------------------------------------------------------------------------------

TEST_F(FilteredKeyEngineTest, AFilteredKeyRefusesTheRecordsItsFilterRefuses) {
  TqdCompKeyDescriptor* key = AddKey({1, 0});
  key->SetFilter(new TqdMinimumFilterDescriptor(0, 10));  // Id >= 10
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(key));
  ASSERT_NE(engine->Filter(), nullptr);
  EXPECT_TRUE(engine->Filter()->Active());
  EXPECT_EQ(engine->Filter()->FieldsSource(), static_cast<IqdFieldsSource*>(Fields()));
  Key(*engine, Record({10, u"a"}));
  Key(*engine, Record({9, u"a"}), false, qdeKeyFiltered);
  Key(*engine, Record({kNull, u"a"}), false, qdeKeyFiltered);
  const Bytes complete = Key(*engine, Record({9, u"a"}), true);
  EXPECT_EQ(complete, Key(*engine, Record({9, u"a"}), true));
  EXPECT_EQ(qdGetI32(complete.data() + engine->GetKeyFieldOffset(1)), 9) << "the whole key is built";
  // Comparisons never ask the filter.
  EXPECT_EQ(engine->CompareRecord(Record({1, u"a"}).data(), Record({2, u"a"}).data()), -1);
  EXPECT_EQ(engine->CompareKeyToRecord(complete.data(), Record({9, u"a"}).data(), 0), 0);
}

TEST_F(FilteredKeyEngineTest, AFilteredReferenceKeyAsksItsFilter) {
  TqdBaseKeyDescriptor* refKey = dictionary.IndicesDescriptor()->IndexDescriptor(0)->KeyDescriptor();
  refKey->SetFilter(new TqdMinimumFilterDescriptor(0, 0));
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(refKey));
  Bytes key(8);
  EXPECT_EQ(engine->BuildKey(Record({1}).data(), key.data(), 4, false), qdeSuccess);
  EXPECT_EQ(engine->BuildKey(Record({-1}).data(), key.data(), 4, false), qdeKeyFiltered);
  EXPECT_EQ(engine->BuildKey(nullptr, key.data(), 4, false), qdeInvalidParam);
  EXPECT_EQ(engine->BuildKey(nullptr, key.data(), 4, true), qdeSuccess);
}

TEST_F(FilteredKeyEngineTest, KeyEnginesAreFieldsSourcesForFiltersOnKeys) {
  TqdCompKeyDescriptor* compKey = AddKey({1, 0});
  TqdEngineRef comp(TqdBaseKeyEngine::CreateFor(compKey));
  TqdEngineRef ref(TqdBaseKeyEngine::CreateFor(dictionary.IndicesDescriptor()->IndexDescriptor(0)->KeyDescriptor()));
  // Field 1 of the composite key is Id.
  TqdMinimumFilterDescriptor onComp(1, 3);
  std::unique_ptr<TqdBaseFilterEngine> compFilter(TqdBaseFilterEngine::CreateFor(&onComp, comp.get()));
  EXPECT_TRUE(compFilter->MatchesBuffer(Key(*comp, Record({3, u"x"})).data()));
  EXPECT_FALSE(compFilter->MatchesBuffer(Key(*comp, Record({2, u"x"})).data()));
  EXPECT_FALSE(compFilter->MatchesBuffer(Key(*comp, Record({kNull, u"x"})).data()));

  IqdFieldsSource* source = ref.get();
  EXPECT_EQ(source->GetFieldsOffset(), 0);
  EXPECT_EQ(source->GetFieldCount(), 1);
  EXPECT_EQ(source->GetCursor(), nullptr);
  EXPECT_FALSE(source->BlobsSupported());
  IqdFieldsSource* compSource = comp.get();
  EXPECT_EQ(compSource->GetFieldsOffset(), 1);
  EXPECT_EQ(compSource->GetFieldCount(), 2);
}

// --- Threads ---------------------------------------------------------------------------------------------------

TEST_F(FilteredKeyEngineTest, OneEngineServesSeveralThreads) {
  TqdCompKeyDescriptor* key = AddKey({1, 0, 2});
  key->SetFilter(new TqdMinimumFilterDescriptor(0, 1));
  key->KeyField(0)->AddLocaleDescriptor()->SetLocale(1033);
  key->KeyField(0)->SetOverrideLengthChars(5);
  TqdEngineRef engine(TqdBaseKeyEngine::CreateFor(key));
  std::vector<Bytes> records;
  for (int i = 0; i < 12; ++i)
    records.push_back(i % 5 == 0 ? Record({kNull, kNull, u"x"})
                                 : Record({i % 3, IntToStr(i * 7919 % 1000) + u"abcdef", IntToStr(i)}));
  std::vector<int> expected;
  for (const Bytes& a : records)
    for (const Bytes& b : records) expected.push_back(engine->CompareRecord(a.data(), b.data()));
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 100; ++round) {
        size_t i = 0;
        for (const Bytes& a : records) {
          uint8_t* ka = engine->AllocKey();
          const bool passes = !Fields()->IsRecordFieldNull(0, a.data()) && qdGetI32(a.data()) >= 1;
          if (engine->BuildKey(a.data(), ka, 0, false) != (passes ? qdeSuccess : qdeKeyFiltered)) ++failures[t];
          if (engine->BuildKey(a.data(), ka, 0, true) != qdeSuccess) ++failures[t];
          for (const Bytes& b : records) {
            if (engine->CompareKeyToRecord(ka, b.data(), 0) != expected[i]) ++failures[t];
            ++i;
          }
          engine->FreeKey(ka);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace qd
