// Replays every input the stream fuzzer found (tests/fuzz/cases/stream) and
// inputs of known shape through the same harness: none may end in anything
// but an engine error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/storage/qdseStreamFuzzHarness.h"

namespace qd::test {
namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(StreamFuzzReplayTest, FoundInputsEndInEngineErrorsOnly) {
  const auto folder = std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "cases" / "stream";
  std::vector<std::filesystem::path> cases;
  if (std::filesystem::is_directory(folder))
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') cases.push_back(entry.path());
  for (const auto& path : cases) {
    SCOPED_TRACE(path.filename().string());
    const std::vector<uint8_t> input = ReadFile(path);
    EXPECT_NO_THROW(FuzzStreamInput(input.data(), input.size()));
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
