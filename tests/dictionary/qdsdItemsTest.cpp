// Dictionary items, locale descriptors and localised items.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "platform/qdNls.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::itemBytes;
using test::loadItem;
using test::u8;

class DictionaryItemsTest : public ::testing::Test {
 protected:
  TqdFieldDescriptor* AddField(qdStringView aName, TqdFieldType aType = qdtInt32, int32_t aUnits = 0) {
    return dictionary.FieldsDescriptor()->AddField(aName, u"", aType, aUnits, 0, false);
  }

  TqdDataDictionary dictionary;
};

// --- A new dictionary --------------------------------------------------------------------

TEST_F(DictionaryItemsTest, NewDictionaryHasItsDefaultsAndEveryItemItsOwnID) {
  EXPECT_EQ(dictionary.Version(), 3);
  EXPECT_EQ(std::string(dictionary.HeaderSignature().bsChars, 4), "QD!2");
  ASSERT_EQ(dictionary.FilesDescriptor()->FileCount(), 1);
  EXPECT_EQ(u8(dictionary.FilesDescriptor()->FileDescriptor(0)->Extension()), "");
  EXPECT_EQ(dictionary.FilesDescriptor()->FileDescriptor(0)->BlockSizeBytes(), 4096);
  EXPECT_NE(dictionary.StreamDescriptor(), nullptr);
  EXPECT_NE(dictionary.RecordDescriptor(), nullptr);
  ASSERT_NE(dictionary.IndicesDescriptor(), nullptr);
  ASSERT_EQ(dictionary.IndicesDescriptor()->IndexCount(), 1);
  const TqdIndexDescriptor* index = dictionary.IndicesDescriptor()->IndexDescriptor(0);
  EXPECT_EQ(u8(index->Name()), "Sequential Access Index");
  EXPECT_EQ(&index->KeyDescriptor()->ClassType(), &TqdRefKeyDescriptor::ClassInfo);
  EXPECT_EQ(dictionary.IndicesDescriptor()->DefaultIndex(), 0);

  const TqdDictionaryItem* items[] = {dictionary.FieldsDescriptor(),  dictionary.CustomDescsDescriptor(),
                                      dictionary.TablesDescriptor(),  dictionary.FilesDescriptor(),
                                      dictionary.StreamDescriptor(),  dictionary.RecordDescriptor(),
                                      dictionary.IndicesDescriptor(), index,
                                      index->KeyDescriptor()};
  std::set<int32_t> ids;
  for (const TqdDictionaryItem* item : items) {
    EXPECT_GT(item->ID(), 0) << u8(item->ClassName());
    EXPECT_LE(item->ID(), dictionary.CurrentID());
    ids.insert(item->ID());
  }
  EXPECT_EQ(ids.size(), std::size(items));
}

TEST(DictionaryItemTest, ItemOutsideADictionaryHasIDZeroAndIsNeverReadOnly) {
  TqdBaseStreamDescriptor stream(nullptr, "Stream");
  EXPECT_EQ(stream.ID(), 0);
  EXPECT_NO_THROW(stream.SetStreamEngine(u"Other"));
  EXPECT_EQ(stream.Dictionary(), nullptr);
}

// --- Custom strings --------------------------------------------------------------------

TEST_F(DictionaryItemsTest, CustomStringValuesAreSetReplacedAndRemoved) {
  TqdFieldDescriptor* field = AddField(u"A");
  EXPECT_FALSE(field->HasCustomStrings());
  field->SetCustomStringValue(u"Caption", u"First");
  field->SetCustomStringValue(u"Hint", u"x");
  field->SetCustomStringValue(u"CAPTION", u"Second");
  EXPECT_EQ(u8(field->CustomStringValue(u"caption")), "Second");
  ASSERT_EQ(field->CustomStrings().size(), 2u);
  EXPECT_EQ(u8(field->CustomStrings()[0]), "CAPTION=Second");
  field->SetCustomStringValue(u"Caption", u"");
  EXPECT_FALSE(field->HasCustomStringValue(u"Caption"));
  EXPECT_EQ(field->CustomStrings().size(), 1u);
  field->SetCustomStrings(nullptr);
  EXPECT_FALSE(field->HasCustomStrings());
}

