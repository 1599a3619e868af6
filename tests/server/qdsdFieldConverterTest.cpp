// The numeric converters, table-driven: each case runs one value through the
// routine chosen for best fit and the one chosen otherwise.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "dictionary/qdsdFmtBcd.h"
#include "platform/qdProcessProfile.h"
#include "tests/server/qdsdFieldConverterTestSupport.h"

namespace qd {
namespace {

using namespace test;

struct TqdExpect {
  TqdResult Code;
  Image Bytes;  // a prefix of the target; empty: not compared
};
TqdExpect is(Image aBytes) { return {0, std::move(aBytes)}; }
const TqdExpect kFails{qdeInvalidFieldXform, {}};

struct TqdCase {
  const char* Name;
  TqdFieldType Source;
  Image Value;
  TqdFieldType Target;
  int32_t Units;
  int32_t DecPl;
  TqdExpect BestFit;
  TqdExpect Checking;
};

class FieldConverterTest : public ::testing::Test {
 protected:
  void Run(const std::vector<TqdCase>& aCases) {
    for (const TqdCase& c : aCases) {
      SCOPED_TRACE(c.Name);
      TqdFieldDescriptor& source = fields.Field(c.Source, c.Source == qdtBCD ? 20 : 0, c.Source == qdtBCD ? 4 : 0);
      TqdFieldDescriptor& target = fields.Field(c.Target, c.Units, c.DecPl);
      for (TqdDataLossAction action : {dlaBestFit, dlaFail}) {
        SCOPED_TRACE(action == dlaBestFit ? "best fit" : "checking");
        const TqdExpect& expect = action == dlaBestFit ? c.BestFit : c.Checking;
        const TqdConversion done = qdConvert(source, target, &action, c.Value);
        ASSERT_TRUE(done.Assigned);
        EXPECT_EQ(done.Code, expect.Code);
        if (expect.Code == 0) {
          ASSERT_GE(done.Target.size(), expect.Bytes.size());
          EXPECT_EQ(Image(done.Target.begin(), done.Target.begin() + static_cast<std::ptrdiff_t>(expect.Bytes.size())),
                    expect.Bytes);
        } else if (c.Target != qdtBoolean) {
          EXPECT_EQ(done.Target, Image(done.Target.size(), kUntouched)) << "a refused value left the target as it was";
        }
      }
    }
  }

