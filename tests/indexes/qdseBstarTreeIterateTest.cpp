// Range walks over static-key B*-trees (forward and backward, inclusive and
// exclusive bounds, stops and kept positions, key and record filters),
// record numbers within a range and the range-size estimate, each checked
// against a model of the index's entries.
#include "indexes/qdseIndexEngineStaticKeyBstarTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/qdsdFilterEngineBase.h"
#include "dictionary/qdsdFilterEngineCallback.h"
#include "tests/indexes/qdseBstarTreeChecker.h"
#include "tests/indexes/qdseIndexTestFixture.h"

namespace qd::test {
namespace {

// --- Filters -------------------------------------------------------------------------------------

// A filter over key or record buffers decided by a function; active from
// the start.
class TqdTestFilter : public TqdBaseFilterEngine {
 public:
  explicit TqdTestFilter(std::function<bool(const uint8_t*)> aMatches)
      : TqdBaseFilterEngine(nullptr, nullptr), fMatches(std::move(aMatches)) {
    SetActive(true);
  }
  TqdBaseFilterDescriptor* CreateDescriptor() override { return nullptr; }
  bool MatchesBuffer(const uint8_t* aBuffer) override {
    ++fCalls;
    return fMatches(aBuffer);
  }

  std::function<bool(const uint8_t*)> fMatches;
  int32_t fCalls = 0;
};

// --- Ranges --------------------------------------------------------------------------------------

struct TqdTestBound {
  bool valid = false;
  uint64_t value = 0;
  bool exclusive = false;
};
constexpr TqdTestBound kOpen{};
constexpr TqdTestBound incl(uint64_t aValue) { return {true, aValue, false}; }
constexpr TqdTestBound excl(uint64_t aValue) { return {true, aValue, true}; }

struct TqdRangeCase {
  const char* name;
  TqdTestBound start;
  TqdTestBound end;
};

// Keys are even values 0 .. 1998, most of them present several times, so
// that odd bounds fall between keys.
constexpr uint64_t kMaxValue = 1998;

const TqdRangeCase kRanges[] = {
    {"whole index", kOpen, kOpen},
    {"[100, 900]", incl(100), incl(900)},
    {"(100, 900)", excl(100), excl(900)},
    {"[100, 900)", incl(100), excl(900)},
    {"(100, 900]", excl(100), incl(900)},
    {"[101, 899] between keys", incl(101), incl(899)},
    {"(101, 899) between keys", excl(101), excl(899)},
    {"[500, ...)", incl(500), kOpen},
    {"(500, ...)", excl(500), kOpen},
    {"(..., 500]", kOpen, incl(500)},
    {"(..., 500)", kOpen, excl(500)},
    {"[500, 500] one duplicate run", incl(500), incl(500)},
    {"[500, 500) empty", incl(500), excl(500)},
    {"(500, 500] empty", excl(500), incl(500)},
    {"[501, 501] empty between keys", incl(501), incl(501)},
    {"[499, 500) exclusive end on the only key", incl(499), excl(500)},
    {"[900, 100] start after end", incl(900), incl(100)},
    {"(600, 598) start after end", excl(600), excl(598)},
    {"[5000, ...) beyond every key", incl(5000), kOpen},
    {"[1500, 5000] end beyond every key", incl(1500), incl(5000)},
    {"(..., 5000) end beyond every key", kOpen, excl(5000)},
    {"(..., 0) before every key", kOpen, excl(0)},
    {"[0, 0] the first key", incl(0), incl(0)},
    {"[1998, 1998] the last key", incl(kMaxValue), incl(kMaxValue)},
};

// One index entry as the walks report it.
struct TqdEntry {
  uint64_t value;
  TqdRefNr refNr;
  bool operator==(const TqdEntry&) const = default;
};

std::ostream& operator<<(std::ostream& aStream, const TqdEntry& aEntry) {
  return aStream << aEntry.value << "/" << aEntry.refNr;
}

// The index entries as a sorted multimap: equal keys ordered by reference,
// as an index with duplicates orders them.
class TqdModel {
 public:
  void Add(uint64_t aValue, TqdRefNr aRefNr) {
    auto position = fEntries.upper_bound(aValue);
    while (position != fEntries.begin() && std::prev(position)->first == aValue && std::prev(position)->second > aRefNr)
      --position;
    fEntries.emplace_hint(position, aValue, aRefNr);
  }
  // The slice of a range in walking order.
  std::vector<TqdEntry> Slice(const TqdTestBound& aStart, const TqdTestBound& aEnd, bool aBackward = false) const {
    std::vector<TqdEntry> slice;
    for (const auto& [value, refNr] : fEntries) {
      if (aStart.valid && (value < aStart.value || (value == aStart.value && aStart.exclusive))) continue;
      if (aEnd.valid && (value > aEnd.value || (value == aEnd.value && aEnd.exclusive))) continue;
      slice.push_back({value, refNr});
    }
    if (aBackward) std::reverse(slice.begin(), slice.end());
    return slice;
  }
  size_t Size() const { return fEntries.size(); }

