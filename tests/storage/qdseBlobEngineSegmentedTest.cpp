// The segmented BLOB engine: root kinds and their transitions, file BLOBs
// and links, the errors and results of every operation, random scripts
// against a byte model (commits, rollbacks, reopening), damaged trees, and
// a table made from a dictionary with memo and graphic fields.
#include "storage/qdseBlobEngineSegmented.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllStreams.h"
#include "storage/qdseBlockHeapEngineNonfragmenting.h"
#include "storage/qdsrRecordEngineBase.h"
#include "tests/storage/qdsrTestOwner.h"
#include "tests/support/qdTestFolder.h"

namespace qd::test {
namespace {

std::vector<uint8_t> Pattern(uint32_t aSize, uint32_t aSeed) {
  std::vector<uint8_t> bytes(aSize);
  uint32_t x = aSeed * 2654435761u + 1;
  for (uint32_t i = 0; i < aSize; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = uint8_t(x >> 16);
  }
  return bytes;
}

class BlobEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fBlob = static_cast<TqdHeapBlobDescriptor*>(fDictionary.AddBlobDescriptor());
    fBlob->AddHeapDescriptor()->AddBlockHeapDescriptor();
    fTable = TqdTestTable::Create(&fCache, "/db/b.qd1");
  }
  // The engine of a new table (its section created) with the file's
  // engine version set to aVersion.
  void Create(int32_t aVersion = 47501) {
    if (fEngine) {
      fTrans.reset();
      fEngine.reset();
      fTable = TqdTestTable::Create(&fCache, "/db/b" + std::to_string(++fTables) + ".qd1");
    }
    fTable->File()->fiQendoVersion = aVersion;
    TqdTestTransaction trans(&fCache);
    fEngine.reset(TqdBaseBlobEngine::CreateEngine(fBlob, {&fTable->Access()}, &trans));
    trans.Commit();
  }
  void TearDown() override {
    fTrans.reset();
    fEngine.reset();
    fCache.CheckInvariants();
    fTable.reset();
    EXPECT_EQ(fCache.InUseCount(), 0u);
  }
  void Reopen() {
    fTrans.reset();
    fEngine.reset();
    fTable.reset();
    fTable = TqdTestTable::Open(&fCache, "/db/b.qd1");
    fEngine.reset(TqdBaseBlobEngine::CreateEngine(fBlob, {&fTable->Access()}, nullptr));
  }
  TqdBaseTransaction* Trans() {
    if (!fTrans) fTrans = std::make_unique<TqdTestTransaction>(&fCache);
    return fTrans.get();
  }
  void Commit() {
    Trans()->Commit();
    fTrans.reset();
  }
  void Rollback() {
    Trans()->Rollback();
    fEngine->Rollback(fTrans.get());
    fTrans.reset();
  }
  TqdSegmentedBlobEngine& Engine() { return static_cast<TqdSegmentedBlobEngine&>(*fEngine); }
  TqdBlobNr New() {
    TqdBlobNr number = 0;
    fEngine->AddBlob(Trans(), number);
    return number;
  }
  void Write(TqdBlobNr aNumber, uint32_t aOffset, const std::vector<uint8_t>& aBytes) {
    fEngine->Write(Trans(), aNumber, aOffset, uint32_t(aBytes.size()), aBytes.data());
  }
  std::vector<uint8_t> Read(TqdBlobNr aNumber, uint32_t aOffset = 0, uint32_t aLen = 0xFFFFFFFF) {
    TqdMemoryStream stream(-1);
    EXPECT_EQ(fEngine->Read(Trans(), aNumber, aOffset, aLen, nullptr, stream), 0u);
    return std::vector<uint8_t>(stream.ByteArray(), stream.ByteArray() + stream.Size());
  }
  uint32_t Length(TqdBlobNr aNumber) {
    uint32_t length = 0;
    EXPECT_EQ(fEngine->GetBlobLength(Trans(), aNumber, nullptr, length), 0u);
    return length;
  }
  // The root segment as stored.
  std::vector<uint8_t> Root(TqdBlobNr aNumber) {
    uint16_t size = 0;
    TqdBlockRef block;
    PqdHeapSegment data =
        Engine().HeapEngine()->GetSegment(Trans(), aNumber & fEngine->BlobNrMask(), false, size, block);
    return std::vector<uint8_t>(data, data + size);
  }
  uint32_t RootRoom(TqdBlobNr aNumber) {
    TqdBlockRef block = Engine().HeapEngine()->ReadBlockHeap(Trans(), TqdBlockNumber(aNumber >> 32), false);
    return Engine().HeapEngine()->BlockHeapEngine()->GetFreespace(const_cast<PqdBlock>(block.Data())) +
           uint32_t(Root(aNumber).size());
  }
  void PokeRoot(TqdBlobNr aNumber, uint32_t aOffset, uint8_t aValue) {
    uint16_t size = 0;
    TqdBlockRef block;
    PqdHeapSegment data = Engine().HeapEngine()->GetSegment(Trans(), aNumber, true, size, block);
    data[aOffset] = aValue;
  }
  void PokeRootU32(TqdBlobNr aNumber, uint32_t aOffset, uint32_t aValue) {
    uint16_t size = 0;
    TqdBlockRef block;
    PqdHeapSegment data = Engine().HeapEngine()->GetSegment(Trans(), aNumber, true, size, block);
    qdPutU32(data + aOffset, aValue);
  }
  void PokeRootI64(TqdBlobNr aNumber, uint32_t aOffset, int64_t aValue) {
    uint16_t size = 0;
    TqdBlockRef block;
    PqdHeapSegment data = Engine().HeapEngine()->GetSegment(Trans(), aNumber, true, size, block);
    qdPutI64(data + aOffset, aValue);
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  TqdDataDictionary fDictionary;
  TqdHeapBlobDescriptor* fBlob = nullptr;
  std::unique_ptr<TqdTestTable> fTable;
  std::unique_ptr<TqdBaseBlobEngine> fEngine;
  std::unique_ptr<TqdTestTransaction> fTrans;
  int fTables = 0;
};

// --- Kinds --------------------------------------------------------------------------------

TEST_F(BlobEngineTest, SmallBlobsLiveInTheRootAndGrowIntoADataRootInPlace) {
  Create();
  EXPECT_EQ(&fEngine->ClassType(), &TqdSegmentedBlobEngine::ClassInfo);
  const TqdBlobNr blob = New();
  EXPECT_EQ(Root(blob).size(), 13u);
  EXPECT_EQ(Root(blob)[0], 0);
  const std::vector<uint8_t> eleven = Pattern(11, 1);
  Write(blob, 0, eleven);
  std::vector<uint8_t> root = Root(blob);
  ASSERT_EQ(root.size(), 13u);
  EXPECT_EQ(root[0], 3);
  EXPECT_EQ(root[12], 11);
  Write(blob, 11, {0x77});
  root = Root(blob);
  ASSERT_EQ(root.size(), 13u);
  EXPECT_EQ(root[0], 4);
  std::vector<uint8_t> twelve = eleven;
  twelve.push_back(0x77);
  EXPECT_EQ(Read(blob), twelve);
  EXPECT_EQ(Length(blob), 12u);
}

TEST_F(BlobEngineTest, TruncationTurnsADataRootBackIntoSmallAndEmpty) {
  Create();
  const TqdBlobNr blob = New();
  const std::vector<uint8_t> bytes = Pattern(20, 2);
  Write(blob, 0, bytes);
  EXPECT_EQ(Root(blob).size(), 21u);
  fEngine->Truncate(Trans(), blob, 5);
  std::vector<uint8_t> root = Root(blob);
  ASSERT_EQ(root.size(), 13u);
  EXPECT_EQ(root[0], 3);
  EXPECT_EQ(root[12], 5);
  EXPECT_EQ(Read(blob), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 5));
  fEngine->Truncate(Trans(), blob, 0);
  EXPECT_EQ(Root(blob)[0], 0);
  EXPECT_EQ(Length(blob), 0u);
  EXPECT_TRUE(Read(blob).empty());
}

