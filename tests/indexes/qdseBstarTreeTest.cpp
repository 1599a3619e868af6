// The static-key B*-tree: layout and descriptor checks, insertion with
// leaf and node splits against a model, the placement of entries in a
// leaf's window, duplicate rules, FindKey by action, stepping, path
// revalidation, and damaged nodes that must raise 8962 instead of reading
// out of bounds. Every test that changes a tree runs the invariant checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "dictionary/qdsdKeyEngineBase.h"
#include "tests/indexes/qdseBstarTreeChecker.h"
#include "tests/indexes/qdseIndexTestFixture.h"

namespace qd::test {
namespace {

using TqdPath = TqdStaticKeyBstarTreeIndexPath;

std::unique_ptr<TqdPath> NewPath(TqdStaticKeyBstarTreeIndexEngine& aEngine) {
  return std::unique_ptr<TqdPath>(static_cast<TqdPath*>(aEngine.CreateIndexPath()));
}

// One stored entry as the model sees it.
using ModelEntry = std::pair<TqdKeyValue, TqdRefNr>;

std::vector<ModelEntry> TreeEntries(TqdIndexTestTable& aTable, int32_t aIndex, TqdBaseTransaction* aTrans) {
  std::vector<TqdBstarTreeEntry> entries;
  EXPECT_TRUE(CheckBstarTree(aTable.Tree(aIndex), aTrans, {}, nullptr, &entries));
  std::vector<ModelEntry> result;
  for (const TqdBstarTreeEntry& e : entries) result.emplace_back(aTable.ValueOf(aIndex, e.Key.data()), e.RefNr);
  return result;
}

// The root leaf (or any node) image as aTrans sees it.
std::vector<uint8_t> NodeImage(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdBlockNumber aBlock) {
  TqdBaseFile* file = aTable.Access()._File();
  TqdBlockRef block = file->fiBufMgr->GetBlock(file, aTrans, aBlock, false);
  return std::vector<uint8_t>(block.Data(), block.Data() + aTable.Access().fiBlockSizeBytes());
}

uint32_t RootOf(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, int32_t aIndex = 0) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(aTable.Tree(aIndex).CreateHeaderAccess(aTrans, false, false, 0, 0));
  return access->GetIndexRoot();
}

// --- Layout ----------------------------------------------------------------------------------------

struct LayoutCase {
  int32_t keyLength;
  TqdIndexDups dups;
  int32_t stored;
  int32_t leafEntry;
  int32_t nodeEntry;
};

TEST(BstarTreeLayout, StoredKeyLengthsEntrySizesAndCapacities) {
  // 4 KB blocks of a "QD!2" file leave 4092 bytes.
  const LayoutCase cases[] = {
      {4, idNone, 4, 12, 8},        {32, idNone, 32, 40, 36}, {33, idNone, 36, 44, 40},
      {100, idNone, 100, 108, 104}, {33, idAll, 36, 44, 48},  {9, idNull, 9, 17, 21},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "key " << c.keyLength << " dups " << int(c.dups));
    TqdIndexTestTable table(TqdTestIndexShapes{{c.keyLength, c.dups}});
    table.Create();
    TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
    EXPECT_EQ(tree.KeyEngine()->KeyLength(), c.keyLength);
    EXPECT_EQ(tree.DescKeyLength(), c.stored);
    EXPECT_EQ(tree.SizeOfLeafNodeKeyPair(), c.leafEntry);
    EXPECT_EQ(tree.SizeOfInternalNodeKeyPair(), c.nodeEntry);
    EXPECT_EQ(tree.MaxLeafNodeKeyCount(), (4092 - 40) / c.leafEntry);
    EXPECT_EQ(tree.MaxInternalNodeKeyCount(), (4092 - 44) / c.nodeEntry);
  }
}

TEST(BstarTreeLayout, DescriptorCheckRaisesTheBlockSizeOrRefusesTheKey) {
  TqdIndexTestTable big(TqdTestIndexShapes{{1100, idAll}});
  big.Create();
  // Four separators of 1100 + 8 + 4 bytes do not fit 4 KB.
  EXPECT_EQ(big.Dict().FilesDescriptor()->FileDescriptor(0)->BlockSize(), qdbs8k);
  EXPECT_EQ(big.Access().fiBlockSizeBytes(), 8192u - 4u);
  EXPECT_GE(big.Tree().MaxInternalNodeKeyCount(), 4);

  TqdServerDataDict dict;
  dict.IndicesDescriptor()->RemoveIndex(0);
  dict.FieldsDescriptor()->AddField(u"Big", u"", qdtByteArray, 16400, 0, false);
  TqdIndexDescriptor* index = dict.IndicesDescriptor()->AddIndex(u"Huge", 0, idNone, u"");
  static_cast<TqdCompKeyDescriptor*>(index->KeyDescriptor())->Add(0);
  EXPECT_EQ(CodeOf([&] { TqdStaticKeyBstarTreeIndexEngine::CheckValidDescriptor(index); }), qdeKeyTooLarge);
  EXPECT_NE(MessageOf([&] {
              TqdStaticKeyBstarTreeIndexEngine::CheckValidDescriptor(index);
            }).find("Maximum key size has been exceeded. Index: #0 Huge"),
            std::string::npos);
}

// --- Random insertion against a model ----------------------------------------------------------------

struct RandomCase {
  int32_t keyLength;
  TqdIndexDups dups;
  TqdBlockSize blockSize;
};

class BstarTreeRandomInsertTest : public testing::TestWithParam<RandomCase> {};

