// Bulk build of the static-key B*-tree: the built tree against key-by-key
// insertion of the same records (one container, several runs, one long run
// of pre-sorted containers), the fill and even spread of the leaves, the
// planned internal levels, duplicates the index refuses (inside a container
// and across containers), a non-empty index, no keys at all, and the
// boundary between a root leaf and a two-level tree. Every built tree goes
// through the invariant checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/indexes/qdseBstarTreeChecker.h"
#include "tests/indexes/qdseIndexTestFixture.h"

namespace qd::test {
namespace {

using ModelEntry = std::pair<TqdKeyValue, TqdRefNr>;

// The entries of index aIndex in stored order, checked on the way.
std::vector<ModelEntry> TreeEntries(TqdIndexTestTable& aTable, int32_t aIndex, TqdBaseTransaction* aTrans,
                                    TqdBstarTreeShape* aShape = nullptr) {
  std::vector<TqdBstarTreeEntry> entries;
  EXPECT_TRUE(CheckBstarTree(aTable.Tree(aIndex), aTrans, {}, aShape, &entries));
  std::vector<ModelEntry> result;
  for (const TqdBstarTreeEntry& e : entries) result.emplace_back(aTable.ValueOf(aIndex, e.Key.data()), e.RefNr);
  return result;
}

struct HeaderValues {
  uint32_t root;
  uint32_t pages;
  uint32_t keys;
};

HeaderValues HeaderOf(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, int32_t aIndex = 0) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(aTable.Tree(aIndex).CreateHeaderAccess(aTrans, false, false, 0, 0));
  return {access->GetIndexRoot(), access->GetIndexPageCount(), access->GetIndexKeyCount()};
}

// The builder of index aIndex (not the indices engine's hub).
std::unique_ptr<TqdBaseBulkBuilder> NewBuilder(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans,
                                               int32_t aIndex = 0) {
  return std::unique_ptr<TqdBaseBulkBuilder>(aTable.Tree(aIndex).CreateBulkBuilder(aTrans));
}

// What the builder aims at: keys per leaf and per internal node.
int32_t Target(int32_t aCapacity, bool aLeaf) {
  int32_t target = std::min(int32_t(aCapacity * 0.8), aCapacity - 1);
  if (aLeaf ? target < aCapacity / 2 : target <= aCapacity / 2) target = aCapacity / 2 + 1;
  return target;
}

// Leaves and internal nodes the builder plans for aKeys keys.
uint32_t PlannedNodes(TqdStaticKeyBstarTreeIndexEngine& aTree, uint64_t aKeys, int32_t* aDepth) {
  const uint64_t leafTarget = uint64_t(Target(aTree.MaxLeafNodeKeyCount(), true));
  const uint64_t internalTarget = uint64_t(Target(aTree.MaxInternalNodeKeyCount(), false));
  uint64_t level = (aKeys + leafTarget - 1) / leafTarget;
  uint64_t nodes = level;
  *aDepth = 1;
  while (level > 1) {
    level = (level + internalTarget) / (internalTarget + 1);
    nodes += level;
    ++*aDepth;
  }
  return uint32_t(nodes);
}

// Every leaf starts at the centred slot, holds at most the target and
// either floor or ceiling of keys / leaves; there are ceil(keys / target)
// leaves.
void ExpectEvenlyFilledLeaves(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, const TqdBstarTreeShape& aShape,
                              uint64_t aKeys) {
  TqdStaticKeyBstarTreeIndexEngine& tree = aTable.Tree();
  const int32_t capacity = tree.MaxLeafNodeKeyCount();
  const int32_t target = Target(capacity, true);
  const uint64_t leaves = (aKeys + uint64_t(target) - 1) / uint64_t(target);
  ASSERT_EQ(aShape.Leaves.size(), leaves);
  const uint64_t low = aKeys / leaves;
  const uint64_t high = (aKeys + leaves - 1) / leaves;
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(tree.CreateHeaderAccess(aTrans, false, false, 0, 0));
  uint64_t total = 0;
  for (TqdBlockNumber block : aShape.Leaves) {
    TqdBlockRef leaf = tree.ReadNode(*access, block, false);
    const uint16_t count = qdIndexNodeCount(leaf.Data());
    EXPECT_EQ(qdIndexNodeFirst(leaf.Data()), (capacity - target) / 2) << "leaf " << block;
    EXPECT_LE(count, target) << "leaf " << block;
    EXPECT_TRUE(count == low || count == high) << "leaf " << block << " holds " << count;
    total += count;
  }
  EXPECT_EQ(total, aKeys);
}

// --- The built tree against key-by-key insertion ----------------------------------------------------

enum KeyOrder { koRandom, koAscending, koDescending };

struct BuildCase {
  int32_t keyLength;
  TqdIndexDups dups;
  TqdBlockSize blockSize;
  KeyOrder order;
  int32_t count;
  const char* name;
};

class BstarTreeBulkBuildTest : public testing::TestWithParam<BuildCase> {};

// Index 0 is built in bulk, index 1 (the same key) key by key from the same
// records; both must hold the same entries in the same order.
TEST_P(BstarTreeBulkBuildTest, SameEntriesAsKeyByKeyInsertionWithEvenlyFilledLeaves) {
  const BuildCase c = GetParam();
  TqdIndexTestTable table(TqdTestIndexShapes{{c.keyLength, c.dups}, {c.keyLength, c.dups}}, c.blockSize);
  table.Create();
  std::mt19937_64 random(uint64_t(c.keyLength) * 977 + uint64_t(c.dups) * 31 + uint64_t(c.order));

  // Values: distinct for unique indexes (a random permutation, or in
  // order); with duplicates from a narrow range; with duplicates only for
  // nulls, one key in ten null.
  std::vector<TqdKeyValue> values(size_t(c.count));
  for (int32_t i = 0; i < c.count; ++i) values[size_t(i)] = uint64_t(i) * 3 + 1;
  if (c.order == koDescending) std::reverse(values.begin(), values.end());
  if (c.order == koRandom) std::shuffle(values.begin(), values.end(), random);
  if (c.dups == idAll)
    for (TqdKeyValue& value : values) value = *value % uint64_t(c.count / 8 + 1);
  if (c.dups == idNull)
    for (TqdKeyValue& value : values)
      if (random() % 10 == 0) value = std::nullopt;

  auto trans = table.Begin();
  std::unique_ptr<TqdBaseBulkBuilder> builder = NewBuilder(table, trans.get());
  std::multiset<ModelEntry> model;
  for (int32_t i = 0; i < c.count; ++i) {
    const TqdKeyValue value = values[size_t(i)];
    TqdRefNr refNr = TqdRefNr(i) * 5 + 7;
    std::vector<uint8_t> record = table.Record(i, {value, value});
    ASSERT_EQ(builder->InsertKey(&refNr, record.data(), trans.get()), 0u);
    std::vector<uint8_t> key = table.Key(1, value);
    ASSERT_TRUE(table.Tree(1).InsertKey(trans.get(), key.data(), refNr, 0, nullptr));
    model.insert({value, refNr});
  }
  ASSERT_EQ(builder->Finalize(trans.get()), 0u);
  builder.reset();

  TqdBstarTreeShape shape;
  const std::vector<ModelEntry> built = TreeEntries(table, 0, trans.get(), &shape);
  const std::vector<ModelEntry> inserted = TreeEntries(table, 1, trans.get());
  ASSERT_EQ(built.size(), size_t(c.count));
  EXPECT_TRUE(built == inserted) << "the bulk-built index differs from key-by-key insertion";
  // Null keys sort first; within equal keys by reference. The model's
  // order is the same (nullopt first, then value, then reference).
  EXPECT_TRUE(std::equal(built.begin(), built.end(), model.begin(), model.end()));

  ExpectEvenlyFilledLeaves(table, trans.get(), shape, uint64_t(c.count));
  int32_t depth = 0;
  EXPECT_EQ(shape.Nodes, PlannedNodes(table.Tree(), uint64_t(c.count), &depth));
  EXPECT_EQ(shape.Depth, depth);
  const HeaderValues header = HeaderOf(table, trans.get());
  EXPECT_EQ(header.pages, shape.Nodes);
  EXPECT_EQ(header.keys, uint32_t(c.count));

  // The tree takes further keys like any other, and survives a reopen.
  for (int32_t i = 0; i < 500; ++i) {
    const TqdKeyValue value = uint64_t(i) * 3 + 2 + (c.dups == idAll ? 0 : uint64_t(c.count) * 3);
    std::vector<uint8_t> key = table.Key(0, value);
    ASSERT_TRUE(table.Tree().InsertKey(trans.get(), key.data(), TqdRefNr(c.count) * 5 + 100 + i, 0, nullptr));
  }
  ASSERT_TRUE(CheckBstarTree(table.Tree(), trans.get()));
  trans->Commit();
  table.Reopen();
  auto reader = table.Begin();
  ASSERT_TRUE(CheckBstarTree(table.Tree(), reader.get()));
  std::unique_ptr<TqdBaseIndexPath> path(table.Tree().CreateIndexPath());
  for (size_t i = 0; i < values.size(); i += 97) {
    if (!values[i]) continue;
    std::vector<uint8_t> key = table.Key(0, values[i]);
    ASSERT_TRUE(table.Tree().FindKey(reader.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
    EXPECT_EQ(table.ValueOf(0, path->Key), values[i]);
  }
  reader->Commit();
}

// Entries per 4 MB container: key length + 8 rounded up to 16 bytes, so
// 9-byte keys (32 bytes) fill one container with 100,000 keys, 101-byte keys
// (112 bytes, 37449 per container) need three, 201-byte keys (224 bytes,
// 18724 per container) nine, 1100-byte keys (1120 bytes, 3744 per
// container) two.
const BuildCase kBuildCases[] = {
    {9, idNone, qdbs4k, koRandom, 100000, "Key9UniqueRandom"},
    {9, idAll, qdbs4k, koRandom, 100000, "Key9DupsAllRandom"},
    {9, idNull, qdbs4k, koRandom, 100000, "Key9DupsNullRandom"},
    {33, idNone, qdbs16k, koRandom, 100000, "Key33UniqueRandom16k"},
    {101, idNone, qdbs4k, koRandom, 100000, "Key101UniqueRandomThreeContainers"},
    {101, idAll, qdbs4k, koRandom, 100000, "Key101DupsAllRandomThreeContainers"},
    {101, idNone, qdbs4k, koAscending, 100000, "Key101UniqueAscendingOneRun"},
    {101, idNone, qdbs4k, koDescending, 100000, "Key101UniqueDescending"},
    {201, idNull, qdbs4k, koRandom, 150000, "Key201DupsNullRandomNineContainers"},
    // 8 KB blocks with room for 7 entries per node: five levels.
    {1100, idAll, qdbs4k, koRandom, 5000, "Key1100DupsAllSmallNodesDeepTree"},
};

INSTANTIATE_TEST_SUITE_P(KeysDupsOrders, BstarTreeBulkBuildTest, testing::ValuesIn(kBuildCases),
                         [](const testing::TestParamInfo<BuildCase>& aInfo) { return std::string(aInfo.param.name); });

// --- Root leaf and two levels ---------------------------------------------------------------------

TEST(BstarTreeBulkBuild, OneLeafTargetMakesARootLeafAndOneMoreKeyTwoLeavesUnderAnInternalRoot) {
  for (int32_t extra : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "target + " << extra);
    TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
    table.Create();
    TqdStaticKeyBstarTreeIndexEngine& tree = table.Tree();
    const int32_t capacity = tree.MaxLeafNodeKeyCount();
    const int32_t target = Target(capacity, true);
    const int32_t count = target + extra;
    auto trans = table.Begin();
    std::unique_ptr<TqdBaseBulkBuilder> builder = NewBuilder(table, trans.get());
    for (int32_t i = count; i > 0; --i) {
      TqdRefNr refNr = TqdRefNr(i);
      std::vector<uint8_t> record = table.Record(i, {uint64_t(i)});
      ASSERT_EQ(builder->InsertKey(&refNr, record.data(), trans.get()), 0u);
    }
    ASSERT_EQ(builder->Finalize(trans.get()), 0u);
    TqdBstarTreeShape shape;
    const std::vector<ModelEntry> entries = TreeEntries(table, 0, trans.get(), &shape);
    ASSERT_EQ(entries.size(), size_t(count));
    std::unique_ptr<TqdBaseIndexHeaderAccess> access(tree.CreateHeaderAccess(trans.get(), false, false, 0, 0));
    TqdBlockRef root = tree.ReadNode(*access, access->GetIndexRoot(), false);
    if (extra == 0) {
      EXPECT_EQ(shape.Depth, 1);
      EXPECT_EQ(qdIndexNodeKind(root.Data()), kIndexNodeLeaf);
      EXPECT_EQ(qdIndexNodeCount(root.Data()), target);
      EXPECT_EQ(qdIndexNodeFirst(root.Data()), (capacity - target) / 2);
    } else {
      EXPECT_EQ(shape.Depth, 2);
      EXPECT_EQ(qdIndexNodeKind(root.Data()), kIndexNodeInternal);
      EXPECT_EQ(qdIndexNodeCount(root.Data()), 1);
      ASSERT_EQ(shape.Leaves.size(), 2u);
      // The separator is the first leaf's last key: half the keys, rounded
      // up, sit in the first leaf.
      EXPECT_EQ(table.ValueOf(0, tree.NodeKey(root.Data(), 0)), uint64_t((count + 1) / 2));
      EXPECT_EQ(tree.TreePointer(root.Data(), 0), shape.Leaves[0]);
      EXPECT_EQ(tree.TreePointer(root.Data(), 1), shape.Leaves[1]);
    }
    EXPECT_EQ(HeaderOf(table, trans.get()).pages, extra == 0 ? 1u : 3u);
    root.Release();
    access.reset();
    trans->Commit();
  }
}

// --- Nothing to build, a non-empty index ----------------------------------------------------------

TEST(BstarTreeBulkBuild, FinalizeWithoutKeysReturnsZeroAndLeavesTheIndexEmpty) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  std::unique_ptr<TqdBaseBulkBuilder> builder = NewBuilder(table, trans.get());
  EXPECT_EQ(builder->Finalize(trans.get()), 0u);
  builder.reset();
  const HeaderValues header = HeaderOf(table, trans.get());
  EXPECT_EQ(header.root, qdIndexRootNone);
  EXPECT_EQ(header.pages, 0u);
  EXPECT_EQ(header.keys, 0u);
  EXPECT_TRUE(CheckBstarTree(table.Tree(), trans.get()));
  trans->Commit();
}

TEST(BstarTreeBulkBuild, ABuilderOnANonEmptyIndexIsRefused) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  TqdRefNr refNr = 0;
  ASSERT_EQ(table.AddRecord(trans.get(), 1, {5}, refNr), 0u);
  EXPECT_EQ(CodeOf([&] { NewBuilder(table, trans.get()); }), qdeIndexNotEmpty);
  EXPECT_NE(MessageOf([&] { NewBuilder(table, trans.get()); }).find("Index is not empty."), std::string::npos);
  trans->Commit();
}