TEST_F(BlobEngineTest, TheRootBecomesATreeExactlyWhenItsBlockCannotHoldTheData) {
  Create();
  const TqdBlobNr fits = New();
  const uint32_t room = RootRoom(fits);
  Write(fits, 0, Pattern(room - 1, 3));
  EXPECT_EQ(Root(fits)[0], 4) << "length + 1 equals the room";
  EXPECT_EQ(Root(fits).size(), room);
  Commit();
  const TqdBlobNr spills = New();
  const uint32_t room2 = RootRoom(spills);
  const std::vector<uint8_t> bytes = Pattern(room2, 4);
  Write(spills, 0, bytes);
  EXPECT_EQ(Root(spills)[0], 5) << "length + 1 exceeds the room by one";
  EXPECT_EQ(Read(spills), bytes);
  EXPECT_EQ(Read(fits), Pattern(room - 1, 3));
}

TEST_F(BlobEngineTest, FileBlobNamesArePaddedByTableVersion) {
  struct Case {
    int32_t version;
    std::vector<uint8_t> stored;
  };
  const Case cases[] = {
      {29999, {1, 'p', 'i', 'c', '.', 'x', 0, 0, 0, 0, 0, 0, 0}},
      {30000, {6, 'p', 0, 'i', 0, 'c', 0, '.', 0, 'x', 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Create(c.version);
    TqdBlobNr blob = 0;
    fEngine->AddFileBlob(Trans(), u"pic.x", blob);
    EXPECT_EQ(Root(blob), c.stored) << c.version;
    qdString name;
    EXPECT_TRUE(fEngine->IsFileBlob(Trans(), blob, name));
    EXPECT_EQ(name, u"pic.x");
    qdString table;
    TqdBlobNr source = 9;
    EXPECT_FALSE(fEngine->IsBlobLink(Trans(), blob, table, source));
    EXPECT_EQ(source, 0);
    Commit();
  }
}

TEST_F(BlobEngineTest, AFileBlobReadsAndMeasuresTheExternalFile) {
  Create();
  const std::vector<uint8_t> content = Pattern(5000, 5);
  fFixture.Fs().WriteAll("/db/pic.bin", content);
  TqdBlobNr blob = 0;
  fEngine->AddFileBlob(Trans(), u"pic.bin", blob);
  EXPECT_EQ(Length(blob), 5000u);
  EXPECT_EQ(Read(blob, 100, 50), std::vector<uint8_t>(content.begin() + 100, content.begin() + 150));
  TqdBlobNr missing = 0;
  fEngine->AddFileBlob(Trans(), u"gone.bin", missing);
  uint32_t length = 0;
  EXPECT_EQ(fEngine->GetBlobLength(Trans(), missing, nullptr, length), qdeFileBlobOpenErr);
  TqdMemoryStream stream(-1);
  EXPECT_EQ(fEngine->Read(Trans(), missing, 0, 10, nullptr, stream), qdeFileBlobOpenErr);
  EXPECT_EQ(CodeOf([&] { Write(blob, 0, {1}); }), qdeFieldReadOnly);
  EXPECT_EQ(TextOf([&] { fEngine->Truncate(Trans(), blob, 3); }), "Trying to modify read-only field.");
  fEngine->Truncate(Trans(), blob, 0);
  EXPECT_EQ(Root(blob)[0], 0);
  EXPECT_EQ(Length(blob), 0u);
}

TEST_F(BlobEngineTest, ALinkCallsTheCallbacksWithItsStoredSource) {
  Create();
  TqdBlobNr link = 0;
  fEngine->AddBlobLink(Trans(), u"Pictures", 0x123456789, link);
  EXPECT_EQ(Root(link).size(), 9u + 16u);
  qdString seenTable;
  TqdBlobNr seenNumber = 0;
  uint32_t seenOffset = 0;
  uint32_t seenLen = 0;
  TqdBlobLinkRead reader = [&](const qdString& aTable, TqdBlobNr aNumber, uint32_t aOffset, uint32_t aLen,
                               TStream& aStream) -> TqdResult {
    seenTable = aTable;
    seenNumber = aNumber;
    seenOffset = aOffset;
    seenLen = aLen;
    aStream.WriteBuffer("abc", 3);
    return 0;
  };
  TqdBlobLinkGetLength measurer = [&](const qdString& aTable, TqdBlobNr aNumber, uint32_t& aLength) -> TqdResult {
    seenTable = aTable;
    seenNumber = aNumber;
    aLength = 77;
    return 0;
  };
  TqdMemoryStream stream(-1);
  EXPECT_EQ(fEngine->Read(Trans(), link, 5, 3, reader, stream), 0u);
  EXPECT_EQ(seenTable, u"Pictures");
  EXPECT_EQ(seenNumber, 0x123456789);
  EXPECT_EQ(seenOffset, 5u);
  EXPECT_EQ(seenLen, 3u);
  EXPECT_EQ(stream.Size(), 3);
  uint32_t length = 0;
  seenNumber = 0;
  EXPECT_EQ(fEngine->GetBlobLength(Trans(), link, measurer, length), 0u);
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(seenNumber, 0x123456789);
  qdString table;
  TqdBlobNr source = 0;
  EXPECT_TRUE(fEngine->IsBlobLink(Trans(), link, table, source));
  EXPECT_EQ(table, u"Pictures");
  EXPECT_EQ(source, 0x123456789);
  EXPECT_EQ(CodeOf([&] { Write(link, 0, {1}); }), qdeFieldReadOnly);
  const TqdBlobNr neighbour = New();
  Write(neighbour, 0, Pattern(100, 6));
  fEngine->DeleteBlob(Trans(), link);
  EXPECT_EQ(CodeOf([&] { Root(link); }), qdeSegmentDeleted) << "the root is gone";
  EXPECT_EQ(Read(neighbour), Pattern(100, 6));
}

TEST_F(BlobEngineTest, AShortLinkTruncatedToZeroGrowsIntoAnEmptyRoot) {
  Create();
  TqdBlobNr link = 0;
  fEngine->AddBlobLink(Trans(), u"T", 5, link);
  EXPECT_EQ(Root(link).size(), 11u);
  fEngine->Truncate(Trans(), link, 0);
  EXPECT_EQ(Root(link).size(), 13u);
  EXPECT_EQ(Root(link)[0], 0);
  // A link with an empty name is 9 bytes; in a block without room it stays
  // as it is and 11896 says why.
  TqdBlobNr full = 0;
  fEngine->AddBlobLink(Trans(), u"", 6, full);
  ASSERT_EQ(Root(full).size(), 9u);
  const TqdBlobNr filler = New();
  ASSERT_EQ(TqdBlockNumber(filler >> 32), TqdBlockNumber(full >> 32));
  Write(filler, 0, Pattern(RootRoom(filler) - 1, 1));
  ASSERT_EQ(TqdBlockNumber(filler >> 32), TqdBlockNumber(full >> 32));
  ASSERT_LT(RootRoom(full), 13u);
  const std::vector<uint8_t> before = Root(full);
  EXPECT_EQ(CodeOf([&] { fEngine->Truncate(Trans(), full, 0); }), qdeBlobError);
  EXPECT_EQ(Root(full), before);
}

// --- Errors and results ------------------------------------------------------------------------

TEST_F(BlobEngineTest, OffsetsAndLengthsBeyondTheBlobAreRefused) {
  Create();
  const TqdBlobNr blob = New();
  Write(blob, 0, Pattern(30, 7));
  const std::vector<uint8_t> root = Root(blob);
  fEngine->Write(Trans(), blob, 30, 0, nullptr);
  EXPECT_EQ(Root(blob), root) << "0 bytes at the end change nothing";
  const TqdBlobNr masked = blob & fEngine->BlobNrMask();
  EXPECT_EQ(CodeOf([&] { fEngine->Write(Trans(), blob, 31, 0, nullptr); }), qdeInvalidBlobOffset);
  EXPECT_EQ(TextOf([&] { fEngine->Write(Trans(), blob, 31, 0, nullptr); }),
            "Offset value is greater than the length of the BLOB [/db/b.qd1, (" + std::to_string(masked) +
                "), offset 31, length 30]");
  EXPECT_EQ(CodeOf([&] { fEngine->Truncate(Trans(), blob, 31); }), qdeInvalidBlobLen);
  EXPECT_EQ(TextOf([&] { fEngine->Truncate(Trans(), blob, 31); }),
            "Truncate length is greater than length of BLOB [/db/b.qd1, (" + std::to_string(masked) +
                "), offset 31, length 30]");
  uint8_t byte = 1;
  EXPECT_EQ(CodeOf([&] { fEngine->Write(Trans(), blob, 30, 0xFFFFFFF0u, &byte); }), qdeBlobTooLarge);
  EXPECT_EQ(TextOf([&] { fEngine->Write(Trans(), blob, 30, 0xFFFFFFF0u, &byte); }), "BLOB size exceeds maximum size.");
  EXPECT_TRUE(Read(blob, 31, 10).empty());
  EXPECT_TRUE(Read(blob, 30, 10).empty());
  EXPECT_EQ(Root(blob), root);
}

TEST_F(BlobEngineTest, AnUnknownTypeByteIsResult11896ForReadersAndRaisedForWriters) {
  Create();
  const TqdBlobNr blob = New();
  Write(blob, 0, Pattern(20, 8));
  PokeRoot(blob, 0, 9);
  uint32_t length = 0;
  EXPECT_EQ(fEngine->GetBlobLength(Trans(), blob, nullptr, length), qdeBlobError);
  TqdMemoryStream stream(-1);
  EXPECT_EQ(fEngine->Read(Trans(), blob, 0, 5, nullptr, stream), qdeBlobError);
  EXPECT_EQ(CodeOf([&] { Write(blob, 0, {1}); }), qdeBlobError);
  EXPECT_EQ(CodeOf([&] { fEngine->Truncate(Trans(), blob, 1); }), qdeBlobError);
  fEngine->DeleteBlob(Trans(), blob);
  EXPECT_EQ(Root(blob)[0], 9) << "an unknown root is left alone";
}

TEST_F(BlobEngineTest, FreeBlobEndsOnlyAnEmptyBlob) {
  Create();
  const TqdBlobNr fresh = New();
  const TqdBlobNr written = New();
  Write(written, 0, {1, 2, 3});
  EXPECT_FALSE(fEngine->FreeBlob(nullptr, fresh));
  EXPECT_FALSE(fEngine->FreeBlob(Trans(), written));
  EXPECT_EQ(Read(written), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(fEngine->FreeBlob(Trans(), fresh));
  EXPECT_NE(CodeOf([&] { Root(fresh); }), 0u) << "its number is invalid now";
}

TEST_F(BlobEngineTest, BlobNumbersCountRewritesFromVersion47005) {
  struct Case {
    int32_t version;
    bool counts;
  };
  for (const Case& c : {Case{47005, true}, Case{47004, false}}) {
    Create(c.version);
    const TqdBlobNr blob = New();
    Write(blob, 0, {4, 5});
    TqdBlobNr again = blob;
    fEngine->IncBlobNr(again);
    EXPECT_EQ(again != blob, c.counts) << c.version;
    EXPECT_EQ(fEngine->BlobNrMask() == TqdBlobNr(-1), !c.counts);
    EXPECT_EQ(Read(again), (std::vector<uint8_t>{4, 5})) << "both numbers locate the root";
    Commit();
  }
}

TEST_F(BlobEngineTest, DescriptorsWithoutAHeapAreRefused) {
  TqdDataDictionary dictionary;
  auto* blob = static_cast<TqdHeapBlobDescriptor*>(dictionary.AddBlobDescriptor());
  blob->RemoveHeapDescriptor();
  EXPECT_EQ(CodeOf([&] { TqdSegmentedBlobEngine::CheckValidDescriptor(blob); }), qdeInvalidDesc);
  EXPECT_EQ(TextOf([&] { TqdSegmentedBlobEngine::CheckValidDescriptor(blob); }), "A HeapDescriptor is required");
}

// --- Random scripts against a model ------------------------------------------------------------

TEST_F(BlobEngineTest, RandomScriptsAgreeWithAByteModel) {
  Create();
  std::mt19937 random(11);
  std::vector<TqdBlobNr> blobs;
  std::vector<std::vector<uint8_t>> model;
  for (int i = 0; i < 4; ++i) {
    blobs.push_back(New());
    model.emplace_back();
  }
  Commit();
  std::vector<std::vector<uint8_t>> committed = model;
  auto check = [&](const char* aWhen, int aStep) {
    for (size_t b = 0; b < blobs.size(); ++b) {
      ASSERT_EQ(Length(blobs[b]), model[b].size()) << aWhen << " step " << aStep << " blob " << b;
      ASSERT_TRUE(Read(blobs[b]) == model[b]) << aWhen << " step " << aStep << " blob " << b;
    }
  };
  for (int step = 0; step < 400; ++step) {
    const size_t b = random() % blobs.size();
    std::vector<uint8_t>& bytes = model[b];
    const uint32_t action = random() % 10;
    if (action < 5) {
      const uint32_t offset = bytes.empty() ? 0 : uint32_t(random() % (bytes.size() + 1));
      const uint32_t kind = random() % 20;
      const uint32_t len = kind == 0 ? 3000000 + random() % 7000000 : kind < 5 ? random() % 20000 : random() % 300;
      if (bytes.size() + len > 10000000 && offset + len > bytes.size()) continue;
      const std::vector<uint8_t> data = Pattern(len, uint32_t(step));
      Write(blobs[b], offset, data);
      if (offset + len > bytes.size()) bytes.resize(offset + len);
      std::copy(data.begin(), data.end(), bytes.begin() + offset);
    } else if (action < 7) {
      const uint32_t len = bytes.empty() ? 0 : uint32_t(random() % (bytes.size() + 1));
      const uint32_t cut = random() % 3 == 0 ? std::min<uint32_t>(len, random() % 12) : len;
      fEngine->Truncate(Trans(), blobs[b], cut);
      bytes.resize(cut);
    } else if (action < 8) {
      // Appends exactly at the end, as a growing memo gets them.
      const std::vector<uint8_t> data = Pattern(1 + random() % 5000, uint32_t(step) + 7);
      if (bytes.size() + data.size() > 10000000) continue;
      Write(blobs[b], uint32_t(bytes.size()), data);
      bytes.insert(bytes.end(), data.begin(), data.end());
    } else if (action < 9) {
      if (!bytes.empty()) {
        const uint32_t offset = uint32_t(random() % bytes.size());
        const uint32_t len = uint32_t(random() % 70000);
        const std::vector<uint8_t> got = Read(blobs[b], offset, len);
        const size_t end = std::min<size_t>(bytes.size(), size_t(offset) + len);
        ASSERT_TRUE(got == std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + end)) << "step " << step;
      }
    } else if (random() % 3 == 0) {
      Rollback();
      model = committed;
      check("rollback", step);
    } else {
      Commit();
      committed = model;
      if (random() % 3 == 0) {
        Reopen();
        check("reopen", step);
      }
    }
    if (step % 10 == 0) check("script", step);
    if (HasFatalFailure()) return;
  }
  for (TqdBlobNr blob : blobs) fEngine->DeleteBlob(Trans(), blob);
  Commit();
  EXPECT_EQ(qdGetU32(fTable->Access().HeaderAccess(Trans(), false)->Header() + Engine().HeaderSection()), 0u)
      << "deleting every BLOB gives every heap block back";
}

TEST_F(BlobEngineTest, TruncatingATreeToOneLeafThatFitsPullsItBackIntoTheRoot) {
  Create();
  const TqdBlobNr blob = New();
  const std::vector<uint8_t> bytes = Pattern(20000, 9);
  Write(blob, 0, bytes);
  ASSERT_EQ(Root(blob)[0], 5);
  fEngine->Truncate(Trans(), blob, 2000);
  EXPECT_EQ(Root(blob)[0], 4);
  EXPECT_EQ(Root(blob).size(), 2001u);
  EXPECT_EQ(Read(blob), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2000));
  Write(blob, 2000, std::vector<uint8_t>(bytes.begin() + 2000, bytes.end()));
  ASSERT_EQ(Root(blob)[0], 5);
  fEngine->Truncate(Trans(), blob, 7);
  EXPECT_EQ(Root(blob)[0], 3);
  EXPECT_EQ(Read(blob), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 7));
  fEngine->DeleteBlob(Trans(), blob);
  Commit();
  EXPECT_EQ(qdGetU32(fTable->Access().HeaderAccess(Trans(), false)->Header() + Engine().HeaderSection()), 0u);
}

