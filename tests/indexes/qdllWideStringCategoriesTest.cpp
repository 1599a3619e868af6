// The Unicode category table: lookups in the compiled table, the shape of
// the generated resource and its agreement with ICU, synthetic and damaged
// resources, and the first load racing on several threads.
#include "indexes/qdllWideStringCategories.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <cstdint>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "platform/qdLittleEndian.h"
#include "platform/qdStream.h"

namespace qd {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kCategoryCount = 55;

TqdCharacterCategories only(int aCategory) { return {static_cast<TqdCharacterCategory>(aCategory)}; }
TqdCharacterCategories all() { return TqdCharacterCategories::FromBits((uint64_t(1) << kCategoryCount) - 1); }

// Every category the unit belongs to, asked one at a time.
TqdCharacterCategories categoriesOf(char16_t aChar) {
  TqdCharacterCategories result;
  for (int c = 0; c < kCategoryCount; ++c)
    if (qdWideCharInCategories(aChar, only(c))) result.Include(static_cast<TqdCharacterCategory>(c));
  return result;
}

// A resource record.
struct Record {
  int category;  // written as one byte
  int32_t count;
  std::vector<TqdRange> ranges;
};

Bytes resource(const std::vector<Record>& aRecords) {
  Bytes bytes;
  auto put32 = [&](uint32_t aValue) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(aValue >> (8 * i)));
  };
  for (const Record& record : aRecords) {
    bytes.push_back(static_cast<uint8_t>(record.category));
    put32(static_cast<uint32_t>(record.count));
    for (const TqdRange& range : record.ranges) {
      put32(range.rngStart);
      put32(range.rngStop);
    }
  }
  return bytes;
}

Record record(int aCategory, std::vector<TqdRange> aRanges) {
  return {aCategory, static_cast<int32_t>(aRanges.size()), std::move(aRanges)};
}

// --- The compiled table ----------------------------------------------------------------------------------------

TEST(WideStringCategoriesTest, UnitsBelongToTheirCategories) {
  struct Case {
    char16_t unit;
    TqdCharacterCategories expected;
  };
  const Case cases[] = {
      {0x0020, {ccSeparatorSpace, ccWhiteSpace, ccAssigned}},
      {0x002C, {ccPunctuationOther, ccCommonNumberSeparator, ccAssigned}},
      {0x3000, {ccSeparatorSpace, ccWhiteSpace, ccComposed, ccAssigned}},
      {0x3042, {ccLetterOther, ccLeftToRight, ccAssigned}},
      {0x000A, {ccSeparatorParagraph, ccOtherControl, ccAssigned}},
      {0x2029, {ccSeparatorParagraph, ccAssigned}},
      {0x0041, {ccLetterUppercase, ccLeftToRight, ccAssigned}},
      {0x0031, {ccNumberDecimalDigit, ccEuropeanNumber, ccAssigned}},
      {0x00E9, {ccLetterLowercase, ccLeftToRight, ccComposed, ccAssigned}},
      {0x05D0, {ccLetterOther, ccRightToLeft, ccAssigned}},
      {0x0627, {ccLetterOther, ccRightToLeftArabic, ccAssigned}},
      {0x202E, {ccOtherFormat, ccRightToLeftoverride, ccAssigned}},
      {0xAC00, {ccLetterOther, ccLeftToRight, ccAssigned}},  // Hangul: no listed decomposition
      {0xFF21, {ccLetterUppercase, ccLeftToRight, ccComposed, ccAssigned}},
      {0xE000, {ccOtherPrivate, ccLeftToRight, ccAssigned}},
      {0x0378, {}},  // unassigned
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.unit));
    EXPECT_EQ(categoriesOf(c.unit).Bits(), c.expected.Bits());
  }
  EXPECT_TRUE(qdWideCharInCategories(0xD800, {ccOtherSurrogate}));
  EXPECT_TRUE(qdWideCharInCategories(0xDFFF, {ccOtherSurrogate}));
  EXPECT_TRUE(qdWideCharInCategories(u',', {ccLetterUppercase, ccPunctuationOther}));
  EXPECT_FALSE(qdWideCharInCategories(u',', {ccLetterUppercase, ccSymbolMath}));
}

TEST(WideStringCategoriesTest, SetsWithoutDataNeverMatch) {
  const TqdCharacterCategories never[] = {
      {},
      {ccOtherUnassigned},
      {ccNonBreaking},
      {ccSymmetric},
      {ccHexDigit},
      {ccQuotationMark},
      {ccMirroring},
      {ccSpaceOther},
      {ccOtherUnassigned, ccNonBreaking, ccSymmetric, ccHexDigit, ccQuotationMark, ccMirroring, ccSpaceOther}};
  for (const TqdCharacterCategories& set : never) {
    SCOPED_TRACE(std::to_string(set.Bits()));
    int matches = 0;
    for (uint32_t c = 0; c <= 0xFFFF; ++c) matches += qdWideCharInCategories(static_cast<char16_t>(c), set);
    EXPECT_EQ(matches, 0);
  }
}

