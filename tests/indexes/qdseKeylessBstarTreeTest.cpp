// The keyless B*-tree: capacities and layout, creation, a long model run
// with commits, rollbacks and reopens, searches, key access (the current
// record, record reads, the key cache), insertion, deletion with separator
// upkeep, paths after changes, renumbered indexes and damaged trees. Every
// test that changes a tree runs the keyless invariant checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "dictionary/qdsdKeyEngineBase.h"
#include "tests/indexes/qdseBstarTreeChecker.h"
#include "tests/indexes/qdseIndexTestFixture.h"

namespace qd::test {
namespace {

using TqdPath = TqdKeylessBstarTreeIndexPath;
using TqdTree = TqdKeylessBstarTreeIndexEngine;
using ModelEntry = std::pair<TqdKeyValue, TqdRefNr>;

// A key filter that hides one key value (every key when aHideAll), active.
class HideValueFilter final : public TqdBaseFilterEngine {
 public:
  HideValueFilter(TqdIndexTestTable& aTable, uint64_t aHidden, bool aHideAll = false)
      : TqdBaseFilterEngine(nullptr, nullptr), fTable(aTable), fHidden(aHidden), fHideAll(aHideAll) {
    SetActive(true);
  }
  TqdBaseFilterDescriptor* CreateDescriptor() override { return nullptr; }
  bool MatchesBuffer(const uint8_t* aBuffer) override { return !fHideAll && fTable.ValueOf(0, aBuffer) != fHidden; }

 private:
  TqdIndexTestTable& fTable;
  uint64_t fHidden;
  bool fHideAll;
};

constexpr char16_t kKeyless[] = u"KeylessBStarTree";

TqdTestIndexShape Keyless(int32_t aKeyLength, TqdIndexDups aDups = idNone) {
  return TqdTestIndexShape(aKeyLength, aDups, {}, kKeyless);
}

TqdTree& Tree(TqdIndexTestTable& aTable, int32_t aIndex = 0) { return dynamic_cast<TqdTree&>(aTable.Index(aIndex)); }

std::unique_ptr<TqdPath> NewPath(TqdTree& aTree) {
  return std::unique_ptr<TqdPath>(static_cast<TqdPath*>(aTree.CreateIndexPath()));
}

struct HeaderValues {
  uint32_t root;
  uint32_t pages;
  uint32_t keys;
};

HeaderValues Values(TqdTree& aTree, TqdBaseTransaction* aTrans) {
  std::unique_ptr<TqdBaseIndexHeaderAccess> access(aTree.CreateHeaderAccess(aTrans, false, false, 0, 0));
  return {access->GetIndexRoot(), access->GetIndexPageCount(), access->GetIndexKeyCount()};
}

std::vector<uint8_t> NodeImage(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdBlockNumber aBlock) {
  TqdBaseFile* file = aTable.Access()._File();
  TqdBlockRef block = file->fiBufMgr->GetBlock(file, aTrans, aBlock, false);
  return std::vector<uint8_t>(block.Data(), block.Data() + aTable.Access().fiBlockSizeBytes());
}

// Changes bytes of a committed block.
void Poke(TqdIndexTestTable& aTable, TqdBlockNumber aBlock, uint32_t aOffset, const std::vector<uint8_t>& aBytes) {
  auto trans = aTable.Begin();
  TqdBlockRef block = aTable.Access().GetBlock(trans.get(), aBlock, 0, true);
  std::memcpy(block.WritableData() + aOffset, aBytes.data(), aBytes.size());
  block.Release();
  trans->Commit();
}
void PokeU16(TqdIndexTestTable& aTable, TqdBlockNumber aBlock, uint32_t aOffset, uint16_t aValue) {
  Poke(aTable, aBlock, aOffset, {uint8_t(aValue), uint8_t(aValue >> 8)});
}
void PokeU32(TqdIndexTestTable& aTable, TqdBlockNumber aBlock, uint32_t aOffset, uint32_t aValue) {
  Poke(aTable, aBlock, aOffset, {uint8_t(aValue), uint8_t(aValue >> 8), uint8_t(aValue >> 16), uint8_t(aValue >> 24)});
}

// The entries the checker read (sorted like the model), asserting it
// passed.
std::vector<ModelEntry> CheckedEntries(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, int32_t aIndex = 0,
                                       TqdBstarTreeShape* aShape = nullptr) {
  std::vector<TqdBstarTreeEntry> entries;
  EXPECT_TRUE(CheckKeylessBstarTree(Tree(aTable, aIndex), aTrans, {}, aShape, &entries));
  std::vector<ModelEntry> result;
  for (const TqdBstarTreeEntry& e : entries) result.emplace_back(aTable.ValueOf(aIndex, e.Key.data()), e.RefNr);
  std::sort(result.begin(), result.end());
  return result;
}

// A table of records, one key value per record for index 0 (the others
// null), added and deleted through the record and indices engines.
struct Records {
  TqdIndexTestTable& table;

