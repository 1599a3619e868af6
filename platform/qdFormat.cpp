#include "platform/qdFormat.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "platform/qdSysUtils.h"

namespace qd {

namespace {

using TqdKind = TqdFormatArg::TqdKind;

[[noreturn]] void raiseInvalidFormat(qdStringView aFormat) {
  throw EConvertError(u"Format '" + qdString(aFormat) + u"' invalid or incompatible with argument");
}

[[noreturn]] void raiseArgumentMissing(qdStringView aFormat) {
  throw EConvertError(u"No argument for format '" + qdString(aFormat) + u"'");
}

// Digits of an unsigned value in base 10 or 16 (upper case).
std::string digitsOf(uint64_t aValue, unsigned aBase) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[aValue % aBase]);
    aValue /= aBase;
  } while (aValue != 0);
  return text;
}

// The value as the library sees it for "u" and "x": a negative argument of
// at most 32 bits is its 32-bit two's complement.
uint64_t unsignedOf(const TqdFormatArg& aArg) {
  if (aArg.Kind() == TqdKind::fakUnsigned || aArg.Kind() == TqdKind::fakPointer) return aArg.AsUnsigned();
  const int64_t value = aArg.AsSigned();
  if (!aArg.IsWide()) return static_cast<uint32_t>(static_cast<int32_t>(value));
  return static_cast<uint64_t>(value);
}

std::string zeroPadded(std::string aDigits, int aPrecision) {
  if (aPrecision > 0 && aDigits.size() < static_cast<size_t>(aPrecision)) {
    aDigits.insert(0, static_cast<size_t>(aPrecision) - aDigits.size(), '0');
  }
  return aDigits;
}

std::string withThousands(const std::string& aFixed) {
  size_t start = aFixed[0] == '-' ? 1 : 0;
  size_t end = aFixed.find('.');
  if (end == std::string::npos) end = aFixed.size();
  std::string result = aFixed.substr(0, start);
  for (size_t i = start; i < end; ++i) {
    if (i > start && (end - i) % 3 == 0) result += ',';
    result += aFixed[i];
  }
  result += aFixed.substr(end);
  return result;
}

// Scientific form "-d.ddd...E+ddd" with aDigits significant digits; the
// exponent has at least three digits.
std::string scientific(long double aValue, int aDigits) {
  if (aDigits < 1) aDigits = 1;
  if (aDigits > 18) aDigits = 18;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*LE", aDigits - 1, aValue);
  std::string text = buffer;
  const size_t e = text.find('E');
  if (e == std::string::npos) return text;
  std::string mantissa = text.substr(0, e);
  const char sign = text[e + 1];
  std::string exponent = text.substr(e + 2);
  while (exponent.size() < 3) exponent.insert(0, "0");
  return mantissa + "E" + sign + exponent;
}

// General form: the shorter of fixed and scientific with aDigits significant
// digits, trailing zeros dropped.
std::string general(long double aValue, int aDigits) {
  if (aDigits < 1 || aDigits > 18) aDigits = 15;
  if (aValue == 0) return "0";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*LE", aDigits - 1, aValue);
  const int exponent = std::atoi(std::string(buffer).substr(std::string(buffer).find('E') + 1).c_str());
  std::string text;
  if (exponent >= aDigits || exponent < -5) {
    std::string sci = buffer;
    const size_t e = sci.find('E');
    std::string mantissa = sci.substr(0, e);
    if (mantissa.find('.') != std::string::npos) {
      while (mantissa.back() == '0') mantissa.pop_back();
      if (mantissa.back() == '.') mantissa.pop_back();
    }
    const char sign = sci[e + 1];
    std::string digits = sci.substr(e + 2);
    while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
    text = mantissa + "E" + (sign == '-' ? "-" : "+") + digits;
  } else {
    const int decimals = aDigits - 1 - exponent;
    std::snprintf(buffer, sizeof buffer, "%.*Lf", decimals < 0 ? 0 : decimals, aValue);
    text = buffer;
    if (text.find('.') != std::string::npos) {
      while (text.back() == '0') text.pop_back();
      if (text.back() == '.') text.pop_back();
    }
  }
  return text;
}

std::string fixed(long double aValue, int aDecimals) {
  if (aDecimals < 0) aDecimals = 2;
  if (aDecimals > 18) aDecimals = 18;
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%.*Lf", aDecimals, aValue);
  return buffer;
}

}  // namespace

