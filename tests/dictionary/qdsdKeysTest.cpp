// Key, key field, index and indices descriptors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFilterEngineSQL.h"
#include "foundation/qdllStreams.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::itemBytes;
using test::loadItem;
using test::readBytes;
using test::u8;
using test::written;

class KeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fields()->AddField(u"Id", u"", qdtInt32, 0, 0, true);            // 0
    Fields()->AddField(u"Title", u"", qdtNullString, 20, 0, false);  // 1
    Fields()->AddField(u"Name", u"", qdtWideString, 20, 0, false);   // 2
    Fields()->AddField(u"Data", u"", qdtByteArray, 10, 0, false);    // 3
    Fields()->AddField(u"Other", u"", qdtInt32, 0, 0, false);        // 4
  }

  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }
  TqdMainIndicesDescriptor* Indices() { return dictionary.IndicesDescriptor(); }
  TqdCompKeyDescriptor* AddKey(qdStringView aName, std::initializer_list<int32_t> aFields,
                               const TqdKeyDescriptorClass* aKeyClass = &TqdCompKeyDescriptor::ClassInfo) {
    auto* key =
        static_cast<TqdCompKeyDescriptor*>(Indices()->AddIndex(aName, 0, idNone, u"", aKeyClass)->KeyDescriptor());
    for (int32_t field : aFields) key->Add(field);
    return key;
  }
  std::vector<int32_t> Numbers(TqdCompKeyDescriptor* aKey) {
    std::vector<int32_t> numbers;
    for (int32_t i = 0; i < aKey->KeyFieldCount(); ++i) numbers.push_back(aKey->KeyField(i)->FieldNumber());
    return numbers;
  }

  TqdDataDictionary dictionary;
};

// --- Key lengths ----------------------------------------------------------------------------------

TEST_F(KeysTest, CompositeKeyLengthIsTheFieldsPlusOneNullBitPerKeyField) {
  EXPECT_EQ(AddKey(u"Comp", {0, 1})->KeyLen(), 4 + 21 + 1);
  EXPECT_EQ(AddKey(u"NoNull", {0, 1}, &TqdNoNullCompKeyDescriptor::ClassInfo)->KeyLen(), 25);
  EXPECT_EQ(AddKey(u"Nine", {0, 0, 0, 0, 0, 0, 0, 0, 0})->KeyLen(), 36 + 2);
  EXPECT_EQ(Indices()->IndexDescriptor(0)->KeyDescriptor()->KeyLen(), 8) << "the reference key";
  EXPECT_EQ(dictionary.MaxKeyLen(), 38);
  EXPECT_EQ(dictionary.tdGetBookmarkSize(1), 26 + 24);
  EXPECT_ENGINE_ERROR(dictionary.tdGetKeyLen(9), qdeInvalidDescNum, "Index out of bounds: 9");
}

TEST_F(KeysTest, KeyFieldLengthsFollowTheOverrides) {
  struct Case {
    int32_t field, chars, bytes, length, keyChars;
  };
  const Case cases[] = {
      {1, 0, 0, 21, 20},  {1, 5, 0, 6, 5},  {1, 5, 40, 40, 5}, {1, 5, 3, 6, 5},   {1, 20, 0, 21, 20},
      {1, 30, 0, 21, 20}, {2, 5, 0, 12, 5}, {2, 5, 40, 12, 5}, {2, 0, 0, 42, 20}, {3, 0, 4, 4, 0},
      {3, 0, 20, 10, 0},  {3, 7, 0, 10, 0}, {0, 3, 99, 4, 0},
  };
  TqdCompKeyDescriptor* key = AddKey(u"K", {});
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.field) + " chars " + std::to_string(c.chars) + " bytes " + std::to_string(c.bytes));
    TqdKeyFieldDescriptor* keyField = key->Add(c.field);
    keyField->SetOverrideLengthChars(c.chars);
    keyField->SetOverrideLengthBytes(c.bytes);
    EXPECT_EQ(keyField->KeyLength(), c.length);
    EXPECT_EQ(keyField->KeyChars(), c.keyChars);
    key->Delete(0);
  }
}

