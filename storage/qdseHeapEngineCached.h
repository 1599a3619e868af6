// The default heap engine ("qd1xDefault"): segments spread over many heap
// data blocks of one file, each formatted by the block heap engine, and a
// chain of map blocks recording the free space of the data blocks, cached
// in memory so that a new segment finds its block without reading data
// blocks.
//
// Heap data block "QDHD": the common block header, the owner's further
// header fields up to its DataBlockHeaderSize, then the block heap area
// (storage/qdseBlockHeapEngineNonfragmenting.h).
//
// Heap map block "QDHM" (u = the file's usable block size):
//
//   offset size content
//        0    4 signature "QDHM"
//        4    4 the block's own number
//        8    8 LSN
//       16    4 next map block (0: the last)
//       20    2 entry count E, at most MaxEntries = (u - 22) div 6
//       22  6*E entries: data block number (4), its free space (2); the
//               bytes of a removed entry are zero
//
// The first map block is the map root, kept by the owner's header handler
// (0: no map). Only data blocks with at least 40 bytes free have an entry.
// A data block whose last segment goes is given back to the file; a map
// block that empties at the end of the chain too.
//
// Heap reference: data block number in the high 32 bits, segment number in
// the low 32 bits; from table version 47005 on bits 16..31 count reuses and
// HeapRefMask clears them.
//
// Everything read from the file is checked first: a map entry count above
// MaxEntries, a next link outside the file, a chain that loops, an entry
// naming a block twice and a recorded free space that disagrees with its
// block raise 8962; heap blocks with a wrong signature or number 15416.
//
// Classes: TqdCachedHeapEngine, EqdCachedHeapEngineException. The map cache
// follows the transaction that last changed the heap and is dropped when
// that transaction rolls back. No locks: the table's writers are
// serialised by the server.
#pragma once

#include <map>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/qdsrHeapEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdCachedHeapEngineException, EqdBaseHeapEngineException);

struct TqdHeapDataBlockInfo {
  uint32_t hdbiBlockNumber;
  uint16_t hdbiFreeSpace;
};

struct TqdHeapManagmentBlockInfo {
  uint32_t hmpiBlockNumber;
  std::vector<TqdHeapDataBlockInfo> hmpiBlockInfos;
};

class TqdCachedHeapEngine : public TqdBaseHeapEngine {
 public:
  static const TqdHeapEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  static constexpr uint16_t kCutoffSize = 40;

  TqdCachedHeapEngine(TqdBaseHeapDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                      TqdHeapHeaderHandler* aHeaderHandler);

  void BlockHeapChanged(PqdBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                        uint16_t aRecoverableSpace) override;
  // 0 when the pieces add up to 0 or to more than MaxSegmentSize.
  TqdHeapRef AllocSegment(TqdBaseTransaction* aTrans, const std::vector<const void*>& aPointers,
                          const std::vector<uint16_t>& aSizes) override;
  TqdHeapRef AllocSegmentEx(TqdBaseTransaction* aTrans, const std::vector<const void*>& aPointers,
                            const std::vector<uint32_t>& aSizes, uint16_t aMinSize, uint16_t& aSize,
                            uint16_t aHeaderSize, uint16_t aItemSize, bool aNoSplit) override;
  TqdHeapRef ReAllocSegmentEx(TqdBaseTransaction* aTrans, PqdBlock aBlock, TqdSegmentRef aSegment,
                              const std::vector<const void*>& aPointers, const std::vector<uint32_t>& aSizes,
                              uint16_t aMinSize, uint16_t& aSize, uint16_t aHeaderSize, uint16_t aItemSize,
                              bool aNoSplit) override;
  PqdHeapSegment GetSegment(TqdBaseTransaction* aTrans, TqdHeapRef aHeapRef, bool aMarkDirty, uint16_t& aSegmentSize,
                            TqdBlockRef& aBlock) override;
  TqdBlockRef ReadBlockHeap(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty) override;
  void Rollback(TqdBaseTransaction* aTrans) override;
  void IncHeapRef(TqdHeapRef& aHeapRef) override;
  TqdBlockSignature SigDataBlock() override;

  // Reads the map chain into the cache (done lazily by every change).
  void LoadManagmentBlocks(TqdBaseTransaction* aTrans);

  uint16_t MaxEntries() const { return heMaxEntries; }
  bool ManagmentBlocksLoaded() const { return heManagmentBlocksLoaded; }
  const std::vector<TqdHeapManagmentBlockInfo>& ManagmentBlocks() const { return heManagmentBlocks; }
  uint16_t FirstNonFullIndex() const { return heFirstNonFullIndex; }

 private:
  void EnsureLoaded(TqdBaseTransaction* aTrans);
  void DropCache();
  // Block aBlockNumber with its signature, number (15409, 15416) and owner
  // checked.
  TqdBlockRef CheckedBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty,
                           const TqdBlockSignature& aSignature);
  TqdBlockRef ReadMapBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty);
  // The map block at aIndex for modification, its count checked against the
  // cache.
  TqdBlockRef MapBlockForChange(TqdBaseTransaction* aTrans, uint32_t aIndex);
  TqdBlockRef NewDataBlock(TqdBaseTransaction* aTrans);
  void DeleteDataBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber);
  uint32_t NewMapBlock(TqdBaseTransaction* aTrans);
  void RemoveTrailingEmptyMapBlocks(TqdBaseTransaction* aTrans);
  void ComputeFirstNonFull();
  // The data block with the most recorded free space; false when none.
  bool BestBlock(TqdBlockNumber& aBlockNumber, uint16_t& aFreeSpace) const;
  [[noreturn]] void RaiseDamaged(qdStringView aWhat, uint32_t aBlockNumber) const;

  uint16_t heMaxEntries;
  bool heManagmentBlocksLoaded = false;
  std::vector<TqdHeapManagmentBlockInfo> heManagmentBlocks;
  uint16_t heFirstNonFullIndex = 0xFFFF;
  // Data block number -> (map block index, entry index).
  std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> heByBlockNumber;
  // (free space, data block number), the largest last.
  std::set<std::pair<uint16_t, uint32_t>> heByFreeSpace;
  TqdBaseTransaction* heCurrentTrans = nullptr;
};

void qdseHeapEngineCachedInitialize();
void qdseHeapEngineCachedFinalize();

}  // namespace qd
