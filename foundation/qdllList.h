// The engine's pointer lists: an unsorted list with positional operations, a
// sorted list ordered by an overridable comparison, and wrappers that give
// threads guarded access to a list.
//
// A list is an item array with an optional parallel data array (`blData`,
// present when the list was created with aUseData). A list created with
// aFreeDataObjects owns its data pointers as objects: it frees them when
// their items are deleted, when the list is cleared or shrunk and when the
// list is destroyed; `Release` hands an item's data back to the caller
// without freeing it. Owned data must be stored as `TqdObject*` (converted
// to `void*`), since the list frees it through that base.
//
// `Generation` counts every change of content or order (a capacity change
// alone does not count); iterators and caches compare it to notice changes.
//
// Both arrays live on the engine allocator. Growth when full: +4 up to a
// capacity of 8, +16 up to 64, then +25 %. At most `qdMaxListSize` items.
//
// The lists are not thread-safe. `TqdListPortal` (concurrent readers, one
// writer) and `TqdListPadlock` (one thread at a time) own a list and run
// every operation on it under their lock. Copying between two wrappers takes
// the source's read access before the target's write access.
//
// The fast string lists compare ordinally, never by the locale: with
// CompareStr (UTF-16 units) when case-sensitive, else with CompareText
// (ASCII letters folded). Objects they free with Clear(true) must be
// `TqdObject*`.
//
// Classes: TqdBaseList, TqdWriteableList, TqdList, TqdSortedList,
// TqdListSyncAccess, TqdListPortal, TqdListPadlock, TqdFastStringList,
// TqdFastStringListCS, TqdFastStringListIC; exceptions EListError,
// EqdBaseListException, EqdWriteableListException, EqdSortedListException.
#pragma once

#include <cstdint>

#include "foundation/qdllException.h"
#include "foundation/qdllMemoryManager.h"
#include "foundation/qdllThreadAnnotations.h"
#include "platform/qdStringList.h"
#include "platform/qdSysUtils.h"

namespace qd {

class TqdPadlock;
class TqdInternalReadWritePortal;

using PqdPointerArray = void**;

// The platform's comparison for TqdList::Sort: negative, 0 or positive.
using TListSortCompare = int32_t (*)(void* aItem1, void* aItem2);

constexpr int32_t qdMaxListSize = 0x7FFFFFF;

// Index, capacity and count errors of the lists.
class EListError : public Exception {
 public:
  using Exception::Exception;
};

class EqdBaseListException : public EqdBaseException {
 public:
  using EqdBaseException::EqdBaseException;
};

class EqdWriteableListException : public EqdBaseListException {
 public:
  using EqdBaseListException::EqdBaseListException;
};

class EqdSortedListException : public EqdWriteableListException {
 public:
  using EqdWriteableListException::EqdWriteableListException;
};

class TqdBaseList : public TqdObject {
 public:
  // Raises EListError with aMessage formatted with aData (its "%d").
  [[noreturn]] static void Error(const char16_t* aMessage, int32_t aData);
  // -1 when absent.
  virtual int32_t IndexOf(void* aItem) = 0;

  int32_t Count() const { return blCount; }
  int32_t Capacity() const { return blCapacity; }
  PqdPointerArray List() const { return blList; }
  // nil when the list carries no data.
  PqdPointerArray Data() const { return blData; }
  uint32_t Generation() const { return blGeneration; }
  bool UseData() const { return blUseData; }
  bool FreeDataObjects() const { return blFreeDataObjects; }

  // The Items getter; the index is checked.
  void* blGet(int32_t aIndex) const;
  void* Items(int32_t aIndex) const { return blGet(aIndex); }
  // nil when the list is empty.
  void* First() const;
  void* Last() const;

  // Raises unless the fields agree with each other (tests, debug checks).
  void CheckInvariants() const;

 protected:
  TqdBaseList() = default;

  [[noreturn]] void IndexError(int32_t aIndex) const;
  void CheckIndex(int32_t aIndex) const {
    if (aIndex < 0 || aIndex >= blCount) IndexError(aIndex);
  }

  PqdPointerArray blList = nullptr;
  bool blUseData = false;
  bool blFreeDataObjects = false;
  PqdPointerArray blData = nullptr;
  int32_t blCount = 0;
  int32_t blCapacity = 0;
  uint32_t blGeneration = 0;
};

class TqdWriteableList : public TqdBaseList {
 public:
  ~TqdWriteableList() override;

  virtual int32_t Add(void* aItem) = 0;
  virtual int32_t AddData(void* aItem, void* aData) = 0;

  // Refuses a value below Count or above qdMaxListSize.
  void SetCapacity(int32_t aNewCapacity);
  int32_t InitCapacity() const { return wlInitCapacity; }

  // Copies items and data through AddData when both lists carry data and
  // aList does not own its data objects; otherwise copies the items only
  // (through Add), so that no object gets two owners.
  void AddList(TqdBaseList* aList);
  // Frees the item's data object when the list owns them.
  void Delete(int32_t aIndex);
  // The index the item had, -1 when absent.
  int32_t Remove(void* aItem);
  // Removes the item without freeing its data; returns the data pointer
  // (nil without data), whose ownership passes to the caller.
  void* Release(int32_t aIndex);
  // nil when absent.
  void* Release(void* aItem);
  // Frees owned data objects, empties the list and returns the capacity to
  // the one given at creation.
  void Clear();

 protected:
  // aInitCapacity below 0 counts as 0; aFreeDataObjects only with aUseData.
  TqdWriteableList(int32_t aInitCapacity, bool aUseData, bool aFreeDataObjects);

  void Grow();
  void FreeDataObject(int32_t aIndex);
  // Opens a gap at aIndex (0..Count), growing when full; Count unchanged.
  void OpenGap(int32_t aIndex);

