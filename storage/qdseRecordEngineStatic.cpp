#include "storage/qdseRecordEngineStatic.h"

#include <cstring>
#include <memory>

#include "dictionary/qdsdDataDictionary_Fields.h"
#include "dictionary/qdsdDataDictionary_Storage.h"
#include "dictionary/qdsdDataDictionary_Tables.h"

namespace qd {

namespace {

constexpr TqdBlockSignature kDataBlockSignature{{'Q', 'D', 'D', 'H'}};
constexpr uint32_t kHeaderSectionSize = 20;

// Header section fields.
constexpr uint32_t kHdrRecordCount = 0;
constexpr uint32_t kHdrFirstBlock = 4;
constexpr uint32_t kHdrLastBlock = 8;
constexpr uint32_t kHdrFreeSlots = 12;
constexpr uint32_t kHdrFreeHead = 16;

// Data block fields.
constexpr uint32_t kBlkNext = 16;
constexpr uint32_t kBlkPrev = 20;
constexpr uint32_t kBlkFreeNext = 24;
constexpr uint32_t kBlkFirstFree = 28;
constexpr uint32_t kBlkInUse = 30;
constexpr uint32_t kBlkBitmap = 32;

// qdCheckTimeout runs when the slot counter's remainder by 1000 is this.
constexpr uint32_t kTimeoutPhase = 2;

[[noreturn]] void raiseCorrupt(const char* aFile = __builtin_FILE(), int aLine = __builtin_LINE()) {
  qdRaiseCorrupt<EqdStaticRecordEngineException>(qdeHeaderCorrupt, {}, aFile, aLine);
}

// The blocks of one operation's walk: every step is counted against the
// file's block count, so that a chain that loops ends with 8961.
class TqdChainGuard {
 public:
  explicit TqdChainGuard(uint32_t aLimit) : cgLimit(aLimit) {}
  void Step() {
    if (++cgSteps > cgLimit) raiseCorrupt();
  }

 private:
  uint32_t cgLimit;
  uint32_t cgSteps = 0;
};

// Calls qdCheckTimeout at the documented rhythm of a slot walk.
class TqdTimeoutPacer {
 public:
  void Slot() {
    if (++tpCounter % 1000 == kTimeoutPhase) qdCheckTimeout();
  }
  void Block() { qdCheckTimeout(); }

 private:
  uint32_t tpCounter = 0;
};

// A record buffer from the layout's pool, returned at scope end.
class TqdPooledRecord {
 public:
  explicit TqdPooledRecord(const TqdMemoryPool& aPool)
      : prPool(aPool), prRecord(static_cast<PqdRecordBuffer>(aPool.Alloc())) {}
  ~TqdPooledRecord() { prPool.DisposeDirect(prRecord); }
  TqdPooledRecord(const TqdPooledRecord&) = delete;
  TqdPooledRecord& operator=(const TqdPooledRecord&) = delete;
  PqdRecordBuffer Get() const { return prRecord; }

 private:
  TqdMemoryPool prPool;
  PqdRecordBuffer prRecord;
};

}  // namespace

// --- Layout --------------------------------------------------------------------------------

TqdStaticRecordLayout qdStaticRecordLayout(uint32_t aUsableBlockSize, uint32_t aRecordLength) {
  if (aRecordLength == 0 || aUsableBlockSize < 33 + aRecordLength)
    throw EqdStaticRecordEngineException(qdeRecordTooLarge, u"Maximum record size has been exceeded");
  TqdStaticRecordLayout layout;
  const uint32_t u = aUsableBlockSize;
  const uint32_t recs = ((u - 32) * 8) / (aRecordLength * 8 + 1);
  if (recs == 0 || recs > 0xFFFF)
    throw EqdStaticRecordEngineException(qdeRecordTooLarge, u"Maximum record size has been exceeded");
  layout.RecsPerBlock = uint16_t(recs);
  layout.InUseArraySize = uint16_t((recs + 7) / 8);
  uint32_t slot = (u - layout.InUseArraySize - 32) / recs;
  // Keep as many low zero bits in the slot size as the spare room allows.
  for (uint32_t bit = 0; bit < 16; ++bit) {
    const uint32_t cleared = slot & ~(uint32_t(1) << bit);
    if (cleared < aRecordLength) break;
    slot = cleared;
  }
  layout.RecordLength = uint16_t(slot);
  const uint32_t first = u - slot * recs;
  if (first < uint32_t(layout.InUseArraySize) + 32)
    qdAssertFailed("qdseRecordEngineStatic", "the slots overlap the block header");
  layout.FirstRecordOffset = uint16_t(first);
  return layout;
}

// --- A walk over one operation's blocks -------------------------------------------------------

// What every operation needs: the file, the layout, the engine's owner and
// the checks that turn a stored number into a block or a slot.
class TqdStaticRecordEngine::TqdWalk {
 public:
  TqdWalk(TqdStaticRecordEngine& aEngine, TqdBaseTransaction* aTrans, bool aWriteHeader)
      : wEngine(aEngine), wTrans(aTrans), wHeader(aEngine.breDataFile->HeaderAccess(aTrans, aWriteHeader)) {
    wSection = aEngine.reHeaderSection;
    if (uint32_t(wSection) + kHeaderSectionSize > aEngine.breDataFile->fiBlockSizeBytes()) raiseCorrupt();
  }

