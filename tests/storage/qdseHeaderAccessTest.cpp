// The header formats: block 0 of a new file, header sections, the legacy
// format, block allocation and freeing, child headers of nested tables.
#include "storage/qdseHeaderAccess.h"

#include <gtest/gtest.h>

#include <map>

#include "dictionary/qdsdDataDictionary_Tables.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

constexpr int32_t kOwner = 1;

// A "QD!1" file as an older engine wrote it: block 0 and aUsed - 1 blocks.
std::vector<uint8_t> LegacyFile(uint32_t aUsed, int32_t aVersion = 47501) {
  std::vector<uint8_t> bytes(size_t(aUsed) * 4096, 0);
  std::memcpy(bytes.data(), "QD!1", 4);
  bytes[16] = 0;
  qdPutU32(bytes.data() + 20, 4096);
  qdPutU32(bytes.data() + 24, kNoBlock);
  qdPutU32(bytes.data() + 32, aUsed);
  qdPutI32(bytes.data() + 36, aVersion);
  for (uint32_t n = 1; n < aUsed; ++n) qdPutU32(bytes.data() + n * 4096 + 4, n);
  return bytes;
}

class HeaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    fCache.CheckInvariants();
    fTable.reset();
    EXPECT_EQ(fCache.InUseCount(), 0u);
  }
  void CreateTable() { fTable = TqdTestTable::Create(&fCache, "/db/h.qd1"); }
  void Reopen() {
    fTable.reset();
    fTable = TqdTestTable::Open(&fCache, "/db/h.qd1");
  }
  std::unique_ptr<TqdBaseFileHeaderAccess> Header(TqdBaseTransaction* aTrans, bool aDirty) {
    return fTable->Access().HeaderAccess(aTrans, aDirty);
  }
  // Allocates blocks until block aLast exists, committed.
  void AllocateThrough(TqdBlockNumber aLast) {
    TqdTestTransaction trans(&fCache);
    auto header = Header(&trans, true);
    while (header->UsedBlocks() <= aLast) (void)header->GetNewBlock(&trans, kOwner);
    header.reset();
    trans.Commit();
  }
  void Free(TqdBaseFileHeaderAccess& aHeader, TqdBaseTransaction* aTrans, TqdBlockNumber aNumber) {
    TqdBlockRef block = fTable->Access().GetBlock(aTrans, aNumber, 0, true);
    aHeader.DeleteBlock(aTrans, block);
    EXPECT_FALSE(block);
  }
  uint32_t HeaderU32(const TqdBaseFileHeaderAccess& aHeader, uint32_t aOffset) {
    return qdGetU32(aHeader.Header() + aOffset);
  }

  TqdFaultFixture fFixture;
  TqdBufferManager fCache{u"/tmp"};
  std::unique_ptr<TqdTestTable> fTable;
};

// --- Block 0 and sections ----------------------------------------------------------------------

TEST_F(HeaderTest, ANewPlainFileHasTheDocumentedBlockZero) {
  CreateTable();
  const std::vector<uint8_t> bytes = fFixture.Fs().ReadAll("/db/h.qd1");
  ASSERT_GE(bytes.size(), 4096u);
  const uint8_t* h = bytes.data();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(h), 4), "QD!2");
  EXPECT_EQ(qdGetU32(h + 4), 0u);
  EXPECT_EQ(h[16], 0);
  EXPECT_EQ(qdGetU16(h + 17), 0u);
  EXPECT_EQ(qdGetU32(h + 20), 4092u);
  EXPECT_EQ(qdGetU32(h + 24), 0xFFFFFFFFu);
  EXPECT_EQ(qdGetU32(h + 28), 0u);
  EXPECT_EQ(qdGetU32(h + 32), 1u);
  EXPECT_EQ(qdGetI32(h + 36), 47501);
  EXPECT_EQ(qdGetU16(h + 256), 4091u);
  EXPECT_EQ(h[258], 0);
  EXPECT_GT(qdBlockLSN(h), 0);  // stamped by the creating commit
  EXPECT_EQ(fTable->File()->fiBlockSizeBytes, 4092u);
}

