// The multi-block heap: data blocks chosen from the cached free-space map,
// map entries only for blocks with room, data and map blocks given back as
// they empty, splitting allocations, the rebuilt cache after a rollback,
// and damaged map chains.
#include "storage/qdseHeapEngineCached.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "storage/qdseBlockHeapEngineNonfragmenting.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

constexpr uint32_t kUsable = 4092;

// Keeps the map root in a header section of its own and counts the data
// blocks it was told about.
class TestHeaderHandler : public TqdHeapHeaderHandler {
 public:
  explicit TestHeaderHandler(uint16_t aSection, int* aLinked) : fSection(aSection), fLinked(aLinked) {}
  void DataBlockAdded(TqdBaseTransaction*, TqdBaseFileHeaderAccess*, PqdBlock) override { ++*fLinked; }
  void DataBlockRemoved(TqdBaseTransaction*, TqdBaseFileHeaderAccess*, PqdBlock) override { --*fLinked; }
  TqdBlockNumber GetMapRoot(TqdBaseFileHeaderAccess* aHeader) override {
    return qdGetU32(aHeader->Header() + fSection);
  }
  void SetMapRoot(TqdBaseFileHeaderAccess* aHeader, TqdBlockNumber aNumber) override {
    qdPutU32(aHeader->WritableHeader() + fSection, aNumber);
  }

 private:
  uint16_t fSection;
  int* fLinked;
};

class CachedHeapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fTable = TqdTestTable::Create(&fCache, "/db/h.qd1");
    fHeap = fBlob.AddHeapDescriptor();
    fHeap->AddBlockHeapDescriptor();
    TqdTestTransaction trans(&fCache);
    {
      auto header = fTable->Access().HeaderAccess(&trans, true);
      fSection = header->RegisterHeaderSection("HeapTest", 4, true, false);
      qdPutU32(header->WritableHeader() + fSection, 0);
    }
    trans.Commit();
    MakeEngine();
  }
  void MakeEngine() {
    fEngine.reset(static_cast<TqdCachedHeapEngine*>(
        TqdBaseHeapEngine::CreateEngine(fHeap, &fTable->Access(), new TestHeaderHandler(fSection, &fLinked))));
  }
  void TearDown() override {
    fTrans.reset();
    fEngine.reset();
    fCache.CheckInvariants();
    fTable.reset();
    EXPECT_EQ(fCache.InUseCount(), 0u);
  }
  TqdBaseTransaction* Trans() {
    if (!fTrans) fTrans = std::make_unique<TqdTestTransaction>(&fCache);
    return fTrans.get();
  }
  void Commit() {
    fTrans->Commit();
    fTrans.reset();
  }
  void Rollback() {
    fTrans->Rollback();
    fEngine->Rollback(fTrans.get());
    fTrans.reset();
  }
  TqdHeapRef Alloc(uint16_t aSize, uint8_t aFill = 0x33) {
    std::vector<uint8_t> bytes(aSize, aFill);
    return fEngine->AllocSegment(Trans(), {bytes.data()}, {aSize});
  }
  void Free(TqdHeapRef aRef) {
    TqdBlockRef block = fEngine->ReadBlockHeap(Trans(), TqdBlockNumber(aRef >> 32), true);
    fEngine->BlockHeapEngine()->FreeSegment(block.WritableData(), TqdSegmentRef(aRef));
  }
  std::vector<uint8_t> Bytes(TqdHeapRef aRef) {
    uint16_t size = 0;
    TqdBlockRef block;
    PqdHeapSegment data = fEngine->GetSegment(Trans(), aRef, false, size, block);
    return std::vector<uint8_t>(data, data + size);
  }
  uint32_t MapRoot() { return qdGetU32(fTable->Access().HeaderAccess(Trans(), false)->Header() + fSection); }
  uint16_t FreeOf(TqdBlockNumber aBlock) {
    TqdBlockRef block = fEngine->ReadBlockHeap(Trans(), aBlock, false);
    return fEngine->BlockHeapEngine()->GetFreespace(const_cast<PqdBlock>(block.Data()));
  }
  // The map as stored: (data block, free space) per entry, chain order.
  std::vector<std::pair<uint32_t, uint16_t>> StoredMap() {
    std::vector<std::pair<uint32_t, uint16_t>> entries;
    for (uint32_t next = MapRoot(); next != 0;) {
      TqdBlockRef block = fTable->Access().GetBlock(Trans(), next, 0, false);
      EXPECT_EQ(qdSignatureText(qdBlockSignature(block.Data())), u"QDHM");
      const uint16_t count = qdGetU16(block.Data() + 20);
      for (uint32_t e = 0; e < count; ++e)
        entries.emplace_back(qdGetU32(block.Data() + 22 + 6 * e), qdGetU16(block.Data() + 26 + 6 * e));
      next = qdGetU32(block.Data() + 16);
    }
    return entries;
  }
  void PokeU32(TqdBlockNumber aNumber, uint32_t aOffset, uint32_t aValue) {
    TqdBlockRef block = fTable->Access().GetBlock(Trans(), aNumber, 0, true);
    qdPutU32(block.WritableData() + aOffset, aValue);
  }
  void PokeU16(TqdBlockNumber aNumber, uint32_t aOffset, uint16_t aValue) {
    TqdBlockRef block = fTable->Access().GetBlock(Trans(), aNumber, 0, true);
    qdPutU16(block.WritableData() + aOffset, aValue);
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  std::unique_ptr<TqdTestTable> fTable;
  TqdDataDictionary fDictionary;
  TqdHeapBlobDescriptor fBlob{&fDictionary, "Blob"};
  TqdBaseHeapDescriptor* fHeap = nullptr;
  uint16_t fSection = 0;
  int fLinked = 0;
  std::unique_ptr<TqdCachedHeapEngine> fEngine;
  std::unique_ptr<TqdTestTransaction> fTrans;
};

