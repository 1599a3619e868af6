#include "storage/qdseHeapEngineCached.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "platform/qdFormat.h"

namespace qd {

namespace {

using E = EqdCachedHeapEngineException;

constexpr TqdBlockSignature kDataSignature = qdSignature("QDHD");
constexpr TqdBlockSignature kMapSignature = qdSignature("QDHM");
constexpr uint32_t kMapNext = 16;
constexpr uint32_t kMapCount = 20;
constexpr uint32_t kMapEntries = 22;
constexpr uint32_t kMapEntrySize = 6;

uint32_t entryAt(uint32_t aIndex) { return kMapEntries + kMapEntrySize * aIndex; }

TqdHeapRef makeRef(TqdBlockNumber aBlock, TqdSegmentRef aSegment) {
  return TqdHeapRef((uint64_t(aBlock) << 32) | aSegment);
}
TqdBlockNumber refBlock(TqdHeapRef aRef) { return TqdBlockNumber(uint64_t(aRef) >> 32); }
TqdSegmentRef refSegment(TqdHeapRef aRef) { return TqdSegmentRef(uint64_t(aRef) & 0xFFFFFFFF); }

// Copies the pieces one after the other into aTarget until aSize bytes are
// filled; a nil piece takes its bytes from aKeep (nil: leaves them).
void fillPieces(uint8_t* aTarget, uint32_t aSize, const std::vector<const void*>& aPointers,
                const std::vector<uint32_t>& aSizes, const uint8_t* aKeep, uint32_t aKeepSize) {
  uint32_t position = 0;
  for (size_t i = 0; i < aPointers.size() && position < aSize; ++i) {
    const uint32_t take = std::min(aSizes[i], aSize - position);
    if (aPointers[i] != nullptr) {
      std::memcpy(aTarget + position, aPointers[i], take);
    } else if (aKeep != nullptr && position < aKeepSize) {
      std::memcpy(aTarget + position, aKeep + position, std::min(take, aKeepSize - position));
    }
    position += take;
  }
}

}  // namespace

const TqdHeapEngineClass TqdCachedHeapEngine::ClassInfo{
    {u"TqdCachedHeapEngine", &TqdBaseHeapEngine::ClassInfo, nullptr},
    &qdNewHeapEngine<TqdCachedHeapEngine>,
    &TqdBaseHeapEngine::CheckValidDescriptor};

TqdCachedHeapEngine::TqdCachedHeapEngine(TqdBaseHeapDescriptor* aDescriptor, TqdBlockAccess* aDataFile,
                                         TqdHeapHeaderHandler* aHeaderHandler)
    : TqdBaseHeapEngine(aDescriptor, aDataFile, aHeaderHandler),
      heMaxEntries(uint16_t((aDataFile->fiBlockSizeBytes() - kMapEntries) / kMapEntrySize)) {
  if (!bheBlockHeapEngine) qdAssertFailed("qdseHeapEngineCached", "a heap needs a block heap engine");
  if (bseTableVersion >= 47005) bheHeapRefMask = TqdHeapRef(0xFFFFFFFF0000FFFFull);
}

TqdBlockSignature TqdCachedHeapEngine::SigDataBlock() { return kDataSignature; }

void TqdCachedHeapEngine::RaiseDamaged(qdStringView aWhat, uint32_t aBlockNumber) const {
  qdRaiseCorrupt<E>(qdeFileCorrupt,
                    Format(u"%s [%s, block %d]", {qdString(aWhat), DataFile()->fiName(), aBlockNumber}));
}

// --- Blocks ---------------------------------------------------------------------------

TqdBlockRef TqdCachedHeapEngine::CheckedBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber, bool aMarkDirty,
                                              const TqdBlockSignature& aSignature) {
  TqdBlockRef block = DataFile()->GetValidBlock(aTrans, aBlockNumber, aMarkDirty);
  if (!block)
    throw E(qdeBadBlockNum, u"Block number is either < 0, or >= number of blocks in file [%s, block %d]",
            {DataFile()->fiName(), aBlockNumber});
  if (!(qdBlockSignature(block.Data()) == aSignature) || qdBlockThisBlock(block.Data()) != aBlockNumber)
    throw E(qdeNotHeapBlock, u"Block just read from file is not a valid heap block [%s, block %d]",
            {DataFile()->fiName(), aBlockNumber});
  if (DataFile()->_File()->HeaderAccessFactory() != nullptr)
    DataFile()->_File()->HeaderAccessFactory()->VerifyID(block.Data(), aBlockNumber, ID());
  return block;
}

