// A damaged-table fixture and the routine that drives a table file through
// everything that parses its stored bytes. Shared by the corruption tests,
// the libFuzzer target over block 0 (tests/fuzz) and the replay of every
// input that fuzzer found (tests/fuzz/cases/header).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/qdsrBufferManager.h"

namespace qd::test {

inline constexpr int32_t kFixtureOwner = 1;
inline constexpr int32_t kFixtureFirstChild = 101;
inline constexpr int32_t kFixtureLastChild = 133;  // 33 nested tables: two pairs overflow

// A committed "QD!2" file with two header sections, 33 child headers, 5 free
// numbers in the header and a free-block map holding 15 more, and where
// its structures lie.
struct TqdFixtureLayout {
  std::vector<uint8_t> flBytes;
  uint32_t flUsed = 0;
  TqdBlockNumber flMapBlock = 0;
  TqdBlockNumber flFirstOverflow = 0;
  TqdBlockNumber flFirstChild = 0;
  uint16_t flSubHeaders = 0;
  uint16_t flRecord = 0;
};
const TqdFixtureLayout& HeaderFixture();

// The file name the fixture is installed under.
inline constexpr const char* kFixtureName = "/db/f.qd1";

// Opens the table (the current file system must hold it under kFixtureName)
// and reads every header structure: sections, child headers, allocation
// and freeing. Corruption ends in an engine exception; anything else that
// escapes (an assertion failure) is a fault.
void ExerciseTable();

// The fuzz input patches bytes of the fixture file (four input bytes per
// patch: a 24-bit offset, the value; a remainder cuts the file); then
// the table is exercised in a fresh in-memory file system. Engine
// exceptions are the expected outcome of damage and are swallowed.
void FuzzHeaderInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
