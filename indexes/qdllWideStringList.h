// Lists of UTF-16 strings (TqdWideString) whose order and normalisation are
// pluggable, and the comparers and transformers that plug into them.
//
// A list keeps every string in transformed form: a string passes through the
// list's transformer when it is stored and when it is searched for, and the
// list's comparer orders and matches the stored strings. The full-text token
// containers keep sorted lists without duplicates (locale or byte comparer,
// truncating transformer); the token filters and SQL's LOWER and UPPER use
// the transformers directly.
//
// Comparers (IqdWideStringComparer) answer -1, 0 or 1, nothing else, since
// the sorted-list search and the token merges branch on exactly these:
//   TqdWideStringByteComparer               units as little-endian bytes,
//                                           unsigned, shorter first on a
//                                           common prefix (U+0100 < U+00FF)
//   TqdBaseWideStringCompareStringComparer  the locale order of
//   TqdWideStringCompareStringWComparer     qdCompareString, the call key
//                                           building uses, so a list and an
//                                           index never disagree; an empty
//                                           string sorts first
// Transformers (IqdWideStringTransformer):
//   TqdWideStringNullTransformer            the string as it is
//   TqdWideStringFoldStringTransformer      qdFoldString with MAP_... flags
//   TqdWideStringPreComposeTransformer      fold with MAP_PRECOMPOSED (NFC)
//   TqdWideStringLocaleMappingTransformer   qdVantorWideLCMapStringW with
//                                           LCMAP_... flags (no sort keys)
//   TqdWideStringLowerCaseTransformer       LCMAP_LOWERCASE
//   TqdWideStringUpperCaseTransformer       LCMAP_UPPERCASE
//   TqdWideStringTruncateTransformer        at most n units, never half a
//                                           surrogate pair
//   TqdWideStringTransformerHub             several transformers in order
// Comparers and transformers are reference-counted (TqdInterfacedObject),
// immutable after construction and may be shared by the lists of a thread.
//
// Lists: TqdWideStrings (abstract: text, streams, files, names and values,
// assignment, the "WideStrings" property) and TqdWideStringList (an array of
// items with an optional object each, sorted or not, duplicates policy,
// change events). A list owns its strings, never its objects. Errors of the
// list are the platform's EStringListError with the texts of
// qdWideStringListDuplicates, ...SortedListError and ...IndexError.
//
// Change events: Changing/Changed fire OnChanging/OnChange only while no
// BeginUpdate is open; the outermost BeginUpdate/EndUpdate pair fires each
// once. A list being destroyed fires nothing.
//
// Threads: a list belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllStreams.h"
#include "foundation/qdllThread.h"
#include "foundation/qdllTypes.h"
#include "foundation/qdllWideString.h"
#include "platform/qdNls.h"
#include "platform/qdStream.h"
#include "platform/qdStringList.h"
#include "platform/qdStrings.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdWideStringLocaleMappingTransformerException, EqdBaseException);

// The list errors' texts.
extern const char16_t* const qdWideStringListDuplicates;   // adding an equal string under dupError
extern const char16_t* const qdWideStringListSortedError;  // Insert / wsPutString on a sorted list
extern const char16_t* const qdWideStringListIndexError;   // "... (%d)": a position out of range

// The code page that stands for qdDefaultCodePage in the list's conversions.
constexpr uint32_t qdWideStringDefaultCodePage = 0xFFFF;

// ---- Interfaces ---------------------------------------------------------------------

class IqdWideStringComparer : public virtual IqdInterface {
 public:
  // -1, 0 or 1 as S1 is less than, equal to or greater than S2.
  virtual int8_t Compare(const TqdWideString& S1, const TqdWideString& S2) = 0;

 protected:
  ~IqdWideStringComparer() = default;
};

class IqdWideStringTransformer : public virtual IqdInterface {
 public:
  virtual TqdWideString Transform(const TqdWideString& S) = 0;

