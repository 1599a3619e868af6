// Insertion into the static-key B*-tree: the duplicate checks, the entry's
// place in a leaf's movable window, leaf and internal node splits and new
// roots. Neighbouring nodes are never asked for room: a full node splits.
#include <cstring>
#include <memory>

#include "dictionary/qdsdKeyEngineBase.h"
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

namespace qd {

namespace {

constexpr const char* kUnit = "qdseIndexEngineStaticKeyBstarTree";

}  // namespace

bool TqdStaticKeyBstarTreeIndexEngine::InsertKey(TqdBaseTransaction* aTrans, PqdKeyBuffer aKey, TqdRefNr aRefNr,
                                                 TqdRefNr /*aCacheRefNr*/, TqdBaseIndexPath* aPath) {
  TqdStaticKeyBstarTreeIndexPath* path = OwnPath(aPath);
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
      uint8_t* leaf = CreateNode(*access, kIndexNodeLeaf, block);
      access->SetIndexRoot(block);
      const int32_t slot = ieMaxLeafNodeKeyCount / 2;
      qdSetIndexNodeFirst(leaf, uint16_t(slot));
      WriteLeafEntry(leaf, slot, aKey, aRefNr);
      qdSetIndexNodeCount(leaf, 1);
      access->SetIndexKeyCount(1);
      if (path != nullptr) {
        path->Clear();
        SetPathOnEntry(*path, block, leaf, slot, ippOnKey);
      }
      result = true;
    } else {
      result = InsertIntoTree(*access, root, aKey, aRefNr, path);
      if (result) access->SetIndexKeyCount(access->GetIndexKeyCount() + 1);
    }
  } catch (...) {
    ieReleaseList.Release();
    if (ieInsertChanged && aTrans != nullptr) aTrans->MarkCorrupted();
    throw;
  }
  ieReleaseList.Release();
  return result;
}

bool TqdStaticKeyBstarTreeIndexEngine::NeighbourHolds(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aBlock,
                                                      const TqdNodeSearch& aSearch) {
  const uint8_t* node = ReadNodeKept(aAccess, aBlock);
  if (qdIndexNodeKind(node) != kIndexNodeLeaf) RaiseCorruptNode(aBlock);
  int32_t slot = 0;
  return SearchLeaf(node, aSearch, slot);
}

