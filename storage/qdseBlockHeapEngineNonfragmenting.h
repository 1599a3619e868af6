// The default block heap engine ("qd1xDefault"): variable-size segments
// inside one block image. Segments are numbered through a directory at the
// end of the block, so a segment keeps its number when it moves; freed
// space is reclaimed by compacting the block, never left fragmented.
//
// Layout (B = the usable block size, h = the owner's header size, H = h + 4
// rounded up to a multiple of 4; 16-bit little-endian words, offsets from
// the start of the block):
//
//   offset          meaning
//   0 .. h-1        the owner's header
//   H-4             live segment count
//   H               start of the segment area
//   B-2             N: directory entries handed out so far
//   B-4             head of the chain of reusable numbers (0: empty)
//   B-6             recoverable bytes of freed segments not yet compacted
//   B-6-2s          directory entry of segment s, 1 <= s <= N
//   D = B-8-2N      free-area word: offset F of the free chunk, 0: none
//
// Directory entries: a live segment holds its offset (a multiple of 4); a
// freed one not yet compacted its offset with bit 0 set; a reusable number
// (next reusable number * 4) + 2, the chain ascending. A segment at offset o
// is a length word n and n data bytes and occupies a(n) = n + 2 rounded up
// to a multiple of 4. The free chunk is always the space between the
// highest segment and the free-area word: a size word S = D - F - 4, S
// bytes for one segment, and 2 bytes kept so that the directory can grow.
// A fresh block offers MaxSegmentSize = B - H - 12 bytes.
//
// Every operation first checks the block's words (the directory inside the
// block, live offsets multiples of 4 from H on, every live segment and the
// free chunk ending before the free-area word, counts that agree) and
// raises 8962 on the first violation, so a damaged block never makes the
// engine read or write outside it. VerifyBlock adds the layout checks
// (no overlaps, enough gaps for the recoverable space).
//
// Classes: TqdNonfragmentingBlockHeapEngine,
// EqdNonfragmentingBlockHeapEngineException. The engine keeps one scratch
// block for compactions; no locks (its heap engine's owner serialises).
#pragma once

#include <vector>

#include "storage/qdsrBlockHeapEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdNonfragmentingBlockHeapEngineException, EqdBaseBlockHeapEngineException);

class TqdNonfragmentingBlockHeapEngine : public TqdBaseBlockHeapEngine {
 public:
  static const TqdBlockHeapEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  TqdNonfragmentingBlockHeapEngine(TqdBaseBlockHeapDescriptor* aDescriptor, uint32_t aBlockSize, uint16_t aHeaderSize,
                                   int32_t aTableVersion);

  void InitBlock(PqdBlock aBlock) override;
  PqdHeapSegment AllocSegment(PqdBlock aBlock, uint16_t aSegmentSize, TqdSegmentRef& aSegment) override;
  PqdHeapSegment ReAllocSegment(PqdBlock aBlock, uint16_t aNewSegmentSize, TqdSegmentRef aSegment) override;
  void FreeSegment(PqdBlock aBlock, TqdSegmentRef aSegment) override;
  PqdHeapSegment GetSegment(PqdBlock aBlock, TqdSegmentRef aSegment, uint16_t& aSegmentSize) override;
  PqdHeapSegment GetNextSegment(PqdBlock aBlock, TqdSegmentRef& aSegment, uint16_t& aSegmentSize) override;
  PqdHeapSegment GetPrevSegment(PqdBlock aBlock, TqdSegmentRef& aSegment, uint16_t& aSegmentSize) override;
  uint16_t GetFreespace(PqdBlock aBlock) override;
  void IncSegmentRef(TqdSegmentRef& aSegmentRef) override;

  // Packs the live segments from H on, segment aResizeSegment (0: none)
  // resized to aNewSegmentSize; trims trailing dead numbers and chains the
  // reusable ones. False, with the block unchanged, when the resized
  // segment does not fit.
  bool CompactBlock(PqdBlock aBlock, TqdSegmentRef aResizeSegment, uint16_t aNewSegmentSize);
  // Raises 8962 at the first violated invariant, naming the values.
  void VerifyBlock(const uint8_t* aBlock, bool aBefore);
  // The cheap structural check every operation runs first (8962).
  void CheckBlock(const uint8_t* aBlock) override;

  uint16_t BlockHeapHeaderSize() const { return bheHeaderSize; }

 private:
  uint16_t bheHeaderSize;
  std::vector<uint8_t> bheTempBlock;
};

void qdseBlockHeapEngineNonfragmentingInitialize();
void qdseBlockHeapEngineNonfragmentingFinalize();

}  // namespace qd
