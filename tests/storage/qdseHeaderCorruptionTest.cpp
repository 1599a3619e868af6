// Damaged table files: every field of block 0, the section table, the
// free-block map, the child headers and the block identities is read from
// an untrusted file. Each kind of damage must end in 8961 (header) or 8962
// (other blocks), or 9992 for a file that is no table at all, and never in
// a crash or an endless walk.
#include <gtest/gtest.h>

#include <functional>

#include "storage/qdseHeaderAccess.h"
#include "tests/storage/qdseHeaderFuzzHarness.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {
namespace {

constexpr uint32_t kBlock = 4096;
constexpr int32_t kOwner = kFixtureOwner;
constexpr int32_t kFirstChild = kFixtureFirstChild;
constexpr int32_t kLastChild = kFixtureLastChild;

enum TqdOperation { opOpen, opSections, opAllocate, opFree, opChildren, opNested, opReadBlock };

void RunOperation(TqdOperation aOperation) {
  TqdBufferManager cache(u"/tmp");
  auto table = TqdTestTable::Open(&cache, "/db/f.qd1");
  switch (aOperation) {
    case opOpen:
      break;
    case opSections: {
      auto header = table->Access().HeaderAccess(nullptr, false);
      (void)header->RegisterHeaderSection("Record", 20, false, false);
      (void)header->RegisterHeaderSection("Missing", 20, false, false);
      break;
    }
    case opAllocate: {
      TqdTestTransaction trans(&cache);
      {
        auto header = table->Access().HeaderAccess(&trans, true);
        for (int i = 0; i < 8; ++i) (void)header->GetNewBlock(&trans, kOwner);
      }
      trans.Commit();
      break;
    }
    case opFree: {
      TqdTestTransaction trans(&cache);
      {
        auto header = table->Access().HeaderAccess(&trans, true);
        for (TqdBlockNumber n = 22; n <= 40; ++n) {
          TqdBlockRef block = table->Access().GetBlock(&trans, n, 0, true);
          header->DeleteBlock(&trans, block);
        }
      }
      trans.Commit();
      break;
    }
    case opChildren: {
      auto header = table->Access().HeaderAccess(nullptr, false);
      auto* root = static_cast<Tqd2xFileHeaderAccess*>(header.get());
      for (int32_t id = kFirstChild; id <= kLastChild; ++id) (void)root->GetHeaderBlockForID(nullptr, id);
      // A missing identifier walks the whole chain and ends in "not there".
      try {
        (void)root->GetHeaderBlockForID(nullptr, 999);
      } catch (const EqdBaseException& e) {
        if (e.ErrorCode() != qdeHeaderCorrupt) throw;
      }
      break;
    }
    case opNested: {
      TqdBlockAccess nested(table->File(), &table->Access(), u"nested", kFirstChild);
      (void)nested.HeaderAccess(nullptr, false);
      break;
    }
    case opReadBlock:
      for (TqdBlockNumber n = 22; n <= 30; ++n) (void)table->Access().GetBlock(nullptr, n, kOwner, false);
      break;
  }
}

using TqdDamage = std::function<void(std::vector<uint8_t>& aBytes, const TqdFixtureLayout& aLayout)>;

struct DamageCase {
  const char* name;
  TqdDamage damage;
  TqdOperation operation;
  TqdResult expected;
};

uint8_t* At(std::vector<uint8_t>& aBytes, TqdBlockNumber aBlock, uint32_t aOffset) {
  return aBytes.data() + size_t(aBlock) * kBlock + aOffset;
}

std::vector<DamageCase> Cases() {
  using B = std::vector<uint8_t>;
  using L = TqdFixtureLayout;
  return {
      // The fixture itself passes every operation.
      {"undamaged", [](B&, const L&) {}, opChildren, 0},
      {"undamaged allocation", [](B&, const L&) {}, opAllocate, 0},
      {"undamaged freeing", [](B&, const L&) {}, opFree, 0},
      // Block 0 fields.
      {"block 0 numbered 3", [](B& b, const L&) { qdPutU32(At(b, 0, 4), 3); }, opOpen, qdeHeaderCorrupt},
      {"size code 5", [](B& b, const L&) { b[16] = 5; }, opOpen, qdeHeaderCorrupt},
      {"size code 255", [](B& b, const L&) { b[16] = 255; }, opOpen, qdeHeaderCorrupt},
      {"size code 1 in a 4 KB file", [](B& b, const L&) { b[16] = 1; }, opOpen, qdeHeaderCorrupt},
      {"usable size one more", [](B& b, const L&) { qdPutU32(At(b, 0, 20), 4093); }, opOpen, qdeHeaderCorrupt},
      {"usable size tiny", [](B& b, const L&) { qdPutU32(At(b, 0, 20), 100); }, opOpen, qdeHeaderCorrupt},
      {"used blocks 0", [](B& b, const L&) { qdPutU32(At(b, 0, 32), 0); }, opOpen, qdeHeaderCorrupt},
      {"used blocks beyond the file", [](B& b, const L&) { qdPutU32(At(b, 0, 32), uint32_t(b.size() / kBlock) + 1); },
       opOpen, qdeHeaderCorrupt},
      {"used blocks all ones", [](B& b, const L&) { qdPutU32(At(b, 0, 32), 0xFFFFFFFF); }, opOpen, qdeHeaderCorrupt},
      {"encryption name 32 long", [](B& b, const L&) { b[40] = 32; }, opOpen, qdeHeaderCorrupt},
      {"stream name 255 long", [](B& b, const L&) { b[72] = 255; }, opOpen, qdeHeaderCorrupt},
      {"encryption header area larger than the block", [](B& b, const L&) { qdPutU16(At(b, 0, 17), 4000); }, opOpen,
       qdeHeaderCorrupt},
      {"section top above the block", [](B& b, const L&) { qdPutU16(At(b, 0, 256), 4095); }, opOpen, qdeHeaderCorrupt},
      {"section top inside the table", [](B& b, const L&) { qdPutU16(At(b, 0, 256), 200); }, opOpen, qdeHeaderCorrupt},
      {"section name length runs past the top", [](B& b, const L&) { qdPutU16(At(b, 0, 256), 262); }, opOpen,
       qdeHeaderCorrupt},
      {"section name length garbles its offset", [](B& b, const L&) { b[258] = 250; }, opOpen, qdeHeaderCorrupt},
      {"section offset above the top", [](B& b, const L&) { qdPutU16(At(b, 0, 258 + 1 + 6), 4095); }, opOpen,
       qdeHeaderCorrupt},
      {"section offsets rising", [](B& b, const L&) { qdPutU16(At(b, 0, 258 + 9 + 1 + 6), 4080); }, opOpen,
       qdeHeaderCorrupt},
      {"section size differs", [](B& b, const L& l) { qdPutU16(At(b, 0, 258 + 1 + 6), l.flRecord + 1); }, opSections,
       qdeHeaderCorrupt},
      {"free count 21", [](B& b, const L&) { qdPutU32(At(b, 0, 28), 21); }, opOpen, qdeHeaderCorrupt},
      {"free count all ones", [](B& b, const L&) { qdPutU32(At(b, 0, 28), 0xFFFFFFFF); }, opOpen, qdeHeaderCorrupt},
      {"free number 0", [](B& b, const L&) { qdPutU32(At(b, 0, 104 + 8), 0); }, opOpen, qdeHeaderCorrupt},
      {"free number beyond the used blocks", [](B& b, const L& l) { qdPutU32(At(b, 0, 104 + 8), l.flUsed); }, opOpen,
       qdeHeaderCorrupt},
      {"map chain head 0", [](B& b, const L&) { qdPutU32(At(b, 0, 24), 0); }, opOpen, qdeHeaderCorrupt},
      {"map chain head beyond the used blocks", [](B& b, const L& l) { qdPutU32(At(b, 0, 24), l.flUsed + 5); }, opOpen,
       qdeHeaderCorrupt},
      // Not a table file at all.
      {"unknown signature", [](B& b, const L&) { std::memcpy(b.data(), "ZZZZ", 4); }, opOpen, qdeCannotOpenFile},
      {"shorter than a header", [](B& b, const L&) { b.resize(100); }, opOpen, qdeCannotOpenFile},
      // Free-block map.
      {"map count above capacity", [](B& b, const L& l) { qdPutU32(At(b, l.flMapBlock, 24), 2000); }, opAllocate,
       qdeFileCorrupt},
      {"map capacity above the block", [](B& b, const L& l) { qdPutU32(At(b, l.flMapBlock, 20), 0xFFFFFFFF); },
       opAllocate, qdeFileCorrupt},
      {"map entry 0", [](B& b, const L& l) { qdPutU32(At(b, l.flMapBlock, 28 + 4 * 14), 0); }, opAllocate,
       qdeFileCorrupt},
      {"map entry beyond the used blocks",
       [](B& b, const L& l) { qdPutU32(At(b, l.flMapBlock, 28 + 4 * 14), l.flUsed); }, opAllocate, qdeFileCorrupt},
      {"map link beyond the used blocks", [](B& b, const L& l) { qdPutU32(At(b, l.flMapBlock, 16), 77777); },
       opAllocate, qdeFileCorrupt},
      {"map owned by someone else", [](B& b, const L& l) { qdPutI32(At(b, l.flMapBlock, 4092), kOwner); }, opAllocate,
       qdeFileCorrupt},
      {"map with another signature", [](B& b, const L& l) { std::memcpy(At(b, l.flMapBlock, 0), "XXXX", 4); }, opFree,
       qdeFileCorrupt},
      {"map head is a data block", [](B& b, const L&) { qdPutU32(At(b, 0, 24), 30); }, opFree, qdeFileCorrupt},
      {"map head is the block being freed", [](B& b, const L&) { qdPutU32(At(b, 0, 24), 37); }, opFree,
       qdeHeaderCorrupt},
      // Child headers.
      {"child header count 40", [](B& b, const L& l) { *At(b, 0, l.flSubHeaders + 252) = 40; }, opChildren,
       qdeHeaderCorrupt},
      {"child headers out of order",
       [](B& b, const L& l) {
         qdPutI32(At(b, 0, l.flSubHeaders), 500);  // the first pair now sorts last
       },
       opChildren, qdeHeaderCorrupt},
      {"child header block beyond the used blocks",
       [](B& b, const L& l) { qdPutU32(At(b, 0, l.flSubHeaders + 4), l.flUsed + 1); }, opChildren, qdeHeaderCorrupt},
      {"first overflow block beyond the used blocks",
       [](B& b, const L& l) { qdPutU32(At(b, 0, l.flSubHeaders + 248), 0xFFFF); }, opChildren, qdeHeaderCorrupt},
      {"overflow count above capacity", [](B& b, const L& l) { qdPutU16(At(b, l.flFirstOverflow, 22), 1000); },
       opChildren, qdeFileCorrupt},
      {"overflow chain loops", [](B& b, const L& l) { qdPutU32(At(b, l.flFirstOverflow, 16), l.flFirstOverflow); },
       opChildren, qdeFileCorrupt},
      {"overflow owned by someone else", [](B& b, const L& l) { qdPutI32(At(b, l.flFirstOverflow, 4092), 7); },
       opChildren, qdeFileCorrupt},
      {"child header owned by another table", [](B& b, const L& l) { qdPutI32(At(b, l.flFirstChild, 4092), 102); },
       opNested, qdeFileCorrupt},
      // Block identity.
      {"block stored under another number", [](B& b, const L&) { qdPutU32(At(b, 25, 4), 26); }, opReadBlock,
       qdeFileCorrupt},
      {"block owned by someone else", [](B& b, const L&) { qdPutI32(At(b, 25, 4092), 9); }, opReadBlock,
       qdeFileCorrupt},
  };
}

TEST(HeaderCorruptionTest, EveryKindOfDamageIsReportedAsCorruption) {
  const TqdFixtureLayout& layout = HeaderFixture();
  ASSERT_NE(layout.flMapBlock, kNoBlock);
  ASSERT_NE(layout.flFirstOverflow, 0u);
  for (const DamageCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    TqdFaultFixture fault;
    std::vector<uint8_t> bytes = layout.flBytes;
    c.damage(bytes, layout);
    fault.Fs().WriteAll("/db/f.qd1", bytes);
    TqdResult code = 0;
    std::string message;
    try {
      RunOperation(c.operation);
    } catch (const EqdBaseException& e) {
      code = e.ErrorCode();
      message = e.what();
    }
    EXPECT_EQ(code, c.expected) << message;
  }
}

// "QD!1" files keep their free list in the freed blocks themselves.
std::vector<uint8_t> LegacyFile(uint32_t aUsed, uint32_t aFreeHead, uint32_t aFreeCount) {
  std::vector<uint8_t> bytes(size_t(aUsed) * kBlock, 0);
  std::memcpy(bytes.data(), "QD!1", 4);
  qdPutU32(bytes.data() + 20, kBlock);
  qdPutU32(bytes.data() + 24, aFreeHead);
  qdPutU32(bytes.data() + 28, aFreeCount);
  qdPutU32(bytes.data() + 32, aUsed);
  qdPutI32(bytes.data() + 36, 47501);
  for (uint32_t n = 1; n < aUsed; ++n) qdPutU32(bytes.data() + n * kBlock + 4, n);
  return bytes;
}

TEST(HeaderCorruptionTest, LegacyFreeListDamage) {
  struct {
    const char* name;
    uint32_t freeHead;
    uint32_t freeCount;
    TqdResult expected;
  } cases[] = {
      {"free count above the blocks", 2, 9, qdeHeaderCorrupt},
      {"free head beyond the blocks", 9, 1, qdeHeaderCorrupt},
      {"free head missing", kNoBlock, 1, qdeHeaderCorrupt},
      {"free head is no freed block", 2, 1, qdeFileCorrupt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TqdFaultFixture fault;
    fault.Fs().WriteAll("/db/old.qd1", LegacyFile(4, c.freeHead, c.freeCount));
    const TqdResult code = CodeOf([] {
      TqdBufferManager cache(u"/tmp");
      auto table = TqdTestTable::Open(&cache, "/db/old.qd1");
      TqdTestTransaction trans(&cache);
      {
        auto header = table->Access().HeaderAccess(&trans, true);
        (void)header->GetNewBlock(&trans, 0);
      }
      trans.Rollback();
    });
    EXPECT_EQ(code, c.expected);
  }
}

}  // namespace
}  // namespace qd::test