 protected:
  ~IqdWideStringTransformer() = default;
};

using TqdWideStringComparerRef = TqdRef<IqdWideStringComparer>;
using TqdWideStringTransformerRef = TqdRef<IqdWideStringTransformer>;
using TqdWideStringTransformers = std::vector<TqdWideStringTransformerRef>;

// ---- Comparers ----------------------------------------------------------------------

class TqdWideStringByteComparer : public TqdInterfacedObject, public IqdWideStringComparer {
 public:
  int8_t Compare(const TqdWideString& S1, const TqdWideString& S2) override;
};

class TqdBaseWideStringCompareStringComparer : public TqdInterfacedObject, public IqdWideStringComparer {
 public:
  // Any locale id is taken: one ICU cannot place compares with the root
  // collation, as key building does.
  TqdBaseWideStringCompareStringComparer(TqdLCID aLocale, uint32_t aFlags)
      : bwscscLocale(aLocale), bwscscFlags(aFlags) {}

  // Lengths decide when either string is empty; otherwise qdCompareString,
  // whose answer is already -1, 0 or 1 and never a failure.
  int8_t Compare(const TqdWideString& S1, const TqdWideString& S2) override;

  TqdLCID Locale() const { return bwscscLocale; }
  uint32_t Flags() const { return bwscscFlags; }

 protected:
  const TqdLCID bwscscLocale;
  const uint32_t bwscscFlags;
};

class TqdWideStringCompareStringWComparer : public TqdBaseWideStringCompareStringComparer {
 public:
  using TqdBaseWideStringCompareStringComparer::TqdBaseWideStringCompareStringComparer;
};

// ---- Transformers -------------------------------------------------------------------

class TqdWideStringNullTransformer : public TqdInterfacedObject, public IqdWideStringTransformer {
 public:
  TqdWideString Transform(const TqdWideString& S) override { return S; }
};

class TqdWideStringFoldStringTransformer : public TqdInterfacedObject, public IqdWideStringTransformer {
 public:
  explicit TqdWideStringFoldStringTransformer(uint32_t aFlags) : wsfstFlags(aFlags) {}

  // Flags the folding refuses (unknown bits, MAP_PRECOMPOSED with
  // MAP_COMPOSITE) raise the OS error with the action
  // "TqdWideStringFoldStringTransformer.Transform/FoldStringW/1" when a
  // non-empty string is folded.
  TqdWideString Transform(const TqdWideString& S) override;

 protected:
  const uint32_t wsfstFlags;
};

class TqdWideStringPreComposeTransformer : public TqdWideStringFoldStringTransformer {
 public:
  TqdWideStringPreComposeTransformer() : TqdWideStringFoldStringTransformer(MAP_PRECOMPOSED) {}
};

class TqdWideStringLocaleMappingTransformer : public TqdInterfacedObject, public IqdWideStringTransformer {
 public:
  // Flags holding LCMAP_SORTKEY raise 12289 here: a sort key is no string.
  TqdWideStringLocaleMappingTransformer(TqdLCID aLocale, uint32_t aFlags);

  // An empty string maps to itself without asking the mapping; refused
  // flags raise the OS error with the action "qdVantorWideLCMapStringW".
  // LCMAP_LOWERCASE and LCMAP_UPPERCASE alone map code point by code point,
  // locale-free; the locale's own casing needs LCMAP_LINGUISTIC_CASING.
  TqdWideString Transform(const TqdWideString& S) override;

 protected:
  const TqdLCID wslmtLocale;
  const uint32_t wslmtFlags;
};

class TqdWideStringLowerCaseTransformer : public TqdWideStringLocaleMappingTransformer {
 public:
  explicit TqdWideStringLowerCaseTransformer(TqdLCID aLocale)
      : TqdWideStringLocaleMappingTransformer(aLocale, LCMAP_LOWERCASE) {}
};

