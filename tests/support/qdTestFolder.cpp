#include "support/qdTestFolder.h"

#include <stdlib.h>

#include <stdexcept>

namespace qd::test {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qdtest-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
  fPath = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(fPath, ignored);
}

}  // namespace qd::test
