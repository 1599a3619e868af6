#include "dictionary/qdsdFmtBcd.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/qdProcessProfile.h"

namespace qd {

namespace {

constexpr int32_t kMaxBcdDigits = 64;
constexpr int32_t kMaxBcdScale = 63;
constexpr uint8_t kSignBit = 0x80;
constexpr uint8_t kSpecialBit = 0x40;
constexpr uint8_t kScaleMask = 0x3F;

// ---- Record access ------------------------------------------------------------

int32_t precisionOf(const TBcd& aValue) { return aValue.Bytes[0]; }
int32_t scaleOf(const TBcd& aValue) { return aValue.Bytes[1] & kScaleMask; }
bool isNegative(const TBcd& aValue) { return (aValue.Bytes[1] & kSignBit) != 0; }

int digitAt(const TBcd& aValue, int32_t aIndex) {
  const uint8_t packed = aValue.Bytes[2 + aIndex / 2];
  return aIndex % 2 == 0 ? packed >> 4 : packed & 0x0F;
}

void setDigit(TBcd& aValue, int32_t aIndex, int aDigit) {
  uint8_t& packed = aValue.Bytes[2 + aIndex / 2];
  if (aIndex % 2 == 0)
    packed = static_cast<uint8_t>((packed & 0x0F) | (aDigit << 4));
  else
    packed = static_cast<uint8_t>((packed & 0xF0) | aDigit);
}

TBcd zeroBcd(uint8_t aPrecision) {
  TBcd result;
  result.Bytes[0] = aPrecision;
  result.Bytes[1] = 2;
  return result;
}

[[noreturn]] void raiseOverflow() { throw EqdBcdOverflow(qdeOutOfRange, u"BCD overflow"); }

[[noreturn]] void raiseTextOverflow() { throw EBcdOverflowException(std::string_view("BCD overflow")); }

[[noreturn]] void raiseInvalidText(std::string_view aText) {
  throw EBcdException(Format(u"%s is not a valid BCD value", {TqdVarRec::Ansi(aText)}));
}

char currentSeparator() { return static_cast<char>(FormatSettings().DecimalSeparator & 0xFF); }

// ---- Decimal digits -------------------------------------------------------------

// A value as its significant digits: 0.digits x 10^pointPos. Comparison,
// text and currency all work on this form, so they agree with each other
// and never pass through a binary float.
struct TDecimalDigits {
  bool negative = false;
  std::string digits;  // no leading or trailing zeros; empty for zero
  int32_t pointPos = 0;
};

// False for a precision of 0 or above 64 and for a nibble that is no digit.
bool decode(const TBcd& aValue, TDecimalDigits& aResult) {
  const int32_t precision = precisionOf(aValue);
  if (precision == 0 || precision > kMaxBcdDigits) return false;
  aResult = TDecimalDigits();
  aResult.pointPos = precision - scaleOf(aValue);
  for (int32_t i = 0; i < precision; ++i) {
    const int digit = digitAt(aValue, i);
    if (digit > 9) return false;
    if (aResult.digits.empty() && digit == 0) {
      --aResult.pointPos;
      continue;
    }
    aResult.digits.push_back(static_cast<char>('0' + digit));
  }
  while (!aResult.digits.empty() && aResult.digits.back() == '0') aResult.digits.pop_back();
  if (aResult.digits.empty())
    aResult.pointPos = 0;
  else
    aResult.negative = isNegative(aValue);
  return true;
}

std::string decimalText(const TDecimalDigits& aValue, char aSeparator) {
  if (aValue.digits.empty()) return "0";
  const int32_t count = static_cast<int32_t>(aValue.digits.size());
  std::string text = aValue.negative ? "-" : "";
  if (aValue.pointPos <= 0) {
    text += '0';
    text += aSeparator;
    text.append(static_cast<size_t>(-aValue.pointPos), '0');
    text += aValue.digits;
  } else if (aValue.pointPos >= count) {
    text += aValue.digits;
    text.append(static_cast<size_t>(aValue.pointPos - count), '0');
  } else {
    text.append(aValue.digits, 0, static_cast<size_t>(aValue.pointPos));
    text += aSeparator;
    text.append(aValue.digits, static_cast<size_t>(aValue.pointPos));
  }
  return text;
}

std::string bcdText(const TBcd& aValue, char aSeparator) {
  TDecimalDigits decimal;
  if (!decode(aValue, decimal)) raiseTextOverflow();
  return decimalText(decimal, aSeparator);
}

// ---- Text to BCD -------------------------------------------------------------------

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The separator and "-" are taken only where they mean something: one
// separator, a sign only in front. Texts with them elsewhere have no
// meaningful value and are refused, as are texts without any digit (".",
// "-"), which would otherwise yield a record of precision 0.
bool tryTextToBcd(std::string_view aText, TBcd& aTarget, char aSeparator) {
  if (aText.empty() || aText == "0") {
    aTarget = zeroBcd(8);
    return true;
  }
  int32_t separatorCount = 0;
  bool anyDigit = false;
  for (size_t i = 0; i < aText.size(); ++i) {
    const char c = aText[i];
    if (isDigit(c)) {
      anyDigit = true;
    } else if (c == aSeparator) {
      ++separatorCount;
    } else if (c != '-' || i != 0) {
      return false;
    }
  }
  if (!anyDigit || separatorCount > 1) return false;

  // b: 1-based position of the separator in what is left, 0 without one.
  const size_t separatorAt = aText.find(aSeparator);
  int32_t b = separatorAt == std::string_view::npos ? 0 : static_cast<int32_t>(separatorAt) + 1;
  size_t pos = 0;
  const auto skip = [&] {
    ++pos;
    if (b > 0) --b;
  };
  while (pos < aText.size() && aText[pos] == '0') skip();
  bool negative = false;
  if (pos < aText.size() && aText[pos] == '-') {
    negative = true;
    skip();
    if (pos < aText.size() && aText[pos] == '0') skip();
  }

  std::string_view rest = aText.substr(pos);
  if (static_cast<int32_t>(rest.size()) > kMaxBcdDigits) {
    // Only fraction digits may be dropped; a longer integer part cannot be
    // held and is refused rather than marked invalid and reported as done.
    if (b < 1 || b > kMaxBcdDigits) return false;
    rest = rest.substr(0, kMaxBcdDigits);
  }
  const int32_t g = static_cast<int32_t>(rest.size());
  if (g == 0 || (g == 1 && b == 1)) {  // nothing but zeros (and the separator)
    aTarget = zeroBcd(10);
    return true;
  }

  TBcd result;
  int32_t digitCount = 0;
  for (char c : rest)
    if (c != aSeparator) setDigit(result, digitCount++, c - '0');
  result.Bytes[0] = static_cast<uint8_t>(digitCount);
  result.Bytes[1] = static_cast<uint8_t>(b > 0 ? g - b : 0);
  if (negative) result.Bytes[1] |= kSignBit;
  aTarget = result;
  return true;
}

// Digits and decimal exponent, read from a decimal record or an exponent
// text, into the packed form; false beyond 64 digit places.
bool tryDigitsToBcd(std::string_view aDigits, int64_t aExponent, bool aNegative, TBcd& aTarget) {
  if (aDigits.empty()) {
    aTarget = zeroBcd(8);
    return true;
  }
  const int64_t n = static_cast<int64_t>(aDigits.size());
  const int64_t leadingZeros = aExponent < 0 ? -aExponent : 0;
  const int64_t places = aExponent < 0 ? n - aExponent : std::max(n, aExponent);
  const int64_t scale = aExponent < n ? n - aExponent : 0;
  if (places > kMaxBcdDigits || scale > kMaxBcdScale) return false;  // the scale has six bits
  TBcd result;
  int32_t k = static_cast<int32_t>(leadingZeros);  // the leading zeros are already 0
  for (char c : aDigits) {
    if (!isDigit(c)) return false;
    setDigit(result, k++, c - '0');
  }
  result.Bytes[0] = static_cast<uint8_t>(places);
  result.Bytes[1] = static_cast<uint8_t>(scale);
  if (aNegative) result.Bytes[1] |= kSignBit;
  aTarget = result;
  return true;
}

// ---- The variant's handler ------------------------------------------------------------

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// The variant's cast from text: what qdTryAnsiStrToBcdSep reads with "." as
// the separator, plus blanks around, a leading "+" and an exponent, because
// the variant hands numbers over as their general text ("1E15").
bool variantFromText(qdStringView aText, TBcd& aValue) {
  while (!aText.empty() && isBlank(aText.front())) aText.remove_prefix(1);
  while (!aText.empty() && isBlank(aText.back())) aText.remove_suffix(1);
  std::string text;
  for (char16_t c : aText) {
    if (c > 0x7F) return false;
    text.push_back(static_cast<char>(c));
  }
  if (!text.empty() && text.front() == '+') {
    text.erase(0, 1);
    if (text.empty() || text.front() == '-') return false;
  }
  const size_t e = text.find_first_of("eE");
  if (e == std::string::npos) return tryTextToBcd(text, aValue, '.');

  // Mantissa [-]digits[.digits], exponent [+|-]digits.
  std::string_view mantissa(text.data(), e);
  std::string_view exponentText(text.data() + e + 1, text.size() - e - 1);
  bool negative = false;
  if (!mantissa.empty() && mantissa.front() == '-') {
    negative = true;
    mantissa.remove_prefix(1);
  }
  std::string digits;
  int64_t pointPos = 0;
  bool seenPoint = false;
  bool anyDigit = false;
  for (char c : mantissa) {
    if (isDigit(c)) {
      anyDigit = true;
      if (digits.empty() && c == '0') {
        if (seenPoint) --pointPos;
        continue;
      }
      digits.push_back(c);
      if (!seenPoint) ++pointPos;
    } else if (c == '.' && !seenPoint) {
      seenPoint = true;
    } else {
      return false;
    }
  }
  if (!anyDigit) return false;
  bool negativeExponent = false;
  if (!exponentText.empty() && (exponentText.front() == '-' || exponentText.front() == '+')) {
    negativeExponent = exponentText.front() == '-';
    exponentText.remove_prefix(1);
  }
  if (exponentText.empty()) return false;
  int64_t exponent = 0;
  for (char c : exponentText) {
    if (!isDigit(c)) return false;
    exponent = std::min<int64_t>(exponent * 10 + (c - '0'), 100000);
  }
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  return tryDigitsToBcd(digits, pointPos + (negativeExponent ? -exponent : exponent), negative, aValue);
}

qdString variantToText(const TBcd& aValue) { return AsciiToString(bcdText(aValue, '.')); }

const TqdVariantBcdHandler kVariantHandler{variantToText, variantFromText, qdBcdCompare};

TqdBcdEntryPoints entryPoints;

}  // namespace

// ---- Rescaling ----------------------------------------------------------------------------

uint8_t qdNormalizeBcd(const TBcd& aSource, TBcd& aTarget, int32_t aPrecision, int32_t aScale) {
  const int32_t n = precisionOf(aSource);
  if (aPrecision < 1 || aPrecision > kMaxBcdDigits || aScale < 0 || aScale > kMaxBcdScale || n > kMaxBcdDigits)
    raiseOverflow();
  const int32_t s = scaleOf(aSource);
  TBcd result;
  result.Bytes[0] = static_cast<uint8_t>(aPrecision);
  result.Bytes[1] = static_cast<uint8_t>(aScale | (aSource.Bytes[1] & (kSignBit | kSpecialBit)));
  uint8_t flags = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int digit = digitAt(aSource, i);
    const int32_t f = aPrecision + s + i - aScale - n;  // keeps the digit's place value
    if (f < 0) {
      if (digit != 0) flags |= kBcdIntegerDigitLost;
    } else if (f < aPrecision) {
      setDigit(result, f, digit);
    } else if (digit != 0) {
      flags |= kBcdFractionDigitLost;
    }
  }
  aTarget = result;
  return flags;
}

