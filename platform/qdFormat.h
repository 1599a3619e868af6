// Locale format settings, the platform's number and date texts, and a
// `Format` with the platform's format-string rules, over libfmt.
//
// Classes and types:
//   TFormatSettings  separators, date/time formats, month/day names and
//                    currency layout of a locale; `Create(localeID)` knows
//                    1041 (ja-JP), 1033 (en-US) and 1031 (de-DE, decimal
//                    comma) and gives the invariant settings for any other
//                    id.
//   TFloatRec        a number as decimal digits, point position and sign,
//                    the record every float and currency text is made from.
//   TqdVarRec        one argument of `Format` (integers, floats, currency,
//                    Boolean, characters, strings, pointers).
//
// The process-wide settings (`FormatSettings()`) start as those of the
// process profile's locale; `qdSetProcessProfile` and tests replace them
// before other threads read them. The functions without a settings argument
// use them.
//
// Number texts follow the platform: `FloatToStr` gives 15 significant digits
// in general format ("0.1", "1E15", "1.5E-5"); digits are taken from the
// value rounded to 18 significant digits, then cut with ties away from zero,
// as the platform's decimal conversion does. Parse errors raise
// EConvertError with the platform's messages.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/qdCurrency.h"
#include "platform/qdDateTime.h"
#include "platform/qdStrings.h"

namespace qd {

struct TFormatSettings {
  qdString CurrencyString;
  uint8_t CurrencyFormat = 0;  // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
  uint8_t NegCurrFormat = 0;   // 0..15, the system's negative currency layouts
  uint8_t CurrencyDecimals = 2;
  char16_t ThousandSeparator = u',';  // 0: no grouping
  char16_t DecimalSeparator = u'.';
  char16_t DateSeparator = u'/';
  char16_t TimeSeparator = u':';
  char16_t ListSeparator = u',';
  qdString ShortDateFormat;
  qdString LongDateFormat;
  qdString TimeAMString;
  qdString TimePMString;
  qdString ShortTimeFormat;
  qdString LongTimeFormat;
  qdString ShortMonthNames[12];
  qdString LongMonthNames[12];
  qdString ShortDayNames[7];  // Sunday first
  qdString LongDayNames[7];
  uint16_t TwoDigitYearCenturyWindow = 50;

  static TFormatSettings Create(uint32_t aLocaleID);
  static TFormatSettings Invariant();
};

// The process-wide settings. Replace them only while no other thread reads
// them (start-up, tests).
const TFormatSettings& FormatSettings();
void SetFormatSettings(const TFormatSettings& aSettings);

// ---- Decimal record -------------------------------------------------------

constexpr int16_t kFloatRecInfinity = 0x7FFF;  // TFloatRec::Exponent of an infinity
constexpr int16_t kFloatRecNaN = -0x8000;      // TFloatRec::Exponent of a NaN

// The value is 0.d1d2d3... x 10^Exponent; Digits holds d1 d2 ... as ASCII
// without trailing zeros, and is empty for zero.
struct TFloatRec {
  int16_t Exponent = 0;
  bool Negative = false;
  std::string Digits;
};

// At most aPrecision significant digits (1..18) and at most aDecimals digits
// after the decimal point.
TFloatRec FloatToDecimal(double aValue, int aPrecision, int aDecimals);
// Exact digits of a currency, at most aDecimals after the point.
TFloatRec CurrToDecimal(TqdCurrency aValue, int aDecimals);

enum TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber, ffCurrency };

qdString FloatToStr(double aValue);
qdString FloatToStr(double aValue, const TFormatSettings& aSettings);
qdString FloatToStrF(double aValue, TFloatFormat aFormat, int aPrecision, int aDigits);
qdString FloatToStrF(double aValue, TFloatFormat aFormat, int aPrecision, int aDigits,
                     const TFormatSettings& aSettings);
qdString CurrToStr(TqdCurrency aValue);
qdString CurrToStr(TqdCurrency aValue, const TFormatSettings& aSettings);
qdString CurrToStrF(TqdCurrency aValue, TFloatFormat aFormat, int aDigits);
qdString CurrToStrF(TqdCurrency aValue, TFloatFormat aFormat, int aDigits, const TFormatSettings& aSettings);
// Lays out a decimal record in one of the formats.
qdString FloatRecToText(const TFloatRec& aRec, TFloatFormat aFormat, int aPrecision, int aDigits,
                        const TFormatSettings& aSettings);

// ---- Integers -------------------------------------------------------------

