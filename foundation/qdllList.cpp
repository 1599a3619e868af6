#include "foundation/qdllList.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "foundation/qdllFastCode.h"
#include "foundation/qdllSync.h"
#include "foundation/qdllSyncPortal.h"

namespace qd {

namespace {

const char16_t kListIndexError[] = u"リストのインデックスが範囲を超えています (%d)";
const char16_t kListCapacityError[] = u"リストの容量が超えました (%d)";
const char16_t kListCountError[] = u"リストの個数を超えました (%d)";
const char16_t kFindWhileSuspended[] = u"Find is not supported while sorting is suspended.";

qdString formatWithInteger(const char16_t* aMessage, int32_t aData) {
  qdString text(aMessage);
  const size_t at = text.find(u"%d");
  if (at != qdString::npos) text.replace(at, 2, AsciiToString(std::to_string(aData)));
  return text;
}

void moveSlots(PqdPointerArray aArray, int32_t aFrom, int32_t aTo, int32_t aCount) {
  // At most qdMaxListSize pointers: the byte count fits in 32 bits.
  if (aCount > 0) qdMove(aArray + aFrom, aArray + aTo, aCount * static_cast<int32_t>(sizeof(void*)));
}

void freeDataObject(void* aData) { delete static_cast<TqdObject*>(aData); }

// Sorts low..high of the item array (and the data array beside it, when
// given) around the middle element; reports whether anything was exchanged,
// an element exchanged with itself included. The smaller part is sorted by
// recursion and the larger one by the loop, so the depth stays logarithmic
// whatever the input.
template <typename Compare>
bool quickSort(PqdPointerArray aItems, PqdPointerArray aData, int32_t aLow, int32_t aHigh, Compare aCompare) {
  bool exchanged = false;
  while (aLow < aHigh) {
    int32_t i = aLow;
    int32_t j = aHigh;
    int32_t pivot = static_cast<int32_t>((static_cast<uint32_t>(aLow) + static_cast<uint32_t>(aHigh)) >> 1);
    do {
      while (aCompare(aItems[i], aItems[pivot]) < 0) ++i;
      while (aCompare(aItems[j], aItems[pivot]) > 0) --j;
      if (i <= j) {
        if (i != j) {
          std::swap(aItems[i], aItems[j]);
          if (aData != nullptr) std::swap(aData[i], aData[j]);
        }
        exchanged = true;
        if (pivot == i) {
          pivot = j;
        } else if (pivot == j) {
          pivot = i;
        }
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - aLow < aHigh - i) {
      if (aLow < j && quickSort(aItems, aData, aLow, j, aCompare)) exchanged = true;
      aLow = i;
    } else {
      if (i < aHigh && quickSort(aItems, aData, i, aHigh, aCompare)) exchanged = true;
      aHigh = j;
    }
  }
  return exchanged;
}

}  // namespace

// --- TqdBaseList -------------------------------------------------------------

void TqdBaseList::Error(const char16_t* aMessage, int32_t aData) {
  throw EListError(formatWithInteger(aMessage, aData));
}

void TqdBaseList::IndexError(int32_t aIndex) const { Error(kListIndexError, aIndex); }

void* TqdBaseList::blGet(int32_t aIndex) const {
  CheckIndex(aIndex);
  return blList[aIndex];
}

void* TqdBaseList::First() const { return blCount > 0 ? blList[0] : nullptr; }

void* TqdBaseList::Last() const { return blCount > 0 ? blList[blCount - 1] : nullptr; }

void TqdBaseList::CheckInvariants() const {
  if (blCount < 0 || blCount > blCapacity || blCapacity > qdMaxListSize)
    qdAssertFailed("qdllList", "0 <= Count <= Capacity <= qdMaxListSize");
  if ((blCapacity > 0) != (blList != nullptr)) qdAssertFailed("qdllList", "items allocated exactly with a capacity");
  if (blUseData ? (blCapacity > 0) != (blData != nullptr) : (blData != nullptr || blFreeDataObjects))
    qdAssertFailed("qdllList", "a data array exactly beside an allocated item array of a list with data");
}

// --- TqdWriteableList --------------------------------------------------------

TqdWriteableList::TqdWriteableList(int32_t aInitCapacity, bool aUseData, bool aFreeDataObjects) {
  blUseData = aUseData;
  blFreeDataObjects = aUseData && aFreeDataObjects;
  wlInitCapacity = aInitCapacity < 0 ? 0 : aInitCapacity;
  if (wlInitCapacity > 0) SetCapacity(wlInitCapacity);
}

TqdWriteableList::~TqdWriteableList() {
  wlInitCapacity = 0;
  Clear();
}

void TqdWriteableList::SetCapacity(int32_t aNewCapacity) {
  if (aNewCapacity < blCount || aNewCapacity > qdMaxListSize) Error(kListCapacityError, aNewCapacity);
  if (aNewCapacity == blCapacity) return;
  const size_t bytes = static_cast<size_t>(aNewCapacity) * sizeof(void*);
  if (aNewCapacity > blCapacity) {
    // A failure leaves the old capacity in force: a larger item array on
    // its own is harmless.
    qdReallocMem(blList, bytes);
    if (blUseData) qdReallocMem(blData, bytes);
  } else {
    // Shrinking: the capacity drops first, so arrays left larger by a
    // failure are harmless too.
    blCapacity = aNewCapacity;
    qdReallocMem(blList, bytes);
    if (blUseData) qdReallocMem(blData, bytes);
  }
  blCapacity = aNewCapacity;
}

void TqdWriteableList::Grow() {
  int32_t delta;
  if (blCapacity > 64) {
    delta = blCapacity / 4;
  } else if (blCapacity > 8) {
    delta = 16;
  } else {
    delta = 4;
  }
  int32_t newCapacity = blCapacity + delta;
  if (newCapacity > qdMaxListSize) newCapacity = qdMaxListSize;
  if (newCapacity == blCapacity) Error(kListCapacityError, blCapacity + delta);
  SetCapacity(newCapacity);
}

void TqdWriteableList::FreeDataObject(int32_t aIndex) {
  void* data = blData[aIndex];
  blData[aIndex] = nullptr;
  freeDataObject(data);
}

void TqdWriteableList::OpenGap(int32_t aIndex) {
  if (blCount == blCapacity) Grow();
  moveSlots(blList, aIndex, aIndex + 1, blCount - aIndex);
  if (blUseData) moveSlots(blData, aIndex, aIndex + 1, blCount - aIndex);
}

void TqdWriteableList::AddList(TqdBaseList* aList) {
  const int32_t count = aList->Count();
  if (blUseData && aList->UseData() && !aList->FreeDataObjects()) {
    for (int32_t i = 0; i < count; ++i) AddData(aList->List()[i], aList->Data()[i]);
  } else {
    for (int32_t i = 0; i < count; ++i) Add(aList->List()[i]);
  }
}

void TqdWriteableList::Delete(int32_t aIndex) {
  CheckIndex(aIndex);
  // The data object is freed once the list is consistent again, so that a
  // destructor that looks at (or raises past) the list finds it whole.
  void* data = blFreeDataObjects ? blData[aIndex] : nullptr;
  --blCount;
  ++blGeneration;
  moveSlots(blList, aIndex + 1, aIndex, blCount - aIndex);
  if (blUseData) moveSlots(blData, aIndex + 1, aIndex, blCount - aIndex);
  if (data != nullptr) freeDataObject(data);
}

int32_t TqdWriteableList::Remove(void* aItem) {
  const int32_t index = IndexOf(aItem);
  if (index >= 0) Delete(index);
  return index;
}

void* TqdWriteableList::Release(int32_t aIndex) {
  CheckIndex(aIndex);
  void* data = blUseData ? blData[aIndex] : nullptr;
  --blCount;
  ++blGeneration;
  moveSlots(blList, aIndex + 1, aIndex, blCount - aIndex);
  if (blUseData) moveSlots(blData, aIndex + 1, aIndex, blCount - aIndex);
  return data;
}

void* TqdWriteableList::Release(void* aItem) {
  const int32_t index = IndexOf(aItem);
  return index < 0 ? nullptr : Release(index);
}

void TqdWriteableList::Clear() {
  if (blCount > 0) {
    if (blFreeDataObjects) {
      for (int32_t i = 0; i < blCount; ++i) FreeDataObject(i);
    }
    ++blGeneration;
  }
  blCount = 0;
  SetCapacity(wlInitCapacity);
}

// --- TqdList -----------------------------------------------------------------

int32_t TqdList::IndexOf(void* aItem) {
  for (int32_t i = 0; i < blCount; ++i) {
    if (blList[i] == aItem) return i;
  }
  return -1;
}

int32_t TqdList::IndexOfData(void* aData) {
  if (!blUseData) return -1;
  for (int32_t i = 0; i < blCount; ++i) {
    if (blData[i] == aData) return i;
  }
  return -1;
}

int32_t TqdList::Add(void* aItem) { return AddData(aItem, nullptr); }

int32_t TqdList::AddData(void* aItem, void* aData) {
  const int32_t index = blCount;
  InsertData(index, aItem, aData);
  return index;
}

void TqdList::Insert(int32_t aIndex, void* aItem) { InsertData(aIndex, aItem, nullptr); }

void TqdList::InsertData(int32_t aIndex, void* aItem, void* aData) {
  if (aIndex < 0 || aIndex > blCount) IndexError(aIndex);
  OpenGap(aIndex);
  blList[aIndex] = aItem;
  if (blUseData) blData[aIndex] = aData;
  ++blCount;
  ++blGeneration;
}

void TqdList::liPut(int32_t aIndex, void* aItem) {
  CheckIndex(aIndex);
  if (blList[aIndex] != aItem) {
    blList[aIndex] = aItem;
    ++blGeneration;
  }
}

bool TqdList::Exchange(int32_t aIndex1, int32_t aIndex2) {
  CheckIndex(aIndex1);
  CheckIndex(aIndex2);
  if (aIndex1 == aIndex2) return false;
  bool swapped = false;
  if (blList[aIndex1] != blList[aIndex2]) {
    std::swap(blList[aIndex1], blList[aIndex2]);
    swapped = true;
  }
  if (blUseData && blData[aIndex1] != blData[aIndex2]) {
    std::swap(blData[aIndex1], blData[aIndex2]);
    swapped = true;
  }
  if (swapped) ++blGeneration;
  return swapped;
}

void TqdList::Move(int32_t aCurIndex, int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  CheckIndex(aNewIndex);
  void* item = blGet(aCurIndex);
  void* data = Release(aCurIndex);
  InsertData(aNewIndex, item, data);
}

void TqdList::SetCount(int32_t aNewCount) {
  if (aNewCount == blCount) return;
  if (aNewCount < 0 || aNewCount > qdMaxListSize) Error(kListCountError, aNewCount);
  if (aNewCount > blCapacity) SetCapacity(aNewCount);
  if (aNewCount > blCount) {
    const size_t bytes = static_cast<size_t>(aNewCount - blCount) * sizeof(void*);
    std::memset(blList + blCount, 0, bytes);
    if (blUseData) std::memset(blData + blCount, 0, bytes);
    blCount = aNewCount;
  } else if (blFreeDataObjects) {
    while (blCount > aNewCount) {
      --blCount;
      FreeDataObject(blCount);
    }
  } else {
    blCount = aNewCount;
  }
  ++blGeneration;
}

void TqdList::Pack() {
  int32_t kept = 0;
  for (int32_t i = 0; i < blCount; ++i) {
    if (blList[i] == nullptr) {
      if (blFreeDataObjects) FreeDataObject(i);
      continue;
    }
    if (kept != i) {
      blList[kept] = blList[i];
      if (blUseData) blData[kept] = blData[i];
    }
    ++kept;
  }
  if (kept != blCount) {
    blCount = kept;
    ++blGeneration;
  }
}

void TqdList::Sort(TListSortCompare aCompare) {
  if (blCount < 2) return;
  if (quickSort(blList, blUseData ? blData : nullptr, 0, blCount - 1, aCompare)) ++blGeneration;
}

// --- TqdSortedList -----------------------------------------------------------

int8_t TqdSortedList::slCompare(void* aItem1, void* aItem2) {
  const auto a = reinterpret_cast<uintptr_t>(aItem1);
  const auto b = reinterpret_cast<uintptr_t>(aItem2);
  return a > b ? 1 : (a == b ? 0 : -1);
}

bool TqdSortedList::Find(void* aItem, int32_t& aIndex) {
  if (slSuspendCount > 0) throw EqdSortedListException(qdStringView(kFindWhileSuspended));
  int32_t low = 0;
  int32_t high = blCount - 1;
  while (low <= high) {
    const int32_t middle = static_cast<int32_t>((static_cast<uint32_t>(low) + static_cast<uint32_t>(high)) >> 1);
    // Judged by the sign: an override may return any negative or positive.
    const int8_t order = slCompare(blList[middle], aItem);
    if (order < 0) {
      low = middle + 1;
    } else if (order > 0) {
      high = middle - 1;
    } else {
      aIndex = middle;
      return true;
    }
  }
  aIndex = low;
  return false;
}

int32_t TqdSortedList::IndexOf(void* aItem) {
  int32_t index;
  return Find(aItem, index) ? index : -1;
}

int32_t TqdSortedList::Add(void* aItem) { return AddData(aItem, nullptr); }

int32_t TqdSortedList::AddData(void* aItem, void* aData) {
  int32_t index;
  if (slSuspendCount > 0) {
    if (blCount == blCapacity) Grow();
    index = blCount;
    slModified = true;
  } else {
    if (Find(aItem, index)) return index;
    OpenGap(index);
  }
  blList[index] = aItem;
  if (blUseData) blData[index] = aData;
  ++blCount;
  ++blGeneration;
  return index;
}

void TqdSortedList::SuspendSorting() { ++slSuspendCount; }

void TqdSortedList::ResumeSorting() {
  if (--slSuspendCount != 0 || !slModified) return;
  slModified = false;
  if (blCount < 2) return;
  auto compare = [this](void* aItem1, void* aItem2) { return slCompare(aItem1, aItem2); };
  if (quickSort(blList, blUseData ? blData : nullptr, 0, blCount - 1, compare)) ++blGeneration;
}

// --- Synchronised access -----------------------------------------------------

namespace {

// Leaves the access on every path out of the operation.
template <typename Leave>
class AccessGuard {
 public:
  explicit AccessGuard(Leave aLeave) : fLeave(aLeave) {}
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  ~AccessGuard() { fLeave(); }