bool TqdStaticKeyBstarTreeIndexEngine::InsertIntoTree(TqdBaseIndexHeaderAccess& aAccess, TqdBlockNumber aRoot,
                                                      const uint8_t* aKey, TqdRefNr aRefNr,
                                                      TqdStaticKeyBstarTreeIndexPath* aPath) {
  if (aPath != nullptr) aPath->Clear();
  TqdNodeSearch descent;
  descent.nsKey = aKey;
  descent.nsRefNr = aRefNr;
  descent.nsMode = ieAddKeyRefsToKeys ? nsmKeyAndRef : nsmKeyOnly;
  TqdNodeSearch leafSearch = descent;
  if (bieDupsNullOnly) {
    leafSearch.nsMode = nsmNullAware;
    leafSearch.nsKeyHasNulls = bieKeyEngine->KeyContainsNulls(aKey);
  }

  // Descend read-only, remembering the pointer slot taken on each level.
  TqdTreeLevels levels;
  TqdBlockNumber block = aRoot;
  int32_t depth = 0;
  const uint8_t* node = nullptr;
  for (;; ++depth) {
    if (depth >= kMaxIndexTreeDepth) RaiseTooDeep(block);
    node = ReadNodeKept(aAccess, block);
    if (qdIndexNodeKind(node) == kIndexNodeLeaf) break;
    int32_t slot = 0;
    (void)SearchInternal(node, descent, slot);  // found or not, Pslot leads on
    levels[size_t(depth)] = {block, slot};
    block = TreePointer(node, slot);
  }
  const TqdBlockNumber leafBlock = block;

  // Duplicates the index does not allow.
  int32_t u = 0;
  if (SearchLeaf(node, leafSearch, u)) return false;
  if (bieDupsNullOnly && !leafSearch.nsKeyHasNulls) {
    // An equal key without nulls may sit across a leaf boundary.
    const int32_t first = qdIndexNodeFirst(node);
    const int32_t end = first + qdIndexNodeCount(node);
    const TqdBlockNumber prev = qdIndexNodePrev(node);
    const TqdBlockNumber next = qdIndexNodeNext(node);
    if (u == first && prev != kNoBlock && NeighbourHolds(aAccess, prev, leafSearch)) return false;
    if (u == end && next != kNoBlock && NeighbourHolds(aAccess, next, leafSearch)) return false;
  }

  ieInsertChanged = true;
  uint8_t* leaf = ReadNodeKeptForWriting(aAccess, leafBlock);
  const int32_t capacity = ieMaxLeafNodeKeyCount;
  if (qdIndexNodeCount(leaf) < capacity) {
    LeafInsert(leaf, leafBlock, u, aKey, aRefNr, aPath);
    return true;
  }

  // Leaf split: a full leaf starts at slot 0.
  TqdBlockNumber newBlock = 0;
  uint8_t* newLeaf = CreateNode(aAccess, kIndexNodeLeaf, newBlock);
  int32_t s = capacity / 2;
  if (u > s && (capacity & 1) != 0) ++s;
  CopyLeafEntries(leaf, s, newLeaf, s / 2, capacity - s);
  qdSetIndexNodeFirst(newLeaf, uint16_t(s / 2));
  qdSetIndexNodeCount(newLeaf, uint16_t(capacity - s));
  qdSetIndexNodeCount(leaf, uint16_t(s));
  const TqdBlockNumber next = qdIndexNodeNext(leaf);
  qdSetIndexNodeNext(newLeaf, next);
  qdSetIndexNodePrev(newLeaf, leafBlock);
  qdSetIndexNodeNext(leaf, newBlock);
  if (next != kNoBlock) {
    uint8_t* following = ReadNodeKeptForWriting(aAccess, next);
    if (qdIndexNodeKind(following) != kIndexNodeLeaf) RaiseCorruptNode(next);
    qdSetIndexNodePrev(following, newBlock);
  }
  if (u > s)
    LeafInsert(newLeaf, newBlock, u - s + s / 2, aKey, aRefNr, aPath);
  else if (u == s && s >= capacity - s)
    LeafInsert(newLeaf, newBlock, s / 2, aKey, aRefNr, aPath);
  else
    LeafInsert(leaf, leafBlock, u, aKey, aRefNr, aPath);
  // The separator is the old leaf's last entry.
  const int32_t last = qdIndexNodeFirst(leaf) + qdIndexNodeCount(leaf) - 1;
  std::memcpy(ieTempInsertKey.data(), LeafKey(leaf, last), size_t(ieNodeKeyLength));
  ieTempInsertBlock = leafBlock;
  TqdBlockNumber right = newBlock;

  // Up the remembered levels.
  const int32_t capacityInternal = ieMaxInternalNodeKeyCount;
  const size_t entry = size_t(ieSizeOfInternalNodeKeyPair);
  for (int32_t level = depth - 1; level >= 0; --level) {
    const TqdBlockNumber nodeBlock = levels[size_t(level)].tlBlock;
    const int32_t r = levels[size_t(level)].tlSlot;
    uint8_t* parent = ReadNodeKeptForWriting(aAccess, nodeBlock);
    if (qdIndexNodeKind(parent) != kIndexNodeInternal) RaiseCorruptNode(nodeBlock);
    const int32_t count = qdIndexNodeCount(parent);
    if (count < capacityInternal) {
      InternalInsert(parent, r, ieTempInsertKey.data(), right);
      return true;
    }
    // Split: the node plus the new entry in the scratch buffer, then halves.
    uint8_t* scratch = ieSplitBuffer.data();
    std::memcpy(scratch, parent, kIndexBlockHeaderSize + 4 + size_t(count) * entry);
    InternalInsert(scratch, r, ieTempInsertKey.data(), right);
    const int32_t m = capacityInternal / 2;
    TqdBlockNumber splitBlock = 0;
    uint8_t* splitNode = CreateNode(aAccess, kIndexNodeInternal, splitBlock);
    std::memcpy(splitNode + kIndexBlockHeaderSize, scratch + kIndexBlockHeaderSize + size_t(m + 1) * entry,
                size_t(capacityInternal - m) * entry + 4);
    qdSetIndexNodeCount(splitNode, uint16_t(capacityInternal - m));
    std::memcpy(parent + kIndexBlockHeaderSize, scratch + kIndexBlockHeaderSize, size_t(m) * entry + 4);
    qdSetIndexNodeCount(parent, uint16_t(m));
    std::memcpy(ieTempInsertKey.data(), NodeKey(scratch, m), size_t(ieNodeKeyLength));
    ieTempInsertBlock = nodeBlock;
    right = splitBlock;
  }

  // The root itself was split.
  TqdBlockNumber rootBlock = 0;
  uint8_t* newRoot = CreateNode(aAccess, kIndexNodeInternal, rootBlock);
  SetTreePointer(newRoot, 0, ieTempInsertBlock);
  std::memcpy(NodeKey(newRoot, 0), ieTempInsertKey.data(), size_t(ieNodeKeyLength));
  SetTreePointer(newRoot, 1, right);
  qdSetIndexNodeCount(newRoot, 1);
  aAccess.SetIndexRoot(rootBlock);
  return true;
}

