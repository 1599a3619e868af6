// Storage, auto-increment, custom and nested-table descriptors, files and
// the table parts that hold them.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Items.h"
#include "dictionary/qdsdDataDictionary_Keys.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "platform/qdStringList.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::itemBytes;
using test::loadItem;
using test::u8;
using test::written;

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char16_t* extension : {u"A", u"B", u"C"}) Files()->AddFile(extension, qdbs4k, u"");
  }

  TqdFilesDescriptor* Files() { return dictionary.FilesDescriptor(); }

  TqdDataDictionary dictionary;
};

// --- Files that move under a descriptor ---------------------------------------------------------

struct FileUserCase {
  const char* name;
  std::function<TqdFileEngineDescriptor*(TqdDataDictionary&)> make;
  const char* user;
};

TEST_F(StorageTest, FileNumbersFollowTheFileListAndTheOwnFileCannotBeRemoved) {
  const FileUserCase cases[] = {
      {"record", [](TqdDataDictionary& d) { return d.AddRecordDescriptor(); }, "a record engine"},
      {"blob", [](TqdDataDictionary& d) { return d.AddBlobDescriptor(); }, "a blob engine"},
      {"autoinc", [](TqdDataDictionary& d) { return d.AddAutoIncDescriptor(); }, "an autoinc engine"},
  };
  for (const FileUserCase& c : cases) {
    SCOPED_TRACE(c.name);
    TqdDataDictionary local;
    for (const char16_t* extension : {u"A", u"B", u"C"}) local.FilesDescriptor()->AddFile(extension, qdbs4k, u"");
    TqdFilesDescriptor* files = local.FilesDescriptor();
    TqdFileEngineDescriptor* user = c.make(local);
    user->SetFileNumber(2);
    files->InsertFileAt(2, u"New", qdbs4k, u"");  // at the user's own file
    EXPECT_EQ(user->FileNumber(), 3);
    files->RemoveFile(1);
    EXPECT_EQ(user->FileNumber(), 2);
    files->MoveFile(2, 3);  // its own file
    EXPECT_EQ(user->FileNumber(), 3);
    files->MoveFile(1, 3);
    EXPECT_EQ(user->FileNumber(), 2);
    files->InsertFileAt(4, u"Last", qdbs4k, u"");
    EXPECT_EQ(user->FileNumber(), 2) << "files behind it do not move it";
    const int32_t count = files->FileCount();
    EXPECT_ENGINE_ERROR(files->RemoveFile(2), qdeObjectInUse,
                        std::string("Cannot remove file 2 because it is still referenced by ") + c.user);
    EXPECT_EQ(files->FileCount(), count);
  }
}

TEST_F(StorageTest, FileNumberSetterChecksTheFileList) {
  TqdBaseRecordDescriptor* record = dictionary.RecordDescriptor();
  record->SetFileNumber(3);
  EXPECT_EQ(record->FileNumber(), 3);
  EXPECT_ENGINE_ERROR(record->SetFileNumber(4), qdeInvalidDescNum, "Invalid file number: 4");
  EXPECT_ENGINE_ERROR(record->SetFileNumber(-1), qdeInvalidDescNum, "Invalid file number: -1");
  TqdBaseRecordDescriptor loose(nullptr, "Record");
  loose.SetFileNumber(17);
  EXPECT_EQ(loose.FileNumber(), 17) << "without a file list any number is taken";
}

// --- Heaps --------------------------------------------------------------------------------

TEST_F(StorageTest, ValidationCompletesTheHeapTree) {
  auto* record =
      static_cast<TqdHeapRecordDescriptor*>(dictionary.AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo));
  auto* blob = static_cast<TqdHeapBlobDescriptor*>(dictionary.AddBlobDescriptor());
  ASSERT_EQ(record->HeapDescriptor(), nullptr);
  ASSERT_EQ(blob->HeapDescriptor(), nullptr);
  record->CheckValid(false);
  blob->CheckValid(false);
  ASSERT_NE(record->HeapDescriptor(), nullptr);
  EXPECT_NE(record->HeapDescriptor()->BlockHeapDescriptor(), nullptr);
  ASSERT_NE(blob->HeapDescriptor(), nullptr);
  EXPECT_NE(blob->HeapDescriptor()->BlockHeapDescriptor(), nullptr);
  EXPECT_EQ(record->RecordCompressionDescriptor(), nullptr) << "compression stays optional";
}