  TqdConverterFields fields;
};

TEST_F(FieldConverterTest, IntegerSources) {
  const int64_t twoPow53 = int64_t{1} << 53;
  Run({
      {"Int32 200 -> Int8", qdtInt32, i32(200), qdtInt8, 0, 0, is(i8(127)), kFails},
      {"Int32 -200 -> Int8", qdtInt32, i32(-200), qdtInt8, 0, 0, is(i8(-128)), kFails},
      {"Int32 127 -> Int8", qdtInt32, i32(127), qdtInt8, 0, 0, is(i8(127)), is(i8(127))},
      {"Int32 -128 -> Int8", qdtInt32, i32(-128), qdtInt8, 0, 0, is(i8(-128)), is(i8(-128))},
      {"Int32 128 -> Int8", qdtInt32, i32(128), qdtInt8, 0, 0, is(i8(127)), kFails},
      {"Int32 -129 -> Int8", qdtInt32, i32(-129), qdtInt8, 0, 0, is(i8(-128)), kFails},
      {"Int32 -1 -> Word32", qdtInt32, i32(-1), qdtWord32, 0, 0, is(u32(0)), kFails},
      {"Int32 -7 -> Int64", qdtInt32, i32(-7), qdtInt64, 0, 0, is(i64(-7)), is(i64(-7))},
      {"Int32 2 -> Boolean", qdtInt32, i32(2), qdtBoolean, 0, 0, is(b8(0xFF)), kFails},
      {"Int32 1 -> Boolean", qdtInt32, i32(1), qdtBoolean, 0, 0, is(b8(0xFF)), is(b8(0xFF))},
      {"Int32 0 -> Boolean", qdtInt32, i32(0), qdtBoolean, 0, 0, is(b8(0)), is(b8(0))},
      {"Int32 -5 -> Char", qdtInt32, i32(-5), qdtChar, 0, 0, is(b8('-')), kFails},
      {"Int32 42 -> Char", qdtInt32, i32(42), qdtChar, 0, 0, is(b8('4')), kFails},
      {"Int32 7 -> Char", qdtInt32, i32(7), qdtChar, 0, 0, is(b8('7')), is(b8('7'))},
      {"Int32 10 -> Char", qdtInt32, i32(10), qdtChar, 0, 0, is(b8('1')), kFails},
      {"Int32 -1 -> Char", qdtInt32, i32(-1), qdtChar, 0, 0, is(b8('-')), kFails},
      {"Int32 7 -> WideChar", qdtInt32, i32(7), qdtWideChar, 0, 0, is(u16(u'7')), is(u16(u'7'))},
      {"Int32 min -> ShortString(5)", qdtInt32, i32(INT32_MIN), qdtShortString, 5, 0, is(shortStr("-2147")), kFails},
      {"Int32 12345 -> ShortString(5)", qdtInt32, i32(12345), qdtShortString, 5, 0, is(shortStr("12345")),
       is(shortStr("12345"))},
      {"Int32 min -> ShortString(10)", qdtInt32, i32(INT32_MIN), qdtShortString, 10, 0, is(shortStr("-214748364")),
       kFails},
      {"Int32 min -> ShortString(11)", qdtInt32, i32(INT32_MIN), qdtShortString, 11, 0, is(shortStr("-2147483648")),
       is(shortStr("-2147483648"))},
      {"Int32 min -> NullString(5)", qdtInt32, i32(INT32_MIN), qdtNullString, 5, 0, is(nullStr("-2147")), kFails},
      {"Int32 min -> WideString(5)", qdtInt32, i32(INT32_MIN), qdtWideString, 5, 0, is(wideStr(u"-2147")), kFails},
      {"Int32 -12 -> WideString(5)", qdtInt32, i32(-12), qdtWideString, 5, 0, is(wideStr(u"-12")), is(wideStr(u"-12"))},
      {"Int32 123 -> BCD(12,2)", qdtInt32, i32(123), qdtBCD, 12, 2, is(i64(1230000)), is(i64(1230000))},
      {"Int32 123 -> BCD(5,2)", qdtInt32, i32(123), qdtBCD, 5, 2, is(i64(1230000)), is(i64(1230000))},
      {"Int32 123456 -> BCD(5,2)", qdtInt32, i32(123456), qdtBCD, 5, 2, is(i64(9999900)), kFails},
      {"Int32 -123456 -> BCD(5,2)", qdtInt32, i32(-123456), qdtBCD, 5, 2, is(i64(-9999900)), kFails},
      {"Int32 -> ByteArray(6)", qdtInt32, i32(0x04030201), qdtByteArray, 6, 0, is({1, 2, 3, 4, kUntouched, kUntouched}),
       is({1, 2, 3, 4, kUntouched, kUntouched})},
      {"Int32 -> Single", qdtInt32, i32(16777217), qdtSingle, 0, 0, is(f32(16777216.0f)), is(f32(16777216.0f))},
      {"Int32 -> Currency", qdtInt32, i32(-3), qdtCurrency, 0, 0, is(i64(-30000)), is(i64(-30000))},
      {"Int64 922337203685478 -> Currency", qdtInt64, i64(922337203685478), qdtCurrency, 0, 0,
       is(i64(9223372036854770000)), kFails},
      {"Int64 -922337203685478 -> Currency", qdtInt64, i64(-922337203685478), qdtCurrency, 0, 0,
       is(i64(-9223372036854770000)), kFails},
      {"Int64 922337203685477 -> Currency", qdtInt64, i64(922337203685477), qdtCurrency, 0, 0,
       is(i64(9223372036854770000)), is(i64(9223372036854770000))},
      {"Int64 4294967296 -> Boolean", qdtInt64, i64(4294967296), qdtBoolean, 0, 0, is(b8(0xFF)), kFails},
      {"Int64 4294967296 -> WideChar", qdtInt64, i64(4294967296), qdtWideChar, 0, 0, is(u16(u'4')), kFails},
      {"Int64 4294967301 -> Word32", qdtInt64, i64(4294967301), qdtWord32, 0, 0, is(u32(4294967295u)), kFails},
      {"Int64 2^53+1 -> Extended", qdtInt64, i64(twoPow53 + 1), qdtExtended, 0, 0,
       is(ext(qdInt64ToExtended(twoPow53 + 1))), is(ext(qdInt64ToExtended(twoPow53 + 1)))},
      // Sixteen integer digits fit the field but not the image: the largest
      // image of two decimals.
      {"Int64 12345678901234567 -> BCD(18,2)", qdtInt64, i64(12345678901234567), qdtBCD, 18, 2,
       is(i64(9223372036854775800)), kFails},
      {"Int64 1234567890123456 -> BCD(18,2)", qdtInt64, i64(1234567890123456), qdtBCD, 18, 2,
       is(i64(9223372036854775800)), kFails},
      {"Int64 123 -> BCD(18,2)", qdtInt64, i64(123), qdtBCD, 18, 2, is(i64(1230000)), is(i64(1230000))},
      {"Byte 200 -> Int8", qdtByte, b8(200), qdtInt8, 0, 0, is(i8(127)), kFails},
      {"Byte 200 -> Word16", qdtByte, b8(200), qdtWord16, 0, 0, is(u16(200)), is(u16(200))},
      {"Word32 max -> Int32", qdtWord32, u32(4294967295u), qdtInt32, 0, 0, is(i32(INT32_MAX)), kFails},
      {"AutoInc max -> Int64", qdtAutoInc, u32(4294967295u), qdtInt64, 0, 0, is(i64(4294967295)), is(i64(4294967295))},
      {"Word16 65535 -> Int16", qdtWord16, u16(65535), qdtInt16, 0, 0, is(i16(32767)), kFails},
      {"Int16 -1 -> Byte", qdtInt16, i16(-1), qdtByte, 0, 0, is(b8(0)), kFails},
      {"Int8 -1 -> Int16", qdtInt8, i8(-1), qdtInt16, 0, 0, is(i16(-1)), is(i16(-1))},
  });
}

TEST_F(FieldConverterTest, ByteArrayTargetsNeedRoomForTheWholeImage) {
  const TqdDataLossAction fail = dlaFail;
  EXPECT_FALSE(qdConvert(fields.Field(qdtInt32), fields.Field(qdtByteArray, 3), &fail, i32(1)).Assigned);
  EXPECT_FALSE(qdConvert(fields.Field(qdtDouble), fields.Field(qdtByteArray, 7), &fail, f64(1)).Assigned);
  EXPECT_FALSE(qdConvert(fields.Field(qdtExtended), fields.Field(qdtByteArray, 9), &fail, f64(1)).Assigned);
  EXPECT_FALSE(qdConvert(fields.Field(qdtCurrency), fields.Field(qdtByteArray, 7), &fail, i64(1)).Assigned);
  const TqdConversion doubleImage = qdConvert(fields.Field(qdtDouble), fields.Field(qdtByteArray, 12), &fail, f64(2.5));
  ASSERT_TRUE(doubleImage.Assigned);
  Image expected = f64(2.5);
  expected.insert(expected.end(), 4, kUntouched);
  EXPECT_EQ(doubleImage.Target, expected);
}

TEST_F(FieldConverterTest, BooleanTrueIsOneForEveryNumericTarget) {
  struct TqdNumericTarget {
    TqdFieldType Type;
    int32_t Units;
    int32_t DecPl;
    Image One;
    Image Zero;
  };
  const std::vector<TqdNumericTarget> targets = {
      {qdtByte, 0, 0, b8(1), b8(0)},
      {qdtInt8, 0, 0, i8(1), i8(0)},
      {qdtWord16, 0, 0, u16(1), u16(0)},
      {qdtInt16, 0, 0, i16(1), i16(0)},
      {qdtWord32, 0, 0, u32(1), u32(0)},
      {qdtAutoInc, 0, 0, u32(1), u32(0)},
      {qdtRecRev, 0, 0, u32(1), u32(0)},
      {qdtInt32, 0, 0, i32(1), i32(0)},
      {qdtInt64, 0, 0, i64(1), i64(0)},
      {qdtSingle, 0, 0, f32(1), f32(0)},
      {qdtDouble, 0, 0, f64(1), f64(0)},
      {qdtExtended, 0, 0, ext(qdInt64ToExtended(1)), ext(qdInt64ToExtended(0))},
      {qdtCurrency, 0, 0, i64(10000), i64(0)},
      {qdtBCD, 5, 2, i64(10000), i64(0)},
  };
  for (const TqdNumericTarget& target : targets) {
    TqdFieldDescriptor& targetField = fields.Field(target.Type, target.Units, target.DecPl);
    TqdFieldDescriptor& source = fields.Field(qdtBoolean);
    for (uint8_t b : {uint8_t{0xFF}, uint8_t{0x80}, uint8_t{0x01}, uint8_t{0x00}}) {
      for (TqdDataLossAction action : {dlaFail, dlaBestFit}) {
        SCOPED_TRACE(testing::Message() << "target " << int(target.Type) << " byte " << int(b));
        const TqdConversion done = qdConvert(source, targetField, &action, b8(b));
        ASSERT_TRUE(done.Assigned);
        EXPECT_EQ(done.Code, 0u);
        EXPECT_EQ(done.Target, b != 0 ? target.One : target.Zero);
      }
    }
  }
  const TqdDataLossAction fail = dlaFail;
  EXPECT_EQ(qdConvert(fields.Field(qdtBoolean), fields.Field(qdtChar), &fail, b8(0x80)).Target, b8('1'));
  EXPECT_EQ(qdConvert(fields.Field(qdtBoolean), fields.Field(qdtShortString, 3), &fail, b8(0)).Target,
            Image({1, '0', kUntouched, kUntouched}));
  EXPECT_EQ(qdConvert(fields.Field(qdtBoolean), fields.Field(qdtBoolean), &fail, b8(0x80)).Target, b8(0x80));
}

TEST_F(FieldConverterTest, SingleSources) {
  const float third = 1.0f / 3.0f;
  Run({
      {"2.5 -> Int32", qdtSingle, f32(2.5f), qdtInt32, 0, 0, is(i32(2)), kFails},
      {"3.5 -> Int32", qdtSingle, f32(3.5f), qdtInt32, 0, 0, is(i32(4)), kFails},
      {"3.0 -> Int32", qdtSingle, f32(3.0f), qdtInt32, 0, 0, is(i32(3)), is(i32(3))},
      {"1E10 -> Int32", qdtSingle, f32(1e10f), qdtInt32, 0, 0, is(i32(INT32_MAX)), kFails},
      {"-0.4 -> Byte", qdtSingle, f32(-0.4f), qdtByte, 0, 0, is(b8(0)), kFails},
      {"255.4 -> Byte", qdtSingle, f32(255.4f), qdtByte, 0, 0, is(b8(255)), kFails},
      {"254.6 -> Byte", qdtSingle, f32(254.6f), qdtByte, 0, 0, is(b8(255)), kFails},
      {"0.5 -> Byte", qdtSingle, f32(0.5f), qdtByte, 0, 0, is(b8(0)), kFails},
      {"0.1 -> Currency", qdtSingle, f32(0.1f), qdtCurrency, 0, 0, is(i64(1000)), kFails},
      {"0.5 -> Currency", qdtSingle, f32(0.5f), qdtCurrency, 0, 0, is(i64(5000)), is(i64(5000))},
      {"0.5 -> Boolean", qdtSingle, f32(0.5f), qdtBoolean, 0, 0, is(b8(0xFF)), kFails},
      {"0.00005 -> Boolean", qdtSingle, f32(0.00005f), qdtBoolean, 0, 0, is(b8(0)), is(b8(0))},
      {"1.00004 -> Boolean", qdtSingle, f32(1.00004f), qdtBoolean, 0, 0, is(b8(0xFF)), is(b8(0xFF))},
      {"3.5 -> Char", qdtSingle, f32(3.5f), qdtChar, 0, 0, is(b8('3')), kFails},
      {"3.0 -> Char", qdtSingle, f32(3.0f), qdtChar, 0, 0, is(b8('3')), is(b8('3'))},
      {"-1.5 -> Char", qdtSingle, f32(-1.5f), qdtChar, 0, 0, is(b8('-')), kFails},
      {"1/3 -> ShortString(7)", qdtSingle, f32(third), qdtShortString, 7, 0, is(shortStr("0.33333")), kFails},
      {"1/3 -> ShortString(21)", qdtSingle, f32(third), qdtShortString, 21, 0, is(shortStr("0.333333343267441")),
       is(shortStr("0.333333343267441"))},
      {"1234.5 -> BCD(6,2)", qdtSingle, f32(1234.5f), qdtBCD, 6, 2, is(i64(12345000)), is(i64(12345000))},
      {"12345.5 -> BCD(6,2)", qdtSingle, f32(12345.5f), qdtBCD, 6, 2, is(i64(99999900)), kFails},
      {"0.1 -> BCD(6,2)", qdtSingle, f32(0.1f), qdtBCD, 6, 2, is(i64(1000)), kFails},
      {"0.1 -> Double", qdtSingle, f32(0.1f), qdtDouble, 0, 0, is(f64(static_cast<double>(0.1f))),
       is(f64(static_cast<double>(0.1f)))},
  });
}

TEST_F(FieldConverterTest, DoubleSources) {
  const double maxDouble = DBL_MAX;
  Run({
      {"2.5 -> Int32", qdtDouble, f64(2.5), qdtInt32, 0, 0, is(i32(2)), kFails},
      {"3.5 -> Int32", qdtDouble, f64(3.5), qdtInt32, 0, 0, is(i32(4)), kFails},
      {"-2.5 -> Int32", qdtDouble, f64(-2.5), qdtInt32, 0, 0, is(i32(-2)), kFails},
      {"3.0 -> Int32", qdtDouble, f64(3.0), qdtInt32, 0, 0, is(i32(3)), is(i32(3))},
      {"255.0 -> Byte", qdtDouble, f64(255.0), qdtByte, 0, 0, is(b8(255)), is(b8(255))},
      {"255.5 -> Byte", qdtDouble, f64(255.5), qdtByte, 0, 0, is(b8(255)), kFails},
      {"256.0 -> Byte", qdtDouble, f64(256.0), qdtByte, 0, 0, is(b8(255)), kFails},
      {"2^63 -> Int64", qdtDouble, f64(9223372036854775808.0), qdtInt64, 0, 0, is(i64(INT64_MAX)), kFails},
      {"-2^63 -> Int64", qdtDouble, f64(-9223372036854775808.0), qdtInt64, 0, 0, is(i64(INT64_MIN)),
       is(i64(INT64_MIN))},
      {"-1E300 -> Single", qdtDouble, f64(-1e300), qdtSingle, 0, 0, is(f32(-FLT_MAX)), kFails},
      {"1E-40 -> Single", qdtDouble, f64(1e-40), qdtSingle, 0, 0, is(f32(static_cast<float>(1e-40))), kFails},
      {"0 -> Single", qdtDouble, f64(0), qdtSingle, 0, 0, is(f32(0)), is(f32(0))},
      {"0.1 -> Currency", qdtDouble, f64(0.1), qdtCurrency, 0, 0, is(i64(1000)), is(i64(1000))},
      {"1.23456 -> Currency", qdtDouble, f64(1.23456), qdtCurrency, 0, 0, is(i64(12346)), kFails},
      {"1E300 -> Currency", qdtDouble, f64(1e300), qdtCurrency, 0, 0, is(i64(INT64_MAX)), kFails},
      {"-1E300 -> Currency", qdtDouble, f64(-1e300), qdtCurrency, 0, 0, is(i64(-INT64_MAX)), kFails},
      {"0.5 -> Boolean", qdtDouble, f64(0.5), qdtBoolean, 0, 0, is(b8(0xFF)), kFails},
      {"1.0000000000001 -> Boolean", qdtDouble, f64(1.0000000000001), qdtBoolean, 0, 0, is(b8(0xFF)), is(b8(0xFF))},
      {"7.0 -> Char", qdtDouble, f64(7.0), qdtChar, 0, 0, is(b8('7')), is(b8('7'))},
      {"7.5 -> Char", qdtDouble, f64(7.5), qdtChar, 0, 0, is(b8('7')), kFails},
      {"12.0 -> Char", qdtDouble, f64(12.0), qdtChar, 0, 0, is(b8('1')), kFails},
      {"7.0 -> WideChar", qdtDouble, f64(7.0), qdtWideChar, 0, 0, is(u16(u'7')), is(u16(u'7'))},
      {"pi -> ShortString(10)", qdtDouble, f64(3.14159265358979), qdtShortString, 10, 0, is(shortStr("3.14159265")),
       kFails},
      {"pi -> ShortString(5)", qdtDouble, f64(3.14159265358979), qdtShortString, 5, 0, is(shortStr("3.141")), kFails},
      {"max -> ShortString(22)", qdtDouble, f64(-maxDouble), qdtShortString, 22, 0,
       is(shortStr("-1.79769313486232E308")), is(shortStr("-1.79769313486232E308"))},
      {"1E-5 -> NullString", qdtDouble, f64(1e-5), qdtNullString, 30, 0, is(nullStr("1E-5")), is(nullStr("1E-5"))},
      {"0.0001 -> NullString", qdtDouble, f64(0.0001), qdtNullString, 30, 0, is(nullStr("0.0001")),
       is(nullStr("0.0001"))},
      {"2.5 -> WideString(3)", qdtDouble, f64(-2.25), qdtWideString, 3, 0, is(wideStr(u"-2.")), kFails},
      {"1.5 -> DateTime", qdtDouble, f64(1.5), qdtDateTime, 0, 0, is(f64(693595.0 * 86400000.0 + 43200000.0)),
       is(f64(693595.0 * 86400000.0 + 43200000.0))},
      {"-0.25 -> DateTime", qdtDouble, f64(-0.25), qdtDateTime, 0, 0, is(f64(693594.0 * 86400000.0 + 21600000.0)),
       is(f64(693594.0 * 86400000.0 + 21600000.0))},
      {"-700000 -> DateTime", qdtDouble, f64(-700000), qdtDateTime, 0, 0, kFails, kFails},
      {"1E300 -> DateTime", qdtDouble, f64(1e300), qdtDateTime, 0, 0, kFails, kFails},
      {"12.345 -> BCD(6,2)", qdtDouble, f64(12.345), qdtBCD, 6, 2, is(i64(123400)), kFails},
      {"-12345.5 -> BCD(6,2)", qdtDouble, f64(-12345.5), qdtBCD, 6, 2, is(i64(-99999900)), kFails},
  });
}

TEST_F(FieldConverterTest, ExtendedSources) {
  const int64_t twoPow53 = int64_t{1} << 53;
  // 2^13287, about 1E4000: far beyond every double.
  const TqdExtended huge = TqdExtended::Make(false, 16383 + 13287, uint64_t{1} << 63);
  Run({
      {"2^53+1 -> Int64", qdtExtended, ext(qdInt64ToExtended(twoPow53 + 1)), qdtInt64, 0, 0, is(i64(twoPow53 + 1)),
       is(i64(twoPow53 + 1))},
      {"2.5 -> Int32", qdtExtended, ext(qdDoubleToExtended(2.5)), qdtInt32, 0, 0, is(i32(2)), kFails},
      {"4294967295 -> Word32", qdtExtended, ext(qdInt64ToExtended(4294967295)), qdtWord32, 0, 0, is(u32(4294967295u)),
       is(u32(4294967295u))},
      {"1E4000 -> Double", qdtExtended, ext(huge), qdtDouble, 0, 0, is(f64(DBL_MAX)), kFails},
      {"-1E4000 -> Double", qdtExtended, ext(TqdExtended::Make(true, 16383 + 13287, uint64_t{1} << 63)), qdtDouble, 0,
       0, is(f64(-DBL_MAX)), kFails},
      {"0.1 -> Double", qdtExtended, ext(qdDoubleToExtended(0.1)), qdtDouble, 0, 0, is(f64(0.1)), is(f64(0.1))},
      {"1E4000 -> Currency", qdtExtended, ext(huge), qdtCurrency, 0, 0, is(i64(INT64_MAX)), kFails},
      {"0.0001 -> Currency", qdtExtended, ext(qdCurrencyToExtended(1)), qdtCurrency, 0, 0, is(i64(1)), is(i64(1))},
      {"922337203685477.5807 -> Currency", qdtExtended, ext(qdCurrencyToExtended(INT64_MAX - 7)), qdtCurrency, 0, 0,
       is(i64(INT64_MAX - 7)), is(i64(INT64_MAX - 7))},
      {"7 -> Char", qdtExtended, ext(qdInt64ToExtended(7)), qdtChar, 0, 0, is(b8('7')), is(b8('7'))},
      {"2.5 -> ShortString(3)", qdtExtended, ext(qdDoubleToExtended(2.5)), qdtShortString, 3, 0, is(shortStr("2.5")),
       is(shortStr("2.5"))},
  });
}

TEST_F(FieldConverterTest, CurrencySources) {
  Run({
      {"min image -> Currency", qdtCurrency, i64(INT64_MIN), qdtCurrency, 0, 0, is(i64(-INT64_MAX)),
       is(i64(-INT64_MAX))},
      {"2.5 -> Byte", qdtCurrency, i64(25000), qdtByte, 0, 0, is(b8(2)), kFails},
      {"3.5 -> Byte", qdtCurrency, i64(35000), qdtByte, 0, 0, is(b8(4)), kFails},
      {"-1 -> Byte", qdtCurrency, i64(-10000), qdtByte, 0, 0, is(b8(0)), kFails},
      {"1 -> Boolean", qdtCurrency, i64(10000), qdtBoolean, 0, 0, is(b8(0xFF)), is(b8(0xFF))},
      {"2 -> Boolean", qdtCurrency, i64(20000), qdtBoolean, 0, 0, is(b8(0xFF)), kFails},
      {"-2.5 -> Int64", qdtCurrency, i64(-25000), qdtInt64, 0, 0, is(i64(-2)), kFails},
      {"9 -> Char", qdtCurrency, i64(90000), qdtChar, 0, 0, is(b8('9')), is(b8('9'))},
      {"0.5 -> Char", qdtCurrency, i64(5000), qdtChar, 0, 0, is(b8('0')), kFails},
      {"-12345678901.2345 -> NullString(16)", qdtCurrency, i64(-123456789012345), qdtNullString, 16, 0,
       is(nullStr("-12345678901.234")), kFails},
      {"-12345678901.2345 -> NullString(17)", qdtCurrency, i64(-123456789012345), qdtNullString, 17, 0,
       is(nullStr("-12345678901.2345")), is(nullStr("-12345678901.2345"))},
      {"1.5 -> Double", qdtCurrency, i64(15000), qdtDouble, 0, 0, is(f64(1.5)), is(f64(1.5))},
      {"0.0001 -> Extended", qdtCurrency, i64(1), qdtExtended, 0, 0, is(ext(qdCurrencyToExtended(1))),
       is(ext(qdCurrencyToExtended(1)))},
      {"123.456 -> BCD(5,2)", qdtCurrency, i64(1234560), qdtBCD, 5, 2, is(i64(1234500)), kFails},
      {"1234.5 -> BCD(5,2)", qdtCurrency, i64(12345000), qdtBCD, 5, 2, is(i64(9999900)), kFails},
      {"min image -> BCD(20,4)", qdtCurrency, i64(INT64_MIN), qdtBCD, 20, 4, is(i64(-INT64_MAX)), is(i64(-INT64_MAX))},
      {"BCD 2.5 -> Int32", qdtBCD, i64(25000), qdtInt32, 0, 0, is(i32(2)), kFails},
  });
}

TEST_F(FieldConverterTest, TextsFollowTheTargetFieldsLocale) {
  TqdFieldDescriptor& german = fields.Field(qdtShortString, 10);
  german.AddLocaleDescriptor()->SetLocale(1031);
  const TqdDataLossAction fail = dlaFail;
  EXPECT_EQ(
      qdConvert(fields.Field(qdtSingle), german, &fail, f32(1.5f)).Target,
      Image({3, '1', ',', '5', kUntouched, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched}));
  EXPECT_EQ(qdConvert(fields.Field(qdtCurrency), german, &fail, i64(-25000)).Target[3], ',');
}

TEST(FieldConverterLocaleTest, AFieldWithoutLocaleGetsTheProcessLocalesTexts) {
  // The number format is taken when the converter is made: the instance made
  // under the German profile keeps its comma afterwards.
  TqdDataDictionary table;
  table.RemoveLocaleDescriptor();
  TqdFieldDescriptor& source = *table.FieldsDescriptor()->AddField(u"S", u"", qdtDouble, 0, 0, false);
  TqdFieldDescriptor& target = *table.FieldsDescriptor()->AddField(u"T", u"", qdtNullString, 10, 0, false);
  ASSERT_EQ(target.UsedLocaleDescriptor(), nullptr);
  const TqdDataLossAction fail = dlaFail;
  const Image value = f64(1.5);
  Image target1(11, 0);
  TqdMappingMethod method;
  std::unique_ptr<TqdBaseFieldMapper> instance;
  {
    TqdScopedProcessProfile germanProfile(1031, 1252);
    TqdFieldMapperDescriptor desc(u"S", u"T", fail);
    instance.reset(TqdBaseFieldMapper::CreateMapper(source, nullptr, target, nullptr, &desc, method));
  }
  ASSERT_TRUE(method.Assigned());
  ASSERT_EQ(method(value.data(), target1.data()), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(target1.data())), "1,5");
  EXPECT_EQ(qdConvert(source, target, &fail, value).Target[1], '.') << "the process locale 1041 again";
}

// NaN, the infinities and the extreme finite values of each floating source
// into every numeric target: integer and Currency targets refuse the
// non-numbers (best fit: 0, or the bound with the infinity's sign); every
// other target runs without undefined behaviour.
TEST_F(FieldConverterTest, NonNumbersAndExtremesOfFloatingSources) {
  struct TqdSource {
    const char* Name;
    TqdFieldType Type;
    std::function<Image(double)> Encode;
    Image Largest;
    Image Smallest;  // the smallest positive (denormal) value
  };
  const std::vector<TqdSource> sources = {
      {"Single", qdtSingle, [](double v) { return f32(static_cast<float>(v)); }, f32(FLT_MAX),
       f32(std::numeric_limits<float>::denorm_min())},
      {"Double", qdtDouble, [](double v) { return f64(v); }, f64(DBL_MAX),
       f64(std::numeric_limits<double>::denorm_min())},
      {"Extended", qdtExtended, [](double v) { return ext(qdDoubleToExtended(v)); },
       ext(TqdExtended::Make(false, 0x7FFE, ~uint64_t{0})), ext(TqdExtended::Make(false, 0, 1))},
  };
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<TqdFieldType> intTargets = {qdtByte, qdtWord16, qdtWord32, qdtAutoInc, qdtRecRev,
                                                qdtInt8, qdtInt16,  qdtInt32,  qdtInt64,   qdtCurrency};
  const auto bounds = [](TqdFieldType aType, int64_t& aLo, int64_t& aHi) {
    switch (aType) {
      case qdtByte:
        aLo = 0;
        aHi = 255;
        break;
      case qdtWord16:
        aLo = 0;
        aHi = 65535;
        break;
      case qdtWord32:
      case qdtAutoInc:
      case qdtRecRev:
        aLo = 0;
        aHi = 4294967295;
        break;
      case qdtInt8:
        aLo = -128;
        aHi = 127;
        break;
      case qdtInt16:
        aLo = -32768;
        aHi = 32767;
        break;
      case qdtInt32:
        aLo = INT32_MIN;
        aHi = INT32_MAX;
        break;
      case qdtInt64:
        aLo = INT64_MIN;
        aHi = INT64_MAX;
        break;
      default:
        aLo = -INT64_MAX;
        aHi = INT64_MAX;
        break;
    }
  };
  const auto asInt = [](TqdFieldType aType, const Image& aBytes) -> int64_t {
    switch (aType) {
      case qdtByte:
        return aBytes[0];
      case qdtInt8:
        return static_cast<int8_t>(aBytes[0]);
      case qdtWord16:
        return qdGetU16(aBytes.data());
      case qdtInt16:
        return qdGetI16(aBytes.data());
      case qdtWord32:
      case qdtAutoInc:
      case qdtRecRev:
        return qdGetU32(aBytes.data());
      case qdtInt32:
        return qdGetI32(aBytes.data());
      default:
        return qdGetI64(aBytes.data());
    }
  };
  for (const TqdSource& s : sources) {
    TqdFieldDescriptor& source = fields.Field(s.Type);
    const Image nanImage = s.Encode(nan);
    const Image minusMax = [&] {
      Image bytes = s.Largest;
      bytes.back() |= 0x80;  // the sign bit of every format lies in the last byte
      return bytes;
    }();
    for (TqdFieldType type : intTargets) {
      SCOPED_TRACE(testing::Message() << s.Name << " -> type " << int(type));
      TqdFieldDescriptor& target = fields.Field(type);
      int64_t lo = 0;
      int64_t hi = 0;
      bounds(type, lo, hi);
      const TqdDataLossAction bestFit = dlaBestFit;
      const TqdDataLossAction fail = dlaFail;
      for (const Image& refused : {nanImage, s.Encode(inf), s.Encode(-inf), s.Largest, minusMax})
        EXPECT_EQ(qdConvert(source, target, &fail, refused).Code, qdeInvalidFieldXform);
      EXPECT_EQ(asInt(type, qdConvert(source, target, &bestFit, nanImage).Target), 0);
      EXPECT_EQ(asInt(type, qdConvert(source, target, &bestFit, s.Encode(inf)).Target), hi);
      EXPECT_EQ(asInt(type, qdConvert(source, target, &bestFit, s.Encode(-inf)).Target), lo);
      EXPECT_EQ(asInt(type, qdConvert(source, target, &bestFit, s.Largest).Target), hi);
      EXPECT_EQ(asInt(type, qdConvert(source, target, &bestFit, minusMax).Target), lo);
      EXPECT_EQ(asInt(type, qdConvert(source, target, &bestFit, s.Smallest).Target), 0);
    }
    for (TqdFieldType type : {qdtBoolean, qdtSingle, qdtDouble, qdtExtended, qdtChar, qdtWideChar, qdtShortString,
                              qdtNullString, qdtWideString, qdtDateTime}) {
      SCOPED_TRACE(testing::Message() << s.Name << " -> type " << int(type));
      TqdFieldDescriptor& target =
          fields.Field(type, type == qdtShortString || type == qdtNullString || type == qdtWideString ? 30 : 0);
      for (TqdDataLossAction action : {dlaFail, dlaBestFit}) {
        for (const Image& value : {nanImage, s.Encode(inf), s.Encode(-inf), s.Largest, minusMax, s.Smallest}) {
          const TqdConversion done = qdConvert(source, target, &action, value);
          if (type == qdtDateTime && done.Assigned && value != s.Smallest) {
            EXPECT_EQ(done.Code, qdeInvalidFieldXform);
          }
        }
      }
    }
    // A decimal has no text for a non-number.
    TqdFieldDescriptor& decimal = fields.Field(qdtBCD, 10, 2);
    const TqdDataLossAction bestFit = dlaBestFit;
    EXPECT_THROW((void)qdConvert(source, decimal, &bestFit, nanImage), EBcdException);
  }
}

}  // namespace
}  // namespace qd
