#include "platform/qdCurrency.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/qdMath.h"

namespace qd {
namespace {

TEST(CurrencyTest, DoubleToCurrencyRoundsTheDecimalHalfToEven) {
  struct Case {
    double value;
    int64_t raw;
  };
  const Case cases[] = {
      {12.34567, 123457},
      {-12.34567, -123457},
      {0.00005, 0},
      {0.00015, 2},
      {0.00025, 2},
      {0.00035, 4},
      {-0.00005, 0},
      {-0.00015, -2},
      {1.00005, 10000},
      {0.1 + 0.2, 3000},
      {0.0, 0},
      {-0.0, 0},
      {1e-300, 0},
      {12.5, 125000},
      {922337203685477.0, 9223372036854770000},
      {-922337203685477.0, -9223372036854770000},
  };
  for (const Case& c : cases) {
    TqdCurrency result;
    ASSERT_TRUE(qdTryDoubleToCurrency(c.value, result)) << c.value;
    EXPECT_EQ(result.Raw, c.raw) << c.value;
  }
}

TEST(CurrencyTest, DoubleOutsideTheRangeIsRefused) {
  const double values[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e15, -1e15, 922337203685477.6, 1e300};
  for (double value : values) {
    TqdCurrency result{77};
    EXPECT_FALSE(qdTryDoubleToCurrency(value, result)) << value;
    EXPECT_EQ(result.Raw, 77) << "left unchanged";
    EXPECT_THROW(qdDoubleToCurrency(value), EInvalidOp) << value;
  }
}

TEST(CurrencyTest, DecimalDigitsToCurrency) {
  struct Case {
    const char* digits;
    int pointPos;
    bool negative;
    bool ok;
    int64_t raw;
  };
  const Case cases[] = {
      {"5", -3, false, true, 5},         // 0.0005
      {"15", -3, false, true, 2},        // 0.00015: tie to even
      {"25", -3, false, true, 2},        // 0.00025
      {"251", -3, false, true, 3},       // 0.000251
      {"5", -4, false, true, 0},         // 0.00005
      {"51", -4, false, true, 1},        // 0.000051
      {"9", -5, false, true, 0},         // 0.000009
      {"0012", 4, false, true, 120000},  // leading zeros: 12
      {"9223372036854775807", 15, false, true, INT64_MAX},
      {"9223372036854775808", 15, true, true, INT64_MIN},
      {"9223372036854775808", 15, false, false, 0},
      {"92233720368547758075", 15, false, false, 0},  // rounds past the maximum
      {"1", 16, false, false, 0},
      {"", 0, true, true, 0},
      {"000", 2, false, true, 0},
  };
  for (const Case& c : cases) {
    TqdCurrency result;
    ASSERT_EQ(qdTryDecimalToCurrency(c.digits, c.pointPos, c.negative, result), c.ok) << c.digits << "e" << c.pointPos;
    if (c.ok) {
      EXPECT_EQ(result.Raw, c.raw) << c.digits << "e" << c.pointPos;
    }
  }
}

TEST(CurrencyTest, IntegerConversionsAndRounding) {
  EXPECT_EQ(qdInt64ToCurrency(-12).Raw, -120000);
  EXPECT_THROW(qdInt64ToCurrency(INT64_MAX / 10000 + 1), EInvalidOp);
  EXPECT_THROW(qdInt64ToCurrency(INT64_MIN / 10000 - 1), EInvalidOp);
  struct Case {
    int64_t raw;
    int64_t rounded;
  };
  const Case cases[] = {{25000, 2},
                        {35000, 4},
                        {-25000, -2},
                        {-25001, -3},
                        {24999, 2},
                        {5000, 0},
                        {-5000, 0},
                        {INT64_MAX, 922337203685478},
                        {INT64_MIN, -922337203685478}};
  for (const Case& c : cases) EXPECT_EQ(qdCurrencyRound(TqdCurrency::FromRaw(c.raw)), c.rounded) << c.raw;
  EXPECT_DOUBLE_EQ(qdCurrencyToDouble(TqdCurrency::FromRaw(-123457)), -12.3457);
}

TEST(MathTest, FloatToIntegerChecksBeforeConverting) {
  struct Case {
    double value;
    bool truncOk;
    int64_t trunc;
    bool roundOk;
    int64_t round;
  };
  const Case cases[] = {
      {2.5, true, 2, true, 2},
      {3.5, true, 3, true, 4},
      {-2.5, true, -2, true, -2},
      {-3.5, true, -3, true, -4},
      {0.5, true, 0, true, 0},
      {-0.5, true, 0, true, 0},
      {2.4999999, true, 2, true, 2},
      {-9223372036854775808.0, true, INT64_MIN, true, INT64_MIN},
      {9223372036854775808.0, false, 0, false, 0},  // 2^63
      {9223372036854774784.0, true, 9223372036854774784, true, 9223372036854774784},
      {std::nan(""), false, 0, false, 0},
      {HUGE_VAL, false, 0, false, 0},
      {-HUGE_VAL, false, 0, false, 0},
  };
  for (const Case& c : cases) {
    int64_t value = 0;
    ASSERT_EQ(qdTryTrunc(c.value, value), c.truncOk) << c.value;
    if (c.truncOk) {
      EXPECT_EQ(value, c.trunc) << c.value;
    }
    ASSERT_EQ(qdTryRound(c.value, value), c.roundOk) << c.value;
    if (c.roundOk) {
      EXPECT_EQ(value, c.round) << c.value;
    }
    if (!c.truncOk) {
      EXPECT_THROW(qdTrunc(c.value), EInvalidOp);
    }
    if (!c.roundOk) {
      EXPECT_THROW(qdRound(c.value), EInvalidOp);
    }
  }
}

}  // namespace
}  // namespace qd
