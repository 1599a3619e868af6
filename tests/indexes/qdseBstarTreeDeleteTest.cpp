// Deleting from the static-key B*-tree: random deletion down to the empty
// index against a model, separator upkeep, refilling and merging on both
// sides, root collapse, where a path is left after its entry went, freed
// nodes going back to the file, DeleteAllKeys, damaged trees that must
// raise 8962, and a long mixed model run with commits, rollbacks and
// reopens. Every test that changes a tree runs the invariant checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/qdsdKeyEngineBase.h"
#include "tests/indexes/qdseBstarTreeChecker.h"
#include "tests/indexes/qdseIndexTestFixture.h"

namespace qd::test {
namespace {

using TqdPath = TqdStaticKeyBstarTreeIndexPath;
using TqdTree = TqdStaticKeyBstarTreeIndexEngine;
// One stored entry as the model sees it.
using ModelEntry = std::pair<TqdKeyValue, TqdRefNr>;

std::unique_ptr<TqdPath> NewPath(TqdTree& aTree) {
  return std::unique_ptr<TqdPath>(static_cast<TqdPath*>(aTree.CreateIndexPath()));
}

std::unique_ptr<TqdBaseIndexPath> Copy(TqdBaseIndexPath& aPath) {
  return std::unique_ptr<TqdBaseIndexPath>(aPath.Duplicate());
}

struct HeaderValues {
  uint32_t root;
  uint32_t pages;
  uint32_t keys;
};

HeaderValues Values(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(aTable.Tree().CreateHeaderAccess(aTrans, false, false, 0, 0));
  return {access->GetIndexRoot(), access->GetIndexPageCount(), access->GetIndexKeyCount()};
}

// The free blocks block 0 keeps (a "QD!2" header keeps up to 20) and the
// blocks of the file.
uint32_t FreeBlocks(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans) {
  return aTable.Access().HeaderAccess(aTrans, false)->AvailableBlocks();
}
uint32_t UsedBlocks(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans) {
  return aTable.Access().HeaderAccess(aTrans, false)->UsedBlocks();
}

std::vector<uint8_t> NodeImage(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdBlockNumber aBlock) {
  TqdBaseFile* file = aTable.Access()._File();
  TqdBlockRef block = file->fiBufMgr->GetBlock(file, aTrans, aBlock, false);
  return std::vector<uint8_t>(block.Data(), block.Data() + aTable.Access().fiBlockSizeBytes());
}

// The checker's verdict (leaves filled at least half, internal nodes at
// least capacity div 2) and the entries it read, sorted like the model.
std::vector<ModelEntry> CheckedEntries(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans,
                                       TqdBstarTreeShape* aShape = nullptr) {
  std::vector<TqdBstarTreeEntry> entries;
  EXPECT_TRUE(CheckBstarTree(aTable.Tree(), aTrans, {true}, aShape, &entries));
  std::vector<ModelEntry> result;
  for (const TqdBstarTreeEntry& e : entries) result.emplace_back(aTable.ValueOf(0, e.Key.data()), e.RefNr);
  std::sort(result.begin(), result.end());
  return result;
}

// The key values of every leaf, in chain order.
std::vector<std::vector<uint64_t>> LeafValues(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans) {
  TqdBstarTreeShape shape;
  EXPECT_TRUE(CheckBstarTree(aTable.Tree(), aTrans, {}, &shape));
  std::vector<std::vector<uint64_t>> leaves;
  for (TqdBlockNumber block : shape.Leaves) {
    const std::vector<uint8_t> node = NodeImage(aTable, aTrans, block);
    std::vector<uint64_t> values;
    const int32_t first = qdIndexNodeFirst(node.data());
    for (int32_t s = first; s < first + qdIndexNodeCount(node.data()); ++s)
      values.push_back(aTable.ValueOf(0, aTable.Tree().LeafKey(node.data(), s)).value_or(~uint64_t(0)));
    leaves.push_back(values);
  }
  return leaves;
}

bool Insert(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdKeyValue aValue, TqdRefNr aRefNr,
            TqdBaseIndexPath* aPath = nullptr) {
  std::vector<uint8_t> key = aTable.Key(0, aValue);
  return aTable.Tree().InsertKey(aTrans, key.data(), aRefNr, 0, aPath);
}

bool Delete(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdKeyValue aValue, TqdRefNr aRefNr,
            TqdBaseIndexPath* aPath = nullptr) {
  std::vector<uint8_t> key = aTable.Key(0, aValue);
  return aTable.Tree().DeleteKey(aTrans, key.data(), aRefNr, 0, aPath);
}

// The entry a step from aPath reaches: forward or backward, nullopt at
// the end.
std::optional<ModelEntry> Step(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdBaseIndexPath& aPath,
                               bool aForward) {
  std::unique_ptr<TqdBaseIndexPath> path = Copy(aPath);
  const bool moved = aForward ? aTable.Tree().NextKey(aTrans, path.get(), nullptr)
                              : aTable.Tree().PrevKey(aTrans, path.get(), nullptr);
  if (!moved) return std::nullopt;
  return ModelEntry{aTable.ValueOf(0, path->Key), path->RefNr};
}

// The neighbours of aEntry in a model that no longer holds it.
std::optional<ModelEntry> After(const std::multiset<ModelEntry>& aModel, const ModelEntry& aEntry) {
  auto it = aModel.upper_bound(aEntry);
  if (it == aModel.end()) return std::nullopt;
  return *it;
}
std::optional<ModelEntry> Before(const std::multiset<ModelEntry>& aModel, const ModelEntry& aEntry) {
  auto it = aModel.lower_bound(aEntry);
  if (it == aModel.begin()) return std::nullopt;
  return *--it;
}

// Changes bytes of a committed block.
void Poke(TqdIndexTestTable& aTable, TqdBlockNumber aBlock, uint32_t aOffset, const std::vector<uint8_t>& aBytes) {
  auto trans = aTable.Begin();
  TqdBlockRef block = aTable.Access().GetBlock(trans.get(), aBlock, 0, true);
  std::memcpy(block.WritableData() + aOffset, aBytes.data(), aBytes.size());
  block.Release();
  trans->Commit();
}
void PokeU32(TqdIndexTestTable& aTable, TqdBlockNumber aBlock, uint32_t aOffset, uint32_t aValue) {
  Poke(aTable, aBlock, aOffset, {uint8_t(aValue), uint8_t(aValue >> 8), uint8_t(aValue >> 16), uint8_t(aValue >> 24)});
}

// --- Random deletion to the empty index ----------------------------------------------------------

struct DeleteCase {
  int32_t keyLength;
  TqdIndexDups dups;
  TqdBlockSize blockSize;
  int32_t keys;
};

class BstarTreeRandomDeleteTest : public testing::TestWithParam<DeleteCase> {};

TEST_P(BstarTreeRandomDeleteTest, InvariantsHoldDownToTheEmptyIndexAndTheFreedNodesAreReused) {
  const DeleteCase c = GetParam();
  TqdIndexTestTable table(TqdTestIndexShapes{{c.keyLength, c.dups}}, c.blockSize);
  table.Create();
  std::mt19937_64 random(uint64_t(c.keyLength) * 7919 + uint64_t(c.dups) * 31 + uint64_t(c.blockSize));
  const uint64_t range = c.dups == idAll ? uint64_t(c.keys) / 4 : (1u << 24);
  std::multiset<ModelEntry> model;
  std::vector<ModelEntry> inserted;
  std::set<uint64_t> used;
  {
    auto trans = table.Begin();
    for (int32_t i = 0; i < c.keys; ++i) {
      TqdKeyValue value;
      if (c.dups == idNull && random() % 10 == 0) {
        value = std::nullopt;
      } else {
        do value = random() % range;
        while (c.dups != idAll && !used.insert(*value).second);
      }
      ASSERT_TRUE(Insert(table, trans.get(), value, i + 1)) << "insert " << i;
      model.insert({value, i + 1});
      inserted.push_back({value, i + 1});
    }
    trans->Commit();
  }
  const uint32_t usedWhenFull = UsedBlocks(table, nullptr);
  const uint32_t pagesWhenFull = Values(table, nullptr).pages;
  TqdBstarTreeShape full;
  ASSERT_TRUE(CheckBstarTree(table.Tree(), nullptr, {true}, &full));
  ASSERT_GE(full.Depth, c.keyLength >= 700 ? 5 : 2);

  std::vector<ModelEntry> order = inserted;
  std::shuffle(order.begin(), order.end(), random);
  auto trans = table.Begin();
  TqdTree& tree = table.Tree();
  auto path = NewPath(tree);
  for (size_t i = 0; i < order.size(); ++i) {
    const ModelEntry& entry = order[i];
    // Every third deletion goes through a path, half of those standing on
    // the entry already; the last one always does.
    const bool withPath = i % 3 == 0 || i + 1 == order.size();
    if (withPath && i % 2 == 0) {
      std::vector<uint8_t> key = table.Key(0, entry.first);
      ASSERT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, entry.second, path.get(), skaEqualFirst, nullptr));
      ASSERT_EQ(path->RefNr, entry.second);
    }
    ASSERT_TRUE(Delete(table, trans.get(), entry.first, entry.second, withPath ? path.get() : nullptr))
        << "entry " << i;
    model.erase(model.find(entry));
    ASSERT_FALSE(Delete(table, trans.get(), entry.first, entry.second)) << "deleted twice";
    if (withPath && !model.empty()) {
      ASSERT_TRUE(path->IsOnCrack());
      ASSERT_TRUE(path->Deleted);
      if (c.dups != idNull) {
        ASSERT_EQ(Step(table, trans.get(), *path, true), After(model, entry)) << "entry " << i;
        ASSERT_EQ(Step(table, trans.get(), *path, false), Before(model, entry)) << "entry " << i;
      }
    }
    if ((i + 1) % 500 == 0) {
      const std::vector<ModelEntry> entries = CheckedEntries(table, trans.get());
      ASSERT_TRUE(std::equal(entries.begin(), entries.end(), model.begin(), model.end())) << "after " << i + 1;
      uint32_t count = 0;
      tree.GetKeyCount(trans.get(), count);
      ASSERT_EQ(count, model.size());
    }
  }
  EXPECT_TRUE(path->IsBof());
  const HeaderValues empty = Values(table, trans.get());
  EXPECT_EQ(empty.root, qdIndexRootNone);
  EXPECT_EQ(empty.pages, 0u);
  EXPECT_EQ(empty.keys, 0u);
  EXPECT_TRUE(CheckBstarTree(tree, trans.get()));
  trans->Commit();
  path.reset();  // before its engine goes