  // The record's reference; the result of InsertKeys in aResult (a refused
  // record is deleted again).
  TqdRefNr Add(TqdBaseTransaction* aTrans, TqdKeyValue aValue, TqdResult* aResult = nullptr,
               TqdBaseIndexPath* aPath = nullptr) {
    std::vector<TqdKeyValue> values(size_t(table.IndexCount()), aValue);
    std::vector<uint8_t> record = table.Record(1, values);
    TqdRefNr refNr = 0;
    table.Records().AddRecord(aTrans, refNr, record.data());
    const TqdResult r = table.Indices().InsertKeys(aTrans, refNr, record.data(), aPath);
    if (aResult != nullptr) *aResult = r;
    if (r != 0) table.Records().DeleteRecord(aTrans, refNr);
    return refNr;
  }
  TqdResult Remove(TqdBaseTransaction* aTrans, TqdRefNr aRefNr, TqdBaseIndexPath* aPath = nullptr) {
    std::vector<uint8_t> record(size_t(table.Dict().FieldsDescriptor()->RecordLength()) + 8, 0);
    table.Records().ReadRecord(aTrans, aRefNr, record.data());
    const TqdResult r = table.Indices().DeleteKeys(aTrans, aRefNr, record.data(), aPath);
    table.Records().DeleteRecord(aTrans, aRefNr);
    return r;
  }
};

bool Find(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, TqdKeyValue aValue, TqdBaseIndexPath* aPath,
          TqdSearchKeyAction aAction, TqdRefNr aRefNr = 0, int32_t aIndex = 0) {
  std::vector<uint8_t> key = aTable.Key(aIndex, aValue);
  return Tree(aTable, aIndex).FindKey(aTrans, key.data(), 0, 0, aRefNr, aPath, aAction, nullptr);
}

std::optional<ModelEntry> At(TqdIndexTestTable& aTable, const TqdBaseIndexPath& aPath) {
  if (!aPath.IsOnKey()) return std::nullopt;
  return ModelEntry{aTable.ValueOf(0, aPath.Key), aPath.RefNr};
}

// --- Capacities and layout ---------------------------------------------------------------------------

TEST(KeylessBstarTreeLayout, CapacitiesFollowTheUsableBlockSizeAlone) {
  struct Case {
    uint32_t usable;
    int32_t leaf;
    int32_t internal;
  };
  const Case cases[] = {{4092, 506, 337}, {16380, 2042, 1361}, {4076, 504, 336}, {4096, 507, 337}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.usable);
    const TqdKeylessCapacities capacities = qdKeylessCapacities(c.usable);
    EXPECT_EQ(capacities.kcLeaf, c.leaf);
    EXPECT_EQ(capacities.kcInternal, c.internal);
  }
}

TEST(KeylessBstarTreeLayout, EntriesSitAtTheirOffsetsAndTheEngineTakesTheFilesCapacities) {
  for (TqdBlockSize size : {qdbs4k, qdbs16k}) {
    TqdIndexTestTable table(TqdTestIndexShapes{Keyless(100)}, size);
    table.Create();
    TqdTree& tree = Tree(table);
    const TqdKeylessCapacities expected = qdKeylessCapacities(table.Access().fiBlockSizeBytes());
    EXPECT_EQ(tree.MaxLeafNodeKeyCount(), expected.kcLeaf);
    EXPECT_EQ(tree.MaxInternalNodeKeyCount(), expected.kcInternal);
    if (size == qdbs4k) {
      EXPECT_EQ(tree.MaxLeafNodeKeyCount(), 506);
    }
    std::vector<uint8_t> node(table.Access().fiBlockSizeBytes(), 0);
    for (int32_t i : {0, 1, 7, tree.MaxLeafNodeKeyCount() - 1}) {
      tree.SetLeafRefNr(node.data(), i, -1234567890123LL - i);
      EXPECT_EQ(qdGetI64(node.data() + 40 + 8 * i), -1234567890123LL - i);
    }
    for (int32_t i : {0, 1, tree.MaxInternalNodeKeyCount() - 1}) {
      tree.SetNodeRefNr(node.data(), i, 987654321012LL + i);
      EXPECT_EQ(qdGetI64(node.data() + 44 + 12 * i), 987654321012LL + i);
      tree.SetTreePointer(node.data(), i, 4000u + uint32_t(i));
      EXPECT_EQ(qdGetU32(node.data() + 40 + 12 * i), 4000u + uint32_t(i));
    }
    const int32_t last = tree.MaxInternalNodeKeyCount();
    tree.SetTreePointer(node.data(), last, 77);
    EXPECT_EQ(qdGetU32(node.data() + 40 + 12 * last), 77u);
  }
}

TEST(KeylessBstarTreeLayout, AFullLeafSplitsSoThatBothHalvesEndEvenWithTheNewEntry) {
  struct Case {
    int32_t capacity;
    int32_t position;
    int32_t keep;
    int32_t newFirst;
    bool intoNew;
    int32_t newPosition;
  };
  const Case cases[] = {
      // Odd capacity, insertion after the middle: the old leaf keeps one
      // more (254, 253 move), the new entry joins the new leaf (254, 254).
      {507, 400, 254, 127, true, 273},
      {507, 254, 254, 127, true, 127},
      {507, 255, 254, 127, true, 128},
      // Odd capacity, insertion before the middle: 253 stay, 254 move, the
      // new entry joins the old leaf.
      {507, 100, 253, 126, false, 0},
      // Even capacity: halves of 253; at the middle the new leaf takes it.
      {506, 253, 253, 126, true, 126},
      {506, 252, 253, 126, false, 0},
      {506, 505, 253, 126, true, 378},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.capacity << " at " << c.position);
    const TqdLeafSplit split = qdKeylessLeafSplit(c.capacity, c.position);
    EXPECT_EQ(split.lsKeep, c.keep);
    EXPECT_EQ(split.lsNewFirst, c.newFirst);
    EXPECT_EQ(split.lsIntoNew, c.intoNew);
    if (c.intoNew) {
      EXPECT_EQ(split.lsNewPosition, c.newPosition);
    }
  }
  const TqdLeafSplit odd = qdKeylessLeafSplit(507, 400);
  EXPECT_EQ(507 - odd.lsKeep, 253);
  EXPECT_EQ(odd.lsKeep, 507 - odd.lsKeep + 1);
}

// --- Creation ----------------------------------------------------------------------------------------

TEST(KeylessBstarTreeCreate, TheNameFindsTheClassAndTheEngineNeedsARecordEngineAndANonCacheTable) {
  EXPECT_EQ(TqdBaseIndexEngine::FindEngineClass(u"keylessbstartree"), &TqdTree::ClassInfo);

  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  TqdBlockAccessList files{&table.CountingAccess()};
  const auto withoutRecords = [&] {
    std::unique_ptr<TqdBaseIndicesEngine> indices(
        TqdBaseIndicesEngine::CreateEngine(&table.Dict(), files, nullptr, nullptr, false));
  };
  EXPECT_EQ(CodeOf(withoutRecords), qdeNotSupported);
  EXPECT_NE(TextOf(withoutRecords).find("TqdKeylessBstarTreeIndexEngine requires a RecordEngine"), std::string::npos)
      << TextOf(withoutRecords);

  table.Dict().SetCachingState(tcsIsCache);
  const auto onCacheTable = [&] {
    std::unique_ptr<TqdBaseIndicesEngine> indices(
        TqdBaseIndicesEngine::CreateEngine(&table.Dict(), files, &table.Records(), nullptr, false));
  };
  const std::string expected =
      StringToUtf8(qdString(table.Dict().ClassType().ClassName)) + " is not supported for cache tables";
  EXPECT_EQ(CodeOf(onCacheTable), qdeNotSupported);
  EXPECT_NE(TextOf(onCacheTable).find(expected), std::string::npos) << TextOf(onCacheTable);
  table.Dict().SetCachingState(tcsNone);
}

// --- The model run -----------------------------------------------------------------------------------

struct ModelCase {
  int32_t keyLength;
  TqdIndexDups dups;
  TqdBlockSize blockSize;
};

class KeylessBstarTreeModelTest : public testing::TestWithParam<ModelCase> {};

// Every search action for aValue agrees with the model.
void ExpectFindsAgree(TqdIndexTestTable& aTable, TqdBaseTransaction* aTrans, const std::set<ModelEntry>& aModel,
                      TqdKeyValue aValue) {
  TqdTree& tree = Tree(aTable);
  auto path = NewPath(tree);
  const ModelEntry low{aValue, std::numeric_limits<TqdRefNr>::min()};
  const ModelEntry high{aValue, std::numeric_limits<TqdRefNr>::max()};
  const auto firstAtOrAfter = aModel.lower_bound(low);
  const auto firstAfter = aModel.upper_bound(high);
  const bool present = firstAtOrAfter != firstAfter;
  const auto expectOn = [&](const char* aWhat, bool aResult, std::optional<ModelEntry> aExpected, bool aAtEof) {
    SCOPED_TRACE(aWhat);
    EXPECT_TRUE(aResult);
    if (aExpected) {
      EXPECT_EQ(At(aTable, *path), aExpected);
    } else {
      EXPECT_TRUE(aAtEof ? path->IsEof() : path->IsBof());
    }
  };
  {
    const bool r = Find(aTable, aTrans, aValue, path.get(), skaEqualFirst);
    EXPECT_EQ(r, present);
    if (present) {
      EXPECT_EQ(At(aTable, *path), *firstAtOrAfter);
    }
  }
  {
    const bool r = Find(aTable, aTrans, aValue, path.get(), skaEqualLast);
    EXPECT_EQ(r, present);
    if (present) {
      EXPECT_EQ(At(aTable, *path), *std::prev(firstAfter));
    }
  }
  std::optional<ModelEntry> expected;
  expected = firstAtOrAfter != aModel.end() ? std::optional<ModelEntry>(*firstAtOrAfter) : std::nullopt;
  expectOn("GreaterEqual", Find(aTable, aTrans, aValue, path.get(), skaGreaterEqual), expected, true);
  expected = firstAfter != aModel.end() ? std::optional<ModelEntry>(*firstAfter) : std::nullopt;
  expectOn("Greater", Find(aTable, aTrans, aValue, path.get(), skaGreater), expected, true);
  expected = firstAfter != aModel.begin() ? std::optional<ModelEntry>(*std::prev(firstAfter)) : std::nullopt;
  expectOn("SmallerEqual", Find(aTable, aTrans, aValue, path.get(), skaSmallerEqual), expected, false);
  expected = firstAtOrAfter != aModel.begin() ? std::optional<ModelEntry>(*std::prev(firstAtOrAfter)) : std::nullopt;
  expectOn("Smaller", Find(aTable, aTrans, aValue, path.get(), skaSmaller), expected, false);
  EXPECT_EQ(path->CachedKeyCount(), 0u);
}

