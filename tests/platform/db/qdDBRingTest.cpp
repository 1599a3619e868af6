// The record ring against a reference model: which rows the ring holds,
// the active row, BOF/EOF and the fetches each navigation step costs.
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "platform/db/qdDB.h"
#include "platform/db/qdDBConsts.h"
#include "tests/platform/db/qdDBTestDataSet.h"

namespace qd {
namespace {

using test::ScriptedDataSet;

// The ring as a window of row numbers over a source of N rows, B rows wide.
// A step past the window's edge fetches one row (or fails once at the end).
class RingModel {
 public:
  RingModel(int32_t aRows, int32_t aBufferCount) : n(aRows), b(aBufferCount) {}

  void First() {
    window.clear();
    for (int32_t row = 0; row < n && row < b; ++row) window.push_back(row);
    fetches += std::min(n, b) + (n < b ? 1 : 0);
    active = 0;
    bof = true;
    eof = window.empty();
  }
  void Last() {
    window.clear();
    for (int32_t row = n - 1; row >= 0 && static_cast<int32_t>(window.size()) < b; --row) window.push_front(row);
    fetches += std::min(n, b) + (n < b ? 1 : 0);
    active = std::max(0, static_cast<int32_t>(window.size()) - 1);
    eof = true;
    bof = window.empty();
  }
  void MoveBy(int32_t aDistance) {
    if ((aDistance > 0 && eof) || (aDistance < 0 && bof) || aDistance == 0) return;
    bof = eof = false;
    for (; aDistance > 0; --aDistance) {
      if (active < static_cast<int32_t>(window.size()) - 1) {
        ++active;
        continue;
      }
      ++fetches;
      if (window.back() + 1 >= n) {
        eof = true;
        return;
      }
      window.push_back(window.back() + 1);
      if (static_cast<int32_t>(window.size()) > b) window.pop_front();
      active = static_cast<int32_t>(window.size()) - 1;
    }
    for (; aDistance < 0; ++aDistance) {
      if (active > 0) {
        --active;
        continue;
      }
      ++fetches;
      if (window.front() == 0) {
        bof = true;
        return;
      }
      window.push_front(window.front() - 1);
      if (static_cast<int32_t>(window.size()) > b) window.pop_back();
      active = 0;
    }
  }
  // The ring rebuilt around aRow: (b - 1) / 2 rows before it, then filled.
  void Center(int32_t aRow) {
    window.assign(1, aRow);
    ++fetches;  // the row itself
    int32_t before = (b - 1) / 2;
    while (before > 0 && window.front() > 0) {
      window.push_front(window.front() - 1);
      ++fetches;
      --before;
    }
    if (before > 0) ++fetches;  // the failed step before row 0
    while (static_cast<int32_t>(window.size()) < b) {
      ++fetches;
      if (window.back() + 1 >= n) break;
      window.push_back(window.back() + 1);
    }
    while (static_cast<int32_t>(window.size()) < b) {
      ++fetches;
      if (window.front() == 0) break;
      window.push_front(window.front() - 1);
    }
    active = static_cast<int32_t>(std::find(window.begin(), window.end(), aRow) - window.begin());
    bof = eof = false;
  }
  int32_t ActiveRow() const { return window.empty() ? -1 : window[static_cast<size_t>(active)]; }

  int32_t n, b;
  std::deque<int32_t> window;
  int32_t active = 0;
  bool bof = true, eof = true;
  int32_t fetches = 0;
};

class RingTest : public ::testing::Test {
 public:
  void Open(int32_t aRows) {
    dataSet.reset(new ScriptedDataSet({{u"ID", ftInteger}}));
    for (int32_t row = 0; row < aRows; ++row) dataSet->rows.push_back({TqdVariant(row)});
    source.reset(new TDataSource(nullptr));
    source->SetDataSet(dataSet.get());
    link.SetBufferCount(10);
    link.SetDataSource(source.get());
    dataSet->Open();
  }
  void TearDown() override {
    link.SetDataSource(nullptr);
    source.reset();
    dataSet.reset();
  }
  // The ring's rows in order.
  std::deque<int32_t> RingRows() {
    TqdPrivateBufferAccess ring = dataSet->PrivateBufferAccess();
    std::deque<int32_t> rows;
    for (int32_t i = 0; i < ring.FRecordCount; ++i) {
      TBookmark bookmark(4);
      std::memcpy(bookmark.data(), ring.FBuffers[static_cast<size_t>(i)] + 1 + 4 + 1, 4);
      rows.push_back(qdGetLE<int32_t>(bookmark.data()));
    }
    return rows;
  }
  void ExpectModel(const RingModel& aModel, const char* aStep) {
    SCOPED_TRACE(aStep);
    TqdPrivateBufferAccess ring = dataSet->PrivateBufferAccess();
    EXPECT_EQ(dataSet->ActiveRow(), aModel.ActiveRow());
    EXPECT_EQ(ring.FRecordCount, static_cast<int32_t>(aModel.window.size()));
    EXPECT_EQ(RingRows(), aModel.window);
    EXPECT_EQ(dataSet->Bof(), aModel.bof);
    EXPECT_EQ(dataSet->Eof(), aModel.eof);
    EXPECT_EQ(dataSet->fetches, aModel.fetches);
  }

