#include "dictionary/qdsdNativeVariantConverter.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "dictionary/qdsdFmtBcd.h"
#include "foundation/qdllException.h"
#include "foundation/qdllUtils.h"
#include "foundation/qdllWideString.h"
#include "platform/qdExtended.h"
#include "platform/qdGuid.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdNls.h"
#include "platform/qdProcessProfile.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdsdNativeVariantConverter";
constexpr double kMSecsPerDayF = 86400000.0;

// ---- Errors -------------------------------------------------------------------------

[[noreturn]] void raiseTooWide(int64_t aLength, int64_t aCapacity) {
  throw Exception(Format(u"Source string data is too wide (%d) for the target field (%d)", {aLength, aCapacity}));
}

[[noreturn]] void raiseTooWideConverted(int64_t aCapacity) {
  throw Exception(Format(u"Source string data is too wide for the target field (%d)", {aCapacity}));
}

[[noreturn]] void raiseInvalidChar() {
  throw EqdBaseException(qdStringView(u"Invalid char format (length must be exactly 1)"));
}

[[noreturn]] void raiseZeroTimestamp() { throw Exception(qdString(u"0 (zero) is not a valid timestamp")); }

[[noreturn]] void raiseNoNativeForm(const char* aWhat) { qdAssertFailed(kUnit, aWhat); }

// ---- Little helpers ---------------------------------------------------------------------

uint8_t* bytesOf(void* aData) { return static_cast<uint8_t*>(aData); }

template <typename T>
T load(const void* aData) {
  T value;
  std::memcpy(&value, aData, sizeof(T));
  return value;
}

template <typename T>
void store(void* aData, T aValue) {
  std::memcpy(aData, &aValue, sizeof(T));
}

bool isOleString(const TqdVariant& aValue) { return aValue.VarType() == varUString; }
bool isText(const TqdVariant& aValue) { return aValue.VarType() == varUString || aValue.VarType() == varString; }

// The kinds the float and date-time rows treat as numbers.
bool isNumericKind(const TqdVariant& aValue) {
  switch (aValue.VarType()) {
    case varSmallint:
    case varInteger:
    case varSingle:
    case varDouble:
    case varCurrency:
    case varByte:
    case varWord:
    case varLongWord:
    case varInt64:
      return true;
    default:
      return false;
  }
}

// A double truncated toward zero; NaN and values beyond Int64 raise before
// anything is cast.
int64_t truncToInt64(double aValue, TqdVarType aFrom) {
  if (std::isnan(aValue))
    throw EVariantTypeCastError(u"Could not convert variant of type (" + VarTypeAsText(aFrom) + u") into type (" +
                                VarTypeAsText(varInt64) + u")");
  const double whole = std::trunc(aValue);
  constexpr double kTwoPow63 = 9223372036854775808.0;
  if (!(whole >= -kTwoPow63 && whole < kTwoPow63)) throw EVariantOverflowError(std::string_view("Variant overflow"));
  return static_cast<int64_t>(whole);
}

qdString trimRightBlanks(qdString aText) {
  while (!aText.empty() && aText.back() == u' ') aText.pop_back();
  return aText;
}

std::string trimRightBlanks(std::string aText) {
  while (!aText.empty() && aText.back() == ' ') aText.pop_back();
  return aText;
}

// Trailing blanks go while the text has at least aLength characters.
qdString trimBlanksBeyond(qdString aText, int32_t aLength) {
  while (static_cast<int64_t>(aText.size()) >= aLength && !aText.empty() && aText.back() == u' ') aText.pop_back();
  return aText;
}

qdString padded(qdString aText, int32_t aDecimals) {
  if (aDecimals > 0 && static_cast<int64_t>(aText.size()) < aDecimals)
    aText.resize(static_cast<size_t>(aDecimals), u' ');
  return aText;
}

// The code page a stored text of code page 0 is read or written in.
uint32_t ansiCodePage(uint16_t aCodePage) { return aCodePage != 0 ? aCodePage : qdSystemAnsiCodePage(); }

// ---- Text reading -------------------------------------------------------------------------

qdString decodeText(uint32_t aCodePage, const uint8_t* aBytes, int32_t aCount) {
  if (aCount <= 0) return {};
  const char* source = reinterpret_cast<const char*>(aBytes);
  const int32_t needed = qdMultiByteToWideChar(aCodePage, source, aCount, nullptr, 0);
  if (needed <= 0) qdRaiseLastOSError(u"VariantFromNullStringPtr/MultiByteToWideChar/1");
  qdString result(static_cast<size_t>(needed), u'\0');
  const int32_t written = qdMultiByteToWideChar(aCodePage, source, aCount, result.data(), needed);
  if (written <= 0) qdRaiseLastOSError(u"VariantFromNullStringPtr/MultiByteToWideChar/2");
  if (written != needed) qdAssertFailed(kUnit, "the converted text has the announced length");
  return result;
}

