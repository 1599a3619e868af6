#include "platform/qdStringList.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <numeric>

namespace qd {

namespace {

// Next code point of aText at aPos (a lone surrogate stands for itself).
char32_t nextCodePoint(qdStringView aText, size_t& aPos) {
  char32_t c = aText[aPos++];
  if (U16_IS_LEAD(c) && aPos < aText.size() && U16_IS_TRAIL(aText[aPos])) c = U16_GET_SUPPLEMENTARY(c, aText[aPos++]);
  return c;
}

[[noreturn]] void raiseListError(std::string_view aMessage) { throw EStringListError(aMessage); }

bool isBlankOrControl(char16_t c) { return c >= 1 && c <= u' '; }

}  // namespace

int qdStringListDefaultCompare(qdStringView aLeft, qdStringView aRight, bool aCaseSensitive) {
  if (aCaseSensitive) return aLeft.compare(aRight);
  size_t i = 0, j = 0;
  while (i < aLeft.size() && j < aRight.size()) {
    const UChar32 a = u_foldCase(static_cast<UChar32>(nextCodePoint(aLeft, i)), U_FOLD_CASE_DEFAULT);
    const UChar32 b = u_foldCase(static_cast<UChar32>(nextCodePoint(aRight, j)), U_FOLD_CASE_DEFAULT);
    if (a != b) return a < b ? -1 : 1;
  }
  if (i < aLeft.size()) return 1;
  if (j < aRight.size()) return -1;
  return 0;
}

TqdStringListCompare qdStringListCompareHook = qdStringListDefaultCompare;

TqdStringList& TqdStringList::operator=(const TqdStringList& aOther) {
  if (this != &aOther) Assign(aOther);
  return *this;
}

int TqdStringList::CompareStrings(qdStringView aLeft, qdStringView aRight) const {
  return qdStringListCompareHook(aLeft, aRight, fCaseSensitive);
}

void TqdStringList::CheckIndex(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= Count())
    throw EStringListError("List index out of bounds (" + std::to_string(aIndex) + ")");
}

void TqdStringList::CheckIndexForInsert(int32_t aIndex) const {
  if (aIndex < 0 || aIndex > Count())
    throw EStringListError("List index out of bounds (" + std::to_string(aIndex) + ")");
}

const qdString& TqdStringList::Strings(int32_t aIndex) const {
  CheckIndex(aIndex);
  return fItems[static_cast<size_t>(aIndex)].fString;
}

void TqdStringList::Put(int32_t aIndex, const qdString& aValue) {
  if (fSorted) raiseListError("Operation not allowed on sorted list");
  CheckIndex(aIndex);
  fItems[static_cast<size_t>(aIndex)].fString = aValue;
}

void* TqdStringList::Objects(int32_t aIndex) const {
  CheckIndex(aIndex);
  return fItems[static_cast<size_t>(aIndex)].fObject;
}

void TqdStringList::PutObject(int32_t aIndex, void* aObject) {
  CheckIndex(aIndex);
  fItems[static_cast<size_t>(aIndex)].fObject = aObject;
}

int32_t TqdStringList::Add(const qdString& aValue) { return AddObject(aValue, nullptr); }

int32_t TqdStringList::AddObject(const qdString& aValue, void* aObject) {
  int32_t index = Count();
  if (fSorted && Find(aValue, index)) {
    switch (fDuplicates) {
      case dupIgnore:
        return index;
      case dupError:
        raiseListError("Duplicates not allowed");
      case dupAccept:
        break;
    }
  }
  InsertItem(index, aValue, aObject);
  return index;
}

void TqdStringList::AddStrings(const TqdStringList& aOther) {
  // Copy first: aOther may be this list.
  const std::vector<Item> items = aOther.fItems;
  for (const Item& item : items) AddObject(item.fString, item.fObject);
}

void TqdStringList::Insert(int32_t aIndex, const qdString& aValue) { InsertObject(aIndex, aValue, nullptr); }

void TqdStringList::InsertObject(int32_t aIndex, const qdString& aValue, void* aObject) {
  if (fSorted) raiseListError("Operation not allowed on sorted list");
  CheckIndexForInsert(aIndex);
  InsertItem(aIndex, aValue, aObject);
}

void TqdStringList::InsertItem(int32_t aIndex, const qdString& aValue, void* aObject) {
  fItems.insert(fItems.begin() + aIndex, Item{aValue, aObject});
}

