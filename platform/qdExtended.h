// The 10-byte Extended value as records and streams store it.
//
// Stored layout (little-endian, 10 bytes):
//   offset 0, size 8: significand, the integer bit explicit in bit 63
//   offset 8, size 2: bit 15 sign, bits 0..14 biased exponent (bias 16383)
// Exponent 0x7FFF is infinity (significand 0x8000000000000000) or NaN;
// exponent 0 holds zero and denormals. A non-zero exponent with the integer
// bit clear ("unnormal") is not a number the hardware accepts: it reads as
// NaN.
//
// Conversions and comparison are done in software on the bytes, rounding to
// nearest with ties to even, so nothing depends on what `long double` is on
// the host. Every double converts to Extended exactly; the other way rounds,
// overflows to infinity and underflows through the denormals to zero.
#pragma once

#include <array>
#include <compare>
#include <cstdint>

namespace qd {

struct TqdExtended {
  std::array<uint8_t, 10> Bytes{};

  uint64_t Significand() const;
  uint16_t SignAndExponent() const;
  static TqdExtended Make(bool aNegative, uint16_t aBiasedExponent, uint64_t aSignificand);
  static TqdExtended FromBytes(const void* aSource);
  void ToBytes(void* aDest) const;
};

constexpr int kExtendedSize = 10;

TqdExtended qdDoubleToExtended(double aValue);
double qdExtendedToDouble(const TqdExtended& aValue);

bool qdExtendedIsNaN(const TqdExtended& aValue);  // NaNs and unnormals

// Value comparison: -0 equals +0; a NaN is unordered with everything.
std::partial_ordering qdExtendedCompare(const TqdExtended& aLeft, const TqdExtended& aRight);

// Integer and Currency images, worked on the exact value (sign, exponent,
// 64-bit significand): a double would drop the digits above 2^53.
//
// Every Int64 is an Extended exactly.
TqdExtended qdInt64ToExtended(int64_t aValue);
// A Currency image (the value x 10^4) as the nearest Extended, ties to even.
TqdExtended qdCurrencyToExtended(int64_t aImage);
// aValue x aScale rounded to the nearest integer, ties to even, from the
// exact product. False for a NaN (and unnormals). aIntegral tells whether the
// product was whole already. A rounded value outside the Int64 range, and an
// infinity, saturate aRounded to INT64_MIN or INT64_MAX by the sign and set
// aOverflow.
[[nodiscard]] bool qdExtendedScaledRound(const TqdExtended& aValue, uint32_t aScale, int64_t& aRounded, bool& aIntegral,
                                         bool& aOverflow);

}  // namespace qd