void qdNormalizeBcdChecked(const TBcd& aSource, int32_t aPrecision, int32_t aScale, TBcd& aTarget,
                           uint8_t aAllowedMask) {
  if ((qdNormalizeBcd(aSource, aTarget, aPrecision, aScale) & ~aAllowedMask) != 0) raiseOverflow();
}

// ---- Currency ---------------------------------------------------------------------------------

uint8_t qdCurrToBcd(TBcd& aTarget, int32_t aPrecision, int32_t aScale, TqdCurrency aValue) {
  // Precision 32, scale 4 holds every currency (19 digits at most).
  constexpr int32_t kDigits = 32;
  TBcd wide;
  wide.Bytes[0] = kDigits;
  wide.Bytes[1] = 4;
  uint64_t magnitude = aValue.Raw < 0 ? 0 - static_cast<uint64_t>(aValue.Raw) : static_cast<uint64_t>(aValue.Raw);
  if (aValue.Raw < 0) wide.Bytes[1] |= kSignBit;
  for (int32_t k = kDigits - 1; magnitude != 0; --k) {
    setDigit(wide, k, static_cast<int>(magnitude % 10));
    magnitude /= 10;
  }
  return qdNormalizeBcd(wide, aTarget, aPrecision, aScale);
}

void qdCurrToBcdChecked(int32_t aPrecision, int32_t aScale, uint8_t aAllowedMask, TBcd& aTarget, TqdCurrency aValue) {
  if ((qdCurrToBcd(aTarget, aPrecision, aScale, aValue) & ~aAllowedMask) != 0) raiseOverflow();
}