qdString Format(qdStringView aFormat, TqdFormatArgs aArgs) {
  const TqdFormatArg* args = aArgs.begin();
  const size_t argCount = aArgs.size();
  size_t nextArg = 0;
  qdString result;
  size_t i = 0;
  while (i < aFormat.size()) {
    const char16_t c = aFormat[i];
    if (c != u'%') {
      result += c;
      ++i;
      continue;
    }
    ++i;
    if (i < aFormat.size() && aFormat[i] == u'%') {
      result += u'%';
      ++i;
      continue;
    }
    // A number, or "*" for the next argument; -1 when absent.
    auto readNumber = [&]() -> int {
      if (i < aFormat.size() && aFormat[i] == u'*') {
        ++i;
        if (nextArg >= argCount) raiseArgumentMissing(aFormat);
        const TqdFormatArg& arg = args[nextArg++];
        if (arg.Kind() == TqdKind::fakSigned) return static_cast<int>(arg.AsSigned());
        if (arg.Kind() == TqdKind::fakUnsigned) return static_cast<int>(arg.AsUnsigned());
        raiseInvalidFormat(aFormat);
      }
      if (i >= aFormat.size() || aFormat[i] < u'0' || aFormat[i] > u'9') return -1;
      int value = 0;
      while (i < aFormat.size() && aFormat[i] >= u'0' && aFormat[i] <= u'9') {
        if (value > 100000) raiseInvalidFormat(aFormat);
        value = value * 10 + (aFormat[i] - u'0');
        ++i;
      }
      return value;
    };
    int number = readNumber();
    if (i < aFormat.size() && aFormat[i] == u':') {
      ++i;
      if (number < 0) raiseInvalidFormat(aFormat);
      nextArg = static_cast<size_t>(number);
      number = -1;
    }
    bool leftAlign = false;
    if (number < 0 && i < aFormat.size() && aFormat[i] == u'-') {
      leftAlign = true;
      ++i;
    }
    int width = number >= 0 ? number : readNumber();
    int precision = -1;
    if (i < aFormat.size() && aFormat[i] == u'.') {
      ++i;
      precision = readNumber();
      if (precision < 0) precision = 0;
    }
    if (i >= aFormat.size()) raiseInvalidFormat(aFormat);
    char16_t type = aFormat[i++];
    if (type >= u'A' && type <= u'Z') type = static_cast<char16_t>(type - u'A' + u'a');
    if (nextArg >= argCount) raiseArgumentMissing(aFormat);
    const TqdFormatArg& arg = args[nextArg++];
    const TqdKind kind = arg.Kind();
    const bool isInteger = kind == TqdKind::fakSigned || kind == TqdKind::fakUnsigned;

    qdString piece;
    switch (type) {
      case u'd': {
        if (!isInteger) raiseInvalidFormat(aFormat);
        const bool negative = kind == TqdKind::fakSigned && arg.AsSigned() < 0;
        const uint64_t magnitude = kind == TqdKind::fakUnsigned ? arg.AsUnsigned()
                                   : negative                   ? 0 - static_cast<uint64_t>(arg.AsSigned())
                                                                : static_cast<uint64_t>(arg.AsSigned());
        piece = AsciiToString((negative ? "-" : "") + zeroPadded(digitsOf(magnitude, 10), precision));
        break;
      }
      case u'u':
        if (!isInteger) raiseInvalidFormat(aFormat);
        piece = AsciiToString(zeroPadded(digitsOf(unsignedOf(arg), 10), precision));
        break;
      case u'x':
        if (!isInteger) raiseInvalidFormat(aFormat);
        piece = AsciiToString(zeroPadded(digitsOf(unsignedOf(arg), 16), precision));
        break;
      case u'p':
        if (kind != TqdKind::fakPointer) raiseInvalidFormat(aFormat);
        piece = AsciiToString(zeroPadded(digitsOf(arg.AsUnsigned(), 16), 16));
        break;
      case u's':
        if (kind != TqdKind::fakString) raiseInvalidFormat(aFormat);
        piece = arg.AsString();
        if (precision >= 0 && piece.size() > static_cast<size_t>(precision)) piece.resize(precision);
        break;
      case u'e':
      case u'f':
      case u'g':
      case u'n': {
        if (kind != TqdKind::fakFloat) raiseInvalidFormat(aFormat);
        const long double value = arg.AsFloat();
        if (std::isnan(value)) {
          piece = u"NAN";
        } else if (std::isinf(value)) {
          piece = value > 0 ? u"INF" : u"-INF";
        } else if (type == u'e') {
          piece = AsciiToString(scientific(value, precision < 0 ? 15 : precision));
        } else if (type == u'f') {
          piece = AsciiToString(fixed(value, precision));
        } else if (type == u'g') {
          piece = AsciiToString(general(value, precision));
        } else {
          piece = AsciiToString(withThousands(fixed(value, precision)));
        }
        break;
      }
      default:
        raiseInvalidFormat(aFormat);
    }
    if (width > 0 && piece.size() < static_cast<size_t>(width)) {
      const qdString padding(static_cast<size_t>(width) - piece.size(), u' ');
      piece = leftAlign ? piece + padding : padding + piece;
    }
    result += piece;
  }
  return result;
}

}  // namespace qd