// Null and short strings read without padding use the engine's default code
// page, padded ones the system's ANSI code page; both are the process's ANSI
// code page here, but the two stay apart as the stored format defines them.
uint32_t readCodePage(uint16_t aCodePage, int32_t aDecimals) {
  if (aCodePage != 0) return aCodePage;
  return aDecimals > 0 ? qdSystemAnsiCodePage() : qdDefaultCodePage();
}

TqdVariant readNullString(uint16_t aCodePage, int32_t aDecimals, const uint8_t* aData, int32_t aLength) {
  // An unterminated field ends at its length: the stored bytes never lead
  // the reader past the field.
  const int32_t limit = std::max(aLength, 0);
  const void* zero = limit > 0 ? std::memchr(aData, 0, static_cast<size_t>(limit)) : nullptr;
  const int32_t count = zero != nullptr ? static_cast<int32_t>(static_cast<const uint8_t*>(zero) - aData) : limit;
  return padded(decodeText(readCodePage(aCodePage, aDecimals), aData, count), aDecimals);
}

TqdVariant readShortString(uint16_t aCodePage, int32_t aDecimals, const uint8_t* aData, int32_t aLength) {
  // A length byte above the capacity is damage; the text ends at the field.
  const int32_t count = aLength > 0 ? std::min<int32_t>(aData[0], aLength - 1) : 0;
  return padded(decodeText(readCodePage(aCodePage, aDecimals), aData + 1, count), aDecimals);
}

TqdVariant readWideString(int32_t aDecimals, const uint8_t* aData, int32_t aLength) {
  const size_t units = static_cast<size_t>(std::max(aLength, 0)) / 2;
  qdString text;
  for (size_t i = 0; i < units; ++i) {
    const char16_t unit = load<char16_t>(aData + 2 * i);
    if (unit == 0) break;
    text.push_back(unit);
  }
  return padded(std::move(text), aDecimals);
}

TqdVariant readChar(uint16_t aCodePage, const uint8_t* aData) {
  if (aData[0] == 0 || aCodePage == 0) return qdString(1, static_cast<char16_t>(aData[0]));
  char16_t unit[2];
  const int32_t n = qdMultiByteToWideChar(aCodePage, reinterpret_cast<const char*>(aData), 1, unit, 2);
  if (n <= 0) qdRaiseLastOSError(u"VariantFromPAnsiChar/MultiByteToWideChar");
  return qdString(unit, static_cast<size_t>(n));
}

// ---- Text writing ---------------------------------------------------------------------------

// Encodes aText into at most aCapacity bytes at aDest; answers the bytes
// written. A result that does not fit raises the converted too-wide error,
// any other failure the OS error with aAction.
int32_t encodeInto(uint32_t aCodePage, qdStringView aText, uint8_t* aDest, int32_t aCapacity, qdStringView aAction) {
  if (aText.empty()) return 0;
  if (aCapacity <= 0) raiseTooWideConverted(std::max(aCapacity, 0));
  if (aText.size() > static_cast<size_t>(INT32_MAX)) raiseTooWideConverted(aCapacity);
  errno = 0;
  const int32_t n = qdWideCharToMultiByte(aCodePage, aText.data(), static_cast<int32_t>(aText.size()),
                                          reinterpret_cast<char*>(aDest), aCapacity);
  if (n <= 0) {
    if (errno == ENOBUFS) raiseTooWideConverted(aCapacity);
    qdRaiseLastOSError(aAction);
  }
  return n;
}

// The encoded size of aText; a failed query raises with aAction.
std::string encodeWhole(uint32_t aCodePage, qdStringView aText, qdStringView aAction) {
  std::string result;
  if (aText.empty()) return result;
  const int32_t count = static_cast<int32_t>(std::min<size_t>(aText.size(), INT32_MAX));
  const int32_t needed = qdWideCharToMultiByte(aCodePage, aText.data(), count, nullptr, 0);
  if (needed <= 0) qdRaiseLastOSError(aAction);
  result.resize(static_cast<size_t>(needed));
  const int32_t written = qdWideCharToMultiByte(aCodePage, aText.data(), count, result.data(), needed);
  if (written <= 0) qdRaiseLastOSError(aAction);
  result.resize(static_cast<size_t>(written));
  return result;
}

// A value's 8-bit text in the system's ANSI code page: ANSI strings and byte
// arrays as they are, anything else converted.
std::string ansiTextOf(const TqdVariant& aValue, const TFormatSettings& aSettings) {
  if (aValue.VarType() == varString) return aValue.AsAnsiString(aSettings);
  if (aValue.VarType() == varByteArray) return std::string(aValue.Bytes().begin(), aValue.Bytes().end());
  return qdStringToAnsi(aValue.AsString(aSettings));
}