TEST_P(KeylessBstarTreeModelTest, RandomInsertsAndDeletesWithCommitsRollbacksAndReopensAgreeWithAModel) {
  // 10^5 steps. A transaction groups up to 60 steps and then commits or
  // (one in four) rolls back; every 20 transactions the table is reopened;
  // after every 1,000 steps the checker walks the index and every search
  // action is asked for a few values, present and absent.
  const ModelCase c = GetParam();
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(c.keyLength, c.dups)}, c.blockSize);
  table.Create();
  Records records{table};
  std::mt19937_64 random(uint64_t(c.keyLength) * 1000003 + uint64_t(c.dups) * 31 + uint64_t(c.blockSize));
  // The live set hovers around a few thousand entries, so that the tree
  // has several levels of leaves and splits, refills and merges all happen.
  const uint64_t range = c.dups == idAll ? 2000 : 8000;
  const size_t target = c.blockSize == qdbs4k ? 3000 : 5000;
  std::set<ModelEntry> committed;
  std::vector<ModelEntry> committedPool;
  int32_t transactions = 0;
  int32_t step = 0;
  int32_t nextCheck = 1000;
  const int32_t steps = 100000;
  const auto valueFor = [&]() -> TqdKeyValue {
    if (c.dups != idNone && random() % 10 == 0) return std::nullopt;
    return random() % range;
  };
  while (step < steps) {
    std::set<ModelEntry> model = committed;
    std::vector<ModelEntry> pool = committedPool;
    auto trans = table.Begin();
    auto path = NewPath(Tree(table));
    const int32_t changes = int32_t(random() % 60) + 1;
    for (int32_t i = 0; i < changes; ++i, ++step) {
      const bool insert = pool.empty() || random() % (2 * target) >= pool.size();
      if (insert) {
        const TqdKeyValue value = valueFor();
        bool allowed = true;
        if (c.dups == idNone || (c.dups == idNull && value)) {
          auto it = model.lower_bound({value, std::numeric_limits<TqdRefNr>::min()});
          allowed = it == model.end() || it->first != value;
        }
        TqdResult result = 0;
        const TqdRefNr refNr = records.Add(trans.get(), value, &result, i % 3 == 0 ? path.get() : nullptr);
        ASSERT_EQ(result == 0, allowed) << "step " << step << " result " << result;
        if (allowed) {
          model.insert({value, refNr});
          pool.push_back({value, refNr});
        }
      } else {
        const size_t at = size_t(random() % pool.size());
        const ModelEntry entry = pool[at];
        pool[at] = pool.back();
        pool.pop_back();
        const bool withPath = i % 2 == 0;
        if (withPath && i % 4 == 0) {
          ASSERT_TRUE(Find(table, trans.get(), entry.first, path.get(), skaEqualFirst, entry.second));
        }
        ASSERT_EQ(records.Remove(trans.get(), entry.second, withPath ? path.get() : nullptr), 0u) << "step " << step;
        model.erase(entry);
        if (withPath && !model.empty()) {
          // The path ends beside the gap: its neighbours are the model's.
          auto next = std::unique_ptr<TqdBaseIndexPath>(path->Duplicate());
          const auto after = model.upper_bound(entry);
          if (Tree(table).NextKey(trans.get(), next.get(), nullptr)) {
            ASSERT_EQ(At(table, *next), *after) << "step " << step;
          } else {
            ASSERT_TRUE(after == model.end()) << "step " << step;
          }
        }
      }
      EXPECT_EQ(path->CachedKeyCount(), 0u);
    }
    if (random() % 4 == 0) {
      trans->Rollback();
    } else {
      trans->Commit();
      committed = std::move(model);
      committedPool = std::move(pool);
    }
    path.reset();
    if (++transactions % 20 == 0) table.Reopen();
    if (step >= nextCheck || step >= steps) {
      nextCheck += 1000;
      auto check = table.Begin();
      const std::vector<ModelEntry> entries = CheckedEntries(table, check.get());
      ASSERT_TRUE(std::equal(entries.begin(), entries.end(), committed.begin(), committed.end()))
          << "after step " << step;
      for (int32_t k = 0; k < 4; ++k) {
        const TqdKeyValue value = k == 0 && !committedPool.empty()
                                      ? committedPool[size_t(random() % committedPool.size())].first
                                      : TqdKeyValue(random() % (range + 10));
        ExpectFindsAgree(table, check.get(), committed, value);
      }
      if (c.dups != idNone) ExpectFindsAgree(table, check.get(), committed, std::nullopt);
      check->Rollback();
      if (testing::Test::HasFailure()) return;
    }
  }
}

std::vector<ModelCase> AllModelCases() {
  std::vector<ModelCase> cases;
  for (int32_t keyLength : {4, 32, 100})
    for (TqdIndexDups dups : {idNone, idAll, idNull})
      for (TqdBlockSize size : {qdbs4k, qdbs16k}) cases.push_back({keyLength, dups, size});
  return cases;
}

std::string ModelCaseName(const testing::TestParamInfo<ModelCase>& aInfo) {
  const char* dups[] = {"Unique", "All", "Null"};
  return "Key" + std::to_string(aInfo.param.keyLength) + dups[aInfo.param.dups] +
         (aInfo.param.blockSize == qdbs4k ? "4k" : "16k");
}

INSTANTIATE_TEST_SUITE_P(All, KeylessBstarTreeModelTest, testing::ValuesIn(AllModelCases()), ModelCaseName);

// --- Searches ----------------------------------------------------------------------------------------

TEST(KeylessBstarTreeSearch, AnEmptyIndexAnswersByAction) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  auto trans = table.Begin();
  auto path = NewPath(Tree(table));
  EXPECT_TRUE(Find(table, trans.get(), 5, path.get(), skaGreaterEqual));
  EXPECT_TRUE(path->IsEof());
  EXPECT_TRUE(Find(table, trans.get(), 5, path.get(), skaSmaller));
  EXPECT_TRUE(path->IsBof());
  path->Position = ippOnCrackAfter;
  path->RefNr = 77;
  EXPECT_FALSE(Find(table, trans.get(), 5, path.get(), skaEqualFirst));
  EXPECT_EQ(path->Position, ippOnCrackAfter);
  EXPECT_EQ(path->RefNr, 77);
  trans->Rollback();
}

