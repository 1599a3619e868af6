// The reader of kept fuzz inputs: a replay over a missing or empty folder
// must fail instead of passing while checking nothing, and every fuzz target
// has its committed cases.
#include "tests/support/qdFuzzCases.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "tests/support/qdTestFolder.h"

namespace qd::test {
namespace {

void writeFile(const std::filesystem::path& aPath, const std::string& aBytes) {
  std::ofstream(aPath, std::ios::binary) << aBytes;
}

TEST(FuzzCasesTest, AFolderWithoutCasesIsAnError) {
  TempFolder folder;
  std::filesystem::create_directory(folder.File("empty"));
  std::filesystem::create_directory(folder.File("hidden"));
  writeFile(folder.File("hidden") / ".keep", "x");
  for (const char* name : {"missing", "empty", "hidden"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW((void)ReadFuzzCasesFrom(folder.File(name)), std::runtime_error);
  }
}

TEST(FuzzCasesTest, EveryRegularFileIsACaseInNameOrder) {
  TempFolder folder;
  writeFile(folder.File("b"), std::string("\x00\x01\xFF", 3));
  writeFile(folder.File("a"), "");
  writeFile(folder.File(".hidden"), "x");
  std::filesystem::create_directory(folder.File("sub"));
  const std::vector<FuzzCase> cases = ReadFuzzCasesFrom(folder.Path());
  ASSERT_EQ(cases.size(), 2u);
  EXPECT_EQ(cases[0].Name, "a");
  EXPECT_TRUE(cases[0].Input.empty());
  EXPECT_EQ(cases[1].Name, "b");
  EXPECT_EQ(cases[1].Input, (std::vector<uint8_t>{0x00, 0x01, 0xFF}));
}

// One folder per target of tests/fuzz, each replayed by its own test.
TEST(FuzzCasesTest, EveryTargetHasCommittedCases) {
  for (const char* target : {"header", "stream", "filer_reader", "dictionary_stream", "filter_descriptor", "bstar_tree",
                             "journal", "static_records", "literals"}) {
    SCOPED_TRACE(target);
    EXPECT_FALSE(ReadFuzzCases(target).empty());
  }
}

}  // namespace
}  // namespace qd::test