 private:
  std::multimap<uint64_t, TqdRefNr> fEntries;
};

// --- Fixture -------------------------------------------------------------------------------------

struct TqdWalkCookie {
  TqdIndexTestTable* table = nullptr;
  std::vector<TqdEntry> visited;
  std::vector<int32_t> recordIds;
  // Stop (kirStop or rirStop) after this many visits; 0: never.
  size_t stopAfter = 0;
  bool stopInRecord = false;
  std::function<TqdKeyIteratorResult(uint64_t)> keyAnswer;
};

TqdKeyIteratorResult collectKey(void* aCookie, TqdRefNr aRefNr, PqdKeyBuffer aKey) {
  TqdWalkCookie& cookie = *static_cast<TqdWalkCookie*>(aCookie);
  const uint64_t value = cookie.table->ValueOf(0, aKey).value_or(~uint64_t(0));
  if (cookie.keyAnswer) {
    const TqdKeyIteratorResult answer = cookie.keyAnswer(value);
    if (answer == kirSkipKey) return answer;
  }
  cookie.visited.push_back({value, aRefNr});
  if (!cookie.stopInRecord && cookie.stopAfter != 0 && cookie.visited.size() % cookie.stopAfter == 0) return kirStop;
  return kirContinue;
}

TqdRecordIteratorResult collectRecord(void* aCookie, TqdRefNr /*aRefNr*/, PqdRecordBuffer aRecord) {
  TqdWalkCookie& cookie = *static_cast<TqdWalkCookie*>(aCookie);
  cookie.recordIds.push_back(qdGetI32(aRecord));
  if (cookie.stopInRecord && cookie.stopAfter != 0 && cookie.recordIds.size() % cookie.stopAfter == 0) return rirStop;
  return rirContinue;
}

class BstarTreeIterateTest : public ::testing::Test {
 public:
  void TearDown() override { Drop(); }
  // Rolls the test's transaction back and closes the table.
  void Drop() {
    if (fTrans != nullptr && !fTrans->Finished()) fTrans->Rollback();
    fTrans.reset();
    fTable.reset();
    fModel = {};
    fIds.clear();
  }

  // A table with one index holding aCount entries of values drawn by
  // aValue, committed; the model and the record ids follow.
  void Build(int32_t aCount, const std::function<uint64_t(int32_t)>& aValue, TqdTestIndexShape aShape = {33, idAll, {}},
             TqdBlockSize aBlockSize = qdbs4k) {
    fTable = std::make_unique<TqdIndexTestTable>(std::vector<TqdTestIndexShape>{aShape}, aBlockSize);
    fTable->Create();
    auto trans = fTable->Begin();
    for (int32_t id = 1; id <= aCount; ++id) {
      const uint64_t value = aValue(id);
      TqdRefNr refNr = 0;
      ASSERT_EQ(fTable->AddRecord(trans.get(), id, {value}, refNr), 0u);
      fModel.Add(value, refNr);
      fIds[refNr] = id;
    }
    trans->Commit();
    ASSERT_TRUE(CheckBstarTree(Tree(), nullptr));
    fTrans = fTable->Begin();
  }
  // About 3,000 entries of even values 0 .. 1998 over many leaves.
  void BuildDuplicates() {
    std::mt19937 random(7);
    Build(3000, [&](int32_t) { return uint64_t(std::uniform_int_distribution<int32_t>(0, 999)(random)) * 2; });
  }

  TqdStaticKeyBstarTreeIndexEngine& Tree() { return fTable->Tree(0); }
  std::unique_ptr<TqdBaseIndexPath> NewPath() { return std::unique_ptr<TqdBaseIndexPath>(Tree().CreateIndexPath()); }

  // A range bound over key values; the key buffer lives in the fixture.
  TqdRangeInfo Bound(const TqdTestBound& aBound) {
    TqdRangeInfo bound;
    if (!aBound.valid) return bound;
    fBoundKeys.push_back(fTable->Key(0, aBound.value));
    bound.riKey = fBoundKeys.back().data();
    bound.riExclusive = aBound.exclusive;
    bound.riValid = true;
    return bound;
  }

  // One walk; the visited entries in order.
  std::vector<TqdEntry> Walk(TqdBaseIndexPath* aPath, const TqdRangeCase& aRange, bool aBackward,
                             bool aKeepPosition = false, TqdWalkCookie* aCookie = nullptr,
                             TqdBaseFilterEngine* aFilter = nullptr, TqdBaseFilterEngine* aKeyFilter = nullptr,
                             bool aRecords = false, PqdRecordBufferPtr aData = nullptr) {
    TqdWalkCookie local;
    TqdWalkCookie& cookie = aCookie != nullptr ? *aCookie : local;
    cookie.table = fTable.get();
    cookie.visited.clear();
    cookie.recordIds.clear();
    const TqdRangeInfo start = Bound(aRange.start);
    const TqdRangeInfo end = Bound(aRange.end);
    TqdRecordIterator records = aRecords ? &collectRecord : nullptr;
    if (aBackward)
      Tree().IterateBackward(fTrans.get(), aPath, aData, &collectKey, records, &cookie, start, end, aFilter, aKeyFilter,
                             aKeepPosition);
    else
      Tree().Iterate(fTrans.get(), aPath, aData, &collectKey, records, &cookie, start, end, aFilter, aKeyFilter,
                     aKeepPosition);
    return cookie.visited;
  }

  // The path on the model entry aEntry.
  void PutOn(TqdBaseIndexPath* aPath, const TqdEntry& aEntry) {
    std::vector<uint8_t> key = fTable->Key(0, aEntry.value);
    ASSERT_TRUE(Tree().FindKey(fTrans.get(), key.data(), 0, 0, aEntry.refNr, aPath, skaEqualFirst, nullptr));
    ASSERT_TRUE(aPath->IsOnKey());
    ASSERT_EQ(aPath->RefNr, aEntry.refNr);
  }
  TqdEntry EntryOf(const TqdBaseIndexPath* aPath) {
    return {fTable->ValueOf(0, aPath->Key).value_or(~uint64_t(0)), aPath->RefNr};
  }

