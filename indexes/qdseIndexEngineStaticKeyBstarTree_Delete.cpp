// Deleting from a static-key B*-tree: one entry with separator upkeep,
// refilling from a sibling, merging and root collapse (DeleteKey), and
// freeing a whole tree (DeleteAllKeys).
//
// Every node a deletion changes is fetched for writing once (so its change
// counter goes up once) and held until the deletion ends; nodes it only
// reads on the way down are held read-only alongside. Every walk down from
// the root is bounded by kMaxIndexTreeDepth, and every node is checked
// (kind, first + count within its capacity) before its fields drive an
// offset, so a damaged tree raises 8962 instead of looping or reading out
// of bounds.
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

#include <cstring>
#include <memory>
#include <vector>

#include "dictionary/qdsdKeyEngineBase.h"
#include "indexes/qdseIndexBase.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseIndexEngineStaticKeyBstarTree";

}  // namespace

// One DeleteKey or DeleteAllKeys. A node the deletion changes is fetched
// for writing once, so that its change counter goes up once and a node
// being freed can be handed to the file header by its handle; nodes it
// only reads on the way down stay in the engine's release list. Both are
// released when the deletion ends, also when it fails.
class TqdStaticKeyBstarTreeIndexEngine::TqdDeletion {
 public:
  TqdDeletion(TqdStaticKeyBstarTreeIndexEngine& aEngine, TqdBaseIndexHeaderAccess& aAccess)
      : dEngine(aEngine), dAccess(aAccess), dRoot(aAccess.GetIndexRoot()) {}
  ~TqdDeletion() {
    dWritten.clear();
    dEngine.ieReleaseList.Release();
  }
  TqdDeletion(const TqdDeletion&) = delete;
  TqdDeletion& operator=(const TqdDeletion&) = delete;

  // The leaf and slot of the entry (aKey, aRefNr); False when the index
  // does not hold it.
  bool Locate(const uint8_t* aKey, TqdRefNr aRefNr, TqdBlockNumber& aLeaf, int32_t& aSlot);
  // Leaf aLeaf as the deletion sees it.
  const uint8_t* Leaf(TqdBlockNumber aLeaf) { return Read(aLeaf); }

  // Removes entry aSlot of aNode (in an internal node key aSlot and
  // pointer aSlot + 1), keeps the separators of a leaf's last entry,
  // refills or merges a node that fell below half its capacity and
  // collapses an empty root. aPath, given only with a leaf, ends on the
  // crack where the entry was (at BOF when the index became empty).
  void RemoveEntry(TqdBlockNumber aNode, int32_t aSlot, TqdStaticKeyBstarTreeIndexPath* aPath, int32_t aLevel);
  // The change counter and LSN of the leaf a path on a crack stands in.
  void StampPath(TqdStaticKeyBstarTreeIndexPath* aPath);

  // Frees aNode and everything under it, children first.
  void FreeTree(TqdBlockNumber aNode, int32_t aDepth);

  // A node was fetched for writing or freed.
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
  // Frees a node fetched for writing; the page count is the caller's.
  void Free(TqdBlockNumber aBlock);

  bool IsLeaf(const uint8_t* aNode) const { return qdIndexNodeKind(aNode) == kIndexNodeLeaf; }
  // A node's last entry as a separator holds it (key, and reference when
  // separators carry one).
  const uint8_t* LastEntry(const uint8_t* aNode) const;
  void SetSeparator(uint8_t* aNode, int32_t aIndex, const uint8_t* aEntry) const {
    std::memmove(dEngine.NodeKey(aNode, aIndex), aEntry, size_t(dEngine.ieNodeKeyLength));
  }
  // The search for an entry held as a separator holds it.
  TqdNodeSearch EntrySearch(const uint8_t* aEntry) const;
  // The internal nodes from the root down to aNode's parent and the
  // pointer slot taken in each, found by descending with aEntry, an entry
  // of aNode's subtree; 8962 when the descent misses aNode.
  std::vector<TStep> PathTo(TqdBlockNumber aNode, const uint8_t* aEntry);

  void KeepSeparators(TqdBlockNumber aLeaf, const uint8_t* aRemoved);
  void Rebalance(TqdBlockNumber aNode, TqdStaticKeyBstarTreeIndexPath* aPath, int32_t aLevel);
  void RefillLeaf(uint8_t* aNode, TqdBlockNumber aBlock, uint8_t* aSibling, bool aFromLeft, uint8_t* aParent,
                  int32_t aSlot, TqdStaticKeyBstarTreeIndexPath* aPath);
  void CollapseRoot(TqdBlockNumber aRoot, TqdStaticKeyBstarTreeIndexPath* aPath);
  // Moves the window of leaf aNode to start at aFirst, a path in it along.
  void MoveWindow(uint8_t* aNode, TqdBlockNumber aBlock, int32_t aFirst, TqdStaticKeyBstarTreeIndexPath* aPath);