TEST_F(DictionaryItemsTest, ValidationForABuildKeepsTheLastLineOfEachNameAndDropsBlankLines) {
  TqdFieldDescriptor* field = AddField(u"A");
  const std::vector<qdString> lines = {u"A=1", u"  ", u"B=2", u"a=3", u"free text"};
  field->SetCustomStrings(&lines);
  field->CheckValid(false);
  EXPECT_EQ(field->CustomStrings().size(), lines.size()) << "only a build tidies";
  field->CheckValid(true);
  std::vector<std::string> kept;
  for (const qdString& line : field->CustomStrings()) kept.push_back(u8(line));
  EXPECT_EQ(kept, (std::vector<std::string>{"B=2", "a=3", "free text"}));
}

// --- Constraint names -----------------------------------------------------------------

TEST_F(DictionaryItemsTest, ConstraintNamesAreUniquePerTableIgnoringCase) {
  TqdFieldDescriptor* first = AddField(u"A");
  TqdFieldDescriptor* second = AddField(u"B");
  first->SetConstraintName(u"PK");
  EXPECT_ENGINE_ERROR(second->SetConstraintName(u"pk"), qdeNameNotUnique, "Constraint name already in use: \"pk\"");
  EXPECT_EQ(u8(second->ConstraintName()), "");
  EXPECT_EQ(dictionary.GetConstraintByName(u"Pk"), first);
}

TEST_F(DictionaryItemsTest, RenamingAConstraintWithdrawsTheOldNameAndFreeingTheItemWithdrawsTheNew) {
  TqdFieldDescriptor* field = AddField(u"A");
  field->SetConstraintName(u"Old");
  field->SetConstraintName(u"New");
  EXPECT_EQ(dictionary.GetConstraintByName(u"Old"), nullptr);
  EXPECT_EQ(dictionary.GetConstraintByName(u"New"), field);
  dictionary.FieldsDescriptor()->RemoveField(0);
  EXPECT_EQ(dictionary.GetConstraintByName(u"New"), nullptr);
  AddField(u"B")->SetConstraintName(u"new");
}

TEST_F(DictionaryItemsTest, ConstraintNameMustBeAnIdentifierOrEmpty) {
  TqdFieldDescriptor* field = AddField(u"A");
  EXPECT_ENGINE_ERROR(field->SetConstraintName(u"a:b"), qdeInvalidName, "");
  field->SetConstraintName(u"C1");
  field->SetConstraintName(u"");
  EXPECT_EQ(dictionary.GetConstraintByName(u"C1"), nullptr);
}

TEST_F(DictionaryItemsTest, NestedTableKeepsItsOwnConstraintNames) {
  TqdNestedTableDescriptor* nested = dictionary.TablesDescriptor()->AddTable(u"Lines");
  AddField(u"A")->SetConstraintName(u"PK");
  TqdFieldDescriptor* inner = nested->FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
  inner->SetConstraintName(u"PK");
  EXPECT_EQ(nested->GetConstraintByName(u"PK"), inner);
}

// --- Copies -----------------------------------------------------------------------------

TEST_F(DictionaryItemsTest, AssignBetweenTwoFieldsCopiesTheBodyButKeepsTheTargetsID) {
  TqdFieldDescriptor* source = AddField(u"Source", qdtNullString, 20);
  TqdFieldDescriptor* target = AddField(u"Target", qdtNullString, 20);
  source->SetNoClientAccess(true);
  source->AddLocaleDescriptor()->SetLocale(1033);
  source->SetCustomStringValue(u"Caption", u"Name");
  const int32_t targetID = target->ID();
  target->Assign(source);
  EXPECT_EQ(target->ID(), targetID);
  EXPECT_NE(target->ID(), source->ID());
  EXPECT_TRUE(target->NoClientAccess());
  ASSERT_NE(target->LocaleDescriptor(), nullptr);
  EXPECT_EQ(target->LocaleDescriptor()->Locale(), 1033u);
  EXPECT_EQ(u8(target->CustomStringValue(u"Caption")), "Name");
  EXPECT_EQ(u8(target->Name()), "Target") << "the name is not part of the body";
}

TEST_F(DictionaryItemsTest, AssignFromAnotherClassIsRefused) {
  TqdFieldDescriptor* field = AddField(u"A");
  EXPECT_THROW(field->Assign(dictionary.RecordDescriptor()), EConvertError);
  EXPECT_THROW(field->Assign(nullptr), EConvertError);
}

// --- The item header ---------------------------------------------------------------------