TEST(KeylessBstarTreeSearch, EqualKeysOfSeveralRecordsAreFoundFromTheLowestOrTheHighestReference) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9, idAll)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  std::vector<TqdRefNr> sevens;
  // Enough entries for several leaves, the sevens spread over a boundary.
  for (uint64_t v = 0; v < 1500; ++v) {
    (void)records.Add(trans.get(), v);
    if (v % 100 == 0)
      for (int i = 0; i < 3; ++i) sevens.push_back(records.Add(trans.get(), 7));
  }
  std::sort(sevens.begin(), sevens.end());
  auto path = NewPath(Tree(table));
  EXPECT_TRUE(Find(table, trans.get(), 7, path.get(), skaEqualFirst));
  EXPECT_EQ(path->RefNr, sevens.front());
  EXPECT_TRUE(Find(table, trans.get(), 7, path.get(), skaEqualLast));
  EXPECT_EQ(path->RefNr, sevens.back());
  EXPECT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get()));
  trans->Rollback();
}

TEST(KeylessBstarTreeSearch, AKeyBetweenTwoLeavesEndsOnTheCrackBesideThemAndGreaterEqualStepsIntoTheNextLeaf) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  // Even values only, ascending: the leaves split at the middle.
  for (uint64_t v = 0; v < 1200; ++v) (void)records.Add(trans.get(), 2 * v);
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get(), {}, &shape));
  ASSERT_GE(shape.Leaves.size(), 3u);
  const std::vector<uint8_t> leaf = NodeImage(table, trans.get(), shape.Leaves[0]);
  const std::vector<uint8_t> next = NodeImage(table, trans.get(), shape.Leaves[1]);
  const TqdRefNr lastRef =
      Tree(table).LeafRefNr(leaf.data(), qdIndexNodeFirst(leaf.data()) + qdIndexNodeCount(leaf.data()) - 1);
  const TqdRefNr nextRef = Tree(table).LeafRefNr(next.data(), qdIndexNodeFirst(next.data()));
  const uint64_t lastValue = 2 * uint64_t(qdIndexNodeCount(leaf.data()) - 1);
  auto path = NewPath(Tree(table));
  ASSERT_TRUE(Find(table, trans.get(), lastValue, path.get(), skaEqualFirst));
  ASSERT_EQ(path->RefNr, lastRef);
  // The separator names the first leaf's greatest entry, so the key
  // between them leads into the second leaf, before its first entry.
  EXPECT_FALSE(Find(table, trans.get(), lastValue + 1, path.get(), skaEqualFirst));
  EXPECT_EQ(path->Position, ippOnCrackBefore);
  EXPECT_EQ(path->bpipPage, shape.Leaves[1]);
  EXPECT_EQ(path->RefNr, nextRef);
  EXPECT_TRUE(Find(table, trans.get(), lastValue + 1, path.get(), skaGreaterEqual));
  EXPECT_EQ(At(table, *path), ModelEntry(lastValue + 2, nextRef));
  // On the crack after the first leaf's last entry, the next key is the
  // second leaf's first.
  ASSERT_TRUE(Find(table, trans.get(), lastValue, path.get(), skaEqualFirst));
  path->Position = ippOnCrackAfter;
  EXPECT_TRUE(Tree(table).NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(At(table, *path), ModelEntry(lastValue + 2, nextRef));
  // Past the last leaf's end: the crack after its last entry.
  EXPECT_FALSE(Find(table, trans.get(), 5000, path.get(), skaEqualFirst));
  EXPECT_EQ(path->Position, ippOnCrackAfter);
  EXPECT_EQ(path->bpipPage, shape.Leaves.back());
  EXPECT_EQ(table.ValueOf(0, path->Key), 2398u);
  EXPECT_TRUE(Find(table, trans.get(), 5000, path.get(), skaGreaterEqual));
  EXPECT_TRUE(path->IsEof());
  trans->Rollback();
}

TEST(KeylessBstarTreeSearch, AKeyFilterHidingTheOnlyEqualKeyMakesEqualFirstAnswerFalse) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  for (uint64_t v = 0; v < 20; ++v) (void)records.Add(trans.get(), v);
  auto path = NewPath(Tree(table));
  HideValueFilter filter(table, 5);
  std::vector<uint8_t> key = table.Key(0, 5);
  EXPECT_FALSE(Tree(table).FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, &filter));
  EXPECT_TRUE(Tree(table).FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaGreaterEqual, &filter));
  EXPECT_EQ(table.ValueOf(0, path->Key), 6u);
  HideValueFilter none(table, 999);
  EXPECT_TRUE(Tree(table).FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, &none));
  trans->Rollback();
}

// --- Key access --------------------------------------------------------------------------------------

TEST(KeylessBstarTreeKeyAccess, TheRecordUnderInsertionOrDeletionIsNeverRead) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  for (uint64_t v = 0; v < 2000; v += 2) (void)records.Add(trans.get(), v);
  TqdTestRecordEngine& engine = table.TestRecords();
  for (uint64_t value : {uint64_t(1), uint64_t(999), uint64_t(1997), uint64_t(5000)}) {
    SCOPED_TRACE(value);
    std::vector<uint8_t> record = table.Record(1, {value});
    TqdRefNr refNr = 0;
    table.Records().AddRecord(trans.get(), refNr, record.data());
    engine.fRefused = refNr;
    EXPECT_EQ(table.Indices().InsertKeys(trans.get(), refNr, record.data(), nullptr), 0u);
    EXPECT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get()).failure_message() != nullptr);
    engine.fRefused = 0;
    EXPECT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get()));
    engine.fRefused = refNr;
    EXPECT_EQ(table.Indices().DeleteKeys(trans.get(), refNr, record.data(), nullptr), 0u);
    engine.fRefused = 0;
    EXPECT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get()));
  }
  trans->Rollback();
}

TEST(KeylessBstarTreeKeyAccess, AFindReadsAtMostOneBinarySearchOfRecordsPerLevelAndAnUnchangedPathNone) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  std::mt19937_64 random(11);
  std::vector<uint64_t> values;
  for (uint64_t v = 0; v < 60000; ++v) values.push_back(v);
  std::shuffle(values.begin(), values.end(), random);
  for (uint64_t v : values) (void)records.Add(trans.get(), v);
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get(), {}, &shape));
  ASSERT_GE(shape.Depth, 2);
  const int32_t capacity = std::max(Tree(table).MaxLeafNodeKeyCount(), Tree(table).MaxInternalNodeKeyCount());
  const uint64_t bound = uint64_t(shape.Depth) * uint64_t(std::ceil(std::log2(double(capacity) + 1))) + 1;
  TqdTestRecordEngine& engine = table.TestRecords();
  auto path = NewPath(Tree(table));
  uint64_t most = 0;
  for (int32_t i = 0; i < 300; ++i) {
    const uint64_t value = values[size_t(random() % values.size())];
    engine.fReads = 0;
    ASSERT_TRUE(Find(table, trans.get(), value, path.get(), skaEqualFirst));
    most = std::max(most, engine.fReads);
    EXPECT_LE(engine.fReads, bound) << "value " << value;
    EXPECT_EQ(path->CachedKeyCount(), 0u);
  }
  EXPECT_GT(most, 0u);
  engine.fReads = 0;
  Tree(table).ValidateIndexPath(trans.get(), path.get());
  EXPECT_EQ(engine.fReads, 0u);
  EXPECT_TRUE(path->IsOnKey());
  trans->Rollback();
}