  // The same keys again take only freed blocks: the file does not grow.
  table.Reopen();
  auto again = table.Begin();
  for (const ModelEntry& entry : inserted) ASSERT_TRUE(Insert(table, again.get(), entry.first, entry.second));
  EXPECT_EQ(Values(table, again.get()).pages, pagesWhenFull);
  EXPECT_EQ(UsedBlocks(table, again.get()), usedWhenFull);
  again->Commit();
}

std::string DeleteCaseName(const testing::TestParamInfo<DeleteCase>& aInfo) {
  static const char* const kDups[] = {"Unique", "DupsNull", "DupsAll"};
  return "Key" + std::to_string(aInfo.param.keyLength) + kDups[aInfo.param.dups] +
         (aInfo.param.blockSize == qdbs4k ? "4k" : "16k");
}

// Keys of 700 bytes give nodes of five entries (odd capacities), keys of
// 1000 bytes nodes of four: deep trees where every refill, rotation and
// merge happens on every level.
INSTANTIATE_TEST_SUITE_P(KeysDupsBlocks, BstarTreeRandomDeleteTest,
                         testing::Values(DeleteCase{4, idNone, qdbs4k, 20000}, DeleteCase{9, idAll, qdbs4k, 20000},
                                         DeleteCase{33, idNull, qdbs4k, 20000}, DeleteCase{100, idAll, qdbs16k, 20000},
                                         DeleteCase{700, idNone, qdbs4k, 3000}, DeleteCase{700, idAll, qdbs4k, 3000},
                                         DeleteCase{1000, idNone, qdbs4k, 3000}),
                         DeleteCaseName);

