// The server's dictionary: written into and read back from its table file
// as the stream "DICT", the read-only switches of a restructuring step, and
// the checks and block sizes the storage adds.
#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "storage/qdsrDataDictionary.h"

#include <gtest/gtest.h>

#include "foundation/qdllStreams.h"
#include "storage/qdseAutoIncEngineSimple.h"
#include "storage/qdseStreamEngineSimple.h"
#include "storage/qdsrAutoIncEngineBase.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

class ServerDataDictTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fTable = TqdTestTable::Create(&fCache, "/db/Questions.qd1");
    TqdTestTransaction trans(&fCache);
    fEngine = std::make_unique<TqdSimpleStreamEngine>(nullptr, &fTable->Access(), &trans);
    trans.Commit();
  }
  void TearDown() override {
    fEngine.reset();
    fTable.reset();
    EXPECT_EQ(fCache.InUseCount(), 0u);
  }
  void Reopen() {
    fEngine.reset();
    fTable.reset();
    fTable = TqdTestTable::Open(&fCache, "/db/Questions.qd1");
    fEngine = std::make_unique<TqdSimpleStreamEngine>(nullptr, &fTable->Access(), nullptr);
  }
  void WriteCommitted(TqdServerDataDict& aDictionary) {
    TqdTestTransaction trans(&fCache);
    aDictionary.WriteToFile(fEngine.get(), &trans);
    trans.Commit();
  }
  static void AddFields(TqdDataDictionary& aDictionary) {
    aDictionary.FieldsDescriptor()->AddField(u"Question", u"", qdtWideString, 40, 0, true);
    aDictionary.FieldsDescriptor()->AddField(u"Answered", u"", qdtInt32, 0, 0, false);
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  std::unique_ptr<TqdTestTable> fTable;
  std::unique_ptr<TqdSimpleStreamEngine> fEngine;
};

TEST_F(ServerDataDictTest, TheDictionaryIsStoredAsDictAndReadBackAfterReopen) {
  TqdServerDataDict written;
  AddFields(written);
  WriteCommitted(written);
  EXPECT_TRUE(written.ReadOnly());
  EXPECT_EQ(StringToUtf8(written.BaseName()), "/db/Questions.qd1");

  Reopen();
  TqdStringList names;
  EXPECT_EQ(fEngine->GetNamedStreamList(nullptr, names), 0u);
  ASSERT_EQ(names.Count(), 1);
  EXPECT_EQ(StringToUtf8(names.Strings(0)), "DICT");

  TqdServerDataDict read;
  read.ReadFromFile(fEngine.get(), nullptr);
  EXPECT_TRUE(read.ReadOnly());
  EXPECT_TRUE(read.IsEqual(&written));
  EXPECT_EQ(read.Guid(), written.Guid());
  EXPECT_EQ(read.FieldsDescriptor()->FieldCount(), 2);
  EXPECT_TRUE(read.HeaderSignature() == qdSignature("QD!2"));
  EXPECT_EQ(TextOf([&] { read.FieldsDescriptor()->AddField(u"More", u"", qdtInt32, 0, 0, false); }),
            "The data dictionary is read only");

  // The stream holds exactly what the dictionary writes for the server's
  // version.
  TqdMemoryStream stored(-1), expected(-1);
  EXPECT_EQ(fEngine->ReadNamedStream(nullptr, u"DICT", stored), 0u);
  written.WriteToStream(expected, qdServerDictionaryVersion);
  ASSERT_EQ(stored.Size(), expected.Size());
  EXPECT_EQ(std::memcmp(stored.Memory(), expected.Memory(), size_t(stored.Size())), 0);
}

