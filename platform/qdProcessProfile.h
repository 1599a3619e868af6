// The process profile: the one process-wide "system locale" and "system ANSI
// code page", fixed for the process instead of read from the operating system.
//
// The study drill's data is Japanese, so the profile defaults to locale 1041
// (ja-JP) and code page 932. It is set once at start-up, before other
// threads run; tests switch it (for example to 1033/1252) with
// `TqdScopedProcessProfile`, which also resets the process-wide format
// settings to those of the new locale and restores both on exit.
//
// The unit also converts text between UTF-16 and the profile's ANSI code
// page (or another Windows code page number) through ICU converters, which
// it caches per thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/qdFormat.h"
#include "platform/qdStrings.h"

namespace qd {

constexpr uint32_t kDefaultSystemLocaleID = 1041;
constexpr uint16_t kDefaultAnsiCodePage = 932;

uint32_t qdSystemLocaleID();
uint16_t qdSystemAnsiCodePage();

// Sets the profile and rebuilds the process-wide format settings for the
// locale. Call before other threads use either.
void qdSetProcessProfile(uint32_t aLocaleID, uint16_t aAnsiCodePage);

// Switches the profile for a scope (tests) and restores the previous profile
// and process-wide format settings when it ends.
class TqdScopedProcessProfile {
 public:
  TqdScopedProcessProfile(uint32_t aLocaleID, uint16_t aAnsiCodePage);
  ~TqdScopedProcessProfile();
  TqdScopedProcessProfile(const TqdScopedProcessProfile&) = delete;
  TqdScopedProcessProfile& operator=(const TqdScopedProcessProfile&) = delete;

 private:
  uint32_t fSavedLocaleID;
  uint16_t fSavedAnsiCodePage;
  TFormatSettings fSavedSettings;
};

// Whether ICU knows a converter for the Windows code page number.
bool qdIsCodePageSupported(uint16_t aCodePage);

// Text in a Windows code page <-> UTF-16. Code page 0 is the profile's ANSI
// code page. Conversion goes through the NLS module (platform/qdNls.h), so
// undecodable bytes and unencodable characters are replaced as the system's
// own conversion does. An unknown code page raises EConvertError.
qdString qdAnsiToString(std::string_view aBytes, uint16_t aCodePage = 0);
qdAnsiString qdStringToAnsi(qdStringView aText, uint16_t aCodePage = 0);

}  // namespace qd