  std::unique_ptr<TqdIndexTestTable> fTable;
  std::unique_ptr<TqdTestTransaction> fTrans;
  TqdModel fModel;
  std::map<TqdRefNr, int32_t> fIds;
  std::vector<std::vector<uint8_t>> fBoundKeys;
};

std::string caseName(const TqdRangeCase& aRange, bool aBackward) {
  return std::string(aRange.name) + (aBackward ? " backward" : " forward");
}

// --- Iterate -------------------------------------------------------------------------------------

TEST_F(BstarTreeIterateTest, WalksVisitExactlyTheRangeInBothDirections) {
  BuildDuplicates();
  for (const TqdRangeCase& range : kRanges) {
    for (const bool backward : {false, true}) {
      SCOPED_TRACE(caseName(range, backward));
      auto path = NewPath();
      const std::vector<TqdEntry> visited = Walk(path.get(), range, backward);
      EXPECT_EQ(visited, fModel.Slice(range.start, range.end, backward));
      EXPECT_EQ(path->Position, backward ? ippBof : ippEof);
    }
  }
}

TEST_F(BstarTreeIterateTest, AnEmptyIndexEndsAtOnceWithoutCallingBack) {
  Build(0, [](int32_t) { return 0; });
  for (const bool backward : {false, true}) {
    SCOPED_TRACE(backward ? "backward" : "forward");
    auto path = NewPath();
    TqdWalkCookie cookie;
    EXPECT_TRUE(Walk(path.get(), kRanges[0], backward, false, &cookie, nullptr, nullptr, true).empty());
    EXPECT_TRUE(cookie.recordIds.empty());
    EXPECT_EQ(path->Position, backward ? ippBof : ippEof);
  }
}

// A stop leaves the path on the key it was given; a walk that keeps the
// position goes on after it. Paging through a range this way, a stop every
// few keys, visits the range exactly once.
TEST_F(BstarTreeIterateTest, AStopLeavesThePathOnTheKeyAndAKeptWalkGoesOnAfterIt) {
  BuildDuplicates();
  for (const bool inRecord : {false, true}) {
    for (const TqdRangeCase& range : kRanges) {
      for (const bool backward : {false, true}) {
        SCOPED_TRACE(caseName(range, backward) + (inRecord ? " (record stop)" : " (key stop)"));
        const std::vector<TqdEntry> expected = fModel.Slice(range.start, range.end, backward);
        auto path = NewPath();
        TqdWalkCookie cookie;
        cookie.stopAfter = 97;
        cookie.stopInRecord = inRecord;
        std::vector<TqdEntry> all;
        for (int32_t call = 0; call < 100; ++call) {
          const std::vector<TqdEntry> part =
              Walk(path.get(), range, backward, call > 0, &cookie, nullptr, nullptr, inRecord);
          all.insert(all.end(), part.begin(), part.end());
          if (part.size() < cookie.stopAfter) break;
          // Stopped: the path stands on the last key handed out.
          ASSERT_TRUE(path->IsOnKey());
          EXPECT_EQ(EntryOf(path.get()), part.back());
          if (inRecord) {
            EXPECT_EQ(cookie.recordIds.size(), part.size());
          }
        }
        EXPECT_EQ(all, expected);
        EXPECT_EQ(path->Position, backward ? ippBof : ippEof);
      }
    }
  }
}

// Keys added between two calls, on both sides of a stopped path and in
// its own leaf: the kept walk goes on after the key it stopped on and
// meets exactly the keys that now follow it.
TEST_F(BstarTreeIterateTest, AKeptWalkSeesKeysAddedSinceItStopped) {
  BuildDuplicates();
  std::mt19937 random(3);
  int32_t nextId = 100000;
  for (const bool backward : {false, true}) {
    SCOPED_TRACE(backward ? "backward" : "forward");
    auto path = NewPath();
    TqdWalkCookie cookie;
    cookie.stopAfter = 700;
    const std::vector<TqdEntry> first = Walk(path.get(), kRanges[0], backward, false, &cookie);
    ASSERT_EQ(first.size(), cookie.stopAfter);
    const TqdEntry stop = first.back();
    // Around the stop, right next to it (the same value) and far away.
    for (int32_t i = 0; i < 300; ++i) {
      const uint64_t value =
          i % 3 == 0 ? stop.value : uint64_t(std::uniform_int_distribution<int32_t>(0, 999)(random)) * 2;
      TqdRefNr refNr = 0;
      ASSERT_EQ(fTable->AddRecord(fTrans.get(), ++nextId, {value}, refNr), 0u);
      fModel.Add(value, refNr);
    }
    std::vector<TqdEntry> expected;
    for (const TqdEntry& entry : fModel.Slice(kOpen, kOpen, backward)) {
      const bool after =
          entry.value != stop.value ? (entry.value > stop.value) != backward : (entry.refNr > stop.refNr) != backward;
      if (after && !(entry == stop)) expected.push_back(entry);
    }
    cookie.stopAfter = 0;
    EXPECT_EQ(Walk(path.get(), kRanges[0], backward, true, &cookie), expected);
  }
}

TEST_F(BstarTreeIterateTest, AKeptPathAtTheFarEndVisitsNothingAndOneAtTheNearEndStartsTheRange) {
  BuildDuplicates();
  const TqdRangeCase& range = kRanges[1];
  for (const bool backward : {false, true}) {
    SCOPED_TRACE(backward ? "backward" : "forward");
    auto path = NewPath();
    backward ? path->SetToBof() : path->SetToEof();
    EXPECT_TRUE(Walk(path.get(), range, backward, true).empty());
    EXPECT_EQ(path->Position, backward ? ippBof : ippEof);
    path->Clear();
    EXPECT_TRUE(Walk(path.get(), range, backward, true).empty());
    backward ? path->SetToEof() : path->SetToBof();
    EXPECT_EQ(Walk(path.get(), range, backward, true), fModel.Slice(range.start, range.end, backward));
  }
}

// A kept path outside the range: before it the walk starts at the range's
// first key, after it nothing is left.
TEST_F(BstarTreeIterateTest, AKeptPathOutsideTheRangeRestartsOrEnds) {
  BuildDuplicates();
  const TqdRangeCase range{"[600, 1200]", incl(600), incl(1200)};
  const TqdEntry low = fModel.Slice(kOpen, excl(600)).back();
  const TqdEntry high = fModel.Slice(excl(1200), kOpen).front();
  for (const bool backward : {false, true}) {
    SCOPED_TRACE(backward ? "backward" : "forward");
    auto path = NewPath();
    PutOn(path.get(), backward ? high : low);
    EXPECT_EQ(Walk(path.get(), range, backward, true), fModel.Slice(range.start, range.end, backward));
    PutOn(path.get(), backward ? low : high);
    EXPECT_TRUE(Walk(path.get(), range, backward, true).empty());
    EXPECT_EQ(path->Position, backward ? ippBof : ippEof);
  }
}

// A kept path whose key was deleted stands on the crack where it was; the
// walk goes on with the key after that crack.
TEST_F(BstarTreeIterateTest, AKeptPathOnACrackGoesOnWithTheNextKey) {
  BuildDuplicates();
  const std::vector<TqdEntry> all = fModel.Slice(kOpen, kOpen);
  const size_t middle = all.size() / 2;
  for (const bool backward : {false, true}) {
    SCOPED_TRACE(backward ? "backward" : "forward");
    auto path = NewPath();
    PutOn(path.get(), all[middle]);
    backward ? path->SetToCrackAfter() : path->SetToCrackBefore();
    std::vector<TqdEntry> expected(all.begin() + (backward ? 0 : std::ptrdiff_t(middle)),
                                   all.begin() + (backward ? std::ptrdiff_t(middle) + 1 : std::ptrdiff_t(all.size())));
    if (backward) std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(Walk(path.get(), kRanges[0], backward, true), expected);
  }
}

TEST_F(BstarTreeIterateTest, SkippedKeysAndFilteredKeysAreLeftOut) {
  BuildDuplicates();
  // Keys whose value is a multiple of 4 pass the key filter.
  TqdTestFilter keyFilter([&](const uint8_t* aKey) { return fTable->ValueOf(0, aKey).value_or(1) % 4 == 0; });
  // Records with an odd id pass the record filter.
  TqdTestFilter recordFilter([](const uint8_t* aRecord) { return qdGetI32(aRecord) % 2 != 0; });
  for (const TqdRangeCase& range : kRanges) {
    for (const bool backward : {false, true}) {
      SCOPED_TRACE(caseName(range, backward));
      const std::vector<TqdEntry> slice = fModel.Slice(range.start, range.end, backward);
      std::vector<TqdEntry> byKey;
      std::vector<int32_t> byRecord;
      for (const TqdEntry& entry : slice) {
        if (entry.value % 4 != 0) continue;
        byKey.push_back(entry);
        if (fIds[entry.refNr] % 2 != 0) byRecord.push_back(fIds[entry.refNr]);
      }
      auto path = NewPath();
      // The key filter.
      EXPECT_EQ(Walk(path.get(), range, backward, false, nullptr, nullptr, &keyFilter), byKey);
      // The key iterator skipping the same keys.
      TqdWalkCookie cookie;
      cookie.keyAnswer = [](uint64_t aValue) { return aValue % 4 == 0 ? kirContinue : kirSkipKey; };
      EXPECT_EQ(Walk(path.get(), range, backward, false, &cookie, nullptr, nullptr, true), byKey);
      std::vector<int32_t> allIds;
      for (const TqdEntry& entry : byKey) allIds.push_back(fIds[entry.refNr]);
      EXPECT_EQ(cookie.recordIds, allIds);
      // Both filters, records read by the record engine and into a buffer
      // of the caller.
      std::vector<uint8_t> buffer(fTable->Records().RecordLength());
      PqdRecordBuffer bufferPointer = buffer.data();
      PqdRecordBuffer noBuffer = nullptr;
      for (PqdRecordBufferPtr data : {&noBuffer, &bufferPointer}) {
        TqdWalkCookie both;
        (void)Walk(path.get(), range, backward, false, &both, &recordFilter, &keyFilter, true, data);
        EXPECT_EQ(both.recordIds, byRecord);
      }
    }
  }
}

// A record filter is the dictionary's own filter engine, asked by the walk
// itself: active, it hides the records it refuses; switched off, it hides
// nothing.
TEST_F(BstarTreeIterateTest, ARecordFilterOfTheDictionaryHidesRecordsFromAWalk) {
  BuildDuplicates();
  auto idIsOdd = [](void*, const uint8_t* aRecord) { return qdGetI32(aRecord) % 2 != 0; };
  TqdCallbackFilterDescriptor descriptor(nullptr, idIsOdd);
  std::unique_ptr<TqdBaseFilterEngine> filter(TqdBaseFilterEngine::CreateFor(&descriptor, nullptr));
  ASSERT_EQ(filter->ActivateFilter(0), 0u);
  const TqdRangeCase& range = kRanges[1];
  for (const bool backward : {false, true}) {
    SCOPED_TRACE(caseName(range, backward));
    std::vector<int32_t> all;
    std::vector<int32_t> odd;
    for (const TqdEntry& entry : fModel.Slice(range.start, range.end, backward)) {
      all.push_back(fIds[entry.refNr]);
      if (fIds[entry.refNr] % 2 != 0) odd.push_back(fIds[entry.refNr]);
    }
    ASSERT_LT(odd.size(), all.size());
    auto path = NewPath();
    TqdWalkCookie filtered;
    (void)Walk(path.get(), range, backward, false, &filtered, filter.get(), nullptr, true);
    EXPECT_EQ(filtered.recordIds, odd);
    ASSERT_EQ(filter->DeactivateFilter(0), 0u);
    TqdWalkCookie unfiltered;
    (void)Walk(path.get(), range, backward, false, &unfiltered, filter.get(), nullptr, true);
    EXPECT_EQ(unfiltered.recordIds, all);
    ASSERT_EQ(filter->ActivateFilter(0), 0u);
  }
}

// The cursor's time-out check of the key filter is off during a walk: a
// check that says the time is up neither stops the walk nor lets a key the
// filter refused through, and it is back on afterwards.
TEST_F(BstarTreeIterateTest, TheKeyFilterTimeOutCheckIsOffDuringAWalk) {
  BuildDuplicates();
  TqdTestFilter keyFilter([&](const uint8_t* aKey) { return fTable->ValueOf(0, aKey).value_or(1) % 4 == 0; });
  int32_t checks = 0;
  TqdResult timeOutResult = 0;
  keyFilter.SetCheckTimeOut(
      [&](TqdResult& aResult) {
        ++checks;
        aResult = 15461;
        return true;
      },
      &timeOutResult);
  const TqdRangeCase& range = kRanges[1];
  for (const bool backward : {false, true}) {
    std::vector<TqdEntry> expected;
    for (const TqdEntry& entry : fModel.Slice(range.start, range.end, backward))
      if (entry.value % 4 == 0) expected.push_back(entry);
    auto path = NewPath();
    EXPECT_EQ(Walk(path.get(), range, backward, false, nullptr, nullptr, &keyFilter), expected);
  }
  EXPECT_EQ(checks, 0);
  ASSERT_TRUE(keyFilter.CheckTimeOut());
  EXPECT_EQ(keyFilter.CheckTimeOutResult(), &timeOutResult);
}

// A walk holds the transaction locked while it runs.
TEST_F(BstarTreeIterateTest, TheTransactionIsLockedDuringAWalk) {
  BuildDuplicates();
  auto path = NewPath();
  TqdWalkCookie cookie;
  bool locked = true;
  cookie.keyAnswer = [&](uint64_t) {
    locked = locked && fTrans->IsLocked();
    return kirContinue;
  };
  (void)Walk(path.get(), kRanges[1], false, false, &cookie);
  EXPECT_FALSE(cookie.visited.empty());
  EXPECT_TRUE(locked);
  EXPECT_FALSE(fTrans->IsLocked());
}

// A leaf chain that loops, or leads to a node that is no leaf or to a
// block outside the file, ends the walk with an error instead of running
// on for ever or reading out of bounds.
TEST_F(BstarTreeIterateTest, ADamagedLeafChainEndsTheWalkWithAnError) {
  BuildDuplicates();
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckBstarTree(Tree(), nullptr, {}, &shape));
  ASSERT_GE(shape.Leaves.size(), 4u);
  ASSERT_GE(shape.Depth, 2);
  struct TqdDamage {
    const char* name;
    bool backward;
    TqdBlockNumber link;
    TqdResult expected;
  };
  const TqdDamage damages[] = {
      {"next loops back to the first leaf", false, shape.Leaves[0], qdeFileCorrupt},
      {"previous loops back to the last leaf", true, shape.Leaves.back(), qdeFileCorrupt},
      {"next leads to the root", false, shape.Root, qdeFileCorrupt},
      {"next leads outside the file", false, 0x00FFFFFF, qdeBadBlockNum},
  };
  for (const TqdDamage& damage : damages) {
    SCOPED_TRACE(damage.name);
    // The second leaf from the far end points the wrong way.
    const TqdBlockNumber damaged = damage.backward ? shape.Leaves[1] : shape.Leaves[shape.Leaves.size() - 2];
    {
      const std::unique_ptr<TqdBaseIndexHeaderAccess> access(
          Tree().CreateHeaderAccess(fTrans.get(), false, false, 0, 0));
      TqdBlockRef leaf = Tree().ReadNode(*access, damaged, true);
      if (damage.backward)
        qdSetIndexNodePrev(leaf.WritableData(), damage.link);
      else
        qdSetIndexNodeNext(leaf.WritableData(), damage.link);
    }
    auto path = NewPath();
    EXPECT_EQ(CodeOf([&] { (void)Walk(path.get(), kRanges[0], damage.backward); }), damage.expected);
    fTrans->Rollback();
    fTrans = fTable->Begin();
  }
}

// Without a record engine there are no walks, and no record numbers under a
// record filter; record numbers without one still work.
TEST_F(BstarTreeIterateTest, WalksAndFilteredRecordNumbersNeedARecordEngine) {
  BuildDuplicates();
  std::unique_ptr<TqdBaseIndicesEngine> bare(TqdBaseIndicesEngine::CreateEngine(
      &fTable->Dict(), TqdBlockAccessList{&fTable->Access()}, nullptr, nullptr, false));
  auto& tree = dynamic_cast<TqdStaticKeyBstarTreeIndexEngine&>(*bare->biseGetIndex(bare->IndexCount() - 1));
  std::unique_ptr<TqdBaseIndexPath> path(tree.CreateIndexPath());
  TqdWalkCookie cookie;
  cookie.table = fTable.get();
  for (const bool backward : {false, true}) {
    try {
      backward ? tree.IterateBackward(fTrans.get(), path.get(), nullptr, &collectKey, nullptr, &cookie, {}, {}, nullptr,
                                      nullptr, false)
               : tree.Iterate(fTrans.get(), path.get(), nullptr, &collectKey, nullptr, &cookie, {}, {}, nullptr,
                              nullptr, false);
      ADD_FAILURE() << "no error";
    } catch (const EqdBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), qdeNotSupported);
      EXPECT_NE(std::string(e.what()).find(backward ? "IterateBackward requires a RecordEngine"
                                                    : "Iterate requires a RecordEngine"),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_TRUE(cookie.visited.empty());
  TqdTestFilter records([](const uint8_t*) { return true; });
  uint32_t recNo = 0;
  EXPECT_EQ(CodeOf([&] { (void)tree.RecNoSet(fTrans.get(), 1, path.get(), {}, {}, &records, nullptr, false); }),
            qdeNotSupported);
  EXPECT_EQ(CodeOf([&] { (void)tree.RecNoGet(fTrans.get(), path.get(), {}, {}, &records, nullptr, recNo, false); }),
            qdeNotSupported);
  EXPECT_EQ(tree.RecNoSet(fTrans.get(), 5, path.get(), {}, {}, nullptr, nullptr, false), 0u);
  EXPECT_EQ(EntryOf(path.get()), fModel.Slice(kOpen, kOpen)[4]);
  EXPECT_EQ(tree.RecNoGet(fTrans.get(), path.get(), {}, {}, nullptr, nullptr, recNo, false), 0u);
  EXPECT_EQ(recNo, 5u);
  path.reset();
}

// --- Record numbers ------------------------------------------------------------------------------

// The record numbers of a range, counted from either end, with and
// without filters that accept everything (which take the key-by-key path
// instead of counting whole leaves).
TEST_F(BstarTreeIterateTest, RecordNumbersCountFromEitherEndOfTheRange) {
  BuildDuplicates();
  TqdTestFilter acceptKeys([](const uint8_t*) { return true; });
  TqdTestFilter acceptRecords([](const uint8_t*) { return true; });
  struct TqdFilterCase {
    const char* name;
    TqdBaseFilterEngine* filter;
    TqdBaseFilterEngine* keyFilter;
  };
  const TqdFilterCase filterCases[] = {
      {"no filter", nullptr, nullptr},
      {"accept-all key filter", nullptr, &acceptKeys},
      {"accept-all record filter", &acceptRecords, nullptr},
      {"both", &acceptRecords, &acceptKeys},
  };
  for (const TqdRangeCase& range : kRanges) {
    const std::vector<TqdEntry> slice = fModel.Slice(range.start, range.end);
    if (slice.empty()) continue;
    const TqdRangeInfo start = Bound(range.start);
    const TqdRangeInfo end = Bound(range.end);
    // Every position of a short range, a sample of a long one, both ends
    // always.
    std::vector<size_t> positions;
    const size_t step = std::max<size_t>(1, slice.size() / 40);
    for (size_t i = 0; i < slice.size(); i += step) positions.push_back(i);
    if (positions.back() != slice.size() - 1) positions.push_back(slice.size() - 1);
    for (const TqdFilterCase& filters : filterCases) {
      SCOPED_TRACE(std::string(range.name) + ", " + filters.name);
      auto path = NewPath();
      for (const size_t i : positions) {
        const uint32_t number = uint32_t(i + 1);
        const uint32_t fromEnd = uint32_t(slice.size() - i);
        PutOn(path.get(), slice[i]);
        uint32_t recNo = 0;
        EXPECT_EQ(
            Tree().RecNoGet(fTrans.get(), path.get(), start, end, filters.filter, filters.keyFilter, recNo, false), 0u);
        EXPECT_EQ(recNo, number) << slice[i];
        EXPECT_EQ(Tree().RecNoGet(fTrans.get(), path.get(), start, end, filters.filter, filters.keyFilter, recNo, true),
                  0u);
        EXPECT_EQ(recNo, fromEnd) << slice[i];
        path->Clear();
        EXPECT_EQ(
            Tree().RecNoSet(fTrans.get(), number, path.get(), start, end, filters.filter, filters.keyFilter, false),
            0u);
        EXPECT_EQ(EntryOf(path.get()), slice[i]);
        EXPECT_EQ(
            Tree().RecNoSet(fTrans.get(), fromEnd, path.get(), start, end, filters.filter, filters.keyFilter, true),
            0u);
        EXPECT_EQ(EntryOf(path.get()), slice[i]);
      }
      // One past either end of the range.
      const uint32_t beyond = uint32_t(slice.size() + 1);
      EXPECT_EQ(Tree().RecNoSet(fTrans.get(), beyond, path.get(), start, end, filters.filter, filters.keyFilter, false),
                qdeEOF);
      EXPECT_TRUE(path->IsEof());
      EXPECT_EQ(Tree().RecNoSet(fTrans.get(), beyond, path.get(), start, end, filters.filter, filters.keyFilter, true),
                qdeBOF);
      EXPECT_TRUE(path->IsBof());
      for (const bool flip : {false, true}) {
        PutOn(path.get(), slice[0]);
        EXPECT_EQ(Tree().RecNoSet(fTrans.get(), 0, path.get(), start, end, filters.filter, filters.keyFilter, flip),
                  qdeBOF);
        EXPECT_TRUE(path->IsBof());
      }
    }
  }
}

TEST_F(BstarTreeIterateTest, RecordNumbersOfAnEmptyRangeOrIndexEndAtOnce) {
  BuildDuplicates();
  for (const TqdRangeCase& range : kRanges) {
    if (!fModel.Slice(range.start, range.end).empty()) continue;
    SCOPED_TRACE(range.name);
    const TqdRangeInfo start = Bound(range.start);
    const TqdRangeInfo end = Bound(range.end);
    auto path = NewPath();
    EXPECT_EQ(Tree().RecNoSet(fTrans.get(), 1, path.get(), start, end, nullptr, nullptr, false), qdeEOF);
    EXPECT_TRUE(path->IsEof());
    EXPECT_EQ(Tree().RecNoSet(fTrans.get(), 1, path.get(), start, end, nullptr, nullptr, true), qdeBOF);
    EXPECT_TRUE(path->IsBof());
  }
  Drop();
  Build(0, [](int32_t) { return 0; });
  auto path = NewPath();
  EXPECT_EQ(Tree().RecNoSet(fTrans.get(), 1, path.get(), {}, {}, nullptr, nullptr, false), qdeEOF);
  EXPECT_TRUE(path->IsEof());
  uint32_t recNo = 7;
  EXPECT_EQ(Tree().RecNoGet(fTrans.get(), path.get(), {}, {}, nullptr, nullptr, recNo, false), qdeEOF);
  EXPECT_EQ(recNo, 0u);
}

// A path outside the range or not on a key has no record number.
TEST_F(BstarTreeIterateTest, RecordNumberOfAPathOutsideTheRangeOrOffAKey) {
  BuildDuplicates();
  const TqdRangeInfo start = Bound(incl(600));
  const TqdRangeInfo end = Bound(excl(1200));
  auto path = NewPath();
  uint32_t recNo = 7;
  struct TqdPlace {
    const char* name;
    std::function<void()> put;
    TqdResult expected;
  };
  const TqdPlace places[] = {
      {"before the range start", [&] { PutOn(path.get(), fModel.Slice(kOpen, excl(600)).back()); }, qdeBOF},
      {"on the exclusive range end", [&] { PutOn(path.get(), fModel.Slice(incl(1200), kOpen).front()); }, qdeEOF},
      {"after the range end", [&] { PutOn(path.get(), fModel.Slice(kOpen, kOpen).back()); }, qdeEOF},
      {"at BOF", [&] { path->SetToBof(); }, qdeBOF},
      {"at EOF", [&] { path->SetToEof(); }, qdeEOF},
      {"on a crack",
       [&] {
         PutOn(path.get(), fModel.Slice(incl(700), kOpen).front());
         path->SetToCrackBefore();
       },
       qdeNoCurrentRec},
      {"nowhere", [&] { path->Clear(); }, qdeNoCurrentRec},
  };
  for (const TqdPlace& place : places) {
    SCOPED_TRACE(place.name);
    for (const bool flip : {false, true}) {
      place.put();
      EXPECT_EQ(Tree().RecNoGet(fTrans.get(), path.get(), start, end, nullptr, nullptr, recNo, flip), place.expected);
      EXPECT_EQ(recNo, 0u);
    }
  }
}

// With filters that refuse some keys, record numbers count only what passes
// both filters.
TEST_F(BstarTreeIterateTest, RecordNumbersCountOnlyWhatPassesTheFilters) {
  BuildDuplicates();
  TqdTestFilter keyFilter([&](const uint8_t* aKey) { return fTable->ValueOf(0, aKey).value_or(1) % 4 == 0; });
  TqdTestFilter recordFilter([](const uint8_t* aRecord) { return qdGetI32(aRecord) % 3 != 0; });
  const TqdRangeCase range{"(300, 1700]", excl(300), incl(1700)};
  const TqdRangeInfo start = Bound(range.start);
  const TqdRangeInfo end = Bound(range.end);
  std::vector<TqdEntry> passing;
  for (const TqdEntry& entry : fModel.Slice(range.start, range.end))
    if (entry.value % 4 == 0 && fIds[entry.refNr] % 3 != 0) passing.push_back(entry);
  ASSERT_GT(passing.size(), 100u);
  auto path = NewPath();
  for (size_t i = 0; i < passing.size(); i += 13) {
    SCOPED_TRACE(i);
    PutOn(path.get(), passing[i]);
    uint32_t recNo = 0;
    EXPECT_EQ(Tree().RecNoGet(fTrans.get(), path.get(), start, end, &recordFilter, &keyFilter, recNo, false), 0u);
    EXPECT_EQ(recNo, i + 1);
    EXPECT_EQ(Tree().RecNoGet(fTrans.get(), path.get(), start, end, &recordFilter, &keyFilter, recNo, true), 0u);
    EXPECT_EQ(recNo, passing.size() - i);
    EXPECT_EQ(Tree().RecNoSet(fTrans.get(), uint32_t(i + 1), path.get(), start, end, &recordFilter, &keyFilter, false),
              0u);
    EXPECT_EQ(EntryOf(path.get()), passing[i]);
    EXPECT_EQ(Tree().RecNoSet(fTrans.get(), uint32_t(passing.size() - i), path.get(), start, end, &recordFilter,
                              &keyFilter, true),
              0u);
    EXPECT_EQ(EntryOf(path.get()), passing[i]);
  }
  EXPECT_EQ(Tree().RecNoSet(fTrans.get(), uint32_t(passing.size() + 1), path.get(), start, end, &recordFilter,
                            &keyFilter, false),
            qdeEOF);
  // An inactive filter counts as none.
  keyFilter.SetActive(false);
  recordFilter.SetActive(false);
  const std::vector<TqdEntry> slice = fModel.Slice(range.start, range.end);
  EXPECT_EQ(
      Tree().RecNoSet(fTrans.get(), uint32_t(slice.size()), path.get(), start, end, &recordFilter, &keyFilter, false),
      0u);
  EXPECT_EQ(EntryOf(path.get()), slice.back());
}

// --- The estimate --------------------------------------------------------------------------------

uint32_t estimate(BstarTreeIterateTest& aTest, const TqdTestBound& aStart, const TqdTestBound& aEnd,
                  bool aFlip = false) {
  uint32_t count = 0xDEADBEEF;
  EXPECT_EQ(aTest.Tree().EstimateRecordCount(aTest.fTrans.get(), aTest.Bound(aStart), aTest.Bound(aEnd), count, aFlip),
            0u);
  return count;
}

// In one leaf the estimate counts the keys between the range's outer two:
// n - 2 for a range of n keys.
TEST_F(BstarTreeIterateTest, TheEstimateInsideOneLeafLeavesOutTheOuterKeys) {
  Build(60, [](int32_t aId) { return uint64_t(aId) * 10; });
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckBstarTree(Tree(), nullptr, {}, &shape));
  ASSERT_EQ(shape.Depth, 1);
  struct TqdCase {
    TqdTestBound start;
    TqdTestBound end;
    uint32_t expected;
  };
  const TqdCase cases[] = {
      {incl(100), incl(200), 9},
      {excl(100), excl(200), 7},
      {incl(95), incl(205), 9},
      {incl(100), incl(110), 0},
      {incl(100), incl(120), 1},
      {incl(5000), incl(6000), 0},
      {incl(200), incl(100), 0},
      {kOpen, excl(10), 0},
      {kOpen, kOpen, 60},
      // 31 and 30 keys: an open end's outer key is the index's last or
      // first key, which is counted.
      {incl(300), kOpen, 30},
      {kOpen, incl(300), 29},
  };
  for (const TqdCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start.value << " " << c.end.value);
    EXPECT_EQ(estimate(*this, c.start, c.end), c.expected);
  }
}

