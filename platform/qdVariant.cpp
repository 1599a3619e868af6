#include "platform/qdVariant.h"

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "platform/qdProcessProfile.h"

namespace qd {

// Lets the helpers below read the payload without widening the class's
// public surface.
struct TqdVariantAccess {
  static bool Bool(const TqdVariant& v) { return v.fValue.fBool; }
  static int64_t Int(const TqdVariant& v) { return v.fValue.fInt; }
  static uint64_t UInt(const TqdVariant& v) { return v.fValue.fUInt; }
  static float Single(const TqdVariant& v) { return v.fValue.fSingle; }
  static double Double(const TqdVariant& v) { return v.fValue.fDouble; }
  static const qdString& UString(const TqdVariant& v) { return std::get<qdString>(v.fData); }
  static const qdAnsiString& Ansi(const TqdVariant& v) { return std::get<qdAnsiString>(v.fData); }
  static const TBcd& Bcd(const TqdVariant& v) { return std::get<TBcd>(v.fData); }
  static void SetType(TqdVariant& v, TqdVarType aType) { v.fType = aType; }
  static void SetDouble(TqdVariant& v, double aValue) { v.fValue.fDouble = aValue; }
  static void SetInt(TqdVariant& v, int64_t aValue) { v.fValue.fInt = aValue; }
  template <typename T>
  static void SetData(TqdVariant& v, T aData) {
    v.fData = std::move(aData);
  }
};

namespace {

using A = TqdVariantAccess;

std::atomic<const TqdVariantBcdHandler*> bcdHandler{nullptr};

const TFormatSettings& pointSettings() {
  static const TFormatSettings settings = TFormatSettings::Invariant();
  return settings;
}

bool isIntegerKind(TqdVarType t) {
  switch (t) {
    case varShortInt:
    case varByte:
    case varSmallint:
    case varWord:
    case varInteger:
    case varLongWord:
    case varInt64:
    case varUInt64:
      return true;
    default:
      return false;
  }
}

bool isFloatKind(TqdVarType t) { return t == varSingle || t == varDouble; }
bool isStringKind(TqdVarType t) { return t == varUString || t == varString; }
bool isEmptyOrNull(TqdVarType t) { return t == varEmpty || t == varNull; }

[[noreturn]] void raiseCast(TqdVarType aFrom, TqdVarType aTo) {
  throw EVariantTypeCastError(u"Could not convert variant of type (" + VarTypeAsText(aFrom) + u") into type (" +
                              VarTypeAsText(aTo) + u")");
}

[[noreturn]] void raiseOverflow() { throw EVariantOverflowError(std::string_view("Variant overflow")); }

[[noreturn]] void raiseInvalidOp() { throw EVariantInvalidOpError(std::string_view("Invalid variant operation")); }

const TqdVariantBcdHandler& requireBcdHandler(TqdVarType aFrom, TqdVarType aTo) {
  const TqdVariantBcdHandler* handler = bcdHandler.load(std::memory_order_acquire);
  if (!handler) raiseCast(aFrom, aTo);
  return *handler;
}

// The BCD's decimal text with "." as the point.
qdString bcdText(const TqdVariant& v, TqdVarType aTo) { return requireBcdHandler(varFmtBcd, aTo).ToText(A::Bcd(v)); }

// Integer value, rounded half to even from floats, for a range check by the
// caller. The 128-bit result holds every Int64 and UInt64.
__int128 roundToWide(double aValue, TqdVarType aFrom, TqdVarType aTo) {
  if (std::isnan(aValue)) raiseCast(aFrom, aTo);
  constexpr double kTwoPow64 = 18446744073709551616.0;
  if (!(std::fabs(aValue) < kTwoPow64)) raiseOverflow();
  double whole = std::trunc(aValue);
  const double fraction = std::fabs(aValue - whole);
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += aValue < 0 ? -1.0 : 1.0;
  return static_cast<__int128>(whole);
}

__int128 wideFromText(qdStringView aText, TqdVarType aFrom, TqdVarType aTo, const TFormatSettings& s) {
  int64_t signedValue;
  if (TryStrToInt64(aText, signedValue)) return signedValue;
  uint64_t unsignedValue;
  if (TryStrToUInt64(aText, unsignedValue)) return unsignedValue;
  double floatValue;
  if (TryStrToFloat(aText, floatValue, s)) return roundToWide(floatValue, aFrom, aTo);
  raiseCast(aFrom, aTo);
}

__int128 toWideInteger(const TqdVariant& v, TqdVarType aTo, const TFormatSettings& s) {
  const TqdVarType t = v.VarType();
  switch (t) {
    case varEmpty:
      return 0;
    case varBoolean:
      return A::Bool(v) ? -1 : 0;
    case varShortInt:
    case varByte:
    case varSmallint:
    case varWord:
    case varInteger:
    case varLongWord:
    case varInt64:
      return A::Int(v);
    case varUInt64:
      return A::UInt(v);
    case varSingle:
      return roundToWide(A::Single(v), t, aTo);
    case varDouble:
    case varDate:
      return roundToWide(A::Double(v), t, aTo);
    case varCurrency:
      return qdCurrencyRound(TqdCurrency::FromRaw(A::Int(v)));
    case varUString:
    case varString:
      return wideFromText(v.AsString(s), t, aTo, s);
    case varFmtBcd:
      return wideFromText(bcdText(v, aTo), t, aTo, pointSettings());
    default:
      raiseCast(t, aTo);
  }
}

int64_t checkedInteger(const TqdVariant& v, TqdVarType aTo, __int128 aMin, __int128 aMax, const TFormatSettings& s) {
  const __int128 value = toWideInteger(v, aTo, s);
  if (value < aMin || value > aMax) raiseOverflow();
  return static_cast<int64_t>(value);
}

double doubleFromText(qdStringView aText, TqdVarType aFrom, TqdVarType aTo, const TFormatSettings& s) {
  double value;
  if (!TryStrToFloat(aText, value, s)) raiseCast(aFrom, aTo);
  return value;
}

int compareOrdered(auto aLeft, auto aRight) { return aLeft < aRight ? -1 : aLeft > aRight ? 1 : 0; }

TVariantRelationship relationship(int aOrder) { return aOrder < 0 ? vrLessThan : aOrder > 0 ? vrGreaterThan : vrEqual; }

TVariantRelationship compareDoubles(double aLeft, double aRight) {
  if (std::isnan(aLeft) || std::isnan(aRight)) return vrNotEqual;
  return relationship(compareOrdered(aLeft, aRight));
}

// Both sides numeric (integers, floats, currency, date).
TVariantRelationship compareNumbers(const TqdVariant& a, const TqdVariant& b, const TFormatSettings& s) {
  const TqdVarType ta = a.VarType(), tb = b.VarType();
  if (isIntegerKind(ta) && isIntegerKind(tb))
    return relationship(compareOrdered(toWideInteger(a, varInt64, s), toWideInteger(b, varInt64, s)));
  const bool currencyA = ta == varCurrency, currencyB = tb == varCurrency;
  if ((currencyA || isIntegerKind(ta)) && (currencyB || isIntegerKind(tb))) {
    // Exact: integers scaled to the currency's units.
    const __int128 left = currencyA ? A::Int(a) : toWideInteger(a, varInt64, s) * kCurrencyScale;
    const __int128 right = currencyB ? A::Int(b) : toWideInteger(b, varInt64, s) * kCurrencyScale;
    return relationship(compareOrdered(left, right));
  }
  return compareDoubles(a.AsDouble(s), b.AsDouble(s));
}

qdString textOf(const TqdVariant& v, const TFormatSettings& s) { return v.AsString(s); }

}  // namespace

void qdSetVariantBcdHandler(const TqdVariantBcdHandler* aHandler) {
  bcdHandler.store(aHandler, std::memory_order_release);
}

// ---- Construction -------------------------------------------------------------

TqdVariant TqdVariant::Null() {
  TqdVariant v;
  A::SetType(v, varNull);
  return v;
}

TqdVariant TqdVariant::FromDate(TDateTime aValue) {
  TqdVariant v;
  A::SetType(v, varDate);
  A::SetDouble(v, aValue);
  return v;
}

TqdVariant TqdVariant::FromAnsi(qdAnsiString aBytes) {
  TqdVariant v;
  A::SetType(v, varString);
  A::SetData(v, std::move(aBytes));
  return v;
}

TqdVariant TqdVariant::FromBytes(std::vector<uint8_t> aBytes) {
  TqdVariant v;
  A::SetType(v, varByteArray);
  A::SetData(v, std::move(aBytes));
  return v;
}

TqdVariant TqdVariant::FromArray(std::vector<TqdVariant> aElements) {
  TqdVariant v;
  A::SetType(v, varVariantArray);
  A::SetData(v, std::move(aElements));
  return v;
}

TqdVariant TqdVariant::FromBcd(const TBcd& aValue) {
  TqdVariant v;
  A::SetType(v, varFmtBcd);
  A::SetData(v, aValue);
  return v;
}

// ---- Conversions --------------------------------------------------------------

bool TqdVariant::AsBoolean(const TFormatSettings& aSettings) const {
  switch (fType) {
    case varEmpty:
      return false;
    case varBoolean:
      return fValue.fBool;
    case varUInt64:
      return fValue.fUInt != 0;
    case varSingle:
      return fValue.fSingle != 0;
    case varDouble:
    case varDate:
      return fValue.fDouble != 0;
    case varUString:
    case varString: {
      bool value;
      const qdString text = AsString(aSettings);
      if (TryStrToBool(text, value)) return value;
      double number;
      if (TryStrToFloat(text, number, aSettings)) return number != 0;
      raiseCast(fType, varBoolean);
    }
    case varFmtBcd: {
      double number;
      if (!TryStrToFloat(bcdText(*this, varBoolean), number, pointSettings())) raiseCast(fType, varBoolean);
      return number != 0;
    }
    default:
      if (isIntegerKind(fType) || fType == varCurrency) return fValue.fInt != 0;
      raiseCast(fType, varBoolean);
  }
}

int32_t TqdVariant::AsInteger(const TFormatSettings& aSettings) const {
  return static_cast<int32_t>(checkedInteger(*this, varInteger, INT32_MIN, INT32_MAX, aSettings));
}

int64_t TqdVariant::AsInt64(const TFormatSettings& aSettings) const {
  return checkedInteger(*this, varInt64, INT64_MIN, INT64_MAX, aSettings);
}

uint64_t TqdVariant::AsUInt64(const TFormatSettings& aSettings) const {
  const __int128 value = toWideInteger(*this, varUInt64, aSettings);
  if (value < 0 || value > static_cast<__int128>(UINT64_MAX)) raiseOverflow();
  return static_cast<uint64_t>(value);
}

float TqdVariant::AsSingle(const TFormatSettings& aSettings) const {
  if (fType == varSingle) return fValue.fSingle;
  const double value = AsDouble(aSettings);
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    // Values that round to FLT_MAX still fit; beyond that it is an overflow.
    const float narrowed = static_cast<float>(value);
    if (std::isinf(narrowed)) raiseOverflow();
    return narrowed;
  }
  return static_cast<float>(value);
}