// What opening and creating a table does with the engines: the stream
// engine by the file's engine name, the dictionary from "DICT", the counter
// from the dictionary's descriptor; all of it back after commit and reopen.
TEST_F(ServerDataDictTest, ATableFileCarriesItsDictionaryStreamsAndCounter) {
  TqdServerDataDict dictionary;
  AddFields(dictionary);
  auto* autoInc =
      static_cast<TqdAdvAutoIncDescriptor*>(dictionary.AddAutoIncDescriptor(&TqdAdvAutoIncDescriptor::ClassInfo));
  autoInc->SetInitialValue(100);
  autoInc->SetStep(5);
  std::unique_ptr<TqdTestTable> table = TqdTestTable::Create(&fCache, "/db/Drill.qd1");
  TqdBlockAccessList files{&table->Access()};
  uint32_t numbered = 0;
  {
    TqdTestTransaction trans(&fCache);
    std::unique_ptr<TqdBaseStreamEngine> streams(
        TqdBaseStreamEngine::CreateEngine(u"QD1XDEFAULT", dictionary.StreamDescriptor(), &table->Access(), &trans));
    EXPECT_EQ(&streams->ClassType(), &TqdSimpleStreamEngine::ClassInfo);
    EXPECT_EQ(streams->ID(), dictionary.StreamDescriptor()->ID());
    std::unique_ptr<TqdBaseAutoIncEngine> counter(TqdBaseAutoIncEngine::CreateEngine(&dictionary, files, &trans));
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(&counter->ClassType(), &TqdSimpleAutoIncEngine::ClassInfo);
    dictionary.WriteToFile(streams.get(), &trans);
    TqdMemoryStream name(-1);
    name.WriteBuffer("Drill", 5);
    EXPECT_EQ(streams->WriteNamedStream(&trans, u"$TableName", name), 0u);
    streams->WriteStream(&trans, numbered, name, true, qdSignature("USER"));
    EXPECT_EQ(counter->NextAutoIncValue(&trans, nullptr), 100u);
    EXPECT_EQ(counter->NextAutoIncValue(&trans, nullptr), 105u);
    trans.Commit();
  }
  table.reset();
  table = TqdTestTable::Open(&fCache, "/db/Drill.qd1");
  files = {&table->Access()};
  std::unique_ptr<TqdBaseStreamEngine> streams(
      TqdBaseStreamEngine::CreateEngine(u"qd1xDefault", nullptr, &table->Access(), nullptr));
  TqdServerDataDict read;
  read.ReadFromFile(streams.get(), nullptr);
  streams->InitializeFromDictionary(&read);
  EXPECT_EQ(streams->ID(), read.StreamDescriptor()->ID());
  EXPECT_TRUE(read.IsEqual(&dictionary));
  TqdMemoryStream name(-1);
  EXPECT_EQ(streams->ReadNamedStream(nullptr, u"$tablename", name), 0u) << "read with the owner checked";
  EXPECT_EQ(std::string(static_cast<const char*>(name.Memory()), size_t(name.Size())), "Drill");
  streams->ReadStream(nullptr, numbered, name);
  EXPECT_EQ(name.Size(), 5);
  std::unique_ptr<TqdBaseAutoIncEngine> counter(TqdBaseAutoIncEngine::CreateEngine(&read, files, nullptr));
  EXPECT_EQ(counter->ReadAutoIncValue(nullptr), 105u);
  TqdTestTransaction trans(&fCache);
  EXPECT_EQ(counter->NextAutoIncValue(&trans, nullptr), 110u);
  trans.Commit();
  counter.reset();
  streams.reset();
  table.reset();
}

TEST_F(ServerDataDictTest, AMissingDictionaryRaisesAndLeavesTheDictionaryAsItWas) {
  TqdServerDataDict dictionary;
  AddFields(dictionary);
  const TGUID guid = dictionary.Guid();
  EXPECT_EQ(TextOf([&] { dictionary.ReadFromFile(fEngine.get(), nullptr); }),
            "The data dictionary is missing (/db/Questions.qd1)");
  try {
    dictionary.ReadFromFile(fEngine.get(), nullptr);
    FAIL();
  } catch (const EqdServerDataDictException& e) {
    EXPECT_EQ(e.ErrorCode(), 9992u);
  }
  EXPECT_EQ(dictionary.FieldsDescriptor()->FieldCount(), 2);
  EXPECT_EQ(dictionary.Guid(), guid);
  EXPECT_FALSE(dictionary.ReadOnly());
}

