// Checked float -> integer conversions.
//
// Casting NaN or a value outside the target's range to an integer is
// undefined behaviour in C++, so every such conversion in the engine goes
// through these routines: the Try forms report failure, the others raise
// EInvalidOp ("Invalid floating point operation"), as the platform's own
// Trunc and Round do. `qdRound` rounds half to even, the platform's rule.
#pragma once

#include <cstdint>

#include "platform/qdSysUtils.h"

namespace qd {

class EInvalidOp : public Exception {
 public:
  EInvalidOp();
};

// Truncation toward zero.
[[nodiscard]] bool qdTryTrunc(double aValue, int64_t& aResult);
int64_t qdTrunc(double aValue);

// Round half to even.
[[nodiscard]] bool qdTryRound(double aValue, int64_t& aResult);
int64_t qdRound(double aValue);

// Whether the double lies within [-2^63, 2^63) after truncation, i.e. can be
// truncated to an Int64 (false for NaN and infinities).
bool qdFitsInt64(double aTruncated);

}  // namespace qd
