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
  TqdIndexTestTable table(TqdTestIndexSpecs{{c.keyLength, c.dups}}, c.blockSize);
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

}  // namespace
}  // namespace qd::test