  int32_t wlInitCapacity = 0;
};

class TqdList : public TqdWriteableList {
 public:
  explicit TqdList(int32_t aInitCapacity = 0, bool aUseData = false, bool aFreeDataObjects = false)
      : TqdWriteableList(aInitCapacity, aUseData, aFreeDataObjects) {}

  // The first equal pointer from index 0; -1 when absent.
  int32_t IndexOf(void* aItem) override;
  // -1 when absent or when the list carries no data.
  int32_t IndexOfData(void* aData);
  int32_t Add(void* aItem) override;
  int32_t AddData(void* aItem, void* aData) override;
  // aIndex 0..Count; later items move up by one.
  void Insert(int32_t aIndex, void* aItem);
  void InsertData(int32_t aIndex, void* aItem, void* aData);
  // The Items setter; Generation changes only when the pointer differs.
  void liPut(int32_t aIndex, void* aItem);
  void SetItems(int32_t aIndex, void* aItem) { liPut(aIndex, aItem); }
  // False for equal indexes; true when anything was swapped.
  bool Exchange(int32_t aIndex1, int32_t aIndex2);
  // The item keeps its data.
  void Move(int32_t aCurIndex, int32_t aNewIndex);
  // New slots are nil; dropped owned data objects are freed top down.
  void SetCount(int32_t aNewCount);
  // Removes the nil items (freeing their owned data objects).
  void Pack();
  void Sort(TListSortCompare aCompare);
};

class TqdSortedList : public TqdWriteableList {
 public:
  explicit TqdSortedList(int32_t aInitCapacity = 0, bool aUseData = false, bool aFreeDataObjects = false)
      : TqdWriteableList(aInitCapacity, aUseData, aFreeDataObjects) {}

  // Binary search; aIndex is the match or else the insertion point.
  // Raises EqdSortedListException while sorting is suspended.
  bool Find(void* aItem, int32_t& aIndex);
  int32_t IndexOf(void* aItem) override;
  // An item equal to one in the list is not added again (nor is its data
  // stored): the existing index is returned. While sorting is suspended
  // items are appended, duplicates included.
  int32_t Add(void* aItem) override;
  int32_t AddData(void* aItem, void* aData) override;

  void SuspendSorting();
  // Sorts the list when the last suspension ends and items were appended.
  void ResumeSorting();
  bool SortingSuspended() const { return slSuspendCount > 0; }

  // The order: negative, 0 or positive. By default the pointers compared
  // as unsigned addresses.
  virtual int8_t slCompare(void* aItem1, void* aItem2);

 private:
  int32_t slSuspendCount = 0;
  bool slModified = false;
};

// Owns its list and runs each operation under its own access; an exception
// leaves the access before it propagates.
class TqdListSyncAccess : public TqdObject {
 public:
  explicit TqdListSyncAccess(TqdWriteableList* aList);
  ~TqdListSyncAccess() override;

  // Reading is exclusive at this level.
  virtual TqdBaseList* BeginRead();
  virtual void EndRead();
  virtual TqdWriteableList* BeginWrite() = 0;
  virtual void EndWrite() = 0;

  int32_t Add(void* aItem);
  int32_t AddData(void* aItem, void* aData);
  void AddList(TqdBaseList* aList);
  // Source read access first, then this wrapper's write access.
  void AddList(TqdListSyncAccess* aList);
  void Clear();
  bool Remove(void* aItem);
  void* Release(void* aItem);
  int32_t Count();

 protected:
  TqdWriteableList* lsaList;
};

class TqdListPortal : public TqdListSyncAccess {
 public:
  explicit TqdListPortal(TqdWriteableList* aList);
  ~TqdListPortal() override;

  // The portal is entered in one call and left in another, which the
  // static lock analysis cannot follow.
  TqdBaseList* BeginRead() override QD_NO_THREAD_SAFETY_ANALYSIS;
  void EndRead() override QD_NO_THREAD_SAFETY_ANALYSIS;
  TqdWriteableList* BeginWrite() override QD_NO_THREAD_SAFETY_ANALYSIS;
  void EndWrite() override QD_NO_THREAD_SAFETY_ANALYSIS;

 private:
  TqdInternalReadWritePortal* lptPortal;
};

class TqdListPadlock : public TqdListSyncAccess {
 public:
  explicit TqdListPadlock(TqdWriteableList* aList);
  ~TqdListPadlock() override;

  TqdWriteableList* BeginWrite() override QD_NO_THREAD_SAFETY_ANALYSIS;
  void EndWrite() override QD_NO_THREAD_SAFETY_ANALYSIS;

 private:
  TqdPadlock* lplPadlock;
};

class TqdFastStringList : public TqdStringList {
 public:
  TqdFastStringList() = default;
  // CreateSorted: Duplicates := aDups, then Sorted := True.
  explicit TqdFastStringList(TDuplicates aDups);

  using TqdStringList::Clear;
  // Frees the object of every string first when aFreeObjects.
  virtual void Clear(bool aFreeObjects);

 protected:
  int CompareStrings(qdStringView aLeft, qdStringView aRight) const override;
};

// Always case-sensitive.
class TqdFastStringListCS : public TqdFastStringList {
 public:
  TqdFastStringListCS() { SetCaseSensitive(true); }
  explicit TqdFastStringListCS(TDuplicates aDups);

 protected:
  int CompareStrings(qdStringView aLeft, qdStringView aRight) const override;
};

// Always ignores ASCII letter case.
class TqdFastStringListIC : public TqdFastStringList {
 public:
  using TqdFastStringList::TqdFastStringList;

 protected:
  int CompareStrings(qdStringView aLeft, qdStringView aRight) const override;
};

}  // namespace qd