// The generated file against the ICU the program runs with: a mismatch
// means it is stale (run scripts/gen-unicode-categories.sh).
TEST(WideStringCategoriesTest, TheTableAgreesWithICU) {
  int mismatches = 0;
  for (UChar32 c = 0; c <= 0xFFFF; ++c) {
    const auto unit = static_cast<char16_t>(c);
    const bool assigned = u_charType(c) != U_UNASSIGNED;
    const bool expected[] = {
        assigned,
        u_charType(c) == U_UPPERCASE_LETTER,
        u_charType(c) == U_OTHER_PUNCTUATION,
        assigned && u_charDirection(c) == U_WHITE_SPACE_NEUTRAL,
        assigned && u_charDirection(c) == U_LEFT_TO_RIGHT,
        u_charType(c) == U_PARAGRAPH_SEPARATOR || (assigned && u_charDirection(c) == U_BLOCK_SEPARATOR),
    };
    const bool actual[] = {
        qdWideCharInCategories(unit, {ccAssigned}),         qdWideCharInCategories(unit, {ccLetterUppercase}),
        qdWideCharInCategories(unit, {ccPunctuationOther}), qdWideCharInCategories(unit, {ccWhiteSpace}),
        qdWideCharInCategories(unit, {ccLeftToRight}),      qdWideCharInCategories(unit, {ccSeparatorParagraph}),
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
      if (expected[i] != actual[i] && ++mismatches <= 10) ADD_FAILURE() << "U+" << std::hex << c << " check " << i;
    }
  }
  EXPECT_EQ(mismatches, 0) << "regenerate with scripts/gen-unicode-categories.sh";
}

TEST(WideStringCategoriesTest, TheGeneratedResourceIsOrderedAndWhole) {
  const std::span<const uint8_t> data = qdWideCharCategoriesResource();
  size_t position = 0;
  int previousCategory = -1;
  std::vector<int> present;
  while (position < data.size()) {
    ASSERT_LE(position + 5, data.size());
    const int category = data[position];
    const int32_t count = qdGetI32(&data[position + 1]);
    position += 5;
    SCOPED_TRACE("category " + std::to_string(category));
    EXPECT_GT(category, previousCategory);
    EXPECT_LT(category, kCategoryCount);
    ASSERT_GT(count, 0);
    ASSERT_LE(position + 8 * static_cast<size_t>(count), data.size());
    int64_t previousStop = -2;
    for (int32_t i = 0; i < count; ++i, position += 8) {
      const uint32_t start = qdGetU32(&data[position]);
      const uint32_t stop = qdGetU32(&data[position + 4]);
      EXPECT_LE(start, stop);
      EXPECT_LE(stop, 0x10FFFFu);
      // Sorted, apart, and never merely touching (that would be one range).
      EXPECT_GT(static_cast<int64_t>(start), previousStop + 1) << i;
      previousStop = stop;
    }
    present.push_back(category);
    previousCategory = category;
  }
  EXPECT_EQ(position, data.size());
  std::vector<int> expected;
  for (int c = 0; c < kCategoryCount; ++c)
    if (c != ccOtherUnassigned && (c < ccNonBreaking || c > ccSpaceOther)) expected.push_back(c);
  EXPECT_EQ(present, expected);
}

// --- Synthetic and damaged resources ----------------------------------------------------------------------------

// Starts each test with the table unloaded, as at process start, and leaves
// it unloaded for the next one, which loads the compiled table again.
class WideStringCategoriesLoadTest : public ::testing::Test {
 protected:
  void SetUp() override { qdllWideStringCategoriesFinalize(); }
  void TearDown() override { qdllWideStringCategoriesFinalize(); }
};

// The same start for the tests whose threads race to the first load.
class WideStringCategoriesStressTest : public WideStringCategoriesLoadTest {};