  // --- Header section ---
  uint32_t Hdr(uint32_t aOffset) const { return qdGetU32(wHeader->Header() + wSection + aOffset); }
  void SetHdr(uint32_t aOffset, uint32_t aValue) { qdPutU32(wHeader->WritableHeader() + wSection + aOffset, aValue); }
  void CheckInvariant() const {
    if ((Hdr(kHdrFreeSlots) == 0) != (Hdr(kHdrFreeHead) == 0)) raiseCorrupt();
  }
  uint32_t UsedBlocks() const { return wHeader->UsedBlocks(); }
  TqdBaseFileHeaderAccess* Header() const { return wHeader.get(); }

  // --- Blocks ---
  [[noreturn]] void RaiseBadBlockNumber(TqdBlockNumber aBlock) const {
    throw EqdStaticRecordEngineException(qdeBadBlockNum,
                                         u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
                                         {wEngine.breDataFile->fiName(), int64_t(aBlock)});
  }
  void CheckRefNr(TqdRefNr aRefNr) const {
    if (!wEngine.breDataFile->ValidBlock(qdStaticRefNrBlock(aRefNr), wTrans))
      RaiseBadBlockNumber(qdStaticRefNrBlock(aRefNr));
    const uint32_t slot = qdStaticRefNrSlot(aRefNr);
    if (slot < 1 || slot > wEngine.reRecsPerBlock)
      throw EqdStaticRecordEngineException(qdeBadRefNr,
                                           u"Number is not a valid QendoDB record reference number [%s, ref %d]",
                                           {wEngine.breDataFile->fiName(), int64_t(aRefNr)});
  }
  // A data block of this engine, checked; released by the handle on every
  // way out.
  TqdBlockRef Fetch(TqdBlockNumber aBlock, bool aWrite) const {
    // The number is checked and the block fetched in one cache lock round
    // trip.
    TqdBlockRef block = wEngine.breDataFile->GetValidBlock(wTrans, aBlock, aWrite);
    if (!block) RaiseBadBlockNumber(aBlock);
    TqdBaseFile* file = wEngine.breDataFile->_File();
    const uint8_t* data = block.Data();
    bool valid = qdBlockSignature(data) == kDataBlockSignature && qdBlockThisBlock(data) == aBlock;
    if (valid && !wEngine.reFileIsV1 && wEngine.bseID != 0 && file->HeaderAccessFactory() != nullptr)
      valid = file->HeaderAccessFactory()->GetID(data) == wEngine.bseID;
    if (!valid)
      throw EqdStaticRecordEngineException(qdeNotDataBlock,
                                           u"Block just read from file is not a valid data block [%s, block %d]",
                                           {wEngine.breDataFile->fiName(), int64_t(aBlock)});
    // Counts that drive the slot loops must fit the layout.
    if (qdGetU16(data + kBlkInUse) > wEngine.reRecsPerBlock || qdGetU16(data + kBlkFirstFree) > wEngine.reRecsPerBlock)
      raiseCorrupt();
    return block;
  }

  // The block of record aRefNr (checked) holding a live record at its slot;
  // a deleted record raises 8708.
  TqdBlockRef FetchRecord(TqdRefNr aRefNr, bool aWrite) const {
    // A slot outside the layout raises before anything is fetched (after a
    // block number outside the file, which Fetch checks otherwise).
    const uint32_t slot = qdStaticRefNrSlot(aRefNr);
    if (slot < 1 || slot > wEngine.reRecsPerBlock) CheckRefNr(aRefNr);
    TqdBlockRef block = Fetch(qdStaticRefNrBlock(aRefNr), aWrite);
    if (!InUse(block.Data(), slot))
      throw EqdStaticRecordEngineException(qdeKeyOrRecDeleted,
                                           u"Record has been deleted, cannot read/delete/update it [%s, ref %d]",
                                           {wEngine.breDataFile->fiName(), int64_t(aRefNr)});
    return block;
  }

  // --- Slots ---
  bool InUse(const uint8_t* aBlock, uint32_t aSlot) const {
    const uint32_t bit = aSlot - 1;
    return (aBlock[kBlkBitmap + bit / 8] & (1u << (bit % 8))) != 0;
  }
  void SetInUse(uint8_t* aBlock, uint32_t aSlot, bool aValue) const {
    const uint32_t bit = aSlot - 1;
    if (aValue)
      aBlock[kBlkBitmap + bit / 8] |= uint8_t(1u << (bit % 8));
    else
      aBlock[kBlkBitmap + bit / 8] &= uint8_t(~(1u << (bit % 8)));
  }
  uint32_t SlotOffset(uint32_t aSlot) const {
    return wEngine.reFirstRecordOffset + (aSlot - 1) * uint32_t(wEngine.reRecordLength);
  }
  // A free-slot number read from the block: 0 ends the chain, anything else
  // must be a free slot of the block.
  uint32_t CheckedFreeSlot(const uint8_t* aBlock, uint32_t aValue, bool aAllowEnd) const {
    if (aValue == 0 && aAllowEnd) return 0;
    if (aValue < 1 || aValue > wEngine.reRecsPerBlock || InUse(aBlock, aValue)) raiseCorrupt();
    return aValue;
  }

