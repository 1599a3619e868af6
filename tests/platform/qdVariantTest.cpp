#include "platform/qdVariant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "platform/qdProcessProfile.h"

namespace qd {
namespace {

qdString u(std::string_view aUtf8) { return Utf8ToString(aUtf8); }

const TFormatSettings& ja() {
  static const TFormatSettings s = TFormatSettings::Create(1041);
  return s;
}

std::string describe(const TqdVariant& v) {
  std::string text = StringToUtf8(VarTypeAsText(v.VarType()));
  if (!v.IsArray() && !v.IsNull() && v.VarType() != varFmtBcd) text += " " + StringToUtf8(v.AsString(ja()));
  return text;
}

enum class Outcome { kValue, kCastError, kOverflow };

struct ConversionCase {
  TqdVariant from;
  TqdVarType to;
  Outcome outcome;
  TqdVariant expected;
};

void checkConversions(const std::vector<ConversionCase>& aCases, const TFormatSettings& aSettings) {
  for (const ConversionCase& c : aCases) {
    SCOPED_TRACE(describe(c.from) + " -> " + StringToUtf8(VarTypeAsText(c.to)));
    switch (c.outcome) {
      case Outcome::kValue: {
        const TqdVariant result = VarAsType(c.from, c.to, aSettings);
        EXPECT_TRUE(result.IsIdentical(c.expected))
            << "got " << describe(result) << ", wanted " << describe(c.expected);
        break;
      }
      case Outcome::kCastError:
        EXPECT_THROW(VarAsType(c.from, c.to, aSettings), EVariantTypeCastError);
        break;
      case Outcome::kOverflow:
        EXPECT_THROW(VarAsType(c.from, c.to, aSettings), EVariantOverflowError);
        break;
    }
  }
}

constexpr Outcome V = Outcome::kValue, CAST = Outcome::kCastError, OVER = Outcome::kOverflow;

TEST(VariantTest, ConstructorsPickTheKind) {
  EXPECT_EQ(TqdVariant().VarType(), varEmpty);
  EXPECT_EQ(TqdVariant::Null().VarType(), varNull);
  EXPECT_EQ(TqdVariant(true).VarType(), varBoolean);
  EXPECT_EQ(TqdVariant(int8_t{1}).VarType(), varShortInt);
  EXPECT_EQ(TqdVariant(uint8_t{1}).VarType(), varByte);
  EXPECT_EQ(TqdVariant(int16_t{1}).VarType(), varSmallint);
  EXPECT_EQ(TqdVariant(uint16_t{1}).VarType(), varWord);
  EXPECT_EQ(TqdVariant(1).VarType(), varInteger);
  EXPECT_EQ(TqdVariant(1u).VarType(), varLongWord);
  EXPECT_EQ(TqdVariant(int64_t{1}).VarType(), varInt64);
  EXPECT_EQ(TqdVariant(1LL).VarType(), varInt64);
  EXPECT_EQ(TqdVariant(uint64_t{1}).VarType(), varUInt64);
  EXPECT_EQ(TqdVariant(1.0f).VarType(), varSingle);
  EXPECT_EQ(TqdVariant(1.0).VarType(), varDouble);
  EXPECT_EQ(TqdVariant(TqdCurrency::FromRaw(1)).VarType(), varCurrency);
  EXPECT_EQ(TqdVariant::FromDate(1).VarType(), varDate);
  EXPECT_EQ(TqdVariant(u"x").VarType(), varUString);
  EXPECT_EQ(TqdVariant::FromAnsi("x").VarType(), varString);
  EXPECT_EQ(TqdVariant::FromBytes({1, 2}).VarType(), varByteArray);
  EXPECT_EQ(TqdVariant::FromArray({1, u"a"}).VarType(), varVariantArray);
  EXPECT_EQ(TqdVariant::FromBcd(TBcd{}).VarType(), varFmtBcd);
}

TEST(VariantTest, EmptyNullAndBooleanConversions) {
  checkConversions(
      {
          {TqdVariant(), varInteger, V, 0},
          {TqdVariant(), varUString, V, u""},
          {TqdVariant(), varBoolean, V, false},
          {TqdVariant(), varDouble, V, 0.0},
          {TqdVariant(), varDate, V, TqdVariant::FromDate(0)},
          {TqdVariant(), varCurrency, V, TqdCurrency{}},
          {TqdVariant::Null(), varInteger, CAST, {}},
          {TqdVariant::Null(), varUString, CAST, {}},
          {TqdVariant::Null(), varBoolean, CAST, {}},
          {TqdVariant::Null(), varDate, CAST, {}},
          {TqdVariant::Null(), varNull, V, TqdVariant::Null()},
          {true, varInteger, V, -1},
          {false, varInteger, V, 0},
          {true, varDouble, V, -1.0},
          {true, varCurrency, V, TqdCurrency::FromRaw(-10000)},
          {true, varUString, V, u"True"},
          {false, varUString, V, u"False"},
          {true, varByte, OVER, {}},
          {2, varBoolean, V, true},
          {0.0, varBoolean, V, false},
          {TqdCurrency::FromRaw(1), varBoolean, V, true},
          {u"True", varBoolean, V, true},
          {u"false", varBoolean, V, false},
          {u"0", varBoolean, V, false},
          {u"-3.5", varBoolean, V, true},
          {u"yes", varBoolean, CAST, {}},
      },
      ja());
}

TEST(VariantTest, NumbersToIntegersRoundHalfToEvenAndCheckRanges) {
  const double nan = std::nan("");
  checkConversions(
      {
          {2.5, varInteger, V, 2},
          {3.5, varInteger, V, 4},
          {-2.5, varInteger, V, -2},
          {2.4999, varInteger, V, 2},
          {1e10, varInteger, OVER, {}},
          {nan, varInteger, CAST, {}},
          {HUGE_VAL, varInt64, OVER, {}},
          {1e19, varUInt64, V, uint64_t{10000000000000000000u}},
          {1e19, varInt64, OVER, {}},
          {-1.0, varUInt64, OVER, {}},
          {-9223372036854775808.0, varInt64, V, INT64_MIN},
          {300, varByte, OVER, {}},
          {255, varByte, V, uint8_t{255}},
          {-129, varShortInt, OVER, {}},
          {-128, varShortInt, V, int8_t{-128}},
          {65535, varWord, V, uint16_t{65535}},
          {65536, varWord, OVER, {}},
          {-32769, varSmallint, OVER, {}},
          {-1, varLongWord, OVER, {}},
          {int64_t{4294967295}, varLongWord, V, uint32_t{4294967295u}},
          {int64_t{2147483648}, varInteger, OVER, {}},
          {UINT64_MAX, varInt64, OVER, {}},
          {UINT64_MAX, varDouble, V, 18446744073709551615.0},
          {INT64_MIN, varUInt64, OVER, {}},
          {TqdCurrency::FromRaw(125000), varInteger, V, 12},
          {TqdCurrency::FromRaw(135000), varInteger, V, 14},
          {TqdCurrency::FromRaw(-125001), varInt64, V, int64_t{-13}},
          {TqdVariant::FromDate(2.5), varInteger, V, 2},
          {1.5f, varInteger, V, 2},
      },
      ja());
}

TEST(VariantTest, TextsToNumbersUseTheFormatSettings) {
  checkConversions(
      {
          {u"42", varInteger, V, 42},
          {u" 42", varInteger, V, 42},
          {u"$1F", varInteger, V, 31},
          {u"3.7", varInteger, V, 4},
          {u"2.5", varInteger, V, 2},
          {u"1e3", varInteger, V, 1000},
          {u"99999999999", varInteger, OVER, {}},
          {u"4294967295", varLongWord, V, uint32_t{4294967295u}},
          {u"18446744073709551615", varUInt64, V, UINT64_MAX},
          {u"abc", varInteger, CAST, {}},
          {u"", varInteger, CAST, {}},
          {u"1.5", varDouble, V, 1.5},
          {u"1,5", varDouble, CAST, {}},
          {u"1e400", varDouble, CAST, {}},
          {u"12.34567", varCurrency, V, TqdCurrency::FromRaw(123457)},
          {u"x", varCurrency, CAST, {}},
          {u"0.1", varSingle, V, 0.1f},
          {u"1e300", varSingle, OVER, {}},
          {u"2024/03/05", varDate, V, TqdVariant::FromDate(EncodeDate(2024, 3, 5))},
          {u"not a date", varDate, CAST, {}},
          {TqdVariant::FromAnsi("17"), varInteger, V, 17},
      },
      ja());

  TFormatSettings comma = ja();
  comma.DecimalSeparator = u',';
  checkConversions({{u"1,5", varDouble, V, 1.5}, {1.5, varUString, V, u"1,5"}, {u"1.5", varDouble, CAST, {}}}, comma);
}

TEST(VariantTest, ValuesToText) {
  const TDateTime moment = EncodeDateTime(2024, 3, 5, 14, 7, 9, 0);
  checkConversions(
      {
          {42, varUString, V, u"42"},
          {INT64_MIN, varUString, V, u"-9223372036854775808"},
          {UINT64_MAX, varUString, V, u"18446744073709551615"},
          {1.5, varUString, V, u"1.5"},
          {1e15, varUString, V, u"1E15"},
          {0.1f, varUString, V, u"0.100000001490116"},
          {TqdCurrency::FromRaw(123456), varUString, V, u"12.3456"},
          {TqdVariant::FromDate(moment), varUString, V, u"2024/03/05 14:07:09"},
          {TqdVariant::FromDate(EncodeDate(2024, 3, 5)), varUString, V, u"2024/03/05"},
          {TqdVariant::FromBytes({65}), varUString, CAST, {}},
          {TqdVariant::FromArray({1}), varUString, CAST, {}},
          {TqdVariant::FromArray({1}), varInteger, CAST, {}},
          {1.5, varDate, V, TqdVariant::FromDate(1.5)},
          {TqdVariant::FromDate(1.5), varDouble, V, 1.5},
          {1e300, varSingle, OVER, {}},
          {1e-50, varSingle, V, 0.0f},
          {TqdVariant::FromBytes({1, 2}), varByteArray, V, TqdVariant::FromBytes({1, 2})},
      },
      ja());
}

TEST(VariantTest, AnsiStringsUseTheProfileCodePage) {
  const qdString japanese = u("日本");
  const std::string shiftJis = "\x93\xfa\x96\x7b";
  EXPECT_EQ(TqdVariant(japanese).AsAnsiString(), shiftJis);
  EXPECT_EQ(TqdVariant::FromAnsi(shiftJis).AsString(), japanese);
  EXPECT_TRUE(VarAsType(TqdVariant(japanese), varString).IsIdentical(TqdVariant::FromAnsi(shiftJis)));
  {
    TqdScopedProcessProfile western(1033, 1252);
    EXPECT_EQ(TqdVariant(u("é")).AsAnsiString(), "\xE9");
    EXPECT_EQ(TqdVariant::FromAnsi("\xE9").AsString(), u("é"));
  }
}

TEST(VariantTest, ArraysAndIdentity) {
  const TqdVariant array = TqdVariant::FromArray({1, u"a", TqdVariant::FromArray({2.5})});
  EXPECT_EQ(array.Elements().size(), 3u);
  EXPECT_EQ(array.Element(1).AsString(), u"a");
  EXPECT_EQ(array.Element(2).Element(0).AsDouble(), 2.5);
  EXPECT_THROW((void)array.Element(3), EVariantBadIndexError);
  EXPECT_THROW((void)TqdVariant(1).Elements(), EVariantError);
  EXPECT_THROW((void)TqdVariant(1).Bytes(), EVariantError);
  EXPECT_EQ(TqdVariant::FromBytes({7, 8}).Bytes(), (std::vector<uint8_t>{7, 8}));

  TqdVariant copy = array;
  EXPECT_TRUE(copy.IsIdentical(array));
  copy = TqdVariant::FromArray({1, u"b"});
  EXPECT_EQ(array.Element(1).AsString(), u"a") << "copies share nothing";
  EXPECT_FALSE(TqdVariant(1).IsIdentical(TqdVariant(int64_t{1}))) << "kind is part of identity";
  EXPECT_TRUE(TqdVariant(std::nan("")).IsIdentical(TqdVariant(std::nan(""))));
  EXPECT_FALSE(TqdVariant(0.0).IsIdentical(TqdVariant(-0.0)));
}

TEST(VariantTest, CompareWidensNumbersAndConvertsText) {
  struct Case {
    TqdVariant left, right;
    TVariantRelationship expected;
  };
  const TqdVariant date = TqdVariant::FromDate(EncodeDate(2024, 3, 5));
  const Case cases[] = {
      {1, 1.0, vrEqual},
      {1, 2, vrLessThan},
      {INT64_MAX, UINT64_MAX, vrLessThan},
      {UINT64_MAX, -1, vrGreaterThan},
      {uint8_t{200}, int8_t{-1}, vrGreaterThan},
      {TqdCurrency::FromRaw(15000), 1, vrGreaterThan},
      {TqdCurrency::FromRaw(10000), 1, vrEqual},
      {INT64_MAX, TqdCurrency::FromRaw(INT64_MAX), vrGreaterThan},
      {TqdCurrency::FromRaw(1000), 0.1, vrEqual},
      {TqdVariant::FromDate(1.5), 1.5, vrEqual},
      {u"abc", u"abd", vrLessThan},
      {u"a", u"B", vrGreaterThan},  // code units, not letters
      {TqdVariant::FromAnsi("abc"), u"abc", vrEqual},
      {u"10", 9, vrGreaterThan},  // a number, not text order
      {9, u"10", vrLessThan},
      {u"9223372036854775807", INT64_MAX, vrEqual},
      {u"2.5", TqdCurrency::FromRaw(25000), vrEqual},
      {u"2024/03/05", date, vrEqual},
      {date, u"2024/03/06", vrLessThan},
      {true, 1, vrEqual},
      {false, true, vrLessThan},
      {true, u"True", vrEqual},
      {TqdVariant(), TqdVariant(), vrEqual},
      {TqdVariant::Null(), TqdVariant::Null(), vrEqual},
      {TqdVariant::Null(), TqdVariant(), vrNotEqual},
      {TqdVariant::Null(), 0, vrNotEqual},
      {TqdVariant(), 0, vrNotEqual},
      {std::nan(""), std::nan(""), vrNotEqual},
      {std::nan(""), 1, vrNotEqual},
  };
  for (const Case& c : cases)
    EXPECT_EQ(VarCompareValue(c.left, c.right, ja()), c.expected) << describe(c.left) << " vs " << describe(c.right);

  EXPECT_TRUE(VarSameValue(1, 1.0, ja()));
  EXPECT_FALSE(VarSameValue(TqdVariant::Null(), 0, ja()));
  EXPECT_THROW(VarCompareValue(u"abc", 1, ja()), EVariantTypeCastError);
  EXPECT_THROW(VarCompareValue(TqdVariant::FromArray({}), 1, ja()), EVariantInvalidOpError);
  EXPECT_THROW(VarCompareValue(TqdVariant::FromBytes({}), TqdVariant::FromBytes({}), ja()), EVariantInvalidOpError);
}

TEST(VariantTest, Predicates) {
  EXPECT_TRUE(VarIsEmpty(TqdVariant()));
  EXPECT_TRUE(VarIsNull(TqdVariant::Null()));
  EXPECT_TRUE(VarIsStr(TqdVariant::FromAnsi("")));
  EXPECT_TRUE(VarIsOrdinal(TqdVariant(true)));
  EXPECT_FALSE(VarIsOrdinal(TqdVariant(1.0)));
  EXPECT_TRUE(VarIsFloat(TqdVariant(TqdCurrency{})));
  EXPECT_FALSE(VarIsFloat(TqdVariant::FromDate(0)));
  EXPECT_TRUE(VarIsNumeric(TqdVariant(uint64_t{1})));
  EXPECT_TRUE(VarIsByteArray(TqdVariant::FromBytes({})));
  EXPECT_EQ(VarToStr(TqdVariant::Null()), u"");
  EXPECT_EQ(VarToStrDef(TqdVariant::Null(), u"-"), u"-");
  EXPECT_EQ(VarTypeAsText(varByteArray), u"Array Byte");
  try {
    (void)TqdVariant::Null().AsInteger();
    FAIL();
  } catch (const EVariantTypeCastError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Integer)");
  }
}

// A stand-in decimal handler that keeps the text itself in the record.
struct TextBcd {
  static qdString ToText(const TBcd& aValue) {
    return qdString(aValue.Bytes.begin() + 1, aValue.Bytes.begin() + 1 + aValue.Bytes[0]);
  }
  static bool FromText(qdStringView aText, TBcd& aValue) {
    if (aText.empty() || aText.size() > 33) return false;
    for (char16_t c : aText)
      if (!((c >= u'0' && c <= u'9') || c == u'.' || c == u'-')) return false;
    aValue = TBcd{};
    aValue.Bytes[0] = static_cast<uint8_t>(aText.size());
    for (size_t i = 0; i < aText.size(); ++i) aValue.Bytes[i + 1] = static_cast<uint8_t>(aText[i]);
    return true;
  }
  static int Compare(const TBcd& aLeft, const TBcd& aRight) {
    const double l = StrToFloat(ToText(aLeft), TFormatSettings::Invariant());
    const double r = StrToFloat(ToText(aRight), TFormatSettings::Invariant());
    return l < r ? -1 : l > r ? 1 : 0;
  }
};

TEST(VariantTest, BcdGoesThroughTheInstalledHandler) {
  TBcd record;
  ASSERT_TRUE(TextBcd::FromText(u"12.5", record));
  const TqdVariant bcd = TqdVariant::FromBcd(record);
  qdSetVariantBcdHandler(nullptr);  // the engine's decimal unit installs its own at start-up
  EXPECT_THROW((void)bcd.AsString(ja()), EVariantTypeCastError) << "no handler installed";

  static const TqdVariantBcdHandler handler{TextBcd::ToText, TextBcd::FromText, TextBcd::Compare};
  qdSetVariantBcdHandler(&handler);
  struct Uninstall {
    ~Uninstall() { qdSetVariantBcdHandler(nullptr); }
  } uninstall;

  TFormatSettings comma = ja();
  comma.DecimalSeparator = u',';
  EXPECT_EQ(bcd.AsString(ja()), u"12.5");
  EXPECT_EQ(bcd.AsString(comma), u"12,5");
  EXPECT_EQ(bcd.AsDouble(comma), 12.5);
  EXPECT_EQ(bcd.AsInteger(ja()), 12);
  EXPECT_EQ(bcd.AsCurrency(ja()).Raw, 125000);
  EXPECT_TRUE(bcd.AsBoolean(ja()));
  EXPECT_EQ(TextBcd::ToText(TqdVariant(1.25).AsBcd(comma)), u"1.25") << "numbers reach the handler with a point";
  EXPECT_EQ(TextBcd::ToText(TqdVariant(u"3,5").AsBcd(comma)), u"3.5");
  EXPECT_THROW((void)TqdVariant(u"abc").AsBcd(ja()), EVariantTypeCastError);
  EXPECT_THROW((void)TqdVariant::Null().AsBcd(ja()), EVariantTypeCastError);
  EXPECT_TRUE(VarAsType(bcd, varFmtBcd).IsIdentical(bcd));
  EXPECT_EQ(VarCompareValue(bcd, 13, ja()), vrLessThan);
  EXPECT_EQ(VarCompareValue(12.5, bcd, ja()), vrEqual);
}

}  // namespace
}  // namespace qd
