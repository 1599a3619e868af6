#include "platform/qdProcessProfile.h"

#include "platform/qdNls.h"

#include <unicode/ucnv.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/qdSysUtils.h"

namespace qd {

namespace {

std::atomic<uint32_t> systemLocaleID{kDefaultSystemLocaleID};
std::atomic<uint16_t> systemAnsiCodePage{kDefaultAnsiCodePage};

// ICU names for the Windows code page numbers; ICU knows most of them as
// "windows-<n>" or "cp<n>" aliases.
std::vector<std::string> icuNamesFor(uint16_t aCodePage) {
  switch (aCodePage) {
    case 932:
      return {"windows-31j"};
    case 65001:
      return {"UTF-8"};
    case 1200:
      return {"UTF-16LE"};
    case 1201:
      return {"UTF-16BE"};
    case 20127:
      return {"US-ASCII"};
    case 28591:
      return {"ISO-8859-1"};
    case 20932:
      return {"EUC-JP"};
    case 50220:
      return {"ISO-2022-JP"};
    default:
      return {"windows-" + std::to_string(aCodePage), "cp" + std::to_string(aCodePage),
              "ibm-" + std::to_string(aCodePage)};
  }
}

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

ConverterPtr openConverter(uint16_t aCodePage) {
  for (const auto& name : icuNamesFor(aCodePage)) {
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr converter(ucnv_open(name.c_str(), &status));
    if (U_SUCCESS(status) && converter) {
      status = U_ZERO_ERROR;
      ucnv_setSubstChars(converter.get(), "?", 1, &status);
      return converter;
    }
  }
  return nullptr;
}

// One converter per code page and thread: ICU converters keep state and are
// not shared between threads.
UConverter* converterFor(uint16_t aCodePage) {
  struct Entry {
    uint16_t codePage;
    ConverterPtr converter;
  };
  thread_local std::vector<Entry> cache;
  for (auto& e : cache) {
    if (e.codePage == aCodePage) {
      ucnv_reset(e.converter.get());
      return e.converter.get();
    }
  }
  ConverterPtr converter = openConverter(aCodePage);
  if (!converter) return nullptr;
  cache.push_back({aCodePage, std::move(converter)});
  return cache.back().converter.get();
}

}  // namespace

uint32_t qdSystemLocaleID() { return systemLocaleID.load(std::memory_order_relaxed); }

uint16_t qdSystemAnsiCodePage() { return systemAnsiCodePage.load(std::memory_order_relaxed); }

void qdSetProcessProfile(uint32_t aLocaleID, uint16_t aAnsiCodePage) {
  systemLocaleID.store(aLocaleID, std::memory_order_relaxed);
  systemAnsiCodePage.store(aAnsiCodePage, std::memory_order_relaxed);
  SetFormatSettings(TFormatSettings::Create(aLocaleID));
}

TqdScopedProcessProfile::TqdScopedProcessProfile(uint32_t aLocaleID, uint16_t aAnsiCodePage)
    : fSavedLocaleID(qdSystemLocaleID()), fSavedAnsiCodePage(qdSystemAnsiCodePage()), fSavedSettings(FormatSettings()) {
  qdSetProcessProfile(aLocaleID, aAnsiCodePage);
}

TqdScopedProcessProfile::~TqdScopedProcessProfile() {
  systemLocaleID.store(fSavedLocaleID, std::memory_order_relaxed);
  systemAnsiCodePage.store(fSavedAnsiCodePage, std::memory_order_relaxed);
  SetFormatSettings(fSavedSettings);
}

bool qdIsCodePageSupported(uint16_t aCodePage) { return converterFor(aCodePage) != nullptr; }

// One conversion path for the whole engine: the NLS module's tables carry the
// corrections where ICU's converters depart from the system's code pages.
qdString qdAnsiToString(std::string_view aBytes, uint16_t aCodePage) {
  const uint32_t codePage = aCodePage == 0 ? qdSystemAnsiCodePage() : aCodePage;
  qdString result;
  if (!qdDecodeCodePage(codePage, aBytes, result))
    throw EConvertError("Code page " + std::to_string(codePage) + " is not supported");
  return result;
}

qdAnsiString qdStringToAnsi(qdStringView aText, uint16_t aCodePage) {
  const uint32_t codePage = aCodePage == 0 ? qdSystemAnsiCodePage() : aCodePage;
  qdAnsiString result;
  if (!qdEncodeCodePage(codePage, aText, result))
    throw EConvertError("Code page " + std::to_string(codePage) + " is not supported");
  return result;
}

}  // namespace qd
