// The ground every descriptor of the data dictionary stands on: the
// dictionary item (TqdDictionaryItem) with its change-notice lists, the
// locale descriptor and the localised item, the class records and registry
// look-up of every descriptor family, the root exception classes, the client
// versions at which stream forms change, and GUIDs. Every other descriptor
// is declared here by name only, so a topic header needs nothing else.
// Part of the data dictionary unit (dictionary/qdsdDataDictionary.h, which
// describes the tree as a whole); implemented in qdsdDataDictionary.cpp, the GUIDs
// in qdsdDataDictionary_Stream.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/qdsdTypes.h"
#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllTypes.h"
#include "platform/qdFormat.h"
#include "platform/qdGuid.h"
#include "platform/qdNls.h"
#include "platform/qdStrings.h"
#include "platform/qdSysUtils.h"
#include "platform/qdVariant.h"

namespace qd {

class TqdReader;
class TqdWriter;
class TqdStringList;
class TStream;

class TqdDictionaryItem;
class TqdLocaleDescriptor;
class TqdFieldDescriptor;
class TqdFieldsDescriptor;
class TqdBaseDefaultValueDescriptor;
class TqdBaseFieldValidationDescriptor;
class TqdFieldValidationsDescriptor;
class TqdFieldsValidationsDescriptor;
class TqdBaseKeyDescriptor;
class TqdKeyFieldDescriptor;
class TqdIndexDescriptor;
class TqdBaseIndicesDescriptor;
class TqdMainIndicesDescriptor;
class TqdInternalIndicesDescriptor;
class TqdBaseBlockHeapDescriptor;
class TqdBaseHeapDescriptor;
class TqdBaseRecordDescriptor;
class TqdBaseRecordCompressionDescriptor;
class TqdBaseBlobDescriptor;
class TqdBaseAutoIncDescriptor;
class TqdBaseStreamDescriptor;
class TqdBaseCustomDescriptor;
class TqdCustomDescsDescriptor;
class TqdTablesDescriptor;
class TqdFileDescriptor;
class TqdFilesDescriptor;
class TqdBaseTableDescriptor;
class TqdNestedTableDescriptor;
class TqdDataDictionary;
// The cursor contract lives in the client layer; a fields source only hands
// it on.
class TqdAbstractCursor;
class TqdBaseFilterDescriptor;

// --- Process and thread state --------------------------------------------------------

// Set at start-up from the command-line switch "Disable30900LocaleFixes":
// new dictionaries keep the older locale handling.
extern bool qdDisable30900LocaleFixes;
// Raised by one while Assign reads a copy back, so that stored item IDs are
// skipped and the target keeps its own.
extern thread_local int32_t qdDictionaryAssignDepth;
// Raised by a writer that drops information for an older client.
extern thread_local bool qdDictionaryInfoLost;

// The client versions at which stream forms change.
inline constexpr int32_t qdClientVersionItemIDs = 20000;
inline constexpr int32_t qdClientVersionIndexDupsNull = 20400;
inline constexpr int32_t qdClientVersionLocaleFixes = 30900;
inline constexpr int32_t qdClientVersionRefNr = 47005;
// The version every copy inside the engine is written with.
inline constexpr int32_t qdEngineClientVersion = static_cast<int32_t>(qdCurrentClientVersion);

// A key field whose field number is this one describes the field it is
// placed under (found as its related field descriptor).
inline constexpr int32_t kRelatedFieldNumber = INT32_MIN;

// --- GUIDs ---------------------------------------------------------------------------------

// A random version-4 GUID (getrandom).
TGUID qdNewGuid();
// The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
qdString qdGuidToString(const TGUID& aGuid);
// Reads the registry form (hex digits in either case); false for anything
// else.
bool qdTryStringToGuid(qdStringView aText, TGUID& aGuid);

// --- Exceptions --------------------------------------------------------------------------

// Every descriptor class has its own exception class; the tree below mirrors
// the classes.
QD_DECLARE_EXCEPTION_CLASS(EqdBaseDictionaryException, EqdBaseException);
QD_DECLARE_EXCEPTION_CLASS(EqdDictionaryItemException, EqdBaseDictionaryException);
QD_DECLARE_EXCEPTION_CLASS(EqdLocaleDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdLocalizedDictionaryItemException, EqdDictionaryItemException);

// Raises E with a code alone (taking the thread's pending message for it),
// with a text, or with a format and its arguments.
template <class E>
[[noreturn]] void qdRaiseItemError(TqdResult aErrorCode, qdStringView aMsg, TqdFormatArgs aArgs) {
  if (aMsg.empty()) throw E(aErrorCode);
  if (aArgs.size() == 0) throw E(aErrorCode, aMsg);
  throw E(aErrorCode, aMsg, aArgs);
}

// --- Classes by name ------------------------------------------------------------------

// The class record of a descriptor family: the class and a factory with the
// family's constructor arguments (nil for classes that are not built by
// name). Every class of a family has a record of its family's type, so a
// class found in the family's registry can always be built.
template <class TBase, class... TArgs>
struct TqdDescriptorClassInfo : TqdClassInfo {
  TBase* (*CreateInstance)(TArgs... aArgs) = nullptr;

