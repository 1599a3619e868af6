// Insertion into the keyless B*-tree: the duplicate checks (which may read
// the neighbouring leaf, since the descent follows key and reference and an
// equal key with another reference can sit just across a leaf boundary),
// the entry's place in a leaf's movable window, leaf and internal node
// splits and new roots. A full node splits; siblings are not asked for room.
#include <cstring>
#include <memory>

#include "dictionary/qdsdKeyEngineBase.h"
#include "indexes/qdseIndexEngineKeylessBstarTree.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseIndexEngineKeylessBstarTree";

}  // namespace

bool TqdKeylessBstarTreeIndexEngine::InsertKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr,
                                               TqdRefNr /*aCacheRefNr*/, TqdBaseIndexPath* aPath) {
  TqdKeylessBstarTreeIndexPath* path = OwnPath(aPath);
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(CreateHeaderAccess(aTrans, true, true, 0, 0));
  bool result = false;
  ieInsertChanged = false;
  try {
    const uint32_t root = access->GetIndexRoot();
    if (root == qdIndexRootNone) {
      ieInsertChanged = true;
      // The first entry sits in the middle of the new root leaf, so that
      // either side can grow without moving it.
      TqdBlockNumber block = 0;
      uint8_t* leaf = NewNode(*access, kIndexNodeLeaf, block);
      access->SetIndexRoot(block);
      const int32_t slot = ieMaxLeafNodeKeyCount / 2;
      qdSetIndexNodeFirst(leaf, uint16_t(slot));
      SetLeafRefNr(leaf, slot, aRefNr);
      qdSetIndexNodeCount(leaf, 1);
      access->SetIndexKeyCount(1);
      if (path != nullptr) {
        path->Clear();
        SetPathOnEntry(*path, block, leaf, slot, ippOnKey, aKey);
      }
      result = true;
    } else {
      std::unique_ptr<TqdKeylessBstarTreeIndexPath> temporary;
      TqdKeylessBstarTreeIndexPath* work = path;
      if (work == nullptr) {
        temporary = std::make_unique<TqdKeylessBstarTreeIndexPath>(this);
        work = temporary.get();
      }
      TqdKeylessCacheScope scope(*work, aTrans);
      result = InsertIntoTree(*access, root, aKey, aRefNr, *work, path);
      if (result) access->SetIndexKeyCount(access->GetIndexKeyCount() + 1);
    }
  } catch (...) {
    ieReleaseList.Release();
    // A failure after the first change leaves a half-done split: only a
    // rollback may follow.
    if (ieInsertChanged && aTrans != nullptr) aTrans->MarkCorrupted();
    throw;
  }
  ieReleaseList.Release();
  return result;
}

bool TqdKeylessBstarTreeIndexEngine::NeighbourHolds(TqdBaseIndexHeaderAccess& aAccess,
                                                    TqdKeylessBstarTreeIndexPath& aWork, TqdBlockNumber aBlock,
                                                    const TqdKeylessSearch& aSearch) {
  const uint8_t* node = ReadNodeKept(aAccess, aBlock);
  if (qdIndexNodeKind(node) != kIndexNodeLeaf) RaiseCorruptNode(aBlock);
  int32_t slot = 0;
  return SearchNode(aWork, node, aSearch, slot);
}