TEST(DictionaryItemStreamTest, HeaderAndStreamBodyAreWrittenByteForByte) {
  TqdBaseStreamDescriptor stream(nullptr, "Stream");
  stream.SetCustomStringValue(u"k", u"v");
  const Bytes current = itemBytes(stream);
  const Bytes expected = {2,  3,                                                           // header version 3
                          1,  6,  3,   'k', '=', 'v', 0,                                   // custom strings
                          2,  0,                                                           // ID
                          18, 0,  0,   0,   0,                                             // constraint name ""
                          2,  1,                                                           // stream body version
                          6,  11, 'q', 'd', '1', 'x', 'D', 'e', 'f', 'a', 'u', 'l', 't'};  // engine
  EXPECT_EQ(current, expected);

  const Bytes old = itemBytes(stream, 19999);
  const Bytes expectedOld = {2,  1,   1,   6,   3,   'k', '=', 'v', 0,   2,   1,   6,
                             11, 'q', 'd', '1', 'x', 'D', 'e', 'f', 'a', 'u', 'l', 't'};
  EXPECT_EQ(old, expectedOld) << "older clients get header version 1 without ID and constraint name";
}

TEST(DictionaryItemStreamTest, HeaderVersionsOutsideOneToThreeAreRefused) {
  for (uint8_t version : {0, 4}) {
    const Bytes bytes = {2, version, 1, 0};
    TqdBaseBlockHeapDescriptor item(nullptr);
    EXPECT_ENGINE_ERROR(loadItem(item, bytes), qdeIncompatibleStream, "Incompatible stream");
  }
}

TEST(DictionaryItemStreamTest, StoredIDIsTakenUnlessAnAssignIsReadingBack) {
  TqdBaseBlockHeapDescriptor source(nullptr);
  Bytes bytes = itemBytes(source);
  bytes[5] = 42;  // the ID: 2 3 | 1 0 | 2 <id>
  TqdBaseBlockHeapDescriptor target(nullptr);
  loadItem(target, bytes);
  EXPECT_EQ(target.ID(), 42);
  TqdBaseBlockHeapDescriptor kept(nullptr);
  ++qdDictionaryAssignDepth;
  loadItem(kept, bytes);
  --qdDictionaryAssignDepth;
  EXPECT_EQ(kept.ID(), 0);
}

// --- Parents and related descriptors ------------------------------------------------------

TEST_F(DictionaryItemsTest, ParentsAndRelatedDescriptorsAreFoundUpTheTree) {
  TqdFieldDescriptor* field = AddField(u"A");
  EXPECT_EQ(field->GetParentOfType<TqdDataDictionary>(), &dictionary);
  EXPECT_EQ(field->GetRelated<TqdFilesDescriptor>(), dictionary.FilesDescriptor());
  EXPECT_EQ(field->GetRelated<TqdFieldDescriptor>(), field);
  TqdIndexDescriptor* index = dictionary.IndicesDescriptor()->IndexDescriptor(0);
  EXPECT_EQ(index->GetRelated<TqdFieldsDescriptor>(), dictionary.FieldsDescriptor());

  TqdBaseBlockHeapDescriptor loose(nullptr);
  EXPECT_ENGINE_ERROR(loose.GetParentOfType<TqdDataDictionary>(), qdeObjNotFound,
                      "No Parent of type TqdDataDictionary could be found");
  EXPECT_ENGINE_ERROR(loose.GetRelated<TqdFilesDescriptor>(), qdeObjNotFound,
                      "No related Descriptor of type TqdFilesDescriptor could be found");
}

// --- Referencing items ------------------------------------------------------------------------

// A custom descriptor that refers to one item, as integrity descriptors do.
class TqdReferencingDescriptor : public TqdBaseCustomDescriptor {
 public:
  TqdReferencingDescriptor(TqdPersistent* aParent, qdStringView aName, const TqdDictionaryItem* aTarget)
      : TqdBaseCustomDescriptor(aParent, aName), rdTarget(aTarget) {}
  bool References(const TqdDictionaryItem* aItem) const override { return aItem == rdTarget; }

 private:
  const TqdDictionaryItem* rdTarget;
};