TqdBlockRef TqdCachedHeapEngine::ReadBlockHeap(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber,
                                               bool aMarkDirty) {
  TqdBlockRef block = CheckedBlock(aTrans, aBlockNumber, aMarkDirty, kDataSignature);
  bheBlockHeapEngine->CheckBlock(block.Data());
  if (aMarkDirty) heCurrentTrans = aTrans;
  return block;
}

TqdBlockRef TqdCachedHeapEngine::ReadMapBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber,
                                              bool aMarkDirty) {
  TqdBlockRef block = CheckedBlock(aTrans, aBlockNumber, aMarkDirty, kMapSignature);
  if (qdGetU16(block.Data() + kMapCount) > heMaxEntries)
    RaiseDamaged(
        Format(u"Heap map block holds %d entries, at most %d fit", {qdGetU16(block.Data() + kMapCount), heMaxEntries}),
        aBlockNumber);
  return block;
}

TqdBlockRef TqdCachedHeapEngine::MapBlockForChange(TqdBaseTransaction* aTrans, uint32_t aIndex) {
  const TqdHeapManagmentBlockInfo& info = heManagmentBlocks[aIndex];
  TqdBlockRef block = ReadMapBlock(aTrans, info.hmpiBlockNumber, true);
  if (qdGetU16(block.Data() + kMapCount) != info.hmpiBlockInfos.size())
    RaiseDamaged(u"Heap map block count differs from the one read before", info.hmpiBlockNumber);
  return block;
}

TqdBlockRef TqdCachedHeapEngine::NewDataBlock(TqdBaseTransaction* aTrans) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, true);
  TqdBlockRef block = header->GetNewBlock(aTrans, ID());
  try {
    uint8_t* data = block.WritableData();
    std::memset(data + kBlockCommonHeaderSize, 0, DataFile()->fiBlockSizeBytes() - kBlockCommonHeaderSize);
    qdSetBlockSignature(data, kDataSignature);
    qdSetBlockLSN(data, 0);
    bheBlockHeapEngine->InitBlock(data);
    DoDataBlockAdded(aTrans, header.get(), data);
  } catch (...) {
    header->DeleteBlock(aTrans, block);
    throw;
  }
  heCurrentTrans = aTrans;
  return block;
}

void TqdCachedHeapEngine::DeleteDataBlock(TqdBaseTransaction* aTrans, TqdBlockNumber aBlockNumber) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, true);
  TqdBlockRef block = DataFile()->GetBlock(aTrans, aBlockNumber, ID(), true);
  DoDataBlockRemoved(aTrans, header.get(), block.WritableData());
  header->DeleteBlock(aTrans, block);
}

uint32_t TqdCachedHeapEngine::NewMapBlock(TqdBaseTransaction* aTrans) {
  std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, true);
  TqdBlockRef block = header->GetNewBlock(aTrans, ID());
  const TqdBlockNumber number = block.BlockNumber();
  try {
    uint8_t* data = block.WritableData();
    std::memset(data + kBlockCommonHeaderSize, 0, DataFile()->fiBlockSizeBytes() - kBlockCommonHeaderSize);
    qdSetBlockSignature(data, kMapSignature);
    qdSetBlockLSN(data, 0);
    if (!heManagmentBlocks.empty()) {
      TqdBlockRef last = ReadMapBlock(aTrans, heManagmentBlocks.back().hmpiBlockNumber, true);
      if (qdGetU32(last.Data() + kMapNext) != 0)
        RaiseDamaged(u"The last heap map block links further", heManagmentBlocks.back().hmpiBlockNumber);
      qdPutU32(last.WritableData() + kMapNext, number);
    } else {
      if (GetMapRoot(header.get()) != 0) RaiseDamaged(u"Heap map root set while no map block is known", number);
      SetMapRoot(header.get(), number);
    }
  } catch (...) {
    header->DeleteBlock(aTrans, block);
    throw;
  }
  heManagmentBlocks.push_back({number, {}});
  const uint32_t index = uint32_t(heManagmentBlocks.size() - 1);
  if (heFirstNonFullIndex > index) heFirstNonFullIndex = uint16_t(index);
  return index;
}