TEST_F(HeaderTest, SectionsAreCreatedOnceAndFoundBySizeAfterReopen) {
  CreateTable();
  {
    TqdTestTransaction trans(&fCache);
    auto header = Header(&trans, true);
    EXPECT_EQ(header->RegisterHeaderSection("Record", 20, true, false), 4071);
    EXPECT_EQ(header->RegisterHeaderSection("Stream", 8, true, false), 4063);
    header.reset();
    trans.Commit();
  }
  Reopen();
  auto reader = Header(nullptr, false);
  EXPECT_EQ(reader->RegisterHeaderSection("Record", 20, false, false), 4071);
  EXPECT_EQ(reader->RegisterHeaderSection("RECORD", 20, false, false), 4071);
  EXPECT_EQ(reader->RegisterHeaderSection("Stream", 8, false, false), 4063);
  EXPECT_EQ(CodeOf([&] { (void)reader->RegisterHeaderSection("Record", 21, false, false); }), qdeHeaderCorrupt);
  EXPECT_EQ(CodeOf([&] { (void)reader->RegisterHeaderSection("Blob", 4, false, false); }), qdeObjNotFound);
  EXPECT_EQ(CodeOf([&] { (void)reader->RegisterHeaderSection("Blob", 4, true, false); }), qdeWriteErr);
  reader.reset();

  TqdTestTransaction trans(&fCache);
  auto header = Header(&trans, true);
  EXPECT_EQ(CodeOf([&] { (void)header->RegisterHeaderSection("Record", 20, true, false); }), qdeNameNotUnique);
  EXPECT_EQ(header->RegisterHeaderSection("Record", 20, true, true), 4071);
  EXPECT_EQ(CodeOf([&] { (void)header->RegisterHeaderSection("Record", 30, true, true); }), qdeHeaderCorrupt);
  header.reset();
  trans.Rollback();
}

TEST_F(HeaderTest, AFullHeaderRefusesASectionWithoutChangingAnything) {
  CreateTable();
  TqdTestTransaction trans(&fCache);
  auto header = Header(&trans, true);
  int created = 0;
  TqdResult code = 0;
  while (code == 0) {
    const std::string name = "S" + std::to_string(created);
    std::vector<uint8_t> before(header->Header(), header->Header() + 4096);
    code = CodeOf([&] { (void)header->RegisterHeaderSection(name, 255, true, false); });
    if (code == 0) {
      ++created;
    } else {
      EXPECT_EQ(std::memcmp(before.data(), header->Header(), 4096), 0);
      EXPECT_NE(
          MessageOf([&] { (void)header->RegisterHeaderSection(name, 255, true, false); }).find("File header is full"),
          std::string::npos);
    }
  }
  EXPECT_EQ(code, qdeNoMemory);
  EXPECT_EQ(created, 14);  // (4091 - 258) / (255 + 6) sections of 255 bytes
  // The last free bytes still take a small section.
  EXPECT_GT(header->RegisterHeaderSection("x", 3, true, false), 258);
  header.reset();
  trans.Rollback();
}

