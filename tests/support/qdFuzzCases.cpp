#include "tests/support/qdFuzzCases.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace qd::test {

std::vector<FuzzCase> ReadFuzzCases(const std::string& aTarget) {
  const auto folder = std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "cases" / aTarget;
  std::vector<FuzzCase> cases;
  if (!std::filesystem::is_directory(folder)) return cases;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    cases.push_back({entry.path().filename().string(),
                     std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
  }
  return cases;
}

}  // namespace qd::test
