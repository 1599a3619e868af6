// The engine's decimal arithmetic and the ISO date literals.
//
// Decimal values are `TBcd` records (declared with the variant in
// platform/qdVariant.h); `qdtFmtBCD` fields store the first
// (precision + 1) div 2 + 2 bytes of one:
//
//   offset  size  meaning
//   0       1     precision: number of digits, 1..64 (0 or above 64 is invalid)
//   1       1     bit 7: negative; bit 6: special flag (carried, never
//                 interpreted here); bits 0..5: scale, the digits after the
//                 decimal point (0..63)
//   2       32    packed digits, two per byte, most significant first in the
//                 high nibble; digit k lies in byte 2 + k div 2 (high nibble
//                 for even k); nibbles beyond the precision are 0
//
// The value is the digits read as an integer, divided by 10^scale, negated
// when bit 7 is set. Zero has several forms; text "0" and "" and an empty
// float record give precision 8, scale 2.
//
// Every conversion between text, BCD and currency here is exact: digits are
// moved as digits, never through a binary float. Only `qdBcdToDouble` and
// `qdDoubleToBcd` touch doubles, because a double is their input or output.
//
// Exceptions: `EqdBcdException` and its child `EqdBcdOverflow` (engine
// exceptions; the overflow carries 9985 and "BCD overflow") report
// precision, scale and length violations; `EBcdException` and its child
// `EBcdOverflowException` (plain exceptions) come from the text conversions.
//
// Entry points: the unit's start-up fills `qdBcdEntryPoints()` once, before
// other threads run, and installs the variant's BCD handler
// (`qdSetVariantBcdHandler`) so that BCD variants convert and compare by
// value. Nothing else here has shared state; every function may be called
// from any thread.
//
// Date literals: ISO texts (UTF-16, 1-based positions below) "yyyy-mm-dd",
// "yyyy-Www-d", "hh:nn:ss[.zzz]" and "yyyy-mm-dd hh:nn:ss[.zzz]". A text
// that begins and ends with a single quote has both removed first.
#pragma once

#include <cstdint>
#include <string_view>

#include "foundation/qdllException.h"
#include "platform/qdCurrency.h"
#include "platform/qdDateTime.h"
#include "platform/qdFormat.h"
#include "platform/qdStrings.h"
#include "platform/qdSysUtils.h"
#include "platform/qdVariant.h"

