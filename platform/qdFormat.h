// Text formatting with the run-time library's format-string syntax.
//
// The engine's messages are format strings written for the run-time
// library's Format: "%" [index ":"] ["-"] [width] ["." precision] type, with
// the types d (signed decimal), u (unsigned decimal), x (upper-case
// hexadecimal), s (string), f, e, g, n (floating point) and p (pointer), "%%"
// for a percent sign, and "*" taking the index, width or precision from the
// next argument. A format that does not match its arguments raises
// EConvertError with the library's texts.
//
// Arguments are passed as a braced list of TqdFormatArg, which takes integers
// of any width, floating-point values, UTF-16 and UTF-8 strings, single
// UTF-16 characters and pointers:
//   Format(u"%s class is not supported: %s", {className, what})
//
// Classes: TqdFormatArg. Nothing is shared; every call is independent.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/qdStrings.h"

namespace qd {

class TqdFormatArg {
 public:
  enum class TqdKind : uint8_t { fakSigned, fakUnsigned, fakFloat, fakString, fakPointer };

  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, char8_t> &&
           !std::same_as<T, char16_t> && !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>) TqdFormatArg(T aValue)
      : faWide(sizeof(T) > 4) {
    if constexpr (std::is_signed_v<T>) {
      faKind = TqdKind::fakSigned;
      faSigned = aValue;
    } else {
      faKind = TqdKind::fakUnsigned;
      faUnsigned = aValue;
    }
  }
  // A Boolean is not a number for the format routine; say which you mean.
  TqdFormatArg(bool) = delete;

  template <std::floating_point T>
  TqdFormatArg(T aValue) : faKind(TqdKind::fakFloat), faFloat(aValue) {}

  TqdFormatArg(char16_t aChar) : faKind(TqdKind::fakString), faString(1, aChar) {}
  TqdFormatArg(qdStringView aText) : faKind(TqdKind::fakString), faString(aText) {}
  TqdFormatArg(const qdString& aText) : faKind(TqdKind::fakString), faString(aText) {}
  TqdFormatArg(const char16_t* aText) : faKind(TqdKind::fakString), faString(aText ? aText : u"") {}
  // Narrow text is taken as UTF-8.
  TqdFormatArg(std::string_view aUtf8) : faKind(TqdKind::fakString), faString(Utf8ToString(aUtf8)) {}
  TqdFormatArg(const std::string& aUtf8) : TqdFormatArg(std::string_view(aUtf8)) {}
  TqdFormatArg(const char* aUtf8) : TqdFormatArg(std::string_view(aUtf8 ? aUtf8 : "")) {}
  TqdFormatArg(const void* aPointer)
      : faKind(TqdKind::fakPointer), faUnsigned(reinterpret_cast<uintptr_t>(aPointer)), faWide(true) {}

  TqdKind Kind() const { return faKind; }
  int64_t AsSigned() const { return faSigned; }
  uint64_t AsUnsigned() const { return faUnsigned; }
  long double AsFloat() const { return faFloat; }
  const qdString& AsString() const { return faString; }
  // True for arguments of more than 32 bits: "%x" and "%u" of a negative
  // 32-bit value show 32 bits, of a 64-bit value 64 bits.
  bool IsWide() const { return faWide; }

 private:
  TqdKind faKind;
  int64_t faSigned = 0;
  uint64_t faUnsigned = 0;
  long double faFloat = 0;
  qdString faString;
  bool faWide = false;
};

using TqdFormatArgs = std::initializer_list<TqdFormatArg>;

qdString Format(qdStringView aFormat, TqdFormatArgs aArgs);

}  // namespace qd