// A value's UTF-16 text; a byte array is read as ANSI text.
qdString wideTextOf(const TqdVariant& aValue, const TFormatSettings& aSettings) {
  if (aValue.VarType() == varByteArray)
    return qdAnsiToString(
        std::string_view(reinterpret_cast<const char*>(aValue.Bytes().data()), aValue.Bytes().size()));
  return aValue.AsString(aSettings);
}

// Code page 0, a value that is not an OLE string: its ANSI bytes, refused
// when too wide and truncation is not allowed, else cut to the capacity.
int32_t writeAnsiBytes(std::string aBytes, bool aFixed, uint8_t* aDest, int32_t aCapacity, bool aAllowTruncate) {
  if (aFixed) aBytes = trimRightBlanks(std::move(aBytes));
  const int64_t size = static_cast<int64_t>(aBytes.size());
  if (!aAllowTruncate && size > aCapacity) raiseTooWide(size, aCapacity);
  const int32_t kept = static_cast<int32_t>(std::min<int64_t>(size, aCapacity));
  if (kept > 0) std::memcpy(aDest, aBytes.data(), static_cast<size_t>(kept));
  return kept;
}

void writeNullString(const TFormatSettings& aSettings, uint16_t aCodePage, int32_t aDecimals, const TqdVariant& aValue,
                     uint8_t* aData, int32_t aLength, bool aAllowTruncate) {
  if (aLength <= 0) return;
  const int32_t capacity = aLength - 1;
  const bool fixed = aDecimals > 0;
  std::memset(aData, 0, static_cast<size_t>(aLength));
  if (aCodePage == 0 && !isOleString(aValue)) {
    (void)writeAnsiBytes(ansiTextOf(aValue, aSettings), fixed, aData, capacity, aAllowTruncate);
    return;
  }
  qdString text = wideTextOf(aValue, aSettings);
  if (fixed)
    text = trimRightBlanks(std::move(text));
  else if (isOleString(aValue))
    text = trimBlanksBeyond(std::move(text), aLength);
  if (aCodePage == 0 && !aAllowTruncate && static_cast<int64_t>(text.size()) > capacity)
    raiseTooWide(static_cast<int64_t>(text.size()), capacity);
  if (aAllowTruncate && static_cast<int64_t>(text.size()) > capacity) text.resize(static_cast<size_t>(capacity));
  (void)encodeInto(ansiCodePage(aCodePage), text, aData, capacity, u"NullStringToBuffer/WideCharToMultiByte");
}

void writeShortString(const TFormatSettings& aSettings, uint16_t aCodePage, int32_t aDecimals, const TqdVariant& aValue,
                      uint8_t* aData, int32_t aLength, bool aAllowTruncate) {
  if (aLength <= 0) return;
  // The length byte cannot count beyond 255.
  const int32_t capacity = std::min(aLength - 1, 255);
  const bool fixed = aDecimals > 0;
  std::memset(aData, 0, static_cast<size_t>(aLength));
  uint8_t* text = aData + 1;
  int32_t count;
  if (aCodePage == 0 && !isOleString(aValue)) {
    count = writeAnsiBytes(ansiTextOf(aValue, aSettings), fixed, text, capacity, aAllowTruncate);
  } else {
    qdString wide = wideTextOf(aValue, aSettings);
    uint32_t codePage = aCodePage;
    if (fixed) {
      wide = trimRightBlanks(std::move(wide));
      if (aCodePage == 0) {
        codePage = qdSystemAnsiCodePage();
        if (!aAllowTruncate && static_cast<int64_t>(wide.size()) > capacity)
          raiseTooWide(static_cast<int64_t>(wide.size()), capacity);
        if (aAllowTruncate && static_cast<int64_t>(wide.size()) > capacity) wide.resize(static_cast<size_t>(capacity));
      }
    } else if (aCodePage == 0) {
      // An OLE string into a variable-length field: the engine's default
      // code page, blanks beyond the capacity dropped.
      wide = trimBlanksBeyond(std::move(wide), aLength);
      codePage = qdDefaultCodePage();
    }
    count = encodeInto(codePage, wide, text, capacity, u"ShortStringToBuffer/WideCharToMultiByte");
  }
  aData[0] = static_cast<uint8_t>(count);
}

void writeWideString(const TFormatSettings& aSettings, int32_t aDecimals, const TqdVariant& aValue, uint8_t* aData,
                     int32_t aLength, bool aAllowTruncate) {
  if (aLength <= 0) return;
  // Whole code units only.
  const int64_t capacity = std::max(aLength - 2, 0) & ~int64_t{1};
  qdString text = wideTextOf(aValue, aSettings);
  if (aDecimals > 0)
    text = trimRightBlanks(std::move(text));
  else
    while (2 * static_cast<int64_t>(text.size()) > capacity && !text.empty() && text.back() == u' ') text.pop_back();
  const int64_t bytes = 2 * static_cast<int64_t>(text.size());
  if (!aAllowTruncate && bytes > capacity) raiseTooWide(bytes, capacity);
  std::memset(aData, 0, static_cast<size_t>(aLength));
  const size_t copied = static_cast<size_t>(std::min(bytes, capacity));
  for (size_t i = 0; i < copied / 2; ++i) store<char16_t>(aData + 2 * i, text[i]);
}

