// Item manager of the engine allocator: 62 lock-free pools of fixed-size
// items living in 64 KB blocks of the committed block manager, and large
// blocks (above 32735 bytes) that take their own virtual memory and can
// grow in place.
//
// Pool block (64 KB, 64 KB aligned), header:
//   offset  size  field
//        0     8  pbLink      link on the pool's lists
//        8     8  pbOwner     owning pool
//       16     8  pbFreeHead  free items: low 32 bits = offset of the first
//                             free item (0 = none), high 32 bits = sequence;
//                             changed by 64-bit compare-exchange
//       24     4  pbCount     items in use (locked increment / decrement)
//       28     4  pbDetached  1 while the block is full and on no list
//       32     n  allocation bit map, one bit per item (set = in use)
// The header is 32 bytes + the bit map, rounded up to 16; items follow it.
// A free item's first 4 bytes hold the offset of the next free item, so the
// 4-byte pool works on 64-bit addresses as well.
//
// Pool lists (TqdListHead): two partial lists (blocks with free items; the
// one that allocation uses is chosen by mpPartialFreeBlockBool) and the
// free-block list (blocks with no item in use, waiting to be returned by the
// release thread's cleanup). The pair of partial lists is kept once per
// shard of threads (a thread gets the shard with the fewest live threads
// when it first needs one): a thread takes and puts back blocks through its
// own shard, so the items of one block mostly serve one thread and threads
// do not write to each other's cache lines. A thread whose shard and the
// free-block list are empty takes, before a new block, the blocks of shards
// no live thread uses, and the empty blocks of the others.
//
// Large block: 64 KB aligned; the user pointer is its base. A trailer at the
// end of its committed part records its size and geometry (layout below);
// an address table (radix over address >> 16, one byte per level, four
// levels for 48-bit addresses) leads from the base to the trailer. A plain
// large block is reserved and committed virtual memory; a mapping-backed one
// (made when a block grows by reallocation) is a view of a growable shared
// mapping with spare capacity, so it grows by remapping a larger view of
// the same mapping without copying.
//
// Thread caching (the process allocator only): each thread keeps free items
// of each pool of 8 to 1024 bytes (at most 128 items and 16 KB per pool; a
// full cache gives its older half back). A cached item stays counted in its
// block and keeps its allocation bit set; its first 8 bytes hold a tag (its
// address mixed with a per-process random secret) that marks it as freed,
// so a second free is still refused while the hot paths need no locked
// operation: allocation is a table look-up and a pop, a free is the pointer
// checks, a bit test and a push. Bits are set and cleared in batches (one
// locked operation per bit-map word) when a cache is refilled from or
// returned to the pools. A thread's cache goes back to the pools when the
// thread ends.
//
// Concurrency: every path is lock-free. Cleanup of the pools and the release
// passes run on the release thread only. Start and Stop are not concurrent
// with anything.
//
// Classes: qdmmItemManager::TqdPoolBlock, qdmmItemManager::TqdUnpagedObject,
// qdmmItemManager::TqdMemoryPool, TqdLargeBlockTrailer, TqdLargeBlockInfo,
// TqdMemoryStatistics, TqdItemManager.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/qdllInterlocked.h"
#include "foundation/qdmmBlockManagerCommitted.h"

