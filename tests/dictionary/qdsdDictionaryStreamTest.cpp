// The dictionary stream: its exact bytes, round trips, the forms written for
// older clients, damaged streams, validation for a build and copies.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllStreams.h"
#include "platform/qdStringList.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::itemBytes;
using test::u8;

// --- Expected bytes, spelled out tag by tag ------------------------------------------------------

struct Expect {
  Bytes b;

  Expect& raw(std::initializer_list<uint8_t> aBytes) {
    b.insert(b.end(), aBytes);
    return *this;
  }
  Expect& chars(const std::string& aText) {
    b.insert(b.end(), aText.begin(), aText.end());
    return *this;
  }
  Expect& ident(const std::string& aName) { return raw({0x07, static_cast<uint8_t>(aName.size())}).chars(aName); }
  // Integers in the smallest of the three tags.
  Expect& integer(int32_t aValue) {
    if (aValue >= -128 && aValue <= 127) return raw({0x02, static_cast<uint8_t>(aValue)});
    if (aValue >= -32768 && aValue <= 32767)
      return raw({0x03, static_cast<uint8_t>(aValue & 0xFF), static_cast<uint8_t>((aValue >> 8) & 0xFF)});
    return raw({0x04, static_cast<uint8_t>(aValue & 0xFF), static_cast<uint8_t>((aValue >> 8) & 0xFF),
                static_cast<uint8_t>((aValue >> 16) & 0xFF), static_cast<uint8_t>((aValue >> 24) & 0xFF)});
  }
  // ASCII text; the empty string is a wide string of length 0.
  Expect& str(const std::string& aText) {
    if (aText.empty()) return raw({0x12, 0, 0, 0, 0});
    return raw({0x06, static_cast<uint8_t>(aText.size())}).chars(aText);
  }
  Expect& boolean(bool aValue) { return raw({static_cast<uint8_t>(aValue ? 0x09 : 0x08)}); }
  // Item header of the current form: version 3, custom strings, ID,
  // constraint name.
  Expect& header(int32_t aID, const std::vector<std::string>& aLines = {}) {
    integer(3).raw({0x01});
    for (const std::string& line : aLines) str(line);
    return raw({0x00}).integer(aID).str("");
  }
  Expect& add(const Expect& aOther) {
    b.insert(b.end(), aOther.b.begin(), aOther.b.end());
    return *this;
  }
};

std::string hex(const Bytes& aBytes) {
  std::string text;
  char cell[4];
  for (uint8_t byte : aBytes) {
    std::snprintf(cell, sizeof cell, "%02X ", byte);
    text += cell;
  }
  return text;
}

Bytes dictionaryBytes(const TqdDataDictionary& aDictionary, int32_t aClientVersion = qdEngineClientVersion) {
  TqdMemoryStream stream(-1);
  aDictionary.WriteToStream(stream, aClientVersion);
  return test::streamBytes(stream);
}

void readDictionary(TqdDataDictionary& aDictionary, const Bytes& aBytes, qdStringView aBaseName = u"") {
  // An exact-size copy, so that the sanitizers see any read past its end.
  Bytes copy = aBytes;
  TqdStaticMemoryStream stream(copy.data(), static_cast<int32_t>(copy.size()));
  aDictionary.ReadFromStream(stream, aBaseName);
}

// A dictionary as a fresh one has it; the GUID differs from dictionary to
// dictionary and is not compared.
void expectDefaultDictionary(const TqdDataDictionary& aDictionary) {
  TqdDataDictionary fresh;
  EXPECT_TRUE(aDictionary.IsEqual(&fresh));
  EXPECT_EQ(aDictionary.Version(), 3);
  EXPECT_TRUE(aDictionary.HeaderSignature() == fresh.HeaderSignature());
  EXPECT_FALSE(aDictionary.MissingInformation());
  EXPECT_TRUE(aDictionary.BaseName().empty());
}

// A copy of aBytes with the first occurrence of aFrom replaced.
Bytes replaced(const Bytes& aBytes, const std::string& aFrom, const std::string& aTo) {
  std::string text(aBytes.begin(), aBytes.end());
  const size_t at = text.find(aFrom);
  EXPECT_NE(at, std::string::npos) << aFrom;
  if (at != std::string::npos) text.replace(at, aFrom.size(), aTo);
  return Bytes(text.begin(), text.end());
}

// --- Golden bytes -----------------------------------------------------------------------------------

// The bodies of a new dictionary, with the IDs its parts get in the order
// they are built: fields 1, custom descriptors 2, nested tables 3, files 4,
// stream 5, record 6, file 0 7, indices 8, the index 9 and its key 10.
Expect streamBody() { return Expect().header(5).integer(1).str("qd1xDefault"); }
Expect fileBody() {
  return Expect().header(7).integer(1).str("Data/DataDict File").integer(4096).integer(4).integer(1);
}
Expect filesBody() { return Expect().header(4).integer(1).integer(1).str("TqdFileDescriptor").str("").add(fileBody()); }
Expect recordBody() { return Expect().header(6).integer(2).str("qd1xDefault").integer(0); }
Expect fieldsBody() { return Expect().header(1).integer(2).integer(0).integer(0).integer(0).boolean(false); }
Expect keyBody() { return Expect().header(10).ident("BKD").integer(1).boolean(false).integer(1); }
Expect indexBody() {
  return Expect().header(9).integer(1).str("qd1xDefault").str("Sequential Access Index").boolean(false).add(keyBody());
}
Expect indicesBody() {
  return Expect()
      .header(8)
      .integer(1)
      .str("qd1xDefault")
      .integer(1)
      .str("TqdIndexDescriptor")
      .str("TqdRefKeyDescriptor")
      .str("Sequential Access Index")
      .integer(0)
      .add(indexBody())
      .integer(1)
      .integer(0);
}
Expect customsBody() { return Expect().header(2).integer(1).integer(0); }
Expect tablesBody() { return Expect().header(3).integer(1).integer(0); }