TEST_F(KeysTest, ChangingAKeyFieldDropsTheCachedKeyLength) {
  TqdCompKeyDescriptor* key = AddKey(u"K", {1});
  EXPECT_EQ(key->KeyLen(), 22);
  key->KeyField(0)->SetOverrideLengthChars(5);
  EXPECT_EQ(key->KeyLen(), 7);
  key->KeyField(0)->SetFieldNumber(0);
  EXPECT_EQ(key->KeyLen(), 5);
  key->Insert(0, u"Data");
  EXPECT_EQ(key->KeyLen(), 15);
  EXPECT_EQ(Numbers(key), (std::vector<int32_t>{3, 0}));
  key->Move(0, 1);
  EXPECT_EQ(Numbers(key), (std::vector<int32_t>{0, 3}));
  key->Clear(true);
  EXPECT_EQ(key->KeyLen(), 0);
}

// Keys are built in buffers indexed with 16 bits.
TEST(KeyLengthBoundTest, KeysLongerThan65535BytesAreRefused) {
  TqdDataDictionary dictionary;
  dictionary.FieldsDescriptor()->AddField(u"A", u"", qdtNullString, 40000, 0, false);
  dictionary.FieldsDescriptor()->AddField(u"B", u"", qdtNullString, 25533, 0, false);
  auto* key = static_cast<TqdCompKeyDescriptor*>(
      dictionary.IndicesDescriptor()->AddIndex(u"Long", 0, idNone, u"")->KeyDescriptor());
  key->Add(0);
  key->Add(1);
  EXPECT_EQ(key->KeyLen(), 65536);
  EXPECT_ENGINE_ERROR(key->CheckValid(false), qdeKeyTooLarge, "Maximum key size has been exceeded");
  key->KeyField(1)->SetOverrideLengthChars(25532);
  EXPECT_EQ(key->KeyLen(), 65535);
  EXPECT_NO_THROW(key->CheckValid(false));
}

// --- Renumbering on field notices -------------------------------------------------------------

TEST_F(KeysTest, RemovingAFieldAnIndexUsesIsRefusedAndChangesNothing) {
  TqdCompKeyDescriptor* key = AddKey(u"ByTitle", {1});
  EXPECT_ENGINE_ERROR(Fields()->RemoveField(1), qdeObjectInUse,
                      "Cannot remove field Title because it is still referenced by an index");
  EXPECT_EQ(Fields()->FieldCount(), 5);
  EXPECT_EQ(u8(Fields()->FieldDescriptor(1)->Name()), "Title");
  EXPECT_EQ(Fields()->FieldDescriptor(2)->Offset(), 25);
  EXPECT_EQ(Numbers(key), (std::vector<int32_t>{1}));
  EXPECT_ENGINE_ERROR(Fields()->Clear(true), qdeObjectInUse, "");
}

TEST_F(KeysTest, KeyFieldNumbersFollowInsertsMovesAndRemovals) {
  TqdCompKeyDescriptor* key = AddKey(u"K", {0, 1, 3, 4});
  Fields()->InsertFieldAt(0, u"New", u"", qdtInt32, 0, 0, false);
  EXPECT_EQ(Numbers(key), (std::vector<int32_t>{1, 2, 4, 5}));
  Fields()->MoveField(4, 2);  // Data (4) before Title
  EXPECT_EQ(Numbers(key), (std::vector<int32_t>{1, 3, 2, 5}));
  Fields()->RemoveField(0);
  EXPECT_EQ(Numbers(key), (std::vector<int32_t>{0, 2, 1, 4}));
  for (int32_t i = 0; i < key->KeyFieldCount(); ++i)
    EXPECT_EQ(u8(key->KeyField(i)->Field()->Name()), (std::vector<std::string>{"Id", "Title", "Data", "Other"})[i]);
}