TEST_P(BstarTreeRandomInsertTest, CheckerPassesAndEveryKeyIsFoundAfterEachBatchAndAfterReopen) {
  const RandomCase c = GetParam();
  TqdIndexTestTable table(TqdTestIndexShapes{{c.keyLength, c.dups}}, c.blockSize);
  table.Create();
  std::mt19937_64 random(uint64_t(c.keyLength) * 131 + uint64_t(c.dups) * 7 + uint64_t(c.blockSize));
  // Small keys hold 3 bytes of value; duplicates come from a narrow range.
  const uint64_t range = c.dups == idAll ? 5000 : (c.keyLength == 4 ? (1u << 24) : ~uint64_t(0));
  std::multiset<ModelEntry> model;
  std::set<uint64_t> used;
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  auto trans = table.Begin();
  auto path = NewPath(tree);
  TqdRefNr nextRef = 1;
  const TqdBstarTreeCheckOptions minFill{true};
  auto findAll = [&](TqdBaseTransaction* aTrans, TqdStaticKeyBstarTreeIndexEngine& aTree) {
    auto finder = NewPath(aTree);
    for (const ModelEntry& e : model) {
      if (!e.first) continue;
      std::vector<uint8_t> key = table.Key(0, e.first);
      ASSERT_TRUE(aTree.FindKey(aTrans, key.data(), 0, 0, 0, finder.get(), skaEqualFirst, nullptr))
          << "value " << *e.first;
      ASSERT_EQ(table.ValueOf(0, finder->Key), e.first);
    }
  };
  for (int batch = 0; batch < 20; ++batch) {
    for (int i = 0; i < 1000; ++i) {
      TqdKeyValue value;
      if (c.dups == idNull && random() % 10 == 0) {
        value = std::nullopt;  // null keys may repeat
      } else {
        do value = random() % range;
        while (c.dups != idAll && !used.insert(*value).second);
      }
      const TqdRefNr refNr = nextRef++;
      std::vector<uint8_t> key = table.Key(0, value);
      ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), refNr, 0, path.get()));
      ASSERT_TRUE(path->IsOnKey());
      ASSERT_EQ(path->RefNr, refNr);
      model.insert({value, refNr});
    }
    ASSERT_TRUE(CheckBstarTree(tree, trans.get(), minFill));
    std::vector<ModelEntry> entries = TreeEntries(table, 0, trans.get());
    std::sort(entries.begin(), entries.end());
    ASSERT_TRUE(std::equal(entries.begin(), entries.end(), model.begin(), model.end()));
    findAll(trans.get(), tree);
  }
  uint32_t count = 0;
  tree.GetKeyCount(trans.get(), count);
  EXPECT_EQ(count, 20000u);
  trans->Commit();
  path.reset();  // it belongs to the engine about to close
  table.Reopen();
  auto reader = table.Begin();
  ASSERT_TRUE(CheckBstarTree(table.Tree(), reader.get(), minFill));
  findAll(reader.get(), table.Tree());
  reader->Commit();
}

std::vector<RandomCase> RandomCases() {
  std::vector<RandomCase> cases;
  for (int32_t length : {4, 32, 33, 100})
    for (TqdIndexDups dups : {idNone, idAll, idNull})
      for (TqdBlockSize size : {qdbs4k, qdbs16k}) cases.push_back({length, dups, size});
  return cases;
}

std::string RandomCaseName(const testing::TestParamInfo<RandomCase>& aInfo) {
  static const char* const kDups[] = {"Unique", "DupsNull", "DupsAll"};
  return "Key" + std::to_string(aInfo.param.keyLength) + kDups[aInfo.param.dups] +
         (aInfo.param.blockSize == qdbs4k ? "4k" : "16k");
}

INSTANTIATE_TEST_SUITE_P(KeysDupsBlocks, BstarTreeRandomInsertTest, testing::ValuesIn(RandomCases()), RandomCaseName);

TEST(BstarTreeInsert, AscendingAndDescendingRunsSplitUpToSeveralLevels) {
  for (const bool descending : {false, true}) {
    SCOPED_TRACE(descending ? "descending" : "ascending");
    // 100-byte keys: 37 entries a leaf, 38 keys a node.
    TqdIndexTestTable table(TqdTestIndexShapes{{100, idNone}});
    table.Create();
    auto trans = table.Begin();
    const int32_t n = 20000;
    for (int32_t i = 0; i < n; ++i) {
      const uint64_t value = uint64_t(descending ? n - i : i);
      std::vector<uint8_t> key = table.Key(0, value);
      ASSERT_TRUE(table.Tree().InsertKey(trans.get(), key.data(), i + 1, 0, nullptr));
    }
    TqdBstarTreeShape shape;
    ASSERT_TRUE(CheckBstarTree(table.Tree(), trans.get(), {true}, &shape));
    EXPECT_EQ(shape.Keys, uint32_t(n));
    EXPECT_GE(shape.Depth, 3);
    trans->Commit();
  }
}

// --- Placement in the leaf window ---------------------------------------------------------------------

TEST(BstarTreeLeafWindow, TheFirstKeySitsInTheMiddleOfTheRootLeaf) {
  TqdIndexTestTable table(TqdTestIndexShapes{{4, idNone}});
  table.Create();
  auto trans = table.Begin();
  std::vector<uint8_t> key = table.Key(0, 42);
  ASSERT_TRUE(table.Tree().InsertKey(trans.get(), key.data(), 7, 0, nullptr));
  const std::vector<uint8_t> root = NodeImage(table, trans.get(), RootOf(table, trans.get()));
  const int32_t capacity = table.Tree().MaxLeafNodeKeyCount();
  EXPECT_EQ(qdIndexNodeKind(root.data()), kIndexNodeLeaf);
  EXPECT_EQ(qdIndexNodeFirst(root.data()), capacity / 2);
  EXPECT_EQ(qdIndexNodeCount(root.data()), 1);
  EXPECT_EQ(qdIndexNodePrev(root.data()), kNoBlock);
  EXPECT_EQ(qdIndexNodeNext(root.data()), kNoBlock);
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckBstarTree(table.Tree(), trans.get(), {}, &shape));
  EXPECT_EQ(shape.Nodes, 1u);
  trans->Commit();
}

