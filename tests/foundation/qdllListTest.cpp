#include "foundation/qdllList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <random>
#include <thread>
#include <vector>

namespace qd {
namespace {

// Items are small integers disguised as pointers.
void* item(uintptr_t aValue) { return reinterpret_cast<void*>(aValue); }
uintptr_t value(void* aItem) { return reinterpret_cast<uintptr_t>(aItem); }

// A data object that records its destruction, to see who frees what.
class TrackedData : public TqdObject {
 public:
  TrackedData(int aId, std::vector<int>& aLog) : fId(aId), fLog(aLog) {}
  ~TrackedData() override { fLog.push_back(fId); }

 private:
  int fId;
  std::vector<int>& fLog;
};

std::vector<uintptr_t> items(const TqdBaseList& aList) {
  std::vector<uintptr_t> result;
  for (int32_t i = 0; i < aList.Count(); ++i) result.push_back(value(aList.List()[i]));
  return result;
}

std::u16string errorText(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const EListError& e) {
    return e.Message();
  }
  return u"<no EListError>";
}

TEST(ListGrowthTest, GrowsFromZeroByTheStatedSteps) {
  TqdList list;
  std::vector<int32_t> capacities;
  for (uintptr_t i = 1; i <= 118; ++i) {
    list.Add(item(i));
    if (capacities.empty() || capacities.back() != list.Capacity()) capacities.push_back(list.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
  list.CheckInvariants();
}

TEST(ListGrowthTest, CapacityChangeAloneKeepsGeneration) {
  TqdList list(0, true);
  list.SetCapacity(100);
  list.SetCapacity(10);
  EXPECT_EQ(list.Generation(), 0u);
  EXPECT_EQ(list.Capacity(), 10);
  list.CheckInvariants();
}

TEST(ListGrowthTest, ClearReturnsToTheInitialCapacity) {
  TqdList list(10, true);
  EXPECT_EQ(list.Capacity(), 10);
  for (uintptr_t i = 1; i <= 30; ++i) list.Add(item(i));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 10);
  list.CheckInvariants();

  TqdList negative(-5);
  EXPECT_EQ(negative.InitCapacity(), 0);
  EXPECT_EQ(negative.Capacity(), 0);
}

TEST(ListErrorTest, MessagesNameTheOffendingValue) {
  TqdList list;
  list.Add(item(1));
  list.Add(item(2));
  struct Case {
    const char* name;
    std::function<void()> action;
    std::u16string text;
  };
  const std::u16string index = u"リストのインデックスが範囲を超えています ";
  const Case cases[] = {
      {"get below", [&] { list.blGet(-1); }, index + u"(-1)"},
      {"get at count", [&] { list.blGet(2); }, index + u"(2)"},
      {"delete", [&] { list.Delete(5); }, index + u"(5)"},
      {"release", [&] { list.Release(int32_t{2}); }, index + u"(2)"},
      {"insert past count", [&] { list.Insert(3, item(9)); }, index + u"(3)"},
      {"insert below", [&] { list.InsertData(-1, item(9), nullptr); }, index + u"(-1)"},
      {"put", [&] { list.liPut(2, item(9)); }, index + u"(2)"},
      {"exchange first bad", [&] { list.Exchange(7, 8); }, index + u"(7)"},
      {"exchange second bad", [&] { list.Exchange(0, 8); }, index + u"(8)"},
      {"move target", [&] { list.Move(0, 2); }, index + u"(2)"},
      {"move source", [&] { list.Move(4, 1); }, index + u"(4)"},
      {"capacity below count", [&] { list.SetCapacity(1); }, u"リストの容量が超えました (1)"},
      {"capacity above limit", [&] { list.SetCapacity(0x8000000); }, u"リストの容量が超えました (134217728)"},
      {"count below zero", [&] { list.SetCount(-1); }, u"リストの個数を超えました (-1)"},
      {"count above limit", [&] { list.SetCount(0x8000000); }, u"リストの個数を超えました (134217728)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorText(c.action), c.text);
    EXPECT_EQ(items(list), (std::vector<uintptr_t>{1, 2}));
  }
  EXPECT_EQ(list.Generation(), 2u);
  list.CheckInvariants();
}

TEST(ListErrorTest, EmptyListHasNoFirstOrLast) {
  TqdList list;
  EXPECT_EQ(list.First(), nullptr);
  EXPECT_EQ(list.Last(), nullptr);
  list.Add(item(1));
  list.Add(item(2));
  EXPECT_EQ(list.First(), item(1));
  EXPECT_EQ(list.Last(), item(2));
}

class OwnedDataTest : public ::testing::Test {
 protected:
  // A list owning the data objects 1..aCount beside the items 1..aCount.
  void Fill(TqdWriteableList& aList, int aCount) {
    for (int i = 1; i <= aCount; ++i) aList.AddData(item(i), new TrackedData(i, fFreed));
  }
  std::vector<int> fFreed;
};

TEST_F(OwnedDataTest, ReleaseHandsTheDataBackUnfreed) {
  TqdList list(0, true, true);
  Fill(list, 3);
  void* data = list.Release(int32_t{2});
  EXPECT_TRUE(fFreed.empty());
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Release(item(77)), nullptr);
  void* first = list.Release(item(1));
  EXPECT_TRUE(fFreed.empty());
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{2}));
  delete static_cast<TqdObject*>(data);
  delete static_cast<TqdObject*>(first);
  EXPECT_EQ(fFreed, (std::vector<int>{3, 1}));
}