TEST_F(KeysTest, MovingFieldThreeToOneTurnsThreeIntoOneAndOneIntoTwo) {
  TqdCompKeyDescriptor* key = AddKey(u"K", {3, 1});
  Fields()->MoveField(3, 1);
  EXPECT_EQ(Numbers(key), (std::vector<int32_t>{1, 2}));
}

TEST_F(KeysTest, KeyFieldOnItsRelatedFieldIgnoresFieldNotices) {
  TqdFieldDescriptor* title = Fields()->FieldDescriptor(1);
  TqdKeyFieldDescriptor keyField(title, kRelatedFieldNumber);
  EXPECT_EQ(keyField.Field(), title);
  EXPECT_EQ(keyField.KeyLength(), 21);
  EXPECT_NO_THROW(keyField.CheckValid(false));
  Fields()->InsertFieldAt(0, u"New", u"", qdtInt32, 0, 0, false);
  EXPECT_EQ(keyField.FieldNumber(), kRelatedFieldNumber);
  EXPECT_EQ(keyField.Field(), title);

  TqdKeyFieldDescriptor loose(nullptr, kRelatedFieldNumber);
  EXPECT_ENGINE_ERROR(loose.CheckValid(false), qdeInvalidDescNum, "Invalid field number: -2147483648");
}

TEST_F(KeysTest, KeyFieldValidationAndNullability) {
  TqdCompKeyDescriptor* key = AddKey(u"K", {0, 1});
  EXPECT_FALSE(key->KeyField(0)->CanContainNulls()) << "Id is required";
  EXPECT_TRUE(key->KeyField(1)->CanContainNulls());
  key->KeyField(1)->SetNullBehaviour(nbFilterNull);
  EXPECT_FALSE(key->CanContainNulls());
  key->Add(9);
  EXPECT_ENGINE_ERROR(key->CheckValid(false), qdeInvalidDescNum, "Invalid field number: 9");
  key->Delete(2);
  EXPECT_NO_THROW(key->CheckValid(false));
  key->Add(u"NoSuchField");
  EXPECT_EQ(key->KeyField(2)->FieldNumber(), -1);
  EXPECT_ENGINE_ERROR(key->CheckValid(false), qdeInvalidDescNum, "Invalid field number: -1");
  key->Clear(true);
  EXPECT_ENGINE_ERROR(key->CheckValid(false), qdeInvalidDesc, "Composite key requires a minimum of one field");
  EXPECT_ENGINE_ERROR(key->Delete(0), qdeInvalidDescNum, "Index out of bounds: 0");
}

TEST_F(KeysTest, NoNullKeyNeedsFieldsThatAreAlwaysFilled) {
  Fields()->AddField(u"Auto", u"", qdtAutoInc, 0, 0, false);  // 5
  Fields()->AddField(u"Fixed", u"", qdtInt32, 0, 0, false);   // 6
  Fields()->FieldDescriptor(6)->AddDefaultValue();            // a constant default
  TqdCompKeyDescriptor* key = AddKey(u"K", {0, 5, 6}, &TqdNoNullCompKeyDescriptor::ClassInfo);
  EXPECT_NO_THROW(key->CheckValid(false));
  key->Add(1);
  EXPECT_ENGINE_ERROR(key->CheckValid(false), qdeInvalidDesc, "Field \"Title\" is not marked as required");
}

// --- Indexes ---------------------------------------------------------------------------------------

TEST_F(KeysTest, AddIndexRefusesBadNamesDuplicatesAndFiles) {
  EXPECT_ENGINE_ERROR(Indices()->AddIndex(u"sequential access index", 0, idNone, u""), qdeIndexExists,
                      "Duplicated index name: sequential access index");
  EXPECT_ENGINE_ERROR(Indices()->AddIndex(u"Bad", 3, idNone, u""), qdeInvalidDescNum, "Invalid file number: 3");
  EXPECT_ENGINE_ERROR(Indices()->AddIndex(u"a:b", 0, idNone, u""), qdeInvalidIndexName, "");
  EXPECT_ENGINE_ERROR(Indices()->InsertIndexAt(5, u"X", 0, idNone, u""), qdeInvalidDescNum, "Index out of bounds: 5");
  EXPECT_EQ(Indices()->IndexCount(), 1);
  EXPECT_EQ(Indices()->AddIndex(u"All", 0, true, u"")->Dups(), idAll);
}

