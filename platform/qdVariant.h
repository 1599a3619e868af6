// TqdVariant: the tagged value through which cursors, SQL, default values,
// validations and the client exchange single values, with the platform's
// conversion rules.
//
// Kinds (`TqdVarType`, numbered as the platform numbers them): Empty
// (unassigned), Null, Boolean, the integers ShortInt, Byte, SmallInt, Word,
// Integer, LongWord, Int64, UInt64, Single, Double, Currency, Date
// (TDateTime), a UTF-16 string (`varUString`, the platform's OLE string
// kind), an 8-bit string in the process's ANSI code page (`varString`), a
// byte array, an array of variants, and a BCD decimal (`varFmtBcd`) holding
// a 34-byte `TBcd` record.
//
// Conversions (the As... methods, `VarAsType`):
//   - Empty converts to 0, False, '' and the date 0; Null refuses every
//     conversion with EVariantTypeCastError.
//   - True is -1 as a number; numbers are True when non-zero; texts convert
//     to Boolean from "True"/"False" (any case) or a number.
//   - Floats, dates and currency convert to integers rounded half to even;
//     a result outside the target's range raises EVariantOverflowError, NaN
//     EVariantTypeCastError. Nothing casts an out-of-range float.
//   - Texts are parsed (and numbers and dates written) with the format
//     settings passed in, by default the process-wide ones; text that is no
//     number or date raises EVariantTypeCastError.
//   - Arrays convert to nothing but themselves.
//   - BCD values convert through the decimal handler that the decimal unit
//     installs (`qdSetVariantBcdHandler`); without one they raise
//     EVariantTypeCastError.
//
// Comparison (`VarCompareValue`): Empty and Null equal only themselves and
// are "not equal" to anything else; numbers compare by value after widening
// (integers exactly, currency exactly against integers, otherwise as
// doubles); texts compare by UTF-16 code units; a text against a number or
// date is converted to the other side's kind; a Boolean against anything
// compares as Booleans (False < True). Arrays cannot be compared.
//
// Values are plain copyable objects; nothing is shared between copies.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/qdCurrency.h"
#include "platform/qdDateTime.h"
#include "platform/qdFormat.h"
#include "platform/qdStrings.h"
#include "platform/qdSysUtils.h"

namespace qd {

enum TqdVarType : uint16_t {
  varEmpty = 0x0000,
  varNull = 0x0001,
  varSmallint = 0x0002,
  varInteger = 0x0003,
  varSingle = 0x0004,
  varDouble = 0x0005,
  varCurrency = 0x0006,
  varDate = 0x0007,
  varBoolean = 0x000B,
  varVariant = 0x000C,
  varShortInt = 0x0010,
  varByte = 0x0011,
  varWord = 0x0012,
  varLongWord = 0x0013,
  varInt64 = 0x0014,
  varUInt64 = 0x0015,
  varString = 0x0100,   // 8-bit text in the ANSI code page
  varUString = 0x0102,  // UTF-16 text
  varFmtBcd = 0x010F,
  varArray = 0x2000,
  varByteArray = varArray | varByte,
  varVariantArray = varArray | varVariant,
};

// The BCD record: byte 0 precision, byte 1 sign (bit 7), special flag
// (bit 6) and scale (bits 0..5), bytes 2..33 packed digits. The variant only
// carries it; the decimal unit gives it meaning.
struct TBcd {
  std::array<uint8_t, 34> Bytes{};
  friend bool operator==(const TBcd&, const TBcd&) = default;
};

// Conversions of BCD values, installed by the decimal unit at start-up.
// Texts use "." as the decimal point and no exponent.
struct TqdVariantBcdHandler {
  qdString (*ToText)(const TBcd& aValue);
  bool (*FromText)(qdStringView aText, TBcd& aValue);
  int (*Compare)(const TBcd& aLeft, const TBcd& aRight);  // -1, 0, 1
};
// The handler must outlive every use; nullptr removes it.
void qdSetVariantBcdHandler(const TqdVariantBcdHandler* aHandler);

class EVariantError : public Exception {
 public:
  using Exception::Exception;
};
// "Could not convert variant of type (%s) into type (%s)"
class EVariantTypeCastError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};
// "Variant overflow"
class EVariantOverflowError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};
// "Invalid variant operation"
class EVariantInvalidOpError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};
// "Variant or safe array index out of bounds"
class EVariantBadIndexError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

enum TVariantRelationship { vrEqual, vrLessThan, vrGreaterThan, vrNotEqual };

class TqdVariant {
 public:
  TqdVariant() = default;                                                 // Empty
  TqdVariant(bool aValue) : fType(varBoolean) { fValue.fBool = aValue; }  // NOLINT(google-explicit-constructor)

