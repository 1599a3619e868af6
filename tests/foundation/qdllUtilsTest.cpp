#include "foundation/qdllUtils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/qdLittleEndian.h"
#include "platform/qdProcessProfile.h"
#include "support/qdTestFolder.h"

namespace qd {
namespace {

// ---- Comparisons -----------------------------------------------------------------

TEST(UtilsCompareTest, ScalarComparisons) {
  EXPECT_EQ(qdCompareByte(1, 200), -1);
  EXPECT_EQ(qdCompareWord(65535, 1), 1);
  EXPECT_EQ(qdCompareCardinal(0x80000000u, 1), 1);  // unsigned
  EXPECT_EQ(qdCompareShortInt(-1, 1), -1);
  EXPECT_EQ(qdCompareSmallInt(-32768, 32767), -1);
  EXPECT_EQ(qdCompareInteger(-1, 0), -1);
  EXPECT_EQ(qdCompareInteger(7, 7), 0);
  // 64-bit values: the high halves signed, the low halves unsigned.
  EXPECT_EQ(qdCompareInt64(int64_t{-1}, int64_t{0x7FFFFFFF}), -1);
  EXPECT_EQ(qdCompareInt64(int64_t{0x100000000}, int64_t{0xFFFFFFFF}), 1);
  EXPECT_EQ(qdCompareInt64(std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()), -1);
  const int64_t a = 0x180000000, b = 0x100000001;
  EXPECT_EQ(qdCompareInt64Ref(&a, &b), 1);
  EXPECT_EQ(qdCompareInt64Ref(&b, &a), -1);
  EXPECT_EQ(qdCompareInt64Ref(&a, &a), 0);
  int objects[2];
  EXPECT_EQ(qdComparePointer(&objects[0], &objects[1]), -1);
  EXPECT_EQ(qdCompareObjects(&objects[1], &objects[1]), 0);
  EXPECT_EQ(qdCompareSingle(1.5f, 2.5f), -1);
  EXPECT_EQ(qdCompareDouble(-0.0, 0.0), 0);
  EXPECT_EQ(qdCompareDouble(std::nan(""), 1.0), 0);
}

TEST(UtilsCompareTest, ByteRangesAndArrays) {
  const uint8_t x[] = {1, 2, 0x80}, y[] = {1, 2, 0x7F};
  EXPECT_EQ(qdCompareBytes(x, y, 3), 1);  // unsigned bytes
  EXPECT_EQ(qdCompareBytes(x, y, 2), 0);
  EXPECT_EQ(qdCompareBytes(x, y, 0), 0);
  struct Case {
    std::vector<uint8_t> a, b;
    int expected;
  } cases[] = {
      {{1, 2}, {1, 2, 0}, -1},   {{1, 3}, {1, 2, 9}, 1}, {{}, {0}, -1}, {{}, {}, 0},
      {{0xFF}, {0x01, 0x00}, 1}, {{5, 5}, {5, 5}, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qdCompareByteArrays(c.a, c.b), c.expected);
    EXPECT_EQ(qdCompareByteArrays(c.b, c.a), -c.expected);
    EXPECT_EQ(qdSameByteArrays(c.a, c.b), c.expected == 0);
  }
}

TEST(UtilsCompareTest, ShortStrings) {
  auto shortString = [](std::string_view s) {
    std::vector<uint8_t> out{static_cast<uint8_t>(s.size())};
    out.insert(out.end(), s.begin(), s.end());
    return out;
  };
  struct Case {
    std::string_view a, b;
    int32_t n;
    int exact, ignoringCase;
  } cases[] = {
      {"abc", "abd", 255, -1, -1}, {"abc", "abd", 2, 0, 0},   {"ab", "abc", 255, -1, -1},
      {"ab", "abc", 2, 0, 0},      {"abc", "ABC", 255, 1, 0}, {"a[", "A{", 255, 1, -1},
      {"", "", 10, 0, 0},          {"x", "", 10, 1, 1},       {"\xE9", "\xC9", 255, 1, 1},  // only a-z fold
  };
  for (const auto& c : cases) {
    const auto a = shortString(c.a), b = shortString(c.b);
    EXPECT_EQ(qdCompareShortStrings(a.data(), b.data(), c.n), c.exact) << c.a << " / " << c.b << " / " << c.n;
    EXPECT_EQ(qdCompareShortStringsIgnoreCase(a.data(), b.data(), c.n), c.ignoringCase) << c.a << " / " << c.b;
  }
}

TEST(UtilsCompareTest, TerminatedWideBuffers) {
  struct Case {
    const char16_t *a, *b;
    int32_t n;
    int32_t exact, ignoringCase;
  } cases[] = {
      {u"abc", u"abd", 10, -1, -1},
      {u"abc", u"abd", 2, 0, 0},
      {u"abc", u"ab", 10, u'c', u'C'},  // the terminator is the smaller unit
      {u"abc", u"ABC", 10, u'a' - u'A', 0},
      {u"ab\0x", u"ab\0y", 10, 0, 0},  // stops after the shared terminator
      {u"abc", u"xyz", 0, 0, 0},
      {u"\u3042", u"\u3041", 5, 1, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qdStrLCompW(c.a, c.b, c.n), c.exact) << StringToUtf8(c.a) << " / " << StringToUtf8(c.b);
    EXPECT_EQ(qdStrLICompW(c.a, c.b, c.n), c.ignoringCase) << StringToUtf8(c.a) << " / " << StringToUtf8(c.b);
  }
}

TEST(UtilsCompareTest, LocaleAwareComparisonInTheSystemLocale) {
  EXPECT_EQ(qdCompareStringW(u"a", u"B"), -1);  // not by code units
  EXPECT_EQ(qdCompareStringW(u"a", u"A"), -1);
  EXPECT_EQ(qdCompareStringWIgnoreCase(u"a", u"A"), 0);
  EXPECT_EQ(qdCompareStringWIgnoreCase(u"あ", u"ア"), -1);  // kana type still counts
  EXPECT_EQ(qdCompareStringW(u"", u""), 0);
}

TEST(UtilsCompareTest, EqualityAndSearch) {
  const uint8_t g1[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  uint8_t g2[16];
  std::memcpy(g2, g1, 16);
  EXPECT_TRUE(qdSameGuid(g1, g2));
  g2[15] = 0;
  EXPECT_FALSE(qdSameGuid(g1, g2));

  EXPECT_TRUE(qdStartsWith(u"Order Details", u"Order"));
  EXPECT_TRUE(qdStartsWith(u"abc", u""));
  EXPECT_FALSE(qdStartsWith(u"Order", u"order"));
  EXPECT_FALSE(qdStartsWith(u"ab", u"abc"));

  const char16_t* text = u"hello world";
  EXPECT_EQ(qdWideStrPos(text, u"world"), text + 6);
  EXPECT_EQ(qdWideStrPos(text, u"hello"), text);
  EXPECT_EQ(qdWideStrPos(text, u""), nullptr);
  EXPECT_EQ(qdWideStrPos(u"ab", u"abc"), nullptr);
  EXPECT_EQ(qdWideStrPos(text, u"World"), nullptr);
  EXPECT_EQ(qdWideStrContainsCompare(text, u"o w"), 0);
  EXPECT_EQ(qdWideStrContainsCompare(text, u"xyz"), -1);
}

TEST(UtilsCompareTest, MinimumAndMaximum) {
  EXPECT_EQ(qdMinWord(3, 65535), 3);
  EXPECT_EQ(qdMaxWord(3, 65535), 65535);
  EXPECT_EQ(qdMinCardinal(0xFFFFFFFFu, 1), 1u);
  EXPECT_EQ(qdMaxCardinal(0xFFFFFFFFu, 1), 0xFFFFFFFFu);
  EXPECT_EQ(qdMinInteger(-5, 3), -5);
  EXPECT_EQ(qdMaxInteger(-5, 3), 3);
  EXPECT_EQ(qdMinInt64(INT64_MIN, 0), INT64_MIN);
  EXPECT_EQ(qdMaxInt64(INT64_MIN, 0), 0);
}

// ---- Bit arrays and hashing -------------------------------------------------------------

TEST(UtilsBitArrayTest, BitsLiveInLittleEndianWords) {
  uint8_t bits[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  qdClearBitArray(bits, 33);  // (33 + 7) div 8 = 5 bytes
  EXPECT_EQ(bits[4], 0);
  EXPECT_EQ(bits[5], 0xAA);
  qdBitSet(bits, 0);
  qdBitSet(bits, 9);
  qdBitSet(bits, 31);
  qdBitSet(bits, 32);
  EXPECT_EQ(qdGetU32(bits), 0x80000201u);  // bit n in word n div 32 at n mod 32
  EXPECT_EQ(bits[4], 1);
  EXPECT_TRUE(qdBitIsSet(bits, 9));
  EXPECT_FALSE(qdBitIsSet(bits, 8));
  qdBitClear(bits, 9);
  EXPECT_FALSE(qdBitIsSet(bits, 9));

  qdClearBitArray(bits, 48);
  qdSetBitArray(bits, 20);  // 3 bytes
  EXPECT_EQ(bits[2], 0xFF);
  EXPECT_EQ(bits[3], 0);
  EXPECT_EQ(qdFindFirstClearBit(bits, 40), 24);
  EXPECT_EQ(qdFindFirstClearBit(bits, 24), -1);
  EXPECT_EQ(qdFindFirstClearBit(bits, 0), -1);
  qdBitClear(bits, 13);
  EXPECT_EQ(qdFindFirstClearBit(bits, 40), 13);
  EXPECT_EQ(qdFindFirstClearBit(bits, 13), -1);

  uint8_t dest[3] = {0x01, 0x00, 0xF0}, source[3] = {0x10, 0x0F, 0xFF};
  qdOrBitArrays(dest, source, 12);  // 2 bytes
  EXPECT_EQ(dest[0], 0x11);
  EXPECT_EQ(dest[1], 0x0F);
  EXPECT_EQ(dest[2], 0xF0);
}

TEST(UtilsHashTest, ElfHash) {
  EXPECT_EQ(qdElfHash("abc", 3), 26499u);
  EXPECT_EQ(qdElfHash("", 0), 0u);
  // Longer input exercises the fold of the top nibble (values from an
  // independent implementation).
  EXPECT_EQ(qdElfHash("abcdefghijklmnopqrstuvwxyz", 26), 0x08D1E00Au);
  std::string all;
  for (int round = 0; round < 3; ++round)
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(qdElfHash(all.data(), static_cast<int32_t>(all.size())), 24821983u);
  EXPECT_EQ(qdElfHashString(u""), 0u);
  EXPECT_EQ(qdElfHashString(u"a"), qdElfHash("a\0", 2));
  EXPECT_EQ(qdElfHashString(u"\u3042"), qdElfHash("\x42\x30", 2));
}

// ---- Texts of numbers -------------------------------------------------------------------

TEST(UtilsTextTest, IntegersToText) {
  EXPECT_EQ(qdIntToStr(0), u"0");
  EXPECT_EQ(qdIntToStr(-2147483647 - 1), u"-2147483648");
  EXPECT_EQ(qdInt64ToStr(INT64_MIN), u"-9223372036854775808");
  EXPECT_EQ(qdInt64ToStr(INT64_MIN).size(), 20u);
  EXPECT_EQ(qdIntToAnsiStr(12345), "12345");
  EXPECT_EQ(qdInt64ToAnsiStr(1234567890123), "1234567890123");
}

TEST(UtilsTextTest, FloatsInGeneralFormat) {
  const TFormatSettings& japanese = qdGetFormatSettings(0x0411);
  TFormatSettings comma = japanese;
  comma.DecimalSeparator = u',';
  comma.ThousandSeparator = u'.';
  struct Case {
    double value;
    const char16_t* text;
    const char16_t* withComma;
  } cases[] = {
      {2.5, u"2.5", u"2,5"},
      {1e20, u"1E20", u"1E20"},
      {0.00001, u"1E-5", u"1E-5"},
      {-1.7e308, u"-1.7E308", u"-1,7E308"},
      {0.0, u"0", u"0"},
      {1234567.25, u"1234567.25", u"1234567,25"},  // no grouping
      {1.0 / 3, u"0.333333333333333", u"0,333333333333333"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qdFloatToStr(japanese, c.value), c.text);
    EXPECT_EQ(qdFloatToStr(comma, c.value), c.withComma);
    qdAnsiString ansi = "stale";
    qdFloatToAnsiStr(comma, ansi, c.value);
    EXPECT_EQ(Utf8ToString(ansi), c.withComma);
  }
}

TEST(UtilsTextTest, DatesAndTimesByTheSettingsFormats) {
  TFormatSettings settings = qdInvariantFormatSettings();
  settings.ShortDateFormat = u"yyyy-mm-dd";
  settings.LongTimeFormat = u"hh:nn:ss";
  settings.DateSeparator = u'-';
  const TDateTime moment = EncodeDateTime(2024, 3, 9, 14, 5, 7, 0);
  const TDateTime midnight = EncodeDate(2024, 3, 9);
  EXPECT_EQ(qdDateToStr(settings, moment), u"2024-03-09");
  EXPECT_EQ(qdTimeToStr(settings, moment), u"14:05:07");
  EXPECT_EQ(qdDateTimeToStr(settings, moment), u"2024-03-09 14:05:07");
  EXPECT_EQ(qdDateTimeToStr(settings, midnight), u"2024-03-09");  // no time at exactly midnight
  EXPECT_EQ(qdTimeToStr(settings, midnight), u"00:00:00");
  qdAnsiString ansi;
  qdDateTimeToAnsiStr(settings, ansi, moment);
  EXPECT_EQ(ansi, "2024-03-09 14:05:07");
  qdDateToAnsiStr(settings, ansi, moment);
  EXPECT_EQ(ansi, "2024-03-09");
  qdTimeToAnsiStr(settings, ansi, moment);
  EXPECT_EQ(ansi, "14:05:07");
  // The locale's own formats.
  EXPECT_EQ(qdDateTimeToStr(qdGetFormatSettings(0x0411), moment), u"2024/03/09 14:05:07");
  // Single-byte texts are in the system's ANSI code page.
  settings.LongTimeFormat = u"hh\"時\"nn";
  qdTimeToAnsiStr(settings, ansi, moment);
  EXPECT_EQ(ansi,
            "14\x8E\x9E"
            "05");
}

TEST(UtilsTextTest, GuidsAndTimeStamps) {
  const uint8_t guid[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                            0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xF0};
  EXPECT_EQ(qdGuidToStr(guid), u"{04030201-0605-0807-090A-0B0C0D0E0FF0}");
  EXPECT_EQ(qdGuidToAnsiStr(guid), "{04030201-0605-0807-090A-0B0C0D0E0FF0}");
  const TTimeStamp stamp = qdMakeTimeStamp(738954, 3600000);
  EXPECT_EQ(stamp.Date, 738954);
  EXPECT_EQ(stamp.Time, 3600000);
}

TEST(UtilsTextTest, TextToIntegerWithDefault) {
  struct Case {
    std::string_view text;
    int32_t expected;
  } cases[] = {
      {"42", 42},
      {"  -17", -17},
      {"+8", 8},
      {"$FF", 255},
      {"0x1f", 31},
      {"X10", 16},
      {"-$10", -16},
      {"$FFFFFFFF", -1},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", -99},
      {"$100000000", -99},
      {"", -99},
      {"  ", -99},
      {"12a", -99},
      {"12 ", -99},
      {"\t12", -99},
      {"$", -99},
      {"-", -99},
      {"99999999999999999999", -99},
      {"\x82\x4F", -99},  // a full-width digit in code page 932
  };
  for (const auto& c : cases) EXPECT_EQ(qdAnsiStrToIntDef(c.text, -99), c.expected) << "'" << c.text << "'";
}

// ---- Identifiers -------------------------------------------------------------------------

std::string pendingMessageOf(TqdResult aCode) {
  // The exception a caller raises from the returned code carries the detail.
  return StringToUtf8(EqdBaseException(aCode).ProcessedErrorString());
}

TEST(UtilsIdentifierTest, ValidIdentifiersPass) {
  for (const char16_t* name : {u"Order Details", u"a$b", u"x", u"_1", u"A!#$%&()+-.@[]^_{}~z", u"$Sys"}) {
    const bool reserved = name[0] == u'$';
    EXPECT_EQ(qdCheckIdentifier(name, qdeInvalidFieldName, false, reserved), qdeSuccess) << StringToUtf8(name);
  }
  EXPECT_EQ(qdCheckIdentifier(qdString(128, u'a'), qdeInvalidFieldName, false, false), qdeSuccess);
  EXPECT_EQ(qdCheckIdentifier(u"", qdeInvalidIndexName, true, true), qdeSuccess);
}

TEST(UtilsIdentifierTest, InvalidIdentifiersReportTheReason) {
  struct Case {
    qdString name;
    bool allowEmpty, allowReserved;
    const char* message;
  } cases[] = {
      {u"", false, true, "Invalid field name. Empty string is not allowed."},
      {u" x", true, true, "Invalid field name. Leading/trailing spaces are not allowed."},
      {u"x ", true, true, "Invalid field name. Leading/trailing spaces are not allowed."},
      {u" ", true, true, "Invalid field name. Leading/trailing spaces are not allowed."},
      {qdString(129, u'a'), true, true, "Invalid field name. Maximum length of 128 characters has been exceeded."},
      {u"a:b", true, true, "Invalid field name. \":\" is not a valid character."},
      {u"a\"b", true, true, "Invalid field name. \"\"\" is not a valid character."},
      {u"ab/c:d", true, true, "Invalid field name. \"/\" is not a valid character."},  // the first from the left
      {u"caf\u00E9", true, true, "Invalid field name. \"\u00E9\" is not a valid character."},
      {u"\u65E5\u672C", true, true, "Invalid field name. \"\u65E5\" is not a valid character."},
      {u"a\tb", true, true, "Invalid field name. \"\t\" is not a valid character."},
      {u"$Sys", true, false, "Invalid field name. Reserved Identifier not allowed."},
      // Checks run in order: a bad character wins over a reserved name.
      {u"$a:b", true, false, "Invalid field name. \":\" is not a valid character."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.name));
    const TqdResult code = qdCheckIdentifier(c.name, qdeInvalidFieldName, c.allowEmpty, c.allowReserved);
    ASSERT_EQ(code, qdeInvalidFieldName);
    EXPECT_EQ(pendingMessageOf(code), c.message);
  }
  // The code names the kind of identifier.
  EXPECT_EQ(qdCheckIdentifier(u"a:b", qdeInvalidTableName, false, false), qdeInvalidTableName);
  EXPECT_EQ(pendingMessageOf(qdeInvalidTableName), "Invalid table name. \":\" is not a valid character.");
}

TEST(UtilsIdentifierTest, MakeIdentifier) {
  struct Case {
    qdString text, expected;
  } cases[] = {
      {u"  a:b ", u"__a_b_"},
      {u"Order Details", u"Order Details"},
      {u"a  b", u"a  b"},  // inner blanks stay
      {u"", u""},
      {u"   ", u"___"},
      {u"\u65E5\u672C:x", u"___x"},
      {qdString(130, u'a'), qdString(128, u'a')},
      {qdString(127, u'a') + u"  x", qdString(127, u'a') + u"_"},  // cut first, then the trailing blank
  };
  for (const auto& c : cases) {
    const qdString made = qdMakeIdentifier(c.text);
    EXPECT_EQ(made, c.expected) << StringToUtf8(c.text);
    if (!made.empty()) {
      EXPECT_EQ(qdCheckIdentifier(made, qdeInvalidFieldName, false, true), qdeSuccess);
    }
  }
}

TEST(UtilsIdentifierTest, PlainTableNames) {
  EXPECT_FALSE(qdIsPlainTableName(u"a.b"));
  EXPECT_FALSE(qdIsPlainTableName(u""));
  EXPECT_TRUE(qdHasNoReservedChars(u""));
  EXPECT_TRUE(qdIsPlainTableName(u"Order Details"));
  EXPECT_TRUE(qdIsPlainTableName(u"\u65E5\u672C"));
  for (char16_t c : qdString(u"\"*./:<>?\\|")) {
    EXPECT_FALSE(qdIsPlainTableName(qdString(u"a") + c)) << static_cast<char>(c);
    EXPECT_FALSE(qdHasNoReservedChars(qdString(1, c))) << static_cast<char>(c);
  }
  // Only characters below 256 count: the low byte of U+012E is ".".
  EXPECT_TRUE(qdIsPlainTableName(u"\u012E"));
}

// ---- Locales and code pages -------------------------------------------------------------------

TEST(UtilsLocaleTest, LocaleNamesFromTheBuiltInTableAndTheSystem) {
  EXPECT_EQ(qdLocaleNameFromID(0x0411), u"Japanese XJIS");
  EXPECT_EQ(qdLocaleNameFromID(0x0409), u"English (United States)");
  EXPECT_EQ(qdLocaleNameFromID(0x10407), u"German (Germany) Phone Book (DIN)");
  EXPECT_EQ(qdLocaleNameFromID(0x9999), u"<Unknown>");
  EXPECT_EQ(qdLocaleNameFromID(-1), u"<Unknown>");
  EXPECT_EQ(qdLocaleIDFromName(u"japanese xjis"), 0x0411);
  EXPECT_EQ(qdLocaleIDFromName(u"German (Germany) Phone Book (DIN)"), 0x10407);
  EXPECT_EQ(qdLocaleIDFromName(u"Klingon"), -1);
  EXPECT_TRUE(qdIsValidLocaleID(0x0411));
  EXPECT_TRUE(qdIsValidLocaleID(0x30404));
  EXPECT_FALSE(qdIsValidLocaleID(0x0011));  // a neutral language
  EXPECT_FALSE(qdIsValidLocaleID(0x9999));
}

TEST(UtilsLocaleTest, ListsAreSortedByNameAndNameEveryEntry) {
  const TqdNamedIdList& locales = qdGetLocaleList();
  const TqdNamedIdList& codePages = qdGetCodePageList();
  EXPECT_EQ(&locales, &qdGetLocaleList());  // built once
  for (const TqdNamedIdList* list : {&locales, &codePages}) {
    ASSERT_FALSE(list->empty());
    for (size_t i = 0; i < list->size(); ++i) {
      EXPECT_FALSE((*list)[i].Name.empty()) << (*list)[i].Id;
      EXPECT_NE((*list)[i].Name.front(), u' ');
      EXPECT_NE((*list)[i].Name.back(), u' ');
      if (i > 0) {
        EXPECT_LE(qdCompareStringWIgnoreCase((*list)[i - 1].Name, (*list)[i].Name), 0);
      }
    }
  }
  // A locale the built-in table does not name takes the system's name.
  EXPECT_EQ(qdLocaleNameFromID(0x0445), u"Bangla (India)");
}

TEST(UtilsLocaleTest, ListsAreBuiltOnceUnderConcurrentFirstUse) {
  qdllUtilsFinalize();  // start without lists
  std::vector<std::thread> threads;
  std::vector<const TqdNamedIdList*> seen(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] { seen[t] = &(t % 2 ? qdGetLocaleList() : qdGetCodePageList()); });
  for (auto& thread : threads) thread.join();
  for (int t = 2; t < 8; ++t) EXPECT_EQ(seen[t], seen[t % 2]) << "thread " << t;
}

TEST(UtilsLocaleTest, CodePageNamesAndIds) {
  EXPECT_EQ(qdCodePageNameFromID(932), u"ANSI/OEM - Japanese Shift-JIS");
  EXPECT_EQ(qdCodePageNameFromID(1252), u"ANSI - Latin I");
  EXPECT_EQ(qdCodePageNameFromID(65001), u"UTF-8");
  EXPECT_EQ(qdCodePageNameFromID(12345), u"<Unknown>");
  EXPECT_EQ(qdCodePageFromName(u"ansi - latin i"), 1252);
  EXPECT_EQ(qdCodePageFromName(u"EBCDIC"), -1);
  EXPECT_TRUE(qdIsValidCodePage(932));
  EXPECT_FALSE(qdIsValidCodePage(0));
  EXPECT_FALSE(qdIsValidCodePage(12345));
}

TEST(UtilsLocaleTest, AnsiCodePagesOfLocalesAndOfTheThread) {
  EXPECT_EQ(qdLocaleAnsiCodePageOrMinus1(0x0411), 932);
  EXPECT_EQ(qdLocaleAnsiCodePageOrMinus1(0x0409), 1252);
  EXPECT_EQ(qdLocaleAnsiCodePageOrMinus1(0x0439), 0);  // Hindi: Unicode only
  EXPECT_EQ(qdLocaleAnsiCodePageOrMinus1(0x9999), -1);
  EXPECT_EQ(qdThreadLocaleAnsiCodePage(), 932);
  int32_t other = 0;
  std::thread([&] { other = qdThreadLocaleAnsiCodePage(); }).join();
  EXPECT_EQ(other, 932);
}

TEST(UtilsLocaleTest, FormatSettingsAreMadeOncePerLocale) {
  const TFormatSettings& japanese = qdGetFormatSettings(0x0411);
  const TFormatSettings& english = qdGetFormatSettings(0x0409);
  EXPECT_EQ(&japanese, &qdGetFormatSettings(0x0411));
  EXPECT_NE(&japanese, &english);
  EXPECT_EQ(japanese.ShortDateFormat, u"yyyy/MM/dd");
  EXPECT_EQ(english.ShortDateFormat, u"M/d/yyyy");
  EXPECT_EQ(qdInvariantFormatSettings().DecimalSeparator, u'.');
  EXPECT_EQ(&qdInvariantFormatSettings(), &qdInvariantFormatSettings());
  // Many threads asking at once get the one record.
  std::vector<std::thread> threads;
  std::vector<const TFormatSettings*> seen(8);
  for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { seen[t] = &qdGetFormatSettings(0x0407); });
  for (auto& thread : threads) thread.join();
  for (const TFormatSettings* settings : seen) EXPECT_EQ(settings, seen[0]);
}

TEST(UtilsLocaleTest, DefaultLocaleIdsGiveTheProcessLocalesSettings) {
  for (TqdLCID id : {LOCALE_NEUTRAL, LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(qdGetFormatSettings(id).ShortDateFormat, u"yyyy/MM/dd");
  }
  {
    TqdScopedProcessProfile english(0x0409, 1252);
    EXPECT_EQ(qdGetFormatSettings(LOCALE_SYSTEM_DEFAULT).ShortDateFormat, u"M/d/yyyy");
  }
  const TFormatSettings& german = qdGetFormatSettings(0x0407);
  EXPECT_EQ(german.DecimalSeparator, u',');
  EXPECT_EQ(qdFloatToStr(german, 1.5), u"1,5");
}

TEST(UtilsLocaleTest, SystemLocaleServicesFollowTheProcessProfile) {
  EXPECT_EQ(qdThreadLocaleAnsiCodePage(), 932);
  {
    TqdScopedProcessProfile english(0x0409, 1252);
    EXPECT_EQ(qdThreadLocaleAnsiCodePage(), 1252);
    TqdNLSVersionInfoEx info;
    qdGetLocaleNLSVersion(LOCALE_SYSTEM_DEFAULT, info);
    EXPECT_EQ(info.dwEffectiveId, 0x0409u);
    EXPECT_EQ(qdCompareStringWIgnoreCase(u"Straße", u"STRASSE"), 0);
    EXPECT_EQ(qdCompareStringW(u"a", u"B"), -1);
  }
  EXPECT_EQ(qdThreadLocaleAnsiCodePage(), 932);  // the per-thread cache follows the change back
}

TEST(UtilsLocaleTest, NlsVersionRecord) {
  TqdNLSVersionInfoEx info;
  qdGetLocaleNLSVersion(0x0411, info);
  EXPECT_EQ(info.dwNLSVersionInfoSize, 32u);
  EXPECT_EQ(info.dwEffectiveId, 0x0411u);
  EXPECT_NE(info.dwNLSVersion, 0u);
  qdGetLocaleNLSVersion(LOCALE_SYSTEM_DEFAULT, info);
  EXPECT_EQ(info.dwEffectiveId, 0x0411u);
  // An id the system does not know: zeros, and no effective locale.
  info.dwNLSVersion = 5;
  qdGetLocaleNLSVersion(0x9999, info);
  EXPECT_EQ(info.dwNLSVersionInfoSize, 0u);
  EXPECT_EQ(info.dwNLSVersion, 0u);
  EXPECT_EQ(info.dwEffectiveId, 0u);
}

// ---- Files and system ------------------------------------------------------------------------

TEST(UtilsFileTest, IdentityRecognisesOneFileUnderTwoPaths) {
  test::TempFolder folder;
  const std::string path = folder.File("data.tbl");
  const std::string link = folder.File("alias.tbl");
  const std::string other = folder.File("other.tbl");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  const int viaLink = open(link.c_str(), O_RDONLY);
  const int otherFd = open(other.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(viaLink, 0);
  ASSERT_GE(otherFd, 0);

  TqdFileIdentity a, b, c;
  ASSERT_TRUE(qdGetFileIdentity(fd, a));
  ASSERT_TRUE(qdGetFileIdentity(viaLink, b));
  ASSERT_TRUE(qdGetFileIdentity(otherFd, c));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(qdGetU64(&a[16]), st.st_ino);
  EXPECT_EQ(qdGetU64(&a[24]), 0u);

  TqdFileObjectID idA, idB, idC;
  if (qdGetFileObjectID(fd, idA)) {  // not every file system has persistent handles
    ASSERT_TRUE(qdGetFileObjectID(viaLink, idB));
    ASSERT_TRUE(qdGetFileObjectID(otherFd, idC));
    EXPECT_EQ(idA, idB);
    EXPECT_NE(idA, idC);
  }

  int handles[] = {fd, viaLink, otherFd};
  for (int& handle : handles) qdCloseHandleAndNil(handle);
  for (int handle : handles) EXPECT_EQ(handle, 0);
  TqdFileIdentity closed;
  closed.fill(7);
  EXPECT_FALSE(qdGetFileIdentity(fd, closed));
  EXPECT_EQ(closed, TqdFileIdentity{});
  TqdFileObjectID closedId;
  EXPECT_FALSE(qdGetFileObjectID(fd, closedId));
}

TEST(UtilsFileTest, CloseHandleAndNil) {
  int zero = 0, minusOne = -1;
  qdCloseHandleAndNil(zero);  // ignored
  qdCloseHandleAndNil(minusOne);
  EXPECT_EQ(minusOne, 0);
  // A handle that is not open: the close fails and raises.
  int stale = 1000000;
  try {
    qdCloseHandleAndNil(stale);
    ADD_FAILURE() << "no exception";
  } catch (const EqdBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), qdeOSError);
    EXPECT_EQ(e.OSError(), static_cast<uint32_t>(EBADF));
  }
  EXPECT_EQ(stale, 0);

  // Two threads closing one variable close the handle once.
  for (int round = 0; round < 50; ++round) {
    int shared = dup(STDERR_FILENO);
    ASSERT_GT(shared, 0);
    std::atomic<int> failures{0};
    auto closer = [&] {
      try {
        qdCloseHandleAndNil(shared);
      } catch (const EqdBaseException&) {
        ++failures;
      }
    };
    std::thread t1(closer), t2(closer);
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(shared, 0);
  }
}

TEST(UtilsSystemTest, MemoryStatusIsConsistent) {
  TqdMemoryStatusEx status;
  qdGlobalMemoryStatus(status);
  EXPECT_EQ(status.dwLength, 64u);
  EXPECT_GT(status.ullTotalPhys, 0u);
  EXPECT_LE(status.ullAvailPhys, status.ullTotalPhys);
  EXPECT_LE(status.dwMemoryLoad, 100u);
  EXPECT_GE(status.ullTotalPageFile, status.ullTotalPhys);
  EXPECT_LE(status.ullAvailPageFile, status.ullTotalPageFile);
  EXPECT_GT(status.ullAvailVirtual, 0u);
  EXPECT_LT(status.ullAvailVirtual, status.ullTotalVirtual);
  EXPECT_EQ(status.ullAvailExtendedVirtual, 0u);
}

TEST(UtilsSystemTest, CommandLineSwitches) {
  const std::vector<std::string> arguments = {"file.db", "-Disable30900LocaleFixes", "/verbose", "--long", "x-y"};
  EXPECT_TRUE(qdFindCmdLineSwitch(u"disable30900localefixes", arguments));
  EXPECT_TRUE(qdFindCmdLineSwitch(u"VERBOSE", arguments));
  EXPECT_TRUE(qdFindCmdLineSwitch(u"-long", arguments));
  EXPECT_FALSE(qdFindCmdLineSwitch(u"long", arguments));
  EXPECT_FALSE(qdFindCmdLineSwitch(u"file.db", arguments));
  EXPECT_FALSE(qdFindCmdLineSwitch(u"y", arguments));
  EXPECT_FALSE(qdFindCmdLineSwitch(u"Disable30900LocaleFixes"));  // the test binary has no such switch
  EXPECT_EQ(qdNotifyDatabaseDestroying(nullptr), E_NOTIMPL);
}

// ---- Arrays of strings --------------------------------------------------------------------------

TEST(UtilsStringArrayTest, BuildAddAndDelete) {
  EXPECT_TRUE(qdUnicodeStringsFromString(u"").empty());
  TqdUnicodeStrings passwords = qdUnicodeStringsFromString(u"first");
  qdUnicodeStringsAdd(passwords, u"second");
  qdUnicodeStringsAdd(passwords, u"third");
  EXPECT_EQ(qdUnicodeStringsDelete(passwords, 1), u"second");
  EXPECT_EQ(passwords, (TqdUnicodeStrings{u"first", u"third"}));
  EXPECT_EQ(qdUnicodeStringsDelete(passwords, 1), u"third");
  EXPECT_THROW(qdUnicodeStringsDelete(passwords, 1), ERangeError);
  EXPECT_THROW(qdUnicodeStringsDelete(passwords, -1), ERangeError);
  EXPECT_EQ(passwords, (TqdUnicodeStrings{u"first"}));
}

TEST(UtilsStringArrayTest, StringListsAndVariantArrays) {
  TqdStringList list;
  list.Add(u"b");
  list.Add(u"a");
  const TqdUnicodeStrings array = qdStringsToArray(list);
  EXPECT_EQ(array, (TqdUnicodeStrings{u"b", u"a"}));
  TqdStringList target;
  target.Add(u"old");
  qdUnicodeStringsToStrings({u"x", u"y", u"z"}, target);
  ASSERT_EQ(target.Count(), 3);
  EXPECT_EQ(target.Strings(0), u"x");
  EXPECT_EQ(target.Strings(2), u"z");
  qdUnicodeStringsToStrings({}, target);
  EXPECT_EQ(target.Count(), 0);

  EXPECT_EQ(qdVarArrayCount(TqdVariant::FromArray({TqdVariant(1), TqdVariant(u"two"), TqdVariant::Null()})), 3);
  EXPECT_EQ(qdVarArrayCount(TqdVariant::FromArray({})), 0);
  EXPECT_EQ(qdVarArrayCount(TqdVariant::FromBytes({1, 2, 3, 4, 5})), 5);
  EXPECT_THROW(qdVarArrayCount(TqdVariant(42)), EVariantError);
}

// ---- Base64 --------------------------------------------------------------------------------------

TEST(UtilsBase64Test, EncodesWithTheStandardAlphabet) {
  struct Case {
    std::string_view plain, encoded;
  } cases[] = {
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
      {"abcd", "YWJjZA=="},
      {"", "A==="},
      {"\xFF\xFE\xFD", "//79"},
      {std::string_view("\0", 1), "AA=="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StrToBase64(c.plain), c.encoded);
    EXPECT_EQ(Base64ToStr(c.encoded), c.plain) << c.encoded;
  }
}

TEST(UtilsBase64Test, DecodesEveryEncodingBack) {
  std::string bytes;
  for (int n = 0; n < 300; ++n) {
    EXPECT_EQ(Base64ToStr(StrToBase64(bytes)), bytes) << "length " << n;
    bytes.push_back(static_cast<char>(n * 37 + 11));
  }
}

TEST(UtilsBase64Test, WrongLengthsRaiseAndOddCharactersCountAs61) {
  for (std::string_view bad : {"", "YQ=", "A", "YWJjZ", "YWJjZA="}) {
    try {
      (void)Base64ToStr(bad);
      ADD_FAILURE() << "no exception for '" << bad << "'";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Base64ToStr: illegal input length!");
    }
  }
  EXPECT_EQ(Base64ToStr("!!!!"), Base64ToStr("9999"));  // 61 is '9'
  EXPECT_EQ(Base64ToStr("===="), "");                   // more padding than bytes leaves nothing
  EXPECT_EQ(Base64ToStr("A======="), "");
}

}  // namespace
}  // namespace qd