double TqdVariant::AsDouble(const TFormatSettings& aSettings) const {
  switch (fType) {
    case varEmpty:
      return 0;
    case varBoolean:
      return fValue.fBool ? -1 : 0;
    case varUInt64:
      return static_cast<double>(fValue.fUInt);
    case varSingle:
      return fValue.fSingle;
    case varDouble:
    case varDate:
      return fValue.fDouble;
    case varCurrency:
      return qdCurrencyToDouble(TqdCurrency::FromRaw(fValue.fInt));
    case varUString:
    case varString:
      return doubleFromText(AsString(aSettings), fType, varDouble, aSettings);
    case varFmtBcd:
      return doubleFromText(bcdText(*this, varDouble), fType, varDouble, pointSettings());
    default:
      if (isIntegerKind(fType)) return static_cast<double>(fValue.fInt);
      raiseCast(fType, varDouble);
  }
}

TqdCurrency TqdVariant::AsCurrency(const TFormatSettings& aSettings) const {
  TqdCurrency result;
  switch (fType) {
    case varEmpty:
      return TqdCurrency{};
    case varCurrency:
      return TqdCurrency::FromRaw(fValue.fInt);
    case varBoolean:
      return TqdCurrency::FromRaw(fValue.fBool ? -kCurrencyScale : 0);
    case varUInt64:
      if (fValue.fUInt > static_cast<uint64_t>(INT64_MAX) ||
          !qdTryInt64ToCurrency(static_cast<int64_t>(fValue.fUInt), result))
        raiseOverflow();
      return result;
    case varSingle:
    case varDouble:
    case varDate: {
      const double value = fType == varSingle ? fValue.fSingle : fValue.fDouble;
      if (std::isnan(value)) raiseCast(fType, varCurrency);
      if (!qdTryDoubleToCurrency(value, result)) raiseOverflow();
      return result;
    }
    case varUString:
    case varString:
      if (!TryStrToCurr(AsString(aSettings), result, aSettings)) raiseCast(fType, varCurrency);
      return result;
    case varFmtBcd:
      if (!TryStrToCurr(bcdText(*this, varCurrency), result, pointSettings())) raiseOverflow();
      return result;
    default:
      if (!isIntegerKind(fType)) raiseCast(fType, varCurrency);
      if (!qdTryInt64ToCurrency(fValue.fInt, result)) raiseOverflow();
      return result;
  }
}