void TqdCachedHeapEngine::RemoveTrailingEmptyMapBlocks(TqdBaseTransaction* aTrans) {
  bool removed = false;
  std::unique_ptr<TqdBaseFileHeaderAccess> header;
  while (!heManagmentBlocks.empty() && heManagmentBlocks.back().hmpiBlockInfos.empty()) {
    if (!header) header = DataFile()->HeaderAccess(aTrans, true);
    TqdBlockRef block = MapBlockForChange(aTrans, uint32_t(heManagmentBlocks.size() - 1));
    header->DeleteBlock(aTrans, block);
    heManagmentBlocks.pop_back();
    removed = true;
  }
  if (!removed) return;
  if (!heManagmentBlocks.empty()) {
    TqdBlockRef last = ReadMapBlock(aTrans, heManagmentBlocks.back().hmpiBlockNumber, true);
    qdPutU32(last.WritableData() + kMapNext, 0);
  } else {
    SetMapRoot(header.get(), 0);
  }
  if (heFirstNonFullIndex != 0xFFFF && heFirstNonFullIndex >= heManagmentBlocks.size()) heFirstNonFullIndex = 0xFFFF;
}

// --- Map cache ----------------------------------------------------------------------------

void TqdCachedHeapEngine::DropCache() {
  heManagmentBlocks.clear();
  heByBlockNumber.clear();
  heByFreeSpace.clear();
  heFirstNonFullIndex = 0xFFFF;
  heManagmentBlocksLoaded = false;
}

void TqdCachedHeapEngine::ComputeFirstNonFull() {
  heFirstNonFullIndex = 0xFFFF;
  for (size_t i = 0; i < heManagmentBlocks.size(); ++i)
    if (heManagmentBlocks[i].hmpiBlockInfos.size() < heMaxEntries) {
      heFirstNonFullIndex = uint16_t(std::min<size_t>(i, 0xFFFE));
      return;
    }
}

void TqdCachedHeapEngine::LoadManagmentBlocks(TqdBaseTransaction* aTrans) {
  DropCache();
  TqdBlockNumber next;
  {
    std::unique_ptr<TqdBaseFileHeaderAccess> header = DataFile()->HeaderAccess(aTrans, false);
    next = GetMapRoot(header.get());
  }
  std::unordered_set<uint32_t> seen;
  try {
    while (next != 0) {
      if (!DataFile()->ValidBlock(next, aTrans)) RaiseDamaged(u"Heap map chain leaves the file", next);
      if (!seen.insert(next).second) RaiseDamaged(u"Heap map chain loops", next);
      TqdBlockRef block = ReadMapBlock(aTrans, next, false);
      const uint8_t* data = block.Data();
      const uint32_t count = qdGetU16(data + kMapCount);
      TqdHeapManagmentBlockInfo info{next, {}};
      const uint32_t index = uint32_t(heManagmentBlocks.size());
      for (uint32_t e = 0; e < count; ++e) {
        const uint32_t number = qdGetU32(data + entryAt(e));
        const uint16_t free = qdGetU16(data + entryAt(e) + 4);
        if (number == 0 || !heByBlockNumber.emplace(number, std::make_pair(index, e)).second)
          RaiseDamaged(Format(u"Heap map entry %d names data block %d twice or none", {e, number}), next);
        if (free > DataFile()->fiBlockSizeBytes())
          RaiseDamaged(Format(u"Heap map entry %d records %d bytes free", {e, free}), next);
        heByFreeSpace.emplace(free, number);
        info.hmpiBlockInfos.push_back({number, free});
      }
      heManagmentBlocks.push_back(std::move(info));
      next = qdGetU32(data + kMapNext);
    }
  } catch (...) {
    DropCache();
    throw;
  }
  ComputeFirstNonFull();
  heManagmentBlocksLoaded = true;
}

void TqdCachedHeapEngine::EnsureLoaded(TqdBaseTransaction* aTrans) {
  if (!heManagmentBlocksLoaded) LoadManagmentBlocks(aTrans);
}