  TBase* Create(TArgs... aArgs) const;
};

// Builds a TClass for a family factory.
template <class TBase, class TClass, class... TArgs>
TBase* qdNewDescriptor(TArgs... aArgs) {
  return new TClass(aArgs...);
}

using TqdLocaleDescriptorClass = TqdDescriptorClassInfo<TqdLocaleDescriptor, TqdPersistent*>;
using TqdFieldDescriptorClass = TqdDescriptorClassInfo<TqdFieldDescriptor, TqdPersistent*, qdStringView, qdStringView,
                                                       TqdFieldType, int32_t, int32_t, bool>;
using TqdFieldsDescriptorClass = TqdDescriptorClassInfo<TqdFieldsDescriptor, TqdPersistent*>;
using TqdDefaultValueDescriptorClass = TqdDescriptorClassInfo<TqdBaseDefaultValueDescriptor, TqdPersistent*>;
using TqdFieldValidationsDescriptorClass = TqdDescriptorClassInfo<TqdFieldValidationsDescriptor, TqdPersistent*>;
using TqdValidationDescriptorClass =
    TqdDescriptorClassInfo<TqdBaseFieldValidationDescriptor, TqdPersistent*, qdStringView>;
using TqdKeyDescriptorClass = TqdDescriptorClassInfo<TqdBaseKeyDescriptor, TqdPersistent*>;
using TqdKeyFieldDescriptorClass = TqdDescriptorClassInfo<TqdKeyFieldDescriptor, TqdPersistent*, int32_t>;
using TqdIndexDescriptorClass =
    TqdDescriptorClassInfo<TqdIndexDescriptor, TqdPersistent*, qdStringView, int32_t, const TqdKeyDescriptorClass*>;
using TqdIndicesDescriptorClass = TqdDescriptorClassInfo<TqdBaseIndicesDescriptor, TqdPersistent*, std::string_view>;
using TqdBlockHeapDescriptorClass = TqdDescriptorClassInfo<TqdBaseBlockHeapDescriptor, TqdPersistent*>;
using TqdHeapDescriptorClass = TqdDescriptorClassInfo<TqdBaseHeapDescriptor, TqdPersistent*>;
using TqdRecordDescriptorClass = TqdDescriptorClassInfo<TqdBaseRecordDescriptor, TqdPersistent*, std::string_view>;
using TqdRecordCompressionDescriptorClass = TqdDescriptorClassInfo<TqdBaseRecordCompressionDescriptor, TqdPersistent*>;
using TqdBlobDescriptorClass = TqdDescriptorClassInfo<TqdBaseBlobDescriptor, TqdPersistent*, std::string_view>;
using TqdAutoIncDescriptorClass = TqdDescriptorClassInfo<TqdBaseAutoIncDescriptor, TqdPersistent*, std::string_view>;
using TqdStreamDescriptorClass = TqdDescriptorClassInfo<TqdBaseStreamDescriptor, TqdPersistent*, std::string_view>;
using TqdCustomDescriptorClass = TqdDescriptorClassInfo<TqdBaseCustomDescriptor, TqdPersistent*, qdStringView>;
using TqdCustomDescsDescriptorClass = TqdDescriptorClassInfo<TqdCustomDescsDescriptor, TqdPersistent*>;
using TqdTablesDescriptorClass = TqdDescriptorClassInfo<TqdTablesDescriptor, TqdPersistent*>;
using TqdNestedTableDescriptorClass = TqdDescriptorClassInfo<TqdNestedTableDescriptor, TqdPersistent*, qdStringView>;
using TqdFileDescriptorClass = TqdDescriptorClassInfo<TqdFileDescriptor, TqdPersistent*, qdStringView>;
using TqdFilesDescriptorClass = TqdDescriptorClassInfo<TqdFilesDescriptor, TqdPersistent*>;

// The class registered under aName in aFamily's registry (ASCII case
// ignored); nil when there is none.
template <class TInfo>
const TInfo* qdFindDescriptorClass(const TInfo& aFamily, qdStringView aName) {
  const TqdClassInfo* found = TqdBaseRegisterableDescriptor::FindDescriptorClass(aFamily, aName);
  if (found == nullptr || !found->InheritsFrom(aFamily)) return nullptr;
  return static_cast<const TInfo*>(found);
}

// Declares the class record, ClassType and the raiser of the class's own
// exception class.
#define QD_DICTIONARY_ITEM_CLASS(aClassInfo, aException)                                                      \
 public:                                                                                                      \
  static const aClassInfo ClassInfo;                                                                          \
  const TqdClassInfo& ClassType() const override { return ClassInfo; }                                        \
                                                                                                              \
 protected:                                                                                                   \
  [[noreturn]] void RaiseError(TqdResult aErrorCode, qdStringView aMsg, TqdFormatArgs aArgs) const override { \
    qdRaiseItemError<aException>(aErrorCode, aMsg, aArgs);                                                    \
  }                                                                                                           \
                                                                                                              \
 private:

// --- Dictionary items -----------------------------------------------------------------

enum TqdIteratorResult : uint8_t { irContinue, irStop };
using TqdDictionaryItemIterator = TqdIteratorResult (*)(TqdDictionaryItem* aItem, void* aCookie);

// Which list of another item a registration concerns.
enum class TqdChangeNotifyKind : uint8_t { cnkField, cnkFile, cnkIndex };
inline constexpr int kChangeNotifyKindCount = 3;

// The items registered with a list owner for its change notices, in
// registration order.
class TqdChangeNotifyList {
 public:
  explicit TqdChangeNotifyList(TqdChangeNotifyKind aKind) : cnlKind(aKind) {}
  ~TqdChangeNotifyList();
  TqdChangeNotifyList(const TqdChangeNotifyList&) = delete;
  TqdChangeNotifyList& operator=(const TqdChangeNotifyList&) = delete;

