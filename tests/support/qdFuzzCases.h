// The inputs a fuzzer found and kept under tests/fuzz/cases/<target>, for the
// replay tests that run them through the same harness on every build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qd::test {

struct FuzzCase {
  std::string Name;
  std::vector<uint8_t> Input;
};

// Every regular file of tests/fuzz/cases/<aTarget> except hidden ones; none
// when the folder does not exist.
std::vector<FuzzCase> ReadFuzzCases(const std::string& aTarget);

}  // namespace qd::test