TEST(BstarTreeLeafWindow, InsertingInFrontOfAWindowAtSlotZeroCentresIt) {
  TqdIndexTestTable table(TqdTestIndexShapes{{4, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  const int32_t capacity = tree.MaxLeafNodeKeyCount();
  // Descending inserts push the window to slot 0.
  int32_t value = 10000;
  for (;;) {
    std::vector<uint8_t> key = table.Key(0, uint64_t(value));
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), value, 0, nullptr));
    --value;
    if (qdIndexNodeFirst(NodeImage(table, trans.get(), RootOf(table, trans.get())).data()) == 0) break;
  }
  const int32_t n = qdIndexNodeCount(NodeImage(table, trans.get(), RootOf(table, trans.get())).data());
  std::vector<uint8_t> key = table.Key(0, uint64_t(value));
  ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), value, 0, nullptr));
  const std::vector<uint8_t> root = NodeImage(table, trans.get(), RootOf(table, trans.get()));
  EXPECT_EQ(qdIndexNodeFirst(root.data()), (capacity - n - 1) / 2);
  EXPECT_EQ(qdIndexNodeCount(root.data()), n + 1);
  EXPECT_TRUE(CheckBstarTree(tree, trans.get()));
  trans->Commit();
}

// Fills the root leaf with the values 0, 10, 20, ... (a full leaf starts at
// slot 0, value 10 s at slot s), then inserts aValue.
struct SplitResult {
  int32_t capacity;
  uint32_t leftCount;
  uint32_t rightCount;
  TqdKeyValue separator;
  TqdBlockNumber newEntryLeaf;
  TqdBlockNumber left;
};

SplitResult SplitFullLeaf(TqdIndexTestTable& aTable, uint64_t aValue) {
  SplitResult result{};
  auto trans = aTable.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = aTable.Tree();
  result.capacity = tree.MaxLeafNodeKeyCount();
  for (int32_t s = 0; s < result.capacity; ++s) {
    std::vector<uint8_t> key = aTable.Key(0, uint64_t(s) * 10);
    EXPECT_TRUE(tree.InsertKey(trans.get(), key.data(), s + 1, 0, nullptr));
  }
  const TqdBlockNumber leaf = RootOf(aTable, trans.get());
  const std::vector<uint8_t> full = NodeImage(aTable, trans.get(), leaf);
  EXPECT_EQ(qdIndexNodeFirst(full.data()), 0);
  EXPECT_EQ(qdIndexNodeCount(full.data()), result.capacity);
  auto path = NewPath(tree);
  std::vector<uint8_t> key = aTable.Key(0, aValue);
  EXPECT_TRUE(tree.InsertKey(trans.get(), key.data(), 99999, 0, path.get()));
  result.newEntryLeaf = path->bpipPage;
  TqdBstarTreeShape shape;
  EXPECT_TRUE(CheckBstarTree(tree, trans.get(), {true}, &shape));
  EXPECT_EQ(shape.Depth, 2);
  EXPECT_EQ(shape.Leaves.size(), 2u);
  if (shape.Leaves.size() == 2) {
    result.left = shape.Leaves[0];
    EXPECT_EQ(result.left, leaf);
    result.leftCount = qdIndexNodeCount(NodeImage(aTable, trans.get(), shape.Leaves[0]).data());
    result.rightCount = qdIndexNodeCount(NodeImage(aTable, trans.get(), shape.Leaves[1]).data());
    const std::vector<uint8_t> root = NodeImage(aTable, trans.get(), shape.Root);
    EXPECT_EQ(qdIndexNodeCount(root.data()), 1);
    result.separator = aTable.ValueOf(0, tree.NodeKey(root.data(), 0));
  }
  trans->Commit();
  return result;
}

TEST(BstarTreeLeafSplit, OddCapacityWithInsertionAfterTheMiddleKeepsHalfRoundedUp) {
  TqdIndexTestTable table(TqdTestIndexShapes{{4, idNone}});  // (4092 - 40) / 12 = 337 entries
  table.Create();
  const int32_t capacity = table.Tree().MaxLeafNodeKeyCount();
  ASSERT_EQ(capacity % 2, 1);
  const SplitResult split = SplitFullLeaf(table, uint64_t(capacity / 2 + 5) * 10 + 5);
  const uint32_t kept = uint32_t(capacity + 1) / 2;
  EXPECT_EQ(split.leftCount, kept);
  EXPECT_EQ(split.rightCount, uint32_t(capacity) - kept + 1);
  EXPECT_NE(split.newEntryLeaf, split.left);
  EXPECT_EQ(split.separator, uint64_t(kept - 1) * 10);
}

TEST(BstarTreeLeafSplit, TheEntryAtTheSplitPointGoesToTheSmallerLeaf) {
  {
    // Odd capacity: the old leaf keeps capacity div 2, one fewer than the
    // new one, and takes the entry at its end (it becomes the separator).
    TqdIndexTestTable table(TqdTestIndexShapes{{4, idNone}});
    table.Create();
    const int32_t capacity = table.Tree().MaxLeafNodeKeyCount();
    const int32_t s = capacity / 2;
    const uint64_t value = uint64_t(s - 1) * 10 + 5;
    const SplitResult split = SplitFullLeaf(table, value);
    EXPECT_EQ(split.newEntryLeaf, split.left);
    EXPECT_EQ(split.leftCount, uint32_t(s) + 1);
    EXPECT_EQ(split.rightCount, uint32_t(capacity - s));
    EXPECT_EQ(split.separator, value);
  }
  {
    // Even capacity (key 36 bytes: 92 entries): equal halves, the new leaf
    // takes it.
    TqdIndexTestTable table(TqdTestIndexShapes{{33, idNone}});
    table.Create();
    const int32_t capacity = table.Tree().MaxLeafNodeKeyCount();
    ASSERT_EQ(capacity % 2, 0);
    const int32_t s = capacity / 2;
    const SplitResult split = SplitFullLeaf(table, uint64_t(s - 1) * 10 + 5);
    EXPECT_NE(split.newEntryLeaf, split.left);
    EXPECT_EQ(split.leftCount, uint32_t(s));
    EXPECT_EQ(split.rightCount, uint32_t(capacity - s) + 1);
    EXPECT_EQ(split.separator, uint64_t(s - 1) * 10);
  }
}