void TqdStaticKeyBstarTreeIndexEngine::LeafInsert(uint8_t* aNode, TqdBlockNumber aBlock, int32_t aSlot,
                                                  const uint8_t* aKey, TqdRefNr aRefNr,
                                                  TqdStaticKeyBstarTreeIndexPath* aPath) {
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
      const int32_t c = (capacity - n - 1) / 2;
      MoveLeafEntries(aNode, p, p + c + 1, n - p);
      MoveLeafEntries(aNode, 0, c, p);
      p += c;
      f = c;
    }
  } else if (f + n == capacity) {
    // Back half with the window touching the end: centre it again.
    const int32_t c = (capacity - n - 1) / 2;
    MoveLeafEntries(aNode, f, c, p - f);
    if (f - c != 1) MoveLeafEntries(aNode, p, c + p - f + 1, capacity - p);
    p = p + c - f;
    f = c;
  } else {
    // Back half with room at the end: the entries from the slot move right.
    MoveLeafEntries(aNode, p, p + 1, f + n - p);
  }
  if (f < 0 || f + n + 1 > capacity || p < f || p > f + n) qdAssertFailed(kUnit, "a leaf insertion fits its window");
  WriteLeafEntry(aNode, p, aKey, aRefNr);
  qdSetIndexNodeFirst(aNode, uint16_t(f));
  qdSetIndexNodeCount(aNode, uint16_t(n + 1));
  if (aPath != nullptr) SetPathOnEntry(*aPath, aBlock, aNode, p, ippOnKey);
}

void TqdStaticKeyBstarTreeIndexEngine::InternalInsert(uint8_t* aNode, int32_t aSlot, const uint8_t* aSeparator,
                                                      TqdBlockNumber aRight) const {
  const int32_t count = qdIndexNodeCount(aNode);
  const size_t entry = size_t(ieSizeOfInternalNodeKeyPair);
  // Keys aSlot .. count - 1 and pointers aSlot + 1 .. count are contiguous.
  uint8_t* from = aNode + ieInternalNodeKeyOffset[size_t(aSlot)];
  std::memmove(from + entry, from, size_t(count - aSlot) * entry);
  std::memcpy(from, aSeparator, size_t(ieNodeKeyLength));
  qdPutU32(from + ieNodeKeyLength, aRight);
  qdSetIndexNodeCount(aNode, uint16_t(count + 1));
}

}  // namespace qd