TEST_F(CachedHeapTest, TheRegisteredEnginesAreTheDefaultPair) {
  EXPECT_EQ(&fEngine->ClassType(), &TqdCachedHeapEngine::ClassInfo);
  EXPECT_EQ(&fEngine->BlockHeapEngine()->ClassType(), &TqdNonfragmentingBlockHeapEngine::ClassInfo);
  EXPECT_EQ(fEngine->MaxEntries(), 678);
  EXPECT_EQ(fEngine->BlockHeapEngine()->MaxSegmentSize(), 4060);
  EXPECT_EQ(qdSignatureText(fEngine->SigDataBlock()), u"QDHD");
}

TEST_F(CachedHeapTest, SegmentsShareABlockWhileTheMapRecordsItsFreeSpace) {
  const TqdHeapRef a = Alloc(100, 1);
  const TqdHeapRef b = Alloc(200, 2);
  ASSERT_NE(a, 0);
  EXPECT_EQ(a >> 32, b >> 32) << "the block with the most room takes the second segment";
  EXPECT_EQ(fLinked, 1);
  const auto map = StoredMap();
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].first, uint32_t(a >> 32));
  EXPECT_EQ(map[0].second, FreeOf(TqdBlockNumber(a >> 32)));
  EXPECT_EQ(Bytes(a), std::vector<uint8_t>(100, 1));
  EXPECT_EQ(Bytes(b), std::vector<uint8_t>(200, 2));
  Commit();
  EXPECT_EQ(Bytes(b), std::vector<uint8_t>(200, 2));
}

TEST_F(CachedHeapTest, ANearlyFullBlockHasNoEntryAndAnEmptiedOneIsGivenBack) {
  const uint32_t usedBefore = fTable->Access().HeaderAccess(Trans(), false)->UsedBlocks();
  const TqdHeapRef full = Alloc(4030);
  EXPECT_TRUE(StoredMap().empty()) << "under 40 bytes free: not recorded";
  EXPECT_EQ(MapRoot(), 0u);
  const TqdHeapRef other = Alloc(3000);
  EXPECT_NE(full >> 32, other >> 32);
  ASSERT_EQ(StoredMap().size(), 1u);
  const uint32_t mapBlock = MapRoot();
  EXPECT_NE(mapBlock, 0u);
  Free(other);
  EXPECT_TRUE(StoredMap().empty());
  EXPECT_EQ(MapRoot(), 0u) << "the only map block went with its last entry";
  EXPECT_EQ(fLinked, 1);
  EXPECT_EQ(CodeOf([&] { Bytes(other); }), qdeNotHeapBlock) << "the data block is free again";
  Free(full);
  EXPECT_EQ(fLinked, 0);
  EXPECT_EQ(fTable->Access().HeaderAccess(Trans(), false)->AvailableBlocks(),
            fTable->Access().HeaderAccess(Trans(), false)->UsedBlocks() - usedBefore);
}