TDateTime TqdVariant::AsDateTime(const TFormatSettings& aSettings) const {
  switch (fType) {
    case varDate:
      return fValue.fDouble;
    case varUString:
    case varString: {
      TDateTime value;
      if (!TryStrToDateTime(AsString(aSettings), value, aSettings)) raiseCast(fType, varDate);
      return value;
    }
    case varNull:
    case varByteArray:
    case varVariantArray:
      raiseCast(fType, varDate);
    default:
      return AsDouble(aSettings);
  }
}

qdString TqdVariant::AsString(const TFormatSettings& aSettings) const {
  switch (fType) {
    case varEmpty:
      return {};
    case varBoolean:
      return BoolToStr(fValue.fBool, true);
    case varUInt64:
      return UIntToStr(fValue.fUInt);
    case varSingle:
      return FloatToStr(fValue.fSingle, aSettings);
    case varDouble:
      return FloatToStr(fValue.fDouble, aSettings);
    case varDate:
      return DateTimeToStr(fValue.fDouble, aSettings);
    case varCurrency:
      return CurrToStr(TqdCurrency::FromRaw(fValue.fInt), aSettings);
    case varUString:
      return A::UString(*this);
    case varString:
      return qdAnsiToString(A::Ansi(*this));
    case varFmtBcd: {
      qdString text = bcdText(*this, varUString);
      for (char16_t& c : text)
        if (c == u'.') c = aSettings.DecimalSeparator;
      return text;
    }
    default:
      if (isIntegerKind(fType)) return IntToStr(fValue.fInt);
      raiseCast(fType, varUString);
  }
}

