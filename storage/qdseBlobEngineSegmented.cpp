#include "storage/qdseBlobEngineSegmented.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "dictionary/qdsdDataDictionary_Storage.h"
#include "foundation/qdllStreams.h"
#include "platform/qdFormat.h"
#include "platform/qdProcessProfile.h"

namespace qd {

namespace {

using E = EqdSegmentedBlobEngineException;

constexpr uint8_t kEmpty = 0;
constexpr uint8_t kFile8 = 1;
constexpr uint8_t kLink8 = 2;
constexpr uint8_t kSmall = 3;
constexpr uint8_t kData = 4;
constexpr uint8_t kIndex = 5;
constexpr uint8_t kFile16 = 6;
constexpr uint8_t kLink16 = 7;

constexpr uint32_t kRootSize = 13;
constexpr uint32_t kSmallMax = 11;
constexpr uint32_t kItemSize = 12;
constexpr uint32_t kMaxIndexLevels = 16;
constexpr uint64_t kMaxBlobSize = 0xFFFFFFFFull;

const char* const kUnit = "qdseBlobEngineSegmented";

// One child entry: the child's heap reference and the end of its range.
struct TqdBlobSegmentLinkItem {
  TqdHeapRef bsliSegmentRef;
  uint32_t bsliSegmentSize;
};
using TqdDynBlobSegmentLinkItems = std::vector<TqdBlobSegmentLinkItem>;

TqdBlobSegmentLinkItem itemAt(const uint8_t* aSegment, uint32_t aIndex) {
  const uint8_t* p = aSegment + 1 + kItemSize * aIndex;
  return {qdGetI64(p), qdGetU32(p + 8)};
}
void putItem(uint8_t* aSegment, uint32_t aIndex, const TqdBlobSegmentLinkItem& aItem) {
  uint8_t* p = aSegment + 1 + kItemSize * aIndex;
  qdPutI64(p, aItem.bsliSegmentRef);
  qdPutU32(p + 8, aItem.bsliSegmentSize);
}
// The stored form of aItems from aFrom on.
std::vector<uint8_t> itemBytes(const TqdDynBlobSegmentLinkItems& aItems, size_t aFrom) {
  std::vector<uint8_t> bytes(kItemSize * (aItems.size() - aFrom));
  for (size_t i = aFrom; i < aItems.size(); ++i) {
    uint8_t* p = bytes.data() + kItemSize * (i - aFrom);
    qdPutI64(p, aItems[i].bsliSegmentRef);
    qdPutU32(p + 8, aItems[i].bsliSegmentSize);
  }
  return bytes;
}

uint32_t itemCount(uint16_t aSize) { return (aSize - 1) / kItemSize; }

// The first entry whose end lies beyond aOffset; aCount when none.
uint32_t findLinkItem(const uint8_t* aSegment, uint32_t aCount, uint64_t aOffset) {
  uint32_t low = 0;
  uint32_t high = aCount;
  while (low < high) {
    const uint32_t middle = (low + high) / 2;
    if (itemAt(aSegment, middle).bsliSegmentSize > aOffset)
      high = middle;
    else
      low = middle + 1;
  }
  return low;
}

TqdBlockNumber refBlock(TqdHeapRef aRef) { return TqdBlockNumber(uint64_t(aRef) >> 32); }
TqdSegmentRef refSegment(TqdHeapRef aRef) { return TqdSegmentRef(uint64_t(aRef) & 0xFFFFFFFF); }

}  // namespace

// --- Segments of one operation -------------------------------------------------------------

// The walks of one operation under one transaction: segment access with
// the checks of stored bytes, and the tree algorithms.
class TqdSegmentedBlobEngine::TqdTree {
 public:
  struct TqdSegment {
    TqdBlockRef sBlock;
    uint8_t* sData = nullptr;
    uint16_t sSize = 0;
    TqdHeapRef sRef = 0;
    bool sDirty = false;
  };

  TqdTree(TqdSegmentedBlobEngine* aEngine, TqdBaseTransaction* aTrans)
      : tEngine(aEngine),
        tTrans(aTrans),
        tHeap(aEngine->beHeapEngine.get()),
        tBlockHeap(aEngine->beHeapEngine->BlockHeapEngine()) {}

  [[noreturn]] void Damaged(qdStringView aWhat, TqdHeapRef aRef) const {
    qdRaiseCorrupt<E>(qdeFileCorrupt, Format(u"%s [%s, segment %d:%d]", {qdString(aWhat), tEngine->BlobFile()->fiName(),
                                                                         refBlock(aRef), refSegment(aRef)}));
  }

  TqdSegment Get(TqdHeapRef aRef, bool aDirty, bool aChild) {
    if (aChild && (refBlock(aRef) == 0 || !tEngine->BlobFile()->ValidBlock(refBlock(aRef), tTrans)))
      Damaged(u"BLOB segment reference outside the file", aRef);
    TqdSegment segment;
    segment.sRef = aRef;
    segment.sDirty = aDirty;
    segment.sData = tHeap->GetSegment(tTrans, aRef, aDirty, segment.sSize, segment.sBlock);
    if (segment.sData == nullptr || segment.sSize == 0) Damaged(u"BLOB segment without bytes", aRef);
    return segment;
  }

