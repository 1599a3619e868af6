// The data dictionary: a table described as a tree of descriptors.
//
// Every descriptor is a dictionary item (TqdDictionaryItem): a node of a tree
// whose root is the data dictionary. An item knows its owner (diParent, not
// owned), the items built with it as parent (diChilds, not owned: each owner
// keeps and frees its parts in fields of its own), free name=value custom
// strings, the ID its dictionary handed out, an optional constraint name that
// is unique per table, and the cache flag. Every descriptor body in the
// dictionary stream starts with the item header written by SaveToWriter.
//
// Classes, by topic (implementation file in brackets):
//   items and locales [qdsdDataDictionary.cpp]
//     TqdDictionaryItem, TqdLocaleDescriptor, TqdLocalizedDictionaryItem
//   fields and the record image [_Fields.cpp]
//     IqdFieldDescriptor, IqdFieldsSource (how filter engines read fields),
//     TqdFieldDescriptor, TqdFieldsDescriptor; the bases
//     of default values and validations that a field holds
//     (TqdBaseDefaultValueDescriptor, TqdConstDefaultValueDescriptor,
//     TqdAutoGuidDefaultValueDescriptor, TqdNextLSNDefaultValueDescriptor,
//     TqdFieldValidationsDescriptor, TqdFieldsValidationsDescriptor)
//   keys and indexes [_Keys.cpp]
//     TqdBaseKeyDescriptor, TqdRefKeyDescriptor, TqdInt64KeyDescriptor,
//     TqdBlobCacheKeyDescriptor, TqdCompKeyDescriptor,
//     TqdNoNullCompKeyDescriptor, TqdKeyFieldDescriptor,
//     TqdTextKeyFieldDescriptor, TqdExtTextKeyFieldDescriptor,
//     TqdIndexDescriptor, TqdBaseIndicesDescriptor,
//     TqdMainIndicesDescriptor, TqdInternalIndicesDescriptor
//   storage [_Storage.cpp]
//     TqdBaseBlockHeapDescriptor, TqdBaseHeapDescriptor,
//     TqdBaseRecordDescriptor, TqdHeapRecordDescriptor,
//     TqdBaseRecordCompressionDescriptor, TqdBaseBlobDescriptor,
//     TqdHeapBlobDescriptor, TqdBaseAutoIncDescriptor,
//     TqdAdvAutoIncDescriptor, TqdBaseStreamDescriptor,
//     TqdBaseCustomDescriptor, TqdCustomDescsDescriptor, TqdTablesDescriptor
//   files, tables and the dictionary [_Tables.cpp]
//     TqdFileDescriptor, TqdFilesDescriptor, TqdBaseTableDescriptor,
//     TqdNestedTableDescriptor, TqdDataDictionary
//
// Ownership. Owners free their parts in their destructors, and every part
// leaves its owner's lists (children, change notifications, constraint
// names) on destruction. Lists that hold the numbers of other items (key
// fields -> fields, indexes and storage descriptors -> files, the main
// indices -> its default index) register with the list owner and follow its
// change notices; when a list owner goes first it detaches its registered
// items, so no item is ever left pointing at a freed owner.
//
// Classes by name. Each family of descriptors (locale, field, fields, key,
// key field, index, indices, record, BLOB, ...) has a class record carrying
// a factory with the family's constructor arguments (the design's virtual
// constructors) and its own registry, filled at start-up
// (qdsdDataDictionaryInitialize). A stream names classes by their class
// name; readers resolve them in the registry of the family they expect.
//
// Threads. A dictionary is built and edited by one thread. Made read-only
// (MakeReadOnly) and cached, it is shared by every session and cursor and
// read without locks: every editing operation calls CheckReadOnly first and
// raises 15500 then. The values created on a shared dictionary are published
// with a compare-exchange (the loser frees its copy): the current NLS version
// of a locale descriptor and the diff-compressor info of a fields
// descriptor. Writers of streams do not change the items they write. The
// assign nesting depth and the information-loss flag are thread-local.
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
QD_DECLARE_EXCEPTION_CLASS(EqdFieldDescriptorException, EqdLocalizedDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldsDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseDefaultValueDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdConstDefaultValueDescriptorException, EqdBaseDefaultValueDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdAutoGuidDefaultValueDescriptorException, EqdBaseDefaultValueDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdNextLSNDefaultValueDescriptorException, EqdBaseDefaultValueDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseFieldValidationDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdMinMaxValidationDescriptorException, EqdBaseFieldValidationDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdNoChangeValidationDescriptorException, EqdBaseFieldValidationDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdSqlCheckValidationDescriptorException, EqdBaseFieldValidationDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldValidationsDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdFieldsValidationsDescriptorException, EqdFieldValidationsDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseKeyDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdRefKeyDescriptorException, EqdBaseKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdInt64KeyDescriptorException, EqdBaseKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBlobCacheKeyDescriptorException, EqdBaseKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdCompKeyDescriptorException, EqdBaseKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdNoNullCompKeyDescriptorException, EqdCompKeyDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdKeyFieldDescriptorException, EqdLocalizedDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdTextKeyFieldDescriptorException, EqdKeyFieldDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdExtTextKeyFieldDescriptorException, EqdTextKeyFieldDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdIndexDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseIndicesDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdMainIndicesDescriptorException, EqdBaseIndicesDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdInternalIndicesDescriptorException, EqdBaseIndicesDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseBlockHeapDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseHeapDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseRecordDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdHeapRecordDescriptorException, EqdBaseRecordDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseRecordCompressionDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseBlobDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdHeapBlobDescriptorException, EqdBaseBlobDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseAutoIncDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdAdvAutoIncDescriptorException, EqdBaseAutoIncDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseStreamDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseCustomDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdCustomDescsDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdTablesDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdFileDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdFilesDescriptorException, EqdDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdBaseTableDescriptorException, EqdLocalizedDictionaryItemException);
QD_DECLARE_EXCEPTION_CLASS(EqdNestedTableDescriptorException, EqdBaseTableDescriptorException);
QD_DECLARE_EXCEPTION_CLASS(EqdDataDictionaryException, EqdBaseTableDescriptorException);

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

// --- Default values and validations held by fields ----------------------------------------
//
// A field holds one default-value descriptor and one list of validations, a
// fields descriptor one list of record validations. They only describe what
// a record gets and must pass; the record engines act on them.

enum TqdApplyAt : uint8_t { aaServer, aaClient };
using TqdApplyAtSet = TqdSet<TqdApplyAt, uint8_t>;

class TqdBaseDefaultValueDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdBaseDefaultValueDescriptorException)
 public:
  explicit TqdBaseDefaultValueDescriptor(TqdPersistent* aParent) : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}

  // Filled by the record engines on first use; every thread stores the same
  // class.
  const TqdClassInfo* CachedEngineClass() const { return bdvCachedEngineClass; }
  void SetCachedEngineClass(const TqdClassInfo* aClass) { bdvCachedEngineClass = aClass; }
  TqdApplyAtSet ApplyAt() const { return bdvApplyAt; }
  virtual void SetApplyAt(TqdApplyAtSet aValue);
  bool ApplyOnInsert() const { return bdvApplyOnInsert; }
  virtual void SetApplyOnInsert(bool aValue);
  bool ApplyOnModify() const { return bdvApplyOnModify; }
  virtual void SetApplyOnModify(bool aValue);
  // False: the default only fills a null field.
  bool OverwriteNonNull() const { return bdvOverwriteNonNull; }
  virtual void SetOverwriteNonNull(bool aValue);
  // The field types the class cannot serve.
  virtual TqdFieldTypes GetInvalidFieldTypes() const;

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // Refuses (10001, naming aClass) a related field of a BLOB type; the
  // concrete classes pass their own class, which the item cannot yet tell
  // while its parent part is built.
  TqdBaseDefaultValueDescriptor(TqdPersistent* aParent, const TqdClassInfo& aClass);
  // 10001 naming aClass and aType when the class cannot serve aType.
  void CheckFieldType(const TqdClassInfo& aClass, TqdFieldType aType, TqdFieldTypes aInvalid) const;

  const TqdClassInfo* bdvCachedEngineClass = nullptr;
  TqdApplyAtSet bdvApplyAt{aaServer, aaClient};
  bool bdvApplyOnInsert = true;
  bool bdvApplyOnModify = false;
  bool bdvOverwriteNonNull = false;
};

// A constant kept in the field's own storage layout, with the layout it was
// encoded for so that a changed field can be followed.
class TqdConstDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdConstDefaultValueDescriptorException)
 public:
  explicit TqdConstDefaultValueDescriptor(TqdPersistent* aParent);

  const std::vector<uint8_t>& DefaultValue() const { return cdvDefaultValue; }
  // Reading follows a changed field layout (in a copy when the dictionary is
  // read-only); setting is refused on a read-only dictionary (15500).
  TqdVariant AsVariant();
  void SetAsVariant(const TqdVariant& aValue);
  // Follows a changed field layout: the array is resized and zeroed and,
  // when aConvert, the old value re-encoded (10002 when it cannot be). The
  // snapshot moves to the current layout in every case.
  void AdaptToField(bool aConvert);
  // The value in the field's current layout, the descriptor unchanged
  // (10002 when it cannot be re-encoded).
  std::vector<uint8_t> ValueForField() const;

  TqdFieldTypes GetInvalidFieldTypes() const override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdFieldDescriptor* Field();
  void TakeSnapshot(TqdFieldDescriptor* aField);
  bool MatchesField(TqdFieldDescriptor* aField) const;
  std::vector<uint8_t> ConvertedForField(TqdFieldDescriptor* aField) const;

  TqdFieldType cdvFieldType = qdtBoolean;
  uint16_t cdvFieldCodePage = 0;
  int32_t cdvFieldUnits = 0;
  int32_t cdvFieldDecPl = 0;
  int32_t cdvFieldLength = 0;
  std::vector<uint8_t> cdvDefaultValue;
};

class TqdCurrentDateTimeDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdBaseDefaultValueDescriptorException)
 public:
  explicit TqdCurrentDateTimeDefaultValueDescriptor(TqdPersistent* aParent)
      : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

class TqdCurrentUserDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdBaseDefaultValueDescriptorException)
 public:
  explicit TqdCurrentUserDefaultValueDescriptor(TqdPersistent* aParent)
      : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

class TqdAutoGuidDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdAutoGuidDefaultValueDescriptorException)
 public:
  explicit TqdAutoGuidDefaultValueDescriptor(TqdPersistent* aParent)
      : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

class TqdEmptyDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdBaseDefaultValueDescriptorException)
 public:
  explicit TqdEmptyDefaultValueDescriptor(TqdPersistent* aParent) : TqdBaseDefaultValueDescriptor(aParent, ClassInfo) {}
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

// The table engine fills such an Int64 field with the log sequence number:
// the insert LSN when ApplyOnModify is false, the modify LSN when true. It
// always applies on the server, on insert and over any value.
class TqdNextLSNDefaultValueDescriptor : public TqdBaseDefaultValueDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdDefaultValueDescriptorClass, EqdNextLSNDefaultValueDescriptorException)
 public:
  explicit TqdNextLSNDefaultValueDescriptor(TqdPersistent* aParent);

  void SetApplyAt(TqdApplyAtSet aValue) override;
  void SetApplyOnInsert(bool aValue) override;
  void SetOverwriteNonNull(bool aValue) override;
  TqdFieldTypes GetInvalidFieldTypes() const override;
};

// A named check a record must pass.
class TqdBaseFieldValidationDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdBaseFieldValidationDescriptorException)
 public:
  // Identifier check on aName (10068).
  TqdBaseFieldValidationDescriptor(TqdPersistent* aParent, qdStringView aName);

  const qdString& Name() const { return bvdName; }
  virtual TqdApplyAtSet ApplyAt() const { return bvdApplyAt; }
  virtual void SetApplyAt(TqdApplyAtSet aValue);
  TqdFieldTypes GetInvalidFieldTypes() const { return InvalidFieldTypes(); }

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  virtual TqdFieldTypes InvalidFieldTypes() const { return qdBlobFieldTypes; }
  // 10001 when the related field's type is one the class cannot check.
  void CheckFieldType() const;

  qdString bvdName;
  TqdApplyAtSet bvdApplyAt{aaServer};
};

// Validations that may also stand in the list of a whole record.
class TqdBaseFieldsValidationDescriptor : public TqdBaseFieldValidationDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdBaseFieldValidationDescriptorException)
 public:
  using TqdBaseFieldValidationDescriptor::TqdBaseFieldValidationDescriptor;
};

// Bounds in the field's storage layout; the key field says how values
// compare.
class TqdMinMaxValidationDescriptor : public TqdBaseFieldValidationDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdMinMaxValidationDescriptorException)
 public:
  using TqdBaseFieldValidationDescriptor::TqdBaseFieldValidationDescriptor;
  ~TqdMinMaxValidationDescriptor() override;

  // Empty: no bound.
  const std::vector<uint8_t>& Min() const { return mmvdMin; }
  const std::vector<uint8_t>& Max() const { return mmvdMax; }
  TqdKeyFieldDescriptor* KeyField() const { return mmvdKeyField; }
  // Null when the bound is absent. Empty or Null clears the bound; a value
  // that cannot be converted leaves it cleared. No read-only check.
  TqdVariant MinAsVariant();
  void SetMinAsVariant(const TqdVariant& aValue);
  TqdVariant MaxAsVariant();
  void SetMaxAsVariant(const TqdVariant& aValue);
  TqdKeyFieldDescriptor* AddKeyField(const TqdKeyFieldDescriptorClass* aClass = nullptr);
  void RemoveKeyField();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdVariant BoundAsVariant(const std::vector<uint8_t>& aBound);
  void SetBound(std::vector<uint8_t>& aBound, const TqdVariant& aValue);

  std::vector<uint8_t> mmvdMin;
  std::vector<uint8_t> mmvdMax;
  TqdKeyFieldDescriptor* mmvdKeyField = nullptr;
};

// The field may not change once written.
class TqdNoChangeValidationDescriptor : public TqdBaseFieldValidationDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdNoChangeValidationDescriptorException)
 public:
  using TqdBaseFieldValidationDescriptor::TqdBaseFieldValidationDescriptor;
  ~TqdNoChangeValidationDescriptor() override;

  TqdKeyFieldDescriptor* KeyField() const { return ncvdKeyField; }
  TqdKeyFieldDescriptor* AddKeyField(const TqdKeyFieldDescriptorClass* aClass = nullptr);
  void RemoveKeyField();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdKeyFieldDescriptor* ncvdKeyField = nullptr;
};

// An SQL condition; it runs on the server only.
class TqdSqlCheckValidationDescriptor : public TqdBaseFieldsValidationDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdValidationDescriptorClass, EqdSqlCheckValidationDescriptorException)
 public:
  using TqdBaseFieldsValidationDescriptor::TqdBaseFieldsValidationDescriptor;

  TqdApplyAtSet ApplyAt() const override;
  void SetApplyAt(TqdApplyAtSet aValue) override;
  const qdString& Constraint() const { return scvdConstraint; }
  void SetConstraint(qdStringView aValue);
  // Empty: the standard text.
  const qdString& ErrorMessage() const { return scvdErrorMessage; }
  void SetErrorMessage(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString scvdConstraint;
  qdString scvdErrorMessage;
};

// The validations of one field, owned, in insertion order.
class TqdFieldValidationsDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdFieldValidationsDescriptorClass, EqdFieldValidationsDescriptorException)
 public:
  explicit TqdFieldValidationsDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdFieldValidationsDescriptor() override;

  int32_t ValidationCount() const { return static_cast<int32_t>(fvdValidations.size()); }
  TqdBaseFieldValidationDescriptor* ValidationDescriptor(int32_t aInx) const { return fvdValidations.at(aInx); }
  // The class every entry descends from.
  virtual const TqdValidationDescriptorClass& ValidationClass() const;

  // Read-only and identifier checks, 10009 for a name already held (ASCII
  // case ignored), 9986 for a class of another family; nil = ValidationClass.
  TqdBaseFieldValidationDescriptor* AddValidation(qdStringView aName,
                                                  const TqdValidationDescriptorClass* aClass = nullptr);
  // Nothing for an index or name not held.
  void RemoveValidation(int32_t aInx);
  void RemoveValidation(qdStringView aName);
  // -1 when there is none (ASCII case ignored).
  int32_t GetValidationDescriptorFromName(qdStringView aValidationDescriptorName) const;
  int32_t GetValidationDescriptorFromClassName(qdStringView aValidationDescriptorClassName) const;

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void FreeValidations();

  std::vector<TqdBaseFieldValidationDescriptor*> fvdValidations;
};

// The record-level validations of a fields descriptor.
class TqdFieldsValidationsDescriptor : public TqdFieldValidationsDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdFieldValidationsDescriptorClass, EqdFieldsValidationsDescriptorException)
 public:
  using TqdFieldValidationsDescriptor::TqdFieldValidationsDescriptor;

  const TqdValidationDescriptorClass& ValidationClass() const override;
};

// --- Fields and the record image -----------------------------------------------------------
//
// A fields descriptor lays out a record buffer:
//
//   offset               size                         meaning
//   0                    sum of the field lengths     field i: fdLength bytes at fdOffset,
//                        (fsdLogRecLen)               packed in field order, no gaps
//   fsdLogRecLen         up to fsdLogRecLenAlign      zero padding
//   fsdLogRecLenAlign    4 * ceil(FieldCount / 32)    null bitmap: LE 32-bit words, field
//                                                     n = bit (n mod 32) of word (n div 32),
//                                                     bit set = NULL
//
// fsdLogRecLenAlign is fsdLogRecLen rounded up to 4; a version-1 dictionary
// puts the bitmap right after the data (no padding) and still reports the
// record length as fsdLogRecLen rounded up to 4 plus the bitmap. Buffers of a
// layout are record length + 4 bytes long. A null field's data bytes are zero
// whenever its null flag was set through the descriptor.

// What filters and converters read of a field.
class IqdFieldDescriptor {
 public:
  virtual qdString GetName() = 0;
  virtual TqdFieldType GetFieldType() = 0;
  virtual int32_t GetUnits() = 0;
  virtual int32_t GetDecPl() = 0;
  virtual TqdLocaleDescriptor* GetUsedLocaleDescriptor() = 0;
  virtual uint16_t GetUsedStorageCodePage() = 0;

 protected:
  ~IqdFieldDescriptor() = default;
};

// How filter engines see the fields of the buffers they are given: a table's
// fields descriptor (record images), a key engine (key images) or a cursor.
// Not counted: the source outlives every filter engine bound to it (a key
// engine owns its filter engine; a cursor frees its filters before itself).
// Sources that are shared between threads answer every operation without
// changing their own state.
class IqdFieldsSource {
 public:
  // Field aField (0-based) of aData: its type, units, null flag, the address
  // of its value image and the code page of its text; false when there is
  // no such field. For qdtShortString aSize is the text's length and aValue
  // points at its first character. A source may select the field by aName
  // when it is not empty (key engines do; a fields descriptor ignores it).
  virtual bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType,
                                 int32_t& aSize, bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) = 0;
  virtual TqdVariant GetFieldAsVariant(const uint8_t* aBuffer, int32_t aField) = 0;
  // Whether BLOB fields can be read through this source.
  virtual bool BlobsSupported() = 0;
  // -1 when unknown.
  virtual int32_t GetFieldFromName(qdStringView aFieldName) = 0;
  virtual int32_t GetFieldCount() = 0;
  virtual IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) = 0;
  // The cursor behind the source, or nil (a fields descriptor, a key engine).
  virtual TqdAbstractCursor* GetCursor() = 0;
  // Offset of the first field image in a buffer.
  virtual int32_t GetFieldsOffset() = 0;

 protected:
  ~IqdFieldsSource() = default;
};