// ---- Single values ------------------------------------------------------------------------------

uint8_t charByte(uint16_t aCodePage, const TqdVariant& aValue, const TFormatSettings& aSettings) {
  if (aCodePage != 0) {
    const qdString text = aValue.AsString(aSettings);
    if (text.size() != 1) raiseInvalidChar();
    char bytes[4];
    errno = 0;
    const int32_t n = qdWideCharToMultiByte(aCodePage, text.data(), 1, bytes, sizeof(bytes));
    if (n <= 0) qdRaiseLastOSError(u"AnsiCharToBuffer/WideCharToMultiByte");
    if (n != 1) raiseInvalidChar();
    return static_cast<uint8_t>(bytes[0]);
  }
  std::string bytes;
  if (isText(aValue))
    bytes = aValue.AsAnsiString(aSettings);
  else if (aValue.VarType() == varInteger) {
    const int32_t code = aValue.AsInteger(aSettings);
    if (code < 0 || code > 255) raiseInvalidChar();
    return static_cast<uint8_t>(code);
  } else
    raiseInvalidChar();
  if (bytes.size() != 1) raiseInvalidChar();
  return static_cast<uint8_t>(bytes[0]);
}

char16_t wideCharUnit(const TqdVariant& aValue, const TFormatSettings& aSettings) {
  const qdString text = aValue.AsString(aSettings);
  if (text.size() != 1) raiseInvalidChar();
  return text[0];
}

// The value as an integer for the checked integer types: a BCD value through
// its decimal text (a fraction fails), anything else as a double truncated.
int64_t checkedIntegerSource(const TqdVariant& aValue, const TBcd* aBcd, const TFormatSettings& aSettings) {
  if (aBcd != nullptr) return qdBcdToInt64(*aBcd, false);
  return truncToInt64(aValue.AsDouble(aSettings), aValue.VarType());
}

int64_t bcdOrInt64(const TqdVariant& aValue, const TBcd* aBcd, const TFormatSettings& aSettings) {
  if (aBcd != nullptr) return qdBcdToInt64(*aBcd, false);
  return aValue.AsInt64(aSettings);
}

TqdCurrency bcdToCurrency(const TBcd& aBcd) {
  TqdCurrency result;
  if (!qdTryBcdToCurr(aBcd, result)) throw EqdBcdOverflow(qdeOutOfRange, u"BCD overflow");
  return result;
}

// An Int64 as an extended value, exactly (its 64-bit significand holds it).
TqdExtended int64ToExtended(int64_t aValue) {
  if (aValue == 0) return TqdExtended{};
  const bool negative = aValue < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(aValue) : static_cast<uint64_t>(aValue);
  const int shift = std::countl_zero(magnitude);
  return TqdExtended::Make(negative, static_cast<uint16_t>(16383 + 63 - shift), magnitude << shift);
}

void writeFloat(TqdFieldType aType, const TqdVariant& aValue, const TBcd* aBcd, const TFormatSettings& aSettings,
                void* aData) {
  double value;
  if (isNumericKind(aValue)) {
    if (aType == qdtSingle) {
      store<float>(aData, aValue.AsSingle(aSettings));
      return;
    }
    if (aType == qdtExtended && aValue.VarType() != varSingle && aValue.VarType() != varDouble &&
        aValue.VarType() != varCurrency) {
      int64_t whole = aValue.AsInt64(aSettings);
      int64ToExtended(whole).ToBytes(aData);
      return;
    }
    value = aValue.AsDouble(aSettings);
  } else if (aBcd != nullptr) {
    if (aType == qdtExtended) {
      try {
        value = qdBcdToDouble(*aBcd);
      } catch (const Exception&) {
        throw Exception(qdString(u"Could not convert FmtBCD to Extended"));
      }
    } else {
      value = qdBcdToDouble(*aBcd);
    }
  } else {
    value = StrToFloat(aValue.AsString(aSettings), aSettings);
  }
  switch (aType) {
    case qdtSingle:
      store<float>(aData, TqdVariant(value).AsSingle(aSettings));
      break;
    case qdtDouble:
      store<double>(aData, value);
      break;
    default:
      qdDoubleToExtended(value).ToBytes(aData);
      break;
  }
}

TDateTime dateTimeOf(const TqdVariant& aValue, const TFormatSettings& aSettings, bool aParseText) {
  if (aParseText) return StrToDateTime(aValue.AsString(aSettings), aSettings);
  return aValue.AsDateTime(aSettings);
}

void writeDateTimeMSecs(TDateTime aDateTime, void* aData) {
  const TTimeStamp stamp = DateTimeToTimeStamp(aDateTime);
  store<double>(aData, static_cast<double>(stamp.Date) * kMSecsPerDayF + stamp.Time);
}

