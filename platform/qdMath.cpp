#include "platform/qdMath.h"

#include <cmath>

namespace qd {

namespace {

constexpr double kTwoPow63 = 9223372036854775808.0;

}  // namespace

EInvalidOp::EInvalidOp() : Exception(std::string_view("Invalid floating point operation")) {}

bool qdFitsInt64(double aTruncated) { return aTruncated >= -kTwoPow63 && aTruncated < kTwoPow63; }

bool qdTryTrunc(double aValue, int64_t& aResult) {
  const double t = std::trunc(aValue);
  if (!qdFitsInt64(t)) return false;
  aResult = static_cast<int64_t>(t);
  return true;
}

int64_t qdTrunc(double aValue) {
  int64_t result;
  if (!qdTryTrunc(aValue, result)) throw EInvalidOp();
  return result;
}

bool qdTryRound(double aValue, int64_t& aResult) {
  if (!std::isfinite(aValue)) return false;
  double whole = std::trunc(aValue);
  const double fraction = std::fabs(aValue - whole);  // exact for doubles
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += aValue < 0 ? -1.0 : 1.0;
  if (!qdFitsInt64(whole)) return false;
  aResult = static_cast<int64_t>(whole);
  return true;
}

int64_t qdRound(double aValue) {
  int64_t result;
  if (!qdTryRound(aValue, result)) throw EInvalidOp();
  return result;
}

}  // namespace qd
