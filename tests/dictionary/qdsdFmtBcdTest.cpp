#include "dictionary/qdsdFmtBcd.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dictionary/fixtures/qdsdFmtBcdCases.inc"
#include "platform/qdProcessProfile.h"

namespace qd {
namespace {

// ---- Helpers ------------------------------------------------------------------

// A record from its fields; aDigits holds one character per digit.
TBcd makeBcd(int aPrecision, int aScale, bool aNegative, std::string_view aDigits) {
  TBcd result;
  result.Bytes[0] = static_cast<uint8_t>(aPrecision);
  result.Bytes[1] = static_cast<uint8_t>(aScale | (aNegative ? 0x80 : 0));
  for (size_t k = 0; k < aDigits.size(); ++k) {
    const int d = aDigits[k] - '0';
    result.Bytes[2 + k / 2] |= static_cast<uint8_t>(k % 2 == 0 ? d << 4 : d);
  }
  return result;
}

std::string digitsOf(const TBcd& aValue) {
  std::string text;
  for (int k = 0; k < aValue.Bytes[0] && k < 64; ++k) {
    const uint8_t packed = aValue.Bytes[2 + k / 2];
    text.push_back(static_cast<char>('0' + (k % 2 == 0 ? packed >> 4 : packed & 0x0F)));
  }
  return text;
}

// Digit nibbles beyond the precision must stay 0 in every record we build.
bool tailIsClear(const TBcd& aValue) {
  for (int k = aValue.Bytes[0]; k < 64; ++k) {
    const uint8_t packed = aValue.Bytes[2 + k / 2];
    if ((k % 2 == 0 ? packed >> 4 : packed & 0x0F) != 0) return false;
  }
  return true;
}

TBcd bcd(std::string_view aText) {
  TBcd result;
  qdAnsiStrToBcdSep(aText, '.', result);
  return result;
}

// Runs a test body under a chosen process-wide decimal separator.
class SeparatorScope {
 public:
  explicit SeparatorScope(char16_t aSeparator) : fSaved(FormatSettings()) {
    TFormatSettings changed = fSaved;
    changed.DecimalSeparator = aSeparator;
    SetFormatSettings(changed);
  }
  ~SeparatorScope() { SetFormatSettings(fSaved); }

