#include "platform/qdStrings.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

TEST(StringsTest, Utf8RoundTripKeepsJapaneseAndSurrogates) {
  const std::string utf8 = "\xE5\xAD\xA6\xE7\xBF\x92 drill \xF0\x9F\x98\x80";
  const qdString text = Utf8ToString(utf8);
  EXPECT_EQ(text.size(), 2u + 7u + 2u);  // two kanji, " drill ", one surrogate pair
  EXPECT_EQ(StringToUtf8(text), utf8);
}

TEST(StringsTest, InvalidSequencesBecomeReplacementCharacters) {
  struct Case {
    std::string input;
    qdString expected;
  };
  const Case cases[] = {
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong
      {"a\xE5\xAD", u"a\uFFFD\uFFFD"},          // cut short
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xFF", u"\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8ToString(c.input), c.expected) << c.input;
  EXPECT_EQ(StringToUtf8(qdString(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace qd