TEST_F(DictionaryItemsTest, IterateReferencingVisitsReferencingItemsAndStopsWhenAsked) {
  TqdFieldDescriptor* target = AddField(u"A");
  TqdNestedTableDescriptor* nested = dictionary.TablesDescriptor()->AddTable(u"Lines");
  TqdReferencingDescriptor first(dictionary.CustomDescsDescriptor(), u"First", target);
  TqdReferencingDescriptor second(nested->CustomDescsDescriptor(), u"Second", target);
  TqdReferencingDescriptor other(dictionary.CustomDescsDescriptor(), u"Other", nullptr);
  std::vector<std::string> seen;
  const auto collect = [](TqdDictionaryItem* aItem, void* aCookie) {
    static_cast<std::vector<std::string>*>(aCookie)->push_back(
        u8(static_cast<TqdBaseCustomDescriptor*>(aItem)->Name()));
    return irContinue;
  };
  EXPECT_EQ(dictionary.IterateReferencing(collect, &seen, target, false), irContinue);
  EXPECT_TRUE(seen.empty()) << "the descriptors are not direct children";
  EXPECT_EQ(dictionary.IterateReferencing(collect, &seen, target, true), irContinue);
  EXPECT_EQ(seen, (std::vector<std::string>{"First", "Second"}));
  const auto stop = [](TqdDictionaryItem*, void* aCookie) {
    ++*static_cast<int*>(aCookie);
    return irStop;
  };
  int calls = 0;
  EXPECT_EQ(dictionary.IterateReferencing(stop, &calls, target, true), irStop);
  EXPECT_EQ(calls, 1);
}

// --- Read-only dictionaries -----------------------------------------------------------------

// Every editing operation is refused once the dictionary is shared, also the
// ones that once skipped the check.
TEST_F(DictionaryItemsTest, EveryEditOfAReadOnlyDictionaryIsRefused) {
  TqdFieldDescriptor* field = AddField(u"A", qdtNullString, 10);
  auto* record =
      static_cast<TqdHeapRecordDescriptor*>(dictionary.AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo));
  TqdBaseHeapDescriptor* heap = record->AddHeapDescriptor();
  TqdBaseBlockHeapDescriptor* blockHeap = heap->AddBlockHeapDescriptor();
  TqdBaseRecordCompressionDescriptor* compression = record->AddRecordCompressionDescriptor();
  auto* autoInc =
      static_cast<TqdAdvAutoIncDescriptor*>(dictionary.AddAutoIncDescriptor(&TqdAdvAutoIncDescriptor::ClassInfo));
  TqdLocaleDescriptor* locale = field->AddLocaleDescriptor();
  TqdMainIndicesDescriptor* indices = dictionary.IndicesDescriptor();
  auto* key = static_cast<TqdCompKeyDescriptor*>(
      indices->AddIndex(u"ByA", 0, idNone, u"", &TqdCompKeyDescriptor::ClassInfo)->KeyDescriptor());
  TqdKeyFieldDescriptor* keyField = key->Add(0);
  dictionary.MakeReadOnly();

  const std::pair<const char*, std::function<void()>> edits[] = {
      {"BlockHeapEngine", [&] { blockHeap->SetBlockHeapEngine(u"x"); }},
      {"HeapEngine", [&] { heap->SetHeapEngine(u"x"); }},
      {"CompressType", [&] { compression->SetCompressType(3); }},
      {"RecordCompressionEngine", [&] { compression->SetRecordCompressionEngine(u"x"); }},
      {"RecordEngine", [&] { record->SetRecordEngine(u"x"); }},
      {"FileNumber", [&] { record->SetFileNumber(0); }},
      {"Step", [&] { autoInc->SetStep(2); }},
      {"InitialValue", [&] { autoInc->SetInitialValue(2); }},
      {"AddField", [&] { dictionary.FieldsDescriptor()->AddField(u"B", u"", qdtInt32, 0, 0, false); }},
      {"RemoveField", [&] { dictionary.FieldsDescriptor()->RemoveField(0); }},
      {"ChangeName", [&] { field->ChangeName(u"C"); }},
      {"NoClientAccess", [&] { field->SetNoClientAccess(true); }},
      {"ConstraintName", [&] { field->SetConstraintName(u"PK"); }},
      {"CustomStrings", [&] { field->SetCustomStringValue(u"a", u"b"); }},
      {"Locale", [&] { locale->SetLocale(1033); }},
      {"Flags", [&] { locale->SetFlags(2); }},
      {"IgnoreWidth", [&] { locale->SetIgnoreWidth(true); }},
      {"RemoveLocale", [&] { field->RemoveLocaleDescriptor(); }},
      {"AddIndex", [&] { indices->AddIndex(u"X", 0, idNone, u""); }},
      {"DefaultIndex", [&] { indices->SetDefaultIndex(0); }},
      {"IndicesEngine", [&] { indices->SetIndicesEngine(u"x"); }},
      {"KeyFieldAdd", [&] { key->Add(0); }},
      {"OverrideLengthChars", [&] { keyField->SetOverrideLengthChars(3); }},
      {"AddFile", [&] { dictionary.FilesDescriptor()->AddFile(u"IX", qdbs4k, u""); }},
      {"AddCustom", [&] { dictionary.CustomDescsDescriptor()->AddCustom(u"C"); }},
      {"AddTable", [&] { dictionary.TablesDescriptor()->AddTable(u"T"); }},
      {"StreamEngine", [&] { dictionary.StreamDescriptor()->SetStreamEngine(u"x"); }},
      {"Version", [&] { dictionary.SetVersion(4); }},
      {"Clear", [&] { dictionary.Clear(true); }},
  };
  for (const auto& edit : edits) {
    SCOPED_TRACE(edit.first);
    EXPECT_ENGINE_ERROR(edit.second(), qdeDictReadOnly, "The data dictionary is read only");
  }
  EXPECT_EQ(dictionary.FieldsDescriptor()->FieldCount(), 1);
  EXPECT_EQ(u8(heap->HeapEngine()), "qd1xDefault");
  EXPECT_EQ(compression->CompressType(), 0);
}

