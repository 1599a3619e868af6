#include "foundation/qdmmItemManager.h"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/qdSysUtils.h"

namespace qd {

using qdmmItemManager::TqdMemoryPool;
using qdmmItemManager::TqdPoolBlock;
using qdmmItemManager::TqdUnpagedArea;
using qdmmItemManager::TqdUnpagedObject;

namespace {

// Item sizes of the 62 pools, in the order they are created.
constexpr uint32_t kPoolSizes[qdPoolCount] = {
    4,    8,    16,   32,   48,   64,                                                      //
    96,   128,  160,  192,  224,  256,  288,  320,  352,  384,  416,   448,   480,   512,  //
    544,  576,  608,  640,  672,  704,  736,  768,  800,  832,  864,   896,   928,   960,  //
    992,  1024,                                                                            //
    1280, 1536, 1792, 2048, 2304, 2560, 2816, 3072, 3328, 3584, 3840,                      //
    4064, 4352, 4672, 5024, 5440, 5952, 6528, 7264, 8160, 9344, 10912, 13088, 16352, 21824, 32736};

constexpr size_t kUsableBlockLength = 65535;
constexpr size_t kFixedHeader = 32;
constexpr size_t kUnpagedAreaSize = 65536;
constexpr size_t kUnpagedGrain = 64;
constexpr uintptr_t kBlockMask = qdPoolBlockSize - 1;

// Pools of 8- to 1024-byte items (indexes 1 to 35) are cached per thread;
// the 4-byte items have no room for the cache's mark.
constexpr int32_t kCachedPools = 36;
// At most this many items per pool, and no more than 16 KB of them (a
// pool's cache limit); a full cache gives its older half back.
constexpr int32_t kCacheCapacity = 128;
constexpr uint32_t kCacheBytesPerPool = 16384;

bool isCachedPool(int32_t aIndex) { return static_cast<uint32_t>(aIndex - 1) < kCachedPools - 1; }

uint64_t readWord(const void* P) {
  uint64_t word;
  std::memcpy(&word, P, sizeof word);
  return word;
}

void writeWord(void* P, uint64_t aWord) { std::memcpy(P, &aWord, sizeof aWord); }

// Large blocks.
constexpr size_t kUnit = 65536;
constexpr uint32_t kMaxCapacityUnits = 32767;
constexpr int32_t kRadixLevels = 4;  // 32 key bits: 48-bit addresses >> 16
constexpr int32_t kAddressBits = 48;
constexpr size_t kRadixNodeBytes = 256 * sizeof(void*);

constexpr uint64_t kSequenceOne = uint64_t{1} << 32;

uint64_t load64(const uint64_t& aCell) { return __atomic_load_n(&aCell, __ATOMIC_ACQUIRE); }

bool compareExchange64(uint64_t& aCell, uint64_t& aExpected, uint64_t aDesired) {
  return __atomic_compare_exchange_n(&aCell, &aExpected, aDesired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

bool compareExchange32(uint32_t& aCell, uint32_t aExpected, uint32_t aDesired) {
  return __atomic_compare_exchange_n(&aCell, &aExpected, aDesired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

uint32_t* linkOf(void* aItem) { return static_cast<uint32_t*>(aItem); }

TqdPoolBlock* blockOf(const void* P) {
  return reinterpret_cast<TqdPoolBlock*>(reinterpret_cast<uintptr_t>(P) & ~kBlockMask);
}

TqdPoolBlock* asBlock(PqdListEntry aEntry) { return reinterpret_cast<TqdPoolBlock*>(aEntry); }

// Takes up to aCount items off a block's free list with one
// compare-exchange (the holder is the only thread that takes items, so the
// links it walks stay put); *aLast tells whether the list is now empty.
int32_t popItems(TqdPoolBlock* aBlock, void** aItems, int32_t aCount, bool* aLast) {
  auto* bytes = reinterpret_cast<uint8_t*>(aBlock);
  uint64_t head = load64(aBlock->pbFreeHead);
  for (;;) {
    uint32_t offset = static_cast<uint32_t>(head);
    int32_t taken = 0;
    while (taken < aCount && offset != 0) {
      aItems[taken++] = bytes + offset;
      offset = __atomic_load_n(linkOf(bytes + offset), __ATOMIC_RELAXED);
    }
    if (taken == 0) {
      *aLast = true;
      return 0;
    }
    const uint64_t fresh = ((head & ~uint64_t{0xFFFFFFFF}) + kSequenceOne) | offset;
    if (compareExchange64(aBlock->pbFreeHead, head, fresh)) {
      *aLast = offset == 0;
      return taken;
    }
  }
}

void pushItem(TqdPoolBlock* aBlock, void* aItem) {
  const auto offset = static_cast<uint32_t>(static_cast<uint8_t*>(aItem) - reinterpret_cast<uint8_t*>(aBlock));
  uint64_t head = load64(aBlock->pbFreeHead);
  for (;;) {
    __atomic_store_n(linkOf(aItem), static_cast<uint32_t>(head), __ATOMIC_RELAXED);
    const uint64_t fresh = ((head & ~uint64_t{0xFFFFFFFF}) + kSequenceOne) | offset;
    if (compareExchange64(aBlock->pbFreeHead, head, fresh)) return;
  }
}

bool hasFreeItem(const TqdPoolBlock* aBlock) { return static_cast<uint32_t>(load64(aBlock->pbFreeHead)) != 0; }

// The shard of the pools' partial lists the calling thread uses: the one
// with the fewest live threads when the thread first needs one, so a new
// thread takes over the blocks of threads that have ended.
constexpr int32_t kShards = TqdMemoryPool::kShards;
std::atomic<int32_t> gShardThreads[kShards];
std::atomic<uint32_t> gNextShard{0};
thread_local int32_t tlShard = -1;

struct TqdShardLease {
  int32_t slShard = -1;
  ~TqdShardLease() {
    if (slShard >= 0) gShardThreads[slShard].fetch_sub(1, std::memory_order_relaxed);
  }
};
thread_local TqdShardLease tlShardLease;

[[gnu::noinline]] int32_t assignShard() {
  // Ties go round, so threads started together spread out.
  const uint32_t first = gNextShard.fetch_add(1, std::memory_order_relaxed);
  int32_t best = -1;
  int32_t fewest = 0;
  for (int32_t i = 0; i < kShards; ++i) {
    const auto shard = static_cast<int32_t>((first + static_cast<uint32_t>(i)) % kShards);
    const int32_t threads = gShardThreads[shard].load(std::memory_order_relaxed);
    if (best < 0 || threads < fewest) {
      best = shard;
      fewest = threads;
    }
  }
  gShardThreads[best].fetch_add(1, std::memory_order_relaxed);
  tlShardLease.slShard = best;
  tlShard = best;
  return best;
}

int32_t threadShard() { return tlShard >= 0 ? tlShard : assignShard(); }

bool shardIdle(int32_t aShard) { return gShardThreads[aShard].load(std::memory_order_relaxed) == 0; }

// --- Per-thread item caches -----------------------------------------------

struct TqdThreadItemCache {
  TqdItemManager* tcManager;
  uint32_t tcCount[kCachedPools];
  void* tcItems[kCachedPools][kCacheCapacity];
};

constexpr size_t kCacheBytes = (sizeof(TqdThreadItemCache) + qdPageSize - 1) & ~(qdPageSize - 1);

thread_local TqdThreadItemCache* tlCache = nullptr;
TqdItemManager* gCachingManager = nullptr;
pthread_key_t gCacheKey;
std::once_flag gCacheKeyOnce;

// Never raises: it also runs when a thread ends.
void flushCache(TqdThreadItemCache& aCache, int32_t aPool, uint32_t aKeep) {
  const uint32_t count = aCache.tcCount[aPool];
  if (count <= aKeep) return;
  const uint32_t drop = count - aKeep;
  // The oldest items go back; the most recently freed stay (warm).
  aCache.tcManager->Pool(aPool).ReleaseCachedBatch(aCache.tcItems[aPool], static_cast<int32_t>(drop));
  std::memmove(&aCache.tcItems[aPool][0], &aCache.tcItems[aPool][drop], aKeep * sizeof(void*));
  aCache.tcCount[aPool] = aKeep;
}

void dropCache(TqdThreadItemCache* aCache) {
  for (int32_t i = 0; i < kCachedPools; ++i) flushCache(*aCache, i, 0);
  (void)aCache->tcManager->Memory().Release(aCache, kCacheBytes);  // the thread ends either way
}

// Runs when a thread that used the cache ends.
void threadCacheDestructor(void* aCache) {
  tlCache = nullptr;
  dropCache(static_cast<TqdThreadItemCache*>(aCache));
}

TqdThreadItemCache* createCache(TqdItemManager& aManager) {
  IqdVirtualMemory& memory = aManager.Memory();
  void* raw = memory.Reserve(kCacheBytes, qdAllocationGranularity);
  if (raw == nullptr) return nullptr;
  if (!memory.Commit(raw, kCacheBytes)) {
    (void)memory.Release(raw, kCacheBytes);  // no cache: the thread uses the pools directly
    return nullptr;
  }
  auto* cache = static_cast<TqdThreadItemCache*>(raw);
  cache->tcManager = &aManager;
  if (pthread_setspecific(gCacheKey, cache) != 0) {
    (void)memory.Release(raw, kCacheBytes);  // as above
    return nullptr;
  }
  tlCache = cache;
  return cache;
}

}  // namespace

// --- TqdUnpagedObject --------------------------------------------------------

namespace qdmmItemManager {

void* TqdUnpagedObject::operator new(size_t aSize, TqdUnpagedArea& aArea) {
  const size_t size = (aSize + kUnpagedGrain - 1) & ~(kUnpagedGrain - 1);
  if (aArea.uaUsed + size > aArea.uaSize) qdRaiseOutOfMemory();
  void* object = aArea.uaBase + aArea.uaUsed;
  aArea.uaUsed += size;
  return object;
}

void TqdUnpagedObject::operator delete(void* /*aObject*/, TqdUnpagedArea& /*aArea*/) noexcept {}

void TqdUnpagedObject::operator delete(void* /*aObject*/) noexcept {}

// --- TqdMemoryPool -------------------------------------------------------------

TqdMemoryPool::TqdMemoryPool(TqdItemManager& aManager, uint32_t aItemSize, int32_t aIndex)
    : mpPartialFreeBlockBool(0), mpNeedCleanup(0), mpItemSize(aItemSize), mpIndex(aIndex), mpManager(aManager) {
  for (auto& shard : mpPartialFreeBlockHeads) {
    qdListHeadInit(shard.slHeads[0]);
    qdListHeadInit(shard.slHeads[1]);
  }
  qdListHeadInit(mpFreeBlockHead);
  // First estimate with the bare 32-byte header, then the header for that
  // many bits; 65535 (not 65536) is the usable length.
  const size_t estimate = (kUsableBlockLength - kFixedHeader) / aItemSize;
  const size_t header = (kFixedHeader + (estimate + 7) / 8 + 15) & ~size_t{15};
  mpBlockHeaderSize = static_cast<uint32_t>(header);
  mpItemsPerBlock = static_cast<uint32_t>((kUsableBlockLength - header) / aItemSize);
  if (mpItemsPerBlock == 0) qdAssertFailed("qdmmItemManager", "a pool block holds at least one item");
  mpIndexFactor = ((uint64_t{1} << 32) + aItemSize - 1) / aItemSize;
  mpCacheLimit = std::clamp<uint32_t>(kCacheBytesPerPool / aItemSize, 8, kCacheCapacity);
}

TqdMemoryPool::~TqdMemoryPool() {
  mpNeedCleanup = 1;
  Cleanup();
}

TqdListHead& TqdMemoryPool::CurrentPartialList() {
  return mpPartialFreeBlockHeads[threadShard()].slHeads[qdAtomicLoad(mpPartialFreeBlockBool)];
}

// The own shard first; when it is dry, empty blocks, then the blocks of
// shards no live thread uses. From shards other live threads use only a
// block with no item in use is taken: one with their items would make
// threads write to each other's cache lines, while leaving their empty
// blocks alone would let memory grow when one thread frees what another
// allocates.
TqdPoolBlock* TqdMemoryPool::PopPartialBlock(bool& aFromFreeList) {
  const uint32_t current = qdAtomicLoad(mpPartialFreeBlockBool);
  const int32_t own = threadShard();
  aFromFreeList = false;
  if (TqdPoolBlock* block = asBlock(qdListHeadPop(mpPartialFreeBlockHeads[own].slHeads[current]))) return block;
  if (TqdPoolBlock* block = asBlock(qdListHeadPop(mpFreeBlockHead))) {
    aFromFreeList = true;
    return block;
  }
  for (const bool idle : {true, false}) {
    for (int32_t i = 1; i < kShards; ++i) {
      const int32_t shard = (own + i) % kShards;
      if (shardIdle(shard) != idle) continue;
      TqdListHead& list = mpPartialFreeBlockHeads[shard].slHeads[current];
      // Blocks stay mapped once made, so a block just taken by another
      // thread can still be looked at.
      const auto* first = reinterpret_cast<const TqdPoolBlock*>(qdAtomicLoad(list.lhFirst));
      if (first == nullptr || (!idle && qdAtomicLoad(first->pbCount) != 0)) continue;
      TqdPoolBlock* block = asBlock(qdListHeadPop(list));
      if (block == nullptr) continue;
      if (!idle && qdAtomicLoad(block->pbCount) != 0) {
        qdListHeadPush(list, &block->pbLink);  // not the empty one seen: it stays with its thread
        continue;
      }
      return block;
    }
  }
  return nullptr;
}

TqdPoolBlock* TqdMemoryPool::NewBlock() {
  auto* block = static_cast<TqdPoolBlock*>(mpManager.Blocks().AllocBlock(mpManager.PoolBlockClass()));
  if (block == nullptr) return nullptr;
  auto* bytes = reinterpret_cast<uint8_t*>(block);
  std::memset(bytes, 0, mpBlockHeaderSize);
  block->pbOwner = this;
  // Chain every item, lowest first.
  uint32_t offset = mpBlockHeaderSize;
  for (uint32_t i = 0; i + 1 < mpItemsPerBlock; ++i) {
    *linkOf(bytes + offset) = offset + mpItemSize;
    offset += mpItemSize;
  }
  *linkOf(bytes + offset) = 0;
  block->pbFreeHead = mpBlockHeaderSize;
  mpManager.CountAdd(mpManager.fStatistics.msBytesReserved, qdPoolBlockSize);
  mpManager.CountAdd(mpManager.fStatistics.msBytesCommitted, qdPoolBlockSize);
  mpManager.CountAdd(mpManager.fStatistics.msHeaderBytes, mpBlockHeaderSize);
  return block;
}

void TqdMemoryPool::ReturnBlock(TqdPoolBlock* aBlock) {
  mpManager.CountAdd(mpManager.fStatistics.msBytesReserved, -static_cast<int64_t>(qdPoolBlockSize));
  mpManager.CountAdd(mpManager.fStatistics.msBytesCommitted, -static_cast<int64_t>(qdPoolBlockSize));
  mpManager.CountAdd(mpManager.fStatistics.msHeaderBytes, -static_cast<int64_t>(mpBlockHeaderSize));
  aBlock->pbOwner = nullptr;
  if (!mpManager.Blocks().FreeBlock(mpManager.PoolBlockClass(), aBlock)) {
    qdAssertFailed("qdmmItemManager", "the block manager takes back a pool block");
  }
}

// Written only when it changes: every thread reads the flag's cache line.
void TqdMemoryPool::MarkNeedCleanup() {
  if (qdAtomicLoad(mpNeedCleanup) == 0) __atomic_store_n(&mpNeedCleanup, 1u, __ATOMIC_RELEASE);
}

void TqdMemoryPool::Detach(TqdPoolBlock* aBlock) {
  if (!compareExchange32(aBlock->pbDetached, 0, 1)) qdRaiseInvalidPointer();
  // An item freed in the meantime saw no detached mark: put the block back
  // ourselves (unless that free has already done so).
  if (hasFreeItem(aBlock) && compareExchange32(aBlock->pbDetached, 1, 0)) {
    qdListHeadPush(CurrentPartialList(), &aBlock->pbLink);
  }
}

int32_t TqdMemoryPool::AllocBatch(void** aItems, int32_t aCount) {
  for (;;) {
    bool fromFreeList = false;
    TqdPoolBlock* block = PopPartialBlock(fromFreeList);
    if (block != nullptr) {
      if (!fromFreeList && qdAtomicLoad(block->pbCount) == 0) {
        // Unused: it waits on the free list, partly used blocks go first.
        qdListHeadPush(mpFreeBlockHead, &block->pbLink);
        continue;
      }
    } else {
      block = NewBlock();
      if (block == nullptr) return 0;
    }
    bool last = false;
    const int32_t taken = popItems(block, aItems, aCount, &last);
    if (taken == 0) {
      // Filled up meanwhile.
      Detach(block);
      continue;
    }
    qdInterlockedAdd(block->pbCount, taken);
    if (last) {
      Detach(block);
    } else {
      qdListHeadPush(CurrentPartialList(), &block->pbLink);
    }
    mpManager.CountItemBytes(static_cast<int64_t>(taken) * mpItemSize);
    return taken;
  }
}

void TqdMemoryPool::ReleaseRaw(TqdPoolBlock* aBlock, void* aItem) {
  pushItem(aBlock, aItem);
  if (qdInterlockedDecrement(aBlock->pbCount) == 0) MarkNeedCleanup();
  if (qdAtomicLoad(aBlock->pbDetached) == 1 && compareExchange32(aBlock->pbDetached, 1, 0)) {
    qdListHeadPush(CurrentPartialList(), &aBlock->pbLink);
  }
  mpManager.CountItemBytes(-static_cast<int64_t>(mpItemSize));
}

[[gnu::always_inline]] inline int32_t TqdMemoryPool::ItemIndex(const TqdPoolBlock* aBlock, const void* P) const {
  const auto offset = static_cast<uint64_t>(static_cast<const uint8_t*>(P) - reinterpret_cast<const uint8_t*>(aBlock));
  if (offset < mpBlockHeaderSize) return -1;
  const uint64_t relative = offset - mpBlockHeaderSize;
  const uint64_t index = (relative * mpIndexFactor) >> 32;
  if (index >= mpItemsPerBlock || index * mpItemSize != relative) return -1;
  return static_cast<int32_t>(index);
}

void TqdMemoryPool::MarkAllocated(void* P) {
  TqdPoolBlock* block = blockOf(P);
  const int32_t index = ItemIndex(block, P);
  if (index < 0) qdRaiseInvalidPointer();
  const uint64_t mask = uint64_t{1} << (index & 63);
  if ((__atomic_fetch_or(&block->pbAllocated[index >> 6], mask, __ATOMIC_ACQ_REL) & mask) != 0) {
    qdRaiseInvalidPointer();
  }
}

void TqdMemoryPool::MarkAllocatedBatch(void** aItems, int32_t aCount) {
  TqdPoolBlock* block = blockOf(aItems[0]);
  int32_t i = 0;
  while (i < aCount) {
    // Items of one word together: AllocBatch hands them out in runs.
    const int32_t first = ItemIndex(block, aItems[i]);
    if (first < 0) qdRaiseInvalidPointer();
    const int32_t word = first >> 6;
    uint64_t mask = 0;
    for (; i < aCount; ++i) {
      const int32_t index = ItemIndex(block, aItems[i]);
      if (index < 0 || blockOf(aItems[i]) != block) qdRaiseInvalidPointer();
      if (index >> 6 != word) break;
      mask |= uint64_t{1} << (index & 63);
    }
    if ((__atomic_fetch_or(&block->pbAllocated[word], mask, __ATOMIC_ACQ_REL) & mask) != 0) qdRaiseInvalidPointer();
  }
}

void TqdMemoryPool::ReleaseCachedBatch(void** aItems, int32_t aCount) {
  int32_t released = 0;
  int32_t start = 0;
  while (start < aCount) {
    // Gather the items of the first item's block at the front.
    TqdPoolBlock* block = blockOf(aItems[start]);
    int32_t end = start + 1;
    for (int32_t i = end; i < aCount; ++i) {
      if (blockOf(aItems[i]) == block) std::swap(aItems[end++], aItems[i]);
    }
    released += ReleaseCachedGroup(block, aItems + start, end - start);
    start = end;
  }
  mpManager.CountItemBytes(-static_cast<int64_t>(released) * mpItemSize);
}

int32_t TqdMemoryPool::ReleaseCachedGroup(TqdPoolBlock* aBlock, void** aItems, int32_t aCount) {
  // Clear the bits a word at a time; an item whose bit was clear already is
  // not ours to return (it would be on the free list twice).
  int32_t kept = 0;
  for (int32_t i = 0; i < aCount;) {
    const int32_t word = ItemIndex(aBlock, aItems[i]) >> 6;
    uint64_t mask = 0;
    for (int32_t j = i; j < aCount; ++j) {
      const int32_t index = ItemIndex(aBlock, aItems[j]);
      if (index >> 6 == word) mask |= uint64_t{1} << (index & 63);
    }
    const uint64_t old = __atomic_fetch_and(&aBlock->pbAllocated[word], ~mask, __ATOMIC_ACQ_REL);
    for (int32_t j = i; j < aCount; ++j) {
      const int32_t index = ItemIndex(aBlock, aItems[j]);
      if (index >> 6 != word) continue;
      std::swap(aItems[i], aItems[j]);
      if ((old >> (index & 63) & 1) != 0) std::swap(aItems[kept++], aItems[i]);
      ++i;
    }
  }
  if (kept == 0) return 0;
  // Chain them (the cache's marks go) and push the chain at once.
  auto* bytes = reinterpret_cast<uint8_t*>(aBlock);
  for (int32_t i = 0; i < kept; ++i) {
    writeWord(aItems[i], 0);
    if (i + 1 < kept) {
      *linkOf(aItems[i]) = static_cast<uint32_t>(static_cast<uint8_t*>(aItems[i + 1]) - bytes);
    }
  }
  const auto firstOffset = static_cast<uint32_t>(static_cast<uint8_t*>(aItems[0]) - bytes);
  uint64_t head = load64(aBlock->pbFreeHead);
  for (;;) {
    __atomic_store_n(linkOf(aItems[kept - 1]), static_cast<uint32_t>(head), __ATOMIC_RELAXED);
    const uint64_t fresh = ((head & ~uint64_t{0xFFFFFFFF}) + kSequenceOne) | firstOffset;
    if (compareExchange64(aBlock->pbFreeHead, head, fresh)) break;
  }
  if (qdInterlockedSub(aBlock->pbCount, kept) == 0) MarkNeedCleanup();
  if (qdAtomicLoad(aBlock->pbDetached) == 1 && compareExchange32(aBlock->pbDetached, 1, 0)) {
    qdListHeadPush(CurrentPartialList(), &aBlock->pbLink);
  }
  return kept;
}

bool TqdMemoryPool::MarkFree(TqdPoolBlock* aBlock, void* P) {
  const int32_t index = ItemIndex(aBlock, P);
  if (index < 0) return false;
  const uint64_t mask = uint64_t{1} << (index & 63);
  return (__atomic_fetch_and(&aBlock->pbAllocated[index >> 6], ~mask, __ATOMIC_ACQ_REL) & mask) != 0;
}

[[gnu::always_inline]] inline bool TqdMemoryPool::IsAllocated(const TqdPoolBlock* aBlock, const void* P) const {
  const int32_t index = ItemIndex(aBlock, P);
  if (index < 0) return false;
  return (qdAtomicLoad(aBlock->pbAllocated[index >> 6]) >> (index & 63) & 1) != 0;
}

void* TqdMemoryPool::Alloc() {
  void* item = nullptr;
  if (AllocBatch(&item, 1) == 0) return nullptr;
  MarkAllocated(item);
  return item;
}

bool TqdMemoryPool::Dispose(void*& P) {
  void* item = qdInterlockedExchangePointer(P, static_cast<void*>(nullptr));
  if (item == nullptr) return false;
  return DisposeDirect(item);
}

bool TqdMemoryPool::DisposeDirect(void* P) {
  if (P == nullptr || (reinterpret_cast<uintptr_t>(P) & kBlockMask) == 0) return false;
  if (mpManager.PoolOfItem(P) != this) return false;
  TqdPoolBlock* block = blockOf(P);
  if (!MarkFree(block, P)) return false;
  ReleaseRaw(block, P);
  return true;
}

void TqdMemoryPool::Cleanup() {
  if (__atomic_exchange_n(&mpNeedCleanup, 0u, __ATOMIC_ACQ_REL) != 0) {
    // Allocation moves on to the other partial list; blocks in use follow
    // it, empty ones are returned.
    const uint32_t old = qdAtomicLoad(mpPartialFreeBlockBool);
    __atomic_store_n(&mpPartialFreeBlockBool, old ^ 1u, __ATOMIC_RELEASE);
    for (auto& shard : mpPartialFreeBlockHeads) {
      PqdListEntry entry = qdListHeadPopAll(shard.slHeads[old]);
      while (entry != nullptr) {
        PqdListEntry following = entry->leNext;
        TqdPoolBlock* block = asBlock(entry);
        if (qdAtomicLoad(block->pbCount) != 0) {
          qdListHeadPush(shard.slHeads[old ^ 1u], entry);
        } else {
          ReturnBlock(block);
        }
        entry = following;
      }
    }
  }
  PqdListEntry entry = qdListHeadPopAll(mpFreeBlockHead);
  while (entry != nullptr) {
    PqdListEntry following = entry->leNext;
    TqdPoolBlock* block = asBlock(entry);
    if (qdAtomicLoad(block->pbCount) != 0) qdAssertFailed("qdmmItemManager", "a block on the free list is unused");
    ReturnBlock(block);
    entry = following;
  }
}

void TqdMemoryPool::CheckInvariants() const {
  std::vector<const TqdListHead*> lists{&mpFreeBlockHead};
  for (const auto& shard : mpPartialFreeBlockHeads) {
    lists.push_back(&shard.slHeads[0]);
    lists.push_back(&shard.slHeads[1]);
  }
  for (const TqdListHead* list : lists) {
    for (const TqdListEntry* entry = list->lhFirst; entry != nullptr; entry = entry->leNext) {
      const auto* block = reinterpret_cast<const TqdPoolBlock*>(entry);
      if (block->pbOwner != this) qdAssertFailed("qdmmItemManager", "a listed block belongs to its pool");
      uint32_t free = 0;
      const auto* bytes = reinterpret_cast<const uint8_t*>(block);
      for (auto offset = static_cast<uint32_t>(block->pbFreeHead); offset != 0;
           offset = *reinterpret_cast<const uint32_t*>(bytes + offset)) {
        if (ItemIndex(block, bytes + offset) < 0) qdAssertFailed("qdmmItemManager", "free list holds items");
        if (IsAllocated(block, bytes + offset)) qdAssertFailed("qdmmItemManager", "a free item is not marked");
        if (++free > mpItemsPerBlock) qdAssertFailed("qdmmItemManager", "free list ends");
      }
      uint32_t marked = 0;
      for (uint32_t word = 0; word < (mpItemsPerBlock + 63) / 64; ++word) {
        marked += static_cast<uint32_t>(__builtin_popcountll(block->pbAllocated[word]));
      }
      if (free + static_cast<uint32_t>(block->pbCount) != mpItemsPerBlock) {
        qdAssertFailed("qdmmItemManager", "free items + items in use = items per block");
      }
      if (marked > static_cast<uint32_t>(block->pbCount)) {
        qdAssertFailed("qdmmItemManager", "marked items are in use");
      }
      if (list == &mpFreeBlockHead && block->pbCount != 0) {
        qdAssertFailed("qdmmItemManager", "blocks on the free list are unused");
      }
    }
  }
}

}  // namespace qdmmItemManager

namespace {

// The pools lie one after the other in the unpaged area.
constexpr uintptr_t kPoolStride = (sizeof(TqdMemoryPool) + kUnpagedGrain - 1) & ~(kUnpagedGrain - 1);

}  // namespace

// --- TqdItemManager ------------------------------------------------------------

TqdItemManager::TqdItemManager(TqdBlockManagerCommitted& aBlocks, IqdVirtualMemory& aMemory, bool aThreadCaching)
    : fBlocks(aBlocks),
      fChunks(aBlocks.Chunks()),
      fPoolBlockClass(&aBlocks.BlockClass(qdBlockClass64k)),
      fMemory(aMemory),
      fThreadCaching(aThreadCaching),
      fStatistics{} {}

TqdItemManager::~TqdItemManager() {
  if (fStarted) Stop();
}

void TqdItemManager::Start() {
  if (fStarted) qdAssertFailed("qdmmItemManager", "not started twice");
  void* area = fMemory.Reserve(kUnpagedAreaSize, qdAllocationGranularity);
  if (area == nullptr) qdRaiseOutOfMemory();
  if (!fMemory.Commit(area, kUnpagedAreaSize)) {
    (void)fMemory.Release(area, kUnpagedAreaSize);  // reported as out of memory
    qdRaiseOutOfMemory();
  }
  (void)fMemory.Lock(area, kUnpagedAreaSize);  // best effort: the pools work unlocked as well
  fArea = TqdUnpagedArea{static_cast<uint8_t*>(area), kUnpagedAreaSize, 0};
  for (int32_t i = 0; i < qdPoolCount; ++i) fPools[i] = new (fArea) TqdMemoryPool(*this, kPoolSizes[i], i);
  fPoolsStart = reinterpret_cast<uintptr_t>(fPools[0]);
  fPoolsEnd = reinterpret_cast<uintptr_t>(fArea.uaBase + fArea.uaUsed);

  // Smallest pool of at least 4 * (index + 1) bytes (sizes 1..64 by size div
  // 4), and of at least 32 * (index + 1) bytes (sizes 65..32735 by
  // (size - 1) div 32).
  auto smallestOfAtLeast = [](size_t aBytes) {
    int32_t pool = 0;
    while (kPoolSizes[pool] < aBytes) ++pool;
    return static_cast<uint8_t>(pool);
  };
  for (size_t i = 0; i < sizeof fSmallChoice; ++i) fSmallChoice[i] = smallestOfAtLeast(4 * (i + 1));
  for (size_t i = 0; i < sizeof fMediumChoice; ++i) fMediumChoice[i] = smallestOfAtLeast(32 * (i + 1));

  std::memset(fRadixRoot, 0, sizeof fRadixRoot);
  // The cache's mark must not be guessable from a pointer, so user data
  // that happens to look like it is as unlikely as chance allows.
  if (getrandom(&fTagSecret, sizeof fTagSecret, 0) != static_cast<ssize_t>(sizeof fTagSecret)) {
    fTagSecret = 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(this);
  }
  if (fThreadCaching) {
    if (gCachingManager != nullptr) qdAssertFailed("qdmmItemManager", "one caching item manager per process");
    std::call_once(gCacheKeyOnce, [] {
      if (pthread_key_create(&gCacheKey, threadCacheDestructor) != 0) qdRaiseOutOfMemory();
    });
    gCachingManager = this;
  }
  fStarted = true;
}

void TqdItemManager::Stop() {
  if (!fStarted) qdAssertFailed("qdmmItemManager", "started before it stops");
  if (fThreadCaching) {
    // Only the calling thread's cache can be reached here; the process
    // allocator, the only caching one, is never stopped while threads run.
    FlushThreadCache();
    gCachingManager = nullptr;
  }
  for (int32_t i = 0; i < 256; ++i) {
    if (fRadixRoot[i] != nullptr) FreeRadix(static_cast<void**>(fRadixRoot[i]), 1);
    fRadixRoot[i] = nullptr;
  }
  for (int32_t i = qdPoolCount - 1; i >= 0; --i) {
    delete fPools[i];
    fPools[i] = nullptr;
  }
  (void)fMemory.Release(fArea.uaBase, fArea.uaSize);  // shut-down
  fArea = TqdUnpagedArea{};
  fStarted = false;
}

void TqdItemManager::FlushThreadCache() {
  TqdThreadItemCache* cache = tlCache;
  if (cache == nullptr || cache->tcManager != this) return;
  tlCache = nullptr;
  (void)pthread_setspecific(gCacheKey, nullptr);  // the key is valid: the cache was registered with it
  dropCache(cache);
}

TqdMemoryPool& TqdItemManager::PoolForSize(size_t aSize) {
  return *fPools[aSize <= 64 ? fSmallChoice[aSize >> 2] : fMediumChoice[(aSize - 1) >> 5]];
}

[[gnu::always_inline]] inline TqdMemoryPool* TqdItemManager::PoolOfBlock(const void* aBlock) {
  // The block must be a 64 KB block of this allocator before its header is
  // read, so a stray pointer is refused instead of followed; the owner it
  // names must be one of the pools.
  TqdChunkRecord* record = fChunks.RecordOf(aBlock);
  if (record == nullptr || __atomic_load_n(&record->crOwner, __ATOMIC_ACQUIRE) != fPoolBlockClass) return nullptr;
  TqdMemoryPool* owner = static_cast<const TqdPoolBlock*>(aBlock)->pbOwner;
  const uintptr_t offset = reinterpret_cast<uintptr_t>(owner) - fPoolsStart;
  if (offset >= fPoolsEnd - fPoolsStart || offset % kPoolStride != 0) return nullptr;
  return owner;
}

[[gnu::always_inline]] inline bool TqdItemManager::IsTagged(const void* P) const { return readWord(P) == TagOf(P); }

bool TqdItemManager::IsPoolBlock(const void* aBlock) {
  return (reinterpret_cast<uintptr_t>(aBlock) & kBlockMask) == 0 && PoolOfBlock(aBlock) != nullptr;
}

TqdMemoryPool* TqdItemManager::PoolOfItem(const void* P) {
  if (P == nullptr || (reinterpret_cast<uintptr_t>(P) & kBlockMask) == 0) return nullptr;
  TqdPoolBlock* block = blockOf(P);
  TqdMemoryPool* pool = PoolOfBlock(block);
  if (pool == nullptr || !pool->IsAllocated(block, P)) return nullptr;
  if (fThreadCaching && isCachedPool(pool->Index()) && IsTagged(P)) return nullptr;  // freed into a cache
  return pool;
}

void* TqdItemManager::CachedAlloc(TqdMemoryPool& aPool) {
  TqdThreadItemCache* cache = tlCache;
  if (cache == nullptr) {
    cache = createCache(*this);
    if (cache == nullptr) return aPool.Alloc();
  }
  // Refill from one block: its bits are set in one go and all but the item
  // handed out are marked as cached.
  const int32_t index = aPool.Index();
  void** items = cache->tcItems[index];
  const auto batch = static_cast<int32_t>(std::max<uint32_t>(aPool.CacheLimit() / 2, 1));
  const int32_t count = aPool.AllocBatch(items, batch);
  if (count == 0) return nullptr;
  aPool.MarkAllocatedBatch(items, count);
  for (int32_t i = 0; i + 1 < count; ++i) writeWord(items[i], TagOf(items[i]));
  cache->tcCount[index] = static_cast<uint32_t>(count - 1);
  return items[count - 1];
}

void* TqdItemManager::GetMem(size_t aSize) {
  if (aSize > qdMaxPoolRequest) return AllocLarge(aSize, 0);
  const int32_t index = aSize <= 64 ? fSmallChoice[aSize >> 2] : fMediumChoice[(aSize - 1) >> 5];
  if (fThreadCaching && isCachedPool(index)) {
    TqdThreadItemCache* cache = tlCache;
    if (cache != nullptr) {
      const uint32_t count = cache->tcCount[index];
      if (count != 0) {
        void* item = cache->tcItems[index][count - 1];
        cache->tcCount[index] = count - 1;
        writeWord(item, 0);  // no longer marked as cached
        return item;
      }
    }
    return CachedAlloc(*fPools[index]);
  }
  return fPools[index]->Alloc();
}

int32_t TqdItemManager::FreeMem(void* P) {
  if ((reinterpret_cast<uintptr_t>(P) & kBlockMask) == 0) return FreeLargeOrNil(P);
  TqdPoolBlock* block = blockOf(P);
  TqdMemoryPool* pool = PoolOfBlock(block);
  if (pool == nullptr) return 1;
  if (fThreadCaching) {
    // The common case: a live item goes into a cache with room.
    const int32_t index = pool->Index();
    TqdThreadItemCache* cache = tlCache;
    if (isCachedPool(index) && cache != nullptr) {
      const uint32_t count = cache->tcCount[index];
      if (count < pool->CacheLimit() && pool->IsAllocated(block, P) && !IsTagged(P)) {
        writeWord(P, TagOf(P));
        cache->tcItems[index][count] = P;
        cache->tcCount[index] = count + 1;
        return 0;
      }
    }
  }
  return FreeMemSlow(*pool, block, P);
}

int32_t TqdItemManager::FreeLargeOrNil(void* P) {
  if (P == nullptr) return 1;
  return FreeLarge(P) ? 0 : 1;
}

int32_t TqdItemManager::FreeMemSlow(TqdMemoryPool& aPool, TqdPoolBlock* aBlock, void* P) {
  if (fThreadCaching && isCachedPool(aPool.Index())) {
    // A cached item is still marked allocated but carries the cache's mark.
    if (!aPool.IsAllocated(aBlock, P) || IsTagged(P)) return 1;
    TqdThreadItemCache* cache = tlCache;
    if (cache != nullptr) {
      const int32_t index = aPool.Index();
      flushCache(*cache, index, aPool.CacheLimit() / 2);
      writeWord(P, TagOf(P));
      cache->tcItems[index][cache->tcCount[index]++] = P;
      return 0;
    }
  }
  if (!aPool.MarkFree(aBlock, P)) return 1;
  aPool.ReleaseRaw(aBlock, P);
  return 0;
}

void* TqdItemManager::ReallocMem(void* P, size_t aSize) {
  if ((reinterpret_cast<uintptr_t>(P) & kBlockMask) == 0) return ReallocLarge(P, aSize);
  TqdMemoryPool* pool = PoolOfItem(P);
  if (pool == nullptr) qdRaiseInvalidPointer();
  return ReallocItem(*pool, P, aSize);
}

void* TqdItemManager::ReallocItem(TqdMemoryPool& aPool, void* P, size_t aSize) {
  const size_t itemSize = aPool.ItemSize();
  if (aSize == itemSize) return P;
  size_t asked = aSize;
  size_t copied = itemSize;
  if (aSize < itemSize) {
    // Kept while the new size still uses more than a 32nd of the item.
    if (aSize * 32 > itemSize) return P;
    copied = aSize;
  } else if (aSize <= 64) {
    asked = aSize * 8;
  } else if (aSize <= 1024) {
    asked = aSize * 4;
  } else if (aSize <= 8192) {
    asked = aSize * 2;
  }
  void* fresh = GetMem(asked);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, P, copied);
  if (FreeMem(P) != 0) qdRaiseInvalidPointer();
  return fresh;
}

void TqdItemManager::CleanupPools() {
  for (TqdMemoryPool* pool : fPools) pool->Cleanup();
}

void TqdItemManager::CountItemBytes(int64_t aValue) { qdInterlockedAdd64(fItemBytes[threadShard()].scValue, aValue); }

TqdMemoryStatistics TqdItemManager::Statistics() const {
  TqdMemoryStatistics result;
  result.msBytesReserved = qdAtomicLoad(fStatistics.msBytesReserved);
  result.msBytesCommitted = qdAtomicLoad(fStatistics.msBytesCommitted);
  result.msBytesRequested = qdAtomicLoad(fStatistics.msBytesRequested);
  result.msHeaderBytes = qdAtomicLoad(fStatistics.msHeaderBytes);
  result.msItemBytesInUse = 0;
  for (const TqdShardCounter& counter : fItemBytes) result.msItemBytesInUse += qdAtomicLoad(counter.scValue);
  return result;
}

void TqdItemManager::CheckInvariants() const {
  for (const TqdMemoryPool* pool : fPools) pool->CheckInvariants();
}

// --- Large blocks ----------------------------------------------------------------

namespace {

uint32_t unitsFor(size_t aSize) { return static_cast<uint32_t>((aSize + qdLargeTrailerSize + kUnit - 1) / kUnit); }

uint32_t pagesFor(size_t aSize) {
  return static_cast<uint32_t>((aSize + qdLargeTrailerSize + qdPageSize - 1) / qdPageSize);
}

TqdLargeBlockTrailer* trailerAt(uint8_t* aBase, uint32_t aCommittedPages) {
  return reinterpret_cast<TqdLargeBlockTrailer*>(aBase + size_t{aCommittedPages} * qdPageSize - qdLargeTrailerSize);
}

// Largest request a large block can describe (units and pages in 32 bits).
constexpr size_t kMaxLargeRequest = (size_t{1} << 42) - kUnit;

}  // namespace

void** TqdItemManager::RadixSlot(uintptr_t aKey, bool aCreate) {
  void** node = fRadixRoot;
  for (int32_t level = 0; level < kRadixLevels - 1; ++level) {
    void*& cell = node[(aKey >> (8 * (kRadixLevels - 1 - level))) & 0xFF];
    auto* child = static_cast<void**>(__atomic_load_n(&cell, __ATOMIC_ACQUIRE));
    if (child == nullptr) {
      if (!aCreate) return nullptr;
      TqdMemoryPool& nodePool = PoolForSize(kRadixNodeBytes - 1);
      auto* fresh = static_cast<void**>(nodePool.Alloc());
      if (fresh == nullptr) return nullptr;
      std::memset(fresh, 0, kRadixNodeBytes);
      void* expected = nullptr;
      if (__atomic_compare_exchange_n(&cell, &expected, static_cast<void*>(fresh), false, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST)) {
        child = fresh;
      } else {
        (void)nodePool.DisposeDirect(fresh);  // ours: cannot be refused
        child = static_cast<void**>(expected);
      }
    }
    node = child;
  }
  return &node[aKey & 0xFF];
}

void TqdItemManager::FreeRadix(void** aNode, int32_t aLevel) {
  for (int32_t i = 0; i < 256; ++i) {
    void* entry = aNode[i];
    if (entry == nullptr) continue;
    if (aLevel < kRadixLevels - 1) {
      FreeRadix(static_cast<void**>(entry), aLevel + 1);
    } else {
      (void)FreeLarge(static_cast<TqdLargeBlockTrailer*>(entry)->ltBase);  // shut-down
    }
  }
  (void)PoolForSize(kRadixNodeBytes - 1).DisposeDirect(aNode);  // ours: cannot be refused
}

TqdLargeBlockTrailer* TqdItemManager::FindLarge(const void* P) {
  const auto address = reinterpret_cast<uintptr_t>(P);
  if (P == nullptr || (address & kBlockMask) != 0 || (address >> kAddressBits) != 0) return nullptr;
  void** slot = RadixSlot(address >> 16, false);
  if (slot == nullptr) return nullptr;
  auto* trailer = static_cast<TqdLargeBlockTrailer*>(__atomic_load_n(slot, __ATOMIC_ACQUIRE));
  if (trailer == nullptr || trailer->ltBase != P) return nullptr;
  return trailer;
}

void* TqdItemManager::AllocLarge(size_t aSize, uint32_t aGrowCount) {
  if (aSize > kMaxLargeRequest) return nullptr;
  uint32_t view = unitsFor(aSize);
  uint32_t pages = pagesFor(aSize);
  uint32_t capacity = view;
  int32_t mapping = -1;
  uint8_t* base = nullptr;
  if (aGrowCount == 0) {
    base = static_cast<uint8_t*>(fMemory.Reserve(size_t{view} * kUnit, kUnit));
    if (base == nullptr) return nullptr;
    if (!fMemory.Commit(base, size_t{pages} * qdPageSize)) {
      (void)fMemory.Release(base, size_t{view} * kUnit);  // reported as out of memory
      return nullptr;
    }
  } else {
    // Room to grow geometrically without copying.
    const uint32_t factor = aGrowCount <= 4 ? 2 : aGrowCount <= 16 ? 4 : 8;
    capacity = std::max(std::min<uint64_t>(uint64_t{view} * factor, kMaxCapacityUnits), uint64_t{view});
    if (aGrowCount > 16) {
      view = std::min(view + view / 2, capacity);
      pages = std::min(pages + pages / 2, view * 16);
    }
    mapping = fMemory.CreateMapping(uint64_t{capacity} * kUnit);
    if (mapping < 0) return nullptr;
    base = static_cast<uint8_t*>(fMemory.MapView(mapping, size_t{view} * kUnit));
    if (base == nullptr || !fMemory.CommitMapping(mapping, 0, uint64_t{pages} * qdPageSize)) {
      if (base != nullptr) (void)fMemory.UnmapView(base, size_t{view} * kUnit);  // reported as out of memory
      (void)fMemory.CloseMapping(mapping);                                       // as above
      return nullptr;
    }
  }
  void** slot = RadixSlot(reinterpret_cast<uintptr_t>(base) >> 16, true);
  if (slot == nullptr || (reinterpret_cast<uintptr_t>(base) >> kAddressBits) != 0) {
    if (mapping >= 0) {
      (void)fMemory.UnmapView(base, size_t{view} * kUnit);  // reported as out of memory
      (void)fMemory.CloseMapping(mapping);                  // as above
    } else {
      (void)fMemory.Release(base, size_t{view} * kUnit);  // as above
    }
    return nullptr;
  }
  TqdLargeBlockTrailer* trailer = trailerAt(base, pages);
  *trailer = TqdLargeBlockTrailer{aSize, mapping, view, base, capacity, pagesFor(aSize), pages, aGrowCount};
  __atomic_store_n(slot, static_cast<void*>(trailer), __ATOMIC_RELEASE);
  CountAdd(fStatistics.msBytesReserved, static_cast<int64_t>(capacity) * static_cast<int64_t>(kUnit));
  CountAdd(fStatistics.msBytesCommitted, static_cast<int64_t>(pages) * static_cast<int64_t>(qdPageSize));
  CountAdd(fStatistics.msBytesRequested, static_cast<int64_t>(aSize));
  return base;
}

bool TqdItemManager::FreeLarge(void* P) {
  TqdLargeBlockTrailer* trailer = FindLarge(P);
  if (trailer == nullptr) return false;
  void** slot = RadixSlot(reinterpret_cast<uintptr_t>(P) >> 16, false);
  void* expected = trailer;
  if (!__atomic_compare_exchange_n(slot, &expected, nullptr, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) return false;
  const TqdLargeBlockTrailer copy = *trailer;
  CountAdd(fStatistics.msBytesReserved, -static_cast<int64_t>(copy.ltCapacity) * static_cast<int64_t>(kUnit));
  CountAdd(fStatistics.msBytesCommitted,
           -static_cast<int64_t>(copy.ltCommittedPages) * static_cast<int64_t>(qdPageSize));
  CountAdd(fStatistics.msBytesRequested, -static_cast<int64_t>(copy.ltSize));
  if (copy.ltMapping >= 0) {
    const bool unmapped = fMemory.UnmapView(copy.ltBase, size_t{copy.ltView} * kUnit);
    const bool closed = fMemory.CloseMapping(copy.ltMapping);
    return unmapped && closed;
  }
  return fMemory.Release(copy.ltBase, size_t{copy.ltView} * kUnit);
}

bool TqdItemManager::LargeBlockInfo(const void* P, TqdLargeBlockInfo& aInfo) {
  const TqdLargeBlockTrailer* trailer = FindLarge(P);
  if (trailer == nullptr) return false;
  aInfo =
      TqdLargeBlockInfo{trailer->ltSize,     trailer->ltMapping >= 0, trailer->ltMapping,        trailer->ltView,
                        trailer->ltCapacity, trailer->ltTargetPages,  trailer->ltCommittedPages, trailer->ltGrowCount};
  return true;
}

void TqdItemManager::CheckLargeBlock(const void* P, size_t aSize) {
  if ((reinterpret_cast<uintptr_t>(P) & kBlockMask) != 0) return;  // a pool item
  const TqdLargeBlockTrailer* trailer = FindLarge(P);
  if (trailer == nullptr || trailer->ltSize != aSize ||
      reinterpret_cast<const uint8_t*>(trailer) + qdLargeTrailerSize !=
          trailer->ltBase + size_t{trailer->ltCommittedPages} * qdPageSize ||
      trailer->ltBase + aSize > reinterpret_cast<const uint8_t*>(trailer) ||
      size_t{trailer->ltCommittedPages} * qdPageSize > size_t{trailer->ltView} * kUnit) {
    qdAssertFailed("qdmmItemManager", "a reallocated large block's trailer describes it");
  }
}

void* TqdItemManager::ReallocLarge(void* P, size_t aSize) {
  TqdLargeBlockTrailer* trailer = FindLarge(P);
  if (trailer == nullptr) qdRaiseInvalidPointer();
  if (aSize > kMaxLargeRequest) return nullptr;
  TqdLargeBlockTrailer block = *trailer;
  const uint32_t neededView = unitsFor(aSize);
  const uint32_t neededPages = pagesFor(aSize);
  void* result = P;

  auto moveTo = [&](void* aFresh, size_t aCopy) -> void* {
    if (aFresh == nullptr) return nullptr;
    std::memcpy(aFresh, P, aCopy);
    if (!FreeLarge(P)) qdRaiseInvalidPointer();
    return aFresh;
  };

  if (block.ltMapping < 0) {
    // Plain: any change of its page count moves it.
    if (neededPages == block.ltCommittedPages) {
      trailer->ltSize = aSize;
      trailer->ltTargetPages = neededPages;
      CountAdd(fStatistics.msBytesRequested, static_cast<int64_t>(aSize) - static_cast<int64_t>(block.ltSize));
      return P;
    }
    const uint32_t growCount = block.ltGrowCount + 1;
    void* fresh = aSize <= qdMaxPoolRequest ? GetMem(aSize) : AllocLarge(aSize, growCount);
    result = moveTo(fresh, std::min<size_t>(block.ltSize, aSize));
  } else if (neededView > block.ltView) {
    const uint32_t growCount = block.ltGrowCount + 1;
    if (neededView > block.ltCapacity) {
      result = moveTo(AllocLarge(aSize, growCount), std::min<size_t>(block.ltSize, aSize));
    } else {
      // A larger view of the same mapping: the content stays where it is.
      uint32_t view = neededView;
      uint32_t pages = neededPages;
      if (growCount > 16) {
        view = std::min(view + view / 2, block.ltCapacity);
        pages = std::min(pages + pages / 2, view * 16);
      }
      pages = std::max(pages, block.ltCommittedPages);
      if (!fMemory.CommitMapping(block.ltMapping, uint64_t{block.ltCommittedPages} * qdPageSize,
                                 uint64_t{pages - block.ltCommittedPages} * qdPageSize)) {
        return nullptr;
      }
      auto* base = static_cast<uint8_t*>(
          fMemory.RemapView(block.ltMapping, block.ltBase, size_t{block.ltView} * kUnit, size_t{view} * kUnit));
      if (base == nullptr) return nullptr;
      void** slot = nullptr;
      if (base != block.ltBase) {
        slot = RadixSlot(reinterpret_cast<uintptr_t>(base) >> 16, true);
        if (slot == nullptr) {
          // No room for the new entry: go back to the old view.
          void* back = fMemory.RemapView(block.ltMapping, base, size_t{view} * kUnit, size_t{block.ltView} * kUnit);
          if (back == nullptr) qdRaiseInvalidPointer();
          if (back != block.ltBase) qdRaiseInvalidPointer();
          return nullptr;
        }
        __atomic_store_n(RadixSlot(reinterpret_cast<uintptr_t>(block.ltBase) >> 16, false), nullptr, __ATOMIC_RELEASE);
      } else {
        slot = RadixSlot(reinterpret_cast<uintptr_t>(base) >> 16, false);
      }
      CountAdd(fStatistics.msBytesCommitted,
               static_cast<int64_t>(pages - block.ltCommittedPages) * static_cast<int64_t>(qdPageSize));
      CountAdd(fStatistics.msBytesRequested, static_cast<int64_t>(aSize) - static_cast<int64_t>(block.ltSize));
      TqdLargeBlockTrailer* moved = trailerAt(base, pages);
      *moved =
          TqdLargeBlockTrailer{aSize, block.ltMapping, view, base, block.ltCapacity, neededPages, pages, growCount};
      __atomic_store_n(slot, static_cast<void*>(moved), __ATOMIC_RELEASE);
      result = base;
    }
  } else if (neededPages < block.ltCommittedPages / 8) {
    // Mostly unused now: a fresh, smaller block.
    result = moveTo(GetMem(aSize), aSize);
  } else if (neededView < block.ltView && neededPages < block.ltTargetPages) {
    // Shrinks: the pages above the new size go back and the view shrinks.
    (void)fMemory.ResetMapping(block.ltMapping, uint64_t{neededPages} * qdPageSize,
                               uint64_t{block.ltCommittedPages - neededPages} * qdPageSize);  // only a hint
    CountAdd(fStatistics.msBytesCommitted,
             -static_cast<int64_t>(block.ltCommittedPages - neededPages) * static_cast<int64_t>(qdPageSize));
    CountAdd(fStatistics.msBytesRequested, static_cast<int64_t>(aSize) - static_cast<int64_t>(block.ltSize));
    uint32_t view = block.ltView;
    if (fMemory.RemapView(block.ltMapping, block.ltBase, size_t{view} * kUnit, size_t{neededView} * kUnit) ==
        block.ltBase) {
      view = neededView;
    }
    TqdLargeBlockTrailer* moved = trailerAt(block.ltBase, neededPages);
    *moved = TqdLargeBlockTrailer{aSize,       block.ltMapping,  view, block.ltBase, block.ltCapacity, neededPages,
                                  neededPages, block.ltGrowCount};
    __atomic_store_n(RadixSlot(reinterpret_cast<uintptr_t>(block.ltBase) >> 16, false), static_cast<void*>(moved),
                     __ATOMIC_RELEASE);
  } else {
    // In place; more pages when needed (by half more after many grows).
    uint32_t pages = block.ltCommittedPages;
    uint32_t growCount = block.ltGrowCount;
    if (neededPages > pages) {
      ++growCount;
      pages = neededPages;
      if (growCount > 16) pages = std::min(neededPages + neededPages / 2, block.ltView * 16);
      if (!fMemory.CommitMapping(block.ltMapping, uint64_t{block.ltCommittedPages} * qdPageSize,
                                 uint64_t{pages - block.ltCommittedPages} * qdPageSize)) {
        return nullptr;
      }
      CountAdd(fStatistics.msBytesCommitted,
               static_cast<int64_t>(pages - block.ltCommittedPages) * static_cast<int64_t>(qdPageSize));
    }
    CountAdd(fStatistics.msBytesRequested, static_cast<int64_t>(aSize) - static_cast<int64_t>(block.ltSize));
    TqdLargeBlockTrailer* moved = trailerAt(block.ltBase, pages);
    *moved = TqdLargeBlockTrailer{aSize,       block.ltMapping, block.ltView, block.ltBase, block.ltCapacity,
                                  neededPages, pages,           growCount};
    __atomic_store_n(RadixSlot(reinterpret_cast<uintptr_t>(block.ltBase) >> 16, false), static_cast<void*>(moved),
                     __ATOMIC_RELEASE);
  }
  if (result != nullptr) CheckLargeBlock(result, aSize);
  return result;
}

}  // namespace qd