TEST_F(StorageTest, HeapRecordForAnOldClientLosesCompressionAndGainsADefaultHeapWhenRead) {
  auto* record =
      static_cast<TqdHeapRecordDescriptor*>(dictionary.AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo));
  record->SetRecordEngine(u"Variable");
  record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Compressor");
  TqdHeapRecordDescriptor copy(nullptr, "Record");
  loadItem(copy, itemBytes(*record, 19999));
  EXPECT_EQ(copy.RecordCompressionDescriptor(), nullptr);
  ASSERT_NE(copy.HeapDescriptor(), nullptr);
  EXPECT_EQ(u8(copy.RecordEngine()), "Variable");

  TqdHeapRecordDescriptor current(nullptr, "Record");
  loadItem(current, itemBytes(*record));
  EXPECT_TRUE(current.IsEqual(record));
  EXPECT_EQ(current.HeapDescriptor(), nullptr) << "a newer stream says what it has";
}

TEST_F(StorageTest, HeapRecordPartVersionFourIsRefusedAsAHeapError) {
  TqdHeapRecordDescriptor record(nullptr, "Record");
  Bytes bytes = itemBytes(record);
  // ... the heap record part: 2 3, False (no heap), False (no compression).
  ASSERT_EQ(bytes[bytes.size() - 3], 3);
  bytes[bytes.size() - 3] = 4;
  TqdHeapRecordDescriptor copy(nullptr, "Record");
  EXPECT_THROW(loadItem(copy, bytes), EqdBaseHeapDescriptorException);
}

TEST_F(StorageTest, RecordWrittenForAnOldClientKeepsTheReadersFileNumber) {
  TqdBaseRecordDescriptor* record = dictionary.RecordDescriptor();
  record->SetFileNumber(2);
  TqdBaseRecordDescriptor copy(nullptr, "Record");
  copy.SetFileNumber(1);
  loadItem(copy, itemBytes(*record, 19999));
  EXPECT_EQ(copy.FileNumber(), 1);
  loadItem(copy, itemBytes(*record));
  EXPECT_EQ(copy.FileNumber(), 2);
}

TEST_F(StorageTest, CompressTypeLivesInTheCustomStrings) {
  TqdBaseRecordCompressionDescriptor compression(nullptr);
  EXPECT_EQ(compression.CompressType(), 0);
  compression.SetCompressType(11);
  EXPECT_EQ(u8(compression.CustomStringValue(u"CompressType")), "11");
  TqdBaseRecordCompressionDescriptor copy(nullptr);
  loadItem(copy, itemBytes(compression));
  EXPECT_EQ(copy.CompressType(), 11);
  EXPECT_TRUE(copy.IsEqual(&compression));
  copy.SetCompressType(0);
  EXPECT_FALSE(copy.HasCustomStringValue(u"CompressType"));
  EXPECT_FALSE(copy.IsEqual(&compression));
  loadItem(copy, itemBytes(copy));
  EXPECT_EQ(copy.CompressType(), 0);
  copy.SetCustomStringValue(u"CompressType", u"x1");
  EXPECT_EQ(copy.CompressType(), 0);
}

TEST_F(StorageTest, EngineNamesCompareIgnoringCase) {
  TqdBaseRecordDescriptor a(nullptr, "Record"), b(nullptr, "Record");
  a.SetRecordEngine(u"Variable");
  b.SetRecordEngine(u"VARIABLE");
  EXPECT_TRUE(a.IsEqual(&b));
  b.SetRecordEngine(u"Static");
  EXPECT_FALSE(a.IsEqual(&b));
  EXPECT_FALSE(a.IsEqual(dictionary.StreamDescriptor()));
}

// The record, BLOB and auto-increment bodies share one layout after the item
// header: the part version, the engine name and, from the version that
// carries it, the file number. Auto-increment parts carry it from version 1
// on; record and BLOB parts from version 2, which older clients do not read.
struct FileEngineBytesCase {
  const char* name;
  std::function<TqdFileEngineDescriptor*()> make;
  int32_t clientVersion;
  Bytes expected;
};

