// Caching states: what makes a table cacheable, turning a table into a
// cache of itself, and copies of the field part of a table.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dictionary/qdsdDataDictionary.h"
#include "foundation/qdllStreams.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::u8;

struct InfoHolder {
  TqdCacheableInfo* info = nullptr;
  ~InfoHolder() { qdReleaseCacheableInfo(info); }
};

void addPlainFields(TqdBaseTableDescriptor& aTable) {
  aTable.FieldsDescriptor()->AddField(u"Name", u"", qdtNullString, 20, 0, true);
  aTable.FieldsDescriptor()->AddField(u"Picture", u"", qdtBlob, 0, 0, false);
}

TEST(CachingTest, MakeCacheableAddsWhatIsMissingAndMarksIt) {
  TqdDataDictionary dictionary;
  addPlainFields(dictionary);
  InfoHolder holder;
  EXPECT_FALSE(dictionary.IsCacheable(holder.info, tcsNone, false));
  EXPECT_ENGINE_ERROR(dictionary.MakeCacheable(false), qdeNotSupported, "Failed to make table cachable");
  EXPECT_EQ(dictionary.CachingState(), tcsNone);

  dictionary.MakeCacheable(true);
  EXPECT_EQ(dictionary.CachingState(), tcsCacheable);
  ASSERT_TRUE(dictionary.IsCacheable(holder.info, tcsNone, false));
  EXPECT_TRUE(dictionary.IsCacheable(holder.info, tcsCacheable, false));
  EXPECT_FALSE(dictionary.IsCacheable(holder.info, tcsIsCache, false)) << "not a cache yet";
  ASSERT_TRUE(dictionary.IsCacheable(holder.info, tcsNone, false));
  const TqdFieldsDescriptor* fields = dictionary.FieldsDescriptor();
  for (const char16_t* name : {u"$ModifyLSN", u"$InsertLSN", u"$RefNr"}) {
    SCOPED_TRACE(u8(name));
    const int32_t field = fields->GetFieldFromName(name);
    ASSERT_GE(field, 0);
    EXPECT_EQ(u8(fields->FieldDescriptor(field)->CustomStringValue(u"$Implicit")), "$Cacheable");
  }
  const TqdIndexDescriptor* modify = dictionary.IndicesDescriptor()->IndexDescriptor(holder.info->ciModifyLSNIndex);
  EXPECT_EQ(u8(modify->Name()), "$ModifyLSN");
  EXPECT_EQ(&modify->KeyDescriptor()->ClassType(), &TqdNoNullCompKeyDescriptor::ClassInfo);
  EXPECT_EQ(u8(modify->CustomStringValue(u"$Implicit")), "$Cacheable");
  const TqdInternalIndicesDescriptor* internal = dictionary.InternalIndicesDescriptor();
  ASSERT_NE(internal, nullptr);
  for (const char16_t* name : {u"$GraveyardLSN", u"$GraveyardRefNr", u"$BlobNrCounter"})
    EXPECT_GE(internal->GetIndexFromName(name), 0) << u8(name);
  EXPECT_NO_THROW(dictionary.CheckValid(true));
  EXPECT_EQ(dictionary.Version(), 5);

  // A second call changes nothing.
  const int32_t fieldCount = fields->FieldCount();
  dictionary.MakeCacheable(true);
  EXPECT_EQ(fields->FieldCount(), fieldCount);
}

// The LSN fields carry next-LSN defaults, which a stream must name.
TEST(CachingTest, CacheableAndCacheDictionariesRoundTrip) {
  for (bool makeCache : {false, true}) {
    SCOPED_TRACE(makeCache ? "cache" : "cacheable");
    TqdDataDictionary source;
    addPlainFields(source);
    source.MakeCacheable(true);
    if (makeCache) source.MakeCache(false);
    TqdMemoryStream stream(-1);
    source.WriteToStream(stream, qdEngineClientVersion);
    stream.SetPosition(0);
    TqdDataDictionary copy;
    copy.ReadFromStream(stream, u"");
    EXPECT_TRUE(copy.IsEqual(&source));
    const TqdFieldsDescriptor* fields = copy.FieldsDescriptor();
    const TqdFieldDescriptor* modify = fields->FieldDescriptor(fields->GetFieldFromName(u"$ModifyLSN"));
    ASSERT_NE(modify->DefaultValue(), nullptr);
    EXPECT_EQ(&modify->DefaultValue()->ClassType(), &TqdNextLSNDefaultValueDescriptor::ClassInfo);
    EXPECT_TRUE(modify->DefaultValue()->ApplyOnModify());
    const TqdFieldDescriptor* insert = fields->FieldDescriptor(fields->GetFieldFromName(u"$InsertLSN"));
    ASSERT_NE(insert->DefaultValue(), nullptr);
    EXPECT_FALSE(insert->DefaultValue()->ApplyOnModify());
  }
}

