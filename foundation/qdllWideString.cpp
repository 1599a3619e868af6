#include "foundation/qdllWideString.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "foundation/qdllException.h"

namespace qd {

namespace {

uint32_t defaultCodePage = CP_THREAD_ACP;

uint32_t codePageOf(uint32_t aCodePage) { return aCodePage == 0 ? defaultCodePage : aCodePage; }

qdString action(const char* aRoutine, const char* aCall, int aStep) {
  return AsciiToString(std::string(aRoutine) + "/" + aCall + "/" + std::to_string(aStep));
}

// The system calls count in 32-bit integers.
int32_t callCount(size_t n, const char* aRoutine, const char* aCall) {
  if (n > static_cast<size_t>(INT32_MAX)) {
    errno = EINVAL;
    qdRaiseLastOSError(action(aRoutine, aCall, 1));
  }
  return static_cast<int32_t>(n);
}

template <class Units>
void decodeInto(const char* aRoutine, uint32_t aCodePage, const char* p, size_t n, Units& aResult) {
  aResult.clear();
  if (n == 0) return;
  const uint32_t codePage = codePageOf(aCodePage);
  const int32_t count = callCount(n, aRoutine, "MultiByteToWideChar");
  const int32_t needed = qdMultiByteToWideChar(codePage, p, count, nullptr, 0);
  if (needed <= 0) qdRaiseLastOSError(action(aRoutine, "MultiByteToWideChar", 1));
  aResult.resize(static_cast<size_t>(needed));
  const int32_t written = qdMultiByteToWideChar(codePage, p, count, aResult.data(), needed);
  if (written <= 0) qdRaiseLastOSError(action(aRoutine, "MultiByteToWideChar", 2));
  aResult.resize(static_cast<size_t>(written));
}

template <class Bytes>
void encodeInto(const char* aRoutine, uint32_t aCodePage, const char16_t* p, size_t n, Bytes& aResult) {
  aResult.clear();
  if (n == 0) return;
  const uint32_t codePage = codePageOf(aCodePage);
  const int32_t count = callCount(n, aRoutine, "WideCharToMultiByte");
  const int32_t needed = qdWideCharToMultiByte(codePage, p, count, nullptr, 0);
  if (needed <= 0) qdRaiseLastOSError(action(aRoutine, "WideCharToMultiByte", 1));
  aResult.resize(static_cast<size_t>(needed));
  const int32_t written = qdWideCharToMultiByte(codePage, p, count, reinterpret_cast<char*>(aResult.data()), needed);
  if (written <= 0) qdRaiseLastOSError(action(aRoutine, "WideCharToMultiByte", 2));
  aResult.resize(static_cast<size_t>(written));
}

}  // namespace

uint32_t qdDefaultCodePage() { return defaultCodePage; }

// ---- Conversions through a code page ----------------------------------------

TqdWideString qdStringToWideString(std::string_view s, uint32_t aCodePage) {
  TqdWideString result;
  decodeInto("qdStringToWideString", aCodePage, s.data(), s.size(), result);
  return result;
}

void qdStringToWideString(std::string_view s, qdString& aResult, uint32_t aCodePage) {
  decodeInto("qdStringToWideString", aCodePage, s.data(), s.size(), aResult);
}

TqdWideString qdBytesToWideString(const void* p, int32_t n, uint32_t aCodePage) {
  TqdWideString result;
  decodeInto("qdBytesToWideString", aCodePage, static_cast<const char*>(p), n > 0 ? static_cast<size_t>(n) : 0, result);
  return result;
}

qdAnsiString qdWideStringToString(const TqdWideString& w, uint32_t aCodePage) {
  qdAnsiString result;
  encodeInto("qdWideStringToString", aCodePage, w.data(), w.size(), result);
  return result;
}

qdAnsiString qdWideStringToString(qdStringView w, uint32_t aCodePage) {
  qdAnsiString result;
  encodeInto("qdWideStringToString", aCodePage, w.data(), w.size(), result);
  return result;
}

qdAnsiString qdWideStringBufferToString(const char16_t* p, int32_t n, uint32_t aCodePage) {
  qdAnsiString result;
  encodeInto("qdWideStringBufferToString", aCodePage, p, n > 0 ? static_cast<size_t>(n) : 0, result);
  return result;
}

std::vector<uint8_t> qdWideStringBufferToBytes(const char16_t* p, int32_t n, uint32_t aCodePage) {
  std::vector<uint8_t> result;
  encodeInto("qdWideStringBufferToBytes", aCodePage, p, n > 0 ? static_cast<size_t>(n) : 0, result);
  return result;
}

// ---- Copies between the string types ---------------------------------------------

TqdWideString qdStringToQdWideString(qdStringView s) { return TqdWideString(s.begin(), s.end()); }
TqdWideString qdUnicodeToQdWideString(qdStringView s) { return TqdWideString(s.begin(), s.end()); }
TqdWideString qdWideStringToQdWideString(qdStringView s) { return TqdWideString(s.begin(), s.end()); }
qdString qdQdWideStringToString(const TqdWideString& w) { return qdString(w.begin(), w.end()); }
qdString qdQdWideStringToWideString(const TqdWideString& w) { return qdString(w.begin(), w.end()); }

TqdWideString qdConcatQdWideStrings(const TqdWideString& a, const TqdWideString& b) {
  TqdWideString result;
  result.reserve(a.size() + b.size());
  result.insert(result.end(), a.begin(), a.end());
  result.insert(result.end(), b.begin(), b.end());
  return result;
}

void qdAppendQdWideChar(TqdWideString& w, char16_t c) { w.push_back(c); }

// ---- Buffers --------------------------------------------------------------------------

void qdWidenBytes(const uint8_t* p, char16_t* w, int32_t n) {
  for (int32_t i = 0; i < n; ++i) w[i] = p[i];
}

void qdSwapWideCharBytes(char16_t* p, int32_t n) {
  for (int32_t i = 0; i < n; ++i) p[i] = static_cast<char16_t>((p[i] << 8) | (p[i] >> 8));
}

void qdLowerCaseWideBuffer(char16_t* p) {
  if (p == nullptr) return;
  size_t n = 0;
  while (p[n] != 0) ++n;
  const qdString lowered = qdLowerCase(qdStringView(p, n));
  // Simple case mappings keep each character's length; copy no further than
  // the buffer reaches in any case.
  std::copy_n(lowered.begin(), std::min(n, lowered.size()), p);
}

void qdStringToWideBuffer(qdStringView s, char16_t* aBuffer, int32_t n) {
  if (aBuffer == nullptr) return;
  const size_t count = std::min(s.size(), static_cast<size_t>(std::max(n, 0)));
  std::copy_n(s.begin(), count, aBuffer);
  aBuffer[count] = 0;
}

void qdSplitAtCharSet(qdStringView s, const TqdAnsiCharSet& aSet, qdString& aHead, qdString& aTail) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] < 256 && aSet.test(s[i])) {
      aHead.assign(s.substr(0, i));
      aTail.assign(s.substr(i + 1));
      return;
    }
  }
  aHead.assign(s);
  aTail.clear();
}

// ---- Locale string mapping and quoting ---------------------------------------------

qdString qdVantorWideLCMapStringW(qdStringView s, TqdLCID aLocale, uint32_t aMapFlags) {
  if (s.empty()) return {};
  qdString result;
  if (!qdLCMapString(aLocale, aMapFlags, s, result)) qdRaiseLastOSError(u"qdVantorWideLCMapStringW");
  return result;
}

qdString qdWideLCMapString(qdStringView s, TqdLCID aLocale, uint32_t aMapFlags) {
  return qdVantorWideLCMapStringW(s, aLocale, aMapFlags);
}

qdString qdWideQuotedStr(qdStringView s, char16_t q) {
  qdString result;
  result.reserve(s.size() + 2);
  result.push_back(q);
  for (char16_t c : s) {
    result.push_back(c);
    if (c == q) result.push_back(q);
  }
  result.push_back(q);
  return result;
}

void qdllWideStringInitialize() { defaultCodePage = CP_THREAD_ACP; }

void qdllWideStringFinalize() {}

}  // namespace qd
