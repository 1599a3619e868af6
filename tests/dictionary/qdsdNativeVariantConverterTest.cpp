// The native converter: field bytes to and from Variants for every field
// type, the refusals, code pages, and the field and record accessors built
// on it.
#include "dictionary/qdsdNativeVariantConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFmtBcd.h"
#include "platform/qdProcessProfile.h"
#include "tests/dictionary/qdsdDictionaryTestSupport.h"

namespace qd {
namespace {

using test::Bytes;
using test::u8;

Bytes hexBytes(std::string_view aHex) {
  Bytes result;
  std::string digits;
  for (char c : aHex)
    if (c != ' ') digits.push_back(c);
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    result.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return result;
}

std::string hexOf(const Bytes& aBytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : aBytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

// The field image a value writes; the bytes start as 0xEE so that nothing
// left unwritten goes unseen.
Bytes native(TqdFieldType aType, int32_t aUnits, int32_t aDecimals, int32_t aLength, const TqdVariant& aValue,
             uint16_t aCodePage = 0, bool aAllowTruncate = false) {
  Bytes field(static_cast<size_t>(aLength), 0xEE);
  qdVariantToNativeFmt(FormatSettings(), aType, aCodePage, aUnits, aDecimals, aValue, field.data(), aLength,
                       aAllowTruncate);
  return field;
}

Bytes image(TqdFieldType aType, int32_t aUnits, int32_t aDecimals, const TqdVariant& aValue, uint16_t aCodePage = 0) {
  Bytes bytes{0xEE};
  qdVariantToBytes(aType, aCodePage, aUnits, aDecimals, aValue, bytes);
  return bytes;
}

TqdVariant read(TqdFieldType aType, int32_t aUnits, int32_t aDecimals, const Bytes& aBytes, uint16_t aCodePage = 0) {
  return qdNativeToVariant(aType, aCodePage, aUnits, aDecimals, aBytes.data(), static_cast<int32_t>(aBytes.size()));
}

// The text of whatever the action raises; "" when it raises nothing.
std::string raised(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const EqdBaseException& e) {
    return u8(e.ProcessedErrorString());
  } catch (const Exception& e) {
    return u8(e.Message());
  }
  return "";
}

TBcd bcdOf(std::string_view aText) {
  TBcd value;
  qdAnsiStrToBcdSep(aText, '.', value);
  return value;
}

std::string describe(const TqdVariant& aValue) {
  return u8(VarTypeAsText(aValue.VarType())) + " " + (aValue.IsArray() ? "array" : u8(VarToStr(aValue)));
}

// ---- Round trips over every type ---------------------------------------------------

struct RoundTripCase {
  const char* name;
  TqdFieldType type;
  int32_t units, decimals, length;
  TqdVariant value;
  const char* nativeHex;
  TqdVariant readBack;  // kind and value, bit for bit
};

std::vector<RoundTripCase> roundTripCases() {
  const TqdVariant guid = u"{01234567-89AB-CDEF-0123-456789ABCDEF}";
  return {
      {"Boolean", qdtBoolean, 0, 0, 1, true, "01", true},
      {"Char", qdtChar, 1, 0, 1, u"A", "41", u"A"},
      {"WideChar", qdtWideChar, 1, 0, 2, u"\u3042", "4230", u"\u3042"},
      {"Byte", qdtByte, 3, 0, 1, 200, "C8", int32_t{200}},
      {"Word16", qdtWord16, 5, 0, 2, 65535, "FFFF", int32_t{65535}},
      {"Word32", qdtWord32, 10, 0, 4, int64_t{4294967295}, "FFFFFFFF", 4294967295.0},
      {"Word32Small", qdtWord32, 10, 0, 4, 7, "07000000", int32_t{7}},
      {"Int8", qdtInt8, 3, 0, 1, -128, "80", int32_t{-128}},
      {"Int16", qdtInt16, 5, 0, 2, -2, "FEFF", int32_t{-2}},
      {"Int32", qdtInt32, 10, 0, 4, -1, "FFFFFFFF", int32_t{-1}},
      {"Int64", qdtInt64, 20, 0, 8, int64_t{-2}, "FEFFFFFFFFFFFFFF", int64_t{-2}},
      {"AutoInc", qdtAutoInc, 10, 0, 4, 9, "09000000", int32_t{9}},
      {"Single", qdtSingle, 0, 0, 4, 1.5, "0000C03F", 1.5},
      {"Double", qdtDouble, 0, 0, 8, 0.1, "9A9999999999B93F", 0.1},
      {"Extended", qdtExtended, 0, 0, 10, -1.0, "0000000000000080FFBF", -1.0},
      {"ExtendedInt64", qdtExtended, 0, 0, 10, int64_t{3}, "00000000000000C00040", 3.0},
      {"Currency", qdtCurrency, 20, 4, 8, TqdCurrency::FromRaw(123456), "40E2010000000000",
       TqdCurrency::FromRaw(123456)},
      {"Date", qdtDate, 0, 0, 4, TqdVariant::FromDate(45292), "46460B00", TqdVariant::FromDate(45292)},
      {"Time", qdtTime, 0, 0, 4, TqdVariant::FromDate(0.5), "002E9302", TqdVariant::FromDate(0.5)},
      {"DateTime", qdtDateTime, 0, 0, 8, TqdVariant::FromDate(45292.5), "00002B1CEE07CD42",
       TqdVariant::FromDate(45292.5)},
      {"ByteArray", qdtByteArray, 4, 0, 4, TqdVariant::FromBytes({1, 2, 3}), "01020300",
       TqdVariant::FromBytes({1, 2, 3, 0})},
      {"ShortString", qdtShortString, 5, 0, 6, u"abc", "036162630000", u"abc"},
      {"NullString", qdtNullString, 5, 0, 6, u"abc", "616263000000", u"abc"},
      {"BlobMemo", qdtBlobMemo, 0, 0, 4, u"ab", "61620000", u"ab"},
      {"WideString", qdtWideString, 3, 0, 8, u"ab", "6100620000000000", u"ab"},
      {"BlobWideMemo", qdtBlobWideMemo, 0, 0, 6, u"a", "610000000000", u"a"},
      {"RecRev", qdtRecRev, 10, 0, 4, int64_t{0x80000000}, "00000080", 2147483648.0},
      {"Guid", qdtGuid, 0, 0, 16, guid, "67452301AB89EFCD0123456789ABCDEF", guid},
      {"BCD", qdtBCD, 10, 2, 8, 12.34, "08E2010000000000", TqdCurrency::FromRaw(123400)},
      {"FmtBCD", qdtFmtBCD, 5, 2, 5, TqdVariant::FromBcd(bcdOf("123.45")), "0502123450",
       TqdVariant::FromBcd(bcdOf("123.45"))},
      {"RefNr", qdtRefNr, 20, 0, 8, int64_t{1} << 40, "0000000000010000", int64_t{1} << 40},
  };
}

TEST(NativeConverterTest, EveryTypeWritesItsNativeBytesAndReadsBack) {
  for (const RoundTripCase& c : roundTripCases()) {
    SCOPED_TRACE(c.name);
    const Bytes field = native(c.type, c.units, c.decimals, c.length, c.value);
    EXPECT_EQ(hexOf(field), c.nativeHex);
    const TqdVariant back = read(c.type, c.units, c.decimals, field);
    EXPECT_TRUE(back.IsIdentical(c.readBack)) << describe(back) << " / expected " << describe(c.readBack);
  }
}

TEST(NativeConverterTest, ByteImagesOfFixedTypesMatchTheNativeBytes) {
  for (const RoundTripCase& c : roundTripCases()) {
    SCOPED_TRACE(c.name);
    switch (c.type) {
      case qdtBoolean:  // FF for True, below
      case qdtByteArray:
      case qdtShortString:
      case qdtNullString:
      case qdtBlobMemo:
      case qdtWideString:
      case qdtBlobWideMemo:
        continue;
      default:
        EXPECT_EQ(hexOf(image(c.type, c.units, c.decimals, c.value)), c.nativeHex);
    }
  }
}

TEST(NativeConverterTest, BlobAndIntervalHaveNoNativeForm) {
  uint8_t field[8] = {};
  EXPECT_THROW(qdVariantToNative(qdtInterval, 0, 0, 0, 1, field, 8), EAssertionFailed);
  EXPECT_THROW(qdVariantToNative(qdtBlob, 0, 0, 0, 1, field, 8), EAssertionFailed);
  EXPECT_THROW(qdNativeToVariant(qdtInterval, 0, 0, 0, field, 8), EAssertionFailed);
  EXPECT_THROW(qdNativeToVariant(static_cast<TqdFieldType>(40), 0, 0, 0, field, 8), EAssertionFailed);
  // Reading uses the low 7 bits of the type.
  EXPECT_TRUE(qdNativeToVariant(static_cast<TqdFieldType>(0x80 | qdtInt32), 0, 0, 0, field, 8).IsIdentical(0));

  Bytes bytes{1, 2};
  qdVariantToBytes(qdtBlob, 0, 0, 0, 5, bytes);
  EXPECT_EQ(bytes, (Bytes{1, 2})) << "a BLOB's image is left as it was";
  EXPECT_THROW(qdVariantToBytes(qdtBlobGraphic, 0, 0, 0, 5, bytes), EAssertionFailed);
  EXPECT_TRUE(bytes.empty());
}

// ---- Refusals ---------------------------------------------------------------------------

struct RefusalCase {
  const char* name;
  TqdFieldType type;
  int32_t units, decimals, length;
  TqdVariant value;
  const char* message;
};

TEST(NativeConverterTest, RefusalsRaiseTheirTexts) {
  const RefusalCase cases[] = {
      {"NullStringTooWide", qdtNullString, 10, 0, 11, u"abcdefghijkl",
       "Source string data is too wide (12) for the target field (10)"},
      {"AnsiNullStringTooWide", qdtNullString, 2, 0, 3, TqdVariant::FromAnsi("ab   "),
       "Source string data is too wide (5) for the target field (2)"},
      {"ShortStringTooWide", qdtShortString, 3, 0, 4, TqdVariant::FromAnsi("abcd"),
       "Source string data is too wide (4) for the target field (3)"},
      {"WideStringTooWide", qdtWideString, 2, 0, 6, u"abc",
       "Source string data is too wide (6) for the target field (4)"},
      {"ByteArrayTooWide", qdtByteArray, 2, 0, 2, TqdVariant::FromBytes({1, 2, 3}),
       "Source string data is too wide (3) for the target field (2)"},
      {"Int8High", qdtInt8, 3, 0, 1, 128, "Value out of range for the target column type: 128"},
      {"Int8Low", qdtInt8, 3, 0, 1, -129, "Value out of range for the target column type: -129"},
      {"ByteNegative", qdtByte, 3, 0, 1, -1, "Value out of range for the target column type: -1"},
      {"Word16High", qdtWord16, 5, 0, 2, 65536, "Value out of range for the target column type: 65536"},
      {"Int16High", qdtInt16, 5, 0, 2, 32768, "Value out of range for the target column type: 32768"},
      {"Word32Negative", qdtWord32, 10, 0, 4, -1, "Value out of range for the target column type: -1"},
      {"Word32High", qdtWord32, 10, 0, 4, int64_t{4294967296},
       "Value out of range for the target column type: 4294967296"},
      {"Int32High", qdtInt32, 10, 0, 4, int64_t{2147483648},
       "Value out of range for the target column type: 2147483648"},
      {"Int16FromBcd", qdtInt16, 5, 0, 2, TqdVariant::FromBcd(bcdOf("40000")),
       "Value out of range for the target column type: 40000"},
      {"DateTimeZero", qdtDateTime, 0, 0, 8, 0, "0 (zero) is not a valid timestamp"},
      {"DateTimeZeroDouble", qdtDateTime, 0, 0, 8, 0.0, "0 (zero) is not a valid timestamp"},
      {"CharTwo", qdtChar, 1, 0, 1, u"ab", "Invalid char format (length must be exactly 1)"},
      {"CharDouble", qdtChar, 1, 0, 1, 1.0, "Invalid char format (length must be exactly 1)"},
      {"WideCharEmpty", qdtWideChar, 1, 0, 2, u"", "Invalid char format (length must be exactly 1)"},
      {"Guid", qdtGuid, 0, 0, 16, u"{0123}", "'{0123}' is not a valid GUID value"},
      {"GuidNoBraces", qdtGuid, 0, 0, 16, u"01234567-89AB-CDEF-0123-456789ABCDEFxx",
       "'01234567-89AB-CDEF-0123-456789ABCDEFxx' is not a valid GUID value"},
      {"BcdPrecision", qdtBCD, 3, 2, 8, 10, "BCD overflow"},
      {"FmtBcdPrecision", qdtFmtBCD, 3, 1, 4, 100, "BCD overflow"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes field(static_cast<size_t>(c.length), 0);
    EXPECT_EQ(raised([&] { qdVariantToNative(c.type, 0, c.units, c.decimals, c.value, field.data(), c.length); }),
              c.message);
  }
}

TEST(NativeConverterTest, BcdFractionIntoAnIntegerFailsAsAConversion) {
  Bytes field(8);
  for (TqdFieldType type : {qdtInt16, qdtInt64, qdtAutoInc}) {
    EXPECT_THROW(qdVariantToNative(type, 0, 0, 0, TqdVariant::FromBcd(bcdOf("1.5")), field.data(), 8), EConvertError)
        << int(type);
  }
  EXPECT_EQ(hexOf(native(qdtInt64, 20, 0, 8, TqdVariant::FromBcd(bcdOf("-12.000")))), "F4FFFFFFFFFFFFFF");
}

// ---- Integers and floats -------------------------------------------------------------------

TEST(NativeConverterTest, FloatsIntoIntegersAreTruncatedTowardZero) {
  const struct {
    TqdFieldType type;
    TqdVariant value;
    const char* hex;
  } cases[] = {
      {qdtInt16, 2.9, "0200"},     {qdtInt16, -2.9, "FEFF"},
      {qdtInt8, 127.9, "7F"},      {qdtByte, TqdCurrency::FromRaw(2999), "00"},
      {qdtInt32, 2.5, "02000000"}, {qdtWord32, u"7", "07000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(c.value));
    const int32_t length = c.type == qdtInt16 ? 2 : c.type == qdtInt8 || c.type == qdtByte ? 1 : 4;
    EXPECT_EQ(hexOf(native(c.type, 0, 0, length, c.value)), c.hex);
  }
  Bytes field(4);
  EXPECT_THROW(qdVariantToNative(qdtInt32, 0, 0, 0, std::nan(""), field.data(), 4), EVariantTypeCastError);
  EXPECT_THROW(qdVariantToNative(qdtInt32, 0, 0, 0, 1e300, field.data(), 4), EVariantOverflowError);
}

TEST(NativeConverterTest, VariantToInt64TruncatesFloatsDatesAndCurrency) {
  EXPECT_EQ(qdVariantToInt64(2.9), 2);
  EXPECT_EQ(qdVariantToInt64(-2.9), -2);
  EXPECT_EQ(qdVariantToInt64(float(-7.5)), -7);
  EXPECT_EQ(qdVariantToInt64(TqdVariant::FromDate(45292.99)), 45292);
  EXPECT_EQ(qdVariantToInt64(TqdCurrency::FromRaw(-29999)), -2);
  EXPECT_EQ(qdVariantToInt64(INT64_MIN), INT64_MIN);
  EXPECT_EQ(qdVariantToInt64(u"42"), 42);
  EXPECT_THROW(qdVariantToInt64(std::numeric_limits<double>::infinity()), EVariantOverflowError);
}

TEST(NativeConverterTest, RangeChecksAnswerOrRaise) {
  const struct {
    bool (*check)(bool, int64_t);
    int64_t low, high;
  } cases[] = {
      {qdCheckRangeByte, 0, 255},    {qdCheckRangeWord16, 0, 65535},     {qdCheckRangeWord32, 0, 4294967295},
      {qdCheckRangeInt8, -128, 127}, {qdCheckRangeInt16, -32768, 32767}, {qdCheckRangeInt32, INT32_MIN, INT32_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.high);
    EXPECT_TRUE(c.check(true, c.low));
    EXPECT_TRUE(c.check(true, c.high));
    EXPECT_FALSE(c.check(false, c.low - 1));
    EXPECT_FALSE(c.check(false, c.high + 1));
    EXPECT_EQ(raised([&] { c.check(true, c.high + 1); }),
              "Value out of range for the target column type: " + std::to_string(c.high + 1));
  }
}

TEST(NativeConverterTest, FloatsFromBcdTextAndOtherValues) {
  EXPECT_EQ(hexOf(native(qdtDouble, 0, 0, 8, TqdVariant::FromBcd(bcdOf("0.1")))), "9A9999999999B93F");
  EXPECT_EQ(hexOf(native(qdtExtended, 0, 0, 10, TqdVariant::FromBcd(bcdOf("-1")))), "0000000000000080FFBF");
  EXPECT_EQ(hexOf(native(qdtSingle, 0, 0, 4, u"1.5")), "0000C03F");
  EXPECT_THROW(native(qdtDouble, 0, 0, 8, true), EConvertError) << "True is no float text";
  EXPECT_THROW(native(qdtSingle, 0, 0, 4, 1e300), EVariantOverflowError);
}

TEST(NativeConverterTest, BooleanNativeIsOneAndImageIsFF) {
  EXPECT_EQ(hexOf(native(qdtBoolean, 0, 0, 1, true)), "01");
  EXPECT_EQ(hexOf(image(qdtBoolean, 0, 0, true)), "FF");
  EXPECT_EQ(hexOf(native(qdtBoolean, 0, 0, 1, false)), "00");
  EXPECT_TRUE(read(qdtBoolean, 0, 0, hexBytes("01")).IsIdentical(true));
  EXPECT_TRUE(read(qdtBoolean, 0, 0, hexBytes("FF")).IsIdentical(true));
  // A BCD value stores its comparison with zero.
  EXPECT_EQ(hexOf(native(qdtBoolean, 0, 0, 1, TqdVariant::FromBcd(bcdOf("-3.5")))), "FF");
  EXPECT_EQ(hexOf(native(qdtBoolean, 0, 0, 1, TqdVariant::FromBcd(bcdOf("0")))), "00");
}

TEST(NativeConverterTest, ImagesSkipRangeChecks) {
  EXPECT_EQ(hexOf(image(qdtInt8, 0, 0, 128)), "80");
  EXPECT_EQ(hexOf(image(qdtByte, 0, 0, 511)), "FF");
  EXPECT_EQ(hexOf(image(qdtWord16, 0, 0, 65537)), "0100");
  EXPECT_EQ(hexOf(image(qdtWord32, 0, 0, int64_t{0x100000002})), "02000000");
  EXPECT_EQ(hexOf(image(qdtInt32, 0, 0, uint32_t{0xFFFFFFFF})), "FFFFFFFF");
}

// ---- Dates and times ------------------------------------------------------------------------

TEST(NativeConverterTest, DatesAndTimesReadFromTheirDayAndMillisecondCounts) {
  EXPECT_TRUE(read(qdtDate, 0, 0, hexBytes("5A950A00")).IsIdentical(TqdVariant::FromDate(0))) << "693594";
  EXPECT_TRUE(read(qdtDate, 0, 0, hexBytes("01000000")).IsIdentical(TqdVariant::FromDate(kMinDateTime)));
  EXPECT_TRUE(read(qdtTime, 0, 0, hexBytes("002E9302")).IsIdentical(TqdVariant::FromDate(0.5)));
  // A DateTime of 1899-12-30 is stored, only a number 0 is refused.
  EXPECT_EQ(hexOf(native(qdtDateTime, 0, 0, 8, TqdVariant::FromDate(0))), "00002C845D40CB42");
  // Milliseconds are rounded to a whole number when read.
  Bytes stored(8);
  const double msecs = 738886.0 * 86400000 + 43200000 + 0.4;
  std::memcpy(stored.data(), &msecs, 8);
  EXPECT_TRUE(read(qdtDateTime, 0, 0, stored).IsIdentical(TqdVariant::FromDate(45292.5)));
  const double bad = std::nan("");
  std::memcpy(stored.data(), &bad, 8);
  EXPECT_THROW(read(qdtDateTime, 0, 0, stored), EConvertError);
}

TEST(NativeConverterTest, DateTextsParseWithTheSettingsOrAsIsoLiterals) {
  const TFormatSettings us = TFormatSettings::Create(1033);
  Bytes field(4);
  qdVariantToNativeFmt(us, qdtDate, 0, 0, 0, u"1/2/2024", field.data(), 4, false);
  EXPECT_TRUE(read(qdtDate, 0, 0, field).IsIdentical(TqdVariant::FromDate(EncodeDate(2024, 1, 2))));
  qdVariantToNativeFmt(us, qdtTime, 0, 0, 0, u"12:00:00", field.data(), 4, false);
  EXPECT_EQ(hexOf(field), "002E9302");
  // Byte images take ISO literals only.
  EXPECT_TRUE(read(qdtDate, 0, 0, image(qdtDate, 0, 0, u"2024-01-02"))
                  .IsIdentical(TqdVariant::FromDate(EncodeDate(2024, 1, 2))));
  EXPECT_EQ(hexOf(image(qdtTime, 0, 0, u"12:00:00.000")), "002E9302");
  EXPECT_TRUE(read(qdtDateTime, 0, 0, image(qdtDateTime, 0, 0, u"2024-01-01 12:00:00"))
                  .IsIdentical(TqdVariant::FromDate(45292.5)));
  EXPECT_THROW(image(qdtDate, 0, 0, u"1/2/2024"), EConvertError);
  EXPECT_EQ(raised([] { image(qdtDateTime, 0, 0, 0); }), "0 (zero) is not a valid timestamp");
}

// ---- Texts ----------------------------------------------------------------------------------

TEST(NativeConverterTest, NullStringWidthsBlanksAndTruncation) {
  // Allowed truncation keeps the capacity and the terminator.
  EXPECT_EQ(native(qdtNullString, 10, 0, 11, u"abcdefghijkl", 0, true), hexBytes("6162636465666768696A00"));
  EXPECT_EQ(native(qdtNullString, 10, 0, 11, TqdVariant::FromAnsi("abcdefghijkl"), 0, true),
            hexBytes("6162636465666768696A00"));
  // Fixed length: trailing blanks go when written and come back when read.
  const Bytes fixed = native(qdtNullString, 10, 10, 11, u"abc  ");
  EXPECT_EQ(fixed, hexBytes("6162630000000000000000"));
  EXPECT_TRUE(read(qdtNullString, 10, 10, fixed).IsIdentical(u"abc       "));
  EXPECT_TRUE(read(qdtNullString, 10, 0, fixed).IsIdentical(u"abc"));
  // An OLE string loses the blanks beyond the capacity; an ANSI string does not.
  EXPECT_EQ(native(qdtNullString, 2, 0, 3, u"ab   "), hexBytes("616200"));
  EXPECT_EQ(raised([] { native(qdtNullString, 2, 0, 3, u"a b  c"); }),
            "Source string data is too wide (6) for the target field (2)");
  // A byte array is ANSI text; other values their text.
  EXPECT_EQ(native(qdtNullString, 4, 0, 5, TqdVariant::FromBytes({'x', 'y'})), hexBytes("7879000000"));
  EXPECT_EQ(native(qdtNullString, 4, 0, 5, 42), hexBytes("3432000000"));
}

TEST(NativeConverterTest, ShortAndWideStringWrites) {
  EXPECT_EQ(native(qdtShortString, 4, 4, 5, u"ab  "), hexBytes("0261620000"));
  EXPECT_TRUE(read(qdtShortString, 4, 4, hexBytes("0261620000")).IsIdentical(u"ab  "));
  // Blanks go only until the text is shorter than the field's length.
  EXPECT_EQ(native(qdtShortString, 3, 0, 4, u"ab    "), hexBytes("03616220"));
  EXPECT_EQ(native(qdtShortString, 3, 0, 4, TqdVariant::FromAnsi("abcdef"), 0, true), hexBytes("03616263"));
  EXPECT_EQ(native(qdtShortString, 3, 3, 4, u"abcdef", 0, true), hexBytes("03616263"));
  EXPECT_EQ(raised([] { native(qdtShortString, 3, 3, 4, u"abcdef"); }),
            "Source string data is too wide (6) for the target field (3)");
  EXPECT_EQ(native(qdtWideString, 3, 0, 8, u"ab    "), hexBytes("6100620020000000"));
  EXPECT_EQ(native(qdtWideString, 3, 3, 8, u"ab "), hexBytes("6100620000000000"));
  EXPECT_TRUE(read(qdtWideString, 3, 3, hexBytes("6100620000000000")).IsIdentical(u"ab "));
  EXPECT_EQ(native(qdtWideString, 2, 0, 6, u"abc", 0, true), hexBytes("610062000000"));
}

TEST(NativeConverterTest, ReadsStopAtTheFieldWhateverTheBytesClaim) {
  // Guard bytes behind the field: a reader that passes the length sees them.
  const Bytes unterminated = hexBytes("616263 78797A");
  EXPECT_TRUE(qdNativeToVariant(qdtNullString, 0, 0, 0, unterminated.data(), 3).IsIdentical(u"abc"));
  EXPECT_TRUE(qdNativeToVariant(qdtNullString, 1252, 0, 0, unterminated.data(), 3).IsIdentical(u"abc"));
  const Bytes shortString = hexBytes("C8 616263 78797A");
  EXPECT_TRUE(qdNativeToVariant(qdtShortString, 0, 0, 0, shortString.data(), 3).IsIdentical(u"ab"));
  EXPECT_TRUE(qdNativeToVariant(qdtShortString, 0, 0, 0, shortString.data(), 1).IsIdentical(u""));
  EXPECT_TRUE(qdNativeToVariant(qdtShortString, 0, 0, 0, shortString.data(), 0).IsIdentical(u""));
  const Bytes wide = hexBytes("6100 6200 7800 0000");
  EXPECT_TRUE(qdNativeToVariant(qdtWideString, 0, 0, 0, wide.data(), 4).IsIdentical(u"ab"));
  const Bytes bcd = hexBytes("0502123450");
  EXPECT_TRUE(qdNativeToVariant(qdtFmtBCD, 0, 5, 2, bcd.data(), 5).IsIdentical(TqdVariant::FromBcd(bcdOf("123.45"))));
}

TEST(NativeConverterTest, JapaneseTextThroughCodePage932) {
  const qdString text = u"\u65E5\u672C\u8A9E\u30C6\u30AD\u30B9\u30C8";  // 7 characters, 14 bytes
  for (uint16_t codePage : {uint16_t{932}, uint16_t{0}}) {
    SCOPED_TRACE(codePage);
    const Bytes field = native(qdtNullString, 20, 0, 21, text, codePage);
    EXPECT_EQ(field[14], 0);
    EXPECT_EQ(Bytes(field.begin() + 14, field.end()), Bytes(7, 0)) << "zero after the text";
    EXPECT_EQ(field[0], 0x93) << "the first byte of the double-byte character";
    EXPECT_TRUE(read(qdtNullString, 20, 0, field, codePage).IsIdentical(text));
    const Bytes shortField = native(qdtShortString, 20, 0, 21, text, codePage);
    EXPECT_EQ(shortField[0], 14);
    EXPECT_TRUE(read(qdtShortString, 20, 0, shortField, codePage).IsIdentical(text));
  }
  // Seven characters fit ten characters but not ten bytes.
  EXPECT_EQ(raised([&] { native(qdtNullString, 10, 0, 11, text, 932); }),
            "Source string data is too wide for the target field (10)");
  EXPECT_EQ(raised([&] { native(qdtShortString, 10, 0, 11, text, 932, true); }),
            "Source string data is too wide for the target field (10)");
  // A character of two bytes is no Char.
  EXPECT_EQ(raised([] { native(qdtChar, 1, 0, 1, u"\u65E5", 932); }), "Invalid char format (length must be exactly 1)");
  EXPECT_EQ(native(qdtChar, 1, 0, 1, u"\uFF71", 932), hexBytes("B1")) << "half-width katakana is one byte";
  EXPECT_TRUE(read(qdtChar, 1, 0, hexBytes("B1"), 932).IsIdentical(u"\uFF71"));
  EXPECT_TRUE(read(qdtChar, 1, 0, hexBytes("B1"), 0).IsIdentical(u"\u00B1")) << "code page 0 maps the byte's code";
  // Undecodable bytes are replaced, not refused.
  EXPECT_TRUE(read(qdtNullString, 2, 0, hexBytes("8100"), 932).IsIdentical(u"\u30FB"));
}

TEST(NativeConverterTest, CodePageZeroFollowsTheProcessProfile) {
  TqdScopedProcessProfile profile(1033, 1252);
  for (int32_t decimals : {0, 4}) {
    SCOPED_TRACE(decimals);
    const Bytes field = native(qdtNullString, 4, decimals, 5, u"\u00E9t\u00E9");
    EXPECT_EQ(field, hexBytes("E974E90000"));
    EXPECT_TRUE(read(qdtNullString, 4, 0, field).IsIdentical(u"\u00E9t\u00E9"));
    const Bytes shortField = native(qdtShortString, 4, decimals, 5, u"\u00E9t\u00E9");
    EXPECT_EQ(shortField, hexBytes("03E974E900"));
  }
  EXPECT_EQ(native(qdtChar, 1, 0, 1, u"\u00E9"), hexBytes("E9"));
}

TEST(NativeConverterTest, CharFromCodePageZero) {
  EXPECT_EQ(native(qdtChar, 1, 0, 1, 65), hexBytes("41"));
  EXPECT_EQ(native(qdtChar, 1, 0, 1, TqdVariant::FromAnsi("z")), hexBytes("7A"));
  EXPECT_EQ(raised([] { native(qdtChar, 1, 0, 1, 256); }), "Invalid char format (length must be exactly 1)");
  EXPECT_TRUE(read(qdtChar, 1, 0, hexBytes("00")).IsIdentical(qdString(1, u'\0')));
}

TEST(NativeConverterTest, TextImagesAreSelfSized) {
  EXPECT_TRUE(image(qdtInt32, 0, 0, TqdVariant::Null()).empty());
  EXPECT_EQ(image(qdtNullString, 0, 0, u""), Bytes{0});
  EXPECT_EQ(image(qdtNullString, 0, 0, u"abc"), hexBytes("61626300"));
  EXPECT_EQ(image(qdtNullString, 5, 5, u"ab  "), hexBytes("616200"));
  EXPECT_EQ(image(qdtShortString, 0, 0, u"ab"), hexBytes("026162"));
  EXPECT_EQ(image(qdtWideString, 0, 0, u"ab"), hexBytes("610062000000"));
  EXPECT_EQ(image(qdtByteArray, 0, 0, TqdVariant::FromBytes({9, 8, 7})), hexBytes("090807"));
  EXPECT_TRUE(image(qdtByteArray, 0, 0, 5).empty());
  EXPECT_EQ(image(qdtNullString, 0, 0, u"\u65E5", 932), hexBytes("93FA00"));
  EXPECT_EQ(raised([] { image(qdtShortString, 0, 0, TqdVariant::FromAnsi(std::string(300, 'x'))); }),
            "Source string data is too wide (300) for the target field (255)");
  EXPECT_EQ(image(qdtShortString, 0, 0, TqdVariant::FromAnsi(std::string(255, 'x'))).size(), 256u);
  // Empty converts like any value.
  EXPECT_EQ(image(qdtInt32, 0, 0, TqdVariant()), hexBytes("00000000"));
}

// ---- Decimals ----------------------------------------------------------------------------------

TEST(NativeConverterTest, DecimalFields) {
  // FmtBCD keeps the first decimals, without rounding.
  EXPECT_EQ(native(qdtFmtBCD, 5, 2, 5, TqdVariant::FromBcd(bcdOf("1.2399"))), hexBytes("0502001230"));
  EXPECT_EQ(image(qdtFmtBCD, 5, 2, TqdVariant::FromBcd(bcdOf("1.2399"))), hexBytes("0502001230"));
  // BCD: currency of the field's scale, cut toward zero; text through a float.
  EXPECT_EQ(hexOf(native(qdtBCD, 10, 2, 8, u"1.239")), "0C30000000000000");
  EXPECT_EQ(hexOf(native(qdtBCD, 10, 2, 8, TqdVariant::FromBcd(bcdOf("1.23456")))), "3A30000000000000")
      << "a BCD value is rounded to four decimals without the precision check";
  EXPECT_EQ(hexOf(native(qdtCurrency, 20, 4, 8, TqdVariant::FromBcd(bcdOf("922337203685477.5807")))),
            "FFFFFFFFFFFFFF7F");
  EXPECT_EQ(raised([] { native(qdtCurrency, 20, 4, 8, TqdVariant::FromBcd(bcdOf("922337203685477.5808"))); }),
            "BCD overflow");
}

TEST(NativeConverterTest, BytesToStringPacksTwoBytesToACharacter) {
  EXPECT_EQ(qdVariantBytesToString(TqdVariant::FromBytes({0x41, 0x42, 0x43})), (qdString{u'\u4241', u'C', 0}));
  EXPECT_EQ(qdVariantBytesToString(TqdVariant::FromBytes({})), u"");
  EXPECT_EQ(qdVariantBytesToString(12), u"12");
  EXPECT_TRUE(qdVarIsEmptyOrNull(TqdVariant()));
  EXPECT_TRUE(qdVarIsEmptyOrNull(TqdVariant::Null()));
  EXPECT_FALSE(qdVarIsEmptyOrNull(u""));
}

// ---- Field and record accessors --------------------------------------------------------------------

class FieldVariantsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fields()->AddField(u"Id", u"", qdtInt32, 0, 0, false);
    Fields()->AddField(u"Title", u"", qdtNullString, 10, 0, false);
    Fields()->AddField(u"Done", u"", qdtBoolean, 0, 0, false);
    record.assign(static_cast<size_t>(Fields()->RecordLength()), 0);
    Fields()->InitRecord(record.data());
  }
  TqdFieldsDescriptor* Fields() { return dictionary.FieldsDescriptor(); }

  TqdDataDictionary dictionary;
  Bytes record;
};

TEST_F(FieldVariantsTest, SetAndGetByIndexAndName) {
  Fields()->fsdSetFieldByIndexAsVariant(record.data(), 0, 7);
  Fields()->fsdSetFieldByNameAsVariant(record.data(), u"TITLE", u"abc");
  EXPECT_TRUE(Fields()->fsdGetFieldByIndexAsVariant(record.data(), 0).IsIdentical(int32_t{7}));
  EXPECT_TRUE(Fields()->fsdGetFieldByNameAsVariant(record.data(), u"title").IsIdentical(u"abc"));
  EXPECT_FALSE(Fields()->IsRecordFieldNull(1, record.data()));
  EXPECT_TRUE(Fields()->fsdGetFieldByIndexAsVariant(record.data(), 2).IsNull());
  EXPECT_TRUE(Fields()->fsdGetFieldByIndexAsVariant(nullptr, 0).IsNull());
  EXPECT_EQ(u8(Fields()->RecordBufferToString(record.data())), "Id: 7\r\nTitle: abc\r\nDone: <?>\r\n");

  Fields()->fsdSetFieldByIndexAsVariant(record.data(), 1, TqdVariant());
  EXPECT_TRUE(Fields()->IsRecordFieldNull(1, record.data()));
  EXPECT_EQ(Bytes(record.begin() + 4, record.begin() + 15), Bytes(11, 0));
}

TEST_F(FieldVariantsTest, BadIndexesAndFailedConversions) {
  EXPECT_ENGINE_ERROR(Fields()->fsdGetFieldByNameAsVariant(record.data(), u"Nope"), qdeInvalidDescNum,
                      "Index out of bounds: -1");
  EXPECT_ENGINE_ERROR(Fields()->fsdSetFieldByIndexAsVariant(record.data(), 3, 1), qdeInvalidDescNum,
                      "Index out of bounds: 3");
  const Bytes before = record;
  EXPECT_ENGINE_ERROR(Fields()->fsdSetFieldByIndexAsVariant(record.data(), 5, TqdVariant::Null()), qdeInvalidDescNum,
                      "");
  EXPECT_EQ(record, before) << "nothing touched before the index check";

  // A failed conversion leaves the field zero-filled.
  Fields()->fsdSetFieldByIndexAsVariant(record.data(), 1, u"abc");
  EXPECT_EQ(raised([&] { Fields()->fsdSetFieldByIndexAsVariant(record.data(), 1, u"abcdefghijkl"); }),
            "Source string data is too wide (12) for the target field (10)");
  EXPECT_EQ(Bytes(record.begin() + 4, record.begin() + 15), Bytes(11, 0));

  TqdFieldDescriptor* id = Fields()->FieldDescriptor(0);
  uint8_t buffer[4] = {1, 2, 3, 4};
  EXPECT_THROW(id->fdSetBufferAsVariant(buffer, u"x"), EVariantTypeCastError);
  EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(4, 0));
  EXPECT_TRUE(id->fdGetBufferAsVariant(nullptr).IsNull());
}

}  // namespace
}  // namespace qd