  void Add(TqdDictionaryItem* aItem);
  void Remove(TqdDictionaryItem* aItem);
  bool Contains(const TqdDictionaryItem* aItem) const;
  const std::vector<TqdDictionaryItem*>& Items() const { return cnlItems; }
  // A copy, so that an item may register or unregister while being told.
  std::vector<TqdDictionaryItem*> Snapshot() const { return cnlItems; }
  // Tells every registered item that the list owner is going.
  void DetachAll();

 private:
  TqdChangeNotifyKind cnlKind;
  std::vector<TqdDictionaryItem*> cnlItems;
};

class TqdDictionaryItem : public TqdBaseRegisterableDescriptor {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // Attaches the item to aParent (AddChild on an item parent) and takes its
  // ID from the dictionary among its ancestors.
  explicit TqdDictionaryItem(TqdPersistent* aParent);
  // Leaves the parent, unregisters the constraint name and every change
  // registration, detaches children that are still attached.
  ~TqdDictionaryItem() override;

  TqdPersistent* DirectParent() const { return diParent; }
  // The parent when it is an item, else nil.
  TqdDictionaryItem* ParentItem() const;
  int32_t ID() const { return diID; }
  bool CacheActive() const { return diCacheActive; }
  const std::vector<TqdDictionaryItem*>& Childs() const { return diChilds; }

  // Custom strings: name=value lines.
  bool HasCustomStrings() const { return diCustomStrings != nullptr && !diCustomStrings->empty(); }
  // Empty when there are none.
  const std::vector<qdString>& CustomStrings() const;
  // Read-only check, then copies the lines; nil frees them.
  void SetCustomStrings(const std::vector<qdString>* aLines);
  // The value of the first line of that name (ASCII case ignored), empty
  // when there is none.
  qdString CustomStringValue(qdStringView aName) const;
  bool HasCustomStringValue(qdStringView aName) const;
  // Read-only check, then sets the value of the first line of that name or
  // appends a line; an empty value removes the line.
  void SetCustomStringValue(qdStringView aName, qdStringView aValue);