  PqdBlock Image(TqdSegment& aSegment) {
    return aSegment.sDirty ? aSegment.sBlock.WritableData() : const_cast<PqdBlock>(aSegment.sBlock.Data());
  }
  // The block may have been compacted by an allocation in it.
  void Refresh(TqdSegment& aSegment) {
    aSegment.sData = tBlockHeap->GetSegment(Image(aSegment), refSegment(aSegment.sRef), aSegment.sSize);
  }
  bool Resize(TqdSegment& aSegment, uint32_t aSize) {
    PqdHeapSegment data = tBlockHeap->ReAllocSegment(Image(aSegment), uint16_t(aSize), refSegment(aSegment.sRef));
    if (data == nullptr) return false;
    aSegment.sData = data;
    aSegment.sSize = uint16_t(aSize);
    return true;
  }
  uint32_t Room(TqdSegment& aSegment) { return uint32_t(tBlockHeap->GetFreespace(Image(aSegment))) + aSegment.sSize; }
  void Free(TqdSegment& aSegment) {
    tBlockHeap->FreeSegment(Image(aSegment), refSegment(aSegment.sRef));
    aSegment.sBlock.Release();
    aSegment.sData = nullptr;
  }
  void FreeRef(TqdHeapRef aRef) {
    TqdSegment segment = Get(aRef, true, true);
    Free(segment);
  }

  // Checks an index segment against its range (aStart, aEnd]; a root has
  // no fixed end (aEnd 0).
  uint32_t CheckIndex(const TqdSegment& aSegment, uint64_t aStart, uint64_t aEnd, bool aRoot) {
    if (aSegment.sSize < kRootSize || (aSegment.sSize - 1) % kItemSize != 0)
      Damaged(Format(u"BLOB index segment of %d bytes", {aSegment.sSize}), aSegment.sRef);
    const uint32_t count = itemCount(aSegment.sSize);
    uint64_t previous = aStart;
    for (uint32_t i = 0; i < count; ++i) {
      const TqdBlobSegmentLinkItem item = itemAt(aSegment.sData, i);
      if (item.bsliSegmentSize <= previous || (!aRoot && item.bsliSegmentSize > aEnd))
        Damaged(Format(u"BLOB index entry %d ends at %d outside %d..%d",
                       {i, item.bsliSegmentSize, int64_t(previous), int64_t(aEnd)}),
                aSegment.sRef);
      previous = item.bsliSegmentSize;
    }
    if (!aRoot && previous != aEnd)
      Damaged(Format(u"BLOB index segment ends at %d, its parent says %d", {int64_t(previous), int64_t(aEnd)}),
              aSegment.sRef);
    return count;
  }

  // The root's type after the checks of its kind (an unknown type byte is
  // returned for the caller to refuse).
  uint8_t CheckRoot(const TqdSegment& aRoot) {
    const uint8_t type = aRoot.sData[0];
    switch (type) {
      case kEmpty:
        if (aRoot.sSize != kRootSize) Damaged(u"Empty BLOB root of the wrong size", aRoot.sRef);
        break;
      case kSmall:
        if (aRoot.sSize != kRootSize || aRoot.sData[12] < 1 || aRoot.sData[12] > kSmallMax)
          Damaged(u"Small BLOB root of the wrong size or count", aRoot.sRef);
        break;
      case kData:
      case kFile8:
      case kFile16:
        if (aRoot.sSize < kRootSize) Damaged(u"BLOB root below 13 bytes", aRoot.sRef);
        break;
      case kIndex:
        CheckIndex(aRoot, 0, 0, true);
        break;
      case kLink8:
      case kLink16:
        if (aRoot.sSize < 9) Damaged(u"BLOB link root below 9 bytes", aRoot.sRef);
        break;
      default:
        break;
    }
    return type;
  }

  static uint32_t Length(const TqdSegment& aRoot) {
    switch (aRoot.sData[0]) {
      case kSmall:
        return aRoot.sData[12];
      case kData:
        return aRoot.sSize - 1u;
      case kIndex:
        return itemAt(aRoot.sData, itemCount(aRoot.sSize) - 1).bsliSegmentSize;
      default:
        return 0;
    }
  }

  // --- Reading ---

  void ReadEntries(const TqdSegment& aNode, uint32_t aCount, uint64_t aStart, uint64_t& aOffset, uint64_t& aRemaining,
                   TStream& aStream, uint32_t aLevel) {
    uint32_t i = findLinkItem(aNode.sData, aCount, aOffset);
    while (aRemaining > 0 && i < aCount) {
      const TqdBlobSegmentLinkItem item = itemAt(aNode.sData, i);
      const uint64_t start = i == 0 ? aStart : itemAt(aNode.sData, i - 1).bsliSegmentSize;
      ReadSubtree(item.bsliSegmentRef, start, item.bsliSegmentSize, aOffset, aRemaining, aStream, aLevel + 1);
      ++i;
    }
  }

  void ReadSubtree(TqdHeapRef aRef, uint64_t aStart, uint64_t aEnd, uint64_t& aOffset, uint64_t& aRemaining,
                   TStream& aStream, uint32_t aLevel) {
    TqdSegment child = Get(aRef, false, true);
    const uint8_t type = child.sData[0];
    if (type == kData) {
      const uint32_t d = child.sSize - 1u;
      if (d != aEnd - aStart) Damaged(Format(u"BLOB leaf of %d bytes covers %d", {d, int64_t(aEnd - aStart)}), aRef);
      const uint64_t k = aOffset - aStart;
      const uint32_t n = uint32_t(std::min<uint64_t>(aRemaining, d - k));
      if (n > 0) aStream.WriteBuffer(child.sData + 1 + k, int32_t(n));
      aOffset += n;
      aRemaining -= n;
    } else if (type == kIndex) {
      if (aLevel >= kMaxIndexLevels) Damaged(u"BLOB tree deeper than 16 index levels", aRef);
      const uint32_t count = CheckIndex(child, aStart, aEnd, false);
      ReadEntries(child, count, aStart, aOffset, aRemaining, aStream, aLevel);
    } else {
      throw E(qdeBlobError);
    }
  }