namespace qd {

class TqdItemManager;

inline constexpr int32_t qdPoolCount = 62;
inline constexpr size_t qdMaxPoolRequest = 32735;  // larger requests are large blocks
inline constexpr size_t qdPoolBlockSize = 65536;

namespace qdmmItemManager {

class TqdMemoryPool;

struct TqdPoolBlock {
  TqdListEntry pbLink;
  TqdMemoryPool* pbOwner;
  uint64_t pbFreeHead;
  int32_t pbCount;
  uint32_t pbDetached;
  uint64_t pbAllocated[1];  // really as many words as the pool's items need
};
static_assert(offsetof(TqdPoolBlock, pbAllocated) == 32);

// The memory behind the pools: one 64 KB area committed (and locked, when
// the system allows) at start, never freed while the item manager lives.
struct TqdUnpagedArea {
  uint8_t* uaBase;
  size_t uaSize;
  size_t uaUsed;
};

// Objects carved from an unpaged area. Each instance takes its size rounded
// up to a cache line (so that pools used by different threads do not share
// one); deleting one only runs its destructor.
class TqdUnpagedObject {
 public:
  static void* operator new(size_t aSize, TqdUnpagedArea& aArea);
  static void operator delete(void* aObject, TqdUnpagedArea& aArea) noexcept;
  static void operator delete(void* aObject) noexcept;
};

class TqdMemoryPool : public TqdUnpagedObject {
 public:
  TqdMemoryPool(TqdItemManager& aManager, uint32_t aItemSize, int32_t aIndex);
  // Returns the blocks that no item uses any more.
  ~TqdMemoryPool();
  TqdMemoryPool(const TqdMemoryPool&) = delete;
  TqdMemoryPool& operator=(const TqdMemoryPool&) = delete;

  // An item, or nil when no block can be had.
  void* Alloc();
  // Takes P out of the variable first; false (P nil afterwards) when it was
  // not a live item of this pool. A nil variable gives false.
  bool Dispose(void*& P);
  // false when P is not a live item of this pool.
  bool DisposeDirect(void* P);
  // Returns empty blocks to the block manager (release thread, shut-down).
  void Cleanup();

  uint32_t ItemSize() const { return mpItemSize; }
  uint32_t ItemsPerBlock() const { return mpItemsPerBlock; }
  uint32_t BlockHeaderSize() const { return mpBlockHeaderSize; }
  int32_t Index() const { return mpIndex; }
  // Most items a thread keeps cached for this pool.
  uint32_t CacheLimit() const { return mpCacheLimit; }

  // --- Used by the item manager ---------------------------------------
  // Takes up to aCount items out of one block (their allocation bits stay
  // clear, they count as in use); how many, 0 when no block can be had.
  int32_t AllocBatch(void** aItems, int32_t aCount);
  // Puts an item whose allocation bit is clear back on its block.
  void ReleaseRaw(TqdPoolBlock* aBlock, void* aItem);
  // The item's index in its block, or -1 when P is not an item position.
  int32_t ItemIndex(const TqdPoolBlock* aBlock, const void* P) const;
  // Sets the item's allocation bit; raises EInvalidPointer when it was set.
  void MarkAllocated(void* P);
  // The same for items AllocBatch took from one block: one locked operation
  // per bit-map word.
  void MarkAllocatedBatch(void** aItems, int32_t aCount);
  // Returns items whose allocation bits are set (a thread cache's) to their
  // blocks: per block, the bits are cleared one word at a time and the items
  // pushed as one chain. The order of aItems is changed.
  void ReleaseCachedBatch(void** aItems, int32_t aCount);
  // Clears the item's allocation bit; false when it was clear or P is not
  // an item position.
  bool MarkFree(TqdPoolBlock* aBlock, void* P);
  bool IsAllocated(const TqdPoolBlock* aBlock, const void* P) const;
  // Quiescent check of every block on the pool's lists.
  void CheckInvariants() const;

 private:
  TqdListHead& CurrentPartialList();
  TqdPoolBlock* PopPartialBlock(bool& aFromFreeList);
  // How many items it returned.
  int32_t ReleaseCachedGroup(TqdPoolBlock* aBlock, void** aItems, int32_t aCount);
  TqdPoolBlock* NewBlock();
  void ReturnBlock(TqdPoolBlock* aBlock);
  void Detach(TqdPoolBlock* aBlock);
  void MarkNeedCleanup();

 public:
  static constexpr int32_t kShards = 8;

