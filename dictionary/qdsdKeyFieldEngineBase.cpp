#include "dictionary/qdsdKeyFieldEngineBase.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <compare>
#include <cstring>
#include <string_view>
#include <vector>

#include "dictionary/qdsdDataDictionary_Tables.h"
#include "dictionary/qdsdFmtBcd.h"
#include "dictionary/qdsdNativeVariantConverter.h"
#include "foundation/qdllSync.h"
#include "platform/qdExtended.h"
#include "platform/qdGuid.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdNls.h"
#include "platform/qdStringList.h"

namespace qd {

namespace {

using TEngine = TqdCompositeKeyFieldEngine;
using TCompare = int8_t (*)(const TEngine&, const uint8_t*, const uint8_t*);
using TPartialCompare = int8_t (*)(const TEngine&, const uint8_t*, const uint8_t*, int32_t);

// --- Registry --------------------------------------------------------------------------------

TqdPadlock* registryPadlock = nullptr;
TqdStringList* registryList = nullptr;

const TqdCompositeKeyFieldEngineClass* findClass(qdStringView aName) {
  if (registryList == nullptr) return nullptr;
  int32_t index = 0;
  if (!registryList->Find(aName, index)) return nullptr;
  return static_cast<const TqdCompositeKeyFieldEngineClass*>(registryList->Objects(index));
}

[[noreturn]] void raiseNotRegistered(qdStringView aName) {
  throw EqdCompositeKeyFieldEngineException(qdeSubEngineNotSupported,
                                            u"CompositeKeyFieldEngine \"%s\" is not registered", {qdString(aName)});
}

class TqdRegistryGuard {
 public:
  TqdRegistryGuard() : rgLock(registryPadlock) {
    if (rgLock != nullptr) rgLock->Lock();
  }
  ~TqdRegistryGuard() {
    if (rgLock != nullptr) rgLock->Unlock();
  }
  TqdRegistryGuard(const TqdRegistryGuard&) = delete;
  TqdRegistryGuard& operator=(const TqdRegistryGuard&) = delete;