TEST(KeylessBstarTreeKeyAccess, ARecordReadThatStopsRaises15520AndTheCacheEndsEmpty) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  const TqdRefNr only = records.Add(trans.get(), 10);
  auto path = NewPath(Tree(table));
  table.TestRecords().fRefused = only;
  EXPECT_EQ(CodeOf([&] { (void)Find(table, trans.get(), 10, path.get(), skaEqualFirst); }), 15520u);
  EXPECT_EQ(path->CachedKeyCount(), 0u);
  EXPECT_TRUE(path->IsBof());
  EXPECT_EQ(CodeOf([&] { (void)Find(table, trans.get(), 10, path.get(), skaGreaterEqual); }), 15520u);
  EXPECT_TRUE(path->IsEof());
  table.TestRecords().fRefused = 0;
  // The scope is closed: the path serves another transaction afterwards.
  trans->Rollback();
  auto next = table.Begin();
  EXPECT_FALSE(Find(table, next.get(), 10, path.get(), skaEqualFirst));
  next->Rollback();
}

// --- Insertion ---------------------------------------------------------------------------------------

TEST(KeylessBstarTreeInsert, TheFirstKeySitsInTheMiddleOfTheRootLeaf) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(100)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  auto path = NewPath(Tree(table));
  const TqdRefNr refNr = records.Add(trans.get(), 42, nullptr, path.get());
  const HeaderValues values = Values(Tree(table), trans.get());
  EXPECT_EQ(values.keys, 1u);
  EXPECT_EQ(values.pages, 1u);
  const std::vector<uint8_t> leaf = NodeImage(table, trans.get(), values.root);
  EXPECT_EQ(qdIndexNodeFirst(leaf.data()), 253);
  EXPECT_EQ(qdIndexNodeCount(leaf.data()), 1);
  EXPECT_EQ(Tree(table).LeafRefNr(leaf.data(), 253), refNr);
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_EQ(path->bpipItem, 253);
  EXPECT_EQ(path->RefNr, refNr);
  trans->Rollback();
}

TEST(KeylessBstarTreeInsert, DuplicatesAreRefusedAsTheIndexSays) {
  // idAll: the same entry again changes nothing.
  {
    TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9, idAll)});
    table.Create();
    Records records{table};
    auto trans = table.Begin();
    TqdRefNr refNr = 0;
    for (uint64_t v = 0; v < 50; ++v) refNr = records.Add(trans.get(), v % 10);
    const HeaderValues before = Values(Tree(table), trans.get());
    const std::vector<uint8_t> image = NodeImage(table, trans.get(), before.root);
    std::vector<uint8_t> key = table.Key(0, 9);
    EXPECT_FALSE(Tree(table).InsertKey(trans.get(), key.data(), refNr, 0, nullptr));
    const HeaderValues after = Values(Tree(table), trans.get());
    EXPECT_EQ(after.keys, before.keys);
    EXPECT_EQ(NodeImage(table, trans.get(), before.root), image);
    trans->Rollback();
  }
  // Unique: an equal key at the end of the previous leaf is found across
  // the boundary.
  {
    TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
    table.Create();
    Records records{table};
    auto trans = table.Begin();
    for (uint64_t v = 0; v < 600; ++v) (void)records.Add(trans.get(), v);
    TqdBstarTreeShape shape;
    ASSERT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get(), {}, &shape));
    ASSERT_EQ(shape.Leaves.size(), 2u);
    const std::vector<uint8_t> leaf = NodeImage(table, trans.get(), shape.Leaves[0]);
    const int32_t last = qdIndexNodeFirst(leaf.data()) + qdIndexNodeCount(leaf.data()) - 1;
    auto probe = NewPath(Tree(table));
    ASSERT_TRUE(Find(table, trans.get(), uint64_t(last - qdIndexNodeFirst(leaf.data())), probe.get(), skaEqualFirst));
    ASSERT_EQ(probe->RefNr, Tree(table).LeafRefNr(leaf.data(), last));
    // A greater reference leads the descent into the second leaf, before
    // its first entry.
    std::vector<uint8_t> key(probe->Key, probe->Key + table.KeyEngine().KeyLength());
    TqdIndexReadCounter counter(table);
    EXPECT_FALSE(Tree(table).InsertKey(trans.get(), key.data(), std::numeric_limits<TqdRefNr>::max() - 5, 0, nullptr));
    EXPECT_NE(std::find(counter.Blocks().begin(), counter.Blocks().end(), shape.Leaves[0]), counter.Blocks().end());
    EXPECT_EQ(Values(Tree(table), trans.get()).keys, 600u);
    EXPECT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get()));
    trans->Rollback();
  }
  // Duplicates only for keys with nulls.
  {
    TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9, idNull)});
    table.Create();
    Records records{table};
    auto trans = table.Begin();
    TqdResult result = 1;
    (void)records.Add(trans.get(), std::nullopt, &result);
    EXPECT_EQ(result, 0u);
    (void)records.Add(trans.get(), std::nullopt, &result);
    EXPECT_EQ(result, 0u);
    (void)records.Add(trans.get(), 5, &result);
    EXPECT_EQ(result, 0u);
    (void)records.Add(trans.get(), 5, &result);
    EXPECT_EQ(result, qdeKeyViol);
    EXPECT_EQ(Values(Tree(table), trans.get()).keys, 3u);
    EXPECT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get()));
    trans->Rollback();
  }
}

TEST(KeylessBstarTreeInsert, AFullLeafSplitsIntoHalvesAndTheSeparatorNamesTheOldLeafsLastEntry) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  const int32_t capacity = Tree(table).MaxLeafNodeKeyCount();
  for (int32_t v = 0; v < capacity; ++v) (void)records.Add(trans.get(), uint64_t(2 * v));
  HeaderValues values = Values(Tree(table), trans.get());
  ASSERT_EQ(values.pages, 1u);
  std::vector<uint8_t> leaf = NodeImage(table, trans.get(), values.root);
  ASSERT_EQ(qdIndexNodeFirst(leaf.data()), 0);
  // The new entry belongs after the middle.
  auto path = NewPath(Tree(table));
  const TqdRefNr refNr = records.Add(trans.get(), 2 * uint64_t(capacity) - 3, nullptr, path.get());
  values = Values(Tree(table), trans.get());
  EXPECT_EQ(values.pages, 3u);
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get(), {}, &shape));
  ASSERT_EQ(shape.Leaves.size(), 2u);
  const std::vector<uint8_t> left = NodeImage(table, trans.get(), shape.Leaves[0]);
  const std::vector<uint8_t> right = NodeImage(table, trans.get(), shape.Leaves[1]);
  EXPECT_EQ(qdIndexNodeCount(left.data()), capacity / 2);
  EXPECT_EQ(qdIndexNodeCount(right.data()), capacity - capacity / 2 + 1);
  EXPECT_EQ(path->bpipPage, shape.Leaves[1]);
  EXPECT_EQ(path->RefNr, refNr);
  const std::vector<uint8_t> root = NodeImage(table, trans.get(), values.root);
  EXPECT_EQ(Tree(table).NodeRefNr(root.data(), 0),
            Tree(table).LeafRefNr(left.data(), qdIndexNodeFirst(left.data()) + capacity / 2 - 1));
  trans->Rollback();
}