TEST(BstarTreeBulkBuild, TheIndicesEngineHandsOutTheTreesOwnBuilderForItsOnlyIndex) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}});
  table.Create();
  auto trans = table.Begin();
  std::unique_ptr<TqdBaseBulkBuilder> builder(table.Indices().CreateBulkBuilder(trans.get()));
  EXPECT_NE(dynamic_cast<TqdStaticKeyBstarTreeIndexBulkBuilder*>(builder.get()), nullptr);
  builder.reset();
  trans->Commit();
}

// Two indexes: the indices engine's hub drives one builder per index, each
// with its own containers in the same cache.
TEST(BstarTreeBulkBuild, TheHubBuildsEveryIndexOfTheTable) {
  TqdIndexTestTable table(TqdTestIndexShapes{{9, idNone}, {101, idAll}});
  table.Create();
  constexpr int32_t kCount = 50000;
  std::vector<int32_t> order(kCount);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937_64(3));
  auto trans = table.Begin();
  std::unique_ptr<TqdBaseBulkBuilder> hub(table.Indices().CreateBulkBuilder(trans.get()));
  ASSERT_EQ(dynamic_cast<TqdStaticKeyBstarTreeIndexBulkBuilder*>(hub.get()), nullptr);
  for (int32_t i : order) {
    TqdRefNr refNr = TqdRefNr(i) + 1;
    std::vector<uint8_t> record = table.Record(i, {uint64_t(i), uint64_t(i % 1000)});
    ASSERT_EQ(hub->InsertKey(&refNr, record.data(), trans.get()), 0u);
  }
  ASSERT_EQ(hub->Finalize(trans.get()), 0u);
  hub.reset();
  for (int32_t index : {0, 1}) {
    const std::vector<ModelEntry> entries = TreeEntries(table, index, trans.get());
    ASSERT_EQ(entries.size(), size_t(kCount)) << "index " << index;
    for (size_t n = 0; n < entries.size(); ++n) {
      // Index 0: value i, reference i + 1. Index 1: value i mod 1000, by
      // reference within a value.
      const uint64_t expectedValue = index == 0 ? n : n / (kCount / 1000);
      const TqdRefNr expectedRef =
          index == 0 ? TqdRefNr(n) + 1 : TqdRefNr(n % (kCount / 1000)) * 1000 + 1 + TqdRefNr(n / (kCount / 1000));
      ASSERT_EQ(entries[n].first, expectedValue) << "index " << index << " entry " << n;
      ASSERT_EQ(entries[n].second, expectedRef) << "index " << index << " entry " << n;
    }
  }
  trans->Commit();
}