  const qdString& ConstraintName() const { return diConstraintName; }
  // Valid identifier or empty (10068); announced to the table before the
  // old name is withdrawn (10009 when the table already holds it).
  void SetConstraintName(qdStringView aName);

  // Raises 15500 when the dictionary among the ancestors is read-only.
  virtual void CheckReadOnly() const;
  virtual void ActivateCache();
  virtual void DeactivateCache();
  virtual void AddChild(TqdDictionaryItem* aItem);
  virtual void RemoveChild(TqdDictionaryItem* aItem);
  // Passed up to the table that keeps the names.
  virtual void AddConstraintName(TqdDictionaryItem* aItem, const qdString& aName);
  virtual void RemoveConstraintName(TqdDictionaryItem* aItem, const qdString& aName);
  // The old and new position of a field, file or index of the list the item
  // registered with; -1 for none. aBefore is true before the change.
  virtual void FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField);
  virtual void FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile);
  virtual void IndexChangeNotification(bool aBefore, int32_t aOldIndex, int32_t aNewIndex);
  // Exactly the same class.
  virtual bool IsSameClass(const TqdDictionaryItem* aItem) const;
  virtual bool ItemRequiresPack();
  // Read-only check, then the custom strings go.
  virtual void Clear(bool aNotify);
  // The item itself when it is of aType, else what the nearest item
  // ancestor answers; containers answer for the parts they own.
  virtual bool FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                           TqdDictionaryItem* aFrom);
  // The item header; descendants write their own part after their parent's.
  virtual void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  virtual void LoadFromReader(TqdReader& aReader);
  virtual void CheckValid(bool aForBuild);
  virtual bool IsEqual(const TqdDictionaryItem* aItem) const;
  virtual bool References(const TqdDictionaryItem* aItem) const;
  // A source of exactly the same class is copied through the stream (the
  // target keeps its ID); any other source is refused.
  virtual void Assign(const TqdDictionaryItem* aSource);

  // The first ancestor of the class, walking owners.
  bool FindParentOfType(const TqdClassInfo& aType, TqdPersistent*& aParent) const;
  template <class T>
  T* FindParentOfType() const;
  // Raises 8712 "No Parent of type %s could be found".
  template <class T>
  T* GetParentOfType() const;
  template <class T>
  T* FindRelated();
  // Raises 8712 "No related Descriptor of type %s could be found".
  template <class T>
  T* GetRelated();
  // The dictionary among the ancestors, nil outside one.
  TqdDataDictionary* Dictionary() const;

  TqdIteratorResult IterateReferencing(TqdDictionaryItemIterator aIterator, void* aCookie,
                                       const TqdDictionaryItem* aItem, bool aRecursive);
  // ItemRequiresPack of this item or of any item below it.
  bool RequiresPack();

  void RegisterFieldChangeNotify() { RegisterChangeNotify(TqdChangeNotifyKind::cnkField); }
  void UnregisterFieldChangeNotify() { UnregisterChangeNotify(TqdChangeNotifyKind::cnkField); }
  void RegisterFileChangeNotify() { RegisterChangeNotify(TqdChangeNotifyKind::cnkFile); }
  void UnregisterFileChangeNotify() { UnregisterChangeNotify(TqdChangeNotifyKind::cnkFile); }
  void RegisterIndexChangeNotify() { RegisterChangeNotify(TqdChangeNotifyKind::cnkIndex); }
  void UnregisterIndexChangeNotify() { UnregisterChangeNotify(TqdChangeNotifyKind::cnkIndex); }
  bool IsRegisteredForChanges(TqdChangeNotifyKind aKind) const {
    return diNotifyLists[static_cast<int>(aKind)] != nullptr;
  }

  // Raises the item's own exception class with the code alone, a text, or a
  // format and its arguments.
  [[noreturn]] void Error(TqdResult aErrorCode) const { Raise(aErrorCode, {}, {}); }
  [[noreturn]] void Error(TqdResult aErrorCode, qdStringView aMsg) const { Raise(aErrorCode, aMsg, {}); }
  [[noreturn]] void Error(TqdResult aErrorCode, qdStringView aMsg, TqdFormatArgs aArgs) const {
    Raise(aErrorCode, aMsg, aArgs);
  }

 protected:
  [[noreturn]] virtual void RaiseError(TqdResult aErrorCode, qdStringView aMsg, TqdFormatArgs aArgs) const;
  // The custom strings as the item header writes them; the table adds its
  // caching state here instead of changing a possibly shared item.
  virtual void CustomStringsForStream(std::vector<qdString>& aLines, int32_t aClientVersion) const;
  // Reads the header and gives its version (1..3).
  int32_t LoadHeaderFromReader(TqdReader& aReader);
  // Reads an Integer version and refuses it (15498) outside aMin..aMax.
  int32_t ReadVersion(TqdReader& aReader, int32_t aMin, int32_t aMax) const;
  // Sets the custom string without the read-only check: bookkeeping the
  // engine keeps in custom strings (OriginalFieldCount, CompressType, ...)
  // goes through the owning setter, which checks.
  void StoreCustomStringValue(qdStringView aName, qdStringView aValue);

 private:
  friend class TqdChangeNotifyList;

  // RaiseError always throws; the fallback only tells the compiler so.
  [[noreturn]] void Raise(TqdResult aErrorCode, qdStringView aMsg, TqdFormatArgs aArgs) const {
    RaiseError(aErrorCode, aMsg, aArgs);
    qdRaiseItemError<EqdDictionaryItemException>(aErrorCode, aMsg, aArgs);
  }
  void RegisterChangeNotify(TqdChangeNotifyKind aKind);
  void UnregisterChangeNotify(TqdChangeNotifyKind aKind);
  TqdDictionaryItem* FindNotifySource(TqdChangeNotifyKind aKind);

  TqdPersistent* diParent;
  std::vector<TqdDictionaryItem*> diChilds;
  std::unique_ptr<std::vector<qdString>> diCustomStrings;
  int32_t diID = 0;
  qdString diConstraintName;
  bool diCacheActive = false;
  // The lists this item registered with, per kind; cleared by a list whose
  // owner goes first.
  TqdChangeNotifyList* diNotifyLists[kChangeNotifyKindCount] = {nullptr, nullptr, nullptr};
};

