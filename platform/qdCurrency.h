// The Currency type: a signed 64-bit integer counting 1/10000 units.
//
// `TqdCurrency` wraps the raw integer so that overloads can tell a currency
// from an Int64. Conversions from doubles round half to even on the decimal
// the double stands for (its shortest round-trip text), so 0.00005 becomes
// 0 and 0.00015 becomes 0.0002 as a reader of those numbers expects, not as
// their nearest binary values (0.000149999...) would give. Text forms live
// in qdFormat (CurrToStr, StrToCurr).
#pragma once

#include <compare>
#include <cstdint>
#include <string_view>

namespace qd {

constexpr int64_t kCurrencyScale = 10000;

struct TqdCurrency {
  int64_t Raw = 0;  // amount x 10000

  static constexpr TqdCurrency FromRaw(int64_t aRaw) { return TqdCurrency{aRaw}; }
  friend constexpr auto operator<=>(TqdCurrency, TqdCurrency) = default;
};

constexpr TqdCurrency kMinCurrency = TqdCurrency::FromRaw(INT64_MIN);
constexpr TqdCurrency kMaxCurrency = TqdCurrency::FromRaw(INT64_MAX);

// Fails (or raises EInvalidOp) for NaN, infinities and values outside the
// currency range.
[[nodiscard]] bool qdTryDoubleToCurrency(double aValue, TqdCurrency& aResult);
TqdCurrency qdDoubleToCurrency(double aValue);

double qdCurrencyToDouble(TqdCurrency aValue);

// Integer amount -> currency; fails (or raises EInvalidOp) outside the range.
[[nodiscard]] bool qdTryInt64ToCurrency(int64_t aValue, TqdCurrency& aResult);
TqdCurrency qdInt64ToCurrency(int64_t aValue);

// The currency rounded half to even to a whole amount.
int64_t qdCurrencyRound(TqdCurrency aValue);

// A decimal given as digit characters and a point position (the value is
// 0.d1d2d3... x 10^aPointPos, as in the platform's float record), rounded
// half to even to four decimals. Fails when the result is out of range.
[[nodiscard]] bool qdTryDecimalToCurrency(std::string_view aDigits, int aPointPos, bool aNegative,
                                          TqdCurrency& aResult);

}  // namespace qd