bool TqdCachedHeapEngine::BestBlock(TqdBlockNumber& aBlockNumber, uint16_t& aFreeSpace) const {
  if (heByFreeSpace.empty()) return false;
  aFreeSpace = heByFreeSpace.rbegin()->first;
  aBlockNumber = heByFreeSpace.rbegin()->second;
  return true;
}

void TqdCachedHeapEngine::BlockHeapChanged(PqdBlock aBlock, uint16_t aSegmentCount, uint16_t aFreeSpaceSize,
                                           uint16_t aRecoverableSpace) {
  TqdBaseTransaction* trans = heCurrentTrans;
  const uint16_t free = uint16_t(aFreeSpaceSize + aRecoverableSpace);
  const TqdBlockNumber number = qdBlockThisBlock(aBlock);
  EnsureLoaded(trans);
  auto found = heByBlockNumber.find(number);
  if (found != heByBlockNumber.end()) {
    const uint32_t m = found->second.first;
    const uint32_t e = found->second.second;
    std::vector<TqdHeapDataBlockInfo>& infos = heManagmentBlocks[m].hmpiBlockInfos;
    if (aSegmentCount > 0 && free >= kCutoffSize) {
      if (infos[e].hdbiFreeSpace == free) return;
      TqdBlockRef map = MapBlockForChange(trans, m);
      qdPutU16(map.WritableData() + entryAt(e) + 4, free);
      heByFreeSpace.erase({infos[e].hdbiFreeSpace, number});
      heByFreeSpace.emplace(free, number);
      infos[e].hdbiFreeSpace = free;
      return;
    }
    {
      TqdBlockRef map = MapBlockForChange(trans, m);
      uint8_t* data = map.WritableData();
      heByFreeSpace.erase({infos[e].hdbiFreeSpace, number});
      heByBlockNumber.erase(found);
      const uint32_t last = uint32_t(infos.size() - 1);
      if (e != last) {
        std::memcpy(data + entryAt(e), data + entryAt(last), kMapEntrySize);
        infos[e] = infos[last];
        heByBlockNumber[infos[e].hdbiBlockNumber] = {m, e};
      }
      std::memset(data + entryAt(last), 0, kMapEntrySize);
      infos.pop_back();
      qdPutU16(data + kMapCount, uint16_t(infos.size()));
    }
    // Any map block that lost an entry has room again, empty or not.
    if (m < heFirstNonFullIndex) heFirstNonFullIndex = uint16_t(m);
    if (aSegmentCount == 0) DeleteDataBlock(trans, number);
    if (infos.empty() && m + 1 == heManagmentBlocks.size()) RemoveTrailingEmptyMapBlocks(trans);
    return;
  }
  if (aSegmentCount == 0) {
    DeleteDataBlock(trans, number);
    return;
  }
  if (free < kCutoffSize) return;
  uint32_t m = heFirstNonFullIndex;
  if (m == 0xFFFF) m = NewMapBlock(trans);
  std::vector<TqdHeapDataBlockInfo>& infos = heManagmentBlocks[m].hmpiBlockInfos;
  if (infos.size() >= heMaxEntries)
    RaiseDamaged(u"The first heap map block with room is full", heManagmentBlocks[m].hmpiBlockNumber);
  TqdBlockRef map = MapBlockForChange(trans, m);
  uint8_t* data = map.WritableData();
  const uint32_t e = uint32_t(infos.size());
  qdPutU32(data + entryAt(e), number);
  qdPutU16(data + entryAt(e) + 4, free);
  qdPutU16(data + kMapCount, uint16_t(e + 1));
  infos.push_back({number, free});
  heByBlockNumber[number] = {m, e};
  heByFreeSpace.emplace(free, number);
  if (infos.size() >= heMaxEntries) ComputeFirstNonFull();
}

// --- Segments -------------------------------------------------------------------------------

PqdHeapSegment TqdCachedHeapEngine::GetSegment(TqdBaseTransaction* aTrans, TqdHeapRef aHeapRef, bool aMarkDirty,
                                               uint16_t& aSegmentSize, TqdBlockRef& aBlock) {
  aSegmentSize = 0;
  aBlock = ReadBlockHeap(aTrans, refBlock(aHeapRef), aMarkDirty);
  try {
    PqdBlock data = aMarkDirty ? aBlock.WritableData() : const_cast<PqdBlock>(aBlock.Data());
    return bheBlockHeapEngine->GetSegment(data, refSegment(aHeapRef), aSegmentSize);
  } catch (...) {
    aBlock.Release();
    throw;
  }
}

