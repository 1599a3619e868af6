// The exact Int64 and Currency images of Extended values: the digits a
// double would drop must survive, rounding is to nearest with ties to even,
// and out-of-range values saturate instead of wrapping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/qdExtended.h"

namespace qd {
namespace {

struct TqdScaledCase {
  const char* Name;
  TqdExtended Value;
  uint32_t Scale;
  int64_t Rounded;
  bool Integral;
  bool Overflow;
};

TEST(ExtendedImagesTest, Int64RoundTripsExactly) {
  for (int64_t value : {int64_t{0}, int64_t{1}, int64_t{-1}, (int64_t{1} << 53) + 1, -(int64_t{1} << 53) - 1, INT64_MAX,
                        INT64_MIN, int64_t{123456789012345678}}) {
    SCOPED_TRACE(value);
    int64_t back = 0;
    bool integral = false;
    bool overflow = true;
    ASSERT_TRUE(qdExtendedScaledRound(qdInt64ToExtended(value), 1, back, integral, overflow));
    EXPECT_EQ(back, value);
    EXPECT_TRUE(integral);
    EXPECT_FALSE(overflow);
  }
}

TEST(ExtendedImagesTest, ScaledRoundingTable) {
  const double inf = HUGE_VAL;
  const TqdScaledCase cases[] = {
      {"2.5 ties to 2", qdDoubleToExtended(2.5), 1, 2, false, false},
      {"3.5 ties to 4", qdDoubleToExtended(3.5), 1, 4, false, false},
      {"-2.5 ties to -2", qdDoubleToExtended(-2.5), 1, -2, false, false},
      {"2.6 rounds up", qdDoubleToExtended(2.6), 1, 3, false, false},
      {"0.1 x 10^4 is not whole", qdDoubleToExtended(0.1), 10000, 1000, false, false},
      {"0.5 x 10^4 is whole", qdDoubleToExtended(0.5), 10000, 5000, true, false},
      {"tiny rounds to 0", qdDoubleToExtended(1e-300), 10000, 0, false, false},
      {"2^63 overflows", qdDoubleToExtended(9223372036854775808.0), 1, INT64_MAX, true, true},
      {"-2^63 fits", qdDoubleToExtended(-9223372036854775808.0), 1, INT64_MIN, true, false},
      {"1E300 x 10^4 saturates", qdDoubleToExtended(1e300), 10000, INT64_MAX, true, true},
      {"-Inf saturates low", qdDoubleToExtended(-inf), 1, INT64_MIN, true, true},
      // Its nearest Extended is off by more than the product can hide.
      {"currency image 12345.6789", qdCurrencyToExtended(123456789), 10000, 123456789, false, false},
      {"currency image 0.0001", qdCurrencyToExtended(1), 10000, 1, true, false},
      {"currency image -25000", qdCurrencyToExtended(-25000), 1, -2, false, false},
  };
  for (const TqdScaledCase& c : cases) {
    SCOPED_TRACE(c.Name);
    int64_t rounded = 7;
    bool integral = false;
    bool overflow = false;
    ASSERT_TRUE(qdExtendedScaledRound(c.Value, c.Scale, rounded, integral, overflow));
    EXPECT_EQ(rounded, c.Rounded);
    EXPECT_EQ(integral, c.Integral);
    EXPECT_EQ(overflow, c.Overflow);
  }
}

TEST(ExtendedImagesTest, NaNHasNoImage) {
  int64_t rounded = 7;
  bool integral = false;
  bool overflow = false;
  EXPECT_FALSE(qdExtendedScaledRound(qdDoubleToExtended(std::nan("")), 1, rounded, integral, overflow));
}

TEST(ExtendedImagesTest, CurrencyImageIsTheNearestExtended) {
  // 0.0001 is not a binary fraction: the nearest double and the nearest
  // Extended differ, and the Extended must be the closer one.
  const TqdExtended tenThousandth = qdCurrencyToExtended(1);
  EXPECT_EQ(qdExtendedToDouble(tenThousandth), 0.0001);
  EXPECT_EQ(tenThousandth.SignAndExponent(), 16383 - 14);
  EXPECT_EQ(tenThousandth.Significand(), 0xD1B71758E219652CULL);
  EXPECT_EQ(qdCurrencyToExtended(-25000).Significand(), 0xA000000000000000ULL);
  EXPECT_EQ(qdExtendedToDouble(qdCurrencyToExtended(-25000)), -2.5);
}

}  // namespace
}  // namespace qd