  // --- Building ---

  // New leaves for the bytes of aFirst then aSecond; their ends are
  // appended to aItems counting on from aBase.
  void AddLeaves(const uint8_t* aFirst, uint32_t aFirstLen, const uint8_t* aSecond, uint32_t aSecondLen, uint64_t aBase,
                 TqdDynBlobSegmentLinkItems& aItems) {
    static const uint8_t kType = kData;
    uint64_t position = 0;
    const uint64_t total = uint64_t(aFirstLen) + aSecondLen;
    uint32_t made = 0;
    while (position < total) {
      std::vector<const void*> pointers{&kType};
      std::vector<uint32_t> sizes{1};
      if (position < aFirstLen) {
        pointers.push_back(aFirst + position);
        sizes.push_back(uint32_t(aFirstLen - position));
      }
      const uint64_t second = std::max<uint64_t>(position, aFirstLen) - aFirstLen;
      if (second < aSecondLen) {
        pointers.push_back(aSecond + second);
        sizes.push_back(uint32_t(aSecondLen - second));
      }
      uint16_t size = 0;
      const TqdHeapRef ref = tHeap->AllocSegmentEx(tTrans, pointers, sizes, 2, size, 0, 1, false);
      if (ref == 0 || size < 2) qdAssertFailed(kUnit, "the heap refused a BLOB leaf");
      position += size - 1u;
      aItems.push_back({ref, uint32_t(aBase + position)});
      if (++made % 1000 == 0) qdCheckTimeout();
    }
  }

  // Packs aItems into new index segments, which replace them.
  void BuildIndexLevel(TqdDynBlobSegmentLinkItems& aItems) {
    static const uint8_t kType = kIndex;
    TqdDynBlobSegmentLinkItems result;
    size_t position = 0;
    while (position < aItems.size()) {
      const std::vector<uint8_t> bytes = itemBytes(aItems, position);
      uint16_t size = 0;
      const TqdHeapRef ref = tHeap->AllocSegmentEx(tTrans, {&kType, bytes.data()}, {1, uint32_t(bytes.size())},
                                                   kRootSize, size, 1, kItemSize, true);
      if (ref == 0 || size < kRootSize) qdAssertFailed(kUnit, "the heap refused a BLOB index segment");
      position += itemCount(size);
      result.push_back({ref, aItems[position - 1].bsliSegmentSize});
    }
    aItems = std::move(result);
  }

  // Makes aRoot an index root over aItems, adding levels until it fits in
  // place.
  void SetRootItems(TqdSegment& aRoot, TqdDynBlobSegmentLinkItems& aItems) {
    for (;;) {
      Refresh(aRoot);
      const uint32_t size = 1 + kItemSize * uint32_t(aItems.size());
      if (size <= Room(aRoot) && Resize(aRoot, size)) break;
      if (aItems.size() == 1) qdAssertFailed(kUnit, "a BLOB root cannot hold one entry");
      BuildIndexLevel(aItems);
    }
    aRoot.sData[0] = kIndex;
    for (size_t i = 0; i < aItems.size(); ++i) putItem(aRoot.sData, uint32_t(i), aItems[i]);
  }

  // --- Writing into a tree ---

  const uint8_t* wSource = nullptr;
  uint64_t wOffset = 0;
  uint64_t wRemaining = 0;

