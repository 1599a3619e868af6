#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/qdsdServerEngine.h"
#include "dictionary/qdsdDataDictionary_Defaults.h"
#include "foundation/qdllStreams.h"
#include "platform/qdLittleEndian.h"
#include "tests/client/qdsdFakeEngine.h"
#include "tests/dictionary/qdsdCanExprBuilder.h"

namespace qd {
namespace {

using namespace qdsdFakeEngine;

qdString pendingMessage(TqdResult aCode) { return EqdBaseException(static_cast<int64_t>(aCode)).ErrorString(); }

// A table "T": Id Int32 (required), Name NullString(10), Memo BLOB memo,
// Wide BLOB wide memo, Data BLOB. Cursors over it come from the database.
class CursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = qdCreate<TqdFakeServerEngine>(nullptr);
    table = &engine->AddTable(u"T");
    TqdFieldsDescriptor* fields = table->Dictionary->FieldsDescriptor();
    fields->AddField(u"Id", u"", qdtInt32, 0, 0, true);
    fields->AddField(u"Name", u"", qdtNullString, 10, 0, false);
    fields->AddField(u"Memo", u"", qdtBlobMemo, 0, 0, false);
    fields->AddField(u"Wide", u"", qdtBlobWideMemo, 0, 0, false);
    fields->AddField(u"Data", u"", qdtBlob, 0, 0, false);
    ASSERT_EQ(engine->SessionOpen(session, u"user", u"", u"direct", 10000), 0u);
    ASSERT_EQ(session->DatabaseOpen(database, u"Name", u"Main", nullptr, omReadWrite, smShared, 0), 0u);
  }
  void TearDown() override {
    if (session != nullptr) {
      EXPECT_EQ(TqdAbstractServerObject::Close(session), 0u);
    }
    TqdComponent* component = engine;
    qdFreeAndNil(component);
  }

  TqdFakeCursor* Open(TqdOpenMode aMode = omReadWrite, TqdAbstractDatabase* aDatabase = nullptr) {
    TqdAbstractCursor* cursor = nullptr;
    EXPECT_EQ((aDatabase != nullptr ? aDatabase : database)
                  ->CursorOpen(cursor, u"T", u"", aMode, smShared, 0, u"", -1, false, {}, 500, nullptr),
              0u);
    return static_cast<TqdFakeCursor*>(cursor);
  }

  // A record buffer of the cursor, freed with the test.
  struct Buffer {
    TqdAbstractCursor* Cursor;
    PqdRecordBuffer Data;
    explicit Buffer(TqdAbstractCursor* aCursor) : Cursor(aCursor), Data(aCursor->RecordBufferAlloc()) {}
    ~Buffer() { Cursor->RecordBufferFree(Data); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
  };

  void SetBlob(TqdAbstractCursor* aCursor, PqdRecordBuffer aData, int32_t aField, TqdBlobNr aBlobNr) {
    aCursor->FieldsDescriptor()->SetRecordField(aField, aData, &aBlobNr);
  }

  TqdFakeServerEngine* engine = nullptr;
  TqdFakeTable* table = nullptr;
  TqdAbstractSession* session = nullptr;
  TqdAbstractDatabase* database = nullptr;
};

// --- Life cycle ----------------------------------------------------------------------

TEST_F(CursorTest, CursorsJoinTheirDatabaseAndGoWithIt) {
  const int32_t before = engine->CursorCount();
  TqdFakeCursor* first = Open();
  TqdFakeCursor* second = Open();
  EXPECT_EQ(engine->CursorCount(), before + 2);
  EXPECT_EQ(database->Cursors(), (std::vector<TqdAbstractCursor*>{first, second}));
  EXPECT_EQ(first->Database(), database);

  TqdAbstractServerObject* closing = first;
  EXPECT_EQ(TqdAbstractServerObject::Close(closing), 0u);
  EXPECT_EQ(database->Cursors(), (std::vector<TqdAbstractCursor*>{second}));

  const TqdBaseID secondID = second->RemoteID();
  TqdAbstractServerObject* db = database;
  EXPECT_EQ(TqdAbstractServerObject::Close(db), 0u);
  database = nullptr;
  EXPECT_EQ(engine->CursorCount(), before);
  TqdAbstractCursor* found = nullptr;
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(session->RemoteID(), secondID, found), qdeInvalidHandle);
  EXPECT_EQ(found, nullptr);
}

TEST_F(CursorTest, CursorIdsAreHandlesOfTheirSessionAndClass) {
  TqdFakeCursor* cursor = Open();
  const TqdBaseID id = cursor->RemoteID();
  TqdAbstractCursor* asCursor = nullptr;
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(session->RemoteID(), id, asCursor), 0u);
  EXPECT_EQ(asCursor, cursor);
  TqdSqlAbstractCursor* asSqlCursor = nullptr;
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(session->RemoteID(), id, asSqlCursor), 0u);

  TqdAbstractDatabase* wrongClass = database;
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(session->RemoteID(), id, wrongClass), qdeInvalidHandle);
  EXPECT_EQ(wrongClass, nullptr);
  TqdAbstractSession* other = nullptr;
  ASSERT_EQ(engine->SessionOpen(other, u"other", u"", u"direct", 10000), 0u);
  asCursor = cursor;
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(other->RemoteID(), id, asCursor), qdeInvalidHandle);
  EXPECT_EQ(asCursor, nullptr);
  EXPECT_EQ(TqdAbstractServerObject::Close(other), 0u);

  TqdAbstractServerObject* object = cursor;
  EXPECT_EQ(TqdAbstractServerObject::Close(object), 0u);
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(session->RemoteID(), id, asCursor), qdeInvalidHandle);
}