// --- Duplicates the index refuses -------------------------------------------------------------------

struct DuplicateCase {
  const char* name;
  int32_t keyLength;
  TqdIndexDups dups;
  int32_t count;
  // Values of records 0 .. count - 1 are 10 * i + 1, except these: record
  // 'second' gets the value (and, with sameRefNr, the reference) of record
  // 'first'.
  int32_t first;
  int32_t second;
  bool nulls;
  bool sameRefNr;
  bool refused;
};

const DuplicateCase kDuplicateCases[] = {
    {"UniqueInOneContainer", 9, idNone, 1000, 10, 900, false, false, true},
    {"UniqueAcrossContainers", 101, idNone, 80000, 3, 79990, false, false, true},
    {"UniqueAdjacentAtAContainerBoundary", 101, idNone, 80000, 37448, 37449, false, false, true},
    {"DupsNullWithoutNulls", 9, idNull, 1000, 1, 2, false, false, true},
    {"DupsNullBothNull", 9, idNull, 1000, 1, 2, true, false, false},
    {"DupsAllOtherReference", 9, idAll, 1000, 500, 20, false, false, false},
    {"DupsAllSameReference", 9, idAll, 1000, 500, 20, false, true, true},
};

class BstarTreeBulkDuplicateTest : public testing::TestWithParam<DuplicateCase> {};