 private:
  TFormatSettings fSaved;
};

template <class F>
void expectBcdOverflow(F aCall, const char* aWhat) {
  try {
    aCall();
    ADD_FAILURE() << aWhat << ": no exception";
  } catch (const EqdBcdOverflow& e) {
    EXPECT_EQ(e.ErrorCode(), 9985u) << aWhat;
    EXPECT_EQ(e.ErrorString(), u"BCD overflow") << aWhat;
  }
}

// ---- Text to BCD --------------------------------------------------------------------

TEST(FmtBcdTest, TextToBcdPacksDigitsPrecisionAndScale) {
  struct Case {
    std::string text;
    char separator;
    int precision;
    int scale;
    bool negative;
    std::string digits;
  };
  const std::vector<Case> cases = {
      {"-12.50", '.', 4, 2, true, "1250"},
      {"007", '.', 1, 0, false, "7"},
      {"0", '.', 8, 2, false, "00000000"},
      {"", '.', 8, 2, false, "00000000"},
      {"00", '.', 10, 2, false, "0000000000"},
      {"-0", '.', 10, 2, false, "0000000000"},
      {"0.", '.', 10, 2, false, "0000000000"},
      {"-0.", '.', 10, 2, false, "0000000000"},
      {"0.5", '.', 1, 1, false, "5"},
      {".5", '.', 1, 1, false, "5"},
      {"-0.5", '.', 1, 1, true, "5"},
      {"0.00", '.', 2, 2, false, "00"},
      {"12.", '.', 2, 0, false, "12"},
      {"-007", '.', 2, 0, true, "07"},  // after the sign only one zero is skipped
      {"123", '.', 3, 0, false, "123"},
      {"3,25", ',', 3, 2, false, "325"},
      {"-1.000", '.', 4, 3, true, "1000"},
      {std::string(64, '9'), '.', 64, 0, false, std::string(64, '9')},
      {"-" + std::string(64, '9'), '.', 64, 0, true, std::string(64, '9')},
      // Longer than 64 characters with the separator among them: fraction cut.
      {"1." + std::string(70, '3'), '.', 63, 62, false, "1" + std::string(62, '3')},
      {std::string(63, '8') + "." + std::string(10, '1'), '.', 63, 0, false, std::string(63, '8')},
      {"000" + std::string(60, '2') + ".12345", '.', 63, 3, false, std::string(60, '2') + "123"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TBcd result;
    ASSERT_TRUE(qdTryAnsiStrToBcdSep(c.text, result, c.separator));
    EXPECT_EQ(result.Bytes[0], c.precision);
    EXPECT_EQ(result.Bytes[1] & 0x3F, c.scale);
    EXPECT_EQ((result.Bytes[1] & 0x80) != 0, c.negative);
    EXPECT_EQ((result.Bytes[1] & 0x40), 0);
    EXPECT_EQ(digitsOf(result), c.digits);
    EXPECT_TRUE(tailIsClear(result));
  }
}

TEST(FmtBcdTest, TextToBcdRefusesWhatIsNoDecimal) {
  const std::vector<std::string> refused = {
      "1e5", "1E5", "+1", " 1", "1 ", "abc", "1-2", "--1", "1.2.3", ".", "-", "-.", "1,5", "0x10", "\x31\xA0",
      // More than 64 characters and no separator among the first 64: the
      // integer part cannot be held, so nothing may be reported as converted.
      std::string(65, '1'), "-" + std::string(65, '1'), std::string(65, '7') + ".5", std::string(300, '9'),
      std::string(70, '4') + "." + std::string(2, '4')};
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    TBcd result = makeBcd(3, 1, false, "123");
    const TBcd before = result;
    EXPECT_FALSE(qdTryAnsiStrToBcdSep(text, result, '.'));
    EXPECT_EQ(result, before) << "a refused text leaves the target alone";
    try {
      qdAnsiStrToBcdSep(text, '.', result);
      ADD_FAILURE() << "no exception";
    } catch (const EBcdException& e) {
      EXPECT_EQ(e.Message(), qdAnsiToString(text) + u" is not a valid BCD value");  // the text is ANSI
    }
  }
}

TEST(FmtBcdTest, TextFormsUseTheCurrentSeparator) {
  SeparatorScope comma(u',');
  TBcd result;
  ASSERT_TRUE(qdTryAnsiStrToBcd("-3,75", result));
  EXPECT_EQ(digitsOf(result), "375");
  EXPECT_EQ(result.Bytes[1], 0x82);
  EXPECT_FALSE(qdTryAnsiStrToBcd("3.75", result));
  EXPECT_THROW(qdAnsiStrToBcd("3.75", result), EBcdException);
  qdAnsiStrToBcd("12,5", result);
  EXPECT_EQ(qdBcdToAnsiStr(result), "12,5");
  EXPECT_EQ(qdBcdToAnsiStr(makeBcd(3, 3, false, "005")), "0,005");
}

// ---- Values against the decimal oracle ------------------------------------------------

TEST(FmtBcdTest, ValuesConvertExactlyToTextCurrencyAndDouble) {
  SeparatorScope point(u'.');
  for (const TBcdValueCase& c : kBcdValueCases) {
    SCOPED_TRACE(c.text);
    TBcd value;
    ASSERT_TRUE(qdTryAnsiStrToBcdSep(c.text, value, '.'));
    EXPECT_EQ(qdBcdToAnsiStr(value), c.shortest);
    EXPECT_EQ(qdBcdToVariant(value).AsString(), Utf8ToString(c.shortest));

    TqdCurrency currency{123};
    EXPECT_EQ(qdTryBcdToCurr(value, currency), c.currencyFits);
    if (c.currencyFits) {
      EXPECT_EQ(currency.Raw, c.currencyRaw);
    }

    EXPECT_EQ(std::bit_cast<uint64_t>(qdBcdToDouble(value)), std::bit_cast<uint64_t>(c.asDouble))
        << qdBcdToDouble(value) << " vs " << c.asDouble;

    // The shortest text reads back as the same value.
    TBcd again;
    qdAnsiStrToBcd(qdBcdToAnsiStr(value), again);
    EXPECT_EQ(qdBcdCompare(value, again), 0);
  }
}

TEST(FmtBcdTest, CompareOrdersByValue) {
  for (const TBcdCompareCase& c : kBcdCompareCases) {
    SCOPED_TRACE(std::string(c.left) + " vs " + c.right);
    const TBcd left = bcd(c.left);
    const TBcd right = bcd(c.right);
    EXPECT_EQ(qdBcdCompare(left, right), c.expected);
    EXPECT_EQ(qdBcdCompare(right, left), -c.expected);
    const TVariantRelationship expected = c.expected < 0 ? vrLessThan : c.expected > 0 ? vrGreaterThan : vrEqual;
    EXPECT_EQ(VarCompareValue(qdBcdToVariant(left), qdBcdToVariant(right)), expected);
  }
  // Zeros of every form are equal, whatever their sign bit.
  EXPECT_EQ(qdBcdCompare(makeBcd(8, 2, true, ""), makeBcd(1, 0, false, "0")), 0);
  EXPECT_EQ(qdBcdCompare(makeBcd(2, 3, false, "50"), bcd("0.05")), 0) << "scale above precision";
}

TEST(FmtBcdTest, InvalidRecordsAreRefusedEverywhere) {
  const std::vector<TBcd> invalid = {makeBcd(0, 0, false, ""), makeBcd(65, 0, false, "1"), makeBcd(255, 2, false, ""),
                                     makeBcd(2, 0, false, "1:")};  // a nibble of 10
  for (const TBcd& value : invalid) {
    SCOPED_TRACE(static_cast<int>(value.Bytes[0]));
    TqdCurrency currency;
    EXPECT_FALSE(qdTryBcdToCurr(value, currency));
    EXPECT_THROW((void)qdBcdToAnsiStr(value), EBcdOverflowException);
    EXPECT_THROW((void)qdBcdToDouble(value), EBcdOverflowException);
    EXPECT_THROW((void)qdBcdCompare(value, bcd("1")), EBcdOverflowException);
  }
  try {
    (void)qdBcdToAnsiStr(makeBcd(0, 0, false, ""));
  } catch (const EBcdOverflowException& e) {
    EXPECT_EQ(e.Message(), u"BCD overflow");
  }
}

TEST(FmtBcdTest, BcdToTextWritesTheShortestForm) {
  SeparatorScope point(u'.');
  struct Case {
    TBcd value;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {makeBcd(5, 2, false, "01230"), "12.3"}, {makeBcd(2, 2, false, "50"), "0.5"},
      {makeBcd(8, 2, false, ""), "0"},         {makeBcd(8, 2, true, ""), "0"},
      {makeBcd(3, 0, true, "100"), "-100"},    {makeBcd(4, 4, true, "0001"), "-0.0001"},
      {makeBcd(2, 3, false, "50"), "0.05"},  // more scale than digits: the missing zeros are there
      {makeBcd(6, 3, false, "120000"), "120"},
  };
  for (const Case& c : cases) EXPECT_EQ(qdBcdToAnsiStr(c.value), c.expected) << digitsOf(c.value);
}

// ---- Rescaling -------------------------------------------------------------------------

TEST(FmtBcdTest, RescaleKeepsPlaceValuesAndReportsLosses) {
  TBcd target;
  EXPECT_EQ(qdNormalizeBcd(bcd("123.45"), target, 4, 1), kBcdFractionDigitLost);
  EXPECT_EQ(digitsOf(target), "1234");
  EXPECT_EQ(target.Bytes[1], 1);
  EXPECT_EQ(qdNormalizeBcd(bcd("123.45"), target, 3, 1), kBcdIntegerDigitLost | kBcdFractionDigitLost);
  EXPECT_EQ(digitsOf(target), "234");

  SeparatorScope point(u'.');
  for (const TBcdRescaleCase& c : kBcdRescaleCases) {
    SCOPED_TRACE(std::string(c.text) + " to (" + std::to_string(c.precision) + "," + std::to_string(c.scale) + ")");
    const TBcd source = bcd(c.text);
    EXPECT_EQ(qdNormalizeBcd(source, target, c.precision, c.scale), c.flags);
    EXPECT_EQ(target.Bytes[0], c.precision);
    EXPECT_EQ(target.Bytes[1] & 0x3F, c.scale);
    EXPECT_EQ(target.Bytes[1] & 0x80, source.Bytes[1] & 0x80);
    EXPECT_TRUE(tailIsClear(target));
    EXPECT_EQ(qdBcdToAnsiStr(target), c.expected);

    // The checked form raises exactly for flags outside the mask.
    for (uint8_t mask = 0; mask <= 3; ++mask) {
      TBcd checked;
      if ((c.flags & ~mask) != 0)
        EXPECT_THROW(qdNormalizeBcdChecked(source, c.precision, c.scale, checked, mask), EqdBcdOverflow);
      else
        EXPECT_NO_THROW(qdNormalizeBcdChecked(source, c.precision, c.scale, checked, mask));
    }
  }
}

TEST(FmtBcdTest, RescaleCarriesFlagsInPlaceAndRefusesBadShapes) {
  TBcd value = makeBcd(3, 1, true, "125");
  value.Bytes[1] |= 0x40;
  EXPECT_EQ(qdNormalizeBcd(value, value, 6, 3), 0);  // source and target are one record
  EXPECT_EQ(value.Bytes[0], 6);
  EXPECT_EQ(value.Bytes[1], 0x80 | 0x40 | 3);
  EXPECT_EQ(digitsOf(value), "012500");

  struct Case {
    TBcd source;
    int precision;
    int scale;
  };
  const std::vector<Case> bad = {
      {bcd("1"), 0, 0},   {bcd("1"), 65, 0},
      {bcd("1"), -1, 0},  {bcd("1"), 10, 64},
      {bcd("1"), 10, -1}, {makeBcd(65, 0, false, "1"), 10, 0},  // a source above 64 digits would be read past its end
  };
  for (const Case& c : bad) {
    TBcd target;
    expectBcdOverflow([&] { (void)qdNormalizeBcd(c.source, target, c.precision, c.scale); }, "bad shape");
  }
}

// ---- Currency ------------------------------------------------------------------------------

TEST(FmtBcdTest, CurrencyToBcdRescalesTheExactDigits) {
  SeparatorScope point(u'.');
  for (const TCurrToBcdCase& c : kCurrToBcdCases) {
    SCOPED_TRACE(std::to_string(c.raw) + " to (" + std::to_string(c.precision) + "," + std::to_string(c.scale) + ")");
    TBcd target;
    EXPECT_EQ(qdCurrToBcd(target, c.precision, c.scale, TqdCurrency::FromRaw(c.raw)), c.flags);
    EXPECT_EQ(qdBcdToAnsiStr(target), c.expected);
    TBcd checked;
    if (c.flags == 0) {
      qdCurrToBcdChecked(c.precision, c.scale, 0, checked, TqdCurrency::FromRaw(c.raw));
      EXPECT_EQ(checked, target);
    } else {
      expectBcdOverflow([&] { qdCurrToBcdChecked(c.precision, c.scale, 0, checked, TqdCurrency::FromRaw(c.raw)); },
                        "lossy currency");
    }
  }
  TBcd target;
  EXPECT_EQ(qdCurrToBcd(target, 32, 4, TqdCurrency::FromRaw(-10000)), 0);
  EXPECT_EQ(digitsOf(target), std::string(27, '0') + "10000");
  EXPECT_EQ(target.Bytes[1], 0x84);
  // Fraction digits may be cut under mask 2, integer digits never.
  qdCurrToBcdChecked(3, 1, kBcdFractionDigitLost, target, TqdCurrency::FromRaw(123456));
  EXPECT_EQ(qdBcdToAnsiStr(target), "12.3");
  EXPECT_THROW(qdCurrToBcdChecked(2, 1, kBcdFractionDigitLost, target, TqdCurrency::FromRaw(123456)), EqdBcdOverflow);
}

TEST(FmtBcdTest, BcdToCurrencyIsExactAtTheEdges) {
  TqdCurrency currency;
  ASSERT_TRUE(qdTryBcdToCurr(bcd("922337203685477.5807"), currency));
  EXPECT_EQ(currency.Raw, INT64_MAX);
  ASSERT_TRUE(qdTryBcdToCurr(bcd("-922337203685477.5808"), currency));
  EXPECT_EQ(currency.Raw, INT64_MIN);
  EXPECT_FALSE(qdTryBcdToCurr(bcd("922337203685477.5808"), currency));
  EXPECT_FALSE(qdTryBcdToCurr(bcd(std::string(64, '9')), currency));
  // 17 significant digits: a double-based sum would lose the last ones.
  ASSERT_TRUE(qdTryBcdToCurr(bcd("12345678901.234567"), currency));
  EXPECT_EQ(currency.Raw, 123456789012346);
  ASSERT_TRUE(qdTryBcdToCurr(bcd("900719925474099.3001"), currency));
  EXPECT_EQ(currency.Raw, 9007199254740993001);
  ASSERT_TRUE(qdTryBcdToCurr(makeBcd(3, 8, false, "125"), currency));  // 0.00000125
  EXPECT_EQ(currency.Raw, 0);
  ASSERT_TRUE(qdTryBcdToCurr(makeBcd(3, 6, true, "150"), currency));  // -0.000150: a tie, to even
  EXPECT_EQ(currency.Raw, -2);
  EXPECT_EQ(qdBcdEntryPoints().TryBcdToCurr, &qdTryBcdToCurr);
}

TEST(FmtBcdTest, CurrencyImageOfABcdField) {
  SeparatorScope point(u'.');
  for (const TBcdCurrImageCase& c : kBcdCurrImageCases) {
    SCOPED_TRACE(std::string(c.text) + " as (" + std::to_string(c.precision) + "," + std::to_string(c.scale) + ")");
    const TqdVariant asBcd = qdBcdToVariant(bcd(c.text));
    const TqdVariant asText = TqdVariant(Utf8ToString(c.text));
    for (const TqdVariant* value : {&asBcd, &asText}) {
      if (c.overflow)
        expectBcdOverflow([&] { (void)qdVariantToBcdCurr(*value, c.precision, c.scale); }, c.text);
      else
        EXPECT_EQ(qdVariantToBcdCurr(*value, c.precision, c.scale).Raw, c.raw);
    }
  }
  EXPECT_EQ(qdVariantToBcdCurr(TqdVariant(int64_t{42}), 4, 2).Raw, 420000);
  EXPECT_EQ(qdVariantToBcdCurr(TqdVariant(TqdCurrency::FromRaw(-123456)), 5, 2).Raw, -123400);
  expectBcdOverflow([] { (void)qdVariantToBcdCurr(TqdVariant(1), 2, 2); }, "precision equal to scale");
  expectBcdOverflow([] { (void)qdVariantToBcdCurr(TqdVariant(1), 2, -1); }, "negative scale");
}

// ---- Field bytes, integers, floats ----------------------------------------------------------

TEST(FmtBcdTest, FmtBcdFieldBytes) {
  SeparatorScope point(u'.');
  struct Case {
    TqdVariant value;
    int precision;
    int scale;
    std::vector<uint8_t> expected;
  };
  const std::vector<Case> cases = {
      {TqdVariant(u"123.456"), 5, 2, {5, 2, 0x12, 0x34, 0x50}},
      {TqdVariant(u"-0.5"), 4, 2, {4, 0x82, 0x00, 0x50}},
      {TqdVariant(int32_t{7}), 1, 0, {1, 0, 0x70}},
      {qdBcdToVariant(bcd("99.999")), 4, 2, {4, 2, 0x99, 0x99}},
      {TqdVariant(TqdCurrency::FromRaw(-123456)), 6, 4, {6, 0x84, 0x12, 0x34, 0x56}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.value.AsString()));
    std::vector<uint8_t> data(c.expected.size(), 0xEE);
    qdVariantToFmtBcdBytes(c.value, c.precision, c.scale, data.data(), static_cast<int32_t>(data.size()));
    EXPECT_EQ(data, c.expected);
  }
  std::vector<uint8_t> buffer(40, 0xEE);
  qdVariantToFmtBcdBytes(TqdVariant(u"1.5"), 2, 1, buffer.data(), 40);
  std::vector<uint8_t> expected(40, 0);
  expected[0] = 2;
  expected[1] = 1;
  expected[2] = 0x15;
  EXPECT_EQ(buffer, expected) << "beyond the 34 record bytes the field is zeroed, nothing is read past the record";

