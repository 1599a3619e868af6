// The cursor BLOB handlers: the null handler refuses every BLOB operation
// by name and lets record changes pass; the pass-through handler forwards
// to a real BLOB engine, follows links through the link handler, replaces
// content, lists a record's BLOBs and deletes them with the record.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllStreams.h"
#include "storage/qdsrBlobHandlerBase.h"
#include "storage/qdsrBlobHandlerPassthrough.h"
#include "tests/client/qdsdFakeEngine.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

using namespace qd::qdsdFakeEngine;

qdString pendingMessage(TqdResult aCode) { return EqdBaseException(static_cast<int64_t>(aCode)).ErrorString(); }

// Answers reads of linked BLOBs with the table name's characters and
// records what it was asked.
class TestLinkHandler : public TqdBaseBlobLinkHandler {
 public:
  using TqdBaseBlobLinkHandler::TqdBaseBlobLinkHandler;
  uint32_t BlobLinkRead(const qdString& aTableName, TqdBlobNr aBlobNr, uint32_t, uint32_t, TStream& aStream) override {
    fTable = aTableName;
    fNumber = aBlobNr;
    const std::string bytes = StringToUtf8(aTableName);
    aStream.WriteBuffer(bytes.data(), int32_t(bytes.size()));
    return 0;
  }
  uint32_t BlobLinkGetLength(const qdString& aTableName, TqdBlobNr aBlobNr, uint32_t& aLength) override {
    fTable = aTableName;
    fNumber = aBlobNr;
    aLength = uint32_t(aTableName.size());
    return 0;
  }
  qdString fTable;
  TqdBlobNr fNumber = 0;
};

// A table "T" (Id, Memo, Name, Figure) behind a fake cursor, and a real
// BLOB file for the pass-through handler.
class BlobHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = qdCreate<TqdFakeServerEngine>(nullptr);
    table = &engine->AddTable(u"T");
    TqdFieldsDescriptor* fields = table->Dictionary->FieldsDescriptor();
    fields->AddField(u"Id", u"", qdtInt32, 0, 0, true);
    fields->AddField(u"Memo", u"", qdtBlobMemo, 0, 0, false);
    fields->AddField(u"Name", u"", qdtNullString, 10, 0, false);
    fields->AddField(u"Figure", u"", qdtBlobGraphic, 0, 0, false);
    ASSERT_EQ(engine->SessionOpen(session, u"user", u"", u"direct", 10000), 0u);
    ASSERT_EQ(session->DatabaseOpen(database, u"Name", u"Main", nullptr, omReadWrite, smShared, 0), 0u);
    TqdAbstractCursor* opened = nullptr;
    ASSERT_EQ(database->CursorOpen(opened, u"T", u"", omReadWrite, smShared, 0, u"", -1, false, {}, 500, nullptr), 0u);
    cursor = static_cast<TqdFakeCursor*>(opened);
    record = cursor->RecordBufferAlloc();

    fBlob = static_cast<TqdHeapBlobDescriptor*>(fDictionary.AddBlobDescriptor());
    fBlob->AddHeapDescriptor()->AddBlockHeapDescriptor();
    fTable = TqdTestTable::Create(&fCache, "/db/h.qd1");
    TqdTestTransaction trans(&fCache);
    fEngine.reset(TqdBaseBlobEngine::CreateEngine(fBlob, {&fTable->Access()}, &trans));
    trans.Commit();
    link = qdCreate<TestLinkHandler>(nullptr);
    passthrough = qdCreate<TqdPassthroughBlobHandler>(cursor, fEngine.get(), link, fields);
    null = qdCreate<TqdNullBlobHandler>(cursor);
  }
  void TearDown() override {
    qdFreeAndNil(null);
    qdFreeAndNil(passthrough);
    qdFreeAndNil(link);
    cursor->RecordBufferFree(record);
    fTrans.reset();
    fEngine.reset();
    fTable.reset();
    if (session != nullptr) {
      EXPECT_EQ(TqdAbstractServerObject::Close(session), 0u);
    }
    TqdComponent* component = engine;
    qdFreeAndNil(component);
  }
  TqdBaseTransaction* Trans() {
    if (!fTrans) fTrans = std::make_unique<TqdTestTransaction>(&fCache);
    return fTrans.get();
  }
  void SetBlob(int32_t aField, TqdBlobNr aBlobNr) {
    cursor->FieldsDescriptor()->SetRecordField(aField, record, &aBlobNr);
  }
  std::vector<uint8_t> Read(TqdBlobNr aBlobNr) {
    TqdMemoryStream stream(-1);
    uint32_t length = 0;
    EXPECT_EQ(passthrough->BlobRead(Trans(), {}, 1, false, aBlobNr, 0, 0xFFFFFFFF, stream, &length), 0u);
    EXPECT_EQ(length, uint32_t(stream.Size()));
    return std::vector<uint8_t>(stream.ByteArray(), stream.ByteArray() + stream.Size());
  }

  TqdFakeServerEngine* engine = nullptr;
  TqdFakeTable* table = nullptr;
  TqdAbstractSession* session = nullptr;
  TqdAbstractDatabase* database = nullptr;
  TqdFakeCursor* cursor = nullptr;
  PqdRecordBuffer record = nullptr;

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  TqdDataDictionary fDictionary;
  TqdHeapBlobDescriptor* fBlob = nullptr;
  std::unique_ptr<TqdTestTable> fTable;
  std::unique_ptr<TqdBaseBlobEngine> fEngine;
  std::unique_ptr<TqdTestTransaction> fTrans;
  TestLinkHandler* link = nullptr;
  TqdPassthroughBlobHandler* passthrough = nullptr;
  TqdNullBlobHandler* null = nullptr;
};