void TqdStringList::Delete(int32_t aIndex) {
  CheckIndex(aIndex);
  fItems.erase(fItems.begin() + aIndex);
}

void TqdStringList::Clear() { fItems.clear(); }

void TqdStringList::Exchange(int32_t aIndex1, int32_t aIndex2) {
  if (fSorted) raiseListError("Operation not allowed on sorted list");
  CheckIndex(aIndex1);
  CheckIndex(aIndex2);
  std::swap(fItems[static_cast<size_t>(aIndex1)], fItems[static_cast<size_t>(aIndex2)]);
}

void TqdStringList::Move(int32_t aCurIndex, int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  if (fSorted) raiseListError("Operation not allowed on sorted list");
  CheckIndex(aCurIndex);
  CheckIndex(aNewIndex);
  Item item = std::move(fItems[static_cast<size_t>(aCurIndex)]);
  fItems.erase(fItems.begin() + aCurIndex);
  fItems.insert(fItems.begin() + aNewIndex, std::move(item));
}

int32_t TqdStringList::IndexOf(qdStringView aValue) const {
  if (fSorted) {
    int32_t index;
    return Find(aValue, index) ? index : -1;
  }
  for (int32_t i = 0; i < Count(); ++i)
    if (CompareStrings(fItems[static_cast<size_t>(i)].fString, aValue) == 0) return i;
  return -1;
}

int32_t TqdStringList::IndexOfObject(const void* aObject) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (fItems[static_cast<size_t>(i)].fObject == aObject) return i;
  return -1;
}

bool TqdStringList::Find(qdStringView aValue, int32_t& aIndex) const {
  bool found = false;
  int32_t low = 0, high = Count() - 1;
  while (low <= high) {
    const int32_t middle = low + (high - low) / 2;
    const int order = CompareStrings(fItems[static_cast<size_t>(middle)].fString, aValue);
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle - 1;
      if (order == 0) {
        found = true;
        // With duplicates accepted keep looking left for the first equal one.
        if (fDuplicates != dupAccept) low = middle;
      }
    }
  }
  aIndex = low;
  return found;
}

void TqdStringList::SetSorted(bool aValue) {
  if (aValue == fSorted) return;
  if (aValue) Sort();
  fSorted = aValue;
}

void TqdStringList::SetCaseSensitive(bool aValue) {
  if (aValue == fCaseSensitive) return;
  fCaseSensitive = aValue;
  if (fSorted) Sort();
}

void TqdStringList::Sort() {
  CustomSort([](const TqdStringList& aList, int32_t aIndex1, int32_t aIndex2) {
    return aList.CompareStrings(aList.fItems[static_cast<size_t>(aIndex1)].fString,
                                aList.fItems[static_cast<size_t>(aIndex2)].fString);
  });
}

void TqdStringList::CustomSort(const TCompare& aCompare) {
  if (Count() < 2) return;
  // Order a permutation while the items stay where aCompare looks for them.
  std::vector<int32_t> order(fItems.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int32_t aLeft, int32_t aRight) { return aCompare(*this, aLeft, aRight) < 0; });
  std::vector<Item> sorted;
  sorted.reserve(fItems.size());
  for (int32_t i : order) sorted.push_back(std::move(fItems[static_cast<size_t>(i)]));
  fItems = std::move(sorted);
}

qdString TqdStringList::Names(int32_t aIndex) const {
  const qdString& line = Strings(aIndex);
  const size_t separator = line.find(NameValueSeparator);
  return separator == qdString::npos ? qdString() : line.substr(0, separator);
}

qdString TqdStringList::ValueFromIndex(int32_t aIndex) const {
  if (aIndex < 0) return {};
  const qdString& line = Strings(aIndex);
  const size_t separator = line.find(NameValueSeparator);
  return separator == qdString::npos ? qdString() : line.substr(separator + 1);
}

void TqdStringList::SetValueFromIndex(int32_t aIndex, const qdString& aValue) {
  Put(aIndex, Names(aIndex) + NameValueSeparator + aValue);
}

int32_t TqdStringList::IndexOfName(qdStringView aName) const {
  for (int32_t i = 0; i < Count(); ++i) {
    const qdString& line = fItems[static_cast<size_t>(i)].fString;
    const size_t separator = line.find(NameValueSeparator);
    if (separator != qdString::npos && CompareStrings(qdStringView(line).substr(0, separator), aName) == 0) return i;
  }
  return -1;
}

qdString TqdStringList::Values(qdStringView aName) const { return ValueFromIndex(IndexOfName(aName)); }