TEST_F(CursorTest, TheLastCursorOfAnAutoFreeDatabaseFreesTheDatabase) {
  TqdAbstractDatabase* own = nullptr;
  ASSERT_EQ(session->DatabaseOpen(own, u"Name", u"Main", nullptr, omReadWrite, smShared, 0), 0u);
  own->SetCursorAutoFree(true);
  const TqdBaseID ownID = own->RemoteID();
  TqdFakeCursor* first = Open(omReadWrite, own);
  TqdFakeCursor* second = Open(omReadWrite, own);
  const int32_t databases = engine->DatabaseCount();

  TqdAbstractServerObject* object = first;
  EXPECT_EQ(TqdAbstractServerObject::Close(object), 0u);
  EXPECT_EQ(engine->DatabaseCount(), databases);  // one cursor is left
  object = second;
  EXPECT_EQ(TqdAbstractServerObject::Close(object), 0u);
  EXPECT_EQ(engine->DatabaseCount(), databases - 1);
  TqdAbstractDatabase* found = nullptr;
  EXPECT_EQ(TqdAbstractServerObject::LookupByID(session->RemoteID(), ownID, found), qdeInvalidHandle);
}

TEST_F(CursorTest, FreeingAnAutoFreeDatabaseFirstFreesItOnce) {
  TqdAbstractDatabase* own = nullptr;
  ASSERT_EQ(session->DatabaseOpen(own, u"Name", u"Main", nullptr, omReadWrite, smShared, 0), 0u);
  own->SetCursorAutoFree(true);
  Open(omReadWrite, own);
  const int32_t databases = engine->DatabaseCount();
  const int32_t cursors = engine->CursorCount();
  TqdAbstractServerObject* object = own;
  EXPECT_EQ(TqdAbstractServerObject::Close(object), 0u);
  EXPECT_EQ(engine->DatabaseCount(), databases - 1);
  EXPECT_EQ(engine->CursorCount(), cursors - 1);
}

TEST_F(CursorTest, FreeingTheSessionFreesCursorsAndRestoresTheCounts) {
  const int32_t cursors = engine->CursorCount();
  Open();
  Open();
  TqdAbstractServerObject* object = session;
  EXPECT_EQ(TqdAbstractServerObject::Close(object), 0u);
  session = nullptr;
  EXPECT_EQ(engine->CursorCount(), cursors);
  EXPECT_EQ(engine->DatabaseCount(), 0);
}

// --- Record buffers and writes ---------------------------------------------------------

TEST_F(CursorTest, RecordBuffersAreFourBytesLongerAndEmpty) {
  TqdFakeCursor* cursor = Open();
  TqdFieldsDescriptor* fields = cursor->FieldsDescriptor();
  EXPECT_EQ(cursor->RecordLength(), static_cast<uint32_t>(fields->RecordLength()));
  Buffer buffer(cursor);
  // The allocator rounds nothing down: the 4 bytes past the record are ours.
  std::memset(buffer.Data + fields->RecordLength(), 0xAB, 4);
  for (int32_t i = 0; i < fields->FieldCount(); ++i) EXPECT_TRUE(fields->IsRecordFieldNull(i, buffer.Data)) << i;
  int32_t id = 7;
  fields->SetRecordField(0, buffer.Data, &id);
  cursor->RecordBufferClear(buffer.Data);
  EXPECT_TRUE(fields->IsRecordFieldNull(0, buffer.Data));
  cursor->RecordBufferClear(nullptr);
}

TEST_F(CursorTest, InsertWithValidationRefusesARecordBeforeWritingIt) {
  TqdFakeCursor* cursor = Open();
  Buffer buffer(cursor);  // Id is required and null
  struct Case {
    TqdInsertOptions options;
    TqdResult result;
    int writes;
  };
  for (const Case& c :
       {Case{{ioValidate}, qdeRequiredErr, 0}, Case{{ioValidate, ioSetDefault}, qdeRequiredErr, 0}, Case{{}, 0, 1}}) {
    table->Writes = 0;
    table->Records.clear();
    EXPECT_EQ(cursor->RecordInsertEx(qdltNoLock, c.options, buffer.Data, nullptr), c.result);
    EXPECT_EQ(table->Writes, c.writes);
    EXPECT_EQ(table->Records.size(), static_cast<size_t>(c.writes));
  }
  int32_t id = 1;
  cursor->FieldsDescriptor()->SetRecordField(0, buffer.Data, &id);
  EXPECT_EQ(cursor->RecordInsertEx(qdltNoLock, {ioValidate}, buffer.Data, nullptr), 0u);
}

// Logs what the base's insert hands to the two operations every engine
// implements, validation and the plain insert, and answers as told.
class InsertProbe : public TqdFakeCursor {
 public:
  using TqdFakeCursor::TqdFakeCursor;

  TqdResult acValidateRecord(PqdRecordBuffer aData, PqdRecordBuffer aOldData) override {
    Log.push_back(std::string("validate") + Differs(aData, Record, " other-record") +
                  (aOldData != nullptr ? " with-old-record" : ""));
    if (ValidateRaises) throw EqdBaseException(static_cast<int64_t>(qdeInvalidParam));
    return ValidateAnswer;
  }
  TqdResult RecordInsert(TqdLockType aLockType, PqdRecordBuffer aData, int64_t* aAutoInc) override {
    Log.push_back("insert lock=" + std::to_string(aLockType) + Differs(aData, Record, " other-record") +
                  Differs(aAutoInc, AutoInc, " other-autoinc"));
    return InsertAnswer;
  }

  PqdRecordBuffer Record = nullptr;
  int64_t* AutoInc = nullptr;
  TqdResult ValidateAnswer = 0;
  bool ValidateRaises = false;
  TqdResult InsertAnswer = 0;
  std::vector<std::string> Log;

 private:
  template <class T>
  static const char* Differs(T* aGot, T* aExpected, const char* aNote) {
    return aGot == aExpected ? "" : aNote;
  }
};