TEST_F(OwnedDataTest, ReleaseWithoutDataReturnsNil) {
  TqdList list;
  list.Add(item(5));
  EXPECT_EQ(list.Release(item(5)), nullptr);
  EXPECT_EQ(list.Count(), 0);
}

TEST_F(OwnedDataTest, DeleteAndRemoveFreeTheData) {
  TqdList list(0, true, true);
  Fill(list, 4);
  list.Delete(1);
  EXPECT_EQ(fFreed, (std::vector<int>{2}));
  EXPECT_EQ(list.Remove(item(4)), 2);
  EXPECT_EQ(list.Remove(item(4)), -1);
  EXPECT_EQ(fFreed, (std::vector<int>{2, 4}));
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{1, 3}));
  list.CheckInvariants();
}

TEST_F(OwnedDataTest, DataIsFreedOnlyWhenOwned) {
  std::vector<TrackedData*> data;
  {
    TqdList list(0, true, false);
    for (int i = 1; i <= 3; ++i) {
      data.push_back(new TrackedData(i, fFreed));
      list.AddData(item(i), data.back());
    }
    list.Delete(0);
    list.SetCount(1);
    list.Clear();
  }
  EXPECT_TRUE(fFreed.empty());
  for (TrackedData* d : data) delete d;

  TqdList noData(0, false, true);
  EXPECT_FALSE(noData.FreeDataObjects());
  EXPECT_EQ(noData.Data(), nullptr);
}

TEST_F(OwnedDataTest, ClearFreesEachOnceAndDestroyFreesTheRest) {
  {
    TqdList list(0, true, true);
    Fill(list, 3);
    const uint32_t generation = list.Generation();
    list.Clear();
    EXPECT_EQ(fFreed, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list.Generation(), generation + 1);
    list.Clear();
    EXPECT_EQ(list.Generation(), generation + 1);
    Fill(list, 2);
  }
  EXPECT_EQ(fFreed, (std::vector<int>{1, 2, 3, 1, 2}));
}