TEST(CachingTest, MakeCacheTurnsACacheableTableIntoItsCache) {
  TqdDataDictionary dictionary;
  addPlainFields(dictionary);
  dictionary.SetEncryptionEngine(u"AES");
  dictionary.MakeCacheable(true);
  dictionary.CustomDescsDescriptor()->AddCustom(u"Extra");
  const int32_t currentID = dictionary.CurrentID();
  dictionary.MakeCache(false);
  EXPECT_EQ(dictionary.CachingState(), tcsIsCache);
  EXPECT_TRUE(dictionary.CacheGuid() == dictionary.Guid());
  EXPECT_EQ(dictionary.CacheCurrentID(), currentID);
  EXPECT_TRUE(dictionary.EncryptionEngine().empty());
  EXPECT_EQ(dictionary.CustomDescsDescriptor()->CustomCount(), 0);
  auto* record = dynamic_cast<TqdHeapRecordDescriptor*>(dictionary.RecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(u8(record->RecordEngine()), "Variable");
  ASSERT_NE(record->RecordCompressionDescriptor(), nullptr);
  EXPECT_EQ(u8(record->RecordCompressionDescriptor()->RecordCompressionEngine()), "Compressor");
  EXPECT_EQ(record->RecordCompressionDescriptor()->CompressType(), 11);
  ASSERT_NE(dictionary.InternalIndicesDescriptor(), nullptr);
  EXPECT_EQ(dictionary.InternalIndicesDescriptor()->IndexCount(), 1);
  EXPECT_GE(dictionary.InternalIndicesDescriptor()->GetIndexFromName(u"$CachedBlobs"), 0);
  EXPECT_ENGINE_ERROR(dictionary.MakeCacheable(true), qdeNotSupported, "Can't make a InCache table Cachable");

  // The cache values travel in the header lines of the stream.
  TqdMemoryStream stream(-1);
  dictionary.WriteToStream(stream, qdEngineClientVersion);
  const std::string text(reinterpret_cast<const char*>(stream.ByteArray()), static_cast<size_t>(stream.Size()));
  EXPECT_NE(text.find("$CacheGUID=" + u8(qdGuidToString(dictionary.Guid()))), std::string::npos);
  EXPECT_NE(text.find("$CacheCurrentID=" + std::to_string(currentID)), std::string::npos);
  EXPECT_NE(text.find("$CachingState=tcsIsCache"), std::string::npos);

  // A dictionary that holds a cache table already stays as it is.
  dictionary.NextID();
  dictionary.MakeCache(false);
  EXPECT_EQ(dictionary.CacheCurrentID(), currentID);
}

TEST(CachingTest, TablesThatCannotBeCachesAreRefusedOrLeftPlain) {
  TqdDataDictionary loud;
  addPlainFields(loud);
  EXPECT_ENGINE_ERROR(loud.MakeCache(false), qdeNotSupported, "Only Cachable tables can be marked as InCache");

  TqdDataDictionary silent;
  addPlainFields(silent);
  TqdNestedTableDescriptor* lines = silent.TablesDescriptor()->AddTable(u"Lines");
  addPlainFields(*lines);
  lines->AddRecordDescriptor();
  lines->MakeCacheable(true);
  silent.MakeCache(true);
  EXPECT_EQ(silent.CachingState(), tcsNone);
  EXPECT_EQ(lines->CachingState(), tcsIsCache) << "the nested table could be one";
  EXPECT_TRUE(silent.CacheGuid() == silent.Guid()) << "the dictionary holds a cache table";

  TqdDataDictionary none;
  addPlainFields(none);
  none.MakeCache(true);
  EXPECT_EQ(none.CachingState(), tcsNone);
  EXPECT_EQ(none.CacheCurrentID(), 0);
  EXPECT_TRUE(none.CacheGuid() == TGUID{});
}

TEST(CachingTest, AssignOnlyFieldsCopiesFieldsLocalesAndNestedTables) {
  TqdDataDictionary source;
  addPlainFields(source);
  source.AddLocaleDescriptor()->SetLocale(1041);
  source.FieldsDescriptor()->FieldDescriptor(0)->AddLocaleDescriptor()->SetLocale(1033);
  source.FieldsDescriptor()->FieldDescriptor(0)->AddDefaultValue(&TqdConstDefaultValueDescriptor::ClassInfo);
  TqdNestedTableDescriptor* lines = source.TablesDescriptor()->AddTable(u"Lines");
  lines->FieldsDescriptor()->AddField(u"Qty", u"", qdtInt32, 0, 0, true);
  static_cast<TqdCompKeyDescriptor*>(source.IndicesDescriptor()->AddIndex(u"ByName", 0, idAll, u"")->KeyDescriptor())
      ->Add(u"Name");

  TqdDataDictionary target;
  target.AssignOnlyFields(&source);
  EXPECT_EQ(target.IndicesDescriptor(), nullptr);
  const TqdFieldsDescriptor* fields = target.FieldsDescriptor();
  ASSERT_EQ(fields->FieldCount(), 2);
  EXPECT_FALSE(fields->FieldDescriptor(0)->Required());
  EXPECT_EQ(fields->FieldDescriptor(0)->DefaultValue(), nullptr);
  ASSERT_NE(fields->FieldDescriptor(0)->LocaleDescriptor(), nullptr);
  EXPECT_EQ(fields->FieldDescriptor(0)->LocaleDescriptor()->Locale(), 1033u);
  ASSERT_NE(target.LocaleDescriptor(), nullptr);
  EXPECT_EQ(target.LocaleDescriptor()->Locale(), 1041u);
  auto* record = dynamic_cast<TqdHeapRecordDescriptor*>(target.RecordDescriptor());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(u8(record->RecordEngine()), "Variable");
  EXPECT_EQ(u8(record->RecordCompressionDescriptor()->RecordCompressionEngine()), "Smart");
  ASSERT_EQ(target.TablesDescriptor()->TableCount(), 1);
  const TqdNestedTableDescriptor* copiedLines = target.TablesDescriptor()->TableDescriptor(0);
  ASSERT_EQ(copiedLines->FieldsDescriptor()->FieldCount(), 1);
  EXPECT_FALSE(copiedLines->FieldsDescriptor()->FieldDescriptor(0)->Required());
  EXPECT_NE(copiedLines->RecordDescriptor(), nullptr);
}

}  // namespace
}  // namespace qd