TEST_F(CursorTest, InsertValidatesOnlyWhenAskedAndHandsEverythingOnToTheEngine) {
  auto* probe = qdCreate<InsertProbe>(database, table, 0u, omReadWrite);
  Buffer buffer(probe);
  int64_t autoInc = 0;
  probe->Record = buffer.Data;
  probe->AutoInc = &autoInc;
  enum Validation { Passes, Refuses, Raises };
  struct Case {
    const char* name;
    TqdInsertOptions options;
    Validation validation;
    TqdResult insertAnswer;
    TqdResult result;
    std::vector<std::string> log;
  };
  const std::string insert = "insert lock=" + std::to_string(qdltWriteLock);
  const Case cases[] = {
      {"no options", {}, Refuses, 0, 0, {insert}},
      {"other options", {ioSetDefault, ioSetAutoInc, ioModifyIfFound}, Refuses, 0, 0, {insert}},
      {"validated", {ioValidate}, Passes, 0, 0, {"validate", insert}},
      {"refused", {ioValidate, ioSetDefault}, Refuses, 0, qdeRequiredErr, {"validate"}},
      {"validation raises", {ioValidate}, Raises, 0, qdeInvalidParam, {"validate"}},
      {"engine refuses", {ioValidate}, Passes, qdeTableReadOnly, qdeTableReadOnly, {"validate", insert}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    probe->Log.clear();
    probe->ValidateAnswer = c.validation == Refuses ? qdeRequiredErr : 0;
    probe->ValidateRaises = c.validation == Raises;
    probe->InsertAnswer = c.insertAnswer;
    EXPECT_EQ(probe->RecordInsertEx(qdltWriteLock, c.options, buffer.Data, &autoInc), c.result);
    EXPECT_EQ(probe->Log, c.log);
  }
}

// --- Operations the base does not support --------------------------------------------------

TEST_F(CursorTest, UnsupportedBaseOperationsAnswer12289WithTheirName) {
  TqdFakeCursor* cursor = Open();
  Buffer buffer(cursor);
  uint8_t bookmark[8] = {};
  TqdBlobBatchRequest request;
  TqdBlobBatchReply reply;
  TqdRecordCacheInfos infos{TqdRecordCacheInfo{1, 1}};
  TqdLSN current = 5;
  struct Case {
    const char16_t* method;
    std::function<TqdResult()> call;
  };
  const Case cases[] = {
      {u"SavePath", [&] { return cursor->SavePath(); }},
      {u"RestorePath", [&] { return cursor->RestorePath(); }},
      {u"GetBookmarkCache", [&] { return cursor->GetBookmarkCache(bookmark, 8); }},
      {u"SetToCacheBookmark", [&] { return cursor->SetToCacheBookmark(bookmark, 8); }},
      {u"BookmarkCheckLocal", [&] { return cursor->BookmarkCheckLocal(bookmark, 8); }},
      {u"BuildKey", [&] { return cursor->BuildKey(buffer.Data, bookmark, false); }},
      {u"KeyToRecord", [&] { return cursor->KeyToRecord(bookmark, buffer.Data); }},
      {u"BlobBatchProcess", [&] { return cursor->BlobBatchProcess(request, reply); }},
      {u"BlobAddToCache", [&] { return cursor->BlobAddToCache({}, 2, 1, 0, nullptr); }},
      {u"GetDeletedRecords", [&] { return cursor->GetDeletedRecords(0, infos, 10, &current); }},
      {u"ascBlobRequestCache", [&] { return cursor->ascBlobRequestCache({}, 2, 1); }},
      {u"CursorCacheOpen",
       [&] {
         TqdAbstractCursor* none = nullptr;
         return database->CursorCacheOpen(none, u"T", u"", omReadOnly, smShared, 0, u"", -1, false, {}, 0);
       }},
      {u"RegisterCursorSource",
       [&] {
         TqdRef<IqdDatabaseCursorSourceControl> control;
         return database->RegisterCursorSource(nullptr, control);
       }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), qdeNotSupported) << StringToUtf8(c.method);
    const qdString owner = qdString(c.method) == u"CursorCacheOpen" || qdString(c.method) == u"RegisterCursorSource"
                               ? qdString(u"TqdAbstractDatabase")
                               : qdString(u"TqdSqlAbstractCursor");
    EXPECT_EQ(pendingMessage(qdeNotSupported), qdString(c.method) + u" not supported by " + owner)
        << StringToUtf8(c.method);
  }
  EXPECT_TRUE(infos.empty());
  EXPECT_EQ(current, 0);

  try {
    cursor->RequestNestedTransactions();
    ADD_FAILURE() << "no exception";
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeNotSupported);
    EXPECT_NE(e.ErrorString().find(u"RequestNestedTransactions is not supported by"), qdString::npos);
  }
}

// --- Record identity and cache information ----------------------------------------------------

class CursorIdentityTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    identity = &engine->AddTable(u"I");
    TqdFieldsDescriptor* fields = identity->Dictionary->FieldsDescriptor();
    fields->AddField(u"RefNr", u"", qdtRefNr, 0, 0, false);
    fields->AddField(u"Inserted", u"", qdtInt64, 0, 0, false)
        ->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo)
        ->SetApplyOnModify(false);
    fields->AddField(u"Modified", u"", qdtInt64, 0, 0, false)
        ->AddDefaultValue(&TqdNextLSNDefaultValueDescriptor::ClassInfo);
    fields->AddField(u"Plain", u"", qdtInt32, 0, 0, false);
    TqdAbstractCursor* opened = nullptr;
    ASSERT_EQ(database->CursorOpen(opened, u"I", u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500, nullptr), 0u);
    cursor = static_cast<TqdFakeCursor*>(opened);
  }
  TqdFakeTable* identity = nullptr;
  TqdFakeCursor* cursor = nullptr;
};

TEST_F(CursorIdentityTest, RecordIdsComeFromTheSpecialFields) {
  Buffer buffer(cursor);
  int64_t refNr = 42;
  int64_t lsn = 77;
  cursor->FieldsDescriptor()->SetRecordField(0, buffer.Data, &refNr);
  cursor->FieldsDescriptor()->SetRecordField(1, buffer.Data, &lsn);
  const TqdRecID id = cursor->acGetRecID(buffer.Data);
  EXPECT_EQ(id.ridRefNr, 42);
  EXPECT_EQ(id.ridInsertLSN, 77);
  const TqdRecID none = cursor->acGetRecID(nullptr);
  EXPECT_EQ(none.ridRefNr, 0);
  EXPECT_EQ(none.ridInsertLSN, 0);
  // A table without the special fields reads zeros.
  TqdFakeCursor* plain = Open();
  Buffer other(plain);
  EXPECT_EQ(plain->acGetRecID(other.Data).ridRefNr, 0);
}

