// A table of static records and the routine that drives it through
// everything that reads "QDDH" blocks and the engine's header section.
// Shared by the libFuzzer target over static records (tests/fuzz), the
// replay of its kept inputs (tests/fuzz/cases/static_records) and the seed
// generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/qdsrBufferManager.h"

namespace qd::test {

// The file name the fixture is installed under.
inline constexpr const char* kStaticRecordFixtureName = "/db/records.qd1";

// A committed "QD!2" file with 200 records (an Int32 id, a 40-character wide
// string and a RefNr field) in five "QDDH" blocks, every seventh record
// deleted so that several blocks hold free-slot chains.
struct TqdStaticRecordFixture {
  std::vector<uint8_t> srBytes;
  // The references of the records that exist, then those deleted.
  std::vector<TqdRefNr> srLive;
  std::vector<TqdRefNr> srDeleted;
  // Offset of the engine's 20-byte header section in block 0.
  uint16_t srSection = 0;
};
const TqdStaticRecordFixture& StaticRecordFixture();

// The input patches bytes of the fixture (four input bytes per patch: a
// 24-bit offset into the blocks after block 0 - or, with the top bit of the
// offset set, into the engine's header section - and the value). The table
// is then opened in a fresh in-memory file system and its records counted,
// walked both ways, read, numbered, recovered block by block, added,
// updated and deleted. Engine exceptions are the expected outcome of damage
// and are swallowed; anything else escapes.
void FuzzStaticRecordInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