// --- Duplicate rules ------------------------------------------------------------------------------

TEST(BstarTreeDuplicates, UniqueRefusesAnEqualKeyAndLeavesTheTreeUnchanged) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  for (uint64_t v = 0; v < 2000; ++v) {
    std::vector<uint8_t> key = table.Key(0, v * 3);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(v + 1), 0, nullptr));
  }
  const std::vector<ModelEntry> before = TreeEntries(table, 0, trans.get());
  for (uint64_t v : {0ull, 999ull * 3, 1999ull * 3}) {
    std::vector<uint8_t> key = table.Key(0, v);
    auto path = NewPath(tree);
    EXPECT_FALSE(tree.InsertKey(trans.get(), key.data(), 123456, 0, path.get()));
    EXPECT_FALSE(path->IsOnKey());
  }
  EXPECT_EQ(TreeEntries(table, 0, trans.get()), before);
  uint32_t count = 0;
  tree.GetKeyCount(trans.get(), count);
  EXPECT_EQ(count, 2000u);
  trans->Commit();
}

TEST(BstarTreeDuplicates, DupsAllAcceptsAnotherReferenceAndRefusesTheSameOne) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idAll}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  std::vector<uint8_t> key = table.Key(0, 5);
  EXPECT_TRUE(tree.InsertKey(trans.get(), key.data(), 1, 0, nullptr));
  EXPECT_TRUE(tree.InsertKey(trans.get(), key.data(), 2, 0, nullptr));
  EXPECT_FALSE(tree.InsertKey(trans.get(), key.data(), 1, 0, nullptr));
  EXPECT_EQ(TreeEntries(table, 0, trans.get()), (std::vector<ModelEntry>{{5, 1}, {5, 2}}));
  trans->Commit();
}

TEST(BstarTreeDuplicates, DupsNullRefusesAnEqualKeyWithoutNullsInTheNeighbouringLeaf) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNull}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  for (uint64_t v = 0; v < 1000; ++v) {
    std::vector<uint8_t> key = table.Key(0, v);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(1000 + v), 0, nullptr));
  }
  // Null keys may repeat.
  std::vector<uint8_t> null = table.Key(0, std::nullopt);
  EXPECT_TRUE(tree.InsertKey(trans.get(), null.data(), 1, 0, nullptr));
  EXPECT_TRUE(tree.InsertKey(trans.get(), null.data(), 2, 0, nullptr));
  EXPECT_FALSE(tree.InsertKey(trans.get(), null.data(), 2, 0, nullptr));
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckBstarTree(tree, trans.get(), {}, &shape));
  ASSERT_GE(shape.Leaves.size(), 3u);
  // The last entry of the second leaf and the first of the third: an equal
  // key with a larger reference belongs in the next leaf, with a smaller one
  // in the previous leaf.
  const std::vector<uint8_t> leaf = NodeImage(table, trans.get(), shape.Leaves[1]);
  const int32_t last = qdIndexNodeFirst(leaf.data()) + qdIndexNodeCount(leaf.data()) - 1;
  const TqdKeyValue lastValue = table.ValueOf(0, tree.LeafKey(leaf.data(), last));
  const std::vector<uint8_t> next = NodeImage(table, trans.get(), shape.Leaves[2]);
  const TqdKeyValue firstValue = table.ValueOf(0, tree.LeafKey(next.data(), qdIndexNodeFirst(next.data())));
  const std::vector<ModelEntry> before = TreeEntries(table, 0, trans.get());
  std::vector<uint8_t> key = table.Key(0, lastValue);
  EXPECT_FALSE(tree.InsertKey(trans.get(), key.data(), 999999, 0, nullptr));
  key = table.Key(0, firstValue);
  EXPECT_FALSE(tree.InsertKey(trans.get(), key.data(), 3, 0, nullptr));
  EXPECT_EQ(TreeEntries(table, 0, trans.get()), before);
  trans->Commit();
}

TEST(BstarTreeDuplicates, InsertKeysReportsTheViolationAndUndoesTheEarlierIndexes) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}, {9, idAll}, {9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdRefNr refNr = 0;
  ASSERT_EQ(table.AddRecord(trans.get(), 1, {10, 20, 30}, refNr), 0u);
  std::vector<std::vector<ModelEntry>> before;
  for (int32_t i = 0; i < 3; ++i) before.push_back(TreeEntries(table, i, trans.get()));
  // The third index refuses 30 again; the first two took 11 and 20 first.
  TqdRefNr second = 0;
  TqdResult result = 0;
  const TqdResult raised = CodeOf([&] { result = table.AddRecord(trans.get(), 2, {11, 20, 30}, second); });
  // The undo of the earlier indexes deletes their keys again.
  ASSERT_EQ(raised, 0u);
  EXPECT_EQ(result, qdeKeyViol);
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(TreeEntries(table, i, trans.get()), before[size_t(i)]) << "index " << i;
  trans->Commit();
}

// --- FindKey -------------------------------------------------------------------------------------

struct FindCase {
  uint64_t value;
  TqdSearchKeyAction action;
  bool result;
  TqdIndexPathPosition position;
  TqdKeyValue at;  // the key the path stands on (or next to, on a crack)
};