TEST_F(OwnedDataTest, ShrinkingCountFreesTopDownAndGrowingZeroFills) {
  TqdList list(0, true, true);
  Fill(list, 5);
  list.SetCount(2);
  EXPECT_EQ(fFreed, (std::vector<int>{5, 4, 3}));
  const uint32_t generation = list.Generation();
  list.SetCount(2);
  EXPECT_EQ(list.Generation(), generation);
  list.SetCount(40);
  EXPECT_EQ(list.Generation(), generation + 1);
  EXPECT_GE(list.Capacity(), 40);
  for (int32_t i = 2; i < 40; ++i) {
    EXPECT_EQ(list.List()[i], nullptr);
    EXPECT_EQ(list.Data()[i], nullptr);
  }
  list.CheckInvariants();
}

TEST_F(OwnedDataTest, PackDropsNilItemsWithTheirData) {
  TqdList list(0, true, true);
  Fill(list, 5);
  list.liPut(1, nullptr);
  list.liPut(3, nullptr);
  const uint32_t generation = list.Generation();
  list.Pack();
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{1, 3, 5}));
  EXPECT_EQ(fFreed, (std::vector<int>{2, 4}));
  EXPECT_EQ(list.Generation(), generation + 1);
  list.Pack();
  EXPECT_EQ(list.Generation(), generation + 1);
  // Each remaining item kept its own data.
  for (int32_t i = 0; i < 3; ++i) list.Delete(0);
  EXPECT_EQ(fFreed, (std::vector<int>{2, 4, 1, 3, 5}));
}

TEST_F(OwnedDataTest, MoveOfTheLastItemToTheFrontKeepsItsData) {
  TqdList list(0, true, true);
  Fill(list, 4);
  void* lastData = list.Data()[3];
  list.Move(3, 0);
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{4, 1, 2, 3}));
  EXPECT_EQ(list.Data()[0], lastData);
  EXPECT_TRUE(fFreed.empty());
  list.Move(0, 3);
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{1, 2, 3, 4}));
  EXPECT_EQ(list.Data()[3], lastData);
}

TEST_F(OwnedDataTest, AddListFromAnOwnerCopiesItemsOnly) {
  TqdList owner(0, true, true);
  Fill(owner, 2);
  TqdList copy(0, true, false);
  copy.AddList(&owner);
  EXPECT_EQ(items(copy), (std::vector<uintptr_t>{1, 2}));
  EXPECT_EQ(copy.Data()[0], nullptr);
  EXPECT_EQ(copy.Data()[1], nullptr);

  TqdList plain(0, true, false);
  int a = 0, b = 0;
  plain.AddData(item(7), &a);
  plain.AddData(item(8), &b);
  copy.AddList(&plain);
  EXPECT_EQ(items(copy), (std::vector<uintptr_t>{1, 2, 7, 8}));
  EXPECT_EQ(copy.Data()[2], &a);
  EXPECT_EQ(copy.Data()[3], &b);
}

TEST(ListTest, InsertPutAndIndexOf) {
  TqdList list(0, true);
  int d1 = 0, d2 = 0;
  list.Add(item(1));
  list.Add(item(3));
  list.InsertData(1, item(2), &d2);
  list.InsertData(0, item(0), &d1);
  list.Insert(4, item(4));
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(list.IndexOf(item(3)), 3);
  EXPECT_EQ(list.IndexOf(item(9)), -1);
  EXPECT_EQ(list.IndexOfData(&d2), 2);
  EXPECT_EQ(list.IndexOfData(&d1), 0);
  EXPECT_EQ(list.Generation(), 5u);
  list.liPut(2, item(2));
  EXPECT_EQ(list.Generation(), 5u);
  list.liPut(2, item(20));
  EXPECT_EQ(list.Generation(), 6u);
  EXPECT_EQ(list.Items(2), item(20));

  TqdList noData;
  noData.Add(item(1));
  EXPECT_EQ(noData.IndexOfData(nullptr), -1);
}

