#include "platform/qdFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/qdProcessProfile.h"
#include "platform/qdSysUtils.h"

namespace qd {
namespace {

qdString u(std::string_view aUtf8) { return Utf8ToString(aUtf8); }

const TFormatSettings& ja() {
  static const TFormatSettings s = TFormatSettings::Create(1041);
  return s;
}

const TFormatSettings& en() {
  static const TFormatSettings s = TFormatSettings::Create(1033);
  return s;
}

// "%.15G" from the C library, rewritten to the platform's exponent form:
// no "+" and no leading zeros in the exponent (1E+15 -> 1E15, 1.5E-05 -> 1.5E-5).
qdString percent15G(double aValue) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15G", aValue);
  std::string text = buffer;
  const size_t e = text.find('E');
  if (e != std::string::npos) {
    std::string exponent = text.substr(e + 1);
    const bool negative = exponent[0] == '-';
    exponent = exponent.substr(1);
    while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
    text = text.substr(0, e + 1) + (negative ? "-" : "") + exponent;
  }
  return AsciiToString(text);
}

TEST(FormatTest, FloatToStrMatchesPercent15G) {
  const double values[] = {0.1,
                           1.0 / 3,
                           2.0 / 3,
                           -2.5,
                           100,
                           12345.678,
                           0.5,
                           1e15,
                           1e14,
                           999999999999999.0,
                           1e16,
                           123456789012345.0,
                           1234567890123456.0,
                           1.5e-5,
                           1e-4,
                           1e-5,
                           0.0001234,
                           0.000099999,
                           3.14159265358979,
                           M_PI,
                           1e300,
                           -1e-300,
                           1e21,
                           1.23456e22,
                           0.30000000000000004,
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::denorm_min(),
                           9007199254740993.0,
                           -123456.789e-10};
  for (double value : values) EXPECT_EQ(FloatToStr(value, ja()), percent15G(value)) << value;

  struct Literal {
    double value;
    const char16_t* text;
  };
  const Literal literals[] = {{0.1, u"0.1"},        {1e15, u"1E15"},   {1.5e-5, u"1.5E-5"},    {-0.0, u"0"},
                              {0.0, u"0"},          {100, u"100"},     {std::nan(""), u"NAN"}, {HUGE_VAL, u"INF"},
                              {-HUGE_VAL, u"-INF"}, {1e-4, u"0.0001"}, {123.456, u"123.456"}};
  for (const Literal& c : literals) EXPECT_EQ(FloatToStr(c.value, ja()), c.text) << c.value;

  TFormatSettings comma = ja();
  comma.DecimalSeparator = u',';
  EXPECT_EQ(FloatToStr(-2.5, comma), u"-2,5");
  EXPECT_EQ(FloatToStr(1.5e-5, comma), u"1,5E-5");
}

TEST(FormatTest, DecimalCutRoundsTiesAwayFromZero) {
  // The platform cuts its 18-digit decimal form with ties away from zero,
  // where the C library rounds the binary value to even.
  EXPECT_EQ(FloatToStr(1000000000000005.0, ja()), u"1.00000000000001E15");
  EXPECT_EQ(FloatToStrF(2.5, ffFixed, 15, 0, ja()), u"3");
  EXPECT_EQ(FloatToStrF(-2.5, ffFixed, 15, 0, ja()), u"-3");
  EXPECT_EQ(FloatToStrF(0.125, ffFixed, 15, 2, ja()), u"0.13");
  EXPECT_EQ(FloatToStrF(1.005, ffFixed, 15, 2, ja()), u"1.00");  // 1.00499999999999989...
}

TEST(FormatTest, FloatToStrFFormats) {
  struct Case {
    double value;
    TFloatFormat format;
    int precision, digits;
    const char16_t* expected;
  };
  const Case cases[] = {
      {1234567.891, ffFixed, 15, 2, u"1234567.89"},
      {1234567.891, ffNumber, 15, 2, u"1,234,567.89"},
      {-1234.5, ffNumber, 15, 0, u"-1,235"},
      {999.5, ffNumber, 15, 0, u"1,000"},
      {0.5, ffFixed, 15, 3, u"0.500"},
      {-0.001, ffFixed, 15, 2, u"0.00"},
      {123.456, ffFixed, 4, 2, u"123.50"},
      {1e20, ffFixed, 15, 2, u"1E20"},
      {1234.5678, ffExponent, 6, 2, u"1.23457E+03"},
      {0.00012345, ffExponent, 3, 0, u"1.23E-4"},
      {0.0, ffExponent, 15, 3, u"0.00000000000000E+000"},
      {-1.0, ffExponent, 4, 4, u"-1.000E+0000"},
      {0.000123, ffGeneral, 15, 0, u"0.000123"},
      {12345.0, ffGeneral, 3, 0, u"1.23E4"},
      {std::nan(""), ffFixed, 15, 2, u"NAN"},
      {-HUGE_VAL, ffNumber, 15, 2, u"-INF"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FloatToStrF(c.value, c.format, c.precision, c.digits, ja()), c.expected) << c.value;

  // Currency layouts.
  EXPECT_EQ(FloatToStrF(12.5, ffCurrency, 15, 2, en()), u"$12.50");
  EXPECT_EQ(FloatToStrF(-1234.5, ffCurrency, 15, 2, en()), u"($1,234.50)");
  EXPECT_EQ(FloatToStrF(1234.5, ffCurrency, 15, 0, ja()), u"\u00A51,235");
  EXPECT_EQ(FloatToStrF(-1234.5, ffCurrency, 15, 0, ja()), u"-\u00A51,235");
  TFormatSettings layouts = en();
  layouts.CurrencyString = u"EUR";
  layouts.CurrencyFormat = 3;
  layouts.NegCurrFormat = 8;
  EXPECT_EQ(FloatToStrF(1.5, ffCurrency, 15, 1, layouts), u"1.5 EUR");
  EXPECT_EQ(FloatToStrF(-1.5, ffCurrency, 15, 1, layouts), u"-1.5 EUR");
  layouts.ThousandSeparator = 0;
  EXPECT_EQ(FloatToStrF(1234567.0, ffNumber, 15, 0, layouts), u"1234567");
}

TEST(FormatTest, CurrencyTexts) {
  struct Case {
    int64_t raw;
    const char16_t* text;
  };
  const Case cases[] = {{123456, u"12.3456"},
                        {15000, u"1.5"},
                        {-1, u"-0.0001"},
                        {0, u"0"},
                        {1000000, u"100"},
                        {INT64_MAX, u"922337203685477.5807"},
                        {INT64_MIN, u"-922337203685477.5808"}};
  for (const Case& c : cases) EXPECT_EQ(CurrToStr(TqdCurrency::FromRaw(c.raw), ja()), c.text) << c.raw;
  EXPECT_EQ(CurrToStrF(TqdCurrency::FromRaw(123450), ffFixed, 2, ja()), u"12.35");
  EXPECT_EQ(CurrToStrF(TqdCurrency::FromRaw(-123450), ffNumber, 0, ja()), u"-12");
  EXPECT_EQ(CurrToStrF(TqdCurrency::FromRaw(12345678900), ffCurrency, 2, en()), u"$1,234,567.89");
}

TEST(FormatTest, IntegerTexts) {
  EXPECT_EQ(IntToStr(INT64_MIN), u"-9223372036854775808");
  EXPECT_EQ(UIntToStr(UINT64_MAX), u"18446744073709551615");
  EXPECT_EQ(IntToHex(int32_t{255}, 4), u"00FF");
  EXPECT_EQ(IntToHex(int32_t{-1}, 4), u"FFFFFFFF");
  EXPECT_EQ(IntToHex(int64_t{-1}, 0), u"FFFFFFFFFFFFFFFF");
  EXPECT_EQ(IntToHex(uint64_t{0xABCDEF}, 2), u"ABCDEF");
  EXPECT_EQ(IntToHex(0xFFFFFFFFu, 0), u"FFFFFFFF");
}

TEST(FormatTest, ParsesIntegers) {
  struct Case {
    const char16_t* text;
    bool ok32;
    int32_t value32;
    bool ok64;
    int64_t value64;
  };
  const Case cases[] = {
      {u"123", true, 123, true, 123},
      {u"  42", true, 42, true, 42},
      {u"-42", true, -42, true, -42},
      {u"+7", true, 7, true, 7},
      {u"$FF", true, 255, true, 255},
      {u"0x1a", true, 26, true, 26},
      {u"X10", true, 16, true, 16},
      {u"-$10", true, -16, true, -16},
      {u"$FFFFFFFF", true, -1, true, 0xFFFFFFFF},
      {u"$100000000", false, 0, true, 0x100000000},
      {u"2147483647", true, INT32_MAX, true, INT32_MAX},
      {u"2147483648", false, 0, true, 2147483648},
      {u"-2147483648", true, INT32_MIN, true, INT32_MIN},
      {u"-2147483649", false, 0, true, -2147483649},
      {u"9223372036854775807", false, 0, true, INT64_MAX},
      {u"-9223372036854775808", false, 0, true, INT64_MIN},
      {u"9223372036854775808", false, 0, false, 0},
      {u"$FFFFFFFFFFFFFFFF", false, 0, true, -1},
      {u"$8000000000000000", false, 0, true, INT64_MIN},
      {u"$10000000000000000", false, 0, false, 0},
      {u"99999999999999999999999", false, 0, false, 0},
      {u"", false, 0, false, 0},
      {u" ", false, 0, false, 0},
      {u"-", false, 0, false, 0},
      {u"$", false, 0, false, 0},
      {u"12 ", false, 0, false, 0},
      {u"1.5", false, 0, false, 0},
      {u"1e3", false, 0, false, 0},
      {u"abc", false, 0, false, 0},
      {u"$FG", false, 0, false, 0},
  };
  for (const Case& c : cases) {
    int32_t v32 = 0;
    int64_t v64 = 0;
    EXPECT_EQ(TryStrToInt(c.text, v32), c.ok32) << StringToUtf8(c.text);
    if (c.ok32) {
      EXPECT_EQ(v32, c.value32) << StringToUtf8(c.text);
    }
    EXPECT_EQ(TryStrToInt64(c.text, v64), c.ok64) << StringToUtf8(c.text);
    if (c.ok64) {
      EXPECT_EQ(v64, c.value64) << StringToUtf8(c.text);
    }
  }
  uint64_t u64;
  EXPECT_TRUE(TryStrToUInt64(u"18446744073709551615", u64));
  EXPECT_EQ(u64, UINT64_MAX);
  EXPECT_FALSE(TryStrToUInt64(u"18446744073709551616", u64));
  EXPECT_FALSE(TryStrToUInt64(u"-1", u64));
  EXPECT_EQ(StrToIntDef(u"x", -9), -9);
  try {
    (void)StrToInt(u"abc");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'abc' is not a valid integer value");
  }
}

TEST(FormatTest, ParsesFloats) {
  TFormatSettings comma = ja();
  comma.DecimalSeparator = u',';
  struct Case {
    const char16_t* text;
    bool okPoint;
    double point;
    bool okComma;
    double commaValue;
  };
  const double inf = HUGE_VAL;
  const Case cases[] = {
      {u"1.5", true, 1.5, false, 0},
      {u"1,5", false, 0, true, 1.5},
      {u" -2.5e3 ", true, -2500, false, 0},
      {u"+1E+2", true, 100, true, 100},
      {u".5", true, 0.5, false, 0},
      {u"5.", true, 5, false, 0},
      {u"5,", false, 0, true, 5},
      {u"0.1", true, 0.1, false, 0},
      {u"0.000", true, 0, false, 0},
      {u"00012", true, 12, true, 12},
      {u"1e-400", true, 0, true, 0},
      {u"4.9406564584124654e-324", true, std::numeric_limits<double>::denorm_min(), false, 0},
      {u"123456789012345678901234567890", true, 1.2345678901234568e29, true, 1.2345678901234568e29},
      {u"1e400", false, 0, false, 0},
      {u"INF", true, inf, true, inf},
      {u"-inf", true, -inf, true, -inf},
      {u".", false, 0, false, 0},
      {u"", false, 0, false, 0},
      {u"1e", false, 0, false, 0},
      {u"e5", false, 0, false, 0},
      {u"1.2.3", false, 0, false, 0},
      {u"1 000", false, 0, false, 0},
      {u"0x10", false, 0, false, 0},
      {u"1,000.5", false, 0, false, 0},
  };
  for (const Case& c : cases) {
    double value = 0;
    EXPECT_EQ(TryStrToFloat(c.text, value, ja()), c.okPoint) << StringToUtf8(c.text);
    if (c.okPoint) {
      EXPECT_EQ(value, c.point) << StringToUtf8(c.text);
    }
    EXPECT_EQ(TryStrToFloat(c.text, value, comma), c.okComma) << StringToUtf8(c.text);
    if (c.okComma) {
      EXPECT_EQ(value, c.commaValue) << StringToUtf8(c.text);
    }
  }
  double nan;
  EXPECT_TRUE(TryStrToFloat(u"NaN", nan, ja()));
  EXPECT_TRUE(std::isnan(nan));
  try {
    (void)StrToFloat(u"x1", ja());
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'x1' is not a valid floating point value");
  }
  // Everything FloatToStr writes reads back.
  for (double v : {0.1, -1e-300, 1.5e-5, 12345.678, 1e300})
    EXPECT_NEAR(StrToFloat(FloatToStr(v, ja()), ja()), v, std::fabs(v) * 1e-14);
}

TEST(FormatTest, ParsesCurrencyAndBooleans) {
  struct Case {
    const char16_t* text;
    bool ok;
    int64_t raw;
  };
  const Case cases[] = {{u"12.34567", true, 123457},
                        {u"0.00015", true, 2},
                        {u"-0.00015", true, -2},
                        {u"1e2", true, 1000000},
                        {u"1.5E-3", true, 15},
                        {u" 7 ", true, 70000},
                        {u"922337203685477.5807", true, INT64_MAX},
                        {u"-922337203685477.5808", true, INT64_MIN},
                        {u"922337203685477.5808", false, 0},
                        {u"1e300", false, 0},
                        {u"INF", false, 0},
                        {u"abc", false, 0}};
  for (const Case& c : cases) {
    TqdCurrency value;
    EXPECT_EQ(TryStrToCurr(c.text, value, ja()), c.ok) << StringToUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(value.Raw, c.raw) << StringToUtf8(c.text);
    }
  }

  struct BoolCase {
    const char16_t* text;
    bool ok;
    bool value;
  };
  const BoolCase bools[] = {{u"true", true, true}, {u"FALSE", true, false}, {u"0", true, false}, {u"2", true, true},
                            {u"-1.5", true, true}, {u"yes", false, false},  {u"", false, false}};
  for (const BoolCase& c : bools) {
    bool value;
    EXPECT_EQ(TryStrToBool(c.text, value), c.ok) << StringToUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(value, c.value) << StringToUtf8(c.text);
    }
  }
  EXPECT_EQ(BoolToStr(true), u"-1");
  EXPECT_EQ(BoolToStr(false, true), u"False");
  EXPECT_THROW(StrToBool(u"maybe"), EConvertError);
}