qdAnsiString TqdVariant::AsAnsiString(const TFormatSettings& aSettings) const {
  if (fType == varString) return A::Ansi(*this);
  return qdStringToAnsi(AsString(aSettings));
}

TBcd TqdVariant::AsBcd(const TFormatSettings& aSettings) const {
  if (fType == varFmtBcd) return A::Bcd(*this);
  if (fType == varNull || IsArray()) raiseCast(fType, varFmtBcd);
  const TqdVariantBcdHandler& handler = requireBcdHandler(fType, varFmtBcd);
  // Numbers go through their text with "." as the point, texts as given.
  const qdString text = isStringKind(fType) ? AsString(aSettings) : AsString(pointSettings());
  qdString decimal = text;
  if (isStringKind(fType)) {
    for (char16_t& c : decimal)
      if (c == aSettings.DecimalSeparator) c = u'.';
  }
  TBcd result;
  if (!handler.FromText(decimal, result)) raiseCast(fType, varFmtBcd);
  return result;
}

// ---- Arrays and identity ------------------------------------------------------

const std::vector<uint8_t>& TqdVariant::Bytes() const {
  if (fType != varByteArray) throw EVariantError(std::string_view("Variant is not a byte array"));
  return std::get<std::vector<uint8_t>>(fData);
}