  void WriteSubtree(TqdBlobSegmentLinkItem& aItem, uint64_t aStart, bool aLast, TqdDynBlobSegmentLinkItems& aNew,
                    uint32_t aLevel) {
    TqdSegment child = Get(aItem.bsliSegmentRef, true, true);
    const uint64_t end = aItem.bsliSegmentSize;
    const uint8_t type = child.sData[0];
    if (type == kData) {
      const uint32_t d = child.sSize - 1u;
      if (d != end - aStart)
        Damaged(Format(u"BLOB leaf of %d bytes covers %d", {d, int64_t(end - aStart)}), child.sRef);
      const uint32_t k = uint32_t(wOffset - aStart);
      if (aLast && wRemaining > d - k) {
        uint16_t size = 0;
        const TqdHeapRef ref = tHeap->ReAllocSegmentEx(tTrans, Image(child), refSegment(child.sRef), {nullptr, wSource},
                                                       {1 + k, uint32_t(wRemaining)}, child.sSize, size, 0, 1, false);
        if (ref == 0 || size < child.sSize) qdAssertFailed(kUnit, "the heap refused to grow a BLOB leaf");
        child.sBlock.Release();
        const uint32_t written = size - 1u - k;
        aItem.bsliSegmentRef = ref;
        aItem.bsliSegmentSize = uint32_t(end + (size - child.sSize));
        Advance(written);
        if (wRemaining > 0) {
          AddLeaves(wSource, uint32_t(wRemaining), nullptr, 0, aItem.bsliSegmentSize, aNew);
          Advance(uint32_t(wRemaining));
        }
      } else {
        const uint32_t n = uint32_t(std::min<uint64_t>(wRemaining, d - k));
        std::memcpy(child.sData + 1 + k, wSource, n);
        Advance(n);
      }
      return;
    }
    if (type != kIndex) throw E(qdeBlobError);
    if (aLevel >= kMaxIndexLevels) Damaged(u"BLOB tree deeper than 16 index levels", child.sRef);
    const uint32_t count = CheckIndex(child, aStart, end, false);
    uint32_t i = std::min(findLinkItem(child.sData, count, wOffset), count - 1);
    TqdDynBlobSegmentLinkItems fresh;
    uint64_t newEnd = end;
    uint64_t lastEnd = 0;
    while (wRemaining > 0 && i < count) {
      TqdBlobSegmentLinkItem item = itemAt(child.sData, i);
      const uint64_t start = i == 0 ? aStart : itemAt(child.sData, i - 1).bsliSegmentSize;
      const uint32_t oldEnd = item.bsliSegmentSize;
      WriteSubtree(item, start, aLast && i == count - 1, fresh, aLevel + 1);
      Refresh(child);
      putItem(child.sData, i, item);
      if (newEnd == oldEnd) newEnd = item.bsliSegmentSize;
      lastEnd = item.bsliSegmentSize;
      ++i;
    }
    if (!fresh.empty()) {
      const std::vector<uint8_t> bytes = itemBytes(fresh, 0);
      const uint16_t oldSize = child.sSize;
      uint16_t size = 0;
      const TqdHeapRef ref =
          tHeap->ReAllocSegmentEx(tTrans, Image(child), refSegment(child.sRef), {nullptr, bytes.data()},
                                  {oldSize, uint32_t(bytes.size())}, oldSize, size, 1, kItemSize, true);
      if (ref == 0 || size < oldSize) qdAssertFailed(kUnit, "the heap refused to grow a BLOB index segment");
      child.sBlock.Release();
      aItem.bsliSegmentRef = ref;
      const uint32_t absorbed = (size - oldSize) / kItemSize;
      if (absorbed > 0) newEnd = fresh[absorbed - 1].bsliSegmentSize;
      fresh.erase(fresh.begin(), fresh.begin() + absorbed);
      if (!fresh.empty()) {
        BuildIndexLevel(fresh);
        aNew.insert(aNew.end(), fresh.begin(), fresh.end());
      }
    } else if (lastEnd > newEnd) {
      newEnd = lastEnd;
    }
    aItem.bsliSegmentSize = uint32_t(newEnd);
  }

  void Advance(uint32_t aCount) {
    wSource += aCount;
    wOffset += aCount;
    wRemaining -= aCount;
  }

  void WriteTree(TqdSegment& aRoot) {
    const uint32_t count = itemCount(aRoot.sSize);
    uint32_t i = std::min(findLinkItem(aRoot.sData, count, wOffset), count - 1);
    TqdDynBlobSegmentLinkItems fresh;
    while (wRemaining > 0 && i < count) {
      TqdBlobSegmentLinkItem item = itemAt(aRoot.sData, i);
      const uint64_t start = i == 0 ? 0 : itemAt(aRoot.sData, i - 1).bsliSegmentSize;
      WriteSubtree(item, start, i == count - 1, fresh, 1);
      Refresh(aRoot);
      putItem(aRoot.sData, i, item);
      ++i;
    }
    if (fresh.empty()) return;
    const uint32_t size = 1 + kItemSize * uint32_t(count + fresh.size());
    if (size <= Room(aRoot) && Resize(aRoot, size)) {
      for (size_t j = 0; j < fresh.size(); ++j) putItem(aRoot.sData, uint32_t(count + j), fresh[j]);
      return;
    }
    Refresh(aRoot);
    TqdDynBlobSegmentLinkItems items;
    for (uint32_t j = 0; j < count; ++j) items.push_back(itemAt(aRoot.sData, j));
    items.insert(items.end(), fresh.begin(), fresh.end());
    SetRootItems(aRoot, items);
  }

  // --- Truncating a tree ---

  // Cuts the subtree of aItem (range from aStart) to aLength; false when
  // nothing of it is left (it is freed then).
  bool TruncateSubtree(TqdBlobSegmentLinkItem& aItem, uint64_t aStart, uint64_t aLength, uint32_t aLevel) {
    TqdSegment child = Get(aItem.bsliSegmentRef, true, true);
    const uint64_t end = aItem.bsliSegmentSize;
    const uint8_t type = child.sData[0];
    if (type == kData) {
      const uint32_t d = child.sSize - 1u;
      if (d != end - aStart)
        Damaged(Format(u"BLOB leaf of %d bytes covers %d", {d, int64_t(end - aStart)}), child.sRef);
      const uint64_t cut = end - aLength;
      if (d <= cut) {
        Free(child);
        return false;
      }
      if (!Resize(child, uint32_t(child.sSize - cut))) qdAssertFailed(kUnit, "a BLOB leaf refused to shrink");
      aItem.bsliSegmentSize = uint32_t(aLength);
      return true;
    }
    if (type != kIndex) throw E(qdeBlobError);
    if (aLevel >= kMaxIndexLevels) Damaged(u"BLOB tree deeper than 16 index levels", child.sRef);
    uint32_t count = CheckIndex(child, aStart, end, false);
    count = TruncateEntries(child, count, aStart, aLength, aLevel);
    if (count == 0) {
      Free(child);
      return false;
    }
    if (child.sSize != 1 + kItemSize * count && !Resize(child, 1 + kItemSize * count))
      qdAssertFailed(kUnit, "a BLOB index segment refused to shrink");
    aItem.bsliSegmentSize = itemAt(child.sData, count - 1).bsliSegmentSize;
    return true;
  }

