// Bulk build of a static-key B*-tree.
//
// Collecting: the key of every record, with its reference in the last 8
// bytes, goes into the current 4 MB container (a scratch block of the block
// cache, locked while it is filled). A full container is sorted in place
// and sealed: its first and last entries are copied out and its scratch
// block unlocked, so the cache may move it out of memory.
//
// Finalize: the sealed containers, ordered by first entry, are chained into
// runs (containers whose entries, read one container after the other, are
// in order). The two shortest runs are merged into a new run of pre-sorted
// containers until two are left; their merge feeds the tree builder, which
// writes every leaf and internal node once, bottom-up, filled to about 80 %
// with the keys spread evenly over the nodes it planned from the key count.
//
// Duplicates the index does not allow are found by the entry comparison,
// which every sort, run and merge step goes through: two equal entries end
// up next to each other in the final order, and every such pair is
// compared at least once.
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "dictionary/qdsdKeyEngineBase.h"
#include "indexes/qdseIndexBase.h"
#include "platform/qdLittleEndian.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseIndexEngineStaticKeyBstarTree";

// Bytes of one container's scratch block (size class qdbs4m).
constexpr int32_t kContainerBytes = 4194304;
// Pending ranges of the container sort: the larger part of each partition
// waits on the stack while the smaller one is sorted, so the stack never
// holds more than log2 of the entry count.
constexpr int32_t kSortStackSize = 32;
// A range of this many entries or fewer is finished by insertion.
constexpr int32_t kSortSmallRange = 15;
// How often the merge lets the caller's deadline through.
constexpr uint32_t kTimeoutCheckMask = 1023;

TqdStaticKeyBstarTreeIndexEngine* staticKeyEngine(TqdBaseIndexEngine* aIndexEngine) {
  auto* engine = dynamic_cast<TqdStaticKeyBstarTreeIndexEngine*>(aIndexEngine);
  if (engine == nullptr) throw EInvalidCast();
  return engine;
}

}  // namespace

// --- Key containers ------------------------------------------------------------------------------

// One 4 MB scratch block of collected entries. Linked in front of its head's
// chain when created (the head's previous container must be sealed), and
// into the builder's list of every live container, which frees what is left
// when the build stops early.
class TqdStaticKeyBstarTreeIndexBulkBuilder::TqdKeyContainer : public TqdObject {
 public:
  TqdKeyContainer(TqdStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TqdStaticKeyBstarTreeIndexBulkBuilderHead* aHead)
      : kcBulkIndexer(aBulkIndexer), kcHead(aHead) {
    TqdKeyContainer* current = aHead->bsibbhCurrentContainer;
    if (current != nullptr && current->kcScratchPointer != nullptr)
      qdAssertFailed(kUnit, "bulk build: container started while the current one is not sealed");
    aBulkIndexer->bsibbLinkContainer(this);
    kcNext = current;
    aHead->bsibbhCurrentContainer = this;
    ++aHead->bsibbhContainerCount;
    aBulkIndexer->bsibbBufferManager->CreateScratchBlock(qdbs4m, kcScratchHandle);
    kcHasScratch = true;
    Lock();
    kcCurrentPointer = kcScratchPointer;
  }

  ~TqdKeyContainer() override {
    if (kcHasScratch) {
      TqdBufferManager* cache = kcBulkIndexer->bsibbBufferManager;
      if (kcScratchPointer != nullptr) cache->UnlockScratchBlock(kcScratchHandle, kcScratchPointer);
      cache->FreeScratchBlock(kcScratchHandle);
    }
    kcBulkIndexer->bsibbUnlinkContainer(this);
  }

  // Whether the entries must be sorted before the container is sealed.
  virtual bool NeedsSorting() const { return true; }

