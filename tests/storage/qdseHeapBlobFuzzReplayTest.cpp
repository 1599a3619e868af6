// Replays every input the heap and BLOB fuzzer found
// (tests/fuzz/cases/heap_blob) and damage of known shape through the same
// harness: none may end in anything but an engine error.
#include <gtest/gtest.h>

#include "tests/storage/qdseHeapBlobFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(HeapBlobFuzzReplayTest, FoundInputsEndInEngineErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("heap_blob")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzHeapBlobInput(c.Input.data(), c.Input.size()));
  }
}

// The block heap's words at the end of every block (directory, chain head,
// recoverable space, free-area word), the map block's link and count, and
// the first bytes of the segment area, each set to a few telling values.
TEST(HeapBlobFuzzReplayTest, DamageToEveryHeapWordEndsInEngineErrorsOnly) {
  const size_t blocks = HeapBlobFixture().size() / 4096 - 1;
  for (uint8_t value : {uint8_t(0x05), uint8_t(0xFF)}) {
    for (size_t block = 0; block < blocks; block += 11) {
      for (uint32_t offset : {4u, 16u, 17u, 20u, 21u, 22u, 23u, 26u, 4078u, 4081u, 4082u, 4083u, 4084u, 4086u, 4088u,
                              4089u, 4090u, 4091u}) {
        const uint32_t at = uint32_t(block * 4096 + offset);
        const uint8_t input[4] = {uint8_t(at), uint8_t(at >> 8), uint8_t(at >> 16), value};
        EXPECT_NO_THROW(FuzzHeapBlobInput(input, 4)) << block << ":" << offset << "=" << int(value);
      }
    }
    for (uint32_t offset = 0; offset < 4; ++offset) {
      const uint8_t input[4] = {uint8_t(offset), 0, 0x80, value};
      EXPECT_NO_THROW(FuzzHeapBlobInput(input, 4)) << "section " << offset << "=" << int(value);
    }
  }
}

}  // namespace
}  // namespace qd::test