bool qdTryBcdToCurr(const TBcd& aValue, TqdCurrency& aResult) {
  TDecimalDigits decimal;
  if (!decode(aValue, decimal)) return false;
  return qdTryDecimalToCurrency(decimal.digits, decimal.pointPos, decimal.negative, aResult);
}

// ---- Variants ------------------------------------------------------------------------------------

void qdVariantToBcd(const TqdVariant& aValue, TBcd& aTarget) { aTarget = aValue.AsBcd(); }

TqdVariant qdBcdToVariant(const TBcd& aValue) { return TqdVariant::FromBcd(aValue); }

TqdCurrency qdVariantToBcdCurr(const TqdVariant& aValue, int32_t aPrecision, int32_t aScale) {
  if (aScale < 0) raiseOverflow();
  int64_t raw = aValue.AsCurrency().Raw;
  static constexpr int64_t kCut[4] = {10000, 1000, 100, 10};
  if (aScale < 4) raw -= raw % kCut[aScale];  // toward zero: the remainder has raw's sign
  const int64_t integerDigits = static_cast<int64_t>(aPrecision) - aScale;
  if (integerDigits <= 0) raiseOverflow();
  // Every currency has at most 15 integer digits, so only narrower fields
  // need the check.
  if (integerDigits < 15) {
    int64_t limit = 1;
    for (int64_t i = 0; i < integerDigits; ++i) limit *= 10;
    const int64_t integerPart = raw / kCurrencyScale;
    if (integerPart >= limit || integerPart <= -limit) raiseOverflow();
  }
  return TqdCurrency::FromRaw(raw);
}