// Both nil: equal; one nil: unequal; else the first one's IsEqual.
bool qdDictionaryItemsEqual(const TqdDictionaryItem* a, const TqdDictionaryItem* b);

// --- Locale descriptor --------------------------------------------------------------------

// The collation and the 8-bit storage code page of text. Locale ids, compare
// flags and code pages are the stored Windows values; platform/qdNls maps
// them to ICU.
class TqdLocaleDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdLocaleDescriptorClass, EqdLocaleDescriptorException)
 public:
  static constexpr uint32_t kFlagIgnoreKanaType = 0x10000;
  static constexpr uint32_t kFlagIgnoreNonSpace = 2;
  static constexpr uint32_t kFlagIgnoreSymbols = 4;
  static constexpr uint32_t kFlagIgnoreWidth = 0x20000;
  static constexpr uint32_t kFlagUseStringSort = 0x1000;

  // Takes the specific locale the system default (2048) stands for.
  explicit TqdLocaleDescriptor(TqdPersistent* aParent);
  ~TqdLocaleDescriptor() override;

  int32_t Version() const { return ldVersion; }
  uint32_t Locale() const { return ldLocale; }
  // Stores the specific locale the value stands for; 0 stays 0.
  void SetLocale(uint32_t aLocale);
  bool IgnoreKanaType() const { return ldIgnoreKanaType; }
  void SetIgnoreKanaType(bool aValue);
  bool IgnoreNonSpace() const { return ldIgnoreNonSpace; }
  void SetIgnoreNonSpace(bool aValue);
  bool IgnoreSymbols() const { return ldIgnoreSymbols; }
  void SetIgnoreSymbols(bool aValue);
  bool IgnoreWidth() const { return ldIgnoreWidth; }
  void SetIgnoreWidth(bool aValue);
  bool UseStringSort() const { return ldUseStringSort; }
  void SetUseStringSort(bool aValue);
  uint16_t OverrideStorageCodepage() const { return ldOverrideStorageCodepage; }
  void SetOverrideStorageCodepage(uint16_t aValue);
  // The compare flags of the five options; writing sets all five.
  uint32_t Flags() const;
  void SetFlags(uint32_t aFlags);
  // 0 without a locale, else the locale's default ANSI code page.
  uint16_t CompareCodepage() const;
  // The override when set, else CompareCodepage.
  uint16_t StorageCodepage() const;
  // True without a locale or a build record; else the locale's current
  // sort version must equal the one recorded at build time.
  bool CurrentLocaleVersionEqualToBuildVersion();
  const TqdNLSVersionInfoEx* NLSVersionInfoBuild() const { return ldNLSVersionInfoBuild.get(); }
  void SetNLSVersionInfoBuild(const TqdNLSVersionInfoEx* aInfo);

  // Same class, locale and options (the override may differ).
  virtual bool IsCompareable(const TqdLocaleDescriptor* aLocaleDescriptor) const;

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

  // Marks the descriptor string literals get; neither streamed nor compared.
  bool ldIsDefaultStringLiteralLocale = false;

 private:
  int32_t ldVersion = 2;
  uint32_t ldLocale = 0;
  bool ldIgnoreKanaType = false;
  bool ldIgnoreNonSpace = false;
  bool ldIgnoreSymbols = false;
  bool ldIgnoreWidth = false;
  bool ldUseStringSort = false;
  uint16_t ldOverrideStorageCodepage = 0;
  std::atomic<TqdNLSVersionInfoEx*> ldNLSVersionInfoCurrent{nullptr};
  std::unique_ptr<TqdNLSVersionInfoEx> ldNLSVersionInfoBuild;
};