const std::vector<TqdVariant>& TqdVariant::Elements() const {
  if (fType != varVariantArray) throw EVariantError(std::string_view("Variant is not an array"));
  return std::get<std::vector<TqdVariant>>(fData);
}

const TqdVariant& TqdVariant::Element(size_t aIndex) const {
  const auto& elements = Elements();
  if (aIndex >= elements.size())
    throw EVariantBadIndexError(std::string_view("Variant or safe array index out of bounds"));
  return elements[aIndex];
}

bool TqdVariant::IsIdentical(const TqdVariant& aOther) const {
  if (fType != aOther.fType) return false;
  switch (fType) {
    case varEmpty:
    case varNull:
      return true;
    case varBoolean:
      return fValue.fBool == aOther.fValue.fBool;
    case varSingle:
      return std::memcmp(&fValue.fSingle, &aOther.fValue.fSingle, sizeof(float)) == 0;
    case varDouble:
    case varDate:
      return std::memcmp(&fValue.fDouble, &aOther.fValue.fDouble, sizeof(double)) == 0;
    case varUInt64:
      return fValue.fUInt == aOther.fValue.fUInt;
    case varUString:
      return A::UString(*this) == A::UString(aOther);
    case varString:
      return A::Ansi(*this) == A::Ansi(aOther);
    case varByteArray:
      return Bytes() == aOther.Bytes();
    case varFmtBcd:
      return A::Bcd(*this) == A::Bcd(aOther);
    case varVariantArray: {
      const auto& left = Elements();
      const auto& right = aOther.Elements();
      if (left.size() != right.size()) return false;
      for (size_t i = 0; i < left.size(); ++i)
        if (!left[i].IsIdentical(right[i])) return false;
      return true;
    }
    default:
      return fValue.fInt == aOther.fValue.fInt;
  }
}

// ---- Free functions -----------------------------------------------------------

qdString VarTypeAsText(TqdVarType aType) {
  if (aType & varArray) return u"Array " + VarTypeAsText(static_cast<TqdVarType>(aType & ~varArray));
  switch (aType) {
    case varEmpty:
      return u"Empty";
    case varNull:
      return u"Null";
    case varSmallint:
      return u"Smallint";
    case varInteger:
      return u"Integer";
    case varSingle:
      return u"Single";
    case varDouble:
      return u"Double";
    case varCurrency:
      return u"Currency";
    case varDate:
      return u"Date";
    case varBoolean:
      return u"Boolean";
    case varVariant:
      return u"Variant";
    case varShortInt:
      return u"ShortInt";
    case varByte:
      return u"Byte";
    case varWord:
      return u"Word";
    case varLongWord:
      return u"Cardinal";
    case varInt64:
      return u"Int64";
    case varUInt64:
      return u"UInt64";
    case varString:
      return u"String";
    case varUString:
      return u"UnicodeString";
    case varFmtBcd:
      return u"FMTBcd";
    default:
      return u"$" + IntToHex(static_cast<int32_t>(aType), 4);
  }
}

TqdVariant VarAsType(const TqdVariant& aValue, TqdVarType aType, const TFormatSettings& aSettings) {
  if (aValue.VarType() == aType) return aValue;
  const auto integer = [&](__int128 aMin, __int128 aMax) {
    const int64_t value = checkedInteger(aValue, aType, aMin, aMax, aSettings);
    TqdVariant result;
    A::SetType(result, aType);
    A::SetInt(result, value);
    return result;
  };
  switch (aType) {
    case varEmpty:
      return TqdVariant();
    case varNull:
      return TqdVariant::Null();
    case varBoolean:
      return TqdVariant(aValue.AsBoolean(aSettings));
    case varShortInt:
      return integer(INT8_MIN, INT8_MAX);
    case varByte:
      return integer(0, UINT8_MAX);
    case varSmallint:
      return integer(INT16_MIN, INT16_MAX);
    case varWord:
      return integer(0, UINT16_MAX);
    case varInteger:
      return integer(INT32_MIN, INT32_MAX);
    case varLongWord:
      return integer(0, UINT32_MAX);
    case varInt64:
      return integer(INT64_MIN, INT64_MAX);
    case varUInt64:
      return TqdVariant(aValue.AsUInt64(aSettings));
    case varSingle:
      return TqdVariant(aValue.AsSingle(aSettings));
    case varDouble:
      return TqdVariant(aValue.AsDouble(aSettings));
    case varCurrency:
      return TqdVariant(aValue.AsCurrency(aSettings));
    case varDate:
      return TqdVariant::FromDate(aValue.AsDateTime(aSettings));
    case varUString:
      return TqdVariant(aValue.AsString(aSettings));
    case varString:
      return TqdVariant::FromAnsi(aValue.AsAnsiString(aSettings));
    case varFmtBcd:
      return TqdVariant::FromBcd(aValue.AsBcd(aSettings));
    default:
      raiseCast(aValue.VarType(), aType);
  }
}

