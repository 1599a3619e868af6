// The static record engine: fixed-length record images in fixed-size slots
// of "QDDH" data blocks. Registered in the record family as "qd1xDefault"
// and "Static".
//
// A record's reference is (block number << 32) | slot, slots counted from
// 1, so a record never moves while it exists. The engine keeps a chain of
// all its data blocks (physical order), a chain of the blocks with a free
// slot, and inside each block a chain of free slots. It never gives a data
// block back to the file: an empty block stays in the chain and is reused.
//
// Header section (20 bytes in block 0, named by the record descriptor;
// little-endian, all zero for a new table):
//
//   offset size meaning
//        0    4 number of records
//        4    4 first data block (0 = none)
//        8    4 last data block (0 = none)
//       12    4 free slots in all data blocks
//       16    4 head of the free-block chain (0 = none)
//
// Invariant: the free-slot count is 0 exactly when the free-block chain is
// empty (checked before and after every add and delete; 8961).
//
// Data block "QDDH" (u = the file's usable block size):
//
//   offset               size                   meaning
//        0               16                     common block header
//       16                4                     next data block (0 = last)
//       20                4                     previous data block (0 = first)
//       24                4                     next block of the free-block chain
//       28                2                     first free slot (0 = full)
//       30                2                     slots in use
//       32                reInUseArraySize      in-use bitmap (slot s: bit s-1)
//       reFirstRecordOffset  slots x slot size  the slots, packed against u
//
// A free slot holds the next free slot of the block in its first 4 bytes
// (0 ends the chain). Everything read from a block is checked before it
// drives an offset: a next-free value must name a slot of the block whose
// in-use bit is clear, an in-use count must match the bitmap, and chain
// walks stop after as many steps as the file has blocks (8961 otherwise).
//
// Images handed to iterators come from the shared committed block only
// when the caller gave no buffer; the RefNr field is then not rewritten
// (the stored image already holds the record's own reference) - it is
// written only into caller buffers and private copies.
//
// No lock of its own (see storage/qdsrRecordEngineBase.h).
#pragma once

#include "storage/qdsrRecordEngineBase.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdStaticRecordEngineException, EqdBaseRecordEngineException);

inline constexpr TqdRefNr qdMakeStaticRefNr(TqdBlockNumber aBlock, uint32_t aSlot) {
  return TqdRefNr((uint64_t(aBlock) << 32) | aSlot);
}
inline constexpr TqdBlockNumber qdStaticRefNrBlock(TqdRefNr aRefNr) { return TqdBlockNumber(uint64_t(aRefNr) >> 32); }
inline constexpr uint32_t qdStaticRefNrSlot(TqdRefNr aRefNr) { return uint32_t(uint64_t(aRefNr) & 0xFFFFFFFF); }

// The slot layout of a usable block size u and a record length L.
struct TqdStaticRecordLayout {
  uint16_t RecsPerBlock = 0;
  uint16_t InUseArraySize = 0;
  uint16_t RecordLength = 0;
  uint16_t FirstRecordOffset = 0;
};
// Raises 15495 when not one record fits.
TqdStaticRecordLayout qdStaticRecordLayout(uint32_t aUsableBlockSize, uint32_t aRecordLength);

class TqdStaticRecordEngine : public TqdBaseRecordEngine {
 public:
  static const TqdRecordEngineClass ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }

  // With a transaction (a new table) the header section is created and
  // zeroed; without one it is looked up.
  TqdStaticRecordEngine(TqdBaseRecordDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                        TqdBaseTransaction* aTrans);

  // Raises the record file's block size until one record fits; 15495 when
  // none does.
  static void CheckValidDescriptor(TqdBaseTableDescriptor* aTableDescriptor);

  void AddRecord(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBuffer aRecData) override;
  void DeleteRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr) override;
  void ReadNextRecord(TqdBaseTransaction* aTrans, TqdRefNr aFromRefNr, TqdRefNr& aRefNr,
                      PqdRecordBuffer aRecData) override;
  void ReadPrevRecord(TqdBaseTransaction* aTrans, TqdRefNr aFromRefNr, TqdRefNr& aRefNr,
                      PqdRecordBuffer aRecData) override;
  void ReadRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aRecData) override;
  void UpdateRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aNewRecord,
                    PqdRecordBuffer aOldRecord) override;
  void GetRecordCount(TqdBaseTransaction* aTrans, uint32_t& aCount) override;
  void Iterate(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBufferPtr aData, TqdRecordIterator aIterator,
               void* aCookie, TqdBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst) override;
  void IterateBackward(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBufferPtr aData,
                       TqdRecordIterator aIterator, void* aCookie, TqdBaseFilterEngine* aFilter, bool aKeepPosition,
                       bool aSkipFirst) override;
  [[nodiscard]] TqdResult RecNoGet(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, TqdBaseFilterEngine* aFilter,
                                   uint32_t& aRecNo, bool aFlipOrder) override;
  [[nodiscard]] TqdResult RecNoSet(TqdBaseTransaction* aTrans, uint32_t aRecNo, TqdRefNr& aRefNr,
                                   TqdBaseFilterEngine* aFilter, bool aFlipOrder) override;
  int32_t GetRecoverID() override;
  TqdRecordIteratorResult RecoverIterate(const uint8_t* aBlock, TqdBlockNumber aBlockNumber, PqdRecordBufferPtr aData,
                                         TqdRecordIterator aIterator, void* aCookie) override;
  TqdRecordIteratorResult ReadRecordForIterate(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBufferPtr aData,
                                               TqdRecordIterator aIterator, void* aCookie,
                                               TqdBaseFilterEngine* aFilter) override;
  void ReplaceAllRecords(TqdBaseTransaction* aTrans, TqdGetRecordCallback aCallback, void* aCookie) override;

  // Walks both chains and every block and checks counts, links and bitmaps
  // against each other (debug tier). Raises 8961 naming what is broken.
  void CheckInvariants(TqdBaseTransaction* aTrans);

  uint16_t HeaderSection() const { return reHeaderSection; }
  uint16_t RecsPerBlock() const { return reRecsPerBlock; }
  uint16_t InUseArraySize() const { return reInUseArraySize; }
  uint16_t SlotLength() const { return reRecordLength; }
  uint16_t FirstRecordOffset() const { return reFirstRecordOffset; }
  bool FileIsV1() const { return reFileIsV1; }

 private:
  // ReadNextRecord and ReadPrevRecord: the first live slot after (before)
  // aFromRefNr in chain order.
  void ReadNeighbourRecord(TqdBaseTransaction* aTrans, TqdRefNr aFromRefNr, TqdRefNr& aRefNr, PqdRecordBuffer aRecData,
                           bool aBackward);
  class TqdWalk;

  void DoIterate(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBufferPtr aData, TqdRecordIterator aIterator,
                 void* aCookie, TqdBaseFilterEngine* aFilter, bool aKeepPosition, bool aSkipFirst, bool aBackward);

  uint16_t reHeaderSection = 0;
  uint16_t reRecsPerBlock = 0;
  uint16_t reInUseArraySize = 0;
  uint16_t reRecordLength = 0;
  uint16_t reFirstRecordOffset = 0;
  bool reFileIsV1 = false;
};

void qdseRecordEngineStaticInitialize();
void qdseRecordEngineStaticFinalize();

}  // namespace qd