  template <typename T>
  requires std::is_integral_v<T> &&
      (!std::is_same_v<T, bool>)&&(!std::is_same_v<T, char>)&&(!std::is_same_v<T, char16_t>)&&(
          !std::is_same_v<T, char32_t>)&&(!std::is_same_v<T, char8_t>)&&(!std::is_same_v<T, wchar_t>)
          TqdVariant(T aValue) {  // NOLINT(google-explicit-constructor)
    if constexpr (std::is_signed_v<T>) {
      fType = sizeof(T) == 1 ? varShortInt : sizeof(T) == 2 ? varSmallint : sizeof(T) == 4 ? varInteger : varInt64;
      fValue.fInt = aValue;
    } else if constexpr (sizeof(T) < 8) {
      fType = sizeof(T) == 1 ? varByte : sizeof(T) == 2 ? varWord : varLongWord;
      fValue.fInt = aValue;
    } else {
      fType = varUInt64;
      fValue.fUInt = aValue;
    }
  }
  TqdVariant(float aValue) : fType(varSingle) { fValue.fSingle = aValue; }            // NOLINT
  TqdVariant(double aValue) : fType(varDouble) { fValue.fDouble = aValue; }           // NOLINT
  TqdVariant(TqdCurrency aValue) : fType(varCurrency) { fValue.fInt = aValue.Raw; }   // NOLINT
  TqdVariant(qdString aValue) : fType(varUString), fData(std::move(aValue)) {}        // NOLINT
  TqdVariant(qdStringView aValue) : fType(varUString), fData(qdString(aValue)) {}     // NOLINT
  TqdVariant(const char16_t* aValue) : fType(varUString), fData(qdString(aValue)) {}  // NOLINT

  static TqdVariant Null();
  static TqdVariant FromDate(TDateTime aValue);
  static TqdVariant FromAnsi(qdAnsiString aBytes);
  static TqdVariant FromBytes(std::vector<uint8_t> aBytes);
  static TqdVariant FromArray(std::vector<TqdVariant> aElements);
  static TqdVariant FromBcd(const TBcd& aValue);

  TqdVarType VarType() const { return fType; }
  bool IsEmpty() const { return fType == varEmpty; }
  bool IsNull() const { return fType == varNull; }
  bool IsArray() const { return (fType & varArray) != 0; }

  // Conversions by the platform's rules (see the top of this header).
  bool AsBoolean(const TFormatSettings& aSettings = FormatSettings()) const;
  int32_t AsInteger(const TFormatSettings& aSettings = FormatSettings()) const;
  int64_t AsInt64(const TFormatSettings& aSettings = FormatSettings()) const;
  uint64_t AsUInt64(const TFormatSettings& aSettings = FormatSettings()) const;
  float AsSingle(const TFormatSettings& aSettings = FormatSettings()) const;
  double AsDouble(const TFormatSettings& aSettings = FormatSettings()) const;
  TqdCurrency AsCurrency(const TFormatSettings& aSettings = FormatSettings()) const;
  TDateTime AsDateTime(const TFormatSettings& aSettings = FormatSettings()) const;
  qdString AsString(const TFormatSettings& aSettings = FormatSettings()) const;
  qdAnsiString AsAnsiString(const TFormatSettings& aSettings = FormatSettings()) const;
  TBcd AsBcd(const TFormatSettings& aSettings = FormatSettings()) const;

  // Arrays: the payload as it is. A byte array's bytes; a variant array's
  // elements (bounds 0 .. count - 1). Other kinds raise EVariantError.
  const std::vector<uint8_t>& Bytes() const;
  const std::vector<TqdVariant>& Elements() const;
  const TqdVariant& Element(size_t aIndex) const;  // EVariantBadIndexError beyond the bounds

  // Same kind and same payload, bit for bit (a NaN is identical to itself).
  bool IsIdentical(const TqdVariant& aOther) const;

 private:
  friend struct TqdVariantAccess;
  TqdVarType fType = varEmpty;
  union {
    bool fBool;
    int64_t fInt;  // every integer kind but UInt64, and Currency's raw value
    uint64_t fUInt;
    float fSingle;
    double fDouble;  // Double and Date
  } fValue{.fInt = 0};
  std::variant<std::monostate, qdString, qdAnsiString, std::vector<uint8_t>, std::vector<TqdVariant>, TBcd> fData;
};

// The kind's name as the platform's messages show it ("Integer", "Double",
// "UnicodeString", "Array Byte", ...).
qdString VarTypeAsText(TqdVarType aType);

// A new value of the given kind (range-checked for the small integer kinds).
TqdVariant VarAsType(const TqdVariant& aValue, TqdVarType aType, const TFormatSettings& aSettings = FormatSettings());

TVariantRelationship VarCompareValue(const TqdVariant& aLeft, const TqdVariant& aRight,
                                     const TFormatSettings& aSettings = FormatSettings());
bool VarSameValue(const TqdVariant& aLeft, const TqdVariant& aRight,
                  const TFormatSettings& aSettings = FormatSettings());

bool VarIsEmpty(const TqdVariant& aValue);
bool VarIsNull(const TqdVariant& aValue);
bool VarIsStr(const TqdVariant& aValue);      // UTF-16 or ANSI string
bool VarIsOrdinal(const TqdVariant& aValue);  // Boolean or an integer kind
bool VarIsFloat(const TqdVariant& aValue);    // Single, Double, Currency
bool VarIsNumeric(const TqdVariant& aValue);  // ordinal or float
bool VarIsByteArray(const TqdVariant& aValue);

// The text of a value, Null giving '' instead of raising.
qdString VarToStr(const TqdVariant& aValue);
qdString VarToStrDef(const TqdVariant& aValue, const qdString& aDefault);

}  // namespace qd