// --- Refilling, merging and root collapse on a small tree ---------------------------------------

// Keys of 700 bytes: leaves of five entries, refilled below three.
struct RebalanceCase {
  const char* name;
  std::vector<uint64_t> inserts;
  std::vector<std::vector<uint64_t>> before;
  uint64_t deleted;
  std::vector<std::vector<uint64_t>> after;
  // Blocks given back to the file.
  uint32_t freed;
};

TEST(BstarTreeDeleteRebalance, LeavesRefillFromOrMergeWithTheRightSiblingAndCollapseTheRoot) {
  const RebalanceCase cases[] = {
      {"the leftmost leaf merges with its right sibling; the root goes",
       {1, 2, 3, 4, 5, 6},
       {{1, 2, 3}, {4, 5, 6}},
       1,
       {{2, 3, 4, 5, 6}},
       2},
      {"the leftmost leaf borrows from its right sibling",
       {1, 2, 3, 4, 5, 6, 7},
       {{1, 2, 3}, {4, 5, 6, 7}},
       1,
       {{2, 3, 4}, {5, 6, 7}},
       0},
      {"another leaf borrows from its left sibling",
       {1, 2, 3, 4, 5, 6, 0},
       {{0, 1, 2, 3}, {4, 5, 6}},
       5,
       {{0, 1, 2}, {3, 4, 6}},
       0},
      {"another leaf merges into its left sibling; the root goes",
       {1, 2, 3, 4, 5, 6},
       {{1, 2, 3}, {4, 5, 6}},
       5,
       {{1, 2, 3, 4, 6}},
       2},
      {"a leaf's last entry: the parent's separator follows",
       {1, 2, 3, 4, 5, 6, 7, 0},
       {{0, 1, 2, 3}, {4, 5, 6, 7}},
       3,
       {{0, 1, 2}, {4, 5, 6, 7}},
       0},
      {"the last entry of the rightmost leaf",
       {1, 2, 3, 4, 5, 6, 7},
       {{1, 2, 3}, {4, 5, 6, 7}},
       7,
       {{1, 2, 3}, {4, 5, 6}},
       0},
      {"the first entry of the rightmost leaf",
       {1, 2, 3, 4, 5, 6, 7, 0},
       {{0, 1, 2, 3}, {4, 5, 6, 7}},
       4,
       {{0, 1, 2, 3}, {5, 6, 7}},
       0},
  };
  for (const RebalanceCase& c : cases) {
    SCOPED_TRACE(c.name);
    TqdIndexTestTable table(TqdTestIndexShapes{{700, idNone}});
    table.Create();
    ASSERT_EQ(table.Tree().MaxLeafNodeKeyCount(), 5);
    auto trans = table.Begin();
    for (uint64_t value : c.inserts) ASSERT_TRUE(Insert(table, trans.get(), value, TqdRefNr(value) + 100));
    ASSERT_EQ(LeafValues(table, trans.get()), c.before);
    const uint32_t free = FreeBlocks(table, trans.get());
    const uint32_t pages = Values(table, trans.get()).pages;
    auto path = NewPath(table.Tree());
    ASSERT_TRUE(Delete(table, trans.get(), c.deleted, TqdRefNr(c.deleted) + 100, path.get()));
    EXPECT_EQ(LeafValues(table, trans.get()), c.after);
    EXPECT_TRUE(CheckBstarTree(table.Tree(), trans.get(), {true}));
    EXPECT_EQ(FreeBlocks(table, trans.get()), free + c.freed);
    EXPECT_EQ(Values(table, trans.get()).pages, pages - c.freed);
    EXPECT_EQ(Values(table, trans.get()).keys, c.inserts.size() - 1);
    // The path stands on the crack where the entry was, in the leaf that
    // holds its neighbours now.
    std::multiset<ModelEntry> model;
    for (uint64_t value : c.inserts)
      if (value != c.deleted) model.insert({value, TqdRefNr(value) + 100});
    const ModelEntry gone{c.deleted, TqdRefNr(c.deleted) + 100};
    EXPECT_TRUE(path->IsOnCrack());
    EXPECT_TRUE(path->Deleted);
    EXPECT_EQ(path->RefNr, gone.second);
    EXPECT_EQ(table.ValueOf(0, path->Key), gone.first);
    TqdBstarTreeShape shape;
    ASSERT_TRUE(CheckBstarTree(table.Tree(), trans.get(), {}, &shape));
    EXPECT_NE(std::find(shape.Leaves.begin(), shape.Leaves.end(), path->bpipPage), shape.Leaves.end());
    EXPECT_EQ(Step(table, trans.get(), *path, true), After(model, gone));
    EXPECT_EQ(Step(table, trans.get(), *path, false), Before(model, gone));
    trans->Commit();
  }
}