  // The pair of partial lists of one shard ([0] the first, [1] the
  // second), alone on its cache line.
  struct alignas(64) TqdShardLists {
    TqdListHead slHeads[2];
  };

  // Fields grouped on cache lines by who writes
  // them: the list selector (cleanup only), each shard's lists (mostly its
  // threads), the free-block list and cleanup flag (anyone), and the
  // read-only geometry that every allocation and free reads.
  alignas(64) uint32_t mpPartialFreeBlockBool;
  TqdShardLists mpPartialFreeBlockHeads[kShards];
  alignas(64) TqdListHead mpFreeBlockHead;
  uint32_t mpNeedCleanup;
  alignas(64) uint32_t mpBlockHeaderSize;
  uint32_t mpItemSize;
  uint32_t mpItemsPerBlock;

 private:
  // Item index = (offset * mpIndexFactor) >> 32, exact for offsets below
  // 64 KB.
  uint64_t mpIndexFactor;
  uint32_t mpCacheLimit;
  int32_t mpIndex;
  TqdItemManager& mpManager;
};

}  // namespace qdmmItemManager

// Large block trailer, at the end of the committed part of the block:
//   offset  size  field
//        0     8  ltSize            requested size in bytes
//        8     4  ltMapping         shared mapping behind the block, -1 when
//                                   the block is plain virtual memory
//       12     4  ltView            64 KB units mapped (plain: units covered)
//       16     8  ltBase            start of the block (the user pointer)
//       24     4  ltCapacity        64 KB units the mapping can hold
//       28     4  ltTargetPages     4 KB pages wanted for the current size
//       32     4  ltCommittedPages  4 KB pages committed
//       36     4  ltGrowCount       times the block grew by reallocation
struct TqdLargeBlockTrailer {
  uint64_t ltSize;
  int32_t ltMapping;
  uint32_t ltView;
  uint8_t* ltBase;
  uint32_t ltCapacity;
  uint32_t ltTargetPages;
  uint32_t ltCommittedPages;
  uint32_t ltGrowCount;
};
static_assert(sizeof(TqdLargeBlockTrailer) == 40);

inline constexpr size_t qdLargeTrailerSize = sizeof(TqdLargeBlockTrailer);

struct TqdLargeBlockInfo {
  size_t lbSize;
  bool lbMappingBacked;
  int32_t lbMapping;
  uint32_t lbView;
  uint32_t lbCapacity;
  uint32_t lbTargetPages;
  uint32_t lbCommittedPages;
  uint32_t lbGrowCount;
};

// The allocator's counters (locked add and subtract); nothing in the engine
// reads them, the allocator table exposes them.
struct TqdMemoryStatistics {
  int64_t msBytesReserved;
  int64_t msBytesCommitted;
  int64_t msBytesRequested;
  int64_t msHeaderBytes;
  int64_t msItemBytesInUse;
};

class TqdItemManager {
 public:
  // aThreadCaching: keep per-thread item caches (one item manager of the
  // process at most).
  TqdItemManager(TqdBlockManagerCommitted& aBlocks, IqdVirtualMemory& aMemory, bool aThreadCaching);
  TqdItemManager(const TqdItemManager&) = delete;
  TqdItemManager& operator=(const TqdItemManager&) = delete;
  ~TqdItemManager();

  // The unpaged area, the 62 pools and the two choice tables.
  void Start();
  // Frees every large block still alive, then the pools.
  void Stop();

  // Pointer or nil.
  void* GetMem(size_t aSize);
  // 0 on success, non-zero when P is not an allocated item or large block.
  [[nodiscard]] int32_t FreeMem(void* P);
  // The new pointer (content kept up to the smaller size), or nil when the
  // new memory can not be had (the old block stays as it was). Raises
  // EInvalidPointer when P is not a live item or large block.
  void* ReallocMem(void* P, size_t aSize);

  // Cleans every pool (release thread).
  void CleanupPools();