  expectBcdOverflow([&] { qdVariantToFmtBcdBytes(TqdVariant(1), 5, 2, buffer.data(), 4); }, "short buffer");
  expectBcdOverflow([&] { qdVariantToFmtBcdBytes(TqdVariant(u"1000"), 5, 2, buffer.data(), 5); }, "integer digits");
  expectBcdOverflow([&] { qdVariantToFmtBcdBytes(TqdVariant(1), 65, 2, buffer.data(), 40); }, "precision 65");
}

TEST(FmtBcdTest, BcdToInt64) {
  struct Case {
    const char* text;
    bool truncate;
    bool converts;
    int64_t expected;
  };
  const std::vector<Case> cases = {
      {"12.9", true, true, 12},
      {"-12.9", true, true, -12},
      {"0.999", true, true, 0},
      {"12.000", false, true, 12},
      {"9223372036854775807", false, true, INT64_MAX},
      {"-9223372036854775808", false, true, INT64_MIN},
      {"9223372036854775807.99", true, true, INT64_MAX},
      {"12.9", false, false, 0},
      {"9223372036854775808", true, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.converts)
      EXPECT_EQ(qdBcdToInt64(bcd(c.text), c.truncate), c.expected);
    else
      EXPECT_THROW((void)qdBcdToInt64(bcd(c.text), c.truncate), EConvertError);
  }
  EXPECT_EQ(qdBcdToInt64(makeBcd(2, 3, false, "99"), true), 0);
}

TEST(FmtBcdTest, FloatRecordToBcd) {
  struct Case {
    std::string digits;
    int16_t exponent;
    bool negative;
    std::string expected;  // precision/scale:digits
  };
  const std::vector<Case> cases = {
      {"5", -2, false, "3/3:005"},
      {"5", 3, false, "3/0:500"},
      {"123", 1, true, "3/2:123"},
      {"", 5, true, "8/2:00000000"},
      {"125", 0, false, "3/3:125"},
      {"125", 3, false, "3/0:125"},
      {"1", 64, false, "64/0:1" + std::string(63, '0')},
      {"5", -62, false, "63/63:" + std::string(62, '0') + "5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits + "e" + std::to_string(c.exponent));
    TBcd target;
    qdFloatRecToBcd(TFloatRec{c.exponent, c.negative, c.digits}, target);
    EXPECT_EQ(std::to_string(target.Bytes[0]) + "/" + std::to_string(target.Bytes[1] & 0x3F) + ":" + digitsOf(target),
              c.expected);
    EXPECT_EQ((target.Bytes[1] & 0x80) != 0, c.negative && !c.digits.empty());
  }
  const std::vector<TFloatRec> tooWide = {
      {65, false, "1"},
      {-63, false, "5"},  // 64 places but a scale of 64, which six bits cannot hold
      {-1, false, std::string(64, '1')},
      {kFloatRecInfinity, false, ""},
      {kFloatRecNaN, false, "1"},
      {kFloatRecInfinity, true, "1"},
  };
  for (const TFloatRec& rec : tooWide) {
    TBcd target;
    expectBcdOverflow([&] { qdFloatRecToBcd(rec, target); }, "too wide");
  }
}

TEST(FmtBcdTest, DoubleToBcdGoesThroughTheGeneralText) {
  SeparatorScope point(u'.');
  struct Case {
    double value;
    const char* expected;  // nullptr: refused
  };
  const std::vector<Case> cases = {{1.5, "1.5"},
                                   {-0.1, "-0.1"},
                                   {0.1 + 0.2, "0.3"},
                                   {123456789012345.0, "123456789012345"},
                                   {0.0001, "0.0001"},
                                   {1e15, nullptr},
                                   {1.5e-7, nullptr},
                                   {std::numeric_limits<double>::quiet_NaN(), nullptr},
                                   {-std::numeric_limits<double>::infinity(), nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    if (c.expected) {
      EXPECT_EQ(qdBcdToAnsiStr(qdDoubleToBcd(c.value)), c.expected);
    } else {
      try {
        (void)qdDoubleToBcd(c.value);
        ADD_FAILURE() << "no exception";
      } catch (const EBcdException& e) {
        EXPECT_EQ(e.Message(), FloatToStr(c.value) + u" is not a valid BCD value");
      }
    }
  }
}

// ---- Variants ------------------------------------------------------------------------------------

TEST(FmtBcdTest, VariantCastsReachTheDecimalUnit) {
  SeparatorScope point(u'.');
  struct Case {
    TqdVariant value;
    const char* expected;  // nullptr: cast refused
  };
  const std::vector<Case> cases = {
      {TqdVariant(u"12.5"), "12.5"},
      {TqdVariant(u" +12.50 "), "12.5"},
      {TqdVariant(u"-1.25E3"), "-1250"},
      {TqdVariant(u"0.5e-3"), "0.0005"},
      {TqdVariant(1e20), "100000000000000000000"},
      {TqdVariant(-0.125), "-0.125"},
      {TqdVariant(INT64_MIN), "-9223372036854775808"},
      {TqdVariant(UINT64_MAX), "18446744073709551615"},
      {TqdVariant(TqdCurrency::FromRaw(INT64_MAX)), "922337203685477.5807"},
      {TqdVariant(u"abc"), nullptr},
      {TqdVariant(u"1e"), nullptr},
      {TqdVariant(u"e5"), nullptr},
      {TqdVariant(u"+-1"), nullptr},
      {TqdVariant(u"1e65"), nullptr},
      {TqdVariant(u"１２"), nullptr},
      {TqdVariant(std::numeric_limits<double>::infinity()), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.value.AsString()));
    TBcd value;
    if (c.expected) {
      qdVariantToBcd(c.value, value);
      EXPECT_EQ(qdBcdToAnsiStr(value), c.expected);
      EXPECT_TRUE(tailIsClear(value));
    } else {
      EXPECT_THROW(qdVariantToBcd(c.value, value), EVariantTypeCastError);
    }
  }
  // Back out of a BCD variant, exactly.
  const TqdVariant big = qdBcdToVariant(bcd("922337203685477.5807"));
  EXPECT_EQ(big.AsCurrency().Raw, INT64_MAX);
  EXPECT_EQ(qdBcdToVariant(bcd("-9223372036854775808")).AsInt64(), INT64_MIN);
  EXPECT_EQ(VarCompareValue(qdBcdToVariant(bcd("12.5")), TqdVariant(13)), vrLessThan);
  EXPECT_EQ(VarCompareValue(TqdVariant(12.5), qdBcdToVariant(bcd("12.50"))), vrEqual);
}

TEST(FmtBcdTest, NegatingABcdVariant) {
  const TqdVariant value = qdBcdToVariant(bcd("1.5"));
  const TqdVariant negated = qdNegateBcdVariant(value);
  EXPECT_EQ(negated.VarType(), varFmtBcd);
  EXPECT_EQ(qdBcdToAnsiStr(negated.AsBcd()), "-1.5");
  EXPECT_EQ(qdNegateBcdVariant(negated).AsBcd(), value.AsBcd());

  TBcd special = bcd("-2.25");
  special.Bytes[1] |= 0x40;
  EXPECT_EQ(qdNegateBcdVariant(qdNegateBcdVariant(qdBcdToVariant(special))).AsBcd(), special);
  const TBcd zero = qdNegateBcdVariant(qdBcdToVariant(bcd("0"))).AsBcd();
  EXPECT_EQ(zero.Bytes[1], 0x82) << "a zero keeps its form and gains the sign bit";
  EXPECT_EQ(qdBcdToAnsiStr(qdNegateBcdVariant(TqdVariant(u"3")).AsBcd()), "-3");
}

TEST(FmtBcdTest, EntryPointsAreSetAtStartUp) {
  const TqdBcdEntryPoints& e = qdBcdEntryPoints();
  EXPECT_EQ(e.BcdToDouble, &qdBcdToDouble);
  EXPECT_EQ(e.BcdCompare, &qdBcdCompare);
  EXPECT_EQ(e.StrToBcd, &qdAnsiStrToBcd);
  EXPECT_EQ(e.StrToBcdSep, &qdAnsiStrToBcdSep);
  EXPECT_EQ(e.DoubleToBcd, &qdDoubleToBcd);
  EXPECT_EQ(e.TryStrToBcd, &qdTryAnsiStrToBcd);
  EXPECT_EQ(e.TryStrToBcdSep, &qdTryAnsiStrToBcdSep);
  EXPECT_EQ(e.TryBcdToCurr, &qdTryBcdToCurr);
}

// ---- Date literals ------------------------------------------------------------------------------------

TEST(FmtBcdTest, ParseDigitsSkipsWhatIsNoDigit) {
  struct Case {
    const char16_t* text;
    int32_t start;
    int32_t count;
    int32_t expected;
  };
  const std::vector<Case> cases = {
      {u"2024-01-02", 1, 4, 2024},
      {u"2024-01-02", 6, 2, 1},
      {u"a1b2", 1, 4, 12},
      {u"12", 2, 5, 2},
      {u"12", 3, 2, 0},
      {u"12", 0, 2, 1},
      {u"12", 1, 0, 0},
      {u"12", -5, 100, 12},
      {u"99999999999", 1, 11, INT32_MAX},
  };
  for (const Case& c : cases)
    EXPECT_EQ(qdParseDigits(c.text, c.start, c.count), c.expected) << StringToUtf8(c.text) << " " << c.start;
}

TEST(FmtBcdTest, DateLiterals) {
  for (const TDateLiteralCase& c : kDateLiteralCases) {
    SCOPED_TRACE(StringToUtf8(c.text));
    const qdString quoted = u"'" + qdString(c.text) + u"'";
    EXPECT_EQ(qdIsDateLiteral(c.text), c.valid);
    EXPECT_EQ(qdIsDateLiteral(quoted), c.valid);
    if (c.valid) {
      EXPECT_EQ(qdDateLiteralToDate(c.text), c.serial);
      EXPECT_EQ(qdDateLiteralToDate(quoted), c.serial);
      EXPECT_EQ(qdDateFromVariant(TqdVariant(quoted)), c.serial);
    } else {
      try {
        (void)qdDateFromVariant(TqdVariant(c.text));
        ADD_FAILURE() << "no exception";
      } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), u"Invalid date format " + qdString(c.text));
      }
    }
  }
  for (const char16_t* text : {u"2024-1-01", u"2024-01-011", u"'2024-01-01", u"2024-01-01'", u"", u"'"})
    EXPECT_FALSE(qdIsDateLiteral(text)) << StringToUtf8(text);
  EXPECT_THROW((void)qdDateLiteralToDate(u"2023-02-29"), EConvertError);
}