TEST_F(CachedHeapTest, SegmentsAbove65535BytesInTotalAreRefusedNotWrapped) {
  std::vector<uint8_t> piece(40000, 7);
  EXPECT_EQ(fEngine->AllocSegment(Trans(), {piece.data(), piece.data()}, {40000, 40000}), 0);
  EXPECT_EQ(fEngine->AllocSegment(Trans(), {piece.data(), piece.data()}, {40000, 25537}), 0);
  EXPECT_EQ(fEngine->AllocSegment(Trans(), {piece.data()}, {4061}), 0);
  EXPECT_EQ(fEngine->AllocSegment(Trans(), {}, {}), 0);
  EXPECT_EQ(fLinked, 0);
}

TEST_F(CachedHeapTest, SplittingCutsToWholeItemsOfTheBestBlockAndNoSplitTakesANewBlock) {
  const TqdHeapRef first = Alloc(3000);
  const uint16_t free = FreeOf(TqdBlockNumber(first >> 32));
  ASSERT_GE(free, 40);
  std::vector<uint8_t> data(2000, 9);
  uint16_t size = 0;
  const TqdHeapRef split = fEngine->AllocSegmentEx(Trans(), {data.data()}, {2000}, 13, size, 1, 12, false);
  EXPECT_EQ(split >> 32, first >> 32);
  EXPECT_EQ(size, 1 + 12 * ((free - 1) / 12));
  EXPECT_EQ(Bytes(split), std::vector<uint8_t>(size, 9));
  const TqdHeapRef other = Alloc(3000);
  const uint16_t free2 = FreeOf(TqdBlockNumber(other >> 32));
  const TqdHeapRef whole = fEngine->AllocSegmentEx(Trans(), {data.data()}, {2000}, 13, size, 1, 12, true);
  EXPECT_NE(whole >> 32, other >> 32) << "free " << free2 << " is too little and splitting is not allowed";
  EXPECT_NE(whole >> 32, first >> 32);
  EXPECT_EQ(size, 1 + 12 * ((2000 - 1) / 12));
}

TEST_F(CachedHeapTest, ReallocationKeepsTheReferenceInPlaceOrMovesWithTheOldBytes) {
  const TqdHeapRef a = Alloc(100, 0xAA);
  Alloc(100, 0xBB);
  uint16_t size = 0;
  TqdBlockRef block;
  uint16_t segmentSize = 0;
  fEngine->GetSegment(Trans(), a, true, segmentSize, block);
  std::vector<uint8_t> tail(50, 0xCC);
  TqdHeapRef same = fEngine->ReAllocSegmentEx(Trans(), block.WritableData(), TqdSegmentRef(a), {nullptr, tail.data()},
                                              {100, 50}, 100, size, 0, 1, false);
  block.Release();
  EXPECT_EQ(same, a);
  EXPECT_EQ(size, 150);
  std::vector<uint8_t> expected(100, 0xAA);
  expected.insert(expected.end(), 50, 0xCC);
  EXPECT_EQ(Bytes(a), expected);
  Alloc(3500, 0xDD);  // fills the first block's rest or a second one
  fEngine->GetSegment(Trans(), a, true, segmentSize, block);
  std::vector<uint8_t> more(3800, 0xEE);
  const TqdHeapRef moved = fEngine->ReAllocSegmentEx(Trans(), block.WritableData(), TqdSegmentRef(a),
                                                     {nullptr, more.data()}, {150, 3800}, 150, size, 0, 1, false);
  block.Release();
  ASSERT_NE(moved, 0);
  EXPECT_NE(moved, a);
  expected.insert(expected.end(), more.begin(), more.begin() + (size - 150));
  EXPECT_EQ(Bytes(moved), expected);
  EXPECT_EQ(CodeOf([&] { Bytes(a); }), qdeSegmentDeleted) << "the old place was freed";
}