TEST(ListTest, ExchangeSwapsOnlyWhatDiffers) {
  TqdList list(0, true);
  int d = 0, e = 0;
  list.AddData(item(1), &d);
  list.AddData(item(1), &d);
  list.AddData(item(2), &d);
  list.AddData(item(2), &e);
  const uint32_t generation = list.Generation();
  EXPECT_FALSE(list.Exchange(0, 0));
  EXPECT_FALSE(list.Exchange(0, 1));
  EXPECT_EQ(list.Generation(), generation);
  EXPECT_TRUE(list.Exchange(1, 2));
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{1, 2, 1, 2}));
  EXPECT_EQ(list.Generation(), generation + 1);
  EXPECT_TRUE(list.Exchange(1, 3));
  EXPECT_EQ(list.Data()[1], &e);
  EXPECT_EQ(list.Data()[3], &d);
}

int32_t compareValues(void* aItem1, void* aItem2) {
  return value(aItem1) < value(aItem2) ? -100 : (value(aItem1) > value(aItem2) ? 100 : 0);
}

TEST(ListSortTest, SortsItemsWithTheirData) {
  std::mt19937 random(7);
  for (int count : {0, 1, 2, 3, 10, 1000}) {
    SCOPED_TRACE(count);
    TqdList list(0, true);
    std::vector<uintptr_t> expected;
    for (int i = 0; i < count; ++i) {
      const uintptr_t v = random() % 50 + 1;
      expected.push_back(v);
      list.AddData(item(v), item(v * 1000));
    }
    const uint32_t generation = list.Generation();
    list.Sort(compareValues);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(items(list), expected);
    for (int32_t i = 0; i < list.Count(); ++i) EXPECT_EQ(value(list.Data()[i]), value(list.List()[i]) * 1000);
    EXPECT_EQ(list.Generation(), count < 2 ? generation : generation + 1);
  }
}

// Orders by the value an item points at, as descendants elsewhere order by
// a key; returns magnitudes other than 1 on purpose.
class KeyedList : public TqdSortedList {
 public:
  using TqdSortedList::TqdSortedList;
  int8_t slCompare(void* aItem1, void* aItem2) override {
    const int a = *static_cast<int*>(aItem1);
    const int b = *static_cast<int*>(aItem2);
    return a < b ? -7 : (a > b ? 9 : 0);
  }
};

TEST(SortedListTest, DuplicateReturnsTheExistingIndexAndChangesNothing) {
  TqdSortedList list(0, true);
  int d = 0, e = 0;
  for (uintptr_t v : {50, 10, 30, 20, 40}) list.AddData(item(v), &d);
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{10, 20, 30, 40, 50}));
  const uint32_t generation = list.Generation();
  EXPECT_EQ(list.AddData(item(30), &e), 2);
  EXPECT_EQ(list.Add(item(10)), 0);
  EXPECT_EQ(list.Count(), 5);
  EXPECT_EQ(list.Generation(), generation);
  EXPECT_EQ(list.Data()[2], &d);
  EXPECT_EQ(list.Add(item(35)), 3);
  EXPECT_EQ(list.Data()[3], nullptr);
  EXPECT_EQ(list.IndexOf(item(35)), 3);
  EXPECT_EQ(list.IndexOf(item(36)), -1);
  list.CheckInvariants();
}

TEST(SortedListTest, FindGivesTheInsertionPoint) {
  TqdSortedList list;
  for (uintptr_t v : {10, 20, 30}) list.Add(item(v));
  struct Case {
    uintptr_t v;
    bool found;
    int32_t index;
  } const cases[] = {{5, false, 0}, {10, true, 0}, {15, false, 1}, {30, true, 2}, {31, false, 3}};
  for (const Case& c : cases) {
    int32_t index = -5;
    EXPECT_EQ(list.Find(item(c.v), index), c.found) << c.v;
    EXPECT_EQ(index, c.index) << c.v;
  }
  // Unsigned order: a "negative" address sorts last.
  list.Add(item(~uintptr_t{0}));
  EXPECT_EQ(list.IndexOf(item(~uintptr_t{0})), 3);
}