 private:
  TqdPadlock* rgLock;
};

// --- Small helpers ------------------------------------------------------------------------------

template <class T>
int8_t relation(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// Floats: -0 equals +0; a NaN sorts after every number and equals another
// NaN, so that an index keeps a total order even over such values.
template <class T>
int8_t floatRelation(T a, T b) {
  const bool nanA = std::isnan(a);
  const bool nanB = std::isnan(b);
  if (nanA || nanB) return nanA == nanB ? 0 : (nanA ? 1 : -1);
  return relation(a, b);
}

inline uint8_t upperAscii(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 0x20) : c; }
inline uint16_t upperAsciiWide(uint16_t c) { return c >= 0x61 && c <= 0x7A ? static_cast<uint16_t>(c & ~0x20u) : c; }

int32_t boundedStrLen(const uint8_t* aText, int32_t aMax) {
  if (aMax <= 0) return 0;
  const void* zero = std::memchr(aText, 0, static_cast<size_t>(aMax));
  return zero == nullptr ? aMax : static_cast<int32_t>(static_cast<const uint8_t*>(zero) - aText);
}

int32_t boundedWideLen(const uint8_t* aText, int32_t aMaxUnits) {
  for (int32_t i = 0; i < aMaxUnits; ++i)
    if (qdGetU16(aText + 2 * i) == 0) return i;
  return std::max(aMaxUnits, 0);
}

std::string_view ansiView(const uint8_t* aText, int32_t aLength) {
  return {reinterpret_cast<const char*>(aText), static_cast<size_t>(std::max(aLength, 0))};
}

// Wide text of a key image, copied so that an odd address is never read as
// UTF-16 units; the scratch buffers are per thread and kept between calls.
thread_local qdString tlWideA;
thread_local qdString tlWideB;

qdStringView wideView(const uint8_t* aText, int32_t aUnits, qdString& aScratch) {
  aScratch.resize(static_cast<size_t>(std::max(aUnits, 0)));
  if (aUnits > 0) std::memcpy(aScratch.data(), aText, static_cast<size_t>(aUnits) * 2);
  return aScratch;
}

// The partial length with the two whole-text values replaced.
inline int32_t resolvePartialLen(int32_t aPartialLen, int32_t aLength1, int32_t aLength2) {
  if (aPartialLen == qdPartialLenWholeKey1) return aLength1;
  if (aPartialLen == qdPartialLenWholeKey2) return aLength2;
  return std::max(aPartialLen, 0);
}

// Descending forms negate the ascending result.
template <TCompare F>
int8_t descending(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  return static_cast<int8_t>(-F(e, a, b));
}
template <TPartialCompare F>
int8_t descendingPartial(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  return static_cast<int8_t>(-F(e, a, b, aPartialLen));
}

// --- Compare routines of the fixed types -----------------------------------------------------

int8_t compareBoolean(const TEngine&, const uint8_t* a, const uint8_t* b) {
  return relation<int>(*a != 0 ? 1 : 0, *b != 0 ? 1 : 0);
}

template <class T>
int8_t compareInteger(const TEngine&, const uint8_t* a, const uint8_t* b) {
  return relation(qdGetLE<T>(a), qdGetLE<T>(b));
}

template <class T>
int8_t compareFloat(const TEngine&, const uint8_t* a, const uint8_t* b) {
  return floatRelation(qdGetLE<T>(a), qdGetLE<T>(b));
}

int8_t compareExtended(const TEngine&, const uint8_t* a, const uint8_t* b) {
  const TqdExtended x = TqdExtended::FromBytes(a);
  const TqdExtended y = TqdExtended::FromBytes(b);
  const bool nanX = qdExtendedIsNaN(x);
  const bool nanY = qdExtendedIsNaN(y);
  if (nanX || nanY) return nanX == nanY ? 0 : (nanX ? 1 : -1);
  const std::partial_ordering order = qdExtendedCompare(x, y);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

int8_t compareBytes(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  const int r = std::memcmp(a, b, static_cast<size_t>(e.ckfeKeyLength));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int8_t partialCompareBytes(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const int32_t n = std::min(e.ckfeKeyLength, std::max(aPartialLen, 0));
  const int r = std::memcmp(a, b, static_cast<size_t>(n));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

qdString guidText(const uint8_t* aBytes) {
  TGUID guid;
  guid.D1 = qdGetU32(aBytes);
  guid.D2 = qdGetU16(aBytes + 4);
  guid.D3 = qdGetU16(aBytes + 6);
  std::memcpy(guid.D4.data(), aBytes + 8, 8);
  return qdGuidToString(guid);
}

int8_t compareGuidText(const TEngine&, const uint8_t* a, const uint8_t* b) {
  return static_cast<int8_t>(qdCompareString(LOCALE_SYSTEM_DEFAULT, 0, guidText(a), guidText(b)));
}

TBcd loadBcd(const TEngine& e, const uint8_t* aBytes) {
  TBcd value;
  std::memcpy(value.Bytes.data(), aBytes, std::min<size_t>(value.Bytes.size(), static_cast<size_t>(e.ckfeKeyLength)));
  return value;
}

int8_t compareFmtBcd(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  const int r = qdBcdCompare(loadBcd(e, a), loadBcd(e, b));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// --- Characters -------------------------------------------------------------------------------

int8_t compareCharBytes(const TEngine&, const uint8_t* a, const uint8_t* b) { return relation(*a, *b); }
int8_t compareCharBytesNoCase(const TEngine&, const uint8_t* a, const uint8_t* b) {
  return relation(upperAscii(*a), upperAscii(*b));
}
int8_t compareCharLocale(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  return static_cast<int8_t>(qdCompareStringA(e.ckfeLocale, e.ckfeCompareFlags, ansiView(a, 1), ansiView(b, 1)));
}
int8_t compareWideCharUnits(const TEngine&, const uint8_t* a, const uint8_t* b) {
  return relation(qdGetU16(a), qdGetU16(b));
}
int8_t compareWideCharUnitsNoCase(const TEngine&, const uint8_t* a, const uint8_t* b) {
  return relation(upperAsciiWide(qdGetU16(a)), upperAsciiWide(qdGetU16(b)));
}
int8_t compareWideCharLocale(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  const char16_t x = qdGetU16(a);
  const char16_t y = qdGetU16(b);
  return static_cast<int8_t>(
      qdCompareString(e.ckfeLocale, e.ckfeCompareFlags, qdStringView(&x, 1), qdStringView(&y, 1)));
}

// --- Length-prefixed 8-bit text -----------------------------------------------------------------

template <bool kNoCase>
int8_t shortBytes(const uint8_t* a, const uint8_t* b, int32_t aMax) {
  const int32_t l1 = std::min<int32_t>(a[0], aMax);
  const int32_t l2 = std::min<int32_t>(b[0], aMax);
  const int32_t common = std::min(l1, l2);
  for (int32_t i = 1; i <= common; ++i) {
    const uint8_t x = kNoCase ? upperAscii(a[i]) : a[i];
    const uint8_t y = kNoCase ? upperAscii(b[i]) : b[i];
    if (x != y) return x < y ? -1 : 1;
  }
  return relation(l1, l2);
}

template <bool kNoCase>
int8_t compareShortBytes(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  return shortBytes<kNoCase>(a, b, e.ckfeKeyLength - 1);
}

template <bool kNoCase>
int8_t partialCompareShortBytes(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const int32_t n = std::min(resolvePartialLen(aPartialLen, a[0], b[0]), e.ckfeKeyLength - 1);
  return shortBytes<kNoCase>(a, b, n);
}

int8_t compareShortLocale(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  const int32_t n = e.ckfeKeyLength - 1;
  return static_cast<int8_t>(qdCompareStringA(e.ckfeLocale, e.ckfeCompareFlags,
                                              ansiView(a + 1, std::min<int32_t>(n, a[0])),
                                              ansiView(b + 1, std::min<int32_t>(n, b[0]))));
}

int8_t partialCompareShortLocale(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const int32_t n = std::min(resolvePartialLen(aPartialLen, a[0], b[0]), e.ckfeKeyLength - 1);
  return static_cast<int8_t>(qdCompareStringA(e.ckfeLocale, e.ckfeCompareFlags,
                                              ansiView(a + 1, std::min<int32_t>(n, a[0])),
                                              ansiView(b + 1, std::min<int32_t>(n, b[0]))));
}

// Decodes aLength bytes of the compare code page; an empty text is no
// failure, it simply has no units.
int32_t decodeForCompare(const TEngine& e, const uint8_t* aText, int32_t aLength, char16_t* aDest, int32_t aDestCount,
                         const char16_t* aAction) {
  if (aLength <= 0) return 0;
  const int32_t n =
      qdMultiByteToWideChar(e.ckfeCompareCodepage, reinterpret_cast<const char*>(aText), aLength, aDest, aDestCount);
  if (n == 0) qdRaiseLastOSError(aAction);
  return n;
}

template <bool kDescending>
int8_t partialCompareShortMultiByte(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const char16_t* action = kDescending ? u"DescendShortAnsiStrPartialCompareKeyMBCS/MultiByteToWideChar"
                                       : u"ShortAnsiStrPartialCompareKeyMBCS/MultiByteToWideChar";
  const int32_t n = e.ckfeKeyLength - 1;
  std::array<char16_t, 256> wa;
  std::array<char16_t, 256> wb;
  const int32_t la = decodeForCompare(e, a + 1, std::min<int32_t>(n, a[0]), wa.data(), 256, action);
  const int32_t lb = decodeForCompare(e, b + 1, std::min<int32_t>(n, b[0]), wb.data(), 256, action);
  const int32_t l = resolvePartialLen(aPartialLen, la, lb);
  const int r = qdCompareString(e.ckfeLocale, e.ckfeCompareFlags, qdStringView(wa.data(), std::min(l, la)),
                                qdStringView(wb.data(), std::min(l, lb)));
  return static_cast<int8_t>(kDescending ? -r : r);
}

// --- Terminated 8-bit text ----------------------------------------------------------------------

template <bool kNoCase>
int8_t nullBytes(const uint8_t* a, const uint8_t* b, int32_t aMax) {
  for (int32_t i = 0; i < aMax; ++i) {
    const uint8_t x = kNoCase ? upperAscii(a[i]) : a[i];
    const uint8_t y = kNoCase ? upperAscii(b[i]) : b[i];
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

template <bool kNoCase>
int8_t compareNullBytes(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  return nullBytes<kNoCase>(a, b, e.ckfeKeyLength - 1);
}

template <bool kNoCase>
int8_t partialCompareNullBytes(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const int32_t max = e.ckfeKeyLength - 1;
  int32_t l = aPartialLen;
  if (l == qdPartialLenWholeKey1 || l == qdPartialLenWholeKey2)
    l = resolvePartialLen(aPartialLen, boundedStrLen(a, max), boundedStrLen(b, max));
  return nullBytes<kNoCase>(a, b, std::min(std::max(l, 0), max));
}

int8_t compareNullLocale(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  const int32_t max = e.ckfeKeyLength - 1;
  return static_cast<int8_t>(qdCompareStringA(e.ckfeLocale, e.ckfeCompareFlags, ansiView(a, boundedStrLen(a, max)),
                                              ansiView(b, boundedStrLen(b, max))));
}

int8_t partialCompareNullLocale(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const int32_t max = e.ckfeKeyLength - 1;
  const int32_t la = boundedStrLen(a, max);
  const int32_t lb = boundedStrLen(b, max);
  const int32_t n = std::min(resolvePartialLen(aPartialLen, la, lb), max);
  return static_cast<int8_t>(
      qdCompareStringA(e.ckfeLocale, e.ckfeCompareFlags, ansiView(a, std::min(n, la)), ansiView(b, std::min(n, lb))));
}

// Per-thread conversion buffers of terminated texts, grown on first use.
thread_local std::vector<char16_t> tlUnitsA;
thread_local std::vector<char16_t> tlUnitsB;

char16_t* unitsBuffer(std::vector<char16_t>& aBuffer) {
  if (aBuffer.size() < static_cast<size_t>(qdMaxKeyFieldImage)) aBuffer.resize(qdMaxKeyFieldImage);
  return aBuffer.data();
}

template <bool kDescending>
int8_t partialCompareNullMultiByte(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const char16_t* action = kDescending ? u"DescendNullAnsiStrPartialCompareKeyMBCS/MultiByteToWideChar"
                                       : u"NullAnsiStrPartialCompareKeyMBCS/MultiByteToWideChar";
  const int32_t max = e.ckfeKeyLength - 1;
  // The units before the first zero unit are the decoded bytes before the
  // terminator, so only those are decoded.
  const int32_t la = decodeForCompare(e, a, boundedStrLen(a, max), unitsBuffer(tlUnitsA), qdMaxKeyFieldImage, action);
  const int32_t lb = decodeForCompare(e, b, boundedStrLen(b, max), unitsBuffer(tlUnitsB), qdMaxKeyFieldImage, action);
  const int32_t l = resolvePartialLen(aPartialLen, la, lb);
  const int r = qdCompareString(e.ckfeLocale, e.ckfeCompareFlags, qdStringView(unitsBuffer(tlUnitsA), std::min(l, la)),
                                qdStringView(unitsBuffer(tlUnitsB), std::min(l, lb)));
  return static_cast<int8_t>(kDescending ? -r : r);
}

// --- Terminated UTF-16 text ---------------------------------------------------------------------

template <bool kNoCase>
int8_t wideUnits(const uint8_t* a, const uint8_t* b, int32_t aMax) {
  for (int32_t i = 0; i < aMax; ++i) {
    uint16_t x = qdGetU16(a + 2 * i);
    uint16_t y = qdGetU16(b + 2 * i);
    if (kNoCase) {
      x = upperAsciiWide(x);
      y = upperAsciiWide(y);
    }
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

inline int32_t wideCapacity(const TEngine& e) { return e.ckfeKeyLength / 2 - 1; }

template <bool kNoCase>
int8_t compareWideUnits(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  return wideUnits<kNoCase>(a, b, wideCapacity(e));
}

template <bool kNoCase>
int8_t partialCompareWideUnits(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const int32_t max = wideCapacity(e);
  int32_t l = aPartialLen;
  if (l == qdPartialLenWholeKey1 || l == qdPartialLenWholeKey2)
    l = resolvePartialLen(aPartialLen, boundedWideLen(a, max), boundedWideLen(b, max));
  return wideUnits<kNoCase>(a, b, std::min(std::max(l, 0), max));
}

int8_t compareWideLocale(const TEngine& e, const uint8_t* a, const uint8_t* b) {
  const int32_t max = wideCapacity(e);
  return static_cast<int8_t>(qdCompareString(e.ckfeLocale, e.ckfeCompareFlags,
                                             wideView(a, boundedWideLen(a, max), tlWideA),
                                             wideView(b, boundedWideLen(b, max), tlWideB)));
}

int8_t partialCompareWideLocale(const TEngine& e, const uint8_t* a, const uint8_t* b, int32_t aPartialLen) {
  const int32_t max = wideCapacity(e);
  const int32_t la = boundedWideLen(a, max);
  const int32_t lb = boundedWideLen(b, max);
  const int32_t n = std::min(resolvePartialLen(aPartialLen, la, lb), max);
  return static_cast<int8_t>(qdCompareString(e.ckfeLocale, e.ckfeCompareFlags, wideView(a, std::min(n, la), tlWideA),
                                             wideView(b, std::min(n, lb), tlWideB)));
}

// --- Routine tables ---------------------------------------------------------------------------------

struct TqdCompareBinding {
  TCompare Ascending = nullptr;
  TCompare Descending = nullptr;
  TPartialCompare PartialAscending = nullptr;
  TPartialCompare PartialDescending = nullptr;
};

template <TCompare F>
constexpr TqdCompareBinding fullOnly() {
  return {F, descending<F>, nullptr, nullptr};
}
template <TCompare F, TPartialCompare P>
constexpr TqdCompareBinding withPartial() {
  return {F, descending<F>, P, descendingPartial<P>};
}

// --- Build routines -------------------------------------------------------------------------------

void buildCopy(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  std::memcpy(aKey, aField, static_cast<size_t>(e.ckfeBuildKeyLength));
}

void buildShortCopy(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  const int32_t k = std::min<int32_t>(aField[0], e.ckfeBuildKeyLength - 1);
  std::memcpy(aKey + 1, aField + 1, static_cast<size_t>(std::max(k, 0)));
  aKey[0] = static_cast<uint8_t>(std::max(k, 0));
}

void buildNullCopy(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  std::memcpy(aKey, aField, static_cast<size_t>(e.ckfeBuildKeyLength));
  aKey[e.ckfeBuildKeyLength - 1] = 0;
}

void buildWideCopy(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  const int32_t bytes = e.ckfeBuildKeyLength & ~1;
  std::memcpy(aKey, aField, static_cast<size_t>(bytes));
  qdPutU16(aKey + bytes - 2, 0);
}

// Encodes the first aUnits units into at most aCapacity bytes. Where the
// whole text does not fit, the longest prefix of whole characters that fits
// is kept, so that a key shorter in bytes than its characters need still
// gets a key instead of an error.
int32_t encodeFitting(uint32_t aCodePage, const char16_t* aUnits, int32_t aCount, uint8_t* aDest, int32_t aCapacity,
                      const char16_t* aAction) {
  if (aCount <= 0 || aCapacity <= 0) return 0;
  char* dest = reinterpret_cast<char*>(aDest);
  errno = 0;
  int32_t written = qdWideCharToMultiByte(aCodePage, aUnits, aCount, dest, aCapacity);
  if (written > 0) return written;
  if (errno != ENOBUFS) qdRaiseLastOSError(aAction);
  // The largest prefix whose image fits (image lengths grow with the prefix).
  int32_t low = 0;
  int32_t high = aCount - 1;
  while (low < high) {
    const int32_t mid = (low + high + 1) / 2;
    const int32_t need = qdWideCharToMultiByte(aCodePage, aUnits, mid, nullptr, 0);
    if (need == 0) qdRaiseLastOSError(aAction);
    if (need <= aCapacity) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  // Never end on the first half of a surrogate pair.
  if (low > 0 && aUnits[low - 1] >= 0xD800 && aUnits[low - 1] <= 0xDBFF) --low;
  if (low == 0) return 0;
  written = qdWideCharToMultiByte(aCodePage, aUnits, low, dest, aCapacity);
  if (written == 0) qdRaiseLastOSError(aAction);
  return written;
}

template <bool kConvert>
void buildShortConverted(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  const char16_t* decodeAction =
      kConvert ? u"ShortStrBuildKeyConvert/MultiByteToWideChar" : u"ShortStrBuildKeyTruncate/MultiByteToWideChar";
  const char16_t* encodeAction =
      kConvert ? u"ShortStrBuildKeyConvert/WideCharToMultiByte" : u"ShortStrBuildKeyTruncate/WideCharToMultiByte";
  const int32_t length = std::min<int32_t>(aField[0], e.ckfeFieldLength - 1);
  if (length <= 0) {
    aKey[0] = 0;
    return;
  }
  std::array<char16_t, 256> units;
  const int32_t count = qdMultiByteToWideChar(e.ckfeStorageCodepage, reinterpret_cast<const char*>(aField + 1), length,
                                              units.data(), static_cast<int32_t>(units.size()));
  if (count == 0) qdRaiseLastOSError(decodeAction);
  const uint32_t target = kConvert ? e.ckfeCompareCodepage : e.ckfeStorageCodepage;
  const int32_t written = encodeFitting(target, units.data(), std::min(e.ckfeKeyChars, count), aKey + 1,
                                        std::min(e.ckfeKeyLength - 1, 255), encodeAction);
  aKey[0] = static_cast<uint8_t>(written);
}

template <bool kConvert>
void buildNullConverted(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  const char16_t* decodeAction =
      kConvert ? u"NullStrBuildKeyConvert/MultiByteToWideChar" : u"NullStrBuildKeyTruncate/MultiByteToWideChar";
  const char16_t* encodeAction =
      kConvert ? u"NullStrBuildKeyConvert/WideCharToMultiByte" : u"NullStrBuildKeyTruncate/WideCharToMultiByte";
  const int32_t length = boundedStrLen(aField, e.ckfeFieldLength);
  int32_t written = 0;
  if (length > 0) {
    const int32_t count = qdMultiByteToWideChar(e.ckfeStorageCodepage, reinterpret_cast<const char*>(aField), length,
                                                unitsBuffer(tlUnitsA), qdMaxKeyFieldImage);
    if (count == 0) qdRaiseLastOSError(decodeAction);
    const uint32_t target = kConvert ? e.ckfeCompareCodepage : e.ckfeStorageCodepage;
    written = encodeFitting(target, unitsBuffer(tlUnitsA), std::min(e.ckfeKeyChars, count), aKey, e.ckfeKeyLength - 1,
                            encodeAction);
  }
  std::memset(aKey + written, 0, static_cast<size_t>(e.ckfeKeyLength - written));
}

// --- Generic direct routines and the rest ------------------------------------------------------------

// A pool item holding one temporary key image.
class TqdTempKey {
 public:
  explicit TqdTempKey(const TqdMemoryPool& aPool) : tkPool(aPool), tkKey(static_cast<uint8_t*>(aPool.Alloc())) {}
  ~TqdTempKey() { tkPool.DisposeDirect(tkKey); }
  TqdTempKey(const TqdTempKey&) = delete;
  TqdTempKey& operator=(const TqdTempKey&) = delete;
  uint8_t* Get() const { return tkKey; }

 private:
  const TqdMemoryPool& tkPool;
  uint8_t* tkKey;
};

int8_t genericCompareFieldDirect(const TEngine& e, const uint8_t* aField1, const uint8_t* aField2) {
  TqdTempKey key1(e.ckfeAllocator);
  TqdTempKey key2(e.ckfeAllocator);
  e.BuildKey(aField1, key1.Get());
  e.BuildKey(aField2, key2.Get());
  return e.CompareKey(key1.Get(), key2.Get());
}

int8_t genericPartialCompareFieldDirect(const TEngine& e, const uint8_t* aField1, const uint8_t* aField2,
                                        int32_t aPartialLen) {
  TqdTempKey key1(e.ckfeAllocator);
  TqdTempKey key2(e.ckfeAllocator);
  e.BuildKey(aField1, key1.Get());
  e.BuildKey(aField2, key2.Get());
  return e.PartialCompareKey(key1.Get(), key2.Get(), aPartialLen);
}

int8_t genericCompareKeyToFieldDirect(const TEngine& e, const uint8_t* aKey, const uint8_t* aField) {
  std::array<uint8_t, qdMaxKeyFieldImage> built;
  e.BuildKey(aField, built.data());
  return e.CompareKey(aKey, built.data());
}

int8_t genericPartialCompareKeyToFieldDirect(const TEngine& e, const uint8_t* aKey, const uint8_t* aField,
                                             int32_t aPartialLen) {
  std::array<uint8_t, qdMaxKeyFieldImage> built;
  e.BuildKey(aField, built.data());
  return e.PartialCompareKey(aKey, built.data(), aPartialLen);
}

void genericKeyAsVariant(const TEngine& e, const uint8_t* aKey, TqdVariant& aValue) {
  aValue = qdNativeToVariant(e.ckfeFieldType, e.ckfeCompareCodepage, e.ckfeKeyUnits, e.ckfeFieldDecPl, aKey,
                             e.ckfeKeyLength);
}

TqdResult keyToRecordNotSupported(const TEngine&, const uint8_t*, uint8_t*) { return qdeNotSupported; }

TqdResult keyToRecordCopy(const TEngine& e, const uint8_t* aKey, uint8_t* aField) {
  std::memcpy(aField, aKey, static_cast<size_t>(e.ckfeBuildKeyLength));
  return qdeSuccess;
}

bool isStringType(TqdFieldType aType) {
  return aType == qdtShortString || aType == qdtNullString || aType == qdtWideString;
}

bool isMultiByteCodePage(uint16_t aCodePage) {
  const int size = qdCodePageMaxCharSize(aCodePage);
  if (size == 0) qdRaiseLastOSError(EINVAL);
  return size > 1;
}

// --- Digits only -------------------------------------------------------------------------------------

bool isDigit(uint16_t c) { return c >= 0x30 && c <= 0x39; }

void buildShortDigits(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  std::memset(aKey, 0, static_cast<size_t>(e.ckfeBuildKeyLength));
  const int32_t length = std::min<int32_t>(aField[0], e.ckfeFieldLength - 1);
  int32_t digits = 0;
  for (int32_t i = 1; i <= length && digits < e.ckfeBuildKeyLength - 1; ++i)
    if (isDigit(aField[i])) aKey[1 + digits++] = aField[i];
  aKey[0] = static_cast<uint8_t>(digits);
}

void buildNullDigits(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  const int32_t length = boundedStrLen(aField, e.ckfeFieldLength);
  int32_t digits = 0;
  for (int32_t i = 0; i < length && digits < e.ckfeBuildKeyLength - 1; ++i)
    if (isDigit(aField[i])) aKey[digits++] = aField[i];
  aKey[digits] = 0;
}

void buildWideDigits(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  const int32_t length = boundedWideLen(aField, e.ckfeFieldLength / 2);
  const int32_t max = e.ckfeBuildKeyLength / 2 - 1;
  int32_t digits = 0;
  for (int32_t i = 0; i < length && digits < max; ++i) {
    const uint16_t c = qdGetU16(aField + 2 * i);
    if (isDigit(c)) qdPutU16(aKey + 2 * digits++, c);
  }
  qdPutU16(aKey + 2 * digits, 0);
}

// --- Dates ---------------------------------------------------------------------------------------------

// The day of a DateTime image (milliseconds on the time-stamp scale) with the
// time of day dropped; false for values that are no time stamp at all (NaN,
// infinities, beyond the day range), which keep their image unchanged.
bool dayOfImage(const uint8_t* aField, int64_t& aDay) {
  const double value = std::nearbyint(qdGetLE<double>(aField));
  constexpr double kLimit = 9.0e18;
  if (!std::isfinite(value) || value < -kLimit || value > kLimit) return false;
  const auto msecs = static_cast<int64_t>(value);
  aDay = msecs / kMSecsPerDay - (msecs % kMSecsPerDay < 0 ? 1 : 0);
  return true;
}

void storeDay(int64_t aDay, uint8_t* aKey) {
  qdPutLE<double>(aKey, static_cast<double>(aDay) * static_cast<double>(kMSecsPerDay));
}

void buildDateOnly(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  int64_t day = 0;
  if (!dayOfImage(aField, day)) {
    std::memcpy(aKey, aField, static_cast<size_t>(e.ckfeBuildKeyLength));
    return;
  }
  storeDay(day, aKey);
}

void buildDateProcessed(const TEngine& e, const uint8_t* aField, uint8_t* aKey) {
  int64_t day = 0;
  if (!dayOfImage(aField, day) || day < 1 || day > INT32_MAX) {
    buildDateOnly(e, aField, aKey);
    return;
  }
  TTimeStamp in;
  in.Date = static_cast<int32_t>(day);
  in.Time = 0;
  TTimeStamp out = in;
  static_cast<const TqdDateOnlyProcessCKFE&>(e).ProcessTimeStamp(in, out);
  storeDay(out.Date, aKey);
}

void checkDateTimeField(TqdKeyFieldDescriptor* aKeyFieldDescriptor) {
  TqdFieldDescriptor* field = aKeyFieldDescriptor->Field();
  if (field == nullptr || field->FieldType() != qdtDateTime)
    qdAssertFailed("qdsdKeyFieldEngineBase", "the key field's field is a DateTime");
}

// --- Class records -------------------------------------------------------------------------------------

template <class T>
TqdCompositeKeyFieldEngine* createEngine(TqdKeyFieldDescriptor* aKeyFieldDescriptor) {
  return new T(aKeyFieldDescriptor);
}

constexpr TqdFieldTypes kDefaultFieldTypes{qdtBoolean,     qdtChar,       qdtWideChar,   qdtByte,     qdtWord16,
                                           qdtWord32,      qdtInt8,       qdtInt16,      qdtInt32,    qdtInt64,
                                           qdtAutoInc,     qdtSingle,     qdtDouble,     qdtExtended, qdtCurrency,
                                           qdtDate,        qdtTime,       qdtDateTime,   qdtInterval, qdtByteArray,
                                           qdtShortString, qdtNullString, qdtWideString, qdtRecRev,   qdtGuid};
constexpr TqdFieldTypes kStringFieldTypes{qdtShortString, qdtNullString, qdtWideString};

}  // namespace

// --- Class records ---------------------------------------------------------------------------------------

void TqdCompositeKeyFieldEngineClass::CheckValid(TqdKeyFieldDescriptor* aKeyFieldDescriptor) const {
  TqdCompositeKeyFieldEngine* engine = Create(aKeyFieldDescriptor);
  delete engine;
}

const TqdCompositeKeyFieldEngineClass TqdCompositeKeyFieldEngine::ClassInfo{
    {u"TqdCompositeKeyFieldEngine", &TqdPersistent::ClassInfo, nullptr},
    createEngine<TqdCompositeKeyFieldEngine>,
    TqdCompositeKeyFieldEngine::SupportsFieldType};
const TqdCompositeKeyFieldEngineClass TqdNumbersOnlyCKFE::ClassInfo{
    {u"TqdNumbersOnlyCKFE", &TqdCompositeKeyFieldEngine::ClassInfo, nullptr},
    createEngine<TqdNumbersOnlyCKFE>,
    TqdNumbersOnlyCKFE::SupportsFieldType};
const TqdCompositeKeyFieldEngineClass TqdDateOnlyCKFE::ClassInfo{
    {u"TqdDateOnlyCKFE", &TqdCompositeKeyFieldEngine::ClassInfo, nullptr},
    createEngine<TqdDateOnlyCKFE>,
    TqdDateOnlyCKFE::SupportsFieldType};
const TqdCompositeKeyFieldEngineClass TqdDateOnlyProcessCKFE::ClassInfo{
    {u"TqdDateOnlyProcessCKFE", &TqdCompositeKeyFieldEngine::ClassInfo, nullptr},
    createEngine<TqdDateOnlyProcessCKFE>,
    TqdCompositeKeyFieldEngine::SupportsFieldType};
const TqdCompositeKeyFieldEngineClass TqdDateOnlyWeekCKFE::ClassInfo{
    {u"TqdDateOnlyWeekCKFE", &TqdDateOnlyProcessCKFE::ClassInfo, nullptr},
    createEngine<TqdDateOnlyWeekCKFE>,
    TqdCompositeKeyFieldEngine::SupportsFieldType};
const TqdCompositeKeyFieldEngineClass TqdDateOnlyMonthCKFE::ClassInfo{
    {u"TqdDateOnlyMonthCKFE", &TqdDateOnlyProcessCKFE::ClassInfo, nullptr},
    createEngine<TqdDateOnlyMonthCKFE>,
    TqdCompositeKeyFieldEngine::SupportsFieldType};
const TqdCompositeKeyFieldEngineClass TqdDateOnlyYearCKFE::ClassInfo{
    {u"TqdDateOnlyYearCKFE", &TqdDateOnlyProcessCKFE::ClassInfo, nullptr},
    createEngine<TqdDateOnlyYearCKFE>,
    TqdCompositeKeyFieldEngine::SupportsFieldType};

// --- Registry ------------------------------------------------------------------------------------------------

void TqdCompositeKeyFieldEngine::Register(const TqdCompositeKeyFieldEngineClass& aClass, qdStringView aName,
                                          TqdFieldTypes /*aFieldTypes*/, TqdFormatArgs /*aParams*/) {
  TqdRegistryGuard guard;
  if (registryList == nullptr) {
    registryList = new TqdStringList();
    registryList->SetSorted(true);
    registryList->SetDuplicates(dupError);
  }
  registryList->AddObject(qdString(aName), const_cast<TqdCompositeKeyFieldEngineClass*>(&aClass));
}

void TqdCompositeKeyFieldEngine::Unregister(const TqdCompositeKeyFieldEngineClass& aClass) {
  TqdRegistryGuard guard;
  if (registryList == nullptr) return;
  for (int32_t i = registryList->Count() - 1; i >= 0; --i) {
    const auto* registered = static_cast<const TqdCompositeKeyFieldEngineClass*>(registryList->Objects(i));
    if (registered->InheritsFrom(aClass)) registryList->Delete(i);
  }
}

qdString TqdCompositeKeyFieldEngine::RegisteredEngines() {
  TqdRegistryGuard guard;
  return registryList == nullptr ? qdString() : registryList->CommaText();
}

TqdCompositeKeyFieldEngine* TqdCompositeKeyFieldEngine::CreateEngine(TqdKeyFieldDescriptor* aKeyFieldDescriptor) {
  TqdRegistryGuard guard;
  const TqdCompositeKeyFieldEngineClass* found = findClass(aKeyFieldDescriptor->KeyFieldEngine());
  if (found == nullptr) raiseNotRegistered(aKeyFieldDescriptor->KeyFieldEngine());
  return found->Create(aKeyFieldDescriptor);
}

void TqdCompositeKeyFieldEngine::CheckValidBase(TqdKeyFieldDescriptor* aKeyFieldDescriptor) {
  TqdRegistryGuard guard;
  const TqdCompositeKeyFieldEngineClass* found = findClass(aKeyFieldDescriptor->KeyFieldEngine());
  if (found == nullptr) raiseNotRegistered(aKeyFieldDescriptor->KeyFieldEngine());
  found->CheckValid(aKeyFieldDescriptor);
}

bool TqdCompositeKeyFieldEngine::CheckSupportsFieldType(qdStringView aEngineName, TqdFieldType aFieldType) {
  TqdRegistryGuard guard;
  const TqdCompositeKeyFieldEngineClass* found = findClass(aEngineName);
  return found != nullptr && found->SupportsFieldType(aFieldType);
}

bool TqdCompositeKeyFieldEngine::SupportsFieldType(TqdFieldType aFieldType) {
  return kDefaultFieldTypes.Contains(aFieldType);
}

// --- Construction ---------------------------------------------------------------------------------------------

TqdCompositeKeyFieldEngine::TqdCompositeKeyFieldEngine(TqdKeyFieldDescriptor* aKeyFieldDescriptor) {
  Construct(aKeyFieldDescriptor, ClassInfo);
}

TqdCompositeKeyFieldEngine::TqdCompositeKeyFieldEngine(TqdKeyFieldDescriptor* aKeyFieldDescriptor,
                                                       const TqdClassInfo& aClass) {
  Construct(aKeyFieldDescriptor, aClass);
}

void TqdCompositeKeyFieldEngine::Construct(TqdKeyFieldDescriptor* aKeyFieldDescriptor, const TqdClassInfo& aClass) {
  // 1. Defaults: only the default engine keeps the field image as its key.
  ckfeNLSVersionChanged = false;
  KeySameAsRecordFormat = &aClass == &TqdCompositeKeyFieldEngine::ClassInfo;
  KeyAsVariant.Bind(this, genericKeyAsVariant);
  CompareFieldDirect.Bind(this, genericCompareFieldDirect);
  PartialCompareFieldDirect.Bind(this, genericPartialCompareFieldDirect);
  CompareKeyToFieldDirect.Bind(this, genericCompareKeyToFieldDirect);
  PartialCompareKeyToFieldDirect.Bind(this, genericPartialCompareKeyToFieldDirect);

  // 2. Key characters and the null rule.
  ckfeKeyChars = aKeyFieldDescriptor->KeyChars();
  switch (aKeyFieldDescriptor->NullBehaviour()) {
    case nbTop:
      break;
    case nbBottom:
      InvertNull = true;
      break;
    case nbAsAscend:
      InvertNull = !aKeyFieldDescriptor->Ascend();
      break;
    case nbFilterNull:
      FilterNull = true;
      break;
    case nbFilterNonNull:
      FilterNonNull = true;
      break;
  }

  // 3. The field. A key field that names no field of the table has nothing
  // to build a key from.
  TqdFieldDescriptor* field = aKeyFieldDescriptor->Field();
  if (field == nullptr) throw EqdCompositeKeyFieldEngineException(qdeInvalidDescNum);
  ckfeFieldName = field->Name();
  ckfeFieldType = field->FieldType();
  ckfeFieldDecPl = field->DecPl();
  ckfeFieldLength = field->Length();
  ckfeFieldOffset = field->Offset();
  ckfeFieldNumber = field->Number();
  ckfeFieldUnits = field->Units();
  ckfeKeyUnits = isStringType(ckfeFieldType) ? ckfeKeyChars : ckfeFieldUnits;

  // 4. Storage code page from the field's locale; the key field's own (or
  // inherited) locale decides the comparison.
  ckfeLocaleDescriptor = field->UsedLocaleDescriptor();
  if (ckfeLocaleDescriptor != nullptr) ckfeStorageCodepage = ckfeLocaleDescriptor->StorageCodepage();
  ckfeLocaleDescriptor = aKeyFieldDescriptor->UsedLocaleDescriptor();

  // 5. Lengths.
  ckfeKeyLength = aKeyFieldDescriptor->KeyLength();
  ckfeBuildKeyLength = std::min(ckfeKeyLength, ckfeFieldLength);

  // 6. Ignore case.
  const auto* textKeyField = dynamic_cast<const TqdTextKeyFieldDescriptor*>(aKeyFieldDescriptor);
  if (textKeyField != nullptr && textKeyField->IgnoreCase()) {
    ckfeCompareFlags |= NORM_IGNORECASE;
    ckfeIgnoreCase = true;
  }

  // 7. Locale and compare flags.
  if (ckfeLocaleDescriptor != nullptr) {
    ckfeLocale = ckfeLocaleDescriptor->Locale();
    ckfeCompareCodepage = ckfeLocaleDescriptor->CompareCodepage();
    if (ckfeLocaleDescriptor->IgnoreKanaType()) ckfeCompareFlags |= NORM_IGNOREKANATYPE;
    if (ckfeLocaleDescriptor->IgnoreNonSpace()) ckfeCompareFlags |= NORM_IGNORENONSPACE;
    if (ckfeLocaleDescriptor->IgnoreSymbols()) ckfeCompareFlags |= NORM_IGNORESYMBOLS;
    if (ckfeLocaleDescriptor->IgnoreWidth()) ckfeCompareFlags |= NORM_IGNOREWIDTH;
    if (ckfeLocaleDescriptor->UseStringSort()) ckfeCompareFlags |= SORT_STRINGSORT;
    if (!ckfeLocaleDescriptor->CurrentLocaleVersionEqualToBuildVersion() && qdTextFieldTypes.Contains(ckfeFieldType))
      ckfeNLSVersionChanged = true;
  }

  // 8. Byte order or locale.
  if (ckfeLocale != 0) {
    ckfeUseByteOrder = false;
  } else if (ckfeFieldType == qdtWideChar || ckfeFieldType == qdtWideString) {
    if (TqdDataDictionary* dictionary = aKeyFieldDescriptor->Dictionary()) {
      ckfeUseByteOrder = dictionary->UseByteOrderForWideString();
    } else {
      ckfeUseByteOrder = !qdDisable30900LocaleFixes;
    }
  } else {
    ckfeUseByteOrder = true;
  }

  // 9. Code pages.
  ckfeConversionNeeded =
      ckfeStorageCodepage != 0 && ckfeCompareCodepage != 0 && ckfeStorageCodepage != ckfeCompareCodepage;
  if (ckfeFieldType == qdtShortString || ckfeFieldType == qdtNullString) {
    if (ckfeKeyChars < field->Units() && !ckfeConversionNeeded)
      ckfeStorageMultiByte = isMultiByteCodePage(ckfeStorageCodepage);
    if (!ckfeUseByteOrder) ckfeCompareMultiByte = isMultiByteCodePage(ckfeCompareCodepage);
  }

  // 10. Comparison.
  BindCompareRoutines(aKeyFieldDescriptor, aKeyFieldDescriptor->Ascend());

  // 11. No way back from key to record unless the key is a copy (14).
  KeyToRecord.Bind(this, keyToRecordNotSupported);

  // 12. Building.
  BindBuildRoutine();

  // 13. Keys that are the field image compare record fields in place.
  bool wholeField = true;
  if (isStringType(ckfeFieldType))
    wholeField = ckfeKeyChars >= field->Units() && (ckfeFieldType == qdtWideString || !ckfeConversionNeeded);
  if (wholeField && ckfeKeyLength == ckfeFieldLength && KeySameAsRecordFormat) {
    CompareFieldDirect.Bind(this, CompareKey.Code());
    CompareKeyToFieldDirect.Bind(this, CompareKey.Code());
    PartialCompareFieldDirect.Bind(this, PartialCompareKey.Code());
    PartialCompareKeyToFieldDirect.Bind(this, PartialCompareKey.Code());
  }

  // 14.
  if (KeySameAsRecordFormat) KeyToRecord.Bind(this, keyToRecordCopy);

  // 15.
  if (!PartialCompareKey.Assigned()) {
    PartialCompareFieldDirect.Bind(this, nullptr);
    PartialCompareKeyToFieldDirect.Bind(this, nullptr);
  }

  // 16.
  ckfeAllocator = qdGetMemoryPool(static_cast<size_t>(std::max(ckfeKeyLength, 1)));
}

void TqdCompositeKeyFieldEngine::BindCompareRoutines(TqdKeyFieldDescriptor* aKeyFieldDescriptor, bool aAscend) {
  TqdCompareBinding binding;
  const bool bytes = ckfeUseByteOrder;
  const bool noCase = ckfeIgnoreCase;
  switch (ckfeFieldType) {
    case qdtBoolean:
      binding = fullOnly<compareBoolean>();
      break;
    case qdtChar:
      binding = !bytes ? fullOnly<compareCharLocale>()
                       : (noCase ? fullOnly<compareCharBytesNoCase>() : fullOnly<compareCharBytes>());
      break;
    case qdtWideChar:
      binding = !bytes ? fullOnly<compareWideCharLocale>()
                       : (noCase ? fullOnly<compareWideCharUnitsNoCase>() : fullOnly<compareWideCharUnits>());
      break;
    case qdtByte:
      binding = fullOnly<compareInteger<uint8_t>>();
      break;
    case qdtWord16:
      binding = fullOnly<compareInteger<uint16_t>>();
      break;
    case qdtWord32:
    case qdtAutoInc:
    case qdtRecRev:
      binding = fullOnly<compareInteger<uint32_t>>();
      break;
    case qdtInt8:
      binding = fullOnly<compareInteger<int8_t>>();
      break;
    case qdtInt16:
      binding = fullOnly<compareInteger<int16_t>>();
      break;
    case qdtInt32:
    case qdtDate:
    case qdtTime:
      binding = fullOnly<compareInteger<int32_t>>();
      break;
    case qdtInt64:
    case qdtRefNr:
    case qdtCurrency:
    case qdtBCD:
      binding = fullOnly<compareInteger<int64_t>>();
      break;
    case qdtSingle:
      binding = fullOnly<compareFloat<float>>();
      break;
    case qdtDouble:
    case qdtDateTime:
    case qdtInterval:
      binding = fullOnly<compareFloat<double>>();
      break;
    case qdtExtended:
      binding = fullOnly<compareExtended>();
      break;
    case qdtByteArray:
      binding = withPartial<compareBytes, partialCompareBytes>();
      break;
    case qdtShortString:
      if (bytes) {
        binding = noCase ? withPartial<compareShortBytes<true>, partialCompareShortBytes<true>>()
                         : withPartial<compareShortBytes<false>, partialCompareShortBytes<false>>();
      } else if (ckfeCompareMultiByte) {
        binding = {compareShortLocale, descending<compareShortLocale>, partialCompareShortMultiByte<false>,
                   partialCompareShortMultiByte<true>};
      } else {
        binding = withPartial<compareShortLocale, partialCompareShortLocale>();
      }
      break;
    case qdtNullString:
      if (bytes) {
        binding = noCase ? withPartial<compareNullBytes<true>, partialCompareNullBytes<true>>()
                         : withPartial<compareNullBytes<false>, partialCompareNullBytes<false>>();
      } else if (ckfeCompareMultiByte) {
        binding = {compareNullLocale, descending<compareNullLocale>, partialCompareNullMultiByte<false>,
                   partialCompareNullMultiByte<true>};
      } else {
        binding = withPartial<compareNullLocale, partialCompareNullLocale>();
      }
      break;
    case qdtWideString:
      if (bytes) {
        binding = noCase ? withPartial<compareWideUnits<true>, partialCompareWideUnits<true>>()
                         : withPartial<compareWideUnits<false>, partialCompareWideUnits<false>>();
      } else {
        binding = withPartial<compareWideLocale, partialCompareWideLocale>();
      }
      break;
    case qdtGuid:
      if (dynamic_cast<const TqdTextKeyFieldDescriptor*>(aKeyFieldDescriptor) != nullptr) {
        binding = fullOnly<compareGuidText>();
      } else {
        binding = fullOnly<compareBytes>();
      }
      break;
    case qdtFmtBCD:
      binding = fullOnly<compareFmtBcd>();
      break;
    case qdtBlob:
    case qdtBlobMemo:
    case qdtBlobGraphic:
    case qdtBlobWideMemo:
      break;
  }
  if (binding.Ascending == nullptr)
    throw EqdCompositeKeyFieldEngineException(qdeNotSupported,
                                              u"FieldType \"%s\" not supported by TqdCompositeKeyFieldEngine",
                                              {qdString(qdFieldTypeDisplayName(ckfeFieldType))});
  CompareKey.Bind(this, aAscend ? binding.Ascending : binding.Descending);
  if (binding.Ascending == &compareInteger<int64_t>)
    ckfePlainOrder = pkoInt64;
  else if (binding.Ascending == &compareBytes)
    ckfePlainOrder = pkoBytes;
  ckfePlainDescending = !aAscend;
  PartialCompareKey.Bind(this, aAscend ? binding.PartialAscending : binding.PartialDescending);
}

void TqdCompositeKeyFieldEngine::BindBuildRoutine() {
  switch (ckfeFieldType) {
    case qdtShortString:
      if (ckfeConversionNeeded) {
        BuildKey.Bind(this, buildShortConverted<true>);
        KeySameAsRecordFormat = false;
      } else if (ckfeKeyChars >= ckfeFieldUnits) {
        BuildKey.Bind(this, buildShortCopy);
      } else if (!ckfeStorageMultiByte) {
        BuildKey.Bind(this, buildShortCopy);
        ckfeBuildKeyLength = ckfeKeyChars + 1;
        KeySameAsRecordFormat = false;
      } else {
        BuildKey.Bind(this, buildShortConverted<false>);
        KeySameAsRecordFormat = false;
      }
      break;
    case qdtNullString:
      if (ckfeConversionNeeded) {
        BuildKey.Bind(this, buildNullConverted<true>);
        KeySameAsRecordFormat = false;
      } else if (ckfeKeyChars >= ckfeFieldUnits) {
        BuildKey.Bind(this, buildNullCopy);
      } else if (!ckfeStorageMultiByte) {
        BuildKey.Bind(this, buildNullCopy);
        ckfeBuildKeyLength = ckfeKeyChars + 1;
        KeySameAsRecordFormat = false;
      } else {
        BuildKey.Bind(this, buildNullConverted<false>);
        KeySameAsRecordFormat = false;
      }
      break;
    case qdtWideString:
      BuildKey.Bind(this, buildWideCopy);
      if (ckfeKeyChars < ckfeFieldUnits) {
        ckfeBuildKeyLength = ckfeKeyChars * 2 + 2;
        KeySameAsRecordFormat = false;
      }
      break;
    default:
      BuildKey.Bind(this, buildCopy);
      break;
  }
}

// --- Descendants -------------------------------------------------------------------------------------------

TqdNumbersOnlyCKFE::TqdNumbersOnlyCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor)
    : TqdCompositeKeyFieldEngine(aKeyFieldDescriptor, ClassInfo) {
  switch (ckfeFieldType) {
    case qdtShortString:
      BindBuildKey(buildShortDigits);
      break;
    case qdtNullString:
      BindBuildKey(buildNullDigits);
      break;
    case qdtWideString:
      BindBuildKey(buildWideDigits);
      break;
    default:
      break;
  }
  KeySameAsRecordFormat = false;
}

bool TqdNumbersOnlyCKFE::SupportsFieldType(TqdFieldType aFieldType) { return kStringFieldTypes.Contains(aFieldType); }

TqdDateOnlyCKFE::TqdDateOnlyCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor)
    : TqdCompositeKeyFieldEngine((checkDateTimeField(aKeyFieldDescriptor), aKeyFieldDescriptor), ClassInfo) {
  BindBuildKey(buildDateOnly);
  KeySameAsRecordFormat = false;
}

bool TqdDateOnlyCKFE::SupportsFieldType(TqdFieldType aFieldType) { return aFieldType == qdtDateTime; }

TqdDateOnlyProcessCKFE::TqdDateOnlyProcessCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor)
    : TqdDateOnlyProcessCKFE(aKeyFieldDescriptor, ClassInfo) {}

TqdDateOnlyProcessCKFE::TqdDateOnlyProcessCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor, const TqdClassInfo& aClass)
    : TqdCompositeKeyFieldEngine((checkDateTimeField(aKeyFieldDescriptor), aKeyFieldDescriptor), aClass) {
  BindBuildKey(buildDateProcessed);
  KeySameAsRecordFormat = false;
}

void TqdDateOnlyProcessCKFE::ProcessTimeStamp(const TTimeStamp& aIn, TTimeStamp& aOut) const { aOut = aIn; }

TqdDateOnlyWeekCKFE::TqdDateOnlyWeekCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor)
    : TqdDateOnlyProcessCKFE(aKeyFieldDescriptor, ClassInfo) {}

void TqdDateOnlyWeekCKFE::ProcessTimeStamp(const TTimeStamp& aIn, TTimeStamp& aOut) const {
  const int32_t day = aIn.Date;
  aOut.Date = day <= 7 ? 1 : day - (day - 1) % 7;
  aOut.Time = 0;
}

TqdDateOnlyMonthCKFE::TqdDateOnlyMonthCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor)
    : TqdDateOnlyProcessCKFE(aKeyFieldDescriptor, ClassInfo) {}

void TqdDateOnlyMonthCKFE::ProcessTimeStamp(const TTimeStamp& aIn, TTimeStamp& aOut) const {
  const int32_t day = aIn.Date;
  aOut.Date = day;
  aOut.Time = 0;
  if (day <= 31) {
    aOut.Date = 1;
    return;
  }
  uint16_t year = 0, month = 0, dayOfMonth = 0;
  DecodeDate(static_cast<TDateTime>(day - kDateDelta), year, month, dayOfMonth);
  if (year != 0) aOut.Date = day - (dayOfMonth - 1);
}

TqdDateOnlyYearCKFE::TqdDateOnlyYearCKFE(TqdKeyFieldDescriptor* aKeyFieldDescriptor)
    : TqdDateOnlyProcessCKFE(aKeyFieldDescriptor, ClassInfo) {}

void TqdDateOnlyYearCKFE::ProcessTimeStamp(const TTimeStamp& aIn, TTimeStamp& aOut) const {
  const int32_t day = aIn.Date;
  aOut.Date = day;
  aOut.Time = 0;
  if (day <= 365) {
    aOut.Date = 1;
    return;
  }
  uint16_t year = 0, month = 0, dayOfMonth = 0;
  DecodeDate(static_cast<TDateTime>(day - kDateDelta), year, month, dayOfMonth);
  if (year != 0) aOut.Date = static_cast<int32_t>(EncodeDate(year, 1, 1)) + kDateDelta;
}

// --- Unit start and end ----------------------------------------------------------------------------------------

void qdsdKeyFieldEngineBaseInitialize() {
  if (registryPadlock == nullptr) registryPadlock = new TqdPadlock();
  TqdCompositeKeyFieldEngine::Register(TqdCompositeKeyFieldEngine::ClassInfo, u"", kDefaultFieldTypes);
  TqdCompositeKeyFieldEngine::Register(TqdNumbersOnlyCKFE::ClassInfo, u"NumbersOnly", kStringFieldTypes);
  TqdCompositeKeyFieldEngine::Register(TqdDateOnlyCKFE::ClassInfo, u"DateOnly", {qdtDateTime});
  TqdCompositeKeyFieldEngine::Register(TqdDateOnlyWeekCKFE::ClassInfo, u"DateOnlyWeek", {qdtDateTime});
  TqdCompositeKeyFieldEngine::Register(TqdDateOnlyMonthCKFE::ClassInfo, u"DateOnlyMonth", {qdtDateTime});
  TqdCompositeKeyFieldEngine::Register(TqdDateOnlyYearCKFE::ClassInfo, u"DateOnlyYear", {qdtDateTime});
}

void qdsdKeyFieldEngineBaseFinalize() {
  delete registryList;
  registryList = nullptr;
  delete registryPadlock;
  registryPadlock = nullptr;
}

}  // namespace qd