class TqdFieldDescriptor : public TqdLocalizedDictionaryItem, public IqdFieldDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdFieldDescriptorClass, EqdFieldDescriptorException)
 public:
  // Identifier check (10038), then the setup rule on units, decimals,
  // required flag and length.
  TqdFieldDescriptor(TqdPersistent* aParent, qdStringView aName, qdStringView aDesc, TqdFieldType aType, int32_t aUnits,
                     int32_t aDecPl, bool aRequired);
  ~TqdFieldDescriptor() override;

  // Normalises a requested units/decimals/required triple for a type and
  // computes the bytes in the record image. Byte arrays and the three string
  // types refuse units of 0 or less (10001 "Units must be > 0"): such a field
  // would overlap its neighbours.
  static void SetupField(TqdFieldType aType, int32_t& aUnits, int32_t& aDecPl, bool& aRequired, int32_t& aLength);
  // SetupField on the descriptor's own values.
  void UpdateSetup();

  const qdString& Name() const { return fdName; }
  const qdString& NameLowerCase() const { return fdNameLowerCase; }
  int32_t Number() const { return fdNumber; }
  const qdString& Desc() const { return fdDesc; }
  TqdFieldType FieldType() const { return fdType; }
  int32_t Units() const { return fdUnits; }
  int32_t DecPl() const { return fdDecPl; }
  int32_t Offset() const { return fdOffset; }
  int32_t Length() const { return fdLength; }
  bool Required() const { return fdRequired; }
  bool NoClientAccess() const { return fdNoClientAccess; }
  void SetNoClientAccess(bool aValue);
  int32_t BlobIndex() const { return fdBlobIndex; }
  TqdFieldDescriptor* SameHashNext() const { return fdSameHashNext; }
  TqdBaseDefaultValueDescriptor* DefaultValue() const { return fdDefaultValue; }
  TqdFieldValidationsDescriptor* Validations() const { return fdValidations; }

  // Read-only and identifier checks; 10009 when the owning list already
  // knows the name (this field included, case ignored).
  void ChangeName(qdStringView aNewName);
  TqdBaseDefaultValueDescriptor* AddDefaultValue(const TqdDefaultValueDescriptorClass* aClass = nullptr);
  void RemoveDefaultValue();
  TqdFieldValidationsDescriptor* AddValidations(const TqdFieldValidationsDescriptorClass* aClass = nullptr);
  TqdFieldValidationsDescriptor* EnsureValidations();
  void RemoveValidations();

  // Frees the default value (unless it is a next-LSN one) and the
  // validations.
  virtual void RemoveConstraints();
  virtual bool IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor);

  // "[2] Title - NullString(20)".
  qdString ToString() const;

  // The field's bytes through the native converter; a nil buffer reads as
  // Null. Writing Null or Empty zero-fills the field; a conversion that
  // raises zero-fills it too before the exception passes on.
  TqdVariant fdGetBufferAsVariant(const uint8_t* aFieldBuffer);
  void fdSetBufferAsVariant(uint8_t* aFieldBuffer, const TqdVariant& aValue);

  // One field outside any dictionary: Integer 1, class name, name,
  // description, type identifier, units, decimals, required, body.
  void SaveStandalone(TqdWriter& aWriter, int32_t aVersion) const;
  static TqdFieldDescriptor* CreateStandaloneFromReader(TqdReader& aReader);

  // IqdFieldDescriptor.
  qdString GetName() override { return fdName; }
  TqdFieldType GetFieldType() override { return fdType; }
  int32_t GetUnits() override { return fdUnits; }
  int32_t GetDecPl() override { return fdDecPl; }
  TqdLocaleDescriptor* GetUsedLocaleDescriptor() override;
  uint16_t GetUsedStorageCodePage() override { return UsedStorageCodePage(); }

  bool FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                   TqdDictionaryItem* aFrom) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  friend class TqdFieldsDescriptor;
  friend class TqdDataDictionary;

  // Type, units, decimals and required flag as written ahead of the body.
  void SaveHeadToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  TqdFieldsDescriptor* OwnerList() const;

  qdString fdName;
  int32_t fdNumber = 0;
  qdString fdNameLowerCase;
  TqdFieldDescriptor* fdSameHashNext = nullptr;
  qdString fdDesc;
  TqdFieldType fdType;
  int32_t fdUnits;
  int32_t fdDecPl;
  int32_t fdOffset = 0;
  int32_t fdLength = 0;
  TqdBaseDefaultValueDescriptor* fdDefaultValue = nullptr;
  TqdFieldValidationsDescriptor* fdValidations = nullptr;
  bool fdRequired;
  bool fdNoClientAccess = false;
  int32_t fdBlobIndex = -1;
};

class TqdFieldsDescriptor : public TqdDictionaryItem, public IqdFieldsSource {
  QD_DICTIONARY_ITEM_CLASS(TqdFieldsDescriptorClass, EqdFieldsDescriptorException)
 public:
  explicit TqdFieldsDescriptor(TqdPersistent* aParent);
  // Clears without notices and releases the cached infos.
  ~TqdFieldsDescriptor() override;

  int32_t FieldCount() const { return static_cast<int32_t>(fsdFields.size()); }
  // aIndex must lie in 0..FieldCount-1 (9999 "Index out of bounds: %d").
  TqdFieldDescriptor* FieldDescriptor(int32_t aIndex) const;
  TqdFieldsValidationsDescriptor* Validations() const { return fsdValidations; }
  TqdFieldsValidationsDescriptor* AddValidations(const TqdFieldValidationsDescriptorClass* aClass = nullptr);
  TqdFieldsValidationsDescriptor* EnsureValidations();
  void RemoveValidations();

  // Read-only and identifier checks; 10009 "Duplicated field name: %s";
  // appends the field at the end of the data area. No notice.
  TqdFieldDescriptor* AddField(qdStringView aName, qdStringView aDesc, TqdFieldType aType, int32_t aUnits,
                               int32_t aDecPl, bool aRequired, const TqdFieldDescriptorClass* aClass = nullptr);
  // A copy of a field of another list, with its body; the new field keeps
  // its own ID, offset and length. A failure leaves the list unchanged.
  TqdFieldDescriptor* AddField(const TqdFieldDescriptor* aFieldDescriptor);
  // aInx in 0..FieldCount (9999); notices (before/after, -1, aInx).
  TqdFieldDescriptor* InsertFieldAt(int32_t aInx, qdStringView aName, qdStringView aDesc, TqdFieldType aType,
                                    int32_t aUnits, int32_t aDecPl, bool aRequired,
                                    const TqdFieldDescriptorClass* aClass = nullptr);
  // Both in 0..FieldCount-1 (9999 naming the bad one, aFrom first).
  void MoveField(int32_t aFrom, int32_t aTo);
  // An index outside the list is ignored; a field an index still uses is
  // refused (15502) before anything changes.
  void RemoveField(int32_t aInx);

  // -1 when unknown; ASCII letters fold.
  int32_t GetFieldFromName(qdStringView aFieldName) const;
  // aFieldName already lower case.
  int32_t GetFieldFromNameFast(qdStringView aFieldName) const;
  // Clears aStrings and adds every name with its field descriptor, in field
  // order.
  void GetFields(TqdStringList& aStrings) const;

  // --- Record access ---
  // Zero-fills the record and sets every field's null flag.
  void InitRecord(uint8_t* aData) const;
  // 9999 for a bad number; a nil record counts as NULL.
  bool IsRecordFieldNull(int32_t aField, const uint8_t* aData) const;
  // No checks: the caller passes a valid number and a record.
  bool IsRecordFieldNullFast(int32_t aField, const uint8_t* aData) const;
  void GetRecordField(int32_t aField, const uint8_t* aData, bool& aIsNull, void* aValue) const;
  // aValue nil sets the null flag and zero-fills the field.
  void SetRecordField(int32_t aField, uint8_t* aData, const void* aValue) const;
  void SetRecordFieldNull(int32_t aField, uint8_t* aData, bool aIsNull) const;
  // The field's bytes, nil when null or without a record; the number is not
  // checked.
  const uint8_t* GetRecordFieldForFilter(int32_t aField, const uint8_t* aData) const;
  bool GetRecordFieldForFilter(int32_t aField, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                               const uint8_t*& aValue) const;
  // --- IqdFieldsSource: record images of this layout ---
  // aName is not read: the field is named by its number.
  bool GetFieldForFilter(int32_t aField, qdStringView aName, const uint8_t* aData, TqdFieldType& aType, int32_t& aSize,
                         bool& aIsNull, const uint8_t*& aValue, uint16_t& aCodePage) override;
  // fsdGetFieldByIndexAsVariant.
  TqdVariant GetFieldAsVariant(const uint8_t* aBuffer, int32_t aField) override;
  bool BlobsSupported() override { return false; }
  int32_t GetFieldFromName(qdStringView aFieldName) override;
  int32_t GetFieldCount() override { return FieldCount(); }
  // 9999 for a bad index.
  IqdFieldDescriptor* GetFieldDescriptor(int32_t aIndex) override;
  TqdAbstractCursor* GetCursor() override { return nullptr; }
  int32_t GetFieldsOffset() override { return 0; }