  // Builds the record's key into the next entry (the caller made sure there
  // is room): 0 also for a record the index's filter leaves out.
  [[nodiscard]] TqdResult InsertKey(TqdRefNr aRefNr, PqdRecordBuffer aRecord) {
    const TqdResult result = kcBulkIndexer->bibbKeyEngine->BuildKey(aRecord, kcCurrentPointer, aRefNr, false);
    if (result == qdeKeyFiltered) return 0;
    if (result != 0) return result;
    const int32_t entry = kcBulkIndexer->bsibbKeyLength;
    qdPutI64(kcCurrentPointer + entry - 8, int64_t(aRefNr));
    kcCurrentPointer += entry;
    ++kcKeyCount;
    ++kcBulkIndexer->bsibbTotalKeyCount;
    return 0;
  }

  // Appends an entry taken from a merge (the caller made sure there is room).
  void InsertMergedKey(const uint8_t* aKey) {
    std::memcpy(kcCurrentPointer, aKey, size_t(kcBulkIndexer->bsibbKeyLength));
    kcCurrentPointer += kcBulkIndexer->bsibbKeyLength;
    ++kcKeyCount;
  }

  // Entry aIndex and its reference; the container must be locked.
  uint8_t* kcGetKey(int32_t aIndex) const {
    return kcScratchPointer + size_t(aIndex) * size_t(kcBulkIndexer->bsibbKeyLength);
  }
  int64_t kcGetRefNr(int32_t aIndex) const { return qdGetI64(kcGetKey(aIndex) + kcBulkIndexer->bsibbKeyLength - 8); }

  void Lock() {
    if (kcScratchPointer == nullptr)
      kcScratchPointer = static_cast<uint8_t*>(kcBulkIndexer->bsibbBufferManager->LockScratchBlock(kcScratchHandle));
  }
  void Unlock() {
    if (kcScratchPointer == nullptr) return;
    kcBulkIndexer->bsibbBufferManager->UnlockScratchBlock(kcScratchHandle, kcScratchPointer);
    kcScratchPointer = nullptr;
    kcCurrentPointer = nullptr;
  }
  bool Sealed() const { return kcScratchPointer == nullptr; }
  int32_t KeyCount() const { return kcKeyCount; }

  TqdKeyContainer* kcNext = nullptr;
  TqdStaticKeyBstarTreeIndexBulkBuilder* kcBulkIndexer;
  TqdStaticKeyBstarTreeIndexBulkBuilderHead* kcHead;
  TqdScratchBlockHandle kcScratchHandle;
  bool kcHasScratch = false;
  uint8_t* kcScratchPointer = nullptr;
  uint8_t* kcCurrentPointer = nullptr;
  int32_t kcKeyCount = 0;
  // Copies of the first and last entry once sealed; the first one is also
  // the exchange buffer of the sort.
  std::vector<uint8_t> kcFirstKey;
  std::vector<uint8_t> kcLastKey;
  // The builder's list of every live container.
  TqdKeyContainer* kcAllPrev = nullptr;
  TqdKeyContainer* kcAllNext = nullptr;
};

// Receives entries that are already in order (the output of a merge).
class TqdStaticKeyBstarTreeIndexBulkBuilder::TqdPreSortedKeyContainer final : public TqdKeyContainer {
 public:
  using TqdKeyContainer::TqdKeyContainer;
  bool NeedsSorting() const override { return false; }
};

// --- Tree builder --------------------------------------------------------------------------------

// Writes the tree bottom-up from entries that arrive in order. Every node
// is created once, filled and released; the leaf being filled and one node
// per internal level stay fetched.
class TqdStaticKeyBstarTreeIndexBulkBuilder::TqdTreeBuilder : public TqdObject {
 public:
  TqdTreeBuilder(TqdStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TqdBaseTransaction* aTrans);

  // Appends the next entry (key, reference in the last 8 bytes).
  void InsertKey(const uint8_t* aKey);
  // Checks what was written against the plan, sets root, page count and
  // key count, and releases the nodes still being filled.
  void Finalize();

 private:
  // One internal level: the node being filled, and what was planned and
  // written so far.
  struct TqdInternalLevel {
    TqdBlockRef tilNode;
    TqdBlockNumber tilPrevNode = qdIndexRootNone;
    uint32_t tilNodesPlanned = 0;
    uint32_t tilKeysPlanned = 0;
    uint32_t tilNodesCreated = 0;
    uint32_t tilKeysWritten = 0;
  };