  TqdStaticKeyBstarTreeIndexEngine& dEngine;
  TqdBaseIndexHeaderAccess& dAccess;
  TqdBlockNumber dRoot;
  bool dChanged = false;
  std::vector<THeld> dWritten;
};

const uint8_t* TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::Read(TqdBlockNumber aBlock) {
  for (const THeld& held : dWritten)
    if (held.hBlock == aBlock) return held.hRef.Data();
  return dEngine.ReadNodeKept(dAccess, aBlock);
}

uint8_t* TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::Write(TqdBlockNumber aBlock) {
  for (const THeld& held : dWritten)
    if (held.hBlock == aBlock) return held.hRef.WritableData();
  TqdBlockRef ref = dEngine.ReadNode(dAccess, aBlock, true);
  dChanged = true;
  uint8_t* node = ref.WritableData();
  dWritten.push_back({aBlock, std::move(ref)});
  return node;
}

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::Free(TqdBlockNumber aBlock) {
  for (auto it = dWritten.begin(); it != dWritten.end(); ++it)
    if (it->hBlock == aBlock) {
      TqdBlockRef ref = std::move(it->hRef);
      dWritten.erase(it);
      dAccess.FileHeader()->DeleteBlock(dAccess.Transaction(), ref);
      return;
    }
  qdAssertFailed(kUnit, "a node is freed after it was fetched for writing");
}

const uint8_t* TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::LastEntry(const uint8_t* aNode) const {
  const int32_t count = qdIndexNodeCount(aNode);
  if (IsLeaf(aNode)) return dEngine.LeafKey(aNode, qdIndexNodeFirst(aNode) + count - 1);
  return dEngine.NodeKey(aNode, count - 1);
}

TqdStaticKeyBstarTreeIndexEngine::TqdNodeSearch TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::EntrySearch(
    const uint8_t* aEntry) const {
  TqdNodeSearch search;
  search.nsKey = aEntry;
  if (dEngine.ieAddKeyRefsToKeys) {
    search.nsMode = nsmKeyAndRef;
    search.nsRefNr = qdGetI64(aEntry + dEngine.ieDescKeyLength);
  } else {
    search.nsMode = nsmKeyOnly;
  }
  return search;
}

bool TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::Locate(const uint8_t* aKey, TqdRefNr aRefNr, TqdBlockNumber& aLeaf,
                                                           int32_t& aSlot) {
  TqdNodeSearch search;
  search.nsKey = aKey;
  search.nsRefNr = aRefNr;
  search.nsMode = dEngine.ieAddKeyRefsToKeys ? nsmKeyAndRef : nsmKeyOnly;
  TqdBlockNumber block = dRoot;
  const uint8_t* node = Read(block);
  for (int32_t level = 1; !IsLeaf(node); ++level) {
    if (level >= kMaxIndexTreeDepth) dEngine.RaiseTooDeep(block);
    int32_t slot = 0;
    (void)dEngine.SearchInternal(node, search, slot);  // an equal separator leads left all the same
    block = dEngine.TreePointer(node, slot);
    node = Read(block);
  }
  int32_t slot = 0;
  if (!dEngine.SearchLeaf(node, search, slot)) return false;
  // A unique index orders by key alone: the entry found must also be the
  // record's.
  if (!dEngine.ieAddKeyRefsToKeys && !dEngine.bieKeysAreRefs && dEngine.LeafRefNr(node, slot) != aRefNr) return false;
  aLeaf = block;
  aSlot = slot;
  return true;
}