// --- Damaged trees --------------------------------------------------------------------------------

TEST_F(BlobEngineTest, DamagedSegmentsRaise8962) {
  Create();
  const TqdBlobNr small = New();
  Write(small, 0, {1, 2, 3});
  const TqdBlobNr tree = New();
  Write(tree, 0, Pattern(30000, 10));
  ASSERT_EQ(Root(tree)[0], 5);
  const uint32_t entries = uint32_t(Root(tree).size() - 1) / 12;
  ASSERT_GE(entries, 2u);
  Commit();
  struct Case {
    const char* what;
    std::function<void()> damage;
    TqdBlobNr blob;
  };
  const Case cases[] = {
      {"small count byte 0", [&] { PokeRoot(small, 12, 0); }, small},
      {"small count byte 12", [&] { PokeRoot(small, 12, 12); }, small},
      {"end offsets descending", [&] { PokeRootU32(tree, 1 + 8, 40000); }, tree},
      {"leaf shorter than its range", [&] { PokeRootU32(tree, 1 + 8, qdGetU32(Root(tree).data() + 9) - 1); }, tree},
      {"child outside the file", [&] { PokeRootI64(tree, 1, int64_t(90000) << 32 | 1); }, tree},
      {"cyclic index segment", [&] { PokeRootI64(tree, 1, tree); }, tree},
      {"empty root of 1 + 12k bytes", [&] { PokeRoot(tree, 0, 0); }, tree},
  };
  for (const Case& c : cases) {
    c.damage();
    TqdMemoryStream stream(-1);
    EXPECT_EQ(CodeOf([&] { (void)fEngine->Read(Trans(), c.blob, 0, 0xFFFFFFFF, nullptr, stream); }), qdeFileCorrupt)
        << c.what;
    EXPECT_EQ(CodeOf([&] { fEngine->Write(Trans(), c.blob, 0, 1, "x"); }), qdeFileCorrupt) << c.what;
    EXPECT_EQ(CodeOf([&] { fEngine->Truncate(Trans(), c.blob, 0); }), qdeFileCorrupt) << c.what;
    fTrans->Rollback();
    fEngine->Rollback(fTrans.get());
    fTrans.reset();
  }
  // The last entry pointing back at the root.
  PokeRootI64(tree, 1 + 12 * (entries - 1), tree);
  uint32_t length = 0;
  EXPECT_EQ(fEngine->GetBlobLength(Trans(), tree, nullptr, length), 0u) << "the length needs no walk";
  EXPECT_EQ(CodeOf([&] { Read(tree, 29999, 1); }), qdeFileCorrupt);
  Rollback();
}

