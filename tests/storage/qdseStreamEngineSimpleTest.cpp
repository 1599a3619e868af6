// The default stream engine: numbered streams in chains of stream blocks,
// named streams with "DICT" in the header section and the others in the
// stream map, and the checks of everything read back from the file.
#include "storage/qdseStreamEngineSimple.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "foundation/qdllStreams.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

// Usable bytes of a 4 KB "QD!2" block, and the data bytes of a stream block.
constexpr uint32_t kUsable = 4092;
constexpr uint32_t kPer = kUsable - 32;

std::vector<uint8_t> Pattern(uint32_t aSize, uint8_t aSeed = 1) {
  std::vector<uint8_t> bytes(aSize);
  for (uint32_t i = 0; i < aSize; ++i) bytes[i] = uint8_t(aSeed + i * 7 + i / 251);
  return bytes;
}

std::unique_ptr<TqdMemoryStream> StreamOf(const std::vector<uint8_t>& aBytes) {
  auto stream = std::make_unique<TqdMemoryStream>(-1);
  if (!aBytes.empty()) stream->WriteBuffer(aBytes.data(), int32_t(aBytes.size()));
  stream->SetPosition(17);  // the writer starts from the beginning anyway
  return stream;
}

std::vector<uint8_t> BytesOf(TqdMemoryStream& aStream) {
  return std::vector<uint8_t>(aStream.ByteArray(), aStream.ByteArray() + aStream.Size());
}

std::vector<std::string> Names(const TqdStringList& aList) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < aList.Count(); ++i) names.push_back(StringToUtf8(aList.Strings(i)));
  return names;
}

class StreamEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fTable = TqdTestTable::Create(&fCache, "/db/s.qd1");
    TqdTestTransaction trans(&fCache);
    fEngine = std::make_unique<TqdSimpleStreamEngine>(nullptr, &fTable->Access(), &trans);
    trans.Commit();
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
    fTrans.reset();
  }
  // Reopens the file and finds the engine's section again.
  void Reopen() {
    fTrans.reset();
    fEngine.reset();
    fTable.reset();
    fTable = TqdTestTable::Open(&fCache, "/db/s.qd1");
    fEngine = std::make_unique<TqdSimpleStreamEngine>(nullptr, &fTable->Access(), nullptr);
  }
  uint32_t Write(const std::vector<uint8_t>& aBytes) {
    uint32_t number = 0;
    fEngine->WriteStream(Trans(), number, *StreamOf(aBytes), true, qdSignature("TEST"));
    return number;
  }
  std::vector<uint8_t> Read(uint32_t aNumber) {
    TqdMemoryStream stream(-1);
    fEngine->ReadStream(Trans(), aNumber, stream);
    EXPECT_EQ(stream.Position(), 0);
    return BytesOf(stream);
  }
  TqdResult WriteNamed(qdStringView aName, const std::vector<uint8_t>& aBytes) {
    return fEngine->WriteNamedStream(Trans(), aName, *StreamOf(aBytes));
  }
  TqdResult ReadNamed(qdStringView aName, std::vector<uint8_t>& aBytes) {
    TqdMemoryStream stream(-1);
    const TqdResult result = fEngine->ReadNamedStream(Trans(), aName, stream);
    aBytes = BytesOf(stream);
    return result;
  }
  std::vector<std::string> List() {
    TqdStringList list;
    EXPECT_EQ(fEngine->GetNamedStreamList(Trans(), list), 0u);
    return Names(list);
  }
  uint32_t Count() {
    uint32_t count = 99;
    EXPECT_EQ(fEngine->GetNamedStreamCount(Trans(), count), 0u);
    return count;
  }
  // Field aOffset (0: "DICT", 4: the map) of the engine's header section.
  uint32_t Section(uint32_t aOffset) {
    return qdGetU32(fTable->Access().HeaderAccess(Trans(), false)->Header() + fEngine->HeaderSection() + aOffset);
  }
  uint32_t UsedBlocks() { return fTable->Access().HeaderAccess(Trans(), false)->UsedBlocks(); }
  uint32_t FreeBlocks() { return fTable->Access().HeaderAccess(Trans(), false)->AvailableBlocks(); }
  std::vector<uint8_t> Block(TqdBlockNumber aNumber) {
    TqdBlockRef block = fTable->Access().GetBlock(Trans(), aNumber, 0, false);
    return std::vector<uint8_t>(block.Data(), block.Data() + kUsable);
  }
  void PokeU32(TqdBlockNumber aNumber, uint32_t aOffset, uint32_t aValue) {
    TqdBlockRef block = fTable->Access().GetBlock(Trans(), aNumber, 0, true);
    qdPutU32(block.WritableData() + aOffset, aValue);
  }
  // Replaces the content of the map stream with aBytes.
  void DamageMap(const std::vector<uint8_t>& aBytes) {
    uint32_t mapNr = Section(4);
    ASSERT_NE(mapNr, 0u);
    fEngine->WriteStream(Trans(), mapNr, *StreamOf(aBytes), false, qdSignature("SMAP"));
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  std::unique_ptr<TqdTestTable> fTable;
  std::unique_ptr<TqdSimpleStreamEngine> fEngine;
  std::unique_ptr<TqdTestTransaction> fTrans;
};

