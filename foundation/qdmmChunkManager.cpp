#include "foundation/qdmmChunkManager.h"

#include <new>

#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr uintptr_t kDirectoryEntries = uintptr_t{1} << 13;
constexpr size_t kLeafBytes = (uintptr_t{1} << 13) * sizeof(uint16_t);
constexpr size_t kDirectoryBytes = kDirectoryEntries * sizeof(uint16_t*);
constexpr size_t kRecordTableBytes = sizeof(TqdChunkRecord) * qdMaxChunks;

size_t roundToGranularity(size_t aSize) {
  return (aSize + qdAllocationGranularity - 1) & ~(qdAllocationGranularity - 1);
}

// Reserved and committed in one step; nil on failure.
void* takeCommitted(IqdVirtualMemory& aMemory, size_t aSize) {
  aSize = roundToGranularity(aSize);
  void* memory = aMemory.Reserve(aSize, qdAllocationGranularity);
  if (memory == nullptr) return nullptr;
  if (!aMemory.Commit(memory, aSize)) {
    (void)aMemory.Release(memory, aSize);  // nothing more to do when that fails too
    return nullptr;
  }
  return memory;
}

void giveBack(IqdVirtualMemory& aMemory, void* aMemoryBlock, size_t aSize) {
  if (aMemoryBlock != nullptr) (void)aMemory.Release(aMemoryBlock, roundToGranularity(aSize));  // shut-down
}

}  // namespace

TqdChunkManager::TqdChunkManager(IqdVirtualMemory& aMemory) : fMemory(aMemory) {
  qdListHeadInit(fReservedHead);
  qdListHeadInit(fUsedHead);
  fFreeNumbers.Clear();
  fSpareChunks.Clear();
  fReleasedChunks.Clear();
}

TqdChunkManager::~TqdChunkManager() {
  if (fStarted) Stop();
}

void TqdChunkManager::Start() {
  if (fStarted) qdAssertFailed("qdmmChunkManager", "not started twice");
  fRecords = static_cast<TqdChunkRecord*>(takeCommitted(fMemory, kRecordTableBytes));
  fDirectory = static_cast<uint16_t**>(takeCommitted(fMemory, kDirectoryBytes));
  if (fRecords == nullptr || fDirectory == nullptr) {
    giveBack(fMemory, fRecords, kRecordTableBytes);
    giveBack(fMemory, fDirectory, kDirectoryBytes);
    fRecords = nullptr;
    fDirectory = nullptr;
    qdRaiseOutOfMemory();
  }
  // Fresh anonymous memory reads as zeros: every directory entry is empty;
  // a record is set up when its number is bound.
  fFreeNumbers.FillWords(TqdBitMap::kWordCount);
  fSpareChunks.Clear();
  fReleasedChunks.Clear();
  qdListHeadInit(fReservedHead);
  qdListHeadInit(fUsedHead);
  fReserveInUse = 0;
  fStarted = true;

  // The emergency reserve: address space only, committed when drawn on.
  for (auto& entry : fEntries) {
    entry.reNumber = -1;
    const int32_t number = fFreeNumbers.TakeHighest();
    if (number < 0) break;
    auto* base = static_cast<uint8_t*>(fMemory.Reserve(qdChunkSize, qdChunkSize));
    if (base == nullptr || !BindNumber(number, base)) {
      if (base != nullptr) (void)fMemory.Release(base, qdChunkSize);  // the reserve is only smaller
      fFreeNumbers.SetBit(number);
      continue;
    }
    entry.reNumber = number;
    qdListHeadPush(fReservedHead, &entry.reLink);
  }
}

void TqdChunkManager::Stop() {
  if (!fStarted) qdAssertFailed("qdmmChunkManager", "started before it stops");
  for (int32_t n = 0; n < qdMaxChunks; ++n) {
    if (fFreeNumbers.TestBit(n)) continue;
    TqdChunkRecord& record = fRecords[n];
    if (record.crBase != nullptr) (void)fMemory.Release(record.crBase, qdChunkSize);  // shut-down
  }
  for (uintptr_t i = 0; i < kDirectoryEntries; ++i) giveBack(fMemory, fDirectory[i], kLeafBytes);
  giveBack(fMemory, fDirectory, kDirectoryBytes);
  giveBack(fMemory, fRecords, kRecordTableBytes);
  fDirectory = nullptr;
  fRecords = nullptr;
  fFreeNumbers.Clear();
  fSpareChunks.Clear();
  fReleasedChunks.Clear();
  qdListHeadInit(fReservedHead);
  qdListHeadInit(fUsedHead);
  fReserveInUse = 0;
  fStarted = false;
}

uint16_t* TqdChunkManager::LeafFor(uintptr_t aKey, bool aCreate) {
  const uintptr_t slot = aKey >> kLeafBits;
  uint16_t* leaf = qdAtomicLoad(fDirectory[slot]);
  if (leaf != nullptr || !aCreate) return leaf;
  auto* fresh = static_cast<uint16_t*>(takeCommitted(fMemory, kLeafBytes));
  if (fresh == nullptr) return nullptr;
  uint16_t* winner = qdInterlockedCompareExchangePointer(fDirectory[slot], fresh, static_cast<uint16_t*>(nullptr));
  if (winner == nullptr) return fresh;
  giveBack(fMemory, fresh, kLeafBytes);
  return winner;
}