  // A field of a record as a Variant (null field or nil record: Null) and
  // back (Null or Empty sets the field null). A bad index raises 9999
  // before anything is touched; an unknown name is the index -1.
  TqdVariant fsdGetFieldByIndexAsVariant(const uint8_t* aRecordBuffer, int32_t aIndex) const;
  TqdVariant fsdGetFieldByNameAsVariant(const uint8_t* aRecordBuffer, qdStringView aName) const;
  void fsdSetFieldByIndexAsVariant(uint8_t* aRecordBuffer, int32_t aIndex, const TqdVariant& aValue) const;
  void fsdSetFieldByNameAsVariant(uint8_t* aRecordBuffer, qdStringView aName, const TqdVariant& aValue) const;
  // One line per field: name, ": ", the value's text or "<?>" when null.
  qdString RecordBufferToString(const uint8_t* aRecordBuffer) const;

  // --- Special fields ---
  bool HasAutoIncField(int32_t& aField) const { return HasSpecialField(sftAutoInc, aField); }
  bool HasAutoGuidField(int32_t& aField) const { return HasSpecialField(sftAutoGuid, aField); }
  bool HasRecRevField(int32_t& aField) const { return HasSpecialField(sftRecRev, aField); }
  bool HasRefNrField(int32_t& aField) const { return HasSpecialField(sftRefNr, aField); }
  bool HasModifyLSNField(int32_t& aField) const { return HasSpecialField(sftModifyLSN, aField); }
  bool HasInsertLSNField(int32_t& aField) const { return HasSpecialField(sftInsertLSN, aField); }
  // The BLOB field numbers in field order; true when there is one.
  bool HasBlobFields(TqdBlobFields& aBlobFields) const;
  bool HasBlobFields() const;
  // Same count and, field by field, equal length and compatible type; the
  // BLOB field numbers go to aBlobFields when given.
  bool HasSameFields(const TqdFieldsDescriptor* aSource, TqdBlobFields* aBlobFields) const;
  void FillSpecialFieldsInfo(TqdSpecialFieldsInfo& aSpecialFieldsInfo, bool aRebuildHash);
  // Releases what the variable holds; hands out the cached info or a new
  // private one.
  void GetSpecialFieldsInfo(TqdSpecialFieldsInfo*& aSpecialFieldsInfo);
  void GetDiffCompressionInfo(TqdDiffCompressorInfo*& aDCI);

  // --- Layout ---
  void UpdateSetupAndOffsets();
  void UpdateLogRecLenAlign();
  int32_t RecordLength() const;
  int32_t LogicalRecordLength() const { return fsdLogRecLenAlign; }
  // The sum of the field lengths.
  int32_t DataLength() const { return fsdLogRecLen; }
  int32_t FieldsOffset() const { return 0; }
  // The pool of record buffers (record length + 4 bytes) of this layout.
  TqdMemoryPool RecordAllocator() const;
  int32_t OriginalFieldCount() const;
  void SetOriginalFieldCount(int32_t aValue);
  const TqdClassInfo* CachedEngineClass() const { return fsdCachedEngineClass; }
  void SetCachedEngineClass(const TqdClassInfo* aClass) { fsdCachedEngineClass = aClass; }

  // Tells every registered item about a change of the field list.
  void fsdFieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField);
  TqdChangeNotifyList& FieldChangeNotifies() { return fsdFieldChangeNotifies; }

  virtual void RemoveConstraints();

  void ActivateCache() override;
  void DeactivateCache() override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void CheckFieldIndex(int32_t aField) const;
  bool HasSpecialField(TqdSpecialFieldType aType, int32_t& aField) const;
  // The special type a field stands for, or false.
  static bool SpecialFieldTypeOf(const TqdFieldDescriptor* aField, TqdSpecialFieldType& aType);
  // Numbers and offsets from aFrom on, then the lengths.
  void Renumber(int32_t aFrom);
  bool IsVersion1() const;
  void ClearFields(bool aNotify);
  // Takes the stored data and aligned lengths after the fields were read;
  // they must describe the packed layout of those fields (15498).
  void SetStoredLengths(int32_t aLogRecLen, int32_t aLogRecLenAlign);

  friend class TqdDataDictionary;

  TqdFieldsValidationsDescriptor* fsdValidations = nullptr;
  int32_t fsdLogRecLen = 0;
  int32_t fsdLogRecLenAlign = 0;
  int32_t fsdCachedGetRecordLength = 0;
  TqdMemoryPool fsdRecordAllocator;
  TqdChangeNotifyList fsdFieldChangeNotifies{TqdChangeNotifyKind::cnkField};
  const TqdClassInfo* fsdCachedEngineClass = nullptr;
  std::vector<TqdFieldDescriptor*> fsdFieldHashList;
  TqdSpecialFieldsInfo* fsdCachedSpecialFieldsInfo = nullptr;
  TqdDiffCompressorInfo* fsdCachedDiffCompressorInfo = nullptr;
  std::vector<TqdFieldDescriptor*> fsdFields;
};

// --- Keys --------------------------------------------------------------------------------------

enum TqdNullBehaviour : uint8_t { nbTop, nbBottom, nbAsAscend, nbFilterNull, nbFilterNonNull };
enum TqdIndexDups : uint8_t { idNone, idNull, idAll };
using TqdIndexDupsSet = TqdSet<TqdIndexDups, uint8_t>;

const char16_t* qdNullBehaviourName(TqdNullBehaviour aValue);
bool qdNullBehaviourFromName(qdStringView aName, TqdNullBehaviour& aValue);

// The key an index keeps per record. A filtered key keeps keys only for the
// records its filter accepts; in the dictionary stream the filter travels as
// the filter descriptor's own stream (qdsdFilterDescriptorBase), embedded as
// a byte block and rebuilt into a descriptor when read.
class TqdBaseKeyDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdBaseKeyDescriptorException)
 public:
  explicit TqdBaseKeyDescriptor(TqdPersistent* aParent);
  // Frees the filter.
  ~TqdBaseKeyDescriptor() override;

  virtual bool IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor);
  // Bytes of one key.
  virtual int32_t GetKeyLen() = 0;
  virtual bool CanContainNulls();
  int32_t KeyLen() { return GetKeyLen(); }

  bool HasFilter() const { return bkdFilter != nullptr; }
  // The filter of a filtered index (owned), or nil.
  TqdBaseFilterDescriptor* Filter() const { return bkdFilter; }
  // Read-only check; takes ownership of aFilter and frees the previous
  // filter; nil removes the filter. Only filters with a stream form can be
  // written with the dictionary.
  void SetFilter(TqdBaseFilterDescriptor* aFilter);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdBaseFilterDescriptor* bkdFilter = nullptr;
};

// A key of one fixed length that never holds a null: its body is the base
// body and Integer 1.
class TqdFixedKeyDescriptor : public TqdBaseKeyDescriptor {
 public:
  using TqdBaseKeyDescriptor::TqdBaseKeyDescriptor;
  bool CanContainNulls() override { return false; }
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
};

class TqdRefKeyDescriptor : public TqdFixedKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdRefKeyDescriptorException)
 public:
  using TqdFixedKeyDescriptor::TqdFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 8; }
};

class TqdInt64KeyDescriptor : public TqdFixedKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdInt64KeyDescriptorException)
 public:
  using TqdFixedKeyDescriptor::TqdFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 8; }
};

class TqdBlobCacheKeyDescriptor : public TqdFixedKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdBlobCacheKeyDescriptorException)
 public:
  using TqdFixedKeyDescriptor::TqdFixedKeyDescriptor;
  int32_t GetKeyLen() override { return 28; }
};

// A key made of key fields; its length is the sum of theirs plus one null
// flag bit per key field, rounded up to bytes.
class TqdCompKeyDescriptor : public TqdBaseKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdCompKeyDescriptorException)
 public:
  explicit TqdCompKeyDescriptor(TqdPersistent* aParent);
  ~TqdCompKeyDescriptor() override;

  virtual TqdKeyFieldDescriptor* Add(int32_t aFieldNumber, const TqdKeyFieldDescriptorClass* aClass = nullptr);
  // The number of the field of that name in the related fields descriptor
  // (8712 without one; an unknown name gives -1, which validation refuses).
  TqdKeyFieldDescriptor* Add(qdStringView aFieldName, const TqdKeyFieldDescriptorClass* aClass = nullptr);
  virtual TqdKeyFieldDescriptor* Insert(int32_t aInx, int32_t aFieldNumber,
                                        const TqdKeyFieldDescriptorClass* aClass = nullptr);
  TqdKeyFieldDescriptor* Insert(int32_t aInx, qdStringView aFieldName,
                                const TqdKeyFieldDescriptorClass* aClass = nullptr);
  void Delete(int32_t aInx);
  void Move(int32_t aFrom, int32_t aTo);
  virtual const TqdKeyFieldDescriptorClass& DefaultKeyFieldClass() const;

  int32_t KeyFieldCount() const { return static_cast<int32_t>(ckdKeyFields.size()); }
  // aInx in 0..KeyFieldCount-1 (9999).
  TqdKeyFieldDescriptor* KeyField(int32_t aInx) const;
  TqdKeyFieldDescriptor* ckdGetKeyField(int32_t aInx) const { return KeyField(aInx); }
  // Forgets the cached length; key fields call it when they change.
  void DropCachedKeyLen() { ckdKeyLen = -1; }

  int32_t GetKeyLen() override;
  bool CanContainNulls() override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // The sum of the key field lengths.
  int32_t KeyFieldsLength() const;

 private:
  TqdKeyFieldDescriptor* CreateKeyField(int32_t aFieldNumber, const TqdKeyFieldDescriptorClass* aClass);
  int32_t FieldNumberFromName(qdStringView aFieldName);
  void FreeKeyFields();

  std::vector<TqdKeyFieldDescriptor*> ckdKeyFields;
  // Computed on demand, also on a shared dictionary.
  std::atomic<int32_t> ckdKeyLen{-1};
};

// A composite key without null flags: every key field must be filled by the
// field itself (required, system-maintained or defaulted).
class TqdNoNullCompKeyDescriptor : public TqdCompKeyDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyDescriptorClass, EqdNoNullCompKeyDescriptorException)
 public:
  using TqdCompKeyDescriptor::TqdCompKeyDescriptor;

  int32_t GetKeyLen() override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
};