TEST_F(KeysTest, DefaultIndexSetterRules) {
  Indices()->AddIndex(u"B", 0, idNone, u"");
  Indices()->AddIndex(u"C", 0, idNone, u"");
  EXPECT_ENGINE_ERROR(Indices()->SetDefaultIndex(7), qdeInvalidDescNum, "Invalid default index number: 7");
  Indices()->SetDefaultIndex(-5);
  EXPECT_EQ(Indices()->DefaultIndex(), 0);
  Indices()->SetDefaultIndex(2);
  EXPECT_EQ(Indices()->DefaultIndex(), 2);
  Indices()->Clear(true);
  EXPECT_EQ(Indices()->DefaultIndex(), -1);
  Indices()->SetDefaultIndex(3);
  EXPECT_EQ(Indices()->DefaultIndex(), -1) << "without indexes any value gives -1";
}

TEST_F(KeysTest, RemovingAndMovingIndexesRenumbersThemAndTheDefaultFollows) {
  Indices()->AddIndex(u"B", 0, idNone, u"");
  Indices()->AddIndex(u"C", 0, idNone, u"");
  Indices()->SetDefaultIndex(2);
  Indices()->RemoveIndex(0);
  EXPECT_EQ(Indices()->IndexDescriptor(0)->Number(), 0);
  EXPECT_EQ(Indices()->IndexDescriptor(1)->Number(), 1);
  EXPECT_EQ(u8(Indices()->IndexDescriptor(Indices()->DefaultIndex())->Name()), "C");
  Indices()->MoveIndex(1, 0);
  EXPECT_EQ(Indices()->DefaultIndex(), 0);
  Indices()->RemoveIndex(0);
  EXPECT_EQ(Indices()->DefaultIndex(), 0) << "the default moves to the first index left";
  Indices()->RemoveIndex(u"b");
  EXPECT_EQ(Indices()->IndexCount(), 0);
  EXPECT_EQ(Indices()->DefaultIndex(), -1);
  EXPECT_ENGINE_ERROR(Indices()->MoveIndex(0, 0), qdeInvalidDescNum, "Index out of bounds: 0");
}

// An insertion is announced once, at its final place; announcing it at the
// end first as well moved the default index past the list.
TEST_F(KeysTest, InsertedIndexesKeepTheDefaultIndexOnItsIndex) {
  Indices()->Clear(true);
  Indices()->InsertIndexAt(0, u"Only", 0, idNone, u"");
  EXPECT_EQ(Indices()->DefaultIndex(), 0);
  Indices()->InsertIndexAt(0, u"Front", 0, idNone, u"");
  EXPECT_EQ(Indices()->DefaultIndex(), 1);
  EXPECT_EQ(u8(Indices()->IndexDescriptor(1)->Name()), "Only");
  EXPECT_EQ(Indices()->IndexDescriptor(1)->Number(), 1);
  Indices()->InsertIndexAt(2, u"Back", 0, true, u"");
  EXPECT_EQ(Indices()->DefaultIndex(), 1);
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(Indices()->IndexDescriptor(i)->Number(), i);
}

TEST_F(KeysTest, IndicesValidation) {
  Indices()->AddIndex(u"B", 0, idNone, u"")->SetName(u"SEQUENTIAL ACCESS INDEX");
  static_cast<TqdCompKeyDescriptor*>(Indices()->IndexDescriptor(1)->KeyDescriptor())->Add(0);
  EXPECT_ENGINE_ERROR(Indices()->CheckValid(false), qdeNameNotUnique, "Duplicated index name: SEQUENTIAL ACCESS INDEX");
  Indices()->RemoveIndex(1);
  for (int i = 0; i < 256; ++i) AddKey(u"I" + AsciiToString(std::to_string(i)), {0});
  EXPECT_ENGINE_ERROR(Indices()->CheckValid(false), qdeTooManyIndexes, "Too many indexes on table.");
  Indices()->Clear(true);
  EXPECT_ENGINE_ERROR(Indices()->CheckValid(false), qdeInvalidIndexDescArray,
                      "IndicesDescriptor requires a minimum of one index");
}