// The leaves of a tree from left to right with what the separator upkeep
// cares about.
struct LeafInfo {
  TqdBlockNumber block;
  int32_t count;
  // The leaf is its parent's last child.
  bool lastChild;
  TqdKeyValue last;
};

void WalkTree(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdBlockNumber aBlock, bool aLastChild,
              std::vector<LeafInfo>& aLeaves, std::vector<uint64_t>& aSeparators) {
  const std::vector<uint8_t> node = NodeImage(aTable, aTrans, aBlock);
  TqdTree& tree = aTable.Tree();
  const int32_t count = qdIndexNodeCount(node.data());
  if (qdIndexNodeKind(node.data()) == kIndexNodeLeaf) {
    const int32_t last = qdIndexNodeFirst(node.data()) + count - 1;
    aLeaves.push_back({aBlock, count, aLastChild, aTable.ValueOf(0, tree.LeafKey(node.data(), last))});
    return;
  }
  for (int32_t i = 0; i < count; ++i) aSeparators.push_back(*aTable.ValueOf(0, tree.NodeKey(node.data(), i)));
  for (int32_t i = 0; i <= count; ++i)
    WalkTree(aTable, aTrans, tree.TreePointer(node.data(), i), i == count, aLeaves, aSeparators);
}

TEST(BstarTreeDeleteSeparators, DeletingALeafsLastEntryKeepsEverySeparatorOnTheLastEntryOfItsSubtree) {
  // Keys of 1000 bytes: nodes of four entries, so a few hundred keys make
  // a tree of several levels. Model: with every separator the last entry
  // of the subtree on its left, the separators are exactly the last
  // entries of all leaves but the rightmost.
  TqdIndexTestTable table(TqdTestIndexShapes{{1000, idNone}});
  table.Create();
  ASSERT_EQ(table.Tree().MaxLeafNodeKeyCount(), 4);
  std::mt19937 random(5105);
  std::vector<uint64_t> values(400);
  for (size_t i = 0; i < values.size(); ++i) values[i] = (i + 1) * 10;
  std::shuffle(values.begin(), values.end(), random);
  auto trans = table.Begin();
  for (uint64_t value : values) ASSERT_TRUE(Insert(table, trans.get(), value, TqdRefNr(value)));
  // What the leaf whose last entry goes is: 0 not its parent's last child,
  // 1 its parent's last child but not the rightmost leaf (an ancestor
  // holds its bound), 2 the rightmost leaf (nothing bounds it).
  int hits[3] = {0, 0, 0};
  for (int round = 0; round < 90; ++round) {
    std::vector<LeafInfo> leaves;
    std::vector<uint64_t> separators;
    WalkTree(table, trans.get(), Values(table, trans.get()).root, true, leaves, separators);
    const int kind = round % 3;
    const LeafInfo* chosen = nullptr;
    for (size_t i = 0; i < leaves.size() && chosen == nullptr; ++i) {
      const int leafKind = i + 1 == leaves.size() ? 2 : (leaves[i].lastChild ? 1 : 0);
      // Three entries or more: the leaf does not underflow, so only the
      // upkeep changes separators.
      if (leafKind == kind && leaves[i].count >= 3) chosen = &leaves[i];
    }
    if (chosen == nullptr) continue;
    ++hits[kind];
    const uint64_t removed = *chosen->last;
    ASSERT_TRUE(Delete(table, trans.get(), removed, TqdRefNr(removed)));
    leaves.clear();
    separators.clear();
    WalkTree(table, trans.get(), Values(table, trans.get()).root, true, leaves, separators);
    std::vector<uint64_t> lastEntries;
    for (size_t i = 0; i + 1 < leaves.size(); ++i) lastEntries.push_back(*leaves[i].last);
    std::sort(separators.begin(), separators.end());
    std::sort(lastEntries.begin(), lastEntries.end());
    ASSERT_EQ(separators, lastEntries) << "after deleting " << removed;
    ASSERT_EQ(std::count(separators.begin(), separators.end(), removed), 0);
    ASSERT_TRUE(CheckBstarTree(table.Tree(), trans.get(), {true}));
  }
  EXPECT_GT(hits[0], 0);
  EXPECT_GT(hits[1], 0);
  EXPECT_GT(hits[2], 0);
  trans->Commit();
}

// --- Paths ----------------------------------------------------------------------------------------