class TqdKeyFieldDescriptor : public TqdLocalizedDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyFieldDescriptorClass, EqdKeyFieldDescriptorException)
 public:
  // Registers for field notices unless aFieldNumber is kRelatedFieldNumber.
  TqdKeyFieldDescriptor(TqdPersistent* aParent, int32_t aFieldNumber);
  ~TqdKeyFieldDescriptor() override;

  int32_t FieldNumber() const { return kfdFieldNumber; }
  void SetFieldNumber(int32_t aValue);
  const qdString& Desc() const { return kfdDesc; }
  void SetDesc(qdStringView aValue);
  const qdString& KeyFieldEngine() const { return kfdKeyFieldEngine; }
  void SetKeyFieldEngine(qdStringView aValue);
  bool Ascend() const { return kfdAscend; }
  void SetAscend(bool aValue);
  int32_t OverrideLengthBytes() const { return kfdOverrideLengthBytes; }
  void SetOverrideLengthBytes(int32_t aValue);
  int32_t OverrideLengthChars() const { return kfdOverrideLengthChars; }
  void SetOverrideLengthChars(int32_t aValue);
  TqdNullBehaviour NullBehaviour() const { return kfdNullBehaviour; }
  void SetNullBehaviour(TqdNullBehaviour aValue);

  // The field: by number through the related fields descriptor, or the
  // related field descriptor for kRelatedFieldNumber; nil when not found.
  TqdFieldDescriptor* Field();
  // Bytes and characters of this key field (0 when the field is unknown).
  int32_t KeyLength();
  int32_t KeyChars();

  // The field number lies in the table's field list.
  virtual bool IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor);
  // False for nbFilterNull or a required field.
  virtual bool CanContainNulls();

  TqdLocaleDescriptor* GetInheritedLocaleDescriptor() override;
  void FieldChangeNotification(bool aBefore, int32_t aOldField, int32_t aNewField) override;
  bool ItemRequiresPack() override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void DropOwnerKeyLen();
  void UpdateRegistration();

  int32_t kfdFieldNumber;
  qdString kfdDesc;
  qdString kfdKeyFieldEngine;
  bool kfdAscend = true;
  int32_t kfdOverrideLengthBytes = 0;
  int32_t kfdOverrideLengthChars = 0;
  TqdNullBehaviour kfdNullBehaviour = nbTop;
};

class TqdTextKeyFieldDescriptor : public TqdKeyFieldDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyFieldDescriptorClass, EqdTextKeyFieldDescriptorException)
 public:
  using TqdKeyFieldDescriptor::TqdKeyFieldDescriptor;

  bool IgnoreCase() const { return tkfIgnoreCase; }
  void SetIgnoreCase(bool aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  bool tkfIgnoreCase = false;
};

class TqdExtTextKeyFieldDescriptor : public TqdTextKeyFieldDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdKeyFieldDescriptorClass, EqdExtTextKeyFieldDescriptorException)
 public:
  using TqdTextKeyFieldDescriptor::TqdTextKeyFieldDescriptor;

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
};

// --- Indexes ----------------------------------------------------------------------------------

class TqdIndexDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdIndexDescriptorClass, EqdIndexDescriptorException)
 public:
  static constexpr char16_t kDefaultEngine[] = u"qd1xDefault";
  static constexpr char16_t kCacheEngine[] = u"CacheKeylessBStarTree";
  static constexpr char16_t kSequentialAccessIndex[] = u"Sequential Access Index";

  // Identifier check (10022); registers for file notices; builds the key of
  // aKeyClass (nil: a composite key).
  TqdIndexDescriptor(TqdPersistent* aParent, qdStringView aName, int32_t aFileNumber,
                     const TqdKeyDescriptorClass* aKeyClass);
  ~TqdIndexDescriptor() override;

  // Without a parent; Number = aNumber. aClass nil: TqdIndexDescriptor.
  static TqdIndexDescriptor* CreateStandalone(int32_t aNumber, qdStringView aName, int32_t aFileNumber,
                                              const TqdKeyDescriptorClass* aKeyClass,
                                              const TqdIndexDescriptorClass* aClass = nullptr);
  // Class name, key class name, number, name, file number, body.
  void SaveStandalone(TqdWriter& aWriter, int32_t aVersion) const;
  static TqdIndexDescriptor* CreateStandaloneFromReader(TqdReader& aReader);

  const qdString& Name() const { return idName; }
  void SetName(qdStringView aValue);
  const qdString& IndexEngine() const { return idIndexEngine; }
  void SetIndexEngine(qdStringView aValue);
  const qdString& Desc() const { return idDesc; }
  void SetDesc(qdStringView aValue);
  int32_t FileNumber() const { return idFileNumber; }
  void SetFileNumber(int32_t aValue);
  TqdIndexDups Dups() const { return idDups; }
  void SetDups(TqdIndexDups aValue);
  int32_t Number() const { return idNumber; }
  TqdBaseKeyDescriptor* KeyDescriptor() const { return idKeyDescriptor; }
  // Frees the key and builds an empty one of aKeyClass (nil: composite).
  TqdBaseKeyDescriptor* ReplaceKeyDescriptor(const TqdKeyDescriptorClass* aKeyClass);
  // The file descriptor of FileNumber; nil without a related files list.
  TqdFileDescriptor* IndexFile();

  // The file lies in the table's list and the key is valid for the table.
  virtual bool IsValidForTable(TqdBaseTableDescriptor* aTableDescriptor);
  // Converts the index for a cache table.
  virtual void MakeInCache();

  void FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  friend class TqdBaseIndicesDescriptor;

  qdString idName;
  qdString idIndexEngine{kDefaultEngine};
  qdString idDesc;
  int32_t idFileNumber;
  TqdBaseKeyDescriptor* idKeyDescriptor = nullptr;
  TqdIndexDups idDups = idNone;
  int32_t idNumber = 0;
};

class TqdBaseIndicesDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdIndicesDescriptorClass, EqdBaseIndicesDescriptorException)
 public:
  TqdBaseIndicesDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection);
  ~TqdBaseIndicesDescriptor() override;

  const std::string& HeaderSection() const { return bidHeaderSection; }
  int32_t IndexCount() const { return static_cast<int32_t>(bidIndexes.size()); }
  // aIndex in 0..IndexCount-1 (9999).
  TqdIndexDescriptor* IndexDescriptor(int32_t aIndex) const;
  const qdString& IndicesEngine() const { return bidIndicesEngine; }
  void SetIndicesEngine(qdStringView aValue);

  virtual const TqdKeyDescriptorClass& DefaultKeyClass() const;
  virtual const TqdIndexDescriptorClass& DefaultIndexClass() const;
  // Calls IndexChangeNotification on every registered item in list order.
  virtual void IndexChangeNotify(bool aBefore, int32_t aOldIndex, int32_t aNewIndex);
  virtual void MakeInCache();

  // Read-only and identifier checks (10022); 10027 for a name present;
  // with a related files list the file must exist (9999). Appends with the
  // next number and sends (after, -1, number).
  TqdIndexDescriptor* AddIndex(qdStringView aName, int32_t aFileNumber, TqdIndexDups aDups, qdStringView aDesc,
                               const TqdKeyDescriptorClass* aKeyClass = nullptr,
                               const TqdIndexDescriptorClass* aIndexClass = nullptr);
  // False means idNone, true idAll.
  TqdIndexDescriptor* AddIndex(qdStringView aName, int32_t aFileNumber, bool aDups, qdStringView aDesc,
                               const TqdKeyDescriptorClass* aKeyClass = nullptr,
                               const TqdIndexDescriptorClass* aIndexClass = nullptr);
  // A copy of an index of another list; a failure leaves the list unchanged.
  TqdIndexDescriptor* AddIndex(const TqdIndexDescriptor* aIndexDescriptor);
  TqdIndexDescriptor* InsertIndexAt(int32_t aInx, qdStringView aName, int32_t aFileNumber, TqdIndexDups aDups,
                                    qdStringView aDesc, const TqdKeyDescriptorClass* aKeyClass = nullptr,
                                    const TqdIndexDescriptorClass* aIndexClass = nullptr);
  TqdIndexDescriptor* InsertIndexAt(int32_t aInx, qdStringView aName, int32_t aFileNumber, bool aDups,
                                    qdStringView aDesc, const TqdKeyDescriptorClass* aKeyClass = nullptr,
                                    const TqdIndexDescriptorClass* aIndexClass = nullptr);
  void MoveIndex(int32_t aFrom, int32_t aTo);
  // An index outside the list is ignored.
  void RemoveIndex(int32_t aInx);
  void RemoveIndex(qdStringView aName);
  int32_t GetIndexFromName(qdStringView aIndexName) const;
  TqdIndexDescriptor* GetDescriptorFromName(qdStringView aIndexName) const;
  // The first index whose duplicates rule is in aDups and whose key is a
  // composite key without filter over exactly these fields in this order.
  bool HasIndex(std::span<const int32_t> aFields, int32_t& aIndex, TqdIndexDupsSet aDups) const;

  TqdChangeNotifyList& IndexChangeNotifies() { return bidIndexChangeNotifies; }

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void CheckIndexName(qdStringView aName) const;
  // AddIndex without the notice.
  TqdIndexDescriptor* AddIndexQuietly(qdStringView aName, int32_t aFileNumber, TqdIndexDups aDups, qdStringView aDesc,
                                      const TqdKeyDescriptorClass* aKeyClass,
                                      const TqdIndexDescriptorClass* aIndexClass);
  void Renumber(int32_t aFrom);
  void FreeIndexes();

  std::string bidHeaderSection;
  TqdChangeNotifyList bidIndexChangeNotifies{TqdChangeNotifyKind::cnkIndex};
  std::vector<TqdIndexDescriptor*> bidIndexes;
  qdString bidIndicesEngine{TqdIndexDescriptor::kDefaultEngine};
};