// --- Locale descriptors ------------------------------------------------------------------

TEST(LocaleDescriptorTest, NewDescriptorHoldsTheSpecificSystemLocaleAndZeroStaysZero) {
  TqdLocaleDescriptor locale(nullptr);
  EXPECT_NE(locale.Locale(), 2048u);
  EXPECT_EQ(locale.Locale(), qdConvertDefaultLocale(LOCALE_SYSTEM_DEFAULT));
  EXPECT_EQ(locale.Flags(), 0u);
  locale.SetLocale(0);
  EXPECT_EQ(locale.Locale(), 0u);
  EXPECT_EQ(locale.CompareCodepage(), 0);
  locale.SetLocale(1033);
  EXPECT_EQ(locale.Locale(), 1033u);
}

TEST(LocaleDescriptorTest, WritingFlagsSetsExactlyTheFiveOptionsFromTheirBits) {
  TqdLocaleDescriptor locale(nullptr);
  locale.SetFlags(0xFFFFFFFF);
  locale.SetFlags(TqdLocaleDescriptor::kFlagUseStringSort | TqdLocaleDescriptor::kFlagIgnoreNonSpace);
  EXPECT_TRUE(locale.UseStringSort());
  EXPECT_TRUE(locale.IgnoreNonSpace());
  EXPECT_FALSE(locale.IgnoreKanaType());
  EXPECT_FALSE(locale.IgnoreSymbols());
  EXPECT_FALSE(locale.IgnoreWidth());
  EXPECT_EQ(locale.Flags(), 0x1002u);
  locale.SetIgnoreKanaType(true);
  locale.SetIgnoreWidth(true);
  locale.SetIgnoreSymbols(true);
  EXPECT_EQ(locale.Flags(), 0x31006u);
}

TEST(LocaleDescriptorTest, CodePagesComeFromTheLocaleUnlessOverridden) {
  TqdLocaleDescriptor locale(nullptr);
  locale.SetLocale(1041);
  EXPECT_EQ(locale.CompareCodepage(), 932);
  EXPECT_EQ(locale.StorageCodepage(), 932);
  locale.SetLocale(1033);
  EXPECT_EQ(locale.CompareCodepage(), 1252);
  locale.SetOverrideStorageCodepage(65001);
  EXPECT_EQ(locale.StorageCodepage(), 65001);
}

TEST(LocaleDescriptorTest, CompareableIgnoresTheStorageOverrideButEqualityDoesNot) {
  TqdLocaleDescriptor a(nullptr), b(nullptr);
  a.SetLocale(1033);
  b.SetLocale(1033);
  b.SetOverrideStorageCodepage(1252);
  EXPECT_TRUE(a.IsCompareable(&b));
  EXPECT_FALSE(a.IsEqual(&b));
  b.SetOverrideStorageCodepage(0);
  EXPECT_TRUE(a.IsEqual(&b));
  b.SetIgnoreSymbols(true);
  EXPECT_FALSE(a.IsCompareable(&b));
  b.SetIgnoreSymbols(false);
  b.SetLocale(1041);
  EXPECT_FALSE(a.IsCompareable(&b));
}

