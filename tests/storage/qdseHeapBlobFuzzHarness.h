// A table file holding BLOBs of every kind in a heap, and the routine that
// drives it through everything that parses heap blocks, map blocks and BLOB
// segments. Shared by the libFuzzer target over heap and BLOB storage
// (tests/fuzz) and the replay of the inputs it found
// (tests/fuzz/cases/heap_blob).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qd::test {

// The file name the fixture is installed under.
inline constexpr const char* kHeapBlobFixtureName = "/db/blobs.qd1";

// A committed "QD!2" file with a small BLOB, a one-segment BLOB, two trees
// (of 8 and about 75 leaves), a BLOB link, a file BLOB and an empty BLOB,
// spread over heap data blocks and a map block.
const std::vector<uint8_t>& HeapBlobFixture();

// The fuzz input patches bytes of the fixture (four input bytes per patch:
// a 24-bit offset into the blocks after block 0 - or, with the top bit of
// the offset set, into the BLOB engine's header section - and the value).
// Then every BLOB is measured and read, and written, truncated and deleted
// in transactions, on the damaged file in a fresh in-memory file system.
// Engine exceptions are the expected outcome of damage and are swallowed;
// anything else escapes.
void FuzzHeapBlobInput(const uint8_t* aData, size_t aSize);

}  // namespace qd::test