namespace qd {

// ---- Exceptions -------------------------------------------------------------

QD_DECLARE_EXCEPTION_CLASS(EqdBcdException, EqdBaseException);
QD_DECLARE_EXCEPTION_CLASS(EqdBcdOverflow, EqdBcdException);

class EBcdException : public Exception {
 public:
  using Exception::Exception;
};
class EBcdOverflowException : public EBcdException {
 public:
  using EBcdException::EBcdException;
};

// ---- Rescaling ----------------------------------------------------------------

// Loss flags of a rescaling, and the allowed masks of the checked forms.
constexpr uint8_t kBcdIntegerDigitLost = 1;   // a non-zero leading digit did not fit
constexpr uint8_t kBcdFractionDigitLost = 2;  // a non-zero trailing digit was cut

// Moves every digit to the place of equal weight in a record of the given
// precision (1..64) and scale (0..63); nothing is rounded. Sign and special
// bits are kept. aSource and aTarget may be the same record. A target
// precision or scale out of range, or a source precision above 64, raises
// EqdBcdOverflow.
uint8_t qdNormalizeBcd(const TBcd& aSource, TBcd& aTarget, int32_t aPrecision, int32_t aScale);
// Raises EqdBcdOverflow when a loss flag outside aAllowedMask is set.
void qdNormalizeBcdChecked(const TBcd& aSource, int32_t aPrecision, int32_t aScale, TBcd& aTarget,
                           uint8_t aAllowedMask);

// ---- Currency -------------------------------------------------------------------

// The currency as a record of precision 32, scale 4, rescaled to the given
// precision and scale; answers the loss flags.
uint8_t qdCurrToBcd(TBcd& aTarget, int32_t aPrecision, int32_t aScale, TqdCurrency aValue);
void qdCurrToBcdChecked(int32_t aPrecision, int32_t aScale, uint8_t aAllowedMask, TBcd& aTarget, TqdCurrency aValue);

// value x 10^4 rounded half to even; false for precision 0, an invalid record
// or a result outside the 64-bit range.
[[nodiscard]] bool qdTryBcdToCurr(const TBcd& aValue, TqdCurrency& aResult);

// ---- Variants -------------------------------------------------------------------

// A BCD variant's record as it is; any other value cast by the variant.
void qdVariantToBcd(const TqdVariant& aValue, TBcd& aTarget);
TqdVariant qdBcdToVariant(const TBcd& aValue);
// The currency image of a BCD(precision, scale) field: fraction digits beyond
// the scale cut toward zero; integer digits that do not fit, or a precision
// not above the scale, raise EqdBcdOverflow.
TqdCurrency qdVariantToBcdCurr(const TqdVariant& aValue, int32_t aPrecision, int32_t aScale);
// The native bytes of a FmtBCD(precision, scale) field: fraction digits are
// cut, integer digits that do not fit and a buffer shorter than
// (precision + 1) div 2 + 2 raise EqdBcdOverflow.
void qdVariantToFmtBcdBytes(const TqdVariant& aValue, int32_t aPrecision, int32_t aScale, uint8_t* aData,
                            int32_t aLength);
// The negated value as a BCD variant (a zero becomes a zero with the sign
// bit set). The variant itself has no unary operations; whoever evaluates a
// negation of a BCD variant calls this.
TqdVariant qdNegateBcdVariant(const TqdVariant& aValue);

// ---- Numbers and text -----------------------------------------------------------

// With aTruncate the fraction is dropped first; otherwise a fraction makes the
// platform's integer reader raise EConvertError, as does a value beyond Int64.
int64_t qdBcdToInt64(const TBcd& aValue, bool aTruncate);

// The value's shortest text with the current decimal separator (the low byte
// of the process-wide one); "0" for any zero. Precision 0 or above 64 raises
// EBcdOverflowException.
qdAnsiString qdBcdToAnsiStr(const TBcd& aValue);
double qdBcdToDouble(const TBcd& aValue);

// Text of digits, an optional leading "-" and at most one separator. "" and
// "0" give precision 8, scale 2; leading zeros are dropped; a text longer
// than 64 characters is cut to 64 when its separator lies among them, else
// refused. The raising forms throw EBcdException "%s is not a valid BCD value".
[[nodiscard]] bool qdTryAnsiStrToBcdSep(std::string_view aText, TBcd& aTarget, char aSeparator);
[[nodiscard]] bool qdTryAnsiStrToBcd(std::string_view aText, TBcd& aTarget);
void qdAnsiStrToBcdSep(std::string_view aText, char aSeparator, TBcd& aTarget);
void qdAnsiStrToBcd(std::string_view aText, TBcd& aTarget);

// The double's general text (15 significant digits) read by qdAnsiStrToBcd,
// so exponent forms, infinities and NaN raise EBcdException.
TBcd qdDoubleToBcd(double aValue);
// From a decimal record (0.d1d2... x 10^Exponent); more than 64 digit places
// raise EqdBcdOverflow.
void qdFloatRecToBcd(const TFloatRec& aRec, TBcd& aTarget);

// -1, 0 or 1 by value (every zero is equal). An invalid record raises
// EBcdOverflowException.
int qdBcdCompare(const TBcd& aLeft, const TBcd& aRight);

// ---- Entry points -----------------------------------------------------------------

// The conversions other units reach through the process-wide table. Filled by
// the unit's start-up and never changed afterwards.
struct TqdBcdEntryPoints {
  double (*BcdToDouble)(const TBcd& aValue) = nullptr;
  int (*BcdCompare)(const TBcd& aLeft, const TBcd& aRight) = nullptr;
  void (*StrToBcd)(std::string_view aText, TBcd& aTarget) = nullptr;
  void (*StrToBcdSep)(std::string_view aText, char aSeparator, TBcd& aTarget) = nullptr;
  TBcd (*DoubleToBcd)(double aValue) = nullptr;
  bool (*TryStrToBcd)(std::string_view aText, TBcd& aTarget) = nullptr;
  bool (*TryStrToBcdSep)(std::string_view aText, TBcd& aTarget, char aSeparator) = nullptr;
  bool (*TryBcdToCurr)(const TBcd& aValue, TqdCurrency& aResult) = nullptr;
};
const TqdBcdEntryPoints& qdBcdEntryPoints();

// ---- Date literals ------------------------------------------------------------------

// The decimal value of the digits among the aCount characters from position
// aStart (1-based); other characters and positions beyond the text are skipped.
int32_t qdParseDigits(qdStringView aText, int32_t aStart, int32_t aCount);

// "yyyy-mm-dd". The To form encodes without the form check (an invalid date
// raises EConvertError).
bool qdIsDateLiteral(qdStringView aText);
TDateTime qdDateLiteralToDate(qdStringView aText);
// "yyyy-Www-d" (or "w"): the ISO 8601 week date, day 1 = Monday.
[[nodiscard]] bool qdTryWeekDateLiteralToDate(qdStringView aText, TDateTime& aDate);
// "hh:nn:ss" or "hh:nn:ss.zzz".
bool qdIsTimeLiteral(qdStringView aText);
TDateTime qdTimeLiteralToTime(qdStringView aText);
// "yyyy-mm-dd hh:nn:ss" or "yyyy-mm-dd hh:nn:ss.zzz"; before 1899-12-30 the
// time is subtracted from the (negative) date, as TDateTime counts it.
bool qdIsTimestampLiteral(qdStringView aText);
TDateTime qdTimestampLiteralToDateTime(qdStringView aText);
// The value's text must be a literal of the kind, else EConvertError
// "Invalid date format %s", "Invalid time format %s" or
// "Invalid date/time format %s".
TDateTime qdDateFromVariant(const TqdVariant& aValue);
TDateTime qdTimeFromVariant(const TqdVariant& aValue);
TDateTime qdTimestampFromVariant(const TqdVariant& aValue);

// ---- Start and end ----------------------------------------------------------------------

void qdsdFmtBcdInitialize();
void qdsdFmtBcdFinalize();

}  // namespace qd