class TqdMainIndicesDescriptor : public TqdBaseIndicesDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdIndicesDescriptorClass, EqdMainIndicesDescriptorException)
 public:
  using TqdBaseIndicesDescriptor::TqdBaseIndicesDescriptor;

  // -1 exactly when there are no indexes.
  int32_t DefaultIndex() const { return midDefaultIndex; }
  // Read-only check; no indexes: -1; negative: 0; beyond the last index:
  // 9999 "Invalid default index number: %d".
  void SetDefaultIndex(int32_t aValue);

  void IndexChangeNotify(bool aBefore, int32_t aOldIndex, int32_t aNewIndex) override;
  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  int32_t midDefaultIndex = -1;
};

// Indexes the engine keeps for itself; their names begin with "$".
class TqdInternalIndicesDescriptor : public TqdBaseIndicesDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdIndicesDescriptorClass, EqdInternalIndicesDescriptorException)
 public:
  using TqdBaseIndicesDescriptor::TqdBaseIndicesDescriptor;

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
};

// --- Storage descriptors ----------------------------------------------------------------------
//
// They name the sub-engines the storage layer builds for a table and the
// files they keep their data in. Engine names compare ignoring ASCII case;
// a name is only resolved when a table is built or opened. The header
// section names the part of the table file header an engine keeps its state
// in; it is given by the owner and neither streamed nor compared.

inline constexpr char16_t kDefaultEngineName[] = u"qd1xDefault";

class TqdBaseBlockHeapDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdBlockHeapDescriptorClass, EqdBaseBlockHeapDescriptorException)
 public:
  explicit TqdBaseBlockHeapDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}

  const qdString& BlockHeapEngine() const { return bbhdBlockHeapEngine; }
  void SetBlockHeapEngine(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString bbhdBlockHeapEngine{kDefaultEngineName};
};

class TqdBaseHeapDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdHeapDescriptorClass, EqdBaseHeapDescriptorException)
 public:
  explicit TqdBaseHeapDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdBaseHeapDescriptor() override;

  const qdString& HeapEngine() const { return bhdHeapEngine; }
  void SetHeapEngine(qdStringView aValue);
  TqdBaseBlockHeapDescriptor* BlockHeapDescriptor() const { return bhdBlockHeapDescriptor; }
  TqdBaseBlockHeapDescriptor* AddBlockHeapDescriptor(const TqdBlockHeapDescriptorClass* aBlockHeapClass = nullptr);
  void RemoveBlockHeapDescriptor();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  // Adds the default block heap descriptor when there is none.
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString bhdHeapEngine{kDefaultEngineName};
  TqdBaseBlockHeapDescriptor* bhdBlockHeapDescriptor = nullptr;
};

// What the record, BLOB and auto-increment descriptors share: the file that
// holds their data, which follows the file list's notices.
class TqdFileEngineDescriptor : public TqdDictionaryItem {
 public:
  TqdFileEngineDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection);
  ~TqdFileEngineDescriptor() override;

  const std::string& HeaderSection() const { return fedHeaderSection; }
  int32_t FileNumber() const { return fedFileNumber; }
  // Read-only check; with a related files list the file must exist (9999
  // "Invalid file number: %d").
  void SetFileNumber(int32_t aValue);

  void FileChangeNotification(bool aBefore, int32_t aOldFile, int32_t aNewFile) override;
  void CheckValid(bool aForBuild) override;

 protected:
  // The engine kind named when the own file is removed: "record", "blob",
  // "autoinc".
  virtual const char16_t* FileUserName() const = 0;
  void CheckFileNumber(int32_t aValue);
  void StoreFileNumber(int32_t aValue) { fedFileNumber = aValue; }

 private:
  std::string fedHeaderSection;
  int32_t fedFileNumber = 0;
};

class TqdBaseRecordDescriptor : public TqdFileEngineDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdRecordDescriptorClass, EqdBaseRecordDescriptorException)
 public:
  TqdBaseRecordDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection)
      : TqdFileEngineDescriptor(aParent, aHeaderSection) {}

  const qdString& RecordEngine() const { return brdRecordEngine; }
  void SetRecordEngine(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  const char16_t* FileUserName() const override { return u"a record engine"; }

 private:
  qdString brdRecordEngine{kDefaultEngineName};
};

class TqdBaseRecordCompressionDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdRecordCompressionDescriptorClass, EqdBaseRecordCompressionDescriptorException)
 public:
  explicit TqdBaseRecordCompressionDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}

  const qdString& RecordCompressionEngine() const { return brcdRecordCompressionEngine; }
  void SetRecordCompressionEngine(qdStringView aValue);
  // Kept in the custom string "CompressType"; 0 when absent.
  uint8_t CompressType() const;
  // Read-only check; 0 removes the custom string.
  void SetCompressType(uint8_t aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString brcdRecordCompressionEngine{u"Smart"};
};

class TqdHeapRecordDescriptor : public TqdBaseRecordDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdRecordDescriptorClass, EqdHeapRecordDescriptorException)
 public:
  using TqdBaseRecordDescriptor::TqdBaseRecordDescriptor;
  ~TqdHeapRecordDescriptor() override;

  TqdBaseHeapDescriptor* HeapDescriptor() const { return hrdHeapDescriptor; }
  TqdBaseHeapDescriptor* AddHeapDescriptor(const TqdHeapDescriptorClass* aHeapClass = nullptr);
  void RemoveHeapDescriptor();
  TqdBaseRecordCompressionDescriptor* RecordCompressionDescriptor() const { return hrdRecordCompressionDescriptor; }
  TqdBaseRecordCompressionDescriptor* AddRecordCompressionDescriptor(
      const TqdRecordCompressionDescriptorClass* aRecordCompressionClass = nullptr);
  void RemoveRecordCompressionDescriptor();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdBaseHeapDescriptor* hrdHeapDescriptor = nullptr;
  TqdBaseRecordCompressionDescriptor* hrdRecordCompressionDescriptor = nullptr;
};

class TqdBaseBlobDescriptor : public TqdFileEngineDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdBlobDescriptorClass, EqdBaseBlobDescriptorException)
 public:
  TqdBaseBlobDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection)
      : TqdFileEngineDescriptor(aParent, aHeaderSection) {}

  const qdString& BlobEngine() const { return bbdBlobEngine; }
  void SetBlobEngine(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  const char16_t* FileUserName() const override { return u"a blob engine"; }

 private:
  qdString bbdBlobEngine{kDefaultEngineName};
};

class TqdHeapBlobDescriptor : public TqdBaseBlobDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdBlobDescriptorClass, EqdHeapBlobDescriptorException)
 public:
  using TqdBaseBlobDescriptor::TqdBaseBlobDescriptor;
  ~TqdHeapBlobDescriptor() override;

  TqdBaseHeapDescriptor* HeapDescriptor() const { return hbdHeapDescriptor; }
  TqdBaseHeapDescriptor* AddHeapDescriptor(const TqdHeapDescriptorClass* aHeapClass = nullptr);
  void RemoveHeapDescriptor();

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  TqdBaseHeapDescriptor* hbdHeapDescriptor = nullptr;
};

class TqdBaseAutoIncDescriptor : public TqdFileEngineDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdAutoIncDescriptorClass, EqdBaseAutoIncDescriptorException)
 public:
  TqdBaseAutoIncDescriptor(TqdPersistent* aParent, std::string_view aHeaderSection)
      : TqdFileEngineDescriptor(aParent, aHeaderSection) {}

  const qdString& AutoIncEngine() const { return baidAutoIncEngine; }
  void SetAutoIncEngine(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  const char16_t* FileUserName() const override { return u"an autoinc engine"; }

 private:
  qdString baidAutoIncEngine{kDefaultEngineName};
};

// The auto-increment values start at InitialValue and grow by Step, both in
// 1..4294967295: a 0 would hand out the same value again and again, so the
// setters and the reader refuse it (9985).
class TqdAdvAutoIncDescriptor : public TqdBaseAutoIncDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdAutoIncDescriptorClass, EqdAdvAutoIncDescriptorException)
 public:
  static constexpr int64_t kMinValue = 1;
  static constexpr int64_t kMaxValue = 4294967295;

  using TqdBaseAutoIncDescriptor::TqdBaseAutoIncDescriptor;

  uint32_t InitialValue() const { return aaidInitialValue; }
  void SetInitialValue(int64_t aValue);
  uint32_t Step() const { return aaidStep; }
  void SetStep(int64_t aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  uint32_t CheckedValue(const char16_t* aName, int64_t aValue) const;

  uint32_t aaidInitialValue = 1;
  uint32_t aaidStep = 1;
};

class TqdBaseStreamDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdStreamDescriptorClass, EqdBaseStreamDescriptorException)
 public:
  TqdBaseStreamDescriptor(TqdPersistent* aDictionary, std::string_view aHeaderSection)
      : TqdDictionaryItem(aDictionary), bsdHeaderSection(aHeaderSection) {}

  const std::string& HeaderSection() const { return bsdHeaderSection; }
  const qdString& StreamEngine() const { return bsdStreamEngine; }
  void SetStreamEngine(qdStringView aValue);

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString bsdStreamEngine{kDefaultEngineName};
  std::string bsdHeaderSection;
};

// Base of named per-table descriptors (referential integrity, audit, full
// text); its name is written by the list that holds it.
class TqdBaseCustomDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdCustomDescriptorClass, EqdBaseCustomDescriptorException)
 public:
  // The name must be an identifier ("$" allowed, empty refused; 10068).
  TqdBaseCustomDescriptor(TqdPersistent* aParent, qdStringView aName);

  const qdString& Name() const { return bcdName; }

  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString bcdName;
};

class TqdCustomDescsDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdCustomDescsDescriptorClass, EqdCustomDescsDescriptorException)
 public:
  explicit TqdCustomDescsDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdCustomDescsDescriptor() override;

  int32_t CustomCount() const { return static_cast<int32_t>(cddItems.size()); }
  TqdBaseCustomDescriptor* CustomDescriptor(int32_t aIndex) const;
  // Read-only and name checks; 10009 "Duplicated custom descriptor name: %s".
  TqdBaseCustomDescriptor* AddCustom(qdStringView aName, const TqdCustomDescriptorClass* aClass = nullptr);
  int32_t GetCustomDescriptorFromName(qdStringView aCustomDescriptorName) const;
  // Outside the list: nothing.
  void RemoveCustom(int32_t aInx);
  void RemoveCustom(qdStringView aName);

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void FreeItems(bool aClearEach, bool aNotify);

  std::vector<TqdBaseCustomDescriptor*> cddItems;
};

class TqdTablesDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdTablesDescriptorClass, EqdTablesDescriptorException)
 public:
  explicit TqdTablesDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdTablesDescriptor() override;

  int32_t TableCount() const { return static_cast<int32_t>(tdsTables.size()); }
  TqdNestedTableDescriptor* TableDescriptor(int32_t aIndex) const;
  // Read-only check; identifier check (10039); 10009 "Duplicated table
  // name: %s".
  TqdNestedTableDescriptor* AddTable(qdStringView aName, const TqdNestedTableDescriptorClass* aClass = nullptr);
  int32_t GetTableIndexFromName(qdStringView aName) const;
  // 10024 when there is none.
  TqdNestedTableDescriptor* GetTableDescriptorFromName(qdStringView aName) const;
  void RemoveTable(int32_t aInx);
  void RemoveTable(qdStringView aName);
  void RenameTable(qdStringView aOldName, qdStringView aNewName);
  // Clears aStrings and adds every table name with its descriptor.
  void GetTables(TqdStringList& aStrings) const;
  bool HasAnyRefNrField() const;
  bool HasCachingSupport(TqdTableCachingState aState) const;
  void MakeInCache(bool aSilent);

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void FreeTables();

  std::vector<TqdNestedTableDescriptor*> tdsTables;
};

// --- Files, tables and the dictionary ------------------------------------------------------------

// A file's block size is one of the allocator's block size classes
// (TqdBlockSize, qdllMemoryManager) from qdbs4k to qdbs64k.
// The bytes of a file block size; 0 for a class no file uses.
int32_t qdBlockSizeBytes(TqdBlockSize aBlockSize);
// False when aBytes is not one of the five file block sizes.
bool qdBlockSizeFromBytes(int32_t aBytes, TqdBlockSize& aBlockSize);

class TqdFileDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdFileDescriptorClass, EqdFileDescriptorException)
  friend class TqdDataDictionary;

 public:
  TqdFileDescriptor(TqdPersistent* aParent, qdStringView aExtension);

  const qdString& Extension() const { return fdExtension; }
  const qdString& Desc() const { return fdDesc; }
  void SetDesc(qdStringView aValue);
  TqdBlockSize BlockSize() const { return fdBlockSize; }
  // One of the five file block sizes (10004 otherwise).
  void SetBlockSize(TqdBlockSize aValue);
  int32_t BlockSizeBytes() const { return qdBlockSizeBytes(fdBlockSize); }
  // One of the five sizes, else 10004 "%d is not a valid BlockSize".
  void SetBlockSizeBytes(int32_t aValue);
  TqdGrowSize InitialSize() const { return fdInitialSize; }
  void SetInitialSize(TqdGrowSize aValue);
  TqdGrowSize GrowSize() const { return fdGrowSize; }
  void SetGrowSize(TqdGrowSize aValue);
  int32_t Number() const { return fdNumber; }
  // What the owning dictionary's storage leaves of a block.
  uint32_t UsableBlockSize() const;
  qdString FileID() const { return CustomStringValue(u"$FileID"); }

  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  friend class TqdFilesDescriptor;

  qdString fdExtension;
  qdString fdDesc;
  TqdBlockSize fdBlockSize = qdbs4k;
  TqdGrowSize fdInitialSize = 4;
  TqdGrowSize fdGrowSize = 1;
  int32_t fdNumber = 0;
};

class TqdFilesDescriptor : public TqdDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdFilesDescriptorClass, EqdFilesDescriptorException)
  // The legacy dictionary layout builds the list itself.
  friend class TqdDataDictionary;

 public:
  explicit TqdFilesDescriptor(TqdPersistent* aParent) : TqdDictionaryItem(aParent) {}
  ~TqdFilesDescriptor() override;

  int32_t FileCount() const { return static_cast<int32_t>(fidFiles.size()); }
  TqdFileDescriptor* FileDescriptor(int32_t aIndex) const;
  // Read-only check; the first file has an empty extension, every later one
  // an identifier (10042); 10009 for an extension present. No notice.
  TqdFileDescriptor* AddFile(qdStringView aExtension, TqdBlockSize aBlockSize, qdStringView aDesc,
                             const TqdFileDescriptorClass* aClass = nullptr);
  // aInx in 0..FileCount (9999); notices (before/after, -1, aInx).
  TqdFileDescriptor* InsertFileAt(int32_t aInx, qdStringView aExtension, TqdBlockSize aBlockSize, qdStringView aDesc,
                                  const TqdFileDescriptorClass* aClass = nullptr);
  // Both in 1..FileCount-1: file 0 never moves.
  void MoveFile(int32_t aFrom, int32_t aTo);
  // 0 raises 15502; other indexes outside the list are ignored; a file still
  // used is refused by its user before anything changes.
  void RemoveFile(int32_t aInx);
  void RenameFile(int32_t aInx, qdStringView aNewExtension);
  void RenameFile(qdStringView aOldExtension, qdStringView aNewExtension);
  int32_t GetFileFromExt(qdStringView aFileExt) const;

  void FileChangeNotify(bool aBefore, int32_t aOldFile, int32_t aNewFile);
  TqdChangeNotifyList& FileChangeNotifies() { return fidFileChangeNotifies; }

  void Clear(bool aNotify) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  void CheckExtension(int32_t aPosition, qdStringView aExtension) const;
  void Renumber(int32_t aFrom);
  void FreeFiles();

  TqdChangeNotifyList fidFileChangeNotifies{TqdChangeNotifyKind::cnkFile};
  std::vector<TqdFileDescriptor*> fidFiles;
};

// The description of a table: its fields and the storage, index, custom and
// nested-table parts. The fields, custom-descriptors and nested-tables parts
// always exist; the others are optional.
class TqdBaseTableDescriptor : public TqdLocalizedDictionaryItem {
  QD_DICTIONARY_ITEM_CLASS(TqdClassInfo, EqdBaseTableDescriptorException)
 public:
  ~TqdBaseTableDescriptor() override;

  TqdFieldsDescriptor* FieldsDescriptor() const { return tdFieldsDescriptor; }
  TqdBaseBlobDescriptor* BlobDescriptor() const { return tdBlobDescriptor; }
  TqdBaseRecordDescriptor* RecordDescriptor() const { return tdRecordDescriptor; }
  TqdBaseAutoIncDescriptor* AutoIncDescriptor() const { return tdAutoIncDescriptor; }
  TqdMainIndicesDescriptor* IndicesDescriptor() const { return tdIndicesDescriptor; }
  TqdInternalIndicesDescriptor* InternalIndicesDescriptor() const { return tdInternalIndicesDescriptor; }
  TqdCustomDescsDescriptor* CustomDescsDescriptor() const { return tdCustomDescsDescriptor; }
  TqdTablesDescriptor* TablesDescriptor() const { return tdTablesDescriptor; }
  TqdTableCachingState CachingState() const { return tdCachingState; }
  void SetCachingState(TqdTableCachingState aValue);

  // Each checks read-only, frees the present part and builds the new one
  // (nil class: the default one of the part).
  TqdBaseRecordDescriptor* AddRecordDescriptor(const TqdRecordDescriptorClass* aRecordClass = nullptr);
  TqdBaseBlobDescriptor* AddBlobDescriptor(const TqdBlobDescriptorClass* aBlobClass = nullptr);
  TqdMainIndicesDescriptor* AddIndicesDescriptor(const TqdIndicesDescriptorClass* aIndicesClass = nullptr);
  TqdInternalIndicesDescriptor* AddInternalIndicesDescriptor(
      const TqdIndicesDescriptorClass* aInternalIndicesClass = nullptr);
  TqdBaseAutoIncDescriptor* AddAutoIncDescriptor(const TqdAutoIncDescriptorClass* aAutoIncClass = nullptr);
  TqdMainIndicesDescriptor* EnsureIndicesDescriptor();
  TqdInternalIndicesDescriptor* EnsureInternalIndicesDescriptor();
  void RemoveRecordDescriptor();
  void RemoveBlobDescriptor();
  void RemoveIndicesDescriptor();
  void RemoveInternalIndicesDescriptor();
  void RemoveAutoIncDescriptor();

  int32_t GetFieldFromName(qdStringView aFieldName) const;
  int32_t GetIndexFromName(qdStringView aIndexName) const;
  // The item registered under the constraint name, nil when none.
  TqdDictionaryItem* GetConstraintByName(qdStringView aName) const;
  // Clears aStrings and adds every constraint name with its item.
  void GetConstraints(TqdStringList& aStrings) const;
  // A table by path: "" is this table; segments split at ":" where "." is
  // the current table, ".." its parent table (10024 without one) and any
  // other name a nested table (10024 when there is none).
  TqdBaseTableDescriptor* GetChild(qdStringView aChildName);
  bool HasAnyRefNrField() const;
  bool HasCachingSupport(TqdTableCachingState aState) const;
  // Key length of main index aInx (9999 when there is none).
  int32_t tdGetKeyLen(int32_t aInx);
  int32_t tdGetBookmarkSize(int32_t aInx);
  int32_t MaxKeyLen();
  int32_t MaxBookmarkSize() { return MaxKeyLen() + 24; }