// --- Numbered streams -------------------------------------------------------------------------

TEST_F(StreamEngineTest, StreamsOfEverySizeReadBackAndTakeTheBlocksTheyNeed) {
  struct Case {
    uint32_t size;
    uint32_t blocks;
  };
  const Case cases[] = {{0, 1}, {1, 1}, {kPer, 1}, {kPer + 1, 2}, {3 * kPer + 7, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const uint32_t before = UsedBlocks();
    const std::vector<uint8_t> content = Pattern(c.size);
    const uint32_t number = Write(content);
    EXPECT_EQ(number, before);
    EXPECT_EQ(UsedBlocks() - before, c.blocks);
    EXPECT_EQ(Read(number), content);
  }
  Commit();
}

TEST_F(StreamEngineTest, BlocksCarryTheDocumentedLayout) {
  const std::vector<uint8_t> content = Pattern(kPer + 5);
  const uint32_t number = Write(content);
  Commit();
  const std::vector<uint8_t> first = Block(number);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.data()), 4), "QDSH");
  EXPECT_EQ(qdGetU32(first.data() + 4), number);
  const uint32_t second = qdGetU32(first.data() + 16);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.data()) + 20, 4), "TEST");
  EXPECT_EQ(qdGetU32(first.data() + 24), kPer + 5);
  EXPECT_EQ(qdGetU32(first.data() + 28), number);
  EXPECT_TRUE(std::equal(content.begin(), content.begin() + kPer, first.begin() + 32));

  const std::vector<uint8_t> last = Block(second);
  EXPECT_EQ(qdGetU32(last.data() + 16), kNoBlock);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(last.data()) + 20, 4), "TEST");
  EXPECT_EQ(qdGetU32(last.data() + 24), 0u);
  EXPECT_EQ(qdGetU32(last.data() + 28), number);
  EXPECT_TRUE(std::equal(content.begin() + kPer, content.end(), last.begin() + 32));
  EXPECT_TRUE(std::all_of(last.begin() + 32 + 5, last.end(), [](uint8_t b) { return b == 0; }))
      << "the rest of the last block is zero";
}

TEST_F(StreamEngineTest, RewritingKeepsTheNumberAndFreesOrTakesBlocks) {
  uint32_t number = Write(Pattern(3 * kPer));
  Commit();
  const uint32_t freeBefore = FreeBlocks();
  const std::vector<uint8_t> shorter = Pattern(10, 9);
  uint32_t rewritten = number;
  fEngine->WriteStream(Trans(), rewritten, *StreamOf(shorter), false, qdSignature("TEST"));
  EXPECT_EQ(rewritten, number);
  EXPECT_EQ(FreeBlocks() - freeBefore, 2u);
  EXPECT_EQ(Read(number), shorter);
  const std::vector<uint8_t> first = Block(number);
  EXPECT_TRUE(std::all_of(first.begin() + 32 + 10, first.end(), [](uint8_t b) { return b == 0; }))
      << "old content after the new end is cleared";

  const std::vector<uint8_t> longer = Pattern(2 * kPer + 1, 3);
  fEngine->WriteStream(Trans(), rewritten, *StreamOf(longer), false, qdSignature("TEST"));
  EXPECT_EQ(rewritten, number);
  EXPECT_EQ(FreeBlocks(), freeBefore) << "the two freed blocks are taken again";
  Commit();
  Reopen();
  EXPECT_EQ(Read(number), longer);
}

