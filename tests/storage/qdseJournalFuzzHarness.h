// Two committed tables and the routine that recovers them from journal files
// built from the input. Shared by the libFuzzer target over journal recovery
// (tests/fuzz), the replay of its kept inputs (tests/fuzz/cases/journal) and
// the seed generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qd::test {

// The tables of the fixture, each a committed "QD!2" file of 7 blocks.
inline constexpr const char* kJournalFuzzTables[] = {"/db/a.qd1", "/db/b.qd1"};

// The fixture tables' bytes, in the order of kJournalFuzzTables.
const std::vector<std::vector<uint8_t>>& JournalFuzzTables();

// The input of one run: the kind of the checking journal class (0, 1, 2)
// and one or two journal files.
struct TqdJournalFuzzInput {
  uint8_t jfChecker = 2;
  std::vector<std::vector<uint8_t>> jfJournals;
};
// Input layout: a control byte (bits 0-1: the checking class's kind, 3
// meaning 2; bit 2: two journals), then with two journals the first one's
// length (2 bytes, little-endian, cut to what follows), the first journal
// and the second; else the one journal.
std::vector<uint8_t> EncodeJournalFuzzInput(const TqdJournalFuzzInput& aInput);
TqdJournalFuzzInput DecodeJournalFuzzInput(const uint8_t* aData, size_t aSize);

// Installs the fixture tables and the input's journals ("100.n$2",
// "101.n$2") in a fresh in-memory folder and checks the folder twice: the
// second check must replay nothing (std::logic_error otherwise). Then each
// table is opened and its blocks read, or refused with an engine error.
// Anything but an engine exception that escapes is a fault.
void FuzzJournalInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