TEST_F(HeaderTest, TheLegacyFormatOpensWithFixedSectionsAndIsNeverCreated) {
  fFixture.Fs().WriteAll("/db/old.qd1", LegacyFile(3));
  fTable = TqdTestTable::Open(&fCache, "/db/old.qd1");
  EXPECT_EQ(fTable->File()->fiBlockSizeBytes, 4096u);
  auto header = Header(nullptr, false);
  struct {
    const char* name;
    uint16_t offset;
  } sections[] = {{"Encryption", 256}, {"stream", 512}, {"AUTOINC", 768},
                  {"Record", 1024},    {"blob", 1280},  {"Indices", 1536}};
  for (const auto& s : sections) EXPECT_EQ(header->RegisterHeaderSection(s.name, 10, false, false), s.offset);
  EXPECT_NE(MessageOf([&] {
              (void)header->RegisterHeaderSection("Custom", 10, false, false);
            }).find("Custom HeaderSections are not supported in a v1 header"),
            std::string::npos);
  EXPECT_EQ(CodeOf([&] { (void)header->RegisterHeaderSection("Record", 10, true, false); }), qdeWriteErr);
  header.reset();

  auto* file = static_cast<TqdPosixFile*>(TqdBaseFile::Alloc(true, u"/db/new1.qd1", &fCache));
  file->OpenFile(omReadWrite, smExclusive, false, true);
  {
    TqdTestTransaction trans(&fCache);
    const std::string message = MessageOf([&] { (void)file->AddHeader(&trans, {}, qdSignature("QD!1")); });
    EXPECT_NE(message.find("Can't create new files with v1 header"), std::string::npos) << message;
    trans.Rollback();
  }
  fCache.RemoveFile(file);
  file->CloseFile();
  delete file;
}

TEST_F(HeaderTest, UnknownSignaturesAndNewerVersionsAreRefused) {
  std::vector<uint8_t> bytes = LegacyFile(2);
  std::memcpy(bytes.data(), "XY!9", 4);
  fFixture.Fs().WriteAll("/db/alien.qd1", bytes);
  const std::string message = MessageOf([&] { (void)TqdTestTable::Open(&fCache, "/db/alien.qd1"); });
  EXPECT_NE(message.find("\"/db/alien.qd1\" is not a QendoDB formatted file, or its file header is corrupt"),
            std::string::npos)
      << message;
  EXPECT_EQ(CodeOf([&] { (void)TqdTestTable::Open(&fCache, "/db/alien.qd1"); }), qdeCannotOpenFile);

  fFixture.Fs().WriteAll("/db/newer.qd1", LegacyFile(2, 47502));
  EXPECT_EQ(CodeOf([&] { (void)TqdTestTable::Open(&fCache, "/db/newer.qd1"); }), qdeNewerTableVersion);
  fFixture.Fs().WriteAll("/db/current.qd1", LegacyFile(2, 47501));
  EXPECT_NO_THROW(TqdTestTable::Open(&fCache, "/db/current.qd1").reset());
  EXPECT_EQ(fCache.InUseCount(), 0u);
}

TEST(HeaderFormatRegistryTest, ReservedSpaceAndDictionaryChecksByFormat) {
  EXPECT_EQ(TqdBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(qdSignature("QD!2")), 4);
  EXPECT_EQ(TqdBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(qdSignature("qd!1")), 0);
  EXPECT_EQ(CodeOf([] { (void)TqdBaseFileHeaderAccessFactory::GetAdditionalReservedSpace(qdSignature("QD!7")); }),
            qdeHeaderAccessNotSupported);
  struct {
    TqdBlockSignature signature;
    bool forBuild;
    TqdResult expected;
  } checks[] = {{qdSignature("QD!1"), true, qdeNotSupported},
                {qdSignature("QD!1"), false, 0},
                {qdSignature("QD!2"), true, 0},
                {qdSignature("QD!3"), true, qdeHeaderAccessNotSupported}};
  for (const auto& c : checks) {
    TqdDataDictionary dictionary;
    dictionary.SetHeaderSignature(c.signature);
    EXPECT_EQ(CodeOf([&] { TqdBaseFileHeaderAccessFactory::CheckValid(&dictionary, c.forBuild); }), c.expected)
        << StringToUtf8(qdSignatureText(c.signature));
  }
  EXPECT_THROW(TqdBaseFileHeaderAccessFactory::Register(qdSignature("qd!2"), &Tqd2xFileHeaderAccessFactory::ClassInfo),
               EqdFileHeaderAccessException);
}