TEST_F(BlobHandlerTest, TheNullHandlerRefusesEveryBlobOperationByName) {
  TqdBlobNr number = 5;
  bool flag = false;
  uint32_t length = 0;
  TqdMemoryStream stream(-1);
  const TqdRecID id{};
  struct Case {
    const char* name;
    std::function<TqdResult()> call;
  };
  const Case cases[] = {
      {"BlobCreate", [&] { return null->BlobCreate(Trans(), id, 1, number); }},
      {"BlobCreateFile", [&] { return null->BlobCreateFile(Trans(), id, 1, u"f", number); }},
      {"BlobCreateLink", [&] { return null->BlobCreateLink(Trans(), id, 1, u"t", 1, number); }},
      {"BlobDelete", [&] { return null->BlobDelete(Trans(), id, 1, number); }},
      {"BlobFree", [&] { return null->BlobFree(Trans(), id, 1, number, flag); }},
      {"BlobTruncate", [&] { return null->BlobTruncate(Trans(), id, 1, number, 0); }},
      {"BlobWrite", [&] { return null->BlobWrite(Trans(), id, 1, number, 0, 1, "x"); }},
      {"BlobReplace", [&] { return null->BlobReplace(Trans(), id, 1, number, 1, "x"); }},
      {"BlobGetLength", [&] { return null->BlobGetLength(Trans(), id, 1, false, number, length); }},
      {"BlobRead", [&] { return null->BlobRead(Trans(), id, 1, false, number, 0, 1, stream, nullptr); }},
      {"BlobModified", [&] { return null->BlobModified(Trans(), id, 1, number, flag); }},
      {"BlobAddToCache", [&] { return null->BlobAddToCache(Trans(), id, 1, number, 1, "x"); }},
      {"BlobCacheFlushed", [&] { return null->BlobCacheFlushed(Trans(), id, 1, number, nullptr); }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), qdeNotSupported) << c.name;
    EXPECT_EQ(StringToUtf8(pendingMessage(qdeNotSupported)),
              std::string(c.name) + " not supported by TqdNullBlobHandler");
  }
  EXPECT_EQ(number, 5);
  qdString source = u"kept";
  EXPECT_FALSE(null->BlobIsLink(Trans(), id, 1, number, source, number));
  EXPECT_TRUE(source.empty());
  EXPECT_FALSE(null->NeedNested());
  EXPECT_FALSE(null->BlobVerifyNr(Trans(), id, 1, number));
  EXPECT_EQ(null->AfterDelete(Trans(), id, record), 0u);
  EXPECT_EQ(null->BeforeInsert(Trans(), record), 0u);
  EXPECT_EQ(null->BeforeModify(Trans(), id, record, record), 0u);
  EXPECT_EQ(null->AfterModify(Trans(), id, record, record), 0u);
  SetBlob(1, 11);
  uint16_t count = 4;
  TqdBlobNr numbers[4] = {};
  EXPECT_EQ(null->GetBlobs(Trans(), record, nullptr, count, numbers), 0u);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(null->BlobsCancel(Trans(), 0), 0u);
  Trans()->Rollback();
}

