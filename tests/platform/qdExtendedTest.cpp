#include "platform/qdExtended.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace qd {
namespace {

uint64_t bitsOf(double aValue) { return std::bit_cast<uint64_t>(aValue); }
double fromBits(uint64_t aBits) { return std::bit_cast<double>(aBits); }

TqdExtended ext(uint16_t aSignAndExponent, uint64_t aSignificand) {
  return TqdExtended::Make((aSignAndExponent & 0x8000) != 0, aSignAndExponent & 0x7FFF, aSignificand);
}

TEST(ExtendedTest, DoublesRoundTripBitForBit) {
  const double values[] = {1.0,
                           -0.0,
                           0.0,
                           1e300,
                           -1e-300,
                           fromBits(1),                   // smallest denormal
                           fromBits(0x000FFFFFFFFFFFFF),  // largest denormal
                           fromBits(0x0000000123456789),  // a denormal with a ragged significand
                           std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::max(),
                           -std::numeric_limits<double>::max(),
                           3.141592653589793,
                           0.1,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           fromBits(0x7FF8000000000123),  // quiet NaN with a payload
                           fromBits(0xFFF8000000000000)};
  for (double value : values) {
    const double back = qdExtendedToDouble(qdDoubleToExtended(value));
    EXPECT_EQ(bitsOf(back), bitsOf(value)) << std::hexfloat << value;
  }
}

TEST(ExtendedTest, KnownByteImages) {
  struct Case {
    double value;
    uint8_t bytes[10];
  };
  const Case cases[] = {
      {1.0, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}},
      {-0.0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}},
      {0.0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {2.0, {0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0x40}},
      {0.5, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0x3F}},
      {-1.5, {0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0xBF}},
      {3.141592653589793, {0x00, 0xC0, 0x68, 0x21, 0xA2, 0xDA, 0x0F, 0xC9, 0x00, 0x40}},
      {fromBits(1), {0, 0, 0, 0, 0, 0, 0, 0x80, 0xCD, 0x3B}},  // 2^-1074
      {std::numeric_limits<double>::max(), {0x00, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x43}},
      {std::numeric_limits<double>::infinity(), {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F}},
      {-std::numeric_limits<double>::infinity(), {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    const TqdExtended encoded = qdDoubleToExtended(c.value);
    EXPECT_EQ(0, std::memcmp(encoded.Bytes.data(), c.bytes, 10)) << std::hexfloat << c.value;
    EXPECT_EQ(bitsOf(qdExtendedToDouble(TqdExtended::FromBytes(c.bytes))), bitsOf(c.value)) << std::hexfloat << c.value;
    uint8_t stored[12] = {};
    encoded.ToBytes(stored + 1);
    EXPECT_EQ(0, std::memcmp(stored + 1, c.bytes, 10));
    EXPECT_EQ(stored[0], 0);
    EXPECT_EQ(stored[11], 0) << "writes exactly ten bytes";
  }
}

TEST(ExtendedTest, NarrowingRoundsToNearestEven) {
  struct Case {
    const char* what;
    TqdExtended value;
    uint64_t expectedBits;
  };
  const Case cases[] = {
      {"1 + 2^-53, a tie, to even 1", ext(0x3FFF, 0x8000000000000400), 0x3FF0000000000000},
      {"1 + 3*2^-53, a tie, to even 1 + 2^-51", ext(0x3FFF, 0x8000000000000C00), 0x3FF0000000000002},
      {"just above the tie rounds up", ext(0x3FFF, 0x8000000000000401), 0x3FF0000000000001},
      {"just below the tie rounds down", ext(0x3FFF, 0x80000000000003FF), 0x3FF0000000000000},
      {"carry into the exponent", ext(0x3FFF, 0xFFFFFFFFFFFFFC00), 0x4000000000000000},
      {"negative keeps its sign", ext(0xBFFF, 0x8000000000000C00), 0xBFF0000000000002},
      {"rounds up to infinity", ext(0x43FE, 0xFFFFFFFFFFFFFC00), 0x7FF0000000000000},
      {"largest double stays", ext(0x43FE, 0xFFFFFFFFFFFFFBFF), 0x7FEFFFFFFFFFFFFF},
      {"exponent beyond the double's", ext(0x43FF, 0x8000000000000000), 0x7FF0000000000000},
      {"largest extended", ext(0x7FFE, 0xFFFFFFFFFFFFFFFF), 0x7FF0000000000000},
      {"largest negative extended", ext(0xFFFE, 0xFFFFFFFFFFFFFFFF), 0xFFF0000000000000},
      {"2^-1075, a tie, to even zero", ext(0x3BCC, 0x8000000000000000), 0x0000000000000000},
      {"0.75 x 2^-1074 up to the smallest denormal", ext(0x3BCC, 0xC000000000000000), 0x0000000000000001},
      {"1.5 x 2^-1074, a tie, to even 2", ext(0x3BCD, 0xC000000000000000), 0x0000000000000002},
      {"2^-1076 to zero", ext(0x3BCB, 0x8000000000000000), 0x0000000000000000},
      {"negative underflow keeps -0", ext(0xBBCB, 0x8000000000000000), 0x8000000000000000},
      {"denormal result carries into the smallest normal", ext(0x3C00, 0xFFFFFFFFFFFFFFF0), 0x0010000000000000},
      {"an extended denormal is zero as a double", ext(0x0000, 0x0000000000000001), 0x0000000000000000},
      {"a pseudo-denormal is zero as a double", ext(0x8000, 0x8000000000000000), 0x8000000000000000},
  };
  for (const Case& c : cases) EXPECT_EQ(bitsOf(qdExtendedToDouble(c.value)), c.expectedBits) << c.what;
}

TEST(ExtendedTest, InvalidEncodingsAndNaNsReadAsQuietNaN) {
  struct Case {
    const char* what;
    TqdExtended value;
  };
  const Case cases[] = {
      {"unnormal", ext(0x3FFF, 0x4000000000000000)},
      {"pseudo-zero", ext(0x3FFF, 0)},
      {"pseudo-infinity", ext(0x7FFF, 0)},
      {"signalling NaN", ext(0x7FFF, 0x8000000000000001)},
      {"quiet NaN", ext(0xFFFF, 0xC000000000000000)},
  };
  for (const Case& c : cases) {
    const double d = qdExtendedToDouble(c.value);
    EXPECT_TRUE(std::isnan(d)) << c.what;
    EXPECT_NE(bitsOf(d) & (uint64_t{1} << 51), 0u) << c.what << ": quiet bit";
    EXPECT_TRUE(qdExtendedIsNaN(c.value)) << c.what;
  }
  // A signalling double NaN comes back quiet, its payload kept.
  EXPECT_EQ(bitsOf(qdExtendedToDouble(qdDoubleToExtended(fromBits(0x7FF0000000000001)))), 0x7FF8000000000001u);
}

TEST(ExtendedTest, CompareInSoftware) {
  const auto lt = std::partial_ordering::less, eq = std::partial_ordering::equivalent,
             gt = std::partial_ordering::greater, un = std::partial_ordering::unordered;
  struct Case {
    const char* what;
    TqdExtended left, right;
    std::partial_ordering expected;
  };
  const Case cases[] = {
      {"-0 equals +0", qdDoubleToExtended(-0.0), qdDoubleToExtended(0.0), eq},
      {"denormal above zero", ext(0x0000, 1), qdDoubleToExtended(0.0), gt},
      {"negative denormal below -0", ext(0x8000, 1), qdDoubleToExtended(-0.0), lt},
      {"pseudo-denormal equals the same normal", ext(0x0000, 0x8000000000000000), ext(0x0001, 0x8000000000000000), eq},
      {"denormal below the smallest normal", ext(0x0000, 0x7FFFFFFFFFFFFFFF), ext(0x0001, 0x8000000000000000), lt},
      {"infinity above the largest", ext(0x7FFF, 0x8000000000000000), ext(0x7FFE, 0xFFFFFFFFFFFFFFFF), gt},
      {"NaN unordered", ext(0x7FFF, 0xC000000000000000), qdDoubleToExtended(1.0), un},
      {"unnormal unordered", ext(0x3FFF, 0x4000000000000000), qdDoubleToExtended(1.0), un},
      {"more precision than a double", ext(0x3FFF, 0x8000000000000001), qdDoubleToExtended(1.0), gt},
  };
  for (const Case& c : cases) EXPECT_EQ(qdExtendedCompare(c.left, c.right), c.expected) << c.what;

  // Agrees with the double comparison on every pair of a spread of values.
  const double values[] = {-std::numeric_limits<double>::infinity(),
                           -1e300,
                           -2.5,
                           -1.0,
                           -fromBits(1),
                           -0.0,
                           0.0,
                           fromBits(1),
                           fromBits(0x000FFFFFFFFFFFFF),
                           std::numeric_limits<double>::min(),
                           0.1,
                           1.0,
                           1.0000000000000002,
                           1e300,
                           std::numeric_limits<double>::infinity()};
  for (double a : values) {
    for (double b : values) {
      EXPECT_EQ(qdExtendedCompare(qdDoubleToExtended(a), qdDoubleToExtended(b)), a <=> b) << a << " vs " << b;
    }
  }
}

}  // namespace
}  // namespace qd