// --- Allocation ----------------------------------------------------------------------------------

TEST_F(HeaderTest, FreedBlocksFillTheHeaderThenSpillIntoAMapBlock) {
  CreateTable();
  AllocateThrough(40);
  TqdTestTransaction trans(&fCache);
  auto header = Header(&trans, true);
  for (TqdBlockNumber n = 1; n <= 20; ++n) Free(*header, &trans, n);
  EXPECT_EQ(header->AvailableBlocks(), 20u);
  EXPECT_EQ(HeaderU32(*header, 24), kNoBlock);
  // The 21st freed block becomes the first map block and takes 15 numbers.
  Free(*header, &trans, 21);
  EXPECT_EQ(header->AvailableBlocks(), 5u);
  EXPECT_EQ(HeaderU32(*header, 24), 21u);
  {
    TqdBlockRef map = fTable->Access().GetBlock(&trans, 21, kFreeBlockMapOwner, false);
    EXPECT_EQ(qdBlockSignature(map.Data()), qdSignature("FBMH"));
    EXPECT_EQ(qdGetU32(map.Data() + 16), kNoBlock);
    EXPECT_EQ(qdGetU32(map.Data() + 20), (4092u - 28) / 4);
    EXPECT_EQ(qdGetU32(map.Data() + 24), 15u);
    for (uint32_t i = 0; i < 15; ++i) EXPECT_EQ(qdGetU32(map.Data() + 28 + 4 * i), 6 + i);
  }
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(HeaderU32(*header, 104 + 4 * i), 1 + i);
  // With room in the map, a spill moves 15 and the freed block stays listed.
  for (TqdBlockNumber n = 22; n <= 36; ++n) Free(*header, &trans, n);
  EXPECT_EQ(header->AvailableBlocks(), 20u);
  Free(*header, &trans, 37);
  EXPECT_EQ(header->AvailableBlocks(), 6u);
  EXPECT_EQ(HeaderU32(*header, 104 + 4 * 5), 37u);
  header.reset();
  trans.Commit();

  Reopen();
  auto reader = Header(nullptr, false);
  EXPECT_EQ(reader->AvailableBlocks(), 6u);
  EXPECT_EQ(reader->UsedBlocks(), 41u);
}

TEST_F(HeaderTest, AllocationTakesTheHeaderCacheThenRefillsAndHandsOutTheEmptiedMap) {
  CreateTable();
  AllocateThrough(30);
  {
    TqdTestTransaction trans(&fCache);
    auto header = Header(&trans, true);
    for (TqdBlockNumber n = 1; n <= 21; ++n) Free(*header, &trans, n);
    header.reset();
    trans.Commit();
  }
  TqdTestTransaction trans(&fCache);
  auto header = Header(&trans, true);
  for (TqdBlockNumber expected : {5u, 4u, 3u, 2u, 1u})
    EXPECT_EQ(header->GetNewBlock(&trans, 7).BlockNumber(), expected);
  EXPECT_EQ(header->AvailableBlocks(), 0u);
  TqdBlockRef fromMap = header->GetNewBlock(&trans, 7);
  EXPECT_EQ(fromMap.BlockNumber(), 21u);
  EXPECT_EQ(qdGetI32(fromMap.Data() + 4092), 7);
  fromMap.Release();
  EXPECT_EQ(header->AvailableBlocks(), 15u);
  EXPECT_EQ(HeaderU32(*header, 24), kNoBlock);
  EXPECT_EQ(header->GetNewBlock(&trans, 7).BlockNumber(), 20u);
  const uint32_t used = header->UsedBlocks();
  for (int i = 0; i < 14; ++i) (void)header->GetNewBlock(&trans, 7);
  // Only with the cache and the map empty does the file grow.
  EXPECT_EQ(header->GetNewBlock(&trans, 7).BlockNumber(), used);
  EXPECT_EQ(header->UsedBlocks(), used + 1);
  header.reset();
  trans.Commit();
}

