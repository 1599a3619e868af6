// Deleting from a keyless B*-tree: one entry with separator upkeep (a
// separator names a record, so one whose record leaves the index is
// replaced), refilling from a sibling, merging and root collapse
// (DeleteKey), and freeing a whole tree (DeleteAllKeys).
//
// Every node a deletion changes is fetched for writing once (its change
// counter goes up once) and held until the deletion ends; nodes it only
// reads stay in the engine's release list. Parents are found by descending
// with (key, reference) of an entry of the node's subtree; every descent is
// bounded by kMaxIndexTreeDepth and every node checked before its fields
// drive an offset, so a damaged tree raises 8962.
#include <cstring>
#include <memory>
#include <vector>

#include "dictionary/qdsdKeyEngineBase.h"
#include "indexes/qdseIndexEngineKeylessBstarTree.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseIndexEngineKeylessBstarTree";

}  // namespace

class TqdKeylessBstarTreeIndexEngine::TqdDeletion {
 public:
  TqdDeletion(TqdKeylessBstarTreeIndexEngine& aEngine, TqdBaseIndexHeaderAccess& aAccess,
              TqdKeylessBstarTreeIndexPath* aWork)
      : dEngine(aEngine), dAccess(aAccess), dWork(aWork), dRoot(aAccess.GetIndexRoot()) {}
  ~TqdDeletion() {
    dWritten.clear();
    dEngine.ieReleaseList.Release();
  }
  TqdDeletion(const TqdDeletion&) = delete;
  TqdDeletion& operator=(const TqdDeletion&) = delete;

  // The leaf and slot of the entry (aKey, aRefNr); False when the index
  // does not hold it (in a unique index an equal key of another record is
  // not it).
  bool Locate(const uint8_t* aKey, TqdRefNr aRefNr, TqdBlockNumber& aLeaf, int32_t& aSlot);
  const uint8_t* Leaf(TqdBlockNumber aLeaf) { return Read(aLeaf); }
  void RemoveEntry(TqdBlockNumber aNode, int32_t aSlot, TqdKeylessBstarTreeIndexPath* aPath, int32_t aLevel);
  void StampPath(TqdKeylessBstarTreeIndexPath* aPath);
  void FreeTree(TqdBlockNumber aNode, int32_t aDepth);
  bool Changed() const { return dChanged; }

 private:
  struct THeld {
    TqdBlockNumber hBlock;
    TqdBlockRef hRef;
  };
  struct TStep {
    TqdBlockNumber sBlock;
    int32_t sSlot;
  };

  const uint8_t* Read(TqdBlockNumber aBlock);
  uint8_t* Write(TqdBlockNumber aBlock);
  void Free(TqdBlockNumber aBlock);
  bool IsLeaf(const uint8_t* aNode) const { return qdIndexNodeKind(aNode) == kIndexNodeLeaf; }
  // The reference of a node's last entry (leaf) or last separator.
  TqdRefNr LastRefNr(const uint8_t* aNode) const;
  // The internal nodes from the root down to aNode's parent and the child
  // taken in each, found by descending with the entry aRefNr of aNode's
  // subtree; 8962 when the descent misses aNode.
  std::vector<TStep> PathTo(TqdBlockNumber aNode, TqdRefNr aRefNr);
  void KeepSeparators(TqdBlockNumber aLeaf, TqdRefNr aRemoved);
  void Rebalance(TqdBlockNumber aNode, TqdKeylessBstarTreeIndexPath* aPath, int32_t aLevel);
  void RefillLeaf(uint8_t* aNode, TqdBlockNumber aBlock, uint8_t* aSibling, bool aFromLeft, uint8_t* aParent,
                  int32_t aSlot, TqdKeylessBstarTreeIndexPath* aPath);
  void CollapseRoot(TqdBlockNumber aRoot, TqdKeylessBstarTreeIndexPath* aPath);
  void MoveWindow(uint8_t* aNode, TqdBlockNumber aBlock, int32_t aFirst, TqdKeylessBstarTreeIndexPath* aPath);

