// The order of events, cursor steps and data-link calls of each dataset
// operation; required fields; OnPostError; temporary states.
#include <gtest/gtest.h>

#include <functional>

#include "platform/db/qdDB.h"
#include "platform/db/qdDBConsts.h"
#include "tests/platform/db/qdDBTestDataSet.h"

namespace qd {
namespace {

using test::RecordingLink;
using test::ScriptedDataSet;
using Log = std::vector<std::string>;

class EventsTest : public ::testing::Test {
 public:
  void SetUp() override {
    dataSet.reset(new ScriptedDataSet({{u"ID", ftInteger}, {u"Name", ftString, 10, true}}, &log));
    for (int32_t row = 0; row < 3; ++row)
      dataSet->rows.push_back({TqdVariant(row), TqdVariant(u"n" + qdString(1, u'0' + row))});
    dataSet->LogEvents();
    source.reset(new TDataSource(nullptr));
    source->SetDataSet(dataSet.get());
    link.SetDataSource(source.get());
  }
  void TearDown() override {
    link.SetDataSource(nullptr);
    source.reset();
    dataSet.reset();
  }
  Log Take() {
    Log taken;
    taken.swap(log);
    return taken;
  }

  Log log;
  TqdComponentPtr<ScriptedDataSet> dataSet;
  TqdComponentPtr<TDataSource> source;
  RecordingLink link{&log};
};

std::string join(const Log& aLog) {
  std::string text;
  for (const std::string& entry : aLog) text += entry + "\n";
  return text;
}

TEST_F(EventsTest, EachOperationRunsItsStepsInOrder) {
  struct Case {
    const char* name;
    std::function<void(ScriptedDataSet&)> act;
    Log expected;
  };
  const Case cases[] = {
      {"Open",
       [](ScriptedDataSet& d) { d.Open(); },
       {"BeforeOpen", "InternalOpen", "link:ActiveChanged 1", "AfterOpen", "AfterScroll"}},
      {"Edit + Post",
       [](ScriptedDataSet& d) {
         d.Edit();
         d.FieldByName(u"Name")->SetAsString(u"x");
         d.Post();
       },
       {"link:CheckBrowseMode", "BeforeEdit", "InternalEdit", "link:EditingChanged 1", "link:RecordChanged",
        "AfterEdit", "link:RecordChanged Name", "link:UpdateData", "link:CheckBrowseMode", "BeforePost", "InternalPost",
        "link:EditingChanged 0", "link:DataSetChanged", "AfterPost"}},
      {"Insert + Post",
       [](ScriptedDataSet& d) {
         d.Insert();
         d.FieldByName(u"Name")->SetAsString(u"new");
         d.Post();
       },
       {"link:CheckBrowseMode", "BeforeInsert", "BeforeScroll", "InternalInsert", "link:EditingChanged 1",
        "OnNewRecord", "link:DataSetChanged", "AfterInsert", "AfterScroll", "link:RecordChanged Name",
        "link:UpdateData", "link:CheckBrowseMode", "BeforePost", "InternalPost", "link:EditingChanged 0",
        "link:DataSetChanged", "AfterPost"}},
      {"Append + Cancel",
       [](ScriptedDataSet& d) {
         d.Append();
         d.Cancel();
       },
       {"link:CheckBrowseMode", "BeforeInsert", "BeforeScroll", "link:EditingChanged 1", "OnNewRecord",
        "link:DataSetChanged", "AfterInsert", "AfterScroll", "link:CheckBrowseMode", "BeforeCancel", "BeforeScroll",
        "InternalCancel", "link:EditingChanged 0", "link:DataSetChanged", "AfterCancel", "AfterScroll"}},
      {"Delete",
       [](ScriptedDataSet& d) { d.Delete(); },
       {"link:CheckBrowseMode", "BeforeDelete", "BeforeScroll", "InternalDelete", "link:DataSetChanged", "AfterDelete",
        "AfterScroll"}},
      {"Close",
       [](ScriptedDataSet& d) { d.Close(); },
       {"BeforeClose", "link:ActiveChanged 0", "InternalClose", "AfterClose"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.act(*dataSet);
    const Log got = Take();
    EXPECT_EQ(got, c.expected) << join(got);
  }
  EXPECT_EQ(dataSet->rows.size(), 3u);  // one inserted, one deleted
}

TEST_F(EventsTest, DisabledControlsHearNothingUntilOneChangeOnEnable) {
  dataSet->Open();
  Take();
  dataSet->DisableControls();
  dataSet->DisableControls();
  dataSet->Next();
  dataSet->Last();
  dataSet->First();
  dataSet->EnableControls();
  EXPECT_EQ(Take(), (Log{"BeforeScroll", "AfterScroll", "BeforeScroll", "AfterScroll", "BeforeScroll", "AfterScroll"}));
  dataSet->EnableControls();
  EXPECT_EQ(Take(), (Log{"link:DataSetChanged"}));
  EXPECT_FALSE(dataSet->ControlsDisabled());
}

TEST_F(EventsTest, EnablingAfterAStateChangeReportsTheStateFirst) {
  dataSet->Open();
  Take();
  dataSet->DisableControls();
  dataSet->Edit();
  Take();
  dataSet->EnableControls();
  EXPECT_EQ(Take(), (Log{"link:EditingChanged 1", "link:DataSetChanged"}));
}

TEST_F(EventsTest, PostWithANullRequiredFieldNamesTheFieldAndDoesNotPost) {
  dataSet->Open();
  dataSet->Insert();
  dataSet->FieldByName(u"ID")->SetAsInteger(9);
  Take();
  try {
    dataSet->Post();
    FAIL() << "posted";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Field 'Name' must have a value");
  }
  const Log got = Take();
  EXPECT_EQ(std::count(got.begin(), got.end(), "InternalPost"), 0) << join(got);
  EXPECT_EQ(dataSet->State(), dsInsert);
  EXPECT_EQ(dataSet->rows.size(), 3u);
}

TEST_F(EventsTest, OnPostErrorRetriesAbortsOrFails) {
  struct Case {
    TDataAction action;
    int failures;  // posts that fail before one succeeds
    bool expectAbort, expectError;
  };
  const Case cases[] = {
      {daRetry, 2, false, false},
      {daAbort, 1, true, false},
      {daFail, 1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.action));
    SetUp();
    dataSet->Open();
    int posts = 0, errors = 0;
    dataSet->Edit();
    // The required field is null for the first c.failures attempts; the
    // error handler fills it in after the last of them.
    TField* name = dataSet->FieldByName(u"Name");
    name->Clear();
    int remaining = c.failures;
    dataSet->OnPostError = [&](TDataSet*, EDatabaseError&, TDataAction& aAction) {
      ++errors;
      aAction = c.action;
      if (--remaining == 0) name->SetAsString(u"z");
    };
    dataSet->AfterPost = [&](TDataSet*) { ++posts; };
    bool aborted = false, failed = false;
    try {
      dataSet->Post();
    } catch (const EAbort&) {
      aborted = true;
    } catch (const EDatabaseError&) {
      failed = true;
    }
    EXPECT_EQ(errors, c.action == daRetry ? c.failures : 1);
    EXPECT_EQ(aborted, c.expectAbort);
    EXPECT_EQ(failed, c.expectError);
    EXPECT_EQ(posts, c.action == daRetry ? 1 : 0);
    EXPECT_EQ(dataSet->State(), c.action == daRetry ? dsBrowse : dsEdit);
    TearDown();
  }
}

TEST_F(EventsTest, AnExceptionInsideATemporaryStateRestoresThePreviousState) {
  dataSet->Open();
  bool raise = false;
  std::vector<TDataSetState> seen;
  dataSet->OnCalcFields = [&](TDataSet* aDataSet) {
    seen.push_back(aDataSet->State());
    if (raise) throw EDatabaseError(u"calc failed");
  };
  dataSet->Next();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), dsCalcFields);
  raise = true;
  EXPECT_THROW(dataSet->Edit(), EDatabaseError);
  EXPECT_EQ(dataSet->State(), dsBrowse);
  raise = false;
  dataSet->Edit();
  raise = true;
  EXPECT_THROW(dataSet->FieldByName(u"ID")->SetAsInteger(5), EDatabaseError);
  EXPECT_EQ(dataSet->State(), dsEdit);
  {
    TDataSetStateGuard guard(dataSet.get(), dsFilter);
    EXPECT_EQ(dataSet->State(), dsFilter);
  }
  EXPECT_EQ(dataSet->State(), dsEdit);
  try {
    TDataSetStateGuard guard(dataSet.get(), dsNewValue);
    throw EDatabaseError(u"inside");
  } catch (const EDatabaseError&) {
  }
  EXPECT_EQ(dataSet->State(), dsEdit);
  dataSet->OnCalcFields = nullptr;  // it refers to this test's locals
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

TEST_F(EventsTest, AppendRecordAndInsertRecordStoreTheirValuesAndMoveToThem) {
  dataSet->Open();
  dataSet->Next();  // row 1
  Take();
  dataSet->AppendRecord({TqdVariant(7), TqdVariant(u"seven")});
  const Log appended = Take();
  EXPECT_EQ(std::count(appended.begin(), appended.end(), "InternalAddRecord"), 1) << join(appended);
  ASSERT_EQ(dataSet->rows.size(), 4u);
  EXPECT_EQ(dataSet->rows[3][1].AsString(), u"seven");
  EXPECT_EQ(dataSet->FieldByName(u"Name")->AsString(), u"seven");
  EXPECT_EQ(dataSet->State(), dsBrowse);

  dataSet->First();
  dataSet->Next();
  dataSet->InsertRecord({TqdVariant(8), TqdVariant(u"eight")});
  ASSERT_EQ(dataSet->rows.size(), 5u);
  EXPECT_EQ(dataSet->rows[1][0].AsInteger(), 8);
  EXPECT_EQ(dataSet->FieldByName(u"ID")->AsInteger(), 8);
  // A value list shorter than the fields leaves the rest null.
  dataSet->AppendRecord({TqdVariant(9)});
  EXPECT_TRUE(dataSet->rows.back()[1].IsNull());
}

}  // namespace
}  // namespace qd