TEST(BstarTreeFindKey, ActionsOnAUniqueIndex) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  // 10, 20, ..., 5000 over several leaves.
  for (uint64_t v = 1; v <= 500; ++v) {
    std::vector<uint8_t> key = table.Key(0, v * 10);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(v), 0, nullptr));
  }
  const FindCase cases[] = {
      {20, skaEqualFirst, true, ippOnKey, 20},
      {25, skaEqualFirst, false, ippOnCrackBefore, 30},
      {20, skaEqualLast, true, ippOnKey, 20},
      {25, skaAnyEqual, false, ippOnCrackBefore, 30},
      {20, skaGreaterEqual, true, ippOnKey, 20},
      {25, skaGreaterEqual, true, ippOnKey, 30},
      {20, skaGreater, true, ippOnKey, 30},
      {20, skaSmallerEqual, true, ippOnKey, 20},
      {25, skaSmallerEqual, true, ippOnKey, 20},
      {20, skaSmaller, true, ippOnKey, 10},
      {5, skaSmaller, true, ippBof, std::nullopt},
      {5, skaGreaterEqual, true, ippOnKey, 10},
      {9999, skaGreaterEqual, true, ippEof, std::nullopt},
      {9999, skaEqualFirst, false, ippOnCrackAfter, 5000},
      {9999, skaSmaller, true, ippOnKey, 5000},
      {5000, skaGreater, true, ippEof, std::nullopt},
      {10, skaSmaller, true, ippBof, std::nullopt},
      {2555, skaAnyGreater, true, ippOnKey, 2560},
      {2555, skaAnySmaller, true, ippOnKey, 2550},
  };
  auto path = NewPath(tree);
  for (const FindCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "value " << c.value << " action " << int(c.action));
    std::vector<uint8_t> key = table.Key(0, c.value);
    EXPECT_EQ(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), c.action, nullptr), c.result);
    EXPECT_EQ(path->Position, c.position);
    if (c.at) {
      EXPECT_TRUE(path->KeyValid);
      EXPECT_EQ(table.ValueOf(0, path->Key), c.at);
      EXPECT_EQ(path->RefNr, TqdRefNr(*c.at / 10));
    }
  }
  trans->Commit();
}

TEST(BstarTreeFindKey, EmptyIndex) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  auto path = NewPath(tree);
  path->SetToEof();
  std::vector<uint8_t> key = table.Key(0, 1);
  EXPECT_FALSE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  EXPECT_EQ(path->Position, ippEof);  // unchanged
  path->Clear();
  EXPECT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaGreaterEqual, nullptr));
  EXPECT_EQ(path->Position, ippEof);
  EXPECT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaSmaller, nullptr));
  EXPECT_EQ(path->Position, ippBof);
  EXPECT_FALSE(tree.NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(path->Position, ippEof);
  trans->Commit();
}

TEST(BstarTreeFindKey, DuplicateRunSpanningTwoLeaves) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idAll}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  const int32_t run = tree.MaxLeafNodeKeyCount() + 40;
  for (uint64_t v : {1ull, 2ull, 3ull}) {
    std::vector<uint8_t> key = table.Key(0, v);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(v), 0, nullptr));
  }
  std::vector<uint8_t> seven = table.Key(0, 7);
  // Inserted from the highest reference down, so the run is split with
  // its first entries arriving last.
  for (int32_t i = run; i >= 1; --i) ASSERT_TRUE(tree.InsertKey(trans.get(), seven.data(), 100 + i, 0, nullptr));
  for (uint64_t v : {8ull, 9ull}) {
    std::vector<uint8_t> key = table.Key(0, v);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(v), 0, nullptr));
  }
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckBstarTree(tree, trans.get(), {}, &shape));
  ASSERT_GE(shape.Leaves.size(), 2u);
  auto path = NewPath(tree);
  ASSERT_TRUE(tree.FindKey(trans.get(), seven.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  EXPECT_EQ(path->RefNr, 101);
  EXPECT_EQ(path->bpipPage, shape.Leaves[0]);
  ASSERT_TRUE(tree.FindKey(trans.get(), seven.data(), 0, 0, 0, path.get(), skaEqualLast, nullptr));
  EXPECT_EQ(path->RefNr, 100 + run);
  ASSERT_TRUE(tree.FindKey(trans.get(), seven.data(), 0, 0, 0, path.get(), skaGreater, nullptr));
  EXPECT_EQ(table.ValueOf(0, path->Key), 8u);
  ASSERT_TRUE(tree.FindKey(trans.get(), seven.data(), 0, 0, 0, path.get(), skaSmaller, nullptr));
  EXPECT_EQ(table.ValueOf(0, path->Key), 3u);
  ASSERT_TRUE(tree.FindKey(trans.get(), seven.data(), 0, 0, 0, path.get(), skaGreaterEqual, nullptr));
  EXPECT_EQ(path->RefNr, 101);
  ASSERT_TRUE(tree.FindKey(trans.get(), seven.data(), 0, 0, 0, path.get(), skaSmallerEqual, nullptr));
  EXPECT_EQ(path->RefNr, 100 + run);
  // With a reference the exact entry is found.
  ASSERT_TRUE(tree.FindKey(trans.get(), seven.data(), 0, 0, 100 + run / 2, path.get(), skaEqualFirst, nullptr));
  EXPECT_EQ(path->RefNr, 100 + run / 2);
  // Walking the run forward visits every reference in order.
  ASSERT_TRUE(tree.FindKey(trans.get(), seven.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  for (int32_t i = 2; i <= run; ++i) {
    ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), nullptr));
    ASSERT_EQ(path->RefNr, 100 + i);
  }
  trans->Commit();
}

// --- Stepping ------------------------------------------------------------------------------------

TEST(BstarTreeSteps, OneKeyIndexFromBofToEofAndBack) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  std::vector<uint8_t> key = table.Key(0, 77);
  ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), 5, 0, nullptr));
  auto path = NewPath(tree);
  path->SetToBof();
  ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(path->RefNr, 5);
  EXPECT_FALSE(tree.NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(path->Position, ippEof);
  ASSERT_TRUE(tree.PrevKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(path->RefNr, 5);
  EXPECT_FALSE(tree.PrevKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(path->Position, ippBof);
  trans->Commit();
}

TEST(BstarTreeSteps, WalkingBothWaysVisitsEveryKeyInOrder) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  std::mt19937 random(5);
  std::vector<uint64_t> values(3000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = i * 2;
  std::shuffle(values.begin(), values.end(), random);
  for (uint64_t v : values) {
    std::vector<uint8_t> key = table.Key(0, v);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(v + 1), 0, nullptr));
  }
  auto path = NewPath(tree);  // ippUnknown starts from BOF
  for (uint64_t expect = 0; expect < 6000; expect += 2) {
    ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), nullptr));
    ASSERT_EQ(table.ValueOf(0, path->Key), expect);
  }
  EXPECT_FALSE(tree.NextKey(trans.get(), path.get(), nullptr));
  path->Clear();  // ippUnknown starts from EOF
  for (int64_t expect = 5998; expect >= 0; expect -= 2) {
    ASSERT_TRUE(tree.PrevKey(trans.get(), path.get(), nullptr));
    ASSERT_EQ(table.ValueOf(0, path->Key), uint64_t(expect));
  }
  EXPECT_FALSE(tree.PrevKey(trans.get(), path.get(), nullptr));
  // From a crack: the keys on either side.
  std::vector<uint8_t> key = table.Key(0, 1001);
  EXPECT_FALSE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  auto other = NewPath(tree);
  other->Assign(path.get());
  ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(table.ValueOf(0, path->Key), 1002u);
  ASSERT_TRUE(tree.PrevKey(trans.get(), other.get(), nullptr));
  EXPECT_EQ(table.ValueOf(0, other->Key), 1000u);
  trans->Commit();
}