  uint32_t TruncateEntries(TqdSegment& aNode, uint32_t aCount, uint64_t aStart, uint64_t aLength, uint32_t aLevel) {
    while (aCount > 0 && itemAt(aNode.sData, aCount - 1).bsliSegmentSize > aLength) {
      TqdBlobSegmentLinkItem item = itemAt(aNode.sData, aCount - 1);
      const uint64_t start = aCount == 1 ? aStart : itemAt(aNode.sData, aCount - 2).bsliSegmentSize;
      const bool kept = TruncateSubtree(item, start, aLength, aLevel + 1);
      Refresh(aNode);
      if (kept) {
        putItem(aNode.sData, aCount - 1, item);
        break;
      }
      --aCount;
    }
    return aCount;
  }

  TqdSegmentedBlobEngine* tEngine;
  TqdBaseTransaction* tTrans;
  TqdBaseHeapEngine* tHeap;
  TqdBaseBlockHeapEngine* tBlockHeap;
};

// --- Header handler ----------------------------------------------------------------------------

TqdSegmentedBlobHeapHeaderHandler::TqdSegmentedBlobHeapHeaderHandler(TqdSegmentedBlobEngine* aEngine)
    : bhhhHeaderSection(aEngine->HeaderSection()) {}

void TqdSegmentedBlobHeapHeaderHandler::DataBlockAdded(TqdBaseTransaction*, TqdBaseFileHeaderAccess*, PqdBlock) {}
void TqdSegmentedBlobHeapHeaderHandler::DataBlockRemoved(TqdBaseTransaction*, TqdBaseFileHeaderAccess*, PqdBlock) {}

TqdBlockNumber TqdSegmentedBlobHeapHeaderHandler::GetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess) {
  return qdGetU32(aHeaderAccess->Header() + bhhhHeaderSection);
}

void TqdSegmentedBlobHeapHeaderHandler::SetMapRoot(TqdBaseFileHeaderAccess* aHeaderAccess,
                                                   TqdBlockNumber aBlockNumber) {
  qdPutU32(aHeaderAccess->WritableHeader() + bhhhHeaderSection, aBlockNumber);
}

// --- Creation -----------------------------------------------------------------------------------

const TqdBlobEngineClass TqdSegmentedBlobEngine::ClassInfo{
    {u"TqdSegmentedBlobEngine", &TqdBaseBlobEngine::ClassInfo, nullptr},
    &qdNewBlobEngine<TqdSegmentedBlobEngine>,
    &TqdSegmentedBlobEngine::CheckValidDescriptor};

void TqdSegmentedBlobEngine::CheckValidDescriptor(TqdBaseBlobDescriptor* aDescriptor) {
  auto* heapBlob = dynamic_cast<TqdHeapBlobDescriptor*>(aDescriptor);
  if (heapBlob == nullptr) throw E(qdeInvalidDesc, u"Blob descriptor must be a TqdHeapBlobDescriptor is required");
  if (heapBlob->HeapDescriptor() == nullptr) throw E(qdeInvalidDesc, u"A HeapDescriptor is required");
  TqdBaseHeapEngine::CheckValidBaseFromDescriptor(heapBlob->HeapDescriptor());
}

TqdSegmentedBlobEngine::TqdSegmentedBlobEngine(TqdBaseBlobDescriptor* aDescriptor, const TqdBlockAccessList& aFiles,
                                               TqdBaseTransaction* aTrans)
    : TqdBaseBlobEngine(aDescriptor, aFiles, aTrans) {
  auto* heapBlob = dynamic_cast<TqdHeapBlobDescriptor*>(aDescriptor);
  if (heapBlob == nullptr) throw E(qdeInvalidDesc, u"TqdHeapBlobDescriptor is required");
  if (heapBlob->HeapDescriptor() == nullptr) throw E(qdeInvalidDesc, u"A HeapDescriptor is required");
  {
    std::unique_ptr<TqdBaseFileHeaderAccess> header = bbeBlobFile->HeaderAccess(aTrans, aTrans != nullptr);
    beHeaderSection =
        header->RegisterHeaderSection(qdAnsiString(aDescriptor->HeaderSection()), 4, aTrans != nullptr, false);
    if (aTrans != nullptr) qdPutU32(header->WritableHeader() + beHeaderSection, 0);
  }
  beHeapEngine.reset(TqdBaseHeapEngine::CreateEngine(heapBlob->HeapDescriptor(), bbeBlobFile, CreateHeaderHandler()));
  if (!beHeapEngine || beHeapEngine->BlockHeapEngine() == nullptr)
    throw E(qdeInvalidDesc, u"A HeapDescriptor is required");
  if (bseTableVersion >= 47005) bbeBlobNrMask = beHeapEngine->HeapRefMask();
}

TqdSegmentedBlobEngine::~TqdSegmentedBlobEngine() = default;

TqdSegmentedBlobHeapHeaderHandler* TqdSegmentedBlobEngine::CreateHeaderHandler() {
  return new TqdSegmentedBlobHeapHeaderHandler(this);
}

// --- Creating BLOBs -------------------------------------------------------------------------------

void TqdSegmentedBlobEngine::AddBlob(TqdBaseTransaction* aTrans, TqdBlobNr& aBlobNr) {
  static const uint8_t kType = kEmpty;
  aBlobNr = beHeapEngine->AllocSegment(aTrans, {&kType, nullptr}, {1, 12});
  if (aBlobNr == 0) qdAssertFailed(kUnit, "the heap refused a BLOB root");
}