TqdHeapRef TqdCachedHeapEngine::AllocSegment(TqdBaseTransaction* aTrans, const std::vector<const void*>& aPointers,
                                             const std::vector<uint16_t>& aSizes) {
  if (aPointers.size() != aSizes.size()) qdAssertFailed("qdseHeapEngineCached", "pieces and sizes differ in number");
  uint32_t total = 0;
  for (uint16_t size : aSizes) total += size;
  if (total == 0 || total > bheBlockHeapEngine->MaxSegmentSize()) return 0;
  std::vector<uint32_t> sizes(aSizes.begin(), aSizes.end());
  uint16_t size = 0;
  return AllocSegmentEx(aTrans, aPointers, sizes, uint16_t(total), size, 0, 1, true);
}

TqdHeapRef TqdCachedHeapEngine::AllocSegmentEx(TqdBaseTransaction* aTrans, const std::vector<const void*>& aPointers,
                                               const std::vector<uint32_t>& aSizes, uint16_t aMinSize, uint16_t& aSize,
                                               uint16_t aHeaderSize, uint16_t aItemSize, bool aNoSplit) {
  if (aPointers.size() != aSizes.size()) qdAssertFailed("qdseHeapEngineCached", "pieces and sizes differ in number");
  if (aItemSize == 0 || aMinSize < aHeaderSize + aItemSize)
    qdAssertFailed("qdseHeapEngineCached", "minimum size below one header and item");
  aSize = 0;
  uint64_t total = 0;
  for (uint32_t size : aSizes) total += size;
  uint64_t L = std::max<uint64_t>(total, aMinSize);
  if (L == 0) return 0;
  heCurrentTrans = aTrans;
  EnsureLoaded(aTrans);
  const uint32_t maxSize = bheBlockHeapEngine->MaxSegmentSize();
  TqdBlockRef block;
  TqdBlockNumber best = 0;
  uint16_t bestFree = 0;
  if (L <= maxSize && BestBlock(best, bestFree) && bestFree >= aMinSize && (bestFree >= L || !aNoSplit)) {
    const uint64_t wanted = std::min<uint64_t>(L, bestFree);
    const uint16_t size = uint16_t(aHeaderSize + aItemSize * ((wanted - aHeaderSize) / aItemSize));
    block = ReadBlockHeap(aTrans, best, true);
    TqdSegmentRef segment = 0;
    PqdHeapSegment data = bheBlockHeapEngine->AllocSegment(block.WritableData(), size, segment);
    if (data != nullptr) {
      fillPieces(data, size, aPointers, aSizes, nullptr, 0);
      aSize = size;
      return makeRef(best, segment);
    }
    // The recorded free space promised more than the block gives: fall back
    // to a new block.
    block.Release();
  }
  if (aMinSize > maxSize) return 0;
  L = std::min<uint64_t>(L, maxSize);
  const uint16_t size = uint16_t(aHeaderSize + aItemSize * ((L - aHeaderSize) / aItemSize));
  block = NewDataBlock(aTrans);
  TqdSegmentRef segment = 0;
  PqdHeapSegment data = bheBlockHeapEngine->AllocSegment(block.WritableData(), size, segment);
  if (data == nullptr) qdAssertFailed("qdseHeapEngineCached", "a fresh heap block refused a segment that fits");
  fillPieces(data, size, aPointers, aSizes, nullptr, 0);
  aSize = size;
  return makeRef(block.BlockNumber(), segment);
}