TEST_F(BstarTreeIterateTest, TheEstimateOfAnEmptyIndexOrRangeIsZeroAndFlippingExchangesTheBounds) {
  Build(0, [](int32_t) { return 0; });
  EXPECT_EQ(estimate(*this, kOpen, kOpen), 0u);
  Drop();
  BuildDuplicates();
  EXPECT_EQ(estimate(*this, incl(5000), incl(6000)), 0u);
  EXPECT_EQ(estimate(*this, incl(1200), incl(300)), 0u);
  EXPECT_EQ(estimate(*this, incl(501), incl(501)), 0u);
  for (const TqdRangeCase& range : kRanges) {
    SCOPED_TRACE(range.name);
    EXPECT_EQ(estimate(*this, range.start, range.end, true), estimate(*this, range.end, range.start));
  }
}

// A table of random keys; the estimate of random ranges stays within a
// factor of two of the true count, on a flat tree (short keys) and on a
// tree four levels deep (long keys), including small ranges that straddle
// a separator of the root.
class BstarTreeEstimateTest : public BstarTreeIterateTest, public testing::WithParamInterface<int32_t> {};

TEST_P(BstarTreeEstimateTest, IsWithinAFactorOfTwoOnRandomTrees) {
  std::mt19937_64 random(11);
  Build(100000, [&](int32_t) { return random() % 1000000000; }, {GetParam(), idAll, {}});
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckBstarTree(Tree(), nullptr, {}, &shape));
  const std::vector<TqdEntry> all = fModel.Slice(kOpen, kOpen);
  std::vector<std::pair<size_t, size_t>> ranges;
  for (int32_t i = 0; i < 300; ++i) {
    size_t a = random() % all.size();
    size_t b = random() % all.size();
    if (a > b) std::swap(a, b);
    ranges.emplace_back(a, b);
  }
  // Around each separator of the root.
  {
    const std::unique_ptr<TqdBaseIndexHeaderAccess> access(Tree().CreateHeaderAccess(fTrans.get(), false, false, 0, 0));
    const TqdBlockRef root = Tree().ReadNode(*access, access->GetIndexRoot(), false);
    for (int32_t k = 0; k < qdIndexNodeCount(root.Data()); ++k) {
      const uint64_t separator = fTable->ValueOf(0, Tree().NodeKey(root.Data(), k)).value_or(0);
      const size_t at =
          size_t(std::lower_bound(all.begin(), all.end(), TqdEntry{separator, 0},
                                  [](const TqdEntry& a, const TqdEntry& b) { return a.value < b.value; }) -
                 all.begin());
      for (const size_t half : {5, 40, 300})
        ranges.emplace_back(at >= half ? at - half : 0, std::min(all.size() - 1, at + half));
    }
  }
  int32_t checked = 0;
  for (const auto& [a, b] : ranges) {
    // Distinct values only at the bounds, so that the range is exact.
    if ((a > 0 && all[a - 1].value == all[a].value) || (b + 1 < all.size() && all[b + 1].value == all[b].value))
      continue;
    const double truth = double(b - a + 1);
    if (truth < 4) continue;
    const uint32_t estimated = estimate(*this, incl(all[a].value), incl(all[b].value));
    EXPECT_GE(estimated, truth / 2) << "keys " << a << ".." << b << " depth " << shape.Depth;
    EXPECT_LE(estimated, truth * 2) << "keys " << a << ".." << b << " depth " << shape.Depth;
    ++checked;
  }
  EXPECT_GT(checked, 250);
}