TEST_F(CursorIdentityTest, CacheInformationCodes) {
  Buffer buffer(cursor);
  TqdRecordCacheInfo info{5, 6};
  EXPECT_EQ(cursor->ExtractCacheInfo(buffer.Data, info), qdeNotSupported);
  EXPECT_EQ(info.rciRefNr, 0);

  cursor->MakeCacheable();
  EXPECT_EQ(cursor->ExtractCacheInfo(nullptr, info), qdeNoCurrentRec);
  int64_t refNr = 42;
  cursor->FieldsDescriptor()->SetRecordField(0, buffer.Data, &refNr);
  EXPECT_EQ(cursor->ExtractCacheInfo(buffer.Data, info), qdeNoCurrentRec);  // no modify LSN yet
  EXPECT_EQ(info.rciRefNr, 42);
  EXPECT_EQ(info.rciModifyLSN, 0);
  int64_t modified = 9;
  cursor->FieldsDescriptor()->SetRecordField(2, buffer.Data, &modified);
  EXPECT_EQ(cursor->ExtractCacheInfo(buffer.Data, info), 0u);
  EXPECT_EQ(info.rciModifyLSN, 9);

  struct Case {
    TqdRecordCacheInfo info;
    TqdResult result;
  };
  for (const Case& c : {Case{{0, 0}, qdeNoCurrentRec}, Case{{1, 0}, qdeNoCurrentRec}, Case{{0, 1}, qdeNoCurrentRec},
                        Case{{1, 1}, qdeNotSupported}}) {
    EXPECT_EQ(cursor->ContainsCacheInfo(c.info), c.result) << c.info.rciRefNr << "/" << c.info.rciModifyLSN;
  }
  TqdLSN lsn = 0;
  TqdRefNr ref = 0;
  EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, ref), qdeNoCurrentRec);
}

// --- BLOB numbers, marks and batches -------------------------------------------------------

TEST_F(CursorTest, GetBlobsStopsWhenTheCallersArrayIsFull) {
  TqdFakeCursor* cursor = Open();
  Buffer buffer(cursor);
  SetBlob(cursor, buffer.Data, 2, 11);
  SetBlob(cursor, buffer.Data, 4, 13);  // the wide memo (field 3) stays null

  TqdBlobNr numbers[2] = {};
  uint16_t count = 1;
  EXPECT_EQ(cursor->GetBlobs(buffer.Data, false, count, numbers), qdeOutOfRange);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(numbers[0], 11);
  count = 2;
  EXPECT_EQ(cursor->GetBlobs(buffer.Data, false, count, numbers), 0u);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(numbers[1], 13);
  count = 2;
  EXPECT_EQ(cursor->GetBlobs(buffer.Data, false, count, nullptr), qdeOutOfRange);
  count = 2;
  EXPECT_EQ(cursor->GetBlobs(nullptr, false, count, numbers), qdeInvalidParam);
  EXPECT_EQ(count, 0);
  // Marked only without marks: nothing, and no failure.
  count = 2;
  EXPECT_EQ(cursor->GetBlobs(buffer.Data, true, count, numbers), 0u);
  EXPECT_EQ(count, 0);

  TqdBlobNrs all;
  EXPECT_EQ(cursor->GetBlobs(buffer.Data, false, all), 0u);
  EXPECT_EQ(all, (TqdBlobNrs{11, 13}));
  // Mark the third BLOB field (Data) only.
  ASSERT_EQ(cursor->BlobsSetMarked({0b100}), 0u);
  EXPECT_EQ(cursor->GetBlobs(buffer.Data, true, all), 0u);
  EXPECT_EQ(all, (TqdBlobNrs{13}));
  EXPECT_EQ(cursor->GetBlobs(nullptr, true, all), qdeInvalidParam);
  EXPECT_TRUE(all.empty());
}

TEST_F(CursorTest, MarkingBlobs) {
  TqdFakeTable& wide = engine->AddTable(u"W");
  for (int i = 0; i < 40; ++i)
    wide.Dictionary->FieldsDescriptor()->AddField(u"B" + Format(u"%d", {i}), u"", qdtBlob, 0, 0, false);
  TqdAbstractCursor* cursor = nullptr;
  ASSERT_EQ(database->CursorOpen(cursor, u"W", u"", omReadOnly, smShared, 0, u"", -1, false, {}, 500, nullptr), 0u);
  struct Case {
    TqdMarkedBlobsByBlobIdx marks;
    TqdResult result;
    TqdMarkedBlobsByBlobIdx stored;
  };
  for (const Case& c :
       {Case{{1}, qdeInvalidParam, {}}, Case{{1, 0x80}, 0, {1, 0x80}}, Case{{0, 0}, 0, {}}, Case{{}, 0, {}}}) {
    EXPECT_EQ(cursor->BlobsSetMarked(c.marks), c.result);
    EXPECT_EQ(cursor->MarkedBlobs(), c.stored);
  }
}

TEST_F(CursorTest, BlobBatchAppliesEveryEntryAndChecksTheFieldNumbers) {
  TqdFakeCursor* cursor = Open();
  Buffer buffer(cursor);
  SetBlob(cursor, buffer.Data, 4, 99);
  TqdBlobBatchRequest request;
  TqdBlobBatchReply reply;
  for (uint16_t field : {2, 0, 4, 200, 3}) {
    TqdBlobBatchRequestEntry entry;
    entry.bbrqeFieldNo = field;
    request.bbrqEntries.push_back(entry);
  }
  reply.bbrpEntries = {{21}, {22}, {0}, {24}, {25}};
  reply.bbrpCount = 5;
  // The Int32 field and the field beyond the table are refused; the others
  // are applied all the same.
  EXPECT_EQ(cursor->BlobBatchApply(buffer.Data, request, reply), qdeInvalidParam);
  TqdFieldsDescriptor* fields = cursor->FieldsDescriptor();
  bool isNull = true;
  TqdBlobNr number = 0;
  fields->GetRecordField(2, buffer.Data, isNull, &number);
  EXPECT_EQ(number, 21);
  EXPECT_TRUE(fields->IsRecordFieldNull(0, buffer.Data));
  EXPECT_TRUE(fields->IsRecordFieldNull(4, buffer.Data));  // reply 0 = null
  fields->GetRecordField(3, buffer.Data, isNull, &number);
  EXPECT_EQ(number, 25);

  // A count beyond the lists is refused after what both carry was applied.
  reply.bbrpCount = 9;
  EXPECT_EQ(cursor->BlobBatchApply(buffer.Data, request, reply), qdeInvalidParam);
  EXPECT_EQ(cursor->BlobBatchEntryApply(nullptr, {}, request.bbrqEntries[0], reply.bbrpEntries[0]), 0u);
}

