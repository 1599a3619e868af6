// Replays every input the block-0 fuzzer found (tests/fuzz/cases/header)
// and a few inputs of known shape through the same harness: none may end in
// anything but an engine error.
#include <gtest/gtest.h>

#include "tests/storage/qdseHeaderFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(HeaderFuzzReplayTest, FoundInputsEndInEngineErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("header")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzHeaderInput(c.Input.data(), c.Input.size()));
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