// --- A table from a dictionary -------------------------------------------------------------------------

TEST(BlobEngineDictionary, ATableWithMemoAndGraphicFieldsReadsBackAfterReopening) {
  TempFolder folder;
  const std::string path = folder.File("drill.qd1").string();
  TqdBufferManager cache{u"/tmp"};
  TqdDataDictionary dict;
  dict.FieldsDescriptor()->AddField(u"Id", u"", qdtInt32, 0, 0, true);
  dict.FieldsDescriptor()->AddField(u"Explanation", u"", qdtBlobMemo, 0, 0, false);
  dict.FieldsDescriptor()->AddField(u"Figure", u"", qdtBlobGraphic, 0, 0, false);
  dict.CheckValid(true);
  ASSERT_NE(dict.BlobDescriptor(), nullptr) << "BLOB fields bring the default BLOB engine";
  TqdBaseSubEngine::CheckValidAll(&dict);
  TqdFieldsDescriptor* fields = dict.FieldsDescriptor();
  const int32_t count = 40;
  std::vector<TqdRefNr> refs;
  auto memo = [](int32_t aId) { return Pattern(uint32_t(50 + aId * 397), uint32_t(aId)); };
  auto figure = [](int32_t aId) { return Pattern(uint32_t(aId % 3 == 0 ? 70000 : 5 + aId), uint32_t(aId + 1000)); };
  {
    auto table = TqdTestTable::Create(&cache, path);
    TqdBlockAccessList files{&table->Access()};
    TqdTestTransaction trans(&cache);
    std::unique_ptr<TqdBaseRecordEngine> records(TqdBaseRecordEngine::CreateEngine(&dict, files, &trans));
    std::unique_ptr<TqdBaseBlobEngine> blobs(TqdBaseBlobEngine::CreateEngine(&dict, files, &trans));
    std::vector<uint8_t> record(size_t(fields->RecordLength()) + 4);
    for (int32_t id = 1; id <= count; ++id) {
      TqdBlobNr explanation = 0;
      TqdBlobNr picture = 0;
      blobs->AddBlob(&trans, explanation);
      blobs->AddBlob(&trans, picture);
      const std::vector<uint8_t> m = memo(id);
      const std::vector<uint8_t> f = figure(id);
      blobs->Write(&trans, explanation, 0, uint32_t(m.size()), m.data());
      blobs->Write(&trans, picture, 0, uint32_t(f.size()), f.data());
      fields->InitRecord(record.data());
      fields->fsdSetFieldByIndexAsVariant(record.data(), 0, TqdVariant(id));
      fields->SetRecordField(1, record.data(), &explanation);
      fields->SetRecordField(2, record.data(), &picture);
      TqdRefNr refNr = 0;
      records->AddRecord(&trans, refNr, record.data());
      refs.push_back(refNr);
    }
    records.reset();
    blobs.reset();
    trans.Commit();
  }
  auto table = TqdTestTable::Open(&cache, path);
  TqdBlockAccessList files{&table->Access()};
  std::unique_ptr<TqdBaseRecordEngine> records(TqdBaseRecordEngine::CreateEngine(&dict, files, nullptr));
  std::unique_ptr<TqdBaseBlobEngine> blobs(TqdBaseBlobEngine::CreateEngine(&dict, files, nullptr));
  std::vector<uint8_t> record(size_t(fields->RecordLength()) + 4);
  for (int32_t i = 0; i < count; ++i) {
    records->ReadRecord(nullptr, refs[size_t(i)], record.data());
    const int32_t id = fields->fsdGetFieldByIndexAsVariant(record.data(), 0).AsInteger();
    ASSERT_EQ(id, i + 1);
    for (int32_t field : {1, 2}) {
      TqdBlobNr number = 0;
      bool isNull = true;
      fields->GetRecordField(field, record.data(), isNull, &number);
      ASSERT_FALSE(isNull);
      TqdMemoryStream stream(-1);
      ASSERT_EQ(blobs->Read(nullptr, number, 0, 0xFFFFFFFF, nullptr, stream), 0u);
      const std::vector<uint8_t> expected = field == 1 ? memo(id) : figure(id);
      EXPECT_TRUE(std::vector<uint8_t>(stream.ByteArray(), stream.ByteArray() + stream.Size()) == expected)
          << "record " << id << " field " << field;
    }
  }
}

}  // namespace
}  // namespace qd::test
