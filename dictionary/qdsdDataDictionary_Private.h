// Helpers shared by the implementation files of qdsdDataDictionary; not part
// of its interface (included only by qdsdDataDictionary*.cpp).
#pragma once

#include <algorithm>
#include <cstdint>

#include "dictionary/qdsdDataDictionary.h"
#include "foundation/qdllStreams.h"

namespace qd::qdsdDataDictionary_Private {

inline char16_t asciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

inline qdString asciiLowerCase(qdStringView s) {
  qdString result(s);
  for (char16_t& c : result) c = asciiLower(c);
  return result;
}

// Negative, 0 or positive; ASCII letters compare without case.
inline int compareTextAscii(qdStringView a, qdStringView b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t ca = asciiLower(a[i]);
    const char16_t cb = asciiLower(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

inline bool sameTextAscii(qdStringView a, qdStringView b) { return compareTextAscii(a, b) == 0; }

// The name and value of a "name=value" line (no "=": all name).
inline qdStringView lineName(qdStringView aLine) {
  const size_t eq = aLine.find(u'=');
  return eq == qdStringView::npos ? aLine : aLine.substr(0, eq);
}

// Reads a class name and resolves it in aFamily's registry; an unknown name
// raises 15499 "%s class is not supported: %s" as aItem's exception.
template <class TInfo>
const TInfo& readDescriptorClass(TqdReader& aReader, const TInfo& aFamily, const TqdDictionaryItem& aItem,
                                 const char16_t* aLabel) {
  const qdString name = aReader.ReadString();
  const TInfo* found = qdFindDescriptorClass(aFamily, name);
  if (found == nullptr) aItem.Error(qdeUnsupportedDescriptor, u"%s class is not supported: %s", {aLabel, name});
  return *found;
}

// Follows a change of a list from position aOld to aNew (-1 = none) for a
// number that points into the list: the moved entry takes its new place,
// entries behind a removal move down, entries at or behind an insertion
// move up.
inline int32_t renumbered(int32_t aNumber, int32_t aOld, int32_t aNew) {
  if (aOld == aNumber) return aNew;
  if (aOld >= 0 && aOld < aNumber && (aNew < 0 || aNew >= aNumber)) return aNumber - 1;
  if ((aOld < 0 || aOld > aNumber) && aNew >= 0 && aNew <= aNumber) return aNumber + 1;
  return aNumber;
}

inline void writeClassName(TqdWriter& aWriter, const TqdDictionaryItem& aItem) {
  aWriter.WriteString(aItem.ClassType().ClassName);
}

// A stored Integer that must fit a non-negative 16-bit value.
inline uint16_t readWord(TqdReader& aReader, const TqdDictionaryItem& aItem) {
  const int32_t value = aReader.ReadInteger();
  if (value < 0 || value > 0xFFFF) aItem.Error(qdeIncompatibleStream);
  return static_cast<uint16_t>(value);
}

}  // namespace qd::qdsdDataDictionary_Private