  TqdStaticRecordEngine& wEngine;
  TqdBaseTransaction* wTrans;
  std::unique_ptr<TqdBaseFileHeaderAccess> wHeader;
  uint16_t wSection = 0;
};

// --- The engine ------------------------------------------------------------------------------

const TqdRecordEngineClass TqdStaticRecordEngine::ClassInfo{
    {u"TqdStaticRecordEngine", &TqdBaseRecordEngine::ClassInfo, nullptr},
    &qdNewRecordEngine<TqdStaticRecordEngine>,
    &TqdStaticRecordEngine::CheckValidDescriptor};

TqdStaticRecordEngine::TqdStaticRecordEngine(TqdBaseRecordDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                             TqdBaseTransaction* aTrans)
    : TqdBaseRecordEngine(aDescriptor, aFiles, aTrans) {
  const TqdDataDictionary* dictionary = aDescriptor->Dictionary();
  reFileIsV1 = dictionary != nullptr ? dictionary->HeaderSignature() == qdSignature("QD!1")
                                     : breDataFile->_File()->fiHeaderSignature == qdSignature("QD!1");
  const TqdStaticRecordLayout layout = qdStaticRecordLayout(breDataFile->fiBlockSizeBytes(), breRecordLength);
  reRecsPerBlock = layout.RecsPerBlock;
  reInUseArraySize = layout.InUseArraySize;
  reRecordLength = layout.RecordLength;
  reFirstRecordOffset = layout.FirstRecordOffset;
  if (aTrans != nullptr) {
    auto header = breDataFile->HeaderAccess(aTrans, true);
    reHeaderSection = header->RegisterHeaderSection(aDescriptor->HeaderSection(), kHeaderSectionSize, true, false);
    std::memset(header->WritableHeader() + reHeaderSection, 0, kHeaderSectionSize);
  } else {
    auto header = breDataFile->HeaderAccess(nullptr, false);
    reHeaderSection = header->RegisterHeaderSection(aDescriptor->HeaderSection(), kHeaderSectionSize, false, false);
  }
}

void TqdStaticRecordEngine::CheckValidDescriptor(TqdBaseTableDescriptor* aTableDescriptor) {
  TqdBaseRecordDescriptor* record = aTableDescriptor->RecordDescriptor();
  if (record == nullptr) return;
  TqdDataDictionary* dictionary = dynamic_cast<TqdDataDictionary*>(aTableDescriptor);
  if (dictionary == nullptr) dictionary = aTableDescriptor->Dictionary();
  if (dictionary == nullptr) return;
  const uint32_t need = uint32_t(aTableDescriptor->FieldsDescriptor()->RecordLength()) + 33;
  for (int code = qdbs4k; code <= kMaxTableBlockSizeCode; ++code) {
    const auto size = TqdBlockSize(code);
    if (dictionary->UsableBlockSize(uint32_t(qdBlockSizeBytes(size))) < need) continue;
    TqdFileDescriptor* file = dictionary->FilesDescriptor()->FileDescriptor(record->FileNumber());
    if (file->BlockSize() < size) file->SetBlockSize(size);
    return;
  }
  throw EqdStaticRecordEngineException(qdeRecordTooLarge, u"Maximum record size has been exceeded");
}

// --- Adding and deleting ---------------------------------------------------------------------

void TqdStaticRecordEngine::AddRecord(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBuffer aRecData) {
  TqdWalk walk(*this, aTrans, true);
  walk.CheckInvariant();
  bool changed = false;
  try {
    TqdBlockRef block;
    TqdBlockNumber blockNumber = walk.Hdr(kHdrFreeHead);
    if (blockNumber != 0) {
      block = walk.Fetch(blockNumber, true);
    } else {
      // Append a data block; it becomes the only block with free slots.
      changed = true;
      block = walk.Header()->GetNewBlock(aTrans, bseID);
      blockNumber = block.BlockNumber();
      uint8_t* data = block.WritableData();
      std::memset(data + kBlockCommonHeaderSize, 0, breDataFile->fiBlockSizeBytes() - kBlockCommonHeaderSize);
      qdSetBlockSignature(data, kDataBlockSignature);
      const TqdBlockNumber last = walk.Hdr(kHdrLastBlock);
      qdPutU32(data + kBlkPrev, last);
      if (last != 0) {
        TqdBlockRef lastBlock = walk.Fetch(last, true);
        if (qdGetU32(lastBlock.Data() + kBlkNext) != 0) raiseCorrupt();
        qdPutU32(lastBlock.WritableData() + kBlkNext, blockNumber);
      } else {
        if (walk.Hdr(kHdrFirstBlock) != 0) raiseCorrupt();
        walk.SetHdr(kHdrFirstBlock, blockNumber);
      }
      walk.SetHdr(kHdrLastBlock, blockNumber);
      walk.SetHdr(kHdrFreeHead, blockNumber);
      qdPutU16(data + kBlkFirstFree, 1);
      for (uint32_t s = 1; s <= reRecsPerBlock; ++s)
        qdPutU32(data + walk.SlotOffset(s), s < reRecsPerBlock ? s + 1 : 0);
      walk.SetHdr(kHdrFreeSlots, walk.Hdr(kHdrFreeSlots) + reRecsPerBlock);
    }
    const uint8_t* image = block.Data();
    const uint32_t slot = walk.CheckedFreeSlot(image, qdGetU16(image + kBlkFirstFree), false);
    const uint32_t inUse = qdGetU16(image + kBlkInUse);
    if (inUse >= reRecsPerBlock) raiseCorrupt();
    const uint32_t next = walk.CheckedFreeSlot(image, qdGetU32(image + walk.SlotOffset(slot)), true);
    if (next == slot) raiseCorrupt();
    if (walk.Hdr(kHdrFreeSlots) == 0) raiseCorrupt();
    changed = true;
    uint8_t* data = block.WritableData();
    qdPutU16(data + kBlkFirstFree, uint16_t(next));
    if (next == 0) {
      walk.SetHdr(kHdrFreeHead, qdGetU32(data + kBlkFreeNext));
      qdPutU32(data + kBlkFreeNext, 0);
    }
    aRefNr = qdMakeStaticRefNr(blockNumber, slot);
    breSetRefNrField(aRecData, aRefNr);
    std::memcpy(data + walk.SlotOffset(slot), aRecData, breRecordLength);
    walk.SetInUse(data, slot, true);
    qdPutU16(data + kBlkInUse, uint16_t(inUse + 1));
    walk.SetHdr(kHdrRecordCount, walk.Hdr(kHdrRecordCount) + 1);
    walk.SetHdr(kHdrFreeSlots, walk.Hdr(kHdrFreeSlots) - 1);
    walk.CheckInvariant();
  } catch (...) {
    if (changed && aTrans != nullptr) aTrans->MarkCorrupted();
    throw;
  }
}

void TqdStaticRecordEngine::DeleteRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr) {
  TqdWalk walk(*this, aTrans, true);
  walk.CheckInvariant();
  const TqdBlockNumber blockNumber = qdStaticRefNrBlock(aRefNr);
  const uint32_t slot = qdStaticRefNrSlot(aRefNr);
  TqdBlockRef block = walk.FetchRecord(aRefNr, true);
  const uint32_t inUse = qdGetU16(block.Data() + kBlkInUse);
  const uint32_t firstFree = qdGetU16(block.Data() + kBlkFirstFree);
  if (inUse == 0 || walk.Hdr(kHdrRecordCount) == 0) raiseCorrupt();
  if (firstFree == 0 && qdGetU32(block.Data() + kBlkFreeNext) != 0) raiseCorrupt();
  try {
    uint8_t* data = block.WritableData();
    if (firstFree == 0) {
      // A full block gets a free slot: it heads the free-block chain.
      qdPutU32(data + kBlkFreeNext, walk.Hdr(kHdrFreeHead));
      walk.SetHdr(kHdrFreeHead, blockNumber);
    }
    qdPutU32(data + walk.SlotOffset(slot), firstFree);
    qdPutU16(data + kBlkFirstFree, uint16_t(slot));
    qdPutU16(data + kBlkInUse, uint16_t(inUse - 1));
    walk.SetInUse(data, slot, false);
    walk.SetHdr(kHdrFreeSlots, walk.Hdr(kHdrFreeSlots) + 1);
    walk.SetHdr(kHdrRecordCount, walk.Hdr(kHdrRecordCount) - 1);
    walk.CheckInvariant();
  } catch (...) {
    if (aTrans != nullptr) aTrans->MarkCorrupted();
    throw;
  }
}

