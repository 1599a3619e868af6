// Replays every input the block-0 fuzzer found (tests/fuzz/cases/header)
// and a few inputs of known shape through the same harness: none may end in
// anything but an engine error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/storage/qdseHeaderFuzzHarness.h"

namespace qd::test {
namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(HeaderFuzzReplayTest, FoundInputsEndInEngineErrorsOnly) {
  const auto folder = std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "cases" / "header";
  std::vector<std::filesystem::path> cases;
  if (std::filesystem::is_directory(folder))
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') cases.push_back(entry.path());
  for (const auto& path : cases) {
    SCOPED_TRACE(path.filename().string());
    const std::vector<uint8_t> input = ReadFile(path);
    EXPECT_NO_THROW(FuzzHeaderInput(input.data(), input.size()));
  }
}

TEST(HeaderFuzzReplayTest, InputsOfKnownShapeEndInEngineErrorsOnly) {
  auto patch = [](std::vector<uint8_t>& aInput, uint16_t aOffset, uint8_t aValue) {
    aInput.push_back(uint8_t(aOffset));
    aInput.push_back(uint8_t(aOffset >> 8));
    aInput.push_back(0);
    aInput.push_back(aValue);
  };
  std::vector<std::vector<uint8_t>> inputs = {{}, {0}, {7}};  // valid; cut to one byte; cut after 3.5 KB
  std::vector<uint8_t> wiped;
  for (uint16_t offset = 0; offset < 300; ++offset) patch(wiped, offset, 0xFF);
  inputs.push_back(wiped);
  std::vector<uint8_t> sectionRun;
  for (uint16_t offset = 258; offset < 600; ++offset) patch(sectionRun, offset, 1);
  inputs.push_back(sectionRun);
  for (const auto& input : inputs) EXPECT_NO_THROW(FuzzHeaderInput(input.data(), input.size()));
}

}  // namespace
}  // namespace qd::test
