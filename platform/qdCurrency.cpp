#include "platform/qdCurrency.h"

#include <charconv>
#include <cmath>
#include <string>

#include "platform/qdMath.h"

namespace qd {

bool qdTryDecimalToCurrency(std::string_view aDigits, int aPointPos, bool aNegative, TqdCurrency& aResult) {
  while (!aDigits.empty() && aDigits.front() == '0') {
    aDigits.remove_prefix(1);
    --aPointPos;
  }
  while (!aDigits.empty() && aDigits.back() == '0') aDigits.remove_suffix(1);
  if (aDigits.empty()) {
    aResult.Raw = 0;
    return true;
  }
  // The raw integer is 0.d1d2... x 10^kept: its digits are the first `kept`
  // ones, the next one and those after it decide the rounding.
  const int64_t kept = static_cast<int64_t>(aPointPos) + 4;
  if (kept > 19) return false;  // at least 10^19 > 2^63
  const int64_t count = static_cast<int64_t>(aDigits.size());
  unsigned __int128 raw = 0;
  for (int64_t i = 0; i < kept; ++i) raw = raw * 10 + static_cast<unsigned>(i < count ? aDigits[i] - '0' : 0);
  if (kept >= 0 && kept < count) {
    const int cutDigit = aDigits[kept] - '0';
    bool roundUp = cutDigit > 5;
    if (cutDigit == 5) roundUp = kept + 1 < count || raw % 2 != 0;  // trailing zeros were stripped
    if (roundUp) ++raw;
  }
  constexpr unsigned __int128 kLimit = static_cast<unsigned __int128>(INT64_MAX) + 1;
  if (raw > kLimit || (raw == kLimit && !aNegative)) return false;
  aResult.Raw = aNegative ? static_cast<int64_t>(-static_cast<__int128>(raw)) : static_cast<int64_t>(raw);
  return true;
}

bool qdTryDoubleToCurrency(double aValue, TqdCurrency& aResult) {
  if (!std::isfinite(aValue)) return false;
  if (std::fabs(aValue) >= 1e15) return false;  // beyond 922337203685477.5807 in any case
  // Shortest text that reads back as the same double: d.ddddde+xx.
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, std::fabs(aValue), std::chars_format::scientific);
  if (ec != std::errc()) return false;
  const std::string_view text(buffer, static_cast<size_t>(end - buffer));
  const size_t ePos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, ePos))
    if (c != '.') digits.push_back(c);
  const int exponent = std::stoi(std::string(text.substr(ePos + 1)));
  return qdTryDecimalToCurrency(digits, exponent + 1, std::signbit(aValue), aResult);
}

TqdCurrency qdDoubleToCurrency(double aValue) {
  TqdCurrency result;
  if (!qdTryDoubleToCurrency(aValue, result)) throw EInvalidOp();
  return result;
}

double qdCurrencyToDouble(TqdCurrency aValue) {
  // Split so that the integer part converts exactly wherever it can.
  const int64_t whole = aValue.Raw / kCurrencyScale;
  const int64_t fraction = aValue.Raw % kCurrencyScale;
  return static_cast<double>(whole) + static_cast<double>(fraction) / static_cast<double>(kCurrencyScale);
}

bool qdTryInt64ToCurrency(int64_t aValue, TqdCurrency& aResult) {
  if (aValue > INT64_MAX / kCurrencyScale || aValue < INT64_MIN / kCurrencyScale) return false;
  aResult.Raw = aValue * kCurrencyScale;
  return true;
}

TqdCurrency qdInt64ToCurrency(int64_t aValue) {
  TqdCurrency result;
  if (!qdTryInt64ToCurrency(aValue, result)) throw EInvalidOp();
  return result;
}

int64_t qdCurrencyRound(TqdCurrency aValue) {
  int64_t whole = aValue.Raw / kCurrencyScale;
  const int64_t fraction = aValue.Raw % kCurrencyScale;  // sign of Raw
  const int64_t half = kCurrencyScale / 2;
  const int64_t magnitude = fraction < 0 ? -fraction : fraction;
  if (magnitude > half || (magnitude == half && whole % 2 != 0)) whole += aValue.Raw < 0 ? -1 : 1;
  return whole;
}

}  // namespace qd