class TqdWideStringUpperCaseTransformer : public TqdWideStringLocaleMappingTransformer {
 public:
  explicit TqdWideStringUpperCaseTransformer(TqdLCID aLocale)
      : TqdWideStringLocaleMappingTransformer(aLocale, LCMAP_UPPERCASE) {}
};

class TqdWideStringTruncateTransformer : public TqdInterfacedObject, public IqdWideStringTransformer {
 public:
  explicit TqdWideStringTruncateTransformer(int32_t aMaxLength) : wsttMaxLength(aMaxLength) {}

  // A string longer than the maximum keeps its first wsttMaxLength units,
  // one less when the last one kept would be a high surrogate.
  TqdWideString Transform(const TqdWideString& S) override;

 protected:
  const int32_t wsttMaxLength;
};

class TqdWideStringTransformerHub : public TqdInterfacedObject, public IqdWideStringTransformer {
 public:
  explicit TqdWideStringTransformerHub(std::initializer_list<TqdWideStringTransformerRef> aTransformers)
      : wsthTransformers(aTransformers) {}
  explicit TqdWideStringTransformerHub(TqdWideStringTransformers aTransformers)
      : wsthTransformers(std::move(aTransformers)) {}

  // Every transformer in order, each on the previous one's result.
  TqdWideString Transform(const TqdWideString& S) override;

 protected:
  const TqdWideStringTransformers wsthTransformers;
};

// ---- Lists --------------------------------------------------------------------------

class TqdWideStrings : public TqdPersistent {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // A nil comparer becomes a byte comparer, a nil transformer a null one.
  explicit TqdWideStrings(TqdWideStringComparerRef aComparer = nullptr,
                          TqdWideStringTransformerRef aTransformer = nullptr);
  ~TqdWideStrings() override = default;

  const TqdWideStringComparerRef& Comparer() const { return wsComparer; }
  const TqdWideStringTransformerRef& Transformer() const { return wsTransformer; }

  void BeginUpdate();
  void EndUpdate();

  int32_t Capacity() { return GetCapacity(); }
  int32_t Count() { return GetCount(); }

  // --- Items ---
  virtual int32_t GetCount() = 0;
  virtual int32_t GetCapacity() { return GetCount(); }
  virtual void SetCapacity(int32_t /*aCapacity*/) {}
  virtual TqdWideString wsGetString(int32_t aIndex) = 0;
  virtual void wsPutString(int32_t aIndex, const TqdWideString& s) = 0;
  virtual void* wsGetObject(int32_t /*aIndex*/) { return nullptr; }
  virtual void wsPutObject(int32_t aIndex, void* aObject) = 0;

  // The comparer's and the transformer's answers.
  virtual int8_t CompareStrings(const TqdWideString& S1, const TqdWideString& S2);
  virtual TqdWideString TransformString(const TqdWideString& S);

  virtual void Clear() = 0;
  // Inserts at Count and returns the position.
  virtual int32_t Add(const TqdWideString& s);
  int32_t Add(qdStringView s) { return Add(qdUnicodeToQdWideString(s)); }
  // Single-byte text in a code page (qdWideStringDefaultCodePage: the
  // engine's default).
  int32_t Add(std::string_view s, uint32_t aCodePage);
  // Add, then the object at the position added.
  virtual int32_t AddObject(const TqdWideString& s, void* aObject);
  int32_t AddObject(qdStringView s, void* aObject) { return AddObject(qdUnicodeToQdWideString(s), aObject); }
  int32_t AddObject(std::string_view s, uint32_t aCodePage, void* aObject);
  void Append(const TqdWideString& s) { (void)Add(s); }  // the position is not wanted
  void Append(qdStringView s) { (void)Add(s); }
  void Append(std::string_view s, uint32_t aCodePage) { (void)Add(s, aCodePage); }
  virtual void Insert(int32_t aIndex, const TqdWideString& s) = 0;
  void Insert(int32_t aIndex, qdStringView s) { Insert(aIndex, qdUnicodeToQdWideString(s)); }
  void Insert(int32_t aIndex, std::string_view s, uint32_t aCodePage);
  void InsertObject(int32_t aIndex, const TqdWideString& s, void* aObject);
  void InsertObject(int32_t aIndex, qdStringView s, void* aObject) {
    InsertObject(aIndex, qdUnicodeToQdWideString(s), aObject);
  }
  void InsertObject(int32_t aIndex, std::string_view s, uint32_t aCodePage, void* aObject);
  virtual void Delete(int32_t aIndex) = 0;
  virtual void Exchange(int32_t aIndex1, int32_t aIndex2);
  // Deletes and reinserts with its object, inside one update.
  virtual void Move(int32_t aCurIndex, int32_t aNewIndex);