void qdVariantToFmtBcdBytes(const TqdVariant& aValue, int32_t aPrecision, int32_t aScale, uint8_t* aData,
                            int32_t aLength) {
  if (aLength < (aPrecision + 1) / 2 + 2) raiseOverflow();
  TBcd value;
  qdVariantToBcd(aValue, value);
  TBcd target;
  qdNormalizeBcdChecked(value, aPrecision, aScale, target, kBcdFractionDigitLost);
  const size_t copied = std::min<size_t>(static_cast<size_t>(aLength), target.Bytes.size());
  std::memcpy(aData, target.Bytes.data(), copied);
  if (copied < static_cast<size_t>(aLength)) std::memset(aData + copied, 0, static_cast<size_t>(aLength) - copied);
}

TqdVariant qdNegateBcdVariant(const TqdVariant& aValue) {
  TBcd value;
  qdVariantToBcd(aValue, value);
  value.Bytes[1] ^= kSignBit;
  return TqdVariant::FromBcd(value);
}

// ---- Numbers and text ----------------------------------------------------------------------------------

int64_t qdBcdToInt64(const TBcd& aValue, bool aTruncate) {
  TBcd value = aValue;
  if (aTruncate && scaleOf(aValue) > 0) (void)qdNormalizeBcd(aValue, value, precisionOf(aValue), 0);  // cut on purpose
  return StrToInt64(qdAnsiToString(qdBcdToAnsiStr(value)));
}