TEST(FmtBcdTest, WeekDateLiterals) {
  for (const TWeekDateCase& c : kWeekDateCases) {
    SCOPED_TRACE(StringToUtf8(c.text));
    TDateTime date = -1e9;
    EXPECT_EQ(qdTryWeekDateLiteralToDate(c.text, date), c.valid);
    if (c.valid) {
      EXPECT_EQ(date, c.serial);
    }
  }
  TDateTime date;
  ASSERT_TRUE(qdTryWeekDateLiteralToDate(u"'2024-W01-1'", date));
  EXPECT_EQ(date, EncodeDate(2024, 1, 1));
  ASSERT_TRUE(qdTryWeekDateLiteralToDate(u"2020-W53-7", date));
  EXPECT_EQ(date, EncodeDate(2021, 1, 3));
  for (const char16_t* text : {u"2024-W1-1", u"2024-W01-11", u"2024-W01", u""})
    EXPECT_FALSE(qdTryWeekDateLiteralToDate(text, date)) << StringToUtf8(text);
}

TEST(FmtBcdTest, TimeLiterals) {
  struct Case {
    const char16_t* text;
    bool valid;
    uint16_t hour, minute, second, msec;
  };
  const std::vector<Case> cases = {
      {u"12:34:56.789", true, 12, 34, 56, 789}, {u"12:34:56", true, 12, 34, 56, 0},
      {u"'00:00:00'", true, 0, 0, 0, 0},        {u"23:59:59.999", true, 23, 59, 59, 999},
      {u"12:34:56x789", true, 12, 34, 56, 0},  // no "." before them: no milliseconds
      {u"24:00:00", false, 0, 0, 0, 0},         {u"12:60:00", false, 0, 0, 0, 0},
      {u"12:00:60", false, 0, 0, 0, 0},         {u"12-34-56", false, 0, 0, 0, 0},
      {u"12:34:56.78", false, 0, 0, 0, 0},      {u"1:34:56", false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.text));
    EXPECT_EQ(qdIsTimeLiteral(c.text), c.valid);
    if (!c.valid) {
      EXPECT_THROW((void)qdTimeFromVariant(TqdVariant(c.text)), EConvertError);
      continue;
    }
    const TDateTime time = qdTimeLiteralToTime(c.text);
    EXPECT_EQ(time, EncodeTime(c.hour, c.minute, c.second, c.msec));
    EXPECT_EQ(qdTimeFromVariant(TqdVariant(c.text)), time);
    uint16_t h, m, s, ms;
    DecodeTime(time, h, m, s, ms);
    EXPECT_EQ(ms, c.msec);
  }
  try {
    (void)qdTimeFromVariant(TqdVariant(u"25:00:00"));
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"Invalid time format 25:00:00");
  }
}