TEST_F(StreamEngineTest, DeletingAStreamFreesEveryBlock) {
  const uint32_t number = Write(Pattern(2 * kPer + 1));
  Commit();
  const uint32_t freeBefore = FreeBlocks();
  fEngine->DeleteStream(Trans(), number);
  EXPECT_EQ(FreeBlocks() - freeBefore, 3u);
  EXPECT_EQ(CodeOf([&] { (void)Read(number); }), qdeNotStreamBlock);
  Commit();
}

TEST_F(StreamEngineTest, BadBlockNumbersAndForeignBlocksAreRefused) {
  const uint32_t used = UsedBlocks();
  EXPECT_EQ(
      TextOf([&] { (void)Read(used); }),
      "Block number is either < 0, or >= number of blocks in file [/db/s.qd1, block " + std::to_string(used) + "]");
  EXPECT_EQ(CodeOf([&] { (void)Read(0); }), qdeBadBlockNum);
  TqdBlockNumber foreign;
  {
    auto header = fTable->Access().HeaderAccess(Trans(), true);
    TqdBlockRef block = header->GetNewBlock(Trans(), 0);
    qdSetBlockSignature(block.WritableData(), qdSignature("QDDH"));
    foreign = block.BlockNumber();
  }
  EXPECT_EQ(TextOf([&] { (void)Read(foreign); }),
            "Block just read from file is not a valid stream block [/db/s.qd1, block " + std::to_string(foreign) + "]");
  EXPECT_EQ(CodeOf([&] { fEngine->DeleteStream(Trans(), foreign); }), qdeNotStreamBlock);
  Rollback();
}

// A damaged chain is caught before the reader allocates or the freeing walk
// frees what belongs to another stream.
TEST_F(StreamEngineTest, DamagedChainsAreCorruptionNotCrashesOrLostBlocks) {
  const uint32_t a = Write(Pattern(3 * kPer));
  const uint32_t b = Write(Pattern(2 * kPer, 5));
  Commit();
  const uint32_t a2 = qdGetU32(Block(a).data() + 16);
  const uint32_t a3 = qdGetU32(Block(a2).data() + 16);
  struct Case {
    const char* what;
    TqdBlockNumber block;
    uint32_t offset;
    uint32_t value;
    bool deleteToo;
  };
  const Case cases[] = {
      {"length beyond the file", a, 24, 0xFFFFFFF0u, false},
      {"chain ends early", a2, 16, kNoBlock, false},
      {"chain loops back", a2, 16, a, true},
      {"chain runs into another stream", a2, 16, b, true},
      {"continuation names another stream", a3, 28, b, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PokeU32(c.block, c.offset, c.value);
    EXPECT_EQ(CodeOf([&] { (void)Read(a); }), qdeFileCorrupt);
    if (c.deleteToo) {
      EXPECT_EQ(CodeOf([&] { fEngine->DeleteStream(Trans(), a); }), qdeFileCorrupt);
    }
    Rollback();
  }
  EXPECT_EQ(Read(b), Pattern(2 * kPer, 5)) << "the other stream is untouched";
  EXPECT_EQ(Read(a), Pattern(3 * kPer));
  Rollback();
}

// --- Named streams ------------------------------------------------------------------------------

TEST_F(StreamEngineTest, DictInAnyCaseIsTheSectionStreamAndListedLast) {
  EXPECT_EQ(WriteNamed(u"dict", Pattern(100)), 0u);
  const uint32_t dictNr = Section(0);
  EXPECT_NE(dictNr, 0u);
  EXPECT_EQ(Section(4), 0u) << "no map for the dictionary alone";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(Block(dictNr).data()) + 20, 4), "DICT");
  EXPECT_EQ(WriteNamed(u"$TableName", Pattern(8, 2)), 0u);
  EXPECT_EQ(WriteNamed(u"alpha", Pattern(9, 3)), 0u);
  EXPECT_EQ(WriteNamed(u"DiCt", Pattern(kPer + 3, 4)), 0u);
  EXPECT_EQ(Section(0), dictNr) << "rewritten in place";
  EXPECT_EQ(List(), (std::vector<std::string>{"$TableName", "alpha", "DICT"}));
  EXPECT_EQ(Count(), 2u) << "the dictionary is not counted";
  std::vector<uint8_t> bytes;
  EXPECT_EQ(ReadNamed(u"DICT", bytes), 0u);
  EXPECT_EQ(bytes, Pattern(kPer + 3, 4));
  EXPECT_EQ(ReadNamed(u"ALPHA", bytes), 0u);
  EXPECT_EQ(bytes, Pattern(9, 3));
  Commit();
}