TEST(DictionaryStreamTest, NewDictionaryStreamsByteForByte) {
  TqdDataDictionary dictionary;
  const std::string guid = u8(qdGuidToString(dictionary.Guid()));
  Expect expected;
  expected.ident("QendoDB").integer(3).chars("QD!2").str("");
  expected.ident("StreamDescriptor").boolean(true).str("TqdBaseStreamDescriptor").add(streamBody());
  expected.ident("FilesDescriptor").boolean(true).str("TqdFilesDescriptor").add(filesBody());
  // The table part of the dictionary itself.
  expected.header(0, {"$GUID=" + guid, "$CachingState=tcsNone"}).integer(1);
  expected.ident("LocaleDescriptor").integer(1).boolean(false);
  expected.ident("RecordDescriptor").boolean(true).str("TqdBaseRecordDescriptor").add(recordBody());
  expected.ident("BlobDescriptor").boolean(false);
  expected.ident("FieldsDescriptor").boolean(true).str("TqdFieldsDescriptor").add(fieldsBody());
  expected.ident("IndicesDescriptor").boolean(true).str("TqdMainIndicesDescriptor").add(indicesBody());
  expected.ident("AutoIncDescriptor").boolean(false);
  expected.ident("CustomDescsDescriptor").boolean(true).str("TqdCustomDescsDescriptor").add(customsBody());
  expected.ident("TablesDescriptor").boolean(true).str("TqdTablesDescriptor").add(tablesBody());
  expected.ident("CurrentID").integer(10).ident("QendoDB");

  const Bytes bytes = dictionaryBytes(dictionary);
  EXPECT_EQ(hex(bytes), hex(expected.b));
  const Bytes start = {0x07, 0x07, 'Q', 'e', 'n', 'd', 'o', 'D', 'B', 0x02, 0x03, 'Q', 'D', '!', '2', 0x12, 0, 0, 0, 0};
  ASSERT_GE(bytes.size(), start.size());
  EXPECT_EQ(hex(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(start.size()))), hex(start));
}

TEST(DictionaryStreamTest, EachBodyOfANewDictionaryIsByteExact) {
  TqdDataDictionary dictionary;
  const struct {
    const char* name;
    const TqdDictionaryItem* item;
    Expect expected;
  } cases[] = {
      {"stream", dictionary.StreamDescriptor(), streamBody()},
      {"files", dictionary.FilesDescriptor(), filesBody()},
      {"file 0", dictionary.FilesDescriptor()->FileDescriptor(0), fileBody()},
      {"record", dictionary.RecordDescriptor(), recordBody()},
      {"fields", dictionary.FieldsDescriptor(), fieldsBody()},
      {"indices", dictionary.IndicesDescriptor(), indicesBody()},
      {"index", dictionary.IndicesDescriptor()->IndexDescriptor(0), indexBody()},
      {"key", dictionary.IndicesDescriptor()->IndexDescriptor(0)->KeyDescriptor(), keyBody()},
      {"custom descriptors", dictionary.CustomDescsDescriptor(), customsBody()},
      {"nested tables", dictionary.TablesDescriptor(), tablesBody()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hex(itemBytes(*c.item)), hex(c.expected.b));
  }
}

TEST(DictionaryStreamTest, NewDictionaryHasTheDefaultParts) {
  TqdDataDictionary dictionary;
  EXPECT_EQ(dictionary.Version(), 3);
  EXPECT_EQ(std::string(dictionary.HeaderSignature().bsChars, 4), "QD!2");
  ASSERT_EQ(dictionary.FilesDescriptor()->FileCount(), 1);
  const TqdFileDescriptor* file = dictionary.FilesDescriptor()->FileDescriptor(0);
  EXPECT_TRUE(file->Extension().empty());
  EXPECT_EQ(file->BlockSizeBytes(), 4096);
  EXPECT_NE(dictionary.StreamDescriptor(), nullptr);
  EXPECT_NE(dictionary.RecordDescriptor(), nullptr);
  ASSERT_EQ(dictionary.IndicesDescriptor()->IndexCount(), 1);
  const TqdIndexDescriptor* index = dictionary.IndicesDescriptor()->IndexDescriptor(0);
  EXPECT_EQ(u8(index->Name()), "Sequential Access Index");
  EXPECT_EQ(u8(index->Desc()), "Sequential Access Index");
  EXPECT_EQ(index->Dups(), idNone);
  EXPECT_EQ(&index->KeyDescriptor()->ClassType(), &TqdRefKeyDescriptor::ClassInfo);
  TqdDataDictionary other;
  EXPECT_FALSE(other.Guid() == dictionary.Guid()) << "every dictionary gets its own GUID";
}