// --- Localised items ----------------------------------------------------------------------

// Tables, fields and key fields: items that own a locale descriptor or
// inherit the nearest one from their ancestors.
class TqdLocalizedDictionaryItem : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdClassInfo, EqdLocalizedDictionaryItemException)
 public:
  explicit TqdLocalizedDictionaryItem(TqdPersistent* aParent);
  ~TqdLocalizedDictionaryItem() override;

  TqdLocaleDescriptor* LocaleDescriptor() const { return ldiLocaleDescriptor; }
  // The own descriptor, else the inherited one; frozen while the cache is
  // active.
  virtual TqdLocaleDescriptor* GetUsedLocaleDescriptor();
  // The used descriptor of the first ancestor that answers for locales.
  virtual TqdLocaleDescriptor* GetInheritedLocaleDescriptor();
  virtual void SaveLocaleToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  virtual void LoadLocaleFromReader(TqdReader& aReader);

  TqdLocaleDescriptor* UsedLocaleDescriptor() { return GetUsedLocaleDescriptor(); }
  // The used descriptor's storage code page, 0 without one.
  uint16_t UsedStorageCodePage();
  // Read-only check; replaces the own descriptor (nil class: the base one).
  TqdLocaleDescriptor* AddLocaleDescriptor(const TqdLocaleDescriptorClass* aLocaleClass = nullptr);
  void RemoveLocaleDescriptor();

  void ActivateCache() override;
  void DeactivateCache() override;
  bool FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                   TqdDictionaryItem* aFrom) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdLocaleDescriptor* ldiLocaleDescriptor = nullptr;
  TqdLocaleDescriptor* ldiCachedLocaleDescriptor = nullptr;
  uint16_t ldiCachedStorageCodePage = 0;
};

// --- Templates ------------------------------------------------------------------------------

template <class TBase, class... TArgs>
TBase* TqdDescriptorClassInfo<TBase, TArgs...>::Create(TArgs... aArgs) const {
  if (CreateInstance == nullptr) qdAssertFailed("qdsdDataDictionary", "the class is built by name");
  return CreateInstance(aArgs...);
}

template <class T>
T* TqdDictionaryItem::FindParentOfType() const {
  for (TqdDictionaryItem* item = ParentItem(); item != nullptr; item = item->ParentItem()) {
    if (T* found = dynamic_cast<T*>(item)) return found;
  }
  return nullptr;
}

template <class T>
T* TqdDictionaryItem::GetParentOfType() const {
  T* parent = FindParentOfType<T>();
  if (parent == nullptr) Error(qdeObjNotFound, u"No Parent of type %s could be found", {T::ClassInfo.ClassName});
  return parent;
}

template <class T>
T* TqdDictionaryItem::FindRelated() {
  TqdDictionaryItem* descriptor = nullptr;
  if (!FindRelatedDescriptorOfType(T::ClassInfo, descriptor, nullptr)) return nullptr;
  return dynamic_cast<T*>(descriptor);
}

template <class T>
T* TqdDictionaryItem::GetRelated() {
  T* descriptor = FindRelated<T>();
  if (descriptor == nullptr)
    Error(qdeObjNotFound, u"No related Descriptor of type %s could be found", {T::ClassInfo.ClassName});
  return descriptor;
}

}  // namespace qd