TEST_F(StreamEngineTest, NamedStreamsSurviveCommitAndReopen) {
  uint32_t numbered = 0;
  EXPECT_EQ(WriteNamed(u"DICT", Pattern(5000)), 0u);
  EXPECT_EQ(WriteNamed(u"$TableName", Pattern(20, 7)), 0u);
  EXPECT_EQ(WriteNamed(u"Zeta", {}), 0u);
  numbered = Write(Pattern(300, 8));
  const uint32_t zetaNr = [&] {
    TqdStringList list;
    EXPECT_EQ(fEngine->GetNamedStreamList(Trans(), list), 0u);
    return uint32_t(reinterpret_cast<uintptr_t>(list.Objects(list.IndexOf(u"Zeta"))));
  }();
  Commit();
  Reopen();
  std::vector<uint8_t> bytes;
  EXPECT_EQ(ReadNamed(u"DICT", bytes), 0u);
  EXPECT_EQ(bytes, Pattern(5000));
  EXPECT_EQ(ReadNamed(u"$tablename", bytes), 0u);
  EXPECT_EQ(bytes, Pattern(20, 7));
  EXPECT_EQ(ReadNamed(u"Zeta", bytes), 0u);
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(Block(zetaNr)[24], 0) << "an empty stream is one block of length 0";
  EXPECT_EQ(Read(numbered), Pattern(300, 8));
  EXPECT_EQ(List(), (std::vector<std::string>{"$TableName", "Zeta", "DICT"}));
  Rollback();
}

TEST_F(StreamEngineTest, MissingNamedStreamsAnswerNotFound) {
  std::vector<uint8_t> bytes;
  EXPECT_EQ(ReadNamed(u"DICT", bytes), qdeObjNotFound);
  EXPECT_EQ(ReadNamed(u"other", bytes), qdeObjNotFound);
  EXPECT_EQ(fEngine->DeleteNamedStream(Trans(), u"dict"), qdeObjNotFound);
  EXPECT_EQ(fEngine->DeleteNamedStream(Trans(), u"other"), qdeObjNotFound);
  EXPECT_EQ(WriteNamed(u"present", Pattern(3)), 0u);
  EXPECT_EQ(ReadNamed(u"absent", bytes), qdeObjNotFound);
  EXPECT_EQ(fEngine->DeleteNamedStream(Trans(), u"absent"), qdeObjNotFound);
  EXPECT_EQ(List(), (std::vector<std::string>{"present"}));
  Rollback();
}

TEST_F(StreamEngineTest, DeletingTheLastNamedStreamRemovesTheMap) {
  EXPECT_EQ(WriteNamed(u"DICT", Pattern(10)), 0u);
  EXPECT_EQ(WriteNamed(u"one", Pattern(10)), 0u);
  EXPECT_EQ(WriteNamed(u"two", Pattern(10)), 0u);
  Commit();
  const uint32_t freeBefore = FreeBlocks();
  EXPECT_EQ(fEngine->DeleteNamedStream(Trans(), u"ONE"), 0u);
  EXPECT_NE(Section(4), 0u);
  EXPECT_EQ(fEngine->DeleteNamedStream(Trans(), u"two"), 0u);
  EXPECT_EQ(Section(4), 0u);
  EXPECT_EQ(FreeBlocks() - freeBefore, 3u) << "both streams and the map";
  EXPECT_EQ(Count(), 0u);
  EXPECT_EQ(List(), (std::vector<std::string>{"DICT"}));
  EXPECT_EQ(fEngine->DeleteNamedStream(Trans(), u"Dict"), 0u);
  EXPECT_EQ(Section(0), 0u);
  EXPECT_TRUE(List().empty());
  Commit();
}