// A leaf that holds more than half its capacity plus one, so that one
// deletion neither refills nor merges it, and the value in its middle.
uint64_t MiddleOfAFullLeaf(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdBlockNumber& aLeaf) {
  TqdTree& tree = aTable.Tree();
  const int32_t half = (tree.MaxLeafNodeKeyCount() + 1) / 2;
  TqdBstarTreeShape shape;
  EXPECT_TRUE(CheckBstarTree(tree, aTrans, {}, &shape));
  for (TqdBlockNumber block : shape.Leaves) {
    const std::vector<uint8_t> node = NodeImage(aTable, aTrans, block);
    const int32_t count = qdIndexNodeCount(node.data());
    if (count > half + 1) {
      aLeaf = block;
      return *aTable.ValueOf(0, tree.LeafKey(node.data(), qdIndexNodeFirst(node.data()) + count / 2));
    }
  }
  ADD_FAILURE() << "no leaf above half its capacity";
  return 0;
}

TEST(BstarTreeDeletePath, APathStandingOnTheEntryIsNotSearchedFromTheRootAgain) {
  TqdIndexTestTable table(TqdTestIndexShapes{{4, idNone}});
  table.Create();
  std::mt19937 random(42);
  auto trans = table.Begin();
  std::set<uint64_t> values;
  while (values.size() < 3000) values.insert(random() % 100000);
  for (uint64_t value : values) ASSERT_TRUE(Insert(table, trans.get(), value, TqdRefNr(value) + 1));
  trans->Commit();
  const uint32_t root = Values(table, nullptr).root;
  for (const bool withPath : {true, false}) {
    SCOPED_TRACE(withPath ? "with a path on the entry" : "without a path");
    auto change = table.Begin();
    TqdBlockNumber leaf = 0;
    const uint64_t value = MiddleOfAFullLeaf(table, change.get(), leaf);
    auto path = NewPath(table.Tree());
    std::vector<uint8_t> key = table.Key(0, value);
    ASSERT_TRUE(table.Tree().FindKey(change.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
    ASSERT_EQ(path->bpipPage, leaf);
    TqdIndexReadCounter counter(table);
    ASSERT_TRUE(Delete(table, change.get(), value, TqdRefNr(value) + 1, withPath ? path.get() : nullptr));
    const std::vector<TqdBlockNumber>& blocks = counter.Blocks();
    if (withPath) {
      // The leaf, and the indices info block that holds the index's counts
      // (a "QDIH" block of no node kind): no other node.
      for (TqdBlockNumber block : blocks) {
        if (block == leaf) continue;
        EXPECT_EQ(qdIndexNodeKind(NodeImage(table, change.get(), block).data()), kIndexNodeNone) << block;
      }
      EXPECT_NE(std::find(blocks.begin(), blocks.end(), leaf), blocks.end());
      EXPECT_TRUE(path->IsOnCrack() && path->Deleted);
    } else {
      EXPECT_NE(std::find(blocks.begin(), blocks.end(), root), blocks.end());
    }
    EXPECT_TRUE(CheckBstarTree(table.Tree(), change.get(), {true}));
    change->Rollback();
  }
}

// Where a path stood before its entry was deleted by another operation.
enum class Target { MiddleOfALeaf, LastOfALeaf, LeafMergedAway };

struct DeletedElsewhereCase {
  const char* name;
  Target target;
  bool commitBetween;
};

TEST(BstarTreeDeletePath, APathWhoseEntryWasDeletedElsewhereComesBackDeletedOnTheCrack) {
  const DeletedElsewhereCase cases[] = {
      {"an entry in the middle of its leaf", Target::MiddleOfALeaf, false},
      {"the same, deleted and seen in later transactions", Target::MiddleOfALeaf, true},
      {"the last entry of its leaf", Target::LastOfALeaf, false},
      {"an entry whose leaf was merged away", Target::LeafMergedAway, false},
      {"the same, deleted and seen in later transactions", Target::LeafMergedAway, true},
  };
  for (const DeletedElsewhereCase& c : cases) {
    SCOPED_TRACE(c.name);
    const bool small = c.target == Target::LeafMergedAway;
    TqdIndexTestTable table(TqdTestIndexShapes{{small ? 700 : 4, idNone}});
    table.Create();
    std::multiset<ModelEntry> model;
    auto trans = table.Begin();
    std::mt19937 random(7);
    if (small) {
      // Leaves {1, 2, 3} and {4, 5, 6}; deleting 5 merges the right one
      // into the left.
      for (uint64_t value = 1; value <= 6; ++value) model.insert({value, TqdRefNr(value)});
    } else {
      while (model.size() < 3000) {
        const uint64_t value = random() % 100000;
        if (model.count({value, TqdRefNr(value)}) == 0) model.insert({value, TqdRefNr(value)});
      }
    }
    for (const ModelEntry& e : model) ASSERT_TRUE(Insert(table, trans.get(), e.first, e.second));
    uint64_t target = 5;
    if (c.target == Target::MiddleOfALeaf) {
      TqdBlockNumber leaf = 0;
      target = MiddleOfAFullLeaf(table, trans.get(), leaf);
    } else if (c.target == Target::LastOfALeaf) {
      std::vector<LeafInfo> leaves;
      std::vector<uint64_t> separators;
      WalkTree(table, trans.get(), Values(table, trans.get()).root, true, leaves, separators);
      ASSERT_GE(leaves.size(), 2u);
      target = *leaves[0].last;
    }
    auto path = NewPath(table.Tree());
    std::vector<uint8_t> key = table.Key(0, target);
    ASSERT_TRUE(table.Tree().FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
    const uint32_t pages = Values(table, trans.get()).pages;
    if (c.commitBetween) {
      trans->Commit();
      trans = table.Begin();
    }
    ASSERT_TRUE(Delete(table, trans.get(), target, TqdRefNr(target)));
    model.erase({target, TqdRefNr(target)});
    if (small) {
      ASSERT_EQ(Values(table, trans.get()).pages, pages - 2);
    }
    if (c.commitBetween) {
      trans->Commit();
      trans = table.Begin();
    }
    table.Tree().ValidateIndexPath(trans.get(), path.get());
    EXPECT_TRUE(path->Deleted);
    EXPECT_TRUE(path->IsOnCrack());
    EXPECT_EQ(path->CheckCurrentState(), qdeKeyOrRecDeleted);
    EXPECT_EQ(table.ValueOf(0, path->Key), target);
    const ModelEntry gone{target, TqdRefNr(target)};
    EXPECT_EQ(Step(table, trans.get(), *path, true), After(model, gone));
    EXPECT_EQ(Step(table, trans.get(), *path, false), Before(model, gone));
    trans->Commit();
  }
}

// --- Small cases ----------------------------------------------------------------------------------

TEST(BstarTreeDelete, TheOnlyEntryTakesTheRootLeafWithIt) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idAll}});
  table.Create();
  auto trans = table.Begin();
  ASSERT_TRUE(Insert(table, trans.get(), 42, 7));
  trans->Commit();
  trans = table.Begin();
  const uint32_t free = FreeBlocks(table, trans.get());
  auto path = NewPath(table.Tree());
  ASSERT_TRUE(Delete(table, trans.get(), 42, 7, path.get()));
  EXPECT_TRUE(path->IsBof());
  EXPECT_FALSE(path->Deleted);
  const HeaderValues empty = Values(table, trans.get());
  EXPECT_EQ(empty.root, qdIndexRootNone);
  EXPECT_EQ(empty.pages, 0u);
  EXPECT_EQ(empty.keys, 0u);
  EXPECT_EQ(FreeBlocks(table, trans.get()), free + 1);
  EXPECT_FALSE(Delete(table, trans.get(), 42, 7));
  trans->Commit();
  path.reset();  // before its engine goes
  table.Reopen();
  EXPECT_TRUE(CheckBstarTree(table.Tree(), nullptr));
  EXPECT_EQ(Values(table, nullptr).root, qdIndexRootNone);
}