  // --- Caching ---
  // Releases what aCachableInfo holds and gives a new info: the special
  // fields and the numbers of the indexes a cached table needs. True when
  // the table has them and its state fits aState.
  bool IsCacheable(TqdCacheableInfo*& aCachableInfo, TqdTableCachingState aState, bool aAcceptCachable);
  // Adds what a cacheable table lacks (with aCanChange) and marks it
  // cacheable; 12289 for a cache table or when it still fails.
  void MakeCacheable(bool aCanChange);
  // Turns the table and its nested tables into caches; a table that cannot
  // be one becomes tcsNone with aSilent, else 12289.
  virtual void MakeInCache(bool aSilent);
  // Resets the table and copies the source's fields (not required), locale
  // descriptors and nested tables, nothing else; adds a variable-length
  // heap record with "Smart" compression.
  virtual void AssignOnlyFields(const TqdBaseTableDescriptor* aSource);

  // Clears the custom descriptors, removes the indices, clears the fields,
  // removes the record, BLOB, locale and auto-increment parts and clears the
  // nested tables.
  virtual void ResetTable(bool aBare, bool aNotify);
  virtual qdString btdFullName() const = 0;
  virtual bool IsIndexDescValid(TqdIndexDescriptor* aIndexDesc);
  virtual bool IsFieldDescValid(TqdFieldDescriptor* aFieldDesc);

  void AddConstraintName(TqdDictionaryItem* aItem, const qdString& aName) override;
  void RemoveConstraintName(TqdDictionaryItem* aItem, const qdString& aName) override;
  void ActivateCache() override;
  void DeactivateCache() override;
  bool FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                   TqdDictionaryItem* aFrom) override;
  void SaveToWriter(TqdWriter& aWriter, int32_t aClientVersion) const override;
  void LoadFromReader(TqdReader& aReader) override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // The parts are built by the most derived constructor (CreateTableParts),
  // so that they get their IDs from the dictionary they belong to.
  explicit TqdBaseTableDescriptor(TqdPersistent* aParent);
  void CreateTableParts();
  void CustomStringsForStream(std::vector<qdString>& aLines, int32_t aClientVersion) const override;
  void FreeTableParts();

 private:
  struct TqdConstraint {
    qdString Name;
    TqdDictionaryItem* Item;
  };
  // The index of aName in tdConstraints (or where it would go).
  bool FindConstraint(qdStringView aName, size_t& aIndex) const;
  bool HasAnyRefNrFieldHere() const;

  TqdFieldsDescriptor* tdFieldsDescriptor = nullptr;
  TqdBaseBlobDescriptor* tdBlobDescriptor = nullptr;
  TqdBaseRecordDescriptor* tdRecordDescriptor = nullptr;
  TqdBaseAutoIncDescriptor* tdAutoIncDescriptor = nullptr;
  TqdMainIndicesDescriptor* tdIndicesDescriptor = nullptr;
  TqdInternalIndicesDescriptor* tdInternalIndicesDescriptor = nullptr;
  TqdCustomDescsDescriptor* tdCustomDescsDescriptor = nullptr;
  TqdTablesDescriptor* tdTablesDescriptor = nullptr;
  TqdTableCachingState tdCachingState = tcsNone;
  // Sorted by name, ASCII case ignored (identifiers are ASCII).
  std::vector<TqdConstraint> tdConstraints;
  uint32_t tdMaxKeyLen = 0;
};

class TqdNestedTableDescriptor : public TqdBaseTableDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdNestedTableDescriptorClass, EqdNestedTableDescriptorException)
 public:
  // The name must be an identifier (10039 "Invalid table name.").
  TqdNestedTableDescriptor(TqdPersistent* aParent, qdStringView aName);

  const qdString& Name() const { return ntdName; }
  void SetName(qdStringView aValue);
  // The parent table's full name, ":" and the own name.
  qdString btdFullName() const override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 private:
  qdString ntdName;
};

// The root of a table's descriptor tree.
class TqdDataDictionary : public TqdBaseTableDescriptor {
  QD_DICTIONARY_ITEM_CLASS(TqdClassInfo, EqdDataDictionaryException)
  // The storage's dictionary lifts and restores the read-only state, the
  // item-ID counter, the GUID, the base name and the header signature of an
  // open table without the edit checks.
  friend class TqdServerDataDict;

 public:
  static constexpr char16_t kDefaultFileDesc[] = u"Data/DataDict File";

  // A default dictionary: version 3, signature "QD!2", a stream and a record
  // descriptor, file 0 and the index "Sequential Access Index".
  TqdDataDictionary();
  // Clears the read-only flag first.
  ~TqdDataDictionary() override;

  const TGUID& Guid() const { return ddGuid; }
  // All zero when the table caches no other table.
  const TGUID& CacheGuid() const { return ddCacheGuid; }
  int32_t Version() const { return ddVersion; }
  // Read-only check; 1..5.
  void SetVersion(int32_t aValue);
  int32_t CurrentID() const { return ddCurrentID; }
  // The next item ID (stored back).
  int32_t NextID() { return ++ddCurrentID; }
  int32_t CacheCurrentID() const { return ddCacheCurrentID; }
  bool MissingInformation() const { return ddMissingInformation; }
  const qdString& BaseName() const { return ddBaseName; }
  void SetBaseName(qdStringView aValue);
  bool ReadOnly() const { return ddReadOnly; }
  TqdFilesDescriptor* FilesDescriptor() const { return ddFilesDescriptor; }
  TqdBaseStreamDescriptor* StreamDescriptor() const { return ddStreamDescriptor; }
  TqdBaseStreamDescriptor* AddStreamDescriptor(const TqdStreamDescriptorClass* aStreamClass = nullptr);
  void RemoveStreamDescriptor();
  bool UseByteOrderForWideString() const { return ddUseByteOrderForWideString; }
  void SetUseByteOrderForWideString(bool aValue);
  const TqdBlockSignature& HeaderSignature() const { return ddHeaderSignature; }
  void SetHeaderSignature(const TqdBlockSignature& aValue);
  const qdString& EncryptionEngine() const { return ddEncryptionEngine; }
  void SetEncryptionEngine(qdStringView aValue);
  int32_t GetFileFromExt(qdStringView aFileExt) const;

  // Sets the read-only flag and activates the cache of the whole tree; from
  // then on the dictionary may be shared without locks.
  void MakeReadOnly();
  // Turns the table into a cache of itself (nothing when it holds a cache
  // table already): the cache GUID becomes the GUID.
  void MakeCache(bool aSilent);
  // Then removes the indices descriptor.
  void AssignOnlyFields(const TqdBaseTableDescriptor* aSource) override;

  // --- The dictionary stream ---
  // The stream for a client of aClientVersion: the version is lowered for
  // older clients (at most 2 below 20000, 3 below 30900, 4 below 47005).
  void WriteToStream(TStream& aStream, int32_t aClientVersion) const;
  void WriteToWriter(TqdWriter& aWriter, int32_t aClientVersion) const;
  // Starts from a bare dictionary; a failed read leaves a default one and
  // raises (a damaged or cut stream: 15498).
  void ReadFromStream(TStream& aStream, qdStringView aBaseName);
  void ReadFromReader(TqdReader& aReader);
  // A dictionary source is copied through the stream with its base name.
  void Assign(const TqdDictionaryItem* aSource) override;
  // A new dictionary assigned from this one; the caller owns it.
  TqdDataDictionary* Duplicate() const;

  // What a block of aBlockSize bytes leaves for data; the storage's
  // dictionary class subtracts its reserved space.
  virtual uint32_t UsableBlockSize(uint32_t aBlockSize) const;

  void CheckReadOnly() const override;
  void Clear(bool aNotify) override;
  void ResetTable(bool aBare, bool aNotify) override;
  qdString btdFullName() const override { return ddBaseName; }
  bool FindRelatedDescriptorOfType(const TqdClassInfo& aType, TqdDictionaryItem*& aDescriptor,
                                   TqdDictionaryItem* aFrom) override;
  bool ItemRequiresPack() override;
  void CheckValid(bool aForBuild) override;
  bool IsEqual(const TqdDictionaryItem* aItem) const override;

 protected:
  // Adds "$GUID", "$CacheGUID", "$CacheCurrentID" and "$MissingInformation"
  // for the stream without changing the dictionary.
  void CustomStringsForStream(std::vector<qdString>& aLines, int32_t aClientVersion) const override;

 private:
  void SetDefaults();
  // A write for aClientVersion turns RefNr fields into Int64 or drops
  // internal indexes somewhere in the tree.
  bool WriteLosesInformation(int32_t aClientVersion) const;
  void WriteLegacy(TqdWriter& aWriter, int32_t aVersion, int32_t aClientVersion) const;
  void ReadLegacy(TqdReader& aReader, int32_t aVersion);
  void LoadCustomValues();

  TGUID ddGuid;
  TGUID ddCacheGuid;
  int32_t ddVersion = 3;
  int32_t ddCurrentID = 0;
  int32_t ddCacheCurrentID = 0;
  bool ddMissingInformation = false;
  qdString ddBaseName;
  bool ddReadOnly = false;
  TqdFilesDescriptor* ddFilesDescriptor = nullptr;
  TqdBaseStreamDescriptor* ddStreamDescriptor = nullptr;
  bool ddUseByteOrderForWideString = true;
  TqdBlockSignature ddHeaderSignature{{'Q', 'D', '!', '2'}};
  qdString ddEncryptionEngine;
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

// --- Unit start and end ------------------------------------------------------------------

// Reads the locale switch and registers the descriptor classes.
void qdsdDataDictionaryInitialize();
void qdsdDataDictionaryFinalize();

}  // namespace qd
