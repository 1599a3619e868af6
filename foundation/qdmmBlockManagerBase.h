// Block managers of the engine allocator: cut 4 MB chunks into blocks of six
// fixed sizes (4 KB, 8 KB, 16 KB, 32 KB, 64 KB and the whole 4 MB chunk).
//
// Each class keeps a bit map of the chunks it owns that still have a free
// block; each chunk record (owned by the chunk manager) keeps the bit map of
// its free blocks. Blocks are handed out from the top of the highest chunk
// downwards. A block is the chunk's base + block number * block size.
//
// A chunk belongs to one class from the moment it is taken until a release
// pass finds all of its blocks free and gives it back to the chunk manager.
// The release pass is run by the allocator's release thread only.
//
// Concurrency: lock-free (bit maps; the chunk's owner is re-checked after a
// block is taken, so a chunk given back in between is noticed and the block
// put back).
//
// Classes: TqdBlockClass, TqdBlockManagerBase.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/qdmmBitMap.h"
#include "foundation/qdmmChunkManager.h"

namespace qd {

class TqdBlockManagerBase;

// Classes by index: 4 KB, 8 KB, 16 KB, 32 KB, 64 KB, 4 MB.
inline constexpr int32_t qdBlockClassCount = 6;
inline constexpr int32_t qdBlockClass64k = 4;

struct TqdBlockClass {
  int32_t bcIndex;
  int32_t bcShift;
  size_t bcSize;
  size_t bcMask;  // bcSize - 1
  intptr_t bcNegSize;
  // Words of a chunk's free-block map this class uses (16, 8, 4, 2, 1, 0)
  // and the full summary they give when every block is free.
  int32_t bcWordCount;
  uint64_t bcFullMask;
  TqdBlockManagerBase* bcManager;
  // Chunks of this class with at least one free block.
  TqdBitMap bcChunks;
};

class TqdBlockManagerBase {
 public:
  TqdBlockManagerBase(const TqdBlockManagerBase&) = delete;
  TqdBlockManagerBase& operator=(const TqdBlockManagerBase&) = delete;
  virtual ~TqdBlockManagerBase() = default;

  // Computes the class descriptors and clears their maps.
  void Start();
  void Stop();

  TqdBlockClass& BlockClass(int32_t aIndex) { return fClasses[aIndex]; }
  TqdChunkManager& Chunks() { return fChunks; }

  // A block of the class, or nil when no chunk can be had.
  void* AllocBlock(TqdBlockClass& aClass);
  // false when the block does not belong to the class, is not aligned to
  // its size or is already free.
  [[nodiscard]] bool FreeBlock(TqdBlockClass& aClass, void* aBlock);
  // Gives every chunk whose blocks are all free back to the chunk manager.
  void ReleasePass();
  void ReleasePass(TqdBlockClass& aClass);

  // The owning class of the chunk holding aBlock when it belongs to this
  // manager, else nil.
  TqdBlockClass* ClassOf(const void* aBlock);

 protected:
  TqdBlockManagerBase(TqdChunkManager& aChunks, IqdVirtualMemory& aMemory, bool aKeepsFreedMarks);

  // A chunk for this manager (its number), or -1.
  virtual int32_t AcquireChunk() = 0;

 private:
  void DropFullChunk(TqdBlockClass& aClass, TqdChunkRecord& aRecord);

  TqdChunkManager& fChunks;
  IqdVirtualMemory& fMemory;
  bool fKeepsFreedMarks;
  TqdBlockClass fClasses[qdBlockClassCount];
};

}  // namespace qd