TEST_F(StreamEngineTest, NamesTheMapCannotHoldAreRefusedBeforeAnythingChanges) {
  const qdString longest(255, u'n');
  EXPECT_EQ(WriteNamed(longest, Pattern(4)), 0u);
  struct Case {
    const char* what;
    qdString name;
  };
  const Case cases[] = {
      {"256 bytes", qdString(256, u'n')},
      {"128 double-byte characters", qdString(128, u'\u3042')},
      {"not in the code page", u"caf\u00e9"},
  };
  const uint32_t used = UsedBlocks();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CodeOf([&] { (void)WriteNamed(c.name, Pattern(4)); }), qdeInvalidName);
  }
  EXPECT_EQ(UsedBlocks(), used);
  EXPECT_EQ(Count(), 1u);
  Commit();
  Reopen();
  std::vector<uint8_t> bytes;
  EXPECT_EQ(ReadNamed(longest, bytes), 0u);
  EXPECT_EQ(WriteNamed(qdString(127, u'\u3042'), Pattern(4)), 0u) << "254 bytes in the code page";
  Rollback();
}

// Every count, length and size in the map is checked against the map's own
// size.
TEST_F(StreamEngineTest, DamagedMapsAreCorruption) {
  EXPECT_EQ(WriteNamed(u"ab", Pattern(4)), 0u);
  Commit();
  // count 1, "ab", stream 5 is 4 + 1 + 2 + 4 bytes.
  auto entry = [](std::vector<uint8_t> aBytes, const std::string& aName, uint32_t aNumber) {
    aBytes.push_back(uint8_t(aName.size()));
    aBytes.insert(aBytes.end(), aName.begin(), aName.end());
    for (int i = 0; i < 4; ++i) aBytes.push_back(uint8_t(aNumber >> (8 * i)));
    return aBytes;
  };
  auto count = [](uint32_t aCount) {
    std::vector<uint8_t> bytes(4);
    qdPutU32(bytes.data(), aCount);
    return bytes;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> longName = entry(count(1), "ab", 2);
  longName[4] = 200;
  std::vector<uint8_t> trailing = entry(count(1), "ab", 2);
  trailing.push_back(0);
  const Case cases[] = {
      {"shorter than a count", {1, 0}},
      {"count beyond the map", entry(count(0x40000000), "ab", 2)},
      {"count of two, one entry", entry(count(2), "ab", 2)},
      {"name runs past the map", longName},
      {"bytes after the last entry", trailing},
      {"a name twice", entry(entry(count(2), "ab", 2), "AB", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DamageMap(c.bytes);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(CodeOf([&] { (void)ReadNamed(u"ab", bytes); }), qdeFileCorrupt);
    EXPECT_EQ(CodeOf([&] { (void)List(); }), qdeFileCorrupt);
    EXPECT_EQ(CodeOf([&] { (void)Count(); }), qdeFileCorrupt);
    EXPECT_EQ(CodeOf([&] { (void)WriteNamed(u"new", Pattern(1)); }), qdeFileCorrupt);
    Rollback();
  }
  EXPECT_EQ(Count(), 1u);
  Rollback();
}

TEST_F(StreamEngineTest, TheSectionIsNamedByTheDescriptorAndStartsEmpty) {
  TqdDataDictionary dictionary;
  TqdBaseStreamDescriptor* descriptor = dictionary.StreamDescriptor();
  ASSERT_NE(descriptor, nullptr);
  std::unique_ptr<TqdTestTable> other = TqdTestTable::Create(&fCache, "/db/o.qd1");
  {
    TqdTestTransaction trans(&fCache);
    TqdSimpleStreamEngine engine(descriptor, &other->Access(), &trans);
    EXPECT_EQ(engine.ID(), descriptor->ID());
    auto header = other->Access().HeaderAccess(&trans, true);
    EXPECT_EQ(header->RegisterHeaderSection(descriptor->HeaderSection(), 8, false, false), engine.HeaderSection());
    EXPECT_EQ(qdGetU32(header->Header() + engine.HeaderSection()), 0u);
    EXPECT_EQ(qdGetU32(header->Header() + engine.HeaderSection() + 4), 0u);
    header.reset();
    trans.Commit();
  }
  other.reset();
  std::unique_ptr<TqdTestTable> bare = TqdTestTable::Create(&fCache, "/db/p.qd1");
  EXPECT_EQ(CodeOf([&] { TqdSimpleStreamEngine engine(descriptor, &bare->Access(), nullptr); }), qdeObjNotFound)
      << "a table without the section";
}

}  // namespace
}  // namespace qd::test