void TqdSegmentedBlobEngine::AddFileBlob(TqdBaseTransaction* aTrans, const qdString& aFileName, TqdBlobNr& aBlobNr) {
  std::vector<uint8_t> bytes;
  if (bseTableVersion < 30000) {
    const qdAnsiString name = qdStringToAnsi(aFileName);
    bytes.push_back(kFile8);
    bytes.insert(bytes.end(), name.begin(), name.end());
  } else {
    bytes.push_back(kFile16);
    for (char16_t c : aFileName) {
      bytes.push_back(uint8_t(c));
      bytes.push_back(uint8_t(c >> 8));
    }
  }
  if (bytes.size() < kRootSize) bytes.resize(kRootSize, 0);
  if (bytes.size() > beHeapEngine->BlockHeapEngine()->MaxSegmentSize())
    throw E(qdeBlobError, u"The file name of a file BLOB is too long");
  aBlobNr = beHeapEngine->AllocSegment(aTrans, {bytes.data()}, {uint16_t(bytes.size())});
  if (aBlobNr == 0) qdAssertFailed(kUnit, "the heap refused a BLOB root");
}

void TqdSegmentedBlobEngine::AddBlobLink(TqdBaseTransaction* aTrans, const qdString& aTableName, TqdBlobNr aTableBlobNr,
                                         TqdBlobNr& aBlobNr) {
  std::vector<uint8_t> bytes(9);
  qdPutI64(bytes.data() + 1, aTableBlobNr);
  if (bseTableVersion < 30000) {
    bytes[0] = kLink8;
    const qdAnsiString name = qdStringToAnsi(aTableName);
    bytes.insert(bytes.end(), name.begin(), name.end());
  } else {
    bytes[0] = kLink16;
    for (char16_t c : aTableName) {
      bytes.push_back(uint8_t(c));
      bytes.push_back(uint8_t(c >> 8));
    }
  }
  if (bytes.size() > beHeapEngine->BlockHeapEngine()->MaxSegmentSize())
    throw E(qdeBlobError, u"The table name of a BLOB link is too long");
  aBlobNr = beHeapEngine->AllocSegment(aTrans, {bytes.data()}, {uint16_t(bytes.size())});
  if (aBlobNr == 0) qdAssertFailed(kUnit, "the heap refused a BLOB root");
}

// --- Kinds -----------------------------------------------------------------------------------------

namespace {

qdString nameOf(const uint8_t* aBytes, uint32_t aSize, bool aWide, bool aStopAtZero) {
  if (!aWide) {
    uint32_t n = 0;
    while (n < aSize && (!aStopAtZero || aBytes[n] != 0)) ++n;
    return qdAnsiToString(std::string_view(reinterpret_cast<const char*>(aBytes), n));
  }
  qdString name;
  for (uint32_t i = 0; i + 1 < aSize; i += 2) {
    const char16_t c = char16_t(aBytes[i] | (aBytes[i + 1] << 8));
    if (aStopAtZero && c == 0) break;
    name.push_back(c);
  }
  return name;
}

}  // namespace

bool TqdSegmentedBlobEngine::IsFileBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, qdString& aFileName) {
  aFileName.clear();
  TqdTree tree(this, aTrans);
  TqdTree::TqdSegment root = tree.Get(aBlobNr & bbeBlobNrMask, false, false);
  const uint8_t type = tree.CheckRoot(root);
  if (type != kFile8 && type != kFile16) return false;
  aFileName = nameOf(root.sData + 1, root.sSize - 1u, type == kFile16, true);
  return true;
}

bool TqdSegmentedBlobEngine::IsBlobLink(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, qdString& aSrcTableName,
                                        TqdBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  aSrcTableBlobNr = 0;
  TqdTree tree(this, aTrans);
  TqdTree::TqdSegment root = tree.Get(aBlobNr & bbeBlobNrMask, false, false);
  const uint8_t type = tree.CheckRoot(root);
  if (type != kLink8 && type != kLink16) return false;
  aSrcTableBlobNr = qdGetI64(root.sData + 1);
  aSrcTableName = nameOf(root.sData + 9, root.sSize - 9u, type == kLink16, false);
  return true;
}

// --- Reading ---------------------------------------------------------------------------------------

TqdResult TqdSegmentedBlobEngine::GetBlobLength(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr,
                                                const TqdBlobLinkGetLength& aLengthMethod, uint32_t& aLength) {
  aLength = 0;
  TqdTree tree(this, aTrans);
  TqdTree::TqdSegment root = tree.Get(aBlobNr & bbeBlobNrMask, false, false);
  const uint8_t type = tree.CheckRoot(root);
  switch (type) {
    case kEmpty:
    case kSmall:
    case kData:
    case kIndex:
      aLength = TqdTree::Length(root);
      return 0;
    case kFile8:
    case kFile16:
      return GetFileBlobLength(nameOf(root.sData + 1, root.sSize - 1u, type == kFile16, true), aLength);
    case kLink8:
    case kLink16: {
      if (!aLengthMethod) return qdeBlobError;
      const qdString name = nameOf(root.sData + 9, root.sSize - 9u, type == kLink16, false);
      return aLengthMethod(name, qdGetI64(root.sData + 1), aLength);
    }
    default:
      return qdeBlobError;
  }
}

