// The inputs kept for each libFuzzer target under tests/fuzz/cases/<target>:
// the seeds tests/fuzz/qdFuzzSeeds.cpp writes with the engine's own writers
// and every input a fuzzer found, for the replay tests that run them through
// the same harness on every build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qd::test {

struct FuzzCase {
  std::string Name;
  std::vector<uint8_t> Input;
};

// Every regular file of aFolder except hidden ones, sorted by name. A
// missing or empty folder raises std::runtime_error: a replay over nothing
// would pass while checking nothing.
std::vector<FuzzCase> ReadFuzzCasesFrom(const std::filesystem::path& aFolder);

// The cases of tests/fuzz/cases/<aTarget> in the source tree.
std::vector<FuzzCase> ReadFuzzCases(const std::string& aTarget);

// tests/fuzz/cases in the source tree.
std::filesystem::path FuzzCasesRoot();

}  // namespace qd::test