struct MissingCase {
  const char* name;
  TqdIndexDups dups;
  TqdKeyValue value;
  TqdRefNr refNr;
};

TEST(BstarTreeDelete, AnEntryTheIndexDoesNotHoldIsReportedAndNothingChanges) {
  const MissingCase cases[] = {
      {"unique index: the key with another record", idNone, 50, 999},
      {"unique index: a key between two others", idNone, 55, 56},
      {"unique index: a key above all", idNone, 5000, 5001},
      {"duplicates: the key with another record", idAll, 50, 999},
      {"duplicates: a key below all", idAll, 1, 2},
      {"duplicates for nulls: a null key with another record", idNull, std::nullopt, 999},
  };
  for (const MissingCase& c : cases) {
    SCOPED_TRACE(c.name);
    TqdIndexTestTable table(TqdTestIndexShapes{{9, c.dups}});
    table.Create();
    auto trans = table.Begin();
    EXPECT_FALSE(Delete(table, trans.get(), c.value, c.refNr)) << "empty index";
    for (uint64_t value = 10; value <= 2000; value += 10) ASSERT_TRUE(Insert(table, trans.get(), value, value + 1));
    if (c.dups == idNull) {
      ASSERT_TRUE(Insert(table, trans.get(), std::nullopt, 5));
    }
    trans->Commit();
    const std::vector<ModelEntry> before = CheckedEntries(table, nullptr);
    trans = table.Begin();
    auto path = NewPath(table.Tree());
    EXPECT_FALSE(Delete(table, trans.get(), c.value, c.refNr, path.get()));
    EXPECT_EQ(CheckedEntries(table, trans.get()), before);
    EXPECT_EQ(Values(table, trans.get()).keys, before.size());
    EXPECT_EQ(trans->CheckState(), 0u);
    trans->Commit();
  }
}