bool TqdChunkManager::BindNumber(int32_t aNumber, uint8_t* aBase) {
  const auto address = reinterpret_cast<uintptr_t>(aBase);
  if ((address >> kAddressBits) != 0) return false;
  const uintptr_t key = address >> qdChunkShift;
  uint16_t* leaf = LeafFor(key, true);
  if (leaf == nullptr) return false;
  TqdChunkRecord& record = fRecords[aNumber];
  record.crOwner = nullptr;
  record.crNumber = aNumber;
  record.crBase = aBase;
  record.crFree.Clear();
  record.crFreed.Clear();
  __atomic_store_n(&leaf[key & (kLeafEntries - 1)], static_cast<uint16_t>(aNumber + 1), __ATOMIC_RELEASE);
  return true;
}

void TqdChunkManager::UnbindNumber(int32_t aNumber) {
  TqdChunkRecord& record = fRecords[aNumber];
  const uintptr_t key = reinterpret_cast<uintptr_t>(record.crBase) >> qdChunkShift;
  if (uint16_t* leaf = LeafFor(key, false)) {
    __atomic_store_n(&leaf[key & (kLeafEntries - 1)], uint16_t{0}, __ATOMIC_RELEASE);
  }
  record.crBase = nullptr;
  record.crOwner = nullptr;
}

int32_t TqdChunkManager::NewChunk() {
  const int32_t number = fFreeNumbers.TakeHighest();
  if (number < 0) return -1;
  auto* base = static_cast<uint8_t*>(fMemory.Reserve(qdChunkSize, qdChunkSize));
  if (base != nullptr && fMemory.Commit(base, qdChunkSize) && BindNumber(number, base)) return number;
  if (base != nullptr) (void)fMemory.Release(base, qdChunkSize);  // the failure is reported as no chunk
  fFreeNumbers.SetBit(number);
  return -1;
}

int32_t TqdChunkManager::DrawOnReserve() {
  auto* entry = reinterpret_cast<TqdReserveEntry*>(qdListHeadPop(fReservedHead));
  if (entry == nullptr) return -1;
  const int32_t number = entry->reNumber;
  if (!fMemory.Commit(fRecords[number].crBase, qdChunkSize)) {
    qdListHeadPush(fReservedHead, &entry->reLink);
    return -1;
  }
  entry->reNumber = -1;
  qdInterlockedIncrement(fReserveInUse);
  qdListHeadPush(fUsedHead, &entry->reLink);
  return number;
}

int32_t TqdChunkManager::GetCommittedChunk() {
  for (int32_t attempt = 0;; ++attempt) {
    int32_t number = fSpareChunks.TakeHighest();
    if (number >= 0) return number;
    number = fReleasedChunks.TakeHighest();
    if (number >= 0) {
      if (fMemory.Commit(fRecords[number].crBase, qdChunkSize)) return number;
      fReleasedChunks.SetBit(number);
    } else {
      number = NewChunk();
      if (number >= 0) return number;
    }
    // The system refused: first ask the release thread to give back what it
    // can and try again, then draw on the emergency reserve.
    if (attempt == 0) {
      if (fHook != nullptr) fHook(fHookContext);
      continue;
    }
    return DrawOnReserve();
  }
}

int32_t TqdChunkManager::GetPhysicalChunk() { return -1; }

bool TqdChunkManager::FreeChunk(void* aChunk) {
  const auto address = reinterpret_cast<uintptr_t>(aChunk);
  if ((address & (qdChunkSize - 1)) != 0) return false;
  TqdChunkRecord* record = RecordOf(aChunk);
  if (record == nullptr || record->crBase != aChunk) return false;
  const int32_t number = record->crNumber;
  record->crOwner = nullptr;
  if (qdAtomicLoad(fReserveInUse) != 0) {
    // Refill the emergency reserve before anything becomes spare.
    auto* entry = reinterpret_cast<TqdReserveEntry*>(qdListHeadPop(fUsedHead));
    if (entry != nullptr) {
      if (fMemory.Decommit(aChunk, qdChunkSize)) {
        entry->reNumber = number;
        qdInterlockedDecrement(fReserveInUse);
        qdListHeadPush(fReservedHead, &entry->reLink);
      } else {
        qdListHeadPush(fUsedHead, &entry->reLink);
        (void)fMemory.Release(aChunk, qdChunkSize);  // the number is free again either way
        UnbindNumber(number);
        fFreeNumbers.SetBit(number);
      }
      return true;
    }
  }
  return fSpareChunks.SetBit(number);
}

void TqdChunkManager::ReleaseSpareChunks() {
  for (;;) {
    const int32_t number = fSpareChunks.TakeHighest();
    if (number < 0) return;
    if (!fMemory.Decommit(fRecords[number].crBase, qdChunkSize)) {
      fSpareChunks.SetBit(number);
      return;
    }
    fReleasedChunks.SetBit(number);
  }
}

int32_t TqdChunkManager::ReserveLeft() const {
  int32_t count = 0;
  for (const TqdListEntry* entry = qdAtomicLoad(fReservedHead.lhFirst); entry != nullptr; entry = entry->leNext) {
    ++count;
  }
  return count;
}

void TqdChunkManager::SetReleaseMemoryHook(TqdReleaseMemoryHook aHook, void* aContext) {
  fHookContext = aContext;
  fHook = aHook;
}

namespace {

int32_t countBits(const TqdBitMap& aMap) {
  int32_t count = 0;
  for (const auto& word : aMap.bmWords) count += __builtin_popcountll(qdAtomicLoad(word));
  return count;
}

}  // namespace

int32_t TqdChunkManager::SpareCount() const { return countBits(fSpareChunks); }

int32_t TqdChunkManager::ReleasedCount() const { return countBits(fReleasedChunks); }

int32_t TqdChunkManager::BoundCount() const { return qdMaxChunks - countBits(fFreeNumbers); }

}  // namespace qd