// --- Deletion ----------------------------------------------------------------------------------------

TEST(KeylessBstarTreeDelete, TheGreatestEntryOfASubtreeIsReplacedInTheNearestAncestorThatNamesIt) {
  // Ascending inserts fill leaves to half: three levels after ~86,000.
  // Even values, so that a leaf can be topped up from the odd ones and a
  // deletion does not make it underflow.
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(4)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  std::map<TqdRefNr, uint64_t> valueOf;
  for (uint64_t v = 0;; ++v) {
    valueOf[records.Add(trans.get(), 2 * v)] = 2 * v;
    if (v % 5000 == 4999) {
      const HeaderValues values = Values(Tree(table), trans.get());
      const std::vector<uint8_t> root = NodeImage(table, trans.get(), values.root);
      if (qdIndexNodeKind(root.data()) == kIndexNodeInternal) {
        const std::vector<uint8_t> child = NodeImage(table, trans.get(), Tree(table).TreePointer(root.data(), 0));
        if (qdIndexNodeKind(child.data()) == kIndexNodeInternal) break;
      }
    }
  }
  TqdTree& tree = Tree(table);
  const HeaderValues values = Values(tree, trans.get());
  // Child 0 of the root is an internal node; its last child is a leaf whose
  // greatest entry the root's separator 0 names, its child 3 a leaf whose
  // greatest entry only the internal node's separator 3 names.
  const TqdBlockNumber middle = tree.TreePointer(NodeImage(table, trans.get(), values.root).data(), 0);
  const std::vector<uint8_t> middleNode = NodeImage(table, trans.get(), middle);
  const int32_t separators = qdIndexNodeCount(middleNode.data());
  const auto lastOf = [&](TqdBlockNumber aLeaf) {
    const std::vector<uint8_t> leaf = NodeImage(table, trans.get(), aLeaf);
    return tree.LeafRefNr(leaf.data(), qdIndexNodeFirst(leaf.data()) + qdIndexNodeCount(leaf.data()) - 1);
  };
  const auto topUp = [&](TqdBlockNumber aLeaf) {
    const std::vector<uint8_t> leaf = NodeImage(table, trans.get(), aLeaf);
    const uint64_t first = valueOf[tree.LeafRefNr(leaf.data(), qdIndexNodeFirst(leaf.data()))];
    for (uint64_t k = 0; k < 20; ++k) (void)records.Add(trans.get(), first + 2 * k + 1);
  };
  const TqdBlockNumber lastLeaf = tree.TreePointer(middleNode.data(), separators);
  const TqdBlockNumber innerLeaf = tree.TreePointer(middleNode.data(), 3);
  topUp(lastLeaf);
  topUp(innerLeaf);
  ASSERT_TRUE(CheckKeylessBstarTree(tree, trans.get()));
  const auto separatorsOf = [&](TqdBlockNumber aNode) {
    const std::vector<uint8_t> node = NodeImage(table, trans.get(), aNode);
    std::vector<TqdRefNr> r;
    for (int32_t i = 0; i < qdIndexNodeCount(node.data()); ++i) r.push_back(tree.NodeRefNr(node.data(), i));
    return r;
  };
  std::vector<TqdRefNr> rootSeparators = separatorsOf(values.root);
  std::vector<TqdRefNr> middleSeparators = separatorsOf(middle);

  const TqdRefNr removed = lastOf(lastLeaf);
  ASSERT_EQ(rootSeparators[0], removed);
  ASSERT_EQ(records.Remove(trans.get(), removed), 0u);
  rootSeparators[0] = lastOf(lastLeaf);
  EXPECT_EQ(separatorsOf(values.root), rootSeparators);
  EXPECT_EQ(separatorsOf(middle), middleSeparators);

  const TqdRefNr innerRemoved = lastOf(innerLeaf);
  ASSERT_EQ(middleSeparators[3], innerRemoved);
  ASSERT_EQ(records.Remove(trans.get(), innerRemoved), 0u);
  middleSeparators[3] = lastOf(innerLeaf);
  EXPECT_EQ(separatorsOf(middle), middleSeparators);
  EXPECT_EQ(separatorsOf(values.root), rootSeparators);
  EXPECT_TRUE(CheckKeylessBstarTree(tree, trans.get()));
  trans->Rollback();
}

TEST(KeylessBstarTreeDelete, DeletingEverythingCollapsesToOneLeafThenToNothing) {
  // Three levels (internal nodes below the root refill and merge too),
  // with runs of equal keys.
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(4, idAll)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  std::vector<TqdRefNr> refs;
  std::mt19937_64 random(5);
  for (uint64_t v = 0;; ++v) {
    refs.push_back(records.Add(trans.get(), v / 3));
    if (v % 5000 == 4999) {
      const std::vector<uint8_t> root = NodeImage(table, trans.get(), Values(Tree(table), trans.get()).root);
      if (qdIndexNodeKind(root.data()) == kIndexNodeInternal &&
          qdIndexNodeKind(NodeImage(table, trans.get(), Tree(table).TreePointer(root.data(), 0)).data()) ==
              kIndexNodeInternal)
        break;
    }
  }
  trans->Commit();
  trans = table.Begin();
  std::shuffle(refs.begin(), refs.end(), random);
  auto path = NewPath(Tree(table));
  bool sawSingleLeaf = false;
  for (size_t i = 0; i < refs.size(); ++i) {
    ASSERT_EQ(records.Remove(trans.get(), refs[i], path.get()), 0u);
    if (i % 5000 == 0 || refs.size() - i < 600) {
      ASSERT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get()));
    }
    const HeaderValues values = Values(Tree(table), trans.get());
    if (values.pages == 1 && !sawSingleLeaf) {
      sawSingleLeaf = true;
      const std::vector<uint8_t> root = NodeImage(table, trans.get(), values.root);
      EXPECT_EQ(qdIndexNodeKind(root.data()), kIndexNodeLeaf);
      EXPECT_EQ(qdIndexNodePrev(root.data()), kNoBlock);
      EXPECT_EQ(qdIndexNodeNext(root.data()), kNoBlock);
    }
  }
  EXPECT_TRUE(sawSingleLeaf);
  const HeaderValues values = Values(Tree(table), trans.get());
  EXPECT_EQ(values.root, qdIndexRootNone);
  EXPECT_EQ(values.pages, 0u);
  EXPECT_EQ(values.keys, 0u);
  EXPECT_TRUE(path->IsBof());
  path.reset();
  trans->Commit();
  table.Reopen();
  EXPECT_TRUE(CheckKeylessBstarTree(Tree(table), nullptr));
}

TEST(KeylessBstarTreeDelete, AUniqueIndexDeletesOnlyTheEntryOfTheRecordGiven) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  TqdRefNr five = 0;
  for (uint64_t v = 0; v < 10; ++v) {
    const TqdRefNr refNr = records.Add(trans.get(), v);
    if (v == 5) five = refNr;
  }
  const HeaderValues before = Values(Tree(table), trans.get());
  const std::vector<uint8_t> image = NodeImage(table, trans.get(), before.root);
  std::vector<uint8_t> key = table.Key(0, 5);
  EXPECT_FALSE(Tree(table).DeleteKey(trans.get(), key.data(), five + 1, 0, nullptr));
  EXPECT_EQ(Values(Tree(table), trans.get()).keys, before.keys);
  EXPECT_EQ(NodeImage(table, trans.get(), before.root), image);
  EXPECT_TRUE(Tree(table).DeleteKey(trans.get(), key.data(), five, 0, nullptr));
  trans->Rollback();
}