TEST_F(BlobHandlerTest, GetBlobsListsTheNonZeroNumbersWithinTheCapacity) {
  uint16_t count = 4;
  TqdBlobNr numbers[4] = {};
  EXPECT_EQ(passthrough->GetBlobs(Trans(), nullptr, nullptr, count, numbers), qdeInvalidParam);
  EXPECT_EQ(count, 0);
  count = 4;
  SetBlob(1, 0);  // Figure stays null, Memo holds 0
  EXPECT_EQ(passthrough->GetBlobs(Trans(), record, nullptr, count, numbers), 0u);
  EXPECT_EQ(count, 0);
  SetBlob(1, 21);
  SetBlob(3, 23);
  count = 1;
  EXPECT_EQ(passthrough->GetBlobs(Trans(), record, nullptr, count, numbers), qdeOutOfRange);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(numbers[0], 21);
  count = 4;
  const uint32_t onlySecond[1] = {0b10};
  EXPECT_EQ(passthrough->GetBlobs(Trans(), record, onlySecond, count, numbers), 0u);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(numbers[0], 23);
  Trans()->Rollback();
}

TEST_F(BlobHandlerTest, ThePassthroughHandlerForwardsToTheEngine) {
  const TqdRecID id{};
  TqdBlobNr blob = 0;
  ASSERT_EQ(passthrough->BlobCreate(Trans(), id, 1, blob), 0u);
  const std::vector<uint8_t> bytes(5000, 0x42);
  ASSERT_EQ(passthrough->BlobWrite(Trans(), id, 1, blob, 0, uint32_t(bytes.size()), bytes.data()), 0u);
  EXPECT_EQ(Read(blob), bytes);
  ASSERT_EQ(passthrough->BlobTruncate(Trans(), id, 1, blob, 10), 0u);
  EXPECT_EQ(Read(blob), std::vector<uint8_t>(10, 0x42));
  EXPECT_TRUE(passthrough->BlobVerifyNr(Trans(), id, 1, 12345));
  EXPECT_FALSE(passthrough->NeedNested());
  bool deleted = true;
  ASSERT_EQ(passthrough->BlobFree(Trans(), id, 1, blob, deleted), 0u);
  EXPECT_FALSE(deleted) << "a written BLOB stays";
  TqdBlobNr empty = 0;
  ASSERT_EQ(passthrough->BlobCreate(Trans(), id, 1, empty), 0u);
  ASSERT_EQ(passthrough->BlobFree(Trans(), id, 1, empty, deleted), 0u);
  EXPECT_TRUE(deleted);
  ASSERT_EQ(passthrough->BlobDelete(Trans(), id, 1, blob), 0u);
  EXPECT_NE(CodeOf([&] { Read(blob); }), 0u);
  bool changed = false;
  EXPECT_EQ(passthrough->BlobModified(Trans(), id, 1, blob, changed), qdeNotSupported);
  Trans()->Commit();
  fTrans.reset();
}