TEST_F(KeysTest, HasIndexFindsACompositeKeyOverExactlyTheseFields) {
  AddKey(u"AB", {0, 1});
  TqdCompKeyDescriptor* filtered = AddKey(u"Filtered", {0, 2});
  filtered->SetFilter(new TqdSqlFilterDescriptor(u"Other > 1"));
  Indices()->AddIndex(u"All", 0, idAll, u"")->KeyDescriptor();
  static_cast<TqdCompKeyDescriptor*>(Indices()->IndexDescriptor(3)->KeyDescriptor())->Add(4);
  int32_t index = -2;
  const int32_t ab[] = {0, 1};
  const int32_t ba[] = {1, 0};
  const int32_t withFilter[] = {0, 2};
  const int32_t other[] = {4};
  EXPECT_TRUE(Indices()->HasIndex(ab, index, {idNone, idNull}));
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(Indices()->HasIndex(ba, index, {idNone}));
  EXPECT_EQ(index, -1);
  EXPECT_FALSE(Indices()->HasIndex(withFilter, index, {idNone}));
  EXPECT_FALSE(Indices()->HasIndex(other, index, {idNone}));
  EXPECT_TRUE(Indices()->HasIndex(other, index, {idAll}));
  EXPECT_EQ(index, 3);
}

TEST_F(KeysTest, IndexesFollowTheFileListAndRefuseTheRemovalOfTheirFile) {
  TqdFilesDescriptor* files = dictionary.FilesDescriptor();
  files->AddFile(u"IX", qdbs8k, u"");
  TqdIndexDescriptor* index = Indices()->AddIndex(u"InFile", 1, idNone, u"");
  EXPECT_ENGINE_ERROR(files->RemoveFile(1), qdeObjectInUse,
                      "Cannot remove file 1 because it is still referenced by an index");
  EXPECT_EQ(files->FileCount(), 2);
  files->InsertFileAt(1, u"BL", qdbs4k, u"");
  EXPECT_EQ(index->FileNumber(), 2);
  EXPECT_EQ(index->IndexFile(), files->FileDescriptor(2));
  files->RemoveFile(1);
  EXPECT_EQ(index->FileNumber(), 1);
}

TEST_F(KeysTest, IndexesOfACacheTable) {
  Fields()->AddField(u"Ref", u"", qdtRefNr, 0, 0, false);  // 5
  TqdIndexDescriptor* other = Indices()->AddIndex(u"ByTitle", 0, idNone, u"");
  Indices()->MakeInCache();
  TqdIndexDescriptor* sequential = Indices()->IndexDescriptor(0);
  EXPECT_EQ(sequential->Dups(), idNone);
  EXPECT_EQ(u8(sequential->IndexEngine()), "qd1xDefault");
  auto* key = dynamic_cast<TqdNoNullCompKeyDescriptor*>(sequential->KeyDescriptor());
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(Numbers(key), (std::vector<int32_t>{5}));
  EXPECT_EQ(other->Dups(), idAll);
  EXPECT_EQ(u8(other->IndexEngine()), "CacheKeylessBStarTree");
}

TEST_F(KeysTest, CopyOfAnIndexOfAnotherTable) {
  TqdDataDictionary other;
  other.FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
  other.FieldsDescriptor()->AddField(u"B", u"", qdtNullString, 8, 0, false);
  TqdIndexDescriptor* source = other.IndicesDescriptor()->AddIndex(u"ByB", 0, idNull, u"desc");
  auto* sourceKey = static_cast<TqdCompKeyDescriptor*>(source->KeyDescriptor());
  sourceKey->Add(1, &TqdTextKeyFieldDescriptor::ClassInfo);
  static_cast<TqdTextKeyFieldDescriptor*>(sourceKey->KeyField(0))->SetIgnoreCase(true);
  sourceKey->KeyField(0)->SetAscend(false);
  const int32_t newID = dictionary.CurrentID() + 1;
  TqdIndexDescriptor* copy = Indices()->AddIndex(source);
  EXPECT_EQ(copy->ID(), newID);
  EXPECT_EQ(copy->Number(), 1);
  EXPECT_TRUE(copy->IsEqual(source));
  EXPECT_EQ(u8(copy->Desc()), "desc");
  EXPECT_ENGINE_ERROR(Indices()->AddIndex(source), qdeIndexExists, "");
  EXPECT_EQ(Indices()->IndexCount(), 2);
}

