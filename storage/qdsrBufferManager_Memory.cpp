// The cache's memory: the budget, eviction of committed images, temporary
// storage and the statistics rows.
#include <chrono>
#include <string>

#include "platform/qdMemoryStatus.h"
#include "storage/qdsrBufferManager.h"

namespace qd {

namespace {

constexpr uint64_t kMB = 1048576;

uint32_t tickCount() {
  return uint32_t(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

qdString decimal(uint64_t aValue) { return Utf8ToString(std::to_string(aValue)); }
qdString kbyte(uint64_t aValue) { return Utf8ToString(std::to_string(aValue) + " kbyte"); }

}  // namespace

// --- Budget ----------------------------------------------------------------------------

int32_t TqdBufferManager::MaxRAM() {
  TqdCacheLockGuard guard(this);
  return bmMaxRAM;
}

void TqdBufferManager::SetMaxRAM(int32_t aMegabytes) {
  TqdCacheLockGuard guard(this);
  // Physical-memory mode is not available: everything is mapped.
  int64_t maxRAM = std::min<int64_t>(aMegabytes, 1536);
  TqdMemoryStatus status;
  (void)qdGetMemoryStatus(status);  // a failed reading leaves zeros, as the older status call would
  const int64_t totalPhys = int64_t(status.TotalPhys / kMB);
  const int64_t totalVirtual = int64_t(status.TotalVirtual / kMB);
  maxRAM = std::min(maxRAM, totalPhys * 8 / 10);
  const int64_t virtualMB = std::clamp<int64_t>(totalVirtual - 1024, 16, 1536);
  const int64_t mapped = std::max<int64_t>(0, std::min(maxRAM, virtualMB));
  bmMaxRAM = int32_t(maxRAM);
  bmMaxPages[0] = bmMaxPages[1] = uint32_t(mapped * 128);
}

uint32_t TqdBufferManager::MappedBudgetPages() {
  TqdCacheLockGuard guard(this);
  return bmMaxPages[0] + bmMaxPages[1];
}

int64_t TqdBufferManager::AvailableRAM() {
  TqdMemoryStatus status;
  if (!qdGetMemoryStatus(status)) status = TqdMemoryStatus();
  int64_t unused = 0;
  {
    TqdCacheLockGuard guard(this);
    unused = (int64_t(bmMaxPages[0]) + bmMaxPages[1] - int64_t(UsedMappedPages())) * 4096;
  }
  const int64_t byVirtual = std::max<int64_t>(0, int64_t(status.AvailVirtual) - unused - 268435456);
  const int64_t byPhysical = std::max<int64_t>(0, int64_t(status.AvailPhys) - unused - 33554432);
  return std::min(byVirtual, byPhysical);
}

// --- Temporary storage ------------------------------------------------------------------

int32_t TqdBufferManager::TempStoreSize() {
  TqdCacheLockGuard guard(this);
  return int32_t(bmTempStorage->GetSize() / int64_t(kMB));
}

void TqdBufferManager::SetTempStoreSize(int32_t aValue) {
  TqdCacheLockGuard guard(this);
  bmTempStorage.reset();
  TqdTempStorageClass cls = qdTempStorageClass.load();
  if (aValue > 0 && cls != nullptr) {
    try {
      bmTempStorage = cls->tsCreate(bmTempDir);
    } catch (...) {
      bmTempStorage = std::make_unique<TqdNullTempStorage>();
      throw;
    }
    if (bmTempStorage) return;
  }
  bmTempStorage = std::make_unique<TqdNullTempStorage>();
}

TqdBaseTempStorage* TqdBufferManager::TempStorage() {
  TqdCacheLockGuard guard(this);
  return bmTempStorage.get();
}

// --- Eviction ---------------------------------------------------------------------------

void TqdBufferManager::CountUse(TqdReadOnlyBlock* aBlock, bool aCached) {
  if (aCached)
    ++bmBlockCacheHit;
  else if (!aBlock->robNew)
    ++bmBlockCacheMiss;
  // The most recently used version goes to the tail; eviction starts at
  // the head.
  if (aBlock == bmInUseListTail) return;
  if (aBlock->robInUsePrev != nullptr)
    aBlock->robInUsePrev->robInUseNext = aBlock->robInUseNext;
  else
    bmInUseListHead = aBlock->robInUseNext;
  aBlock->robInUseNext->robInUsePrev = aBlock->robInUsePrev;
  aBlock->robInUseNext = nullptr;
  aBlock->robInUsePrev = bmInUseListTail;
  bmInUseListTail->robInUseNext = aBlock;
  bmInUseListTail = aBlock;
}

void TqdBufferManager::bmRemoveExcessBlocks(bool aForceMapped, bool) {
  // Commit and rollback force a pass; a pass that freed nothing keeps only
  // unforced passes away.
  (void)RemoveExcessMapped(aForceMapped);
}

bool TqdBufferManager::RemoveExcessMapped(bool aForce) {
  const uint32_t budget = bmMaxPages[0] + bmMaxPages[1];
  if (UsedMappedPages() <= budget) return false;
  const uint32_t start = tickCount();
  if (!aForce && bmLastCheckFailed != 0 && start - bmLastCheckFailed <= 1000) return false;
  bool freedAny = false;
  for (TqdReadOnlyBlock* block = bmInUseListHead; block != nullptr && UsedMappedPages() > budget;) {
    TqdReadOnlyBlock* next = block->robInUseNext;
    TqdBaseFile* file = block->robFile;
    // What must stay: an image someone holds, reads or waits for, one not
    // yet written to its file, block 0, a block without a disk image, and
    // every block of a temporary file (with no storage to move it to, its
    // memory is its only copy).
    const bool keep = block->CacheBlock() == nullptr || qdAtomicLoad(block->robRefCount) != 0 ||
                      block->robWaiting != 0 || block->robLoading || block->robUnwritten || block->robNew ||
                      block->robBlockNum == 0 || file->fiAttributes.Contains(qdfaTemporary) ||
                      file->fiAttributes.Contains(qdfaMemTable);
    if (!keep) {
      if (block->Dirty() || block->robTrans != nullptr || block->robSnapShotBlockHead != nullptr ||
          block->robSnapShotLinkHead != nullptr)
        block->RetireOrFree(block->ReleaseCacheBlock());
      else
        RemoveBlock(block);
      ++bmBlockCacheEvict;
      freedAny = true;
      if (!aForce && tickCount() - start > 150) break;
    }
    block = next;
  }
  // A pass that freed nothing is not repeated for a while unless forced;
  // 0 means "freed", so the tick stored is never 0.
  bmLastCheckFailed = freedAny ? 0 : (start == 0 ? 1 : start);
  return freedAny;
}

// --- Statistics -------------------------------------------------------------------------

uint64_t TqdBufferManager::CacheHits() {
  TqdCacheLockGuard guard(this);
  return bmBlockCacheHit;
}

uint64_t TqdBufferManager::CacheMisses() {
  TqdCacheLockGuard guard(this);
  return bmBlockCacheMiss;
}

uint64_t TqdBufferManager::CacheEvictions() {
  TqdCacheLockGuard guard(this);
  return bmBlockCacheEvict;
}

namespace {

// The captions of the cache's own rows; without physical-memory mode the
// infix of the mapped rows is a single space.
const char16_t* const kCacheCaptions[] = {
    u"AWE Edition",
    u"Block Cache Available",
    u"Block Cache Used",
    u"Block Cache Miss",
    u"Block Cache Hit ",
    u"Block Cache Eviction ",
    u"Transactions Commited",
    u"Transactions Commited Nested",
    u"Transactions Rolledback",
    u"Transactions Rolledback Nested",
    u"Transactions Deadlocked",
    u"Transactions Corrupted",
    u"Blocks Read",
    u"Blocks Written",
};

qdString aweEdition() { return qdPhysicalBlocksEnabled() ? u"Yes, Inactive" : u"No"; }

void tempStorageCaptions(TqdStringList& aList) {
  TqdTempStorageClass cls = qdTempStorageClass.load();
  if (cls != nullptr)
    cls->tsGetStatsCaptions(aList);
  else
    TqdBaseTempStorage::GetStatsCaptions(aList);
}

}  // namespace

void TqdBufferManager::GetStatsCaptions(TqdStringList& aList) {
  for (const char16_t* caption : kCacheCaptions) aList.Add(caption);
  tempStorageCaptions(aList);
}

void TqdBufferManager::GetStatsValues(TqdStringList& aList) {
  TqdCacheLockGuard guard(this);
  aList.Add(aweEdition());
  aList.Add(kbyte(uint64_t(bmMaxPages[0] + bmMaxPages[1]) * 4));
  aList.Add(kbyte(uint64_t(UsedMappedPages()) * 4));
  aList.Add(decimal(bmBlockCacheMiss));
  aList.Add(decimal(bmBlockCacheHit));
  aList.Add(decimal(bmBlockCacheEvict));
  aList.Add(decimal(bmTransCounts.tcCommit));
  aList.Add(decimal(bmTransCounts.tcNestedCommit));
  aList.Add(decimal(bmTransCounts.tcRollback));
  aList.Add(decimal(bmTransCounts.tcNestedRollback));
  aList.Add(decimal(bmTransCounts.tcDeadlock));
  aList.Add(decimal(bmTransCounts.tcCorrupted));
  aList.Add(decimal(BlocksRead()));
  aList.Add(decimal(BlocksWritten()));
  // The storage's own values when it is of the process's class, else that
  // class's values for a storage that does not run.
  TqdTempStorageClass cls = qdTempStorageClass.load();
  const bool nullStorage = dynamic_cast<TqdNullTempStorage*>(bmTempStorage.get()) != nullptr;
  if (cls != nullptr && !nullStorage)
    bmTempStorage->GetStatsValues(aList);
  else if (cls != nullptr)
    cls->tsGetStatsValuesStatic(aList);
  else
    bmTempStorage->GetStatsValues(aList);
}

void TqdBufferManager::GetStatsValuesStatic(TqdStringList& aList) {
  aList.Add(aweEdition());
  aList.Add(u"0 kbyte");
  aList.Add(u"0 kbyte");
  for (int row = 0; row < 11; ++row) aList.Add(u"0");
  TqdTempStorageClass cls = qdTempStorageClass.load();
  if (cls != nullptr)
    cls->tsGetStatsValuesStatic(aList);
  else
    TqdBaseTempStorage::GetStatsValuesStatic(aList);
}

}  // namespace qd