TEST_F(WideStringCategoriesLoadTest, ASyntheticResourceFillsOnlyItsRanges) {
  const Bytes data = resource({
      record(ccSeparatorSpace, {{0x41, 0x41}, {0x0300, 0x02FF}}),  // the second range is empty
      record(ccLeftToRight, {{0x0100, 0x01FF}, {0xFFFE, 0x10010}}),
      record(ccAssigned, {}),
  });
  qdLoadWideCharCategories(data);
  EXPECT_TRUE(qdWideCharInCategories(u'A', {ccSeparatorSpace}));
  EXPECT_FALSE(qdWideCharInCategories(u'A', {ccLeftToRight}));
  EXPECT_FALSE(qdWideCharInCategories(u'B', all()));
  EXPECT_TRUE(qdWideCharInCategories(0x0100, {ccLeftToRight}));
  EXPECT_TRUE(qdWideCharInCategories(0x01FF, {ccLeftToRight}));
  EXPECT_TRUE(qdWideCharInCategories(0xFFFF, {ccLeftToRight}));  // a range beyond U+FFFF is cut there
  EXPECT_FALSE(qdWideCharInCategories(0xFFFD, all()));
  // Pages the resource never reaches answer False for every category.
  for (char16_t unit : {char16_t(0x0200), char16_t(0x02FF), char16_t(0x0300), char16_t(0x3042), char16_t(0x0800)})
    EXPECT_FALSE(qdWideCharInCategories(unit, all())) << int(unit);
  // Loaded: another resource changes nothing now.
  qdLoadWideCharCategories(resource({record(ccSeparatorSpace, {{0x42, 0x42}})}));
  EXPECT_FALSE(qdWideCharInCategories(u'B', all()));
}

TEST_F(WideStringCategoriesLoadTest, ADamagedResourceRaisesAndLeavesTheTableUnloaded) {
  const Record good = record(ccSeparatorSpace, {{0x5A, 0x5A}});  // 'Z'
  Bytes truncated = resource({good, record(ccWhiteSpace, {{0x20, 0x20}, {0x3000, 0x3000}})});
  truncated.resize(truncated.size() - 1);
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"category 55", resource({good, record(55, {{0x20, 0x20}})})},
      {"category 255", resource({good, record(255, {})})},
      {"count -1", resource({good, {ccWhiteSpace, -1, {}}})},
      {"count beyond the end", resource({good, {ccWhiteSpace, 0x10000000, {{0x20, 0x20}}}})},
      {"a truncated range", truncated},
      {"a truncated record header",
       [&] {
         Bytes bytes = resource({good});
         bytes.insert(bytes.end(), {ccWhiteSpace, 1, 0, 0});
         return bytes;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(qdLoadWideCharCategories(c.bytes), EReadError);
    // Nothing of the damaged resource stays: a good one loads in full.
    qdLoadWideCharCategories(resource({record(ccWhiteSpace, {{0x61, 0x61}})}));
    EXPECT_TRUE(qdWideCharInCategories(u'a', {ccWhiteSpace}));
    EXPECT_FALSE(qdWideCharInCategories(u'Z', all()));
    qdllWideStringCategoriesFinalize();
  }
  // After a failure the lookup itself loads the compiled table.
  EXPECT_THROW(qdLoadWideCharCategories(cases[0].bytes), EReadError);
  EXPECT_TRUE(qdWideCharInCategories(u' ', {ccSeparatorSpace}));
  EXPECT_FALSE(qdWideCharInCategories(u'Z', {ccSeparatorSpace}));
}

TEST_F(WideStringCategoriesLoadTest, AnEmptyResourceLoadsAnEmptyTable) {
  qdLoadWideCharCategories({});
  EXPECT_FALSE(qdWideCharInCategories(u' ', all()));
}

TEST_F(WideStringCategoriesStressTest, ThreadsRacingToTheFirstLoadLoadOnce) {
  // Each thread offers its own resource, naming its own unit, and looks
  // which units the table holds once its load returned: a table built twice
  // would show two units, or change under a thread that already saw it.
  constexpr int kThreads = 8;
  const auto unitsLoaded = [] {
    std::vector<int> units;
    for (int t = 0; t < kThreads; ++t)
      if (qdWideCharInCategories(char16_t(0x41 + t), {ccSeparatorSpace})) units.push_back(t);
    return units;
  };
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::vector<Bytes> resources;
    for (int t = 0; t < kThreads; ++t)
      resources.push_back(resource({record(ccSeparatorSpace, {{uint32_t(0x41 + t), uint32_t(0x41 + t)}})}));
    std::latch start(kThreads);
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        qdLoadWideCharCategories(resources[static_cast<size_t>(t)]);
        seen[static_cast<size_t>(t)] = unitsLoaded();
      });
    }
    for (std::thread& thread : threads) thread.join();
    const std::vector<int> final = unitsLoaded();
    ASSERT_EQ(final.size(), 1u);
    EXPECT_EQ(seen, std::vector<std::vector<int>>(kThreads, final));
    qdllWideStringCategoriesFinalize();
  }
}

TEST_F(WideStringCategoriesStressTest, ThreadsMakingTheFirstLookupAllSeeTheWholeTable) {
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (char16_t unit : {char16_t(0x20), char16_t(0x3000), char16_t(0xFFFD)})
        failures[static_cast<size_t>(t)] += !qdWideCharInCategories(unit, {ccAssigned});
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

}  // namespace
}  // namespace qd