// Parses a registry-form GUID "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" into
// its stored bytes.
bool tryParseGuid(qdStringView aText, uint8_t* aBytes) {
  if (aText.size() != 38 || aText[0] != u'{' || aText[37] != u'}') return false;
  uint8_t raw[16];
  size_t k = 0;
  for (size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (aText[i] != u'-') return false;
      ++i;
      continue;
    }
    int pair = 0;
    for (int half = 0; half < 2; ++half, ++i) {
      const char16_t c = aText[i];
      int digit;
      if (c >= u'0' && c <= u'9')
        digit = c - u'0';
      else if (c >= u'A' && c <= u'F')
        digit = c - u'A' + 10;
      else if (c >= u'a' && c <= u'f')
        digit = c - u'a' + 10;
      else
        return false;
      pair = pair * 16 + digit;
    }
    raw[k++] = static_cast<uint8_t>(pair);
  }
  // The text shows D1, D2 and D3 most significant first; they are stored
  // little-endian.
  const uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (size_t i = 0; i < 16; ++i) aBytes[i] = raw[order[i]];
  return true;
}

void writeGuid(const TqdVariant& aValue, const TFormatSettings& aSettings, uint8_t* aData) {
  const qdString text = aValue.AsString(aSettings);
  if (!tryParseGuid(text, aData)) throw EConvertError(Format(u"'%s' is not a valid GUID value", {text}));
}

int32_t fmtBcdLength(int32_t aUnits) { return (aUnits + 1) / 2 + 2; }

// Byte length of a fixed-size native form; -1 for the others.
int32_t fixedLength(TqdFieldType aType, int32_t aUnits) {
  switch (aType) {
    case qdtBoolean:
    case qdtChar:
    case qdtByte:
    case qdtInt8:
      return 1;
    case qdtWideChar:
    case qdtWord16:
    case qdtInt16:
      return 2;
    case qdtWord32:
    case qdtAutoInc:
    case qdtRecRev:
    case qdtInt32:
    case qdtSingle:
    case qdtDate:
    case qdtTime:
      return 4;
    case qdtInt64:
    case qdtRefNr:
    case qdtDouble:
    case qdtCurrency:
    case qdtDateTime:
    case qdtBCD:
      return 8;
    case qdtExtended:
      return kExtendedSize;
    case qdtGuid:
      return 16;
    case qdtFmtBCD:
      return fmtBcdLength(aUnits);
    default:
      return -1;
  }
}