// --- Reading ---------------------------------------------------------------------------------

void TqdStaticRecordEngine::ReadRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aRecData) {
  TqdWalk walk(*this, aTrans, false);
  TqdBlockRef block = walk.FetchRecord(aRefNr, false);
  if (aRecData == nullptr) return;
  std::memcpy(aRecData, block.Data() + walk.SlotOffset(qdStaticRefNrSlot(aRefNr)), breRecordLength);
  breSetRefNrField(aRecData, aRefNr);
}

void TqdStaticRecordEngine::UpdateRecord(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, PqdRecordBuffer aNewRecord,
                                         PqdRecordBuffer aOldRecord) {
  TqdWalk walk(*this, aTrans, false);
  TqdBlockRef block = walk.FetchRecord(aRefNr, true);
  uint8_t* image = block.WritableData() + walk.SlotOffset(qdStaticRefNrSlot(aRefNr));
  if (aOldRecord != nullptr) {
    std::memcpy(aOldRecord, image, breRecordLength);
    breSetRefNrField(aOldRecord, aRefNr);
  }
  breSetRefNrField(aNewRecord, aRefNr);
  std::memcpy(image, aNewRecord, breRecordLength);
}

void TqdStaticRecordEngine::GetRecordCount(TqdBaseTransaction* aTrans, uint32_t& aCount) {
  TqdWalk walk(*this, aTrans, false);
  aCount = walk.Hdr(kHdrRecordCount);
}