TEST(FormatTest, FormatSpecifiers) {
  struct Case {
    const char16_t* format;
    std::vector<TqdVarRec> args;
    const char16_t* expected;
  };
  int marker = 0;
  const qdString def = u"def";
  const qdString pointerText = IntToHex(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&marker)), 16);
  const Case cases[] = {
      {u"%s and %s", {u"abc", def}, u"abc and def"},
      {u"[%5s|%-5s]", {u"ab", u"cd"}, u"[   ab|cd   ]"},
      {u"%.2s", {u"abcdef"}, u"ab"},
      {u"%s%s", {char16_t(u'x'), TqdVarRec::Ansi("yz")}, u"xyz"},
      {u"%d %d", {-42, int64_t{1} << 40}, u"-42 1099511627776"},
      {u"%5d|%-5d|", {42, 42}, u"   42|42   |"},
      {u"%.5d", {-42}, u"-00042"},
      {u"%u %u", {-1, int64_t{-1}}, u"4294967295 18446744073709551615"},
      {u"%d", {UINT64_MAX}, u"18446744073709551615"},
      {u"%x %.4x %x %X", {255, 255, -1, int64_t{-1}}, u"FF 00FF FFFFFFFF FFFFFFFFFFFFFFFF"},
      {u"%.0n", {1234567.0}, u"1,234,567"},
      {u"%n", {1234.5}, u"1,234.50"},
      {u"%f %.3f %.0f", {1.0, 3.14159, 0.5}, u"1.00 3.142 1"},
      {u"%e", {1.0}, u"1.00000000000000E+000"},
      {u"%.3e", {-1234.5}, u"-1.23E+003"},
      {u"%g %g", {0.1, 123.456}, u"0.1 123.456"},
      {u"%m", {12.5}, u"\u00A513"},
      {u"%.2m", {12.5}, u"\u00A512.50"},
      {u"%m %f", {TqdCurrency::FromRaw(125000), TqdCurrency::FromRaw(123456)}, u"\u00A513 12.35"},
      {u"%1:s %0:s %s", {u"a", u"b"}, u"b a b"},
      {u"%*d|%-*d|", {5, 42, 4, 7}, u"   42|7   |"},
      {u"%.*f", {1, 2.25}, u"2.3"},
      {u"100%% %s", {u"sure"}, u"100% sure"},
      {u"%8.3f", {-3.14159}, u"  -3.142"},
      {u"%p", {static_cast<const void*>(&marker)}, pointerText.c_str()},
      {u"%S %D", {u"up", 3}, u"up 3"},
      {u"no args", {}, u"no args"},
  };
  for (const Case& c : cases) EXPECT_EQ(Format(c.format, c.args, ja()), c.expected) << StringToUtf8(c.format);

  TFormatSettings german = ja();
  german.DecimalSeparator = u',';
  german.ThousandSeparator = u'.';
  EXPECT_EQ(Format(u"%.2f %n", {1234.5, 1234.5}, german), u"1234,50 1.234,50");
}