qdString IntToStr(int64_t aValue);
qdString UIntToStr(uint64_t aValue);
// Upper-case hex, at least aDigits digits; a negative value shows its two's
// complement in the width of its type.
qdString IntToHex(int32_t aValue, int aDigits);
qdString IntToHex(int64_t aValue, int aDigits);
qdString IntToHex(uint32_t aValue, int aDigits);
qdString IntToHex(uint64_t aValue, int aDigits);

// Accept leading blanks, a sign, decimal digits or a hex prefix ("$", "0x",
// "x"); nothing may follow. Hex may give the full unsigned bit pattern.
[[nodiscard]] bool TryStrToInt(qdStringView aText, int32_t& aValue);
[[nodiscard]] bool TryStrToInt64(qdStringView aText, int64_t& aValue);
[[nodiscard]] bool TryStrToUInt64(qdStringView aText, uint64_t& aValue);
int32_t StrToInt(qdStringView aText);
int64_t StrToInt64(qdStringView aText);
uint64_t StrToUInt64(qdStringView aText);
int32_t StrToIntDef(qdStringView aText, int32_t aDefault);

// ---- Floats, currency, Booleans --------------------------------------------

// Blanks around, a sign, digits with at most one decimal separator, an
// optional exponent; also "INF", "-INF", "NAN". No thousand separators.
[[nodiscard]] bool TryStrToFloat(qdStringView aText, double& aValue);
[[nodiscard]] bool TryStrToFloat(qdStringView aText, double& aValue, const TFormatSettings& aSettings);
double StrToFloat(qdStringView aText);
double StrToFloat(qdStringView aText, const TFormatSettings& aSettings);
[[nodiscard]] bool TryStrToCurr(qdStringView aText, TqdCurrency& aValue);
[[nodiscard]] bool TryStrToCurr(qdStringView aText, TqdCurrency& aValue, const TFormatSettings& aSettings);
TqdCurrency StrToCurr(qdStringView aText);
TqdCurrency StrToCurr(qdStringView aText, const TFormatSettings& aSettings);

// "True"/"False" in any letter case, else a number (non-zero is true).
[[nodiscard]] bool TryStrToBool(qdStringView aText, bool& aValue);
bool StrToBool(qdStringView aText);
qdString BoolToStr(bool aValue, bool aUseBoolStrs = false);  // "True"/"False" or "-1"/"0"

// ---- Dates and times --------------------------------------------------------

// Format letters (any case): c, d, dd, ddd, dddd, ddddd (short date), dddddd
// (long date), m, mm, mmm, mmmm (minutes right after an hour), yy, yyyy, h,
// hh, n, nn, s, ss, z, zzz, t (short time), tt (long time), am/pm, a/p, ampm,
// / and : (the separators), "..." and '...' literals.
qdString FormatDateTime(qdStringView aFormat, TDateTime aDateTime);
qdString FormatDateTime(qdStringView aFormat, TDateTime aDateTime, const TFormatSettings& aSettings);
qdString DateToStr(TDateTime aDate);
qdString DateToStr(TDateTime aDate, const TFormatSettings& aSettings);
qdString TimeToStr(TDateTime aTime);
qdString TimeToStr(TDateTime aTime, const TFormatSettings& aSettings);
qdString DateTimeToStr(TDateTime aDateTime);
qdString DateTimeToStr(TDateTime aDateTime, const TFormatSettings& aSettings);

// Dates are read in the order of the short date format with the date
// separator (a first number of three or more digits is a year: y/m/d);
// two-digit years use the century window. Times are h:n[:s[.z]] with an
// optional AM/PM string before or after.
[[nodiscard]] bool TryStrToDate(qdStringView aText, TDateTime& aValue, const TFormatSettings& aSettings);
[[nodiscard]] bool TryStrToTime(qdStringView aText, TDateTime& aValue, const TFormatSettings& aSettings);
[[nodiscard]] bool TryStrToDateTime(qdStringView aText, TDateTime& aValue, const TFormatSettings& aSettings);
TDateTime StrToDate(qdStringView aText);
TDateTime StrToDate(qdStringView aText, const TFormatSettings& aSettings);
TDateTime StrToTime(qdStringView aText);
TDateTime StrToTime(qdStringView aText, const TFormatSettings& aSettings);
TDateTime StrToDateTime(qdStringView aText);
TDateTime StrToDateTime(qdStringView aText, const TFormatSettings& aSettings);

// ---- Format -----------------------------------------------------------------