// --- GUIDs --------------------------------------------------------------------------------------------

TEST(GuidTest, NewGuidsAreRandomVersionFourInRegistryForm) {
  const TGUID a = qdNewGuid();
  const TGUID b = qdNewGuid();
  EXPECT_FALSE(a == b);
  EXPECT_EQ(a.D3 >> 12, 4);
  EXPECT_EQ(a.D4[0] & 0xC0, 0x80);
  const qdString text = qdGuidToString(a);
  ASSERT_EQ(text.size(), 38u);
  for (char16_t c : text) EXPECT_TRUE(c < u'a' || c > u'f') << "upper case";
  TGUID back;
  ASSERT_TRUE(qdTryStringToGuid(text, back));
  EXPECT_TRUE(back == a);
}

TEST(GuidTest, TextFormsAreCheckedWhole) {
  TGUID guid;
  ASSERT_TRUE(qdTryStringToGuid(u"{01234567-89ab-CDEF-0123-456789ABCDEF}", guid));
  EXPECT_EQ(guid.D1, 0x01234567u);
  EXPECT_EQ(guid.D2, 0x89ABu);
  EXPECT_EQ(guid.D3, 0xCDEFu);
  EXPECT_EQ(guid.D4[0], 0x01);
  EXPECT_EQ(guid.D4[7], 0xEF);
  EXPECT_EQ(u8(qdGuidToString(guid)), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
  for (const char16_t* bad : {u"", u"01234567-89AB-CDEF-0123-456789ABCDEF", u"{01234567-89AB-CDEF-0123-456789ABCDEF",
                              u"{0123456789AB-CDEF-0123-456789ABCDEF}", u"{01234567-89AB-CDEF-0123-456789ABCDEG}",
                              u"{01234567-89AB-CDEF-0123-456789ABCDEF}x", u"{0123456 -89AB-CDEF-0123-456789ABCDEF}"}) {
    SCOPED_TRACE(u8(bad));
    EXPECT_FALSE(qdTryStringToGuid(bad, guid));
  }
}

// --- Round trips ------------------------------------------------------------------------------------

// A table with every field type a table may hold, several indexes, the
// optional parts and a nested table of its own.
void fillRichDictionary(TqdDataDictionary& aDictionary) {
  aDictionary.SetBaseName(u"Orders");
  aDictionary.SetEncryptionEngine(u"AES");
  aDictionary.FilesDescriptor()->AddFile(u"IX", qdbs8k, u"Indexes");
  aDictionary.FilesDescriptor()->AddFile(u"BL", qdbs16k, u"Blobs");
  aDictionary.AddLocaleDescriptor()->SetLocale(1041);
  TqdFieldsDescriptor* fields = aDictionary.FieldsDescriptor();
  for (int type = 0; type < qdFieldTypeCount; ++type) {
    const auto fieldType = static_cast<TqdFieldType>(type);
    if (fieldType == qdtInterval) continue;  // no table holds it
    const qdString name = qdString(u"F") + qdFieldTypeIdent(fieldType);
    const bool sized = fieldType == qdtByteArray || fieldType == qdtShortString || fieldType == qdtNullString ||
                       fieldType == qdtWideString || fieldType == qdtBCD || fieldType == qdtFmtBCD;
    fields->AddField(name, u"desc of " + name, fieldType, sized ? 12 : 0, sized ? 2 : 0, type % 3 == 0);
  }
  fields->FieldDescriptor(3)->AddLocaleDescriptor()->SetLocale(1033);
  aDictionary.AddBlobDescriptor()->SetFileNumber(2);
  aDictionary.AddAutoIncDescriptor()->SetAutoIncEngine(u"Counter");
  TqdMainIndicesDescriptor* indices = aDictionary.IndicesDescriptor();
  auto* byName = static_cast<TqdCompKeyDescriptor*>(
      indices->AddIndex(u"ByName", 1, idNone, u"names", &TqdCompKeyDescriptor::ClassInfo)->KeyDescriptor());
  byName->Add(u"FqdtNullString", &TqdTextKeyFieldDescriptor::ClassInfo);
  byName->Add(u"FqdtInt32")->SetAscend(false);
  indices->AddIndex(u"ByDate", 0, idAll, u"", &TqdCompKeyDescriptor::ClassInfo);
  static_cast<TqdCompKeyDescriptor*>(indices->IndexDescriptor(2)->KeyDescriptor())->Add(u"FqdtDate");
  indices->AddIndex(u"ByNull", 1, idNull, u"", &TqdCompKeyDescriptor::ClassInfo);
  static_cast<TqdCompKeyDescriptor*>(indices->IndexDescriptor(3)->KeyDescriptor())->Add(u"FqdtWord32");
  indices->SetDefaultIndex(1);
  auto* internalKey = static_cast<TqdInt64KeyDescriptor*>(
      aDictionary.EnsureInternalIndicesDescriptor()
          ->AddIndex(u"$Graveyard", 0, idNone, u"", &TqdInt64KeyDescriptor::ClassInfo)
          ->KeyDescriptor());
  ASSERT_NE(internalKey, nullptr);
  aDictionary.CustomDescsDescriptor()->AddCustom(u"Extra");
  aDictionary.SetCustomStringValue(u"Note", u"kept");

  TqdNestedTableDescriptor* lines = aDictionary.TablesDescriptor()->AddTable(u"Lines");
  lines->FieldsDescriptor()->AddField(u"Qty", u"", qdtInt32, 0, 0, true);
  lines->FieldsDescriptor()->AddField(u"Text", u"", qdtWideString, 40, 0, false);
  lines->AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo);
  static_cast<TqdCompKeyDescriptor*>(
      lines->EnsureIndicesDescriptor()->AddIndex(u"ByQty", 0, idAll, u"")->KeyDescriptor())
      ->Add(u"Qty");
  lines->SetCachingState(tcsCacheable);
  aDictionary.SetVersion(5);
}