// --- Streams ----------------------------------------------------------------------------------------

TEST_F(KeysTest, IndicesRoundTripWithEveryKindOfKeyAndKeyField) {
  TqdCompKeyDescriptor* key = AddKey(u"Text", {});
  TqdKeyFieldDescriptor* plain = key->Add(0);
  plain->SetDesc(u"first");
  plain->SetKeyFieldEngine(u"Custom");
  plain->SetNullBehaviour(nbBottom);
  auto* text = static_cast<TqdTextKeyFieldDescriptor*>(key->Add(1, &TqdTextKeyFieldDescriptor::ClassInfo));
  text->SetIgnoreCase(true);
  text->SetOverrideLengthChars(5);
  auto* ext = static_cast<TqdExtTextKeyFieldDescriptor*>(key->Add(2, &TqdExtTextKeyFieldDescriptor::ClassInfo));
  ext->AddLocaleDescriptor()->SetLocale(1033);
  ext->SetAscend(false);
  AddKey(u"NoNull", {0}, &TqdNoNullCompKeyDescriptor::ClassInfo);
  Indices()->AddIndex(u"Int64", 0, idAll, u"", &TqdInt64KeyDescriptor::ClassInfo);
  Indices()->AddIndex(u"Blobs", 0, idNull, u"", &TqdBlobCacheKeyDescriptor::ClassInfo);
  Indices()->SetDefaultIndex(2);
  Indices()->SetIndicesEngine(u"Other");

  TqdDataDictionary copy;
  TqdDictionaryItem* target = copy.IndicesDescriptor();
  copy.FieldsDescriptor()->Assign(Fields());
  loadItem(*target, itemBytes(*Indices()));
  EXPECT_TRUE(copy.IndicesDescriptor()->IsEqual(Indices()));
  EXPECT_EQ(copy.IndicesDescriptor()->DefaultIndex(), 2);
  EXPECT_EQ(copy.IndicesDescriptor()->IndexDescriptor(4)->Dups(), idNull);
  auto* copiedKey = static_cast<TqdCompKeyDescriptor*>(copy.IndicesDescriptor()->IndexDescriptor(1)->KeyDescriptor());
  EXPECT_EQ(copiedKey->KeyLen(), key->KeyLen());
  EXPECT_EQ(copiedKey->KeyField(2)->UsedLocaleDescriptor()->Locale(), 1033u);
}

TEST_F(KeysTest, IndexWithNullDuplicatesNeedsClient20400) {
  TqdIndexDescriptor* index = Indices()->AddIndex(u"Nulls", 0, idNull, u"");
  static_cast<TqdCompKeyDescriptor*>(index->KeyDescriptor())->Add(1);
  EXPECT_ENGINE_ERROR(itemBytes(*index, 20399), qdeIncompatibleServer, "Server is incompatible version.");
  const Bytes bytes = itemBytes(*index, 20400);
  // header: 2 3 | 1 0 | 2 <id> | 18 0 0 0 0, then the body version.
  EXPECT_EQ(bytes[11], 2);
  EXPECT_EQ(bytes[12], 2);
  index->SetDups(idAll);
  EXPECT_EQ(itemBytes(*index, 20399)[12], 1) << "other rules are written as version 1";
}