  // Both copy inside an update. From a platform list each string is taken
  // unit by unit (aCodePage is not used) without its object; from another
  // list strings and objects. A nil list is a programming error.
  virtual void AddStrings(const TqdStringList* aStrings, uint32_t aCodePage);
  virtual void AddStrings(TqdWideStrings* aStrings);
  // Clear, then AddStrings.
  void Assign(TqdWideStrings* aSource);
  void Assign(const TqdStringList* aSource);
  // Clears the destination and adds every item with its object (to a
  // platform list as a platform string).
  void AssignTo(TqdStringList* aDest);
  void AssignTo(TqdWideStrings* aDest);

  // The first position holding a string equal to the transformed s; -1.
  virtual int32_t IndexOf(const TqdWideString& s);
  int32_t IndexOf(qdStringView s) { return IndexOf(qdUnicodeToQdWideString(s)); }
  int32_t IndexOfObject(const void* aObject);
  // Same count and every pair equal by this list's CompareStrings.
  bool Equals(TqdWideStrings* aStrings);

  // --- Names and values: an item "name=value" has its name before the first "=" ---
  TqdWideString wsGetName(int32_t aIndex);
  int32_t IndexOfName(const TqdWideString& aName);
  TqdWideString wsGetValue(const TqdWideString& aName);
  // A non-empty value replaces the named item or adds one; an empty value
  // deletes it.
  void wsSetValue(const TqdWideString& aName, const TqdWideString& aValue);

  // --- Text ---
  // The items joined by U+2028.
  virtual TqdWideString GetText();
  // Replaces the content by the lines of aValue. A line ends at U+0000,
  // LF, VT, FF, CR, U+2028 or U+2029, CR LF counting once; a final break
  // adds no empty line, two breaks in a row give one.
  virtual void SetText(const TqdWideString& aValue);
  virtual TqdWideString GetSeparatedText(const TqdWideString& Separators);
  TqdWideString GetSeparatedText(char16_t aSeparator) { return GetSeparatedText(TqdWideString{aSeparator}); }

  // --- Streams and files ---
  // From the position to the end: FF FE starts UTF-16 little-endian, FE FF
  // big-endian; without a mark the bytes are UTF-16 when aForceUnicode,
  // else single-byte text in aCodePage. An odd last byte of UTF-16 is left.
  virtual void LoadFromStream(TStream* aStream, bool aForceUnicode = false,
                              uint32_t aCodePage = qdWideStringDefaultCodePage);
  // GetText as UTF-16 little-endian (FF FE first when aWithBOM) or as
  // single-byte text in aCodePage.
  virtual void SaveToStream(TStream* aStream, bool aUnicode = true, bool aWithBOM = true,
                            uint32_t aCodePage = qdWideStringDefaultCodePage);
  // EFOpenError / EFCreateError when the file cannot be opened or created.
  virtual void LoadFromFile(const std::string& aFileName, bool aForceUnicode = false,
                            uint32_t aCodePage = qdWideStringDefaultCodePage);
  virtual void SaveToFile(const std::string& aFileName, bool aUnicode = true, bool aWithBOM = true,
                          uint32_t aCodePage = qdWideStringDefaultCodePage);