 private:
  Leave fLeave;
};

}  // namespace

TqdListSyncAccess::TqdListSyncAccess(TqdWriteableList* aList) : lsaList(aList) {}

TqdListSyncAccess::~TqdListSyncAccess() { qdFreeAndNil(lsaList); }

TqdBaseList* TqdListSyncAccess::BeginRead() { return BeginWrite(); }

void TqdListSyncAccess::EndRead() { EndWrite(); }

int32_t TqdListSyncAccess::Add(void* aItem) {
  TqdWriteableList* list = BeginWrite();
  AccessGuard leave([this] { EndWrite(); });
  return list->Add(aItem);
}

int32_t TqdListSyncAccess::AddData(void* aItem, void* aData) {
  TqdWriteableList* list = BeginWrite();
  AccessGuard leave([this] { EndWrite(); });
  return list->AddData(aItem, aData);
}

void TqdListSyncAccess::AddList(TqdBaseList* aList) {
  TqdWriteableList* list = BeginWrite();
  AccessGuard leave([this] { EndWrite(); });
  list->AddList(aList);
}

void TqdListSyncAccess::AddList(TqdListSyncAccess* aList) {
  TqdBaseList* source = aList->BeginRead();
  AccessGuard leaveSource([aList] { aList->EndRead(); });
  TqdWriteableList* list = BeginWrite();
  AccessGuard leave([this] { EndWrite(); });
  list->AddList(source);
}

void TqdListSyncAccess::Clear() {
  TqdWriteableList* list = BeginWrite();
  AccessGuard leave([this] { EndWrite(); });
  list->Clear();
}

bool TqdListSyncAccess::Remove(void* aItem) {
  TqdWriteableList* list = BeginWrite();
  AccessGuard leave([this] { EndWrite(); });
  return list->Remove(aItem) >= 0;
}

void* TqdListSyncAccess::Release(void* aItem) {
  TqdWriteableList* list = BeginWrite();
  AccessGuard leave([this] { EndWrite(); });
  return list->Release(aItem);
}

int32_t TqdListSyncAccess::Count() {
  TqdBaseList* list = BeginRead();
  AccessGuard leave([this] { EndRead(); });
  return list->Count();
}

TqdListPortal::TqdListPortal(TqdWriteableList* aList)
    : TqdListSyncAccess(aList), lptPortal(new TqdInternalReadWritePortal()) {}

TqdListPortal::~TqdListPortal() {
  // The portal outlives the list (freed by the base destructor).
  qdFreeAndNil(lsaList);
  qdFreeAndNil(lptPortal);
}

TqdBaseList* TqdListPortal::BeginRead() {
  lptPortal->BeginRead();
  return lsaList;
}

void TqdListPortal::EndRead() { lptPortal->EndRead(); }

TqdWriteableList* TqdListPortal::BeginWrite() {
  // A thread that holds no read access always gets write access; the
  // result only matters to a reader that upgrades.
  (void)lptPortal->BeginWrite();
  return lsaList;
}

void TqdListPortal::EndWrite() { lptPortal->EndWrite(); }

TqdListPadlock::TqdListPadlock(TqdWriteableList* aList) : TqdListSyncAccess(aList), lplPadlock(new TqdPadlock(false)) {}

TqdListPadlock::~TqdListPadlock() {
  qdFreeAndNil(lsaList);
  qdFreeAndNil(lplPadlock);
}

TqdWriteableList* TqdListPadlock::BeginWrite() {
  lplPadlock->Lock();
  return lsaList;
}

void TqdListPadlock::EndWrite() { lplPadlock->Unlock(); }

// --- Fast string lists -------------------------------------------------------

namespace {

// The run-time library's CompareStr: UTF-16 units, ordinal.
int compareStr(qdStringView aLeft, qdStringView aRight) {
  const int order = aLeft.compare(aRight);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

char16_t asciiUpper(char16_t aChar) {
  return aChar >= u'a' && aChar <= u'z' ? static_cast<char16_t>(aChar - 32) : aChar;
}

// The run-time library's CompareText: ordinal with ASCII letters folded.
int compareText(qdStringView aLeft, qdStringView aRight) {
  const size_t common = std::min(aLeft.size(), aRight.size());
  for (size_t i = 0; i < common; ++i) {
    const char16_t a = asciiUpper(aLeft[i]);
    const char16_t b = asciiUpper(aRight[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  return aLeft.size() < aRight.size() ? -1 : (aLeft.size() > aRight.size() ? 1 : 0);
}

}  // namespace

TqdFastStringList::TqdFastStringList(TDuplicates aDups) {
  SetDuplicates(aDups);
  SetSorted(true);
}

void TqdFastStringList::Clear(bool aFreeObjects) {
  if (aFreeObjects) {
    for (int32_t i = 0; i < Count(); ++i) {
      void* object = Objects(i);
      PutObject(i, nullptr);
      delete static_cast<TqdObject*>(object);
    }
  }
  Clear();
}

int TqdFastStringList::CompareStrings(qdStringView aLeft, qdStringView aRight) const {
  return CaseSensitive() ? compareStr(aLeft, aRight) : compareText(aLeft, aRight);
}

TqdFastStringListCS::TqdFastStringListCS(TDuplicates aDups) {
  SetCaseSensitive(true);
  SetDuplicates(aDups);
  SetSorted(true);
}

int TqdFastStringListCS::CompareStrings(qdStringView aLeft, qdStringView aRight) const {
  return compareStr(aLeft, aRight);
}

int TqdFastStringListIC::CompareStrings(qdStringView aLeft, qdStringView aRight) const {
  return compareText(aLeft, aRight);
}

}  // namespace qd