TEST(SortedListTest, AnOverriddenComparisonOrdersByKey) {
  int keys[] = {5, 3, 9, 1, 3};
  KeyedList list;
  for (int& k : keys) list.Add(&k);
  ASSERT_EQ(list.Count(), 4);
  std::vector<int> order;
  for (int32_t i = 0; i < list.Count(); ++i) order.push_back(*static_cast<int*>(list.Items(i)));
  EXPECT_EQ(order, (std::vector<int>{1, 3, 5, 9}));
  int probe = 9;
  EXPECT_EQ(list.IndexOf(&probe), 3);
}

TEST(SortedListTest, SuspendedSortingAppendsAndRefusesFind) {
  TqdSortedList list(0, true);
  for (uintptr_t v : {10, 20}) list.Add(item(v));
  list.SuspendSorting();
  list.SuspendSorting();
  EXPECT_EQ(list.Add(item(5)), 2);
  EXPECT_EQ(list.AddData(item(20), item(99)), 3);
  EXPECT_EQ(list.Add(item(1)), 4);
  EXPECT_EQ(list.Generation(), 5u);

  const std::function<void()> refused[] = {
      [&] {
        int32_t index;
        list.Find(item(5), index);
      },
      [&] { list.IndexOf(item(5)); },
      [&] { list.Remove(item(5)); },
      [&] { list.Release(item(5)); },
  };
  for (const auto& action : refused) {
    try {
      action();
      ADD_FAILURE() << "no exception";
    } catch (const EqdSortedListException& e) {
      EXPECT_EQ(e.ErrorCode(), 0u);
      EXPECT_EQ(e.ErrorString(), u"Find is not supported while sorting is suspended.");
      EXPECT_EQ(e.Message(), u"QendoDB: Find is not supported while sorting is suspended. [no error code]");
    }
  }

  list.ResumeSorting();
  EXPECT_TRUE(list.SortingSuspended());
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{10, 20, 5, 20, 1}));
  list.ResumeSorting();
  EXPECT_FALSE(list.SortingSuspended());
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{1, 5, 10, 20, 20}));
  int32_t index;
  EXPECT_TRUE(list.Find(item(5), index));
  EXPECT_EQ(index, 1);
  // The duplicate's data travelled with it.
  EXPECT_TRUE(list.Data()[3] == item(99) || list.Data()[4] == item(99));
}

TEST(SortedListTest, ResumeWithoutAppendsLeavesTheOrderAlone) {
  TqdSortedList list;
  for (uintptr_t v : {3, 1, 2}) list.Add(item(v));
  const uint32_t generation = list.Generation();
  list.SuspendSorting();
  list.ResumeSorting();
  EXPECT_EQ(list.Generation(), generation);
  EXPECT_EQ(items(list), (std::vector<uintptr_t>{1, 2, 3}));
}

// Runs the same checks over both wrappers.
class ListSyncAccessTest : public ::testing::TestWithParam<bool> {
 protected:
  TqdListSyncAccess* Make(TqdWriteableList* aList) {
    if (GetParam()) return new TqdListPortal(aList);
    return new TqdListPadlock(aList);
  }
};