// --- Key filters ---------------------------------------------------------------------------------

// Accepts the keys aAccepts says yes to; inactive until switched on.
class TestKeyFilter final : public TqdBaseFilterEngine {
 public:
  explicit TestKeyFilter(std::function<bool(const uint8_t*)> aAccepts)
      : TqdBaseFilterEngine(nullptr, nullptr), fAccepts(std::move(aAccepts)) {}
  TqdBaseFilterDescriptor* CreateDescriptor() override { return nullptr; }
  bool MatchesBuffer(const uint8_t* aBuffer) override {
    ++fCalls;
    return fAccepts(aBuffer);
  }
  std::function<bool(const uint8_t*)> fAccepts;
  int fCalls = 0;
};

TEST(BstarTreeKeyFilter, StepsAndSearchesSkipRejectedKeysAndAnInactiveFilterCountsAsNone) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  for (uint64_t v = 1; v <= 1000; ++v) {
    std::vector<uint8_t> key = table.Key(0, v);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(v), 0, nullptr));
  }
  // Only multiples of 100 pass: whole leaves in between are skipped.
  TestKeyFilter filter([&](const uint8_t* aKey) { return *table.ValueOf(0, aKey) % 100 == 0; });
  auto path = NewPath(tree);
  EXPECT_TRUE(tree.NextKey(trans.get(), path.get(), &filter));
  EXPECT_EQ(table.ValueOf(0, path->Key), 1u);  // inactive: no filter
  EXPECT_EQ(filter.fCalls, 0);
  filter.SetActive(true);
  path->SetToBof();
  for (uint64_t expect = 100; expect <= 1000; expect += 100) {
    ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), &filter));
    ASSERT_EQ(table.ValueOf(0, path->Key), expect);
  }
  EXPECT_FALSE(tree.NextKey(trans.get(), path.get(), &filter));
  EXPECT_EQ(path->Position, ippEof);
  ASSERT_TRUE(tree.PrevKey(trans.get(), path.get(), &filter));
  EXPECT_EQ(table.ValueOf(0, path->Key), 1000u);
  std::vector<uint8_t> key = table.Key(0, 150);
  ASSERT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaGreaterEqual, &filter));
  EXPECT_EQ(table.ValueOf(0, path->Key), 200u);
  ASSERT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaSmaller, &filter));
  EXPECT_EQ(table.ValueOf(0, path->Key), 100u);
  // An equal key the filter hides is not found.
  EXPECT_FALSE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, &filter));
  // A time-out check that says the time is up ends the step on the key it
  // stands on.
  TqdResult timeout = 0;
  filter.SetCheckTimeOut(
      [](TqdResult& aResult) {
        aResult = qdeNotSupported;
        return true;
      },
      &timeout);
  path->SetToBof();
  ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), &filter));
  EXPECT_EQ(table.ValueOf(0, path->Key), 1u);
  EXPECT_EQ(timeout, qdeNotSupported);
  trans->Commit();
}

// --- Path revalidation ----------------------------------------------------------------------------

TEST(BstarTreePaths, AnInsertIntoTheSameLeafIsFollowedWithoutADescent) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  for (uint64_t v = 1; v <= 2000; ++v) {
    std::vector<uint8_t> key = table.Key(0, v * 10);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(v), 0, nullptr));
  }
  auto path = NewPath(tree);
  std::vector<uint8_t> key = table.Key(0, 10000);
  ASSERT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  const TqdBlockNumber leaf = path->bpipPage;
  const int32_t slot = path->bpipItem;
  const TqdBlockNumber root = RootOf(table, trans.get());
  // Only the path's own leaf is read (besides the info block of the index's
  // values): no descent from the root.
  auto onlyTheLeaf = [&](const TqdIndexReadCounter& aReads) {
    EXPECT_EQ(std::count(aReads.Blocks().begin(), aReads.Blocks().end(), leaf), 1);
    EXPECT_EQ(std::count(aReads.Blocks().begin(), aReads.Blocks().end(), root), 0);
    EXPECT_LE(aReads.Reads(), 2u);
  };
  {
    // Unchanged: one unchecked read of the leaf.
    TqdIndexReadCounter reads(table);
    tree.ValidateIndexPath(trans.get(), path.get());
    onlyTheLeaf(reads);
  }
  // A key just before it in the same leaf moves it by one slot.
  key = table.Key(0, 9995);
  ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), 77777, 0, nullptr));
  {
    TqdIndexReadCounter reads(table);
    tree.ValidateIndexPath(trans.get(), path.get());
    onlyTheLeaf(reads);
  }
  EXPECT_EQ(path->Position, ippOnKey);
  EXPECT_EQ(path->bpipPage, leaf);
  EXPECT_NE(path->bpipItem, slot);
  EXPECT_EQ(table.ValueOf(0, path->Key), 10000u);
  ASSERT_TRUE(tree.PrevKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(table.ValueOf(0, path->Key), 9995u);
  trans->Commit();
}

