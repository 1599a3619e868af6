// TqdStringList: the platform's string list, sorted or unsorted, with an
// optional pointer per item.
//
// - Sorted lists keep their order on Add and refuse Insert/Put
//   ("Operation not allowed on sorted list"); `Duplicates` decides what
//   adding an existing string does: dupIgnore keeps the list as it is and
//   returns the existing index, dupAccept adds it before its equals,
//   dupError raises EStringListError "Duplicates not allowed".
// - Strings compare through the virtual `CompareStrings`; by default through
//   `qdStringListCompareHook` (case-sensitive or not, per `CaseSensitive`),
//   whose default is an ordinal comparison, with simple Unicode case folding
//   when letter case is ignored. The locale services may install a
//   collation-based comparison there at start-up.
// - Name=value lines: `Names`, `Values`, `ValueFromIndex`, `IndexOfName`
//   split at the first `NameValueSeparator`.
// - `CommaText` / `DelimitedText` quote items that hold the delimiter, the
//   quote character or (unless `StrictDelimiter`) blanks and control
//   characters, doubling quotes inside; reading splits at the delimiter and,
//   unless `StrictDelimiter`, at blanks outside quotes.
// - `Text` joins lines with `LineBreak` (CR LF) after each; setting it splits
//   at CR LF, LF or CR.
// The list owns its strings, never the objects attached to them.
// Not thread-safe; callers guard a shared list.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/qdStrings.h"
#include "platform/qdSysUtils.h"

namespace qd {

class EStringListError : public Exception {
 public:
  using Exception::Exception;
};

enum TDuplicates { dupIgnore, dupAccept, dupError };

// Returns <0, 0 or >0. The default is ordinal; set once at start-up.
using TqdStringListCompare = int (*)(qdStringView aLeft, qdStringView aRight, bool aCaseSensitive);
extern TqdStringListCompare qdStringListCompareHook;
int qdStringListDefaultCompare(qdStringView aLeft, qdStringView aRight, bool aCaseSensitive);

class TqdStringList {
 public:
  using TCompare = std::function<int(const TqdStringList& aList, int32_t aIndex1, int32_t aIndex2)>;

  TqdStringList() = default;
  TqdStringList(const TqdStringList& aOther) { Assign(aOther); }
  TqdStringList& operator=(const TqdStringList& aOther);
  virtual ~TqdStringList() = default;

  int32_t Count() const { return static_cast<int32_t>(fItems.size()); }
  const qdString& Strings(int32_t aIndex) const;
  void Put(int32_t aIndex, const qdString& aValue);
  void* Objects(int32_t aIndex) const;
  void PutObject(int32_t aIndex, void* aObject);

  int32_t Add(const qdString& aValue);
  int32_t AddObject(const qdString& aValue, void* aObject);
  void AddStrings(const TqdStringList& aOther);
  void Insert(int32_t aIndex, const qdString& aValue);
  void InsertObject(int32_t aIndex, const qdString& aValue, void* aObject);
  void Delete(int32_t aIndex);
  void Clear();
  void Exchange(int32_t aIndex1, int32_t aIndex2);
  void Move(int32_t aCurIndex, int32_t aNewIndex);

  virtual int32_t IndexOf(qdStringView aValue) const;
  int32_t IndexOfObject(const void* aObject) const;
  // Binary search of a sorted list: true when found; aIndex receives the
  // position found or the position where the string belongs (with
  // dupAccept, the first of equal strings).
  virtual bool Find(qdStringView aValue, int32_t& aIndex) const;

  bool Sorted() const { return fSorted; }
  void SetSorted(bool aValue);
  TDuplicates Duplicates() const { return fDuplicates; }
  void SetDuplicates(TDuplicates aValue) { fDuplicates = aValue; }
  bool CaseSensitive() const { return fCaseSensitive; }
  void SetCaseSensitive(bool aValue);
  virtual void Sort();
  virtual void CustomSort(const TCompare& aCompare);

  // Name=value lines.
  qdString Names(int32_t aIndex) const;
  qdString Values(qdStringView aName) const;
  void SetValues(qdStringView aName, const qdString& aValue);  // '' deletes the line
  qdString ValueFromIndex(int32_t aIndex) const;
  void SetValueFromIndex(int32_t aIndex, const qdString& aValue);
  int32_t IndexOfName(qdStringView aName) const;

  qdString DelimitedText() const;
  void SetDelimitedText(qdStringView aValue);
  qdString CommaText() const;
  void SetCommaText(qdStringView aValue);
  qdString Text() const;
  void SetText(qdStringView aValue);

  char16_t Delimiter = u',';
  char16_t QuoteChar = u'"';
  char16_t NameValueSeparator = u'=';
  bool StrictDelimiter = false;
  qdString LineBreak = u"\r\n";

  // Copies the strings, objects and every setting of aSource.
  void Assign(const TqdStringList& aSource);

 protected:
  virtual int CompareStrings(qdStringView aLeft, qdStringView aRight) const;

 private:
  struct Item {
    qdString fString;
    void* fObject = nullptr;
  };

  void CheckIndex(int32_t aIndex) const;
  void CheckIndexForInsert(int32_t aIndex) const;
  void InsertItem(int32_t aIndex, const qdString& aValue, void* aObject);
  qdString GetDelimitedText(char16_t aDelimiter, char16_t aQuote, bool aStrict) const;
  void ParseDelimitedText(qdStringView aValue, char16_t aDelimiter, char16_t aQuote, bool aStrict);

  std::vector<Item> fItems;
  bool fSorted = false;
  TDuplicates fDuplicates = dupIgnore;
  bool fCaseSensitive = false;
};

}  // namespace qd
