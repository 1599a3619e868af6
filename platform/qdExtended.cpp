#include "platform/qdExtended.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/qdLittleEndian.h"

namespace qd {

namespace {

constexpr int kExtendedBias = 16383;
constexpr int kDoubleBias = 1023;
constexpr uint16_t kMaxExponent = 0x7FFF;
constexpr uint64_t kIntegerBit = uint64_t{1} << 63;
constexpr uint64_t kDoubleFractionMask = (uint64_t{1} << 52) - 1;
constexpr uint64_t kDoubleQuietBit = uint64_t{1} << 51;

// aValue / 2^aShift rounded to nearest, ties to even.
uint64_t shiftRightRoundEven(uint64_t aValue, int aShift) {
  if (aShift <= 0) return aValue;
  if (aShift > 64) return 0;  // below half of the last unit
  const unsigned __int128 wide = aValue;
  const unsigned __int128 kept = wide >> aShift;
  const unsigned __int128 rest = wide & ((static_cast<unsigned __int128>(1) << aShift) - 1);
  const unsigned __int128 half = static_cast<unsigned __int128>(1) << (aShift - 1);
  const bool up = rest > half || (rest == half && (kept & 1) != 0);
  return static_cast<uint64_t>(kept + (up ? 1 : 0));
}

double doubleFromParts(bool aNegative, uint64_t aBitsWithoutSign) {
  return std::bit_cast<double>(aBitsWithoutSign | (aNegative ? kIntegerBit : 0));
}

bool isUnnormal(uint16_t aExponent, uint64_t aSignificand) {
  return aExponent != 0 && (aSignificand & kIntegerBit) == 0;
}

}  // namespace

uint64_t TqdExtended::Significand() const { return qdGetU64(Bytes.data()); }

uint16_t TqdExtended::SignAndExponent() const { return qdGetU16(Bytes.data() + 8); }

TqdExtended TqdExtended::Make(bool aNegative, uint16_t aBiasedExponent, uint64_t aSignificand) {
  TqdExtended result;
  qdPutU64(result.Bytes.data(), aSignificand);
  qdPutU16(result.Bytes.data() + 8, static_cast<uint16_t>((aBiasedExponent & kMaxExponent) | (aNegative ? 0x8000 : 0)));
  return result;
}

TqdExtended TqdExtended::FromBytes(const void* aSource) {
  TqdExtended result;
  std::memcpy(result.Bytes.data(), aSource, kExtendedSize);
  return result;
}

void TqdExtended::ToBytes(void* aDest) const { std::memcpy(aDest, Bytes.data(), kExtendedSize); }

TqdExtended qdDoubleToExtended(double aValue) {
  const uint64_t bits = std::bit_cast<uint64_t>(aValue);
  const bool negative = (bits >> 63) != 0;
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const uint64_t fraction = bits & kDoubleFractionMask;
  if (exponent == 0x7FF) return TqdExtended::Make(negative, kMaxExponent, kIntegerBit | (fraction << 11));
  if (exponent == 0) {
    if (fraction == 0) return TqdExtended::Make(negative, 0, 0);
    // A double denormal is a normal number in the wider exponent range:
    // fraction x 2^-1074, normalised so that its top bit is the integer bit.
    const int shift = std::countl_zero(fraction);
    const int unbiased = -1074 + 63 - shift;
    return TqdExtended::Make(negative, static_cast<uint16_t>(unbiased + kExtendedBias), fraction << shift);
  }
  return TqdExtended::Make(negative, static_cast<uint16_t>(exponent - kDoubleBias + kExtendedBias),
                           kIntegerBit | (fraction << 11));
}

double qdExtendedToDouble(const TqdExtended& aValue) {
  const uint16_t signAndExponent = aValue.SignAndExponent();
  const bool negative = (signAndExponent & 0x8000) != 0;
  const uint16_t exponent = signAndExponent & kMaxExponent;
  const uint64_t significand = aValue.Significand();
  const uint64_t infinityBits = uint64_t{0x7FF} << 52;

  if (exponent == kMaxExponent) {
    if (significand == kIntegerBit) return doubleFromParts(negative, infinityBits);
    // NaN (pseudo-infinities and pseudo-NaNs included): keep the top payload
    // bits and make it quiet, as the hardware conversion does.
    return doubleFromParts(negative, infinityBits | kDoubleQuietBit | ((significand >> 11) & kDoubleFractionMask));
  }
  if (isUnnormal(exponent, significand)) return doubleFromParts(false, infinityBits | kDoubleQuietBit);
  if (significand == 0) return doubleFromParts(negative, 0);

  // value = significand x 2^(e - 63); denormals and pseudo-denormals use e = 1 - bias.
  int unbiased = (exponent == 0 ? 1 : exponent) - kExtendedBias;
  // Normalise a denormal significand so that the rules below see bit 63 set.
  uint64_t mantissa = significand;
  if ((mantissa & kIntegerBit) == 0) {
    const int shift = std::countl_zero(mantissa);
    mantissa <<= shift;
    unbiased -= shift;
  }
  if (unbiased > kDoubleBias) return doubleFromParts(negative, infinityBits);
  if (unbiased >= -1022) {
    uint64_t rounded = shiftRightRoundEven(mantissa, 11);  // 53 bits, or 2^53 after a carry
    if (rounded == (uint64_t{1} << 53)) {
      rounded >>= 1;
      ++unbiased;
      if (unbiased > kDoubleBias) return doubleFromParts(negative, infinityBits);
    }
    const uint64_t biased = static_cast<uint64_t>(unbiased + kDoubleBias);
    return doubleFromParts(negative, (biased << 52) | (rounded & kDoubleFractionMask));
  }
  // Denormal result: units of 2^-1074. value / 2^-1074 = mantissa x 2^(unbiased - 63 + 1074).
  const int shift = 63 - 1074 - unbiased;
  // A carry into bit 52 yields the smallest normal number, which the bit
  // pattern expresses on its own.
  return doubleFromParts(negative, shiftRightRoundEven(mantissa, shift));
}

bool qdExtendedIsNaN(const TqdExtended& aValue) {
  const uint16_t exponent = aValue.SignAndExponent() & kMaxExponent;
  const uint64_t significand = aValue.Significand();
  if (exponent == kMaxExponent) return significand != kIntegerBit;
  return isUnnormal(exponent, significand);
}

std::partial_ordering qdExtendedCompare(const TqdExtended& aLeft, const TqdExtended& aRight) {
  if (qdExtendedIsNaN(aLeft) || qdExtendedIsNaN(aRight)) return std::partial_ordering::unordered;
  const auto magnitude = [](const TqdExtended& v) {
    // Exponent 0 scales like exponent 1, so (exponent, significand) orders
    // denormals, pseudo-denormals and normals alike.
    const uint16_t exponent = v.SignAndExponent() & kMaxExponent;
    return (static_cast<unsigned __int128>(exponent == 0 ? 1 : exponent) << 64) | v.Significand();
  };
  const auto isZero = [](const TqdExtended& v) {
    return v.Significand() == 0 && (v.SignAndExponent() & kMaxExponent) == 0;
  };
  if (isZero(aLeft) && isZero(aRight)) return std::partial_ordering::equivalent;
  const bool leftNegative = (aLeft.SignAndExponent() & 0x8000) != 0 && !isZero(aLeft);
  const bool rightNegative = (aRight.SignAndExponent() & 0x8000) != 0 && !isZero(aRight);
  if (leftNegative != rightNegative) return leftNegative ? std::partial_ordering::less : std::partial_ordering::greater;
  const unsigned __int128 left = isZero(aLeft) ? 0 : magnitude(aLeft);
  const unsigned __int128 right = isZero(aRight) ? 0 : magnitude(aRight);
  if (left == right) return std::partial_ordering::equivalent;
  return (left < right) != leftNegative ? std::partial_ordering::less : std::partial_ordering::greater;
}

namespace {

// The Extended nearest to aMantissa x 2^aExponent (ties to even), aSticky
// telling that non-zero bits lie below aMantissa. aMantissa is not 0 and the
// result stays far inside the Extended range for every caller here.
TqdExtended extendedFromWide(bool aNegative, unsigned __int128 aMantissa, int aExponent, bool aSticky) {
  const int width =
      128 - (static_cast<uint64_t>(aMantissa >> 64) != 0 ? std::countl_zero(static_cast<uint64_t>(aMantissa >> 64))
                                                         : 64 + std::countl_zero(static_cast<uint64_t>(aMantissa)));
  uint64_t significand = 0;
  int exponent = aExponent;
  if (width <= 64) {
    significand = static_cast<uint64_t>(aMantissa) << (64 - width);
    exponent -= 64 - width;
  } else {
    const int drop = width - 64;
    significand = static_cast<uint64_t>(aMantissa >> drop);
    const unsigned __int128 rest = aMantissa & ((static_cast<unsigned __int128>(1) << drop) - 1);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
    exponent += drop;
    const bool up = rest > half || (rest == half && (aSticky || (significand & 1) != 0));
    if (up && ++significand == 0) {
      significand = kIntegerBit;
      ++exponent;
    }
  }
  return TqdExtended::Make(aNegative, static_cast<uint16_t>(exponent + 63 + kExtendedBias), significand);
}

uint64_t magnitude(int64_t aValue) {
  return aValue < 0 ? uint64_t{0} - static_cast<uint64_t>(aValue) : static_cast<uint64_t>(aValue);
}

}  // namespace

TqdExtended qdInt64ToExtended(int64_t aValue) {
  if (aValue == 0) return TqdExtended{};
  return extendedFromWide(aValue < 0, magnitude(aValue), 0, false);
}

TqdExtended qdCurrencyToExtended(int64_t aImage) {
  if (aImage == 0) return TqdExtended{};
  const uint64_t value = magnitude(aImage);
  // Shift the dividend up as far as 128 bits allow so the quotient keeps more
  // than 64 significant bits; the remainder decides ties.
  const int shift = 127 - std::bit_width(value);
  const unsigned __int128 dividend = static_cast<unsigned __int128>(value) << shift;
  const unsigned __int128 quotient = dividend / 10000;
  const bool sticky = dividend % 10000 != 0;
  return extendedFromWide(aImage < 0, quotient, -shift, sticky);
}

bool qdExtendedScaledRound(const TqdExtended& aValue, uint32_t aScale, int64_t& aRounded, bool& aIntegral,
                           bool& aOverflow) {
  aRounded = 0;
  aIntegral = true;
  aOverflow = false;
  if (qdExtendedIsNaN(aValue)) return false;
  const uint16_t signAndExponent = aValue.SignAndExponent();
  const bool negative = (signAndExponent & 0x8000) != 0;
  const int biased = signAndExponent & kMaxExponent;
  const uint64_t significand = aValue.Significand();
  const auto saturate = [&] {
    aOverflow = true;
    aRounded = negative ? INT64_MIN : INT64_MAX;
    return true;
  };
  if (biased == kMaxExponent) return saturate();  // an infinity
  if (significand == 0 || aScale == 0) return true;
  // value = significand x 2^exponent; biased exponent 0 holds the denormals.
  const int biasedExponent = (biased == 0 ? 1 : biased) - kExtendedBias - 63;
  // The product rounded to the 64-bit significand, as Extended arithmetic
  // rounds it: 0.0001 times 10^4 is then 1 exactly.
  unsigned __int128 product = static_cast<unsigned __int128>(significand) * aScale;  // below 2^96
  int exponent = biasedExponent;
  const int width =
      128 - (static_cast<uint64_t>(product >> 64) != 0 ? std::countl_zero(static_cast<uint64_t>(product >> 64))
                                                       : 64 + std::countl_zero(static_cast<uint64_t>(product)));
  if (width > 64) {
    const int drop = width - 64;
    unsigned __int128 kept = product >> drop;
    const unsigned __int128 rest = product & ((static_cast<unsigned __int128>(1) << drop) - 1);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
    if (rest > half || (rest == half && (kept & 1) != 0)) ++kept;
    product = kept;
    exponent += drop;
  }
  unsigned __int128 whole = 0;
  if (exponent >= 0) {
    // A normalized significand is at least 2^63, so only -2^63 itself fits
    // here; the bound also keeps the shift inside 128 bits.
    if (exponent >= 30) return saturate();
    whole = product << exponent;
  } else if (-exponent >= 128) {
    aIntegral = false;  // far below one half: rounds to zero
  } else {
    const int shift = -exponent;
    whole = product >> shift;
    const unsigned __int128 rest = product & ((static_cast<unsigned __int128>(1) << shift) - 1);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    aIntegral = rest == 0;
    if (rest > half || (rest == half && (whole & 1) != 0)) ++whole;
  }
  const unsigned __int128 limit = negative ? static_cast<unsigned __int128>(1) << 63 : (uint64_t{1} << 63) - 1;
  if (whole > limit) return saturate();
  aRounded = negative ? static_cast<int64_t>(uint64_t{0} - static_cast<uint64_t>(whole)) : static_cast<int64_t>(whole);
  return true;
}

}  // namespace qd