  TqdBlockRef tbCreateNode(uint8_t aKind);
  // Adds separator aKey between aLeft and aRight to level aLevel.
  void tbAddSeparator(size_t aLevel, TqdBlockNumber aLeft, TqdBlockNumber aRight, const uint8_t* aKey);

  TqdStaticKeyBstarTreeIndexBulkBuilder* tbBulkIndexer;
  TqdStaticKeyBstarTreeIndexEngine* tbIndexEngine;
  TqdBaseTransaction* tbTrans;
  std::unique_ptr<TqdBaseIndexHeaderAccess> tbIndexHeaderAccess;
  // Target keys per internal node and per leaf, and the first slot of a
  // new node (leaves: the window centred).
  uint16_t tbInternalNodeKeyCount = 0;
  uint16_t tbLeafNodeKeyCount = 0;
  uint16_t tbInternalNodeFirstKey = 0;
  uint16_t tbLeafNodeFirstKey = 0;
  TqdBlockRef tbCurrentLeafNode;
  // Planned: keys and leaves (keys per leaf = keys / leaves, kept as the
  // two integers so that the running comparison is exact).
  uint64_t tbTotalKeys = 0;
  uint32_t tbTotalLeafNodes = 0;
  // Written so far.
  uint32_t tbCurrentLeafNodes = 0;
  uint64_t tbCurrentLeafKeys = 0;
  uint32_t tbPagesCreated = 0;
  std::vector<TqdInternalLevel> tbCurrentInternal;
  // The separator travelling up (node key length; padding stays zero).
  std::vector<uint8_t> tbSeparator;
};

TqdStaticKeyBstarTreeIndexBulkBuilder::TqdTreeBuilder::TqdTreeBuilder(
    TqdStaticKeyBstarTreeIndexBulkBuilder* aBulkIndexer, TqdBaseTransaction* aTrans)
    : tbBulkIndexer(aBulkIndexer), tbIndexEngine(aBulkIndexer->bsibbIndexEngine), tbTrans(aTrans) {
  const TqdStaticKeyBstarTreeIndexEngine& engine = *tbIndexEngine;
  tbIndexHeaderAccess.reset(tbIndexEngine->CreateHeaderAccess(aTrans, true, true, 0, 0));

  // Targets: about 80 %, never a full node (its first insertion would
  // split it), and more than half of one.
  const int32_t internalCapacity = engine.MaxInternalNodeKeyCount();
  int32_t internalTarget = std::min(int32_t(double(internalCapacity) * 0.8), internalCapacity - 1);
  if (internalTarget <= internalCapacity / 2) internalTarget = internalCapacity / 2 + 1;
  const int32_t leafCapacity = engine.MaxLeafNodeKeyCount();
  int32_t leafTarget = std::min(int32_t(double(leafCapacity) * 0.8), leafCapacity - 1);
  if (leafTarget < leafCapacity / 2) leafTarget = leafCapacity / 2 + 1;
  tbInternalNodeKeyCount = uint16_t(internalTarget);
  tbLeafNodeKeyCount = uint16_t(leafTarget);
  tbInternalNodeFirstKey = 0;
  tbLeafNodeFirstKey = uint16_t((leafCapacity - leafTarget) / 2);

  tbTotalKeys = aBulkIndexer->bsibbTotalKeyCount;
  tbTotalLeafNodes = uint32_t((tbTotalKeys + uint64_t(leafTarget) - 1) / uint64_t(leafTarget));

  // Internal levels from the bottom: c children need ceil(c / (T + 1))
  // nodes holding c - nodes keys between them.
  uint64_t children = tbTotalLeafNodes;
  while (children > 1) {
    TqdInternalLevel& level = tbCurrentInternal.emplace_back();
    level.tilNodesPlanned = uint32_t((children + uint64_t(internalTarget)) / uint64_t(internalTarget + 1));
    level.tilKeysPlanned = uint32_t(children - level.tilNodesPlanned);
    children = level.tilNodesPlanned;
  }
  tbSeparator.assign(size_t(engine.NodeKeyLength()), 0);
}

