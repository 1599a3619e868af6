// A table with two B*-tree indexes and the routine that drives it through
// everything that reads index and record blocks. Shared by the libFuzzer
// target over B*-trees (tests/fuzz), the replay of its kept inputs
// (tests/fuzz/cases/bstar_tree) and the seed generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "foundation/qdllTypes.h"

namespace qd::test {

// One record of the fixture: its id, its reference and the values of the
// two index fields.
struct TqdBstarFuzzRecord {
  int32_t Id;
  int64_t RefNr;
  std::optional<uint64_t> Unique;
  std::optional<uint64_t> Grouped;
};

// A committed "QD!2" file (tests/indexes/qdseIndexTestFixture.h) with 400
// records and two indexes, each a tree of several levels: index 0 unique
// over an 8-byte field, index 1 with duplicates over a 32-byte field (37
// groups of values, every fiftieth value null).
struct TqdBstarFuzzFixture {
  std::vector<uint8_t> bfBytes;
  std::vector<TqdBstarFuzzRecord> bfRecords;
};
const TqdBstarFuzzFixture& BstarTreeFixture();

// The input patches bytes of the blocks after block 0 (four input bytes per
// patch: a 24-bit offset, taken modulo their size, and the value). The
// table is reopened from the patched file; every index is counted, walked
// both ways by steps and by ranges, searched with each action from several
// keys and stepped from there, asked for record numbers and estimates, and
// then changed by inserts, deletes, updates and DeleteAllKeys. Engine
// exceptions are the expected outcome of damage and are swallowed; anything
// else escapes.
void FuzzBstarTreeInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