qdAnsiString qdBcdToAnsiStr(const TBcd& aValue) { return bcdText(aValue, currentSeparator()); }

double qdBcdToDouble(const TBcd& aValue) {
  // The platform's reader rounds the full digit string correctly; the text
  // uses "." so a separator that is no single byte cannot get in the way.
  static const TFormatSettings pointSettings = TFormatSettings::Invariant();
  return StrToFloat(AsciiToString(bcdText(aValue, '.')), pointSettings);
}

bool qdTryAnsiStrToBcdSep(std::string_view aText, TBcd& aTarget, char aSeparator) {
  return tryTextToBcd(aText, aTarget, aSeparator);
}

bool qdTryAnsiStrToBcd(std::string_view aText, TBcd& aTarget) {
  return tryTextToBcd(aText, aTarget, currentSeparator());
}

void qdAnsiStrToBcdSep(std::string_view aText, char aSeparator, TBcd& aTarget) {
  if (!tryTextToBcd(aText, aTarget, aSeparator)) raiseInvalidText(aText);
}

void qdAnsiStrToBcd(std::string_view aText, TBcd& aTarget) { qdAnsiStrToBcdSep(aText, currentSeparator(), aTarget); }

TBcd qdDoubleToBcd(double aValue) {
  TBcd result;
  qdAnsiStrToBcd(qdStringToAnsi(FloatToStr(aValue)), result);
  return result;
}

void qdFloatRecToBcd(const TFloatRec& aRec, TBcd& aTarget) {
  // An infinity or NaN record may come without digits; it is no zero.
  if (aRec.Exponent == kFloatRecInfinity || aRec.Exponent == kFloatRecNaN) raiseOverflow();
  if (!tryDigitsToBcd(aRec.Digits, aRec.Exponent, aRec.Negative, aTarget)) raiseOverflow();
}

int qdBcdCompare(const TBcd& aLeft, const TBcd& aRight) {
  TDecimalDigits left;
  TDecimalDigits right;
  if (!decode(aLeft, left) || !decode(aRight, right)) raiseTextOverflow();
  const auto sign = [](const TDecimalDigits& d) { return d.digits.empty() ? 0 : d.negative ? -1 : 1; };
  const int leftSign = sign(left);
  const int rightSign = sign(right);
  if (leftSign != rightSign) return leftSign < rightSign ? -1 : 1;
  if (leftSign == 0) return 0;
  int magnitude;
  if (left.pointPos != right.pointPos)
    magnitude = left.pointPos < right.pointPos ? -1 : 1;
  else  // same magnitude order; without trailing zeros the texts compare as numbers
    magnitude = left.digits < right.digits ? -1 : left.digits == right.digits ? 0 : 1;
  return leftSign * magnitude;
}

// ---- Date literals ---------------------------------------------------------------------------------------