// The conversions shared by the two writing directions. aBcd is the BCD
// record of a BCD value on the native path, nullptr otherwise (and always on
// the byte-image path, which has no BCD special case).
void writeFixed(const TFormatSettings& aSettings, TqdFieldType aType, uint16_t aCodePage, int32_t aUnits,
                int32_t aDecimals, const TqdVariant& aValue, const TBcd* aBcd, uint8_t* aData, int32_t aLength,
                bool aImage) {
  switch (aType) {
    case qdtBoolean:
      if (aBcd != nullptr) {
        TBcd zero;
        zero.Bytes[0] = 1;
        aData[0] = static_cast<uint8_t>(static_cast<int8_t>(qdBcdCompare(*aBcd, zero)));
      } else {
        aData[0] = aValue.AsBoolean(aSettings) ? (aImage ? 0xFF : 1) : 0;
      }
      break;
    case qdtChar:
      aData[0] = charByte(aCodePage, aValue, aSettings);
      break;
    case qdtWideChar:
      store<char16_t>(aData, wideCharUnit(aValue, aSettings));
      break;
    case qdtByte:
    case qdtInt8:
      if (aImage) {
        aData[0] = static_cast<uint8_t>(aValue.AsInteger(aSettings));
      } else {
        const int64_t value = checkedIntegerSource(aValue, aBcd, aSettings);
        (void)(aType == qdtByte ? qdCheckRangeByte(true, value) : qdCheckRangeInt8(true, value));
        aData[0] = static_cast<uint8_t>(value);
      }
      break;
    case qdtWord16:
    case qdtInt16:
      if (aImage) {
        store<uint16_t>(aData, static_cast<uint16_t>(aValue.AsInteger(aSettings)));
      } else {
        const int64_t value = checkedIntegerSource(aValue, aBcd, aSettings);
        (void)(aType == qdtWord16 ? qdCheckRangeWord16(true, value) : qdCheckRangeInt16(true, value));
        store<uint16_t>(aData, static_cast<uint16_t>(value));
      }
      break;
    case qdtWord32:
      if (aImage) {
        store<uint32_t>(aData, static_cast<uint32_t>(aValue.AsInt64(aSettings)));
      } else {
        const int64_t value = checkedIntegerSource(aValue, aBcd, aSettings);
        (void)qdCheckRangeWord32(true, value);
        store<uint32_t>(aData, static_cast<uint32_t>(value));
      }
      break;
    case qdtInt32:
      if (aImage) {
        const int32_t value = aValue.VarType() == varLongWord ? static_cast<int32_t>(aValue.AsInt64(aSettings))
                                                              : aValue.AsInteger(aSettings);
        store<int32_t>(aData, value);
      } else if (aValue.VarType() == varInteger) {
        store<int32_t>(aData, aValue.AsInteger(aSettings));
      } else {
        const int64_t value = checkedIntegerSource(aValue, aBcd, aSettings);
        (void)qdCheckRangeInt32(true, value);
        store<int32_t>(aData, static_cast<int32_t>(value));
      }
      break;
    case qdtAutoInc:
    case qdtRecRev:
      store<uint32_t>(aData, static_cast<uint32_t>(bcdOrInt64(aValue, aBcd, aSettings)));
      break;
    case qdtInt64:
    case qdtRefNr:
      store<int64_t>(aData, aBcd != nullptr ? qdBcdToInt64(*aBcd, false) : qdVariantToInt64(aValue));
      break;
    case qdtSingle:
    case qdtDouble:
    case qdtExtended:
      writeFloat(aType, aValue, aBcd, aSettings, aData);
      break;
    case qdtCurrency:
      store<int64_t>(aData, aBcd != nullptr ? bcdToCurrency(*aBcd).Raw : aValue.AsCurrency(aSettings).Raw);
      break;
    case qdtDate: {
      TDateTime value;
      if (aImage && isText(aValue))
        value = qdDateFromVariant(aValue);
      else
        value = dateTimeOf(aValue, aSettings, isText(aValue));
      store<int32_t>(aData, DateTimeToTimeStamp(value).Date);
      break;
    }
    case qdtTime: {
      TDateTime value;
      if (aImage && isText(aValue))
        value = qdTimeFromVariant(aValue);
      else
        value = dateTimeOf(aValue, aSettings, isOleString(aValue));
      store<int32_t>(aData, DateTimeToTimeStamp(value).Time);
      break;
    }
    case qdtDateTime: {
      TDateTime value;
      if (aImage && isText(aValue)) {
        value = qdTimestampFromVariant(aValue);
      } else if (isOleString(aValue)) {
        value = dateTimeOf(aValue, aSettings, true);
      } else {
        if (isNumericKind(aValue) && aValue.AsDouble(aSettings) == 0) raiseZeroTimestamp();
        value = aValue.AsDateTime(aSettings);
      }
      writeDateTimeMSecs(value, aData);
      break;
    }
    case qdtGuid:
      writeGuid(aValue, aSettings, aData);
      break;
    case qdtBCD: {
      if (aBcd != nullptr) {
        store<int64_t>(aData, bcdToCurrency(*aBcd).Raw);
      } else if (!aImage && isText(aValue)) {
        const TqdVariant number = StrToFloat(aValue.AsString(aSettings), aSettings);
        store<int64_t>(aData, qdVariantToBcdCurr(number, aUnits, aDecimals).Raw);
      } else {
        store<int64_t>(aData, qdVariantToBcdCurr(aValue, aUnits, aDecimals).Raw);
      }
      break;
    }
    case qdtFmtBCD:
      qdVariantToFmtBcdBytes(aValue, aUnits, aDecimals, aData, aLength);
      break;
    default:
      raiseNoNativeForm("the type has a fixed native form");
  }
}

bool checkRange(bool aRaise, int64_t aValue, int64_t aMin, int64_t aMax) {
  if (aValue >= aMin && aValue <= aMax) return true;
  if (aRaise) throw Exception(Format(u"Value out of range for the target column type: %d", {aValue}));
  return false;
}

const TFormatSettings& threadFormatSettings() {
  return qdGetFormatSettings(qdConvertDefaultLocale(LOCALE_USER_DEFAULT));
}

}  // namespace

// ---- Native to Variant -------------------------------------------------------------------------