TqdResult TqdSegmentedBlobEngine::Read(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                       const TqdBlobLinkRead& aReadMethod, TStream& aStream) {
  TqdTree tree(this, aTrans);
  TqdTree::TqdSegment root = tree.Get(aBlobNr & bbeBlobNrMask, false, false);
  const uint8_t type = tree.CheckRoot(root);
  switch (type) {
    case kEmpty:
      return 0;
    case kSmall:
    case kData: {
      const uint32_t n = TqdTree::Length(root);
      if (aOffset <= n) {
        const uint32_t count = std::min(n - aOffset, aLen);
        if (count > 0) aStream.WriteBuffer(root.sData + 1 + aOffset, int32_t(count));
      }
      return 0;
    }
    case kIndex: {
      uint64_t offset = aOffset;
      uint64_t remaining = aLen;
      tree.ReadEntries(root, itemCount(root.sSize), 0, offset, remaining, aStream, 1);
      return 0;
    }
    case kFile8:
    case kFile16:
      return ReadFileBlob(nameOf(root.sData + 1, root.sSize - 1u, type == kFile16, true), aOffset, aLen, aStream);
    case kLink8:
    case kLink16: {
      if (!aReadMethod) return qdeBlobError;
      const qdString name = nameOf(root.sData + 9, root.sSize - 9u, type == kLink16, false);
      return aReadMethod(name, qdGetI64(root.sData + 1), aOffset, aLen, aStream);
    }
    default:
      return qdeBlobError;
  }
}

// --- Writing ---------------------------------------------------------------------------------------

void TqdSegmentedBlobEngine::Write(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                   const void* aBlob) {
  const TqdBlobNr number = aBlobNr & bbeBlobNrMask;
  TqdTree tree(this, aTrans);
  TqdTree::TqdSegment root = tree.Get(number, true, false);
  const uint8_t type = tree.CheckRoot(root);
  if (type == kFile8 || type == kLink8 || type == kFile16 || type == kLink16)
    throw E(qdeFieldReadOnly, u"Trying to modify read-only field.");
  if (type > kLink16) throw E(qdeBlobError);
  const uint32_t L = TqdTree::Length(root);
  if (aOffset > L)
    throw E(qdeInvalidBlobOffset,
            u"Offset value is greater than the length of the BLOB [%s, (%d), offset %d, length %d]",
            {bbeBlobFile->fiName(), number, aOffset, L});
  if (aLen == 0) return;
  const uint64_t end = uint64_t(aOffset) + aLen;
  if (end > kMaxBlobSize) throw E(qdeBlobTooLarge, u"BLOB size exceeds maximum size.");
  const uint64_t N = std::max<uint64_t>(end, L);
  const auto* source = static_cast<const uint8_t*>(aBlob);
  if (type != kIndex) {
    if (N <= kSmallMax) {
      std::memcpy(root.sData + 1 + aOffset, source, aLen);
      root.sData[12] = uint8_t(N);
      root.sData[0] = kSmall;
      return;
    }
    if (N == L || (N + 1 <= tree.Room(root) && tree.Resize(root, uint32_t(N + 1)))) {
      std::memcpy(root.sData + 1 + aOffset, source, aLen);
      root.sData[0] = kData;
      return;
    }
    tree.Refresh(root);
    // The kept head of the old data is copied aside: the new leaves may land
    // in the root's block and move it.
    const std::vector<uint8_t> head(root.sData + 1, root.sData + 1 + aOffset);
    TqdDynBlobSegmentLinkItems items;
    tree.AddLeaves(head.data(), aOffset, source, aLen, 0, items);
    tree.SetRootItems(root, items);
    return;
  }
  tree.wSource = source;
  tree.wOffset = aOffset;
  tree.wRemaining = aLen;
  tree.WriteTree(root);
}

// --- Truncating ------------------------------------------------------------------------------------