void TqdStaticRecordEngine::ReadNextRecord(TqdBaseTransaction* aTrans, TqdRefNr aFromRefNr, TqdRefNr& aRefNr,
                                           PqdRecordBuffer aRecData) {
  ReadNeighbourRecord(aTrans, aFromRefNr, aRefNr, aRecData, false);
}

void TqdStaticRecordEngine::ReadPrevRecord(TqdBaseTransaction* aTrans, TqdRefNr aFromRefNr, TqdRefNr& aRefNr,
                                           PqdRecordBuffer aRecData) {
  ReadNeighbourRecord(aTrans, aFromRefNr, aRefNr, aRecData, true);
}

void TqdStaticRecordEngine::ReadNeighbourRecord(TqdBaseTransaction* aTrans, TqdRefNr aFromRefNr, TqdRefNr& aRefNr,
                                                PqdRecordBuffer aRecData, bool aBackward) {
  aRefNr = 0;
  TqdWalk walk(*this, aTrans, false);
  // Slots are numbered 1 .. reRecsPerBlock; the walk ends one step past
  // either end of a block and goes on in the neighbouring block.
  const int64_t firstSlot = aBackward ? reRecsPerBlock : 1;
  const int64_t step = aBackward ? -1 : 1;
  TqdBlockNumber blockNumber;
  int64_t slot;
  if (aFromRefNr == 0) {
    blockNumber = walk.Hdr(aBackward ? kHdrLastBlock : kHdrFirstBlock);
    slot = firstSlot;
  } else {
    walk.CheckRefNr(aFromRefNr);
    blockNumber = qdStaticRefNrBlock(aFromRefNr);
    slot = int64_t(qdStaticRefNrSlot(aFromRefNr)) + step;
  }
  TqdChainGuard guard(walk.UsedBlocks());
  while (blockNumber != 0) {
    guard.Step();
    TqdBlockRef block = walk.Fetch(blockNumber, false);
    const uint8_t* data = block.Data();
    if (qdGetU16(data + kBlkInUse) != 0) {
      for (; slot >= 1 && slot <= int64_t(reRecsPerBlock); slot += step) {
        if (!walk.InUse(data, uint32_t(slot))) continue;
        aRefNr = qdMakeStaticRefNr(blockNumber, uint32_t(slot));
        if (aRecData != nullptr) {
          std::memcpy(aRecData, data + walk.SlotOffset(uint32_t(slot)), breRecordLength);
          breSetRefNrField(aRecData, aRefNr);
        }
        return;
      }
    }
    blockNumber = qdGetU32(data + (aBackward ? kBlkPrev : kBlkNext));
    slot = firstSlot;
  }
}

// --- Walks -----------------------------------------------------------------------------------

namespace {

// Visits the in-use slots of one block in walk order: at most the block's
// in-use count, never past the layout; a bitmap holding fewer slots than
// the count says is corrupt. aVisit answers false to stop.
template <class F>
bool visitSlots(const uint8_t* aData, uint32_t aRecsPerBlock, uint32_t aFrom, bool aBackward, bool aWholeBlock,
                TqdTimeoutPacer& aPacer, F&& aVisit) {
  const uint32_t inUse = qdGetU16(aData + kBlkInUse);
  // Starting mid-block, slots before the start hold in-use records that
  // are not visited: the count then only bounds, it cannot be matched.
  uint32_t seen = 0;
  uint32_t skipped = 0;
  auto inUseBit = [&](uint32_t s) { return (aData[kBlkBitmap + (s - 1) / 8] & (1u << ((s - 1) % 8))) != 0; };
  if (!aWholeBlock) {
    if (aBackward) {
      for (uint32_t s = aFrom + 1; s <= aRecsPerBlock; ++s) skipped += inUseBit(s) ? 1 : 0;
    } else {
      for (uint32_t s = 1; s < aFrom && s <= aRecsPerBlock; ++s) skipped += inUseBit(s) ? 1 : 0;
    }
  }
  if (skipped > inUse) raiseCorrupt();
  const uint32_t want = inUse - skipped;
  for (uint32_t step = 0; seen < want; ++step) {
    if (aBackward ? (aFrom < 1 + step) : (aFrom + step > aRecsPerBlock)) raiseCorrupt();
    const uint32_t s = aBackward ? aFrom - step : aFrom + step;
    aPacer.Slot();
    if (!inUseBit(s)) continue;
    ++seen;
    if (!aVisit(s)) return false;
  }
  return true;
}

}  // namespace