TEST_F(CachedHeapTest, ARolledBackAllocationRebuildsTheMapFromTheCommittedBlocks) {
  const TqdHeapRef kept = Alloc(1000);
  Commit();
  const auto committed = StoredMap();
  Alloc(3000);
  Alloc(3000);
  EXPECT_NE(StoredMap(), committed);
  Rollback();
  EXPECT_FALSE(fEngine->ManagmentBlocksLoaded());
  const TqdHeapRef again = Alloc(1000);
  EXPECT_TRUE(fEngine->ManagmentBlocksLoaded());
  EXPECT_EQ(again >> 32, kept >> 32) << "the rebuilt map knows the committed block's room";
  ASSERT_EQ(fEngine->ManagmentBlocks().size(), 1u);
  EXPECT_EQ(fEngine->ManagmentBlocks()[0].hmpiBlockInfos.size(), 1u);
  Commit();
}

TEST_F(CachedHeapTest, AFullMapBlockChainsASecondThatGoesWhenItEmpties) {
  std::vector<TqdHeapRef> refs;
  for (int i = 0; i < 680; ++i) refs.push_back(Alloc(3000));
  ASSERT_EQ(fEngine->ManagmentBlocks().size(), 2u);
  EXPECT_EQ(fEngine->ManagmentBlocks()[0].hmpiBlockInfos.size(), 678u);
  EXPECT_EQ(fEngine->ManagmentBlocks()[1].hmpiBlockInfos.size(), 2u);
  EXPECT_EQ(StoredMap().size(), 680u);
  Commit();
  // The map cache rebuilt from the file agrees.
  MakeEngine();
  Free(refs[679]);
  Free(refs[678]);
  ASSERT_EQ(fEngine->ManagmentBlocks().size(), 1u) << "the emptied last map block was deleted";
  EXPECT_EQ(StoredMap().size(), 678u);
  Free(refs[0]);
  EXPECT_EQ(fEngine->FirstNonFullIndex(), 0);
  const TqdHeapRef next = Alloc(3000);
  EXPECT_EQ(fEngine->ManagmentBlocks().size(), 1u) << "the freed entry's room is used first";
  (void)next;
  Commit();
}

TEST_F(CachedHeapTest, DamagedMapsAndHeapBlocksRaise) {
  const TqdHeapRef a = Alloc(3000);
  Alloc(3000);
  Commit();
  const uint32_t map = MapRoot();
  const TqdBlockNumber data = TqdBlockNumber(a >> 32);
  struct Case {
    const char* what;
    std::function<void()> damage;
    TqdResult code;
  };
  const Case cases[] = {
      {"entry count above the maximum", [&] { PokeU16(map, 20, 679); }, qdeFileCorrupt},
      {"next link outside the file", [&] { PokeU32(map, 16, 90000); }, qdeFileCorrupt},
      {"map chain loops", [&] { PokeU32(map, 16, map); }, qdeFileCorrupt},
      {"entry naming a block twice",
       [&] {
         PokeU32(map, 22, data);
         PokeU32(map, 28, data);
       },
       qdeFileCorrupt},
      {"map block with a wrong signature", [&] { PokeU32(map, 0, 0x58585858); }, qdeNotHeapBlock},
      {"data block with a wrong number", [&] { PokeU32(data, 4, data + 1); }, qdeNotHeapBlock},
      {"data block with a bad directory", [&] { PokeU32(data, kUsable - 4, 0x7FFF0000); }, qdeFileCorrupt},
  };
  for (const Case& c : cases) {
    MakeEngine();
    c.damage();
    const TqdResult code = CodeOf([&] {
      Alloc(100);
      Bytes(a);
    });
    EXPECT_EQ(code, c.code) << c.what;
    fTrans->Rollback();
    fTrans.reset();
  }
}

TEST_F(CachedHeapTest, ReferencesCountReusesFromVersion47005) {
  TqdHeapRef ref = (TqdHeapRef(7) << 32) | 5;
  fEngine->IncHeapRef(ref);
  EXPECT_EQ(ref, (TqdHeapRef(7) << 32) | 65541);
  EXPECT_EQ(fEngine->HeapRefMask(), TqdHeapRef(0xFFFFFFFF0000FFFFull));
  fEngine.reset();
  fTable->File()->fiQendoVersion = 47004;
  MakeEngine();
  ref = (TqdHeapRef(7) << 32) | 5;
  fEngine->IncHeapRef(ref);
  EXPECT_EQ(ref, (TqdHeapRef(7) << 32) | 5);
  EXPECT_EQ(fEngine->HeapRefMask(), TqdHeapRef(-1));
}

}  // namespace
}  // namespace qd::test