TqdBlockRef TqdStaticKeyBstarTreeIndexBulkBuilder::TqdTreeBuilder::tbCreateNode(uint8_t aKind) {
  TqdBlockRef node = qdCreateIndexNode(tbTrans, tbIndexHeaderAccess->FileHeader(), tbIndexHeaderAccess->ID(), aKind,
                                       tbIndexEngine->IndexNumber());
  ++tbPagesCreated;
  return node;
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::TqdTreeBuilder::InsertKey(const uint8_t* aKey) {
  const TqdStaticKeyBstarTreeIndexEngine& engine = *tbIndexEngine;
  TqdBlockRef closed;
  if (tbCurrentLeafNode) {
    // Close the leaf at its target, or as soon as the leaves written hold
    // their planned share: keys / leaves >= total keys / planned leaves.
    if (qdIndexNodeCount(tbCurrentLeafNode.Data()) >= tbLeafNodeKeyCount ||
        tbCurrentLeafKeys * tbTotalLeafNodes >= tbTotalKeys * tbCurrentLeafNodes)
      closed = std::move(tbCurrentLeafNode);
  }
  if (!tbCurrentLeafNode) {
    qdCheckTimeout();
    tbCurrentLeafNode = tbCreateNode(kIndexNodeLeaf);
    ++tbCurrentLeafNodes;
    uint8_t* leaf = tbCurrentLeafNode.WritableData();
    qdSetIndexNodeFirst(leaf, tbLeafNodeFirstKey);
    if (closed) {
      qdSetIndexNodePrev(leaf, closed.BlockNumber());
      qdSetIndexNodeNext(closed.WritableData(), tbCurrentLeafNode.BlockNumber());
    }
  }

  uint8_t* leaf = tbCurrentLeafNode.WritableData();
  const uint16_t count = qdIndexNodeCount(leaf);
  const int32_t entry = tbBulkIndexer->bsibbKeyLength;
  engine.WriteLeafEntry(leaf, tbLeafNodeFirstKey + count, aKey, TqdRefNr(qdGetI64(aKey + entry - 8)));
  qdSetIndexNodeCount(leaf, uint16_t(count + 1));
  ++tbCurrentLeafKeys;

  if (closed) {
    // The separator is the closed leaf's last entry, with its reference
    // where separators carry one.
    const uint8_t* last = closed.Data();
    const int32_t lastSlot = qdIndexNodeFirst(last) + qdIndexNodeCount(last) - 1;
    std::memcpy(tbSeparator.data(), engine.LeafKey(last, lastSlot), tbBulkIndexer->bibbKeyEngine->KeyLength());
    if (engine.AddKeyRefsToKeys())
      qdPutI64(tbSeparator.data() + engine.DescKeyLength(), int64_t(engine.LeafRefNr(last, lastSlot)));
    tbAddSeparator(0, closed.BlockNumber(), tbCurrentLeafNode.BlockNumber(), tbSeparator.data());
  }
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::TqdTreeBuilder::tbAddSeparator(size_t aLevel, TqdBlockNumber aLeft,
                                                                           TqdBlockNumber aRight, const uint8_t* aKey) {
  if (aLevel >= tbCurrentInternal.size()) qdAssertFailed(kUnit, "bulk build: separator above the planned root");
  const TqdStaticKeyBstarTreeIndexEngine& engine = *tbIndexEngine;
  TqdInternalLevel& level = tbCurrentInternal[aLevel];
  TqdBlockRef closed;
  if (level.tilNode) {
    // Close at the target, or once the nodes written hold more than their
    // planned share: keys / nodes > planned keys / planned nodes.
    const uint16_t count = qdIndexNodeCount(level.tilNode.Data());
    if (count >= tbInternalNodeKeyCount || uint64_t(level.tilKeysWritten) * level.tilNodesPlanned >
                                               uint64_t(level.tilKeysPlanned) * level.tilNodesCreated) {
      if (engine.TreePointer(level.tilNode.Data(), count) != aLeft)
        qdAssertFailed(kUnit, "bulk build: a closed node does not end with the left block");
      closed = std::move(level.tilNode);
      level.tilPrevNode = closed.BlockNumber();
    }
  }
  if (!level.tilNode) {
    level.tilNode = tbCreateNode(kIndexNodeInternal);
    ++level.tilNodesCreated;
  }
  uint8_t* node = level.tilNode.WritableData();
  if (closed) {
    // The new node starts with the right block; the separator goes up
    // between the closed node and the new one.
    engine.SetTreePointer(node, 0, aRight);
    tbAddSeparator(aLevel + 1, closed.BlockNumber(), level.tilNode.BlockNumber(), aKey);
    return;
  }
  const uint16_t count = qdIndexNodeCount(node);
  if (count == 0)
    engine.SetTreePointer(node, 0, aLeft);
  else if (engine.TreePointer(node, count) != aLeft)
    qdAssertFailed(kUnit, "bulk build: a separator does not follow the node's last pointer");
  std::memcpy(engine.NodeKey(node, count), aKey, size_t(engine.NodeKeyLength()));
  engine.SetTreePointer(node, count + 1, aRight);
  qdSetIndexNodeCount(node, uint16_t(count + 1));
  ++level.tilKeysWritten;
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::TqdTreeBuilder::Finalize() {
  if (tbCurrentLeafNodes != tbTotalLeafNodes || tbCurrentLeafKeys != tbTotalKeys)
    qdAssertFailed(kUnit, "bulk build: leaves or keys written differ from the plan");
  TqdBlockNumber root = tbCurrentLeafNode.BlockNumber();
  for (const TqdInternalLevel& level : tbCurrentInternal) {
    if (level.tilNodesCreated != level.tilNodesPlanned || level.tilKeysWritten != level.tilKeysPlanned)
      qdAssertFailed(kUnit, "bulk build: internal nodes or keys written differ from the plan");
    root = level.tilNode.BlockNumber();
  }
  TqdBaseIndexHeaderAccess& header = *tbIndexHeaderAccess;
  header.SetIndexRoot(root);
  header.SetIndexPageCount(header.GetIndexPageCount() + tbPagesCreated);
  header.SetIndexKeyCount(header.GetIndexKeyCount() + uint32_t(tbCurrentLeafKeys));
  tbCurrentLeafNode.Release();
  for (TqdInternalLevel& level : tbCurrentInternal) level.tilNode.Release();
}

// --- The bulk builder ----------------------------------------------------------------------------

TqdStaticKeyBstarTreeIndexBulkBuilder::TqdStaticKeyBstarTreeIndexBulkBuilder(TqdBaseTransaction* aTrans,
                                                                             TqdBaseIndexEngine* aIndexEngine)
    : TqdBaseIndexBulkBuilder(aTrans, aIndexEngine),
      bsibbBufferManager(aTrans->TransBufferManager()),
      bsibbIndexEngine(staticKeyEngine(aIndexEngine)) {
  // The key, then the reference in the last 8 bytes: key length + 8
  // rounded up to a multiple of 16.
  bsibbKeyLength = (int32_t(bibbKeyEngine->KeyLength()) + 23) & ~15;
  bsibbKeysPerContainer = kContainerBytes / bsibbKeyLength;
  // A unique index, or duplicates only for keys with nulls, refuses equal
  // keys; the others order them by reference.
  bsibbDups = bsibbIndexEngine->Dups();
  bsibbDupsNullOnly = bsibbIndexEngine->DupsNullOnly();
}

TqdStaticKeyBstarTreeIndexBulkBuilder::~TqdStaticKeyBstarTreeIndexBulkBuilder() { bsibbFreeAll(); }

void TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbFreeAll() {
  delete bsibbTreeBuilder;
  bsibbTreeBuilder = nullptr;
  while (bsibbContainers != nullptr) delete bsibbContainers;
  bsibbDefaultHead = {};
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbLinkContainer(TqdKeyContainer* aContainer) {
  aContainer->kcAllNext = bsibbContainers;
  if (bsibbContainers != nullptr) bsibbContainers->kcAllPrev = aContainer;
  bsibbContainers = aContainer;
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbUnlinkContainer(TqdKeyContainer* aContainer) {
  if (aContainer->kcAllPrev != nullptr)
    aContainer->kcAllPrev->kcAllNext = aContainer->kcAllNext;
  else
    bsibbContainers = aContainer->kcAllNext;
  if (aContainer->kcAllNext != nullptr) aContainer->kcAllNext->kcAllPrev = aContainer->kcAllPrev;
}

TqdResult TqdStaticKeyBstarTreeIndexBulkBuilder::InsertKey(TqdRefNr* aRefNr, PqdRecordBuffer aRecord,
                                                           TqdBaseTransaction* aTrans) {
  (void)aTrans;  // the containers live in the cache of the transaction the builder was created with
  TqdStaticKeyBstarTreeIndexBulkBuilderHead& head = bsibbDefaultHead;
  TqdKeyContainer* container = head.bsibbhCurrentContainer;
  if (container == nullptr || container->Sealed()) {
    container = new TqdKeyContainer(this, &head);
  } else if (container->KeyCount() >= bsibbKeysPerContainer) {
    bsibbSealContainer(head);
    container = new TqdKeyContainer(this, &head);
  }
  return container->InsertKey(*aRefNr, aRecord);
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbSealContainer(TqdStaticKeyBstarTreeIndexBulkBuilderHead& aHead) {
  TqdKeyContainer* container = aHead.bsibbhCurrentContainer;
  if (container == nullptr || container->Sealed()) return;
  if (container->KeyCount() == 0) {
    aHead.bsibbhCurrentContainer = container->kcNext;
    --aHead.bsibbhContainerCount;
    delete container;
    return;
  }
  container->kcFirstKey.resize(size_t(bsibbKeyLength));
  container->kcLastKey.resize(size_t(bsibbKeyLength));
  if (container->NeedsSorting() && container->KeyCount() > 1) bsibbSortContainer(*container);
  std::memcpy(container->kcFirstKey.data(), container->kcGetKey(0), size_t(bsibbKeyLength));
  std::memcpy(container->kcLastKey.data(), container->kcGetKey(container->KeyCount() - 1), size_t(bsibbKeyLength));
  container->Unlock();
}

int32_t TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbCompare(const uint8_t* aEntry1, const uint8_t* aEntry2) {
  if (aEntry1 == aEntry2) return 0;
  const int32_t result = bibbKeyEngine->CompareKey(aEntry1, aEntry2, 0, 0);
  if (result != 0) return result;
  if (!bsibbDups ||
      (bsibbDupsNullOnly && !bibbKeyEngine->KeyContainsNulls(aEntry1) && !bibbKeyEngine->KeyContainsNulls(aEntry2)))
    bsibbRaiseDuplicate(aEntry1);
  const int64_t refNr1 = qdGetI64(aEntry1 + bsibbKeyLength - 8);
  const int64_t refNr2 = qdGetI64(aEntry2 + bsibbKeyLength - 8);
  if (refNr1 < refNr2) return -1;
  if (refNr1 > refNr2) return 1;
  bsibbRaiseDuplicate(aEntry1);
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbRaiseDuplicate(const uint8_t* aEntry) {
  // The message needs a key buffer of its own: the entry may sit in a
  // scratch block that the clean-up frees before the message is shown.
  std::vector<uint8_t> key(aEntry, aEntry + bibbKeyEngine->KeyLength());
  const TqdRefNr refNr = TqdRefNr(qdGetI64(aEntry + bsibbKeyLength - 8));
  throw EqdBaseBulkBuilder(int64_t(bibbIndexEngine->GetKeyError(etBulkCreate, key.data(), refNr)));
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbSortContainer(TqdKeyContainer& aContainer) {
  const size_t entry = size_t(bsibbKeyLength);
  uint8_t* const exchange = aContainer.kcFirstKey.data();
  auto at = [&](int32_t aIndex) { return aContainer.kcScratchPointer + size_t(aIndex) * entry; };
  auto swap = [&](int32_t aIndex1, int32_t aIndex2) {
    if (aIndex1 == aIndex2) return;
    std::memcpy(exchange, at(aIndex1), entry);
    std::memcpy(at(aIndex1), at(aIndex2), entry);
    std::memcpy(at(aIndex2), exchange, entry);
  };

  struct TqdRange {
    int32_t rLow;
    int32_t rHigh;
  };
  TqdRange stack[kSortStackSize];
  int32_t depth = 0;
  int32_t low = 0;
  int32_t high = aContainer.KeyCount() - 1;
  for (;;) {
    if (high - low + 1 > kSortSmallRange) {
      // Median of three: first, middle and last put in order, the middle
      // one (the pivot) parked next to the end, where it stays while the
      // range is partitioned: the scans stop on it (it is equal to itself)
      // and on the first entry (not above the pivot).
      const int32_t middle = low + (high - low) / 2;
      if (bsibbCompare(at(middle), at(low)) < 0) swap(middle, low);
      if (bsibbCompare(at(high), at(low)) < 0) swap(high, low);
      if (bsibbCompare(at(high), at(middle)) < 0) swap(high, middle);
      swap(middle, high - 1);
      const uint8_t* const pivot = at(high - 1);
      int32_t i = low;
      int32_t j = high - 1;
      for (;;) {
        while (bsibbCompare(at(++i), pivot) < 0) {
        }
        while (bsibbCompare(pivot, at(--j)) < 0) {
        }
        if (i >= j) break;
        swap(i, j);
      }
      swap(i, high - 1);
      TqdRange larger{low, i - 1};
      TqdRange smaller{i + 1, high};
      if (larger.rHigh - larger.rLow < smaller.rHigh - smaller.rLow) std::swap(larger, smaller);
      if (depth == kSortStackSize) qdAssertFailed(kUnit, "bulk build: sort stack overflow");
      stack[depth++] = larger;
      low = smaller.rLow;
      high = smaller.rHigh;
      continue;
    }
    for (int32_t k = low + 1; k <= high; ++k)
      for (int32_t m = k; m > low && bsibbCompare(at(m - 1), at(m)) > 0; --m) swap(m - 1, m);
    if (depth == 0) break;
    --depth;
    low = stack[depth].rLow;
    high = stack[depth].rHigh;
  }
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbTakeHeadChain(TqdRun& aRun) {
  aRun.clear();
  aRun.reserve(size_t(bsibbDefaultHead.bsibbhContainerCount));
  for (TqdKeyContainer* container = bsibbDefaultHead.bsibbhCurrentContainer; container != nullptr;
       container = container->kcNext)
    aRun.push_back(container);
  std::reverse(aRun.begin(), aRun.end());
  for (TqdKeyContainer* container : aRun) container->kcNext = nullptr;
  bsibbDefaultHead = {};
}

uint64_t TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbRunKeyCount(const TqdRun& aRun) {
  uint64_t count = 0;
  for (const TqdKeyContainer* container : aRun) count += uint64_t(container->KeyCount());
  return count;
}

bool TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbRunBefore(const TqdRun& aRun1, const TqdRun& aRun2) {
  const uint64_t count1 = bsibbRunKeyCount(aRun1);
  const uint64_t count2 = bsibbRunKeyCount(aRun2);
  if (count1 != count2) return count1 > count2;
  return bsibbCompare(aRun1.front()->kcFirstKey.data(), aRun2.front()->kcFirstKey.data()) < 0;
}

TqdResult TqdStaticKeyBstarTreeIndexBulkBuilder::Finalize(TqdBaseTransaction* aTrans) {
  if (bsibbTotalKeyCount == 0) return 0;
  try {
    bsibbSealContainer(bsibbDefaultHead);
    TqdRun containers;
    bsibbTakeHeadChain(containers);
    std::sort(containers.begin(), containers.end(), [this](TqdKeyContainer* aLeft, TqdKeyContainer* aRight) {
      return bsibbCompare(aLeft->kcFirstKey.data(), aRight->kcFirstKey.data()) < 0;
    });

    // Runs: take the first container left, then every later one whose first
    // entry is not below the last entry of the run so far.
    std::vector<TqdRun> runs;
    while (!containers.empty()) {
      TqdRun run{containers.front()};
      TqdRun rest;
      for (size_t k = 1; k < containers.size(); ++k) {
        if (bsibbCompare(containers[k]->kcFirstKey.data(), run.back()->kcLastKey.data()) >= 0)
          run.push_back(containers[k]);
        else
          rest.push_back(containers[k]);
      }
      runs.push_back(std::move(run));
      containers = std::move(rest);
    }
    // Longest first; the two shortest are merged until two are left.
    auto before = [this](const TqdRun& aRun1, const TqdRun& aRun2) { return bsibbRunBefore(aRun1, aRun2); };
    std::stable_sort(runs.begin(), runs.end(), before);
    while (runs.size() > 2) {
      TqdRun second = std::move(runs.back());
      runs.pop_back();
      TqdRun first = std::move(runs.back());
      runs.pop_back();
      TqdRun merged;
      bsibbMerge(first, second, &merged);
      runs.insert(std::upper_bound(runs.begin(), runs.end(), merged, before), std::move(merged));
    }

    // The last merge writes the tree.
    bsibbTreeBuilder = new TqdTreeBuilder(this, aTrans);
    TqdRun none;
    bsibbMerge(runs[0], runs.size() == 2 ? runs[1] : none, nullptr);
    bsibbTreeBuilder->Finalize();
    delete bsibbTreeBuilder;
    bsibbTreeBuilder = nullptr;
  } catch (...) {
    bsibbFreeAll();
    throw;
  }
  return 0;
}

void TqdStaticKeyBstarTreeIndexBulkBuilder::bsibbMerge(TqdRun& aRun1, TqdRun& aRun2, TqdRun* aMerged) {
  // Reads one run container by container; a container whose last entry
  // was taken is freed at once and the next one locked.
  struct TqdRunReader {
    TqdRun* rrRun;
    size_t rrIndex = 0;
    const uint8_t* rrEntry = nullptr;
    int32_t rrLeft = 0;
  };
  const size_t entry = size_t(bsibbKeyLength);
  auto open = [](TqdRunReader& aReader) {
    aReader.rrEntry = nullptr;
    while (aReader.rrIndex < aReader.rrRun->size()) {
      TqdKeyContainer* container = (*aReader.rrRun)[aReader.rrIndex];
      container->Lock();
      if (container->KeyCount() > 0) {
        aReader.rrEntry = container->kcScratchPointer;
        aReader.rrLeft = container->KeyCount();
        return;
      }
      delete container;
      (*aReader.rrRun)[aReader.rrIndex++] = nullptr;
    }
  };
  auto advance = [&](TqdRunReader& aReader) {
    aReader.rrEntry += entry;
    if (--aReader.rrLeft > 0) return;
    delete (*aReader.rrRun)[aReader.rrIndex];
    (*aReader.rrRun)[aReader.rrIndex++] = nullptr;
    open(aReader);
  };
  uint32_t taken = 0;
  auto take = [&](TqdRunReader& aReader) {
    if ((++taken & kTimeoutCheckMask) == 0) qdCheckTimeout();
    if (aMerged == nullptr) {
      bsibbTreeBuilder->InsertKey(aReader.rrEntry);
    } else {
      TqdKeyContainer* container = bsibbDefaultHead.bsibbhCurrentContainer;
      if (container == nullptr || container->Sealed() || container->KeyCount() >= bsibbKeysPerContainer) {
        bsibbSealContainer(bsibbDefaultHead);
        container = new TqdPreSortedKeyContainer(this, &bsibbDefaultHead);
      }
      container->InsertMergedKey(aReader.rrEntry);
    }
    advance(aReader);
  };

  TqdRunReader reader1{&aRun1};
  TqdRunReader reader2{&aRun2};
  open(reader1);
  open(reader2);
  while (reader1.rrEntry != nullptr && reader2.rrEntry != nullptr)
    take(bsibbCompare(reader1.rrEntry, reader2.rrEntry) > 0 ? reader2 : reader1);
  while (reader1.rrEntry != nullptr) take(reader1);
  while (reader2.rrEntry != nullptr) take(reader2);
  if (aMerged != nullptr) {
    bsibbSealContainer(bsibbDefaultHead);
    bsibbTakeHeadChain(*aMerged);
  }
}

}  // namespace qd