TEST_F(HeaderTest, AllocationAndFreeingNeedADirtyHeader) {
  CreateTable();
  AllocateThrough(2);
  TqdTestTransaction trans(&fCache);
  auto header = Header(&trans, false);
  EXPECT_EQ(CodeOf([&] { (void)header->GetNewBlock(&trans, kOwner); }), qdeWriteErr);
  TqdBlockRef block = fTable->Access().GetBlock(&trans, 2, 0, true);
  EXPECT_EQ(CodeOf([&] { header->DeleteBlock(&trans, block); }), qdeWriteErr);
  EXPECT_TRUE(block);
  header->MarkDirty(&trans);
  header->DeleteBlock(&trans, block);
  EXPECT_EQ(header->AvailableBlocks(), 1u);
  header.reset();
  trans.Commit();
}

TEST_F(HeaderTest, AFileAtTheSizeLimitIsFull) {
  fFixture.Fs().SetMaxFileSize(8 * 4096);
  CreateTable();
  EXPECT_EQ(fTable->File()->fiMaxBlocks, 8u);
  TqdTestTransaction trans(&fCache);
  auto header = Header(&trans, true);
  for (TqdBlockNumber n = 1; n < 8; ++n) EXPECT_EQ(header->GetNewBlock(&trans, kOwner).BlockNumber(), n);
  const std::vector<uint8_t> before(header->Header(), header->Header() + 4096);
  EXPECT_EQ(CodeOf([&] { (void)header->GetNewBlock(&trans, kOwner); }), qdeTableFull);
  EXPECT_EQ(std::memcmp(before.data(), header->Header(), 4096), 0);
  header.reset();
  trans.Commit();
}

TEST_F(HeaderTest, TheLegacyFormatReusesTheMostRecentlyFreedBlockFirst) {
  fFixture.Fs().WriteAll("/db/old.qd1", LegacyFile(5));
  fTable = TqdTestTable::Open(&fCache, "/db/old.qd1");
  TqdTestTransaction trans(&fCache);
  auto header = Header(&trans, true);
  Free(*header, &trans, 2);
  Free(*header, &trans, 3);
  EXPECT_EQ(header->AvailableBlocks(), 2u);
  EXPECT_EQ(header->GetNewBlock(&trans, 0).BlockNumber(), 3u);
  EXPECT_EQ(header->GetNewBlock(&trans, 0).BlockNumber(), 2u);
  EXPECT_EQ(header->GetNewBlock(&trans, 0).BlockNumber(), 5u);
  EXPECT_EQ(header->UsedBlocks(), 6u);
  header.reset();
  trans.Rollback();
}

// --- Child headers -----------------------------------------------------------------------------

class ChildHeaderTest : public HeaderTest {
 protected:
  // The header block of the nested table aID, through its own block access.
  TqdBlockNumber Nested(TqdBaseTransaction* aTrans, int32_t aID) {
    TqdBlockAccess nested(fTable->File(), &fTable->Access(), u"nested", aID);
    auto header = nested.HeaderAccess(aTrans, aTrans != nullptr);
    EXPECT_EQ(qdBlockSignature(header->Header()), qdSignature("QD!2"));
    return nested.HeaderBlock();
  }
  TqdBlockNumber Lookup(int32_t aID) {
    auto root = Header(nullptr, false);
    return static_cast<Tqd2xFileHeaderAccess*>(root.get())->GetHeaderBlockForID(nullptr, aID);
  }
  // (identifier, block) pairs of the section and the overflow chain.
  std::vector<std::vector<int32_t>> Layout(TqdBaseTransaction* aTrans) {
    std::vector<std::vector<int32_t>> result;
    auto root = Header(aTrans, false);
    const uint16_t offset = root->RegisterHeaderSection("SubHeaders", 253, false, false);
    const uint8_t* section = root->Header() + offset;
    std::vector<int32_t> ids;
    for (uint32_t i = 0; i < section[252]; ++i) ids.push_back(qdGetI32(section + 8 * i));
    result.push_back(ids);
    for (uint32_t next = qdGetU32(section + 248); next != 0;) {
      TqdBlockRef block = fTable->Access().GetBlock(aTrans, next, kChildHeaderOverflowOwner, false);
      EXPECT_EQ(qdBlockSignature(block.Data()), qdSignature("CHOF"));
      EXPECT_EQ(qdGetU16(block.Data() + 20), (4092u - 24) / 8);
      ids.clear();
      for (uint32_t i = 0; i < qdGetU16(block.Data() + 22); ++i) ids.push_back(qdGetI32(block.Data() + 24 + 8 * i));
      result.push_back(ids);
      next = qdGetU32(block.Data() + 16);
    }
    return result;
  }
};