void TqdStaticRecordEngine::Iterate(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBufferPtr aData,
                                    TqdRecordIterator aIterator, void* aCookie, TqdBaseFilterEngine* aFilter,
                                    bool aKeepPosition, bool aSkipFirst) {
  DoIterate(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, false);
}

void TqdStaticRecordEngine::IterateBackward(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBufferPtr aData,
                                            TqdRecordIterator aIterator, void* aCookie, TqdBaseFilterEngine* aFilter,
                                            bool aKeepPosition, bool aSkipFirst) {
  DoIterate(aTrans, aRefNr, aData, aIterator, aCookie, aFilter, aKeepPosition, aSkipFirst, true);
}

void TqdStaticRecordEngine::DoIterate(TqdBaseTransaction* aTrans, TqdRefNr& aRefNr, PqdRecordBufferPtr aData,
                                      TqdRecordIterator aIterator, void* aCookie, TqdBaseFilterEngine* aFilter,
                                      bool aKeepPosition, bool aSkipFirst, bool aBackward) {
  TqdWalk walk(*this, aTrans, false);
  TqdBaseFilterEngine* filter = qdActiveFilter(aFilter);
  const TqdRefNr start = aKeepPosition ? aRefNr : 0;
  TqdBlockNumber blockNumber;
  uint32_t slot;
  bool wholeBlock = true;
  if (start != 0) {
    walk.CheckRefNr(start);
    blockNumber = qdStaticRefNrBlock(start);
    slot = aBackward ? qdStaticRefNrSlot(start) - 1 : qdStaticRefNrSlot(start) + 1;
    wholeBlock = false;
  } else {
    blockNumber = walk.Hdr(aBackward ? kHdrLastBlock : kHdrFirstBlock);
    slot = aBackward ? reRecsPerBlock : 1;
  }
  aRefNr = 0;
  // A buffer of the caller receives a copy; otherwise the image inside the
  // block is lent for the call, unchanged: the block may be the committed
  // image other transactions read.
  PqdRecordBuffer buffer = aData != nullptr ? *aData : nullptr;
  TqdChainGuard guard(walk.UsedBlocks());
  TqdTimeoutPacer pacer;
  while (blockNumber != 0) {
    guard.Step();
    TqdBlockRef block = walk.Fetch(blockNumber, false);
    const uint8_t* data = block.Data();
    bool stopped = false;
    const bool done = visitSlots(data, reRecsPerBlock, slot, aBackward, wholeBlock, pacer, [&](uint32_t s) {
      const TqdRefNr refNr = qdMakeStaticRefNr(blockNumber, s);
      if (aSkipFirst && refNr == start) return true;
      const uint8_t* image = data + walk.SlotOffset(s);
      if (!qdFilterMatches(filter, image)) return true;
      PqdRecordBuffer presented = const_cast<PqdRecordBuffer>(image);
      if (buffer != nullptr) {
        std::memcpy(buffer, image, breRecordLength);
        breSetRefNrField(buffer, refNr);
        presented = buffer;
      } else if (aData != nullptr) {
        *aData = presented;
      }
      if (aIterator(aCookie, refNr, presented) == rirStop) {
        aRefNr = refNr;
        stopped = true;
        return false;
      }
      return true;
    });
    if (aData != nullptr && buffer == nullptr) *aData = nullptr;
    if (!done || stopped) return;
    pacer.Block();
    blockNumber = qdGetU32(data + (aBackward ? kBlkPrev : kBlkNext));
    slot = aBackward ? reRecsPerBlock : 1;
    wholeBlock = true;
  }
}

TqdRecordIteratorResult TqdStaticRecordEngine::ReadRecordForIterate(TqdBaseTransaction* aTrans, TqdRefNr aRefNr,
                                                                    PqdRecordBufferPtr aData,
                                                                    TqdRecordIterator aIterator, void* aCookie,
                                                                    TqdBaseFilterEngine* aFilter) {
  TqdWalk walk(*this, aTrans, false);
  TqdBlockRef block = walk.FetchRecord(aRefNr, false);
  const uint8_t* image = block.Data() + walk.SlotOffset(qdStaticRefNrSlot(aRefNr));
  if (!qdFilterMatches(qdActiveFilter(aFilter), image)) return rirContinue;
  // The record is shown through a private copy carrying its reference.
  TqdPooledRecord copy(breRecordAllocator);
  std::memcpy(copy.Get(), image, breRecordLength);
  breSetRefNrField(copy.Get(), aRefNr);
  if (aData == nullptr) return aIterator(aCookie, aRefNr, copy.Get());
  const PqdRecordBuffer saved = *aData;
  *aData = copy.Get();
  try {
    const TqdRecordIteratorResult result = aIterator(aCookie, aRefNr, copy.Get());
    *aData = saved;
    return result;
  } catch (...) {
    *aData = saved;
    throw;
  }
}

