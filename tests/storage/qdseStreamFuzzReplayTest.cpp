// Replays every input the stream fuzzer found (tests/fuzz/cases/stream) and
// inputs of known shape through the same harness: none may end in anything
// but an engine error.
#include <gtest/gtest.h>

#include "tests/storage/qdseStreamFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(StreamFuzzReplayTest, FoundInputsEndInEngineErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("stream")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzStreamInput(c.Input.data(), c.Input.size()));
  }
}

// Every byte of the stream blocks' own header (next, tag, length, first
// block) and of the engine's section set to each of a few telling values.
TEST(StreamFuzzReplayTest, DamageToEveryStreamFieldEndsInEngineErrorsOnly) {
  const size_t blocks = StreamFixture().size() / 4096 - 1;
  for (uint8_t value : {uint8_t(0), uint8_t(1), uint8_t(0xFF)}) {
    for (size_t block = 0; block < blocks; ++block) {
      for (uint32_t offset = 16; offset < 32; ++offset) {
        const uint32_t at = uint32_t(block * 4096 + offset);
        const uint8_t input[4] = {uint8_t(at), uint8_t(at >> 8), uint8_t(at >> 16), value};
        EXPECT_NO_THROW(FuzzStreamInput(input, 4)) << block << ":" << offset << "=" << int(value);
      }
    }
    for (uint32_t offset = 0; offset < 8; ++offset) {
      const uint8_t input[4] = {uint8_t(offset), 0, 0x80, value};
      EXPECT_NO_THROW(FuzzStreamInput(input, 4)) << "section " << offset << "=" << int(value);
    }
  }
}

}  // namespace
}  // namespace qd::test