TEST_F(ChildHeaderTest, The32ndNestedTableGoesToTheFirstOverflowBlock) {
  CreateTable();
  std::map<int32_t, TqdBlockNumber> blocks;
  TqdTestTransaction trans(&fCache);
  for (int32_t id = 101; id <= 132; ++id) blocks[id] = Nested(&trans, id);
  std::vector<std::vector<int32_t>> layout = Layout(&trans);
  ASSERT_EQ(layout.size(), 2u);
  EXPECT_EQ(layout[0].size(), 31u);
  EXPECT_EQ(layout[0].back(), 131);
  EXPECT_EQ(layout[1], std::vector<int32_t>{132});
  // An identifier below every stored one goes into the section and pushes
  // the section's largest pair into the chain.
  blocks[5] = Nested(&trans, 5);
  layout = Layout(&trans);
  EXPECT_EQ(layout[0].front(), 5);
  EXPECT_EQ(layout[0].back(), 130);
  EXPECT_EQ(layout[1], (std::vector<int32_t>{131, 132}));
  // Existing ones are found, not created again.
  EXPECT_EQ(Nested(&trans, 120), blocks[120]);
  trans.Commit();

  Reopen();
  for (const auto& [id, block] : blocks) EXPECT_EQ(Lookup(id), block) << id;
  EXPECT_EQ(CodeOf([&] { (void)Lookup(999); }), qdeHeaderCorrupt);
  EXPECT_EQ(CodeOf([&] { (void)Nested(nullptr, 77); }), qdeHeaderCorrupt);
}

TEST_F(ChildHeaderTest, ANestedTableHasItsOwnSectionsAndAllocatesFromTheRoot) {
  CreateTable();
  TqdTestTransaction trans(&fCache);
  TqdBlockAccess nested(fTable->File(), &fTable->Access(), u"nested", 42);
  {
    auto header = nested.HeaderAccess(&trans, true);
    EXPECT_EQ(header->RegisterHeaderSection("Record", 20, true, false), 4071);
    const uint32_t used = header->UsedBlocks();
    TqdBlockRef block = header->GetNewBlock(&trans, 42);
    EXPECT_EQ(block.BlockNumber(), used);
    EXPECT_EQ(header->UsedBlocks(), used + 1);
    EXPECT_EQ(qdGetI32(header->Header() + 4092), 42);
  }
  trans.Commit();
  Reopen();
  TqdBlockAccess again(fTable->File(), &fTable->Access(), u"nested", 42);
  auto header = again.HeaderAccess(nullptr, false);
  EXPECT_EQ(header->RegisterHeaderSection("Record", 20, false, false), 4071);
  // Another table's identifier does not own that header block.
  TqdBlockAccess wrong(fTable->File(), &fTable->Access(), u"nested", 43);
  wrong.SetHeaderBlock(again.HeaderBlock());
  EXPECT_EQ(CodeOf([&] { (void)wrong.HeaderAccess(nullptr, false); }), qdeFileCorrupt);
}

}  // namespace
}  // namespace qd::test