TEST(FmtBcdTest, TimestampLiterals) {
  struct Case {
    const char16_t* text;
    bool valid;
    TDateTime expected;
  };
  const std::vector<Case> cases = {
      {u"2024-01-02 03:04:05.006", true, EncodeDate(2024, 1, 2) + EncodeTime(3, 4, 5, 6)},
      {u"'2024-01-02 03:04:05'", true, EncodeDate(2024, 1, 2) + EncodeTime(3, 4, 5, 0)},
      {u"1899-12-30 12:00:00", true, 0.5},
      {u"1899-12-29 06:00:00", true, -1.25},  // before day 0 the time counts away from zero
      {u"1899-12-28 18:00:00.000", true, -2.75},
      {u"0001-01-01 00:00:00", true, kMinDateTime},
      {u"2023-02-29 00:00:00", false, 0},
      {u"2024-01-02 24:00:00", false, 0},
      {u"2024-01-02T03:04:05", false, 0},
      {u"2024-01-02 03:04", false, 0},
      {u"2024-01-02 03:04:05.06", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUtf8(c.text));
    EXPECT_EQ(qdIsTimestampLiteral(c.text), c.valid);
    if (c.valid) {
      EXPECT_EQ(qdTimestampLiteralToDateTime(c.text), c.expected);
      EXPECT_EQ(qdTimestampFromVariant(TqdVariant(c.text)), c.expected);
    } else {
      try {
        (void)qdTimestampFromVariant(TqdVariant(c.text));
        ADD_FAILURE() << "no exception";
      } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), u"Invalid date/time format " + qdString(c.text));
      }
    }
  }
  EXPECT_THROW((void)qdTimestampFromVariant(TqdVariant::Null()), EConvertError);
}

}  // namespace
}  // namespace qd