// --- BLOB contents ---------------------------------------------------------------------------

TEST_F(CursorTest, BlobReplaceCreatesTruncatesAndWrites) {
  TqdFakeCursor* cursor = Open();
  TqdBlobNr number = 0;
  EXPECT_EQ(cursor->BlobReplace({}, 4, number, 0, nullptr), 0u);
  EXPECT_EQ(number, 0);  // nothing to empty, nothing made
  EXPECT_TRUE(table->Blobs.empty());

  const char text[] = "hello";
  EXPECT_EQ(cursor->BlobReplace({}, 4, number, 5, text), 0u);
  ASSERT_NE(number, 0);
  EXPECT_EQ(table->Blobs[number], (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
  const TqdBlobNr first = number;
  EXPECT_EQ(cursor->BlobReplace({}, 4, number, 2, "ab"), 0u);
  EXPECT_EQ(number, first);
  EXPECT_EQ(table->Blobs[number], (std::vector<uint8_t>{'a', 'b'}));
  EXPECT_EQ(cursor->BlobReplace({}, 4, number, 0, nullptr), 0u);
  EXPECT_TRUE(table->Blobs[number].empty());

  cursor->FailBlob = qdeInvalidBlobHandle;
  TqdBlobNr fresh = 0;
  EXPECT_EQ(cursor->BlobReplace({}, 4, fresh, 3, "xyz"), qdeInvalidBlobHandle);
  cursor->FailBlob = 0;
  cursor->ThrowInBlob = true;
  EXPECT_EQ(cursor->BlobReplace({}, 4, fresh, 3, "xyz"), qdeUnexpectedException);
  uint32_t length = 0;
  EXPECT_EQ(cursor->BlobGetLength({}, 4, first, length, false, nullptr), qdeUnexpectedException);
  TqdMemoryStream stream(-1);
  EXPECT_EQ(cursor->BlobRead({}, 4, first, 0, 1, &stream, false, nullptr), qdeUnexpectedException);
  // The lock was given back each time.
  cursor->ThrowInBlob = false;
  EXPECT_EQ(cursor->BlobGetLength({}, 4, first, length, false, nullptr), 0u);
}

class SnapshotReadTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    cursor = Open();
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    table->Blobs[7] = data;
    context = static_cast<TqdFakeTransContext*>(database->TransContext());
  }
  TqdResult Read(uint32_t aOffset, uint32_t aLen, TqdBlobReadSnapshotState& aState, TqdMemoryStream& aStream) {
    uint32_t length = 0;
    return cursor->BlobReadSnapshoted({}, 4, 7, aOffset, aLen, &aStream, false, aState, &length, nullptr);
  }
  TqdFakeCursor* cursor = nullptr;
  TqdFakeTransContext* context = nullptr;
};

TEST_F(SnapshotReadTest, ChunksReadInsideOneSnapshot) {
  TqdMemoryStream stream(-1);
  TqdBlobReadSnapshotState state = brssRequestStart;
  EXPECT_EQ(Read(0, 40, state, stream), 0u);
  EXPECT_EQ(state, brssStarted);
  EXPECT_EQ(context->Snapshots, 1);
  EXPECT_EQ(Read(40, 40, state, stream), 0u);
  EXPECT_EQ(state, brssStarted);
  EXPECT_EQ(Read(80, 40, state, stream), 0u);
  EXPECT_EQ(state, brssClosed);
  EXPECT_EQ(stream.Size(), 100);
  EXPECT_EQ(stream.ByteArray()[99], 99);
  EXPECT_EQ(context->Rollbacks, 1);
  EXPECT_EQ(context->Starts, 1);
  // A final state refuses the next call.
  EXPECT_EQ(Read(0, 40, state, stream), qdeInvalidParam);
  EXPECT_EQ(context->Starts, 1);
}

TEST_F(SnapshotReadTest, OneCallReadingEverythingNeedsNoSnapshotAfterwards) {
  TqdMemoryStream stream(-1);
  TqdBlobReadSnapshotState state = brssRequestStart;
  EXPECT_EQ(Read(0, 100, state, stream), 0u);
  EXPECT_EQ(state, brssUnneccesary);
  EXPECT_EQ(context->Starts, 1);
  EXPECT_EQ(context->Rollbacks, 1);
}

TEST_F(SnapshotReadTest, StartAndCloseFailuresAndAnEarlyClose) {
  TqdMemoryStream stream(-1);
  TqdBlobReadSnapshotState state = brssRequestStart;
  context->FailStart = qdeTransCorrupt;
  EXPECT_EQ(Read(0, 40, state, stream), qdeTransCorrupt);
  EXPECT_EQ(state, brssFailedToStart);
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(Read(0, 40, state, stream), qdeInvalidParam);

  context->FailStart = 0;
  state = brssRequestStart;
  EXPECT_EQ(Read(0, 40, state, stream), 0u);
  state = brssRequestClose;
  context->FailRollback = qdeTransCorrupt;
  EXPECT_EQ(Read(40, 10, state, stream), qdeTransCorrupt);
  EXPECT_EQ(state, brssFailedToClose);
  EXPECT_EQ(Read(40, 10, state, stream), qdeInvalidParam);

  context->FailRollback = 0;
  state = brssRequestStart;
  EXPECT_EQ(Read(0, 10, state, stream), 0u);
  state = brssRequestClose;
  EXPECT_EQ(Read(10, 10, state, stream), 0u);
  EXPECT_EQ(state, brssClosed);
}

