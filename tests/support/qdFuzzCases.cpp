#include "tests/support/qdFuzzCases.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qd::test {

std::vector<FuzzCase> ReadFuzzCasesFrom(const std::filesystem::path& aFolder) {
  if (!std::filesystem::is_directory(aFolder))
    throw std::runtime_error("fuzz case folder " + aFolder.string() + " is missing");
  std::vector<FuzzCase> cases;
  for (const auto& entry : std::filesystem::directory_iterator(aFolder)) {
    if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    if (!in) throw std::runtime_error("fuzz case " + entry.path().string() + " cannot be read");
    cases.push_back({entry.path().filename().string(),
                     std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
  }
  if (cases.empty()) throw std::runtime_error("fuzz case folder " + aFolder.string() + " holds no case");
  std::sort(cases.begin(), cases.end(), [](const FuzzCase& a, const FuzzCase& b) { return a.Name < b.Name; });
  return cases;
}

// The build names the folder by its absolute path: __FILE__ may be relative
// to the compiler's working directory (a compiler cache rewrites it so), and
// the tests run elsewhere.
std::filesystem::path FuzzCasesRoot() { return QD_FUZZ_CASES_DIR; }

std::vector<FuzzCase> ReadFuzzCases(const std::string& aTarget) { return ReadFuzzCasesFrom(FuzzCasesRoot() / aTarget); }

}  // namespace qd::test