namespace {

qdStringView withoutQuotes(qdStringView aText) {
  if (aText.size() >= 2 && aText.front() == u'\'' && aText.back() == u'\'') return aText.substr(1, aText.size() - 2);
  return aText;
}

uint16_t digitsAt(qdStringView aText, int32_t aStart, int32_t aCount) {
  return static_cast<uint16_t>(qdParseDigits(aText, aStart, aCount));
}

// Form checks: the length and the punctuation at their 1-based positions.
bool hasDateForm(qdStringView t) { return t.size() == 10 && t[4] == u'-' && t[7] == u'-'; }
bool hasTimeForm(qdStringView t) { return (t.size() == 8 || t.size() == 12) && t[2] == u':' && t[5] == u':'; }
bool hasTimestampForm(qdStringView t) {
  return (t.size() == 19 || t.size() == 23) && t[4] == u'-' && t[7] == u'-' && t[10] == u' ' && t[13] == u':' &&
         t[16] == u':';
}

bool tryDate(qdStringView t, TDateTime& aDate) {
  return TryEncodeDate(digitsAt(t, 1, 4), digitsAt(t, 6, 2), digitsAt(t, 9, 2), aDate);
}

// The time's fields start at aFirst (1 for a time, 12 in a time stamp); the
// milliseconds count only behind a ".".
struct TTimeFields {
  uint16_t hour, minute, second, msec;
};
TTimeFields timeFields(qdStringView t, int32_t aFirst, size_t aLongLength) {
  const bool withMSec = t.size() == aLongLength && t[static_cast<size_t>(aFirst) + 7] == u'.';
  return {digitsAt(t, aFirst, 2), digitsAt(t, aFirst + 3, 2), digitsAt(t, aFirst + 6, 2),
          withMSec ? digitsAt(t, aFirst + 9, 3) : uint16_t{0}};
}

bool tryTime(qdStringView t, int32_t aFirst, size_t aLongLength, TDateTime& aTime) {
  const TTimeFields f = timeFields(t, aFirst, aLongLength);
  return TryEncodeTime(f.hour, f.minute, f.second, f.msec, aTime);
}

TDateTime encodeTime(qdStringView t, int32_t aFirst, size_t aLongLength) {
  const TTimeFields f = timeFields(t, aFirst, aLongLength);
  return EncodeTime(f.hour, f.minute, f.second, f.msec);
}

// 1 = Monday .. 7 = Sunday.
int isoDayOfWeek(TDateTime aDate) { return (DayOfWeek(aDate) + 5) % 7 + 1; }

[[noreturn]] void raiseLiteral(const char16_t* aFormat, const qdString& aText) {
  throw EConvertError(Format(aFormat, {aText}));
}

}  // namespace

int32_t qdParseDigits(qdStringView aText, int32_t aStart, int32_t aCount) {
  int64_t value = 0;
  const int64_t end = static_cast<int64_t>(aStart) + aCount;
  for (int64_t pos = std::max<int64_t>(aStart, 1); pos < end && pos <= static_cast<int64_t>(aText.size()); ++pos) {
    const char16_t c = aText[static_cast<size_t>(pos - 1)];
    if (c >= u'0' && c <= u'9') value = std::min<int64_t>(value * 10 + (c - u'0'), INT32_MAX);
  }
  return static_cast<int32_t>(value);
}

bool qdIsDateLiteral(qdStringView aText) {
  const qdStringView t = withoutQuotes(aText);
  TDateTime date;
  return hasDateForm(t) && tryDate(t, date);
}

TDateTime qdDateLiteralToDate(qdStringView aText) {
  const qdStringView t = withoutQuotes(aText);
  return EncodeDate(digitsAt(t, 1, 4), digitsAt(t, 6, 2), digitsAt(t, 9, 2));
}