TVariantRelationship VarCompareValue(const TqdVariant& aLeft, const TqdVariant& aRight, const TFormatSettings& s) {
  const TqdVarType ta = aLeft.VarType(), tb = aRight.VarType();
  if (aLeft.IsArray() || aRight.IsArray()) raiseInvalidOp();
  if (isEmptyOrNull(ta) || isEmptyOrNull(tb)) return ta == tb ? vrEqual : vrNotEqual;
  if (isStringKind(ta) && isStringKind(tb)) return relationship(textOf(aLeft, s).compare(textOf(aRight, s)));
  if (ta == varBoolean || tb == varBoolean)
    return relationship(compareOrdered(aLeft.AsBoolean(s), aRight.AsBoolean(s)));
  if (ta == varFmtBcd || tb == varFmtBcd) {
    const TqdVariantBcdHandler& handler = requireBcdHandler(ta == varFmtBcd ? tb : ta, varFmtBcd);
    return relationship(handler.Compare(aLeft.AsBcd(s), aRight.AsBcd(s)));
  }
  // A text meets a number or a date: read it as the other side's kind.
  if (isStringKind(ta) || isStringKind(tb)) {
    const bool leftIsText = isStringKind(ta);
    const TqdVariant& text = leftIsText ? aLeft : aRight;
    const TqdVariant& other = leftIsText ? aRight : aLeft;
    TqdVariant converted;
    if (other.VarType() == varDate) {
      converted = TqdVariant::FromDate(text.AsDateTime(s));
    } else if (other.VarType() == varCurrency) {
      converted = TqdVariant(text.AsCurrency(s));
    } else {
      int64_t integer;
      converted = isIntegerKind(other.VarType()) && TryStrToInt64(text.AsString(s), integer)
                      ? TqdVariant(integer)
                      : TqdVariant(text.AsDouble(s));
    }
    return leftIsText ? compareNumbers(converted, other, s) : compareNumbers(other, converted, s);
  }
  return compareNumbers(aLeft, aRight, s);
}

bool VarSameValue(const TqdVariant& aLeft, const TqdVariant& aRight, const TFormatSettings& aSettings) {
  return VarCompareValue(aLeft, aRight, aSettings) == vrEqual;
}

bool VarIsEmpty(const TqdVariant& aValue) { return aValue.VarType() == varEmpty; }
bool VarIsNull(const TqdVariant& aValue) { return aValue.VarType() == varNull; }
bool VarIsStr(const TqdVariant& aValue) { return isStringKind(aValue.VarType()); }
bool VarIsOrdinal(const TqdVariant& aValue) {
  return aValue.VarType() == varBoolean || isIntegerKind(aValue.VarType());
}
bool VarIsFloat(const TqdVariant& aValue) { return isFloatKind(aValue.VarType()) || aValue.VarType() == varCurrency; }
bool VarIsNumeric(const TqdVariant& aValue) { return VarIsOrdinal(aValue) || VarIsFloat(aValue); }
bool VarIsByteArray(const TqdVariant& aValue) { return aValue.VarType() == varByteArray; }

qdString VarToStr(const TqdVariant& aValue) { return aValue.IsNull() ? qdString() : aValue.AsString(); }

qdString VarToStrDef(const TqdVariant& aValue, const qdString& aDefault) {
  return aValue.IsNull() ? aDefault : aValue.AsString();
}

}  // namespace qd