TEST(LocaleDescriptorTest, ValidationRefusesUnknownLocalesAndCodePages) {
  TqdLocaleDescriptor locale(nullptr);
  locale.SetLocale(0x7A7A);
  EXPECT_ENGINE_ERROR(locale.CheckValid(false), qdeInvalidLangDriver, "Locale not supported/installed: 31354");
  locale.SetLocale(1033);
  locale.SetOverrideStorageCodepage(4242);
  EXPECT_ENGINE_ERROR(locale.CheckValid(false), qdeInvalidLangDriver, "Invalid codepage: 4242");
  locale.SetOverrideStorageCodepage(1252);
  EXPECT_NO_THROW(locale.CheckValid(false));
}

TEST(LocaleDescriptorTest, BuildRecordsTheSortVersionAndAChangedVersionIsNoticed) {
  TqdLocaleDescriptor locale(nullptr);
  locale.SetLocale(1041);
  EXPECT_TRUE(locale.CurrentLocaleVersionEqualToBuildVersion()) << "nothing recorded yet";
  locale.CheckValid(true);
  ASSERT_NE(locale.NLSVersionInfoBuild(), nullptr);
  EXPECT_TRUE(locale.CurrentLocaleVersionEqualToBuildVersion());

  // What another ICU would have recorded.
  for (int part = 0; part < 3; ++part) {
    TqdLocaleDescriptor other(nullptr);
    other.SetLocale(1041);
    TqdNLSVersionInfoEx info = *locale.NLSVersionInfoBuild();
    if (part == 0) ++info.dwNLSVersion;
    if (part == 1) ++info.dwDefinedVersion;
    if (part == 2) info.guidCustomVersion[15] ^= 1;
    other.SetNLSVersionInfoBuild(&info);
    EXPECT_FALSE(other.CurrentLocaleVersionEqualToBuildVersion()) << part;
  }

  locale.SetLocale(0);
  locale.CheckValid(true);
  EXPECT_EQ(locale.NLSVersionInfoBuild(), nullptr);
  EXPECT_TRUE(locale.CurrentLocaleVersionEqualToBuildVersion());
}

TEST(LocaleDescriptorTest, StreamRoundTripKeepsOptionsAndTheBuildRecord) {
  TqdLocaleDescriptor locale(nullptr);
  locale.SetLocale(1041);
  locale.SetFlags(TqdLocaleDescriptor::kFlagIgnoreWidth | TqdLocaleDescriptor::kFlagIgnoreKanaType);
  locale.SetOverrideStorageCodepage(65001);
  locale.CheckValid(true);
  TqdLocaleDescriptor copy(nullptr);
  loadItem(copy, itemBytes(locale));
  EXPECT_TRUE(copy.IsEqual(&locale));
  EXPECT_EQ(copy.Version(), 2);
  ASSERT_NE(copy.NLSVersionInfoBuild(), nullptr);
  EXPECT_EQ(copy.NLSVersionInfoBuild()->dwNLSVersion, locale.NLSVersionInfoBuild()->dwNLSVersion);
  EXPECT_EQ(copy.NLSVersionInfoBuild()->guidCustomVersion, locale.NLSVersionInfoBuild()->guidCustomVersion);

  TqdLocaleDescriptor older(nullptr);
  loadItem(older, itemBytes(locale, 30899));
  EXPECT_EQ(older.Version(), 1);
  EXPECT_EQ(older.NLSVersionInfoBuild(), nullptr) << "version 1 carries no build record";
  EXPECT_TRUE(older.IsEqual(&locale));

  EXPECT_ENGINE_ERROR(itemBytes(locale, 19999), qdeIncompatibleServer, "Server is incompatible version.");
}

TEST(LocaleDescriptorTest, StringLiteralMarkIsNeitherComparedNorStreamed) {
  TqdLocaleDescriptor marked(nullptr), plain(nullptr);
  marked.ldIsDefaultStringLiteralLocale = true;
  EXPECT_TRUE(marked.IsEqual(&plain));
  EXPECT_TRUE(marked.IsCompareable(&plain));
  EXPECT_EQ(itemBytes(marked), itemBytes(plain));
  TqdLocaleDescriptor copy(nullptr);
  loadItem(copy, itemBytes(marked));
  EXPECT_FALSE(copy.ldIsDefaultStringLiteralLocale);
}

