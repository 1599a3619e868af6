// The engine's string types and the UTF conversions at its boundaries.
//
// The engine keeps text as UTF-16 (`qdString`), as it is stored; UTF-8 is
// used only toward the file system, logs and `what()`. 8-bit text in a code
// page is a plain `std::string` of bytes (`qdAnsiString`).
#pragma once

#include <string>
#include <string_view>

namespace qd {

using qdString = std::u16string;
using qdStringView = std::u16string_view;
using qdAnsiString = std::string;

// Invalid sequences become U+FFFD; nothing is dropped silently.
qdString Utf8ToString(std::string_view aText);
std::string StringToUtf8(qdStringView aText);

// ASCII-only convenience for literals and identifiers held as std::string.
qdString AsciiToString(std::string_view aText);

}  // namespace qd