TEST_P(ListSyncAccessTest, ThreadsAddWithoutLosingItems) {
  TqdListSyncAccess* access = Make(new TqdSortedList());
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([access, t] {
      for (int i = 0; i < kPerThread; ++i) {
        access->Add(item(static_cast<uintptr_t>(t * kPerThread + i + 1)));
        (void)access->Count();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(access->Count(), kThreads * kPerThread);
  EXPECT_TRUE(access->Remove(item(1)));
  EXPECT_FALSE(access->Remove(item(1)));
  TqdBaseList* list = access->BeginRead();
  list->CheckInvariants();
  access->EndRead();
  delete access;
}

TEST_P(ListSyncAccessTest, AnExceptionLeavesTheAccess) {
  auto* sorted = new TqdSortedList();
  TqdListSyncAccess* access = Make(sorted);
  access->Add(item(1));
  sorted->SuspendSorting();
  EXPECT_THROW(access->Release(item(1)), EqdSortedListException);
  EXPECT_THROW(access->Remove(item(1)), EqdSortedListException);
  sorted->ResumeSorting();
  // Another thread can still get in.
  std::thread other([access] { EXPECT_EQ(access->Release(item(1)), nullptr); });
  other.join();
  EXPECT_EQ(access->Count(), 0);
  delete access;
}

TEST_P(ListSyncAccessTest, AddListCopiesBetweenWrappers) {
  TqdListSyncAccess* source = Make(new TqdList());
  TqdListSyncAccess* target = Make(new TqdSortedList());
  for (uintptr_t v : {3, 1, 2}) source->Add(item(v));
  target->AddList(source);
  TqdList extra;
  extra.Add(item(0));
  target->AddList(&extra);
  TqdBaseList* list = target->BeginRead();
  EXPECT_EQ(items(*list), (std::vector<uintptr_t>{0, 1, 2, 3}));
  target->EndRead();
  target->Clear();
  EXPECT_EQ(target->Count(), 0);
  EXPECT_EQ(source->Count(), 3);
  delete source;
  delete target;
}

INSTANTIATE_TEST_SUITE_P(Wrappers, ListSyncAccessTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& aInfo) {
                           return aInfo.param ? std::string("Portal") : std::string("Padlock");
                         });

std::vector<qdString> strings(const TqdStringList& aList) {
  std::vector<qdString> result;
  for (int32_t i = 0; i < aList.Count(); ++i) result.push_back(aList.Strings(i));
  return result;
}

TEST(FastStringListTest, ComparesOrdinallyNeverByLocale) {
  // Ordinal: upper-case ASCII sorts before lower case, and only ASCII
  // letters fold when case is ignored.
  TqdFastStringList sensitive(dupAccept);
  sensitive.SetCaseSensitive(true);
  TqdFastStringList insensitive(dupIgnore);
  TqdFastStringListCS cs(dupIgnore);
  TqdFastStringListIC ic(dupIgnore);
  ic.SetCaseSensitive(true);  // has no effect on its comparison
  for (TqdStringList* list : std::initializer_list<TqdStringList*>{&sensitive, &insensitive, &cs, &ic}) {
    for (const char16_t* s : {u"b", u"B", u"a", u"é", u"É", u"_", u"A"}) list->Add(s);
  }
  EXPECT_EQ(strings(sensitive), (std::vector<qdString>{u"A", u"B", u"_", u"a", u"b", u"É", u"é"}));
  EXPECT_EQ(strings(cs), strings(sensitive));
  EXPECT_EQ(strings(insensitive), (std::vector<qdString>{u"a", u"b", u"_", u"É", u"é"}));
  EXPECT_EQ(strings(ic), strings(insensitive));
  int32_t index = -1;
  EXPECT_TRUE(ic.Find(u"B", index));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(cs.IndexOf(u"é"), 6);
  EXPECT_EQ(insensitive.IndexOf(u"A"), 0);

  TqdFastStringList unsorted;
  EXPECT_FALSE(unsorted.Sorted());
  unsorted.Add(u"Key");
  EXPECT_EQ(unsorted.IndexOf(u"KEY"), 0);
}

TEST(FastStringListTest, ClearCanFreeTheObjects) {
  std::vector<int> freed;
  TqdFastStringList list;
  list.AddObject(u"one", new TrackedData(1, freed));
  list.AddObject(u"none", nullptr);
  list.AddObject(u"two", new TrackedData(2, freed));
  list.Clear(true);
  EXPECT_EQ(freed, (std::vector<int>{1, 2}));
  EXPECT_EQ(list.Count(), 0);
  TrackedData kept(3, freed);
  list.AddObject(u"three", &kept);
  list.Clear(false);
  list.Clear();
  EXPECT_EQ(freed, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace qd