TqdVariant qdNativeToVariant(TqdFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aDecimals,
                             const void* aData, int32_t aLength) {
  (void)aUnits;
  const uint8_t* data = static_cast<const uint8_t*>(aData);
  const auto type = static_cast<TqdFieldType>(aType & 0x7F);
  // A fixed-size form needs its bytes; a shorter length is a caller's fault.
  const int32_t needed = fixedLength(type, 0);
  if (type != qdtFmtBCD && needed > 0 && aLength < needed) qdAssertFailed(kUnit, "the length holds the native form");
  switch (type) {
    case qdtBoolean:
      return data[0] != 0;
    case qdtChar:
      return readChar(aCodePage, data);
    case qdtWideChar:
      return qdString(1, load<char16_t>(data));
    case qdtByte:
      return static_cast<int32_t>(data[0]);
    case qdtWord16:
      return static_cast<int32_t>(load<uint16_t>(data));
    case qdtInt8:
      return static_cast<int32_t>(static_cast<int8_t>(data[0]));
    case qdtInt16:
      return static_cast<int32_t>(load<int16_t>(data));
    case qdtInt32:
      return load<int32_t>(data);
    case qdtWord32:
    case qdtAutoInc:
    case qdtRecRev: {
      const uint32_t value = load<uint32_t>(data);
      if (value < 0x80000000u) return static_cast<int32_t>(value);
      return static_cast<double>(value);
    }
    case qdtInt64:
    case qdtRefNr:
      return load<int64_t>(data);
    case qdtSingle:
      return static_cast<double>(load<float>(data));
    case qdtDouble:
      return load<double>(data);
    case qdtExtended:
      return qdExtendedToDouble(TqdExtended::FromBytes(data));
    case qdtCurrency:
    case qdtBCD:
      return TqdCurrency::FromRaw(load<int64_t>(data));
    case qdtDate:
      return TqdVariant::FromDate(static_cast<double>(load<int32_t>(data)) - kDateDelta);
    case qdtTime:
      return TqdVariant::FromDate(load<int32_t>(data) / kMSecsPerDayF);
    case qdtDateTime: {
      const double msecs = std::round(load<double>(data));
      if (!(msecs >= 0 && msecs < 9.2e18))
        throw EConvertError(Format(u"'%s' is not a valid timestamp", {FloatToStr(load<double>(data))}));
      return TqdVariant::FromDate(TimeStampToDateTime(MSecsToTimeStamp(static_cast<int64_t>(msecs))));
    }
    case qdtBlob:
    case qdtBlobGraphic:
    case qdtByteArray:
      return TqdVariant::FromBytes(std::vector<uint8_t>(data, data + std::max(aLength, 0)));
    case qdtNullString:
    case qdtBlobMemo:
      return readNullString(aCodePage, aDecimals, data, aLength);
    case qdtShortString:
      return readShortString(aCodePage, aDecimals, data, aLength);
    case qdtWideString:
    case qdtBlobWideMemo:
      return readWideString(aDecimals, data, aLength);
    case qdtGuid:
      return qdGuidToStr(data);
    case qdtFmtBCD: {
      TBcd value;
      std::memcpy(value.Bytes.data(), data, std::min<size_t>(std::max(aLength, 0), value.Bytes.size()));
      return qdBcdToVariant(value);
    }
    default:
      raiseNoNativeForm("the type has a native form");
  }
}

// ---- Variant to native ---------------------------------------------------------------------------

void qdVariantToNative(TqdFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aDecimals,
                       const TqdVariant& aValue, void* aData, int32_t aLength) {
  qdVariantToNativeFmt(threadFormatSettings(), aType, aCodePage, aUnits, aDecimals, aValue, aData, aLength, false);
}

void qdVariantToNativeFmt(const TFormatSettings& aFormatSettings, TqdFieldType aType, uint16_t aCodePage,
                          int32_t aUnits, int32_t aDecimals, const TqdVariant& aValue, void* aData, int32_t aLength,
                          bool aAllowTruncate) {
  uint8_t* data = bytesOf(aData);
  TBcd bcd;
  const bool isBcd = aValue.VarType() == varFmtBcd;
  if (isBcd) qdVariantToBcd(aValue, bcd);
  switch (aType) {
    case qdtNullString:
    case qdtBlobMemo:
      writeNullString(aFormatSettings, aCodePage, aDecimals, aValue, data, aLength, aAllowTruncate);
      return;
    case qdtShortString:
      writeShortString(aFormatSettings, aCodePage, aDecimals, aValue, data, aLength, aAllowTruncate);
      return;
    case qdtWideString:
    case qdtBlobWideMemo:
      writeWideString(aFormatSettings, aDecimals, aValue, data, aLength, aAllowTruncate);
      return;
    case qdtByteArray: {
      if (aLength <= 0) return;
      std::memset(data, 0, static_cast<size_t>(aLength));
      if (aValue.VarType() != varByteArray) return;
      const std::vector<uint8_t>& bytes = aValue.Bytes();
      const int64_t count = static_cast<int64_t>(bytes.size());
      if (!aAllowTruncate && count > aLength) raiseTooWide(count, aLength);
      std::memcpy(data, bytes.data(), static_cast<size_t>(std::min<int64_t>(count, aLength)));
      return;
    }
    default:
      break;
  }
  const int32_t needed = fixedLength(aType, aUnits);
  if (needed < 0) raiseNoNativeForm("the type has a native form");
  if (aType != qdtFmtBCD && aLength < needed) qdAssertFailed(kUnit, "the field holds the native form");
  writeFixed(aFormatSettings, aType, aCodePage, aUnits, aDecimals, aValue, isBcd ? &bcd : nullptr, data, aLength,
             false);
}

// ---- Byte images ------------------------------------------------------------------------------------