void TqdSegmentedBlobEngine::Truncate(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr, uint32_t aLen) {
  const TqdBlobNr number = aBlobNr & bbeBlobNrMask;
  TqdTree tree(this, aTrans);
  TqdTree::TqdSegment root = tree.Get(number, true, false);
  const uint8_t type = tree.CheckRoot(root);
  uint32_t L;
  if (type == kFile8 || type == kLink8 || type == kFile16 || type == kLink16) {
    if (aLen > 0) throw E(qdeFieldReadOnly, u"Trying to modify read-only field.");
    L = root.sSize - 1u;
  } else if (type > kLink16) {
    throw E(qdeBlobError);
  } else {
    L = TqdTree::Length(root);
  }
  if (aLen > L)
    throw E(qdeInvalidBlobLen, u"Truncate length is greater than length of BLOB [%s, (%d), offset %d, length %d]",
            {bbeBlobFile->fiName(), number, aLen, L});
  if (aLen == L) return;
  if (type != kIndex) {
    if (aLen < 12) {
      // A short link root must grow to 13 bytes; when its block has no room
      // it stays as it is.
      if (root.sSize != kRootSize && !tree.Resize(root, kRootSize))
        throw E(qdeBlobError, u"The BLOB root cannot grow to an empty BLOB in its block");
      root.sData[0] = aLen == 0 ? kEmpty : kSmall;
      if (aLen > 0) root.sData[12] = uint8_t(aLen);
    } else if (!tree.Resize(root, aLen + 1)) {
      qdAssertFailed(kUnit, "a BLOB root refused to shrink");
    }
    return;
  }
  uint32_t count = tree.TruncateEntries(root, itemCount(root.sSize), 0, aLen, 0);
  if (count >= 2) {
    if (root.sSize != 1 + kItemSize * count && !tree.Resize(root, 1 + kItemSize * count))
      qdAssertFailed(kUnit, "a BLOB root refused to shrink");
    return;
  }
  if (count == 1) {
    if (root.sSize != kRootSize && !tree.Resize(root, kRootSize))
      qdAssertFailed(kUnit, "a BLOB root refused to shrink");
    const uint32_t wanted = std::max<uint32_t>(kRootSize, aLen + 1);
    const TqdBlobSegmentLinkItem child = itemAt(root.sData, 0);
    if (aLen <= tree.tBlockHeap->MaxSegmentSize() && wanted <= tree.Room(root) && tree.Resize(root, wanted)) {
      TqdMemoryStream bytes(-1);
      uint64_t offset = 0;
      uint64_t remaining = aLen;
      tree.ReadSubtree(child.bsliSegmentRef, 0, child.bsliSegmentSize, offset, remaining, bytes, 1);
      if (bytes.Size() != aLen) qdAssertFailed(kUnit, "a BLOB subtree read fewer bytes than it holds");
      TqdBlobSegmentLinkItem item = child;
      if (tree.TruncateSubtree(item, 0, 0, 1)) qdAssertFailed(kUnit, "a BLOB subtree outlived its truncation");
      tree.Refresh(root);
      std::memcpy(root.sData + 1, bytes.ByteArray(), aLen);
      if (aLen < 12) {
        root.sData[12] = uint8_t(aLen);
        root.sData[0] = kSmall;
      } else {
        root.sData[0] = kData;
      }
      return;
    }
    tree.Refresh(root);
    // Shallower while the root has a single index child.
    for (uint32_t level = 0; itemCount(root.sSize) == 1 && level < kMaxIndexLevels; ++level) {
      const TqdBlobSegmentLinkItem item = itemAt(root.sData, 0);
      TqdTree::TqdSegment single = tree.Get(item.bsliSegmentRef, true, true);
      if (single.sData[0] != kIndex) break;
      tree.CheckIndex(single, 0, item.bsliSegmentSize, false);
      const std::vector<uint8_t> copy(single.sData, single.sData + single.sSize);
      if (refBlock(single.sRef) == refBlock(root.sRef)) {
        tree.Free(single);
        tree.Refresh(root);
        if (!tree.Resize(root, uint32_t(copy.size()))) {
          // The child's own space did not suffice after all: give it a new
          // home and keep the level.
          static const uint8_t kType = kIndex;
          uint16_t size = 0;
          const TqdHeapRef ref =
              beHeapEngine->AllocSegmentEx(aTrans, {&kType, copy.data() + 1}, {1, uint32_t(copy.size() - 1)},
                                           uint16_t(copy.size()), size, 1, kItemSize, true);
          if (ref == 0) qdAssertFailed(kUnit, "the heap refused a BLOB index segment");
          tree.Refresh(root);
          putItem(root.sData, 0, {ref, item.bsliSegmentSize});
          break;
        }
        std::memcpy(root.sData, copy.data(), copy.size());
      } else {
        single.sBlock.Release();
        if (!tree.Resize(root, uint32_t(copy.size()))) break;
        std::memcpy(root.sData, copy.data(), copy.size());
        tree.FreeRef(item.bsliSegmentRef);
        tree.Refresh(root);
      }
    }
    return;
  }
  if (!tree.Resize(root, kRootSize)) qdAssertFailed(kUnit, "a BLOB root refused to shrink");
  root.sData[0] = kEmpty;
}

// --- Deleting --------------------------------------------------------------------------------------

void TqdSegmentedBlobEngine::DeleteBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr) {
  const TqdBlobNr number = aBlobNr & bbeBlobNrMask;
  uint8_t type;
  {
    TqdTree tree(this, aTrans);
    TqdTree::TqdSegment root = tree.Get(number, true, false);
    type = tree.CheckRoot(root);
    if (type > kLink16) return;
    if (type != kIndex) {
      tree.Free(root);
      return;
    }
  }
  Truncate(aTrans, number, 0);
  TqdTree tree(this, aTrans);
  TqdTree::TqdSegment root = tree.Get(number, true, false);
  tree.Free(root);
}

bool TqdSegmentedBlobEngine::FreeBlob(TqdBaseTransaction* aTrans, TqdBlobNr aBlobNr) {
  if (aTrans == nullptr) return false;
  TqdTree tree(this, aTrans);
  TqdTree::TqdSegment root = tree.Get(aBlobNr & bbeBlobNrMask, true, false);
  if (tree.CheckRoot(root) != kEmpty) return false;
  tree.Free(root);
  return true;
}

void TqdSegmentedBlobEngine::Rollback(TqdBaseTransaction* aTrans) {
  beHeapEngine->Rollback(aTrans);
  TqdBaseBlobEngine::Rollback(aTrans);
}

void TqdSegmentedBlobEngine::IncBlobNr(TqdBlobNr& aBlobNr) {
  if (bseTableVersion >= 47005) beHeapEngine->IncHeapRef(aBlobNr);
}

void qdseBlobEngineSegmentedInitialize() {
  TqdBaseSubEngine::Register(TqdSegmentedBlobEngine::ClassInfo, u"qd1xDefault");
}

void qdseBlobEngineSegmentedFinalize() { TqdBaseSubEngine::Unregister(TqdSegmentedBlobEngine::ClassInfo); }

}  // namespace qd
