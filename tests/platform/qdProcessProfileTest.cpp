#include "platform/qdProcessProfile.h"

#include <gtest/gtest.h>

#include "platform/qdSysUtils.h"

namespace qd {
namespace {

qdString u(std::string_view aUtf8) { return Utf8ToString(aUtf8); }

TEST(ProcessProfileTest, DefaultsToJapaneseAndRestoresAfterAScope) {
  EXPECT_EQ(qdSystemLocaleID(), 1041u);
  EXPECT_EQ(qdSystemAnsiCodePage(), 932);
  {
    TqdScopedProcessProfile english(1033, 1252);
    EXPECT_EQ(qdSystemLocaleID(), 1033u);
    EXPECT_EQ(qdSystemAnsiCodePage(), 1252);
    EXPECT_EQ(FormatSettings().ShortDateFormat, u"M/d/yyyy");
    EXPECT_EQ(qdStringToAnsi(u("é")), "\xE9");
  }
  EXPECT_EQ(qdSystemLocaleID(), 1041u);
  EXPECT_EQ(qdSystemAnsiCodePage(), 932);
  EXPECT_EQ(FormatSettings().ShortDateFormat, u"yyyy/MM/dd");
  EXPECT_EQ(qdStringToAnsi(u("日本")), "\x93\xfa\x96\x7b");
}

TEST(ProcessProfileTest, CodePageConversions) {
  struct Case {
    uint16_t codePage;
    const char* utf8;
    std::string bytes;
  };
  const Case cases[] = {
      {932, "日本語テキスト", "\x93\xfa\x96\x7b\x8c\xea\x83\x65\x83\x4c\x83\x58\x83\x67"},
      {932, "ｱ", "\xb1"},  // half-width katakana is one byte
      {932, "abc~\\", "abc~\\"},
      {932, "\x7f\x1a\x1c", "\x7f\x1a\x1c"},  // control bytes map to themselves, as the system's table has them
      {1252, "Café €", "Caf\xe9 \x80"},
      {65001, "😀 é", "\xF0\x9F\x98\x80 \xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qdStringToAnsi(u(c.utf8), c.codePage), c.bytes) << c.utf8 << " in " << c.codePage;
    EXPECT_EQ(qdAnsiToString(c.bytes, c.codePage), u(c.utf8)) << c.utf8 << " in " << c.codePage;
  }
  // What a code page cannot hold becomes '?', as the system does it.
  EXPECT_EQ(qdStringToAnsi(u("é日"), 1252), "\xe9?");
  EXPECT_EQ(qdStringToAnsi(u("é"), 932), "?");
  EXPECT_EQ(qdAnsiToString("", 932), u"");
  // A lone lead byte is not dropped silently.
  EXPECT_FALSE(qdAnsiToString("a\x81", 932).empty());
  EXPECT_NE(qdAnsiToString("a\x81", 932), u"a");
}

TEST(ProcessProfileTest, UnknownCodePagesAreRefused) {
  EXPECT_TRUE(qdIsCodePageSupported(932));
  EXPECT_TRUE(qdIsCodePageSupported(1252));
  EXPECT_FALSE(qdIsCodePageSupported(12345));
  EXPECT_THROW(qdStringToAnsi(u"x", 12345), EConvertError);
  EXPECT_THROW(qdAnsiToString("x", 12345), EConvertError);
}

}  // namespace
}  // namespace qd