  qdmmItemManager::TqdMemoryPool& Pool(int32_t aIndex) { return *fPools[aIndex]; }
  // The pool GetMem uses for a request of aSize bytes (1..32735).
  qdmmItemManager::TqdMemoryPool& PoolForSize(size_t aSize);
  // The pool whose live item P is, or nil.
  qdmmItemManager::TqdMemoryPool* PoolOfItem(const void* P);
  // Whether aBlock is a 64 KB block a pool holds.
  bool IsPoolBlock(const void* aBlock);

  // Large blocks.
  void* AllocLarge(size_t aSize, uint32_t aGrowCount);
  [[nodiscard]] bool FreeLarge(void* P);
  bool LargeBlockInfo(const void* P, TqdLargeBlockInfo& aInfo);

  TqdMemoryStatistics Statistics() const;
  TqdBlockManagerCommitted& Blocks() { return fBlocks; }
  IqdVirtualMemory& Memory() { return fMemory; }
  bool ThreadCaching() const { return fThreadCaching; }
  // Gives the calling thread's cached items back to the pools.
  void FlushThreadCache();

  // Quiescent check of every pool.
  void CheckInvariants() const;

  // --- Used by the pools ----------------------------------------------
  void CountAdd(int64_t& aCounter, int64_t aValue) { qdInterlockedAdd64(aCounter, aValue); }
  // Bytes of items in use change with every cache refill and flush: counted
  // per shard of threads, summed by Statistics.
  void CountItemBytes(int64_t aValue);
  TqdBlockClass& PoolBlockClass() { return fBlocks.BlockClass(qdBlockClass64k); }

 private:
  qdmmItemManager::TqdMemoryPool* PoolOfBlock(const void* aBlock);
  int32_t FreeLargeOrNil(void* P);
  int32_t FreeMemSlow(qdmmItemManager::TqdMemoryPool& aPool, qdmmItemManager::TqdPoolBlock* aBlock, void* P);
  void* ReallocItem(qdmmItemManager::TqdMemoryPool& aPool, void* P, size_t aSize);
  void* ReallocLarge(void* P, size_t aSize);
  TqdLargeBlockTrailer* FindLarge(const void* P);
  void** RadixSlot(uintptr_t aKey, bool aCreate);
  void FreeRadix(void** aNode, int32_t aLevel);
  void* CachedAlloc(qdmmItemManager::TqdMemoryPool& aPool);
  void CheckLargeBlock(const void* P, size_t aSize);
  // The mark of a thread-cached item.
  uint64_t TagOf(const void* P) const { return reinterpret_cast<uintptr_t>(P) ^ fTagSecret; }
  bool IsTagged(const void* P) const;

  TqdBlockManagerCommitted& fBlocks;
  TqdChunkManager& fChunks;
  TqdBlockClass* fPoolBlockClass;
  IqdVirtualMemory& fMemory;
  bool fThreadCaching;
  bool fStarted = false;
  uint64_t fTagSecret = 0;
  qdmmItemManager::TqdUnpagedArea fArea{};
  qdmmItemManager::TqdMemoryPool* fPools[qdPoolCount]{};
  uintptr_t fPoolsStart = 0;
  uintptr_t fPoolsEnd = 0;
  uint8_t fSmallChoice[17]{};     // sizes 1..64 by size div 4
  uint8_t fMediumChoice[1023]{};  // sizes 65..32735 by (size - 1) div 32
  void* fRadixRoot[256]{};

 public:
  // Last and on cache lines of their own: every thread writes the counters,
  // while the fields above are read by every allocation. The item-bytes
  // field of fStatistics is not used; fItemBytes holds it per shard.
  struct alignas(64) TqdShardCounter {
    int64_t scValue;
  };
  alignas(64) TqdMemoryStatistics fStatistics;
  TqdShardCounter fItemBytes[qdmmItemManager::TqdMemoryPool::kShards]{};
};

}  // namespace qd