TEST(DictionaryStreamTest, RichDictionaryRoundTripsEqual) {
  TqdDataDictionary source;
  fillRichDictionary(source);
  const Bytes bytes = dictionaryBytes(source);
  TqdDataDictionary copy;
  readDictionary(copy, bytes, u"Copy");
  EXPECT_TRUE(copy.IsEqual(&source));
  EXPECT_TRUE(source.IsEqual(&copy));
  EXPECT_TRUE(copy.Guid() == source.Guid());
  EXPECT_EQ(copy.Version(), 5);
  EXPECT_EQ(copy.CurrentID(), source.CurrentID());
  EXPECT_EQ(u8(copy.BaseName()), "Copy");
  EXPECT_EQ(u8(copy.EncryptionEngine()), "AES");
  EXPECT_TRUE(copy.UseByteOrderForWideString());
  EXPECT_FALSE(copy.MissingInformation());
  EXPECT_EQ(copy.TablesDescriptor()->TableDescriptor(0)->CachingState(), tcsCacheable);
  EXPECT_EQ(u8(copy.CustomStringValue(u"Note")), "kept");
  EXPECT_EQ(hex(dictionaryBytes(copy)), hex(bytes)) << "the copy writes the same bytes";

  // A part that differs is seen.
  copy.IndicesDescriptor()->IndexDescriptor(2)->SetDups(idNone);
  EXPECT_FALSE(copy.IsEqual(&source));
}

TEST(DictionaryStreamTest, CacheValuesTravelInTheCustomStrings) {
  TqdDataDictionary source;
  source.FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
  TqdDataDictionary copy;
  readDictionary(copy, dictionaryBytes(source));
  EXPECT_TRUE(copy.CacheGuid() == TGUID{});
  EXPECT_EQ(copy.CacheCurrentID(), 0);
  EXPECT_FALSE(copy.HasCustomStringValue(u"$CacheGUID"));
  EXPECT_FALSE(source.HasCustomStringValue(u"$GUID")) << "writing does not edit the dictionary";
  EXPECT_EQ(u8(copy.CustomStringValue(u"$GUID")), u8(qdGuidToString(source.Guid())));
}

// The bytes of aDictionary with its "$GUID" line followed by aLines.
Bytes withHeaderLines(const TqdDataDictionary& aDictionary, const std::vector<std::string>& aLines) {
  const Bytes bytes = dictionaryBytes(aDictionary);
  const std::string line = "$GUID=" + u8(qdGuidToString(aDictionary.Guid()));
  std::string text(bytes.begin(), bytes.end());
  const size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos);
  std::string extra;
  for (const std::string& added : aLines) extra += std::string{0x06, static_cast<char>(added.size())} + added;
  text.insert(at + line.size(), extra);
  return Bytes(text.begin(), text.end());
}