TEST(BstarTreeDelete, DeleteAllKeysFreesTheWholeTreeAndAnEmptyIndexOnlyResetsItsCounts) {
  TqdIndexTestTable table(TqdTestIndexShapes{{33, idAll}});
  table.Create();
  auto trans = table.Begin();
  table.Tree().DeleteAllKeys(trans.get());
  EXPECT_EQ(Values(table, trans.get()).root, qdIndexRootNone);
  EXPECT_EQ(Values(table, trans.get()).pages, 0u);
  EXPECT_EQ(Values(table, trans.get()).keys, 0u);
  trans->Commit();

  trans = table.Begin();
  std::mt19937 random(3);
  std::vector<uint64_t> values;
  for (int i = 0; i < 5000; ++i) values.push_back(random() % 700);
  for (size_t i = 0; i < values.size(); ++i) ASSERT_TRUE(Insert(table, trans.get(), values[i], TqdRefNr(i) + 1));
  trans->Commit();
  const HeaderValues full = Values(table, nullptr);
  const uint32_t used = UsedBlocks(table, nullptr);
  ASSERT_GT(full.pages, 50u);

  // A rollback brings every node back.
  trans = table.Begin();
  table.Tree().DeleteAllKeys(trans.get());
  EXPECT_TRUE(CheckBstarTree(table.Tree(), trans.get()));
  trans->Rollback();
  EXPECT_EQ(CheckedEntries(table, nullptr).size(), values.size());

  trans = table.Begin();
  table.Tree().DeleteAllKeys(trans.get());
  const HeaderValues empty = Values(table, trans.get());
  EXPECT_EQ(empty.root, qdIndexRootNone);
  EXPECT_EQ(empty.pages, 0u);
  EXPECT_EQ(empty.keys, 0u);
  EXPECT_TRUE(CheckBstarTree(table.Tree(), trans.get()));
  trans->Commit();
  // Every node went back to the file: building the same tree again takes
  // no new block.
  table.Reopen();
  trans = table.Begin();
  for (size_t i = 0; i < values.size(); ++i) ASSERT_TRUE(Insert(table, trans.get(), values[i], TqdRefNr(i) + 1));
  EXPECT_EQ(Values(table, trans.get()).pages, full.pages);
  EXPECT_EQ(UsedBlocks(table, trans.get()), used);
  trans->Commit();
}

TEST(BstarTreeDelete, TheThreadsDeadlineEndsDeleteAllKeysAndARollbackBringsTheTreeBack) {
  TqdIndexTestTable table(TqdTestIndexShapes{{4, idNone}});
  table.Create();
  auto trans = table.Begin();
  for (uint64_t value = 0; value < 5000; ++value) ASSERT_TRUE(Insert(table, trans.get(), value, TqdRefNr(value) + 1));
  trans->Commit();
  const std::vector<ModelEntry> before = CheckedEntries(table, nullptr);
  static int calls;
  calls = 0;
  qdCheckTimeoutHook = [] {
    if (++calls > 5) throw EqdBaseException(qdeTimeout);
  };
  trans = table.Begin();
  EXPECT_EQ(CodeOf([&] { table.Tree().DeleteAllKeys(trans.get()); }), qdeTimeout);
  qdCheckTimeoutHook = nullptr;
  EXPECT_EQ(trans->CheckState(), qdeTransCorrupt);
  trans->Rollback();
  EXPECT_EQ(CheckedEntries(table, nullptr), before);
}

// --- Damaged trees --------------------------------------------------------------------------------

struct DamageCase {
  const char* name;
  // Damages the committed tree of table (root aRoot, the first two leaves
  // aLeaf and aNextLeaf).
  std::function<void(TqdIndexTestTable&, TqdBlockNumber aRoot, TqdBlockNumber aLeaf, TqdBlockNumber aNextLeaf)> damage;
  TqdResult deleteKey;
  // DeleteKey had changed a node when it met the damage.
  bool deleteKeyChanged;
  TqdResult deleteAllKeys;
};

TEST(BstarTreeDeleteDamage, ADamagedTreeRaisesInsteadOfLoopingOrReadingOutOfBounds) {
  const DamageCase cases[] = {
      {"an internal node pointing back to itself: a cycle deeper than 64 levels",
       [](TqdIndexTestTable& t, TqdBlockNumber aRoot, TqdBlockNumber, TqdBlockNumber) {
         PokeU32(t, aRoot, kIndexBlockHeaderSize, aRoot);
       },
       qdeFileCorrupt, false, qdeFileCorrupt},
      {"a leaf count beyond the leaf's capacity",
       [](TqdIndexTestTable& t, TqdBlockNumber, TqdBlockNumber aLeaf, TqdBlockNumber) {
         Poke(t, aLeaf, kIndexBlockCount, {0xFF, 0xFF});
       },
       qdeFileCorrupt, false, qdeFileCorrupt},
      {"the sibling an underflowing leaf would refill from",
       [](TqdIndexTestTable& t, TqdBlockNumber, TqdBlockNumber, TqdBlockNumber aNextLeaf) {
         Poke(t, aNextLeaf, kIndexBlockCount, {0xFF, 0xFF});
       },
       qdeFileCorrupt, true, qdeFileCorrupt},
      {"a node of unknown kind",
       [](TqdIndexTestTable& t, TqdBlockNumber aRoot, TqdBlockNumber, TqdBlockNumber) {
         Poke(t, aRoot, kIndexBlockKind, {7});
       },
       qdeFileCorrupt, false, qdeFileCorrupt},
      {"a child pointer beyond the file",
       [](TqdIndexTestTable& t, TqdBlockNumber aRoot, TqdBlockNumber, TqdBlockNumber) {
         PokeU32(t, aRoot, kIndexBlockHeaderSize, 0x00FFFFFF);
       },
       qdeBadBlockNum, false, qdeBadBlockNum},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    TqdIndexTestTable table(TqdTestIndexShapes{{4, idNone}});
    table.Create();
    auto trans = table.Begin();
    for (uint64_t value = 0; value < 2000; ++value) ASSERT_TRUE(Insert(table, trans.get(), value, TqdRefNr(value) + 1));
    trans->Commit();
    TqdBstarTreeShape shape;
    ASSERT_TRUE(CheckBstarTree(table.Tree(), nullptr, {}, &shape));
    ASSERT_EQ(shape.Depth, 2);
    // Ascending inserts leave the first leaf exactly half full: one
    // deletion makes it refill from the next.
    const int32_t half = (table.Tree().MaxLeafNodeKeyCount() + 1) / 2;
    ASSERT_EQ(qdIndexNodeCount(NodeImage(table, nullptr, shape.Leaves[0]).data()), half);
    c.damage(table, shape.Root, shape.Leaves[0], shape.Leaves[1]);

    // The first key sits in the first leaf, under pointer 0. A deletion
    // that met the damage after changing a node can only be rolled back.
    trans = table.Begin();
    EXPECT_EQ(CodeOf([&] { (void)Delete(table, trans.get(), 0, 1); }), c.deleteKey);
    EXPECT_EQ(trans->CheckState(), c.deleteKeyChanged ? qdeTransCorrupt : 0u);
    trans->Rollback();
    trans = table.Begin();
    EXPECT_EQ(CodeOf([&] { table.Tree().DeleteAllKeys(trans.get()); }), c.deleteAllKeys);
    // Freeing stopped half way: the transaction can only be rolled back.
    EXPECT_EQ(trans->CheckState(), qdeTransCorrupt);
    trans->Rollback();
  }
}