// --- Record numbers --------------------------------------------------------------------------

TqdResult TqdStaticRecordEngine::RecNoGet(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, TqdBaseFilterEngine* aFilter,
                                          uint32_t& aRecNo, bool aFlipOrder) {
  aRecNo = 0;
  TqdWalk walk(*this, aTrans, false);
  TqdBaseFilterEngine* filter = qdActiveFilter(aFilter);
  const TqdBlockNumber targetBlock = qdStaticRefNrBlock(aRefNr);
  const uint32_t targetSlot = qdStaticRefNrSlot(aRefNr);
  TqdBlockNumber blockNumber = walk.Hdr(aFlipOrder ? kHdrLastBlock : kHdrFirstBlock);
  TqdChainGuard guard(walk.UsedBlocks());
  TqdTimeoutPacer pacer;
  while (blockNumber != 0) {
    guard.Step();
    TqdBlockRef block = walk.Fetch(blockNumber, false);
    const uint8_t* data = block.Data();
    if (blockNumber != targetBlock && filter == nullptr) {
      aRecNo += qdGetU16(data + kBlkInUse);
    } else {
      TqdResult result = 0;
      bool found = false;
      (void)visitSlots(data, reRecsPerBlock, aFlipOrder ? reRecsPerBlock : 1, aFlipOrder, true, pacer, [&](uint32_t s) {
        const bool passes = qdFilterMatches(filter, data + walk.SlotOffset(s));
        if (blockNumber == targetBlock && s == targetSlot) {
          found = true;
          if (passes) ++aRecNo;
          result = passes ? 0 : qdeNoCurrentRec;
          return false;
        }
        if (passes) ++aRecNo;
        return true;
      });
      if (found) return result;
      // The reference's block holds no live record with its slot.
      if (blockNumber == targetBlock) return aFlipOrder ? qdeEOF : qdeNoCurrentRec;
    }
    pacer.Block();
    blockNumber = qdGetU32(data + (aFlipOrder ? kBlkPrev : kBlkNext));
  }
  return qdeEOF;
}

TqdResult TqdStaticRecordEngine::RecNoSet(TqdBaseTransaction* aTrans, uint32_t aRecNo, TqdRefNr& aRefNr,
                                          TqdBaseFilterEngine* aFilter, bool aFlipOrder) {
  aRefNr = 0;
  if (aRecNo == 0) return qdeEOF;
  TqdWalk walk(*this, aTrans, false);
  TqdBaseFilterEngine* filter = qdActiveFilter(aFilter);
  uint32_t remaining = aRecNo;
  TqdBlockNumber blockNumber = walk.Hdr(aFlipOrder ? kHdrLastBlock : kHdrFirstBlock);
  TqdChainGuard guard(walk.UsedBlocks());
  TqdTimeoutPacer pacer;
  while (blockNumber != 0) {
    guard.Step();
    TqdBlockRef block = walk.Fetch(blockNumber, false);
    const uint8_t* data = block.Data();
    const uint32_t inUse = qdGetU16(data + kBlkInUse);
    if (filter == nullptr && inUse < remaining) {
      remaining -= inUse;
    } else {
      (void)visitSlots(data, reRecsPerBlock, aFlipOrder ? reRecsPerBlock : 1, aFlipOrder, true, pacer, [&](uint32_t s) {
        if (!qdFilterMatches(filter, data + walk.SlotOffset(s))) return true;
        if (--remaining != 0) return true;
        aRefNr = qdMakeStaticRefNr(blockNumber, s);
        return false;
      });
      if (aRefNr != 0) return 0;
    }
    pacer.Block();
    blockNumber = qdGetU32(data + (aFlipOrder ? kBlkPrev : kBlkNext));
  }
  return qdeEOF;
}

// --- Recovery and rewriting ------------------------------------------------------------------

int32_t TqdStaticRecordEngine::GetRecoverID() { return reFileIsV1 ? 0 : bseID; }

TqdRecordIteratorResult TqdStaticRecordEngine::RecoverIterate(const uint8_t* aBlock, TqdBlockNumber aBlockNumber,
                                                              PqdRecordBufferPtr aData, TqdRecordIterator aIterator,
                                                              void* aCookie) {
  if (aBlock == nullptr || qdBlockSignature(aBlock) != kDataBlockSignature || qdBlockThisBlock(aBlock) != aBlockNumber)
    return rirContinue;
  // A damaged block: its count only bounds the walk, the layout caps it.
  const uint32_t inUse = qdGetU16(aBlock + kBlkInUse);
  PqdRecordBuffer buffer = aData != nullptr ? *aData : nullptr;
  TqdTimeoutPacer pacer;
  uint32_t seen = 0;
  for (uint32_t s = 1; seen < inUse && s <= reRecsPerBlock; ++s) {
    pacer.Slot();
    if ((aBlock[kBlkBitmap + (s - 1) / 8] & (1u << ((s - 1) % 8))) == 0) continue;
    ++seen;
    const uint8_t* image = aBlock + reFirstRecordOffset + (s - 1) * uint32_t(reRecordLength);
    PqdRecordBuffer presented = const_cast<PqdRecordBuffer>(image);
    if (buffer != nullptr) {
      std::memcpy(buffer, image, breRecordLength);
      presented = buffer;
    } else if (aData != nullptr) {
      *aData = presented;
    }
    if (aIterator(aCookie, 0, presented) == rirStop) return rirStop;
  }
  return rirContinue;
}