// A stream integer below 128 and a short ASCII string, as the writer puts them.
Bytes int8(int8_t aValue) { return {2, static_cast<uint8_t>(aValue)}; }
Bytes ascii(std::string_view aText) {
  Bytes bytes{6, static_cast<uint8_t>(aText.size())};
  bytes.insert(bytes.end(), aText.begin(), aText.end());
  return bytes;
}
Bytes joined(std::initializer_list<Bytes> aParts) {
  Bytes bytes;
  for (const Bytes& part : aParts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

TEST(FileEngineStreamTest, RecordBlobAndAutoIncBodiesAreWrittenByteForByte) {
  // Item header: version, empty custom strings (list, end), and for current
  // clients the ID and the constraint name (an empty string goes out as an
  // empty wide string: 18 and a zero length).
  const Bytes currentHeader = joined({int8(3), {1, 0}, int8(0), {18, 0, 0, 0, 0}});
  const Bytes oldHeader = joined({int8(1), {1, 0}});
  auto record = [] {
    auto* item = new TqdBaseRecordDescriptor(nullptr, "Record");
    item->SetRecordEngine(u"Variable");
    item->SetFileNumber(2);
    return item;
  };
  auto blob = [] {
    auto* item = new TqdBaseBlobDescriptor(nullptr, "Blob");
    item->SetBlobEngine(u"Blobs");
    item->SetFileNumber(1);
    return item;
  };
  auto autoInc = [] {
    auto* item = new TqdBaseAutoIncDescriptor(nullptr, "AutoInc");
    item->SetAutoIncEngine(u"Simple");
    item->SetFileNumber(3);
    return item;
  };
  const FileEngineBytesCase cases[] = {
      {"record", record, qdEngineClientVersion, joined({currentHeader, int8(2), ascii("Variable"), int8(2)})},
      {"record, old client", record, 19999, joined({oldHeader, int8(1), ascii("Variable")})},
      {"blob", blob, qdEngineClientVersion, joined({currentHeader, int8(2), ascii("Blobs"), int8(1)})},
      {"blob, old client", blob, 19999, joined({oldHeader, int8(1), ascii("Blobs")})},
      {"autoinc", autoInc, qdEngineClientVersion, joined({currentHeader, int8(1), ascii("Simple"), int8(3)})},
      {"autoinc, old client", autoInc, 19999, joined({oldHeader, int8(1), ascii("Simple"), int8(3)})},
  };
  for (const FileEngineBytesCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TqdFileEngineDescriptor> item(c.make());
    EXPECT_EQ(itemBytes(*item, c.clientVersion), c.expected);
    if (c.clientVersion != qdEngineClientVersion) continue;
    std::unique_ptr<TqdFileEngineDescriptor> copy(c.make());
    copy->SetFileNumber(0);
    loadItem(*copy, c.expected);
    EXPECT_EQ(copy->FileNumber(), item->FileNumber());
    EXPECT_TRUE(copy->IsEqual(item.get()));
  }
}

// --- Auto-increment ---------------------------------------------------------------------------

Bytes advAutoIncPart(int32_t aVersion, int64_t aFirst, int64_t aSecond) {
  return written([&](TqdWriter& aWriter) {
    aWriter.WriteInteger(3);
    aWriter.WriteListBegin();
    aWriter.WriteListEnd();
    aWriter.WriteInteger(0);
    aWriter.WriteString(u"");
    aWriter.WriteInteger(1);
    aWriter.WriteString(u"qd1xDefault");
    aWriter.WriteInteger(0);
    aWriter.WriteInteger(aVersion);
    aWriter.WriteInteger(aFirst);
    aWriter.WriteInteger(aSecond);
  });
}

TEST(AdvAutoIncTest, VersionOneHoldsTheValueBeforeTheFirstOne) {
  TqdAdvAutoIncDescriptor autoInc(nullptr, "AutoInc");
  loadItem(autoInc, advAutoIncPart(1, 10, 5));
  EXPECT_EQ(autoInc.InitialValue(), 15u);
  EXPECT_EQ(autoInc.Step(), 5u);
  loadItem(autoInc, advAutoIncPart(2, 10, 5));
  EXPECT_EQ(autoInc.InitialValue(), 10u);
  EXPECT_EQ(autoInc.Step(), 5u);
}

// A step or start of 0 hands out the same value again and again.
TEST(AdvAutoIncTest, ValuesOutsideOneToTheLargestCardinalAreRefused) {
  TqdAdvAutoIncDescriptor autoInc(nullptr, "AutoInc");
  for (int64_t bad : {int64_t(0), int64_t(-1), int64_t(4294967296)}) {
    SCOPED_TRACE(bad);
    EXPECT_ENGINE_ERROR(autoInc.SetStep(bad), qdeOutOfRange, "");
    EXPECT_ENGINE_ERROR(autoInc.SetInitialValue(bad), qdeOutOfRange, "");
  }
  EXPECT_EQ(autoInc.Step(), 1u);
  EXPECT_EQ(autoInc.InitialValue(), 1u);
  EXPECT_ENGINE_ERROR(autoInc.SetStep(0), qdeOutOfRange, "Step must be between 1 and 4294967295 (found 0)");

  struct Case {
    int32_t version;
    int64_t first, second;
  };
  for (const Case& c : {Case{2, 1, 0}, Case{2, 0, 1}, Case{1, 4294967295, 1}, Case{1, -5, 5}, Case{2, 7, -3}}) {
    SCOPED_TRACE(std::to_string(c.version) + ": " + std::to_string(c.first) + ", " + std::to_string(c.second));
    TqdAdvAutoIncDescriptor copy(nullptr, "AutoInc");
    EXPECT_ENGINE_ERROR(loadItem(copy, advAutoIncPart(c.version, c.first, c.second)), qdeOutOfRange, "");
    EXPECT_EQ(copy.Step(), 1u);
  }

  autoInc.SetInitialValue(4294967295);
  autoInc.SetStep(3000000000);
  TqdAdvAutoIncDescriptor copy(nullptr, "AutoInc");
  loadItem(copy, itemBytes(autoInc));
  EXPECT_EQ(copy.InitialValue(), 4294967295u);
  EXPECT_EQ(copy.Step(), 3000000000u);
  EXPECT_TRUE(copy.IsEqual(&autoInc));
}

// --- Custom descriptors --------------------------------------------------------------------------

TEST_F(StorageTest, CustomDescriptorNamesAreIdentifiersUniqueIgnoringCase) {
  TqdCustomDescsDescriptor* customs = dictionary.CustomDescsDescriptor();
  customs->AddCustom(u"Fulltext");
  EXPECT_ENGINE_ERROR(customs->AddCustom(u"FULLTEXT"), qdeNameNotUnique, "Duplicated custom descriptor name: FULLTEXT");
  EXPECT_ENGINE_ERROR(customs->AddCustom(u""), qdeInvalidName, "");
  EXPECT_ENGINE_ERROR(customs->AddCustom(u"a/b"), qdeInvalidName, "");
  customs->AddCustom(u"$Audit");
  EXPECT_EQ(customs->GetCustomDescriptorFromName(u"fullTEXT"), 0);
  customs->RemoveCustom(-1);
  customs->RemoveCustom(u"unknown");
  EXPECT_EQ(customs->CustomCount(), 2);
  customs->RemoveCustom(u"FULLTEXT");
  EXPECT_EQ(customs->CustomCount(), 1);
  EXPECT_THROW(TqdBaseCustomDescriptor(nullptr, u"bad name?"), EqdBaseCustomDescriptorException);
}

TEST_F(StorageTest, CustomDescriptorsDifferingOnlyInCaseAreUnequal) {
  TqdBaseCustomDescriptor a(nullptr, u"Fulltext"), b(nullptr, u"FULLTEXT");
  EXPECT_FALSE(a.IsEqual(&b));
  TqdCustomDescsDescriptor list(nullptr);
  list.AddCustom(u"One");
  list.AddCustom(u"Two");
  TqdCustomDescsDescriptor copy(nullptr);
  loadItem(copy, itemBytes(list));
  EXPECT_TRUE(copy.IsEqual(&list));
  EXPECT_ENGINE_ERROR(itemBytes(list, 19999), qdeIncompatibleServer, "");
}

TEST_F(StorageTest, StreamedCustomListWithARepeatedNameFailsValidation) {
  const Bytes bytes = written([](TqdWriter& aWriter) {
    aWriter.WriteInteger(3);
    aWriter.WriteListBegin();
    aWriter.WriteListEnd();
    aWriter.WriteInteger(0);
    aWriter.WriteString(u"");
    aWriter.WriteInteger(1);
    aWriter.WriteInteger(2);
    for (const char16_t* name : {u"Same", u"SAME"}) {
      aWriter.WriteString(u"TqdBaseCustomDescriptor");
      aWriter.WriteString(name);
      aWriter.WriteInteger(3);
      aWriter.WriteListBegin();
      aWriter.WriteListEnd();
      aWriter.WriteInteger(0);
      aWriter.WriteString(u"");
    }
  });
  TqdCustomDescsDescriptor list(nullptr);
  loadItem(list, bytes);
  EXPECT_EQ(list.CustomCount(), 2);
  EXPECT_ENGINE_ERROR(list.CheckValid(false), qdeNameNotUnique, "Duplicated custom descriptor name: SAME");
}

// --- Nested tables ----------------------------------------------------------------------------

TEST_F(StorageTest, NestedTableNamesAndRenames) {
  TqdTablesDescriptor* tables = dictionary.TablesDescriptor();
  TqdNestedTableDescriptor* lines = tables->AddTable(u"Lines");
  EXPECT_ENGINE_ERROR(tables->AddTable(u"LINES"), qdeNameNotUnique, "Duplicated table name: LINES");
  EXPECT_ENGINE_ERROR(tables->AddTable(u"a:b"), qdeInvalidTableName, "");
  EXPECT_ENGINE_ERROR(tables->RenameTable(u"Lines", u"lines"), qdeNameNotUnique, "Duplicated table name: lines");
  tables->RenameTable(u"Lines", u"Lines");
  tables->RenameTable(u"Lines", u"Items");
  EXPECT_EQ(u8(lines->Name()), "Items");
  EXPECT_ENGINE_ERROR(tables->RenameTable(u"Nope", u"Other"), qdeNoSuchTable, "Table does not exist.");
  EXPECT_ENGINE_ERROR(tables->GetTableDescriptorFromName(u"Nope"), qdeNoSuchTable, "Table does not exist.");
  tables->RemoveTable(u"Nope");
  EXPECT_EQ(tables->TableCount(), 1);

  dictionary.TablesDescriptor()->AddTable(u"Notes");
  TqdStringList names;
  tables->GetTables(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(u8(names.Strings(0)), "Items");
  EXPECT_EQ(names.Objects(0), lines);
  tables->RemoveTable(1);

  dictionary.SetBaseName(u"Orders");
  TqdNestedTableDescriptor* notes = lines->TablesDescriptor()->AddTable(u"Notes");
  EXPECT_EQ(u8(notes->btdFullName()), "Orders:Items:Notes");
}

TEST_F(StorageTest, NestedTablesRoundTripWithTheirParts) {
  TqdNestedTableDescriptor* lines = dictionary.TablesDescriptor()->AddTable(u"Lines");
  lines->FieldsDescriptor()->AddField(u"Qty", u"", qdtInt32, 0, 0, true);
  lines->FieldsDescriptor()->AddField(u"Ref", u"", qdtRefNr, 0, 0, false);
  lines->AddRecordDescriptor(&TqdHeapRecordDescriptor::ClassInfo);
  auto* key = static_cast<TqdCompKeyDescriptor*>(
      lines->EnsureIndicesDescriptor()->AddIndex(u"ByQty", 0, idNone, u"")->KeyDescriptor());
  key->Add(0);
  lines->EnsureInternalIndicesDescriptor()->AddIndex(u"$GraveyardLSN", 0, idNone, u"",
                                                     &TqdInt64KeyDescriptor::ClassInfo);
  lines->AddLocaleDescriptor()->SetLocale(1033);
  lines->CustomDescsDescriptor()->AddCustom(u"Audit");
  lines->SetCachingState(tcsCacheable);
  lines->TablesDescriptor()->AddTable(u"Notes");

  TqdDataDictionary other;
  loadItem(*other.TablesDescriptor(), itemBytes(*dictionary.TablesDescriptor()));
  ASSERT_EQ(other.TablesDescriptor()->TableCount(), 1);
  TqdNestedTableDescriptor* copy = other.TablesDescriptor()->TableDescriptor(0);
  EXPECT_TRUE(copy->IsEqual(lines));
  EXPECT_EQ(copy->CachingState(), tcsCacheable);
  EXPECT_EQ(copy->InternalIndicesDescriptor()->IndexCount(), 1);
  EXPECT_TRUE(other.HasAnyRefNrField());
  EXPECT_TRUE(other.HasCachingSupport(tcsCacheable));
  EXPECT_FALSE(other.HasCachingSupport(tcsIsCache));

  // For a client before RefNr fields the internal indexes are left out.
  qdDictionaryInfoLost = false;
  TqdDataDictionary older;
  loadItem(*older.TablesDescriptor(), itemBytes(*dictionary.TablesDescriptor(), 47004));
  EXPECT_TRUE(qdDictionaryInfoLost);
  EXPECT_EQ(older.TablesDescriptor()->TableDescriptor(0)->InternalIndicesDescriptor(), nullptr);
  qdDictionaryInfoLost = false;
}

TEST_F(StorageTest, WritingATableDoesNotChangeItsCustomStrings) {
  TqdNestedTableDescriptor* lines = dictionary.TablesDescriptor()->AddTable(u"Lines");
  dictionary.MakeReadOnly();
  EXPECT_NO_THROW(itemBytes(*lines));
  EXPECT_FALSE(lines->HasCustomStrings()) << "a shared table is written without being edited";
}

// --- Files --------------------------------------------------------------------------------------

TEST(FilesTest, ExtensionsAndPositionsAreChecked) {
  TqdDataDictionary dictionary;
  TqdFilesDescriptor* files = dictionary.FilesDescriptor();
  EXPECT_ENGINE_ERROR(files->Clear(true), qdeObjectInUse,
                      "Cannot remove file 0 because it is still referenced by a record engine");
  files->Clear(false);
  EXPECT_ENGINE_ERROR(files->AddFile(u"X", qdbs4k, u""), qdeInvalidFileExt, "Invalid file extension: \"X\"");
  files->AddFile(u"", qdbs4k, u"");
  EXPECT_ENGINE_ERROR(files->AddFile(u"", qdbs4k, u""), qdeInvalidFileExt, "Invalid file extension: \"\"");
  files->AddFile(u"IX", qdbs8k, u"");
  EXPECT_ENGINE_ERROR(files->AddFile(u"ix", qdbs4k, u""), qdeNameNotUnique, "Duplicated file extension: \"ix\"");
  EXPECT_ENGINE_ERROR(files->RemoveFile(0), qdeObjectInUse, "Cannot remove the base file descriptor");
  EXPECT_ENGINE_ERROR(files->MoveFile(0, 1), qdeInvalidDescNum, "Index out of bounds: 0");
  files->AddFile(u"BL", qdbs4k, u"");
  files->InsertFileAt(1, u"New", qdbs4k, u"");
  for (int32_t i = 0; i < files->FileCount(); ++i) EXPECT_EQ(files->FileDescriptor(i)->Number(), i);
  EXPECT_EQ(files->GetFileFromExt(u"ix"), 2);
  files->RenameFile(u"ix", u"IX2");
  EXPECT_EQ(files->GetFileFromExt(u"IX2"), 2);
  EXPECT_ENGINE_ERROR(files->RenameFile(2, u"bl"), qdeNameNotUnique, "Duplicated file extension: \"bl\"");
  files->RenameFile(2, u"ix2");
  EXPECT_ENGINE_ERROR(files->FileDescriptor(1)->SetBlockSizeBytes(5000), qdeInvalidDesc,
                      "5000 is not a valid BlockSize");
  EXPECT_ENGINE_ERROR(files->AddFile(u"Big", qdbs4m, u""), qdeInvalidDesc, "4194304 is not a valid BlockSize");
  EXPECT_ENGINE_ERROR(files->FileDescriptor(1)->SetBlockSize(qdbs4m), qdeInvalidDesc, "");
  files->FileDescriptor(1)->SetBlockSizeBytes(65536);
  EXPECT_EQ(files->FileDescriptor(1)->BlockSize(), qdbs64k);
  TqdFilesDescriptor copy(nullptr);
  loadItem(copy, itemBytes(*files));
  EXPECT_TRUE(copy.IsEqual(files));
}

// The storage side's dictionary tells the files what a block leaves for data.
class TqdReservingDictionary : public TqdDataDictionary {
 public:
  uint32_t UsableBlockSize(uint32_t aBlockSize) const override { return aBlockSize - 64; }
  bool IsSameClass(const TqdDictionaryItem* aItem) const override {
    return dynamic_cast<const TqdDataDictionary*>(aItem) != nullptr;
  }
};

TEST(FilesTest, UsableBlockSizeIsTheOwningDictionarys) {
  TqdDataDictionary plain;
  EXPECT_EQ(plain.FilesDescriptor()->FileDescriptor(0)->UsableBlockSize(), 4096u);
  TqdReservingDictionary reserving;
  EXPECT_EQ(reserving.FilesDescriptor()->FileDescriptor(0)->UsableBlockSize(), 4032u);
  EXPECT_TRUE(reserving.IsEqual(&plain));
  EXPECT_TRUE(plain.IsEqual(&reserving)) << "either side may vouch for the class";
  plain.SetEncryptionEngine(u"AES");
  EXPECT_FALSE(plain.IsEqual(&reserving));
}

// --- Tables and the dictionary ----------------------------------------------------------------

TEST(DictionaryValidationTest, MandatoryPartsAreRequired) {
  TqdDataDictionary dictionary;
  dictionary.FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
  EXPECT_NO_THROW(dictionary.CheckValid(false));
  dictionary.RemoveRecordDescriptor();
  EXPECT_ENGINE_ERROR(dictionary.CheckValid(false), qdeInvalidDesc, "A record descriptor is required");
  dictionary.AddRecordDescriptor();
  dictionary.RemoveStreamDescriptor();
  EXPECT_ENGINE_ERROR(dictionary.CheckValid(false), qdeInvalidDesc, "A stream descriptor is required");
  dictionary.AddStreamDescriptor();
  dictionary.FilesDescriptor()->Clear(false);
  EXPECT_ENGINE_ERROR(dictionary.CheckValid(false), qdeInvalidRecStruct,
                      "FilesDescriptor requires a minimum of one file");
}

TEST(DictionaryValidationTest, BuildMovesTheVersionWithRefNrFields) {
  TqdDataDictionary dictionary;
  dictionary.FieldsDescriptor()->AddField(u"A", u"", qdtInt32, 0, 0, false);
  dictionary.CheckValid(true);
  EXPECT_EQ(dictionary.Version(), 4);
  dictionary.FieldsDescriptor()->AddField(u"R", u"", qdtRefNr, 0, 0, false);
  dictionary.SetVersion(3);
  dictionary.CheckValid(true);
  EXPECT_EQ(dictionary.Version(), 5);
  dictionary.FieldsDescriptor()->RemoveField(1);
  dictionary.CheckValid(true);
  EXPECT_EQ(dictionary.Version(), 4);

  dictionary.SetVersion(1);
  dictionary.FieldsDescriptor()->AddField(u"B", u"", qdtBoolean, 0, 0, false);
  EXPECT_EQ(dictionary.FieldsDescriptor()->LogicalRecordLength(), 5);
  dictionary.CheckValid(true);
  EXPECT_EQ(dictionary.FieldsDescriptor()->LogicalRecordLength(), 8) << "the bitmap is realigned";
}

TEST(DictionaryResetTest, ResetRemovesIndexesThatUseTheFieldsFirst) {
  TqdDataDictionary dictionary;
  dictionary.FieldsDescriptor()->AddField(u"A", u"", qdtInt64, 0, 0, false);
  auto* key = static_cast<TqdCompKeyDescriptor*>(
      dictionary.EnsureInternalIndicesDescriptor()->AddIndex(u"$Internal", 0, idNone, u"")->KeyDescriptor());
  key->Add(0);
  EXPECT_NO_THROW(dictionary.Clear(true));
  EXPECT_EQ(dictionary.InternalIndicesDescriptor(), nullptr);
  EXPECT_EQ(dictionary.FieldsDescriptor()->FieldCount(), 0);
  EXPECT_EQ(dictionary.IndicesDescriptor()->IndexCount(), 1);
}

}  // namespace
}  // namespace qd