// --- Inserts and deletes against a model ------------------------------------------------------------

struct MixedCase {
  int32_t keyLength;
  TqdIndexDups dups;
  uint64_t range;
};

TEST(BstarTreeDeleteModel, RandomInsertsAndDeletesWithCommitsRollbacksAndReopensAgreeWithAModel) {
  // 10^5 steps per index kind. Each step is checked at once (result and
  // key count), the whole index after every hundred transactions. A
  // transaction groups up to 60 steps and then commits or (one in four)
  // rolls back; every 20 transactions the table is reopened.
  const MixedCase cases[] = {{9, idAll, 20000}, {4, idNone, 6000}};
  for (const MixedCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "key " << c.keyLength << " dups " << int(c.dups));
    TqdIndexTestTable table(TqdTestIndexShapes{{c.keyLength, c.dups}});
    table.Create();
    std::mt19937_64 random(uint64_t(c.keyLength) * 1000003 + uint64_t(c.dups));
    std::multiset<ModelEntry> committed;
    std::vector<ModelEntry> committedPool;
    std::set<uint64_t> committedValues;
    TqdRefNr nextRef = 1;
    int32_t transactions = 0;
    int32_t step = 0;
    const int32_t steps = 100000;
    while (step < steps) {
      std::multiset<ModelEntry> model = committed;
      std::vector<ModelEntry> pool = committedPool;
      std::set<uint64_t> values = committedValues;
      auto trans = table.Begin();
      TqdTree& tree = table.Tree();
      auto path = NewPath(tree);
      const int32_t changes = int32_t(random() % 60) + 1;
      for (int32_t i = 0; i < changes; ++i, ++step) {
        const uint32_t kind = uint32_t(random() % 100);
        if (pool.empty() || kind < 52) {
          const uint64_t value = random() % c.range;
          const TqdRefNr refNr = nextRef++;
          const bool expected = c.dups == idAll || values.count(value) == 0;
          ASSERT_EQ(Insert(table, trans.get(), value, refNr), expected) << "step " << step;
          if (expected) {
            model.insert({value, refNr});
            pool.push_back({value, refNr});
            values.insert(value);
          }
        } else if (kind < 94) {
          const size_t at = size_t(random() % pool.size());
          const ModelEntry entry = pool[at];
          pool[at] = pool.back();
          pool.pop_back();
          const bool onEntry = kind % 4 == 0;
          if (onEntry) {
            std::vector<uint8_t> key = table.Key(0, entry.first);
            ASSERT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, entry.second, path.get(), skaEqualFirst, nullptr));
          }
          ASSERT_TRUE(Delete(table, trans.get(), entry.first, entry.second, kind % 2 == 0 ? path.get() : nullptr))
              << "step " << step;
          model.erase(model.find(entry));
          values.erase(*entry.first);
          if (kind % 2 == 0 && !model.empty()) {
            ASSERT_EQ(Step(table, trans.get(), *path, true), After(model, entry)) << "step " << step;
            ASSERT_EQ(Step(table, trans.get(), *path, false), Before(model, entry)) << "step " << step;
          }
        } else {
          // An entry the index never held.
          const uint64_t value = random() % c.range;
          ASSERT_FALSE(Delete(table, trans.get(), value, nextRef + 1000000)) << "step " << step;
        }
        uint32_t count = 0;
        tree.GetKeyCount(trans.get(), count);
        ASSERT_EQ(count, model.size()) << "step " << step;
      }
      if (random() % 4 == 0) {
        trans->Rollback();
      } else {
        trans->Commit();
        committed = std::move(model);
        committedPool = std::move(pool);
        committedValues = std::move(values);
      }
      path.reset();
      if (++transactions % 20 == 0) table.Reopen();
      if (transactions % 100 == 0 || step >= steps) {
        const std::vector<ModelEntry> entries = CheckedEntries(table, nullptr);
        ASSERT_TRUE(std::equal(entries.begin(), entries.end(), committed.begin(), committed.end()))
            << "after step " << step;
      }
    }
  }
}

}  // namespace
}  // namespace qd::test