bool TqdKeylessBstarTreeIndexEngine::InsertIntoTree(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot,
                                                    const uint8_t* aKey, TqdRefNr aRefNr,
                                                    TqdKeylessBstarTreeIndexPath& aWork,
                                                    TqdKeylessBstarTreeIndexPath* aPath) {
  if (aPath != nullptr) aPath->Clear();
  TqdKeylessSearch descent;
  descent.ksKey = aKey;
  descent.ksRefNr = aRefNr;
  descent.ksMode = ksmRefKey;
  const bool dupsForAll = bieDups && !bieDupsNullOnly;
  TqdKeylessSearch leafSearch = descent;
  if (!dupsForAll) leafSearch.ksMode = bieDupsNullOnly ? ksmNullRef : ksmKey;

  // Descend read-only, remembering per level the node and the child taken.
  struct TLevel {
    TqdBlockNumber lBlock;
    int32_t lChild;
  };
  std::vector<TLevel> levels;
  TqdBlockNumber block = aRoot;
  const uint8_t* node = nullptr;
  for (int32_t depth = 0;; ++depth) {
    if (depth >= kMaxIndexTreeDepth) RaiseTooDeep(block);
    node = ReadNodeKept(aAccess, block);
    if (qdIndexNodeKind(node) == kIndexNodeLeaf) break;
    int32_t child = 0;
    (void)SearchNode(aWork, node, descent, child);  // found or not, child [index] leads on
    levels.push_back({block, child});
    block = TreePointer(node, child);
  }
  const TqdBlockNumber leafBlock = block;

  // Entries the index does not allow.
  int32_t position = 0;
  if (SearchNode(aWork, node, leafSearch, position)) return false;
  if (!dupsForAll && !(bieDupsNullOnly && bieKeyEngine->KeyContainsNulls(aKey))) {
    const int32_t first = qdIndexNodeFirst(node);
    const int32_t end = first + qdIndexNodeCount(node);
    const TqdBlockNumber prev = qdIndexNodePrev(node);
    const TqdBlockNumber next = qdIndexNodeNext(node);
    if (position == first && prev != kNoBlock && NeighbourHolds(aAccess, aWork, prev, leafSearch)) return false;
    if (position == end && next != kNoBlock && NeighbourHolds(aAccess, aWork, next, leafSearch)) return false;
  }

  ieInsertChanged = true;
  uint8_t* leaf = ReadNodeKeptForWriting(aAccess, leafBlock);
  const int32_t capacity = ieMaxLeafNodeKeyCount;
  if (qdIndexNodeCount(leaf) < capacity) {
    LeafInsert(leaf, leafBlock, position, aKey, aRefNr, aPath);
    return true;
  }

  // Leaf split: a full leaf starts at slot 0.
  if (qdIndexNodeFirst(leaf) != 0) RaiseCorruptNode(leafBlock);
  TqdBlockNumber newBlock = 0;
  uint8_t* newLeaf = NewNode(aAccess, kIndexNodeLeaf, newBlock);
  const TqdLeafSplit split = qdKeylessLeafSplit(capacity, position);
  CopyLeafEntries(leaf, split.lsKeep, newLeaf, split.lsNewFirst, capacity - split.lsKeep);
  qdSetIndexNodeFirst(newLeaf, uint16_t(split.lsNewFirst));
  qdSetIndexNodeCount(newLeaf, uint16_t(capacity - split.lsKeep));
  qdSetIndexNodeCount(leaf, uint16_t(split.lsKeep));
  const TqdBlockNumber next = qdIndexNodeNext(leaf);
  qdSetIndexNodeNext(newLeaf, next);
  qdSetIndexNodePrev(newLeaf, leafBlock);
  qdSetIndexNodeNext(leaf, newBlock);
  if (next != kNoBlock) {
    uint8_t* following = ReadNodeKeptForWriting(aAccess, next);
    if (qdIndexNodeKind(following) != kIndexNodeLeaf) RaiseCorruptNode(next);
    qdSetIndexNodePrev(following, newBlock);
  }
  if (split.lsIntoNew)
    LeafInsert(newLeaf, newBlock, split.lsNewPosition, aKey, aRefNr, aPath);
  else
    LeafInsert(leaf, leafBlock, position, aKey, aRefNr, aPath);
  // The separator names the old leaf's last entry.
  ieTempInsertKey = LeafRefNr(leaf, qdIndexNodeFirst(leaf) + qdIndexNodeCount(leaf) - 1);
  ieTempInsertBlock = leafBlock;
  TqdBlockNumber right = newBlock;

  // Up the remembered levels.
  const int32_t capacityInternal = ieMaxInternalNodeKeyCount;
  for (size_t level = levels.size(); level-- > 0;) {
    const TqdBlockNumber nodeBlock = levels[level].lBlock;
    const int32_t child = levels[level].lChild;
    uint8_t* parent = ReadNodeKeptForWriting(aAccess, nodeBlock);
    if (qdIndexNodeKind(parent) != kIndexNodeInternal) RaiseCorruptNode(nodeBlock);
    const int32_t count = qdIndexNodeCount(parent);
    if (count < capacityInternal) {
      InternalInsert(parent, child, ieTempInsertKey, right);
      return true;
    }
    // Split: the node plus the new pair in the scratch buffer, then halves.
    uint8_t* scratch = ieSplitBuffer.data();
    std::memcpy(scratch, parent, kIndexBlockHeaderSize + 4 + size_t(count) * 12);
    InternalInsert(scratch, child, ieTempInsertKey, right);
    const int32_t m = capacityInternal / 2;
    TqdBlockNumber splitBlock = 0;
    uint8_t* splitNode = NewNode(aAccess, kIndexNodeInternal, splitBlock);
    std::memcpy(splitNode + kIndexBlockHeaderSize, scratch + kIndexBlockHeaderSize + size_t(m + 1) * 12,
                size_t(capacityInternal - m) * 12 + 4);
    qdSetIndexNodeCount(splitNode, uint16_t(capacityInternal - m));
    std::memcpy(parent + kIndexBlockHeaderSize, scratch + kIndexBlockHeaderSize, size_t(m) * 12 + 4);
    qdSetIndexNodeCount(parent, uint16_t(m));
    ieTempInsertKey = NodeRefNr(scratch, m);
    ieTempInsertBlock = nodeBlock;
    right = splitBlock;
  }

  // The root itself was split.
  TqdBlockNumber rootBlock = 0;
  uint8_t* newRoot = NewNode(aAccess, kIndexNodeInternal, rootBlock);
  SetTreePointer(newRoot, 0, ieTempInsertBlock);
  SetNodeRefNr(newRoot, 0, ieTempInsertKey);
  SetTreePointer(newRoot, 1, right);
  qdSetIndexNodeCount(newRoot, 1);
  aAccess.SetIndexRoot(rootBlock);
  return true;
}