  TqdKeylessBstarTreeIndexEngine& dEngine;
  TqdBaseIndexHeaderAccess& dAccess;
  // The path whose cache scope key access uses (nil for DeleteAllKeys).
  TqdKeylessBstarTreeIndexPath* dWork;
  TqdBlockNumber dRoot;
  bool dChanged = false;
  std::vector<THeld> dWritten;
};

const uint8_t* TqdKeylessBstarTreeIndexEngine::TqdDeletion::Read(TqdBlockNumber aBlock) {
  for (const THeld& held : dWritten)
    if (held.hBlock == aBlock) return held.hRef.Data();
  return dEngine.ReadNodeKept(dAccess, aBlock);
}

uint8_t* TqdKeylessBstarTreeIndexEngine::TqdDeletion::Write(TqdBlockNumber aBlock) {
  for (const THeld& held : dWritten)
    if (held.hBlock == aBlock) return held.hRef.WritableData();
  TqdBlockRef ref = dEngine.ReadNode(dAccess, aBlock, true);
  dChanged = true;
  uint8_t* node = ref.WritableData();
  dWritten.push_back({aBlock, std::move(ref)});
  return node;
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::Free(TqdBlockNumber aBlock) {
  for (auto it = dWritten.begin(); it != dWritten.end(); ++it)
    if (it->hBlock == aBlock) {
      TqdBlockRef ref = std::move(it->hRef);
      dWritten.erase(it);
      dAccess.FileHeader()->DeleteBlock(dAccess.Transaction(), ref);
      return;
    }
  qdAssertFailed(kUnit, "a node is freed after it was fetched for writing");
}

TqdRefNr TqdKeylessBstarTreeIndexEngine::TqdDeletion::LastRefNr(const uint8_t* aNode) const {
  const int32_t count = qdIndexNodeCount(aNode);
  if (IsLeaf(aNode)) return dEngine.LeafRefNr(aNode, qdIndexNodeFirst(aNode) + count - 1);
  return dEngine.NodeRefNr(aNode, count - 1);
}

bool TqdKeylessBstarTreeIndexEngine::TqdDeletion::Locate(const uint8_t* aKey, TqdRefNr aRefNr, TqdBlockNumber& aLeaf,
                                                         int32_t& aSlot) {
  // Entries are in (key, reference) order in every index (a unique one has
  // no equal keys), so the exact search finds the entry itself.
  TqdKeylessSearch search;
  search.ksKey = aKey;
  search.ksRefNr = aRefNr;
  search.ksMode = ksmRefKey;
  TqdBlockNumber block = dRoot;
  const uint8_t* node = Read(block);
  for (int32_t level = 1; !IsLeaf(node); ++level) {
    if (level >= kMaxIndexTreeDepth) dEngine.RaiseTooDeep(block);
    int32_t child = 0;
    (void)dEngine.SearchNode(*dWork, node, search, child);  // an equal separator leads left all the same
    block = dEngine.TreePointer(node, child);
    node = Read(block);
  }
  int32_t slot = 0;
  if (!dEngine.SearchNode(*dWork, node, search, slot)) return false;
  aLeaf = block;
  aSlot = slot;
  return true;
}

std::vector<TqdKeylessBstarTreeIndexEngine::TqdDeletion::TStep> TqdKeylessBstarTreeIndexEngine::TqdDeletion::PathTo(
    TqdBlockNumber aNode, TqdRefNr aRefNr) {
  TqdKeylessSearch search;
  search.ksKey = dEngine.GetRefKey(*dWork, false, aRefNr);
  search.ksRefNr = aRefNr;
  search.ksMode = ksmRefKey;
  std::vector<TStep> steps;
  TqdBlockNumber block = dRoot;
  for (int32_t level = 0;; ++level) {
    if (level >= kMaxIndexTreeDepth) dEngine.RaiseTooDeep(block);
    const uint8_t* node = Read(block);
    // No parent points to the node: the tree is damaged.
    if (IsLeaf(node)) dEngine.RaiseCorruptNode(aNode);
    int32_t child = 0;
    (void)dEngine.SearchNode(*dWork, node, search, child);
    steps.push_back({block, child});
    block = dEngine.TreePointer(node, child);
    if (block == aNode) return steps;
  }
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::RemoveEntry(TqdBlockNumber aNode, int32_t aSlot,
                                                              TqdKeylessBstarTreeIndexPath* aPath, int32_t aLevel) {
  if (aLevel >= kMaxIndexTreeDepth) dEngine.RaiseTooDeep(aNode);
  uint8_t* node = Write(aNode);
  const bool leaf = IsLeaf(node);
  const int32_t first = qdIndexNodeFirst(node);
  const int32_t count = qdIndexNodeCount(node);
  if (aSlot < first || aSlot >= first + count) dEngine.RaiseCorruptNode(aNode);
  const bool wasLast = aSlot == first + count - 1;
  const TqdRefNr removed = leaf ? dEngine.LeafRefNr(node, aSlot) : 0;

  if (leaf) {
    if (aPath != nullptr) aPath->bpipItem = aSlot;
    if (!wasLast) {
      if (aSlot < first + count / 2) {
        // Front half: the entries before it move one slot to the right.
        dEngine.MoveLeafEntries(node, first, first + 1, aSlot - first);
        qdSetIndexNodeFirst(node, uint16_t(first + 1));
        if (aPath != nullptr) aPath->bpipItem = aSlot + 1;
      } else {
        dEngine.MoveLeafEntries(node, aSlot + 1, aSlot, first + count - 1 - aSlot);
      }
    }
  } else {
    // Separator aSlot and pointer aSlot + 1 are one 12-byte pair; the pairs
    // after it move down over it.
    uint8_t* at = node + dEngine.ieInternalNodeKeyRefOffset[size_t(aSlot)];
    std::memmove(at, at + 12, size_t(count - 1 - aSlot) * 12);
  }
  const int32_t left = count - 1;
  qdSetIndexNodeCount(node, uint16_t(left));
  // Below the root a node keeps half its entries.
  if (left == 0 && aNode != dRoot) dEngine.RaiseCorruptNode(aNode);

  if (leaf && wasLast && aNode != dRoot) KeepSeparators(aNode, removed);

  if (aPath != nullptr && left > 0) {
    aPath->bpipPage = aNode;
    if (aPath->bpipItem == qdIndexNodeFirst(node) + left) {
      aPath->bpipItem--;
      aPath->Position = ippOnCrackAfter;
    } else {
      aPath->Position = ippOnCrackBefore;
    }
    aPath->Deleted = true;
  }

  if (aNode == dRoot) {
    if (left == 0) CollapseRoot(aNode, aPath);
    return;
  }
  if (left < (dEngine.NodeCapacity(qdIndexNodeKind(node)) + 1) / 2) Rebalance(aNode, aPath, aLevel);
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::KeepSeparators(TqdBlockNumber aLeaf, TqdRefNr aRemoved) {
  const std::vector<TStep> steps = PathTo(aLeaf, aRemoved);
  const TqdRefNr newLast = LastRefNr(Read(aLeaf));
  // The parent bounds the leaf on the right unless the leaf is its last
  // child; then the nearest ancestor whose branch is not its last child
  // holds the bound, replaced when it names the removed record.
  for (size_t level = steps.size(); level-- > 0;) {
    const TStep& step = steps[level];
    const uint8_t* node = Read(step.sBlock);
    if (step.sSlot < int32_t(qdIndexNodeCount(node))) {
      if (level + 1 == steps.size() || dEngine.NodeRefNr(node, step.sSlot) == aRemoved)
        dEngine.SetNodeRefNr(Write(step.sBlock), step.sSlot, newLast);
      return;
    }
  }
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::MoveWindow(uint8_t* aNode, TqdBlockNumber aBlock, int32_t aFirst,
                                                             TqdKeylessBstarTreeIndexPath* aPath) {
  const int32_t first = qdIndexNodeFirst(aNode);
  dEngine.MoveLeafEntries(aNode, first, aFirst, qdIndexNodeCount(aNode));
  qdSetIndexNodeFirst(aNode, uint16_t(aFirst));
  if (aPath != nullptr && aPath->bpipPage == aBlock) aPath->bpipItem += aFirst - first;
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::RefillLeaf(uint8_t* aNode, TqdBlockNumber aBlock, uint8_t* aSibling,
                                                             bool aFromLeft, uint8_t* aParent, int32_t aSlot,
                                                             TqdKeylessBstarTreeIndexPath* aPath) {
  const int32_t capacity = dEngine.ieMaxLeafNodeKeyCount;
  const int32_t count = qdIndexNodeCount(aNode);
  const int32_t siblingFirst = qdIndexNodeFirst(aSibling);
  const int32_t siblingCount = qdIndexNodeCount(aSibling);
  // Half the difference comes over in one step.
  const int32_t d = (siblingCount + count) / 2 - count;
  if (aFromLeft) {
    if (qdIndexNodeFirst(aNode) < d) MoveWindow(aNode, aBlock, d, aPath);
    const int32_t first = qdIndexNodeFirst(aNode) - d;
    dEngine.CopyLeafEntries(aSibling, siblingFirst + siblingCount - d, aNode, first, d);
    qdSetIndexNodeFirst(aNode, uint16_t(first));
    qdSetIndexNodeCount(aNode, uint16_t(count + d));
    qdSetIndexNodeCount(aSibling, uint16_t(siblingCount - d));
    dEngine.SetNodeRefNr(aParent, aSlot - 1, LastRefNr(aSibling));
  } else {
    if (capacity - (qdIndexNodeFirst(aNode) + count) < d) MoveWindow(aNode, aBlock, (capacity - count - d) / 2, aPath);
    dEngine.CopyLeafEntries(aSibling, siblingFirst, aNode, qdIndexNodeFirst(aNode) + count, d);
    qdSetIndexNodeCount(aNode, uint16_t(count + d));
    dEngine.SetNodeRefNr(aParent, aSlot, LastRefNr(aNode));
    qdSetIndexNodeFirst(aSibling, uint16_t(siblingFirst + d));
    qdSetIndexNodeCount(aSibling, uint16_t(siblingCount - d));
  }
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::Rebalance(TqdBlockNumber aNode, TqdKeylessBstarTreeIndexPath* aPath,
                                                            int32_t aLevel) {
  uint8_t* node = Write(aNode);
  const bool leaf = IsLeaf(node);
  if (!leaf && aPath != nullptr) qdAssertFailed(kUnit, "a path stands in a leaf");
  const TStep step = PathTo(aNode, LastRefNr(node)).back();
  uint8_t* parent = Write(step.sBlock);
  int32_t k = step.sSlot;
  const bool fromLeft = k > 0;
  if (!fromLeft && qdIndexNodeCount(parent) == 0) dEngine.RaiseCorruptNode(step.sBlock);  // no sibling
  const TqdBlockNumber siblingBlock = dEngine.TreePointer(parent, fromLeft ? k - 1 : k + 1);
  if (siblingBlock == aNode || siblingBlock == step.sBlock) dEngine.RaiseCorruptNode(step.sBlock);
  uint8_t* sibling = Write(siblingBlock);
  if (qdIndexNodeKind(sibling) != qdIndexNodeKind(node)) dEngine.RaiseCorruptNode(siblingBlock);
  const int32_t capacity = dEngine.NodeCapacity(qdIndexNodeKind(node));
  const int32_t half = (capacity + 1) / 2;
  const int32_t siblingCount = qdIndexNodeCount(sibling);

  if (leaf && siblingCount > half) {
    RefillLeaf(node, aNode, sibling, fromLeft, parent, k, aPath);
    return;
  }
  if (!leaf && siblingCount > half) {
    // Rotate one entry through the parent.
    const int32_t count = qdIndexNodeCount(node);
    if (fromLeft) {
      std::memmove(node + kIndexBlockHeaderSize + 12, node + kIndexBlockHeaderSize, size_t(count) * 12 + 4);
      dEngine.SetTreePointer(node, 0, dEngine.TreePointer(sibling, siblingCount));
      dEngine.SetNodeRefNr(node, 0, dEngine.NodeRefNr(parent, k - 1));
      dEngine.SetNodeRefNr(parent, k - 1, dEngine.NodeRefNr(sibling, siblingCount - 1));
    } else {
      dEngine.SetTreePointer(node, count + 1, dEngine.TreePointer(sibling, 0));
      dEngine.SetNodeRefNr(node, count, dEngine.NodeRefNr(parent, k));
      dEngine.SetNodeRefNr(parent, k, dEngine.NodeRefNr(sibling, 0));
      std::memmove(sibling + kIndexBlockHeaderSize, sibling + kIndexBlockHeaderSize + 12,
                   size_t(siblingCount - 1) * 12 + 4);
    }
    qdSetIndexNodeCount(node, uint16_t(count + 1));
    qdSetIndexNodeCount(sibling, uint16_t(siblingCount - 1));
    return;
  }

  // Merge the pair into its left node; the right one is freed.
  TqdBlockNumber destinationBlock = siblingBlock;
  TqdBlockNumber sourceBlock = aNode;
  uint8_t* destination = sibling;
  uint8_t* source = node;
  if (!fromLeft) {
    std::swap(destinationBlock, sourceBlock);
    std::swap(destination, source);
    ++k;
  }
  const int32_t destinationCount = qdIndexNodeCount(destination);
  const int32_t sourceCount = qdIndexNodeCount(source);
  if (leaf) {
    if (destinationCount + sourceCount > capacity) return;
    if (capacity - (qdIndexNodeFirst(destination) + destinationCount) < sourceCount)
      MoveWindow(destination, destinationBlock, (capacity - sourceCount - destinationCount) / 2, aPath);
    const int32_t end = qdIndexNodeFirst(destination) + destinationCount;
    if (aPath != nullptr && aPath->bpipPage == sourceBlock) {
      aPath->bpipPage = destinationBlock;
      aPath->bpipItem = end + (aPath->bpipItem - qdIndexNodeFirst(source));
    }
    dEngine.CopyLeafEntries(source, qdIndexNodeFirst(source), destination, end, sourceCount);
    qdSetIndexNodeCount(destination, uint16_t(destinationCount + sourceCount));
    const TqdBlockNumber next = qdIndexNodeNext(source);
    qdSetIndexNodeNext(destination, next);
    if (next != kNoBlock) qdSetIndexNodePrev(Write(next), destinationBlock);
  } else {
    // The parent's separator comes down between the two; when that would
    // overflow the node, the underflowing node stays one entry short.
    if (destinationCount + sourceCount + 1 > capacity) return;
    dEngine.SetNodeRefNr(destination, destinationCount, dEngine.NodeRefNr(parent, k - 1));
    std::memcpy(destination + kIndexBlockHeaderSize + size_t(destinationCount + 1) * 12, source + kIndexBlockHeaderSize,
                size_t(sourceCount) * 12 + 4);
    qdSetIndexNodeCount(destination, uint16_t(destinationCount + sourceCount + 1));
  }
  RemoveEntry(step.sBlock, k - 1, nullptr, aLevel + 1);
  Free(sourceBlock);
  dAccess.SetIndexPageCount(dAccess.GetIndexPageCount() - 1);
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::CollapseRoot(TqdBlockNumber aRoot,
                                                               TqdKeylessBstarTreeIndexPath* aPath) {
  const uint8_t* root = Write(aRoot);
  const uint32_t pages = dAccess.GetIndexPageCount();
  if (IsLeaf(root)) {
    if (pages != 1) dEngine.RaiseCorruptNode(aRoot);  // an empty root leaf is the only page
    Free(aRoot);
    dRoot = qdIndexRootNone;
    dAccess.SetIndexRoot(qdIndexRootNone);
    dAccess.SetIndexPageCount(0);
    if (aPath != nullptr) aPath->SetToBof();
    return;
  }
  const TqdBlockNumber child = dEngine.TreePointer(root, 0);
  if (child == aRoot) dEngine.RaiseCorruptNode(aRoot);
  Free(aRoot);
  dRoot = child;
  dAccess.SetIndexRoot(child);
  dAccess.SetIndexPageCount(pages - 1);
  uint8_t* newRoot = Write(child);
  qdSetIndexNodePrev(newRoot, kNoBlock);
  qdSetIndexNodeNext(newRoot, kNoBlock);
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::StampPath(TqdKeylessBstarTreeIndexPath* aPath) {
  if (aPath == nullptr || !aPath->IsOnCrack()) return;
  const uint8_t* leaf = Read(aPath->bpipPage);
  aPath->bpipIdentCounter = int64_t(qdIndexNodeCounter(leaf));
  aPath->bpipLSN = qdBlockLSN(leaf);
}

void TqdKeylessBstarTreeIndexEngine::TqdDeletion::FreeTree(TqdBlockNumber aNode, int32_t aDepth) {
  if (aDepth >= kMaxIndexTreeDepth) dEngine.RaiseTooDeep(aNode);
  qdCheckTimeout();
  const uint8_t* node = Write(aNode);
  if (!IsLeaf(node)) {
    const int32_t count = qdIndexNodeCount(node);
    for (int32_t i = 0; i <= count; ++i) FreeTree(dEngine.TreePointer(node, i), aDepth + 1);
  }
  Free(aNode);
}

// --- The operations ------------------------------------------------------------

bool TqdKeylessBstarTreeIndexEngine::DeleteKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr,
                                               TqdRefNr /*aCacheRefNr*/, TqdBaseIndexPath* aPath) {
  TqdKeylessBstarTreeIndexPath* path = OwnPath(aPath);
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, true, true, 0, 0));
  if (access->GetIndexRoot() == qdIndexRootNone) return false;
  std::unique_ptr<TqdKeylessBstarTreeIndexPath> temporary;
  TqdKeylessBstarTreeIndexPath* work = path;
  if (work == nullptr) {
    temporary = std::make_unique<TqdKeylessBstarTreeIndexPath>(this);
    work = temporary.get();
  }
  TqdKeylessCacheScope scope(*work, aTrans);
  TqdDeletion deletion(*this, *access, work);
  try {
    TqdBlockNumber leaf = 0;
    int32_t slot = 0;
    bool found = false;
    if (path != nullptr && path->IsOnKey() && path->RefNr == aRefNr && path->KeyValid &&
        bieKeyEngine->CompareKey(path->Key, aKey, 0, 0) == 0) {
      // The caller's path stands on the entry: no search from the root
      // unless its leaf changed since.
      DoValidateIndexPath(*access, *path);
      found = path->IsOnKey() && path->RefNr == aRefNr;
      leaf = path->bpipPage;
      slot = path->bpipItem;
    }
    if (!found) {
      found = deletion.Locate(aKey, aRefNr, leaf, slot);
      if (!found) return false;
      if (path != nullptr) {
        path->Clear();
        SetPathOnEntry(*path, leaf, deletion.Leaf(leaf), slot, ippOnKey, aKey);
      }
    }
    deletion.RemoveEntry(leaf, slot, path, 0);
    deletion.StampPath(path);
    const uint32_t keys = access->GetIndexKeyCount();
    access->SetIndexKeyCount(keys > 0 ? keys - 1 : 0);
  } catch (...) {
    // Nodes changed before the failure leave the tree half done: only a
    // rollback may follow.
    if (deletion.Changed() && aTrans != nullptr) aTrans->MarkCorrupted();
    throw;
  }
  return true;
}

void TqdKeylessBstarTreeIndexEngine::DeleteAllKeys(TqdBaseTransaction* aTrans) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, true, true, 0, 0));
  const TqdBlockNumber root = access->GetIndexRoot();
  access->SetIndexRoot(qdIndexRootNone);
  access->SetIndexPageCount(0);
  access->SetIndexKeyCount(0);
  if (root == qdIndexRootNone) return;
  TqdDeletion deletion(*this, *access, nullptr);
  try {
    deletion.FreeTree(root, 0);
  } catch (...) {
    if (aTrans != nullptr) aTrans->MarkCorrupted();
    throw;
  }
}

}  // namespace qd
