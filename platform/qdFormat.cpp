#include "platform/qdFormat.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "platform/qdProcessProfile.h"
#include "platform/qdSysUtils.h"

namespace qd {

// ============================================================================
// Format settings
// ============================================================================

namespace {

void setNames(qdString (&aTarget)[12], std::initializer_list<const char16_t*> aNames) {
  size_t i = 0;
  for (const char16_t* name : aNames) aTarget[i++] = name;
}

void setNames(qdString (&aTarget)[7], std::initializer_list<const char16_t*> aNames) {
  size_t i = 0;
  for (const char16_t* name : aNames) aTarget[i++] = name;
}

void setEnglishNames(TFormatSettings& s) {
  setNames(s.ShortMonthNames,
           {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun", u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"});
  setNames(s.LongMonthNames, {u"January", u"February", u"March", u"April", u"May", u"June", u"July", u"August",
                              u"September", u"October", u"November", u"December"});
  setNames(s.ShortDayNames, {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"});
  setNames(s.LongDayNames, {u"Sunday", u"Monday", u"Tuesday", u"Wednesday", u"Thursday", u"Friday", u"Saturday"});
}

TFormatSettings& processSettings() {
  static TFormatSettings settings = TFormatSettings::Create(qdSystemLocaleID());
  return settings;
}

}  // namespace

TFormatSettings TFormatSettings::Invariant() {
  TFormatSettings s;
  s.CurrencyString = u"\u00A4";
  s.ShortDateFormat = u"MM/dd/yyyy";
  s.LongDateFormat = u"dddd, dd MMMM yyyy";
  s.TimeAMString = u"AM";
  s.TimePMString = u"PM";
  s.ShortTimeFormat = u"HH:mm";
  s.LongTimeFormat = u"HH:mm:ss";
  setEnglishNames(s);
  return s;
}

TFormatSettings TFormatSettings::Create(uint32_t aLocaleID) {
  TFormatSettings s = Invariant();
  switch (aLocaleID) {
    case 1041:  // ja-JP
      s.CurrencyString = u"\u00A5";
      s.CurrencyFormat = 0;
      s.NegCurrFormat = 1;
      s.CurrencyDecimals = 0;
      s.ShortDateFormat = u"yyyy/MM/dd";
      s.LongDateFormat = u"yyyy'\u5E74'M'\u6708'd'\u65E5'";
      s.TimeAMString = u"\u5348\u524D";
      s.TimePMString = u"\u5348\u5F8C";
      s.ShortTimeFormat = u"H:mm";
      s.LongTimeFormat = u"H:mm:ss";
      setNames(s.ShortMonthNames, {u"1\u6708", u"2\u6708", u"3\u6708", u"4\u6708", u"5\u6708", u"6\u6708", u"7\u6708",
                                   u"8\u6708", u"9\u6708", u"10\u6708", u"11\u6708", u"12\u6708"});
      for (int i = 0; i < 12; ++i) s.LongMonthNames[i] = s.ShortMonthNames[i];
      setNames(s.ShortDayNames, {u"\u65E5", u"\u6708", u"\u706B", u"\u6C34", u"\u6728", u"\u91D1", u"\u571F"});
      for (int i = 0; i < 7; ++i) s.LongDayNames[i] = s.ShortDayNames[i] + u"\u66DC\u65E5";
      break;
    case 1033:  // en-US
      s.CurrencyString = u"$";
      s.ShortDateFormat = u"M/d/yyyy";
      s.LongDateFormat = u"dddd, MMMM d, yyyy";
      s.ShortTimeFormat = u"h:mm AMPM";
      s.LongTimeFormat = u"h:mm:ss AMPM";
      break;
    case 1031:  // de-DE
      s.CurrencyString = u"\u20AC";
      s.CurrencyFormat = 3;
      s.NegCurrFormat = 8;
      s.ThousandSeparator = u'.';
      s.DecimalSeparator = u',';
      s.DateSeparator = u'.';
      s.ListSeparator = u';';
      s.ShortDateFormat = u"dd.MM.yyyy";
      s.LongDateFormat = u"dddd, d. MMMM yyyy";
      s.TimeAMString = u"";
      s.TimePMString = u"";
      s.ShortTimeFormat = u"HH:mm";
      s.LongTimeFormat = u"HH:mm:ss";
      setNames(s.ShortMonthNames,
               {u"Jan", u"Feb", u"M\u00E4r", u"Apr", u"Mai", u"Jun", u"Jul", u"Aug", u"Sep", u"Okt", u"Nov", u"Dez"});
      setNames(s.LongMonthNames, {u"Januar", u"Februar", u"M\u00E4rz", u"April", u"Mai", u"Juni", u"Juli", u"August",
                                  u"September", u"Oktober", u"November", u"Dezember"});
      setNames(s.ShortDayNames, {u"So", u"Mo", u"Di", u"Mi", u"Do", u"Fr", u"Sa"});
      setNames(s.LongDayNames,
               {u"Sonntag", u"Montag", u"Dienstag", u"Mittwoch", u"Donnerstag", u"Freitag", u"Samstag"});
      break;
    default:
      break;
  }
  return s;
}

const TFormatSettings& FormatSettings() { return processSettings(); }

void SetFormatSettings(const TFormatSettings& aSettings) { processSettings() = aSettings; }

// ============================================================================
// Decimal records and number texts
// ============================================================================

namespace {

constexpr int kMaxFloatDigits = 18;

qdString widen(std::string_view aAscii) { return qdString(aAscii.begin(), aAscii.end()); }

char16_t upperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Keeps the first aKeep digits of aRec (exponent aRec.Exponent), rounding the
// cut half away from zero, then drops trailing zeros.
void roundDigits(TFloatRec& aRec, int64_t aKeep) {
  std::string& digits = aRec.Digits;
  if (aKeep < static_cast<int64_t>(digits.size())) {
    const bool up = aKeep >= 0 && digits[static_cast<size_t>(aKeep)] >= '5';
    digits.resize(static_cast<size_t>(std::max<int64_t>(aKeep, 0)));
    if (up) {
      size_t i = digits.size();
      while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
      if (i == 0) {
        digits.insert(digits.begin(), '1');
        digits.pop_back();
        if (digits.empty()) digits = "1";
        ++aRec.Exponent;
      } else {
        ++digits[i - 1];
      }
    }
  }
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  if (digits.empty()) {
    aRec.Exponent = 0;
    aRec.Negative = false;
  }
}

}  // namespace

TFloatRec FloatToDecimal(double aValue, int aPrecision, int aDecimals) {
  TFloatRec rec;
  if (std::isnan(aValue)) {
    rec.Exponent = kFloatRecNaN;
    return rec;
  }
  rec.Negative = std::signbit(aValue);
  if (std::isinf(aValue)) {
    rec.Exponent = kFloatRecInfinity;
    return rec;
  }
  if (aValue == 0) {
    rec.Negative = false;
    return rec;
  }
  // 18 correctly rounded significant digits, as the platform's decimal
  // conversion produces them, then the cut below.
  const std::string text = fmt::format("{:.17e}", std::fabs(aValue));  // d.ddddddddddddddddde+xx
  const size_t ePos = text.find('e');
  rec.Digits.push_back(text[0]);
  rec.Digits.append(text, 2, ePos - 2);
  rec.Exponent = static_cast<int16_t>(std::stoi(text.substr(ePos + 1)) + 1);
  const int precision = std::clamp(aPrecision, 1, kMaxFloatDigits);
  roundDigits(rec, std::min<int64_t>(precision, static_cast<int64_t>(rec.Exponent) + aDecimals));
  return rec;
}

TFloatRec CurrToDecimal(TqdCurrency aValue, int aDecimals) {
  TFloatRec rec;
  rec.Negative = aValue.Raw < 0;
  const uint64_t magnitude = rec.Negative ? 0 - static_cast<uint64_t>(aValue.Raw) : static_cast<uint64_t>(aValue.Raw);
  if (magnitude == 0) {
    rec.Negative = false;
    return rec;
  }
  rec.Digits = std::to_string(magnitude);
  rec.Exponent = static_cast<int16_t>(rec.Digits.size()) - 4;
  roundDigits(rec, static_cast<int64_t>(rec.Exponent) + std::clamp(aDecimals, 0, 4));
  return rec;
}

namespace {

qdString exponentText(int aExponent, bool aPlusSign, int aMinDigits) {
  qdString out = u"E";
  if (aExponent < 0) {
    out += u'-';
  } else if (aPlusSign) {
    out += u'+';
  }
  std::string digits = std::to_string(aExponent < 0 ? -aExponent : aExponent);
  if (static_cast<int>(digits.size()) < aMinDigits)
    digits.insert(0, static_cast<size_t>(aMinDigits) - digits.size(), '0');
  return out + widen(digits);
}

// d[.ddd]E[sign]x; aPadTo > 0 pads the digits with zeros to that many.
qdString exponentialText(const TFloatRec& aRec, int aPadTo, bool aPlusSign, int aMinExponentDigits,
                         const TFormatSettings& aSettings) {
  std::string digits = aRec.Digits.empty() ? "0" : aRec.Digits;
  if (static_cast<int>(digits.size()) < aPadTo) digits.append(static_cast<size_t>(aPadTo) - digits.size(), '0');
  qdString out;
  if (aRec.Negative) out += u'-';
  out += static_cast<char16_t>(digits[0]);
  if (digits.size() > 1) {
    out += aSettings.DecimalSeparator;
    out += widen(std::string_view(digits).substr(1));
  }
  const int exponent = aRec.Digits.empty() ? 0 : aRec.Exponent - 1;
  return out + exponentText(exponent, aPlusSign, aMinExponentDigits);
}

qdString generalText(const TFloatRec& aRec, int aPrecision, int aMinExponentDigits, const TFormatSettings& aSettings) {
  if (aRec.Digits.empty()) return u"0";
  if (aRec.Exponent > aPrecision || aRec.Exponent < -3)
    return exponentialText(aRec, 0, false, aMinExponentDigits, aSettings);
  qdString out;
  if (aRec.Negative) out += u'-';
  const std::string_view digits = aRec.Digits;
  if (aRec.Exponent <= 0) {
    out += u'0';
    out += aSettings.DecimalSeparator;
    out.append(static_cast<size_t>(-aRec.Exponent), u'0');
    out += widen(digits);
    return out;
  }
  const size_t whole = static_cast<size_t>(aRec.Exponent);
  out += widen(digits.substr(0, std::min(whole, digits.size())));
  if (digits.size() < whole) out.append(whole - digits.size(), u'0');
  if (digits.size() > whole) {
    out += aSettings.DecimalSeparator;
    out += widen(digits.substr(whole));
  }
  return out;
}

// The unsigned fixed-point body: integer part (grouped if asked) and exactly
// aDecimals decimals.
qdString fixedBody(const TFloatRec& aRec, int aDecimals, bool aGrouped, const TFormatSettings& aSettings) {
  const std::string_view digits = aRec.Digits;
  const int64_t exponent = digits.empty() ? 0 : aRec.Exponent;
  const auto digitAt = [&](int64_t i) -> char16_t {
    return i >= 0 && i < static_cast<int64_t>(digits.size()) ? static_cast<char16_t>(digits[static_cast<size_t>(i)])
                                                             : u'0';
  };
  qdString whole;
  if (exponent <= 0) {
    whole = u"0";
  } else {
    for (int64_t i = 0; i < exponent; ++i) whole += digitAt(i);
  }
  qdString out;
  if (aGrouped && aSettings.ThousandSeparator != 0) {
    for (size_t i = 0; i < whole.size(); ++i) {
      if (i > 0 && (whole.size() - i) % 3 == 0) out += aSettings.ThousandSeparator;
      out += whole[i];
    }
  } else {
    out = whole;
  }
  if (aDecimals > 0) {
    out += aSettings.DecimalSeparator;
    for (int i = 0; i < aDecimals; ++i) out += digitAt(exponent + i);
  }
  return out;
}

qdString currencyText(const TFloatRec& aRec, int aDecimals, const TFormatSettings& aSettings) {
  const qdString body = fixedBody(aRec, aDecimals, true, aSettings);
  const qdString& c = aSettings.CurrencyString;
  const bool negative = aRec.Negative && !aRec.Digits.empty();
  if (!negative) {
    switch (aSettings.CurrencyFormat) {
      case 1:
        return body + c;
      case 2:
        return c + u" " + body;
      case 3:
        return body + u" " + c;
      default:
        return c + body;
    }
  }
  switch (aSettings.NegCurrFormat) {
    case 1:
      return u"-" + c + body;
    case 2:
      return c + u"-" + body;
    case 3:
      return c + body + u"-";
    case 4:
      return u"(" + body + c + u")";
    case 5:
      return u"-" + body + c;
    case 6:
      return body + u"-" + c;
    case 7:
      return body + c + u"-";
    case 8:
      return u"-" + body + u" " + c;
    case 9:
      return u"-" + c + u" " + body;
    case 10:
      return body + u" " + c + u"-";
    case 11:
      return c + u" " + body + u"-";
    case 12:
      return c + u" -" + body;
    case 13:
      return body + u"- " + c;
    case 14:
      return u"(" + c + u" " + body + u")";
    case 15:
      return u"(" + body + u" " + c + u")";
    default:
      return u"(" + c + body + u")";
  }
}

int decimalsFor(TFloatFormat aFormat, int aDigits) {
  return aFormat == ffGeneral || aFormat == ffExponent ? 9999 : std::clamp(aDigits, 0, 18);
}

}  // namespace

qdString FloatRecToText(const TFloatRec& aRec, TFloatFormat aFormat, int aPrecision, int aDigits,
                        const TFormatSettings& aSettings) {
  if (aRec.Exponent == kFloatRecNaN) return u"NAN";
  if (aRec.Exponent == kFloatRecInfinity) return aRec.Negative ? u"-INF" : u"INF";
  switch (aFormat) {
    case ffGeneral:
      return generalText(aRec, aPrecision, std::clamp(aDigits, 0, 4), aSettings);
    case ffExponent:
      return exponentialText(aRec, aPrecision, true, std::clamp(aDigits, 0, 4), aSettings);
    case ffFixed:
    case ffNumber:
    case ffCurrency: {
      // Too many integer digits for the precision: the general form instead.
      if (!aRec.Digits.empty() && aRec.Exponent > aPrecision) return generalText(aRec, aPrecision, 0, aSettings);
      const int decimals = std::clamp(aDigits, 0, 18);
      if (aFormat == ffCurrency) return currencyText(aRec, decimals, aSettings);
      const qdString body = fixedBody(aRec, decimals, aFormat == ffNumber, aSettings);
      return aRec.Negative && !aRec.Digits.empty() ? u"-" + body : body;
    }
  }
  return {};
}

qdString FloatToStr(double aValue) { return FloatToStr(aValue, FormatSettings()); }

qdString FloatToStr(double aValue, const TFormatSettings& aSettings) {
  return FloatToStrF(aValue, ffGeneral, 15, 0, aSettings);
}

qdString FloatToStrF(double aValue, TFloatFormat aFormat, int aPrecision, int aDigits) {
  return FloatToStrF(aValue, aFormat, aPrecision, aDigits, FormatSettings());
}

qdString FloatToStrF(double aValue, TFloatFormat aFormat, int aPrecision, int aDigits,
                     const TFormatSettings& aSettings) {
  const int precision = std::clamp(aPrecision, 1, kMaxFloatDigits);
  const TFloatRec rec = FloatToDecimal(aValue, precision, decimalsFor(aFormat, aDigits));
  return FloatRecToText(rec, aFormat, precision, aDigits, aSettings);
}

qdString CurrToStr(TqdCurrency aValue) { return CurrToStr(aValue, FormatSettings()); }

qdString CurrToStr(TqdCurrency aValue, const TFormatSettings& aSettings) {
  return CurrToStrF(aValue, ffGeneral, 0, aSettings);
}

qdString CurrToStrF(TqdCurrency aValue, TFloatFormat aFormat, int aDigits) {
  return CurrToStrF(aValue, aFormat, aDigits, FormatSettings());
}

qdString CurrToStrF(TqdCurrency aValue, TFloatFormat aFormat, int aDigits, const TFormatSettings& aSettings) {
  // A currency has at most 19 digits, all exact.
  constexpr int kCurrencyPrecision = 19;
  const TFloatRec rec = CurrToDecimal(aValue, aFormat == ffGeneral || aFormat == ffExponent ? 4 : aDigits);
  return FloatRecToText(rec, aFormat, kCurrencyPrecision, aDigits, aSettings);
}

// ============================================================================
// Integers
// ============================================================================

qdString IntToStr(int64_t aValue) { return widen(fmt::format_int(aValue).str()); }

qdString UIntToStr(uint64_t aValue) { return widen(fmt::format_int(aValue).str()); }

qdString IntToHex(uint64_t aValue, int aDigits) {
  return widen(fmt::format("{:0{}X}", aValue, std::clamp(aDigits, 0, 32)));
}

qdString IntToHex(int32_t aValue, int aDigits) { return IntToHex(uint64_t{static_cast<uint32_t>(aValue)}, aDigits); }

qdString IntToHex(int64_t aValue, int aDigits) { return IntToHex(static_cast<uint64_t>(aValue), aDigits); }

qdString IntToHex(uint32_t aValue, int aDigits) { return IntToHex(uint64_t{aValue}, aDigits); }

namespace {

struct ParsedInteger {
  bool negative = false;
  bool hex = false;
  unsigned __int128 magnitude = 0;
};

bool parseInteger(qdStringView aText, ParsedInteger& aResult) {
  size_t i = 0;
  while (i < aText.size() && isBlank(aText[i])) ++i;
  if (i < aText.size() && (aText[i] == u'-' || aText[i] == u'+')) aResult.negative = aText[i++] == u'-';
  if (i < aText.size() && aText[i] == u'$') {
    aResult.hex = true;
    ++i;
  } else if (i + 1 < aText.size() && aText[i] == u'0' && (aText[i + 1] == u'x' || aText[i + 1] == u'X')) {
    aResult.hex = true;
    i += 2;
  } else if (i < aText.size() && (aText[i] == u'x' || aText[i] == u'X')) {
    aResult.hex = true;
    ++i;
  }
  if (i == aText.size()) return false;
  constexpr unsigned __int128 kCap = static_cast<unsigned __int128>(1) << 65;
  for (; i < aText.size(); ++i) {
    const char16_t c = upperAscii(aText[i]);
    unsigned digit;
    if (isDigit(c)) {
      digit = c - u'0';
    } else if (aResult.hex && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return false;
    }
    aResult.magnitude = aResult.magnitude * (aResult.hex ? 16 : 10) + digit;
    if (aResult.magnitude > kCap) return false;
  }
  return true;
}

// The signed value of a parsed integer in a type of aBits bits; hex may
// spell the unsigned bit pattern.
bool signedFromParsed(const ParsedInteger& p, int aBits, int64_t& aValue) {
  const unsigned __int128 limit = static_cast<unsigned __int128>(1) << (aBits - 1);
  if (p.hex) {
    if (p.magnitude >= (limit << 1)) return false;
    // The bit pattern in aBits bits, sign-extended.
    const __int128 pattern = static_cast<__int128>(p.magnitude);
    __int128 value = pattern >= static_cast<__int128>(limit) ? pattern - static_cast<__int128>(limit << 1) : pattern;
    if (p.negative) value = -value;
    if (value < -static_cast<__int128>(limit) || value >= static_cast<__int128>(limit)) return false;
    aValue = static_cast<int64_t>(value);
    return true;
  }
  if (p.negative ? p.magnitude > limit : p.magnitude >= limit) return false;
  aValue = p.negative ? static_cast<int64_t>(-static_cast<__int128>(p.magnitude)) : static_cast<int64_t>(p.magnitude);
  return true;
}

[[noreturn]] void raiseConvert(const char* aTemplate, qdStringView aText) {
  throw EConvertError(Format(Utf8ToString(aTemplate), {aText}));
}

}  // namespace

bool TryStrToInt(qdStringView aText, int32_t& aValue) {
  ParsedInteger p;
  int64_t value;
  if (!parseInteger(aText, p) || !signedFromParsed(p, 32, value)) return false;
  aValue = static_cast<int32_t>(value);
  return true;
}

bool TryStrToInt64(qdStringView aText, int64_t& aValue) {
  ParsedInteger p;
  return parseInteger(aText, p) && signedFromParsed(p, 64, aValue);
}

bool TryStrToUInt64(qdStringView aText, uint64_t& aValue) {
  ParsedInteger p;
  if (!parseInteger(aText, p) || p.negative || p.magnitude > UINT64_MAX) return false;
  aValue = static_cast<uint64_t>(p.magnitude);
  return true;
}

int32_t StrToInt(qdStringView aText) {
  int32_t value;
  if (!TryStrToInt(aText, value)) raiseConvert("'%s' is not a valid integer value", aText);
  return value;
}

int64_t StrToInt64(qdStringView aText) {
  int64_t value;
  if (!TryStrToInt64(aText, value)) raiseConvert("'%s' is not a valid integer value", aText);
  return value;
}

uint64_t StrToUInt64(qdStringView aText) {
  uint64_t value;
  if (!TryStrToUInt64(aText, value)) raiseConvert("'%s' is not a valid integer value", aText);
  return value;
}

int32_t StrToIntDef(qdStringView aText, int32_t aDefault) {
  int32_t value;
  return TryStrToInt(aText, value) ? value : aDefault;
}

// ============================================================================
// Floats, currency, Booleans
// ============================================================================

namespace {

struct ParsedDecimal {
  enum Kind { kNumber, kInfinity, kNaN } kind = kNumber;
  bool negative = false;
  std::string digits;    // no leading zeros; empty for zero
  int64_t pointPos = 0;  // value = 0.digits x 10^pointPos
};

bool matchesWord(qdStringView aText, size_t aPos, std::string_view aWord) {
  if (aText.size() - aPos < aWord.size()) return false;
  for (size_t i = 0; i < aWord.size(); ++i)
    if (upperAscii(aText[aPos + i]) != static_cast<char16_t>(aWord[i])) return false;
  return true;
}

bool parseDecimal(qdStringView aText, char16_t aDecimalSeparator, ParsedDecimal& aResult) {
  size_t i = 0;
  const size_t n = aText.size();
  while (i < n && isBlank(aText[i])) ++i;
  if (i < n && (aText[i] == u'-' || aText[i] == u'+')) aResult.negative = aText[i++] == u'-';
  size_t end = n;
  while (end > i && isBlank(aText[end - 1])) --end;
  if (end - i == 3 && (matchesWord(aText, i, "INF") || matchesWord(aText, i, "NAN"))) {
    aResult.kind = matchesWord(aText, i, "INF") ? ParsedDecimal::kInfinity : ParsedDecimal::kNaN;
    return true;
  }
  int64_t wholeDigits = 0;
  bool seenSeparator = false;
  bool anyDigit = false;
  for (; i < end; ++i) {
    const char16_t c = aText[i];
    if (isDigit(c)) {
      anyDigit = true;
      if (aResult.digits.empty() && c == u'0') {
        if (seenSeparator) --aResult.pointPos;  // a leading zero after the point
        continue;
      }
      aResult.digits.push_back(static_cast<char>(c));
      if (!seenSeparator) ++wholeDigits;
    } else if (c == aDecimalSeparator && !seenSeparator) {
      seenSeparator = true;
    } else {
      break;
    }
  }
  if (!anyDigit) return false;
  int64_t exponent = 0;
  if (i < end && (aText[i] == u'e' || aText[i] == u'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < end && (aText[i] == u'-' || aText[i] == u'+')) negativeExponent = aText[i++] == u'-';
    if (i == end || !isDigit(aText[i])) return false;
    for (; i < end && isDigit(aText[i]); ++i) exponent = std::min<int64_t>(exponent * 10 + (aText[i] - u'0'), 100000);
    if (negativeExponent) exponent = -exponent;
  }
  if (i != end) return false;
  while (!aResult.digits.empty() && aResult.digits.back() == '0') aResult.digits.pop_back();
  aResult.pointPos += wholeDigits + exponent;
  if (aResult.digits.empty()) aResult.pointPos = 0;
  return true;
}

}  // namespace

bool TryStrToFloat(qdStringView aText, double& aValue) { return TryStrToFloat(aText, aValue, FormatSettings()); }

bool TryStrToFloat(qdStringView aText, double& aValue, const TFormatSettings& aSettings) {
  ParsedDecimal p;
  if (!parseDecimal(aText, aSettings.DecimalSeparator, p)) return false;
  double value;
  if (p.kind == ParsedDecimal::kNaN) {
    value = std::nan("");
  } else if (p.kind == ParsedDecimal::kInfinity) {
    value = HUGE_VAL;
  } else if (p.digits.empty()) {
    value = 0;
  } else {
    const std::string text = "0." + p.digits + "e" + std::to_string(p.pointPos);
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range) {
      if (p.pointPos > 0) return false;  // overflow
      value = 0;                         // underflow below the smallest denormal
    } else if (ec != std::errc()) {
      return false;
    }
  }
  aValue = p.negative ? -value : value;
  return true;
}

double StrToFloat(qdStringView aText) { return StrToFloat(aText, FormatSettings()); }

double StrToFloat(qdStringView aText, const TFormatSettings& aSettings) {
  double value;
  if (!TryStrToFloat(aText, value, aSettings)) raiseConvert("'%s' is not a valid floating point value", aText);
  return value;
}

bool TryStrToCurr(qdStringView aText, TqdCurrency& aValue) { return TryStrToCurr(aText, aValue, FormatSettings()); }

bool TryStrToCurr(qdStringView aText, TqdCurrency& aValue, const TFormatSettings& aSettings) {
  ParsedDecimal p;
  if (!parseDecimal(aText, aSettings.DecimalSeparator, p) || p.kind != ParsedDecimal::kNumber) return false;
  if (p.pointPos > 40) return false;
  return qdTryDecimalToCurrency(p.digits, static_cast<int>(std::max<int64_t>(p.pointPos, -100)), p.negative, aValue);
}

TqdCurrency StrToCurr(qdStringView aText) { return StrToCurr(aText, FormatSettings()); }

TqdCurrency StrToCurr(qdStringView aText, const TFormatSettings& aSettings) {
  TqdCurrency value;
  if (!TryStrToCurr(aText, value, aSettings)) raiseConvert("'%s' is not a valid floating point value", aText);
  return value;
}

bool TryStrToBool(qdStringView aText, bool& aValue) {
  const auto equalsIgnoringCase = [&](std::string_view aWord) {
    return aText.size() == aWord.size() && matchesWord(aText, 0, aWord);
  };
  if (equalsIgnoringCase("TRUE")) {
    aValue = true;
    return true;
  }
  if (equalsIgnoringCase("FALSE")) {
    aValue = false;
    return true;
  }
  double number;
  if (!TryStrToFloat(aText, number)) return false;
  aValue = number != 0;
  return true;
}

bool StrToBool(qdStringView aText) {
  bool value;
  if (!TryStrToBool(aText, value)) raiseConvert("'%s' is not a valid boolean value", aText);
  return value;
}

qdString BoolToStr(bool aValue, bool aUseBoolStrs) {
  if (aUseBoolStrs) return aValue ? u"True" : u"False";
  return aValue ? u"-1" : u"0";
}

// ============================================================================
// Dates and times
// ============================================================================

namespace {

struct DateTimeParts {
  uint16_t year = 0, month = 0, day = 0, dayOfWeek = 0;
  uint16_t hour = 0, minute = 0, second = 0, msec = 0;
};

void appendNumber(qdString& aOut, unsigned aValue, int aMinDigits) {
  std::string digits = std::to_string(aValue);
  if (static_cast<int>(digits.size()) < aMinDigits)
    digits.insert(0, static_cast<size_t>(aMinDigits) - digits.size(), '0');
  aOut += widen(digits);
}

// Whether an hour at aPos is shown on the 12-hour clock: an am/pm marker
// follows before the next hour.
bool uses12Hour(qdStringView aFormat, size_t aPos) {
  for (size_t i = aPos; i < aFormat.size(); ++i) {
    const char16_t c = aFormat[i];
    if (c == u'\'' || c == u'"') {
      const size_t close = aFormat.find(c, i + 1);
      if (close == qdStringView::npos) return false;
      i = close;
    } else if (c == u'h' || c == u'H') {
      return false;
    } else if (c == u'a' || c == u'A') {
      return matchesWord(aFormat, i, "AM/PM") || matchesWord(aFormat, i, "A/P") || matchesWord(aFormat, i, "AMPM");
    }
  }
  return false;
}

void appendDateTime(qdString& aOut, qdStringView aFormat, const DateTimeParts& d, const TFormatSettings& s,
                    int aDepth) {
  if (aFormat.empty()) aFormat = u"C";
  char16_t lastToken = 0;
  size_t i = 0;
  while (i < aFormat.size()) {
    const char16_t c = aFormat[i];
    char16_t token = upperAscii(c);
    if (token >= u'A' && token <= u'Z') {
      if (token == u'M' && lastToken == u'H') token = u'N';
      lastToken = token;
    }
    size_t count = 1;
    while (i + count < aFormat.size() && upperAscii(aFormat[i + count]) == upperAscii(c)) ++count;
    const bool nested = aDepth < 2;
    switch (token) {
      case u'Y':
        if (count <= 2) {
          appendNumber(aOut, d.year % 100, 2);
        } else {
          appendNumber(aOut, d.year, 4);
        }
        break;
      case u'M':
        if (count == 1) appendNumber(aOut, d.month, 1);
        if (count == 2) appendNumber(aOut, d.month, 2);
        if (count == 3 && d.month >= 1) aOut += s.ShortMonthNames[d.month - 1];
        if (count >= 4 && d.month >= 1) aOut += s.LongMonthNames[d.month - 1];
        break;
      case u'D':
        if (count <= 2) appendNumber(aOut, d.day, static_cast<int>(count));
        if (count == 3 && d.dayOfWeek >= 1) aOut += s.ShortDayNames[d.dayOfWeek - 1];
        if (count == 4 && d.dayOfWeek >= 1) aOut += s.LongDayNames[d.dayOfWeek - 1];
        if (count == 5 && nested) appendDateTime(aOut, s.ShortDateFormat, d, s, aDepth + 1);
        if (count >= 6 && nested) appendDateTime(aOut, s.LongDateFormat, d, s, aDepth + 1);
        break;
      case u'H': {
        count = std::min<size_t>(count, 2);
        unsigned hour = d.hour;
        if (uses12Hour(aFormat, i + count)) hour = hour % 12 == 0 ? 12 : hour % 12;
        appendNumber(aOut, hour, static_cast<int>(count));
        break;
      }
      case u'N':
        count = std::min<size_t>(count, 2);
        appendNumber(aOut, d.minute, static_cast<int>(count));
        break;
      case u'S':
        count = std::min<size_t>(count, 2);
        appendNumber(aOut, d.second, static_cast<int>(count));
        break;
      case u'Z':
        count = std::min<size_t>(count, 3);
        appendNumber(aOut, d.msec, count == 1 ? 1 : 3);
        break;
      case u'T':
        if (nested) appendDateTime(aOut, count == 1 ? s.ShortTimeFormat : s.LongTimeFormat, d, s, aDepth + 1);
        break;
      case u'C':
        count = 1;
        if (nested) {
          appendDateTime(aOut, s.ShortDateFormat, d, s, aDepth + 1);
          if (d.hour != 0 || d.minute != 0 || d.second != 0 || d.msec != 0) {
            aOut += u' ';
            appendDateTime(aOut, s.LongTimeFormat, d, s, aDepth + 1);
          }
        }
        break;
      case u'A': {
        const bool pm = d.hour >= 12;
        if (matchesWord(aFormat, i, "AM/PM")) {
          aOut += aFormat.substr(i + (pm ? 3 : 0), 2);
          count = 5;
        } else if (matchesWord(aFormat, i, "A/P")) {
          aOut += aFormat[i + (pm ? 2 : 0)];
          count = 3;
        } else if (matchesWord(aFormat, i, "AMPM")) {
          aOut += pm ? s.TimePMString : s.TimeAMString;
          count = 4;
        } else {
          aOut += c;
          count = 1;
        }
        break;
      }
      case u'/':
        aOut += s.DateSeparator;
        count = 1;
        break;
      case u':':
        aOut += s.TimeSeparator;
        count = 1;
        break;
      case u'\'':
      case u'"': {
        const size_t close = aFormat.find(c, i + 1);
        const size_t stop = close == qdStringView::npos ? aFormat.size() : close;
        aOut += aFormat.substr(i + 1, stop - i - 1);
        count = (close == qdStringView::npos ? stop : stop + 1) - i;
        break;
      }
      default:
        aOut += c;
        count = 1;
        break;
    }
    i += count;
  }
}

DateTimeParts decodeParts(TDateTime aValue) {
  DateTimeParts d;
  (void)DecodeDateFully(aValue, d.year, d.month, d.day, d.dayOfWeek);  // leap-year flag not needed
  DecodeTime(aValue, d.hour, d.minute, d.second, d.msec);
  return d;
}

// A cursor over a date/time text.
class TextScanner {
 public:
  explicit TextScanner(qdStringView aText) : fText(aText) {}

  size_t Pos() const { return fPos; }
  void SetPos(size_t aPos) { fPos = aPos; }
  bool AtEnd() const { return fPos >= fText.size(); }
  void SkipBlanks() {
    while (fPos < fText.size() && (isBlank(fText[fPos]))) ++fPos;
  }
  bool Char(char16_t c) {
    SkipBlanks();
    if (fPos < fText.size() && fText[fPos] == c) {
      ++fPos;
      return true;
    }
    return false;
  }
  // Up to 9 digits; aDigitCount receives how many were read.
  bool Number(uint32_t& aValue, int& aDigitCount) {
    SkipBlanks();
    aValue = 0;
    aDigitCount = 0;
    while (fPos < fText.size() && isDigit(fText[fPos])) {
      if (++aDigitCount > 9) return false;
      aValue = aValue * 10 + (fText[fPos++] - u'0');
    }
    return aDigitCount > 0;
  }
  // Case-insensitive (ASCII letters) match of a non-empty word.
  bool Word(qdStringView aWord) {
    SkipBlanks();
    if (aWord.empty() || fText.size() - fPos < aWord.size()) return false;
    for (size_t i = 0; i < aWord.size(); ++i)
      if (upperAscii(fText[fPos + i]) != upperAscii(aWord[i])) return false;
    fPos += aWord.size();
    return true;
  }

 private:
  qdStringView fText;
  size_t fPos = 0;
};

enum class DateOrder { MDY, DMY, YMD };

DateOrder dateOrderOf(qdStringView aShortDateFormat) {
  for (const char16_t c : aShortDateFormat) {
    switch (upperAscii(c)) {
      case u'Y':
        return DateOrder::YMD;
      case u'M':
        return DateOrder::MDY;
      case u'D':
        return DateOrder::DMY;
      default:
        break;
    }
  }
  return DateOrder::MDY;
}

uint16_t currentYear() {
  uint16_t year, month, day;
  DecodeDate(Now(), year, month, day);
  return year;
}

bool scanDate(TextScanner& aScanner, const TFormatSettings& s, TDateTime& aDate) {
  uint32_t n1, n2, n3 = 0;
  int len1, len2, len3 = 0;
  if (!aScanner.Number(n1, len1) || !aScanner.Char(s.DateSeparator) || !aScanner.Number(n2, len2)) return false;
  const bool threeParts = aScanner.Char(s.DateSeparator);
  if (threeParts && !aScanner.Number(n3, len3)) return false;
  DateOrder order = dateOrderOf(s.ShortDateFormat);
  uint32_t year, month, day;
  int yearDigits;
  if (!threeParts) {
    year = currentYear();
    yearDigits = 4;
    if (order == DateOrder::DMY) {
      day = n1, month = n2;
    } else {
      month = n1, day = n2;
    }
  } else {
    if (len1 > 2) order = DateOrder::YMD;
    switch (order) {
      case DateOrder::MDY:
        month = n1, day = n2, year = n3, yearDigits = len3;
        break;
      case DateOrder::DMY:
        day = n1, month = n2, year = n3, yearDigits = len3;
        break;
      default:
        year = n1, month = n2, day = n3, yearDigits = len1;
        break;
    }
  }
  if (yearDigits <= 2) {
    const int now = currentYear();
    if (s.TwoDigitYearCenturyWindow > 0) {
      const int base = now - s.TwoDigitYearCenturyWindow;
      year += static_cast<uint32_t>(base / 100 * 100);
      if (static_cast<int>(year) < base) year += 100;
    } else {
      year += static_cast<uint32_t>(now / 100 * 100);
    }
  }
  if (year > 9999 || month > 12 || day > 31) return false;
  return TryEncodeDate(static_cast<uint16_t>(year), static_cast<uint16_t>(month), static_cast<uint16_t>(day), aDate);
}

// -1: no marker, 0: AM, 1: PM.
int scanAmPm(TextScanner& aScanner, const TFormatSettings& s) {
  if (aScanner.Word(s.TimeAMString) || aScanner.Word(u"AM")) return 0;
  if (aScanner.Word(s.TimePMString) || aScanner.Word(u"PM")) return 1;
  return -1;
}

bool scanTime(TextScanner& aScanner, const TFormatSettings& s, TDateTime& aTime) {
  int amPm = scanAmPm(aScanner, s);
  uint32_t hour, minute = 0, second = 0, msec = 0;
  int digits;
  if (!aScanner.Number(hour, digits)) return false;
  bool hasMinutes = false;
  if (aScanner.Char(s.TimeSeparator)) {
    if (!aScanner.Number(minute, digits)) return false;
    hasMinutes = true;
    if (aScanner.Char(s.TimeSeparator)) {
      if (!aScanner.Number(second, digits)) return false;
      if (aScanner.Char(s.DecimalSeparator)) {
        uint32_t fraction;
        if (!aScanner.Number(fraction, digits)) return false;
        // A fraction of a second, not a count of milliseconds: ".5" is 500.
        while (digits < 3) fraction *= 10, ++digits;
        while (digits > 3) fraction /= 10, --digits;
        msec = fraction;
      }
    }
  }
  if (amPm < 0) amPm = scanAmPm(aScanner, s);
  if (!hasMinutes && amPm < 0) return false;
  if (amPm >= 0) {
    if (hour == 0 || hour > 12) return false;
    hour = hour % 12 + (amPm == 1 ? 12 : 0);
  }
  if (hour > 23 || minute > 59 || second > 59) return false;
  return TryEncodeTime(static_cast<uint16_t>(hour), static_cast<uint16_t>(minute), static_cast<uint16_t>(second),
                       static_cast<uint16_t>(msec), aTime);
}

bool scanEnd(TextScanner& aScanner) {
  aScanner.SkipBlanks();
  return aScanner.AtEnd();
}

}  // namespace

qdString FormatDateTime(qdStringView aFormat, TDateTime aDateTime) {
  return FormatDateTime(aFormat, aDateTime, FormatSettings());
}

qdString FormatDateTime(qdStringView aFormat, TDateTime aDateTime, const TFormatSettings& aSettings) {
  qdString out;
  appendDateTime(out, aFormat, decodeParts(aDateTime), aSettings, 0);
  return out;
}

qdString DateToStr(TDateTime aDate) { return DateToStr(aDate, FormatSettings()); }

qdString DateToStr(TDateTime aDate, const TFormatSettings& aSettings) {
  return FormatDateTime(u"ddddd", aDate, aSettings);
}

qdString TimeToStr(TDateTime aTime) { return TimeToStr(aTime, FormatSettings()); }

qdString TimeToStr(TDateTime aTime, const TFormatSettings& aSettings) {
  return FormatDateTime(u"tt", aTime, aSettings);
}

qdString DateTimeToStr(TDateTime aDateTime) { return DateTimeToStr(aDateTime, FormatSettings()); }

qdString DateTimeToStr(TDateTime aDateTime, const TFormatSettings& aSettings) {
  return FormatDateTime(u"c", aDateTime, aSettings);
}

bool TryStrToDate(qdStringView aText, TDateTime& aValue, const TFormatSettings& aSettings) {
  TextScanner scanner(aText);
  return scanDate(scanner, aSettings, aValue) && scanEnd(scanner);
}

bool TryStrToTime(qdStringView aText, TDateTime& aValue, const TFormatSettings& aSettings) {
  TextScanner scanner(aText);
  return scanTime(scanner, aSettings, aValue) && scanEnd(scanner);
}

bool TryStrToDateTime(qdStringView aText, TDateTime& aValue, const TFormatSettings& aSettings) {
  TextScanner scanner(aText);
  TDateTime date;
  if (scanDate(scanner, aSettings, date)) {
    if (scanEnd(scanner)) {
      aValue = date;
      return true;
    }
    TDateTime time;
    if (!scanTime(scanner, aSettings, time) || !scanEnd(scanner)) return false;
    aValue = ComposeDateTime(date, time);
    return true;
  }
  scanner.SetPos(0);
  return scanTime(scanner, aSettings, aValue) && scanEnd(scanner);
}

TDateTime StrToDate(qdStringView aText) { return StrToDate(aText, FormatSettings()); }

TDateTime StrToDate(qdStringView aText, const TFormatSettings& aSettings) {
  TDateTime value;
  if (!TryStrToDate(aText, value, aSettings)) raiseConvert("'%s' is not a valid date", aText);
  return value;
}

TDateTime StrToTime(qdStringView aText) { return StrToTime(aText, FormatSettings()); }

TDateTime StrToTime(qdStringView aText, const TFormatSettings& aSettings) {
  TDateTime value;
  if (!TryStrToTime(aText, value, aSettings)) raiseConvert("'%s' is not a valid time", aText);
  return value;
}

TDateTime StrToDateTime(qdStringView aText) { return StrToDateTime(aText, FormatSettings()); }

TDateTime StrToDateTime(qdStringView aText, const TFormatSettings& aSettings) {
  TDateTime value;
  if (!TryStrToDateTime(aText, value, aSettings)) raiseConvert("'%s' is not a valid date and time", aText);
  return value;
}

// ============================================================================
// Format
// ============================================================================

TqdVarRec TqdVarRec::Ansi(std::string_view aBytes) {
  TqdVarRec rec;
  rec.fKind = vtAnsiString;
  rec.fBytes = aBytes;
  return rec;
}

namespace {

class Formatter {
 public:
  Formatter(qdStringView aFormat, std::span<const TqdVarRec> aArgs, const TFormatSettings& aSettings)
      : fFormat(aFormat), fArgs(aArgs), fSettings(aSettings) {}

  qdString Run() {
    qdString out;
    size_t i = 0;
    while (i < fFormat.size()) {
      const char16_t c = fFormat[i++];
      if (c != u'%') {
        out += c;
        continue;
      }
      if (i < fFormat.size() && fFormat[i] == u'%') {
        out += u'%';
        ++i;
        continue;
      }
      out += Specifier(i);
    }
    return out;
  }

 private:
  [[noreturn]] void InvalidFormat() const {
    throw EConvertError(u"Format '" + qdString(fFormat) + u"' invalid or incompatible with argument");
  }

  const TqdVarRec& NextArg() {
    if (fArgIndex >= fArgs.size()) throw EConvertError(u"No argument for format '" + qdString(fFormat) + u"'");
    return fArgs[fArgIndex++];
  }

  int64_t IntegerArg() {
    const TqdVarRec& arg = NextArg();
    if (arg.Kind() != TqdVarRec::vtInteger && arg.Kind() != TqdVarRec::vtInt64) InvalidFormat();
    return arg.AsInt64();
  }

  // Digits or "*"; -1 when neither is there.
  int64_t Count(size_t& i) {
    if (i < fFormat.size() && fFormat[i] == u'*') {
      ++i;
      return IntegerArg();
    }
    if (i >= fFormat.size() || !isDigit(fFormat[i])) return -1;
    int64_t value = 0;
    while (i < fFormat.size() && isDigit(fFormat[i]))
      value = std::min<int64_t>(value * 10 + (fFormat[i++] - u'0'), 1 << 20);
    return value;
  }

  qdString Specifier(size_t& i) {
    // Index: digits or "*" directly followed by ":".
    size_t j = i;
    while (j < fFormat.size() && isDigit(fFormat[j])) ++j;
    if (j < fFormat.size() && fFormat[j] == u':' && j > i) {
      fArgIndex = static_cast<size_t>(Count(i));
      ++i;
    } else if (i + 1 < fFormat.size() && fFormat[i] == u'*' && fFormat[i + 1] == u':') {
      fArgIndex = static_cast<size_t>(std::max<int64_t>(Count(i), 0));
      ++i;
    }
    bool leftAlign = false;
    if (i < fFormat.size() && fFormat[i] == u'-') {
      leftAlign = true;
      ++i;
    }
    int64_t width = Count(i);
    if (width < 0 && i > 0 && fFormat[i - 1] == u'*') width = 0;
    int64_t precision = -1;
    if (i < fFormat.size() && fFormat[i] == u'.') {
      ++i;
      precision = std::max<int64_t>(Count(i), 0);
    }
    if (i >= fFormat.size()) InvalidFormat();
    const char16_t type = upperAscii(fFormat[i++]);
    qdString text = Convert(type, precision);
    if (width > static_cast<int64_t>(text.size())) {
      const size_t pad = static_cast<size_t>(width) - text.size();
      if (leftAlign) {
        text.append(pad, u' ');
      } else {
        text.insert(0, pad, u' ');
      }
    }
    return text;
  }

  qdString Convert(char16_t aType, int64_t aPrecision) {
    switch (aType) {
      case u'D':
      case u'U':
      case u'X':
        return IntegerText(aType, NextArg(), aPrecision);
      case u'E':
      case u'F':
      case u'G':
      case u'N':
      case u'M':
        return FloatText(aType, NextArg(), aPrecision);
      case u'P': {
        const TqdVarRec& arg = NextArg();
        if (arg.Kind() != TqdVarRec::vtPointer) InvalidFormat();
        return IntToHex(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(arg.AsPointer())), 16);
      }
      case u'S':
        return StringText(NextArg(), aPrecision);
      default:
        InvalidFormat();
    }
  }

  qdString IntegerText(char16_t aType, const TqdVarRec& aArg, int64_t aPrecision) {
    bool negative = false;
    uint64_t magnitude;
    switch (aArg.Kind()) {
      case TqdVarRec::vtInteger:
      case TqdVarRec::vtInt64: {
        const int64_t value = aArg.AsInt64();
        if (aType == u'D') {
          negative = value < 0;
          magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        } else if (aArg.Kind() == TqdVarRec::vtInteger) {
          magnitude = static_cast<uint32_t>(value);  // the bit pattern of a 32-bit integer
        } else {
          magnitude = static_cast<uint64_t>(value);
        }
        break;
      }
      case TqdVarRec::vtUInt64:
        magnitude = aArg.AsUInt64();
        break;
      default:
        InvalidFormat();
    }
    qdString digits = aType == u'X' ? IntToHex(magnitude, 0) : UIntToStr(magnitude);
    if (aPrecision > static_cast<int64_t>(digits.size()))
      digits.insert(0, static_cast<size_t>(aPrecision) - digits.size(), u'0');
    return negative ? u"-" + digits : digits;
  }

  qdString FloatText(char16_t aType, const TqdVarRec& aArg, int64_t aPrecision) {
    const bool isCurrency = aArg.Kind() == TqdVarRec::vtCurrency;
    if (aArg.Kind() != TqdVarRec::vtExtended && !isCurrency) InvalidFormat();
    TFloatFormat format;
    int precision, digits;
    const int requested = static_cast<int>(std::min<int64_t>(aPrecision, 9999));
    switch (aType) {
      case u'E':
        format = ffExponent, precision = aPrecision < 0 ? 15 : requested, digits = 3;
        break;
      case u'F':
        format = ffFixed, precision = 18, digits = aPrecision < 0 ? 2 : requested;
        break;
      case u'G':
        format = ffGeneral, precision = aPrecision < 0 ? 15 : requested, digits = 3;
        break;
      case u'N':
        format = ffNumber, precision = 18, digits = aPrecision < 0 ? 2 : requested;
        break;
      default:
        format = ffCurrency, precision = 18, digits = aPrecision < 0 ? fSettings.CurrencyDecimals : requested;
        break;
    }
    if (isCurrency) {
      const TFloatRec rec =
          CurrToDecimal(TqdCurrency::FromRaw(aArg.AsInt64()), format == ffGeneral || format == ffExponent ? 4 : digits);
      return FloatRecToText(rec, format, format == ffExponent ? std::clamp(precision, 1, 19) : 19, digits, fSettings);
    }
    return FloatToStrF(aArg.AsDouble(), format, precision, digits, fSettings);
  }

  qdString StringText(const TqdVarRec& aArg, int64_t aPrecision) {
    qdString text;
    switch (aArg.Kind()) {
      case TqdVarRec::vtUnicodeString:
        text = aArg.AsText();
        break;
      case TqdVarRec::vtAnsiString:
        text = qdAnsiToString(aArg.AsBytes());
        break;
      case TqdVarRec::vtWideChar:
        text = qdString(1, static_cast<char16_t>(aArg.AsInt64()));
        break;
      default:
        InvalidFormat();
    }
    if (aPrecision >= 0 && aPrecision < static_cast<int64_t>(text.size())) text.resize(static_cast<size_t>(aPrecision));
    return text;
  }

  qdStringView fFormat;
  std::span<const TqdVarRec> fArgs;
  const TFormatSettings& fSettings;
  size_t fArgIndex = 0;
};

}  // namespace

qdString Format(qdStringView aFormat, std::span<const TqdVarRec> aArgs, const TFormatSettings& aSettings) {
  return Formatter(aFormat, aArgs, aSettings).Run();
}

qdString Format(qdStringView aFormat, std::span<const TqdVarRec> aArgs) {
  return Format(aFormat, aArgs, FormatSettings());
}

qdString Format(qdStringView aFormat, std::initializer_list<TqdVarRec> aArgs) {
  return Format(aFormat, std::span<const TqdVarRec>(aArgs.begin(), aArgs.size()), FormatSettings());
}

qdString Format(qdStringView aFormat, std::initializer_list<TqdVarRec> aArgs, const TFormatSettings& aSettings) {
  return Format(aFormat, std::span<const TqdVarRec>(aArgs.begin(), aArgs.size()), aSettings);
}

}  // namespace qd