INSTANTIATE_TEST_SUITE_P(KeyLengths, BstarTreeEstimateTest, testing::Values(9, 101),
                         [](const testing::TestParamInfo<int32_t>& aInfo) {
                           return "KeyLength" + std::to_string(aInfo.param);
                         });

// On a tree of four levels, page and key counts that cannot belong to it
// (zero, too few pages for its upper levels, far too many) still give an
// estimate between 0 and the key count, never a wrapped or undefined value.
TEST_F(BstarTreeIterateTest, TheEstimateStaysInsideTheKeyCountForDegeneratePageCounts) {
  std::mt19937_64 random(5);
  Build(6000, [&](int32_t) { return random() % 1000000; }, {401, idAll, {}});
  TqdBstarTreeShape shape;
  ASSERT_TRUE(CheckBstarTree(Tree(), nullptr, {}, &shape));
  ASSERT_GE(shape.Depth, 4);
  const std::vector<TqdEntry> all = fModel.Slice(kOpen, kOpen);
  const uint32_t pages = shape.Nodes;
  const uint32_t pageCounts[] = {0,         1,     2,         3,          5,          10,         pages / 10, pages / 2,
                                 pages - 1, pages, pages + 1, pages * 10, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF};
  const uint32_t keyCounts[] = {uint32_t(all.size()), 0, 1, 0xFFFFFFFF};
  for (const uint32_t keys : keyCounts) {
    for (const uint32_t pageCount : pageCounts) {
      SCOPED_TRACE(testing::Message() << "pages " << pageCount << " keys " << keys);
      {
        const std::unique_ptr<TqdBaseIndexHeaderAccess> access(
            Tree().CreateHeaderAccess(fTrans.get(), true, true, 0, 0));
        access->SetIndexPageCount(pageCount);
        access->SetIndexKeyCount(keys);
      }
      for (int32_t i = 0; i < 20; ++i) {
        size_t a = random() % all.size();
        size_t b = random() % all.size();
        if (a > b) std::swap(a, b);
        const uint32_t estimated = estimate(*this, incl(all[a].value), incl(all[b].value));
        EXPECT_LE(estimated, keys);
        // A weighing that went NaN would come out as 0 (or as anything).
        if (keys == all.size() && b - a >= 100) {
          EXPECT_GT(estimated, 0u) << a << ".." << b;
        }
      }
      EXPECT_LE(estimate(*this, kOpen, kOpen), keys);
      if (keys == all.size()) {
        EXPECT_GT(estimate(*this, kOpen, kOpen), 0u);
      }
    }
  }
}

}  // namespace
}  // namespace qd::test