  // --- The stored property "WideStrings" ---
  // Whether the property is written: against an ancestor that is not a
  // TqdWideStrings or not Equals to this list, or without an ancestor when
  // the list has items.
  bool WideStringsStored(TqdPersistent* aAncestor);
  // When stored: the name "WideStrings" and GetText as a wide string.
  void WriteProperties(TqdWriter& aWriter, TqdPersistent* aAncestor = nullptr);
  // Reads the value of a property named aName when it is "WideStrings" (a
  // string, UTF-8 string or wide string, applied with SetText); false for
  // any other name, nothing read.
  bool ReadProperty(qdStringView aName, TqdReader& aReader);

 protected:
  virtual void SetUpdateState(bool /*aUpdating*/) {}
  int32_t UpdateCount() const { return wsUpdateCount; }

  int32_t wsUpdateCount = 0;
  TqdWideStringComparerRef wsComparer;
  TqdWideStringTransformerRef wsTransformer;
};

struct TqdWideStringItem {
  TqdWideString wsiString;
  void* wsiObject = nullptr;  // not owned
};
using TqdWideStringItemList = std::vector<TqdWideStringItem>;

class TqdWideStringList : public TqdWideStrings {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  using TqdWideStrings::TqdWideStrings;
  // Drops the change events first, then the items.
  ~TqdWideStringList() override;

  using TqdWideStrings::Add;
  using TqdWideStrings::IndexOf;
  using TqdWideStrings::Insert;

  int32_t GetCount() override { return wslCount; }
  int32_t GetCapacity() override { return static_cast<int32_t>(wslList.size()); }
  // A count above the new capacity is cut to it.
  void SetCapacity(int32_t aCapacity) override;
  TqdWideString wsGetString(int32_t aIndex) override;
  void wsPutString(int32_t aIndex, const TqdWideString& s) override;
  void* wsGetObject(int32_t aIndex) override;
  void wsPutObject(int32_t aIndex, void* aObject) override;

  void Clear() override;
  // Sorted lists place the string by Find and apply Duplicates.
  int32_t Add(const TqdWideString& s) override;
  void Insert(int32_t aIndex, const TqdWideString& s) override;
  void Delete(int32_t aIndex) override;
  void Exchange(int32_t aIndex1, int32_t aIndex2) override;
  int32_t IndexOf(const TqdWideString& s) override;

  // Binary search of the transformed s: true with aIndex at an equal item,
  // else false with aIndex where s belongs.
  virtual bool Find(const TqdWideString& s, int32_t& aIndex);
  // Quicksort by CompareStrings; nothing for a sorted list or fewer than two
  // items.
  virtual void Sort();

  bool Sorted() const { return wslSorted; }
  // True sorts first, then keeps the list sorted; False only stops keeping it.
  void SetSorted(bool aValue);
  TDuplicates Duplicates() const { return wslDuplicates; }
  void SetDuplicates(TDuplicates aValue) { wslDuplicates = aValue; }
  const TNotifyEvent& OnChange() const { return wslOnChange; }
  void SetOnChange(TNotifyEvent aEvent) { wslOnChange = std::move(aEvent); }
  const TNotifyEvent& OnChanging() const { return wslOnChanging; }
  void SetOnChanging(TNotifyEvent aEvent) { wslOnChanging = std::move(aEvent); }

 protected:
  void SetUpdateState(bool aUpdating) override;
  virtual void Changed();
  virtual void Changing();

 private:
  // Stores the transformed string without an object at aIndex.
  void InsertItem(int32_t aIndex, const TqdWideString& s);
  void Grow();
  void QuickSort(int32_t aLow, int32_t aHigh);

  TqdWideStringItemList wslList;  // its length is the capacity
  int32_t wslCount = 0;
  bool wslSorted = false;
  TDuplicates wslDuplicates = dupIgnore;
  TNotifyEvent wslOnChange;
  TNotifyEvent wslOnChanging;
};

}  // namespace qd