TEST(KeylessBstarTreeDeletePath, APathOnTheRemovedEntryEndsDeletedOnTheCrackBesideIt) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  std::map<uint64_t, TqdRefNr> refs;
  for (uint64_t v = 0; v < 20; ++v) refs[v] = records.Add(trans.get(), v);
  auto path = NewPath(Tree(table));
  // Inside the leaf: the crack before the following entry.
  ASSERT_TRUE(Find(table, trans.get(), 7, path.get(), skaEqualFirst));
  ASSERT_EQ(records.Remove(trans.get(), refs[7], path.get()), 0u);
  EXPECT_EQ(path->Position, ippOnCrackBefore);
  EXPECT_TRUE(path->Deleted);
  EXPECT_TRUE(Tree(table).NextKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(At(table, *path), ModelEntry(8, refs[8]));
  // The leaf's last entry: the crack after the preceding one.
  ASSERT_TRUE(Find(table, trans.get(), 19, path.get(), skaEqualFirst));
  ASSERT_EQ(records.Remove(trans.get(), refs[19], path.get()), 0u);
  EXPECT_EQ(path->Position, ippOnCrackAfter);
  EXPECT_TRUE(path->Deleted);
  EXPECT_TRUE(Tree(table).PrevKey(trans.get(), path.get(), nullptr));
  EXPECT_EQ(At(table, *path), ModelEntry(18, refs[18]));
  trans->Rollback();
}

TEST(KeylessBstarTreeDeletePath, PathsFollowChangesMadeThroughOtherPaths) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  std::map<uint64_t, TqdRefNr> refs;
  for (uint64_t v = 0; v < 3000; v += 3) refs[v] = records.Add(trans.get(), v);
  trans->Commit();
  trans = table.Begin();
  TqdTree& tree = Tree(table);
  // An entry deleted through another path: the neighbours answer.
  for (bool forward : {true, false}) {
    auto path = NewPath(tree);
    ASSERT_TRUE(Find(table, trans.get(), 300, path.get(), skaEqualFirst));
    ASSERT_EQ(records.Remove(trans.get(), refs[300]), 0u);
    EXPECT_TRUE(forward ? tree.NextKey(trans.get(), path.get(), nullptr)
                        : tree.PrevKey(trans.get(), path.get(), nullptr));
    EXPECT_EQ(At(table, *path), forward ? ModelEntry(303, refs[303]) : ModelEntry(297, refs[297]));
    refs[300] = records.Add(trans.get(), 300);
  }
  // Another insert into the path's leaf: only that leaf is searched again.
  {
    auto path = NewPath(tree);
    ASSERT_TRUE(Find(table, trans.get(), 600, path.get(), skaEqualFirst));
    (void)records.Add(trans.get(), 601);
    TqdIndexReadCounter counter(table);
    tree.ValidateIndexPath(trans.get(), path.get());
    EXPECT_EQ(counter.Reads(), 1u);
    EXPECT_EQ(counter.Blocks().front(), path->bpipPage);
    EXPECT_EQ(At(table, *path), ModelEntry(600, refs[600]));
  }
  EXPECT_TRUE(CheckKeylessBstarTree(tree, trans.get()));
  trans->Rollback();
}

TEST(KeylessBstarTreeDeletePath, APathWhoseLeafWentToAnotherIndexIsFoundAgainByAFullSearch) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9), Keyless(9)});
  table.Create();
  auto trans = table.Begin();
  // Index 0 gets two leaves; index 1 stays empty (its key is null... and
  // unique, so its records go only into index 0).
  std::map<uint64_t, TqdRefNr> refs;
  for (uint64_t v = 0; v < 600; ++v) {
    std::vector<uint8_t> record = table.Record(1, {v, std::nullopt});
    TqdRefNr refNr = 0;
    table.Records().AddRecord(trans.get(), refNr, record.data());
    std::vector<uint8_t> key = table.Key(0, v);
    ASSERT_TRUE(Tree(table, 0).InsertKey(trans.get(), key.data(), refNr, 0, nullptr));
    refs[v] = refNr;
  }
  trans->Commit();
  trans = table.Begin();
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckKeylessBstarTree(Tree(table, 0), trans.get(), {}, &shape));
  ASSERT_EQ(shape.Leaves.size(), 2u);
  auto path = NewPath(Tree(table, 0));
  ASSERT_TRUE(Find(table, trans.get(), 590, path.get(), skaEqualFirst));
  const TqdBlockNumber second = path->bpipPage;
  ASSERT_EQ(second, shape.Leaves[1]);
  // Emptying most of the second leaf merges it into the first, freeing it.
  for (uint64_t v = 300; v < 590; ++v) {
    std::vector<uint8_t> key = table.Key(0, v);
    ASSERT_TRUE(Tree(table, 0).DeleteKey(trans.get(), key.data(), refs[v], 0, nullptr));
  }
  ASSERT_TRUE(CheckKeylessBstarTree(Tree(table, 0), trans.get(), {}, &shape));
  ASSERT_EQ(shape.Leaves.size(), 1u);
  // Index 1's first node takes the freed block.
  std::vector<uint8_t> key = table.Key(1, 5);
  ASSERT_TRUE(Tree(table, 1).InsertKey(trans.get(), key.data(), refs[5], 0, nullptr));
  ASSERT_EQ(Values(Tree(table, 1), trans.get()).root, second);
  Tree(table, 0).ValidateIndexPath(trans.get(), path.get());
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_EQ(path->bpipPage, shape.Leaves[0]);
  EXPECT_EQ(At(table, *path), ModelEntry(590, refs[590]));
  trans->Rollback();
}

TEST(KeylessBstarTreeDelete, DeleteAllKeysReturnsEveryNodeToTheFile) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  for (uint64_t v = 0; v < 5000; ++v) (void)records.Add(trans.get(), v * 7 % 5003);
  trans->Commit();
  trans = table.Begin();
  const HeaderValues before = Values(Tree(table), trans.get());
  ASSERT_GT(before.pages, 10u);
  const uint32_t freeBefore = table.Access().HeaderAccess(trans.get(), false)->AvailableBlocks();
  Tree(table).DeleteAllKeys(trans.get());
  const HeaderValues after = Values(Tree(table), trans.get());
  EXPECT_EQ(after.root, qdIndexRootNone);
  EXPECT_EQ(after.pages, 0u);
  EXPECT_EQ(after.keys, 0u);
  EXPECT_EQ(table.Access().HeaderAccess(trans.get(), false)->AvailableBlocks(), freeBefore + before.pages);
  trans->Commit();
  table.Reopen();
  EXPECT_TRUE(CheckKeylessBstarTree(Tree(table), nullptr));
}

// --- Renumbered indexes and damage -------------------------------------------------------------------

