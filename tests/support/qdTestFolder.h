// A temporary folder for one test, removed with everything in it when the
// fixture ends. Tests never write into the source tree.
#pragma once

#include <filesystem>
#include <string>

namespace qd::test {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return fPath; }
  std::filesystem::path File(const std::string& aName) const { return fPath / aName; }

 private:
  std::filesystem::path fPath;
};

}  // namespace qd::test