// One argument of Format. String arguments are copied, so a record may
// outlive the text it was made from; narrow text is taken as UTF-8 unless
// made with Ansi().
class TqdVarRec {
 public:
  enum TKind {
    vtInteger,
    vtInt64,
    vtUInt64,
    vtExtended,
    vtCurrency,
    vtBoolean,
    vtWideChar,
    vtUnicodeString,
    vtAnsiString,
    vtPointer
  };

  template <typename T>
  requires std::is_integral_v<T> &&
      (!std::is_same_v<T, bool>)&&(!std::is_same_v<T, char>)&&(!std::is_same_v<T, char16_t>)&&(
          !std::is_same_v<T, char32_t>)&&(!std::is_same_v<T, char8_t>)&&(!std::is_same_v<T, wchar_t>)
          TqdVarRec(T aValue) {  // NOLINT(google-explicit-constructor): argument lists read naturally
    if constexpr (std::is_signed_v<T> && sizeof(T) <= 4) {
      fKind = vtInteger;
      fInt = aValue;
    } else if constexpr (std::is_signed_v<T> || sizeof(T) <= 4) {
      fKind = vtInt64;
      fInt = static_cast<int64_t>(aValue);
    } else {
      fKind = vtUInt64;
      fUInt = aValue;
    }
  }
  TqdVarRec(double aValue) : fKind(vtExtended), fDouble(aValue) {}                             // NOLINT
  TqdVarRec(float aValue) : fKind(vtExtended), fDouble(aValue) {}                              // NOLINT
  TqdVarRec(TqdCurrency aValue) : fKind(vtCurrency), fInt(aValue.Raw) {}                       // NOLINT
  TqdVarRec(bool aValue) : fKind(vtBoolean), fInt(aValue ? 1 : 0) {}                           // NOLINT
  TqdVarRec(char16_t aValue) : fKind(vtWideChar), fInt(aValue) {}                              // NOLINT
  TqdVarRec(const char16_t* aValue) : fKind(vtUnicodeString), fText(aValue ? aValue : u"") {}  // NOLINT
  TqdVarRec(const qdString& aValue) : fKind(vtUnicodeString), fText(aValue) {}                 // NOLINT
  TqdVarRec(qdStringView aValue) : fKind(vtUnicodeString), fText(aValue) {}                    // NOLINT
  TqdVarRec(std::string_view aUtf8) : fKind(vtUnicodeString), fText(Utf8ToString(aUtf8)) {}    // NOLINT
  TqdVarRec(const std::string& aUtf8) : TqdVarRec(std::string_view(aUtf8)) {}                  // NOLINT
  TqdVarRec(const char* aUtf8) : TqdVarRec(std::string_view(aUtf8 ? aUtf8 : "")) {}            // NOLINT
  TqdVarRec(const void* aValue) : fKind(vtPointer), fPointer(aValue) {}                        // NOLINT
  TqdVarRec(std::nullptr_t) : fKind(vtPointer), fPointer(nullptr) {}                           // NOLINT
  // 8-bit text in the process's ANSI code page.
  static TqdVarRec Ansi(std::string_view aBytes);

  TKind Kind() const { return fKind; }
  int64_t AsInt64() const { return fInt; }
  uint64_t AsUInt64() const { return fUInt; }
  double AsDouble() const { return fDouble; }
  qdStringView AsText() const { return fText; }
  std::string_view AsBytes() const { return fBytes; }
  const void* AsPointer() const { return fPointer; }

 private:
  TqdVarRec() = default;
  TKind fKind = vtInteger;
  int64_t fInt = 0;
  uint64_t fUInt = 0;
  double fDouble = 0;
  qdString fText;
  std::string fBytes;
  const void* fPointer = nullptr;
};

// The argument list of Format as callers pass it: `Format(u"%s: %d", {name, code})`.
using TqdFormatArgs = std::initializer_list<TqdVarRec>;

// %[index:][-][width][.precision]type with type d u x e f g n m p s (any
// case); width, precision and index may be "*" (taken from the next
// argument); "%%" is a percent sign. A bad format, a missing argument or an
// argument of the wrong kind raises EConvertError.
qdString Format(qdStringView aFormat, std::span<const TqdVarRec> aArgs);
qdString Format(qdStringView aFormat, std::span<const TqdVarRec> aArgs, const TFormatSettings& aSettings);
qdString Format(qdStringView aFormat, std::initializer_list<TqdVarRec> aArgs);
qdString Format(qdStringView aFormat, std::initializer_list<TqdVarRec> aArgs, const TFormatSettings& aSettings);

}  // namespace qd