TEST_F(SnapshotReadTest, AReadFollowsABlobReplacedByANewerNumber) {
  table->Blobs[9] = {1, 2, 3};
  table->Replaced[7] = 8;
  table->Replaced[8] = 9;
  TqdMemoryStream stream(-1);
  uint32_t length = 0;
  TqdNewBlobNr newNumber;
  EXPECT_EQ(cursor->sbcBlobReadSnapshoted({}, 4, 7, 0, 10, &stream, false, &length, &newNumber), 0u);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(stream.Size(), 3);
  EXPECT_EQ(newNumber.nbnBlobNr, 9);
  EXPECT_TRUE(newNumber.nbnSet);
  // Without a place for the new number the read stops at the first move.
  EXPECT_EQ(cursor->sbcBlobReadSnapshoted({}, 4, 7, 0, 10, &stream, false, &length, nullptr), qdeBlobModified);
  // An implementation that follows the newer number itself reports it with
  // success: the caller still learns the number.
  cursor->FollowReplaced = true;
  TqdMemoryStream followed(-1);
  newNumber = TqdNewBlobNr{};
  EXPECT_EQ(cursor->sbcBlobReadSnapshoted({}, 4, 7, 0, 10, &followed, false, &length, &newNumber), 0u);
  EXPECT_EQ(followed.Size(), 3);
  EXPECT_EQ(newNumber.nbnBlobNr, 9);
  EXPECT_TRUE(newNumber.nbnSet);
  cursor->FollowReplaced = false;
  // Numbers that name each other in a circle do not keep the reader.
  table->Replaced[9] = 7;
  cursor->BlobCalls = 0;
  EXPECT_EQ(cursor->sbcBlobReadSnapshoted({}, 4, 7, 0, 10, &stream, false, &length, &newNumber), qdeBlobModified);
  EXPECT_LT(cursor->BlobCalls, 200);
}

// --- Field access for filters -------------------------------------------------------------------

TEST_F(CursorTest, BlobFieldsReadAndWriteTheirContentThroughTheCursor) {
  TqdFakeCursor* cursor = Open();
  Buffer buffer(cursor);
  const int32_t kMemo = 2, kWide = 3, kData = 4;
  for (int32_t field : {kMemo, kWide, kData}) EXPECT_TRUE(cursor->GetFieldAsVariantSelf(buffer.Data, field).IsNull());

  cursor->SetFieldAsVariantSelf(buffer.Data, kWide, TqdVariant(qdString(u"\u65e5\u672c")));
  cursor->SetFieldAsVariantSelf(buffer.Data, kMemo, TqdVariant(qdString(u"abc")));
  cursor->SetFieldAsVariantSelf(buffer.Data, kData, TqdVariant::FromBytes({1, 2, 3}));
  cursor->SetFieldAsVariantSelf(buffer.Data, 1, TqdVariant(qdString(u"name")));
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer.Data, kWide).AsString(), u"\u65e5\u672c");
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer.Data, kMemo).AsString(), u"abc");
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer.Data, kData).Bytes(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer.Data, 1).AsString(), u"name");
  EXPECT_EQ(table->Blobs.size(), 3u);

  // Shorter content truncates the BLOB; none deletes it and nulls the field.
  cursor->SetFieldAsVariantSelf(buffer.Data, kData, TqdVariant::FromBytes({9}));
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer.Data, kData).Bytes(), (std::vector<uint8_t>{9}));
  cursor->SetFieldAsVariantSelf(buffer.Data, kMemo, TqdVariant(qdString()));
  cursor->SetFieldAsVariantSelf(buffer.Data, kWide, TqdVariant::Null());
  EXPECT_TRUE(cursor->FieldsDescriptor()->IsRecordFieldNull(kMemo, buffer.Data));
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(buffer.Data, kWide).IsNull());
  EXPECT_EQ(table->Blobs.size(), 1u);

  // An empty BLOB reads as Null; a failing BLOB read raises.
  TqdBlobNr empty = 0;
  ASSERT_EQ(cursor->BlobCreate({}, kMemo, empty), 0u);
  SetBlob(cursor, buffer.Data, kMemo, empty);
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(buffer.Data, kMemo).IsNull());
  cursor->FailBlob = qdeInvalidBlobHandle;
  EXPECT_THROW(cursor->GetFieldAsVariantSelf(buffer.Data, kData), EqdBaseException);
  EXPECT_THROW(cursor->SetFieldAsVariantSelf(buffer.Data, kData, TqdVariant::FromBytes({1})), EqdBaseException);
}

TEST_F(CursorTest, FieldsSourceAnswersFromTheFieldsDescriptor) {
  TqdFakeCursor* cursor = Open();
  Buffer buffer(cursor);
  EXPECT_EQ(cursor->GetFieldCountRedirect(), 5);
  EXPECT_EQ(cursor->GetFieldFromNameRedirect(u"wide"), 3);
  EXPECT_EQ(cursor->GetFieldFromNameRedirect(u"missing"), -1);
  EXPECT_EQ(cursor->GetFieldDescriptorRedirect(1)->GetName(), u"Name");
  EXPECT_EQ(cursor->GetFieldsOffsetRedirect(), 0);
  EXPECT_TRUE(cursor->BlobsSupportedSelf());
  EXPECT_EQ(cursor->GetCursorSelf(), cursor);
  int32_t id = 5;
  cursor->FieldsDescriptor()->SetRecordField(0, buffer.Data, &id);
  TqdFieldType type = qdtBoolean;
  int32_t size = 0;
  bool isNull = true;
  const uint8_t* value = nullptr;
  uint16_t codePage = 0;
  ASSERT_TRUE(cursor->GetFieldForFilterRedirect(0, u"", buffer.Data, type, size, isNull, value, codePage));
  EXPECT_EQ(type, qdtInt32);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(qdGetI32(value), 5);
}