void TqdStringList::SetValues(qdStringView aName, const qdString& aValue) {
  const int32_t index = IndexOfName(aName);
  if (aValue.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  const qdString line = qdString(aName) + NameValueSeparator + aValue;
  if (index < 0) {
    Add(line);
  } else if (fSorted) {
    // The new line may belong elsewhere in the order.
    void* object = fItems[static_cast<size_t>(index)].fObject;
    Delete(index);
    AddObject(line, object);
  } else {
    Put(index, line);
  }
}

qdString TqdStringList::GetDelimitedText(char16_t aDelimiter, char16_t aQuote, bool aStrict) const {
  if (Count() == 1 && fItems[0].fString.empty()) return qdString(2, aQuote);
  qdString result;
  for (int32_t i = 0; i < Count(); ++i) {
    const qdString& item = fItems[static_cast<size_t>(i)].fString;
    const bool needsQuotes = std::any_of(item.begin(), item.end(), [&](char16_t c) {
      return c == 0 || c == aQuote || c == aDelimiter || (!aStrict && isBlankOrControl(c));
    });
    if (i > 0) result += aDelimiter;
    if (!needsQuotes) {
      result += item;
      continue;
    }
    result += aQuote;
    for (char16_t c : item) {
      if (c == aQuote) result += aQuote;
      result += c;
    }
    result += aQuote;
  }
  return result;
}

void TqdStringList::ParseDelimitedText(qdStringView aValue, char16_t aDelimiter, char16_t aQuote, bool aStrict) {
  Clear();
  size_t p = 0;
  const size_t n = aValue.size();
  const auto skipBlanks = [&] {
    if (!aStrict)
      while (p < n && isBlankOrControl(aValue[p])) ++p;
  };
  skipBlanks();
  while (p < n) {
    qdString item;
    if (aValue[p] == aQuote) {
      // Quoted: up to the closing quote, a doubled quote standing for one.
      ++p;
      while (p < n) {
        if (aValue[p] == aQuote) {
          if (p + 1 < n && aValue[p + 1] == aQuote) {
            item += aQuote;
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += aValue[p++];
      }
    } else {
      const size_t start = p;
      while (p < n && aValue[p] != aDelimiter && (aStrict || !isBlankOrControl(aValue[p]))) ++p;
      item = aValue.substr(start, p - start);
    }
    Add(item);
    skipBlanks();
    if (p < n && aValue[p] == aDelimiter) {
      ++p;
      if (p == n) Add(qdString());  // a trailing delimiter ends with an empty item
      skipBlanks();
    }
  }
}

qdString TqdStringList::DelimitedText() const { return GetDelimitedText(Delimiter, QuoteChar, StrictDelimiter); }

void TqdStringList::SetDelimitedText(qdStringView aValue) {
  ParseDelimitedText(aValue, Delimiter, QuoteChar, StrictDelimiter);
}

qdString TqdStringList::CommaText() const { return GetDelimitedText(u',', u'"', false); }

void TqdStringList::SetCommaText(qdStringView aValue) { ParseDelimitedText(aValue, u',', u'"', false); }

qdString TqdStringList::Text() const {
  qdString result;
  for (const Item& item : fItems) {
    result += item.fString;
    result += LineBreak;
  }
  return result;
}

void TqdStringList::SetText(qdStringView aValue) {
  Clear();
  size_t start = 0;
  while (start < aValue.size()) {
    size_t end = start;
    while (end < aValue.size() && aValue[end] != u'\r' && aValue[end] != u'\n') ++end;
    Add(qdString(aValue.substr(start, end - start)));
    if (end < aValue.size() && aValue[end] == u'\r') ++end;
    if (end < aValue.size() && aValue[end] == u'\n') ++end;
    start = end;
  }
}

void TqdStringList::Assign(const TqdStringList& aSource) {
  if (this == &aSource) return;
  fItems = aSource.fItems;
  fSorted = aSource.fSorted;
  fDuplicates = aSource.fDuplicates;
  fCaseSensitive = aSource.fCaseSensitive;
  Delimiter = aSource.Delimiter;
  QuoteChar = aSource.QuoteChar;
  NameValueSeparator = aSource.NameValueSeparator;
  StrictDelimiter = aSource.StrictDelimiter;
  LineBreak = aSource.LineBreak;
  // A descendant may order strings differently from the source.
  if (fSorted) Sort();
}

}  // namespace qd