bool qdTryWeekDateLiteralToDate(qdStringView aText, TDateTime& aDate) {
  const qdStringView t = withoutQuotes(aText);
  if (t.size() != 10 || t[4] != u'-' || (t[5] != u'W' && t[5] != u'w') || t[8] != u'-') return false;
  const uint16_t year = digitsAt(t, 1, 4);
  const int32_t week = qdParseDigits(t, 7, 2);
  const int32_t day = qdParseDigits(t, 10, 1);
  TDateTime january1;
  TDateTime january4;
  if (week < 1 || day < 1 || day > 7 || !TryEncodeDate(year, 1, 1, january1) || !TryEncodeDate(year, 1, 4, january4))
    return false;
  // A year has 53 weeks when it starts on a Thursday, or on a Wednesday in a
  // leap year; week 1 is the one holding 4 January.
  const int startDay = isoDayOfWeek(january1);
  const int32_t weeks = startDay == 4 || (startDay == 3 && IsLeapYear(year)) ? 53 : 52;
  if (week > weeks) return false;
  const TDateTime date = january4 - (isoDayOfWeek(january4) - 1) + (week - 1) * 7 + (day - 1);
  if (date < kMinDateTime || date >= kMaxDateTime) return false;
  aDate = date;
  return true;
}

bool qdIsTimeLiteral(qdStringView aText) {
  const qdStringView t = withoutQuotes(aText);
  TDateTime time;
  return hasTimeForm(t) && tryTime(t, 1, 12, time);
}

TDateTime qdTimeLiteralToTime(qdStringView aText) { return encodeTime(withoutQuotes(aText), 1, 12); }

bool qdIsTimestampLiteral(qdStringView aText) {
  const qdStringView t = withoutQuotes(aText);
  TDateTime date;
  TDateTime time;
  return hasTimestampForm(t) && tryDate(t, date) && tryTime(t, 12, 23, time);
}

TDateTime qdTimestampLiteralToDateTime(qdStringView aText) {
  const qdStringView t = withoutQuotes(aText);
  const TDateTime date = EncodeDate(digitsAt(t, 1, 4), digitsAt(t, 6, 2), digitsAt(t, 9, 2));
  const TDateTime time = encodeTime(t, 12, 23);
  return date < 0 ? date - time : date + time;
}

TDateTime qdDateFromVariant(const TqdVariant& aValue) {
  const qdString text = VarToStr(aValue);
  if (!qdIsDateLiteral(text)) raiseLiteral(u"Invalid date format %s", text);
  return qdDateLiteralToDate(text);
}

TDateTime qdTimeFromVariant(const TqdVariant& aValue) {
  const qdString text = VarToStr(aValue);
  if (!qdIsTimeLiteral(text)) raiseLiteral(u"Invalid time format %s", text);
  return qdTimeLiteralToTime(text);
}

TDateTime qdTimestampFromVariant(const TqdVariant& aValue) {
  const qdString text = VarToStr(aValue);
  if (!qdIsTimestampLiteral(text)) raiseLiteral(u"Invalid date/time format %s", text);
  return qdTimestampLiteralToDateTime(text);
}

// ---- Entry points and start-up -----------------------------------------------------------------------

const TqdBcdEntryPoints& qdBcdEntryPoints() { return entryPoints; }

void qdsdFmtBcdInitialize() {
  entryPoints.BcdToDouble = qdBcdToDouble;
  entryPoints.BcdCompare = qdBcdCompare;
  entryPoints.StrToBcd = qdAnsiStrToBcd;
  entryPoints.StrToBcdSep = qdAnsiStrToBcdSep;
  entryPoints.DoubleToBcd = qdDoubleToBcd;
  entryPoints.TryStrToBcd = qdTryAnsiStrToBcd;
  entryPoints.TryStrToBcdSep = qdTryAnsiStrToBcdSep;
  entryPoints.TryBcdToCurr = qdTryBcdToCurr;
  qdSetVariantBcdHandler(&kVariantHandler);
  // Proves the currency path once, before anything depends on it.
  TBcd check;
  qdCurrToBcdChecked(32, 4, 0, check, TqdCurrency::FromRaw(-kCurrencyScale));
}

void qdsdFmtBcdFinalize() {
  qdSetVariantBcdHandler(nullptr);
  entryPoints = TqdBcdEntryPoints();
}

}  // namespace qd