// A restructuring step: lift the read-only state, change, count the ID,
// back to read-only and write; a failed step restores the ID.
TEST_F(ServerDataDictTest, ARestructuringStepWritesTheChangedDictionaryBack) {
  TqdServerDataDict dictionary;
  AddFields(dictionary);
  WriteCommitted(dictionary);

  const int32_t savedID = dictionary.CurrentID();
  dictionary.ForceOffReadOnly();
  EXPECT_FALSE(dictionary.ReadOnly());
  EXPECT_FALSE(dictionary.FieldsDescriptor()->CacheActive());
  dictionary.FieldsDescriptor()->AddField(u"Score", u"", qdtInt32, 0, 0, false);
  dictionary.IncID();
  EXPECT_EQ(dictionary.CurrentID(), savedID + 2) << "the field took one ID, IncID another";
  dictionary.ForceOnReadOnly();
  EXPECT_TRUE(dictionary.FieldsDescriptor()->CacheActive());
  WriteCommitted(dictionary);

  dictionary.ForceOffReadOnly();
  dictionary.IncID();
  dictionary.RestoreID(savedID);
  EXPECT_EQ(dictionary.CurrentID(), savedID);
  dictionary.ForceOnReadOnly();

  Reopen();
  TqdServerDataDict read;
  read.ReadFromFile(fEngine.get(), nullptr);
  EXPECT_EQ(read.FieldsDescriptor()->FieldCount(), 3);
  EXPECT_EQ(read.CurrentID(), savedID + 2);
}

TEST_F(ServerDataDictTest, ARolledBackWriteLeavesTheStoredDictionary) {
  TqdServerDataDict dictionary;
  AddFields(dictionary);
  WriteCommitted(dictionary);
  dictionary.ForceOffReadOnly();
  dictionary.FieldsDescriptor()->AddField(u"Score", u"", qdtInt32, 0, 0, false);
  {
    TqdTestTransaction trans(&fCache);
    dictionary.WriteToFile(fEngine.get(), &trans);
    trans.Rollback();
  }
  Reopen();
  TqdServerDataDict read;
  read.ReadFromFile(fEngine.get(), nullptr);
  EXPECT_EQ(read.FieldsDescriptor()->FieldCount(), 2);
}

TEST_F(ServerDataDictTest, RecreateGuidGivesANewGuid) {
  TqdServerDataDict dictionary;
  const TGUID before = dictionary.Guid();
  dictionary.MakeReadOnly();
  dictionary.RecreateGuid();
  EXPECT_NE(dictionary.Guid(), before);
  EXPECT_NE(dictionary.Guid(), TGUID{});
}

TEST_F(ServerDataDictTest, APlainDictionaryIsOfTheSameClassOnEitherSide) {
  TqdServerDataDict server;
  TqdDataDictionary plain;
  EXPECT_TRUE(server.IsSameClass(&plain));
  EXPECT_TRUE(server.IsEqual(&plain));
  EXPECT_TRUE(plain.IsEqual(&server));
  plain.SetEncryptionEngine(u"qd1xDefault");
  EXPECT_FALSE(server.IsEqual(&plain));
}

TEST_F(ServerDataDictTest, TheHeaderFormatsReserveComesOffEveryBlock) {
  TqdServerDataDict dictionary;
  EXPECT_EQ(dictionary.UsableBlockSize(4096), 4092u);
  EXPECT_EQ(dictionary.FilesDescriptor()->FileDescriptor(0)->UsableBlockSize(), 4092u);
  dictionary.SetHeaderSignature(qdSignature("QD!1"));
  EXPECT_EQ(dictionary.UsableBlockSize(4096), 4096u);
}

TEST_F(ServerDataDictTest, UnknownEnginesAndFormatsAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    void (*change)(TqdServerDataDict&);
    TqdResult code;
  };
  const Case cases[] = {
      {"stream engine", [](TqdServerDataDict& d) { d.StreamDescriptor()->SetStreamEngine(u"Nowhere"); },
       qdeSubEngineNotSupported},
      {"record engine", [](TqdServerDataDict& d) { d.RecordDescriptor()->SetRecordEngine(u"Nowhere"); },
       qdeSubEngineNotSupported},
      {"header format", [](TqdServerDataDict& d) { d.SetHeaderSignature(qdSignature("QD!9")); },
       qdeHeaderAccessNotSupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TqdServerDataDict dictionary;
    AddFields(dictionary);
    c.change(dictionary);
    TqdTestTransaction trans(&fCache);
    EXPECT_EQ(CodeOf([&] { dictionary.WriteToFile(fEngine.get(), &trans); }), c.code);
    trans.Rollback();
    TqdMemoryStream stream(-1);
    EXPECT_EQ(fEngine->ReadNamedStream(nullptr, u"DICT", stream), qdeObjNotFound);
  }
}

}  // namespace
}  // namespace qd::test