  TqdComponentPtr<ScriptedDataSet> dataSet;
  TqdComponentPtr<TDataSource> source;
  TDataLink link;
};

TEST_F(RingTest, NavigationFollowsTheModel) {
  Open(100);
  RingModel model(100, 10);
  model.First();
  EXPECT_EQ(dataSet->PrivateBufferAccess().FBufferCount, 10);
  EXPECT_EQ(dataSet->PrivateBufferAccess().FBuffers.size(), 11u);
  ExpectModel(model, "open");

  struct Step {
    const char* name;
    std::function<void(ScriptedDataSet&)> act;
    std::function<void(RingModel&)> model;
  };
  const Step steps[] = {
      {"Next x15",
       [](ScriptedDataSet& d) {
         for (int i = 0; i < 15; ++i) d.Next();
       },
       [](RingModel& m) {
         for (int i = 0; i < 15; ++i) m.MoveBy(1);
       }},
      {"Prior x3",
       [](ScriptedDataSet& d) {
         for (int i = 0; i < 3; ++i) d.Prior();
       },
       [](RingModel& m) {
         for (int i = 0; i < 3; ++i) m.MoveBy(-1);
       }},
      {"MoveBy(-20)", [](ScriptedDataSet& d) { EXPECT_EQ(d.MoveBy(-20), -12); }, [](RingModel& m) { m.MoveBy(-20); }},
      {"Last", [](ScriptedDataSet& d) { d.Last(); }, [](RingModel& m) { m.Last(); }},
      {"Next at the end", [](ScriptedDataSet& d) { d.Next(); }, [](RingModel& m) { m.MoveBy(1); }},
      {"MoveBy(-25)", [](ScriptedDataSet& d) { EXPECT_EQ(d.MoveBy(-25), -25); }, [](RingModel& m) { m.MoveBy(-25); }},
      {"First", [](ScriptedDataSet& d) { d.First(); }, [](RingModel& m) { m.First(); }},
      {"Resync(rmCenter) at row 50",
       [](ScriptedDataSet& d) {
         d.PositionAt(50);
         d.Resync(rmCenter);
       },
       [](RingModel& m) { m.Center(50); }},
      {"Resync(rmCenter) at row 2",
       [](ScriptedDataSet& d) {
         d.PositionAt(2);
         d.Resync(rmCenter);
       },
       [](RingModel& m) { m.Center(2); }},
      {"Next x3 after centring",
       [](ScriptedDataSet& d) {
         for (int i = 0; i < 3; ++i) d.Next();
       },
       [](RingModel& m) {
         for (int i = 0; i < 3; ++i) m.MoveBy(1);
       }},
  };
  for (const Step& step : steps) {
    step.act(*dataSet);
    step.model(model);
    ExpectModel(model, step.name);
  }
}

TEST_F(RingTest, ResyncExactOnAVanishedRowRaisesRecordNotFound) {
  Open(100);
  for (int i = 0; i < 5; ++i) dataSet->Next();
  ASSERT_EQ(dataSet->ActiveRow(), 5);
  dataSet->vanished.assign(100, false);
  dataSet->vanished[5] = true;
  dataSet->PositionAt(5);
  try {
    dataSet->Resync(rmExact);
    FAIL() << "no error";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), dbconsts::SRecordNotFound);
  }
  // Without rmExact the ring settles on the next row that is still there.
  dataSet->PositionAt(5);
  dataSet->Resync(0);
  EXPECT_EQ(dataSet->ActiveRow(), 6);
}