TEST_F(BlobHandlerTest, ReadingTheOldStateIsRefusedByName) {
  uint32_t length = 0;
  TqdMemoryStream stream(-1);
  EXPECT_EQ(passthrough->BlobRead(Trans(), {}, 1, true, 1, 0, 1, stream, nullptr), qdeNotSupported);
  EXPECT_EQ(StringToUtf8(pendingMessage(qdeNotSupported)),
            "BlobRead with aReadOld = True is not supported by TqdPassthroughBlobHandler");
  EXPECT_EQ(passthrough->BlobGetLength(Trans(), {}, 1, true, 1, length), qdeNotSupported);
  EXPECT_EQ(StringToUtf8(pendingMessage(qdeNotSupported)),
            "BlobGetLength with aReadOld = True is not supported by TqdPassthroughBlobHandler");
  Trans()->Rollback();
}

TEST_F(BlobHandlerTest, ReplaceCreatesTruncatesAndLeavesExactlyTheNewContent) {
  const TqdRecID id{};
  TqdBlobNr none = 0;
  EXPECT_EQ(passthrough->BlobReplace(Trans(), id, 1, none, 0, nullptr), 0u);
  EXPECT_EQ(none, 0) << "nothing is created for no content";
  const std::vector<uint8_t> first(300, 1);
  TqdBlobNr blob = 0;
  ASSERT_EQ(passthrough->BlobReplace(Trans(), id, 1, blob, uint32_t(first.size()), first.data()), 0u);
  ASSERT_NE(blob, 0);
  EXPECT_EQ(Read(blob), first);
  const std::vector<uint8_t> shorter(20, 2);
  const TqdBlobNr same = blob;
  ASSERT_EQ(passthrough->BlobReplace(Trans(), id, 1, blob, uint32_t(shorter.size()), shorter.data()), 0u);
  EXPECT_EQ(blob, same);
  EXPECT_EQ(Read(blob), shorter);
  ASSERT_EQ(passthrough->BlobReplace(Trans(), id, 1, blob, 0, nullptr), 0u);
  EXPECT_EQ(blob, same);
  uint32_t length = 99;
  EXPECT_EQ(passthrough->BlobGetLength(Trans(), id, 1, false, blob, length), 0u);
  EXPECT_EQ(length, 0u);
  Trans()->Rollback();
}

TEST_F(BlobHandlerTest, LinksAreFollowedThroughTheLinkHandler) {
  const TqdRecID id{};
  TqdBlobNr blob = 0;
  ASSERT_EQ(passthrough->BlobCreateLink(Trans(), id, 1, u"Source", 77, blob), 0u);
  EXPECT_EQ(Read(blob), (std::vector<uint8_t>{'S', 'o', 'u', 'r', 'c', 'e'}));
  EXPECT_EQ(link->fTable, u"Source");
  EXPECT_EQ(link->fNumber, 77);
  qdString source;
  TqdBlobNr sourceNr = 0;
  EXPECT_TRUE(passthrough->BlobIsLink(Trans(), id, 1, blob, source, sourceNr));
  EXPECT_EQ(source, u"Source");
  EXPECT_EQ(sourceNr, 77);
  Trans()->Rollback();
}

TEST_F(BlobHandlerTest, AfterDeleteDeletesTheRecordsBlobsAndAFailureCorruptsTheTransaction) {
  const TqdRecID id{};
  TqdBlobNr memo = 0;
  TqdBlobNr figure = 0;
  ASSERT_EQ(passthrough->BlobCreate(Trans(), id, 1, memo), 0u);
  ASSERT_EQ(passthrough->BlobCreate(Trans(), id, 3, figure), 0u);
  SetBlob(1, memo);
  SetBlob(3, figure);
  EXPECT_EQ(passthrough->AfterDelete(Trans(), id, record), 0u);
  uint32_t length = 0;
  EXPECT_NE(CodeOf([&] { (void)fEngine->GetBlobLength(Trans(), memo, nullptr, length); }), 0u);
  EXPECT_EQ(Trans()->CheckState(), 0u);
  // The same numbers again: their heap block went back to the file with its
  // last segment, so the engine fails on it.
  EXPECT_EQ(passthrough->AfterDelete(Trans(), id, record), qdeNotHeapBlock);
  EXPECT_EQ(Trans()->CheckState(), qdeTransCorrupt);
  Trans()->Rollback();
}

}  // namespace
}  // namespace qd::test