TEST(DictionaryStreamTest, StoredDictionaryValuesAreTakenFromTheHeaderLines) {
  const struct {
    const char* line;
    bool refused;
    int32_t cacheCurrentID;
    bool cacheGuid;
    bool missing;
  } cases[] = {
      {"$CacheCurrentID=77", false, 77, false, false},
      {"$CacheCurrentID=abc", false, 0, false, false},
      {"$CacheGUID={01234567-89AB-CDEF-0123-456789ABCDEF}", false, 0, true, false},
      {"$CacheGUID={01234567-89AB-CDEF-0123-456789ABCDEF", true, 0, false, false},
      {"$GUID=none", true, 0, false, false},
      {"$MissingInformation=yes", false, 0, false, true},
      {"$MissingInformation=", false, 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TqdDataDictionary source;
    Bytes bytes = withHeaderLines(source, {c.line});
    if (std::string(c.line).rfind("$GUID", 0) == 0) {
      const std::string real = "$GUID=" + u8(qdGuidToString(source.Guid()));
      bytes = replaced(bytes, std::string{0x06, static_cast<char>(real.size())} + real, "");
    }
    TqdDataDictionary copy;
    if (c.refused) {
      EXPECT_ENGINE_ERROR(readDictionary(copy, bytes), qdeIncompatibleStream, "");
      expectDefaultDictionary(copy);
      continue;
    }
    readDictionary(copy, bytes);
    EXPECT_EQ(copy.CacheCurrentID(), c.cacheCurrentID);
    EXPECT_EQ(!(copy.CacheGuid() == TGUID{}), c.cacheGuid);
    EXPECT_EQ(copy.MissingInformation(), c.missing);
    EXPECT_TRUE(copy.Guid() == source.Guid());
  }
}

// --- Older clients --------------------------------------------------------------------------------

TEST(DictionaryStreamTest, OlderClientsGetOlderVersions) {
  const struct {
    int32_t client;
    int32_t version;
    bool missing;
    const char* refNrType;
  } cases[] = {
      {47501, 5, false, "qdtRefNr"}, {47005, 5, false, "qdtRefNr"}, {47004, 4, true, "qdtInt64"},
      {30900, 4, true, "qdtInt64"},  {30899, 3, true, "qdtInt64"},  {20000, 3, true, "qdtInt64"},
      {19999, 2, false, "qdtInt64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    TqdDataDictionary source;
    source.FieldsDescriptor()->AddField(u"Name", u"", qdtNullString, 20, 0, false);
    source.FieldsDescriptor()->AddField(u"Ref", u"", qdtRefNr, 0, 0, false);
    source.CheckValid(true);
    ASSERT_EQ(source.Version(), 5);
    const Bytes bytes = dictionaryBytes(source, c.client);
    ASSERT_GE(bytes.size(), 11u);
    EXPECT_EQ(bytes[9], 0x02);
    EXPECT_EQ(bytes[10], c.version);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find(c.refNrType), std::string::npos);
    EXPECT_EQ(text.find("$MissingInformation=True") != std::string::npos, c.missing);
    EXPECT_EQ(qdDictionaryInfoLost, c.client < qdClientVersionRefNr);

    TqdDataDictionary copy;
    readDictionary(copy, bytes);
    EXPECT_EQ(copy.Version(), c.version);
    EXPECT_EQ(copy.MissingInformation(), c.missing);
    EXPECT_EQ(copy.UseByteOrderForWideString(), c.version >= 4) << "the Boolean is there from version 4";
    EXPECT_EQ(copy.FieldsDescriptor()->FieldDescriptor(1)->FieldType(),
              c.client < qdClientVersionRefNr ? qdtInt64 : qdtRefNr);
    if (c.missing) {
      EXPECT_ENGINE_ERROR(copy.CheckValid(true), qdeUnsupportedDescriptor,
                          "This DataDictionary is missing information which was stripped to make it compatible "
                          "with an older client version and can't be used to restructure or create a table.");
      EXPECT_NO_THROW(copy.CheckValid(false)) << "reading it is fine";
      // Written again for the engine, the flag stays.
      TqdDataDictionary again;
      readDictionary(again, dictionaryBytes(copy));
      EXPECT_TRUE(again.MissingInformation());
    }
  }
  qdDictionaryInfoLost = false;
}

TEST(DictionaryStreamTest, InternalIndexesAreLeftOutForClientsBelowRefNr) {
  TqdDataDictionary source;
  source.FieldsDescriptor()->AddField(u"A", u"", qdtInt64, 0, 0, true);
  source.EnsureInternalIndicesDescriptor()->AddIndex(u"$Internal", 0, idNone, u"", &TqdInt64KeyDescriptor::ClassInfo);
  TqdDataDictionary copy;
  readDictionary(copy, dictionaryBytes(source, 47004));
  EXPECT_EQ(copy.InternalIndicesDescriptor(), nullptr);
  EXPECT_TRUE(copy.MissingInformation());
  readDictionary(copy, dictionaryBytes(source, 47005));
  ASSERT_NE(copy.InternalIndicesDescriptor(), nullptr);
  EXPECT_FALSE(copy.MissingInformation());
  EXPECT_TRUE(copy.IsEqual(&source));
  qdDictionaryInfoLost = false;
}

// --- The legacy layout -----------------------------------------------------------------------------

void fillLegacyDictionary(TqdDataDictionary& aDictionary) {
  aDictionary.FilesDescriptor()->AddFile(u"IX", qdbs8k, u"Indexes");
  aDictionary.FilesDescriptor()->AddFile(u"BL", qdbs4k, u"Blobs");
  TqdFieldsDescriptor* fields = aDictionary.FieldsDescriptor();
  fields->AddField(u"Id", u"", qdtAutoInc, 0, 0, false);
  fields->AddField(u"Name", u"the name", qdtNullString, 30, 0, true);
  fields->AddField(u"Flag", u"", qdtBoolean, 0, 0, false);
  fields->AddField(u"Memo", u"", qdtBlobMemo, 0, 0, false);
  aDictionary.AddBlobDescriptor()->SetFileNumber(2);
  aDictionary.AddAutoIncDescriptor()->SetAutoIncEngine(u"Counter");
  auto* key = static_cast<TqdCompKeyDescriptor*>(
      aDictionary.IndicesDescriptor()->AddIndex(u"ByName", 1, idAll, u"")->KeyDescriptor());
  key->Add(u"Name", &TqdTextKeyFieldDescriptor::ClassInfo);
  aDictionary.IndicesDescriptor()->SetDefaultIndex(1);
  aDictionary.CustomDescsDescriptor()->AddCustom(u"Extra");
}

TEST(LegacyStreamTest, VersionTwoRoundTripsTheTable) {
  TqdDataDictionary source;
  fillLegacyDictionary(source);
  const Bytes bytes = dictionaryBytes(source, 19999);
  EXPECT_EQ(bytes[10], 2);
  TqdDataDictionary copy;
  readDictionary(copy, bytes);
  EXPECT_EQ(copy.Version(), 2);
  EXPECT_TRUE(copy.FieldsDescriptor()->IsEqual(source.FieldsDescriptor()));
  EXPECT_TRUE(copy.IndicesDescriptor()->IsEqual(source.IndicesDescriptor()));
  EXPECT_TRUE(copy.FilesDescriptor()->IsEqual(source.FilesDescriptor()));
  EXPECT_TRUE(copy.CustomDescsDescriptor()->IsEqual(source.CustomDescsDescriptor()));
  EXPECT_EQ(copy.BlobDescriptor()->FileNumber(), 2) << "file kind 2 names the BLOB file";
  EXPECT_EQ(u8(copy.AutoIncDescriptor()->AutoIncEngine()), "Counter");
  EXPECT_NE(copy.StreamDescriptor(), nullptr);
  EXPECT_EQ(copy.FieldsDescriptor()->LogicalRecordLength(), source.FieldsDescriptor()->LogicalRecordLength());
  EXPECT_NO_THROW(copy.CheckValid(false));
}

TEST(LegacyStreamTest, VersionOneKeepsTheBitmapRightAfterTheData) {
  TqdDataDictionary source;
  source.FieldsDescriptor()->Clear(false);
  source.SetVersion(1);
  source.FieldsDescriptor()->AddField(u"Flag", u"", qdtBoolean, 0, 0, false);
  const Bytes bytes = dictionaryBytes(source);
  EXPECT_EQ(bytes[10], 1) << "a version-1 dictionary stays in its layout";
  TqdDataDictionary copy;
  readDictionary(copy, bytes);
  EXPECT_EQ(copy.Version(), 1);
  EXPECT_EQ(copy.FieldsDescriptor()->LogicalRecordLength(), 1);
  EXPECT_TRUE(copy.BlobDescriptor() != nullptr) << "an absent BLOB descriptor comes back as a default one";
  copy.CheckValid(true);
  EXPECT_EQ(copy.Version(), 4);
  EXPECT_EQ(copy.FieldsDescriptor()->LogicalRecordLength(), 4);
}

TEST(LegacyStreamTest, WhatTheLayoutCannotHoldIsRefused) {
  const struct {
    const char* name;
    std::function<void(TqdDataDictionary&)> edit;
    TqdResult code;
    const char* text;
  } cases[] = {
      {"guid field", [](TqdDataDictionary& d) { d.FieldsDescriptor()->AddField(u"G", u"", qdtGuid, 0, 0, false); },
       qdeIncompatibleStream, "Higher dictionary version required"},
      {"bcd field", [](TqdDataDictionary& d) { d.FieldsDescriptor()->AddField(u"B", u"", qdtBCD, 10, 2, false); },
       qdeIncompatibleStream, "Higher dictionary version required"},
      {"fmtbcd field", [](TqdDataDictionary& d) { d.FieldsDescriptor()->AddField(u"B", u"", qdtFmtBCD, 10, 2, false); },
       qdeIncompatibleStream, "Higher dictionary version required"},
      {"table locale", [](TqdDataDictionary& d) { d.AddLocaleDescriptor(); }, qdeIncompatibleStream,
       "Higher dictionary version required"},
      {"nested table", [](TqdDataDictionary& d) { d.TablesDescriptor()->AddTable(u"Lines"); }, qdeIncompatibleServer,
       ""},
      {"field locale",
       [](TqdDataDictionary& d) {
         d.FieldsDescriptor()->AddField(u"T", u"", qdtNullString, 5, 0, false)->AddLocaleDescriptor();
       },
       qdeIncompatibleServer, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TqdDataDictionary dictionary;
    c.edit(dictionary);
    EXPECT_ENGINE_ERROR(dictionaryBytes(dictionary, 19999), c.code, c.text);
    EXPECT_NO_THROW(dictionaryBytes(dictionary, 20000));
  }
}

// --- Refused and damaged streams ------------------------------------------------------------------

TEST(DictionaryStreamTest, RefusedStreamsLeaveADefaultDictionary) {
  TqdDataDictionary source;
  fillLegacyDictionary(source);
  const Bytes modern = dictionaryBytes(source);
  const Bytes legacy = dictionaryBytes(source, 19999);
  const Bytes noClose(modern.begin(), modern.end() - 9);
  Bytes version0 = modern;
  version0[10] = 0;
  Bytes version6 = modern;
  version6[10] = 6;
  const struct {
    const char* name;
    Bytes bytes;
    TqdResult code;
    const char* text;
  } cases[] = {
      {"first ident", replaced(modern, "QendoDB", "QendoDX"), qdeIncompatibleStream, ""},
      {"version 0", version0, qdeIncompatibleStream, ""},
      {"version 6", version6, qdeIncompatibleStream, ""},
      {"no closing ident", noClose, qdeIncompatibleStream, ""},
      {"part ident", replaced(modern, "RecordDescriptor", "RecordDescriptoR"), qdeIncompatibleStream, ""},
      {"current id ident", replaced(modern, "CurrentID", "CurrentXX"), qdeIncompatibleStream, ""},
      {"stream class", replaced(modern, "TqdBaseStreamDescriptor", "TqdBaseStreamDescriptoX"), qdeUnsupportedDescriptor,
       "StreamDescriptor class is not supported: TqdBaseStreamDescriptoX"},
      {"files class", replaced(modern, "TqdFilesDescriptor", "TqdFilesDescriptoX"), qdeUnsupportedDescriptor,
       "FilesDescriptor class is not supported: TqdFilesDescriptoX"},
      {"file class", replaced(modern, "TqdFileDescriptor", "TqdFileDescriptoX"), qdeUnsupportedDescriptor,
       "FileDescriptor class is not supported: TqdFileDescriptoX"},
      {"legacy file class", replaced(legacy, "TqdFileDescriptor", "TqdFileDescriptoX"), qdeUnsupportedDescriptor,
       "FileDescriptor class is not supported: TqdFileDescriptoX"},
      {"legacy key class", replaced(legacy, "TqdRefKeyDescriptor", "TqdRefKeyDescriptoX"), qdeUnsupportedDescriptor,
       "KeyDescriptor class is not supported: TqdRefKeyDescriptoX"},
      {"legacy index class", replaced(legacy, "TqdIndexDescriptor", "TqdIndexDescriptoX"), qdeUnsupportedDescriptor,
       "IndexDescriptor class is not supported: TqdIndexDescriptoX"},
      {"legacy custom class", replaced(legacy, "TqdBaseCustomDescriptor", "TqdBaseCustomDescriptoX"),
       qdeUnsupportedDescriptor, "CustomDescriptor class is not supported: TqdBaseCustomDescriptoX"},
      {"legacy field class", replaced(legacy, "TqdFieldDescriptor", "TqdFieldDescriptoX"), qdeUnsupportedDescriptor,
       "FieldDescriptor class is not supported: TqdFieldDescriptoX"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TqdDataDictionary target;
    target.FieldsDescriptor()->AddField(u"Old", u"", qdtInt32, 0, 0, false);
    EXPECT_ENGINE_ERROR(readDictionary(target, c.bytes, u"Base"), c.code, c.text);
    expectDefaultDictionary(target);
  }
}

TEST(DictionaryStreamTest, LegacyFileKindsAreChecked) {
  TqdDataDictionary source;
  fillLegacyDictionary(source);
  const Bytes legacy = dictionaryBytes(source, 19999);
  // The kinds follow each file's extension in the stream.
  const std::string ixKind = std::string("\x06\x02IX\x02\x01", 6);
  const std::string blKind = std::string(
      "\x06\x02"
      "BL\x02\x02",
      6);
  const struct {
    const char* name;
    Bytes bytes;
    TqdResult code;
  } cases[] = {
      {"kind 0 after the first file", replaced(legacy, ixKind, std::string("\x06\x02IX\x02\x00", 6)),
       qdeIncompatibleStream},
      {"unknown kind", replaced(legacy, ixKind, std::string("\x06\x02IX\x02\x05", 6)), qdeIncompatibleStream},
      {"second BLOB file", replaced(legacy, ixKind, std::string("\x06\x02IX\x02\x02", 6)), qdeInvalidDesc},
  };
  ASSERT_NE(std::string(legacy.begin(), legacy.end()).find(blKind), std::string::npos);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TqdDataDictionary target;
    EXPECT_ENGINE_ERROR(readDictionary(target, c.bytes), c.code, "");
    expectDefaultDictionary(target);
  }
}

// Every cut and a set of byte changes of the current and the legacy form
// must raise an engine error or read; never anything else (the asan
// preset runs these too).
class DamagedStreamTest : public ::testing::TestWithParam<int32_t> {
 protected:
  static Bytes FormBytes(int32_t aClientVersion) {
    TqdDataDictionary source;
    if (aClientVersion < qdClientVersionItemIDs) {
      fillLegacyDictionary(source);
    } else {
      fillRichDictionary(source);
    }
    return dictionaryBytes(source, aClientVersion);
  }
};

TEST_P(DamagedStreamTest, EveryCutRaisesAndLeavesADefaultDictionary) {
  const Bytes bytes = FormBytes(GetParam());
  const TqdDataDictionary fresh;
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    TqdDataDictionary target;
    const Bytes part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    const test::TqdCaughtError caught = test::catchError([&] { readDictionary(target, part); });
    ASSERT_TRUE(caught.Raised) << "cut at " << cut;
    ASSERT_TRUE(target.IsEqual(&fresh)) << "cut at " << cut;
    ASSERT_EQ(target.Version(), 3);
  }
}

TEST_P(DamagedStreamTest, ChangedBytesRaiseEngineErrorsOrRead) {
  const Bytes bytes = FormBytes(GetParam());
  const TqdDataDictionary fresh;
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (uint8_t change : {uint8_t(0xFF), uint8_t(0x01), uint8_t(0x80)}) {
      Bytes damaged = bytes;
      damaged[at] ^= change;
      TqdDataDictionary target;
      try {
        readDictionary(target, damaged);
      } catch (const EqdBaseException&) {
        ASSERT_TRUE(target.IsEqual(&fresh)) << "byte " << at;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, DamagedStreamTest, ::testing::Values(qdEngineClientVersion, 19999));

// --- Validation for a build -----------------------------------------------------------------------

TEST(DictionaryValidationTest, BuildVersionFollowsCachingAndRefNrFields) {
  const struct {
    const char* name;
    int32_t version;
    bool refNr;
    TqdTableCachingState state;
    bool nested;
    int32_t expected;
  } cases[] = {
      {"plain 3", 3, false, tcsNone, false, 4},        {"plain 5", 5, false, tcsNone, false, 4},
      {"refnr 3", 3, true, tcsNone, false, 5},         {"refnr in nested table", 3, true, tcsNone, true, 5},
      {"cacheable", 3, false, tcsCacheable, false, 5}, {"nested cache", 4, false, tcsIsCache, true, 5},
      {"version 1", 1, false, tcsNone, false, 4},      {"version 2", 2, false, tcsNone, false, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TqdDataDictionary dictionary;
    dictionary.SetVersion(c.version);
    dictionary.FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
    TqdBaseTableDescriptor* table = &dictionary;
    if (c.nested) {
      table = dictionary.TablesDescriptor()->AddTable(u"Sub");
      table->FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
      table->AddRecordDescriptor();
    }
    if (c.refNr) table->FieldsDescriptor()->AddField(u"R", u"", qdtRefNr, 0, 0, false);
    table->SetCachingState(c.state);
    dictionary.SetHeaderSignature(TqdBlockSignature{{'Q', 'D', '!', '1'}});
    dictionary.CheckValid(true);
    EXPECT_EQ(dictionary.Version(), c.expected);
    EXPECT_TRUE(dictionary.UseByteOrderForWideString());
    EXPECT_EQ(std::string(dictionary.HeaderSignature().bsChars, 4), "QD!2");
  }
}

TEST(DictionaryValidationTest, ReadOnlyDictionaryRefusesAVersionChange) {
  TqdDataDictionary dictionary;
  dictionary.FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
  dictionary.MakeReadOnly();
  EXPECT_ENGINE_ERROR(dictionary.CheckValid(true), qdeDictReadOnly, "The data dictionary is read only");
  EXPECT_NO_THROW(dictionary.CheckValid(false));
  TqdMemoryStream stream(-1);
  dictionary.WriteToStream(stream, qdEngineClientVersion);
  stream.SetPosition(0);
  EXPECT_ENGINE_ERROR(dictionary.ReadFromStream(stream, u""), qdeDictReadOnly, "The data dictionary is read only");
  EXPECT_EQ(dictionary.FieldsDescriptor()->FieldCount(), 1);
}

// --- Copies ---------------------------------------------------------------------------------------------

TEST(DictionaryCopyTest, DuplicateAndAssignCopyEverything) {
  TqdDataDictionary source;
  fillRichDictionary(source);
  std::unique_ptr<TqdDataDictionary> copy(source.Duplicate());
  EXPECT_TRUE(copy->IsEqual(&source));
  EXPECT_EQ(u8(copy->BaseName()), "Orders");
  EXPECT_TRUE(copy->Guid() == source.Guid());

  TqdDataDictionary target;
  target.Assign(&source);
  EXPECT_TRUE(target.IsEqual(&source));
  target.Assign(&target);
  EXPECT_TRUE(target.IsEqual(&source)) << "assigning itself keeps it";

  source.MakeReadOnly();
  EXPECT_NO_THROW(std::unique_ptr<TqdDataDictionary>(source.Duplicate())) << "a shared dictionary can be copied";
  EXPECT_ENGINE_ERROR(source.Assign(&target), qdeDictReadOnly, "The data dictionary is read only");
}

// --- Paths and constraints -----------------------------------------------------------------------

TEST(TablePathTest, ChildTablesByPath) {
  TqdDataDictionary dictionary;
  TqdNestedTableDescriptor* lines = dictionary.TablesDescriptor()->AddTable(u"Lines");
  TqdNestedTableDescriptor* notes = lines->TablesDescriptor()->AddTable(u"Notes");
  const struct {
    const char16_t* path;
    TqdBaseTableDescriptor* from;
    TqdBaseTableDescriptor* expected;
  } cases[] = {
      {u"", &dictionary, &dictionary},      {u".", &dictionary, &dictionary}, {u"Lines", &dictionary, lines},
      {u"lines:Notes", &dictionary, notes}, {u"..", lines, &dictionary},      {u"..:..:Lines:.:Notes", notes, notes},
      {u"Notes:..:..", lines, &dictionary},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(u8(c.path));
    EXPECT_EQ(c.from->GetChild(c.path), c.expected);
  }
  EXPECT_ENGINE_ERROR(dictionary.GetChild(u".."), qdeNoSuchTable, "Table does not exist.");
  EXPECT_ENGINE_ERROR(dictionary.GetChild(u"Lines:Missing"), qdeNoSuchTable, "");
}

TEST(TablePathTest, ConstraintsAreListedByName) {
  TqdDataDictionary dictionary;
  TqdFieldDescriptor* b = dictionary.FieldsDescriptor()->AddField(u"B", u"", qdtInt32, 0, 0, false);
  TqdFieldDescriptor* a = dictionary.FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
  b->SetConstraintName(u"ZCheck");
  a->SetConstraintName(u"ACheck");
  TqdStringList list;
  list.Add(u"stale");
  dictionary.GetConstraints(list);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(u8(list.Strings(0)), "ACheck");
  EXPECT_EQ(list.Objects(0), a);
  EXPECT_EQ(u8(list.Strings(1)), "ZCheck");
  EXPECT_EQ(list.Objects(1), b);
}

}  // namespace
}  // namespace qd