TEST_F(CursorTest, CallbackFiltersReachTheCursorAsDescriptorsItCopies) {
  TqdFakeCursor* cursor = Open();
  {
    Buffer buffer(cursor);
    for (int32_t id = 1; id <= 4; ++id) {
      cursor->FieldsDescriptor()->SetRecordField(0, buffer.Data, &id);
      ASSERT_EQ(cursor->RecordInsert(qdltNoLock, buffer.Data, nullptr), 0u);
    }
  }
  struct Even {
    static bool Test(void* aCookie, const uint8_t* aBuffer) {
      ++*static_cast<int*>(aCookie);
      return qdGetI32(aBuffer) % 2 == 0;
    }
  };
  int calls = 0;
  TqdFilterID filterID = 0;
  ASSERT_EQ(cursor->FilterAddCallback(&calls, &Even::Test, filterID, true), 0u);
  EXPECT_NE(filterID, 0u);
  Buffer buffer(cursor);
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  std::vector<int32_t> seen;
  while (cursor->RecordGetNext(qdltNoLock, buffer.Data) == 0) seen.push_back(qdGetI32(buffer.Data));
  EXPECT_EQ(seen, (std::vector<int32_t>{2, 4}));
  EXPECT_EQ(calls, 4);

  TqdKeyFilterID keyFilterID = 0;
  ASSERT_EQ(cursor->KeyFilterAddCallback(&calls, &Even::Test, keyFilterID), 0u);
  EXPECT_NE(keyFilterID, 0u);
  int32_t odd = 3;
  std::memcpy(buffer.Data, &odd, 4);
  EXPECT_FALSE(cursor->KeyFilterMatches(buffer.Data));
  // A failure of the implementation comes back as its code.
  TqdFakeCursor* readOnly = Open(omReadOnly);
  readOnly->SessionLock()->Failed(false, false);
  EXPECT_EQ(readOnly->FilterAddCallback(&calls, &Even::Test, filterID, true), qdeTimeout);
  EXPECT_EQ(filterID, 0u);
}

TEST_F(CursorTest, ExpressionFiltersAreCheckedAndHandedOnAsDescriptors) {
  TqdFakeCursor* cursor = Open();
  Buffer buffer(cursor);
  for (int32_t id = 1; id <= 4; ++id) {
    cursor->FieldsDescriptor()->SetRecordField(0, buffer.Data, &id);
    ASSERT_EQ(cursor->RecordInsert(qdltNoLock, buffer.Data, nullptr), 0u);
  }
  test::CanExprBuilder builder;
  const std::vector<uint8_t> idAbove2 =
      builder.Build(builder.Compare(coGT, false, 0, builder.Field(1, "Id"), builder.Int32(2)));
  TqdFilterID filterID = 0;
  ASSERT_EQ(cursor->FilterAddExpression(idAbove2.data(), filterID, true), 0u);
  EXPECT_NE(filterID, 0u);
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  std::vector<int32_t> seen;
  while (cursor->RecordGetNext(qdltNoLock, buffer.Data) == 0) seen.push_back(qdGetI32(buffer.Data));
  EXPECT_EQ(seen, (std::vector<int32_t>{3, 4}));

  TqdKeyFilterID keyFilterID = 0;
  ASSERT_EQ(cursor->KeyFilterAddExpression(idAbove2.data(), keyFilterID), 0u);
  int32_t one = 1;
  std::memcpy(buffer.Data, &one, 4);
  EXPECT_FALSE(cursor->KeyFilterMatches(buffer.Data));

  // A node reference beyond the expression is refused as a damaged stream
  // before the cursor sees the filter.
  std::vector<uint8_t> damaged = idAbove2;
  damaged[6] = 0xF0;
  damaged[7] = 0x7F;
  filterID = 99;
  EXPECT_EQ(cursor->FilterAddExpression(damaged.data(), filterID, true), qdeIncompatibleStream);
  EXPECT_EQ(filterID, 0u);
  EXPECT_EQ(cursor->KeyFilterAddExpression(damaged.data(), keyFilterID), qdeIncompatibleStream);
}

TEST_F(CursorTest, TypedKeyFormsSayWhichImageTheyCarry) {
  TqdFakeCursor* c = Open();
  const uint8_t image[8] = {};
  struct Case {
    const char* name;
    std::function<TqdResult()> call;
    std::vector<bool> directKeys;
  };
  const Case cases[] = {
      {"SetToKeyRecord", [&] { return c->SetToKeyRecord(skaEqualFirst, 1, 0, image); }, {false}},
      {"SetToKeyImage", [&] { return c->SetToKeyImage(skaEqualFirst, 1, 0, image); }, {true}},
      {"RecordGetForKeyRecord", [&] { return c->RecordGetForKeyRecord(1, 0, image, nullptr, true, true); }, {false}},
      {"RecordGetForKeyImage", [&] { return c->RecordGetForKeyImage(1, 0, image, nullptr, true, true); }, {true}},
      {"RangeSetRecords", [&] { return c->RangeSetRecords(1, 0, image, true, 1, 0, image, true); }, {false, false}},
      {"RangeSetKeys", [&] { return c->RangeSetKeys(1, 0, image, true, 1, 0, image, true); }, {true, true}},
      {"RangeSetRecordToKey",
       [&] { return c->RangeSetRecordToKey(1, 0, image, true, 1, 0, image, true); },
       {false, true}},
      {"RangeSetKeyToRecord",
       [&] { return c->RangeSetKeyToRecord(1, 0, image, true, 1, 0, image, true); },
       {true, false}},
  };
  for (const Case& x : cases) {
    c->DirectKeys.clear();
    EXPECT_EQ(x.call(), 0u) << x.name;
    EXPECT_EQ(c->DirectKeys, x.directKeys) << x.name;
  }
}

// --- Options and the request-close handler -------------------------------------------------------

TEST_F(CursorTest, CursorOptionsReportWhatChanged) {
  TqdFakeCursor* cursor = Open();
  EXPECT_TRUE(cursor->AddCursorOption(acoFlipOrder));
  EXPECT_FALSE(cursor->AddCursorOption(acoFlipOrder));
  EXPECT_TRUE(cursor->AddCursorOptions({acoFlipOrder, acoSkipReadingBlobDataForBatch}));
  EXPECT_FALSE(cursor->AddCursorOptions({acoFlipOrder, acoSkipReadingBlobDataForBatch}));
  EXPECT_EQ(cursor->CursorOptions().Bits(), (1u << 4) | (1u << 25));
  EXPECT_TRUE(cursor->HasAllCursorOptions({acoFlipOrder, acoSkipReadingBlobDataForBatch}));
  EXPECT_FALSE(cursor->HasAllCursorOptions({acoFlipOrder, acoPreCacheMarkedBlobs}));
  EXPECT_TRUE(cursor->HasAnyCursorOptions({acoFlipOrder, acoPreCacheMarkedBlobs}));
  EXPECT_TRUE(cursor->RemoveCursorOptions({acoPreCacheMarkedBlobs, acoFlipOrder}));
  EXPECT_FALSE(cursor->RemoveCursorOptions({acoPreCacheMarkedBlobs, acoFlipOrder}));
  EXPECT_TRUE(cursor->RemoveCursorOption(acoSkipReadingBlobDataForBatch));
  EXPECT_FALSE(cursor->RemoveCursorOption(acoSkipReadingBlobDataForBatch));
  EXPECT_TRUE(cursor->CursorOptions().Empty());
}