void qdVariantToBytes(TqdFieldType aType, uint16_t aCodePage, int32_t aUnits, int32_t aDecimals,
                      const TqdVariant& aValue, std::vector<uint8_t>& aBytes) {
  qdVariantToBytesFmt(threadFormatSettings(), aType, aCodePage, aUnits, aDecimals, aValue, aBytes);
}

void qdVariantToBytesFmt(const TFormatSettings& aFormatSettings, TqdFieldType aType, uint16_t aCodePage, int32_t aUnits,
                         int32_t aDecimals, const TqdVariant& aValue, std::vector<uint8_t>& aBytes) {
  if (aValue.IsNull()) {
    aBytes.clear();
    return;
  }
  switch (aType) {
    case qdtNullString:
    case qdtBlobMemo: {
      std::string bytes;
      if (aCodePage == 0 && !isOleString(aValue)) {
        bytes = ansiTextOf(aValue, aFormatSettings);
        if (aDecimals > 0) bytes = trimRightBlanks(std::move(bytes));
      } else {
        qdString text = wideTextOf(aValue, aFormatSettings);
        if (aDecimals > 0) text = trimRightBlanks(std::move(text));
        bytes = encodeWhole(ansiCodePage(aCodePage), text, u"NullStringToBuffer/WideCharToMultiByte/1");
      }
      aBytes.assign(bytes.begin(), bytes.end());
      aBytes.push_back(0);
      return;
    }
    case qdtShortString: {
      std::string bytes;
      if (aCodePage == 0 && !isOleString(aValue)) {
        bytes = ansiTextOf(aValue, aFormatSettings);
        if (aDecimals > 0) bytes = trimRightBlanks(std::move(bytes));
      } else {
        qdString text = wideTextOf(aValue, aFormatSettings);
        if (aDecimals > 0) text = trimRightBlanks(std::move(text));
        const uint32_t codePage = aCodePage != 0  ? aCodePage
                                  : aDecimals > 0 ? qdSystemAnsiCodePage()
                                                  : qdDefaultCodePage();
        bytes = encodeWhole(codePage, text, u"ShortStringToBuffer/WideCharToMultiByte/1");
      }
      if (bytes.size() > 255) raiseTooWide(static_cast<int64_t>(bytes.size()), 255);
      aBytes.assign(1, static_cast<uint8_t>(bytes.size()));
      aBytes.insert(aBytes.end(), bytes.begin(), bytes.end());
      return;
    }
    case qdtWideString:
    case qdtBlobWideMemo: {
      qdString text = wideTextOf(aValue, aFormatSettings);
      if (aDecimals > 0) text = trimRightBlanks(std::move(text));
      aBytes.assign(2 * text.size() + 2, 0);
      for (size_t i = 0; i < text.size(); ++i) store<char16_t>(aBytes.data() + 2 * i, text[i]);
      return;
    }
    case qdtByteArray:
      if (aValue.VarType() == varByteArray)
        aBytes = aValue.Bytes();
      else
        aBytes.clear();
      return;
    case qdtBlob:
      return;
    default:
      break;
  }
  const int32_t length = fixedLength(aType, aUnits);
  if (length < 0) {
    aBytes.clear();
    raiseNoNativeForm("the type has a byte image");
  }
  aBytes.assign(static_cast<size_t>(length), 0);
  writeFixed(aFormatSettings, aType, aCodePage, aUnits, aDecimals, aValue, nullptr, aBytes.data(), length, true);
}

// ---- Helpers for callers ---------------------------------------------------------------------------

bool qdVarIsEmptyOrNull(const TqdVariant& aValue) { return aValue.IsEmpty() || aValue.IsNull(); }

bool qdCheckRangeByte(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, 0, 255); }
bool qdCheckRangeWord16(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, 0, 65535); }
bool qdCheckRangeWord32(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, 0, 4294967295LL); }
bool qdCheckRangeInt8(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, -128, 127); }
bool qdCheckRangeInt16(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, -32768, 32767); }
bool qdCheckRangeInt32(bool aRaise, int64_t aValue) { return checkRange(aRaise, aValue, INT32_MIN, INT32_MAX); }

int64_t qdVariantToInt64(const TqdVariant& aValue) {
  switch (aValue.VarType()) {
    case varSingle:
    case varDouble:
    case varDate:
      return truncToInt64(aValue.AsDouble(), aValue.VarType());
    case varCurrency:
      return aValue.AsCurrency().Raw / kCurrencyScale;  // integer division cuts toward zero
    default:
      return aValue.AsInt64();
  }
}

qdString qdVariantBytesToString(const TqdVariant& aValue) {
  if (aValue.VarType() != varByteArray) return aValue.AsString();
  const std::vector<uint8_t>& bytes = aValue.Bytes();
  qdString result(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    char16_t& unit = result[i / 2];
    unit = static_cast<char16_t>(i % 2 == 0 ? (unit & 0xFF00) | bytes[i] : (unit & 0x00FF) | (bytes[i] << 8));
  }
  return result;
}

}  // namespace qd