void TqdStaticRecordEngine::ReplaceAllRecords(TqdBaseTransaction* aTrans, TqdGetRecordCallback aCallback,
                                              void* aCookie) {
  TqdWalk walk(*this, aTrans, false);
  TqdBlockNumber blockNumber = walk.Hdr(kHdrFirstBlock);
  TqdChainGuard guard(walk.UsedBlocks());
  TqdTimeoutPacer pacer;
  bool changed = false;
  try {
    while (blockNumber != 0) {
      guard.Step();
      TqdBlockRef block = walk.Fetch(blockNumber, true);
      uint8_t* data = block.WritableData();
      (void)visitSlots(data, reRecsPerBlock, 1, false, true, pacer, [&](uint32_t s) {
        const TqdRefNr refNr = qdMakeStaticRefNr(blockNumber, s);
        uint8_t* image = data + walk.SlotOffset(s);
        changed = true;
        breSetRefNrField(image, refNr);
        const TqdResult result = aCallback(aCookie, image);
        if (result != 0) throw EqdStaticRecordEngineException(result);
        breSetRefNrField(image, refNr);
        return true;
      });
      pacer.Block();
      blockNumber = qdGetU32(data + kBlkNext);
    }
  } catch (...) {
    if (changed && aTrans != nullptr) aTrans->MarkCorrupted();
    throw;
  }
}

// --- Self-check ------------------------------------------------------------------------------

void TqdStaticRecordEngine::CheckInvariants(TqdBaseTransaction* aTrans) {
  TqdWalk walk(*this, aTrans, false);
  walk.CheckInvariant();
  uint32_t records = 0;
  uint32_t freeSlots = 0;
  uint32_t blocksWithFree = 0;
  TqdBlockNumber previous = 0;
  TqdBlockNumber blockNumber = walk.Hdr(kHdrFirstBlock);
  TqdChainGuard guard(walk.UsedBlocks());
  while (blockNumber != 0) {
    guard.Step();
    TqdBlockRef block = walk.Fetch(blockNumber, false);
    const uint8_t* data = block.Data();
    if (qdGetU32(data + kBlkPrev) != previous) raiseCorrupt();
    uint32_t bits = 0;
    for (uint32_t s = 1; s <= reRecsPerBlock; ++s) bits += walk.InUse(data, s) ? 1 : 0;
    if (bits != qdGetU16(data + kBlkInUse)) raiseCorrupt();
    // The free-slot chain names exactly the clear bits.
    uint32_t chain = 0;
    for (uint32_t s = qdGetU16(data + kBlkFirstFree); s != 0; s = qdGetU32(data + walk.SlotOffset(s))) {
      if (s > reRecsPerBlock || walk.InUse(data, s) || ++chain > reRecsPerBlock) raiseCorrupt();
    }
    if (chain != reRecsPerBlock - bits) raiseCorrupt();
    records += bits;
    freeSlots += chain;
    if (chain != 0) ++blocksWithFree;
    previous = blockNumber;
    blockNumber = qdGetU32(data + kBlkNext);
  }
  if (previous != walk.Hdr(kHdrLastBlock)) raiseCorrupt();
  if (records != walk.Hdr(kHdrRecordCount) || freeSlots != walk.Hdr(kHdrFreeSlots)) raiseCorrupt();
  uint32_t onFreeChain = 0;
  TqdChainGuard freeGuard(walk.UsedBlocks());
  for (TqdBlockNumber b = walk.Hdr(kHdrFreeHead); b != 0;) {
    freeGuard.Step();
    TqdBlockRef block = walk.Fetch(b, false);
    if (qdGetU16(block.Data() + kBlkFirstFree) == 0) raiseCorrupt();
    ++onFreeChain;
    b = qdGetU32(block.Data() + kBlkFreeNext);
  }
  if (onFreeChain != blocksWithFree) raiseCorrupt();
}

// --- Unit start and end ----------------------------------------------------------------------

void qdseRecordEngineStaticInitialize() {
  TqdBaseSubEngine::Register(TqdStaticRecordEngine::ClassInfo, u"qd1xDefault");
  TqdBaseSubEngine::Register(TqdStaticRecordEngine::ClassInfo, u"Static");
}

void qdseRecordEngineStaticFinalize() { TqdBaseSubEngine::Unregister(TqdStaticRecordEngine::ClassInfo); }

}  // namespace qd