void TqdKeylessBstarTreeIndexEngine::LeafInsert(uint8_t* aNode, TqdBlockNumber aBlock, int32_t aSlot,
                                                const uint8_t* aKey, TqdRefNr aRefNr,
                                                TqdKeylessBstarTreeIndexPath* aPath) {
  const int32_t capacity = ieMaxLeafNodeKeyCount;
  int32_t f = qdIndexNodeFirst(aNode);
  const int32_t n = qdIndexNodeCount(aNode);
  int32_t p = aSlot;
  if (p <= f + n / 2) {
    if (f > 0) {
      // Front half: the entries before the slot move one to the left.
      MoveLeafEntries(aNode, f, f - 1, p - f);
      --p;
      --f;
    } else {
      // The window touches slot 0: centre it again around the new entry.
      const int32_t g = (capacity - n - 1) / 2;
      MoveLeafEntries(aNode, p, p + g + 1, n - p);
      MoveLeafEntries(aNode, 0, g, p);
      p += g;
      f = g;
    }
  } else if (f + n >= capacity) {
    // Back half with the window touching the end: centre it again.
    const int32_t g = (capacity - n - 1) / 2;
    MoveLeafEntries(aNode, f, g, p - f);
    if (f - g != 1) MoveLeafEntries(aNode, p, g + p - f + 1, capacity - p);
    p = p + g - f;
    f = g;
  } else if (p < f + n) {
    // Back half with room at the end: the entries from the slot move right.
    MoveLeafEntries(aNode, p, p + 1, f + n - p);
  }
  if (f < 0 || f + n + 1 > capacity || p < f || p > f + n) qdAssertFailed(kUnit, "a leaf insertion fits its window");
  SetLeafRefNr(aNode, p, aRefNr);
  qdSetIndexNodeFirst(aNode, uint16_t(f));
  qdSetIndexNodeCount(aNode, uint16_t(n + 1));
  if (aPath != nullptr) SetPathOnEntry(*aPath, aBlock, aNode, p, ippOnKey, aKey);
}

void TqdKeylessBstarTreeIndexEngine::InternalInsert(uint8_t* aNode, int32_t aSlot, TqdRefNr aSeparator,
                                                    TqdBlockNumber aRight) const {
  const int32_t count = qdIndexNodeCount(aNode);
  // Separators aSlot .. count - 1 and pointers aSlot + 1 .. count are one
  // stretch of 12-byte pairs.
  uint8_t* from = aNode + ieInternalNodeKeyRefOffset[size_t(aSlot)];
  std::memmove(from + 12, from, size_t(count - aSlot) * 12);
  qdPutI64(from, aSeparator);
  qdPutU32(from + 8, aRight);
  qdSetIndexNodeCount(aNode, uint16_t(count + 1));
}

}  // namespace qd