TEST(KeylessBstarTreeRenumber, AfterAnEarlierIndexIsRemovedTheTreeIsStillFoundWalkedAndChanged) {
  TqdIndexTestTable table(TqdTestIndexShapes{TqdTestIndexShape(9), Keyless(32)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  std::map<uint64_t, TqdRefNr> refs;
  for (uint64_t v = 0; v < 1500; ++v) refs[v] = records.Add(trans.get(), v);
  trans->Commit();
  trans = table.Begin();
  table.Dict().IndicesDescriptor()->RemoveIndex(0);
  table.Indices().RemoveIndex(trans.get(), 0);
  trans->Commit();
  trans = table.Begin();
  TqdTree& tree = Tree(table, 0);
  EXPECT_EQ(tree.IndexNumber(), 0);
  const HeaderValues values = Values(tree, trans.get());
  EXPECT_EQ(qdIndexNodeIndexNumber(NodeImage(table, trans.get(), values.root).data()), 1);
  auto path = NewPath(tree);
  // The fixture's field of the remaining index is still the second one.
  std::vector<uint8_t> key(size_t(tree.KeyEngine()->KeyLength()) + 8, 0);
  std::vector<uint8_t> image = table.Record(1, {uint64_t(700), uint64_t(700)});
  ASSERT_EQ(tree.KeyEngine()->BuildKey(image.data(), key.data(), 0, true), 0u);
  ASSERT_TRUE(tree.FindKey(trans.get(), key.data(), 0, 0, 0, path.get(), skaEqualFirst, nullptr));
  EXPECT_EQ(path->RefNr, refs[700]);
  for (uint64_t v = 701; v < 710; ++v) {
    ASSERT_TRUE(tree.NextKey(trans.get(), path.get(), nullptr));
    EXPECT_EQ(path->RefNr, refs[v]);
  }
  std::vector<uint8_t> record = table.Record(1, {uint64_t(5000), uint64_t(5000)});
  TqdRefNr refNr = 0;
  table.Records().AddRecord(trans.get(), refNr, record.data());
  EXPECT_EQ(table.Indices().InsertKeys(trans.get(), refNr, record.data(), nullptr), 0u);
  tree.ValidateIndexPath(trans.get(), path.get());
  EXPECT_EQ(path->RefNr, refs[709]);
  EXPECT_TRUE(CheckKeylessBstarTree(tree, trans.get()));
  trans->Commit();
}

TEST(KeylessBstarTreeDamage, ADamagedTreeRaises8962InsteadOfLoopingOrReadingOutOfBounds) {
  struct Damage {
    const char* name;
    // Damages the committed table; aRoot is the root, aLeaves the leaves.
    std::function<void(TqdIndexTestTable&, TqdBlockNumber, const std::vector<TqdBlockNumber>&)> apply;
  };
  const Damage damages[] = {
      {"leaf count beyond capacity",
       [](TqdIndexTestTable& t, TqdBlockNumber, const std::vector<TqdBlockNumber>& l) {
         PokeU16(t, l[1], kIndexBlockCount, 507);
       }},
      {"internal first not 0", [](TqdIndexTestTable& t, TqdBlockNumber r,
                                  const std::vector<TqdBlockNumber>&) { PokeU16(t, r, kIndexBlockFirst, 1); }},
      {"internal count beyond capacity",
       [](TqdIndexTestTable& t, TqdBlockNumber r, const std::vector<TqdBlockNumber>&) {
         PokeU16(t, r, kIndexBlockCount, 338);
       }},
      {"bad kind", [](TqdIndexTestTable& t, TqdBlockNumber r,
                      const std::vector<TqdBlockNumber>&) { Poke(t, r, kIndexBlockKind, {3}); }},
      {"self-pointing internal node",
       [](TqdIndexTestTable& t, TqdBlockNumber r, const std::vector<TqdBlockNumber>&) {
         for (uint32_t i = 0; i < 8; ++i) PokeU32(t, r, 40 + 12 * i, r);
       }},
      {"looping leaf chain",
       [](TqdIndexTestTable& t, TqdBlockNumber, const std::vector<TqdBlockNumber>& l) {
         PokeU32(t, l.back(), kIndexBlockNextLeaf, l.front());
       }},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
    table.Create();
    Records records{table};
    auto trans = table.Begin();
    for (uint64_t v = 0; v < 3000; ++v) (void)records.Add(trans.get(), v);
    trans->Commit();
    TqdBstarTreeShape shape;
    ASSERT_TRUE(CheckKeylessBstarTree(Tree(table), nullptr, {}, &shape));
    damage.apply(table, shape.Root, shape.Leaves);
    trans = table.Begin();
    auto path = NewPath(Tree(table));
    // One step past every key: the whole chain in one call.
    HideValueFilter hideAll(table, 0, true);
    const auto walkAll = [&] {
      path->SetToBof();
      EXPECT_FALSE(Tree(table).NextKey(trans.get(), path.get(), &hideAll));
    };
    const auto findSome = [&] {
      for (uint64_t v : {uint64_t(0), uint64_t(1500), uint64_t(2999)})
        (void)Find(table, trans.get(), v, path.get(), skaEqualFirst);
    };
    const TqdResult walked = CodeOf(walkAll);
    const TqdResult found = CodeOf(findSome);
    EXPECT_TRUE(walked == qdeFileCorrupt || found == qdeFileCorrupt) << walked << " " << found;
    EXPECT_TRUE(walked == 0 || walked == qdeFileCorrupt) << walked;
    EXPECT_TRUE(found == 0 || found == qdeFileCorrupt) << found;
    EXPECT_EQ(path->CachedKeyCount(), 0u);
    trans->Rollback();
  }
}

TEST(KeylessBstarTreeDamage, AFailureAfterASplitBeganMarksTheTransactionCorrupted) {
  TqdIndexTestTable table(TqdTestIndexShapes{Keyless(9)});
  table.Create();
  Records records{table};
  auto trans = table.Begin();
  // Two leaves; then the first is filled until the next insert splits it.
  for (uint64_t v = 0; v < 600; ++v) (void)records.Add(trans.get(), 1000 + v);
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckKeylessBstarTree(Tree(table), trans.get(), {}, &shape));
  ASSERT_EQ(shape.Leaves.size(), 2u);
  uint64_t low = 0;
  while (qdIndexNodeCount(NodeImage(table, trans.get(), shape.Leaves[0]).data()) < Tree(table).MaxLeafNodeKeyCount())
    (void)records.Add(trans.get(), low++);
  trans->Commit();
  // The following leaf is damaged: the split reaches it after it began.
  PokeU16(table, shape.Leaves[1], kIndexBlockCount, 0xFFFF);
  trans = table.Begin();
  EXPECT_EQ(trans->CheckState(), 0u);
  EXPECT_EQ(CodeOf([&] { (void)records.Add(trans.get(), low); }), qdeFileCorrupt);
  EXPECT_NE(trans->CheckState(), 0u);
  trans->Rollback();
  // A failure before any change leaves the transaction alone.
  PokeU16(table, shape.Leaves[1], kIndexBlockCount, 1);
  PokeU16(table, Values(Tree(table), nullptr).root, kIndexBlockCount, 0xFFFF);
  trans = table.Begin();
  EXPECT_EQ(CodeOf([&] { (void)records.Add(trans.get(), 5000); }), qdeFileCorrupt);
  EXPECT_EQ(trans->CheckState(), 0u);
  trans->Rollback();
}

}  // namespace
}  // namespace qd::test