TEST_P(BstarTreeBulkDuplicateTest, RefusedDuplicatesRaiseTheBulkCreateKeyViolation) {
  const DuplicateCase c = GetParam();
  TqdIndexTestTable table(TqdTestIndexShapes{{c.keyLength, c.dups, u"Unique"}});
  table.Create();
  std::vector<int32_t> order(size_t(c.count));
  std::iota(order.begin(), order.end(), 0);
  // Random arrival, so that the two records land where the case puts them
  // only through the sort; the boundary case keeps the order.
  if (c.second != c.first + 1) std::shuffle(order.begin(), order.end(), std::mt19937_64(5));
  auto trans = table.Begin();
  std::unique_ptr<TqdBaseBulkBuilder> builder = NewBuilder(table, trans.get());
  for (int32_t i : order) {
    const int32_t source = i == c.second ? c.first : i;
    const TqdKeyValue value = c.nulls && (i == c.first || i == c.second) ? std::nullopt : TqdKeyValue(source * 10 + 1);
    TqdRefNr refNr = TqdRefNr(c.sameRefNr ? source : i) + 1;
    std::vector<uint8_t> record = table.Record(i, {value});
    ASSERT_EQ(builder->InsertKey(&refNr, record.data(), trans.get()), 0u);
  }
  if (!c.refused) {
    ASSERT_EQ(builder->Finalize(trans.get()), 0u);
    EXPECT_EQ(TreeEntries(table, 0, trans.get()).size(), size_t(c.count));
    trans->Commit();
    return;
  }
  try {
    (void)builder->Finalize(trans.get());
    ADD_FAILURE() << "the duplicate was not refused";
  } catch (const EqdBaseBulkBuilder& e) {
    EXPECT_EQ(e.ErrorCode(), qdeKeyViol);
    const std::string text = StringToUtf8(e.ErrorString());
    EXPECT_NE(text.find("Operation: BulkCreate"), std::string::npos) << text;
    EXPECT_NE(text.find("Index: \"Unique\""), std::string::npos) << text;
    EXPECT_NE(text.find("Key: "), std::string::npos) << text;
    EXPECT_NE(text.find("RefNr: "), std::string::npos) << text;
  }
  builder.reset();
  trans->Rollback();
  auto reader = table.Begin();
  EXPECT_EQ(HeaderOf(table, reader.get()).root, qdIndexRootNone);
  reader->Commit();
}

INSTANTIATE_TEST_SUITE_P(Cases, BstarTreeBulkDuplicateTest, testing::ValuesIn(kDuplicateCases),
                         [](const testing::TestParamInfo<DuplicateCase>& aInfo) {
                           return std::string(aInfo.param.name);
                         });

}  // namespace
}  // namespace qd::test