TEST(BstarTreePaths, AKeyMovedToAnotherLeafIsFoundFromTheRoot) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  auto path = NewPath(tree);
  std::vector<uint8_t> key = table.Key(0, 5000);
  ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), 1, 0, path.get()));
  const TqdBlockNumber first = path->bpipPage;
  for (uint64_t v = 1; v <= 3000; ++v) {
    std::vector<uint8_t> other = table.Key(0, v * 3);
    if (v * 3 == 5000) continue;
    ASSERT_TRUE(tree.InsertKey(trans.get(), other.data(), TqdRefNr(v + 1), 0, nullptr));
  }
  tree.ValidateIndexPath(trans.get(), path.get());
  EXPECT_EQ(path->Position, ippOnKey);
  EXPECT_FALSE(path->Deleted);
  EXPECT_EQ(table.ValueOf(0, path->Key), 5000u);
  EXPECT_EQ(path->RefNr, 1);
  EXPECT_TRUE(path->bpipPage != first || path->bpipItem >= 0);
  ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(table.ValueOf(0, path->Key), 5001u);
  trans->Commit();
}

TEST(BstarTreePaths, APathOnAKeyMissingFromTheIndexComesBackDeletedOnItsCrack) {
  // Two tables: the path is positioned in one and revalidated against the
  // same block numbers of another that lacks its key.
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  for (uint64_t v = 1; v <= 100; ++v) {
    std::vector<uint8_t> key = table.Key(0, v * 10);
    ASSERT_TRUE(tree.InsertKey(trans.get(), key.data(), TqdRefNr(v), 0, nullptr));
  }
  auto path = NewPath(tree);
  std::vector<uint8_t> key = table.Key(0, 500);
  ASSERT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  // A key that was never there, as a bookmark would bring it back.
  key = table.Key(0, 505);
  tree.KeyEngine()->CopyKey(key.data(), path->Key);
  path->RefNr = 4242;
  path->bpipIdentCounter = 0;  // the leaf changed since
  tree.ValidateIndexPath(trans.get(), path.get());
  EXPECT_TRUE(path->Deleted);
  EXPECT_EQ(path->Position, ippOnCrackBefore);
  EXPECT_EQ(table.ValueOf(0, path->Key), 505u);
  EXPECT_EQ(path->RefNr, 4242);
  ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(table.ValueOf(0, path->Key), 510u);
  trans->Commit();
}

TEST(BstarTreePaths, APathThatOnlyKnowsItsRecordRebuildsItsKeyFromTheRecord) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idAll}});
  table.Create();
  auto trans = table.Begin();
  std::vector<TqdRefNr> refs;
  for (int32_t id = 1; id <= 500; ++id) {
    TqdRefNr refNr = 0;
    ASSERT_EQ(table.AddRecord(trans.get(), id, {uint64_t(id % 50)}, refNr), 0u);
    refs.push_back(refNr);
  }
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  // What a bookmark without key leaves: the record's reference, on a key.
  auto path = NewPath(tree);
  path->RefNr = refs[321];
  path->Position = ippOnKey;
  tree.ValidateIndexPath(trans.get(), path.get());
  EXPECT_EQ(path->Position, ippOnKey);
  EXPECT_TRUE(path->KeyValid);
  EXPECT_FALSE(path->Deleted);
  EXPECT_EQ(path->RefNr, refs[321]);
  EXPECT_EQ(table.ValueOf(0, path->Key), uint64_t(322 % 50));
  // The next entry: the same key with the next larger reference.
  ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(table.ValueOf(0, path->Key), uint64_t(322 % 50));
  EXPECT_EQ(path->RefNr, refs[371]);
  trans->Commit();
}

// --- Damaged nodes ---------------------------------------------------------------------------------

// Builds a two-level tree, changes one node with aDamage, and runs the
// reads a cursor would: each must raise 8962 (or the block read's error).
class BstarTreeDamageTest : public testing::Test {
 protected:
  void Build() {
    fTable.Create();
    auto trans = fTable.Begin();
    for (uint64_t v = 1; v <= 1000; ++v) {
      std::vector<uint8_t> key = fTable.Key(0, v);
      ASSERT_TRUE(fTable.Tree().InsertKey(trans.get(), key.data(), TqdRefNr(v), 0, nullptr));
    }
    ASSERT_TRUE(CheckBstarTree(fTable.Tree(), trans.get(), {}, &fShape));
    ASSERT_GE(fShape.Depth, 2);
    trans->Commit();
  }
  template <class F>
  void Damage(TqdBlockNumber aBlock, F&& aChange) {
    auto trans = fTable.Begin();
    TqdBlockRef block = fTable.Access().GetBlock(trans.get(), aBlock, 0, true);
    aChange(block.WritableData());
    block.Release();
    trans->Commit();
  }
  // Every read path of a cursor, each with its code.
  std::vector<TqdResult> Reads() {
    std::vector<TqdResult> codes;
    auto trans = fTable.Begin();
    TqdStaticKeyBstarTreeIndexEngine& tree = fTable.Tree();
    auto path = NewPath(tree);
    std::vector<uint8_t> key = fTable.Key(0, 500);
    codes.push_back(
        CodeOf([&] { (void)tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr); }));
    path->Clear();
    codes.push_back(CodeOf([&] {
      for (int i = 0; i < 2000 && tree.NextKey(trans.get(), path.get(), nullptr); ++i) {
      }
    }));
    path->Clear();
    codes.push_back(CodeOf([&] {
      for (int i = 0; i < 2000 && tree.PrevKey(trans.get(), path.get(), nullptr); ++i) {
      }
    }));
    key = fTable.Key(0, 5000);
    codes.push_back(CodeOf([&] { (void)tree.InsertKey(trans.get(), key.data(), 5000, 0, nullptr); }));
    trans->Rollback();
    return codes;
  }

  TqdIndexTestTable fTable{TqdTestIndexShapes{{9, idNone}}};
  TqdBstarTreeShape fShape;
};