TEST_F(CursorTest, RequestCloseHandlerCallsItsEventUntilDisconnected) {
  TqdFakeCursor* cursor = Open();
  EXPECT_FALSE(cursor->sbcGetOnRequestClose());
  std::vector<TqdAbstractCursor*> asked;
  TqdRef<IqdRequestCloseHandlerEvent> handler =
      qdMakeRequestCloseHandler([&](TqdAbstractCursor* aSender) { asked.push_back(aSender); });
  cursor->sbcSetOnRequestClose(handler);
  TqdRef<IqdRequestCloseHandler> got = cursor->sbcGetOnRequestClose();
  ASSERT_TRUE(got);
  got->RequestClose(cursor);
  handler->Disconnect();
  got->RequestClose(cursor);
  EXPECT_EQ(asked, (std::vector<TqdAbstractCursor*>{cursor}));
  // An empty event never calls.
  qdMakeRequestCloseHandler(nullptr)->RequestClose(cursor);
  // A cursor freed while holding the handler drops its reference.
  TqdAbstractServerObject* object = cursor;
  EXPECT_EQ(TqdAbstractServerObject::Close(object), 0u);
}

// --- Table streams through temporary objects ---------------------------------------------------------

TEST_F(CursorTest, TableStreamsThroughTemporaryDatabasesAndCursors) {
  const int32_t databases = engine->DatabaseCount();
  const int32_t cursors = engine->CursorCount();
  TqdMemoryStream out(-1);
  out.Write("abc", 3);
  EXPECT_EQ(session->TableStreamWrite(u"Main", u"T", u"", u"S", &out), 0u);
  EXPECT_EQ(table->Streams[u"S"], (std::vector<uint8_t>{'a', 'b', 'c'}));
  TqdMemoryStream in(-1);
  EXPECT_EQ(session->TableStreamRead(u"Main", u"T", u"", u"S", &in), 0u);
  EXPECT_EQ(in.Size(), 3);
  TqdMemoryStream viaDatabase(-1);
  EXPECT_EQ(database->TableStreamRead(u"T", u"", u"S", &viaDatabase), 0u);
  EXPECT_EQ(viaDatabase.Size(), 3);

  struct Case {
    const char16_t* alias;
    const char16_t* table;
    const char16_t* stream;
    TqdResult result;
  };
  for (const Case& c : {Case{u"Nowhere", u"T", u"S", qdeUnknownDb}, Case{u"Main", u"Missing", u"S", qdeNoSuchTable},
                        Case{u"Main", u"T", u"Missing", qdeObjNotFound}}) {
    TqdMemoryStream stream(-1);
    EXPECT_EQ(session->TableStreamRead(c.alias, c.table, u"", c.stream, &stream), c.result)
        << StringToUtf8(c.alias) << " " << StringToUtf8(c.table);
  }
  // An implementation that answers success without an object is a failure,
  // not a crash.
  TqdMemoryStream stream(-1);
  static_cast<TqdFakeDatabase*>(database)->ReportNoObject = true;
  EXPECT_EQ(database->TableStreamRead(u"T", u"", u"S", &stream), qdeObjNotFound);
  static_cast<TqdFakeSession*>(session)->ReportNoDatabase = true;
  EXPECT_EQ(session->TableStreamWrite(u"Main", u"T", u"", u"S", &stream), qdeObjNotFound);
  bool exists = true;
  EXPECT_EQ(session->TableExists(u"Main", u"T", u"", exists, false), qdeObjNotFound);
  EXPECT_FALSE(exists);
  // The temporary objects are gone, whatever happened.
  EXPECT_EQ(engine->DatabaseCount(), databases);
  EXPECT_EQ(engine->CursorCount(), cursors);
}

TEST_F(CursorTest, TableStreamsOpenTheirTemporaryObjectsAsTheyNeed) {
  table->Streams[u"S"] = {1};
  ASSERT_EQ(database->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"), 0u);
  struct Case {
    const char* name;
    std::function<TqdResult(TStream*)> call;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"session read",
       [&](TStream* aStream) { return session->TableStreamRead(u"Main", u"T", u"", u"S", aStream); },
       {"database Name Main ReadOnly Shared",
        "cursor T ReadOnly Shared index=''/-1 system=0 options=0 filter=500 blobs=none"}},
      {"session write",
       [&](TStream* aStream) { return session->TableStreamWrite(u"Main", u"T", u"", u"S", aStream); },
       {"database Name Main ReadWrite Shared",
        "cursor T ReadWrite Shared index=''/-1 system=0 options=0 filter=500 blobs=none"}},
      // The database's own option lets the temporary cursor see system tables.
      {"database read",
       [&](TStream* aStream) { return database->TableStreamRead(u"T", u"", u"S", aStream); },
       {"cursor T ReadOnly Shared index=''/-1 system=1 options=0 filter=500 blobs=none"}},
      {"database write",
       [&](TStream* aStream) { return database->TableStreamWrite(u"T", u"", u"S", aStream); },
       {"cursor T ReadWrite Shared index=''/-1 system=1 options=0 filter=500 blobs=none"}},
  };
  for (const Case& c : cases) {
    engine->OpenLog.clear();
    TqdMemoryStream stream(-1);
    stream.Write("x", 1);
    EXPECT_EQ(c.call(&stream), 0u) << c.name;
    EXPECT_EQ(engine->OpenLog, c.log) << c.name;
  }
}

}  // namespace
}  // namespace qd