TEST_F(RingTest, AnEmptySourceIsBofEofAndEmpty) {
  Open(0);
  EXPECT_TRUE(dataSet->Bof());
  EXPECT_TRUE(dataSet->Eof());
  EXPECT_TRUE(dataSet->IsEmpty());
  EXPECT_EQ(dataSet->PrivateBufferAccess().FRecordCount, 0);
  EXPECT_EQ(dataSet->fetches, 1);  // the one fetch that found nothing
  dataSet->Next();
  dataSet->Last();
  EXPECT_TRUE(dataSet->Bof() && dataSet->Eof() && dataSet->IsEmpty());
  EXPECT_EQ(dataSet->ActiveRow(), -1);
}

TEST_F(RingTest, UnidirectionalDataSetRefusesPriorAndLast) {
  dataSet.reset(new ScriptedDataSet({{u"ID", ftInteger}}));
  for (int32_t row = 0; row < 5; ++row) dataSet->rows.push_back({TqdVariant(row)});
  dataSet->SetUniDirectional(true);
  dataSet->Open();
  EXPECT_EQ(dataSet->BufferCount(), 1);
  dataSet->Next();
  EXPECT_EQ(dataSet->ActiveRow(), 1);
  EXPECT_THROW(dataSet->Prior(), EDatabaseError);
  EXPECT_THROW(dataSet->Last(), EDatabaseError);
  EXPECT_THROW(dataSet->MoveBy(-1), EDatabaseError);
  EXPECT_EQ(dataSet->ActiveRow(), 1);
}

TEST_F(RingTest, BlockReadSizeEntersAndLeavesBlockReadWithAStateEvent) {
  Open(20);
  std::vector<TDataSetState> states;
  source->OnStateChange = [&](TDataSet*) { states.push_back(source->State()); };
  dataSet->SetBlockReadSize(5);
  EXPECT_EQ(dataSet->State(), dsBlockRead);
  dataSet->Next();
  dataSet->Next();
  EXPECT_EQ(dataSet->Fields()[0]->AsInteger(), 2);
  dataSet->SetBlockReadSize(0);
  EXPECT_EQ(dataSet->State(), dsBrowse);
  EXPECT_EQ(states, (std::vector<TDataSetState>{dsBlockRead, dsBrowse}));
  source->OnStateChange = nullptr;  // it refers to this test's locals
  dataSet->Close();
  EXPECT_THROW(dataSet->SetBlockReadSize(5), EDatabaseError);
}

TEST_F(RingTest, BookmarksGoBackToTheirRecord) {
  Open(100);
  dataSet->MoveBy(42);
  const TBookmark mark = dataSet->GetBookmark();
  dataSet->Last();
  dataSet->GotoBookmark(mark);
  EXPECT_EQ(dataSet->ActiveRow(), 42);
  EXPECT_EQ(dataSet->Fields()[0]->AsInteger(), 42);
  EXPECT_EQ(dataSet->CompareBookmarks({}, {}), 0);
  EXPECT_EQ(dataSet->CompareBookmarks({}, mark), 1);
  EXPECT_EQ(dataSet->CompareBookmarks(mark, {}), -1);
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

TEST_F(RingTest, ALinkSeesTheActiveRecordInsideItsWindow) {
  Open(100);
  EXPECT_EQ(link.ActiveRecord(), 0);
  EXPECT_EQ(link.RecordCount(), 10);
  for (int i = 0; i < 15; ++i) dataSet->Next();
  EXPECT_EQ(link.ActiveRecord(), 9);
  dataSet->MoveBy(-4);
  EXPECT_EQ(link.ActiveRecord(), 5);
  dataSet->Last();
  EXPECT_EQ(link.ActiveRecord(), 9);
  dataSet->First();
  EXPECT_EQ(link.ActiveRecord(), 0);
  // A smaller window shrinks the ring around the active record.
  dataSet->MoveBy(7);
  link.SetBufferCount(4);
  EXPECT_EQ(dataSet->BufferCount(), 4);
  EXPECT_EQ(dataSet->PrivateBufferAccess().FRecordCount, 4);
  EXPECT_EQ(dataSet->ActiveRow(), 7);
  EXPECT_EQ(dataSet->Fields()[0]->AsInteger(), 7);
  dataSet->Next();
  EXPECT_EQ(dataSet->ActiveRow(), 8);
  dataSet->Close();
  EXPECT_FALSE(link.Active());
}

}  // namespace
}  // namespace qd