TEST(LocaleDescriptorTest, StreamVersionsTheWriterDoesNotProduceAreRefused) {
  TqdLocaleDescriptor locale(nullptr);
  Bytes bytes = itemBytes(locale);
  // header 2 3 1 0 2 <id> 18 0 0 0 0, then the body version.
  ASSERT_EQ(bytes[11], 2);
  bytes[12] = 3;
  TqdLocaleDescriptor copy(nullptr);
  EXPECT_ENGINE_ERROR(loadItem(copy, bytes), qdeIncompatibleStream, "");
}

// --- Localised items ------------------------------------------------------------------------

TEST_F(DictionaryItemsTest, FieldsInheritTheTableLocaleAndKeyFieldsTheirFieldsLocale) {
  TqdFieldDescriptor* plain = AddField(u"Plain", qdtNullString, 10);
  TqdFieldDescriptor* own = AddField(u"Own", qdtNullString, 10);
  EXPECT_EQ(plain->UsedLocaleDescriptor(), nullptr);
  EXPECT_EQ(plain->UsedStorageCodePage(), 0);

  TqdLocaleDescriptor* tableLocale = dictionary.AddLocaleDescriptor();
  tableLocale->SetLocale(1041);
  TqdLocaleDescriptor* fieldLocale = own->AddLocaleDescriptor();
  fieldLocale->SetLocale(1033);
  EXPECT_EQ(plain->UsedLocaleDescriptor(), tableLocale);
  EXPECT_EQ(plain->UsedStorageCodePage(), 932);
  EXPECT_EQ(own->UsedLocaleDescriptor(), fieldLocale);
  EXPECT_EQ(own->UsedStorageCodePage(), 1252);

  auto* key = static_cast<TqdCompKeyDescriptor*>(
      dictionary.IndicesDescriptor()->AddIndex(u"ByOwn", 0, idNone, u"")->KeyDescriptor());
  TqdKeyFieldDescriptor* keyField = key->Add(1);
  EXPECT_EQ(keyField->UsedLocaleDescriptor(), fieldLocale);
  TqdLocaleDescriptor* keyLocale = keyField->AddLocaleDescriptor();
  EXPECT_EQ(keyField->UsedLocaleDescriptor(), keyLocale);

  TqdNestedTableDescriptor* nested = dictionary.TablesDescriptor()->AddTable(u"Lines");
  TqdFieldDescriptor* inner = nested->FieldsDescriptor()->AddField(u"Text", u"", qdtNullString, 5, 0, false);
  EXPECT_EQ(inner->UsedLocaleDescriptor(), tableLocale) << "a nested table inherits from its parent table";
}

TEST_F(DictionaryItemsTest, ReadOnlyDictionaryAnswersUsedLocalesFromItsCache) {
  TqdFieldDescriptor* field = AddField(u"Text", qdtNullString, 10);
  dictionary.AddLocaleDescriptor()->SetLocale(1033);
  dictionary.MakeReadOnly();
  EXPECT_TRUE(field->CacheActive());
  EXPECT_EQ(field->UsedLocaleDescriptor(), dictionary.LocaleDescriptor());
  EXPECT_EQ(field->UsedStorageCodePage(), 1252);
}

TEST_F(DictionaryItemsTest, KeyOnTextWhoseLocaleVersionChangedRequiresAPack) {
  TqdFieldDescriptor* text = AddField(u"Text", qdtNullString, 10);
  AddField(u"Number");
  TqdLocaleDescriptor* locale = text->AddLocaleDescriptor();
  locale->SetLocale(1041);
  locale->CheckValid(true);
  auto* key = static_cast<TqdCompKeyDescriptor*>(
      dictionary.IndicesDescriptor()->AddIndex(u"ByText", 0, idNone, u"")->KeyDescriptor());
  key->Add(0);
  key->Add(1);
  EXPECT_FALSE(dictionary.RequiresPack());

  TqdNLSVersionInfoEx changed = *locale->NLSVersionInfoBuild();
  ++changed.dwNLSVersion;
  locale->SetNLSVersionInfoBuild(&changed);
  EXPECT_TRUE(key->KeyField(0)->ItemRequiresPack());
  EXPECT_FALSE(key->KeyField(1)->ItemRequiresPack()) << "a number does not depend on the collation";
  EXPECT_TRUE(dictionary.RequiresPack());
}

}  // namespace
}  // namespace qd