std::vector<TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::TStep> TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::PathTo(
    TqdBlockNumber aNode, const uint8_t* aEntry) {
  const TqdNodeSearch search = EntrySearch(aEntry);
  std::vector<TStep> steps;
  TqdBlockNumber block = dRoot;
  for (int32_t level = 0;; ++level) {
    if (level >= kMaxIndexTreeDepth) dEngine.RaiseTooDeep(block);
    const uint8_t* node = Read(block);
    if (IsLeaf(node)) dEngine.RaiseCorruptNode(aNode);  // no parent points to it
    int32_t slot = 0;
    (void)dEngine.SearchInternal(node, search, slot);  // an equal separator leads left all the same
    steps.push_back({block, slot});
    block = dEngine.TreePointer(node, slot);
    if (block == aNode) return steps;
  }
}

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::RemoveEntry(TqdBlockNumber aNode, int32_t aSlot,
                                                                TqdStaticKeyBstarTreeIndexPath* aPath, int32_t aLevel) {
  if (aLevel >= kMaxIndexTreeDepth) dEngine.RaiseTooDeep(aNode);
  uint8_t* node = Write(aNode);
  const bool leaf = IsLeaf(node);
  const int32_t first = qdIndexNodeFirst(node);
  const int32_t count = qdIndexNodeCount(node);
  if (aSlot < first || aSlot >= first + count) dEngine.RaiseCorruptNode(aNode);
  const bool wasLast = aSlot == first + count - 1;
  // The removed entry, to find the separators that equal it.
  std::vector<uint8_t> removed;
  if (leaf && wasLast)
    removed.assign(dEngine.LeafKey(node, aSlot), dEngine.LeafKey(node, aSlot) + dEngine.ieNodeKeyLength);

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
    // Key aSlot and pointer aSlot + 1 are one stretch of bytes; the
    // stretches after it move down over it.
    const size_t entry = size_t(dEngine.ieSizeOfInternalNodeKeyPair);
    std::memmove(dEngine.NodeKey(node, aSlot), dEngine.NodeKey(node, aSlot + 1), size_t(count - 1 - aSlot) * entry);
  }
  const int32_t left = count - 1;
  qdSetIndexNodeCount(node, uint16_t(left));
  if (left == 0 && aNode != dRoot) dEngine.RaiseCorruptNode(aNode);  // below the root a node keeps half its entries

  if (leaf && wasLast && aNode != dRoot) KeepSeparators(aNode, removed.data());

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

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::KeepSeparators(TqdBlockNumber aLeaf, const uint8_t* aRemoved) {
  const std::vector<TStep> steps = PathTo(aLeaf, aRemoved);
  const uint8_t* newLast = LastEntry(Read(aLeaf));
  // The parent bounds the leaf on the right unless the leaf is its last
  // child; then the nearest ancestor whose branch is not its last child
  // holds the bound, replaced when it still equals the removed key.
  for (size_t level = steps.size(); level-- > 0;) {
    const TStep& step = steps[level];
    const uint8_t* node = Read(step.sBlock);
    if (step.sSlot < int32_t(qdIndexNodeCount(node))) {
      if (level + 1 == steps.size() ||
          dEngine.bieKeyEngine->CompareKey(dEngine.NodeKey(node, step.sSlot), aRemoved, 0, 0) == 0)
        SetSeparator(Write(step.sBlock), step.sSlot, newLast);
      return;
    }
  }
}

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::MoveWindow(uint8_t* aNode, TqdBlockNumber aBlock, int32_t aFirst,
                                                               TqdStaticKeyBstarTreeIndexPath* aPath) {
  const int32_t first = qdIndexNodeFirst(aNode);
  dEngine.MoveLeafEntries(aNode, first, aFirst, qdIndexNodeCount(aNode));
  qdSetIndexNodeFirst(aNode, uint16_t(aFirst));
  if (aPath != nullptr && aPath->bpipPage == aBlock) aPath->bpipItem += aFirst - first;
}

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::RefillLeaf(uint8_t* aNode, TqdBlockNumber aBlock, uint8_t* aSibling,
                                                               bool aFromLeft, uint8_t* aParent, int32_t aSlot,
                                                               TqdStaticKeyBstarTreeIndexPath* aPath) {
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
    SetSeparator(aParent, aSlot - 1, LastEntry(aSibling));
  } else {
    if (capacity - (qdIndexNodeFirst(aNode) + count) < d) MoveWindow(aNode, aBlock, (capacity - count - d) / 2, aPath);
    dEngine.CopyLeafEntries(aSibling, siblingFirst, aNode, qdIndexNodeFirst(aNode) + count, d);
    qdSetIndexNodeCount(aNode, uint16_t(count + d));
    SetSeparator(aParent, aSlot, LastEntry(aNode));
    qdSetIndexNodeFirst(aSibling, uint16_t(siblingFirst + d));
    qdSetIndexNodeCount(aSibling, uint16_t(siblingCount - d));
  }
}

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::Rebalance(TqdBlockNumber aNode,
                                                              TqdStaticKeyBstarTreeIndexPath* aPath, int32_t aLevel) {
  uint8_t* node = Write(aNode);
  const bool leaf = IsLeaf(node);
  if (!leaf && aPath != nullptr) qdAssertFailed(kUnit, "a path stands in a leaf");
  const std::vector<uint8_t> locator(LastEntry(node), LastEntry(node) + dEngine.ieNodeKeyLength);
  const TStep step = PathTo(aNode, locator.data()).back();
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
    const size_t entry = size_t(dEngine.ieSizeOfInternalNodeKeyPair);
    if (fromLeft) {
      std::memmove(node + kIndexBlockHeaderSize + entry, node + kIndexBlockHeaderSize, size_t(count) * entry + 4);
      dEngine.SetTreePointer(node, 0, dEngine.TreePointer(sibling, siblingCount));
      SetSeparator(node, 0, dEngine.NodeKey(parent, k - 1));
      SetSeparator(parent, k - 1, dEngine.NodeKey(sibling, siblingCount - 1));
    } else {
      dEngine.SetTreePointer(node, count + 1, dEngine.TreePointer(sibling, 0));
      SetSeparator(node, count, dEngine.NodeKey(parent, k));
      SetSeparator(parent, k, dEngine.NodeKey(sibling, 0));
      std::memmove(sibling + kIndexBlockHeaderSize, sibling + kIndexBlockHeaderSize + entry,
                   size_t(siblingCount - 1) * entry + 4);
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
    // The parent's separator comes down between the two. With an odd
    // capacity two nodes at the threshold and the separator overflow one
    // node; the underflowing node then stays one entry short.
    if (destinationCount + sourceCount + 1 > capacity) return;
    SetSeparator(destination, destinationCount, dEngine.NodeKey(parent, k - 1));
    const size_t entry = size_t(dEngine.ieSizeOfInternalNodeKeyPair);
    std::memcpy(destination + kIndexBlockHeaderSize + size_t(destinationCount + 1) * entry,
                source + kIndexBlockHeaderSize, size_t(sourceCount) * entry + 4);
    qdSetIndexNodeCount(destination, uint16_t(destinationCount + sourceCount + 1));
  }
  RemoveEntry(step.sBlock, k - 1, nullptr, aLevel + 1);
  Free(sourceBlock);
  dAccess.SetIndexPageCount(dAccess.GetIndexPageCount() - 1);
}

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::CollapseRoot(TqdBlockNumber aRoot,
                                                                 TqdStaticKeyBstarTreeIndexPath* aPath) {
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

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::StampPath(TqdStaticKeyBstarTreeIndexPath* aPath) {
  if (aPath == nullptr || !aPath->IsOnCrack()) return;
  const uint8_t* leaf = Read(aPath->bpipPage);
  aPath->bpipIdentCounter = int64_t(qdIndexNodeCounter(leaf));
  aPath->bpipLSN = qdBlockLSN(leaf);
}

void TqdStaticKeyBstarTreeIndexEngine::TqdDeletion::FreeTree(TqdBlockNumber aNode, int32_t aDepth) {
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

bool TqdStaticKeyBstarTreeIndexEngine::DeleteKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr,
                                                 TqdRefNr /*aCacheRefNr*/, TqdBaseIndexPath* aPath) {
  TqdStaticKeyBstarTreeIndexPath* path = OwnPath(aPath);
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, true, true, 0, 0));
  if (access->GetIndexRoot() == qdIndexRootNone) return false;
  TqdDeletion deletion(*this, *access);
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
        SetPathOnEntry(*path, leaf, deletion.Leaf(leaf), slot, ippOnKey);
      }
    }
    deletion.RemoveEntry(leaf, slot, path, 0);
    deletion.StampPath(path);
    const uint32_t keys = access->GetIndexKeyCount();
    access->SetIndexKeyCount(keys > 0 ? keys - 1 : 0);
  } catch (...) {
    // Nodes changed before the failure leave the tree half done: only a
    // rollback may follow.
    if (deletion.Changed()) aTrans->MarkCorrupted();
    throw;
  }
  return true;
}

void TqdStaticKeyBstarTreeIndexEngine::DeleteAllKeys(TqdBaseTransaction* aTrans) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, true, true, 0, 0));
  const TqdBlockNumber root = access->GetIndexRoot();
  access->SetIndexRoot(qdIndexRootNone);
  access->SetIndexPageCount(0);
  access->SetIndexKeyCount(0);
  if (root == qdIndexRootNone) return;
  TqdDeletion deletion(*this, *access);
  try {
    deletion.FreeTree(root, 0);
  } catch (...) {
    aTrans->MarkCorrupted();
    throw;
  }
}

}  // namespace qd