TEST(FormatTest, BadFormatsRaise) {
  struct Case {
    const char16_t* format;
    std::vector<TqdVarRec> args;
    const char* message;
  };
  const Case cases[] = {
      {u"%d", {u"abc"}, "Format '%d' invalid or incompatible with argument"},
      {u"%s", {1}, "Format '%s' invalid or incompatible with argument"},
      {u"%f", {1}, "Format '%f' invalid or incompatible with argument"},
      {u"%x", {1.5}, "Format '%x' invalid or incompatible with argument"},
      {u"%s", {true}, "Format '%s' invalid or incompatible with argument"},
      {u"%p", {1}, "Format '%p' invalid or incompatible with argument"},
      {u"%k", {1}, "Format '%k' invalid or incompatible with argument"},
      {u"abc %", {}, "Format 'abc %' invalid or incompatible with argument"},
      {u"%3", {1}, "Format '%3' invalid or incompatible with argument"},
      {u"%*d", {u"w", 1}, "Format '%*d' invalid or incompatible with argument"},
      {u"%d %d", {1}, "No argument for format '%d %d'"},
      {u"%5:d", {1}, "No argument for format '%5:d'"},
  };
  for (const Case& c : cases) {
    try {
      (void)Format(c.format, c.args, ja());
      ADD_FAILURE() << "no exception for " << StringToUtf8(c.format);
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(FormatTest, FormatDateTimeLetters) {
  const TDateTime moment = EncodeDateTime(2024, 3, 5, 14, 7, 9, 45);
  struct Case {
    const TFormatSettings* settings;
    const char16_t* format;
    TDateTime value;
    qdString expected;
  };
  const Case cases[] = {
      {&ja(), u"yyyy-mm-dd hh:nn:ss.zzz", moment, u"2024-03-05 14:07:09.045"},
      {&ja(), u"yy/m/d", moment, u"24/3/5"},
      {&ja(), u"YYYY/MM/DD HH:MM", moment, u"2024/03/05 14:07"},  // m after h is minutes
      {&ja(), u"h:mm am/pm", moment, u"2:07 pm"},
      {&ja(), u"hh:mm AM/PM", moment, u"02:07 PM"},
      {&ja(), u"h A/P", moment, u"2 P"},
      {&ja(), u"h:nn ampm", moment, u("2:07 午後")},
      {&ja(), u"h:nn am/pm", EncodeTime(0, 5, 0, 0), u"12:05 am"},
      {&ja(), u"h:nn am/pm", EncodeTime(12, 30, 0, 0), u"12:30 pm"},
      {&en(), u"ddd dddd mmm mmmm", moment, u"Tue Tuesday Mar March"},
      {&ja(), u"ddd dddd mmmm", moment, u("火 火曜日 3月")},
      {&ja(), u"c", moment, u"2024/03/05 14:07:09"},
      {&en(), u"c", moment, u"3/5/2024 2:07:09 PM"},
      {&ja(), u"ddddd", moment, u"2024/03/05"},
      {&ja(), u"dddddd", moment, u("2024年3月5日")},
      {&en(), u"dddddd", moment, u"Tuesday, March 5, 2024"},
      {&en(), u"t|tt", moment, u"2:07 PM|2:07:09 PM"},
      {&ja(), u"'yyyy' yyyy \"m\"m", moment, u"yyyy 2024 m3"},
      {&ja(), u"z zzz", EncodeTime(1, 2, 3, 7), u"7 007"},
      {&ja(), u"c", EncodeDate(2024, 3, 5), u"2024/03/05"},
      {&ja(), u"c", 0.5, u"1899/12/30 12:00:00"},
      {&ja(), u"c", -1.25, u"1899/12/29 6:00:00"},
      {&ja(), u"", moment, u"2024/03/05 14:07:09"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FormatDateTime(c.format, c.value, *c.settings), c.expected) << StringToUtf8(c.format);

  TFormatSettings dashes = ja();
  dashes.DateSeparator = u'-';
  dashes.TimeSeparator = u'.';
  EXPECT_EQ(FormatDateTime(u"yyyy/mm/dd hh:nn", moment, dashes), u"2024-03-05 14.07");
  EXPECT_EQ(DateToStr(moment, en()), u"3/5/2024");
  EXPECT_EQ(TimeToStr(moment, ja()), u"14:07:09");
  EXPECT_EQ(DateTimeToStr(moment, ja()), u"2024/03/05 14:07:09");
}

TEST(FormatTest, ParsesDatesAndTimes) {
  struct Case {
    const TFormatSettings* settings;
    qdString text;
    bool ok;
    TDateTime expected;
  };
  const Case cases[] = {
      {&ja(), u"2024/03/05", true, EncodeDate(2024, 3, 5)},
      {&ja(), u" 2024/3/5 14:07:09 ", true, EncodeDateTime(2024, 3, 5, 14, 7, 9, 0)},
      {&ja(), u"14:07", true, EncodeTime(14, 7, 0, 0)},
      {&ja(), u("午後2:07"), true, EncodeTime(14, 7, 0, 0)},
      {&ja(), u"1899/12/29 6:00", true, -1.25},
      {&ja(), u"2024/02/30", false, 0},
      {&ja(), u"2024-03-05", false, 0},
      {&en(), u"3/5/2024", true, EncodeDate(2024, 3, 5)},
      {&en(), u"3/5/2024 2:07:09 PM", true, EncodeDateTime(2024, 3, 5, 14, 7, 9, 0)},
      {&en(), u"12:00 AM", true, 0},
      {&en(), u"12:30 pm", true, EncodeTime(12, 30, 0, 0)},
      {&en(), u"1:02:03.5 PM", true, EncodeTime(13, 2, 3, 500)},
      {&en(), u"1:02:03.0451", true, EncodeTime(1, 2, 3, 45)},
      {&en(), u"13:00 PM", false, 0},
      {&en(), u"3 PM", true, EncodeTime(15, 0, 0, 0)},
      {&en(), u"3", false, 0},
      {&en(), u"25:00", false, 0},
      {&en(), u"3/5/24", true, EncodeDate(2024, 3, 5)},
      {&en(), u"2024/3/5", true, EncodeDate(2024, 3, 5)},  // a long first number is a year
      {&en(), u"abc", false, 0},
      {&en(), u"3/5/2024 x", false, 0},
      {&en(), u"", false, 0},
  };
  for (const Case& c : cases) {
    TDateTime value = -99;
    EXPECT_EQ(TryStrToDateTime(c.text, value, *c.settings), c.ok) << StringToUtf8(c.text);
    if (c.ok) {
      EXPECT_NEAR(value, c.expected, 1e-9) << StringToUtf8(c.text);
    }
  }
  TDateTime value;
  EXPECT_TRUE(TryStrToDate(u"2024/03/05", value, ja()));
  EXPECT_FALSE(TryStrToDate(u"2024/03/05 10:00", value, ja()));
  EXPECT_TRUE(TryStrToTime(u"10:00", value, ja()));
  EXPECT_FALSE(TryStrToTime(u"2024/03/05", value, ja()));
  try {
    (void)StrToDate(u"x", ja());
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'x' is not a valid date");
  }
  EXPECT_THROW(StrToTime(u"x", ja()), EConvertError);
  EXPECT_THROW(StrToDateTime(u"x", ja()), EConvertError);

  // What DateTimeToStr writes, StrToDateTime reads, in both locales.
  const TDateTime values[] = {EncodeDateTime(2024, 3, 5, 14, 7, 9, 0), EncodeDate(1999, 12, 31),
                              EncodeDateTime(2001, 1, 1, 0, 0, 1, 0), EncodeDateTime(2030, 6, 15, 12, 0, 0, 0)};
  for (const TFormatSettings* s : {&ja(), &en()}) {
    for (TDateTime v : values) EXPECT_NEAR(StrToDateTime(DateTimeToStr(v, *s), *s), v, 1e-9) << v;
  }
}

TEST(FormatTest, ProcessSettingsFollowTheProfile) {
  EXPECT_EQ(FormatSettings().ShortDateFormat, ja().ShortDateFormat);
  {
    TqdScopedProcessProfile english(1033, 1252);
    EXPECT_EQ(FormatSettings().CurrencyString, u"$");
    EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 5)), u"3/5/2024");
    EXPECT_EQ(Format(u"%m", {-2.5}), u"($2.50)");
  }
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 5)), u"2024/03/05");
  EXPECT_EQ(TFormatSettings::Create(9999).ShortDateFormat, u"MM/dd/yyyy");  // unknown ids: invariant
}

}  // namespace
}  // namespace qd