TqdHeapRef TqdCachedHeapEngine::ReAllocSegmentEx(TqdBaseTransaction* aTrans, PqdBlock aBlock, TqdSegmentRef aSegment,
                                                 const std::vector<const void*>& aPointers,
                                                 const std::vector<uint32_t>& aSizes, uint16_t aMinSize,
                                                 uint16_t& aSize, uint16_t aHeaderSize, uint16_t aItemSize,
                                                 bool aNoSplit) {
  if (aPointers.size() != aSizes.size()) qdAssertFailed("qdseHeapEngineCached", "pieces and sizes differ in number");
  if (aItemSize == 0 || aMinSize < aHeaderSize + aItemSize)
    qdAssertFailed("qdseHeapEngineCached", "minimum size below one header and item");
  aSize = 0;
  uint64_t total = 0;
  for (uint32_t size : aSizes) total += size;
  const uint64_t L = std::max<uint64_t>(total, aMinSize);
  if (L == 0) return 0;
  heCurrentTrans = aTrans;
  EnsureLoaded(aTrans);
  const TqdBlockNumber home = qdBlockThisBlock(aBlock);
  const uint32_t maxSize = bheBlockHeapEngine->MaxSegmentSize();
  const uint64_t inPlace = std::min<uint64_t>(L, maxSize);
  const uint16_t inPlaceSize = uint16_t(aHeaderSize + aItemSize * ((inPlace - aHeaderSize) / aItemSize));
  if (inPlaceSize >= aMinSize) {
    PqdHeapSegment data = bheBlockHeapEngine->ReAllocSegment(aBlock, inPlaceSize, aSegment);
    if (data != nullptr) {
      fillPieces(data, inPlaceSize, aPointers, aSizes, nullptr, 0);
      aSize = inPlaceSize;
      return makeRef(home, aSegment);
    }
  }
  // The segment moves: keep its bytes aside, since the new place may be in
  // the same block, which an allocation can compact.
  uint16_t oldSize = 0;
  const uint8_t* old = bheBlockHeapEngine->GetSegment(aBlock, aSegment, oldSize);
  std::vector<uint8_t> kept(old, old + oldSize);
  TqdBlockNumber best = 0;
  uint16_t bestFree = 0;
  TqdBlockRef target;
  PqdHeapSegment data = nullptr;
  TqdSegmentRef segment = 0;
  uint16_t size = 0;
  if (L <= maxSize && BestBlock(best, bestFree) && bestFree >= aMinSize && (bestFree >= L || !aNoSplit)) {
    const uint64_t wanted = std::min<uint64_t>(L, bestFree);
    size = uint16_t(aHeaderSize + aItemSize * ((wanted - aHeaderSize) / aItemSize));
    target = ReadBlockHeap(aTrans, best, true);
    if (bheBlockHeapEngine->GetFreespace(target.WritableData()) != bestFree)
      RaiseDamaged(u"Heap map records a free space its data block does not have", best);
    data = bheBlockHeapEngine->AllocSegment(target.WritableData(), size, segment);
    if (data == nullptr) target.Release();
  }
  if (data == nullptr) {
    if (aMinSize > maxSize) return 0;
    size = inPlaceSize;
    target = NewDataBlock(aTrans);
    best = target.BlockNumber();
    data = bheBlockHeapEngine->AllocSegment(target.WritableData(), size, segment);
    if (data == nullptr) qdAssertFailed("qdseHeapEngineCached", "a fresh heap block refused a segment that fits");
  }
  fillPieces(data, size, aPointers, aSizes, kept.data(), uint32_t(kept.size()));
  aSize = size;
  const TqdHeapRef result = makeRef(best, segment);
  target.Release();
  // Last: freeing the only segment of the caller's block gives the block
  // back to the file, and the caller touches it no more.
  bheBlockHeapEngine->FreeSegment(aBlock, aSegment);
  return result;
}

void TqdCachedHeapEngine::Rollback(TqdBaseTransaction* aTrans) {
  if (aTrans != heCurrentTrans) return;
  DropCache();
  heCurrentTrans = nullptr;
}

void TqdCachedHeapEngine::IncHeapRef(TqdHeapRef& aHeapRef) {
  if (bseTableVersion < 47005) return;
  TqdSegmentRef segment = refSegment(aHeapRef);
  bheBlockHeapEngine->IncSegmentRef(segment);
  aHeapRef = makeRef(refBlock(aHeapRef), segment);
}

void qdseHeapEngineCachedInitialize() { TqdBaseSubEngine::Register(TqdCachedHeapEngine::ClassInfo, u"qd1xDefault"); }

void qdseHeapEngineCachedFinalize() { TqdBaseSubEngine::Unregister(TqdCachedHeapEngine::ClassInfo); }

}  // namespace qd