TEST_F(KeysTest, OlderClientsGetKeyFieldsWithoutLocalesOrOverrides) {
  TqdCompKeyDescriptor* key = AddKey(u"K", {1});
  TqdKeyFieldDescriptor* keyField = key->KeyField(0);
  EXPECT_NO_THROW(itemBytes(*key, 19999));
  keyField->SetOverrideLengthBytes(3);
  EXPECT_ENGINE_ERROR(itemBytes(*key, 19999), qdeIncompatibleServer, "");
  keyField->SetOverrideLengthBytes(0);
  keyField->AddLocaleDescriptor();
  EXPECT_ENGINE_ERROR(itemBytes(*key, 19999), qdeIncompatibleServer, "");
  key->SetFilter(new TqdSqlFilterDescriptor(u"Id = 7"));
  keyField->RemoveLocaleDescriptor();
  EXPECT_ENGINE_ERROR(itemBytes(*key, 19999), qdeIncompatibleServer, "");  // a filter needs a newer client too
}

TEST_F(KeysTest, ExtendedTextKeyFieldCarriesItsLocaleToOlderClientsAsIdAndOptions) {
  TqdCompKeyDescriptor* key = AddKey(u"K", {});
  auto* ext = key->Add(1, &TqdExtTextKeyFieldDescriptor::ClassInfo);
  TqdLocaleDescriptor* locale = ext->AddLocaleDescriptor();
  locale->SetLocale(1033);
  locale->SetFlags(TqdLocaleDescriptor::kFlagIgnoreNonSpace);
  TqdCompKeyDescriptor* copy = AddKey(u"Copy", {});
  loadItem(*copy, itemBytes(*key, 19999));
  ASSERT_EQ(copy->KeyFieldCount(), 1);
  ASSERT_NE(copy->KeyField(0)->LocaleDescriptor(), nullptr);
  EXPECT_EQ(copy->KeyField(0)->LocaleDescriptor()->Locale(), 1033u);
  EXPECT_EQ(copy->KeyField(0)->LocaleDescriptor()->Flags(), TqdLocaleDescriptor::kFlagIgnoreNonSpace);
  locale->SetOverrideStorageCodepage(1252);
  EXPECT_ENGINE_ERROR(itemBytes(*key, 19999), qdeIncompatibleServer, "");
}

TEST_F(KeysTest, KeyWithoutAFilterSectionReadsAsUnfiltered) {
  TqdCompKeyDescriptor* key = AddKey(u"K", {0});
  key->SetFilter(new TqdSqlFilterDescriptor(u"Title <> 'x'"));
  TqdCompKeyDescriptor* copy = AddKey(u"Copy", {});
  loadItem(*copy, itemBytes(*key));
  ASSERT_TRUE(copy->HasFilter());
  auto* filter = dynamic_cast<TqdSqlFilterDescriptor*>(copy->Filter());
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->Expression(), u"Title <> 'x'");
  key->SetFilter(nullptr);
  loadItem(*copy, itemBytes(*key, 19999));
  EXPECT_FALSE(copy->HasFilter());
  EXPECT_EQ(copy->KeyFieldCount(), 1);

  TqdRefKeyDescriptor ref(nullptr);
  TqdRefKeyDescriptor refCopy(nullptr);
  loadItem(refCopy, itemBytes(ref, 19999));
  EXPECT_FALSE(refCopy.HasFilter());
}

// The filter block of a key body is the filter descriptor's own stream.
TEST_F(KeysTest, KeyBodyEmbedsTheFilterDescriptorStream) {
  TqdRefKeyDescriptor ref(nullptr);
  ref.SetFilter(new TqdSqlFilterDescriptor(u"A"));
  const Bytes bytes = itemBytes(ref);
  // ... True, Integer 34, the filter stream, Integer 1.
  Bytes tail = {9, 2, 30, 22};
  for (char c : std::string("TqdSqlFilterDescriptor")) tail.push_back(static_cast<uint8_t>(c));
  const Bytes data = {2, 1, 0, 0, 0, 'A', 0, 2, 1};
  tail.insert(tail.end(), data.begin(), data.end());
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_EQ(Bytes(bytes.end() - static_cast<std::ptrdiff_t>(tail.size()), bytes.end()), tail);
}