TEST_F(BstarTreeDamageTest, LeafCountBeyondItsCapacity) {
  Build();
  const TqdBlockNumber leaf = fShape.Leaves[fShape.Leaves.size() / 2];
  Damage(leaf, [](uint8_t* aNode) { qdSetIndexNodeCount(aNode, 0xFFF0); });
  const std::vector<TqdResult> codes = Reads();
  EXPECT_EQ(codes[0], qdeFileCorrupt);
  EXPECT_EQ(codes[1], qdeFileCorrupt);
  EXPECT_EQ(codes[2], qdeFileCorrupt);
}

TEST_F(BstarTreeDamageTest, FirstSlotPushesTheWindowPastTheEnd) {
  Build();
  Damage(fShape.Leaves[0],
         [&](uint8_t* aNode) { qdSetIndexNodeFirst(aNode, uint16_t(fTable.Tree().MaxLeafNodeKeyCount() - 1)); });
  EXPECT_EQ(Reads()[1], qdeFileCorrupt);
}

TEST_F(BstarTreeDamageTest, RootWithAnUnknownNodeKind) {
  Build();
  Damage(fShape.Root, [](uint8_t* aNode) { aNode[kIndexBlockKind] = 3; });
  for (TqdResult code : Reads()) EXPECT_EQ(code, qdeFileCorrupt);
  // A search that raises leaves the path at the end its action looks to.
  auto trans = fTable.Begin();
  auto path = NewPath(fTable.Tree());
  std::vector<uint8_t> key = fTable.Key(0, 5);
  const std::pair<TqdSearchKeyAction, TqdIndexPathPosition> cases[] = {
      {skaEqualFirst, ippBof}, {skaSmallerEqual, ippBof}, {skaGreaterEqual, ippEof}, {skaEqualLast, ippEof}};
  for (const auto& c : cases) {
    const TqdSearchKeyAction action = c.first;
    EXPECT_EQ(
        CodeOf([&] { (void)fTable.Tree().FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), action, nullptr); }),
        qdeFileCorrupt);
    EXPECT_EQ(path->Position, c.second) << "action " << int(action);
  }
  trans->Rollback();
}

TEST_F(BstarTreeDamageTest, InternalNodeCountBeyondItsCapacity) {
  Build();
  Damage(fShape.Root, [](uint8_t* aNode) { qdSetIndexNodeCount(aNode, 0x7FFF); });
  for (TqdResult code : Reads()) EXPECT_EQ(code, qdeFileCorrupt);
}

TEST_F(BstarTreeDamageTest, AnInternalNodePointingToItselfIsDeeperThan64Levels) {
  Build();
  Damage(fShape.Root, [&](uint8_t* aNode) {
    const uint16_t count = qdIndexNodeCount(aNode);
    for (int32_t i = 0; i <= count; ++i) fTable.Tree().SetTreePointer(aNode, i, fShape.Root);
  });
  for (TqdResult code : Reads()) EXPECT_EQ(code, qdeFileCorrupt);
}

TEST_F(BstarTreeDamageTest, AnEmptyLeafChainedToItselfEndsTheWalk) {
  Build();
  const TqdBlockNumber leaf = fShape.Leaves[0];
  Damage(leaf, [&](uint8_t* aNode) {
    qdSetIndexNodeCount(aNode, 0);
    qdSetIndexNodeNext(aNode, leaf);
    qdSetIndexNodePrev(aNode, leaf);
  });
  const std::vector<TqdResult> codes = Reads();
  EXPECT_EQ(codes[1], qdeFileCorrupt);
}

TEST_F(BstarTreeDamageTest, APointerToABlockThatIsNoIndexNode) {
  Build();
  Damage(fShape.Root, [](uint8_t* aNode) { qdPutU32(aNode + kIndexBlockHeaderSize, 0x7FFFFFF0u); });
  EXPECT_EQ(Reads()[1], qdeBadBlockNum);
  Damage(fShape.Root, [](uint8_t* aNode) { qdPutU32(aNode + kIndexBlockHeaderSize, 0); });
  EXPECT_EQ(Reads()[1], qdeBadBlockNum);
}

TEST(BstarTreeDamage, ADamagedNeighbourFoundDuringASplitLeavesTheTransactionForRollbackOnly) {
  TqdIndexTestTable table(TqdTestIndexShapes{{100, idNone}});  // 37 entries a leaf
  table.Create();
  TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
  const int32_t capacity = tree.MaxLeafNodeKeyCount();
  auto trans = table.Begin();
  auto insert = [&](uint64_t aValue) {
    std::vector<uint8_t> key = table.Key(0, aValue);
    return tree.InsertKey(trans.get(), key.data(), TqdRefNr(aValue + 1), 0, nullptr);
  };
  for (int32_t i = 0; i <= capacity; ++i) ASSERT_TRUE(insert(uint64_t(i) * 100));
  // Fill the left leaf of the two again.
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckBstarTree(tree, trans.get(), {}, &shape));
  ASSERT_EQ(shape.Leaves.size(), 2u);
  const TqdBlockNumber left = shape.Leaves[0];
  for (uint64_t v = 1; qdIndexNodeCount(NodeImage(table, trans.get(), left).data()) < capacity; ++v)
    ASSERT_TRUE(insert(v));
  trans->Commit();
  {
    auto damage = table.Begin();
    TqdBlockRef block = table.Access().GetBlock(damage.get(), left, 0, true);
    qdSetIndexNodeNext(block.WritableData(), 0x7FFFFFF0u);
    block.Release();
    damage->Commit();
  }
  // A read that fails before anything changed leaves the transaction alone.
  trans = table.Begin();
  auto path = NewPath(tree);
  path->SetToBof();
  EXPECT_EQ(CodeOf([&] {
              while (tree.NextKey(trans.get(), path.get(), nullptr)) {
              }
            }),
            qdeBadBlockNum);
  EXPECT_EQ(trans->CheckState(), 0u);
  // The split changed the full leaf before it met the damaged link.
  EXPECT_EQ(CodeOf([&] { (void)insert(50); }), qdeBadBlockNum);
  EXPECT_EQ(trans->CheckState(), qdeTransCorrupt);
  trans->Rollback();
}

}  // namespace
}  // namespace qd::test
