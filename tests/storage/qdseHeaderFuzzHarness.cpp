#include "tests/storage/qdseHeaderFuzzHarness.h"

#include <algorithm>
#include <cstring>

#include "storage/qdseHeaderAccess.h"
#include "tests/storage/qdsrTestOwner.h"

namespace qd::test {

const TqdFixtureLayout& HeaderFixture() {
  static const TqdFixtureLayout layout = [] {
    TqdFixtureLayout result;
    TqdFaultFixture fault;
    TqdBufferManager cache(u"/tmp");
    {
      auto table = TqdTestTable::Create(&cache, kFixtureName);
      TqdTestTransaction trans(&cache);
      auto header = table->Access().HeaderAccess(&trans, true);
      result.flRecord = header->RegisterHeaderSection("Record", 20, true, false);
      (void)header->RegisterHeaderSection("Stream", 8, true, false);
      for (int i = 0; i < 40; ++i) {
        TqdBlockRef block = header->GetNewBlock(&trans, kFixtureOwner);
        std::memset(block.WritableData() + kBlockCommonHeaderSize, 0x33, 100);
      }
      for (int32_t id = kFixtureFirstChild; id <= kFixtureLastChild; ++id) {
        TqdBlockAccess nested(table->File(), &table->Access(), u"nested", id);
        auto childHeader = nested.HeaderAccess(&trans, true);
        if (id == kFixtureFirstChild) result.flFirstChild = nested.HeaderBlock();
      }
      for (TqdBlockNumber n = 1; n <= 21; ++n) {
        TqdBlockRef block = table->Access().GetBlock(&trans, n, 0, true);
        header->DeleteBlock(&trans, block);
      }
      result.flSubHeaders = header->RegisterHeaderSection("SubHeaders", 253, false, false);
      result.flMapBlock = qdGetU32(header->Header() + 24);
      result.flFirstOverflow = qdGetU32(header->Header() + result.flSubHeaders + 248);
      result.flUsed = header->UsedBlocks();
      header.reset();
      trans.Commit();
    }
    result.flBytes = fault.Fs().ReadAll(kFixtureName);
    return result;
  }();
  return layout;
}

void ExerciseTable() {
  TqdBufferManager cache(u"/tmp");
  auto table = TqdTestTable::Open(&cache, kFixtureName);
  {
    auto header = table->Access().HeaderAccess(nullptr, false);
    for (const char* name : {"Record", "Stream", "Missing"}) {
      try {
        (void)header->RegisterHeaderSection(name, 20, false, false);
      } catch (const EqdBaseException&) {
      }
    }
    // Child headers exist only in "QD!2" files; damage may turn the file
    // into a legacy one.
    auto* root = dynamic_cast<Tqd2xFileHeaderAccess*>(header.get());
    for (int32_t id : {kFixtureFirstChild, kFixtureLastChild - 1, kFixtureLastChild, 999}) {
      if (root == nullptr) break;
      try {
        (void)root->GetHeaderBlockForID(nullptr, id);
      } catch (const EqdBaseException&) {
      }
    }
  }
  {
    TqdTestTransaction trans(&cache);
    auto header = table->Access().HeaderAccess(&trans, true);
    std::vector<TqdBlockNumber> taken;
    for (int i = 0; i < 24; ++i) {
      TqdBlockRef block = header->GetNewBlock(&trans, kFixtureOwner);
      taken.push_back(block.BlockNumber());
    }
    for (TqdBlockNumber n : taken) {
      TqdBlockRef block = table->Access().GetBlock(&trans, n, kFixtureOwner, true);
      header->DeleteBlock(&trans, block);
    }
    TqdBlockAccess nested(table->File(), &table->Access(), u"nested", 500);
    (void)nested.HeaderAccess(&trans, true);
    header.reset();
    trans.Commit();
  }
  cache.CheckInvariants();
}

void FuzzHeaderInput(const uint8_t* aData, size_t aSize) {
  std::vector<uint8_t> bytes = HeaderFixture().flBytes;
  // Every four bytes patch one byte of the valid file: a 24-bit offset
  // (taken modulo the file size) and the new value. A short input thus
  // damages a real header where it matters instead of replacing it with
  // noise; a remainder of one to three bytes cuts the file there.
  size_t position = 0;
  for (; position + 4 <= aSize; position += 4) {
    const size_t offset =
        (size_t(aData[position]) | size_t(aData[position + 1]) << 8 | size_t(aData[position + 2]) << 16) % bytes.size();
    bytes[offset] = aData[position + 3];
  }
  if (position < aSize) bytes.resize(size_t(aData[position]) * 512 % bytes.size() + 1);
  TqdFaultFixture fault;
  fault.Fs().WriteAll(kFixtureName, bytes);
  try {
    ExerciseTable();
  } catch (const EqdBaseException&) {
    // Damage is reported as an engine error; that is the sound outcome.
  }
}

}  // namespace qd::test