// A filter block that does not hold a filter descriptor refuses the key
// with the code the filter reader reported.
TEST_F(KeysTest, DamagedFilterBlockRefusesTheKeyWithTheReadersCode) {
  TqdRefKeyDescriptor ref(nullptr);
  ref.SetFilter(new TqdSqlFilterDescriptor(u"A"));
  const Bytes good = itemBytes(ref);
  const size_t block = good.size() - 2 - 30;  // the filter stream starts here
  struct Damage {
    const char* what;
    size_t offset;
    uint8_t value;
    TqdResult code;
  } const cases[] = {
      {"unknown class name", block + 1, 'X', qdeNotSupported},
      {"unknown version", block + 23, 3, qdeIncompatibleStream},
      {"length beyond the block", block + 24, 2, qdeIncompatibleStream},
      {"class name beyond the block", block, 200, qdeInvalidParam},
  };
  for (const Damage& damage : cases) {
    SCOPED_TRACE(damage.what);
    Bytes bytes = good;
    bytes[damage.offset] = damage.value;
    TqdRefKeyDescriptor copy(nullptr);
    EXPECT_ENGINE_ERROR(loadItem(copy, bytes), damage.code, "");
    EXPECT_FALSE(copy.HasFilter());
  }
}

// A damaged filter length must not make the reader ask for gigabytes.
TEST_F(KeysTest, FilterLengthBeyondTheStreamIsARead_errorNotAnAllocation) {
  TqdRefKeyDescriptor ref(nullptr);
  ref.SetFilter(new TqdSqlFilterDescriptor(u"A"));
  Bytes bytes = itemBytes(ref);
  // ... Ident BKD, Integer 1, True, Integer 30, the 30 bytes, Integer 1.
  const size_t tailSize = 1 + 2 + 30 + 2;
  ASSERT_EQ(bytes[bytes.size() - tailSize], 9);
  bytes.resize(bytes.size() - tailSize);
  const Bytes huge = {9, 4, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2};
  bytes.insert(bytes.end(), huge.begin(), huge.end());
  TqdRefKeyDescriptor copy(nullptr);
  EXPECT_THROW(loadItem(copy, bytes), EReadError);
  bytes[bytes.size() - 3] = 0x80;  // a negative length
  EXPECT_ENGINE_ERROR(loadItem(copy, bytes), qdeIncompatibleStream, "");
}

TEST_F(KeysTest, StandaloneIndexRoundTrips) {
  TqdIndexDescriptor* index = Indices()->AddIndex(u"ByTitle", 0, idNull, u"desc");
  static_cast<TqdCompKeyDescriptor*>(index->KeyDescriptor())->Add(1);
  const Bytes bytes = written([&](TqdWriter& aWriter) { index->SaveStandalone(aWriter, qdEngineClientVersion); });
  TqdIndexDescriptor* copy = nullptr;
  readBytes(bytes, [&](TqdReader& aReader) { copy = TqdIndexDescriptor::CreateStandaloneFromReader(aReader); });
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Number(), 1);
  EXPECT_EQ(copy->DirectParent(), nullptr);
  EXPECT_TRUE(copy->IsEqual(index));
  delete copy;
}

TEST_F(KeysTest, UnknownKeyClassNamesAreRefusedWithTheirLabel) {
  const Bytes bytes = written([&](TqdWriter& aWriter) {
    aWriter.WriteString(u"TqdIndexDescriptor");
    aWriter.WriteString(u"TqdFancyKeyDescriptor");
  });
  TqdIndexDescriptor* copy = nullptr;
  EXPECT_ENGINE_ERROR(
      readBytes(bytes, [&](TqdReader& aReader) { copy = TqdIndexDescriptor::CreateStandaloneFromReader(aReader); }),
      qdeUnsupportedDescriptor, "KeyDescriptor class is not supported: TqdFancyKeyDescriptor");
  EXPECT_EQ(copy, nullptr);
}

}  // namespace
}  // namespace qd
